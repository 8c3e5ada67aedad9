#include "OpWindowRules.h"

#include <charconv>
#include <cmath>

#include "base/TextNumbers.h"
#include "base/Translate.h"

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

}  // namespace orlu
