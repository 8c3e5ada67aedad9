#include "fChild.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QColorDialog>
#include <QContextMenuEvent>
#include <QMenu>
#include <QTabBar>
#include <QKeyEvent>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

#include "QVMasterRules.h"
#include "StatusTexts.h"
#include "ZoomMath.h"
#include "base/OrluMath.h"
#include "base/Translate.h"
#include "QVMaster.h"
#include "fMain.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"
#include "uAnnotationOverlay.h"
#include "uDragger.h"
#include "uTabList.h"
#include "uWebLinks.h"
#include "visual/ImaVisu.h"

namespace orlu {

namespace {

// Base length of the navigator's longer side at ThumbSize 100 %.
constexpr int32_t kNavigatorBase = 128;
constexpr QRgb kNavigatorFrame = 0x707070;
// The minimum size of an image window's client area.
constexpr TSize32 kMinClient{170, 140};

QString TrQ(const char* s) { return QString::fromStdString(Tr(s)); }

// Option colours are 0x00BBGGRR.
QColor OptionColour(int32_t c) { return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF); }

}  // namespace

// ============================================================================ panel

TImagePanel::TImagePanel(TFormChild* owner) : QAbstractScrollArea(owner), Owner_(owner) {
  setFrameShape(QFrame::NoFrame);
  viewport()->setMouseTracking(true);
  viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
  setFocusPolicy(Qt::StrongFocus);
  horizontalScrollBar()->setSingleStep(20);
  verticalScrollBar()->setSingleStep(20);
  Tools_ = new TDraggerHost(*this);
  NavTop_ = Options().Image.ThumbTopCorner;
  NavPercent_ = Options().Image.ThumbSize;
  Background_ = TFormChild::BackgroundColour(palette().color(QPalette::Button));
}

QSize TImagePanel::ContentSize() const {
  return QSize(int(ZoomedExtent(ImageW_, Code_)), int(ZoomedExtent(ImageH_, Code_)));
}

QPoint TImagePanel::ContentOrigin() const {
  const QSize c = ContentSize();
  const QSize v = viewport()->size();
  // An image smaller than the viewport is centred; a larger one follows the scroll bars.
  const int x = c.width() < v.width() ? (v.width() - c.width()) / 2 : -horizontalScrollBar()->value();
  const int y =
      c.height() < v.height() ? (v.height() - c.height()) / 2 : -verticalScrollBar()->value();
  return {x, y};
}

bool TImagePanel::ImagePoint(QPoint pos, int32_t& x, int32_t& y) const {
  const QPoint o = ContentOrigin();
  const int64_t cx = int64_t(pos.x()) - o.x();
  const int64_t cy = int64_t(pos.y()) - o.y();
  const QSize c = ContentSize();
  if (cx < 0 || cy < 0 || cx >= c.width() || cy >= c.height()) return false;
  const int64_t num = ZoomNumerator(Code_);
  x = int32_t(cx * kZoomDenominator / num);
  y = ImageH_ - 1 - int32_t(cy * kZoomDenominator / num);
  return x >= 0 && x < ImageW_ && y >= 0 && y < ImageH_;
}

void TImagePanel::SetView(int32_t width, int32_t height, int32_t code, const QPoint* anchor) {
  code = ClampZoomCode(code);
  const QPoint at = anchor ? *anchor : QPoint(viewport()->width() / 2, viewport()->height() / 2);
  // The image position (in image pixels, top-down, fractional) under the anchor.
  const QPoint o = ContentOrigin();
  const double oldScale = ZoomScale(Code_);
  double ix = (at.x() - o.x()) / oldScale;
  double iy = (at.y() - o.y()) / oldScale;
  const bool sizeChanged = width != ImageW_ || height != ImageH_;
  if (sizeChanged) {
    ix = width / 2.0;
    iy = height / 2.0;
  }
  ImageW_ = std::max(width, 1);
  ImageH_ = std::max(height, 1);
  Code_ = code;
  UpdateScrollBars();
  const double s = ZoomScale(Code_);
  horizontalScrollBar()->setValue(Round(ix * s - at.x()));
  verticalScrollBar()->setValue(Round(iy * s - at.y()));
  if (sizeChanged) Invalidate();
  viewport()->update();
}

void TImagePanel::CentreOn(int32_t x, int32_t y) {
  const double s = ZoomScale(Code_);
  horizontalScrollBar()->setValue(Round((x + 0.5) * s - viewport()->width() / 2.0));
  verticalScrollBar()->setValue(Round((ImageH_ - y - 0.5) * s - viewport()->height() / 2.0));
}

