#include "visual/ImaVisu.h"

#include <algorithm>

namespace orlu {

TImageVisu::TImageVisu() { SetLinear(0.0f, 255.0f); }

void TImageVisu::SetLinear(float low, float high) {
  Low = std::min(low, high);
  High = high;
  TransferType = 0;
  ValueTable.fill(0.0f);
  LevelTable.fill(0);
  for (int i = 1; i < kTableSize - 1; ++i) {
    ValueTable[i] = float(i) * 255.0f / 4095.0f;
    // Truncated, not rounded: 16 table entries per level.
    LevelTable[i] = uint8_t(i / 16);
  }
  ValueTable[kTableSize - 1] = 255.0f;
  LevelTable[kTableSize - 1] = 255;
}

void TImageVisu::CopyFrom(const TImageVisu& other) {
  if (&other == this) return;
  Low = other.Low;
  High = other.High;
  TransferType = other.TransferType;
  Curve = other.Curve;
  LevelTable = other.LevelTable;
  ValueTable = other.ValueTable;
}

}  // namespace orlu
