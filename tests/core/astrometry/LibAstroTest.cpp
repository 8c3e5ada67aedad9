#include <gtest/gtest.h>

#include "astrometry/ImaWCS.h"
#include "astrometry/LibAstro.h"

using namespace orlu;

TEST(LibAstro, JulianDayMatchesPublishedValues) {
  struct Row {
    int32_t y, m;
    double d, want;
  };
  const Row rows[] = {
      {2000, 1, 1.5, 2451545.0},
      {2023, 3, 15 + 22.5 / 24, 2460019.4375},
      {1957, 10, 4.81, 2436116.31},  // Meeus, example 7.a
      {333, 1, 27.5, 1842713.0},     // Meeus, example 7.b (Julian calendar)
      {1582, 10, 15, 2299160.5},     // first Gregorian day
      {1582, 10, 4, 2299159.5},      // last Julian day, the day before
      {1600, 1, 1, 2305447.5},
      {1900, 1, 1, 2415020.5},
  };
  for (const Row& r : rows) EXPECT_NEAR(JulianDay(r.y, r.m, r.d), r.want, 1e-9) << r.y;
}

TEST(LibAstro, DaysInMonth) {
  struct Row {
    int32_t y, m, want;
  };
  const Row rows[] = {{2021, 2, 28}, {2020, 2, 29}, {1900, 2, 28}, {2000, 2, 29},
                      {1500, 2, 29}, {2021, 4, 30}, {2021, 12, 31}, {2021, 13, 0},
                      {2021, 0, 0}};
  for (const Row& r : rows) EXPECT_EQ(DaysInMonth(r.y, r.m), r.want) << r.y << "-" << r.m;
}

TEST(ImaWCS, NewRecordAndFlips) {
  TWcs w;
  w.InitWCS(101, 51);
  EXPECT_DOUBLE_EQ(w.X0, 50.0);
  EXPECT_DOUBLE_EQ(w.Y0, 25.0);
  EXPECT_NEAR(w.RA0, 270.0 * 3.14159265358979323846 / 180.0, 1e-15);
  EXPECT_DOUBLE_EQ(w.ICD11, -1e5);
  EXPECT_DOUBLE_EQ(w.ICD22, 1e5);
  EXPECT_FALSE(w.HasSipTerms());

  w.HasSIP = true;
  for (size_t k = 0; k < 15; ++k) {
    w.SipA.Coef[k] = 1.0 + double(k);
    w.SipB.Coef[k] = -1.0 - double(k);
  }
  w.CD12 = 2e-6;
  w.UpdateDerived();
  const TWcs before = w;
  w.FlipWCS(101, 51, false);
  EXPECT_DOUBLE_EQ(w.X0, 50.0);
  EXPECT_DOUBLE_EQ(w.CD11, 1e-5);
  EXPECT_DOUBLE_EQ(w.CD12, 2e-6);
  EXPECT_DOUBLE_EQ(w.SipA.Coef[0], -1.0);  // A_0_0: even p changes sign in A
  EXPECT_DOUBLE_EQ(w.SipA.Coef[1], 2.0);   // A_1_0
  EXPECT_DOUBLE_EQ(w.SipB.Coef[0], -1.0);  // B keeps even p
  EXPECT_DOUBLE_EQ(w.SipB.Coef[1], 2.0);   // B_1_0: odd p changes sign
  w.FlipWCS(101, 51, false);
  EXPECT_TRUE(w == before);
  w.FlipWCS(101, 51, true);
  EXPECT_DOUBLE_EQ(w.CD22, -1e-5);
  EXPECT_DOUBLE_EQ(w.SipA.Coef[2], -3.0);  // A_0_1: odd q changes sign in A
  EXPECT_DOUBLE_EQ(w.SipB.Coef[2], -3.0);  // B_0_1 kept
  EXPECT_DOUBLE_EQ(w.SipB.Coef[0], 1.0);   // B_0_0: even q changes sign in B
  w.FlipWCS(101, 51, true);
  EXPECT_TRUE(w == before);
  w.CropWCS(10, 5);
  EXPECT_DOUBLE_EQ(w.X0, 40.0);
  EXPECT_DOUBLE_EQ(w.Y0, 20.0);
}
