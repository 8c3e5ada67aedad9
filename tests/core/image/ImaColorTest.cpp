#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/EOrluError.h"
#include "base/PixelMemory.h"
#include "image/ImaColor.h"

using namespace orlu;

namespace {

// Repeatable fixture values; levels > 0 quantizes them so that ties are frequent.
struct TestLcg {
  uint32_t state;
  float Next(int levels) {
    state = state * 1664525u + 1013904223u;
    const uint32_t v = state >> 8;
    return levels > 0 ? float(v % uint32_t(levels)) : float(v % 100000u) / 37.0f - 900.0f;
  }
};

void FillImage(TAImage& img, uint32_t seed, int levels) {
  TestLcg g{seed};
  for (int32_t y = 0; y < img.Height(); ++y)
    for (int32_t x = 0; x < img.Width(); ++x) {
      const float m = g.Next(levels);
      const float r = g.Next(levels);
      const float b = g.Next(levels);
      img.SetRGB(x, y, b, m, r);
    }
}

std::unique_ptr<TAImage> MakeImage(int32_t w, int32_t h, bool colour, uint32_t seed,
                                   int levels) {
  auto img = std::make_unique<TAImage>();
  img->SetSize(w, h, colour);
  FillImage(*img, seed, levels);
  return img;
}

// Every plane has the image size and the role that goes with the kind.
void ExpectConsistentPlanes(const TAImage& img) {
  EXPECT_EQ(img.RedPlane == nullptr, img.BluePlane == nullptr);
  EXPECT_EQ(img.MainPlane->Role, img.IsColour() ? 1 : 0);
  for (const TBWImage* p : {img.RedPlane.get(), img.BluePlane.get()}) {
    if (!p) continue;
    EXPECT_EQ(p->Width, img.Width());
    EXPECT_EQ(p->Height, img.Height());
    EXPECT_TRUE(p->IsAllocated());
  }
  if (img.RedPlane) {
    EXPECT_EQ(img.RedPlane->Role, 2);
  }
  if (img.BluePlane) {
    EXPECT_EQ(img.BluePlane->Role, 3);
  }
  EXPECT_EQ(img.Mask->Width, img.Width());
  EXPECT_EQ(img.Mask->Height, img.Height());
  // The header's geometry cards follow the image.
  EXPECT_EQ(img.Header.GetInt("NAXIS1"), img.Width());
  EXPECT_EQ(img.Header.GetInt("NAXIS2"), img.Height());
  EXPECT_EQ(img.Header.GetInt("NAXIS"), img.IsColour() ? 3 : 2);
  EXPECT_EQ(img.Header.HasKey("NAXIS3"), img.IsColour());
}

// Reference mirror reflection: -c for negative c, 2n - c - 2 beyond the end.
int32_t RefMirror(int32_t c, int32_t n) {
  if (c < 0) c = -c;
  if (c >= n) c = 2 * n - c - 2;
  return c;
}

double RefLum(const TAImage& img, int32_t x, int32_t y) {
  const double g = img.MainPlane->GetPixel(x, y);
  if (!img.IsColour()) return g;
  return 0.59 * g + 0.30 * img.RedPlane->GetPixel(x, y) + 0.11 * img.BluePlane->GetPixel(x, y);
}

// Julian date by day counting from the Unix epoch (JD 2440587.5), not by Meeus.
double RefJD(int64_t y, int64_t m, int64_t d, double seconds) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t days = era * 146097 + doe - 719468;
  return 2440587.5 + double(days) + seconds / 86400.0;
}

// Julian date of a Julian-calendar date from the integer day-number formula.
double RefJulianCalendarJD(int64_t y, int64_t m, int64_t d, double seconds) {
  const int64_t jdn = 367 * y - (7 * (y + 5001 + (m - 9) / 7)) / 4 + (275 * m) / 9 + d + 1729777;
  return double(jdn) - 0.5 + seconds / 86400.0;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Size and kind

TEST(ImaColor, NewImageIsSmallLinearAndEmpty) {
  TAImage img;
  EXPECT_EQ(img.Width(), 16);
  EXPECT_EQ(img.Height(), 16);
  EXPECT_FALSE(img.IsColour());
  EXPECT_EQ(img.DataMin, 0.0f);
  EXPECT_EQ(img.DataMax, 1.0f);
  EXPECT_EQ(img.Visu.Low, 0.0f);
  EXPECT_EQ(img.Visu.High, 255.0f);
  EXPECT_EQ(img.Visu.TransferType, 0);
  EXPECT_EQ(img.Header.Count(), 0);
  EXPECT_EQ(img.History.Count(), 0);
  EXPECT_EQ(img.MainPlane->Mask, img.Mask.get());
  // Placeholder solution: reference pixel at the centre of 384 × 288.
  EXPECT_DOUBLE_EQ(img.Wcs.X0, 191.5);
  EXPECT_DOUBLE_EQ(img.Wcs.Y0, 143.5);
  TAImage other;
  EXPECT_NE(img.SerialId, other.SerialId);
}

TEST(ImaColor, SetSizeClampsAndKeepsPlanesConsistent) {
  struct Row {
    int32_t w, h;
    bool colour;
    int32_t wantW, wantH;
  };
  const Row rows[] = {
      {40000, 10, false, 30000, 10}, {0, 0, true, 1, 1},   {-5, 7, false, 1, 7},
      {3, 30001, true, 3, 30000},    {20, 10, true, 20, 10}, {20, 10, false, 20, 10},
  };
  TAImage img;  // reused: each row also changes the kind of the previous state
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << r.w << " x " << r.h << " colour " << r.colour);
    img.SetSize(r.w, r.h, r.colour);
    EXPECT_EQ(img.Width(), r.wantW);
    EXPECT_EQ(img.Height(), r.wantH);
    EXPECT_EQ(img.IsColour(), r.colour);
    EXPECT_EQ(img.AllocFailed, 0);
    ExpectConsistentPlanes(img);
  }
}

