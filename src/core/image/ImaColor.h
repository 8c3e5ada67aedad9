// The image object: a main plane (monochrome, or green of a colour image) with optional red
// and blue planes, its header, visualization, history, mask, world coordinates, cached
// statistics and load status.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "astrometry/ImaWCS.h"
#include "fits/ImaHeader.h"
#include "formula/ImaMask.h"
#include "image/ImaBW.h"
#include "processing/ImaFilter.h"
#include "visual/ImaVisu.h"

namespace orlu {

// Data values as the status line shows them: "%.7g", above 1e6 scaled with the suffixes
// "M", "G", "T", "P" (1.5e6 gives "1.5M"). Locale-free.
std::string FormatValue(double x);

// Julian date of header date and time texts: ISO "yyyy-mm-ddThh:mm:ss.s" in the date alone,
// or a date "yyyy-mm-dd" / "dd/mm/yy" with a time "hh:mm:ss" (noon without one). Two-digit
// years above 24 are 19xx, others 20xx. Nothing for a text without a valid date or time.
std::optional<double> DateTextToJD(std::string_view date, std::string_view time);

// An image is not locked; parallel loops give each worker disjoint rows or planes.
// Row 0 is the first row of a FITS file. Sizes are 1..30000 per side.
class TAImage {
 public:
  static constexpr int32_t kMaxSide = 30000;

  // A 16 × 16 monochrome integer image, linear view 0..255, empty header and history,
  // placeholder world coordinates for 384 × 288. Throws EOrluError when even that gets no
  // memory.
  TAImage();
  ~TAImage();
  TAImage(const TAImage&) = delete;
  TAImage& operator=(const TAImage&) = delete;

  // ---- Fields ----
  std::unique_ptr<TAMask> Mask;          // owned, always the image size; active with storage
  std::unique_ptr<TImageVisu> SavedVisu;  // SaveVisualization's copy; nullptr until used
  int32_t SerialId = 0;                  // process-wide creation number; callers may copy it
  uint32_t Status = 0;                   // load status flags, only ever OR-ed in
  float DataMin = 0.0f;                  // range of all planes at the last refresh
  float DataMax = 1.0f;
  float BackgroundLevel = 0.0f;          // background at the last refresh
  std::unique_ptr<TBWImage> MainPlane;   // never nullptr
  std::unique_ptr<TBWImage> RedPlane;    // nullptr for monochrome
  std::unique_ptr<TBWImage> BluePlane;   // nullptr for monochrome
  uint8_t HasWcs = 0;                    // Wcs holds a solution
  uint8_t HasPoly = 0;                   // Poly0/Poly1 hold the PPOLY0/PPOLY1 pair
  uint8_t IsFloat = 0;                   // floating point (1) or integer (0) data
  uint8_t Modified = 0;
  uint8_t AllocFailed = 0;               // the last resize failed: discard the image
  uint8_t Symmetric = 0;                 // the data straddle zero (last background refresh)
  TFitsStrings Header;
  TImageVisu Visu;
  THistoryList History;
  double Poly0 = 0.0;
  double Poly1 = 0.0;
  TWcs Wcs;

  // ---- Size and kind ----
  // The only public resize: w, h clamped to 1..30000. Throws EOrluError "Out of memory"
  // with its hint when this call could not get memory (see Resize for the state left).
  void SetSize(int32_t w, int32_t h, bool colour);
  // Resize without raising; false when memory ran short. When the main plane gets none,
  // the image becomes a 16 × 16 monochrome one; when red or blue gets none, it stays at the
  // new size as monochrome. Either way AllocFailed is set; a successful call clears it.
  // The mask is dropped and the header's geometry cards are rewritten.
  bool Resize(int32_t w, int32_t h, bool colour);
  int32_t Width() const { return MainPlane->Width; }
  int32_t Height() const { return MainPlane->Height; }
  int64_t PixelCount() const { return int64_t(Width()) * Height(); }
  bool IsColour() const { return RedPlane != nullptr && BluePlane != nullptr; }
  int32_t MeanDimension() const { return MainPlane->MeanDimension(); }
  // Same width and height; with alsoKind also both colour or both monochrome.
  bool SameSize(const TAImage& other, bool alsoKind) const;
  // Same colour kind, IsFloat, HasWcs and HasPoly, and with a solution both with or both
  // without SIP terms.
  bool SameKind(const TAImage& other) const;
  bool IsLargeEnough() const { return MainPlane->IsLargeEnough(); }
  // Colour, larger than 20 × 20 and more than 1999999 (IsMediumColour: 639999) pixels.
  bool IsBigColour() const;
  bool IsMediumColour() const;

