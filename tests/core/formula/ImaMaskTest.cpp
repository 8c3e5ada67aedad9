#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "base/EOrluError.h"
#include "base/PixelMemory.h"
#include "formula/ImaMask.h"
#include "image/ImaColor.h"
#include "visual/ImaRender.h"

using namespace orlu;

TEST(ImaMask, StorageExistsOnlyWhileInUse) {
  TAMask m;
  m.SetSize(5, 4);
  EXPECT_EQ(m.Count, 20);
  EXPECT_FALSE(m.HasStorage());
  EXPECT_EQ(m.Weight(1, 1), 0);
  m.SetWeight(1, 1, 9);  // ignored without storage
  ASSERT_TRUE(m.Allocate());
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 5; ++x) EXPECT_EQ(m.Weight(x, y), 0);
  m.SetWeight(4, 3, 65535);
  m.SetWeight(5, 3, 1);  // outside: ignored
  EXPECT_EQ(m.Weight(4, 3), 65535);
  EXPECT_EQ(m.Weights()[4 + 3 * 5], 65535);
  m.SetSize(5, 4);  // same size keeps the weights
  EXPECT_TRUE(m.HasStorage());
  m.SetSize(6, 4);  // a size change drops them
  EXPECT_FALSE(m.HasStorage());
  m.SetSize(-3, 2);
  EXPECT_EQ(m.Count, 0);
  EXPECT_FALSE(m.Allocate());
  m.SetSize(100, 100);
  FailNextPixelAllocations(1);
  EXPECT_FALSE(m.Allocate());
  EXPECT_FALSE(m.HasStorage());
}

TEST(ImaMask, BoundsCoverTheNonZeroWeights) {
  TAMask m;
  m.SetSize(8, 6);
  EXPECT_EQ(m.EnsureBounds(), (TPixelRect{0, 0, 7, 5}));  // no storage: the whole mask
  ASSERT_TRUE(m.Allocate());
  EXPECT_TRUE(m.EnsureBounds().IsEmpty());
  m.SetWeight(6, 1, 5);
  m.SetWeight(2, 3, 1);
  m.SetWeight(3, 4, 7);
  EXPECT_FALSE(m.BoundsValid());
  // Left and right come from any row, not just the first and last covered ones.
  EXPECT_EQ(m.EnsureBounds(), (TPixelRect{2, 1, 6, 4}));
  EXPECT_TRUE(m.BoundsValid());
  m.Fill(0);
  EXPECT_TRUE(m.EnsureBounds().IsEmpty());
  m.Fill(1);
  EXPECT_EQ(m.EnsureBounds(), (TPixelRect{0, 0, 7, 5}));
  m.Release();
  EXPECT_FALSE(m.HasStorage());
}

// ---------------------------------------------------------------------------------------
// Helpers shared by the cases below

namespace {

// Rows top-down as text, '#' for non-zero, '.' for 0 (row 0 is the last line).
std::string Picture(const TAMask& m) {
  std::string s;
  for (int y = m.Height - 1; y >= 0; --y) {
    for (int x = 0; x < m.Width; ++x) s += m.Weight(x, y) ? '#' : '.';
    s += '\n';
  }
  return s;
}

void MakeMask(TAMask& m, int w, int h) {
  m.SetSize(w, h);
  ASSERT_TRUE(m.Allocate());
}

// The classic even-odd test of one point against every edge, (xi, yi) the vertex and (xj, yj)
// the next one, with the same arithmetic as a careful scan-line fill must reproduce.
bool InsideEvenOdd(const std::vector<TMaskPoint>& v, double x, double y) {
  bool c = false;
  const size_t n = v.size();
  for (size_t i = 0; i < n; ++i) {
    const double xi = v[i].X, yi = v[i].Y;
    const double xj = v[(i + 1) % n].X, yj = v[(i + 1) % n].Y;
    if ((yi > y) != (yj > y) && x < (xj - xi) * (y - yi) / (yj - yi) + xi) c = !c;
  }
  return c;
}

// A float image whose pixel values are the integers 0..65535 of a pattern, and a mask with
// the same numbers as weights, so that a transform of both can be compared pixel by pixel.
void PatternImage(TAImage& img, int w, int h) {
  img.SetSize(w, h, false);
  img.IsFloat = 1;
  ASSERT_TRUE(img.Mask->Allocate());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const uint16_t v = uint16_t((x * 977 + y * 331 + (x * y) % 97) % 65536);
      img.MainPlane->SetPixel(x, y, float(v));
      img.Mask->SetWeight(x, y, v);
    }
}

void ExpectMaskMatchesPlane(const TAMask& m, const TBWImage& p, int tol, const char* what) {
  ASSERT_EQ(m.Width, p.Width) << what;
  ASSERT_EQ(m.Height, p.Height) << what;
  int bad = 0;
  for (int y = 0; y < p.Height; ++y)
    for (int x = 0; x < p.Width; ++x) {
      const double want = p.GetPixel(x, y);
      if (std::fabs(m.Weight(x, y) - want) > tol && ++bad < 5)
        ADD_FAILURE() << what << " at (" << x << ", " << y << "): mask " << m.Weight(x, y)
                      << ", image " << want;
    }
  EXPECT_EQ(bad, 0) << what;
}

}  // namespace

TEST(ImaMask, SerialIdsAreSharedWithImages) {
  TAMask a, b;
  EXPECT_GE(a.SerialId, 1);
  EXPECT_GT(b.SerialId, a.SerialId);
  TAImage img;
  EXPECT_EQ(img.Mask->SerialId, img.SerialId);  // the image gives the mask its own number
  TAImage other;
  EXPECT_NE(other.Mask->SerialId, img.Mask->SerialId);
  EXPECT_GT(other.SerialId, b.SerialId);  // one counter for both
}

// ---- Shapes ----

