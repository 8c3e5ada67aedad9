// The tab order of image windows and the tab texts.
#include <gtest/gtest.h>

#include "uTabList.h"

using namespace orlu;

TEST(TabList, GrowsWithTheWindowsAndClosesUp) {
  TTabList<int> t;
  EXPECT_EQ(t.Next(1), 0);  // fewer than two windows
  // More windows than the 101 fixed slots of old.
  for (int i = 1; i <= 150; ++i) t.Add(i);
  t.Add(3);  // once
  EXPECT_EQ(t.Count(), 150);
  EXPECT_EQ(t.Next(150), 1);
  EXPECT_EQ(t.Previous(1), 150);
  // Closing the second of three: the third follows the first.
  TTabList<int> three;
  for (int i : {10, 20, 30}) three.Add(i);
  three.Remove(20);
  EXPECT_EQ(three.Next(10), 30);
  EXPECT_EQ(three.Previous(10), 30);
  EXPECT_EQ(three.IndexOf(30), 1);
  three.Remove(30);
  EXPECT_EQ(three.Next(10), 0);
}

TEST(TabList, Captions) {
  EXPECT_EQ(TabCaption("#1 m31.fit"), "#1 m31.fit");
  EXPECT_EQ(TabCaption("#2 /data/x.fits"), "x.fits");
  EXPECT_EQ(TabCaption("#3"), "#3   ");
  EXPECT_EQ(TabCaption("#4 " + std::string(40, 'a')), "#4 " + std::string(27, 'a'));
  // 29 ASCII characters and a two-byte one make 30: kept whole.
  EXPECT_EQ(TabCaption(std::string(29, 'b') + "\xC3\xA9" + "zz"), std::string(29, 'b') + "\xC3\xA9");
}
