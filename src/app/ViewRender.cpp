#include "ViewRender.h"

#include <algorithm>
#include <new>

#include "ZoomMath.h"
#include "base/EOrluError.h"
#include "image/ImaColor.h"
#include "image/LibThreads.h"

namespace orlu {

std::vector<int32_t> ZoomedIndices(int64_t first, int32_t count, int32_t numerator) {
  std::vector<int32_t> out(size_t(std::max(count, 0)));
  if (numerator <= 0) return out;
  for (int32_t k = 0; k < count; ++k)
    out[size_t(k)] = int32_t((first + k) * kZoomDenominator / numerator);
  return out;
}

std::vector<int32_t> SpreadIndices(int32_t count, int32_t size) {
  std::vector<int32_t> out(size_t(std::max(count, 0)));
  for (int32_t k = 0; k < count; ++k)
    out[size_t(k)] = int32_t(((2 * int64_t(k) + 1) * size) / (2 * int64_t(count)));
  return out;
}

void FlipRows(std::vector<int32_t>& rows, int32_t height) {
  for (int32_t& r : rows) r = height - 1 - r;
}

uint32_t TViewPicture::Pixel(int32_t x, int32_t y) const {
  if (x < 0 || y < 0 || x >= Width_ || y >= Height_) return 0;
  size_t b = Bands_.size();
  while (b > 0 && Tops_[b - 1] > y) --b;
  if (b == 0) return 0;
  const TBgraBitmap& band = Bands_[b - 1];
  return band.Pixels()[int64_t(y - Tops_[b - 1]) * band.Width() + x];
}

TViewRenderer::TViewRenderer() = default;
TViewRenderer::~TViewRenderer() = default;

namespace {

// Bands small enough that the core renderer never starts threads of its own inside one
// (it does for colour pictures above 2 million pixels), and at least one per worker.
constexpr int64_t kBandPixels = 1500000;
constexpr int64_t kParallelPixels = 262144;

bool SizeScratch(std::unique_ptr<TAImage>& img, int32_t w, int32_t h, bool colour) {
  try {
    if (!img) img = std::make_unique<TAImage>();
    if (img->Width() == w && img->Height() == h && img->IsColour() == colour && !img->AllocFailed)
      return true;
    if (img->Resize(w, h, colour)) return true;
  } catch (const EOrluError&) {
  } catch (const std::bad_alloc&) {
  }
  img.reset();
  return false;
}

}  // namespace

bool TViewRenderer::Render(const TAImage& image, const std::vector<int32_t>& cols,
                           const std::vector<int32_t>& rows, TViewPicture& out) {
  out.Bands_.clear();
  out.Tops_.clear();
  out.Width_ = out.Height_ = 0;
  if (cols.empty() || rows.empty() || cols.size() > size_t(TAImage::kMaxSide) ||
      rows.size() > size_t(TAImage::kMaxSide))
    return false;
  const int32_t w = int32_t(cols.size());
  const int32_t h = int32_t(rows.size());
  const int64_t pixels = int64_t(w) * h;
  int32_t bands = 1;
  if (pixels >= kParallelPixels)
    bands = int32_t(std::max<int64_t>(WorkerCount(), (pixels + kBandPixels - 1) / kBandPixels));
  bands = std::clamp(bands, 1, h);
  const bool colour = image.IsColour();
  if (Scratch_.size() < size_t(bands)) Scratch_.resize(size_t(bands));
  out.Bands_.resize(size_t(bands));
  out.Tops_.resize(size_t(bands));
  for (int32_t b = 0; b < bands; ++b) {
    const int32_t top = int32_t(int64_t(h) * b / bands);
    const int32_t bottom = int32_t(int64_t(h) * (b + 1) / bands);
    out.Tops_[size_t(b)] = top;
    if (!SizeScratch(Scratch_[size_t(b)], w, bottom - top, colour) ||
        !out.Bands_[size_t(b)].SetSize(w, bottom - top)) {
      out.Bands_.clear();
      out.Tops_.clear();
      return false;
    }
  }

  const TBWImage* src[3] = {image.MainPlane.get(), image.RedPlane.get(), image.BluePlane.get()};
  const int32_t planes = colour ? 3 : 1;
  const int32_t srcW = image.Width();
  const int32_t* colIdx = cols.data();
  std::vector<uint8_t> ok(size_t(bands), 0);
  // Each band: its own samples, its own picture; a worker touches only its band's.
  auto renderBand = [&](int32_t b) {
    TAImage& scratch = *Scratch_[size_t(b)];
    TBWImage* dst[3] = {scratch.MainPlane.get(), scratch.RedPlane.get(), scratch.BluePlane.get()};
    const int32_t top = out.Tops_[size_t(b)];
    const int32_t n = scratch.Height();
    for (int32_t p = 0; p < planes; ++p)
      for (int32_t k = 0; k < n; ++k) {
        const float* s = src[p]->Data + int64_t(rows[size_t(top + k)]) * srcW;
        float* d = dst[p]->Data + int64_t(k) * w;
        for (int32_t x = 0; x < w; ++x) d[x] = s[colIdx[x]];
      }
    scratch.Visu.CopyFrom(image.Visu);
    scratch.Visu.Palette.CopyFrom(image.Visu.Palette);
    ok[size_t(b)] = RenderImage(scratch, out.Bands_[size_t(b)]) ? 1 : 0;
  };
  if (bands > 1)
    ParallelRows(bands, 0, renderBand);
  else
    renderBand(0);
  if (std::find(ok.begin(), ok.end(), 0) != ok.end()) {
    out.Bands_.clear();
    out.Tops_.clear();
    return false;
  }
  out.Width_ = w;
  out.Height_ = h;
  return true;
}

}  // namespace orlu
