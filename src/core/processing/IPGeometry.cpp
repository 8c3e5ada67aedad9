// Turns, rotation, binning, distortion removal and the image-level transforms that carry
// mask and world coordinates along with the pixels.
#include "processing/IPGeometry.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <numbers>

#include "astrometry/ImaWCS.h"
#include "base/EOrluError.h"
#include "base/OrluMath.h"
#include "base/Translate.h"
#include "image/ImaColor.h"
#include "image/LibThreads.h"

namespace orlu {

// ---------------------------------------------------------------------------- sizes

bool SizeAccepted(int64_t w, int64_t h) {
  return w >= 1 && h >= 1 && w <= TAImage::kMaxSide && h <= TAImage::kMaxSide;
}

std::string SizeRefusedText() {
  return Tr("Min size is") + ": 1 x 1" + "\r" + Tr("Max size is") + ": 30000 x 30000";
}

void CosSinDeg(double angleDeg, double& c, double& s) {
  const double q = angleDeg / 90.0;
  if (std::isfinite(q) && q == std::nearbyint(q)) {
    static constexpr double kCos[] = {1, 0, -1, 0}, kSin[] = {0, 1, 0, -1};
    const int32_t k = int32_t(std::fmod(std::fmod(q, 4.0) + 4.0, 4.0));
    c = kCos[k];
    s = kSin[k];
    return;
  }
  const double t = angleDeg * (std::numbers::pi / 180.0);
  c = std::cos(t);
  s = std::sin(t);
}

void RotatedSize(int32_t w, int32_t h, double angleDeg, int64_t& w2, int64_t& h2) {
  double c, s;
  CosSinDeg(angleDeg, c, s);
  auto absRound = [](double v) { return std::llabs(Round64(v)); };
  w2 = std::max(absRound(w * c + h * s), absRound(w * c - h * s));
  h2 = std::max(absRound(h * c - w * s), absRound(h * c + w * s));
}

namespace {

// Runs fn(row) over the rows of one plane in parallel; stops handing out rows once a report
// refused. False when stopped.
template <class Fn>
bool PlaneRows(int32_t rows, int32_t plane, const TRowReport& report, Fn&& fn) {
  std::atomic<bool> stop{false};
  ParallelRows(rows, 0, [&](int32_t y) {
    if (stop.load(std::memory_order_relaxed)) return;
    fn(y);
    if (report && !report(plane, y)) stop.store(true, std::memory_order_relaxed);
  });
  return !stop.load();
}

}  // namespace

// ---------------------------------------------------------------------------- turns

bool Rotate90Plane(const TBWImage& src, TBWImage& dst, bool left, int32_t plane,
                   const TRowReport& report) {
  const int32_t w = src.Width, h = src.Height;
  if (!src.Data || !dst.Data || dst.Width != h || dst.Height != w) return false;
  // Bands of 16 destination rows read 16 neighbouring source samples per source row.
  constexpr int32_t kBand = 16;
  const int32_t bands = (dst.Height + kBand - 1) / kBand;
  std::atomic<bool> stop{false};
  ParallelRows(bands, 0, [&](int32_t b) {
    if (stop.load(std::memory_order_relaxed)) return;
    const int32_t y0 = b * kBand, y1 = std::min(dst.Height, y0 + kBand);
    for (int32_t x = 0; x < dst.Width; ++x) {
      const float* srow = src.RowPointer(0, left ? h - 1 - x : x);
      for (int32_t y = y0; y < y1; ++y)
        dst.Data[x + int64_t(y) * dst.Width] = srow[left ? y : w - 1 - y];
    }
    for (int32_t y = y0; y < y1; ++y)
      if (report && !report(plane, y)) stop.store(true, std::memory_order_relaxed);
  });
  return !stop.load();
}

bool RotatePlane(const TBWImage& src, TBWImage& dst, double c, double s, double px, double py,
                 double qx, double qy, int32_t plane, const TRowReport& report) {
  if (!src.Data || !dst.Data) return false;
  const int32_t w = src.Width, h = src.Height;
  const float outside = src.OutsideValue;
  const bool edges = src.BilinearEdges != 0;
  const float* data = src.Data;
  auto get = [&](int64_t i, int64_t j) -> float {
    return i >= 0 && i < w && j >= 0 && j < h ? data[i + j * w] : outside;
  };
  return PlaneRows(dst.Height, plane, report, [&](int32_t y) {
    float* o = dst.RowPointer(0, y);
    const double dy = y - qy;
    const double ax = px - c * qx + s * dy, ay = py + s * qx + c * dy;
    for (int32_t x = 0; x < dst.Width; ++x) {
      const double fx = ax + c * x, fy = ay - s * x;
      if (fx >= 0 && fy >= 0 && fx < w - 1 && fy < h - 1) {
        const int32_t i = int32_t(fx), j = int32_t(fy);
        const float gx = float(fx - i), gy = float(fy - j), dx = 1.0f - gx, dyw = 1.0f - gy;
        const float* p = data + i + int64_t(j) * w;
        o[x] = dx * dyw * p[0] + gx * dyw * p[1] + dx * gy * p[w] + gx * gy * p[w + 1];
      } else if (edges && fx > -1 && fy > -1 && fx < w && fy < h) {
        // Next to the border: samples beyond it count as the outside value.
        const double fi = std::floor(fx), fj = std::floor(fy);
        const int64_t i = int64_t(fi), j = int64_t(fj);
        const float gx = float(fx - fi), gy = float(fy - fj), dx = 1.0f - gx, dyw = 1.0f - gy;
        o[x] = dx * dyw * get(i, j) + gx * dyw * get(i + 1, j) + dx * gy * get(i, j + 1) +
               gx * gy * get(i + 1, j + 1);
      } else {
        o[x] = outside;
      }
    }
  });
}

// ---------------------------------------------------------------------------- binning

void BinnedSize(int32_t w, int32_t h, int32_t factor, int32_t& w2, int32_t& h2) {
  if (factor <= 1) {
    w2 = int32_t(2 * int64_t(w) / 3);
    h2 = int32_t(2 * int64_t(h) / 3);
  } else {
    w2 = w / factor;
    h2 = h / factor;
  }
}

namespace {

// The 1.5 × 1.5 weights on the 3 × 3 block (row order, bottom row first) for the four
// outputs of a 2 × 2 destination block: each weights its nearest source corner 4, the two
// samples beside that corner 2 and the centre 1.
constexpr float kBin15[4][9] = {
    {4, 2, 0, 2, 1, 0, 0, 0, 0},  // lower left
    {0, 2, 4, 0, 1, 2, 0, 0, 0},  // lower right
    {0, 0, 0, 2, 1, 0, 4, 2, 0},  // upper left
    {0, 0, 0, 0, 1, 2, 0, 2, 4},  // upper right
};

int32_t Mirror(int64_t v, int32_t n) {
  if (v < 0) v = -v;
  if (v >= n) v = 2 * int64_t(n) - v - 2;
  return int32_t(std::clamp<int64_t>(v, 0, n - 1));
}

// Destination (x, y) of a 1.5 binning as Σ k·sample over the block of source corner
// (3·(x div 2), 3·(y div 2)), summed in row order; every destination pixel is computed on
// its own, so an odd destination size still gets its last column and row.
template <class T, class Acc>
Acc Bin15At(const T* data, int32_t w, int32_t h, int32_t x, int32_t y) {
  const float* k = kBin15[(y & 1) * 2 + (x & 1)];
  const int64_t c0 = 3 * int64_t(x / 2), r0 = 3 * int64_t(y / 2);
  Acc s = 0;
  if (c0 + 2 < w && r0 + 2 < h) {
    const T* p = data + c0 + r0 * w;
    for (int dy = 0; dy < 3; ++dy, p += w)
      for (int dx = 0; dx < 3; ++dx)
        if (k[dy * 3 + dx] != 0) s += Acc(k[dy * 3 + dx]) * Acc(p[dx]);
    return s;
  }
  for (int dy = 0; dy < 3; ++dy)
    for (int dx = 0; dx < 3; ++dx)
      if (k[dy * 3 + dx] != 0)
        s += Acc(k[dy * 3 + dx]) * Acc(data[Mirror(c0 + dx, w) + int64_t(Mirror(r0 + dy, h)) * w]);
  return s;
}

}  // namespace

bool BinPlane(const TBWImage& src, TBWImage& dst, int32_t factor, bool average, int32_t plane,
              const TRowReport& report) {
  int32_t w2, h2;
  BinnedSize(src.Width, src.Height, factor, w2, h2);
  if (!src.Data || !dst.Data || dst.Width != w2 || dst.Height != h2 || w2 < 1 || h2 < 1)
    return false;
  const int32_t w = src.Width, h = src.Height;
  if (factor <= 1) {
    const float scale = average ? 1.0f / 9.0f : 0.25f;
    return PlaneRows(h2, plane, report, [&](int32_t y) {
      float* o = dst.RowPointer(0, y);
      int32_t x0 = 0;
      const int64_t r0 = 3 * int64_t(y / 2);
      if (r0 + 2 < h) {
        // Inside: the corner row A and the middle row B, summed in the row order of Bin15At.
        const bool upper = (y & 1) != 0;
        const float* a = src.RowPointer(0, int32_t(upper ? r0 + 2 : r0));
        const float* b = src.RowPointer(0, int32_t(r0 + 1));
        const int32_t pairs = std::min((w2 + 1) / 2, w / 3);
        for (int32_t j = 0; j < pairs; ++j) {
          const float* p = a + 3 * j;
          const float* q = b + 3 * j;
          const float l = upper ? ((2 * q[0] + q[1]) + 4 * p[0]) + 2 * p[1]
                                : ((4 * p[0] + 2 * p[1]) + 2 * q[0]) + q[1];
          const float r = upper ? ((q[1] + 2 * q[2]) + 2 * p[1]) + 4 * p[2]
                                : ((2 * p[1] + 4 * p[2]) + q[1]) + 2 * q[2];
          o[2 * j] = l * scale;
          if (2 * j + 1 < w2) o[2 * j + 1] = r * scale;
        }
        x0 = std::min(w2, 2 * pairs);
      }
      for (int32_t x = x0; x < w2; ++x) o[x] = Bin15At<float, float>(src.Data, w, h, x, y) * scale;
    });
  }
  const int32_t f = factor;
  const double scale = average ? 1.0 / (double(f) * f) : 1.0;
  return PlaneRows(h2, plane, report, [&](int32_t y) {
    float* o = dst.RowPointer(0, y);
    const float* a = src.RowPointer(0, f * y);
    if (f == 2) {
      const float* b = a + w;
      for (int32_t x = 0; x < w2; ++x)
        o[x] = float((double(a[2 * x]) + a[2 * x + 1] + b[2 * x] + b[2 * x + 1]) * scale);
      return;
    }
    for (int32_t x = 0; x < w2; ++x) {
      double s = 0;
      for (int32_t r = 0; r < f; ++r) {
        const float* p = a + int64_t(r) * w + int64_t(f) * x;
        for (int32_t c = 0; c < f; ++c) s += p[c];
      }
      o[x] = float(s * scale);
    }
  });
}

bool BinMask(const TAMask& src, TAMask& dst, int32_t factor) {
  int32_t w2, h2;
  BinnedSize(src.Width, src.Height, factor, w2, h2);
  dst.SetSize(w2, h2);
  if (!src.HasStorage()) {
    dst.Release();
    return true;
  }
  if (!dst.EnsureStorage()) return false;
  const uint16_t* s = src.Weights();
  uint16_t* d = dst.Weights();
  const int32_t w = src.Width, h = src.Height, f = factor;
  ParallelRows(h2, 0, [&](int32_t y) {
    uint16_t* o = d + int64_t(y) * w2;
    for (int32_t x = 0; x < w2; ++x) {
      double v;
      if (f <= 1) {
        v = Bin15At<uint16_t, double>(s, w, h, x, y) / 9.0;
      } else {
        v = 0;
        for (int32_t r = 0; r < f; ++r)
          for (int32_t c = 0; c < f; ++c) v += s[int64_t(f) * x + c + (int64_t(f) * y + r) * w];
        v /= double(f) * f;
      }
      o[x] = uint16_t(std::clamp(Round(v), 0, 65535));
    }
  });
  dst.InvalidateBounds();
  return true;
}

// ---------------------------------------------------------------------------- distortion

bool CorrectDistortionPlane(const TBWImage& src, TBWImage& dst, const TWcs& wcs, int32_t plane,
                            const TRowReport& report) {
  if (!src.Data || !dst.Data || !src.SameSize(dst)) return false;
  const float outside = src.OutsideValue;
  return PlaneRows(dst.Height, plane, report, [&](int32_t y) {
    float* o = dst.RowPointer(0, y);
    const double v = y - wcs.Y0;
    for (int32_t x = 0; x < dst.Width; ++x) {
      const double u = x - wcs.X0;
      double up = u, vp = v;
      for (int it = 0; it < 5; ++it) {
        up = u - wcs.SipA.Value(up, vp);
        vp = v - wcs.SipB.Value(up, vp);
      }
      // A diverging inversion lands nowhere: the outside value, not a wild position.
      if (!std::isfinite(up) || !std::isfinite(vp) || std::fabs(up - u) > 1000 ||
          std::fabs(vp - v) > 1000) {
        o[x] = outside;
        continue;
      }
      o[x] = src.Bilinear(float(wcs.X0 + up), float(wcs.Y0 + vp));
    }
  });
}

// ---------------------------------------------------------------------------- noise

// Var(u + 15u³) for u uniform in [−0.5, 0.5) is 1/12 + 30/80 + 225/448; three terms.
const double kShapedNoiseScale = 1.0 / std::sqrt(3.0 * (1.0 / 12 + 30.0 / 80 + 225.0 / 448));

double ShapedNoise(uint64_t& state) {
  double n = 0;
  for (int k = 0; k < 3; ++k) {
    // splitmix64
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    const double a = double(z >> 11) * (1.0 / 9007199254740992.0) - 0.5;
    n += a + 15 * a * a * a;
  }
  return n * kShapedNoiseScale;
}

// ---------------------------------------------------------------------------- images

namespace {

// dst at w × h with src's colour kind, outside value and solution.
void SizeLike(const TAImage& src, TAImage& dst, int32_t w, int32_t h) {
  if (!SizeAccepted(w, h)) throw EOrluError(SizeRefusedText());
  dst.SetSize(w, h, src.IsColour());
  dst.SetOutsideValue(src.OutsideValue());
  if (&src != &dst) {
    dst.Wcs = src.Wcs;
    dst.HasWcs = src.HasWcs;
  }
}

template <class F>
bool EachPlane(const TAImage& src, TAImage& dst, F&& f) {
  const TBWImage* s[3] = {src.MainPlane.get(), src.RedPlane.get(), src.BluePlane.get()};
  TBWImage* d[3] = {dst.MainPlane.get(), dst.RedPlane.get(), dst.BluePlane.get()};
  const int32_t n = src.IsColour() && dst.IsColour() ? 3 : 1;
  for (int32_t p = 0; p < n; ++p)
    if (!f(*s[p], *d[p], p)) return false;
  return true;
}

void MaskOrThrow(bool ok) {
  if (!ok) throw EOrluError(kOutOfMemoryText);
}

}  // namespace

bool Rotate90Image(const TAImage& src, TAImage& dst, bool left, const TRowReport& report) {
  const int32_t w = src.Width(), h = src.Height();
  SizeLike(src, dst, h, w);
  if (!EachPlane(src, dst, [&](const TBWImage& s, TBWImage& d, int32_t p) {
        return Rotate90Plane(s, d, left, p, report);
      }))
    return false;
  if (src.Mask->HasStorage()) {
    MaskOrThrow(dst.Mask->Rotate90(*src.Mask, left));
    dst.Mask->MarkChanged();
  }
  // old = R·new + t: left reads source (y', H − 1 − x'), right (W − 1 − y', x').
  if (dst.HasWcs) dst.Wcs.RotateWCS(left ? 90 : -90, left ? h - 1 : 0, left ? 0 : w - 1);
  return true;
}

bool RotateImage(const TAImage& src, TAImage& dst, double angleDeg, bool keepSize, double px,
                 double py, const TRowReport& report) {
  const int32_t w = src.Width(), h = src.Height();
  double c, s;
  CosSinDeg(angleDeg, c, s);
  int64_t w2 = w, h2 = h;
  if (keepSize) {
    if (px == -1 && py == -1) {
      px = (w - 1) / 2.0;
      py = (h - 1) / 2.0;
    }
  } else {
    RotatedSize(w, h, angleDeg, w2, h2);
    px = (w - 1) / 2.0;
    py = (h - 1) / 2.0;
  }
  if (!SizeAccepted(w2, h2)) throw EOrluError(SizeRefusedText());
  const bool same = w2 == w && h2 == h;
  const double qx = same ? px : (double(w2) - 1) / 2.0, qy = same ? py : (double(h2) - 1) / 2.0;
  SizeLike(src, dst, int32_t(w2), int32_t(h2));
  if (!EachPlane(src, dst, [&](const TBWImage& sp, TBWImage& dp, int32_t p) {
        return RotatePlane(sp, dp, c, s, px, py, qx, qy, p, report);
      }))
    return false;
  if (src.Mask->HasStorage()) {
    MaskOrThrow(dst.Mask->RotateBy(*src.Mask, angleDeg, px, py));
    dst.Mask->MarkChanged();
  }
  // old = R·(new − q) + p.
  if (dst.HasWcs)
    dst.Wcs.TransformWCS(int32_t(w2), int32_t(h2), c, s, py - (-s * qx + c * qy),
                         px - (c * qx + s * qy));
  return true;
}

bool ResizeImage(const TAImage& src, TAImage& dst, const TResizeSpec& spec,
                 const TRowReport& report) {
  const int32_t w = src.Width(), h = src.Height();
  if (!SizeAccepted(spec.Width, spec.Height)) throw EOrluError(SizeRefusedText());
  if (ResizeIsBinning(w, h, spec)) return BinImage(src, dst, 2, true, report);
  SizeLike(src, dst, spec.Width, spec.Height);
  const float cap = float(std::min<double>(src.Visu.High, 1e15));
  if (!EachPlane(src, dst, [&](const TBWImage& s, TBWImage& d, int32_t p) {
        return ResizePlane(s, d, spec, cap, p, report);
      }))
    return false;
  if (src.Mask->HasStorage()) {
    MaskOrThrow(src.Mask->CopyResized(*dst.Mask));
    dst.Mask->MarkChanged();
  }
  if (dst.HasWcs)
    dst.Wcs.ScaleWCS(spec.Width, spec.Height, 0, 0, double(spec.Height) / h,
                     double(spec.Width) / w);
  return true;
}

bool BinImage(const TAImage& src, TAImage& dst, int32_t factor, bool average,
              const TRowReport& report) {
  factor = std::clamp(factor, 1, 8);
  int32_t w2, h2;
  BinnedSize(src.Width(), src.Height(), factor, w2, h2);
  if (!SizeAccepted(w2, h2)) throw EOrluError(SizeRefusedText());
  SizeLike(src, dst, w2, h2);
  if (!EachPlane(src, dst, [&](const TBWImage& s, TBWImage& d, int32_t p) {
        return BinPlane(s, d, factor, average, p, report);
      }))
    return false;
  if (src.Mask->HasStorage()) {
    MaskOrThrow(BinMask(*src.Mask, *dst.Mask, factor));
    dst.Mask->MarkChanged();
  }
  // Destination pixel centres sit at f·x + (f − 1)/2 of the source.
  const double f = factor <= 1 ? 1.5 : factor;
  if (dst.HasWcs) dst.Wcs.ScaleWCS(w2, h2, (f - 1) / 2, (f - 1) / 2, 1 / f, 1 / f);
  return true;
}

bool CropImage(const TAImage& src, TAImage& dst, int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
  if (x2 < x1) std::swap(x1, x2);
  if (y2 < y1) std::swap(y1, y2);
  const int64_t w2 = int64_t(x2) - x1 + 1, h2 = int64_t(y2) - y1 + 1;
  if (!SizeAccepted(w2, h2)) throw EOrluError(SizeRefusedText());
  SizeLike(src, dst, int32_t(w2), int32_t(h2));
  src.ExtractTo(dst, x1, y1, false);
  if (dst.Mask->HasStorage()) dst.Mask->MarkChanged();
  if (dst.HasWcs) dst.Wcs.CropWCS(x1, y1);
  return true;
}

bool CorrectDistortionImage(const TAImage& src, TAImage& dst, const TRowReport& report) {
  if (!src.HasWcs || !src.Wcs.HasSIP) return true;
  if (!src.SameSize(dst, true)) SizeLike(src, dst, src.Width(), src.Height());
  const TWcs wcs = src.Wcs;
  if (!EachPlane(src, dst, [&](const TBWImage& s, TBWImage& d, int32_t p) {
        return CorrectDistortionPlane(s, d, wcs, p, report);
      }))
    return false;
  // The linear solution now describes the corrected pixels.
  dst.Wcs = wcs;
  dst.HasWcs = 1;
  dst.Wcs.SipA = dst.Wcs.SipB = dst.Wcs.SipAP = dst.Wcs.SipBP = TSipPolynomial{};
  dst.Wcs.HasSIP = dst.Wcs.HasInverseSIP = false;
  return true;
}

}  // namespace orlu
