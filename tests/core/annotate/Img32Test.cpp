#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#if ORLU_TEST_LIBTIFF
#include <tiffio.h>
#endif

#include "annotate/Img32.h"
#include "base/EOrluError.h"
#include "base/OrluMath.h"
#include "base/PixelMemory.h"
#include "visual/ImaRender.h"

using namespace orlu;
namespace fs = std::filesystem;

namespace {

constexpr uint32_t kWhite = 0xFFFFFF;
constexpr uint32_t kBlack = 0x000000;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using TPix = std::pair<int32_t, int32_t>;

// A white picture on which figures are drawn in black.
void White(TImg32& img, int32_t w, int32_t h) {
  img.SetSize(w, h);
  img.Fill(kWhite);
}

std::set<TPix> Touched(const TImg32& img) {
  std::set<TPix> s;
  for (int32_t y = 0; y < img.Height(); ++y)
    for (int32_t x = 0; x < img.Width(); ++x)
      if ((img.Pixel(x, y) & 0xFFFFFF) != kWhite) s.insert({x, y});
  return s;
}

// Coverage of black drawn over white, read back through the linear-light table.
double Cover(const TImg32& img, int32_t x, int32_t y) {
  return 1.0 - ToLinear(uint8_t(img.Pixel(x, y) & 255)) / 4095.0;
}

uint32_t Blue(const TImg32& img, int32_t x, int32_t y) { return img.Pixel(x, y) & 255; }

// One folder per test process, removed when the process ends.
struct TTempRoot {
  fs::path Dir = fs::temp_directory_path() / ("orlu_img32_" + std::to_string(::getpid()));
  TTempRoot() { fs::create_directories(Dir); }
  ~TTempRoot() {
    std::error_code ec;
    fs::remove_all(Dir, ec);
  }
};

std::string TempPath(const std::string& name) {
  static TTempRoot root;
  return (root.Dir / name).string();
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

uint32_t U16(const std::vector<uint8_t>& b, size_t o) { return b[o] | (uint32_t(b[o + 1]) << 8); }
uint32_t U32(const std::vector<uint8_t>& b, size_t o) { return U16(b, o) | (U16(b, o + 2) << 16); }

}  // namespace

// ---------------------------------------------------------------------------------------
// Tables and blending
// ---------------------------------------------------------------------------------------

TEST(Img32, LightTables) {
  // Values from (i/255)^2.2 * 4095 and (j/4095)^(1/2.2) * 255 worked out by hand.
  EXPECT_EQ(ToLinear(0), 0);
  EXPECT_EQ(ToLinear(1), 0);
  EXPECT_EQ(ToLinear(128), 899);
  EXPECT_EQ(ToLinear(254), 4060);
  EXPECT_EQ(ToLinear(255), 4095);
  EXPECT_EQ(ToGamma(0), 0);
  EXPECT_EQ(ToGamma(1), 6);
  EXPECT_EQ(ToGamma(2047), 186);
  EXPECT_EQ(ToGamma(4094), 255);
  EXPECT_EQ(ToGamma(4095), 255);
  for (int i = 1; i < 256; ++i) EXPECT_GE(ToLinear(uint8_t(i)), ToLinear(uint8_t(i - 1)));
}

TEST(Img32, Blends) {
  struct Row {
    uint32_t p, c;
    int32_t a;
    uint32_t expect;
  };
  const Row rows[] = {
      {0xAA123456, 0x00ABCDEF, 4096, 0xAAABCDEF},  // full coverage writes the colour, alpha kept
      {0xAA123456, 0x00ABCDEF, 100000, 0xAAABCDEF},
      {0x11123456, 0x00ABCDEF, 0, 0x11123456},  // below 1: nothing
      {0x11123456, 0x00ABCDEF, -5, 0x11123456},
      {0x00FFFFFF, 0x00000000, 2048, 0x00BABABA},  // half in linear light: Gam[2047] = 186
  };
  for (const Row& r : rows) EXPECT_EQ(BlendGamma(r.p, r.c, r.a), r.expect) << r.a;
  EXPECT_EQ(BlendLinear(0xFF000000, 0x00FF8040, 128), 0xFF7F4020u);
  EXPECT_EQ(BlendLinear(0x7F102030, 0x00FFFFFF, 256), 0x7FFFFFFFu);
  EXPECT_EQ(BlendLinear(0x7F102030, 0x00FFFFFF, 0), 0x7F102030u);
  EXPECT_EQ(AddColours(0x80F010, 0x8020F8), 0xFFFFFFu);
  EXPECT_EQ(AddColours(0x010203, 0x102030), 0x112233u);
  EXPECT_EQ(SubColours(0x102030, 0x2010FF), 0x001000u);
  EXPECT_EQ(MixColours(0x000000, 0xFF8000, 64), 0x3F2000u);
  EXPECT_EQ(PixelColour(0x123456), 0x563412u);
}

// ---------------------------------------------------------------------------------------
// Storage
// ---------------------------------------------------------------------------------------

TEST(Img32, WrapRendererBitmap) {
  TBgraBitmap bmp;
  ASSERT_TRUE(bmp.SetSize(4, 3));
  bmp.Fill(0xFF000000);
  TImg32 img;
  img.Wrap(bmp);
  EXPECT_TRUE(img.IsExternal());
  EXPECT_EQ(img.Width(), 4);
  EXPECT_EQ(img.Height(), 3);
  img.SetPixel(1, 2, 0xFF123456);
  EXPECT_EQ(bmp.Pixel(1, 2), 0xFF123456u);  // same rows, bottom-up in both
  // Figures keep the renderer's opaque alpha.
  img.Line(0, 0, 3, 0, 0xFFFFFF, 1);
  EXPECT_EQ(bmp.Pixel(2, 0), 0xFFFFFFFFu);
  // Same size: still wrapped.
  img.SetSize(4, 3);
  EXPECT_TRUE(img.IsExternal());
  // Another size: own memory, the bitmap is left alone.
  img.SetSize(5, 5);
  EXPECT_FALSE(img.IsExternal());
  img.Fill(0);
  EXPECT_EQ(bmp.Pixel(1, 2), 0xFF123456u);
}

TEST(Img32, WrapTopDownBufferWithPadding) {
  // A QImage-like buffer: rows top-down, 6 pixels per row of which 4 are used.
  std::vector<uint32_t> buf(6 * 3, 0xDEADBEEF);
  TImg32 img;
  img.Wrap(buf.data() + 2 * 6, 4, 3, -6 * 4);
  img.Fill(0x01020304);
  img.SetPixel(0, 0, 0x11111111);  // bottom row = last buffer row
  img.SetPixel(3, 2, 0x22222222);  // top row = first buffer row
  EXPECT_EQ(buf[2 * 6 + 0], 0x11111111u);
  EXPECT_EQ(buf[0 * 6 + 3], 0x22222222u);
  for (int r = 0; r < 3; ++r) {
    EXPECT_EQ(buf[size_t(r) * 6 + 4], 0xDEADBEEFu);
    EXPECT_EQ(buf[size_t(r) * 6 + 5], 0xDEADBEEFu);
  }
  EXPECT_EQ(img.Pixel(3, 2, TEdgePolicy::Zero), 0x22222222u);
}

TEST(Img32, WrapRefusesOtherFormats) {
  std::vector<uint32_t> buf(16);
  TImg32 img;
  const std::function<void()> bad[] = {
      [&] { img.Wrap(buf.data(), 4, 4, 12, 24); },  // 24-bit
      [&] { img.Wrap(buf.data(), 4, 4, 14, 32); },  // stride not whole pixels
      [&] { img.Wrap(buf.data(), 4, 4, 8, 32); },   // stride shorter than a row
  };
  for (const auto& f : bad) {
    try {
      f();
      ADD_FAILURE() << "no exception";
    } catch (const EOrluError& e) {
      EXPECT_STREQ(e.what(), "BMP not 32 bit");
    }
  }
}

TEST(Img32, OutOfMemoryLeavesEmptyPicture) {
  TImg32 img;
  img.SetSize(3, 3);
  FailNextPixelAllocations(1);
  try {
    img.SetSize(8, 8);
    ADD_FAILURE() << "no exception";
  } catch (const EOrluError& e) {
    EXPECT_STREQ(e.what(), kOutOfMemoryText);
  }
  FailNextPixelAllocations(0);
  EXPECT_EQ(img.Width(), 0);
  EXPECT_EQ(img.Height(), 0);
  img.Line(0, 0, 5, 5, kBlack, 1);  // drawing on an empty picture is harmless
  EXPECT_EQ(img.CentreColour(), 0u);
}

TEST(Img32, EdgePolicies) {
  TImg32 img;
  img.SetSize(3, 2);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) img.SetPixel(x, y, uint32_t(10 * y + x + 1));
  struct Row {
    int32_t x, y;
    uint32_t zero, clamp, wrap;
  };
  const Row rows[] = {
      {1, 1, 12, 12, 12}, {-1, 0, 0, 1, 3},   {3, 0, 0, 3, 1},   {-4, -1, 0, 1, 13},
      {5, 3, 0, 13, 13},  {-3, -2, 0, 1, 1},  {INT32_MIN, INT32_MIN, 0, 1, 2},
      {INT32_MAX, INT32_MAX, 0, 13, 12},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(img.Pixel(r.x, r.y, TEdgePolicy::Zero), r.zero) << r.x << "," << r.y;
    EXPECT_EQ(img.Pixel(r.x, r.y, TEdgePolicy::Clamp), r.clamp) << r.x << "," << r.y;
    EXPECT_EQ(img.Pixel(r.x, r.y, TEdgePolicy::Wrap), r.wrap) << r.x << "," << r.y;
  }
  img.SetPixel(-1, 0, 99);
  img.SetPixel(3, 0, 99);
  img.SetPixel(0, 2, 99);
  EXPECT_EQ(img.Pixel(0, 0), 1u);
  EXPECT_EQ(img.CentreColour(), 12u);  // (3/2, 2/2)
}

