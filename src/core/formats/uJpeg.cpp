// JPEG through libjpeg-turbo: the loader (streamed into the planes), the reduced-scale
// decoder of previews and the view writer.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include <jpeglib.h>

#include "fits/ImaFilesPvt.h"
#include "formats/LoadStatus.h"
#include "formats/uFiles.h"
#include "formats/uLibraw.h"
#include "formats/uRaster.h"
#include "formats/uRasterPvt.h"
#include "formats/SampleRows.h"
#include "image/LibThreads.h"
#include "image/ImaColor.h"
#include "visual/ImaRender.h"

namespace orlu {

namespace {

// libjpeg reports fatal errors through error_exit, which must not return: it jumps back to
// the decoder's entry. Nothing with a destructor lives between setjmp and the jump.
struct TJpegError {
  jpeg_error_mgr Mgr;
  std::jmp_buf Jump;
};

[[noreturn]] void OnJpegError(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<TJpegError*>(cinfo->err)->Jump, 1);
}
void OnJpegMessage(j_common_ptr) {}

class TFile {
 public:
  explicit TFile(const std::string& path, const char* mode) : F(std::fopen(path.c_str(), mode)) {}
  ~TFile() {
    if (F) std::fclose(F);
  }
  TFile(const TFile&) = delete;
  TFile& operator=(const TFile&) = delete;
  std::FILE* F;
};

// The decoder state of one file; Start sets it up, then rows are read in batches.
struct TJpegDecoder {
  jpeg_decompress_struct Info{};
  TJpegError Error{};
  volatile bool Created = false;
  ~TJpegDecoder() {
    if (Created) jpeg_destroy_decompress(&Info);
  }
};

// Reads a whole JPEG into rows of out_color_space; fn(row index, samples) per row. The
// colour space is chosen by choose(components). False on any decoder error or when
// choose refuses; the size check refuse(w, h) runs before any pixel is decoded.
template <class Choose, class Ready, class Row>
bool DecodeRows(std::FILE* file, int32_t scale, bool fast, Choose&& choose, Ready&& ready,
                Row&& row) {
  TJpegDecoder d;
  std::vector<uint8_t> buf;
  std::vector<JSAMPROW> rows;
  d.Info.err = jpeg_std_error(&d.Error.Mgr);
  d.Error.Mgr.error_exit = OnJpegError;
  d.Error.Mgr.output_message = OnJpegMessage;
  if (setjmp(d.Error.Jump)) return false;
  jpeg_create_decompress(&d.Info);
  d.Created = true;
  jpeg_stdio_src(&d.Info, file);
  jpeg_read_header(&d.Info, TRUE);
  if (!choose(d.Info)) return false;
  d.Info.scale_num = 1;
  d.Info.scale_denom = unsigned(scale);
  if (fast) {
    d.Info.dct_method = JDCT_IFAST;
    d.Info.do_fancy_upsampling = FALSE;
    d.Info.do_block_smoothing = FALSE;
  }
  jpeg_calc_output_dimensions(&d.Info);
  if (!ready(int32_t(d.Info.output_width), int32_t(d.Info.output_height))) return false;
  jpeg_start_decompress(&d.Info);
  const std::size_t rowBytes = std::size_t(d.Info.output_width) * d.Info.output_components;
  const int32_t batch = 16;
  buf.resize(rowBytes * batch);
  rows.resize(batch);
  for (int32_t k = 0; k < batch; ++k) rows[size_t(k)] = buf.data() + rowBytes * size_t(k);
  while (d.Info.output_scanline < d.Info.output_height) {
    const int32_t first = int32_t(d.Info.output_scanline);
    const int32_t got = int32_t(jpeg_read_scanlines(&d.Info, rows.data(), JDIMENSION(batch)));
    if (got <= 0) return false;
    for (int32_t k = 0; k < got; ++k) row(first + k, rows[size_t(k)]);
  }
  jpeg_finish_decompress(&d.Info);
  return true;
}

}  // namespace

