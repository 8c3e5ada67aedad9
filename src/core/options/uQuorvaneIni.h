// Line-based INI text of the configuration files: sections, key lines, value texts, and the
// atomic replacement of a file. Knows nothing of the option classes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orlu {

using TIniLines = std::vector<std::string>;

// Files larger than this are not read: a configuration file is a few kilobytes.
inline constexpr std::uintmax_t kMaxIniFileBytes = 16u << 20;

// ---- lines ----

// Splits file bytes into lines: a leading UTF-8 byte-order mark is dropped; CR LF, LF and a
// lone CR all end a line; a last line without a line end is kept.
TIniLines SplitIniText(std::string_view bytes);
// The lines as UTF-8 text, each ended by LF.
std::string JoinIniLines(const TIniLines& lines);

// Section name of an option object: base + its index in decimal when the index is above 0.
std::string IniSectionName(std::string_view base, int32_t index);
// Its header line: "[" + name + "]".
std::string IniSectionHeader(std::string_view base, int32_t index);

// Lines [First, End) of a section body: after its header, up to the next line beginning with "[".
struct TIniRange {
  size_t First = 0;
  size_t End = 0;
};
// The body of the first section whose header line (blanks at both ends ignored) is "[name]".
std::optional<TIniRange> FindIniSection(const TIniLines& lines, std::string_view name);
// Name of the section a header line opens, or nullopt when the line is no header.
std::optional<std::string_view> IniHeaderName(std::string_view line);
// Text after the first "=" of the first line in range that begins with key + "=" (leading
// blanks ignored; lines of 2 characters or fewer skipped), or nullopt.
std::optional<std::string_view> FindIniKey(const TIniLines& lines, TIniRange range,
                                           std::string_view key);
// Key of a key line (text before the first "=", leading blanks ignored), or nullopt.
std::optional<std::string_view> IniLineKey(std::string_view line);

// ---- value texts (locale-free) ----

// Texts are written so that a value never spans lines: "\" becomes "\\", CR "\r", LF "\n".
std::string EscapeIniText(std::string_view text);
// Inverse of EscapeIniText; any other backslash is kept as it stands.
std::string UnescapeIniText(std::string_view text);

std::string IniValueText(int32_t v);                // decimal
std::string IniValueText(double v);                 // shortest "%.15g" form, "." separator
std::string IniValueText(bool v);                   // "True" / "False"
std::string IniValueText(const std::string& v);     // escaped text

// Each parser changes v only when the text is valid; numbers are then clamped to [lo, hi].
// Reals must be finite; Booleans are "True" or "False" in any letter case.
bool ReadIniValue(std::string_view text, int32_t& v, double lo, double hi);
bool ReadIniValue(std::string_view text, double& v, double lo, double hi);
bool ReadIniValue(std::string_view text, bool& v, double lo, double hi);
bool ReadIniValue(std::string_view text, std::string& v, double lo, double hi);

// ---- files ----

enum class TIniReadResult { Ok, Missing, Unreadable };
// Reads and splits a file of at most kMaxIniFileBytes.
TIniReadResult ReadIniFile(const std::filesystem::path& path, TIniLines& lines);
// Replaces path with the lines through a temporary file in the same folder (flushed to disk,
// then renamed over path). On failure returns false with a message in error (when given);
// the file that was there is left untouched and the temporary file removed.
bool WriteIniFile(const std::filesystem::path& path, const TIniLines& lines,
                  std::string* error = nullptr);

}  // namespace orlu
