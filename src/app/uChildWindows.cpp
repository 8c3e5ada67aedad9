#include "uChildWindows.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>
#include <array>

#include "base/Translate.h"

namespace orlu {

namespace {

std::vector<TChildWindow*>& Windows() {
  static std::vector<TChildWindow*> w;
  return w;
}
std::array<int32_t, size_t(TToolKind::Count)>& Counts() {
  static std::array<int32_t, size_t(TToolKind::Count)> c{};
  return c;
}
TAstroDocument*& Active() {
  static TAstroDocument* d = nullptr;
  return d;
}

int32_t TitleHeight(const QWidget* w) { return w->fontMetrics().height() + 6; }

Qt::Edges EdgesOf(THitArea a) {
  switch (a) {
    case THitArea::Top: return Qt::TopEdge;
    case THitArea::TopLeft: return Qt::TopEdge | Qt::LeftEdge;
    case THitArea::TopRight: return Qt::TopEdge | Qt::RightEdge;
    case THitArea::Left: return Qt::LeftEdge;
    case THitArea::Right: return Qt::RightEdge;
    case THitArea::Bottom: return Qt::BottomEdge;
    case THitArea::BottomLeft: return Qt::BottomEdge | Qt::LeftEdge;
    case THitArea::BottomRight: return Qt::BottomEdge | Qt::RightEdge;
    default: return {};
  }
}

Qt::CursorShape CursorOf(THitArea a) {
  switch (a) {
    case THitArea::Top:
    case THitArea::Bottom: return Qt::SizeVerCursor;
    case THitArea::Left:
    case THitArea::Right: return Qt::SizeHorCursor;
    case THitArea::TopLeft:
    case THitArea::BottomRight: return Qt::SizeFDiagCursor;
    case THitArea::TopRight:
    case THitArea::BottomLeft: return Qt::SizeBDiagCursor;
    default: return Qt::ArrowCursor;
  }
}

TTitleMouse MouseOf(Qt::MouseButton b) {
  return b == Qt::LeftButton ? TTitleMouse::Left
                             : (b == Qt::RightButton ? TTitleMouse::Right : TTitleMouse::Other);
}

}  // namespace

// ============================================================================ title strip

TTitleStrip::TTitleStrip(TChildWindow* owner) : QWidget(owner), Owner_(owner) {
  setMouseTracking(true);
  setFixedHeight(TitleHeight(this));
}

QSize TTitleStrip::sizeHint() const { return {200, TitleHeight(this)}; }

void TTitleStrip::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const bool active = Owner_->isActiveWindow();
  const QColor bg = active ? QColor(40, 70, 120) : QColor(90, 90, 96);
  p.fillRect(rect(), bg);
  const int32_t w = width(), h = height();
  const int32_t bx = w - kTitleButtonsWidth;
  p.setPen(active ? Qt::white : QColor(220, 220, 220));
  p.drawText(QRect(6, 0, std::max(0, bx - 8), h), Qt::AlignVCenter | Qt::AlignLeft,
             fontMetrics().elidedText(Owner_->Caption(), Qt::ElideRight, std::max(0, bx - 8)));
  for (int32_t b = 1; b <= 4; ++b) {
    const QRect r(bx + (b - 1) * kTitleButtonWidth, 0, kTitleButtonWidth, h);
    if (Owner_->Tracker().HoverButton() == b) p.fillRect(r.adjusted(1, 1, -1, -1), bg.lighter(140));
    p.setPen(QPen(Qt::white, 1.5));
    const QPoint c = r.center();
    switch (b) {
      case 1:  // pin: a filled head when pinned
        p.setBrush(Owner_->Pinned() ? QBrush(Qt::white) : Qt::NoBrush);
        p.drawEllipse(c + QPoint(0, -2), 3, 3);
        p.drawLine(c + QPoint(0, 1), c + QPoint(0, 6));
        p.setBrush(Qt::NoBrush);
        break;
      case 2:  // roll up / down
        p.drawLine(c + QPoint(-5, Owner_->RolledUp() ? -2 : 2), c + QPoint(0, Owner_->RolledUp() ? 3 : -3));
        p.drawLine(c + QPoint(0, Owner_->RolledUp() ? 3 : -3), c + QPoint(5, Owner_->RolledUp() ? -2 : 2));
        break;
      case 3:  // enlarge
        p.drawRect(QRect(c + QPoint(-5, -4), QSize(10, 8)));
        break;
      default:  // close
        p.drawLine(c + QPoint(-4, -4), c + QPoint(4, 4));
        p.drawLine(c + QPoint(-4, 4), c + QPoint(4, -4));
        break;
    }
  }
}

