#include "base/TextNumbers.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <system_error>

namespace orlu {

namespace {

std::string ToChars(double v, std::chars_format fmt, int precision) {
  char buf[512];
  auto res = std::to_chars(buf, buf + sizeof buf, v, fmt, precision);
  if (res.ec != std::errc()) return {};
  return std::string(buf, res.ptr);
}

}  // namespace

std::string FormatG(double v, int precision) {
  if (precision <= 0) precision = 1;
  return ToChars(v, std::chars_format::general, precision);
}

std::string FormatFixed(double v, int decimals) {
  if (decimals < 0) decimals = 0;
  return ToChars(v, std::chars_format::fixed, decimals);
}

std::string FormatExp(double v, int decimals, bool upper) {
  if (decimals < 0) decimals = 0;
  std::string s = ToChars(v, std::chars_format::scientific, decimals);
  if (upper)
    for (char& c : s)
      if (c == 'e') c = 'E';
  return s;
}

std::string FormatShortest(double v) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}

std::string_view TrimView(std::string_view s) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

std::vector<std::string_view> SplitTextLines(std::string_view text) {
  constexpr std::string_view kBom = "\xEF\xBB\xBF";
  if (text.substr(0, kBom.size()) == kBom) text.remove_prefix(kBom.size());
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

std::string Trim(std::string_view s) { return std::string(TrimView(s)); }

std::string UpperAscii(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return r;
}

bool ParseDouble(std::string_view text, double& out) {
  std::string_view s = TrimView(text);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return false;
  double v = 0;
  auto res = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::general);
  if (res.ec != std::errc() || res.ptr != s.data() + s.size()) return false;
  out = v;
  return true;
}

bool ParseInt64(std::string_view text, int64_t& out) {
  std::string_view s = TrimView(text);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return false;
  int64_t v = 0;
  auto res = std::from_chars(s.data(), s.data() + s.size(), v, 10);
  if (res.ec != std::errc() || res.ptr != s.data() + s.size()) return false;
  out = v;
  return true;
}

bool ParseInt32(std::string_view text, int32_t& out) {
  int64_t v = 0;
  if (!ParseInt64(text, v) || v < INT32_MIN || v > INT32_MAX) return false;
  out = static_cast<int32_t>(v);
  return true;
}

}  // namespace orlu
