#include "processing/uMacro.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <system_error>

#include "base/OrluMath.h"
#include "base/TextNumbers.h"
#include "base/Translate.h"

namespace orlu {

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr std::uintmax_t kMaxMacroFileBytes = 4u << 20;

std::string Encode(std::string_view s) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (c <= 0x20 || c >= 0x7F || c == '%' || c == ';') {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += char(c);
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool Decode(std::string_view s, std::string& out) {
  out.clear();
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out += s[i];
      continue;
    }
    if (i + 2 >= s.size()) return false;
    const int hi = HexDigit(s[i + 1]), lo = HexDigit(s[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out += char(hi * 16 + lo);
    i += 2;
  }
  return true;
}

std::vector<std::string_view> Split(std::string_view s, char sep) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (;;) {
    const size_t p = s.find(sep, start);
    parts.push_back(s.substr(start, p == std::string_view::npos ? std::string_view::npos
                                                                : p - start));
    if (p == std::string_view::npos) return parts;
    start = p + 1;
  }
}

std::vector<std::string_view> Lines(std::string_view text) { return SplitTextLines(text); }

// "step=code;flags;p1,...,p16;text" back into a step; false for anything else.
bool ParseStepLine(std::string_view line, TIPFilter& step) {
  if (line.substr(0, 5) != "step=") return false;
  const std::vector<std::string_view> f = Split(line.substr(5), ';');
  if (f.size() != 4) return false;
  int32_t code = 0;
  if (!ParseInt32(f[0], code) || code < 0 || code > kLastOperationCode || code == kOtherCode)
    return false;
  TIPFilter s(code);
  for (char c : f[1]) {
    if (c == 'a') s.AskState = -1;
    else if (c == 'd') s.Disabled = true;
    else return false;
  }
  const std::vector<std::string_view> ps = Split(f[2], ',');
  if (ps.size() > 16) return false;
  for (size_t i = 0; i < ps.size(); ++i) {
    if (ps[i].empty()) continue;
    double v = 0;
    if (!ParseDouble(ps[i], v)) return false;
    s.Params[i] = v;
  }
  if (!f[3].empty()) {
    std::string text;
    if (!Decode(f[3], text)) return false;
    s.TextParam = text;
  }
  step = std::move(s);
  return true;
}

bool WriteThroughTemp(const std::filesystem::path& path, const std::string& text,
                      std::string& error) {
  std::filesystem::path tmp = path;
  tmp += ".tmp" + std::to_string(::getpid());
  std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
  out.write(text.data(), std::streamsize(text.size()));
  out.close();
  std::error_code ec;
  if (out) std::filesystem::rename(tmp, path, ec);
  if (!out || ec) {
    std::filesystem::remove(tmp, ec);
    error = Tr("Cannot write file to disk");
    return false;
  }
  return true;
}

}  // namespace

// ============================================================================ page

bool TMacroPage::Add(const TIPFilter& step) {
  if (int32_t(Steps.size()) >= kMaxSteps) return false;
  Steps.push_back(step);
  return true;
}

int32_t TMacroPage::ImportHistory(const THistoryList& history) {
  Steps.clear();
  int32_t dropped = 0;
  for (int32_t i = 0; i < history.Count(); ++i) {
    const THistoryItem& item = *history.Item(i);
    if (item.Code == kOtherCode) continue;
    TIPFilter step;
    step.FromHistoryItem(item);
    if (!Add(step)) ++dropped;
  }
  return dropped;
}

int32_t TMacroPage::Insert(int32_t index, const std::vector<TIPFilter>& steps) {
  index = Clamp<int32_t>(index, 0, int32_t(Steps.size()));
  int32_t dropped = 0;
  for (const TIPFilter& s : steps) {
    if (int32_t(Steps.size()) >= kMaxSteps) {
      ++dropped;
      continue;
    }
    Steps.insert(Steps.begin() + index++, s);
  }
  return dropped;
}

void TMacroPage::Remove(const std::vector<int32_t>& indices) {
  const std::set<int32_t> gone(indices.begin(), indices.end());
  std::vector<TIPFilter> kept;
  for (int32_t i = 0; i < int32_t(Steps.size()); ++i)
    if (!gone.count(i)) kept.push_back(Steps[size_t(i)]);
  Steps = std::move(kept);
}

void TMacroPage::Move(int32_t from, int32_t to) {
  if (Steps.empty()) return;
  const int32_t last = int32_t(Steps.size()) - 1;
  from = Clamp(from, 0, last);
  to = Clamp(to, 0, last);
  TIPFilter s = Steps[size_t(from)];
  Steps.erase(Steps.begin() + from);
  Steps.insert(Steps.begin() + to, s);
}

std::string MacroPageText(const TMacroPage& page) {
  std::string out = "name=" + Encode(page.Name) + "\n";
  for (const TIPFilter& s : page.Steps) {
    out += "step=" + std::to_string(int(s.Code)) + ";";
    if (s.AskState != 0) out += 'a';
    if (s.Disabled) out += 'd';
    out += ';';
    int32_t n = 16;
    while (n > 0 && s.Params[size_t(n - 1)] == kUnsetParam) --n;
    for (int32_t i = 0; i < n; ++i) {
      if (i > 0) out += ',';
      if (s.Params[size_t(i)] != kUnsetParam) out += FormatShortest(s.Params[size_t(i)]);
    }
    out += ';';
    if (s.TextParam != kVoidText) out += Encode(s.TextParam);
    out += '\n';
  }
  return out;
}

