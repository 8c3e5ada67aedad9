// World coordinates: header precedence, card round trips, transforms checked against
// spherical geometry, geometry updates checked on a star field, polynomial files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <unistd.h>
#include <numbers>
#include <string>
#include <vector>

#include "astrometry/ImaWCS.h"
#include "astrometry/LibAstro.h"
#include "base/EOrluError.h"
#include "fits/ImaHeader.h"
#include "image/ImaColor.h"

using namespace orlu;
namespace fs = std::filesystem;

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kRad = kPi / 180.0;
constexpr double kArcsec = kRad / 3600.0;

using Cards = std::vector<std::string>;

// "KEY     = value" cards; a value beginning with a quote is a string.
TFitsStrings HeaderOf(const Cards& keyValues) {
  TFitsStrings h;
  h.InitMinimal();
  for (const std::string& kv : keyValues) {
    const size_t eq = kv.find('=');
    std::string key = kv.substr(0, eq);
    key.resize(8, ' ');
    h.AddBeforeEnd(key + "= " + kv.substr(eq + 1));
  }
  return h;
}

const Cards kTanBase = {"CTYPE1='RA---TAN'", "CTYPE2='DEC--TAN'", "CRPIX1=512.5",
                        "CRPIX2=384.0",      "CRVAL1=150.25",     "CRVAL2=-30.5"};

Cards With(Cards base, const Cards& more) {
  base.insert(base.end(), more.begin(), more.end());
  return base;
}

// A TAN record of 1"/pixel, east left, north up, rotated by rotDeg, around (ra, dec).
TWcs MakeWcs(double raDeg, double decDeg, double rotDeg, double x0 = 511.5, double y0 = 383.0) {
  TWcs w;
  w.InitWCS(1024, 768);
  w.RA0 = raDeg * kRad;
  w.Dec0 = decDeg * kRad;
  w.X0 = x0;
  w.Y0 = y0;
  const double c = std::cos(rotDeg * kRad), s = std::sin(rotDeg * kRad);
  w.CD11 = -kArcsec * c;
  w.CD12 = kArcsec * s;
  w.CD21 = kArcsec * s;
  w.CD22 = kArcsec * c;
  w.UpdateDerived();
  return w;
}

// Moderate distortion: a few pixels at the corners of a 1024 × 768 field.
void AddSip(TWcs& w, bool order4) {
  w.HasSIP = true;
  w.SipA.Coef = {0, 0, 0, 1.5e-6, 4e-6, -2e-6, 3e-9, -1e-9, 2e-9, 1e-9, 0, 0, 0, 0, 0};
  w.SipB.Coef = {0, 0, 0, -2e-6, 1e-6, 3e-6, -2e-9, 2e-9, 1e-9, -3e-9, 0, 0, 0, 0, 0};
  if (order4) {
    w.SipA.Coef[10] = 2e-12;
    w.SipA.Coef[13] = -3e-12;
    w.SipB.Coef[12] = 1e-12;
    w.SipB.Coef[14] = 2e-12;
    w.SipA.Order4 = w.SipB.Order4 = true;
  }
}

std::vector<std::array<double, 2>> StarField() {
  std::vector<std::array<double, 2>> p;
  uint32_t s = 12345;
  for (int i = 0; i < 40; ++i) {
    s = s * 134775813u + 1u;
    const double x = (s >> 8) % 10240 / 10.0;
    s = s * 134775813u + 1u;
    const double y = (s >> 8) % 7680 / 10.0;
    p.push_back({x, y});
  }
  p.push_back({0, 0});
  p.push_back({1023, 767});
  return p;
}

