#include <gtest/gtest.h>

#include <tuple>

#include <numbers>

#include "StatusTexts.h"
#include "document/uAstroDoc.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"

using namespace orlu;

namespace {

constexpr double kArcsec = std::numbers::pi / 180 / 3600;

// A tangent-plane solution centred on pixel (x0, y0) at (ra, dec) degrees, with square
// pixels of the given size, north up and east left.
void SetSolution(TAImage& img, double ra, double dec, double x0, double y0, double arcsec) {
  img.Wcs.RA0 = ra * std::numbers::pi / 180;
  img.Wcs.Dec0 = dec * std::numbers::pi / 180;
  img.Wcs.X0 = x0;
  img.Wcs.Y0 = y0;
  img.Wcs.CD11 = -arcsec * kArcsec;
  img.Wcs.CD12 = 0;
  img.Wcs.CD21 = 0;
  img.Wcs.CD22 = arcsec * kArcsec;
  img.Wcs.UpdateDerived();
  img.HasWcs = 1;
}

}  // namespace

TEST(StatusTexts, Captions) {
  struct Row {
    int32_t code;
    const char* caption;
  };
  const Row rows[] = {
      {0, "#1 M31.fit"},
      {-1, "#1 M31.fit  [99%]"},  // rounds to 100 but is not exactly 100 %
      {-480, "#1 M31.fit  [50%]"},
      {-355, "#1 M31.fit  [63%]"},
      {1, "#1 M31.fit  [200%]"},
      {-942, "#1 M31.fit  [2%]"},
  };
  for (const Row& r : rows) EXPECT_EQ(CaptionText("#1 M31.fit", r.code), r.caption) << r.code;
}

TEST(StatusTexts, ImageStatus) {
  auto doc = TAstroDocument::NewDocument(720, 360, false, true);
  ASSERT_TRUE(doc);
  // 720 · 360 · 4 bytes = 1.04 MB, shown as the program rounds it.
  EXPECT_EQ(ImageStatusText(*doc, 0), "720 x 360    RAM = 1 Mb");
  EXPECT_EQ(ImageStatusText(*doc, -480), "720 x 360    RAM = 1 Mb    Zoom = 50%");
  EXPECT_EQ(ImageStatusText(*doc, -1), "720 x 360    RAM = 1 Mb    Zoom = 99%");

  // 60"/pixel: 720 pixels span 2·atan(360 · 60") = 11.96° of sky, beyond 600': degrees.
  SetSolution(doc->Image(), 90, 0, 359.5, 179.5, 60);
  EXPECT_EQ(ImageStatusText(*doc, 0), "720 x 360    RAM = 1 Mb    Field = 12.0\xC2\xB0 x 6.0\xC2\xB0");
  // 1"/pixel: 12' × 6', in arc minutes.
  SetSolution(doc->Image(), 90, 0, 359.5, 179.5, 1);
  EXPECT_EQ(ImageStatusText(*doc, 1), "720 x 360    RAM = 1 Mb    Field = 12.0' x 6.0'    Zoom = 200%");

  auto colour = TAstroDocument::NewDocument(1000, 1000, true, true);
  ASSERT_TRUE(colour);
  EXPECT_EQ(ImageStatusText(*colour, 0), "1000 x 1000    RAM = 12 Mb");
}

TEST(StatusTexts, PixelReadouts) {
  TAImage mono;
  mono.SetSize(3, 2, false);
  mono.Fill(0);
  mono.MainPlane->SetPixel(1, 0, 1234);
  mono.MainPlane->SetPixel(2, 1, 1.5f);
  EXPECT_EQ(PixelInfoText(mono, 1, 0), "X = 1     Y = 0     Value = 1234");
  EXPECT_EQ(PixelInfoText(mono, 2, 1), "X = 2     Y = 1     Value = 1.5 ");
  EXPECT_EQ(PixelInfoText(mono, 0, 0), "X = 0     Y = 0     Value = 0   ");
  EXPECT_EQ(PixelInfoText(mono, 3, 0), "");
  EXPECT_EQ(PixelInfoText(mono, 0, -1), "");

  TAImage colour;
  colour.SetSize(2, 2, true);
  colour.Fill(0);
  colour.SetRGB(1, 1, 50, 200, 100);  // blue, green, red
  // 0.59 · 200 + 0.30 · 100 + 0.11 · 50 = 153.5
  EXPECT_EQ(PixelInfoText(colour, 1, 1),
            "X = 1     Y = 1     Value = 153.5  [R = 100  G = 200  B = 50 ]");
}

