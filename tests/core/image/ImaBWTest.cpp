#include <bit>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "base/PixelMemory.h"
#include "base/ProcessSwitches.h"
#include "formula/ImaMask.h"
#include "image/ImaBW.h"

using namespace orlu;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

// A plane filled by f(col, row).
void FillWith(TBWImage& p, int w, int h, const std::function<float(int, int)>& f) {
  p.SetSize(w, h);
  ASSERT_TRUE(p.IsAllocated());
  for (int r = 0; r < h; ++r)
    for (int c = 0; c < w; ++c) p.Data[c + r * w] = f(c, r);
}

// Distinct, non-symmetric values so that a wrong index shows.
float Ramp(int c, int r) { return float(c * 7 + r * 100 + ((c * r) % 5)); }

std::vector<float> Samples(const TBWImage& p) { return std::vector<float>(p.Data, p.Data + p.Count); }

// Restores the vector switch after a test that changes it.
struct VectorSwitchGuard {
  ~VectorSwitchGuard() { SetPermitSSE(true); }
};

}  // namespace

// ---------------------------------------------------------------------------------------
// Storage

TEST(ImaBWStorage, NewPlaneIs16x16WithIncreasingSerialIds) {
  TBWImage a, b;
  EXPECT_TRUE(a.IsAllocated());
  EXPECT_EQ(a.Width, 16);
  EXPECT_EQ(a.Height, 16);
  EXPECT_EQ(a.Count, 256);
  EXPECT_GT(b.SerialId, a.SerialId);
  EXPECT_GE(a.SerialId, 1);
  EXPECT_EQ(a.OutsideValue, 0.0f);
  EXPECT_EQ(a.BilinearEdges, 1);
  EXPECT_EQ(a.Role, 0);
}

TEST(ImaBWStorage, SizesBelowOneBecomeOne) {
  TBWImage p;
  p.SetSize(0, -5);
  EXPECT_TRUE(p.IsAllocated());
  EXPECT_EQ(p.Width, 1);
  EXPECT_EQ(p.Height, 1);
  EXPECT_EQ(p.Count, 1);
}

TEST(ImaBWStorage, DataIsAlignedAndGuardIsOne) {
  const int sizes[][2] = {{1, 1}, {3, 7}, {200, 200}, {30000, 1}, {1, 1000}};
  TBWImage p;
  for (const auto& s : sizes) {
    p.SetSize(s[0], s[1]);
    ASSERT_TRUE(p.IsAllocated());
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p.Data) % 16, 0u);
    EXPECT_GE(p.Capacity(), int64_t(p.Count) + p.GuardLength()) << s[0] << "x" << s[1];
    for (int64_t i = 0; i < p.GuardLength(); ++i) ASSERT_EQ(p.Data[p.Count + i], 1.0f) << i;
  }
}

TEST(ImaBWStorage, ReallocationPolicy) {
  // Whether a block was kept is seen in the capacity: a new block is sized for the new plane.
  struct Row {
    const char* name;
    int w0, h0, w1, h1;
    bool kept;
  };
  const Row rows[] = {
      {"15000 fewer samples keep the block", 3000, 3000, 2995, 3000, true},
      {"59900 fewer samples take a new one", 3000, 3000, 2990, 2990, false},
      {"a much smaller plane takes a new one", 3000, 3000, 100, 100, false},
      {"a larger plane takes a new one", 100, 100, 101, 100, false},
      // Fewer samples but a longer guard: the old block would be too small for it.
      {"200x200 to 30000x1 needs a larger block", 200, 200, 30000, 1, false},
  };
  for (const auto& r : rows) {
    TBWImage p;
    p.SetSize(r.w0, r.h0);
    const int64_t cap0 = p.Capacity();
    p.SetSize(r.w1, r.h1);
    ASSERT_TRUE(p.IsAllocated()) << r.name;
    EXPECT_EQ(p.Capacity() == cap0, r.kept) << r.name;
    EXPECT_GE(p.Capacity(), int64_t(p.Count) + p.GuardLength()) << r.name;
    EXPECT_EQ(p.Data[int64_t(p.Count) + p.GuardLength() - 1], 1.0f) << r.name;
  }
}

TEST(ImaBWStorage, AllocationFailureLeavesAnEmptyPlane) {
  TBWImage p;
  FailNextPixelAllocations(1);
  EXPECT_NO_THROW(p.SetSize(50, 60));
  EXPECT_FALSE(p.IsAllocated());
  EXPECT_EQ(p.Width, 0);
  EXPECT_EQ(p.Height, 0);
  EXPECT_EQ(p.Count, 0);
  EXPECT_EQ(p.Data, nullptr);
  p.SetSize(50, 60);  // the next attempt succeeds
  EXPECT_TRUE(p.IsAllocated());
  FailNextPixelAllocations(1);
  EXPECT_EQ(p.Clone(), nullptr);
  FailNextPixelAllocations(0);
}

TEST(ImaBWStorage, ImpossibleSizeLeavesAnEmptyPlane) {
  TBWImage p;
  p.SetSize(100000, 100000);  // 10^10 samples cannot be indexed in 32 bits
  EXPECT_FALSE(p.IsAllocated());
  EXPECT_EQ(p.Count, 0);
}

// ---------------------------------------------------------------------------------------
// Pixel access

TEST(ImaBWAccess, CheckedReadsAndWrites) {
  TBWImage p;
  FillWith(p, 4, 3, Ramp);
  p.OutsideValue = -7;
  const int pts[][2] = {{-1, 0}, {4, 0}, {0, -1}, {0, 3}, {INT32_MIN, 0}, {0, INT32_MAX}};
  for (const auto& q : pts) {
    EXPECT_EQ(p.GetPixel(q[0], q[1]), -7.0f);
    p.SetPixel(q[0], q[1], 99);  // ignored
  }
  EXPECT_EQ(Samples(p), ([&] { TBWImage q; FillWith(q, 4, 3, Ramp); return Samples(q); })());
  p.SetPixel(3, 2, 5.5f);
  EXPECT_EQ(p.GetPixel(3, 2), 5.5f);
  EXPECT_EQ(p.GetPixelUnchecked(3, 2), 5.5f);
  EXPECT_EQ(*p.RowPointer(3, 2), 5.5f);
  EXPECT_EQ(p.GetPixelClamp(-5, 10), p.GetPixel(0, 2));
  EXPECT_EQ(p.GetPixelClamp(INT32_MAX, INT32_MIN), p.GetPixel(3, 0));
}

TEST(ImaBWAccess, MirrorReflectsThenStaysInside) {
  // Reference: reflect once about the first and last sample, then clamp into the plane.
  auto ref = [](int c, int n) {
    int64_t v = c;
    if (v < 0) v = -v;
    if (v >= n) v = 2 * int64_t(n) - v - 2;
    return int(std::clamp<int64_t>(v, 0, n - 1));
  };
  EXPECT_EQ(ref(-1, 10), 1);
  EXPECT_EQ(ref(10, 10), 8);
  const int sizes[][2] = {{10, 6}, {1, 1}, {1, 5}, {5, 1}, {2, 3}};
  for (const auto& s : sizes) {
    TBWImage p;
    FillWith(p, s[0], s[1], Ramp);
    for (int r : {-100, -3, -1, 0, 1, s[1] - 1, s[1], s[1] + 1, 2 * s[1] + 5, INT32_MAX, INT32_MIN + 1})
      for (int c : {-100, -3, -1, 0, 1, s[0] - 1, s[0], s[0] + 1, 3 * s[0], INT32_MAX, INT32_MIN})
        ASSERT_EQ(p.GetPixelMirror(c, r), Ramp(ref(c, s[0]), ref(r, s[1])))
            << s[0] << "x" << s[1] << " at " << c << "," << r;
  }
}

TEST(ImaBWAccess, SetPixelMaskedBlendsWithTheWeight) {
  TBWImage p;
  TAMask m;
  FillWith(p, 3, 2, [](int, int) { return 100.0f; });
  m.SetSize(3, 2);
  ASSERT_TRUE(m.Allocate());
  p.Mask = &m;
  m.SetWeight(0, 0, 65535);
  m.SetWeight(1, 0, 0);
  m.SetWeight(2, 0, 32768);
  p.SetPixelMasked(0, 0, true, 200);
  p.SetPixelMasked(1, 0, true, 200);
  p.SetPixelMasked(2, 0, true, 200);
  p.SetPixelMasked(0, 1, false, 300);
  p.SetPixelMasked(5, 1, false, 300);
  EXPECT_FLOAT_EQ(p.GetPixel(0, 0), 200);
  EXPECT_FLOAT_EQ(p.GetPixel(1, 0), 100);
  EXPECT_NEAR(p.GetPixel(2, 0), 100 + 100 * 32768.0 / 65535.0, 1e-3);
  EXPECT_FLOAT_EQ(p.GetPixel(0, 1), 300);
}

