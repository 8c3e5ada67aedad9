#include "formats/uMaskFile.h"

#include <algorithm>
#include <vector>

#include "base/Translate.h"
#include "formats/uPng.h"

namespace orlu {

bool SaveMaskFile(const TAMask& mask, const std::filesystem::path& path, bool sixteenBit,
                  std::string& error) {
  if (!mask.HasStorage() || mask.Count == 0) {
    error = Tr("No mask");
    return false;
  }
  TPNGManager png;
  png.Width = mask.Width;
  png.Height = mask.Height;
  png.BitDepth = sixteenBit ? 16 : 8;
  png.IsRgb = 0;
  png.HasAlpha = 0;
  if (!png.Allocate()) {
    error = Tr("Out of memory");
    return false;
  }
  const uint16_t* w = mask.Weights();
  for (int32_t y = 0; y < mask.Height; ++y) {
    const uint16_t* row = w + int64_t(mask.Height - 1 - y) * mask.Width;
    for (int32_t x = 0; x < mask.Width; ++x)
      png.SetGrayPixel(x, y, 0, sixteenBit ? row[x] : (row[x] + 128) / 257);
  }
  if (!png.WritePng(path)) {
    error = Tr("Cannot write file") + "\r" + path.string();
    return false;
  }
  return true;
}

bool LoadMaskFile(const std::filesystem::path& path, TAMask& mask, std::string& error) {
  TPNGManager png;
  if (!png.Decode(path, true)) {
    error = png.OutOfMemory ? Tr("Out of memory")
                            : Tr("Cannot read file") + "\r" + path.string();
    return false;
  }
  TAMask read;
  read.SetSize(png.Width, png.Height);
  if (!read.Allocate()) {
    error = Tr("Out of memory");
    return false;
  }
  std::vector<float> r(size_t(png.Width)), g(size_t(png.Width)), b(size_t(png.Width));
  const bool rgb = png.IsRgb || png.IsPalette;
  uint16_t* w = read.Weights();
  float top = 0;
  for (int32_t y = 0; y < png.Height; ++y) {
    png.RowToFloats(y, r.data(), g.data(), b.data());
    uint16_t* row = w + int64_t(png.Height - 1 - y) * png.Width;
    for (int32_t x = 0; x < png.Width; ++x) {
      const float v = rgb ? float(int32_t(r[size_t(x)] + 2 * g[size_t(x)] + b[size_t(x)]) / 4)
                          : g[size_t(x)];
      const float c = std::clamp(v, 0.0f, 65535.0f);
      row[x] = uint16_t(c);
      top = std::max(top, c);
    }
  }
  if (top <= 255)
    for (int32_t i = 0; i < read.Count; ++i) w[i] = uint16_t(w[i] * 257);
  read.InvalidateBounds();
  TAMask sized;
  sized.SetSize(mask.Width, mask.Height);
  if (!read.CopyResized(sized)) {
    error = Tr("Out of memory");
    return false;
  }
  if (!sized.CopyTo(mask)) {
    error = Tr("Out of memory");
    return false;
  }
  mask.MarkChanged();
  return true;
}

}  // namespace orlu
