// Legacy CCD formats. Every loader checks the file length against what it will read before
// the image is sized, so a short or lying header never allocates or half-fills an image.
#include "formats/uLegacy.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <span>
#include <string_view>
#include <vector>

#include "base/OrluMath.h"
#include "base/TextNumbers.h"
#include "formats/BinaryFile.h"
#include "formats/LoadStatus.h"
#include "formats/uFiles.h"
#include "image/ImaColor.h"

namespace orlu {

namespace {

// Header text that becomes a card: the field up to its first NUL (the header layer makes it
// printable and cuts it to the card).
void AddCommentField(TAImage& image, const uint8_t* p, size_t n) {
  const std::string text = FieldText(p, n);
  if (!text.empty()) image.Header.AddComment(text);
}

// A gray 16-bit image of w × h samples (unsigned, little-endian) read from offset; the
// caller has checked the sides. Fails when the file does not hold them.
void LoadGray16(const TBinaryFile& f, int64_t offset, int32_t w, int32_t h, bool topRowFirst,
                TAImage& image) {
  if (!f.Holds(offset, int64_t(w) * h * 2)) {
    image.Status |= kStatusFailed;
    return;
  }
  image.SetSize(w, h, false);
  if (!ReadPlaneSamples(f, offset, *image.MainPlane, 2, false, topRowFirst)) {
    image.Status |= kStatusFailed;
    return;
  }
  image.Header.SetGeometry(w, h, false, 16);
  image.Status |= kStatusLoaded;
}

// The sides are usable: false after setting the status for zero (not taken unless
// zeroFails) or oversize sides.
bool SidesUsable(int64_t w, int64_t h, TAImage& image, bool zeroFails) {
  if (w < 1 || h < 1) {
    if (zeroFails) image.Status |= kStatusFailed;
    return false;
  }
  if (w > kMaxImageSide || h > kMaxImageSide) {
    image.Status |= kStatusRefusedTooLarge;
    return false;
  }
  return true;
}

// ------------------------------------------------------------------------ text image

// Lines of a file read in blocks; a line ends at CR, LF or CR LF.
class TLineReader {
 public:
  // Longer lines are cut: no line of a text image needs more, and a binary file must not
  // grow one line without bound.
  static constexpr size_t kMaxLine = 4096;

  explicit TLineReader(const TBinaryFile& f) : F_(f), Buf_(size_t(1) << 16) {}
  // The next line without its end; false at the end of the file.
  bool Next(std::string& line) {
    line.clear();
    bool any = false;
    for (;;) {
      if (Pos_ == Len_ && !Fill()) return any;
      any = true;
      const uint8_t c = Buf_[Pos_++];
      ++Consumed_;
      if (c == '\n') return true;
      if (c == '\r') {
        if (Pos_ == Len_) Fill();
        if (Pos_ < Len_ && Buf_[Pos_] == '\n') ++Pos_, ++Consumed_;
        return true;
      }
      if (line.size() < kMaxLine) line += char(c);
    }
  }
  int64_t Consumed() const { return Consumed_; }

