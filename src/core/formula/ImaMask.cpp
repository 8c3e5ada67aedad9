#include "formula/ImaMask.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <numbers>
#include <utility>

#include "base/EOrluError.h"
#include "base/OrluMath.h"
#include "image/ImaColor.h"
#include "image/LibThreads.h"
#include "visual/ImaRender.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orlu {

namespace {

std::atomic<int32_t> gNextSerialId{0};

constexpr const char* kGaussSizeText = "Mask Gauss Size";
// Kernel taps per side: 10 or 20 at full resolution, 80 at half resolution.
constexpr int32_t kMaxTaps = 80;

[[noreturn]] void ThrowOutOfMemory() { throw EOrluError(kOutOfMemoryText); }

inline uint16_t RoundWeight(double v) {
  if (!(v > 0)) return 0;  // NaN too
  if (v >= 65535) return 65535;
  return uint16_t(std::nearbyint(v));
}

inline int32_t ClampIndex(int64_t v, int32_t n) {
  return v < 0 ? 0 : (v >= n ? n - 1 : int32_t(v));
}

// Bounds of the non-zero weights of a w × h block; empty when there is none.
int64_t FirstNonZeroIn(const uint16_t* p, int64_t n) {
  int64_t i = 0;
  // Four weights per step: a mostly empty mask is scanned at memory speed.
  for (; i + 4 <= n; i += 4) {
    uint64_t q;
    std::memcpy(&q, p + i, sizeof q);
    if (q) break;
  }
  for (; i < n; ++i)
    if (p[i]) return i;
  return -1;
}

int64_t LastNonZeroIn(const uint16_t* p, int64_t n) {
  int64_t i = n;
  for (; i >= 4; i -= 4) {
    uint64_t q;
    std::memcpy(&q, p + i - 4, sizeof q);
    if (q) break;
  }
  for (; i > 0; --i)
    if (p[i - 1]) return i - 1;
  return -1;
}

TPixelRect BoundsOf(const uint16_t* w, int32_t width, int32_t height) {
  const int64_t count = int64_t(width) * height;
  const int64_t first = FirstNonZeroIn(w, count);
  if (first < 0) return TPixelRect{};
  const int64_t last = LastNonZeroIn(w, count);
  TPixelRect r;
  r.Bottom = int32_t(first / width);
  r.Top = int32_t(last / width);
  r.Left = width;
  r.Right = -1;
  // Every covered row counts: only the columns outside the current left..right are looked at.
  for (int32_t y = r.Bottom; y <= r.Top; ++y) {
    const uint16_t* row = w + int64_t(y) * width;
    int32_t x = 0;
    while (x < r.Left && row[x] == 0) ++x;
    if (x < r.Left) r.Left = x;
    x = width - 1;
    while (x > r.Right && row[x] == 0) --x;
    if (x > r.Right) r.Right = x;
  }
  return r;
}

// Bilinear read; positions beyond the mask read 0. Weights of a row-major width × height block.
double BilinearZero(const uint16_t* w, int32_t width, int32_t height, double x, double y) {
  if (!std::isfinite(x) || !std::isfinite(y)) return 0;
  if (x <= -1 || y <= -1 || x >= width || y >= height) return 0;
  const double fx0 = std::floor(x), fy0 = std::floor(y);
  const int32_t x0 = int32_t(fx0), y0 = int32_t(fy0);
  const double fx = x - fx0, fy = y - fy0;
  auto at = [&](int32_t cx, int32_t cy) -> double {
    if (cx < 0 || cy < 0 || cx >= width || cy >= height) return 0;
    return w[cx + int64_t(cy) * width];
  };
  return (1 - fy) * ((1 - fx) * at(x0, y0) + fx * at(x0 + 1, y0)) +
         fy * ((1 - fx) * at(x0, y0 + 1) + fx * at(x0 + 1, y0 + 1));
}

// Bilinear read at a position first clamped into the mask.
double BilinearClamped(const uint16_t* w, int32_t width, int32_t height, double x, double y) {
  if (!std::isfinite(x)) x = 0;
  if (!std::isfinite(y)) y = 0;
  x = std::clamp(x, 0.0, double(width - 1));
  y = std::clamp(y, 0.0, double(height - 1));
  const double fx0 = std::floor(x), fy0 = std::floor(y);
  const int32_t x0 = int32_t(fx0), y0 = int32_t(fy0);
  const int32_t x1 = std::min(x0 + 1, width - 1), y1 = std::min(y0 + 1, height - 1);
  const double fx = x - fx0, fy = y - fy0;
  const uint16_t* r0 = w + int64_t(y0) * width;
  const uint16_t* r1 = w + int64_t(y1) * width;
  return (1 - fy) * ((1 - fx) * r0[x0] + fx * r0[x1]) + fy * ((1 - fx) * r1[x0] + fx * r1[x1]);
}

// ---- Gaussian smoothing ----

// Symmetric kernel w[0..n] for sigma, at most taps per side, normalised so that w[0] +
// 2 Σ w[k] = 1. Weights below 2^-9 are dropped and the rest normalised again, so that a
// fully selected interior stays at 65535.
std::vector<float> MaskKernel(double sigma, int32_t taps) {
  std::vector<double> w(size_t(taps) + 1);
  for (int32_t i = 0; i <= taps; ++i) w[i] = std::exp(-double(i) * i / (2 * sigma * sigma));
  auto normalise = [&] {
    double s = w[0];
    for (int32_t i = 1; i <= taps; ++i) s += 2 * w[i];
    for (double& v : w) v /= s;
  };
  normalise();
  int32_t n = 0;
  for (int32_t i = 1; i <= taps; ++i)
    if (w[i] >= 1.0 / 512) n = i;
  w.resize(size_t(n) + 1);
  taps = n;
  normalise();
  return std::vector<float>(w.begin(), w.end());
}

// out[i] = Round(acc[i]) held in 0..65535.
void StoreRounded(const float* acc, uint16_t* out, int32_t n) {
  int32_t i = 0;
#if defined(__SSE2__)
  const __m128 lo = _mm_setzero_ps(), hi = _mm_set1_ps(65535.0f);
  const __m128i bias = _mm_set1_epi32(32768);
  const __m128i flip = _mm_set1_epi16(int16_t(0x8000));
  for (; i + 8 <= n; i += 8) {
    // The default rounding mode sends halves to even; the bias keeps packs_epi32 (signed)
    // usable for the unsigned range.
    const __m128i a = _mm_sub_epi32(
        _mm_cvtps_epi32(_mm_min_ps(_mm_max_ps(_mm_loadu_ps(acc + i), lo), hi)), bias);
    const __m128i b = _mm_sub_epi32(
        _mm_cvtps_epi32(_mm_min_ps(_mm_max_ps(_mm_loadu_ps(acc + i + 4), lo), hi)), bias);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                     _mm_xor_si128(_mm_packs_epi32(a, b), flip));
  }
#endif
  for (; i < n; ++i) out[i] = RoundWeight(acc[i]);
}

