#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "FormatsTestUtil.h"
#include "LegacyTestUtil.h"
#include "fits/ImaFiles.h"
#include "formats/LoadStatus.h"
#include "formats/uFiles.h"
#include "formats/uLegacy.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"

using namespace orlu;
using namespace orlu::testing_formats;

namespace {

class Legacy : public ::testing::Test {
 protected:
  TTempDir Dir;
  TQVOptions Opt;

  std::unique_ptr<TAImage> Load(const std::string& name, const std::string& bytes) {
    return LoadPath(Dir.Write(name, bytes));
  }
  std::unique_ptr<TAImage> LoadPath(const std::string& path) {
    auto image = std::make_unique<TAImage>();
    LoadImage(BuiltinLoaders(), path, 0, *image, Opt);
    return image;
  }
  std::string Message(const std::string& name, const std::string& bytes) {
    return LoadStatusMessage(Load(name, bytes)->Status);
  }
  // COMMENT cards of the image, without the dispatch's card holding the path.
  static std::vector<std::string> Comments(const TAImage& image) {
    std::vector<std::string> out;
    for (const std::string& c : image.Header)
      if (c.rfind("COMMENT ", 0) == 0 && c.find("orlu-formats-") == std::string::npos)
        out.push_back(c.substr(8));
    return out;
  }
};

// 16-bit little-endian samples v(x, r) of w × h, file row r first.
template <class F>
std::string Samples16(int32_t w, int32_t h, F v) {
  std::string s;
  for (int32_t r = 0; r < h; ++r)
    for (int32_t x = 0; x < w; ++x) PutU16(s, v(x, r));
  return s;
}

// A value per position that reaches both bytes of a 16-bit sample.
uint32_t V16(int32_t x, int32_t r) { return uint32_t(x * 257 + r * 4099 + 3) % 65536u; }

// Checks every pixel: file row r is image row r, or h-1-r when the file is top first.
template <class F>
void ExpectPlane(const TBWImage& p, int32_t w, int32_t h, bool topFirst, F v,
                 const char* what) {
  ASSERT_EQ(p.Width, w) << what;
  ASSERT_EQ(p.Height, h) << what;
  for (int32_t r = 0; r < h; ++r)
    for (int32_t x = 0; x < w; ++x)
      ASSERT_EQ(p.GetPixel(x, topFirst ? h - 1 - r : r), float(v(x, r)))
          << what << " x " << x << " file row " << r;
}

}  // namespace

// ============================================================================ text image

TEST_F(Legacy, TextMonoBottomRowFirst) {
  const auto image = Load("m.txt", "3\n2\nMONO\n1\n2\n3\n4\n5\n6\n");
  ASSERT_TRUE(LoadSucceeded(image->Status));
  ASSERT_EQ(image->Width(), 3);
  ASSERT_EQ(image->Height(), 2);
  EXPECT_EQ(image->Value(0, 0), 1.0f);
  EXPECT_EQ(image->Value(2, 0), 3.0f);
  EXPECT_EQ(image->Value(0, 1), 4.0f);
  EXPECT_FALSE(image->IsFloat);
  EXPECT_EQ(image->Header.GetInt("BITPIX"), 32);
}

TEST_F(Legacy, TextLinesTable) {
  struct TRow {
    const char* Name;
    std::string Text;
    float R, G, B;  // colour of pixel (0, 0); G alone for mono
  };
  const TRow rows[] = {
      {"blue missing repeats green", "1\n1\nCOLOR\n1 2\n", 1, 2, 2},
      {"three numbers", "1\n1\ncolor\n7 8 9\n", 7, 8, 9},
      {"trailing text ends a number", "1\n1\nCOLOR\n5x 6;7 8\n", 5, 6, 8},
      {"exponent and sign", "1\n1\n\n-2.5e2\n", 0, -250, 0},
      {"no number", "1\n1\nMONO\nabc\n", 0, 0, 0},
      {"bare exponent letter", "1\n1\nMONO\n4e\n", 0, 4, 0},
      {"CR LF line ends", "1\r\n1\r\nCOLOR\r\n1 2 3\r\n", 1, 2, 3},
      {"CR line ends", "1\r1\rMONO\r9\r", 0, 9, 0},
  };
  for (const TRow& row : rows) {
    const auto image = Load("t.txt", row.Text);
    ASSERT_TRUE(LoadSucceeded(image->Status)) << row.Name;
    float r = 0, g = 0, b = 0;
    image->GetRGB(0, 0, r, g, b);
    EXPECT_EQ(g, row.G) << row.Name;
    if (image->IsColour()) {
      EXPECT_EQ(r, row.R) << row.Name;
      EXPECT_EQ(b, row.B) << row.Name;
    }
  }
}

