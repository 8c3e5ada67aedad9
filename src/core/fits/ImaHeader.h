// The FITS header of an image: an ordered list of 80-column card texts with keyword lookup,
// the exact card writers, lenient getters, and the header block reader and writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orlu {

// What the header reader found. Anything but Ok leaves a header that describes no image
// (cut to its first 36 cards, blockCount 1), so the FITS reader must not read pixels.
enum class TFitsHeaderStatus {
  Ok,
  ReadError,         // the file could not be opened or read
  Truncated,         // the file ends inside the header that was to be read (no END card)
  TooLong,           // that header is longer than kMaxHeaderBlocks blocks
  NoImageExtension,  // the primary holds no image and the requested image extension is absent
};

// Image description from the structural cards (see TFitsStrings::GetGeometry).
struct TFitsGeometry {
  int32_t Width = 0;       // NAXIS1, 0 ... 99999
  int32_t Height = 0;      // NAXIS2, 0 ... 99999
  int32_t Axes = 0;        // 0 ... 3 (3 only when NAXIS3 > 2)
  int32_t SampleCode = 0;  // 8, 16, 32, 64; 33 for BITPIX -32, 65 for -64, 99 other negative
  double BZero = 0;        // default 0
  double BScale = 1;       // default 1
};

class TFitsStrings {
 public:
  static constexpr int kCardLength = 80;
  static constexpr int kCardsPerBlock = 36;
  static constexpr int kBlockSize = 2880;
  static constexpr int kMaxHeaderBlocks = 200;
  // Prefix of the header text form carried by other formats: "FITS_HEADER" and one NUL.
  static const std::string kHeaderTextPrefix;

  // ---------------------------------------------------------------- plain string list
  int Count() const { return static_cast<int>(Cards_.size()); }
  bool Empty() const { return Cards_.empty(); }
  const std::string& operator[](int i) const { return Cards_[static_cast<std::size_t>(i)]; }
  std::string& operator[](int i) { return Cards_[static_cast<std::size_t>(i)]; }
  const std::vector<std::string>& Strings() const { return Cards_; }
  std::vector<std::string>::const_iterator begin() const { return Cards_.begin(); }
  std::vector<std::string>::const_iterator end() const { return Cards_.end(); }
  // Appends a card as is (no END handling).
  void Add(std::string card) { Cards_.push_back(std::move(card)); }
  // Inserts before index i; i is clamped to 0 ... Count().
  void Insert(int i, std::string card);
  // Deletes card i; an index outside the list is ignored.
  void Delete(int i);
  void Clear() { Cards_.clear(); }
  // Replaces all cards.
  void Assign(std::vector<std::string> cards) { Cards_ = std::move(cards); }
  // Index of the first card exactly equal to text, -1 when none.
  int IndexOf(std::string_view text) const;
  // The cards joined with line feeds (one card per line, no trailing line feed).
  std::string Text() const;

  // ---------------------------------------------------------------- card helpers
  // Index of the first card whose text before its first "=" equals key (blank-padded and cut
  // to 8 characters), ignoring letter case; -1 when none. Only value cards can be found.
  int IndexOfKey(std::string_view key) const;
  // key upper-cased, padded with blanks and cut to exactly 8 characters.
  static std::string Name8(std::string_view key);
  // Characters 1..8 of a card, trimmed and upper-cased.
  static std::string KeywordOf(std::string_view card);
  // "END", or text beginning with "END " or " END ".
  static bool IsEndCard(std::string_view card);
  // Empty, or only characters with codes up to 32.
  static bool IsBlankCard(std::string_view card);
  // Text as FITS allows it: every character outside printable ASCII (one UTF-8 sequence or
  // one stray byte) becomes "?".
  static std::string PrintableAscii(std::string_view text);
  // Right-aligned 20-character value text of a real: 13 significant digits in the form
  // "1.500000000000E+010" below 1e-4 or from 1e9 on, else the shortest fixed text (".0"
  // appended to integral values). Non-finite values have no card text: empty string.
  static std::string FormatRealValue(double x);
  // Sign, then "dd mm ss.sss" of |x| (45.5 gives "+45 30 00.000").
  static std::string FormatSexagesimal(double x);

  // ---------------------------------------------------------------- basic list handling
  // Removes the last END and trailing blank cards, appends card and "END". No-op when empty.
  void AddBeforeEnd(std::string card);
  // When not empty: removes every END card and trailing blank cards, appends "END ".
  void FinishEnd();
  // Deletes every empty card.
  void RemoveEmptyCards();
  // The six cards of an empty 32-bit 2-axis image header, END included.
  void InitMinimal();
  // Replaces the card of the card's keyword (its first 8 characters) in place, else adds it
  // before END.
  void SetCard(std::string card);
  // String card inserted at index (clamped), no END handling.
  void InsertString(int index, std::string_view key, std::string_view value);
  // Integer card (+ " / " + comment when the comment is not empty) inserted at index.
  void InsertInt(int index, std::string_view key, std::string_view comment, int64_t value);

