// Raster formats: registration, the decoded-picture path, BMP and PNG loaders, the PNG, BMP
// and view writers, and the 16-bit view stretch.
#include "formats/uRaster.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/EOrluError.h"
#include "fits/ImaFilesPvt.h"
#include "formats/LoadStatus.h"
#include "formats/uFiles.h"
#include "formats/uPng.h"
#include "formats/uRasterPvt.h"
#include "image/ImaColor.h"
#include "image/LibThreads.h"
#include "visual/ImaRender.h"

namespace orlu {

// ============================================================================ registration

void RegisterRasterLoaders(TLoaderTable& table) {
  table.Register(kSlotBmp, "BMP",
                 [](const TLoadRequest& rq, TAImage& im) { LoadBmp(rq.Path, im, rq.Preview); });
  table.Register(kSlotJpeg, "JPEG",
                 [](const TLoadRequest& rq, TAImage& im) { LoadJpeg(rq.Path, im, rq.Preview); });
  table.Register(kSlotPng, "PNG", [](const TLoadRequest& rq, TAImage& im) { LoadPng(rq.Path, im); });
  table.Register(kSlotTiff, "TIFF",
                 [](const TLoadRequest& rq, TAImage& im) { LoadTiff(rq.Path, im); });
  table.Register(kSlotImageLibrary, "image library",
                 [](const TLoadRequest& rq, TAImage& im) { LoadImageLibraryFile(rq.Path, im); });
}

// ============================================================================ shared helpers

void RasterOutOfMemory() { throw EOrluError(kOutOfMemoryText); }

bool SideTooLarge(int64_t w, int64_t h) { return w > kMaxImageSide || h > kMaxImageSide; }

// ============================================================================ decoded pictures

bool TRasterBitmap::Allocate(int32_t w, int32_t h, int32_t bytesPerPixel) {
  Data.reset();
  Width = Height = 0;
  Stride = 0;
  if (w < 1 || h < 1 || SideTooLarge(w, h) || (bytesPerPixel != 3 && bytesPerPixel != 4))
    return false;
  const int64_t stride = int64_t(w) * bytesPerPixel;
  Data = AllocPixels<uint8_t>(std::size_t(stride * h));
  if (!Data) return false;
  Width = w;
  Height = h;
  BytesPerPixel = bytesPerPixel;
  Stride = stride;
  return true;
}

bool BitmapIsColour(const TRasterBitmap& bitmap) {
  if (!bitmap.Data) return false;
  const int32_t bpp = bitmap.BytesPerPixel;
  for (int32_t y = 0; y < bitmap.Height; ++y) {
    const uint8_t* p = bitmap.Row(y);
    for (int32_t x = 0; x < bitmap.Width; ++x, p += bpp)
      if (p[0] != p[1] || p[1] != p[2]) return true;
  }
  return false;
}

bool DrawPreviewFromPicture(const uint8_t* pixels, int32_t w, int32_t h, int32_t bytesPerPixel,
                            int64_t stride, TBgraBitmap& preview) {
  if (!pixels || w < 1 || h < 1 || bytesPerPixel < 3) return false;
  int32_t pw = 0, ph = 0;
  PreviewSize(preview.Width(), preview.Height(), w, h, pw, ph);
  if (!preview.SetSize(pw, ph)) return false;
  std::vector<int64_t> cols(static_cast<size_t>(pw));
  for (int32_t i = 0; i < pw; ++i)
    cols[size_t(i)] = (2 * int64_t(i) + 1) * w / (2 * int64_t(pw)) * bytesPerPixel;
  for (int32_t j = 0; j < ph; ++j) {
    // Preview rows count from the bottom, picture rows from the top.
    const int64_t sy = h - 1 - (2 * int64_t(j) + 1) * h / (2 * int64_t(ph));
    const uint8_t* row = pixels + sy * stride;
    uint32_t* out = preview.Pixels() + int64_t(j) * pw;
    for (int32_t i = 0; i < pw; ++i) {
      const uint8_t* p = row + cols[size_t(i)];
      out[i] = 0xFF000000u | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
    }
  }
  return true;
}

void LoadFromBitmap(const TRasterBitmap& bitmap, TAImage& image, TBgraBitmap* preview) {
  if (!bitmap.Data || (bitmap.BytesPerPixel != 3 && bitmap.BytesPerPixel != 4)) {
    image.Status |= kStatusFailed;
    return;
  }
  if (SideTooLarge(bitmap.Width, bitmap.Height)) {
    image.Status |= kStatusRefusedTooLarge;
    return;
  }
  if (preview) {
    if (!DrawPreviewFromPicture(bitmap.Data.get(), bitmap.Width, bitmap.Height,
                                bitmap.BytesPerPixel, bitmap.Stride, *preview))
      RasterOutOfMemory();
    image.Header.SetGeometry(bitmap.Width, bitmap.Height, BitmapIsColour(bitmap), 8);
    image.Status |= kStatusLoaded8Bit | kStatusPreviewDrawn;
    return;
  }
  const bool colour = BitmapIsColour(bitmap);
  image.SetSize(bitmap.Width, bitmap.Height, colour);
  if (colour) {
    image.ImportBitmap(bitmap.Width, bitmap.Height, bitmap.BytesPerPixel, bitmap.Stride,
                       bitmap.Data.get());
  } else {
    const int32_t h = bitmap.Height, w = bitmap.Width, bpp = bitmap.BytesPerPixel;
    ParallelRows(h, 0, [&](int32_t y) {
      const uint8_t* src = bitmap.Row(h - 1 - y) + 1;
      float* dst = image.MainPlane->RowPointer(0, y);
      for (int32_t x = 0; x < w; ++x) dst[x] = src[int64_t(x) * bpp];
    });
  }
  image.Header.SetGeometry(bitmap.Width, bitmap.Height, colour, 8);
  image.Status |= kStatusLoaded8Bit;
}

namespace {

std::mutex gHandOverLock;
std::unique_ptr<TRasterBitmap> gHandOver;

}  // namespace

void HandOverBitmap(std::unique_ptr<TRasterBitmap> bitmap) {
  std::lock_guard<std::mutex> lock(gHandOverLock);
  gHandOver = std::move(bitmap);
}

// ============================================================================ BMP

void LoadBmp(const std::string& path, TAImage& image, TBgraBitmap* preview) {
  if (path == kMemoryBitmapPath) {
    std::unique_ptr<TRasterBitmap> b;
    {
      std::lock_guard<std::mutex> lock(gHandOverLock);
      b = std::move(gHandOver);
    }
    if (!b || !b->Data || (b->BytesPerPixel != 3 && b->BytesPerPixel != 4)) {
      image.Status |= kStatusFailed;
      return;
    }
    LoadFromBitmap(*b, image, preview);
    return;
  }
  if (!HasExtension(path, {".bmp", ".dib"})) return;
  uint8_t head[26];
  if (!ReadFileHead(path, head, sizeof head)) return;
  if (head[0] != 'B' || head[1] != 'M') return;
  const int64_t w = std::abs(int64_t(int32_t(Le32(head + 18))));
  const int64_t h = std::abs(int64_t(int32_t(Le32(head + 22))));
  if (w <= 0 || h <= 0) return;
  if (SideTooLarge(w, h)) {
    image.Status |= kStatusRefusedTooLarge;
    return;
  }
  TRasterBitmap bitmap;
  bool outOfMemory = false;
  if (!DecodeWithImageLibrary(path, bitmap, outOfMemory)) {
    image.Status |= kStatusFailed | (outOfMemory ? kStatusOutOfMemory : 0);
    return;
  }
  LoadFromBitmap(bitmap, image, preview);
}

// ============================================================================ PNG

void LoadPng(const std::string& path, TAImage& image) {
  if (!HasExtension(path, {".png"})) return;
  LoadPngFile(path, image, true);
}

void LoadPngFile(const std::string& path, TAImage& image, bool useLibrary) {
  TPNGManager png;
  const bool decoded = png.Decode(path, true);
  if (!png.InfoValid) {
    if (png.OutOfMemory) image.Status |= kStatusFailed | kStatusOutOfMemory;
    return;  // not a PNG: other loaders may try
  }
  if (SideTooLarge(png.Width, png.Height)) {
    image.Status |= kStatusRefusedTooLarge;
    return;
  }
  if (!decoded) {
    if (png.OutOfMemory) {
      image.Status |= kStatusFailed | kStatusOutOfMemory;
      return;
    }
    if (useLibrary) LoadWithImageLibrary(path, image);
    else image.Status |= kStatusRefusedDecoder;
    return;
  }
  const bool colour = png.IsRgb || png.IsPalette;
  const int32_t w = png.Width, h = png.Height;
  const int32_t bitpix = png.BitDepth == 16 ? 16 : 8;
  image.SetSize(w, h, colour);
  float* main = image.MainPlane->Data;
  float* red = colour ? image.RedPlane->Data : nullptr;
  float* blue = colour ? image.BluePlane->Data : nullptr;
  ParallelRows(h, 0, [&](int32_t r) {
    const int64_t at = int64_t(h - 1 - r) * w;
    png.RowToFloats(r, red ? red + at : nullptr, main + at, blue ? blue + at : nullptr);
  });
  if (png.HeaderText.empty()) {
    image.Header.SetGeometry(w, h, colour, bitpix);
    image.Status |= kStatusLoaded;
    if (bitpix == 8) image.Status |= kStatusLoaded8Bit;
    return;
  }
  image.Header.ImportHeaderText(png.HeaderText, w, h, colour, bitpix);
  image.Status |= kStatusLoaded | kStatusFitsHeader;
  image.LoadWcsFromHeader();
}

namespace {

// A sample as a level 0…max: rounded half to even, clamped, corrupt values 0.
inline int32_t Level(float v, int32_t max) {
  if (!(v > 0.0f)) return 0;
  if (v >= float(max)) return max;
  return int32_t(std::nearbyint(v));
}

inline void PutSample(uint8_t* p, int32_t v, bool sixteen) {
  if (sixteen) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
  } else {
    p[0] = uint8_t(v);
  }
}

bool MaskUsable(const TAMask* mask, int32_t w, int32_t h) {
  return mask && mask->HasStorage() && mask->Width == w && mask->Height == h;
}

}  // namespace