TEST_F(Legacy, TextNotTakenOrRefusedTable) {
  struct TRow {
    const char* Name;
    std::string Text;
    const char* Message;
  };
  const TRow rows[] = {
      {"kind RGB", "1\n1\nRGB\n5\n", "Incompatible file format"},
      {"width not a number", "x\n1\nMONO\n5\n", "Incompatible file format"},
      {"height 0", "1\n0\nMONO\n5\n", "Incompatible file format"},
      {"width 30001", "30001\n1\nMONO\n" + std::string(40000, '\n'), "Max size is : 30000 x 30000"},
      // Three lines that claim 30000 × 30000 pixels: refused before anything is allocated.
      {"far too short", "30000\n30000\nCOLOR\n1 2 3\n", "Incompatible file format"},
  };
  for (const TRow& row : rows) EXPECT_EQ(Message("n.txt", row.Text), row.Message) << row.Name;
}

TEST_F(Legacy, TextEndingEarlyLeavesZeros) {
  const auto image = Load("e.cnv", "3\n2\nMONO\n1\n2\n3\n4\n");
  ASSERT_TRUE(LoadSucceeded(image->Status));
  EXPECT_EQ(image->Value(0, 1), 4.0f);
  EXPECT_EQ(image->Value(1, 1), 0.0f);
  EXPECT_EQ(image->Value(2, 1), 0.0f);
}

// Fractions would be rounded away in an integer image.
TEST_F(Legacy, TextWithFractionsOpensAsFloat) {
  const auto image = Load("f.txt", "2\n1\nMONO\n1.25\n-3\n");
  ASSERT_TRUE(LoadSucceeded(image->Status));
  EXPECT_TRUE(image->IsFloat);
  EXPECT_EQ(image->Value(0, 0), 1.25f);
  EXPECT_EQ(image->Header.GetInt("BITPIX"), -32);
}

TEST_F(Legacy, TextReadsWhatExportTextWrote) {
  TAImage src;
  src.SetSize(4, 3, true);
  for (int32_t y = 0; y < 3; ++y)
    for (int32_t x = 0; x < 4; ++x) src.SetRGB(x, y, float(x + 10 * y), float(-x * y), 0.5f * x);
  src.IsFloat = 1;
  const std::string path = Dir.Name("export.txt");
  ASSERT_TRUE(ExportText(src, path));
  const auto back = LoadPath(path);
  ASSERT_TRUE(LoadSucceeded(back->Status));
  EXPECT_TRUE(back->SameImage(src));
}

// ============================================================================ CCD text header

namespace {

// A 2048-byte text header (NUL padded) and the data after it.
std::string CcdFile(const std::string& header, const std::string& data) {
  std::string h = header;
  h.resize(2048, '\0');
  return h + data;
}

}  // namespace

