#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "FormatsTestUtil.h"
#include "formats/LoadStatus.h"
#include "formats/uFiles.h"
#include "formats/uLibraw.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"

using namespace orlu;
using orlu::testing_formats::TTempDir;

namespace {

// ============================================================================ TIFF builder

// One directory entry. Values are numbers (BYTE/SHORT/LONG, or numerator/denominator pairs
// for RATIONAL) or a text (ASCII, NUL appended). RawField writes count and the 4-byte value
// field exactly as given, for entries that point where they should not.
struct TTag {
  uint16_t Tag = 0;
  uint16_t Type = 0;
  std::vector<uint32_t> Values;
  std::string Text;
  std::optional<std::pair<uint32_t, uint32_t>> RawField;  // count, value field
  bool ExifPointer = false;  // value is patched to the offset of the EXIF directory
  bool StripPointer = false;  // value is patched to the offset of the pixel data
};

TTag Short(uint16_t tag, std::vector<uint32_t> v) { return {tag, 3, std::move(v), {}, {}}; }
TTag Long(uint16_t tag, std::vector<uint32_t> v) { return {tag, 4, std::move(v), {}, {}}; }
TTag Bytes(uint16_t tag, std::vector<uint32_t> v) { return {tag, 1, std::move(v), {}, {}}; }
TTag Ascii(uint16_t tag, std::string s) { return {tag, 2, {}, std::move(s), {}}; }
TTag Rational(uint16_t tag, uint32_t num, uint32_t den) { return {tag, 5, {num, den}, {}, {}}; }
TTag Raw(uint16_t tag, uint16_t type, uint32_t count, uint32_t field) {
  TTag t{tag, type, {}, {}, {}};
  t.RawField = std::make_pair(count, field);
  return t;
}

class TTiffWriter {
 public:
  explicit TTiffWriter(bool big) : Big_(big) {}

  void Put(std::string& out, uint64_t v, int n) const {
    for (int k = 0; k < n; ++k) out += char((v >> (8 * (Big_ ? n - 1 - k : k))) & 0xFF);
  }

  static int TypeSize(uint16_t type) {
    switch (type) {
      case 1: case 2: case 7: return 1;
      case 3: return 2;
      case 5: return 8;
      default: return 4;
    }
  }
  static uint32_t Count(const TTag& t) {
    if (t.RawField) return t.RawField->first;
    if (t.Type == 2) return uint32_t(t.Text.size() + 1);
    if (t.Type == 5) return uint32_t(t.Values.size() / 2);
    return uint32_t(t.Values.size());
  }
  std::string Payload(const TTag& t) const {
    std::string p;
    if (t.Type == 2) {
      p = t.Text;
      p += '\0';
    } else {
      const int n = t.Type == 5 ? 4 : TypeSize(t.Type);
      for (uint32_t v : t.Values) Put(p, v, n);
    }
    return p;
  }
  // Bytes of a directory with its out-of-line data.
  size_t DirSize(const std::vector<TTag>& tags) const {
    size_t n = 2 + 12 * tags.size() + 4;
    for (const TTag& t : tags) {
      const size_t p = t.RawField ? 0 : Payload(t).size();
      if (p > 4) n += (p + 1) / 2 * 2;
    }
    return n;
  }
  // A directory placed at offset at, patched pointers resolved.
  std::string Dir(std::vector<TTag> tags, size_t at, uint32_t exifAt, uint32_t stripAt) const {
    std::string d, data;
    size_t dataAt = at + 2 + 12 * tags.size() + 4;
    Put(d, tags.size(), 2);
    for (TTag& t : tags) {
      if (t.ExifPointer) t.Values = {exifAt};
      if (t.StripPointer) t.Values = {stripAt};
      Put(d, t.Tag, 2);
      Put(d, t.Type, 2);
      Put(d, Count(t), 4);
      if (t.RawField) {
        Put(d, t.RawField->second, 4);
        continue;
      }
      std::string p = Payload(t);
      if (p.size() <= 4) {
        p.resize(4, '\0');
        d += p;
      } else {
        Put(d, dataAt + data.size(), 4);
        data += p;
        if (data.size() % 2) data += '\0';
      }
    }
    Put(d, 0, 4);
    return d + data;
  }
  // Header, IFD0, the EXIF directory (when given) and the pixel bytes.
  std::string File(const std::vector<TTag>& ifd0, const std::vector<TTag>& exif,
                   const std::string& pixels) const {
    std::string f = Big_ ? std::string("MM\0*", 4) : std::string("II*\0", 4);
    Put(f, 8, 4);
    const size_t exifAt = 8 + DirSize(ifd0);
    const size_t stripAt = exifAt + (exif.empty() ? 0 : DirSize(exif));
    f += Dir(ifd0, 8, uint32_t(exifAt), uint32_t(stripAt));
    if (!exif.empty()) f += Dir(exif, exifAt, uint32_t(exifAt), uint32_t(stripAt));
    return f + pixels;
  }

