// Histogram window model (value axis, counting, bar geometry, readouts, buttons), the
// stepwise histogram stretch, image and region statistics with their display lines, and the
// histogram text export. Qt-free; the windows only draw what these compute.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "formula/ImaMask.h"

namespace orlu {

class TAImage;
class TBWImage;
class TImageVisu;

// ============================================================================ histogram axis

inline constexpr double kAxisSpanMin = 1.0;
inline constexpr double kAxisSpanMax = 3e14;
inline constexpr int32_t kMaxBins = 2048;
inline constexpr int32_t kSliderMax = 20000;

// The value axis and counts of one histogram window.
struct THistoModel {
  double AxisStart = -0.5;
  double AxisSpan = 256.5;
  int32_t BinCount = 10;
  std::array<int32_t, kMaxBins> MainBins{};
  std::array<int32_t, kMaxBins> RedBins{};
  std::array<int32_t, kMaxBins> BlueBins{};
  bool Colour = false;
  int64_t PixelCount = 1;

  // BinCount = panelWidth − 2 held in 10..2048; clears and counts every plane over the axis
  // (red and blue beside the main plane when permitted).
  void Count(const TAImage& image, int32_t panelWidth);
  // The axis for a newly attached image (see AttachAxisNeeded); start kept >= 0 and <= 1e25.
  void RecomputeAxis(const TAImage& image);
  // Whether attaching must recompute the axis.
  bool AttachAxisNeeded(const TAImage& image, bool locked) const;

  // Data value at column c of a panel of width w.
  double ColumnValue(double c, int32_t w) const;
  // Grid column of value v (Round((v − start)·(w − 1)/span)).
  int32_t GridColumn(double v, int32_t w) const;
  // Slider position 0..20000 of v, and the value of a position.
  int32_t SliderPosition(double v) const;
  double SliderValue(int32_t p) const;
  // Bin shown at panel column i (1..w−2).
  int32_t ColumnBin(int32_t i, int32_t w) const;
  // Counts at value v for the readout: 0 outside the bins; colour: (main + red + blue) div 3.
  int32_t CountAt(double v) const;

  // "BIT": halves (left) or doubles the span, held in 1..3e14; start = low − span/8.
  void BitStep(bool left, double low);
  // Axis drag: panning by dx of a panel w wide, zooming by dy (up positive) of a panel h high,
  // from the start and span saved at the press.
  void Pan(double start0, double span0, int32_t dx, int32_t w);
  void Zoom(double start0, double span0, int32_t dy, int32_t h);
};

// One grid line: the column and its label.
struct TGridLine {
  int32_t Column = 0;
  std::string Label;
};
// N(x): 1, 2 or 5 times 10^floor(log10 x); 0 for x that is not a positive finite number.
double GridStep(double x);
// Grid lines of a panel w wide over the axis; none for an empty or degenerate axis.
std::vector<TGridLine> GridLines(double axisStart, double axisSpan, int32_t w);
// Label text of a grid value.
std::string GridLabel(double v);
// Bar height of a count on a panel h high; pixelCount scales to a million pixels.
int32_t BarHeight(int32_t n, int64_t pixelCount, int32_t h);
// Pen level of a colour: min(240, 180 + 60·c/total), total at least 1.
int32_t ColourLevel(int32_t c, int32_t total);
// Display level 0..255 of a data value through a visualization's tables (values at or
// below Low give 0, at or above High 255, as the renderer does).
int32_t DisplayLevel(const TImageVisu& visu, double v);
// Row of display level l (0..255) on the curve of a panel h high.
int32_t CurveRow(int32_t level, int32_t h);
// The same inside band b (0..2) of a split panel.
int32_t BandCurveRow(int32_t band, int32_t level, int32_t h);
// "BIT" label: Round(log2 span) + " BIT" (a leading space for one digit), "  0..1" for span <= 1.
std::string BitLabel(double span);
// A readout label: "name = number" up to 7 characters, "name number" for 8 or 9, else the number.
std::string ReadoutLabel(const std::string& name, const std::string& number);
// The pointer value as the readout shows it: rounded to an integer below 1e18 in magnitude.
std::string ReadoutValue(double v);

// ============================================================================ buttons

struct TRange {
  double Low = 0;
  double High = 0;
};
// "LUM": both bounds moved by g = (high − low)/150 + span/200, up for the left half.
TRange LuminanceStep(double low, double high, double span, bool left);
// "CNT": half-width divided (left) or multiplied by 0.98 about the middle.
TRange ContrastStep(double low, double high, bool left);
// Transfer step: code + 1 (left) or − 1 from the plain code when at 1000 or more; the same code
// when the step would leave −20..20.
int32_t TransferStep(int32_t code, int32_t plainType, bool left);
// The code chosen from the equalization menu or "CURVES": the plain code when already active.
int32_t ChooseSpecialType(int32_t current, int32_t chosen, int32_t plainType);

// ============================================================================ stretch dialog

// "NEW RANGE" arrows: multiply (up) or divide by 4 with the 2^k − 1 rules.
double StretchRangeStep(double n, bool up);

struct TStretchStep {
  double Low = 0;
  double High = 0;
  int32_t Type = 0;
  std::string CurveText;
  double Background = 0;
  double Normalization = 0;
};

// The steps of one stretch dialog; at most 20.
class TStretchSteps {
 public:
  static constexpr int32_t kMaxSteps = 20;
  int32_t Count() const { return int32_t(Steps_.size()); }
  const std::vector<TStretchStep>& Steps() const { return Steps_; }
  // False (nothing kept) once 20 steps exist.
  bool Add(const TStretchStep& s);
  void Clear() { Steps_.clear(); }

 private:
  std::vector<TStretchStep> Steps_;
};

// ============================================================================ statistics

struct TImageStatistics {
  int32_t PixelCount = 1;
  double Sum = 0;
  double StdDev = 0;
  float MinValue = 0, MaxValue = 0;
  int32_t MinX = 0, MinY = 0, MaxX = 0, MaxY = 0;
  float RangeMin = 0, RangeMax = 0;
  float Background = 0;
  double FieldX = -1, FieldY = -1;
  double Rotation = 0;
  double CentreRA = -1, CentreDec = 0;
  TPixelRect Region;
  bool WholeImage = true;
  bool Masked = false;
  bool Colour = false;
};

// Where the statistics are taken: the mask (when it has storage), else the selection (when
// useSelection), both clipped to the image; else the whole image.
TImageStatistics ComputeStatistics(const TAImage& image, bool useSelection,
                                   const TPixelRect& selection);
// The lower median of the spread samples of the main plane written for a region.
float RegionMedian(const TAImage& image, const TPixelRect& region, bool useMask);

struct TStatLine {
  std::string Label;
  std::string Value;
};
// The lines of the statistics window; fieldsHidden holds the option bits (1 path, 2 pixels,
// 4 range, 8 average).
std::vector<TStatLine> StatisticsLines(const TAImage& image, const TImageStatistics& s,
                                       const std::string& folder, int32_t fieldsHidden);
// Window caption suffix: " (Mask)", " (Rectangle)" or empty.
std::string StatisticsCaptionSuffix(const TImageStatistics& s);

// ============================================================================ text export

// Counts of the main plane at Round(v) for −0.5 < v < 1000000.5; "ADU - Count" and one line
// per non-empty value, CR LF line ends.
std::string HistogramText(const TBWImage& plane);

}  // namespace orlu
