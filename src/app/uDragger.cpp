#include "uDragger.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>

#include <algorithm>
#include <cmath>

#include "ZoomMath.h"
#include "base/TextNumbers.h"
#include "base/Translate.h"
#include "document/uAstroDoc.h"
#include "fChild.h"
#include "fMain.h"
#include "fStats.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"
#include "visual/ImaRender.h"

namespace orlu {

TMouseToolSettings& MouseTools() {
  static TMouseToolSettings s;
  return s;
}

QPoint PanelToImage(const TImagePanel& panel, QPoint pos) {
  const QPoint o = panel.ContentOrigin();
  const double s = ZoomScale(panel.Code());
  const double x = std::floor((pos.x() - o.x()) / s);
  const double yTop = std::floor((pos.y() - o.y()) / s);
  // Bounded far beyond any image side, so the conversions stay defined.
  return QPoint(int(std::clamp(x, -1e6, 1e6)), int(std::clamp(panel.ImageHeight() - 1 - yTop, -1e6, 1e6)));
}

QPointF ImageToPanel(const TImagePanel& panel, double x, double y) {
  const QPoint o = panel.ContentOrigin();
  const double s = ZoomScale(panel.Code());
  const int32_t imgH = panel.ImageHeight();
  return QPointF(o.x() + x * s, o.y() + (imgH - 1 - y) * s);
}

namespace {

// The screen rectangle covering image pixels r (inclusive).
QRectF PixelRect(const TImagePanel& panel, const TPixelRect& r) {
  const double s = ZoomScale(panel.Code());
  const QPointF tl = ImageToPanel(panel, r.Left, r.Top);
  return QRectF(tl, QSizeF((r.Right - r.Left + 1) * s, (r.Top - r.Bottom + 1) * s));
}

void BandPen(QPainter& p, bool dark) {
  QPen pen(dark ? Qt::black : Qt::white, 1, dark ? Qt::SolidLine : Qt::DashLine);
  p.setPen(pen);
  p.setBrush(Qt::NoBrush);
}

// A double click of the mask tools: the mask emptied (undoable through the saved copy).
void ClearMask(TAMask& mask) {
  mask.Save();
  mask.Fill(0);
  mask.ComputeBounds();
  mask.MarkChanged();
}

TFormMain* MainOf(const TImagePanel& panel) { return qobject_cast<TFormMain*>(panel.window()); }

}  // namespace

// ============================================================================ base

TDragger::TDragger(TDraggerKind kind, TImagePanel& panel, TAstroDocument* doc)
    : Panel_(panel), Doc_(doc), Kind_(kind) {}

void TDragger::Start(Qt::KeyboardModifiers mods, QPoint pos) {
  StartCode_ = Panel_.Code();
  MaxDistance_ = 0;
  StartPt_ = pos;
  Cur_ = pos;
  const QPoint ip = PanelToImage(Panel_, pos);
  X1_ = X2_ = ip.x();
  Y1_ = Y2_ = ip.y();
  StartScroll_ = QPoint(Panel_.horizontalScrollBar()->value(), Panel_.verticalScrollBar()->value());
  Mods_ = mods;
}

void TDragger::Press(QPoint, Qt::MouseButton, Qt::KeyboardModifiers, bool doubleClick) {
  DoubleClick_ = doubleClick;
}

void TDragger::Move(QPoint pos, Qt::KeyboardModifiers mods) {
  Cur_ = pos;
  Mods_ = mods;
  MaxDistance_ = std::max(MaxDistance_, std::hypot(double(pos.x() - StartPt_.x()), double(pos.y() - StartPt_.y())));
  const QPoint ip = PanelToImage(Panel_, pos);
  X2_ = ip.x();
  Y2_ = ip.y();
  if (UsesAutoScroll()) AutoScroll(pos);
}

void TDragger::Release(QPoint pos, Qt::MouseButton, Qt::KeyboardModifiers mods) { TDragger::Move(pos, mods); }

bool TDragger::UsesAutoScroll() const {
  return Kind_ == TDraggerKind::Rect || Kind_ == TDraggerKind::Line || Kind_ == TDraggerKind::RectMove ||
         Kind_ == TDraggerKind::Annotate;
}

void TDragger::AutoScroll(QPoint pos) {
  const QSize v = Panel_.viewport()->size();
  ScrollX_ = AutoScrollAxis(pos.x(), v.width(), Panel_.horizontalScrollBar()->maximum() > 0,
                            Panel_.horizontalScrollBar()->singleStep());
  ScrollY_ = AutoScrollAxis(pos.y(), v.height(), Panel_.verticalScrollBar()->maximum() > 0,
                            Panel_.verticalScrollBar()->singleStep());
}

// ============================================================================ kinds

namespace {

// The other image windows a Ctrl gesture carries along: all of them with Shift, else those
// of the same image size.
std::vector<TFormChild*> Companions(const TImagePanel& panel, Qt::KeyboardModifiers mods) {
  std::vector<TFormChild*> out;
  TFormMain* main = MainOf(panel);
  if (!main || !(mods & Qt::ControlModifier)) return out;
  for (TFormChild* c : main->ImageWindows()) {
    if (c->Panel() == &panel) continue;
    if (!(mods & Qt::ShiftModifier) &&
        (c->Panel()->ImageWidth() != panel.ImageWidth() || c->Panel()->ImageHeight() != panel.ImageHeight()))
      continue;
    out.push_back(c);
  }
  return out;
}

class TDraggerPan : public TDragger {
 public:
  using TDragger::TDragger;
  void Move(QPoint pos, Qt::KeyboardModifiers mods) override {
    TDragger::Move(pos, mods);
    // Screen scroll units: the image follows at twice the mouse speed.
    QScrollBar* h = Panel_.horizontalScrollBar();
    QScrollBar* v = Panel_.verticalScrollBar();
    h->setValue(PanScroll(StartScroll_.x(), StartPt_.x(), pos.x(), 1.0));
    v->setValue(PanScroll(StartScroll_.y(), StartPt_.y(), pos.y(), 1.0));
    for (TFormChild* c : Companions(Panel_, mods)) {
      c->Panel()->horizontalScrollBar()->setValue(h->value());
      c->Panel()->verticalScrollBar()->setValue(v->value());
    }
  }
};

class TDraggerZoom : public TDragger {
 public:
  using TDragger::TDragger;
  void Move(QPoint pos, Qt::KeyboardModifiers mods) override {
    TDragger::Move(pos, mods);
    const int32_t code = DragZoomCode(StartCode_, StartPt_.y(), pos.y());
    if (code == Panel_.Code() || std::abs(pos.y() - LastStepY_) < 2) return;
    LastStepY_ = pos.y();
    if (auto* w = qobject_cast<TFormChild*>(Panel_.parentWidget())) w->SetZoom(code);
    for (TFormChild* c : Companions(Panel_, mods)) c->SetZoom(code);
  }
  void Release(QPoint pos, Qt::MouseButton b, Qt::KeyboardModifiers m) override {
    TDragger::Release(pos, b, m);
  }
  int32_t LastStepY_ = -1000000;
};

class TDraggerRect : public TDragger {
 public:
  TDraggerRect(TDraggerKind kind, TImagePanel& panel, TAstroDocument* doc) : TDragger(kind, panel, doc) {}
  TPixelRect Rect() const {
    return CornersToRect(X1_, Y1_, X2_, Y2_, Mods_ & Qt::ControlModifier, 1 << 30, 1 << 30);
  }
  void DrawFeedback(QPainter& p) const override {
    if (IsClick()) return;
    const TPixelRect r = CornersToRect(X1_, Y1_, X2_, Y2_, Mods_ & Qt::ControlModifier, 1 << 30, 1 << 30);
    const QRectF q = PixelRect(Panel_, TPixelRect{r.Left, r.Bottom, r.Right, r.Top});
    const bool ellipse = MouseTools().MouseMode == TMouseToolSettings::kMask && MouseTools().MaskTool == 1;
    for (bool dark : {true, false}) {
      BandPen(p, dark);
      if (ellipse)
        p.drawEllipse(q);
      else
        p.drawRect(q);
    }
  }
  std::string StatusText() const override {
    const TPixelRect r = Rect();
    return Tr("Rectangle") + ":  " + std::to_string(r.Right - r.Left + 1) + "x" +
           std::to_string(r.Top - r.Bottom + 1) + "  [" + std::to_string(r.Left) + "," +
           std::to_string(r.Right) + "] [" + std::to_string(r.Top) + "," + std::to_string(r.Bottom) + "]";
  }
  void Release(QPoint pos, Qt::MouseButton b, Qt::KeyboardModifiers m) override {
    TDragger::Release(pos, b, m);
    if (!Doc_) return;
    Doc_->SetSelectionKind(0);
    if (IsClick()) {
      Doc_->RefreshViews();
      return;
    }
    const TPixelRect r = CornersToRect(X1_, Y1_, X2_, Y2_, Mods_ & Qt::ControlModifier, Doc_->Width(), Doc_->Height());
    if (r.IsEmpty() || (r.Left == r.Right && r.Bottom == r.Top)) {
      Doc_->RefreshViews();
      return;
    }
    Doc_->SelectRect(r.Left, r.Bottom, r.Right, r.Top);
    TFormStats::SelectionMoving(Doc_, 0, 0);
  }
};

class TDraggerLine : public TDraggerRect {
 public:
  using TDraggerRect::TDraggerRect;
  void End(int32_t& x2, int32_t& y2) const {
    x2 = X2_, y2 = Y2_;
    if (Mods_ & Qt::ControlModifier) SnapLineEnd(X1_, Y1_, x2, y2);
  }
  void DrawFeedback(QPainter& p) const override {
    if (IsClick()) return;
    int32_t x2, y2;
    End(x2, y2);
    const QPointF a = ImageToPanel(Panel_, X1_ + 0.5, Y1_ - 0.5), b = ImageToPanel(Panel_, x2 + 0.5, y2 - 0.5);
    for (bool dark : {true, false}) {
      BandPen(p, dark);
      p.drawLine(a, b);
    }
  }
  std::string StatusText() const override {
    int32_t x2, y2;
    End(x2, y2);
    return Tr("Line") + ":  " + FormatFixed(std::hypot(double(x2 - X1_), double(y2 - Y1_)), 1) + "  " +
           std::to_string(X1_) + "," + std::to_string(Y1_) + " - " + std::to_string(x2) + "," + std::to_string(y2);
  }
  void Release(QPoint pos, Qt::MouseButton b, Qt::KeyboardModifiers m) override {
    TDragger::Release(pos, b, m);
    if (!Doc_ || IsClick()) return;
    int32_t x2, y2;
    End(x2, y2);
    Doc_->SelectLine({X1_, Y1_}, {x2, y2});
    Doc_->RefreshViews();
  }
};

class TDraggerRectMove : public TDragger {
 public:
  using TDragger::TDragger;
  void Move(QPoint pos, Qt::KeyboardModifiers mods) override {
    TDragger::Move(pos, mods);
    TFormStats::SelectionMoving(Doc_, X2_ - X1_, Y2_ - Y1_);
  }
  TPixelRect Moved() const {
    return MoveRectInside(Doc_->SelectionRect(), X2_ - X1_, Y2_ - Y1_, Doc_->Width(), Doc_->Height());
  }
  void DrawFeedback(QPainter& p) const override {
    if (!Doc_ || Doc_->SelectionKind() != 1) return;
    const QRectF q = PixelRect(Panel_, Moved());
    for (bool dark : {true, false}) {
      BandPen(p, dark);
      p.drawRect(q);
    }
  }
  std::string StatusText() const override {
    return "DX DY = " + std::to_string(X2_ - X1_) + " " + std::to_string(Y2_ - Y1_) + "  ";
  }
  void Release(QPoint pos, Qt::MouseButton b, Qt::KeyboardModifiers m) override {
    TDragger::Release(pos, b, m);
    if (!Doc_ || Doc_->SelectionKind() != 1 || (X2_ == X1_ && Y2_ == Y1_)) return;
    if (MouseTools().MouseMode == TMouseToolSettings::kMask) return;
    const TPixelRect r = Moved();
    Doc_->SelectRect(r.Left, r.Bottom, r.Right, r.Top);
  }
};

class TDraggerMaskPath : public TDragger {
 public:
  using TDragger::TDragger;
  void Press(QPoint pos, Qt::MouseButton b, Qt::KeyboardModifiers m, bool dbl) override {
    TDragger::Press(pos, b, m, dbl);
    const QPoint ip = PanelToImage(Panel_, pos);
    if (b == Qt::LeftButton) Path_.Press(ip.x(), ip.y(), dbl);
    LastVertexPt_ = pos;
    Apply();
  }
  void Move(QPoint pos, Qt::KeyboardModifiers mods) override {
    TDragger::Move(pos, mods);
    if (QApplication::mouseButtons() & Qt::LeftButton) {
      const double d = std::hypot(double(pos.x() - LastVertexPt_.x()), double(pos.y() - LastVertexPt_.y()));
      if (d >= 4) {
        const QPoint ip = PanelToImage(Panel_, pos);
        Path_.Move(ip.x(), ip.y(), d);
        LastVertexPt_ = pos;
        Apply();
      }
    }
  }
  void Release(QPoint pos, Qt::MouseButton b, Qt::KeyboardModifiers m) override {
    TDragger::Release(pos, b, m);
    const QPoint ip = PanelToImage(Panel_, pos);
    Path_.Release(ip.x(), ip.y(), b == Qt::LeftButton, b == Qt::MiddleButton);
    Apply();
  }
  bool IsClick() const override { return false; }
  bool Finished() const override { return Path_.Finished(); }
  std::string StatusText() const override {
    std::string s = Tr("Points") + " = " + std::to_string(Path_.Vertices().size());
    if (Path_.Vertices().size() >= 3) s += "   (" + Tr("right click to finish") + ")";
    return s;
  }
  void DrawFeedback(QPainter& p) const override {
    const auto& v = Path_.Vertices();
    if (v.empty() || Path_.Finished()) return;
    QPolygonF poly;
    for (const TMaskPoint& q : v) poly << ImageToPanel(Panel_, q.X + 0.5, q.Y - 0.5);
    for (bool dark : {true, false}) {
      BandPen(p, dark);
      p.drawPolyline(poly);
      p.drawLine(poly.back(), QPointF(Cur_));
      if (poly.size() > 1) p.drawLine(QPointF(Cur_), poly.front());
    }
  }
  const TPolygonPath& Path() const { return Path_; }