bool TImagePanel::ScrollBarShown() const {
  return horizontalScrollBar()->maximum() > 0 || verticalScrollBar()->maximum() > 0;
}

void TImagePanel::Invalidate() {
  ++Serial_;
  viewport()->update();
}

void TImagePanel::SetBackground(QColor c) {
  Background_ = c;
  viewport()->update();
}

void TImagePanel::UpdateScrollBars() {
  const QSize c = ContentSize();
  // An image that fits the panel without scroll bars gets none, even while they are still
  // shown from a smaller size.
  const QSize full = maximumViewportSize();
  const QSize v = c.width() <= full.width() && c.height() <= full.height() ? full : viewport()->size();
  horizontalScrollBar()->setRange(0, std::max(0, c.width() - v.width()));
  horizontalScrollBar()->setPageStep(std::max(1, v.width()));
  verticalScrollBar()->setRange(0, std::max(0, c.height() - v.height()));
  verticalScrollBar()->setPageStep(std::max(1, v.height()));
}

void TImagePanel::resizeEvent(QResizeEvent* e) {
  QAbstractScrollArea::resizeEvent(e);
  UpdateScrollBars();
}

void TImagePanel::scrollContentsBy(int dx, int dy) {
  const QSize c = ContentSize();
  const QSize v = viewport()->size();
  // The pixels on screen move with the image when it covers the whole viewport and nothing
  // is drawn over it; only the uncovered strips are painted then.
  if (!NavShown_ && !TAnnotationOverlay::Wanted(Owner_->Document()) && c.width() >= v.width() &&
      c.height() >= v.height())
    viewport()->scroll(dx, dy);
  else
    viewport()->update();
}

void TImagePanel::RenderVisible(const QRect& r) {
  if (r == RenderedRect_ && Code_ == RenderedCode_ && Serial_ == RenderedSerial_) return;
  const TAImage& image = Owner_->Document().Image();
  const int32_t num = ZoomNumerator(Code_);
  const std::vector<int32_t> cols = ZoomedIndices(r.x(), r.width(), num);
  std::vector<int32_t> rows = ZoomedIndices(r.y(), r.height(), num);
  FlipRows(rows, image.Height());
  if (Renderer_.Render(image, cols, rows, Bitmap_)) {
    RenderedRect_ = r;
    RenderedCode_ = Code_;
    RenderedSerial_ = Serial_;
  } else {
    RenderedRect_ = QRect();
  }
}

void TImagePanel::paintEvent(QPaintEvent* e) {
  QPainter p(viewport());
  const QPoint o = ContentOrigin();
  const QRect content(o, ContentSize());
  const QRect shown = content.intersected(viewport()->rect());
  const QRegion exposed = e->region();
  // Everything outside the image is background, painted around it (not under it).
  const QRegion around = exposed - QRegion(shown);
  for (const QRect& r : around) p.fillRect(r, Background_);
  if (!shown.isEmpty() && Owner_->Document().Width() == ImageW_ &&
      Owner_->Document().Height() == ImageH_) {
    const QRegion image = exposed & QRegion(shown);
    // Annotations reach across strips: with them the whole shown part is painted.
    const TAstroDocument& doc = Owner_->Document();
    if ((image.rectCount() == 1 && image.boundingRect() == shown) ||
        TAnnotationOverlay::Wanted(doc)) {
      const QRect c = shown.translated(-o);
      RenderVisible(c);
      if (!RenderedRect_.isValid())
        p.fillRect(shown, Qt::black);
      else if (!Overlay_.Paint(p, shown.topLeft(), Bitmap_, doc,
                               {ZoomNumerator(Code_), ImageH_, c.x(), c.y(), c.width(), c.height()}))
        DrawPicture(p, shown.topLeft(), Bitmap_);
    } else {
      // Strips uncovered by a scroll: only they are rendered.
      const TAImage& img = Owner_->Document().Image();
      const int32_t num = ZoomNumerator(Code_);
      for (const QRect& r : image) {
        const QRect c = r.translated(-o);
        std::vector<int32_t> rows = ZoomedIndices(c.y(), c.height(), num);
        FlipRows(rows, img.Height());
        if (StripRenderer_.Render(img, ZoomedIndices(c.x(), c.width(), num), rows, Strip_))
          DrawPicture(p, r.topLeft(), Strip_);
        else
          p.fillRect(r, Qt::black);
      }
    }
  }
  Tools_->Paint(p);
  if (NavShown_) PaintNavigator(p);
  p.end();
  if (Owner_->isVisible())
    if (TFormMain* m = qobject_cast<TFormMain*>(Owner_->window())) emit m->ImageFramePainted();
}

