// The selection mask: one 16-bit weight per pixel (0 not selected, 65535 fully selected),
// its shapes and edits under the four combination modes, the process-wide saved copy that
// gives one level of undo, smoothing, the outline of the selection and its overlays.
//
// Threads: masks and the saved mask belong to the user-interface thread; the heavy loops
// hand their rows to the parallel row helper, each worker writing only its own rows.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "base/PixelMemory.h"

namespace orlu {

class TAImage;
class TBgraBitmap;

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

// The next number of the process-wide creation counter that images and masks share (1, 2, ...).
int32_t NextSerialId() noexcept;

// How a new shape combines with the mask as it was before the edit.
enum class TMaskMode : int32_t { Replace = 0, Add = 1, Subtract = 2, Intersect = 3 };
// How the mask is shown over the image: outline only, darkened layer, checkerboard.
enum class TMaskDisplay : int32_t { Outline = 0, Layer = 1, Transparency = 2 };

struct TMaskPoint {
  int32_t X = 0;
  int32_t Y = 0;
};

// One piece of the selection outline in display units: pixel (x, y) covers x·zoom ..
// (x + 1)·zoom and y·zoom .. (y + 1)·zoom, y growing upward. Dash (0 or 1) picks one of the
// two alternating styles; pieces of one style along one edge are joined.
struct TMaskSegment {
  double X0 = 0, Y0 = 0, X1 = 0, Y1 = 0;
  uint8_t Dash = 0;
};

class TAMask {
 public:
  static constexpr uint16_t kFull = 65535;
  // Weight of a pixel that the fill and value tools found within tolerance.
  static constexpr uint16_t kMarked = 32768;

  // Takes the next SerialId.
  TAMask();
  explicit TAMask(int32_t serialId) : SerialId(serialId) {}
  TAMask(const TAMask&) = delete;
  TAMask& operator=(const TAMask&) = delete;

  // Size; always the owning image's size. Read-only: change through SetSize.
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t Count = 0;  // Width × Height
  // Creation number; an image gives the mask its own. Owners of the saved copy compare it.
  int32_t SerialId = 0;
  // Set together by MarkChanged after an edit; the display reads and clears Redraw.
  bool Changed = false;
  bool Redraw = false;

  // ---- Storage and copies ----
  // Sets the size (values below 0 become 0). A size change drops the storage.
  void SetSize(int32_t w, int32_t h);
  // Creates storage filled with 0. False (and no storage) when memory is short or the size is 0.
  bool Allocate();
  // Storage present afterwards, allocated (all 0) when missing; false when memory is short.
  bool EnsureStorage();
  // Drops the storage: the mask is no longer in use.
  void Release();
  bool HasStorage() const { return FWeights != nullptr; }

  // Row-major weights, Count of them; nullptr without storage. Writers call InvalidateBounds.
  uint16_t* Weights() { return FWeights.get(); }
  const uint16_t* Weights() const { return FWeights.get(); }

  // Every weight = v (nothing without storage).
  void Fill(uint16_t v);
  // Copies weights (or their absence), bounds and Changed into other of the same size.
  // False when the sizes differ or memory is short.
  bool CopyTo(TAMask& other) const;
  // Resamples this mask into other at other's size (bilinear, clamped at the edges; a plain
  // copy for equal sizes). False when memory is short.
  bool CopyResized(TAMask& other) const;
  // Fills this mask (its size) from src starting at src's (col, row); weights outside src
  // are 0. False when memory is short.
  bool CopyRegionFrom(const TAMask& src, int32_t col, int32_t row);

  // ---- The saved mask: one copy for the whole process, the one level of undo ----
  static TAMask& Saved();
  // Copies this mask into the saved mask, which takes this SerialId. False, and the saved
  // mask owned by nobody, when memory is short.
  bool Save() const;
  // Puts the saved copy back when this mask owns it and the sizes match.
  bool Restore();
  // Exchanges weights and bounds with the saved mask (undo/redo of the last edit) when this
  // mask owns it and the sizes match; false, nothing changed, otherwise.
  bool SwapWithSaved();
  // The saved copy was taken from this mask (same non-zero SerialId).
  bool OwnsSaved() const;
  // Drops the saved copy: nobody owns it any more.
  static void DiscardSaved();

