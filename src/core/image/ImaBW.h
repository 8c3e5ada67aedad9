// One plane of 32-bit float samples: storage, pixel access with edge rules, per-plane
// operations and the sampled statistics used by display, star finder and FITS writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "base/PixelMemory.h"
#include "formula/ImaMask.h"

namespace orlu {

// Sample types of ConvertRawSamples.
enum : int32_t {
  kRawUInt8 = 0,
  kRawInt16 = 1,
  kRawUInt16 = 2,
  kRawInt32 = 3,
  kRawUInt32 = 4,
  kRawFloat32 = 5,
};

// A plane is not thread-safe; parallel callers give each worker disjoint rows.
// Samples are row-major, row 0 first, no padding: (col, row) is Data[col + row * Width].
// Statistics count corrupt samples (NaN, ±Inf, magnitude >= 2^63) as 0; MinMax and
// MinMaxRounded also overwrite them with 0 in place.
class TBWImage {
 public:
  // Allocates 16 × 16 (check IsAllocated) and takes the next SerialId.
  TBWImage();
  // Allocates w × h as SetSize does (check IsAllocated).
  TBWImage(int32_t w, int32_t h);
  ~TBWImage();
  TBWImage(const TBWImage&) = delete;
  TBWImage& operator=(const TBWImage&) = delete;

  // ---- Fields (read-only outside this class unless stated) ----
  TAMask* Mask = nullptr;      // the owning image's mask, not owned; may be set by the owner
  int32_t Width = 0;           // >= 1 while allocated, 0 otherwise
  int32_t Height = 0;
  int32_t Count = 0;           // Width × Height
  int32_t SerialId = 0;        // process-wide creation number, 1, 2, ...
  float OutsideValue = 0.0f;   // returned by checked reads outside the plane; owner may set
  float* Data = nullptr;       // first sample, 16-byte aligned; nullptr when not allocated
  uint8_t Role = 0;            // 0 monochrome, 1 green (main of colour), 2 red, 3 blue
  uint8_t BilinearEdges = 1;   // border bilinear reads use checked reads instead of OutsideValue
  uint8_t Symmetric = 0;       // data straddle zero (EstimateBackground); copied with the data

  // ---- Storage ----
  // Resizes (w, h below 1 become 1). The block is kept when it covers the new size with the
  // guard and wastes at most 50000 floats; else a new one is taken. Contents are unspecified
  // afterwards. On failure the plane becomes 0 × 0 without data; nothing throws.
  void SetSize(int32_t w, int32_t h);
  bool IsAllocated() const { return Data != nullptr; }
  // Floats usable from Data (samples plus guard plus slack); 0 when not allocated.
  int64_t Capacity() const { return FCapacity; }
  // Number of floats after the last sample that are set to 1.0 by SetSize and RoundAll.
  int64_t GuardLength() const { return int64_t(Width) + Height + 1024; }

  // ---- Pixel access (integer col, row) ----
  float GetPixel(int32_t col, int32_t row) const;            // OutsideValue outside
  float GetPixelUnchecked(int32_t col, int32_t row) const {  // requires valid coordinates
    return Data[col + int64_t(row) * Width];
  }
  // Reflected at the edges (-c reads c, Width reads Width-2), then clamped into the plane.
  float GetPixelMirror(int32_t col, int32_t row) const;
  float GetPixelClamp(int32_t col, int32_t row) const;       // nearest edge sample
  void SetPixel(int32_t col, int32_t row, float v);          // nothing outside
  // masked: blends v in with the mask weight at (col, row) (nothing where it is 0);
  // unmasked: plain store. Nothing outside.
  void SetPixelMasked(int32_t col, int32_t row, bool masked, float v);
  // Address of sample (col, row); coordinates not checked.
  float* RowPointer(int32_t col, int32_t row) { return Data + col + int64_t(row) * Width; }
  const float* RowPointer(int32_t col, int32_t row) const {
    return Data + col + int64_t(row) * Width;
  }
  // Copies sample (col, row) from a plane of the same width; nothing when either lacks it.
  void CopyPixelFrom(const TBWImage& other, int32_t col, int32_t row);
  // Display value at reduction z: the sample, a 3 × 3 mean, or 16-sample means (always inside).
  float GetPixelZoomed(int32_t col, int32_t row, int32_t z) const;
  // Σ k[i] × neighbour over the 3 × 3 neighbourhood in row order; mirrored at the edges.
  float Kernel3x3(int32_t col, int32_t row, const float k[9]) const;
  // Bilinear interpolation at a real position; OutsideValue outside, for NaN or huge values.
  float Bilinear(float x, float y) const;
  // Bilinear with x, y first clamped into 0..Width-1, 0..Height-1.
  float BilinearClamped(float x, float y) const;
  // w0·(c,r) + w1·(c+1,r) + w2·(c,r+1) + w3·(c+1,r+1); checked reads on the last column or
  // row and at -1; OutsideValue further out.
  float BilinearWeighted(int32_t col, int32_t row, const float w[4]) const;
  // Mean of 16 mirrored 2 × 2 block means on a grid of step (Width, Height) div 4k, each
  // limited to at most cap (k below 1 counts as 1).
  float GridMean(int32_t col, int32_t row, int32_t k, float cap) const;
  // Sum of the n × n block with corner (col, row), the block moved inside the plane
  // (and cut to it when the plane is smaller than n); 0 for n < 1.
  double BlockSum(int32_t col, int32_t row, int32_t n) const;

