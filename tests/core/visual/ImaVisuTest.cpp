#include <gtest/gtest.h>

#include "visual/ImaVisu.h"

using namespace orlu;

TEST(ImaVisu, LinearTablesAndCopy) {
  TImageVisu v;
  struct Row {
    int i, level;
  };
  // Levels are the index divided by 16, truncated; the ends are fixed at 0 and 255.
  const Row rows[] = {{0, 0}, {15, 0}, {16, 1}, {2047, 127}, {4094, 255}, {4095, 255}};
  for (const Row& r : rows) EXPECT_EQ(v.LevelTable[size_t(r.i)], r.level) << r.i;
  EXPECT_FLOAT_EQ(v.ValueTable[2048], 2048.0f * 255.0f / 4095.0f);
  EXPECT_EQ(v.ValueTable[4095], 255.0f);

  v.SetLinear(50, 10);  // low above high: low becomes high
  EXPECT_EQ(v.Low, 10.0f);
  EXPECT_EQ(v.High, 10.0f);

  TImageVisu w;
  v.TransferType = 1002;
  v.Curve.Count = 2;
  v.Curve.X[1] = 0.5f;
  v.ValueTable[7] = 99.0f;
  w.CopyFrom(v);
  EXPECT_EQ(w.TransferType, 1002);
  EXPECT_EQ(w.Curve, v.Curve);
  EXPECT_EQ(w.ValueTable[7], 99.0f);
  EXPECT_EQ(w.Low, 10.0f);
}

// ---------------------------------------------------------------------------------------
// Helpers shared with tests/core/visual/visu_reference.py (which produced the numbers).

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "image/ImaColor.h"

namespace {

struct TTestLcg {
  uint32_t S;
  uint32_t Next() {
    S = S * 1664525u + 1013904223u;
    return S >> 8;
  }
};

// The reference script's test planes.
void FillPlane(TBWImage& p, const std::string& kind, uint32_t seed) {
  TTestLcg g{seed};
  for (int32_t y = 0; y < p.Height; ++y)
    for (int32_t x = 0; x < p.Width; ++x) {
      const uint32_t r = g.Next();
      int64_t v;
      if (kind == "sky") {
        v = 1000 + r % 100;
        if (x >= 120 && x < 140 && y >= 80 && y < 100) v = 30000 + r % 50;
      } else if (kind == "ramp") {
        v = 100 + x * 2 + r % 256;
      } else if (kind == "signed") {
        v = int64_t(r % 2001) - 1000;
      } else if (kind == "scatter") {
        v = (int64_t(y) * p.Width + x) % 37 == 0 ? 5000 : 200 + r % 20;
      } else {
        v = r % 4096;
      }
      p.Data[int64_t(y) * p.Width + x] = float(v);
    }
}

std::filesystem::path TempPath(const std::string& name) {
  return std::filesystem::temp_directory_path() /
         ("orlu_visu_" + std::to_string(::getpid()) + "_" + name);
}

void WriteFile(const std::filesystem::path& p, const std::string& text) {
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f << text;
}

}  // namespace

TEST(ImaVisu, StrengthAndShortCodes) {
  struct Row {
    int32_t code, strength;
    const char* shortCode;
  };
  const Row rows[] = {{0, 0, "Lin"},     {-15, 15, "Log"},   {15, 15, "Exp"},  {-1, 1, "Log"},
                      {20, 20, "Exp"},   {25, 20, "Lin"},    {33, 1, "Lin"},   {1000, 0, "Equ"},
                      {1001, 0, "Gau"},  {1002, 0, "Crv"},   {1003, 0, "Equ"}, {1004, 0, "Gau"},
                      {1005, 0, "Lin"},  {-40, 8, "Lin"},    {999, 7, "Lin"},
                      {std::numeric_limits<int32_t>::min(), 0, "Lin"}};
  for (const Row& r : rows) {
    EXPECT_EQ(TImageVisu::Strength(r.code), r.strength) << r.code;
    EXPECT_STREQ(TImageVisu::ShortCode(r.code), r.shortCode) << r.code;
  }
}