int32_t ParseMacroPage(std::string_view text, TMacroPage& page) {
  TMacroPage out;
  bool named = false;
  int32_t dropped = 0;
  for (std::string_view line : Lines(text)) {
    if (line.substr(0, 5) == "name=") {
      std::string name;
      if (Decode(line.substr(5), name)) {
        out.Name = name;
        named = true;
      }
      continue;
    }
    TIPFilter step;
    if (!ParseStepLine(line, step)) continue;
    if (!out.Add(step)) ++dropped;
  }
  if (!named && out.Steps.empty() && dropped == 0) return -1;
  page = std::move(out);
  return dropped;
}

bool SaveMacroFile(const TMacroPage& page, const std::filesystem::path& path,
                   std::string& error) {
  std::string text(kBom);
  text += kMacroFileTitle;
  text += "\n";
  text += MacroPageText(page);
  return WriteThroughTemp(path, text, error);
}

bool LoadMacroFile(const std::filesystem::path& path, TMacroPage& page, int32_t& dropped,
                   std::string& error) {
  dropped = 0;
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  std::string text;
  if (!ec && size <= kMaxMacroFileBytes) {
    std::ifstream in(path, std::ios::binary);
    text.resize(size_t(size));
    in.read(text.data(), std::streamsize(size));
    if (!in) ec = std::make_error_code(std::errc::io_error);
  }
  if (ec || size > kMaxMacroFileBytes) {
    error = Tr("Cannot read file") + "\r" + path.string();
    return false;
  }
  std::string_view body = text;
  if (body.substr(0, kBom.size()) == kBom) body.remove_prefix(kBom.size());
  if (body.substr(0, kMacroFileTitle.size()) != kMacroFileTitle) {
    error = Tr("Incompatible file format") + "\r" + path.string();
    return false;
  }
  TMacroPage read;
  const int32_t n = ParseMacroPage(body, read);
  if (n < 0) {
    error = Tr("Incompatible file format") + "\r" + path.string();
    return false;
  }
  read.Name = path.stem().string();
  page = std::move(read);
  dropped = n;
  return true;
}

// ============================================================================ book

TMacroBook::TMacroBook() {
  for (int32_t k = 1; k <= kPages; ++k) Pages_[size_t(k - 1)].Name = DefaultName(k);
}

std::string TMacroBook::DefaultName(int32_t k) { return Tr("Macro") + " " + std::to_string(k); }

TMacroPage& TMacroBook::Page(int32_t k) { return Pages_[size_t(Clamp(k, 1, kPages) - 1)]; }

const TMacroPage& TMacroBook::Page(int32_t k) const {
  return Pages_[size_t(Clamp(k, 1, kPages) - 1)];
}

std::string TMacroBook::CheckNames() const {
  for (int32_t k = 1; k <= kPages; ++k) {
    const TMacroPage& p = Page(k);
    const std::string plain = "Macro " + std::to_string(k);
    if (!p.Steps.empty() && (p.Name == plain || p.Name == DefaultName(k)))
      return Tr("Please choose a name for the Macro.");
  }
  return {};
}

void TMacroBook::ResetEmptyNames() {
  for (int32_t k = 1; k <= kPages; ++k)
    if (Page(k).Steps.empty()) Page(k).Name = DefaultName(k);
}

std::string TMacroBook::ToText() const {
  std::string out;
  for (int32_t k = 1; k <= kPages; ++k)
    out += "[Macro " + std::to_string(k) + "]\n" + MacroPageText(Page(k));
  return out;
}

void TMacroBook::FromText(std::string_view text) {
  int32_t current = 0;
  std::string section;
  const auto flush = [&] {
    if (current >= 1 && current <= kPages) {
      TMacroPage page;
      if (ParseMacroPage(section, page) >= 0) Page(current) = std::move(page);
    }
    section.clear();
  };
  for (std::string_view line : Lines(text)) {
    if (line.size() > 8 && line.substr(0, 7) == "[Macro " && line.back() == ']') {
      flush();
      int32_t k = 0;
      current = ParseInt32(line.substr(7, line.size() - 8), k) ? k : 0;
      continue;
    }
    section += line;
    section += '\n';
  }
  flush();
}

namespace {

std::array<std::string*, TMacroBook::kPages> MacroNames(TFilterOptions& f) {
  return {&f.Macro1, &f.Macro2, &f.Macro3, &f.Macro4,
          &f.Macro5, &f.Macro6, &f.Macro7, &f.Macro8};
}

}  // namespace

TMacroBook LoadMacroBook(const TQVOptions& options, const std::filesystem::path& folder) {
  TMacroBook book;
  const std::filesystem::path path = folder / kMacroBookFileName;
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  // Eight full pages of long steps stay far below this.
  if (!ec && size <= 8 * kMaxMacroFileBytes) {
    std::ifstream in(path, std::ios::binary);
    std::string text(size_t(size), '\0');
    if (in.read(text.data(), std::streamsize(size))) book.FromText(text);
  }
  TFilterOptions names = options.Filter;
  const auto fields = MacroNames(names);
  for (int32_t k = 1; k <= TMacroBook::kPages; ++k) {
    const std::string& name = *fields[size_t(k - 1)];
    book.Page(k).Name = Trim(name).empty() ? TMacroBook::DefaultName(k) : name;
  }
  return book;
}

bool StoreMacroBook(const TMacroBook& book, TQVOptions& options,
                    const std::filesystem::path& folder, std::string& error) {
  const auto fields = MacroNames(options.Filter);
  for (int32_t k = 1; k <= TMacroBook::kPages; ++k) *fields[size_t(k - 1)] = book.Page(k).Name;
  return WriteThroughTemp(folder / kMacroBookFileName, std::string(kBom) + book.ToText(), error);
}

}  // namespace orlu