TEST(ImaBWAccess, CopyPixelFromNeedsTheSameWidth) {
  TBWImage a, b, c;
  FillWith(a, 4, 3, Ramp);
  FillWith(b, 4, 5, [](int, int) { return 0.0f; });
  FillWith(c, 5, 3, [](int, int) { return 0.0f; });
  b.CopyPixelFrom(a, 2, 1);
  EXPECT_EQ(b.GetPixel(2, 1), Ramp(2, 1));
  b.CopyPixelFrom(a, 2, 4);  // row 4 is not in a
  EXPECT_EQ(b.GetPixel(2, 4), 0.0f);
  c.CopyPixelFrom(a, 2, 1);
  EXPECT_EQ(c.GetPixel(2, 1), 0.0f);
}

namespace {
// Literal reading of the zoomed display value for planes at least 3 wide and high.
float ZoomedRef(const TBWImage& p, int col, int row, int z) {
  auto s = [&](int c, int r) { return double(p.Data[c + r * p.Width]); };
  auto cl = [](int v, int lo, int hi) { return std::clamp(v, lo, hi); };
  if (z <= 1) return float(s(col, row));
  if (z <= 3) {
    const int cc = cl(col, 1, p.Width - 2), rr = cl(row, 1, p.Height - 2);
    double t = 0;
    for (int dy = -1; dy <= 1; ++dy)
      for (int dx = -1; dx <= 1; ++dx) t += s(cc + dx, rr + dy);
    return float(t / 9);
  }
  const int k = (z + 2) / 4, j = z / 4;
  const int px[4] = {col - k, col + j, col - k, col + j};
  const int py[4] = {row - k, row - k, row + j, row + j};
  double t = 0;
  for (int b = 0; b < 4; ++b) {
    if (z <= 9) {
      const int x = cl(px[b], 0, p.Width - 2), y = cl(py[b], 0, p.Height - 2);
      t += s(x, y) + s(x + 1, y) + s(x, y + 1) + s(x + 1, y + 1);
    } else {
      const int x = cl(px[b], 1, p.Width - 3) - 1, y = cl(py[b], 1, p.Height - 3) - 1;
      t += s(x, y) + s(x + 3, y) + s(x, y + 3) + s(x + 3, y + 3);
    }
  }
  return float(t / 16);
}
}  // namespace

TEST(ImaBWAccess, ZoomedValuesFollowTheBlockRules) {
  TBWImage p;
  FillWith(p, 12, 9, Ramp);
  for (int z = 0; z <= 14; ++z)
    for (int r : {0, 1, 4, 7, 8})
      for (int c : {0, 1, 5, 10, 11}) ASSERT_FLOAT_EQ(p.GetPixelZoomed(c, r, z), ZoomedRef(p, c, r, z)) << z;
}

TEST(ImaBWAccess, ZoomedValuesOnNarrowPlanesStayInside) {
  // The block clamps invert on planes narrower than the block; the value must then be a
  // mean of the plane's own samples (checked here by its range; ASan checks the reads).
  const int sizes[][2] = {{1, 1}, {1, 7}, {7, 1}, {2, 2}, {2, 9}, {3, 3}};
  for (const auto& s : sizes) {
    TBWImage p;
    FillWith(p, s[0], s[1], Ramp);
    const auto v = Samples(p);
    const float lo = *std::min_element(v.begin(), v.end()), hi = *std::max_element(v.begin(), v.end());
    for (int z = 2; z <= 14; ++z)
      for (int c = -2; c <= s[0] + 1; ++c)
        for (int r = -2; r <= s[1] + 1; ++r) {
          const float x = p.GetPixelZoomed(c, r, z);
          ASSERT_TRUE(x >= lo - 1e-3f && x <= hi + 1e-3f) << s[0] << "x" << s[1] << " z " << z;
        }
  }
}

TEST(ImaBWAccess, Kernel3x3UsesMirroredNeighboursAtTheEdges) {
  const float k[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  const int sizes[][2] = {{6, 5}, {1, 1}, {2, 4}, {1, 6}};
  for (const auto& s : sizes) {
    TBWImage p;
    FillWith(p, s[0], s[1], Ramp);
    for (int r = -1; r <= s[1]; ++r)
      for (int c = -1; c <= s[0]; ++c) {
        double want = 0;
        for (int dy = 0; dy < 3; ++dy)
          for (int dx = 0; dx < 3; ++dx) want += k[dy * 3 + dx] * p.GetPixelMirror(c + dx - 1, r + dy - 1);
        ASSERT_NEAR(p.Kernel3x3(c, r, k), want, 1e-3) << c << "," << r;
      }
  }
}

TEST(ImaBWAccess, BilinearInterpolatesAndRejectsBadPositions) {
  TBWImage p;
  // Bilinear interpolation reproduces a plane that is linear in col and row exactly.
  FillWith(p, 5, 4, [](int c, int r) { return float(c + 10 * r); });
  p.OutsideValue = -1;
  struct Row { float x, y, want; };
  const Row rows[] = {
      {1.25f, 2.5f, 26.25f}, {0, 0, 0}, {3.5f, 1.75f, 21.0f}, {2, 3, 32},
      // Border cells: with BilinearEdges the outside corners read OutsideValue.
      {-0.5f, 0, 0.5f * -1 + 0.5f * 0},
      {kNaN, 1, -1}, {1, kNaN, -1}, {1e30f, 1, -1}, {-1e30f, 1, -1}, {kInf, 0, -1},
      {-2, 0, -1}, {0, 6, -1},
  };
  for (const auto& r : rows) EXPECT_FLOAT_EQ(p.Bilinear(r.x, r.y), r.want) << r.x << "," << r.y;
  p.BilinearEdges = 0;
  EXPECT_EQ(p.Bilinear(-0.5f, 0), -1.0f);
  EXPECT_EQ(p.Bilinear(4, 0), -1.0f);  // row rounds to 0: border
  EXPECT_FLOAT_EQ(p.Bilinear(2.5f, 1.5f), 17.5f);
  EXPECT_FLOAT_EQ(p.BilinearClamped(100, -100), p.Bilinear(4, 0));
  EXPECT_EQ(p.BilinearClamped(kNaN, 0), -1.0f);
}

TEST(ImaBWAccess, BilinearWeightedRegions) {
  TBWImage p;
  FillWith(p, 4, 3, Ramp);
  p.OutsideValue = -2;
  const float w[4] = {0.1f, 0.2f, 0.3f, 0.4f};
  auto ref = [&](int c, int r) {
    return w[0] * p.GetPixel(c, r) + w[1] * p.GetPixel(c + 1, r) + w[2] * p.GetPixel(c, r + 1) +
           w[3] * p.GetPixel(c + 1, r + 1);
  };
  for (int r = -1; r <= 2; ++r)
    for (int c = -1; c <= 3; ++c) EXPECT_FLOAT_EQ(p.BilinearWeighted(c, r, w), ref(c, r)) << c << "," << r;
  EXPECT_EQ(p.BilinearWeighted(-2, 0, w), -2.0f);
  EXPECT_EQ(p.BilinearWeighted(0, 3, w), -2.0f);
  EXPECT_EQ(p.BilinearWeighted(INT32_MAX, 0, w), -2.0f);
}

TEST(ImaBWAccess, GridMeanAndBlockSum) {
  TBWImage p;
  FillWith(p, 16, 12, Ramp);
  // k = 1: grid steps 16/4 = 4 and 12/4 = 3.
  double want = 0;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      const int c = 1 + 4 * j, r = 2 + 3 * i;
      const float m = (p.GetPixelMirror(c, r) + p.GetPixelMirror(c + 1, r) + p.GetPixelMirror(c, r + 1) +
                       p.GetPixelMirror(c + 1, r + 1)) * 0.25f;
      want += std::min(m, 900.0f);
    }
  EXPECT_NEAR(p.GridMean(1, 2, 1, 900.0f), want / 16, 1e-3);
  EXPECT_TRUE(std::isfinite(p.GridMean(3, 3, 0, 1e9f)));  // k = 0 must not divide by zero

  auto blockRef = [&](int c0, int r0, int nx, int ny) {
    double s = 0;
    for (int r = r0; r < r0 + ny; ++r)
      for (int c = c0; c < c0 + nx; ++c) s += p.GetPixel(c, r);
    return s;
  };
  EXPECT_DOUBLE_EQ(p.BlockSum(2, 3, 4), blockRef(2, 3, 4, 4));
  EXPECT_DOUBLE_EQ(p.BlockSum(14, 11, 4), blockRef(12, 8, 4, 4));  // corner moved inside
  EXPECT_DOUBLE_EQ(p.BlockSum(-5, -5, 3), blockRef(0, 0, 3, 3));
  EXPECT_DOUBLE_EQ(p.BlockSum(0, 0, 40), blockRef(0, 0, 16, 12));  // larger than the plane
  EXPECT_EQ(p.BlockSum(0, 0, 0), 0.0);
  TBWImage narrow;
  FillWith(narrow, 2, 5, Ramp);
  EXPECT_DOUBLE_EQ(narrow.BlockSum(1, 1, 3), Ramp(0, 1) + Ramp(1, 1) + Ramp(0, 2) + Ramp(1, 2) +
                                                 Ramp(0, 3) + Ramp(1, 3));
}

