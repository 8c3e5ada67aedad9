// Per-image visualization state: view range, transfer function code, user curve and the
// lookup tables that turn a data value into a display level. Tables are built here for the
// linear transfer; the other transfer functions and the palette join later.
#pragma once

#include <array>
#include <cstdint>

namespace orlu {

// User transfer curve: up to 4 points, coordinates as fractions 0..1 (multiples of 1/999).
// Unused points have X = -1 and Y = 0.
struct TTransferCurve {
  int32_t Count = 1;
  std::array<float, 4> X{300.0f / 999.0f, -1.0f, -1.0f, -1.0f};
  std::array<float, 4> Y{649.0f / 999.0f, 0.0f, 0.0f, 0.0f};

  bool operator==(const TTransferCurve&) const = default;
};

class TImageVisu {
 public:
  static constexpr int kTableSize = 4096;
  // The curve builder may write index 4096, so the tables carry 16 spare entries.
  static constexpr int kTableAlloc = kTableSize + 16;

  // Linear over 0..255.
  TImageVisu();

  float Low = 0.0f;          // data value shown at level 0; Low <= High
  float High = 255.0f;       // data value shown at level 255
  int32_t TransferType = 0;  // 0 linear, -1..-20 arc, 1..20 power, 1000..1004 equalizations
  TTransferCurve Curve;      // used when TransferType = 1002
  std::array<uint8_t, kTableAlloc> LevelTable{};  // display level of table index 0..4095
  std::array<float, kTableAlloc> ValueTable{};    // the same before rounding, 0..255

  // Linear transfer over [min(low, high), high] with its tables.
  void SetLinear(float low, float high);
  // Copies the first group of settings: range, transfer type, both tables and the curve.
  // (The palette, the second group, is copied by its own operation.)
  void CopyFrom(const TImageVisu& other);
};

}  // namespace orlu
