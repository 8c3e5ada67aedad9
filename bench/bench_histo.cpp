// Histogram window recount and the freehand mask fill, each beside OpenCV on the same data.
//
// HistoRecount: a 6000 × 4000 float plane (24 MP) counted into 512 bins over a value axis
// that covers the data (the histogram window's recount after an axis change), beside
// cv::calcHist on the same CV_32F data, 512 uniform bins over the same range.
// MaskFreehandFill: a closed 5000-vertex freehand outline (a wobbly ring drawn with the mask
// path tool) filled into an 8000 × 6000 mask, beside cv::fillPoly into a CV_16U matrix.
// Buffer policy: every plane, mask and matrix is allocated and touched once before timing
// and reused by every iteration. Threads: both sides as they run by default.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "formula/ImaMask.h"
#include "image/ImaColor.h"
#include "stats/HistoStats.h"

#ifdef ORLU_BENCH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

using namespace orlu;

namespace {

constexpr int kW = 6000, kH = 4000;

struct Histo {
  TAImage Image;
  THistoModel Model;
  Histo() {
    Image.SetSize(kW, kH, false);
    Image.IsFloat = 1;
    std::mt19937 rng(7);
    std::normal_distribution<float> sky(1000.0f, 30.0f);
    float* p = Image.MainPlane->Data;
    for (int64_t i = 0; i < Image.PixelCount(); ++i) p[i] = sky(rng);
    Model.AxisStart = 800;
    Model.AxisSpan = 400;
  }
};

Histo& H() {
  static Histo h;
  return h;
}

void BM_HistoRecount_ours(benchmark::State& st) {
  Histo& h = H();
  for (auto _ : st) {
    h.Model.Count(h.Image, 514);
    benchmark::DoNotOptimize(h.Model.MainBins.data());
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * kW * kH * 4);
}
BENCHMARK(BM_HistoRecount_ours)->Name("HistoRecount/ours")->Unit(benchmark::kMillisecond)->UseRealTime();

#ifdef ORLU_BENCH_OPENCV
void BM_HistoRecount_opencv(benchmark::State& st) {
  Histo& h = H();
  const cv::Mat m(kH, kW, CV_32F, h.Image.MainPlane->Data);
  cv::Mat hist;
  const int channels[] = {0};
  const int sizes[] = {512};
  const float range[] = {800.0f, 1200.0f};
  const float* ranges[] = {range};
  for (auto _ : st) {
    cv::calcHist(&m, 1, channels, cv::Mat(), hist, 1, sizes, ranges);
    benchmark::DoNotOptimize(hist.data);
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * kW * kH * 4);
}
BENCHMARK(BM_HistoRecount_opencv)->Name("HistoRecount/opencv")->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

constexpr int kMW = 8000, kMH = 6000, kVertices = 5000;

// A closed wobbly ring of 5000 vertices around the picture's centre, as a freehand outline.
std::vector<TMaskPoint> Outline() {
  std::vector<TMaskPoint> v;
  v.reserve(kVertices);
  for (int i = 0; i < kVertices; ++i) {
    const double a = 2 * M_PI * i / kVertices;
    const double r = 2600 + 250 * std::sin(17 * a) + 90 * std::sin(131 * a);
    v.push_back({int32_t(4000 + r * std::cos(a)), int32_t(3000 + 0.95 * r * std::sin(a))});
  }
  return v;
}

struct Fill {
  TAMask Mask{0};
  std::vector<TMaskPoint> V = Outline();
  bool Ok = false;
#ifdef ORLU_BENCH_OPENCV
  cv::Mat M = cv::Mat(kMH, kMW, CV_16U);
  std::vector<cv::Point> P;
#endif
  Fill() {
    Mask.SetSize(kMW, kMH);
    Ok = Mask.Allocate();
    if (Ok) Mask.Fill(0);
#ifdef ORLU_BENCH_OPENCV
    M.setTo(0);
    for (const TMaskPoint& p : V) P.emplace_back(p.X, p.Y);
#endif
  }
};

Fill& F() {
  static Fill f;
  return f;
}

void BM_MaskFreehandFill_ours(benchmark::State& st) {
  Fill& f = F();
  if (!f.Ok) return st.SkipWithError("no memory");
  for (auto _ : st) {
    f.Mask.FillPolygon(f.V, 65535);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_MaskFreehandFill_ours)->Name("MaskFreehandFill/ours")->Unit(benchmark::kMillisecond)->UseRealTime();

#ifdef ORLU_BENCH_OPENCV
void BM_MaskFreehandFill_opencv(benchmark::State& st) {
  Fill& f = F();
  const cv::Point* pts[] = {f.P.data()};
  const int n[] = {int(f.P.size())};
  for (auto _ : st) {
    cv::fillPoly(f.M, pts, n, 1, cv::Scalar(65535));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_MaskFreehandFill_opencv)->Name("MaskFreehandFill/opencv")->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

}  // namespace

BENCHMARK_MAIN();