bool WritePngFromImage(TAImage& image, const std::filesystem::path& path,
                       const std::string& headerText, const TAMask* mask, bool stretched) {
  image.RefreshMinMax();
  const int32_t w = image.Width(), h = image.Height();
  TPNGManager png;
  png.Width = w;
  png.Height = h;
  png.IsRgb = image.IsColour();
  png.HasAlpha = MaskUsable(mask, w, h);
  png.BitDepth = !stretched && image.DataMax <= 255.0f && image.DataMin >= 0.0f ? 8 : 16;
  if (!png.Allocate()) {
    if (png.OutOfMemory) RasterOutOfMemory();
    return false;
  }
  png.HeaderText = headerText;
  const bool sixteen = png.BitDepth == 16;
  const int32_t max = sixteen ? 65535 : 255;
  const int32_t bytes = sixteen ? 2 : 1;
  const int32_t bpp = png.BytesPerPixel;
  const bool rgb = png.IsRgb, alpha = png.HasAlpha;
  const uint16_t* weights = alpha ? mask->Weights() : nullptr;
  auto fillRow = [&](int32_t y, const float* r, const float* g, const float* b) {
    uint8_t* p = png.Pixels.get() + int64_t(h - 1 - y) * png.Stride + 1;
    const uint16_t* wr = weights ? weights + int64_t(y) * w : nullptr;
    for (int32_t x = 0; x < w; ++x, p += bpp) {
      if (rgb) {
        PutSample(p, Level(r[x], max), sixteen);
        PutSample(p + bytes, Level(g[x], max), sixteen);
        PutSample(p + 2 * bytes, Level(b[x], max), sixteen);
      } else {
        PutSample(p, Level(g[x], max), sixteen);
      }
      if (wr) PutSample(p + (rgb ? 3 : 1) * bytes, sixteen ? wr[x] : wr[x] / 256, sixteen);
    }
  };
  if (stretched) {
    TVisualStretch16 stretch(image);
    std::vector<float> r(static_cast<size_t>(w)), g(r.size()), b(r.size());
    for (int32_t y = 0; y < h; ++y) {
      stretch.GetRow(y, r.data(), g.data(), b.data());
      fillRow(y, r.data(), g.data(), b.data());
    }
  } else {
    ParallelRows(h, 0, [&](int32_t y) {
      const float* g = image.MainPlane->RowPointer(0, y);
      const float* r = rgb ? image.RedPlane->RowPointer(0, y) : nullptr;
      const float* b = rgb ? image.BluePlane->RowPointer(0, y) : nullptr;
      fillRow(y, r, g, b);
    });
  }
  return png.WritePng(path);
}