TEST(ImaVisu, PowerAndArcTablesAtReferencePoints) {
  struct Row {
    int32_t type;
    int i;
    float value;
    int level;
  };
  // visu_reference.py, "exp15" and "log15".
  const Row rows[] = {
      {15, 1, 1.9009421521332115e-06f, 0},    {15, 100, 0.06011306867003441f, 0},
      {15, 2048, 53.63660430908203f, 54},     {15, 4000, 241.88217163085938f, 242},
      {15, 4094, 254.8599090576172f, 255},    {-15, 1, 0.29231345653533936f, 0},
      {-15, 100, 24.613765716552734f, 25},    {-15, 2048, 197.7592010498047f, 198},
      {-15, 4000, 253.6858673095703f, 254},   {-15, 4094, 254.98675537109375f, 255},
  };
  TImageVisu v;
  for (const Row& r : rows) {
    v.TransferType = r.type;
    v.BuildTables(nullptr);
    // float32 tables: a few units in the last place between libm paths.
    EXPECT_NEAR(v.ValueTable[size_t(r.i)], r.value, 1e-4f * std::max(1.0f, r.value)) << r.type;
    EXPECT_EQ(v.LevelTable[size_t(r.i)], r.level) << r.type << " @" << r.i;
  }
  // Logarithmic then Exponential: the ends stay black and white, the middle is monotone.
  for (int32_t type : {-15, 15, -1, 20, 7, -20}) {
    v.TransferType = type;
    v.BuildTables(nullptr);
    EXPECT_EQ(v.LevelTable[0], 0) << type;
    EXPECT_EQ(v.LevelTable[4095], 255) << type;
    for (int i = 1; i < 4096; ++i) ASSERT_LE(v.ValueTable[size_t(i - 1)], v.ValueTable[size_t(i)]);
  }
}

TEST(ImaVisu, CurveTablesAtReferencePoints) {
  struct Row {
    int j;
    float value;
  };
  // visu_reference.py, "curve" (the default curve) and "curve3".
  const Row one[] = {{0, 0.0f},         {500, 66.63240051269531f},  {1229, 136.9665985107422f},
                     {2048, 184.57086181640625f}, {3500, 236.425048828125f},
                     {4095, 254.98426818847656f}};
  const Row three[] = {{0, 0.0f},         {500, 16.942689895629883f}, {1229, 88.50959014892578f},
                       {2048, 178.34495544433594f}, {3500, 228.45977783203125f},
                       {4095, 254.97650146484375f}};
  TImageVisu v;
  v.TransferType = kTransferCurve;
  v.BuildTables(nullptr);
  for (const Row& r : one) {
    EXPECT_NEAR(v.ValueTable[size_t(r.j)], r.value, 1e-3f) << r.j;
    EXPECT_EQ(v.LevelTable[size_t(r.j)], std::lrint(r.value)) << r.j;
  }
  ASSERT_TRUE(v.CurveFromText("200100500800800850000000"));
  v.BuildTables(nullptr);
  for (const Row& r : three) {
    EXPECT_NEAR(v.ValueTable[size_t(r.j)], r.value, 1e-3f) << r.j;
    EXPECT_EQ(v.LevelTable[size_t(r.j)], std::lrint(r.value)) << r.j;
  }
}