 private:
  bool Big_;
};

TTag ExifPointer() {
  TTag t = Long(34665, {0});
  t.ExifPointer = true;
  return t;
}

// ============================================================================ DNG fixture

constexpr int32_t kDngW = 128;
constexpr int32_t kDngH = 120;

// Mosaic sample at (x, y), y counted from the top of the picture: distinct along both axes.
uint16_t MosaicValue(int32_t x, int32_t y) { return uint16_t(100 + x + 300 * y); }

struct TDngSpec {
  std::string Model = "Orlu Test Camera";
  std::string DateTime = "2021:03:04 05:06:07";
  std::string DateOriginal = "2022:10:11 12:13:14";
  uint32_t ExpNum = 30, ExpDen = 1;
  // RGGB colour values; 0 uses MosaicValue.
  uint16_t R = 0, G = 0, B = 0;
};

std::string MakeDng(const TDngSpec& s) {
  std::string px;
  for (int32_t y = 0; y < kDngH; ++y) {
    for (int32_t x = 0; x < kDngW; ++x) {
      uint16_t v = MosaicValue(x, y);
      if (s.R) v = (y % 2 == 0) ? (x % 2 == 0 ? s.R : s.G) : (x % 2 == 0 ? s.G : s.B);
      px += char(v & 0xFF);
      px += char(v >> 8);
    }
  }
  TTag strip = Long(273, {0});
  strip.StripPointer = true;
  std::vector<TTag> ifd0 = {
      Long(254, {0}),
      Long(256, {kDngW}),
      Long(257, {kDngH}),
      Short(258, {16}),
      Short(259, {1}),
      Short(262, {32803}),
      Ascii(271, "Orlu"),
      Ascii(272, s.Model),
      strip,
      Short(274, {1}),
      Short(277, {1}),
      Long(278, {kDngH}),
      Long(279, {uint32_t(px.size())}),
      Short(284, {1}),
      Ascii(306, s.DateTime),
      Short(33421, {2, 2}),
      Bytes(33422, {0, 1, 1, 2}),
      ExifPointer(),
      Bytes(50706, {1, 4, 0, 0}),
  };
  std::vector<TTag> exif = {Rational(33434, s.ExpNum, s.ExpDen), Ascii(36867, s.DateOriginal)};
  return TTiffWriter(false).File(ifd0, exif, px);
}

// ============================================================================ a fake decoder

struct TFakeDecoder {
  int32_t Flags = -1;
  int32_t Opens = 0;
  int32_t Releases = 0;
  bool Accept = true;
  int32_t W = 4, H = 3;
  double Stamp = 0;
};
TFakeDecoder gFake;

const TRawDecoderApi kFakeApi{
    [](const char*, int32_t flags, const wchar_t*) -> int32_t {
      gFake.Flags = flags;
      ++gFake.Opens;
      return gFake.Accept ? 1 : 0;
    },
    [](double* t) -> int32_t {
      *t = gFake.Stamp;
      return 1;
    },
    [](int32_t* w, int32_t* h) -> int32_t {
      *w = gFake.W;
      *h = gFake.H;
      return 1;
    },
    [](float* r, float* g, float* b) -> int32_t {
      if (!r) {
        ++gFake.Releases;
        return 0;
      }
      for (int32_t i = 0; i < gFake.W * gFake.H; ++i) {
        r[i] = float(1000 + i);
        if (g) g[i] = float(2000 + i);
        if (b) b[i] = float(3000 + i);
      }
      return 1;
    },
};

class CameraRaw : public ::testing::Test {
 protected:
  void SetUp() override { gFake = TFakeDecoder{}; }
  void TearDown() override {
    RestoreRawDecoderLibrary();
    PretendLibRawMissing(false);
  }
  uint32_t Load(const std::string& path, TAImage& image) {
    LoadImage(BuiltinLoaders(), path, 0, image, Opt);
    return image.Status;
  }
  TTempDir Dir;
  TQVOptions Opt;
};

// The loaded mosaic shows the picture's top row at the top of the screen: image row r is
// picture row H-1-r.
void ExpectMosaic(const TAImage& image) {
  ASSERT_EQ(image.Width(), kDngW);
  ASSERT_EQ(image.Height(), kDngH);
  ASSERT_FALSE(image.IsColour());
  for (int32_t r = 0; r < kDngH; ++r)
    for (int32_t c = 0; c < kDngW; ++c)
      ASSERT_EQ(image.Value(c, r), float(MosaicValue(c, kDngH - 1 - r))) << c << "," << r;
  EXPECT_EQ(image.Header.GetInt("BITPIX"), 16);
  EXPECT_EQ(image.Header.GetInt("NAXIS"), 2);
}

}  // namespace