  // ---- Data format ----
  // false: grey as 0.59 main + 0.30 red + 0.11 blue, red and blue dropped. true: red and
  // blue become copies of the main plane (throws "Out of memory", image unchanged, when
  // they get none). Nothing when the image already is of that kind.
  void SetColour(bool colour);
  // Colour image: 2 keeps red, 3 keeps blue, 1 green, as a monochrome image. Nothing for
  // monochrome images or other k.
  void KeepChannel(int32_t k);
  // Frees red and blue; the main plane becomes monochrome.
  void DropColour();

  // ---- Copies ----
  // Main plane, and red and blue when both are colour; nothing when sizes differ.
  void CopyPixels(TAImage& dst) const;
  // Format, statistics, outside value, Symmetric and the visualization range and curve;
  // with header all cards (geometry rewritten for dst when size or kind differ); with wcs
  // the solution and the PPOLY pair. visuFull adds the visualization's second group, the
  // palette, which images do not carry yet.
  void CopySettings(TAImage& dst, bool header, bool visuFull, bool wcs) const;
  void CopyHistory(TAImage& dst) const;
  // Full copy: size, kind, settings, header, solution, history, Modified, pixels and the
  // active mask. Throws "Out of memory" when dst cannot be sized.
  void CopyTo(TAImage& dst) const;
  // A new image of this size and kind: with full a CopyTo, else with pixelsAndSettings the
  // pixels and settings without header, palette and solution. Throws "Out of memory".
  std::unique_ptr<TAImage> NewLike(bool pixelsAndSettings, bool full) const;
  // Fills dst from this image starting at (col, row) (outside: OutsideValue), the active
  // mask region too (outside weights 0); withWcs and a solution: copies it shifted.
  void ExtractTo(TAImage& dst, int32_t col, int32_t row, bool withWcs) const;
  // Same size and kind, bit-identical planes.
  bool SameImage(const TAImage& other) const;
  // Keeps a copy of the visualization; RestoreVisualization puts it back (nothing before a
  // save).
  void SaveVisualization();
  void RestoreVisualization();

  // ---- Pixel access (integer coordinates unless noted) ----
  // Main-plane value; OutsideValue outside.
  float Value(int32_t col, int32_t row) const { return MainPlane->GetPixel(col, row); }
  // 0.59 main + 0.30 red + 0.11 blue for colour, the main value for monochrome;
  // OutsideValue outside (LuminanceOr: def).
  float Luminance(int32_t col, int32_t row) const;
  float LuminanceOr(int32_t col, int32_t row, float def) const;
  // Mirrored at the edges.
  float LuminanceMirror(int32_t col, int32_t row) const;
  // Luminance of the 3 × 3 sums around (col, row); 0 on or outside the border.
  float Luminance3x3(int32_t col, int32_t row) const;
  // Bilinear luminance at a real position.
  float LuminanceBilinear(float x, float y) const;
  // Red, green, blue (green three times for monochrome); all 0 outside.
  void GetRGB(int32_t col, int32_t row, float& r, float& g, float& b) const;
  // v into every plane; nothing outside.
  void SetAll(int32_t col, int32_t row, float v);
  // main = g, red = r, blue = b (only main for monochrome); nothing outside.
  void SetRGB(int32_t col, int32_t row, float b, float g, float r);
  // Position of the largest luminance inside the image within the square of half-size r
  // (or the disc x² + y² <= r(r + 1) when circular); the start wins ties, then the first
  // found row by row from offset (-r, -r).
  void BrightestNear(int32_t col, int32_t row, int32_t r, bool circular, int32_t& bx,
                     int32_t& by) const;
  // The same on Luminance3x3 values within the disc.
  void BrightestNear3x3(int32_t col, int32_t row, int32_t r, int32_t& bx, int32_t& by) const;
  // Centroid of the luminance above threshold (weights value - threshold) within the disc
  // of radius r; the start position when none.
  void CentroidNear(int32_t col, int32_t row, float threshold, int32_t r, double& x,
                    double& y) const;
  // Mean of the middle third of the 912 sorted luminances (mirrored at the edges) of the
  // 31 × 31 square around the point without its central 7 × 7 square.
  float LocalBackground(int32_t col, int32_t row) const;
  // Copies a bottom-up BGR(A) picture of this colour image's size: picture row
  // height-1-y gives image row y; blue, green, red bytes go to blue, main, red.
  // bytesPerPixel 3 or 4, stride >= width × bytesPerPixel. False when any of it differs.
  bool ImportBitmap(int32_t width, int32_t height, int32_t bytesPerPixel, int64_t stride,
                    const uint8_t* pixels);