TEST(ImaMaskShapes, SmallEllipseAndRectangleByHand) {
  TAMask m;
  MakeMask(m, 7, 4);
  // 5 × 3 ellipse: centre (2, 1), R = 2.5, the short axis scaled by 5/3.
  m.DrawRectOrEllipse(4, 2, 0, 0, true, 65535);  // corners in any order
  EXPECT_EQ(Picture(m),
            ".......\n"
            ".###...\n"
            "#####..\n"
            ".###...\n");
  m.Fill(0);
  m.DrawRectOrEllipse(5, 1, 6, 3, false, 7);
  EXPECT_EQ(Picture(m),
            ".....##\n"
            ".....##\n"
            ".....##\n"
            ".......\n");
  EXPECT_EQ(m.Weight(6, 3), 7);
}

TEST(ImaMaskShapes, EllipsePastTheEdgeKeepsItsShape) {
  // The same ellipse drawn on a large mask and on a small window of it: the window must
  // be an exact crop, not an ellipse squeezed into what is left inside.
  struct Row {
    int x0, y0, x1, y1;
  };
  const Row rows[] = {{-6, -3, 9, 5}, {4, 2, 25, 14}, {-20, -1, 3, 30}, {1, 1, 4, 12}};
  constexpr int kOff = 40;
  for (const Row& r : rows) {
    for (bool ellipse : {true, false}) {
      TAMask big, small;
      MakeMask(big, 100, 100);
      MakeMask(small, 12, 9);
      big.DrawRectOrEllipse(r.x0 + kOff, r.y0 + kOff, r.x1 + kOff, r.y1 + kOff, ellipse, 65535);
      small.DrawRectOrEllipse(r.x0, r.y0, r.x1, r.y1, ellipse, 65535);
      for (int y = 0; y < small.Height; ++y)
        for (int x = 0; x < small.Width; ++x)
          ASSERT_EQ(small.Weight(x, y), big.Weight(x + kOff, y + kOff))
              << "corners " << r.x0 << "," << r.y0 << " " << r.x1 << "," << r.y1 << " at " << x
              << "," << y;
    }
  }
}

TEST(ImaMaskShapes, LinesAreIntegerLinesAndFarEndpointsAreCheap) {
  // Every pixel column (or row, for steep lines) gets exactly one pixel, no farther than half
  // a pixel from the true line, both ends included.
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> u(0, 29);
  for (int t = 0; t < 200; ++t) {
    const int x0 = u(rng), y0 = u(rng), x1 = u(rng), y1 = u(rng);
    TAMask m;
    MakeMask(m, 30, 30);
    m.DrawLine(x0, y0, x1, y1, 1);
    const bool xMajor = std::abs(x1 - x0) >= std::abs(y1 - y0);
    const int n = std::max(std::abs(x1 - x0), std::abs(y1 - y0));
    int count = 0;
    for (int y = 0; y < 30; ++y)
      for (int x = 0; x < 30; ++x) count += m.Weight(x, y) != 0;
    ASSERT_EQ(count, n + 1) << x0 << "," << y0 << " " << x1 << "," << y1;
    EXPECT_EQ(m.Weight(x0, y0), 1);
    EXPECT_EQ(m.Weight(x1, y1), 1);
    for (int i = 0; i <= n; ++i) {
      const int a = xMajor ? (x1 >= x0 ? x0 + i : x0 - i) : (y1 >= y0 ? y0 + i : y0 - i);
      int hits = 0;
      for (int b = 0; b < 30; ++b) {
        const int x = xMajor ? a : b, y = xMajor ? b : a;
        if (!m.Weight(x, y)) continue;
        ++hits;
        const double exact = n == 0 ? (xMajor ? y0 : x0)
                                    : (xMajor ? y0 + double(y1 - y0) * (x - x0) / (x1 - x0)
                                              : x0 + double(x1 - x0) * (y - y0) / (y1 - y0));
        EXPECT_LE(std::fabs(b - exact), 0.5);
      }
      EXPECT_EQ(hits, 1);
    }
  }
  // A line between far endpoints crosses a 10 × 10 mask on its diagonal and returns at once.
  TAMask m;
  MakeMask(m, 10, 10);
  m.DrawLine(-2000000000, -2000000000, 2000000000, 2000000000, 9);
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 10; ++x) EXPECT_EQ(m.Weight(x, y), x == y ? 9 : 0);
}

TEST(ImaMaskShapes, PolygonFillMatchesThePerPixelEvenOddTest) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> u(-8, 48);
  std::vector<std::vector<TMaskPoint>> polys = {
      {{2, 2}, {30, 4}, {16, 30}},                                     // triangle
      {{1, 1}, {35, 1}, {35, 30}, {18, 10}, {1, 30}},                  // concave
      {{18, 1}, {24, 34}, {2, 12}, {35, 12}, {10, 34}},                // self-crossing star
      {{-10, -5}, {50, 5}, {20, 45}},                                  // beyond the edges
      {{5, 5}, {20, 5}, {20, 5}, {20, 20}, {5, 20}},                   // repeated vertex
  };
  for (int t = 0; t < 30; ++t) {
    std::vector<TMaskPoint> p;
    const int n = 3 + t % 9;
    for (int i = 0; i < n; ++i) p.push_back({u(rng), u(rng)});
    polys.push_back(p);
  }
  for (size_t k = 0; k < polys.size(); ++k) {
    const auto& p = polys[k];
    TAMask filled, outline;
    MakeMask(filled, 40, 36);
    MakeMask(outline, 40, 36);
    filled.FillPolygon(p, 65535);
    outline.DrawPolygon(p, 65535);
    for (int y = 0; y < 36; ++y)
      for (int x = 0; x < 40; ++x) {
        const bool want = outline.Weight(x, y) != 0 || InsideEvenOdd(p, x, y);
        ASSERT_EQ(filled.Weight(x, y) != 0, want) << "polygon " << k << " at " << x << "," << y;
      }
  }
  // Fewer than three vertices: the outline only.
  TAMask m;
  MakeMask(m, 10, 10);
  const std::vector<TMaskPoint> two = {{1, 1}, {8, 1}};
  m.FillPolygon(two, 1);
  EXPECT_EQ(m.EnsureBounds(), (TPixelRect{1, 1, 8, 1}));
}