TEST(Img32, FillRectAndFrameClip) {
  TImg32 img;
  White(img, 6, 5);
  img.FillRect({INT32_MAX, 7, 4, INT32_MIN}, kBlack);  // corners in any order, huge values
  std::set<TPix> expect;
  for (int y = 0; y < 5; ++y)
    for (int x = 4; x < 6; ++x) expect.insert({x, y});
  EXPECT_EQ(Touched(img), expect);
  White(img, 6, 5);
  img.FrameRect({1, 1, 5, 4}, kBlack);
  expect.clear();
  for (int y = 1; y < 4; ++y)
    for (int x = 1; x < 5; ++x)
      if (x == 1 || x == 4 || y == 1 || y == 3) expect.insert({x, y});
  EXPECT_EQ(Touched(img), expect);
  White(img, 6, 5);
  img.HorzLine(4, -100, 2, kBlack);
  img.VertLine(5, INT32_MAX, 4, kBlack);
  EXPECT_EQ(Touched(img), (std::set<TPix>{{0, 2}, {1, 2}, {2, 2}, {3, 2}, {4, 2}, {5, 4}}));
}

TEST(Img32, CopiesAndLoads) {
  TImg32 src;
  src.SetSize(4, 2);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 4; ++x) src.SetPixel(x, y, uint32_t(0x100 * y + x + 1));
  TImg32 dst;
  dst.SetSize(2, 4);
  dst.CopyFrom(src, true);  // offsets (4-2)/2 = 1 and (2-4)/2 = -1
  EXPECT_EQ(dst.Pixel(0, 0), 0u);
  EXPECT_EQ(dst.Pixel(0, 1), 2u);
  EXPECT_EQ(dst.Pixel(1, 2), 0x103u);
  EXPECT_EQ(dst.Pixel(1, 3), 0u);
  dst.CopyFrom(src, false);
  EXPECT_EQ(dst.Pixel(1, 1), 0x102u);
  EXPECT_EQ(dst.Pixel(0, 2), 0u);

  TImg32 img;
  img.SetSize(3, 2);
  // 24-bit rows of 9 bytes padded to 12.
  const uint8_t rows24[24] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0xEE, 0xEE, 0xEE,
                              10, 11, 12, 13, 14, 15, 16, 17, 18, 0xEE, 0xEE, 0xEE};
  img.LoadBits24(rows24);
  EXPECT_EQ(img.Pixel(0, 0), 0x030201u);
  EXPECT_EQ(img.Pixel(2, 1), 0x121110u);
  const uint32_t rows32[6] = {0xFF000001, 0x00000002, 0x80000003, 4, 5, 0x01000006};
  img.LoadBits32(rows32, 12, true);
  EXPECT_EQ(img.Pixel(0, 0), 0x00000001u);
  EXPECT_EQ(img.Pixel(1, 0), 0xFF000002u);
  EXPECT_EQ(img.Pixel(2, 1), 0xFE000006u);
}

TEST(Img32, HalvingInLinearLight) {
  TImg32 src;
  src.SetSize(2, 2);
  // Alpha 0,1,2,3 (mean 1.5 rounds to 2); red all 255; green 10,20,30,40 (linear 3, 15, 37,
  // 70: mean 31.25 -> 31 -> 28); blue 0,255,255,255 (mean 3071.25 -> 3071 -> 224).
  src.SetPixel(0, 0, 0x00FF0A00);
  src.SetPixel(1, 0, 0x01FF14FF);
  src.SetPixel(0, 1, 0x02FF1EFF);
  src.SetPixel(1, 1, 0x03FF28FF);
  TImg32 half;
  src.HalveInto(half);
  ASSERT_EQ(half.Width(), 1);
  ASSERT_EQ(half.Height(), 1);
  EXPECT_EQ(half.Pixel(0, 0), 0x02FF1CE0u);
  // Alpha 0,0,1,1: mean 0.5 goes to the even 0.
  src.Fill(0);
  src.SetPixel(0, 1, 0x01000000);
  src.SetPixel(1, 1, 0x01000000);
  src.HalveInto(half);
  EXPECT_EQ(half.Pixel(0, 0), 0u);

  // Odd and 1-pixel sides never give an empty picture; the edge repeats.
  struct Size {
    int32_t w, h, tw, th;
  };
  for (Size s : {Size{1, 1, 1, 1}, Size{3, 1, 1, 1}, Size{1, 5, 1, 2}, Size{5, 4, 2, 2}}) {
    src.SetSize(s.w, s.h);
    src.Fill(0x40808080);
    src.HalveInto(half);
    EXPECT_EQ(half.Width(), s.tw);
    EXPECT_EQ(half.Height(), s.th);
    EXPECT_EQ(half.Pixel(0, 0), 0x40808080u);
  }
  // Into itself.
  src.SetSize(4, 2);
  src.Fill(0x00102030);
  src.HalveInto(src);
  EXPECT_EQ(src.Width(), 2);
  EXPECT_EQ(src.Height(), 1);
  EXPECT_EQ(src.Pixel(1, 0), 0x00102030u);
}

// ---------------------------------------------------------------------------------------
// Splats and lines
// ---------------------------------------------------------------------------------------