// ============================================================================ flags and lists

TEST(CameraRawFlags, FollowTheOptions) {
  struct Row {
    const char* name;
    bool synthesis, binning, hq, cameraWB, softwareWB, preview;
    int32_t flags;
  } rows[] = {
      {"defaults: mosaic", false, false, false, true, false, false, 1 + 4 + 16},
      {"colour", true, false, false, true, false, false, 1 + 4},
      {"colour, high quality", true, false, true, true, false, false, 4},
      {"colour, binned", true, true, false, true, false, false, 7},
      {"colour, binned, high quality", true, true, true, true, false, false, 7},
      {"binning alone keeps the mosaic", false, true, false, true, false, false, 1 + 4 + 16},
      {"software white balance", true, false, false, false, true, false, 1 + 8},
      {"no white balance, mosaic", false, false, true, false, false, false, 16},
      {"preview of a mosaic setting", false, false, true, true, false, true, 7},
  };
  for (const Row& r : rows) {
    TDslrOptions o;
    o.DCColorSynthesis = r.synthesis;
    o.Binning2x2 = r.binning;
    o.HQInterpolation = r.hq;
    o.CameraWB = r.cameraWB;
    o.SoftwareWB = r.softwareWB;
    EXPECT_EQ(DcrawFlags(o, r.preview), r.flags) << r.name;
  }
}

TEST(CameraRawFlags, ExtensionListIsComparedItemByItem) {
  const std::string list = TDslrOptions().FileExtensions;
  for (const char* p : {"a.NEF", "/x/y.cr2", "b.dng", "c.RaF", "d.crw"})
    EXPECT_TRUE(ExtensionListed(p, list)) << p;
  // ".r" and ".cr" are parts of listed items, not items: SBIG ".r" files are not RAW.
  for (const char* p : {"a.r", "a.cr", "a.ne", "a", "a.tif", "nef"})
    EXPECT_FALSE(ExtensionListed(p, list)) << p;
  EXPECT_TRUE(ExtensionListed("a.tif", "nef; .TIF"));
}

// ============================================================================ EXIF reader

TEST(ExifReader, ReadsDngTagsAndTheExifDirectory) {
  const std::string dng = MakeDng({});
  const TMemorySource src(dng.data(), dng.size());
  const TExifMetadata m = ReadExifMetadata(src);
  EXPECT_TRUE(m.HasTiffHeader);
  EXPECT_EQ(m.Width, kDngW);
  EXPECT_EQ(m.Height, kDngH);
  EXPECT_EQ(m.BitsPerSample, 16);
  EXPECT_EQ(m.Compression, 1);
  EXPECT_EQ(m.SamplesPerPixel, 1);
  EXPECT_EQ(m.BitDepth(), 16);
  EXPECT_EQ(m.Make, "Orlu");
  EXPECT_EQ(m.Model, "Orlu Test Camera");
  EXPECT_EQ(m.StripOffset, dng.size() - size_t(kDngW) * kDngH * 2);
  // "Orlu" has 5 bytes with its NUL: more than 4, so it makes a comment too.
  EXPECT_EQ(m.Text,
            "COMMENT Orlu\r\n"
            "COMMENT Orlu Test Camera\r\n"
            "DATE-OBS= '2021-03-04T05:06:07'\r\n"
            "EXPOSURE=               30.000\r\n"
            "DATE-OBS= '2022-10-11T12:13:14'");
}

TEST(ExifReader, ExposureAndDateEdgeCases) {
  struct Row {
    const char* name;
    TTag tag;
    const char* line;  // "" when no line may appear
  } rows[] = {
      {"1/8000 s is recorded as 0.001", Rational(33434, 1, 8000), "EXPOSURE=                0.001"},
      {"1/3 s", Rational(33434, 1, 3), "EXPOSURE=                0.333"},
      {"huge exposure", Rational(33434, 4000000000u, 1), "EXPOSURE=       4000000000.000"},
      {"zero denominator", Rational(33434, 5, 0), ""},
      {"exposure not rational", Long(33434, {30}), ""},
      {"date of zeros", Ascii(36867, "0000:00:00 00:00:00"), ""},
      {"blank date", Ascii(306, "    :  :     :  :  "), ""},
      {"month 13", Ascii(306, "2020:13:01 00:00:00"), ""},
      {"short date", Ascii(306, "2020:01:01"), ""},
      {"good date", Ascii(306, "1999:12:31 23:59:59"), "DATE-OBS= '1999-12-31T23:59:59'"},
      {"digitized date is skipped", Ascii(36868, "1999:12:31 23:59:59"), ""},
      {"four characters are too short", Ascii(305, "abc"), ""},
      {"control characters never split a line", Ascii(305, "ab\rSIMPLE  = F\nX"),
       "COMMENT ab SIMPLE  = F X"},
      {"text cut at 79 characters", Ascii(305, std::string(100, 'x')),
       nullptr},  // checked below
  };
  for (const Row& r : rows) {
    for (bool big : {false, true}) {
      const std::string f = TTiffWriter(big).File({r.tag}, {}, "");
      const TExifMetadata m = ReadExifMetadata(TMemorySource(f.data(), f.size()));
      ASSERT_TRUE(m.HasTiffHeader) << r.name;
      if (r.line)
        EXPECT_EQ(m.Text, r.line) << r.name << (big ? " MM" : " II");
      else
        EXPECT_EQ(m.Text, "COMMENT " + std::string(79, 'x')) << r.name;
    }
  }
}