bool WritePngFromView(const TBgraBitmap& view, const std::filesystem::path& path,
                      const std::string& headerText, const TAMask* mask, bool colour) {
  const int32_t w = view.Width(), h = view.Height();
  if (!view.Pixels() || w < 1 || h < 1) return false;
  TPNGManager png;
  png.Width = w;
  png.Height = h;
  png.IsRgb = colour;
  png.HasAlpha = MaskUsable(mask, w, h);
  png.BitDepth = 8;
  if (!png.Allocate()) {
    if (png.OutOfMemory) RasterOutOfMemory();
    return false;
  }
  png.HeaderText = headerText;
  const uint16_t* weights = png.HasAlpha ? mask->Weights() : nullptr;
  const int32_t bpp = png.BytesPerPixel;
  ParallelRows(h, 0, [&](int32_t i) {
    // The view keeps its bottom row first: file row i is view row h - 1 - i.
    const int32_t y = h - 1 - i;
    const uint32_t* src = view.Pixels() + int64_t(y) * w;
    const uint16_t* wr = weights ? weights + int64_t(y) * w : nullptr;
    uint8_t* p = png.Pixels.get() + int64_t(i) * png.Stride + 1;
    for (int32_t x = 0; x < w; ++x, p += bpp) {
      const uint32_t c = src[x];
      const uint32_t r = (c >> 16) & 0xFF, g = (c >> 8) & 0xFF, b = c & 0xFF;
      if (colour) {
        p[0] = uint8_t(r);
        p[1] = uint8_t(g);
        p[2] = uint8_t(b);
      } else {
        p[0] = uint8_t((2 * g + r + b) / 4);
      }
      if (wr) p[colour ? 3 : 1] = uint8_t(wr[x] / 256);
    }
  });
  return png.WritePng(path);
}