  // ---- Pixel access ----
  // Weight at (x, y); 0 outside or without storage.
  uint16_t Weight(int32_t x, int32_t y) const;
  // Weight of the nearest pixel inside; 0 without storage.
  uint16_t WeightClamped(int32_t x, int32_t y) const;
  // Weight at least 32768.
  bool IsSelected(int32_t x, int32_t y) const { return Weight(x, y) >= 32768; }
  // Stores a weight; ignored outside or without storage.
  void SetWeight(int32_t x, int32_t y, uint16_t v);
  // Bilinear weight at a real position (0..65535), weights in steps of 1/128, neighbours
  // beyond the edges taken from the nearest edge pixel; 0 without storage or for NaN.
  double Sample(double x, double y) const;
  // For a non-zero pixel: bit 1 left, 2 right, 4 below, 8 above when that neighbour is 0
  // (outside counts as 0); 0 for a zero pixel.
  uint32_t EdgeCode(int32_t x, int32_t y) const;

  // ---- Editing (nothing without storage unless stated; other masks of another size:
  // nothing; a mask without storage counts as all 0 where it is an operand) ----
  void FlipH();
  void FlipV();
  // This mask becomes source turned by 90° (size swapped): left sends source (x, y) to
  // (H − 1 − y, x), right to (y, W − 1 − x). Without source storage this one has none.
  // False when memory is short.
  bool Rotate90(const TAMask& source, bool left);
  // Each pixel of this mask samples source bilinearly (0 outside) at the position turned by
  // angle degrees (counter-clockwise) around the pivot: (cx, cy) when the sizes match, else
  // the middles of the two masks. False when memory is short.
  bool RotateBy(const TAMask& source, double angle, double cx, double cy);
  // Moves the weights by (dx, dy) pixels; weights shifted in are 0.
  void Shift(int32_t dx, int32_t dy);
  // Saturating sum.
  void AddMask(const TAMask& other);
  // This becomes other − this, at least 0.
  void SubtractFrom(const TAMask& other);
  // Round(this · other / 65535).
  void MultiplyBy(const TAMask& other);
  // 65535 − weight.
  void Invert();
  // Rectangle or ellipse inscribed in the rectangle of the two corners. The shape comes from
  // the corners as given; only the pixels inside the mask are written.
  void DrawRectOrEllipse(int32_t x0, int32_t y0, int32_t x1, int32_t y1, bool ellipse,
                         uint16_t value);
  // Integer line between the two points, stepping along the longer axis.
  void DrawLine(int32_t x0, int32_t y0, int32_t x1, int32_t y1, uint16_t value);
  // Closed outline through the vertices.
  void DrawPolygon(std::span<const TMaskPoint> vertices, uint16_t value);
  // Outline, then every pixel whose centre lies inside by the even-odd rule; fewer than
  // three vertices give the outline only.
  void FillPolygon(std::span<const TMaskPoint> vertices, uint16_t value);
  // The 4-connected area of weights equal to the start weight becomes value, however large;
  // nothing when the start weight already is value or (x, y) is outside.
  void FloodFill(int32_t x, int32_t y, uint16_t value);
  // Allocates if needed; every pixel whose value differs from the one at (x, y) by at most
  // tolerance (in colour: each plane) becomes 32768, all others 0. Nothing (false) when
  // (x, y) is outside, the sizes differ or memory is short.
  bool SelectByValue(const TAImage& image, int32_t x, int32_t y, double tolerance);
  void ReplaceValue(uint16_t oldValue, uint16_t newValue);
  // This mask becomes source blurred by a Gaussian of sigma pixels (edges repeat the edge
  // weight); sigma <= 0 copies. Throws EOrluError "Mask Gauss Size" when the sizes differ and
  // "Out of memory" when scratch memory is short. Without source storage this one has none.
  void Smooth(const TAMask& source, double sigma);
  // With m = Round(65535 · t): when 0 < m < 65535 every weight <= m becomes 0.
  void Truncate(double t);
  // Every pixel whose alpha byte is 0xCC (the brush's mark) in a bitmap of this size gets
  // value. False when the bitmap's size differs.
  bool FromBrushBitmap(const TBgraBitmap& bitmap, uint16_t value);

