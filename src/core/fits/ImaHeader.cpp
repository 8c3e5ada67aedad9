// FITS header cards: card texts, value parsing, keyword families and the block reader/writer.
#include "fits/ImaHeader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <system_error>

#include "base/OrluMath.h"
#include "base/TextNumbers.h"
#include "fits/FitsCompressKeys.h"

namespace orlu {

const std::string TFitsStrings::kHeaderTextPrefix = std::string("FITS_HEADER") + '\0';

namespace {

constexpr const char* kSimpleCard = "SIMPLE  =                    T";
constexpr std::string_view kAnnotatePrefix = "COMMENT {ANNOTATE ";
constexpr std::size_t kAnnotateChunk = 61;
constexpr std::string_view kHistoryContinuation = "HISTORY   {_";
constexpr std::size_t kHistoryChunk = 68;
constexpr int kMaxHistoryCards = 20;
// Room for a string value between the opening quote in column 11 and a closing quote that
// must stay within column 80.
constexpr std::size_t kMaxQuotedValue = 68;

char UpperChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (UpperChar(a[i]) != UpperChar(b[i])) return false;
  return true;
}

bool StartsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

bool StartsWithNoCase(std::string_view s, std::string_view p) {
  return s.size() >= p.size() && EqualsNoCase(s.substr(0, p.size()), p);
}

// Trim of every character with a code up to 32, the notion of "blank" in cards.
std::string_view Trim32(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= 32) s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= 32) s.remove_suffix(1);
  return s;
}

std::string PadLeft(std::string s, std::size_t width) {
  if (s.size() < width) s.insert(0, width - s.size(), ' ');
  return s;
}

std::string PadRight(std::string s, std::size_t width) {
  if (s.size() < width) s.append(width - s.size(), ' ');
  return s;
}

std::string IntText20(int64_t v) { return PadLeft(std::to_string(v), 20); }

// Longest number at the start of s (blanks skipped): sign, digits, point, exponent with E or
// the FORTRAN D. False when no digit starts it or the value is out of the double range.
bool ParseLeadingReal(std::string_view s, double& out) {
  std::size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  std::string num;
  std::size_t j = i;
  if (j < s.size() && (s[j] == '+' || s[j] == '-')) {
    if (s[j] == '-') num += '-';
    ++j;
  }
  std::size_t digits = 0;
  while (j < s.size() && IsDigit(s[j])) num += s[j++], ++digits;
  if (j < s.size() && s[j] == '.') {
    num += s[j++];
    while (j < s.size() && IsDigit(s[j])) num += s[j++], ++digits;
  }
  if (digits == 0) return false;
  if (j < s.size() && (s[j] == 'E' || s[j] == 'e' || s[j] == 'D' || s[j] == 'd')) {
    std::size_t k = j + 1;
    std::string exp = "e";
    if (k < s.size() && (s[k] == '+' || s[k] == '-')) exp += s[k++];
    if (k < s.size() && IsDigit(s[k])) {
      while (k < s.size() && IsDigit(s[k])) exp += s[k++];
      num += exp;
    }
  }
  double v = 0;
  auto res = std::from_chars(num.data(), num.data() + num.size(), v, std::chars_format::general);
  if (res.ec != std::errc() || !std::isfinite(v)) return false;
  out = v;
  return true;
}

// Index where the value of a card begins to be a quoted string: the first non-blank from
// column 10 on; npos when the value is not quoted.
std::size_t OpeningQuote(std::string_view card) {
  for (std::size_t i = 9; i < card.size(); ++i) {
    if (card[i] == '\'') return i;
    if (card[i] != ' ') return std::string_view::npos;
  }
  return std::string_view::npos;
}

// FITS string value starting after the opening quote: '' stands for one quote, a single
// quote closes it; trailing blanks are not significant.
std::string UnquoteFrom(std::string_view card, std::size_t open) {
  std::string v;
  for (std::size_t i = open + 1; i < card.size(); ++i) {
    if (card[i] == '\'') {
      if (i + 1 < card.size() && card[i + 1] == '\'') {
        v += '\'';
        ++i;
        continue;
      }
      break;
    }
    v += card[i];
  }
  while (!v.empty() && v.back() == ' ') v.pop_back();
  return v;
}

// Value text between quotes: printable ASCII, quotes doubled, cut so that the card's closing
// quote stays within 80 columns (never splitting a doubled quote).
std::string QuotedValue(std::string_view value) {
  const std::string clean = TFitsStrings::PrintableAscii(value);
  std::string out;
  for (char c : clean) {
    const std::size_t need = c == '\'' ? 2 : 1;
    if (out.size() + need > kMaxQuotedValue) break;
    out += c;
    if (c == '\'') out += '\'';
  }
  return out;
}

std::string StringCard(std::string_view key, std::string_view value, std::string_view comment) {
  std::string card = TFitsStrings::Name8(key) + "= '" + QuotedValue(value) + "'";
  if (comment.empty())
    card += ' ';
  else
    card += " / " + TFitsStrings::PrintableAscii(comment);
  return card;
}

std::string IntCard(std::string_view key, int64_t value) {
  return TFitsStrings::Name8(key) + "= " + IntText20(value);
}

// Card text as read from a file: trailing blanks (and NUL padding) removed, every other
// byte outside printable ASCII shown as "?".
std::string CardFromRaw(const char* raw) {
  std::size_t n = TFitsStrings::kCardLength;
  while (n > 0 && static_cast<unsigned char>(raw[n - 1]) <= 32) --n;
  std::string s(raw, n);
  for (char& c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 32 || u > 126) c = '?';
  }
  return s;
}

// General number text of up to 15 significant digits with a plain exponent ("1.5E-7").
std::string GeneralText(double v) {
  std::string s = FormatG(v, 15);
  const std::size_t e = s.find('e');
  if (e == std::string::npos) return s;
  std::string mant = s.substr(0, e);
  std::string_view ex = std::string_view(s).substr(e + 1);
  bool neg = false;
  if (!ex.empty() && (ex.front() == '+' || ex.front() == '-')) {
    neg = ex.front() == '-';
    ex.remove_prefix(1);
  }
  while (ex.size() > 1 && ex.front() == '0') ex.remove_prefix(1);
  return mant + "E" + (neg ? "-" : "") + std::string(ex);
}

// Up to `want` numbers of a coordinate text: runs of digits, signs and decimal points ("," is
// a decimal point too); a run that is no number is skipped.
std::vector<double> ScanNumbers(std::string_view text, std::size_t want) {
  std::vector<double> out;
  std::string tok;
  auto flush = [&] {
    double v = 0;
    if (!tok.empty() && ParseDouble(tok, v)) out.push_back(v);
    tok.clear();
  };
  for (char c : text) {
    if (out.size() >= want) break;
    if (IsDigit(c) || c == '+' || c == '-' || c == '.' || c == ',')
      tok += c == ',' ? '.' : c;
    else
      flush();
  }
  if (out.size() < want) flush();
  if (out.size() > want) out.resize(want);
  return out;
}