TEST(Img32, SplatCoverageAndEdges) {
  TImg32 img;
  White(img, 6, 5);
  img.Splat(2, 3, kBlack, 1);
  EXPECT_EQ(Touched(img), (std::set<TPix>{{2, 3}}));
  EXPECT_EQ(img.Pixel(2, 3) & 0xFFFFFF, kBlack);

  White(img, 6, 5);
  img.Splat(2.5, 1.5, kBlack, 1);  // four equal quarters
  EXPECT_EQ(Touched(img), (std::set<TPix>{{2, 1}, {3, 1}, {2, 2}, {3, 2}}));
  for (auto [x, y] : Touched(img)) EXPECT_EQ(img.Pixel(x, y), img.Pixel(2, 1));
  EXPECT_EQ(Blue(img, 2, 1), ToGamma(4095 * 3072 / 4096));

  // Skipped when a pixel with a share is outside; drawn on the last column/row exactly.
  struct Row {
    double x, y;
    bool drawn;
  };
  const Row rows[] = {{5.5, 2, false}, {5, 2, true},   {-0.5, 2, false}, {0, 2, true},
                      {2, 4.5, false}, {2, 4, true},   {2, -0.5, false}, {2, 0, true},
                      {kNaN, 2, false}, {2, kNaN, false}, {1e300, 2, false}, {-1e300, 2, false}};
  for (const Row& r : rows) {
    White(img, 6, 5);
    img.Splat(r.x, r.y, kBlack, 1);
    EXPECT_EQ(!Touched(img).empty(), r.drawn) << r.x << "," << r.y;
  }
}

TEST(Img32, LinePixelsDotsAndWidth) {
  TImg32 img;
  White(img, 10, 7);
  img.Line(1, 3, 8, 3, kBlack, 1);
  std::set<TPix> row3;
  for (int x = 1; x <= 8; ++x) row3.insert({x, 3});
  EXPECT_EQ(Touched(img), row3);
  for (auto [x, y] : row3) EXPECT_EQ(img.Pixel(x, y) & 0xFFFFFF, kBlack);

  // Dots every 4 pixels counted from the end point.
  White(img, 10, 7);
  img.Line(1, 3, 8, 3, kBlack, 1, true);
  EXPECT_EQ(Touched(img), (std::set<TPix>{{8, 3}, {4, 3}}));

  // Two splats side by side: rows 2 and 4 receive the same coverage.
  White(img, 10, 7);
  img.Line(1, 3, 8, 3, kBlack, 1, false, false);
  for (int x = 1; x <= 8; ++x) {
    EXPECT_EQ(img.Pixel(x, 2), img.Pixel(x, 4)) << x;
    EXPECT_LT(Blue(img, x, 3), Blue(img, x, 2));
    EXPECT_EQ(img.Pixel(x, 1) & 0xFFFFFF, kWhite);
  }

  // A zero-length line is one splat.
  White(img, 10, 7);
  img.Line(4, 4, 4, 4, kBlack, 1);
  EXPECT_EQ(Touched(img), (std::set<TPix>{{4, 4}}));
}

TEST(Img32, LinesClipOnAllSidesAndSurviveHugeCoordinates) {
  TImg32 img;
  // Crossing the whole picture from far outside, both ways, horizontally and vertically.
  struct Row {
    double x1, y1, x2, y2;
    bool vertical;
    int32_t at;
  };
  const Row rows[] = {{-1e9, 3, 1e9, 3, false, 3}, {1e9, 0, -1e9, 0, false, 0},
                      {2, -1e9, 2, 1e9, true, 2},  {9, 1e9, 9, -1e9, true, 9},
                      {-1e9, 6, 1e9, 6, false, 6}};
  for (const Row& r : rows) {
    White(img, 10, 7);
    img.Line(r.x1, r.y1, r.x2, r.y2, kBlack, 1);
    std::set<TPix> expect;
    if (r.vertical)
      for (int y = 0; y < 7; ++y) expect.insert({r.at, y});
    else
      for (int x = 0; x < 10; ++x) expect.insert({x, r.at});
    EXPECT_EQ(Touched(img), expect) << r.x1 << "," << r.y1;
  }
  // Absurd coordinates return at once; nothing is drawn from NaN or infinity.
  const double absurd[][4] = {{-1e300, 3, 1e300, 3}, {1e308, -1e308, -1e308, 1e308},
                              {kNaN, 1, 5, 5},        {1, 1, 5, kNaN},
                              {1, 1, INFINITY, 3},    {3e9, 3e9, 3e9 + 1, 3e9}};
  for (const auto& a : absurd) {
    White(img, 10, 7);
    img.Line(a[0], a[1], a[2], a[3], kBlack, 1, false, false, 0.5);
    img.Line(a[0], a[1], a[2], a[3], kBlack, 1, true);
    img.SegmentLine(a[0], a[1], a[2], a[3], kBlack, 1);
    img.Arrow(a[0], a[1], a[2], a[3], 3, kBlack, 1);
    img.Ruler(a[0], a[1], a[2], a[3], 3, INT32_MAX, kBlack, 1);
    img.BrushStroke(SaturateCast<int32_t>(a[0]), SaturateCast<int32_t>(a[1]),
                    SaturateCast<int32_t>(a[2]), SaturateCast<int32_t>(a[3]), true, 3);
  }
  White(img, 10, 7);
  img.Line(kNaN, 1, 5, 5, kBlack, 1);
  img.Line(1, 1, 5, 5, kBlack, kNaN);
  EXPECT_TRUE(Touched(img).empty());
}

TEST(Img32, TaperFadesTowardsTheCentre) {
  TImg32 img;
  White(img, 21, 21);
  img.Line(0, 0, 20, 20, kBlack, 1, false, true, 1.0);
  // k = 3.8625: nothing within r < 0.74 of the centre, full at the corner (r = 1).
  EXPECT_EQ(img.Pixel(10, 10) & 0xFFFFFF, kWhite);
  EXPECT_EQ(img.Pixel(5, 5) & 0xFFFFFF, kWhite);
  EXPECT_EQ(img.Pixel(20, 20) & 0xFFFFFF, kBlack);
  EXPECT_GT(Cover(img, 1, 1), 0.2);
  // Below the threshold the taper is off.
  White(img, 21, 21);
  img.Line(0, 0, 20, 20, kBlack, 1, false, true, 0.0005);
  TImg32 plain;
  White(plain, 21, 21);
  plain.Line(0, 0, 20, 20, kBlack, 1);
  for (int i = 0; i < 21; ++i) EXPECT_EQ(img.Pixel(i, i), plain.Pixel(i, i));
  EXPECT_EQ(img.Pixel(10, 10), plain.Pixel(10, 10));
  EXPECT_NE(img.Pixel(10, 10) & 0xFFFFFF, kWhite);
}

TEST(Img32, SegmentLineIsSymmetric) {
  TImg32 img;
  White(img, 8, 5);
  img.SegmentLine(1, 2, 5, 2, kBlack, 1);
  std::set<TPix> expect;
  for (int x = 1; x <= 5; ++x) expect.insert({x, 2});
  EXPECT_EQ(Touched(img), expect);
  // 8 splats 4/7 apart mirror each other; the blend order differs, so one level of table
  // rounding is allowed.
  for (int x = 1; x <= 2; ++x) EXPECT_NEAR(Blue(img, x, 2), Blue(img, 6 - x, 2), 1) << x;
  // The end splat carries half weight; the next one (at 1 + 4/7) adds 3/7.
  EXPECT_NEAR(Cover(img, 1, 2), 1 - 0.5 * (1 - 3.0 / 7), 0.01);
  EXPECT_GT(Cover(img, 3, 2), 0.9);
}

// ---------------------------------------------------------------------------------------
// Figures
// ---------------------------------------------------------------------------------------

