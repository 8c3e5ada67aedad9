#include "StatusTexts.h"

#include <cstdio>
#include <numbers>

#include "ZoomMath.h"
#include "astrometry/ImaWCS.h"
#include "astrometry/LibAstro.h"
#include "base/TextNumbers.h"
#include "base/Translate.h"
#include "document/uAstroDoc.h"
#include "image/ImaColor.h"

namespace orlu {

namespace {

// "%-4s": left-aligned in at least n characters.
std::string PadRight(std::string s, size_t n) {
  if (s.size() < n) s.append(n - s.size(), ' ');
  return s;
}

std::string PadInt(int32_t v, size_t n) { return PadRight(std::to_string(v), n); }

}  // namespace

int32_t CaptionPercent(int32_t zoomCode) {
  const int32_t p = ZoomPercentShown(zoomCode);
  return p == 100 && zoomCode != 0 ? 99 : p;
}

std::string CaptionText(const std::string& title, int32_t zoomCode) {
  if (zoomCode == 0) return title;
  return title + "  [" + std::to_string(CaptionPercent(zoomCode)) + "%]";
}

std::string ImageStatusText(const TAstroDocument& doc, int32_t zoomCode) {
  std::string s = std::to_string(doc.Width()) + " x " + std::to_string(doc.Height()) +
                  "    RAM = " + std::to_string(doc.MemoryMB()) + " Mb";
  const TAImage& image = doc.Image();
  if (doc.HasWcs()) {
    const double toArcmin = 180.0 / std::numbers::pi * 60.0;
    const double fx = FieldOfViewX(image) * toArcmin;
    const double fy = FieldOfViewY(image) * toArcmin;
    s += "    " + Tr("Field");
    if (fx > 600 || fy > 600)
      s += " = " + FormatFixed(fx / 60, 1) + "\xC2\xB0 x " + FormatFixed(fy / 60, 1) + "\xC2\xB0";
    else
      s += " = " + FormatFixed(fx, 1) + "' x " + FormatFixed(fy, 1) + "'";
  }
  if (zoomCode != 0) s += "    " + Tr("Zoom") + " = " + std::to_string(CaptionPercent(zoomCode)) + "%";
  return s;
}

std::string PixelInfoText(const TAImage& image, int32_t x, int32_t y) {
  if (x < 0 || y < 0 || x >= image.Width() || y >= image.Height()) return {};
  std::string s = "X = " + PadInt(x, 4) + "  Y = " + PadInt(y, 4) + "  " + Tr("Value") + " = " +
                  PadRight(FormatValue(image.Luminance(x, y)), 4);
  if (image.IsColour()) {
    float r = 0, g = 0, b = 0;
    image.GetRGB(x, y, r, g, b);
    s += "  [R = " + PadRight(FormatValue(r), 3) + "  G = " + PadRight(FormatValue(g), 3) +
         "  B = " + PadRight(FormatValue(b), 3) + "]";
  }
  return s;
}

std::string SkyInfoText(const TAImage& image, int32_t x, int32_t y, const TMiscOptions& options) {
  if (!image.HasWcs || x < 0 || y < 0 || x >= image.Width() || y >= image.Height()) return {};
  double ra = 0, dec = 0;
  image.Wcs.PixelToSkyDeg(x, y, ra, dec);
  const std::string coords = CoordinatesToText(dec, ra, options);
  if (coords.empty()) return {};
  return std::string("RA DEC") + (image.Wcs.HasSipTerms() ? " SIP" : "") + " = " + coords;
}

int32_t ToolbarIconSize(int32_t mode, double dpi, int32_t screenW, int32_t screenH) {
  switch (mode) {
    case 1: return 20;
    case 2: return 24;
    case 3: return 28;
    case 4: return 36;
    default: break;
  }
  if (dpi > 170) return 36;
  if (dpi > 140) return 28;
  if (dpi > 110 || (screenW > 1900 && screenH > 900)) return 24;
  return 20;
}

std::vector<std::string> AutoAccelerators(const std::vector<std::string>& captions) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
  const auto markable = [](char c) { return static_cast<unsigned char>(c) > 32 && static_cast<unsigned char>(c) < 127; };
  bool used[128] = {};
  // Accelerators given by hand are taken first.
  for (const std::string& c : captions)
    for (size_t i = 0; i + 1 < c.size(); ++i)
      if (c[i] == '&') {
        if (c[i + 1] != '&' && markable(c[i + 1])) used[size_t(lower(c[i + 1]))] = true;
        ++i;
      }
  std::vector<std::string> out = captions;
  for (std::string& c : out) {
    if (c.size() < 2 || c.find('&') != std::string::npos) continue;
    for (size_t i = 0; i < c.size(); ++i) {
      if (!markable(c[i]) || used[size_t(lower(c[i]))]) continue;
      used[size_t(lower(c[i]))] = true;
      c.insert(i, 1, '&');
      break;
    }
  }
  return out;
}

bool TStatusHold::Accept(int64_t nowMs, int32_t holdMs, bool sticky) {
  if (ShownAt_ != 0) {
    if (nowMs - ShownAt_ < HoldMs_ && !sticky) return false;
    ShownAt_ = 0;
  }
  HoldMs_ = holdMs;
  // 0 means "none held": a clock that reads 0 still records a hold.
  if (sticky) ShownAt_ = nowMs != 0 ? nowMs : 1;
  return true;
}

}  // namespace orlu
