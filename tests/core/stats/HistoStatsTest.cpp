#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "base/OrluMath.h"
#include "image/ImaColor.h"
#include "stats/HistoStats.h"
#include "visual/ImaVisu.h"

using namespace orlu;

namespace {

// A w × h monochrome (or colour) image whose main plane holds f(x, y).
template <class F>
std::unique_ptr<TAImage> MakeImage(int32_t w, int32_t h, bool colour, F f) {
  auto img = std::make_unique<TAImage>();
  img->SetSize(w, h, colour);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) img->MainPlane->SetPixel(x, y, f(x, y));
  return img;
}

}  // namespace

TEST(HistoAxis, InitialAxisAndAttachRules) {
  THistoModel m;
  EXPECT_EQ(m.AxisStart, -0.5);
  EXPECT_EQ(m.AxisSpan, 256.5);
  auto img = MakeImage(8, 8, false, [](int32_t x, int32_t) { return float(x) / 8; });
  img->IsFloat = 1;
  img->Visu.Low = 0;
  img->Visu.High = 1;
  img->DataMax = 7.0f / 8;
  ASSERT_TRUE(m.AttachAxisNeeded(*img, false));  // initial values
  m.RecomputeAxis(*img);
  // 2·High = 2 exceeds the data maximum 0.875: the maximum wins.
  EXPECT_DOUBLE_EQ(m.AxisSpan, 0.875);
  EXPECT_DOUBLE_EQ(m.AxisStart, 0.0);  // 0 − span/8 limited at 0
  img->DataMax = 5;
  m.RecomputeAxis(*img);
  EXPECT_DOUBLE_EQ(m.AxisSpan, 2.0);
  // An integer image whose view is 0..10: 2·High = 20 < 255 raises the span to 255 (max 300).
  img->IsFloat = 0;
  img->DataMax = 300;
  img->Visu.High = 10;
  m.RecomputeAxis(*img);
  EXPECT_DOUBLE_EQ(m.AxisSpan, 255.0);
}

TEST(HistoAxis, AllZeroImageGivesAUsableSpanAndFiniteGrid) {
  THistoModel m;
  auto img = MakeImage(4, 4, false, [](int32_t, int32_t) { return 0.0f; });
  img->IsFloat = 1;
  img->DataMax = 0;
  img->Visu.Low = 0;
  img->Visu.High = 0;
  m.RecomputeAxis(*img);
  EXPECT_GT(m.AxisSpan, 0.0);
  EXPECT_LE(GridLines(m.AxisStart, m.AxisSpan, 200).size(), 64u);
  // Degenerate axes draw no grid and do not loop.
  EXPECT_TRUE(GridLines(0, 0, 200).empty());
  EXPECT_TRUE(GridLines(0, std::nan(""), 200).empty());
  EXPECT_LE(GridLines(1e20, 1, 200).size(), 64u);
}

TEST(HistoAxis, GridStepLabelsAndColumns) {
  struct Row {
    double x, step;
  };
  for (const Row& r : std::vector<Row>{{1, 1}, {2, 1}, {2.2, 2}, {4.5, 2}, {4.6, 5}, {10, 10}, {0.3, 0.2},
                                       {300, 200}, {42.75, 20}})
    EXPECT_DOUBLE_EQ(GridStep(r.x), r.step) << r.x;
  EXPECT_EQ(GridStep(0), 0);
  EXPECT_EQ(GridLabel(0), "0");
  EXPECT_EQ(GridLabel(0.5), "0.5");
  EXPECT_EQ(GridLabel(250), "250");
  EXPECT_EQ(GridLabel(65000), "65");
  EXPECT_EQ(GridLabel(2500000), "2.5");
  // Axis −0.5 .. 256 on a 259-wide panel: step N(42.75) = 20; 0 lands on column 1.
  const auto lines = GridLines(-0.5, 256.5, 259);
  ASSERT_EQ(lines.size(), 13u);
  EXPECT_EQ(lines[0].Column, 1);  // Round(0.5·258/256.5) = Round(0.503)
  EXPECT_EQ(lines[1].Column, 21);  // Round(20.5·258/256.5) = Round(20.62)
  EXPECT_EQ(lines[12].Label, "240");
}