// acc[i] = w0 · c[i] + Σ w[k] (a_k[i] + b_k[i]) over uint16 rows, for one row of output.
void VerticalRow(const uint16_t* const* up, const uint16_t* const* down, const uint16_t* centre,
                 const float* w, int32_t n, float* acc, int32_t count) {
  for (int32_t i = 0; i < count; ++i) acc[i] = centre ? w[0] * float(centre[i]) : 0.0f;
  for (int32_t k = 1; k <= n; ++k) {
    const uint16_t* a = up[k];
    const uint16_t* b = down[k];
    if (!a && !b) continue;
    const float wk = w[k];
    int32_t i = 0;
#if defined(__SSE2__)
    if (a && b) {
      const __m128 vw = _mm_set1_ps(wk);
      const __m128i zero = _mm_setzero_si128();
      for (; i + 8 <= count; i += 8) {
        const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
        const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
        // Sums of two weights fit in 17 bits: add as 32-bit integers, convert once.
        const __m128i sl = _mm_add_epi32(_mm_unpacklo_epi16(va, zero), _mm_unpacklo_epi16(vb, zero));
        const __m128i sh = _mm_add_epi32(_mm_unpackhi_epi16(va, zero), _mm_unpackhi_epi16(vb, zero));
        _mm_storeu_ps(acc + i, _mm_add_ps(_mm_loadu_ps(acc + i), _mm_mul_ps(vw, _mm_cvtepi32_ps(sl))));
        _mm_storeu_ps(acc + i + 4,
                      _mm_add_ps(_mm_loadu_ps(acc + i + 4), _mm_mul_ps(vw, _mm_cvtepi32_ps(sh))));
      }
    }
#endif
    for (; i < count; ++i) {
      const int32_t s = (a ? a[i] : 0) + (b ? b[i] : 0);
      acc[i] += wk * float(s);
    }
  }
}

// out[i] = w0 · buf[i + n] + Σ w[k] (buf[i + n − k] + buf[i + n + k]), float rows.
void HorizontalRow(const float* buf, const float* w, int32_t n, float* out, int32_t count) {
  const float* c = buf + n;
  for (int32_t i = 0; i < count; ++i) out[i] = w[0] * c[i];
  for (int32_t k = 1; k <= n; ++k) {
    const float wk = w[k];
    const float* a = c - k;
    const float* b = c + k;
    int32_t i = 0;
#if defined(__SSE2__)
    const __m128 vw = _mm_set1_ps(wk);
    for (; i + 4 <= count; i += 4)
      _mm_storeu_ps(out + i, _mm_add_ps(_mm_loadu_ps(out + i),
                                        _mm_mul_ps(vw, _mm_add_ps(_mm_loadu_ps(a + i),
                                                                  _mm_loadu_ps(b + i)))));
#endif
    for (; i < count; ++i) out[i] += wk * (a[i] + b[i]);
  }
}

// Runs fn(row, scratch) for rows [r0, r1] on the row workers, each with its own scratch.
template <class Fn>
void ParallelRowRange(int32_t r0, int32_t r1, size_t scratchFloats, Fn&& fn) {
  if (r1 < r0) return;
  const int32_t count = r1 - r0 + 1;
  const int32_t cap = WorkerCount(0);
  TSyncCounter counter(std::min(cap, count));
  ParallelCall(counter, [&] {
    std::vector<float> scratch(scratchFloats);
    for (;;) {
      const int32_t i = counter.NextIndex();
      if (i < 0 || i >= count) break;
      fn(r0 + i, scratch.data());
    }
  });
}

// Full-resolution separable blur of src (bounds b) into dst; src and dst are different blocks.
void SmoothFull(const uint16_t* src, uint16_t* dst, int32_t width, int32_t height,
                const TPixelRect& b, const std::vector<float>& kernel) {
  const int32_t n = int32_t(kernel.size()) - 1;
  const float* w = kernel.data();
  // Vertical pass, src → dst: rows beyond the reach of the covered rows, and columns
  // outside the covered ones, stay 0.
  const int32_t y0 = std::max(0, b.Bottom - n), y1 = std::min(height - 1, b.Top + n);
  const int32_t cols = b.Right - b.Left + 1;
  for (int32_t y = 0; y < height; ++y)
    if (y < y0 || y > y1) std::memset(dst + int64_t(y) * width, 0, size_t(width) * 2);
  ParallelRowRange(y0, y1, size_t(cols) + 8, [&](int32_t y, float* acc) {
    // Rows that are all 0 are passed as nullptr.
    const uint16_t* up[kMaxTaps + 1];
    const uint16_t* down[kMaxTaps + 1];
    auto rowAt = [&](int64_t yy) -> const uint16_t* {
      const int32_t r = ClampIndex(yy, height);
      if (r < b.Bottom || r > b.Top) return nullptr;
      return src + int64_t(r) * width + b.Left;
    };
    for (int32_t k = 1; k <= n; ++k) {
      up[k] = rowAt(int64_t(y) - k);
      down[k] = rowAt(int64_t(y) + k);
    }
    VerticalRow(up, down, rowAt(y), w, n, acc, cols);
    uint16_t* out = dst + int64_t(y) * width;
    std::memset(out, 0, size_t(b.Left) * 2);
    StoreRounded(acc, out + b.Left, cols);
    std::memset(out + b.Right + 1, 0, size_t(width - 1 - b.Right) * 2);
  });
  // Horizontal pass in place on dst: each row is copied out first.
  const int32_t x0 = std::max(0, b.Left - n), x1 = std::min(width - 1, b.Right + n);
  const int32_t span = x1 - x0 + 1;
  ParallelRowRange(y0, y1, size_t(span + 2 * n) + size_t(span) + 8, [&](int32_t y, float* scratch) {
    float* buf = scratch;
    float* out = scratch + span + 2 * n;
    uint16_t* row = dst + int64_t(y) * width;
    for (int32_t j = 0; j < span + 2 * n; ++j) buf[j] = row[ClampIndex(int64_t(x0) - n + j, width)];
    HorizontalRow(buf, w, n, out, span);
    StoreRounded(out, row + x0, span);
  });
}

