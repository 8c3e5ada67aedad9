#include "OpWindowRules.h"

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
      {"Rectangle", 0}, {"Ellipse", 1}, {"Path", 2}, {"Fill", 3}, {"Value", 4}, {"Move", 5}};
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

}  // namespace orlu