QRectF TImagePanel::ScreenRect(const TPixelRect& r) const {
  // Image rows count upward; screen rows downward.
  const QPoint o = ContentOrigin();
  const double s = ZoomScale(Code_);
  return QRectF(o.x() + r.Left * s, o.y() + (ImageH_ - 1 - r.Top) * s, (r.Right - r.Left + 1) * s,
                (r.Top - r.Bottom + 1) * s);
}

// ---------------------------------------------------------------------------- navigator

QRect TImagePanel::NavigatorRect() const {
  if (!NavShown_) return {};
  const int32_t longSide = std::max(16, kNavigatorBase * NavPercent_ / 100);
  int32_t w = longSide, h = longSide;
  if (ImageW_ >= ImageH_)
    h = std::max(4, int32_t(int64_t(longSide) * ImageH_ / ImageW_));
  else
    w = std::max(4, int32_t(int64_t(longSide) * ImageW_ / ImageH_));
  // Inside a one-pixel frame, 4 pixels from the corner.
  const int32_t x = 4;
  const int32_t y = NavTop_ ? 4 : viewport()->height() - h - 2 - 4;
  return QRect(x + 1, y + 1, w, h);
}

void TImagePanel::SetNavigatorShown(bool shown) {
  NavShown_ = shown;
  viewport()->update();
}

void TImagePanel::SetNavigatorSize(int32_t percent) {
  NavPercent_ = std::clamp(percent, 50, 400);
  viewport()->update();
}

void TImagePanel::SetNavigatorTop(bool top) {
  NavTop_ = top;
  viewport()->update();
}

void TImagePanel::PaintNavigator(QPainter& p) {
  const QRect r = NavigatorRect();
  const TAImage& image = Owner_->Document().Image();
  if (NavSerial_ != Serial_ || NavBitmap_.Width() != r.width() ||
      NavBitmap_.Height() != r.height()) {
    std::vector<int32_t> rows = SpreadIndices(r.height(), image.Height());
    FlipRows(rows, image.Height());
    if (!NavRenderer_.Render(image, SpreadIndices(r.width(), image.Width()), rows, NavBitmap_))
      return;
    NavSerial_ = Serial_;
  }
  p.setPen(QColor(kNavigatorFrame));
  p.drawRect(r.adjusted(-1, -1, 0, 0));
  DrawPicture(p, r.topLeft(), NavBitmap_);
  if (ScrollBarShown()) {
    // The visible part, in navigator pixels.
    const QSize c = ContentSize();
    const QPoint o = ContentOrigin();
    const double fx = double(r.width()) / std::max(1, c.width());
    const double fy = double(r.height()) / std::max(1, c.height());
    const QRect vis = QRect(-o, viewport()->size()).intersected(QRect(QPoint(0, 0), c));
    QRect m(r.x() + int(vis.x() * fx), r.y() + int(vis.y() * fy),
            std::max(2, int(vis.width() * fx)), std::max(2, int(vis.height() * fy)));
    p.setPen(OptionColour(Options().Image.ThumbColor));
    p.drawRect(m.adjusted(0, 0, -1, -1));
  }
}

void TImagePanel::PanFromNavigator(QPoint pos) {
  const QRect r = NavigatorRect();
  const double fx = double(std::clamp(pos.x() - r.x(), 0, r.width())) / r.width();
  const double fy = double(std::clamp(pos.y() - r.y(), 0, r.height())) / r.height();
  const QSize c = ContentSize();
  horizontalScrollBar()->setValue(Round(fx * c.width() - viewport()->width() / 2.0));
  verticalScrollBar()->setValue(Round(fy * c.height() - viewport()->height() / 2.0));
}

// ---------------------------------------------------------------------------- mouse, keys

void TImagePanel::mousePressEvent(QMouseEvent* e) {
  const QPoint pos = e->position().toPoint();
  if (NavShown_ && NavigatorRect().contains(pos) && e->button() == Qt::LeftButton) {
    NavDragging_ = true;
    PanFromNavigator(pos);
    return;
  }
  Tools_->Press(e);
}

void TImagePanel::mouseMoveEvent(QMouseEvent* e) {
  const QPoint pos = e->position().toPoint();
  if (NavDragging_) {
    PanFromNavigator(pos);
    return;
  }
  Tools_->Move(e);
  int32_t x = 0, y = 0;
  if (ImagePoint(pos, x, y)) {
    Owner_->MouseAt(x, y);
    Owner_->ShowPixelInfo(x, y);
  }
}