TEST(ImaVisu, CurveTextRules) {
  TTransferCurve c;
  // The documented example: one point.
  EXPECT_TRUE(c.FromText("300649000000000000000000"));
  EXPECT_EQ(c.Count, 1);
  EXPECT_EQ(c.X[0], 300.0f / 999.0f);
  EXPECT_EQ(c.Y[0], 649.0f / 999.0f);
  EXPECT_EQ(c, TTransferCurve());

  ASSERT_TRUE(c.FromText("100200500600900950000000"));
  EXPECT_EQ(c.Count, 3);
  EXPECT_EQ(c.X[2], 900.0f / 999.0f);
  EXPECT_EQ(c.X[3], -1.0f);
  EXPECT_EQ(c.ToText(), "100200500600900950000000");

  // Wrong length, letters, signs: the default curve and false.
  for (const char* bad : {"30064900000000000000000", "3006490000000000000000000",
                          "30064900000000000000000x", "-10649000000000000000000", ""}) {
    c.Count = 3;
    EXPECT_FALSE(c.FromText(bad)) << bad;
    EXPECT_EQ(c, TTransferCurve()) << bad;
  }
  // Out-of-range coordinates are written clamped; points past Count as zeros.
  TTransferCurve w;
  w.Count = 2;
  w.X = {0.5f, 1.5f, 0.7f, -1.0f};
  w.Y = {-0.2f, 0.25f, 0.8f, 0.0f};
  EXPECT_EQ(w.ToText(), "500000999250000000000000");
}

TEST(ImaVisu, CurveEditing) {
  TTransferCurve c;  // (300, 649)/999
  c.AddPoint();      // midpoint of the last point and (1, 1)
  EXPECT_EQ(c.Count, 2);
  EXPECT_EQ(c.X[1], float(650.0 / 999.0));  // (300 + 999) / 2 = 649.5 -> 650 (half to even)
  EXPECT_EQ(c.Y[1], float(824.0 / 999.0));  // (649 + 999) / 2 = 824
  c.MovePoint(1, 0.2, 2.0);  // limited to 0.999; point 0 pulled left to x
  EXPECT_EQ(c.X[1], float(200.0 / 999.0));
  EXPECT_EQ(c.Y[1], float(998.0 / 999.0));  // 0.999·999 = 998.001
  EXPECT_EQ(c.X[0], float(200.0 / 999.0));
  c.MovePoint(0, 0.5, 0.5);  // later points pushed right
  EXPECT_EQ(c.X[1], float(500.0 / 999.0));
  c.RemovePoint();
  EXPECT_EQ(c.Count, 1);
  c.RemovePoint();
  EXPECT_EQ(c.Count, 1);
  c.AddPoint();  // the removed point comes back where it was
  EXPECT_EQ(c.X[1], float(500.0 / 999.0));
  for (int i = 0; i < 5; ++i) c.AddPoint();
  EXPECT_EQ(c.Count, 4);
  c.MovePoint(7, 0.1, 0.1);  // no such point
  EXPECT_EQ(c.Count, 4);
}

TEST(ImaVisu, AutoRangeMatchesReferenceScript) {
  struct Row {
    const char* kind;
    int32_t w, h;
    uint32_t seed;
    double low, high;
    int32_t type;
  };
  // visu_reference.py: seeded sampling (step 2 and 4 with border draws), full sampling,
  // clustered and scattered bright pixels, signed data.
  const Row rows[] = {
      {"sky", 200, 150, 11, 1002.5, 27151.7, -3},
      {"ramp", 90, 80, 12, 178.5, 494.5, 0},
      {"signed", 300, 200, 13, -989.0, 989.0, 0},
      {"scatter", 400, 300, 14, 200.5, 3805.0, -5},
  };
  for (const Row& r : rows) {
    TAImage img;
    img.SetSize(r.w, r.h, false);
    FillPlane(*img.MainPlane, r.kind, r.seed);
    const TViewRange v = AutoVisualization(img);
    EXPECT_DOUBLE_EQ(v.Low, r.low) << r.kind;
    EXPECT_DOUBLE_EQ(v.High, r.high) << r.kind;
    EXPECT_EQ(v.Type, r.type) << r.kind;
    // The same image gives the same range every time.
    const TViewRange again = AutoVisualization(img);
    EXPECT_EQ(again.Low, v.Low);
  }
  TAImage c;
  c.SetSize(160, 120, true);
  FillPlane(*c.RedPlane, "rand", 21);
  FillPlane(*c.MainPlane, "rand", 22);
  FillPlane(*c.BluePlane, "rand", 23);
  const TViewRange v = AutoVisualization(c);
  EXPECT_DOUBLE_EQ(v.Low, 860.1940002441406);
  EXPECT_DOUBLE_EQ(v.High, 3908.8475036621094);
  EXPECT_EQ(v.Type, 0);
}