TEST(ImaColor, ResizeFailureLeavesPlanesOfOneSizeAndLaterResizesSucceed) {
  struct Row {
    const char* name;
    bool startColour;
    int32_t startW, startH;
    int failCount;
    int32_t reqW, reqH;
    bool reqColour;
    int32_t wantW, wantH;
  };
  const Row rows[] = {
      // The main plane gets no memory: back to 16 × 16 monochrome.
      {"mono main fails", false, 50, 50, 1, 3000, 3000, false, 16, 16},
      // A colour image whose main plane fails must not keep red and blue of the old size.
      {"colour main fails", true, 50, 50, 1, 3000, 3000, true, 16, 16},
      // The main plane keeps its block (shrink by 10000 samples); red and blue get none.
      {"red and blue fail", false, 1000, 1000, 100, 990, 1000, true, 990, 1000},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    TAImage img;
    img.SetSize(r.startW, r.startH, r.startColour);
    FailNextPixelAllocations(r.failCount);
    try {
      img.SetSize(r.reqW, r.reqH, r.reqColour);
      ADD_FAILURE() << "no error raised";
    } catch (const EOrluError& e) {
      EXPECT_STREQ(e.what(), "Out of memory\rHint: Close some images");
    }
    FailNextPixelAllocations(0);
    EXPECT_EQ(img.AllocFailed, 1);
    EXPECT_FALSE(img.IsColour());
    EXPECT_EQ(img.Width(), r.wantW);
    EXPECT_EQ(img.Height(), r.wantH);
    ExpectConsistentPlanes(img);

    // A later resize that gets its memory does not raise and clears the failure.
    EXPECT_NO_THROW(img.SetSize(8, 6, true));
    EXPECT_EQ(img.AllocFailed, 0);
    EXPECT_TRUE(img.IsColour());
    ExpectConsistentPlanes(img);
  }
}

TEST(ImaColor, SameKindComparesFormatSolutionAndDistortion) {
  TAImage a, b;
  EXPECT_TRUE(a.SameKind(b));
  b.IsFloat = 1;
  EXPECT_FALSE(a.SameKind(b));
  b.IsFloat = 0;
  a.HasWcs = b.HasWcs = 1;
  EXPECT_TRUE(a.SameKind(b));
  b.Wcs.HasSIP = true;
  EXPECT_FALSE(a.SameKind(b));
  a.HasWcs = b.HasWcs = 0;  // without a solution the SIP flag does not count
  EXPECT_TRUE(a.SameKind(b));
  b.SetColour(true);
  EXPECT_FALSE(a.SameKind(b));
  EXPECT_TRUE(a.SameSize(b, false));
  EXPECT_FALSE(a.SameSize(b, true));
}

TEST(ImaColor, ColourSizeThresholds) {
  struct Row {
    int32_t w, h;
    bool colour, big, medium;
  };
  // 800 × 800 = 640000 is the first medium size, 2000 × 1000 the first big one.
  const Row rows[] = {{799, 800, true, false, false},   {800, 800, true, false, true},
                      {1999, 1000, true, false, true},  {2000, 1000, true, true, true},
                      {2000, 1000, false, false, false}, {20, 30000, true, false, false},
                      {30000, 20, true, false, false}};
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << r.w << " x " << r.h);
    TAImage img;
    img.SetSize(r.w, r.h, r.colour);
    EXPECT_EQ(img.IsBigColour(), r.big);
    EXPECT_EQ(img.IsMediumColour(), r.medium);
  }
}

// ---------------------------------------------------------------------------------------
// Data format

TEST(ImaColor, GreyConversionUsesLuminanceAndIntegerRefreshRounds) {
  struct Row {
    bool isFloat;
    float want;
  };
  // 0.59 × 10 + 0.30 × 20 + 0.11 × 30 = 15.2
  const Row rows[] = {{false, 15.0f}, {true, 15.2f}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.isFloat ? "float" : "integer");
    TAImage img;
    img.SetSize(2, 1, true);
    img.IsFloat = r.isFloat;
    img.SetRGB(0, 0, 30, 10, 20);
    img.SetRGB(1, 0, 30, 10, 20);
    img.SetColour(false);
    EXPECT_FALSE(img.IsColour());
    ExpectConsistentPlanes(img);
    EXPECT_FLOAT_EQ(img.Value(0, 0), 15.2f);
    img.RefreshStatistics();
    EXPECT_EQ(img.Value(0, 0), r.want);
    EXPECT_EQ(img.DataMin, r.want);
    EXPECT_EQ(img.DataMax, r.want);
  }
}

