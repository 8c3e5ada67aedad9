#include "astrometry/LibAstro.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "base/OrluMath.h"
#include "base/TextNumbers.h"
#include "options/uQuorvane.h"

namespace orlu {

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kDegToRad = kPi / 180.0;

// Fields of a non-negative value already rounded by half its last unit, each truncated
// toward zero: lead (hours or degrees), minutes, seconds and a fraction of a second in
// units of 1/fracScale.
struct TSexagesimal {
  int lead = 0, min = 0, sec = 0, frac = 0;
};

TSexagesimal SplitSeconds(double a, double fracScale) {
  // a − trunc(a) is exact, so huge values give zero fields instead of noise.
  const double r = a - std::trunc(a);
  TSexagesimal t;
  t.lead = Trunc(a);
  t.min = Trunc(r * 60.0);
  t.sec = Trunc(r * 3600.0 - 60.0 * t.min);
  t.frac = Trunc(r * 3600.0 * fracScale - 60.0 * fracScale * t.min - fracScale * t.sec);
  return t;
}

// RA in hours plus half a display unit (in hours), below 24. False for a non-finite RA.
bool RoundedHours(double ra, double halfUnitHours, double& a) {
  if (!std::isfinite(ra)) return false;
  double deg = std::fmod(ra, 360.0);
  if (deg < 0) deg += 360.0;  // may give exactly 360 for a tiny negative: wrapped below
  a = deg / 15.0 + halfUnitHours;
  if (a >= 24.0) a -= 24.0;
  return true;
}

template <class... Args>
std::string Printf(const char* format, Args... args) {
  char buf[96];
  const int n = std::snprintf(buf, sizeof buf, format, args...);
  if (n < 0) return {};
  return std::string(buf, std::min<size_t>(size_t(n), sizeof buf - 1));
}

std::string PadRight(std::string s, size_t width) {
  if (s.size() < width) s.append(width - s.size(), ' ');
  return s;
}

bool IsUpperLetter(char c) { return c >= 'A' && c <= 'Z'; }

// n₀ + n₁/60 + n₂/3600 over the first count values (missing ones are zero).
double Sexagesimal(const double* n, int32_t count) {
  double v = 0;
  if (count > 0) v += n[0];
  if (count > 1) v += n[1] / 60.0;
  if (count > 2) v += n[2] / 3600.0;
  return v;
}

// |n₀| + n₁/60 + n₂/3600, negated when n₀ < 0 or when negative is set.
double SignedSexagesimal(const double* n, int32_t count, bool negative) {
  double v = std::fabs(n[0]);
  if (count > 1) v += n[1] / 60.0;
  if (count > 2) v += n[2] / 3600.0;
  return (n[0] < 0 || negative) ? -v : v;
}

constexpr char kDegreeSign[] = "\xC2\xB0";  // "°" in UTF-8

}  // namespace

// ---------------------------------------------------------------------------------------
// Sexagesimal texts

std::string RAToText(double ra) {
  double a;
  if (!RoundedHours(ra, 0.0005 / 3600.0, a)) return {};
  const TSexagesimal t = SplitSeconds(a, 1000.0);
  return Printf("%.2d %.2d %.2d.%.3d", t.lead, t.min, t.sec, t.frac);
}

std::string RAToTextTenths(double ra) {
  double a;
  if (!RoundedHours(ra, 0.05 / 3600.0, a)) return {};
  const TSexagesimal t = SplitSeconds(a, 10.0);
  return Printf("%.2d %.2d %.2d.%.1d", t.lead, t.min, t.sec, t.frac);
}

std::string RAToTextMinutes(double ra) {
  double a;
  if (!RoundedHours(ra, 0.05 / 60.0, a)) return {};
  const double r = a - std::trunc(a);
  const int m = Trunc(r * 60.0);
  const int tenths = Trunc(r * 600.0 - 10.0 * m);
  return Printf("%.2d %.2d.%.1d", Trunc(a), m, tenths);
}

std::string DecToText(double dec) {
  if (!std::isfinite(dec)) return {};
  const TSexagesimal t = SplitSeconds(std::fabs(dec) + 0.005 / 3600.0, 100.0);
  return Printf("%c%.2d %.2d %.2d.%.2d", dec >= 0 ? '+' : '-', t.lead, t.min, t.sec, t.frac);
}

std::string DecToTextSeconds(double dec) {
  if (!std::isfinite(dec)) return {};
  const TSexagesimal t = SplitSeconds(std::fabs(dec) + 0.5 / 3600.0, 0.0);
  return Printf("%c%.2d %.2d %.2d", dec >= 0 ? '+' : '-', t.lead, t.min, t.sec);
}