// Half-resolution blur for wide kernels: 2 × 2 means, the blur at half the sigma, then a
// bilinear re-expansion centred on the pairs it came from.
void SmoothHalf(const uint16_t* src, uint16_t* dst, int32_t width, int32_t height,
                const TPixelRect& b, const std::vector<float>& kernel) {
  const int32_t n = int32_t(kernel.size()) - 1;
  const float* w = kernel.data();
  const int32_t w2 = (width + 1) / 2, h2 = (height + 1) / 2;
  const size_t count2 = size_t(w2) * size_t(h2);
  PixelBlockPtr<float> d = AllocPixels<float>(count2);
  PixelBlockPtr<float> e = AllocPixels<float>(count2);
  if (!d || !e) ThrowOutOfMemory();
  const int32_t bb = b.Bottom / 2, bt = b.Top / 2, bl = b.Left / 2, br = b.Right / 2;
  const int32_t cx0 = std::max(0, bl - n), cx1 = std::min(w2 - 1, br + n);
  const int32_t cy0 = std::max(0, bb - n), cy1 = std::min(h2 - 1, bt + n);
  const int32_t span = cx1 - cx0 + 1;
  // Down and horizontal blur, row by row; rows outside the covered ones are 0.
  ParallelRowRange(bb, bt, size_t(span + 2 * n) + 8, [&](int32_t y, float* buf) {
    const uint16_t* s0 = src + int64_t(2 * y) * width;
    const uint16_t* s1 = src + int64_t(std::min(2 * y + 1, height - 1)) * width;
    for (int32_t j = 0; j < span + 2 * n; ++j) {
      const int32_t x = ClampIndex(int64_t(cx0) - n + j, w2);
      const int32_t xa = 2 * x, xb = std::min(2 * x + 1, width - 1);
      buf[j] = 0.25f * (float(s0[xa]) + float(s0[xb]) + float(s1[xa]) + float(s1[xb]));
    }
    float* out = d.get() + int64_t(y) * w2;
    HorizontalRow(buf, w, n, out + cx0, span);
  });
  // Vertical blur into e; only the reach of the covered rows and columns is non-zero.
  ParallelRowRange(0, h2 - 1, 0, [&](int32_t y, float*) {
    float* out = e.get() + int64_t(y) * w2;
    std::fill_n(out, w2, 0.0f);
    if (y < cy0 || y > cy1) return;
    const float* up[kMaxTaps + 1];
    const float* down[kMaxTaps + 1];
    auto rowAt = [&](int64_t yy) -> const float* {
      const int32_t r = ClampIndex(yy, h2);
      if (r < bb || r > bt) return nullptr;
      return d.get() + int64_t(r) * w2 + cx0;
    };
    float* o = out + cx0;
    if (const float* c = rowAt(y))
      for (int32_t i = 0; i < span; ++i) o[i] = w[0] * c[i];
    for (int32_t k = 1; k <= n; ++k) {
      up[k] = rowAt(int64_t(y) - k);
      down[k] = rowAt(int64_t(y) + k);
      const float wk = w[k];
      const float* a = up[k];
      const float* c = down[k];
      if (a && c)
        for (int32_t i = 0; i < span; ++i) o[i] += wk * (a[i] + c[i]);
      else if (a || c)
        for (int32_t i = 0; i < span; ++i) o[i] += wk * (a ? a[i] : c[i]);
    }
  });
  // Re-expansion: full pixel X sits at half-resolution position (X − 0.5) / 2.
  ParallelRowRange(0, height - 1, size_t(width) + size_t(w2) + 8, [&](int32_t y, float* scratch) {
    const int32_t ya = y / 2;
    const int32_t yb = ClampIndex(int64_t(ya) + ((y & 1) ? 1 : -1), h2);
    const float* ra = e.get() + int64_t(ya) * w2;
    const float* rb = e.get() + int64_t(yb) * w2;
    float* col = scratch + width;
    for (int32_t x = 0; x < w2; ++x) col[x] = 0.75f * ra[x] + 0.25f * rb[x];
    float* acc = scratch;
    for (int32_t x = 0; x < width; ++x) {
      const int32_t xa = x / 2;
      const int32_t xb = ClampIndex(int64_t(xa) + ((x & 1) ? 1 : -1), w2);
      acc[x] = 0.75f * col[xa] + 0.25f * col[xb];
    }
    StoreRounded(acc, dst + int64_t(y) * width, width);
  });
}

// Remembered by the smoothing dialog's OK.
double gLastSmooth = 0;
double gLastTruncate = 0;

}  // namespace

int32_t NextSerialId() noexcept { return gNextSerialId.fetch_add(1, std::memory_order_relaxed) + 1; }

TAMask::TAMask() : SerialId(NextSerialId()) {}

// ---------------------------------------------------------------------------------------
// Storage and copies

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

bool TAMask::EnsureStorage() { return HasStorage() || Allocate(); }

void TAMask::Release() {
  FWeights.reset();
  FBoundsValid = false;
}

void TAMask::Fill(uint16_t v) {
  if (!FWeights) return;
  std::fill_n(FWeights.get(), std::size_t(Count), v);
  FBoundsValid = false;
}

bool TAMask::CopyTo(TAMask& other) const {
  if (&other == this) return true;
  if (other.Width != Width || other.Height != Height) return false;
  if (!HasStorage()) {
    other.Release();
  } else {
    if (!other.EnsureStorage()) return false;
    std::memcpy(other.FWeights.get(), FWeights.get(), size_t(Count) * sizeof(uint16_t));
  }
  other.FBounds = FBounds;
  other.FBoundsValid = FBoundsValid;
  other.Changed = Changed;
  return true;
}

bool TAMask::CopyResized(TAMask& other) const {
  if (&other == this) return true;
  if (other.Width == Width && other.Height == Height) return CopyTo(other);
  if (!HasStorage() || other.Count == 0) {
    other.Release();
    return true;
  }
  if (!other.EnsureStorage()) return false;
  // The planes' resize samples (x · r, y · s) with r = W / W', s = H / H'.
  const double r = double(Width) / other.Width, s = double(Height) / other.Height;
  const uint16_t* src = FWeights.get();
  uint16_t* dst = other.FWeights.get();
  ParallelRows(other.Height, 0, [&](int32_t y) {
    uint16_t* row = dst + int64_t(y) * other.Width;
    for (int32_t x = 0; x < other.Width; ++x)
      row[x] = RoundWeight(BilinearClamped(src, Width, Height, x * r, y * s));
  });
  other.InvalidateBounds();
  return true;
}

bool TAMask::CopyRegionFrom(const TAMask& src, int32_t col, int32_t row) {
  if (&src == this) return true;
  if (!EnsureStorage()) return false;
  uint16_t* out = FWeights.get();
  for (int32_t y = 0; y < Height; ++y) {
    uint16_t* o = out + int64_t(y) * Width;
    std::fill_n(o, Width, uint16_t(0));
    const int64_t sy = int64_t(y) + row;
    if (!src.HasStorage() || sy < 0 || sy >= src.Height) continue;
    // Columns x with 0 <= x + col < src.Width.
    const int64_t xa = std::max<int64_t>(0, -int64_t(col));
    const int64_t xb = std::min<int64_t>(Width, int64_t(src.Width) - col);
    if (xb <= xa) continue;
    std::memcpy(o + xa, src.FWeights.get() + sy * src.Width + xa + col,
                size_t(xb - xa) * sizeof(uint16_t));
  }
  InvalidateBounds();
  return true;
}

// ---------------------------------------------------------------------------------------
// The saved mask

TAMask& TAMask::Saved() {
  static TAMask saved(0);
  return saved;
}