TEST(ImaColor, GreyToColourAndBackKeepsTheValues) {
  auto img = MakeImage(13, 9, false, 7, 0);
  auto original = img->NewLike(true, false);
  img->SetColour(true);
  ASSERT_TRUE(img->IsColour());
  ExpectConsistentPlanes(*img);
  EXPECT_TRUE(img->RedPlane->Equals(*img->MainPlane));
  EXPECT_TRUE(img->BluePlane->Equals(*img->MainPlane));
  EXPECT_EQ(img->RedPlane->Mask, img->Mask.get());
  img->SetColour(false);
  ExpectConsistentPlanes(*img);
  EXPECT_TRUE(img->SameImage(*original));
}

TEST(ImaColor, ColourConversionOutOfMemoryLeavesImageMonochrome) {
  auto img = MakeImage(10, 10, false, 3, 0);
  FailNextPixelAllocations(100);
  EXPECT_THROW(img->SetColour(true), EOrluError);
  FailNextPixelAllocations(0);
  EXPECT_FALSE(img->IsColour());
  ExpectConsistentPlanes(*img);
}

TEST(ImaColor, KeepChannelMakesMonochromeFromThatPlane) {
  struct Row {
    int32_t k;
    float want;
  };
  const Row rows[] = {{1, 2.0f}, {2, 3.0f}, {3, 1.0f}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.k);
    TAImage img;
    img.SetSize(3, 2, true);
    for (int32_t y = 0; y < 2; ++y)
      for (int32_t x = 0; x < 3; ++x) img.SetRGB(x, y, 1.0f, 2.0f, 3.0f);
    img.KeepChannel(r.k);
    EXPECT_FALSE(img.IsColour());
    ExpectConsistentPlanes(img);
    EXPECT_EQ(img.Value(2, 1), r.want);
  }
  TAImage mono;
  mono.SetSize(3, 2, false);
  mono.Fill(5);
  mono.KeepChannel(2);
  EXPECT_EQ(mono.Value(0, 0), 5.0f);
}

// ---------------------------------------------------------------------------------------
// Copies

TEST(ImaColor, HeaderCopiedBetweenSizesGetsTheDestinationGeometry) {
  TAImage src;
  src.SetSize(20, 10, false);
  src.Header.SetString("OBJECT", "M 42", true);
  src.Header.SetReal("EXPTIME", true, 30.5);
  struct Row {
    int32_t w, h;
    bool colour;
  };
  const Row rows[] = {{20, 10, false}, {5, 7, false}, {5, 7, true}, {20, 10, true}};
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << r.w << " x " << r.h << " colour " << r.colour);
    TAImage dst;
    dst.SetSize(r.w, r.h, r.colour);
    dst.Header.SetString("GONE", "x", true);
    src.CopySettings(dst, true, false, false);
    EXPECT_FALSE(dst.Header.HasKey("GONE"));
    EXPECT_EQ(dst.Header.GetString("OBJECT"), "M 42");
    EXPECT_EQ(dst.Header.GetReal("EXPTIME"), 30.5);
    ExpectConsistentPlanes(dst);
    if (dst.SameSize(src, true)) {
      EXPECT_EQ(dst.Header.Strings(), src.Header.Strings());
    }
  }
}

TEST(ImaColor, CopySettingsCarriesFormatStatisticsVisuAndOptionallyWcs) {
  TAImage src, dst;
  src.IsFloat = 1;
  src.DataMin = -3;
  src.DataMax = 9;
  src.BackgroundLevel = 2;
  src.Symmetric = 1;
  src.SetOutsideValue(-7);
  src.Visu.SetLinear(10, 20);
  src.Visu.TransferType = -15;
  src.HasWcs = 1;
  src.HasPoly = 1;
  src.Poly0 = 20;
  src.Poly1 = -1;
  src.Wcs.X0 = 77;
  src.CopySettings(dst, false, false, false);
  EXPECT_EQ(dst.IsFloat, 1);
  EXPECT_EQ(dst.DataMin, -3.0f);
  EXPECT_EQ(dst.DataMax, 9.0f);
  EXPECT_EQ(dst.BackgroundLevel, 2.0f);
  EXPECT_EQ(dst.Symmetric, 1);
  EXPECT_EQ(dst.OutsideValue(), -7.0f);
  EXPECT_EQ(dst.Visu.Low, 10.0f);
  EXPECT_EQ(dst.Visu.TransferType, -15);
  EXPECT_EQ(dst.HasWcs, 0);
  EXPECT_EQ(dst.HasPoly, 0);
  EXPECT_EQ(dst.Header.Count(), 0);
  src.CopySettings(dst, false, false, true);
  EXPECT_EQ(dst.HasWcs, 1);
  EXPECT_EQ(dst.HasPoly, 1);
  EXPECT_EQ(dst.Poly0, 20.0);
  EXPECT_TRUE(dst.Wcs == src.Wcs);
  // The palette is the second visualization group: copied only with visuFull.
  src.Visu.Palette.BuildPalette(kPaletteSawTooth, 4);
  src.CopySettings(dst, false, false, false);
  EXPECT_TRUE(dst.Visu.Palette.IsGrayPalette());
  src.CopySettings(dst, false, true, false);
  EXPECT_EQ(dst.Visu.Palette.PaletteType, kPaletteSawTooth);
  EXPECT_EQ(dst.Visu.Palette.Colors, src.Visu.Palette.Colors);
}