void TImagePanel::mouseReleaseEvent(QMouseEvent* e) {
  if (NavDragging_) {
    NavDragging_ = false;
    return;
  }
  Tools_->Release(e);
}

void TImagePanel::leaveEvent(QEvent* e) {
  QAbstractScrollArea::leaveEvent(e);
  Owner_->UpdateStatus();
}

void TImagePanel::wheelEvent(QWheelEvent* e) {
  const int steps = e->angleDelta().y();
  if (steps == 0) {
    QAbstractScrollArea::wheelEvent(e);
    return;
  }
  const Qt::KeyboardModifiers m = e->modifiers();
  const bool ctrl = m & Qt::ControlModifier;
  const bool shift = m & Qt::ShiftModifier;
  TFormMain* main = qobject_cast<TFormMain*>(Owner_->window());
  const bool zoomMode = main && main->ZoomMode();
  const bool zoom = zoomMode ? !(ctrl || shift) : ctrl;
  if (!zoom) {
    QAbstractScrollArea::wheelEvent(e);
    return;
  }
  const QPoint at = e->position().toPoint();
  if (steps > 0)
    Owner_->ZoomIn(false, &at);
  else
    Owner_->ZoomOut(false, &at);
  e->accept();
}

void TImagePanel::contextMenuEvent(QContextMenuEvent* e) {
  const QPoint pos = e->reason() == QContextMenuEvent::Keyboard ? QPoint(150, 50) : e->pos();
  int32_t x = 0, y = 0;
  if (ImagePoint(pos, x, y)) Owner_->MouseAt(x, y);
  QMenu* menu = NavShown_ && NavigatorRect().contains(pos) ? Owner_->BuildNavigatorPopup()
                                                           : Owner_->BuildPopup();
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->popup(viewport()->mapToGlobal(pos));
}

void TImagePanel::keyPressEvent(QKeyEvent* e) {
  if (Owner_->HandleKey(e->key(), e->modifiers(), e->modifiers() & Qt::KeypadModifier)) return;
  QAbstractScrollArea::keyPressEvent(e);
}

// ============================================================================ window

TFormChild::TFormChild(TFormMain* main, TAstroDocument& doc)
    : QWidget(nullptr), Main_(main), DocRef_(&doc) {
  setAttribute(Qt::WA_DeleteOnClose, false);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  Panel_ = new TImagePanel(this);
  Bottom_ = new QLabel(this);
  Bottom_->setFixedHeight(BarHeight());
  Bottom_->setContentsMargins(4, 0, 4, 0);
  Bottom_->installEventFilter(this);
  Bottom_->setToolTip(tr("Click: Auto ->Auto"));
  layout->addWidget(Panel_, 1);
  layout->addWidget(Bottom_);
  Tabs_ = new QTabBar(this);
  Tabs_->setDrawBase(false);
  Tabs_->setExpanding(false);
  Tabs_->hide();
  layout->addWidget(Tabs_);
  connect(Tabs_, &QTabBar::tabBarClicked, this, [this](int i) {
    const std::vector<TFormChild*>& w = Main_->TabWindows();
    if (i >= 0 && size_t(i) < w.size()) Main_->Activate(*w[size_t(i)]);
  });
  connect(main, &TFormMain::TabsChanged, this, [this] { UpdateBar(); });
  setFocusProxy(Panel_);
  const TFitsStrings& h = doc.Image().Header;
  FromMultiImageFile_ = h.HasKey("QVIM_IDX") || h.ImageCount() > 1;
}

TFormChild::~TFormChild() {
  Panel_->Tools()->EndTool();
  // No signal of the main window may reach this window from here on.
  disconnect(Main_, nullptr, this, nullptr);
  Main_->ForgetTab(this);
  if (Doc_) {
    // Tool windows drop the document before it goes.
    if (TQVMaster* m = QVMaster()) m->NotifyDocumentClosing(*Doc_);
    // The window goes first: the document must not call back into it.
    Doc_->ReleaseWindow();
    Doc_.reset();
  }
}

void TFormChild::AdoptDocument(std::unique_ptr<TAstroDocument> doc) { Doc_ = std::move(doc); }

QColor TFormChild::BackgroundColour(QColor face) {
  const double b = Options().Misc.BlackBorder ? 0.0 : std::clamp(Options().Misc.WindowBrightness, 0.0, 100.0);
  const int32_t w = Round(b * 2.56);
  return QColor(face.red() * w / 256, face.green() * w / 256, face.blue() * w / 256);
}

