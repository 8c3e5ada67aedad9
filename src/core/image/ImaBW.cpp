#include "image/ImaBW.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "base/OrluMath.h"

namespace orlu {

namespace {

std::atomic<int32_t> gNextSerialId{0};

// Floats beyond the samples: the guard (Width + Height + 1024) plus 64 spare.
constexpr int64_t kExtraFloats = 1088;
// A kept block may be larger than needed by at most this many floats.
constexpr int64_t kMaxWaste = 50000;

inline int32_t ClampInt(int64_t v, int64_t lo, int64_t hi) {
  return int32_t(v < lo ? lo : (v > hi ? hi : v));
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Storage

TBWImage::TBWImage() : SerialId(gNextSerialId.fetch_add(1, std::memory_order_relaxed) + 1) {
  SetSize(16, 16);
}

TBWImage::~TBWImage() = default;

void TBWImage::Release() {
  Buffer.reset();
  Data = nullptr;
  FCapacity = 0;
  Width = Height = Count = 0;
}

void TBWImage::FillGuard() {
  if (!Data) return;
  std::fill_n(Data + Count, GuardLength(), 1.0f);
}

void TBWImage::SetSize(int32_t w, int32_t h) {
  w = std::max<int32_t>(w, 1);
  h = std::max<int32_t>(h, 1);
  if (Data && w == Width && h == Height) return;
  const int64_t count = int64_t(w) * h;
  const int64_t need = count + w + h + kExtraFloats;
  // Every index expression (up to the end of the guard) must stay in 32 bits.
  if (need > std::numeric_limits<int32_t>::max()) {
    Release();
    return;
  }
  // Keeping a block is only safe when it also holds the new guard; the old rule of
  // comparing sample counts alone could put the guard past the block.
  const bool keep = Data && need <= FCapacity && FCapacity - need <= kMaxWaste;
  if (!keep) {
    Release();
    // 4 floats of slack so Data can be moved up to a 16-byte boundary whatever the allocator.
    PixelBlockPtr<float> block = AllocPixels<float>(std::size_t(need) + 4);
    if (!block) return;
    Buffer = std::move(block);
    const auto addr = reinterpret_cast<std::uintptr_t>(Buffer.get());
    const std::uintptr_t offset = ((addr + 15) & ~std::uintptr_t(15)) - addr;
    Data = Buffer.get() + offset / sizeof(float);
    FCapacity = need + 4 - int64_t(offset / sizeof(float));
  }
  Width = w;
  Height = h;
  Count = int32_t(count);
  FillGuard();
}

// ---------------------------------------------------------------------------------------
// Pixel access

float TBWImage::GetPixel(int32_t col, int32_t row) const {
  if (col < 0 || row < 0 || col >= Width || row >= Height) return OutsideValue;
  return Data[col + int64_t(row) * Width];
}

namespace {
// Reflection about the first and last sample, then clamped: a reflection of a point more
// than one width away would still be outside.
inline int32_t MirrorIndex(int32_t c, int32_t n) {
  int64_t v = c;
  if (v < 0) v = -v;
  if (v >= n) v = 2 * int64_t(n) - v - 2;
  return ClampInt(v, 0, n - 1);
}
}  // namespace

float TBWImage::GetPixelMirror(int32_t col, int32_t row) const {
  if (!Data) return OutsideValue;
  return Data[MirrorIndex(col, Width) + int64_t(MirrorIndex(row, Height)) * Width];
}

float TBWImage::GetPixelClamp(int32_t col, int32_t row) const {
  if (!Data) return OutsideValue;
  return Data[ClampInt(col, 0, Width - 1) + int64_t(ClampInt(row, 0, Height - 1)) * Width];
}

void TBWImage::SetPixel(int32_t col, int32_t row, float v) {
  if (col < 0 || row < 0 || col >= Width || row >= Height) return;
  Data[col + int64_t(row) * Width] = v;
}

void TBWImage::SetPixelMasked(int32_t col, int32_t row, bool masked, float v) {
  if (col < 0 || row < 0 || col >= Width || row >= Height) return;
  float& s = Data[col + int64_t(row) * Width];
  if (!masked) {
    s = v;
    return;
  }
  const uint16_t m = HasMask() ? Mask->Weight(col, row) : 0;
  if (m == 0) return;
  const double d = m / 65535.0;
  s = float((1.0 - d) * s + d * v);
}

void TBWImage::CopyPixelFrom(const TBWImage& other, int32_t col, int32_t row) {
  if (other.Width != Width || col < 0 || row < 0 || col >= Width || row >= Height ||
      row >= other.Height)
    return;
  const int64_t i = col + int64_t(row) * Width;
  Data[i] = other.Data[i];
}

float TBWImage::GetPixelZoomed(int32_t col, int32_t row, int32_t z) const {
  if (!Data) return OutsideValue;
  if (z <= 1) return GetPixel(col, row);
  // A block start is clamped to lo..(size - span) so the block lies inside; on a plane
  // narrower than the block that range is empty and every read is clamped instead.
  auto start = [](int64_t v, int32_t lo, int32_t size, int32_t span) -> int32_t {
    const int64_t hi = int64_t(size) - span;
    return hi >= lo ? ClampInt(v, lo, hi) : ClampInt(v, 0, size - 1);
  };
  auto at = [this](int64_t c, int64_t r) {
    return Data[ClampInt(c, 0, Width - 1) + int64_t(ClampInt(r, 0, Height - 1)) * Width];
  };
  if (z <= 3) {
    const int32_t cc = start(col, 1, Width, 2), rr = start(row, 1, Height, 2);
    double s = 0;
    for (int dy = -1; dy <= 1; ++dy)
      for (int dx = -1; dx <= 1; ++dx) s += at(cc + dx, rr + dy);
    return float(s / 9.0);
  }
  const int64_t k = (int64_t(z) + 2) / 4, j = z / 4;
  const int64_t px[4] = {col - k, col + j, col - k, col + j};
  const int64_t py[4] = {row - k, row - k, row + j, row + j};
  double s = 0;
  if (z <= 9) {
    for (int b = 0; b < 4; ++b) {
      const int32_t sx = start(px[b], 0, Width, 2), sy = start(py[b], 0, Height, 2);
      s += at(sx, sy) + at(sx + 1, sy) + at(sx, sy + 1) + at(sx + 1, sy + 1);
    }
  } else {
    for (int b = 0; b < 4; ++b) {
      const int32_t sx = start(px[b], 1, Width, 3) - 1, sy = start(py[b], 1, Height, 3) - 1;
      s += at(sx, sy) + at(sx + 3, sy) + at(sx, sy + 3) + at(sx + 3, sy + 3);
    }
  }
  return float(s / 16.0);
}

float TBWImage::Kernel3x3(int32_t col, int32_t row, const float k[9]) const {
  if (!Data) return OutsideValue;
  float s = 0;
  if (col >= 1 && col < Width - 1 && row >= 1 && row < Height - 1) {
    const float* p = Data + (col - 1) + int64_t(row - 1) * Width;
    for (int dy = 0; dy < 3; ++dy, p += Width)
      for (int dx = 0; dx < 3; ++dx) s += k[dy * 3 + dx] * p[dx];
    return s;
  }
  for (int dy = 0; dy < 3; ++dy)
    for (int dx = 0; dx < 3; ++dx)
      s += k[dy * 3 + dx] *
           GetPixelMirror(int32_t(std::clamp<int64_t>(int64_t(col) + dx - 1, INT32_MIN, INT32_MAX)),
                          int32_t(std::clamp<int64_t>(int64_t(row) + dy - 1, INT32_MIN, INT32_MAX)));
  return s;
}

float TBWImage::Bilinear(float x, float y) const {
  if (!Data) return OutsideValue;
  int32_t col, row;
  // The rounding is checked: NaN and huge positions are outside, never converted.
  if (!TryRound(double(x) + 0.5, col) || !TryRound(double(y) + 0.5, row)) return OutsideValue;
  if (col < 0 || col > Width || row < 0 || row > Height) return OutsideValue;
  const float gx = 1.0f + x - float(col), dx = 1.0f - gx;
  const float gy = 1.0f + y - float(row), dy = 1.0f - gy;
  float s00, s10, s01, s11;
  if (col > 0 && col < Width && row > 0 && row < Height) {
    const float* p = Data + (col - 1) + int64_t(row - 1) * Width;
    s00 = p[0];
    s10 = p[1];
    s01 = p[Width];
    s11 = p[Width + 1];
  } else {
    if (!BilinearEdges) return OutsideValue;
    s00 = GetPixel(col - 1, row - 1);
    s10 = GetPixel(col, row - 1);
    s01 = GetPixel(col - 1, row);
    s11 = GetPixel(col, row);
  }
  return dx * dy * s00 + gx * dy * s10 + dx * gy * s01 + gx * gy * s11;
}

float TBWImage::BilinearClamped(float x, float y) const {
  if (!Data) return OutsideValue;
  x = std::clamp(x, 0.0f, float(Width - 1));
  y = std::clamp(y, 0.0f, float(Height - 1));
  return Bilinear(x, y);
}

float TBWImage::BilinearWeighted(int32_t col, int32_t row, const float w[4]) const {
  if (!Data) return OutsideValue;
  if (col >= 0 && row >= 0 && col <= Width - 2 && row <= Height - 2) {
    const float* p = Data + col + int64_t(row) * Width;
    return w[0] * p[0] + w[1] * p[1] + w[2] * p[Width] + w[3] * p[Width + 1];
  }
  if (col >= -1 && row >= -1 && col <= Width - 1 && row <= Height - 1)
    return w[0] * GetPixel(col, row) + w[1] * GetPixel(col + 1, row) +
           w[2] * GetPixel(col, row + 1) + w[3] * GetPixel(col + 1, row + 1);
  return OutsideValue;
}

float TBWImage::GridMean(int32_t col, int32_t row, int32_t k, float cap) const {
  if (!Data) return OutsideValue;
  const int64_t kk = std::max<int32_t>(k, 1);
  const int64_t sx = Width / (4 * kk), sy = Height / (4 * kk);
  auto m = [this](int64_t c, int64_t r) {
    return GetPixelMirror(ClampInt(c, INT32_MIN, INT32_MAX), ClampInt(r, INT32_MIN, INT32_MAX));
  };
  double s = 0;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      const int64_t c = col + j * sx, r = row + i * sy;
      const float v = (m(c, r) + m(c + 1, r) + m(c, r + 1) + m(c + 1, r + 1)) * 0.25f;
      s += std::min(v, cap);
    }
  return float(s / 16.0);
}

double TBWImage::BlockSum(int32_t col, int32_t row, int32_t n) const {
  if (!Data || n < 1) return 0;
  // A block larger than the plane is cut to it rather than started at a negative corner.
  const int32_t nx = std::min(n, Width), ny = std::min(n, Height);
  const int32_t c0 = ClampInt(col, 0, Width - nx), r0 = ClampInt(row, 0, Height - ny);
  double s = 0;
  for (int32_t r = r0; r < r0 + ny; ++r) {
    const float* p = Data + c0 + int64_t(r) * Width;
    for (int32_t c = 0; c < nx; ++c) s += p[c];
  }
  return s;
}

// ---------------------------------------------------------------------------------------
// Whole-plane copies

std::unique_ptr<TBWImage> TBWImage::Clone() const {
  if (!Data) return nullptr;
  std::unique_ptr<TBWImage> p(new (std::nothrow) TBWImage());
  if (!p || !AssignTo(*p)) return nullptr;
  p->Mask = Mask;
  p->OutsideValue = OutsideValue;
  p->Role = Role;
  p->BilinearEdges = BilinearEdges;
  return p;
}

bool TBWImage::CopyTo(TBWImage& other) const {
  if (&other == this || !Data || !other.Data || !SameSize(other)) return false;
  std::memcpy(other.Data, Data, std::size_t(Count) * sizeof(float));
  other.Symmetric = Symmetric;
  return true;
}

bool TBWImage::CopyRowTo(TBWImage& other, int32_t row) const {
  if (&other == this || !Data || !other.Data || other.Width != Width || row < 0 ||
      row >= Height || row >= other.Height)
    return false;
  std::memcpy(other.RowPointer(0, row), RowPointer(0, row), std::size_t(Width) * sizeof(float));
  return true;
}

bool TBWImage::AssignTo(TBWImage& other) const {
  if (&other == this) return Data != nullptr;
  if (!Data) return false;
  other.SetSize(Width, Height);
  return CopyTo(other);
}

void TBWImage::ExtractTo(TBWImage& other, int32_t col, int32_t row) const {
  if (&other == this || !other.Data) return;
  for (int32_t y = 0; y < other.Height; ++y) {
    float* d = other.RowPointer(0, y);
    const int32_t sy = ClampInt(int64_t(row) + y, INT32_MIN, INT32_MAX);
    for (int32_t x = 0; x < other.Width; ++x)
      d[x] = GetPixel(ClampInt(int64_t(col) + x, INT32_MIN, INT32_MAX), sy);
  }
}

// ---------------------------------------------------------------------------------------
// Geometry

void TBWImage::ClampPoint(double& x, double& y, double mx, double my) const {
  // max before min: a negative margin larger than the plane must not give an inverted range.
  x = std::min(std::max(x, -mx), Width - 1 + mx);
  y = std::min(std::max(y, -my), Height - 1 + my);
}

bool TBWImage::PointInside(double x, double y, double mx, double my) const {
  return x >= -mx && x <= Width - 1 + mx && y >= -my && y <= Height - 1 + my;
}

// ---------------------------------------------------------------------------------------
// Mask coupling

bool TBWImage::HasMask() const {
  return Mask && Data && Mask->Width == Width && Mask->Height == Height && Mask->HasStorage();
}

TPixelRect TBWImage::MaskBounds() const {
  if (!HasMask()) return TPixelRect{0, 0, Width - 1, Height - 1};
  return Mask->EnsureBounds();
}

void TBWImage::MaskRange(int64_t& first, int64_t& last) const {
  if (!HasMask()) {
    first = 0;
    last = int64_t(Count) - 1;
    return;
  }
  const TPixelRect r = Mask->EnsureBounds();
  if (r.IsEmpty()) {
    first = 0;
    last = -1;
    return;
  }
  first = int64_t(r.Bottom) * Width;
  last = int64_t(r.Top) * Width + Width - 1;
}

}  // namespace orlu
