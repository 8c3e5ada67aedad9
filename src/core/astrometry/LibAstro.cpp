#include "astrometry/LibAstro.h"

#include <cmath>

namespace orlu {

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

}  // namespace orlu