TEST(ImaColor, FullCopyIsTheSameImageWithHistoryAndMask) {
  auto src = MakeImage(12, 8, true, 11, 0);
  src->IsFloat = 1;
  src->Modified = 1;
  src->History.Add(0, false, std::vector<double>{100.0});
  ASSERT_TRUE(src->Mask->Allocate());
  src->Mask->SetWeight(3, 4, 65535);
  TAImage dst;
  src->CopyTo(dst);
  EXPECT_TRUE(dst.SameImage(*src));
  EXPECT_EQ(dst.IsFloat, 1);
  EXPECT_EQ(dst.Modified, 1);
  ASSERT_EQ(dst.History.Count(), 1);
  EXPECT_EQ(dst.History.Item(0)->Params[0], 100.0);
  ASSERT_TRUE(dst.Mask->HasStorage());
  EXPECT_EQ(dst.Mask->Weight(3, 4), 65535);
  EXPECT_EQ(dst.Mask->Weight(4, 4), 0);
  ExpectConsistentPlanes(dst);

  auto like = src->NewLike(false, false);
  EXPECT_TRUE(like->SameSize(*src, true));
  EXPECT_EQ(like->IsFloat, 0);
}

TEST(ImaColor, ExtractCopiesRegionMaskAndShiftedSolution) {
  auto src = MakeImage(10, 8, true, 5, 0);
  src->SetOutsideValue(-1);
  ASSERT_TRUE(src->Mask->Allocate());
  src->Mask->SetWeight(6, 5, 1000);
  src->HasWcs = 1;
  src->Wcs.X0 = 4.5;
  src->Wcs.Y0 = 3.5;
  TAImage dst;
  dst.SetSize(5, 4, true);
  src->ExtractTo(dst, 6, 5, true);  // reaches 1 column and 1 row past the source
  for (int32_t y = 0; y < 4; ++y)
    for (int32_t x = 0; x < 5; ++x) {
      float r1, g1, b1, r2, g2, b2;
      dst.GetRGB(x, y, r1, g1, b1);
      const bool inside = x + 6 < 10 && y + 5 < 8;
      src->GetRGB(x + 6, y + 5, r2, g2, b2);
      if (!inside) r2 = g2 = b2 = -1;
      EXPECT_EQ(r1, r2) << x << "," << y;
      EXPECT_EQ(g1, g2) << x << "," << y;
      EXPECT_EQ(b1, b2) << x << "," << y;
    }
  EXPECT_EQ(dst.Mask->Weight(0, 0), 1000);
  EXPECT_EQ(dst.Mask->Weight(1, 0), 0);
  EXPECT_EQ(dst.HasWcs, 1);
  EXPECT_DOUBLE_EQ(dst.Wcs.X0, -1.5);
  EXPECT_DOUBLE_EQ(dst.Wcs.Y0, -1.5);
}

// ---------------------------------------------------------------------------------------
// Pixel access

TEST(ImaColor, LuminanceAndRgbReadouts) {
  TAImage img;
  img.SetSize(4, 3, true);
  img.SetOutsideValue(-5);
  img.Fill(0);
  img.SetRGB(1, 1, 30, 10, 20);
  float r, g, b;
  img.GetRGB(1, 1, r, g, b);
  EXPECT_EQ(r, 20.0f);
  EXPECT_EQ(g, 10.0f);
  EXPECT_EQ(b, 30.0f);
  img.GetRGB(4, 1, r, g, b);
  EXPECT_EQ(r + g + b, 0.0f);  // outside: 0, not the outside value
  EXPECT_FLOAT_EQ(img.Luminance(1, 1), 15.2f);
  EXPECT_EQ(img.Luminance(-1, 0), -5.0f);
  EXPECT_EQ(img.LuminanceOr(0, 3, 42.0f), 42.0f);
  EXPECT_FLOAT_EQ(img.LuminanceMirror(-1, 1), 15.2f);  // column -1 reads column 1
  EXPECT_FLOAT_EQ(img.Luminance3x3(1, 1), 15.2f);
  EXPECT_FLOAT_EQ(img.Luminance3x3(2, 1), 15.2f);
  EXPECT_EQ(img.Luminance3x3(0, 1), 0.0f);  // on the border
  EXPECT_EQ(img.Luminance3x3(3, 1), 0.0f);
  img.SetAll(2, 2, 7);
  img.GetRGB(2, 2, r, g, b);
  EXPECT_EQ(r + g + b, 21.0f);

  TAImage mono;
  mono.SetSize(2, 2, false);
  mono.SetRGB(0, 0, 1, 2, 3);
  mono.GetRGB(0, 0, r, g, b);
  EXPECT_EQ(r, 2.0f);
  EXPECT_EQ(b, 2.0f);
}

