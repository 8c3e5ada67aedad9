#include "document/uAstroDoc.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <new>
#include <stdexcept>
#include <system_error>

#include "astrometry/ImaWCS.h"
#include "base/EOrluError.h"
#include "base/OrluMath.h"
#include "base/TextNumbers.h"
#include "base/Translate.h"
#include "formats/LoadStatus.h"
#include "options/uQuorvane.h"
#include "visual/ImaVisu.h"

namespace orlu {

namespace {

// Process-wide document state; touched only from the user-interface thread.
struct TDocumentState {
  IDocumentHost* Host = nullptr;
  int32_t LastNumber = 0;
  int32_t OpenWindows = 0;
  std::array<int32_t, 10> NameCounters{};
  std::vector<std::string> DuplicateNames;
  TSelectionMemory Selection;
};

TDocumentState& State() {
  static TDocumentState state;
  return state;
}

constexpr std::array<const char*, 10> kNameWords = {
    "NoName", "Dark", "Flat", "FDark", "Bias", "Mask", "Preprocessing", "Mosaic", "Trichromy",
    "LRGB"};

// Kinds 1 to 4 are file-name conventions of calibration frames and stay in English.
std::string NameWord(int32_t kind) {
  const char* word = kNameWords[size_t(kind)];
  return kind >= 1 && kind <= 4 ? std::string(word) : Tr(word);
}

std::string TwoDigits(int32_t n) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%.2d", int(n));
  return buf;
}

bool ExistsOnDisk(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::path(path), ec);
}

size_t NameStart(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? 0 : slash + 1;
}

// Index of the extension's dot within a file name; npos when there is none (a leading dot
// is part of the name).
size_t ExtensionDot(std::string_view name) {
  const size_t dot = name.rfind('.');
  return dot == std::string_view::npos || dot == 0 ? std::string_view::npos : dot;
}

void ShowOutOfMemory(IDocumentHost* host) {
  if (host) host->ShowError(Tr("Error"), Tr("Out of memory") + "\rHint: Close some images");
}

[[noreturn]] void ThrowOutOfMemory() { throw EOrluError(kOutOfMemoryText); }

// Full copy (with the palette, which CopyTo leaves out) into an image of the same size and
// kind. Every piece of memory is taken before dst changes: false, dst as it was, when
// memory ran short.
bool CopyIntoSameSize(const TAImage& src, TAImage& dst) {
  const bool srcMask = src.Mask->HasStorage();
  bool newMask = false;
  if (srcMask && !dst.Mask->HasStorage()) {
    if (!dst.Mask->Allocate()) return false;
    newMask = true;
  }
  TFitsStrings header;
  THistoryList history;
  try {
    header = src.Header;
    history = src.History;
  } catch (const std::bad_alloc&) {
    if (newMask) dst.Mask->Release();
    return false;
  }
  src.CopySettings(dst, false, true, true);
  dst.Visu.Palette.CopyFrom(src.Visu.Palette);
  dst.Header = std::move(header);
  dst.History = std::move(history);
  dst.Modified = src.Modified;
  dst.Status = src.Status;
  src.CopyPixels(dst);
  if (srcMask) {
    std::memcpy(dst.Mask->Weights(), src.Mask->Weights(),
                size_t(src.Mask->Count) * sizeof(uint16_t));
    dst.Mask->InvalidateBounds();
  } else {
    dst.Mask->Release();
  }
  return true;
}

