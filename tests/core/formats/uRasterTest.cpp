#include <gtest/gtest.h>

#include <FreeImage.h>
#include <jpeglib.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "FormatsTestUtil.h"
#include "formats/LoadStatus.h"
#include "formats/uFiles.h"
#include "formats/uRaster.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"
#include "visual/ImaRender.h"

using namespace orlu;
using namespace orlu::testing_formats;

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

void PutLe(std::string& s, size_t at, uint32_t v, int bytes) {
  for (int k = 0; k < bytes; ++k) s[at + size_t(k)] = char(v >> (8 * k));
}

class RasterTest : public ::testing::Test {
 protected:
  TTempDir Dir;
  TQVOptions Opt;
  void Load(const std::string& path, TAImage& image) {
    LoadImage(BuiltinLoaders(), path, 0, image, Opt);
  }
};

void FillRamp(TAImage& image, float scale) {
  for (int32_t y = 0; y < image.Height(); ++y)
    for (int32_t x = 0; x < image.Width(); ++x) {
      const float v = float((x * 7 + y * 13) % 251) * scale;
      image.SetRGB(x, y, v + 1, v, v + 2);
    }
}

// A view picture with a distinct colour per pixel; gray when asked.
TBgraBitmap MakeView(int32_t w, int32_t h, bool gray) {
  TBgraBitmap v;
  EXPECT_TRUE(v.SetSize(w, h));
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      const uint32_t g = uint32_t(x * 20 + y * 3) & 0xFF;
      const uint32_t r = gray ? g : (g + 40) & 0xFF, b = gray ? g : (255 - g);
      v.SetPixel(x, y, 0xFF000000u | r << 16 | g << 8 | b);
    }
  return v;
}

// ---------------------------------------------------------------------------------------
// TIFF

TEST_F(RasterTest, TiffDataRoundTripsAndTopRowComesFirst) {
  for (bool colour : {false, true})
    for (float scale : {1.0f, 250.0f}) {
      SCOPED_TRACE(std::string(colour ? "colour" : "gray") + (scale > 1 ? " 16" : " 8"));
      TAImage image;
      image.SetSize(300, 3700, colour);  // several strips of about 1 MiB
      FillRamp(image, scale);
      const std::string path = Dir.Name("d.tif");
      ASSERT_EQ(SaveImageFile(image, path, TWriterKind::TiffData, false, Opt).Status,
                TSaveStatus::Written);
      TAImage back;
      Load(path, back);
      ASSERT_TRUE(LoadSucceeded(back.Status));
      EXPECT_TRUE(back.SameImage(image));
      EXPECT_EQ((back.Status & kStatusLoaded8Bit) == kStatusLoaded8Bit, scale == 1.0f);
      // The file's first sample is the top image row's first pixel.
      const std::string bytes = ReadAll(path);
      uint32_t first = 0, ifd = 8;
      for (uint32_t e = 0; e < uint8_t(bytes[ifd]); ++e) {
        const size_t at = ifd + 2 + 12 * e;
        const uint32_t tag = uint8_t(bytes[at]) | uint8_t(bytes[at + 1]) << 8;
        uint32_t v = 0;
        std::memcpy(&v, bytes.data() + at + 8, 4);
        if (tag == 273) {
          const uint32_t count = uint8_t(bytes[at + 4]) | uint8_t(bytes[at + 5]) << 8;
          if (count > 1) std::memcpy(&v, bytes.data() + v, 4);
          first = v;
        }
        if (tag == 279) {
          EXPECT_GT(v, 0u);  // StripByteCounts is written
        }
      }
      const float top = image.Value(0, image.Height() - 1);
      const uint32_t stored = scale > 1 ? (uint8_t(bytes[first]) | uint8_t(bytes[first + 1]) << 8)
                                        : uint8_t(bytes[first + (colour ? 1 : 0)]);
      EXPECT_EQ(float(scale > 1 && colour ? image.RedPlane->GetPixel(0, image.Height() - 1) : top),
                float(stored));
    }
}