TEST(ExifReader, FindsTheTiffHeaderWhereCamerasPutIt) {
  const std::string tiff = TTiffWriter(false).File({Ascii(272, "Model X1")}, {}, "");
  const std::string jpegApp1 = std::string("\xFF\xD8\xFF\xE1\x01\x00", 6) + "Exif" +
                               std::string(2, '\0') + tiff;
  // Offsets inside the TIFF structure count from its header, wherever it lies.
  const std::string later = std::string(1000, 'j') + tiff;
  const std::string tooLate = std::string(4000, 'j') + tiff;
  EXPECT_EQ(ReadExifMetadata(TMemorySource(jpegApp1.data(), jpegApp1.size())).Model, "Model X1");
  EXPECT_EQ(ReadExifMetadata(TMemorySource(later.data(), later.size())).Model, "Model X1");
  EXPECT_FALSE(ReadExifMetadata(TMemorySource(tooLate.data(), tooLate.size())).HasTiffHeader);
  const std::string big = TTiffWriter(true).File({Short(277, {3}), Short(258, {8})}, {}, "");
  const TExifMetadata m = ReadExifMetadata(TMemorySource(big.data(), big.size()));
  EXPECT_EQ(m.BitDepth(), 24);
  const std::string four = TTiffWriter(false).File({Short(277, {4}), Short(258, {8})}, {}, "");
  EXPECT_EQ(ReadExifMetadata(TMemorySource(four.data(), four.size())).BitDepth(), 64);
}

TEST(ExifReader, FitsHeaderInTheDescriptionIsReturnedAsHeaderText) {
  std::string header = "SIMPLE  =                    T";
  header.resize(80, ' ');
  header += "END";
  const std::string f = TTiffWriter(false).File({Ascii(270, header)}, {}, "");
  const TExifMetadata m = ReadExifMetadata(TMemorySource(f.data(), f.size()));
  EXPECT_EQ(m.FitsHeader, header);
  EXPECT_EQ(m.Text, "");
  const std::string g = TTiffWriter(false).File({Ascii(270, "A plain description")}, {}, "");
  EXPECT_EQ(ReadExifMetadata(TMemorySource(g.data(), g.size())).Text,
            "COMMENT A plain description");
}

// Hostile structures: each must end quickly without reading outside the file.
TEST(ExifReader, HostileStructuresAreBounded) {
  const TTiffWriter w(false);
  // EXIF directory pointing back at IFD0: IFD0 is read once.
  const std::string loop = w.File({Rational(33434, 2, 1), Long(34665, {8})}, {}, "");
  EXPECT_EQ(ReadExifMetadata(TMemorySource(loop.data(), loop.size())).Text,
            "EXPOSURE=                2.000");
  // A chain of EXIF directories pointing at each other.
  std::vector<TTag> exif = {Rational(33434, 3, 1), Long(34665, {8})};
  const std::string twoLoop = w.File({ExifPointer()}, exif, "");
  EXPECT_EQ(ReadExifMetadata(TMemorySource(twoLoop.data(), twoLoop.size())).Text,
            "EXPOSURE=                3.000");
  // Offsets and counts beyond the file; a huge count is never allocated.
  const std::string far = w.File({Raw(272, 2, 50, 0xFFFFFF00u), Raw(305, 2, 0xFFFFFFFFu, 8),
                                  Raw(33434, 5, 1, 0x7FFFFFFFu), Long(34665, {0xFFFFFFF0u}),
                                  Raw(270, 2, 0xFFFFFFFFu, 0)},
                                 {}, "");
  const TExifMetadata m = ReadExifMetadata(TMemorySource(far.data(), far.size()));
  EXPECT_TRUE(m.HasTiffHeader);
  EXPECT_EQ(m.Text, "");
  EXPECT_EQ(m.Model, "");
  // A directory that claims 65535 entries in a short file, and one whose offset is beyond it.
  std::string claims = w.File({Ascii(305, "Software 1")}, {}, "");
  claims[8] = '\xFF';
  claims[9] = '\xFF';
  EXPECT_TRUE(ReadExifMetadata(TMemorySource(claims.data(), claims.size())).HasTiffHeader);
  std::string away = claims;
  away[4] = '\x7F';
  EXPECT_EQ(ReadExifMetadata(TMemorySource(away.data(), away.size())).Text, "");
  // Every prefix of a valid file.
  const std::string dng = MakeDng({});
  for (size_t n = 0; n < 600; ++n) ReadExifMetadata(TMemorySource(dng.data(), n));
}