 private:
  void Apply() {
    if (!Doc_ || Applied_ || !Path_.Finished()) return;
    Applied_ = true;
    TAMask& mask = *Doc_->Image().Mask;
    if (mask.Width != Doc_->Width() || mask.Height != Doc_->Height()) Doc_->ResetMask();
    if (Path_.State() == TPolygonPath::TClose::Fill)
      mask.ApplyPolygon(Path_.Vertices(), MouseTools().Combine);
    else if (Path_.State() == TPolygonPath::TClose::Clear && mask.HasStorage())
      ClearMask(mask);
    Doc_->RefreshViews();
    Doc_->RefreshStatistics();
  }
  TPolygonPath Path_;
  QPoint LastVertexPt_;
  bool Applied_ = false;
};

class TDraggerMaskMove : public TDragger {
 public:
  using TDragger::TDragger;
  std::string StatusText() const override {
    return "DX DY = " + std::to_string(X2_ - X1_) + " " + std::to_string(Y2_ - Y1_) + "  ";
  }
  void Release(QPoint pos, Qt::MouseButton b, Qt::KeyboardModifiers m) override {
    TDragger::Release(pos, b, m);
    if (!Doc_ || (X2_ == X1_ && Y2_ == Y1_)) return;
    Doc_->Image().Mask->ApplyMove(X2_ - X1_, Y2_ - Y1_);
    Doc_->RefreshViews();
    Doc_->RefreshStatistics();
  }
};

class TDraggerMaskFillPick : public TDragger {
 public:
  using TDragger::TDragger;
  void Release(QPoint pos, Qt::MouseButton b, Qt::KeyboardModifiers m) override {
    TDragger::Release(pos, b, m);
    if (!Doc_ || !IsClick()) return;
    TAMask& mask = *Doc_->Image().Mask;
    if (mask.Width != Doc_->Width() || mask.Height != Doc_->Height()) Doc_->ResetMask();
    if (DoubleClick_) {
      if (mask.HasStorage()) ClearMask(mask);
    } else {
      mask.ApplyFillOrValue(Doc_->Image(), X1_, Y1_, Options().Filter.MaskTolerance, MouseTools().MaskTool == 3,
                            MouseTools().Combine);
    }
    Doc_->RefreshViews();
    Doc_->RefreshStatistics();
  }
};

class TDraggerMaskBrush : public TDragger {
 public:
  using TDragger::TDragger;
  void Press(QPoint pos, Qt::MouseButton b, Qt::KeyboardModifiers m, bool dbl) override {
    TDragger::Press(pos, b, m, dbl);
    if (!Doc_) return;
    if (dbl) {
      Clear_ = true;
      return;
    }
    if (!Painted_.Pixels() && !Painted_.SetSize(Doc_->Width(), Doc_->Height())) return;
    if (!Started_) Painted_.Fill(0), Started_ = true;
    const QPoint ip = PanelToImage(Panel_, pos);
    Dab(ip.x(), ip.y());
    Last_ = ip;
  }
  void Move(QPoint pos, Qt::KeyboardModifiers mods) override {
    TDragger::Move(pos, mods);
    if (!Started_ || !(QApplication::mouseButtons() & Qt::LeftButton)) return;
    const QPoint ip = PanelToImage(Panel_, pos);
    // A stroke: dabs along the segment, a quarter of the brush apart.
    const double len = std::hypot(double(ip.x() - Last_.x()), double(ip.y() - Last_.y()));
    const int32_t n = std::max(1, int32_t(len / std::max(1.0, MouseTools().BrushSize / 4.0)));
    for (int32_t i = 1; i <= n; ++i)
      Dab(Last_.x() + (ip.x() - Last_.x()) * i / n, Last_.y() + (ip.y() - Last_.y()) * i / n);
    Last_ = ip;
  }
  void Release(QPoint pos, Qt::MouseButton b, Qt::KeyboardModifiers m) override {
    TDragger::Release(pos, b, m);
    if (!Doc_) return;
    TAMask& mask = *Doc_->Image().Mask;
    if (mask.Width != Doc_->Width() || mask.Height != Doc_->Height()) Doc_->ResetMask();
    if (Clear_) {
      if (mask.HasStorage()) ClearMask(mask);
    } else if (Started_) {
      mask.ApplyBrush(Painted_, MouseTools().BrushErase ? TMaskMode::Subtract : MouseTools().Combine);
    }
    Doc_->RefreshViews();
    Doc_->RefreshStatistics();
  }
  void DrawFeedback(QPainter& p) const override {
    const double r = MouseTools().BrushSize * ZoomScale(Panel_.Code()) / 2;
    for (bool dark : {true, false}) {
      BandPen(p, dark);
      if (MouseTools().BrushSquare)
        p.drawRect(QRectF(Cur_.x() - r, Cur_.y() - r, 2 * r, 2 * r));
      else
        p.drawEllipse(QPointF(Cur_), r, r);
    }
  }