  // ---- The mask tools' edits: Save, allocate, combine the shape with the mask as it was,
  // then bounds and MarkChanged. Throw EOrluError "Out of memory" when memory is short. ----
  // Rectangle or ellipse from the selected rectangle.
  void ApplyRectOrEllipse(int32_t x0, int32_t y0, int32_t x1, int32_t y1, bool ellipse,
                          TMaskMode mode);
  void ApplyPolygon(std::span<const TMaskPoint> vertices, TMaskMode mode);
  // The pixels the brush marked in a copy of the rendered picture.
  void ApplyBrush(const TBgraBitmap& painted, TMaskMode mode);
  // The fill tool (fill: the 4-connected region around the click) or the value tool (every
  // pixel within tolerance of the clicked one). Nothing when (x, y) is outside.
  void ApplyFillOrValue(const TAImage& image, int32_t x, int32_t y, double tolerance,
                        bool fill, TMaskMode mode);
  // The move tool and the window's arrows. Nothing without storage.
  void ApplyMove(int32_t dx, int32_t dy);
  void ApplyInvert();
  // Undo/Redo: exchanges with the saved copy when this mask owns it.
  bool UndoRedo();

  // ---- Bounds ----
  // Bounding rectangle of the non-zero weights, recomputed when invalid. Without storage the
  // whole mask; with storage but no non-zero weight an empty rectangle.
  const TPixelRect& EnsureBounds();
  // Recomputes the bounding rectangle now.
  void ComputeBounds();
  void InvalidateBounds() { FBoundsValid = false; }
  bool BoundsValid() const { return FBoundsValid; }
  // Index of the first (last) non-zero weight; -1 when none or without storage.
  int64_t FirstNonZero() const;
  int64_t LastNonZero() const;

  // Sets Changed and Redraw.
  void MarkChanged() { Changed = Redraw = true; }
  // Returns Redraw and clears it.
  bool TakeRedraw() {
    const bool r = Redraw;
    Redraw = false;
    return r;
  }

 private:
  // Save, storage, and the first step of a shape edit by mode; the shape's value returned.
  uint16_t BeginShapeEdit(TMaskMode mode);
  void EndShapeEdit(TMaskMode mode);
  void FinishEdit();

  PixelBlockPtr<uint16_t> FWeights;
  TPixelRect FBounds;
  bool FBoundsValid = false;
};

// ---- The smoothing dialog ("Mask", with "Smooth" s and "Truncate" t) ----

// Slider position p (0..1000) to s = Round(1000 (q + q²) / 2) / 10 with q = p / 1000.
double SmoothFromSlider(int32_t p);
// The slider position for a typed s, clamped to 0..1000.
int32_t SliderFromSmooth(double s);
// Slider position p (0..5000) to t = 10^(p / 1000 − 5); below 5e-5 it is 0.
double TruncateFromSlider(int32_t p);
// The slider position for a typed t, clamped to 0..5000 (t = 0 gives 0).
int32_t SliderFromTruncate(double t);

// The dialog's model: opening saves the mask; every change of s or t recomputes the mask
// from the saved copy (sigma 0.6 s, then truncation at t); OK keeps it and remembers the
// values, Cancel restores the saved copy.
class TMaskSmoothing {
 public:
  // Saves the mask. Throws EOrluError "Out of memory" when the copy cannot be made.
  explicit TMaskSmoothing(TAMask& mask);
  // Recomputes with smooth s and truncate t (throws as TAMask::Smooth does); nothing when
  // the saved copy no longer belongs to the mask.
  void Update(double s, double t);
  void Ok();
  void Cancel();
  double Smooth() const { return FSmooth; }
  double Truncate() const { return FTruncate; }
  // The values the last OK kept, offered at the next opening.
  static double LastSmooth();
  static double LastTruncate();

 private:
  TAMask& FMask;
  double FSmooth;
  double FTruncate;
};

// ---- Display ----

// The open sides of the selected pixels (those with a non-zero EdgeCode) in display units;
// the style of a pixel's sides is ((x + y + phase) and 4) != 0, so moving phase animates
// the dashes. Empty without storage.
std::vector<TMaskSegment> MaskOutline(const TAMask& mask, double zoom, int32_t phase);
// Over a rendered picture of the mask's size: every pixel with weight below 65280 is
// replaced by a checkerboard of 8-pixel squares (Transparency) or darkened to an eighth
// with a dark red tint (Layer), blended back towards the picture by the weight's high
// byte. Outline draws nothing. False when the mask has no storage or the sizes differ.
bool DrawMaskOverlay(const TAMask& mask, TMaskDisplay mode, TBgraBitmap& bitmap);
// The mask as grey levels (weight div 256), as the smoothing dialog shows it. False when
// the mask has no storage or the sizes differ.
bool DrawMaskGrey(const TAMask& mask, TBgraBitmap& bitmap);

}  // namespace orlu
