// Documents: one open image with its undo store, selection, file name, modified state and
// the link to its image window. Windows are reached through the small interfaces below,
// which the viewer implements with Qt and the tests with fakes; every rule here runs
// headless. Everything runs on the user-interface thread.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "annotate/uAnnotate.h"
#include "formats/uFiles.h"
#include "formula/ImaMask.h"
#include "image/ImaColor.h"

namespace orlu {

class TAstroDocument;
class TQVOptions;

// ============================================================================ windows

// What changed, for the windows bound to a document.
enum class TDocumentEvent : uint8_t {
  Caption,     // title (name or number)
  Views,       // image overlay, local zoom, 3-D view, histogram, main window's panels
  Statistics,  // statistics window
  Stars,       // star list windows
  Header,      // header window
  History,     // processing-history window
};

// A window bound to a document (tool windows, and the image window).
class IDocumentObserver {
 public:
  virtual void DocumentChanged(TAstroDocument& doc, TDocumentEvent event) = 0;
  // The document is going away: drop every reference to it. Called once per binding.
  virtual void DocumentClosing(TAstroDocument& doc) = 0;

 protected:
  ~IDocumentObserver() = default;
};

// The header window's edits that are not yet in the image's header.
class IHeaderEdits {
 public:
  virtual bool HasPendingEdits() const = 0;
  // Writes the pending edits into header; they are no longer pending afterwards.
  virtual void ApplyPendingEdits(TFitsStrings& header) = 0;
  virtual void DiscardPendingState() = 0;

 protected:
  ~IHeaderEdits() = default;
};

// The document's image window. It receives every event of its document first.
class IImageWindow : public IDocumentObserver {
 public:
  virtual double Zoom() const = 0;
  virtual void SetThumbSize(int32_t size) = 0;
  virtual bool ThumbnailShown() const = 0;
  virtual void SetThumbnailShown(bool shown) = 0;
  // Shows the window; a maximized layout stays maximized.
  virtual void ShowWindow() = 0;
  // The image size changed: rebuild the view at this zoom.
  virtual void RecreateView(double zoom) = 0;
  // Closes the window; the viewer destroys the document afterwards.
  virtual void CloseWindow() = 0;

 protected:
  ~IImageWindow() = default;
};

// The main window as documents see it.
class IDocumentHost {
 public:
  // A new image window for doc, or nullptr when it could not be initialised (then already
  // released). The window belongs to the main window.
  virtual IImageWindow* CreateImageWindow(TAstroDocument& doc, double zoom, bool autoZoom) = 0;
  virtual void RegisterDocument(TAstroDocument& doc) = 0;
  virtual void UnregisterDocument(TAstroDocument& doc) = 0;
  // Modal error box; caption and text are already translated.
  virtual void ShowError(const std::string& caption, const std::string& text) = 0;
  // Text in the main window's status line for the given time.
  virtual void ShowStatus(const std::string& text, int32_t milliseconds) = 0;
  // The mouse is in mask mode: rectangles go into the mask instead of the selection.
  virtual bool MaskMode() const = 0;
  // Draws a rectangle into doc's mask with the current mask tool.
  virtual void DrawRectIntoMask(TAstroDocument& doc, const TPixelRect& rect) = 0;

 protected:
  ~IDocumentHost() = default;
};

// The process-wide main window; nullptr when there is none (orlu-cli, tests).
void SetDocumentHost(IDocumentHost* host);
IDocumentHost* DocumentHost();

// ============================================================================ selection

struct TPoint32 {
  int32_t X = 0;
  int32_t Y = 0;
  bool operator==(const TPoint32&) const = default;
};

// Selections remembered for later dialogs: the last four rectangles (newest first) and the
// last line. Run-time values, not saved.
struct TSelectionMemory {
  std::vector<TPixelRect> Rects;
  TPoint32 Line[2];
  bool HasLine = false;
};
TSelectionMemory& RememberedSelection();

// ============================================================================ undo

// Depth of the undo store: option UndoLevels64 held in 1 … kMaxUndoLevels.
inline constexpr int32_t kMaxUndoLevels = 32;
int32_t UndoLevels(const TQVOptions& options);

// Owned image snapshots, newest first. A slot is empty (nullptr) only inside a multi-level
// undo. The document runs the undo algorithms; this is their store.
class TImageUndoList {
 public:
  int32_t Count() const { return int32_t(Items_.size()); }
  bool Empty() const { return Items_.empty(); }
  // Snapshot i; nullptr outside 0 … Count()-1 or for an emptied slot.
  TAImage* Item(int32_t i);
  const TAImage* Item(int32_t i) const;
  void InsertFront(std::unique_ptr<TAImage> image);
  // Removes entry i and returns it (nullptr outside).
  std::unique_ptr<TAImage> Take(int32_t i);
  // Takes the image out of slot i; the slot stays, empty.
  std::unique_ptr<TAImage> Release(int32_t i);
  // Moves entry i to index 0 (nothing outside).
  void MoveToFront(int32_t i);
  // Frees the first n entries.
  void RemoveFront(int32_t n);
  void Clear() { Items_.clear(); }