TEST(ExifReader, ReadsAtMost100EntriesPerDirectory) {
  std::vector<TTag> tags;
  for (uint16_t i = 0; i < 100; ++i) tags.push_back(Short(uint16_t(40000 + i), {1}));
  tags.push_back(Ascii(272, "Entry 101"));
  const std::string f = TTiffWriter(false).File(tags, {}, "");
  EXPECT_EQ(ReadExifMetadata(TMemorySource(f.data(), f.size())).Model, "");
  tags.erase(tags.begin());
  const std::string g = TTiffWriter(false).File(tags, {}, "");
  EXPECT_EQ(ReadExifMetadata(TMemorySource(g.data(), g.size())).Model, "Entry 101");
}

// ============================================================================ CIFF reader

namespace {

struct TCiffEntry {
  uint16_t Tag;
  std::string Data;  // for sub-directories: a whole heap (data + directory + offset)
};

void PutLe(std::string& s, uint64_t v, int n) {
  for (int k = 0; k < n; ++k) s += char((v >> (8 * k)) & 0xFF);
}

// A heap: the entries' data, the directory, its offset in the last 4 bytes.
std::string CiffHeap(const std::vector<TCiffEntry>& entries, int32_t countOverride = -1) {
  std::string data, dir;
  PutLe(dir, countOverride >= 0 ? uint32_t(countOverride) : entries.size(), 2);
  for (const TCiffEntry& e : entries) {
    PutLe(dir, e.Tag, 2);
    PutLe(dir, e.Data.size(), 4);
    PutLe(dir, data.size(), 4);
    data += e.Data;
  }
  std::string heap = data + dir;
  PutLe(heap, data.size(), 4);
  return heap;
}

std::string CiffFile(const std::string& heap) {
  std::string f = "II";
  PutLe(f, 26, 4);
  f += "HEAPCCDR";
  f.resize(26, '\0');
  return f + heap;
}

std::string U32Le(uint32_t v) {
  std::string s;
  PutLe(s, v, 4);
  return s;
}

std::string ReadCiff(const std::string& f) { return ReadCiffMetadata(TMemorySource(f.data(), f.size())); }

}  // namespace

TEST(CiffReader, ReadsTimeAndCameraTextsInSubHeaps) {
  // 1041476645 s after 1970 is 2003-01-02 03:04:05 (calendar.timegm).
  const std::string image = CiffHeap({{0x180E, U32Le(1041476645) + std::string(8, '\0')}});
  const std::string props = CiffHeap({{0x080A, std::string("Canon\0Canon EOS D60\0", 20)},
                                      {0x300A, image}});
  const std::string f = CiffFile(CiffHeap({{0x0815, "Owner Name"}, {0x2804, props}}));
  EXPECT_EQ(ReadCiff(f),
            "COMMENT Owner Name\r\n"
            "COMMENT Canon\r\n"
            "COMMENT Canon EOS D60\r\n"
            "DATE-OBS= '2003-01-02T03:04:05'");
}

