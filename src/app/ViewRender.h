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

class TViewRenderer {
 public:
  TViewRenderer();
  ~TViewRenderer();
  TViewRenderer(const TViewRenderer&) = delete;
  TViewRenderer& operator=(const TViewRenderer&) = delete;

  // Fills out (sized cols × rows) with the image's pixels at the given columns and rows
  // through its visualization and palette; memory row k of out holds rows[k], so a
  // top-down list gives a picture that reads top-down. Indices must lie inside the image.
  // False, out unchanged, when the lists are empty or memory ran short.
  bool Render(const TAImage& image, const std::vector<int32_t>& cols,
              const std::vector<int32_t>& rows, TBgraBitmap& out);

 private:
  // Samples of the shown pixels, of the output's size; kept between calls so that panning
  // reuses touched memory.
  std::unique_ptr<TAImage> Scratch_;
};

}  // namespace orlu
