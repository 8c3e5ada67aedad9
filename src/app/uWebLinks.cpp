#include "uWebLinks.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "document/uAstroDoc.h"
#include "image/ImaColor.h"

namespace orlu {

namespace {

constexpr double kDeg = M_PI / 180.0;

std::string Fixed(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

// A position as "ra+dec" or "ra-dec" in decimal degrees, URL-safe.
std::string Position(double ra, double dec) {
  return Fixed(ra, 6) + (dec < 0 ? "-" : "%2B") + Fixed(std::fabs(dec), 6);
}

}  // namespace

double AngularDistanceDeg(double ra1, double dec1, double ra2, double dec2) {
  const double a = std::sin((dec2 - dec1) * kDeg / 2), b = std::sin((ra2 - ra1) * kDeg / 2);
  const double h = a * a + std::cos(dec1 * kDeg) * std::cos(dec2 * kDeg) * b * b;
  return 2 * std::asin(std::min(1.0, std::sqrt(h))) / kDeg;
}

std::optional<TSkyView> ImageSkyView(const TAstroDocument& doc, double defaultFovDeg) {
  const TAImage& img = doc.Image();
  TSkyView v;
  if (doc.HasWcs()) {
    const double cx = (doc.Width() - 1) / 2.0, cy = (doc.Height() - 1) / 2.0;
    img.Wcs.PixelToSkyDeg(cx, cy, v.Ra, v.Dec);
    // The longer side measured across the centre.
    double ra1, dec1, ra2, dec2;
    if (doc.Width() >= doc.Height()) {
      img.Wcs.PixelToSkyDeg(-0.5, cy, ra1, dec1);
      img.Wcs.PixelToSkyDeg(doc.Width() - 0.5, cy, ra2, dec2);
    } else {
      img.Wcs.PixelToSkyDeg(cx, -0.5, ra1, dec1);
      img.Wcs.PixelToSkyDeg(cx, doc.Height() - 0.5, ra2, dec2);
    }
    v.FovDeg = AngularDistanceDeg(ra1, dec1, ra2, dec2);
    if (std::isfinite(v.Ra) && std::isfinite(v.Dec) && std::isfinite(v.FovDeg)) return v;
  }
  if (!doc.Pointing(v.Ra, v.Dec) || !std::isfinite(v.Ra) || !std::isfinite(v.Dec))
    return std::nullopt;
  v.FovDeg = defaultFovDeg;
  return v;
}

std::string SkyAtlasUrl(const TSkyView& v) {
  return "https://aladin.cds.unistra.fr/AladinLite/?target=" + Position(v.Ra, v.Dec) +
         "&fov=" + Fixed(std::clamp(v.FovDeg, 1e-4, 180.0), 4) + "&survey=P%2FDSS2%2Fcolor";
}

std::string ObjectQueryUrl(double ra, double dec, double radiusArcsec) {
  return "https://simbad.cds.unistra.fr/simbad/sim-coo?Coord=" + Position(ra, dec) +
         "&CooFrame=ICRS&Radius=" + Fixed(radiusArcsec, 0) + "&Radius.unit=arcsec";
}

}  // namespace orlu