TEST(ImaVisu, AutoRangeEdgeCases) {
  struct Row {
    float value;
    int32_t w, h;
    double low, high;
  };
  // Constant images: [max(0, v - 1), v] for positive values, [v, v + 1] otherwise.
  const Row rows[] = {{7, 50, 50, 6, 7},      {0.5f, 50, 50, 0, 0.5}, {-3, 50, 50, -3, -2},
                      {0, 200, 200, 0, 1},    {7, 1, 1, 6, 7},        {40000, 300, 100, 39999, 40000}};
  for (const Row& r : rows) {
    TAImage img;
    img.SetSize(r.w, r.h, false);
    img.MainPlane->Fill(r.value);
    const TViewRange v = AutoVisualization(img);
    EXPECT_EQ(v.Type, 0) << r.value;
    EXPECT_DOUBLE_EQ(v.Low, r.low) << r.value;
    EXPECT_DOUBLE_EQ(v.High, r.high) << r.value;
  }
  // Corrupt samples are not drawn.
  TAImage img;
  img.SetSize(40, 40, false);
  img.MainPlane->Fill(std::numeric_limits<float>::quiet_NaN());
  for (int i = 0; i < 100; ++i) img.MainPlane->Data[i * 16] = float(i);
  const TViewRange v = AutoVisualization(img);
  EXPECT_TRUE(std::isfinite(v.Low) && std::isfinite(v.High));
  EXPECT_LT(v.Low, v.High);
}

TEST(ImaVisu, SetVisualizationBounds) {
  TAImage img;  // integer data
  SetVisualization(img, -15, 200.6, 10.4);
  EXPECT_EQ(img.Visu.Low, 10.0f);
  EXPECT_EQ(img.Visu.High, 201.0f);
  EXPECT_EQ(img.Visu.TransferType, -15);
  SetVisualization(img, 0, 10.5, 50);  // low above high becomes high; 10.5 to even
  EXPECT_EQ(img.Visu.Low, 10.0f);
  EXPECT_EQ(img.Visu.High, 10.0f);
  SetVisualization(img, 0, 2.5e9, 0.25);  // bounds beyond 1e9 are not rounded
  EXPECT_EQ(img.Visu.High, 2.5e9f);
  SetVisualization(img, 5, std::nan(""), 0);  // refused
  EXPECT_EQ(img.Visu.TransferType, 0);
  EXPECT_EQ(img.Visu.High, 2.5e9f);
  img.IsFloat = 1;
  SetVisualization(img, 0, 1.75, 0.25);
  EXPECT_EQ(img.Visu.Low, 0.25f);
  EXPECT_EQ(img.Visu.High, 1.75f);
  ApplyCcdRange(img);  // data 0..1 at creation
  EXPECT_EQ(img.Visu.High, 255.0f);
  img.DataMax = 300;
  ApplyCcdRange(img);
  EXPECT_EQ(img.Visu.High, 65535.0f);
}