TEST(Img32, ArrowShaftHeadAndCap) {
  TImg32 img;
  White(img, 40, 21);
  img.Arrow(2, 10, 30, 10, 1, kBlack, 1);
  // h = 1: the shaft is the one row up to s = 23; the head (last 5 pixels) starts 2.6 wide.
  for (int x = 0; x < 40; ++x)
    for (int k = 1; k <= 10; ++k) EXPECT_EQ(img.Pixel(x, 10 + k), img.Pixel(x, 10 - k)) << x;
  EXPECT_EQ(img.Pixel(10, 10) & 0xFFFFFF, kBlack);
  EXPECT_EQ(img.Pixel(10, 11) & 0xFFFFFF, kWhite);
  EXPECT_EQ(img.Pixel(2, 10) & 0xFFFFFF, kBlack);
  EXPECT_EQ(img.Pixel(1, 10) & 0xFFFFFF, kWhite);  // cap of radius 1
  EXPECT_EQ(img.Pixel(31, 10) & 0xFFFFFF, kWhite);  // nothing beyond the tip
  EXPECT_EQ(img.Pixel(26, 11) & 0xFFFFFF, kBlack);  // head half-width 2.08 at s = 24
  EXPECT_NEAR(Cover(img, 26, 12), 0.08, 0.01);
  EXPECT_EQ(img.Pixel(26, 13) & 0xFFFFFF, kWhite);
  EXPECT_EQ(img.Pixel(25, 11) & 0xFFFFFF, kWhite);  // still shaft
  EXPECT_NEAR(Cover(img, 29, 10), 2.6 / 5, 0.01);     // narrowing towards the tip

  // Zero length: the cap alone, a disc of radius h = 1.5.
  White(img, 40, 21);
  img.Arrow(5, 5, 5, 5, 2, kBlack, 1);
  EXPECT_EQ(Touched(img), (std::set<TPix>{{5, 5}, {4, 5}, {6, 5}, {5, 4}, {5, 6},
                                         {4, 4}, {4, 6}, {6, 4}, {6, 6}}));
  EXPECT_EQ(img.Pixel(5, 5) & 0xFFFFFF, kBlack);
  EXPECT_NEAR(Cover(img, 6, 5), 0.5, 0.01);
  EXPECT_NEAR(Cover(img, 6, 6), 1.5 - std::sqrt(2.0), 0.01);
}

TEST(Img32, RulerBarAndTicks) {
  TImg32 img;
  White(img, 30, 15);
  img.Ruler(2, 5, 22, 5, 1, 2, kBlack, 1);
  // Ticks at 1 + i * 9 from the base (x = 3, 12, 21), from 0.5 to 5 pixels above the bar.
  for (int x : {3, 12, 21}) {
    for (int y = 6; y <= 10; ++y) EXPECT_LT(Blue(img, x, y), 255) << x << "," << y;
    EXPECT_EQ(img.Pixel(x, 11) & 0xFFFFFF, kWhite) << x;
    EXPECT_EQ(img.Pixel(x, 4) & 0xFFFFFF, kWhite) << x;  // one side only
  }
  EXPECT_EQ(img.Pixel(7, 8) & 0xFFFFFF, kWhite);
  for (int x = 2; x <= 22; ++x) EXPECT_EQ(img.Pixel(x, 5) & 0xFFFFFF, kBlack) << x;
  EXPECT_EQ(img.Pixel(1, 5) & 0xFFFFFF, kWhite);
  EXPECT_EQ(img.Pixel(23, 5) & 0xFFFFFF, kWhite);
  // Soft ends: an end half-way between pixels covers the last one by half.
  White(img, 30, 15);
  img.Ruler(2, 5, 22.5, 5, 1, 0, kBlack, 1);
  EXPECT_NEAR(Cover(img, 23, 5), 0.5, 0.01);
  EXPECT_EQ(img.Pixel(22, 5) & 0xFFFFFF, kBlack);

  // Zero length: a dot; very many sections: returns, bar drawn.
  White(img, 30, 15);
  img.Ruler(5, 5, 5, 5, 1, 3, kBlack, 1);
  EXPECT_EQ(Touched(img), (std::set<TPix>{{5, 5}}));
  White(img, 30, 15);
  img.Ruler(2, 5, 22, 5, 1, INT32_MAX, kBlack, 1);
  EXPECT_EQ(img.Pixel(12, 5) & 0xFFFFFF, kBlack);
}

TEST(Img32, CircleRingIsSymmetricAndInscribed) {
  TImg32 img;
  White(img, 11, 11);
  img.Ellipse({0, 0, 11, 11}, true, 1, kBlack, 1);
  for (int y = 0; y < 11; ++y)
    for (int x = 0; x < 11; ++x) {
      EXPECT_EQ(img.Pixel(x, y), img.Pixel(10 - x, y)) << x << "," << y;
      EXPECT_EQ(img.Pixel(x, y), img.Pixel(x, 10 - y)) << x << "," << y;
      EXPECT_EQ(img.Pixel(x, y), img.Pixel(y, x)) << x << "," << y;
    }
  EXPECT_EQ(img.Pixel(10, 5) & 0xFFFFFF, kBlack);
  EXPECT_EQ(img.Pixel(9, 5) & 0xFFFFFF, kWhite);
  EXPECT_EQ(img.Pixel(5, 5) & 0xFFFFFF, kWhite);
  EXPECT_EQ(img.Pixel(0, 0) & 0xFFFFFF, kWhite);

  // Thick ring: the inner radius goes to 0 and the disc is filled.
  White(img, 11, 11);
  img.Ellipse({0, 0, 11, 11}, true, 5, kBlack, 1);
  EXPECT_EQ(img.Pixel(5, 5) & 0xFFFFFF, kBlack);

  // Circle flag on a wide rectangle: square around the centre.
  TImg32 wide;
  White(wide, 21, 11);
  wide.Ellipse({0, 0, 21, 11}, true, 1, kBlack, 1);
  EXPECT_EQ(wide.Pixel(0, 5) & 0xFFFFFF, kWhite);
  EXPECT_EQ(wide.Pixel(15, 5) & 0xFFFFFF, kBlack);
  EXPECT_EQ(wide.Pixel(5, 5) & 0xFFFFFF, kBlack);
}

TEST(Img32, EllipseKeepsAnEvenWidth) {
  TImg32 img;
  White(img, 21, 11);
  img.Ellipse({0, 0, 21, 11}, false, 1, kBlack, 1);
  for (int y = 0; y < 11; ++y)
    for (int x = 0; x < 21; ++x) {
      EXPECT_EQ(img.Pixel(x, y), img.Pixel(20 - x, y)) << x << "," << y;
      EXPECT_EQ(img.Pixel(x, y), img.Pixel(x, 10 - y)) << x << "," << y;
    }
  // Touches all four sides of its rectangle (the long ends slightly soft from the
  // width correction: e = 0.41 there).
  EXPECT_NEAR(Cover(img, 0, 5), 0.91, 0.01);
  EXPECT_EQ(img.Pixel(10, 0) & 0xFFFFFF, kBlack);
  // Ink across the ring on the long and on the short axis: both about one pixel.
  double alongX = 0, alongY = 0;
  for (int x = 0; x <= 10; ++x) alongX += Cover(img, x, 5);
  for (int y = 0; y <= 5; ++y) alongY += Cover(img, 10, y);
  EXPECT_NEAR(alongY, 1.0, 0.05);
  EXPECT_NEAR(alongX, 1.0, 0.5);
}

