#include "ZoomMath.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "base/OrluMath.h"

namespace orlu {

namespace {

constexpr std::array<int32_t, 11> kNumerators = {960,   1920,  2880,  3840,  5760, 7680,
                                                 11520, 15360, 19200, 24000, 28800};

// 50 % is a code of its own; targets close to it land on it exactly.
constexpr int32_t kHalfCode = -480;
bool NearHalf(double percent) { return percent >= 48 && percent <= 52; }

}  // namespace

int32_t ClampZoomCode(int32_t code) { return std::clamp(code, kZoomCodeMin, kZoomCodeMax); }

int32_t ZoomNumerator(int32_t code) {
  code = ClampZoomCode(code);
  return code >= 0 ? kNumerators[size_t(code)] : kZoomDenominator + code;
}

double ZoomScale(int32_t code) { return double(ZoomNumerator(code)) / kZoomDenominator; }

double ZoomPercent(int32_t code) { return double(ZoomNumerator(code)) * 100.0 / kZoomDenominator; }

int32_t ZoomPercentShown(int32_t code) { return Round(ZoomPercent(code)); }

int32_t ZoomCodeForPercent(double percent) {
  const double wanted = 0.9998 * percent;
  for (int32_t z = kZoomCodeMin; z <= kZoomCodeMax; ++z)
    if (ZoomPercent(z) >= wanted) return z;
  return kZoomCodeMax;
}

int64_t ZoomedExtent(int64_t n, int32_t code) {
  const int64_t num = ZoomNumerator(code);
  return (n * num + kZoomDenominator - 1) / kZoomDenominator;
}

int32_t FitCode(int32_t width, int32_t height, int32_t availW, int32_t availH) {
  for (int32_t z = kZoomCodeMax; z > kZoomCodeMin; --z)
    if (ZoomedExtent(width, z) <= availW && ZoomedExtent(height, z) <= availH) return z;
  return kZoomCodeMin;
}

int32_t ZoomInCode(const TZoomState& s) {
  const int32_t code = ClampZoomCode(s.Code);
  if (code > 9) return code;
  if (s.Shift || code >= 0) {
    if (s.Shift && code < 0) return code < -10 ? code + 10 : 0;
    return code + 1;
  }
  if (!s.ScrollBarShown) {
    const double rw = double(s.ClientW) / (s.PanelW + 1);
    const double rh = double(s.ClientH) / (s.PanelH + 1);
    // Room to spare: the image is fitted to the window. A fit that would not enlarge the
    // image (a rounding edge) takes the ordinary step instead, so "Zoom +" never stalls.
    if (std::min(rw, rh) > 1.05 && rh < 1.31 && s.FitCode > code) return s.FitCode;
  }
  const double p = ZoomPercent(code);
  if (p >= 75 && p <= 90) return 0;
  const double target = p * 1.26;
  const int32_t next = NearHalf(target) ? kHalfCode : ZoomCodeForPercent(target);
  return std::max(next, code + 1);
}

int32_t ZoomOutCode(const TZoomState& s) {
  const int32_t code = ClampZoomCode(s.Code);
  if (code < kZoomCodeMin + 1) return code;
  if (s.Shift || code > 0) {
    if (s.Shift && code <= 0) return std::max(code - 10, kZoomCodeMin);
    return code - 1;
  }
  const double p = ZoomPercent(code);
  const double targetPercent = p / 1.26;
  int32_t target = ZoomCodeForPercent(targetPercent);
  const double fitP = ZoomPercent(s.FitCode);
  const double tp = ZoomPercent(target);
  if (fitP < p * 0.99 && std::fabs(fitP - tp) <= 0.13 * tp)
    target = s.FitCode;
  else if (NearHalf(tp))
    target = kHalfCode;
  return std::max(std::min(target, code - 1), kZoomCodeMin);
}

TSize32 CreateViewClientSize(int32_t width, int32_t height, int32_t code, int32_t barHeight,
                             TSize32 mainClient, int32_t cascadeIndex, TSize32 minSize) {
  const int64_t w = std::min<int64_t>(ZoomedExtent(width, code) + kViewMargin,
                                      int64_t(mainClient.W) - 44 - 30 * int64_t(cascadeIndex));
  const int64_t h = std::min<int64_t>(ZoomedExtent(height, code) + barHeight + kViewMargin,
                                      int64_t(mainClient.H) - 70);
  return {int32_t(std::max<int64_t>({w, 100, minSize.W})),
          int32_t(std::max<int64_t>({h, 100, minSize.H}))};
}

int32_t AutoViewCode(int32_t width, int32_t height, int32_t barHeight, TSize32 mainClient) {
  const int64_t availW = int64_t(mainClient.W) - 44;
  const int64_t availH = int64_t(mainClient.H) - 70;
  for (int32_t z = 0; z > kZoomCodeMin; --z)
    if (ZoomedExtent(width, z) + kViewMargin <= availW &&
        ZoomedExtent(height, z) + barHeight + kViewMargin <= availH)
      return z;
  return kZoomCodeMin;
}

TSize32 FitToImageClientSize(int32_t width, int32_t height, int32_t code, int32_t barHeight,
                             TSize32 mainClient, TSize32 windowOffset) {
  int64_t w = ZoomedExtent(width, code) + kViewMargin;
  int64_t h = ZoomedExtent(height, code) + barHeight + kViewMargin;
  w = std::min<int64_t>(w, int64_t(mainClient.W) - windowOffset.W - 30);
  h = std::min<int64_t>(h, int64_t(mainClient.H) - windowOffset.H - 50);
  return {int32_t(std::max<int64_t>(w, 50)), int32_t(std::max<int64_t>(h, 70))};
}

}  // namespace orlu
