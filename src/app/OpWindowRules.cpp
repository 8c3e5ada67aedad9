#include "OpWindowRules.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "base/TextNumbers.h"
#include "base/Translate.h"
#include "annotate/uAnnotate.h"

namespace orlu {

// ============================================================================ fields

std::string FieldText(double v) {
  // The shortest text that reads back as v, without the locale.
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

std::string FloatFieldText(float v) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

TFieldCheck CheckField(std::string_view caption, std::string_view text, double min, double max,
                       bool integer) {
  TFieldCheck r;
  std::string t = Trim(text);
  for (char& c : t)
    if (c == ',') c = '.';
  double v = 0;
  if (!t.empty() && ParseDouble(t, v) && std::isfinite(v) && v >= min && v <= max &&
      (!integer || v == std::trunc(v))) {
    r.Ok = true;
    r.Value = v == 0 ? 0.0 : v;  // -0 reads as 0
    return r;
  }
  r.Message = std::string(caption) + ": " + Tr("Invalid value") + " \"" + std::string(text) +
              "\" (" + FieldText(min) + " .. " + FieldText(max) + ")";
  return r;
}

// ============================================================================ mask window

const std::vector<TMaskToolButton>& MaskToolButtons() {
  static const std::vector<TMaskToolButton> buttons = {
      {"Rectangle", 0}, {"Ellipse", 1}, {"Path", 2}, {"Brush", 6},
      {"Fill", 3},      {"Value", 4},   {"Move", 5}};
  return buttons;
}

const char* MaskModeCaption(TMaskMode mode) {
  switch (mode) {
    case TMaskMode::Replace: return "Replace";
    case TMaskMode::Add: return "Add";
    case TMaskMode::Subtract: return "Subtract";
    case TMaskMode::Intersect: return "Intersect";
  }
  return "Replace";
}

TGreyPicture MaskPreview(const TAMask& mask, int32_t maxSide) {
  TGreyPicture pic;
  if (!mask.HasStorage() || mask.Width <= 0 || mask.Height <= 0 || maxSide <= 0) return pic;
  const int32_t longer = std::max(mask.Width, mask.Height);
  const double f = longer > maxSide ? double(maxSide) / longer : 1.0;
  pic.Width = std::max(1, int32_t(mask.Width * f));
  pic.Height = std::max(1, int32_t(mask.Height * f));
  pic.Levels.resize(size_t(pic.Width) * size_t(pic.Height));
  for (int32_t r = 0; r < pic.Height; ++r) {
    const int32_t y = std::min(mask.Height - 1, int32_t(int64_t(r) * mask.Height / pic.Height));
    uint8_t* out = pic.Levels.data() + size_t(pic.Height - 1 - r) * size_t(pic.Width);
    for (int32_t c = 0; c < pic.Width; ++c) {
      const int32_t x = std::min(mask.Width - 1, int32_t(int64_t(c) * mask.Width / pic.Width));
      out[c] = uint8_t(mask.Weight(x, y) >> 8);
    }
  }
  return pic;
}

TMaskPoint MaskArrowShift(TMaskArrow arrow, int32_t n) {
  switch (arrow) {
    case TMaskArrow::Left: return {-n, 0};
    case TMaskArrow::Right: return {n, 0};
    case TMaskArrow::Down: return {0, -n};
    case TMaskArrow::Up: return {0, n};
  }
  return {};
}

// ============================================================================ history window

namespace {

// Days since 1899-12-30 to a Julian date.
constexpr double kDateTimeEpochJD = 2415018.5;

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return out;
}

}  // namespace

std::string HistoryDetails(const THistoryItem& item) {
  std::string out;
  if (item.Code != kOtherCode)
    out = Tr(OperationName(item.Code));
  else if (item.Kind == 1)
    out = "???";
  else
    out = Tr(HistoryKindName(item.Kind));
  out += "\n";
  if (item.Time > 0) {
    const std::string when = FormatJulianDate("yyyy-mm-dd hh:nn:ss", item.Time + kDateTimeEpochJD);
    if (!when.empty()) out += Tr("Time") + ": " + when + "\n";
  }
  const std::string params = Trim(item.ParamText());
  if (!params.empty()) out += Tr("Parameters") + ": " + params + "\n";
  if (item.HasText()) out += Tr("Text") + ": " + item.Text + "\n";
  if (item.Masked) out += Tr("Mask") + "\n";
  if (item.Ask) out += Tr("Asks for its parameters") + "\n";
  const std::string record = item.RecordLine();
  if (!record.empty()) out += Tr("Record") + ": " + record + "\n";
  return out;
}

std::string HistoryButtonCaption(const THistoryList& history) {
  const int32_t ops = history.OperationCount();
  const int32_t all = history.Count();
  std::string s = Tr("Processing history");
  s.append(" (").append(std::to_string(ops));
  if (ops != all) s.append("/").append(std::to_string(all));
  s.append(")");
  return s;
}

// ============================================================================ macro editor

std::vector<int32_t> MacroOperationCodes(std::string_view search) {
  const std::string needle = Lower(Trim(search));
  std::vector<int32_t> out;
  for (int32_t code = 0; code <= kLastOperationCode; ++code) {
    if (code == kOtherCode) continue;
    if (needle.empty() || Lower(Tr(OperationName(code))).find(needle) != std::string::npos)
      out.push_back(code);
  }
  return out;
}

// ============================================================================ range dialog

TRangeChoice CheckRangeInput(const TRangeInput& in, int32_t currentType) {
  TRangeChoice r;
  r.Mode = in.Mode;
  double lo = -1e38, hi = 1e38;
  if (in.Mode == TRangeMode::Percentage) lo = 0, hi = 100;
  if (in.Mode == TRangeMode::Sigma) lo = -1e6, hi = 1e6;
  const TFieldCheck a = CheckField(Tr("Min"), in.Low, lo, hi, false);
  if (!a.Ok) {
    r.Message = a.Message;
    return r;
  }
  const TFieldCheck b = CheckField(Tr("Max"), in.High, lo, hi, false);
  if (!b.Ok) {
    r.Message = b.Message;
    return r;
  }
  r.A = a.Value;
  r.B = b.Value;
  r.Type = currentType;
  if (in.UseType) {
    const TFieldCheck t = CheckField(Tr("Transfer function"), in.Type, -20, 20, true);
    if (!t.Ok) {
      r.Message = t.Message;
      return r;
    }
    r.Type = -int32_t(t.Value);
  }
  r.Ok = true;
  return r;
}

int32_t RangeTypeField(int32_t type) {
  // Codes beyond the arcs and power curves have no field value.
  return type < 999 && type > -999 ? -type : 0;
}

std::string RangeTypeLabel(int32_t fieldValue) {
  std::string s = TImageVisu::ShortCode(-fieldValue);
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return s;
}

// ============================================================================ palettes

const std::vector<TPaletteItem>& PaletteMenuItems() {
  static const std::vector<TPaletteItem> items = {
      {"Gray", kPaletteGray},       {"Negative", kPaletteNegative},
      {"SawTooth", kPaletteSawTooth}, {"Color", kPaletteColor},
      {"Rainbow", kPaletteRainbow}, {"Flame", kPaletteFlame},
      {"Jazz", kPaletteJazz}};
  return items;
}

int32_t PaletteAfterCommand(int32_t currentType, int32_t command) {
  if (command == kPaletteNegative && currentType == kPaletteNegative) return kPaletteGray;
  return command;
}

// ============================================================================ annotate window

void CopyAnnotationProperty(const TAnnotation& s, TAnnotation& t, TAnnProp p) {
  switch (p) {
    case TAnnProp::Kind: t.Kind = s.Kind; break;
    case TAnnProp::Text: t.Text = s.Text; break;
    case TAnnProp::Font: t.FontName = s.FontName; break;
    case TAnnProp::FontSize: t.FontSize = s.FontSize; break;
    case TAnnProp::Style: t.Style = s.Style; break;
    case TAnnProp::TextPos: t.TextPos = s.TextPos; break;
    case TAnnProp::TextColor: t.TextColor = s.TextColor; break;
    case TAnnProp::FigureColor: t.FigureColor = s.FigureColor; break;
    case TAnnProp::Width: t.Width = s.Width; break;
    case TAnnProp::Sections: t.Sections = s.Sections; break;
    case TAnnProp::Transparency: t.Transparency = s.Transparency; break;
    case TAnnProp::Logo:
      if (s.Logo.FileName != t.Logo.FileName || s.Logo.Loaded != t.Logo.Loaded)
        t.Logo.Assign(s.Logo);
      break;
    case TAnnProp::Rect: t.SetRect(s.Rect()); break;
  }
}

void CopyAnnotationProperties(const TAnnotation& source, TAnnotation& target) {
  for (int32_t p = 0; p < kAnnPropCount; ++p) CopyAnnotationProperty(source, target, TAnnProp(p));
}

std::string AnnotateCaption(const TAnnotationList& list) {
  std::string s = Tr("Annotation");
  const TAnnotation* cur = list.Current();
  if (cur) s.append(" #").append(std::to_string(list.IndexOf(cur) + 1));
  const int32_t n = list.SelectedCount();
  if (n > 0)
    s.append("  -  ")
        .append(Tr("Selected"))
        .append(" ")
        .append(std::to_string(n))
        .append("/")
        .append(std::to_string(list.Count()));
  return s;
}

TAnnRect RectFromCentreSize(int32_t cx, int32_t cy, int32_t w, int32_t h) {
  w = std::clamp(w, 1, kAnnMaxCoordinate);
  h = std::clamp(h, 1, kAnnMaxCoordinate);
  cx = std::clamp(cx, -kAnnMaxCoordinate, kAnnMaxCoordinate);
  cy = std::clamp(cy, -kAnnMaxCoordinate, kAnnMaxCoordinate);
  TAnnRect r;
  r.X1 = cx - (w - 1) / 2;
  r.X2 = r.X1 + w - 1;
  r.Y1 = cy - (h - 1) / 2;
  r.Y2 = r.Y1 + h - 1;
  // The centre rounds toward zero: a negative odd sum sits one pixel high, so step down.
  if ((int64_t(r.X1) + r.X2) / 2 > cx) --r.X1, --r.X2;
  if ((int64_t(r.Y1) + r.Y2) / 2 > cy) --r.Y1, --r.Y2;
  return r;
}

TAnnRect RectWithBase(const TAnnRect& r, int32_t bx, int32_t by) {
  const int64_t dx = int64_t(bx) - r.X1, dy = int64_t(by) - r.Y1;
  auto clampC = [](int64_t v) {
    return int32_t(std::clamp<int64_t>(v, -kAnnMaxCoordinate, kAnnMaxCoordinate));
  };
  return {clampC(bx), clampC(by), clampC(r.X2 + dx), clampC(r.Y2 + dy)};
}

}  // namespace orlu