double Sep(double ra1, double dec1, double ra2, double dec2) {
  return AngularSeparation(dec2, dec1, ra2, ra1);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Reading

TEST(ImaWCS, HeaderPrecedenceTable) {
  const double c30 = std::cos(30 * kRad), s30 = std::sin(30 * kRad);
  struct Row {
    const char* name;
    Cards cards;
    bool found;
    double cd[4];  // degrees
  };
  const Row rows[] = {
      {"CD form", {"CD1_1=-2E-4", "CD1_2=1E-5", "CD2_1=2E-5", "CD2_2=3E-4"}, true,
       {-2e-4, 1e-5, 2e-5, 3e-4}},
      {"CD beats the others",
       {"CD1_1=-2E-4", "CD1_2=0", "CD2_1=0", "CD2_2=2E-4", "CD001001=5", "CD001002=0",
        "CD002001=0", "CD002002=5", "CDELT1=7", "CDELT2=7"},
       true, {-2e-4, 0, 0, 2e-4}},
      {"incomplete CD falls to CD001001",
       {"CD1_1=-2E-4", "CD1_2=0", "CD2_1=0", "CD001001=-1E-4", "CD001002=0", "CD002001=0",
        "CD002002=1E-4", "CDELT1=-0.001", "CDELT2=0.001"},
       true, {-1e-4, 0, 0, 1e-4}},
      {"incomplete CD falls to CDELT", {"CD1_1=-2E-4", "CD1_2=0", "CD2_1=0", "CDELT1=-0.001", "CDELT2=0.001"},
       true, {-0.001, 0, 0, 0.001}},
      {"CDELT with CROTA2",
       {"CDELT1=-0.001", "CDELT2=0.002", "CROTA2=30"},
       true, {-0.001 * c30, -0.002 * s30, -0.001 * s30, 0.002 * c30}},
      {"CDELT with PC001001",
       {"CDELT1=-0.001", "CDELT2=0.002", "PC001001=0.5", "PC001002=0.25", "PC002001=-0.25",
        "PC002002=0.75"},
       true, {-0.0005, -0.00025, -0.0005, 0.0015}},
      {"PCi_j, missing elements from the unit matrix",
       {"CDELT1=-0.001", "CDELT2=0.002", "PC1_2=0.25", "PC2_1=-0.25", "CROTA2=45"},
       true, {-0.001, -0.00025, -0.0005, 0.002}},
      {"PCi_j before PC001001",
       {"CDELT1=-0.001", "CDELT2=0.001", "PC1_1=1", "PC2_2=-1", "PC001001=3", "PC001002=0",
        "PC002001=0", "PC002002=3"},
       true, {-0.001, 0, 0, -0.001}},
      {"FORTRAN exponent", {"CDELT1=-1.0D-03", "CDELT2=1.0D-03"}, true, {-0.001, 0, 0, 0.001}},
      {"no matrix at all", {"CDELT1=-0.001"}, false, {}},
      {"singular CD", {"CD1_1=1E-4", "CD1_2=2E-4", "CD2_1=1E-4", "CD2_2=2E-4"}, false, {}},
      {"zero CDELT", {"CDELT1=0", "CDELT2=0.001"}, false, {}},
      {"string CD element", {"CD1_1='abc'", "CD1_2=0", "CD2_1=0", "CD2_2=1E-4"}, false, {}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    TWcs w;
    w.InitWCS(100, 100);
    const TWcs before = w;
    ASSERT_EQ(w.ReadWCS(HeaderOf(With(kTanBase, r.cards))), r.found);
    if (!r.found) {
      EXPECT_EQ(w, before);  // untouched
      continue;
    }
    EXPECT_NEAR(w.CD11 / kRad, r.cd[0], 1e-15);
    EXPECT_NEAR(w.CD12 / kRad, r.cd[1], 1e-15);
    EXPECT_NEAR(w.CD21 / kRad, r.cd[2], 1e-15);
    EXPECT_NEAR(w.CD22 / kRad, r.cd[3], 1e-15);
    EXPECT_DOUBLE_EQ(w.X0, 511.5);
    EXPECT_DOUBLE_EQ(w.Y0, 383.0);
    EXPECT_DOUBLE_EQ(w.RA0, 150.25 * kRad);
    EXPECT_DOUBLE_EQ(w.Dec0, -30.5 * kRad);
    EXPECT_DOUBLE_EQ(w.SinDec0, std::sin(-30.5 * kRad));
    EXPECT_NEAR(w.ICD11 * w.CD11 + w.ICD12 * w.CD21, 1.0, 1e-12);
    EXPECT_FALSE(w.HasSIP);
  }
}

TEST(ImaWCS, OnlyCelestialTanIsTaken) {
  const Cards cd = {"CRPIX1=512.5", "CRPIX2=384", "CRVAL1=150", "CRVAL2=-30", "CD1_1=-2E-4",
                    "CD1_2=0", "CD2_1=0", "CD2_2=2E-4"};
  struct Row {
    const char* name;
    Cards cards;
    bool found;
  };
  const Row rows[] = {
      {"TAN", {"CTYPE1='RA---TAN'", "CTYPE2='DEC--TAN'"}, true},
      {"TAN-SIP axes, no terms", {"CTYPE1='RA---TAN-SIP'", "CTYPE2='DEC--TAN-SIP'"}, true},
      {"no CTYPE", {}, false},
      {"sine projection", {"CTYPE1='RA---SIN'", "CTYPE2='DEC--SIN'"}, false},
      {"TPV", {"CTYPE1='RA---TPV'", "CTYPE2='DEC--TPV'"}, false},
      {"axes swapped", {"CTYPE1='DEC--TAN'", "CTYPE2='RA---TAN'"}, false},
      {"galactic", {"CTYPE1='GLON-TAN'", "CTYPE2='GLAT-TAN'"}, false},
      {"TAN with PV distortion", {"CTYPE1='RA---TAN'", "CTYPE2='DEC--TAN'", "PV1_1=1.0"}, false},
      {"moved native pole", {"CTYPE1='RA---TAN'", "CTYPE2='DEC--TAN'", "LONPOLE=0"}, false},
      {"default native pole", {"CTYPE1='RA---TAN'", "CTYPE2='DEC--TAN'", "LONPOLE=180"}, true},
      {"radians", {"CTYPE1='RA---TAN'", "CTYPE2='DEC--TAN'", "CUNIT1='rad'", "CUNIT2='rad'"}, false},
      {"degrees", {"CTYPE1='RA---TAN'", "CTYPE2='DEC--TAN'", "CUNIT1='deg'", "CUNIT2='deg'"}, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    TWcs w;
    EXPECT_EQ(w.ReadWCS(HeaderOf(With(r.cards, cd))), r.found);
  }
  TWcs w;
  EXPECT_FALSE(w.ReadWCS(HeaderOf({"CTYPE1='RA---TAN'", "CTYPE2='DEC--TAN'", "CRPIX1=1",
                                   "CRVAL1=1", "CRVAL2=1", "CD1_1=1", "CD1_2=0", "CD2_1=0",
                                   "CD2_2=1"})));  // CRPIX2 missing
  EXPECT_FALSE(w.ReadWCS(HeaderOf({"CTYPE1='RA---TAN'", "CTYPE2='DEC--TAN'", "CRPIX1=1",
                                   "CRPIX2=1", "CRVAL1=1", "CRVAL2=95", "CDELT1=1",
                                   "CDELT2=1"})));  // beyond the pole
}

TEST(ImaWCS, SipPresenceNeedsTwoSignsAndAHoldableOrder) {
  const Cards base = {"CRPIX1=512.5", "CRPIX2=384", "CRVAL1=150", "CRVAL2=-30",
                      "CD1_1=-2E-4",  "CD1_2=0",    "CD2_1=0",    "CD2_2=2E-4"};
  const Cards sipType = {"CTYPE1='RA---TAN-SIP'", "CTYPE2='DEC--TAN-SIP'"};
  const Cards tanType = {"CTYPE1='RA---TAN'", "CTYPE2='DEC--TAN'"};
  struct Row {
    const char* name;
    Cards cards;
    bool found, sip, order4;
  };
  const Row rows[] = {
      {"type and order", With(sipType, {"A_ORDER=2", "B_ORDER=2", "A_2_0=1E-6", "B_0_2=2E-6"}),
       true, true, false},
      {"order and A_2_0 without the type", With(tanType, {"A_ORDER=2", "A_2_0=1E-6"}), true,
       true, false},
      {"type alone", With(sipType, {"B_0_2=2E-6"}), true, false, false},
      {"fourth order", With(sipType, {"A_ORDER=4", "B_ORDER=4", "A_2_0=1E-6", "B_0_4=1E-12"}),
       true, true, true},
      {"fifth order is left to the header", With(sipType, {"A_ORDER=5", "B_ORDER=5", "A_2_0=1E-6", "A_5_0=1E-15"}),
       false, false, false},
      {"fifth-order card under order 4", With(sipType, {"A_ORDER=4", "A_2_0=1E-6", "A_0_5=1E-15"}),
       false, false, false},
      {"fifth-order inverse", With(sipType, {"A_ORDER=3", "A_2_0=1E-6", "AP_ORDER=5", "BP_ORDER=5"}),
       false, false, false},
      {"garbled coefficient", With(sipType, {"A_ORDER=3", "A_2_0='x'"}), false, false, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    TWcs w;
    ASSERT_EQ(w.ReadWCS(HeaderOf(With(r.cards, base))), r.found);
    EXPECT_EQ(w.HasSIP, r.sip);
    if (r.sip) {
      EXPECT_EQ(w.SipA.Order4 || w.SipB.Order4, r.order4);
    }
  }
  // Coefficients land in their places; missing ones read as 0.
  TWcs w;
  ASSERT_TRUE(w.ReadWCS(HeaderOf(With(With(sipType, base),
                                      {"A_ORDER=3", "A_1_1=1.5E-6", "A_0_3=-2E-9", "B_ORDER=3",
                                       "B_2_1=3E-9", "AP_ORDER=3", "BP_ORDER=3", "AP_2_0=-1E-6",
                                       "BP_0_2=-2E-6"}))));
  EXPECT_EQ(w.SipA.Coef[3], 1.5e-6);
  EXPECT_EQ(w.SipA.Coef[9], -2e-9);
  EXPECT_EQ(w.SipB.Coef[6], 3e-9);
  EXPECT_EQ(w.SipA.Coef[4], 0.0);
  EXPECT_TRUE(w.HasInverseSIP);
  EXPECT_EQ(w.SipAP.Coef[4], -1e-6);
  EXPECT_EQ(w.SipBP.Coef[5], -2e-6);
}

// ---------------------------------------------------------------------------------------
// Writing

TEST(ImaWCS, WriteReadRoundTrips) {
  struct Row {
    const char* name;
    double rot;
    int sip;  // 0 none, 3, 4
    bool inverse;
  };
  const Row rows[] = {{"plain", 0, 0, false},       {"rotated 120°", 120, 0, false},
                      {"rotated -170°", -170, 0, false}, {"SIP 3", 25, 3, false},
                      {"SIP 4 with inverse", -60, 4, true}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    TWcs w = MakeWcs(359.9, 41.3, r.rot);
    if (r.sip) {
      w.CD12 *= 1.01;  // a little skew
      w.UpdateDerived();
      AddSip(w, r.sip == 4);
    }
    if (r.inverse) {
      w.HasInverseSIP = true;
      w.SipAP.Coef[4] = -4e-6;
      w.SipBP.Coef[5] = -3e-6;
      w.SipAP.Order4 = w.SipBP.Order4 = true;
    }
    TFitsStrings h;
    h.InitMinimal();
    w.WriteWCS(h);
    EXPECT_EQ(h.GetString("CTYPE1"), r.sip ? "RA---TAN-SIP" : "RA---TAN");
    EXPECT_EQ(h.GetString("CTYPE2"), r.sip ? "DEC--TAN-SIP" : "DEC--TAN");
    EXPECT_EQ(h.GetReal("EQUINOX"), 2000.0);
    EXPECT_EQ(h.HasKey("A_ORDER"), r.sip != 0);
    if (r.sip) {
      EXPECT_EQ(h.GetInt("A_ORDER"), r.sip);
    }
    EXPECT_EQ(h.HasKey("A_4_0"), r.sip == 4);
    EXPECT_EQ(h.HasKey("AP_ORDER"), r.inverse);
    EXPECT_EQ(h.HasKey("CDELT1"), r.sip == 0);
    TWcs back;
    ASSERT_TRUE(back.ReadWCS(h));
    // 13 significant digits in the cards.
    const double tol = 1e-12;
    EXPECT_NEAR(back.RA0, w.RA0, tol);
    EXPECT_NEAR(back.Dec0, w.Dec0, tol);
    EXPECT_NEAR(back.X0, w.X0, tol * 1000);
    EXPECT_NEAR(back.Y0, w.Y0, tol * 1000);
    EXPECT_NEAR(back.CD11, w.CD11, tol * kArcsec);
    EXPECT_NEAR(back.CD12, w.CD12, tol * kArcsec);
    EXPECT_NEAR(back.CD21, w.CD21, tol * kArcsec);
    EXPECT_NEAR(back.CD22, w.CD22, tol * kArcsec);
    EXPECT_EQ(back.HasSIP, w.HasSIP);
    EXPECT_EQ(back.HasInverseSIP, w.HasInverseSIP);
    for (size_t k = 0; k < 15; ++k) {
      EXPECT_NEAR(back.SipA.Coef[k], w.SipA.Coef[k], 1e-12 * std::fabs(w.SipA.Coef[k]));
      EXPECT_NEAR(back.SipB.Coef[k], w.SipB.Coef[k], 1e-12 * std::fabs(w.SipB.Coef[k]));
      EXPECT_NEAR(back.SipAP.Coef[k], w.SipAP.Coef[k], 1e-12 * std::fabs(w.SipAP.Coef[k]));
    }
    if (r.sip == 0) {
      // The classic CDELT/CROTA form alone describes the same rotation and scale.
      for (const char* k : {"CD1_1", "CD1_2", "CD2_1", "CD2_2"}) h.DeleteKey(k);
      TWcs classic;
      ASSERT_TRUE(classic.ReadWCS(h));
      // Turns beyond ±90° keep their quadrant.
      EXPECT_NEAR(classic.CD11, w.CD11, 1e-12 * kArcsec);
      EXPECT_NEAR(classic.CD12, w.CD12, 1e-12 * kArcsec);
      EXPECT_NEAR(classic.CD21, w.CD21, 1e-12 * kArcsec);
      EXPECT_NEAR(classic.CD22, w.CD22, 1e-12 * kArcsec);
    }
  }
}

TEST(ImaWCS, RewriteReplacesEveryOlderForm) {
  TFitsStrings h = HeaderOf(With(kTanBase, {"CDELT1=-0.001", "CDELT2=0.001", "PC1_1=0.8",
                                            "PC1_2=-0.6", "PC2_1=0.6", "PC2_2=0.8",
                                            "PC001001=1", "CD001001=1", "APOLY0=3",
                                            "A_ORDER=2", "A_2_0=1", "AP_1_0=2", "OBJECT='M 31'"}));
  TWcs w;
  ASSERT_TRUE(w.ReadWCS(h));  // A_ORDER + A_2_0: SIP
  EXPECT_NEAR(w.CD12 / kRad, 0.0006, 1e-15);  // the PC rotation is kept
  w.HasSIP = false;
  w.WriteWCS(h);
  for (const char* k : {"PC1_1", "PC1_2", "PC2_1", "PC2_2", "PC001001", "CD001001", "APOLY0",
                        "A_ORDER", "A_2_0", "AP_1_0"})
    EXPECT_FALSE(h.HasKey(k)) << k;
  EXPECT_EQ(h.GetString("OBJECT"), "M 31");
  TWcs back;
  ASSERT_TRUE(back.ReadWCS(h));
  EXPECT_NEAR(back.CD12, w.CD12, 1e-12 * kArcsec);
}

TEST(ImaWCS, ImageKeepsForeignSolutionsAndHighOrderSipUntouched) {
  const Cards foreign[] = {
      With({"CTYPE1='RA---SIN'", "CTYPE2='DEC--SIN'"},
           {"CRPIX1=10", "CRPIX2=10", "CRVAL1=10", "CRVAL2=10", "CDELT1=-1E-3", "CDELT2=1E-3",
            "PC1_1=1"}),
      With({"CTYPE1='RA---TAN-SIP'", "CTYPE2='DEC--TAN-SIP'"},
           {"CRPIX1=10", "CRPIX2=10", "CRVAL1=10", "CRVAL2=10", "CD1_1=-1E-3", "CD1_2=0",
            "CD2_1=0", "CD2_2=1E-3", "A_ORDER=5", "B_ORDER=5", "A_5_0=1E-16", "B_0_5=1E-16"}),
  };
  for (const Cards& c : foreign) {
    TAImage img;
    img.Header = HeaderOf(c);
    const std::string before = img.Header.Text();
    img.LoadWcsFromHeader();
    EXPECT_EQ(img.HasWcs, 0);
    img.StoreWcsToHeader();
    EXPECT_EQ(img.Header.Text(), before);
  }
  // A TAN header with PPOLY: both halves load.
  TAImage img;
  img.Header = HeaderOf(With(kTanBase, {"CDELT1=-1E-3", "CDELT2=1E-3", "PPOLY0=20.5", "PPOLY1=-1.1"}));
  img.LoadWcsFromHeader();
  EXPECT_EQ(img.HasWcs, 1);
  EXPECT_EQ(img.HasPoly, 1);
  EXPECT_EQ(img.Poly0, 20.5);
  img.Header.DeleteKey("PPOLY0");
  img.Header.DeleteKey("CRVAL1");
  img.StoreWcsToHeader();
  EXPECT_EQ(img.Header.GetReal("PPOLY0"), 20.5);
  EXPECT_EQ(img.Header.GetReal("CRVAL1"), 150.25);
}

// ---------------------------------------------------------------------------------------
// Transforms

TEST(ImaWCS, PixelToSkyFollowsTheGnomonicProjection) {
  // Independent of the formulas: a pixel at distance ρ (radians of intermediate coordinates)
  // from the reference pixel lies atan(ρ) from the reference point, at the position angle
  // of its intermediate offset (ξ east, η north).
  for (double dec0 : {-30.5, 0.0, 60.0, 89.9}) {
    TWcs w = MakeWcs(10.0, dec0, 0);
    w.CD11 = -20 * kArcsec;  // 20"/pixel so that the field is wide enough to matter
    w.CD22 = 20 * kArcsec;
    w.UpdateDerived();
    for (auto [x, y] : StarField()) {
      double ra, dec;
      w.PixelToSky(x, y, ra, dec);
      ASSERT_GE(ra, 0.0);
      ASSERT_LT(ra, 2 * kPi);
      const double xi = w.CD11 * (x - w.X0), eta = w.CD22 * (y - w.Y0);
      EXPECT_NEAR(Sep(ra, dec, w.RA0, w.Dec0), std::atan(std::hypot(xi, eta)), 1e-12);
      if (std::hypot(xi, eta) > 1e-6) {
        // Exact spherical position angle at the reference point, east of north.
        const double da = ra - w.RA0;
        const double pa = std::atan2(std::sin(da) * std::cos(dec),
                                     std::cos(w.Dec0) * std::sin(dec) -
                                         std::sin(w.Dec0) * std::cos(dec) * std::cos(da));
        EXPECT_NEAR(std::remainder(pa - std::atan2(xi, eta), 2 * kPi), 0.0, 1e-9);
      }
    }
  }
  TWcs w = MakeWcs(0.001, 10, 0);
  double ra, dec;
  w.PixelToSky(w.X0, w.Y0, ra, dec);
  EXPECT_DOUBLE_EQ(ra, 0.001 * kRad);
  EXPECT_DOUBLE_EQ(dec, 10 * kRad);
  w.PixelToSkyDeg(w.X0 + 100, w.Y0, ra, dec);  // east is left: 100 px right is west of RA 0
  EXPECT_GT(ra, 359.9);
}

TEST(ImaWCS, PixelSkyPixelRoundTrips) {
  struct Row {
    const char* name;
    double ra, dec, rot;
    int sip;
    bool inverse;
  };
  const Row rows[] = {
      {"linear", 150, -30, 20, 0, false},     {"across RA 0", 0.01, 5, -45, 0, false},
      {"near the pole", 123, 89.95, 70, 3, false}, {"SIP 3", 359.99, -60, 10, 3, false},
      {"SIP 4", 200, 30, 200, 4, false},          {"SIP 4 with inverse hint", 200, 30, 200, 4, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    TWcs w = MakeWcs(r.ra, r.dec, r.rot);
    if (r.sip) AddSip(w, r.sip == 4);
    if (r.inverse) {
      // A rough inverse: the negated forward terms.
      w.HasInverseSIP = true;
      for (size_t k = 0; k < 15; ++k) {
        w.SipAP.Coef[k] = -w.SipA.Coef[k];
        w.SipBP.Coef[k] = -w.SipB.Coef[k];
      }
      w.SipAP.Order4 = w.SipBP.Order4 = true;
    }
    for (auto [x, y] : StarField()) {
      double ra, dec, bx, by;
      w.PixelToSky(x, y, ra, dec);
      ASSERT_TRUE(w.SkyToPixel(ra, dec, bx, by));
      EXPECT_NEAR(bx, x, 1e-6);
      EXPECT_NEAR(by, y, 1e-6);
    }
  }
}

TEST(ImaWCS, SkyToPixelRefusals) {
  TWcs w = MakeWcs(100, 20, 0);
  double x = 1, y = 1;
  // Antipode and a point 85° away are not on the tangent plane.
  EXPECT_FALSE(w.SkyToPixel(280 * kRad, -20 * kRad, x, y));
  EXPECT_TRUE(std::isfinite(x) && std::isfinite(y));
  EXPECT_FALSE(w.SkyToPixel(100 * kRad, -65 * kRad, x, y));
  EXPECT_TRUE(w.SkyToPixel(100 * kRad, -62 * kRad, x, y));  // 82°: still inside
  EXPECT_FALSE(w.SkyToPixel(NAN, 0, x, y));
  // A singular matrix maps nothing back.
  TWcs s = w;
  s.CD12 = s.CD11;
  s.CD22 = s.CD21;
  s.UpdateDerived();
  EXPECT_FALSE(s.SkyToPixel(100 * kRad, 20 * kRad, x, y));
  EXPECT_EQ(x, 0.0);
  // u + 0.01·u² never goes below −25: a point whose linear offset is −30 has no pixel.
  // The inversion reports failure with a finite linear estimate.
  TWcs f = w;
  f.HasSIP = true;
  f.SipA.Coef[4] = 0.01;
  double ra, dec;
  w.PixelToSky(w.X0 - 30, w.Y0, ra, dec);
  EXPECT_FALSE(f.SkyToPixel(ra, dec, x, y));
  EXPECT_NEAR(x, w.X0 - 30, 1e-6);
  EXPECT_NEAR(y, w.Y0, 1e-6);
  // Offset −20 has the pre-images −27.6 and −72.4; the nearer one is found.
  w.PixelToSky(w.X0 - 20, w.Y0, ra, dec);
  ASSERT_TRUE(f.SkyToPixel(ra, dec, x, y));
  EXPECT_NEAR(x - w.X0, -50 + std::sqrt(500.0), 1e-6);
}

TEST(ImaWCS, SkyToPixelDegRoundsToHundredths) {
  TWcs w = MakeWcs(150, 0, 0);
  double ra, dec, x, y;
  w.PixelToSkyDeg(100.123456, 200.987654, ra, dec);
  ASSERT_TRUE(w.SkyToPixelDeg(ra, dec, x, y));
  EXPECT_DOUBLE_EQ(x, 100.12);
  EXPECT_DOUBLE_EQ(y, 200.99);
}

// ---------------------------------------------------------------------------------------
// Geometry updates: a star field keeps its sky positions when its pixels move with the image.

namespace {

using PixelMap = std::function<std::array<double, 2>(double, double)>;

void ExpectFollows(const TWcs& before, const TWcs& after, const PixelMap& oldToNew) {
  for (auto [x, y] : StarField()) {
    double r1, d1, r2, d2;
    before.PixelToSky(x, y, r1, d1);
    const auto [nx, ny] = oldToNew(x, y);
    after.PixelToSky(nx, ny, r2, d2);
    EXPECT_LT(Sep(r1, d1, r2, d2), 1e-6 * kArcsec) << x << "," << y;
    double bx, by;
    ASSERT_TRUE(after.SkyToPixel(r1, d1, bx, by));
    EXPECT_NEAR(bx, nx, 1e-6);
    EXPECT_NEAR(by, ny, 1e-6);
  }
}

}  // namespace

TEST(ImaWCS, GeometryUpdatesKeepTheSky) {
  const double W = 1024, H = 768;
  const double c30 = std::cos(30 * kRad), s30 = std::sin(30 * kRad);
  struct Row {
    const char* name;
    std::function<void(TWcs&)> update;
    PixelMap map;
  };
  const Row rows[] = {
      {"flip horizontal", [&](TWcs& w) { w.FlipWCS(1024, 768, false); },
       [&](double x, double y) { return std::array{W - 1 - x, y}; }},
      {"flip vertical", [&](TWcs& w) { w.FlipWCS(1024, 768, true); },
       [&](double x, double y) { return std::array{x, H - 1 - y}; }},
      {"crop", [&](TWcs& w) { w.CropWCS(100, 50); },
       [&](double x, double y) { return std::array{x - 100, y - 50}; }},
      {"bin 2", [&](TWcs& w) { w.ScaleWCS(512, 384, 0.5, 0.5, 0.5, 0.5); },
       [&](double x, double y) { return std::array{(x - 0.5) / 2, (y - 0.5) / 2}; }},
      {"bin 3", [&](TWcs& w) { w.ScaleWCS(341, 256, 1, 1, 1.0 / 3, 1.0 / 3); },
       [&](double x, double y) { return std::array{(x - 1) / 3, (y - 1) / 3}; }},
      {"resize 1.5 × 0.8", [&](TWcs& w) { w.ScaleWCS(1536, 614, 0, 0, 0.8, 1.5); },
       [&](double x, double y) { return std::array{1.5 * x, 0.8 * y}; }},
      {"crop and scale", [&](TWcs& w) { w.ScaleWCS(800, 600, 20, 10, 2, 2); },
       [&](double x, double y) { return std::array{2 * (x - 10), 2 * (y - 20)}; }},
      // 90° left writes source (x, y) to (H − 1 − y, x).
      {"rotate 90 left", [&](TWcs& w) { w.RotateWCS(90, H - 1, 0); },
       [&](double x, double y) { return std::array{H - 1 - y, x}; }},
      // 90° right writes it to (y, W − 1 − x).
      {"rotate 90 right", [&](TWcs& w) { w.RotateWCS(-90, 0, W - 1); },
       [&](double x, double y) { return std::array{y, W - 1 - x}; }},
      {"rotate 180", [&](TWcs& w) { w.RotateWCS(180, H - 1, W - 1); },
       [&](double x, double y) { return std::array{W - 1 - x, H - 1 - y}; }},
      // old = R·new + t, so new = R⁻¹·(old − t).
      {"rotate 30 about a point", [&](TWcs& w) { w.RotateWCS(30, 40, -70); },
       [&](double x, double y) {
         return std::array{c30 * (x + 70) - s30 * (y - 40), s30 * (x + 70) + c30 * (y - 40)};
       }},
  };
  for (int sip : {0, 3, 4}) {
    for (const Row& r : rows) {
      SCOPED_TRACE(std::string(r.name) + " SIP " + std::to_string(sip));
      TWcs w = MakeWcs(359.95, 50, 15);
      if (sip) AddSip(w, sip == 4);
      TWcs after = w;
      r.update(after);
      EXPECT_EQ(after.HasSIP, w.HasSIP);
      ExpectFollows(w, after, r.map);
    }
  }
}

TEST(ImaWCS, FlipsAndQuarterTurnsRestoreTheRecordExactly) {
  TWcs w = MakeWcs(10, 20, 33);
  AddSip(w, true);
  w.HasInverseSIP = true;
  w.SipAP.Coef = {0, 0, 0, -1.5e-6, -4e-6, 2e-6, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  w.SipBP.Coef = {0, 0, 0, 2e-6, -1e-6, -3e-6, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  TWcs t = w;
  t.FlipWCS(1024, 768, false);
  EXPECT_NE(t, w);
  t.FlipWCS(1024, 768, false);
  EXPECT_EQ(t, w);
  t.FlipWCS(1024, 768, true);
  t.FlipWCS(1024, 768, true);
  EXPECT_EQ(t, w);
  // Quarter turns: four restore the record (the polynomials up to rounding).
  for (int i = 0; i < 4; ++i) t.RotateWCS(90, 767, 0);
  EXPECT_DOUBLE_EQ(t.X0, w.X0);
  EXPECT_DOUBLE_EQ(t.CD12, w.CD12);
  for (size_t k = 0; k < 15; ++k) EXPECT_NEAR(t.SipB.Coef[k], w.SipB.Coef[k], 1e-25);
  // Inverse polynomials follow as well: at the moved pixel they undo A exactly as much as
  // before (the residual vector only turns).
  auto residual = [](const TWcs& r, double x, double y) {
    const double u = x - r.X0, v = y - r.Y0;
    const double U = u + r.SipA.Value(u, v), V = v + r.SipB.Value(u, v);
    return std::hypot(U + r.SipAP.Value(U, V) - u, V + r.SipBP.Value(U, V) - v);
  };
  t.FlipWCS(1024, 768, false);    // (x, y) → (1023 − x, y)
  t.RotateWCS(90, 767, 0);        // (x, y) → (767 − y, x)
  const double r0 = residual(w, 900, 700);
  EXPECT_GT(r0, 1e-4);
  EXPECT_NEAR(residual(t, 767 - 700, 1023 - 900), r0, 1e-9);
}

TEST(ImaWCS, UniformScaleMultipliesOrderNByKToOneMinusN) {
  TWcs w = MakeWcs(10, 20, 0);
  AddSip(w, true);
  w.SipA.Coef[0] = 0.5;
  w.SipA.Coef[1] = 1e-3;
  TWcs s = w;
  s.ScaleWCS(512, 384, 0, 0, 0.5, 0.5);  // k = 1/2
  for (size_t k = 0; k < 15; ++k) {
    const int n = kSipTerms[k][0] + kSipTerms[k][1];
    EXPECT_NEAR(s.SipA.Coef[k], w.SipA.Coef[k] * std::pow(0.5, 1 - n),
                1e-15 * std::fabs(w.SipA.Coef[k]) + 1e-30)
        << k;
  }
  TWcs same = w;
  same.ScaleWCS(1024, 768, 0, 0, 1, 1);
  EXPECT_EQ(same, w);
  TWcs zero = w;
  zero.ScaleWCS(1024, 768, 0, 0, 0, 1);
  EXPECT_EQ(zero, w);
}

TEST(ImaWCS, SquareAndPlateSolution) {
  TWcs w = MakeWcs(10, 20, 0);
  w.CD11 = -1.1e-5;
  w.CD22 = 0.9e-5;
  w.CD12 = 2e-7;
  w.CD21 = 1e-7;
  w.SquareWCS();
  EXPECT_DOUBLE_EQ(w.CD11, -1e-5);
  EXPECT_DOUBLE_EQ(w.CD22, 1e-5);
  EXPECT_DOUBLE_EQ(w.CD12, 1.5e-7);
  EXPECT_DOUBLE_EQ(w.CD21, 1.5e-7);
  EXPECT_DOUBLE_EQ(w.ICD11, w.CD22 / (w.CD11 * w.CD22 - w.CD12 * w.CD21));

  // ξ = a·x + b·y + c vanishes with η at the reference pixel.
  TPlateSolution p{1.0, 0.5, -1e-5, 2e-7, 3e-3, 1e-7, 1.1e-5, -4e-3};
  TWcs q = w;
  q.HasSIP = true;
  q.SetFromPlateSolution(p);
  EXPECT_FALSE(q.HasSIP);
  EXPECT_NEAR(p.A * q.X0 + p.B * q.Y0 + p.C, 0.0, 1e-15);
  EXPECT_NEAR(p.D * q.X0 + p.E * q.Y0 + p.F, 0.0, 1e-15);
  double ra, dec;
  q.PixelToSky(q.X0, q.Y0, ra, dec);
  EXPECT_DOUBLE_EQ(ra, 1.0);
  EXPECT_DOUBLE_EQ(dec, 0.5);
}

// ---------------------------------------------------------------------------------------
// Derived quantities

TEST(ImaWCS, FieldScaleRotationAndCentre) {
  TAImage img;
  img.SetSize(1000, 800, false);
  EXPECT_EQ(FieldOfViewX(img), 0.0);
  EXPECT_EQ(FieldOfViewText(img), "");
  double ra, dec;
  EXPECT_FALSE(ImageCentre(img, true, ra, dec));
  EXPECT_EQ(ra, -1.0);
  img.Header.SetString("OBJCTRA", "10 30 00", true);
  img.Header.SetString("OBJCTDEC", "+41 15 00", true);
  EXPECT_FALSE(ImageCentre(img, false, ra, dec));
  ASSERT_TRUE(ImageCentre(img, true, ra, dec));
  EXPECT_NEAR(ra, 157.5, 1e-9);
  EXPECT_NEAR(dec, 41.25, 1e-9);

  struct Row {
    double rot, want;
  };
  for (Row r : {Row{0, 0}, Row{30, -30}, Row{-100, 100}}) {
    SCOPED_TRACE(r.rot);
    img.HasWcs = 1;
    img.Wcs = MakeWcs(150, 30, r.rot, 499.5, 399.5);
    // North lies along pixel direction (sin rot, cos rot): the angle is −rot.
    EXPECT_NEAR(RotationAngle(img), r.want, 1e-3);
    // 1"/pixel: 999 pixel steps between the outer centres, stretched by 1001/1000; the
    // gnomonic projection shortens 500" by 0.0005" on each side.
    EXPECT_NEAR(FieldOfViewX(img) / kArcsec, 999.0 * 1001 / 1000, 2e-3);
    EXPECT_NEAR(FieldOfViewY(img) / kArcsec, 799.0 * 801 / 800, 2e-3);
    ASSERT_TRUE(ImageCentre(img, true, ra, dec));
    EXPECT_NEAR(ra, 150, 1e-9);
    EXPECT_NEAR(dec, 30, 1e-9);
  }
  img.Wcs = MakeWcs(150, 30, 0, 499.5, 399.5);
  EXPECT_EQ(PixelScaleText(img), "1.000\" x 1.000\"");
  EXPECT_EQ(FieldOfViewText(img), "16.67' x 13.33'   0.0°");
  img.Wcs.CD11 *= 5;
  img.Wcs.CD22 *= 5;
  img.Wcs.UpdateDerived();
  // 5"/pixel: the projection shortens the 4000" height by 0.12".
  EXPECT_EQ(FieldOfViewText(img), "83.33' x 66.66' (1.4°x 1.1°)  0.0°");
}

// ---------------------------------------------------------------------------------------
// Astrometric polynomial files

TEST(ImaWCS, ApoTextRoundTrip) {
  for (int sip : {0, 3, 4}) {
    TWcs w = MakeWcs(200, -10, 12);
    if (sip) AddSip(w, sip == 4);
    const std::string t = ApoText(w);
    EXPECT_EQ(t.substr(0, sip ? 10 : 6), sip ? "WCS+SIP\n \n" : "WCS\n \n");
    size_t lines = 0;
    for (char c : t) lines += c == '\n';
    EXPECT_EQ(lines, 2u + 8 + (sip == 3 ? 20 : sip == 4 ? 30 : 0));
    TWcs back;
    back.InitWCS(10, 10);
    ASSERT_TRUE(ParseApoText(t, back));
    EXPECT_EQ(back.HasSIP, sip != 0);
    EXPECT_NEAR(back.RA0, w.RA0, 1e-11 * w.RA0);
    EXPECT_NEAR(back.CD12, w.CD12, 1e-11 * std::fabs(w.CD12));
    EXPECT_NEAR(back.SipA.Coef[4], w.SipA.Coef[4], 1e-11 * std::fabs(w.SipA.Coef[4]));
    if (sip == 4) {
      EXPECT_NEAR(back.SipB.Coef[14], w.SipB.Coef[14], 1e-22);
    }
    EXPECT_EQ(back.SipA.Order4, sip == 4);
  }
  EXPECT_EQ(ApoText(MakeWcs(0, 0, 0)).substr(6, 17), "0.00000000000e+00");
}

TEST(ImaWCS, ApoParsingCounts) {
  auto text = [](const char* head, int n) {
    std::string t = std::string(head) + "\n \n";
    for (int i = 0; i < n; ++i) t += i < 8 ? std::vector<std::string>{"1.0", "0.5", "100", "200", "-1e-5", "0", "0", "1e-5"}[i] + "\n"
                                            : "1e-7\n";
    return t;
  };
  struct Row {
    const char* name;
    std::string text;
    bool ok, sip, order4;
  };
  const Row rows[] = {
      {"8", text("WCS", 8), true, false, false},
      {"9: only the first 8", text("WCS", 9), true, false, false},
      {"20: only the first 8", text("WCS+SIP", 20), true, false, false},
      {"28: third order", text("WCS+SIP", 28), true, true, false},
      {"38: fourth order", text("WCS+SIP", 38), true, true, true},
      {"7 numbers", text("WCS", 7) + "\n\n\n", false, false, false},
      {"too few lines", "WCS\n1\n2\n3\n", false, false, false},
      {"a word among numbers", text("WCS", 8) + "abc\n", false, false, false},
      {"blank lines skipped", "WCS\n \n1.0\n\n0.5\n  \n100\n200\n-1e-5\n0\n0\n1e-5\n", true, false, false},
      {"singular matrix", "WCS\n \n1\n0.5\n100\n200\n0\n0\n0\n0\n", false, false, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    TWcs w;
    w.InitWCS(10, 10);
    const TWcs before = w;
    ASSERT_EQ(ParseApoText(r.text, w), r.ok);
    if (!r.ok) {
      EXPECT_EQ(w, before);
      continue;
    }
    EXPECT_EQ(w.HasSIP, r.sip);
    EXPECT_EQ(w.SipA.Order4, r.order4);
    EXPECT_EQ(w.RA0, 1.0);
    EXPECT_EQ(w.X0, 100.0);
    EXPECT_EQ(w.CD22, 1e-5);
    EXPECT_DOUBLE_EQ(w.ICD22, 1e5);
  }
  // Plate constants of the older program.
  TWcs w;
  ASSERT_TRUE(ParseApoText("QuorVane astrometric polynomial\n \n1.0\n0.5\n-1e-5\n0\n0.01\n0\n1e-5\n-0.02\n", w));
  EXPECT_NEAR(w.X0, 1000, 1e-9);
  EXPECT_NEAR(w.Y0, 2000, 1e-9);
}

TEST(ImaWCS, ApoFiles) {
  const fs::path dir = fs::temp_directory_path() / ("orlu_apo_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  TWcs w = MakeWcs(33, 44, 55);
  AddSip(w, false);
  WriteApoFile(dir / "a.apo", w);
  TWcs back;
  ReadApoFile(dir / "a.apo", back);
  EXPECT_EQ(back.HasSIP, true);
  EXPECT_NEAR(back.Dec0, w.Dec0, 1e-11);
  EXPECT_FALSE(fs::exists(dir / "a.apo.tmp"));
  {
    std::ofstream f(dir / "crlf.apo", std::ios::binary);
    f << "WCS\r\n \r\n1.0\r\n0.5\r\n100\r\n200\r\n-1e-5\r\n0\r\n0\r\n1e-5\r\n";
  }
  ReadApoFile(dir / "crlf.apo", back);
  EXPECT_FALSE(back.HasSIP);
  EXPECT_EQ(back.Y0, 200.0);
  {
    std::ofstream f(dir / "bad.apo", std::ios::binary);
    f << "WCS\n \n1\n2\n3\n";
  }
  const TWcs keep = back;
  try {
    ReadApoFile(dir / "bad.apo", back);
    ADD_FAILURE() << "no error";
  } catch (const EOrluError& e) {
    EXPECT_STREQ(e.what(), "Incompatible file format\rbad.apo");
  }
  EXPECT_EQ(back, keep);
  EXPECT_THROW(ReadApoFile(dir / "missing.apo", back), EOrluError);
  fs::remove_all(dir);
}

// ---------------------------------------------------------------------------------------
// Equatorial grid

TEST(ImaWCS, GridSpacingClosestByRatio) {
  struct Row {
    double field, dec, gridEqu, raSpacing, decSpacing;  // degrees
  };
  // t = 65·F·g/(|cos δ| + 0.0001) seconds of time, 905·F·g seconds of arc.
  const Row rows[] = {
      {1, 0, 4, 60 / 240.0, 900 / 3600.0},      // t 65.0 → 60; 905 → 900
      {0.5, 60, 4, 60 / 240.0, 360 / 3600.0},   // 65.0 → 60; 452.5 → 360 (1.257 < 1.326)
      {10, 0, 8, 360 / 240.0, 3600 / 3600.0},   // 325 → 360; 4525 → 3600
      {0.05, 20, 4, 3 / 240.0, 60 / 3600.0},    // 3.458 → 3 (1.153 < 1.157); 45.25 → 60
  };
  TWcs w = MakeWcs(100, 0, 0);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.field);
    w.Dec0 = r.dec * kRad;
    w.UpdateDerived();
    const TEquatorialGrid g = EquatorialGrid(w, 0, 0, 1023, 767, r.field, r.dec, 100, r.gridEqu);
    EXPECT_DOUBLE_EQ(g.RASpacing, r.raSpacing);
    EXPECT_DOUBLE_EQ(g.DecSpacing, r.decSpacing);
  }
}

TEST(ImaWCS, GridLinesCoverTheImage) {
  struct Row {
    const char* name;
    double ra, dec, rot, scale;  // scale in arcsec per pixel
  };
  const Row rows[] = {{"mid", 150, 40, 20, 2}, {"across RA 0", 0.05, -10, 0, 3},
                      {"pole", 30, 89.8, 45, 2}};
  const double x0 = 0, y0 = 0, x1 = 1023, y1 = 767;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    TAImage img;
    img.SetSize(1024, 768, false);
    img.HasWcs = 1;
    img.Wcs = MakeWcs(r.ra, r.dec, r.rot);
    img.Wcs.CD11 *= r.scale;
    img.Wcs.CD12 *= r.scale;
    img.Wcs.CD21 *= r.scale;
    img.Wcs.CD22 *= r.scale;
    img.Wcs.UpdateDerived();
    AddSip(img.Wcs, false);
    const double F = FieldOfViewX(img) / kRad;
    double cra, cdec;
    ASSERT_TRUE(ImageCentre(img, false, cra, cdec));
    const TEquatorialGrid g = EquatorialGrid(img.Wcs, x0, y0, x1, y1, F, cdec, cra);
    ASSERT_FALSE(g.Segments.empty());
    EXPECT_LE(g.Segments.size(), TEquatorialGrid::kMaxSegments);
    // Every end point lies on a line of the grid.
    auto onRA = [&](double ra) {
      return std::fabs(std::remainder(ra / kRad, g.RASpacing)) < 1e-7;
    };
    auto onDec = [&](double dec) {
      return std::fabs(std::remainder(dec / kRad, g.DecSpacing)) < 1e-7;
    };
    std::vector<double> decLinesSeen;
    for (const TGridSegment& s : g.Segments) {
      double ra1, d1, ra2, d2;
      img.Wcs.PixelToSky(s.X1, s.Y1, ra1, d1);
      img.Wcs.PixelToSky(s.X2, s.Y2, ra2, d2);
      EXPECT_TRUE((onRA(ra1) && onRA(ra2)) || (onDec(d1) && onDec(d2)));
      if (onDec(d1) && onDec(d2) && !(onRA(ra1) && onRA(ra2)))
        decLinesSeen.push_back(std::nearbyint(d1 / kRad / g.DecSpacing));
      // Some point of it is inside the rectangle (checked by sampling).
      bool inside = false;
      for (int i = 0; i <= 1000 && !inside; ++i) {
        const double x = s.X1 + (s.X2 - s.X1) * i / 1000, y = s.Y1 + (s.Y2 - s.Y1) * i / 1000;
        inside = x >= x0 - 1e-9 && x <= x1 + 1e-9 && y >= y0 - 1e-9 && y <= y1 + 1e-9;
      }
      EXPECT_TRUE(inside);
    }
    // Every Dec line that crosses the image (found by sampling the image) has segments.
    double lo = 1e9, hi = -1e9;
    for (int i = 0; i <= 40; ++i)
      for (int j = 0; j <= 40; ++j) {
        double ra, d;
        img.Wcs.PixelToSky(x1 * i / 40, y1 * j / 40, ra, d);
        lo = std::min(lo, d / kRad);
        hi = std::max(hi, d / kRad);
      }
    for (int k = -2000; k <= 2000; ++k) {
      const double dec = k * g.DecSpacing;
      if (std::fabs(dec) >= 90 || !(dec > lo + 1e-3 && dec < hi - 1e-3)) continue;
      EXPECT_NE(std::count(decLinesSeen.begin(), decLinesSeen.end(), double(k)), 0) << dec;
    }
    for (const TGridLabel& l : g.Labels) {
      double ra, dec;
      img.Wcs.PixelToSky(l.X, l.Y, ra, dec);
      if (l.IsRA) {
        EXPECT_GE(l.Value, 0.0);
        EXPECT_LT(l.Value, 360.0);
        EXPECT_LT(std::fabs(std::remainder(ra / kRad - l.Value, 360.0)), 0.01 * F);
        EXPECT_TRUE(l.Y == y0 - 1 || l.X == x0 - 1);
      } else {
        EXPECT_LT(std::fabs(dec / kRad - l.Value), 0.01 * F);
        EXPECT_TRUE(l.Y == y1 + 1 || l.X == x1 + 1);
      }
    }
    if (r.dec < 80) {
      EXPECT_TRUE(std::any_of(g.Labels.begin(), g.Labels.end(), [](auto& l) { return l.IsRA; }));
      EXPECT_TRUE(std::any_of(g.Labels.begin(), g.Labels.end(), [](auto& l) { return !l.IsRA; }));
    }
  }
}

TEST(ImaWCS, GridLimits) {
  const TWcs w = MakeWcs(10, 10, 0);
  EXPECT_TRUE(EquatorialGrid(w, 0, 0, 1023, 767, 0, 10, 10).Segments.empty());
  EXPECT_TRUE(EquatorialGrid(w, 0, 0, 1023, 767, NAN, 10, 10).Segments.empty());
  EXPECT_TRUE(EquatorialGrid(w, 0, 0, 1023, 767, 1, NAN, 10).Segments.empty());
  // A density far beyond the option's range still stops at the segment limit.
  TWcs wide = w;  // 20"/pixel: 5.7° × 4.3°
  wide.CD11 *= 20;
  wide.CD22 *= 20;
  wide.UpdateDerived();
  const TEquatorialGrid dense = EquatorialGrid(wide, 0, 0, 1023, 767, 5.7, 10, 10, 100);
  EXPECT_EQ(dense.Segments.size(), TEquatorialGrid::kMaxSegments);
}
