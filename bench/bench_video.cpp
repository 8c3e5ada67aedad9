// Video frames: frame 9999 of a 640 x 480 16-bit SER beside pread of the same bytes into a
// reused buffer (the I/O floor), and the first frame of a 640 x 480 MJPEG AVI beside the
// ffmpeg tool writing that frame as raw BGR (a process: its start-up counts, manual time).
// Files live in /tmp and are in the page cache (read once before timing). The SER is sparse:
// only its header, frame 9999 and its trailer hold data. Buffers are reused: the image
// object keeps its planes between iterations, as the pread buffer does.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "formats/uAvi.h"
#include "formats/uSer.h"
#include "image/ImaColor.h"

using namespace orlu;

namespace {

constexpr int32_t kW = 640, kH = 480, kFrames = 10000, kFrame = 9999;
constexpr int64_t kFrameBytes = int64_t(kW) * kH * 2;

const std::string kSer = "/tmp/orlu_bench_video.ser";
const std::string kAvi = "/tmp/orlu_bench_video.avi";

void PutU32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s += char((v >> (8 * i)) & 0xFF);
}

// Writes the SER once (header, frame 9999, trailer; the other frames are holes).
bool MakeSer() {
  if (::access(kSer.c_str(), R_OK) == 0) return true;
  std::string h = "LUCAM-RECORDER";
  for (uint32_t v : {0u, 0u, 0u, uint32_t(kW), uint32_t(kH), 16u, uint32_t(kFrames)}) PutU32(h, v);
  h.resize(178, '\0');
  std::vector<uint16_t> frame(size_t(kW) * kH);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = uint16_t(i * 2654435761u >> 16);
  std::vector<uint64_t> stamps(kFrames);
  for (int32_t i = 0; i < kFrames; ++i) stamps[size_t(i)] = 638000000000000000ull + uint64_t(i) * 200000;
  const int fd = ::open((kSer + ".tmp").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  const int64_t frameAt = 178 + int64_t(kFrame) * kFrameBytes;
  const int64_t trailerAt = 178 + int64_t(kFrames) * kFrameBytes;
  bool ok = ::pwrite(fd, h.data(), h.size(), 0) == ssize_t(h.size()) &&
            ::pwrite(fd, frame.data(), size_t(kFrameBytes), frameAt) == kFrameBytes &&
            ::pwrite(fd, stamps.data(), stamps.size() * 8, trailerAt) == ssize_t(stamps.size() * 8);
  ok = ::close(fd) == 0 && ok;
  return ok && std::rename((kSer + ".tmp").c_str(), kSer.c_str()) == 0;
}

bool MakeAvi() {
  if (::access(kAvi.c_str(), R_OK) == 0) return true;
  const std::string cmd = "ffmpeg -v error -y -f lavfi -i testsrc2=size=640x480:rate=25 "
                          "-frames:v 25 -c:v mjpeg -q:v 3 " + kAvi + ".tmp.avi && mv " + kAvi +
                          ".tmp.avi " + kAvi;
  return std::system(cmd.c_str()) == 0;
}

void SerOurs(benchmark::State& state) {
  if (!MakeSer()) return state.SkipWithError("cannot write the SER file");
  TAImage image;
  LoadSer(kSer, kFrame, image);  // sizes the planes and warms the page cache
  for (auto _ : state) {
    image.Status = 0;
    image.Header.Clear();
    LoadSer(kSer, kFrame, image);
    benchmark::DoNotOptimize(image.MainPlane->Data);
    if (!(image.Status & 0x80)) return state.SkipWithError("SER frame did not load");
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kFrameBytes);
}

void SerPread(benchmark::State& state) {
  if (!MakeSer()) return state.SkipWithError("cannot write the SER file");
  std::vector<uint8_t> buf(size_t(kFrameBytes), 1);
  const int64_t at = 178 + int64_t(kFrame) * kFrameBytes;
  for (auto _ : state) {
    const int fd = ::open(kSer.c_str(), O_RDONLY | O_CLOEXEC);
    const ssize_t got = ::pread(fd, buf.data(), buf.size(), at);
    ::close(fd);
    benchmark::DoNotOptimize(buf.data());
    if (got != kFrameBytes) return state.SkipWithError("short read");
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kFrameBytes);
}

void AviOurs(benchmark::State& state) {
  if (!MakeAvi()) return state.SkipWithError("ffmpeg could not make the AVI file");
  TAImage image;
  for (auto _ : state) {
    image.Status = 0;
    image.Header.Clear();
    LoadAvi(kAvi, image);
    if (!(image.Status & 0x80)) return state.SkipWithError("AVI frame did not load");
    benchmark::DoNotOptimize(image.MainPlane->Data);
  }
}

void AviFfmpeg(benchmark::State& state) {
  if (!MakeAvi()) return state.SkipWithError("ffmpeg could not make the AVI file");
  const std::string cmd = "ffmpeg -v error -y -i " + kAvi +
                          " -frames:v 1 -f rawvideo -pix_fmt bgr24 /tmp/orlu_bench_video_out.raw";
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    const int rc = std::system(cmd.c_str());
    const auto t1 = std::chrono::steady_clock::now();
    if (rc != 0) return state.SkipWithError("ffmpeg failed");
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
  }
}

}  // namespace

BENCHMARK(SerOurs)->Name("SerFrame/ours")->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(SerPread)->Name("SerFrame/pread")->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(AviOurs)->Name("AviFirstFrame/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(AviFfmpeg)->Name("AviFirstFrame/ffmpeg")->Unit(benchmark::kMillisecond)->UseManualTime();

BENCHMARK_MAIN();