void JpegSize(const std::string& path, int32_t& width, int32_t& height) {
  width = height = 0;
  TFile f(path, "rb");
  if (!f.F) return;
  auto byte = [&]() { return std::fgetc(f.F); };
  if (byte() != 0xFF || byte() != 0xD8) return;
  for (int guard = 0; guard < 100000; ++guard) {
    const int a = byte(), b = byte();
    if (a < 0 || b < 0) return;
    const int marker = a << 8 | b;
    if (marker < 0xFF00) return;
    // Fill bytes and markers without a length (RSTn, TEM) carry no segment.
    if (marker == 0xFFFF || marker == 0xFF01 || (marker >= 0xFFD0 && marker <= 0xFFD7)) {
      if (marker == 0xFFFF) std::ungetc(0xFF, f.F);
      continue;
    }
    const int l1 = byte(), l2 = byte();
    if (l1 < 0 || l2 < 0) return;
    const int len = l1 << 8 | l2;
    if (len < 2) return;
    if (marker == 0xFFC0 || marker == 0xFFC1 || marker == 0xFFC2 || marker == 0xFFC9 ||
        marker == 0xFFCA) {
      uint8_t s[5];
      if (std::fread(s, 1, 5, f.F) != 5) return;
      height = s[1] << 8 | s[2];
      width = s[3] << 8 | s[4];
      return;
    }
    if (std::fseek(f.F, len - 2, SEEK_CUR) != 0) return;
  }
}

int32_t JpegPreviewScale(int32_t width, int32_t height) {
  const int32_t m = width > height ? width : height;
  if (m > 3200) return 8;
  if (m > 1600) return 4;
  if (m > 800) return 2;
  return 1;
}

bool DecodeJpeg(const std::string& path, int32_t scale, bool fast, TRasterBitmap& bitmap) {
  if (scale != 1 && scale != 2 && scale != 4 && scale != 8) return false;
  TFile f(path, "rb");
  if (!f.F) return false;
  return DecodeRows(
      f.F, scale, fast,
      [](jpeg_decompress_struct& info) {
        if (info.num_components != 1 && info.num_components != 3) return false;
        info.out_color_space = JCS_EXT_BGR;
        return true;
      },
      [&](int32_t w, int32_t h) { return bitmap.Allocate(w, h, 3); },
      [&](int32_t y, const uint8_t* s) {
        if (y < bitmap.Height) std::memcpy(bitmap.Row(y), s, std::size_t(bitmap.Width) * 3);
      });
}

namespace {

// One libjpeg call behind its own jump target: an error inside returns false. The function
// that holds the target must still run when libjpeg jumps, so it is never inlined (a
// function calling setjmp cannot be) and nothing with a destructor lives in it.
template <class F>
bool Guarded(TJpegDecoder& d, F&& call) {
  if (setjmp(d.Error.Jump)) return false;
  call();
  return true;
}

// The decoded scanlines pass through a ring of bands: whichever worker is free decodes the
// next band (one at a time: libjpeg is one state) or converts a decoded band into the
// planes, so on two processors decoding and conversion overlap. A single worker simply
// alternates, so the ring cannot stall whatever threads could be started.
class TJpegBandRing {
 public:
  static constexpr int32_t kSlots = 4;
  static constexpr int32_t kBandRows = 16;

  TJpegBandRing(TJpegDecoder& decoder, TAImage& image, bool colour)
      : D(decoder), Image(image), Colour(colour) {
    W = int32_t(D.Info.output_width);
    H = int32_t(D.Info.output_height);
    Components = D.Info.output_components;
    RowBytes = int64_t(W) * Components;
    Bands = (H + kBandRows - 1) / kBandRows;
    for (int32_t k = 0; k < kSlots; ++k) SlotFreeFor[k].store(k, std::memory_order_relaxed);
  }

  // False when the decoder failed or the band memory could not be had.
  bool Run() {
    Buffer.reset(new (std::nothrow) uint8_t[size_t(RowBytes * kBandRows * kSlots)]);
    if (!Buffer) return false;
    // Threads pay off only when there is enough to overlap.
    const int32_t workers = int64_t(W) * H >= (int64_t(1) << 20) ? WorkerCount(2) : 1;
    TSyncCounter counter(workers);
    ParallelCall(counter, [this] { Work(); });
    return !Failed.load(std::memory_order_acquire) &&
           Decoded.load(std::memory_order_acquire) == Bands;
  }

  bool AnyColour() const { return AnyColour_.load(std::memory_order_relaxed); }

 private:
  uint8_t* Slot(int32_t band) { return Buffer.get() + size_t(band % kSlots) * size_t(RowBytes * kBandRows); }
  int32_t RowsOf(int32_t band) const { return std::min(kBandRows, H - band * kBandRows); }

  void Bump() {
    {
      std::lock_guard<std::mutex> lock(ProgressLock);
      ++Progress;
    }
    ProgressChanged.notify_all();
  }
  int64_t SeenProgress() {
    std::lock_guard<std::mutex> lock(ProgressLock);
    return Progress;
  }
  void AwaitProgress(int64_t seen) {
    std::unique_lock<std::mutex> lock(ProgressLock);
    ProgressChanged.wait(lock, [&] { return Progress != seen; });
  }