// ============================================================================ view BMP

bool WriteViewBmp(const TBgraBitmap& view, const std::filesystem::path& path, bool gray) {
  const int32_t w = view.Width(), h = view.Height();
  if (!view.Pixels() || w < 1 || h < 1) return false;
  const int64_t rowBytes = (int64_t(w) * (gray ? 1 : 3) + 3) / 4 * 4;
  const int64_t dataOffset = gray ? 1078 : 54;
  const int64_t fileSize = dataOffset + rowBytes * h;
  if (fileSize > int64_t(UINT32_MAX)) return false;
  std::vector<uint8_t> head(std::size_t(dataOffset), 0);
  uint8_t* p = head.data();
  p[0] = 'B';
  p[1] = 'M';
  PutLe32(p + 2, uint32_t(fileSize));
  PutLe32(p + 10, uint32_t(dataOffset));
  PutLe32(p + 14, 40);
  PutLe32(p + 18, uint32_t(w));
  PutLe32(p + 22, uint32_t(h));
  PutLe16(p + 26, 1);
  PutLe16(p + 28, gray ? 8 : 24);
  PutLe32(p + 34, uint32_t(rowBytes * h));
  PutLe32(p + 46, gray ? 256 : 0);
  if (gray)
    for (int i = 0; i < 256; ++i) p[54 + 4 * i] = p[55 + 4 * i] = p[56 + 4 * i] = uint8_t(i);

  TSafeFileWriter out(path);
  if (!out.Open() || !out.Write(head.data(), head.size())) return false;
  out.Preallocate(fileSize);
  // Rows from the bottom up, as the bitmap keeps them, in pieces of about 1 MiB.
  const int32_t rowsPer = int32_t(std::max<int64_t>(1, (int64_t(1) << 20) / rowBytes));
  std::vector<uint8_t> buf(std::size_t(rowBytes * std::min(rowsPer, h)));
  for (int32_t y0 = 0; y0 < h; y0 += rowsPer) {
    const int32_t n = std::min(rowsPer, h - y0);
    std::fill(buf.begin(), buf.end(), 0);
    for (int32_t k = 0; k < n; ++k) {
      const uint32_t* src = view.Pixels() + int64_t(y0 + k) * w;
      uint8_t* d = buf.data() + int64_t(k) * rowBytes;
      for (int32_t x = 0; x < w; ++x) {
        const uint32_t c = src[x];
        const uint32_t r = (c >> 16) & 0xFF, g = (c >> 8) & 0xFF, b = c & 0xFF;
        if (gray) {
          d[x] = uint8_t((77 * r + 151 * g + 28 * b) / 256);
        } else {
          d[3 * x] = uint8_t(b);
          d[3 * x + 1] = uint8_t(g);
          d[3 * x + 2] = uint8_t(r);
        }
      }
    }
    if (!out.Write(buf.data(), std::size_t(rowBytes * n))) return false;
  }
  return out.Commit();
}

