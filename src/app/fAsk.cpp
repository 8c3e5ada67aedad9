#include "fAsk.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

#include "base/EOrluError.h"
#include "base/OrluMath.h"
#include "base/Translate.h"
#include "astrometry/LibAstro.h"

namespace orlu {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }
QString TrQ(const char* s) { return Q(Tr(s)); }

// Edits hold numbers in the C form whatever the system's language.
constexpr const char* kInvalidStyle = "QLineEdit { background: #ffd0d0; }";

int32_t Rounded(double v) {
  int32_t i = 0;
  return TryRound(v, i) ? i : (v < 0 ? INT32_MIN : INT32_MAX);
}

}  // namespace

// ============================================================================ common part

TAskDialog::TAskDialog(QWidget* parent) : QDialog(parent) {
  setModal(true);
  Buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  Buttons_->button(QDialogButtonBox::Ok)->setText(TrQ("OK"));
  Buttons_->button(QDialogButtonBox::Cancel)->setText(TrQ("Cancel"));
  // Return in an edit presses OK (the default button); Escape presses Cancel.
  Buttons_->button(QDialogButtonBox::Ok)->setDefault(true);
  connect(Buttons_, &QDialogButtonBox::accepted, this, [this] { TryAccept(); });
  connect(Buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

bool TAskDialog::Execute() {
  if (Hook) return Hook(*this);
  return exec() == QDialog::Accepted;
}

QLineEdit* TAskDialog::NumberEdit(std::function<TAskField()> field) {
  auto* e = new QLineEdit(this);
  e->setMinimumWidth(120);
  // Leaving an edit marks an invalid value; OK checks again in any case.
  connect(e, &QLineEdit::editingFinished, e, [e, field] {
    e->setStyleSheet(EditValue(e, field()) ? QString() : QString(kInvalidStyle));
  });
  return e;
}

std::optional<std::vector<double>> TAskDialog::EditValues(const std::vector<QLineEdit*>& eds,
                                                          const std::vector<TAskField>& fields) {
  std::vector<double> values;
  for (size_t i = 0; i < fields.size() && i < eds.size(); ++i) {
    const std::optional<double> v = EditValue(eds[i], fields[i]);
    if (!v) {
      eds[i]->setStyleSheet(kInvalidStyle);
      if (Report) Report(false, "OrluFV", Tr("Incorrect value"));
      return std::nullopt;
    }
    values.push_back(*v);
  }
  return values;
}

std::optional<double> TAskDialog::EditValue(const QLineEdit* e, const TAskField& f) {
  return ParseAskValue(e->text().toStdString(), f.Number());
}

void TAskDialog::SetEdit(QLineEdit* e, double v, const TAskField& f) {
  e->setText(Q(AskValueText(v, f.Integer)));
  e->setStyleSheet(QString());
}

// ============================================================================ TAsk1f

TAsk1f::TAsk1f(QWidget* parent) : TAskDialog(parent) {
  setObjectName("Ask1f");
  Ed1 = NumberEdit([this] { return Field_; });
  LabMis = new QLabel(this);
  auto* row = new QHBoxLayout;
  row->addWidget(Ed1, 1);
  row->addWidget(LabMis);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(row);
  layout->addWidget(Buttons_);
}

void TAsk1f::Setup(const std::string& prompt, const std::string& unit, bool remember,
                   const TAskField& field) {
  Prompt_ = prompt;
  Field_ = field;
  double v = field.Initial;
  if (remember)
    if (auto r = Memory_.Values(prompt); r && !r->empty()) v = (*r)[0];
  SetEdit(Ed1, v, field);
  LabMis->setText(Q(unit));
  setWindowTitle(Hint_.empty() ? Q(prompt) : Q(prompt + "  (" + Hint_ + ")"));
  Hint_.clear();
  Ed1->selectAll();
  Ed1->setFocus();
}

bool TAsk1f::TryAccept() {
  const std::optional<double> v = EditValue(Ed1, Field_);
  if (!v) {
    Ed1->setStyleSheet(kInvalidStyle);
    std::string text = "\r";
    text += Tr("Incorrect value");
    if (Report) Report(true, Prompt_, text);
    return false;
  }
  Value_ = *v;
  Memory_.Remember(Prompt_, {Value_});
  accept();
  return true;
}

int32_t TAsk1f::IntValue() const { return Rounded(Value_); }

// ============================================================================ TAsk2f

TAsk2f::TAsk2f(QWidget* parent) : TAskDialog(parent) {
  setObjectName("Ask2f");
  Ed1 = NumberEdit([this] { return Fields_[0]; });
  Ed2 = NumberEdit([this] { return Fields_[1]; });
  CB2 = new QCheckBox(this);
  auto* row = new QHBoxLayout;
  row->addWidget(Ed1, 1);
  row->addWidget(Ed2, 1);
  row->addWidget(CB2);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(row);
  layout->addWidget(Buttons_);
}

void TAsk2f::Setup(const std::string& prompt, bool remember, const TAskField& f1,
                   const TAskField& f2, const std::string& checkCaption) {
  Prompt_ = prompt;
  Fields_[0] = f1;
  Fields_[1] = f2;
  Check_ = !checkCaption.empty();
  double v1 = f1.Initial, v2 = f2.Initial;
  if (remember)
    if (auto r = Memory_.Values(prompt); r && r->size() == 2) v1 = (*r)[0], v2 = (*r)[1];
  SetEdit(Ed1, v1, f1);
  SetEdit(Ed2, v2, f2);
  Ed2->setVisible(!Check_);
  CB2->setVisible(Check_);
  CB2->setText(Q(checkCaption));
  CB2->setChecked(v2 >= 0.5);
  setWindowTitle(Q(prompt));
  Ed1->selectAll();
  Ed1->setFocus();
}

bool TAsk2f::TryAccept() {
  const std::optional<double> a = EditValue(Ed1, Fields_[0]);
  const std::optional<double> b =
      Check_ ? std::optional<double>(CB2->isChecked() ? 1.0 : 0.0) : EditValue(Ed2, Fields_[1]);
  if (!a || !b) {
    (a ? Ed2 : Ed1)->setStyleSheet(kInvalidStyle);
    if (Report) Report(false, "OrluFV", Tr("Incorrect value"));
    return false;
  }
  Values_[0] = *a;
  Values_[1] = *b;
  Memory_.Remember(Prompt_, {*a, *b});
  accept();
  return true;
}

int32_t TAsk2f::IntValue1() const { return Rounded(Values_[0]); }
int32_t TAsk2f::IntValue2() const { return Rounded(Values_[1]); }

// ============================================================================ TAskManyf

TAskManyf::TAskManyf(QWidget* parent) : TAskDialog(parent) {
  setObjectName("AskManyf");
  auto* form = new QFormLayout;
  for (int i = 0; i < 6; ++i) {
    auto* label = new QLabel(this);
    QLineEdit* e = NumberEdit([this, i] {
      return size_t(i) < Fields_.size() ? Fields_[size_t(i)] : TAskField{};
    });
    Labels_.push_back(label);
    Eds.push_back(e);
    form->addRow(label, e);
  }
  LabRot = new QLabel(this);
  CB = new QCheckBox(this);
  CB->hide();
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(CB);
  layout->addWidget(LabRot);
  layout->addWidget(Buttons_);
}

void TAskManyf::SetCheck(const std::string& caption, bool checked) {
  CB->setText(Q(caption));
  CB->setChecked(checked);
  CheckShown_ = !caption.empty();
  CB->setVisible(CheckShown_);
}

void TAskManyf::Setup(const std::string& caption, const std::vector<std::string>& labels,
                      std::vector<TAskField> fields, int32_t width, int32_t height,
                      const std::string& note) {
  if (fields.size() < 2 || fields.size() > 6) throw EOrluError(Tr("Number of fields"));
  if (fields[0].Initial == 0 && fields[1].Initial == 0) {
    fields[0].Initial = (width - 1) / 2.0;
    fields[1].Initial = (height - 1) / 2.0;
  }
  for (size_t i = 0; i < fields.size(); ++i)
    if (i < labels.size() && labels[i] == "Angle") {
      fields[i].Increment = 0.5;
      fields[i].Min = -360;
      fields[i].Max = 360;
    }
  Fields_ = std::move(fields);
  for (size_t i = 0; i < Eds.size(); ++i) {
    const bool shown = i < Fields_.size();
    Eds[i]->setVisible(shown);
    Labels_[i]->setVisible(shown);
    if (!shown) continue;
    Labels_[i]->setText(i < labels.size() ? Q(Tr(labels[i])) : QString());
    SetEdit(Eds[i], Fields_[i].Initial, Fields_[i]);
  }
  LabRot->setText(Q(note));
  LabRot->setVisible(!note.empty());
  CB->hide();
  CheckShown_ = false;
  setWindowTitle(Q(caption));
}

bool TAskManyf::TryAccept() {
  std::optional<std::vector<double>> values = EditValues(Eds, Fields_);
  if (!values) return false;
  Values_ = std::move(*values);
  Checked_ = CheckShown_ && CB->isChecked();
  accept();
  return true;
}

// ============================================================================ TAskStr

bool IsCoordinateAnswer(std::string_view text) {
  if (text.size() < 2 || text.find_first_of("+-", 1) == std::string_view::npos) return false;
  double ra = 0, dec = 0;
  return ParseRaDec(text, true, ra, dec);
}

TAskStr::TAskStr(QWidget* parent) : TAskDialog(parent) {
  setObjectName("AskStr");
  Ed1 = new QLineEdit(this);
  Ed1->setMinimumWidth(260);
  connect(Ed1, &QLineEdit::textChanged, this, [this] { UpdateOk(); });
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Ed1);
  layout->addWidget(Buttons_);
}

void TAskStr::Setup(const std::string& prompt, const std::string& initial, bool remember,
                    bool coordinates) {
  Prompt_ = prompt;
  Coordinates_ = coordinates;
  std::string text = initial;
  if (remember)
    if (auto r = Memory_.Text(prompt)) text = *r;
  Ed1->setText(Q(text));
  setWindowTitle(Q(prompt));
  UpdateOk();
  Ed1->selectAll();
  Ed1->setFocus();
}

bool TAskStr::OkEnabled() const {
  return !Coordinates_ || IsCoordinateAnswer(Ed1->text().toStdString());
}

void TAskStr::UpdateOk() { Buttons_->button(QDialogButtonBox::Ok)->setEnabled(OkEnabled()); }

bool TAskStr::TryAccept() {
  if (!OkEnabled()) return false;
  Text_ = Ed1->text().toStdString();
  Memory_.Remember(Prompt_, {}, Text_);
  accept();
  return true;
}

// ============================================================================ TAskParams

TAskParams::TAskParams(QWidget* parent) : TAskDialog(parent) { setObjectName("AskParams"); }

bool TAskParams::Ask(const TParamDialog& dialog, std::vector<double>& values, std::string& text) {
  // Rebuilt for every dialog: the fields differ from step to step.
  qDeleteAll(findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly));
  delete layout();
  Buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  Buttons_->button(QDialogButtonBox::Ok)->setDefault(true);
  connect(Buttons_, &QDialogButtonBox::accepted, this, [this] { TryAccept(); });
  connect(Buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
  Eds.clear();
  Fields_.clear();
  auto* form = new QFormLayout;
  for (size_t i = 0; i < dialog.Fields.size(); ++i) {
    const TParamField& p = dialog.Fields[i];
    TAskField f{!p.Decimals, p.Step, i < values.size() ? values[i] : p.Default, p.Max, p.Min};
    // A normalization to 0 would divide by zero: refused like any invalid value.
    if (dialog.Code == 102 && i == 0) f.ExcludeZero = true;
    QLineEdit* e = NumberEdit([this, i] { return i < Fields_.size() ? Fields_[i] : TAskField{}; });
    SetEdit(e, f.Initial, f);
    QString label = Q(p.Prompt);
    if (!p.Unit.empty()) label += " [" + Q(p.Unit) + "]";
    form->addRow(label, e);
    Eds.push_back(e);
    Fields_.push_back(f);
  }
  TextEdit = nullptr;
  if (dialog.HasText) {
    TextEdit = new QLineEdit(Q(text), this);
    form->addRow(TrQ("Text"), TextEdit);
  }
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(Buttons_);
  setWindowTitle(Q(dialog.Caption));
  if (!Execute()) return false;
  values = Values_;
  if (dialog.HasText) text = Text_;
  return true;
}

bool TAskParams::TryAccept() {
  std::optional<std::vector<double>> values = EditValues(Eds, Fields_);
  if (!values) return false;
  Values_ = std::move(*values);
  Text_ = TextEdit ? TextEdit->text().toStdString() : std::string();
  accept();
  return true;
}

}  // namespace orlu