// ---------------------------------------------------------------------------------------
// Copies and geometry

TEST(ImaBWCopies, CloneCopyAssignExtract) {
  TBWImage a;
  FillWith(a, 5, 4, Ramp);
  a.Symmetric = 1;
  a.OutsideValue = 3;
  auto c = a.Clone();
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(c->Equals(a));
  EXPECT_EQ(c->Symmetric, 1);
  EXPECT_EQ(c->OutsideValue, 3.0f);
  EXPECT_NE(c->SerialId, a.SerialId);

  TBWImage b;
  b.SetSize(4, 5);
  EXPECT_FALSE(a.CopyTo(b));  // different size
  EXPECT_FALSE(a.CopyTo(a));
  EXPECT_TRUE(a.AssignTo(b));
  EXPECT_TRUE(b.Equals(a));
  EXPECT_EQ(b.Symmetric, 1);

  TBWImage row;
  FillWith(row, 5, 2, [](int, int) { return 0.0f; });
  EXPECT_TRUE(a.CopyRowTo(row, 1));
  EXPECT_EQ(row.GetPixel(4, 1), Ramp(4, 1));
  EXPECT_EQ(row.GetPixel(4, 0), 0.0f);
  EXPECT_FALSE(a.CopyRowTo(row, 3));

  TBWImage part;
  part.SetSize(3, 2);
  a.ExtractTo(part, 3, 3);
  EXPECT_EQ(part.GetPixel(0, 0), Ramp(3, 3));
  EXPECT_EQ(part.GetPixel(1, 0), Ramp(4, 3));
  EXPECT_EQ(part.GetPixel(2, 0), 3.0f);  // column 5 is outside
  EXPECT_EQ(part.GetPixel(0, 1), 3.0f);  // row 4 is outside

  EXPECT_FALSE(a.Equals(part));
  b.Data[7] = -0.0f;
  a.Data[7] = 0.0f;
  EXPECT_FALSE(a.Equals(b));  // bit patterns, not values
}

TEST(ImaBWGeometry, Helpers) {
  TBWImage p;
  p.SetSize(300, 256);
  EXPECT_TRUE(p.IsLargeEnough());  // 76800 samples exactly
  p.SetSize(300, 255);
  EXPECT_FALSE(p.IsLargeEnough());
  p.SetSize(20, 10000);
  EXPECT_FALSE(p.IsLargeEnough());
  p.SetSize(7, 4);
  EXPECT_EQ(p.MeanDimension(), 5);
  EXPECT_EQ(p.MinDimension(), 4);
  EXPECT_FLOAT_EQ(p.CentreX(), 3.0f);
  EXPECT_FLOAT_EQ(p.CentreY(), 1.5f);
  double x = -5, y = 10;
  p.ClampPoint(x, y, 1, 2);
  EXPECT_EQ(x, -1);
  EXPECT_EQ(y, 5);
  EXPECT_TRUE(p.PointInside(-1, 5, 1, 2));
  EXPECT_FALSE(p.PointInside(-1.01, 5, 1, 2));
  EXPECT_FALSE(p.PointInside(std::nan(""), 1, 1, 1));
}

// ---------------------------------------------------------------------------------------
// Simple and two-plane operations

namespace {
// Values that exercise signs, fractions, the 65536 wrap and the log threshold.
float Mixed(int c, int r) {
  static const float v[] = {-70000.5f, -3.25f, -1, -0.5f, 0, 0.4f, 1, 2.5f, 3.5f, 65535, 65536.75f, 1e7f};
  return v[(c + 3 * r) % 12];
}
}  // namespace

TEST(ImaBWOps, SimpleOperationsMatchPerSampleReference) {
  struct Row {
    const char* name;
    std::function<void(TBWImage&)> op;
    std::function<float(float)> ref;
  };
  auto wrap = [](double v) {
    double r = std::fmod(v, 65536.0);
    if (r < 0) r += 65536;
    return r;
  };
  const Row rows[] = {
      {"Fill", [](TBWImage& p) { p.Fill(4.5f); }, [](float) { return 4.5f; }},
      {"AddConst", [](TBWImage& p) { p.AddConst(2.5); }, [](float s) { return float(s + 2.5); }},
      {"AddWrap", [](TBWImage& p) { p.AddWrap(100); }, [&](float s) { return float(wrap(s + 100.0)); }},
      {"AddWrap negative", [](TBWImage& p) { p.AddWrap(-65540); }, [&](float s) { return float(wrap(s - 65540.0)); }},
      {"MulConst", [](TBWImage& p) { p.MulConst(-3); }, [](float s) { return float(s * -3.0); }},
      {"Linear", [](TBWImage& p) { p.Linear(32768, 2); }, [](float s) { return float(32768 + 2.0 * s); }},
      {"Linear b=1", [](TBWImage& p) { p.Linear(-1, 1); }, [](float s) { return float(s - 1.0); }},
      {"LinearAround", [](TBWImage& p) { p.LinearAround(10, 0.5, 4); }, [](float s) { return float(10 + 0.5 * (s - 4)); }},
      {"LinearAround b=1", [](TBWImage& p) { p.LinearAround(10, 1, 4); }, [](float s) { return float(s + 6.0); }},
      {"LinearAround a=c=0", [](TBWImage& p) { p.LinearAround(0, 3, 0); }, [](float s) { return float(3.0 * s); }},
      {"LogScale", [](TBWImage& p) { p.LogScale(2); }, [](float s) { return s >= 1 ? float(2 * std::log(double(s))) : 0.0f; }},
      {"Clip", [](TBWImage& p) { p.Clip(-1, 3); }, [](float s) { return std::min(std::max(s, -1.0f), 3.0f); }},
      {"ReplaceBelow", [](TBWImage& p) { p.ReplaceBelow(-9, 0.4f); }, [](float s) { return s < 0.4f ? -9.0f : s; }},
      {"ReplaceAbove", [](TBWImage& p) { p.ReplaceAbove(-9, 2.5f); }, [](float s) { return s > 2.5f ? -9.0f : s; }},
      {"Abs", [](TBWImage& p) { p.Abs(); }, [](float s) { return std::fabs(s); }},
      {"RoundAll", [](TBWImage& p) { p.RoundAll(); }, [](float s) { return std::nearbyint(s); }},
  };
  for (const auto& r : rows) {
    TBWImage p;
    FillWith(p, 7, 5, Mixed);
    r.op(p);
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 7; ++x) {
        const float want = r.ref(Mixed(x, y));
        // Single-precision arithmetic may differ from the double reference by an ulp.
        ASSERT_FLOAT_EQ(p.GetPixel(x, y), want) << r.name << " at " << x << "," << y << " from " << Mixed(x, y);
      }
  }
}

TEST(ImaBWOps, RoundAllHalvesToEvenAndRefillsTheGuard) {
  TBWImage p;
  FillWith(p, 4, 1, [](int c, int) { return float(c) + 0.5f; });
  p.Data[p.Count + 3] = 0;  // a loop that scribbled on the guard
  p.RoundAll();
  EXPECT_EQ(Samples(p), (std::vector<float>{0, 2, 2, 4}));
  EXPECT_EQ(p.Data[p.Count + 3], 1.0f);
}

TEST(ImaBWOps, FlipsSwapsAndInterpolation) {
  for (int h : {1, 4, 5}) {
    TBWImage p;
    FillWith(p, 3, h, Ramp);
    p.FlipH();
    for (int r = 0; r < h; ++r)
      for (int c = 0; c < 3; ++c) ASSERT_EQ(p.GetPixel(c, r), Ramp(2 - c, r));
    FillWith(p, 3, h, Ramp);
    p.FlipV();
    for (int r = 0; r < h; ++r)
      for (int c = 0; c < 3; ++c) ASSERT_EQ(p.GetPixel(c, r), Ramp(c, h - 1 - r));
    FillWith(p, 3, h, Ramp);
    p.SwapFieldRows();
    for (int r = 0; r < h; ++r) {
      const int src = (r % 2 == 0) ? (r + 1 < h ? r + 1 : r) : r - 1;  // an odd last row stays
      for (int c = 0; c < 3; ++c) ASSERT_EQ(p.GetPixel(c, r), Ramp(c, src)) << h << " " << r;
    }
  }
  TBWImage p;
  FillWith(p, 4, 3, Ramp);
  p.OutsideValue = 10;
  p.InterpolateRow(1);
  for (int c = 0; c < 4; ++c) EXPECT_EQ(p.GetPixel(c, 1), (Ramp(c, 0) + Ramp(c, 2)) / 2);
  p.InterpolateRow(2);  // the row above is outside
  for (int c = 0; c < 4; ++c) EXPECT_EQ(p.GetPixel(c, 2), (p.GetPixel(c, 1) + 10) / 2);
  FillWith(p, 4, 3, Ramp);
  p.InterpolateColumn(0);
  for (int r = 0; r < 3; ++r) EXPECT_EQ(p.GetPixel(0, r), (10 + Ramp(1, r)) / 2);
  p.InterpolateColumn(9);  // outside: nothing
}