bool TAMask::Save() const {
  TAMask& s = Saved();
  if (&s == this) return true;
  s.SerialId = 0;  // owned by nobody until the copy is complete
  s.SetSize(Width, Height);
  if (!HasStorage()) {
    s.Release();
  } else {
    if (!s.EnsureStorage()) return false;
    std::memcpy(s.FWeights.get(), FWeights.get(), size_t(Count) * sizeof(uint16_t));
  }
  s.FBounds = FBounds;
  s.FBoundsValid = FBoundsValid;
  s.SerialId = SerialId;
  return true;
}

bool TAMask::OwnsSaved() const {
  const TAMask& s = Saved();
  return &s != this && SerialId != 0 && s.SerialId == SerialId;
}

bool TAMask::Restore() {
  TAMask& s = Saved();
  if (!OwnsSaved() || s.Width != Width || s.Height != Height) return false;
  const bool changed = Changed;
  if (!s.CopyTo(*this)) return false;
  Changed = changed;
  return true;
}

bool TAMask::SwapWithSaved() {
  TAMask& s = Saved();
  // Another image's copy, or one of another size, would give this mask foreign weights.
  if (!OwnsSaved() || s.Width != Width || s.Height != Height) return false;
  std::swap(FWeights, s.FWeights);
  std::swap(FBounds, s.FBounds);
  std::swap(FBoundsValid, s.FBoundsValid);
  return true;
}

void TAMask::DiscardSaved() {
  TAMask& s = Saved();
  s.Release();
  s.SerialId = 0;
}

// ---------------------------------------------------------------------------------------
// Pixel access

uint16_t TAMask::Weight(int32_t x, int32_t y) const {
  if (!FWeights || x < 0 || y < 0 || x >= Width || y >= Height) return 0;
  return FWeights[x + int64_t(y) * Width];
}

uint16_t TAMask::WeightClamped(int32_t x, int32_t y) const {
  if (!FWeights) return 0;
  return FWeights[ClampIndex(x, Width) + int64_t(ClampIndex(y, Height)) * Width];
}

void TAMask::SetWeight(int32_t x, int32_t y, uint16_t v) {
  if (!FWeights || x < 0 || y < 0 || x >= Width || y >= Height) return;
  FWeights[x + int64_t(y) * Width] = v;
  FBoundsValid = false;
}

double TAMask::Sample(double x, double y) const {
  if (!FWeights || !std::isfinite(x) || !std::isfinite(y)) return 0;
  // Fixed point with 7 fractional bits; far positions read the edge anyway.
  const double lim = 1e9;
  const int64_t fx = int64_t(std::floor(std::clamp(x, -lim, lim) * 128));
  const int64_t fy = int64_t(std::floor(std::clamp(y, -lim, lim) * 128));
  const int64_t ix = fx >> 7, iy = fy >> 7;
  const int64_t wx = fx & 127, wy = fy & 127;
  auto at = [&](int64_t cx, int64_t cy) -> int64_t {
    return FWeights[ClampIndex(cx, Width) + int64_t(ClampIndex(cy, Height)) * Width];
  };
  const int64_t v = (128 - wy) * ((128 - wx) * at(ix, iy) + wx * at(ix + 1, iy)) +
                    wy * ((128 - wx) * at(ix, iy + 1) + wx * at(ix + 1, iy + 1));
  return double(v) / 16384.0;
}

uint32_t TAMask::EdgeCode(int32_t x, int32_t y) const {
  if (Weight(x, y) == 0) return 0;
  uint32_t c = 0;
  if (Weight(x - 1, y) == 0) c |= 1;
  if (Weight(x + 1, y) == 0) c |= 2;
  if (Weight(x, y - 1) == 0) c |= 4;
  if (Weight(x, y + 1) == 0) c |= 8;
  return c;
}

// ---------------------------------------------------------------------------------------
// Editing

void TAMask::FlipH() {
  uint16_t* w = FWeights.get();
  if (!w) return;
  for (int32_t y = 0; y < Height; ++y) std::reverse(w + int64_t(y) * Width, w + int64_t(y + 1) * Width);
  InvalidateBounds();
}

void TAMask::FlipV() {
  uint16_t* w = FWeights.get();
  if (!w) return;
  const int64_t width = Width;
  for (int32_t y = 0; y < Height / 2; ++y)
    std::swap_ranges(w + y * width, w + (y + 1) * width, w + (Height - 1 - y) * width);
  InvalidateBounds();
}

bool TAMask::Rotate90(const TAMask& source, bool left) {
  if (&source == this) {
    TAMask copy(0);
    copy.SetSize(Width, Height);
    if (!CopyTo(copy)) return false;
    return Rotate90(copy, left);
  }
  const int32_t sw = source.Width, sh = source.Height;
  SetSize(sh, sw);
  if (!source.HasStorage()) {
    Release();
    return true;
  }
  if (!EnsureStorage()) return false;
  const uint16_t* s = source.FWeights.get();
  uint16_t* d = FWeights.get();
  // Destination (X, Y): left comes from source (Y, H − 1 − X), right from (W − 1 − Y, X).
  ParallelRows(Height, 0, [&](int32_t y) {
    uint16_t* row = d + int64_t(y) * Width;
    if (left) {
      for (int32_t x = 0; x < Width; ++x) row[x] = s[y + int64_t(sh - 1 - x) * sw];
    } else {
      for (int32_t x = 0; x < Width; ++x) row[x] = s[(sw - 1 - y) + int64_t(x) * sw];
    }
  });
  InvalidateBounds();
  return true;
}

bool TAMask::RotateBy(const TAMask& source, double angle, double cx, double cy) {
  if (&source == this) {
    TAMask copy(0);
    copy.SetSize(Width, Height);
    if (!CopyTo(copy)) return false;
    return RotateBy(copy, angle, cx, cy);
  }
  if (!source.HasStorage()) {
    Release();
    return true;
  }
  if (!EnsureStorage()) return false;
  const bool same = source.Width == Width && source.Height == Height;
  const double px = same ? cx : (source.Width - 1) / 2.0;
  const double py = same ? cy : (source.Height - 1) / 2.0;
  const double qx = same ? px : (Width - 1) / 2.0;
  const double qy = same ? py : (Height - 1) / 2.0;
  const double t = angle * (std::numbers::pi / 180.0);
  const double c = std::cos(t), s = std::sin(t);
  const uint16_t* src = source.FWeights.get();
  uint16_t* d = FWeights.get();
  ParallelRows(Height, 0, [&](int32_t y) {
    uint16_t* row = d + int64_t(y) * Width;
    const double dy = y - qy;
    for (int32_t x = 0; x < Width; ++x) {
      const double dx = x - qx;
      row[x] = RoundWeight(BilinearZero(src, source.Width, source.Height, px + c * dx + s * dy,
                                        py - s * dx + c * dy));
    }
  });
  InvalidateBounds();
  return true;
}

