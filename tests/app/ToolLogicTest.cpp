#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DraggerLogic.h"
#include "HeaderText.h"
#include "ToolWindowLogic.h"
#include "fits/ImaHeader.h"

using namespace orlu;

// ============================================================================ dragger

TEST(DraggerLogic, ClickThresholdsPerKind) {
  struct Row {
    TDraggerKind kind;
    double d;
    bool click;
  };
  const Row rows[] = {
      {TDraggerKind::Pan, 3.9, true},        {TDraggerKind::Pan, 4, false},
      {TDraggerKind::Zoom, 3, true},         {TDraggerKind::Annotate, 4.5, false},
      {TDraggerKind::MaskFillPick, 0, true}, {TDraggerKind::Rect, 3, true},
      {TDraggerKind::Rect, 4.9, true},       {TDraggerKind::Rect, 5, false},
      {TDraggerKind::Line, 4, true},         {TDraggerKind::RectMove, 0, false},
      {TDraggerKind::MaskPath, 0, false},    {TDraggerKind::MaskMove, 0, false},
      {TDraggerKind::MaskBrush, 0, false},
  };
  for (const Row& r : rows) EXPECT_EQ(DraggerIsClick(r.kind, r.d), r.click) << int(r.kind) << " " << r.d;
}

TEST(DraggerLogic, DragZoomCodes) {
  struct Row {
    int32_t c0, dy, code;
  };
  const Row rows[] = {
      {0, 10, 1},        // round(54/80) = 1: 200 %
      {0, 5, 0},         // 27/80 rounds to 0
      {0, -5, 0},        // −27 snaps to 0
      {0, -8, -43},      // round(−43.2)
      {3, 0, 3},         // 240/80
      {-100, -1000, -942},  // held at the smallest code
      {10, 2000, 10},    // held at the largest
      {-480, 100, 1},    // v = −480 + 540 = 60 > 0: round(60/80)
  };
  for (const Row& r : rows) EXPECT_EQ(DragZoomCode(r.c0, 500, 500 - r.dy), r.code) << r.c0 << " " << r.dy;
}

TEST(DraggerLogic, AutoScrollBothDirections) {
  struct Row {
    int32_t pos, dir, step;
  };
  // Visible extent 600, line step 20: page steps 600/6/5 + 4 = 24 and 600/5 + 4 = 124.
  const Row rows[] = {
      {300, 0, 0},   {14, -1, 20},  {-20, -1, 20},  {-30, -1, 24},  {-180, -1, 24},
      {-300, -1, 124}, {585, 1, 20}, {625, 1, 24},  {790, 1, 124},
  };
  for (const Row& r : rows) {
    const TAutoScroll a = AutoScrollAxis(r.pos, 600, true, 20);
    EXPECT_EQ(a.Direction, r.dir) << r.pos;
    EXPECT_EQ(a.Step, r.step) << r.pos;
  }
  EXPECT_EQ(AutoScrollAxis(-300, 600, false, 20).Direction, 0);
}

TEST(DraggerLogic, RectanglesAreOrderedClippedAndSquared) {
  EXPECT_EQ(CornersToRect(50, 60, 10, 20, false, 100, 100), (TPixelRect{10, 20, 50, 60}));
  EXPECT_EQ(CornersToRect(-10, 90, 30, 150, false, 100, 100), (TPixelRect{0, 90, 30, 99}));
  EXPECT_EQ(CornersToRect(10, 10, 30, 15, true, 100, 100), (TPixelRect{10, 10, 30, 30}));
  EXPECT_EQ(CornersToRect(10, 10, 5, 30, true, 100, 100), (TPixelRect{0, 10, 10, 30}));
  EXPECT_TRUE(CornersToRect(200, 200, 300, 300, false, 100, 100).IsEmpty());
  // A moved rectangle stays inside the image.
  const TPixelRect r{10, 10, 29, 19};
  EXPECT_EQ(MoveRectInside(r, 5, -3, 100, 100), (TPixelRect{15, 7, 34, 16}));
  EXPECT_EQ(MoveRectInside(r, 500, -500, 100, 100), (TPixelRect{80, 0, 99, 9}));
  EXPECT_EQ(MoveRectInside(r, -50, 90, 100, 100), (TPixelRect{0, 90, 19, 99}));
  int32_t x2 = 100, y2 = 20;
  SnapLineEnd(0, 0, x2, y2);
  EXPECT_EQ(y2, 0);
  x2 = 20, y2 = 100;
  SnapLineEnd(0, 0, x2, y2);
  EXPECT_EQ(x2, 0);
  x2 = 50, y2 = 40;
  SnapLineEnd(0, 0, x2, y2);
  EXPECT_EQ(x2, 50);
  EXPECT_EQ(y2, 40);
  EXPECT_EQ(PanScroll(100, 50, 40, 2.0), 110);
}