 private:
  std::vector<std::unique_ptr<TAImage>> Items_;
};

// ============================================================================ document

class TAstroDocument {
 public:
  // Takes an image (never nullptr).
  explicit TAstroDocument(std::unique_ptr<TAImage> image);
  // Tells the bound windows (the image window too, unless released) that the document goes
  // away, and leaves the main window.
  ~TAstroDocument();
  TAstroDocument(const TAstroDocument&) = delete;
  TAstroDocument& operator=(const TAstroDocument&) = delete;

  // ---- Creation (nullptr on failure) ----
  // A document with a w × h image. Out of memory: unless quiet, the main window shows
  // "Out of memory" + CR + "Hint: Close some images" in a box titled "Error".
  static std::unique_ptr<TAstroDocument> NewDocument(int32_t w, int32_t h, bool colour,
                                                     bool quiet);
  // Takes ownership of a loaded image; nullptr only when image is nullptr.
  static std::unique_ptr<TAstroDocument> FromImage(std::unique_ptr<TAImage> image);
  // Loads image frameIndex of path through the format dispatch, applies stored
  // visualization keywords, reads the processing history from the header, names the
  // document (frame suffix for frames above 1). On failure error gets the "Open" box text.
  // The window is the caller's step (CreateWindow with option Autozoom, then Show).
  static std::unique_ptr<TAstroDocument> OpenFile(const std::string& path, int32_t frameIndex,
                                                  std::string* error);
  // Creates the image window through the main window: throws "Create view failed" when the
  // document has one; false (out-of-memory box shown) when the window failed or there is
  // no main window. On success the document is registered and numbered.
  bool CreateWindow(double zoom, bool autoZoom);
  // Caption, views and the window shown.
  void Show();
  // A w × h document of the same colour kind with this one's header, visualization, world
  // coordinates, calibration, history, UseWcs, UsePoly and file name; with a window when
  // this one has one (same zoom and thumbnail panel). Quiet on failure.
  std::unique_ptr<TAstroDocument> DeriveNew(int32_t w, int32_t h);
  // A full copy with selection and mask, a duplicate name, marked modified and shown.
  std::unique_ptr<TAstroDocument> Duplicate();

  // ---- Naming ----
  const std::string& FileName() const { return FileName_; }
  void SetFileName(std::string path);
  // The name after the last "/".
  std::string FileNamePart() const;
  // Generated name of kind 0 … 9 ("NoName01.fit", "Flat01.fit", ...) in the current folder;
  // names that exist on disk are passed over.
  void MakeName(int32_t kind);
  // Duplicate name ("M31.fit" → "M31-02.fit"): unique among the names given out while
  // windows are open and on disk; an untitled name when none is free or the name is
  // unsuitable.
  void MakeDuplicateName();
  // path-without-extension + "_" + k + extension for k > 1, else path.
  static std::string FrameFileName(const std::string& path, int32_t k);
  // Replaces the name part.
  void Rename(std::string_view name);
  // "#" + Number + " " + name part.
  std::string Title() const;
  // Name part with its extension replaced by ext ("." added when ext has none).
  std::string SuggestedFileName(std::string_view ext) const;
  // A real path (it has a folder) whose extension is not a FITS one.
  bool IsForeignFile() const;
  // Forgets the duplicate names given out so far (no image window open).
  static void ClearDuplicateNames();
  // Test hook: every name counter back to 0 and the duplicate names forgotten.
  static void ResetNaming();

