#include "formula/ImaMask.h"

#include <algorithm>
#include <limits>

namespace orlu {

void TAMask::SetSize(int32_t w, int32_t h) {
  w = std::max<int32_t>(w, 0);
  h = std::max<int32_t>(h, 0);
  if (w == Width && h == Height) return;
  Release();
  const int64_t count = int64_t(w) * h;
  if (count > std::numeric_limits<int32_t>::max()) {
    w = h = 0;  // beyond what an index can address: the mask stays empty
  }
  Width = w;
  Height = h;
  Count = w * h;
}

bool TAMask::Allocate() {
  Release();
  if (Count <= 0) return false;
  // 64 spare bytes let vector loops read a little past the last weight.
  FWeights = AllocPixels<uint16_t>(std::size_t(Count) + 32);
  if (!FWeights) return false;
  std::fill_n(FWeights.get(), std::size_t(Count) + 32, uint16_t(0));
  return true;
}

void TAMask::Release() {
  FWeights.reset();
  FBoundsValid = false;
}

uint16_t TAMask::Weight(int32_t x, int32_t y) const {
  if (!FWeights || x < 0 || y < 0 || x >= Width || y >= Height) return 0;
  return FWeights[x + int64_t(y) * Width];
}

void TAMask::SetWeight(int32_t x, int32_t y, uint16_t v) {
  if (!FWeights || x < 0 || y < 0 || x >= Width || y >= Height) return;
  FWeights[x + int64_t(y) * Width] = v;
  FBoundsValid = false;
}

void TAMask::Fill(uint16_t v) {
  if (!FWeights) return;
  std::fill_n(FWeights.get(), std::size_t(Count), v);
  FBoundsValid = false;
}

const TPixelRect& TAMask::EnsureBounds() {
  if (!FBoundsValid) ComputeBounds();
  return FBounds;
}

void TAMask::ComputeBounds() {
  FBoundsValid = true;
  if (!FWeights) {
    FBounds = TPixelRect{0, 0, Width - 1, Height - 1};
    return;
  }
  TPixelRect r{Width, Height, -1, -1};
  const uint16_t* w = FWeights.get();
  for (int32_t y = 0; y < Height; ++y) {
    const uint16_t* row = w + int64_t(y) * Width;
    int32_t first = 0;
    while (first < Width && row[first] == 0) ++first;
    if (first == Width) continue;
    int32_t last = Width - 1;
    while (row[last] == 0) --last;
    if (r.Top < 0) r.Bottom = y;
    r.Top = y;
    r.Left = std::min(r.Left, first);
    r.Right = std::max(r.Right, last);
  }
  FBounds = r.Top < 0 ? TPixelRect{} : r;
}

}  // namespace orlu
