#include "fRange.h"

#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>

#include "base/TextNumbers.h"
#include "base/Translate.h"
#include "document/uAstroDoc.h"
#include "image/ImaColor.h"

namespace orlu {

namespace {

QString TrQ(const char* s) { return QString::fromStdString(Tr(s)); }

const struct {
  const char* Name;
  int32_t Code;
} kTypes[] = {{"Linear", kTransferLinear},          {"Logarithmic", kTransferLogarithmic},
              {"Exponential", kTransferExponential}, {"Equalized", kTransferEqualized},
              {"Gauss equalized", kTransferGaussEqualized}};

}  // namespace

TFormRange::TFormRange(QWidget* parent, TAstroDocument& doc) : QDialog(parent), Doc_(doc) {
  setWindowTitle(TrQ("Visualization"));
  auto* g = new QGridLayout(this);
  const char* modes[] = {"ADU", "Percentage", "Sigma"};
  for (int32_t i = 0; i < 3; ++i) {
    Modes_[i] = new QRadioButton(TrQ(modes[i]), this);
    g->addWidget(Modes_[i], 0, i);
  }
  A_ = new QLineEdit(this);
  B_ = new QLineEdit(this);
  A_->setObjectName("RangeLow");
  B_->setObjectName("RangeHigh");
  g->addWidget(A_, 1, 0);
  g->addWidget(B_, 1, 1);
  Type_ = new QComboBox(this);
  for (const auto& t : kTypes) Type_->addItem(TrQ(t.Name), t.Code);
  g->addWidget(Type_, 1, 2);
  auto* ok = new QPushButton(TrQ("OK"), this);
  auto* cancel = new QPushButton(TrQ("Cancel"), this);
  g->addWidget(ok, 2, 1);
  g->addWidget(cancel, 2, 2);
  connect(ok, &QPushButton::clicked, this, [this] {
    if (!ApplyAndClose()) QMessageBox::warning(this, TrQ("Visualization"), TrQ("Invalid number"));
  });
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  const TImageVisu& v = doc.Image().Visu;
  SetMode(TRangeMode::Adu);
  SetBounds(v.Low, v.High);
  SetType(v.TransferType);
}

void TFormRange::SetMode(TRangeMode mode) { Modes_[int32_t(mode)]->setChecked(true); }

void TFormRange::SetBounds(double a, double b) {
  A_->setText(QString::fromStdString(FormatG(a, 9)));
  B_->setText(QString::fromStdString(FormatG(b, 9)));
}

void TFormRange::SetType(int32_t code) {
  const int i = Type_->findData(code);
  Type_->setCurrentIndex(i >= 0 ? i : 0);
}

bool TFormRange::ApplyAndClose() {
  double a = 0, b = 0;
  if (!ParseDouble(A_->text().toStdString(), a) || !ParseDouble(B_->text().toStdString(), b)) return false;
  TRangeMode mode = TRangeMode::Adu;
  if (Modes_[1]->isChecked()) mode = TRangeMode::Percentage;
  if (Modes_[2]->isChecked()) mode = TRangeMode::Sigma;
  ApplyRange(Doc_.Image(), mode, a, b, Type_->currentData().toInt());
  Doc_.RefreshViews();
  accept();
  return true;
}

QMenu* BuildPaletteMenu(QWidget* parent, std::function<TAstroDocument*()> active) {
  auto* m = new QMenu(TrQ("Palette"), parent);
  const struct {
    const char* Name;
    int32_t Type;
  } items[] = {{"Gray", kPaletteGray},       {"Negative", kPaletteNegative}, {"Color", kPaletteColor},
               {"Flame", kPaletteFlame},     {"Rainbow", kPaletteRainbow},   {"Jazz", kPaletteJazz},
               {"Saw tooth", kPaletteSawTooth}};
  for (const auto& it : items) {
    const int32_t type = it.Type;
    m->addAction(TrQ(it.Name), parent, [active, type] {
      TAstroDocument* d = active();
      if (!d) return;
      d->Image().Visu.Palette.BuildPalette(type, 8);
      d->RefreshViews();
    });
  }
  m->addSeparator();
  m->addAction(TrQ("Open palette") + " ...", parent, [parent, active] {
    TAstroDocument* d = active();
    if (!d) return;
    const QString name = QFileDialog::getOpenFileName(parent, TrQ("Open palette"));
    if (name.isEmpty()) return;
    if (!d->Image().Visu.Palette.LoadPalette(name.toStdString())) {
      QMessageBox::critical(parent, TrQ("ERROR"), TrQ("Incompatible file format") + "\n" + name);
      return;
    }
    d->RefreshViews();
  });
  return m;
}

}  // namespace orlu
