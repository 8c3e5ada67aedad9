#include "uRecentList.h"

#include <algorithm>

namespace orlu {

namespace {

constexpr size_t kPictureChars = 3 * 256;
constexpr std::string_view kPrefix = "File=";

}  // namespace

std::string EncodePictureText(const TPicture16& picture) {
  std::string s;
  s.reserve(kPictureChars);
  for (uint32_t c : picture) {
    s.push_back(char(48 + ((c >> 16) & 0xFF) / 8));
    s.push_back(char(48 + ((c >> 8) & 0xFF) / 8));
    s.push_back(char(48 + (c & 0xFF) / 8));
  }
  return s;
}

std::optional<TPicture16> DecodePictureText(std::string_view text) {
  if (text.size() != kPictureChars) return std::nullopt;
  if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= 'O'; }))
    return std::nullopt;
  TPicture16 p{};
  for (size_t k = 0; k < 256; ++k) {
    const uint32_t r = uint32_t(text[3 * k] - 48) * 8;
    const uint32_t g = uint32_t(text[3 * k + 1] - 48) * 8;
    const uint32_t b = uint32_t(text[3 * k + 2] - 48) * 8;
    p[k] = r << 16 | g << 8 | b;
  }
  return p;
}

void TRecentList::Add(const std::string& path, const std::optional<TPicture16>& picture) {
  if (path.empty()) return;
  auto it = std::find_if(Entries_.begin(), Entries_.end(),
                         [&](const TRecentEntry& e) { return e.Path == path; });
  if (it != Entries_.end()) {
    std::rotate(Entries_.begin(), it, it + 1);
    if (picture) Entries_.front().Picture = picture;
  } else {
    while (Entries_.size() >= size_t(kMaxEntries)) Entries_.pop_back();
    Entries_.insert(Entries_.begin(), TRecentEntry{path, picture});
  }
  Changed_ = true;
}

void TRecentList::LoadText(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
  Entries_.clear();
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    std::string_view line = *it;
    if (line.substr(0, kPrefix.size()) != kPrefix) continue;
    line.remove_prefix(kPrefix.size());
    if (line.empty()) continue;
    // A Linux name may hold "*", a picture text never does: the picture is what follows
    // the last "*", and only when it is a well-formed picture text.
    std::string_view path = line;
    std::optional<TPicture16> picture;
    const size_t star = line.rfind('*');
    if (star != std::string_view::npos && star >= 1) {
      picture = DecodePictureText(line.substr(star + 1));
      if (picture) path = line.substr(0, star);
    }
    Add(std::string(path), picture);
  }
  Changed_ = false;
}

std::string TRecentList::SaveText() const {
  std::string s;
  for (const TRecentEntry& e : Entries_) {
    if (e.Path.find_first_of("\r\n") != std::string::npos) continue;
    s += kPrefix;
    s += e.Path;
    if (e.Picture) {
      s += '*';
      s += EncodePictureText(*e.Picture);
    }
    s += '\n';
  }
  return s;
}

}  // namespace orlu