void TFormChild::ApplyBackground() {
  Panel_->SetBackground(BackgroundColour(palette().color(QPalette::Button)));
}

int32_t TFormChild::BarHeight() const {
  return std::max(16, Round(16 * logicalDpiY() / 96.0));
}

bool TFormChild::CanSaveUnderName() const {
  // Another format (JPEG, RAW, SER, ...) or one image of a multi-image file is never
  // written back as FITS under its own name: that would destroy the original.
  const std::string& path = DocRef_->FileName();
  return path.find('/') != std::string::npos && HasExtension(path, {".fit", ".fits", ".fts"}) &&
         (!FromMultiImageFile_ || SavedAsFits_);
}

void TFormChild::SetZoom(int32_t code, const QPoint* anchor) {
  code = ClampZoomCode(code);
  if (code == ZoomCode()) return;
  Panel_->SetView(DocRef_->Width(), DocRef_->Height(), code, anchor);
  UpdateCaption();
  UpdateStatus();
}

void TFormChild::ZoomIn(bool shift, const QPoint* anchor) {
  TZoomState s;
  s.Code = ZoomCode();
  s.Shift = shift;
  s.ScrollBarShown = Panel_->ScrollBarShown();
  s.ClientW = Panel_->viewport()->width();
  s.ClientH = Panel_->viewport()->height();
  s.PanelW = Panel_->ContentSize().width();
  s.PanelH = Panel_->ContentSize().height();
  s.FitCode = FitCode(DocRef_->Width(), DocRef_->Height(), Panel_->width(), Panel_->height());
  SetZoom(ZoomInCode(s), anchor);
}

void TFormChild::ZoomOut(bool shift, const QPoint* anchor) {
  TZoomState s;
  s.Code = ZoomCode();
  s.Shift = shift;
  s.ClientW = Panel_->viewport()->width();
  s.ClientH = Panel_->viewport()->height();
  // The fit is judged against the panel without scroll bars.
  s.FitCode = FitCode(DocRef_->Width(), DocRef_->Height(), Panel_->width(), Panel_->height());
  SetZoom(ZoomOutCode(s), anchor);
}

void TFormChild::FitToWindow() {
  SetZoom(FitCode(DocRef_->Width(), DocRef_->Height(), Panel_->width(), Panel_->height()));
}

void TFormChild::FitToImage() {
  if (!Sub_ || Sub_->isMaximized()) return;
  const QSize main = Main_->MainClientSize();
  const TSize32 s = FitToImageClientSize(DocRef_->Width(), DocRef_->Height(), ZoomCode(),
                                         BarHeight(), {main.width(), main.height()},
                                         {Sub_->x(), Sub_->y()});
  WantedSize_ = QSize(s.W, s.H);
  Sub_->resize(Sub_->size() - size() + WantedSize_);
}

void TFormChild::CreateView(int32_t code) {
  code = ClampZoomCode(code);
  const QSize main = Main_->MainClientSize();
  const int32_t cascade = std::max(0, int32_t(Main_->ImageWindows().size()) - 1) % 10;
  const TSize32 s =
      CreateViewClientSize(DocRef_->Width(), DocRef_->Height(), code, BarHeight(),
                           {main.width(), main.height()}, cascade, kMinClient);
  WantedSize_ = QSize(s.W, s.H);
  resize(WantedSize_);
  Panel_->SetView(DocRef_->Width(), DocRef_->Height(), code);
}

void TFormChild::AutoView() {
  const QSize main = Main_->MainClientSize();
  CreateView(AutoViewCode(DocRef_->Width(), DocRef_->Height(), BarHeight(),
                          {main.width(), main.height()}));
}

QString TFormChild::CaptionString() const {
  return QString::fromStdString(CaptionText(DocRef_->Title(), ZoomCode()));
}

QString TFormChild::BottomText() const {
  return QString::fromStdString(DocRef_->Image().StatusText(false));
}

void TFormChild::UpdateCaption() {
  const QString c = CaptionString();
  if (c == windowTitle()) return;
  setWindowTitle(c);
  if (Sub_) Sub_->setWindowTitle(c);
  emit Main_->TabsChanged();
}

