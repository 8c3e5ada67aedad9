#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "FormatsTestUtil.h"
#include "LegacyTestUtil.h"
#include "formats/LoadStatus.h"
#include "formats/uFiles.h"
#include "formats/uSer.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"

using namespace orlu;
using namespace orlu::testing_formats;

namespace {

// What the generator writes.
struct TSerSpec {
  int32_t ColorId = 0;
  int32_t Endian = 0;
  int32_t Width = 3;
  int32_t Height = 2;
  int32_t Depth = 8;
  int32_t Frames = 1;
  bool Trailer = false;
  uint64_t FirstTicks = 0;   // time stamp of frame 0
  uint64_t TicksStep = 0;    // added per frame
  std::string Observer, Instrument, Telescope;
};

// Sample value of frame f, channel c (file order), column x, file row r (top first),
// reaching above 255 and 32767 for 16-bit depths so that byte order shows.
uint32_t SampleOf(const TSerSpec& s, int32_t f, int32_t c, int32_t x, int32_t r) {
  const uint32_t v = uint32_t(1 + f * 31 + c * 7 + x * 3 + r * 13);
  return s.Depth <= 8 ? v % 256 : (v * 2053u) % 65536u;
}

std::string MakeSer(const TSerSpec& s) {
  std::string b = "LUCAM-RECORDER";
  PutU32(b, 0);
  PutU32(b, uint32_t(s.ColorId));
  PutU32(b, uint32_t(s.Endian));
  PutU32(b, uint32_t(s.Width));
  PutU32(b, uint32_t(s.Height));
  PutU32(b, uint32_t(s.Depth));
  PutU32(b, uint32_t(s.Frames));
  auto text = [&](const std::string& t) {
    std::string f = t;
    f.resize(40, '\0');
    b += f;
  };
  text(s.Observer);
  text(s.Instrument);
  text(s.Telescope);
  PutU64(b, 0);
  PutU64(b, 0);
  EXPECT_EQ(b.size(), 178u);
  const int32_t channels = s.ColorId >= 100 ? 3 : 1;
  for (int32_t f = 0; f < s.Frames; ++f)
    for (int32_t r = 0; r < s.Height; ++r)
      for (int32_t x = 0; x < s.Width; ++x)
        for (int32_t c = 0; c < channels; ++c) {
          const uint32_t v = SampleOf(s, f, c, x, r);
          if (s.Depth <= 8) {
            b += char(v);
          } else if (s.Endian == 1) {
            b += char(v >> 8);
            b += char(v & 0xFF);
          } else {
            PutU16(b, v);
          }
        }
  if (s.Trailer)
    for (int32_t f = 0; f < s.Frames; ++f) PutU64(b, s.FirstTicks + uint64_t(f) * s.TicksStep);
  return b;
}

// 100-ns ticks since 0001-01-01 of a UTC calendar time, through the Unix epoch
// (621355968000000000 ticks after the SER epoch).
uint64_t TicksOf(int y, int mo, int d, int h, int mi, int s, int ms) {
  std::tm t{};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  const int64_t unixSeconds = int64_t(timegm(&t));
  return 621355968000000000ull + uint64_t(unixSeconds) * 10000000ull + uint64_t(ms) * 10000ull;
}

class Ser : public ::testing::Test {
 protected:
  TTempDir Dir;
  TQVOptions Opt;

  std::unique_ptr<TAImage> Load(const std::string& bytes, int32_t frame = 0,
                                const std::string& name = "v.ser") {
    auto image = std::make_unique<TAImage>();
    LoadImage(BuiltinLoaders(), Dir.Write(name, bytes), frame, *image, Opt);
    return image;
  }
  std::string Message(const std::string& bytes, int32_t frame = 0) {
    return LoadStatusMessage(Load(bytes, frame)->Status);
  }
};

// Channel c of the file (0, 1, 2 in file order) in the image's planes.
const TBWImage& PlaneOfChannel(const TAImage& image, int32_t colorId, int32_t c) {
  if (colorId < 100 || c == 1) return *image.MainPlane;
  const bool firstIsRed = colorId == 100;
  return (c == 0) == firstIsRed ? *image.RedPlane : *image.BluePlane;
}

}  // namespace

