// Byte builders of the video and legacy format tests: little-endian fields appended to or
// written into a byte string.
#pragma once

#include <cstdint>
#include <string>

namespace orlu::testing_formats {

inline void PutU16(std::string& s, uint32_t v) {
  s += char(v & 0xFF);
  s += char((v >> 8) & 0xFF);
}
inline void PutU32(std::string& s, uint32_t v) {
  PutU16(s, v & 0xFFFF);
  PutU16(s, v >> 16);
}
inline void PutU64(std::string& s, uint64_t v) {
  PutU32(s, uint32_t(v & 0xFFFFFFFFu));
  PutU32(s, uint32_t(v >> 32));
}
inline void SetU16(std::string& s, size_t at, uint32_t v) {
  s[at] = char(v & 0xFF);
  s[at + 1] = char((v >> 8) & 0xFF);
}
inline void SetU32(std::string& s, size_t at, uint32_t v) {
  SetU16(s, at, v & 0xFFFF);
  SetU16(s, at + 2, v >> 16);
}
inline void SetText(std::string& s, size_t at, const std::string& text) {
  s.replace(at, text.size(), text);
}

}  // namespace orlu::testing_formats