void TFormChild::UpdateBar() {
  if (Rebuilding_ || Closing_) return;
  const bool maximized = Sub_ && Sub_->isMaximized();
  Bottom_->setVisible(!maximized);
  Tabs_->setVisible(maximized);
  if (!maximized) return;
  Rebuilding_ = true;
  const std::vector<TFormChild*>& windows = Main_->TabWindows();
  while (Tabs_->count() > int(windows.size())) Tabs_->removeTab(Tabs_->count() - 1);
  for (size_t i = 0; i < windows.size(); ++i) {
    const QString text = QString::fromStdString(TabCaption(windows[i]->Document().Title()));
    if (int(i) < Tabs_->count())
      Tabs_->setTabText(int(i), text);
    else
      Tabs_->addTab(text);
    if (windows[i] == this) Tabs_->setCurrentIndex(int(i));
  }
  Tabs_->setFixedHeight(std::max(25, Round(25 * logicalDpiY() / 96.0)));
  Rebuilding_ = false;
}

QMenu* TFormChild::BuildPopup() {
  auto* menu = new QMenu(this);
  TQVMaster& m = Main_->Master();
  TAstroDocument* doc = DocRef_;
  menu->addAction(TrQ("Copy"), this, [&m, doc] { m.Image->Copy(doc); });
  QAction* paste = menu->addAction(TrQ("Paste"), this, [this, &m, doc] {
    if (LastX_ >= 0) m.Image->PasteInto(doc, TPixelRect{LastX_, LastY_, LastX_, LastY_});
  });
  paste->setEnabled(m.Image->CanPaste() && LastX_ >= 0);
  menu->addSeparator();
  // Web links need a position in the sky.
  const std::optional<TSkyView> view = ImageSkyView(*DocRef_, Options().PlateSolve.FieldX / 60.0);
  QAction* atlas = menu->addAction(TrQ("Sky atlas (Aladin)"), this, [this, view] {
    if (view) Main_->OpenUrl(SkyAtlasUrl(*view));
  });
  atlas->setEnabled(view.has_value());
  QAction* object = menu->addAction(TrQ("Object database (SIMBAD)"), this, [this] {
    double ra = 0, dec = 0;
    DocRef_->Image().Wcs.PixelToSkyDeg(LastX_, LastY_, ra, dec);
    Main_->OpenUrl(ObjectQueryUrl(ra, dec, 30));
  });
  object->setEnabled(DocRef_->HasWcs() && LastX_ >= 0);
  return menu;
}

QMenu* TFormChild::BuildNavigatorPopup() {
  auto* menu = new QMenu(this);
  for (int32_t pct : {100, 150, 200}) {
    QAction* a = menu->addAction(QString::number(pct) + " %", this, [this, pct] {
      Options().Image.ThumbSize = pct;
      Panel_->SetNavigatorSize(pct);
    });
    a->setCheckable(true);
    a->setChecked(Options().Image.ThumbSize == pct);
  }
  menu->addAction(QString::fromStdString(Tr("Color") + " ..."), this, [this] {
    const int32_t c = Options().Image.ThumbColor;
    const QColor chosen =
        QColorDialog::getColor(QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF), this);
    if (!chosen.isValid()) return;
    Options().Image.ThumbColor = chosen.red() | (chosen.green() << 8) | (chosen.blue() << 16);
    Panel_->viewport()->update();
  });
  menu->addAction(TrQ("Move"), this, [this] {
    Options().Image.ThumbTopCorner = !Panel_->NavigatorTop();
    Panel_->SetNavigatorTop(Options().Image.ThumbTopCorner);
  });
  menu->addAction(TrQ("Close"), this, [this] { Panel_->SetNavigatorShown(false); });
  return menu;
}

void TFormChild::CopyWindowPicture(bool panelOnly) {
  const QPixmap pic = panelOnly ? Panel_->viewport()->grab() : (Sub_ ? Sub_->grab() : grab());
  QApplication::clipboard()->setPixmap(pic);
  Main_->ShowStatus(Tr("Copy to the clipboard"), 1, 0, true);
}

void TFormChild::UpdateStatus() {
  if (!Main_ || Closing_) return;
  Main_->ShowImageStatus(ImageStatusText(*DocRef_, ZoomCode()), DocRef_->SelectionText());
}

void TFormChild::ShowPixelInfo(int32_t x, int32_t y) {
  const TAImage& image = DocRef_->Image();
  // While a mouse tool works, field 1 is its own and the readout goes to field 2 only.
  if (!Panel_->Tools()->Tool()) Main_->ShowStatus(SkyInfoText(image, x, y, Options().Misc), 1, 0, false);
  Main_->ShowStatus(PixelInfoText(image, x, y), 2, 0, false);
}