// Every layout: samples land in the right plane, byte order and row (flipped: the file's
// first row is the top row), and the header records 8 or 16 bits.
TEST_F(Ser, LayoutsTable) {
  struct TRow {
    const char* Name;
    int32_t ColorId, Endian, Depth;
    int32_t Width = 5, Height = 4;
  };
  const TRow rows[] = {
      {"mono 8", 0, 0, 8},           {"mono 12 little-endian", 0, 0, 12},
      {"mono 16 little-endian", 0, 0, 16}, {"mono 16 big-endian", 0, 1, 16},
      {"mono 16 endian field 7", 0, 7, 16}, {"mosaic 8", 8, 0, 8},
      {"rgb 8", 100, 0, 8},          {"rgb 16 big-endian", 100, 1, 16},
      {"bgr 8", 101, 0, 8},          {"bgr 16 little-endian", 101, 0, 16},
      // Rows long enough for the vector loops and frames of several read pieces.
      {"mono 8 wide", 0, 0, 8, 1003, 70},   {"mono 16 big-endian wide", 0, 1, 16, 1003, 40},
      {"rgb 8 wide", 100, 0, 8, 1003, 30},  {"bgr 16 big-endian wide", 101, 1, 16, 1003, 13},
  };
  for (const TRow& row : rows) {
    TSerSpec s;
    s.ColorId = row.ColorId;
    s.Endian = row.Endian;
    s.Depth = row.Depth;
    s.Width = row.Width;
    s.Height = row.Height;
    s.Frames = 3;
    const auto image = Load(MakeSer(s), 1);
    ASSERT_TRUE(LoadSucceeded(image->Status)) << row.Name;
    const bool colour = row.ColorId >= 100;
    ASSERT_EQ(image->IsColour(), colour) << row.Name;
    EXPECT_EQ(image->Header.GetInt("BITPIX"), row.Depth <= 8 ? 8 : 16) << row.Name;
    for (int32_t c = 0; c < (colour ? 3 : 1); ++c) {
      const TBWImage& plane = PlaneOfChannel(*image, row.ColorId, c);
      for (int32_t r = 0; r < s.Height; ++r)
        for (int32_t x = 0; x < s.Width; ++x)
          ASSERT_EQ(plane.GetPixel(x, s.Height - 1 - r), float(SampleOf(s, 1, c, x, r)))
              << row.Name << " channel " << c << " x " << x << " file row " << r;
    }
  }
}

TEST_F(Ser, TimeStampGivesDateObsAndJDOfTheChosenFrame) {
  TSerSpec s;
  s.Frames = 100;
  s.Trailer = true;
  s.FirstTicks = TicksOf(2023, 5, 1, 21, 34, 56, 250);
  s.TicksStep = 10000000ull * 3600 * 5;  // five hours: frame 99 lies 495 h later
  const std::string bytes = MakeSer(s);
  const auto first = Load(bytes, 0);
  const auto last = Load(bytes, 99);
  ASSERT_TRUE(LoadSucceeded(first->Status));
  ASSERT_TRUE(LoadSucceeded(last->Status));
  EXPECT_EQ(first->Header.GetString("DATE-OBS"), "2023-05-01T21:34:56.250");
  // 495 hours = 20 days 15 hours later.
  EXPECT_EQ(last->Header.GetString("DATE-OBS"), "2023-05-22T12:34:56.250");
  // JD of the Unix epoch is 2440587.5.
  std::tm t{};
  t.tm_year = 123, t.tm_mon = 4, t.tm_mday = 1, t.tm_hour = 21, t.tm_min = 34, t.tm_sec = 56;
  const double jd0 = (double(timegm(&t)) + 0.25) / 86400.0 + 2440587.5;
  EXPECT_NEAR(first->Header.GetReal("JD"), jd0, 1e-7);
  EXPECT_NEAR(last->Header.GetReal("JD"), jd0 + 495.0 / 24.0, 1e-7);
  EXPECT_NE(first->Header.Text().find("/ UT"), std::string::npos);
}

TEST_F(Ser, NoTimeCardsWithoutTrailerOrOutsideTheDateRange) {
  TSerSpec s;
  s.Frames = 2;
  EXPECT_FALSE(Load(MakeSer(s), 1)->Header.HasKey("DATE-OBS"));
  s.Trailer = true;
  s.FirstTicks = 5;  // the year 1: far below JD 2000000
  const auto image = Load(MakeSer(s), 1);
  ASSERT_TRUE(LoadSucceeded(image->Status));
  EXPECT_FALSE(image->Header.HasKey("DATE-OBS"));
  EXPECT_FALSE(image->Header.HasKey("JD"));
  // A trailer cut short holds no entry for the last frame.
  s.FirstTicks = TicksOf(2020, 1, 1, 0, 0, 0, 0);
  std::string bytes = MakeSer(s);
  bytes.resize(bytes.size() - 3);
  EXPECT_TRUE(Load(bytes, 0)->Header.HasKey("DATE-OBS"));
  EXPECT_FALSE(Load(bytes, 1)->Header.HasKey("DATE-OBS"));
}