TEST(Img32, DegenerateAndHugeEllipses) {
  TImg32 img;
  White(img, 8, 8);
  img.Ellipse({3, 1, 3, 7}, false, 1, kBlack, 1);  // 0 pixels wide
  img.Ellipse({3, 1, 3, 7}, true, 1, kBlack, 1);
  EXPECT_TRUE(Touched(img).empty());
  img.Ellipse({3, 3, 4, 4}, false, 1, kBlack, 1);  // one pixel
  EXPECT_EQ(Touched(img), (std::set<TPix>{{3, 3}}));
  White(img, 8, 8);
  img.Ellipse({4, 2, 3, 3}, true, 0, kBlack, 1);  // corners reversed, width 0
  EXPECT_EQ(Touched(img), (std::set<TPix>{{3, 2}}));
  // A ring far larger than the picture passes outside it; the loop sees only the picture.
  White(img, 8, 8);
  img.Ellipse({INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX}, true, 3, kBlack, 1);
  EXPECT_TRUE(Touched(img).empty());
  // Partly outside on each side: the visible arcs only, no crash.
  for (TPixRect r : {TPixRect{-5, 0, 5, 8}, TPixRect{3, 0, 13, 8}, TPixRect{0, -5, 8, 5},
                     TPixRect{0, 3, 8, 13}}) {
    White(img, 8, 8);
    img.Ellipse(r, false, 1, kBlack, 1);
    EXPECT_FALSE(Touched(img).empty());
  }
}

TEST(Img32, RectangleBandsCornersAndSquare) {
  auto reference = [](int x1, int y1, int x2, int y2, int w, int arm) {
    std::set<TPix> s;
    const int W = x2 - x1, H = y2 - y1;
    for (int y = y1; y < y2; ++y)
      for (int x = x1; x < x2; ++x) {
        const int i = x - x1, j = y - y1;
        const bool hb = j < w || j >= H - w, vb = i < w || i >= W - w;
        const bool hc = i < arm || i >= W - arm, vc = j < arm || j >= H - arm;
        if ((hb && hc) || (vb && vc)) s.insert({x, y});
      }
    return s;
  };
  TImg32 img;
  White(img, 10, 8);
  img.Rectangle({9, 7, 1, 1}, false, false, 2, kBlack, 1);
  EXPECT_EQ(Touched(img), reference(1, 1, 9, 7, 2, 100));

  TImg32 big;
  White(big, 26, 26);
  big.Rectangle({1, 1, 25, 25}, false, true, 1, kBlack, 1);  // arms (24 + 24)/12 + 2 = 6
  EXPECT_EQ(Touched(big), reference(1, 1, 25, 25, 1, 6));

  White(img, 10, 8);
  img.Rectangle({0, 0, 10, 6}, true, false, 1, kBlack, 1);  // square side 6 at x = 2..7
  EXPECT_EQ(Touched(img), reference(2, 0, 8, 6, 1, 100));

  // Half opacity: every pixel blended once, also where bands meet.
  White(img, 10, 8);
  img.Rectangle({1, 1, 9, 7}, false, false, 2, kBlack, 0.5);
  for (auto [x, y] : Touched(img)) EXPECT_EQ(img.Pixel(x, y), 0x00BABABAu) << x << "," << y;

  // Clipped on every side.
  White(img, 10, 8);
  img.Rectangle({-3, -3, 13, 11}, false, false, 4, kBlack, 1);
  std::set<TPix> expect;
  for (auto p : reference(-3, -3, 13, 11, 4, 100))
    if (p.first >= 0 && p.first < 10 && p.second >= 0 && p.second < 8) expect.insert(p);
  EXPECT_EQ(Touched(img), expect);
  White(img, 10, 8);
  img.Rectangle({INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX}, false, true, 3, kBlack, 1);
  EXPECT_TRUE(Touched(img).empty());
}

TEST(Img32, CrossArms) {
  TImg32 img;
  White(img, 21, 21);
  img.Cross({0, 0, 21, 21}, kArmsAll, 1, kBlack, 1);
  // Quarter turns map the figure onto itself.
  for (int b = -10; b <= 10; ++b)
    for (int a = -10; a <= 10; ++a)
      EXPECT_EQ(img.Pixel(10 + a, 10 + b), img.Pixel(10 - b, 10 + a)) << a << "," << b;
  EXPECT_EQ(img.Pixel(10, 10) & 0xFFFFFF, kWhite);  // arms start away from the centre
  EXPECT_EQ(img.Pixel(10, 20) & 0xFFFFFF, kBlack);
  EXPECT_EQ(img.Pixel(11, 17) & 0xFFFFFF, kWhite);
  // Pointed inner end: at 5 pixels out the arm is 0.975 wide on each side (start 4.025).
  EXPECT_NEAR(Cover(img, 10, 15), 0.975, 0.01);
  EXPECT_EQ(img.Pixel(10, 14) & 0xFFFFFF, kWhite);

  White(img, 21, 21);
  img.Cross({0, 0, 21, 21}, kArmUp | kArmDown, 1, kBlack, 1);
  for (auto [x, y] : Touched(img)) EXPECT_EQ(x, 10) << y;
  EXPECT_EQ(img.Pixel(10, 2) & 0xFFFFFF, kBlack);
  White(img, 21, 21);
  img.Cross({0, 0, 21, 21}, kArmUp | kArmRight, 1, kBlack, 1);
  for (auto [x, y] : Touched(img)) EXPECT_TRUE(x >= 10 && y >= 10) << x << "," << y;
}

// Wide arms: the strips of neighbouring arms overlap near the centre; every pixel still
// gets the coverage of the union exactly once (a pixel blended twice would come out darker).
TEST(Img32, WideCrossCoverageIsTheUnionOfItsArms) {
  for (const double width : {1.0, 6.0, 12.0, 30.0}) {
    TImg32 img;
    White(img, 41, 41);
    img.Cross({0, 0, 41, 41}, kArmsAll, width, kBlack, 1);
    const double c = 20, len = 41 / 2.0 + 1, start = 0.35 * len, hw = width / 2 + 0.5;
    for (int y = 0; y < 41; ++y)
      for (int x = 0; x < 41; ++x) {
        double best = 0;
        for (const auto& [t, d] : {std::pair{y - c, std::fabs(x - c)}, {c - y, std::fabs(x - c)},
                                  {x - c, std::fabs(y - c)}, {c - x, std::fabs(y - c)}}) {
          if (t < start || t > len + 0.5) continue;
          const double half = std::min(t - start, hw);
          best = std::max(best, std::clamp(half - d, 0.0, 1.0) * std::clamp(len + 0.5 - t, 0.0, 1.0));
        }
        EXPECT_NEAR(Cover(img, x, y), best, 0.01) << width << ": " << x << "," << y;
      }
  }
}

TEST(Img32, PointDiscs) {
  struct Row {
    double w, radius;
  };
  for (Row r : {Row{0, 1}, Row{2, 3}, Row{7, 8}, Row{8, 10}}) {
    TImg32 img;
    White(img, 25, 25);
    img.Point(12, 12, r.w, kBlack, 1);
    for (int y = 0; y < 25; ++y)
      for (int x = 0; x < 25; ++x) {
        const double d = std::hypot(x - 12.0, y - 12.0);
        const double expect = std::clamp(r.radius - d, 0.0, 1.0);
        // 8-bit levels through the 12-bit table: about 1/255 in linear light.
        EXPECT_NEAR(Cover(img, x, y), expect, 0.01) << r.w << " " << x << "," << y;
      }
  }
}

