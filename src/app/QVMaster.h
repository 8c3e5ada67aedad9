// The command layer: every command that acts on images goes through here, whatever starts it
// (menu, toolbar, key, drop, a second start). It finds the document, checks the
// preconditions, asks the parameters, runs the operation with its undo snapshot and history
// entry, and refreshes the windows. Eight groups carry the commands by theme; each is
// reachable through its global reference while the layer exists.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "QVMasterRules.h"
#include "document/uAstroDoc.h"
#include "processing/uFilMan.h"

class QAction;
class QMenu;

namespace orlu {

class TFormMain;
class TFormChild;
class TAsk1f;
class TAsk2f;
class TAskManyf;
class TAskStr;
class TAskParams;
class TQVMaster;

// The main menus commands are added to.
enum class TMenuId { File, Edit, View, Image, Processing, Tools, Window, Help };

// ============================================================================ groups

// Base of the groups that walk over every image window: a snapshot of the windows (most
// recently activated first) taken by Collect; Next passes over windows that closed meanwhile.
class TQVMasterGroup {
 public:
  explicit TQVMasterGroup(TQVMaster& m) : M_(m) {}
  void Collect();
  // The next document of the walk; false after the last.
  bool Next();
  TAstroDocument* Current() const { return Current_; }
  TFormChild* CurrentWindow() const;

 protected:
  TQVMaster& M_;
  std::unique_ptr<TSnapshotWalk<QPointer<TFormChild>>> Walk_;
  QPointer<TFormChild> CurrentWindow_;
  TAstroDocument* Current_ = nullptr;
};

// Operations on one image. Every command taking a document acts on the active image when
// given nullptr, and does nothing without one or while a live filter window is open.
class TQVMasterImage {
 public:
  explicit TQVMasterImage(TQVMaster& m) : M_(m) {}

  void UndoRedo(TAstroDocument* doc);
  // The list of stored undo levels; the chosen one is restored.
  void UndoList(TAstroDocument* doc);
  // The list dialog; a test replaces it (lines → chosen 1-based level, 0 for cancel).
  std::function<int32_t(const std::vector<std::string>&)> UndoListHook;
  // 'S' integer, 'R' floating point, 'U' grayscale, 'T' colour.
  void DataFormat(TAstroDocument* doc, char kind);
  // A registered step by its code: asks its parameters, snapshot, run, history.
  TFilterStatus RunFilter(TAstroDocument* doc, int32_t code);
  // Rotations: 90° left (+90) or right (−90), 180°, or an asked angle.
  void Rotate(TAstroDocument* doc, double angle);
  void RotateAsked(TAstroDocument* doc);
  // factor 1 (1.5 × 1.5), 2, 3; 0 asks the factor and "Average".
  void Binning(TAstroDocument* doc, int32_t factor);
  void Resize(TAstroDocument* doc);
  void Crop(TAstroDocument* doc);
  // Asks the value when value <= 0; a value of 0 is never taken.
  void Normalization(TAstroDocument* doc, double value);
  void DeleteAstrometry(TAstroDocument* doc);
  void DeletePhotometry(TAstroDocument* doc);
  void HeaderComment(TAstroDocument* doc);
  // Steps of a history (".his") or macro (".mac") file replayed as one undo step.
  void ApplyStepsFile(TAstroDocument* doc, const std::string& path);
  // Steps (a macro page) replayed as one undo step; a step that fails restores the image
  // and says which step it was.
  void RunSteps(TAstroDocument* doc, std::vector<TIPFilter> steps);

  // ---- Clipboard ----
  // The selection (else the mask's bounds, else the whole image) into the internal
  // clipboard, and its picture through the visualization on the system clipboard.
  void Copy(TAstroDocument* doc);
  TAstroDocument* PasteAsNew();
  void PasteIntoSelection(TAstroDocument* doc);
  // The clipboard image centred on r (clipped), recorded as a paste.
  void PasteInto(TAstroDocument* doc, const TPixelRect& r);
  void EmptyClipboard();
  // A copy of the image a paste takes: the system clipboard's picture when this program did
  // not put it there, else the internal clipboard; nullptr when there is none.
  std::unique_ptr<TAImage> PasteSourceCopy() const;
  // The system clipboard holds a picture that this program did not put there.
  bool ForeignClipboardImage() const;
  bool CanPaste() const;
  TInternalClipboard& Clipboard() { return Clipboard_; }

  // ---- Files ----
  TAstroDocument* New(int32_t width, int32_t height, bool colour);
  void NewAsked();
  void Rename(TAstroDocument* doc);