// A new full copy of src, or nullptr when memory ran short.
std::unique_ptr<TAImage> FreshCopy(const TAImage& src) {
  try {
    auto img = std::make_unique<TAImage>();
    if (!img->Resize(src.Width(), src.Height(), src.IsColour())) return nullptr;
    if (!CopyIntoSameSize(src, *img)) return nullptr;
    return img;
  } catch (const EOrluError&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

// Keeps an existing card when the option text is empty: an unset option is no value.
void SetStringOption(TFitsStrings& h, std::string_view key, const std::string& value,
                     bool replace) {
  if (value.empty() && h.HasKey(key)) return;
  h.SetString(key, value, replace);
}

std::string RectCoordinates(const TPixelRect& r) {
  std::string s = "(";
  s += std::to_string(r.Left) + ", " + std::to_string(r.Bottom) + ") - (";
  s += std::to_string(r.Right) + ", " + std::to_string(r.Top) + ")";
  return s;
}

}  // namespace

// ============================================================================ windows

void SetDocumentHost(IDocumentHost* host) { State().Host = host; }
IDocumentHost* DocumentHost() { return State().Host; }

TSelectionMemory& RememberedSelection() { return State().Selection; }

// ============================================================================ undo list

int32_t UndoLevels(const TQVOptions& options) {
  return Clamp<int32_t>(options.Misc.UndoLevels64, 1, kMaxUndoLevels);
}

TAImage* TImageUndoList::Item(int32_t i) {
  return i < 0 || i >= Count() ? nullptr : Items_[size_t(i)].get();
}

const TAImage* TImageUndoList::Item(int32_t i) const {
  return i < 0 || i >= Count() ? nullptr : Items_[size_t(i)].get();
}

void TImageUndoList::InsertFront(std::unique_ptr<TAImage> image) {
  Items_.insert(Items_.begin(), std::move(image));
}

std::unique_ptr<TAImage> TImageUndoList::Take(int32_t i) {
  if (i < 0 || i >= Count()) return nullptr;
  std::unique_ptr<TAImage> img = std::move(Items_[size_t(i)]);
  Items_.erase(Items_.begin() + i);
  return img;
}

std::unique_ptr<TAImage> TImageUndoList::Release(int32_t i) {
  if (i < 0 || i >= Count()) return nullptr;
  return std::move(Items_[size_t(i)]);
}

void TImageUndoList::MoveToFront(int32_t i) {
  if (i <= 0 || i >= Count()) return;
  std::rotate(Items_.begin(), Items_.begin() + i, Items_.begin() + i + 1);
}

void TImageUndoList::RemoveFront(int32_t n) {
  n = Clamp<int32_t>(n, 0, Count());
  Items_.erase(Items_.begin(), Items_.begin() + n);
}

// ============================================================================ document

TAstroDocument::TAstroDocument(std::unique_ptr<TAImage> image) : Image_(std::move(image)) {
  if (!Image_) throw std::invalid_argument("TAstroDocument without an image");
}

TAstroDocument::~TAstroDocument() {
  const std::vector<IDocumentObserver*> observers = std::move(Observers_);
  if (!Closed_)
    for (IDocumentObserver* o : observers) o->DocumentClosing(*this);
  if (ImageWindow_) ImageWindow_->DocumentClosing(*this);
  ForgetWindow();
}

void TAstroDocument::ForgetWindow() {
  if (!ImageWindow_) return;
  ImageWindow_ = nullptr;
  if (MainWindow_) MainWindow_->UnregisterDocument(*this);
  TDocumentState& s = State();
  if (--s.OpenWindows <= 0) {
    s.OpenWindows = 0;
    s.DuplicateNames.clear();
  }
}

void TAstroDocument::ReleaseWindow() { ForgetWindow(); }

std::unique_ptr<TAstroDocument> TAstroDocument::NewDocument(int32_t w, int32_t h, bool colour,
                                                            bool quiet) {
  try {
    auto img = std::make_unique<TAImage>();
    if (!img->Resize(w, h, colour)) ThrowOutOfMemory();
    // Fresh pixel memory is uninitialised; a new image starts black.
    img->Fill(0.0f);
    return std::make_unique<TAstroDocument>(std::move(img));
  } catch (const std::exception&) {
    if (!quiet) ShowOutOfMemory(DocumentHost());
    return nullptr;
  }
}

std::unique_ptr<TAstroDocument> TAstroDocument::FromImage(std::unique_ptr<TAImage> image) {
  if (!image) return nullptr;
  return std::make_unique<TAstroDocument>(std::move(image));
}

std::unique_ptr<TAstroDocument> TAstroDocument::OpenFile(const std::string& path,
                                                         int32_t frameIndex,
                                                         std::string* error) {
  std::unique_ptr<TAImage> img = OpenImageFile(path, frameIndex, error);
  if (!img) return nullptr;
  std::unique_ptr<TAstroDocument> doc = FromImage(std::move(img));
  TAImage& image = doc->Image();
  if (image.Status & kStatusFitsHeader) {
    doc->Annotations.ReadFromHeader(image.Header);  // a bad card line ends the list there
    if (image.Header.HasHistory()) {
      image.History.Clear();
      image.History.AddRecordLines(image.Header.ReadHistory());
    }
  }
  doc->FileName_ = FrameFileName(path, frameIndex);
  return doc;
}

bool TAstroDocument::CreateWindow(double zoom, bool autoZoom) {
  if (ImageWindow_) throw EOrluError("Create view failed");
  IDocumentHost* host = DocumentHost();
  IImageWindow* window = host ? host->CreateImageWindow(*this, zoom, autoZoom) : nullptr;
  if (!window) {
    ShowOutOfMemory(host);
    return false;
  }
  ImageWindow_ = window;
  MainWindow_ = host;
  window->SetThumbSize(Options().Image.ThumbSize);
  host->RegisterDocument(*this);
  TDocumentState& s = State();
  Number_ = ++s.LastNumber;
  ++s.OpenWindows;
  return true;
}

void TAstroDocument::Show() {
  RefreshCaption();
  RefreshViews();
  if (ImageWindow_) ImageWindow_->ShowWindow();
}

std::unique_ptr<TAstroDocument> TAstroDocument::DeriveNew(int32_t w, int32_t h) {
  std::unique_ptr<TAstroDocument> doc = NewDocument(w, h, IsColour(), true);
  if (!doc) return nullptr;
  TAImage& dst = doc->Image();
  try {
    // Header with the geometry cards rewritten for the new size.
    Image_->CopySettings(dst, true, true, true);
    dst.Visu.Palette.CopyFrom(Image_->Visu.Palette);
    Image_->CopyHistory(dst);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  doc->UseWcs = UseWcs;
  doc->UsePoly = UsePoly;
  doc->FileName_ = FileName_;
  if (ImageWindow_) {
    if (!doc->CreateWindow(ImageWindow_->Zoom(), false)) return nullptr;
    if (ImageWindow_->ThumbnailShown()) doc->ImageWindow_->SetThumbnailShown(true);
  }
  return doc;
}

std::unique_ptr<TAstroDocument> TAstroDocument::Duplicate() {
  std::unique_ptr<TAstroDocument> doc = DeriveNew(Width(), Height());
  if (!doc) return nullptr;
  TAImage& dst = doc->Image();
  if (!CopyIntoSameSize(*Image_, dst)) {
    ShowOutOfMemory(DocumentHost());
    return nullptr;
  }
  Annotations.CopyTo(doc->Annotations);
  // Not yet here: the stars and marked points, copied once their lists exist.
  doc->SelectionKind_ = SelectionKind_;
  doc->SelectionRect_ = SelectionRect_;
  doc->SelectionLine_[0] = SelectionLine_[0];
  doc->SelectionLine_[1] = SelectionLine_[1];
  doc->MakeDuplicateName();
  dst.Modified = 1;
  doc->ResetMask();
  doc->RefreshStats();
  if (doc->ImageWindow_) {
    doc->Show();
    if (ImageWindow_ && ImageWindow_->ThumbnailShown())
      doc->ImageWindow_->SetThumbnailShown(true);
  }
  return doc;
}

// ---------------------------------------------------------------------------- naming

void TAstroDocument::SetFileName(std::string path) {
  FileName_ = std::move(path);
  RefreshCaption();
}

std::string TAstroDocument::FileNamePart() const { return FileName_.substr(NameStart(FileName_)); }

void TAstroDocument::MakeName(int32_t kind) {
  if (kind < 0 || kind > 9) kind = 0;
  TDocumentState& s = State();
  const std::string folder = FileName_.substr(0, NameStart(FileName_));
  const std::string word = NameWord(kind);
  std::string name;
  // A generated name never points at an existing file; after a full round of the counter
  // the last name is taken (the save dialog still asks before overwriting).
  for (int32_t tries = 0; tries < 100; ++tries) {
    const int32_t n = s.NameCounters[size_t(kind)] + 1;
    s.NameCounters[size_t(kind)] = n % 100;
    name = word + TwoDigits(n) + ".fit";
    if (!ExistsOnDisk(folder + name)) break;
  }
  SetFileName(folder + name);
}

void TAstroDocument::MakeDuplicateName() {
  const std::string folder = FileName_.substr(0, NameStart(FileName_));
  const std::string name = FileNamePart();
  const size_t firstDot = name.find('.');
  // Positions in the rules count from 1: the first dot must not stand before position 3.
  if (name.size() <= 4 || firstDot == std::string::npos || firstDot < 2 ||
      name.find(Tr("NoName")) != std::string::npos) {
    MakeName(0);
    return;
  }
  TDocumentState& s = State();
  for (int32_t i = 1; i <= 100; ++i) {
    std::string candidate = name;
    int32_t b = 0;
    const size_t dash = candidate.rfind('-');
    const size_t dot = candidate.rfind('.');
    if (dash != std::string::npos && dash >= 1 && dot != std::string::npos && dot == dash + 3) {
      const char c1 = candidate[dash + 1], c2 = candidate[dash + 2];
      if (c1 >= '0' && c1 <= '9' && c2 >= '0' && c2 <= '9') {
        const int32_t v = (c1 - '0') * 10 + (c2 - '0');
        if (v > 0) {
          b = v;
          candidate.erase(dash, 3);
        }
      }
    }
    const size_t insertAt = candidate.rfind('.');
    candidate.insert(insertAt, std::string(1, '-') + TwoDigits(std::max((i + b) % 100, 2)));
    const bool given = std::find(s.DuplicateNames.begin(), s.DuplicateNames.end(), candidate) !=
                       s.DuplicateNames.end();
    if (!given && !ExistsOnDisk(folder + candidate)) {
      s.DuplicateNames.push_back(candidate);
      SetFileName(folder + candidate);
      return;
    }
  }
  MakeName(0);
}

std::string TAstroDocument::FrameFileName(const std::string& path, int32_t k) {
  if (k <= 1) return path;
  const size_t start = NameStart(path);
  const size_t dot = ExtensionDot(std::string_view(path).substr(start));
  std::string suffix = "_";
  suffix += std::to_string(k);
  if (dot == std::string::npos) return path + suffix;
  return path.substr(0, start + dot) + suffix + path.substr(start + dot);
}

void TAstroDocument::Rename(std::string_view name) {
  SetFileName(FileName_.substr(0, NameStart(FileName_)) + std::string(name));
}

std::string TAstroDocument::Title() const {
  std::string title = "#";
  title += std::to_string(Number_) + " " + FileNamePart();
  return title;
}

std::string TAstroDocument::SuggestedFileName(std::string_view ext) const {
  std::string name = FileNamePart();
  const size_t dot = ExtensionDot(name);
  if (dot != std::string::npos) name.erase(dot);
  if (ext.empty() || ext.front() != '.') name += '.';
  return name + std::string(ext);
}

bool TAstroDocument::IsForeignFile() const {
  return FileName_.find('/') != std::string::npos &&
         !HasExtension(FileName_, {".fit", ".fits", ".fts", ".fz"});
}

void TAstroDocument::ClearDuplicateNames() { State().DuplicateNames.clear(); }

void TAstroDocument::ResetNaming() {
  State().NameCounters.fill(0);
  State().DuplicateNames.clear();
}

// ---------------------------------------------------------------------------- image

void TAstroDocument::ReplaceImage(std::unique_ptr<TAImage> image, bool refreshStats) {
  if (!image || image.get() == Image_.get()) return;
  image->SerialId = Image_->SerialId;
  image->Header = Image_->Header;
  image->Visu.CopyFrom(Image_->Visu);
  image->Visu.Palette.CopyFrom(Image_->Visu.Palette);
  Image_->CopyHistory(*image);
  const bool sizeChanged = !image->SameSize(*Image_, false);
  Image_ = std::move(image);
  ResetMask();
  if (refreshStats) RefreshStats();
  Image_->Header.SetGeometry(Width(), Height(), IsColour(), 32);
  if (sizeChanged && ImageWindow_) ImageWindow_->RecreateView(ImageWindow_->Zoom());
  RefreshViews();
}

void TAstroDocument::ResetMask() {
  TAMask& mask = *Image_->Mask;
  if (mask.Width != Width() || mask.Height != Height()) mask.SetSize(Width(), Height());
  mask.InvalidateBounds();
  RefreshViews();
}

// ---------------------------------------------------------------------------- saving

void TAstroDocument::PrepareSave(const TQVOptions& options) {
  // The header window's text first, so the cards written below are not edited away.
  if (HeaderEditor_ && HeaderEditor_->HasPendingEdits())
    HeaderEditor_->ApplyPendingEdits(Image_->Header);
  if (options.File.SaveHistory) WriteHistoryToHeader();
  WriteSaveKeywords(options);
}

void TAstroDocument::WriteHistoryToHeader() {
  const std::vector<std::string> lines = Image_->History.RecordLines();
  if (lines.empty()) return;
  Image_->Header.DeleteHistory();
  Image_->Header.WriteHistory(lines);
}

void TAstroDocument::WriteSaveKeywords(const TQVOptions& options) {
  const TFileOptions& f = options.File;
  const TObservatoryOptions& obs = options.Observatory;
  TAImage& img = *Image_;
  TFitsStrings& h = img.Header;
  const bool replace = !f.DontOverwriteKeys;
  if (f.AddObsKeysOnSave) {
    SetStringOption(h, "ORIGIN", obs.Origin, replace);
    SetStringOption(h, "OBSERVER", obs.Observer, replace);
    h.SetSite(obs.Lat, obs.Lon, replace);
  }
  if (f.AddInsKeysOnSave) {
    SetStringOption(h, "TELESCOP", obs.Telescope, replace);
    h.SetReal("DIAMETER", replace, obs.Diameter);
    h.SetReal("FOCALLEN", replace, obs.Focal);
    SetStringOption(h, "INSTRUME", obs.Camera, replace);
  }
  if (f.AddPolyKeys) img.StoreWcsToHeader();
  WriteVisuKeys(img, f.AddVisuKeys);
  if (f.RowOrderFITS) h.SetString("ROWORDER", "BOTTOM-UP", true);
  if (f.AddCreatorKey && !h.HasKey("CREATOR")) h.SetString("CREATOR", "OrluFV 4.0", true);
  // An emptied list removes the old cards only when it was changed; an untouched empty
  // list leaves cards it could not parse alone.
  if (!Annotations.IsEmpty() || Annotations.Modified) Annotations.WriteToHeader(h);
}

void TAstroDocument::AfterSave(const std::string& path) {
  FileName_ = path;
  MarkUnmodified();
  RefreshCaption();
  RefreshHeader();
  RefreshHistory();
}

TSaveResult TAstroDocument::SaveData(const std::string& path, TWriterKind writer,
                                     bool compressed, const TQVOptions& options,
                                     TTileMethod method, TTextPainter* painter,
                                     const std::function<void(TImg32&)>& extraMarks) {
  PrepareSave(options);
  const TAnnParams params = TAnnParams::ForImage(*Image_, FileNamePart());
  TViewMarks marks;
  marks.Annotations = &Annotations;
  marks.Params = &params;
  marks.Painter = painter;
  marks.Extra = extraMarks;
  TSaveResult r = SaveImageFile(*Image_, path, writer, compressed, options, method, &marks);
  const bool dataWriter = writer == TWriterKind::FitsData || writer == TWriterKind::PngData ||
                          writer == TWriterKind::TiffData || writer == TWriterKind::TextData ||
                          writer == TWriterKind::RawFloat;
  if (r.Status == TSaveStatus::Written && dataWriter) AfterSave(path);
  return r;
}

// ---------------------------------------------------------------------------- state

bool TAstroDocument::IsModified() const {
  return Image_->Modified != 0 || Annotations.Modified ||
         (HeaderEditor_ && HeaderEditor_->HasPendingEdits());
}

void TAstroDocument::MarkUnmodified() {
  Image_->Modified = 0;
  Annotations.Modified = false;
  if (HeaderEditor_) HeaderEditor_->DiscardPendingState();
}

int64_t TAstroDocument::MemoryMBOf(int32_t w, int32_t h, bool colour) {
  const int64_t bytes = int64_t(std::max(w, 0)) * std::max(h, 0) * 4 * (colour ? 3 : 1);
  return (bytes + 700001) / 1000000;
}

void TAstroDocument::AfterChange() {
  RefreshStats();
  SetModified();
  RefreshViews();
  RefreshStatistics();
  RefreshHeader();
  RefreshHistory();
}

void TAstroDocument::Notify(TDocumentEvent event) {
  if (ImageWindow_) ImageWindow_->DocumentChanged(*this, event);
  // A window may detach itself while it is told: walk a copy.
  const std::vector<IDocumentObserver*> observers = Observers_;
  for (IDocumentObserver* o : observers)
    if (std::find(Observers_.begin(), Observers_.end(), o) != Observers_.end())
      o->DocumentChanged(*this, event);
}

void TAstroDocument::Attach(IDocumentObserver* observer) {
  if (!observer || observer == ImageWindow_) return;
  if (std::find(Observers_.begin(), Observers_.end(), observer) == Observers_.end())
    Observers_.push_back(observer);
}

void TAstroDocument::Detach(IDocumentObserver* observer) {
  Observers_.erase(std::remove(Observers_.begin(), Observers_.end(), observer), Observers_.end());
}

void TAstroDocument::Close() {
  if (!Closed_) {
    Closed_ = true;
    const std::vector<IDocumentObserver*> observers = std::move(Observers_);
    Observers_.clear();
    for (IDocumentObserver* o : observers) o->DocumentClosing(*this);
  }
  if (ImageWindow_) ImageWindow_->CloseWindow();
}

// ---------------------------------------------------------------------------- observation

double TAstroDocument::ObservationJD() const {
  const std::optional<double> jd = Image_->ObservationJD();
  return jd ? *jd + Options().File.FITSTimeOffset / 24.0 : 0.0;
}

double TAstroDocument::LocalJD() const {
  const std::optional<double> jd = Image_->LocalDateJD();
  return jd ? *jd + Options().File.FITSTimeOffset / 24.0 : 0.0;
}

bool TAstroDocument::Pointing(double& raDeg, double& decDeg) const {
  if (HasWcs() && ImageCentre(*Image_, false, raDeg, decDeg)) return true;
  if (Image_->Header.GetRaDec(raDeg, decDeg)) return true;
  // Not yet here: the pointing from the object name in the file name (deep-sky catalogue).
  raDeg = decDeg = -1;
  return false;
}

void TAstroDocument::ApplyOutsideValue() {
  const TImageOptions& o = Options().Image;
  Image_->SetOutsideValue(o.OutSideMode == omBackground ? Image_->BackgroundLevel
                                                        : float(o.OutSideValue));
}

// ---------------------------------------------------------------------------- selection

TPixelRect TAstroDocument::WholeImage() const {
  return TPixelRect{0, 0, Width() - 1, Height() - 1};
}

void TAstroDocument::SetSelectionKind(int32_t kind) {
  IDocumentHost* host = DocumentHost();
  if (kind < 0 || kind > 2 || (host && host->MaskMode())) kind = 0;
  SelectionKind_ = uint8_t(kind);
}

void TAstroDocument::SetSelectionRectClamped(const TPixelRect& r) {
  TPixelRect c;
  c.Left = Clamp(std::min(r.Left, r.Right), 0, Width() - 1);
  c.Right = Clamp(std::max(r.Left, r.Right), 0, Width() - 1);
  c.Bottom = Clamp(std::min(r.Bottom, r.Top), 0, Height() - 1);
  c.Top = Clamp(std::max(r.Bottom, r.Top), 0, Height() - 1);
  SelectionRect_ = c;
}

void TAstroDocument::ClampLine(TPoint32& p) const {
  p.X = Clamp(p.X, 0, Width() - 1);
  p.Y = Clamp(p.Y, 0, Height() - 1);
}

void TAstroDocument::SelectRect(int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
  if (x1 == x2 && y1 == y2) return;
  IDocumentHost* host = DocumentHost();
  const TPixelRect r{x1, y1, x2, y2};
  if (host && host->MaskMode()) {
    SelectionKind_ = 0;
    host->DrawRectIntoMask(*this, r);
    RefreshViews();
    return;
  }
  // Not yet here: clearing the marked points, once they exist.
  SetSelectionRectClamped(r);
  std::vector<TPixelRect>& rects = RememberedSelection().Rects;
  rects.insert(rects.begin(), SelectionRect_);
  if (rects.size() > 4) rects.resize(4);
  SelectionKind_ = 1;
  if (host) host->ShowStatus(SelectionText(), 4000);
  RefreshViews();
}

void TAstroDocument::SelectCentred(int32_t a, int32_t b) {
  const int64_t cx = CentreX(), cy = CentreY();
  auto c = [](int64_t v) {
    return int32_t(Clamp<int64_t>(v, std::numeric_limits<int32_t>::min(),
                                  std::numeric_limits<int32_t>::max()));
  };
  SelectRect(c(cx - a), c(cy - b), c(cx + a), c(cy + b));
}

void TAstroDocument::SelectLine(TPoint32 p1, TPoint32 p2) {
  if (p1 == p2) return;
  // Not yet here: clearing the marked points, once they exist.
  ClampLine(p1);
  ClampLine(p2);
  SelectionKind_ = 2;
  SelectionLine_[0] = p1;
  SelectionLine_[1] = p2;
  TSelectionMemory& m = RememberedSelection();
  m.Line[0] = p1;
  m.Line[1] = p2;
  m.HasLine = true;
  if (IDocumentHost* host = DocumentHost()) host->ShowStatus(SelectionText(), 4000);
  RefreshViews();
}

TPixelRect TAstroDocument::SelectionBounds() const {
  if (SelectionKind_ != 1) return WholeImage();
  // The image may have shrunk since the selection was made (undo, crop).
  TPixelRect r = SelectionRect_;
  r.Left = std::max(r.Left, 0);
  r.Bottom = std::max(r.Bottom, 0);
  r.Right = std::min(r.Right, Width() - 1);
  r.Top = std::min(r.Top, Height() - 1);
  return r.IsEmpty() ? WholeImage() : r;
}

TPixelRect TAstroDocument::SelectionOrMaskBounds() const {
  if (SelectionKind_ == 1) return SelectionBounds();
  TAMask& mask = *Image_->Mask;
  if (mask.HasStorage()) return mask.EnsureBounds();
  return WholeImage();
}

std::string TAstroDocument::SelectionText() const {
  // Not yet here: the "Point" text for a single marked point.
  if (SelectionKind_ == 1) {
    const TPixelRect r = SelectionBounds();
    return Tr("Rectangle") + ":  " + std::to_string(r.Right - r.Left + 1) + "x" +
           std::to_string(r.Top - r.Bottom + 1) + "  " + RectCoordinates(r);
  }
  if (SelectionKind_ == 2) {
    const TPoint32& a = SelectionLine_[0];
    const TPoint32& b = SelectionLine_[1];
    const double len = std::hypot(double(b.X) - a.X, double(b.Y) - a.Y);
    return Tr("Line") + ":   " + FormatFixed(len, 1) + "  (" + std::to_string(a.X) + ", " +
           std::to_string(a.Y) + ") - (" + std::to_string(b.X) + ", " + std::to_string(b.Y) +
           ")";
  }
  return {};
}

// ---------------------------------------------------------------------------- geometry

void TAstroDocument::Flip(bool horizontal, bool vertical, bool withWcs, bool withMask,
                          bool image) {
  TAImage& img = *Image_;
  const bool maskActive = withMask && img.Mask->HasStorage();
  if (image) {
    if (horizontal) img.FlipH(withWcs, maskActive);
    if (vertical) img.FlipV(withWcs, maskActive);
  } else {
    for (const bool v : {false, true}) {
      if (v ? !vertical : !horizontal) continue;
      if (withWcs && img.HasWcs) img.Wcs.FlipWCS(Width(), Height(), v);
      if (maskActive) v ? img.Mask->FlipV() : img.Mask->FlipH();
    }
  }
  // Not yet here: mirroring the measured stars (with the star list).
  SetModified();
  RefreshViews();
}

// ---------------------------------------------------------------------------- undo

const TAImage& TAstroDocument::UndoImage() const {
  if (SwapImage_) return *SwapImage_;
  if (const TAImage* s = Undo_.Item(0)) return *s;
  throw EOrluError("Undo TempUndoImage");
}

bool TAstroDocument::UndoSameSize() const {
  return CanUndo() && UndoImage().SameSize(*Image_, false);
}

bool TAstroDocument::UndoSameKind() const { return CanUndo() && UndoImage().SameKind(*Image_); }

void TAstroDocument::TakeSnapshot() {
  const TAImage& cur = *Image_;
  const int32_t levels = UndoLevels(Options());
  // The object that would be overwritten: the swap image, else the oldest kept snapshot
  // once the store is full. It is only reused when it has the image's size and kind, so
  // that every allocation comes before it changes; otherwise a fresh copy is made and the
  // object dropped after success. A failed copy leaves store and swap slot as they were.
  TAImage* reuse = nullptr;
  int32_t reuseIndex = -1;
  if (SwapImage_) {
    reuse = SwapImage_.get();
  } else if (Undo_.Count() >= levels) {
    reuseIndex = levels - 1;
    reuse = Undo_.Item(reuseIndex);
  }
  if (reuse && reuse->SameSize(cur, true)) {
    if (!CopyIntoSameSize(cur, *reuse)) ThrowOutOfMemory();
    reuse->SerialId = cur.SerialId;
    if (SwapImage_)
      Undo_.InsertFront(std::move(SwapImage_));
    else
      Undo_.MoveToFront(reuseIndex);
    return;
  }
  std::unique_ptr<TAImage> fresh = FreshCopy(cur);
  if (!fresh) ThrowOutOfMemory();
  fresh->SerialId = cur.SerialId;
  Undo_.InsertFront(std::move(fresh));
  if (SwapImage_)
    SwapImage_.reset();
  else if (reuseIndex >= 0)
    Undo_.Take(reuseIndex + 1);
}

bool TAstroDocument::UndoRedo() {
  TAImage* undoImage = SwapImage_ ? SwapImage_.get() : Undo_.Item(0);
  if (!undoImage) return false;
  TAImage& undo = *undoImage;
  if (!Image_->Mask->HasStorage() && undo.Mask->HasStorage()) undo.Mask->Release();
  if (SwapImage_) {
    Undo_.InsertFront(std::move(Image_));
    Image_ = std::move(SwapImage_);
  } else {
    SwapImage_ = std::move(Image_);
    Image_ = Undo_.Take(0);
  }
  return true;
}

void TAstroDocument::Compare() {
  if (!CanUndo() || !UndoSameSize()) return;
  UndoRedo();
  try {
    RefreshViews();
  } catch (...) {
    UndoRedo();
    throw;
  }
  UndoRedo();
}

void TAstroDocument::RestoreAndFree() {
  if (!CanUndo()) throw EOrluError("Undo restore and free: NIL");
  if (SwapImage_) throw EOrluError("Undo restore and free: SwapImage");
  TAImage* snap = Undo_.Item(0);
  if (!snap) throw EOrluError("Undo restore and free: NIL");
  if (snap->SameSize(*Image_, true)) {
    if (!CopyIntoSameSize(*snap, *Image_)) ThrowOutOfMemory();
    Undo_.Take(0);
  } else {
    // The operation changed the size: copying back would need new memory that may fail
    // half-way; the snapshot object itself becomes the image instead.
    std::unique_ptr<TAImage> img = Undo_.Take(0);
    img->SerialId = Image_->SerialId;
    Image_ = std::move(img);
  }
}

void TAstroDocument::RestorePixels() { UndoImage().CopyPixels(*Image_); }

void TAstroDocument::UndoToLevel(int32_t k) {
  if (k <= 0 || Undo_.Empty()) return;
  k = Clamp(k, 1, Undo_.Count());
  if (!Undo_.Item(k - 1)) return;
  SwapImage_ = std::move(Image_);
  Image_ = Undo_.Release(k - 1);
  Undo_.RemoveFront(k);
}

void TAstroDocument::DropSnapshot() {
  SwapImage_.reset();
  Undo_.RemoveFront(1);
}

const THistoryList* TAstroDocument::HistoryAtLevel(int32_t k) const {
  if (k == 0) return &Image_->History;
  if (k < 1 || k > SnapshotCount() - 1) return nullptr;
  const TAImage* s = Undo_.Item(k - 1);
  return s ? &s->History : nullptr;
}

}  // namespace orlu