void TAMask::Shift(int32_t dx, int32_t dy) {
  uint16_t* w = FWeights.get();
  if (!w || (dx == 0 && dy == 0)) return;
  if (int64_t(std::abs(int64_t(dx))) >= Width || int64_t(std::abs(int64_t(dy))) >= Height) {
    Fill(0);
    return;
  }
  const int32_t keep = Width - std::abs(dx);
  const int32_t to = std::max(dx, 0), from = std::max(-dx, 0);
  auto moveRow = [&](int32_t y) {
    uint16_t* row = w + int64_t(y) * Width;
    const int32_t sy = y - dy;
    if (sy < 0 || sy >= Height) {
      std::fill_n(row, Width, uint16_t(0));
      return;
    }
    std::memmove(row + to, w + int64_t(sy) * Width + from, size_t(keep) * sizeof(uint16_t));
    if (dx > 0) std::fill_n(row, dx, uint16_t(0));
    if (dx < 0) std::fill_n(row + keep, -dx, uint16_t(0));
  };
  // Rows are written in the order that never overwrites a row still to be read.
  if (dy > 0) {
    for (int32_t y = Height - 1; y >= 0; --y) moveRow(y);
  } else {
    for (int32_t y = 0; y < Height; ++y) moveRow(y);
  }
  InvalidateBounds();
}

void TAMask::AddMask(const TAMask& other) {
  if (!FWeights || other.Width != Width || other.Height != Height || !other.HasStorage()) return;
  uint16_t* a = FWeights.get();
  const uint16_t* b = other.FWeights.get();
  for (int64_t i = 0; i < Count; ++i) a[i] = uint16_t(std::min<int32_t>(int32_t(a[i]) + b[i], 65535));
  InvalidateBounds();
}

void TAMask::SubtractFrom(const TAMask& other) {
  if (!FWeights || other.Width != Width || other.Height != Height) return;
  if (!other.HasStorage()) {
    Fill(0);
    return;
  }
  uint16_t* a = FWeights.get();
  const uint16_t* b = other.FWeights.get();
  for (int64_t i = 0; i < Count; ++i) a[i] = uint16_t(std::max<int32_t>(int32_t(b[i]) - a[i], 0));
  InvalidateBounds();
}

void TAMask::MultiplyBy(const TAMask& other) {
  if (!FWeights || other.Width != Width || other.Height != Height) return;
  if (!other.HasStorage()) {
    Fill(0);
    return;
  }
  uint16_t* a = FWeights.get();
  const uint16_t* b = other.FWeights.get();
  // a·b / 65535 is never an exact half, so adding 32767 and truncating rounds to nearest.
  for (int64_t i = 0; i < Count; ++i) a[i] = uint16_t((uint32_t(a[i]) * b[i] + 32767) / 65535);
  InvalidateBounds();
}

void TAMask::Invert() {
  uint16_t* a = FWeights.get();
  if (!a) return;
  for (int64_t i = 0; i < Count; ++i) a[i] = uint16_t(65535 - a[i]);
  InvalidateBounds();
}

void TAMask::DrawRectOrEllipse(int32_t x0, int32_t y0, int32_t x1, int32_t y1, bool ellipse,
                               uint16_t value) {
  if (!FWeights) return;
  const int64_t l = std::min(x0, x1), r = std::max(x0, x1);
  const int64_t b = std::min(y0, y1), t = std::max(y0, y1);
  // The shape is that of the rectangle as dragged; only the loop is held inside the mask,
  // so an ellipse dragged past an edge is cut there, not squeezed.
  const int32_t xa = int32_t(std::max<int64_t>(l, 0)), xb = int32_t(std::min<int64_t>(r, Width - 1));
  const int32_t ya = int32_t(std::max<int64_t>(b, 0)), yb = int32_t(std::min<int64_t>(t, Height - 1));
  if (xa > xb || ya > yb) return;
  const double cx = (double(l) + double(r)) / 2, cy = (double(b) + double(t)) / 2;
  const double w = double(r - l + 1), h = double(t - b + 1);
  const double big = std::max(w, h);
  const double rad = big / 2;
  const double sx = w >= h ? 1.0 : big / w, sy = h >= w ? 1.0 : big / h;
  uint16_t* m = FWeights.get();
  for (int32_t y = ya; y <= yb; ++y) {
    uint16_t* row = m + int64_t(y) * Width;
    if (!ellipse) {
      std::fill(row + xa, row + xb + 1, value);
      continue;
    }
    const double ey = (y - cy) * sy;
    for (int32_t x = xa; x <= xb; ++x) {
      const double ex = (x - cx) * sx;
      if (rad * rad > ex * ex + ey * ey) row[x] = value;
    }
  }
  InvalidateBounds();
}

void TAMask::DrawLine(int32_t x0, int32_t y0, int32_t x1, int32_t y1, uint16_t value) {
  if (!FWeights) return;
  const int64_t dx = int64_t(x1) - x0, dy = int64_t(y1) - y0;
  const int64_t adx = std::abs(dx), ady = std::abs(dy);
  const bool xMajor = adx >= ady;
  const int64_t n = std::max(adx, ady);
  if (n == 0) {
    SetWeight(x0, y0, value);
    return;
  }
  const int64_t a0 = xMajor ? x0 : y0, b0 = xMajor ? y0 : x0;
  const int64_t sa = (xMajor ? dx : dy) < 0 ? -1 : 1;
  const int64_t sb = (xMajor ? dy : dx) < 0 ? -1 : 1;
  const int64_t am = xMajor ? ady : adx;  // minor extent
  const int64_t lenA = xMajor ? Width : Height;
  // Only the steps whose major coordinate lies inside the mask are walked, so far-away
  // endpoints cost nothing.
  int64_t i0 = sa > 0 ? -a0 : a0 - (lenA - 1);
  int64_t i1 = sa > 0 ? lenA - 1 - a0 : a0;
  i0 = std::max<int64_t>(i0, 0);
  i1 = std::min<int64_t>(i1, n);
  for (int64_t i = i0; i <= i1; ++i) {
    // Minor offset: i · am / n rounded, in exact integers (the product needs 65 bits).
    const int64_t off = int64_t((__int128(2) * i * am + n) / (__int128(2) * n));
    const int64_t a = a0 + sa * i, b = b0 + sb * off;
    const int64_t x = xMajor ? a : b, y = xMajor ? b : a;
    if (x >= 0 && y >= 0 && x < Width && y < Height) FWeights[x + y * Width] = value;
  }
  InvalidateBounds();
}

void TAMask::DrawPolygon(std::span<const TMaskPoint> vertices, uint16_t value) {
  if (!FWeights || vertices.empty()) return;
  const size_t n = vertices.size();
  if (n == 1) {
    SetWeight(vertices[0].X, vertices[0].Y, value);
    return;
  }
  for (size_t i = 0; i < n; ++i) {
    const TMaskPoint& a = vertices[i];
    const TMaskPoint& b = vertices[(i + 1) % n];
    DrawLine(a.X, a.Y, b.X, b.Y, value);
    if (n == 2) break;
  }
}

