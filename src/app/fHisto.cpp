#include "fHisto.h"

#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QSaveFile>
#include <QSlider>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

#include "base/OrluMath.h"
#include "base/TextNumbers.h"
#include "base/Translate.h"
#include "fChild.h"
#include "fMain.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"

namespace orlu {

namespace {

QString TrQ(const char* s) { return QString::fromStdString(Tr(s)); }

QString Upper(const char* s) { return QString::fromLatin1(s).toUpper(); }

}  // namespace

// ============================================================================ half button

THalfButton::THalfButton(const QString& text, QWidget* parent) : QToolButton(parent) {
  setText(text);
  setAutoRaise(true);
}

void THalfButton::mouseReleaseEvent(QMouseEvent* e) {
  QToolButton::mouseReleaseEvent(e);
  if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint()))
    emit HalfClicked(e->position().x() < width() / 2.0);
}

// ============================================================================ panel

THistoPanel::THistoPanel(QWidget* parent) : QWidget(parent) {
  setMouseTracking(true);
  setMinimumSize(40, 30);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void THistoPanel::Recount() {
  TAImage* img = ImageOf ? ImageOf() : nullptr;
  if (img)
    Model.Count(*img, width());
  else
    Model.MainBins.fill(0), Model.RedBins.fill(0), Model.BlueBins.fill(0);
  Draw();
  update();
}

void THistoPanel::resizeEvent(QResizeEvent*) { Recount(); }

void THistoPanel::Draw() {
  const int32_t W = width(), H = height();
  if (W < 4 || H < 4) {
    Bitmap_ = QImage();
    return;
  }
  Bitmap_ = QImage(W, H, QImage::Format_RGB32);
  QPainter p(&Bitmap_);
  for (int32_t i = 0; i < 48; ++i) {
    const int32_t y0 = i * H / 48, y1 = (i + 1) * H / 48;
    p.fillRect(0, y0, W, y1 - y0, QColor(32, 32, 104 - i));
  }
  p.setPen(QColor(32, 32, 64));
  p.drawLine(0, 0, 0, H - 1);
  p.drawLine(0, 0, W - 1, 0);
  QFont f("Arial");
  f.setPointSize(8);
  p.setFont(f);
  const int32_t ascent = p.fontMetrics().ascent();
  for (const TGridLine& g : GridLines(Model.AxisStart, Model.AxisSpan, W)) {
    p.setPen(QColor(64, 80, 96));
    p.drawLine(g.Column + 1, 0, g.Column + 1, H - 1);
    p.setPen(QColor(96, 112, 112));
    p.drawText(QPoint(g.Column - 4, H / 8 + ascent), QString::fromStdString(g.Label));
  }
  TAImage* img = ImageOf ? ImageOf() : nullptr;
  if (!img) return;
  const bool colour = Model.Colour;
  const bool split = colour && SplitRGB;
  const QColor grey = palette().color(QPalette::Button).lighter(110);
  for (int32_t i = 1; i <= W - 2; ++i) {
    const size_t k = size_t(Model.ColumnBin(i, W));
    const int32_t g = Model.MainBins[k];
    if (!colour) {
      if (g < 1) continue;
      const int32_t h = BarHeight(g, Model.PixelCount, H);
      p.setPen(grey);
      p.drawLine(i, H - h - 1, i, H - 1);
      continue;
    }
    const int32_t r = Model.RedBins[k], b = Model.BlueBins[k];
    const int32_t total = std::max(1, r + g + b);
    if (split) {
      const int32_t counts[3] = {r, g, b};
      const int32_t bottoms[3] = {H / 3 - 1, 2 * H / 3 - 1, H - 1};
      const QColor pens[3] = {QColor(ColourLevel(r, total), 140, 140), QColor(140, ColourLevel(g, total), 140),
                              QColor(140, 140, ColourLevel(b, total))};
      for (int32_t band = 0; band < 3; ++band) {
        if (counts[band] < 1) continue;
        const int32_t h = (BarHeight(counts[band], Model.PixelCount, H) + 1) / 3;
        p.setPen(pens[band]);
        p.drawLine(i, bottoms[band] - h, i, bottoms[band]);
      }
      continue;
    }
    const int32_t n = (r + g + b + 2) / 3;
    if (n < 1) continue;
    const int32_t h = BarHeight(n, Model.PixelCount, H);
    p.setPen(QColor(ColourLevel(r, total), ColourLevel(g, total), ColourLevel(b, total)));
    p.drawLine(i, H - h - 1, i, H - 1);
  }
  // The transfer curve, joined with anti-aliased lines.
  p.setRenderHint(QPainter::Antialiasing);
  const TImageVisu& v = img->Visu;
  auto curve = [&](auto row, QPen pen) {
    QPainterPath path;
    for (int32_t c = 1; c <= W - 2; ++c) {
      const QPointF pt(c, row(DisplayLevel(v, Model.ColumnValue(c, W))));
      if (c == 1)
        path.moveTo(pt);
      else
        path.lineTo(pt);
    }
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawPath(path);
  };
  const QPen curvePen(QColor(255, 214, 120), 1.2);
  if (split) {
    for (int32_t band = 0; band < 3; ++band)
      curve([&](int32_t l) { return BandCurveRow(band, l, H); }, curvePen);
    if (v.TransferType == kTransferCurve) {
      QPen dashed(QColor(255, 214, 120), 1.0, Qt::CustomDashLine);
      dashed.setDashPattern({1, 3});
      curve([&](int32_t l) { return CurveRow(l, H); }, dashed);
    }
  } else {
    curve([&](int32_t l) { return CurveRow(l, H); }, curvePen);
  }
  for (int32_t k = 0; k < 4; ++k) PointX_[k] = PointY_[k] = -100;
  if (v.TransferType == kTransferCurve) {
    p.setRenderHint(QPainter::Antialiasing, false);
    for (int32_t k = 0; k < v.Curve.Count && k < 4; ++k) {
      const double at = v.Low + double(v.Curve.X[size_t(k)]) * (double(v.High) - v.Low);
      for (int32_t c = 1; c <= W - 2; ++c) {
        const double cv = Model.ColumnValue(c, W);
        if (cv > at) {
          const int32_t row = CurveRow(DisplayLevel(v, cv), H);
          p.setPen(Qt::white);
          p.setBrush(QColor(255, 140, 0));
          p.drawRect(c - 5, row - 5, 10, 10);
          PointX_[k] = c;
          PointY_[k] = row;
          break;
        }
      }
    }
  }
}

void THistoPanel::paintEvent(QPaintEvent*) {
  QPainter p(this);
  if (Bitmap_.size() != size()) Draw();
  if (Bitmap_.isNull())
    p.fillRect(rect(), QColor(32, 32, 80));
  else
    p.drawImage(0, 0, Bitmap_);
}

void THistoPanel::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return;
  TAImage* img = ImageOf ? ImageOf() : nullptr;
  const QPoint pt = e->position().toPoint();
  int32_t hit = -1;
  bool near8 = false;
  for (int32_t k = 0; k < 4; ++k) {
    const int32_t dx = std::abs(pt.x() - PointX_[k]), dy = std::abs(pt.y() - PointY_[k]);
    if (dx <= 5 && dy <= 5) hit = k;
    near8 |= dx <= 8 && dy <= 8;
  }
  const bool curveCode = img && img->Visu.TransferType == kTransferCurve;
  Press_ = pt;
  if (hit >= 0 && img) {
    DragMode = 10 + hit;
    if (curveCode) CurveOrigin_ = img->Visu.Curve;
    return;
  }
  if (curveCode && near8) return;
  Dragging_ = true;
  DragMode = 0;
  Start0_ = Model.AxisStart;
  Span0_ = Model.AxisSpan;
  setCursor(Qt::ClosedHandCursor);
}

