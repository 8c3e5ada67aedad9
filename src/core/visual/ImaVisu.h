// Per-image visualization state: view range, transfer function, user curve and palette,
// with the two 4096-entry lookup tables that turn a data value into a display level; and the
// image-level operations that set the range (automatic, percent, sigma, stepping), store it
// in FITS headers and ".trf" files, and bake it into the pixels ("Histogram stretch").
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "visual/ImaPalette.h"

namespace orlu {

class TAImage;
class TBWImage;

// Transfer function codes (TransferType). -1..-20 are circular arcs of strength d = -code,
// 1..20 power curves of strength d = code.
enum : int32_t {
  kTransferLinear = 0,
  kTransferLogarithmic = -15,
  kTransferExponential = 15,
  kTransferEqualized = 1000,
  kTransferGaussEqualized = 1001,
  kTransferCurve = 1002,
  kTransferEqualized50 = 1003,
  kTransferGaussEqualized50 = 1004,
};

// User transfer curve: up to 4 points, coordinates as fractions 0..1 (multiples of 1/999).
// Unused points have X = -1 and Y = 0. The default is the one point (300/999, 649/999).
struct TTransferCurve {
  int32_t Count = 1;
  std::array<float, 4> X{300.0f / 999.0f, -1.0f, -1.0f, -1.0f};
  std::array<float, 4> Y{649.0f / 999.0f, 0.0f, 0.0f, 0.0f};

  bool operator==(const TTransferCurve&) const = default;

  void Reset() { *this = TTransferCurve(); }
  // Every coordinate to the nearest multiple of 1/999.
  void Quantize();
  // 24 digits: per point "%.3d%.3d" of Round(999·X), Round(999·Y); unused points "000000".
  std::string ToText() const;
  // Resets to the default, then reads a text of ToText's form. A text that is not exactly
  // 24 digits leaves the default and gives false.
  bool FromText(std::string_view text);
  // Curve editing; each quantizes afterwards. AddPoint does nothing at 4 points; the new
  // point, unless it already has positive coordinates, is the midpoint of the last point and
  // (1, 1). RemovePoint lowers Count while it is above 1. MovePoint (k 0..3) sets point k
  // with both coordinates limited to 0.001..0.999 and keeps the X order of the others.
  void AddPoint();
  void RemovePoint();
  void MovePoint(int32_t k, double x, double y);
};

class TImageVisu {
 public:
  static constexpr int kTableSize = 4096;
  // The curve builder may write index 4096, so the tables carry 16 spare entries.
  static constexpr int kTableAlloc = kTableSize + 16;

  // Linear over 0..255, gray palette.
  TImageVisu();

  float Low = 0.0f;          // data value shown at level 0; Low <= High
  float High = 255.0f;       // data value shown at level 255
  int32_t TransferType = 0;  // transfer function code (see the enumeration above)
  TTransferCurve Curve;      // used when TransferType = 1002
  TAPalette Palette;         // copied by its own operation, not by CopyFrom
  std::array<uint8_t, kTableAlloc> LevelTable{};  // display level of table index 0..4095
  std::array<float, kTableAlloc> ValueTable{};    // the same before rounding, 0..255

  // Rebuilds both tables from TransferType, the range and Curve. The equalizations sample
  // plane (the main plane) over [Low, High]; without a plane, or with nothing in range,
  // their entries 1..4094 stay as they were.
  void BuildTables(const TBWImage* plane);
  // Linear transfer over [min(low, high), high] with its tables.
  void SetLinear(float low, float high);
  // Copies the range, the transfer type, both tables and the curve (not the palette).
  void CopyFrom(const TImageVisu& other);

  // Curve text and edits (TTransferCurve); the edits rebuild the tables of a curve view.
  std::string CurveToText() const { return Curve.ToText(); }
  bool CurveFromText(std::string_view text);
  void AddCurvePoint();
  void RemoveCurvePoint();
  void MoveCurvePoint(int32_t k, double x, double y);

  // Strength d of a power or arc code: |code| mod 32 limited to 20; 0 above 1004 (linear).
  static int32_t Strength(int32_t code);
  // "Lin", "Log", "Exp", "Equ", "Gau" or "Crv".
  static const char* ShortCode(int32_t code);
  // 0, -20..20 or 1000..1004.
  static bool IsValidType(int32_t code);
  // Level 0..255 of the 1024-entry Gaussian table for a uniform fraction index 0..1023.
  static uint8_t GaussLevel(int32_t k);