 private:
  bool Fill() {
    Len_ = size_t(F_.ReadSome(Offset_, Buf_.data(), int64_t(Buf_.size())));
    Offset_ += int64_t(Len_);
    Pos_ = 0;
    return Len_ > 0;
  }
  const TBinaryFile& F_;
  std::vector<uint8_t> Buf_;
  size_t Pos_ = 0, Len_ = 0;
  int64_t Offset_ = 0, Consumed_ = 0;
};

// The number at the start of text (after blanks): sign, digits, fraction, exponent, up to
// the first character that cannot continue it. 0 when there is none.
double LeadingNumber(std::string_view t) {
  size_t i = 0;
  while (i < t.size() && (t[i] == ' ' || t[i] == '\t')) ++i;
  const size_t start = i;
  auto digits = [&] {
    const size_t from = i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
    return i - from;
  };
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  size_t n = digits();
  if (i < t.size() && t[i] == '.') {
    ++i;
    n += digits();
  }
  if (n == 0) return 0;
  size_t end = i;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    if (digits() > 0) end = i;
  }
  double v = 0;
  return ParseDouble(t.substr(start, end - start), v) && std::isfinite(float(v)) ? v : 0;
}

// The text after the first blank; the text itself when it has none.
std::string_view AfterFirstBlank(std::string_view t) {
  const size_t b = t.find(' ');
  return b == std::string_view::npos ? t : t.substr(b + 1);
}

// ------------------------------------------------------------------------ CCD text header

// The number after a keyword: characters are skipped up to a digit or sign, then the run
// of digits, signs, points and E is parsed and rounded; 0 when it is not a number.
int64_t NumberAfter(std::string_view text, size_t from) {
  size_t i = from;
  while (i < text.size() && !(std::isdigit(uint8_t(text[i])) || text[i] == '+' || text[i] == '-'))
    ++i;
  const size_t start = i;
  while (i < text.size() && (std::isdigit(uint8_t(text[i])) || text[i] == '+' || text[i] == '-' ||
                             text[i] == '.' || text[i] == 'e' || text[i] == 'E'))
    ++i;
  double v = 0;
  if (!ParseDouble(text.substr(start, i - start), v) || !std::isfinite(v)) return 0;
  return Round64(v);
}

// ------------------------------------------------------------------------ TGA

void ReadTgaColour(const TBinaryFile& f, int64_t offset, int32_t bytesPerPixel,
                   bool topRowFirst, TAImage& image) {
  const int32_t w = image.Width(), h = image.Height();
  const int64_t rowBytes = int64_t(w) * bytesPerPixel;
  const int32_t band = int32_t(std::clamp<int64_t>((int64_t(1) << 20) / rowBytes, 1, h));
  std::vector<uint8_t> buf(size_t(rowBytes * band));
  for (int32_t r0 = 0; r0 < h; r0 += band) {
    const int32_t n = std::min(band, h - r0);
    if (!f.ReadAt(offset + int64_t(r0) * rowBytes, buf.data(), rowBytes * n)) {
      image.Status |= kStatusFailed;
      return;
    }
    for (int32_t i = 0; i < n; ++i) {
      const int32_t y = topRowFirst ? h - 1 - (r0 + i) : r0 + i;
      const uint8_t* s = buf.data() + size_t(i) * size_t(rowBytes);
      float* b = image.BluePlane->RowPointer(0, y);
      float* g = image.MainPlane->RowPointer(0, y);
      float* r = image.RedPlane->RowPointer(0, y);
      for (int32_t x = 0; x < w; ++x, s += bytesPerPixel) {
        b[x] = s[0];
        g[x] = s[1];
        r[x] = s[2];
      }
    }
  }
}

// The path with its last character replaced (keeping a letter's case for "a"/"b").
std::string Companion(const std::string& path, char c) {
  std::string p = path;
  const char last = p.back();
  if (c >= 'a' && c <= 'z' && last >= 'A' && last <= 'Z') c = char(c - 'a' + 'A');
  p.back() = c;
  return p;
}

}  // namespace

// ============================================================================ text image

void LoadTextImage(const std::string& path, TAImage& image) {
  if (!HasExtension(path, {".txt", ".cnv"})) return;
  TBinaryFile f;
  if (!f.Open(path)) return;
  TLineReader lines(f);
  std::string l1, l2, l3;
  lines.Next(l1);
  lines.Next(l2);
  lines.Next(l3);
  int32_t w = 0, h = 0;
  if (!ParseInt32(Trim(l1), w)) w = 0;
  if (!ParseInt32(Trim(l2), h)) h = 0;
  const std::string kind = UpperAscii(Trim(l3));
  if (kind != "MONO" && kind != "COLOR" && !kind.empty()) return;
  if (!SidesUsable(w, h, image, false)) return;
  // Missing lines at the end read as 0, but a file far too short for its size line is not
  // an image: at least one byte per pixel must follow (a full file has two or more).
  if (f.Size() - lines.Consumed() < int64_t(w) * h) {
    image.Status |= kStatusFailed;
    return;
  }
  const bool colour = kind == "COLOR";
  image.SetSize(w, h, colour);
  image.Fill(0.0f);
  bool fractional = false;
  auto keep = [&](double v) {
    fractional = fractional || v != std::trunc(v);
    return float(v);
  };
  std::string line;
  auto readPixel = [&](int32_t x, int32_t y) {
    std::string_view t = line;
    if (!colour) {
      image.MainPlane->RowPointer(0, y)[x] = keep(LeadingNumber(t));
      return;
    }
    image.RedPlane->RowPointer(0, y)[x] = keep(LeadingNumber(t));
    t = AfterFirstBlank(t);
    image.MainPlane->RowPointer(0, y)[x] = keep(LeadingNumber(t));
    t = AfterFirstBlank(t);
    image.BluePlane->RowPointer(0, y)[x] = keep(LeadingNumber(t));
  };
  bool more = true;
  for (int32_t y = 0; y < h && more; ++y)
    for (int32_t x = 0; x < w && more; ++x)
      if ((more = lines.Next(line))) readPixel(x, y);
  // An integer image would have its fractions rounded away at the first statistics.
  image.IsFloat = fractional ? 1 : 0;
  image.Header.SetGeometry(w, h, colour, fractional ? -32 : 32);
  image.Status |= kStatusLoaded;
}