// A hand-made little- or big-endian TIFF: one strip of gray or RGB samples.
std::string HandTiff(bool bigEndian, int32_t w, int32_t h, int32_t spp, int32_t bits,
                     int32_t format, const std::string& data, bool byteCounts) {
  auto put16 = [&](std::string& s, uint32_t v) {
    if (bigEndian) s += {char(v >> 8), char(v)};
    else s += {char(v), char(v >> 8)};
  };
  auto put32 = [&](std::string& s, uint32_t v) {
    if (bigEndian) s += {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    else s += {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
  };
  std::vector<std::array<uint32_t, 4>> e = {{256, 4, 1, uint32_t(w)}, {257, 4, 1, uint32_t(h)},
                                            {258, 3, 1, uint32_t(bits)}, {259, 3, 1, 1},
                                            {262, 3, 1, spp == 3 ? 2u : 1u}, {273, 4, 1, 0},
                                            {277, 3, 1, uint32_t(spp)}};
  if (byteCounts) e.push_back({279, 4, 1, uint32_t(data.size())});
  e.push_back({339, 3, 1, uint32_t(format)});
  const uint32_t dataAt = 8 + 2 + 12 * uint32_t(e.size()) + 4;
  e[5][3] = dataAt;
  std::string s = bigEndian ? "MM" : "II";
  put16(s, 42);
  put32(s, 8);
  put16(s, uint32_t(e.size()));
  for (auto& x : e) {
    put16(s, x[0]);
    put16(s, x[1]);
    put32(s, x[2]);
    if (x[1] == 3) {
      put16(s, x[3]);
      put16(s, 0);
    } else {
      put32(s, x[3]);
    }
  }
  put32(s, 0);
  return s + data;
}

TEST_F(RasterTest, TiffSampleKindsAndByteOrders) {
  // 2 x 2 pictures, file order (top row first): values 1, 2 / 3, 4 scaled by kind.
  struct TCase {
    const char* Name;
    bool Be;
    int32_t Bits, Format;
    std::vector<float> Values;
    bool Float;
  } cases[] = {
      {"8-bit", false, 8, 1, {1, 2, 3, 250}, false},
      {"16-bit big-endian", true, 16, 1, {1, 2, 300, 65535}, false},
      {"32-bit signed", false, 32, 2, {-5, 2, 70000, -70000}, false},
      {"32-bit unsigned big-endian", true, 32, 1, {1, 2, 3, 4000000000.0f}, false},
      {"32-bit float", false, 32, 3, {0.25f, -1.5f, 3e5f, 1e-3f}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    std::string data;
    for (float v : c.Values) {
      uint32_t u;
      if (c.Format == 3) std::memcpy(&u, &v, 4);
      else if (c.Format == 2) u = uint32_t(int32_t(v));
      else u = uint32_t(v);
      for (int k = 0; k < c.Bits / 8; ++k) {
        const int shift = c.Be ? 8 * (c.Bits / 8 - 1 - k) : 8 * k;
        data += char(u >> shift);
      }
    }
    TAImage image;
    Load(Dir.Write("k.tif", HandTiff(c.Be, 2, 2, 1, c.Bits, c.Format, data, false)), image);
    ASSERT_TRUE(LoadSucceeded(image.Status)) << image.Status;
    EXPECT_EQ(bool(image.IsFloat), c.Float);
    EXPECT_EQ(image.Value(0, 1), c.Values[0]);  // file row 0 is the top row
    EXPECT_EQ(image.Value(1, 1), c.Values[1]);
    EXPECT_EQ(image.Value(0, 0), c.Values[2]);
    EXPECT_EQ(image.Value(1, 0), c.Values[3]);
  }
}

// Interleaved RGB rows long enough for the vector loops, in both byte orders.
TEST_F(RasterTest, TiffRgbRowsTable) {
  const struct {
    bool Be;
    int32_t Bits;
  } cases[] = {{false, 8}, {true, 8}, {false, 16}, {true, 16}};
  const int32_t w = 53, h = 3;
  auto value = [](int32_t x, int32_t r, int32_t c, int32_t bits) {
    const uint32_t v = uint32_t(x * 977 + r * 4099 + c * 131 + 7);
    return bits == 8 ? v & 0xFF : v & 0xFFFF;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.Bits) + (c.Be ? " big-endian" : " little-endian"));
    std::string data;
    for (int32_t r = 0; r < h; ++r)
      for (int32_t x = 0; x < w; ++x)
        for (int32_t k = 0; k < 3; ++k) {
          const uint32_t v = value(x, r, k, c.Bits);
          if (c.Bits == 8) data += char(v);
          else if (c.Be) data += {char(v >> 8), char(v)};
          else data += {char(v), char(v >> 8)};
        }
    TAImage image;
    Load(Dir.Write("rgb.tif", HandTiff(c.Be, w, h, 3, c.Bits, 1, data, true)), image);
    ASSERT_TRUE(LoadSucceeded(image.Status)) << image.Status;
    ASSERT_TRUE(image.IsColour());
    for (int32_t r = 0; r < h; ++r)
      for (int32_t x = 0; x < w; ++x) {
        float red, green, blue;
        image.GetRGB(x, h - 1 - r, red, green, blue);
        ASSERT_EQ(red, float(value(x, r, 0, c.Bits))) << x << "," << r;
        ASSERT_EQ(green, float(value(x, r, 1, c.Bits))) << x << "," << r;
        ASSERT_EQ(blue, float(value(x, r, 2, c.Bits))) << x << "," << r;
      }
  }
}

TEST_F(RasterTest, TiffOtherLayoutsGoThroughTheImageLibrary) {
  // Files written by the library's own TIFF encoder: compression and tiles.
  FIBITMAP* dib = FreeImage_AllocateT(FIT_UINT16, 40, 30);
  ASSERT_NE(dib, nullptr);
  for (int y = 0; y < 30; ++y) {
    auto* row = reinterpret_cast<uint16_t*>(FreeImage_GetScanLine(dib, y));
    for (int x = 0; x < 40; ++x) row[x] = uint16_t(x * 1000 + y);
  }
  for (int flags : {TIFF_LZW, TIFF_DEFLATE, TIFF_PACKBITS}) {
    SCOPED_TRACE(flags);
    const std::string path = Dir.Name("c.tif");
    ASSERT_TRUE(FreeImage_Save(FIF_TIFF, dib, path.c_str(), flags));
    TAImage image;
    Load(path, image);
    ASSERT_TRUE(LoadSucceeded(image.Status));
    EXPECT_EQ(image.Width(), 40);
    // The library's row 0 is the bottom row, as the program's.
    EXPECT_EQ(image.Value(7, 3), 7003.0f);
    EXPECT_EQ(image.Value(39, 29), 39029.0f);
  }
  FreeImage_Unload(dib);
}

TEST_F(RasterTest, DamagedTiffStripsAreRefused) {
  const std::string data(16, '\x05');
  struct TCase {
    const char* Name;
    std::string Bytes;
    uint32_t MustHave;
  } cases[] = {
      {"strip runs past the end", HandTiff(false, 4, 4, 1, 8, 1, data, true).substr(0, 100),
       kStatusFailed},
      {"byte count below the rows", [&] {
         std::string s = HandTiff(false, 4, 4, 1, 8, 1, data, true);
         PutLe(s, 8 + 2 + 12 * 7 + 8, 3, 4);  // StripByteCounts = 3
         return s;
       }(), kStatusFailed},
      {"offset beyond the file", [&] {
         std::string s = HandTiff(false, 4, 4, 1, 8, 1, data, true);
         PutLe(s, 8 + 2 + 12 * 5 + 8, 0x7FFFFFF0u, 4);
         return s;
       }(), kStatusFailed},
      {"30001 high", HandTiff(false, 4, 30001, 1, 8, 1, data, false), kStatusRefusedTooLarge},
      {"directory beyond the file", std::string("II\x2a\x00\xff\xff\xff\x0f", 8), kStatusFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TAImage image;
    Load(Dir.Write("bad.tif", c.Bytes), image);
    EXPECT_FALSE(LoadSucceeded(image.Status));
    EXPECT_EQ(image.Status & c.MustHave, c.MustHave);
  }
}

TEST_F(RasterTest, SixteenBitViewsFollowTheVisualization) {
  TAImage image;
  image.SetSize(10, 150, false);  // three bands of 64 rows
  FillRamp(image, 1);
  image.Visu.SetLinear(50, 150);
  const std::string path = Dir.Name("v16.tif");
  ASSERT_EQ(SaveImageFile(image, path, TWriterKind::ViewTiff16, false, Opt).Status,
            TSaveStatus::Written);
  TAImage back;
  Load(path, back);
  ASSERT_TRUE(LoadSucceeded(back.Status));
  for (int32_t y : {0, 63, 64, 100, 149})
    for (int32_t x : {0, 9}) {
      const double f = std::clamp((image.Value(x, y) - 50.0) / 100.0, 0.0, 1.0);
      EXPECT_NEAR(back.Value(x, y), f * 65535, 1.0) << x << "," << y;
    }
  TVisualStretch16 s(image);
  float r, g, b;
  s.GetRGB(10, 0, r, g, b);
  EXPECT_EQ(g, 0.0f);
  s.GetRGB(0, -1, r, g, b);
  EXPECT_EQ(r, 0.0f);
}

// ---------------------------------------------------------------------------------------
// BMP

TEST_F(RasterTest, BmpViewsReopenWithTheirKind) {
  for (bool gray : {false, true}) {
    SCOPED_TRACE(gray ? "gray" : "colour");
    // Three pixels wide: rows are padded to four bytes.
    const TBgraBitmap view = MakeView(3, 5, gray);
    const std::string path = Dir.Name("v.bmp");
    ASSERT_TRUE(WriteViewBmp(view, path, gray));
    EXPECT_EQ(ReadAll(path).size(), size_t(gray ? 1078 + 4 * 5 : 54 + 12 * 5));
    TAImage image;
    Load(path, image);
    ASSERT_TRUE(LoadSucceeded(image.Status));
    EXPECT_EQ(image.Status & kStatusLoaded8Bit, kStatusLoaded8Bit);
    EXPECT_EQ(image.IsColour(), !gray);
    for (int32_t y = 0; y < 5; ++y)
      for (int32_t x = 0; x < 3; ++x) {
        const uint32_t c = view.Pixel(x, y);
        float r, g, b;
        image.GetRGB(x, y, r, g, b);
        if (gray) {
          const uint32_t v = ((c >> 16 & 0xFF) * 77 + (c >> 8 & 0xFF) * 151 + (c & 0xFF) * 28) / 256;
          ASSERT_EQ(g, float(v));
        } else {
          ASSERT_EQ(r, float(c >> 16 & 0xFF));
          ASSERT_EQ(g, float(c >> 8 & 0xFF));
          ASSERT_EQ(b, float(c & 0xFF));
        }
      }
  }
}

TEST_F(RasterTest, GrayPixelsInAColourBitmapGiveAMonochromeImage) {
  auto b = std::make_unique<TRasterBitmap>();
  ASSERT_TRUE(b->Allocate(4, 2, 4));
  std::memset(b->Data.get(), 77, size_t(b->Stride * 2));
  b->Row(0)[0] = b->Row(0)[1] = b->Row(0)[2] = 200;  // top-left pixel, still gray
  HandOverBitmap(std::move(b));
  TAImage image;
  Load(std::string(kMemoryBitmapPath), image);
  ASSERT_TRUE(LoadSucceeded(image.Status));
  EXPECT_FALSE(image.IsColour());
  EXPECT_EQ(image.Value(0, 1), 200.0f);
  EXPECT_EQ(image.Value(3, 0), 77.0f);
  // The slot is emptied by the load.
  TAImage again;
  Load(std::string(kMemoryBitmapPath), again);
  EXPECT_FALSE(LoadSucceeded(again.Status));
}

TEST_F(RasterTest, OversizedBmpIsRefusedFromItsHeader) {
  const TBgraBitmap view = MakeView(2, 2, false);
  const std::string path = Dir.Name("big.bmp");
  ASSERT_TRUE(WriteViewBmp(view, path, false));
  std::string bytes = ReadAll(path);
  PutLe(bytes, 22, uint32_t(-30001), 4);  // top-down, 30001 rows
  TAImage image;
  Load(Dir.Write("big.bmp", bytes), image);
  EXPECT_EQ(image.Status & kStatusRefusedTooLarge, kStatusRefusedTooLarge);
}

// ---------------------------------------------------------------------------------------
// JPEG

TEST_F(RasterTest, JpegFullAndReducedScale) {
  // Flat 8 x 8 blocks survive compression almost exactly.
  TBgraBitmap view;
  ASSERT_TRUE(view.SetSize(64, 48));
  for (int32_t y = 0; y < 48; ++y)
    for (int32_t x = 0; x < 64; ++x) {
      const uint32_t g = uint32_t((x / 16) * 60), r = uint32_t((y / 16) * 100);
      view.SetPixel(x, y, 0xFF000000u | r << 16 | g << 8 | 90);
    }
  const std::string path = Dir.Name("v.jpg");
  ASSERT_TRUE(WriteViewJpeg(view, path, 95));
  int32_t w, h;
  JpegSize(path, w, h);
  EXPECT_EQ(w, 64);
  EXPECT_EQ(h, 48);
  TAImage image;
  Load(path, image);
  ASSERT_TRUE(LoadSucceeded(image.Status));
  EXPECT_EQ(image.Status & kStatusLoaded8Bit, kStatusLoaded8Bit);
  ASSERT_TRUE(image.IsColour());
  for (auto [x, y] : {std::pair{4, 4}, {36, 20}, {60, 44}}) {
    float r, g, b;
    image.GetRGB(x, y, r, g, b);
    EXPECT_NEAR(g, (x / 16) * 60, 3) << x << "," << y;
    EXPECT_NEAR(r, (y / 16) * 100, 3) << x << "," << y;
    EXPECT_NEAR(b, 90, 3);
  }
  for (int32_t scale : {2, 4, 8}) {
    TRasterBitmap bitmap;
    ASSERT_TRUE(DecodeJpeg(path, scale, true, bitmap));
    EXPECT_EQ(bitmap.Width, 64 / scale);
    EXPECT_EQ(bitmap.Height, 48 / scale);
    // Top-right block: green 180, red 0 (the view's top row is its last).
    const uint8_t* p = bitmap.Row(0) + (bitmap.Width - 1) * 3;
    EXPECT_NEAR(p[1], 180, 8);
    EXPECT_NEAR(p[2], 200, 8);
  }
  TRasterBitmap none;
  EXPECT_FALSE(DecodeJpeg(path, 3, false, none));
}

// A baseline JPEG of 1 or 3 components written by libjpeg itself; sample(x, y, c).
template <class F>
bool WriteJpegFile(const std::string& path, int32_t w, int32_t h, int32_t components, F&& sample) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  jpeg_compress_struct info{};
  jpeg_error_mgr err{};
  info.err = jpeg_std_error(&err);
  jpeg_create_compress(&info);
  jpeg_stdio_dest(&info, f);
  info.image_width = JDIMENSION(w);
  info.image_height = JDIMENSION(h);
  info.input_components = components;
  info.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, 85, TRUE);
  jpeg_start_compress(&info, TRUE);
  std::vector<uint8_t> row(size_t(w) * size_t(components));
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x)
      for (int32_t c = 0; c < components; ++c) row[size_t(x * components + c)] = sample(x, y, c);
    JSAMPROW p = row.data();
    jpeg_write_scanlines(&info, &p, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  return std::fclose(f) == 0;
}