TEST(CiffReader, HostileHeapsAreBounded) {
  struct Row {
    const char* name;
    std::string file;
    const char* text;
  };
  const std::string time0 = CiffHeap({{0x180E, U32Le(0)}});
  const std::string ok = CiffHeap({{0x0815, "Kept text"}});
  std::string selfRef = CiffHeap({{0x0815, "Kept text"}, {0x300A, ""}});
  {
    // Point the sub-directory entry at the whole heap: the same heap again.
    const size_t entry = 9 + 2 + 10;  // data "Kept text", count, first entry
    std::string size, off;
    PutLe(size, selfRef.size(), 4);
    PutLe(off, 0, 4);
    selfRef.replace(entry + 2, 4, size);
    selfRef.replace(entry + 6, 4, off);
  }
  std::string outside = CiffHeap({{0x0815, "Lost text"}});
  outside.replace(9 + 2 + 6, 4, U32Le(1000));  // data offset beyond the heap
  std::string dirOutside = ok;
  dirOutside.replace(dirOutside.size() - 4, 4, U32Le(0xFFFFFFF0u));
  std::string nested = ok;
  for (int i = 0; i < 20; ++i) nested = CiffHeap({{0x300A, nested}});
  Row rows[] = {
      {"time 0 writes no date", CiffFile(time0), ""},
      {"plain", CiffFile(ok), "COMMENT Kept text"},
      {"sub-heap that is its own parent", CiffFile(selfRef), "COMMENT Kept text"},
      {"data outside the heap", CiffFile(outside), ""},
      {"directory outside the heap", CiffFile(dirOutside), ""},
      {"more than 500 entries count as none", CiffFile(CiffHeap({{0x0815, "x"}}, 501)), ""},
      {"nesting deeper than 8 is cut", CiffFile(nested), ""},
      {"not CIFF", std::string("II*\0\x08\0\0\0HEAP", 12), ""},
      {"header length beyond the file", [] {
         std::string f = "II";
         PutLe(f, 0x7FFFFFFF, 4);
         return f + "HEAPCCDR";
       }(), ""},
  };
  for (const Row& r : rows) EXPECT_EQ(ReadCiff(r.file), r.text) << r.name;
  // Every prefix of a valid file.
  const std::string full = CiffFile(CiffHeap({{0x0815, "Owner"}, {0x300A, ok}}));
  for (size_t n = 0; n <= full.size(); ++n) ReadCiff(full.substr(0, n));
}

// ============================================================================ loader

TEST_F(CameraRaw, DngOpensAsTheVisibleMosaicWithItsMetadata) {
  TAImage image;
  const uint32_t s = Load(Dir.Write("shot.dng", MakeDng({})), image);
  ASSERT_TRUE(LoadSucceeded(s)) << std::hex << s;
  ExpectMosaic(image);
  EXPECT_EQ(image.Header.GetString("DATE-OBS"), "2022-10-11T12:13:14");
  EXPECT_EQ(image.Header.GetReal("EXPOSURE"), 30.0);
  EXPECT_GE(image.Header.IndexOf("COMMENT Orlu Test Camera"), 0);
}

TEST_F(CameraRaw, DateOfZerosWritesNoDateObs) {
  TDngSpec spec;
  spec.DateTime = "0000:00:00 00:00:00";
  spec.DateOriginal = "0000:00:00 00:00:00";
  TAImage image;
  ASSERT_TRUE(LoadSucceeded(Load(Dir.Write("zero.dng", MakeDng(spec)), image)));
  EXPECT_FALSE(image.Header.HasKey("DATE-OBS"));
}

TEST_F(CameraRaw, ColourSynthesisGivesASaneColourImage) {
  // A flat field of red 8000, green 4000, blue 2000 behind an RGGB pattern; the file has
  // no colour matrix, so the camera colours are the output colours.
  TDngSpec spec;
  spec.R = 8000, spec.G = 4000, spec.B = 2000;
  struct Row {
    const char* name;
    bool binning, softwareWB;
    float r, g, b;  // expected colour away from the border
  } rows[] = {
      // Without white balance the linear 16-bit output keeps the mosaic's levels.
      {"full size", false, false, 8000, 4000, 2000},
      {"half size", true, false, 8000, 4000, 2000},
      // White balance from the image makes the flat field grey at the brightest level.
      {"software white balance", false, true, 8000, 8000, 8000},
  };
  for (const Row& row : rows) {
    Opt.Dslr.DCColorSynthesis = true;
    Opt.Dslr.Binning2x2 = row.binning;
    Opt.Dslr.CameraWB = false;
    Opt.Dslr.SoftwareWB = row.softwareWB;
    TAImage image;
    const uint32_t s = Load(Dir.Write("colour.dng", MakeDng(spec)), image);
    ASSERT_TRUE(LoadSucceeded(s)) << row.name << std::hex << s;
    ASSERT_TRUE(image.IsColour()) << row.name;
    EXPECT_EQ(image.Width(), row.binning ? kDngW / 2 : kDngW) << row.name;
    EXPECT_EQ(image.Height(), row.binning ? kDngH / 2 : kDngH) << row.name;
    EXPECT_EQ(image.Header.GetInt("BITPIX"), 16);
    EXPECT_EQ(image.Header.GetInt("NAXIS3"), 3);
    for (int32_t y = 4; y < image.Height() - 4; ++y) {
      for (int32_t x = 4; x < image.Width() - 4; ++x) {
        float r, g, b;
        image.GetRGB(x, y, r, g, b);
        // 1 %: the colour pipeline works in 16-bit integers with a few roundings.
        ASSERT_NEAR(r, row.r, row.r / 100) << row.name << " " << x << "," << y;
        ASSERT_NEAR(g, row.g, row.g / 100) << row.name << " " << x << "," << y;
        ASSERT_NEAR(b, row.b, row.b / 100) << row.name << " " << x << "," << y;
      }
    }
  }
}