void THistoPanel::mouseMoveEvent(QMouseEvent* e) {
  const QPoint pt = e->position().toPoint();
  const int32_t dx = pt.x() - Press_.x(), dy = Press_.y() - pt.y();
  TAImage* img = ImageOf ? ImageOf() : nullptr;
  if (DragMode >= 10 && img && (e->buttons() & Qt::LeftButton)) {
    const size_t k = size_t(DragMode - 10);
    img->Visu.Curve = CurveOrigin_;
    img->Visu.MoveCurvePoint(int32_t(k), CurveOrigin_.X[k] + double(dx) / width(),
                             CurveOrigin_.Y[k] + double(dy) / height());
    Draw();
    update();
    if (CurveChanged) CurveChanged();
    return;
  }
  if (Dragging_ && (e->buttons() & Qt::LeftButton)) {
    if (DragMode == 0) {
      if (std::abs(dx) > std::abs(dy) + 2) DragMode = 3;
      if (std::abs(dy) > std::abs(dx) + 2) DragMode = 4;
    }
    if (DragMode == 3) Model.Pan(Start0_, Span0_, dx, width());
    if (DragMode == 4) Model.Zoom(Start0_, Span0_, dy, height());
    if (DragMode == 3 || DragMode == 4) {
      Recount();
      if (AxisChanged) AxisChanged();
    }
    return;
  }
  const double v = Model.ColumnValue(pt.x(), width());
  if (Readout) Readout(v, Model.CountAt(v));
  bool nearPoint = false;
  if (img && img->Visu.TransferType == kTransferCurve)
    for (int32_t k = 0; k < 4; ++k)
      nearPoint |= std::abs(pt.x() - PointX_[k]) <= 4 && std::abs(pt.y() - PointY_[k]) <= 4;
  setCursor(nearPoint ? Qt::OpenHandCursor : Qt::CrossCursor);
}