namespace {
// Out-of-place reference of the shift: integer offsets read GetPixel at (c - dx, r - dy),
// fractional ones BilinearWeighted from an untouched copy.
std::vector<float> ShiftRef(const TBWImage& src, double dx, double dy) {
  std::vector<float> out(std::size_t(src.Count));
  const auto nearInt = [](double v) {
    const double f = v - std::floor(v);
    return f < 1e-6 || f > 0.999999;
  };
  if (nearInt(dx) && nearInt(dy)) {
    const int sx = int(std::nearbyint(dx)), sy = int(std::nearbyint(dy));
    for (int r = 0; r < src.Height; ++r)
      for (int c = 0; c < src.Width; ++c) out[c + r * src.Width] = src.GetPixel(c - sx, r - sy);
    return out;
  }
  const double ix = std::floor(-dx), iy = std::floor(-dy), fx = -dx - ix, fy = -dy - iy;
  const float w[4] = {float((1 - fx) * (1 - fy)), float(fx * (1 - fy)), float((1 - fx) * fy), float(fx * fy)};
  for (int r = 0; r < src.Height; ++r)
    for (int c = 0; c < src.Width; ++c)
      out[c + r * src.Width] = src.BilinearWeighted(c + int(ix), r + int(iy), w);
  return out;
}
}  // namespace

TEST(ImaBWShift, IntegerShiftMovesContentAndFillsWithOutsideValue) {
  TBWImage p;
  FillWith(p, 6, 3, Ramp);
  p.OutsideValue = -1;
  p.Shift(2, 0, false);
  for (int r = 0; r < 3; ++r) {
    EXPECT_EQ(p.GetPixel(0, r), -1.0f);
    EXPECT_EQ(p.GetPixel(1, r), -1.0f);
    for (int c = 2; c < 6; ++c) EXPECT_EQ(p.GetPixel(c, r), Ramp(c - 2, r));
  }
}

TEST(ImaBWShift, MatchesOutOfPlaceReferenceInEveryDirection) {
  // Widths above the 512-column chunk check the chunk order within a row.
  const int sizes[][2] = {{9, 7}, {1100, 3}, {1, 5}, {5, 1}, {2, 2}};
  const double offs[] = {0, 1, -1, 2, -3, 0.25, -0.25, 1.5, -1.5, 2.75, -2.75, 0.9999995, 0.3, 8, -40};
  for (const auto& s : sizes)
    for (double dx : offs)
      for (double dy : offs) {
        TBWImage p;
        FillWith(p, s[0], s[1], Ramp);
        p.OutsideValue = -5;
        const auto want = std::fabs(dx) < 1e-6 && std::fabs(dy) < 1e-6 ? Samples(p) : ShiftRef(p, dx, dy);
        TBWImage q;
        ASSERT_TRUE(p.AssignTo(q));
        q.OutsideValue = p.OutsideValue;
        p.Shift(dx, dy, false);
        // Without memory for its row copies the shift takes its in-place chunked path.
        FailNextPixelAllocations(1);
        q.Shift(dx, dy, false);
        FailNextPixelAllocations(0);
        const auto got = Samples(p), got2 = Samples(q);
        for (std::size_t i = 0; i < got.size(); ++i) {
          ASSERT_FLOAT_EQ(got[i], want[i]) << s[0] << "x" << s[1] << " by " << dx << "," << dy << " at " << i;
          ASSERT_FLOAT_EQ(got2[i], want[i]) << s[0] << "x" << s[1] << " by " << dx << "," << dy << " at " << i;
        }
      }
}

TEST(ImaBWShift, RoundingAndBadOffsets) {
  TBWImage p, q;
  FillWith(p, 8, 6, Ramp);
  FillWith(q, 8, 6, Ramp);
  p.Shift(1.4, -0.6, true);  // becomes (1, -1)
  q.Shift(1, -1, false);
  EXPECT_TRUE(p.Equals(q));
  const double bad[][2] = {{std::nan(""), 0}, {0, std::nan("")}, {1e300, 0}, {0, -1e18}, {INFINITY, 1}};
  for (const auto& b : bad) {
    FillWith(p, 8, 6, Ramp);
    p.OutsideValue = 7;
    p.Shift(b[0], b[1], false);
    for (float v : Samples(p)) ASSERT_EQ(v, 7.0f) << b[0] << "," << b[1];
    FillWith(p, 8, 6, Ramp);
    p.Shift(b[0], b[1], true);
    for (float v : Samples(p)) ASSERT_EQ(v, 7.0f);
  }
}

TEST(ImaBWOps, TwoPlaneOperations) {
  struct Row {
    const char* name;
    std::function<void(TBWImage&, const TBWImage&)> op;
    std::function<float(float, float)> ref;
  };
  const float oMean = [] {
    double s = 0;
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 5; ++c) s += Ramp(c, r) / 50.0f;
    return float(s / 20);
  }();
  const Row rows[] = {
      {"Add", [](TBWImage& p, const TBWImage& o) { p.Add(o); }, [](float s, float v) { return s + v; }},
      {"Subtract", [](TBWImage& p, const TBWImage& o) { p.Subtract(o); }, [](float s, float v) { return s - v; }},
      {"MultiplyNormalized", [](TBWImage& p, const TBWImage& o) { p.MultiplyNormalized(o, 2); },
       [](float s, float v) { return float(double(s) * v / 2); }},
      {"MultiplyNormalized mean", [](TBWImage& p, const TBWImage& o) { p.MultiplyNormalized(o, 0); },
       [&](float s, float v) { return float(double(s) * v / oMean); }},
      {"DivideNormalized", [](TBWImage& p, const TBWImage& o) { p.DivideNormalized(o, 3); },
       [](float s, float v) { return v > 1e-6f ? float(3.0 * s / v) : s; }},
      {"Min", [](TBWImage& p, const TBWImage& o) { p.Min(o); }, [](float s, float v) { return std::min(s, v); }},
      {"Max", [](TBWImage& p, const TBWImage& o) { p.Max(o); }, [](float s, float v) { return std::max(s, v); }},
      {"AbsDiff", [](TBWImage& p, const TBWImage& o) { p.AbsDiff(o); }, [](float s, float v) { return std::fabs(s - v); }},
      {"Blend", [](TBWImage& p, const TBWImage& o) { p.Blend(o, 0.25, 2); }, [](float s, float v) { return float(2.0 * s + 0.25 * v); }},
      {"Blend 1,1", [](TBWImage& p, const TBWImage& o) { p.Blend(o, 1, 1); }, [](float s, float v) { return s + v; }},
      {"Blend 0,1", [](TBWImage& p, const TBWImage& o) { p.Blend(o, 0, 1); }, [](float s, float) { return s; }},
      {"LinearFrom", [](TBWImage& p, const TBWImage& o) { p.LinearFrom(o, 1, 2, 3); },
       [](float, float v) { return float((v - 2.0) * 3 + 1); }},
  };
  for (const auto& r : rows) {
    TBWImage p, o, other;
    FillWith(p, 5, 4, Ramp);
    FillWith(o, 5, 4, [](int c, int rr) { return Ramp(c, rr) / 50.0f; });
    o.Data[3] = 0;  // below the division threshold
    if (std::string(r.name) == "MultiplyNormalized mean") o.Data[3] = Ramp(3, 0) / 50.0f;
    r.op(p, o);
    for (int i = 0; i < 20; ++i)
      ASSERT_NEAR(p.Data[i], r.ref(Ramp(i % 5, i / 5), o.Data[i]), 1e-4 * (1 + std::fabs(p.Data[i]))) << r.name << " " << i;
    // Other sizes: nothing, except Add (checked below).
    FillWith(p, 5, 4, Ramp);
    other.SetSize(4, 4);
    other.Fill(1);
    if (std::string(r.name) != "Add") {
      r.op(p, other);
      for (int i = 0; i < 20; ++i) ASSERT_EQ(p.Data[i], Ramp(i % 5, i / 5)) << r.name;
    }
  }
  TBWImage p, small;
  FillWith(p, 5, 4, Ramp);
  FillWith(small, 3, 6, [](int, int) { return 1.0f; });
  p.Add(small);
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 5; ++c) ASSERT_EQ(p.GetPixel(c, r), Ramp(c, r) + (c < 3 ? 1 : 0));
}

TEST(ImaBWOps, NormalizationByAZeroMeanDoesNothing) {
  TBWImage p, o;
  FillWith(p, 4, 4, Ramp);
  FillWith(o, 4, 4, [](int c, int) { return c < 2 ? -1.0f : 1.0f; });
  p.MultiplyNormalized(o, 0);
  p.DivideNormalized(o, 0);
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) ASSERT_EQ(p.GetPixel(c, r), Ramp(c, r));
  FillWith(o, 4, 4, [](int, int) { return 1e-20f; });
  FillWith(p, 4, 4, [](int, int) { return 1e30f; });
  p.MultiplyNormalized(o, 1e-40);
  EXPECT_EQ(p.GetPixel(0, 0), 1e25f);  // limited
}