TEST(ImaMaskShapes, BrushMarksCarryTheValue) {
  TAMask m;
  MakeMask(m, 4, 3);
  TBgraBitmap bmp;
  ASSERT_TRUE(bmp.SetSize(4, 3));
  bmp.Fill(0xFF102030u);
  bmp.SetPixel(1, 0, 0xCCE01000u);  // the brush's mark
  bmp.SetPixel(3, 2, 0xCC000000u);
  bmp.SetPixel(2, 2, 0xCDE01000u);  // another alpha: not a mark
  ASSERT_TRUE(m.FromBrushBitmap(bmp, 500));
  EXPECT_EQ(Picture(m), "...#\n....\n.#..\n");
  EXPECT_EQ(m.Weight(1, 0), 500);
  TBgraBitmap wrong;
  ASSERT_TRUE(wrong.SetSize(3, 3));
  EXPECT_FALSE(m.FromBrushBitmap(wrong, 1));
}

// ---- Fill and value selection ----

TEST(ImaMaskFill, LargeRegionFillsCompletely) {
  // 4000 × 4000 with walls in odd columns on odd rows: one connected region made of
  // millions of separate spans, far beyond any fixed-size work stack.
  constexpr int N = 4000;
  TAMask m;
  MakeMask(m, N, N);
  uint16_t* w = m.Weights();
  int64_t open = 0;
  for (int y = 0; y < N; ++y)
    for (int x = 0; x < N; ++x) {
      const bool wall = (x & 1) && (y & 1);
      w[x + int64_t(y) * N] = wall ? 1 : 0;
      open += !wall;
    }
  m.FloodFill(0, 0, 65535);
  int64_t filled = 0, walls = 0;
  for (int64_t i = 0; i < int64_t(N) * N; ++i) {
    filled += w[i] == 65535;
    walls += w[i] == 1;
  }
  EXPECT_EQ(filled, open);
  EXPECT_EQ(walls, int64_t(N) * N - open);
}

TEST(ImaMaskFill, FourConnectedOnlyAndNothingWhenAlreadyValue) {
  TAMask m;
  MakeMask(m, 5, 5);
  // A diagonal wall splits the mask: 4-connectivity must not leak through its corners.
  for (int i = 0; i < 5; ++i) m.SetWeight(i, i, 9);
  m.FloodFill(0, 4, 100);
  EXPECT_EQ(Picture(m), "#####\n####.\n###..\n##...\n#....\n");  // the wall shows too
  EXPECT_EQ(m.Weight(0, 1), 100);
  EXPECT_EQ(m.Weight(1, 1), 9);
  EXPECT_EQ(m.Weight(1, 0), 0);
  m.FloodFill(0, 4, 100);  // start weight already 100: nothing
  m.FloodFill(7, 0, 100);  // outside: nothing
  EXPECT_EQ(m.Weight(1, 0), 0);
}

TEST(ImaMaskFill, ToleranceSelectsByValueAndRegion) {
  TAImage img;
  img.SetSize(6, 3, false);
  img.IsFloat = 1;
  // Two separate patches of value 10 (left and right), 10.4 nearby, a wall of 50 between.
  const float rows[3][6] = {{10, 10, 50, 10, 10.4f, 20},
                            {10, 10, 50, 10, 10, 20},
                            {10.6f, 10, 50, 10, 10, 20}};
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 6; ++x) img.MainPlane->SetPixel(x, y, rows[y][x]);
  TAMask& m = *img.Mask;
  struct Row {
    const char* name;
    bool fill;
    double tol;
    const char* want;
  };
  // Expected pictures show the top row (y = 2) first.
  const Row cases[] = {
      {"fill, 0", true, 0, ".#....\n##....\n##....\n"},  // (0, 2) is 10.6: not in
      {"fill, 0.5", true, 0.5, ".#....\n##....\n##....\n"},  // 10.4 is cut off by the 50s
      {"fill, 0.7", true, 0.7, "##....\n##....\n##....\n"},
      {"value, 0.5", false, 0.5, ".#.##.\n##.##.\n##.##.\n"},
      {"value, 40", false, 40, "######\n######\n######\n"},  // at most t: 50 is in
  };
  for (const Row& c : cases) {
    m.Release();
    m.ApplyFillOrValue(img, 0, 0, c.tol, c.fill, TMaskMode::Replace);
    EXPECT_EQ(Picture(m), c.want) << c.name;
    EXPECT_EQ(m.Weight(0, 0), 65535) << c.name;
    EXPECT_TRUE(m.Changed);
  }
  // A flat image is selected whole by both tools at tolerance 0.
  TAImage flat;
  flat.SetSize(9, 7, false);
  flat.Fill(3);
  for (bool fill : {true, false}) {
    flat.Mask->Release();
    flat.Mask->ApplyFillOrValue(flat, 4, 4, 0, fill, TMaskMode::Replace);
    EXPECT_EQ(flat.Mask->EnsureBounds(), (TPixelRect{0, 0, 8, 6}));
    EXPECT_EQ(flat.Mask->FirstNonZero(), 0);
    EXPECT_EQ(flat.Mask->Weight(8, 6), 65535);
  }
  // Colour: each plane must be within tolerance.
  TAImage col;
  col.SetSize(3, 1, true);
  col.Fill(5);
  col.RedPlane->SetPixel(1, 0, 9);
  col.Mask->ApplyFillOrValue(col, 0, 0, 1, false, TMaskMode::Replace);
  EXPECT_EQ(Picture(*col.Mask), "#.#\n");
}

// ---- Combination modes ----

