// Start-up rules that are logic: the files named on the command line and the message that
// hands them to a running copy. Qt-free.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orlu {

// The file paths of a command line (arguments after the program name). A path with blanks
// that a caller split into several arguments is joined again, but only when the single
// argument names no file and a join of it with the following ones does; an argument that
// names no file and joins to none stays as it is (its open reports the error). Empty
// arguments are dropped. exists tells whether a path names an existing file.
std::vector<std::string> RebuildFileArguments(
    const std::vector<std::string>& args, const std::function<bool(const std::string&)>& exists);

// path made absolute against the folder cwd (itself absolute); already absolute paths and
// empty ones are returned as they are. Lexical: no link is resolved.
std::string AbsolutePath(const std::string& path, const std::string& cwd);

// ---- Main-window placement kept in the registry values WindowX/Y/W/H -------------------

struct TPlacement {
  int32_t X = 0, Y = 0, W = 0, H = 0;
  bool operator==(const TPlacement&) const = default;
};
enum class TPlacementUse { Designed, Bounds, Maximized };
// At start-up: width and height both above 9 give the bounds, both 9 a maximized window,
// anything else the designed bounds.
TPlacementUse PlacementAtStart(const TPlacement& stored);
// At exit: left and top held in 0 … 9999, width in 200 … screenW and height in 150 … screenH;
// a maximized window stores 9 for both.
TPlacement PlacementToStore(const TPlacement& window, bool maximized, int32_t screenW,
                            int32_t screenH);

// ---- Hand-over message ---------------------------------------------------------------
// Layout (integers little-endian 32-bit): "ORLU", total size, code 2624, path count, then
// per path its byte length and its UTF-8 bytes.

inline constexpr uint32_t kHandOverCode = 2624;
inline constexpr int32_t kHandOverMaxPaths = 256;
inline constexpr int32_t kHandOverMaxPathBytes = 4096;
inline constexpr int64_t kHandOverMaxBytes =
    16 + int64_t(kHandOverMaxPaths) * (4 + kHandOverMaxPathBytes);
// The reply of a receiver that took a message.
inline constexpr char kHandOverAck = 'K';

// The message for these paths; empty when a path is not one the receiver would take
// (see DecodeHandOver) or there are none or too many.
std::string EncodeHandOver(const std::vector<std::string>& paths);
// Size of the whole message as announced by its first 8 bytes: nullopt while fewer have
// arrived; -1 when they cannot begin a valid message (wrong magic, size out of bounds).
std::optional<int64_t> HandOverMessageSize(std::string_view head);
// The paths of a complete message; nullopt unless magic, size, code and count agree with
// the data exactly and every path is absolute, valid UTF-8 of 1 … 4096 bytes without NUL.
std::optional<std::vector<std::string>> DecodeHandOver(std::string_view data);

// Valid UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
bool IsValidUtf8(std::string_view s);

}  // namespace orlu