void THistoPanel::wheelEvent(QWheelEvent* e) {
  TAImage* img = ImageOf ? ImageOf() : nullptr;
  if (!img || e->angleDelta().y() == 0) return;
  const Qt::KeyboardModifiers m = e->modifiers();
  StepContrast(*img, e->angleDelta().y() < 0, m & Qt::ShiftModifier, m & Qt::ControlModifier);
  Draw();
  update();
  if (CurveChanged) CurveChanged();
  if (AxisChanged) AxisChanged();
}

void THistoPanel::mouseReleaseEvent(QMouseEvent*) {
  Dragging_ = false;
  DragMode = 0;
  unsetCursor();
}

// ============================================================================ window

bool& TFormHistoChild::SplitDefault() {
  static bool split = false;
  return split;
}

bool& TFormHistoChild::StretchOpen() {
  static bool open = false;
  return open;
}

TFormHistoChild::TFormHistoChild(QWidget* mainWindow)
    : TChildWindow(mainWindow, TrQ("Histogram"), TToolKind::Histogram) {
  setObjectName("FormHistoChild");
  auto* body = new QWidget(this);
  auto* lay = new QVBoxLayout(body);
  lay->setContentsMargins(0, 0, 0, 0);
  lay->setSpacing(1);
  TBMax_ = new QSlider(Qt::Horizontal, body);
  TBMax_->setObjectName("TBMax");
  TBMin_ = new QSlider(Qt::Horizontal, body);
  TBMin_->setObjectName("TBMin");
  for (QSlider* s : {TBMax_, TBMin_}) {
    s->setRange(0, kSliderMax);
    s->setFocusPolicy(Qt::StrongFocus);
  }
  Panel_ = new THistoPanel(body);
  Panel_->SplitRGB = SplitDefault();
  Panel_->ImageOf = [this]() -> TAImage* { return Document() ? &Document()->Image() : nullptr; };
  Panel_->CurveChanged = [this] {
    if (!Document()) return;
    Suppress_ = true;
    Document()->RefreshViews();
    Suppress_ = false;
  };
  Panel_->AxisChanged = [this] {
    SetSliders();
    UpdateLabels();
  };
  Panel_->Readout = [this](double v, int32_t n) {
    if (Held_ && Hold_.elapsed() < 2000) return;
    ShowReadout(v, n);
  };
  Panel_->setContextMenuPolicy(Qt::CustomContextMenu);
  lay->addWidget(TBMax_);
  lay->addWidget(Panel_, 1);
  lay->addWidget(TBMin_);

  auto* bar = new QWidget(body);
  bar->setObjectName("ButtonBar");
  auto* bl = new QHBoxLayout(bar);
  bl->setContentsMargins(0, 0, 0, 0);
  bl->setSpacing(2);
  Bit_ = new THalfButton(" 8 BIT", bar);
  auto* lum = new THalfButton("LUM", bar);
  auto* cnt = new THalfButton("CNT", bar);
  Transfer_ = new THalfButton("LIN", bar);
  auto* equ = new QToolButton(bar);
  equ->setText("EQU");
  equ->setAutoRaise(true);
  equ->setPopupMode(QToolButton::InstantPopup);
  auto* equMenu = new QMenu(equ);
  const std::string eq = Tr("Equalized"), ge = Tr("Gauss equalized");
  equMenu->addAction(QString::fromStdString(eq), this, [this] { ChooseSpecial(kTransferEqualized); });
  equMenu->addAction(QString::fromStdString(eq + " 50%"), this, [this] { ChooseSpecial(kTransferEqualized50); });
  equMenu->addAction(QString::fromStdString(ge), this, [this] { ChooseSpecial(kTransferGaussEqualized); });
  equMenu->addAction(QString::fromStdString(ge + " 50%"), this,
                     [this] { ChooseSpecial(kTransferGaussEqualized50); });
  equ->setMenu(equMenu);
  Curves_ = new THalfButton("CURVES", bar);
  Value_ = new QLabel(bar);
  Count_ = new QLabel(bar);
  Value_->setObjectName("ValueLabel");
  Count_->setObjectName("CountLabel");
  for (QLabel* l : {Value_, Count_}) {
    l->setMinimumWidth(90);
    l->installEventFilter(this);
  }
  for (QWidget* w : std::initializer_list<QWidget*>{Bit_, lum, cnt, Transfer_, equ, Curves_, Value_, Count_})
    bl->addWidget(w);
  bl->addStretch(1);
  lay->addWidget(bar);

  connect(Bit_, &THalfButton::HalfClicked, this, &TFormHistoChild::BitClick);
  connect(lum, &THalfButton::HalfClicked, this, &TFormHistoChild::LumClick);
  connect(cnt, &THalfButton::HalfClicked, this, &TFormHistoChild::CntClick);
  connect(Transfer_, &THalfButton::HalfClicked, this, &TFormHistoChild::TransferClick);
  connect(Curves_, &THalfButton::HalfClicked, this, [this](bool left) {
    TAstroDocument* d = Document();
    if (d && d->Image().Visu.TransferType == kTransferCurve)
      CurvePointClick(left);
    else
      ChooseSpecial(kTransferCurve);
  });
  connect(TBMax_, &QSlider::valueChanged, this, [this] {
    if (!SettingSliders_ && TBMax_->hasFocus()) SlidersMoved(true);
  });
  connect(TBMin_, &QSlider::valueChanged, this, [this] {
    if (!SettingSliders_ && TBMin_->hasFocus()) SlidersMoved(false);
  });

  Popup_ = new QMenu(this);
  Popup_->addAction(TrQ("Open transfer function"), this, [this] {
    if (!Document()) return;
    const QString name = QFileDialog::getOpenFileName(this, TrQ("Open transfer function"), QString(),
                                                      "Transfer function (*.trf)");
    if (name.isEmpty()) return;
    std::string error;
    if (!LoadTransferFunction(Document()->Image(), name.toStdString(), error)) {
      QMessageBox::critical(this, TrQ("ERROR"), QString::fromStdString(error).replace('\r', '\n'));
      return;
    }
    Document()->RefreshViews();
  });
  Popup_->addAction(TrQ("Save transfer function"), this, [this] {
    if (!Document()) return;
    QString name = QFileDialog::getSaveFileName(this, TrQ("Save transfer function"), QString(),
                                                "Transfer function (*.trf)");
    if (name.isEmpty()) return;
    if (!name.endsWith(".trf", Qt::CaseInsensitive)) name += ".trf";
    if (!SaveTransferFunction(Document()->Image().Visu, name.toStdString())) QApplication::beep();
  });
  QAction* copyTrf = Popup_->addAction(TrQ("Copy transfer function"), this, [this] {
    auto* main = qobject_cast<TFormMain*>(parentWidget());
    if (!main || !Document()) return;
    QStringList names;
    std::vector<TAstroDocument*> docs;
    for (TFormChild* c : main->ImageWindows())
      if (&c->Document() != Document()) {
        names << QString::fromStdString(c->Document().Title());
        docs.push_back(&c->Document());
      }
    if (docs.empty()) return;
    bool ok = false;
    const QString pick = QInputDialog::getItem(this, TrQ("Copy transfer function"), QString(), names, 0, false, &ok);
    if (!ok) return;
    const TImageVisu& src = docs[size_t(names.indexOf(pick))]->Image().Visu;
    ApplyVisu(src.TransferType, src.High, src.Low);
  });
  QAction* split = Popup_->addAction(TrQ("Split RGB"), this, &TFormHistoChild::ToggleSplit);
  split->setCheckable(true);
  Popup_->addAction(TrQ("Save as text"), this, [this] {
    if (!Document()) return;
    QString name = QFileDialog::getSaveFileName(this, TrQ("Save as text"), QString(),
                                                TrQ("Histogram text file") + " (*.txt)");
    if (name.isEmpty()) return;
    if (QFileInfo(name).suffix().isEmpty()) name += ".txt";
    if (!SaveAsText(name)) QApplication::beep();
  });
  Popup_->addAction(TrQ("Copy to clipboard"), this, [this] {
    QClipboard* cb = QApplication::clipboard();
    if (!cb) return;
    cb->clear();
    cb->setImage(Panel_->Picture());
  });
  connect(Popup_, &QMenu::aboutToShow, this, [this, copyTrf, split] {
    auto* main = qobject_cast<TFormMain*>(parentWidget());
    copyTrf->setEnabled(main && main->ImageWindows().size() > 1 && Document());
    split->setChecked(Panel_->SplitRGB);
  });
  connect(Panel_, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& p) { Popup_->popup(Panel_->mapToGlobal(p)); });
  resize(440, 300);
  Setup(body, 60, 0, KindCount(TToolKind::Histogram) - 1);
  SetPinned(false);
  UpdateLabels();
}