bool StructuralKey(std::string_view kw) {
  static constexpr std::string_view keys[] = {"SIMPLE", "NAXIS", "NAXIS1", "NAXIS2",
                                              "NAXIS3", "BZERO", "BSCALE", "BITPIX"};
  return std::find(std::begin(keys), std::end(keys), kw) != std::end(keys);
}

// ---------------------------------------------------------------- unit walking

// The cards of one header unit that tell its data size.
struct SizeKeys {
  bool HasBitpix = false, HasNaxis = false, HasPcount = false, HasGcount = false;
  double Bitpix = 0, Naxis = 0, Pcount = 0, Gcount = 1;
  bool Groups = false;
  std::vector<std::pair<int, double>> Axes;  // NAXISn, first occurrence of each n
};

struct UnitHeader {
  int64_t Blocks = 0;
  bool ImageExtension = false;  // XTENSION = 'IMAGE...'
  bool ZImage = false;          // a binary table holding a tile-compressed image
  SizeKeys Keys;
};

enum class UnitRead { Ok, Eof, Truncated, TooLong, IoError };

// Reads exactly one block at a 64-bit offset; returns the byte count (short at the end of the
// file) or -1 on an error.
int64_t ReadBlock(int fd, int64_t offset, char* buf) {
  int64_t got = 0;
  while (got < TFitsStrings::kBlockSize) {
    const ssize_t r = ::pread(fd, buf + got, static_cast<std::size_t>(TFitsStrings::kBlockSize - got),
                              static_cast<off_t>(offset + got));
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) break;
    got += r;
  }
  return got;
}

bool LogicalTrue(std::string_view valueText) {
  std::string_view v = Trim32(valueText);
  return !v.empty() && (v.front() == 'T' || v.front() == 't');
}

void NoteSizeKey(const char* raw, SizeKeys& k) {
  std::string_view card(raw, TFitsStrings::kCardLength);
  if (card[8] != '=') return;
  std::string_view key = Trim32(card.substr(0, 8));
  std::string_view value = card.substr(9);
  double v = 0;
  auto num = [&](bool& has, double& dst) {
    if (has) return;
    has = true;
    dst = ParseLeadingReal(value, v) ? v : std::numeric_limits<double>::quiet_NaN();
  };
  if (EqualsNoCase(key, "BITPIX")) {
    num(k.HasBitpix, k.Bitpix);
  } else if (EqualsNoCase(key, "NAXIS")) {
    num(k.HasNaxis, k.Naxis);
  } else if (EqualsNoCase(key, "PCOUNT")) {
    num(k.HasPcount, k.Pcount);
  } else if (EqualsNoCase(key, "GCOUNT")) {
    num(k.HasGcount, k.Gcount);
  } else if (EqualsNoCase(key, "GROUPS")) {
    k.Groups = LogicalTrue(value);
  } else if (StartsWithNoCase(key, "NAXIS") && key.size() > 5 && key.size() <= 8) {
    int n = 0;
    for (char c : key.substr(5)) {
      if (!IsDigit(c)) return;
      n = n * 10 + (c - '0');
    }
    for (const auto& a : k.Axes)
      if (a.first == n) return;
    k.Axes.emplace_back(n, ParseLeadingReal(value, v) ? v : std::numeric_limits<double>::quiet_NaN());
  }
}

// A non-negative integral count that a header gives, or -1 when it is anything else.
int64_t CountValue(double v) {
  if (!std::isfinite(v) || v < 0 || v != std::floor(v) || v > 4.0e18) return -1;
  return static_cast<int64_t>(v);
}

// Bytes of the data unit, without padding; -1 when the header does not describe a size.
int64_t DataBytes(const SizeKeys& k, bool primary) {
  if (!k.HasBitpix || !k.HasNaxis) return -1;
  const int64_t bitpix = CountValue(std::fabs(k.Bitpix));
  if (bitpix != 8 && bitpix != 16 && bitpix != 32 && bitpix != 64) return -1;
  const int64_t naxis = CountValue(k.Naxis);
  if (naxis < 0 || naxis > 999) return -1;
  if (naxis == 0) return 0;
  auto axis = [&](int n) -> int64_t {
    for (const auto& a : k.Axes)
      if (a.first == n) return CountValue(a.second);
    return -1;
  };
  int64_t n1 = axis(1);
  if (n1 < 0) return -1;
  // Random groups: NAXIS1 = 0 and the data are GCOUNT groups of PCOUNT + NAXIS2...NAXISn.
  const bool groups = primary && n1 == 0 && k.Groups;
  int64_t product = groups ? 1 : n1;
  for (int n = 2; n <= naxis; ++n) {
    const int64_t a = axis(n);
    if (a < 0 || __builtin_mul_overflow(product, a, &product)) return -1;
  }
  int64_t pcount = 0, gcount = 1;
  if (!primary || groups) {
    pcount = k.HasPcount ? CountValue(k.Pcount) : 0;
    gcount = k.HasGcount ? CountValue(k.Gcount) : 1;
    if (pcount < 0 || gcount < 0) return -1;
  }
  int64_t total = 0;
  if (__builtin_add_overflow(product, pcount, &total) ||
      __builtin_mul_overflow(total, gcount, &total) ||
      __builtin_mul_overflow(total, bitpix / 8, &total))
    return -1;
  return total;
}

// Reads one header unit at offset (a multiple of 2880) up to its END card. Cards are appended
// to store when given, runs of blank cards shrunk to one. maxBlocks 0 means no limit.
UnitRead ReadUnitHeader(int fd, int64_t offset, int64_t maxBlocks, std::vector<std::string>* store,
                        UnitHeader& out) {
  out = UnitHeader();
  char block[TFitsStrings::kBlockSize];
  bool previousBlank = false;
  for (;;) {
    const int64_t got = ReadBlock(fd, offset + out.Blocks * TFitsStrings::kBlockSize, block);
    if (got < 0) return UnitRead::IoError;
    if (got < TFitsStrings::kBlockSize)
      return out.Blocks == 0 && got == 0 ? UnitRead::Eof : UnitRead::Truncated;
    ++out.Blocks;
    if (maxBlocks > 0 && out.Blocks > maxBlocks) return UnitRead::TooLong;
    if (out.Blocks == 1)
      out.ImageExtension = std::memcmp(block, "XTEN", 4) == 0 && block[8] == '=' &&
                           std::memcmp(block + 11, "IMA", 3) == 0;
    for (int c = 0; c < TFitsStrings::kCardsPerBlock; ++c) {
      const char* raw = block + c * TFitsStrings::kCardLength;
      NoteSizeKey(raw, out.Keys);
      if (raw[8] == '=' && EqualsNoCase(std::string_view(raw, 8), "ZIMAGE  ") &&
          LogicalTrue(std::string_view(raw + 9, TFitsStrings::kCardLength - 9)))
        out.ZImage = true;
      // The END card is recognised by its keyword as it stands in the file.
      const bool isEnd = std::memcmp(raw, "END     ", 8) == 0;
      if (store) {
        std::string card = CardFromRaw(raw);
        const bool blank = card.empty();
        if (!(blank && previousBlank)) store->push_back(std::move(card));
        previousBlank = blank;
      }
      if (isEnd) return UnitRead::Ok;
    }
  }
}

