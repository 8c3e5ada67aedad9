// World-coordinate transforms: 10^6 pixel → sky and sky → pixel conversions through a
// TAN-SIP solution of third order (a few pixels of distortion at the corners), beside
// wcslib's wcsp2s/wcss2p on the same header. wcslib gets the whole array in one call (its
// fastest use); ours converts point by point as the viewer does. Buffers are reused.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "astrometry/ImaWCS.h"
#include "fits/ImaHeader.h"

#ifdef ORLU_BENCH_WCSLIB
#include <wcs.h>
#include <wcshdr.h>
#endif

namespace {

constexpr int kPoints = 1000000;
constexpr int kWidth = 4096, kHeight = 3072;

std::string Real(const char* key, double v) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "%-8.8s= %20.13E", key, v);
  return buf;
}

std::vector<std::string> HeaderCards() {
  std::vector<std::string> c = {"CTYPE1  = 'RA---TAN-SIP'", "CTYPE2  = 'DEC--TAN-SIP'",
                                Real("CRPIX1", 2048.5), Real("CRPIX2", 1536.5),
                                Real("CRVAL1", 150.2), Real("CRVAL2", 35.7),
                                Real("CD1_1", -2.9e-4), Real("CD1_2", 5.1e-5),
                                Real("CD2_1", 5.0e-5), Real("CD2_2", 2.9e-4),
                                "A_ORDER =                    3", "B_ORDER =                    3",
                                Real("A_2_0", 1.2e-6), Real("A_1_1", -7e-7), Real("A_0_2", 4e-7),
                                Real("A_3_0", 3e-10), Real("A_2_1", -1e-10), Real("A_1_2", 2e-10),
                                Real("A_0_3", 1e-10), Real("B_2_0", -5e-7), Real("B_1_1", 9e-7),
                                Real("B_0_2", 1.1e-6), Real("B_3_0", 1e-10), Real("B_2_1", 2e-10),
                                Real("B_1_2", -3e-10), Real("B_0_3", 2e-10)};
  return c;
}

// Pixel positions spread over the image (a fixed pseudo-random field).
const std::vector<double>& Pixels() {
  static const std::vector<double> p = [] {
    std::vector<double> v(2 * size_t(kPoints));
    uint32_t s = 1;
    for (int i = 0; i < kPoints; ++i) {
      s = s * 134775813u + 1u;
      v[2 * i] = (s >> 8) / double(1 << 24) * (kWidth - 1);
      s = s * 134775813u + 1u;
      v[2 * i + 1] = (s >> 8) / double(1 << 24) * (kHeight - 1);
    }
    return v;
  }();
  return p;
}

orlu::TWcs OurWcs() {
  orlu::TFitsStrings h;
  h.InitMinimal();
  for (const std::string& c : HeaderCards()) h.AddBeforeEnd(c);
  orlu::TWcs w;
  if (!w.ReadWCS(h) || !w.HasSIP) std::abort();
  return w;
}

void Pix2Sky_ours(benchmark::State& state) {
  const orlu::TWcs w = OurWcs();
  const std::vector<double>& pix = Pixels();
  std::vector<double> sky(pix.size());
  for (auto _ : state) {
    for (int i = 0; i < kPoints; ++i) w.PixelToSkyDeg(pix[2 * i], pix[2 * i + 1], sky[2 * i], sky[2 * i + 1]);
    benchmark::DoNotOptimize(sky.data());
  }
}

void Sky2Pix_ours(benchmark::State& state) {
  const orlu::TWcs w = OurWcs();
  const std::vector<double>& pix = Pixels();
  std::vector<double> sky(pix.size()), back(pix.size());
  for (int i = 0; i < kPoints; ++i) w.PixelToSky(pix[2 * i], pix[2 * i + 1], sky[2 * i], sky[2 * i + 1]);
  for (auto _ : state) {
    for (int i = 0; i < kPoints; ++i) w.SkyToPixel(sky[2 * i], sky[2 * i + 1], back[2 * i], back[2 * i + 1]);
    benchmark::DoNotOptimize(back.data());
  }
}

void RoundTrip_ours(benchmark::State& state) {
  const orlu::TWcs w = OurWcs();
  const std::vector<double>& pix = Pixels();
  std::vector<double> back(pix.size());
  double worst = 0;
  for (auto _ : state) {
    for (int i = 0; i < kPoints; ++i) {
      double ra, dec;
      w.PixelToSky(pix[2 * i], pix[2 * i + 1], ra, dec);
      w.SkyToPixel(ra, dec, back[2 * i], back[2 * i + 1]);
    }
    benchmark::DoNotOptimize(back.data());
  }
  for (size_t i = 0; i < pix.size(); ++i) worst = std::max(worst, std::fabs(back[i] - pix[i]));
  state.counters["max_err_px"] = worst;
}

