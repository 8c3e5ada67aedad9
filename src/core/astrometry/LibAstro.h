// Astronomical helpers without state: Julian dates.
#pragma once

#include <cstdint>

namespace orlu {

// Julian day of a calendar date (Meeus): Gregorian from 1582-10-15 on, Julian before.
// day may carry the fraction of the day (1.5 is the 1st at noon).
double JulianDay(int32_t year, int32_t month, double day);

// Days in the month of the calendar JulianDay uses (Julian leap years up to 1582);
// 0 for a month outside 1..12.
int32_t DaysInMonth(int32_t year, int32_t month);

}  // namespace orlu
