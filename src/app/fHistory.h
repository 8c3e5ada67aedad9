// The processing-history window (list, details, history files, copy, FITS cards) and the
// macro editor ("Define Macro": eight pages of replayable steps, reordered by dragging, run
// on the active image).
#pragma once

#include <QDialog>

#include <functional>

#include "processing/uMacro.h"
#include "uChildWindows.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QTabWidget;

namespace orlu {

class TFormHistory : public TChildWindow {
  Q_OBJECT

 public:
  explicit TFormHistory(QWidget* mainWindow);
  static TFormHistory* ShowHistoryWindow(QWidget* mainWindow, TAstroDocument* doc);

  QListWidget* List() const { return List_; }
  QString Details() const;
  bool SaveHistory(const QString& path, std::string& error);
  bool LoadHistory(const QString& path, std::string& error);
  void CopyToClipboard();
  void SaveToHeader();
  void ResetHeader();

 protected:
  void LoadContent() override;
  void Refresh(TDocumentEvent event) override;

 private:
  QListWidget* List_ = nullptr;
  QLabel* Details_ = nullptr;
};

// The process-wide macro pages (names in options Macro1 … Macro8).
TMacroBook& Macros();

class TFormMacro : public QDialog {
  Q_OBJECT

 public:
  // history: the entries "Processing history" imports (may be nullptr); runOn: the image
  // "Run" processes (may be nullptr).
  TFormMacro(QWidget* parent, const THistoryList* history, TAstroDocument* runOn);

  int32_t PageIndex() const;  // 1..8
  void SetPage(int32_t k);
  TMacroPage& Page() { return Macros().Page(PageIndex()); }
  QListWidget* Steps() const;
  QListWidget* Operations() const { return Ops_; }
  void SetSearch(const QString& text);
  // Adds an operation (asking its parameters); false when cancelled or the page is full.
  bool AddOperation(int32_t code);
  bool EditStep(int32_t index);
  void ToggleDisabled();
  void DeleteSelected();
  void CopySelected(bool all);
  void Paste();
  void ImportHistory();
  // "Run": the page's enabled steps on the image as one undo step; false on failure.
  bool Run();
  // OK: refused (message) while a page with steps keeps its default name.
  bool TryAccept();
  void Rename(const QString& name);
  // Test hook: message boxes go here instead.
  std::function<void(const QString& caption, const QString& text)> MessageHook;

 private:
  void Message(const QString& caption, const QString& text);
  void FillSteps();
  void FillOperations();
  void SyncOrderFromList();

  QTabWidget* Tabs_ = nullptr;
  QListWidget* Ops_ = nullptr;
  QLineEdit* Search_ = nullptr;
  const THistoryList* History_;
  TAstroDocument* RunOn_;
  std::vector<TIPFilter> Clip_;
};

}  // namespace orlu