  // ---- The image ----
  TAImage& Image() { return *Image_; }
  const TAImage& Image() const { return *Image_; }
  // Puts a new image in place of the current one: it takes the old one's SerialId,
  // header, visualization and history; the old one is freed; mask reset; geometry cards
  // rewritten; the view re-created when the size changed; views refreshed.
  void ReplaceImage(std::unique_ptr<TAImage> image, bool refreshStats);
  // Fits the mask to the image size and redraws it.
  void ResetMask();

  // ---- Saving ----
  // The document's part of a data save: pending header edits, the history cards (option
  // SaveHistory) and the save-time keywords.
  void PrepareSave(const TQVOptions& options);
  void WriteHistoryToHeader();
  void WriteSaveKeywords(const TQVOptions& options);
  // After a successful data save: name, caption and tool windows, unmodified.
  void AfterSave(const std::string& path);
  // PrepareSave, then the writer; a data writer's success runs AfterSave. A view writer
  // (".bmp", ".jpg") leaves name and modified state to the caller (ViewSaveIsLossless);
  // the 8-bit ones draw the document's annotations (texts by painter, which they then
  // need) and extraMarks (the equatorial grid when it is saved) over the view.
  TSaveResult SaveData(const std::string& path, TWriterKind writer, bool compressed,
                       const TQVOptions& options, TTileMethod method = TTileMethod::ByRule,
                       TTextPainter* painter = nullptr,
                       const std::function<void(TImg32&)>& extraMarks = {});

  // ---- Modified state ----
  bool IsModified() const;
  void SetModified() { Image_->Modified = 1; }
  void MarkUnmodified();

  // ---- Size and memory ----
  int32_t Width() const { return Image_->Width(); }
  int32_t Height() const { return Image_->Height(); }
  int32_t CentreX() const { return Width() / 2; }
  int32_t CentreY() const { return Height() / 2; }
  int32_t MinDimension() const { return std::min(Width(), Height()); }
  bool IsColour() const { return Image_->IsColour(); }
  bool IsFloat() const { return Image_->IsFloat != 0; }
  bool HasWcs() const { return Image_->HasWcs != 0; }
  bool HasPoly() const { return Image_->HasPoly != 0; }
  // Image size in millions of bytes, rounded as the status line shows it.
  int64_t MemoryMB() const { return MemoryMBOf(Width(), Height(), IsColour()); }
  static int64_t MemoryMBOf(int32_t w, int32_t h, bool colour);

  // ---- Statistics and notifications ----
  void RefreshStats() { Image_->RefreshStatistics(); }
  // RefreshStats, views and tool windows refreshed, modified.
  void AfterChange();
  void RefreshCaption() { Notify(TDocumentEvent::Caption); }
  void RefreshViews() { Notify(TDocumentEvent::Views); }
  void RefreshStatistics() { Notify(TDocumentEvent::Statistics); }
  void RefreshStars() { Notify(TDocumentEvent::Stars); }
  void RefreshHeader() { Notify(TDocumentEvent::Header); }
  void RefreshHistory() { Notify(TDocumentEvent::History); }
  void Notify(TDocumentEvent event);
  // Binds a window (once); Detach unbinds without the closing call.
  void Attach(IDocumentObserver* observer);
  void Detach(IDocumentObserver* observer);
  void SetHeaderEditor(IHeaderEdits* editor) { HeaderEditor_ = editor; }
  // Tells every bound window to drop the document, then closes the image window.
  void Close();
  // The image window goes away on its own (before the document): it is forgotten and gets
  // no further calls.
  void ReleaseWindow();

  // ---- Observation ----
  // The image's observation JD + option FITSTimeOffset / 24; 0 without a usable date.
  double ObservationJD() const;
  // The same from DATE-LOC.
  double LocalJD() const;
  // The solution's centre, else the header's pointing; false and -1, -1 when neither.
  bool Pointing(double& raDeg, double& decDeg) const;
  // Outside value: the background (option omBackground) or option OutSideValue.
  void ApplyOutsideValue();

