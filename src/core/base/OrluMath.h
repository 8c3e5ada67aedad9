// Rounding and checked float-to-integer conversion used throughout the core.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace orlu {

// Round to nearest, exact halves to the even neighbour (the default FP rounding mode;
// the program never changes it). Result stays a double so that callers can range-check.
inline double RoundHalfEven(double x) { return std::nearbyint(x); }

// True when x is finite and, after rounding half-even, representable as I.
template <class I>
inline bool RoundFits(double x) {
  if (!std::isfinite(x)) return false;
  const double r = std::nearbyint(x);
  // The upper bound is exclusive: 2^63 (or 2^31) itself does not fit.
  return r >= static_cast<double>(std::numeric_limits<I>::min()) &&
         r < -static_cast<double>(std::numeric_limits<I>::min());
}

// Saturating conversions: NaN gives 0, values beyond the range give the nearest limit.
// They never invoke the undefined float-to-integer conversion.
template <class I>
inline I SaturateCast(double r) {
  if (std::isnan(r)) return 0;
  constexpr double lo = static_cast<double>(std::numeric_limits<I>::min());
  constexpr double hiExcl = -lo;  // 2^(bits-1), exactly representable
  if (r <= lo) return std::numeric_limits<I>::min();
  if (r >= hiExcl) return std::numeric_limits<I>::max();
  return static_cast<I>(r);
}

// Round half-even to int32, saturating.
inline int32_t Round(double x) { return SaturateCast<int32_t>(std::nearbyint(x)); }
// Round half-even to int64, saturating.
inline int64_t Round64(double x) { return SaturateCast<int64_t>(std::nearbyint(x)); }
// Truncate toward zero to int32, saturating.
inline int32_t Trunc(double x) { return SaturateCast<int32_t>(std::trunc(x)); }
// Truncate toward zero to int64, saturating.
inline int64_t Trunc64(double x) { return SaturateCast<int64_t>(std::trunc(x)); }
// Largest integer not above x, to int32, saturating.
inline int32_t Floor(double x) { return SaturateCast<int32_t>(std::floor(x)); }

// Checked variants: false (and out untouched) when x is not finite or out of range.
inline bool TryRound(double x, int32_t& out) {
  if (!RoundFits<int32_t>(x)) return false;
  out = static_cast<int32_t>(std::nearbyint(x));
  return true;
}
inline bool TryTrunc(double x, int32_t& out) {
  if (!std::isfinite(x)) return false;
  const double t = std::trunc(x);
  if (t < -2147483648.0 || t >= 2147483648.0) return false;
  out = static_cast<int32_t>(t);
  return true;
}

template <class T>
constexpr T Clamp(T v, T lo, T hi) { return v < lo ? lo : (v > hi ? hi : v); }

}  // namespace orlu
