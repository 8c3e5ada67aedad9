#include "fRange.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "base/Translate.h"
#include "fChild.h"
#include "fMain.h"
#include "fOpWindow.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"

namespace orlu {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }
QString TrQ(const char* s) { return Q(Tr(s)); }

// Percentage and sigma fields between openings.
std::string gPercent[2] = {"0.5", "99.8"};
std::string gSigma[2] = {"-2", "10"};

}  // namespace

// ============================================================================ range

TFormVisuRange::TFormVisuRange(TFormMain* main, TAstroDocument& doc, bool equalize)
    : QDialog(main), Main_(main), Doc_(doc), Equalize_(equalize) {
  setObjectName("FormVisuRange");
  setWindowTitle(TrQ(equalize ? "Equalize visualization" : "Min , Max  Visualization range ?"));
  const TImageVisu& v = doc.Image().Visu;
  Fields_[0][0] = FloatFieldText(v.Low);
  Fields_[0][1] = FloatFieldText(v.High);
  Fields_[1][0] = gPercent[0];
  Fields_[1][1] = gPercent[1];
  Fields_[2][0] = gSigma[0];
  Fields_[2][1] = gSigma[1];

  auto* lay = new QVBoxLayout(this);
  auto* radios = new QHBoxLayout;
  auto* group = new QButtonGroup(this);
  const char* captions[] = {"ADU", "Percentage", "Sigma"};
  for (int i = 0; i < 3; ++i) {
    Radio_[i] = new QRadioButton(TrQ(captions[i]), this);
    group->addButton(Radio_[i], i);
    radios->addWidget(Radio_[i]);
  }
  Radio_[0]->setChecked(true);
  connect(group, &QButtonGroup::idClicked, this, [this](int id) { SetMode(TRangeMode(id)); });
  lay->addLayout(radios);

  auto* grid = new QGridLayout;
  Low_ = new QLineEdit(Q(Fields_[0][0]), this);
  High_ = new QLineEdit(Q(Fields_[0][1]), this);
  grid->addWidget(new QLabel(TrQ("Min"), this), 0, 0);
  grid->addWidget(Low_, 0, 1);
  grid->addWidget(new QLabel(TrQ("Max"), this), 1, 0);
  grid->addWidget(High_, 1, 1);
  UseType_ = new QCheckBox(TrQ("Transfer function"), this);
  Type_ = new QLineEdit(QString::number(RangeTypeField(v.TransferType)), this);
  Type_->setMaximumWidth(60);
  TypeLabel_ = new QLabel(this);
  grid->addWidget(UseType_, 2, 0);
  grid->addWidget(Type_, 2, 1);
  grid->addWidget(TypeLabel_, 2, 2);
  lay->addLayout(grid);
  UpdateTypeLabel();

  auto* buttons = new QHBoxLayout;
  auto* preview = new QPushButton(TrQ("Preview"), this);
  preview->setAutoDefault(false);
  Lock_ = new QPushButton(TrQ("realtime"), this);
  Lock_->setCheckable(true);
  Lock_->setAutoDefault(false);
  buttons->addWidget(preview);
  buttons->addWidget(Lock_);
  auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->addWidget(box);
  lay->addLayout(buttons);
  connect(preview, &QPushButton::clicked, this, [this] { PreviewClick(); });
  connect(box, &QDialogButtonBox::accepted, this, &TFormVisuRange::accept);
  connect(box, &QDialogButtonBox::rejected, this, &TFormVisuRange::reject);
  connect(Low_, &QLineEdit::textEdited, this, &TFormVisuRange::Edited);
  connect(High_, &QLineEdit::textEdited, this, &TFormVisuRange::Edited);
  connect(Type_, &QLineEdit::textEdited, this, [this] {
    UpdateTypeLabel();
    Edited();
  });
  connect(UseType_, &QCheckBox::toggled, this, &TFormVisuRange::Edited);
}