TEST(ImaBWMask, MergeMaskedBlendsWithinTheWidenedRows) {
  const int w = 4, h = 10;
  TBWImage p, o;
  TAMask m;
  FillWith(p, w, h, [](int, int) { return 100.0f; });
  FillWith(o, w, h, [](int, int) { return 0.0f; });
  m.SetSize(w, h);
  ASSERT_TRUE(m.Allocate());
  p.Mask = &m;
  EXPECT_TRUE(p.HasMask());
  m.SetWeight(1, 4, 65535);
  m.SetWeight(2, 5, 16384);
  EXPECT_EQ(p.MaskBounds(), (TPixelRect{1, 4, 2, 5}));
  int64_t first, last;
  p.MaskRange(first, last);
  EXPECT_EQ(first, 16);
  EXPECT_EQ(last, 23);

  p.MergeMasked(o, 1, false);  // rows 3..6 are merged, the rest keeps processed data
  for (int r = 0; r < h; ++r)
    for (int c = 0; c < w; ++c) {
      float want = 100;
      if (r >= 3 && r <= 6) want = float(m.Weight(c, r)) / 65535.0f * 100.0f;
      ASSERT_NEAR(p.GetPixel(c, r), want, 1e-3) << c << "," << r;
    }
  p.Fill(100);
  p.MergeMasked(o, 0, true);
  for (int r = 0; r < h; ++r)
    for (int c = 0; c < w; ++c)
      ASSERT_NEAR(p.GetPixel(c, r), float(m.Weight(c, r)) / 65535.0f * 100.0f, 1e-3) << c << "," << r;

  // Infinite processed values under a zero weight do not turn into NaN.
  p.Fill(kInf);
  p.MergeMasked(o);
  EXPECT_EQ(p.GetPixel(0, 0), 0.0f);
  EXPECT_EQ(p.GetPixel(1, 4), kInf);

  // Nothing selected: the unprocessed data everywhere.
  m.Fill(0);
  p.Fill(100);
  p.MergeMasked(o, 0, false);
  for (float v : Samples(p)) ASSERT_EQ(v, 0.0f);

  // A mask of another size is no mask.
  TAMask other;
  other.SetSize(w, h + 1);
  ASSERT_TRUE(other.Allocate());
  p.Mask = &other;
  EXPECT_FALSE(p.HasMask());
  EXPECT_EQ(p.MaskBounds(), (TPixelRect{0, 0, w - 1, h - 1}));
  p.MaskRange(first, last);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(last, w * h - 1);
  p.Fill(100);
  p.MergeMasked(o, 0, true);
  for (float v : Samples(p)) ASSERT_EQ(v, 100.0f);
}

// ---------------------------------------------------------------------------------------
// Statistics

TEST(ImaBWStats, SumMeanAndStdDev) {
  TBWImage p;
  FillWith(p, 5, 3, Ramp);
  double s = 0, q = 0;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 5; ++c) s += Ramp(c, r);
  const double mean = s / 15;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 5; ++c) q += (Ramp(c, r) - mean) * (Ramp(c, r) - mean);
  EXPECT_DOUBLE_EQ(p.Sum(), s);
  EXPECT_DOUBLE_EQ(p.Mean(), mean);
  double sum, sd;
  p.SumAndStdDev(sum, sd);
  EXPECT_DOUBLE_EQ(sum, s);
  EXPECT_NEAR(sd, std::sqrt(q / 15), 1e-9);
  // Constant data with a large offset: the textbook formula gives a tiny negative variance.
  FillWith(p, 1000, 1000, [](int, int) { return 16777.217f; });
  p.SumAndStdDev(sum, sd);
  EXPECT_EQ(sd, 0.0);
  TBWImage empty;
  FailNextPixelAllocations(1);
  empty.SetSize(300, 300);  // larger than the first block: needs an allocation
  FailNextPixelAllocations(0);
  ASSERT_FALSE(empty.IsAllocated());
  EXPECT_EQ(empty.Mean(), 0.0);
  empty.SumAndStdDev(sum, sd);
  EXPECT_EQ(sum, 0.0);
  EXPECT_EQ(sd, 0.0);
}

TEST(ImaBWStats, MinMaxCleansCorruptSamples) {
  const float corrupt[] = {kNaN, kInf, -kInf, 9.3e18f, -9.3e18f, 1e38f};
  for (float bad : corrupt)
    for (bool vec : {false, true}) {
      VectorSwitchGuard g;
      SetPermitSSE(vec);
      TBWImage p;
      FillWith(p, 7, 5, [](int c, int r) { return 5.0f + c + r; });
      p.Data[17] = bad;
      float mn, mx;
      p.MinMax(mn, mx);
      EXPECT_EQ(mn, 0.0f) << bad;  // the cleaned sample counts as 0
      EXPECT_EQ(mx, 15.0f) << bad;
      EXPECT_EQ(p.Data[17], 0.0f);
    }
  TBWImage p;
  FillWith(p, 3, 1, [](int c, int) { return c == 1 ? 9.2e18f : 1.0f; });  // below 2^63: kept
  float mn, mx;
  p.MinMax(mn, mx);
  EXPECT_EQ(mx, 9.2e18f);
  EXPECT_EQ(mn, 1.0f);
}

TEST(ImaBWStats, MinMaxRoundedRoundsSamples) {
  TBWImage p;
  FillWith(p, 4, 1, [](int c, int) { return c == 0 ? -2.5f : (c == 1 ? 3.5f : (c == 2 ? kNaN : 0.75f)); });
  float mn, mx;
  p.MinMaxRounded(mn, mx);
  EXPECT_EQ(mn, -2.0f);
  EXPECT_EQ(mx, 4.0f);
  EXPECT_EQ(Samples(p), (std::vector<float>{-2, 4, 0, 1}));
}

// Rounding in place, both paths and the blocked pass over large planes, against nearbyint
// sample by sample: halves go to the even neighbour, signs and magnitudes from 2^23 on kept.
TEST(ImaBWStats, MinMaxRoundedMatchesNearbyintOnEveryPath) {
  VectorSwitchGuard g;
  const float specials[] = {0.5f,  1.5f,        2.5f,       -0.5f,     -1.5f,      -2.5f,
                            -0.3f, 8388607.5f,  8388608.0f, 8388609.0f, -8388609.0f, 1e9f,
                            -1e9f, 4.4e18f,     kNaN,       kInf,      -kInf,      65535.49f};
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> u(-70000, 70000);
  for (int w : {1, 7, 640, 1100}) {  // 1100 × 300 spans several blocks
    const int h = w == 1100 ? 300 : 13;
    TBWImage src;
    FillWith(src, w, h, [&](int, int) { return u(rng); });
    for (size_t k = 0; k < std::size(specials) && int64_t(k) < src.Count; ++k)
      src.Data[(int64_t(k) * 7919) % src.Count] = specials[k];
    std::vector<float> want(src.Data, src.Data + src.Count);
    float wmn = INFINITY, wmx = -INFINITY;
    for (float& v : want) {
      v = std::isfinite(v) && std::fabs(v) < 9223372036854775808.0f ? std::nearbyint(v) : 0.0f;
      wmn = std::min(wmn, v);
      wmx = std::max(wmx, v);
    }
    for (bool vec : {false, true}) {
      SetPermitSSE(vec);
      TBWImage p;
      ASSERT_TRUE(src.AssignTo(p));
      float mn, mx;
      p.MinMaxRounded(mn, mx);
      EXPECT_EQ(mn, wmn + 0.0f) << w << " vec " << vec;
      EXPECT_EQ(mx, wmx + 0.0f) << w << " vec " << vec;
      for (int64_t i = 0; i < p.Count; ++i)
        ASSERT_EQ(std::bit_cast<uint32_t>(p.Data[i]), std::bit_cast<uint32_t>(want[size_t(i)]))
            << w << " vec " << vec << " at " << i << " from " << src.Data[i];
    }
  }
}

TEST(ImaBWStats, VectorAndScalarMinMaxAgree) {
  VectorSwitchGuard g;
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(-1000, 1000);
  for (int w : {1, 3, 17, 640}) {
    const int h = 313;
    TBWImage a, b;
    FillWith(a, w, h, [&](int, int) { return u(rng); });
    a.Data[a.Count / 3] = kNaN;
    a.Data[a.Count - 1] = -kInf;
    a.Data[a.Count / 2] = -0.0f;
    ASSERT_TRUE(a.AssignTo(b));
    float mn1, mx1, mn2, mx2;
    SetPermitSSE(false);
    a.MinMax(mn1, mx1);
    SetPermitSSE(true);
    b.MinMax(mn2, mx2);
    EXPECT_EQ(mn1, mn2) << w;
    EXPECT_EQ(mx1, mx2) << w;
    EXPECT_TRUE(a.Equals(b)) << w;  // the same samples were cleaned
  }
  // All samples equal to zero of both signs: +0 from both paths.
  TBWImage z;
  FillWith(z, 40, 40, [](int c, int) { return c % 2 ? -0.0f : 0.0f; });
  for (bool vec : {false, true}) {
    SetPermitSSE(vec);
    float mn, mx;
    z.MinMax(mn, mx);
    EXPECT_FALSE(std::signbit(mn));
    EXPECT_FALSE(std::signbit(mx));
  }
}