std::string DecToTextMinutes(double dec) {
  if (!std::isfinite(dec)) return {};
  const TSexagesimal t = SplitSeconds(std::fabs(dec) + 0.5 / 60.0, 0.0);
  return Printf("%c%.2d %.2d", dec >= 0 ? '+' : '-', t.lead, t.min);
}

std::string RADecToText(double dec, double ra) {
  if (!std::isfinite(dec) || !std::isfinite(ra)) return {};
  return RAToTextTenths(ra) + "  " + DecToTextSeconds(dec);
}

std::string RAToTextCompact(bool forceMinutes, bool forceSeconds, double ra) {
  double a;
  if (!RoundedHours(ra, 0.5 / 3600.0, a)) return {};
  const TSexagesimal t = SplitSeconds(a, 0.0);
  std::string s = Printf("%.2d", t.lead);
  if (forceMinutes || t.min != 0 || t.sec != 0) s += Printf(" %.2d", t.min);
  if (forceSeconds || t.sec != 0) s += Printf(" %.2d", t.sec);
  return s;
}

std::string DecToTextCompact(bool forceMinutes, bool forceSeconds, double dec) {
  if (!std::isfinite(dec)) return {};
  const TSexagesimal t = SplitSeconds(std::min(std::fabs(dec) + 0.5 / 3600.0, 90.0), 0.0);
  std::string s = Printf("%c%.2d", dec >= 0 ? '+' : '-', t.lead);
  if (forceMinutes || t.min != 0 || t.sec != 0) s += Printf(" %.2d", t.min);
  if (forceSeconds || t.sec != 0) s += Printf(" %.2d", t.sec);
  return s;
}

std::string RADegToText(double ra) {
  if (!std::isfinite(ra)) return {};
  double deg = std::fmod(ra, 360.0);
  if (deg < 0) deg += 360.0;
  // A tiny negative RA would print as 360.000000; it is the same point as 0.
  if (deg >= 360.0) deg = 0.0;
  return PadRight(FormatFixed(deg, 6), 9);
}

std::string DecDegToText(double dec) {
  if (!std::isfinite(dec)) return {};
  std::string s = PadRight(FormatFixed(dec, 6), 10);
  return dec > 0 ? "+" + s : s;
}

std::string CoordinatesToText(double dec, double ra, bool coordsHMS, bool coordsDegrees) {
  if (!std::isfinite(dec) || !std::isfinite(ra)) return {};
  std::string s;
  if (coordsDegrees) s = RADegToText(ra) + " " + DecDegToText(dec) + "   ";
  if (coordsHMS || !coordsDegrees) s += RAToText(ra) + " " + DecToText(dec);
  return s;
}

std::string CoordinatesToText(double dec, double ra, const TMiscOptions& options) {
  return CoordinatesToText(dec, ra, options.CoordsHMS, options.CoordsDegrees);
}

std::string ArcToText(double radians) {
  const double hundredths = radians / kDegToRad * 360000.0;
  if (!std::isfinite(hundredths)) return {};
  const int64_t n = Round64(hundredths);
  return Printf("%lld' ", static_cast<long long>(n / 6000)) +
         FormatG(double(n % 6000) / 100.0, 6) + "\"";
}

// ---------------------------------------------------------------------------------------
// Parsing

int32_t ParseNumbers(std::string_view text, std::span<double> values, unsigned flags) {
  const bool minusSeparates = (flags & kMinusIsSeparator) != 0;
  const size_t wanted = values.size();
  size_t found = 0;
  std::string token;
  auto flush = [&] {
    if (token.empty()) return;
    // "," is a decimal separator too; ParseDouble refuses malformed tokens ("1-2", "--").
    std::replace(token.begin(), token.end(), ',', '.');
    double v = 0;
    if (ParseDouble(token, v) && std::isfinite(v)) {
      if (v == 0 && token.front() == '-' && (flags & kSignedZeros)) v = -1e-18;
      values[found++] = v;
    }
    token.clear();
  };
  for (const char c : text) {
    if (found >= wanted) break;
    const bool digit = c >= '0' && c <= '9';
    if (digit || c == '.' || c == ',' || (c == '-' && !minusSeparates)) {
      token += c;
    } else if (c == '+') {
      if (!token.empty()) token += c;
    } else {
      flush();
    }
  }
  if (found < wanted) flush();
  return static_cast<int32_t>(found);
}

bool ParseAngle(std::string_view text, double& value) {
  value = 0;
  double n[3];
  const int32_t count = ParseNumbers(text, n, kSignedZeros);
  if (count == 0) return false;
  value = SignedSexagesimal(n, count, false);
  return true;
}

