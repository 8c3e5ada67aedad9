// Rules of the mouse tools, without Qt: click thresholds, drag zoom, automatic scrolling,
// rectangles and lines from two corners, moving a rectangle, and the polygon path.
#pragma once

#include <cstdint>
#include <vector>

#include "formula/ImaMask.h"

namespace orlu {

// Factory kinds of the mouse tools.
enum class TDraggerKind : int32_t {
  Pan = 0, Zoom = 1, Rect = 2, RectMove = 3, Line = 4, MaskPath = 5, MaskMove = 6,
  MaskBrush = 7, MaskFillPick = 8, Annotate = 9
};

// The gesture was a click: the largest distance moved stays below 4 pixels (pan, zoom,
// annotate, fill pick) or 5 (rectangle, line); the other tools never click.
bool DraggerIsClick(TDraggerKind kind, double largestDistance);

// Drag zoom: the code for a vertical move from startY to y (screen pixels, down positive),
// codes −40..−1 snapping to 0, held in −942..10.
int32_t DragZoomCode(int32_t startCode, int32_t startY, int32_t y);

// Automatic scrolling along one axis: −1 (left/up), 0, +1 (right/down) and the step in
// scroll units. pos is the pointer, extent the visible size, lineStep one scroll line.
struct TAutoScroll {
  int32_t Direction = 0;
  int32_t Step = 0;
};
TAutoScroll AutoScrollAxis(int32_t pos, int32_t extent, bool hasScrollBar, int32_t lineStep);

// Pan: the new scroll position (the image follows at twice the mouse speed).
int32_t PanScroll(int32_t startScroll, int32_t startPoint, int32_t point, double scale);

// A rectangle from two image corners: ordered and clipped to a w × h image (empty when it
// lies outside). With square the side is the larger extent, from the first corner.
TPixelRect CornersToRect(int32_t x1, int32_t y1, int32_t x2, int32_t y2, bool square, int32_t w,
                         int32_t h);
// The end of a line with Ctrl: horizontal when the vertical extent is under a third of the
// horizontal one, vertical in the opposite case.
void SnapLineEnd(int32_t x1, int32_t y1, int32_t& x2, int32_t& y2);
// A rectangle moved by (dx, dy), the offset limited so that it stays inside a w × h image
// (a rectangle larger than the image keeps its left/bottom edge at 0).
TPixelRect MoveRectInside(const TPixelRect& r, int32_t dx, int32_t dy, int32_t w, int32_t h);

// The polygon path of the mask path tool: vertices in image pixels, at most kMaxVertices.
class TPolygonPath {
 public:
  static constexpr int32_t kMaxVertices = 5000;
  enum class TClose : uint8_t { Open, Fill, Clear, Discard };

  // A press at (x, y); doubleClick: within the system double-click time of the last press.
  void Press(int32_t x, int32_t y, bool doubleClick);
  // A move with the button held by moveDistance screen pixels since the press or the last
  // freehand vertex: from 4 pixels on it acts as release plus press.
  void Move(int32_t x, int32_t y, double moveDistance);
  // Release of the left button (left) or of another one (middle tells which).
  void Release(int32_t x, int32_t y, bool left, bool middle);

  TClose State() const { return State_; }
  bool Finished() const { return State_ != TClose::Open; }
  const std::vector<TMaskPoint>& Vertices() const { return V_; }
  bool Freehand() const { return Freehand_; }

 private:
  void Add(int32_t x, int32_t y);

  std::vector<TMaskPoint> V_;
  TClose State_ = TClose::Open;
  bool Freehand_ = false;
  bool AddedOnPress_ = false;
};

}  // namespace orlu
