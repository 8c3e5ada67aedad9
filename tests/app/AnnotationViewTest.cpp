// Annotations mapped from image coordinates onto the rendered part of a zoomed window.
#include <gtest/gtest.h>

#include <memory>

#include "AnnotationView.h"
#include "ViewRender.h"
#include "ZoomMath.h"
#include "annotate/uAnnotate.h"

using namespace orlu;

namespace {

int64_t FloorDiv(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

std::unique_ptr<TAnnotation> Make(int32_t kind, int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
  auto a = std::make_unique<TAnnotation>();
  a->Kind = kind;
  a->X1 = x1;
  a->Y1 = y1;
  a->X2 = x2;
  a->Y2 = y2;
  return a;
}

}  // namespace

// The first screen pixel showing image pixel n, against a search of the screen's own rule
// (pixel k shows floor(k × 960 / numerator)).
TEST(AnnotationView, ZoomedStartIsTheFirstScreenPixelOfAnImagePixel) {
  for (int32_t num : {18, 480, 959, 960, 1210, 1920, 2880, 28800}) {
    for (int64_t n = -7; n <= 40; ++n) {
      int64_t k = -40 * 30;
      while (FloorDiv(k * kZoomDenominator, num) < n) ++k;
      EXPECT_EQ(ZoomedStart(n, num), k) << "n " << n << " numerator " << num;
    }
  }
  // Agrees with the indices the renderer uses for the non-negative part.
  const std::vector<int32_t> shown = ZoomedIndices(0, 100, 1210);
  for (int32_t n = 1; n < 60; ++n) {
    const int64_t k = ZoomedStart(n, 1210);
    EXPECT_EQ(shown[size_t(k)], n);
    EXPECT_EQ(shown[size_t(k - 1)], n - 1);
  }
}

TEST(AnnotationView, CornersLandOnTheZoomedPixels) {
  // A 10-row image at 200 %, the picture showing zoomed columns 4 … 23 and rows 2 … 13.
  const TViewMapping m{1920, 10, 4, 2, 20, 12};
  struct Case {
    int32_t Kind, X1, Y1, X2, Y2;  // image
    int32_t EX1, EY1, EX2, EY2;    // picture, row 0 at the bottom
  };
  const Case cases[] = {
      // Columns 2 … 5 are zoomed 4 … 11, picture 0 … 7; rows 3 … 4 (flipped 6 … 5) are
      // zoomed rows 10 … 13, picture rows 3 … 0 counted upward.
      {akRectangle, 2, 3, 5, 4, 0, 0, 7, 3},
      // Corners in the other order keep their order.
      {akEllipse, 5, 4, 2, 3, 7, 3, 0, 0},
      // Arrows join pixel centres: pixel 2 covers zoomed 4 … 5, its centre taken as 4.
      {akArrow, 2, 3, 5, 4, 0, 1, 6, 3},
      // A one-pixel figure spans the whole zoomed pixel.
      {akCross, 7, 7, 7, 7, 10, 9, 11, 8},
  };
  for (const Case& c : cases) {
    auto a = Make(c.Kind, c.X1, c.Y1, c.X2, c.Y2);
    a->FontSize = 11;
    MapAnnotationToView(*a, m);
    EXPECT_EQ(a->X1, c.EX1) << c.Kind;
    EXPECT_EQ(a->Y1, c.EY1) << c.Kind;
    EXPECT_EQ(a->X2, c.EX2) << c.Kind;
    EXPECT_EQ(a->Y2, c.EY2) << c.Kind;
    EXPECT_EQ(a->FontSize, 22);
  }
  // At 50 % two image pixels share a screen pixel; fonts shrink but stay at least 1 point.
  auto a = Make(akRectangle, 4, 0, 7, 1);
  a->FontSize = 1;
  MapAnnotationToView(*a, TViewMapping{480, 10, 0, 0, 10, 5});
  EXPECT_EQ(a->X1, 2);
  EXPECT_EQ(a->X2, 3);
  // Image rows 0 … 1 are flipped rows 9 … 8, zoomed row 4: the picture's bottom row.
  EXPECT_EQ(a->Y1, 0);
  EXPECT_EQ(a->Y2, 0);
  EXPECT_EQ(a->FontSize, 1);
  // Extreme coordinates stay in the annotation range.
  auto far = Make(akRectangle, -kAnnMaxCoordinate, -kAnnMaxCoordinate, kAnnMaxCoordinate,
                  kAnnMaxCoordinate);
  MapAnnotationToView(*far, TViewMapping{28800, 100, 0, 0, 50, 50});
  EXPECT_EQ(far->X1, -kAnnMaxCoordinate);
  EXPECT_EQ(far->X2, kAnnMaxCoordinate);
  // The lowest row lies far below the picture's bottom, the highest far above its top.
  EXPECT_EQ(far->Y1, 49 - kAnnMaxCoordinate);
  EXPECT_EQ(far->Y2, kAnnMaxCoordinate);
}

TEST(AnnotationView, OnlyAnnotationsNearThePictureAreKept) {
  TAnnotationList list;
  list.Add(Make(akRectangle, 10, 10, 20, 20));          // inside
  list.Add(Make(akRectangle, 5000, 10, 5010, 20));      // far to the right
  list.Add(Make(akRectangle, 10, -9000, 20, -8990));    // far below
  auto labelled = Make(akCross, 130, 10, 135, 15);      // just right of it, with a label
  labelled->Text = "Label";
  list.Add(std::move(labelled));
  const TViewMapping m{960, 100, 0, 0, 120, 100};
  TAnnotationList out;
  ASSERT_TRUE(MapAnnotationsToView(list, m, out));
  ASSERT_EQ(out.Count(), 2);
  EXPECT_EQ(out[0].X1, 10);
  EXPECT_EQ(out[1].Text, "Label");
  // The source is unchanged.
  EXPECT_EQ(list.Count(), 4);
  EXPECT_EQ(list[1].X1, 5000);

  TAnnotationList none;
  none.Add(Make(akRectangle, 5000, 10, 5010, 20));
  EXPECT_FALSE(MapAnnotationsToView(none, m, out));
  EXPECT_TRUE(out.IsEmpty());
}

TEST(AnnotationView, TextsAreExpandedAtImageCoordinates) {
  TAnnotationList list;
  auto a = Make(akRectangle, 10, 10, 20, 20);
  a->Text = "%FILENAME";
  list.Add(std::move(a));
  TAnnParams params;
  params.DocumentName = "m31.fits";
  TAnnotationList out;
  ASSERT_TRUE(MapAnnotationsToView(list, TViewMapping{1920, 100, 0, 0, 300, 300}, out, &params));
  EXPECT_EQ(out[0].Text, "m31.fits");
  EXPECT_EQ(list[0].Text, "%FILENAME");
}
