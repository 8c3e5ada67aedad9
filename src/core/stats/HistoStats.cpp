#include "stats/HistoStats.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <string_view>
#include <span>

#include "astrometry/ImaWCS.h"
#include "astrometry/LibAstro.h"
#include "base/OrluMath.h"
#include "base/ProcessSwitches.h"
#include "base/TextNumbers.h"
#include "base/Translate.h"
#include "image/ImaColor.h"
#include "image/LibThreads.h"
#include "visual/ImaVisu.h"

namespace orlu {

namespace {

// Samples that are not finite count as 0, as the plane statistics do.
inline double Clean(float v) { return std::isfinite(v) ? double(v) : 0.0; }

std::string IntText(int64_t v) { return std::to_string(v); }

// Joins the parts (a literal before a temporary in "+" chains trips a false -Wrestrict).
std::string Cat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view p : parts) out += p;
  return out;
}

}  // namespace

// ============================================================================ histogram axis

void THistoModel::Count(const TAImage& image, int32_t panelWidth) {
  BinCount = Clamp(panelWidth - 2, 10, kMaxBins);
  MainBins.fill(0);
  RedBins.fill(0);
  BlueBins.fill(0);
  Colour = image.IsColour();
  PixelCount = std::max<int64_t>(1, image.PixelCount());
  const float lo = float(AxisStart), hi = float(AxisStart + AxisSpan);
  const bool isFloat = image.IsFloat != 0;
  auto count = [&](const TBWImage& plane, std::array<int32_t, kMaxBins>& bins) {
    plane.Histogram(std::span<int32_t>(bins.data(), bins.size()), BinCount, true, isFloat, hi, lo);
  };
  if (!Colour) {
    count(*image.MainPlane, MainBins);
    return;
  }
  TSyncRGB sync(PermitMultithreading() && image.IsMediumColour());
  ParallelPlanes(
      sync, true, [&] { count(*image.MainPlane, MainBins); },
      [&] { count(*image.RedPlane, RedBins); }, [&] { count(*image.BluePlane, BlueBins); });
}

bool THistoModel::AttachAxisNeeded(const TAImage& image, bool locked) const {
  const double low = image.Visu.Low, high = image.Visu.High;
  return locked || (AxisSpan == 256.5 && AxisStart == -0.5) || high > AxisSpan ||
         low < AxisStart || 0.1 * AxisSpan > high - low;
}

void THistoModel::RecomputeAxis(const TAImage& image) {
  const double high2 = 2.0 * double(image.Visu.High);
  const double m = image.IsFloat ? 1.0 : 255.0;
  double span = high2;
  if (high2 < m) span = m;
  if (high2 > double(image.DataMax)) span = image.DataMax;
  // A zero, negative or unusable span (an all-zero image) would leave no axis to draw.
  if (!(span > 0) || !std::isfinite(span)) span = m;
  AxisSpan = span;
  AxisStart = Clamp(double(image.Visu.Low) - span / 8.0, 0.0, 1e25);
}

double THistoModel::ColumnValue(double c, int32_t w) const {
  if (w < 3) return AxisStart;
  return AxisStart + (c - 1.0) * AxisSpan / double(w - 2);
}

int32_t THistoModel::GridColumn(double v, int32_t w) const {
  if (!(AxisSpan > 0)) return 0;
  return Round((v - AxisStart) * double(w - 1) / AxisSpan);
}

int32_t THistoModel::SliderPosition(double v) const {
  if (!(AxisSpan > 0)) return 0;
  const double p = (v - AxisStart) * kSliderMax / AxisSpan;
  if (!(p > 0)) return 0;
  return Round(std::min<double>(p, kSliderMax));
}

double THistoModel::SliderValue(int32_t p) const {
  return AxisStart + AxisSpan * double(p) / kSliderMax;
}

int32_t THistoModel::ColumnBin(int32_t i, int32_t w) const {
  if (w < 3) return 0;
  return Clamp(Round(double(i - 1) * BinCount / double(w - 2)), 0, BinCount - 1);
}

