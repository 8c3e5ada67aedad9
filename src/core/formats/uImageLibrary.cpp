// The image library path (FreeImage): GIF, PCX, PSD, HDR, EXR, the fallback of the PNG and
// TIFF loaders, and the decoder of BMP pictures.
#include <FreeImage.h>

#include <algorithm>
#include <cstring>

#include "formats/LoadStatus.h"
#include "formats/uFiles.h"
#include "formats/uRaster.h"
#include "formats/uRasterPvt.h"
#include "image/ImaColor.h"
#include "image/LibThreads.h"

namespace orlu {

namespace {

class TDib {
 public:
  explicit TDib(FIBITMAP* p = nullptr) : P(p) {}
  ~TDib() { Reset(nullptr); }
  TDib(const TDib&) = delete;
  TDib& operator=(const TDib&) = delete;
  void Reset(FIBITMAP* p) {
    if (P) FreeImage_Unload(P);
    P = p;
  }
  FIBITMAP* P;
};

FREE_IMAGE_FORMAT FormatOf(const std::string& path) {
  FREE_IMAGE_FORMAT fif = FreeImage_GetFileType(path.c_str(), 0);
  if (fif == FIF_UNKNOWN) fif = FreeImage_GetFIFFromFilename(path.c_str());
  if (fif == FIF_UNKNOWN || !FreeImage_FIFSupportsReading(fif)) return FIF_UNKNOWN;
  return fif;
}

// The picture's size from its header alone where the library can, so that a huge
// picture is refused before its pixels are decoded.
bool HeaderSize(FREE_IMAGE_FORMAT fif, const std::string& path, int64_t& w, int64_t& h) {
  TDib head(FreeImage_Load(fif, path.c_str(), FIF_LOAD_NOPIXELS));
  if (!head.P) return false;
  w = FreeImage_GetWidth(head.P);
  h = FreeImage_GetHeight(head.P);
  return true;
}

// Rows of a library picture as floats: fn(libraryRow, imageRow).
template <class Fn>
void ForRows(FIBITMAP* dib, int32_t h, Fn&& fn) {
  ParallelRows(h, 0, [&](int32_t y) { fn(FreeImage_GetScanLine(dib, y), y); });
}

void AlphaToMask(TAImage& image, FIBITMAP* dib, int32_t stepBytes, int32_t alphaOffset,
                 bool sixteen) {
  const int32_t w = image.Width(), h = image.Height();
  TAMask& m = *image.Mask;
  m.SetSize(w, h);
  if (!m.Allocate()) RasterOutOfMemory();
  uint16_t* weights = m.Weights();
  ForRows(dib, h, [&](const BYTE* row, int32_t y) {
    uint16_t* d = weights + int64_t(y) * w;
    for (int32_t x = 0; x < w; ++x) {
      const BYTE* p = row + int64_t(x) * stepBytes + alphaOffset;
      uint16_t a;
      if (sixteen)
        std::memcpy(&a, p, 2);
      else
        a = uint16_t(*p * 257);
      d[x] = a;
    }
  });
  m.InvalidateBounds();
}

}  // namespace

void LoadWithImageLibrary(const std::string& path, TAImage& image) {
  const FREE_IMAGE_FORMAT fif = FormatOf(path);
  if (fif == FIF_UNKNOWN) {
    image.Status |= kStatusFailed;
    return;
  }
  int64_t w = 0, h = 0;
  if (HeaderSize(fif, path, w, h) && SideTooLarge(w, h)) {
    image.Status |= kStatusRefusedTooLarge;
    return;
  }
  TDib dib(FreeImage_Load(fif, path.c_str(), 0));
  if (!dib.P || !FreeImage_HasPixels(dib.P)) {
    image.Status |= kStatusFailed;
    return;
  }
  w = FreeImage_GetWidth(dib.P);
  h = FreeImage_GetHeight(dib.P);
  if (w < 1 || h < 1) {
    image.Status |= kStatusFailed;
    return;
  }
  if (SideTooLarge(w, h)) {
    image.Status |= kStatusRefusedTooLarge;
    return;
  }
  const int32_t iw = int32_t(w), ih = int32_t(h);
  const FREE_IMAGE_TYPE type = FreeImage_GetImageType(dib.P);
  switch (type) {
    case FIT_BITMAP: {
      if (FreeImage_GetBPP(dib.P) <= 16) {
        FIBITMAP* converted = FreeImage_ConvertTo32Bits(dib.P);
        if (!converted) {
          image.Status |= kStatusFailed | kStatusOutOfMemory;
          return;
        }
        dib.Reset(converted);
      }
      const int32_t bpp = int32_t(FreeImage_GetBPP(dib.P)) / 8;
      if (bpp != 3 && bpp != 4) {
        image.Status |= kStatusFailed;
        return;
      }
      image.SetSize(iw, ih, true);
      ForRows(dib.P, ih, [&](const BYTE* row, int32_t y) {
        float* g = image.MainPlane->RowPointer(0, y);
        float* r = image.RedPlane->RowPointer(0, y);
        float* b = image.BluePlane->RowPointer(0, y);
        for (int32_t x = 0; x < iw; ++x, row += bpp) {
          b[x] = row[FI_RGBA_BLUE];
          g[x] = row[FI_RGBA_GREEN];
          r[x] = row[FI_RGBA_RED];
        }
      });
      if (bpp == 4 && FreeImage_IsTransparent(dib.P))
        AlphaToMask(image, dib.P, 4, FI_RGBA_ALPHA, false);
      image.Header.SetGeometry(iw, ih, true, 8);
      image.Status |= kStatusLoaded8Bit;
      return;
    }
    case FIT_UINT16:
    case FIT_INT16:
    case FIT_UINT32:
    case FIT_INT32:
    case FIT_FLOAT: {
      image.SetSize(iw, ih, false);
      ForRows(dib.P, ih, [&](const BYTE* row, int32_t y) {
        float* d = image.MainPlane->RowPointer(0, y);
        for (int32_t x = 0; x < iw; ++x) {
          switch (type) {
            case FIT_UINT16: { uint16_t v; std::memcpy(&v, row + 2 * x, 2); d[x] = v; break; }
            case FIT_INT16: { int16_t v; std::memcpy(&v, row + 2 * x, 2); d[x] = v; break; }
            case FIT_UINT32: { uint32_t v; std::memcpy(&v, row + 4 * x, 4); d[x] = float(v); break; }
            case FIT_INT32: { int32_t v; std::memcpy(&v, row + 4 * x, 4); d[x] = float(v); break; }
            default: std::memcpy(d + x, row + 4 * x, 4); break;
          }
        }
      });
      const bool isFloat = type == FIT_FLOAT;
      // Float samples would be rounded by the integer statistics: they stay floating point.
      if (isFloat) image.IsFloat = 1;
      const int32_t bits = type == FIT_UINT16 || type == FIT_INT16 ? 16 : (isFloat ? -32 : 32);
      image.Header.SetGeometry(iw, ih, false, bits);
      image.Status |= kStatusLoaded;
      return;
    }
    case FIT_RGB16:
    case FIT_RGBA16:
    case FIT_RGBF:
    case FIT_RGBAF: {
      const bool isFloat = type == FIT_RGBF || type == FIT_RGBAF;
      const int32_t samples = type == FIT_RGB16 || type == FIT_RGBF ? 3 : 4;
      const int32_t sampleBytes = isFloat ? 4 : 2;
      const int32_t step = samples * sampleBytes;
      image.SetSize(iw, ih, true);
      ForRows(dib.P, ih, [&](const BYTE* row, int32_t y) {
        float* g = image.MainPlane->RowPointer(0, y);
        float* r = image.RedPlane->RowPointer(0, y);
        float* b = image.BluePlane->RowPointer(0, y);
        for (int32_t x = 0; x < iw; ++x) {
          const BYTE* p = row + int64_t(x) * step;
          if (isFloat) {
            std::memcpy(r + x, p, 4);
            std::memcpy(g + x, p + 4, 4);
            std::memcpy(b + x, p + 8, 4);
          } else {
            uint16_t v[3];
            std::memcpy(v, p, 6);
            r[x] = v[0];
            g[x] = v[1];
            b[x] = v[2];
          }
        }
      });
      if (type == FIT_RGBA16 && FreeImage_IsTransparent(dib.P))
        AlphaToMask(image, dib.P, step, 6, true);
      if (isFloat) image.IsFloat = 1;
      image.Header.SetGeometry(iw, ih, true, isFloat ? -32 : 16);
      image.Status |= kStatusLoaded;
      return;
    }
    default:
      image.Status |= kStatusFailed;
      return;
  }
}

void LoadImageLibraryFile(const std::string& path, TAImage& image) {
  if (!HasExtension(path, {".gif", ".pcx", ".psd", ".hdr", ".exr"})) return;
  LoadWithImageLibrary(path, image);
}

namespace {

// The library's picture as 8-bit BGR or BGRA, top row first (other depths converted).
bool PictureOfDib(TDib& dib, TRasterBitmap& bitmap, bool& outOfMemory) {
  if (!dib.P || !FreeImage_HasPixels(dib.P) || FreeImage_GetImageType(dib.P) != FIT_BITMAP)
    return false;
  const uint32_t depth = FreeImage_GetBPP(dib.P);
  if (depth != 24 && depth != 32) {
    FIBITMAP* converted = FreeImage_ConvertTo24Bits(dib.P);
    if (!converted) {
      outOfMemory = true;
      return false;
    }
    dib.Reset(converted);
  }
  const int32_t bpp = int32_t(FreeImage_GetBPP(dib.P)) / 8;
  const int64_t w = FreeImage_GetWidth(dib.P), h = FreeImage_GetHeight(dib.P);
  if (w < 1 || h < 1 || SideTooLarge(w, h)) return false;
  if (!bitmap.Allocate(int32_t(w), int32_t(h), bpp)) {
    outOfMemory = true;
    return false;
  }
  // The library keeps its rows bottom-up; the picture wants the top row first.
  for (int32_t y = 0; y < int32_t(h); ++y)
    std::memcpy(bitmap.Row(int32_t(h) - 1 - y), FreeImage_GetScanLine(dib.P, y),
                std::size_t(w * bpp));
  return true;
}

}  // namespace

bool DecodeWithImageLibrary(const std::string& path, TRasterBitmap& bitmap, bool& outOfMemory) {
  outOfMemory = false;
  const FREE_IMAGE_FORMAT fif = FormatOf(path);
  if (fif == FIF_UNKNOWN) return false;
  TDib dib(FreeImage_Load(fif, path.c_str(), 0));
  return PictureOfDib(dib, bitmap, outOfMemory);
}

bool DecodeMemoryWithImageLibrary(const uint8_t* bytes, std::size_t n, TRasterBitmap& bitmap,
                                  bool& outOfMemory) {
  outOfMemory = false;
  if (!bytes || n == 0 || n > 0xFFFFFFFFu) return false;
  FIMEMORY* mem = FreeImage_OpenMemory(const_cast<BYTE*>(bytes), DWORD(n));
  if (!mem) return false;
  const FREE_IMAGE_FORMAT fif = FreeImage_GetFileTypeFromMemory(mem, 0);
  TDib dib(fif == FIF_UNKNOWN ? nullptr : FreeImage_LoadFromMemory(fif, mem, 0));
  FreeImage_CloseMemory(mem);
  return PictureOfDib(dib, bitmap, outOfMemory);
}

}  // namespace orlu