TEST(Img32, AlphaBoxRoundsItsCorners) {
  TImg32 img;
  White(img, 14, 10);
  img.AlphaBox({2, 2, 12, 8}, 0, 256, kBlack);
  auto expect = [](int x, int y) -> uint32_t {
    if (y < 2 || y > 7 || x < 2 || x > 11) return 255;
    const int k = std::min(y - 2, 7 - y);
    const int inset = k == 0 ? 2 : k == 1 ? 1 : 0;
    if (x < 2 + inset || x > 11 - inset) return 255;
    const bool end = x == 2 + inset || x == 11 - inset;
    if (end && k == 0) return 255 * (256 - 160) / 256;  // 10/16 of 256
    if (end && k == 1) return 255 * (256 - 224) / 256;  // 14/16
    return 0;
  };
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 14; ++x) EXPECT_EQ(Blue(img, x, y), expect(x, y)) << x << "," << y;
  // Grown by the width, clipped at the edges.
  White(img, 14, 10);
  img.AlphaBox({2, 2, 12, 8}, 3, 128, kBlack);
  EXPECT_EQ(Blue(img, 0, 5), 127u);
  // Row 0 is the box's second row: inset by 1, its last pixel (x = 13) at 14/16 of 128.
  EXPECT_EQ(Blue(img, 13, 0), 255u * (256 - 112) / 256);
  EXPECT_EQ(Blue(img, 12, 0), 127u);
}

TEST(Img32, SelectionFrameBlocks) {
  TImg32 img;
  img.SetSize(40, 40);
  img.Fill(0x7F000000);
  img.SelectionFrame({10, 10, 30, 30}, 8);  // grown to 6..33
  EXPECT_EQ(img.Pixel(6, 6), 0x7F909090u);
  EXPECT_EQ(img.Pixel(7, 7), 0x7FE0E0E0u);
  EXPECT_EQ(img.Pixel(9, 6), 0x7F909090u);
  EXPECT_EQ(img.Pixel(11, 7), 0x7FE0E0E0u);  // second block along the edge
  EXPECT_EQ(img.Pixel(14, 6), 0x7F000000u);  // beyond the handle
  EXPECT_EQ(img.Pixel(32, 32), 0x7FE0E0E0u);
  EXPECT_EQ(img.Pixel(33, 26), 0x7F909090u);
  EXPECT_EQ(img.Pixel(33, 25), 0x7F000000u);
  EXPECT_EQ(img.Pixel(20, 20), 0x7F000000u);
  // Off the picture and absurd: returns, nothing outside written.
  img.SelectionFrame({-100, -100, INT32_MAX, INT32_MAX}, INT32_MAX);
  img.SelectionFrame({INT32_MIN, 0, INT32_MIN, 0}, -5);
}

TEST(Img32, PlaceholderDiagonals) {
  TImg32 img;
  White(img, 12, 12);
  img.Placeholder({1, 1, 11, 11});
  // Corner: the half-weight ends of two sides and a diagonal.
  EXPECT_LT(Blue(img, 1, 1), 255u);
  EXPECT_GE(Blue(img, 1, 1), 0xA8u);
  // Splats 5/7 pixel apart cover a pixel on the side almost fully.
  EXPECT_NEAR(double(Blue(img, 5, 1)), 0xA8, 8);
  EXPECT_LT(Blue(img, 5, 5), 255u);
  EXPECT_LT(Blue(img, 5, 1), 255u);
  EXPECT_EQ(Blue(img, 5, 3), 255u);
  EXPECT_EQ(Blue(img, 0, 0), 255u);
}

namespace {

struct TFakeTextPainter : TTextPainter {
  std::vector<std::string> Calls;
  TTextExtent MeasureText(const std::string& text, const TTextFont& font) override {
    Calls.push_back("measure " + text + " " + font.Name);
    return {4.2, 2.5};
  }
  void DrawText(TImg32& target, double left, double bottom, const std::string& text,
                const TTextFont& font, uint32_t colour, double opacity) override {
    char buf[160];
    std::snprintf(buf, sizeof buf, "draw %s at %g,%g colour %06X opacity %g box %06X", text.c_str(),
                  left, bottom, colour, opacity, target.Pixel(4, 4) & 0xFFFFFF);
    Calls.push_back(buf);
  }
};

}  // namespace

TEST(Img32, TextBoxBackgroundThenText) {
  TImg32 img;
  White(img, 16, 12);
  TFakeTextPainter painter;
  TTextFont font;
  font.Name = "Sans";
  const TTextExtent e = img.TextBox(painter, 4.5, 4.2, "M31", font, 0x112233, 0.75, kBlack, 256, 2);
  EXPECT_EQ(e.Width, 4.2);
  ASSERT_EQ(painter.Calls.size(), 2u);
  EXPECT_EQ(painter.Calls[0], "measure M31 Sans");
  // The box was filled before the text was drawn.
  EXPECT_EQ(painter.Calls[1], "draw M31 at 4.5,4.2 colour 112233 opacity 0.75 box 000000");
  // Box: floor(4.5) .. +ceil(4.2) = columns 4..8, rows 4..6, grown by 2.
  EXPECT_EQ(Blue(img, 2, 5), 0u);
  EXPECT_EQ(Blue(img, 10, 5), 0u);
  EXPECT_EQ(Blue(img, 11, 5), 255u);
  EXPECT_EQ(Blue(img, 6, 9), 255u);
  EXPECT_EQ(Blue(img, 6, 8), 0u);
  // Huge positions: the painter is still asked, the box clips.
  img.TextBox(painter, 1e300, -1e300, "x", font, 0, 1, kBlack, 256, 2);
  EXPECT_EQ(painter.Calls.size(), 4u);
}

// ---------------------------------------------------------------------------------------
// Blits
// ---------------------------------------------------------------------------------------

TEST(Img32, DrawScaledSamplesAndBlends) {
  TImg32 src;
  src.SetSize(2, 1);
  src.SetPixel(0, 0, 0x00000000);
  src.SetPixel(1, 0, 0x000000C8);
  TImg32 img;
  img.SetSize(9, 1);
  img.Fill(0x00000011);
  // Twice the size about x = 4.5: x = 3..6 at source positions -0.25, 0.25, 0.75, 1.25.
  img.DrawScaled(src, 4.5, 0, 2, 1);
  const uint32_t expect[9] = {0x11, 0x11, 0x11, 0, 50, 150, 200, 0x11, 0x11};
  for (int x = 0; x < 9; ++x) EXPECT_EQ(Blue(img, x, 0), expect[x]) << x;

  // Scale 1 on pixel centres copies; opacity and source alpha blend linearly.
  struct Row {
    uint32_t s;
    double opacity;
    uint32_t blue;
  };
  const Row rows[] = {
      {0x00000080, 1, 0x80},            // opaque sample: written
      {0xFF000080, 1, 0x10},            // fully transparent: unchanged
      {0x00000080, 0.5, (0x10 * 128 + 0x80 * 128) / 256},
      {0x7F000090, 1, (0x10 * 127 + 0x90 * 129) / 256},  // weight (255-127)*256/255 -> 129
      {0x00000080, 0, 0x10},
      {0x00000080, kNaN, 0x10},
  };
  for (const Row& r : rows) {
    TImg32 one;
    one.SetSize(1, 1);
    one.SetPixel(0, 0, r.s);
    img.SetSize(3, 3);
    img.Fill(0xAB000010);
    img.DrawScaled(one, 1, 1, 1, r.opacity);
    EXPECT_EQ(img.Pixel(1, 1), 0xAB000000u | r.blue) << std::hex << r.s << " " << r.opacity;
    EXPECT_EQ(img.Pixel(0, 1), 0xAB000010u);
    img.Fill(0xAB000010);
    img.DrawUnscaled(one, 2, 0, r.opacity);
    EXPECT_EQ(img.Pixel(2, 0), 0xAB000000u | r.blue);
  }
  // Bad scales and positions draw nothing.
  img.Fill(0x10);
  for (double s : {0.0, -1.0, kNaN, double(INFINITY)}) img.DrawScaled(src, 1, 1, s, 1);
  img.DrawScaled(src, 1e300, 1, 1, 1);
  img.DrawScaled(src, kNaN, 1, 1, 1);
  img.DrawScaled(src, 1, 1, 1e-300, 1);
  EXPECT_EQ(Touched(img).size(), 9u);  // all still 0x10, none white
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 3; ++x) EXPECT_EQ(img.Pixel(x, y), 0x10u);
  // Enormous: the source's middle stretched over the whole picture.
  img.DrawScaled(src, 1, 1, 1e300, 1);
  EXPECT_EQ(Blue(img, 0, 0), 100u);
}

