// The main window: MDI frame with menus, toolbar and the two-field status line; the host of
// every document's image window.
#pragma once

#include <QElapsedTimer>
#include <QLabel>
#include <QMainWindow>
#include <QStringList>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "QVMaster.h"
#include "StatusTexts.h"
#include "ZoomMath.h"
#include "uTabList.h"
#include "document/uAstroDoc.h"

class QAction;
class QMdiArea;
class QMdiSubWindow;
class QMenu;
class QToolBar;

namespace orlu {

class TFormChild;
class TRecentFilesManager;

// Answers of the close question "Save changes to disk ?".
enum class TCloseAnswer { SaveAs, Save, Cancel, DontSave };
enum class TMessageKind { Error, Information, Warning };

class TFormMain : public QMainWindow, public IDocumentHost {
  Q_OBJECT

 public:
  // configDir holds "QVRecentU.ini"; it is read here and written when the window closes.
  explicit TFormMain(QString configDir, QWidget* parent = nullptr);
  ~TFormMain() override;

  // ---- Opening ----
  // Opens one file (image or frame frameIndex) into a new image window; nullptr after the
  // error box.
  TFormChild* OpenDocument(const std::string& path, int32_t frameIndex = 0);
  // Gives a document its window (at the zoom code, or the automatic one) and shows it;
  // nullptr when no window could be made (the document is then freed).
  TFormChild* ShowDocument(std::unique_ptr<TAstroDocument> doc, int32_t zoomCode, bool autoZoom);
  // Opens each file with the further images of multi-image files; the first opened one
  // enters the recent-files list when addRecent. An Escape in an image window stops it.
  // With askFrame a video of several frames asks which one (once for the whole list).
  void OpenFiles(const std::vector<std::string>& paths, bool addRecent, bool askFrame = false);
  // The open dialog, then OpenFiles.
  void OpenWithDialog();
  // Files given by a second start: opened, and this window raised.
  Q_INVOKABLE void OpenHandedOver(const QStringList& paths);

  // ---- Saving ----
  // "Save": under the document's own name when that is a single-image FITS path, else as
  // SaveAs. False when not written (cancelled or failed, after the error box).
  bool SaveDocument(TFormChild& child);
  // "Save 16/32 bit": asks a name with the data filters, then writes.
  bool SaveDocumentAs(TFormChild& child);
  // "Save view": the picture through the visualization with the view filters; the document
  // keeps its name and modified state. False when nothing was written.
  bool SaveViewAs(TFormChild& child);
  // The close question of a modified document; true when the window may close.
  bool CloseQuery(TFormChild& child);

  // ---- Windows ----
  std::vector<TFormChild*> ImageWindows() const;
  TFormChild* ActiveChild() const;
  void Activate(TFormChild& child);
  // Gives a document that already has its image window to that window.
  TFormChild* AdoptDocument(std::unique_ptr<TAstroDocument> doc);
  QMdiArea* MdiArea() const { return Mdi_; }

  // ---- Menus and the command layer ----
  TQVMaster& Master() { return *Master_; }
  // The main menu of that id; other units add their items here (see TQVMaster::AddCommand).
  QMenu* Menu(TMenuId id) const;
  // Automatic accelerators on every menu (not the recent files); may run again after other
  // units added items.
  void ApplyAccelerators();
  // An item enabled exactly when an image window exists.
  void AddImageAction(QAction* a);
  // A command at the top of the Window menu, which is rebuilt each time it opens.
  void AddWindowCommand(const QString& caption, std::function<void()> run);
  QSize MainClientSize() const;
  void UpdateMenus();
  // The tab order: image windows in the order they were made.
  const std::vector<TFormChild*>& TabWindows() const { return Tabs_.Items(); }
  // The window after (or before) child in the tab order; nullptr with fewer than two.
  TFormChild* NextTab(TFormChild* child, bool forward) const;
  // A window going away leaves the tab order.
  void ForgetTab(TFormChild* child);
  // Opens a web address in the browser (or hands it to UrlHook).
  void OpenUrl(const std::string& url);
  std::function<void(const std::string&)> UrlHook;
  // Set by Escape in an image window; stops a multi-file open.
  void SetAbort() { Abort_ = true; }
  void ChildActivated(TFormChild& child);

