// Rules of the command layer that are logic: ask values, remembering, binning, sizes,
// renaming, further images, mouse modes, the internal clipboard and snapshot walks.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "QVMasterRules.h"
#include "fits/ImaHeader.h"
#include "image/ImaColor.h"

using namespace orlu;

namespace {

struct TAskCase {
  const char* Text;
  TAskNumber Field;
  std::optional<double> Expected;
};

TEST(QVMasterRules, AskValuesAreCheckedAgainstTheirField) {
  const TAskNumber integer{true, 0, 100, false};
  const TAskNumber real{false, -1, 1e4, false};
  const TAskNumber positive{false, 0, 1e21, true};
  const TAskCase cases[] = {
      {"12", integer, 12},
      {" 7 ", integer, 7},
      {"12.5", integer, std::nullopt},  // not whole
      {"101", integer, std::nullopt},   // above the maximum
      {"-1", integer, std::nullopt},    // below the minimum
      {"1e3", real, 1000},
      {"-0.5", real, -0.5},
      {"1,5", real, std::nullopt},  // the decimal separator is always "."
      {"abc", real, std::nullopt},
      {"", real, std::nullopt},
      {"nan", real, std::nullopt},
      {"inf", positive, std::nullopt},
      {"0", positive, std::nullopt},   // a refused 0
      {"-0", positive, std::nullopt},  // is 0 too
      {"0.001", positive, 0.001},
  };
  for (const TAskCase& c : cases) {
    SCOPED_TRACE(c.Text);
    EXPECT_EQ(ParseAskValue(c.Text, c.Field), c.Expected);
  }
}

TEST(QVMasterRules, InitialTextsReadBackAsTheSameValue) {
  EXPECT_EQ(AskValueText(2, true), "2");
  EXPECT_EQ(AskValueText(65535, false), "65535");
  for (double v : {0.1, -12.25, 1e21, 1.0 / 3})
    EXPECT_EQ(ParseAskValue(AskValueText(v, false), TAskNumber{}), v);
}

TEST(QVMasterRules, MemoryKeepsTheLastAnswersPerPrompt) {
  TAskMemory m(2);
  EXPECT_FALSE(m.Values("a"));
  m.Remember("a", {1});
  m.Remember("b", {2, 3});
  m.Remember("a", {4});  // replaces the older answer to the same prompt
  ASSERT_TRUE(m.Values("a"));
  EXPECT_EQ(*m.Values("a"), std::vector<double>{4});
  EXPECT_EQ(*m.Values("b"), (std::vector<double>{2, 3}));
  m.Remember("c", {5});  // the third prompt pushes out the oldest one, "b"
  EXPECT_FALSE(m.Values("b"));
  EXPECT_TRUE(m.Values("a"));
  m.Remember("t", {}, "text");
  EXPECT_EQ(m.Text("t"), "text");
}

TEST(QVMasterRules, BinningFactorOfAnAnswer) {
  // round(value − 0.1) half to even, held in 1 … 8.
  const std::pair<double, int32_t> cases[] = {
      {1, 1}, {1.5, 1}, {1.6, 2}, {2, 2}, {2.6, 2}, {2.7, 3}, {8, 8}, {9, 8}, {0, 1}, {-5, 1},
      {std::numeric_limits<double>::quiet_NaN(), 1}, {1e300, 8}};
  for (auto [answer, factor] : cases) {
    SCOPED_TRACE(answer);
    EXPECT_EQ(BinningFactor(answer), factor);
  }
  EXPECT_EQ(BinningScale(1), 1.5);
  EXPECT_EQ(BinningScale(3), 3.0);
}

TEST(QVMasterRules, SizeLimits) {
  EXPECT_TRUE(SizeAccepted(1, 1));
  EXPECT_TRUE(SizeAccepted(30000, 30000));
  EXPECT_FALSE(SizeAccepted(0, 10));
  EXPECT_FALSE(SizeAccepted(10, 0));
  EXPECT_FALSE(SizeAccepted(30001, 10));
  EXPECT_FALSE(SizeAccepted(-4, 10));
  EXPECT_EQ(SizeRefusedText(), "Min size is: 1 x 1\rMax size is: 30000 x 30000");
}

TEST(QVMasterRules, RenamedFileNames) {
  const std::pair<const char*, const char*> cases[] = {
      {"  M31  ", "M31.fit"},  {"M31.", "M31.fit"},     {"img.png", "img.fit"},
      {"x.y.z", "x.y.fit"},    {"a/b:c*d", "a_b_c_d.fit"}, {"<q>|\"?\\", "_q_____.fit"},
      {"", ""},                {".", ""},               {"  ", ""},
  };
  for (auto [answer, name] : cases) {
    SCOPED_TRACE(answer);
    EXPECT_EQ(RenamedFileName(answer), name);
  }
}

TEST(QVMasterRules, FurtherImagesOnlyForFitsFiles) {
  TFitsStrings three, none, negative, huge;
  for (TFitsStrings* h : {&three, &none, &negative, &huge}) h->InitMinimal();
  three.SetInt("QVIM_CNT", 3, true);
  negative.SetInt("QVIM_CNT", -5, true);
  huge.SetInt("QVIM_CNT", 2000000000, true);
  EXPECT_EQ(FurtherImageCount("/d/a.fits", three, 100), 2);
  EXPECT_EQ(FurtherImageCount("/d/a.FIT", three, 100), 2);
  EXPECT_EQ(FurtherImageCount("/d/a.fits.fz", three, 100), 2);
  EXPECT_EQ(FurtherImageCount("/d/a.png", three, 100), 0);
  EXPECT_EQ(FurtherImageCount("/d/a.ser", three, 100), 0);
  EXPECT_EQ(FurtherImageCount("/d/a.fits", none, 100), 0);
  EXPECT_EQ(FurtherImageCount("/d/a.fits", negative, 100), 0);
  EXPECT_EQ(FurtherImageCount("/d/a.fits", huge, 100), 100);
}

TEST(QVMasterRules, RectCentreTruncatesTowardZero) {
  EXPECT_EQ(RectCentreText(TPixelRect{0, 0, 9, 9}), "4,4");
  EXPECT_EQ(RectCentreText(TPixelRect{1, 2, 4, 5}), "2,3");
  EXPECT_EQ(RectCentreText(TPixelRect{-3, -3, 0, 0}), "-1,-1");
}

TEST(QVMasterRules, MouseModes) {
  const std::tuple<int32_t, int32_t, int32_t> cases[] = {
      {kMouseNormal, kMouseAnnotate, kMouseAnnotate}, {kMouseAnnotate, kMouseAnnotate, kMouseNormal},
      {kMouseAnnotate, kMouseMask, kMouseMask},       {kMouseMask, kMouseMask, kMouseNormal},
      {kMouseMask, kMouseNormal, kMouseNormal},       {kMouseNormal, 1, kMouseNormal},
      {kMouseAnnotate, 7, kMouseNormal},
  };
  for (auto [cur, req, next] : cases) EXPECT_EQ(NextMouseMode(cur, req), next) << cur << " " << req;
}

TEST(QVMasterRules, SelectionSquare) {
  // 2400 / 20 = 120 around the point.
  EXPECT_EQ(SquareAround(1000, 800, 2400, 1600), (TPixelRect{940, 740, 1059, 859}));
  // At least 30, held inside the image.
  EXPECT_EQ(SquareAround(0, 0, 100, 100), (TPixelRect{0, 0, 14, 14}));
  // At most 300.
  const TPixelRect big = SquareAround(5000, 5000, 10000, 10000);
  EXPECT_EQ(big.Right - big.Left + 1, 300);
}

// A w × h image whose pixel (x, y) holds x + 10 y (+ 1000 in red, + 2000 in blue).
std::unique_ptr<TAImage> Ramp(int32_t w, int32_t h, bool colour) {
  auto img = std::make_unique<TAImage>();
  EXPECT_TRUE(img->Resize(w, h, colour));
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      img->MainPlane->Data[y * w + x] = float(x + 10 * y);
      if (colour) {
        img->RedPlane->Data[y * w + x] = float(1000 + x + 10 * y);
        img->BluePlane->Data[y * w + x] = float(2000 + x + 10 * y);
      }
    }
  return img;
}