void TAMask::FillPolygon(std::span<const TMaskPoint> vertices, uint16_t value) {
  if (!FWeights) return;
  DrawPolygon(vertices, value);
  const size_t n = vertices.size();
  if (n < 3) return;
  // Scan-line fill with an active edge list. A pixel centre (x, y) is inside when an odd
  // number of edges cross the row to its right; the crossing is computed exactly as a
  // per-pixel even-odd test would, so both agree pixel for pixel.
  struct TEdge {
    double Xi, Yi, Xj, Yj;
    int64_t YMin, YMax;  // the edge crosses rows YMin <= y < YMax
  };
  std::vector<TEdge> edges;
  edges.reserve(n);
  int64_t yLo = std::numeric_limits<int64_t>::max(), yHi = std::numeric_limits<int64_t>::min();
  for (size_t i = 0; i < n; ++i) {
    const TMaskPoint& p = vertices[i];
    const TMaskPoint& q = vertices[(i + 1) % n];
    if (p.Y == q.Y) continue;
    // (Yi > y) != (Yj > y) holds for min <= y < max.
    edges.push_back({double(p.X), double(p.Y), double(q.X), double(q.Y), std::min(p.Y, q.Y),
                     std::max(p.Y, q.Y)});
    yLo = std::min<int64_t>(yLo, std::min(p.Y, q.Y));
    yHi = std::max<int64_t>(yHi, std::max(p.Y, q.Y));
  }
  if (edges.empty()) return;
  std::sort(edges.begin(), edges.end(), [](const TEdge& a, const TEdge& b) { return a.YMin < b.YMin; });
  const int64_t ya = std::max<int64_t>(yLo, 0), yb = std::min<int64_t>(yHi - 1, Height - 1);
  std::vector<const TEdge*> active;
  std::vector<double> xs;
  size_t next = 0;
  uint16_t* m = FWeights.get();
  for (int64_t y = ya; y <= yb; ++y) {
    while (next < edges.size() && edges[next].YMin <= y) active.push_back(&edges[next++]);
    std::erase_if(active, [y](const TEdge* e) { return e->YMax <= y; });
    xs.clear();
    const double fy = double(y);
    for (const TEdge* e : active)
      xs.push_back((e->Xj - e->Xi) * (fy - e->Yi) / (e->Yj - e->Yi) + e->Xi);
    std::sort(xs.begin(), xs.end());
    uint16_t* row = m + y * Width;
    for (size_t k = 0; k + 1 < xs.size(); k += 2) {
      // Inside for xs[k] <= x < xs[k + 1].
      const double xa = std::max(std::ceil(xs[k]), 0.0);
      const double xb = std::min(std::ceil(xs[k + 1]) - 1, double(Width - 1));
      for (int64_t x = int64_t(xa); x <= int64_t(xb); ++x) row[x] = value;
    }
  }
  InvalidateBounds();
}

void TAMask::FloodFill(int32_t x, int32_t y, uint16_t value) {
  if (!FWeights || x < 0 || y < 0 || x >= Width || y >= Height) return;
  uint16_t* w = FWeights.get();
  const uint16_t target = w[x + int64_t(y) * Width];
  if (target == value) return;
  InvalidateBounds();
  try {
    // Seeds of spans still to fill; it grows as the region needs, so large regions fill
    // completely.
    std::vector<std::pair<int32_t, int32_t>> stack;
    stack.emplace_back(x, y);
    while (!stack.empty()) {
      const auto [sx, sy] = stack.back();
      stack.pop_back();
      uint16_t* row = w + int64_t(sy) * Width;
      if (row[sx] != target) continue;
      int32_t l = sx, r = sx;
      while (l > 0 && row[l - 1] == target) --l;
      while (r < Width - 1 && row[r + 1] == target) ++r;
      std::fill(row + l, row + r + 1, value);
      for (const int32_t ny : {sy - 1, sy + 1}) {
        if (ny < 0 || ny >= Height) continue;
        const uint16_t* nr = w + int64_t(ny) * Width;
        bool inSpan = false;
        for (int32_t i = l; i <= r; ++i) {
          if (nr[i] != target) {
            inSpan = false;
          } else if (!inSpan) {
            stack.emplace_back(i, ny);
            inSpan = true;
          }
        }
      }
    }
  } catch (const std::bad_alloc&) {
    ThrowOutOfMemory();
  }
}

bool TAMask::SelectByValue(const TAImage& image, int32_t x, int32_t y, double tolerance) {
  if (image.Width() != Width || image.Height() != Height) return false;
  if (x < 0 || y < 0 || x >= Width || y >= Height) return false;
  if (!EnsureStorage()) return false;
  const bool colour = image.IsColour();
  const TBWImage* planes[3] = {image.MainPlane.get(), colour ? image.RedPlane.get() : nullptr,
                               colour ? image.BluePlane.get() : nullptr};
  double ref[3] = {0, 0, 0};
  for (int p = 0; p < 3; ++p)
    if (planes[p]) ref[p] = planes[p]->GetPixel(x, y);
  uint16_t* w = FWeights.get();
  ParallelRows(Height, 0, [&](int32_t row) {
    const int64_t base = int64_t(row) * Width;
    uint16_t* out = w + base;
    const float* m = planes[0]->Data + base;
    for (int32_t c = 0; c < Width; ++c) out[c] = std::fabs(m[c] - ref[0]) <= tolerance ? kMarked : 0;
    for (int p = 1; p < 3; ++p) {
      if (!planes[p]) continue;
      const float* d = planes[p]->Data + base;
      for (int32_t c = 0; c < Width; ++c)
        if (!(std::fabs(d[c] - ref[p]) <= tolerance)) out[c] = 0;
    }
  });
  InvalidateBounds();
  return true;
}

void TAMask::ReplaceValue(uint16_t oldValue, uint16_t newValue) {
  uint16_t* a = FWeights.get();
  if (!a || oldValue == newValue) return;
  std::replace(a, a + Count, oldValue, newValue);
  InvalidateBounds();
}

void TAMask::Smooth(const TAMask& source, double sigma) {
  if (source.Width != Width || source.Height != Height) throw EOrluError(kGaussSizeText);
  if (!source.HasStorage()) {
    Release();
    return;
  }
  if (!(sigma > 0) || !std::isfinite(sigma)) {
    if (!source.CopyTo(*this)) ThrowOutOfMemory();
    return;
  }
  const TPixelRect b = source.FBoundsValid ? source.FBounds
                                           : BoundsOf(source.FWeights.get(), Width, Height);
  if (b.IsEmpty()) {
    if (!EnsureStorage()) ThrowOutOfMemory();
    Fill(0);
    return;
  }
  // Reading and writing the same block row by row in parallel would race: blur a copy.
  PixelBlockPtr<uint16_t> copy;
  const uint16_t* src = source.FWeights.get();
  if (&source == this) {
    copy = AllocPixels<uint16_t>(size_t(Count));
    if (!copy) ThrowOutOfMemory();
    std::memcpy(copy.get(), src, size_t(Count) * sizeof(uint16_t));
    src = copy.get();
  } else if (!EnsureStorage()) {
    ThrowOutOfMemory();
  }
  try {
    if (sigma <= 6)
      SmoothFull(src, FWeights.get(), Width, Height, b, MaskKernel(sigma, sigma <= 3 ? 10 : 20));
    else
      SmoothHalf(src, FWeights.get(), Width, Height, b, MaskKernel(sigma / 2, 80));
  } catch (const std::bad_alloc&) {
    InvalidateBounds();
    ThrowOutOfMemory();
  }
  InvalidateBounds();
}