  // ---- Whole-plane copies ----
  // New plane with the same size, samples and settings (not SerialId); nullptr without memory.
  std::unique_ptr<TBWImage> Clone() const;
  // Copies samples and Symmetric when sizes match, both are allocated and other is not this.
  bool CopyTo(TBWImage& other) const;
  // Copies one row into other (same width, row inside both).
  bool CopyRowTo(TBWImage& other, int32_t row) const;
  // Resizes other to this size and copies; false when this is empty or other got no memory.
  bool AssignTo(TBWImage& other) const;
  // Fills other from this plane starting at (col, row) with GetPixel (outside: OutsideValue).
  void ExtractTo(TBWImage& other, int32_t col, int32_t row) const;

  // ---- Geometry ----
  bool SameSize(const TBWImage& other) const {
    return Width == other.Width && Height == other.Height;
  }
  int32_t MeanDimension() const { return (Width + Height) / 2; }
  int32_t MinDimension() const { return Width < Height ? Width : Height; }
  // Width >= 21, Height >= 21 and Count >= 76800.
  bool IsLargeEnough() const { return Width >= 21 && Height >= 21 && Count >= 76800; }
  float CentreX() const { return float(Width - 1) / 2.0f; }
  float CentreY() const { return float(Height - 1) / 2.0f; }
  // Clamps the point into -mx..Width-1+mx, -my..Height-1+my.
  void ClampPoint(double& x, double& y, double mx, double my) const;
  // Whether the point lies in that rectangle (NaN is outside).
  bool PointInside(double x, double y, double mx, double my) const;

  // ---- Simple operations (all samples, in place) ----
  void Fill(float v);
  void AddConst(double v);                       // nothing when v = 0
  void AddWrap(double v);                        // (s + v) mod 65536 in 0..65535
  void MulConst(double v);                       // nothing when v = 1
  void Linear(double a, double b);               // a + b·s
  void LinearAround(double a, double b, double c);  // a + b·(s - c)
  void LogScale(double f);                       // f·ln(s) for s >= 1, else 0
  void Clip(float lo, float hi);
  void ReplaceBelow(float v, float t);           // samples below t become v
  void ReplaceAbove(float v, float t);           // samples above t become v
  void Abs();
  void RoundAll();                               // refills the guard; rounds |s| < 2^23
  void FlipH();
  void FlipV();
  void SwapFieldRows();                          // rows 2i and 2i+1 exchanged
  void InterpolateRow(int32_t row);              // mean of the rows above and below (GetPixel)
  void InterpolateColumn(int32_t col);
  // Moves the content by (dx, dy) (rounded first with round); integer offsets copy, others
  // interpolate bilinearly. Uncovered samples get OutsideValue (all of them for NaN offsets).
  void Shift(double dx, double dy, bool round);