TEST(QVMasterRules, InternalClipboardHasAnExplicitEmptyState) {
  TInternalClipboard c;
  EXPECT_TRUE(c.Empty());
  EXPECT_EQ(c.Image(), nullptr);
  // A 2 × 2 image is an image, not "empty".
  c.Set(Ramp(2, 2, false));
  EXPECT_FALSE(c.Empty());
  c.Clear();
  EXPECT_TRUE(c.Empty());
}

TEST(QVMasterRules, CopyOfARectangle) {
  std::unique_ptr<TAImage> img = Ramp(5, 4, true);
  img->Header.SetString("OBJECT", "M31", true);
  std::unique_ptr<TAImage> part = CopyImageRect(*img, TPixelRect{1, 1, 3, 2});
  ASSERT_TRUE(part);
  ASSERT_EQ(part->Width(), 3);
  ASSERT_EQ(part->Height(), 2);
  ASSERT_TRUE(part->IsColour());
  for (int32_t y = 0; y < 2; ++y)
    for (int32_t x = 0; x < 3; ++x) {
      EXPECT_EQ(part->MainPlane->Data[y * 3 + x], float((x + 1) + 10 * (y + 1)));
      EXPECT_EQ(part->BluePlane->Data[y * 3 + x], float(2000 + (x + 1) + 10 * (y + 1)));
    }
  EXPECT_EQ(part->Header.GetString("OBJECT"), "M31");
  // Clipped to the image; nothing for an empty or outside rectangle.
  std::unique_ptr<TAImage> clipped = CopyImageRect(*img, TPixelRect{3, 2, 99, 99});
  ASSERT_TRUE(clipped);
  EXPECT_EQ(clipped->Width(), 2);
  EXPECT_EQ(clipped->Height(), 2);
  EXPECT_FALSE(CopyImageRect(*img, TPixelRect{}));
  EXPECT_FALSE(CopyImageRect(*img, TPixelRect{10, 10, 12, 12}));
}

