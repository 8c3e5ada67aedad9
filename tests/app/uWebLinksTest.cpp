// Web links: the sky view of an image and the addresses built from it.
#include <gtest/gtest.h>

#include "uWebLinks.h"

using namespace orlu;

TEST(WebLinks, AngularDistance) {
  EXPECT_NEAR(AngularDistanceDeg(0, 0, 90, 0), 90, 1e-12);
  EXPECT_NEAR(AngularDistanceDeg(10, 89, 190, 89), 2, 1e-9);  // across the pole
  EXPECT_NEAR(AngularDistanceDeg(359.5, 0, 0.5, 0), 1, 1e-12);
  EXPECT_EQ(AngularDistanceDeg(12, -30, 12, -30), 0);
}

TEST(WebLinks, Addresses) {
  EXPECT_EQ(SkyAtlasUrl(TSkyView{10.684708, 41.26875, 1.5}),
            "https://aladin.cds.unistra.fr/AladinLite/?target=10.684708%2B41.268750&fov=1.5000"
            "&survey=P%2FDSS2%2Fcolor");
  EXPECT_EQ(ObjectQueryUrl(83.8221, -5.3911, 30),
            "https://simbad.cds.unistra.fr/simbad/sim-coo?Coord=83.822100-5.391100&CooFrame=ICRS"
            "&Radius=30&Radius.unit=arcsec");
}
