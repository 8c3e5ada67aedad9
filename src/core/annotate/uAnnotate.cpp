// Annotations: line form, macros, geometry, selection rules and drawing.
#include "annotate/uAnnotate.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <numbers>
#include <system_error>
#include <utility>

#include "astrometry/ImaWCS.h"
#include "astrometry/LibAstro.h"
#include "base/OrluMath.h"
#include "fits/ImaHeader.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"

namespace orlu {

namespace {

constexpr const char* kKindNames[kAnnotationKinds] = {
    "Ellipse",    "Circle",     "Arrow",      "Ruler",      "Text box",   "Logo",
    "Rectangle",  "Square",     "Corners",    "Cross",      "Cross - V",  "Cross - H",
    "Cross - NE", "Cross - SE", "Cross - SW", "Cross - NW", "Point",      "None"};
constexpr const char* kPositionNames[6] = {"Top", "Down", "Left", "Right", "Center", "None"};

std::atomic<int32_t> gSelectionCounter{0};
std::atomic<bool> gShown{true};

int32_t ClampCoord(int64_t v) {
  return int32_t(std::clamp<int64_t>(v, -kAnnMaxCoordinate, kAnnMaxCoordinate));
}

int32_t RoundClamp(double v, int32_t lo, int32_t hi) { return std::clamp(Round(v), lo, hi); }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsKeywordChar(char c) {
  return (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '-' || c == '_';
}

// ---------------------------------------------------------------------------------------
// UTF-8

// Decodes one code point at text[i]; -1 for an invalid sequence (one byte consumed).
int32_t DecodeUtf8(std::string_view text, size_t& i) {
  const auto b = [&](size_t k) { return uint8_t(text[k]); };
  const uint8_t c = b(i);
  if (c < 0x80) {
    ++i;
    return c;
  }
  int len = 0;
  int32_t cp = 0, min = 0;
  if ((c & 0xE0) == 0xC0) len = 2, cp = c & 0x1F, min = 0x80;
  else if ((c & 0xF0) == 0xE0) len = 3, cp = c & 0x0F, min = 0x800;
  else if ((c & 0xF8) == 0xF0) len = 4, cp = c & 0x07, min = 0x10000;
  else {
    ++i;
    return -1;
  }
  if (i + size_t(len) > text.size()) {
    ++i;
    return -1;
  }
  for (int k = 1; k < len; ++k) {
    if ((b(i + size_t(k)) & 0xC0) != 0x80) {
      ++i;
      return -1;
    }
    cp = (cp << 6) | (b(i + size_t(k)) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return -1;
  }
  i += size_t(len);
  return cp;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xF0 | (cp >> 18));
    out += char(0x80 | ((cp >> 12) & 0x3F));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

void AppendHex(std::string& out, uint32_t v, int digits) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (int k = digits - 1; k >= 0; --k) out += kHex[(v >> (4 * k)) & 15];
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Value of n hex digits at text[i]; -1 when cut or invalid.
int32_t HexAt(std::string_view text, size_t i, int n) {
  if (i + size_t(n) > text.size()) return -1;
  int32_t v = 0;
  for (int k = 0; k < n; ++k) {
    const int h = HexValue(text[i + size_t(k)]);
    if (h < 0) return -1;
    v = v * 16 + h;
  }
  return v;
}

std::string Escape(std::string_view text, bool name) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    int32_t cp = DecodeUtf8(text, i);
    if (cp < 0) cp = '?';
    const bool delimiter = name && (cp == '[' || cp == ']' || cp == '#' || cp == '>');
    if (cp >= 32 && cp <= 126 && cp != '%' && !delimiter) {
      out += char(cp);
    } else if (cp >= 0x10000) {
      const uint32_t v = uint32_t(cp) - 0x10000;
      out += "%u";
      AppendHex(out, 0xD800 + (v >> 10), 4);
      out += "%u";
      AppendHex(out, 0xDC00 + (v & 0x3FF), 4);
    } else if (cp >= 256) {
      out += "%u";
      AppendHex(out, uint32_t(cp), 4);
    } else {
      out += '%';
      AppendHex(out, uint32_t(cp), 2);
    }
  }
  return out;
}

std::string FormatInt(const char* format, int64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, format, static_cast<long long>(v));
  return buf;
}

// ---------------------------------------------------------------------------------------
// Dates

struct TDateParts {
  int32_t Year = 0, Month = 0, Day = 0, DayOfWeek = 0;  // DayOfWeek 0 = Sunday
  int32_t Hour = 0, Minute = 0, Second = 0, MSec = 0;
};

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

bool DecodeJD(double jd, TDateParts& d) {
  if (!std::isfinite(jd)) return false;
  // Day serial from 1899-12-30 00:00, in milliseconds, rounded once so that carries reach
  // the date (23:59:59.9996 is the next day).
  const double ms = (jd - 2415018.5) * 86400000.0;
  if (!(std::fabs(ms) < 1e15)) return false;
  const int64_t total = Round64(ms);
  const int64_t day = FloorDiv(total, 86400000);
  const int64_t t = total - day * 86400000;
  // Civil date of a day count from 1970-01-01 (proleptic Gregorian).
  int64_t z = day - 25569 + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t dd = doy - (153 * mp + 2) / 5 + 1;
  const int64_t mm = mp < 10 ? mp + 3 : mp - 9;
  const int64_t yy = yoe + era * 400 + (mm <= 2);
  if (yy < 1 || yy > 9999) return false;
  d.Year = int32_t(yy);
  d.Month = int32_t(mm);
  d.Day = int32_t(dd);
  d.DayOfWeek = int32_t(((day + 6) % 7 + 7) % 7);
  d.Hour = int32_t(t / 3600000);
  d.Minute = int32_t(t / 60000 % 60);
  d.Second = int32_t(t / 1000 % 60);
  d.MSec = int32_t(t % 1000);
  return true;
}

constexpr const char* kShortDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kLongDays[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                      "Thursday", "Friday", "Saturday"};
constexpr const char* kShortMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* kLongMonths[12] = {"January", "February", "March",     "April",
                                         "May",     "June",     "July",      "August",
                                         "September", "October", "November", "December"};
constexpr std::string_view kShortDateFormat = "yyyy-mm-dd";
constexpr std::string_view kLongDateFormat = "dddd, d mmmm yyyy";
constexpr std::string_view kShortTimeFormat = "hh:nn";
constexpr std::string_view kLongTimeFormat = "hh:nn:ss";

bool StartsNoCase(std::string_view s, size_t at, std::string_view with) {
  if (at + with.size() > s.size()) return false;
  for (size_t k = 0; k < with.size(); ++k) {
    char c = s[at + k];
    if (c >= 'a' && c <= 'z') c = char(c - 32);
    if (c != with[k]) return false;
  }
  return true;
}

void AppendNumber(std::string& out, int64_t v, size_t digits) {
  std::string s = std::to_string(v);
  if (s.size() < digits) out.append(digits - s.size(), '0');
  out += s;
}

// The date-time pattern language: tokens are runs of one letter; "m" right after an hour
// token means minutes; nested formats ("c", "ddddd", "t") go one level deep.
void AppendDateFormat(std::string& out, std::string_view f, const TDateParts& d, int level) {
  if (level >= 2) return;
  char lastToken = ' ';
  size_t i = 0;
  while (i < f.size()) {
    const char starter = f[i++];
    char token = starter;
    if (token >= 'a' && token <= 'z') token = char(token - 32);
    if (token >= 'A' && token <= 'Z') {
      if (token == 'M' && lastToken == 'H') token = 'N';
      lastToken = token;
    }
    auto count = [&] {
      size_t c = 1;
      while (i < f.size() && f[i] == starter) ++i, ++c;
      return c;
    };
    switch (token) {
      case 'Y': {
        const size_t c = count();
        if (c <= 2) AppendNumber(out, d.Year % 100, 2);
        else AppendNumber(out, d.Year, 4);
        break;
      }
      case 'M': {
        const size_t c = count();
        if (c <= 2) AppendNumber(out, d.Month, c);
        else out += c == 3 ? kShortMonths[d.Month - 1] : kLongMonths[d.Month - 1];
        break;
      }
      case 'D': {
        const size_t c = count();
        if (c <= 2) AppendNumber(out, d.Day, c);
        else if (c == 3) out += kShortDays[d.DayOfWeek];
        else if (c == 4) out += kLongDays[d.DayOfWeek];
        else AppendDateFormat(out, c == 5 ? kShortDateFormat : kLongDateFormat, d, level + 1);
        break;
      }
      case 'H': {
        const size_t c = std::min<size_t>(count(), 2);
        // A 12-hour clock when an am/pm marker follows before the next hour token.
        bool twelve = false, quoted = false;
        for (size_t p = i; p < f.size(); ++p) {
          const char q = f[p];
          if (q == '\'' || q == '"') {
            quoted = !quoted;
          } else if (!quoted && (q == 'A' || q == 'a')) {
            twelve = StartsNoCase(f, p, "AM/PM") || StartsNoCase(f, p, "A/P") ||
                     StartsNoCase(f, p, "AMPM");
            break;
          } else if (!quoted && (q == 'H' || q == 'h')) {
            break;
          }
        }
        int32_t h = d.Hour;
        if (twelve) {
          h %= 12;
          if (h == 0) h = 12;
        }
        AppendNumber(out, h, c);
        break;
      }
      case 'N':
        AppendNumber(out, d.Minute, std::min<size_t>(count(), 2));
        break;
      case 'S':
        AppendNumber(out, d.Second, std::min<size_t>(count(), 2));
        break;
      case 'Z':
        AppendNumber(out, d.MSec, std::min<size_t>(count(), 3));
        break;
      case 'T':
        AppendDateFormat(out, count() == 1 ? kShortTimeFormat : kLongTimeFormat, d, level + 1);
        break;
      case 'C':
        count();
        AppendDateFormat(out, kShortDateFormat, d, level + 1);
        if (d.Hour || d.Minute || d.Second || d.MSec) {
          out += ' ';
          AppendDateFormat(out, kLongTimeFormat, d, level + 1);
        }
        break;
      case 'A': {
        const size_t p = i - 1;
        const bool pm = d.Hour >= 12;
        if (StartsNoCase(f, p, "AM/PM")) {
          out += f.substr(pm ? p + 3 : p, 2);
          i = p + 5;
        } else if (StartsNoCase(f, p, "A/P")) {
          out += f[pm ? p + 2 : p];
          i = p + 3;
        } else if (StartsNoCase(f, p, "AMPM")) {
          out += pm ? "PM" : "AM";
          i = p + 4;
        } else {
          out += starter;
        }
        break;
      }
      case '\'':
      case '"': {
        const size_t close = f.find(starter, i);
        const size_t end = close == std::string_view::npos ? f.size() : close;
        out += f.substr(i, end - i);
        i = close == std::string_view::npos ? f.size() : close + 1;
        break;
      }
      default:
        out += starter;
    }
  }
}

// ---------------------------------------------------------------------------------------
// Drawing helpers

uint32_t ContrastColour(uint32_t bgr) {
  const uint32_t r = bgr & 0xFF, g = (bgr >> 8) & 0xFF, b = (bgr >> 16) & 0xFF;
  return (77 * r + 151 * g + 28 * b) / 256 > 128 ? 0x000000u : 0xFFFFFFu;
}

std::vector<std::string> SplitTextLines(std::string_view text) {
  std::vector<std::string> lines;
  std::string cur;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(std::move(cur));
      cur.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      cur += c;
    }
  }
  lines.push_back(std::move(cur));
  return lines;
}