  // ---------------------------------------------------------------- getters (never throw)
  bool HasKey(std::string_view key) const { return IndexOfKey(key) >= 0; }
  // Leading number of the value (from column 10); 0 when missing (found false) or when the
  // value does not begin with a finite number (strings, logicals).
  double GetReal(std::string_view key, bool& found) const;
  double GetReal(std::string_view key) const;
  // GetReal rounded half to even, clamped to the int32 range.
  int32_t GetInt(std::string_view key) const;
  // Value of a quoted string card with doubled quotes undone and trailing blanks removed;
  // empty when missing (found false) or when the value is not a quoted string.
  std::string GetString(std::string_view key, bool& found) const;
  std::string GetString(std::string_view key) const;
  // Columns 11..80 with quotes turned into blanks, trimmed (unquoted dates).
  std::string GetRawValue(std::string_view key, bool& found) const;
  // The value is a quoted string.
  bool IsStringKey(std::string_view key) const;
  // "?" when missing; the trimmed string value; else the number in general format.
  std::string GetValueText(std::string_view key) const;

  // ---------------------------------------------------------------- setters and deleters
  // replace: an existing card of the key is overwritten in place when set, else kept; a
  // missing key is added before END. Quotes in values are doubled; a value too long for the
  // card is shortened so that its closing quote stays within 80 columns.
  void SetString(std::string_view key, std::string_view value, bool replace);
  // Trimmed value; nothing when empty, else SetString with replace.
  void SetStringIfNotEmpty(std::string_view key, std::string_view value);
  void SetStringComment(std::string_view key, std::string_view value, bool replace,
                        std::string_view comment);
  // Refused (old card kept) when value is NaN or infinite.
  void SetReal(std::string_view key, bool replace, double value);
  void SetInt(std::string_view key, int64_t value, bool replace);
  void DeleteKey(std::string_view key);
  // Gives the first card of oldKey the keyword newKey, value and comment kept; false when
  // oldKey is absent.
  bool RenameKey(std::string_view oldKey, std::string_view newKey);
  // "COMMENT " / "HISTORY " + the first 72 characters, before END.
  void AddComment(std::string_view text);
  void AddHistory(std::string_view text);
  // "KEY = value" sets a string (value quoted) or a real; "COMMENT text" and "HISTORY text"
  // add commentary cards; anything else does nothing.
  void SetCardFromText(std::string_view text);
  // Lines split at control characters; COMMENT lines added, other lines through SetCard.
  void ImportText(std::string_view text);

  // ---------------------------------------------------------------- geometry and scaling
  // Puts SIMPLE, BITPIX, NAXIS, NAXIS1, NAXIS2 (and NAXIS3 = 3 for colour) at indices 0..5;
  // deletes BZERO, BSCALE and ORIG_CMP. A header of fewer than 6 cards is reset first.
  void SetGeometry(int32_t width, int32_t height, bool colour, int32_t bitpix);
  // BZERO and BSCALE = 1 right after the axis cards. Refused when bzero is not finite.
  void SetScaling(double bzero);
  TFitsGeometry GetGeometry() const;
  // Bytes of pixel data announced by the header: -1 without NAXIS, 0 when NAXIS1 <= 0 or
  // |BITPIX| < 8; PCOUNT added for tile-compressed headers. Saturates at INT64_MAX.
  int64_t DataSize(bool excludePlanes) const;
  // QVIM_CNT rounded and clamped to +-2e9; 1 when absent.
  int32_t ImageCount() const;
  // ROWORDER is 'TOP-DOWN' (letter case ignored).
  bool IsTopDown() const;

