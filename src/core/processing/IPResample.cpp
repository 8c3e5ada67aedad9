// Resizing: every method is a sum of separable filters, so each is computed as a horizontal
// pass over the source rows a band of output rows needs (kept in a small per-worker cache)
// followed by a vertical combination of those rows.
#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <numbers>
#include <vector>

#include "base/EOrluError.h"
#include "base/OrluMath.h"
#include "image/ImaBW.h"
#include "image/LibThreads.h"
#include "processing/IPGeometry.h"

namespace orlu {

namespace {

enum class TEdge : uint8_t { Clamp, Mirror };

int32_t EdgeIndex(int64_t v, int32_t n, TEdge edge) {
  if (edge == TEdge::Mirror) {
    // Reflection about the first and last sample, then clamped (as GetPixelMirror).
    if (v < 0) v = -v;
    if (v >= n) v = 2 * int64_t(n) - v - 2;
  }
  return int32_t(std::clamp<int64_t>(v, 0, n - 1));
}

// The taps of one axis: output i reads virtual source positions First[i] .. First[i] + N − 1
// (virtual positions beyond the line are mapped by the edge rule) with weights W[i·N + k].
struct TAxis {
  int32_t N = 1;
  std::vector<int32_t> First;
  std::vector<float> W;
  int32_t Lo = 0, Hi = 0;  // range of virtual positions used

  void Init(int32_t outputs, int32_t taps) {
    N = taps;
    First.assign(size_t(outputs), 0);
    W.assign(size_t(outputs) * size_t(taps), 0.0f);
  }
  void Bounds() {
    Lo = INT32_MAX;
    Hi = INT32_MIN;
    for (int32_t f : First) {
      Lo = std::min(Lo, f);
      Hi = std::max(Hi, f + N - 1);
    }
  }
};

// Sets output i of a to the sum of weight · (bilinear taps at position p), clamped into the
// line as BilinearClamped does, for every (p, weight) of the list.
void BilinearTaps(TAxis& a, int32_t i, int32_t n, const double* pos, const double* weight,
                  int32_t count) {
  // Every position's two taps within one window starting at the smallest column.
  int32_t cols[16];
  float ws[16];
  int32_t lo = INT32_MAX;
  for (int32_t k = 0; k < count; ++k) {
    const float x = std::clamp(float(pos[k]), 0.0f, float(n - 1));
    const int32_t col = Round(double(x) + 0.5);
    const float g = 1.0f + x - float(col);
    cols[2 * k] = col - 1;
    ws[2 * k] = (1.0f - g) * float(weight[k]);
    cols[2 * k + 1] = col;
    ws[2 * k + 1] = g * float(weight[k]);
    lo = std::min(lo, col - 1);
  }
  a.First[size_t(i)] = lo;
  float* w = &a.W[size_t(i) * size_t(a.N)];
  for (int32_t k = 0; k < 2 * count; ++k) {
    // Taps beyond the line carry weight 0 here; the clamp rule keeps them finite reads.
    if (cols[k] < 0 || cols[k] >= n || cols[k] - lo >= a.N) continue;
    w[cols[k] - lo] += ws[k];
  }
}

// Weights of the Lanczos kernel of order a, tabulated: 12001 values
// Round(10000·L(i/2000)) read back at Round(2000·|x|), x held in [−6, 6].
class TLanczosTable {
 public:
  explicit TLanczosTable(int32_t a) {
    for (int32_t i = 0; i <= 12000; ++i) {
      const double x = i / 2000.0;
      double l;
      if (x < 1e-6)
        l = 1;
      else if (x > a)
        l = 0;
      else
        l = a * std::sin(std::numbers::pi * x) * std::sin(std::numbers::pi * x / a) /
            (std::numbers::pi * std::numbers::pi * x * x);
      T_[size_t(i)] = int16_t(Round(10000 * l));
    }
  }
  double operator()(double x) const {
    x = std::clamp(std::fabs(x), 0.0, 6.0);
    return T_[size_t(Round(2000 * x))] / 10000.0;
  }