TEST(DraggerLogic, PolygonPathClosing) {
  TPolygonPath p;
  p.Press(10, 10, false);
  p.Release(10, 10, true, false);
  p.Press(20, 10, false);
  p.Release(20, 10, true, false);
  p.Press(20, 20, false);
  p.Release(20, 20, true, false);  // released on the vertex the press placed: still open
  EXPECT_FALSE(p.Finished());
  p.Press(20, 20, false);  // a press on the last vertex adds nothing...
  p.Release(20, 20, true, false);  // ...and its release closes
  EXPECT_EQ(p.State(), TPolygonPath::TClose::Fill);
  EXPECT_EQ(p.Vertices().size(), 3u);

  TPolygonPath dbl;
  dbl.Press(5, 5, false);
  dbl.Release(5, 5, true, false);
  dbl.Press(5, 5, true);
  EXPECT_EQ(dbl.State(), TPolygonPath::TClose::Clear);

  TPolygonPath right;
  right.Press(1, 1, false);
  right.Release(1, 1, false, false);
  EXPECT_EQ(right.State(), TPolygonPath::TClose::Fill);
  TPolygonPath middle;
  middle.Press(1, 1, false);
  middle.Release(1, 1, false, true);
  EXPECT_EQ(middle.State(), TPolygonPath::TClose::Discard);

  // Freehand: moves of 4 pixels add vertices; the list is bounded and then closes.
  TPolygonPath free;
  free.Press(0, 0, false);
  for (int32_t i = 1; i < 6000 && !free.Finished(); ++i) free.Move(i, i % 7, 4.0);
  EXPECT_EQ(free.Vertices().size(), size_t(TPolygonPath::kMaxVertices));
  EXPECT_EQ(free.State(), TPolygonPath::TClose::Fill);
  TPolygonPath small;
  small.Press(0, 0, false);
  small.Move(1, 1, 3.9);
  EXPECT_EQ(small.Vertices().size(), 1u);
}

// ============================================================================ tool frame

TEST(ToolWindowLogic, TitleButtonsAndActions) {
  // Title 300 wide: buttons from 180.
  struct Row {
    int32_t x, button;
  };
  const Row rows[] = {{100, 0}, {177, 0}, {178, 1}, {180, 1}, {209, 1}, {210, 2},
                      {269, 3}, {270, 4}, {299, 4}, {400, 4}};
  for (const Row& r : rows) EXPECT_EQ(TitleButtonAt(r.x, 300), r.button) << r.x;

  TTitleTracker t;
  EXPECT_FALSE(t.Press(TTitleMouse::Left, 275, 300, 1000));
  EXPECT_EQ(t.Release(TTitleMouse::Left, 280, 300, false), 4);
  EXPECT_FALSE(t.Press(TTitleMouse::Left, 275, 300, 2000));
  EXPECT_EQ(t.Release(TTitleMouse::Left, 100, 300, false), 0);  // released elsewhere
  EXPECT_EQ(t.Release(TTitleMouse::Right, 100, 300, false), 2);
  // Double-click left of the buttons: enlarge; rolled up: unroll.
  EXPECT_TRUE(t.Press(TTitleMouse::Left, 50, 300, 5000));
  EXPECT_EQ(t.Release(TTitleMouse::Left, 50, 300, false), 0);
  EXPECT_FALSE(t.Press(TTitleMouse::Left, 50, 300, 5300));
  EXPECT_EQ(t.Release(TTitleMouse::Left, 50, 300, false), 3);
  EXPECT_TRUE(t.Press(TTitleMouse::Left, 50, 300, 9000));
  EXPECT_FALSE(t.Press(TTitleMouse::Left, 50, 300, 9449));
  EXPECT_EQ(t.Release(TTitleMouse::Left, 50, 300, true), 2);
  EXPECT_TRUE(t.Press(TTitleMouse::Left, 50, 300, 20000));
  EXPECT_TRUE(t.Press(TTitleMouse::Left, 50, 300, 20450));  // 450 ms: not a double-click
  EXPECT_TRUE(t.Hover(200, 300));
  EXPECT_FALSE(t.Hover(205, 300));
}

