#include "annotate/Img32.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "base/EOrluError.h"
#include "base/OrluMath.h"
#include "visual/ImaRender.h"

namespace orlu {

namespace {

struct TLuts {
  uint16_t Lin[256];
  uint8_t Gam[4096];
  TLuts() {
    for (int i = 0; i < 256; ++i)
      Lin[i] = uint16_t(std::nearbyint(std::pow(i / 255.0, 2.2) * 4095.0));
    for (int j = 0; j < 4096; ++j)
      Gam[j] = uint8_t(std::nearbyint(std::pow(j / 4095.0, 1 / 2.2) * 255.0));
  }
};

const TLuts& Luts() {
  static const TLuts luts;
  return luts;
}

// Built before main so that the hot loops read plain tables.
const TLuts& kLuts = Luts();

// A colour prepared for repeated gamma blends: its channels in linear light.
struct TLinColour {
  uint32_t Colour;
  int32_t R, G, B;
  explicit TLinColour(uint32_t c)
      : Colour(c & 0xFFFFFFu),
        R(kLuts.Lin[(c >> 16) & 255]),
        G(kLuts.Lin[(c >> 8) & 255]),
        B(kLuts.Lin[c & 255]) {}
};

inline uint32_t BlendLin(uint32_t p, const TLinColour& c, int32_t a) {
  if (a >= 4096) return (p & 0xFF000000u) | c.Colour;
  if (a < 1) return p;
  const int32_t na = 4096 - a;
  const uint32_t r = kLuts.Gam[(kLuts.Lin[(p >> 16) & 255] * na + c.R * a) >> 12];
  const uint32_t g = kLuts.Gam[(kLuts.Lin[(p >> 8) & 255] * na + c.G * a) >> 12];
  const uint32_t b = kLuts.Gam[(kLuts.Lin[p & 255] * na + c.B * a) >> 12];
  return (p & 0xFF000000u) | (r << 16) | (g << 8) | b;
}

// Opacity 0..1 as a 12-bit factor; NaN counts as 0.
inline double OpacityScale(double opacity) {
  if (!(opacity > 0)) return 0;
  return opacity >= 1 ? 4096.0 : opacity * 4096.0;
}

// Coverage of the unit interval around a pixel centre: 0 for NaN.
inline double Clamp01(double v) { return v >= 1 ? 1 : (v > 0 ? v : 0); }

// Narrows [lo, hi] of the parameter s so that p0 + u*s stays within [a, b]; false when the
// range becomes empty (or anything was NaN).
bool ClipParam(double p0, double u, double a, double b, double& lo, double& hi) {
  if (u == 0) return p0 >= a && p0 <= b;
  double t1 = (a - p0) / u, t2 = (b - p0) / u;
  if (t1 > t2) std::swap(t1, t2);
  lo = std::max(lo, t1);
  hi = std::min(hi, t2);
  return lo <= hi;
}

struct TOrdered {
  int64_t X1, Y1, X2, Y2;  // half-open
  explicit TOrdered(const TPixRect& r)
      : X1(std::min(r.X1, r.X2)), Y1(std::min(r.Y1, r.Y2)),
        X2(std::max(r.X1, r.X2)), Y2(std::max(r.Y1, r.Y2)) {}
  int64_t W() const { return X2 - X1; }
  int64_t H() const { return Y2 - Y1; }
};

inline uint32_t RoundDiv4(uint32_t sum) {
  uint32_t q = sum >> 2;
  const uint32_t rem = sum & 3;
  if (rem > 2 || (rem == 2 && (q & 1))) ++q;
  return q;
}

constexpr uint32_t kPlaceholderGrey = 0xA8A8A8;
constexpr uint32_t kHandleOuter = 0x909090;
constexpr uint32_t kHandleInner = 0xE0E0E0;
// Splat positions carry this many pixels of offset so that the fixed-point conversion
// only ever truncates non-negative values.
constexpr int32_t kSplatBias = 4;
// Widths and handle lengths beyond this are treated as this (the picture is never larger).
constexpr double kMaxExtent = 1e6;
// Brush sizes come from the user interface; the bound keeps a stroke's walk short.
constexpr int32_t kMaxBrush = 65536;

}  // namespace

// ---------------------------------------------------------------------------------------
// Colours
// ---------------------------------------------------------------------------------------

uint16_t ToLinear(uint8_t level) { return kLuts.Lin[level]; }
uint8_t ToGamma(uint32_t linear) { return kLuts.Gam[std::min<uint32_t>(linear, 4095)]; }

uint32_t BlendLinear(uint32_t p, uint32_t c, uint32_t w) {
  w = std::min<uint32_t>(w, 256);
  const uint32_t nw = 256 - w;
  uint32_t out = p & 0xFF000000u;
  for (int sh = 0; sh <= 16; sh += 8)
    out |= ((((p >> sh) & 255) * nw + ((c >> sh) & 255) * w) >> 8) << sh;
  return out;
}

uint32_t BlendGamma(uint32_t p, uint32_t c, int32_t a) { return BlendLin(p, TLinColour(c), a); }

uint32_t AddColours(uint32_t a, uint32_t b) {
  uint32_t out = 0;
  for (int sh = 0; sh <= 16; sh += 8)
    out |= std::min<uint32_t>(((a >> sh) & 255) + ((b >> sh) & 255), 255) << sh;
  return out;
}

uint32_t SubColours(uint32_t a, uint32_t b) {
  uint32_t out = 0;
  for (int sh = 0; sh <= 16; sh += 8) {
    const int32_t v = int32_t((a >> sh) & 255) - int32_t((b >> sh) & 255);
    out |= uint32_t(std::max(v, 0)) << sh;
  }
  return out;
}

uint32_t MixColours(uint32_t a, uint32_t b, uint32_t w) {
  return BlendLinear(a, b, w) & 0xFFFFFFu;
}

// ---------------------------------------------------------------------------------------
// Storage
// ---------------------------------------------------------------------------------------

void TImg32::SetSize(int32_t width, int32_t height) {
  if (width < 1 || height < 1) {
    Release();
    return;
  }
  if (width == FWidth && height == FHeight && FBits) return;
  Release();
  FOwn = AllocPixels<uint32_t>(size_t(width) * size_t(height));
  if (!FOwn) throw EOrluError(kOutOfMemoryText);
  FBits = FOwn.get();
  FWidth = width;
  FHeight = height;
  FStride = width;
}

void TImg32::Wrap(void* firstRow, int32_t width, int32_t height, std::ptrdiff_t strideBytes,
                  int32_t bitsPerPixel) {
  const int64_t rowBytes = int64_t(width) * 4;
  const int64_t absStride = strideBytes < 0 ? -int64_t(strideBytes) : int64_t(strideBytes);
  if (bitsPerPixel != 32 || strideBytes % 4 != 0 || absStride < rowBytes || width < 0 ||
      height < 0 || (!firstRow && width > 0 && height > 0))
    throw EOrluError("BMP not 32 bit");
  Release();
  if (width == 0 || height == 0) return;
  FBits = static_cast<uint32_t*>(firstRow);
  FWidth = width;
  FHeight = height;
  FStride = strideBytes / 4;
  FExternal = true;
}

void TImg32::Wrap(TBgraBitmap& bitmap) {
  Wrap(bitmap.Pixels(), bitmap.Width(), bitmap.Height(), std::ptrdiff_t(bitmap.Width()) * 4);
}

void TImg32::Release() {
  FOwn.reset();
  FBits = nullptr;
  FWidth = FHeight = 0;
  FStride = 0;
  FExternal = false;
}

void TImg32::TakeStorage(TImg32& other) {
  Release();
  FOwn = std::move(other.FOwn);
  FBits = other.FBits;
  FWidth = other.FWidth;
  FHeight = other.FHeight;
  FStride = other.FStride;
  FExternal = other.FExternal;
  other.FBits = nullptr;
  other.Release();
}

// ---------------------------------------------------------------------------------------
// Plain pixels
// ---------------------------------------------------------------------------------------

void TImg32::Fill(uint32_t colour) {
  for (int32_t y = 0; y < FHeight; ++y) std::fill_n(Row(y), FWidth, colour);
}

void TImg32::FillRect(const TPixRect& r, uint32_t colour) {
  const TOrdered o(r);
  const int64_t x1 = std::max<int64_t>(o.X1, 0), x2 = std::min<int64_t>(o.X2, FWidth);
  const int64_t y1 = std::max<int64_t>(o.Y1, 0), y2 = std::min<int64_t>(o.Y2, FHeight);
  if (x1 >= x2) return;
  for (int64_t y = y1; y < y2; ++y) std::fill(Row(int32_t(y)) + x1, Row(int32_t(y)) + x2, colour);
}

void TImg32::HorzLine(int32_t x1, int32_t x2, int32_t y, uint32_t colour) {
  FillRect({std::min(x1, x2), y, int32_t(std::min<int64_t>(int64_t(std::max(x1, x2)) + 1, INT32_MAX)),
            int32_t(std::min<int64_t>(int64_t(y) + 1, INT32_MAX))},
           colour);
}

void TImg32::VertLine(int32_t x, int32_t y1, int32_t y2, uint32_t colour) {
  FillRect({x, std::min(y1, y2), int32_t(std::min<int64_t>(int64_t(x) + 1, INT32_MAX)),
            int32_t(std::min<int64_t>(int64_t(std::max(y1, y2)) + 1, INT32_MAX))},
           colour);
}

void TImg32::FrameRect(const TPixRect& r, uint32_t colour) {
  const TOrdered o(r);
  if (o.W() <= 0 || o.H() <= 0) return;
  const int32_t x1 = int32_t(o.X1), y1 = int32_t(o.Y1);
  const int32_t x2 = int32_t(o.X2 - 1), y2 = int32_t(o.Y2 - 1);
  HorzLine(x1, x2, y1, colour);
  HorzLine(x1, x2, y2, colour);
  VertLine(x1, y1, y2, colour);
  VertLine(x2, y1, y2, colour);
}

uint32_t TImg32::Pixel(int32_t x, int32_t y, TEdgePolicy edge) const {
  if (FWidth <= 0 || FHeight <= 0) return 0;
  if (x < 0 || x >= FWidth || y < 0 || y >= FHeight) {
    switch (edge) {
      case TEdgePolicy::Zero:
        return 0;
      case TEdgePolicy::Clamp:
        x = Clamp(x, 0, FWidth - 1);
        y = Clamp(y, 0, FHeight - 1);
        break;
      case TEdgePolicy::Wrap:
        // C++ % keeps the dividend's sign; tiling needs the non-negative remainder.
        x = ((x % FWidth) + FWidth) % FWidth;
        y = ((y % FHeight) + FHeight) % FHeight;
        break;
    }
  }
  return Row(y)[x];
}

void TImg32::SetPixel(int32_t x, int32_t y, uint32_t colour) {
  if (x >= 0 && x < FWidth && y >= 0 && y < FHeight) Row(y)[x] = colour;
}

uint32_t TImg32::CentreColour() const {
  if (FWidth <= 0 || FHeight <= 0) return 0;
  return Row(FHeight / 2)[FWidth / 2];
}

// ---------------------------------------------------------------------------------------
// Copies
// ---------------------------------------------------------------------------------------

void TImg32::CopyFrom(const TImg32& source, bool centred) {
  if (&source == this) return;
  if (source.FWidth == FWidth && source.FHeight == FHeight) {
    for (int32_t y = 0; y < FHeight; ++y) std::memcpy(Row(y), source.Row(y), size_t(FWidth) * 4);
    return;
  }
  const int32_t offX = centred ? (source.FWidth - FWidth) / 2 : 0;
  const int32_t offY = centred ? (source.FHeight - FHeight) / 2 : 0;
  for (int32_t y = 0; y < FHeight; ++y) {
    uint32_t* dst = Row(y);
    const int64_t sy = int64_t(y) + offY;
    for (int32_t x = 0; x < FWidth; ++x) {
      const int64_t sx = int64_t(x) + offX;
      dst[x] = sx >= 0 && sx < source.FWidth && sy >= 0 && sy < source.FHeight
                   ? source.Row(int32_t(sy))[sx]
                   : 0;
    }
  }
}

void TImg32::LoadBits32(const uint32_t* rows, std::ptrdiff_t strideBytes, bool invertAlpha) {
  const uint8_t* base = reinterpret_cast<const uint8_t*>(rows);
  for (int32_t y = 0; y < FHeight; ++y) {
    const uint32_t* src = reinterpret_cast<const uint32_t*>(base + y * strideBytes);
    uint32_t* dst = Row(y);
    if (!invertAlpha) {
      std::memcpy(dst, src, size_t(FWidth) * 4);
    } else {
      for (int32_t x = 0; x < FWidth; ++x) dst[x] = src[x] ^ 0xFF000000u;
    }
  }
}

void TImg32::LoadBits24(const uint8_t* rows) {
  const size_t stride = (size_t(FWidth) * 3 + 3) & ~size_t(3);
  for (int32_t y = 0; y < FHeight; ++y) {
    const uint8_t* s = rows + size_t(y) * stride;
    uint32_t* dst = Row(y);
    for (int32_t x = 0; x < FWidth; ++x, s += 3)
      dst[x] = uint32_t(s[0]) | (uint32_t(s[1]) << 8) | (uint32_t(s[2]) << 16);
  }
}

void TImg32::HalveInto(TImg32& target) const {
  if (&target == this) {
    TImg32 tmp;
    HalveInto(tmp);
    target.TakeStorage(tmp);
    return;
  }
  if (FWidth <= 0 || FHeight <= 0) {
    target.Release();
    return;
  }
  // A 1-pixel side would halve to 0; keep one pixel and repeat the edge instead.
  const int32_t tw = std::max(FWidth / 2, 1), th = std::max(FHeight / 2, 1);
  target.SetSize(tw, th);
  const uint16_t* lin = kLuts.Lin;
  for (int32_t j = 0; j < th; ++j) {
    const uint32_t* r0 = Row(std::min(2 * j, FHeight - 1));
    const uint32_t* r1 = Row(std::min(2 * j + 1, FHeight - 1));
    uint32_t* dst = target.Row(j);
    for (int32_t i = 0; i < tw; ++i) {
      const int32_t x0 = std::min(2 * i, FWidth - 1), x1 = std::min(2 * i + 1, FWidth - 1);
      const uint32_t p[4] = {r0[x0], r0[x1], r1[x0], r1[x1]};
      uint32_t out = 0;
      for (int sh = 0; sh <= 16; sh += 8) {
        uint32_t sum = 0;
        for (uint32_t q : p) sum += lin[(q >> sh) & 255];
        out |= uint32_t(kLuts.Gam[RoundDiv4(sum)]) << sh;
      }
      uint32_t asum = 0;
      for (uint32_t q : p) asum += q >> 24;
      dst[i] = out | (RoundDiv4(asum) << 24);
    }
  }
}

// ---------------------------------------------------------------------------------------
// Anti-aliased figures
// ---------------------------------------------------------------------------------------

namespace {

// Splat at a position in 1/512 pixels (offset by kSplatBias pixels) with coverage a of 4096:
// weights of 9 + 9 bits down to 12, then scaled by a. Same skipping rule as Splat.
inline void SplatQ(TImg32& img, int32_t qx, int32_t qy, const TLinColour& c, int32_t a) {
  const int32_t x0 = (qx >> 9) - kSplatBias, y0 = (qy >> 9) - kSplatBias;
  const int32_t w = img.Width(), h = img.Height();
  if (uint32_t(x0) >= uint32_t(w) || uint32_t(y0) >= uint32_t(h)) return;
  const int32_t fx = qx & 511, fy = qy & 511;
  if ((x0 == w - 1 && fx) || (y0 == h - 1 && fy)) return;
  uint32_t* r0 = img.Row(y0) + x0;
  r0[0] = BlendLin(r0[0], c, ((((512 - fx) * (512 - fy)) >> 6) * a) >> 12);
  if (fx) r0[1] = BlendLin(r0[1], c, (((fx * (512 - fy)) >> 6) * a) >> 12);
  if (fy) {
    uint32_t* r1 = img.Row(y0 + 1) + x0;
    r1[0] = BlendLin(r1[0], c, ((((512 - fx) * fy) >> 6) * a) >> 12);
    if (fx) r1[1] = BlendLin(r1[1], c, (((fx * fy) >> 6) * a) >> 12);
  }
}

}  // namespace

// Visits the pixels of the box [x0, x1] x [y0, y1], clipped to the picture before any
// conversion to integers, and blends colour with coverage(x, y) * opacity.
template <class CoverageFn>
void TImg32::Paint(double x0, double y0, double x1, double y1, uint32_t colour, double opacity,
                   CoverageFn coverage) {
  if (FWidth <= 0 || FHeight <= 0) return;
  const double op = OpacityScale(opacity);
  if (op <= 0) return;
  const double fx0 = std::max(std::floor(x0), 0.0);
  const double fx1 = std::min(std::ceil(x1), double(FWidth - 1));
  const double fy0 = std::max(std::floor(y0), 0.0);
  const double fy1 = std::min(std::ceil(y1), double(FHeight - 1));
  // Also false when a bound is NaN.
  if (!(fx0 <= fx1 && fy0 <= fy1)) return;
  const int32_t ix0 = int32_t(fx0), ix1 = int32_t(fx1);
  const int32_t iy0 = int32_t(fy0), iy1 = int32_t(fy1);
  const TLinColour c(colour);
  for (int32_t y = iy0; y <= iy1; ++y) {
    uint32_t* row = Row(y);
    for (int32_t x = ix0; x <= ix1; ++x) {
      const double cov = Clamp01(coverage(double(x), double(y)));
      if (cov <= 0) continue;
      row[x] = BlendLin(row[x], c, int32_t(std::lrint(cov * op)));
    }
  }
}

void TImg32::Splat(double px, double py, uint32_t colour, double coverage) {
  // Negated tests so that NaN is refused too.
  if (!(px >= 0 && px < FWidth && py >= 0 && py < FHeight)) return;
  const int32_t x0 = int32_t(px), y0 = int32_t(py);
  const double fx = px - x0, fy = py - y0;
  // Drawn only when every pixel with a share is inside; a splat exactly on the last
  // column or row has no share beyond it.
  if ((x0 == FWidth - 1 && fx > 0) || (y0 == FHeight - 1 && fy > 0)) return;
  const double op = OpacityScale(coverage);
  if (op <= 0) return;
  const TLinColour c(colour);
  const bool right = fx > 0, up = fy > 0;
  uint32_t* r0 = Row(y0) + x0;
  r0[0] = BlendLin(r0[0], c, int32_t(std::lrint((1 - fx) * (1 - fy) * op)));
  if (right) r0[1] = BlendLin(r0[1], c, int32_t(std::lrint(fx * (1 - fy) * op)));
  if (up) {
    uint32_t* r1 = Row(y0 + 1) + x0;
    r1[0] = BlendLin(r1[0], c, int32_t(std::lrint((1 - fx) * fy * op)));
    if (right) r1[1] = BlendLin(r1[1], c, int32_t(std::lrint(fx * fy * op)));
  }
}

void TImg32::Line(double x1, double y1, double x2, double y2, uint32_t colour, double opacity,
                  bool dotted, bool thin, double taper) {
  if (FWidth < 1 || FHeight < 1) return;
  const double op = OpacityScale(opacity);
  if (op <= 0) return;
  // Walk from the end point back towards the start.
  const double dx = x1 - x2, dy = y1 - y2;
  const double len = std::hypot(dx, dy);
  if (!std::isfinite(len) || !std::isfinite(x2) || !std::isfinite(y2)) return;
  const double ux = len > 0 ? dx / len : 0, uy = len > 0 ? dy / len : 0;
  const double step = dotted ? 4.0 : 1.0;
  // Only the part of the walk near the picture is visited, so that the step count stays
  // bounded whatever the coordinates.
  double sLo = 0, sHi = len;
  if (!ClipParam(x2, ux, -2.0, FWidth + 1.0, sLo, sHi) ||
      !ClipParam(y2, uy, -2.0, FHeight + 1.0, sLo, sHi))
    return;
  const double iLo = std::ceil(sLo / step), iHi = std::floor(sHi / step);
  if (!(iLo <= iHi) || iHi - iLo > 1e7) return;
  const int64_t count = int64_t(iHi - iLo) + 1;
  // Second splat of a wide line: half a pixel to each side.
  const double ox = thin ? 0 : -uy * 0.5, oy = thin ? 0 : ux * 0.5;
  double k = 0;
  const bool tapered = taper > 0.001;
  if (tapered) {
    k = (taper + taper * taper / 2) * 1.75;
    if (k > 1.8) k = 1.8 + (k - 1.8) * 2.5;
  }
  // Centre and corner pixels: r runs from 0 at the centre to 1 at the corners.
  const double cx = (FWidth - 1) / 2.0, cy = (FHeight - 1) / 2.0;
  const double norm = 1.0 / std::max(cx * cx + cy * cy, 0.25);
  const int32_t aFull = int32_t(op);
  auto coverageAt = [&](double px, double py) {
    if (!tapered) return aFull;
    const double ddx = px - cx, ddy = py - cy;
    const double r = (ddx * ddx + ddy * ddy) * norm;
    return int32_t(std::lrint(Clamp01(k * r - (k - 1)) * op));
  };
  const double sFirst = iLo * step, sLast = iHi * step;
  const double fx0 = x2 + ux * sFirst - ox, fy0 = y2 + uy * sFirst - oy;
  const double fx1 = x2 + ux * sLast - ox, fy1 = y2 + uy * sLast - oy;
  // The clip keeps the walk within [-2, size + 1] (half a pixel more for a wide line); only
  // end points far beyond 2^52 lose that to rounding, and such a walk means nothing.
  const double hiX = FWidth + 2.0, hiY = FHeight + 2.0;
  if (!(fx0 > -3 && fx0 < hiX && fy0 > -3 && fy0 < hiY && fx1 > -3 && fx1 < hiX && fy1 > -3 &&
        fy1 < hiY))
    return;
  if (FWidth >= (1 << 22) || FHeight >= (1 << 22)) {
    // 1/512-pixel positions fit 32 bits only on pictures up to 4 million pixels wide.
    for (int64_t n = 0; n < count; ++n) {
      const double s = (iLo + double(n)) * step;
      const double px = x2 + ux * s - ox, py = y2 + uy * s - oy;
      const int32_t a = coverageAt(px, py);
      Splat(px, py, colour, a / 4096.0);
      if (!thin) Splat(px + 2 * ox, py + 2 * oy, colour, a / 4096.0);
    }
    return;
  }
  // Positions in 1/2^25 pixel, stepped by addition: the weights use 1/512 pixel, the 16
  // extra bits keep the rounding of the step (2^-26 pixel each) from adding up.
  constexpr double kQ = 512.0 * 65536.0;
  int64_t qx = std::llrint((fx0 + kSplatBias) * kQ), qy = std::llrint((fy0 + kSplatBias) * kQ);
  const int64_t dqx = std::llrint(ux * step * kQ), dqy = std::llrint(uy * step * kQ);
  const int32_t oqx = int32_t(std::lrint(2 * ox * 512)), oqy = int32_t(std::lrint(2 * oy * 512));
  const TLinColour c(colour);
  // Steep lines move to a new row at every step; fetching rows a few steps ahead hides most
  // of the memory latency on large pictures.
  constexpr int64_t kAhead = 8;
  const int64_t lastRow = FHeight - 1, lastCol = FWidth - 1;
  for (int64_t n = 0; n < count; ++n, qx += dqx, qy += dqy) {
    const int64_t px = ((qx + kAhead * dqx) >> 25) - kSplatBias;
    const int64_t py = ((qy + kAhead * dqy) >> 25) - kSplatBias;
    if (px >= 0 && px <= lastCol && py >= 0 && py < lastRow) {
      __builtin_prefetch(Row(int32_t(py)) + px, 1);
      __builtin_prefetch(Row(int32_t(py) + 1) + px, 1);
    }
    const int32_t sx = int32_t(qx >> 16), sy = int32_t(qy >> 16);
    int32_t a = aFull;
    if (tapered) {
      a = coverageAt(sx / 512.0 - kSplatBias, sy / 512.0 - kSplatBias);
      if (a <= 0) continue;
    }
    SplatQ(*this, sx, sy, c, a);
    if (!thin) SplatQ(*this, sx + oqx, sy + oqy, c, a);
  }
}

void TImg32::SegmentLine(double x1, double y1, double x2, double y2, uint32_t colour,
                         double opacity) {
  if (FWidth < 1 || FHeight < 1) return;
  const double dx = x2 - x1, dy = y2 - y1;
  const double len = std::hypot(dx, dy);
  if (!std::isfinite(len) || !std::isfinite(x1) || !std::isfinite(y1)) return;
  const double op = Clamp01(opacity);
  if (len == 0) {
    // Both end splats land on one point.
    Splat(x1, y1, colour, op / 2);
    Splat(x1, y1, colour, op / 2);
    return;
  }
  const double n = std::nearbyint(len * 1.4) + 2;
  const double spacing = len / (n - 1);
  const double ux = dx / len, uy = dy / len;
  double sLo = 0, sHi = len;
  if (!ClipParam(x1, ux, -1.0, double(FWidth), sLo, sHi) ||
      !ClipParam(y1, uy, -1.0, double(FHeight), sLo, sHi))
    return;
  const double jLo = std::max(std::ceil(sLo / spacing), 0.0);
  const double jHi = std::min(std::floor(sHi / spacing), n - 1);
  if (!(jLo <= jHi) || jHi - jLo > 1e7) return;
  const int64_t count = int64_t(jHi - jLo) + 1;
  for (int64_t i = 0; i < count; ++i) {
    const double j = jLo + double(i);
    const bool end = j == 0 || j == n - 1;
    // The last splat sits exactly on the end point.
    const double px = j == n - 1 ? x2 : x1 + ux * (j * spacing);
    const double py = j == n - 1 ? y2 : y1 + uy * (j * spacing);
    Splat(px, py, colour, end ? op / 2 : op);
  }
}

void TImg32::Disc(double cx, double cy, double radius, uint32_t colour, double opacity) {
  if (!(radius > 0)) return;
  Paint(cx - radius - 1, cy - radius - 1, cx + radius + 1, cy + radius + 1, colour, opacity,
        [&](double x, double y) { return radius - std::hypot(x - cx, y - cy); });
}

void TImg32::Arrow(double bx, double by, double tx, double ty, double width, uint32_t colour,
                   double opacity) {
  if (!(width >= 0)) width = 0;
  width = std::min(width, kMaxExtent);
  const double h = width / 2 + 0.5;
  const double dx = tx - bx, dy = ty - by;
  const double len = std::hypot(dx, dy);
  if (!std::isfinite(len) || !std::isfinite(bx) || !std::isfinite(by)) return;
  // A zero-length arrow has no direction: only the cap is left.
  if (len < 1e-9) {
    Disc(bx, by, h, colour, opacity);
    return;
  }
  const double ux = dx / len, uy = dy / len;
  const double head = 4 * h + 1, shaftEnd = len - head, headHalf = 1.6 * h + 1;
  const double m = headHalf + 2;
  Paint(std::min(bx, tx) - m, std::min(by, ty) - m, std::max(bx, tx) + m, std::max(by, ty) + m,
        colour, opacity, [&](double x, double y) {
          const double qx = x - bx, qy = y - by;
          const double s = qx * ux + qy * uy;
          const double d = std::fabs(qy * ux - qx * uy);
          if (s < 0) return h - std::hypot(qx, qy);
          if (s <= shaftEnd) return h - d;
          if (s > len) return 0.0;
          return headHalf * (len - s) / head - d;
        });
}

void TImg32::Ruler(double bx, double by, double ex, double ey, double width, int32_t sections,
                   uint32_t colour, double opacity) {
  if (!(width >= 0)) width = 0;
  width = std::min(width, kMaxExtent);
  const double h = width / 2 + 0.5;
  const double dx = ex - bx, dy = ey - by;
  const double len = std::hypot(dx, dy);
  if (!std::isfinite(len) || !std::isfinite(bx) || !std::isfinite(by)) return;
  if (len < 1e-9) {
    Disc(bx, by, h, colour, opacity);
    return;
  }
  const double ux = dx / len, uy = dy / len;
  const double m = h + 1;
  Paint(std::min(bx, ex) - m, std::min(by, ey) - m, std::max(bx, ex) + m, std::max(by, ey) + m,
        colour, opacity, [&](double x, double y) {
          const double qx = x - bx, qy = y - by;
          const double s = qx * ux + qy * uy;
          const double d = std::fabs(qy * ux - qx * uy);
          return Clamp01(h - d) * Clamp01(s + 1) * Clamp01(len + 1 - s);
        });
  if (sections <= 0 || len <= 2) return;
  // More ticks than pixels along the bar cannot be told apart; the cap bounds the work.
  const int32_t n = std::min(sections, 100000);
  const double spacing = (len - 2) / n;
  const double nx = -uy, ny = ux;
  const double t0 = h - 0.5, t1 = width + 4;
  for (int32_t i = 0; i <= n; ++i) {
    const double s = 1 + i * spacing;
    const double px = bx + ux * s, py = by + uy * s;
    const double qx = px + nx * t1, qy = py + ny * t1;
    if (std::max(px, qx) < -1 || std::min(px, qx) > FWidth || std::max(py, qy) < -1 ||
        std::min(py, qy) > FHeight)
      continue;
    SegmentLine(px + nx * t0, py + ny * t0, qx, qy, colour, opacity);
  }
}

void TImg32::Ellipse(const TPixRect& r, bool circle, double width, uint32_t colour,
                     double opacity) {
  const TOrdered o(r);
  double rx = o.W() / 2.0, ry = o.H() / 2.0;
  if (circle) rx = ry = std::min(rx, ry);
  const double b = std::min(rx, ry);
  if (!(b > 0)) return;
  if (!(width >= 0)) width = 0;
  const double cx = (o.X1 + o.X2 - 1) / 2.0, cy = (o.Y1 + o.Y2 - 1) / 2.0;
  // Distances in units of the shorter semi-axis; the ring's band is [0, w] measured inward
  // from the edge, or the whole disc when the inner radius would be 0.
  const double band = width >= b - 1 ? std::numeric_limits<double>::infinity() : width;
  const double sx = b / rx, sy = b / ry;
  const double hq = 2 * std::fabs(rx - ry) / (rx + ry);
  const bool xLong = rx >= ry;
  const double longR = std::max(rx, ry);
  Paint(cx - rx, cy - ry, cx + rx, cy + ry, colour, opacity, [&](double x, double y) {
    const double ddx = x - cx, ddy = y - cy;
    const double rho = std::hypot(ddx * sx, ddy * sy);
    const double q = std::min(std::fabs(xLong ? ddx : ddy) / longR, 1.0);
    // Along the longer axis one scaled unit is more than a pixel: stretch the distance
    // back so that the ring keeps an even width.
    const double e = (b - rho) * (1 + hq * q * q);
    return std::min(e + 0.5, band) - std::max(e - 0.5, 0.0);
  });
}

void TImg32::BlendSpan(int64_t y, int64_t xFrom, int64_t xTo, uint32_t colour, int32_t a) {
  if (y < 0 || y >= FHeight || a <= 0) return;
  xFrom = std::max<int64_t>(xFrom, 0);
  xTo = std::min<int64_t>(xTo, FWidth);
  if (xFrom >= xTo) return;
  const TLinColour c(colour);
  uint32_t* row = Row(int32_t(y));
  for (int64_t x = xFrom; x < xTo; ++x) row[x] = BlendLin(row[x], c, a);
}

void TImg32::Rectangle(const TPixRect& r, bool square, bool corners, int32_t width,
                       uint32_t colour, double opacity) {
  TOrdered o(r);
  if (o.W() <= 0 || o.H() <= 0) return;
  if (square) {
    const int64_t side = std::min(o.W(), o.H());
    o.X1 += (o.W() - side) / 2;
    o.Y1 += (o.H() - side) / 2;
    o.X2 = o.X1 + side;
    o.Y2 = o.Y1 + side;
  }
  const int32_t a = int32_t(OpacityScale(opacity));
  if (a <= 0) return;
  const int64_t w = std::max<int64_t>(width, 1);
  const int64_t arm = corners ? (o.W() + o.H()) / 12 + 2 : std::max(o.W(), o.H());
  const int64_t y0 = std::max<int64_t>(o.Y1, 0), y1 = std::min<int64_t>(o.Y2, FHeight);
  for (int64_t y = y0; y < y1; ++y) {
    const int64_t j = y - o.Y1, fromTop = o.Y2 - 1 - y;
    const bool hBand = j < w || fromTop < w;
    const bool vArm = j < arm || fromTop < arm;
    if (hBand) {
      // Row of a horizontal band: the whole row, or its two corner pieces.
      if (!corners || 2 * arm >= o.W()) {
        BlendSpan(y, o.X1, o.X2, colour, a);
      } else {
        BlendSpan(y, o.X1, o.X1 + arm, colour, a);
        BlendSpan(y, o.X2 - arm, o.X2, colour, a);
      }
    } else if (vArm) {
      const int64_t bw = std::min(w, o.W());
      if (2 * bw >= o.W()) {
        BlendSpan(y, o.X1, o.X2, colour, a);
      } else {
        BlendSpan(y, o.X1, o.X1 + bw, colour, a);
        BlendSpan(y, o.X2 - bw, o.X2, colour, a);
      }
    }
  }
}

void TImg32::Cross(const TPixRect& r, uint32_t arms, double width, uint32_t colour,
                   double opacity) {
  const TOrdered o(r);
  arms &= kArmsAll;
  if (o.W() <= 0 || o.H() <= 0 || arms == 0) return;
  if (!(width >= 0)) width = 0;
  width = std::min(width, kMaxExtent);
  const double cx = (o.X1 + o.X2 - 1) / 2.0, cy = (o.Y1 + o.Y2 - 1) / 2.0;
  double len = std::min(o.W(), o.H()) / 2.0 + 1;
  // Markers with fewer arms reach further so that they stay as visible.
  if (arms != kArmsAll) len *= 1.5;
  const double start = 0.35 * len, hw = width / 2 + 0.5;
  auto coverage = [&](double x, double y) {
    const double ddx = x - cx, ddy = y - cy;
    double best = 0;
    auto arm = [&](double t, double d) {
      if (t < start || t > len + 0.5) return;
      // Narrower than the distance from the arm's start: the inner end is a point.
      const double half = std::min(t - start, hw);
      best = std::max(best, Clamp01(half - d) * Clamp01(len + 0.5 - t));
    };
    if (arms & kArmUp) arm(ddy, std::fabs(ddx));
    if (arms & kArmDown) arm(-ddy, std::fabs(ddx));
    if (arms & kArmRight) arm(ddx, std::fabs(ddy));
    if (arms & kArmLeft) arm(-ddx, std::fabs(ddy));
    return best;
  };
  // Only the arms' own strips are visited (a large cross is mostly empty square). Strips
  // of wide arms can overlap near the centre: a pixel is painted by the first strip that
  // holds it, with the coverage of all arms, so nothing is blended twice.
  struct TStrip {
    double X0, Y0, X1, Y1;  // whole pixels, inclusive
    bool Holds(double x, double y) const { return x >= X0 && x <= X1 && y >= Y0 && y <= Y1; }
  };
  TStrip strips[4];
  int n = 0;
  const double a = start - 1, b = len + 1.5, w = hw + 1;
  auto add = [&](double x0, double y0, double x1, double y1) {
    strips[n++] = {std::floor(x0), std::floor(y0), std::ceil(x1), std::ceil(y1)};
  };
  if (arms & kArmUp) add(cx - w, cy + a, cx + w, cy + b);
  if (arms & kArmDown) add(cx - w, cy - b, cx + w, cy - a);
  if (arms & kArmRight) add(cx + a, cy - w, cx + b, cy + w);
  if (arms & kArmLeft) add(cx - b, cy - w, cx - a, cy + w);
  for (int k = 0; k < n; ++k)
    Paint(strips[k].X0, strips[k].Y0, strips[k].X1, strips[k].Y1, colour, opacity,
          [&](double x, double y) {
            for (int j = 0; j < k; ++j)
              if (strips[j].Holds(x, y)) return 0.0;
            return coverage(x, y);
          });
}

void TImg32::Point(double cx, double cy, double width, uint32_t colour, double opacity) {
  if (!(width >= 0)) width = 0;
  width = std::min(width, kMaxExtent);
  double radius = width + 1;
  if (radius > 8) radius = 2 * radius - 8;
  Disc(cx, cy, radius, colour, opacity);
}

void TImg32::AlphaBox(const TPixRect& r, int32_t grow, uint32_t alpha, uint32_t colour) {
  TOrdered o(r);
  const int64_t g = std::max<int64_t>(grow, 0);
  o.X1 -= g;
  o.Y1 -= g;
  o.X2 += g;
  o.Y2 += g;
  alpha = std::min<uint32_t>(alpha, 256);
  if (o.W() <= 0 || o.H() <= 0 || alpha == 0) return;
  const int64_t y0 = std::max<int64_t>(o.Y1, 0), y1 = std::min<int64_t>(o.Y2, FHeight);
  for (int64_t y = y0; y < y1; ++y) {
    const int64_t k = std::min(y - o.Y1, o.Y2 - 1 - y);
    const int64_t inset = k == 0 ? 2 : (k == 1 ? 1 : 0);
    const int64_t xa = o.X1 + inset, xb = o.X2 - 1 - inset;  // inclusive
    if (xa > xb) continue;
    const uint32_t endAlpha = k == 0 ? alpha * 10 / 16 : (k == 1 ? alpha * 14 / 16 : alpha);
    uint32_t* row = Row(int32_t(y));
    const int64_t from = std::max<int64_t>(xa, 0), to = std::min<int64_t>(xb, FWidth - 1);
    for (int64_t x = from; x <= to; ++x)
      row[x] = BlendLinear(row[x], colour, x == xa || x == xb ? endAlpha : alpha);
  }
}

void TImg32::SelectionFrame(const TPixRect& r, int32_t handleLength) {
  TOrdered o(r);
  o.X1 -= 4;
  o.Y1 -= 4;
  o.X2 += 4;
  o.Y2 += 4;
  auto put = [&](int64_t x, int64_t y, uint32_t c) {
    if (x >= 0 && x < FWidth && y >= 0 && y < FHeight) {
      uint32_t& p = Row(int32_t(y))[x];
      p = (p & 0xFF000000u) | c;
    }
  };
  auto block = [&](int64_t x, int64_t y) {
    if (x + 4 <= 0 || x >= FWidth || y + 4 <= 0 || y >= FHeight) return;
    for (int64_t j = 0; j < 4; ++j)
      for (int64_t i = 0; i < 4; ++i)
        put(x + i, y + j, (i == 1 || i == 2) && (j == 1 || j == 2) ? kHandleInner : kHandleOuter);
  };
  const int64_t len = std::clamp<int64_t>(handleLength, 4, int64_t(kMaxExtent));
  // Blocks along an edge stop where the edge ends.
  const int64_t nx = std::max<int64_t>(1, std::min(len, o.W()) / 4);
  const int64_t ny = std::max<int64_t>(1, std::min(len, o.H()) / 4);
  for (int64_t k = 0; k < nx; ++k) {
    block(o.X1 + 4 * k, o.Y1);
    block(o.X2 - 4 - 4 * k, o.Y1);
    block(o.X1 + 4 * k, o.Y2 - 4);
    block(o.X2 - 4 - 4 * k, o.Y2 - 4);
  }
  for (int64_t k = 0; k < ny; ++k) {
    block(o.X1, o.Y1 + 4 * k);
    block(o.X2 - 4, o.Y1 + 4 * k);
    block(o.X1, o.Y2 - 4 - 4 * k);
    block(o.X2 - 4, o.Y2 - 4 - 4 * k);
  }
}

void TImg32::Placeholder(const TPixRect& r) {
  const TOrdered o(r);
  if (o.W() <= 0 || o.H() <= 0) return;
  const double x1 = double(o.X1), y1 = double(o.Y1);
  const double x2 = double(o.X2 - 1), y2 = double(o.Y2 - 1);
  SegmentLine(x1, y1, x2, y1, kPlaceholderGrey, 1);
  SegmentLine(x2, y1, x2, y2, kPlaceholderGrey, 1);
  SegmentLine(x2, y2, x1, y2, kPlaceholderGrey, 1);
  SegmentLine(x1, y2, x1, y1, kPlaceholderGrey, 1);
  SegmentLine(x1, y1, x2, y2, kPlaceholderGrey, 1);
  SegmentLine(x1, y2, x2, y1, kPlaceholderGrey, 1);
}

TTextExtent TImg32::TextBox(TTextPainter& painter, double left, double bottom,
                            const std::string& text, const TTextFont& font, uint32_t textColour,
                            double opacity, uint32_t boxColour, uint32_t boxAlpha,
                            int32_t margin) {
  const TTextExtent ext = painter.MeasureText(text, font);
  if (boxAlpha > 0 && std::isfinite(left) && std::isfinite(bottom)) {
    const int32_t x1 = Floor(left), y1 = Floor(bottom);
    const int32_t w = Floor(std::ceil(std::max(ext.Width, 0.0)));
    const int32_t h = Floor(std::ceil(std::max(ext.Height, 0.0)));
    AlphaBox({x1, y1, int32_t(std::min<int64_t>(int64_t(x1) + w, INT32_MAX)),
              int32_t(std::min<int64_t>(int64_t(y1) + h, INT32_MAX))},
             margin, boxAlpha, boxColour);
  }
  painter.DrawText(*this, left, bottom, text, font, textColour, opacity);
  return ext;
}

// ---------------------------------------------------------------------------------------
// Blits
// ---------------------------------------------------------------------------------------

namespace {

// Sample alpha 0 is opaque: write it unless the picture is drawn translucently.
inline uint32_t Over(uint32_t p, uint32_t s, int32_t opq) {
  const uint32_t alpha = s >> 24;
  if (alpha == 0 && opq >= 256) return (p & 0xFF000000u) | (s & 0xFFFFFFu);
  const uint32_t w = ((255 - alpha) * uint32_t(opq) + 127) / 255;
  return BlendLinear(p, s, w);
}

}  // namespace

void TImg32::DrawScaled(const TImg32& source, double cx, double cy, double scale,
                        double opacity) {
  if (source.FWidth <= 0 || source.FHeight <= 0 || FWidth <= 0 || FHeight <= 0) return;
  if (!(scale > 0) || !std::isfinite(scale) || !std::isfinite(cx) || !std::isfinite(cy)) return;
  const int32_t opq = int32_t(std::lrint(Clamp01(opacity) * 256));
  if (opq <= 0) return;
  const double sw = source.FWidth, sh = source.FHeight;
  // Target pixel centres whose source position u lies in [-0.5, size - 0.5).
  const double fx0 = std::max(std::ceil(cx - scale * sw / 2), 0.0);
  const double fx1 = std::min(std::ceil(cx + scale * sw / 2) - 1, double(FWidth - 1));
  const double fy0 = std::max(std::ceil(cy - scale * sh / 2), 0.0);
  const double fy1 = std::min(std::ceil(cy + scale * sh / 2) - 1, double(FHeight - 1));
  if (!(fx0 <= fx1 && fy0 <= fy1)) return;
  const double inv = 1 / scale;
  const double mx = (sw - 1) / 2, my = (sh - 1) / 2;
  const int32_t lastX = source.FWidth - 1, lastY = source.FHeight - 1;
  for (int32_t y = int32_t(fy0); y <= int32_t(fy1); ++y) {
    const double v = (y - cy) * inv + my;
    const int32_t qv = int32_t(std::floor(Clamp(v, -1.0, sh) * 256));
    const int32_t vy = qv >> 8, fy = qv & 255;
    const uint32_t* s0 = source.Row(Clamp(vy, 0, lastY));
    const uint32_t* s1 = source.Row(Clamp(vy + 1, 0, lastY));
    uint32_t* row = Row(y);
    for (int32_t x = int32_t(fx0); x <= int32_t(fx1); ++x) {
      const double u = (x - cx) * inv + mx;
      const int32_t qu = int32_t(std::floor(Clamp(u, -1.0, sw) * 256));
      const int32_t ux = qu >> 8, fx = qu & 255;
      const int32_t xa = Clamp(ux, 0, lastX), xb = Clamp(ux + 1, 0, lastX);
      const uint32_t p00 = s0[xa], p10 = s0[xb], p01 = s1[xa], p11 = s1[xb];
      const uint32_t w00 = uint32_t((256 - fx) * (256 - fy)), w10 = uint32_t(fx * (256 - fy));
      const uint32_t w01 = uint32_t((256 - fx) * fy), w11 = uint32_t(fx * fy);
      uint32_t sample = 0;
      for (int sh8 = 0; sh8 <= 24; sh8 += 8) {
        const uint32_t ch = (((p00 >> sh8) & 255) * w00 + ((p10 >> sh8) & 255) * w10 +
                             ((p01 >> sh8) & 255) * w01 + ((p11 >> sh8) & 255) * w11 + 32768) >>
                            16;
        sample |= ch << sh8;
      }
      row[x] = Over(row[x], sample, opq);
    }
  }
}

void TImg32::DrawUnscaled(const TImg32& source, int32_t x, int32_t y, double opacity) {
  const int32_t opq = int32_t(std::lrint(Clamp01(opacity) * 256));
  if (opq <= 0) return;
  const int64_t x0 = std::max<int64_t>(x, 0), x1 = std::min<int64_t>(int64_t(x) + source.FWidth, FWidth);
  const int64_t y0 = std::max<int64_t>(y, 0), y1 = std::min<int64_t>(int64_t(y) + source.FHeight, FHeight);
  for (int64_t ty = y0; ty < y1; ++ty) {
    const uint32_t* src = source.Row(int32_t(ty - y));
    uint32_t* row = Row(int32_t(ty));
    for (int64_t tx = x0; tx < x1; ++tx) row[tx] = Over(row[tx], src[tx - x], opq);
  }
}

// ---------------------------------------------------------------------------------------
// Mask brush
// ---------------------------------------------------------------------------------------

void TImg32::BrushDab(int32_t cx, int32_t cy, bool round, int32_t size) {
  if (size < 1) return;
  size = std::min(size, kMaxBrush);
  const int64_t x0 = int64_t(cx) - size / 2, y0 = int64_t(cy) - size / 2;
  const double centre = (size - 1) / 2.0, r2 = (size / 2.0) * (size / 2.0);
  const int64_t xa = std::max<int64_t>(x0, 0), xb = std::min<int64_t>(x0 + size, FWidth);
  const int64_t ya = std::max<int64_t>(y0, 0), yb = std::min<int64_t>(y0 + size, FHeight);
  for (int64_t y = ya; y < yb; ++y) {
    uint32_t* row = Row(int32_t(y));
    const double dy = double(y - y0) - centre;
    for (int64_t x = xa; x < xb; ++x) {
      if (round) {
        const double dx = double(x - x0) - centre;
        if (dx * dx + dy * dy > r2) continue;
      }
      const uint32_t p = row[x];
      if (IsBrushMarked(p)) continue;
      row[x] = 0xCCE00000u | ((((p >> 8) & 255) >> 1) << 8);
    }
  }
}

void TImg32::BrushStroke(int32_t x1, int32_t y1, int32_t x2, int32_t y2, bool round,
                         int32_t size) {
  if (size < 1) return;
  size = std::min(size, kMaxBrush);
  // Only the part of the stroke whose dabs can touch the picture is walked.
  const double dx = double(x2) - x1, dy = double(y2) - y1;
  const double m = size + 1.0;
  double lo = 0, hi = 1;
  if (!ClipParam(x1, dx, -m, FWidth + m, lo, hi) || !ClipParam(y1, dy, -m, FHeight + m, lo, hi))
    return;
  int64_t ax = x1, ay = y1, bx = x2, by = y2;
  if (lo > 0) {
    ax = std::llround(x1 + dx * lo);
    ay = std::llround(y1 + dy * lo);
  }
  if (hi < 1) {
    bx = std::llround(x1 + dx * hi);
    by = std::llround(y1 + dy * hi);
  }
  const int64_t ddx = std::llabs(bx - ax), ddy = -std::llabs(by - ay);
  const int64_t sx = ax < bx ? 1 : -1, sy = ay < by ? 1 : -1;
  int64_t err = ddx + ddy;
  for (;;) {
    BrushDab(int32_t(ax), int32_t(ay), round, size);
    if (ax == bx && ay == by) break;
    const int64_t e2 = 2 * err;
    if (e2 >= ddy) {
      err += ddy;
      ax += sx;
    }
    if (e2 <= ddx) {
      err += ddx;
      ay += sy;
    }
  }
}

// ---------------------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------------------

namespace {

void Put16(std::vector<uint8_t>& b, uint32_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

inline uint8_t GrayOf(uint32_t p) {
  return uint8_t((77 * ((p >> 16) & 255) + 151 * ((p >> 8) & 255) + 28 * (p & 255)) >> 8);
}

// One picture row as file samples: gray levels, or three bytes per pixel in blue-green-red
// order (BMP) or red-green-blue order (TIFF).
void PackRow(const uint32_t* src, int32_t width, bool gray, bool bgr, uint8_t* d) {
  for (int32_t x = 0; x < width; ++x) {
    const uint32_t p = src[x];
    if (gray) {
      *d++ = GrayOf(p);
    } else {
      const uint8_t r = uint8_t(p >> 16), g = uint8_t(p >> 8), b = uint8_t(p);
      *d++ = bgr ? b : r;
      *d++ = g;
      *d++ = bgr ? r : b;
    }
  }
}

// Writes through a new file beside path and renames it over path only when every byte was
// written, so that a failed save leaves an existing file as it was.
template <class WriteFn>
bool SaveAtomically(const std::string& path, WriteFn write) {
  static std::atomic<uint32_t> serial{0};
  std::string tmp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    tmp = path + ".~" + std::to_string(getpid()) + "-" + std::to_string(serial++);
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
  FILE* f = ::fdopen(fd, "wb");
  if (!f) {
    ::close(fd);
    ::unlink(tmp.c_str());
    return false;
  }
  bool ok = write(f);
  ok = std::fflush(f) == 0 && ok;
  ok = ::fsync(fd) == 0 && ok;
  ok = std::fclose(f) == 0 && ok;
  if (ok) ok = std::rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(tmp.c_str());
  return ok;
}

bool WriteAll(FILE* f, const std::vector<uint8_t>& b) {
  return b.empty() || std::fwrite(b.data(), 1, b.size(), f) == b.size();
}

}  // namespace

bool TImg32::SaveBMP(const std::string& path, bool gray) const {
  if (FWidth <= 0 || FHeight <= 0) return false;
  const uint64_t rowBytes = (uint64_t(FWidth) * (gray ? 1 : 3) + 3) & ~uint64_t(3);
  const uint64_t imageBytes = rowBytes * uint64_t(FHeight);
  const uint32_t offset = gray ? 1078 : 54;
  if (imageBytes + offset > 0xFFFFFFFFu) return false;
  std::vector<uint8_t> head;
  head.push_back('B');
  head.push_back('M');
  Put32(head, uint32_t(imageBytes + offset));
  Put32(head, 0);  // two reserved words
  Put32(head, offset);
  Put32(head, 40);
  Put32(head, uint32_t(FWidth));
  Put32(head, uint32_t(FHeight));  // positive: rows bottom-up, as stored
  Put16(head, 1);
  Put16(head, gray ? 8 : 24);
  Put32(head, 0);
  Put32(head, uint32_t(imageBytes));
  Put32(head, 0);
  Put32(head, 0);
  Put32(head, gray ? 256 : 0);
  Put32(head, 0);
  if (gray)
    for (uint32_t i = 0; i < 256; ++i) Put32(head, i * 0x010101u);
  return SaveAtomically(path, [&](FILE* f) {
    if (!WriteAll(f, head)) return false;
    std::vector<uint8_t> line(rowBytes, 0);
    for (int32_t y = 0; y < FHeight; ++y) {
      PackRow(Row(y), FWidth, gray, true, line.data());
      if (!WriteAll(f, line)) return false;
    }
    return true;
  });
}

bool TImg32::SaveTIFF(const std::string& path, bool gray) const {
  if (FWidth <= 0 || FHeight <= 0) return false;
  const uint32_t spp = gray ? 1 : 3;
  constexpr uint32_t kEntries = 10;
  constexpr uint32_t kIfd = 8;
  const uint32_t ifdEnd = kIfd + 2 + kEntries * 12 + 4;
  const uint32_t bpsOffset = ifdEnd;
  const uint32_t dataOffset = gray ? ifdEnd : ifdEnd + 6;
  const uint64_t dataBytes = uint64_t(FWidth) * uint64_t(FHeight) * spp;
  if (dataBytes + dataOffset > 0xFFFFFFFFu) return false;
  const bool wide = FWidth > 0xFFFF || FHeight > 0xFFFF;
  std::vector<uint8_t> head;
  head.push_back('I');
  head.push_back('I');
  Put16(head, 42);
  Put32(head, kIfd);
  Put16(head, kEntries);
  auto entry = [&](uint32_t tag, uint32_t type, uint32_t count, uint32_t value) {
    Put16(head, tag);
    Put16(head, type);
    Put32(head, count);
    if (type == 3 && count == 1) {
      Put16(head, value);
      Put16(head, 0);
    } else {
      Put32(head, value);
    }
  };
  constexpr uint32_t kShort = 3, kLong = 4;
  entry(254, kLong, 1, 0);                                 // NewSubfileType
  entry(256, wide ? kLong : kShort, 1, uint32_t(FWidth));  // ImageWidth
  entry(257, wide ? kLong : kShort, 1, uint32_t(FHeight)); // ImageLength
  if (gray)
    entry(258, kShort, 1, 8);  // BitsPerSample
  else
    entry(258, kShort, 3, bpsOffset);
  entry(259, kShort, 1, 1);              // Compression: none
  entry(262, kShort, 1, gray ? 1 : 2);   // PhotometricInterpretation
  entry(273, kLong, 1, dataOffset);      // StripOffsets
  entry(277, kShort, 1, spp);            // SamplesPerPixel
  entry(278, kLong, 1, uint32_t(FHeight));  // RowsPerStrip: one strip
  // Baseline readers need the strip's length.
  entry(279, kLong, 1, uint32_t(dataBytes));  // StripByteCounts
  Put32(head, 0);                             // no next directory
  if (!gray)
    for (int i = 0; i < 3; ++i) Put16(head, 8);
  return SaveAtomically(path, [&](FILE* f) {
    if (!WriteAll(f, head)) return false;
    std::vector<uint8_t> line(size_t(FWidth) * spp);
    for (int32_t y = FHeight - 1; y >= 0; --y) {
      PackRow(Row(y), FWidth, gray, false, line.data());
      if (!WriteAll(f, line)) return false;
    }
    return true;
  });
}

// ---------------------------------------------------------------------------------------
// TPolyDrawer
// ---------------------------------------------------------------------------------------

void TPolyDrawer::Add(int32_t x, int32_t y, TPolyPointType type) {
  FPoints[FCount] = {x, y};
  FTypes[FCount] = type;
  ++FCount;
}

void TPolyDrawer::AddSegment(int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
  bool continues = FCount > 0 && FPoints[FCount - 1].X == x1 && FPoints[FCount - 1].Y == y1;
  // Room is checked for every point the segment needs; after a flush the outline restarts
  // with a move-to to where it was, since a batch cannot begin with a line-to.
  if (FCount + (continues ? 1 : 2) > kCapacity) {
    Flush();
    continues = false;
  }
  if (!continues) Add(x1, y1, TPolyPointType::MoveTo);
  Add(x2, y2, TPolyPointType::LineTo);
}

void TPolyDrawer::Flush() {
  if (FCount > 0) FCanvas.PolyDraw(FPoints, FTypes, FCount);
  FCount = 0;
}

}  // namespace orlu