TEST(DeltaRow, DecodingTable) {
  struct TRow {
    const char* Name;
    std::vector<uint8_t> Bytes;
    int32_t Width;
    std::vector<uint16_t> Expected;
  };
  const TRow rows[] = {
      {"new sample after 0x80", {0x10, 0x00, 0x80, 0x34, 0x12}, 4, {0x0010, 0x1234}},
      {"deltas up and down", {0xE8, 0x03, 0x05, 0xFB, 0x7F, 0x81}, 5, {1000, 1005, 1000, 1127, 1000}},
      {"wraps below zero as stored", {0x01, 0x00, 0xFE}, 2, {1, 65535}},
      {"stops at width", {0x01, 0x00, 0x01, 0x01, 0x01, 0x01}, 3, {1, 2, 3}},
      {"0x80 cut by the row end", {0x01, 0x00, 0x02, 0x80, 0x34}, 4, {1, 3}},
      {"one byte only", {0x07}, 3, {}},
  };
  for (const TRow& row : rows) {
    std::vector<uint16_t> out(size_t(row.Width) + 4, 0xBEEF);
    const int32_t n = DecodeDeltaRow(row.Bytes.data(), row.Bytes.size(), row.Width, out.data());
    ASSERT_EQ(n, int32_t(row.Expected.size())) << row.Name;
    for (size_t i = 0; i < row.Expected.size(); ++i) EXPECT_EQ(out[i], row.Expected[i]) << row.Name;
    EXPECT_EQ(out[size_t(row.Width)], 0xBEEF) << row.Name;  // nothing beyond the width
  }
}

TEST_F(Legacy, CcdTextHeaderPlainRowsBottomFirstWithComments) {
  const std::string header =
      "File_Version = 2\r\nWIDTH = 4\r\nheight= 3\r\nCamera: X\x01Y\r\n\0after NUL";
  const std::string file = CcdFile(std::string(header.data(), header.size()),
                                   Samples16(4, 3, V16));
  const auto image = Load("a.ccdt", file);
  ASSERT_TRUE(LoadSucceeded(image->Status));
  ExpectPlane(*image->MainPlane, 4, 3, false, V16, "plain");
  EXPECT_EQ(Comments(*image), (std::vector<std::string>{"File_Version = 2", "WIDTH = 4",
                                                        "height= 3", "Camera: X?Y"}));
  // Short of one sample: the file fails instead of loading half.
  EXPECT_EQ(Message("b.ccdt", file.substr(0, file.size() - 1)), "Incompatible file format");
}

TEST_F(Legacy, CcdTextHeaderCompressedRowsTopFirst) {
  // Width 3, height 3: a delta row, a plain row (L = 2 × width), a row with bytes to spare.
  std::string data;
  PutU16(data, 5);
  data += std::string("\x10\x00\x80\x34\x12", 5);  // 16, 0x1234, then the row ends: 0
  PutU16(data, 6);
  PutU16(data, 7), PutU16(data, 8), PutU16(data, 9);
  PutU16(data, 5);
  data += std::string("\x64\x00\x01\x01\x01", 5);  // 100, 101, 102 (one byte unused)
  const auto image = Load("c.dat", CcdFile("file_version compressed width 3 height 3", data));
  ASSERT_TRUE(LoadSucceeded(image->Status));
  const float expected[3][3] = {{16, 0x1234, 0}, {7, 8, 9}, {100, 101, 102}};
  for (int32_t r = 0; r < 3; ++r)
    for (int32_t x = 0; x < 3; ++x)
      EXPECT_EQ(image->Value(x, 2 - r), expected[r][x]) << x << " " << r;
  // The last row's bytes cut short: the file fails.
  EXPECT_EQ(Message("d.dat", CcdFile("file_version compressed width 3 height 3",
                                     data.substr(0, data.size() - 2))),
            "Incompatible file format");
}