// Greedy word wrap of each line to maxWidth; a word wider than that keeps a line of its own.
std::vector<std::string> WrapLines(const std::vector<std::string>& lines, double maxWidth,
                                   TTextPainter& painter, const TTextFont& font) {
  std::vector<std::string> out;
  for (const std::string& line : lines) {
    if (painter.MeasureText(line, font).Width <= maxWidth) {
      out.push_back(line);
      continue;
    }
    std::string cur;
    size_t p = 0;
    while (p <= line.size()) {
      size_t q = line.find(' ', p);
      if (q == std::string::npos) q = line.size();
      const std::string word = line.substr(p, q - p);
      const std::string trial = cur.empty() ? word : cur + " " + word;
      if (!cur.empty() && painter.MeasureText(trial, font).Width > maxWidth) {
        out.push_back(std::move(cur));
        cur = word;
      } else {
        cur = trial;
      }
      p = q + 1;
    }
    out.push_back(std::move(cur));
  }
  return out;
}

enum class TAlign { Left, Centre, Right };

// A block of lines: its lower-left corner, the width of its widest line and the alignment.
struct TTextBlock {
  std::vector<std::string> Lines;
  std::vector<double> Widths;
  double LineHeight = 0;
  double Spacing = 0;
  double Width = 0;
  double Height() const { return LineHeight + double(Lines.size() - 1) * Spacing; }
};

TTextBlock MeasureBlock(std::vector<std::string> lines, TTextPainter& painter,
                        const TTextFont& font) {
  TTextBlock b;
  b.Lines = std::move(lines);
  b.Spacing = 1.5 * font.Size;
  for (const std::string& l : b.Lines) {
    const TTextExtent e = painter.MeasureText(l, font);
    b.Widths.push_back(e.Width);
    b.Width = std::max(b.Width, e.Width);
    b.LineHeight = std::max(b.LineHeight, e.Height);
  }
  return b;
}