// ============================================================================ CCD text header

int32_t DecodeDeltaRow(const uint8_t* p, size_t n, int32_t width, uint16_t* out) {
  if (width < 1 || n < 2) return 0;
  uint16_t v = GetU16LE(p);
  size_t i = 2;
  int32_t k = 0;
  out[k++] = v;
  while (k < width && i < n) {
    const uint8_t b = p[i++];
    if (b == 0x80) {
      if (n - i < 2) break;
      v = GetU16LE(p + i);
      i += 2;
    } else {
      v = uint16_t(v + (b < 0x80 ? b : b - 256));  // 16-bit samples wrap as stored
    }
    out[k++] = v;
  }
  return k;
}

void LoadCcdTextHeader(const std::string& path, TAImage& image) {
  constexpr int64_t kHeader = 2048;
  TBinaryFile f;
  uint8_t raw[kHeader];
  if (!f.Open(path) || !f.ReadAt(0, raw, kHeader)) return;
  std::string lower(reinterpret_cast<const char*>(raw), size_t(kHeader));
  for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
  const size_t version = lower.find("file_version");
  const size_t wAt = lower.find("width");
  const size_t hAt = lower.find("height");
  if (version >= 100 || wAt == std::string::npos || hAt == std::string::npos) return;
  const size_t packedAt = lower.find("compressed");
  const bool compressed = packedAt < 49;
  const int64_t w = NumberAfter(lower, wAt + 5);
  const int64_t h = NumberAfter(lower, hAt + 6);
  if (!SidesUsable(w, h, image, false)) return;

  const int64_t data = f.Size() - kHeader;
  // Plain rows must all be there. A complete compressed row takes its length word, the
  // first sample and one byte for each further sample: fewer bytes than that for every row
  // cannot be an image of this size (and must not size one).
  if (data < (compressed ? h * (w + 3) : 2 * w * h)) {
    image.Status |= kStatusFailed;
    return;
  }
  image.SetSize(int32_t(w), int32_t(h), false);
  if (!compressed) {
    if (!ReadPlaneSamples(f, kHeader, *image.MainPlane, 2, false, false)) {
      image.Status |= kStatusFailed;
      return;
    }
  } else {
    std::vector<uint8_t> row(65535);
    std::vector<uint16_t> samples(static_cast<size_t>(w));
    int64_t pos = kHeader;
    for (int32_t r = 0; r < h; ++r) {
      uint8_t len[2];
      if (!f.ReadAt(pos, len, 2)) {
        image.Status |= kStatusFailed;
        return;
      }
      const int64_t n = GetU16LE(len);
      if (!f.ReadAt(pos + 2, row.data(), n)) {
        image.Status |= kStatusFailed;
        return;
      }
      pos += 2 + n;
      std::fill(samples.begin(), samples.end(), uint16_t(0));
      if (n < 2 * w)
        DecodeDeltaRow(row.data(), size_t(n), int32_t(w), samples.data());
      else
        for (int64_t x = 0; x < w; ++x) samples[size_t(x)] = GetU16LE(row.data() + 2 * x);
      float* d = image.MainPlane->RowPointer(0, int32_t(h - 1 - r));  // top row first
      for (int64_t x = 0; x < w; ++x) d[x] = samples[size_t(x)];
    }
  }
  image.Header.SetGeometry(int32_t(w), int32_t(h), false, 16);
  // The header text ends at its first NUL; CR and LF separate its lines.
  size_t end = 0;
  while (end < size_t(kHeader) && raw[end] != 0) ++end;
  const std::string_view text(reinterpret_cast<const char*>(raw), end);
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && text[i] != '\r' && text[i] != '\n') continue;
    const std::string_view line = text.substr(start, i - start);
    if (!TrimView(line).empty()) image.Header.AddComment(line);
    start = i + 1;
  }
  image.Status |= kStatusLoaded;
}