TEST_F(Legacy, CcdTextHeaderRecognitionTable) {
  struct TRow {
    const char* Name;
    std::string Header;
    size_t Bytes;
    const char* Message;
  };
  const std::string data = Samples16(2, 2, V16);
  const TRow rows[] = {
      {"keywords anywhere", "file_version 1 width 2 height 2", 2048 + 8, ""},
      {"file_version at 100", std::string(100, ' ') + "file_version width 2 height 2", 2056,
       "Incompatible file format"},
      {"no height", "file_version width 2", 2056, "Incompatible file format"},
      {"width 0", "file_version width 0 height 2", 2056, "Incompatible file format"},
      {"width 30001", "file_version width 30001 height 2", 2056, "Max size is : 30000 x 30000"},
      {"width 2.6 rounds to 3", "file_version width 2.6 height 2", 2048 + 12, ""},
      // Rows of zero length would make a 30000 × 30000 image from a few bytes.
      {"compressed, far too short", "file_version compressed width 30000 height 30000",
       2048 + 60000, "Incompatible file format"},
      {"header of 2047 bytes", "file_version width 2 height 2", 2047, "Incompatible file format"},
  };
  for (const TRow& row : rows) {
    std::string f = CcdFile(row.Header, Samples16(3, 2, V16));
    f.resize(row.Bytes, '\0');
    EXPECT_EQ(Message("r.bin", f), row.Message) << row.Name;
  }
}

// ============================================================================ HISIS

namespace {

std::string HisisFile(int32_t w, int32_t h) {
  std::string f(290, '\0');
  SetU16(f, 68, uint32_t(w));
  SetU16(f, 70, uint32_t(h));
  SetText(f, 94, "object M42");
  SetText(f, 131, "1/02/1995");  // the first byte stays 0
  SetText(f, 210, "observer\x7F");
  return f + Samples16(w, h, V16);
}

}  // namespace

TEST_F(Legacy, HisisRowsAndComments) {
  const auto image = Load("h.pic", HisisFile(5, 3));
  ASSERT_TRUE(LoadSucceeded(image->Status));
  ExpectPlane(*image->MainPlane, 5, 3, false, V16, "hisis");
  EXPECT_EQ(Comments(*image),
            (std::vector<std::string>{"object M42", "01/02/1995", "observer?"}));
  const std::string f = HisisFile(5, 3);
  EXPECT_EQ(Message("t.pic", f.substr(0, f.size() - 1)), "Incompatible file format");
  EXPECT_EQ(Message("t.pic", f.substr(0, 60)), "Incompatible file format");
  EXPECT_EQ(Message("z.pic", HisisFile(0, 3)), "Incompatible file format");
  std::string wide = HisisFile(1, 1);
  SetU16(wide, 68, 30001);
  EXPECT_EQ(Message("w.pic", wide), "Max size is : 30000 x 30000");
}

// ============================================================================ SBIG

TEST_F(Legacy, SbigBySizeFlippedWithTexts) {
  auto v8 = [](int32_t x, int32_t r) { return uint32_t(x * 3 + r * 7) % 256u; };
  std::string pixels;
  for (int32_t r = 0; r < 165; ++r)
    for (int32_t x = 0; x < 192; ++x) pixels += char(v8(x, r));
  ASSERT_EQ(pixels.size(), 31680u);
  const auto bare = Load("s.sbi", pixels);
  ASSERT_TRUE(LoadSucceeded(bare->Status));
  ExpectPlane(*bare->MainPlane, 192, 165, true, v8, "sbig");
  EXPECT_EQ(bare->Header.GetInt("BITPIX"), 8);
  EXPECT_TRUE(Comments(*bare).empty());

  std::string texts = pixels + std::string(192, '\0');
  SetText(texts, 31681, "first text");
  // The second text begins with a zero byte: it is left out.
  SetText(texts, 31765, "hidden");
  const auto withTexts = Load("s.st4", texts);
  ASSERT_TRUE(LoadSucceeded(withTexts->Status));
  EXPECT_EQ(Comments(*withTexts), std::vector<std::string>{"first text"});

  EXPECT_EQ(Message("s.08b", pixels + std::string(20, '\0')), "Incompatible file format");
}

// ============================================================================ Cookbook

TEST_F(Legacy, CookbookPix) {
  const std::string f = std::string(7, 'C') + Samples16(192, 165, V16);
  const auto image = Load("c.pix", f);
  ASSERT_TRUE(LoadSucceeded(image->Status));
  ExpectPlane(*image->MainPlane, 192, 165, true, V16, "pix");
  EXPECT_EQ(Message("short.pix", f.substr(0, f.size() - 2)), "Incompatible file format");
}