TEST(ImaVisu, EqualizationTables) {
  TAImage img;
  // 16384 pixels, all sampled, four in every bin: the cumulative sum is 4·(i + 1).
  img.SetSize(128, 128, false);
  for (int32_t i = 0; i < img.MainPlane->Count; ++i) img.MainPlane->Data[i] = float(i % 4096);
  SetVisualization(img, kTransferEqualized, 4095, 0);
  // (Index 1 is smoothed against the fixed black end.)
  for (int i = 2; i < 4094; i += 97)
    EXPECT_NEAR(img.Visu.ValueTable[size_t(i)], 255.0 * (i + 1) / 4096.0, 1e-3) << i;
  EXPECT_EQ(img.Visu.LevelTable[0], 0);
  EXPECT_EQ(img.Visu.LevelTable[4095], 255);
  // Mapped to the Gaussian table; its steps become ramps, so a few levels of play.
  SetVisualization(img, kTransferGaussEqualized, 4095, 0);
  EXPECT_NEAR(img.Visu.LevelTable[2048], 128, 1);
  for (int i : {100, 1000, 3000, 4000})
    EXPECT_NEAR(img.Visu.ValueTable[size_t(i)],
                TImageVisu::GaussLevel(int(std::nearbyint(1023.0 * (i + 1) / 4096.0))), 3.0)
        << i;
  // Half equalization, half Gaussian.
  SetVisualization(img, kTransferGaussEqualized50, 4095, 0);
  EXPECT_NEAR(img.Visu.ValueTable[1000],
              (255.0 * 1001 / 4096 + TImageVisu::GaussLevel(250)) / 2, 2.0);
  for (int i = 1; i < 4096; ++i)
    ASSERT_LE(img.Visu.ValueTable[size_t(i - 1)], img.Visu.ValueTable[size_t(i)]) << i;

  // All samples outside the range: the previous table stays between the ends.
  SetVisualization(img, -15, 4095, 0);
  const auto before = img.Visu.LevelTable;
  SetVisualization(img, kTransferEqualized50, 1e7, 5e6);
  EXPECT_EQ(img.Visu.LevelTable, before);
  // An empty range counts nothing either: no division by zero.
  SetVisualization(img, kTransferEqualized, 100, 100);
  EXPECT_EQ(img.Visu.LevelTable, before);
}

TEST(ImaVisu, GaussTableRows) {
  const int first[] = {4, 9, 14, 17, 20};
  for (int k = 0; k < 5; ++k) EXPECT_EQ(TImageVisu::GaussLevel(k), first[k]);
  const int last[] = {233, 235, 238, 242, 246, 252};
  for (int k = 0; k < 6; ++k) EXPECT_EQ(TImageVisu::GaussLevel(1018 + k), last[k]);
  EXPECT_EQ(TImageVisu::GaussLevel(512), 128);
  for (int k = 1; k < 1024; ++k) {
    ASSERT_LE(TImageVisu::GaussLevel(k - 1), TImageVisu::GaussLevel(k));
    // Close to 127.5 + 42.5·z((k + 1)/1025) away from the pulled-in ends.
    if (k >= 2 && k <= 1021) {
      const double p = (k + 1) / 1025.0;
      // z by bisection on erfc: slow and obvious.
      double lo = -6, hi = 6;
      for (int it = 0; it < 80; ++it) {
        const double mid = (lo + hi) / 2;
        (0.5 * std::erfc(-mid / std::sqrt(2.0)) < p ? lo : hi) = mid;
      }
      EXPECT_NEAR(TImageVisu::GaussLevel(k), 127.5 + 42.5 * lo, 4.0) << k;
    }
  }
}

TEST(ImaVisu, PercentAndSigmaRanges) {
  TAImage img;
  img.SetSize(100, 100, false);
  for (int32_t i = 0; i < 10000; ++i) img.MainPlane->Data[i] = float(i);
  img.RefreshMinMax();
  // 10000 samples at Round(k·9999/10000): S(0.1) = S[1000] = 1000, S(0.9) = S[8999] = 8998.
  PercentRange(img, 0, 10, 90);
  EXPECT_EQ(img.Visu.Low, 1000.0f);  // 999.8 -> 1000
  EXPECT_EQ(img.Visu.High, 8998.0f);
  PercentRange(img, -15, 0, 100);  // the data extremes
  EXPECT_EQ(img.Visu.Low, 0.0f);
  EXPECT_EQ(img.Visu.High, 9999.0f);
  EXPECT_EQ(img.Visu.TransferType, -15);
  // 10000 samples at Round(k·0.9999): median S[Round(4999.5)] = S[5000] = 5000 (both halves
  // to even), S(0.841) = S[8409] = 8408, so sigma = 3408.
  SigmaRange(img, 0, -1, 2);
  EXPECT_EQ(img.Visu.Low, 1592.0f);
  EXPECT_EQ(img.Visu.High, 11816.0f);
  SigmaRange(img, 0, 1, 1);  // equal bounds separated
  EXPECT_EQ(img.Visu.Low, 8407.0f);
  EXPECT_EQ(img.Visu.High, 8408.0f);

  TAImage other;
  other.SetSize(10, 10, false);
  for (int32_t i = 0; i < 100; ++i) other.MainPlane->Data[i] = float(i);
  img.Visu.Palette.BuildPalette(kPaletteRainbow, 0);
  EqualizeVisualization(img, other, TRangeMode::Adu, 0, 0);
  EXPECT_EQ(other.Visu.High, 8408.0f);
  EXPECT_EQ(other.Visu.Palette.PaletteType, kPaletteRainbow);
  EqualizeVisualization(img, other, TRangeMode::Percentage, 10, 90);  // its own samples
  EXPECT_EQ(other.Visu.Low, 10.0f);
  EXPECT_EQ(other.Visu.High, 88.0f);  // S[Round(89.1)] = Round(89·0.99)
}