bool ParseRaDec(std::string_view text, bool validate, double& ra, double& dec) {
  ra = 0;
  dec = 0;
  // Blanks around a typed or header value carry no meaning; without trimming, a blank
  // before a signed RA would be taken for the RA/Dec split.
  std::string s(TrimView(text));
  if (s.size() < 3) return false;
  if (IsUpperLetter(s[0]) || IsUpperLetter(s[1])) return false;  // an object name
  if (s[0] == '+' || s[0] == '-') s[0] = ' ';
  const size_t plus = s.find('+');
  const size_t minus = s.find('-');
  // 1-based positions, 0 when absent.
  const size_t pPlus = plus == std::string::npos ? 0 : plus + 1;
  const size_t pMinus = minus == std::string::npos ? 0 : minus + 1;
  size_t split = 0;
  bool southern = false;
  if (pPlus > 0) {
    split = pPlus;
  } else if (pMinus > 0) {
    split = pMinus;
    southern = pMinus > 1;
  }

  double r = 0, d = 0;
  if (split > 0) {
    double a[3], b[3];
    const std::string_view sv(s);
    const int32_t na = ParseNumbers(sv.substr(0, split - 1), a, kSignedZeros);
    const int32_t nb = ParseNumbers(sv.substr(split - 1), b, kSignedZeros);
    if (na < 1 || nb < 1) return false;
    r = Sexagesimal(a, na);
    d = SignedSexagesimal(b, nb, southern);
  } else {
    double n[6] = {0, 0, 0, 0, 0, 0};
    const int32_t count = ParseNumbers(s, n, kSignedZeros);
    if (count == 4) {  // h m d m
      n[4] = n[3];
      n[3] = n[2];
      n[2] = 0;
    } else if (count != 5 && count != 6) {
      return false;
    }
    r = Sexagesimal(n, 3);
    d = SignedSexagesimal(n + 3, 3, false);
  }

  // RA is in hours unless a degree sign comes before the Dec sign.
  const size_t degree = s.find(kDegreeSign);
  const bool raInDegrees =
      degree != std::string::npos && degree + 1 < std::max(pPlus, pMinus);
  if (!raInDegrees) r *= 15.0;

  // Sums of huge numbers can overflow; an infinite position is no position.
  if (!std::isfinite(r) || !std::isfinite(d)) return false;
  if (validate) {
    if (!(r >= 0 && r <= 360.0) || !(d > -91.0 && d < 91.0)) return false;
    d = Clamp(d, -90.0, 90.0);
  }
  ra = r;
  dec = d;
  return true;
}

// ---------------------------------------------------------------------------------------
// Dates

double JulianDay(int32_t year, int32_t month, double day) {
  int64_t y = year;
  int64_t m = month;
  if (m <= 2) {
    y -= 1;
    m += 12;
  }
  // Integer division truncates toward zero, as the algorithm's "div" does.
  int64_t b = 0;
  if (y > 1582 || (y == 1582 && day + 100.0 * double(m) > 1014.0)) {
    const int64_t a = y / 100;
    b = 2 - a + a / 4;
  }
  return std::trunc(365.25 * double(y + 4716)) + std::trunc(30.6001 * double(m + 1)) + day +
         double(b) - 1524.5;
}

int32_t DaysInMonth(int32_t year, int32_t month) {
  static constexpr int32_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  if (month != 2) return kDays[month - 1];
  const bool gregorian = year > 1582;
  const bool leap = gregorian ? (year % 4 == 0 && (year % 100 != 0 || year % 400 == 0))
                              : (year % 4 == 0);
  return leap ? 29 : 28;
}

