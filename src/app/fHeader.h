// The FITS header window: the bound document's header cards as editable text, one card per
// line, with the first five lines protected, colouring, undo by reload and export.
#pragma once

#include <QPlainTextEdit>
#include <QSyntaxHighlighter>

#include <functional>
#include <string>
#include <vector>

#include "HeaderText.h"
#include "uChildWindows.h"

class QAction;
class QMenu;

namespace orlu {

class TFormHeader;

// The editor: refuses every edit that touches a protected line while protection is on.
class THeaderEdit : public QPlainTextEdit {
  Q_OBJECT

 public:
  explicit THeaderEdit(TFormHeader* owner);
  bool Protect = true;
  // Whether the current selection (or the caret line) may be changed by a plain edit.
  bool SelectionEditable() const;

 protected:
  void keyPressEvent(QKeyEvent* e) override;
  void insertFromMimeData(const QMimeData* source) override;
  void inputMethodEvent(QInputMethodEvent* e) override;
  void contextMenuEvent(QContextMenuEvent* e) override;
  void dropEvent(QDropEvent* e) override;

 private:
  TFormHeader* Owner_;
};

class THeaderHighlighter : public QSyntaxHighlighter {
 public:
  explicit THeaderHighlighter(QTextDocument* doc) : QSyntaxHighlighter(doc) {}

 protected:
  void highlightBlock(const QString& text) override;
};

class TFormHeader : public TChildWindow, public IHeaderEdits {
  Q_OBJECT

 public:
  explicit TFormHeader(QWidget* mainWindow);
  ~TFormHeader() override;

  // View > "FITS Header": a window that shows doc is shown and unrolled; else a new one is
  // made at the main window's top-left corner and bound to doc.
  static TFormHeader* ShowHeaderWindow(QWidget* mainWindow, TAstroDocument* doc);

  THeaderEdit* Memo() const { return Memo_; }
  bool Pending() const { return Pending_; }
  // Reloads from the header; keepLine keeps the caret on its line (else line 5).
  void LoadHeader(bool keepLine);
  // ApplyHeaderEdits: the editor's lines become the header's cards; the document modified.
  void ApplyHeaderEdits();
  // Export to file; false when writing failed.
  bool ExportTo(const QString& path);
  void ChangeFont(int32_t step);
  void Beep();
  QMenu* PopupMenu() const { return Popup_; }
  QAction* UndoAction() const { return Undo1_; }
  QAction* ProtectAction() const { return Protect1_; }
  // Test hook: the export dialog's answer (an empty name cancels).
  std::function<QString()> ExportNameHook;
  int32_t Beeps() const { return Beeps_; }

  // ---- IHeaderEdits ----
  bool HasPendingEdits() const override { return Pending_; }
  void ApplyPendingEdits(TFitsStrings& header) override;
  void DiscardPendingState() override;

 protected:
  void LoadContent() override;
  void Refresh(TDocumentEvent event) override;
  bool HasPendingWork() const override { return Pending_; }
  void ApplyPendingWork() override { ApplyHeaderEdits(); }
  void DiscardPendingWork() override { DiscardPendingState(); }
  // The document must not keep asking this window for edits.
  void DocumentLeaving(TAstroDocument& doc) override { doc.SetHeaderEditor(nullptr); }
  void keyPressEvent(QKeyEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  void BuildMenu();
  void UpdateItems();
  std::vector<std::string> EditorLines() const;

  THeaderEdit* Memo_ = nullptr;
  QWidget* Margin_ = nullptr;
  QMenu* Popup_ = nullptr;
  QAction* Undo1_ = nullptr;
  QAction* Protect1_ = nullptr;
  QAction* Cut1_ = nullptr;
  QAction* Paste1_ = nullptr;
  QAction* Save1_ = nullptr;
  QAction* Export1_ = nullptr;
  bool Pending_ = false;
  bool Loading_ = false;
  int32_t Beeps_ = 0;
  int32_t BaseFontSize_ = 10;
  // Horizontal panning in the margin.
  QPoint PanStart_;
  int32_t PanScroll_ = 0;
  qint64 PanTime_ = 0;
  bool Panning_ = false;
};

}  // namespace orlu
