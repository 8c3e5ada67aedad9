#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "FormatsTestUtil.h"
#include "RasterTestUtil.h"
#include "formats/LoadStatus.h"
#include "formats/uFiles.h"
#include "formats/uPng.h"
#include "formats/uRaster.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"

using namespace orlu;
using namespace orlu::testing_formats;

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

uint32_t Be32(const std::string& s, size_t at) {
  return uint32_t(uint8_t(s[at])) << 24 | uint32_t(uint8_t(s[at + 1])) << 16 |
         uint32_t(uint8_t(s[at + 2])) << 8 | uint8_t(s[at + 3]);
}

// Chunk types and lengths of a PNG file, in order.
std::vector<std::pair<std::string, uint32_t>> Chunks(const std::string& png) {
  std::vector<std::pair<std::string, uint32_t>> out;
  for (size_t at = 8; at + 12 <= png.size();) {
    const uint32_t len = Be32(png, at);
    out.emplace_back(png.substr(at + 4, 4), len);
    at += 12 + size_t(len);
  }
  return out;
}

// Repeatable pseudo-random samples.
struct TLcg {
  uint32_t S = 12345;
  uint32_t Next(uint32_t n) {
    S = S * 134775813u + 1u;
    return uint32_t((uint64_t(S) * n) >> 32);
  }
};

TPngSpec RandomSpec(int32_t ct, int32_t depth, bool interlaced, int32_t w, int32_t h) {
  TPngSpec s;
  s.Width = w;
  s.Height = h;
  s.Depth = depth;
  s.ColourType = ct;
  s.Interlaced = interlaced;
  TLcg lcg;
  const uint32_t levels = ct == 3 ? std::min<uint32_t>(1u << depth, 7u) : (1u << depth);
  s.Samples.resize(size_t(w) * h * SamplesOf(ct));
  for (auto& v : s.Samples) v = lcg.Next(levels);
  // Corners pinned to the extremes, where shifts and scaling go wrong first.
  s.Samples[0] = levels - 1;
  s.Samples.back() = 0;
  if (ct == 3)
    for (uint32_t i = 0; i < 7; ++i) s.Palette.insert(s.Palette.end(), {uint8_t(10 + i), uint8_t(100 + 3 * i), uint8_t(250 - i)});
  return s;
}

// Expected red, green, blue, alpha of a pixel, from the format's rules.
void Expected(const TPngSpec& s, int32_t x, int32_t y, int32_t e[4]) {
  const int32_t spp = SamplesOf(s.ColourType);
  const uint32_t* p = &s.Samples[(size_t(y) * s.Width + x) * spp];
  e[3] = 0;
  switch (s.ColourType) {
    case 0: {
      const int32_t v = s.Depth < 8 ? int32_t(p[0] * 255 / ((1u << s.Depth) - 1)) : int32_t(p[0]);
      e[0] = e[1] = e[2] = v;
      break;
    }
    case 3:
      for (int k = 0; k < 3; ++k) e[k] = s.Palette[p[0] * 3 + k];
      break;
    case 4:
      e[0] = e[1] = e[2] = int32_t(p[0]);
      e[3] = int32_t(p[1]);
      break;
    default:
      for (int k = 0; k < 3; ++k) e[k] = int32_t(p[k]);
      if (s.ColourType == 6) e[3] = int32_t(p[3]);
  }
}

class PngTest : public ::testing::Test {
 protected:
  TTempDir Dir;
  TQVOptions Opt;
  void Load(const std::string& path, TAImage& image) {
    LoadImage(BuiltinLoaders(), path, 0, image, Opt);
  }
};

// ---------------------------------------------------------------------------------------
// Decoding: every colour type and depth, plain and interlaced, with all five row filters.

struct TDecodeCase {
  int32_t ColourType, Depth;
  bool Interlaced;
};