void DrawBlock(TImg32& target, TTextPainter& painter, const TTextBlock& b, double left,
               double bottom, TAlign align, const TTextFont& font, uint32_t textBgr,
               bool outline) {
  const uint32_t colour = PixelColour(textBgr);
  const uint32_t halo = PixelColour(ContrastColour(textBgr));
  const double top = bottom + b.Height();
  for (size_t i = 0; i < b.Lines.size(); ++i) {
    if (b.Lines[i].empty()) continue;
    double x = left;
    if (align == TAlign::Centre) x += (b.Width - b.Widths[i]) / 2;
    else if (align == TAlign::Right) x += b.Width - b.Widths[i];
    const double y = top - b.LineHeight - double(i) * b.Spacing;
    if (outline) {
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx)
          if (dx || dy) painter.DrawText(target, x + dx, y + dy, b.Lines[i], font, halo, 1.0);
    }
    painter.DrawText(target, x, y, b.Lines[i], font, colour, 1.0);
  }
}

}  // namespace

// =======================================================================================
// Names and escapes

const char* AnnotationKindName(int32_t kind) {
  return kind >= 0 && kind < kAnnotationKinds ? kKindNames[kind] : "";
}

const char* TextPositionName(int32_t position) {
  return position >= 0 && position <= tpNone ? kPositionNames[position] : "";
}

std::string EscapeAnnotationText(std::string_view text) { return Escape(text, false); }
std::string EscapeAnnotationName(std::string_view name) { return Escape(name, true); }

std::string UnescapeAnnotationText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '%') {
      out += text[i++];
      continue;
    }
    if (i + 1 < text.size() && text[i + 1] == 'u') {
      const int32_t v = HexAt(text, i + 2, 4);
      if (v < 0) {
        out += '?';
        i = std::min(text.size(), i + 6);
        continue;
      }
      i += 6;
      if (v >= 0xD800 && v <= 0xDBFF) {
        const int32_t lo = i + 1 < text.size() && text[i] == '%' && text[i + 1] == 'u'
                               ? HexAt(text, i + 2, 4) : -1;
        if (lo >= 0xDC00 && lo <= 0xDFFF) {
          AppendUtf8(out, 0x10000 + ((uint32_t(v) - 0xD800) << 10) + (uint32_t(lo) - 0xDC00));
          i += 6;
        } else {
          out += '?';
        }
      } else if (v >= 0xDC00 && v <= 0xDFFF) {
        out += '?';
      } else {
        AppendUtf8(out, uint32_t(v));
      }
      continue;
    }
    const int32_t v = HexAt(text, i + 1, 2);
    if (v < 0) {
      out += '?';
      i = std::min(text.size(), i + 3);
      continue;
    }
    AppendUtf8(out, uint32_t(v));
    i += 3;
  }
  return out;
}

// =======================================================================================
// Logos

TLogoSource& LogoSource() {
  static TLogoSource source;
  return source;
}

std::string SafeLogoName(std::string_view name) {
  const size_t slash = name.find_last_of("/\\");
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  if (name == "." || name == "..") return {};
  for (const char c : name)
    if (uint8_t(c) < 32) return {};
  return std::string(name);
}

void TAnnotationLogo::Clear() {
  Full.Release();
  Half.Release();
  Quarter.Release();
  FileName.clear();
  Loaded = false;
}

bool TAnnotationLogo::Load(std::string_view name) {
  Clear();
  FileName = SafeLogoName(name);
  if (FileName.empty()) return false;
  const TLogoSource& source = LogoSource();
  if (!source.Read || source.Folder.empty()) return false;
  try {
    if (!source.Read(source.Folder / FileName, Full) || Full.Width() <= 0 ||
        Full.Height() <= 0) {
      Full.Release();
      return false;
    }
    Full.HalveInto(Half);
    Half.HalveInto(Quarter);
  } catch (...) {
    // A reader or halving that runs out of memory leaves the placeholder, as an unreadable
    // file does.
    Full.Release();
    Half.Release();
    Quarter.Release();
    return false;
  }
  Loaded = true;
  return true;
}

namespace {
void CopyPicture(const TImg32& from, TImg32& to) {
  if (from.Width() <= 0 || from.Height() <= 0) {
    to.Release();
    return;
  }
  to.SetSize(from.Width(), from.Height());
  to.CopyFrom(from, false);
}
}  // namespace

void TAnnotationLogo::Assign(const TAnnotationLogo& source) {
  if (&source == this) return;
  FileName = source.FileName;
  Loaded = false;
  CopyPicture(source.Full, Full);
  CopyPicture(source.Half, Half);
  CopyPicture(source.Quarter, Quarter);
  Loaded = source.Loaded;
}

// =======================================================================================
// Dates and macros

double SystemClockJD() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const double ms = double(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
  return 2440587.5 + ms / 86400000.0;
}

TAnnParams TAnnParams::ForImage(const TAImage& image, std::string documentName) {
  TAnnParams p;
  p.JDUT = image.ObservationJD().value_or(0);
  p.JDLocal = image.LocalDateJD().value_or(0);
  p.Header = &image.Header;
  p.Wcs = image.HasWcs ? &image.Wcs : nullptr;
  p.ImageWidth = image.Width();
  p.ImageHeight = image.Height();
  p.DocumentName = std::move(documentName);
  return p;
}

std::string FormatJulianDate(std::string_view pattern, double jd) {
  TDateParts d;
  if (!DecodeJD(jd, d)) return {};
  std::string out;
  AppendDateFormat(out, pattern.empty() ? std::string_view("c") : pattern, d, 0);
  return out;
}

namespace {

// The observation time in a pattern; its shape in "?" when the time is not known.
std::string ObservationTimeText(std::string_view pattern, double jd) {
  if (jd >= 1000) {
    std::string s = FormatJulianDate(pattern, jd);
    if (!s.empty()) return s;
  }
  std::string s = FormatJulianDate(pattern, 2451544.5);
  size_t n = 0;
  for (size_t i = 0; i < s.size(); DecodeUtf8(s, i)) ++n;
  return std::string(n, '?');
}

bool StartsAt(std::string_view s, size_t at, std::string_view with) {
  return s.size() >= at + with.size() && s.substr(at, with.size()) == with;
}

}  // namespace

