// Plane operations on a 6000 × 4000 float plane, each beside the memcpy of the same bytes
// (the bandwidth floor) and, when available, OpenCV's equivalent.
//
// Buffer policy: every buffer (our plane, the memcpy source and target, OpenCV's input and
// output matrices and histogram) is allocated and touched once before timing and reused
// by every iteration; nobody pays first-touch page faults inside the timed loop.
// Threads: single-threaded for everyone (OpenCV is set to one thread).
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>

#include "base/PixelMemory.h"
#include "base/ProcessSwitches.h"
#include "image/ImaBW.h"

#ifdef ORLU_BENCH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

using namespace orlu;

namespace {

constexpr int kW = 6000, kH = 4000;
constexpr std::size_t kCount = std::size_t(kW) * kH;
constexpr std::size_t kBytes = kCount * sizeof(float);

// Camera-like 16-bit data held as floats.
void FillCamera(float* p) {
  std::mt19937 rng(1);
  std::uniform_int_distribution<int> u(0, 65535);
  for (std::size_t i = 0; i < kCount; ++i) p[i] = float(u(rng));
}

struct Buffers {
  TBWImage plane{kW, kH};
  PixelBlockPtr<float> src = AllocPixels<float>(kCount);
  PixelBlockPtr<float> dst = AllocPixels<float>(kCount);
#ifdef ORLU_BENCH_OPENCV
  cv::Mat in = cv::Mat(kH, kW, CV_32F);  // not braces: that would be a 1 × 3 list
  cv::Mat out = cv::Mat(kH, kW, CV_32F);
  cv::Mat hist;
#endif
  Buffers() {
    FillCamera(src.get());
    std::memset(dst.get(), 0, kBytes);
    Reset();
#ifdef ORLU_BENCH_OPENCV
    cv::setNumThreads(1);
    std::memcpy(in.ptr<float>(), src.get(), kBytes);
    out.setTo(0);
#endif
  }
  // Puts the camera data back into our plane (outside the timed loop).
  void Reset() { std::memcpy(plane.Data, src.get(), kBytes); }
};

Buffers& B() {
  static Buffers b;
  return b;
}

void Memcpy(benchmark::State& st) {
  Buffers& b = B();
  for (auto _ : st) {
    std::memcpy(b.dst.get(), b.src.get(), kBytes);
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(kBytes));
}

// ---- MinMax ----
void MinMaxOurs(benchmark::State& st) {
  Buffers& b = B();
  b.Reset();
  SetPermitSSE(true);
  float mn = 0, mx = 0;
  for (auto _ : st) {
    b.plane.MinMax(mn, mx);
    benchmark::DoNotOptimize(mn);
    benchmark::DoNotOptimize(mx);
  }
}
void MinMaxScalar(benchmark::State& st) {
  Buffers& b = B();
  b.Reset();
  SetPermitSSE(false);
  float mn = 0, mx = 0;
  for (auto _ : st) {
    b.plane.MinMax(mn, mx);
    benchmark::DoNotOptimize(mn);
  }
  SetPermitSSE(true);
}

// ---- Histogram ----
void HistogramOurs(benchmark::State& st) {
  Buffers& b = B();
  b.Reset();
  SetPermitSSE(true);
  std::vector<int32_t> bins(4096);
  for (auto _ : st) {
    b.plane.Histogram(bins, 4096, true, true, 65535.0f, 0.0f);
    benchmark::DoNotOptimize(bins.data());
  }
}
void HistogramScalar(benchmark::State& st) {
  Buffers& b = B();
  b.Reset();
  SetPermitSSE(false);
  std::vector<int32_t> bins(4096);
  for (auto _ : st) {
    b.plane.Histogram(bins, 4096, true, true, 65535.0f, 0.0f);
    benchmark::DoNotOptimize(bins.data());
  }
  SetPermitSSE(true);
}

// ---- Linear (in place) ----
void LinearOurs(benchmark::State& st) {
  Buffers& b = B();
  b.Reset();
  // b < 1 keeps repeated application bounded (fixed point 6), so the values stay normal.
  for (auto _ : st) {
    b.plane.Linear(1.5, 0.75);
    benchmark::ClobberMemory();
  }
}

// ---- FlipV (in place) ----
void FlipVOurs(benchmark::State& st) {
  Buffers& b = B();
  b.Reset();
  for (auto _ : st) {
    b.plane.FlipV();
    benchmark::ClobberMemory();
  }
}

// ---- Fractional shift (in place) ----
void ShiftOurs(benchmark::State& st) {
  Buffers& b = B();
  for (auto _ : st) {
    st.PauseTiming();
    b.Reset();  // repeated shifts would push the content out of the plane
    st.ResumeTiming();
    b.plane.Shift(0.3, 0.7, false);
    benchmark::ClobberMemory();
  }
}
// The opposite direction: source rows lie below their targets.
void ShiftBackOurs(benchmark::State& st) {
  Buffers& b = B();
  for (auto _ : st) {
    st.PauseTiming();
    b.Reset();
    st.ResumeTiming();
    b.plane.Shift(-0.3, -0.7, false);
    benchmark::ClobberMemory();
  }
}

#ifdef ORLU_BENCH_OPENCV
void MinMaxOpenCV(benchmark::State& st) {
  Buffers& b = B();
  double mn = 0, mx = 0;
  for (auto _ : st) {
    cv::minMaxLoc(b.in, &mn, &mx);
    benchmark::DoNotOptimize(mn);
  }
}
void HistogramOpenCV(benchmark::State& st) {
  Buffers& b = B();
  const int channels[] = {0};
  const int sizes[] = {4096};
  const float range[] = {0.0f, 65535.0f};
  const float* ranges[] = {range};
  for (auto _ : st) {
    cv::calcHist(&b.in, 1, channels, cv::noArray(), b.hist, 1, sizes, ranges, true, false);
    benchmark::DoNotOptimize(b.hist.data);
  }
}
void FlipVOpenCV(benchmark::State& st) {
  Buffers& b = B();
  for (auto _ : st) {
    cv::flip(b.in, b.out, 0);  // out of place into a reused matrix
    benchmark::ClobberMemory();
  }
}
void ShiftOpenCV(benchmark::State& st) {
  Buffers& b = B();
  const cv::Matx23d m(1, 0, 0.3, 0, 1, 0.7);
  for (auto _ : st) {
    cv::warpAffine(b.in, b.out, m, b.in.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, 0);
    benchmark::ClobberMemory();
  }
}
#endif

}  // namespace