int32_t THistoModel::CountAt(double v) const {
  if (!(AxisSpan > 0)) return 0;
  const double d = (v - AxisStart) / AxisSpan * double(BinCount - 1);
  int32_t k = 0;
  if (!TryRound(d, k) || k < 0 || k >= BinCount) return 0;
  if (!Colour) return MainBins[size_t(k)];
  return int32_t((int64_t(MainBins[size_t(k)]) + RedBins[size_t(k)] + BlueBins[size_t(k)]) / 3);
}

void THistoModel::BitStep(bool left, double low) {
  AxisSpan = Clamp(left ? AxisSpan / 2 : AxisSpan * 2, kAxisSpanMin, kAxisSpanMax);
  AxisStart = low - AxisSpan / 8;
}

void THistoModel::Pan(double start0, double span0, int32_t dx, int32_t w) {
  AxisStart = start0 - double(dx) / double(std::max(w, 1)) * span0;
}

void THistoModel::Zoom(double start0, double span0, int32_t dy, int32_t h) {
  AxisSpan = Clamp(span0 * std::exp(4.0 * dy / double(std::max(h, 1))), kAxisSpanMin, kAxisSpanMax);
  AxisStart = start0 + span0 / 8 - AxisSpan / 8;
}

double GridStep(double x) {
  if (!(x > 0) || !std::isfinite(x)) return 0;
  const double l = std::log10(x);
  const double e = std::floor(l);
  const double f = l - e;
  const double m = f <= 0.33 ? 1 : (f <= 0.66 ? 2 : 5);
  return m * std::pow(10.0, e);
}

std::string GridLabel(double v) {
  if (v >= 1) {
    while (v > 1000) v /= 1000;
    return FormatG(v, 5);
  }
  if (v > 0) return FormatFixed(v, 1);
  return "0";
}

std::vector<TGridLine> GridLines(double axisStart, double axisSpan, int32_t w) {
  std::vector<TGridLine> lines;
  const double step = GridStep(axisSpan / 6);
  const double end = axisStart + axisSpan;
  if (step <= 0 || w < 2 || !std::isfinite(end) || end < 0) return lines;
  // Values left of the axis give no line; start at the first multiple inside it. The count
  // is bounded: a step lost in the start's precision must not loop forever.
  double k = axisStart > 0 ? std::ceil(axisStart / step) : 0;
  for (int32_t guard = 0; guard < 64; ++guard, ++k) {
    const double v = k * step;
    if (v > end) break;
    const double c = (v - axisStart) * double(w - 1) / axisSpan;
    int32_t col = 0;
    if (TryRound(c, col) && col > 0) lines.push_back({col, GridLabel(v)});
  }
  return lines;
}

int32_t BarHeight(int32_t n, int64_t pixelCount, int32_t h) {
  const double s = std::min(1.0, 1e6 / double(std::max<int64_t>(pixelCount, 1)));
  const int32_t r = Clamp(Round((double(n) + 4) * s), 1, 29999);
  const int32_t v = Trunc((std::log(double(r)) - 1.5) * double(h - 1) / std::log(30000.0));
  return std::max(v, 0);
}

int32_t ColourLevel(int32_t c, int32_t total) {
  return std::min<int32_t>(240, 180 + int32_t(60 * int64_t(c) / std::max(total, 1)));
}

int32_t DisplayLevel(const TImageVisu& visu, double v) {
  const double low = visu.Low, high = ThresholdHigh(visu.Low, visu.High);
  if (!(v > low)) return 0;
  if (v >= high) return 255;
  const int32_t i = Clamp(Round((v - low) * (TImageVisu::kTableSize - 1) / (high - low)), 0,
                          TImageVisu::kTableSize - 1);
  if (i == 0) return 0;
  if (i == TImageVisu::kTableSize - 1) return 255;
  return visu.LevelTable[size_t(i)];
}

int32_t CurveRow(int32_t level, int32_t h) {
  return Round(double(h - 2) - 2.0 * level * (double(h - 3) / 510.0));
}

int32_t BandCurveRow(int32_t band, int32_t level, int32_t h) {
  const int32_t bh = h / 3;
  return Round(double(band * ((h + 1) / 3) + (bh - 2)) - 2.0 * level * (double(bh - 3) / 510.0));
}