TEST(ImaColor, LocalBackgroundMatchesBruteForce) {
  struct Row {
    int32_t w, h;
    bool colour;
    int32_t col, row;
  };
  const Row rows[] = {{40, 35, true, 20, 17}, {40, 35, true, 0, 0},   {40, 35, true, 39, 34},
                      {40, 35, false, 5, 33}, {17, 16, false, 8, 8}, {17, 16, true, 16, 0}};
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << r.w << "x" << r.h << " at " << r.col << "," << r.row);
    auto img = MakeImage(r.w, r.h, r.colour, 99, 0);
    std::vector<double> v;
    for (int32_t dy = -15; dy <= 15; ++dy)
      for (int32_t dx = -15; dx <= 15; ++dx) {
        if (std::abs(dx) <= 3 && std::abs(dy) <= 3) continue;
        const int32_t x = RefMirror(r.col + dx, r.w), y = RefMirror(r.row + dy, r.h);
        v.push_back(float(RefLum(*img, x, y)));
      }
    ASSERT_EQ(v.size(), 912u);
    std::sort(v.begin(), v.end());
    double sum = 0;
    for (int i = 304; i <= 608; ++i) sum += v[size_t(i)];
    EXPECT_FLOAT_EQ(img->LocalBackground(r.col, r.row), float(sum / 305.0));
  }
}

TEST(ImaColor, BrightestNearMatchesBruteForce) {
  // Few levels make ties common, so the tie rules are exercised.
  auto img = MakeImage(23, 19, true, 1234, 6);
  auto mono = MakeImage(23, 19, false, 4321, 4);
  struct Start {
    int32_t col, row, r;
  };
  const Start starts[] = {{11, 9, 3}, {0, 0, 4}, {22, 18, 2}, {5, 18, 6},
                          {11, 9, 0}, {-3, 4, 5}, {30, 30, 2}, {11, 9, 40}};
  for (const TAImage* im : {img.get(), mono.get()})
    for (const Start& s : starts)
      for (bool circular : {false, true}) {
        SCOPED_TRACE(testing::Message() << s.col << "," << s.row << " r " << s.r
                                        << (circular ? " disc" : " square"));
        const int32_t w = im->Width(), h = im->Height();
        auto inside = [&](int32_t x, int32_t y) { return x >= 0 && y >= 0 && x < w && y < h; };
        int32_t wx = s.col, wy = s.row;
        double best = inside(s.col, s.row) ? float(RefLum(*im, s.col, s.row)) : -1e300;
        for (int32_t dy = -s.r; dy <= s.r; ++dy)
          for (int32_t dx = -s.r; dx <= s.r; ++dx) {
            const int32_t x = s.col + dx, y = s.row + dy;
            if (!inside(x, y) || (circular && dx * dx + dy * dy > s.r * (s.r + 1))) continue;
            const double v = float(RefLum(*im, x, y));
            if (v > best) {
              best = v;
              wx = x;
              wy = y;
            }
          }
        int32_t bx = -99, by = -99;
        im->BrightestNear(s.col, s.row, s.r, circular, bx, by);
        EXPECT_EQ(bx, wx);
        EXPECT_EQ(by, wy);

        if (!circular) continue;
        // The same search on 3 × 3 luminance sums (0 on the border).
        auto lum3 = [&](int32_t x, int32_t y) -> double {
          if (x < 1 || y < 1 || x > w - 2 || y > h - 2) return 0;
          double g = 0, rr = 0, bb = 0;
          for (int32_t j = -1; j <= 1; ++j)
            for (int32_t i = -1; i <= 1; ++i) {
              g += im->MainPlane->GetPixel(x + i, y + j);
              if (im->IsColour()) {
                rr += im->RedPlane->GetPixel(x + i, y + j);
                bb += im->BluePlane->GetPixel(x + i, y + j);
              }
            }
          return im->IsColour() ? float(0.59 * g + 0.30 * rr + 0.11 * bb) : float(g);
        };
        wx = s.col;
        wy = s.row;
        best = inside(s.col, s.row) ? lum3(s.col, s.row) : -1e300;
        for (int32_t dy = -s.r; dy <= s.r; ++dy)
          for (int32_t dx = -s.r; dx <= s.r; ++dx) {
            const int32_t x = s.col + dx, y = s.row + dy;
            if (!inside(x, y) || dx * dx + dy * dy > s.r * (s.r + 1)) continue;
            if (lum3(x, y) > best) {
              best = lum3(x, y);
              wx = x;
              wy = y;
            }
          }
        im->BrightestNear3x3(s.col, s.row, s.r, bx, by);
        EXPECT_EQ(bx, wx);
        EXPECT_EQ(by, wy);
      }
}

TEST(ImaColor, BrightestNearTieRules) {
  TAImage img;
  img.SetSize(9, 9, false);
  img.Fill(0);
  img.MainPlane->SetPixel(3, 3, 5);
  img.MainPlane->SetPixel(5, 5, 5);
  int32_t bx, by;
  img.BrightestNear(4, 4, 1, true, bx, by);  // (±1, ±1) is inside the disc of radius 1
  EXPECT_EQ(bx, 3);  // the first found, from offset (-1, -1)
  EXPECT_EQ(by, 3);
  img.MainPlane->SetPixel(4, 4, 5);
  img.BrightestNear(4, 4, 1, false, bx, by);
  EXPECT_EQ(bx, 4);  // the start wins ties
  EXPECT_EQ(by, 4);
}

TEST(ImaColor, CentroidNearWeighsAboveThreshold) {
  TAImage img;
  img.SetSize(11, 11, false);
  img.Fill(10);
  img.MainPlane->SetPixel(5, 5, 40);  // weight 30
  img.MainPlane->SetPixel(6, 5, 20);  // weight 10
  double x, y;
  img.CentroidNear(5, 5, 10, 3, x, y);
  EXPECT_DOUBLE_EQ(x, (30.0 * 5 + 10.0 * 6) / 40.0);
  EXPECT_DOUBLE_EQ(y, 5.0);
  img.CentroidNear(2, 8, 50, 3, x, y);  // nothing above: the start
  EXPECT_EQ(x, 2.0);
  EXPECT_EQ(y, 8.0);
}

