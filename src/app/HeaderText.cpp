#include "HeaderText.h"

#include <algorithm>

#include "fits/ImaHeader.h"

namespace orlu {

std::vector<THeaderSpan> HeaderLineSpans(std::string_view s) {
  std::vector<THeaderSpan> spans;
  const int32_t n = int32_t(std::min<size_t>(s.size(), 1u << 20));
  if (n < 7) return spans;
  // Columns below are 1-based as on a card; s[c - 1] is column c.
  auto at = [&s](int32_t col) { return s[size_t(col - 1)]; };
  if (at(1) == 'C' && at(3) == 'M' && at(7) == 'T') return {{0, 7, THeaderTint::Comment}};
  if (at(1) == 'H' && at(3) == 'S' && at(7) == 'Y') return {{0, 7, THeaderTint::History}};
  if (n <= 8 || at(9) != '=') return spans;
  spans.push_back({0, 8, THeaderTint::Keyword});
  int32_t commentCol = 32;
  if (n > 10 && at(11) == '\'') {
    int32_t close = 0;
    for (int32_t c = 12; c <= std::min(n, 80); ++c)
      if (at(c) == '\'') {
        close = c;
        break;
      }
    const int32_t end = close ? close : std::min(n, 80);
    spans.push_back({10, end - 10, THeaderTint::String});
    if (close && close + 2 > 30) commentCol = close + 2;
  }
  if (commentCol <= n && at(commentCol) == '/')
    spans.push_back({commentCol - 1, n - (commentCol - 1), THeaderTint::Remark});
  return spans;
}

bool EditRefused(bool protect, int32_t firstLine, int32_t lastLine) {
  return protect && std::min(firstLine, lastLine) < kProtectedLines;
}

void EditKeyLines(THeaderEditKey key, int32_t line, int32_t column, int32_t lineLength,
                  int32_t& firstLine, int32_t& lastLine) {
  firstLine = lastLine = line;
  if (key == THeaderEditKey::Backspace && column == 0) firstLine = line - 1;
  if (key == THeaderEditKey::Delete && column >= lineLength) lastLine = line + 1;
  // A line break at the very start of a line moves that line down: it changes the one above.
  if (key == THeaderEditKey::Enter && column == 0) firstLine = line - 1;
  firstLine = std::max(firstLine, 0);
}

void ApplyEditorLines(TFitsStrings& header, const std::vector<std::string>& lines, int32_t width,
                      int32_t height, bool colour, int32_t bitpix) {
  std::vector<std::string> cards;
  cards.reserve(lines.size());
  for (const std::string& l : lines) cards.push_back(TFitsStrings::PrintableAscii(l));
  while (!cards.empty() && cards.back().find_first_not_of(' ') == std::string::npos)
    cards.pop_back();
  header.Assign(std::move(cards));
  const bool structural = header.Count() >= 5 && TFitsStrings::KeywordOf(header[0]) == "SIMPLE";
  if (!structural) header.SetGeometry(width, height, colour, bitpix);
  header.FinishEnd();
}

}  // namespace orlu