 private:
  std::array<int16_t, 12001> T_{};
};

const TLanczosTable& LanczosTable(int32_t a) {
  static std::once_flag once;
  static std::unique_ptr<TLanczosTable> tables[7];
  std::call_once(once, [] {
    for (int32_t k = 2; k <= 6; ++k) tables[k] = std::make_unique<TLanczosTable>(k);
  });
  return *tables[std::clamp(a, 2, 6)];
}

void Normalise(TAxis& a, int32_t i) {
  float* w = &a.W[size_t(i) * size_t(a.N)];
  double sum = 0;
  for (int32_t k = 0; k < a.N; ++k) sum += w[k];
  if (sum != 0)
    for (int32_t k = 0; k < a.N; ++k) w[k] = float(w[k] / sum);
}

// One separable term of the filter: out = Σ_y wy · Σ_x wx · source.
struct TTerm {
  TAxis X, Y;
};

struct TFilter {
  std::vector<TTerm> Terms;
  TEdge Edge = TEdge::Clamp;
  float Cap = 0;
  bool UseCap = false;
};

// Builds the axis of a method; n source samples, m outputs, scale factor f = n / m, and the
// larger of the two axes' factors (the supersampling spacing uses it).
void BuildAxis(TAxis& a, int32_t n, int32_t m, double f, double fmax, double fmin,
               const TResizeSpec& spec, bool supersample, bool other15, double gaussC) {
  switch (spec.Method) {
    case TResizeMethod::None:
      a.Init(m, 1);
      for (int32_t i = 0; i < m; ++i) {
        a.First[size_t(i)] = std::clamp(Trunc(i * f), 0, n - 1);
        a.W[size_t(i)] = 1;
      }
      return;
    case TResizeMethod::Gauss:
      a.Init(m, 5);
      for (int32_t i = 0; i < m; ++i) {
        const double u = std::clamp(i * f + 0.5, 0.0, double(n));
        const int32_t uc = Round(u - 0.5);
        const double fx = u - uc - 0.5;
        a.First[size_t(i)] = uc - 2;
        for (int32_t j = -2; j <= 2; ++j)
          a.W[size_t(i) * 5 + size_t(j + 2)] = float(std::exp(-gaussC * (fx - j) * (fx - j)));
        Normalise(a, i);
      }
      return;
    case TResizeMethod::Lanczos: {
      const int32_t ka = std::clamp(spec.Kernel, 2, 6);
      const TLanczosTable& L = LanczosTable(ka);
      int32_t b = ka;
      double c = 1;
      if (fmin > 1) {
        b = Round(fmin * ka + 0.5);
        c = fmin;
      }
      a.Init(m, 2 * b + 1);
      for (int32_t i = 0; i < m; ++i) {
        const double u = std::clamp(i * f + 0.5, 0.0, double(n));
        const int32_t uc = Round(u - 0.5);
        const double fx = u - uc - 0.5;
        a.First[size_t(i)] = uc - b;
        for (int32_t j = -b; j <= b; ++j)
          a.W[size_t(i) * size_t(a.N) + size_t(j + b)] = float(L((fx - j) / c));
        Normalise(a, i);
      }
      return;
    }
    case TResizeMethod::Bilinear:
    case TResizeMethod::Bicubic: break;
  }
  if (supersample) {
    double pos[5], w[5];
    if (other15) {
      // 25 samples spaced k = 0.2·max(r, s): five per axis.
      const double k = 0.2 * fmax;
      a.Init(m, int32_t(std::ceil(4 * k)) + 4);
      for (int32_t i = 0; i < m; ++i) {
        for (int32_t j = 0; j < 5; ++j) {
          pos[j] = i * f + k * (j - 2);
          w[j] = 0.2;
        }
        BilinearTaps(a, i, n, pos, w, 5);
      }
      return;
    }
    double h = 0.333 * fmax;
    if (h < 1) h = std::clamp((h - 0.333) / (1 - 0.333), 0.0, 1.0);
    const int32_t span = int32_t(std::ceil(2 * h)) + 4;
    if (h > 0.5) {
      // The 3 × 3 pattern: three samples per axis.
      a.Init(m, span);
      for (int32_t i = 0; i < m; ++i) {
        for (int32_t j = 0; j < 3; ++j) {
          pos[j] = i * f + h * (j - 1);
          w[j] = 1.0 / 3.0;
        }
        BilinearTaps(a, i, n, pos, w, 3);
      }
      return;
    }
    // The centre and the four diagonal points: centre ⊗ centre + (−h, +h) ⊗ (−h, +h),
    // each fifth of the weight carried by this axis's first term.
    a.Init(m, 2);
    for (int32_t i = 0; i < m; ++i) {
      pos[0] = i * f;
      w[0] = 0.2;
      BilinearTaps(a, i, n, pos, w, 1);
    }
    return;
  }
  if (spec.Method == TResizeMethod::Bilinear) {
    a.Init(m, 2);
    for (int32_t i = 0; i < m; ++i) {
      const double p = i * f, one = 1;
      BilinearTaps(a, i, n, &p, &one, 1);
    }
    return;
  }
  // Bicubic spline on the segment c0 .. c0 + 1 with second differences as curvature.
  a.Init(m, 4);
  for (int32_t i = 0; i < m; ++i) {
    const double u = i * f;
    const int32_t c0 = Round(u - 0.5);
    const double t = u - c0;
    const double A = ((1 - t) * (1 - t) * (1 - t) - (1 - t)) / 6, B = (t * t * t - t) / 6;
    a.First[size_t(i)] = c0 - 1;
    float* w = &a.W[size_t(i) * 4];
    w[0] = float(A);
    w[1] = float((1 - t) - 2 * A + B);
    w[2] = float(t + A - 2 * B);
    w[3] = float(B);
  }
}

// The diagonal pair (−h, +h) of the five-point pattern on one axis.
void DiagonalAxis(TAxis& a, int32_t n, int32_t m, double f, double h, double weight) {
  a.Init(m, int32_t(std::ceil(2 * h)) + 4);
  for (int32_t i = 0; i < m; ++i) {
    const double pos[2] = {i * f - h, i * f + h}, w[2] = {weight, weight};
    BilinearTaps(a, i, n, pos, w, 2);
  }
}

TFilter BuildFilter(int32_t w, int32_t h, const TResizeSpec& spec) {
  TFilter flt;
  const double r = double(w) / spec.Width, s = double(h) / spec.Height;
  const double fmax = std::max(r, s), fmin = std::min(r, s);
  flt.Edge = spec.Method == TResizeMethod::Gauss || spec.Method == TResizeMethod::Lanczos
                 ? TEdge::Mirror
                 : TEdge::Clamp;
  // Strong reductions of the bilinear and bicubic methods are supersampled; the Gaussian
  // has its own wider kernel for reductions (c = 1 from a factor 2 on).
  const bool ssMethod =
      spec.Method == TResizeMethod::Bilinear || spec.Method == TResizeMethod::Bicubic;
  const bool strong = ssMethod && r > 4.5 && s > 4.5;
  const bool reduce = ssMethod && !strong && r > 1.5 && s > 1.5;
  const double gaussC = r >= 2 && s >= 2 ? 1.0 : 1.5;
  flt.Terms.emplace_back();
  TTerm& t = flt.Terms.back();
  BuildAxis(t.X, w, spec.Width, r, fmax, fmin, spec, strong || reduce, strong, gaussC);
  BuildAxis(t.Y, h, spec.Height, s, fmax, fmin, spec, strong || reduce, strong, gaussC);
  if (reduce) {
    double hh = 0.333 * fmax;
    if (hh < 1) hh = std::clamp((hh - 0.333) / (1 - 0.333), 0.0, 1.0);
    if (hh <= 0.5) {
      // The five-point pattern: centre term above (weight 1/5 on X only), diagonals here.
      for (float& v : t.Y.W) v *= 5.0f;
      TTerm d;
      DiagonalAxis(d.X, w, spec.Width, r, hh, 0.2);
      DiagonalAxis(d.Y, h, spec.Height, s, hh, 1.0);
      flt.Terms.push_back(std::move(d));
    }
  }
  for (TTerm& term : flt.Terms) {
    term.X.Bounds();
    term.Y.Bounds();
  }
  return flt;
}

// out[i] = Σ_k w[i·N + k] · line[first[i] + k] for outputs [0, m).
template <int N>
void HorizontalFixed(const float* line, const int32_t* first, const float* w, float* out,
                     int32_t m) {
  for (int32_t i = 0; i < m; ++i) {
    const float* p = line + first[i];
    const float* q = w + size_t(i) * N;
    float s = q[0] * p[0];
    for (int k = 1; k < N; ++k) s += q[k] * p[k];
    out[i] = s;
  }
}

void HorizontalAny(const float* line, const int32_t* first, const float* w, float* out, int32_t m,
                   int32_t n) {
  for (int32_t i = 0; i < m; ++i) {
    const float* p = line + first[i];
    const float* q = w + size_t(i) * size_t(n);
    float s = q[0] * p[0];
    for (int32_t k = 1; k < n; ++k) s += q[k] * p[k];
    out[i] = s;
  }
}

// The horizontal pass of one axis over a line indexed by virtual position.
void Horizontal(const TAxis& a, const float* line, float* out) {
  const int32_t m = int32_t(a.First.size());
  switch (a.N) {
    case 1: HorizontalFixed<1>(line, a.First.data(), a.W.data(), out, m); break;
    case 2: HorizontalFixed<2>(line, a.First.data(), a.W.data(), out, m); break;
    case 4: HorizontalFixed<4>(line, a.First.data(), a.W.data(), out, m); break;
    case 5: HorizontalFixed<5>(line, a.First.data(), a.W.data(), out, m); break;
    case 6: HorizontalFixed<6>(line, a.First.data(), a.W.data(), out, m); break;
    case 7: HorizontalFixed<7>(line, a.First.data(), a.W.data(), out, m); break;
    case 13: HorizontalFixed<13>(line, a.First.data(), a.W.data(), out, m); break;
    default: HorizontalAny(line, a.First.data(), a.W.data(), out, m, a.N); break;
  }
}

struct TRowTap {
  float W;
  const float* Row;
};

// out = Σ w·row over the taps, two rows per pass over the output.
void CombineRows(const std::vector<TRowTap>& taps, float* __restrict out, int32_t n) {
  const size_t m = taps.size();
  if (m == 0) {
    std::fill_n(out, n, 0.0f);
    return;
  }
  size_t k;
  if (m >= 2) {
    const float a = taps[0].W, b = taps[1].W;
    const float* __restrict p = taps[0].Row;
    const float* __restrict q = taps[1].Row;
    for (int32_t x = 0; x < n; ++x) out[x] = a * p[x] + b * q[x];
    k = 2;
  } else {
    const float a = taps[0].W;
    const float* __restrict p = taps[0].Row;
    for (int32_t x = 0; x < n; ++x) out[x] = a * p[x];
    k = 1;
  }
  for (; k + 1 < m; k += 2) {
    const float a = taps[k].W, b = taps[k + 1].W;
    const float* __restrict p = taps[k].Row;
    const float* __restrict q = taps[k + 1].Row;
    for (int32_t x = 0; x < n; ++x) out[x] += a * p[x] + b * q[x];
  }
  if (k < m) {
    const float a = taps[k].W;
    const float* __restrict p = taps[k].Row;
    for (int32_t x = 0; x < n; ++x) out[x] += a * p[x];
  }
}

// Per worker: the padded source line and the horizontally filtered rows of recent source
// rows, per term.
class TRowCache {
 public:
  TRowCache(const TFilter& f, const TBWImage& src, int32_t outWidth) : F_(f), Src_(src) {
    for (const TTerm& t : f.Terms) {
      TSlots s;
      s.Count = t.Y.N + 2;
      s.Rows.assign(size_t(s.Count), -1);
      s.Age.assign(size_t(s.Count), 0);
      s.Data = AllocPixels<float>(size_t(s.Count) * size_t(outWidth) + 16);
      if (!s.Data) throw EOrluError(kOutOfMemoryText);
      Slots_.push_back(std::move(s));
      PadLo_ = std::min(PadLo_, t.X.Lo);
      PadHi_ = std::max(PadHi_, t.X.Hi);
    }
    PadLo_ = std::min(PadLo_, 0);
    PadHi_ = std::max(PadHi_, src.Width - 1);
    Line_.assign(size_t(PadHi_ - PadLo_ + 1), 0.0f);
    OutWidth_ = outWidth;
  }