int64_t RoundUpToBlocks(int64_t bytes) {
  const int64_t b = TFitsStrings::kBlockSize;
  return (bytes + b - 1) / b * b;
}

class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() {
    if (fd_ >= 0) ::close(fd_);
  }
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;

 private:
  int fd_;
};

// Days since 1970-01-01 to a proleptic Gregorian date (H. Hinnant's algorithm).
void CivilFromDays(int64_t z, int64_t& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = yoe + era * 400;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  if (m <= 2) ++y;
}

}  // namespace

// ================================================================ plain list

void TFitsStrings::Insert(int i, std::string card) {
  i = Clamp(i, 0, Count());
  Cards_.insert(Cards_.begin() + i, std::move(card));
}

void TFitsStrings::Delete(int i) {
  if (i >= 0 && i < Count()) Cards_.erase(Cards_.begin() + i);
}

int TFitsStrings::IndexOf(std::string_view text) const {
  for (int i = 0; i < Count(); ++i)
    if (Cards_[static_cast<std::size_t>(i)] == text) return i;
  return -1;
}

std::string TFitsStrings::Text() const {
  std::string s;
  for (std::size_t i = 0; i < Cards_.size(); ++i) {
    if (i) s += '\n';
    s += Cards_[i];
  }
  return s;
}

// ================================================================ card helpers

int TFitsStrings::IndexOfKey(std::string_view key) const {
  const std::string key8 = Name8(key);
  for (int i = 0; i < Count(); ++i) {
    const std::string& c = Cards_[static_cast<std::size_t>(i)];
    if (c.size() > 8 && c[8] == '=' && c.find('=') == 8 && EqualsNoCase(std::string_view(c).substr(0, 8), key8))
      return i;
  }
  return -1;
}

std::string TFitsStrings::Name8(std::string_view key) {
  return PadRight(UpperAscii(key.substr(0, 8)), 8);  // keywords are upper case in FITS
}

std::string TFitsStrings::KeywordOf(std::string_view card) {
  return UpperAscii(Trim32(card.substr(0, 8)));
}

bool TFitsStrings::IsEndCard(std::string_view card) {
  return card == "END" || StartsWith(card, "END ") || StartsWith(card, " END ");
}

bool TFitsStrings::IsBlankCard(std::string_view card) { return Trim32(card).empty(); }

std::string TFitsStrings::PrintableAscii(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto u = static_cast<unsigned char>(text[i]);
    if (u >= 32 && u <= 126) {
      out += static_cast<char>(u);
      ++i;
      continue;
    }
    // One "?" per character: a well-formed UTF-8 sequence is one character.
    std::size_t len = 0;
    if (u >= 0xC2 && u <= 0xDF)
      len = 2;
    else if (u >= 0xE0 && u <= 0xEF)
      len = 3;
    else if (u >= 0xF0 && u <= 0xF4)
      len = 4;
    bool seq = len > 0 && i + len <= text.size();
    for (std::size_t k = 1; seq && k < len; ++k)
      seq = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    out += '?';
    i += seq ? len : 1;
  }
  return out;
}

std::string TFitsStrings::FormatRealValue(double x) {
  if (!std::isfinite(x)) return {};
  if (x == 0) return PadLeft("0.0", 20);
  const double a = std::fabs(x);
  std::string s;
  if (a < 1e-4 || a >= 1e9) {
    s = FormatExp(x, 12);  // mantissa with 13 significant digits, exponent "E+dd"
    const std::size_t e = s.find('E');
    if (e != std::string::npos && e + 1 < s.size()) {
      std::string digits = s.substr(e + 2);
      if (digits.size() < 3) digits.insert(0, 3 - digits.size(), '0');
      s = s.substr(0, e + 2) + digits;
    }
  } else {
    s = FormatG(x, a >= 1e6 ? 15 : 13);
    if (s.find('.') == std::string::npos && s.find('e') == std::string::npos &&
        s.find('E') == std::string::npos)
      s += ".0";
  }
  return PadLeft(s, 20);
}

std::string TFitsStrings::FormatSexagesimal(double x) {
  const char sign = x >= 0 ? '+' : '-';
  const double a = std::fabs(x) + 1.0 / 7200000.0;
  const double d = std::trunc(a);
  const double f = a - d;
  const int32_t m = Trunc(f * 60);
  const int32_t s = Trunc(f * 3600 - 60.0 * m);
  const int32_t ms = Trunc(f * 3600000 - 60000.0 * m - 1000.0 * s);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%c%.2d %.2d %.2d.%.3d", sign, Trunc(d), m, s, ms);
  return buf;
}

// ================================================================ basic list handling

