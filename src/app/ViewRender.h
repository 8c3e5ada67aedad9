// Renders the part of an image that a window shows, at the window's scale, through the
// core renderer: only the shown pixels are sampled, so the memory used follows the window's
// size and never the image's. Qt-free.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "visual/ImaRender.h"

namespace orlu {

class TAImage;

// Image pixel shown by each of count screen pixels starting at zoomed pixel first, at the
// scale numerator / 960: floor((first + k) × 960 / numerator). Callers keep the result
// inside the image (first + count at most ZoomedExtent of the side).
std::vector<int32_t> ZoomedIndices(int64_t first, int32_t count, int32_t numerator);
// count screen pixels spread evenly over size image pixels (thumbnails): pixel k shows
// floor((k + 0.5) × size / count).
std::vector<int32_t> SpreadIndices(int32_t count, int32_t size);
// Screen rows are listed top-down while image row 0 is the bottom row: row index r of a
// height-row image is shown as height - 1 - r.
void FlipRows(std::vector<int32_t>& rows, int32_t height);

// A rendered view in horizontal bands, top band first; each band is a bitmap whose memory
// rows read top-down (see TViewRenderer::Render), so it can be shown without a copy.
class TViewPicture {
 public:
  int32_t Width() const { return Width_; }
  int32_t Height() const { return Height_; }
  // Pixel at column x of row y counted from the top; 0 outside.
  uint32_t Pixel(int32_t x, int32_t y) const;
  int32_t BandCount() const { return int32_t(Bands_.size()); }
  const TBgraBitmap& Band(int32_t i) const { return Bands_[size_t(i)]; }
  // Row of the picture where band i begins.
  int32_t BandTop(int32_t i) const { return Tops_[size_t(i)]; }

 private:
  friend class TViewRenderer;
  std::vector<TBgraBitmap> Bands_;
  std::vector<int32_t> Tops_;
  int32_t Width_ = 0;
  int32_t Height_ = 0;
};

class TViewRenderer {
 public:
  TViewRenderer();
  ~TViewRenderer();
  TViewRenderer(const TViewRenderer&) = delete;
  TViewRenderer& operator=(const TViewRenderer&) = delete;

  // Fills out (cols × rows pixels) with the image's pixels at the given columns and rows
  // through its visualization and palette; row k of out shows image row rows[k]. Large
  // pictures are rendered in bands side by side on the worker threads. Indices must lie
  // inside the image. False, out emptied, when a list is empty or memory ran short.
  bool Render(const TAImage& image, const std::vector<int32_t>& cols,
              const std::vector<int32_t>& rows, TViewPicture& out);

 private:
  // Samples of the shown pixels, one image per band; kept between calls so that panning
  // and zooming reuse touched memory.
  std::vector<std::unique_ptr<TAImage>> Scratch_;
};

}  // namespace orlu
