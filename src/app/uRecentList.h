// The recent-files list: at most 16 paths, most recent first, each with an optional
// 16 × 16 picture, and its text form (the file "QVRecentU.ini"). Qt-free.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orlu {

// 16 × 16 pixels 0x00RRGGBB, rows from the top, each row from the left.
using TPicture16 = std::array<uint32_t, 256>;

// 768 characters, three per pixel: 48 + (red div 8), 48 + (green div 8), 48 + (blue div 8).
std::string EncodePictureText(const TPicture16& picture);
// The picture of a well-formed text (exactly 768 characters, each "0" … "O"): every
// channel (c − 48) × 8. nullopt for any other text.
std::optional<TPicture16> DecodePictureText(std::string_view text);

struct TRecentEntry {
  std::string Path;
  std::optional<TPicture16> Picture;
};

class TRecentList {
 public:
  static constexpr int32_t kMaxEntries = 16;

  const std::vector<TRecentEntry>& Entries() const { return Entries_; }
  bool Changed() const { return Changed_; }
  void ClearChanged() { Changed_ = false; }

  // Moves an entry of this path (compared exactly: Linux names differ by letter case) to
  // the top, taking the picture when one is given; else inserts a new entry at the top,
  // dropping the oldest beyond 16. Marks the list changed. Empty paths are ignored.
  void Add(const std::string& path, const std::optional<TPicture16>& picture);
  // Replaces the list by the "File=" lines of text (UTF-8, LF or CRLF), walked from the
  // last line to the first so that the first line ends on top; a line is "File=" + path,
  // optionally followed by "*" + a picture text. Other lines and empty paths are skipped.
  // Not changed afterwards.
  void LoadText(std::string_view text);
  // One line per entry from the top. Paths with a line break cannot be written and are
  // left out.
  std::string SaveText() const;

 private:
  std::vector<TRecentEntry> Entries_;
  bool Changed_ = false;
};

}  // namespace orlu
