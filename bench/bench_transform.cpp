// Geometric transforms of a 6000 × 4000 colour float image (three planes for us, one
// three-channel matrix for OpenCV), each beside OpenCV's nearest equivalent.
//
// Buffer policy: source and destination images (ours and OpenCV's) are allocated and touched
// before timing and reused by every iteration (our destination keeps its blocks when its
// size does not change), so no one pays first-touch page faults in the timed loop.
// Threads: both sides use WorkerCount() threads (cv::setNumThreads).
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>

#include "image/ImaColor.h"
#include "image/LibThreads.h"
#include "processing/IPGeometry.h"

#ifdef ORLU_BENCH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

using namespace orlu;

namespace {

constexpr int kW = 6000, kH = 4000;
constexpr double kAngle = 17.3;

struct Images {
  TAImage src;
  TAImage dst;
#ifdef ORLU_BENCH_OPENCV
  cv::Mat in = cv::Mat(kH, kW, CV_32FC3);
  cv::Mat out;
#endif
  Images() {
    src.SetSize(kW, kH, true);
    src.IsFloat = 1;
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(0.0f, 65535.0f);
    TBWImage* planes[3] = {src.MainPlane.get(), src.RedPlane.get(), src.BluePlane.get()};
    for (TBWImage* p : planes)
      for (int32_t i = 0; i < p->Count; ++i) p->Data[i] = u(rng);
    dst.SetSize(kW, kH, true);
#ifdef ORLU_BENCH_OPENCV
    cv::setNumThreads(WorkerCount());
    for (int y = 0; y < kH; ++y) {
      float* row = in.ptr<float>(y);
      for (int x = 0; x < kW; ++x) {
        row[3 * x] = planes[2]->Data[x + int64_t(y) * kW];
        row[3 * x + 1] = planes[0]->Data[x + int64_t(y) * kW];
        row[3 * x + 2] = planes[1]->Data[x + int64_t(y) * kW];
      }
    }
#endif
  }
};

Images& I() {
  static Images i;
  return i;
}

template <class F>
void Loop(benchmark::State& st, F&& f) {
  Images& im = I();
  f(im);  // sizes the destination before timing
  for (auto _ : st) {
    f(im);
    benchmark::ClobberMemory();
  }
}

void RotateOurs(benchmark::State& st) {
  Loop(st, [](Images& im) { RotateImage(im.src, im.dst, kAngle, false, 0, 0, nullptr); });
}

void ResizeOurs(benchmark::State& st, int32_t w, int32_t h, TResizeMethod m) {
  Loop(st, [&](Images& im) {
    ResizeImage(im.src, im.dst, TResizeSpec{w, h, m, 3, false}, nullptr);
  });
}

void BinOurs(benchmark::State& st, int32_t factor) {
  Loop(st, [&](Images& im) { BinImage(im.src, im.dst, factor, true, nullptr); });
}

void FlipHOurs(benchmark::State& st) {
  Loop(st, [](Images& im) { im.src.FlipH(false, false); });
}
void FlipVOurs(benchmark::State& st) {
  Loop(st, [](Images& im) { im.src.FlipV(false, false); });
}

#ifdef ORLU_BENCH_OPENCV
void RotateOpenCV(benchmark::State& st) {
  int64_t w2, h2;
  RotatedSize(kW, kH, kAngle, w2, h2);
  // Destination to source, as ours: old = p + R·(new − q).
  const double t = kAngle * CV_PI / 180, c = std::cos(t), s = std::sin(t);
  const double px = (kW - 1) / 2.0, py = (kH - 1) / 2.0, qx = (w2 - 1) / 2.0, qy = (h2 - 1) / 2.0;
  const cv::Matx23d m(c, s, px - c * qx - s * qy, -s, c, py + s * qx - c * qy);
  Loop(st, [&](Images& im) {
    cv::warpAffine(im.in, im.out, m, cv::Size(int(w2), int(h2)),
                   cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_CONSTANT, 0);
  });
}
void ResizeOpenCV(benchmark::State& st, int32_t w, int32_t h, int interp) {
  Loop(st, [&](Images& im) { cv::resize(im.in, im.out, cv::Size(w, h), 0, 0, interp); });
}
void FlipOpenCV(benchmark::State& st, int code) {
  Loop(st, [&](Images& im) { cv::flip(im.in, im.out, code); });
}
#endif

}  // namespace