void TTitleStrip::mousePressEvent(QMouseEvent* e) {
  const int32_t x = int32_t(e->position().x());
  static QElapsedTimer clock;
  if (!clock.isValid()) clock.start();
  if (Owner_->Tracker().Press(MouseOf(e->button()), x, width(), clock.elapsed())) {
    if (QWindow* w = Owner_->windowHandle()) w->startSystemMove();
  }
}

void TTitleStrip::mouseMoveEvent(QMouseEvent* e) {
  if (Owner_->Tracker().Hover(int32_t(e->position().x()), width())) update();
}

void TTitleStrip::leaveEvent(QEvent*) {
  if (Owner_->Tracker().Hover(-100000, width())) update();
}

void TTitleStrip::mouseReleaseEvent(QMouseEvent* e) {
  const int32_t a =
      Owner_->Tracker().Release(MouseOf(e->button()), int32_t(e->position().x()), width(), Owner_->RolledUp());
  if (a) Owner_->CarryOut(a);
}

// ============================================================================ frame

TChildWindow::TChildWindow(QWidget* mainWindow, const QString& ownName, TToolKind kind)
    : QWidget(mainWindow, Qt::Tool | Qt::FramelessWindowHint),
      Main_(mainWindow),
      OwnName_(ownName),
      Kind_(kind),
      Caption_(ownName) {
  setAttribute(Qt::WA_DeleteOnClose);
  setMouseTracking(true);
  Title_ = new TTitleStrip(this);
  Windows().push_back(this);
  ++Counts()[size_t(kind)];
  if (Main_) Main_->installEventFilter(this);
  Clock_.start();
}

TChildWindow::~TChildWindow() {
  Unbind();
  std::erase(Windows(), this);
  --Counts()[size_t(Kind_)];
}

void TChildWindow::Setup(QWidget* content, int32_t dy, int32_t dx, int32_t k) {
  Content_ = content;
  auto* lay = new QVBoxLayout(this);
  lay->setContentsMargins(6, 3, 6, 6);
  lay->setSpacing(3);
  lay->addWidget(Title_);
  lay->addWidget(content, 1);
  Binding_.SetPinned(true);
  RolledUp_ = false;
  const int32_t mainW = Main_ ? Main_->width() : 800;
  InitialToolOffset(mainW, width(), k, dx, dy, OffsetX_, OffsetY_);
  PlaceAtMain();
}

void TChildWindow::PlaceAtMain() {
  if (!Main_) return;
  Placing_ = true;
  move(Main_->mapToGlobal(QPoint(0, 0)) + QPoint(OffsetX_, OffsetY_));
  Placing_ = false;
}

void TChildWindow::RememberOffset() {
  if (!Main_) return;
  const QPoint o = pos() - Main_->mapToGlobal(QPoint(0, 0));
  OffsetX_ = o.x();
  OffsetY_ = o.y();
}

void TChildWindow::FollowMain() { PlaceAtMain(); }

void TChildWindow::moveEvent(QMoveEvent* e) {
  QWidget::moveEvent(e);
  if (!Placing_ && isVisible()) RememberOffset();
}

bool TChildWindow::eventFilter(QObject* watched, QEvent* e) {
  if (watched == Main_ && e->type() == QEvent::Move) FollowMain();
  return QWidget::eventFilter(watched, e);
}

void TChildWindow::SetPinned(bool pinned) {
  Binding_.SetPinned(pinned);
  UpdateCaption();
}

void TChildWindow::ToggleRollUp() {
  if (!RolledUp_) {
    SavedSize_ = size();
    SavedMinSize_ = minimumSize();
    if (Content_) Content_->hide();
    setMinimumSize(0, 0);
    resize(width(), Title_->height() + 9);
    RolledUp_ = true;
  } else {
    if (Content_) Content_->show();
    setMinimumSize(SavedMinSize_);
    resize(SavedSize_);
    RolledUp_ = false;
  }
  Title_->update();
}