TEST(ImaColor, ImportBitmapReadsBottomUpBgrWithStride) {
  // 2 × 2 picture, 3 bytes per pixel, rows padded to 8 bytes; picture row 0 is image row 1.
  const uint8_t bgr[16] = {1, 2, 3, 4, 5, 6, 0, 0,  //
                           7, 8, 9, 10, 11, 12, 0, 0};
  TAImage img;
  img.SetSize(2, 2, true);
  ASSERT_TRUE(img.ImportBitmap(2, 2, 3, 8, bgr));
  float r, g, b;
  img.GetRGB(0, 1, r, g, b);
  EXPECT_EQ(b, 1.0f);
  EXPECT_EQ(g, 2.0f);
  EXPECT_EQ(r, 3.0f);
  img.GetRGB(1, 0, r, g, b);
  EXPECT_EQ(b, 10.0f);
  EXPECT_EQ(g, 11.0f);
  EXPECT_EQ(r, 12.0f);

  const uint8_t bgra[8] = {1, 2, 3, 255, 4, 5, 6, 255};
  TAImage one;
  one.SetSize(1, 2, true);
  ASSERT_TRUE(one.ImportBitmap(1, 2, 4, 4, bgra));
  one.GetRGB(0, 0, r, g, b);
  EXPECT_EQ(r, 6.0f);

  struct Bad {
    const char* why;
    int32_t w, h, bpp;
    int64_t stride;
  };
  const Bad bad[] = {{"other size", 3, 2, 3, 9},
                     {"2 bytes per pixel", 2, 2, 2, 8},
                     {"stride too short", 2, 2, 3, 5}};
  for (const Bad& c : bad) EXPECT_FALSE(img.ImportBitmap(c.w, c.h, c.bpp, c.stride, bgr)) << c.why;
  EXPECT_FALSE(img.ImportBitmap(2, 2, 3, 8, nullptr));
  TAImage mono;
  mono.SetSize(2, 2, false);
  EXPECT_FALSE(mono.ImportBitmap(2, 2, 3, 8, bgr));
}

// ---------------------------------------------------------------------------------------
// Whole-image operations

TEST(ImaColor, FlipMirrorsPlanesMaskAndSolution) {
  auto img = MakeImage(5, 4, true, 21, 0);
  auto before = img->NewLike(true, true);
  ASSERT_TRUE(img->Mask->Allocate());
  img->Mask->SetWeight(0, 0, 9);
  img->HasWcs = 1;
  img->FlipH(true, true);
  EXPECT_EQ(img->RedPlane->GetPixel(4, 2), before->RedPlane->GetPixel(0, 2));
  EXPECT_EQ(img->Mask->Weight(4, 0), 9);
  EXPECT_DOUBLE_EQ(img->Wcs.X0, 5 - 1 - before->Wcs.X0);
  img->FlipV(false, true);
  EXPECT_EQ(img->BluePlane->GetPixel(4, 3), before->BluePlane->GetPixel(0, 0));
  EXPECT_EQ(img->Mask->Weight(4, 3), 9);
  EXPECT_DOUBLE_EQ(img->Wcs.Y0, before->Wcs.Y0);  // solution left alone
  img->FlipV(false, false);
  img->FlipH(true, false);
  EXPECT_TRUE(img->SameImage(*before));
  EXPECT_TRUE(img->Wcs == before->Wcs);
  EXPECT_EQ(img->Mask->Weight(4, 3), 9);  // mask not flipped back
}

TEST(ImaColor, TwoImageOperationsUseTheMonochromeMainForEveryPlane) {
  TAImage colour, mono, other;
  colour.SetSize(3, 3, true);
  colour.Fill(1);
  colour.RedPlane->Fill(2);
  mono.SetSize(3, 3, false);
  mono.Fill(10);
  colour.Blend(mono, 0.5, 2);  // 2 × this + 0.5 × other
  float r, g, b;
  colour.GetRGB(1, 1, r, g, b);
  EXPECT_EQ(r, 9.0f);
  EXPECT_EQ(g, 7.0f);
  EXPECT_EQ(b, 7.0f);
  other.SetSize(4, 3, false);
  other.Fill(100);
  colour.Add(other);  // another size: nothing
  colour.GetRGB(0, 0, r, g, b);
  EXPECT_EQ(r, 9.0f);
  colour.Subtract(mono);
  colour.GetRGB(2, 2, r, g, b);
  EXPECT_EQ(r, -1.0f);
  EXPECT_EQ(b, -3.0f);
}

TEST(ImaColor, RoundAllOnlyForIntegerImages) {
  TAImage img;
  img.SetSize(2, 1, false);
  img.Fill(2.5f);
  img.IsFloat = 1;
  img.RoundAll();
  EXPECT_EQ(img.Value(0, 0), 2.5f);
  img.IsFloat = 0;
  img.RoundAll();
  EXPECT_EQ(img.Value(0, 0), 2.0f);
}

// ---------------------------------------------------------------------------------------
// Statistics and texts

