#include "fMask.h"

#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QToolButton>
#include <QVBoxLayout>

#include <cstring>

#include "OpWindowRules.h"
#include "base/EOrluError.h"
#include "base/Translate.h"
#include "formats/uMaskFile.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"
#include "uDragger.h"

namespace orlu {

namespace {

QString TrQ(const char* s) { return QString::fromStdString(Tr(s)); }

const char* const kMaskCaption = "Mask";
constexpr int32_t kPreviewSide = 256;

}  // namespace

// ============================================================================ mask window

TFormMask::TFormMask(TFormMain* main) : TOpWindow(main, kMaskCaption, true) {
  setObjectName("FormMask");
  auto* lay = new QVBoxLayout(this);

  auto* tools = new QGroupBox(this);
  auto* tl = new QGridLayout(tools);
  Tools_ = new QButtonGroup(this);
  int i = 0;
  for (const TMaskToolButton& b : MaskToolButtons()) {
    auto* btn = new QPushButton(TrQ(b.Caption), tools);
    btn->setCheckable(true);
    btn->setObjectName(QString("Tool") + b.Caption);
    Tools_->addButton(btn, b.Tool);
    tl->addWidget(btn, i / 3, i % 3);
    ++i;
  }
  Tools_->button(0)->setChecked(true);
  connect(Tools_, &QButtonGroup::idClicked, this, &TFormMask::SetTool);
  lay->addWidget(tools);

  auto* fields = new QGridLayout;
  fields->addWidget(new QLabel(TrQ("Tolerance"), this), 0, 0);
  Tolerance_ = new QLineEdit(QString::fromStdString(FieldText(Options().Filter.MaskTolerance)),
                             this);
  connect(Tolerance_, &QLineEdit::editingFinished, this, &TFormMask::ToleranceEdited);
  fields->addWidget(Tolerance_, 0, 1);
  // The brush: its figure and its size in image pixels, read by the brush tool.
  auto* figure = new QComboBox(this);
  figure->setObjectName("BrushFigure");
  figure->addItems({TrQ("Circle"), TrQ("Square")});
  figure->setCurrentIndex(MouseTools().BrushSquare ? 1 : 0);
  connect(figure, &QComboBox::currentIndexChanged, this,
          [](int i) { MouseTools().BrushSquare = i == 1; });
  auto* brushSize = new QSpinBox(this);
  brushSize->setObjectName("BrushSize");
  brushSize->setRange(1, 2000);
  brushSize->setValue(MouseTools().BrushSize);
  connect(brushSize, &QSpinBox::valueChanged, this, [](int v) { MouseTools().BrushSize = v; });
  fields->addWidget(figure, 2, 0);
  fields->addWidget(brushSize, 2, 1);
  fields->addWidget(new QLabel(TrQ("Pixels"), this), 1, 0);
  Pixels_ = new QSpinBox(this);
  Pixels_->setRange(1, kMaskMaxPixels);
  Pixels_->setValue(1);
  fields->addWidget(Pixels_, 1, 1);
  auto* arrows = new QHBoxLayout;
  const std::pair<Qt::ArrowType, TMaskArrow> arrowKinds[] = {
      {Qt::LeftArrow, TMaskArrow::Left},
      {Qt::RightArrow, TMaskArrow::Right},
      {Qt::DownArrow, TMaskArrow::Down},
      {Qt::UpArrow, TMaskArrow::Up}};
  static const char* const names[] = {"ArrowLeft", "ArrowRight", "ArrowDown", "ArrowUp"};
  for (const auto& [type, arrow] : arrowKinds) {
    auto* b = new QToolButton(this);
    b->setArrowType(type);
    b->setObjectName(names[int(arrow)]);
    connect(b, &QToolButton::clicked, this, [this, a = arrow] { ArrowClick(int32_t(a)); });
    arrows->addWidget(b);
    DocButtons_.push_back(b);
  }
  fields->addLayout(arrows, 1, 2);
  lay->addLayout(fields);

  auto* modes = new QGroupBox(this);
  auto* ml = new QHBoxLayout(modes);
  Modes_ = new QButtonGroup(this);
  for (TMaskMode m : {TMaskMode::Replace, TMaskMode::Add, TMaskMode::Subtract,
                      TMaskMode::Intersect}) {
    auto* btn = new QPushButton(TrQ(MaskModeCaption(m)), modes);
    btn->setCheckable(true);
    btn->setObjectName(QString("Mode") + MaskModeCaption(m));
    Modes_->addButton(btn, int(m));
    ml->addWidget(btn);
  }
  Modes_->button(0)->setChecked(true);
  connect(Modes_, &QButtonGroup::idClicked, this, [this](int id) { SetMode(TMaskMode(id)); });
  lay->addWidget(modes);

  auto* acts = new QGridLayout;
  const std::pair<const char*, void (TFormMask::*)()> actions[] = {
      {"Smooth", &TFormMask::SmoothClick},   {"Invert", &TFormMask::InvertClick},
      {"Undo/Redo", &TFormMask::UndoRedoClick}, {"Save", &TFormMask::SaveClick},
      {"Load from file", &TFormMask::LoadClick}};
  i = 0;
  for (const auto& [caption, slot] : actions) {
    auto* b = new QPushButton(TrQ(caption), this);
    b->setObjectName(caption);
    connect(b, &QPushButton::clicked, this, slot);
    acts->addWidget(b, i / 3, i % 3);
    DocButtons_.push_back(b);
    ++i;
  }
  lay->addLayout(acts);
  Reload();
}

void TFormMask::SetTool(int32_t tool) {
  if (!Tools_->button(tool)) return;
  Tools_->button(tool)->setChecked(true);
  if (tool == Tool_) return;
  Tool_ = tool;
  emit ToolChanged(tool);
}

void TFormMask::SetMode(TMaskMode mode) {
  if (!Modes_->button(int(mode))) return;
  Modes_->button(int(mode))->setChecked(true);
  if (mode == Mode_) return;
  Mode_ = mode;
  emit ModeChanged(mode);
}

void TFormMask::Reload() {
  for (QWidget* w : DocButtons_) w->setEnabled(Document() != nullptr);
}

TAMask* TFormMask::ActiveMask(bool needStorage) {
  TAstroDocument* doc = Document();
  if (!doc) return nullptr;
  TAMask& m = *doc->Image().Mask;
  if (needStorage && !m.HasStorage()) {
    Information(Tr(kMaskCaption), Tr("The image has no mask"));
    return nullptr;
  }
  return &m;
}

void TFormMask::Changed() {
  if (TAstroDocument* doc = Document()) doc->RefreshViews();
}

void TFormMask::ArrowClick(int32_t arrow) {
  TAMask* m = ActiveMask(true);
  if (!m) return;
  const TMaskPoint d = MaskArrowShift(TMaskArrow(arrow), Pixels_->value());
  try {
    m->ApplyMove(d.X, d.Y);
  } catch (const EOrluError& e) {
    Error(Tr(kMaskCaption), e.what());
  }
  Changed();
}

void TFormMask::InvertClick() {
  TAMask* m = ActiveMask(false);
  if (!m) return;
  try {
    m->ApplyInvert();
  } catch (const EOrluError& e) {
    Error(Tr(kMaskCaption), e.what());
  }
  Changed();
}

void TFormMask::UndoRedoClick() {
  TAMask* m = ActiveMask(false);
  if (m && m->UndoRedo()) Changed();
}

void TFormMask::SmoothClick() {
  TAMask* m = ActiveMask(true);
  if (!m) return;
  TAstroDocument& doc = *Document();
  try {
    TFormMaskSmooth dlg(this, doc, *this);
    Smooth_ = &dlg;
    if (SmoothHook)
      SmoothHook(dlg);
    else
      dlg.exec();
    if (!dlg.Finished()) dlg.reject();
    Smooth_ = nullptr;
  } catch (const EOrluError& e) {
    Smooth_ = nullptr;
    Error(Tr(kMaskCaption), e.what());
  }
  Changed();
}

void TFormMask::SaveClick() {
  TAMask* m = ActiveMask(true);
  if (!m) return;
  int32_t index = 1;
  const std::string name = AskSaveName(Tr("Save mask"), kMaskFileFilter, std::string(),
                                       Document()->SuggestedFileName(".png"), &index);
  if (name.empty()) return;
  std::string error;
  std::string path = name;
  if (path.size() < 4 || path.substr(path.size() - 4) != ".png") path += ".png";
  if (!SaveMaskFile(*m, path, index == 2, error)) Error(Tr(kMaskCaption), error);
}

void TFormMask::LoadClick() {
  TAMask* m = ActiveMask(false);
  if (!m) return;
  const std::string name = AskOpenName(Tr("Load from file"), kMaskFileFilter, std::string());
  if (name.empty()) return;
  // The mask as it was stays the saved copy: "Undo/Redo" brings it back.
  if (!m->Save()) {
    Error(Tr(kMaskCaption), Tr("Out of memory"));
    return;
  }
  std::string error;
  if (!LoadMaskFile(name, *m, error)) {
    Error(Tr(kMaskCaption), error);
    return;
  }
  m->ComputeBounds();
  m->MarkChanged();
  Changed();
}

void TFormMask::ToleranceEdited() {
  const TFieldCheck c = CheckField(Tr("Tolerance"), Tolerance_->text().toStdString(), 0,
                                   kMaskMaxTolerance, false);
  if (c.Ok) {
    Options().Filter.MaskTolerance = c.Value;
    return;
  }
  Tolerance_->setText(QString::fromStdString(FieldText(Options().Filter.MaskTolerance)));
  Error(Tr(kMaskCaption), c.Message);
}

// ============================================================================ smoothing

TFormMaskSmooth::TFormMaskSmooth(QWidget* parent, TAstroDocument& doc, TOpWindow& owner)
    : QDialog(parent), Doc_(doc), Owner_(owner), Smoothing_(*doc.Image().Mask) {
  setWindowTitle(TrQ(kMaskCaption));
  setObjectName("FormMaskSmooth");
  S_ = TMaskSmoothing::LastSmooth();
  T_ = TMaskSmoothing::LastTruncate();
  auto* lay = new QGridLayout(this);
  auto row = [&](int r, const char* caption, int max, QSlider*& slider, QLineEdit*& edit) {
    lay->addWidget(new QLabel(TrQ(caption), this), r, 0);
    slider = new QSlider(Qt::Horizontal, this);
    slider->setRange(0, max);
    slider->setMinimumWidth(240);
    lay->addWidget(slider, r, 1);
    edit = new QLineEdit(this);
    edit->setMaximumWidth(90);
    lay->addWidget(edit, r, 2);
  };
  row(0, "Smooth", 1000, SmoothSlider_, SmoothEdit_);
  row(1, "Truncate", 5000, TruncateSlider_, TruncateEdit_);
  SmoothSlider_->setValue(SliderFromSmooth(S_));
  TruncateSlider_->setValue(SliderFromTruncate(T_));
  SmoothEdit_->setText(QString::fromStdString(FieldText(S_)));
  TruncateEdit_->setText(QString::fromStdString(FieldText(T_)));
  connect(SmoothSlider_, &QSlider::valueChanged, this, [this](int p) {
    S_ = SmoothFromSlider(p);
    SmoothEdit_->setText(QString::fromStdString(FieldText(S_)));
    Update();
  });
  connect(TruncateSlider_, &QSlider::valueChanged, this, [this](int p) {
    T_ = TruncateFromSlider(p);
    TruncateEdit_->setText(QString::fromStdString(FieldText(T_)));
    Update();
  });
  connect(SmoothEdit_, &QLineEdit::editingFinished, this, &TFormMaskSmooth::SmoothEdited);
  connect(TruncateEdit_, &QLineEdit::editingFinished, this, &TFormMaskSmooth::TruncateEdited);
  // The mask itself as grey levels while the dialog is open.
  PreviewLabel_ = new QLabel(this);
  PreviewLabel_->setAlignment(Qt::AlignCenter);
  lay->addWidget(PreviewLabel_, 2, 0, 1, 3);
  auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(box, &QDialogButtonBox::accepted, this, &TFormMaskSmooth::accept);
  connect(box, &QDialogButtonBox::rejected, this, &TFormMaskSmooth::reject);
  lay->addWidget(box, 3, 0, 1, 3);
  ShowPreview();
}

void TFormMaskSmooth::ShowPreview() {
  const TGreyPicture pic = MaskPreview(*Doc_.Image().Mask, kPreviewSide);
  if (pic.Width <= 0) {
    Preview_ = QImage();
    PreviewLabel_->clear();
    return;
  }
  Preview_ = QImage(pic.Width, pic.Height, QImage::Format_Grayscale8);
  for (int32_t y = 0; y < pic.Height; ++y)
    std::memcpy(Preview_.scanLine(y), pic.Levels.data() + size_t(y) * size_t(pic.Width),
                size_t(pic.Width));
  // Small masks are enlarged to the preview's size, pixel for pixel.
  PreviewLabel_->setPixmap(QPixmap::fromImage(Preview_.scaled(
      kPreviewSide, kPreviewSide, Qt::KeepAspectRatio, Qt::FastTransformation)));
}

void TFormMaskSmooth::Update() {
  try {
    Smoothing_.Update(S_, T_);
  } catch (const EOrluError& e) {
    Owner_.Error(Tr(kMaskCaption), e.what());
    reject();
    return;
  }
  ShowPreview();
  Doc_.RefreshViews();
}

bool TFormMaskSmooth::SmoothEdited() {
  const TFieldCheck c =
      CheckField(Tr("Smooth"), SmoothEdit_->text().toStdString(), 0, SmoothFromSlider(1000), false);
  if (!c.Ok) {
    SmoothEdit_->setText(QString::fromStdString(FieldText(S_)));
    Owner_.Error(Tr(kMaskCaption), c.Message);
    return false;
  }
  if (c.Value == S_) return true;
  S_ = c.Value;
  const QSignalBlocker block(SmoothSlider_);
  SmoothSlider_->setValue(SliderFromSmooth(S_));
  Update();
  return true;
}

bool TFormMaskSmooth::TruncateEdited() {
  const TFieldCheck c =
      CheckField(Tr("Truncate"), TruncateEdit_->text().toStdString(), 0, 1, false);
  if (!c.Ok) {
    TruncateEdit_->setText(QString::fromStdString(FieldText(T_)));
    Owner_.Error(Tr(kMaskCaption), c.Message);
    return false;
  }
  if (c.Value == T_) return true;
  T_ = c.Value;
  const QSignalBlocker block(TruncateSlider_);
  TruncateSlider_->setValue(SliderFromTruncate(T_));
  Update();
  return true;
}

void TFormMaskSmooth::accept() {
  if (Done_) return;
  // A value typed without leaving its field still counts; a bad one keeps the dialog open.
  if (!SmoothEdited() || !TruncateEdited() || Done_) return;
  Done_ = true;
  Smoothing_.Ok();
  QDialog::accept();
}

void TFormMaskSmooth::reject() {
  if (Done_) return;
  Done_ = true;
  Smoothing_.Cancel();
  Doc_.RefreshViews();
  QDialog::reject();
}

}  // namespace orlu