std::string BitLabel(double span) {
  if (!(span > 1)) return "  0..1";
  const std::string n = IntText(Round(std::log2(span)));
  std::string out(n.size() == 1 ? 1 : 0, ' ');
  out += n;
  out += " BIT";
  return out;
}

std::string ReadoutLabel(const std::string& name, const std::string& number) {
  if (number.size() <= 7) return name + " = " + number;
  if (number.size() <= 9) return name + " " + number;
  return number;
}

std::string ReadoutValue(double v) {
  if (std::fabs(v) < 1e18) return IntText(Round64(v));
  return FormatG(v, 7);
}

// ============================================================================ buttons

TRange LuminanceStep(double low, double high, double span, bool left) {
  const double g = (high - low) / 150 + span / 200;
  return left ? TRange{low + g, high + g} : TRange{low - g, high - g};
}

TRange ContrastStep(double low, double high, bool left) {
  const double m = (high + low) / 2, w = high - m;
  const double w2 = left ? w / 0.98 : w * 0.98;
  return {m - w2, m + w2};
}

int32_t TransferStep(int32_t code, int32_t plainType, bool left) {
  const int32_t c = code >= 1000 ? plainType : code;
  const int32_t n = left ? c + 1 : c - 1;
  return (n > 20 || n < -20) ? c : n;
}

int32_t ChooseSpecialType(int32_t current, int32_t chosen, int32_t plainType) {
  return current == chosen ? plainType : chosen;
}

// ============================================================================ stretch dialog

double StretchRangeStep(double n, bool up) {
  double r;
  if (n >= 255 && n <= 16777215 && n == std::floor(n)) {
    int64_t k = int64_t(n);
    if (k % 256 == 0) --k;
    if (k % 256 == 255)
      r = up ? double((k + 1) * 4 - 1) : double((k + 1) / 4 - 1);
    else
      r = up ? double(k) * 4 : double(k) / 4;
  } else {
    r = up ? n * 4 : n / 4;
  }
  if (r == 252 || r == 256) r = 255;
  if (r == 16777216) r = 16777215;
  return r;
}

bool TStretchSteps::Add(const TStretchStep& s) {
  if (Count() >= kMaxSteps) return false;
  Steps_.push_back(s);
  return true;
}

// ============================================================================ statistics

namespace {

TPixelRect ClipRect(TPixelRect r, int32_t w, int32_t h) {
  if (r.Left > r.Right) std::swap(r.Left, r.Right);
  if (r.Bottom > r.Top) std::swap(r.Bottom, r.Top);
  r.Left = std::max(r.Left, 0);
  r.Bottom = std::max(r.Bottom, 0);
  r.Right = std::min(r.Right, w - 1);
  r.Top = std::min(r.Top, h - 1);
  return r;
}

// Sums over the rectangle (mask weights > 0 only when mask is given), storage order.
void Accumulate(const TAImage& image, const TPixelRect& r, const TAMask* mask,
                TImageStatistics& s) {
  const bool colour = image.IsColour();
  const int32_t w = image.Width();
  // Sums of v − ref keep the variance exact for constant data (ref: the first value).
  double sum = 0, sq = 0, ref = 0;
  bool haveRef = false;
  int64_t n = 0;
  double mn = std::numeric_limits<double>::infinity(), mx = -mn;
  double rmn = mn, rmx = -mn;
  const float* g = image.MainPlane->Data;
  const float* red = colour ? image.RedPlane->Data : nullptr;
  const float* blue = colour ? image.BluePlane->Data : nullptr;
  if (!r.IsEmpty() && g) {
    for (int32_t y = r.Bottom; y <= r.Top; ++y) {
      const int64_t row = int64_t(y) * w;
      for (int32_t x = r.Left; x <= r.Right; ++x) {
        const int64_t i = row + x;
        if (mask && mask->Weight(x, y) == 0) continue;
        double v;
        if (colour) {
          const double gv = Clean(g[i]), rv = Clean(red[i]), bv = Clean(blue[i]);
          v = double(0.30f * float(rv) + 0.59f * float(gv) + 0.11f * float(bv));
          rmn = std::min({rmn, rv, gv, bv});
          rmx = std::max({rmx, rv, gv, bv});
        } else {
          v = Clean(g[i]);
        }
        if (!haveRef) ref = v, haveRef = true;
        ++n;
        sum += v - ref;
        sq += (v - ref) * (v - ref);
        if (v < mn) mn = v, s.MinX = x, s.MinY = y;
        if (v > mx) mx = v, s.MaxX = x, s.MaxY = y;
      }
    }
  }
  if (n == 0) {
    s.PixelCount = 1;
    s.Sum = 0;
    s.StdDev = 0;
    s.MinValue = s.MaxValue = s.RangeMin = s.RangeMax = 0;
    return;
  }
  s.PixelCount = int32_t(std::min<int64_t>(n, std::numeric_limits<int32_t>::max()));
  s.Sum = sum + ref * double(n);
  const double mean = sum / double(n);
  // Rounding can leave the difference slightly negative.
  const double var = sq / double(n) - mean * mean;
  s.StdDev = var > 0 && std::isfinite(var) ? std::sqrt(var) : 0.0;
  s.MinValue = float(mn);
  s.MaxValue = float(mx);
  s.RangeMin = colour ? float(rmn) : s.MinValue;
  s.RangeMax = colour ? float(rmx) : s.MaxValue;
}

}  // namespace