// ============================================================================ HISIS

void LoadHisis(const std::string& path, TAImage& image) {
  if (!HasExtension(path, {".pic"})) return;
  constexpr int64_t kData = 290;
  TBinaryFile f;
  uint8_t b[kData];
  if (!f.Open(path) || !f.ReadAt(0, b, kData)) {
    image.Status |= kStatusFailed;
    return;
  }
  const int32_t w = GetU16LE(b + 68), h = GetU16LE(b + 70);
  if (!SidesUsable(w, h, image, false)) return;
  LoadGray16(f, kData, w, h, false, image);
  if (!LoadSucceeded(image.Status)) return;
  AddCommentField(image, b + 94, 24);
  // A date stored as "\0" + "1/…" lost its leading zero.
  if (b[130] == 0 && b[132] == '/') b[130] = '0';
  AddCommentField(image, b + 130, 80);
  AddCommentField(image, b + 210, 80);
}

// ============================================================================ SBIG

void LoadSbig(const std::string& path, TAImage& image) {
  if (!HasExtension(path, {".sbi", ".08b", ".st4"})) return;
  TBinaryFile f;
  if (!f.Open(path) || (f.Size() != 31680 && f.Size() != 31872)) return;
  constexpr int32_t w = 192, h = 165;
  image.SetSize(w, h, false);
  if (!ReadPlaneSamples(f, 0, *image.MainPlane, 1, false, true)) {
    image.Status |= kStatusFailed;
    return;
  }
  image.Header.SetGeometry(w, h, false, 8);
  if (f.Size() == 31872) {
    uint8_t t[2][80];
    if (!f.ReadAt(31681, t[0], 80) || !f.ReadAt(31764, t[1], 80)) {
      image.Status |= kStatusFailed;
      return;
    }
    for (auto& text : t)
      if (text[0] != 0) AddCommentField(image, text, 80);
  }
  image.Status |= kStatusLoaded;
}

// ============================================================================ Cookbook

void LoadCookbook(const std::string& path, TAImage& image) {
  const std::string ext = LowerExtension(path);
  if (ext == ".pix") {
    TBinaryFile f;
    if (!f.Open(path)) {
      image.Status |= kStatusFailed;
      return;
    }
    LoadGray16(f, 7, 192, 165, true, image);
    return;
  }
  struct TPart {
    char Suffix;
    int64_t Bytes;
  };
  static constexpr std::array<TPart, 3> kP1 = {{{'1', 61236}, {'2', 61236}, {'3', 60480}}};
  static constexpr std::array<TPart, 2> kPa = {{{'a', 63000}, {'b', 58968}}};
  int32_t w = 0;
  const TPart* parts = nullptr;
  size_t count = 0;
  if (ext == ".p1") {
    w = 378, parts = kP1.data(), count = kP1.size();
  } else if (ext == ".pa") {
    w = 252, parts = kPa.data(), count = kPa.size();
  } else {
    return;
  }
  constexpr int32_t h = 242;
  std::vector<uint8_t> bytes(size_t(w) * h * 2, 0);
  size_t at = 0;
  for (size_t i = 0; i < count; ++i) {
    const TPart& part = parts[i];
    TBinaryFile f;
    // The opened file is the first part; a missing later part leaves its rows 0.
    if (f.Open(i == 0 ? path : Companion(path, part.Suffix))) {
      if (!f.ReadAt(7, bytes.data() + at, part.Bytes)) {
        image.Status |= kStatusFailed;
        return;
      }
    } else if (i == 0) {
      image.Status |= kStatusFailed;
      return;
    }
    at += size_t(part.Bytes);
  }
  image.SetSize(w, h, false);
  DecodeU16Rows(bytes.data(), *image.MainPlane, true);
  image.Header.SetGeometry(w, h, false, 16);
  image.Status |= kStatusLoaded;
}