  bool DecodeBand(int32_t band) {
    JSAMPROW rows[kBandRows];
    const int32_t n = RowsOf(band);
    for (int32_t i = 0; i < n; ++i) rows[i] = Slot(band) + int64_t(i) * RowBytes;
    int32_t got = 0;
    while (got < n) {
      JDIMENSION k = 0;
      if (!Guarded(D, [&] { k = jpeg_read_scanlines(&D.Info, rows + got, JDIMENSION(n - got)); }) ||
          k == 0)
        return false;
      got += int32_t(k);
    }
    return true;
  }

  void ConvertBand(int32_t band) {
    const uint8_t* src = Slot(band);
    bool differ = false;
    for (int32_t i = 0, n = RowsOf(band); i < n; ++i, src += RowBytes) {
      const int32_t y = H - 1 - (band * kBandRows + i);  // file rows run from the top
      float* g = Image.MainPlane->RowPointer(0, y);
      if (Colour) differ |= SplitRgb8(src, Image.RedPlane->RowPointer(0, y), g,
                                      Image.BluePlane->RowPointer(0, y), W);
      else WidenU8(src, g, W);
    }
    if (differ) AnyColour_.store(true, std::memory_order_relaxed);
  }

  void Work() {
    for (;;) {
      // Every change of the state below is followed by Bump, so a change made after this
      // read ends the wait at the bottom at once.
      const int64_t seen = SeenProgress();
      if (Failed.load(std::memory_order_acquire)) return;
      // Decoding is the longer chain: a free slot is filled first, conversion waits.
      const int32_t d = Decoded.load(std::memory_order_acquire);
      if (d < Bands && SlotFreeFor[d % kSlots].load(std::memory_order_acquire) == d &&
          !Decoding.exchange(true, std::memory_order_acq_rel)) {
        // Another worker may have decoded band d between the reads above and taking the
        // flag; only the holder of the flag moves Decoded, so it is read again here.
        const int32_t next = Decoded.load(std::memory_order_acquire);
        const bool go = next < Bands &&
                        SlotFreeFor[next % kSlots].load(std::memory_order_acquire) == next;
        if (go) {
          if (DecodeBand(next)) Decoded.store(next + 1, std::memory_order_release);
          else Failed.store(true, std::memory_order_release);
        }
        Decoding.store(false, std::memory_order_release);
        if (go) Bump();
        continue;
      }
      int32_t c = NextConvert.load(std::memory_order_acquire);
      if (c >= Bands) return;
      if (c < Decoded.load(std::memory_order_acquire)) {
        if (NextConvert.compare_exchange_strong(c, c + 1, std::memory_order_acq_rel)) {
          ConvertBand(c);
          SlotFreeFor[c % kSlots].store(c + kSlots, std::memory_order_release);
          Bump();
        }
        continue;
      }
      AwaitProgress(seen);
    }
  }

  TJpegDecoder& D;
  TAImage& Image;
  const bool Colour;
  int32_t W = 0, H = 0, Components = 1, Bands = 0;
  int64_t RowBytes = 0;
  std::unique_ptr<uint8_t[]> Buffer;
  std::mutex ProgressLock;
  std::condition_variable ProgressChanged;
  int64_t Progress = 0;  // state changes so far (guarded by ProgressLock)
  std::atomic<int32_t> Decoded{0};      // bands decoded, in order
  std::atomic<int32_t> NextConvert{0};  // next band to claim for conversion
  std::atomic<int32_t> SlotFreeFor[kSlots];  // the band a slot may receive next
  std::atomic<bool> Decoding{false};
  std::atomic<bool> Failed{false};
  std::atomic<bool> AnyColour_{false};
};

}  // namespace