  // ---- Selection (every setter clamps to the image) ----
  uint8_t SelectionKind() const { return SelectionKind_; }  // 0 none, 1 rectangle, 2 line
  void SetSelectionKind(int32_t kind);
  const TPixelRect& SelectionRect() const { return SelectionRect_; }
  const TPoint32* SelectionLine() const { return SelectionLine_; }
  // Rectangle selection between two corners (nothing when they are equal).
  void SelectRect(int32_t x1, int32_t y1, int32_t x2, int32_t y2);
  void SelectCentred(int32_t a, int32_t b);
  // Line selection (nothing when both ends are equal).
  void SelectLine(TPoint32 p1, TPoint32 p2);
  // The rectangle for kind 1 (within the image), else the whole image.
  TPixelRect SelectionBounds() const;
  // The rectangle for kind 1, else the active mask's bounds, else the whole image.
  TPixelRect SelectionOrMaskBounds() const;
  std::string SelectionText() const;

  // ---- Geometry ----
  // With image the image is flipped (solution with withWcs, active mask with withMask);
  // without it only the solution and the mask are mirrored. Marked modified.
  void Flip(bool horizontal, bool vertical, bool withWcs, bool withMask, bool image);

  // ---- Undo ----
  int32_t Number() const { return Number_; }
  IImageWindow* ImageWindow() const { return ImageWindow_; }
  IDocumentHost* MainWindow() const { return MainWindow_; }
  const TImageUndoList& Undo() const { return Undo_; }
  const TAImage* SwapImage() const { return SwapImage_.get(); }
  int32_t SnapshotCount() const { return Undo_.Count(); }
  bool CanUndo() const { return SwapImage_ || !Undo_.Empty(); }
  // The swap image, else the newest snapshot: the read-only source of a running
  // operation. Throws "Undo TempUndoImage" when there is neither.
  const TAImage& UndoImage() const;
  bool UndoSameSize() const;
  bool UndoSameKind() const;
  // Copies the image into the store before it is changed. Out of memory: the error is
  // raised and store and swap slot are as before the call.
  void TakeSnapshot();
  // Toggles between the current image and the undo image; false (nothing done) when there
  // is nothing to undo.
  bool UndoRedo();
  // Shows the undo state once (UndoRedo, views, UndoRedo) when it has the image's size.
  void Compare();
  // Cancels an operation: the newest snapshot back into the image, then freed. Throws
  // "Undo restore and free: NIL" / "...: SwapImage" when that is not the undo image.
  void RestoreAndFree();
  // Only the pixels of the undo image back into the image (same size).
  void RestorePixels();
  // Goes back k snapshots at once; a following UndoRedo returns to the state before.
  void UndoToLevel(int32_t k);
  // Frees the swap image and the newest snapshot.
  void DropSnapshot();
  // k = 0 the image's history, 1 … SnapshotCount()-1 that of snapshot k-1; else nullptr.
  const THistoryList* HistoryAtLevel(int32_t k) const;

  // ---- Flags ----
  uint8_t UseWcs = 1;          // star measurements compute sky coordinates
  uint8_t UsePoly = 1;         // star measurements use the calibration
  uint8_t AstrometryOpen = 0;  // the astrometric solution window works on this document
  uint8_t PhotometryOpen = 0;  // the photometric calibration window works on it
  // The annotations; their modified flag is part of the document's modified state.
  TAnnotationList Annotations;
  // Not yet here: the measured stars and marked points (with PointsChanged); they join
  // when their lists exist.

 private:
  void SetSelectionRectClamped(const TPixelRect& r);
  void ClampLine(TPoint32& p) const;
  TPixelRect WholeImage() const;
  void ForgetWindow();

  int32_t Number_ = 0;
  uint8_t SelectionKind_ = 0;
  TImageUndoList Undo_;
  std::unique_ptr<TAImage> SwapImage_;
  std::unique_ptr<TAImage> Image_;
  std::string FileName_;
  IImageWindow* ImageWindow_ = nullptr;
  IDocumentHost* MainWindow_ = nullptr;
  TPixelRect SelectionRect_;
  TPoint32 SelectionLine_[2];
  IHeaderEdits* HeaderEditor_ = nullptr;
  std::vector<IDocumentObserver*> Observers_;
  bool Closed_ = false;
};

}  // namespace orlu