 private:
  // The brush's mark: alpha 0xCC in the painted picture.
  void Dab(int32_t cx, int32_t cy) {
    const int32_t size = std::clamp(MouseTools().BrushSize, 1, 2000);
    const double r = size / 2.0;
    const int32_t x0 = std::max(0, int32_t(std::floor(cx - r))), x1 = std::min(Painted_.Width() - 1, int32_t(std::ceil(cx + r)));
    const int32_t y0 = std::max(0, int32_t(std::floor(cy - r))), y1 = std::min(Painted_.Height() - 1, int32_t(std::ceil(cy + r)));
    for (int32_t y = y0; y <= y1; ++y)
      for (int32_t x = x0; x <= x1; ++x) {
        const double dx = x - cx, dy = y - cy;
        if (MouseTools().BrushSquare ? (std::fabs(dx) <= r && std::fabs(dy) <= r) : dx * dx + dy * dy <= r * r)
          Painted_.SetPixel(x, y, 0xCC000000u);
      }
  }
  TBgraBitmap Painted_;
  QPoint Last_;
  bool Started_ = false;
  bool Clear_ = false;
};

class TDraggerAnnotate : public TDragger {
 public:
  using TDragger::TDragger;
  void Press(QPoint pos, Qt::MouseButton b, Qt::KeyboardModifiers m, bool dbl) override {
    TDragger::Press(pos, b, m, dbl);
    if (!Doc_) return;
    if (TAnnotation* a = Doc_->Annotations.Current()) {
      Handle_ = a->HandleAt(X1_, Y1_);
      a->SaveRect();
    }
  }
  void Move(QPoint pos, Qt::KeyboardModifiers mods) override {
    TDragger::Move(pos, mods);
    if (!Doc_) return;
    TAnnotation* a = Doc_->Annotations.Current();
    if (!a || (X2_ == X1_ && Y2_ == Y1_)) return;
    a->DragFromSaved(Handle_, X2_ - X1_, Y2_ - Y1_);
    Doc_->SetModified();
    Doc_->RefreshViews();
  }

