// FITS reading and writing of a 6000 x 4000 image (16-bit unsigned and float32) beside
// CFITSIO in the same run, the bare read() of the file as the floor, and tile compression
// beside fpack run as a process. Files live in /tmp and are in the page cache (read once
// before timing). Buffers: reused for ours and the peers alike (the image object and the
// CFITSIO destination are allocated and touched once).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "base/PixelMemory.h"
#include "fits/ImaFiles.h"
#include "image/ImaColor.h"

#ifdef ORLU_BENCH_CFITSIO
#include <fitsio.h>
#endif

using namespace orlu;

namespace {

constexpr int32_t kWidth = 6000;
constexpr int32_t kHeight = 4000;
constexpr std::size_t kPixels = std::size_t(kWidth) * kHeight;

std::string TmpPath(const char* name) { return std::string("/tmp/orlu_bench_fits_") + name; }

// A sky-like frame: smooth background, noise, a few hundred stars.
void FillSky(TAImage& image, bool isFloat) {
  image.SetSize(kWidth, kHeight, false);
  image.IsFloat = isFloat ? 1 : 0;
  std::mt19937 gen(42);
  std::normal_distribution<float> noise(0.0f, 25.0f);
  float* d = image.MainPlane->Data;
  for (int32_t y = 0; y < kHeight; ++y)
    for (int32_t x = 0; x < kWidth; ++x) {
      const float v = 1200.0f + 0.05f * float(x) + 0.03f * float(y) + noise(gen);
      d[std::size_t(y) * kWidth + x] = isFloat ? v * 0.001f : std::nearbyint(v);
    }
  std::uniform_int_distribution<int32_t> px(10, kWidth - 11), py(10, kHeight - 11);
  for (int s = 0; s < 400; ++s) {
    const int32_t cx = px(gen), cy = py(gen);
    for (int32_t dy = -5; dy <= 5; ++dy)
      for (int32_t dx = -5; dx <= 5; ++dx) {
        float& p = d[std::size_t(cy + dy) * kWidth + cx + dx];
        const float star = 30000.0f * std::exp(-float(dx * dx + dy * dy) / 4.0f);
        p = isFloat ? p + star * 0.001f : std::nearbyint(p + star);
      }
  }
}

struct TFixture {
  std::string U16 = TmpPath("u16.fits");
  std::string F32 = TmpPath("f32.fits");
  TAImage ImageU16, ImageF32;  // sources for the writers
  TAImage Target;              // reused by our reader
  PixelBlockPtr<float> Peer = AllocPixels<float>(kPixels);  // reused by CFITSIO
  std::vector<char> Raw = std::vector<char>(kPixels * 4 + 2880 * 4);  // read() floor
  bool Ok = false;

  TFixture() {
    FillSky(ImageU16, false);
    FillSky(ImageF32, true);
    Ok = Peer && WriteFits(ImageU16, U16, false) && WriteFits(ImageF32, F32, false);
    if (Ok) std::fill(Peer.get(), Peer.get() + kPixels, 0.0f);
  }
};

TFixture& Fixture() {
  static TFixture f;
  return f;
}

int64_t ReadAll(const std::string& path, std::vector<char>& buf) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return -1;
  int64_t total = 0;
  for (;;) {
    const ssize_t r = ::read(fd, buf.data() + total, buf.size() - std::size_t(total));
    if (r <= 0) break;
    total += r;
    if (std::size_t(total) == buf.size()) break;
  }
  ::close(fd);
  return total;
}

// ---------------------------------------------------------------- reading

void ReadOurs(benchmark::State& state, bool f32) {
  TFixture& fx = Fixture();
  if (!fx.Ok) return state.SkipWithError("fixture");
  const std::string& path = f32 ? fx.F32 : fx.U16;
  ReadAll(path, fx.Raw);  // page cache
  fx.Target.Status = 0;
  ReadFits(fx.Target, path, 0, false);  // the planes are allocated and touched once
  for (auto _ : state) {
    fx.Target.Status = 0;
    ReadFits(fx.Target, path, 0, false);
    if (!(fx.Target.Status & kLoadLoaded)) return state.SkipWithError("read failed");
    benchmark::DoNotOptimize(fx.Target.MainPlane->Data[kPixels - 1]);
  }
}

void ReadFloor(benchmark::State& state, bool f32) {
  TFixture& fx = Fixture();
  if (!fx.Ok) return state.SkipWithError("fixture");
  const std::string& path = f32 ? fx.F32 : fx.U16;
  ReadAll(path, fx.Raw);
  for (auto _ : state) benchmark::DoNotOptimize(ReadAll(path, fx.Raw));
}