TPicture16 TFormChild::Picture16() {
  TPicture16 p{};
  const TAImage& image = DocRef_->Image();
  std::vector<int32_t> rows = SpreadIndices(16, image.Height());
  FlipRows(rows, image.Height());
  TViewRenderer r;
  TViewPicture b;
  if (r.Render(image, SpreadIndices(16, image.Width()), rows, b))
    for (int32_t k = 0; k < 256; ++k) p[size_t(k)] = b.Pixel(k % 16, k / 16) & 0xFFFFFFu;
  return p;
}

void TFormChild::SetThumbSize(int32_t size) { Panel_->SetNavigatorSize(size); }

void TFormChild::ShowWindow() {
  if (!Sub_) return;
  if (Main_->MdiArea()->activeSubWindow() && Main_->MdiArea()->activeSubWindow()->isMaximized())
    Sub_->showMaximized();
  else
    Sub_->show();
  Sub_->adjustSize();
  Main_->Activate(*this);
}

void TFormChild::RecreateView(double zoom) {
  int32_t code = 0;
  if (!TryRound(zoom, code)) code = 0;
  Panel_->SetView(DocRef_->Width(), DocRef_->Height(), ClampZoomCode(code));
  UpdateCaption();
  UpdateStatus();
}

void TFormChild::CloseWindow() {
  Closing_ = true;
  if (Sub_) Sub_->close();
}

void TFormChild::DocumentChanged(TAstroDocument&, TDocumentEvent event) {
  if (Closing_) return;
  switch (event) {
    case TDocumentEvent::Caption:
      UpdateCaption();
      break;
    case TDocumentEvent::Views:
      Panel_->Invalidate();
      Bottom_->setText(BottomText());
      break;
    default:
      break;
  }
}

void TFormChild::DocumentClosing(TAstroDocument&) {
  // Called only when the document goes before its window; nothing may reach it any more.
  Closing_ = true;
  Panel_->Tools()->EndTool();
}

void TFormChild::closeEvent(QCloseEvent* e) {
  if (!Closing_ && !Main_->CloseQuery(*this)) {
    e->ignore();
    return;
  }
  Closing_ = true;
  Panel_->Tools()->EndTool();
  e->accept();
}

bool TFormChild::eventFilter(QObject* watched, QEvent* e) {
  if (watched == Bottom_ && Doc_) {
    if (e->type() == QEvent::MouseButtonDblClick) {
      TAImage& image = Doc_->Image();
      image.RefreshMinMax();
      if (image.DataMin >= 0 && image.DataMax <= 255)
        SetVisualization(image, image.Visu.TransferType, 255, 0);
      else
        ApplyMinMaxRange(image);
      Doc_->RefreshViews();
      return true;
    }
    // A double click follows a press: the press's automatic range is then replaced.
    if (e->type() == QEvent::MouseButtonPress) {
      ApplyAutoVisualization(Doc_->Image());
      Doc_->RefreshViews();
      return true;
    }
  }
  return QWidget::eventFilter(watched, e);
}