void TFormVisuRange::SetMode(TRangeMode mode) {
  const int old = int(Mode_);
  Fields_[old][0] = Low_->text().toStdString();
  Fields_[old][1] = High_->text().toStdString();
  Mode_ = mode;
  Radio_[int(mode)]->setChecked(true);
  Low_->setText(Q(Fields_[int(mode)][0]));
  High_->setText(Q(Fields_[int(mode)][1]));
  Edited();
}

TRangeInput TFormVisuRange::Input() const {
  TRangeInput in;
  in.Mode = Mode_;
  in.Low = Low_->text().toStdString();
  in.High = High_->text().toStdString();
  in.UseType = UseType_->isChecked();
  in.Type = Type_->text().toStdString();
  return in;
}

void TFormVisuRange::UpdateTypeLabel() {
  const TFieldCheck c = CheckField("", Type_->text().toStdString(), -20, 20, true);
  TypeLabel_->setText(c.Ok ? Q(RangeTypeLabel(int32_t(c.Value))) : QString("?"));
}

void TFormVisuRange::Edited() {
  Pending_ = true;
  // Realtime preview skips a field that is still being typed ("-", "1e").
  if (Lock_ && Lock_->isChecked() && CheckRangeInput(Input(), Doc_.Image().Visu.TransferType).Ok)
    PreviewClick();
}

bool TFormVisuRange::PreviewClick() {
  TAImage& img = Doc_.Image();
  const TRangeChoice c = CheckRangeInput(Input(), img.Visu.TransferType);
  if (!c.Ok) {
    if (Main_) Main_->ShowMessage(TMessageKind::Error, Tr("Visualization"), c.Message);
    return false;
  }
  if (!Saved_) {
    img.SaveVisualization();
    Saved_ = true;
  }
  ApplyRange(img, c.Mode, c.A, c.B, c.Type);
  Pending_ = false;
  Doc_.RefreshViews();
  return true;
}

bool TFormVisuRange::OkClick() {
  if (Done_) return true;
  if (Pending_ && !PreviewClick()) return false;
  const TRangeChoice c = CheckRangeInput(Input(), Doc_.Image().Visu.TransferType);
  if (Mode_ == TRangeMode::Percentage) gPercent[0] = Input().Low, gPercent[1] = Input().High;
  if (Mode_ == TRangeMode::Sigma) gSigma[0] = Input().Low, gSigma[1] = Input().High;
  if (Equalize_ && Main_)
    for (TFormChild* w : Main_->ImageWindows()) {
      TAstroDocument& other = w->Document();
      if (&other == &Doc_) continue;
      EqualizeVisualization(Doc_.Image(), other.Image(), c.Mode, c.A, c.B);
      other.RefreshViews();
    }
  Done_ = true;
  QDialog::accept();
  return true;
}

void TFormVisuRange::accept() { OkClick(); }

void TFormVisuRange::reject() {
  if (!Done_) {
    Done_ = true;
    if (Saved_) {
      Doc_.Image().RestoreVisualization();
      Doc_.RefreshViews();
    }
  }
  QDialog::reject();
}

void TFormVisuRange::EqualizeCommand(TFormMain* main) {
  if (!main) return;
  TFormChild* active = main->ActiveChild();
  if (!active || main->ImageWindows().size() < 2) {
    main->ShowMessage(TMessageKind::Information, Tr("Equalize visualization"),
                      Tr("Two images are required for this operation"));
    return;
  }
  TFormVisuRange dlg(main, active->Document(), true);
  dlg.exec();
}

// ============================================================================ palettes

TPaletteMenu::TPaletteMenu(TFormMain* main) : QObject(main), Main_(main) {}

TAstroDocument* TPaletteMenu::Active() const {
  TFormChild* c = Main_ ? Main_->ActiveChild() : nullptr;
  return c ? &c->Document() : nullptr;
}

