#include "visual/ImaVisu.h"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <numbers>
#include <sstream>
#include <vector>

#include "base/OrluMath.h"
#include "base/TextNumbers.h"
#include "image/ImaBW.h"
#include "image/ImaColor.h"
#include "image/LibThreads.h"

namespace orlu {

namespace {

// Levels of a Gaussian distribution centred on mid-grey (sigma 42.5 levels) for the uniform
// fractions (k + 1) / 1025, with the ends pulled in so that the extremes stay usable.
constexpr uint8_t kGauss[1024] = {
    4, 9, 14, 17, 20, 20, 23, 25, 27, 28, 30, 31, 32, 34, 35, 36, 37, 38, 39, 40,
    41, 41, 42, 43, 44, 44, 45, 46, 46, 47, 48, 48, 49, 49, 50, 51, 51, 52, 52, 53,
    53, 54, 54, 54, 55, 55, 56, 56, 57, 57, 57, 58, 58, 59, 59, 59, 60, 60, 61, 61,
    61, 62, 62, 62, 63, 63, 63, 64, 64, 64, 65, 65, 65, 65, 66, 66, 66, 67, 67, 67,
    68, 68, 68, 68, 69, 69, 69, 69, 70, 70, 70, 70, 71, 71, 71, 71, 72, 72, 72, 72,
    73, 73, 73, 73, 74, 74, 74, 74, 75, 75, 75, 75, 75, 76, 76, 76, 76, 77, 77, 77,
    77, 77, 78, 78, 78, 78, 78, 79, 79, 79, 79, 79, 80, 80, 80, 80, 80, 81, 81, 81,
    81, 81, 81, 82, 82, 82, 82, 82, 83, 83, 83, 83, 83, 83, 84, 84, 84, 84, 84, 85,
    85, 85, 85, 85, 85, 86, 86, 86, 86, 86, 86, 87, 87, 87, 87, 87, 87, 88, 88, 88,
    88, 88, 88, 89, 89, 89, 89, 89, 89, 89, 90, 90, 90, 90, 90, 90, 91, 91, 91, 91,
    91, 91, 91, 92, 92, 92, 92, 92, 92, 92, 93, 93, 93, 93, 93, 93, 93, 94, 94, 94,
    94, 94, 94, 94, 95, 95, 95, 95, 95, 95, 95, 96, 96, 96, 96, 96, 96, 96, 97, 97,
    97, 97, 97, 97, 97, 97, 98, 98, 98, 98, 98, 98, 98, 99, 99, 99, 99, 99, 99, 99,
    99, 100, 100, 100, 100, 100, 100, 100, 100, 101, 101, 101, 101, 101, 101, 101, 101, 102, 102, 102,
    102, 102, 102, 102, 102, 103, 103, 103, 103, 103, 103, 103, 103, 104, 104, 104, 104, 104, 104, 104,
    104, 105, 105, 105, 105, 105, 105, 105, 105, 106, 106, 106, 106, 106, 106, 106, 106, 106, 107, 107,
    107, 107, 107, 107, 107, 107, 108, 108, 108, 108, 108, 108, 108, 108, 108, 109, 109, 109, 109, 109,
    109, 109, 109, 109, 110, 110, 110, 110, 110, 110, 110, 110, 110, 111, 111, 111, 111, 111, 111, 111,
    111, 111, 112, 112, 112, 112, 112, 112, 112, 112, 112, 113, 113, 113, 113, 113, 113, 113, 113, 113,
    114, 114, 114, 114, 114, 114, 114, 114, 114, 115, 115, 115, 115, 115, 115, 115, 115, 115, 116, 116,
    116, 116, 116, 116, 116, 116, 116, 117, 117, 117, 117, 117, 117, 117, 117, 117, 117, 118, 118, 118,
    118, 118, 118, 118, 118, 118, 119, 119, 119, 119, 119, 119, 119, 119, 119, 120, 120, 120, 120, 120,
    120, 120, 120, 120, 120, 121, 121, 121, 121, 121, 121, 121, 121, 121, 122, 122, 122, 122, 122, 122,
    122, 122, 122, 122, 123, 123, 123, 123, 123, 123, 123, 123, 123, 123, 124, 124, 124, 124, 124, 124,
    124, 124, 124, 125, 125, 125, 125, 125, 125, 125, 125, 125, 125, 126, 126, 126, 126, 126, 126, 126,
    126, 126, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 128, 128, 128, 128, 128, 128, 128, 128,
    128, 128, 129, 129, 129, 129, 129, 129, 129, 129, 129, 130, 130, 130, 130, 130, 130, 130, 130, 130,
    130, 131, 131, 131, 131, 131, 131, 131, 131, 131, 132, 132, 132, 132, 132, 132, 132, 132, 132, 132,
    133, 133, 133, 133, 133, 133, 133, 133, 133, 133, 134, 134, 134, 134, 134, 134, 134, 134, 134, 135,
    135, 135, 135, 135, 135, 135, 135, 135, 135, 136, 136, 136, 136, 136, 136, 136, 136, 136, 137, 137,
    137, 137, 137, 137, 137, 137, 137, 138, 138, 138, 138, 138, 138, 138, 138, 138, 138, 139, 139, 139,
    139, 139, 139, 139, 139, 139, 140, 140, 140, 140, 140, 140, 140, 140, 140, 141, 141, 141, 141, 141,
    141, 141, 141, 141, 142, 142, 142, 142, 142, 142, 142, 142, 142, 143, 143, 143, 143, 143, 143, 143,
    143, 143, 144, 144, 144, 144, 144, 144, 144, 144, 144, 145, 145, 145, 145, 145, 145, 145, 145, 145,
    146, 146, 146, 146, 146, 146, 146, 146, 146, 147, 147, 147, 147, 147, 147, 147, 147, 147, 148, 148,
    148, 148, 148, 148, 148, 148, 149, 149, 149, 149, 149, 149, 149, 149, 149, 150, 150, 150, 150, 150,
    150, 150, 150, 151, 151, 151, 151, 151, 151, 151, 151, 152, 152, 152, 152, 152, 152, 152, 152, 153,
    153, 153, 153, 153, 153, 153, 153, 154, 154, 154, 154, 154, 154, 154, 154, 155, 155, 155, 155, 155,
    155, 155, 155, 156, 156, 156, 156, 156, 156, 156, 156, 157, 157, 157, 157, 157, 157, 157, 158, 158,
    158, 158, 158, 158, 158, 158, 159, 159, 159, 159, 159, 159, 159, 160, 160, 160, 160, 160, 160, 160,
    161, 161, 161, 161, 161, 161, 161, 162, 162, 162, 162, 162, 162, 162, 163, 163, 163, 163, 163, 163,
    163, 164, 164, 164, 164, 164, 164, 164, 165, 165, 165, 165, 165, 165, 166, 166, 166, 166, 166, 166,
    166, 167, 167, 167, 167, 167, 167, 168, 168, 168, 168, 168, 168, 169, 169, 169, 169, 169, 169, 170,
    170, 170, 170, 170, 170, 171, 171, 171, 171, 171, 172, 172, 172, 172, 172, 172, 173, 173, 173, 173,
    173, 174, 174, 174, 174, 174, 174, 175, 175, 175, 175, 175, 176, 176, 176, 176, 176, 177, 177, 177,
    177, 177, 178, 178, 178, 178, 178, 179, 179, 179, 179, 180, 180, 180, 180, 180, 181, 181, 181, 181,
    182, 182, 182, 182, 183, 183, 183, 183, 184, 184, 184, 184, 185, 185, 185, 185, 186, 186, 186, 186,
    187, 187, 187, 187, 188, 188, 188, 189, 189, 189, 190, 190, 190, 190, 191, 191, 191, 192, 192, 192,
    193, 193, 193, 194, 194, 194, 195, 195, 196, 196, 196, 197, 197, 198, 198, 198, 199, 199, 200, 200,
    201, 201, 201, 202, 202, 203, 203, 204, 204, 205, 206, 206, 207, 207, 208, 209, 209, 210, 211, 211,
    212, 213, 214, 214, 215, 216, 217, 218, 219, 220, 221, 223, 224, 225, 227, 228, 230, 232, 233, 235,
    238, 242, 246, 252,
};

// Round half to even for values known to be well inside the int32 range. The conversion
// instruction rounds by the current mode, which the program never changes.
inline int32_t RoundIn(double x) { return _mm_cvtsd_si32(_mm_set_sd(x)); }

constexpr double kDegToRad = std::numbers::pi / 180.0;

bool IsEqualization(int32_t t) {
  return t == kTransferEqualized || t == kTransferGaussEqualized || t == kTransferEqualized50 ||
         t == kTransferGaussEqualized50;
}

// Circular-arc constants of strength d: A1 = 135° + e, A2 = 135° - e, e = Round(2.2·d)°.
struct TArc {
  double CosA1, CosA2, SinA1, SinA2;
  explicit TArc(int32_t d) {
    const double e = RoundHalfEven(2.2 * d);
    const double a1 = (135.0 + e) * kDegToRad;
    const double a2 = (135.0 - e) * kDegToRad;
    CosA1 = std::cos(a1);
    CosA2 = std::cos(a2);
    SinA1 = std::sin(a1);
    SinA2 = std::sin(a2);
  }
  // t in 0..1 to 0..1.
  double Map(double t) const {
    const double u = CosA1 + (CosA2 - CosA1) * t;
    const double v = std::clamp(std::sqrt(std::max(0.0, 1.0 - u * u)), SinA1, SinA2);
    return (v - SinA1) / (SinA2 - SinA1);
  }
};

uint8_t LevelOf(float v) {
  if (!(v > 0.0f)) return 0;  // NaN too
  if (v >= 255.0f) return 255;
  return uint8_t(RoundIn(v));
}

// Curve smoothing kernel: exp(-t²/3200), t = 0..150, normalised over both sides.
struct TCurveKernel {
  std::array<double, 151> W{};
  TCurveKernel() {
    double sum = 0;
    for (int t = 0; t <= 150; ++t) {
      double w = std::exp(-double(t) * t / 3200.0);
      if (w < 1e-6) w = 0;
      W[size_t(t)] = w;
      sum += t == 0 ? w : 2 * w;
    }
    for (double& w : W) w /= sum;
  }
};

const TCurveKernel& CurveKernel() {
  static const TCurveKernel k;
  return k;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Curve

void TTransferCurve::Quantize() {
  for (int k = 0; k < 4; ++k) {
    X[size_t(k)] = float(RoundHalfEven(double(X[size_t(k)]) * 999.0) / 999.0);
    Y[size_t(k)] = float(RoundHalfEven(double(Y[size_t(k)]) * 999.0) / 999.0);
  }
}

std::string TTransferCurve::ToText() const {
  auto code = [](float v) {
    if (!(v > 0.0f)) return 0;
    if (v > 1.0f) return 999;
    return std::clamp(Round(999.0 * v), 0, 999);
  };
  std::string s;
  char buf[8];
  for (int k = 0; k < 4; ++k) {
    if (k >= Count || X[size_t(k)] < 0.0f) {
      s += "000000";
      continue;
    }
    std::snprintf(buf, sizeof buf, "%03d%03d", code(X[size_t(k)]), code(Y[size_t(k)]));
    s += buf;
  }
  return s;
}

bool TTransferCurve::FromText(std::string_view text) {
  Reset();
  if (text.size() != 24) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  auto num = [&](size_t at) {
    return (text[at] - '0') * 100 + (text[at + 1] - '0') * 10 + (text[at + 2] - '0');
  };
  TTransferCurve c;
  c.X[0] = -1.0f;
  c.Y[0] = 0.0f;
  c.Count = 0;
  for (int k = 0; k < 4; ++k) {
    const int x = num(size_t(6 * k));
    const int y = num(size_t(6 * k + 3));
    if (x == 0 && y == 0) break;
    c.X[size_t(k)] = float(x) / 999.0f;
    c.Y[size_t(k)] = float(y) / 999.0f;
    c.Count = k + 1;
  }
  if (c.Count > 0) *this = c;
  return true;
}

void TTransferCurve::AddPoint() {
  if (Count >= 4 || Count < 1) return;
  ++Count;
  const size_t k = size_t(Count - 1);
  if (!(X[k] > 0.0f && Y[k] > 0.0f)) {
    X[k] = (X[k - 1] + 1.0f) / 2.0f;
    Y[k] = (Y[k - 1] + 1.0f) / 2.0f;
  }
  Quantize();
}

void TTransferCurve::RemovePoint() {
  if (Count > 1) --Count;
}

void TTransferCurve::MovePoint(int32_t k, double x, double y) {
  if (k < 0 || k > 3 || std::isnan(x) || std::isnan(y)) return;
  const float fx = float(std::clamp(x, 0.001, 0.999));
  X[size_t(k)] = fx;
  Y[size_t(k)] = float(std::clamp(y, 0.001, 0.999));
  for (int j = k + 1; j < 4; ++j)
    if (X[size_t(j)] < fx) X[size_t(j)] = fx;
  for (int j = 0; j < k; ++j)
    if (X[size_t(j)] > fx) X[size_t(j)] = fx;
  Quantize();
}

// ---------------------------------------------------------------------------------------
// Tables

TImageVisu::TImageVisu() { SetLinear(0.0f, 255.0f); }

int32_t TImageVisu::Strength(int32_t code) {
  if (code > 1004 || (code >= 1000 && code <= 1004)) return 0;
  const int64_t a = code < 0 ? -int64_t(code) : int64_t(code);
  return int32_t(std::min<int64_t>(a % 32, 20));
}

const char* TImageVisu::ShortCode(int32_t code) {
  if (code == kTransferGaussEqualized || code == kTransferGaussEqualized50) return "Gau";
  if (code == kTransferEqualized || code == kTransferEqualized50) return "Equ";
  if (code == kTransferCurve) return "Crv";
  if (code >= -20 && code <= -1) return "Log";
  if (code >= 1 && code <= 20) return "Exp";
  return "Lin";
}

bool TImageVisu::IsValidType(int32_t code) {
  return (code >= -20 && code <= 20) || (code >= 1000 && code <= 1004);
}

uint8_t TImageVisu::GaussLevel(int32_t k) { return kGauss[std::clamp(k, 0, 1023)]; }

void TImageVisu::SetLinear(float low, float high) {
  Low = std::min(low, high);
  High = high;
  TransferType = kTransferLinear;
  BuildTables(nullptr);
}

void TImageVisu::BuildTables(const TBWImage* plane) {
  const int32_t type = TransferType;
  if (type == kTransferCurve) {
    BuildCurveTables();
  } else {
    // Index 0 is black and 4095 white for every table but the curve's.
    ValueTable[0] = 0.0f;
    LevelTable[0] = 0;
    if (IsEqualization(type)) {
      ValueTable[kTableSize - 1] = 255.0f;
      LevelTable[kTableSize - 1] = 255;
      BuildEqualizedTables(plane);
    } else {
      const int32_t d = Strength(type);
      if (d == 0) {
        for (int i = 1; i < kTableSize - 1; ++i) {
          ValueTable[size_t(i)] = float(i * 255.0 / 4095.0);
          // Truncated, not rounded: 16 table entries per level.
          LevelTable[size_t(i)] = uint8_t(i / 16);
        }
      } else if (type > 0) {
        const double g = (d / 10.0) * (d / 10.0);
        const double l4095 = std::log(4095.0);
        for (int i = 1; i < kTableSize - 1; ++i)
          ValueTable[size_t(i)] = float(255.0 * std::exp((std::log(double(i)) - l4095) * g));
      } else {
        const TArc arc(d);
        for (int i = 1; i < kTableSize - 1; ++i)
          ValueTable[size_t(i)] = float(255.0 * arc.Map(i / 4095.0));
      }
      if (d != 0)
        for (int i = 1; i < kTableSize - 1; ++i)
          LevelTable[size_t(i)] = LevelOf(ValueTable[size_t(i)]);
      ValueTable[kTableSize - 1] = 255.0f;
      LevelTable[kTableSize - 1] = 255;
    }
  }
  for (int i = kTableSize; i < kTableAlloc; ++i) {
    ValueTable[size_t(i)] = ValueTable[kTableSize - 1];
    LevelTable[size_t(i)] = LevelTable[kTableSize - 1];
  }
}

void TImageVisu::BuildEqualizedTables(const TBWImage* plane) {
  const int32_t type = TransferType;
  std::array<int64_t, kTableSize> bins{};
  int64_t n = 0;
  const double low = Low, high = High;
  if (plane != nullptr && plane->Data != nullptr && plane->Count > 0 && high - low > 0) {
    const int64_t count = plane->Count;
    const int64_t samples = std::min<int64_t>(20000, count);
    const double f = 4095.0 / (high - low);
    for (int64_t k = 0; k < samples; ++k) {
      // k·count overflows 32 bits on big images: the index is computed in 64-bit floats.
      const int64_t idx = std::min(Round64(double(k) * double(count) / double(samples)), count - 1);
      const double v = plane->Data[idx];
      if (!(v >= low && v <= high)) continue;
      bins[size_t(std::clamp(RoundIn((v - low) * f), 0, kTableSize - 1))]++;
      ++n;
    }
  }
  const double c = (type == kTransferEqualized || type == kTransferGaussEqualized) ? 100.0 : 3.0;
  const int64_t cap = Round64(c * double(n) / 4095.0);
  int64_t cut = 0;
  for (int64_t& b : bins)
    if (b > cap) {
      cut += b - cap;
      b = cap;
    }
  std::array<int64_t, kTableSize> cum{};
  int64_t run = 0;
  for (int i = 0; i < kTableSize; ++i) {
    run += bins[size_t(i)];
    // The cut counts are spread evenly over the whole range.
    cum[size_t(i)] = run + Round64(double(i) * double(cut) / 4095.0);
  }
  const int64_t total = cum[kTableSize - 1];
  if (total == 0) return;

  std::array<double, kTableSize> v{};
  v[0] = 0.0;
  v[kTableSize - 1] = 255.0;
  for (int i = 1; i < kTableSize - 1; ++i) {
    const double frac = double(cum[size_t(i)]) / double(total);
    const double lin = 255.0 * frac;
    if (type == kTransferEqualized || type == kTransferEqualized50) {
      v[size_t(i)] = lin;
    } else {
      const double g = kGauss[std::clamp(RoundIn(1023.0 * frac), 0, 1023)];
      v[size_t(i)] = type == kTransferGaussEqualized ? g : (lin + g) / 2.0;
    }
  }
  // Plateaus (empty stretches of the histogram) become straight ramps to the next step.
  int a = 0;
  for (int i = 1; i < kTableSize; ++i) {
    if (v[size_t(i)] == v[size_t(a)]) continue;
    for (int j = a + 1; j < i; ++j)
      v[size_t(j)] = v[size_t(a)] + (v[size_t(i)] - v[size_t(a)]) * double(j - a) / double(i - a);
    a = i;
  }
  std::array<double, kTableSize> s = v;
  for (int i = 1; i < kTableSize - 1; ++i)
    s[size_t(i)] = 0.3 * v[size_t(i - 1)] + 0.4 * v[size_t(i)] + 0.3 * v[size_t(i + 1)];
  for (int i = 1; i < kTableSize - 1; ++i) {
    ValueTable[size_t(i)] = float(s[size_t(i)]);
    LevelTable[size_t(i)] = LevelOf(ValueTable[size_t(i)]);
  }
}

void TImageVisu::BuildCurveTables() {
  // Polyline through the points into 4097 samples (spare entries absorb rounding overruns).
  std::array<double, kTableAlloc> f{};
  auto segment = [&f](double x0, double y0, double x1, double y1) {
    x0 = std::clamp(x0, 0.0, 1.0);
    y0 = std::clamp(y0, 0.0, 1.0);
    x1 = std::clamp(x1, 0.0, 1.0);
    y1 = std::clamp(y1, 0.0, 1.0);
    if (x1 < x0 + 1e-6) x1 = x0 + 1e-6;
    const int base = RoundIn(4096.0 * x0);
    for (int s = 0;; ++s) {
      const double x = x0 + s / 4096.0;
      if (x > x1 || base + s >= kTableAlloc) break;
      f[size_t(base + s)] = y0 + (x - x0) * (y1 - y0) / (x1 - x0);
    }
  };
  const TTransferCurve& c = Curve;
  const int count = std::clamp(c.Count, 1, 4);
  segment(0, 0, c.X[0], c.Y[0]);
  int last = 0;
  for (int k = 0; k < 3; ++k) {
    if (!(k + 1 < count && c.X[size_t(k + 1)] >= 0.0f)) break;
    segment(c.X[size_t(k)], c.Y[size_t(k)], c.X[size_t(k + 1)], c.Y[size_t(k + 1)]);
    last = k + 1;
  }
  segment(c.X[size_t(last)], c.Y[size_t(last)], 1, 1);

  const double strength = last <= 1 ? 1.0 : (last == 2 ? 0.6 : 0.6 * std::sqrt(0.6));
  const auto& w = CurveKernel().W;
  for (int j = 0; j < kTableSize; ++j) {
    const double m = 2.0 * std::abs(0.5 - j / 4096.0);
    // Wide in the middle, narrow at the ends.
    const double dj = (1.0 - m * m + 0.2) * 20.0 * strength / 1.2;
    double out = w[0] * f[size_t(j)];
    for (int t = 1; t <= 150; ++t) {
      const int li = RoundIn(j - t * dj);
      const int ri = RoundIn(j + t * dj);
      // Odd mirrors about (0, 0) and (1, 1) keep the ends in place.
      const double l = li >= 0 ? f[size_t(li)] : -f[size_t(std::min(-li, 4095))];
      const double r = ri <= 4095 ? f[size_t(ri)] : 2.0 - f[size_t(std::max(0, 8191 - ri))];
      out += w[size_t(t)] * (l + r);
    }
    ValueTable[size_t(j)] = float(std::clamp(255.0 * out, 0.0, 255.0));
    LevelTable[size_t(j)] = LevelOf(ValueTable[size_t(j)]);
  }
}

void TImageVisu::CopyFrom(const TImageVisu& other) {
  if (&other == this) return;
  Low = other.Low;
  High = other.High;
  TransferType = other.TransferType;
  Curve = other.Curve;
  LevelTable = other.LevelTable;
  ValueTable = other.ValueTable;
}

bool TImageVisu::CurveFromText(std::string_view text) {
  const bool ok = Curve.FromText(text);
  if (TransferType == kTransferCurve) BuildTables(nullptr);
  return ok;
}

void TImageVisu::AddCurvePoint() {
  Curve.AddPoint();
  if (TransferType == kTransferCurve) BuildTables(nullptr);
}

void TImageVisu::RemoveCurvePoint() {
  Curve.RemovePoint();
  if (TransferType == kTransferCurve) BuildTables(nullptr);
}

void TImageVisu::MoveCurvePoint(int32_t k, double x, double y) {
  Curve.MovePoint(k, x, y);
  if (TransferType == kTransferCurve) BuildTables(nullptr);
}

float ThresholdHigh(float low, float high) {
  const double eps = 5e-7 * (std::abs(double(low)) + std::abs(double(high))) + 5e-7;
  if (double(high) < double(low) + eps) return float(double(low) + eps);
  return high;
}

// ---------------------------------------------------------------------------------------
// View range

void SetVisualization(TAImage& image, int32_t type, double high, double low) {
  if (!std::isfinite(high) || !std::isfinite(low)) return;
  // Within +-1e38 the span High - Low stays a finite float.
  constexpr double kMax = 1e38;
  high = std::clamp(high, -kMax, kMax);
  low = std::clamp(std::min(low, high), -kMax, kMax);
  if (!image.IsFloat) {
    if (std::abs(low) < 1e9) low = RoundHalfEven(low);
    if (std::abs(high) < 1e9) high = RoundHalfEven(high);
  }
  TImageVisu& v = image.Visu;
  v.Low = float(low);
  v.High = float(high);
  v.TransferType = type;
  v.BuildTables(image.MainPlane.get());
}

namespace {

struct TAutoSample {
  float V;
  int32_t X, Y;
};

// Generator of the automatic range's sampling grid; seeded afresh at every call.
class TAutoRandom {
 public:
  uint32_t Next(uint32_t n) {
    State = State * 1103515245u + 12345u;
    const uint32_t v = (State & 0x7FFFFFFFu) ^ (State >> 16);
    return v % n;
  }

 private:
  uint32_t State = 20949776u;
};

// Equal bounds become a usable range one unit wide.
void SeparateBounds(double& low, double& high) {
  if (low != high) return;
  if (low > 0)
    low = std::max(0.0, high - 1);
  else
    high = low + 1;
}

}  // namespace

TViewRange AutoVisualization(const TAImage& image) {
  const TBWImage& main = *image.MainPlane;
  const TBWImage* red = image.IsColour() ? image.RedPlane.get() : nullptr;
  const TBWImage* blue = image.IsColour() ? image.BluePlane.get() : nullptr;
  TViewRange r;
  r.Type = 0;
  if (main.Data == nullptr || main.Count < 1) {
    r.Low = 0;
    r.High = 1;
    return r;
  }
  r.Low = r.High = std::isfinite(main.Data[0]) ? main.Data[0] : 0.0;
  const int64_t count = main.Count;
  const int32_t width = main.Width, height = main.Height;
  if (count < 2) {
    SeparateBounds(r.Low, r.High);
    return r;
  }

  std::vector<TAutoSample> s;
  double sum = 0;
  // Corrupt samples (NaN, infinities) are not drawn: they would break the ordering.
  auto take = [&](int32_t x, int32_t y) {
    const int64_t i = int64_t(y) * width + x;
    double v = main.Data[i];
    if (red != nullptr) {
      const double g = v, rr = red->Data[i], b = blue->Data[i];
      if (!std::isfinite(g) || !std::isfinite(rr) || !std::isfinite(b)) return;
      const double a = 0.333 * (rr + g + b);
      v = (!s.empty() && a > sum / double(s.size())) ? std::max({g, rr, b}) : a;
    }
    const float fv = float(v);
    if (!std::isfinite(fv)) return;
    s.push_back({fv, x, y});
    sum += fv;
  };

  if (count < 12000) {
    s.reserve(size_t(count));
    for (int32_t y = 0; y < height; ++y)
      for (int32_t x = 0; x < width; ++x) take(x, y);
  } else {
    const int32_t step = Trunc(std::sqrt(double(count) / 12000.0)) + 1;
    const int32_t margin = std::min(width, height) > 50 ? 3 : 0;
    const int32_t m = std::min(width, height) / 20;
    constexpr size_t kMaxSamples = 12000;
    s.reserve(kMaxSamples);
    TAutoRandom rnd;
    for (int32_t r0 = 0; r0 <= height / step && s.size() < kMaxSamples; ++r0) {
      for (int32_t c0 = 0; c0 <= width / step && s.size() < kMaxSamples; ++c0) {
        const int64_t x = int64_t(rnd.Next(uint32_t(step))) + int64_t(c0) * step;
        const int64_t y = int64_t(rnd.Next(uint32_t(step))) + int64_t(r0) * step;
        if (m > 4) {
          const int64_t mx = rnd.Next(uint32_t(m));
          const int64_t my = rnd.Next(uint32_t(m));
          if (x < mx || x > width - 1 - mx || y < my || y > height - 1 - my) continue;
        }
        // The grid runs one step past the last row and column: those draws fall outside.
        if (y * width + x >= count) continue;
        if (x < margin || x > width - 1 - margin || y < margin || y > height - 1 - margin)
          continue;
        take(int32_t(x), int32_t(y));
      }
    }
  }
  const int64_t n = int64_t(s.size());
  if (n == 0) {
    r.Low = r.High = 0;
    SeparateBounds(r.Low, r.High);
    return r;
  }
  // Ties keep their drawing order, so the positions of equal values are repeatable.
  std::stable_sort(s.begin(), s.end(),
                   [](const TAutoSample& a, const TAutoSample& b) { return a.V < b.V; });
  auto V = [&](double q) {
    return double(s[size_t(std::clamp<int64_t>(Trunc64(double(n) * q), 0, n - 1))].V);
  };

  // Spread of the brightest samples: 1 when they cluster (a star), 4 when scattered.
  int32_t spread = 1;
  if (n >= 2) {
    const int64_t k = std::max<int64_t>(1, Trunc64(0.01 * double(n)));
    double sq = 0;  // squared distances of up to 30000 pixels: beyond 32 bits
    for (int64_t j = n - 1 - k; j <= n - 2; ++j) {
      const double dx = double(s[size_t(j)].X) - s[size_t(j + 1)].X;
      const double dy = double(s[size_t(j)].Y) - s[size_t(j + 1)].Y;
      sq += dx * dx + dy * dy;
    }
    spread = std::clamp(Round(std::sqrt(sq / double(k)) / width * 20.0), 1, 4);
  }

  const double a = V(0.333), b = V(0.666);
  const double w = std::max(b - a, 1e-6);
  const double a2 = std::max(a - w, V(0));
  const double b2 = std::min(b + w, double(s[size_t(n - 1)].V));
  int32_t type = 0;
  if (std::abs(b2) > 1e-6) {
    int32_t t = std::clamp(Round(V(0.995) / b2 - 1.0), 0, 5);
    if (spread <= 2 && t > 0) --t;
    if (spread <= 1 && t > 0) --t;
    type = -t;
  }
  double low = (a2 + V(0.05)) / 2.0;
  double high;
  if (spread == 1)
    high = (9.0 * V(0.999) + b2) / 10.0;
  else if (spread == 2)
    high = (5.0 * V(0.997) + b2) / 6.0;
  else
    high = (3.0 * V(0.995) + b2) / 4.0;

  const double q75 = V(0.75), q25 = V(0.25);
  if (n >= 1000 && q75 > 1e-6 && q25 < -1e-6) {
    const double ratio = std::abs(q75 / q25);
    if ((ratio > 0.25 && ratio < 4.0) || main.Symmetric) {
      const double w5 = 5.0 * (q75 - q25);
      low = std::max(V(0.005), -w5);
      high = std::min(V(0.995), w5);
    }
  }
  SeparateBounds(low, high);
  r.Low = low;
  r.High = high;
  r.Type = type;
  return r;
}

void ApplyAutoVisualization(TAImage& image) {
  const TViewRange r = AutoVisualization(image);
  SetVisualization(image, r.Type, r.High, r.Low);
}

void ApplyAutoTransfer(TAImage& image) {
  const TViewRange r = AutoVisualization(image);
  SetVisualization(image, r.Type, image.Visu.High, image.Visu.Low);
}

void ApplyMinMaxRange(TAImage& image) {
  SetVisualization(image, image.Visu.TransferType, image.DataMax, image.DataMin);
}

void ApplyCcdRange(TAImage& image) {
  const bool wide = image.DataMax > 255.0f || image.DataMin < 0.0f;
  SetVisualization(image, kTransferLinear, wide ? 65535.0 : 255.0, 0.0);
}

namespace {

// n = min(19999, count) main-plane samples at Round(k·(count - 1)/n), sorted; corrupt
// samples left out.
std::vector<float> SortedSamples(const TBWImage& p) {
  std::vector<float> s;
  if (p.Data == nullptr || p.Count < 1) return s;
  const int64_t count = p.Count;
  const int64_t n = std::min<int64_t>(19999, count);
  s.reserve(size_t(n));
  for (int64_t k = 0; k < n; ++k) {
    const int64_t i = std::min(Round64(double(k) * double(count - 1) / double(n)), count - 1);
    if (std::isfinite(p.Data[i])) s.push_back(p.Data[i]);
  }
  std::sort(s.begin(), s.end());
  return s;
}

double SortedAt(const std::vector<float>& s, double q) {
  if (s.empty()) return 0;
  const double n1 = double(s.size() - 1);
  return s[size_t(std::clamp(Round64(n1 * std::clamp(q, 0.0, 1.0)), int64_t(0), int64_t(n1)))];
}

}  // namespace

void PercentRange(TAImage& image, int32_t type, double p1, double p2) {
  if (std::isnan(p1) || std::isnan(p2)) return;
  const std::vector<float> s = SortedSamples(*image.MainPlane);
  double low = p1 <= 0 ? double(image.DataMin) : SortedAt(s, p1 / 100.0);
  double high = p2 >= 100 ? double(image.DataMax) : SortedAt(s, p2 / 100.0);
  SeparateBounds(low, high);
  SetVisualization(image, type, high, low);
}

void SigmaRange(TAImage& image, int32_t type, double k1, double k2) {
  const std::vector<float> s = SortedSamples(*image.MainPlane);
  const double m = SortedAt(s, 0.5);
  const double sigma = SortedAt(s, 0.841) - m;
  double low = m + k1 * sigma, high = m + k2 * sigma;
  SeparateBounds(low, high);
  SetVisualization(image, type, high, low);
}

void ApplyRange(TAImage& image, TRangeMode mode, double a, double b, int32_t type) {
  switch (mode) {
    case TRangeMode::Adu:
      SetVisualization(image, type, b, a);
      break;
    case TRangeMode::Percentage:
      PercentRange(image, type, a, b);
      break;
    case TRangeMode::Sigma:
      SigmaRange(image, type, a, b);
      break;
  }
}

void EqualizeVisualization(const TAImage& active, TAImage& other, TRangeMode mode, double a,
                           double b) {
  if (&active == &other) return;
  other.Visu.CopyFrom(active.Visu);
  other.Visu.Palette.CopyFrom(active.Visu.Palette);
  if (mode != TRangeMode::Adu) ApplyRange(other, mode, a, b, other.Visu.TransferType);
}

void StepContrast(TAImage& image, bool pageDown, bool shift, bool ctrl) {
  const TImageVisu& v = image.Visu;
  const double low = v.Low, high = v.High;
  const double span = std::abs(high - low);
  const double e = ctrl ? 20.0 : 5.0;
  const double c = ctrl ? 100.0 : 25.0;
  double minStep = 0;
  if (c > span) {
    if (image.IsFloat) {
      float q75 = 0, q25 = 0;
      image.MainPlane->Quantiles2(0.25, 0.75, q75, q25);
      minStep = std::clamp(std::abs(double(q75) - double(q25)) / 1000.0, 1e-6, 1.0);
    } else {
      minStep = 1.1;
    }
  }
  if (!shift) {
    double h = pageDown ? low + span * (e - 1) / e : low + span * e / (e - 1);
    if (std::abs(h - high) < minStep) h = pageDown ? high - minStep : high + minStep;
    SetVisualization(image, v.TransferType, std::max(h, low), low);
  } else {
    double l = pageDown ? high - span * (c + 1) / c : high - span * c / (c + 1);
    if (std::abs(l - low) < minStep) l = pageDown ? low - minStep : low + minStep;
    SetVisualization(image, v.TransferType, high, std::min(l, high));
  }
}

// ---------------------------------------------------------------------------------------
// Keywords and files

namespace {

bool ParseCardNumber(const TFitsStrings& h, std::string_view key, double& out) {
  bool found = false;
  std::string raw = h.GetRawValue(key, found);
  if (!found) return false;
  // FITS writers may give the exponent as "D".
  for (char& ch : raw)
    if (ch == 'D' || ch == 'd') ch = 'E';
  double v = 0;
  if (!ParseDouble(raw, v) || !std::isfinite(v)) return false;
  out = v;
  return true;
}

constexpr const char* kTrfTitle = "OrluFV compressed transfer function";

}  // namespace

bool ReadVisuKeys(TAImage& image) {
  const TFitsStrings& h = image.Header;
  double mn = 0, mx = 0, t = 0;
  if (!ParseCardNumber(h, "ORLUUMIN", mn) || !ParseCardNumber(h, "ORLUUMAX", mx)) return false;
  if (h.HasKey("ORLUUTYP") && !ParseCardNumber(h, "ORLUUTYP", t)) return false;
  int32_t type = 0;
  if (mn > mx || !TryRound(t, type) || !TImageVisu::IsValidType(type)) return false;
  if (type == kTransferCurve) image.Visu.Curve.FromText(h.GetString("ORLUUCRV"));
  SetVisualization(image, type, mx, mn);
  return true;
}

void WriteVisuKeys(TAImage& image, bool addVisuKeys) {
  TFitsStrings& h = image.Header;
  if (!addVisuKeys) {
    h.DeleteVisuKeys();
    return;
  }
  const TImageVisu& v = image.Visu;
  h.SetReal("ORLUUMIN", true, v.Low);
  h.SetReal("ORLUUMAX", true, v.High);
  h.SetInt("ORLUUTYP", v.TransferType, true);
  if (v.TransferType == kTransferCurve)
    h.SetString("ORLUUCRV", v.CurveToText(), true);
  else
    h.DeleteKey("ORLUUCRV");
}

void VisualizationAfterLoad(TAImage& image, bool fitsHeader, bool eightBitView) {
  if (fitsHeader && ReadVisuKeys(image)) return;
  if (eightBitView)
    SetVisualization(image, kTransferLinear, 255.0, 0.0);
  else
    ApplyAutoVisualization(image);
}

std::string TransferFunctionText(const TImageVisu& visu) {
  std::string s = std::string(kTrfTitle) + "\n" + FormatG(visu.Low, 7) + " " +
                  FormatG(visu.High, 7) + " " + std::to_string(visu.TransferType) + "\n";
  if (visu.TransferType == kTransferCurve) s += visu.CurveToText() + "\n";
  return s;
}

bool SaveTransferFunction(const TImageVisu& visu, const std::filesystem::path& path) {
  const std::string text = TransferFunctionText(visu);
  std::filesystem::path tmp = path;
  tmp += ".tmp~";
  {
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    if (!f) return false;
    f.write(text.data(), std::streamsize(text.size()));
    f.close();
    if (!f) {
      std::error_code ec;
      std::filesystem::remove(tmp, ec);
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(tmp, path, ec);
  if (ec) std::filesystem::remove(tmp, ec);
  return !ec;
}

bool LoadTransferFunction(TAImage& image, const std::filesystem::path& path,
                          std::string& error) {
  error = "Incompatible file format\r" + path.string();
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  // A transfer function is three short lines; anything long is not one.
  constexpr std::streamsize kMaxBytes = 4096;
  std::string text(size_t(kMaxBytes) + 1, '\0');
  f.read(text.data(), kMaxBytes + 1);
  const std::streamsize got = f.gcount();
  if (got <= 0 || got > kMaxBytes) return false;
  text.resize(size_t(got));
  const size_t eol = text.find_first_of("\r\n");
  if (eol == std::string::npos) return false;  // the title line is not checked
  std::istringstream rest(text.substr(eol + 1));
  std::string tLow, tHigh, tType, tCurve;
  if (!(rest >> tLow >> tHigh >> tType)) return false;
  double low = 0, high = 0;
  int32_t type = 0;
  if (!ParseDouble(tLow, low) || !ParseDouble(tHigh, high) || !ParseInt32(tType, type))
    return false;
  if (!std::isfinite(low) || !std::isfinite(high) || low > high ||
      !TImageVisu::IsValidType(type))
    return false;
  TTransferCurve curve = image.Visu.Curve;
  if (type == kTransferCurve && (!(rest >> tCurve) || !curve.FromText(tCurve))) return false;
  image.Visu.Curve = curve;
  SetVisualization(image, type, high, low);
  error.clear();
  return true;
}

// ---------------------------------------------------------------------------------------
// Histogram stretch

bool HistogramStretch(TAImage& image, double n, TStretchRecord* record) {
  TImageVisu& visu = image.Visu;
  const int32_t type = visu.TransferType;
  const bool table = type >= 1000 && type <= 1004;
  if (!(table || (type >= -20 && type <= 20)) || std::isnan(n)) return false;
  const double np = std::max(std::min(n, 1e21), 1.0);
  if (record != nullptr) {
    record->Normalization = std::min(n, 1e21);
    record->OldLow = visu.Low;
    record->OldHigh = visu.High;
    record->OldType = type;
    record->CurveText = visu.CurveToText();
  }
  const double low = visu.Low;
  // A range with High = Low thresholds as the renderer does instead of dividing by zero.
  const double span = double(ThresholdHigh(visu.Low, visu.High)) - low;
  std::vector<double> t(TImageVisu::kTableSize + 1);
  for (int k = 0; k < TImageVisu::kTableSize; ++k)
    t[size_t(k)] = double(visu.ValueTable[size_t(k)]) * np / 255.0;
  t[TImageVisu::kTableSize] = t[TImageVisu::kTableSize - 1];
  const double g = (type / 10.0) * (type / 10.0);
  const TArc arc(type < 0 ? -type : 1);
  // Fraction of the range, held in 0..1; corrupt samples count as the low end.
  auto frac = [low, span](float v) {
    double x = (double(v) - low) / span;
    if (!(x > 0)) x = 0;
    return x > 1 ? 1.0 : x;
  };
  auto map = [&](float v) -> double {
    if (table) {
      const double x = frac(v) * 4095.0;
      const int32_t i = std::max(0, RoundIn(x - 0.5));
      const double f = x - i;
      return (1 - f) * t[size_t(i)] + f * t[size_t(i + 1)];
    }
    if (type == 0) return frac(v) * np;
    if (type > 0) {
      const double o = std::max(frac(v) * np, 1.0);
      return np * std::pow(o / np, g);
    }
    return np * arc.Map(frac(v));
  };
  auto run = [&](TBWImage& p) {
    if (p.Data == nullptr) return;
    const int32_t w = p.Width;
    float* data = p.Data;
    ParallelRows(p.Height, 0, [&](int32_t row) {
      float* d = data + int64_t(row) * w;
      for (int32_t x = 0; x < w; ++x) d[x] = float(map(d[x]));
    });
  };
  run(*image.MainPlane);
  if (image.IsColour()) {
    run(*image.RedPlane);
    run(*image.BluePlane);
  }
  SetVisualization(image, kTransferLinear, np, 0.0);
  image.RefreshMinMax();
  return true;
}

}  // namespace orlu