void TFitsStrings::AddBeforeEnd(std::string card) {
  if (Cards_.empty()) return;
  for (std::size_t i = Cards_.size(); i-- > 0;)
    if (IsEndCard(Cards_[i])) {
      Cards_.erase(Cards_.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  while (!Cards_.empty() && IsBlankCard(Cards_.back())) Cards_.pop_back();
  Cards_.push_back(std::move(card));
  Cards_.emplace_back("END");
}

void TFitsStrings::FinishEnd() {
  if (Cards_.empty()) return;
  std::erase_if(Cards_, [](const std::string& c) { return IsEndCard(c); });
  while (!Cards_.empty() && IsBlankCard(Cards_.back())) Cards_.pop_back();
  Cards_.emplace_back("END ");
}

void TFitsStrings::RemoveEmptyCards() {
  std::erase_if(Cards_, [](const std::string& c) { return c.empty(); });
}

void TFitsStrings::InitMinimal() {
  Cards_ = {kSimpleCard, "BITPIX  =                   32", "NAXIS   =                    2",
            "NAXIS1  =                    0", "NAXIS2  =                    0", "END"};
}

void TFitsStrings::SetCard(std::string card) {
  const int i = IndexOfKey(std::string_view(card).substr(0, 8));
  if (i >= 0)
    Cards_[static_cast<std::size_t>(i)] = std::move(card);
  else
    AddBeforeEnd(std::move(card));
}

void TFitsStrings::InsertString(int index, std::string_view key, std::string_view value) {
  Insert(index, StringCard(key, value, {}));
}

void TFitsStrings::InsertInt(int index, std::string_view key, std::string_view comment, int64_t value) {
  std::string card = IntCard(key, value);
  if (!comment.empty()) card += " / " + PrintableAscii(comment);
  Insert(index, std::move(card));
}

// ================================================================ getters

double TFitsStrings::GetReal(std::string_view key, bool& found) const {
  const int i = IndexOfKey(key);
  found = i >= 0;
  if (!found) return 0;
  double v = 0;
  return ParseLeadingReal(std::string_view(Cards_[static_cast<std::size_t>(i)]).substr(9), v) ? v : 0;
}

double TFitsStrings::GetReal(std::string_view key) const {
  bool found = false;
  return GetReal(key, found);
}

int32_t TFitsStrings::GetInt(std::string_view key) const { return Round(GetReal(key)); }

std::string TFitsStrings::GetString(std::string_view key, bool& found) const {
  const int i = IndexOfKey(key);
  found = i >= 0;
  if (!found) return {};
  const std::string& c = Cards_[static_cast<std::size_t>(i)];
  const std::size_t q = OpeningQuote(c);
  if (q == std::string_view::npos) return {};
  return UnquoteFrom(c, q);
}

std::string TFitsStrings::GetString(std::string_view key) const {
  bool found = false;
  return GetString(key, found);
}

std::string TFitsStrings::GetRawValue(std::string_view key, bool& found) const {
  const int i = IndexOfKey(key);
  found = i >= 0;
  if (!found) return {};
  std::string v = Cards_[static_cast<std::size_t>(i)].substr(std::min<std::size_t>(10, Cards_[static_cast<std::size_t>(i)].size()), 70);
  // An unquoted value ends where a " /" comment begins.
  const std::size_t slash = v.find(" /");
  if (slash != std::string::npos) v.resize(slash);
  for (char& c : v)
    if (c == '\'') c = ' ';
  return std::string(Trim32(v));
}

bool TFitsStrings::IsStringKey(std::string_view key) const {
  const int i = IndexOfKey(key);
  return i >= 0 && OpeningQuote(Cards_[static_cast<std::size_t>(i)]) != std::string_view::npos;
}

std::string TFitsStrings::GetValueText(std::string_view key) const {
  const int i = IndexOfKey(key);
  if (i < 0) return "?";
  if (IsStringKey(key)) return std::string(Trim32(GetString(key)));
  return GeneralText(GetReal(key));
}

// ================================================================ setters and deleters

namespace {
// Overwrites (replace) or keeps the key's first card, or adds the card before END.
void PutCard(TFitsStrings& h, std::string_view key, std::string card, bool replace) {
  const int i = h.IndexOfKey(key);
  if (i >= 0) {
    if (replace) h[i] = std::move(card);
  } else {
    h.AddBeforeEnd(std::move(card));
  }
}
}  // namespace

void TFitsStrings::SetString(std::string_view key, std::string_view value, bool replace) {
  PutCard(*this, key, StringCard(key, value, {}), replace);
}

void TFitsStrings::SetStringIfNotEmpty(std::string_view key, std::string_view value) {
  const std::string_view v = Trim32(value);
  if (!v.empty()) SetString(key, v, true);
}

void TFitsStrings::SetStringComment(std::string_view key, std::string_view value, bool replace,
                                    std::string_view comment) {
  PutCard(*this, key, StringCard(key, value, comment), replace);
}

void TFitsStrings::SetReal(std::string_view key, bool replace, double value) {
  if (!std::isfinite(value)) return;  // a card never holds NaN or Inf
  PutCard(*this, key, Name8(key) + "= " + FormatRealValue(value), replace);
}

void TFitsStrings::SetInt(std::string_view key, int64_t value, bool replace) {
  PutCard(*this, key, IntCard(key, value), replace);
}

void TFitsStrings::DeleteKey(std::string_view key) { Delete(IndexOfKey(key)); }

bool TFitsStrings::RenameKey(std::string_view oldKey, std::string_view newKey) {
  const int i = IndexOfKey(oldKey);
  if (i < 0) return false;
  std::string& c = Cards_[static_cast<std::size_t>(i)];
  c = Name8(newKey) + c.substr(8);
  return true;
}

void TFitsStrings::AddComment(std::string_view text) {
  AddBeforeEnd("COMMENT " + PrintableAscii(text).substr(0, 72));
}

void TFitsStrings::AddHistory(std::string_view text) {
  AddBeforeEnd("HISTORY " + PrintableAscii(text).substr(0, 72));
}

void TFitsStrings::SetCardFromText(std::string_view text) {
  const std::size_t eq = text.find('=');
  if (eq != std::string_view::npos) {
    const std::string key = PrintableAscii(UpperAscii(Trim32(text.substr(0, eq))));
    if (key.empty()) return;
    const std::string_view value = Trim32(text.substr(eq + 1)).substr(0, 99);
    if (value.find_first_of("'\"") != std::string_view::npos) {
      SetString(key, value.size() >= 2 ? value.substr(1, value.size() - 2) : std::string_view(), true);
    } else {
      double v = 0;
      if (ParseDouble(value, v)) SetReal(key, true, v);
    }
    return;
  }
  const std::string_view rest = text.size() > 8 ? text.substr(8) : std::string_view();
  if (StartsWithNoCase(text, "COMMENT"))
    AddComment(rest);
  else if (StartsWithNoCase(text, "HISTORY"))
    AddHistory(rest);
}

void TFitsStrings::ImportText(std::string_view text) {
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && static_cast<unsigned char>(text[i]) >= 14) continue;
    const std::string line = PrintableAscii(Trim32(text.substr(start, i - start))).substr(0, 80);
    start = i + 1;
    if (line.empty() || IsEndCard(line)) continue;  // the header keeps its own END
    if (StartsWith(line, "COMMENT"))
      AddBeforeEnd(line);
    else
      SetCard(line);
  }
}

// ================================================================ geometry and scaling