// ============================================================================ Lynxx, Electrim

void LoadLynxx(const std::string& path, TAImage& image) {
  if (!HasExtension(path, {".ccd", ".lnx"})) return;
  TBinaryFile f;
  if (!f.Open(path) || f.Size() < 47000 || f.Size() > 49000) return;
  constexpr int32_t w = 192, h = 165, rowBytes = 288;
  std::vector<uint8_t> bytes(size_t(rowBytes) * h);
  if (!f.ReadAt(0, bytes.data(), int64_t(bytes.size()))) {
    image.Status |= kStatusFailed;
    return;
  }
  image.SetSize(w, h, false);
  for (int32_t r = 0; r < h; ++r) {
    const uint8_t* s = bytes.data() + size_t(r) * rowBytes;
    float* d = image.MainPlane->RowPointer(0, h - 1 - r);
    // Three bytes hold two 12-bit pixels; the middle byte carries both high nibbles.
    for (int32_t x = 0; x < w; x += 2, s += 3) {
      d[x] = float(s[0] + (s[1] & 0x0F) * 256);
      d[x + 1] = float(s[2] + (s[1] >> 4) * 256);
    }
  }
  image.Header.SetGeometry(w, h, false, 16);
  image.Status |= kStatusLoaded;
}

// ============================================================================ DTA

void LoadDta(const std::string& path, TAImage& image) {
  if (!HasExtension(path, {".img"})) return;
  TBinaryFile f;
  if (!f.Open(path)) {
    image.Status |= kStatusFailed;
    return;
  }
  const int64_t size = f.Size();
  if (size == 128566 || size == 192566) {
    const bool wide = size == 192566;
    const int32_t w = wide ? 378 : 252, h = 242;
    struct TBlock {
      int64_t At, Bytes;
    };
    static constexpr TBlock k252[] = {{528, 63000}, {64528, 58968}};
    static constexpr TBlock k378[] = {{528, 61236}, {64528, 61236}, {128528, 60480}};
    std::vector<uint8_t> bytes(size_t(w) * h * 2);
    size_t at = 0;
    for (const TBlock& b : wide ? std::span<const TBlock>(k378) : std::span<const TBlock>(k252)) {
      if (!f.ReadAt(b.At, bytes.data() + at, b.Bytes)) {
        image.Status |= kStatusFailed;
        return;
      }
      at += size_t(b.Bytes);
    }
    uint8_t head[16], tail[28];
    if (!f.ReadAt(0, head, 16) || !f.ReadAt(size - 28, tail, 28)) {
      image.Status |= kStatusFailed;
      return;
    }
    image.SetSize(w, h, false);
    DecodeU16Rows(bytes.data(), *image.MainPlane, true);
    image.Header.SetGeometry(w, h, false, 16);
    const double exposure = double(GetU16LE(head + 4)) * GetU16LE(head + 6) / 1000.0;
    const double temperature = GetI16LE(head + 14) / 10.0;  // below zero for cooled chips
    std::string c = FormatFixed(exposure, 3) + "s " + FormatFixed(temperature, 1) + "\xC2\xB0 ";
    c += std::to_string(GetU16LE(tail)) + "/" + std::to_string(tail[2]) + "/" +
         std::to_string(tail[3]) + " " + std::to_string(tail[4]) + ":" +
         std::to_string(tail[5]) + ":" + std::to_string(tail[6]) + "." +
         std::to_string(tail[7]) + " " + FieldText(tail + 8, 20);
    image.Header.AddComment(c);
    image.Status |= kStatusLoaded;
    return;
  }

  // Other sizes: a header of optional blocks in front of the samples.
  uint8_t b[160] = {};
  const int64_t got = f.ReadSome(0, b, int64_t(sizeof b));
  int64_t pos = 0;
  bool ok = true;
  auto u16 = [&](int64_t at) {
    if (at + 2 > got) {
      ok = false;
      return 0;
    }
    return int(GetU16LE(b + at));
  };
  if (u16(0) > 10) pos += 6;
  pos += 2 + 8;
  const int32_t w = u16(pos), h = u16(pos + 2);
  pos += 4 + 14;
  if (u16(pos) == 2) pos += 4;
  pos += 2 + 62;
  if (pos + 1 > got) ok = false;
  if (ok && b[pos] != 0) pos += 8;
  pos += 1 + 29;
  if (!ok) {
    image.Status |= kStatusFailed;
    return;
  }
  if (w < 1 || w > 9999 || h < 1 || h > 9999) return;
  LoadGray16(f, pos, w, h, true, image);
}

