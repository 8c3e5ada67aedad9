// Mask smoothing on a 6000 × 4000 mask beside OpenCV's GaussianBlur on the same 16-bit
// weights (CV_16U) with the same sigma and the same reach, edges repeating the edge weight.
//
// The mask: a soft-edged ellipse and a rectangle whose bounds cover almost the whole
// picture, so skipping empty rows and columns saves us little.
// Buffer policy: source, our result and OpenCV's matrices are allocated and touched once
// before timing and reused by every iteration (our smoothing also allocates its half-size
// scratch planes inside the timed loop for wide kernels, as it does in use).
// Threads: "MaskSmooth*" runs both with multithreading allowed (our row helper, OpenCV's
// default pool); "MaskSmooth1T*" runs both on one thread.
#include <benchmark/benchmark.h>

#include <cstring>

#include "base/ProcessSwitches.h"
#include "formula/ImaMask.h"

#ifdef ORLU_BENCH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

using namespace orlu;

namespace {

constexpr int kW = 6000, kH = 4000;

struct Buffers {
  TAMask src{0};
  TAMask out{0};
  bool Ok = false;
#ifdef ORLU_BENCH_OPENCV
  cv::Mat in = cv::Mat(kH, kW, CV_16U);
  cv::Mat res = cv::Mat(kH, kW, CV_16U);
#endif
  Buffers() {
    src.SetSize(kW, kH);
    out.SetSize(kW, kH);
    if (!src.Allocate() || !out.Allocate()) return;
    src.DrawRectOrEllipse(300, 200, 5200, 3700, true, 65535);
    src.DrawRectOrEllipse(4000, 100, 5900, 1500, false, 40000);
    src.Smooth(src, 3);  // soft edges, as a smoothed selection has
    src.ComputeBounds();
    out.Fill(1);
    Ok = true;
#ifdef ORLU_BENCH_OPENCV
    std::memcpy(in.ptr<uint16_t>(), src.Weights(), size_t(kW) * kH * 2);
    res.setTo(0);
#endif
  }
};

Buffers& B() {
  static Buffers b;
  return b;
}

// Sigma 6 is the widest full-resolution kernel (20 taps per side); sigma 30 runs at half
// resolution, its 35 taps per side at half scale reaching about 68 pixels.
constexpr double kSigma = 6.0, kSigmaWide = 30.0;
constexpr int kReach = 20, kReachWide = 68;

void Ours(benchmark::State& st, double sigma, bool mt) {
  Buffers& b = B();
  if (!b.Ok) return st.SkipWithError("Out of memory");
  SetPermitMT(mt);
  for (auto _ : st) {
    b.out.Smooth(b.src, sigma);
    benchmark::ClobberMemory();
  }
  SetPermitMT(true);
  st.SetBytesProcessed(int64_t(st.iterations()) * kW * kH * 2);
}

#ifdef ORLU_BENCH_OPENCV
void OpenCV(benchmark::State& st, double sigma, int reach, bool mt) {
  Buffers& b = B();
  if (!b.Ok) return st.SkipWithError("Out of memory");
  const int threads = cv::getNumThreads();
  if (!mt) cv::setNumThreads(1);
  for (auto _ : st) {
    cv::GaussianBlur(b.in, b.res, cv::Size(2 * reach + 1, 2 * reach + 1), sigma, sigma,
                     cv::BORDER_REPLICATE);
    benchmark::ClobberMemory();
  }
  cv::setNumThreads(threads);
  st.SetBytesProcessed(int64_t(st.iterations()) * kW * kH * 2);
}
#endif

}  // namespace

BENCHMARK_CAPTURE(Ours, MaskSmooth/ours, kSigma, true)->Name("MaskSmooth/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Ours, MaskSmoothWide/ours, kSigmaWide, true)->Name("MaskSmoothWide/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Ours, MaskSmooth1T/ours, kSigma, false)->Name("MaskSmooth1T/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
#ifdef ORLU_BENCH_OPENCV
BENCHMARK_CAPTURE(OpenCV, MaskSmooth/opencv, kSigma, kReach, true)->Name("MaskSmooth/opencv")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(OpenCV, MaskSmoothWide/opencv, kSigmaWide, kReachWide, true)->Name("MaskSmoothWide/opencv")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(OpenCV, MaskSmooth1T/opencv, kSigma, kReach, false)->Name("MaskSmooth1T/opencv")->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

BENCHMARK_MAIN();