TFormHistoChild* TFormHistoChild::ShowHistogramWindow(QWidget* mainWindow, TAstroDocument* doc) {
  for (TChildWindow* w : All())
    if (w->Kind() == TToolKind::Histogram) {
      if (w->RolledUp()) w->ToggleRollUp();
      w->Bind(doc, false);
      w->show();
      w->raise();
      return static_cast<TFormHistoChild*>(w);
    }
  auto* h = new TFormHistoChild(mainWindow);
  h->Bind(doc, true);
  h->show();
  return h;
}

void TFormHistoChild::AttachAxis() {
  TAstroDocument* d = Document();
  if (!d) return;
  const TAImage& img = d->Image();
  if (Model().AttachAxisNeeded(img, Pinned())) Model().RecomputeAxis(img);
  PlainType_ = img.Visu.TransferType >= 1000 ? 0 : img.Visu.TransferType;
}

void TFormHistoChild::LoadContent() {
  AttachAxis();
  Panel_->Recount();
  SetSliders();
  UpdateLabels();
}

void TFormHistoChild::Refresh(TDocumentEvent event) {
  if (Suppress_ || event != TDocumentEvent::Views) return;
  Panel_->Recount();
  SetSliders();
  UpdateLabels();
}

void TFormHistoChild::Redraw() {
  Panel_->Recount();
  SetSliders();
  UpdateLabels();
}

