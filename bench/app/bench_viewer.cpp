// Frame times of an image window: an 8000 × 6000 16-bit-like image in a 2560 × 1440 view,
// panned and zoomed, each frame painted synchronously (offscreen platform: into the window's
// backing store). Floors from the same run: a memcpy of the viewport's bytes, and Qt drawing
// a ready 2560 × 1440 picture. Buffers reused: the image is touched before timing.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>
#include <QMdiSubWindow>
#include <QPainter>
#include <QScrollBar>

#include <clocale>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "fChild.h"
#include "fMain.h"
#include "ViewRender.h"
#include "image/ImaColor.h"
#include "visual/ImaVisu.h"

using namespace orlu;

namespace {

constexpr int kViewW = 2560;
constexpr int kViewH = 1440;

struct TViewer {
  std::unique_ptr<TFormMain> Main;
  TFormChild* Child = nullptr;
  bool Ok = false;

  TViewer() {
    Main = std::make_unique<TFormMain>(QString());
    Main->resize(kViewW + 200, kViewH + 300);
    Main->show();
    auto doc = TAstroDocument::NewDocument(8000, 6000, false, true);
    if (!doc) return;
    TAImage& img = doc->Image();
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> d(900, 1400);
    float* p = img.MainPlane->Data;
    for (int64_t i = 0; i < img.PixelCount(); ++i) p[i] = float(d(rng));
    img.RefreshStatistics();
    ApplyAutoVisualization(img);
    Child = Main->ShowDocument(std::move(doc), 0, false);
    if (!Child) return;
    Child->SubWindow()->showMaximized();
    QApplication::processEvents();
    // The viewport exactly 2560 × 1440: the frame around it follows.
    const QSize vp = Child->Panel()->viewport()->size();
    Main->resize(Main->size() + QSize(kViewW, kViewH) - vp);
    QApplication::processEvents();
    Ok = Child->Panel()->viewport()->size() == QSize(kViewW, kViewH);
  }
  // One frame as the event loop makes it: the pending paint of what changed, then flushed.
  void Frame() { QApplication::processEvents(); }
};

TViewer& Viewer() {
  static TViewer v;
  return v;
}

void BM_Pan(benchmark::State& state, int32_t code) {
  TViewer& v = Viewer();
  if (!v.Ok) {
    state.SkipWithError("no 2560 x 1440 view");
    return;
  }
  v.Child->SetZoom(code);
  QScrollBar* h = v.Child->Panel()->horizontalScrollBar();
  QScrollBar* vb = v.Child->Panel()->verticalScrollBar();
  int step = 0;
  for (auto _ : state) {
    ++step;
    h->setValue((step * 37) % (h->maximum() + 1));
    vb->setValue((step * 23) % (vb->maximum() + 1));
    v.Frame();
  }
}

void BM_Zoom(benchmark::State& state) {
  TViewer& v = Viewer();
  if (!v.Ok) {
    state.SkipWithError("no 2560 x 1440 view");
    return;
  }
  v.Child->SetZoom(0);
  bool in = true;
  for (auto _ : state) {
    // 100 % ⇄ 200 %, and each zoom's frame.
    v.Child->SetZoom(in ? 1 : 0);
    in = !in;
    v.Frame();
  }
}

void BM_FitFrame(benchmark::State& state) {
  TViewer& v = Viewer();
  if (!v.Ok) {
    state.SkipWithError("no 2560 x 1440 view");
    return;
  }
  v.Child->FitToWindow();
  for (auto _ : state) {
    // A new view range each frame: everything is rendered again.
    v.Child->Document().RefreshViews();
    v.Frame();
  }
}

// The renderer alone: sampling the shown pixels and the core's level and palette pass.
void BM_Render(benchmark::State& state) {
  TViewer& v = Viewer();
  if (!v.Ok) {
    state.SkipWithError("no 2560 x 1440 view");
    return;
  }
  const TAImage& img = v.Child->Document().Image();
  const std::vector<int32_t> cols = ZoomedIndices(1000, kViewW, 960);
  std::vector<int32_t> rows = ZoomedIndices(1000, kViewH, 960);
  FlipRows(rows, img.Height());
  TViewRenderer r;
  TViewPicture out;
  for (auto _ : state) r.Render(img, cols, rows, out);
}

void BM_Memcpy(benchmark::State& state) {
  std::vector<uint32_t> a(size_t(kViewW) * kViewH, 1), b(a.size(), 2);
  for (auto _ : state) {
    std::memcpy(b.data(), a.data(), a.size() * 4);
    benchmark::DoNotOptimize(b.data());
  }
}

void BM_QtBlit(benchmark::State& state) {
  QImage src(kViewW, kViewH, QImage::Format_RGB32);
  src.fill(0xFF406080);
  QImage dst(kViewW, kViewH, QImage::Format_ARGB32_Premultiplied);
  dst.fill(0);
  for (auto _ : state) {
    QPainter p(&dst);
    p.drawImage(0, 0, src);
  }
}

}  // namespace

BENCHMARK_CAPTURE(BM_Pan, pan100, 0)->Name("ViewPan100/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Pan, pan300, 2)->Name("ViewPan300/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Render)->Name("ViewRender/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Zoom)->Name("ViewZoom/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FitFrame)->Name("ViewFit/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Memcpy)->Name("ViewPan100/memcpy")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_QtBlit)->Name("ViewPan100/qtblit")->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  std::setlocale(LC_NUMERIC, "C");
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  Viewer().Main->CloseQuestionHook = [](TAstroDocument&, bool) { return TCloseAnswer::DontSave; };
  Viewer().Main.reset();
  return 0;
}