void TFitsStrings::SetGeometry(int32_t width, int32_t height, bool colour, int32_t bitpix) {
  if (Count() < 6) InitMinimal();
  static constexpr std::string_view order[] = {"SIMPLE", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2"};
  bool ordered = true;
  for (int i = 0; i < 5; ++i) ordered = ordered && KeywordOf(Cards_[static_cast<std::size_t>(i)]) == order[i];
  if (!ordered) {
    // The five cards are written in place below: move them to the front first so that no
    // unrelated card is overwritten.
    for (std::string_view k : order) DeleteKey(k);
    for (int i = 0; i < 5; ++i) Insert(i, i == 0 ? std::string(kSimpleCard) : Name8(order[i]) + "=");
  }
  DeleteKey("NAXIS3");
  if (colour) Insert(5, IntCard("NAXIS3", 3));
  Cards_[4] = IntCard("NAXIS2", height);
  Cards_[3] = IntCard("NAXIS1", width);
  Cards_[2] = IntCard("NAXIS", colour ? 3 : 2);
  Cards_[1] = IntCard("BITPIX", bitpix);
  DeleteKey("BZERO");
  DeleteKey("BSCALE");
  DeleteKey("ORIG_CMP");
}

void TFitsStrings::SetScaling(double bzero) {
  if (!std::isfinite(bzero)) return;
  DeleteKey("BZERO");
  DeleteKey("BSCALE");
  const int at = HasKey("NAXIS3") ? 6 : 5;
  Insert(at, "BZERO   = " + FormatRealValue(bzero));
  Insert(at + 1, "BSCALE  = " + FormatRealValue(1));
}

TFitsGeometry TFitsStrings::GetGeometry() const {
  TFitsGeometry g;
  const double bitpix = GetReal("BITPIX");
  double code = bitpix;
  if (bitpix == -32)
    code = 33;
  else if (bitpix == -64)
    code = 65;
  else if (bitpix < 0)
    code = 99;
  const double naxis = GetReal("NAXIS");
  double axes = naxis;
  if (naxis > 2) {
    bool found = false;
    double n3 = GetReal("NAXIS3", found);
    if (!found) n3 = 1;
    axes = n3 > 2 ? 3 : 2;
  }
  auto clampAxis = [](double v) { return Trunc(Clamp(v, 0.0, 99999.0)); };
  g.Width = clampAxis(GetReal("NAXIS1"));
  g.Height = clampAxis(GetReal("NAXIS2"));
  g.Axes = clampAxis(axes);
  g.SampleCode = clampAxis(code);
  bool found = false;
  const double bz = GetReal("BZERO", found);
  g.BZero = found ? bz : 0;
  const double bs = GetReal("BSCALE", found);
  g.BScale = found ? bs : 1;
  return g;
}

int64_t TFitsStrings::DataSize(bool excludePlanes) const {
  bool found = false;
  GetReal("NAXIS", found);
  if (!found) return -1;
  const double n1 = GetReal("NAXIS1");
  const double bits = std::fabs(GetReal("BITPIX"));
  if (n1 <= 0 || bits < 8) return 0;
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  int64_t size = Trunc64(n1);
  auto mul = [&](int64_t f) {
    if (__builtin_mul_overflow(size, f, &size)) size = kMax;
  };
  mul(Trunc64(bits) / 8);
  const double n2 = GetReal("NAXIS2");
  if (n2 > 0) mul(Trunc64(n2));
  const double n3 = GetReal("NAXIS3");
  if (n3 > 0 && !excludePlanes) mul(Trunc64(n3));
  if (HasKey("ZIMAGE") && HasKey("PCOUNT")) {
    const int64_t p = Trunc64(GetReal("PCOUNT"));
    if (__builtin_add_overflow(size, p, &size)) size = p > 0 ? kMax : 0;
  }
  return size;
}

int32_t TFitsStrings::ImageCount() const {
  bool found = false;
  const double v = GetReal("QVIM_CNT", found);
  if (!found) return 1;
  return Round(Clamp(v, -2e9, 2e9));
}

bool TFitsStrings::IsTopDown() const {
  return HasKey("ROWORDER") && EqualsNoCase(GetString("ROWORDER"), "TOP-DOWN");
}

// ================================================================ observation helpers

void TFitsStrings::GetDateTimeObs(std::string& date, std::string& time) const {
  bool found = false;
  date = GetString("DATE-OBS", found);
  if (found && date.empty()) date = GetRawValue("DATE-OBS", found);
  time = HasKey("TIME-OBS") ? GetString("TIME-OBS") : GetString("UT");
}

std::string TFitsStrings::GetDateTimeText() const {
  std::string date, time;
  GetDateTimeObs(date, time);
  std::string s = date;
  if (date.find(time) == std::string::npos) s += " " + time;
  const std::size_t t = s.find('T');
  if (t != std::string::npos) s[t] = ' ';
  return std::string(Trim32(s));
}

double TFitsStrings::GetExposure(bool& found) const {
  const double v = GetReal("EXPTIME", found);
  if (found) return v;
  return GetReal("EXPOSURE", found);
}

std::string TFitsStrings::ExposureText(int pad) const {
  bool found = false;
  const double v = GetExposure(found);
  if (!found) return {};
  return PadLeft(FormatG(v, 6), 4) + "s" + std::string(static_cast<std::size_t>(std::max(pad, 0)), ' ');
}

double TFitsStrings::GetTemperature(bool& found) const {
  const double v = GetReal("TEMPERAT", found);
  if (found) return v;
  return GetReal("CCD-TEMP", found);
}

std::string TFitsStrings::TemperatureText(int pad) const {
  bool found = false;
  const double v = GetTemperature(found);
  if (!found) return {};
  return PadLeft(FormatFixed(v, 1), 3) + "\u00B0" + std::string(static_cast<std::size_t>(std::max(pad, 0)), ' ');
}

bool TFitsStrings::GetRaDecText(std::string& ra, std::string& dec) const {
  ra.clear();
  dec.clear();
  if (IsStringKey("RA")) {
    ra = GetString("RA");
    dec = GetString("DEC");
  }
  if (ra.empty() || dec.empty()) {
    ra = GetString("OBJCTRA");
    dec = GetString("OBJCTDEC");
  }
  if (ra.empty() || dec.empty()) {
    const std::string pos = GetString("SCOPEPOS");
    if (!pos.empty()) {
      ra = pos.substr(0, 8);
      dec = pos.size() > 10 ? pos.substr(10, 9) : std::string();
    }
  }
  return !ra.empty() && !dec.empty();
}

bool TFitsStrings::GetRaDec(double& raDeg, double& decDeg) const {
  raDeg = -1;
  decDeg = -1;
  std::string ra, dec;
  if (GetRaDecText(ra, dec)) {
    const std::vector<double> r = ScanNumbers(ra, 3);
    const std::vector<double> d = ScanNumbers(dec, 3);
    if (r.size() < 3 || d.size() < 3) return false;
    double decValue = std::fabs(d[0]) + d[1] / 60 + d[2] / 3600;
    // The sign belongs to the text, not to the degrees: "-00 30 00" is south.
    const std::string_view dt = Trim32(dec);
    if (!dt.empty() && dt.front() == '-') decValue = -decValue;
    raDeg = (r[0] + r[1] / 60 + r[2] / 3600) * 15;
    decDeg = decValue;
    return true;
  }
  if (HasKey("RA")) {
    bool fr = false, fd = false;
    const double r = GetReal("RA", fr);
    const double d = GetReal("DEC", fd);
    if (fr && fd && !(r == 0 && d == 0)) {
      raDeg = r;
      decDeg = d;
      return true;
    }
  }
  return false;
}

void TFitsStrings::SetDateTime(std::string_view key, std::string_view comment, double dateTime) {
  if (!std::isfinite(dateTime) || std::fabs(dateTime) > 1e7) return;
  const int64_t msTotal = Round64(dateTime * 86400000.0);
  constexpr int64_t kMsPerDay = 86400000;
  int64_t days = msTotal / kMsPerDay;
  int64_t ms = msTotal % kMsPerDay;
  if (ms < 0) {
    ms += kMsPerDay;
    --days;
  }
  int64_t y = 0;
  int m = 0, d = 0;
  CivilFromDays(days - 25569, y, m, d);  // 1899-12-30 is 25569 days before 1970-01-01
  if (y < 0 || y > 9999) return;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", static_cast<int>(y), m, d,
                static_cast<int>(ms / 3600000), static_cast<int>(ms / 60000 % 60),
                static_cast<int>(ms / 1000 % 60), static_cast<int>(ms % 1000));
  SetStringComment(key, buf, true, comment);
}