TEST(ImaVisu, ContrastStepping) {
  struct Row {
    bool isFloat, pageDown, shift, ctrl;
    float low, high, newLow, newHigh;
  };
  const Row rows[] = {
      {false, true, false, true, 0, 1000, 0, 950},          // documented example
      {false, false, true, false, 0, 1000, 38, 1000},       // 1000 - 1000·25/26, rounded
      {true, false, true, false, 0, 1000, float(1000 - 1000.0 * 25 / 26), 1000},
      {false, true, false, false, 0, 1000, 0, 800},
      {false, false, false, false, 0, 1000, 0, 1250},
      {false, true, true, false, 0, 1000, -40, 1000},
      {false, true, false, false, 0, 2, 0, 1},              // minimum step 1.1, rounded
      {false, false, false, false, 5, 5, 5, 6},              // empty span: step up
      {false, true, false, false, 5, 5, 5, 5},               // never below Low
  };
  for (const Row& r : rows) {
    TAImage img;
    img.IsFloat = r.isFloat;
    SetVisualization(img, -3, r.high, r.low);
    StepContrast(img, r.pageDown, r.shift, r.ctrl);
    EXPECT_FLOAT_EQ(img.Visu.Low, r.newLow) << r.low << ".." << r.high;
    EXPECT_FLOAT_EQ(img.Visu.High, r.newHigh) << r.low << ".." << r.high;
    EXPECT_EQ(img.Visu.TransferType, -3);
  }
}