  // The filtered row of source row `row` for term t.
  const float* Row(size_t t, int32_t row) {
    TSlots& s = Slots_[t];
    ++s.Clock;
    int32_t victim = 0;
    for (int32_t k = 0; k < s.Count; ++k) {
      if (s.Rows[size_t(k)] == row) {
        s.Age[size_t(k)] = s.Clock;
        return s.Data.get() + size_t(k) * size_t(OutWidth_);
      }
      if (s.Age[size_t(k)] < s.Age[size_t(victim)]) victim = k;
    }
    float* out = s.Data.get() + size_t(victim) * size_t(OutWidth_);
    Filter(F_.Terms[t].X, row, out);
    s.Rows[size_t(victim)] = row;
    s.Age[size_t(victim)] = s.Clock;
    return out;
  }

 private:
  void Filter(const TAxis& a, int32_t row, float* out) {
    if (LineRow_ != row) {
      const float* p = Src_.RowPointer(0, row);
      const int32_t n = Src_.Width;
      float* l = Line_.data();
      for (int32_t v = PadLo_; v <= PadHi_; ++v) {
        float x = p[EdgeIndex(v, n, F_.Edge)];
        if (F_.UseCap) x = std::min(x, F_.Cap);
        l[v - PadLo_] = x;
      }
      LineRow_ = row;
    }
    Horizontal(a, Line_.data() - PadLo_, out);
  }