#ifdef ORLU_BENCH_CFITSIO
void ReadCfitsio(benchmark::State& state, bool f32) {
  TFixture& fx = Fixture();
  if (!fx.Ok) return state.SkipWithError("fixture");
  const std::string& path = f32 ? fx.F32 : fx.U16;
  ReadAll(path, fx.Raw);
  for (auto _ : state) {
    int status = 0;
    fitsfile* f = nullptr;
    fits_open_diskfile(&f, path.c_str(), READONLY, &status);
    long first[2] = {1, 1};
    int anyNull = 0;
    fits_read_pix(f, TFLOAT, first, long(kPixels), nullptr, fx.Peer.get(), &anyNull, &status);
    fits_close_file(f, &status);
    if (status) return state.SkipWithError("cfitsio read failed");
    benchmark::DoNotOptimize(fx.Peer[kPixels - 1]);
  }
}

void WriteCfitsio(benchmark::State& state, bool f32) {
  TFixture& fx = Fixture();
  if (!fx.Ok) return state.SkipWithError("fixture");
  const TAImage& src = f32 ? fx.ImageF32 : fx.ImageU16;
  std::string path("!");  // CFITSIO replaces an existing file
  path += TmpPath("out_cfitsio.fits");
  for (auto _ : state) {
    int status = 0;
    fitsfile* f = nullptr;
    long axes[2] = {kWidth, kHeight};
    fits_create_file(&f, path.c_str(), &status);
    fits_create_img(f, f32 ? FLOAT_IMG : USHORT_IMG, 2, axes, &status);
    long first[2] = {1, 1};
    fits_write_pix(f, TFLOAT, first, long(kPixels), src.MainPlane->Data, &status);
    fits_close_file(f, &status);
    if (status) return state.SkipWithError("cfitsio write failed");
  }
}
#endif

// ---------------------------------------------------------------- writing

void WriteOurs(benchmark::State& state, bool f32, bool compressed) {
  TFixture& fx = Fixture();
  if (!fx.Ok) return state.SkipWithError("fixture");
  TAImage& src = f32 ? fx.ImageF32 : fx.ImageU16;
  const std::string path = TmpPath(compressed ? "out_ours.fz" : "out_ours.fits");
  for (auto _ : state)
    if (!WriteFits(src, path, compressed)) return state.SkipWithError("write failed");
}

// fpack as a process on the plain file: its start-up and the read of its input count too.
void WriteFpack(benchmark::State& state, bool f32) {
  TFixture& fx = Fixture();
  if (!fx.Ok) return state.SkipWithError("fixture");
  const std::string in = f32 ? fx.F32 : fx.U16;
  const std::string out = TmpPath("out_fpack.fz");
  // Lossless: RICE_1 for integers, GZIP_2 without quantization for floats; one tile per row.
  std::string cmd("fpack ");
  cmd += f32 ? "-g2 -q 0" : "-r";
  cmd += " -O " + out + " " + in + " >/dev/null 2>&1";
  ReadAll(in, fx.Raw);
  for (auto _ : state) {
    std::remove(out.c_str());
    const auto t0 = std::chrono::steady_clock::now();
    const int rc = std::system(cmd.c_str());
    const auto t1 = std::chrono::steady_clock::now();
    if (rc != 0) return state.SkipWithError("fpack failed");
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
  }
}

}  // namespace

BENCHMARK_CAPTURE(ReadOurs, ours, false)->Name("ReadU16/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(ReadFloor, read, false)->Name("ReadU16/read")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(ReadOurs, ours, true)->Name("ReadF32/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(ReadFloor, read, true)->Name("ReadF32/read")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(WriteOurs, ours, false, false)->Name("WriteU16/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(WriteOurs, ours, true, false)->Name("WriteF32/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
#ifdef ORLU_BENCH_CFITSIO
BENCHMARK_CAPTURE(ReadCfitsio, cfitsio, false)->Name("ReadU16/cfitsio")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(ReadCfitsio, cfitsio, true)->Name("ReadF32/cfitsio")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(WriteCfitsio, cfitsio, false)->Name("WriteU16/cfitsio")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(WriteCfitsio, cfitsio, true)->Name("WriteF32/cfitsio")->Unit(benchmark::kMillisecond)->UseRealTime();
#endif
BENCHMARK_CAPTURE(WriteOurs, ours, false, true)->Name("WriteRice/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(WriteFpack, fpack, false)->Name("WriteRice/fpack")->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK_CAPTURE(WriteOurs, ours, true, true)->Name("WriteGzip/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(WriteFpack, fpack, true)->Name("WriteGzip/fpack")->Unit(benchmark::kMillisecond)->UseManualTime();

BENCHMARK_MAIN();
