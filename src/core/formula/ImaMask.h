// The selection mask: one 16-bit weight per pixel (0 not selected, 65535 fully selected).
// This is the storage and bounds part that pixel planes rely on; editing comes later.
#pragma once

#include <cstdint>

#include "base/PixelMemory.h"

namespace orlu {

// Inclusive pixel rectangle. Top is the highest row (row 0 is the bottom row on screen).
// Empty when Right < Left or Top < Bottom.
struct TPixelRect {
  int32_t Left = 0;
  int32_t Bottom = 0;
  int32_t Right = -1;
  int32_t Top = -1;

  bool IsEmpty() const { return Right < Left || Top < Bottom; }
  bool operator==(const TPixelRect&) const = default;
};

class TAMask {
 public:
  TAMask() = default;
  TAMask(const TAMask&) = delete;
  TAMask& operator=(const TAMask&) = delete;

  // Size; always the owning image's size. Read-only: change through SetSize.
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t Count = 0;  // Width × Height

  // Sets the size (values below 0 become 0). A size change drops the storage.
  void SetSize(int32_t w, int32_t h);
  // Creates storage filled with 0. False (and no storage) when memory is short or the size is 0.
  bool Allocate();
  // Drops the storage: the mask is no longer in use.
  void Release();
  bool HasStorage() const { return FWeights != nullptr; }

  // Row-major weights, Count of them; nullptr without storage. Writers call InvalidateBounds.
  uint16_t* Weights() { return FWeights.get(); }
  const uint16_t* Weights() const { return FWeights.get(); }

  // Weight at (x, y); 0 outside or without storage.
  uint16_t Weight(int32_t x, int32_t y) const;
  // Stores a weight; ignored outside or without storage.
  void SetWeight(int32_t x, int32_t y, uint16_t v);
  // Every weight = v (nothing without storage).
  void Fill(uint16_t v);

  // Bounding rectangle of the non-zero weights, recomputed when invalid. Without storage the
  // whole mask; with storage but no non-zero weight an empty rectangle.
  const TPixelRect& EnsureBounds();
  // Recomputes the bounding rectangle now.
  void ComputeBounds();
  void InvalidateBounds() { FBoundsValid = false; }
  bool BoundsValid() const { return FBoundsValid; }

 private:
  PixelBlockPtr<uint16_t> FWeights;
  TPixelRect FBounds;
  bool FBoundsValid = false;
};

}  // namespace orlu