void TFitsStrings::SetDateObsJD(std::string_view comment, double jd) {
  SetDateTime("DATE-OBS", comment, jd - 2415018.5);
}

void TFitsStrings::SetSite(double lat, double lon, bool replace) {
  if (!std::isfinite(lat) || !std::isfinite(lon)) return;
  SetString("SITELONG", FormatSexagesimal(lon), replace);
  SetString("SITELAT", FormatSexagesimal(lat), replace);
}

void TFitsStrings::ScalePixelSize(double factor) {
  if (factor == 1 || !HasKey("XPIXSZ") || !HasKey("YPIXSZ")) return;
  SetReal("XPIXSZ", true, GetReal("XPIXSZ") * factor);
  SetReal("YPIXSZ", true, GetReal("YPIXSZ") * factor);
}

std::string TFitsStrings::ExpandPlaceholders(std::string_view text) const {
  if (text.size() < 3 || text.find('%') == std::string_view::npos) return std::string(text);
  auto keyChar = [](char c) { return c == '-' || c == '_' || IsDigit(c) || (c >= 'A' && c <= 'Z'); };
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '%' && i + 1 < text.size() && text[i + 1] >= 'A' && text[i + 1] <= 'Z') {
      std::size_t j = i + 1;
      while (j < text.size() && keyChar(text[j])) ++j;
      out += GetValueText(text.substr(i + 1, j - i - 1));
      i = j;
      continue;
    }
    out += text[i++];
  }
  return out;
}

// ================================================================ keyword families

void TFitsStrings::SetVisuKeys(double type, double max, double min) {
  SetReal("ORLUUMIN", true, min);
  SetReal("ORLUUMAX", true, max);
  SetReal("ORLUUTYP", true, type);
}

void TFitsStrings::DeleteVisuKeys() {
  for (std::string_view k : {"ORLUUMIN", "ORLUUMAX", "ORLUUTYP", "ORLUUCRV"}) DeleteKey(k);
}

bool TFitsStrings::GetVisuKeys(double& min, double& max, int32_t& type, std::string& curve) const {
  bool fmin = false, fmax = false;
  min = GetReal("ORLUUMIN", fmin);
  max = GetReal("ORLUUMAX", fmax);
  type = Trunc(GetReal("ORLUUTYP"));
  curve = GetString("ORLUUCRV");
  return fmin && fmax;
}

void TFitsStrings::DeleteWcsKeys() {
  static constexpr std::string_view keys[] = {
      "CDELT1",   "CRVAL1",   "CRPIX1",   "CROTA1",   "CTYPE1",   "CDELT2",   "CRVAL2",   "CRPIX2",
      "CROTA2",   "CTYPE2",   "CD1_1",    "CD1_2",    "CD2_1",    "CD2_2",    "CD001001", "CD001002",
      "CD002001", "CD002002", "PC001001", "PC001002", "PC002001", "PC002002", "APOLY0",   "APOLY1",
      "APOLY2",   "APOLY3",   "APOLY4",   "APOLY5",   "APOLY6",   "APOLY7"};
  for (std::string_view k : keys) DeleteKey(k);
  std::erase_if(Cards_, [](const std::string& c) {
    if (c.size() < 9 || c[8] != '=') return false;
    std::string kw = UpperAscii(std::string_view(c).substr(0, 8));
    if (StartsWith(kw, "AP_") || StartsWith(kw, "BP_")) kw.erase(1, 1);
    return (kw[0] == 'A' || kw[0] == 'B') && kw[1] == '_' && IsDigit(kw[2]) && kw[3] == '_' &&
           IsDigit(kw[4]) && kw[5] == ' ';
  });
  for (std::string_view k : {"A_ORDER", "B_ORDER", "AP_ORDER", "BP_ORDER"}) DeleteKey(k);
}

void TFitsStrings::DeletePolyKeys() {
  DeleteKey("PPOLY0");
  DeleteKey("PPOLY1");
}

bool TFitsStrings::HasSipDistortion() const {
  bool hasOrder = false;
  const double order = GetReal("A_ORDER", hasOrder);
  if (hasOrder && order > 4.9) return false;
  int votes = 0;
  if (GetString("CTYPE1") == "RA---TAN-SIP") ++votes;
  if (hasOrder) ++votes;
  if (HasKey("A_2_0")) ++votes;
  return votes >= 2;
}

// ================================================================ file blocks

std::string TFitsStrings::HeaderBlocks() {
  FinishEnd();
  std::string out;
  const std::size_t blocks = (Cards_.size() + kCardsPerBlock - 1) / kCardsPerBlock;
  out.reserve(blocks * kBlockSize);
  for (const std::string& c : Cards_) {
    std::string card = PrintableAscii(c);
    card.resize(kCardLength, ' ');
    out += card;
  }
  out.resize(blocks * kBlockSize, ' ');
  return out;
}

bool TFitsStrings::WriteToFile(std::FILE* file) {
  const std::string blocks = HeaderBlocks();
  if (!file) return false;
  return std::fwrite(blocks.data(), 1, blocks.size(), file) == blocks.size();
}

namespace {

// After a read that found no usable header: what is left is shown but describes no image.
TFitsHeaderStatus Unusable(std::vector<std::string>& cards, int64_t& blockCount, TFitsHeaderStatus why) {
  if (cards.size() > static_cast<std::size_t>(TFitsStrings::kCardsPerBlock))
    cards.resize(TFitsStrings::kCardsPerBlock);
  blockCount = 1;
  return why;
}

}  // namespace