TEST_F(PngTest, DecodesEveryColourTypeAndDepth) {
  const TDecodeCase cases[] = {
      {0, 1, false}, {0, 2, false}, {0, 4, false}, {0, 8, false}, {0, 16, false},
      {2, 8, false}, {2, 16, false}, {3, 1, false}, {3, 2, false}, {3, 4, false},
      {3, 8, false}, {4, 8, false}, {4, 16, false}, {6, 8, false}, {6, 16, false},
      {0, 1, true},  {0, 4, true},  {0, 16, true},  {2, 8, true},  {3, 2, true},
      {4, 16, true}, {6, 8, true},  {6, 16, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE("colour type " + std::to_string(c.ColourType) + ", depth " +
                 std::to_string(c.Depth) + (c.Interlaced ? ", interlaced" : ""));
    // 13 x 11: odd sizes leave Adam7 passes partly empty and rows with spare bits.
    const TPngSpec s = RandomSpec(c.ColourType, c.Depth, c.Interlaced, 13, 11);
    const std::string path = Dir.Write("t.png", EncodePng(s));
    TPNGManager png;
    ASSERT_TRUE(png.Decode(path, true));
    EXPECT_EQ(png.Width, 13);
    EXPECT_EQ(png.Height, 11);
    for (int32_t y = 0; y < s.Height; ++y)
      for (int32_t x = 0; x < s.Width; ++x) {
        int32_t e[4], r, g, b, a;
        Expected(s, x, y, e);
        ASSERT_TRUE(png.PixelAt(x, y, r, g, b, a));
        ASSERT_EQ(r, e[0]) << x << "," << y;
        ASSERT_EQ(g, e[1]) << x << "," << y;
        ASSERT_EQ(b, e[2]) << x << "," << y;
        ASSERT_EQ(a, e[3]) << x << "," << y;
      }
    int32_t r, g, b, a;
    EXPECT_FALSE(png.PixelAt(13, 0, r, g, b, a));
    EXPECT_FALSE(png.PixelAt(0, -1, r, g, b, a));

    // The loader puts file row 0 at the top (image row h - 1); palette files are colour.
    TAImage image;
    Load(path, image);
    ASSERT_TRUE(LoadSucceeded(image.Status));
    const bool colour = c.ColourType == 2 || c.ColourType == 3 || c.ColourType == 6;
    EXPECT_EQ(image.IsColour(), colour);
    for (int32_t y = 0; y < s.Height; ++y)
      for (int32_t x = 0; x < s.Width; ++x) {
        int32_t e[4];
        Expected(s, x, y, e);
        float fr, fg, fb;
        image.GetRGB(x, s.Height - 1 - y, fr, fg, fb);
        ASSERT_EQ(fg, float(e[1]));
        if (colour) {
          ASSERT_EQ(fr, float(e[0]));
          ASSERT_EQ(fb, float(e[2]));
        }
      }
    EXPECT_EQ(image.Header.GetInt("BITPIX"), c.Depth == 16 ? 16 : 8);
    EXPECT_EQ((image.Status & kStatusLoaded8Bit) == kStatusLoaded8Bit, c.Depth != 16);
    EXPECT_EQ(image.Mask->HasStorage(), false);  // alpha is not kept
  }
}

TEST_F(PngTest, StreamSplitOverManyChunksDecodes) {
  TPngSpec s = RandomSpec(2, 16, false, 40, 30);
  s.IdatPieces = 37;
  TPNGManager png;
  ASSERT_TRUE(png.Decode(Dir.Write("split.png", EncodePng(s)), true));
  int32_t r, g, b, a, e[4];
  ASSERT_TRUE(png.PixelAt(39, 29, r, g, b, a));
  Expected(s, 39, 29, e);
  EXPECT_EQ(b, e[2]);
}

// ---------------------------------------------------------------------------------------
// Writing and reopening.

void FillRamp(TAImage& image, float scale, float offset) {
  for (int32_t y = 0; y < image.Height(); ++y)
    for (int32_t x = 0; x < image.Width(); ++x) {
      const float v = float((x * 7 + y * 13) % 251) * scale + offset;
      image.SetRGB(x, y, v + 1, v, v + 2);
    }
}

TEST_F(PngTest, DataPngReopensWithKeywordsPixelsViewAndSolution) {
  for (bool colour : {false, true})
    for (float scale : {1.0f, 200.0f}) {
      SCOPED_TRACE(std::string(colour ? "colour" : "gray") + (scale > 1 ? " 16-bit" : " 8-bit"));
      TAImage image;
      image.SetSize(37, 23, colour);
      FillRamp(image, scale, 0);
      TFitsStrings& h = image.Header;
      h.SetString("OBJECT", "M 42", true);
      h.SetReal("EXPTIME", true, 120.5);
      h.AddComment("a comment card");
      h.AddHistory("a history card");
      h.SetVisuKeys(0, 180, 20);
      for (const char* card : {"CTYPE1  = 'RA---TAN'", "CTYPE2  = 'DEC--TAN'", "CRPIX1  = 18.0",
                               "CRPIX2  = 12.0", "CRVAL1  = 150.25", "CRVAL2  = -30.5",
                               "CD1_1   = -0.0002", "CD1_2   = 0.0", "CD2_1   = 0.0",
                               "CD2_2   = 0.0002"})
        h.SetCard(card);
      const std::string path = Dir.Name("data.png");
      const TSaveResult r = SaveImageFile(image, path, TWriterKind::PngData, false, Opt);
      ASSERT_EQ(r.Status, TSaveStatus::Written) << r.Message;

      TAImage back;
      Load(path, back);
      ASSERT_TRUE(LoadSucceeded(back.Status));
      EXPECT_TRUE(back.Status & kStatusFitsHeader);
      EXPECT_TRUE(back.SameImage(image));
      EXPECT_EQ(back.Header.GetInt("BITPIX"), scale > 1 ? 16 : 8);
      for (const char* key : {"OBJECT", "EXPTIME", "CTYPE1", "CRVAL2", "CD2_2", "ORLUUMIN"})
        EXPECT_EQ(back.Header.GetValueText(key), image.Header.GetValueText(key)) << key;
      EXPECT_GE(back.Header.IndexOf("COMMENT a comment card"), 0);
      EXPECT_GE(back.Header.IndexOf("HISTORY a history card"), 0);
      EXPECT_TRUE(back.HasWcs);
      EXPECT_FLOAT_EQ(back.Visu.Low, 20.0f);
      EXPECT_FLOAT_EQ(back.Visu.High, 180.0f);
    }
}

TEST_F(PngTest, DepthFollowsTheDataRange) {
  struct TCase {
    const char* Name;
    float Extra;
    int32_t Depth;
    float Stored;
  } cases[] = {{"0..255", 255, 8, 255}, {"one value 256", 256, 16, 256},
               {"one value -1", -1, 16, 0}, {"above 65535", 70000, 16, 65535}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TAImage image;
    image.SetSize(5, 4, false);
    FillRamp(image, 1, 0);
    image.MainPlane->SetPixel(2, 1, c.Extra);
    const std::string path = Dir.Name("d.png");
    ASSERT_TRUE(WritePngFromImage(image, path, "", nullptr, false));
    TPNGManager png;
    ASSERT_TRUE(png.Decode(path, true));
    EXPECT_EQ(png.BitDepth, c.Depth);
    EXPECT_EQ(png.ColourType, 0);
    int32_t r, g, b, a;
    png.PixelAt(2, 4 - 1 - 1, r, g, b, a);
    EXPECT_EQ(g, int32_t(c.Stored));
  }
}

TEST_F(PngTest, MaskBecomesAlphaAndIsNotReadBack) {
  TAImage image;
  image.SetSize(6, 5, true);
  FillRamp(image, 1, 0);
  TAMask mask;
  mask.SetSize(6, 5);
  ASSERT_TRUE(mask.Allocate());
  mask.SetWeight(1, 0, 65535);
  mask.SetWeight(2, 0, 30000);
  for (bool sixteen : {false, true}) {
    if (sixteen) image.MainPlane->SetPixel(0, 0, 1000);
    const std::string path = Dir.Name("alpha.png");
    ASSERT_TRUE(WritePngFromImage(image, path, "", &mask, false));
    TPNGManager png;
    ASSERT_TRUE(png.Decode(path, true));
    EXPECT_EQ(png.ColourType, 6);
    int32_t r, g, b, a;
    png.PixelAt(1, 4, r, g, b, a);  // image row 0 is the file's last row
    EXPECT_EQ(a, sixteen ? 65535 : 255);
    png.PixelAt(2, 4, r, g, b, a);
    EXPECT_EQ(a, sixteen ? 30000 : 30000 / 256);
    png.PixelAt(3, 4, r, g, b, a);
    EXPECT_EQ(a, 0);
    TAImage back;
    Load(path, back);
    ASSERT_TRUE(LoadSucceeded(back.Status));
    EXPECT_FALSE(back.Mask->HasStorage());
  }
}

TEST_F(PngTest, LargeStreamIsSplitIntoLegalChunks) {
  // Noise does not compress: 16-bit RGB of 700 x 500 gives about 2 MB of stream.
  TAImage image;
  image.SetSize(700, 500, true);
  TLcg lcg;
  for (int32_t y = 0; y < 500; ++y)
    for (int32_t x = 0; x < 700; ++x)
      image.SetRGB(x, y, float(lcg.Next(65536)), float(lcg.Next(65536)), float(lcg.Next(65536)));
  const std::string path = Dir.Name("big.png");
  ASSERT_TRUE(WritePngFromImage(image, path, "", nullptr, false));
  const auto chunks = Chunks(ReadAll(path));
  int idat = 0;
  for (const auto& [type, len] : chunks)
    if (type == "IDAT") {
      ++idat;
      EXPECT_LE(len, TPNGManager::kIdatChunkBytes);
    }
  EXPECT_GE(idat, 2);
  EXPECT_EQ(chunks.back().first, "IEND");
  TAImage back;
  Load(path, back);
  ASSERT_TRUE(LoadSucceeded(back.Status));
  EXPECT_TRUE(back.SameImage(image));
}

TEST_F(PngTest, ViewPngsKeepTheDocumentHeader) {
  TAImage image;
  image.SetSize(8, 6, false);
  FillRamp(image, 1, 0);
  image.Header.SetVisuKeys(0, 200, 10);
  image.Visu.SetLinear(10, 200);
  const std::vector<std::string> before = image.Header.Strings();
  for (TWriterKind kind : {TWriterKind::ViewPng8, TWriterKind::ViewPng16}) {
    const std::string path = Dir.Name("view.png");
    ASSERT_EQ(SaveImageFile(image, path, kind, false, Opt).Status, TSaveStatus::Written);
    EXPECT_EQ(image.Header.Strings(), before);
    TAImage back;
    Load(path, back);
    ASSERT_TRUE(LoadSucceeded(back.Status));
    // The embedded header shows the saved levels unchanged.
    const float top = kind == TWriterKind::ViewPng8 ? 255.0f : 65535.0f;
    EXPECT_FLOAT_EQ(back.Visu.High, top);
    EXPECT_FLOAT_EQ(back.Visu.Low, 0.0f);
    // The saved levels are the linear view of 10…200.
    float r, g, b;
    image.GetRGB(5, 5, r, g, b);
    const float expect = std::min(1.0f, std::max(0.0f, (g - 10) / 190)) * top;
    back.GetRGB(5, 5, r, g, b);
    EXPECT_NEAR(g, expect, top == 255 ? 1.0f : 1.0f);
  }
}

// ---------------------------------------------------------------------------------------
// Hostile files: every one gives a status, none loads.

std::string WithChunkLength(std::string png, const char* type, uint32_t len) {
  const size_t at = png.find(type) - 4;
  png[at] = char(len >> 24);
  png[at + 1] = char(len >> 16);
  png[at + 2] = char(len >> 8);
  png[at + 3] = char(len);
  return png;
}

std::string Ihdr(uint32_t w, uint32_t h) {
  std::string d;
  AppendBe32(d, w);
  AppendBe32(d, h);
  d += std::string("\x08\x00\x00\x00\x00", 5);
  return d;
}

TEST_F(PngTest, HostileFilesGiveAStatus) {
  const std::string good = EncodePng(RandomSpec(2, 8, false, 20, 20));
  std::string badIdatCrc = good;
  badIdatCrc[badIdatCrc.find("IDAT") + 6] ^= 0x40;
  std::string tinyStream = PngChunk("IDAT", std::string("\x78\x9c\x03\x00", 4));
  std::string sig("\x89PNG\r\n\x1a\n", 8);
  struct TCase {
    const char* Name;
    std::string Bytes;
    uint32_t MustHave;
  } cases[] = {
      {"truncated in the image data", good.substr(0, good.size() - 40), kStatusFailed},
      {"chunk length above 2^31-1", WithChunkLength(good, "IDAT", 0x80000000u), kStatusFailed},
      {"chunk length beyond the file", WithChunkLength(good, "IDAT", 5000), kStatusFailed},
      {"damaged image data CRC", badIdatCrc, kStatusFailed},
      {"30001 wide", sig + PngChunk("IHDR", Ihdr(30001, 2)) + tinyStream + PngChunk("IEND", ""),
       kStatusRefusedTooLarge},
      {"2^31-1 square", sig + PngChunk("IHDR", Ihdr(0x7FFFFFFF, 0x7FFFFFFF)) + tinyStream +
                            PngChunk("IEND", ""),
       kStatusRefusedTooLarge},
      {"20000 square from 4 bytes of stream",
       sig + PngChunk("IHDR", Ihdr(20000, 20000)) + tinyStream + PngChunk("IEND", ""),
       kStatusFailed},
      {"zero width", sig + PngChunk("IHDR", Ihdr(0, 5)) + tinyStream + PngChunk("IEND", ""),
       kStatusFailed},
      {"signature only", sig, kStatusFailed},
      {"garbage stream",
       sig + PngChunk("IHDR", Ihdr(4, 4)) + PngChunk("IDAT", "garbage!") + PngChunk("IEND", ""),
       kStatusFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string path = Dir.Write("h.png", c.Bytes);
    TAImage image;
    Load(path, image);
    EXPECT_FALSE(LoadSucceeded(image.Status));
    EXPECT_EQ(image.Status & c.MustHave, c.MustHave);
    TPNGManager png;
    EXPECT_FALSE(png.Decode(path, true));
  }
}

TEST_F(PngTest, HeaderChunkWithBadCrcIsSkipped) {
  TPngSpec s = RandomSpec(0, 8, false, 4, 3);
  s.Text = std::string("FITS_HEADER\0OBJECT  = 'X'\n", 26);
  std::string bytes = EncodePng(s);
  const size_t at = bytes.find("tEXt");
  TAImage image;
  Load(Dir.Write("a.png", bytes), image);
  ASSERT_TRUE(LoadSucceeded(image.Status));
  EXPECT_TRUE(image.Status & kStatusFitsHeader);
  EXPECT_EQ(image.Header.GetString("OBJECT"), "X");
  bytes[at + 20] ^= 1;  // inside the text: the CRC no longer matches
  TAImage damaged;
  Load(Dir.Write("b.png", bytes), damaged);
  ASSERT_TRUE(LoadSucceeded(damaged.Status));
  EXPECT_FALSE(damaged.Status & kStatusFitsHeader);
  EXPECT_FALSE(damaged.Header.HasKey("OBJECT"));
}

}  // namespace
