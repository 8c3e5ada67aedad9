#include "uStartup.h"

#include <algorithm>

namespace orlu {

namespace {

constexpr std::string_view kMagic = "ORLU";

void PutU32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s.push_back(char((v >> (8 * i)) & 0xFF));
}

uint32_t GetU32(std::string_view s, size_t at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= uint32_t(uint8_t(s[at + size_t(i)])) << (8 * i);
  return v;
}

bool AcceptablePath(std::string_view p) {
  return !p.empty() && p.size() <= size_t(kHandOverMaxPathBytes) && p.front() == '/' &&
         p.find('\0') == std::string_view::npos && IsValidUtf8(p);
}

}  // namespace

std::vector<std::string> RebuildFileArguments(
    const std::vector<std::string>& args, const std::function<bool(const std::string&)>& exists) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < args.size()) {
    if (args[i].empty()) {
      ++i;
      continue;
    }
    size_t next = i + 1;
    std::string path = args[i];
    if (!exists(path)) {
      std::string joined = args[i];
      for (size_t j = i + 1; j < args.size(); ++j) {
        joined += ' ';
        joined += args[j];
        if (exists(joined)) {
          path = joined;
          next = j + 1;
          break;
        }
      }
    }
    out.push_back(std::move(path));
    i = next;
  }
  return out;
}

TPlacementUse PlacementAtStart(const TPlacement& stored) {
  if (stored.W > 9 && stored.H > 9) return TPlacementUse::Bounds;
  if (stored.W == 9 && stored.H == 9) return TPlacementUse::Maximized;
  return TPlacementUse::Designed;
}

TPlacement PlacementToStore(const TPlacement& w, bool maximized, int32_t screenW,
                            int32_t screenH) {
  TPlacement p;
  p.X = std::clamp(w.X, 0, 9999);
  p.Y = std::clamp(w.Y, 0, 9999);
  if (maximized) {
    p.W = p.H = 9;
  } else {
    p.W = std::clamp(w.W, 200, std::max(200, screenW));
    p.H = std::clamp(w.H, 150, std::max(150, screenH));
  }
  return p;
}

std::string AbsolutePath(const std::string& path, const std::string& cwd) {
  if (path.empty() || path.front() == '/') return path;
  std::string base = cwd;
  if (base.empty() || base.back() != '/') base += '/';
  // "./name" reads better without its "./".
  std::string_view rest = path;
  while (rest.size() > 2 && rest.substr(0, 2) == "./") rest.remove_prefix(2);
  return base + std::string(rest);
}

std::string EncodeHandOver(const std::vector<std::string>& paths) {
  if (paths.empty() || paths.size() > size_t(kHandOverMaxPaths)) return {};
  std::string body;
  for (const std::string& p : paths) {
    if (!AcceptablePath(p)) return {};
    PutU32(body, uint32_t(p.size()));
    body += p;
  }
  std::string msg(kMagic);
  PutU32(msg, uint32_t(16 + body.size()));
  PutU32(msg, kHandOverCode);
  PutU32(msg, uint32_t(paths.size()));
  return msg + body;
}

std::optional<int64_t> HandOverMessageSize(std::string_view head) {
  if (head.size() < 8) {
    // A wrong magic is known before the size arrives.
    const size_t n = std::min(head.size(), kMagic.size());
    if (head.substr(0, n) != kMagic.substr(0, n)) return -1;
    return std::nullopt;
  }
  if (head.substr(0, 4) != kMagic) return -1;
  const int64_t size = GetU32(head, 4);
  if (size < 16 || size > kHandOverMaxBytes) return -1;
  return size;
}

std::optional<std::vector<std::string>> DecodeHandOver(std::string_view data) {
  const std::optional<int64_t> size = HandOverMessageSize(data);
  if (!size || *size < 0 || uint64_t(*size) != data.size()) return std::nullopt;
  if (GetU32(data, 8) != kHandOverCode) return std::nullopt;
  const uint32_t count = GetU32(data, 12);
  if (count == 0 || count > uint32_t(kHandOverMaxPaths)) return std::nullopt;
  std::vector<std::string> paths;
  size_t at = 16;
  for (uint32_t k = 0; k < count; ++k) {
    if (data.size() - at < 4) return std::nullopt;
    const uint32_t len = GetU32(data, at);
    at += 4;
    if (len == 0 || len > uint32_t(kHandOverMaxPathBytes) || data.size() - at < len)
      return std::nullopt;
    const std::string_view p = data.substr(at, len);
    if (!AcceptablePath(p)) return std::nullopt;
    paths.emplace_back(p);
    at += len;
  }
  if (at != data.size()) return std::nullopt;
  return paths;
}

bool IsValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const uint8_t c = uint8_t(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    int n = 0;
    uint32_t cp = 0;
    if ((c & 0xE0) == 0xC0) {
      n = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      n = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      n = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (s.size() - i <= size_t(n)) return false;
    for (int k = 1; k <= n; ++k) {
      const uint8_t t = uint8_t(s[i + size_t(k)]);
      if ((t & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (t & 0x3F);
    }
    static constexpr uint32_t kMinOf[4] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMinOf[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += size_t(n) + 1;
  }
  return true;
}

}  // namespace orlu