  // ---------------------------------------------------------------- observation helpers
  // DATE-OBS (unquoted values accepted) and TIME-OBS, else UT.
  void GetDateTimeObs(std::string& date, std::string& time) const;
  // "date time" with the ISO "T" turned into a blank.
  std::string GetDateTimeText() const;
  // EXPTIME, else EXPOSURE, in seconds.
  double GetExposure(bool& found) const;
  // "%4gs" + pad blanks; empty when there is no exposure.
  std::string ExposureText(int pad) const;
  // TEMPERAT, else CCD-TEMP, in degrees Celsius.
  double GetTemperature(bool& found) const;
  // "%3.1f°" + pad blanks; empty when there is no temperature.
  std::string TemperatureText(int pad) const;
  // RA/DEC, else OBJCTRA/OBJCTDEC, else SCOPEPOS as texts; true when both are non-empty.
  bool GetRaDecText(std::string& ra, std::string& dec) const;
  // Pointing in degrees from the sexagesimal texts, else from numeric RA/DEC cards.
  // Both are -1 and the result false when not known.
  bool GetRaDec(double& raDeg, double& decDeg) const;
  // String card "yyyy-mm-ddThh:mm:ss.zzz" (replace) from a date-time counted in days from
  // 1899-12-30 00:00. Refused when not finite or outside the years 0 ... 9999.
  void SetDateTime(std::string_view key, std::string_view comment, double dateTime);
  // DATE-OBS from a Julian date.
  void SetDateObsJD(std::string_view comment, double jd);
  // SITELONG and SITELAT as sexagesimal string cards (degrees). Refused when not finite.
  void SetSite(double lat, double lon, bool replace);
  // Multiplies XPIXSZ and YPIXSZ by factor when both exist and factor is not 1.
  void ScalePixelSize(double factor);
  // Replaces every "%KEYWORD" (upper-case letter first) by GetValueText(KEYWORD).
  std::string ExpandPlaceholders(std::string_view text) const;

  // ---------------------------------------------------------------- keyword families
  // ORLUUTYP, ORLUUMAX, ORLUUMIN as reals (replace).
  void SetVisuKeys(double type, double max, double min);
  // Deletes ORLUUMIN, ORLUUMAX, ORLUUTYP and ORLUUCRV.
  void DeleteVisuKeys();
  // True when both ORLUUMIN and ORLUUMAX exist; type clamped to int32 and truncated.
  bool GetVisuKeys(double& min, double& max, int32_t& type, std::string& curve) const;
  // Deletes the world-coordinate, APOLY and SIP keywords.
  void DeleteWcsKeys();
  // Deletes PPOLY0 and PPOLY1.
  void DeletePolyKeys();
  // The header carries SIP distortion terms that the WCS reader should use.
  bool HasSipDistortion() const;

  // ---------------------------------------------------------------- file blocks
  // FinishEnd, then the cards as 2880-byte blocks: each card printable ASCII, padded or cut
  // to 80 columns, blank cards after END up to a whole block.
  std::string HeaderBlocks();
  // Writes HeaderBlocks() at the stream's position; false on a write error.
  bool WriteToFile(std::FILE* file);
  // Reads the header of the image to load: the primary, or, when the primary announces no
  // data, image extension hduIndex (0 and 1 both mean the first), merged into image form
  // with QVIM_IDX (and QVIM_CNT when the file holds more than one image extension).
  // compressed: the chosen extension is tile-compressed (its keywords are translated).
  // blockCount: 2880-byte blocks from the file start to the end of the chosen header.
  // The data of skipped units are not read. Uses pread: the descriptor's offset is kept.
  TFitsHeaderStatus ReadFromFile(int fd, int hduIndex, bool& compressed, int64_t& blockCount);
  TFitsHeaderStatus ReadFromFile(const std::filesystem::path& path, int hduIndex,
                                 bool& compressed, int64_t& blockCount);

  // ---------------------------------------------------------------- header text form
  // kHeaderTextPrefix + the non-structural cards, trimmed, each but END followed by "\n";
  // empty when there is no such card.
  std::string ExportHeaderText() const;
  // SetGeometry, then the non-structural lines of text (prefix optional), then FinishEnd.
  void ImportHeaderText(std::string_view text, int32_t width, int32_t height, bool colour,
                        int32_t bitpix);

  // Short header lines for a preview: no structural or visualization cards, comments cut,
  // DATE-OBS, TIME-OBS, EXPOSURE, FILTER first.
  std::vector<std::string> Summary() const;

  // ---------------------------------------------------------------- annotations
  // Replaces all "COMMENT {ANNOTATE " cards by the given annotation texts (61 characters per
  // card, "_" in column 80 when continued, "}" on the last). nullptr only deletes.
  void WriteAnnotations(const std::vector<std::string>* texts);
  // The annotation texts stored in the header, in order.
  std::vector<std::string> ReadAnnotations() const;

  // ---------------------------------------------------------------- processing history
  // Adds record cards for each history line (longer than 71 characters, "A" fourth from
  // the end): one 80-column card, or a first card and up to 19 "HISTORY   {_" continuations.
  void WriteHistory(const std::vector<std::string>& lines);
  // The history lines, continuation cards joined back to their records.
  std::vector<std::string> ReadHistory() const;
  // Any history record card exists.
  bool HasHistory() const;
  // Deletes every history record and continuation card.
  void DeleteHistory();

  // A history record card: 80 columns, "HISTORY ", "A" in column 77, digits in 78 and 80.
  static bool IsHistoryRecordCard(std::string_view card);
  static bool IsHistoryContinuationCard(std::string_view card);

 private:
  std::vector<std::string> Cards_;
};

}  // namespace orlu