void TFormHistoChild::ApplyVisu(int32_t type, double high, double low) {
  TAstroDocument* d = Document();
  if (!d) return;
  SetVisualization(d->Image(), type, high, low);
  Suppress_ = true;
  d->RefreshViews();
  Suppress_ = false;
  Redraw();
}

void TFormHistoChild::SetSliders() {
  TAstroDocument* d = Document();
  if (!d) return;
  SettingSliders_ = true;
  TBMax_->setValue(Model().SliderPosition(d->Image().Visu.High));
  TBMin_->setValue(Model().SliderPosition(d->Image().Visu.Low));
  SettingSliders_ = false;
}

QString TFormHistoChild::BitText() const { return QString::fromStdString(BitLabel(Panel_->Model.AxisSpan)); }
QString TFormHistoChild::TransferText() const { return Transfer_->text(); }
QString TFormHistoChild::ValueText() const { return Value_->text(); }
QString TFormHistoChild::CountText() const { return Count_->text(); }

void TFormHistoChild::UpdateLabels() {
  Bit_->setText(BitText());
  TAstroDocument* d = Document();
  const int32_t code = d ? d->Image().Visu.TransferType : 0;
  if (code < 999) Transfer_->setText(Upper(TImageVisu::ShortCode(code)));
  Curves_->setText(code == kTransferCurve ? "- CURVE +" : "CURVES");
  // The bar needs room: hidden when the body is no taller than six title heights.
  if (QWidget* bar = findChild<QWidget*>("ButtonBar"))
    bar->setVisible(height() - Title()->height() - 9 > 6 * Title()->height());
}

