#include <gtest/gtest.h>

#include "ZoomMath.h"

using namespace orlu;

TEST(ZoomMath, CodesScalesAndPercentages) {
  struct Row {
    int32_t code;
    int32_t numerator;
    int32_t shown;
  };
  const Row rows[] = {
      {0, 960, 100},    {1, 1920, 200},  {4, 5760, 600},    {10, 28800, 3000},
      {-1, 959, 100},   {-480, 480, 50}, {-355, 605, 63},   {-942, 18, 2},
      {-943, 18, 2},    {11, 28800, 3000},  // held at the ends
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.code);
    EXPECT_EQ(ZoomNumerator(r.code), r.numerator);
    EXPECT_DOUBLE_EQ(ZoomScale(r.code), r.numerator / 960.0);
    EXPECT_EQ(ZoomPercentShown(r.code), r.shown);
  }
}

TEST(ZoomMath, CodeForPercentIsTheSmallestReachingIt) {
  struct Row {
    double percent;
    int32_t code;
  };
  const Row rows[] = {
      {100, 0},      // 99.98 needed: code -1 (99.896 %) is short
      {99.9, -1},    // 99.88 needed: 959/960 reaches it
      {12, -844},    // 116/960 = 12.08 %
      {25, -720},    {50, -480},  {63, -355},  {79.365, -198},
      {1600, 7},     {1500, 7},   {3000, 10},  {5000, 10},  // none reaches: 10
      {1, -942},     {0, -942},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.percent);
    EXPECT_EQ(ZoomCodeForPercent(r.percent), r.code);
  }
}

TEST(ZoomMath, ZoomedExtentCountsPartPixels) {
  EXPECT_EQ(ZoomedExtent(2400, 0), 2400);
  EXPECT_EQ(ZoomedExtent(2400, 1), 4800);
  EXPECT_EQ(ZoomedExtent(3, -480), 2);      // 1.5 screen pixels: the half one counts
  EXPECT_EQ(ZoomedExtent(1600, -537), 705);  // 1600 · 423 / 960 = 705 exactly
  EXPECT_EQ(ZoomedExtent(30000, 10), 900000);
}

TEST(ZoomMath, FitCodeIsTheLargestThatFits) {
  struct Row {
    int32_t w, h, availW, availH, code;
  };
  const Row rows[] = {
      // 2400 · n / 960 <= 1000 gives n <= 400; the height allows 480.
      {2400, 1600, 1000, 800, -560},
      {10, 10, 1000, 1000, 10},    // 3000 % still fits
      {10, 10, 299, 1000, 9},      // 300 px at 3000 % do not
      {30000, 30000, 100, 100, -942},  // nothing fits: the smallest code
      {960, 960, 960, 960, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << r.w << "x" << r.h << " in " << r.availW << "x" << r.availH);
    EXPECT_EQ(FitCode(r.w, r.h, r.availW, r.availH), r.code);
  }
}

