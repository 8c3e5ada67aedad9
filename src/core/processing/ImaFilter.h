// Processing history of an image: one entry per operation applied since the image was
// created or read, with its parameters, text parameter, time and mask flag.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orlu {

// Marks a parameter that was not set.
inline constexpr double kUnsetParam = -123456789.5;
// Marks a text parameter that was not set.
inline constexpr const char* kVoidText = "<void>";
// Code of the entries that are not operations; their Kind says what they are.
inline constexpr uint8_t kOtherCode = 60;
inline constexpr int32_t kLastOperationCode = 107;
inline constexpr int32_t kLastKind = 28;

// Stored name of operation code 0..107 (empty outside).
std::string_view OperationName(int32_t code);
// Name of kind 0..28 of a non-operation entry (empty outside).
std::string_view HistoryKindName(int32_t kind);
// Codes 61..72, 87..89 and 104: the step combines the image with a second one.
bool IsDualCode(int32_t code);

class TFitsStrings;

class THistoryItem {
 public:
  // Kind 0, Code 60, Time now, parameters unset, Text "<void>".
  THistoryItem();

  uint8_t Kind = 0;
  uint8_t Code = kOtherCode;
  double Time = 0;  // date-time: days since 1899-12-30 00:00 local time; 0 when read from text
  std::array<double, 16> Params;
  std::string Text = kVoidText;
  std::string DisplayText;  // cached by the history window
  bool Masked = false;
  bool Ask = false;
  bool FromMacro = false;

  bool HasText() const { return Text != kVoidText; }
  // Every set parameter in the shortest general form followed by two spaces, with two
  // more spaces before the parameter where the code's second group starts (when the text
  // is not empty by then).
  std::string ParamText() const;
  // The entry's parameters as the history window shows them (binning factor, second
  // image, "?" for an asking step, else parameters and text; line breaks made visible).
  std::string DetailText() const;
  // The history window's line: time (or Format " %.2d)      " of index + 1 when Time is 0;
  // nothing for index -1), translated name and detail, and the translated mask marker.
  std::string DisplayLine(int32_t index) const;
  // The one-line record of history files and HISTORY cards: name, quoted text or
  // parameters, " [Mask]", padded to 68 characters, then the tag "A" + 3 digits.
  // Empty for an entry of Code 60 and Kind 1, which has no record.
  std::string RecordLine() const;
  // Reads a record line back into item: false (item untouched) when the line is not a
  // record. Time becomes 0; a text holding both ":" and a quote keeps only code and mask.
  static bool ParseRecord(std::string_view line, THistoryItem& item);
};

// Current local time as days since 1899-12-30 00:00.
double NowDateTime();

// Title line of history files.
inline constexpr std::string_view kHistoryFileTitle = "# Quorvane 8 Processing history";
// Filter of the history file dialogs.
inline constexpr std::string_view kHistoryFileFilter = "History files|*.his|All files|*.*";

// Entries are owned by the list; pointers to them stay valid until they are removed.
class THistoryList {
 public:
  static constexpr int32_t kMaxEntries = 199;

  THistoryList() = default;
  THistoryList(const THistoryList& other) { other.CopyTo(*this); }
  THistoryList& operator=(const THistoryList& other) {
    if (&other != this) other.CopyTo(*this);
    return *this;
  }
  THistoryList(THistoryList&&) noexcept = default;
  THistoryList& operator=(THistoryList&&) noexcept = default;

  int32_t Count() const { return int32_t(Items_.size()); }
  void Clear() { Items_.clear(); }
  // Entry at index; nullptr outside 0..Count()-1.
  THistoryItem* Item(int32_t index);
  const THistoryItem* Item(int32_t index) const;
  // Copies every entry into other (cleared first).
  void CopyTo(THistoryList& other) const;
  // Takes an existing entry; it is freed when the list is full. The entry in the list, or
  // nullptr when it was dropped.
  THistoryItem* Append(std::unique_ptr<THistoryItem> item);
  // Entries with a Code other than 60.
  int32_t OperationCount() const;

  // The append forms of the operations. Each returns the new entry, or nullptr when the
  // list already holds kMaxEntries entries or the code is not 0..107. At most 16 parameters
  // are taken.
  THistoryItem* Add(int32_t code, bool masked);
  THistoryItem* Add(int32_t code, bool masked, std::span<const double> params);
  THistoryItem* Add(int32_t code, bool masked, std::string_view text);
  THistoryItem* Add(int32_t code, bool masked, std::span<const double> params,
                    std::string_view text);
  // A Code 60 entry of the given kind.
  THistoryItem* AddKind(int32_t kind, bool masked, std::string_view text);

  // The record lines of the entries that have one, oldest first.
  std::vector<std::string> RecordLines() const;
  // Appends every line that parses as a record, while the list has room.
  void AddRecordLines(const std::vector<std::string>& lines);

  // The cached display texts from the newest entry to the oldest, each followed by CR LF
  // (entries without a cached text get their display line).
  std::string ClipboardText() const;

  // ---- History files (".his") ----
  // "# Quorvane 8 Processing history", "#", then one record line per entry; CR LF line
  // ends, UTF-8 with a byte-order mark.
  std::string FileText() const;
  // Clears the list and appends every line of text that parses as a record (LF or CR LF
  // line ends, with or without the byte-order mark).
  void ParseFileText(std::string_view text);
  // Writes FileText through a temporary file in the same folder, then renames it: an
  // existing file is never left half-written. False with error set on failure.
  bool SaveToFile(const std::filesystem::path& path, std::string& error) const;
  // Reads a history file (at most 16 MiB). False with error set when it cannot be read;
  // the list is then unchanged.
  bool LoadFromFile(const std::filesystem::path& path, std::string& error);

  // ---- FITS header ----
  // Deletes the header's history cards, then writes the record lines as HISTORY cards
  // when the list has any.
  void WriteToHeader(TFitsStrings& header) const;
  // Clears the list and reads the header's history records into it.
  void ReadFromHeader(const TFitsStrings& header);

 private:
  THistoryItem* AddOperation(int32_t code, bool masked, std::span<const double> params,
                             const std::string_view* text);
  std::vector<std::unique_ptr<THistoryItem>> Items_;
};

}  // namespace orlu