TEST_F(Legacy, CookbookCompanionFiles) {
  const std::string all = Samples16(378, 242, V16);
  const size_t sizes[3] = {61236, 61236, 60480};
  size_t at = 0;
  std::string parts[3];
  for (int i = 0; i < 3; ++i) {
    parts[i] = std::string(7, 'H') + all.substr(at, sizes[i]);
    at += sizes[i];
  }
  Dir.Write("k.p1", parts[0]);
  Dir.Write("k.p2", parts[1]);
  const std::string p1 = Dir.Name("k.p1");
  // Third part missing: its 80 rows (the bottom of the image) stay 0.
  const auto partial = LoadPath(p1);
  ASSERT_TRUE(LoadSucceeded(partial->Status));
  for (int32_t r = 0; r < 242; ++r) {
    const int32_t y = 241 - r;
    const float expected = r < 162 ? float(V16(5, r)) : 0.0f;
    ASSERT_EQ(partial->Value(5, y), expected) << r;
  }
  Dir.Write("k.p3", parts[2]);
  const auto full = LoadPath(p1);
  ASSERT_TRUE(LoadSucceeded(full->Status));
  ExpectPlane(*full->MainPlane, 378, 242, true, V16, "p1");
  // A companion that is there but short fails the file.
  Dir.Write("k.p3", parts[2].substr(0, 1000));
  EXPECT_FALSE(LoadSucceeded(LoadPath(p1)->Status));

  const std::string pa = Samples16(252, 242, V16);
  Dir.Write("q.PA", std::string(7, 'x') + pa.substr(0, 63000));
  Dir.Write("q.PB", std::string(7, 'x') + pa.substr(63000));
  const auto two = LoadPath(Dir.Name("q.PA"));
  ASSERT_TRUE(LoadSucceeded(two->Status));
  ExpectPlane(*two->MainPlane, 252, 242, true, V16, "pa");
}

// ============================================================================ Lynxx, Electrim

TEST_F(Legacy, LynxxTwelveBitPairs) {
  auto v12 = [](int32_t x, int32_t r) { return uint32_t(x * 21 + r * 17 + (x % 2) * 2048) % 4096u; };
  std::string f;
  for (int32_t r = 0; r < 165; ++r)
    for (int32_t x = 0; x < 192; x += 2) {
      const uint32_t a = v12(x, r), b = v12(x + 1, r);
      f += char(a & 0xFF);
      f += char((a >> 8) | ((b >> 8) << 4));
      f += char(b & 0xFF);
    }
  f.resize(48000, '\0');
  const auto image = Load("l.lnx", f);
  ASSERT_TRUE(LoadSucceeded(image->Status));
  ExpectPlane(*image->MainPlane, 192, 165, true, v12, "lynxx");
  // In the size window but shorter than 165 rows of 288 bytes.
  EXPECT_EQ(Message("s.ccd", f.substr(0, 47100)), "Incompatible file format");
  EXPECT_EQ(Message("o.ccd", std::string(49001, '\0')), "Incompatible file format");
}

// ============================================================================ DTA

TEST_F(Legacy, DtaFixedLayoutWithComment) {
  const std::string samples = Samples16(252, 242, V16);
  std::string f(128566, '\0');
  SetU16(f, 4, 1500);
  SetU16(f, 6, 3);               // 4.500 s
  SetU16(f, 14, uint32_t(-253) & 0xFFFF);  // -25.3 degrees
  SetText(f, 528, samples.substr(0, 63000));
  SetText(f, 64528, samples.substr(63000));
  const size_t t = f.size() - 28;
  SetU16(f, t, 1996);
  const char fields[6] = {7, 14, 22, 5, 9, 42};
  for (int i = 0; i < 6; ++i) f[t + 2 + size_t(i)] = fields[i];
  SetText(f, t + 8, "NGC 7000");
  const auto image = Load("d.img", f);
  ASSERT_TRUE(LoadSucceeded(image->Status));
  ExpectPlane(*image->MainPlane, 252, 242, true, V16, "dta");
  EXPECT_EQ(Comments(*image), std::vector<std::string>{"4.500s -25.3? 1996/7/14 22:5:9.42 NGC 7000"});
}