void TAMask::Truncate(double t) {
  uint16_t* a = FWeights.get();
  if (!a) return;
  const int32_t m = Round(65535.0 * t);
  if (m <= 0 || m >= 65535) return;
  for (int64_t i = 0; i < Count; ++i)
    if (a[i] <= m) a[i] = 0;
  InvalidateBounds();
}

bool TAMask::FromBrushBitmap(const TBgraBitmap& bitmap, uint16_t value) {
  if (!FWeights || bitmap.Width() != Width || bitmap.Height() != Height || !bitmap.Pixels())
    return false;
  // Bitmap rows are bottom-up like the mask's, so pixel i is mask weight i.
  const uint32_t* p = bitmap.Pixels();
  uint16_t* a = FWeights.get();
  for (int64_t i = 0; i < Count; ++i)
    if ((p[i] >> 24) == 0xCC) a[i] = value;
  InvalidateBounds();
  return true;
}

// ---------------------------------------------------------------------------------------
// The mask tools' edits

uint16_t TAMask::BeginShapeEdit(TMaskMode mode) {
  if (!Save() || !EnsureStorage()) ThrowOutOfMemory();
  if (mode != TMaskMode::Add && mode != TMaskMode::Subtract) Fill(0);
  return mode == TMaskMode::Subtract ? 0 : kFull;
}

void TAMask::EndShapeEdit(TMaskMode mode) {
  if (mode == TMaskMode::Intersect) MultiplyBy(Saved());
  FinishEdit();
}

void TAMask::FinishEdit() {
  ComputeBounds();
  MarkChanged();
}

void TAMask::ApplyRectOrEllipse(int32_t x0, int32_t y0, int32_t x1, int32_t y1, bool ellipse,
                                TMaskMode mode) {
  const uint16_t v = BeginShapeEdit(mode);
  DrawRectOrEllipse(x0, y0, x1, y1, ellipse, v);
  EndShapeEdit(mode);
}

void TAMask::ApplyPolygon(std::span<const TMaskPoint> vertices, TMaskMode mode) {
  const uint16_t v = BeginShapeEdit(mode);
  FillPolygon(vertices, v);
  EndShapeEdit(mode);
}

void TAMask::ApplyBrush(const TBgraBitmap& painted, TMaskMode mode) {
  if (painted.Width() != Width || painted.Height() != Height || !painted.Pixels()) return;
  const uint16_t v = BeginShapeEdit(mode);
  FromBrushBitmap(painted, v);
  EndShapeEdit(mode);
}

void TAMask::ApplyFillOrValue(const TAImage& image, int32_t x, int32_t y, double tolerance,
                              bool fill, TMaskMode mode) {
  if (x < 0 || y < 0 || x >= Width || y >= Height) return;
  if (image.Width() != Width || image.Height() != Height) return;
  if (!Save() || !SelectByValue(image, x, y, tolerance)) ThrowOutOfMemory();
  if (fill) {
    // A NaN at the click marks nothing; filling from an unmarked start would select the rest.
    if (Weight(x, y) == kMarked) FloodFill(x, y, kFull);
    ReplaceValue(kMarked, 0);
  } else {
    ReplaceValue(kMarked, kFull);
  }
  switch (mode) {
    case TMaskMode::Add: AddMask(Saved()); break;
    case TMaskMode::Subtract: SubtractFrom(Saved()); break;
    case TMaskMode::Intersect: MultiplyBy(Saved()); break;
    default: break;
  }
  FinishEdit();
}

void TAMask::ApplyMove(int32_t dx, int32_t dy) {
  if (!HasStorage()) return;
  if (!Save()) ThrowOutOfMemory();
  Shift(dx, dy);
  FinishEdit();
}

void TAMask::ApplyInvert() {
  if (!Save() || !EnsureStorage()) ThrowOutOfMemory();
  Invert();
  FinishEdit();
}

bool TAMask::UndoRedo() {
  if (!SwapWithSaved()) return false;
  MarkChanged();
  return true;
}

// ---------------------------------------------------------------------------------------
// Bounds

const TPixelRect& TAMask::EnsureBounds() {
  if (!FBoundsValid) ComputeBounds();
  return FBounds;
}

void TAMask::ComputeBounds() {
  FBoundsValid = true;
  FBounds = FWeights ? BoundsOf(FWeights.get(), Width, Height) : TPixelRect{0, 0, Width - 1, Height - 1};
}

int64_t TAMask::FirstNonZero() const { return FWeights ? FirstNonZeroIn(FWeights.get(), Count) : -1; }

int64_t TAMask::LastNonZero() const { return FWeights ? LastNonZeroIn(FWeights.get(), Count) : -1; }

// ---------------------------------------------------------------------------------------
// The smoothing dialog

double SmoothFromSlider(int32_t p) {
  const double q = Clamp<int32_t>(p, 0, 1000) / 1000.0;
  return Round(1000 * (q + q * q) / 2) / 10.0;
}

int32_t SliderFromSmooth(double s) {
  if (!(s > 0)) return 0;
  if (!std::isfinite(s)) return 1000;
  // s = 50 (q + q²) solved for q.
  const double q = (std::sqrt(1 + 4 * s / 50) - 1) / 2;
  return Clamp<int32_t>(Round(1000 * q), 0, 1000);
}

double TruncateFromSlider(int32_t p) {
  const double t = std::pow(10.0, Clamp<int32_t>(p, 0, 5000) / 1000.0 - 5);
  return t < 5e-5 ? 0.0 : t;
}

int32_t SliderFromTruncate(double t) {
  // log10(0) is −∞: 0 and anything not positive go to the slider's start.
  if (!(t > 0)) return 0;
  return Clamp<int32_t>(Round(1000 * (std::log10(t) + 5)), 0, 5000);
}

TMaskSmoothing::TMaskSmoothing(TAMask& mask)
    : FMask(mask), FSmooth(gLastSmooth), FTruncate(gLastTruncate) {
  if (!mask.Save()) ThrowOutOfMemory();
}