TEST(ImaMaskModes, ShapesCombineWithTheMaskAsItWas) {
  // Old mask: rectangle columns 0..3; new shape: rectangle columns 2..5 (one row, 8 wide).
  struct Row {
    TMaskMode mode;
    const char* want;
  };
  const Row cases[] = {{TMaskMode::Replace, "..####..\n"},
                       {TMaskMode::Add, "######..\n"},
                       {TMaskMode::Subtract, "##......\n"},
                       {TMaskMode::Intersect, "..##....\n"}};
  for (const Row& c : cases) {
    TAMask m;
    m.SetSize(8, 1);
    m.ApplyRectOrEllipse(0, 0, 3, 0, false, TMaskMode::Replace);
    m.ApplyRectOrEllipse(2, 0, 5, 0, false, c.mode);
    EXPECT_EQ(Picture(m), c.want) << int(c.mode);
    const std::vector<TMaskPoint> poly = {{2, 0}, {5, 0}, {5, 0}};
    m.ApplyRectOrEllipse(0, 0, 3, 0, false, TMaskMode::Replace);
    m.ApplyPolygon(poly, c.mode);
    EXPECT_EQ(Picture(m), c.want) << "polygon " << int(c.mode);
  }
  // Subtract on an empty mask leaves it empty.
  TAMask e;
  e.SetSize(6, 6);
  e.ApplyRectOrEllipse(1, 1, 4, 4, false, TMaskMode::Subtract);
  EXPECT_TRUE(e.EnsureBounds().IsEmpty());
  // Intersect of a rectangle with an ellipse over half of it keeps only the overlap.
  TAMask a, b;
  a.SetSize(20, 20);
  b.SetSize(20, 20);
  a.ApplyRectOrEllipse(0, 0, 9, 19, false, TMaskMode::Replace);
  a.ApplyRectOrEllipse(4, 4, 15, 15, true, TMaskMode::Intersect);
  ASSERT_TRUE(b.Allocate());
  b.DrawRectOrEllipse(4, 4, 15, 15, true, 65535);
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 20; ++x) ASSERT_EQ(a.Weight(x, y), x <= 9 ? b.Weight(x, y) : 0);
}

TEST(ImaMaskModes, FillResultsCombineWithSoftWeights) {
  TAImage img;
  img.SetSize(4, 1, false);
  for (int x = 0; x < 4; ++x) img.MainPlane->SetPixel(x, 0, x < 2 ? 1.0f : 9.0f);
  struct Row {
    TMaskMode mode;
    uint16_t want[4];
  };
  // Old weights 40000, 0, 40000, 0; the fill at x = 0 selects columns 0 and 1.
  const Row cases[] = {{TMaskMode::Replace, {65535, 65535, 0, 0}},
                       {TMaskMode::Add, {65535, 65535, 40000, 0}},
                       {TMaskMode::Subtract, {0, 0, 40000, 0}},
                       {TMaskMode::Intersect, {40000, 0, 0, 0}}};
  for (const Row& c : cases) {
    TAMask& m = *img.Mask;
    m.Release();
    ASSERT_TRUE(m.Allocate());
    m.SetWeight(0, 0, 40000);
    m.SetWeight(2, 0, 40000);
    m.ApplyFillOrValue(img, 0, 0, 0.5, true, c.mode);
    for (int x = 0; x < 4; ++x) EXPECT_EQ(m.Weight(x, 0), c.want[x]) << int(c.mode) << " x " << x;
  }
}

TEST(ImaMaskModes, ArithmeticOnWeights) {
  TAMask a, b;
  MakeMask(a, 4, 1);
  MakeMask(b, 4, 1);
  const uint16_t av[4] = {0, 32768, 65535, 40000}, bv[4] = {65535, 32768, 65535, 30000};
  auto load = [&] {
    for (int x = 0; x < 4; ++x) {
      a.SetWeight(x, 0, av[x]);
      b.SetWeight(x, 0, bv[x]);
    }
  };
  load();
  a.MultiplyBy(b);  // 32768² / 65535 = 16384.25; 40000 · 30000 / 65535 = 18310.826
  EXPECT_EQ(a.Weight(1, 0), 16384);
  EXPECT_EQ(a.Weight(2, 0), 65535);
  EXPECT_EQ(a.Weight(3, 0), 18311);
  load();
  a.AddMask(b);
  EXPECT_EQ(a.Weight(0, 0), 65535);
  EXPECT_EQ(a.Weight(1, 0), 65535);  // saturates
  load();
  a.SubtractFrom(b);  // b − a, at least 0
  EXPECT_EQ(a.Weight(0, 0), 65535);
  EXPECT_EQ(a.Weight(3, 0), 0);
  load();
  a.Invert();
  EXPECT_EQ(a.Weight(0, 0), 65535);
  EXPECT_EQ(a.Weight(2, 0), 0);
  EXPECT_EQ(a.Weight(1, 0), 32767);
  TAMask other;
  MakeMask(other, 5, 1);
  load();
  a.AddMask(other);  // another size: nothing
  EXPECT_EQ(a.Weight(1, 0), 32768);
}

// ---- Geometry follows the image ----

TEST(ImaMaskGeometry, FlipsFollowTheImage) {
  for (int which = 0; which < 2; ++which) {
    TAImage img;
    PatternImage(img, 13, 7);
    if (which == 0)
      img.FlipH(false, true);
    else
      img.FlipV(false, true);
    ExpectMaskMatchesPlane(*img.Mask, *img.MainPlane, 0, which == 0 ? "FlipH" : "FlipV");
  }
}

TEST(ImaMaskGeometry, Rotate90FollowsTheImageRotation) {
  for (bool left : {true, false}) {
    TAImage img;
    PatternImage(img, 9, 5);
    const int W = 9, H = 5;
    // The image rotation writes source (x, y) to (H − 1 − y, x) (left) or (y, W − 1 − x).
    TBWImage rotated(H, W);
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        const float v = img.MainPlane->GetPixel(x, y);
        if (left)
          rotated.SetPixel(H - 1 - y, x, v);
        else
          rotated.SetPixel(y, W - 1 - x, v);
      }
    TAMask out;
    ASSERT_TRUE(out.Rotate90(*img.Mask, left));
    ExpectMaskMatchesPlane(out, rotated, 0, left ? "left" : "right");
    // In place gives the same.
    ASSERT_TRUE(img.Mask->Rotate90(*img.Mask, left));
    ExpectMaskMatchesPlane(*img.Mask, rotated, 0, "in place");
  }
}