TEST(ImaVisu, HeaderKeywordsRoundTripAndBadValues) {
  TAImage img;
  img.IsFloat = 1;
  img.Header.InitMinimal();
  SetVisualization(img, kTransferCurve, 4000.5, -12.25);
  img.Visu.CurveFromText("100200500600000000000000");
  WriteVisuKeys(img, true);
  EXPECT_TRUE(img.Header.HasKey("ORLUUCRV"));
  TAImage back;
  back.IsFloat = 1;
  back.Header = img.Header;
  ASSERT_TRUE(ReadVisuKeys(back));
  EXPECT_EQ(back.Visu.Low, -12.25f);
  EXPECT_EQ(back.Visu.High, 4000.5f);
  EXPECT_EQ(back.Visu.TransferType, kTransferCurve);
  EXPECT_EQ(back.Visu.Curve, img.Visu.Curve);
  WriteVisuKeys(img, false);
  for (const char* k : {"ORLUUMIN", "ORLUUMAX", "ORLUUTYP", "ORLUUCRV"})
    EXPECT_FALSE(img.Header.HasKey(k)) << k;

  struct Row {
    const char* name;
    const char* min;
    const char* max;
    const char* type;
  };
  // Each is ignored: the automatic range applies instead.
  const Row bad[] = {{"min above max", "500", "100", "0"},
                     {"not finite", "'NAN'", "100", "0"},
                     {"overflow", "1E999", "100", "0"},
                     {"type out of range", "0", "100", "77"},
                     {"type huge", "0", "100", "1E30"},
                     {"missing max", "0", nullptr, "0"}};
  for (const Row& r : bad) {
    TAImage b;
    b.SetSize(60, 60, false);
    b.MainPlane->Fill(500);
    b.Header.InitMinimal();
    auto card = [&](const char* key, const char* val) {
      std::string c = std::string(key) + std::string(8 - std::string(key).size(), ' ') + "= " + val;
      b.Header.AddBeforeEnd(c);
    };
    card("ORLUUMIN", r.min);
    if (r.max) card("ORLUUMAX", r.max);
    card("ORLUUTYP", r.type);
    EXPECT_FALSE(ReadVisuKeys(b)) << r.name;
    VisualizationAfterLoad(b, true, false);
    EXPECT_EQ(b.Visu.Low, 499.0f) << r.name;
    EXPECT_EQ(b.Visu.High, 500.0f) << r.name;
  }
  // A curve view whose curve text is bad keeps its range with the default curve.
  TAImage c;
  c.Header.InitMinimal();
  c.Header.AddBeforeEnd("ORLUUMIN=                   10");
  c.Header.AddBeforeEnd("ORLUUMAX=                   90");
  c.Header.AddBeforeEnd("ORLUUTYP=                 1002");
  c.Header.AddBeforeEnd("ORLUUCRV= '12345'");
  ASSERT_TRUE(ReadVisuKeys(c));
  EXPECT_EQ(c.Visu.High, 90.0f);
  EXPECT_EQ(c.Visu.Curve, TTransferCurve());
  // An 8-bit source without keywords gets linear 0..255.
  TAImage e;
  e.Header.InitMinimal();
  SetVisualization(e, 5, 10, 3);
  VisualizationAfterLoad(e, true, true);
  EXPECT_EQ(e.Visu.TransferType, 0);
  EXPECT_EQ(e.Visu.High, 255.0f);
}

TEST(ImaVisu, TransferFunctionFiles) {
  const auto path = TempPath("a.trf");
  TAImage img;
  img.IsFloat = 1;
  SetVisualization(img, kTransferCurve, 1234.5, -0.125);
  img.Visu.CurveFromText("100200500600900950000000");
  EXPECT_EQ(TransferFunctionText(img.Visu),
            "OrluFV compressed transfer function\n-0.125 1234.5 1002\n100200500600900950000000\n");
  ASSERT_TRUE(SaveTransferFunction(img.Visu, path));
  TAImage back;
  back.IsFloat = 1;
  std::string err;
  ASSERT_TRUE(LoadTransferFunction(back, path, err)) << err;
  EXPECT_EQ(back.Visu.Low, -0.125f);
  EXPECT_EQ(back.Visu.High, 1234.5f);
  EXPECT_EQ(back.Visu.TransferType, kTransferCurve);
  EXPECT_EQ(back.Visu.Curve, img.Visu.Curve);
  EXPECT_EQ(back.Visu.LevelTable, img.Visu.LevelTable);

  // CRLF lines and another title are read too.
  WriteFile(path, "anything\r\n10 20 -15\r\n");
  ASSERT_TRUE(LoadTransferFunction(back, path, err));
  EXPECT_EQ(back.Visu.TransferType, -15);

  struct Row {
    const char* name;
    const char* text;
  };
  const Row bad[] = {{"empty", ""},
                     {"title only", "OrluFV compressed transfer function\n"},
                     {"two numbers", "t\n1 2\n"},
                     {"words", "t\nlow high 0\n"},
                     {"fractional type", "t\n1 2 0.5\n"},
                     {"type out of range", "t\n1 2 5000\n"},
                     {"low above high", "t\n5 2 0\n"},
                     {"not finite", "t\nnan 2 0\n"},
                     {"curve missing", "t\n1 2 1002\n"},
                     {"curve with letters", "t\n1 2 1002\n10020050060090095000000x\n"},
                     {"curve short", "t\n1 2 1002\n1002005006009009500000\n"}};
  for (const Row& r : bad) {
    WriteFile(path, r.text);
    TAImage t;
    SetVisualization(t, -7, 77, 7);
    const auto tables = t.Visu.LevelTable;
    EXPECT_FALSE(LoadTransferFunction(t, path, err)) << r.name;
    EXPECT_EQ(err, "Incompatible file format\r" + path.string()) << r.name;
    EXPECT_EQ(t.Visu.Low, 7.0f) << r.name;
    EXPECT_EQ(t.Visu.High, 77.0f) << r.name;
    EXPECT_EQ(t.Visu.TransferType, -7) << r.name;
    EXPECT_EQ(t.Visu.LevelTable, tables) << r.name;
  }
  // A big file is refused without being read whole.
  WriteFile(path, "t\n1 2 0\n" + std::string(100000, ' '));
  EXPECT_FALSE(LoadTransferFunction(back, path, err));
  std::filesystem::remove(path);
  EXPECT_FALSE(LoadTransferFunction(back, path, err));  // missing
  EXPECT_FALSE(SaveTransferFunction(img.Visu, TempPath("no/such/dir.trf")));
}