TEST(QVMasterRules, PasteCentredOnTheRectangleAndClipped) {
  std::unique_ptr<TAImage> src = Ramp(2, 2, false);
  std::unique_ptr<TAImage> dst = Ramp(5, 5, true);
  for (TBWImage* p : {dst->MainPlane.get(), dst->RedPlane.get(), dst->BluePlane.get()})
    std::fill(p->Data, p->Data + 25, -1.0f);
  // Centre (2, 2): the source's centre pixel (0, 0) lands there, so the 2 × 2 source
  // covers columns and rows 2 … 3.
  EXPECT_EQ(PasteCentred(*src, *dst, TPixelRect{0, 0, 4, 4}), 4);
  for (int32_t y = 0; y < 5; ++y)
    for (int32_t x = 0; x < 5; ++x) {
      const bool inside = x >= 2 && x <= 3 && y >= 2 && y <= 3;
      const float want = inside ? float((x - 2) + 10 * (y - 2)) : -1.0f;
      EXPECT_EQ(dst->MainPlane->Data[y * 5 + x], want) << x << "," << y;
      // A monochrome source fills every colour plane.
      EXPECT_EQ(dst->RedPlane->Data[y * 5 + x], want) << x << "," << y;
    }
  // Centred on the last pixel: only the part inside is written.
  EXPECT_EQ(PasteCentred(*src, *dst, TPixelRect{4, 4, 4, 4}), 1);
  EXPECT_EQ(dst->MainPlane->Data[24], 0.0f);
  // A source larger than the target is clipped on every side: 7 × 7 centred on (2, 2).
  std::unique_ptr<TAImage> big = Ramp(7, 7, false);
  EXPECT_EQ(PasteCentred(*big, *dst, TPixelRect{2, 2, 2, 2}), 25);
  EXPECT_EQ(dst->MainPlane->Data[0], 11.0f);
}

TEST(QVMasterRules, SnapshotWalkPassesOverItemsThatWentAway) {
  std::vector<bool> alive = {true, false, true, true, true};
  TSnapshotWalk<int> walk({0, 1, 2, 3, 4}, [&](const int& i) { return bool(alive[size_t(i)]); });
  std::vector<int> seen;
  while (walk.Next()) {
    seen.push_back(walk.Current());
    // The action of item 2 closes item 3.
    if (walk.Current() == 2) alive[3] = false;
  }
  EXPECT_EQ(seen, (std::vector<int>{0, 2, 4}));
}

}  // namespace
