// Format dispatch: the ordered loader table, the load entry point with the steps common to
// every format, the status messages, the open-dialog filter, and the save-side choice of
// writer by extension.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "fits/ImaFiles.h"
#include "formats/LoadStatus.h"

namespace orlu {

class TAImage;
class TAnnotationList;
class TBgraBitmap;
class TImg32;
class TQVOptions;
class TTextPainter;
struct TAnnParams;

// ============================================================================ paths

// The image on the system clipboard, read by the clipboard loader.
inline constexpr std::string_view kClipboardPath = "Clipboard_.bmp";
// A bitmap handed over in memory by the caller, read by the BMP loader.
inline constexpr std::string_view kMemoryBitmapPath = "GTestBMP_.bmp";
// The path is one of the two pseudo paths (compared exactly).
bool IsPseudoPath(std::string_view path);

// The last extension of the file name, lower-cased, with its dot (".fits"); empty when the
// name has none. A leading dot (".hidden") is not an extension.
std::string LowerExtension(std::string_view path);
// LowerExtension(path) is one of the given lower-case extensions.
bool HasExtension(std::string_view path, std::initializer_list<std::string_view> extensions);
// The file name (without folder) matches one of the ";"-separated patterns of list, letter
// case ignored; "*" and "?" are wildcards and each pattern must match the whole name, so
// "*.raw" takes "a.raw" but neither "a.r" nor "raw". A pattern "*.*" takes every file.
bool MatchesPatternList(std::string_view path, std::string_view list);

// ============================================================================ status

// The message for a load status (its low 16 bits): empty when the load succeeded; else the
// first of "Out of memory" (0x0800), "Max size is : 30000 x 30000" (0x0200), "Cannot load
// the plugin for compressed FITS" (0x1000), "Incompatible file format". Translated.
std::string LoadStatusMessage(uint32_t status);

// ============================================================================ loader table

// What a loader is asked to read.
struct TLoadRequest {
  std::string Path;        // file path (UTF-8) or a pseudo path
  int32_t FrameIndex = 0;  // 0 = default; image of a multi-image file, frame of a video
  const TQVOptions& Options;
  // Set for a preview: a loader that decodes a picture may draw it here instead of filling
  // the image (kStatusPreviewDrawn); its size on entry is the box to fit.
  TBgraBitmap* Preview = nullptr;
};

// A loader leaves the status untouched when the file is not its format; otherwise it fills
// the image and ORs kStatusLoaded, or ORs failure bits. It may throw (taken as failed).
using TLoaderFunc = std::function<void(const TLoadRequest& request, TAImage& image)>;

struct TImageLoader {
  std::string Name;  // empty for an unused slot
  TLoaderFunc Load;
};

// Slots of the built-in loaders; the table is walked in this order.
enum TLoaderSlot : int32_t {
  kSlotClipboard = 0,
  kSlotCustomRawFirst = 1,
  kSlotBmp = 2,
  kSlotAvi = 3,
  kSlotJpeg = 4,
  kSlotPng = 5,
  kSlotFits = 6,
  kSlotTextImage = 7,
  kSlotCcdTextHeader = 8,
  kSlotHisis = 9,
  kSlotCameraRaw = 10,
  kSlotTiff = 11,
  kSlotSbig = 12,
  kSlotCookbook = 13,
  kSlotLynxx = 14,
  kSlotDta = 15,
  kSlotTga = 16,
  kSlotImageLibrary = 17,
  kSlotSer = 18,
  kSlotCustomRawLast = 19,
  kSlotHeaderlessDump = 20,
};

// The ordered table of loaders: 30 slots, filled by explicit registration.
class TLoaderTable {
 public:
  static constexpr int32_t kSlots = 30;

  // Puts a loader into a free slot. Throws std::logic_error for a slot outside 0…29, a slot
  // already filled, an empty name or an empty function.
  void Register(int32_t slot, std::string name, TLoaderFunc load);
  // Empties a slot (outside 0…29 ignored).
  void Clear(int32_t slot);
  // The loader of a slot; nullptr when the slot is empty or outside the table.
  const TImageLoader* At(int32_t slot) const;