void TFormHistoChild::ShowReadout(double v, int32_t count) {
  Value_->setText(QString::fromStdString(ReadoutLabel("ADU", ReadoutValue(v))));
  Count_->setText(QString::fromStdString(ReadoutLabel("CNT", std::to_string(count))));
}

void TFormHistoChild::resizeEvent(QResizeEvent* e) {
  TChildWindow::resizeEvent(e);
  UpdateLabels();
}

bool TFormHistoChild::eventFilter(QObject* watched, QEvent* e) {
  if ((watched == Value_ || watched == Count_) && e->type() == QEvent::MouseButtonPress) {
    // "ADU ? ": the typed value and its count stay shown for a while.
    double shown = 0;
    const QString t = Value_->text().section(' ', -1);
    ParseDouble(t.toStdString(), shown);
    bool ok = false;
    const double v = QInputDialog::getDouble(this, "ADU", "ADU ? ", shown, -1e15, 1e15, 3, &ok);
    if (ok) {
      ShowReadout(v, Model().CountAt(v));
      Held_ = true;
      Hold_.restart();
    }
    return true;
  }
  return TChildWindow::eventFilter(watched, e);
}

void TFormHistoChild::BitClick(bool left) {
  TAstroDocument* d = Document();
  Model().BitStep(left, d ? d->Image().Visu.Low : 0.0);
  Redraw();
}

void TFormHistoChild::LumClick(bool left) {
  TAstroDocument* d = Document();
  if (!d) return;
  const TImageVisu& v = d->Image().Visu;
  const TRange r = LuminanceStep(v.Low, v.High, Model().AxisSpan, left);
  ApplyVisu(v.TransferType, r.High, r.Low);
}

void TFormHistoChild::CntClick(bool left) {
  TAstroDocument* d = Document();
  if (!d) return;
  const TImageVisu& v = d->Image().Visu;
  const TRange r = ContrastStep(v.Low, v.High, left);
  ApplyVisu(v.TransferType, r.High, r.Low);
}

