// Locale-free number formatting and parsing: numbers in files and cards always use ".".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orlu {

// printf "%.{precision}g" in the C locale, whatever the process locale is.
std::string FormatG(double v, int precision);
// printf "%.{decimals}f" in the C locale.
std::string FormatFixed(double v, int decimals);
// printf "%.{decimals}E" in the C locale (exponent with at least two digits).
std::string FormatExp(double v, int decimals, bool upper = true);
// Shortest text that reads back to the same double.
std::string FormatShortest(double v);

// Parses the whole text (leading and trailing blanks allowed, a leading "+" allowed) as a
// decimal real. Returns false, leaving out untouched, on anything else.
bool ParseDouble(std::string_view text, double& out);
// The same for a decimal integer; false on overflow.
bool ParseInt64(std::string_view text, int64_t& out);
bool ParseInt32(std::string_view text, int32_t& out);

// The lines of a text file: a leading UTF-8 byte-order mark skipped, lines ended by LF or
// CR LF (the CR removed). Views into text.
std::vector<std::string_view> SplitTextLines(std::string_view text);

// Text with blanks (space, tab, CR, LF) removed at both ends.
std::string_view TrimView(std::string_view s);
std::string Trim(std::string_view s);
std::string UpperAscii(std::string_view s);

}  // namespace orlu