bool DateTimeToJD(std::string_view date, std::string_view time, double& jd) {
  jd = JulianDay(2000, 1, 1.5);
  int32_t year = 0, month = 0;
  double day = 0, hour = 12, minute = 0, second = 0;
  double n[6];
  // "-" separates the fields of a date in both forms ("2023-03-15", "15-03-2023").
  const bool iso = date.size() > 1 && date.find('T', 1) != std::string_view::npos;
  if (!iso) {
    if (ParseNumbers(date, std::span(n, 3), kMinusIsSeparator) != 3) return false;
    if (n[0] > 100) {
      if (!TryRound(n[0], year)) return false;
      day = n[2];
    } else {
      int32_t e = 0;
      if (!TryRound(n[2], e) || e > 100000) return false;
      year = e + (e > 24 ? 1900 : 2000);
      if (year > 3000) year -= 1900;
      day = n[0];
    }
    if (!TryRound(n[1], month)) return false;
    double t[3];
    const int32_t count = ParseNumbers(time, t);
    // A time without seconds ("22:30") still gives its hours and minutes, not noon.
    if (count > 0) {
      int32_t h = 0, m = 0;
      if (!TryRound(t[0], h) || (count > 1 && !TryRound(t[1], m))) return false;
      hour = h;
      minute = m;
      second = count > 2 ? t[2] : 0;
    }
  } else {
    if (ParseNumbers(date, n, kMinusIsSeparator) != 6) return false;
    if (!TryRound(n[0], year) || !TryRound(n[1], month)) return false;
    day = n[2];
    hour = n[3];
    minute = n[4];
    second = n[5];
  }

  // An impossible date or time is an error, not the JD of some other day.
  if (year < 1 || year > 9999 || month < 1 || month > 12) return false;
  if (!(day >= 1 && day < DaysInMonth(year, month) + 1)) return false;
  // 1582-10-05 … 1582-10-14 were skipped by the change of calendar.
  if (year == 1582 && month == 10 && day >= 5 && day < 15) return false;
  if (!(hour >= 0 && hour <= 24) || !(minute >= 0 && minute < 60) ||
      !(second >= 0 && second < 61))
    return false;
  if (hour == 24 && (minute != 0 || second != 0)) return false;
  jd = JulianDay(year, month, day + hour / 24.0 + minute / 1440.0 + second / 86400.0);
  return true;
}

double JDToDateTime(double jd) { return jd - 2415018.5; }

// ---------------------------------------------------------------------------------------
// Spherical geometry

double AngularSeparation(double dec2, double dec1, double ra2, double ra1) {
  // hav(x) = (1 − cos x)/2 as sin²(x/2), and θ = arccos(1 − 2H) as 2·asin(√H): the same
  // values, but close pairs keep their precision instead of rounding milliarcseconds to
  // zero. Rounding may push H just outside [0, 1] for antipodal points.
  auto hav = [](double x) {
    const double s = std::sin(x / 2.0);
    return s * s;
  };
  const double h = std::cos(dec1) * std::cos(dec2) * hav(ra1 - ra2) + hav(dec1 - dec2);
  return 2.0 * std::asin(std::sqrt(Clamp(h, 0.0, 1.0)));
}

double PositionAngleWest(double dec2, double dec1, double ra2, double ra1) {
  const double delta = std::remainder(ra1 - ra2, 2.0 * kPi);
  return std::atan2(dec2 - dec1, std::cos((dec2 + dec1) / 2.0) * delta);
}

double PositionAngleNorth(double dec2, double dec1, double ra2, double ra1) {
  double a = PositionAngleWest(dec2, dec1, ra2, ra1) - kPi / 2.0;
  if (a < -kPi) a += 2.0 * kPi;
  return a;
}

void SunPosition(double jd, double& ra, double& dec) {
  const double d = jd - 2451545.0;
  const double g = (357.529 + 0.98560028 * d) * kDegToRad;
  const double q = 280.461 + 0.98564736 * d;
  // Ecliptic longitude of date, then precession back to J2000 (50.3″ a year).
  const double lambda =
      (q + 1.915 * std::sin(g) + 0.020 * std::sin(2.0 * g) - 3.82025691227735e-05 * d) *
      kDegToRad;
  ra = std::atan2(0.91748206207 * std::sin(lambda), std::cos(lambda));
  if (ra < 0) ra += 2.0 * kPi;
  if (ra >= 2.0 * kPi) ra = 0;  // NaN passes through
  dec = std::asin(0.39777715593 * std::sin(lambda));
}

// ---------------------------------------------------------------------------------------
// Web links

std::string PercentEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                            (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                            c == '~';
    if (unreserved) {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

namespace {

std::string LinkTarget(double dec, double ra) {
  return PercentEncode(RAToText(ra) + " " + DecToText(dec));
}

}  // namespace

std::string ImageAtlasLink(double fovDeg, double dec, double ra) {
  if (!std::isfinite(dec) || !std::isfinite(ra)) return {};
  return "https://aladin.cds.unistra.fr/AladinLite/?target=" + LinkTarget(dec, ra) +
         "&fov=" + FormatG(fovDeg, 3);
}

std::string ObjectDatabaseLink(double radiusDeg, double dec, double ra) {
  if (!std::isfinite(dec) || !std::isfinite(ra)) return {};
  return "https://simbad.cds.unistra.fr/simbad/sim-coo?Coord=" + LinkTarget(dec, ra) +
         "&Radius=" + FormatG(radiusDeg * 60.0, 3);
}

}  // namespace orlu