void TFormHistoChild::TransferClick(bool left) {
  TAstroDocument* d = Document();
  if (!d) return;
  const TImageVisu& v = d->Image().Visu;
  const int32_t n = TransferStep(v.TransferType, PlainType_, left);
  if (n != v.TransferType) ApplyVisu(n, v.High, v.Low);
}

void TFormHistoChild::ChooseSpecial(int32_t code) {
  TAstroDocument* d = Document();
  if (!d) return;
  const TImageVisu& v = d->Image().Visu;
  if (v.TransferType < 999) PlainType_ = v.TransferType;
  ApplyVisu(ChooseSpecialType(v.TransferType, code, PlainType_), v.High, v.Low);
}

void TFormHistoChild::CurvePointClick(bool left) {
  TAstroDocument* d = Document();
  if (!d) return;
  if (left)
    d->Image().Visu.RemoveCurvePoint();
  else
    d->Image().Visu.AddCurvePoint();
  Suppress_ = true;
  d->RefreshViews();
  Suppress_ = false;
  Redraw();
}

void TFormHistoChild::ToggleSplit() {
  Panel_->SplitRGB = !Panel_->SplitRGB;
  SplitDefault() = Panel_->SplitRGB;
  Panel_->Recount();
}

bool TFormHistoChild::SaveAsText(const QString& path) {
  TAstroDocument* d = Document();
  if (!d) return false;
  QSaveFile f(path);
  if (!f.open(QIODevice::WriteOnly)) return false;
  const std::string text = HistogramText(*d->Image().MainPlane);
  f.write(text.data(), qint64(text.size()));
  return f.commit();
}

void TFormHistoChild::SlidersMoved(bool highHasFocus) {
  TAstroDocument* d = Document();
  if (!d || StretchOpen()) return;
  const TImageVisu& v = d->Image().Visu;
  const int32_t pHigh = TBMax_->value(), pLow = TBMin_->value();
  double high = highHasFocus ? Model().SliderValue(pHigh) : v.High;
  double low = highHasFocus ? v.Low : Model().SliderValue(pLow);
  if (pLow > pHigh) {
    // The slider without focus follows the other one and takes its bound.
    SettingSliders_ = true;
    if (highHasFocus) {
      TBMin_->setValue(pHigh);
      low = high;
    } else {
      TBMax_->setValue(pLow);
      high = low;
    }
    SettingSliders_ = false;
  }
  SetVisualization(d->Image(), v.TransferType, high, low);
  Suppress_ = true;
  d->RefreshViews();
  Suppress_ = false;
  Panel_->Recount();
  UpdateLabels();
}

// ============================================================================ stretch dialog

TFormHistoFilter::TFormHistoFilter(QWidget* parent, TAstroDocument& doc) : QDialog(parent), Doc_(doc) {
  setWindowTitle(TrQ("Histogram stretch"));
  TFormHistoChild::StretchOpen() = true;
  TAImage& img = doc.Image();
  SavedVisu_.CopyFrom(img.Visu);
  N_ = Options().Filter.Normalization;
  auto* lay = new QVBoxLayout(this);
  Panel_ = new THistoPanel(this);
  Panel_->setMinimumSize(360, 160);
  Panel_->ImageOf = [this]() -> TAImage* { return &Doc_.Image(); };
  Panel_->Model.RecomputeAxis(img);
  Panel_->CurveChanged = [this] { Doc_.RefreshViews(); };
  lay->addWidget(Panel_, 1);
  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel("NEW RANGE", this));
  Range_ = new QLineEdit(this);
  Range_->setObjectName("NewRange");
  row->addWidget(Range_);
  auto* up = new QPushButton(QString::fromUtf8("\xE2\x96\xB2"), this);
  auto* down = new QPushButton(QString::fromUtf8("\xE2\x96\xBC"), this);
  connect(up, &QPushButton::clicked, this, [this] { StepRange(true); });
  connect(down, &QPushButton::clicked, this, [this] { StepRange(false); });
  connect(Range_, &QLineEdit::editingFinished, this, [this] {
    double n = 0;
    if (ParseDouble(Range_->text().toStdString(), n) && n >= 1 && n <= 1e21) N_ = n;
    SetNormalization(N_);
  });
  row->addWidget(up);
  row->addWidget(down);
  lay->addLayout(row);
  auto* buttons = new QHBoxLayout;
  auto* apply = new QPushButton(TrQ("Apply and continue"), this);
  Ok_ = new QPushButton(TrQ("OK"), this);
  auto* cancel = new QPushButton(TrQ("Cancel"), this);
  Ok_->setEnabled(false);
  connect(apply, &QPushButton::clicked, this, [this] {
    if (!ApplyStep()) QApplication::beep();
  });
  connect(Ok_, &QPushButton::clicked, this, [this] { Finish(true); });
  connect(cancel, &QPushButton::clicked, this, [this] { Finish(false); });
  buttons->addWidget(apply);
  buttons->addStretch(1);
  buttons->addWidget(Ok_);
  buttons->addWidget(cancel);
  lay->addLayout(buttons);
  SetNormalization(N_);
}

