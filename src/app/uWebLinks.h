// Web links of an image: an online sky atlas centred on the image with its field of view, and
// an object database queried around a point. Qt-free.
#pragma once

#include <optional>
#include <string>

namespace orlu {

class TAstroDocument;

struct TSkyView {
  double Ra = 0;      // degrees
  double Dec = 0;     // degrees
  double FovDeg = 0;  // the longer side
};

// Great-circle distance in degrees.
double AngularDistanceDeg(double ra1, double dec1, double ra2, double dec2);
// The image centre and field of view from the solution; without one the header's pointing
// with defaultFovDeg; nullopt when no position is known.
std::optional<TSkyView> ImageSkyView(const TAstroDocument& doc, double defaultFovDeg);
// The sky atlas page (Aladin Lite) of a view.
std::string SkyAtlasUrl(const TSkyView& view);
// The object database query (SIMBAD, by coordinates) around a position.
std::string ObjectQueryUrl(double ra, double dec, double radiusArcsec);

}  // namespace orlu