TFitsHeaderStatus TFitsStrings::ReadFromFile(int fd, int hduIndex, bool& compressed, int64_t& blockCount) {
  Clear();
  compressed = false;
  blockCount = 0;

  UnitHeader primary;
  switch (ReadUnitHeader(fd, 0, kMaxHeaderBlocks, &Cards_, primary)) {
    case UnitRead::Ok: break;
    case UnitRead::IoError: Clear(); return TFitsHeaderStatus::ReadError;
    case UnitRead::TooLong: return Unusable(Cards_, blockCount, TFitsHeaderStatus::TooLong);
    case UnitRead::Eof:
    case UnitRead::Truncated: return Unusable(Cards_, blockCount, TFitsHeaderStatus::Truncated);
  }
  blockCount = primary.Blocks;

  // Only a primary without data leads on to the extensions.
  bool hasN1 = false;
  const double naxis = GetReal("NAXIS");
  const double naxis1 = GetReal("NAXIS1", hasN1);
  const bool seekExtension = HasKey("NAXIS") && (naxis == 0 || (hasN1 && naxis1 == 0));
  if (!seekExtension) {
    while (HasKey("QVIM_CNT")) DeleteKey("QVIM_CNT");
    return TFitsHeaderStatus::Ok;
  }

  // Walk the units by their sizes: the data blocks of skipped units are never read.
  const int target = std::max(hduIndex, 1);
  // A primary that announces no data but whose size cards are malformed is taken as empty.
  const int64_t primaryData = std::max<int64_t>(DataBytes(primary.Keys, true), 0);
  int64_t next = primary.Blocks * kBlockSize + RoundUpToBlocks(primaryData);
  int imageUnits = 0;
  bool chosen = false;
  bool brokenUnit = false;
  while (!brokenUnit) {
    UnitHeader unit;
    const UnitRead r = ReadUnitHeader(fd, next, 0, nullptr, unit);
    if (r == UnitRead::IoError) {
      Clear();
      return TFitsHeaderStatus::ReadError;
    }
    if (r == UnitRead::Eof) break;
    if (r != UnitRead::Ok) {
      brokenUnit = true;
      break;
    }
    const bool isImage = unit.ImageExtension || unit.ZImage;
    if (isImage) ++imageUnits;
    if (!chosen && isImage && imageUnits == target) {
      UnitHeader again;
      const UnitRead r2 = ReadUnitHeader(fd, next, kMaxHeaderBlocks, &Cards_, again);
      if (r2 == UnitRead::IoError) {
        Clear();
        return TFitsHeaderStatus::ReadError;
      }
      if (r2 == UnitRead::TooLong) return Unusable(Cards_, blockCount, TFitsHeaderStatus::TooLong);
      if (r2 != UnitRead::Ok) return Unusable(Cards_, blockCount, TFitsHeaderStatus::Truncated);
      chosen = true;
      compressed = unit.ZImage && !unit.ImageExtension;
      blockCount = next / kBlockSize + again.Blocks;
      if (hduIndex > 1) break;  // the image count is only wanted for the first image
    }
    const int64_t data = DataBytes(unit.Keys, false);
    int64_t step = 0;
    if (data < 0 || __builtin_mul_overflow(unit.Blocks, static_cast<int64_t>(kBlockSize), &step) ||
        __builtin_add_overflow(step, RoundUpToBlocks(data), &step) ||
        __builtin_add_overflow(next, step, &next)) {
      brokenUnit = true;
      break;
    }
  }
  if (!chosen) {
    compressed = false;
    return Unusable(Cards_, blockCount,
                    brokenUnit ? TFitsHeaderStatus::Truncated : TFitsHeaderStatus::NoImageExtension);
  }

  while (HasKey("QVIM_CNT")) DeleteKey("QVIM_CNT");

  // Merge the extension into image form: its cards first, the primary's after them.
  bool hasNaxis = false;
  const double firstNaxis = GetReal("NAXIS", hasNaxis);
  bool merge = true;
  if (hasNaxis && firstNaxis != 0) {
    bool f1 = false;
    const double n1 = GetReal("NAXIS1", f1);
    if (!f1 || Round(Clamp(n1, -2e9, 2e9)) > 0) merge = false;
  }
  int xi = IndexOfKey("XTENSION");
  if (merge && xi >= 0) {
    // The primary describes no data: its structural cards would only shadow the extension's.
    std::vector<std::string> primaryCards(Cards_.begin(), Cards_.begin() + xi);
    std::vector<std::string> ext(Cards_.begin() + xi, Cards_.end());
    for (int i = 0; i < std::min<int>(5, static_cast<int>(primaryCards.size())); ++i)
      if (StartsWith(primaryCards[static_cast<std::size_t>(i)], "BITPIX  ")) {
        primaryCards.erase(primaryCards.begin() + i);
        break;
      }
    std::erase_if(primaryCards, [](const std::string& c) {
      if (c.size() < 9 || c[8] != '=') return false;
      const std::string kw = KeywordOf(c);
      if (!StartsWith(kw, "NAXIS")) return false;
      return std::all_of(kw.begin() + 5, kw.end(), [](char ch) { return IsDigit(ch); });
    });
    Cards_ = std::move(ext);
    Cards_.insert(Cards_.end(), primaryCards.begin(), primaryCards.end());
    for (std::string_view k : {"XTENSION", "EXTEND", "GCOUNT", "PCOUNT", "SIMPLE"}) DeleteKey(k);
    Insert(0, kSimpleCard);
    RemoveEmptyCards();
    FinishEnd();
    if (hduIndex <= 1 && imageUnits > 1) SetInt("QVIM_CNT", imageUnits, true);
    SetInt("QVIM_IDX", std::max(hduIndex, 1), true);
  }
  if (compressed) TranslateCompressionKeys(*this);
  return TFitsHeaderStatus::Ok;
}

TFitsHeaderStatus TFitsStrings::ReadFromFile(const std::filesystem::path& path, int hduIndex,
                                             bool& compressed, int64_t& blockCount) {
  compressed = false;
  blockCount = 0;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    Clear();
    return TFitsHeaderStatus::ReadError;
  }
  FdCloser closer(fd);
  return ReadFromFile(fd, hduIndex, compressed, blockCount);
}

// ================================================================ header text form

std::string TFitsStrings::ExportHeaderText() const {
  std::string out;
  for (const std::string& c : Cards_) {
    if (StructuralKey(KeywordOf(c))) continue;
    const std::string_view t = Trim32(c);
    if (t.empty()) continue;
    if (out.empty()) out = kHeaderTextPrefix;
    out += t;
    if (t != "END") out += '\n';
  }
  return out;
}

void TFitsStrings::ImportHeaderText(std::string_view text, int32_t width, int32_t height, bool colour,
                                    int32_t bitpix) {
  SetGeometry(width, height, colour, bitpix);
  if (StartsWith(text, kHeaderTextPrefix)) text.remove_prefix(kHeaderTextPrefix.size());
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t nl = text.find('\n', start);
    if (nl == std::string_view::npos) nl = text.size();
    std::string_view line = text.substr(start, nl - start);
    start = nl + 1;
    while (!line.empty() && static_cast<unsigned char>(line.back()) <= 32) line.remove_suffix(1);
    if (line.empty() || StructuralKey(KeywordOf(line))) continue;
    Add(PrintableAscii(line));
  }
  FinishEnd();
}