std::string ExpandAnnotationText(std::string_view text, const TAnnotation& annotation,
                                 const TAnnParams& params) {
  if (text.size() < 3 || text.find('%') == std::string_view::npos) return std::string(text);
  std::string out;
  out.reserve(text.size() + 32);
  auto raDec = [&](double x, double y, bool ra) -> std::string {
    std::string s;
    if (params.Wcs) {
      double r = 0, d = 0;
      params.Wcs->PixelToSkyDeg(x, y, r, d);
      s = ra ? RAToTextTenths(r) : DecToTextSeconds(d);
    }
    if (s.empty()) s = ra ? "?? ?? ??.?" : "?? ?? ??";
    return s;
  };
  const double ax = annotation.CentreX(), ay = annotation.CentreY();
  const double cx = (params.ImageWidth - 1) / 2.0, cy = (params.ImageHeight - 1) / 2.0;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '%') {
      out += text[i++];
      continue;
    }
    const size_t m = i + 1;  // first character of the macro name
    if (StartsAt(text, m, "UT\"") || StartsAt(text, m, "LT\"")) {
      const size_t close = text.find('"', m + 3);
      if (close != std::string_view::npos) {
        const double jd = text[m] == 'U' ? params.JDUT : params.JDLocal;
        out += ObservationTimeText(text.substr(m + 3, close - m - 3), jd);
        i = close + 1;
        continue;
      }
      // Without its closing quote it is plain text.
      out += text[i++];
      continue;
    } else if (StartsAt(text, m, "FILENAME")) {
      out += params.DocumentName;
      i = m + 8;
      continue;
    } else if (StartsAt(text, m, "PRA")) {
      out += raDec(ax, ay, true);
      i = m + 3;
      continue;
    } else if (StartsAt(text, m, "PDEC")) {
      out += raDec(ax, ay, false);
      i = m + 4;
      continue;
    } else if (StartsAt(text, m, "CRA")) {
      out += raDec(cx, cy, true);
      i = m + 3;
      continue;
    } else if (StartsAt(text, m, "CDEC")) {
      out += raDec(cx, cy, false);
      i = m + 4;
      continue;
    } else if (StartsAt(text, m, "TIME")) {
      const size_t after = m + 4;
      if (after < text.size() && text[after] == '"') {
        const size_t close = text.find('"', after + 1);
        std::string s;
        if (close != std::string_view::npos && close > after + 1 && params.Clock)
          s = FormatJulianDate(text.substr(after + 1, close - after - 1), params.Clock());
        out += s.empty() ? "??:???" : s;
        i = close == std::string_view::npos ? after + 1 : close + 1;
        continue;
      }
      // %TIME-OBS and the like are header keywords.
      if (after >= text.size() || !IsKeywordChar(text[after])) {
        out += "??:???";
        i = after;
        continue;
      }
    }
    if (m < text.size() && text[m] >= 'A' && text[m] <= 'Z') {
      size_t j = m;
      while (j < text.size() && IsKeywordChar(text[j])) ++j;
      out += params.Header ? params.Header->GetValueText(text.substr(m, j - m)) : "?";
      i = j;
      continue;
    }
    out += text[i++];
  }
  return out;
}

bool AnnotationsShown() { return gShown.load(std::memory_order_relaxed); }
void ShowAnnotations(bool shown) { gShown.store(shown, std::memory_order_relaxed); }

// =======================================================================================
// TAnnotation

void TAnnotation::Assign(const TAnnotation& s) {
  if (&s == this) return;
  Kind = s.Kind;
  X1 = s.X1;
  Y1 = s.Y1;
  X2 = s.X2;
  Y2 = s.Y2;
  Saved = s.Saved;
  Text = s.Text;
  TextColor = s.TextColor;
  FigureColor = s.FigureColor;
  Width = s.Width;
  Sections = s.Sections;
  Transparency = s.Transparency;
  FontName = s.FontName;
  FontSize = s.FontSize;
  Style = s.Style;
  TextPos = s.TextPos;
  Selected = s.Selected;
  SavedSelected = s.SavedSelected;
  SelectionSeq = s.SelectionSeq;
  Logo.Assign(s.Logo);
}

std::unique_ptr<TAnnotation> TAnnotation::Clone() const {
  auto a = std::make_unique<TAnnotation>();
  a->Assign(*this);
  return a;
}

void TAnnotation::SetSelected(bool selected) {
  if (selected && !Selected) SelectionSeq = ++gSelectionCounter;
  Selected = selected;
}

std::string TAnnotation::ToLine() const {
  std::string s = FormatInt("%.2lld", Kind);
  if (Kind == akLogo || !Text.empty()) {
    s += '>';
    s += EscapeAnnotationText(Text);
    if (Kind == akLogo) {
      s += '>';
      s += EscapeAnnotationName(Logo.FileName);
    }
    s += '[';
    s += EscapeAnnotationName(FontName);
    s += '#';
    s += std::to_string(FontSize) + ' ' + std::to_string(Style) + ' ' + std::to_string(TextPos);
    s += ']';
  }
  for (const int64_t v : {int64_t(X1), int64_t(Y1), int64_t(X2), int64_t(Y2),
                          int64_t(TextColor), int64_t(FigureColor), int64_t(Width),
                          int64_t(Sections), int64_t(Transparency)}) {
    s += ' ';
    s += std::to_string(v);
  }
  return s;
}

bool TAnnotation::FromLine(std::string_view line) {
  if (line.size() <= 3 || !IsDigit(line[0])) return false;
  // The kind is the leading one or two digits.
  size_t p = 1;
  int32_t kind = line[0] - '0';
  if (IsDigit(line[1])) kind = kind * 10 + (line[p++] - '0');
  if (IsDigit(line[p]) || kind >= kAnnotationKinds) return false;
  TAnnotation t;
  t.Kind = kind;
  std::string_view rest = line.substr(p);
  std::string_view logoName;
  if (!rest.empty() && rest.front() == '>') {
    rest.remove_prefix(1);
    // The last "]" ends the text part and the last "[" before it starts the font part, so
    // the text itself may hold brackets.
    const size_t close = rest.rfind(']');
    if (close == std::string_view::npos) return false;
    std::string_view textPart = rest.substr(0, close);
    rest.remove_prefix(close + 1);
    const size_t open = textPart.rfind('[');
    if (open == std::string_view::npos) return false;
    const std::string_view fontPart = textPart.substr(open + 1);
    textPart = textPart.substr(0, open);
    const size_t hash = fontPart.find('#');
    if (hash == std::string_view::npos) return false;
    double f[3];
    if (ParseNumbers(fontPart.substr(hash + 1), f) < 3) return false;
    t.FontName = UnescapeAnnotationText(fontPart.substr(0, hash));
    t.FontSize = RoundClamp(f[0], 1, kAnnMaxFontSize);
    t.Style = f[1] > 0 ? uint32_t(RoundClamp(f[1], 0, INT32_MAX)) & 7u : 0u;
    t.TextPos = uint8_t(RoundClamp(f[2], 0, tpNone));
    if (kind == akLogo) {
      const size_t gt = textPart.rfind('>');
      if (gt != std::string_view::npos) {
        logoName = textPart.substr(gt + 1);
        textPart = textPart.substr(0, gt);
      }
    }
    t.Text = UnescapeAnnotationText(textPart);
  }
  double v[9];
  if (ParseNumbers(rest, v) < 9) return false;
  t.X1 = RoundClamp(v[0], -kAnnMaxCoordinate, kAnnMaxCoordinate);
  t.Y1 = RoundClamp(v[1], -kAnnMaxCoordinate, kAnnMaxCoordinate);
  t.X2 = RoundClamp(v[2], -kAnnMaxCoordinate, kAnnMaxCoordinate);
  t.Y2 = RoundClamp(v[3], -kAnnMaxCoordinate, kAnnMaxCoordinate);
  // Colours are 0x00BBGGRR; negative texts are 32-bit patterns.
  auto colour = [](double c) {
    const int64_t k = std::clamp<int64_t>(Round64(c), INT32_MIN, UINT32_MAX);
    return uint32_t(k) & 0xFFFFFFu;
  };
  t.TextColor = colour(v[4]);
  t.FigureColor = colour(v[5]);
  t.Width = RoundClamp(v[6], 0, kAnnMaxWidth);
  t.Sections = RoundClamp(v[7], 0, kAnnMaxSections);
  t.Transparency = RoundClamp(v[8], 0, 100);
  t.Saved = t.Rect();
  if (kind == akLogo) t.Logo.Load(UnescapeAnnotationText(logoName));
  const bool selected = Selected, savedSelected = SavedSelected;
  const int32_t seq = SelectionSeq;
  Assign(t);
  Selected = selected;
  SavedSelected = savedSelected;
  SelectionSeq = seq;
  return true;
}

