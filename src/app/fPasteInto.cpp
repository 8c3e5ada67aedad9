#include "fPasteInto.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <cmath>
#include <exception>
#include <string>

#include "QVMaster.h"
#include "ZoomMath.h"
#include "base/Translate.h"
#include "fChild.h"
#include "fMain.h"
#include "image/ImaColor.h"

namespace orlu {

namespace {

QString TrQ(const char* s) { return QString::fromStdString(Tr(s)); }

constexpr TPasteMode kModes[] = {TPasteMode::Replace, TPasteMode::Add, TPasteMode::Subtract,
                                 TPasteMode::Minimum, TPasteMode::Maximum};

QPointer<TFormPasteInto> gPasteInto;

}  // namespace

// ============================================================================ joystick

TPasteJoystick::TPasteJoystick(QWidget* parent) : QWidget(parent) {
  setMinimumSize(64, 64);
  setCursor(Qt::SizeAllCursor);
}

void TPasteJoystick::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const QRect r = rect().adjusted(0, 0, -1, -1);
  p.fillRect(r, palette().base());
  p.setPen(palette().color(QPalette::Mid));
  p.drawRect(r);
  // The central 30% where a click does not nudge.
  const QRectF centre(width() * 0.35, height() * 0.35, width() * 0.3, height() * 0.3);
  p.drawEllipse(centre);
  p.drawLine(QPointF(width() / 2.0, 0), QPointF(width() / 2.0, centre.top()));
  p.drawLine(QPointF(width() / 2.0, centre.bottom()), QPointF(width() / 2.0, height()));
  p.drawLine(QPointF(0, height() / 2.0), QPointF(centre.left(), height() / 2.0));
  p.drawLine(QPointF(centre.right(), height() / 2.0), QPointF(width(), height() / 2.0));
}

void TPasteJoystick::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return;
  Last_ = e->position().toPoint();
  Pressed_ = true;
  Moved_ = false;
}

void TPasteJoystick::mouseMoveEvent(QMouseEvent* e) {
  if (!Pressed_ || !(e->buttons() & Qt::LeftButton)) return;
  const QPoint pos = e->position().toPoint();
  const QPoint d = pos - Last_;
  if (d.isNull()) return;
  Last_ = pos;
  Moved_ = true;
  emit Dragged(d.x(), d.y());
}

void TPasteJoystick::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton || !Pressed_) return;
  Pressed_ = false;
  if (Moved_) return;
  const QPointF pos = e->position();
  const double dx = pos.x() - width() / 2.0;
  const double dy = height() / 2.0 - pos.y();
  const auto step = [](double d, double half) { return std::abs(d) <= half ? 0 : d > 0 ? 1 : -1; };
  const int sx = step(dx, width() * 0.15);
  const int sy = step(dy, height() * 0.15);
  if (sx != 0 || sy != 0) emit Nudged(sx, sy);
}

// ============================================================================ window

TFormPasteInto* TFormPasteInto::Current() { return gPasteInto.data(); }

TFormPasteInto* TFormPasteInto::Open(TQVMaster& master, TAstroDocument* doc) {
  if (!master.ResolveDocument(doc) || master.LiveFilterOpen()) return nullptr;
  std::unique_ptr<TAImage> clip = master.Image->PasteSourceCopy();
  if (!clip) return nullptr;
  auto* w = new TFormPasteInto(master, *doc, std::move(clip));
  if (!w->Document()) {
    // Refused by the live-filter guard: nothing is shown.
    delete w;
    return nullptr;
  }
  gPasteInto = w;
  w->Preview();
  w->show();
  return w;
}

TFormPasteInto::TFormPasteInto(TQVMaster& master, TAstroDocument& doc,
                               std::unique_ptr<TAImage> clip)
    : QWidget(&master.Main(), Qt::Tool), M_(master), Ctx_(master.Context()), Clip_(std::move(clip)) {
  setAttribute(Qt::WA_DeleteOnClose, true);
  setWindowTitle(TrQ("Paste into image"));
  try {
    Model_ = std::make_unique<TPasteInto>(doc, *Clip_, Ctx_);
  } catch (const std::exception& e) {
    M_.Error(Tr("Paste into image"), e.what());
    Model_.reset();
  }
  if (!Document()) return;
  Observed_ = Document();
  Observed_->Attach(this);
  BuildFields();
  ShowParams();
}

// The layer may be gone already when the main window takes its tool windows down.
TFormPasteInto::~TFormPasteInto() { Finish(false, false); }