// ============================================================================ TGA

void LoadTga(const std::string& path, TAImage& image) {
  if (!HasExtension(path, {".tga"})) return;
  TBinaryFile f;
  uint8_t b[18];
  if (!f.Open(path) || !f.ReadAt(0, b, 18)) {
    image.Status |= kStatusFailed;
    return;
  }
  const int32_t type = b[2], depth = b[16];
  const int32_t w = GetU16LE(b + 12), h = GetU16LE(b + 14);
  int32_t bytesPerPixel = 0;
  if ((type == 1 || type == 3) && depth == 8) bytesPerPixel = 1;
  if (type == 2 && (depth == 24 || depth == 32)) bytesPerPixel = depth / 8;
  if (bytesPerPixel == 0) return;  // run-length types and depths without a decoder here
  if (!SidesUsable(w, h, image, false)) return;
  // The identification field and the colour map (present when its type byte says so)
  // come before the pixels.
  const int64_t mapBytes = b[1] != 0 ? int64_t(GetU16LE(b + 5)) * ((b[7] + 7) / 8) : 0;
  const int64_t offset = 18 + b[0] + mapBytes;
  if (!f.Holds(offset, int64_t(w) * h * bytesPerPixel)) {
    image.Status |= kStatusFailed;
    return;
  }
  const bool topRowFirst = (b[17] & 0x20) != 0;
  const bool colour = bytesPerPixel > 1;
  image.SetSize(w, h, colour);
  if (colour)
    ReadTgaColour(f, offset, bytesPerPixel, topRowFirst, image);
  else if (!ReadPlaneSamples(f, offset, *image.MainPlane, 1, false, topRowFirst))
    image.Status |= kStatusFailed;
  if (image.Status & kStatusFailed) return;
  image.Header.SetGeometry(w, h, colour, 8);
  image.Status |= kStatusLoaded8Bit;
}

// ============================================================================ headerless

void LoadHeaderlessDump(const std::string& path, TAImage& image) {
  struct TDump {
    int64_t Bytes;
    int32_t W, H;
  };
  static constexpr TDump kDumps[] = {{218080, 376, 290}, {872320, 752, 580},
                                     {165000, 330, 250}, {660000, 660, 500},
                                     {261120, 510, 256}, {295800, 510, 290},
                                     {522240, 510, 512}};
  if (IsPseudoPath(path)) return;
  TBinaryFile f;
  if (!f.Open(path)) return;
  for (const TDump& d : kDumps)
    if (f.Size() == d.Bytes) {
      LoadGray16(f, 0, d.W, d.H, true, image);
      return;
    }
}

// ============================================================================ registration

void RegisterLegacyLoaders(TLoaderTable& table) {
  auto entry = [&](int32_t slot, const char* name, void (*load)(const std::string&, TAImage&)) {
    table.Register(slot, name, [load](const TLoadRequest& rq, TAImage& image) {
      if (!IsPseudoPath(rq.Path)) load(rq.Path, image);
    });
  };
  entry(kSlotTextImage, "text image", &LoadTextImage);
  entry(kSlotCcdTextHeader, "CCD text-header image", &LoadCcdTextHeader);
  entry(kSlotHisis, "HISIS", &LoadHisis);
  entry(kSlotSbig, "SBIG", &LoadSbig);
  entry(kSlotCookbook, "Cookbook", &LoadCookbook);
  entry(kSlotLynxx, "Lynxx, Electrim", &LoadLynxx);
  entry(kSlotDta, "DTA", &LoadDta);
  entry(kSlotTga, "TGA", &LoadTga);
  entry(kSlotHeaderlessDump, "headerless CCD dump", &LoadHeaderlessDump);
}

}  // namespace orlu