void TAnnotation::SetRect(const TAnnRect& r) {
  X1 = ClampCoord(r.X1);
  Y1 = ClampCoord(r.Y1);
  X2 = ClampCoord(r.X2);
  Y2 = ClampCoord(r.Y2);
}

int32_t TAnnotation::CentreX() const { return int32_t((int64_t(X1) + X2) / 2); }
int32_t TAnnotation::CentreY() const { return int32_t((int64_t(Y1) + Y2) / 2); }
int64_t TAnnotation::RectWidth() const { return std::abs(int64_t(X2) - X1) + 1; }
int64_t TAnnotation::RectHeight() const { return std::abs(int64_t(Y2) - Y1) + 1; }

bool TAnnotation::Grow(int32_t d) {
  const int64_t w = RectWidth(), h = RectHeight();
  if (d < 0 && (w <= 9 || h <= 9)) return false;
  int64_t g = d;
  if (w >= 80 || h >= 80) g *= 2;
  if (w >= 160 || h >= 160) g *= 2;
  // A shrink never turns the rectangle inside out.
  if (g < 0 && (w + 2 * g < 1 || h + 2 * g < 1)) return false;
  auto grow = [g](int32_t& a, int32_t& b) {
    if (a <= b) {
      a = ClampCoord(int64_t(a) - g);
      b = ClampCoord(int64_t(b) + g);
    } else {
      a = ClampCoord(int64_t(a) + g);
      b = ClampCoord(int64_t(b) - g);
    }
  };
  grow(X1, X2);
  grow(Y1, Y2);
  return true;
}

void TAnnotation::CentreOn(int32_t x, int32_t y) {
  MoveBy(int64_t(x) - CentreX(), int64_t(y) - CentreY());
}

void TAnnotation::MoveBy(int64_t dx, int64_t dy) {
  X1 = ClampCoord(X1 + dx);
  X2 = ClampCoord(X2 + dx);
  Y1 = ClampCoord(Y1 + dy);
  Y2 = ClampCoord(Y2 + dy);
}

bool TAnnotation::Contains(int32_t x, int32_t y) const {
  return x >= int64_t(std::min(X1, X2)) - 4 && x <= int64_t(std::max(X1, X2)) + 4 &&
         y >= int64_t(std::min(Y1, Y2)) - 4 && y <= int64_t(std::max(Y1, Y2)) + 4;
}

int32_t TAnnotation::HandleSize() const {
  return int32_t(std::clamp<int64_t>(std::abs(int64_t(X2) - X1) / 6, 8, 36));
}

int32_t TAnnotation::HandleAt(int32_t x, int32_t y) const {
  auto dist = [&](int64_t px, int64_t py) { return std::hypot(double(x - px), double(y - py)); };
  double best = dist(CentreX(), CentreY());
  int32_t handle = kHandleBody;
  const int64_t corners[4][2] = {{X1, Y1}, {X2, Y2}, {X1, Y2}, {X2, Y1}};
  for (int32_t k = 0; k < 4; ++k) {
    const double d = dist(corners[k][0], corners[k][1]);
    if (d < best) {
      best = d;
      handle = k + 1;
    }
  }
  if (handle != kHandleBody && best > HandleSize()) handle = kHandleBody;
  return handle;
}

void TAnnotation::DragFromSaved(int32_t handle, int32_t dx, int32_t dy) {
  const TAnnRect s = Saved;
  SetRect(s);
  switch (handle) {
    case 1:
      X1 = ClampCoord(int64_t(s.X1) + dx);
      Y1 = ClampCoord(int64_t(s.Y1) + dy);
      break;
    case 2:
      X2 = ClampCoord(int64_t(s.X2) + dx);
      Y2 = ClampCoord(int64_t(s.Y2) + dy);
      break;
    case 3:
      X1 = ClampCoord(int64_t(s.X1) + dx);
      Y2 = ClampCoord(int64_t(s.Y2) + dy);
      break;
    case 4:
      X2 = ClampCoord(int64_t(s.X2) + dx);
      Y1 = ClampCoord(int64_t(s.Y1) + dy);
      break;
    default:
      MoveBy(dx, dy);
  }
}

namespace {
double LengthAllowance(int32_t kind) { return kind == akArrow ? 2 : (kind == akRuler ? 1 : 0); }
}  // namespace

double TAnnotation::ShownLength() const {
  return std::hypot(double(X2) - X1, double(Y2) - Y1) - LengthAllowance(Kind);
}

double TAnnotation::AngleDeg() const {
  const double dx = double(X2) - X1, dy = double(Y2) - Y1;
  return dx == 0 && dy == 0 ? 0.0 : std::atan2(dy, dx) * 180 / std::numbers::pi;
}

void TAnnotation::SetLengthAngle(double shownLength, double angleDeg) {
  if (!std::isfinite(shownLength) || !std::isfinite(angleDeg)) return;
  const double len = std::max(shownLength + LengthAllowance(Kind), 0.0);
  const double a = angleDeg * std::numbers::pi / 180;
  X2 = RoundClamp(X1 + len * std::cos(a), -kAnnMaxCoordinate, kAnnMaxCoordinate);
  Y2 = RoundClamp(Y1 + len * std::sin(a), -kAnnMaxCoordinate, kAnnMaxCoordinate);
}

void TAnnotation::SetCatalogStyle(const TAnnotationOptions& o, uint32_t objectColour) {
  Kind = std::clamp(o.AtlFigureKind, 0, kAnnotationKinds - 1);
  Width = std::clamp(o.AtlFigureWidth, 0, kAnnMaxWidth);
  Transparency = std::clamp(o.AtlFigureTransparency, 0, 100);
  FigureColor = (o.AtlIndividualColorFigure ? objectColour : uint32_t(o.AtlFigureColor)) & 0xFFFFFFu;
  TextColor = (o.AtlIndividualColorText ? objectColour : uint32_t(o.AtlTextColor)) & 0xFFFFFFu;
  if (!o.AtlTextName.empty()) FontName = o.AtlTextName;
  FontSize = std::clamp(o.AtlTextSize, 1, kAnnMaxFontSize);
  Style = uint32_t(std::max(o.AtlTextStyle, 0)) & 7u;
  TextPos = uint8_t(std::clamp(o.AtlTextPos, 0, int32_t(tpNone)));
}

std::string TAnnotation::ExpandedText(const TAnnParams& params) const {
  return ExpandAnnotationText(Text, *this, params);
}