TEST(ZoomMath, ZoomInSteps) {
  auto bars = [](int32_t code, bool shift = false) {
    TZoomState s;
    s.Code = code;
    s.Shift = shift;
    s.ScrollBarShown = true;
    s.FitCode = -900;
    return s;
  };
  struct Row {
    const char* name;
    TZoomState state;
    int32_t expected;
  };
  TZoomState roomy;  // no scroll bars, the image fits with room: fitted instead
  roomy.Code = -600;
  roomy.ClientW = 1000;
  roomy.ClientH = 800;
  roomy.PanelW = 500;
  roomy.PanelH = 700;  // ratios 1.996 and 1.141
  roomy.FitCode = -400;
  TZoomState tall = roomy;  // height ratio 800/301 is not below 1.31: the ordinary step
  tall.PanelH = 300;
  TZoomState stuck = roomy;  // a fit that does not enlarge is not taken
  stuck.FitCode = -600;
  const Row rows[] = {
      {"from 50 % by 1.26", bars(-480), -355},
      {"80 % goes to 100 %", bars(-192), 0},
      {"75 % goes to 100 %", bars(-240), 0},
      {"90 % goes to 100 %", bars(-96), 0},
      {"40 % snaps to 50 %", bars(-576), -480},
      {"95 % by 1.26 is 200 %", bars(-48), 1},
      {"smallest code", bars(-942), -937},
      {"above 100 % one step", bars(0), 1},
      {"code 9 to 10", bars(9), 10},
      {"nothing above 9", bars(10), 10},
      {"shift below -10 adds 10", bars(-500, true), -490},
      {"shift near 0 goes to 0", bars(-8, true), 0},
      {"shift at 0 one step", bars(0, true), 1},
      {"room to spare: fit", roomy, -400},
      {"tall ratio: step", tall, -506},  // 37.5 % · 1.26 = 47.25 %: 454/960
      {"fit not larger: step", stuck, -506},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(ZoomInCode(r.state), r.expected);
  }
}

TEST(ZoomMath, ZoomOutSteps) {
  auto at = [](int32_t code, int32_t fit, bool shift = false) {
    TZoomState s;
    s.Code = code;
    s.FitCode = fit;
    s.Shift = shift;
    return s;
  };
  struct Row {
    const char* name;
    TZoomState state;
    int32_t expected;
  };
  const Row rows[] = {
      {"100 % to 79.4 %", at(0, -800), -198},
      {"fit within 13 % of the target", at(0, -200), -200},
      {"fit at the upper edge of 13 %", at(0, -100), -100},  // 89.6 vs 79.4: 10.2 <= 10.3
      {"fit beyond 13 %", at(0, -95), -198},                 // 90.1 vs 79.4: 10.7
      {"fit not smaller by 1 %", at(-400, -402), -515},  // 58.3 % / 1.26: 445/960
      {"snaps to 50 %", at(-355, -900), -480},
      {"above 100 % one step", at(1, -900), 0},
      {"shift above 0 one step", at(3, -900, true), 2},
      {"shift at 0 minus 10", at(0, -900, true), -10},
      {"shift held at the end", at(-940, -942, true), -942},
      {"nothing below -941", at(-942, -942), -942},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(ZoomOutCode(r.state), r.expected);
  }
}

TEST(ZoomMath, WindowSizes) {
  const TSize32 main{1200, 800};
  const TSize32 minSize{170, 140};
  // 2400 × 1600 at 400/960: 1000 × 667 plus margins and the 16-pixel bar.
  EXPECT_EQ(CreateViewClientSize(2400, 1600, -560, 16, main, 0, minSize), (TSize32{1008, 691}));
  // Limited by the main window, less 30 per cascade step.
  EXPECT_EQ(CreateViewClientSize(2400, 1600, 0, 16, main, 3, minSize), (TSize32{1066, 730}));
  EXPECT_EQ(CreateViewClientSize(10, 10, 0, 16, main, 0, minSize), (TSize32{170, 140}));
  EXPECT_EQ(CreateViewClientSize(10, 10, 0, 16, main, 0, {50, 50}), (TSize32{100, 100}));

  // 1156 × 730 available: the height allows 423/960 (705 + 24 <= 730), 424 gives 731.
  EXPECT_EQ(AutoViewCode(2400, 1600, 16, main), -537);
  EXPECT_EQ(AutoViewCode(10, 10, 16, main), 0);  // never above 100 %

  EXPECT_EQ(FitToImageClientSize(2400, 1600, 0, 16, main, {10, 20}), (TSize32{1160, 730}));
  EXPECT_EQ(FitToImageClientSize(10, 10, 0, 16, main, {10, 20}), (TSize32{50, 70}));
  EXPECT_EQ(FitToImageClientSize(100, 50, 1, 16, main, {0, 0}), (TSize32{208, 124}));
}