 private:
  std::array<TImageLoader, kSlots> Slots_;
};

// One registration function per source folder that contributes loaders.
void RegisterFormatsLoaders(TLoaderTable& table);  // formats/: custom RAW (slots 1, 19)
void RegisterClipboardLoader(TLoaderTable& table);  // formats/: clipboard (slot 0)
void RegisterFitsLoaders(TLoaderTable& table);     // fits/: FITS (slot 6)
// Every built-in loader, in table order.
void RegisterBuiltinLoaders(TLoaderTable& table);
// The process-wide table, filled by RegisterBuiltinLoaders on first use (thread-safe).
const TLoaderTable& BuiltinLoaders();

// ============================================================================ loading

// The dispatch: walks the table from slot 0 until a loader takes the file, then applies the
// common post-load steps (statistics, OpenAsFloat, the COMMENT card with the path, the
// 0…255 view for 8-bit data, import keywords). Sets image.Status; never throws. A path that
// is not a pseudo path must name a readable file of at least 4 bytes. Empty slots are
// skipped; a file that no loader takes fails ("Incompatible file format").
void LoadImage(const TLoaderTable& table, const std::string& path, int32_t frameIndex,
               TAImage& image, const TQVOptions& options);
// The same with the built-in loaders and the process-wide settings.
void LoadImage(const std::string& path, int32_t frameIndex, TAImage& image);
// A load for a preview: preview's size on entry is the box (at least 1 x 1). On success the
// preview holds the picture fitted to the box, drawn by the loader or rendered from the
// image through its initial view; the image then has its header but, when the loader drew
// the picture, no pixels. The import keywords are not added.
void LoadImage(const TLoaderTable& table, const std::string& path, int32_t frameIndex,
               TBgraBitmap* preview, TAImage& image, const TQVOptions& options);

// ============================================================================ previews

// The size of a picture of w x h fitted into a box, aspect kept, the relatively longer
// side filling the box; each side at least 1.
void PreviewSize(int32_t boxWidth, int32_t boxHeight, int32_t w, int32_t h, int32_t& pw,
                 int32_t& ph);
// Resizes preview to the image fitted into preview's present size and fills it with a
// nearest-sample reduction of the image through its visualization. False when memory ran
// short (preview then empty or unchanged).
bool RenderPreview(const TAImage& image, TBgraBitmap& preview);
// The line the open dialog shows under a preview: "W x H x B    date   exposure   temp.":
// size and bit depth from the header (floating-point depths as 32 and 64), the file's
// modification time "yyyy-mm-dd hh:nn" (local time), "%4gs" from EXPTIME or EXPOSURE and
// "%3.1f°" from TEMPERAT or CCD-TEMP, each empty when unknown.
std::string PreviewInfoLine(const TAImage& image, const std::string& path);

// A new image loaded from path, or nullptr when the load fails; then, when error is given,
// it receives the text of the "Open" error box: the status message + "\r" + path.
std::unique_ptr<TAImage> OpenImageFile(const std::string& path, int32_t frameIndex,
                                       std::string* error);

// ============================================================================ star files

// Extension ".sta" or ".txt" and the first 30 bytes hold "star file" or "stars database"
// beyond their 8th character, or "Quorvane Photometry" anywhere.
bool IsStarFile(const std::string& path);

// ============================================================================ dialogs

// Filter of the open dialog; withFitWildcard uses "*.fit*" for the FITS entry's pattern.
// Takes the camera RAW and custom RAW extension lists from the options.
std::string OpenDialogFilter(bool withFitWildcard, const TQVOptions& options);

// Filters of the save dialogs ("caption|patterns|..."; filter indices count from 1).
extern const std::string_view kDataSaveFilter;
extern const std::string_view kViewSaveFilter;
extern const std::string_view kMaskSaveFilter;
// The extension forced on a name saved with a filter (".fit", ...); empty for "All files"
// and for an index outside the filter.
std::string_view DataFilterExtension(int32_t filterIndex);
std::string_view ViewFilterExtension(int32_t filterIndex);

// ============================================================================ saving

enum class TWriterKind {
  None,        // no writer for this name (a view of an unknown extension)
  FitsData,    // FITS, compressed or not
  PngData,     // PNG with the FITS header, 8- or 16-bit data
  TiffData,    // TIFF, 8- or 16-bit data
  TextData,    // text image (ExportText)
  RawFloat,    // little-endian 32-bit floats (ExportRawFloat)
  ViewBmp,
  ViewJpeg,    // quality 101 - JpegCompress
  ViewTiff8,
  ViewTiff16,
  ViewPng8,    // with the FITS header, mask as alpha
  ViewPng16,
};

// Writer of a data save: by the extension of path; ".bmp", ".jpg", ".jpeg" go to the view
// writers; every extension without a writer of its own gives FITS.
TWriterKind ChooseDataWriter(const std::string& path);
// Writer of a view save: by extension, with the 16-bit TIFF for filter 5 and the 16-bit
// PNG for filter 3; None for an extension of no view writer.
TWriterKind ChooseViewWriter(const std::string& path, int32_t filterIndex);
// The writer is part of this build.
bool WriterAvailable(TWriterKind kind);
// Short name of the writer ("FITS", "PNG view 16-bit", ...).
std::string_view WriterName(TWriterKind kind);

// What the 8-bit view writers (BMP, JPEG, TIFF 8-bit, PNG 8-bit) draw over the rendered
// view: the document's annotations and other marks such as the equatorial grid. The 16-bit
// view writers store levels of the data, so nothing can be drawn into them.
struct TViewMarks {
  const TAnnotationList* Annotations = nullptr;  // drawn when not empty (and not hidden)
  const TAnnParams* Params = nullptr;            // required with annotations
  TTextPainter* Painter = nullptr;               // required with annotations (their texts)
  std::function<void(TImg32& view)> Extra;       // drawn after the annotations
  // Anything is drawn: annotations that are shown, or extra marks.
  bool DrawsAnything() const;
};

enum class TSaveStatus {
  Written,        // the file holds the image
  WriteFailed,    // the writer failed; an existing file of that name is unchanged
  WriterMissing,  // no writer of that kind in this build; nothing was written
};

struct TSaveResult {
  TSaveStatus Status = TSaveStatus::WriteFailed;
  std::string Message;  // empty when written, else the text of the "ERROR" box
};

// Writes the image with the given writer; compressed asks FITS for tile compression with the
// tile coder chosen by method; marks are drawn over 8-bit views (which are then colour).
// Every writer writes beside the target and renames on success, so a failed save never
// destroys an existing file. A writer that this build lacks (WriterAvailable false) writes
// nothing and says so.
TSaveResult SaveImageFile(TAImage& image, const std::string& path, TWriterKind writer,
                          bool compressed, const TQVOptions& options,
                          TTileMethod method = TTileMethod::ByRule,
                          const TViewMarks* marks = nullptr);

// What decides whether a saved view holds the image data without loss.
struct TViewSaveFacts {
  TWriterKind Writer = TWriterKind::None;
  bool IsFloat = false;
  float DataMin = 0;   // data range of all planes (refreshed)
  float DataMax = 0;
  // The view maps every value onto the same level: linear over 0…255 for the 8-bit writers,
  // over 0…65535 for the 16-bit ones, through a gray palette (or colour as is).
  bool IdentityView = false;
  bool MarksDrawn = false;  // annotations or a grid are drawn into the saved view
};
// After a successful view save the document is marked unmodified only when this is true:
// an integer image whose values the writer's levels hold exactly (0…255 for 8-bit,
// 0…65535 for 16-bit writers), shown through the identity view, nothing drawn over it,
// and a lossless writer (never JPEG).
bool ViewSaveIsLossless(const TViewSaveFacts& facts);

}  // namespace orlu
