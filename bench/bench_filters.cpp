// A trivial operation (add a constant) through the whole filter protocol on a 6000 × 4000
// colour image (three float planes, 288 MB): undo snapshot, rows in parallel from the undo
// copy into the image, the mask merge, the history entry and the statistics refresh; beside
// a memcpy of the image bytes, the bandwidth floor.
//
// Buffer policy: reused. One undo level, so every step recycles the one snapshot object
// (touched before timing); the memcpy peer copies the image's planes into that snapshot's
// planes, the same bytes and pages. Nobody pays first-touch page faults in the loop.
// Threads: the protocol's rows run on every processor (ParallelRows); the snapshot copy,
// the statistics and the memcpy peer run on one thread.
// "Masked": an ellipse over the middle of the image smoothed with sigma 20 (weights between
// 0 and 65535 along a wide border), so the merge blends most rows.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>

#include "document/uAstroDoc.h"
#include "options/uQuorvane.h"
#include "processing/uFilMan.h"

using namespace orlu;

namespace {

constexpr int kW = 6000, kH = 4000;
constexpr std::size_t kCount = std::size_t(kW) * kH;
constexpr std::size_t kBytes = 3 * kCount * sizeof(float);

struct Setup {
  std::unique_ptr<TAstroDocument> doc;
  TFilterRegistry registry;
  TFilterContext ctx;
  Setup() {
    Options().Misc.UndoLevels64 = 1;
    doc = TAstroDocument::NewDocument(kW, kH, true, true);
    std::mt19937 rng(1);
    std::uniform_int_distribution<int> u(0, 65535);
    TAImage& img = doc->Image();
    // Floating-point data: the statistics refresh of an integer image also rounds every
    // sample in place, a pass of its own that is not part of the protocol.
    img.IsFloat = 1;
    for (TBWImage* p : {img.MainPlane.get(), img.RedPlane.get(), img.BluePlane.get()})
      for (std::size_t i = 0; i < kCount; ++i) p->Data[i] = float(u(rng));
    TFilterOperation add;
    add.Code = 0;
    add.Run = [](TFilterRun& run) {
      const float c = float(run.Param(1, 0));
      const bool ok = run.ProcessPlanes([c](const TRowJob& j) {
        const float* s = j.Source.RowPointer(0, j.Row);
        float* d = j.Target.RowPointer(0, j.Row);
        for (int32_t x = j.Left; x <= j.Right; ++x) d[x] = s[x] + c;
      });
      return ok ? TOpResult::Done : TOpResult::Failed;
    };
    registry.Register(add);
    ctx.Registry = &registry;
    doc->TakeSnapshot();
  }
  void SetMask(bool on) {
    TAMask& m = *doc->Image().Mask;
    if (!on) {
      m.Release();
      return;
    }
    TAMask sharp;
    sharp.SetSize(kW, kH);
    sharp.Allocate();
    sharp.DrawRectOrEllipse(300, 200, kW - 301, kH - 201, true, 65535);
    m.EnsureStorage();
    m.Smooth(sharp, 20);
    m.InvalidateBounds();
  }
};

Setup& S() {
  static Setup s;
  return s;
}

void Run(benchmark::State& st, bool masked) {
  Setup& s = S();
  s.SetMask(masked);
  for (auto _ : st) {
    TIPFilter step(0);
    step.SetParam(1, 1);
    const TFilterResult r = RunFilterStep(*s.doc, step, s.ctx);
    if (r.Status != TFilterStatus::Done) st.SkipWithError("step failed");
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(kBytes));
}

void AddConstOurs(benchmark::State& st) { Run(st, false); }
void AddConstMaskedOurs(benchmark::State& st) { Run(st, true); }

void Memcpy(benchmark::State& st) {
  Setup& s = S();
  const TAImage& img = s.doc->Image();
  const TAImage& snap = *s.doc->Undo().Item(0);
  const float* from[3] = {img.MainPlane->Data, img.RedPlane->Data, img.BluePlane->Data};
  float* to[3] = {snap.MainPlane->Data, snap.RedPlane->Data, snap.BluePlane->Data};
  for (auto _ : st) {
    for (int p = 0; p < 3; ++p) std::memcpy(to[p], from[p], kCount * sizeof(float));
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(kBytes));
}

}  // namespace

#define ORLU_BENCH(fn, name) BENCHMARK(fn)->Name(name)->Unit(benchmark::kMillisecond)->UseRealTime()
ORLU_BENCH(AddConstOurs, "FilterAddConst/ours");
ORLU_BENCH(Memcpy, "FilterAddConst/memcpy");
ORLU_BENCH(AddConstMaskedOurs, "FilterAddConstMasked/ours");
ORLU_BENCH(Memcpy, "FilterAddConstMasked/memcpy");

BENCHMARK_MAIN();
