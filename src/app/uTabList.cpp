#include "uTabList.h"

namespace orlu {

std::string TabCaption(const std::string& title) {
  const size_t slash = title.find_last_of('/');
  std::string s = slash == std::string::npos ? title : title.substr(slash + 1);
  // Cut at 30 characters, never inside a UTF-8 sequence.
  size_t chars = 0, i = 0;
  while (i < s.size() && chars < 30) {
    ++i;
    while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
    ++chars;
  }
  s.resize(i);
  while (chars < 5) {
    s += ' ';
    ++chars;
  }
  return s;
}

}  // namespace orlu
