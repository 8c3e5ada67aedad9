#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "image/ImaColor.h"
#include "image/LibThreads.h"
#include "visual/ImaRender.h"
#include "visual/ImaVisu.h"

using namespace orlu;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

uint32_t Rgb(const TBgraBitmap& b, int64_t i) { return b.Pixels()[i] & 0xFFFFFFu; }

}  // namespace

TEST(ImaRender, GrayLevelsAtTheDocumentedPoints) {
  struct Row {
    float low, high, v;
    uint32_t rgb;
  };
  const Row rows[] = {
      // linear 0..4095: scale 1, level = index div 16
      {0, 4095, 100, 0x060606},      {0, 4095, 0, 0},           {0, 4095, -5, 0},
      {0, 4095, 4095, 0xFFFFFF},     {0, 4095, 5000, 0xFFFFFF}, {0, 4095, 4094.4f, 0xFFFFFF},
      {0, 4095, kNaN, 0},            {0, 4095, kInf, 0xFFFFFF}, {0, 4095, -kInf, 0},
      // Low = High: black up to the value, white above it.
      {100, 100, 100, 0},            {100, 100, 99, 0},         {100, 100, 100.01f, 0xFFFFFF},
      // Bounds are kept within +-1e38 so the span stays finite: 5e37 is 3/4 of the way.
      {-3e38f, 3e38f, 5e37f, 0xBFBFBF},  {-3e38f, 3e38f, -3e38f, 0},
  };
  for (TRenderPath path : {TRenderPath::Scalar, TRenderPath::Vector}) {
    for (const Row& r : rows) {
      TAImage img;
      img.IsFloat = 1;
      img.SetSize(5, 1, false);  // vector loop plus a tail
      img.MainPlane->Fill(r.v);
      SetVisualization(img, 0, r.high, r.low);
      TBgraBitmap bmp;
      ASSERT_TRUE(bmp.SetSize(5, 1));
      ASSERT_TRUE(RenderImage(img, bmp, path));
      for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(Rgb(bmp, i), r.rgb) << r.low << ".." << r.high << " v " << r.v;
        EXPECT_EQ(bmp.Pixels()[i] >> 24, 0xFFu);
      }
    }
  }
}

TEST(ImaRender, RowsBottomUpAndSizeCheck) {
  TAImage img;
  img.SetSize(3, 2, false);
  for (int i = 0; i < 6; ++i) img.MainPlane->Data[i] = float(i * 40);
  TBgraBitmap bmp;
  ASSERT_TRUE(bmp.SetSize(3, 2));
  ASSERT_TRUE(RenderImage(img, bmp));
  // Image row 0 is the first (bottom) row in memory.
  EXPECT_EQ(bmp.Pixel(2, 0) & 0xFF, 80u);  // index Round(80·4095/255) = 1285, div 16
  EXPECT_EQ(bmp.Pixel(0, 1) & 0xFF, 120u);  // Round(1927.06) div 16
  TBgraBitmap wrong;
  ASSERT_TRUE(wrong.SetSize(2, 3));
  wrong.Fill(0x12345678);
  EXPECT_FALSE(RenderImage(img, wrong));
  EXPECT_EQ(wrong.Pixels()[0], 0x12345678u);
  TBgraBitmap empty;
  EXPECT_FALSE(RenderImage(img, empty));
}

