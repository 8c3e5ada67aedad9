#include <gtest/gtest.h>

#include <cmath>

#include "image/ImaColor.h"
#include "visual/ImaVisu.h"
#include "visual/uVisuManager.h"

using namespace orlu;

TEST(VisuManager, PositionsOnTheLogarithmicScale) {
  TAImage img;
  img.IsFloat = 1;
  img.DataMin = 100;
  img.DataMax = 1100;
  TVisuManager s;
  ASSERT_TRUE(s.Resize(20, 220));  // surface 20 × 200, scale height 180
  EXPECT_EQ(s.Surface.Height(), 200);
  s.SetImage(&img);
  EXPECT_DOUBLE_EQ(s.PositionOf(100), 0);
  EXPECT_DOUBLE_EQ(s.PositionOf(1100), 180);
  EXPECT_DOUBLE_EQ(s.PositionOf(5000), 180);  // held in range
  // t = 0.5: 180·ln(1 + (e² - 1)/2)/2
  EXPECT_NEAR(s.PositionOf(600), 180 * std::log(1 + (std::exp(2.0) - 1) / 2) / 2, 1e-9);
  for (double v : {100.0, 137.5, 600.0, 1099.0}) EXPECT_NEAR(s.ValueAt(s.PositionOf(v)), v, 1e-9);

  // Zero-centred data: zero in the middle, each side on its own scale.
  img.Symmetric = 1;
  img.DataMin = -50;
  img.DataMax = 400;
  EXPECT_DOUBLE_EQ(s.PositionOf(0), 90);
  EXPECT_DOUBLE_EQ(s.PositionOf(400), 180);
  EXPECT_DOUBLE_EQ(s.PositionOf(-50), 0);
  for (double v : {-50.0, -10.0, 0.0, 3.0, 399.0}) EXPECT_NEAR(s.ValueAt(s.PositionOf(v)), v, 1e-9);

  // A constant image: no division by zero.
  img.Symmetric = 0;
  img.DataMin = img.DataMax = 7;
  EXPECT_EQ(s.PositionOf(7), 0);
  EXPECT_TRUE(std::isfinite(s.ValueAt(50)));

  // Tiny windows keep a 2-pixel surface.
  ASSERT_TRUE(s.Resize(0, 5));
  EXPECT_EQ(s.Surface.Width(), 2);
  EXPECT_EQ(s.Surface.Height(), 2);
}

TEST(VisuManager, DrawingAndDragging) {
  TAImage img;  // integer data
  img.DataMin = 0;
  img.DataMax = 1000;
  img.Visu.Palette.BuildPalette(kPaletteRainbow, 0);
  SetVisualization(img, -3, 500, 100);
  TVisuManager s;
  ASSERT_TRUE(s.Resize(20, 220));
  s.SetImage(&img);
  EXPECT_EQ(s.Palette.Colors, img.Visu.Palette.Colors);
  // Ramp columns 5..12, level 0 at the bottom and 255 at the top (inside the frame).
  EXPECT_EQ(s.Surface.Pixel(8, 1) & 0xFFFFFF, img.Visu.Palette.Colors[1]);
  EXPECT_EQ(s.Surface.Pixel(8, 198) & 0xFFFFFF, img.Visu.Palette.Colors[254]);
  EXPECT_EQ(s.Surface.Pixel(0, 1), s.FaceColour);

  // Grab the high handle (position of 500, rows counted from the top) and drag it up 20.
  const int32_t highRow = 199 - (10 + int32_t(std::lrint(s.PositionOf(500))));
  EXPECT_NE(s.Surface.Pixel(0, 199 - highRow), s.FaceColour);  // the handle is drawn
  ASSERT_TRUE(s.MouseDown(3, highRow + 4, false, false));
  EXPECT_EQ(s.Dragging(), 2);
  ASSERT_TRUE(s.MouseMove(highRow - 16));
  const double expected = std::nearbyint(s.ValueAt(s.PositionOf(500) + 20));
  EXPECT_NEAR(img.Visu.High, expected, 1.0);  // the press was 4 rows off the handle
  EXPECT_EQ(img.Visu.Low, 100.0f);
  EXPECT_EQ(img.Visu.TransferType, -3);
  s.MouseUp();
  EXPECT_EQ(s.Dragging(), 0);

  // The low handle dragged past the high one: both become that value.
  const int32_t lowRow = 199 - (10 + int32_t(std::lrint(s.PositionOf(100))));
  ASSERT_TRUE(s.MouseDown(3, lowRow, true, false));  // right button: 10 times finer
  EXPECT_EQ(s.Dragging(), 1);
  s.MouseMove(lowRow - 2000);  // 200 positions up: the top of the scale, past the high handle
  EXPECT_EQ(img.Visu.Low, 1000.0f);
  EXPECT_EQ(img.Visu.High, 1000.0f);
  s.MouseUp();

  // Both handles sit at the top now: a press near the bottom grabs nothing.
  EXPECT_FALSE(s.MouseDown(3, 190, false, false));
  EXPECT_EQ(s.Dragging(), 0);
  EXPECT_FALSE(s.MouseMove(10));
  EXPECT_TRUE(s.DoubleClick(9, 50));
  EXPECT_FALSE(s.DoubleClick(1, 50));
  s.SetImage(nullptr);
  EXPECT_FALSE(s.MouseDown(3, highRow, false, false));
  EXPECT_TRUE(s.Palette.IsGrayPalette());
}