TEST(Img32, DrawUnscaledClips) {
  TImg32 src;
  src.SetSize(3, 3);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 3; ++x) src.SetPixel(x, y, uint32_t(10 * y + x));
  TImg32 img;
  img.SetSize(2, 2);
  img.Fill(0xFF);
  img.DrawUnscaled(src, -1, -1, 1);
  EXPECT_EQ(img.Pixel(0, 0), 11u);
  EXPECT_EQ(img.Pixel(1, 1), 22u);
  img.Fill(0xFF);
  img.DrawUnscaled(src, 1, 1, 1);
  EXPECT_EQ(img.Pixel(1, 1), 0u);
  EXPECT_EQ(img.Pixel(0, 0), 0xFFu);
  img.DrawUnscaled(src, INT32_MAX, INT32_MIN, 1);
  img.DrawUnscaled(src, INT32_MIN, INT32_MAX, 1);
  EXPECT_EQ(img.Pixel(0, 0), 0xFFu);
}

// ---------------------------------------------------------------------------------------
// Mask brush
// ---------------------------------------------------------------------------------------

TEST(Img32, BrushMarksOnce) {
  TImg32 img;
  img.SetSize(12, 12);
  img.Fill(0x00123456);
  img.BrushDab(5, 5, false, 3);
  std::set<TPix> marked;
  auto collect = [&] {
    marked.clear();
    for (int y = 0; y < 12; ++y)
      for (int x = 0; x < 12; ++x)
        if (TImg32::IsBrushMarked(img.Pixel(x, y))) marked.insert({x, y});
  };
  collect();
  std::set<TPix> square;
  for (int y = 4; y <= 6; ++y)
    for (int x = 4; x <= 6; ++x) square.insert({x, y});
  EXPECT_EQ(marked, square);
  EXPECT_EQ(img.Pixel(5, 5), 0xCCE01A00u);
  img.BrushDab(5, 5, false, 3);  // already marked: green not halved again
  EXPECT_EQ(img.Pixel(5, 5), 0xCCE01A00u);

  // Round: the inscribed circle of a 5-pixel square drops its corners.
  img.Fill(0);
  img.BrushDab(5, 5, true, 5);
  collect();
  EXPECT_EQ(marked.size(), 21u);
  EXPECT_FALSE(marked.count({3, 3}));
  EXPECT_TRUE(marked.count({3, 5}));

  // A stroke follows Bresenham's pixels.
  img.Fill(0);
  img.BrushStroke(0, 0, 3, 1, false, 1);
  collect();
  EXPECT_EQ(marked, (std::set<TPix>{{0, 0}, {1, 0}, {2, 1}, {3, 1}}));
  // From one end of the integers to the other: the row only, at once.
  img.Fill(0);
  img.BrushStroke(INT32_MIN, 7, INT32_MAX, 7, false, 1);
  collect();
  std::set<TPix> row;
  for (int x = 0; x < 12; ++x) row.insert({x, 7});
  EXPECT_EQ(marked, row);
  img.Fill(0);
  img.BrushDab(INT32_MAX, INT32_MIN, true, INT32_MAX);
  img.BrushDab(5, 5, true, 0);
  collect();
  EXPECT_TRUE(marked.empty());
}

// ---------------------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------------------

namespace {

// Picture with distinct channel values: red 10x+1, green 20y+2, blue 30.
void Pattern(TImg32& img, int32_t w, int32_t h) {
  img.SetSize(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) img.SetPixel(x, y, uint32_t((10 * x + 1) << 16 | (20 * y + 2) << 8 | 30));
}

uint8_t GrayRef(uint32_t p) {
  return uint8_t((77 * ((p >> 16) & 255) + 151 * ((p >> 8) & 255) + 28 * (p & 255)) / 256);
}

}  // namespace

TEST(Img32, SaveBmpColourAndGray) {
  TImg32 img;
  Pattern(img, 3, 2);
  const std::string path = TempPath("c.bmp");
  ASSERT_TRUE(img.SaveBMP(path, false));
  std::vector<uint8_t> b = ReadFile(path);
  // Rows of 9 bytes padded to 12.
  ASSERT_EQ(b.size(), 54u + 24u);
  EXPECT_EQ(b[0], 'B');
  EXPECT_EQ(b[1], 'M');
  EXPECT_EQ(U32(b, 2), 78u);
  EXPECT_EQ(U32(b, 6), 0u);
  EXPECT_EQ(U32(b, 10), 54u);
  EXPECT_EQ(U32(b, 14), 40u);
  EXPECT_EQ(U32(b, 18), 3u);
  EXPECT_EQ(U32(b, 22), 2u);
  EXPECT_EQ(U16(b, 26), 1u);
  EXPECT_EQ(U16(b, 28), 24u);
  EXPECT_EQ(U32(b, 30), 0u);
  EXPECT_EQ(U32(b, 34), 24u);
  EXPECT_EQ(U32(b, 46), 0u);
  for (int y = 0; y < 2; ++y) {
    const size_t row = 54 + size_t(y) * 12;
    for (int x = 0; x < 3; ++x) {
      const uint32_t p = img.Pixel(x, y);
      EXPECT_EQ(b[row + 3 * x], p & 255);
      EXPECT_EQ(b[row + 3 * x + 1], (p >> 8) & 255);
      EXPECT_EQ(b[row + 3 * x + 2], (p >> 16) & 255);
    }
    for (int k = 9; k < 12; ++k) EXPECT_EQ(b[row + k], 0) << "padding";
  }

  ASSERT_TRUE(img.SaveBMP(path, true));
  b = ReadFile(path);
  ASSERT_EQ(b.size(), 1078u + 8u);
  EXPECT_EQ(U32(b, 10), 1078u);
  EXPECT_EQ(U16(b, 28), 8u);
  EXPECT_EQ(U32(b, 46), 256u);
  for (uint32_t i = 0; i < 256; ++i) EXPECT_EQ(U32(b, 54 + 4 * i), i * 0x010101u);
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 3; ++x) EXPECT_EQ(b[1078 + 4 * y + x], GrayRef(img.Pixel(x, y)));
    EXPECT_EQ(b[1078 + 4 * y + 3], 0);
  }
  // (77*100 + 151*150 + 28*200) / 256 = 140.4
  EXPECT_EQ(GrayRef(0x6496C8), 140);
}

TEST(Img32, FailedSavesKeepTheOldFile) {
  TImg32 img;
  Pattern(img, 2, 2);
  const std::string dir = TempPath("keep");
  fs::create_directories(dir);
  const std::string path = dir + "/old.bmp";
  {
    std::ofstream(path) << "old contents";
  }
  TImg32 empty;
  EXPECT_FALSE(empty.SaveBMP(path, false));
  EXPECT_FALSE(empty.SaveTIFF(path, false));
  EXPECT_FALSE(img.SaveBMP(dir + "/missing/x.bmp", false));
  // A non-empty folder in the way: the rename fails, the folder stays.
  fs::create_directories(dir + "/busy.tif");
  { std::ofstream(dir + "/busy.tif/inside") << "x"; }
  EXPECT_FALSE(img.SaveTIFF(dir + "/busy.tif", false));
  EXPECT_TRUE(fs::exists(dir + "/busy.tif/inside"));
  std::ifstream f(path);
  std::string s;
  std::getline(f, s);
  EXPECT_EQ(s, "old contents");
  // No temporary file is left behind.
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"busy.tif", "old.bmp"}));
}