void TMaskSmoothing::Update(double s, double t) {
  FSmooth = s;
  FTruncate = t;
  // Another mask's edit has replaced the copy: smoothing that would import foreign weights.
  if (!FMask.OwnsSaved()) return;
  FMask.Smooth(TAMask::Saved(), 0.6 * s);
  FMask.Truncate(t);
  FMask.ComputeBounds();
  FMask.MarkChanged();
}

void TMaskSmoothing::Ok() {
  gLastSmooth = FSmooth;
  gLastTruncate = FTruncate;
}

void TMaskSmoothing::Cancel() {
  FMask.Restore();
  FMask.MarkChanged();
}

double TMaskSmoothing::LastSmooth() { return gLastSmooth; }
double TMaskSmoothing::LastTruncate() { return gLastTruncate; }

// ---------------------------------------------------------------------------------------
// Display

std::vector<TMaskSegment> MaskOutline(const TAMask& mask, double zoom, int32_t phase) {
  std::vector<TMaskSegment> out;
  const uint16_t* w = mask.Weights();
  if (!w) return out;
  const int32_t width = mask.Width, height = mask.Height;
  const int64_t first = mask.FirstNonZero();
  if (first < 0) return out;
  const int32_t y0 = int32_t(first / width), y1 = int32_t(mask.LastNonZero() / width);
  auto dash = [phase](int32_t x, int32_t y) -> uint8_t {
    return ((int64_t(x) + y + phase) & 4) != 0 ? 1 : 0;
  };
  std::vector<uint8_t> codes(size_t(width) + 1, 0);  // one spare 0 ends the last run
  // Vertical pieces are joined with the piece on the same edge in the row below when their
  // styles match; open[e] is the piece that ends at the current row on edge e.
  std::vector<int64_t> openLeft(size_t(width) + 1, -1), openRight(size_t(width) + 1, -1);
  std::vector<int64_t> nextLeft(size_t(width) + 1, -1), nextRight(size_t(width) + 1, -1);
  for (int32_t y = y0; y <= y1; ++y) {
    const uint16_t* row = w + int64_t(y) * width;
    const uint16_t* below = y > 0 ? row - width : nullptr;
    const uint16_t* above = y < height - 1 ? row + width : nullptr;
    for (int32_t x = 0; x < width; ++x) {
      uint8_t c = 0;
      if (row[x]) {
        if (x == 0 || !row[x - 1]) c |= 1;
        if (x == width - 1 || !row[x + 1]) c |= 2;
        if (!below || !below[x]) c |= 4;
        if (!above || !above[x]) c |= 8;
      }
      codes[size_t(x)] = c;
    }
    // Horizontal runs on the bottom and top sides of this row.
    for (int side = 0; side < 2; ++side) {
      const uint8_t bit = side == 0 ? 4 : 8;
      const double ey = (side == 0 ? y : y + 1.0) * zoom;
      int32_t runStart = -1;
      uint8_t runDash = 0;
      for (int32_t x = 0; x <= width; ++x) {
        const bool open = (codes[size_t(x)] & bit) != 0;
        const uint8_t d = open ? dash(x, y) : 0;
        if (runStart >= 0 && (!open || d != runDash)) {
          out.push_back({runStart * zoom, ey, x * zoom, ey, runDash});
          runStart = -1;
        }
        if (open && runStart < 0) {
          runStart = x;
          runDash = d;
        }
      }
    }
    std::fill(nextLeft.begin(), nextLeft.end(), -1);
    std::fill(nextRight.begin(), nextRight.end(), -1);
    for (int32_t x = 0; x < width; ++x) {
      const uint8_t code = codes[size_t(x)];
      if (!(code & 3)) continue;
      const uint8_t d = dash(x, y);
      for (int side = 0; side < 2; ++side) {
        if (!(code & (side == 0 ? 1 : 2))) continue;
        const size_t edge = size_t(side == 0 ? x : x + 1);
        std::vector<int64_t>& open = side == 0 ? openLeft : openRight;
        std::vector<int64_t>& next = side == 0 ? nextLeft : nextRight;
        const int64_t k = open[edge];
        if (k >= 0 && out[size_t(k)].Dash == d) {
          out[size_t(k)].Y1 = (y + 1.0) * zoom;
          next[edge] = k;
        } else {
          out.push_back({double(edge) * zoom, y * zoom, double(edge) * zoom, (y + 1.0) * zoom, d});
          next[edge] = int64_t(out.size()) - 1;
        }
      }
    }
    std::swap(openLeft, nextLeft);
    std::swap(openRight, nextRight);
  }
  return out;
}

namespace {

// c scaled by f/255 per channel, plus g scaled by (255 − f)/255, rounded; alpha from c.
inline uint32_t BlendTowards(uint32_t pic, uint32_t effect, uint32_t f) {
  uint32_t out = pic & 0xFF000000u;
  for (int shift = 0; shift < 24; shift += 8) {
    const uint32_t a = (pic >> shift) & 0xFF, e = (effect >> shift) & 0xFF;
    out |= ((a * f + e * (255 - f) + 127) / 255) << shift;
  }
  return out;
}

}  // namespace

bool DrawMaskOverlay(const TAMask& mask, TMaskDisplay mode, TBgraBitmap& bitmap) {
  const uint16_t* w = mask.Weights();
  if (!w || bitmap.Width() != mask.Width || bitmap.Height() != mask.Height || !bitmap.Pixels())
    return false;
  if (mode != TMaskDisplay::Layer && mode != TMaskDisplay::Transparency) return true;
  const int32_t width = mask.Width;
  uint32_t* px = bitmap.Pixels();
  const bool checker = mode == TMaskDisplay::Transparency;
  ParallelRows(mask.Height, 0, [&](int32_t y) {
    const uint16_t* wr = w + int64_t(y) * width;
    uint32_t* pr = px + int64_t(y) * width;
    for (int32_t x = 0; x < width; ++x) {
      const uint32_t m = wr[x];
      if (m >= 65280) continue;
      uint32_t effect;
      if (checker) {
        effect = (((x >> 3) ^ (y >> 3)) & 1) ? 0x9C9C9Cu : 0x646464u;
      } else {
        const uint32_t p = pr[x];
        effect = ((((p >> 16) & 0xFF) / 8 + 0x50) << 16) | ((((p >> 8) & 0xFF) / 8 + 0x10) << 8) |
                 ((p & 0xFF) / 8 + 0x08);
      }
      pr[x] = BlendTowards(pr[x], effect, m >> 8);
    }
  });
  return true;
}

bool DrawMaskGrey(const TAMask& mask, TBgraBitmap& bitmap) {
  const uint16_t* w = mask.Weights();
  if (!w || bitmap.Width() != mask.Width || bitmap.Height() != mask.Height || !bitmap.Pixels())
    return false;
  uint32_t* px = bitmap.Pixels();
  const int64_t n = mask.Count;
  for (int64_t i = 0; i < n; ++i) {
    const uint32_t g = w[i] >> 8;
    px[i] = 0xFF000000u | (g << 16) | (g << 8) | g;
  }
  return true;
}

}  // namespace orlu