TEST(ToolWindowLogic, HitTestAreas) {
  struct Row {
    int32_t x, y;
    THitArea a;
  };
  const Row rows[] = {
      {100, 4, THitArea::Top},         {3, 3, THitArea::TopLeft},      {195, 8, THitArea::TopRight},
      {3, 295, THitArea::BottomLeft},  {195, 292, THitArea::BottomRight}, {5, 100, THitArea::Left},
      {194, 100, THitArea::Right},     {100, 295, THitArea::Bottom},   {100, 100, THitArea::Client},
      {7, 100, THitArea::Client},      {100, 292, THitArea::Client},
  };
  for (const Row& r : rows) EXPECT_EQ(ToolHitTest(200, 300, r.x, r.y, false), r.a) << r.x << "," << r.y;
  EXPECT_EQ(ToolHitTest(200, 300, 100, 100, true), THitArea::Caption);
}

TEST(ToolWindowLogic, EnlargeOffsetAndCaptions) {
  const TToolSize big = EnlargeSize(100, 100, 20, false, 300, 200);
  EXPECT_EQ(big.W, 548);
  EXPECT_EQ(big.H, 482);
  EXPECT_TRUE(big.Enlarged);
  const TToolSize back = EnlargeSize(548, 482, 20, true, 300, 200);
  EXPECT_EQ(back.W, 300);
  EXPECT_FALSE(back.Enlarged);
  int32_t ox = 0, oy = 0;
  InitialToolOffset(1000, 300, 5, 10, 40, ox, oy);
  EXPECT_EQ(ox, 350 + 8 + 10);
  EXPECT_EQ(oy, 40);
  EXPECT_EQ(ToolCaption("FITS Header", false, "#1 a.fits", true), "FITS Header");
  EXPECT_EQ(ToolCaption("FITS Header", true, "#1 a.fits", true), "#1 a.fits");
  EXPECT_EQ(ToolCaption("FITS Header", true, "#1 a.fits", false), "( #1 a.fits )");
  struct Row {
    int32_t k, n;
    const char* out;
  };
  const Row rows[] = {{0, 1, "T"}, {1, 2, "T"}, {1, 1, "T  [1/1]"}, {3, 2, "T  [2/3]"},
                      {3, 0, "T  [3]"}, {3, 4, "T  [3]"}};
  for (const Row& r : rows) EXPECT_EQ(CaptionCounted("T", r.k, r.n), r.out) << r.k << " " << r.n;
}

TEST(ToolWindowLogic, BindingStateMachine) {
  int a = 0, b = 0;
  TToolBinding pinned(true);
  EXPECT_EQ(pinned.Bind(&a, false, false), TBindStep::Take);
  EXPECT_EQ(pinned.Bind(&b, false, false), TBindStep::Ignore);  // pinned to a
  EXPECT_EQ(pinned.Bind(&a, false, false), TBindStep::Ignore);  // same, no force
  EXPECT_EQ(pinned.Bind(&a, true, false), TBindStep::Take);
  EXPECT_EQ(pinned.Closing(&b), TCloseStep::None);
  EXPECT_EQ(pinned.Closing(&a), TCloseStep::CloseWindow);

  TToolBinding follow(false);
  EXPECT_EQ(follow.Bind(&a, false, true), TBindStep::Take);
  EXPECT_EQ(follow.Bind(&b, false, true), TBindStep::ApplyEditsThenTake);
  EXPECT_EQ(follow.Bind(&a, false, false), TBindStep::Take);
  EXPECT_EQ(follow.Closing(&a), TCloseStep::Empty);
  EXPECT_EQ(follow.Document(), nullptr);
}

