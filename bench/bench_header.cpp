// Header reading of a multi-extension file: four 100 MB image extensions behind an empty
// primary. Neither reader may touch the data blocks, so the figures are header work and
// system calls (page cache warm; the file is sparse, its data were never written).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fits/ImaHeader.h"

#ifdef ORLU_BENCH_CFITSIO
#include <fitsio.h>
#endif

namespace {

constexpr int kExtensions = 4;
constexpr int kSide = 5000;  // 5000 x 5000 floats = 100 MB per extension
const char* const kPath = "/tmp/orlu_bench_header_4x100MB.fits";

std::string Blocks(const std::vector<std::string>& cards) {
  std::string out;
  for (std::string c : cards) {
    c.resize(80, ' ');
    out += c;
  }
  out.resize((out.size() + 2879) / 2880 * 2880, ' ');
  return out;
}

std::string Int(const char* key, long v) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "%-8.8s= %20ld", key, v);
  return buf;
}

// Writes the file once; later runs reuse it when its size is right.
const char* TestFile() {
  const int64_t dataBytes = int64_t{kSide} * kSide * 4;
  const int64_t dataPadded = (dataBytes + 2879) / 2880 * 2880;
  std::vector<std::string> prim = {"SIMPLE  =                    T", Int("BITPIX", 8), Int("NAXIS", 0),
                                   "EXTEND  =                    T", "DATE-OBS= '2023-03-15T22:30:00'",
                                   "TELESCOP= 'C14'", "END"};
  const std::string primary = Blocks(prim);
  std::vector<std::string> ext = {"XTENSION= 'IMAGE   '", Int("BITPIX", -32), Int("NAXIS", 2),
                                  Int("NAXIS1", kSide), Int("NAXIS2", kSide), Int("PCOUNT", 0),
                                  Int("GCOUNT", 1)};
  for (int i = 0; i < 40; ++i) ext.push_back(Int(("KEY" + std::to_string(i)).c_str(), i * 1000));
  ext.emplace_back("END");
  const std::string header = Blocks(ext);
  const int64_t total = static_cast<int64_t>(primary.size()) +
                        kExtensions * (static_cast<int64_t>(header.size()) + dataPadded);
  struct stat st{};
  if (::stat(kPath, &st) == 0 && st.st_size == total) return kPath;
  const int fd = ::open(kPath, O_CREAT | O_WRONLY | O_TRUNC, 0644);
  if (fd < 0) return nullptr;
  bool ok = ::pwrite(fd, primary.data(), primary.size(), 0) == static_cast<ssize_t>(primary.size());
  int64_t at = static_cast<int64_t>(primary.size());
  for (int e = 0; e < kExtensions && ok; ++e) {
    ok = ::pwrite(fd, header.data(), header.size(), at) == static_cast<ssize_t>(header.size());
    at += static_cast<int64_t>(header.size()) + dataPadded;
  }
  ok = ok && ::ftruncate(fd, total) == 0;
  ::close(fd);
  return ok ? kPath : nullptr;
}

void Ours(benchmark::State& state, int hdu) {
  const char* path = TestFile();
  if (!path) {
    state.SkipWithError("cannot write the test file");
    return;
  }
  for (auto _ : state) {
    orlu::TFitsStrings h;
    bool compressed = false;
    int64_t blocks = 0;
    if (h.ReadFromFile(path, hdu, compressed, blocks) != orlu::TFitsHeaderStatus::Ok) {
      state.SkipWithError("read failed");
      return;
    }
    benchmark::DoNotOptimize(h.Count());
  }
}

void BM_HeaderLastOfFour_ours(benchmark::State& s) { Ours(s, kExtensions); }
void BM_HeaderFirstWithCount_ours(benchmark::State& s) { Ours(s, 1); }
BENCHMARK(BM_HeaderLastOfFour_ours)->Name("HeaderLastOfFour/ours")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HeaderFirstWithCount_ours)->Name("HeaderFirstWithCount/ours")->Unit(benchmark::kMicrosecond);

#ifdef ORLU_BENCH_CFITSIO
// Open, move to the HDU, copy every card of its header; countHdus also walks the whole file
// as our count of image extensions does.
void Cfitsio(benchmark::State& state, int hdu, bool countHdus) {
  const char* path = TestFile();
  if (!path) {
    state.SkipWithError("cannot write the test file");
    return;
  }
  for (auto _ : state) {
    fitsfile* f = nullptr;
    int status = 0, type = 0, nkeys = 0, more = 0, nhdus = 0;
    fits_open_diskfile(&f, path, READONLY, &status);
    if (countHdus) fits_get_num_hdus(f, &nhdus, &status);
    fits_movabs_hdu(f, hdu + 1, &type, &status);
    fits_get_hdrspace(f, &nkeys, &more, &status);
    std::vector<std::string> cards;
    cards.reserve(static_cast<std::size_t>(nkeys));
    char card[FLEN_CARD];
    for (int i = 1; i <= nkeys && status == 0; ++i) {
      fits_read_record(f, i, card, &status);
      cards.emplace_back(card);
    }
    int closeStatus = 0;
    fits_close_file(f, &closeStatus);
    if (status != 0) {
      state.SkipWithError("cfitsio failed");
      return;
    }
    benchmark::DoNotOptimize(cards.size() + static_cast<std::size_t>(nhdus));
  }
}

void BM_HeaderLastOfFour_cfitsio(benchmark::State& s) { Cfitsio(s, kExtensions, false); }
void BM_HeaderFirstWithCount_cfitsio(benchmark::State& s) { Cfitsio(s, 1, true); }
BENCHMARK(BM_HeaderLastOfFour_cfitsio)->Name("HeaderLastOfFour/cfitsio")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HeaderFirstWithCount_cfitsio)->Name("HeaderFirstWithCount/cfitsio")->Unit(benchmark::kMicrosecond);
#endif

}  // namespace

BENCHMARK_MAIN();