TEST(ImaBWStats, EstimateBackground) {
  TBWImage p;
  FillWith(p, 300, 200, [](int, int) { return 1234.0f; });
  EXPECT_EQ(p.EstimateBackground(), 1234.0f);
  FillWith(p, 4, 4, Ramp);  // fewer than 20 samples: the mean
  EXPECT_FLOAT_EQ(p.EstimateBackground(), float(p.Mean()));
  FillWith(p, 30, 3, Ramp);  // fewer than 4 rows: the mean
  EXPECT_FLOAT_EQ(p.EstimateBackground(), float(p.Mean()));

  // Sky of 100 with noise and a few bright stars: the robust level ignores the stars.
  std::mt19937 rng(3);
  std::normal_distribution<float> noise(100, 5);
  FillWith(p, 400, 300, [&](int c, int r) { return (c % 37 == 0 && r % 29 == 0) ? 60000.0f : noise(rng); });
  const float bg = p.EstimateBackground();
  EXPECT_NEAR(bg, 100, 1.0);
  EXPECT_EQ(p.EstimateBackground(), bg);  // repeatable
  EXPECT_EQ(p.Symmetric, 0);

  std::uniform_real_distribution<float> u(-10, 10);
  FillWith(p, 400, 300, [&](int, int) { return u(rng); });
  p.EstimateBackground();
  EXPECT_EQ(p.Symmetric, 1);
  FillWith(p, 400, 300, [&](int, int) { return u(rng) + 100; });
  p.EstimateBackground();
  EXPECT_EQ(p.Symmetric, 0);
  // NaN samples must not upset the sort.
  FillWith(p, 400, 300, [&](int c, int) { return c % 3 ? 50.0f : kNaN; });
  EXPECT_TRUE(std::isfinite(p.EstimateBackground()));
}

TEST(ImaBWStats, BackgroundAndNoise) {
  TBWImage p;
  float bg, sp;
  FillWith(p, 200, 100, [](int, int) { return 77.0f; });
  p.BackgroundAndNoise(bg, sp);
  EXPECT_EQ(bg, 77.0f);
  EXPECT_FLOAT_EQ(sp, 1e-9f);
  FillWith(p, 7, 10, Ramp);  // too narrow: mean and population deviation
  p.BackgroundAndNoise(bg, sp);
  double sum, sd;
  p.SumAndStdDev(sum, sd);
  EXPECT_FLOAT_EQ(bg, float(sum / 70));
  EXPECT_FLOAT_EQ(sp, float(sd));
  // Uniform 0..1000: the central 20% of 2x2 sums averages to 4 × 500, divided back to 500;
  // the spread of the sums between the 10-40% and 60-90% bands is a few hundred.
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> u(0, 1000);
  FillWith(p, 500, 400, [&](int, int) { return u(rng); });
  p.BackgroundAndNoise(bg, sp);
  EXPECT_NEAR(bg, 500, 15);
  EXPECT_GT(sp, 300);
  EXPECT_LT(sp, 1500);
  for (int h : {8, 31, 32}) {  // around the row skip switch
    FillWith(p, 8, h, [&](int, int) { return u(rng); });
    p.BackgroundAndNoise(bg, sp);
    EXPECT_TRUE(std::isfinite(bg) && std::isfinite(sp)) << h;
  }
}

TEST(ImaBWStats, QuantilesDropTheRepeatedMinimumAndStayInRange) {
  TBWImage p;
  float a, b, c;
  FillWith(p, 1, 1, Ramp);
  p.Quantiles(0.1, 0.5, 0.9, a, b, c);
  EXPECT_EQ(a, 0.0f);
  EXPECT_EQ(b, 0.0f);
  EXPECT_EQ(c, 0.0f);
  // 100 samples 0..99 (t = 1): every sample is taken.
  FillWith(p, 10, 10, [](int col, int row) { return float(col + 10 * row); });
  p.Quantiles(0.1, 0.5, 0.9, a, b, c);
  EXPECT_EQ(a, 90.0f);  // first output: the third fraction
  EXPECT_EQ(b, 50.0f);
  EXPECT_EQ(c, 10.0f);
  p.Quantiles(0, 1, 1.5, a, b, c);  // a fraction of 1 or more takes the last value
  EXPECT_EQ(a, 99.0f);
  EXPECT_EQ(b, 99.0f);
  EXPECT_EQ(c, 0.0f);
  float atB, atA;
  p.Quantiles2(0.3, 0.1, atB, atA);
  EXPECT_EQ(atB, 10.0f);
  EXPECT_EQ(atA, 30.0f);
  // Half the plane at the minimum: those repeats are dropped.
  FillWith(p, 10, 10, [](int col, int row) { return row < 5 ? -1.0f : float(col + 10 * row); });
  p.Quantiles(0.0, 0.02, 0.5, a, b, c);
  EXPECT_EQ(c, -1.0f);
  EXPECT_EQ(b, 50.0f);  // kept = {-1, 50..99}, 51 values: index trunc(0.02 × 51) = 1
  EXPECT_EQ(a, 74.0f);  // index trunc(0.5 × 51) = 25
  // Larger planes: the walk stops at the last sample.
  for (int n : {5001, 9999, 10000, 25003, 1000001}) {
    p.SetSize(n, 1);
    for (int i = 0; i < n; ++i) p.Data[i] = float(i);
    p.Quantiles(0.5, 0.99, 1.0, a, b, c);
    EXPECT_LE(a, float(n - 1)) << n;
    EXPECT_NEAR(c, n / 2.0, n / 50.0 + 2) << n;
  }
}

TEST(ImaBWStats, SampleAndSampledMax) {
  TBWImage p;
  FillWith(p, 6, 5, [](int c, int r) { return float(29 - (c + 6 * r)); });
  std::vector<float> buf(100, -1);
  EXPECT_EQ(p.Sample(buf.data(), 0, true), 0);
  EXPECT_EQ(p.Sample(buf.data(), -3, true), 0);
  EXPECT_EQ(p.Sample(buf.data(), 100, true), 30);  // limited to Count
  for (int i = 0; i < 30; ++i) EXPECT_EQ(buf[i], float(i));
  EXPECT_EQ(buf[30], -1.0f);
  const int got = p.Sample(buf.data(), 7, false);
  EXPECT_EQ(got, 7);
  FillWith(p, 1000, 1000, [](int c, int r) { return float((c + r) % 100) / 100.0f; });
  EXPECT_TRUE(p.SampledMaxAtMost(1.0f));
  EXPECT_FALSE(p.SampledMaxAtMost(0.5f));
  p.Fill(0);
  EXPECT_FALSE(p.SampledMaxAtMost(1.0f));  // largest value must be above 0
  std::vector<float> big(5000);
  EXPECT_LE(p.Sample(big.data(), 5000, true), 5000);
}

namespace {
// The histogram rule written out plainly, with -1 marking integer gaps, for data whose
// samples are all integers inside the bounds.
std::vector<int32_t> HistogramRef(const std::vector<float>& v, int nBins, bool isFloat, float max, float min) {
  double range = std::max(double(max) - min, 1e-6);
  const float scale = float((nBins - 1) / range);
  auto idx = [&](float x) {
    x = std::min(std::max(x, min), max);
    return std::clamp(int(std::nearbyint((x - min) * scale)), 0, nBins - 1);
  };
  std::vector<int32_t> bins(nBins, 0);
  if (!(isFloat || range >= 1.1 * nBins || std::fabs(min) >= 1e9 || std::fabs(max) >= 1e9)) {
    std::fill(bins.begin(), bins.end(), -1);
    for (int64_t x = int64_t(std::nearbyint(min)); x <= int64_t(std::nearbyint(max)); ++x) bins[idx(float(x))] = 0;
  }
  for (float x : v) bins[idx(x)]++;
  int32_t last = 0;
  for (int i = 0; i < nBins; ++i) {
    if (bins[i] == -1) bins[i] = (i + 1 < nBins && bins[i + 1] != -1) ? bins[i + 1] : last;
    last = bins[i];
  }
  return bins;
}
}  // namespace