TEST(HistoAxis, ColumnMappingSlidersAndButtons) {
  THistoModel m;
  m.AxisStart = 100;
  m.AxisSpan = 1000;
  EXPECT_DOUBLE_EQ(m.ColumnValue(1, 202), 100);
  EXPECT_DOUBLE_EQ(m.ColumnValue(201, 202), 1100);
  EXPECT_EQ(m.SliderPosition(600), 10000);
  EXPECT_EQ(m.SliderPosition(-5), 0);
  EXPECT_EQ(m.SliderPosition(5000), 20000);
  EXPECT_DOUBLE_EQ(m.SliderValue(5000), 350);
  // BIT halving below 1 stays at 1 and the label reads "  0..1".
  m.AxisSpan = 1.5;
  m.BitStep(true, 0.0);
  m.BitStep(true, 0.0);
  EXPECT_EQ(m.AxisSpan, 1.0);
  EXPECT_EQ(BitLabel(m.AxisSpan), "  0..1");
  EXPECT_EQ(BitLabel(256), " 8 BIT");
  EXPECT_EQ(BitLabel(65536), "16 BIT");
  // Zoom by dragging up the full panel height multiplies the span by e^4.
  m.Zoom(0, 100, 139, 139);
  EXPECT_NEAR(m.AxisSpan, 100 * std::exp(4.0), 1e-9);
  EXPECT_NEAR(m.AxisStart + m.AxisSpan / 8, 100.0 / 8, 1e-9);
  m.Zoom(0, 100, 100000, 10);
  EXPECT_EQ(m.AxisSpan, 3e14);
  m.Pan(10, 100, 50, 200);
  EXPECT_DOUBLE_EQ(m.AxisStart, 10 - 0.25 * 100);  // the span saved at the press
  const TRange lum = LuminanceStep(0, 150, 200, true);  // g = 1 + 1
  EXPECT_DOUBLE_EQ(lum.Low, 2);
  EXPECT_DOUBLE_EQ(lum.High, 152);
  const TRange cnt = ContrastStep(100, 200, false);  // half-width 50 → 49
  EXPECT_DOUBLE_EQ(cnt.Low, 101);
  EXPECT_DOUBLE_EQ(cnt.High, 199);
  EXPECT_EQ(TransferStep(20, 0, true), 20);
  EXPECT_EQ(TransferStep(-20, 0, false), -20);
  EXPECT_EQ(TransferStep(1002, -3, true), -2);
  EXPECT_EQ(ChooseSpecialType(1002, 1002, 5), 5);
  EXPECT_EQ(ChooseSpecialType(0, 1000, 0), 1000);
}

TEST(HistoBars, HeightsFollowTheLogScale) {
  // 4 million pixels: s = 0.25; 3 counts → Round(1.75) = 2 and ln 2 < 1.5: base only.
  EXPECT_EQ(BarHeight(3, 4000000, 139), 0);
  EXPECT_EQ(BarHeight(14, 4000000, 139), 0);  // Round(4.5) = 4, ln 4 < 1.5
  EXPECT_EQ(BarHeight(15, 4000000, 139), 1);  // Round(4.75) = 5: Trunc(0.109·138/10.31)
  EXPECT_EQ(BarHeight(1000000, 1000000, 101), Trunc((std::log(29999.0) - 1.5) * 100 / std::log(30000.0)));
  EXPECT_EQ(ColourLevel(0, 0), 180);
  EXPECT_EQ(ColourLevel(10, 10), 240);
  EXPECT_EQ(ColourLevel(5, 10), 210);
  EXPECT_EQ(CurveRow(0, 100), 98);
  EXPECT_EQ(CurveRow(255, 100), Round(98 - 2 * 255 * (97.0 / 510)));
  EXPECT_EQ(ReadoutLabel("ADU", "1234567"), "ADU = 1234567");
  EXPECT_EQ(ReadoutLabel("ADU", "123456789"), "ADU 123456789");
  EXPECT_EQ(ReadoutLabel("ADU", "1234567890"), "1234567890");
  EXPECT_EQ(ReadoutValue(2.5), "2");
  EXPECT_EQ(ReadoutValue(-3.6), "-4");
}

