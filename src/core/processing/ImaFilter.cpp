#include "processing/ImaFilter.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <system_error>

#include "base/TextNumbers.h"
#include "base/Translate.h"
#include "fits/ImaHeader.h"

namespace orlu {

namespace {

constexpr std::array<std::string_view, 108> kOperationNames{{
    "Add constant", "Add pedestal", "Multiply constant", "Divide constant", "Linear scaling",
    "Logarithmic scaling", "FITS keyword", "Median adaptive", "Repair row", "Repair column",
    "Hot pixels, singles", "Hot pixels, groups", "Hot pixels, Bayer", "Deinterlace",
    "Deblooming", "Red channel", "Green channel", "Blue channel", "Gauss", "Median square",
    "Median circle", "Dilation", "Erosion", "Reduce color fringes", "High pass", "Low pass",
    "Visualization", "Visualization percentage", "Average square", "Average circle",
    "Ring median", "Flip horizontal", "Flip vertical", "Swap rows", "Sobel", "Prewitt",
    "Freeman", "Kirsch", "Remove gradient adaptive div.", "Remove gradient adaptive sub.",
    "Remove gradient vignetting", "Remove gradient linear", "Remove gradient lin. + vig.",
    "Binning X average", "Binning Y average", "Binning X median", "Binning Y median", "Shift",
    "Gradient", "Clamp minimum", "Clamp maximum", "White balance", "DDP", "Denoise",
    "Unsharp mask", "Visualization sigma", "Rotate around point", "Isophotes", "Formula",
    "Fill", "<Other>", "Add image", "Subtract", "Multiply", "Divide", "Minimum", "Maximum",
    "Distance", "Average", "Align", "Normalization add", "Defect map", "Scaled dark frame",
    "Resize", "Binning", "Crop", "Remove stars", "Attenuate one color", "Multiscale Highpass",
    "Multiscale Lowpass", "Multiscale Denoise", "Rotate", "Format Float", "Format Integer",
    "Format Color", "Format Grayscale", "Demosaic RGB", "Normalization multiply",
    "Normalization scale", "Merge", "Destripe X", "Destripe Y", "Saturation",
    "Hue and Saturation", "Polar to rectangular", "Rectangular to polar", "Border",
    "Larson-Sekanina", "Comet", "Color balance", "Compress stars", "Align RGB",
    "Histogram stretch", "Color curves", "Coregister", "Correct distortions", "Flip",
    "Local histogram equalization",
}};
constexpr std::array<std::string_view, 29> kKindNames{{
    "<None>", "<Filter>", "Preprocessing", "Trichromy", "LRGB combine", "Coregister", "Mosaic",
    "Plugin", "Script", "Edit pixel", "Paste into", "Convolution", "Deconvolution",
    "Histogram stretch", "Deblooming", "_Null1_", "Remove gradient", "Remove line", "Scale",
    "Image -> FFT", "FFT -> Image", "Flip", "Demosaic CMY", "Split CMY", "Plate solve",
    "Delete astrometry", "Delete photometry", "Remove edge", "Remove spot",
}};

// Record text of a text parameter: line breaks become printable markers that read back,
// and the markers themselves and double quotes are replaced so they cannot be confused.
std::string RecordText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '\n': out += '|'; break;
      case '\r': out += '`'; break;
      case '`': out += '\''; break;
      case '|': out += '/'; break;
      case '"': out += '\''; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace

std::string_view OperationName(int32_t code) {
  if (code < 0 || code >= int32_t(kOperationNames.size())) return {};
  return kOperationNames[size_t(code)];
}

std::string_view HistoryKindName(int32_t kind) {
  if (kind < 0 || kind >= int32_t(kKindNames.size())) return {};
  return kKindNames[size_t(kind)];
}

double NowDateTime() {
  const std::time_t t = std::time(nullptr);
  std::tm local{};
  localtime_r(&t, &local);
  // Days from 1899-12-30 to 1970-01-01, then the local wall-clock time as a day fraction.
  const std::time_t asUtc = timegm(&local);
  return 25569.0 + double(asUtc) / 86400.0;
}

THistoryItem::THistoryItem() : Time(NowDateTime()) { Params.fill(kUnsetParam); }

std::string THistoryItem::RecordLine() const {
  std::string line;
  int32_t tag = Code;
  if (Code == kOtherCode) {
    if (Kind == 1) return {};
    line = HistoryKindName(Kind);
    tag = 900 + Kind;
  } else {
    line = OperationName(Code);
  }
  const bool withText = HasText();
  if (withText) line += " \"" + RecordText(Text) + "\"";
  bool first = true;
  for (double p : Params) {
    if (p == kUnsetParam) break;
    if (first && !withText) line += ':';
    first = false;
    line += ' ';
    line += FormatG(p, 15);
  }
  if (Masked) line += " [Mask]";
  if (line.size() < 68) line.resize(68, ' ');
  char buf[8];
  std::snprintf(buf, sizeof buf, "A%.3d", int(tag % 1000));
  line += buf;
  return line;
}

bool IsDualCode(int32_t code) {
  return (code >= 61 && code <= 72) || (code >= 87 && code <= 89) || code == 104;
}

namespace {

// Where the second group of a code's parameters starts (ParamText inserts a gap there).
int32_t ParamGroupStart(int32_t code) {
  switch (code % 128) {
    case 52: case 103: return 6;
    case 56: case 92: return 1;
    case 59: case 75: case 93: case 97: return 3;
    case 69: case 76: case 100: case 106: return 2;
    case 89: return 9;
    case 99: return 4;
    default: return 5;
  }
}

std::string FileNamePartOf(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string LowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return out;
}

// " hh:mm:ss" of a date-time's day fraction.
std::string TimeOfDayText(double dateTime) {
  double frac = dateTime - std::floor(dateTime);
  int64_t secs = int64_t(std::floor(frac * 86400.0 + 0.5));
  if (secs >= 86400) secs = 86399;
  char buf[32];
  std::snprintf(buf, sizeof buf, " %.2d:%.2d:%.2d", int(secs / 3600), int(secs / 60 % 60),
                int(secs % 60));
  return buf;
}

}  // namespace

std::string THistoryItem::ParamText() const {
  std::string out;
  const int32_t g = ParamGroupStart(Code);
  for (int32_t i = 0; i < int32_t(Params.size()); ++i) {
    if (i == g && !out.empty()) out += "  ";
    const double p = Params[size_t(i)];
    if (p == kUnsetParam) continue;
    out += FormatG(p, 15);
    out += "  ";
  }
  return out;
}

std::string THistoryItem::DetailText() const {
  if (Code == 74) {
    std::string s = FormatG(Params[0], 2) + " x " + FormatG(Params[0], 2);
    if (Params[1] > 0.5 && Params[1] != kUnsetParam)
      s += "  [" + LowerAscii(Tr(OperationName(68))) + "]";
    return s;
  }
  if (IsDualCode(Code)) {
    std::string s = HasText() ? FileNamePartOf(Text) : "?";
    if (Code == 68 || Code == 69 || Code == 89 || Code == 104) {
      const std::string p = ParamText();
      s += "  " + (p.empty() ? std::string("?") : p);
    }
    return s;
  }
  if (Ask) return "?";
  std::string s = ParamText();
  if (HasText()) s += Text;
  if (s.size() > 200) s.resize(200);
  for (char& c : s) {
    if (c == '\r') c = '|';
    else if (c == '\n') c = ' ';
  }
  return s;
}

std::string THistoryItem::DisplayLine(int32_t index) const {
  std::string line;
  if (Time > 0) {
    line = TimeOfDayText(Time) + "     ";
  } else if (index >= 0) {
    char buf[32];
    std::snprintf(buf, sizeof buf, " %.2d)      ", int(index + 1));
    line = buf;
  }
  if (Code != kOtherCode) {
    line += Tr(OperationName(Code)) + "    " + DetailText();
  } else if (Kind == 1) {
    line += "???";
  } else {
    line += Tr(HistoryKindName(Kind));
    if (HasText()) line += "    " + Text;
  }
  if (Masked) {
    line += line.size() >= 2 && line[line.size() - 2] == ' ' ? " [" : "   [";
    line += Tr("Mask") + "]";
  }
  return line;
}

bool THistoryItem::ParseRecord(std::string_view line, THistoryItem& item) {
  if (line.size() <= 6 || line[0] == '#' || line[0] == ';') return false;
  if (line[line.size() - 4] != 'A') return false;
  const std::string_view tagText = line.substr(line.size() - 3);
  if (!std::all_of(tagText.begin(), tagText.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  const int32_t tag = (tagText[0] - '0') * 100 + (tagText[1] - '0') * 10 + (tagText[2] - '0');
  THistoryItem out;
  out.Time = 0;
  if (tag > 899) {
    if (tag - 900 > kLastKind) return false;
    out.Code = kOtherCode;
    out.Kind = uint8_t(tag - 900);
  } else {
    if (tag > kLastOperationCode) return false;
    out.Code = uint8_t(tag);
    out.Kind = 1;
  }
  std::string body(line.substr(0, line.size() - 4));
  // The marker is written after the text: a text that holds "[Mask" itself stays intact.
  const size_t mask = body.rfind("[Mask");
  if (mask != std::string::npos) {
    out.Masked = true;
    const size_t close = body.find(']', mask);
    body.erase(mask, close == std::string::npos ? std::string::npos : close - mask + 1);
  }
  const size_t colon = body.find(':');
  const size_t quote = body.find('"');
  if ((colon == std::string::npos) != (quote == std::string::npos)) {
    std::string rest;
    if (quote != std::string::npos) {
      rest = body.substr(quote + 1);
      const size_t end = rest.find('"');
      std::string text = end == std::string::npos ? rest.substr(0, rest.empty() ? 0 : rest.size() - 1)
                                                  : rest.substr(0, end);
      for (char& c : text) {
        if (c == '`') c = '\r';
        else if (c == '|') c = '\n';
      }
      out.Text = std::move(text);
      rest = end == std::string::npos ? std::string() : rest.substr(end + 1);
    } else {
      rest = body.substr(colon + 1);
    }
    // Runs of number characters; the exponent letter is taken too, since records write
    // small and large parameters in exponent form ("1e-05" is one number, not two).
    auto isNumberChar = [](char c) {
      return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == ',' ||
             c == 'e' || c == 'E';
    };
    size_t n = 0;
    for (size_t i = 0; i < rest.size() && n < out.Params.size();) {
      if (!isNumberChar(rest[i])) {
        ++i;
        continue;
      }
      size_t j = i;
      while (j < rest.size() && isNumberChar(rest[j])) ++j;
      std::string run = rest.substr(i, j - i);
      std::replace(run.begin(), run.end(), ',', '.');
      double v = 0;
      if (ParseDouble(run, v)) out.Params[n++] = v;
      i = j;
    }
  }
  item = std::move(out);
  return true;
}

THistoryItem* THistoryList::Item(int32_t index) {
  if (index < 0 || index >= Count()) return nullptr;
  return Items_[size_t(index)].get();
}

const THistoryItem* THistoryList::Item(int32_t index) const {
  if (index < 0 || index >= Count()) return nullptr;
  return Items_[size_t(index)].get();
}

void THistoryList::CopyTo(THistoryList& other) const {
  if (&other == this) return;
  other.Items_.clear();
  other.Items_.reserve(Items_.size());
  for (const auto& item : Items_) other.Items_.push_back(std::make_unique<THistoryItem>(*item));
}

THistoryItem* THistoryList::Append(std::unique_ptr<THistoryItem> item) {
  if (!item || Count() >= kMaxEntries) return nullptr;
  Items_.push_back(std::move(item));
  return Items_.back().get();
}

int32_t THistoryList::OperationCount() const {
  return int32_t(std::count_if(Items_.begin(), Items_.end(),
                               [](const auto& item) { return item->Code != kOtherCode; }));
}

THistoryItem* THistoryList::AddOperation(int32_t code, bool masked,
                                         std::span<const double> params,
                                         const std::string_view* text) {
  if (code < 0 || code > kLastOperationCode || Count() >= kMaxEntries) return nullptr;
  auto item = std::make_unique<THistoryItem>();
  item->Kind = 1;
  item->Code = uint8_t(code);
  item->Masked = masked;
  const size_t n = std::min(params.size(), item->Params.size());
  std::copy_n(params.begin(), n, item->Params.begin());
  if (text) item->Text = std::string(*text);
  return Append(std::move(item));
}

THistoryItem* THistoryList::Add(int32_t code, bool masked) {
  return AddOperation(code, masked, {}, nullptr);
}

THistoryItem* THistoryList::Add(int32_t code, bool masked, std::span<const double> params) {
  return AddOperation(code, masked, params, nullptr);
}

THistoryItem* THistoryList::Add(int32_t code, bool masked, std::string_view text) {
  return AddOperation(code, masked, {}, &text);
}

THistoryItem* THistoryList::Add(int32_t code, bool masked, std::span<const double> params,
                                std::string_view text) {
  return AddOperation(code, masked, params, &text);
}

THistoryItem* THistoryList::AddKind(int32_t kind, bool masked, std::string_view text) {
  if (kind < 0 || kind > kLastKind || Count() >= kMaxEntries) return nullptr;
  auto item = std::make_unique<THistoryItem>();
  item->Kind = uint8_t(kind);
  item->Code = kOtherCode;
  item->Masked = masked;
  item->Text = std::string(text);
  return Append(std::move(item));
}

std::vector<std::string> THistoryList::RecordLines() const {
  std::vector<std::string> lines;
  for (const auto& item : Items_) {
    std::string line = item->RecordLine();
    if (!line.empty()) lines.push_back(std::move(line));
  }
  return lines;
}

void THistoryList::AddRecordLines(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    if (Count() >= kMaxEntries) return;
    auto item = std::make_unique<THistoryItem>();
    if (THistoryItem::ParseRecord(line, *item)) Append(std::move(item));
  }
}

std::string THistoryList::ClipboardText() const {
  std::string out;
  for (int32_t i = Count() - 1; i >= 0; --i) {
    const THistoryItem& item = *Items_[size_t(i)];
    out += item.DisplayText.empty() ? item.DisplayLine(i) : item.DisplayText;
    out += "\r\n";
  }
  return out;
}

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::uintmax_t kMaxHistoryFileBytes = 16u << 20;

}  // namespace

std::string THistoryList::FileText() const {
  std::string out(kUtf8Bom);
  out += kHistoryFileTitle;
  out += "\r\n#\r\n";
  for (const std::string& line : RecordLines()) out += line + "\r\n";
  return out;
}

void THistoryList::ParseFileText(std::string_view text) {
  std::vector<std::string> lines;
  for (std::string_view line : SplitTextLines(text)) lines.emplace_back(line);
  Clear();
  AddRecordLines(lines);
}

bool THistoryList::SaveToFile(const std::filesystem::path& path, std::string& error) const {
  const std::string text = FileText();
  std::filesystem::path tmp = path;
  tmp += ".tmp" + std::to_string(::getpid());
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out.write(text.data(), std::streamsize(text.size()));
    out.close();
    if (!out) {
      std::error_code ec;
      std::filesystem::remove(tmp, ec);
      error = Tr("Cannot write file to disk");
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(tmp, path, ec);
  if (ec) {
    std::filesystem::remove(tmp, ec);
    error = Tr("Cannot write file to disk");
    return false;
  }
  return true;
}

bool THistoryList::LoadFromFile(const std::filesystem::path& path, std::string& error) {
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec || size > kMaxHistoryFileBytes) {
    error = Tr("Cannot read file") + "\r" + path.string();
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  std::string text(size_t(size), '\0');
  in.read(text.data(), std::streamsize(size));
  if (!in) {
    error = Tr("Cannot read file") + "\r" + path.string();
    return false;
  }
  ParseFileText(text);
  return true;
}

void THistoryList::WriteToHeader(TFitsStrings& header) const {
  header.DeleteHistory();
  const std::vector<std::string> lines = RecordLines();
  if (!lines.empty()) header.WriteHistory(lines);
}

void THistoryList::ReadFromHeader(const TFitsStrings& header) {
  Clear();
  AddRecordLines(header.ReadHistory());
}

}  // namespace orlu