void TAnnotation::Draw(TImg32& target, const TAnnParams& params, TTextPainter& painter) const {
  const double opacity = std::clamp(1 - Transparency / 100.0, 0.0, 1.0);
  const uint32_t fig = PixelColour(FigureColor);
  const int32_t minX = std::min(X1, X2), maxX = std::max(X1, X2);
  const int32_t minY = std::min(Y1, Y2), maxY = std::max(Y1, Y2);
  // Pixel rectangles exclude their upper bounds; the annotation's corners are inclusive.
  const TPixRect pr{minX, minY, int32_t(std::min<int64_t>(int64_t(maxX) + 1, INT32_MAX)),
                    int32_t(std::min<int64_t>(int64_t(maxY) + 1, INT32_MAX))};
  const double cx = (double(minX) + maxX) / 2, cy = (double(minY) + maxY) / 2;
  switch (Kind) {
    case akEllipse:
    case akCircle:
      target.Ellipse(pr, Kind == akCircle, Width, fig, opacity);
      break;
    case akArrow:
      target.Arrow(X1, Y1, X2, Y2, Width, fig, opacity);
      break;
    case akRuler:
      target.Ruler(X1, Y1, X2, Y2, Width, Sections, fig, opacity);
      break;
    case akTextBox:
      if (Transparency > 0)
        target.AlphaBox(pr, 0, uint32_t(Round(Transparency / 100.0 * 256)), fig);
      break;
    case akLogo:
      if (Logo.Loaded && Logo.Full.Width() > 0 && Logo.Full.Height() > 0) {
        const double bw = double(maxX) - minX + 1 + 2.0 * Width + 1;
        const double bh = double(maxY) - minY + 1 + 2.0 * Width + 1;
        const double s = std::min(bw / Logo.Full.Width(), bh / Logo.Full.Height());
        // Strong reductions sample a pre-halved picture so that no source pixel is skipped.
        if (s > 0.4 || Logo.Half.Width() <= 0) target.DrawScaled(Logo.Full, cx, cy, s, opacity);
        else if (s > 0.2 || Logo.Quarter.Width() <= 0) target.DrawScaled(Logo.Half, cx, cy, 2 * s, opacity);
        else target.DrawScaled(Logo.Quarter, cx, cy, 4 * s, opacity);
      } else {
        target.Placeholder(pr);
      }
      break;
    case akRectangle:
    case akSquare:
    case akCorners:
      target.Rectangle(pr, Kind == akSquare, Kind == akCorners, Width, fig, opacity);
      break;
    case akCross:
    case akCrossV:
    case akCrossH:
    case akCrossNE:
    case akCrossSE:
    case akCrossSW:
    case akCrossNW: {
      static constexpr uint32_t kArms[7] = {
          kArmsAll,           kArmUp | kArmDown,   kArmLeft | kArmRight, kArmUp | kArmRight,
          kArmDown | kArmRight, kArmDown | kArmLeft, kArmUp | kArmLeft};
      target.Cross(pr, kArms[Kind - akCross], Width, fig, opacity);
      break;
    }
    case akPoint:
      target.Point(cx, cy, Width, fig, opacity);
      break;
    default:
      break;
  }
  if (Selected) target.SelectionFrame(pr, HandleSize());
  if (TextPos >= tpNone || Text.empty()) return;

  const std::string text = ExpandedText(params);
  if (text.empty()) return;
  TTextFont font;
  font.Name = FontName;
  // Points at 96 pixels per inch: the same pixel size on every screen.
  font.Size = std::max(FontSize, 1) * 96.0 / 72.0;
  font.Bold = (Style & kAnnBold) != 0;
  font.Italic = (Style & kAnnItalic) != 0;
  const bool outline = (Style & kAnnOutline) != 0;

  if (Kind == akTextBox) {
    // Inside the box, wrapped to its width, aligned by the position.
    const double margin = 4;
    const double left = minX + margin, right = maxX + 1.0 - margin;
    const double bottom = minY + margin, top = maxY + 1.0 - margin;
    const TTextBlock b =
        MeasureBlock(WrapLines(SplitTextLines(text), std::max(right - left, 1.0), painter, font),
                     painter, font);
    double x = (left + right - b.Width) / 2, y = (bottom + top - b.Height()) / 2;
    TAlign align = TAlign::Centre;
    if (TextPos == tpTop) y = top - b.Height();
    else if (TextPos == tpDown) y = bottom;
    else if (TextPos == tpLeft) x = left, align = TAlign::Left;
    else if (TextPos == tpRight) x = right - b.Width, align = TAlign::Right;
    DrawBlock(target, painter, b, x, y, align, font, TextColor, outline);
    return;
  }

  const TTextBlock b = MeasureBlock(SplitTextLines(text), painter, font);
  const double bh = b.Height();
  double x = cx - b.Width / 2, y = cy - bh / 2;
  TAlign align = TAlign::Centre;
  switch (TextPos) {
    case tpTop:
      y = maxY + 5.0;
      break;
    case tpDown:
      y = minY - 3.0 - bh;
      break;
    case tpLeft:
      x = minX - 12.0 - b.Width;
      align = TAlign::Right;
      break;
    case tpRight:
      x = maxX + 12.0;
      align = TAlign::Left;
      break;
    default:
      if (Kind == akArrow) {
        // At the base, on the side away from the tip.
        const double dx = double(X2) - X1, dy = double(Y2) - Y1, len = std::hypot(dx, dy);
        if (len > 0) {
          const double ux = dx / len, uy = dy / len;
          const double d = std::fabs(ux) * b.Width / 2 + std::fabs(uy) * bh / 2 + Width + 4;
          x = X1 - ux * d - b.Width / 2;
          y = Y1 - uy * d - bh / 2;
        } else {
          x = X1 - b.Width / 2;
          y = Y1 - bh / 2;
        }
      } else if (Kind >= akCross && Kind <= akCrossNW) {
        // In the free corner: the quadrant that no arm borders (north-east for the
        // symmetric crosses).
        static constexpr int kSx[7] = {1, 1, 1, -1, -1, 1, 1};
        static constexpr int kSy[7] = {1, 1, 1, -1, 1, 1, -1};
        const int sx = kSx[Kind - akCross], sy = kSy[Kind - akCross];
        const double g = Width / 2.0 + 3;
        x = sx > 0 ? cx + g : cx - g - b.Width;
        y = sy > 0 ? cy + g : cy - g - bh;
        align = sx > 0 ? TAlign::Left : TAlign::Right;
      }
  }
  DrawBlock(target, painter, b, x, y, align, font, TextColor, outline);
}

// =======================================================================================
// TAnnotationList

void TAnnotationList::Clear() {
  if (!Items_.empty()) Modified = true;
  Items_.clear();
}

TAnnotation& TAnnotationList::Add(std::unique_ptr<TAnnotation> annotation) {
  if (!annotation) annotation = std::make_unique<TAnnotation>();
  Items_.push_back(std::move(annotation));
  Modified = true;
  return *Items_.back();
}