// The loader's planes hold exactly what the plain decoder gives, row for row (file rows
// from the top), for sizes on both sides of the parallel path and for every kind.
TEST_F(RasterTest, JpegLoadMatchesThePlainDecoderTable) {
  struct TCase {
    const char* Name;
    int32_t W, H, Components;
    bool GrayPixels;  // a colour file whose pixels are all gray
    bool Colour;      // the image expected
  } cases[] = {
      {"colour small", 61, 37, 3, false, true},
      {"colour large", 1203, 997, 3, false, true},
      {"gray file large", 1100, 1001, 1, false, false},
      {"colour file of gray pixels, large", 1030, 1020, 3, true, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string path = Dir.Name("t.jpg");
    ASSERT_TRUE(WriteJpegFile(path, c.W, c.H, c.Components, [&](int32_t x, int32_t y, int32_t k) {
      const int32_t v = (x * 3 + y * 5 + (x / 40) * 50) & 0xFF;
      return uint8_t(c.GrayPixels || c.Components == 1 ? v : (v + k * 70 + y) & 0xFF);
    }));
    TRasterBitmap ref;
    ASSERT_TRUE(DecodeJpeg(path, 1, false, ref));
    TAImage image;
    Load(path, image);
    ASSERT_TRUE(LoadSucceeded(image.Status));
    ASSERT_EQ(image.Width(), c.W);
    ASSERT_EQ(image.Height(), c.H);
    ASSERT_EQ(image.IsColour(), c.Colour);
    int64_t wrong = 0;
    for (int32_t r = 0; r < c.H; ++r) {
      const uint8_t* p = ref.Row(r);
      for (int32_t x = 0; x < c.W; ++x, p += 3) {
        float red, green, blue;
        image.GetRGB(x, c.H - 1 - r, red, green, blue);
        wrong += green != p[1] || (c.Colour && (red != p[2] || blue != p[0]));
      }
    }
    EXPECT_EQ(wrong, 0);
  }
}

TEST_F(RasterTest, JpegOfGrayPixelsOpensMonochrome) {
  const std::string path = Dir.Name("g.jpg");
  ASSERT_TRUE(WriteViewJpeg(MakeView(16, 16, true), path, 90));
  TAImage image;
  Load(path, image);
  ASSERT_TRUE(LoadSucceeded(image.Status));
  EXPECT_FALSE(image.IsColour());
}

TEST_F(RasterTest, JpegPreviewScaleSteps) {
  const struct {
    int32_t W, H, Scale;
  } cases[] = {{800, 600, 1}, {801, 10, 2}, {10, 1600, 2}, {1601, 1, 4},
               {4000, 3000, 8}, {3200, 3200, 4}};
  for (const auto& c : cases) EXPECT_EQ(JpegPreviewScale(c.W, c.H), c.Scale) << c.W << "x" << c.H;
}

TEST_F(RasterTest, DamagedJpegsGiveAStatus) {
  const std::string path = Dir.Name("ok.jpg");
  ASSERT_TRUE(WriteViewJpeg(MakeView(32, 32, false), path, 90));
  const std::string good = ReadAll(path);
  std::string wide = good;
  const size_t sof = wide.find("\xff\xc0");
  ASSERT_NE(sof, std::string::npos);
  wide[sof + 7] = char(30001 >> 8);  // width high byte (SOF: length, precision, height, width)
  wide[sof + 8] = char(30001 & 0xFF);
  struct TCase {
    const char* Name;
    std::string Bytes;
    uint32_t MustHave;
  } cases[] = {{"truncated header", good.substr(0, 30), kStatusFailed},
               {"no start marker", "GIF89a" + good, kStatusFailed},
               {"30001 wide", wide, kStatusRefusedTooLarge}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TAImage image;
    Load(Dir.Write("bad.jpg", c.Bytes), image);
    EXPECT_FALSE(LoadSucceeded(image.Status));
    EXPECT_EQ(image.Status & c.MustHave, c.MustHave);
  }
  // A file cut inside the entropy-coded data still decodes (the decoder pads it).
  TAImage cut;
  Load(Dir.Write("cut.jpg", good.substr(0, good.size() - 100)), cut);
  EXPECT_EQ(cut.Width(), 32);
}

// ---------------------------------------------------------------------------------------
// Image library formats

TEST_F(RasterTest, ImageLibraryFormatsWithTransparencyAndFloat) {
  // 32-bit picture with alpha, saved as PSD... or as any of the library's formats that
  // keep alpha; the loader must turn the alpha into the mask.
  FIBITMAP* rgba = FreeImage_Allocate(5, 4, 32);
  ASSERT_NE(rgba, nullptr);
  for (int y = 0; y < 4; ++y) {
    BYTE* row = FreeImage_GetScanLine(rgba, y);
    for (int x = 0; x < 5; ++x) {
      row[4 * x + FI_RGBA_RED] = BYTE(10 * x);
      row[4 * x + FI_RGBA_GREEN] = BYTE(20 * y);
      row[4 * x + FI_RGBA_BLUE] = 7;
      row[4 * x + FI_RGBA_ALPHA] = BYTE(x == 0 ? 0 : 255);
    }
  }
  const std::string psd = Dir.Name("a.psd");
  ASSERT_TRUE(FreeImage_Save(FIF_PSD, rgba, psd.c_str(), 0));
  FreeImage_Unload(rgba);
  TAImage image;
  Load(psd, image);
  ASSERT_TRUE(LoadSucceeded(image.Status)) << image.Status;
  ASSERT_TRUE(image.IsColour());
  float r, g, b;
  image.GetRGB(3, 2, r, g, b);
  EXPECT_EQ(r, 30.0f);
  EXPECT_EQ(g, 40.0f);
  EXPECT_EQ(b, 7.0f);
  ASSERT_TRUE(image.Mask->HasStorage());
  EXPECT_EQ(image.Mask->Weight(0, 2), 0);
  EXPECT_EQ(image.Mask->Weight(1, 2), 65535);

  FIBITMAP* rgbf = FreeImage_AllocateT(FIT_RGBF, 3, 2);
  ASSERT_NE(rgbf, nullptr);
  for (int y = 0; y < 2; ++y) {
    auto* row = reinterpret_cast<FIRGBF*>(FreeImage_GetScanLine(rgbf, y));
    for (int x = 0; x < 3; ++x) row[x] = FIRGBF{0.5f * float(x), 0.25f, float(y) + 0.125f};
  }
  for (const auto& [fif, name] : {std::pair{FIF_HDR, "f.hdr"}, {FIF_EXR, "f.exr"}}) {
    SCOPED_TRACE(name);
    const std::string path = Dir.Name(name);
    ASSERT_TRUE(FreeImage_Save(fif, rgbf, path.c_str(), 0));
    TAImage f;
    Load(path, f);
    ASSERT_TRUE(LoadSucceeded(f.Status));
    EXPECT_TRUE(f.IsFloat);
    EXPECT_TRUE(f.IsColour());
    f.GetRGB(2, 1, r, g, b);
    EXPECT_NEAR(r, 1.0f, 0.01f);
    EXPECT_NEAR(g, 0.25f, 0.01f);
    EXPECT_NEAR(b, 1.125f, 0.01f);
  }
  FreeImage_Unload(rgbf);

  TAImage junk;
  Load(Dir.Write("junk.gif", "GIF89a but not really a picture"), junk);
  EXPECT_FALSE(LoadSucceeded(junk.Status));
}

}  // namespace

// FreeImage leaks a 64-byte block inside one of its format readers; not ours to free. Leak
// checks of the sanitizer builds ignore allocations made inside that library only.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfreeimage.so\n"; }