// ============================================================================ header window

TEST(HeaderText, ColouringSpans) {
  using S = THeaderSpan;
  using T = THeaderTint;
  struct Row {
    std::string line;
    std::vector<S> spans;
  };
  const std::string num = "NAXIS   =                    2 / number of axes";
  const std::string str = "OBJECT  = 'M31     '           / target";
  const std::string lng = "OBSERVER= 'a very long name of the observer'   / who";
  const Row rows[] = {
      {"COMMENT hello", {{0, 7, T::Comment}}},
      {"HISTORY x", {{0, 7, T::History}}},
      {"SHORT", {}},
      {"END", {}},
      {"KEYWORD ", {}},
      {num, {{0, 8, T::Keyword}, {31, int32_t(num.size()) - 31, T::Remark}}},
      {str, {{0, 8, T::Keyword}, {10, 10, T::String}, {31, int32_t(str.size()) - 31, T::Remark}}},
      // Closing quote at column 44: the comment column moves to 46 (the "/" is at 48 here).
      {lng, {{0, 8, T::Keyword}, {10, 34, T::String}}},
      {"BAD     = 'unclosed", {{0, 8, T::Keyword}, {10, 9, T::String}}},
  };
  for (const Row& r : rows) EXPECT_EQ(HeaderLineSpans(r.line), r.spans) << r.line;
  const std::string lng2 = "OBSERVER= 'a very long name of the observer' / who";
  EXPECT_EQ(HeaderLineSpans(lng2).back(), (S{45, int32_t(lng2.size()) - 45, T::Remark}));
}

TEST(HeaderText, ProtectedLinesRefuseEveryEdit) {
  struct Row {
    THeaderEditKey key;
    int32_t line, column, length;
    bool refused;
  };
  const Row rows[] = {
      {THeaderEditKey::Type, 3, 4, 80, true},      {THeaderEditKey::Type, 5, 4, 80, false},
      {THeaderEditKey::Backspace, 5, 0, 80, true}, {THeaderEditKey::Backspace, 5, 1, 80, false},
      {THeaderEditKey::Delete, 4, 80, 80, true},   {THeaderEditKey::Delete, 5, 80, 80, false},
      {THeaderEditKey::Enter, 4, 80, 80, true},    {THeaderEditKey::Enter, 5, 0, 80, true},
      {THeaderEditKey::Enter, 6, 0, 80, false},
  };
  for (const Row& r : rows) {
    int32_t a = 0, b = 0;
    EditKeyLines(r.key, r.line, r.column, r.length, a, b);
    EXPECT_EQ(EditRefused(true, a, b), r.refused) << int(r.key) << " " << r.line;
    EXPECT_FALSE(EditRefused(false, a, b));
  }
  EXPECT_TRUE(EditRefused(true, 9, 2));  // a selection from line 9 up to line 2
}

TEST(HeaderText, ApplyingLinesKeepsAValidHeader) {
  TFitsStrings h;
  ApplyEditorLines(h, {}, 30, 20, false, 16);
  ASSERT_GE(h.Count(), 6);
  EXPECT_EQ(TFitsStrings::KeywordOf(h[0]), "SIMPLE");
  EXPECT_EQ(h.GetGeometry().Width, 30);
  EXPECT_TRUE(TFitsStrings::IsEndCard(h[h.Count() - 1]));

  TFitsStrings g;
  g.SetGeometry(4, 5, false, 16);
  std::vector<std::string> lines(g.begin(), g.end());
  lines.push_back("OBJECT  = 'caf\xC3\xA9'");
  lines.push_back("");
  ApplyEditorLines(g, lines, 4, 5, false, 16);
  EXPECT_EQ(g.IndexOf("OBJECT  = 'caf?'") >= 0, true);
  EXPECT_TRUE(TFitsStrings::IsEndCard(g[g.Count() - 1]));
}
