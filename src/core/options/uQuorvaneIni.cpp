#include "options/uQuorvaneIni.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <system_error>

#include "base/OrluMath.h"
#include "base/TextNumbers.h"

namespace orlu {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view SkipLeadingBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto low = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
           return low(x) == low(y);
         });
}

std::string SystemMessage(int err) { return std::generic_category().message(err); }

void SetError(std::string* error, const std::filesystem::path& path, int err) {
  if (error) *error = "Cannot write " + path.string() + ": " + SystemMessage(err);
}

}  // namespace

// ---------------------------------------------------------------------------- lines

TIniLines SplitIniText(std::string_view bytes) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  TIniLines lines;
  size_t start = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (c != '\r' && c != '\n') continue;
    lines.emplace_back(bytes.substr(start, i - start));
    if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < bytes.size()) lines.emplace_back(bytes.substr(start));
  return lines;
}

std::string JoinIniLines(const TIniLines& lines) {
  size_t n = 0;
  for (const auto& l : lines) n += l.size() + 1;
  std::string text;
  text.reserve(n);
  for (const auto& l : lines) {
    text += l;
    text += '\n';
  }
  return text;
}

std::string IniSectionName(std::string_view base, int32_t index) {
  std::string name(base);
  if (index > 0) name += std::to_string(index);
  return name;
}

std::string IniSectionHeader(std::string_view base, int32_t index) {
  std::string line;
  line.reserve(base.size() + 16);
  line += '[';
  line += IniSectionName(base, index);
  line += ']';
  return line;
}

std::optional<std::string_view> IniHeaderName(std::string_view line) {
  line = TrimView(line);
  if (line.size() < 2 || line.front() != '[' || line.back() != ']') return std::nullopt;
  return line.substr(1, line.size() - 2);
}

std::optional<TIniRange> FindIniSection(const TIniLines& lines, std::string_view name) {
  for (size_t i = 0; i < lines.size(); ++i) {
    const auto header = IniHeaderName(lines[i]);
    if (!header || *header != name) continue;
    TIniRange r{i + 1, i + 1};
    while (r.End < lines.size() && !(!lines[r.End].empty() && lines[r.End][0] == '['))
      ++r.End;
    return r;
  }
  return std::nullopt;
}

std::optional<std::string_view> IniLineKey(std::string_view line) {
  line = SkipLeadingBlanks(line);
  const size_t eq = line.find('=');
  if (eq == std::string_view::npos || eq == 0) return std::nullopt;
  return line.substr(0, eq);
}

std::optional<std::string_view> FindIniKey(const TIniLines& lines, TIniRange range,
                                           std::string_view key) {
  const size_t end = std::min(range.End, lines.size());
  for (size_t i = range.First; i < end; ++i) {
    if (lines[i].size() <= 2) continue;
    const std::string_view line = SkipLeadingBlanks(lines[i]);
    if (line.size() > key.size() && line.compare(0, key.size(), key) == 0 &&
        line[key.size()] == '=')
      return line.substr(key.size() + 1);
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------- values

std::string EscapeIniText(std::string_view text) {
  std::string r;
  r.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '\\': r += "\\\\"; break;
      case '\r': r += "\\r"; break;
      case '\n': r += "\\n"; break;
      default: r += c;
    }
  }
  return r;
}

std::string UnescapeIniText(std::string_view text) {
  std::string r;
  r.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\' && i + 1 < text.size()) {
      const char next = text[i + 1];
      if (next == '\\' || next == 'r' || next == 'n') {
        r += next == '\\' ? '\\' : next == 'r' ? '\r' : '\n';
        ++i;
        continue;
      }
    }
    r += c;
  }
  return r;
}

std::string IniValueText(int32_t v) { return std::to_string(v); }
std::string IniValueText(double v) { return FormatG(v, 15); }
std::string IniValueText(bool v) { return v ? "True" : "False"; }
std::string IniValueText(const std::string& v) { return EscapeIniText(v); }

bool ReadIniValue(std::string_view text, int32_t& v, double lo, double hi) {
  int32_t x = 0;
  if (!ParseInt32(text, x)) return false;
  // Every int32 is exact as a double; the clamped value converts back saturated.
  if (double(x) < lo) x = SaturateCast<int32_t>(std::ceil(lo));
  if (double(x) > hi) x = SaturateCast<int32_t>(std::floor(hi));
  v = x;
  return true;
}

bool ReadIniValue(std::string_view text, double& v, double lo, double hi) {
  double x = 0;
  if (!ParseDouble(text, x) || !std::isfinite(x)) return false;
  v = std::clamp(x, lo, hi);
  return true;
}

bool ReadIniValue(std::string_view text, bool& v, double, double) {
  const std::string_view t = TrimView(text);
  if (EqualsIgnoringCase(t, "True")) v = true;
  else if (EqualsIgnoringCase(t, "False")) v = false;
  else return false;
  return true;
}

bool ReadIniValue(std::string_view text, std::string& v, double, double) {
  v = UnescapeIniText(text);
  return true;
}

// ---------------------------------------------------------------------------- files

TIniReadResult ReadIniFile(const std::filesystem::path& path, TIniLines& lines) {
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (!std::filesystem::exists(status)) return TIniReadResult::Missing;
  if (!std::filesystem::is_regular_file(status)) return TIniReadResult::Unreadable;
  const auto size = std::filesystem::file_size(path, ec);
  if (ec || size > kMaxIniFileBytes) return TIniReadResult::Unreadable;
  std::ifstream f(path, std::ios::binary);
  if (!f) return TIniReadResult::Unreadable;
  std::string bytes(size_t(size), '\0');
  f.read(bytes.data(), std::streamsize(size));
  if (f.gcount() != std::streamsize(size)) return TIniReadResult::Unreadable;
  lines = SplitIniText(bytes);
  return TIniReadResult::Ok;
}

bool WriteIniFile(const std::filesystem::path& path, const TIniLines& lines,
                  std::string* error) {
  const std::string text = JoinIniLines(lines);
  std::string tmp = path.string() + ".XXXXXX";
  const int fd = ::mkstemp(tmp.data());
  if (fd < 0) {
    SetError(error, path, errno);
    return false;
  }
  auto fail = [&](int err) {
    ::close(fd);
    ::unlink(tmp.c_str());
    SetError(error, path, err);
    return false;
  };
  // Keep the permissions of the file being replaced (mkstemp creates it private).
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) ::fchmod(fd, st.st_mode & 07777);
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail(n < 0 ? errno : EIO);
    done += size_t(n);
  }
  if (::fsync(fd) != 0) return fail(errno);
  if (::close(fd) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    SetError(error, path, err);
    return false;
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    SetError(error, path, err);
    return false;
  }
  return true;
}

}  // namespace orlu
