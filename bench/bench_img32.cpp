// Anti-aliased lines on the drawing surface beside QPainter with antialiasing drawing the
// same lines into the same buffer (wrapped as a QImage, no copy).
// Buffers: reused (one 4096 x 4096 surface allocated and touched before timing).
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <vector>

#include "annotate/Img32.h"

#if ORLU_BENCH_QT
#include <QImage>
#include <QLineF>
#include <QPainter>
#include <QPen>
#endif

using namespace orlu;

namespace {

constexpr int32_t kSide = 4096;
constexpr int kLines = 10000;
constexpr double kLength = 1000;

struct TLine {
  double X1, Y1, X2, Y2;
};

struct TScene {
  TImg32 Surface;
  std::vector<TLine> Lines;
  TScene() {
    Surface.SetSize(kSide, kSide);
    Surface.Fill(0xFF202020);
    // Random 1000-pixel lines in every direction, wholly inside the surface.
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> pos(kLength, kSide - 1 - kLength), ang(0, 6.283185307179586);
    for (int i = 0; i < kLines; ++i) {
      const double x = pos(rng), y = pos(rng), a = ang(rng);
      Lines.push_back({x, y, x + kLength * std::cos(a), y + kLength * std::sin(a)});
    }
  }
};

TScene& Scene() {
  static std::unique_ptr<TScene> s = std::make_unique<TScene>();
  return *s;
}

void BM_Lines10k_ours(benchmark::State& state) {
  TScene& s = Scene();
  for (auto _ : state) {
    for (const TLine& l : s.Lines) s.Surface.Line(l.X1, l.Y1, l.X2, l.Y2, 0x40C0FF, 1.0);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kLines);
}
BENCHMARK(BM_Lines10k_ours)->Name("Lines10k/ours")->Unit(benchmark::kMillisecond)->UseRealTime();

#if ORLU_BENCH_QT
void BM_Lines10k_qpainter(benchmark::State& state) {
  TScene& s = Scene();
  // The surface's rows are contiguous: row 0 first, as a QImage sees them.
  QImage image(reinterpret_cast<uchar*>(s.Surface.Row(0)), kSide, kSide, kSide * 4,
               QImage::Format_RGB32);
  const QPen pen(QColor(0x40, 0xC0, 0xFF), 1.0);
  for (auto _ : state) {
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(pen);
    for (const TLine& l : s.Lines) p.drawLine(QLineF(l.X1, l.Y1, l.X2, l.Y2));
    p.end();
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kLines);
}
BENCHMARK(BM_Lines10k_qpainter)->Name("Lines10k/qpainter")->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

}  // namespace

BENCHMARK_MAIN();
