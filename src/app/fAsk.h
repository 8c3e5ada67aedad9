// The ask dialogs of the command layer: one value (TAsk1f), two values or a value and a check
// box (TAsk2f), two to six values (TAskManyf), a text (TAskStr), and the parameter dialog of
// the filter framework's steps (TAskParams). OK never accepts a value that is not valid.
#pragma once

#include <QDialog>

#include <functional>
#include <string>
#include <vector>

#include "QVMasterRules.h"
#include "processing/uFilMan.h"

class QCheckBox;
class QDialogButtonBox;
class QLabel;
class QLineEdit;

namespace orlu {

// A numeric field of an ask dialog.
struct TAskField {
  bool Integer = false;
  double Increment = 1;
  double Initial = 0;
  double Max = 1e300;
  double Min = -1e300;
  bool ExcludeZero = false;
  TAskNumber Number() const { return TAskNumber{Integer, Min, Max, ExcludeZero}; }
};

// Boxes of the dialogs: error (true) or warning, caption, text.
using TAskReport = std::function<void(bool error, const std::string&, const std::string&)>;

// The common part: numeric edits that mark themselves invalid when left, and the modal run.
class TAskDialog : public QDialog {
  Q_OBJECT

 public:
  explicit TAskDialog(QWidget* parent);
  // Shows the dialog modally (or hands it to Hook); true on an accepted OK.
  bool Execute();
  // The OK button: accepts and returns true only when every shown value is valid.
  virtual bool TryAccept() = 0;
  // Test hook: called instead of the modal loop; it fills the edits and presses OK
  // (TryAccept); its result is the dialog's.
  static inline std::function<bool(TAskDialog&)> Hook;
  TAskReport Report;

 protected:
  QLineEdit* NumberEdit(std::function<TAskField()> field);
  // The value of an edit, nullopt when invalid.
  static std::optional<double> EditValue(const QLineEdit* e, const TAskField& f);
  // The values of all edits; nullopt after marking the first invalid edit and reporting it.
  std::optional<std::vector<double>> EditValues(const std::vector<QLineEdit*>& eds,
                                                const std::vector<TAskField>& fields);
  static void SetEdit(QLineEdit* e, double v, const TAskField& f);
  QDialogButtonBox* Buttons_ = nullptr;
};

class TAsk1f : public TAskDialog {
  Q_OBJECT

 public:
  explicit TAsk1f(QWidget* parent);
  // prompt is also the caption; the remembered answer to the same prompt replaces the
  // initial value when remember is set.
  void Setup(const std::string& prompt, const std::string& unit, bool remember,
             const TAskField& field);
  // Shown in the caption as prompt + "  (" + hint + ")" at the next showing only.
  void SetHint(const std::string& hint) { Hint_ = hint; }
  bool TryAccept() override;
  double Value() const { return Value_; }
  int32_t IntValue() const;

  QLineEdit* Ed1 = nullptr;
  QLabel* LabMis = nullptr;

 private:
  std::string Prompt_;
  std::string Hint_;
  TAskField Field_;
  double Value_ = 0;
  TAskMemory Memory_{2};
};

class TAsk2f : public TAskDialog {
  Q_OBJECT

 public:
  explicit TAsk2f(QWidget* parent);
  // With checkCaption the check box CB2 (checked when f2.Initial >= 0.5) replaces Ed2.
  void Setup(const std::string& prompt, bool remember, const TAskField& f1,
             const TAskField& f2, const std::string& checkCaption = {});
  bool TryAccept() override;
  double Value1() const { return Values_[0]; }
  double Value2() const { return Values_[1]; }
  int32_t IntValue1() const;
  int32_t IntValue2() const;

  QLineEdit* Ed1 = nullptr;
  QLineEdit* Ed2 = nullptr;
  QCheckBox* CB2 = nullptr;

 private:
  std::string Prompt_;
  TAskField Fields_[2];
  double Values_[2] = {0, 0};
  bool Check_ = false;
  TAskMemory Memory_{2};
};

class TAskManyf : public TAskDialog {
  Q_OBJECT

 public:
  explicit TAskManyf(QWidget* parent);
  // count fields (2 … 6, else EOrluError "Number of fields"); labels name them. Fields 1 and
  // 2 become the image centre ((width−1)/2, (height−1)/2) when both initial values are 0;
  // a third field named "Angle" takes increment 0.5 and −360 … 360.
  void Setup(const std::string& caption, const std::vector<std::string>& labels,
             std::vector<TAskField> fields, int32_t width, int32_t height,
             const std::string& note = {});
  // A check box under the fields (hidden when the caption is empty); its state is Checked().
  void SetCheck(const std::string& caption, bool checked);
  bool TryAccept() override;
  const std::vector<double>& Values() const { return Values_; }
  bool Checked() const { return Checked_; }

  std::vector<QLineEdit*> Eds;
  QLabel* LabRot = nullptr;
  QCheckBox* CB = nullptr;

 private:
  std::vector<TAskField> Fields_;
  std::vector<QLabel*> Labels_;
  std::vector<double> Values_;
  bool Checked_ = false;
  bool CheckShown_ = false;
};

class TAskStr : public TAskDialog {
  Q_OBJECT

 public:
  explicit TAskStr(QWidget* parent);
  // coordinates: OK only while the text is a right ascension and declination pair with a
  // sign after its first character.
  void Setup(const std::string& prompt, const std::string& initial, bool remember,
             bool coordinates = false);
  bool TryAccept() override;
  std::string Text() const { return Text_; }
  bool OkEnabled() const;

  QLineEdit* Ed1 = nullptr;

 private:
  void UpdateOk();
  std::string Prompt_;
  std::string Text_;
  bool Coordinates_ = false;
  TAskMemory Memory_{2};
};

// The text holds a right ascension and declination pair with a "+" or "-" after its first
// character.
bool IsCoordinateAnswer(std::string_view text);

// The parameter dialogs of the filter framework's steps, one numeric edit per field and an
// optional text.
class TAskParams : public TAskDialog, public IParameterDialog {
  Q_OBJECT

 public:
  explicit TAskParams(QWidget* parent);
  bool Ask(const TParamDialog& dialog, std::vector<double>& values, std::string& text) override;
  bool TryAccept() override;

  std::vector<QLineEdit*> Eds;
  QLineEdit* TextEdit = nullptr;

 private:
  std::vector<TAskField> Fields_;
  std::vector<double> Values_;
  std::string Text_;
};

}  // namespace orlu