TEST(ImaMaskGeometry, ShiftFollowsThePlaneShift) {
  const int shifts[][2] = {{3, 0}, {0, -2}, {-4, 5}, {2, 3}, {20, 1}, {0, 0}};
  for (const auto& s : shifts) {
    TAImage img;
    PatternImage(img, 11, 8);
    img.MainPlane->OutsideValue = 0;
    img.MainPlane->Shift(s[0], s[1], true);
    img.Mask->Shift(s[0], s[1]);
    ExpectMaskMatchesPlane(*img.Mask, *img.MainPlane, 0, "shift");
  }
}

TEST(ImaMaskGeometry, ResizeAndRotationSampleLikeThePlanes) {
  // Positions reach the plane in single precision: one level of tolerance.
  const int sizes[][2] = {{20, 13}, {7, 5}, {31, 9}};
  for (const auto& sz : sizes) {
    TAImage img;
    PatternImage(img, 15, 11);
    TBWImage want(sz[0], sz[1]);
    const double r = 15.0 / sz[0], s = 11.0 / sz[1];
    for (int y = 0; y < sz[1]; ++y)
      for (int x = 0; x < sz[0]; ++x)
        want.SetPixel(x, y, std::nearbyint(img.MainPlane->BilinearClamped(float(x * r), float(y * s))));
    TAMask out;
    out.SetSize(sz[0], sz[1]);
    ASSERT_TRUE(img.Mask->CopyResized(out));
    ExpectMaskMatchesPlane(out, want, 1, "resize");
  }
  // Rotation about a point (same size) and into a larger frame (about the middles).
  struct Row {
    double angle, cx, cy;
    int w, h;
  };
  const Row rows[] = {{30, 7, 5, 15, 11}, {-90, 3.5, 2, 15, 11}, {45, 0, 0, 21, 19}};
  for (const Row& rw : rows) {
    TAImage img;
    PatternImage(img, 15, 11);
    img.MainPlane->OutsideValue = 0;
    const bool same = rw.w == 15 && rw.h == 11;
    const double px = same ? rw.cx : 7, py = same ? rw.cy : 5;
    const double qx = same ? px : (rw.w - 1) / 2.0, qy = same ? py : (rw.h - 1) / 2.0;
    const double t = rw.angle * std::acos(-1.0) / 180;
    TBWImage want(rw.w, rw.h);
    for (int y = 0; y < rw.h; ++y)
      for (int x = 0; x < rw.w; ++x) {
        const double dx = x - qx, dy = y - qy;
        const float v = img.MainPlane->Bilinear(float(px + std::cos(t) * dx + std::sin(t) * dy),
                                                float(py - std::sin(t) * dx + std::cos(t) * dy));
        want.SetPixel(x, y, std::nearbyint(v));
      }
    TAMask out;
    out.SetSize(rw.w, rw.h);
    ASSERT_TRUE(out.RotateBy(*img.Mask, rw.angle, rw.cx, rw.cy));
    ExpectMaskMatchesPlane(out, want, 1, "rotate");
  }
}

TEST(ImaMaskGeometry, ExtractAndCopyKeepTheMaskWithThePixels) {
  TAImage img;
  PatternImage(img, 12, 10);
  TAImage part;
  part.SetSize(6, 5, false);
  img.ExtractTo(part, 8, -2, false);  // partly outside: pixels OutsideValue 0, weights 0
  ExpectMaskMatchesPlane(*part.Mask, *part.MainPlane, 0, "extract");
  TAImage full;
  img.CopyTo(full);
  ExpectMaskMatchesPlane(*full.Mask, *full.MainPlane, 0, "copy");
}

// ---- Smoothing ----

namespace {

// Brute-force 2-D Gaussian with edges repeating the edge weight, in double.
std::vector<double> ReferenceBlur(const TAMask& m, double sigma, int taps) {
  std::vector<double> k(taps + 1);
  double s = 0;
  for (int i = 0; i <= taps; ++i) k[i] = std::exp(-i * i / (2 * sigma * sigma));
  for (int i = -taps; i <= taps; ++i) s += k[std::abs(i)];
  // Taps below 2^-9 of the total are dropped and the rest scaled back to a sum of 1.
  double kept = 0;
  for (int i = -taps; i <= taps; ++i)
    if (k[std::abs(i)] / s >= 1.0 / 512) kept += k[std::abs(i)];
  for (int i = 0; i <= taps; ++i) k[i] = k[i] / s >= 1.0 / 512 ? k[i] / kept : 0;
  std::vector<double> out(size_t(m.Count));
  for (int y = 0; y < m.Height; ++y)
    for (int x = 0; x < m.Width; ++x) {
      double v = 0;
      for (int j = -taps; j <= taps; ++j)
        for (int i = -taps; i <= taps; ++i)
          v += k[std::abs(i)] * k[std::abs(j)] * m.WeightClamped(x + i, y + j);
      out[size_t(x + y * m.Width)] = v;
    }
  return out;
}

void SmoothFixture(TAMask& m) {
  MakeMask(m, 53, 41);
  m.DrawRectOrEllipse(10, 8, 30, 25, true, 65535);
  m.DrawRectOrEllipse(0, 30, 6, 40, false, 30000);  // touching two edges
  m.SetWeight(45, 5, 65535);                         // a lone pixel
}

}  // namespace

TEST(ImaMaskSmooth, MatchesABruteForceGaussian) {
  // Full resolution: the only differences are the intermediate rounding to whole weights and
  // float sums, together below one level.
  for (double sigma : {0.7, 2.0, 3.0, 4.5, 6.0}) {
    TAMask src, out;
    SmoothFixture(src);
    out.SetSize(src.Width, src.Height);
    out.Smooth(src, sigma);
    const auto want = ReferenceBlur(src, sigma, sigma <= 3 ? 10 : 20);
    int worst = 0;
    for (int i = 0; i < src.Count; ++i)
      worst = std::max(worst, int(std::fabs(out.Weights()[i] - want[size_t(i)]) + 0.5));
    EXPECT_LE(worst, 1) << "sigma " << sigma;
    // In place gives the same weights.
    src.Smooth(src, sigma);
    EXPECT_EQ(0, std::memcmp(src.Weights(), out.Weights(), size_t(src.Count) * 2)) << sigma;
  }
}