void TPaletteMenu::Build(QMenu* menu) {
  for (const TPaletteItem& item : PaletteMenuItems()) {
    QAction* a = menu->addAction(TrQ(item.Caption));
    a->setObjectName(QString("Palette") + item.Caption);
    if (item.Type == kPaletteSawTooth)
      connect(a, &QAction::triggered, this, &TPaletteMenu::SawTooth);
    else
      connect(a, &QAction::triggered, this, [this, t = item.Type] { Choose(t); });
  }
  menu->addSeparator();
  FileAction_ = menu->addAction(TrQ("-file-"));
  connect(FileAction_, &QAction::triggered, this, &TPaletteMenu::LastFile);
  QAction* open = menu->addAction(TrQ("Open ..."));
  connect(open, &QAction::triggered, this, &TPaletteMenu::OpenFile);
  auto refresh = [this] {
    const std::string& last = Options().Misc.LastPalette;
    FileAction_->setVisible(!last.empty());
    FileAction_->setText(QFileInfo(Q(last)).fileName());
  };
  connect(menu, &QMenu::aboutToShow, this, refresh);
  refresh();
}

void TPaletteMenu::Choose(int32_t type) {
  TAstroDocument* doc = Active();
  if (!doc) return;
  TAPalette& p = doc->Image().Visu.Palette;
  p.BuildPalette(PaletteAfterCommand(p.PaletteType, type), 0);
  doc->RefreshViews();
}

void TPaletteMenu::SawTooth() {
  TAstroDocument* doc = Active();
  if (!doc) return;
  int32_t cycles = 4;
  bool ok = false;
  if (CyclesHook) {
    ok = CyclesHook(cycles);
  } else {
    cycles = QInputDialog::getInt(Main_, TrQ("SawTooth"), TrQ("Cycles") + " ?", 4, kMinCycles,
                                  kMaxCycles, 1, &ok);
  }
  if (!ok) return;
  if (cycles < kMinCycles || cycles > kMaxCycles) {
    Main_->ShowMessage(TMessageKind::Error, Tr("Palette"),
                       CheckField(Tr("Cycles"), std::to_string(cycles), kMinCycles, kMaxCycles,
                                  true)
                           .Message);
    return;
  }
  doc->Image().Visu.Palette.BuildPalette(kPaletteSawTooth, cycles);
  doc->RefreshViews();
}

bool TPaletteMenu::LoadFile(const std::string& path) {
  TAstroDocument* doc = Active();
  if (!doc) return false;
  TAPalette read;
  if (!read.LoadPalette(path)) {
    Main_->ShowMessage(TMessageKind::Error, Tr("Palette"), Tr("Incompatible file format"));
    return false;
  }
  doc->Image().Visu.Palette.CopyFrom(read);
  Options().Misc.LastPalette = path;
  doc->RefreshViews();
  return true;
}

void TPaletteMenu::LastFile() {
  if (!Options().Misc.LastPalette.empty()) LoadFile(Options().Misc.LastPalette);
}

void TPaletteMenu::OpenFile() {
  TAstroDocument* doc = Active();
  if (!doc) return;
  if (FileHook) {
    const std::string path = FileHook();
    if (!path.empty()) LoadFile(path);
    return;
  }
  // The image shows each file as it is selected; Cancel gives back its palette.
  TAPalette before;
  before.CopyFrom(doc->Image().Visu.Palette);
  QFileDialog dlg(Main_, TrQ("Open ..."));
  dlg.setOption(QFileDialog::DontUseNativeDialog);
  dlg.setFileMode(QFileDialog::ExistingFile);
  dlg.setNameFilters(QtFileFilters("Palette files *.pal|*.pal|Text files *.txt|*.txt"));
  std::string folder;
  try {
    folder = Options().UserSubfolder(TUserFolder::Palette).string();
  } catch (const std::exception&) {
  }
  dlg.setDirectory(Q(folder));
  connect(&dlg, &QFileDialog::currentChanged, this, [doc](const QString& path) {
    TAPalette p;
    if (p.LoadPalette(path.toStdString())) {
      doc->Image().Visu.Palette.CopyFrom(p);
      doc->RefreshViews();
    }
  });
  const bool ok = dlg.exec() == QDialog::Accepted && !dlg.selectedFiles().isEmpty();
  doc->Image().Visu.Palette.CopyFrom(before);
  doc->RefreshViews();
  if (ok) LoadFile(dlg.selectedFiles().first().toStdString());
}

}  // namespace orlu