TEST(HistoCount, CountsEachPlaneOverTheAxis) {
  auto img = MakeImage(10, 10, true, [](int32_t x, int32_t) { return float(x); });
  img->IsFloat = 1;
  img->RedPlane->Fill(3);
  img->BluePlane->Fill(100);  // outside the axis: piles at the last bin
  THistoModel m;
  m.AxisStart = 0;
  m.AxisSpan = 9;
  m.Count(*img, 12);  // 10 bins over 0..9
  EXPECT_EQ(m.BinCount, 10);
  for (int32_t k = 0; k < 10; ++k) EXPECT_EQ(m.MainBins[size_t(k)], 10) << k;
  EXPECT_EQ(m.RedBins[3], 100);
  EXPECT_EQ(m.BlueBins[9], 100);
  EXPECT_EQ(m.CountAt(3), (10 + 100 + 0) / 3);
  EXPECT_EQ(m.CountAt(-5), 0);
  m.Count(*img, 100000);
  EXPECT_EQ(m.BinCount, kMaxBins);
}

TEST(HistoStretch, RangeArrowsFollowTwoPowersMinusOne) {
  double n = 255;
  const double up[] = {1023, 4095, 16383, 65535, 262143};
  for (double want : up) {
    n = StretchRangeStep(n, true);
    EXPECT_EQ(n, want);
  }
  EXPECT_EQ(StretchRangeStep(65535, false), 16383);
  EXPECT_EQ(StretchRangeStep(1024, false), 255);  // 1023 first
  EXPECT_EQ(StretchRangeStep(64, true), 255);      // 256 becomes 255
  EXPECT_EQ(StretchRangeStep(63, true), 255);      // 252 becomes 255
  EXPECT_EQ(StretchRangeStep(4194304, true), 16777215);  // 16777216
  EXPECT_EQ(StretchRangeStep(100, true), 400);
  TStretchSteps steps;
  for (int i = 0; i < 20; ++i) EXPECT_TRUE(steps.Add({}));
  EXPECT_FALSE(steps.Add({}));  // the 21st is refused
  EXPECT_EQ(steps.Count(), 20);
}

TEST(Statistics, WholeMonochromeImage) {
  auto img = MakeImage(3, 2, false, [](int32_t x, int32_t y) { return float(x + 3 * y); });
  img->MainPlane->SetPixel(2, 1, 0);  // a second minimum: the first one counts
  img->BackgroundLevel = 7;
  const TImageStatistics s = ComputeStatistics(*img, false, {});
  EXPECT_EQ(s.PixelCount, 6);
  EXPECT_DOUBLE_EQ(s.Sum, 0 + 1 + 2 + 3 + 4 + 0);
  const double mean = 10.0 / 6, var = (0 + 1 + 4 + 9 + 16 + 0) / 6.0 - mean * mean;
  EXPECT_NEAR(s.StdDev, std::sqrt(var), 1e-12);
  EXPECT_EQ(s.MinValue, 0);
  EXPECT_EQ(s.MinX, 0);
  EXPECT_EQ(s.MinY, 0);
  EXPECT_EQ(s.MaxValue, 4);
  EXPECT_EQ(s.MaxX, 1);
  EXPECT_EQ(s.MaxY, 1);
  EXPECT_EQ(s.Background, 7);
  const auto lines = StatisticsLines(*img, s, "/data", 0);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0].Label, "Path");
  EXPECT_EQ(lines[1].Value, "3 x 2");
  // Hidden groups: path, pixels, range, average.
  const auto few = StatisticsLines(*img, s, "/data", 15);
  ASSERT_EQ(few.size(), 3u);
  EXPECT_EQ(few[0].Label, "Size");
  EXPECT_EQ(few[1].Label, "Background");
  EXPECT_EQ(few[2].Label, "Std.deviation");
}

TEST(Statistics, ConstantDataHaveZeroDeviation) {
  auto img = MakeImage(97, 31, false, [](int32_t, int32_t) { return 0.1f; });
  const TImageStatistics s = ComputeStatistics(*img, false, {});
  EXPECT_EQ(s.StdDev, 0.0);
  EXPECT_FALSE(std::isnan(s.StdDev));
}