  // ---- Status line ----
  // field 1 or 2; a sticky text holds against non-sticky ones for holdMs.
  void ShowStatus(const std::string& text, int field, int32_t holdMs, bool sticky);
  // An image window's status: field 2, and the selection text in field 1; on a narrow
  // status line without a selection the field-2 text takes field 1.
  void ShowImageStatus(const std::string& field2, const std::string& selection);
  QString StatusText(int field) const;
  // Boxes: application-modal, or to the hook when one is set.
  void ShowMessage(TMessageKind kind, const std::string& caption, const std::string& text);
  // Confirmation with OK and Cancel; true on OK.
  bool Confirm(const std::string& caption, const std::string& text);

  // ---- Test hooks: dialogs answered without showing them ----
  std::function<TCloseAnswer(TAstroDocument&, bool saveEnabled)> CloseQuestionHook;
  // A file name and the chosen filter index (1-based) of the data save dialog; an empty
  // name cancels.
  std::function<std::string(TAstroDocument&, int32_t& filterIndex)> SaveNameHook;
  std::function<void(TMessageKind, const std::string&, const std::string&)> MessageHook;
  std::function<bool(const std::string&, const std::string&)> ConfirmHook;

  TRecentFilesManager& Recent() { return *Recent_; }
  QString ConfigDir() const { return ConfigDir_; }

  // ---- IDocumentHost ----
  IImageWindow* CreateImageWindow(TAstroDocument& doc, double zoom, bool autoZoom) override;
  void RegisterDocument(TAstroDocument& doc) override;
  void UnregisterDocument(TAstroDocument& doc) override;
  void ShowError(const std::string& caption, const std::string& text) override;
  void ShowStatus(const std::string& text, int32_t milliseconds) override;
  // The mouse tools are in mask mode (rectangles go into the mask).
  bool MaskMode() const override;
  void DrawRectIntoMask(TAstroDocument& doc, const TPixelRect& rect) override;

 signals:
  // An image window painted a frame (after it was shown); for timing from outside.
  void ImageFramePainted();
  // A window came, went, or changed its caption: the tab strips follow.
  void TabsChanged();

 protected:
  void closeEvent(QCloseEvent* e) override;
  void dragEnterEvent(QDragEnterEvent* e) override;
  void dropEvent(QDropEvent* e) override;

 private:
  void BuildMenus();
  void BuildStatusLine();
  void RebuildWindowMenu();
  void OpenRemainingImages(const std::string& path, const TFormChild& first);
  bool SaveWithDialog(TFormChild& child, bool view);
  bool WriteDocument(TFormChild& child, const std::string& path, TWriterKind writer,
                     bool compressed);
  void RecentChosen(const QString& path);
  void ApplyToActive(const std::function<void(TFormChild&)>& f);

  QString ConfigDir_;
  QMdiArea* Mdi_ = nullptr;
  QLabel* LabInfo1_ = nullptr;
  QLabel* LabInfo2_ = nullptr;
  TRecentFilesManager* Recent_ = nullptr;
  QMenu* ReopenMenu_ = nullptr;
  QMenu* WindowMenu_ = nullptr;
  std::vector<QMenu*> Menus_;
  std::vector<std::pair<QString, std::function<void()>>> WindowCommands_;
  TQVMaster* Master_ = nullptr;
  TTabList<TFormChild*> Tabs_;
  QToolBar* ToolBar_ = nullptr;
  class TFormOptions* Options_ = nullptr;
  QAction* ZoomModeAction_ = nullptr;
  // Items enabled exactly when an image window exists.
  std::vector<QAction*> ImageActions_;
  QAction* SaveAction_ = nullptr;
  TStatusHold Hold_;
  QElapsedTimer Clock_;
  bool Abort_ = false;
  bool Closing_ = false;

 public:
  // The wheel zooms (menu "Zoom mode"); off: it scrolls, and zooms with Ctrl held.
  bool ZoomMode() const;
  void SetZoomMode(bool on);
  // "Full screen": the main window over the whole screen with the active image maximized;
  // again: back as it was.
  void ToggleFullScreen();
  // The toolbar's icons at the size of option IconsMode.
  void ApplyIconSize();
  // The MDI background from option DesktopBrightness.
  void ApplyDesktopBrightness();
  QToolBar* ToolBar() const { return ToolBar_; }
  // The options window (made on first use); rawPage opens it on "RAW images".
  void ShowOptions(bool rawPage);
  class TFormOptions* OptionsWindow();
};

}  // namespace orlu