TEST_F(CameraRaw, Cr3OpensThroughLibRawEvenWithColourSynthesis) {
  // LibRaw recognises files by content: a DNG under a ".cr3" name stands in for one.
  Opt.Dslr.DCColorSynthesis = true;
  SetRawDecoderLibrary(nullptr);
  TAImage image;
  const uint32_t s = Load(Dir.Write("a.CR3", MakeDng({})), image);
  ASSERT_TRUE(LoadSucceeded(s)) << std::hex << s;
  ExpectMosaic(image);

  PretendLibRawMissing(true);
  TAImage none;
  EXPECT_EQ(LoadStatusMessage(Load(Dir.Write("b.cr3", MakeDng({})), none)),
            "Incompatible file format");
}

TEST_F(CameraRaw, NikonZModelsChooseTheirDecoder) {
  SetRawDecoderLibrary(&kFakeApi);
  TDngSpec z6;
  z6.Model = "NIKON Z 6";
  TAImage a;
  ASSERT_TRUE(LoadSucceeded(Load(Dir.Write("z6.nef", MakeDng(z6)), a)));
  EXPECT_EQ(gFake.Opens, 0);
  ExpectMosaic(a);
  // The metadata read for the model choice is kept.
  EXPECT_EQ(a.Header.GetReal("EXPOSURE"), 30.0);

  TDngSpec z5;
  z5.Model = "NIKON Z 5";
  TAImage b;
  ASSERT_TRUE(LoadSucceeded(Load(Dir.Write("z5.nef", MakeDng(z5)), b)));
  EXPECT_EQ(gFake.Opens, 1);
  EXPECT_EQ(b.Width(), gFake.W);
}

TEST_F(CameraRaw, WithoutTheDecoderLibraryCr2CannotBeOpened) {
  SetRawDecoderLibrary(nullptr);
  TAImage image;
  EXPECT_EQ(LoadStatusMessage(Load(Dir.Write("a.cr2", MakeDng({})), image)),
            "Incompatible file format");
}

TEST_F(CameraRaw, DecoderResultsBecomeTheImage) {
  SetRawDecoderLibrary(&kFakeApi);
  Opt.Dslr.DCColorSynthesis = true;
  Opt.Dslr.Binning2x2 = true;
  gFake.Stamp = 1700000000;  // 2023-11-14 22:13:20 UTC
  TAImage image;
  ASSERT_TRUE(LoadSucceeded(Load(Dir.Write("a.cr2", "not looked at by the fake"), image)));
  EXPECT_EQ(gFake.Flags, 7);
  ASSERT_TRUE(image.IsColour());
  EXPECT_EQ(image.RedPlane->GetPixel(1, 2), 1000.0f + 9);
  EXPECT_EQ(image.MainPlane->GetPixel(1, 2), 2000.0f + 9);
  EXPECT_EQ(image.BluePlane->GetPixel(1, 2), 3000.0f + 9);
  EXPECT_EQ(image.Header.GetString("DATE-OBS"), "2023-11-14T22:13:20.000");
  EXPECT_EQ(image.Header.GetInt("BITPIX"), 16);

  // A preview records twice the decoded size.
  TAImage preview;
  LoadCameraRaw(Opt.Dslr, Dir.Write("b.cr2", "x"), true, preview);
  EXPECT_EQ(preview.Header.GetInt("NAXIS1"), 2 * gFake.W);
  EXPECT_EQ(preview.Header.GetInt("NAXIS2"), 2 * gFake.H);
}

TEST_F(CameraRaw, DecoderSizesOutsideTheLimitsFail) {
  SetRawDecoderLibrary(&kFakeApi);
  struct Row {
    int32_t w, h;
    uint32_t status;
    const char* message;
  } rows[] = {
      {0, 3, kStatusFailed, "Incompatible file format"},
      {4, -1, kStatusFailed, "Incompatible file format"},
      {30001, 3, kStatusRefusedTooLarge, "Max size is : 30000 x 30000"},
      {4, 30001, kStatusRefusedTooLarge, "Max size is : 30000 x 30000"},
  };
  for (const Row& r : rows) {
    gFake.W = r.w, gFake.H = r.h, gFake.Releases = 0;
    TAImage image;
    const uint32_t s = Load(Dir.Write("a.arw", "xxxx"), image);
    EXPECT_EQ(s & r.status, r.status) << r.w << "x" << r.h;
    EXPECT_EQ(LoadStatusMessage(s), r.message);
    EXPECT_EQ(gFake.Releases, 1) << "decoded data released";
  }
}