  // ---- Whole-image operations (plane by plane; other images of another size: nothing) ----
  void FlipH(bool withWcs, bool withMask);
  void FlipV(bool withWcs, bool withMask);
  void SwapFieldRows();
  // b × this + a × other; a monochrome other lends its main plane to every colour plane
  // (so do the other two-image operations).
  void Blend(const TAImage& other, double a, double b);
  void Add(const TAImage& other);
  void Subtract(const TAImage& other);
  void Min(const TAImage& other);
  void Max(const TAImage& other);
  void AbsDiff(const TAImage& other);
  void MultiplyNormalized(const TAImage& other, double k);
  void DivideNormalized(const TAImage& other, double k);
  void LinearFrom(const TAImage& other, double a, double b, double c);
  void Fill(float v);
  void AddConst(double v);
  void AddWrap(double v);
  void MulConst(double v);
  void Linear(double a, double b);
  void LinearAround(double a, double b, double c);
  void LogScale(double f);
  void Clip(float lo, float hi);
  void ReplaceBelow(float v, float t);
  void ReplaceAbove(float v, float t);
  // FITS scaling: bzero + bscale × sample.
  void ApplyScaling(double bzero, double bscale) { Linear(bzero, bscale); }
  // Rounds every sample; integer images only.
  void RoundAll();
  void SetOutsideValue(float v);
  float OutsideValue() const { return MainPlane->OutsideValue; }

  // ---- Statistics ----
  // DataMin/DataMax over all planes; integer images are rounded in place first.
  void RefreshMinMax();
  // BackgroundLevel (colour: 0.30 red + 0.59 main + 0.11 blue of the plane estimates,
  // rounded for integer images) and Symmetric.
  void RefreshBackground();
  // RefreshMinMax and RefreshBackground.
  void RefreshStatistics();
  // Sum and population standard deviation, combined as luminance for colour.
  void MeanAndStdDev(double& sum, double& stdDev) const;
  // Status field text: ["FP "] min : max     B = bg     [V = ]low : high, transfer code.
  std::string StatusText(bool shortForm) const;

  // ---- Calibration and world coordinates ----
  // Reads the solution (HasWcs from TWcs::ReadWCS; the record is kept when there is none)
  // and the PPOLY pair from the header. Called after every load.
  void LoadWcsFromHeader();
  // Writes the solution when HasWcs and the PPOLY pair when HasPoly. A header whose
  // solution was not taken (another projection) is left as it is.
  void StoreWcsToHeader();
  // Reads PPOLY0/PPOLY1 into Poly0/Poly1; HasPoly when both exist.
  void LoadPolyFromHeader();
  // Writes PPOLY0/PPOLY1 as real cards (replace) when HasPoly.
  void StorePolyToHeader();
  // Deletes the solution's and/or the PPOLY keywords and clears HasWcs / HasPoly.
  void DeleteWcs(bool solution, bool poly);
  // Poly0 + Poly1 × ln(v) to 0.001 for HasPoly and v >= 1; else 99.
  double PolyMagnitude(double v) const;
  // Inverse of PolyMagnitude, held in 0..1e20, rounded for integer images; 0 without a
  // usable Poly1.
  double PolyValue(double m) const;

  // ---- Observation time ----
  // From DATE-OBS with TIME-OBS (or UT); else the JD keyword; nothing when neither serves.
  std::optional<double> ObservationJD() const;
  // From the string value of DATE-LOC.
  std::optional<double> LocalDateJD() const;

 private:
  std::unique_ptr<TBWImage> NewPlane(uint8_t role) const;
  void UpdateGeometryCards();
  const TBWImage& OtherPlane(const TAImage& other, const TBWImage& mine) const;
  template <class F>
  void ForEachPlane(F&& f);
  template <class F>
  void ForEachPlanePair(const TAImage& other, F&& f);
};

}  // namespace orlu
