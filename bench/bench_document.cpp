// Undo snapshots of a 6000 × 4000 colour image (three float planes, 288 MB) beside a memcpy
// of the same bytes, the bandwidth floor.
//
// Buffer policy:
// - "TakeSnapshot": reused. One undo level, so every snapshot recycles the one snapshot
//   object, as a document does from the second operation on. The memcpy peer copies the
//   image's three planes into the snapshot's three planes: the very same bytes and pages,
//   so that whether the kernel happened to back them with huge pages (it varies from run
//   to run on a loaded machine) cannot favour either side. Nobody pays first-touch page
//   faults in the loop.
// - "TakeSnapshotFresh": fresh. Each iteration drops the snapshot first (as after a closed
//   dialog), so the copy lands in newly allocated planes; the memcpy peer allocates and
//   frees its 288 MB target in each iteration through the same pixel allocator.
// Threads: single-threaded for everyone.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>

#include "base/PixelMemory.h"
#include "document/uAstroDoc.h"
#include "options/uQuorvane.h"

using namespace orlu;

namespace {

constexpr int kW = 6000, kH = 4000;
constexpr std::size_t kCount = std::size_t(kW) * kH;
constexpr std::size_t kBytes = 3 * kCount * sizeof(float);

struct Buffers {
  std::unique_ptr<TAstroDocument> doc;
  PixelBlockPtr<float> src = AllocPixels<float>(3 * kCount);
  Buffers() {
    Options().Misc.UndoLevels64 = 1;
    doc = TAstroDocument::NewDocument(kW, kH, true, true);
    std::mt19937 rng(1);
    std::uniform_int_distribution<int> u(0, 65535);
    TAImage& img = doc->Image();
    for (TBWImage* p : {img.MainPlane.get(), img.RedPlane.get(), img.BluePlane.get()})
      for (std::size_t i = 0; i < kCount; ++i) p->Data[i] = float(u(rng));
    std::memcpy(src.get(), img.MainPlane->Data, kCount * sizeof(float));
    std::memcpy(src.get() + kCount, img.RedPlane->Data, kCount * sizeof(float));
    std::memcpy(src.get() + 2 * kCount, img.BluePlane->Data, kCount * sizeof(float));
  }
};

Buffers& B() {
  static Buffers b;
  return b;
}

void SnapshotOurs(benchmark::State& st) {
  Buffers& b = B();
  b.doc->TakeSnapshot();  // the snapshot object exists and is touched before timing
  for (auto _ : st) {
    b.doc->TakeSnapshot();
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(kBytes));
}

void SnapshotMemcpy(benchmark::State& st) {
  Buffers& b = B();
  b.doc->TakeSnapshot();
  const TAImage& img = b.doc->Image();
  const TAImage& snap = *b.doc->Undo().Item(0);
  const float* from[3] = {img.MainPlane->Data, img.RedPlane->Data, img.BluePlane->Data};
  float* to[3] = {snap.MainPlane->Data, snap.RedPlane->Data, snap.BluePlane->Data};
  for (auto _ : st) {
    for (int p = 0; p < 3; ++p) std::memcpy(to[p], from[p], kCount * sizeof(float));
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(kBytes));
}

void SnapshotFreshOurs(benchmark::State& st) {
  Buffers& b = B();
  for (auto _ : st) {
    st.PauseTiming();
    b.doc->DropSnapshot();
    st.ResumeTiming();
    b.doc->TakeSnapshot();
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(kBytes));
}

void SnapshotFreshMemcpy(benchmark::State& st) {
  Buffers& b = B();
  for (auto _ : st) {
    PixelBlockPtr<float> fresh = AllocPixels<float>(3 * kCount);
    std::memcpy(fresh.get(), b.src.get(), kBytes);
    benchmark::ClobberMemory();
    st.PauseTiming();
    fresh.reset();
    st.ResumeTiming();
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(kBytes));
}

}  // namespace

#define ORLU_BENCH(fn, name) BENCHMARK(fn)->Name(name)->Unit(benchmark::kMillisecond)->UseRealTime()
ORLU_BENCH(SnapshotOurs, "TakeSnapshot/ours");
ORLU_BENCH(SnapshotMemcpy, "TakeSnapshot/memcpy");
ORLU_BENCH(SnapshotFreshOurs, "TakeSnapshotFresh/ours");
ORLU_BENCH(SnapshotFreshMemcpy, "TakeSnapshotFresh/memcpy");

BENCHMARK_MAIN();