#define ORLU_BENCH(fn, name) BENCHMARK(fn)->Name(name)->Unit(benchmark::kMillisecond)->UseRealTime()
#define ORLU_BENCH_ARGS(fn, name, ...) \
  BENCHMARK_CAPTURE(fn, x, __VA_ARGS__)->Name(name)->Unit(benchmark::kMillisecond)->UseRealTime()

ORLU_BENCH(RotateOurs, "Rotate17.3/ours");
ORLU_BENCH_ARGS(ResizeOurs, "ResizeHalfBilinear/ours", kW / 2, kH / 2, TResizeMethod::Bilinear);
ORLU_BENCH_ARGS(ResizeOurs, "ResizeHalfBicubic/ours", kW / 2, kH / 2, TResizeMethod::Bicubic);
ORLU_BENCH_ARGS(ResizeOurs, "ResizeHalfLanczos3/ours", kW / 2, kH / 2, TResizeMethod::Lanczos);
ORLU_BENCH_ARGS(ResizeOurs, "ResizeDoubleBilinear/ours", kW * 2, kH * 2, TResizeMethod::Bilinear);
ORLU_BENCH_ARGS(ResizeOurs, "ResizeDoubleBicubic/ours", kW * 2, kH * 2, TResizeMethod::Bicubic);
ORLU_BENCH_ARGS(ResizeOurs, "ResizeDoubleLanczos3/ours", kW * 2, kH * 2, TResizeMethod::Lanczos);
ORLU_BENCH_ARGS(BinOurs, "Bin2/ours", 2);
ORLU_BENCH_ARGS(BinOurs, "Bin1.5/ours", 1);
ORLU_BENCH(FlipHOurs, "FlipH/ours");
ORLU_BENCH(FlipVOurs, "FlipV/ours");
#ifdef ORLU_BENCH_OPENCV
ORLU_BENCH(RotateOpenCV, "Rotate17.3/opencv");
ORLU_BENCH_ARGS(ResizeOpenCV, "ResizeHalfBilinear/opencv", kW / 2, kH / 2, cv::INTER_LINEAR);
ORLU_BENCH_ARGS(ResizeOpenCV, "ResizeHalfBicubic/opencv", kW / 2, kH / 2, cv::INTER_CUBIC);
ORLU_BENCH_ARGS(ResizeOpenCV, "ResizeHalfLanczos3/opencv", kW / 2, kH / 2, cv::INTER_LANCZOS4);
ORLU_BENCH_ARGS(ResizeOpenCV, "ResizeDoubleBilinear/opencv", kW * 2, kH * 2, cv::INTER_LINEAR);
ORLU_BENCH_ARGS(ResizeOpenCV, "ResizeDoubleBicubic/opencv", kW * 2, kH * 2, cv::INTER_CUBIC);
ORLU_BENCH_ARGS(ResizeOpenCV, "ResizeDoubleLanczos3/opencv", kW * 2, kH * 2, cv::INTER_LANCZOS4);
ORLU_BENCH_ARGS(ResizeOpenCV, "Bin2/opencv", kW / 2, kH / 2, cv::INTER_AREA);
ORLU_BENCH_ARGS(ResizeOpenCV, "Bin1.5/opencv", kW * 2 / 3, kH * 2 / 3, cv::INTER_AREA);
ORLU_BENCH_ARGS(FlipOpenCV, "FlipH/opencv", 1);
ORLU_BENCH_ARGS(FlipOpenCV, "FlipV/opencv", 0);
#endif

BENCHMARK_MAIN();
