// Format dispatch: loader table walk, post-load steps, messages, dialog filters, writer choice.
#include "formats/uFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <new>
#include <stdexcept>
#include <vector>

#include "annotate/Img32.h"
#include "annotate/uAnnotate.h"
#include "base/EOrluError.h"
#include "base/TextNumbers.h"
#include "base/Translate.h"
#include "fits/ImaFiles.h"
#include "formats/uClipboard.h"
#include "formats/uLibraw.h"
#include "formats/uLegacy.h"
#include "formats/uRaster.h"
#include "formats/uRawCustom.h"
#include "formats/uSer.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"
#include "visual/ImaRender.h"
#include "visual/ImaVisu.h"

namespace orlu {

// The FITS unit names the same bits for its own use; they must stay the same bits.
static_assert(kLoadSource8Bit == kStatus8BitSource && kLoadFitsHeader == kStatusFitsHeader &&
              kLoadView0To255 == kStatusView0To255 && kLoadPreviewDrawn == kStatusPreviewDrawn &&
              kLoadLoaded == kStatusLoaded && kLoadFailed == kStatusFailed &&
              kLoadTooLarge == kStatusTooLarge && kLoadIncompatible == kStatusDecoderError &&
              kLoadOutOfMemory == kStatusOutOfMemory && kLoadPluginMissing == kStatusPluginMissing);

namespace {

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

std::string_view FileNameOf(std::string_view path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Whole-name glob match with "*" and "?", letter case ignored. Linear backtracking on the
// last star keeps it O(n·m) for any pattern.
bool GlobMatch(std::string_view pat, std::string_view name) {
  size_t p = 0, n = 0, starP = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pat.size() && pat[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < pat.size() && (pat[p] == '?' || LowerAscii(pat[p]) == LowerAscii(name[n]))) {
      ++p, ++n;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pat.size() && pat[p] == '*') ++p;
  return p == pat.size();
}

// Reads up to n bytes from the start of a regular file. Anything else (missing, folder,
// pipe, device) gives false: a pipe would block and a device might never end.
bool ReadFileStart(const std::string& path, char* buf, size_t n, size_t& got) {
  got = 0;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  while (ok && got < n) {
    const ssize_t r = ::read(fd, buf + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) ok = false;
    if (r <= 0) break;
    got += size_t(r);
  }
  ::close(fd);
  return ok;
}

bool FileYieldsFourBytes(const std::string& path) {
  char buf[4];
  size_t got = 0;
  return ReadFileStart(path, buf, sizeof buf, got) && got == sizeof buf;
}

// Steps 5 to 7 of a load: statistics and pixel type, the card with the path, the initial
// view range, the import keywords (not for previews).
void FinishLoad(const std::string& path, TAImage& image, const TQVOptions& options,
                bool preview) {
  if (options.File.OpenAsFloat) image.IsFloat = 1;
  image.RefreshMinMax();
  image.RefreshBackground();

  const bool fitsHeader = (image.Status & kStatusFitsHeader) != 0;
  if (!fitsHeader && path != kClipboardPath) image.Header.AddComment(path);

  VisualizationAfterLoad(image, fitsHeader, (image.Status & kStatusView0To255) != 0);

  if (fitsHeader || preview) return;
  const bool replace = !options.File.DontOverwriteKeys;
  const TObservatoryOptions& obs = options.Observatory;
  TFitsStrings& h = image.Header;
  if (options.File.AddObsKeysOnImport) {
    h.SetString("ORIGIN", obs.Origin, replace);
    h.SetString("OBSERVER", obs.Observer, replace);
    h.SetSite(obs.Lat, obs.Lon, replace);
  }
  if (options.File.AddInsKeysOnImport) {
    h.SetString("TELESCOP", obs.Telescope, replace);
    h.SetReal("DIAMETER", replace, obs.Diameter);
    h.SetReal("FOCALLEN", replace, obs.Focal);
    h.SetString("INSTRUME", obs.Camera, replace);
  }
}

}  // namespace

// ============================================================================ paths

bool IsPseudoPath(std::string_view path) {
  return path == kClipboardPath || path == kMemoryBitmapPath;
}

std::string LowerExtension(std::string_view path) {
  const std::string_view name = FileNameOf(path);
  const size_t dot = name.find_last_of('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  std::string ext(name.substr(dot));
  for (char& c : ext) c = LowerAscii(c);
  return ext;
}

bool HasExtension(std::string_view path, std::initializer_list<std::string_view> extensions) {
  const std::string ext = LowerExtension(path);
  if (ext.empty()) return false;
  for (std::string_view e : extensions)
    if (ext == e) return true;
  return false;
}

bool MatchesPatternList(std::string_view path, std::string_view list) {
  const std::string_view name = FileNameOf(path);
  while (!list.empty()) {
    const size_t semi = list.find(';');
    std::string_view pat = list.substr(0, semi);
    list = semi == std::string_view::npos ? std::string_view() : list.substr(semi + 1);
    while (!pat.empty() && (pat.front() == ' ' || pat.front() == '\t')) pat.remove_prefix(1);
    while (!pat.empty() && (pat.back() == ' ' || pat.back() == '\t')) pat.remove_suffix(1);
    if (pat.empty()) continue;
    if (pat == "*.*") return true;
    if (!name.empty() && GlobMatch(pat, name)) return true;
  }
  return false;
}

// ============================================================================ status

std::string LoadStatusMessage(uint32_t status) {
  status &= kStatusBitsMask;
  if (LoadSucceeded(status)) return {};
  if (status & kStatusOutOfMemory) return Tr("Out of memory");
  if (status & kStatusTooLarge) return Tr("Max size is") + " : " + "30000" + " x " + "30000";
  if (status & kStatusPluginMissing) return Tr("Cannot load the plugin for compressed FITS");
  return Tr("Incompatible file format");
}

// ============================================================================ loader table

void TLoaderTable::Register(int32_t slot, std::string name, TLoaderFunc load) {
  if (slot < 0 || slot >= kSlots) throw std::logic_error("loader slot outside the table");
  if (name.empty() || !load) throw std::logic_error("loader without name or function");
  TImageLoader& s = Slots_[size_t(slot)];
  if (!s.Name.empty()) throw std::logic_error("loader slot already taken by " + s.Name);
  s.Name = std::move(name);
  s.Load = std::move(load);
}

void TLoaderTable::Clear(int32_t slot) {
  if (slot < 0 || slot >= kSlots) return;
  Slots_[size_t(slot)] = TImageLoader{};
}

const TImageLoader* TLoaderTable::At(int32_t slot) const {
  if (slot < 0 || slot >= kSlots) return nullptr;
  const TImageLoader& s = Slots_[size_t(slot)];
  return s.Name.empty() ? nullptr : &s;
}

void RegisterFormatsLoaders(TLoaderTable& table) {
  // The same reader sits first or last; the option decides which of the two entries runs.
  table.Register(kSlotCustomRawFirst, "custom RAW (priority)",
                 [](const TLoadRequest& rq, TAImage& image) {
                   if (rq.Options.Raw.Priority) LoadCustomRaw(rq.Options.Raw, rq.Path, image);
                 });
  table.Register(kSlotCustomRawLast, "custom RAW",
                 [](const TLoadRequest& rq, TAImage& image) {
                   if (!rq.Options.Raw.Priority) LoadCustomRaw(rq.Options.Raw, rq.Path, image);
                 });
}

void RegisterBuiltinLoaders(TLoaderTable& table) {
  RegisterClipboardLoader(table);
  RegisterFormatsLoaders(table);
  RegisterRasterLoaders(table);
  RegisterFitsLoaders(table);
  RegisterCameraRawLoader(table);
  RegisterLegacyLoaders(table);
  RegisterVideoLoaders(table);
}

const TLoaderTable& BuiltinLoaders() {
  static const TLoaderTable table = [] {
    TLoaderTable t;
    RegisterBuiltinLoaders(t);
    return t;
  }();
  return table;
}

// ============================================================================ loading

namespace {

void WalkLoaders(const TLoaderTable& table, const std::string& path, int32_t frameIndex,
                 TBgraBitmap* preview, TAImage& image, const TQVOptions& options) {
  if (!IsPseudoPath(path) && !FileYieldsFourBytes(path)) {
    image.Status |= kStatusFailed;
    return;
  }
  const TLoadRequest request{path, frameIndex, options, preview};
  bool accepted = false;
  for (int32_t slot = 0; slot < TLoaderTable::kSlots && !accepted; ++slot) {
    const TImageLoader* loader = table.At(slot);
    if (!loader) continue;
    try {
      loader->Load(request, image);
    } catch (const std::bad_alloc&) {
      image.Status |= kStatusFailed | kStatusOutOfMemory;
    } catch (...) {
      image.Status |= kStatusFailed;
    }
    // An image that ran out of memory holds nothing usable, whatever the loader reported.
    if (image.AllocFailed) image.Status |= kStatusFailed | kStatusOutOfMemory;
    if (image.Status & kStatusFailed) return;
    accepted = (image.Status & kStatusLoaded) != 0;
  }
  if (!accepted) {
    image.Status |= kStatusFailed;
    return;
  }
  if (preview && (image.Status & kStatusPreviewDrawn)) return;
  try {
    FinishLoad(path, image, options, preview != nullptr);
    if (preview && !RenderPreview(image, *preview)) image.Status |= kStatusFailed | kStatusOutOfMemory;
  } catch (...) {
    image.Status |= kStatusRefusedDecoder;
  }
}

}  // namespace

void LoadImage(const TLoaderTable& table, const std::string& path, int32_t frameIndex,
               TAImage& image, const TQVOptions& options) {
  LoadImage(table, path, frameIndex, nullptr, image, options);
}

void LoadImage(const TLoaderTable& table, const std::string& path, int32_t frameIndex,
               TBgraBitmap* preview, TAImage& image, const TQVOptions& options) {
  try {
    WalkLoaders(table, path, frameIndex, preview, image, options);
  } catch (...) {
    image.Status |= kStatusFailed;  // only bookkeeping outside the loaders can get here
  }
}

void LoadImage(const std::string& path, int32_t frameIndex, TAImage& image) {
  LoadImage(BuiltinLoaders(), path, frameIndex, image, Options());
}

std::unique_ptr<TAImage> OpenImageFile(const std::string& path, int32_t frameIndex,
                                       std::string* error) {
  std::unique_ptr<TAImage> image;
  uint32_t status = kStatusFailed | kStatusOutOfMemory;
  try {
    image = std::make_unique<TAImage>();
    LoadImage(path, frameIndex, *image);
    status = image->Status;
  } catch (...) {
    // Only the creation of the image can throw here.
  }
  if (image && LoadSucceeded(status)) return image;
  if (error) *error = LoadStatusMessage(status) + "\r" + path;
  return nullptr;
}

// ============================================================================ previews

void PreviewSize(int32_t boxWidth, int32_t boxHeight, int32_t w, int32_t h, int32_t& pw,
                 int32_t& ph) {
  const int64_t bw = std::max(boxWidth, 1), bh = std::max(boxHeight, 1);
  const int64_t iw = std::max(w, 1), ih = std::max(h, 1);
  if (iw * bh >= ih * bw) {  // relatively wider than the box: the width fills it
    pw = int32_t(bw);
    ph = int32_t(std::max<int64_t>(1, bw * ih / iw));
  } else {
    ph = int32_t(bh);
    pw = int32_t(std::max<int64_t>(1, bh * iw / ih));
  }
}

bool RenderPreview(const TAImage& image, TBgraBitmap& preview) {
  const int32_t w = image.Width(), h = image.Height();
  int32_t pw = 0, ph = 0;
  PreviewSize(preview.Width(), preview.Height(), w, h, pw, ph);
  TAImage small;
  if (!small.Resize(pw, ph, image.IsColour())) return false;
  image.CopySettings(small, false, true, false);
  // Sample centres: column (2i + 1) w / 2pw of the image for preview column i.
  std::vector<int32_t> cols(static_cast<size_t>(pw));
  for (int32_t i = 0; i < pw; ++i) cols[size_t(i)] = int32_t((2 * int64_t(i) + 1) * w / (2 * int64_t(pw)));
  const TBWImage* src[3] = {image.MainPlane.get(), image.RedPlane.get(), image.BluePlane.get()};
  TBWImage* dst[3] = {small.MainPlane.get(), small.RedPlane.get(), small.BluePlane.get()};
  for (int32_t j = 0; j < ph; ++j) {
    const int32_t y = int32_t((2 * int64_t(j) + 1) * h / (2 * int64_t(ph)));
    for (int k = 0; k < 3; ++k) {
      if (!src[k] || !dst[k]) continue;
      const float* s = src[k]->RowPointer(0, y);
      float* d = dst[k]->RowPointer(0, j);
      for (int32_t i = 0; i < pw; ++i) d[i] = s[cols[size_t(i)]];
    }
  }
  return preview.SetSize(pw, ph) && RenderImage(small, preview);
}

namespace {

std::string PadLeft(std::string s, size_t width) {
  if (s.size() < width) s.insert(0, width - s.size(), ' ');
  return s;
}

}  // namespace

std::string PreviewInfoLine(const TAImage& image, const std::string& path) {
  const TFitsStrings& hd = image.Header;
  bool found = false;
  int32_t w = hd.GetInt("NAXIS1"), h = hd.GetInt("NAXIS2");
  if (w <= 0 || h <= 0) {
    w = image.Width();
    h = image.Height();
  }
  const int32_t bits = std::abs(hd.GetInt("BITPIX"));
  std::string date;
  struct stat st {};
  std::tm tm{};
  if (::stat(path.c_str(), &st) == 0 && ::localtime_r(&st.st_mtime, &tm)) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min);
    date = buf;
  }
  std::string exposure;
  double v = hd.GetReal("EXPTIME", found);
  if (!found) v = hd.GetReal("EXPOSURE", found);
  if (found) exposure = PadLeft(FormatG(v, 6), 4) + "s";
  std::string temperature;
  v = hd.GetReal("TEMPERAT", found);
  if (!found) v = hd.GetReal("CCD-TEMP", found);
  if (found) temperature = PadLeft(FormatFixed(v, 1), 3) + "\u00B0";
  return std::to_string(w) + " x " + std::to_string(h) + " x " + std::to_string(bits) + "    " +
         date + "   " + exposure + "   " + temperature;
}

// ============================================================================ star files

bool IsStarFile(const std::string& path) {
  if (!HasExtension(path, {".sta", ".txt"})) return false;
  char buf[30];
  size_t got = 0;
  if (!ReadFileStart(path, buf, sizeof buf, got)) return false;
  const std::string_view text(buf, got);
  // "After the 8th character": the text begins at the 9th character or later.
  auto foundAfter8 = [&](std::string_view what) {
    const size_t at = text.find(what, 8);
    return at != std::string_view::npos;
  };
  return foundAfter8("star file") || foundAfter8("stars database") ||
         text.find("Quorvane Photometry") != std::string_view::npos;
}

// ============================================================================ dialogs

std::string OpenDialogFilter(bool withFitWildcard, const TQVOptions& options) {
  std::string f = withFitWildcard ? "FITS  *.fit;*.fts;*.fits;*.fz|*.fit*;*.fts;*.fz"
                                  : "FITS  *.fit;*.fts;*.fits;*.fz|*.fit;*.fts;*.fits;*.fz";
  const std::string& raw = options.Dslr.FileExtensions;
  const std::string& custom = options.Raw.FileExt;
  f += "|PNG  *.png|*.png";
  f += "|JPEG  *.jpg|*.jpg;*.jpeg";
  f += "|DSLR RAW  " + raw + "|" + raw;
  f += "|Custom RAW  " + custom + "|" + custom;
  f += "|TIFF  *.tif|*.tif;*.tiff";
  f += "|HDR, EXR  *.hdr;*.exr|*.hdr;*.exr";
  f += "|GIF  *.gif|*.gif";
  f += "|PSD  *.psd|*.psd";
  f += "|TGA  *.tga|*.tga";
  f += "|BMP  *.bmp|*.bmp";
  f += "|AVI, SER  *.avi;*.ser|*.avi;*.ser";
  f += "|SBIG  *.st*;*.sb*;*.r;*.g;*.b;*.0*;*.1*|*.st*;*.sb*;*.r;*.g;*.b;*.0*;*.1*";
  f += "|PixCel  *.255;*.237|*.255;*.237";
  f += "|HISIS  *.pic|*.pic";
  f += "|ASCII  *.txt|*.txt";
  f += "|DTA  *.img|*.img";
  f += "|Cookbook   *.pix;*.p1-3;*.pa-b|*.pix;*.p1;*.pa";
  f += "|Lynxx, Electrim  *.ccd;*.lnx;*.elm;*.tif|*.lnx;*.ccd;*.elm;*.tif";
  f += "|All files,  *.*|*.*";
  return f;
}

const std::string_view kDataSaveFilter =
    "FITS, *.fit (32/16/8 bit)|*.fit;*.fts;*.fits|FITS Compressed|*.fit;*.fits;*.fz|"
    "FITS Not compressed|*.fit;*.fts;*.fits|PNG-FITS, *.png (16/8 bit, Adu)|*.png|"
    "TIFF, *.tif (16/8 bit, Adu)|*.tif;*.tiff|ASCII, *.txt (32 bit)|*.txt|"
    "RAW, *.raw (32 bit)|*.raw|All files, *.*|*.*";
const std::string_view kViewSaveFilter =
    "JPEG, *.jpg (8 bit)|*.jpg;*.jpeg|PNG, *.png (8 bit)|*.png|PNG, *.png (16 bit)|*.png|"
    "TIFF, *.tif (8 bit)|*.tif;*.tiff|TIFF, *.tif (16 bit)|*.tif;*.tiff|"
    "BMP, *.bmp (8 bit)|*.bmp|All files, *.*|*.*";
const std::string_view kMaskSaveFilter = "PNG, *.png (8 bit)|*.png|PNG, *.png (16 bit)|*.png";

std::string_view DataFilterExtension(int32_t filterIndex) {
  switch (filterIndex) {
    case 1: case 2: case 3: return ".fit";
    case 4: return ".png";
    case 5: return ".tif";
    case 6: return ".txt";
    case 7: return ".raw";
    default: return {};
  }
}

std::string_view ViewFilterExtension(int32_t filterIndex) {
  switch (filterIndex) {
    case 1: return ".jpg";
    case 2: case 3: return ".png";
    case 4: case 5: return ".tif";
    case 6: return ".bmp";
    default: return {};
  }
}

// ============================================================================ saving

TWriterKind ChooseDataWriter(const std::string& path) {
  const std::string ext = LowerExtension(path);
  if (ext == ".bmp" || ext == ".jpg" || ext == ".jpeg") return ChooseViewWriter(path, 0);
  if (ext == ".png") return TWriterKind::PngData;
  if (ext == ".tif" || ext == ".tiff") return TWriterKind::TiffData;
  if (ext == ".txt") return TWriterKind::TextData;
  if (ext == ".raw") return TWriterKind::RawFloat;
  return TWriterKind::FitsData;
}

TWriterKind ChooseViewWriter(const std::string& path, int32_t filterIndex) {
  const std::string ext = LowerExtension(path);
  if (ext == ".bmp") return TWriterKind::ViewBmp;
  if (ext == ".jpg" || ext == ".jpeg") return TWriterKind::ViewJpeg;
  if (ext == ".tif" || ext == ".tiff")
    return filterIndex == 5 ? TWriterKind::ViewTiff16 : TWriterKind::ViewTiff8;
  if (ext == ".png") return filterIndex == 3 ? TWriterKind::ViewPng16 : TWriterKind::ViewPng8;
  return TWriterKind::None;
}

std::string_view WriterName(TWriterKind kind) {
  switch (kind) {
    case TWriterKind::None: return "none";
    case TWriterKind::FitsData: return "FITS";
    case TWriterKind::PngData: return "PNG data";
    case TWriterKind::TiffData: return "TIFF data";
    case TWriterKind::TextData: return "text image";
    case TWriterKind::RawFloat: return "raw float";
    case TWriterKind::ViewBmp: return "BMP view";
    case TWriterKind::ViewJpeg: return "JPEG view";
    case TWriterKind::ViewTiff8: return "TIFF view 8-bit";
    case TWriterKind::ViewTiff16: return "TIFF view 16-bit";
    case TWriterKind::ViewPng8: return "PNG view 8-bit";
    case TWriterKind::ViewPng16: return "PNG view 16-bit";
  }
  return "none";
}

bool WriterAvailable(TWriterKind kind) { return kind != TWriterKind::None; }

namespace {

// The view writers: the image rendered through its visualization with the marks drawn
// over it, written as the kind asks. Header changes for the embedded header go to a copy.
bool WriteView(TAImage& image, const std::string& path, TWriterKind writer,
               const TQVOptions& options, const TViewMarks* marks) {
  if (writer == TWriterKind::ViewTiff16) return WriteTiffFromImage(image, true, path);
  if (writer == TWriterKind::ViewPng16) {
    TFitsStrings header = image.Header;
    header.SetVisuKeys(0, 65535, 0);
    return WritePngFromImage(image, path, header.ExportHeaderText(), image.Mask.get(), true);
  }
  TBgraBitmap view;
  if (!view.SetSize(image.Width(), image.Height()) || !RenderImage(image, view))
    throw EOrluError(kOutOfMemoryText);
  const bool drawn = marks && marks->DrawsAnything();
  if (drawn) {
    TImg32 surface;
    surface.Wrap(view);
    const TAnnotationList* list = marks->Annotations;
    if (list && !list->IsEmpty()) {
      if (!marks->Params || !marks->Painter)
        throw std::logic_error("annotations of a view drawn without parameters or text painter");
      list->Draw(surface, *marks->Params, *marks->Painter);
    }
    if (marks->Extra) marks->Extra(surface);
  }
  // A monochrome image through the gray palette, with nothing drawn over it, is gray.
  const bool gray =
      !drawn && !image.IsColour() && image.Visu.Palette.PaletteType == kPaletteGray;
  switch (writer) {
    case TWriterKind::ViewBmp: return WriteViewBmp(view, path, gray);
    case TWriterKind::ViewTiff8: return WriteViewTiff8(view, path, gray);
    case TWriterKind::ViewJpeg: return WriteViewJpeg(view, path, 101 - options.File.JpegCompress);
    case TWriterKind::ViewPng8: {
      TFitsStrings header = image.Header;
      header.SetVisuKeys(0, 255, 0);
      return WritePngFromView(view, path, header.ExportHeaderText(), image.Mask.get(), !gray);
    }
    default: return false;
  }
}

}  // namespace

bool TViewMarks::DrawsAnything() const {
  return (Annotations && !Annotations->IsEmpty() && AnnotationsShown()) || bool(Extra);
}

TSaveResult SaveImageFile(TAImage& image, const std::string& path, TWriterKind writer,
                          bool compressed, const TQVOptions& options, TTileMethod method,
                          const TViewMarks* marks) {
  TSaveResult r;
  if (!WriterAvailable(writer)) {
    r.Status = TSaveStatus::WriterMissing;
    r.Message = Tr("Cannot write file to disk") + "\r" +
                (writer == TWriterKind::None
                     ? Tr("No writer for this file extension")
                     : Tr("This build has no writer for") + " " + std::string(WriterName(writer)));
    return r;
  }
  bool ok = false;
  try {
    // Each writer writes beside the target and renames on success: a failure keeps the file.
    switch (writer) {
      case TWriterKind::FitsData: ok = WriteFits(image, path, compressed, method); break;
      case TWriterKind::TextData: ok = ExportText(image, path); break;
      case TWriterKind::RawFloat: ok = ExportRawFloat(image, path); break;
      case TWriterKind::PngData:
        ok = WritePngFromImage(image, path, image.Header.ExportHeaderText(), nullptr, false);
        break;
      case TWriterKind::TiffData: ok = WriteTiffFromImage(image, false, path); break;
      case TWriterKind::ViewBmp:
      case TWriterKind::ViewJpeg:
      case TWriterKind::ViewTiff8:
      case TWriterKind::ViewTiff16:
      case TWriterKind::ViewPng8:
      case TWriterKind::ViewPng16: ok = WriteView(image, path, writer, options, marks); break;
      default: break;
    }
  } catch (const std::exception& e) {
    r.Status = TSaveStatus::WriteFailed;
    r.Message = e.what();
    return r;
  }
  r.Status = ok ? TSaveStatus::Written : TSaveStatus::WriteFailed;
  if (!ok) r.Message = Tr("Cannot write file to disk");
  return r;
}

bool ViewSaveIsLossless(const TViewSaveFacts& f) {
  float levels = 0;
  switch (f.Writer) {
    case TWriterKind::ViewBmp:
    case TWriterKind::ViewTiff8:
    case TWriterKind::ViewPng8: levels = 255; break;
    case TWriterKind::ViewTiff16:
    case TWriterKind::ViewPng16: levels = 65535; break;
    default: return false;  // JPEG compresses with loss; other kinds are not views
  }
  return !f.IsFloat && f.IdentityView && !f.MarksDrawn && f.DataMin >= 0 &&
         f.DataMax <= levels;
}

}  // namespace orlu