void TFormPasteInto::BuildFields() {
  auto* form = new QFormLayout;
  auto* pos = new QHBoxLayout;
  X_ = new QSpinBox(this);
  Y_ = new QSpinBox(this);
  for (QSpinBox* s : {X_, Y_}) {
    s->setRange(-30000, 30000);
    s->setKeyboardTracking(false);
    pos->addWidget(s);
    connect(s, &QSpinBox::valueChanged, this, [this] { FieldsChanged(); });
  }
  Other_ = new QPushButton("...", this);
  Other_->setFixedWidth(Other_->fontMetrics().horizontalAdvance("...") + 16);
  connect(Other_, &QPushButton::clicked, this, [this] { TakePositionFromOther(); });
  pos->addWidget(Other_);
  form->addRow(TrQ("X , Y"), pos);
  Opacity_ = new QDoubleSpinBox(this);
  Opacity_->setRange(0, 100);
  Opacity_->setDecimals(1);
  Opacity_->setSuffix(" %");
  Offset_ = new QDoubleSpinBox(this);
  Offset_->setRange(-1e9, 1e9);
  Offset_->setDecimals(3);
  for (QDoubleSpinBox* s : {Opacity_, Offset_}) {
    s->setKeyboardTracking(false);
    connect(s, &QDoubleSpinBox::valueChanged, this, [this] { FieldsChanged(); });
  }
  form->addRow(TrQ("Opacity"), Opacity_);
  form->addRow(TrQ("Offset"), Offset_);
  Mode_ = new QComboBox(this);
  for (TPasteMode m : kModes) Mode_->addItem(TrQ(PasteModeCaption(m)));
  connect(Mode_, &QComboBox::currentIndexChanged, this, [this] { FieldsChanged(); });
  form->addRow(TrQ("Mode"), Mode_);

  Joystick_ = new TPasteJoystick(this);
  connect(Joystick_, &TPasteJoystick::Dragged, this, [this](int dx, int dy) {
    Model_->Drag(dx, dy, ViewZoom());
    ShowParams();
    Preview();
  });
  connect(Joystick_, &TPasteJoystick::Nudged, this, [this](int sx, int sy) {
    Model_->Nudge(sx, sy);
    ShowParams();
    Preview();
  });

  auto* ok = new QPushButton(TrQ("OK"), this);
  auto* cancel = new QPushButton(TrQ("Cancel"), this);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, [this] { Accept(); });
  connect(cancel, &QPushButton::clicked, this, [this] { Reject(); });
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok);
  buttons->addWidget(cancel);

  auto* top = new QHBoxLayout;
  top->addLayout(form, 1);
  top->addWidget(Joystick_);
  auto* all = new QVBoxLayout(this);
  all->addLayout(top);
  all->addLayout(buttons);
}

void TFormPasteInto::ShowParams() {
  if (!Model_) return;
  const TPasteParams& p = Model_->Params;
  Updating_ = true;
  X_->setValue(p.X);
  Y_->setValue(p.Y);
  Opacity_->setValue(p.Opacity);
  Offset_->setValue(p.Offset);
  for (int i = 0; i < int(std::size(kModes)); ++i)
    if (kModes[i] == p.Mode) Mode_->setCurrentIndex(i);
  Updating_ = false;
}

void TFormPasteInto::SetParams(const TPasteParams& p) {
  if (!Model_) return;
  Model_->Params = p;
  // Values outside the fields' ranges are held at their ends.
  ShowParams();
  FieldsChanged();
}

void TFormPasteInto::FieldsChanged() {
  if (Updating_ || !Model_) return;
  TPasteParams& p = Model_->Params;
  p.X = X_->value();
  p.Y = Y_->value();
  p.Opacity = Opacity_->value();
  p.Offset = Offset_->value();
  const int mode = Mode_->currentIndex();
  if (mode >= 0 && mode < int(std::size(kModes))) p.Mode = kModes[mode];
  Preview();
}

void TFormPasteInto::Preview() {
  if (!Document()) return;
  try {
    Model_->Preview();
  } catch (const std::exception& e) {
    M_.Error(Tr("Paste into image"), e.what());
  }
}

double TFormPasteInto::ViewZoom() const {
  TFormChild* c = Document() ? M_.WindowOf(Document()) : nullptr;
  return c ? ZoomScale(c->ZoomCode()) : 1.0;
}

void TFormPasteInto::TakePositionFromOther() {
  if (!Document()) return;
  std::vector<TAstroDocument*> others;
  for (TAstroDocument* d : M_.OpenDocuments())
    if (d != Document()) others.push_back(d);
  if (others.empty()) return;
  TAstroDocument* other = M_.ChooseDocument(Tr("Select an image"), others);
  if (!other || !Model_->TakePositionFrom(*other)) return;
  ShowParams();
  Preview();
}

void TFormPasteInto::Finish(bool commit, bool refresh) {
  if (gPasteInto == this) gPasteInto = nullptr;
  if (Model_) {
    TAstroDocument* doc = Document();
    bool kept = false;
    std::string error;
    try {
      if (commit) kept = Model_->Commit();
      if (!kept) Model_->Cancel();
    } catch (const std::exception& e) {
      error = e.what();
    }
    Model_.reset();
    if (refresh) {
      if (!error.empty()) M_.Error(Tr("Paste into image"), error);
      if (doc) M_.Refresh(*doc);
    }
  }
  if (Observed_) {
    Observed_->Detach(this);
    Observed_ = nullptr;
  }
}

void TFormPasteInto::Accept() {
  Finish(true, true);
  close();
}

void TFormPasteInto::Reject() {
  Finish(false, true);
  close();
}

void TFormPasteInto::closeEvent(QCloseEvent* e) {
  Finish(false, true);
  QWidget::closeEvent(e);
}

void TFormPasteInto::DocumentChanged(TAstroDocument&, TDocumentEvent) {}

void TFormPasteInto::DocumentClosing(TAstroDocument& doc) {
  if (&doc != Observed_) return;
  // The document detaches its observers itself; the paste is given up while the image is
  // still there.
  Observed_ = nullptr;
  if (Model_) {
    try {
      Model_->Cancel();
    } catch (const std::exception&) {
    }
    Model_.reset();
  }
  close();
}

}  // namespace orlu
