// The program's own PNG codec: reads every PNG colour type and depth (interlaced too) with
// the FITS header text chunk, and writes 8- and 16-bit gray or RGB files with that chunk.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "base/PixelMemory.h"

namespace orlu {

// One object per file operation; not thread-safe.
class TPNGManager {
 public:
  // Largest chunk length a PNG may declare (2^31 - 1).
  static constexpr uint32_t kMaxChunkLength = 0x7FFFFFFF;
  // Bytes of IDAT data per written chunk.
  static constexpr uint32_t kIdatChunkBytes = 1u << 20;

  // ---- Picture description (from IHDR, or set by the writer before Allocate) ----
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t BitDepth = 0;    // 1, 2, 4, 8 or 16
  int32_t ColourType = 0;  // 0 gray, 2 RGB, 3 palette, 4 gray + alpha, 6 RGB + alpha
  uint8_t IsPalette = 0;   // colour type 3
  uint8_t IsRgb = 0;       // colour type 2 or 6
  uint8_t HasAlpha = 0;    // colour type 4 or 6
  uint8_t Interlaced = 0;  // Adam7 in the file; Decode delivers the plain row layout
  // The filter unit: samples per pixel × bytes per sample, 1 for palette and sub-byte depths.
  int32_t BytesPerPixel = 0;
  // Bytes of one row plus its leading filter byte.
  int64_t Stride = 0;
  // Height × Stride bytes, top row first, each row led by its filter byte (0 once
  // unfiltered); 16-bit samples big-endian, sub-byte samples packed from the high bits.
  PixelBlockPtr<uint8_t> Pixels;
  // Red, green, blue of each palette entry; entries the file does not give are black.
  std::array<uint8_t, 768> Palette{};
  int32_t PaletteCount = 0;
  // The luminance R + 2G + B of entry 1 is below that of entry 0.
  uint8_t PaletteInverted = 0;
  // Data of the tEXt chunk with the FITS header, "FITS_HEADER" + NUL prefix included;
  // empty when the file has none.
  std::string HeaderText;
  // The last ReadInfo or Decode found a sound PNG description.
  bool InfoValid = false;
  // The last Decode or Allocate failed for want of memory.
  bool OutOfMemory = false;

  // Signature, IHDR, palette and header text; false for anything that is not a sound PNG
  // description (bad signature, chunk lengths beyond the file or above 2^31 - 1, a bad CRC
  // on IHDR or PLTE, an IHDR of impossible values, a palette file without palette).
  bool ReadInfo(const std::filesystem::path& path);
  // ReadInfo, then inflates the image data into Pixels; with unfilter the row filters are
  // removed (interlaced files are always unfiltered and de-interlaced). False on any error:
  // a side above 30000, a bad CRC on image data, a damaged or short zlib stream, no memory
  // (OutOfMemory).
  bool Decode(const std::filesystem::path& path, bool unfilter);

  // Samples at (x, y), y counted from the top: red, green, blue and alpha (0 without an
  // alpha sample); gray files give their sample three times, palette files the entry's
  // colours, sub-byte gray samples scaled to 0…255. False outside the picture.
  bool PixelAt(int32_t x, int32_t y, int32_t& r, int32_t& g, int32_t& b, int32_t& a) const;
  // Row y (from the top) of an unfiltered picture as floats: gray (or palette green) into
  // g, red and blue too for RGB and palette files (r, b may be null otherwise).
  void RowToFloats(int32_t y, float* r, float* g, float* b) const;

  // Sets the colour type from IsRgb and HasAlpha, computes BytesPerPixel and Stride and
  // allocates Pixels (filter bytes 0, samples unset); clears HeaderText. False for sizes
  // outside 1…30000, a depth other than 8 or 16, or no memory.
  bool Allocate();
  // Store samples (8-bit files: the low byte; 16-bit: clamped to 0…65535, big-endian);
  // alpha ignored without an alpha channel; coordinates outside are ignored.
  void SetGrayPixel(int32_t x, int32_t y, int32_t alpha, int32_t value);
  void SetColourPixel(int32_t x, int32_t y, int32_t alpha, int32_t red, int32_t green,
                      int32_t blue);
  // Filters Pixels in place and writes the file (beside the target, renamed on success):
  // signature, IHDR, tEXt with HeaderText when not empty, IDAT chunks of at most
  // kIdatChunkBytes, IEND. False on any compression or file error (target unchanged).
  bool WritePng(const std::filesystem::path& path);

  // Row bytes without the filter byte for the current description (64-bit).
  int64_t RowBytes() const;

 private:
  bool ParseInfo(const uint8_t* data, std::size_t size);
  void ComputeLayout();
  bool Inflate(const uint8_t* data, std::size_t size, bool unfilter);
  void FilterForWrite();
};

// PNG CRC-32 (reflected polynomial 0xEDB88320, start all ones, final complement) of the
// bytes, continuing from crc (0 to start).
uint32_t PngCrc32(uint32_t crc, const void* data, std::size_t size);

}  // namespace orlu
