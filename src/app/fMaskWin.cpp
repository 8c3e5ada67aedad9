#include "fMaskWin.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QToolButton>
#include <QVBoxLayout>

#include "base/EOrluError.h"
#include "base/Translate.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"
#include "uDragger.h"

namespace orlu {

namespace {

QString TrQ(const char* s) { return QString::fromStdString(Tr(s)); }

}  // namespace

TFormMask::TFormMask(QWidget* mainWindow) : TChildWindow(mainWindow, TrQ("Mask"), TToolKind::Mask) {
  setObjectName("FormMask");
  auto* body = new QWidget(this);
  auto* grid = new QGridLayout(body);
  grid->setContentsMargins(2, 2, 2, 2);
  Tools_ = new QButtonGroup(this);
  const char* tools[] = {"Rectangle", "Ellipse", "Path", "Fill", "Value", "Move", "Brush"};
  for (int32_t i = 0; i < 7; ++i) {
    auto* b = new QToolButton(body);
    b->setText(TrQ(tools[i]));
    b->setCheckable(true);
    b->setToolButtonStyle(Qt::ToolButtonTextOnly);
    b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    Tools_->addButton(b, i);
    if (i < 6) grid->addWidget(b, i / 3, i % 3);
    else grid->addWidget(b, 7, 0);
  }
  auto* figure = new QComboBox(body);
  figure->addItems({TrQ("Circle"), TrQ("Square")});
  figure->setCurrentIndex(MouseTools().BrushSquare ? 1 : 0);
  auto* brushSize = new QSpinBox(body);
  brushSize->setRange(1, 2000);
  brushSize->setValue(MouseTools().BrushSize);
  auto* erase = new QCheckBox(TrQ("Erase"), body);
  erase->setChecked(MouseTools().BrushErase);
  grid->addWidget(figure, 7, 1);
  auto* bl = new QHBoxLayout;
  bl->addWidget(brushSize);
  bl->addWidget(erase);
  grid->addLayout(bl, 7, 2);
  connect(figure, &QComboBox::currentIndexChanged, this, [](int i) { MouseTools().BrushSquare = i == 1; });
  connect(brushSize, &QSpinBox::valueChanged, this, [](int v) { MouseTools().BrushSize = v; });
  connect(erase, &QCheckBox::toggled, this, [](bool on) { MouseTools().BrushErase = on; });
  Modes_ = new QButtonGroup(this);
  const char* modes[] = {"Replace", "Add", "Subtract", "Intersect"};
  for (int32_t i = 0; i < 4; ++i) {
    auto* b = new QToolButton(body);
    b->setText(TrQ(modes[i]));
    b->setCheckable(true);
    b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    Modes_->addButton(b, i);
    grid->addWidget(b, 2 + i / 2, i % 2 == 0 ? 0 : 1);
  }
  Modes_->button(int32_t(MouseTools().Combine))->setChecked(true);
  grid->addWidget(new QLabel(TrQ("Tolerance"), body), 4, 0);
  Tolerance_ = new QDoubleSpinBox(body);
  Tolerance_->setRange(0, 1e9);
  Tolerance_->setValue(Options().Filter.MaskTolerance);
  grid->addWidget(Tolerance_, 4, 1, 1, 2);
  grid->addWidget(new QLabel(TrQ("Pixels"), body), 5, 0);
  Pixels_ = new QSpinBox(body);
  Pixels_->setRange(1, 30000);
  Pixels_->setValue(10);
  grid->addWidget(Pixels_, 5, 1);
  auto* arrows = new QWidget(body);
  auto* al = new QHBoxLayout(arrows);
  al->setContentsMargins(0, 0, 0, 0);
  const struct {
    const char* text;
    int32_t dx, dy;
  } dirs[] = {{"\xE2\x97\x80", -1, 0}, {"\xE2\x96\xB6", 1, 0}, {"\xE2\x96\xBC", 0, -1}, {"\xE2\x96\xB2", 0, 1}};
  for (const auto& d : dirs) {
    auto* b = new QToolButton(arrows);
    b->setText(QString::fromUtf8(d.text));
    const int32_t dx = d.dx, dy = d.dy;
    connect(b, &QToolButton::clicked, this, [this, dx, dy] { MoveBy(dx * Pixels_->value(), dy * Pixels_->value()); });
    al->addWidget(b);
  }
  grid->addWidget(arrows, 5, 2);
  auto* smooth = new QPushButton(TrQ("Smooth"), body);
  auto* invert = new QPushButton(TrQ("Invert"), body);
  auto* undo = new QPushButton(TrQ("Undo/Redo"), body);
  grid->addWidget(smooth, 6, 0);
  grid->addWidget(invert, 6, 1);
  grid->addWidget(undo, 6, 2);
  connect(Tools_, &QButtonGroup::idClicked, this, &TFormMask::ChooseTool);
  connect(Modes_, &QButtonGroup::idClicked, this, &TFormMask::ChooseMode);
  connect(Tolerance_, &QDoubleSpinBox::valueChanged, this, [](double v) { Options().Filter.MaskTolerance = v; });
  connect(invert, &QPushButton::clicked, this, &TFormMask::Invert);
  connect(undo, &QPushButton::clicked, this, &TFormMask::UndoRedo);
  connect(smooth, &QPushButton::clicked, this, [this] {
    if (!Document() || !Document()->Image().Mask->HasStorage()) return;
    TFormMaskSmooth d(this, *Document());
    d.exec();
  });
  resize(340, 300);
  Setup(body, 120, 200, 0);
  SetPinned(false);
}

TFormMask::~TFormMask() {
  // Without its window the mouse leaves mask mode.
  if (MouseTools().MouseMode == TMouseToolSettings::kMask) MouseTools().MouseMode = TMouseToolSettings::kNormal;
}

TFormMask* TFormMask::ShowMaskWindow(QWidget* mainWindow, TAstroDocument* doc) {
  for (TChildWindow* w : All())
    if (w->Kind() == TToolKind::Mask) {
      w->Bind(doc, false);
      w->show();
      w->raise();
      return static_cast<TFormMask*>(w);
    }
  auto* m = new TFormMask(mainWindow);
  m->Bind(doc, true);
  m->show();
  return m;
}

void TFormMask::ChooseTool(int32_t tool) {
  MouseTools().MouseMode = TMouseToolSettings::kMask;
  MouseTools().MaskTool = tool;
  if (QAbstractButton* b = Tools_->button(tool)) b->setChecked(true);
}

void TFormMask::ChooseMode(int32_t mode) {
  MouseTools().Combine = TMaskMode(std::clamp(mode, 0, 3));
  if (QAbstractButton* b = Modes_->button(mode)) b->setChecked(true);
}

void TFormMask::AfterEdit() {
  Document()->RefreshViews();
  Document()->RefreshStatistics();
}

void TFormMask::MoveBy(int32_t dx, int32_t dy) {
  if (!Document()) return;
  Document()->Image().Mask->ApplyMove(dx, dy);
  AfterEdit();
}

void TFormMask::Invert() {
  TAstroDocument* d = Document();
  if (!d) return;
  TAMask& m = *d->Image().Mask;
  if (m.Width != d->Width() || m.Height != d->Height()) d->ResetMask();
  try {
    m.ApplyInvert();
  } catch (const EOrluError& e) {
    QMessageBox::critical(this, TrQ("Error"), QString::fromStdString(e.what()));
  }
  AfterEdit();
}

void TFormMask::UndoRedo() {
  if (!Document()) return;
  Document()->Image().Mask->UndoRedo();
  AfterEdit();
}

// ============================================================================ smoothing

TFormMaskSmooth::TFormMaskSmooth(QWidget* parent, TAstroDocument& doc) : QDialog(parent), Doc_(doc) {
  setWindowTitle(TrQ("Mask"));
  Model_ = std::make_unique<TMaskSmoothing>(*doc.Image().Mask);
  auto* lay = new QGridLayout(this);
  lay->addWidget(new QLabel(TrQ("Smooth"), this), 0, 0);
  SmoothSlider_ = new QSlider(Qt::Horizontal, this);
  SmoothSlider_->setRange(0, 1000);
  lay->addWidget(SmoothSlider_, 0, 1);
  lay->addWidget(new QLabel(TrQ("Truncate"), this), 1, 0);
  TruncSlider_ = new QSlider(Qt::Horizontal, this);
  TruncSlider_->setRange(0, 5000);
  lay->addWidget(TruncSlider_, 1, 1);
  auto* ok = new QPushButton(TrQ("OK"), this);
  auto* cancel = new QPushButton(TrQ("Cancel"), this);
  lay->addWidget(ok, 2, 0);
  lay->addWidget(cancel, 2, 1);
  connect(ok, &QPushButton::clicked, this, [this] { Finish(true); });
  connect(cancel, &QPushButton::clicked, this, [this] { Finish(false); });
  connect(SmoothSlider_, &QSlider::valueChanged, this, [this](int p) {
    S_ = SmoothFromSlider(p);
    Recompute();
  });
  connect(TruncSlider_, &QSlider::valueChanged, this, [this](int p) {
    T_ = TruncateFromSlider(p);
    Recompute();
  });
  SetValues(TMaskSmoothing::LastSmooth(), TMaskSmoothing::LastTruncate());
}

void TFormMaskSmooth::SetValues(double s, double t) {
  S_ = s;
  T_ = t;
  const QSignalBlocker a(SmoothSlider_), b(TruncSlider_);
  SmoothSlider_->setValue(SliderFromSmooth(s));
  TruncSlider_->setValue(SliderFromTruncate(t));
  Recompute();
}

void TFormMaskSmooth::Recompute() {
  try {
    Model_->Update(S_, T_);
  } catch (const EOrluError& e) {
    QMessageBox::critical(this, TrQ("Error"), QString::fromStdString(e.what()));
  }
  Doc_.RefreshViews();
}

void TFormMaskSmooth::Finish(bool ok) {
  if (Done_) return;
  Done_ = true;
  if (ok) {
    Model_->Ok();
    Doc_.RefreshStatistics();
    accept();
    return;
  }
  Model_->Cancel();
  Doc_.RefreshViews();
  QDialog::reject();
}

}  // namespace orlu
