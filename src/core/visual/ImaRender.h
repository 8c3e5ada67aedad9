// Turns an image and its visualization (range, level table, palette) into a 32-bit picture.
#pragma once

#include <cstdint>

#include "base/PixelMemory.h"

namespace orlu {

class TAImage;

// A 32-bit picture: pixels 0xAARRGGBB (bytes blue, green, red, alpha in memory), no row
// padding, rows bottom-up: memory row 0 is the bottom row on screen. Image row 0 is shown at
// the bottom, so image pixel i is picture pixel i.
class TBgraBitmap {
 public:
  int32_t Width() const { return FWidth; }
  int32_t Height() const { return FHeight; }
  // Sizes the picture (w, h at least 1); the block is kept when the size does not change.
  // Contents unspecified afterwards. False, picture empty, when memory ran short.
  bool SetSize(int32_t w, int32_t h);
  uint32_t* Pixels() { return FPixels.get(); }
  const uint32_t* Pixels() const { return FPixels.get(); }
  // Pixel at column x of the row y counted from the bottom (image coordinates).
  uint32_t Pixel(int32_t x, int32_t y) const { return FPixels[int64_t(y) * FWidth + x]; }
  void SetPixel(int32_t x, int32_t y, uint32_t c) { FPixels[int64_t(y) * FWidth + x] = c; }
  void Fill(uint32_t c);

 private:
  int32_t FWidth = 0;
  int32_t FHeight = 0;
  PixelBlockPtr<uint32_t> FPixels;
};

// Which loop RenderImage uses; Auto takes the vector loop when vector code is allowed and
// the image is large enough. Both give the same pixels.
enum class TRenderPath { Auto, Scalar, Vector };

// Fills bitmap from the image's planes through Visu (levels 0 at or below Low, 255 at or
// above High, corrupt samples black) with alpha 255: gray images through the palette,
// colour images channel by channel for the Gray and Negative palettes and by luminance
// 0.375 R + 0.5 G + 0.125 B through other palettes. Large colour images use a second
// thread when multithreading is permitted. False, nothing drawn, when the bitmap does not
// have the image's size.
bool RenderImage(const TAImage& image, TBgraBitmap& bitmap, TRenderPath path = TRenderPath::Auto);

}  // namespace orlu
