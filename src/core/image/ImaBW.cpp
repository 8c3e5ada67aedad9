#include "image/ImaBW.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>
#include <new>
#include <type_traits>

#include "base/OrluMath.h"
#include "base/ProcessSwitches.h"
#include "image/LibThreads.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

TBWImage::TBWImage() : TBWImage(16, 16) {}

TBWImage::TBWImage(int32_t w, int32_t h)
    : SerialId(gNextSerialId.fetch_add(1, std::memory_order_relaxed) + 1) {
  SetSize(w, h);
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
  std::unique_ptr<TBWImage> p(new (std::nothrow) TBWImage(Width, Height));
  if (!p || !CopyTo(*p)) return nullptr;
  p->Mask = Mask;
  p->OutsideValue = OutsideValue;
  p->Role = Role;
  p->BilinearEdges = BilinearEdges;
  return p;
}

bool TBWImage::CopyTo(TBWImage& other) const {
  if (&other == this || !Data || !other.Data || !SameSize(other)) return false;
  // Large planes are copied in blocks by the workers: one core does not saturate memory.
  constexpr int64_t kBlock = int64_t(1) << 20;
  const int64_t blocks = (Count + kBlock - 1) / kBlock;
  ParallelRows(int32_t(blocks), 0, [&](int32_t b) {
    const int64_t start = int64_t(b) * kBlock;
    std::memcpy(other.Data + start, Data + start,
                std::size_t(std::min(kBlock, Count - start)) * sizeof(float));
  });
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

// ---------------------------------------------------------------------------------------
// Simple operations

namespace {

// Corrupt samples (NaN, infinities, magnitudes of 2^63 and more) count as 0.
constexpr float kCorruptLimit = 9223372036854775808.0f;  // 2^63
inline float Clean(float v) { return std::fabs(v) < kCorruptLimit ? v : 0.0f; }

template <class F>
inline void ForEachSample(float* p, int64_t n, F f) {
  for (int64_t i = 0; i < n; ++i) p[i] = f(p[i]);
}

}  // namespace

void TBWImage::Fill(float v) {
  if (Data) std::fill_n(Data, Count, v);
}

// The constant operations compute in single precision: converting every sample to double
// and back costs three times the memory traffic of the loop, for at most an ulp or two.
void TBWImage::AddConst(double v) {
  if (v == 0 || !Data) return;
  const float f = float(v);
  ForEachSample(Data, Count, [f](float s) { return s + f; });
}

void TBWImage::AddWrap(double v) {
  if (v == 0 || !Data) return;
  ForEachSample(Data, Count, [v](float s) {
    double r = std::fmod(double(s) + v, 65536.0);
    if (r < 0) r += 65536.0;
    // A tiny negative remainder plus 65536 can round to 65536 itself.
    if (float(r) >= 65536.0f) r = 0;
    return float(r);
  });
}

void TBWImage::MulConst(double v) {
  if (v == 1 || !Data) return;
  const float f = float(v);
  ForEachSample(Data, Count, [f](float s) { return s * f; });
}

void TBWImage::Linear(double a, double b) {
  if (b == 1) {
    AddConst(a);
    return;
  }
  if (!Data) return;
  const float fa = float(a), fb = float(b);
  ForEachSample(Data, Count, [fa, fb](float s) { return fa + fb * s; });
}

void TBWImage::LinearAround(double a, double b, double c) {
  if (b == 1) {
    AddConst(a - c);
    return;
  }
  if (a == 0 && c == 0) {
    MulConst(b);
    return;
  }
  if (!Data) return;
  const float fa = float(a), fb = float(b), fc = float(c);
  ForEachSample(Data, Count, [fa, fb, fc](float s) { return fa + fb * (s - fc); });
}

void TBWImage::LogScale(double f) {
  if (!Data) return;
  ForEachSample(Data, Count, [f](float s) { return s >= 1.0f ? float(f * std::log(double(s))) : 0.0f; });
}

void TBWImage::Clip(float lo, float hi) {
  if (!Data) return;
  ForEachSample(Data, Count, [lo, hi](float s) { return s < lo ? lo : (s > hi ? hi : s); });
}

void TBWImage::ReplaceBelow(float v, float t) {
  if (!Data) return;
  ForEachSample(Data, Count, [v, t](float s) { return s < t ? v : s; });
}

void TBWImage::ReplaceAbove(float v, float t) {
  if (!Data) return;
  ForEachSample(Data, Count, [v, t](float s) { return s > t ? v : s; });
}

void TBWImage::Abs() {
  if (!Data) return;
  ForEachSample(Data, Count, [](float s) { return std::fabs(s); });
}

void TBWImage::RoundAll() {
  if (!Data) return;
  FillGuard();
  ForEachSample(Data, Count,
                [](float s) { return std::fabs(s) < 8388608.0f ? std::nearbyint(s) : s; });
}

void TBWImage::FlipH() {
  if (!Data) return;
  for (int32_t r = 0; r < Height; ++r) std::reverse(RowPointer(0, r), RowPointer(Width, r));
}

void TBWImage::FlipV() {
  if (!Data) return;
  for (int32_t r = 0, q = Height - 1; r < q; ++r, --q)
    std::swap_ranges(RowPointer(0, r), RowPointer(Width, r), RowPointer(0, q));
}

void TBWImage::SwapFieldRows() {
  if (!Data) return;
  for (int32_t r = 0; r + 1 < Height; r += 2)
    std::swap_ranges(RowPointer(0, r), RowPointer(Width, r), RowPointer(0, r + 1));
}

void TBWImage::InterpolateRow(int32_t row) {
  if (!Data || row < 0 || row >= Height) return;
  float* d = RowPointer(0, row);
  for (int32_t c = 0; c < Width; ++c) d[c] = (GetPixel(c, row - 1) + GetPixel(c, row + 1)) * 0.5f;
}

void TBWImage::InterpolateColumn(int32_t col) {
  if (!Data || col < 0 || col >= Width) return;
  for (int32_t r = 0; r < Height; ++r)
    Data[col + int64_t(r) * Width] = (GetPixel(col - 1, r) + GetPixel(col + 1, r)) * 0.5f;
}

// ---------------------------------------------------------------------------------------
// Shift

void TBWImage::Shift(double dx, double dy, bool round) {
  if (!Data) return;
  if (round) {
    dx = std::nearbyint(dx);
    dy = std::nearbyint(dy);
  }
  // NaN or an offset beyond the plane leaves nothing of the content.
  const double limX = double(Width) + 2, limY = double(Height) + 2;
  if (!(std::fabs(dx) < limX) || !(std::fabs(dy) < limY)) {
    Fill(OutsideValue);
    return;
  }
  if (std::fabs(dx) < 1e-6 && std::fabs(dy) < 1e-6) return;
  auto nearInteger = [](double v) {
    const double f = v - std::floor(v);
    return f < 1e-6 || f > 0.999999;
  };
  if (nearInteger(dx) && nearInteger(dy))
    ShiftInteger(int64_t(std::nearbyint(dx)), int64_t(std::nearbyint(dy)));
  else
    ShiftFractional(dx, dy);
}

// Target (c, r) takes source (c - sx, r - sy). Rows run in the direction that reads only
// rows not yet written; memmove takes care of the overlap within a row.
void TBWImage::ShiftInteger(int64_t sx, int64_t sy) {
  const int64_t w = Width, h = Height;
  const int64_t c0 = std::clamp<int64_t>(sx, 0, w), c1 = std::clamp<int64_t>(w + sx, 0, w);
  auto doRow = [&](int64_t r) {
    float* d = Data + r * w;
    const int64_t rs = r - sy;
    if (rs < 0 || rs >= h || c1 <= c0) {
      std::fill_n(d, w, OutsideValue);
      return;
    }
    std::memmove(d + c0, Data + rs * w + (c0 - sx), std::size_t(c1 - c0) * sizeof(float));
    std::fill(d, d + c0, OutsideValue);
    std::fill(d + c1, d + w, OutsideValue);
  };
  if (sy > 0)
    for (int64_t r = h - 1; r >= 0; --r) doRow(r);
  else
    for (int64_t r = 0; r < h; ++r) doRow(r);
}

namespace {

// One target row of a fractional shift, columns [a, b): out[c - a] is the bilinear value at
// source column c + ix of the row pair (A, B), where a null row lies outside the plane.
// Mirrors BilinearWeighted: direct where the 2 × 2 cell is inside, checked reads (outside
// samples give the outside value) for cells touching the border, the outside value beyond.
struct TShiftRow {
  int64_t w;
  int64_t ix;
  float w0, w1, w2, w3;
  float outside;

  void Run(const float* A, const float* B, float* out, int64_t a, int64_t b) const {
    if (!A && !B) {
      std::fill(out, out + (b - a), outside);
      return;
    }
    auto get = [this](const float* row, int64_t c) {
      return row && c >= 0 && c < w ? row[c] : outside;
    };
    // Source columns -1 .. w-1 have a value; 0 .. w-2 need no checks on inside rows.
    const int64_t valLo = std::clamp<int64_t>(-1 - ix, a, b), valHi = std::clamp<int64_t>(w - ix, a, b);
    int64_t dirLo = valHi, dirHi = valHi;
    if (A && B) {
      dirLo = std::clamp<int64_t>(-ix, valLo, valHi);
      dirHi = std::clamp<int64_t>(w - 1 - ix, dirLo, valHi);
    }
    std::fill(out, out + (valLo - a), outside);
    auto checked = [&](int64_t from, int64_t to) {
      for (int64_t c = from; c < to; ++c) {
        const int64_t s = c + ix;
        out[c - a] = w0 * get(A, s) + w1 * get(A, s + 1) + w2 * get(B, s) + w3 * get(B, s + 1);
      }
    };
    checked(valLo, dirLo);
    if (dirHi > dirLo) Direct(A + dirLo + ix, B + dirLo + ix, out + (dirLo - a), dirHi - dirLo);
    checked(dirHi, valHi);
    std::fill(out + (valHi - a), out + (b - a), outside);
  }

  // The inner loop, summed in the order BilinearWeighted uses.
  void Direct(const float* __restrict q0, const float* __restrict q1, float* __restrict o,
              int64_t n) const {
    const float a0 = w0, a1 = w1, a2 = w2, a3 = w3;
    for (int64_t k = 0; k < n; ++k) o[k] = a0 * q0[k] + a1 * q0[k + 1] + a2 * q1[k] + a3 * q1[k + 1];
  }
};

}  // namespace

// Target (c, r) takes BilinearWeighted (c + ix, r + iy) with (ix, iy) the integer parts of
// (-dx, -dy), as if computed from an untouched copy of the plane.
void TBWImage::ShiftFractional(double dx, double dy) {
  const int64_t w = Width, h = Height;
  const double fxs = -dx, fys = -dy;
  const int64_t ix = int64_t(std::floor(fxs)), iy = int64_t(std::floor(fys));
  const double fx = fxs - double(ix), fy = fys - double(iy);
  const TShiftRow sr{w, ix, float((1 - fx) * (1 - fy)), float(fx * (1 - fy)), float((1 - fx) * fy),
                     float(fx * fy), OutsideValue};
  auto row = [&](int64_t r) -> const float* { return r >= 0 && r < h ? Data + r * w : nullptr; };

  // Fast path: rows in ascending order (memory streams forward) with copies of the source
  // rows that would otherwise be overwritten before they are read.
  PixelBlockPtr<float> saved = iy >= -1 ? AllocPixels<float>(std::size_t(2 * w)) : nullptr;
  if (iy <= -2) {
    // Source rows lie at least two rows lower: descending order never reads a written row.
    for (int64_t r = h - 1; r >= 0; --r) sr.Run(row(r + iy), row(r + iy + 1), Data + r * w, 0, w);
    return;
  }
  if (saved) {
    float* prev = saved.get();
    float* cur = prev + w;
    for (int64_t r = 0; r < h; ++r) {
      float* d = Data + r * w;
      if (iy >= 1) {
        sr.Run(row(r + iy), row(r + iy + 1), d, 0, w);
      } else if (iy == 0) {
        std::memcpy(cur, d, std::size_t(w) * sizeof(float));
        sr.Run(cur, row(r + 1), d, 0, w);
      } else {  // iy == -1: the pair is (original row r-1, original row r)
        std::memcpy(cur, d, std::size_t(w) * sizeof(float));
        sr.Run(r >= 1 ? prev : nullptr, cur, d, 0, w);
        std::swap(prev, cur);
      }
    }
    return;
  }

  // Without the row copies: rows and column chunks run in the direction that never reads a
  // sample already written; each chunk is computed into a stack buffer first.
  constexpr int64_t kChunk = 512;
  float buf[kChunk];
  auto doRow = [&](int64_t r) {
    float* d = Data + r * w;
    const float* A = row(r + iy);
    const float* B = row(r + iy + 1);
    auto chunk = [&](int64_t a, int64_t b) {
      sr.Run(A, B, buf, a, b);
      std::memcpy(d + a, buf, std::size_t(b - a) * sizeof(float));
    };
    if (ix >= 0)
      for (int64_t a = 0; a < w; a += kChunk) chunk(a, std::min(w, a + kChunk));
    else
      for (int64_t b = w; b > 0; b -= kChunk) chunk(std::max<int64_t>(0, b - kChunk), b);
  };
  if (iy >= 0)
    for (int64_t r = 0; r < h; ++r) doRow(r);
  else
    for (int64_t r = h - 1; r >= 0; --r) doRow(r);
}

// ---------------------------------------------------------------------------------------
// Two-plane operations

namespace {
template <class F>
inline void ForEachPair(float* p, const float* q, int64_t n, F f) {
  for (int64_t i = 0; i < n; ++i) p[i] = f(p[i], q[i]);
}
}  // namespace

void TBWImage::Add(const TBWImage& o) {
  if (!Data || !o.Data) return;
  if (SameSize(o)) {
    ForEachPair(Data, o.Data, Count, [](float s, float v) { return s + v; });
    return;
  }
  const int32_t w = std::min(Width, o.Width), h = std::min(Height, o.Height);
  for (int32_t r = 0; r < h; ++r)
    ForEachPair(RowPointer(0, r), o.RowPointer(0, r), w, [](float s, float v) { return s + v; });
}

void TBWImage::Subtract(const TBWImage& o) {
  if (!Data || !o.Data || !SameSize(o)) return;
  ForEachPair(Data, o.Data, Count, [](float s, float v) { return s - v; });
}

void TBWImage::MultiplyNormalized(const TBWImage& o, double k) {
  if (!Data || !o.Data || !SameSize(o)) return;
  if (k == 0) k = o.Mean();
  if (k == 0) return;
  const double inv = 1.0 / k;
  ForEachPair(Data, o.Data, Count, [inv](float s, float v) {
    const double r = double(s) * v * inv;
    return float(r > 1e25 ? 1e25 : (r < -1e25 ? -1e25 : r));
  });
}

void TBWImage::DivideNormalized(const TBWImage& o, double k) {
  if (!Data || !o.Data || !SameSize(o)) return;
  if (k == 0) k = o.Mean();
  if (k == 0) return;  // a zero scale would wipe every divided sample
  ForEachPair(Data, o.Data, Count,
              [k](float s, float v) { return v > 1e-6f ? float(k * s / v) : s; });
}

void TBWImage::Min(const TBWImage& o) {
  if (!Data || !o.Data || !SameSize(o)) return;
  ForEachPair(Data, o.Data, Count, [](float s, float v) { return v < s ? v : s; });
}

void TBWImage::Max(const TBWImage& o) {
  if (!Data || !o.Data || !SameSize(o)) return;
  ForEachPair(Data, o.Data, Count, [](float s, float v) { return v > s ? v : s; });
}

void TBWImage::AbsDiff(const TBWImage& o) {
  if (!Data || !o.Data || !SameSize(o)) return;
  ForEachPair(Data, o.Data, Count, [](float s, float v) { return std::fabs(s - v); });
}

void TBWImage::Blend(const TBWImage& o, double a, double b) {
  if (b == 1 && a == 1) {
    if (SameSize(o)) Add(o);
    return;
  }
  if (b == 1 && a == 0) return;
  if (!Data || !o.Data || !SameSize(o)) return;
  ForEachPair(Data, o.Data, Count, [a, b](float s, float v) { return float(b * s + a * v); });
}

void TBWImage::LinearFrom(const TBWImage& o, double a, double b, double c) {
  if (!Data || !o.Data || !SameSize(o)) return;
  ForEachPair(Data, o.Data, Count, [a, b, c](float, float v) { return float((v - b) * c + a); });
}

bool TBWImage::Equals(const TBWImage& o) const {
  if (!SameSize(o)) return false;
  if (Count == 0 || &o == this) return true;
  return std::memcmp(Data, o.Data, std::size_t(Count) * sizeof(float)) == 0;
}

void TBWImage::MergeMasked(const TBWImage& o, int32_t margin, bool copyOutside) {
  if (!HasMask() || !o.Data || !SameSize(o) || &o == this) return;
  int64_t first, last;
  MaskRange(first, last);
  if (first > last) {
    // Nothing selected: every weight is 0, so the merge gives the unprocessed data.
    std::memcpy(Data, o.Data, std::size_t(Count) * sizeof(float));
    return;
  }
  const int64_t m = int64_t(std::max<int32_t>(margin, 0)) * Width;
  first = std::max<int64_t>(0, first - m);
  last = std::min<int64_t>(int64_t(Count) - 1, last + m);
  const uint16_t* wt = Mask->Weights();
  for (int64_t i = first; i <= last; ++i) {
    const uint16_t g = wt[i];
    // Full and zero weights pick one side exactly (0 × Inf would give NaN).
    if (g == 0)
      Data[i] = o.Data[i];
    else if (g != 65535) {
      const float f = float(g) / 65535.0f;
      Data[i] = f * Data[i] + (1.0f - f) * o.Data[i];
    }
  }
  if (copyOutside) {
    std::memcpy(Data, o.Data, std::size_t(first) * sizeof(float));
    std::memcpy(Data + last + 1, o.Data + last + 1, std::size_t(Count - 1 - last) * sizeof(float));
  }
}

// ---------------------------------------------------------------------------------------
// Statistics

namespace {

// L'Ecuyer's LFSR113: four combined Tausworthe words. Seeds must be at least 2, 8, 16 and
// 128; the plane seeds are at least 1234567.
class TLfsr113 {
 public:
  explicit TLfsr113(uint32_t seed) : z1(seed), z2(seed), z3(seed), z4(seed) {}
  // Uniform in [0, 1): the low 29 bits of the combined output.
  double Next() {
    uint32_t b;
    b = ((z1 << 6) ^ z1) >> 13;
    z1 = ((z1 & 4294967294u) << 18) ^ b;
    b = ((z2 << 2) ^ z2) >> 27;
    z2 = ((z2 & 4294967288u) << 2) ^ b;
    b = ((z3 << 13) ^ z3) >> 21;
    z3 = ((z3 & 4294967280u) << 7) ^ b;
    b = ((z4 << 3) ^ z4) >> 12;
    z4 = ((z4 & 4294967168u) << 13) ^ b;
    return double((z1 ^ z2 ^ z3 ^ z4) & 0x1FFFFFFFu) / 536870911.5;
  }

 private:
  uint32_t z1, z2, z3, z4;
};

// The plane-statistics congruential generator; seeded per call from the plane size so the
// same plane always gives the same statistics.
class TPlaneLcg {
 public:
  explicit TPlaneLcg(uint32_t seed) : FState(seed) {}
  // 0 .. n-1; 0 when n <= 1.
  int64_t Next(int64_t n) {
    FState = FState * 1103515245u + 12345u;
    const uint32_t v = (FState & 0x7FFFFFFFu) ^ (FState >> 16);
    return n <= 1 ? 0 : int64_t(v % uint64_t(n));
  }

 private:
  uint32_t FState;
};

inline uint32_t SizeSeed(int32_t wFactor, int32_t w, int32_t h) {
  return uint32_t(wFactor) * uint32_t(w) + 65536u * uint32_t(h);
}

double MeanOf(const std::vector<float>& s, int64_t a, int64_t b) {
  double sum = 0;
  for (int64_t i = a; i <= b; ++i) sum += s[std::size_t(i)];
  return b >= a ? sum / double(b - a + 1) : 0.0;
}

}  // namespace

double TBWImage::Sum() const {
  if (!Data) return 0;
  // Four partial sums: a single chain of dependent double additions is latency-bound.
  double s[4] = {0, 0, 0, 0};
  int64_t i = 0;
  for (; i + 4 <= Count; i += 4)
    for (int k = 0; k < 4; ++k) s[k] += Clean(Data[i + k]);
  for (; i < Count; ++i) s[0] += Clean(Data[i]);
  return (s[0] + s[1]) + (s[2] + s[3]);
}

double TBWImage::Mean() const { return Count > 0 ? Sum() / Count : 0.0; }

void TBWImage::SumAndStdDev(double& sum, double& stdDev) const {
  sum = 0;
  stdDev = 0;
  if (!Data || Count == 0) return;
  // Sums are taken about the first sample: constant data give exactly 0, and the
  // cancellation of sum-of-squares minus squared sum stays small for offset data.
  const double v0 = Clean(Data[0]);
  double s = 0, q = 0;
  for (int64_t i = 0; i < Count; ++i) {
    const double d = double(Clean(Data[i])) - v0;
    s += d;
    q += d * d;
  }
  const double n = Count;
  sum = v0 * n + s;
  const double var = q / n - (s / n) * (s / n);
  stdDev = var > 0 ? std::sqrt(var) : 0.0;
}

namespace {

constexpr float kMinStart = 9.671406556917033e24f;  // 2^83
inline float CanonicalZero(float v) { return v + 0.0f; }  // -0 becomes +0

// Zeroes corrupt samples in place; with kRound also rounds every other sample to an
// integer in place (halves to even in the current mode, as nearbyint).
template <bool kRound>
void MinMaxScalarT(float* p, int64_t n, float& mn, float& mx) {
  float lo = kMinStart, hi = -kMinStart;
  for (int64_t i = 0; i < n; ++i) {
    float v = p[i];
    if (!(std::fabs(v) < kCorruptLimit))
      p[i] = v = 0.0f;
    else if constexpr (kRound)
      p[i] = v = std::nearbyint(v);
    if (v < lo) lo = v;
    if (v > hi) hi = v;
  }
  mn = lo;
  mx = hi;
}

void MinMaxScalar(float* p, int64_t n, float& mn, float& mx) { MinMaxScalarT<false>(p, n, mn, mx); }
void MinMaxRoundedScalar(float* p, int64_t n, float& mn, float& mx) {
  MinMaxScalarT<true>(p, n, mn, mx);
}

#if defined(__SSE2__)
// Same result as MinMaxScalar: min/max are order-independent once -0 is made +0, and
// corrupt lanes are zeroed and written back only in blocks that hold one.
void MinMaxSSE2(float* p, int64_t n, float& mn, float& mx) {
  const __m128 absMask = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  const __m128 lim = _mm_set1_ps(kCorruptLimit);
  __m128 lo0 = _mm_set1_ps(kMinStart), lo1 = lo0, hi0 = _mm_set1_ps(-kMinStart), hi1 = hi0;
  int64_t i = 0;
  // Data is 16-byte aligned; a pointer into it may not be.
  while (i < n && (reinterpret_cast<std::uintptr_t>(p + i) & 15) != 0) {
    float v = p[i];
    if (!(std::fabs(v) < kCorruptLimit)) p[i] = v = 0.0f;
    lo0 = _mm_min_ps(lo0, _mm_set1_ps(v));
    hi0 = _mm_max_ps(hi0, _mm_set1_ps(v));
    ++i;
  }
  for (; i + 16 <= n; i += 16) {
    __m128 a = _mm_load_ps(p + i), b = _mm_load_ps(p + i + 4);
    __m128 c = _mm_load_ps(p + i + 8), d = _mm_load_ps(p + i + 12);
    const __m128 oa = _mm_cmplt_ps(_mm_and_ps(a, absMask), lim);
    const __m128 ob = _mm_cmplt_ps(_mm_and_ps(b, absMask), lim);
    const __m128 oc = _mm_cmplt_ps(_mm_and_ps(c, absMask), lim);
    const __m128 od = _mm_cmplt_ps(_mm_and_ps(d, absMask), lim);
    if (_mm_movemask_ps(_mm_and_ps(_mm_and_ps(oa, ob), _mm_and_ps(oc, od))) != 0xF) {
      a = _mm_and_ps(a, oa);
      b = _mm_and_ps(b, ob);
      c = _mm_and_ps(c, oc);
      d = _mm_and_ps(d, od);
      _mm_store_ps(p + i, a);
      _mm_store_ps(p + i + 4, b);
      _mm_store_ps(p + i + 8, c);
      _mm_store_ps(p + i + 12, d);
    }
    lo0 = _mm_min_ps(lo0, _mm_min_ps(a, b));
    lo1 = _mm_min_ps(lo1, _mm_min_ps(c, d));
    hi0 = _mm_max_ps(hi0, _mm_max_ps(a, b));
    hi1 = _mm_max_ps(hi1, _mm_max_ps(c, d));
  }
  float los[4], his[4];
  _mm_storeu_ps(los, _mm_min_ps(lo0, lo1));
  _mm_storeu_ps(his, _mm_max_ps(hi0, hi1));
  float lo = std::min(std::min(los[0], los[1]), std::min(los[2], los[3]));
  float hi = std::max(std::max(his[0], his[1]), std::max(his[2], his[3]));
  float tlo, thi;
  MinMaxScalar(p + i, n - i, tlo, thi);
  mn = std::min(lo, tlo);
  mx = std::max(hi, thi);
}
#endif

#if defined(__SSE2__)
// Same results as MinMaxRoundedScalar: below 2^23, (|v| + 2^23) − 2^23 is |v| rounded in
// the current mode; from 2^23 on every float is an integer. The sign is put back, so −0.3
// gives −0 as nearbyint does.
void MinMaxRoundedSSE2(float* p, int64_t n, float& mn, float& mx) {
  const __m128 absMask = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  const __m128 lim = _mm_set1_ps(kCorruptLimit);
  const __m128 two23 = _mm_set1_ps(8388608.0f);
  __m128 lo = _mm_set1_ps(kMinStart), hi = _mm_set1_ps(-kMinStart);
  int64_t i = 0;
  float tlo = kMinStart, thi = -kMinStart;
  while (i < n && (reinterpret_cast<std::uintptr_t>(p + i) & 15) != 0) {
    float a, b;
    MinMaxRoundedScalar(p + i, 1, a, b);
    tlo = std::min(tlo, a);
    thi = std::max(thi, b);
    ++i;
  }
  for (; i + 4 <= n; i += 4) {
    __m128 v = _mm_load_ps(p + i);
    v = _mm_and_ps(v, _mm_cmplt_ps(_mm_and_ps(v, absMask), lim));
    const __m128 a = _mm_and_ps(v, absMask);
    const __m128 sign = _mm_andnot_ps(absMask, v);
    const __m128 small = _mm_cmplt_ps(a, two23);
    const __m128 r = _mm_sub_ps(_mm_add_ps(a, two23), two23);
    v = _mm_or_ps(_mm_or_ps(_mm_and_ps(small, r), _mm_andnot_ps(small, a)), sign);
    _mm_store_ps(p + i, v);
    lo = _mm_min_ps(lo, v);
    hi = _mm_max_ps(hi, v);
  }
  float los[4], his[4];
  _mm_storeu_ps(los, lo);
  _mm_storeu_ps(his, hi);
  float a, b;
  MinMaxRoundedScalar(p + i, n - i, a, b);
  mn = std::min({tlo, a, los[0], los[1], los[2], los[3]});
  mx = std::max({thi, b, his[0], his[1], his[2], his[3]});
}
#endif

// Min and max over the plane in blocks of 1 MiB spread over the workers: the pass is
// bound by memory bandwidth, which one core does not saturate.
template <class Kernel>
void BlockedMinMax(float* data, int64_t count, Kernel kernel, float& mn, float& mx) {
  constexpr int64_t kBlock = int64_t(1) << 18;
  const int64_t blocks = (count + kBlock - 1) / kBlock;
  if (blocks <= 1) {
    kernel(data, count, mn, mx);
    return;
  }
  std::vector<float> lo(static_cast<std::size_t>(blocks)), hi(static_cast<std::size_t>(blocks));
  ParallelRows(int32_t(blocks), 0, [&](int32_t b) {
    const int64_t start = int64_t(b) * kBlock;
    kernel(data + start, std::min(kBlock, count - start), lo[std::size_t(b)], hi[std::size_t(b)]);
  });
  mn = *std::min_element(lo.begin(), lo.end());
  mx = *std::max_element(hi.begin(), hi.end());
}

}  // namespace

void TBWImage::MinMax(float& mn, float& mx) {
  if (!Data || Count == 0) {
    mn = mx = 0;
    return;
  }
#if defined(__SSE2__)
  if (UseVectorCode())
    BlockedMinMax(Data, Count, MinMaxSSE2, mn, mx);
  else
#endif
    BlockedMinMax(Data, Count, MinMaxScalar, mn, mx);
  mn = CanonicalZero(mn);
  mx = CanonicalZero(mx);
}

void TBWImage::MinMaxRounded(float& mn, float& mx) {
  if (!Data || Count == 0) {
    mn = mx = 0;
    return;
  }
  float lo = 0, hi = 0;
#if defined(__SSE2__)
  if (UseVectorCode())
    BlockedMinMax(Data, Count, MinMaxRoundedSSE2, lo, hi);
  else
#endif
    BlockedMinMax(Data, Count, MinMaxRoundedScalar, lo, hi);
  mn = CanonicalZero(lo);
  mx = CanonicalZero(hi);
}

void TBWImage::Centroid(double t, double& x, double& y) const {
  CentroidIn(TPixelRect{0, 0, Width - 1, Height - 1}, t, x, y);
  if (!Data) {
    x = CentreX();
    y = CentreY();
  }
}

void TBWImage::CentroidIn(const TPixelRect& rect, double t, double& x, double& y) const {
  x = (double(rect.Left) + rect.Right) / 2;
  y = (double(rect.Bottom) + rect.Top) / 2;
  if (!Data) return;
  const int32_t l = std::max(rect.Left, 0), b = std::max(rect.Bottom, 0);
  const int32_t r = std::min(rect.Right, Width - 1), tp = std::min(rect.Top, Height - 1);
  double sw = 0, sx = 0, sy = 0;
  for (int32_t row = b; row <= tp; ++row) {
    const float* p = RowPointer(0, row);
    for (int32_t col = l; col <= r; ++col) {
      const double v = double(Clean(p[col])) - t;
      if (v >= 0) {
        sw += v;
        sx += v * col;
        sy += v * row;
      }
    }
  }
  if (sw > 0) {
    x = sx / sw;
    y = sy / sw;
  }
}

float TBWImage::EstimateBackground() {
  if (!Data || Count == 0) return 0;
  if (Count < 20 || Width < 4 || Height < 4) return float(Mean());
  TLfsr113 gen(uint32_t(Count % 16777216) + 1234567u);
  const int64_t n = std::min<int64_t>(10000, Count);
  const double step = double(Count) / double(n);
  const int64_t limit = int64_t(Count) - Width - 3;
  std::vector<float> s;
  s.reserve(std::size_t(n));
  for (int64_t k = 0; k < n; ++k) {
    const int64_t g = Round64((gen.Next() + double(k)) * step);
    if (g > limit) break;
    const float* p = Data + g;
    // Summed in double: four equal floats give exactly that float back.
    s.push_back(float((double(Clean(p[0])) + Clean(p[1]) + Clean(p[Width]) + Clean(p[Width + 1])) *
                      0.25));
  }
  const int64_t m = int64_t(s.size());
  if (m == 0) return float(Mean());
  std::sort(s.begin(), s.end());
  const int64_t iMed = Round64(double(m - 1) * 0.5);
  const double med = s[iMed];
  const double q3 = s[std::size_t(Round64(double(m - 1) * 0.75))];
  const double q1 = s[std::size_t(Round64(double(m - 1) * 0.25))];
  const double w = 2 * (q3 - q1);
  if (w < 1e-6 || m < 3) return float(med);
  int64_t below = 0, above = 0;
  for (const float v : s) {
    below += v < med - w;
    above += v > med + w;
  }
  const int64_t b = below - above;
  int64_t g = iMed + b / 2;
  g = std::clamp(g, Round64(double(m - 1) * 0.4), Round64(double(m - 1) * 0.6));
  g = std::clamp<int64_t>(g, 1, m - 2);  // the three-sample mean must stay inside
  Symmetric = 0;
  if (q3 > 1e-6 && q1 < -1e-6) {
    const double r = std::fabs(q3 / q1);
    if (r > 0.25 && r < 4) Symmetric = 1;
  }
  return float((double(s[g - 1]) + s[g] + s[g + 1]) / 3.0);
}

void TBWImage::BackgroundAndNoise(float& background, float& spread) const {
  background = 0;
  spread = 0;
  if (!Data || Count == 0) return;
  auto fallback = [&] {
    double sum, sd;
    SumAndStdDev(sum, sd);
    background = float(sum / Count);
    spread = float(sd);
  };
  if (Width < 8 || Height < 8) {
    fallback();
    return;
  }
  const bool tall = Height > 31;
  const int64_t skip = tall ? 4 * int64_t(Width) : 0;
  const int64_t last = int64_t(Count) - (tall ? 4 * int64_t(Width) : Width) - 3;
  const int64_t n = std::min<int64_t>(19999, Count);
  const double step = double(Count) / double(n);
  const int64_t b = int64_t(step);
  TPlaneLcg rng(SizeSeed(5, Width, Height));
  std::vector<float> s;
  s.reserve(std::size_t(n));
  for (int64_t d = 0; d < n; ++d) {
    const int64_t index = rng.Next(b) + Round64(double(d) * step);
    if (index < skip) continue;
    if (index > last) break;
    const float* p = Data + index;
    s.push_back(float(double(Clean(p[0])) + Clean(p[1]) + Clean(p[Width]) + Clean(p[Width + 1])));
  }
  if (s.empty()) {
    fallback();
    return;
  }
  std::sort(s.begin(), s.end());
  const int64_t L = int64_t(s.size()) - 1;
  const int64_t e = Round64(0.4 * L), f = Round64(0.6 * L);
  background = float(MeanOf(s, e, f) * 0.25);
  const double low = MeanOf(s, Round64(0.1 * L), e);
  const double high = MeanOf(s, f, Round64(0.9 * L));
  spread = float(std::max(high - low, 1e-9));
}

void TBWImage::Quantiles(double p1, double p2, double p3, float& out1, float& out2,
                         float& out3) const {
  out1 = out2 = out3 = 0;
  if (!Data || Count < 2) return;
  const int64_t t = Count / 5000 + 1;
  TPlaneLcg rng(SizeSeed(5, Width, Height));
  std::vector<float> s;
  s.reserve(5001);
  // The walk ends at the last sample even when fewer than 5001 were taken.
  for (int64_t i = 0; i < Count && s.size() < 5001; i += t + rng.Next(t - 1))
    s.push_back(Clean(Data[i]));
  std::sort(s.begin(), s.end());
  // Repeats of the minimum (an empty border, saturated black) would dominate low quantiles.
  const auto firstAbove = std::upper_bound(s.begin(), s.end(), s.front());
  s.erase(s.begin() + 1, firstAbove);
  const int64_t j = int64_t(s.size());
  auto at = [&](double p) {
    // A fraction of 1 (or beyond) takes the last kept value instead of reading past it.
    const double x = p * double(j);
    const int64_t k = x >= 0 ? std::min<int64_t>(Trunc64(x), j - 1) : 0;
    return s[std::size_t(k)];
  };
  out1 = at(p3);
  out2 = at(p2);
  out3 = at(p1);
}

void TBWImage::Quantiles2(double a, double b, float& atB, float& atA) const {
  float mid;
  Quantiles(a, (a + b) / 2, b, atB, mid, atA);
}

int32_t TBWImage::Sample(float* dst, int32_t n, bool sort) const {
  if (!Data || !dst || n <= 0 || Count == 0) return 0;
  n = std::min(n, Count);
  const double step = double(Count) / double(n);
  const int64_t tstep = int64_t(step);
  TPlaneLcg rng(SizeSeed(1, Width, Height));
  int32_t out = 0;
  for (int64_t k = 0; k < n; ++k) {
    int64_t idx = Round64(double(k) * step);
    if (step > 4) idx += rng.Next(tstep);
    if (idx >= Count) continue;
    dst[out++] = Clean(Data[idx]);
  }
  if (sort) std::sort(dst, dst + out);
  return out;
}

bool TBWImage::SampledMaxAtMost(float x) const {
  std::vector<float> buf(5000);
  const int32_t m = Sample(buf.data(), 5000, false);
  if (m == 0) return false;
  const float mx = *std::max_element(buf.begin(), buf.begin() + m);
  return mx > 0 && mx <= x;
}

namespace {

// Bin index rule shared by the scalar and vector loops: corrupt samples count as 0, values
// are clamped to lo..hi (NaN cannot slip through) and the scaled position to 0..top.
struct THistMap {
  float lo, hi, scale, top;
  int32_t last;
  int32_t Index(float v) const {
    v = Clean(v);
    v = v > lo ? v : lo;
    v = v < hi ? v : hi;
    float t = (v - lo) * scale;
    t = t > 0.0f ? t : 0.0f;
    t = t < top ? t : top;
    const int32_t i = int32_t(std::nearbyint(t));
    return i < last ? i : last;
  }
};

void HistScalar(const float* p, int64_t n, const THistMap& m, int32_t* bins) {
  for (int64_t i = 0; i < n; ++i) ++bins[m.Index(p[i])];
}

#if defined(__SSE2__)
// Indices four at a time; counts go to four sub-histograms so that runs of equal values
// do not serialise on one counter.
void HistSSE2(const float* p, int64_t n, const THistMap& m, int32_t* bins, int32_t nBins) {
  std::vector<int32_t> sub(std::size_t(nBins) * 4, 0);
  int32_t* h0 = sub.data();
  int32_t* h1 = h0 + nBins;
  int32_t* h2 = h1 + nBins;
  int32_t* h3 = h2 + nBins;
  const __m128 absMask = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  const __m128 lim = _mm_set1_ps(kCorruptLimit);
  const __m128 lo = _mm_set1_ps(m.lo), hi = _mm_set1_ps(m.hi);
  const __m128 scale = _mm_set1_ps(m.scale), top = _mm_set1_ps(m.top);
  const __m128 zero = _mm_setzero_ps();
  alignas(16) int32_t idx[4];
  int64_t i = 0;
  for (; i + 4 <= n; i += 4) {
    __m128 v = _mm_loadu_ps(p + i);
    v = _mm_and_ps(v, _mm_cmplt_ps(_mm_and_ps(v, absMask), lim));
    v = _mm_min_ps(_mm_max_ps(v, lo), hi);  // max(v, lo) gives lo for NaN, as the scalar rule
    __m128 t = _mm_mul_ps(_mm_sub_ps(v, lo), scale);
    t = _mm_min_ps(_mm_max_ps(t, zero), top);
    // cvtps2dq rounds in the current mode, ties to even: the same as nearbyint.
    _mm_store_si128(reinterpret_cast<__m128i*>(idx), _mm_cvtps_epi32(t));
    ++h0[std::min(idx[0], m.last)];
    ++h1[std::min(idx[1], m.last)];
    ++h2[std::min(idx[2], m.last)];
    ++h3[std::min(idx[3], m.last)];
  }
  HistScalar(p + i, n - i, m, h0);
  for (int32_t k = 0; k < nBins; ++k) bins[k] += h0[k] + h1[k] + h2[k] + h3[k];
}
#endif

}  // namespace

void TBWImage::Histogram(std::span<int32_t> bins, int32_t nBins, bool parallel, bool isFloat,
                         float max, float min) const {
  if (nBins < 2 || bins.size() < std::size_t(nBins)) return;
  double range = double(max) - double(min);
  if (!(range >= 1e-6)) range = 1e-6;  // also for NaN bounds
  THistMap m;
  m.lo = min;
  m.hi = max;
  m.scale = float(double(nBins - 1) / range);
  m.top = float(nBins - 1);
  m.last = nBins - 1;
  std::fill_n(bins.begin(), nBins, 0);
  // Integer data spread over more bins than values: bins no integer maps to are gaps, to
  // be filled from their neighbours after counting (kept apart from the counts, so a
  // fractional sample landing in a gap is still counted correctly).
  std::vector<uint8_t> gap;
  if (!isFloat && range < 1.1 * nBins && std::fabs(min) < 1e9 && std::fabs(max) < 1e9) {
    gap.assign(std::size_t(nBins), 1);
    const int64_t v0 = Round64(min), v1 = Round64(max);
    for (int64_t v = v0; v <= v1; ++v) gap[std::size_t(m.Index(float(v)))] = 0;
  }
  if (Data) {
#if defined(__SSE2__)
    if (parallel && Count > 100000 && UseVectorCode())
      HistSSE2(Data, Count, m, bins.data(), nBins);
    else
#endif
      HistScalar(Data, Count, m, bins.data());
  }
  if (!gap.empty()) {
    int32_t lastCount = 0;
    for (int32_t i = 0; i < nBins; ++i) {
      if (gap[std::size_t(i)] && bins[i] == 0) {
        const bool nextReal = i + 1 < nBins && (!gap[std::size_t(i) + 1] || bins[i + 1] != 0);
        bins[i] = nextReal ? bins[i + 1] : lastCount;
      }
      lastCount = bins[i];
    }
  }
}

float TBWImage::DiagonalScore(bool quantileThreshold) const {
  if (!Data) return 0.5f;
  const int64_t half = Width / 2;  // cells per row; 0 on a one-column plane
  const int64_t n = std::min<int64_t>(quantileThreshold ? 20000 : 5000, Count / 4);
  if (n < 20 || Height < 4 || half == 0) return 0.5f;
  float threshold = -1000000.0f;
  if (quantileThreshold) {
    float at01;
    Quantiles2(0.3, 0.1, at01, threshold);
  }
  const double cells = double(Count) / 4.0;
  int64_t score = 0, counted = 0;
  for (int64_t k = 0; k < n; ++k) {
    const int64_t c = Round64(double(k) * cells / double(n));
    const int64_t col = 2 * (c % half), row = 2 * (c / half);
    if (col + 1 >= Width || row + 1 >= Height) continue;
    const float* p = Data + col + row * Width;
    const float d1 = std::min(Clean(p[0]), Clean(p[Width + 1]));
    const float d2 = std::min(Clean(p[1]), Clean(p[Width]));
    if (d1 >= threshold && d2 >= threshold && d1 != d2) {
      score += d1 > d2 ? 1 : -1;
      ++counted;
    }
  }
  const double r = double(score) / double(2 * counted + 1) + 0.5;
  return float(std::clamp(r, 0.0, 1.0));
}

// ---------------------------------------------------------------------------------------
// Raw sample decoding

namespace {

template <class T>
inline T LoadRaw(const unsigned char* p, bool swap) {
  T v;
  if constexpr (sizeof(T) == 1) {
    v = T(p[0]);
  } else if constexpr (sizeof(T) == 2) {
    uint16_t u;
    std::memcpy(&u, p, 2);
    if (swap) u = __builtin_bswap16(u);
    std::memcpy(&v, &u, 2);
  } else {
    static_assert(sizeof(T) == 4);
    uint32_t u;
    std::memcpy(&u, p, 4);
    if (swap) u = __builtin_bswap32(u);
    std::memcpy(&v, &u, 4);
  }
  return v;
}

// Samples narrower than a float are widened from the last to the first: sample i's
// float occupies bytes 4i..4i+3, which hold only source bytes already converted.
template <class T>
void WidenInPlace(float* data, int64_t n, bool swap) {
  const unsigned char* raw = reinterpret_cast<const unsigned char*>(data);
  for (int64_t i = n - 1; i >= 0; --i) {
    const float v = float(LoadRaw<T>(raw + i * int64_t(sizeof(T)), swap));
    std::memcpy(data + i, &v, sizeof(float));
  }
}

template <class T>
void ConvertSameWidth(float* data, int64_t n, bool swap) {
  static_assert(sizeof(T) == sizeof(float));
  int64_t i = 0;
#if defined(__SSE2__)
  // SSE2 has no byte shuffle: swap the bytes of each 16-bit half, then the halves.
  if (swap) {
    for (; i + 4 <= n; i += 4) {
      __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
      x = _mm_or_si128(_mm_slli_epi16(x, 8), _mm_srli_epi16(x, 8));
      x = _mm_shufflehi_epi16(_mm_shufflelo_epi16(x, 0xB1), 0xB1);
      __m128 v;
      if constexpr (std::is_same_v<T, float>) {
        v = _mm_castsi128_ps(x);
      } else if constexpr (std::is_same_v<T, int32_t>) {
        v = _mm_cvtepi32_ps(x);
      } else {
        // Unsigned: high and low 16 bits are exact in float; their sum is rounded once,
        // as the scalar conversion rounds.
        const __m128 hi = _mm_mul_ps(_mm_cvtepi32_ps(_mm_srli_epi32(x, 16)), _mm_set1_ps(65536.0f));
        const __m128 lo = _mm_cvtepi32_ps(_mm_and_si128(x, _mm_set1_epi32(0xFFFF)));
        v = _mm_add_ps(hi, lo);
      }
      _mm_storeu_ps(data + i, v);
    }
  }
#endif
  for (; i < n; ++i) {
    uint32_t u;
    std::memcpy(&u, data + i, 4);
    if (swap) u = __builtin_bswap32(u);
    T x;
    std::memcpy(&x, &u, 4);
    const float v = float(x);
    std::memcpy(data + i, &v, 4);
  }
}

}  // namespace

bool TBWImage::ConvertRawSamples(int32_t sampleType, bool swapBytes) {
  if (!Data) return false;
  switch (sampleType) {
    case kRawUInt8: WidenInPlace<uint8_t>(Data, Count, false); return true;
    case kRawInt16: WidenInPlace<int16_t>(Data, Count, swapBytes); return true;
    case kRawUInt16: WidenInPlace<uint16_t>(Data, Count, swapBytes); return true;
    case kRawInt32: ConvertSameWidth<int32_t>(Data, Count, swapBytes); return true;
    case kRawUInt32: ConvertSameWidth<uint32_t>(Data, Count, swapBytes); return true;
    case kRawFloat32:
      if (swapBytes) ConvertSameWidth<float>(Data, Count, true);
      return true;
    default: return false;
  }
}

bool TBWImage::ImportPacked16(const void* src, std::size_t srcBytes, bool isSigned, bool align4) {
  if (!Data || !src) return false;
  const uint64_t rowBytes = uint64_t(Width) * 2;
  const uint64_t stride = align4 ? (rowBytes + 3) & ~uint64_t(3) : rowBytes;
  // The last row needs no padding after it.
  if (srcBytes < stride * uint64_t(Height - 1) + rowBytes) return false;
  const unsigned char* s = static_cast<const unsigned char*>(src);
  for (int32_t r = 0; r < Height; ++r) {
    const unsigned char* p = s + stride * uint64_t(r);
    float* d = RowPointer(0, r);
    if (isSigned)
      for (int32_t c = 0; c < Width; ++c) d[c] = LoadRaw<int16_t>(p + 2 * c, false);
    else
      for (int32_t c = 0; c < Width; ++c) d[c] = LoadRaw<uint16_t>(p + 2 * c, false);
  }
  return true;
}

bool TBWImage::ImportPacked32(const void* src, std::size_t srcBytes, bool isSigned) {
  if (!Data || !src) return false;
  if (srcBytes < uint64_t(Count) * 4) return false;
  const unsigned char* s = static_cast<const unsigned char*>(src);
  if (isSigned)
    for (int64_t i = 0; i < Count; ++i) Data[i] = float(LoadRaw<int32_t>(s + 4 * i, false));
  else
    for (int64_t i = 0; i < Count; ++i) Data[i] = float(LoadRaw<uint32_t>(s + 4 * i, false));
  return true;
}

}  // namespace orlu