void TChildWindow::ToggleEnlarge() {
  if (RolledUp_) return;
  if (!Enlarged_) NormalSize_ = size();
  const TToolSize s = EnlargeSize(width(), height(), Title_->height(), Enlarged_,
                                  NormalSize_.width(), NormalSize_.height());
  Enlarged_ = s.Enlarged;
  resize(s.W, s.H);
}

void TChildWindow::CarryOut(int32_t action) {
  switch (action) {
    case 1:
      SetPinned(!Pinned());
      Title_->update();
      if (!Pinned() && Active() && Active() != Doc_) Bind(Active(), false);
      break;
    case 2: ToggleRollUp(); break;
    case 3: ToggleEnlarge(); break;
    case 4: close(); break;
    default: break;
  }
}

void TChildWindow::UpdateCaption() {
  const bool has = Doc_ != nullptr;
  Caption_ = QString::fromStdString(
      ToolCaption(OwnName_.toStdString(), has, has ? Doc_->Title() : std::string(), Pinned())) +
             (has ? CaptionSuffix_ : QString());
  setWindowTitle(Caption_);
  Title_->update();
}

void TChildWindow::Bind(TAstroDocument* doc, bool force) {
  TAstroDocument* old = Doc_;
  const TBindStep step = Binding_.Bind(doc, force, HasPendingWork());
  if (step == TBindStep::Ignore) return;
  if (step == TBindStep::ApplyEditsThenTake && old) ApplyPendingWork();
  if (old != doc) {
    if (old) {
      DocumentLeaving(*old);
      old->Detach(this);
    }
    Doc_ = doc;
    if (doc) doc->Attach(this);
  }
  UpdateCaption();
  LoadContent();
}

void TChildWindow::Unbind() {
  if (Doc_) {
    DocumentLeaving(*Doc_);
    Doc_->Detach(this);
  }
  Doc_ = nullptr;
}

int32_t TChildWindow::KindCount(TToolKind kind) { return Counts()[size_t(kind)]; }
std::vector<TChildWindow*> TChildWindow::All() { return Windows(); }
TAstroDocument* TChildWindow::ActiveDocument() { return Active(); }

void TChildWindow::NotifyActiveDocument(TAstroDocument* doc) {
  Active() = doc;
  for (TChildWindow* w : std::vector<TChildWindow*>(Windows()))
    if (doc) w->Bind(doc, false);
}

void TChildWindow::DocumentChanged(TAstroDocument& doc, TDocumentEvent event) {
  if (&doc != Doc_) return;
  if (event == TDocumentEvent::Caption)
    UpdateCaption();
  else
    Refresh(event);
}

void TChildWindow::DocumentClosing(TAstroDocument& doc) {
  if (&doc == Active()) Active() = nullptr;
  const TCloseStep step = Binding_.Closing(&doc);
  if (step == TCloseStep::None) return;
  // The document is going: its pending edits have nowhere to go.
  DiscardPendingWork();
  Doc_ = nullptr;
  UpdateCaption();
  if (step == TCloseStep::CloseWindow) {
    hide();
    deleteLater();
  } else {
    LoadContent();
  }
}

void TChildWindow::closeEvent(QCloseEvent* e) {
  if (Doc_ && HasPendingWork()) {
    Doc_->SetModified();
    ApplyPendingWork();
  }
  Unbind();
  QWidget::closeEvent(e);
}

void TChildWindow::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Escape) {
    ToggleRollUp();
    return;
  }
  QWidget::keyPressEvent(e);
}

void TChildWindow::mousePressEvent(QMouseEvent* e) {
  const QPoint p = e->position().toPoint();
  const THitArea a = ToolHitTest(width(), height(), p.x(), p.y(), RolledUp_);
  QWindow* w = windowHandle();
  if (!w || e->button() != Qt::LeftButton) return;
  if (a == THitArea::Caption)
    w->startSystemMove();
  else if (a != THitArea::Client)
    w->startSystemResize(EdgesOf(a));
}

void TChildWindow::mouseMoveEvent(QMouseEvent* e) {
  const QPoint p = e->position().toPoint();
  setCursor(CursorOf(ToolHitTest(width(), height(), p.x(), p.y(), RolledUp_)));
}

void TChildWindow::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), palette().color(QPalette::Window).darker(115));
  p.setPen(palette().color(QPalette::Mid));
  p.drawRect(rect().adjusted(0, 0, -1, -1));
}

}  // namespace orlu
