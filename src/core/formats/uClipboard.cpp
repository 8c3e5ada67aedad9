// Clipboard pictures: sizes are taken from the picture's own header and checked before any
// pixel is converted or decoded; handed-over pixels are bounded by the bytes that came.
#include "formats/uClipboard.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "formats/LoadStatus.h"
#include "formats/uFiles.h"
#include "formats/uRaster.h"
#include "formats/uRasterPvt.h"
#include "image/ImaColor.h"

namespace orlu {

namespace {

std::mutex gReaderLock;
TClipboardReader gReader;

uint32_t Be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

int32_t BytesPerPixel(TClipboardPixels layout) {
  switch (layout) {
    case TClipboardPixels::Bgra: case TClipboardPixels::Rgba: return 4;
    case TClipboardPixels::Bgr: case TClipboardPixels::Rgb: return 3;
    case TClipboardPixels::Gray: return 1;
  }
  return 0;
}

// Width and height of a DIB header (core or info header); false when it is too short.
bool DibSize(const uint8_t* p, std::size_t n, int64_t& w, int64_t& h) {
  if (n < 12) return false;
  const uint32_t headerSize = Le32(p);
  if (headerSize == 12) {
    w = Le16(p + 4);
    h = Le16(p + 6);
    return true;
  }
  if (headerSize < 40 || n < 40) return false;
  w = std::abs(int64_t(int32_t(Le32(p + 4))));
  h = std::abs(int64_t(int32_t(Le32(p + 8))));
  return true;
}

// The size the picture announces, read before it is decoded.
bool AnnouncedSize(const TClipboardPicture& pic, int64_t& w, int64_t& h) {
  const uint8_t* b = pic.Bytes.data();
  const std::size_t n = pic.Bytes.size();
  switch (pic.Kind) {
    case TClipboardPicture::TKind::Pixels:
      w = pic.Width;
      h = pic.Height;
      return true;
    case TClipboardPicture::TKind::Png:
      if (n < 24 || std::memcmp(b, "\x89PNG\r\n\x1a\n", 8) != 0 || std::memcmp(b + 12, "IHDR", 4) != 0)
        return false;
      w = Be32(b + 16);
      h = Be32(b + 20);
      return true;
    case TClipboardPicture::TKind::Bmp:
      if (n < 14 || b[0] != 'B' || b[1] != 'M') return false;
      return DibSize(b + 14, n - 14, w, h);
    case TClipboardPicture::TKind::Dib:
      return DibSize(b, n, w, h);
    case TClipboardPicture::TKind::None:
      break;
  }
  return false;
}

// The picture's bytes can hold a w × h picture: uncompressed DIB pixels need their whole
// rows; compressed pixels (RLE, PNG) may expand, but not beyond a bound, so that a few bytes
// announcing 30000 × 30000 never make the decoder allocate and fill gigabytes.
bool BytesCanHold(const TClipboardPicture& pic, int64_t w, int64_t h) {
  constexpr int64_t kMaxExpansion = 1040;  // beyond deflate's 1032:1 and RLE8's 127:1
  const int64_t n = int64_t(pic.Bytes.size());
  if (pic.Kind == TClipboardPicture::TKind::Png) return (w * h + 7) / 8 <= kMaxExpansion * n;
  if (pic.Kind != TClipboardPicture::TKind::Bmp && pic.Kind != TClipboardPicture::TKind::Dib)
    return true;
  const int64_t at = pic.Kind == TClipboardPicture::TKind::Bmp ? 14 : 0;
  const uint8_t* d = pic.Bytes.data() + at;
  const uint32_t headerSize = Le32(d);
  const bool core = headerSize == 12;
  const uint32_t bits = core ? Le16(d + 10) : Le16(d + 14);
  const uint32_t compression = core ? 0 : Le32(d + 16);
  const int64_t data = n - at - int64_t(headerSize);
  if (bits == 0 || bits > 64 || data <= 0) return false;
  const int64_t rowBytes = (w * bits + 31) / 32 * 4;
  const bool plain = compression == 0 || compression == 3 || compression == 6;
  return plain ? rowBytes * h <= data : rowBytes * h <= kMaxExpansion * data;
}

// A DIB as the bytes of a BMP file: the 14-byte file header in front, its pixel offset past
// the header, the colour masks and the colour table. Empty when the DIB is inconsistent.
std::vector<uint8_t> BmpOfDib(const std::vector<uint8_t>& dib) {
  const std::size_t n = dib.size();
  if (n < 12) return {};
  const uint32_t headerSize = Le32(dib.data());
  if (headerSize != 12 && (headerSize < 40 || headerSize > n)) return {};
  uint64_t tableBytes = 0;
  if (headerSize == 12) {
    const uint32_t bits = Le16(dib.data() + 10);
    if (bits <= 8) tableBytes = 3ull << bits;
  } else {
    const uint32_t bits = Le16(dib.data() + 14);
    const uint32_t compression = Le32(dib.data() + 16);
    const uint32_t used = Le32(dib.data() + 32);
    if (bits <= 8) tableBytes = 4ull * (used != 0 && used < (1u << bits) ? used : (1u << bits));
    else tableBytes = 4ull * std::min<uint32_t>(used, 1u << 16);
    // An info header of 40 bytes is followed by the masks of bit-field pixels.
    if (headerSize == 40 && compression == 3) tableBytes += 12;
    if (headerSize == 40 && compression == 6) tableBytes += 16;
  }
  const uint64_t offset = 14 + uint64_t(headerSize) + tableBytes;
  if (offset > 14 + uint64_t(n) || 14 + uint64_t(n) > 0xFFFFFFFFull) return {};
  uint8_t head[14] = {'B', 'M'};
  PutLe32(head + 2, uint32_t(14 + n));
  PutLe32(head + 10, uint32_t(offset));
  std::vector<uint8_t> bmp;
  bmp.reserve(14 + n);
  bmp.insert(bmp.end(), head, head + 14);
  bmp.insert(bmp.end(), dib.begin(), dib.end());
  return bmp;
}

// Handed-over pixels as a BGR or BGRA picture; false when the bytes do not hold them.
bool PictureOfPixels(const TClipboardPicture& pic, TRasterBitmap& bitmap, bool& outOfMemory) {
  const int32_t bpp = BytesPerPixel(pic.Layout);
  const int64_t w = pic.Width, h = pic.Height;
  if (bpp == 0 || w < 1 || h < 1 || pic.Stride < w * bpp) return false;
  if (int64_t(pic.Bytes.size()) < pic.Stride * (h - 1) + w * bpp) return false;
  const int32_t outBpp = pic.Layout == TClipboardPixels::Bgra ? 4 : 3;
  if (!bitmap.Allocate(int32_t(w), int32_t(h), outBpp)) {
    outOfMemory = true;
    return false;
  }
  for (int32_t y = 0; y < int32_t(h); ++y) {
    const uint8_t* s = pic.Bytes.data() + y * pic.Stride;
    uint8_t* d = bitmap.Row(y);
    switch (pic.Layout) {
      case TClipboardPixels::Bgra: std::memcpy(d, s, std::size_t(w) * 4); break;
      case TClipboardPixels::Bgr: std::memcpy(d, s, std::size_t(w) * 3); break;
      case TClipboardPixels::Rgba:
      case TClipboardPixels::Rgb:
        for (int32_t x = 0; x < int32_t(w); ++x, s += bpp, d += 3) {
          d[0] = s[2];
          d[1] = s[1];
          d[2] = s[0];
        }
        break;
      case TClipboardPixels::Gray:
        for (int32_t x = 0; x < int32_t(w); ++x, d += 3) d[0] = d[1] = d[2] = s[x];
        break;
    }
  }
  return true;
}

}  // namespace

void SetClipboardReader(TClipboardReader reader) {
  std::lock_guard<std::mutex> lock(gReaderLock);
  gReader = std::move(reader);
}

void LoadClipboardPicture(const TClipboardPicture& pic, TAImage& image, TBgraBitmap* preview) {
  int64_t w = 0, h = 0;
  if (!AnnouncedSize(pic, w, h) || w < 1 || h < 1) {
    image.Status |= kStatusFailed;
    return;
  }
  if (SideTooLarge(w, h)) {
    image.Status |= kStatusRefusedTooLarge;
    return;
  }
  if (!BytesCanHold(pic, w, h)) {
    image.Status |= kStatusFailed;
    return;
  }
  TRasterBitmap bitmap;
  bool outOfMemory = false;
  bool ok = false;
  switch (pic.Kind) {
    case TClipboardPicture::TKind::Pixels:
      ok = PictureOfPixels(pic, bitmap, outOfMemory);
      break;
    case TClipboardPicture::TKind::Png:
    case TClipboardPicture::TKind::Bmp:
      ok = DecodeMemoryWithImageLibrary(pic.Bytes.data(), pic.Bytes.size(), bitmap, outOfMemory);
      break;
    case TClipboardPicture::TKind::Dib: {
      const std::vector<uint8_t> bmp = BmpOfDib(pic.Bytes);
      ok = !bmp.empty() && DecodeMemoryWithImageLibrary(bmp.data(), bmp.size(), bitmap, outOfMemory);
      break;
    }
    case TClipboardPicture::TKind::None:
      break;
  }
  if (!ok) {
    image.Status |= kStatusFailed | (outOfMemory ? kStatusOutOfMemory : 0);
    return;
  }
  LoadFromBitmap(bitmap, image, preview);
}

void LoadClipboard(const std::string& path, TAImage& image, TBgraBitmap* preview) {
  if (path != kClipboardPath) return;
  TClipboardReader reader;
  {
    std::lock_guard<std::mutex> lock(gReaderLock);
    reader = gReader;
  }
  TClipboardPicture pic;
  if (reader) reader(pic);
  LoadClipboardPicture(pic, image, preview);
}

void RegisterClipboardLoader(TLoaderTable& table) {
  table.Register(kSlotClipboard, "clipboard", [](const TLoadRequest& rq, TAImage& image) {
    LoadClipboard(rq.Path, image, rq.Preview);
  });
}

}  // namespace orlu
