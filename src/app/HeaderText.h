// Rules of the FITS header window, without Qt: colouring spans of a card line, which edits
// touch the protected first five lines, and turning the editor's lines into header cards.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orlu {

class TFitsStrings;

enum class THeaderTint : uint8_t { Comment, History, Keyword, String, Remark };

// Characters [Start, Start + Length) of a line drawn in a tint.
struct THeaderSpan {
  int32_t Start = 0;
  int32_t Length = 0;
  THeaderTint Tint = THeaderTint::Keyword;
  bool operator==(const THeaderSpan&) const = default;
};

// The tinted parts of one line, left to right.
std::vector<THeaderSpan> HeaderLineSpans(std::string_view line);

// Lines 0 to 4 (SIMPLE … NAXIS2) are protected while protection is on.
inline constexpr int32_t kProtectedLines = 5;
// Whether an edit that changes lines firstLine … lastLine (0-based, any order) is refused.
bool EditRefused(bool protect, int32_t firstLine, int32_t lastLine);
// The lines an edit key changes at the caret (line, column) of a line of lineLength:
// Backspace at column 0 joins with the line above, Delete at the end with the line below.
enum class THeaderEditKey : uint8_t { Type, Backspace, Delete, Enter };
void EditKeyLines(THeaderEditKey key, int32_t line, int32_t column, int32_t lineLength,
                  int32_t& firstLine, int32_t& lastLine);

// The editor's lines as cards: printable ASCII ("?" for anything else), trailing blank lines
// dropped. A result without the structural cards gets them back from the image's geometry
// (width, height, colour, bitpix), so the header stays a valid one; END is kept last.
void ApplyEditorLines(TFitsStrings& header, const std::vector<std::string>& lines, int32_t width,
                      int32_t height, bool colour, int32_t bitpix);

}  // namespace orlu