void LoadJpeg(const std::string& path, TAImage& image, TBgraBitmap* preview) {
  if (!HasExtension(path, {".jpg", ".jpeg"})) return;
  int32_t w0 = 0, h0 = 0;
  JpegSize(path, w0, h0);
  if (w0 > 0 && h0 > 0 && SideTooLarge(w0, h0)) {
    image.Status |= kStatusRefusedTooLarge;
    return;
  }
  // Exposure, dates and camera texts of the EXIF block, as header lines.
  std::string metadata;
  if (w0 > 0 && h0 > 0) metadata = ReadExifMetadata(TFileSource(path)).Text;
  if (preview) {
    TRasterBitmap bitmap;
    if (!DecodeJpeg(path, JpegPreviewScale(w0, h0), true, bitmap)) {
      image.Status |= kStatusFailed;
      return;
    }
    if (!DrawPreviewFromPicture(bitmap.Data.get(), bitmap.Width, bitmap.Height,
                                bitmap.BytesPerPixel, bitmap.Stride, *preview))
      RasterOutOfMemory();
    // The file's size, not the reduced one: the preview line reports the picture's size.
    image.Header.SetGeometry(w0 > 0 ? w0 : bitmap.Width, h0 > 0 ? h0 : bitmap.Height,
                             BitmapIsColour(bitmap), 8);
    image.Header.ImportText(metadata);
    image.Status |= kStatusLoaded8Bit | kStatusPreviewDrawn;
    return;
  }
  TFile f(path, "rb");
  if (!f.F) {
    image.Status |= kStatusFailed;
    return;
  }
  TJpegDecoder d;
  d.Info.err = jpeg_std_error(&d.Error.Mgr);
  d.Error.Mgr.error_exit = OnJpegError;
  d.Error.Mgr.output_message = OnJpegMessage;
  bool colour = false;
  if (!Guarded(d, [&] {
        jpeg_create_decompress(&d.Info);
        d.Created = true;
        jpeg_stdio_src(&d.Info, f.F);
        jpeg_read_header(&d.Info, TRUE);
      })) {
    image.Status |= kStatusFailed;
    return;
  }
  if (d.Info.num_components == 3) {
    d.Info.out_color_space = JCS_RGB;
    colour = true;
  } else if (d.Info.num_components == 1) {
    d.Info.out_color_space = JCS_GRAYSCALE;
  } else {
    // Four-component files need a colour conversion the decoder does not offer.
    TRasterBitmap bitmap;
    bool outOfMemory = false;
    if (!DecodeWithImageLibrary(path, bitmap, outOfMemory)) {
      image.Status |= kStatusFailed | (outOfMemory ? kStatusOutOfMemory : 0);
      return;
    }
    LoadFromBitmap(bitmap, image);
    if (LoadSucceeded(image.Status)) image.Header.ImportText(metadata);
    return;
  }
  if (!Guarded(d, [&] { jpeg_calc_output_dimensions(&d.Info); })) {
    image.Status |= kStatusFailed;
    return;
  }
  const int32_t w = int32_t(d.Info.output_width), h = int32_t(d.Info.output_height);
  if (SideTooLarge(w, h)) {
    image.Status |= kStatusRefusedTooLarge;
    return;
  }
  if (w < 1 || h < 1) {
    image.Status |= kStatusFailed;
    return;
  }
  // Sized before decoding starts: a refused size costs no decoding.
  image.SetSize(w, h, colour);
  if (!Guarded(d, [&] { jpeg_start_decompress(&d.Info); }) ||
      int32_t(d.Info.output_width) != w || int32_t(d.Info.output_height) != h ||
      d.Info.output_components != (colour ? 3 : 1)) {
    image.Status |= kStatusFailed;
    return;
  }
  TJpegBandRing ring(d, image, colour);
  if (!ring.Run() || !Guarded(d, [&] { jpeg_finish_decompress(&d.Info); })) {
    image.Status |= kStatusFailed;
    return;
  }
  // A colour file whose pixels are all gray becomes a monochrome image, as the shared
  // bitmap path decides.
  if (colour && !ring.AnyColour()) {
    image.SetColour(false);
    colour = false;
  }
  image.Header.SetGeometry(w, h, colour, 8);
  image.Header.ImportText(metadata);
  image.Status |= kStatusLoaded8Bit;
}

bool WriteViewJpeg(const TBgraBitmap& view, const std::filesystem::path& path, int32_t quality) {
  const int32_t w = view.Width(), h = view.Height();
  if (!view.Pixels() || w < 1 || h < 1 || w > 65500 || h > 65500) return false;
  quality = quality < 1 ? 1 : (quality > 100 ? 100 : quality);
  jpeg_compress_struct info{};
  TJpegError error{};
  unsigned char* mem = nullptr;
  unsigned long memSize = 0;
  info.err = jpeg_std_error(&error.Mgr);
  error.Mgr.error_exit = OnJpegError;
  error.Mgr.output_message = OnJpegMessage;
  if (setjmp(error.Jump)) {
    jpeg_destroy_compress(&info);
    std::free(mem);
    return false;
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, &mem, &memSize);
  info.image_width = JDIMENSION(w);
  info.image_height = JDIMENSION(h);
  info.input_components = 4;
  info.in_color_space = JCS_EXT_BGRX;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    // The view keeps its bottom row first; JPEG rows run from the top.
    const uint32_t* src = view.Pixels() + int64_t(h - 1 - int32_t(info.next_scanline)) * w;
    JSAMPROW row = const_cast<JSAMPROW>(reinterpret_cast<const uint8_t*>(src));
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  bool ok = false;
  {
    TSafeFileWriter out(path);
    ok = out.Open() && out.Write(mem, memSize) && out.Commit();
  }
  std::free(mem);
  return ok;
}

}  // namespace orlu
