#include "fParams.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QLineEdit>

#include <algorithm>

#include "base/Translate.h"
#include "processing/ImaFilter.h"

namespace orlu {

std::function<bool(const TParamDialog&, std::vector<double>&, std::string&)>& TParamDialogQt::Hook() {
  static std::function<bool(const TParamDialog&, std::vector<double>&, std::string&)> h;
  return h;
}

bool TParamDialogQt::Ask(const TParamDialog& dialog, std::vector<double>& values, std::string& text) {
  if (Hook()) return Hook()(dialog, values, text);
  QDialog d(Parent_);
  const std::string caption = dialog.Caption.empty() ? std::string(OperationName(dialog.Code)) : dialog.Caption;
  d.setWindowTitle(QString::fromStdString(Tr(caption)));
  auto* form = new QFormLayout(&d);
  std::vector<QDoubleSpinBox*> boxes;
  values.resize(dialog.Fields.size(), 0.0);
  for (size_t i = 0; i < dialog.Fields.size(); ++i) {
    const TParamField& f = dialog.Fields[i];
    auto* b = new QDoubleSpinBox(&d);
    b->setDecimals(f.Decimals ? 6 : 0);
    b->setRange(f.Min, f.Max);
    b->setSingleStep(f.Step);
    b->setValue(std::clamp(values[i], f.Min, f.Max));
    if (!f.Unit.empty()) b->setSuffix(" " + QString::fromStdString(f.Unit));
    form->addRow(QString::fromStdString(Tr(f.Prompt)), b);
    boxes.push_back(b);
  }
  QLineEdit* edit = nullptr;
  if (dialog.HasText) {
    edit = new QLineEdit(QString::fromStdString(text == kVoidText ? std::string() : text), &d);
    form->addRow(edit);
  }
  auto* bb = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &d);
  QObject::connect(bb, &QDialogButtonBox::accepted, &d, &QDialog::accept);
  QObject::connect(bb, &QDialogButtonBox::rejected, &d, &QDialog::reject);
  form->addRow(bb);
  if (d.exec() != QDialog::Accepted) return false;
  for (size_t i = 0; i < boxes.size(); ++i) values[i] = boxes[i]->value();
  if (edit) text = edit->text().toStdString();
  return true;
}

}  // namespace orlu