  // ---- Two-plane operations (nothing when sizes differ, except Add) ----
  void Add(const TBWImage& o);                   // different sizes: the overlap from (0, 0)
  void Subtract(const TBWImage& o);
  // s·o/k limited to ±1e25; k = 0 means the mean of o; nothing when that is 0.
  void MultiplyNormalized(const TBWImage& o, double k);
  // k·s/o where o > 1e-6; k = 0 means the mean of o; nothing when that is 0.
  void DivideNormalized(const TBWImage& o, double k);
  void Min(const TBWImage& o);
  void Max(const TBWImage& o);
  void AbsDiff(const TBWImage& o);
  void Blend(const TBWImage& o, double a, double b);   // b·s + a·o
  void LinearFrom(const TBWImage& o, double a, double b, double c);  // (o - b)·c + a
  bool Equals(const TBWImage& o) const;          // same size and bit-identical samples
  // This plane holds processed data, o the unprocessed: within the mask's rows widened by
  // margin rows, s = g·s + (1-g)·o with g the weight / 65535; with copyOutside the samples
  // outside that range come from o. An all-zero mask restores o everywhere.
  // Nothing without a mask of this size or when sizes differ.
  void MergeMasked(const TBWImage& o, int32_t margin, bool copyOutside);
  void MergeMasked(const TBWImage& o) { MergeMasked(o, 30000, false); }

  // ---- Mask coupling ----
  // Mask set, of this size and holding storage.
  bool HasMask() const;
  // Bounding rectangle of the mask's non-zero weights; the whole plane without a mask.
  TPixelRect MaskBounds() const;
  // First sample index of the lowest covered row and last of the highest (0, Count-1
  // without a mask; first > last for an all-zero mask).
  void MaskRange(int64_t& first, int64_t& last) const;

  // ---- Statistics ----
  double Sum() const;
  double Mean() const;                           // 0 for an empty plane
  // Sum and population standard deviation (0 for constant data).
  void SumAndStdDev(double& sum, double& stdDev) const;
  // Range of the samples after cleaning corrupt ones in place; 0, 0 for an empty plane.
  void MinMax(float& mn, float& mx);
  // MinMax that also rounds every sample to an integer in place.
  void MinMaxRounded(float& mn, float& mx);
  // Weighted centre of the samples above t; the plane centre when none.
  void Centroid(double t, double& x, double& y) const;
  // The same within rect clamped to the plane; the rectangle's centre when none.
  void CentroidIn(const TPixelRect& rect, double t, double& x, double& y) const;
  // Robust sky level from 10000 sampled 2 × 2 means; may set or clear Symmetric.
  float EstimateBackground();
  // Background level and spread (from 2 × 2 sums) of about 20000 sampled positions.
  void BackgroundAndNoise(float& background, float& spread) const;
  // Quantiles of up to 5001 samples without the repeated minimum: out1 at p3, out2 at p2,
  // out3 at p1 (fractions 0..1). All 0 for fewer than 2 samples.
  void Quantiles(double p1, double p2, double p3, float& out1, float& out2, float& out3) const;
  // Quantiles (a, (a+b)/2, b): atB and atA receive the values at b and a.
  void Quantiles2(double a, double b, float& atB, float& atA) const;
  // Writes up to n spread samples into dst (room for n needed); returns how many.
  int32_t Sample(float* dst, int32_t n, bool sort) const;
  // The largest of 5000 samples is above 0 and at most x.
  bool SampledMaxAtMost(float x) const;
  // Counts the samples clamped to min..max into nBins bins (bins needs nBins entries);
  // integer data with fewer values than bins get their empty gaps filled from neighbours.
  // parallel lets large planes use the vector loop (same counts). Nothing for nBins < 2 or
  // a short array.
  void Histogram(std::span<int32_t> bins, int32_t nBins, bool parallel, bool isFloat,
                 float max, float min) const;
  // 0..1, above 0.5 when diagonal neighbours in 2 × 2 cells differ one way (checkerboard).
  float DiagonalScore(bool quantileThreshold) const;

  // ---- Raw sample decoding ----
  // Converts Count raw samples of type kRaw* read into Data to floats in place, reversing
  // each sample's bytes with swapBytes. False for an unknown type or an empty plane.
  bool ConvertRawSamples(int32_t sampleType, bool swapBytes);
  // Copies Count packed native 16-bit samples; with align4 each source row is padded to a
  // multiple of 4 bytes. False (plane unchanged) when srcBytes is too short.
  bool ImportPacked16(const void* src, std::size_t srcBytes, bool isSigned, bool align4);
  // Copies Count packed native 32-bit integer samples. False when srcBytes is too short.
  bool ImportPacked32(const void* src, std::size_t srcBytes, bool isSigned);

 private:
  void Release();
  void FillGuard();
  void ShiftInteger(int64_t sx, int64_t sy);
  void ShiftFractional(double dx, double dy);

  PixelBlockPtr<float> Buffer;  // the allocated block, nullptr when allocation failed
  int64_t FCapacity = 0;
};

}  // namespace orlu