TFormHistoFilter::~TFormHistoFilter() { TFormHistoChild::StretchOpen() = false; }

void TFormHistoFilter::SetNormalization(double n) {
  N_ = n;
  Range_->setText(QString::fromStdString(FormatG(n, 10)));
}

void TFormHistoFilter::StepRange(bool up) {
  const double n = StretchRangeStep(N_, up);
  if (n >= 1 && n <= 1e21) SetNormalization(n);
}

bool TFormHistoFilter::ApplyStep() {
  TAImage& img = Doc_.Image();
  if (Steps_.Count() >= TStretchSteps::kMaxSteps) return false;
  if (!SnapshotTaken_) {
    // The undo copy keeps the view the dialog opened with; the stretch uses the current one.
    TImageVisu current;
    current.CopyFrom(img.Visu);
    img.Visu.CopyFrom(SavedVisu_);
    Doc_.TakeSnapshot();
    img.Visu.CopyFrom(current);
    SnapshotTaken_ = true;
  }
  TStretchStep step{img.Visu.Low, img.Visu.High, img.Visu.TransferType, img.Visu.CurveToText(),
                    img.BackgroundLevel, N_};
  if (!HistogramStretch(img, N_)) return false;
  Steps_.Add(step);
  if (img.Mask && img.Mask->HasStorage()) {
    const TAImage& undo = Doc_.UndoImage();
    if (undo.SameSize(img, true)) {
      img.MainPlane->MergeMasked(*undo.MainPlane);
      if (img.IsColour()) {
        img.RedPlane->MergeMasked(*undo.RedPlane);
        img.BluePlane->MergeMasked(*undo.BluePlane);
      }
    }
  }
  Panel_->Model.AxisSpan = 1.2 * N_;
  Panel_->Model.AxisStart = -0.1 * N_;
  Doc_.RefreshStats();
  Doc_.RefreshViews();
  Panel_->Recount();
  Ok_->setEnabled(true);
  return true;
}

void TFormHistoFilter::Finish(bool ok) {
  if (Done_) return;
  Done_ = true;
  TAImage& img = Doc_.Image();
  if (ok) {
    if (Steps_.Count() > 0) {
      Doc_.SetModified();
      const bool masked = img.Mask && img.Mask->HasStorage();
      for (const TStretchStep& s : Steps_.Steps()) {
        const double p[4] = {s.Normalization, s.Low, s.High, double(s.Type)};
        img.History.Add(102, masked, std::span<const double>(p, 4), s.CurveText);
      }
      Options().Filter.Normalization = N_;
      Doc_.RefreshHistory();
    }
    accept();
    return;
  }
  if (SnapshotTaken_) Doc_.RestoreAndFree();
  Doc_.Image().Visu.CopyFrom(SavedVisu_);
  Doc_.RefreshStats();
  Doc_.RefreshViews();
  QDialog::reject();
}

void TFormHistoFilter::reject() { Finish(false); }

}  // namespace orlu
