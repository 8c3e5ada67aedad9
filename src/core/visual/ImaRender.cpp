#include "visual/ImaRender.h"

#include <emmintrin.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <vector>

#include "base/ProcessSwitches.h"
#include "image/ImaColor.h"
#include "image/LibThreads.h"
#include "visual/ImaVisu.h"

namespace orlu {

bool TBgraBitmap::SetSize(int32_t w, int32_t h) {
  w = std::max(w, 1);
  h = std::max(h, 1);
  if (FPixels && w == FWidth && h == FHeight) return true;
  FPixels = AllocPixels<uint32_t>(size_t(w) * size_t(h));
  if (!FPixels) {
    FWidth = FHeight = 0;
    return false;
  }
  FWidth = w;
  FHeight = h;
  return true;
}

void TBgraBitmap::Fill(uint32_t c) {
  if (FPixels) std::fill_n(FPixels.get(), int64_t(FWidth) * FHeight, c);
}

namespace {

constexpr uint32_t kOpaque = 0xFF000000u;
constexpr int32_t kLutSize = 4096;

// The range as the loops use it: High raised so the range is never empty, and a scale that
// keeps every value below High under index 4095.5.
struct TRenderRange {
  float Low, High, Scale;
  explicit TRenderRange(const TImageVisu& v) {
    Low = v.Low;
    High = ThresholdHigh(v.Low, v.High);
    const float span = High - Low;
    double scale = std::min(4095.0 / double(span), 9e9);
    if (!std::isfinite(scale)) scale = 0;
    float s = float(scale);
    for (int i = 0; i < 1000 && span * s >= 4095.5f; ++i) {
      scale *= 0.999999;
      s = float(scale);
    }
    Scale = s;
  }
};

// Table index of one value: the value held in [low, high] (corrupt values at low), then
// Round((v - low)·scale), which the scale keeps within 0..4095. The vector form below
// computes the same: max and min take the bound whenever the value is NaN, like the
// instructions.
inline int32_t SlotOf(float v, float low, float high, float scale) {
  float c = v > low ? v : low;
  c = c < high ? c : high;
  return _mm_cvtss_si32(_mm_set_ss((c - low) * scale));
}

inline __m128i SlotsOf(__m128 v, __m128 low, __m128 high, __m128 scale) {
  const __m128 c = _mm_min_ps(_mm_max_ps(v, low), high);
  return _mm_cvtps_epi32(_mm_mul_ps(_mm_sub_ps(c, low), scale));
}

using TLut = std::vector<uint32_t>;

// Colour of every table index: f(level). Values at or below Low land on index 0 and values
// at or above High on 4095, so those two are black and white whatever the table holds
// (a user curve defines its own ends).
template <class F>
TLut MakeLut(const TImageVisu& v, F f) {
  TLut lut(kLutSize);
  for (int i = 0; i < kLutSize; ++i) lut[size_t(i)] = f(v.LevelTable[size_t(i)]);
  lut[0] = f(0);
  lut[kLutSize - 1] = f(255);
  return lut;
}

// One value per pixel (gray images, luminance of colour images) through one table.
template <class Sample>
void RenderOne(int64_t from, int64_t to, const TRenderRange& r, const uint32_t* lut,
               uint32_t* out, bool vector, Sample sample) {
  int64_t i = from;
  if (vector) {
    const __m128 low = _mm_set1_ps(r.Low), high = _mm_set1_ps(r.High),
                 scale = _mm_set1_ps(r.Scale);
    alignas(16) int32_t s[4];
    for (; i + 4 <= to; i += 4) {
      _mm_store_si128(reinterpret_cast<__m128i*>(s), SlotsOf(sample.Vec(i), low, high, scale));
      out[i] = lut[s[0]];
      out[i + 1] = lut[s[1]];
      out[i + 2] = lut[s[2]];
      out[i + 3] = lut[s[3]];
    }
  }
  for (; i < to; ++i) out[i] = lut[SlotOf(sample.One(i), r.Low, r.High, r.Scale)];
}

struct TPlaneSample {
  const float* P;
  __m128 Vec(int64_t i) const { return _mm_loadu_ps(P + i); }
  float One(int64_t i) const { return P[i]; }
};

// Luminance 0.375 R + 0.5 G + 0.125 B, summed in this order in both forms.
struct TLumSample {
  const float *R, *G, *B;
  __m128 Vec(int64_t i) const {
    const __m128 a = _mm_mul_ps(_mm_set1_ps(0.375f), _mm_loadu_ps(R + i));
    const __m128 b = _mm_mul_ps(_mm_set1_ps(0.5f), _mm_loadu_ps(G + i));
    const __m128 c = _mm_mul_ps(_mm_set1_ps(0.125f), _mm_loadu_ps(B + i));
    return _mm_add_ps(_mm_add_ps(a, b), c);
  }
  float One(int64_t i) const {
    const float a = 0.375f * R[i];
    const float b = 0.5f * G[i];
    const float c = 0.125f * B[i];
    return (a + b) + c;
  }
};

// Three channels, each through its own table (already shifted into place).
void RenderChannels(int64_t from, int64_t to, const TRenderRange& rg, const float* r,
                    const float* g, const float* b, const uint32_t* lr, const uint32_t* lg,
                    const uint32_t* lb, uint32_t* out, bool vector) {
  int64_t i = from;
  if (vector) {
    const __m128 low = _mm_set1_ps(rg.Low), high = _mm_set1_ps(rg.High),
                 scale = _mm_set1_ps(rg.Scale);
    alignas(16) int32_t sr[4], sg[4], sb[4];
    for (; i + 4 <= to; i += 4) {
      _mm_store_si128(reinterpret_cast<__m128i*>(sr), SlotsOf(_mm_loadu_ps(r + i), low, high, scale));
      _mm_store_si128(reinterpret_cast<__m128i*>(sg), SlotsOf(_mm_loadu_ps(g + i), low, high, scale));
      _mm_store_si128(reinterpret_cast<__m128i*>(sb), SlotsOf(_mm_loadu_ps(b + i), low, high, scale));
      for (int k = 0; k < 4; ++k) out[i + k] = lr[sr[k]] | lg[sg[k]] | lb[sb[k]];
    }
  }
  for (; i < to; ++i)
    out[i] = lr[SlotOf(r[i], rg.Low, rg.High, rg.Scale)] |
             lg[SlotOf(g[i], rg.Low, rg.High, rg.Scale)] |
             lb[SlotOf(b[i], rg.Low, rg.High, rg.Scale)];
}

}  // namespace

bool RenderImage(const TAImage& image, TBgraBitmap& bitmap, TRenderPath path) {
  const TBWImage& main = *image.MainPlane;
  if (bitmap.Pixels() == nullptr || main.Data == nullptr || bitmap.Width() != main.Width ||
      bitmap.Height() != main.Height)
    return false;
  const TImageVisu& v = image.Visu;
  const TRenderRange range(v);
  const int64_t count = int64_t(main.Width) * main.Height;
  const bool vector = path == TRenderPath::Vector ||
                      (path == TRenderPath::Auto && UseVectorCode() && main.IsLargeEnough());
  uint32_t* out = bitmap.Pixels();
  const int32_t palette = v.Palette.PaletteType;
  const auto& colors = v.Palette.Colors;

  const bool colour = image.IsColour() && image.RedPlane->Data && image.BluePlane->Data;
  if (!colour) {
    const TLut lut = palette == kPaletteGray
                         ? MakeLut(v, [](uint8_t l) { return kOpaque | uint32_t(l) * 0x010101u; })
                         : MakeLut(v, [&](uint8_t l) { return kOpaque | colors[l]; });
    RenderOne(0, count, range, lut.data(), out, vector, TPlaneSample{main.Data});
    return true;
  }

  const float* r = image.RedPlane->Data;
  const float* g = main.Data;
  const float* b = image.BluePlane->Data;
  std::function<void(int64_t, int64_t)> part;
  TLut lr, lg, lb, ll;
  if (palette == kPaletteGray || palette == kPaletteNegative) {
    // Negative: 0xFFFFFF minus the pixel is 255 minus each channel's level.
    const uint32_t flip = palette == kPaletteNegative ? 255u : 0u;
    lr = MakeLut(v, [flip](uint8_t l) { return kOpaque | (uint32_t(l) ^ flip) << 16; });
    lg = MakeLut(v, [flip](uint8_t l) { return (uint32_t(l) ^ flip) << 8; });
    lb = MakeLut(v, [flip](uint8_t l) { return uint32_t(l) ^ flip; });
    part = [&](int64_t from, int64_t to) {
      RenderChannels(from, to, range, r, g, b, lr.data(), lg.data(), lb.data(), out, vector);
    };
  } else {
    ll = MakeLut(v, [&](uint8_t l) { return kOpaque | colors[l]; });
    part = [&](int64_t from, int64_t to) {
      RenderOne(from, to, range, ll.data(), out, vector, TLumSample{r, g, b});
    };
  }
  const int64_t half = count / 2;
  if (vector && count > 1999999 && PermitMultithreading()) {
    // The later half on a second thread; each writes only its own pixels.
    TSyncCounter counter(2);
    ParallelCall(counter, [&] {
      for (;;) {
        const int32_t k = counter.NextIndex();
        if (k < 0 || k > 1) break;
        if (k == 0)
          part(0, half);
        else
          part(half, count);
      }
    });
  } else {
    part(0, count);
  }
  return true;
}

}  // namespace orlu