TEST(ImaColor, RefreshBackgroundCombinesPlanesAndRoundsIntegers) {
  struct Row {
    bool isFloat;
    float want;
  };
  // Constant planes estimate their own value: 0.30 × 2 + 0.59 × 1.5 + 0.11 × 4 = 1.925
  const Row rows[] = {{true, 1.925f}, {false, 2.0f}};
  for (const Row& r : rows) {
    TAImage img;
    img.SetSize(30, 30, true);
    img.IsFloat = r.isFloat;
    img.MainPlane->Fill(1.5f);
    img.RedPlane->Fill(2.0f);
    img.BluePlane->Fill(4.0f);
    img.RefreshBackground();
    EXPECT_FLOAT_EQ(img.BackgroundLevel, r.want) << r.isFloat;
  }
}

TEST(ImaColor, MeanAndStdDevCombinesAsLuminance) {
  TAImage img;
  img.SetSize(2, 1, true);
  img.SetRGB(0, 0, 0, 0, 0);
  img.SetRGB(1, 0, 4, 2, 6);  // blue 0/4, main 0/2, red 0/6
  double sum = 0, sd = 0;
  img.MeanAndStdDev(sum, sd);
  EXPECT_DOUBLE_EQ(sum, 0.59 * 2 + 0.30 * 6 + 0.11 * 4);
  EXPECT_DOUBLE_EQ(sd, 0.59 * 1 + 0.30 * 3 + 0.11 * 2);
}

TEST(ImaColor, FormatValueTexts) {
  struct Row {
    double x;
    const char* want;
  };
  const Row rows[] = {
      {0, "0"},          {1234.5, "1234.5"},        {999999, "999999"},
      {1e6, "1M"},       {1234567, "1.234567M"},    {-2.5e9, "-2.5G"},
      {3e12, "3T"},      {4.2e15, "4.2P"},          {1.23456789, "1.234568"},
      {1e-5, "1e-05"},   {123456789012.0, "123.4568G"}, {65535, "65535"},
  };
  for (const Row& r : rows) EXPECT_EQ(FormatValue(r.x), r.want) << r.x;
}

TEST(ImaColor, StatusTextTexts) {
  struct Row {
    bool isFloat, shortForm;
    int32_t type;
    const char* want;
  };
  const Row rows[] = {
      {false, true, 0, "0 : 65535     B = 1200     100 : 3000 Lin"},
      {false, false, 0, "0 : 65535     B = 1200     V = 100 : 3000 Lin"},
      {true, true, 0, "FP 0 : 65535     B = 1200     100 : 3000 Lin"},
      {false, true, -15, "0 : 65535     B = 1200     100 : 3000 Log"},
      {false, true, 15, "0 : 65535     B = 1200     100 : 3000 Exp"},
      {false, true, 1000, "0 : 65535     B = 1200     100 : 3000 Equ"},
      {false, true, 1001, "0 : 65535     B = 1200     100 : 3000 Gau"},
      {false, true, 1002, "0 : 65535     B = 1200     100 : 3000 Crv"},
      {false, true, 1003, "0 : 65535     B = 1200     100 : 3000 Equ"},
      {false, true, 1004, "0 : 65535     B = 1200     100 : 3000 Gau"},
  };
  for (const Row& r : rows) {
    TAImage img;
    img.IsFloat = r.isFloat;
    img.DataMin = 0;
    img.DataMax = 65535;
    img.BackgroundLevel = 1200;
    img.Visu.SetLinear(100, 3000);
    img.Visu.TransferType = r.type;
    EXPECT_EQ(img.StatusText(r.shortForm), r.want) << r.type;
  }
  TAImage big;
  big.DataMin = -2.5e6f;
  big.DataMax = 1.5e9f;
  EXPECT_EQ(big.StatusText(true), "-2.5M : 1.5G     B = 0     0 : 255 Lin");
}

// ---------------------------------------------------------------------------------------
// Calibration

TEST(ImaColor, PolyMagnitudeAndValue) {
  TAImage img;
  img.Header.InitMinimal();
  img.Header.SetReal("PPOLY0", true, 10);
  img.LoadPolyFromHeader();
  EXPECT_EQ(img.HasPoly, 0);  // the pair is needed
  EXPECT_EQ(img.PolyMagnitude(100), 99.0);
  img.Header.SetReal("PPOLY1", true, 2);
  img.LoadPolyFromHeader();
  ASSERT_EQ(img.HasPoly, 1);
  struct MagRow {
    double v, want;
  };
  // 10 + 2 ln 100 = 19.21034037... to 0.001
  const MagRow mags[] = {{1, 10.0}, {100, 19.21}, {0.5, 99.0}, {-3, 99.0}};
  for (const MagRow& r : mags) EXPECT_NEAR(img.PolyMagnitude(r.v), r.want, 1e-12) << r.v;

  struct ValRow {
    bool isFloat;
    double m, want;
  };
  const ValRow vals[] = {
      {true, 10, 1.0},
      {true, 14, 7.38905609893065},  // e^2
      {false, 14, 7.0},
      {true, 250, 1e20},  // exp(120) is held at 1e20
      {false, -1000, 0.0},
  };
  for (const ValRow& r : vals) {
    img.IsFloat = r.isFloat;
    EXPECT_NEAR(img.PolyValue(r.m), r.want, 1e-9 * r.want) << r.m;
  }
  img.Poly1 = 1e-7;
  EXPECT_EQ(img.PolyValue(12), 0.0);

  img.Poly1 = 2;
  img.Header.DeleteKey("PPOLY0");
  img.Header.DeleteKey("PPOLY1");
  img.StorePolyToHeader();
  EXPECT_EQ(img.Header.GetReal("PPOLY1"), 2.0);
  img.DeleteWcs(false, true);
  EXPECT_EQ(img.HasPoly, 0);
  EXPECT_FALSE(img.Header.HasKey("PPOLY0"));
}