// Frame numbers beyond the last frame read the last frame, never the trailer's bytes.
TEST_F(Ser, FrameIndexIsClampedToTheLastFrame) {
  TSerSpec s;
  s.Frames = 3;
  s.Trailer = true;
  s.FirstTicks = TicksOf(2021, 6, 1, 0, 0, 0, 0);
  s.TicksStep = 10000000ull * 60;
  const std::string bytes = MakeSer(s);
  for (int32_t asked : {2, 3, 9999, INT32_MAX}) {
    const auto image = Load(bytes, asked);
    ASSERT_TRUE(LoadSucceeded(image->Status)) << asked;
    EXPECT_EQ(image->MainPlane->GetPixel(0, 1), float(SampleOf(s, 2, 0, 0, 0))) << asked;
    EXPECT_EQ(image->Header.GetString("DATE-OBS"), "2021-06-01T00:02:00.000") << asked;
  }
  const auto negative = Load(bytes, -4);
  EXPECT_EQ(negative->MainPlane->GetPixel(0, 1), float(SampleOf(s, 0, 0, 0, 0)));
}

TEST_F(Ser, FrameNotHeldByTheFileFails) {
  TSerSpec s;
  s.Depth = 16;
  s.Frames = 4;
  std::string bytes = MakeSer(s);
  bytes.resize(178 + 2 * 12 + 5);  // two frames and part of the third
  EXPECT_TRUE(LoadSucceeded(Load(bytes, 1)->Status));
  for (int32_t frame : {2, 3}) {
    const auto image = Load(bytes, frame);
    EXPECT_FALSE(LoadSucceeded(image->Status)) << frame;
    EXPECT_EQ(LoadStatusMessage(image->Status), "Incompatible file format");
  }
  // A frame count so large that frame × frame size leaves 64 bits.
  std::string hostile = MakeSer(s);
  SetU32(hostile, 38, 0x7FFFFFFF);
  SetU32(hostile, 26, 30000);
  SetU32(hostile, 30, 30000);
  EXPECT_EQ(Message(hostile, INT32_MAX), "Incompatible file format");
}

TEST_F(Ser, HeadersNotAcceptedTable) {
  struct TRow {
    const char* Name;
    size_t At;
    uint32_t Value;
    const char* Message;
  };
  const TRow rows[] = {
      {"colour id 102", 18, 102, "Incompatible file format"},
      {"negative colour id", 18, 0xFFFFFFFF, "Incompatible file format"},
      {"depth 17", 34, 17, "Incompatible file format"},
      {"depth 0", 34, 0, "Incompatible file format"},
      {"no frames", 38, 0, "Incompatible file format"},
      {"width 64000", 26, 64000, "Incompatible file format"},
      {"width 0", 26, 0, "Incompatible file format"},
      {"negative height", 30, 0xFFFFFFFE, "Incompatible file format"},
      {"width 30001", 26, 30001, "Max size is : 30000 x 30000"},
      {"height 63999", 30, 63999, "Max size is : 30000 x 30000"},
  };
  const std::string good = MakeSer(TSerSpec{});
  EXPECT_EQ(Message(good), "");
  for (const TRow& row : rows) {
    std::string bytes = good;
    SetU32(bytes, row.At, row.Value);
    EXPECT_EQ(Message(bytes), row.Message) << row.Name;
  }
  std::string notLu = good;
  notLu[1] = 'V';
  EXPECT_EQ(Message(notLu), "Incompatible file format");
  EXPECT_EQ(Message(good.substr(0, 100)), "Incompatible file format");
}

TEST_F(Ser, HeaderTextsBecomeCards) {
  TSerSpec s;
  s.Observer = "A. Observer   ";
  s.Instrument = std::string("Cam\x01ra") + '\0' + "hidden";
  s.Telescope = "";
  const auto image = Load(MakeSer(s));
  ASSERT_TRUE(LoadSucceeded(image->Status));
  EXPECT_EQ(image->Header.GetString("OBSERVER"), "A. Observer");
  EXPECT_EQ(image->Header.GetString("INSTRUME"), "Cam?ra");
  EXPECT_FALSE(image->Header.HasKey("TELESCOP"));
}

TEST_F(Ser, OnlySerExtensionAndFrameCount) {
  TSerSpec s;
  s.Frames = 7;
  const std::string bytes = MakeSer(s);
  EXPECT_TRUE(LoadSucceeded(Load(bytes, 0, "UP.SER")->Status));
  EXPECT_EQ(Message(bytes.substr(0), 0), "");
  auto other = std::make_unique<TAImage>();
  LoadImage(BuiltinLoaders(), Dir.Write("v.ser.bak", bytes), 0, *other, Opt);
  EXPECT_FALSE(LoadSucceeded(other->Status));
  EXPECT_EQ(SerFrameCount(Dir.Write("c.ser", bytes)), 7);
  EXPECT_EQ(SerFrameCount(Dir.Write("c.dat", bytes)), 0);
  EXPECT_EQ(SerFrameCount(Dir.Name("missing.ser")), 0);
  EXPECT_EQ(SerFrameCount(Dir.Write("short.ser", bytes.substr(0, 170))), 0);
}

TEST(SerHeader, TicksToJulianDate) {
  EXPECT_DOUBLE_EQ(SerTicksToJD(0), 1721425.5);
  // The Unix epoch.
  EXPECT_DOUBLE_EQ(SerTicksToJD(621355968000000000ull), 2440587.5);
}