namespace {

// The TIFF tags read back by hand: tag -> (type, count, value or offset).
struct TTiffTag {
  uint32_t Type, Count, Value;
};

std::map<uint32_t, TTiffTag> TiffTags(const std::vector<uint8_t>& b) {
  std::map<uint32_t, TTiffTag> tags;
  const uint32_t ifd = U32(b, 4);
  const uint32_t n = U16(b, ifd);
  for (uint32_t i = 0; i < n; ++i) {
    const size_t e = ifd + 2 + 12 * i;
    const uint32_t type = U16(b, e + 2), count = U32(b, e + 4);
    tags[U16(b, e)] = {type, count, type == 3 && count == 1 ? U16(b, e + 8) : U32(b, e + 8)};
  }
  EXPECT_EQ(U32(b, ifd + 2 + 12 * n), 0u) << "one directory";
  return tags;
}

}  // namespace

TEST(Img32, SaveTiffHandParsed) {
  TImg32 img;
  Pattern(img, 3, 2);
  const std::string path = TempPath("c.tif");
  for (bool gray : {false, true}) {
    ASSERT_TRUE(img.SaveTIFF(path, gray));
    const std::vector<uint8_t> b = ReadFile(path);
    ASSERT_GE(b.size(), 8u);
    EXPECT_EQ(b[0], 'I');
    EXPECT_EQ(b[1], 'I');
    EXPECT_EQ(U16(b, 2), 42u);
    auto tags = TiffTags(b);
    const uint32_t spp = gray ? 1 : 3;
    EXPECT_EQ(tags[254].Value, 0u);
    EXPECT_EQ(tags[256].Value, 3u);
    EXPECT_EQ(tags[257].Value, 2u);
    EXPECT_EQ(tags[259].Value, 1u);
    EXPECT_EQ(tags[262].Value, gray ? 1u : 2u);
    EXPECT_EQ(tags[277].Value, spp);
    EXPECT_EQ(tags[258].Count, spp);
    if (!gray)
      for (int i = 0; i < 3; ++i) EXPECT_EQ(U16(b, tags[258].Value + 2 * i), 8u);
    else
      EXPECT_EQ(tags[258].Value, 8u);
    ASSERT_TRUE(tags.count(279)) << "StripByteCounts";
    EXPECT_EQ(tags[279].Value, 3u * 2u * spp);
    const uint32_t data = tags[273].Value;
    ASSERT_EQ(b.size(), data + 6u * spp);
    // Top row first.
    for (int r = 0; r < 2; ++r)
      for (int x = 0; x < 3; ++x) {
        const uint32_t p = img.Pixel(x, 1 - r);
        const size_t o = data + (size_t(r) * 3 + x) * spp;
        if (gray) {
          EXPECT_EQ(b[o], GrayRef(p));
        } else {
          EXPECT_EQ(b[o], (p >> 16) & 255);
          EXPECT_EQ(b[o + 1], (p >> 8) & 255);
          EXPECT_EQ(b[o + 2], p & 255);
        }
      }
  }
}

#if ORLU_TEST_LIBTIFF
TEST(Img32, SaveTiffReadByLibtiff) {
  TImg32 img;
  Pattern(img, 5, 3);
  const std::string path = TempPath("lib.tif");
  for (bool gray : {false, true}) {
    ASSERT_TRUE(img.SaveTIFF(path, gray));
    TIFFSetWarningHandler(nullptr);
    TIFF* t = TIFFOpen(path.c_str(), "r");
    ASSERT_NE(t, nullptr);
    uint32_t w = 0, h = 0;
    uint16_t spp = 0, bps = 0, photo = 0;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photo);
    EXPECT_EQ(w, 5u);
    EXPECT_EQ(h, 3u);
    EXPECT_EQ(spp, gray ? 1 : 3);
    EXPECT_EQ(bps, 8);
    EXPECT_EQ(photo, gray ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
    uint64_t* counts = nullptr;
    ASSERT_TRUE(TIFFGetField(t, TIFFTAG_STRIPBYTECOUNTS, &counts));
    EXPECT_EQ(counts[0], 15u * spp);
    std::vector<uint8_t> line(TIFFScanlineSize(t));
    for (uint32_t r = 0; r < h; ++r) {
      ASSERT_EQ(TIFFReadScanline(t, line.data(), r), 1);
      for (int x = 0; x < 5; ++x) {
        const uint32_t p = img.Pixel(x, int32_t(h - 1 - r));
        if (gray) {
          EXPECT_EQ(line[x], GrayRef(p));
        } else {
          EXPECT_EQ(line[3 * x], (p >> 16) & 255);
          EXPECT_EQ(line[3 * x + 1], (p >> 8) & 255);
          EXPECT_EQ(line[3 * x + 2], p & 255);
        }
      }
    }
    TIFFClose(t);
  }
}
#endif

// ---------------------------------------------------------------------------------------
// TPolyDrawer
// ---------------------------------------------------------------------------------------

namespace {

struct TRecordingCanvas : TPolyCanvas {
  std::vector<std::vector<std::pair<TPolyPoint, TPolyPointType>>> Batches;
  void PolyDraw(const TPolyPoint* points, const TPolyPointType* types, int32_t count) override {
    Batches.emplace_back();
    for (int32_t i = 0; i < count; ++i) Batches.back().push_back({points[i], types[i]});
  }
};

using TSeg = std::array<int32_t, 4>;

// The segments a canvas would draw from the batches.
std::vector<TSeg> Replay(const TRecordingCanvas& c) {
  std::vector<TSeg> segs;
  for (const auto& batch : c.Batches) {
    EXPECT_LE(batch.size(), size_t(TPolyDrawer::kCapacity));
    EXPECT_EQ(batch.front().second, TPolyPointType::MoveTo) << "batch starts with a move-to";
    TPolyPoint at = batch.front().first;
    for (const auto& [p, type] : batch) {
      if (type == TPolyPointType::LineTo) segs.push_back({at.X, at.Y, p.X, p.Y});
      at = p;
    }
  }
  return segs;
}

}  // namespace

TEST(Img32, PolyDrawerBatches) {
  struct Case {
    const char* name;
    std::vector<TSeg> segs;
  };
  std::vector<TSeg> outline, disjoint, mixed;
  for (int i = 0; i < 2500; ++i) outline.push_back({i, 0, i + 1, 0});
  for (int i = 0; i < 700; ++i) disjoint.push_back({i, 5, i, 6});
  for (int i = 0; i < 1500; ++i) mixed.push_back(i % 3 ? TSeg{i, 1, i + 1, 1} : TSeg{i, 9, i + 1, 1});
  const Case cases[] = {{"outline", outline}, {"disjoint", disjoint}, {"mixed", mixed},
                        {"one", {{1, 2, 3, 4}}}};
  for (const Case& c : cases) {
    TRecordingCanvas canvas;
    TPolyDrawer drawer(canvas);
    for (const TSeg& s : c.segs) drawer.AddSegment(s[0], s[1], s[2], s[3]);
    drawer.Flush();
    EXPECT_EQ(drawer.Count(), 0);
    EXPECT_EQ(Replay(canvas), c.segs) << c.name;
  }
  // A continuous outline uses one move-to per batch only.
  TRecordingCanvas canvas;
  TPolyDrawer drawer(canvas);
  for (const TSeg& s : outline) drawer.AddSegment(s[0], s[1], s[2], s[3]);
  drawer.Flush();
  ASSERT_EQ(canvas.Batches.size(), 3u);
  EXPECT_EQ(canvas.Batches[0].size(), 1022u);
  drawer.Flush();  // nothing held: no call
  EXPECT_EQ(canvas.Batches.size(), 3u);
}