float RegionMedian(const TAImage& image, const TPixelRect& region, bool useMask) {
  const TBWImage& p = *image.MainPlane;
  const TPixelRect r = ClipRect(region, p.Width, p.Height);
  if (r.IsEmpty() || !p.Data) return 0;
  const TAMask* mask = useMask && image.Mask && image.Mask->HasStorage() ? image.Mask.get() : nullptr;
  // n is the number of pixels actually used, so the spread covers them all.
  int64_t n = 0;
  if (mask) {
    for (int32_t y = r.Bottom; y <= r.Top; ++y)
      for (int32_t x = r.Left; x <= r.Right; ++x) n += mask->Weight(x, y) != 0;
  } else {
    n = int64_t(r.Right - r.Left + 1) * (r.Top - r.Bottom + 1);
  }
  if (n < 2) return 0;
  const double f = std::min(1.0, 5000.0 / double(n));
  std::vector<float> slots(5001, 0.0f);
  int64_t i = 0, written = 0;
  for (int32_t y = r.Bottom; y <= r.Top; ++y) {
    for (int32_t x = r.Left; x <= r.Right; ++x) {
      if (mask && mask->Weight(x, y) == 0) continue;
      const int64_t slot = std::min<int64_t>(Round64(double(i) * f), 5000);
      slots[size_t(slot)] = float(Clean(p.GetPixelUnchecked(x, y)));
      written = std::max(written, slot + 1);
      ++i;
    }
  }
  // Only slots that hold a sample take part.
  int64_t k = std::min<int64_t>({i, written, 5000});
  k -= k % 2;
  if (k < 2) return 0;
  auto mid = slots.begin() + (k - 1) / 2;
  std::nth_element(slots.begin(), mid, slots.begin() + k);
  return *mid;
}

TImageStatistics ComputeStatistics(const TAImage& image, bool useSelection,
                                   const TPixelRect& selection) {
  TImageStatistics s;
  s.Colour = image.IsColour();
  const int32_t w = image.Width(), h = image.Height();
  TAMask* mask = image.Mask && image.Mask->HasStorage() && image.Mask->Width == w &&
                         image.Mask->Height == h
                     ? image.Mask.get()
                     : nullptr;
  if (mask) {
    s.Masked = true;
    s.WholeImage = false;
    s.Region = ClipRect(mask->EnsureBounds(), w, h);
  } else if (useSelection) {
    s.WholeImage = false;
    s.Region = ClipRect(selection, w, h);
  } else {
    s.Region = TPixelRect{0, 0, w - 1, h - 1};
  }
  Accumulate(image, s.Region, mask, s);
  if (s.WholeImage) {
    s.Background = image.BackgroundLevel;
    if (image.HasWcs) {
      s.FieldX = FieldOfViewX(image) * 180.0 / M_PI * 60.0;
      s.FieldY = FieldOfViewY(image) * 180.0 / M_PI * 60.0;
      s.Rotation = RotationAngle(image);
    }
  } else {
    s.Background = RegionMedian(image, s.Region, mask != nullptr);
  }
  double ra = -1, dec = -1;
  if (ImageCentre(image, true, ra, dec)) {
    s.CentreRA = ra;
    s.CentreDec = dec;
  }
  return s;
}