  struct TSlots {
    int32_t Count = 0;
    std::vector<int32_t> Rows;
    std::vector<uint64_t> Age;
    uint64_t Clock = 0;
    PixelBlockPtr<float> Data;
  };
  const TFilter& F_;
  const TBWImage& Src_;
  std::vector<TSlots> Slots_;
  std::vector<float> Line_;
  int32_t PadLo_ = 0, PadHi_ = 0, OutWidth_ = 0;
  int32_t LineRow_ = -1;
};

// A reduction of the rows: each output row combines its source rows first (vector work on
// whole rows), then one horizontal pass, so the gathering pass runs on the fewer rows.
bool ResizeVerticalFirst(const TBWImage& src, TBWImage& dst, const TFilter& flt, int32_t plane,
                         const TRowReport& report) {
  const int32_t w = src.Width, h2 = dst.Height, w2 = dst.Width;
  int32_t lo = 0, hi = w - 1;
  for (const TTerm& t : flt.Terms) {
    lo = std::min(lo, t.X.Lo);
    hi = std::max(hi, t.X.Hi);
  }
  const int32_t len = hi - lo + 1;
  std::atomic<bool> stop{false};
  TSyncCounter counter(std::min(WorkerCount(), h2));
  ParallelCall(counter, [&] {
    PixelBlockPtr<float> buf = AllocPixels<float>(size_t(len) + size_t(w2) + 32);
    if (!buf) throw EOrluError(kOutOfMemoryText);
    float* tmp = buf.get();
    float* line = tmp - lo;  // line[v] for virtual columns lo .. hi
    float* part = tmp + len + 16;
    for (;;) {
      const int32_t y = counter.NextIndex();
      if (y < 0 || y >= h2 || stop.load(std::memory_order_relaxed)) break;
      float* out = dst.RowPointer(0, y);
      for (size_t t = 0; t < flt.Terms.size(); ++t) {
        const TAxis& ay = flt.Terms[t].Y;
        const float* wy = &ay.W[size_t(y) * size_t(ay.N)];
        float* inner = line;  // columns 0 .. w − 1
        std::fill_n(inner, w, 0.0f);
        for (int32_t k = 0; k < ay.N; ++k) {
          const float wk = wy[k];
          if (wk == 0) continue;
          const float* r =
              src.RowPointer(0, EdgeIndex(int64_t(ay.First[size_t(y)]) + k, src.Height, flt.Edge));
          if (flt.UseCap) {
            const float cap = flt.Cap;
            for (int32_t x = 0; x < w; ++x) inner[x] += wk * std::min(r[x], cap);
          } else {
            for (int32_t x = 0; x < w; ++x) inner[x] += wk * r[x];
          }
        }
        // Virtual columns beyond the line repeat the edge rule on the combined row.
        for (int32_t v = lo; v < 0; ++v) line[v] = inner[EdgeIndex(v, w, flt.Edge)];
        for (int32_t v = w; v <= hi; ++v) line[v] = inner[EdgeIndex(v, w, flt.Edge)];
        if (t == 0) {
          Horizontal(flt.Terms[t].X, line, out);
        } else {
          Horizontal(flt.Terms[t].X, line, part);
          for (int32_t x = 0; x < w2; ++x) out[x] += part[x];
        }
      }
      if (report && !report(plane, y)) stop.store(true, std::memory_order_relaxed);
    }
  });
  return !stop.load();
}

}  // namespace

bool ResizeIsBinning(int32_t w, int32_t h, const TResizeSpec& spec) {
  return spec.Method == TResizeMethod::Bilinear && spec.Width == w / 2 && spec.Height == h / 2;
}

bool ResizePlane(const TBWImage& src, TBWImage& dst, const TResizeSpec& spec, float cap,
                 int32_t plane, const TRowReport& report) {
  if (!src.Data || !dst.Data || dst.Width != spec.Width || dst.Height != spec.Height) return false;
  TFilter flt = BuildFilter(src.Width, src.Height, spec);
  flt.UseCap = spec.Method == TResizeMethod::Lanczos;
  flt.Cap = spec.ClampMax ? cap : 1e15f;
  const int32_t h2 = dst.Height, w2 = dst.Width;
  if (h2 < src.Height) return ResizeVerticalFirst(src, dst, flt, plane, report);
  // Bands of rows per worker so that consecutive output rows share filtered source rows.
  const int32_t band = std::clamp(h2 / (8 * WorkerCount()), 1, 64);
  const int32_t bands = (h2 + band - 1) / band;
  std::atomic<bool> stop{false};
  TSyncCounter counter(std::min(WorkerCount(), bands));
  ParallelCall(counter, [&] {
    TRowCache cache(flt, src, w2);
    std::vector<TRowTap> taps;
    for (;;) {
      const int32_t b = counter.NextIndex();
      if (b < 0 || b >= bands || stop.load(std::memory_order_relaxed)) break;
      for (int32_t y = b * band; y < std::min(h2, (b + 1) * band); ++y) {
        float* out = dst.RowPointer(0, y);
        taps.clear();
        for (size_t t = 0; t < flt.Terms.size(); ++t) {
          const TAxis& ay = flt.Terms[t].Y;
          const float* wy = &ay.W[size_t(y) * size_t(ay.N)];
          for (int32_t k = 0; k < ay.N; ++k)
            if (wy[k] != 0)
              taps.push_back({wy[k], cache.Row(t, EdgeIndex(int64_t(ay.First[size_t(y)]) + k,
                                                            src.Height, flt.Edge))});
        }
        CombineRows(taps, out, w2);
        if (report && !report(plane, y)) {
          stop.store(true, std::memory_order_relaxed);
          break;
        }
      }
    }
  });
  return !stop.load();
}

}  // namespace orlu
