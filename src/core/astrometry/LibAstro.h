// Astronomical helpers without state: text forms of sky positions and angles, parsing of
// typed or header coordinates and dates, Julian dates, separations, the Sun, web links.
// RA and Dec travel in degrees; the spherical routines take radians. Texts are locale-free.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace orlu {

class TMiscOptions;

// ---------------------------------------------------------------------------------------
// Sexagesimal and decimal texts. Each form rounds half of its last unit up; RA is first
// brought into [0°, 360°), so 23h59m59.9999s shows as 00 00 00.000. The Dec sign comes from
// the unrounded value ("-00 00 00" for −0.4″). A non-finite input gives an empty text.

std::string RAToText(double ra);          // "hh mm ss.sss"
std::string DecToText(double dec);        // "+dd mm ss.ss"
std::string RAToTextTenths(double ra);    // "hh mm ss.s"
std::string DecToTextSeconds(double dec); // "+dd mm ss"
std::string RAToTextMinutes(double ra);   // "hh mm.m"
std::string DecToTextMinutes(double dec); // "+dd mm"
// RAToTextTenths + two spaces + DecToTextSeconds.
std::string RADecToText(double dec, double ra);

// "hh", "hh mm" or "hh mm ss": minutes shown when forced or when minutes or seconds are not
// zero, seconds when forced or not zero. Rounded to the second.
std::string RAToTextCompact(bool forceMinutes, bool forceSeconds, double ra);
// The same for "+dd[ mm[ ss]]", |Dec| limited to 90.
std::string DecToTextCompact(bool forceMinutes, bool forceSeconds, double dec);

// "%-9.6f" of RA in [0, 360).
std::string RADegToText(double ra);
// "%-10.6f" of Dec, preceded by "+" when positive ("+41.250000 ", "-41.250000").
std::string DecDegToText(double dec);

// The readout of image windows and lists: "RADeg DecDeg   " when coordsDegrees, then
// "RAToText DecToText" when coordsHMS or not coordsDegrees. Empty for a non-finite position.
std::string CoordinatesToText(double dec, double ra, bool coordsHMS, bool coordsDegrees);
// The same with the user's choice (CoordsHMS, CoordsDegrees) from the given options.
std::string CoordinatesToText(double dec, double ra, const TMiscOptions& options);

// An angle in radians as minutes and seconds of arc, "%d' %g\"", to 0.01″
// (1.2535° gives 75' 12.6").
std::string ArcToText(double radians);

// ---------------------------------------------------------------------------------------
// Parsing. Never throws; malformed numbers inside a text are skipped token by token.

// ParseNumbers options.
inline constexpr unsigned kMinusIsSeparator = 1;  // "-" ends a number instead of signing it
inline constexpr unsigned kSignedZeros = 2;       // "-0" gives -1e-18, so that "< 0" holds

// Extracts up to values.size() decimal numbers ("," or "." as decimal separator) from a
// text; returns how many were stored. Only finite numbers are stored.
int32_t ParseNumbers(std::string_view text, std::span<double> values, unsigned flags = 0);

// "d m s", "d m" or "d" (any separators) in degrees or hours; the sign of the first number
// applies to the whole. False, value 0, when the text holds no number.
bool ParseAngle(std::string_view text, double& value);

// RA and Dec in degrees from texts like "12 30 00 -00 30 00", "12 30 +45 30",
// "12h30m +45°" (hours) or "187.5° +45" (degrees: a "°" before the Dec sign). Object names
// (an upper-case letter first or second) are refused. With validate, RA must lie in
// 0 … 360 and Dec in (−91, 91), Dec then limited to ±90. False sets both to 0.
bool ParseRaDec(std::string_view text, bool validate, double& ra, double& dec);

// Julian day of a date text and a time text: "2023-03-15T22:30:00" (time text unused),
// "2023-03-15" or "15/03/23" (day-month-year; two-digit years 25…99 are 19xx, 0…24 20xx)
// with a time "hh:mm:ss" (noon when empty). A missing or impossible date or time returns
// false with jd set to 2000-01-01 12:00 (2451545.0).
bool DateTimeToJD(std::string_view date, std::string_view time, double& jd);

// Julian day of a calendar date (Meeus): Gregorian from 1582-10-15 on, Julian before.
// day may carry the fraction of the day (1.5 is the 1st at noon).
double JulianDay(int32_t year, int32_t month, double day);

// Days in the month of the calendar JulianDay uses (Julian leap years up to 1582);
// 0 for a month outside 1..12.
int32_t DaysInMonth(int32_t year, int32_t month);

// Day count from 1899-12-30 00:00 (the date-time serial of the user interface).
double JDToDateTime(double jd);

// ---------------------------------------------------------------------------------------
// Spherical geometry, radians. Star 1 at (ra1, dec1), star 2 at (ra2, dec2).

// Great-circle distance, 0 … π; exact 0 for identical points, π for antipodal ones.
double AngularSeparation(double dec2, double dec1, double ra2, double ra1);
// Direction from star 1 to star 2: 0 = west, +π/2 = north, in [−π, π].
double PositionAngleWest(double dec2, double dec1, double ra2, double ra1);
// The same with 0 = north, +π/2 = east, in [−π, π).
double PositionAngleNorth(double dec2, double dec1, double ra2, double ra1);

// Low-precision position of the Sun (about 0.01°) for a Julian day, equinox J2000:
// ra in [0, 2π), dec in radians.
void SunPosition(double jd, double& ra, double& dec);

// ---------------------------------------------------------------------------------------
// Web links.

// Every byte outside A–Z a–z 0–9 "-._~" as "%XX" (upper-case hex): a space is "%20",
// "+" is "%2B".
std::string PercentEncode(std::string_view text);

// Image atlas centred on (ra, dec) degrees with a field of view in degrees.
// Empty for a non-finite position.
std::string ImageAtlasLink(double fovDeg, double dec, double ra);
// Object database search around (ra, dec) degrees within a radius in degrees.
// Empty for a non-finite position.
std::string ObjectDatabaseLink(double radiusDeg, double dec, double ra);

}  // namespace orlu