BENCHMARK(Pix2Sky_ours)->Name("Pix2Sky/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Sky2Pix_ours)->Name("Sky2Pix/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(RoundTrip_ours)->Name("RoundTrip/ours")->Unit(benchmark::kMillisecond)->UseRealTime();

#ifdef ORLU_BENCH_WCSLIB
// One wcsprm from the same cards (80 columns each, as wcspih wants them).
struct TWcslib {
  wcsprm* W = nullptr;
  int N = 0;
  std::string Text;
  TWcslib() {
    for (std::string c : HeaderCards()) {
      c.resize(80, ' ');
      Text += c;
    }
    std::string end = "END";
    end.resize(80, ' ');
    Text += end;
    int nreject = 0;
    if (wcspih(Text.data(), int(Text.size() / 80), WCSHDR_all, 0, &nreject, &N, &W) || N < 1 ||
        wcsset(W) != 0)
      std::abort();
  }
  ~TWcslib() { wcsvfree(&N, &W); }
};

struct TWcslibBuffers {
  std::vector<double> Pix, Img, Phi, Theta, World, Back;
  std::vector<int> Stat;
  TWcslibBuffers()
      : Pix(2 * size_t(kPoints)), Img(Pix.size()), Phi(kPoints), Theta(kPoints),
        World(Pix.size()), Back(Pix.size()), Stat(kPoints) {
    const std::vector<double>& p = Pixels();
    for (size_t i = 0; i < p.size(); ++i) Pix[i] = p[i] + 1.0;  // 1-based pixels
  }
};

void Pix2Sky_wcslib(benchmark::State& state) {
  TWcslib w;
  TWcslibBuffers b;
  for (auto _ : state) {
    wcsp2s(w.W, kPoints, 2, b.Pix.data(), b.Img.data(), b.Phi.data(), b.Theta.data(),
           b.World.data(), b.Stat.data());
    benchmark::DoNotOptimize(b.World.data());
  }
}

void Sky2Pix_wcslib(benchmark::State& state) {
  TWcslib w;
  TWcslibBuffers b;
  wcsp2s(w.W, kPoints, 2, b.Pix.data(), b.Img.data(), b.Phi.data(), b.Theta.data(),
         b.World.data(), b.Stat.data());
  for (auto _ : state) {
    wcss2p(w.W, kPoints, 2, b.World.data(), b.Phi.data(), b.Theta.data(), b.Img.data(),
           b.Back.data(), b.Stat.data());
    benchmark::DoNotOptimize(b.Back.data());
  }
}

void RoundTrip_wcslib(benchmark::State& state) {
  TWcslib w;
  TWcslibBuffers b;
  for (auto _ : state) {
    wcsp2s(w.W, kPoints, 2, b.Pix.data(), b.Img.data(), b.Phi.data(), b.Theta.data(),
           b.World.data(), b.Stat.data());
    wcss2p(w.W, kPoints, 2, b.World.data(), b.Phi.data(), b.Theta.data(), b.Img.data(),
           b.Back.data(), b.Stat.data());
    benchmark::DoNotOptimize(b.Back.data());
  }
  double worst = 0;
  for (size_t i = 0; i < b.Pix.size(); ++i) worst = std::max(worst, std::fabs(b.Back[i] - b.Pix[i]));
  state.counters["max_err_px"] = worst;
  // Both programs must mean the same thing by the header.
  const orlu::TWcs ours = OurWcs();
  double ra, dec, dmax = 0;
  for (int i = 0; i < kPoints; i += 997) {
    ours.PixelToSkyDeg(b.Pix[2 * i] - 1, b.Pix[2 * i + 1] - 1, ra, dec);
    dmax = std::max({dmax, std::fabs(std::remainder(ra - b.World[2 * i], 360.0)),
                     std::fabs(dec - b.World[2 * i + 1])});
  }
  state.counters["max_diff_deg"] = dmax;
}

BENCHMARK(Pix2Sky_wcslib)->Name("Pix2Sky/wcslib")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Sky2Pix_wcslib)->Name("Sky2Pix/wcslib")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(RoundTrip_wcslib)->Name("RoundTrip/wcslib")->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

}  // namespace

BENCHMARK_MAIN();