 private:
  // Runs a prepared step, into a duplicate when duplicateFirst; the size check applies to
  // the result size when it is known (newW, newH > 0).
  // result receives the document that was changed.
  TFilterStatus RunGeometric(TAstroDocument& doc, TIPFilter& step, bool duplicateFirst,
                             int32_t newW, int32_t newH, TAstroDocument** result = nullptr);
  void AfterSizeChange(TAstroDocument& doc, int32_t oldW, int32_t oldH);
  // Deletes the astrometric or the photometric calibration as one undoable step.
  void DeleteCalibration(TAstroDocument* doc, bool astrometry);
  TQVMaster& M_;
  TInternalClipboard Clipboard_;
  bool UndoNoticeShown_ = false;
  // Marks the system clipboard's content as our own copy.
  uint64_t ClipboardSerial_ = 0;
};

// Operations over all image windows.
class TQVMasterImages : public TQVMasterGroup {
 public:
  using TQVMasterGroup::TQVMasterGroup;
  int32_t Count() const;
  void RefreshAll();
  TAstroDocument* FindByName(const std::string& name);
  // The second image of a two-image command: the other one of two without asking, else the
  // chooser; nullptr (after the notice) with fewer than two images or when cancelled.
  TAstroDocument* ChooseSecond(TAstroDocument* first, const std::string& caption);
  void SelectImage();
  void DeselectAll();
  // Close all: asks "Close all images ?" and closes without save questions; with save every
  // window asks its own question. False when a window stayed open.
  bool CloseAll(bool save);
  void SetAllWindowStates(Qt::WindowState state);
  void ToggleBlackBorder();
  bool BlackBorder() const { return BlackBorder_; }
  void ApplyBackground();
  // The chooser; a test replaces it (candidates → chosen one or nullptr).
  std::function<TAstroDocument*(const std::string&, const std::vector<TAstroDocument*>&)>
      ChooserHook;

 private:
  bool BlackBorder_ = false;
};

class TQVMasterAnnotation {
 public:
  explicit TQVMasterAnnotation(TQVMaster& m) : M_(m) {}
  void DeleteAll(TAstroDocument* doc);
  void CopyAll(TAstroDocument* doc);

 private:
  TQVMaster& M_;
};

class TQVMasterAnnotations : public TQVMasterGroup {
 public:
  using TQVMasterGroup::TQVMasterGroup;
  // Ends the annotation being edited (none selected) in every document.
  void FinishEditing();
  void ToggleShown();
};

class TQVMasterMask {
 public:
  explicit TQVMasterMask(TQVMaster& m) : M_(m) {}
  void Reset(TAstroDocument* doc);
  // A gray picture of the image's size becomes the mask (values up to 255 scaled by 257);
  // a picture of another size is resampled to the image. False with the box shown when the
  // file cannot be read.
  bool LoadFromFile(TAstroDocument* doc, const std::string& path);
  void LoadAsked(TAstroDocument* doc);

 private:
  TQVMaster& M_;
};

class TQVMasterLiveFilter {
 public:
  explicit TQVMasterLiveFilter(TQVMaster&) {}
  bool Open() const { return TLiveFilter::AnyOpen(); }
};

class TQVMasterModalCommand {
 public:
  explicit TQVMasterModalCommand(TQVMaster& m) : M_(m) {}
  // Asks "X , Y ?" and centres the view on that pixel.
  void SelectPoint(TAstroDocument* doc);
  // Asks a right ascension and declination and centres the view on that position; outside
  // the image the status line tells the pixel. Needs a solution.
  void SelectCoordinates(TAstroDocument* doc);

 private:
  bool CoordinatesAsked_ = false;
  void CentreOn(TAstroDocument& doc, int32_t x, int32_t y);

 public:

 private:
  TQVMaster& M_;
};

// Tool windows come from their own units; they register an opener here.
class TQVMasterTool {
 public:
  explicit TQVMasterTool(TQVMaster&) {}
  using TOpener = std::function<void(TAstroDocument*)>;
  void Register(const std::string& name, TOpener opener);
  // False when no tool of that name is registered.
  bool Open(const std::string& name, TAstroDocument* doc);

 private:
  std::vector<std::pair<std::string, TOpener>> Openers_;
};

// ============================================================================ the layer

class TQVMaster : public QObject, public IFilterHost {
  Q_OBJECT

 public:
  // Created once with the main window; makes the groups and the ask dialogs and adds the
  // commands to the main window's menus.
  explicit TQVMaster(TFormMain& main);
  ~TQVMaster() override;

