// The macro pages of the "Define Macro" window: eight named lists of replayable steps, with
// a lossless text form for the options and for macro files.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "options/uQuorvane.h"
#include "processing/uFilMan.h"

namespace orlu {

class TMacroPage {
 public:
  static constexpr int32_t kMaxSteps = 99;

  std::string Name;
  std::vector<TIPFilter> Steps;

  // Appends a step; false (nothing added) when the page is full.
  bool Add(const TIPFilter& step);
  // Replaces the steps with one per operation entry of the history (entries of code 60
  // skipped), copying code, parameters, text and Ask. Stops at kMaxSteps; the result is
  // the number of operation entries left out (0 when all fit).
  int32_t ImportHistory(const THistoryList& history);
  // Inserts steps at index (clamped; appended past the end) while there is room; the
  // number that did not fit.
  int32_t Insert(int32_t index, const std::vector<TIPFilter>& steps);
  // Removes the steps whose indices are listed (duplicates and indices outside ignored).
  void Remove(const std::vector<int32_t>& indices);
  // Moves step from to index to (both clamped).
  void Move(int32_t from, int32_t to);
};

// The text form of one page: "name=" + the page name, then one line per step:
// "step=<code>;<flags>;<p1>,...,<p16>;<text>" where flags holds "a" (asks) and "d"
// (disabled), parameters are the shortest exact numbers (empty when unset) and the text is
// percent-encoded ("" when unset). Lines end in LF.
std::string MacroPageText(const TMacroPage& page);
// Reads a page text (LF or CR LF, byte-order mark allowed); lines that are not steps are
// skipped. At most kMaxSteps steps are read; the result is the number of step lines left
// out, or -1 when the text holds no "name=" line and no step (not a macro).
int32_t ParseMacroPage(std::string_view text, TMacroPage& page);

// Title line of macro files, written before the page text.
inline constexpr std::string_view kMacroFileTitle = "# Quorvane 8 Macro";
// Filter of the macro file dialogs.
inline constexpr std::string_view kMacroFileFilter =
    "Macro files, *.mac|*.mac|All files, *.*|*.*";

// Writes a macro file (through a temporary file, then renamed); false with error set.
bool SaveMacroFile(const TMacroPage& page, const std::filesystem::path& path,
                   std::string& error);
// Reads a macro file into page; its name becomes the file name without extension. False
// with error set when the file cannot be read or is not a macro file; page unchanged then.
// dropped receives the number of steps beyond kMaxSteps that were left out.
bool LoadMacroFile(const std::filesystem::path& path, TMacroPage& page, int32_t& dropped,
                   std::string& error);

// The eight pages with their names (options Macro1 … Macro8).
class TMacroBook {
 public:
  static constexpr int32_t kPages = 8;

  TMacroBook();
  // "Macro" + " " + k, translated, for page k = 1..8.
  static std::string DefaultName(int32_t k);
  TMacroPage& Page(int32_t k);  // k = 1..8, clamped
  const TMacroPage& Page(int32_t k) const;
  // The page keeps its default name but has steps: the "OK" refusal text, else empty.
  std::string CheckNames() const;
  // A page left empty gets back its default name (on closing with OK).
  void ResetEmptyNames();
  // All pages: "[Macro k]" section lines, each followed by the page text.
  std::string ToText() const;
  // Reads ToText's form; pages absent from the text keep their default state.
  void FromText(std::string_view text);

 private:
  std::array<TMacroPage, kPages> Pages_;
};

// ---- Keeping the pages between sessions ----

// The pages' steps, written beside the configuration file; the names live in the options
// (Filter.Macro1 … Macro8).
inline constexpr std::string_view kMacroBookFileName = "Orlu40Macro.ini";

// The book of the options: names from options.Filter, steps from the book file in folder
// (missing or unreadable: no steps). A name left empty in the options takes the default.
TMacroBook LoadMacroBook(const TQVOptions& options, const std::filesystem::path& folder);
// Stores the names into options.Filter and the pages into the book file (through a
// temporary file, then renamed); false with error set when the file cannot be written,
// the old file then unchanged.
bool StoreMacroBook(const TMacroBook& book, TQVOptions& options,
                    const std::filesystem::path& folder, std::string& error);

}  // namespace orlu
