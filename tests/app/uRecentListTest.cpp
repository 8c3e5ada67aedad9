#include <gtest/gtest.h>

#include "uRecentList.h"

using namespace orlu;

namespace {

std::vector<std::string> Paths(const TRecentList& l) {
  std::vector<std::string> out;
  for (const TRecentEntry& e : l.Entries()) out.push_back(e.Path);
  return out;
}

TPicture16 Gradient() {
  TPicture16 p{};
  for (uint32_t k = 0; k < 256; ++k) p[k] = (k << 16) | ((255 - k) << 8) | (k / 2);
  return p;
}

}  // namespace

TEST(RecentList, PictureText) {
  TPicture16 p{};
  p[0] = 0xFF0810;   // red 255 → "O", green 8 → "1", blue 16 → "2"
  p[1] = 0x070707;   // below 8: "0"
  p[255] = 0x000000;
  const std::string text = EncodePictureText(p);
  ASSERT_EQ(text.size(), 768u);
  EXPECT_EQ(text.substr(0, 6), "O12000");
  const auto back = DecodePictureText(text);
  ASSERT_TRUE(back);
  EXPECT_EQ((*back)[0], 0xF80810u);  // the lowest three bits are lost
  EXPECT_EQ((*back)[1], 0u);

  const TPicture16 g = Gradient();
  const auto g2 = DecodePictureText(EncodePictureText(g));
  ASSERT_TRUE(g2);
  for (size_t k = 0; k < 256; ++k) EXPECT_EQ((*g2)[k], g[k] & 0xF8F8F8u) << k;

  EXPECT_FALSE(DecodePictureText(text.substr(0, 767)));  // short: not a picture
  EXPECT_FALSE(DecodePictureText(text + "0"));
  std::string bad = text;
  bad[5] = 'P';  // beyond "O"
  EXPECT_FALSE(DecodePictureText(bad));
}

TEST(RecentList, AddKeepsSixteenMostRecentFirst) {
  TRecentList l;
  for (int i = 1; i <= 17; ++i) l.Add("/f" + std::to_string(i), std::nullopt);
  ASSERT_EQ(l.Entries().size(), 16u);
  EXPECT_EQ(l.Entries().front().Path, "/f17");
  EXPECT_EQ(l.Entries().back().Path, "/f2");  // the 17th pushed the oldest out
  EXPECT_TRUE(l.Changed());

  l.Add("/f5", Gradient());  // moves to the top, takes the picture
  EXPECT_EQ(l.Entries().size(), 16u);
  EXPECT_EQ(l.Entries()[0].Path, "/f5");
  EXPECT_TRUE(l.Entries()[0].Picture);
  EXPECT_EQ(l.Entries()[1].Path, "/f17");
  l.Add("/f17", std::nullopt);  // without a picture the old one stays
  l.Add("/f5", std::nullopt);
  EXPECT_TRUE(l.Entries()[0].Picture);

  // Linux names differ by letter case: a new entry.
  l.Add("/F5", std::nullopt);
  EXPECT_EQ(l.Entries()[0].Path, "/F5");
  EXPECT_EQ(l.Entries()[1].Path, "/f5");
  l.Add("", std::nullopt);
  EXPECT_EQ(l.Entries()[0].Path, "/F5");
}

TEST(RecentList, TextFile) {
  const std::string pic = EncodePictureText(Gradient());
  const std::string text = "File=/a/first.fits*" + pic + "\r\n" +
                           "something else\n"
                           "File=\n"
                           "File=/a/star*name.fits\n"   // "*" in a Linux name
                           "File=/a/short.fits*12345\n" // a short picture text: part of no picture
                           "File=/a/last.fits";
  TRecentList l;
  l.LoadText(text);
  EXPECT_FALSE(l.Changed());
  EXPECT_EQ(Paths(l), (std::vector<std::string>{"/a/first.fits", "/a/star*name.fits",
                                                "/a/short.fits*12345", "/a/last.fits"}));
  ASSERT_TRUE(l.Entries()[0].Picture);
  EXPECT_EQ(EncodePictureText(*l.Entries()[0].Picture), pic);
  EXPECT_FALSE(l.Entries()[1].Picture);

  // Saved and read again: the same list.
  TRecentList again;
  again.LoadText(l.SaveText());
  EXPECT_EQ(Paths(again), Paths(l));
  EXPECT_EQ(l.SaveText(), "File=/a/first.fits*" + pic +
                              "\nFile=/a/star*name.fits\nFile=/a/short.fits*12345\n"
                              "File=/a/last.fits\n");

  // More than 16 lines: the first 16 remain.
  std::string many;
  for (int i = 0; i < 20; ++i) many += "File=/m" + std::to_string(i) + "\n";
  l.LoadText(many);
  ASSERT_EQ(l.Entries().size(), 16u);
  EXPECT_EQ(l.Entries().front().Path, "/m0");
  EXPECT_EQ(l.Entries().back().Path, "/m15");

  l.Add("/bad\nname", std::nullopt);  // cannot be written as a line
  EXPECT_EQ(l.SaveText().find("/bad"), std::string::npos);
}