  TFormMain& Main() { return Main_; }

  // ---- Documents ----
  int32_t ImageWindowCount() const;
  TAstroDocument* ActiveDocument() const;
  TAstroDocument* ActiveCalibratedDocument() const;
  // A given document stays (true); nullptr becomes the active one (true when there is one).
  bool ResolveDocument(TAstroDocument*& doc) const;
  TFormChild* ActiveImageWindow() const;
  TFormChild* WindowOf(const TAstroDocument* doc) const;
  bool LiveFilterOpen() const { return TLiveFilter::AnyOpen(); }
  // A document goes away: every tool window drops it (signal DocumentGone).
  void NotifyDocumentClosing(TAstroDocument& doc);

  // ---- Mouse mode (0 normal, 2 annotate, 3 mask) ----
  // Kept in the mouse tools' settings, which the image windows read.
  int32_t MouseMode() const;
  void SetMouseMode(int32_t mode);

  // ---- Commands of other units ----
  // Adds an item to a main menu (and to the image commands enabled only with an image when
  // needsImage); returns the item.
  QAction* AddCommand(TMenuId menu, const QString& caption, std::function<void()> run,
                      bool needsImage = true);

  // ---- Dialogs and boxes ----
  TAsk1f& Ask1() { return *Ask1_; }
  TAsk2f& Ask2() { return *Ask2_; }
  TAskManyf& AskMany() { return *AskMany_; }
  TAskStr& AskStr() { return *AskStr_; }
  TAskParams& Params() { return *Params_; }
  void Information(const std::string& caption, const std::string& text);
  void Error(const std::string& caption, const std::string& text);
  // OK and Cancel; true on OK.
  bool Confirm(const std::string& caption, const std::string& text);
  // Open dialog for one file; empty when cancelled. A test replaces it.
  std::function<std::string(const std::string& caption, const std::string& filter)> FileHook;
  std::string AskOpenFile(const std::string& caption, const std::string& filter);
  // The framework's context: this layer as host, the parameter dialog, the settings and
  // the operations (Registry, or the process-wide registry when nullptr).
  TFilterContext Context();
  const TFilterRegistry* Registry = nullptr;
  // The operation of a code is part of this build.
  bool Registered(int32_t code) const;

  // ---- IFilterHost ----
  std::vector<TAstroDocument*> OpenDocuments() override;
  TAstroDocument* ChooseDocument(std::string_view prompt,
                                 const std::vector<TAstroDocument*>& candidates) override;
  TAstroDocument* AdoptDocument(std::unique_ptr<TAstroDocument> doc) override;
  void ShowError(const std::string& caption, const std::string& text) override;
  void ShowNotice(const std::string& caption, const std::string& text) override;
  void SetBusy(bool busy) override;

  // ---- The groups ----
  TQVMasterImage* Image = nullptr;
  TQVMasterImages* Images = nullptr;
  TQVMasterAnnotation* Annotation = nullptr;
  TQVMasterAnnotations* Annotations = nullptr;
  TQVMasterMask* Mask = nullptr;
  TQVMasterLiveFilter* LiveFilter = nullptr;
  TQVMasterModalCommand* ModalCommand = nullptr;
  TQVMasterTool* Tool = nullptr;

  // Refreshes the document after a change made here: views, statistics, caption, menus.
  void Refresh(TAstroDocument& doc);
  void UpdateMenus();

 signals:
  void MouseModeChanged(int32_t oldMode, int32_t newMode);
  void DocumentGone(orlu::TAstroDocument* doc);

 private:
  void BuildCommands();
  void BuildToolbar();
  // Commands for every registered operation code that no dedicated item carries.
  void BuildOperationMenu(QMenu* menu);

  TFormMain& Main_;
  TAsk1f* Ask1_ = nullptr;
  TAsk2f* Ask2_ = nullptr;
  TAskManyf* AskMany_ = nullptr;
  TAskStr* AskStr_ = nullptr;
  TAskParams* Params_ = nullptr;
  int32_t BusyDepth_ = 0;
  QAction* UndoAction_ = nullptr;
  std::vector<std::pair<QAction*, char>> FormatActions_;
  QAction* PasteAction_ = nullptr;
  QAction* AnnotateAction_ = nullptr;
  QAction* HideAnnotationsAction_ = nullptr;
};

// The process-wide layer and its groups; nullptr while there is none.
TQVMaster* QVMaster();

}  // namespace orlu