std::vector<TStatLine> StatisticsLines(const TAImage& image, const TImageStatistics& s,
                                       const std::string& folder, int32_t hidden) {
  std::vector<TStatLine> l;
  auto add = [&l](const char* label, std::string value) { l.push_back({Tr(label), std::move(value)}); };
  const bool selection = !s.WholeImage && !s.Masked;
  if (s.WholeImage && !(hidden & 1)) add("Path", folder);
  if (s.Masked)
    add("Mask", FormatFixed(100.0 * s.PixelCount / double(std::max<int64_t>(1, image.PixelCount())), 2) + "%");
  if (s.WholeImage) add("Size", IntText(image.Width()) + " x " + IntText(image.Height()));
  if (selection)
    add("Rectangle", Cat({"[", IntText(s.Region.Left), ",", IntText(s.Region.Right), "] [",
                          IntText(s.Region.Top), ",", IntText(s.Region.Bottom), "]"}));
  if (!(hidden & 2)) add("Pixels", IntText(s.PixelCount));
  if (s.FieldX > 0) {
    std::string deg;
    if (s.FieldX > 60)
      deg = Cat({"(", FormatFixed(s.FieldX / 60, 1), "\xC2\xB0x ", FormatFixed(s.FieldY / 60, 1), "\xC2\xB0)"});
    add("Field of view", FormatFixed(s.FieldX, 2) + "' x " + FormatFixed(s.FieldY, 2) + "' " + deg +
                             "  " + FormatFixed(s.Rotation, 1) + "\xC2\xB0");
    add("Pixel scale", FormatFixed(60 * s.FieldX / image.Width(), 3) + "\" x " +
                           FormatFixed(60 * s.FieldY / image.Height(), 3) + "\"");
  }
  if (s.CentreRA >= 0) {
    if (image.HasWcs)
      add("Center", RAToTextTenths(s.CentreRA) + "  " + DecToTextSeconds(s.CentreDec));
    else
      add("Telescope", RAToTextMinutes(s.CentreRA) + "  " + DecToTextMinutes(s.CentreDec));
  }
  if (!(hidden & 4)) {
    add("Range", FormatG(s.RangeMin, 7) + " : " + FormatG(s.RangeMax, 7));
    add(s.Colour ? "Min (Lum)" : "Min",
        FormatG(s.MinValue, 7) + " @ " + IntText(s.MinX) + "," + IntText(s.MinY));
    add(s.Colour ? "Max (Lum)" : "Max",
        FormatG(s.MaxValue, 7) + " @ " + IntText(s.MaxX) + "," + IntText(s.MaxY));
  }
  add("Background", FormatG(s.Background, 6));
  add("Std.deviation", FormatG(s.StdDev, 8));
  if (!(hidden & 8)) {
    add("Average", FormatG(s.Sum / s.PixelCount, 8));
    add("Sum", FormatG(s.Sum, 11));
  }
  return l;
}

std::string StatisticsCaptionSuffix(const TImageStatistics& s) {
  if (s.WholeImage && !s.Masked) return {};
  std::string out = " (";
  out += Tr(s.Masked ? "Mask" : "Rectangle");
  out += ")";
  return out;
}

// ============================================================================ text export

std::string HistogramText(const TBWImage& plane) {
  std::vector<int32_t> counts(1000001, 0);
  if (plane.Data) {
    const float* d = plane.Data;
    for (int64_t i = 0; i < plane.Count; ++i) {
      const float v = d[i];
      if (v > -0.5f && v < 1000000.5f) ++counts[size_t(Round(v))];
    }
  }
  std::string out = "ADU - Count\r\n";
  for (size_t v = 0; v < counts.size(); ++v)
    if (counts[v] > 0) out += std::to_string(v) + " " + std::to_string(counts[v]) + "\r\n";
  return out;
}

}  // namespace orlu