TEST(ImaBWHistogram, IntegerDataFillTheGapsBetweenValues) {
  TBWImage p;
  FillWith(p, 11, 3, [](int c, int r) { return float((c * (r + 1)) % 11); });
  std::vector<int32_t> bins(256, 12345);
  p.Histogram(bins, 256, false, false, 10, 0);
  const auto want = HistogramRef(Samples(p), 256, false, 10, 0);
  EXPECT_EQ(bins, want);
  // By hand: value 1 lands in bin round(25.5) = 26; bins 1..24 copy bin 0, bin 25 copies 26.
  int n0 = 0, n1 = 0;
  for (float v : Samples(p)) {
    n0 += v == 0;
    n1 += v == 1;
  }
  EXPECT_EQ(bins[0], n0);
  EXPECT_EQ(bins[26], n1);
  for (int i = 1; i <= 24; ++i) EXPECT_EQ(bins[i], n0) << i;
  EXPECT_EQ(bins[25], n1);
  int64_t total = 0;
  p.Histogram(bins, 256, false, true, 10, 0);  // float data: plain counts
  for (int i = 0; i < 256; ++i) total += bins[i];
  EXPECT_EQ(total, p.Count);
  EXPECT_EQ(bins[1], 0);
}

TEST(ImaBWHistogram, BoundsAndBadSamplesStayInsideTheBins) {
  TBWImage p;
  FillWith(p, 10, 10, [](int c, int r) { return float(c + r); });
  p.Data[5] = kNaN;
  p.Data[6] = kInf;
  p.Data[7] = -kInf;
  std::vector<int32_t> bins(20, 0);
  // Non-integral bounds: round(min) = 0 lies below min; NaN, ±Inf: clamped.
  const float bounds[][2] = {{0.6f, 10.4f}, {0.5f, 9.5f}, {-3.7f, 2.2f}, {5, 5}, {18, -3}};
  for (const auto& b : bounds) {
    for (bool isFloat : {false, true}) {
      p.Histogram(bins, 20, false, isFloat, b[0], b[1]);
      for (int i = 0; i < 20; ++i) ASSERT_GE(bins[i], 0) << b[0] << "," << b[1];
    }
  }
  p.Histogram(bins, 20, false, true, 19, 0);
  int64_t total = 0;
  for (int v : bins) total += v;
  EXPECT_EQ(total, 100);
  // Too few bins or a short array: the bins are left alone.
  std::vector<int32_t> few(5, 42);
  p.Histogram(few, 1, false, true, 10, 0);
  p.Histogram(few, 6, false, true, 10, 0);
  EXPECT_EQ(few, std::vector<int32_t>(5, 42));
}

TEST(ImaBWHistogram, VectorAndScalarCountsAgree) {
  VectorSwitchGuard g;
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> u(-50, 5000);
  TBWImage p;
  FillWith(p, 503, 401, [&](int c, int) { return c % 3 ? u(rng) : std::nearbyint(u(rng)); });
  p.Data[10] = kNaN;
  p.Data[11] = kInf;
  p.Data[12] = -kInf;
  p.Data[13] = -0.0f;
  p.Data[14] = 1e30f;
  struct Case { int nBins; bool isFloat; float max, min; };
  const Case cases[] = {{4096, true, 4000, 0}, {4096, false, 4000.5f, 0.25f}, {256, false, 100, 0},
                        {65536, true, 5000, -50}, {2, true, 1, 0}};
  for (const auto& k : cases) {
    std::vector<int32_t> a(k.nBins), b(k.nBins);
    SetPermitSSE(false);
    p.Histogram(a, k.nBins, true, k.isFloat, k.max, k.min);
    SetPermitSSE(true);
    p.Histogram(b, k.nBins, true, k.isFloat, k.max, k.min);
    EXPECT_EQ(a, b) << k.nBins;
  }
}

TEST(ImaBWStats, DiagonalScore) {
  TBWImage p;
  // d1 = min of the main diagonal, d2 of the other: a checkerboard with bright main
  // diagonals scores near 1, the opposite near 0, flat data 0.5.
  FillWith(p, 64, 64, [](int c, int r) { return ((c + r) % 2 == 0) ? 10.0f : 1.0f; });
  EXPECT_GT(p.DiagonalScore(false), 0.99f);
  // With the quantile threshold the dark squares (below the 0.3 quantile) are not counted.
  EXPECT_EQ(p.DiagonalScore(true), 0.5f);
  FillWith(p, 64, 64, [](int c, int r) { return 100.0f + c + r + (((c + r) % 2 == 0) ? 5.0f : 0.0f); });
  EXPECT_GT(p.DiagonalScore(true), 0.99f);
  FillWith(p, 64, 64, [](int c, int r) { return ((c + r) % 2 == 1) ? 10.0f : 1.0f; });
  EXPECT_LT(p.DiagonalScore(false), 0.01f);
  FillWith(p, 64, 64, [](int, int) { return 3.0f; });
  EXPECT_EQ(p.DiagonalScore(false), 0.5f);
  FillWith(p, 1, 500, Ramp);  // no 2 × 2 cell in a row
  EXPECT_EQ(p.DiagonalScore(false), 0.5f);
  FillWith(p, 500, 3, Ramp);
  EXPECT_EQ(p.DiagonalScore(false), 0.5f);
}

TEST(ImaBWStats, Centroids) {
  TBWImage p;
  FillWith(p, 9, 7, [](int c, int r) { return (c == 6 && r == 2) ? 50.0f : ((c == 2 && r == 4) ? 30.0f : 0.0f); });
  double x, y;
  p.Centroid(10, x, y);
  EXPECT_DOUBLE_EQ(x, (40.0 * 6 + 20 * 2) / 60);
  EXPECT_DOUBLE_EQ(y, (40.0 * 2 + 20 * 4) / 60);
  p.Centroid(100, x, y);
  EXPECT_DOUBLE_EQ(x, 4);
  EXPECT_DOUBLE_EQ(y, 3);
  p.CentroidIn(TPixelRect{4, -5, 20, 3}, 10, x, y);
  EXPECT_DOUBLE_EQ(x, 6);
  EXPECT_DOUBLE_EQ(y, 2);
  p.CentroidIn(TPixelRect{0, 5, 3, 6}, 10, x, y);  // nothing above the threshold
  EXPECT_DOUBLE_EQ(x, 1.5);
  EXPECT_DOUBLE_EQ(y, 5.5);
}

// ---------------------------------------------------------------------------------------
// Raw decoders

namespace {
template <class T>
void PutRaw(TBWImage& p, const std::vector<T>& v, bool bigEndian) {
  unsigned char* d = reinterpret_cast<unsigned char*>(p.Data);
  for (std::size_t i = 0; i < v.size(); ++i) {
    unsigned char b[sizeof(T)];
    std::memcpy(b, &v[i], sizeof(T));
    if (bigEndian) std::reverse(b, b + sizeof(T));
    std::memcpy(d + i * sizeof(T), b, sizeof(T));
  }
}
}  // namespace

TEST(ImaBWDecode, RawTypesInBothByteOrders) {
  for (bool swap : {false, true}) {
    TBWImage p;
    p.SetSize(3, 3);  // odd count: the back-to-front widening must not overlap
    PutRaw<uint8_t>(p, {0, 1, 2, 127, 128, 200, 254, 255, 9}, false);
    ASSERT_TRUE(p.ConvertRawSamples(kRawUInt8, swap));
    EXPECT_EQ(Samples(p), (std::vector<float>{0, 1, 2, 127, 128, 200, 254, 255, 9}));

    PutRaw<int16_t>(p, {0, 1, -1, 32767, -32768, 256, -256, 1000, -2}, swap);
    ASSERT_TRUE(p.ConvertRawSamples(kRawInt16, swap));
    EXPECT_EQ(Samples(p), (std::vector<float>{0, 1, -1, 32767, -32768, 256, -256, 1000, -2}));

    PutRaw<uint16_t>(p, {0, 1, 65535, 32768, 256, 2, 3, 4, 40000}, swap);
    ASSERT_TRUE(p.ConvertRawSamples(kRawUInt16, swap));
    EXPECT_EQ(Samples(p), (std::vector<float>{0, 1, 65535, 32768, 256, 2, 3, 4, 40000}));

    PutRaw<int32_t>(p, {0, -1, 16777216, -16777217, INT32_MAX, INT32_MIN, 7, 65536, -65536}, swap);
    ASSERT_TRUE(p.ConvertRawSamples(kRawInt32, swap));
    EXPECT_EQ(Samples(p), (std::vector<float>{0, -1, 16777216.0f, float(-16777217), float(INT32_MAX),
                                              float(INT32_MIN), 7, 65536, -65536}));

    PutRaw<uint32_t>(p, {0, 1, 4294967295u, 2147483648u, 5, 6, 7, 8, 9}, swap);
    ASSERT_TRUE(p.ConvertRawSamples(kRawUInt32, swap));
    EXPECT_EQ(Samples(p), (std::vector<float>{0, 1, 4294967295.0f, 2147483648.0f, 5, 6, 7, 8, 9}));

    PutRaw<float>(p, {0.5f, -1.25f, 1e30f, -0.0f, 3, 4, 5, 6, 7}, swap);
    ASSERT_TRUE(p.ConvertRawSamples(kRawFloat32, swap));
    EXPECT_EQ(Samples(p), (std::vector<float>{0.5f, -1.25f, 1e30f, -0.0f, 3, 4, 5, 6, 7}));
    EXPECT_TRUE(std::signbit(p.Data[3]));
    EXPECT_FALSE(p.ConvertRawSamples(6, swap));
    EXPECT_FALSE(p.ConvertRawSamples(-1, swap));
  }
}

