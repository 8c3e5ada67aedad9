// The visualization range dialog ("Min , Max  Visualization range ?", or "Equalize
// visualization") and the palette commands of the View menu and the image popup.
#pragma once

#include <QDialog>
#include <QObject>

#include <functional>
#include <string>

#include "OpWindowRules.h"

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;

namespace orlu {

class TAstroDocument;
class TFormMain;

class TFormVisuRange : public QDialog {
  Q_OBJECT

 public:
  // equalize: on OK every other open image receives the visualization too.
  TFormVisuRange(TFormMain* main, TAstroDocument& doc, bool equalize);

  void SetMode(TRangeMode mode);
  TRangeMode Mode() const { return Mode_; }
  QLineEdit* LowEdit() const { return Low_; }
  QLineEdit* HighEdit() const { return High_; }
  QCheckBox* TypeCheck() const { return UseType_; }
  QLineEdit* TypeEdit() const { return Type_; }
  QLabel* TypeLabel() const { return TypeLabel_; }
  QPushButton* LockButton() const { return Lock_; }

  // Applies the fields without closing; false (message shown, nothing applied) for a bad
  // field.
  bool PreviewClick();
  // Applies pending edits and closes; false (dialog stays) for a bad field.
  bool OkClick();
  void accept() override;
  void reject() override;

  // "Equalize visualization" (Ctrl+E): needs two open images.
  static void EqualizeCommand(TFormMain* main);

 private:
  TRangeInput Input() const;
  void Edited();
  void UpdateTypeLabel();

  TFormMain* Main_;
  TAstroDocument& Doc_;
  bool Equalize_;
  TRangeMode Mode_ = TRangeMode::Adu;
  QRadioButton* Radio_[3] = {};
  QLineEdit* Low_ = nullptr;
  QLineEdit* High_ = nullptr;
  QCheckBox* UseType_ = nullptr;
  QLineEdit* Type_ = nullptr;
  QLabel* TypeLabel_ = nullptr;
  QPushButton* Lock_ = nullptr;
  // Field texts of each mode while the dialog is open.
  std::string Fields_[3][2];
  bool Saved_ = false;    // the state before the first preview is kept in the image
  bool Pending_ = true;   // fields changed since the last preview
  bool Done_ = false;
};

// The palette commands: "Gray", "Negative", "SawTooth", "Color", "Rainbow", "Flame",
// "Jazz", "-file-" (the last palette file, shown only when there is one) and "Open ...".
class TPaletteMenu : public QObject {
  Q_OBJECT

 public:
  explicit TPaletteMenu(TFormMain* main);
  // Fills menu with the commands; the "-file-" item follows the option at every showing.
  void Build(QMenu* menu);

  // ---- The commands on the active image ----
  void Choose(int32_t type);
  void SawTooth();
  void LastFile();
  void OpenFile();
  // Loads a palette file into the active image; false after "Incompatible file format".
  bool LoadFile(const std::string& path);

  // Tests answer the questions: cycles (false: cancelled) and the file (empty: cancelled).
  std::function<bool(int32_t& cycles)> CyclesHook;
  std::function<std::string()> FileHook;
  QAction* FileAction() const { return FileAction_; }

 private:
  TAstroDocument* Active() const;

  TFormMain* Main_;
  QAction* FileAction_ = nullptr;
};

}  // namespace orlu
