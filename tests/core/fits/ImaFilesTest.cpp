// FITS reader, writer, exports and tile compression, on tiny files built here.
#include "fits/ImaFiles.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <bit>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "base/EOrluError.h"
#include "base/PixelMemory.h"
#include "fits/FitsCompressor.h"
#include "fits/ImaHeader.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"

namespace orlu {
namespace {

namespace fs = std::filesystem;

// ------------------------------------------------------------------ fixtures

class TTempDir {
 public:
  TTempDir() {
    std::string tmpl = (fs::temp_directory_path() / "orlu_fits_XXXXXX").string();
    Path = ::mkdtemp(tmpl.data());
  }
  ~TTempDir() {
    std::error_code ec;
    fs::remove_all(Path, ec);
  }
  fs::path operator/(const std::string& name) const { return Path / name; }
  fs::path Path;
};

std::string IntCard(const std::string& key, int64_t v) {
  char buf[81];
  std::snprintf(buf, sizeof buf, "%-8.8s= %20lld", key.c_str(), static_cast<long long>(v));
  return buf;
}
std::string RealCard(const std::string& key, const char* text) {
  char buf[81];
  std::snprintf(buf, sizeof buf, "%-8.8s= %20s", key.c_str(), text);
  return buf;
}
std::string StrCard(const std::string& key, const std::string& v) {
  char buf[81];
  std::snprintf(buf, sizeof buf, "%-8.8s= '%s'", key.c_str(), v.c_str());
  return buf;
}

// A FITS file assembled from header cards and big-endian samples.
class TFitsBuilder {
 public:
  TFitsBuilder& Header(std::vector<std::string> cards) {
    cards.push_back("END");
    std::string block;
    for (std::string c : cards) {
      c.resize(80, ' ');
      block += c;
    }
    block.resize((block.size() + 2879) / 2880 * 2880, ' ');
    Bytes += block;
    return *this;
  }
  // An image header: SIMPLE (or XTENSION), BITPIX, NAXIS, the axes, then extra cards.
  TFitsBuilder& Image(int bitpix, std::vector<int64_t> axes, std::vector<std::string> extra = {},
                      bool extension = false) {
    std::vector<std::string> cards;
    cards.push_back(extension ? StrCard("XTENSION", "IMAGE   ")
                              : std::string("SIMPLE  =                    T"));
    cards.push_back(IntCard("BITPIX", bitpix));
    cards.push_back(IntCard("NAXIS", int64_t(axes.size())));
    for (std::size_t i = 0; i < axes.size(); ++i)
      cards.push_back(IntCard("NAXIS" + std::to_string(i + 1), axes[i]));
    if (extension) {
      cards.push_back(IntCard("PCOUNT", 0));
      cards.push_back(IntCard("GCOUNT", 1));
    }
    for (auto& c : extra) cards.push_back(c);
    return Header(cards);
  }
  template <class T>
  TFitsBuilder& Data(const std::vector<T>& values) {
    for (T v : values) {
      unsigned char b[sizeof(T)];
      std::memcpy(b, &v, sizeof(T));
      for (int i = int(sizeof(T)) - 1; i >= 0; --i) Bytes += char(b[i]);
    }
    return *this;
  }
  TFitsBuilder& Raw(const std::string& s) {
    Bytes += s;
    return *this;
  }
  TFitsBuilder& Pad() {
    Bytes.resize((Bytes.size() + 2879) / 2880 * 2880, '\0');
    return *this;
  }
  void Save(const fs::path& p) const {
    std::ofstream f(p, std::ios::binary);
    f.write(Bytes.data(), std::streamsize(Bytes.size()));
  }
  std::string Bytes;
};

std::string FileBytes(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

std::vector<float> PlaneValues(const TBWImage& plane) {
  return std::vector<float>(plane.Data, plane.Data + plane.Count);
}

// Header cards of a written file (its first image, compressed keywords translated).
TFitsStrings FileHeader(const fs::path& p) {
  TFitsStrings h;
  bool compressed = false;
  int64_t blocks = 0;
  h.ReadFromFile(p, 0, compressed, blocks);
  return h;
}

void FillPlane(TBWImage& plane, const std::vector<float>& v) {
  ASSERT_EQ(int64_t(v.size()), int64_t(plane.Count));
  std::copy(v.begin(), v.end(), plane.Data);
}

constexpr uint32_t kOk = kLoadLoaded | kLoadFitsHeader;

// ------------------------------------------------------------------ reading

struct TBitpixCase {
  const char* Name;
  int Bitpix;
  std::string Data;              // big-endian samples of a 3 × 2 image
  std::vector<float> Expected;   // decoded by hand
  bool IsFloat;
};

template <class T>
std::string BE(std::vector<T> v) {
  return TFitsBuilder().Data(v).Bytes;
}

TEST(ImaFilesRead, EveryBitpix) {
  const TBitpixCase cases[] = {
      {"u8", 8, BE<uint8_t>({0, 1, 127, 128, 254, 255}), {0, 1, 127, 128, 254, 255}, false},
      {"i16", 16, BE<int16_t>({-32768, -1, 0, 1, 12345, 32767}),
       {-32768, -1, 0, 1, 12345, 32767}, false},
      // 32-bit integers beyond 2^24 go to the nearest float.
      {"i32", 32, BE<int32_t>({std::numeric_limits<int32_t>::min(), -1, 16777217, 7, 0,
                               std::numeric_limits<int32_t>::max()}),
       {-2147483648.0f, -1, 16777216.0f, 7, 0, 2147483648.0f}, false},
      {"i64", 64, BE<int64_t>({-5, int64_t(1) << 40, 3, 0, -(int64_t(1) << 62), 9}),
       {-5, 1099511627776.0f, 3, 0, -4611686018427387904.0f, 9}, false},
      {"f32", -32, BE<float>({-1.5f, 0.25f, 1e30f, -0.0f, 3.0f, 1e-30f}),
       {-1.5f, 0.25f, 1e30f, -0.0f, 3.0f, 1e-30f}, true},
      {"f64", -64, BE<double>({-1.5, 0.1, 1e300, 2.0, 1.0 / 3.0, -7.0}),
       {-1.5f, 0.1f, std::numeric_limits<float>::infinity(), 2.0f, 1.0f / 3.0f, -7.0f}, true},
  };
  TTempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const fs::path p = dir / (std::string(c.Name) + ".fits");
    TFitsBuilder().Image(c.Bitpix, {3, 2}).Raw(c.Data).Pad().Save(p);
    TAImage image;
    ReadFits(image, p, 0, false);
    EXPECT_EQ(image.Status, kOk);
    EXPECT_EQ(image.Width(), 3);
    EXPECT_EQ(image.Height(), 2);
    EXPECT_FALSE(image.IsColour());
    EXPECT_EQ(image.IsFloat != 0, c.IsFloat);
    EXPECT_EQ(PlaneValues(*image.MainPlane), c.Expected);
  }
}

TEST(ImaFilesRead, ScalingAndUnsigned) {
  struct TCase {
    const char* Name;
    std::vector<std::string> Cards;
    bool AllowUnsigned;
    std::vector<float> Expected;
    bool IsFloat;
  } const cases[] = {
      {"bzero 32768", {RealCard("BZERO", "32768"), RealCard("BSCALE", "1")}, false,
       {0, 32767, 32768, 65535}, false},
      {"signed without bzero", {}, false, {-32768, -1, 0, 32767}, false},
      {"unsigned option without bzero", {}, true, {32768, 65535, 0, 32767}, false},
      // With a BZERO card the option does not apply: the card says how to read the data.
      {"unsigned option with bzero", {RealCard("BZERO", "32768")}, true,
       {0, 32767, 32768, 65535}, false},
      {"bscale 2.5", {RealCard("BSCALE", "2.5")}, false, {-81920, -2.5, 0, 81917.5}, true},
      {"fractional bzero", {RealCard("BZERO", "0.5")}, false, {-32767.5, -0.5, 0.5, 32767.5},
       true},
      {"integral bzero", {RealCard("BZERO", "-100")}, false, {-32868, -101, -100, 32667}, false},
  };
  TTempDir dir;
  const std::vector<int16_t> raw = {-32768, -1, 0, 32767};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const fs::path p = dir / "s.fits";
    TFitsBuilder().Image(16, {2, 2}, c.Cards).Data(raw).Pad().Save(p);
    TAImage image;
    ReadFits(image, p, 1, c.AllowUnsigned);
    ASSERT_EQ(image.Status, kOk);
    EXPECT_EQ(PlaneValues(*image.MainPlane), c.Expected);
    EXPECT_EQ(image.IsFloat != 0, c.IsFloat);
    // A refresh must not round the fractions of scaled data away.
    image.RefreshMinMax();
    EXPECT_EQ(PlaneValues(*image.MainPlane), c.Expected);
    // The header is kept as read.
    EXPECT_EQ(image.Header.GetInt("BITPIX"), 16);
  }
}

TEST(ImaFilesRead, ColourPlanesAndThirdAxis) {
  TTempDir dir;
  // Planes of 2 × 1 pixels: plane k holds 10k, 10k + 1.
  auto cube = [](int depth) {
    std::vector<int16_t> v;
    for (int k = 0; k < depth; ++k) {
      v.push_back(int16_t(10 * k));
      v.push_back(int16_t(10 * k + 1));
    }
    return v;
  };
  for (int depth : {2, 3, 4}) {
    SCOPED_TRACE(depth);
    const fs::path p = dir / "c.fits";
    TFitsBuilder().Image(16, {2, 1, depth}).Data(cube(depth)).Pad().Save(p);
    TAImage image;
    ReadFits(image, p, 0, false);
    ASSERT_EQ(image.Status, kOk);
    if (depth == 2) {
      EXPECT_FALSE(image.IsColour());
      EXPECT_EQ(PlaneValues(*image.MainPlane), (std::vector<float>{0, 1}));
    } else {
      ASSERT_TRUE(image.IsColour());
      EXPECT_EQ(PlaneValues(*image.RedPlane), (std::vector<float>{0, 1}));
      EXPECT_EQ(PlaneValues(*image.MainPlane), (std::vector<float>{10, 11}));
      EXPECT_EQ(PlaneValues(*image.BluePlane), (std::vector<float>{20, 21}));
    }
  }
}

TEST(ImaFilesRead, TopDownRowOrderInLoaderEntry) {
  TTempDir dir;
  const fs::path p = dir / "td.fits";
  TFitsBuilder()
      .Image(8, {2, 3}, {StrCard("ROWORDER", "TOP-DOWN")})
      .Data(std::vector<uint8_t>{1, 2, 3, 4, 5, 6})
      .Pad()
      .Save(p);
  TFileOptions options;
  ASSERT_TRUE(options.RowOrderFITS);  // documented default
  ASSERT_FALSE(options.AllowUnsignedFITS);
  TAImage flipped;
  LoadFits(flipped, p, 0, options);
  ASSERT_EQ(flipped.Status, kOk);
  EXPECT_EQ(PlaneValues(*flipped.MainPlane), (std::vector<float>{5, 6, 3, 4, 1, 2}));
  options.RowOrderFITS = false;
  TAImage asStored;
  LoadFits(asStored, p, 0, options);
  EXPECT_EQ(PlaneValues(*asStored.MainPlane), (std::vector<float>{1, 2, 3, 4, 5, 6}));
}

TEST(ImaFilesRead, LargeImageReadInManyPiecesInParallel) {
  // Rows spread over several read pieces (0.5 MB each) and workers.
  TTempDir dir;
  const int w = 1000, h = 700;
  std::vector<int16_t> raw(std::size_t(w) * h);
  for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = int16_t(int(i * 7919 % 65536) - 32768);
  const fs::path p = dir / "big.fits";
  TFitsBuilder().Image(16, {w, h}, {RealCard("BZERO", "32768")}).Data(raw).Pad().Save(p);
  TAImage image;
  ReadFits(image, p, 0, false);
  ASSERT_EQ(image.Status, kOk);
  for (std::size_t i = 0; i < raw.size(); ++i)
    ASSERT_EQ(image.MainPlane->Data[i], float(raw[i]) + 32768.0f) << i;
}

TEST(ImaFilesRead, MultiExtensionWithTableBetweenImages) {
  TTempDir dir;
  const fs::path p = dir / "mef.fits";
  TFitsBuilder b;
  b.Image(8, {}, {"EXTEND  =                    T", StrCard("OBSERVER", "Someone")});
  b.Image(16, {2, 2}, {}, true).Data(std::vector<int16_t>{1, 2, 3, 4}).Pad();
  b.Header({StrCard("XTENSION", "BINTABLE"), IntCard("BITPIX", 8), IntCard("NAXIS", 2),
            IntCard("NAXIS1", 4), IntCard("NAXIS2", 3), IntCard("PCOUNT", 0),
            IntCard("GCOUNT", 1), IntCard("TFIELDS", 1), StrCard("TFORM1", "1J")})
      .Data(std::vector<int32_t>{7, 8, 9})
      .Pad();
  b.Image(-32, {3, 1}, {}, true).Data(std::vector<float>{0.5f, -1.0f, 2.0f}).Pad();
  b.Save(p);

  TAImage first;
  ReadFits(first, p, 1, false);
  ASSERT_EQ(first.Status, kOk);
  EXPECT_EQ(PlaneValues(*first.MainPlane), (std::vector<float>{1, 2, 3, 4}));
  EXPECT_EQ(first.Header.GetInt("QVIM_CNT"), 2);
  EXPECT_EQ(first.Header.GetString("OBSERVER"), "Someone");  // primary cards stay visible
  TAImage second;
  ReadFits(second, p, 2, false);
  ASSERT_EQ(second.Status, kOk);
  EXPECT_TRUE(second.IsFloat);
  EXPECT_EQ(PlaneValues(*second.MainPlane), (std::vector<float>{0.5f, -1.0f, 2.0f}));
  TAImage third;
  ReadFits(third, p, 3, false);
  EXPECT_EQ(third.Status, 0u);
}

// Hostile and broken files give a status (or nothing, for the dispatcher to go on), never a
// crash, a hang, an allocation for a claimed size, or "loaded" with unread samples.
TEST(ImaFilesRead, HostileFiles) {
  TTempDir dir;
  const std::string smallData = BE<int16_t>({1, 2, 3, 4, 5, 6});
  struct TCase {
    const char* Name;
    std::string Bytes;
    uint32_t Status;
  };
  auto file = [&](int bitpix, std::vector<int64_t> axes, std::vector<std::string> extra,
                  const std::string& data) {
    return TFitsBuilder().Image(bitpix, axes, extra).Raw(data).Pad().Bytes;
  };
  const std::string truncated =
      TFitsBuilder().Image(16, {100, 100}).Raw(std::string(10000, 'x')).Bytes;
  const TCase cases[] = {
      {"empty file", "", 0},
      {"shorter than a block", std::string("SIMPLE  =                    T").append(60, ' '),
       0},
      {"no END card", std::string(2880 * 3, ' ').replace(0, 30, "SIMPLE  =                    T"),
       0},
      {"NAXIS 1 without NAXIS2", file(16, {6}, {}, smallData), 0},
      {"NAXIS 5 with unit axes", file(16, {3, 2, 1, 1, 1}, {}, smallData), kOk},
      {"BITPIX 12", file(12, {3, 2}, {}, smallData), kLoadFailed | kLoadIncompatible},
      {"BITPIX -16", file(-16, {3, 2}, {}, smallData), kLoadFailed | kLoadIncompatible},
      {"NAXIS1 -1", file(16, {-1, 2}, {}, smallData), 0},
      {"NAXIS1 99999999", file(16, {99999999, 2}, {}, smallData),
       kLoadFailed | kLoadTooLarge},
      {"width 30001", file(8, {30001, 1}, {}, std::string(30001, '\1')),
       kLoadFailed | kLoadTooLarge},
      {"BSCALE 0", file(16, {3, 2}, {RealCard("BSCALE", "0")}, smallData),
       kLoadFailed | kLoadIncompatible},
      {"truncated data", truncated, kLoadFailed | kLoadIncompatible},
      // 3 KB claiming 30000 × 30000 × 3 doubles (21.6 GB).
      {"oversized claim", file(-64, {30000, 30000, 3}, {}, smallData),
       kLoadFailed | kLoadIncompatible},
      {"missing colour planes", TFitsBuilder().Image(16, {3, 2, 3}).Raw(smallData).Bytes,
       kLoadFailed | kLoadIncompatible},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const fs::path p = dir / "h.fits";
    std::ofstream(p, std::ios::binary | std::ios::trunc).write(c.Bytes.data(),
                                                               std::streamsize(c.Bytes.size()));
    TAImage image;
    ReadFits(image, p, 0, false);
    EXPECT_EQ(image.Status, c.Status);
    if (!(c.Status & kLoadLoaded)) {
      EXPECT_EQ(image.Width(), 16);  // nothing was allocated
    }
  }
}

TEST(ImaFilesRead, PathsThatAreNotFitsFiles) {
  TTempDir dir;
  const std::string good = TFitsBuilder().Image(8, {1, 1}).Raw("\x05").Pad().Bytes;
  std::ofstream(dir / "image.dat", std::ios::binary).write(good.data(), std::streamsize(good.size()));
  fs::create_directory(dir / "folder.fits");
  ASSERT_EQ(::mkfifo((dir / "pipe.fits").c_str(), 0600), 0);
  for (const char* name : {"image.dat", "folder.fits", "pipe.fits", "missing.fits"}) {
    SCOPED_TRACE(name);
    TAImage image;
    ReadFits(image, dir / name, 0, false);  // a FIFO must not block
    EXPECT_EQ(image.Status, 0u);
  }
  // The extension test ignores letter case.
  std::ofstream(dir / "image.FTS", std::ios::binary).write(good.data(), std::streamsize(good.size()));
  TAImage image;
  ReadFits(image, dir / "image.FTS", 0, false);
  EXPECT_EQ(image.Status, kOk);
}

TEST(ImaFilesRead, OutOfMemoryRaises) {
  TTempDir dir;
  const fs::path p = dir / "m.fits";
  TFitsBuilder().Image(8, {400, 400}).Raw(std::string(160000, '\1')).Pad().Save(p);
  TAImage image;
  FailNextPixelAllocations(1);
  EXPECT_THROW(ReadFits(image, p, 0, false), EOrluError);
  FailNextPixelAllocations(0);
  EXPECT_FALSE(image.Status & kLoadLoaded);
}

TEST(ImaFilesRead, RawPlaneTypesAndShortFiles) {
  TTempDir dir;
  struct TCase {
    int32_t Type;
    std::string BigEndian;
    std::vector<float> Expected;
  } const cases[] = {
      {kDecodeUInt8, BE<uint8_t>({0, 200}), {0, 200}},
      {kDecodeInt16, BE<int16_t>({-2, 300}), {-2, 300}},
      {kDecodeUInt16, BE<uint16_t>({65535, 1}), {65535, 1}},
      {kDecodeInt32, BE<int32_t>({-70000, 5}), {-70000, 5}},
      {kDecodeUInt32, BE<uint32_t>({4000000000u, 5}), {4000000000.0f, 5}},
      {kDecodeFloat32, BE<float>({1.25f, -3.0f}), {1.25f, -3.0f}},
      {kDecodeInt64, BE<int64_t>({-9, int64_t(1) << 50}), {-9, 1125899906842624.0f}},
      {kDecodeFloat64, BE<double>({0.5, -2.0}), {0.5f, -2.0f}},
  };
  for (const auto& c : cases) {
    for (bool swap : {true, false}) {
      SCOPED_TRACE(::testing::Message() << "type " << c.Type << " swap " << swap);
      std::string bytes = "abc" + c.BigEndian;  // at offset 3
      if (!swap) {
        const std::size_t n = c.BigEndian.size() / 2;
        for (std::size_t s = 0; s < 2; ++s)
          std::reverse(bytes.begin() + 3 + std::ptrdiff_t(s * n),
                       bytes.begin() + 3 + std::ptrdiff_t((s + 1) * n));
      }
      const fs::path p = dir / "raw.bin";
      std::ofstream(p, std::ios::binary | std::ios::trunc).write(bytes.data(),
                                                                 std::streamsize(bytes.size()));
      const int fd = ::open(p.c_str(), O_RDONLY);
      TBWImage plane;
      plane.SetSize(2, 1);
      EXPECT_TRUE(ReadRawPlane(fd, 3, plane, c.Type, swap));
      EXPECT_EQ(PlaneValues(plane), c.Expected);
      // One sample short: false, and the missing sample is 0.
      plane.SetSize(3, 1);
      EXPECT_FALSE(ReadRawPlane(fd, 3, plane, c.Type, swap));
      EXPECT_EQ(plane.Data[2], 0.0f);
      ::close(fd);
    }
  }
  TBWImage plane;
  EXPECT_FALSE(ReadRawPlane(-1, 0, plane, 8, true));
}

// ------------------------------------------------------------------ write type

TEST(ImaFilesWrite, WriteTypeForRanges) {
  struct TCase {
    const char* Name;
    std::vector<double> Mins, Maxs;
    bool IsFloat;
    int32_t Expected;
  } const cases[] = {
      {"bytes", {0}, {255}, false, kWriteUInt8},
      {"-5..300", {-5}, {300}, false, kWriteInt16},
      {"0..65535", {0}, {65535}, false, kWriteUInt16},
      {"0..32768", {0}, {32768}, false, kWriteUInt16},
      {"-1..32768", {-1}, {32768}, false, kWriteInt32},
      {"int32 limits", {-2147483648.0}, {2147483647.0}, false, kWriteInt32},
      // 2^31 itself does not fit a signed 32-bit sample.
      {"max 2^31", {0}, {2147483648.0}, false, kWriteFloat32},
      {"min below int32", {-2147483649.0}, {0}, false, kWriteFloat32},
      {"NaN", {std::nan("")}, {1}, false, kWriteFloat32},
      {"float flag", {0}, {1}, true, kWriteFloat32},
      {"bytes and 16-bit", {0, -7}, {255, 7}, false, kWriteInt16},
      {"bytes and unsigned", {0, 0, 0}, {255, 60000, 3}, false, kWriteUInt16},
      {"negative and unsigned", {-1, 0, 0}, {10, 60000, 3}, false, kWriteInt32},
      {"positive 16-bit and unsigned", {0, 0, 0}, {300, 60000, 3}, false, kWriteUInt16},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(WriteTypeForRanges(c.Mins.data(), c.Maxs.data(), int32_t(c.Mins.size()), c.IsFloat),
              c.Expected);
  }
}

TEST(ImaFilesWrite, ChooseWriteTypeOnPlanes) {
  TAImage image;
  image.SetSize(2, 1, false);
  FillPlane(*image.MainPlane, {0, 2147483648.0f});  // the float just above INT32_MAX
  EXPECT_EQ(ChooseWriteType(image), kWriteFloat32);
  FillPlane(*image.MainPlane, {std::nanf(""), 200});  // corrupt samples count as 0
  EXPECT_EQ(ChooseWriteType(image), kWriteUInt8);
  image.IsFloat = 1;
  EXPECT_EQ(ChooseWriteType(image), kWriteFloat32);
}

// ------------------------------------------------------------------ writing

struct TRoundTrip {
  const char* Name;
  std::vector<float> Values;  // 3 × 2 mono
  bool IsFloat;
  int32_t Bitpix;
  double BZero;
};

const TRoundTrip kRoundTrips[] = {
    // Ties go to the even neighbour.
    {"8-bit", {0, 0.5, 1.5, 2.5, 254.5, 255}, false, 8, 0},
    {"16-bit", {-5, 300, -32768, 32767, 0, 1}, false, 16, 0},
    {"unsigned 16-bit", {0, 65535, 32768, 1, 40000, 2}, false, 16, 32768},
    {"32-bit", {-2147483648.0f, 2147483520.0f, 0, -1, 70000, 3}, false, 32, 0},
    {"float", {-1.5f, 1e30f, 0.1f, -0.0f, 3, 7}, true, -32, 0},
};

std::vector<float> Rounded(const TRoundTrip& c) {
  std::vector<float> v = c.Values;
  if (!c.IsFloat)
    for (float& x : v) x = std::nearbyint(x);
  return v;
}

TEST(ImaFilesWrite, PlainRoundTripAndLayout) {
  TTempDir dir;
  for (const auto& c : kRoundTrips) {
    SCOPED_TRACE(c.Name);
    TAImage image;
    image.SetSize(3, 2, false);
    image.IsFloat = c.IsFloat;
    FillPlane(*image.MainPlane, c.Values);
    image.Header.AddComment("kept");
    const fs::path p = dir / "w.fits";
    ASSERT_TRUE(WriteFits(image, p, false));
    const std::string bytes = FileBytes(p);
    EXPECT_EQ(bytes.size() % 2880, 0u);
    // Structure first, scaling right after it.
    const TFitsStrings h = FileHeader(p);
    ASSERT_GE(h.Count(), 7);
    EXPECT_EQ(TFitsStrings::KeywordOf(h[0]), "SIMPLE");
    EXPECT_EQ(h.GetInt("BITPIX"), c.Bitpix);
    EXPECT_EQ(TFitsStrings::KeywordOf(h[5]), "BZERO");
    EXPECT_EQ(TFitsStrings::KeywordOf(h[6]), "BSCALE");
    EXPECT_EQ(h.GetReal("BZERO"), c.BZero);
    EXPECT_EQ(h.GetReal("BSCALE"), 1.0);
    // The data start right after the header block, big-endian.
    const std::size_t bytesPer = std::size_t(std::abs(c.Bitpix) / 8);
    EXPECT_EQ(bytes.size(), 2880u + (6 * bytesPer + 2879) / 2880 * 2880);

    TAImage back;
    ReadFits(back, p, 0, false);
    ASSERT_EQ(back.Status, kOk);
    EXPECT_EQ(back.IsFloat != 0, c.IsFloat);
    EXPECT_EQ(PlaneValues(*back.MainPlane), Rounded(c));
    EXPECT_GE(back.Header.IndexOf("COMMENT kept"), 0);
  }
}

TEST(ImaFilesWrite, StoredBytesOfUnsigned16) {
  TTempDir dir;
  TAImage image;
  image.SetSize(3, 1, false);
  FillPlane(*image.MainPlane, {0, 65535, 40000});
  const fs::path p = dir / "u.fits";
  ASSERT_TRUE(WriteFits(image, p, false));
  const std::string data = FileBytes(p).substr(2880, 6);
  // value - 32768 as signed big-endian: 0x8000, 0x7FFF, 40000 - 32768 = 7232 = 0x1C40.
  EXPECT_EQ(data, std::string("\x80\x00\x7f\xff\x1c\x40", 6));
}

TEST(ImaFilesWrite, ColourPlaneOrder) {
  TTempDir dir;
  for (bool compressed : {false, true}) {
    SCOPED_TRACE(compressed);
    TAImage image;
    image.SetSize(2, 1, true);
    FillPlane(*image.RedPlane, {1, 2});
    FillPlane(*image.MainPlane, {3, 4});
    FillPlane(*image.BluePlane, {5, 6});
    const fs::path p = dir / "rgb.fits";
    ASSERT_TRUE(WriteFits(image, p, compressed));
    if (!compressed) {
      EXPECT_EQ(FileBytes(p).substr(2880, 6), std::string("\1\2\3\4\5\6", 6));
    }
    TAImage back;
    ReadFits(back, p, 0, false);
    ASSERT_EQ(back.Status, kOk);
    ASSERT_TRUE(back.IsColour());
    EXPECT_EQ(PlaneValues(*back.RedPlane), (std::vector<float>{1, 2}));
    EXPECT_EQ(PlaneValues(*back.MainPlane), (std::vector<float>{3, 4}));
    EXPECT_EQ(PlaneValues(*back.BluePlane), (std::vector<float>{5, 6}));
    EXPECT_EQ(back.Header.GetInt("NAXIS3"), 3);
  }
}

TEST(ImaFilesWrite, StaleCardsRemoved) {
  TTempDir dir;
  TAImage image;
  image.SetSize(2, 2, false);
  image.IsFloat = 1;
  FillPlane(*image.MainPlane, {0.5f, 1, 2, 3});
  for (const char* card : {"CHECKSUM= 'abc'", "DATASUM = '123'", "BLANK   =               -32768",
                           "ZQUANTIZ= 'SUBTRACTIVE_DITHER_1'", "NAXIS4  =                    1",
                           "NAXIS2  =                   99", "ZTILE1  =                    9",
                           // Damaged copies that other readers still take for NAXIS1, BZERO.
                           "NAXIS1  ??                   4", "BZERO 32768",
                           "NAXIS2 !=                32768", "NAXIS3 @=                    3"})
    image.Header.AddBeforeEnd(card);
  for (bool compressed : {false, true}) {
    SCOPED_TRACE(compressed);
    const fs::path p = dir / "s.fits";
    ASSERT_TRUE(WriteFits(image, p, compressed));
    const TFitsStrings h = FileHeader(p);
    for (const char* key : {"CHECKSUM", "DATASUM", "BLANK", "NAXIS4", "ZTILE1"})
      EXPECT_FALSE(h.HasKey(key)) << key;
    // The stale quantization card is gone; a compressed float file has its own in the
    // table header (the reader drops it again: it describes the tiles, not the image).
    EXPECT_FALSE(h.HasKey("ZQUANTIZ"));
    std::ifstream raw(p, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(raw)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes.find("ZQUANTIZ= 'NONE'") != std::string::npos, compressed);
    EXPECT_EQ(bytes.find("SUBTRACTIVE_DITHER_1"), std::string::npos);
    int naxis1 = 0, naxis2 = 0, naxis3 = 0, bzero = 0;
    for (const std::string& c : h) {
      naxis1 += c.starts_with("NAXIS1");
      naxis2 += c.starts_with("NAXIS2");
      naxis3 += c.starts_with("NAXIS3");
      bzero += c.starts_with("BZERO");
    }
    EXPECT_EQ(naxis1, 1);
    EXPECT_EQ(naxis2, 1);
    EXPECT_EQ(naxis3, 0);
    EXPECT_EQ(bzero, 1);
    EXPECT_EQ(h.GetInt("NAXIS2"), 2);
    TAImage back;  // CFITSIO reads the compressed one
    ReadFits(back, p, 0, false);
    ASSERT_EQ(back.Status, kOk);
    EXPECT_TRUE(back.MainPlane->Equals(*image.MainPlane));
  }
  const fs::path p = dir / "s.fits";
  // Integer output keeps BLANK.
  image.IsFloat = 0;
  image.Header.AddBeforeEnd("BLANK   =               -32768");
  ASSERT_TRUE(WriteFits(image, p, false));
  EXPECT_TRUE(FileHeader(p).HasKey("BLANK"));
}

// A failed save leaves the original as it was and no temporary behind.
TEST(ImaFilesWrite, FailedSaveKeepsOriginal) {
  TTempDir dir;
  const fs::path p = dir / "keep.fits";
  std::ofstream(p) << "original";
  TAImage image;
  image.SetSize(500, 500, false);
  image.IsFloat = 1;
  std::mt19937 gen(1);  // noise: the compressed file is as large as the plain one
  for (int32_t i = 0; i < image.MainPlane->Count; ++i)
    image.MainPlane->Data[i] = std::bit_cast<float>(uint32_t(gen() & 0x3FFFFFFF));

  // Disk full, as the kernel reports it: the file-size limit makes writes fail with EFBIG.
  struct rlimit old {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 100000;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool plain = WriteFits(image, p, false);
  const bool compressed = WriteFits(image, p, true);
  const bool text = ExportText(image, p);
  const bool raw = ExportRawFloat(image, p);
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(plain);
  EXPECT_FALSE(compressed);
  EXPECT_FALSE(text);
  EXPECT_FALSE(raw);
  EXPECT_TRUE(FileBytes(p) == "original");
  int files = 0;
  for (const auto& e : fs::directory_iterator(dir.Path)) files += e.is_regular_file();
  EXPECT_EQ(files, 1);

  // A folder that does not exist, and a target that is a folder.
  EXPECT_FALSE(WriteFits(image, dir / "none" / "x.fits", false));
  fs::create_directory(dir / "d.fits");
  EXPECT_FALSE(WriteFits(image, dir / "d.fits", false));
  EXPECT_TRUE(fs::is_directory(dir / "d.fits"));
}

TEST(ImaFilesWrite, ReplacesThroughSymlinkAndKeepsPermissions) {
  TTempDir dir;
  const fs::path real = dir / "real.fits";
  const fs::path link = dir / "link.fits";
  std::ofstream(real) << "old";
  ::chmod(real.c_str(), 0640);
  fs::create_symlink(real, link);
  TAImage image;
  image.SetSize(2, 2, false);
  image.MainPlane->Fill(7);
  ASSERT_TRUE(WriteFits(image, link, false));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(FileBytes(real).size(), 5760u);
  struct stat st {};
  ASSERT_EQ(::stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// ------------------------------------------------------------------ exports

TEST(ImaFilesExport, TextAndRaw) {
  TTempDir dir;
  TAImage mono;
  mono.SetSize(2, 1, false);
  FillPlane(*mono.MainPlane, {1.5f, 1234567.8f});
  ASSERT_TRUE(ExportText(mono, dir / "m.txt"));
  EXPECT_EQ(FileBytes(dir / "m.txt"), "2\r\n1\r\nMONO\r\n1.5\r\n1234568\r\n");

  TAImage colour;
  colour.SetSize(1, 2, true);
  FillPlane(*colour.RedPlane, {1, 2});
  FillPlane(*colour.MainPlane, {0.1f, -3});
  FillPlane(*colour.BluePlane, {1e-10f, 5e20f});
  ASSERT_TRUE(ExportText(colour, dir / "c.txt"));
  EXPECT_EQ(FileBytes(dir / "c.txt"),
            "1\r\n2\r\nCOLOR\r\n1 0.1 1e-10\r\n2 -3 5e+20\r\n");

  ASSERT_TRUE(ExportRawFloat(colour, dir / "c.raw"));
  const std::string raw = FileBytes(dir / "c.raw");
  ASSERT_EQ(raw.size(), 6 * sizeof(float));
  std::vector<float> v(6);
  std::memcpy(v.data(), raw.data(), raw.size());
  EXPECT_EQ(v, (std::vector<float>{1, 2, 0.1f, -3, 1e-10f, 5e20f}));
}

// ------------------------------------------------------------------ tile compression

// Slow, obvious RICE_1 decoder (block 32, 4-byte pixels) written from the convention.
std::vector<int32_t> RiceDecode(const std::vector<uint8_t>& in, int n) {
  std::size_t bit = 0;
  auto get = [&](int count) {
    uint64_t v = 0;
    for (int i = 0; i < count; ++i, ++bit) {
      if (bit / 8 >= in.size()) throw std::runtime_error("past the end");
      v = (v << 1) | ((in[bit / 8] >> (7 - bit % 8)) & 1);
    }
    return v;
  };
  std::vector<int32_t> out;
  uint32_t last = uint32_t(get(32));
  while (int(out.size()) < n) {
    const int code = int(get(5));
    const int count = std::min(32, n - int(out.size()));
    for (int j = 0; j < count; ++j) {
      uint32_t u;
      if (code == 0) {
        u = 0;
      } else if (code == 26) {
        u = uint32_t(get(32));
      } else {
        const int fs = code - 1;
        uint32_t top = 0;
        while (get(1) == 0) ++top;
        u = (top << fs) | uint32_t(get(fs));
      }
      const uint32_t d = (u & 1) ? ~(u >> 1) : (u >> 1);
      last += d;
      out.push_back(int32_t(last));
    }
  }
  return out;
}

TEST(ImaFilesCompress, RiceByHand) {
  std::vector<uint8_t> out;
  const int32_t same[] = {5, 5, 5};
  RiceCompressRow(same, 3, out);
  // First value in 32 bits, then one block of zero differences: code 0 in 5 bits.
  EXPECT_EQ(out, (std::vector<uint8_t>{0, 0, 0, 5, 0}));
  out.clear();
  const int32_t rising[] = {0, 1};
  RiceCompressRow(rising, 2, out);
  // Codes 0 and 2, sum 2: fs 0, block code 00001; then "1" and "001": 000011001, padded.
  EXPECT_EQ(out, (std::vector<uint8_t>{0, 0, 0, 0, 0x0C, 0x80}));
}

TEST(ImaFilesCompress, RiceDecodesToInput) {
  std::mt19937 gen(7);
  struct TCase {
    const char* Name;
    std::function<int32_t(int)> Value;
  } const cases[] = {
      {"zeros", [](int) { return 0; }},
      {"small noise", [&](int) { return int32_t(gen() % 7) + 1000; }},
      {"16-bit noise", [&](int) { return int32_t(gen() % 65536) - 32768; }},
      {"full 32-bit range", [&](int) { return int32_t(gen()); }},
      {"extremes (differences wrap)",
       [](int i) { return i % 2 ? std::numeric_limits<int32_t>::max()
                                : std::numeric_limits<int32_t>::min(); }},
      {"ramp with one spike", [](int i) { return i == 40 ? 1 << 30 : i * 3; }},
  };
  for (const auto& c : cases) {
    for (int n : {1, 2, 31, 32, 33, 64, 100, 1037}) {
      SCOPED_TRACE(::testing::Message() << c.Name << " n=" << n);
      std::vector<int32_t> v(static_cast<std::size_t>(n));
      for (int i = 0; i < n; ++i) v[std::size_t(i)] = c.Value(i);
      std::vector<uint8_t> out = {0xAB};  // appended after existing bytes
      RiceCompressRow(v.data(), n, out);
      ASSERT_LE(out.size() - 1, RiceCompressBound(n));
      ASSERT_EQ(out[0], 0xAB);
      EXPECT_EQ(RiceDecode(std::vector<uint8_t>(out.begin() + 1, out.end()), n), v);
    }
  }
}

TEST(ImaFilesCompress, ShuffleAndGzip) {
  const uint8_t src[] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint8_t dst[8];
  ShuffleBytes(src, 2, 4, dst);
  EXPECT_EQ(std::vector<uint8_t>(dst, dst + 8), (std::vector<uint8_t>{1, 5, 2, 6, 3, 7, 4, 8}));
  ShuffleBytes(src, 4, 2, dst);
  EXPECT_EQ(std::vector<uint8_t>(dst, dst + 8), (std::vector<uint8_t>{1, 3, 5, 7, 2, 4, 6, 8}));

  std::string text(5000, 'a');
  for (std::size_t i = 0; i < text.size(); i += 7) text[i] = char('a' + i % 13);
  for (bool missing : {false, true}) {
    SCOPED_TRACE(missing);
    PretendDeflatePluginMissing(missing);
    TGzipCoder coder;
    EXPECT_EQ(coder.UsesDeflatePlugin(), !missing);
    std::vector<uint8_t> gz;
    ASSERT_TRUE(coder.Compress(reinterpret_cast<const uint8_t*>(text.data()), text.size(), gz));
    ASSERT_GE(gz.size(), 18u);
    EXPECT_EQ(gz[0], 0x1f);  // gzip magic
    EXPECT_EQ(gz[1], 0x8b);
    // Inflate with zlib's gzip decoder.
    std::string back(text.size(), '\0');
    z_stream z{};
    ASSERT_EQ(inflateInit2(&z, 15 + 16), Z_OK);
    z.next_in = gz.data();
    z.avail_in = uInt(gz.size());
    z.next_out = reinterpret_cast<Bytef*>(back.data());
    z.avail_out = uInt(back.size());
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
    inflateEnd(&z);
    EXPECT_EQ(back, text);
  }
  PretendDeflatePluginMissing(false);
}

// 1000 × 500 16-bit: NAXIS2 500, PCOUNT the sum of the tiles, TFORM1 the largest, both
// patched at their fixed places; the tiles lie back to back from the heap start.
TEST(ImaFilesCompress, TableHeaderAndDescriptors) {
  TTempDir dir;
  TAImage image;
  image.SetSize(1000, 500, false);
  std::mt19937 gen(3);
  for (int32_t i = 0; i < image.MainPlane->Count; ++i)
    image.MainPlane->Data[i] = float(int(gen() % 2000) - 1000 + (i % 1000));
  image.Header.AddBeforeEnd("CHECKSUM= 'x'");
  const fs::path p = dir / "t.fits";
  ASSERT_TRUE(WriteFits(image, p, true));
  const std::string f = FileBytes(p);
  ASSERT_EQ(f.size() % 2880, 0u);
  EXPECT_EQ(f.substr(0, 30), "SIMPLE  =                    T");
  EXPECT_EQ(f.substr(2880, 20), "XTENSION= 'BINTABLE'");
  EXPECT_EQ(f.substr(2880 + 4 * 80, 30), "NAXIS2  =                  500");
  EXPECT_EQ(f.substr(3280, 10), "PCOUNT  = ");
  EXPECT_EQ(f.substr(3600, 15), "TFORM1  = '1PB(");
  // Table header: find its END to locate the table.
  std::size_t end = 2880;
  while (f.compare(end, 4, "END ") != 0) end += 80;
  const std::size_t table = (end / 2880 + 1) * 2880;
  const std::string header = f.substr(2880, table - 2880);
  EXPECT_EQ(header.find("CHECKSUM"), std::string::npos);
  for (const char* card : {"ZIMAGE  =                    T", "ZTILE1  =                 1000",
                           "ZCMPTYPE= 'RICE_1'", "ZNAME1  = 'BLOCKSIZE'",
                           "ZBITPIX =                   16", "ZNAXIS  =                    2",
                           "ZNAXIS1 =                 1000", "ZSIMPLE =                    T"})
    EXPECT_NE(header.find(card), std::string::npos) << card;
  auto be32 = [&](std::size_t at) {
    return int64_t(uint8_t(f[at])) << 24 | int64_t(uint8_t(f[at + 1])) << 16 |
           int64_t(uint8_t(f[at + 2])) << 8 | int64_t(uint8_t(f[at + 3]));
  };
  int64_t sum = 0, largest = 0;
  for (int r = 0; r < 500; ++r) {
    const int64_t size = be32(table + 8 * std::size_t(r));
    EXPECT_EQ(be32(table + 8 * std::size_t(r) + 4), sum) << r;
    sum += size;
    largest = std::max(largest, size);
  }
  EXPECT_EQ(std::stoll(f.substr(3290, 20)), sum);
  EXPECT_EQ(f.substr(3600, 80).find("'1PB(" + std::to_string(largest) + ")'"), 10u);
  EXPECT_EQ(f.size(), (table + 500 * 8 + std::size_t(sum) + 2879) / 2880 * 2880);
  // The in-memory header did not receive the table cards.
  EXPECT_FALSE(image.Header.HasKey("ZIMAGE"));
  EXPECT_FALSE(image.Header.HasKey("XTENSION"));
  EXPECT_FALSE(image.Header.HasKey("CHECKSUM"));
}

TEST(ImaFilesCompress, RoundTripsThroughCfitsio) {
  TTempDir dir;
  for (const auto& c : kRoundTrips) {
    for (bool wide : {false, true}) {
      SCOPED_TRACE(::testing::Message() << c.Name << (wide ? " wide" : ""));
      TFITSCompressor::SetWideDescriptorThresholdForTest(wide ? 1 : 0);
      TAImage image;
      image.SetSize(3, 2, false);
      image.IsFloat = c.IsFloat;
      FillPlane(*image.MainPlane, c.Values);
      const fs::path p = dir / "c.fits";
      const bool ok = WriteFits(image, p, true);
      TFITSCompressor::SetWideDescriptorThresholdForTest(0);
      ASSERT_TRUE(ok);
      EXPECT_EQ(FileBytes(p).substr(3600, 15),
                wide ? "TFORM1  = '1QB(" : "TFORM1  = '1PB(");
      TAImage back;
      ReadFits(back, p, 0, false);
      ASSERT_EQ(back.Status, kOk);
      EXPECT_EQ(PlaneValues(*back.MainPlane), Rounded(c));
      EXPECT_EQ(back.Header.GetString("ORIG_CMP"), c.IsFloat ? "GZIP_2" : "RICE_1");
      EXPECT_EQ(back.Header.GetInt("BITPIX"), c.Bitpix);
      // Saving again drops ORIG_CMP.
      ASSERT_TRUE(WriteFits(back, p, false));
      EXPECT_FALSE(FileHeader(p).HasKey("ORIG_CMP"));
    }
  }
}

TEST(ImaFilesCompress, MethodChoice) {
  TTempDir dir;
  struct TCase {
    const char* Name;
    bool Colour, IsFloat, Checkerboard;
    const char* Method;
  } const cases[] = {
      {"integer noise", false, false, false, "RICE_1"},
      {"integer checkerboard", false, false, true, "GZIP_2"},
      {"colour checkerboard", true, false, true, "RICE_1"},
      {"float", false, true, false, "GZIP_2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TAImage image;
    image.SetSize(64, 64, c.Colour);
    image.IsFloat = c.IsFloat;
    std::mt19937 gen(5);
    for (TBWImage* plane : {image.MainPlane.get(), image.RedPlane.get(), image.BluePlane.get()}) {
      if (!plane) continue;
      for (int32_t y = 0; y < 64; ++y)
        for (int32_t x = 0; x < 64; ++x)
          plane->Data[y * 64 + x] =
              float(gen() % 50) + (c.Checkerboard && (x + y) % 2 ? 3000.0f : 0.0f);
    }
    const fs::path p = dir / "m.fits";
    ASSERT_TRUE(WriteFits(image, p, true));
    TAImage back;
    ReadFits(back, p, 0, false);
    ASSERT_EQ(back.Status, kOk);
    EXPECT_EQ(back.Header.GetString("ORIG_CMP"), c.Method);
    EXPECT_TRUE(back.MainPlane->Equals(*image.MainPlane));
    if (c.Colour) {
      EXPECT_TRUE(back.RedPlane->Equals(*image.RedPlane));
      EXPECT_TRUE(back.BluePlane->Equals(*image.BluePlane));
    }
  }
}

TEST(ImaFilesCompress, WithoutDeflatePluginSameKindOfFile) {
  TTempDir dir;
  PretendDeflatePluginMissing(true);
  TAImage image;
  image.SetSize(40, 30, false);
  image.IsFloat = 1;
  for (int32_t i = 0; i < image.MainPlane->Count; ++i) image.MainPlane->Data[i] = 0.25f * float(i);
  const fs::path p = dir / "z.fits";
  const bool ok = WriteFits(image, p, true);
  PretendDeflatePluginMissing(false);
  ASSERT_TRUE(ok);
  TAImage back;
  ReadFits(back, p, 0, false);
  ASSERT_EQ(back.Status, kOk);
  EXPECT_TRUE(back.MainPlane->Equals(*image.MainPlane));
}

// Compressed images behind a table and behind another compressed image: the reader moves to
// the unit the header reader chose.
TEST(ImaFilesCompress, ImageExtensionsBehindOtherUnits) {
  TTempDir dir;
  auto compressedFile = [&](float base, const std::string& name) {
    TAImage image;
    image.SetSize(5, 4, false);
    for (int32_t i = 0; i < 20; ++i) image.MainPlane->Data[i] = base + float(i);
    const fs::path p = dir / name;
    EXPECT_TRUE(WriteFits(image, p, true));
    return FileBytes(p);
  };
  const std::string a = compressedFile(100, "a.fits");
  const std::string b = compressedFile(500, "b.fits");
  const std::string table =
      TFitsBuilder()
          .Header({StrCard("XTENSION", "BINTABLE"), IntCard("BITPIX", 8), IntCard("NAXIS", 2),
                   IntCard("NAXIS1", 4), IntCard("NAXIS2", 2), IntCard("PCOUNT", 0),
                   IntCard("GCOUNT", 1), IntCard("TFIELDS", 1), StrCard("TFORM1", "1J")})
          .Data(std::vector<int32_t>{1, 2})
          .Pad()
          .Bytes;
  const fs::path p = dir / "mef.fits";
  std::ofstream(p, std::ios::binary) << a << table << b.substr(2880);
  for (int hdu : {1, 2}) {
    SCOPED_TRACE(hdu);
    TAImage image;
    ReadFits(image, p, hdu, false);
    ASSERT_EQ(image.Status, kOk);
    EXPECT_EQ(image.MainPlane->Data[0], hdu == 1 ? 100.0f : 500.0f);
    EXPECT_EQ(image.MainPlane->Data[19], hdu == 1 ? 119.0f : 519.0f);
  }
}

TEST(ImaFilesCompress, DamagedCompressedFileFails) {
  TTempDir dir;
  TAImage image;
  image.SetSize(300, 200, false);
  std::mt19937 gen(9);
  for (int32_t i = 0; i < image.MainPlane->Count; ++i) image.MainPlane->Data[i] = float(gen() % 60000);
  const fs::path p = dir / "d.fits";
  ASSERT_TRUE(WriteFits(image, p, true));
  const std::string f = FileBytes(p);
  // Cut inside the heap.
  std::ofstream(p, std::ios::binary | std::ios::trunc).write(f.data(), std::streamsize(f.size() / 2));
  TAImage back;
  ReadFits(back, p, 0, false);
  EXPECT_EQ(back.Status, kLoadFailed | kLoadIncompatible);
  // Garbage tiles.
  std::string g = f;
  for (std::size_t i = g.size() / 2; i < g.size() - 3000; i += 3) g[i] = char(0xA5);
  std::ofstream(p, std::ios::binary | std::ios::trunc).write(g.data(), std::streamsize(g.size()));
  TAImage garbage;
  ReadFits(garbage, p, 0, false);
  // The decoder may or may not notice; either way a status, no crash.
  EXPECT_TRUE(garbage.Status == kOk || garbage.Status == (kLoadFailed | kLoadIncompatible))
      << garbage.Status;
}

// A few kilobytes of tiles cannot hold 30000 × 30000 pixels: refused before the planes are
// allocated.
TEST(ImaFilesCompress, OversizedClaimRefusedBeforeAllocation) {
  TTempDir dir;
  TAImage image;
  image.SetSize(5, 4, false);
  image.MainPlane->Fill(1);
  const fs::path p = dir / "claim.fits";
  ASSERT_TRUE(WriteFits(image, p, true));
  std::string f = FileBytes(p);
  for (const char* key : {"ZNAXIS1 =", "ZNAXIS2 ="}) {
    const std::size_t at = f.find(key);
    ASSERT_NE(at, std::string::npos);
    f.replace(at + 10, 20, "               30000");
  }
  std::ofstream(p, std::ios::binary | std::ios::trunc).write(f.data(), std::streamsize(f.size()));
  TAImage back;
  ReadFits(back, p, 0, false);
  EXPECT_EQ(back.Status, kLoadFailed | kLoadIncompatible);
  EXPECT_EQ(back.Width(), 16);
}

// A Rice tile whose bits run out inside a block would send CFITSIO's decoder past the tile
// (it looks for the next one bit without a bound): such a file is refused beforehand.
TEST(ImaFilesCompress, RiceTileRunningOutOfBitsRefused) {
  TTempDir dir;
  TAImage image;
  image.SetSize(64, 2, false);
  std::mt19937 gen(4);
  for (int32_t i = 0; i < image.MainPlane->Count; ++i) image.MainPlane->Data[i] = float(gen() % 1000);
  const fs::path p = dir / "r.fits";
  ASSERT_TRUE(WriteFits(image, p, true));
  std::string f = FileBytes(p);
  std::size_t end = 2880;
  while (f.compare(end, 4, "END ") != 0) end += 80;
  const std::size_t table = (end / 2880 + 1) * 2880;
  auto be32 = [&](std::size_t at) {
    return std::size_t(uint8_t(f[at])) << 24 | std::size_t(uint8_t(f[at + 1])) << 16 |
           std::size_t(uint8_t(f[at + 2])) << 8 | std::size_t(uint8_t(f[at + 3]));
  };
  const std::size_t size = be32(table + 8), offset = be32(table + 12);  // second tile
  ASSERT_GT(size, 6u);
  const std::size_t tile = table + 2 * 8 + offset;
  f[tile + 4] = char(0x08);  // block code 1 (fs 0): a coded block follows...
  std::fill(f.begin() + std::ptrdiff_t(tile + 5), f.begin() + std::ptrdiff_t(tile + size), '\0');
  std::ofstream(p, std::ios::binary | std::ios::trunc).write(f.data(), std::streamsize(f.size()));
  TAImage back;
  ReadFits(back, p, 0, false);  // ...but no one bit ends its first pixel
  EXPECT_EQ(back.Status, kLoadFailed | kLoadIncompatible);
  EXPECT_EQ(back.Width(), 16);  // refused by the check, before the decoder ran
}

// Readers take a card that begins like THEAP, or a column keyword, for the table's own: such
// image cards stay out of the table header (the in-memory header keeps them).
TEST(ImaFilesCompress, ImageCardsLikeTableKeywordsLeftOut) {
  TTempDir dir;
  TAImage image;
  image.SetSize(6, 3, false);
  image.IsFloat = 1;
  for (int32_t i = 0; i < 18; ++i) image.MainPlane->Data[i] = 0.5f * float(i);
  for (const char* card : {"THEAPX  =                    5", "TSCAL1  =                  2.0",
                           "TZERO1  =                100.0", "TFORM7  = '1J'"})
    image.Header.AddBeforeEnd(card);
  const fs::path p = dir / "t.fits";
  ASSERT_TRUE(WriteFits(image, p, true));
  EXPECT_TRUE(image.Header.HasKey("THEAPX"));
  TAImage back;
  ReadFits(back, p, 0, false);
  ASSERT_EQ(back.Status, kOk);
  EXPECT_TRUE(back.MainPlane->Equals(*image.MainPlane));
}

// CFITSIO divides by every ZTILEn of a compressed unit it passes: ZTILE2 = 0 must be refused
// before CFITSIO sees the file (it would end the process with a division by zero).
TEST(ImaFilesCompress, ZeroTileSizeRefused) {
  TTempDir dir;
  TAImage image;
  image.SetSize(5, 4, true);
  image.MainPlane->Fill(1);
  image.RedPlane->Fill(2);
  image.BluePlane->Fill(3);
  const fs::path p = dir / "z.fits";
  ASSERT_TRUE(WriteFits(image, p, true));
  std::string f = FileBytes(p);
  for (const char* card : {"ZTILE2  =                    1", "ZTILE3  =                    1"}) {
    SCOPED_TRACE(card);
    std::string g = f;
    const std::size_t at = g.find(card);
    ASSERT_NE(at, std::string::npos);
    g[at + 29] = '0';
    std::ofstream(p, std::ios::binary | std::ios::trunc).write(g.data(), std::streamsize(g.size()));
    TAImage back;
    ReadFits(back, p, 0, false);
    EXPECT_EQ(back.Status, kLoadFailed | kLoadIncompatible);
  }
}

TEST(ImaFilesCompress, PluginMissingIsTriedOnce) {
  TTempDir dir;
  TAImage image;
  image.SetSize(4, 4, false);
  image.MainPlane->Fill(3);
  const fs::path p = dir / "p.fits";
  ASSERT_TRUE(WriteFits(image, p, true));

  PretendCompressionPluginMissing(true);
  for (int attempt = 0; attempt < 2; ++attempt) {
    TAImage back;
    ReadFits(back, p, 0, false);
    EXPECT_EQ(back.Status, kLoadPluginMissing);
  }
  EXPECT_EQ(CompressionPluginLoadAttempts(), 1);  // the failed load is not retried
  EXPECT_FALSE(CompressionPluginLoaded());
  PretendCompressionPluginMissing(false);
  TAImage back;
  ReadFits(back, p, 0, false);
  EXPECT_EQ(back.Status, kOk);
  EXPECT_EQ(CompressionPluginLoadAttempts(), 1);
}

}  // namespace
}  // namespace orlu