TEST(ImaRender, PalettesAndColourImages) {
  TAImage g;
  g.SetSize(4, 1, false);
  g.MainPlane->Fill(255);
  g.Visu.Palette.BuildPalette(kPaletteRainbow, 0);
  g.MainPlane->Data[0] = 0;
  g.MainPlane->Data[1] = 63.0f * 4095 / 4095;  // linear 0..255: index 1011.something
  TBgraBitmap b;
  ASSERT_TRUE(b.SetSize(4, 1));
  ASSERT_TRUE(RenderImage(g, b));
  EXPECT_EQ(Rgb(b, 0), g.Visu.Palette.Colors[0]);
  EXPECT_EQ(Rgb(b, 1), g.Visu.Palette.Colors[g.Visu.LevelTable[1011]]);
  EXPECT_EQ(Rgb(b, 3), 0xFFFFFFu);

  // Colour: Gray maps each channel, Negative inverts each, others take the luminance.
  TAImage c;
  c.SetSize(4, 1, true);
  SetVisualization(c, 0, 4095, 0);  // level = index div 16
  for (int i = 0; i < 4; ++i) {
    c.RedPlane->Data[i] = 1600;   // level 100
    c.MainPlane->Data[i] = 800;   // level 50
    c.BluePlane->Data[i] = 4000;  // level 250
  }
  ASSERT_TRUE(RenderImage(c, b));
  EXPECT_EQ(Rgb(b, 0), 0x6432FAu);
  c.Visu.Palette.BuildPalette(kPaletteNegative, 0);
  ASSERT_TRUE(RenderImage(c, b));
  EXPECT_EQ(Rgb(b, 0), 0xFFFFFFu - 0x6432FAu);
  c.Visu.Palette.BuildPalette(kPaletteRainbow, 0);
  ASSERT_TRUE(RenderImage(c, b));
  // L = 0.375·1600 + 0.5·800 + 0.125·4000 = 1500: level 93
  EXPECT_EQ(Rgb(b, 0), c.Visu.Palette.Colors[93]);
}

TEST(ImaRender, VectorEqualsScalarOnRandomData) {
  std::mt19937 rng(42);
  std::uniform_real_distribution<float> u(-50, 1100);
  auto fill = [&](TBWImage& p) {
    for (int32_t i = 0; i < p.Count; ++i) {
      const uint32_t k = rng() % 100;
      p.Data[i] = k == 0 ? kNaN : k == 1 ? kInf : k == 2 ? -kInf : k == 3 ? 0.0f : k == 4 ? 1000.0f : u(rng);
    }
  };
  struct Row {
    int32_t w, h, type;
    bool colour;
    int32_t palette;
  };
  // 1500 × 1400 colour images take the two-thread path.
  const Row rows[] = {{37, 23, 0, false, 0},          {301, 257, -15, false, 4},
                      {301, 257, kTransferCurve, false, 0}, {300, 260, 1000, false, 2},
                      {101, 99, 7, true, 0},          {101, 99, 1004, true, 1},
                      {103, 97, -3, true, 5},         {1500, 1400, 0, true, 0},
                      {1500, 1400, -5, true, 3}};
  for (const Row& r : rows) {
    TAImage img;
    img.IsFloat = 1;
    img.SetSize(r.w, r.h, r.colour);
    fill(*img.MainPlane);
    if (r.colour) {
      fill(*img.RedPlane);
      fill(*img.BluePlane);
    }
    SetVisualization(img, r.type, 1000, 0);
    img.Visu.Palette.BuildPalette(r.palette, 0);
    TBgraBitmap s, v, a;
    ASSERT_TRUE(s.SetSize(r.w, r.h) && v.SetSize(r.w, r.h) && a.SetSize(r.w, r.h));
    ASSERT_TRUE(RenderImage(img, s, TRenderPath::Scalar));
    ASSERT_TRUE(RenderImage(img, v, TRenderPath::Vector));
    ASSERT_TRUE(RenderImage(img, a, TRenderPath::Auto));
    const size_t bytes = size_t(r.w) * size_t(r.h) * 4;
    EXPECT_EQ(std::memcmp(s.Pixels(), v.Pixels(), bytes), 0) << r.w << "x" << r.h << " " << r.type;
    EXPECT_EQ(std::memcmp(s.Pixels(), a.Pixels(), bytes), 0) << r.w << "x" << r.h << " " << r.type;
  }
  // A refused second thread: the caller renders both halves.
  TAImage big;
  big.SetSize(1500, 1400, true);
  fill(*big.MainPlane);
  fill(*big.RedPlane);
  fill(*big.BluePlane);
  TBgraBitmap s, v;
  ASSERT_TRUE(s.SetSize(1500, 1400) && v.SetSize(1500, 1400));
  ASSERT_TRUE(RenderImage(big, s, TRenderPath::Scalar));
  FailNextThreadStarts(1);
  ASSERT_TRUE(RenderImage(big, v, TRenderPath::Vector));
  FailNextThreadStarts(0);
  EXPECT_EQ(std::memcmp(s.Pixels(), v.Pixels(), size_t(1500) * 1400 * 4), 0);
}