 private:
  int32_t Handle_ = 0;
};

}  // namespace

std::unique_ptr<TDragger> CreateDragger(TDraggerKind kind, TImagePanel& panel, TAstroDocument* doc) {
  switch (kind) {
    case TDraggerKind::Pan: return std::make_unique<TDraggerPan>(kind, panel, doc);
    case TDraggerKind::Zoom: return std::make_unique<TDraggerZoom>(kind, panel, doc);
    case TDraggerKind::Rect: return std::make_unique<TDraggerRect>(kind, panel, doc);
    case TDraggerKind::RectMove: return std::make_unique<TDraggerRectMove>(kind, panel, doc);
    case TDraggerKind::Line: return std::make_unique<TDraggerLine>(kind, panel, doc);
    case TDraggerKind::MaskPath: return std::make_unique<TDraggerMaskPath>(kind, panel, doc);
    case TDraggerKind::MaskMove: return std::make_unique<TDraggerMaskMove>(kind, panel, doc);
    case TDraggerKind::MaskFillPick: return std::make_unique<TDraggerMaskFillPick>(kind, panel, doc);
    case TDraggerKind::MaskBrush: return std::make_unique<TDraggerMaskBrush>(kind, panel, doc);
    case TDraggerKind::Annotate: return std::make_unique<TDraggerAnnotate>(kind, panel, doc);
    default: return nullptr;
  }
}

// ============================================================================ host

TDraggerHost::TDraggerHost(TImagePanel& panel) : QObject(&panel), Panel_(panel) {
  Timer_.setInterval(50);
  connect(&Timer_, &QTimer::timeout, this, &TDraggerHost::ScrollTick);
  Activated_.start();
}

TDraggerHost::~TDraggerHost() = default;

TFormChild* TDraggerHost::Window() const { return qobject_cast<TFormChild*>(Panel_.parentWidget()); }

bool TDraggerHost::Press(QMouseEvent* e) {
  const QPoint pos = e->position().toPoint();
  const Qt::KeyboardModifiers mods = e->modifiers();
  TFormChild* w = Window();
  TAstroDocument* doc = w ? &w->Document() : nullptr;
  const QPoint ip = PanelToImage(Panel_, pos);
  const bool dbl = LastPress_.isValid() && LastPress_.elapsed() < QApplication::doubleClickInterval() &&
                   ip == LastPressImage_;
  LastPress_.restart();
  LastPressImage_ = ip;
  if (Tool_) {
    Tool_->Press(pos, e->button(), mods, dbl);
    Panel_.viewport()->update();
    if (Tool_->Finished() && Tool_->Kind() == TDraggerKind::MaskPath) Finish(pos);
    return true;
  }
  TDraggerKind kind;
  if (e->button() == Qt::RightButton) {
    kind = TDraggerKind::Pan;
  } else if (e->button() == Qt::MiddleButton) {
    kind = TDraggerKind::Zoom;
  } else if (e->button() == Qt::LeftButton) {
    if (!doc) return false;
    // The margin around the image takes no left-button tool.
    if (ip.x() < 0 || ip.y() < 0 || ip.x() >= doc->Width() || ip.y() >= doc->Height()) return true;
    const bool ctrl = mods & Qt::ControlModifier;
    const TMouseToolSettings& t = MouseTools();
    if ((doc->SelectionKind() == 1 && !ctrl) || doc->SelectionKind() == 2) {
      doc->SetSelectionKind(0);
      doc->RefreshViews();
      TFormStats::SelectionMoving(doc, 0, 0);
      return true;
    }
    if (t.MouseMode == TMouseToolSettings::kLine) {
      kind = TDraggerKind::Line;
    } else if (t.MouseMode == TMouseToolSettings::kAnnotate) {
      doc->Annotations.MouseSelect(ip.x(), ip.y(), mods & Qt::ShiftModifier, ctrl);
      doc->RefreshViews();
      if (!doc->Annotations.Current()) return true;
      kind = TDraggerKind::Annotate;
    } else if (t.MouseMode == TMouseToolSettings::kMask && t.MaskTool >= 2) {
      switch (t.MaskTool) {
        case 5:
          if (doc->Image().Mask->Weight(ip.x(), ip.y()) == 0) return true;
          kind = TDraggerKind::MaskMove;
          break;
        case 2: kind = TDraggerKind::MaskPath; break;
        case 3:
        case 4: kind = TDraggerKind::MaskFillPick; break;
        default: kind = TDraggerKind::MaskBrush; break;
      }
    } else {
      kind = doc->SelectionKind() == 1 && ctrl ? TDraggerKind::RectMove : TDraggerKind::Rect;
    }
  } else {
    return false;
  }
  Tool_ = CreateDragger(kind, Panel_, doc);
  if (!Tool_) return true;
  Tool_->Start(mods, pos);
  Tool_->Press(pos, e->button(), mods, dbl);
  if (Tool_->Kind() == TDraggerKind::Pan) Panel_.viewport()->setCursor(Qt::BlankCursor);
  if (Tool_->Kind() == TDraggerKind::RectMove || Tool_->Kind() == TDraggerKind::MaskMove)
    Panel_.viewport()->setCursor(Qt::SizeAllCursor);
  if (e->button() == Qt::LeftButton) Timer_.start();
  return true;
}

bool TDraggerHost::Move(QMouseEvent* e) {
  if (!Tool_) return false;
  Tool_->Move(e->position().toPoint(), e->modifiers());
  if (TFormMain* m = MainOf(Panel_)) m->ShowStatus(Tool_->StatusText(), 1, 0, false);
  Panel_.viewport()->update();
  return true;
}

bool TDraggerHost::Release(QMouseEvent* e) {
  if (!Tool_) return false;
  const QPoint pos = e->position().toPoint();
  Tool_->Release(pos, e->button(), e->modifiers());
  if (!Tool_->Finished()) {
    Panel_.viewport()->update();
    return true;
  }
  Finish(pos);
  return true;
}

void TDraggerHost::Finish(QPoint pos) {
  Timer_.stop();
  std::unique_ptr<TDragger> tool = std::move(Tool_);
  Panel_.viewport()->unsetCursor();
  if (tool->Kind() == TDraggerKind::Pan && tool->IsClick() && PopupHook) PopupHook(pos);
  if (tool->Kind() == TDraggerKind::Zoom && tool->IsClick())
    Panel_.SetNavigatorShown(!Panel_.NavigatorShown());
  Panel_.viewport()->update();
}

void TDraggerHost::EndTool() {
  Timer_.stop();
  Tool_.reset();
  if (Panel_.viewport()) Panel_.viewport()->unsetCursor();
}

void TDraggerHost::ScrollTick() {
  if (!Tool_) {
    Timer_.stop();
    return;
  }
  const TAutoScroll sx = Tool_->ScrollX(), sy = Tool_->ScrollY();
  if (!sx.Direction && !sy.Direction) return;
  QScrollBar* h = Panel_.horizontalScrollBar();
  QScrollBar* v = Panel_.verticalScrollBar();
  h->setValue(h->value() + sx.Direction * sx.Step);
  v->setValue(v->value() + sy.Direction * sy.Step);
  // The image moved under a still pointer: the tool sees a move.
  Tool_->Move(Tool_->Current(), QApplication::keyboardModifiers());
  Panel_.viewport()->update();
}

void TDraggerHost::Paint(QPainter& p) {
  TFormChild* w = Window();
  if (!w) return;
  const TAstroDocument& doc = w->Document();
  p.save();
  // The selection, unless a rectangle move shows it shifted.
  const bool moving = Tool_ && Tool_->Kind() == TDraggerKind::RectMove;
  if (doc.SelectionKind() == 1 && !moving) {
    const QRectF q = PixelRect(Panel_, doc.SelectionRect());
    for (bool dark : {true, false}) {
      BandPen(p, dark);
      p.drawRect(q);
    }
  } else if (doc.SelectionKind() == 2) {
    const TPoint32* l = doc.SelectionLine();
    for (bool dark : {true, false}) {
      BandPen(p, dark);
      p.drawLine(ImageToPanel(Panel_, l[0].X + 0.5, l[0].Y - 0.5), ImageToPanel(Panel_, l[1].X + 0.5, l[1].Y - 0.5));
    }
  }
  const TAMask* mask = doc.Image().Mask.get();
  if (mask && mask->HasStorage()) {
    const double s = ZoomScale(Panel_.Code());
    const std::vector<TMaskSegment> segs = MaskOutline(*mask, s, 0);
    const QPoint o = Panel_.ContentOrigin();
    const double hs = doc.Height() * s;
    const QRectF view(Panel_.viewport()->rect());
    for (int dash = 0; dash < 2; ++dash) {
      p.setPen(QPen(dash ? Qt::white : Qt::black, 1));
      for (const TMaskSegment& g : segs) {
        if (g.Dash != dash) continue;
        const QPointF a(o.x() + g.X0, o.y() + hs - g.Y0), b(o.x() + g.X1, o.y() + hs - g.Y1);
        if (!view.intersects(QRectF(a, b).normalized().adjusted(-1, -1, 1, 1))) continue;
        p.drawLine(a, b);
      }
    }
  }
  if (Tool_) Tool_->DrawFeedback(p);
  p.restore();
}

}  // namespace orlu