bool TFormChild::HandleKey(int key, Qt::KeyboardModifiers mods, bool keypad) {
  const bool shift = mods & Qt::ShiftModifier;
  const bool ctrl = mods & Qt::ControlModifier;
  TQVMaster& m = Main_->Master();
  // Ctrl+Shift commands.
  if (ctrl && shift) {
    switch (key) {
      case Qt::Key_A:
        m.Annotations->ToggleShown();
        return true;
      case Qt::Key_F:
        m.Image->HeaderComment(DocRef_);
        return true;
      case Qt::Key_N:
        Options().Image.SunMarker = !Options().Image.SunMarker;
        DocRef_->RefreshViews();
        return true;
      case Qt::Key_R:
        m.Image->Rename(DocRef_);
        return true;
      case Qt::Key_C:
        CopyWindowPicture(false);
        return true;
      default:
        break;
    }
  }
  if (ctrl) {
    switch (key) {
      case Qt::Key_Delete:
        // With Shift the window closes without its question: the user said so.
        if (shift) {
          DocRef_->MarkUnmodified();
          SetClosing();
        }
        if (Sub_) Sub_->close();
        return true;
      case Qt::Key_5:
        if (DocRef_->SelectionKind() == 1) {
          DocRef_->SetSelectionKind(0);
        } else if (LastX_ >= 0) {
          const TPixelRect r = SquareAround(LastX_, LastY_, DocRef_->Width(), DocRef_->Height());
          DocRef_->SelectRect(r.Left, r.Bottom, r.Right, r.Top);
        }
        DocRef_->RefreshViews();
        UpdateStatus();
        return true;
      case Qt::Key_Plus:
      case Qt::Key_Equal:
      case Qt::Key_Minus: {
        if (DocRef_->SelectionKind() != 1) return true;
        const TPixelRect r = DocRef_->SelectionBounds();
        const int32_t d = key == Qt::Key_Minus ? -5 : 5;
        // Shrinking stops at a side of 10.
        if (d < 0 && (r.Right - r.Left + 1 <= 10 || r.Top - r.Bottom + 1 <= 10)) return true;
        DocRef_->SelectRect(r.Left - d, r.Bottom - d, r.Right + d, r.Top + d);
        DocRef_->RefreshViews();
        UpdateStatus();
        return true;
      }
      case Qt::Key_Left:
      case Qt::Key_Right:
      case Qt::Key_Up:
      case Qt::Key_Down: {
        if (DocRef_->SelectionKind() != 1) return false;
        int32_t step = shift ? 5 : 1;
        const double pct = ZoomPercent(ZoomCode());
        // At small zooms a step is about one screen pixel.
        if (pct <= 50) step *= std::max(1, Round(100.1 / pct));
        const int32_t dx = key == Qt::Key_Left ? -step : key == Qt::Key_Right ? step : 0;
        const int32_t dy = key == Qt::Key_Down ? -step : key == Qt::Key_Up ? step : 0;
        const TPixelRect r = DocRef_->SelectionBounds();
        // Moved as a whole: a rectangle at an edge stays there.
        const int32_t mx = std::clamp(dx, -r.Left, DocRef_->Width() - 1 - r.Right);
        const int32_t my = std::clamp(dy, -r.Bottom, DocRef_->Height() - 1 - r.Top);
        DocRef_->SelectRect(r.Left + mx, r.Bottom + my, r.Right + mx, r.Top + my);
        DocRef_->RefreshViews();
        UpdateStatus();
        return true;
      }
      case Qt::Key_PageUp:
      case Qt::Key_PageDown:
        StepContrast(DocRef_->Image(), key == Qt::Key_PageDown, shift, true);
        DocRef_->RefreshViews();
        return true;
      default:
        return false;
    }
  }
  switch (key) {
    case Qt::Key_Escape:
      Main_->SetAbort();
      return true;
    case Qt::Key_Plus:
    case Qt::Key_Equal:
      ZoomIn(shift);
      return true;
    case Qt::Key_Minus:
      ZoomOut(shift);
      return true;
    case Qt::Key_F:
    case Qt::Key_Asterisk:
      FitToWindow();
      return true;
    case Qt::Key_D:
    case Qt::Key_Period:
      if (key == Qt::Key_Period && !keypad) return false;
      FitToImage();
      return true;
    case Qt::Key_R:
      SetZoom(0);
      return true;
    case Qt::Key_C:
      if (shift) {
        CopyWindowPicture(true);
        return true;
      }
      if (LastX_ < 0) return false;
      Panel_->CentreOn(LastX_, LastY_);
      return true;
    case Qt::Key_Z:
      Panel_->SetNavigatorShown(!Panel_->NavigatorShown());
      return true;
    case Qt::Key_A:
      if (Panel_->NavigatorShown()) {
        Options().Image.ThumbTopCorner = !Panel_->NavigatorTop();
        Panel_->SetNavigatorTop(Options().Image.ThumbTopCorner);
      } else {
        Panel_->SetNavigatorShown(true);
      }
      return true;
    case Qt::Key_V:
    case Qt::Key_Slash:
      if (key == Qt::Key_Slash && !keypad) return false;
      Main_->ToggleFullScreen();
      return true;
    case Qt::Key_9:
      if (!keypad) return false;
      m.Images->ToggleBlackBorder();
      return true;
    case Qt::Key_0:
    case Qt::Key_5:
      if (!Sub_) return false;
      if (Sub_->isMaximized())
        Sub_->showNormal();
      else
        Sub_->showMaximized();
      return true;
    case Qt::Key_1:
    case Qt::Key_Home:
    case Qt::Key_2:
    case Qt::Key_End:
      if (TFormChild* next = Main_->NextTab(this, key == Qt::Key_2 || key == Qt::Key_End))
        Main_->Activate(*next);
      return true;
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
      StepContrast(DocRef_->Image(), key == Qt::Key_PageDown, shift, false);
      DocRef_->RefreshViews();
      return true;
    default:
      return false;
  }
}

}  // namespace orlu