TEST(StatusTexts, SkyReadouts) {
  TAImage img;
  img.SetSize(21, 11, false);
  TMiscOptions hms;
  hms.CoordsHMS = true;
  hms.CoordsDegrees = false;
  TMiscOptions degrees;
  degrees.CoordsHMS = false;
  degrees.CoordsDegrees = true;
  EXPECT_EQ(SkyInfoText(img, 10, 5, hms), "");  // no solution

  SetSolution(img, 90, 30, 10, 5, 2);
  EXPECT_EQ(SkyInfoText(img, 10, 5, hms), "RA DEC = 06 00 00.000 +30 00 00.00");
  EXPECT_EQ(SkyInfoText(img, 10, 5, degrees), "RA DEC = 90.000000 +30.000000    ");
  // One pixel north: +2".
  EXPECT_EQ(SkyInfoText(img, 10, 6, hms), "RA DEC = 06 00 00.000 +30 00 02.00");
  EXPECT_EQ(SkyInfoText(img, 21, 5, hms), "");  // outside
  img.Wcs.HasSIP = true;
  EXPECT_EQ(SkyInfoText(img, 10, 5, hms).substr(0, 13), "RA DEC SIP = ");
}

TEST(StatusTexts, StickyMessagesHoldAgainstOrdinaryOnes) {
  TStatusHold h;
  struct Step {
    int64_t now;
    int32_t hold;
    bool sticky;
    bool shown;
  };
  const Step steps[] = {
      {100, 0, false, true},      // nothing held
      {200, 4000, true, true},    // a sticky message, held 4 s
      {300, 0, false, false},     // dropped within the hold
      {4199, 0, false, false},    // still within
      {1000, 500, true, true},    // a sticky one replaces it at once, held 0.5 s
      {1400, 0, false, false},
      {1500, 0, false, true},     // 0.5 s passed: shown, the hold ends
      {1501, 0, false, true},
  };
  for (const Step& s : steps) EXPECT_EQ(h.Accept(s.now, s.hold, s.sticky), s.shown) << s.now;
}

TEST(Accelerators, FirstFreeCharacterOfEachCaption) {
  EXPECT_EQ(AutoAccelerators({"Open", "Options", "Save", "S", "Save view", "E&xit", "x ray", "oops",
                              "Oso"}),
            (std::vector<std::string>{"&Open", "O&ptions", "&Save", "S", "S&ave view", "E&xit",
                                      "x &ray", "oops", "Oso"}));
  // Blanks, "&&" (a literal ampersand) and non-ASCII bytes are never marked.
  EXPECT_EQ(AutoAccelerators({"a b", "ab c", "R&&D", "\xC3\xA9t\xC3\xA9"}),
            (std::vector<std::string>{"&a b", "a&b c", "R&&D", "\xC3\xA9&t\xC3\xA9"}));
}

TEST(Toolbar, IconSizes) {
  const std::tuple<int32_t, double, int32_t, int32_t, int32_t> cases[] = {
      {1, 300, 4000, 3000, 20}, {2, 96, 800, 600, 24}, {3, 96, 800, 600, 28},
      {4, 96, 800, 600, 36},    {0, 171, 800, 600, 36}, {0, 170, 800, 600, 28},
      {0, 141, 800, 600, 28},   {0, 140, 800, 600, 24}, {0, 111, 800, 600, 24},
      {0, 96, 1920, 1080, 24},  {0, 96, 1920, 900, 20}, {0, 96, 1280, 1024, 20},
      {9, 96, 800, 600, 20},
  };
  for (auto [mode, dpi, w, h, size] : cases)
    EXPECT_EQ(ToolbarIconSize(mode, dpi, w, h), size) << mode << " " << dpi << " " << w << "x" << h;
}