namespace {

// A header-walked DTA file: first word, optional blocks as flags, then the samples.
std::string DtaWalked(uint32_t first, uint32_t mode, uint8_t flag, int32_t w, int32_t h) {
  std::string f;
  PutU16(f, first);
  if (first > 10) f += std::string(6, 'a');
  f += std::string(8, 'b');
  PutU16(f, uint32_t(w));
  PutU16(f, uint32_t(h));
  f += std::string(14, 'c');
  PutU16(f, mode);
  if (mode == 2) f += std::string(4, 'd');
  f += std::string(62, 'e');
  f += char(flag);
  if (flag) f += std::string(8, 'f');
  f += std::string(29, 'g');
  return f + Samples16(w, h, V16);
}

}  // namespace

TEST_F(Legacy, DtaWalkedHeaderTable) {
  struct TRow {
    uint32_t First, Mode;
    uint8_t Flag;
  };
  for (const TRow& row : {TRow{1, 0, 0}, TRow{11, 0, 0}, TRow{1, 2, 0}, TRow{1, 0, 1},
                          TRow{99, 2, 7}}) {
    const auto image = Load("w.img", DtaWalked(row.First, row.Mode, row.Flag, 6, 4));
    ASSERT_TRUE(LoadSucceeded(image->Status)) << row.First << " " << row.Mode;
    ExpectPlane(*image->MainPlane, 6, 4, true, V16, "walked");
  }
  const std::string f = DtaWalked(1, 0, 0, 6, 4);
  EXPECT_EQ(Message("t.img", f.substr(0, f.size() - 1)), "Incompatible file format");
  EXPECT_EQ(Message("t.img", f.substr(0, 40)), "Incompatible file format");
  EXPECT_EQ(Message("t.img", DtaWalked(1, 0, 0, 10000, 1)), "Incompatible file format");
}

// ============================================================================ TGA

namespace {

std::string TgaHeader(uint8_t idLength, uint8_t mapType, uint8_t type, uint16_t mapLength,
                      uint8_t mapBits, int32_t w, int32_t h, uint8_t depth, uint8_t descriptor) {
  std::string f;
  f += char(idLength);
  f += char(mapType);
  f += char(type);
  PutU16(f, 0);
  PutU16(f, mapLength);
  f += char(mapBits);
  PutU32(f, 0);
  PutU16(f, uint32_t(w));
  PutU16(f, uint32_t(h));
  f += char(depth);
  f += char(descriptor);
  return f + std::string(idLength, 'I') + std::string(size_t(mapLength) * ((mapBits + 7) / 8), 'M');
}

uint32_t V8(int32_t x, int32_t r) { return uint32_t(x * 40 + r * 3 + 1) % 256u; }

}  // namespace

TEST_F(Legacy, TgaGrayAndMappedTable) {
  struct TRow {
    const char* Name;
    uint8_t IdLength, MapType, Type;
    uint16_t MapLength;
    uint8_t MapBits, Descriptor;
  };
  const TRow rows[] = {
      {"gray bottom first", 0, 0, 3, 0, 0, 0x00},
      {"gray top first", 0, 0, 3, 0, 0, 0x20},
      {"gray with an id field", 9, 0, 3, 0, 0, 0x00},
      {"mapped, 256 entries of 24 bits", 0, 1, 1, 256, 24, 0x00},
      {"mapped, 16 entries of 32 bits, id, top first", 4, 1, 1, 16, 32, 0x20},
  };
  for (const TRow& row : rows) {
    std::string f = TgaHeader(row.IdLength, row.MapType, row.Type, row.MapLength, row.MapBits,
                              5, 3, 8, row.Descriptor);
    for (int32_t r = 0; r < 3; ++r)
      for (int32_t x = 0; x < 5; ++x) f += char(V8(x, r));
    const auto image = Load("g.tga", f);
    ASSERT_TRUE(LoadSucceeded(image->Status)) << row.Name;
    EXPECT_EQ(image->Status & kStatusLoaded8Bit, kStatusLoaded8Bit) << row.Name;
    EXPECT_FALSE(image->IsColour()) << row.Name;
    ExpectPlane(*image->MainPlane, 5, 3, (row.Descriptor & 0x20) != 0, V8, row.Name);
    EXPECT_EQ(Message("g.tga", f.substr(0, f.size() - 1)), "Incompatible file format") << row.Name;
  }
}

