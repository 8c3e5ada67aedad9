#include <gtest/gtest.h>

#include "base/PixelMemory.h"
#include "formula/ImaMask.h"

using namespace orlu;

TEST(ImaMask, StorageExistsOnlyWhileInUse) {
  TAMask m;
  m.SetSize(5, 4);
  EXPECT_EQ(m.Count, 20);
  EXPECT_FALSE(m.HasStorage());
  EXPECT_EQ(m.Weight(1, 1), 0);
  m.SetWeight(1, 1, 9);  // ignored without storage
  ASSERT_TRUE(m.Allocate());
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 5; ++x) EXPECT_EQ(m.Weight(x, y), 0);
  m.SetWeight(4, 3, 65535);
  m.SetWeight(5, 3, 1);  // outside: ignored
  EXPECT_EQ(m.Weight(4, 3), 65535);
  EXPECT_EQ(m.Weights()[4 + 3 * 5], 65535);
  m.SetSize(5, 4);  // same size keeps the weights
  EXPECT_TRUE(m.HasStorage());
  m.SetSize(6, 4);  // a size change drops them
  EXPECT_FALSE(m.HasStorage());
  m.SetSize(-3, 2);
  EXPECT_EQ(m.Count, 0);
  EXPECT_FALSE(m.Allocate());
  m.SetSize(100, 100);
  FailNextPixelAllocations(1);
  EXPECT_FALSE(m.Allocate());
  EXPECT_FALSE(m.HasStorage());
}

TEST(ImaMask, BoundsCoverTheNonZeroWeights) {
  TAMask m;
  m.SetSize(8, 6);
  EXPECT_EQ(m.EnsureBounds(), (TPixelRect{0, 0, 7, 5}));  // no storage: the whole mask
  ASSERT_TRUE(m.Allocate());
  EXPECT_TRUE(m.EnsureBounds().IsEmpty());
  m.SetWeight(6, 1, 5);
  m.SetWeight(2, 3, 1);
  m.SetWeight(3, 4, 7);
  EXPECT_FALSE(m.BoundsValid());
  // Left and right come from any row, not just the first and last covered ones.
  EXPECT_EQ(m.EnsureBounds(), (TPixelRect{2, 1, 6, 4}));
  EXPECT_TRUE(m.BoundsValid());
  m.Fill(0);
  EXPECT_TRUE(m.EnsureBounds().IsEmpty());
  m.Fill(1);
  EXPECT_EQ(m.EnsureBounds(), (TPixelRect{0, 0, 7, 5}));
  m.Release();
  EXPECT_FALSE(m.HasStorage());
}
