#include <gtest/gtest.h>

#include "visual/ImaVisu.h"

using namespace orlu;

TEST(ImaVisu, LinearTablesAndCopy) {
  TImageVisu v;
  struct Row {
    int i, level;
  };
  // Levels are the index divided by 16, truncated; the ends are fixed at 0 and 255.
  const Row rows[] = {{0, 0}, {15, 0}, {16, 1}, {2047, 127}, {4094, 255}, {4095, 255}};
  for (const Row& r : rows) EXPECT_EQ(v.LevelTable[size_t(r.i)], r.level) << r.i;
  EXPECT_FLOAT_EQ(v.ValueTable[2048], 2048.0f * 255.0f / 4095.0f);
  EXPECT_EQ(v.ValueTable[4095], 255.0f);

  v.SetLinear(50, 10);  // low above high: low becomes high
  EXPECT_EQ(v.Low, 10.0f);
  EXPECT_EQ(v.High, 10.0f);

  TImageVisu w;
  v.TransferType = 1002;
  v.Curve.Count = 2;
  v.Curve.X[1] = 0.5f;
  v.ValueTable[7] = 99.0f;
  w.CopyFrom(v);
  EXPECT_EQ(w.TransferType, 1002);
  EXPECT_EQ(w.Curve, v.Curve);
  EXPECT_EQ(w.ValueTable[7], 99.0f);
  EXPECT_EQ(w.Low, 10.0f);
}
