#include "AnnotationView.h"

#include <algorithm>
#include <cmath>

#include "ZoomMath.h"
#include "annotate/uAnnotate.h"
#include "base/OrluMath.h"

namespace orlu {

namespace {

int64_t FloorDiv(int64_t a, int64_t b) {
  const int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

int32_t ClampCoordinate(int64_t v) {
  return int32_t(std::clamp<int64_t>(v, -kAnnMaxCoordinate, kAnnMaxCoordinate));
}

// Corner pair of one axis in zoomed pixels: outer edges of the spanned pixels, or centres.
void MapAxis(int32_t& v1, int32_t& v2, int32_t numerator, bool centres) {
  auto centre = [&](int64_t n) {
    return FloorDiv(ZoomedStart(n, numerator) + ZoomedStart(n + 1, numerator) - 1, 2);
  };
  if (centres) {
    v1 = ClampCoordinate(centre(v1));
    v2 = ClampCoordinate(centre(v2));
    return;
  }
  const bool ascending = v1 <= v2;
  const int64_t lo = std::min(v1, v2), hi = std::max(v1, v2);
  const int64_t a = ZoomedStart(lo, numerator);
  const int64_t b = std::max(a, ZoomedStart(hi + 1, numerator) - 1);
  v1 = ClampCoordinate(ascending ? a : b);
  v2 = ClampCoordinate(ascending ? b : a);
}

}  // namespace

int64_t ZoomedStart(int64_t n, int32_t numerator) {
  if (numerator <= 0) return 0;
  return -FloorDiv(-n * numerator, kZoomDenominator);
}

void MapAnnotationToView(TAnnotation& a, const TViewMapping& m) {
  const bool centres = a.Kind == akArrow || a.Kind == akRuler || a.Kind == akPoint;
  // Image rows count upward and zoomed rows downward: flip first, then zoom.
  int32_t y1 = ClampCoordinate(int64_t(m.ImageHeight) - 1 - a.Y1);
  int32_t y2 = ClampCoordinate(int64_t(m.ImageHeight) - 1 - a.Y2);
  MapAxis(a.X1, a.X2, m.Numerator, centres);
  MapAxis(y1, y2, m.Numerator, centres);
  a.X1 = ClampCoordinate(int64_t(a.X1) - m.Left);
  a.X2 = ClampCoordinate(int64_t(a.X2) - m.Left);
  // Zoomed row r is picture row Height - 1 - (r - Top) counted upward.
  a.Y1 = ClampCoordinate(int64_t(m.Height) - 1 - (int64_t(y1) - m.Top));
  a.Y2 = ClampCoordinate(int64_t(m.Height) - 1 - (int64_t(y2) - m.Top));
  const double s = double(m.Numerator) / kZoomDenominator;
  a.FontSize = std::clamp(Round(a.FontSize * s), 1, kAnnMaxFontSize);
}

bool MapAnnotationsToView(const TAnnotationList& source, const TViewMapping& m,
                          TAnnotationList& out, const TAnnParams* params) {
  out.Clear();
  for (int32_t i = 0; i < source.Count(); ++i) {
    const TAnnotation& a = source[i];
    // Labels lie beside the figure: keep whatever could reach into the picture with them.
    const double s = double(m.Numerator) / kZoomDenominator;
    const double fontPx = a.FontSize * s * 96.0 / 72.0;
    const double margin =
        32 + 4.0 * a.Width + fontPx * (4 + std::min<double>(double(a.Text.size()) + 80, 1e6));
    const double left = double(ZoomedStart(std::min(a.X1, a.X2), m.Numerator)) - m.Left;
    const double right = double(ZoomedStart(int64_t(std::max(a.X1, a.X2)) + 1, m.Numerator)) - m.Left;
    const double top =
        double(ZoomedStart(int64_t(m.ImageHeight) - 1 - std::max(a.Y1, a.Y2), m.Numerator)) - m.Top;
    const double bottom =
        double(ZoomedStart(int64_t(m.ImageHeight) - std::min(a.Y1, a.Y2), m.Numerator)) - m.Top;
    if (right < -margin || left > m.Width + margin || bottom < -margin || top > m.Height + margin)
      continue;
    TAnnotation& copy = out.AddCopy(a);
    if (params && copy.TextPos < tpNone && !copy.Text.empty())
      copy.Text = ExpandAnnotationText(a.Text, a, *params);
    MapAnnotationToView(copy, m);
  }
  return !out.IsEmpty();
}

}  // namespace orlu
