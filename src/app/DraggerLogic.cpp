#include "DraggerLogic.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "ZoomMath.h"
#include "base/OrluMath.h"

namespace orlu {

bool DraggerIsClick(TDraggerKind kind, double d) {
  switch (kind) {
    case TDraggerKind::Pan:
    case TDraggerKind::Zoom:
    case TDraggerKind::Annotate:
    case TDraggerKind::MaskFillPick: return d < 4;
    case TDraggerKind::Rect:
    case TDraggerKind::Line: return d < 5;
    default: return false;
  }
}

int32_t DragZoomCode(int32_t startCode, int32_t startY, int32_t y) {
  const double u = startCode > 0 ? 80.0 * startCode : double(startCode);
  const double v = u + double(startY - y) * 5.4;
  int32_t code = v > 0 ? Round(v / 80) : Round(v);
  if (code >= -40 && code <= -1) code = 0;
  return ClampZoomCode(code);
}

TAutoScroll AutoScrollAxis(int32_t pos, int32_t extent, bool hasScrollBar, int32_t lineStep) {
  TAutoScroll a;
  if (!hasScrollBar) return a;
  int32_t over = 0;
  if (pos < 15) {
    a.Direction = -1;
    over = pos - 15;
  } else if (pos > extent - 16) {
    a.Direction = 1;
    over = pos - (extent - 16);
  } else {
    return a;
  }
  // The overshoot counts by its size on either side.
  const int32_t o = std::abs(over);
  if (o < 41)
    a.Step = lineStep;
  else if (o < 200)
    a.Step = extent / 6 / 5 + 4;
  else
    a.Step = extent / 5 + 4;
  return a;
}

int32_t PanScroll(int32_t startScroll, int32_t startPoint, int32_t point, double scale) {
  return SaturateCast<int32_t>(startScroll + double(startPoint - point) * 2.0 / scale);
}

TPixelRect CornersToRect(int32_t x1, int32_t y1, int32_t x2, int32_t y2, bool square, int32_t w,
                         int32_t h) {
  if (square) {
    const int64_t side = std::max(std::llabs(int64_t(x2) - x1), std::llabs(int64_t(y2) - y1));
    x2 = SaturateCast<int32_t>(double(x1) + (x2 >= x1 ? side : -side));
    y2 = SaturateCast<int32_t>(double(y1) + (y2 >= y1 ? side : -side));
  }
  TPixelRect r{std::min(x1, x2), std::min(y1, y2), std::max(x1, x2), std::max(y1, y2)};
  r.Left = std::max(r.Left, 0);
  r.Bottom = std::max(r.Bottom, 0);
  r.Right = std::min(r.Right, w - 1);
  r.Top = std::min(r.Top, h - 1);
  return r;
}

void SnapLineEnd(int32_t x1, int32_t y1, int32_t& x2, int32_t& y2) {
  const int64_t dx = std::llabs(int64_t(x2) - x1), dy = std::llabs(int64_t(y2) - y1);
  if (3 * dy < dx)
    y2 = y1;
  else if (3 * dx < dy)
    x2 = x1;
}

TPixelRect MoveRectInside(const TPixelRect& r, int32_t dx, int32_t dy, int32_t w, int32_t h) {
  auto limit = [](int32_t lo, int32_t hi, int32_t d, int32_t size) {
    // Offsets that keep lo + d >= 0 and hi + d <= size − 1; the first wins when both fail.
    int64_t v = d;
    v = std::min<int64_t>(v, int64_t(size - 1) - hi);
    v = std::max<int64_t>(v, -int64_t(lo));
    return int32_t(v);
  };
  const int32_t ox = limit(r.Left, r.Right, dx, w), oy = limit(r.Bottom, r.Top, dy, h);
  TPixelRect m{r.Left + ox, r.Bottom + oy, r.Right + ox, r.Top + oy};
  m.Right = std::min(m.Right, w - 1);
  m.Top = std::min(m.Top, h - 1);
  return m;
}

void TPolygonPath::Add(int32_t x, int32_t y) {
  if (State_ != TClose::Open) return;
  V_.push_back({x, y});
  // The list is bounded: the path closes (and fills) at its last vertex.
  if (int32_t(V_.size()) >= kMaxVertices) State_ = TClose::Fill;
}

void TPolygonPath::Press(int32_t x, int32_t y, bool doubleClick) {
  if (State_ != TClose::Open) return;
  Freehand_ = false;
  AddedOnPress_ = false;
  if (V_.empty()) {
    Add(x, y);
    AddedOnPress_ = true;
    return;
  }
  if (V_.size() == 1 && doubleClick && V_[0].X == x && V_[0].Y == y) {
    State_ = TClose::Clear;
    return;
  }
  const TMaskPoint& last = V_.back();
  if (last.X != x || last.Y != y) {
    Add(x, y);
    AddedOnPress_ = true;
  }
}

void TPolygonPath::Move(int32_t x, int32_t y, double moveDistance) {
  if (State_ != TClose::Open || V_.empty() || moveDistance < 4) return;
  Freehand_ = true;
  const TMaskPoint& last = V_.back();
  if (last.X != x || last.Y != y) Add(x, y);
}

void TPolygonPath::Release(int32_t x, int32_t y, bool left, bool middle) {
  if (State_ != TClose::Open) return;
  if (!left) {
    State_ = middle ? TClose::Discard : TClose::Fill;
    return;
  }
  // Closing needs a press on the last vertex itself, not the press that placed it.
  if (V_.size() > 2 && !Freehand_ && !AddedOnPress_ && V_.back().X == x && V_.back().Y == y) State_ = TClose::Fill;
  Freehand_ = false;
}

}  // namespace orlu
