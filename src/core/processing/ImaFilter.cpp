#include "processing/ImaFilter.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "base/TextNumbers.h"

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
  const size_t mask = body.find("[Mask");
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

}  // namespace orlu
