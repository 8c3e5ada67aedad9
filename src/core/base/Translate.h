// Translation hook: every user-visible caption and message passes through Tr before display.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace orlu {

// The text in the loaded language, or the text itself when no language file is loaded or
// the text has no entry. Safe to call from any thread once the table is set at start-up.
std::string Tr(std::string_view text);

// Replaces the table (English text -> translated text); an empty table restores English.
void SetTranslationTable(std::map<std::string, std::string, std::less<>> table);

}  // namespace orlu