 private:
  void BuildEqualizedTables(const TBWImage* plane);
  void BuildCurveTables();
};

// The high bound the renderer uses: at least low + 5e-7·(|low| + |high|) + 5e-7, so a range
// with High = Low thresholds instead of dividing by zero.
float ThresholdHigh(float low, float high);

// ---- View range ------------------------------------------------------------------------

// A range and transfer code proposed by the automatic and statistical rules.
struct TViewRange {
  double Low = 0;
  double High = 1;
  int32_t Type = 0;
};

// Stores the range (low above high becomes high; integer images get integral bounds where
// |v| < 1e9; both held within +-1e38) and the type, then rebuilds the tables. Non-finite
// bounds change nothing.
void SetVisualization(TAImage& image, int32_t type, double high, double low);
// The automatic range and transfer code of the image (seeded sampling: the same image
// always gives the same result).
TViewRange AutoVisualization(const TAImage& image);
// "Auto ->Auto": range and type from AutoVisualization.
void ApplyAutoVisualization(TAImage& image);
// Transfer "Auto": only the proposed type, the range kept.
void ApplyAutoTransfer(TAImage& image);
// "Min ->Max": the image's DataMin..DataMax, type kept.
void ApplyMinMaxRange(TAImage& image);
// "CCD Range": linear 0..65535 when the data leave 0..255, else 0..255.
void ApplyCcdRange(TAImage& image);

// The range of the sorted samples at fractions p1/100 and p2/100 (p1 <= 0: data minimum,
// p2 >= 100: data maximum), then SetVisualization with type.
void PercentRange(TAImage& image, int32_t type, double p1, double p2);
// median + k·(S(0.841) - median) for k1 and k2, then SetVisualization with type.
void SigmaRange(TAImage& image, int32_t type, double k1, double k2);

// The modes of the range dialog.
enum class TRangeMode { Adu, Percentage, Sigma };
// Applies the dialog: Adu sets a..b, the others call PercentRange / SigmaRange.
void ApplyRange(TAImage& image, TRangeMode mode, double a, double b, int32_t type);
// "Equalize visualization" for one other image: copies the active image's visualization
// and palette; in Percentage and Sigma mode it then takes its own range from a and b.
void EqualizeVisualization(const TAImage& active, TAImage& other, TRangeMode mode, double a,
                           double b);

// Page Down / Page Up: moves the high end (the low end with shift) by a fraction of the
// span (finer with ctrl), at least a minimum step on narrow spans. Type kept.
void StepContrast(TAImage& image, bool pageDown, bool shift, bool ctrl);

// ---- FITS keywords and transfer-function files ---------------------------------------

// Applies ORLUUMIN, ORLUUMAX, ORLUUTYP (and ORLUUCRV for type 1002). False, image
// unchanged, when a key is missing, a value is not finite, MIN > MAX or the type is not a
// transfer code.
bool ReadVisuKeys(TAImage& image);
// With addVisuKeys the four keywords (ORLUUCRV only for type 1002), else all removed.
void WriteVisuKeys(TAImage& image, bool addVisuKeys);
// After loading: the header's keywords when the file carried a FITS header (other formats'
// headers are synthesized and never hold a stored view), else linear 0..255 for 8-bit
// views, else "Auto ->Auto".
void VisualizationAfterLoad(TAImage& image, bool fitsHeader, bool eightBitView);

// The ".trf" text: title line, "%.7g %.7g %d" of low, high, type, and for type 1002 the
// curve text; each line ended by a line feed.
std::string TransferFunctionText(const TImageVisu& visu);
// Writes TransferFunctionText (through a temporary file); false on a write error.
bool SaveTransferFunction(const TImageVisu& visu, const std::filesystem::path& path);
// Reads a ".trf" file and applies it. On failure the image is unchanged, the result false
// and error "Incompatible file format", a line break and the file name.
bool LoadTransferFunction(TAImage& image, const std::filesystem::path& path,
                          std::string& error);

// ---- Histogram stretch -----------------------------------------------------------------

// What the history entry of a stretch keeps.
struct TStretchRecord {
  double Normalization = 0;
  double OldLow = 0;
  double OldHigh = 0;
  int32_t OldType = 0;
  std::string CurveText;
};

// Replaces every plane's data through the current visualization scaled to 0..max(n, 1)
// (n at most 1e21), rows in parallel, then sets linear [0, max(n, 1)]. False, image
// unchanged, for a transfer code the stretch does not know (21..999, above 1004).
bool HistogramStretch(TAImage& image, double n, TStretchRecord* record = nullptr);

}  // namespace orlu