// ---------------------------------------------------------------------------------------
// Observation time

TEST(ImaColor, ObservationJDFromHeaderDates) {
  const double t050607 = 5 * 3600 + 6 * 60 + 7;
  struct Row {
    const char* name;
    const char* dateObs;  // nullptr: no card
    const char* timeObs;
    const char* ut;
    double jdKey;  // 0: no card
    std::optional<double> want;
  };
  const Row rows[] = {
      {"ISO with fraction", "2021-03-04T05:06:07.123", nullptr, nullptr, 0,
       RefJD(2021, 3, 4, t050607 + 0.123)},
      {"ISO ignores TIME-OBS", "2021-03-04T05:06:07", "23:00:00", nullptr, 0,
       RefJD(2021, 3, 4, t050607)},
      {"dd/mm/yy with TIME-OBS", "04/03/21", "05:06:07", nullptr, 0, RefJD(2021, 3, 4, t050607)},
      {"date alone is noon", "04/03/21", nullptr, nullptr, 0, RefJD(2021, 3, 4, 43200)},
      {"yyyy-mm-dd with UT", "2021-03-04", nullptr, "05:06:07", 0, RefJD(2021, 3, 4, t050607)},
      {"two numbers of time are not a time", "2021-03-04", "05:06", nullptr, 0,
       RefJD(2021, 3, 4, 43200)},
      {"year 25 is 1925", "01/02/25", nullptr, nullptr, 0, RefJD(1925, 2, 1, 43200)},
      {"year 24 is 2024", "01/02/24", nullptr, nullptr, 0, RefJD(2024, 2, 1, 43200)},
      {"year 99 is 1999", "31/12/99", nullptr, nullptr, 0, RefJD(1999, 12, 31, 43200)},
      {"year 00 is 2000", "29/02/00", nullptr, nullptr, 0, RefJD(2000, 2, 29, 43200)},
      {"four-digit year kept", "04/03/2021", nullptr, nullptr, 0, RefJD(2021, 3, 4, 43200)},
      {"three-digit year kept", "04/03/1050", nullptr, nullptr, 0, RefJulianCalendarJD(1050, 3, 4, 43200)},
      {"last Julian calendar day", "1582-10-04", nullptr, nullptr, 0, RefJulianCalendarJD(1582, 10, 4, 43200)},
      {"first Gregorian day", "1582-10-15", nullptr, nullptr, 0, RefJD(1582, 10, 15, 43200)},
      {"month 13", "2021-13-04T00:00:00", nullptr, nullptr, 0, std::nullopt},
      {"month 0", "04/00/21", nullptr, nullptr, 0, std::nullopt},
      {"31 April", "31/04/21", nullptr, nullptr, 0, std::nullopt},
      {"29 February 2021", "2021-02-29", nullptr, nullptr, 0, std::nullopt},
      {"29 February 2020", "2020-02-29", nullptr, nullptr, 0, RefJD(2020, 2, 29, 43200)},
      {"day 0", "00/03/21", nullptr, nullptr, 0, std::nullopt},
      {"minute 61", "2021-03-04T05:61:00", nullptr, nullptr, 0, std::nullopt},
      {"two date numbers", "2021-03", nullptr, nullptr, 0, std::nullopt},
      {"bad date falls back to JD", "31/04/21", nullptr, nullptr, 2459000.25, 2459000.25},
      {"JD alone", nullptr, nullptr, nullptr, 2459000.25, 2459000.25},
      {"nothing", nullptr, nullptr, nullptr, 0, std::nullopt},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    TAImage img;
    img.Header.InitMinimal();
    if (r.dateObs) img.Header.SetString("DATE-OBS", r.dateObs, true);
    if (r.timeObs) img.Header.SetString("TIME-OBS", r.timeObs, true);
    if (r.ut) img.Header.SetString("UT", r.ut, true);
    if (r.jdKey != 0) img.Header.SetReal("JD", true, r.jdKey);
    const std::optional<double> jd = img.ObservationJD();
    ASSERT_EQ(jd.has_value(), r.want.has_value());
    // 1e-8 days is about 1 ms, well above the rounding of the fractions.
    if (jd) {
      EXPECT_NEAR(*jd, *r.want, 1e-8);
    }
  }
}

TEST(ImaColor, LocalDateJDReadsDateLoc) {
  TAImage img;
  img.Header.InitMinimal();
  EXPECT_FALSE(img.LocalDateJD().has_value());
  img.Header.SetString("DATE-OBS", "2021-03-04T05:06:07", true);
  EXPECT_FALSE(img.LocalDateJD().has_value());
  img.Header.SetString("DATE-LOC", "2021-03-04T23:30:00", true);
  ASSERT_TRUE(img.LocalDateJD().has_value());
  EXPECT_NEAR(*img.LocalDateJD(), RefJD(2021, 3, 4, 23.5 * 3600), 1e-8);
}
