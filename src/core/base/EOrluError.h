// The one exception type of the core: it carries the text shown to the user.
#pragma once

#include <stdexcept>
#include <string>

namespace orlu {

class EOrluError : public std::runtime_error {
 public:
  explicit EOrluError(const std::string& userText) : std::runtime_error(userText) {}
};

// "Out of memory" with its hint, as shown in the error box.
inline constexpr const char* kOutOfMemoryText = "Out of memory\rHint: Close some images";

}  // namespace orlu
