#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "ViewRender.h"
#include "ZoomMath.h"
#include "image/ImaColor.h"
#include "visual/ImaPalette.h"
#include "visual/ImaRender.h"

using namespace orlu;

namespace {

void FillRandom(TAImage& img, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(-100.0f, 5000.0f);
  for (TBWImage* p : {img.MainPlane.get(), img.RedPlane.get(), img.BluePlane.get()})
    if (p)
      for (int32_t i = 0; i < p->Count; ++i) p->Data[i] = d(rng);
  img.Visu.SetLinear(0, 4000);
}

// The view of the zoomed region [x0, x0 + w) × [y0, y0 + h) (screen pixels, top-down) as
// read pixel by pixel from the full-size picture of the core renderer.
std::vector<uint32_t> Reference(const TAImage& img, int32_t code, int64_t x0, int64_t y0,
                                int32_t w, int32_t h) {
  TBgraBitmap full;
  EXPECT_TRUE(full.SetSize(img.Width(), img.Height()));
  EXPECT_TRUE(RenderImage(img, full));
  const double scale = ZoomScale(code);
  // Image column i covers screen pixels [i·scale, (i+1)·scale): walk both in step.
  auto walk = [scale](int64_t first, int32_t n) {
    std::vector<int32_t> idx;
    int32_t i = 0;
    for (int32_t k = 0; k < n; ++k) {
      while ((i + 1) * scale <= double(first + k)) ++i;
      idx.push_back(i);
    }
    return idx;
  };
  const std::vector<int32_t> cols = walk(x0, w);
  const std::vector<int32_t> rowsFromTop = walk(y0, h);
  std::vector<uint32_t> out;
  for (int32_t sy = 0; sy < h; ++sy)
    for (int32_t sx = 0; sx < w; ++sx)
      out.push_back(full.Pixel(cols[size_t(sx)], img.Height() - 1 - rowsFromTop[size_t(sy)]));
  return out;
}

}  // namespace

TEST(ViewRender, IndexLists) {
  EXPECT_EQ(ZoomedIndices(0, 5, 960), (std::vector<int32_t>{0, 1, 2, 3, 4}));
  EXPECT_EQ(ZoomedIndices(3, 4, 1920), (std::vector<int32_t>{1, 2, 2, 3}));  // 200 %
  EXPECT_EQ(ZoomedIndices(1, 3, 480), (std::vector<int32_t>{2, 4, 6}));      // 50 %
  EXPECT_EQ(SpreadIndices(4, 8), (std::vector<int32_t>{1, 3, 5, 7}));
  EXPECT_EQ(SpreadIndices(4, 2), (std::vector<int32_t>{0, 0, 1, 1}));
  std::vector<int32_t> rows = {0, 1, 9};
  FlipRows(rows, 10);
  EXPECT_EQ(rows, (std::vector<int32_t>{9, 8, 0}));
}

TEST(ViewRender, RegionsMatchTheFullPicture) {
  struct Row {
    const char* name;
    int32_t w, h;
    bool colour;
    int32_t palette;
    int32_t code;
    int64_t x0, y0;
    int32_t vw, vh;
  };
  const Row rows[] = {
      {"100 % inner region", 37, 23, false, kPaletteGray, 0, 5, 3, 20, 11},
      {"100 % whole", 37, 23, false, kPaletteGray, 0, 0, 0, 37, 23},
      {"300 % edge", 37, 23, false, kPaletteGray, 2, 70, 40, 41, 29},
      {"63 % whole", 37, 23, false, kPaletteGray, -355, 0, 0, 24, 15},
      {"1.875 % of a wide image", 1000, 70, false, kPaletteGray, -942, 0, 0, 19, 2},
      {"colour 200 %", 19, 13, true, kPaletteGray, 1, 3, 5, 30, 20},
      {"colour through a palette", 19, 13, true, kPaletteRainbow, 0, 0, 0, 19, 13},
      {"mono through a palette", 19, 13, false, kPaletteRainbow, -480, 0, 0, 10, 7},
      // Above 1.5 million pixels: rendered in bands side by side.
      {"bands", 1300, 1250, false, kPaletteGray, 0, 0, 0, 1300, 1250},
      {"colour bands at 200 %", 700, 650, true, kPaletteGray, 1, 11, 7, 1300, 1250},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    TAImage img;
    img.SetSize(r.w, r.h, r.colour);
    FillRandom(img, uint32_t(r.w * 31 + r.h));
    img.Visu.Palette.BuildPalette(r.palette, 0);
    ASSERT_LE(r.x0 + r.vw, ZoomedExtent(r.w, r.code));
    ASSERT_LE(r.y0 + r.vh, ZoomedExtent(r.h, r.code));
    const int32_t num = ZoomNumerator(r.code);
    std::vector<int32_t> rowsIdx = ZoomedIndices(r.y0, r.vh, num);
    FlipRows(rowsIdx, r.h);
    TViewRenderer renderer;
    TViewPicture out;
    ASSERT_TRUE(renderer.Render(img, ZoomedIndices(r.x0, r.vw, num), rowsIdx, out));
    // The picture has the shown size, not the image's.
    ASSERT_EQ(out.Width(), r.vw);
    ASSERT_EQ(out.Height(), r.vh);
    if (int64_t(r.vw) * r.vh > 1500000) {
      EXPECT_GT(out.BandCount(), 1);
    }
    const std::vector<uint32_t> ref = Reference(img, r.code, r.x0, r.y0, r.vw, r.vh);
    for (int32_t k = 0; k < r.vw * r.vh; ++k)
      ASSERT_EQ(out.Pixel(k % r.vw, k / r.vw), ref[size_t(k)])
          << "pixel " << k % r.vw << "," << k / r.vw;
  }
}

TEST(ViewRender, ReusedRendererFollowsChanges) {
  TAImage img;
  img.SetSize(8, 8, false);
  FillRandom(img, 7);
  TViewRenderer renderer;
  TViewPicture out;
  std::vector<int32_t> all = ZoomedIndices(0, 8, 960);
  std::vector<int32_t> rows = all;
  FlipRows(rows, 8);
  ASSERT_TRUE(renderer.Render(img, all, rows, out));
  // A changed view range and a smaller view: the same renderer gives the new picture.
  img.Visu.SetLinear(1000, 2000);
  std::vector<int32_t> part = ZoomedIndices(0, 3, 960);
  std::vector<int32_t> partRows = part;
  FlipRows(partRows, 8);
  ASSERT_TRUE(renderer.Render(img, part, partRows, out));
  EXPECT_EQ(out.Width(), 3);
  const std::vector<uint32_t> ref = Reference(img, 0, 0, 0, 3, 3);
  for (int32_t k = 0; k < 9; ++k) EXPECT_EQ(out.Pixel(k % 3, k / 3), ref[size_t(k)]) << k;
  EXPECT_FALSE(renderer.Render(img, {}, partRows, out));
}
