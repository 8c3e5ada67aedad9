// Writes the sample image shipped in data/: a 16-bit star field with a sky gradient, noise,
// a few hundred stars and a gnomonic world-coordinate solution. Deterministic: the same
// program always writes the same pixels.
//
//   orlu-make-sample OUT.fits
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <vector>

#include "fits/ImaFiles.h"
#include "image/ImaColor.h"

using namespace orlu;

namespace {

// The process-wide style LCG: state = state * 134775813 + 1 mod 2^32.
struct TLcg {
  uint32_t State = 20261210;
  double Uniform() {  // (0, 1)
    State = State * 134775813u + 1u;
    return (State + 0.5) / 4294967296.0;
  }
  double Gauss() {  // Box-Muller
    const double u = Uniform(), v = Uniform();
    return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * std::numbers::pi * v);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: orlu-make-sample OUT.fits\n");
    return 2;
  }
  constexpr int32_t W = 2400, H = 1600;
  TAImage image;
  image.SetSize(W, H, false);
  TBWImage& p = *image.MainPlane;
  TLcg rng;

  std::vector<double> sky(size_t(W) * H);
  for (int32_t y = 0; y < H; ++y)
    for (int32_t x = 0; x < W; ++x)
      sky[size_t(y) * W + x] = 900.0 + 0.12 * x + 0.05 * y + 3e-5 * (x - 1200.0) * (y - 800.0);

  // Stars: Gaussian profiles (FWHM about 3.2 px), fluxes from a steep power law.
  const double sigma = 3.2 / 2.3548;
  for (int s = 0; s < 450; ++s) {
    const double cx = 8 + rng.Uniform() * (W - 16), cy = 8 + rng.Uniform() * (H - 16);
    const double flux = 2500.0 * std::pow(rng.Uniform(), -1.4);
    const double peak = flux / (2 * std::numbers::pi * sigma * sigma);
    const int32_t r = int32_t(std::ceil(sigma * std::sqrt(2.0 * std::log(std::max(peak, 2.0)))));
    for (int32_t y = int32_t(cy) - r; y <= int32_t(cy) + r; ++y)
      for (int32_t x = int32_t(cx) - r; x <= int32_t(cx) + r; ++x) {
        if (x < 0 || y < 0 || x >= W || y >= H) continue;
        const double d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
        sky[size_t(y) * W + x] += peak * std::exp(-d2 / (2 * sigma * sigma));
      }
  }
  // Noise: read noise plus shot noise (gain 1), then the 16-bit range of the camera.
  for (size_t i = 0; i < sky.size(); ++i) {
    const double v = sky[i] + std::sqrt(sky[i] + 100.0) * rng.Gauss();
    p.Data[i] = float(std::nearbyint(std::clamp(v, 0.0, 65535.0)));
  }

  TFitsStrings& h = image.Header;
  h.SetString("OBJECT", "Orlu sample field", true);
  h.SetString("TELESCOP", "Synthetic 200/1000", true);
  h.SetString("INSTRUME", "Synthetic CMOS", true);
  h.SetString("DATE-OBS", "2026-01-15T21:30:00", true);
  h.SetReal("EXPTIME", true, 120.0);
  // Gnomonic solution: 1.6 arcsec per pixel, rotated by 8 degrees, east left.
  const double scale = 1.6 / 3600.0, rot = 8.0 * std::numbers::pi / 180.0;
  h.SetString("CTYPE1", "RA---TAN", true);
  h.SetString("CTYPE2", "DEC--TAN", true);
  h.SetReal("CRVAL1", true, 83.8221);
  h.SetReal("CRVAL2", true, -5.3911);
  h.SetReal("CRPIX1", true, (W + 1) / 2.0);
  h.SetReal("CRPIX2", true, (H + 1) / 2.0);
  h.SetReal("CD1_1", true, -scale * std::cos(rot));
  h.SetReal("CD1_2", true, scale * std::sin(rot));
  h.SetReal("CD2_1", true, scale * std::sin(rot));
  h.SetReal("CD2_2", true, scale * std::cos(rot));
  image.RefreshMinMax();
  if (!WriteFits(image, argv[1], true)) {
    std::fprintf(stderr, "orlu-make-sample: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
