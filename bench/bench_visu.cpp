// Rendering an image through its visualization into a BGRA picture, beside the floor: the
// same samples mapped through a 4096-entry colour table with the same number of threads
// (one for gray images, two for large colour images), and a memcpy of the output bytes.
// Also the automatic range and the table rebuilds that run on every slider drag.
// Buffers: reused (allocated and touched once before timing), for ours and the floor alike.
#include <benchmark/benchmark.h>

#include <emmintrin.h>

#include <cstring>
#include <memory>
#include <random>

#include "base/PixelMemory.h"
#include "base/ProcessSwitches.h"
#include "image/ImaColor.h"
#include "image/LibThreads.h"
#include "visual/ImaRender.h"
#include "visual/ImaVisu.h"

using namespace orlu;

namespace {

struct TScene {
  std::unique_ptr<TAImage> Image = std::make_unique<TAImage>();
  TBgraBitmap Out;
  PixelBlockPtr<uint32_t> Copy;
  std::vector<uint32_t> Lut = std::vector<uint32_t>(4096);
  bool Ok = false;

  TScene(int32_t w, int32_t h, bool colour) {
    Image->SetSize(w, h, colour);
    if (Image->AllocFailed || !Out.SetSize(w, h)) return;
    Copy = AllocPixels<uint32_t>(size_t(w) * h);
    if (!Copy) return;
    std::mt19937 rng(7);
    auto fill = [&](TBWImage& p) {
      // Sky-like data: a background with noise and a tail of bright values.
      for (int32_t i = 0; i < p.Count; ++i) {
        const uint32_t r = rng();
        p.Data[i] = float(1000 + (r & 255) + ((r >> 8) % 97 == 0 ? (r >> 16) : 0));
      }
    };
    fill(*Image->MainPlane);
    if (colour) {
      fill(*Image->RedPlane);
      fill(*Image->BluePlane);
    }
    Image->RefreshMinMax();
    ApplyAutoVisualization(*Image);
    for (int i = 0; i < 4096; ++i) Lut[size_t(i)] = 0xFF000000u | uint32_t(i / 16) * 0x010101u;
    Out.Fill(0);
    std::memset(Copy.get(), 0, size_t(w) * h * 4);
    Ok = true;
  }
  int64_t Count() const { return Image->PixelCount(); }
};

TScene& Scene(int which) {
  static std::unique_ptr<TScene> scenes[3];
  if (!scenes[which]) {
    for (auto& s : scenes) s.reset();  // one big scene in memory at a time
    scenes[which] = which == 0   ? std::make_unique<TScene>(6000, 4000, false)
                    : which == 1 ? std::make_unique<TScene>(6000, 4000, true)
                                 : std::make_unique<TScene>(9576, 6388, false);
  }
  return *scenes[which];
}

// The floor: index = Round((v - low)·scale) held in 0..4095, one table load per sample.
void FloorRange(const float* src, const uint32_t* lut, uint32_t* dst, int64_t from, int64_t to,
                float low, float scale) {
  const __m128 l = _mm_set1_ps(low), s = _mm_set1_ps(scale), top = _mm_set1_ps(4095.0f);
  alignas(16) int32_t k[4];
  int64_t i = from;
  for (; i + 4 <= to; i += 4) {
    __m128 x = _mm_mul_ps(_mm_sub_ps(_mm_loadu_ps(src + i), l), s);
    x = _mm_max_ps(_mm_min_ps(x, top), _mm_setzero_ps());
    _mm_store_si128(reinterpret_cast<__m128i*>(k), _mm_cvtps_epi32(x));
    dst[i] = lut[k[0]];
    dst[i + 1] = lut[k[1]];
    dst[i + 2] = lut[k[2]];
    dst[i + 3] = lut[k[3]];
  }
  for (; i < to; ++i) dst[i] = lut[std::min(std::max(int32_t((src[i] - low) * scale), 0), 4095)];
}

// Colour floor: three channels through three tables.
void FloorColour(const TAImage& img, const uint32_t* lut, uint32_t* dst, int64_t from, int64_t to,
                 float low, float scale) {
  const float* p[3] = {img.RedPlane->Data, img.MainPlane->Data, img.BluePlane->Data};
  const __m128 l = _mm_set1_ps(low), s = _mm_set1_ps(scale), top = _mm_set1_ps(4095.0f);
  alignas(16) int32_t k[3][4];
  for (int64_t i = from; i + 4 <= to; i += 4) {
    for (int c = 0; c < 3; ++c) {
      __m128 x = _mm_mul_ps(_mm_sub_ps(_mm_loadu_ps(p[c] + i), l), s);
      x = _mm_max_ps(_mm_min_ps(x, top), _mm_setzero_ps());
      _mm_store_si128(reinterpret_cast<__m128i*>(k[c]), _mm_cvtps_epi32(x));
    }
    for (int j = 0; j < 4; ++j)
      dst[i + j] = (lut[k[0][j]] & 0xFFFF0000u) | (lut[k[1][j]] & 0xFF00u) | (lut[k[2][j]] & 0xFFu);
  }
}

void RenderOurs(benchmark::State& state, int which) {
  TScene& s = Scene(which);
  if (!s.Ok) return state.SkipWithError("Out of memory");
  for (auto _ : state) {
    RenderImage(*s.Image, s.Out);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * s.Count() * 4);
}

void RenderFloor(benchmark::State& state, int which) {
  TScene& s = Scene(which);
  if (!s.Ok) return state.SkipWithError("Out of memory");
  const float low = s.Image->Visu.Low;
  const float scale = 4095.0f / (s.Image->Visu.High - low);
  const bool colour = s.Image->IsColour();
  const int64_t n = s.Count();
  for (auto _ : state) {
    if (colour) {
      TSyncCounter counter(PermitMultithreading() ? 2 : 1);
      ParallelCall(counter, [&] {
        for (int32_t k; (k = counter.NextIndex()) >= 0 && k < 2;)
          FloorColour(*s.Image, s.Lut.data(), s.Out.Pixels(), k == 0 ? 0 : n / 2,
                      k == 0 ? n / 2 : n, low, scale);
      });
    } else {
      FloorRange(s.Image->MainPlane->Data, s.Lut.data(), s.Out.Pixels(), 0, n, low, scale);
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * n * 4);
}

void RenderMemcpy(benchmark::State& state, int which) {
  TScene& s = Scene(which);
  if (!s.Ok) return state.SkipWithError("Out of memory");
  for (auto _ : state) {
    std::memcpy(s.Copy.get(), s.Out.Pixels(), size_t(s.Count()) * 4);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * s.Count() * 4);
}

void AutoRange(benchmark::State& state) {
  TScene& s = Scene(0);
  if (!s.Ok) return state.SkipWithError("Out of memory");
  for (auto _ : state) benchmark::DoNotOptimize(AutoVisualization(*s.Image));
}

void TableRebuild(benchmark::State& state, int32_t type) {
  TScene& s = Scene(0);
  if (!s.Ok) return state.SkipWithError("Out of memory");
  TImageVisu& v = s.Image->Visu;
  v.TransferType = type;
  for (auto _ : state) {
    v.BuildTables(s.Image->MainPlane.get());
    benchmark::DoNotOptimize(v.LevelTable.data());
  }
}

}  // namespace

#define ORLU_RENDER(name, which)                                                       \
  BENCHMARK_CAPTURE(RenderOurs, name, which)->Name(#name "/ours")                      \
      ->Unit(benchmark::kMillisecond)->UseRealTime();                                  \
  BENCHMARK_CAPTURE(RenderFloor, name, which)->Name(#name "/floor")                    \
      ->Unit(benchmark::kMillisecond)->UseRealTime();                                  \
  BENCHMARK_CAPTURE(RenderMemcpy, name, which)->Name(#name "/memcpy")                  \
      ->Unit(benchmark::kMillisecond)->UseRealTime();

ORLU_RENDER(Render6000Mono, 0)
BENCHMARK(AutoRange)->Name("AutoRange24MP/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(TableRebuild, eq, 1000)->Name("EqualizedTable24MP/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(TableRebuild, gauss, 1004)->Name("GaussEqualizedTable24MP/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(TableRebuild, curve, 1002)->Name("CurveTable/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
ORLU_RENDER(Render6000Colour, 1)
ORLU_RENDER(Render9576Mono, 2)

BENCHMARK_MAIN();