#define ORLU_BENCH(fn, name) BENCHMARK(fn)->Name(name)->Unit(benchmark::kMillisecond)->UseRealTime()

ORLU_BENCH(MinMaxOurs, "MinMax/ours");
ORLU_BENCH(Memcpy, "MinMax/memcpy");
ORLU_BENCH(MinMaxScalar, "MinMaxScalar/ours");
ORLU_BENCH(HistogramOurs, "Histogram/ours");
ORLU_BENCH(Memcpy, "Histogram/memcpy");
ORLU_BENCH(HistogramScalar, "HistogramScalar/ours");
ORLU_BENCH(LinearOurs, "Linear/ours");
ORLU_BENCH(Memcpy, "Linear/memcpy");
ORLU_BENCH(FlipVOurs, "FlipV/ours");
ORLU_BENCH(Memcpy, "FlipV/memcpy");
ORLU_BENCH(ShiftOurs, "Shift/ours");
ORLU_BENCH(Memcpy, "Shift/memcpy");
ORLU_BENCH(ShiftBackOurs, "ShiftBack/ours");
ORLU_BENCH(Memcpy, "ShiftBack/memcpy");
#ifdef ORLU_BENCH_OPENCV
ORLU_BENCH(MinMaxOpenCV, "MinMax/opencv");
ORLU_BENCH(HistogramOpenCV, "Histogram/opencv");
ORLU_BENCH(FlipVOpenCV, "FlipV/opencv");
ORLU_BENCH(ShiftOpenCV, "Shift/opencv");
#endif

BENCHMARK_MAIN();