TEST(ImaMaskSmooth, WideKernelsApproximateTheFullGaussian) {
  // Above sigma 6 the blur runs at half resolution: detail is placed on pairs of pixels,
  // moving it by up to half a pixel, which costs up to half the steepest slope of the
  // blurred step, 65535 / (sigma √(2π)); a little more allows for the tails being cut at
  // other distances. A wrong sigma or a whole-pixel offset exceeds this several times.
  for (double sigma : {8.0, 12.0}) {
    TAMask src, out;
    SmoothFixture(src);
    out.SetSize(src.Width, src.Height);
    out.Smooth(src, sigma);
    const auto want = ReferenceBlur(src, sigma, 40);
    double worst = 0;
    for (int i = 0; i < src.Count; ++i)
      worst = std::max(worst, std::fabs(out.Weights()[i] - want[size_t(i)]));
    EXPECT_LE(worst, 0.6 * 65535 / (sigma * std::sqrt(2 * std::acos(-1.0)))) << "sigma " << sigma;
  }
}

TEST(ImaMaskSmooth, FullSelectionStaysFullAndSizesMustMatch) {
  for (double sigma : {1.0, 3.5, 20.0}) {
    TAMask m, out;
    MakeMask(m, 30, 20);
    m.Fill(65535);
    out.SetSize(30, 20);
    out.Smooth(m, sigma);
    EXPECT_EQ(out.EnsureBounds(), (TPixelRect{0, 0, 29, 19}));
    for (int i = 0; i < out.Count; ++i) ASSERT_EQ(out.Weights()[i], 65535) << sigma;
  }
  // Masks narrower than the kernel, on both paths.
  const int tiny[][2] = {{1, 1}, {1, 7}, {3, 2}, {2, 9}};
  for (const auto& sz : tiny)
    for (double sigma : {2.0, 20.0}) {
      TAMask m;
      MakeMask(m, sz[0], sz[1]);
      m.Fill(65535);
      m.Smooth(m, sigma);
      for (int i = 0; i < m.Count; ++i) ASSERT_EQ(m.Weights()[i], 65535) << sz[0] << "x" << sz[1];
    }
  TAMask a, b;
  MakeMask(a, 5, 5);
  b.SetSize(6, 5);
  try {
    b.Smooth(a, 2);
    ADD_FAILURE() << "no error";
  } catch (const EOrluError& e) {
    EXPECT_STREQ(e.what(), "Mask Gauss Size");
  }
}

TEST(ImaMaskSmooth, TruncateAndSliders) {
  TAMask m;
  MakeMask(m, 4, 1);
  const uint16_t v[4] = {1, 32768, 32769, 65535};
  auto load = [&] {
    for (int x = 0; x < 4; ++x) m.SetWeight(x, 0, v[x]);
  };
  for (double t : {0.0, 1.0, -3.0}) {
    load();
    m.Truncate(t);
    for (int x = 0; x < 4; ++x) EXPECT_EQ(m.Weight(x, 0), v[x]) << t;
  }
  load();
  m.Truncate(0.5);  // m = Round(32767.5) = 32768 (half to even)
  EXPECT_EQ(m.Weight(1, 0), 0);
  EXPECT_EQ(m.Weight(2, 0), 32769);

  struct Slider {
    int p;
    double s;
  };
  const Slider ss[] = {{0, 0}, {1000, 100}, {500, 37.5}, {100, 5.5}};
  for (const Slider& r : ss) {
    EXPECT_DOUBLE_EQ(SmoothFromSlider(r.p), r.s) << r.p;
    EXPECT_EQ(SliderFromSmooth(r.s), r.p) << r.s;
  }
  EXPECT_EQ(SliderFromSmooth(-4), 0);
  EXPECT_EQ(SliderFromSmooth(1e9), 1000);
  EXPECT_EQ(TruncateFromSlider(0), 0.0);  // 1e-5 is below 5e-5
  EXPECT_DOUBLE_EQ(TruncateFromSlider(5000), 1.0);
  EXPECT_DOUBLE_EQ(TruncateFromSlider(1000), 1e-4);
  EXPECT_EQ(SliderFromTruncate(0), 0);  // log10(0) would be -inf
  EXPECT_EQ(SliderFromTruncate(std::nan("")), 0);
  EXPECT_EQ(SliderFromTruncate(1e-4), 1000);
  EXPECT_EQ(SliderFromTruncate(1), 5000);
  EXPECT_EQ(SliderFromTruncate(30), 5000);
}

TEST(ImaMaskSmooth, DialogRecomputesFromTheSavedCopy) {
  TAImage img;
  img.SetSize(40, 30, false);
  TAMask& m = *img.Mask;
  m.ApplyRectOrEllipse(10, 10, 25, 20, false, TMaskMode::Replace);
  std::vector<uint16_t> before(m.Weights(), m.Weights() + m.Count);
  TMaskSmoothing dlg(m);
  dlg.Update(5, 0);
  std::vector<uint16_t> once(m.Weights(), m.Weights() + m.Count);
  dlg.Update(5, 0);  // from the saved copy again, not smoothed twice
  EXPECT_EQ(std::vector<uint16_t>(m.Weights(), m.Weights() + m.Count), once);
  EXPECT_NE(once, before);
  dlg.Update(5, 0.9);
  EXPECT_LT(m.EnsureBounds().Right - m.EnsureBounds().Left, 15);
  dlg.Cancel();
  EXPECT_EQ(std::vector<uint16_t>(m.Weights(), m.Weights() + m.Count), before);
  TMaskSmoothing again(m);
  again.Update(2.5, 0.001);
  again.Ok();
  EXPECT_EQ(TMaskSmoothing::LastSmooth(), 2.5);
  EXPECT_EQ(TMaskSmoothing::LastTruncate(), 0.001);
  TMaskSmoothing third(m);
  EXPECT_EQ(third.Smooth(), 2.5);
  // Another image's edit took the saved copy: the dialog must not smooth that one into m.
  const std::vector<uint16_t> kept(m.Weights(), m.Weights() + m.Count);
  TAImage other;
  other.SetSize(40, 30, false);
  other.Mask->ApplyInvert();
  third.Update(8, 0);
  EXPECT_EQ(std::vector<uint16_t>(m.Weights(), m.Weights() + m.Count), kept);
}