// ============================================================================ 16-bit views

TVisualStretch16::TVisualStretch16(const TAImage& image) : Source(image) {}
TVisualStretch16::~TVisualStretch16() = default;

void TVisualStretch16::LoadBand(int32_t band) {
  if (band == BandIndex) return;
  const int32_t w = Source.Width();
  if (!Band) {
    Band = std::make_unique<TAImage>();
    Band->SetSize(w, kBandRows, Source.IsColour());
  }
  BandIndex = -1;
  Band->IsFloat = Source.IsFloat;
  Band->Visu.CopyFrom(Source.Visu);
  const int32_t first = band * kBandRows;
  const int32_t rows = std::min(kBandRows, Source.Height() - first);
  auto copy = [&](const TBWImage* src, TBWImage* dst) {
    if (!src || !dst) return;
    std::memcpy(dst->Data, src->RowPointer(0, first), std::size_t(int64_t(w) * rows) * 4);
    // Rows past the image's end are never read; zeros keep them defined.
    std::memset(dst->Data + int64_t(w) * rows, 0,
                std::size_t(int64_t(w) * (kBandRows - rows)) * 4);
  };
  copy(Source.MainPlane.get(), Band->MainPlane.get());
  copy(Source.RedPlane.get(), Band->RedPlane.get());
  copy(Source.BluePlane.get(), Band->BluePlane.get());
  if (!HistogramStretch(*Band, 65535.0)) {
    // A transfer code the stretch does not know: the view shows black.
    Band->Fill(0.0f);
  }
  BandIndex = band;
}

void TVisualStretch16::GetRow(int32_t y, float* r, float* g, float* b) {
  const int32_t w = Source.Width();
  if (y < 0 || y >= Source.Height()) {
    std::fill(r, r + w, 0.0f);
    std::fill(g, g + w, 0.0f);
    std::fill(b, b + w, 0.0f);
    return;
  }
  LoadBand(y / kBandRows);
  const int32_t row = y % kBandRows;
  const float* gs = Band->MainPlane->RowPointer(0, row);
  std::copy(gs, gs + w, g);
  if (Band->IsColour()) {
    const float* rs = Band->RedPlane->RowPointer(0, row);
    const float* bs = Band->BluePlane->RowPointer(0, row);
    std::copy(rs, rs + w, r);
    std::copy(bs, bs + w, b);
  } else {
    std::copy(gs, gs + w, r);
    std::copy(gs, gs + w, b);
  }
}

void TVisualStretch16::GetRGB(int32_t x, int32_t y, float& r, float& g, float& b) {
  r = g = b = 0.0f;
  if (x < 0 || y < 0 || x >= Source.Width() || y >= Source.Height()) return;
  LoadBand(y / kBandRows);
  const int32_t row = y % kBandRows;
  g = Band->MainPlane->GetPixelUnchecked(x, row);
  if (Band->IsColour()) {
    r = Band->RedPlane->GetPixelUnchecked(x, row);
    b = Band->BluePlane->GetPixelUnchecked(x, row);
  } else {
    r = b = g;
  }
}

}  // namespace orlu