TEST_F(CameraRaw, NonRawFilesWithRawExtensionsFailCleanly) {
  const std::string dng = MakeDng({});
  struct Row {
    const char* name;
    std::string bytes;
  } rows[] = {
      {"text.nef", "This is no camera file at all.\n"},
      {"text.dng", "This is no camera file at all.\n"},
      {"text.cr3", "This is no camera file at all.\n"},
      {"text.crw", "This is no camera file at all.\n"},
      {"fits.orf", testing_formats::FitsHeaderBlocks({"SIMPLE  = T", "BITPIX  = 8", "NAXIS   = 0"})},
      {"header-only.dng", dng.substr(0, 8)},
      {"directory-cut.dng", dng.substr(0, 100)},
      {"tiff-without-cfa.dng", TTiffWriter(false).File({Long(256, {200}), Long(257, {200})}, {}, "")},
  };
  for (const Row& r : rows) {
    for (bool synthesis : {false, true}) {
      Opt.Dslr.DCColorSynthesis = synthesis;
      TAImage image;
      const uint32_t s = Load(Dir.Write(r.name, r.bytes), image);
      EXPECT_FALSE(LoadSucceeded(s)) << r.name;
      EXPECT_EQ(LoadStatusMessage(s), "Incompatible file format") << r.name;
    }
  }
}

// LibRaw reads what is there of a cut file and reports the short read; such a file is
// refused, never shown half filled. Both decoders and both outputs.
TEST_F(CameraRaw, TruncatedDngIsRefused) {
  const std::string dng = MakeDng({});
  for (const char* name : {"cut.dng", "cut.cr3"}) {
    for (size_t keep : {dng.size() - 1, dng.size() / 2, size_t(400)}) {
      for (bool synthesis : {false, true}) {
        Opt.Dslr.DCColorSynthesis = synthesis;
        TAImage image;
        const uint32_t s = Load(Dir.Write(name, dng.substr(0, keep)), image);
        EXPECT_EQ(LoadStatusMessage(s), "Incompatible file format")
            << name << " " << keep << " " << synthesis;
      }
    }
  }
}

TEST_F(CameraRaw, ExtensionsOutsideTheListAreNotRaw) {
  Opt.Dslr.FileExtensions = "*.cr2";
  TAImage image;
  EXPECT_EQ(LoadStatusMessage(Load(Dir.Write("shot.dng", MakeDng({})), image)),
            "Incompatible file format");
  TAImage listed;
  EXPECT_TRUE(LoadSucceeded(Load(Dir.Write("shot.CR2", MakeDng({})), listed)));
}

// The decoder layer on its own: one decode in flight, released by the fetch.
TEST_F(CameraRaw, DecoderLayerKeepsItsContract) {
  const std::string path = Dir.Write("layer.dng", MakeDng({}));
  ASSERT_NE(kp_openw(path.c_str(), kKpMosaic, nullptr), 0);
  double t = 0;
  kp_stamp(&t);
  EXPECT_GT(t, 0.0);  // local-time conversion of the EXIF date: only known to be set
  int32_t w = 0, h = 0;
  kp_extent(&w, &h);
  ASSERT_EQ(w, kDngW);
  ASSERT_EQ(h, kDngH);
  std::vector<float> plane(size_t(w) * h, -1.0f);
  ASSERT_NE(kp_fetch(plane.data(), nullptr, nullptr), 0);
  EXPECT_EQ(plane[0], float(MosaicValue(0, kDngH - 1)));          // bottom row first
  EXPECT_EQ(plane[size_t(w) * h - 1], float(MosaicValue(kDngW - 1, 0)));
  kp_extent(&w, &h);
  EXPECT_EQ(w, 0) << "fetch released the data";
  EXPECT_EQ(kp_fetch(plane.data(), nullptr, nullptr), 0);

  // The wide path serves when the 8-bit one is missing.
  const std::wstring wide(path.begin(), path.end());
  EXPECT_NE(kp_openw(nullptr, kKpMosaic, wide.c_str()), 0);
  kp_fetch(nullptr, nullptr, nullptr);

  TDngSpec zero;
  zero.DateTime = zero.DateOriginal = "0000:00:00 00:00:00";
  ASSERT_NE(kp_openw(Dir.Write("zero.dng", MakeDng(zero)).c_str(), kKpMosaic, nullptr), 0);
  kp_stamp(&t);
  EXPECT_EQ(t, 0.0);
  kp_fetch(nullptr, nullptr, nullptr);
  EXPECT_EQ(kp_openw(Dir.Write("junk.dng", "junk junk junk").c_str(), kKpMosaic, nullptr), 0);
}