TAnnotation& TAnnotationList::AddCopy(const TAnnotation& annotation) {
  return Add(annotation.Clone());
}

TAnnotation& TAnnotationList::AddAsNew(std::unique_ptr<TAnnotation> annotation) {
  if (!annotation) annotation = std::make_unique<TAnnotation>();
  for (const auto& other : Items_) {
    const int64_t diff = std::abs(int64_t(other->X1) - annotation->X1) +
                         std::abs(int64_t(other->Y1) - annotation->Y1) +
                         std::abs(int64_t(other->X2) - annotation->X2) +
                         std::abs(int64_t(other->Y2) - annotation->Y2);
    if (diff < 5) {
      annotation->MoveBy(6, -6);
      break;
    }
  }
  TAnnotation& a = Add(std::move(annotation));
  Select(&a);
  return a;
}

TAnnotation* TAnnotationList::Last() { return Items_.empty() ? nullptr : Items_.back().get(); }

std::unique_ptr<TAnnotation> TAnnotationList::DeleteLast() {
  if (Items_.empty()) return nullptr;
  std::unique_ptr<TAnnotation> a = std::move(Items_.back());
  Items_.pop_back();
  Modified = true;
  return a;
}

std::unique_ptr<TAnnotation> TAnnotationList::DeleteFirstSelected() {
  for (auto it = Items_.begin(); it != Items_.end(); ++it) {
    if ((*it)->Selected) {
      std::unique_ptr<TAnnotation> a = std::move(*it);
      Items_.erase(it);
      Modified = true;
      return a;
    }
  }
  return nullptr;
}

int32_t TAnnotationList::IndexOf(const TAnnotation* annotation) const {
  for (size_t i = 0; i < Items_.size(); ++i)
    if (Items_[i].get() == annotation) return int32_t(i);
  return -1;
}

void TAnnotationList::CopyTo(TAnnotationList& target) const {
  if (&target == this) return;
  target.Clear();
  for (const auto& a : Items_) target.Items_.push_back(a->Clone());
  target.Modified = true;
}

void TAnnotationList::MergeInto(TAnnotationList& target) const {
  if (&target == this) return;
  const size_t before = target.Items_.size();
  for (const auto& a : Items_) {
    TAnnotation* same = nullptr;
    for (size_t i = 0; i < before && !same; ++i)
      if (target.Items_[i]->Rect() == a->Rect()) same = target.Items_[i].get();
    if (same) {
      same->Assign(*a);
      same->Selected = false;
      same->SavedSelected = false;
    } else {
      target.Items_.push_back(a->Clone());
    }
  }
  if (!Items_.empty()) target.Modified = true;
}

void TAnnotationList::BringToFront(const TAnnotation* annotation) {
  const int32_t i = IndexOf(annotation);
  if (i < 0 || i == Count() - 1) return;
  std::rotate(Items_.begin() + i, Items_.begin() + i + 1, Items_.end());
  Modified = true;
}

void TAnnotationList::SendToBack(const TAnnotation* annotation) {
  const int32_t i = IndexOf(annotation);
  if (i <= 0) return;
  std::rotate(Items_.begin(), Items_.begin() + i, Items_.begin() + i + 1);
  Modified = true;
}

namespace {
double CentreDistance(const TAnnotation& a, int32_t x, int32_t y) {
  return std::hypot(double(x) - a.CentreX(), double(y) - a.CentreY());
}
}  // namespace

TAnnotation* TAnnotationList::AnnotationAt(int32_t x, int32_t y) {
  if (!AnnotationsShown()) return nullptr;
  TAnnotation* best = nullptr;
  double bestD = std::numeric_limits<double>::infinity();
  for (const auto& a : Items_) {
    if (!a->Contains(x, y)) continue;
    const double d = CentreDistance(*a, x, y);
    if (d <= bestD) {
      bestD = d;
      best = a.get();
    }
  }
  return best;
}

bool TAnnotationList::HitAny(int32_t x, int32_t y) const {
  if (!AnnotationsShown() || Count() > kAnnMaxHitCount) return false;
  return std::any_of(Items_.begin(), Items_.end(),
                     [&](const auto& a) { return a->Contains(x, y); });
}

TAnnotation* TAnnotationList::Current() {
  return const_cast<TAnnotation*>(std::as_const(*this).Current());
}

const TAnnotation* TAnnotationList::Current() const {
  const TAnnotation* best = nullptr;
  for (const auto& a : Items_)
    if (a->Selected && (!best || a->SelectionSeq > best->SelectionSeq)) best = a.get();
  return best;
}

int32_t TAnnotationList::SelectedCount() const {
  return int32_t(std::count_if(Items_.begin(), Items_.end(),
                               [](const auto& a) { return a->Selected; }));
}

void TAnnotationList::Select(TAnnotation* annotation) {
  for (const auto& a : Items_)
    if (a.get() != annotation) a->SetSelected(false);
  if (annotation && IndexOf(annotation) >= 0) annotation->SetSelected(true);
}

void TAnnotationList::SelectAll() {
  for (const auto& a : Items_) a->SetSelected(true);
}

void TAnnotationList::SelectNext() {
  const int32_t i = IndexOf(Current());
  if (i < 0) return SelectMostRecent();
  Select(Items_[size_t((i + 1) % Count())].get());
}

void TAnnotationList::SelectPrevious() {
  const int32_t i = IndexOf(Current());
  if (i < 0) return SelectMostRecent();
  Select(Items_[size_t((i + Count() - 1) % Count())].get());
}

void TAnnotationList::SelectLast() { Select(Last()); }

void TAnnotationList::SelectMostRecent() {
  TAnnotation* best = nullptr;
  for (const auto& a : Items_)
    if (!best || a->SelectionSeq > best->SelectionSeq) best = a.get();
  Select(best);
}

// The click of the annotate tool:
// 1. Shift restores the saved selection and counts as Ctrl.
// 2. With several selected (or one and Ctrl) the annotation under the point is noted with
//    whether it was selected.
// 3. Among the annotations containing the point the nearest centre wins; a selected one
//    with a corner handle under the point counts as distance 3, so handles win. Without
//    Ctrl the annotations not under the point and, unless the noted one was selected, all
//    other selected ones are deselected.
// 4. The winner is selected; with Ctrl a click on the noted, selected one deselects it.
// 5. With Ctrl or several selected the selection is saved, otherwise the saved one cleared.
TAnnHit TAnnotationList::MouseSelect(int32_t x, int32_t y, bool shift, bool ctrl) {
  if (!AnnotationsShown()) return {};
  if (shift) {
    for (const auto& a : Items_) a->SetSelected(a->SavedSelected);
    ctrl = true;
  }
  const int32_t selected = SelectedCount();
  TAnnotation* noted = nullptr;
  bool notedSelected = false;
  if (selected > 1 || (selected == 1 && ctrl)) {
    noted = AnnotationAt(x, y);
    notedSelected = noted && noted->Selected;
  }
  TAnnotation* winner = nullptr;
  double best = std::numeric_limits<double>::infinity();
  for (const auto& a : Items_) {
    if (a->Contains(x, y)) {
      const double d = a->Selected && a->HandleAt(x, y) != kHandleBody
                           ? 3.0 : CentreDistance(*a, x, y);
      if (d <= best) {
        best = d;
        winner = a.get();
      }
    } else if (!ctrl) {
      a->SetSelected(false);
    }
  }
  if (!ctrl && !notedSelected)
    for (const auto& a : Items_)
      if (a.get() != winner) a->SetSelected(false);
  if (winner) winner->SetSelected(!(ctrl && winner == noted && notedSelected));
  const bool save = ctrl || SelectedCount() > 1;
  for (const auto& a : Items_) a->SavedSelected = save && a->Selected;
  return {winner, winner ? winner->HandleAt(x, y) : kHandleBody};
}