TEST_F(Legacy, TgaTrueColour) {
  for (int32_t depth : {24, 32})
    for (uint8_t descriptor : {uint8_t(0), uint8_t(0x20)}) {
      std::string f = TgaHeader(2, 0, 2, 0, 0, 4, 2, uint8_t(depth), descriptor);
      for (int32_t r = 0; r < 2; ++r)
        for (int32_t x = 0; x < 4; ++x) {
          f += char(V8(x, r));        // blue
          f += char(V8(x, r) + 1);    // green
          f += char(V8(x, r) + 2);    // red
          if (depth == 32) f += char(0xEE);
        }
      const auto image = Load("c.tga", f);
      ASSERT_TRUE(LoadSucceeded(image->Status)) << depth;
      ASSERT_TRUE(image->IsColour());
      for (int32_t r = 0; r < 2; ++r)
        for (int32_t x = 0; x < 4; ++x) {
          float red = 0, green = 0, blue = 0;
          image->GetRGB(x, descriptor ? 1 - r : r, red, green, blue);
          EXPECT_EQ(blue, float(V8(x, r))) << depth;
          EXPECT_EQ(green, float(V8(x, r) + 1)) << depth;
          EXPECT_EQ(red, float(V8(x, r) + 2)) << depth;
        }
    }
}

TEST_F(Legacy, TgaNotTakenTable) {
  struct TRow {
    const char* Name;
    uint8_t Type, Depth;
    int32_t W;
    const char* Message;
  };
  const TRow rows[] = {
      {"run-length gray", 11, 8, 2, "Incompatible file format"},
      {"run-length colour", 10, 24, 2, "Incompatible file format"},
      {"16-bit true colour", 2, 16, 2, "Incompatible file format"},
      {"gray of 16 bits", 3, 16, 2, "Incompatible file format"},
      {"zero width", 3, 8, 0, "Incompatible file format"},
      {"30001 wide", 3, 8, 30001, "Max size is : 30000 x 30000"},
  };
  for (const TRow& row : rows) {
    const std::string f = TgaHeader(0, 0, row.Type, 0, 0, row.W, 1, row.Depth, 0) +
                          std::string(200, '\x10');
    EXPECT_EQ(Message("n.tga", f), row.Message) << row.Name;
  }
}

// ============================================================================ headerless dumps

TEST_F(Legacy, HeaderlessDumpBySize) {
  const std::string f = Samples16(510, 512, V16);
  ASSERT_EQ(f.size(), 522240u);
  const auto image = Load("dump.xyz", f);
  ASSERT_TRUE(LoadSucceeded(image->Status));
  ExpectPlane(*image->MainPlane, 510, 512, true, V16, "dump");
  EXPECT_EQ(Message("dump.xyz", f + "x"), "Incompatible file format");
  const auto small = Load("dump2", std::string(218080, '\x01'));
  ASSERT_TRUE(LoadSucceeded(small->Status));
  EXPECT_EQ(small->Width(), 376);
  EXPECT_EQ(small->Height(), 290);
}

TEST_F(Legacy, EveryLegacySlotIsRegistered) {
  const TLoaderTable& t = BuiltinLoaders();
  for (int32_t slot : {kSlotTextImage, kSlotCcdTextHeader, kSlotHisis, kSlotSbig, kSlotCookbook,
                       kSlotLynxx, kSlotDta, kSlotTga, kSlotSer, kSlotHeaderlessDump})
    EXPECT_NE(t.At(slot), nullptr) << slot;
}
