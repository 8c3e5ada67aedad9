// Cost of a parallel call: starting and joining the workers of an empty call, and a row loop
// over a 6000 x 4000 float plane beside the memory-bandwidth floor (memcpy of the same bytes).
// Buffers: reused (allocated and touched once before timing), for ours and the peers alike.
#include <benchmark/benchmark.h>

#include <cstring>
#include <thread>

#include "base/PixelMemory.h"
#include "image/LibThreads.h"

using namespace orlu;

namespace {

constexpr int32_t kWidth = 6000;
constexpr int32_t kHeight = 4000;
constexpr size_t kPixels = size_t(kWidth) * kHeight;

struct TPlanes {
  PixelBlockPtr<float> Src = AllocPixels<float>(kPixels);
  PixelBlockPtr<float> Dst = AllocPixels<float>(kPixels);
  TPlanes() {
    if (!Src || !Dst) return;
    for (size_t i = 0; i < kPixels; ++i) Src[i] = float(i % 65536);
    std::memset(Dst.get(), 0, kPixels * sizeof(float));
  }
};

TPlanes& Planes() {
  static TPlanes planes;
  return planes;
}

void ScaleRow(const float* src, float* dst, int32_t y) {
  const float* s = src + size_t(y) * kWidth;
  float* d = dst + size_t(y) * kWidth;
  for (int32_t x = 0; x < kWidth; ++x) d[x] = s[x] * 1.5f;
}

void EmptyCallOurs(benchmark::State& state) {
  for (auto _ : state) {
    TSyncCounter counter(2);
    ParallelCall(counter, [] {});
  }
}

// The floor: one bare thread started and joined.
void EmptyCallThread(benchmark::State& state) {
  for (auto _ : state) {
    std::thread t([] {});
    t.join();
  }
}

void RowScaleOurs(benchmark::State& state) {
  TPlanes& p = Planes();
  if (!p.Src || !p.Dst) return state.SkipWithError("Out of memory");
  const float* src = p.Src.get();
  float* dst = p.Dst.get();
  for (auto _ : state) {
    ParallelRows(kHeight, 0, [src, dst](int32_t y) { ScaleRow(src, dst, y); });
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kPixels * sizeof(float)));
  state.counters["workers"] = WorkerCount();
}

void RowScaleSerial(benchmark::State& state) {
  TPlanes& p = Planes();
  if (!p.Src || !p.Dst) return state.SkipWithError("Out of memory");
  for (auto _ : state) {
    for (int32_t y = 0; y < kHeight; ++y) ScaleRow(p.Src.get(), p.Dst.get(), y);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kPixels * sizeof(float)));
}

void RowScaleMemcpy(benchmark::State& state) {
  TPlanes& p = Planes();
  if (!p.Src || !p.Dst) return state.SkipWithError("Out of memory");
  for (auto _ : state) {
    std::memcpy(p.Dst.get(), p.Src.get(), kPixels * sizeof(float));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kPixels * sizeof(float)));
}

}  // namespace

BENCHMARK(EmptyCallOurs)->Name("EmptyParallelCall/ours")->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(EmptyCallThread)->Name("EmptyParallelCall/thread")->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(RowScaleOurs)->Name("RowScale/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(RowScaleMemcpy)->Name("RowScale/memcpy")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(RowScaleSerial)->Name("RowScale/serial")->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
