// The frame shared by the tool windows: a borderless window over the main window with a
// title strip (pin, roll up, enlarge, close), binding to a document (pinned or following
// the active image), rolling up, enlarging and an offset kept relative to the main window.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <vector>

#include "ToolWindowLogic.h"
#include "document/uAstroDoc.h"

namespace orlu {

class TChildWindow;

// Window kinds, for the process-wide counters that let notifications skip absent kinds.
enum class TToolKind : int32_t { Header = 0, Histogram, Statistics, History, Mask, Annotate, Count };

// The title strip: caption and the four buttons, drawn; its mouse goes to the frame.
class TTitleStrip : public QWidget {
  Q_OBJECT

 public:
  explicit TTitleStrip(TChildWindow* owner);
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void leaveEvent(QEvent* e) override;

 private:
  TChildWindow* Owner_;
};

class TChildWindow : public QWidget, public IDocumentObserver {
  Q_OBJECT

 public:
  TChildWindow(QWidget* mainWindow, const QString& ownName, TToolKind kind);
  ~TChildWindow() override;

  // Puts the title strip and content in place and the window at its offset from the main
  // window: (main width − width) div 2 + 8·(k mod 4) + dx, dy. Pinned, not rolled up.
  void Setup(QWidget* content, int32_t dy, int32_t dx, int32_t k);
  void PlaceAtMain();
  void RememberOffset();
  void FollowMain();
  QPoint Offset() const { return {OffsetX_, OffsetY_}; }

  bool Pinned() const { return Binding_.Pinned(); }
  void SetPinned(bool pinned);
  bool RolledUp() const { return RolledUp_; }
  void ToggleRollUp();
  bool Enlarged() const { return Enlarged_; }
  void ToggleEnlarge();
  QString Caption() const { return Caption_; }
  TTitleStrip* Title() const { return Title_; }
  TTitleTracker& Tracker() { return Tracker_; }
  QWidget* Content() const { return Content_; }
  TToolKind Kind() const { return Kind_; }

  // The bound document (nullptr when none).
  TAstroDocument* Document() const { return Doc_; }
  // Binds by the rules of the frame (pinned windows keep their document).
  void Bind(TAstroDocument* doc, bool force);
  // Carries out a title action: 1 pin, 2 roll, 3 enlarge, 4 close.
  void CarryOut(int32_t action);
  // Caption from the document's title (or the window's own name), then the suffix.
  void UpdateCaption();
  void SetCaptionSuffix(const QString& suffix) { CaptionSuffix_ = suffix; }

  // Tool windows of a kind that exist now.
  static int32_t KindCount(TToolKind kind);
  static std::vector<TChildWindow*> All();
  // The active image changed: every following window binds to it.
  static void NotifyActiveDocument(TAstroDocument* doc);
  // Set by NotifyActiveDocument; what unpinned windows follow.
  static TAstroDocument* ActiveDocument();

  // ---- IDocumentObserver ----
  void DocumentChanged(TAstroDocument& doc, TDocumentEvent event) override;
  void DocumentClosing(TAstroDocument& doc) override;

 protected:
  // (Re)load the content from Document(); clear it when there is none.
  virtual void LoadContent() = 0;
  // A document event other than the caption.
  virtual void Refresh(TDocumentEvent event) { (void)event; }
  // The window lets go of doc (another document bound, or the window closing); doc lives on.
  virtual void DocumentLeaving(TAstroDocument& doc) { (void)doc; }
  // Edits not yet in the document (the header window).
  virtual bool HasPendingWork() const { return false; }
  virtual void ApplyPendingWork() {}
  virtual void DiscardPendingWork() {}
  // The window closes: pending edits, and the document released.
  void closeEvent(QCloseEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void moveEvent(QMoveEvent* e) override;
  void paintEvent(QPaintEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  void Unbind();

  QWidget* Main_;
  QString OwnName_;
  TToolKind Kind_;
  TTitleStrip* Title_ = nullptr;
  QWidget* Content_ = nullptr;
  TTitleTracker Tracker_;
  TToolBinding Binding_;
  TAstroDocument* Doc_ = nullptr;
  QString Caption_;
  QString CaptionSuffix_;
  bool RolledUp_ = false;
  bool Enlarged_ = false;
  bool Placing_ = false;
  int32_t OffsetX_ = 0;
  int32_t OffsetY_ = 0;
  QSize SavedSize_;
  QSize SavedMinSize_;
  QSize NormalSize_;
  QElapsedTimer Clock_;
};

}  // namespace orlu