TEST(ImaBWDecode, SwappedWordsMatchAPlainConversionForAnyBits) {
  std::mt19937 rng(9);
  TBWImage p;
  p.SetSize(37, 11);
  for (int type : {kRawInt32, kRawUInt32, kRawFloat32}) {
    std::vector<uint32_t> bits(std::size_t(p.Count));
    for (auto& b : bits) b = rng();
    bits[0] = 0xFFFFFFFFu;
    bits[1] = 0x80000000u;
    bits[2] = 0x7FFFFFFFu;
    bits[3] = 0x00FFFFFFu;
    for (std::size_t i = 0; i < bits.size(); ++i) {
      const uint32_t be = __builtin_bswap32(bits[i]);
      std::memcpy(p.Data + i, &be, 4);
    }
    ASSERT_TRUE(p.ConvertRawSamples(type, true));
    for (std::size_t i = 0; i < bits.size(); ++i) {
      float want;
      if (type == kRawInt32) want = float(int32_t(bits[i]));
      else if (type == kRawUInt32) want = float(bits[i]);
      else std::memcpy(&want, &bits[i], 4);
      uint32_t a, b;
      std::memcpy(&a, &p.Data[i], 4);
      std::memcpy(&b, &want, 4);
      ASSERT_EQ(a, b) << type << " " << std::hex << bits[i];
    }
  }
}

TEST(ImaBWDecode, RawBytesAreReadBigEndianWithTheSwapFlag) {
  TBWImage p;
  p.SetSize(2, 1);
  const unsigned char raw[] = {0x01, 0x02, 0xFF, 0xFE};
  std::memcpy(p.Data, raw, 4);
  ASSERT_TRUE(p.ConvertRawSamples(kRawInt16, true));
  EXPECT_EQ(p.Data[0], 258.0f);
  EXPECT_EQ(p.Data[1], -2.0f);
}

TEST(ImaBWDecode, PackedImporters) {
  TBWImage p;
  p.SetSize(3, 2);
  // Rows of three 16-bit samples padded to 8 bytes.
  const uint16_t packed[] = {1, 2, 65535, 0xAAAA, 4, 5, 6, 0xBBBB};
  ASSERT_TRUE(p.ImportPacked16(packed, sizeof(packed), false, true));
  EXPECT_EQ(Samples(p), (std::vector<float>{1, 2, 65535, 4, 5, 6}));
  ASSERT_TRUE(p.ImportPacked16(packed, sizeof(packed), true, false));
  EXPECT_EQ(Samples(p), (std::vector<float>{1, 2, -1, float(int16_t(0xAAAA)), 4, 5}));
  EXPECT_TRUE(p.ImportPacked16(packed, 14, false, true));  // last row needs no padding
  EXPECT_FALSE(p.ImportPacked16(packed, 13, false, true));
  EXPECT_FALSE(p.ImportPacked16(packed, 11, false, false));
  const int32_t p32[] = {-5, 6, INT32_MIN, 8, 9, 10};
  ASSERT_TRUE(p.ImportPacked32(p32, sizeof(p32), true));
  EXPECT_EQ(Samples(p), (std::vector<float>{-5, 6, float(INT32_MIN), 8, 9, 10}));
  ASSERT_TRUE(p.ImportPacked32(p32, sizeof(p32), false));
  EXPECT_EQ(p.Data[0], 4294967291.0f);
  EXPECT_FALSE(p.ImportPacked32(p32, sizeof(p32) - 1, true));
}

// ---------------------------------------------------------------------------------------
// Degenerate planes through every operation

TEST(ImaBWSweep, TinyAndEmptyPlanesSurviveEveryOperation) {
  struct Shape { const char* name; int w, h; bool fail; };
  const Shape shapes[] = {{"1x1", 1, 1, false}, {"1xN", 1, 37, false}, {"Nx1", 41, 1, false},
                          {"SetSize(0,-5)", 0, -5, false}, {"2x2", 2, 2, false}, {"failed", 900, 900, true}};
  for (const auto& s : shapes) {
    SCOPED_TRACE(s.name);
    TBWImage p, o;
    if (s.fail) FailNextPixelAllocations(1);
    p.SetSize(s.w, s.h);
    FailNextPixelAllocations(0);
    EXPECT_EQ(p.IsAllocated(), !s.fail);
    o.SetSize(s.w, s.h);
    if (o.IsAllocated()) o.Fill(2);
    for (int i = 0; i < p.Count; ++i) p.Data[i] = float(i % 5);
    TAMask m;
    m.SetSize(p.Width, p.Height);
    if (m.Allocate()) m.Fill(30000);
    p.Mask = &m;
    const float k9[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1}, w4[4] = {0.25f, 0.25f, 0.25f, 0.25f};
    for (int c = -2; c <= 2; ++c)
      for (int r = -2; r <= 2; ++r) {
        p.GetPixel(c, r);
        p.GetPixelMirror(c, r);
        p.GetPixelClamp(c, r);
        p.SetPixelMasked(c, r, true, 1);
        for (int z : {1, 2, 5, 12}) p.GetPixelZoomed(c, r, z);
        p.Kernel3x3(c, r, k9);
        p.Bilinear(float(c) + 0.3f, float(r) - 0.6f);
        p.BilinearClamped(float(c), float(r));
        p.BilinearWeighted(c, r, w4);
        p.GridMean(c, r, 1, 10);
        p.BlockSum(c, r, 3);
      }
    auto cl = p.Clone();
    EXPECT_EQ(cl != nullptr, !s.fail);
    TBWImage t;
    p.AssignTo(t);
    p.ExtractTo(t, -1, -1);
    p.CopyRowTo(t, 0);
    for (auto op : std::vector<std::function<void()>>{
             [&] { p.AddConst(1); }, [&] { p.AddWrap(3); }, [&] { p.MulConst(2); },
             [&] { p.Linear(1, 2); }, [&] { p.LinearAround(1, 2, 3); }, [&] { p.LogScale(1); },
             [&] { p.Clip(0, 3); }, [&] { p.ReplaceBelow(0, 1); }, [&] { p.ReplaceAbove(0, 1); },
             [&] { p.Abs(); }, [&] { p.RoundAll(); }, [&] { p.FlipH(); }, [&] { p.FlipV(); },
             [&] { p.SwapFieldRows(); }, [&] { p.InterpolateRow(0); }, [&] { p.InterpolateColumn(0); },
             [&] { p.Shift(0.5, -0.5, false); }, [&] { p.Shift(1, 1, false); }, [&] { p.Shift(-3.3, 2.2, false); },
             [&] { p.Add(o); }, [&] { p.Subtract(o); }, [&] { p.MultiplyNormalized(o, 0); },
             [&] { p.DivideNormalized(o, 0); }, [&] { p.Min(o); }, [&] { p.Max(o); }, [&] { p.AbsDiff(o); },
             [&] { p.Blend(o, 0.5, 0.5); }, [&] { p.LinearFrom(o, 1, 2, 3); }, [&] { p.MergeMasked(o, 1, true); },
             [&] { p.MergeMasked(o); }, [&] { p.Fill(1); }})
      op();
    double x, y, sum, sd;
    float a, b, c, mn, mx;
    std::vector<float> buf(50);
    std::vector<int32_t> bins(64);
    EXPECT_TRUE(std::isfinite(p.Sum()));
    EXPECT_TRUE(std::isfinite(p.Mean()));
    p.SumAndStdDev(sum, sd);
    EXPECT_TRUE(std::isfinite(sd));
    p.MinMax(mn, mx);
    p.MinMaxRounded(mn, mx);
    p.Centroid(0, x, y);
    p.CentroidIn(TPixelRect{-3, -3, 5, 5}, 0, x, y);
    EXPECT_TRUE(std::isfinite(p.EstimateBackground()));
    p.BackgroundAndNoise(a, b);
    EXPECT_TRUE(std::isfinite(a) && std::isfinite(b));
    p.Quantiles(0.1, 0.5, 1.0, a, b, c);
    p.Quantiles2(0.3, 0.1, a, b);
    EXPECT_LE(p.Sample(buf.data(), 50, true), std::max(p.Count, 0));
    p.SampledMaxAtMost(10);
    p.Histogram(bins, 64, true, false, 5, 0);
    p.Histogram(bins, 64, false, true, 5, 0);
    const float d = p.DiagonalScore(true);
    EXPECT_TRUE(d >= 0 && d <= 1);
    EXPECT_EQ(p.ConvertRawSamples(kRawInt16, true), !s.fail);
    const uint16_t raw[64] = {};
    p.ImportPacked16(raw, sizeof(raw), false, true);
    p.ImportPacked32(raw, sizeof(raw), true);
    p.MaskBounds();
  }
  FailNextPixelAllocations(0);
}
