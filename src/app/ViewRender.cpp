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

TViewRenderer::TViewRenderer() = default;
TViewRenderer::~TViewRenderer() = default;

bool TViewRenderer::Render(const TAImage& image, const std::vector<int32_t>& cols,
                           const std::vector<int32_t>& rows, TBgraBitmap& out) {
  if (cols.empty() || rows.empty() || cols.size() > size_t(TAImage::kMaxSide) ||
      rows.size() > size_t(TAImage::kMaxSide))
    return false;
  const int32_t w = int32_t(cols.size());
  const int32_t h = int32_t(rows.size());
  const bool colour = image.IsColour();
  try {
    if (!Scratch_) Scratch_ = std::make_unique<TAImage>();
    if (Scratch_->Width() != w || Scratch_->Height() != h || Scratch_->IsColour() != colour ||
        Scratch_->AllocFailed) {
      if (!Scratch_->Resize(w, h, colour)) {
        Scratch_.reset();
        return false;
      }
    }
  } catch (const EOrluError&) {
    return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (!out.SetSize(w, h)) return false;

  const TBWImage* src[3] = {image.MainPlane.get(), image.RedPlane.get(), image.BluePlane.get()};
  TBWImage* dst[3] = {Scratch_->MainPlane.get(), Scratch_->RedPlane.get(),
                      Scratch_->BluePlane.get()};
  const int32_t planes = colour ? 3 : 1;
  const int32_t srcW = image.Width();
  const int32_t* colIdx = cols.data();
  auto sampleRows = [&](int32_t from, int32_t to) {
    for (int32_t p = 0; p < planes; ++p) {
      for (int32_t k = from; k < to; ++k) {
        const float* s = src[p]->Data + int64_t(rows[size_t(k)]) * srcW;
        float* d = dst[p]->Data + int64_t(k) * w;
        for (int32_t x = 0; x < w; ++x) d[x] = s[colIdx[x]];
      }
    }
  };
  // Bands of rows: a worker writes only the rows of its own bands.
  constexpr int32_t kBand = 64;
  const int32_t bands = (h + kBand - 1) / kBand;
  if (int64_t(w) * h >= 262144 && bands > 1) {
    ParallelRows(bands, 0, [&](int32_t b) { sampleRows(b * kBand, std::min(h, (b + 1) * kBand)); });
  } else {
    sampleRows(0, h);
  }

  Scratch_->Visu.CopyFrom(image.Visu);
  Scratch_->Visu.Palette.CopyFrom(image.Visu.Palette);
  return RenderImage(*Scratch_, out);
}

}  // namespace orlu