// ---- The saved mask ----

TEST(ImaMaskSaved, UndoRedoAndOwnership) {
  TAImage a, b;
  a.SetSize(10, 8, false);
  b.SetSize(10, 8, false);
  TAMask& m = *a.Mask;
  m.ApplyRectOrEllipse(1, 1, 3, 3, false, TMaskMode::Replace);
  const std::string first = Picture(m);
  m.ApplyRectOrEllipse(5, 2, 8, 6, false, TMaskMode::Add);
  const std::string second = Picture(m);
  EXPECT_TRUE(m.OwnsSaved());
  EXPECT_TRUE(m.UndoRedo());
  EXPECT_EQ(Picture(m), first);
  EXPECT_EQ(m.EnsureBounds(), (TPixelRect{1, 1, 3, 3}));
  EXPECT_TRUE(m.UndoRedo());  // twice restores the edit
  EXPECT_EQ(Picture(m), second);

  // Another image's mask must not take this copy.
  ASSERT_TRUE(b.Mask->Allocate());
  b.Mask->SetWeight(0, 0, 77);
  EXPECT_FALSE(b.Mask->OwnsSaved());
  EXPECT_FALSE(b.Mask->SwapWithSaved());
  EXPECT_FALSE(b.Mask->Restore());
  EXPECT_EQ(b.Mask->Weight(0, 0), 77);
  EXPECT_TRUE(m.UndoRedo());
  EXPECT_EQ(Picture(m), first);  // the saved copy was left alone

  // A mask of another size with the same number (a resized image) must not take it either.
  TAMask resized(a.SerialId);
  resized.SetSize(11, 8);
  ASSERT_TRUE(resized.Allocate());
  EXPECT_FALSE(resized.SwapWithSaved());
  EXPECT_FALSE(resized.Restore());
  EXPECT_TRUE(resized.HasStorage());

  // The first edit of a mask without storage is undone to no storage.
  TAImage c;
  c.SetSize(6, 6, false);
  c.Mask->ApplyInvert();
  EXPECT_EQ(c.Mask->Weight(3, 3), 65535);
  EXPECT_TRUE(c.Mask->UndoRedo());
  EXPECT_FALSE(c.Mask->HasStorage());
  EXPECT_TRUE(c.Mask->Restore());  // the saved copy now holds the inverted mask
  EXPECT_EQ(c.Mask->Weight(0, 0), 65535);
  TAMask::DiscardSaved();
  EXPECT_FALSE(c.Mask->OwnsSaved());
  EXPECT_FALSE(c.Mask->UndoRedo());
}

TEST(ImaMaskSaved, MoveShiftsAndCopiesKeepFlags) {
  TAMask m;
  m.SetSize(8, 6);
  m.ApplyMove(1, 1);  // nothing to move without storage
  EXPECT_FALSE(m.HasStorage());
  m.ApplyRectOrEllipse(1, 1, 2, 2, false, TMaskMode::Replace);
  m.Changed = false;
  m.ApplyMove(3, -1);
  EXPECT_EQ(m.EnsureBounds(), (TPixelRect{4, 0, 5, 1}));
  EXPECT_TRUE(m.Changed);
  EXPECT_TRUE(m.TakeRedraw());
  EXPECT_FALSE(m.TakeRedraw());
  TAMask copy;
  copy.SetSize(8, 6);
  ASSERT_TRUE(m.CopyTo(copy));
  EXPECT_TRUE(copy.Changed);
  EXPECT_TRUE(copy.BoundsValid());
  EXPECT_EQ(copy.EnsureBounds(), m.EnsureBounds());
  TAMask other;
  other.SetSize(7, 6);
  EXPECT_FALSE(m.CopyTo(other));
}

// ---- Pixel reads ----

TEST(ImaMaskRead, SampleClampedAndEdgeCodes) {
  TAMask m;
  MakeMask(m, 3, 2);
  m.SetWeight(0, 0, 1000);
  m.SetWeight(1, 0, 2000);
  m.SetWeight(0, 1, 3000);
  m.SetWeight(1, 1, 5000);
  EXPECT_DOUBLE_EQ(m.Sample(0, 0), 1000);
  EXPECT_DOUBLE_EQ(m.Sample(0.5, 0), 1500);
  EXPECT_DOUBLE_EQ(m.Sample(0.5, 0.5), 2750);
  // 0.3 is 38.4 / 128: the weight steps down to 38 / 128.
  EXPECT_DOUBLE_EQ(m.Sample(0.3, 0), 1000 + 1000 * 38 / 128.0);
  EXPECT_DOUBLE_EQ(m.Sample(-5, -5), 1000);  // beyond the edge: the edge pixel
  EXPECT_DOUBLE_EQ(m.Sample(std::nan(""), 0), 0);
  EXPECT_EQ(m.WeightClamped(-3, 9), 3000);
  EXPECT_EQ(m.Weight(-1, 0), 0);
  EXPECT_TRUE(m.IsSelected(1, 1) == false);
  m.SetWeight(2, 1, 32768);
  EXPECT_TRUE(m.IsSelected(2, 1));
  // Edge codes: (2, 1) has neighbours left (5000) only; (2, 0) is 0.
  EXPECT_EQ(m.EdgeCode(2, 1), 2u | 4u | 8u);
  EXPECT_EQ(m.EdgeCode(2, 0), 0u);
  EXPECT_EQ(m.EdgeCode(1, 0), 2u | 4u);
  EXPECT_EQ(m.EdgeCode(0, 1), 1u | 8u);
}

// ---- Outline and overlays ----