TEST(Statistics, ColourRangeOverPlanesMinMaxOverLuminance) {
  auto img = MakeImage(2, 1, true, [](int32_t x, int32_t) { return float(10 * x); });
  img->RedPlane->SetPixel(0, 0, -50);
  img->RedPlane->SetPixel(1, 0, 0);
  img->BluePlane->SetPixel(0, 0, 0);
  img->BluePlane->SetPixel(1, 0, 500);
  const TImageStatistics s = ComputeStatistics(*img, false, {});
  EXPECT_EQ(s.RangeMin, -50);
  EXPECT_EQ(s.RangeMax, 500);
  EXPECT_NEAR(s.MinValue, 0.30 * -50, 1e-4);
  EXPECT_NEAR(s.MaxValue, 0.59 * 10 + 0.11 * 500, 1e-4);
  const auto lines = StatisticsLines(*img, s, "", 0);
  bool lum = false;
  for (const auto& l : lines) lum |= l.Label == "Min (Lum)";
  EXPECT_TRUE(lum);
}

TEST(Statistics, RectangleRegionAndItsMedian) {
  auto img = MakeImage(10, 10, false, [](int32_t x, int32_t y) { return float(x + 10 * y); });
  // Rectangle given with its corners swapped and partly outside: ordered and clipped.
  const TImageStatistics s = ComputeStatistics(*img, true, TPixelRect{9, 2, 7, 50});
  EXPECT_EQ(s.Region, (TPixelRect{7, 2, 9, 9}));
  EXPECT_EQ(s.PixelCount, 3 * 8);
  EXPECT_EQ(StatisticsCaptionSuffix(s), " (Rectangle)");
  // 3 pixels: k = 2, the lower of the first two values.
  EXPECT_EQ(RegionMedian(*img, TPixelRect{4, 0, 6, 0}, false), 4.0f);
  EXPECT_EQ(RegionMedian(*img, TPixelRect{4, 0, 4, 0}, false), 0.0f);
  // Six values 5..0 reversed order: sorted 0..5, lower median element 2.
  auto rev = MakeImage(6, 1, false, [](int32_t x, int32_t) { return float(5 - x); });
  EXPECT_EQ(RegionMedian(*rev, TPixelRect{0, 0, 5, 0}, false), 2.0f);
}

TEST(Statistics, MaskRegionUsesOnlyMaskedSamples) {
  // 200 × 100: the mask covers every other column of the left half (5000 pixels of a
  // 10000-pixel bounding box). Masked pixels hold 1, the others 1000.
  auto img = MakeImage(200, 100, false, [](int32_t x, int32_t) { return x < 100 && x % 2 == 0 ? 1.0f : 1000.0f; });
  img->Mask->SetSize(200, 100);
  img->Mask->Allocate();
  for (int32_t y = 0; y < 100; ++y)
    for (int32_t x = 0; x < 100; x += 2) img->Mask->SetWeight(x, y, 65535);
  img->Mask->ComputeBounds();
  const TImageStatistics s = ComputeStatistics(*img, false, {});
  EXPECT_TRUE(s.Masked);
  EXPECT_EQ(s.PixelCount, 5000);
  EXPECT_DOUBLE_EQ(s.Sum, 5000);
  EXPECT_EQ(s.Background, 1.0f);
  EXPECT_EQ(s.StdDev, 0.0);
  EXPECT_EQ(StatisticsLines(*img, s, "", 0)[0].Value, "25.00%");
  // An all-zero mask: an empty region, PixelCount 1 and zero sums.
  img->Mask->Fill(0);
  img->Mask->ComputeBounds();
  const TImageStatistics e = ComputeStatistics(*img, false, {});
  EXPECT_EQ(e.PixelCount, 1);
  EXPECT_EQ(e.Sum, 0);
  EXPECT_EQ(e.Background, 0);
}

TEST(HistogramText, CountsRoundedValuesInRange) {
  auto img = MakeImage(3, 1, false, [](int32_t x, int32_t) { return x == 0 ? -3.0f : (x == 1 ? 0.4f : 2.5f); });
  EXPECT_EQ(HistogramText(*img->MainPlane), "ADU - Count\r\n0 1\r\n2 1\r\n");
}

TEST(HistoBars, DisplayLevelThroughTheTables) {
  TImageVisu v;
  v.SetLinear(100, 355);
  EXPECT_EQ(DisplayLevel(v, 50), 0);
  EXPECT_EQ(DisplayLevel(v, 100), 0);
  EXPECT_EQ(DisplayLevel(v, 400), 255);
  // Linear: table index Round(127.5·4095/255) = 2048 holds level 2048 div 16 = 128.
  EXPECT_EQ(DisplayLevel(v, 227.5), 128);
  EXPECT_EQ(DisplayLevel(v, std::nan("")), 0);
}
