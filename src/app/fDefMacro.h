// The macro editor ("Define Macro"): eight named pages of processing steps, built from the
// operation list or the processing history, edited, reordered by dragging, kept in macro
// files and run on the active image.
#pragma once

#include <QListWidget>
#include <QWidget>

#include <functional>
#include <vector>

#include "processing/uMacro.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTabBar;

namespace orlu {

class TFormMain;

// What the editor needs from the command layer.
struct TMacroServices {
  // The parameter dialogs of the steps (nullptr: steps that ask are not added or edited).
  IParameterDialog* Dialog = nullptr;
  // The context "Run" uses; empty: the wait window and the settings, no host.
  std::function<TFilterContext()> Context;
};

// The step list: a drop of an operation adds it, a drag inside moves the selection.
class TMacroStepList : public QListWidget {
  Q_OBJECT

 public:
  explicit TMacroStepList(QWidget* parent);

 signals:
  void OperationDropped(int32_t code, int32_t row);
  void StepMoved(int32_t from, int32_t to);
  void DeletePressed();

 protected:
  void dragEnterEvent(QDragEnterEvent* e) override;
  void dragMoveEvent(QDragMoveEvent* e) override;
  void dropEvent(QDropEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
};

class TFormDefMacro : public QWidget {
  Q_OBJECT

 public:
  TFormDefMacro(TFormMain* main, TMacroServices services);

  // The history that "Processing history" copies (a copy is kept; nullptr: none).
  void SetHistory(const THistoryList* history);

  const TMacroBook& Book() const { return Book_; }
  int32_t PageIndex() const { return Page_; }  // 1..8
  TMacroPage& CurrentPage() { return Book_.Page(Page_); }
  void SelectPage(int32_t k);

  QListWidget* Operations() const { return Ops_; }
  TMacroStepList* Steps() const { return Steps_; }
  QLineEdit* Search() const { return Search_; }
  QLineEdit* NameEdit() const { return Name_; }
  QPushButton* HistoryButton() const { return HistoryButton_; }

  // ---- Actions (tests call them) ----
  // Asks the step's parameters and inserts it at row (appended when row < 0).
  bool AddOperation(int32_t code, int32_t row = -1);
  void EditClick();
  void DisableClick();
  void DeleteClick();
  void CopyClick();
  void CopyAllClick();
  void PasteClick();
  void DeleteAllClick();
  void ResetClick();
  void HistoryClick();
  void OpenClick();
  void SaveClick();
  // Runs the current page on the active image; the result of the run.
  TFilterStatus RunClick();
  // Stores names and pages and closes; false (window stays) on the default-name refusal
  // or a failed write.
  bool OkClick();
  void CancelClick();
  void MoveStep(int32_t from, int32_t to);

  // Tests answer the file dialogs: (save) → name.
  std::function<std::string(bool save)> FileHook;
  // The internal clipboard of steps.
  static std::vector<TIPFilter>& Clipboard();

 private:
  void FillOperations();
  void FillSteps(int32_t select = -1);
  std::vector<int32_t> SelectedRows() const;
  // Throws "Macro size mismatch" when the list does not show the page.
  void CheckSize() const;
  void Error(const std::string& text);
  // "The macro is full" with the number of steps left out, when there are any.
  void ReportLeftOut(int32_t left);
  void UpdateHistoryButton();
  TFilterContext Context() const;

  TFormMain* Main_;
  TMacroServices Services_;
  TMacroBook Book_;
  THistoryList History_;
  bool HasHistory_ = false;
  int32_t Page_ = 1;
  QTabBar* Tabs_ = nullptr;
  QLineEdit* Search_ = nullptr;
  QListWidget* Ops_ = nullptr;
  TMacroStepList* Steps_ = nullptr;
  QLineEdit* Name_ = nullptr;
  QPushButton* HistoryButton_ = nullptr;
};

}  // namespace orlu