void TAnnotationList::Shift(int32_t dx, int32_t dy) {
  for (const auto& a : Items_) a->MoveBy(dx, dy);
  if (!Items_.empty()) Modified = true;
}

bool TAnnotationList::MoveSelected(int32_t dx, int32_t dy) {
  bool any = false;
  for (const auto& a : Items_) {
    if (!a->Selected) continue;
    a->MoveBy(dx, dy);
    any = true;
  }
  if (any) Modified = true;
  return any;
}

void TAnnotationList::FlipHorizontal(int32_t width) {
  for (const auto& a : Items_) {
    a->X1 = ClampCoord(int64_t(width) - 1 - a->X1);
    a->X2 = ClampCoord(int64_t(width) - 1 - a->X2);
  }
  if (!Items_.empty()) Modified = true;
}

void TAnnotationList::FlipVertical(int32_t height) {
  for (const auto& a : Items_) {
    a->Y1 = ClampCoord(int64_t(height) - 1 - a->Y1);
    a->Y2 = ClampCoord(int64_t(height) - 1 - a->Y2);
  }
  if (!Items_.empty()) Modified = true;
}

void TAnnotationList::Offset(int32_t width, int32_t height, int32_t dx, int32_t dy) {
  if (Items_.empty()) return;
  for (const auto& a : Items_) a->MoveBy(dx, dy);
  std::erase_if(Items_, [&](const std::unique_ptr<TAnnotation>& a) {
    const bool inside = std::max(a->X1, a->X2) > 0 && std::min(a->X1, a->X2) < int64_t(width) - 1 &&
                        std::max(a->Y1, a->Y2) > 0 && std::min(a->Y1, a->Y2) < int64_t(height) - 1;
    return !inside;
  });
  Modified = true;
}

void TAnnotationList::Scale(double sy, double sx) {
  if (!(sx > 0) || !(sy > 0) || !std::isfinite(sx) || !std::isfinite(sy)) return;
  auto scale = [](int32_t v, double s) {
    return RoundClamp(v * s, -kAnnMaxCoordinate, kAnnMaxCoordinate);
  };
  for (const auto& a : Items_) {
    a->X1 = scale(a->X1, sx);
    a->X2 = scale(a->X2, sx);
    a->Y1 = scale(a->Y1, sy);
    a->Y2 = scale(a->Y2, sy);
    a->FontSize = RoundClamp(a->FontSize * (sx + sy) / 2, 1, kAnnMaxFontSize);
  }
  if (!Items_.empty()) Modified = true;
}

std::vector<std::string> TAnnotationList::ToLines() const {
  std::vector<std::string> lines;
  lines.reserve(Items_.size());
  for (const auto& a : Items_) lines.push_back(a->ToLine());
  return lines;
}

TAnnParseResult TAnnotationList::FromLines(const std::vector<std::string>& lines) {
  TAnnParseResult r;
  Items_.clear();
  for (size_t i = 0; i < lines.size(); ++i) {
    auto a = std::make_unique<TAnnotation>();
    if (!a->FromLine(lines[i])) {
      r.Ok = false;
      r.BadLine = int32_t(i);
      break;
    }
    Items_.push_back(std::move(a));
    ++r.Added;
  }
  Modified = false;
  return r;
}

TAnnParseResult TAnnotationList::ReadFromHeader(const TFitsStrings& header) {
  return FromLines(header.ReadAnnotations());
}

void TAnnotationList::WriteToHeader(TFitsStrings& header) const {
  const std::vector<std::string> lines = ToLines();
  header.WriteAnnotations(&lines);
}

bool TAnnotationList::SaveToFile(const std::filesystem::path& path, bool all) const {
  std::string content = all ? kAnnFileHeaderAll : kAnnFileHeaderOne;
  content += '\n';
  if (all) {
    for (const auto& a : Items_) content += a->ToLine() + '\n';
  } else {
    const TAnnotation* current = Current();
    if (!current) return false;
    content += current->ToLine() + '\n';
  }
  std::filesystem::path temp = path;
  temp += ".part";
  {
    std::ofstream f(temp, std::ios::binary | std::ios::trunc);
    if (!f) return false;
    f.write(content.data(), std::streamsize(content.size()));
    f.close();
    if (!f) {
      std::error_code ec;
      std::filesystem::remove(temp, ec);
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(temp, path, ec);
  if (ec) {
    std::filesystem::remove(temp, ec);
    return false;
  }
  return true;
}

TAnnFileResult TAnnotationList::OpenFile(const std::filesystem::path& path,
                                         int32_t viewCentreX, int32_t viewCentreY) {
  TAnnFileResult r;
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  if (ec || size > uint64_t(kAnnMaxFileBytes)) return r;
  std::ifstream f(path, std::ios::binary);
  if (!f) return r;
  std::string content(size_t(size), '\0');
  f.read(content.data(), std::streamsize(size));
  if (f.gcount() != std::streamsize(size)) return r;
  r.Ok = true;
  std::vector<std::string> lines = SplitTextLines(content);
  if (lines.empty()) return r;
  std::string_view first = lines[0];
  if (first.substr(0, 3) == "\xEF\xBB\xBF") first.remove_prefix(3);
  const bool single = first.find("notations") == std::string_view::npos;
  for (size_t i = 1; i < lines.size(); ++i) {
    if (lines[i].find_first_not_of(" \t") == std::string::npos) continue;
    auto a = std::make_unique<TAnnotation>();
    if (!a->FromLine(lines[i])) {
      ++r.BadLines;
      continue;
    }
    if (single) a->CentreOn(viewCentreX, viewCentreY);
    AddAsNew(std::move(a));
    ++r.Added;
  }
  return r;
}

void TAnnotationList::Draw(TImg32& target, const TAnnParams& params, TTextPainter& painter) const {
  if (!AnnotationsShown()) return;
  for (const auto& a : Items_) {
    if (params.SkipMarkedCircles && a->Kind == akCircle &&
        (a->FigureColor == kAnnMarkedCircleColour1 || a->FigureColor == kAnnMarkedCircleColour2))
      continue;
    a->Draw(target, params, painter);
  }
}

}  // namespace orlu