TEST(ImaMaskDisplay, OutlineOfARectangle) {
  TAMask m;
  MakeMask(m, 6, 5);
  m.DrawRectOrEllipse(1, 1, 3, 2, false, 65535);
  // x + y runs over 2..5; phase 2 puts them all in one dash style.
  auto segs = MaskOutline(m, 1.0, 2);
  ASSERT_EQ(segs.size(), 4u);
  auto has = [&](double x0, double y0, double x1, double y1) {
    for (const TMaskSegment& s : segs)
      if (s.X0 == x0 && s.Y0 == y0 && s.X1 == x1 && s.Y1 == y1) return true;
    return false;
  };
  EXPECT_TRUE(has(1, 1, 4, 1));  // bottom
  EXPECT_TRUE(has(1, 3, 4, 3));  // top
  EXPECT_TRUE(has(1, 1, 1, 3));  // left
  EXPECT_TRUE(has(4, 1, 4, 3));  // right
  for (const TMaskSegment& s : segs) EXPECT_EQ(s.Dash, 1);
  auto zoomed = MaskOutline(m, 2.5, 2);
  ASSERT_EQ(zoomed.size(), 4u);
  EXPECT_EQ(zoomed[0].X1, segs[0].X1 * 2.5);
  TAMask none;
  none.SetSize(6, 5);
  EXPECT_TRUE(MaskOutline(none, 1, 0).empty());
}

TEST(ImaMaskDisplay, OutlineCoversExactlyTheOpenSides) {
  // Cut every segment into unit pieces and compare with the open sides of EdgeCode, and
  // every unit piece's style with ((x + y + phase) and 4).
  TAMask m;
  MakeMask(m, 17, 13);
  m.DrawRectOrEllipse(-3, 2, 12, 11, true, 65535);
  m.DrawRectOrEllipse(9, 0, 16, 4, false, 65535);
  m.SetWeight(6, 6, 0);
  for (int phase = 0; phase < 8; phase += 3) {
    std::set<std::tuple<int, int, int, int>> pieces;  // x, y, vertical?, dash
    for (const TMaskSegment& s : MaskOutline(m, 1.0, phase)) {
      if (s.Y0 == s.Y1) {
        for (int x = int(s.X0); x < int(s.X1); ++x)
          EXPECT_TRUE(pieces.insert({x, int(s.Y0), 0, s.Dash}).second);
      } else {
        ASSERT_EQ(s.X0, s.X1);
        for (int y = int(s.Y0); y < int(s.Y1); ++y)
          EXPECT_TRUE(pieces.insert({int(s.X0), y, 1, s.Dash}).second);
      }
    }
    std::set<std::tuple<int, int, int, int>> want;
    for (int y = 0; y < m.Height; ++y)
      for (int x = 0; x < m.Width; ++x) {
        const uint32_t c = m.EdgeCode(x, y);
        const int d = ((x + y + phase) & 4) ? 1 : 0;
        if (c & 1) want.insert({x, y, 1, d});
        if (c & 2) want.insert({x + 1, y, 1, d});
        if (c & 4) want.insert({x, y, 0, d});
        if (c & 8) want.insert({x, y + 1, 0, d});
      }
    EXPECT_EQ(pieces, want) << "phase " << phase;
  }
}

TEST(ImaMaskDisplay, OverlaysBlendByTheWeight) {
  TAMask m;
  MakeMask(m, 16, 2);
  m.SetWeight(0, 0, 65535);
  m.SetWeight(1, 0, 65280);  // high byte 255: unchanged
  m.SetWeight(2, 0, 0x8000);  // high byte 128
  // (8, 0) and (0, 1) stay 0: fully the effect.
  TBgraBitmap bmp;
  ASSERT_TRUE(bmp.SetSize(16, 2));
  const uint32_t pic = 0x7F4080C0u;
  bmp.Fill(pic);
  ASSERT_TRUE(DrawMaskOverlay(m, TMaskDisplay::Layer, bmp));
  EXPECT_EQ(bmp.Pixel(0, 0), pic);
  EXPECT_EQ(bmp.Pixel(1, 0), pic);
  // Layer: an eighth of the colour plus the tint: red 0x40/8 + 0x50, green 0x80/8 + 0x10,
  // blue 0xC0/8 + 0x08; alpha kept.
  const uint32_t dark = 0x7F000000u | (0x58u << 16) | (0x20u << 8) | 0x20u;
  EXPECT_EQ(bmp.Pixel(0, 1), dark);
  // Half weight: (picture · 128 + dark · 127) / 255 per channel, rounded.
  auto mix = [](uint32_t a, uint32_t b) { return (a * 128 + b * 127 + 127) / 255; };
  EXPECT_EQ(bmp.Pixel(2, 0), 0x7F000000u | (mix(0x40, 0x58) << 16) | (mix(0x80, 0x20) << 8) |
                                 mix(0xC0, 0x20));
  bmp.Fill(pic);
  ASSERT_TRUE(DrawMaskOverlay(m, TMaskDisplay::Transparency, bmp));
  // The checkerboard's 8-pixel squares: (3, 0) and (8, 0) lie in different squares.
  EXPECT_NE(bmp.Pixel(3, 0) & 0xFFFFFF, bmp.Pixel(8, 0) & 0xFFFFFF);
  EXPECT_EQ(bmp.Pixel(3, 0), bmp.Pixel(7, 1));
  EXPECT_EQ(bmp.Pixel(0, 0), pic);
  bmp.Fill(pic);
  ASSERT_TRUE(DrawMaskOverlay(m, TMaskDisplay::Outline, bmp));
  EXPECT_EQ(bmp.Pixel(8, 0), pic);
  ASSERT_TRUE(DrawMaskGrey(m, bmp));
  EXPECT_EQ(bmp.Pixel(2, 0), 0xFF808080u);
  EXPECT_EQ(bmp.Pixel(0, 0), 0xFFFFFFFFu);
  TBgraBitmap small;
  ASSERT_TRUE(small.SetSize(3, 3));
  EXPECT_FALSE(DrawMaskOverlay(m, TMaskDisplay::Layer, small));
  TAMask none;
  none.SetSize(16, 2);
  EXPECT_FALSE(DrawMaskOverlay(none, TMaskDisplay::Layer, bmp));
}