TEST(ImaVisu, HistogramStretch) {
  struct Row {
    int32_t type;
    float low, high;
    std::vector<float> in, out;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const Row rows[] = {
      // linear: (v - low)/(high - low)·N held in 0..N
      {0, 100, 200, {50, 100, 150, 200, 300}, {0, 0, 500, 1000, 1000}},
      // High = Low thresholds instead of dividing by zero; corrupt samples go low
      {0, 100, 100, {50, 100, 150, nan}, {0, 0, 1000, 0}},
      // power d = 10 has exponent 1, but at least 1
      {10, 100, 200, {100, 150, 200}, {1, 500, 1000}},
      // power d = 20: N·(o/N)^4
      {20, 0, 100, {50, 100}, {62.5f, 1000}},
  };
  for (const Row& r : rows) {
    TAImage img;
    img.IsFloat = 1;
    img.SetSize(int32_t(r.in.size()), 1, false);
    for (size_t i = 0; i < r.in.size(); ++i) img.MainPlane->Data[i] = r.in[i];
    SetVisualization(img, r.type, r.high, r.low);
    TStretchRecord rec;
    ASSERT_TRUE(HistogramStretch(img, 1000, &rec));
    for (size_t i = 0; i < r.out.size(); ++i)
      EXPECT_NEAR(img.MainPlane->Data[i], r.out[i], 1e-3) << r.type << " #" << i;
    EXPECT_EQ(img.Visu.TransferType, 0);
    EXPECT_EQ(img.Visu.Low, 0.0f);
    EXPECT_EQ(img.Visu.High, 1000.0f);
    EXPECT_EQ(rec.OldType, r.type);
    EXPECT_EQ(rec.OldLow, r.low);
    EXPECT_EQ(rec.Normalization, 1000);
  }
  // Arc: the ends map to 0 and N; the middle lies above the straight line.
  // Table codes interpolate the value table: equal to the arc's own table at its points.
  TAImage a;
  a.IsFloat = 1;
  a.SetSize(3, 1, true);
  const float vals[] = {0, 2048, 4095};
  for (int i = 0; i < 3; ++i) a.MainPlane->Data[i] = a.RedPlane->Data[i] = a.BluePlane->Data[i] = vals[i];
  SetVisualization(a, -15, 4095, 0);
  const float mid = a.Visu.ValueTable[2048];
  ASSERT_TRUE(HistogramStretch(a, 255));
  EXPECT_NEAR(a.MainPlane->Data[0], 0, 1e-3);
  EXPECT_NEAR(a.RedPlane->Data[1], mid, 1e-2);
  EXPECT_NEAR(a.BluePlane->Data[2], 255, 1e-3);

  // Unknown codes change nothing.
  TAImage u;
  u.MainPlane->Fill(3);
  SetVisualization(u, 500, 10, 0);
  EXPECT_FALSE(HistogramStretch(u, 1000));
  EXPECT_EQ(u.MainPlane->Data[0], 3.0f);
  EXPECT_EQ(u.Visu.TransferType, 500);
}