// ================================================================ preview summary

std::vector<std::string> TFitsStrings::Summary() const {
  static constexpr std::string_view hidden[] = {"SIMPLE", "NAXIS",    "NAXIS1",   "NAXIS2",
                                                "NAXIS3", "BZERO",    "BSCALE",   "BITPIX",
                                                "ORLUUMIN", "ORLUUMAX", "ORLUUTYP", "END"};
  // Header lines that a legacy CCD format stores as comments: not worth a preview line.
  static constexpr std::string_view legacy[] = {"FILE_VER", "DATA_VER", "WIDTH = ", "HEIGHT =",
                                                "RANGE = ", "RESPONSE", "BACKGROU"};
  std::vector<std::string> list;
  for (const std::string& c : Cards_) {
    const std::string kw = KeywordOf(c);
    if (std::find(std::begin(hidden), std::end(hidden), kw) != std::end(hidden)) continue;
    std::string t;
    if (kw == "COMMENT" || kw == "HISTORY") {
      t = c.size() > 8 ? c.substr(8) : std::string();
      bool skip = false;
      for (std::string_view p : legacy) skip = skip || StartsWithNoCase(t, p);
      if (skip) continue;
    } else {
      t = c;
      const std::size_t slash = t.find('/', 31);
      if (slash != std::string::npos && slash <= 80) t.resize(slash);
    }
    if (StartsWith(t, "= ")) t.erase(0, 2);
    if (t.find_first_not_of(" '") == std::string::npos) continue;
    if (t.find("Original file") != std::string::npos) continue;
    if (t.size() < 3) continue;
    if (t[1] == ':' && t[2] == '\\') continue;
    list.emplace_back(Trim32(t));
  }
  for (std::string_view key : {"FILTER  =", "EXPOSURE=", "TIME-OBS=", "DATE-OBS="}) {
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (list[i].compare(0, 9, key) != 0) continue;
      std::string line = std::move(list[i]);
      list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
      if (key == "DATE-OBS=" && line.size() > 21 && line[21] == 'T') line[21] = ' ';
      list.insert(list.begin(), std::move(line));
      break;
    }
  }
  return list;
}

// ================================================================ annotations

void TFitsStrings::WriteAnnotations(const std::vector<std::string>* texts) {
  std::erase_if(Cards_, [](const std::string& c) { return StartsWith(c, kAnnotatePrefix); });
  if (!texts) return;
  for (const std::string& raw : *texts) {
    // Printable ASCII first, so that every piece is exactly 61 columns in the file.
    const std::string s = PrintableAscii(raw);
    std::size_t p = 0;
    while (s.size() - p > kAnnotateChunk) {
      AddBeforeEnd(std::string(kAnnotatePrefix) + s.substr(p, kAnnotateChunk) + "_");
      p += kAnnotateChunk;
    }
    AddBeforeEnd(std::string(kAnnotatePrefix) + PadRight(s.substr(p), kAnnotateChunk) + "}");
  }
}

std::vector<std::string> TFitsStrings::ReadAnnotations() const {
  std::vector<std::string> out;
  std::string acc;
  bool damaged = false;
  for (const std::string& c : Cards_) {
    if (!StartsWith(c, kAnnotatePrefix)) {
      acc.clear();
      damaged = false;
      continue;
    }
    // A piece must end in "_" (more follows) or "}" (last). Anything else is a damaged
    // card: that annotation is dropped up to its last piece, so neither its head nor its
    // tail is glued onto a neighbour or read as an annotation of its own.
    const char end = c.size() >= 80 ? c[79] : '\0';
    if (end != '_' && end != '}') {
      acc.clear();
      damaged = true;
      continue;
    }
    if (damaged) {
      if (end == '}') damaged = false;
      continue;
    }
    acc += c.substr(kAnnotatePrefix.size(), kAnnotateChunk);
    if (end == '}') {
      out.push_back(std::move(acc));
      acc.clear();
    }
  }
  return out;
}

// ================================================================ processing history

bool TFitsStrings::IsHistoryRecordCard(std::string_view card) {
  return card.size() == 80 && StartsWith(card, "HISTORY ") && card[76] == 'A' && IsDigit(card[77]) &&
         IsDigit(card[79]);
}

bool TFitsStrings::IsHistoryContinuationCard(std::string_view card) {
  return StartsWith(card, kHistoryContinuation);
}

void TFitsStrings::WriteHistory(const std::vector<std::string>& lines) {
  for (const std::string& raw : lines) {
    // Printable ASCII first: the tag must land in columns 77..80 of the written card.
    const std::string s = PrintableAscii(raw);
    if (s.size() <= 71 || s[s.size() - 4] != 'A') continue;
    if (s.size() == 72) {
      AddBeforeEnd("HISTORY " + s);
      continue;
    }
    const std::string tag = s.substr(s.size() - 4);
    const std::string body = s.substr(0, s.size() - 4);
    AddBeforeEnd("HISTORY " + body.substr(0, kHistoryChunk) + tag);
    std::size_t p = kHistoryChunk;
    for (int cards = 1; p < body.size() && cards < kMaxHistoryCards; ++cards, p += kHistoryChunk)
      AddBeforeEnd(std::string(kHistoryContinuation) + body.substr(p, kHistoryChunk));
  }
}

std::vector<std::string> TFitsStrings::ReadHistory() const {
  std::vector<std::string> lines;
  for (const std::string& c : Cards_)
    if (IsHistoryRecordCard(c) || IsHistoryContinuationCard(c)) lines.push_back(c.substr(8, 72));
  // Continuations follow their record: walk backwards, gathering them until the record.
  std::vector<std::string> out;
  std::string acc;
  for (std::size_t i = lines.size(); i-- > 0;) {
    const std::string& l = lines[i];
    if (StartsWith(l, "  {_")) {
      acc = l.substr(4) + acc;
      continue;
    }
    out.push_back(l.substr(0, kHistoryChunk) + acc + (l.size() > kHistoryChunk ? l.substr(kHistoryChunk, 4) : ""));
    acc.clear();
  }
  std::reverse(out.begin(), out.end());
  return out;
}

bool TFitsStrings::HasHistory() const {
  return std::any_of(Cards_.begin(), Cards_.end(), [](const std::string& c) { return IsHistoryRecordCard(c); });
}

void TFitsStrings::DeleteHistory() {
  std::erase_if(Cards_, [](const std::string& c) {
    return IsHistoryRecordCard(c) || IsHistoryContinuationCard(c);
  });
}

}  // namespace orlu
