// Camera RAW loader, the LibRaw mosaic path, the RAW decoder layer on LibRaw's processing,
// and the metadata readers. Metadata come from hostile files: every offset, count and
// nesting is bounded by the source size and by fixed budgets.
#include "formats/uLibraw.h"

#include <fcntl.h>
#include <libraw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "base/TextNumbers.h"
#include "formats/LoadStatus.h"
#include "formats/uFiles.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"

namespace orlu {

// ============================================================================ byte sources

bool TMemorySource::Read(uint64_t offset, void* buf, size_t n) const {
  if (offset > Size_ || n > Size_ - offset) return false;
  if (n) std::memcpy(buf, Data_ + offset, n);
  return true;
}

TFileSource::TFileSource(const std::string& path) {
  Fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat st {};
  if (Fd_ >= 0 && ::fstat(Fd_, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
    Size_ = uint64_t(st.st_size);
}

TFileSource::~TFileSource() {
  if (Fd_ >= 0) ::close(Fd_);
}

bool TFileSource::Read(uint64_t offset, void* buf, size_t n) const {
  if (offset > Size_ || n > Size_ - offset) return false;
  auto* p = static_cast<uint8_t*>(buf);
  size_t done = 0;
  while (done < n) {
    const ssize_t r = ::pread(Fd_, p + done, n - done, off_t(offset + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    done += size_t(r);
  }
  return true;
}

// ============================================================================ text helpers
namespace {

// Control characters would split a line in ImportText and let file text forge cards.
std::string CleanText(std::string_view s) {
  const size_t nul = s.find('\0');
  std::string t(s.substr(0, nul));
  for (char& c : t)
    if (static_cast<unsigned char>(c) < 32 || c == 127) c = ' ';
  return Trim(t);
}

void AddLine(std::string& text, std::string_view line) {
  if (!text.empty()) text += "\r\n";
  text += line;
}

bool Digits(std::string_view s, size_t at, size_t n, int32_t& v) {
  v = 0;
  for (size_t i = at; i < at + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  return true;
}

// "yyyy:mm:dd hh:mm:ss" as "yyyy-mm-ddThh:mm:ss"; empty for a date that is no date (the
// all-zero and blank dates cameras write when the clock was never set).
std::string ExifDateToIso(std::string_view s) {
  if (s.size() < 19) return {};
  int32_t y, mo, d, h, mi, se;
  if (!Digits(s, 0, 4, y) || !Digits(s, 5, 2, mo) || !Digits(s, 8, 2, d) || !Digits(s, 11, 2, h) ||
      !Digits(s, 14, 2, mi) || !Digits(s, 17, 2, se))
    return {};
  if (y < 1 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || se > 60) return {};
  std::string t(s.substr(0, 19));
  t[4] = '-';
  t[7] = '-';
  t[10] = 'T';
  t[13] = ':';
  t[16] = ':';
  return t;
}

// ============================================================================ TIFF / EXIF

constexpr int32_t kMaxDirEntries = 100;
constexpr int32_t kMaxExifDirs = 16;
// A FITS header in the image description is at most the header reader's block limit.
constexpr uint64_t kMaxDescription = 200 * 2880;
constexpr size_t kMaxTagText = 79;

bool IsTiffHeader(const uint8_t* p) {
  return (p[0] == 'I' && p[1] == 'I' && p[2] == 42 && p[3] == 0) ||
         (p[0] == 'M' && p[1] == 'M' && p[2] == 0 && p[3] == 42);
}

// Offset of the TIFF header, or false when the source holds none where one is looked for.
bool FindTiffHeader(const TByteSource& src, uint64_t& base) {
  uint8_t head[16];
  if (src.Read(0, head, 8) && IsTiffHeader(head)) {
    base = 0;
    return true;
  }
  if (src.Read(0, head, 16) && std::memcmp(head + 6, "Exif", 4) == 0 && IsTiffHeader(head + 12)) {
    base = 12;
    return true;
  }
  static constexpr uint8_t kIntel[8] = {'I', 'I', 42, 0, 8, 0, 0, 0};
  static constexpr uint8_t kMotorola[8] = {'M', 'M', 0, 42, 0, 0, 0, 8};
  uint8_t block[256];
  for (uint64_t b = 0; b < 16; ++b) {
    const uint64_t at = b * 240;
    if (at >= src.Size()) break;
    const size_t n = size_t(std::min<uint64_t>(256, src.Size() - at));
    if (n < 8 || !src.Read(at, block, n)) break;
    for (size_t i = 0; i + 8 <= n; ++i) {
      if (std::memcmp(block + i, kIntel, 8) == 0 || std::memcmp(block + i, kMotorola, 8) == 0) {
        base = at + i;
        return true;
      }
    }
  }
  return false;
}

class TTiffWalker {
 public:
  TTiffWalker(const TByteSource& src, uint64_t base, bool big, TExifMetadata& out)
      : Src_(src), Base_(base), Big_(big), Out_(out) {}

  void Walk(uint32_t firstDir) {
    std::vector<uint32_t> queue{firstDir};
    std::set<uint32_t> seen;
    for (size_t q = 0; q < queue.size() && int32_t(seen.size()) < kMaxExifDirs; ++q) {
      if (!seen.insert(queue[q]).second) continue;  // a directory pointing back at itself
      ReadDirectory(queue[q], queue);
    }
  }

  bool U16(uint64_t at, uint32_t& v) const {
    uint8_t b[2];
    if (!Src_.Read(at, b, 2)) return false;
    v = Big_ ? (uint32_t(b[0]) << 8 | b[1]) : (uint32_t(b[1]) << 8 | b[0]);
    return true;
  }
  bool U32(uint64_t at, uint32_t& v) const {
    uint8_t b[4];
    if (!Src_.Read(at, b, 4)) return false;
    v = Big_ ? (uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3])
             : (uint32_t(b[3]) << 24 | uint32_t(b[2]) << 16 | uint32_t(b[1]) << 8 | b[0]);
    return true;
  }

 private:
  static uint64_t TypeSize(uint32_t type) {
    switch (type) {
      case 1: case 2: case 6: case 7: return 1;
      case 3: case 8: return 2;
      case 4: case 9: case 11: case 13: return 4;
      case 5: case 10: case 12: return 8;
      default: return 0;
    }
  }

  void ReadDirectory(uint32_t dir, std::vector<uint32_t>& queue) {
    uint32_t n = 0;
    if (!U16(Base_ + dir, n)) return;
    n = std::min<uint32_t>(n, kMaxDirEntries);
    for (uint32_t i = 0; i < n; ++i) {
      const uint64_t e = Base_ + dir + 2 + uint64_t(i) * 12;
      uint32_t tag = 0, type = 0, count = 0;
      if (!U16(e, tag) || !U16(e + 2, type) || !U32(e + 4, count)) return;
      const uint64_t bytes = TypeSize(type) * count;  // at most 8 × (2^32 - 1): no overflow
      uint64_t at = e + 8;
      if (bytes > 4) {
        uint32_t off = 0;
        if (!U32(e + 8, off)) return;
        at = Base_ + off;
      }
      if (bytes == 0 || at > Src_.Size() || bytes > Src_.Size() - at) continue;
      Entry(tag, type, count, at, queue);
    }
  }

  bool FirstInt(uint32_t type, uint64_t at, uint32_t& v) const {
    if (type == 3) return U16(at, v);
    if (type == 4 || type == 13) return U32(at, v);
    if (type == 1 || type == 7) {
      uint8_t b;
      if (!Src_.Read(at, &b, 1)) return false;
      v = b;
      return true;
    }
    return false;
  }

  std::string Text(uint64_t at, uint64_t count, uint64_t limit) const {
    std::string s(size_t(std::min(count, limit)), '\0');
    if (!Src_.Read(at, s.data(), s.size())) return {};
    const size_t nul = s.find('\0');
    if (nul != std::string::npos) s.resize(nul);
    return s;
  }

  void Entry(uint32_t tag, uint32_t type, uint32_t count, uint64_t at,
             std::vector<uint32_t>& queue) {
    uint32_t v = 0;
    auto toInt = [](uint32_t x) { return int32_t(std::min<uint32_t>(x, INT32_MAX)); };
    switch (tag) {
      case 256: if (FirstInt(type, at, v)) Out_.Width = toInt(v); return;
      case 257: if (FirstInt(type, at, v)) Out_.Height = toInt(v); return;
      case 258: if (FirstInt(type, at, v)) Out_.BitsPerSample = toInt(v); return;
      case 259: if (FirstInt(type, at, v)) Out_.Compression = toInt(v); return;
      case 277: if (FirstInt(type, at, v)) Out_.SamplesPerPixel = toInt(v); return;
      case 339: if (FirstInt(type, at, v)) Out_.SampleFormat = toInt(v); return;
      case 273: if (FirstInt(type, at, v)) Out_.StripOffset = Base_ + v; return;
      case 34665:
        if (FirstInt(type, at, v)) queue.push_back(v);
        return;
      case 33434: {
        uint32_t num = 0, den = 0;
        // A zero denominator is no exposure at all, not an infinite one.
        if (type != 5 || !U32(at, num) || !U32(at + 4, den) || den == 0) return;
        double t = double(num) / double(den);
        if (t < 0.001) t = 0.001;
        std::string value = FormatFixed(t, 3);
        if (value.size() < 20) value.insert(0, 20 - value.size(), ' ');
        AddLine(Out_.Text, "EXPOSURE= " + value);
        return;
      }
      default: break;
    }
    if (type != 2) return;
    if (tag == 270) {
      const std::string d = Text(at, count, kMaxDescription);
      if (d.size() >= 9 && d.compare(2, 3, "MPL") == 0 && d[8] == '=') {
        Out_.FitsHeader = d;
        return;
      }
    }
    if (tag == 271) Out_.Make = CleanText(Text(at, count, kMaxTagText));
    if (tag == 272) Out_.Model = CleanText(Text(at, count, kMaxTagText));
    if (count <= 4 || tag == 36868) return;
    const std::string s = Text(at, count, kMaxTagText);
    if (tag == 306 || tag == 36867) {
      const std::string iso = ExifDateToIso(s);
      if (!iso.empty()) AddLine(Out_.Text, "DATE-OBS= '" + iso + "'");
      return;
    }
    const std::string c = CleanText(s);
    if (!c.empty()) AddLine(Out_.Text, "COMMENT " + c);
  }

  const TByteSource& Src_;
  uint64_t Base_;
  bool Big_;
  TExifMetadata& Out_;
};

// ============================================================================ Canon CIFF

constexpr int32_t kMaxCiffDepth = 8;
constexpr int32_t kMaxCiffEntries = 500;
// Distinct sub-heaps may share one directory; the budget keeps their tree small.
constexpr int32_t kCiffEntryBudget = 20000;

class TCiffWalker {
 public:
  explicit TCiffWalker(const TByteSource& src) : Src_(src) {}

  void Heap(uint64_t start, uint64_t len, int32_t depth) {
    if (depth > kMaxCiffDepth || len < 4 || !Seen_.insert({start, len}).second) return;
    uint32_t dirOff = 0, count = 0;
    if (!U32(start + len - 4, dirOff) || dirOff > len - 4 || !U16(start + dirOff, count)) return;
    if (count > uint32_t(kMaxCiffEntries)) count = 0;
    for (uint32_t i = 0; i < count && Budget_ > 0; ++i, --Budget_) {
      const uint64_t e = dirOff + 2 + uint64_t(i) * 10;
      if (e + 10 > len - 4) return;
      uint32_t tag = 0, size = 0, off = 0;
      if (!U16(start + e, tag) || !U32(start + e + 2, size) || !U32(start + e + 6, off)) return;
      if (off > len || size > len - off) continue;  // outside this heap
      Entry(tag, start + off, size, depth);
    }
  }

  std::string Text;

 private:
  bool U16(uint64_t at, uint32_t& v) const {
    uint8_t b[2];
    if (!Src_.Read(at, b, 2)) return false;
    v = uint32_t(b[1]) << 8 | b[0];
    return true;
  }
  bool U32(uint64_t at, uint32_t& v) const {
    uint8_t b[4];
    if (!Src_.Read(at, b, 4)) return false;
    v = uint32_t(b[3]) << 24 | uint32_t(b[2]) << 16 | uint32_t(b[1]) << 8 | b[0];
    return true;
  }

  void Entry(uint32_t tag, uint64_t at, uint32_t size, int32_t depth) {
    const uint32_t kind = tag & 0xFF00;
    if (kind == 0x2800 || kind == 0x3000) {
      Heap(at, size, depth + 1);
      return;
    }
    if (tag == 0x180E) {
      uint32_t t = 0;
      if (size < 4 || !U32(at, t) || t == 0) return;  // 0: the clock was never set
      const time_t tt = time_t(t);
      struct tm tm {};
      if (!gmtime_r(&tt, &tm)) return;
      char buf[48];
      std::snprintf(buf, sizeof buf, "DATE-OBS= '%04d-%02d-%02dT%02d:%02d:%02d'", tm.tm_year + 1900,
                    tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
      AddLine(Text, buf);
      return;
    }
    if (tag != 0x080A && tag != 0x0815) return;
    std::string raw(std::min<uint32_t>(size, 64), '\0');
    if (!Src_.Read(at, raw.data(), raw.size())) return;
    const size_t nul = raw.find('\0');
    const std::string first = CleanText(raw);
    if (!first.empty()) AddLine(Text, "COMMENT " + first);
    if (tag == 0x080A && nul != std::string::npos) {
      const std::string second = CleanText(std::string_view(raw).substr(nul + 1));
      if (!second.empty()) AddLine(Text, "COMMENT " + second);
    }
  }

  const TByteSource& Src_;
  std::set<std::pair<uint64_t, uint64_t>> Seen_;
  int32_t Budget_ = kCiffEntryBudget;
};

}  // namespace

int32_t TExifMetadata::BitDepth() const {
  if (SamplesPerPixel == 3) return BitsPerSample > INT32_MAX / 3 ? INT32_MAX : BitsPerSample * 3;
  if (SamplesPerPixel == 2 || SamplesPerPixel == 4) return 64;
  return BitsPerSample;
}

TExifMetadata ReadExifMetadata(const TByteSource& source) {
  TExifMetadata out;
  try {
    uint64_t base = 0;
    if (!FindTiffHeader(source, base)) return out;
    uint8_t order = 0;
    if (!source.Read(base, &order, 1)) return out;
    out.HasTiffHeader = true;
    TTiffWalker walker(source, base, order == 'M', out);
    uint32_t first = 0;
    if (walker.U32(base + 4, first)) walker.Walk(first);
  } catch (...) {
    // Only memory can run short here; what was read so far stays.
  }
  return out;
}

std::string ReadCiffMetadata(const TByteSource& source) {
  uint8_t head[10];
  if (!source.Read(0, head, 10) || head[0] != 'I' || head[1] != 'I' ||
      std::memcmp(head + 6, "HEAP", 4) != 0)
    return {};
  const uint64_t headerLength =
      uint64_t(head[2]) | uint64_t(head[3]) << 8 | uint64_t(head[4]) << 16 | uint64_t(head[5]) << 24;
  if (headerLength >= source.Size()) return {};
  TCiffWalker walker(source);
  try {
    walker.Heap(headerLength, source.Size() - headerLength, 0);
  } catch (...) {
  }
  return walker.Text;
}

// ============================================================================ LibRaw helpers
namespace {

struct TVisibleArea {
  int32_t RawWidth = 0, RawHeight = 0, Width = 0, Height = 0, Left = 0, Top = 0;
  int64_t Pitch = 0;  // samples per raw row
};

// The visible area of an unpacked context when it is acceptable and backed by one 16-bit
// mosaic buffer.
bool AcceptedArea(const libraw_data_t& ctx, TVisibleArea& a) {
  const libraw_image_sizes_t& s = ctx.sizes;
  a.RawWidth = s.raw_width;
  a.RawHeight = s.raw_height;
  a.Width = s.width;
  a.Height = s.height;
  a.Left = s.left_margin;
  a.Top = s.top_margin;
  a.Pitch = int64_t(ctx.rawdata.sizes.raw_pitch) / 2;
  const bool sizesOk = a.Width > 100 && a.Width < 25000 && a.Height > 100 && a.Height < 25000 &&
                       a.Left < 4000 && a.Top < 4000;
  return sizesOk && ctx.rawdata.raw_image != nullptr && a.Pitch >= a.RawWidth;
}

// Visible mosaic into a plane of Width × Height floats, bottom row first. Samples outside
// the raw buffer read as 0.
void CopyMosaic(const libraw_data_t& ctx, const TVisibleArea& a, float* plane) {
  const uint16_t* raw = ctx.rawdata.raw_image;
  for (int32_t r = 0; r < a.Height; ++r) {
    float* dst = plane + int64_t(r) * a.Width;
    const int64_t srcRow = int64_t(a.Height - 1 - r) + a.Top;
    if (srcRow >= a.RawHeight) {
      std::fill(dst, dst + a.Width, 0.0f);
      continue;
    }
    const uint16_t* src = raw + srcRow * a.Pitch;
    for (int32_t c = 0; c < a.Width; ++c) {
      const int64_t col = int64_t(c) + a.Left;
      dst[c] = col < a.RawWidth ? float(src[col]) : 0.0f;
    }
  }
}

// A context that reports damaged data (a short read, a corrupt compressed stream) through
// its flag instead of printing: such a file is refused rather than loaded half filled.
libraw_data_t* NewContext(bool* dataError) {
  libraw_data_t* ctx = libraw_init(0);
  if (!ctx) return nullptr;
  libraw_set_dataerror_handler(
      ctx, [](void* flag, const char*, const int) { *static_cast<bool*>(flag) = true; },
      dataError);
  libraw_set_memerror_handler(ctx, [](void*, const char*, const char*) {}, nullptr);
  return ctx;
}

// Open and unpack; false when LibRaw refuses the file or finds its data damaged.
bool OpenAndUnpack(libraw_data_t* ctx, const std::string& path, bool& dataError) {
  dataError = false;
  return libraw_open_file(ctx, path.c_str()) == LIBRAW_SUCCESS &&
         libraw_unpack(ctx) == LIBRAW_SUCCESS && !dataError;
}

// Recycles a context on every way out of a decode.
class TRecycle {
 public:
  explicit TRecycle(libraw_data_t* ctx) : Ctx_(ctx) {}
  ~TRecycle() {
    if (Ctx_) libraw_recycle(Ctx_);
  }
  void Release() { Ctx_ = nullptr; }
  TRecycle(const TRecycle&) = delete;
  TRecycle& operator=(const TRecycle&) = delete;

 private:
  libraw_data_t* Ctx_;
};

// The one LibRaw context of the mosaic path, created on first use, closed at exit.
struct TLibRawState {
  std::mutex Lock;
  libraw_data_t* Ctx = nullptr;
  bool DataError = false;
  bool Tried = false;
  bool PretendMissing = false;
  ~TLibRawState() {
    if (Ctx) libraw_close(Ctx);
  }
};

TLibRawState& LibRawState() {
  static TLibRawState state;
  return state;
}

// ============================================================================ decoder layer state

struct TKpState {
  libraw_data_t* Ctx = nullptr;
  bool DataError = false;
  bool HasData = false;
  bool Mosaic = false;
  TVisibleArea Area;
  libraw_processed_image_t* Processed = nullptr;
  double Stamp = 0;

  void Release() {
    if (Processed) libraw_dcraw_clear_mem(Processed);
    Processed = nullptr;
    if (Ctx) libraw_recycle(Ctx);
    HasData = false;
    Stamp = 0;
  }
  ~TKpState() {
    Release();
    if (Ctx) libraw_close(Ctx);
  }
};

TKpState& KpState() {
  static TKpState state;
  return state;
}

std::string WideToUtf8(const wchar_t* w) {
  std::string s;
  for (; w && *w; ++w) {
    const uint32_t c = uint32_t(*w);
    if (c < 0x80) {
      s += char(c);
    } else if (c < 0x800) {
      s += char(0xC0 | (c >> 6));
      s += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      s += char(0xE0 | (c >> 12));
      s += char(0x80 | ((c >> 6) & 0x3F));
      s += char(0x80 | (c & 0x3F));
    } else if (c < 0x110000) {
      s += char(0xF0 | (c >> 18));
      s += char(0x80 | ((c >> 12) & 0x3F));
      s += char(0x80 | ((c >> 6) & 0x3F));
      s += char(0x80 | (c & 0x3F));
    }
  }
  return s;
}

bool OpenKp(TKpState& k, const std::string& path, int32_t flags) {
  if (!k.Ctx) k.Ctx = NewContext(&k.DataError);
  if (!k.Ctx || !OpenAndUnpack(k.Ctx, path, k.DataError)) return false;
  libraw_data_t& ctx = *k.Ctx;
  k.Stamp = ctx.other.timestamp > 0 ? double(ctx.other.timestamp) : 0.0;
  if (flags & kKpMosaic) {
    k.Mosaic = true;
    return AcceptedArea(ctx, k.Area);
  }
  k.Mosaic = false;
  libraw_output_params_t& p = ctx.params;
  p.half_size = (flags & kKpHalfSize) ? 1 : 0;
  p.user_qual = (flags & kKpFastInterpolation) ? 0 : 3;  // bilinear, or AHD
  p.use_camera_wb = (flags & kKpCameraWB) ? 1 : 0;
  p.use_auto_wb = (flags & kKpSoftwareWB) ? 1 : 0;
  // Linear 16-bit samples: astronomical data are measured, not looked at.
  p.output_bps = 16;
  p.gamm[0] = 1.0;
  p.gamm[1] = 1.0;
  p.no_auto_bright = 1;
  if (libraw_dcraw_process(k.Ctx) != LIBRAW_SUCCESS || k.DataError) return false;
  int err = 0;
  k.Processed = libraw_dcraw_make_mem_image(k.Ctx, &err);
  if (!k.Processed) return false;
  const libraw_processed_image_t& im = *k.Processed;
  const uint64_t need = uint64_t(im.width) * im.height * im.colors * 2;
  const bool ok = im.type == LIBRAW_IMAGE_BITMAP && im.bits == 16 &&
                  (im.colors == 1 || im.colors == 3) && im.width > 0 && im.height > 0 &&
                  im.data_size >= need;
  libraw_recycle(k.Ctx);  // the processed copy is all that is needed from here
  return ok;
}

}  // namespace

// ============================================================================ decoder layer

int32_t kp_openw(const char* path, int32_t flags, const wchar_t* widePath) {
  TKpState& k = KpState();
  try {
    k.Release();
    const std::string p = (path && *path) ? std::string(path) : WideToUtf8(widePath);
    if (p.empty()) return 0;
    if (OpenKp(k, p, flags)) {
      k.HasData = true;
      return 1;
    }
  } catch (...) {
  }
  k.Release();
  return 0;
}

int32_t kp_stamp(double* seconds) {
  const TKpState& k = KpState();
  if (!seconds) return 0;
  *seconds = k.HasData ? k.Stamp : 0.0;
  return 1;
}

int32_t kp_extent(int32_t* width, int32_t* height) {
  const TKpState& k = KpState();
  int32_t w = 0, h = 0;
  if (k.HasData && k.Mosaic) {
    w = k.Area.Width;
    h = k.Area.Height;
  } else if (k.HasData && k.Processed) {
    w = k.Processed->width;
    h = k.Processed->height;
  }
  if (width) *width = w;
  if (height) *height = h;
  return k.HasData ? 1 : 0;
}

int32_t kp_fetch(float* red, float* green, float* blue) {
  TKpState& k = KpState();
  int32_t done = 0;
  if (k.HasData && k.Mosaic && red) {
    CopyMosaic(*k.Ctx, k.Area, red);
    done = 1;
  } else if (k.HasData && k.Processed && red && green && blue) {
    const libraw_processed_image_t& im = *k.Processed;
    const int32_t w = im.width, h = im.height, n = im.colors;
    const auto* data = reinterpret_cast<const uint8_t*>(im.data);
    float* planes[3] = {red, green, blue};
    for (int32_t r = 0; r < h; ++r) {
      const uint8_t* src = data + (int64_t(h - 1 - r) * w) * n * 2;
      const int64_t row = int64_t(r) * w;
      for (int32_t c = 0; c < w; ++c) {
        for (int32_t p = 0; p < 3; ++p) {
          uint16_t v;
          std::memcpy(&v, src + (int64_t(c) * n + (n == 3 ? p : 0)) * 2, 2);
          planes[p][row + c] = float(v);
        }
      }
    }
    done = 1;
  }
  k.Release();
  return done;
}

// ============================================================================ seams
namespace {

constexpr TRawDecoderApi kBuiltinDecoder{&kp_openw, &kp_stamp, &kp_extent, &kp_fetch};
std::atomic<const TRawDecoderApi*> gDecoder{&kBuiltinDecoder};

// The decoder library keeps one decode in flight; so does the LibRaw context.
std::mutex& DecoderLock() {
  static std::mutex m;
  return m;
}

}  // namespace

const TRawDecoderApi* RawDecoderLibrary() { return gDecoder.load(); }
void SetRawDecoderLibrary(const TRawDecoderApi* api) { gDecoder.store(api); }
void RestoreRawDecoderLibrary() { gDecoder.store(&kBuiltinDecoder); }

void PretendLibRawMissing(bool missing) {
  TLibRawState& s = LibRawState();
  std::lock_guard<std::mutex> lock(s.Lock);
  s.PretendMissing = missing;
}

// ============================================================================ loader

int32_t DcrawFlags(const TDslrOptions& o, bool preview) {
  const bool colour = o.DCColorSynthesis || preview;
  int32_t flags = o.HQInterpolation ? 0 : kKpFastInterpolation;
  if ((o.Binning2x2 && colour) || preview) flags = kKpFastInterpolation | kKpHalfSize;
  if (o.CameraWB) flags += kKpCameraWB;
  if (o.SoftwareWB) flags += kKpSoftwareWB;
  if (!colour) flags += kKpMosaic;
  return flags;
}

bool ExtensionListed(std::string_view path, std::string_view list) {
  const std::string ext = LowerExtension(path);
  if (ext.empty()) return false;
  while (!list.empty()) {
    const size_t semi = list.find(';');
    std::string item = std::string(TrimView(list.substr(0, semi)));
    list = semi == std::string_view::npos ? std::string_view() : list.substr(semi + 1);
    for (char& c : item)
      if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    if (!item.empty() && item[0] == '*') item.erase(0, 1);
    if (item.empty()) continue;
    if (item[0] != '.') item.insert(0, 1, '.');
    if (item == ext) return true;
  }
  return false;
}

namespace {

// The mosaic through LibRaw; metadata lines (possibly empty) go into the header.
void LoadLibRawMosaic(const std::string& path, const std::string& metadata, TAImage& image) {
  TLibRawState& s = LibRawState();
  std::lock_guard<std::mutex> lock(s.Lock);
  if (s.PretendMissing) return;
  if (!s.Tried) {
    s.Tried = true;
    s.Ctx = NewContext(&s.DataError);
  }
  if (!s.Ctx) return;
  TRecycle recycle(s.Ctx);
  if (!OpenAndUnpack(s.Ctx, path, s.DataError)) return;
  TVisibleArea a;
  if (!AcceptedArea(*s.Ctx, a)) return;
  if (a.Width > kMaxImageSide || a.Height > kMaxImageSide) {
    image.Status |= kStatusRefusedTooLarge;
    return;
  }
  image.SetSize(a.Width, a.Height, false);
  image.IsFloat = 0;
  CopyMosaic(*s.Ctx, a, image.MainPlane->Data);
  image.Header.SetGeometry(a.Width, a.Height, false, 16);
  if (!metadata.empty()) image.Header.ImportText(metadata);
  image.Status |= kStatusLoaded;
}

void LoadThroughDecoder(const TDslrOptions& o, const std::string& path, bool preview,
                        const std::string& metadata, TAImage& image) {
  std::lock_guard<std::mutex> lock(DecoderLock());
  const TRawDecoderApi* api = RawDecoderLibrary();
  if (!api) return;  // without the library these files cannot be opened
  const bool colour = o.DCColorSynthesis || preview;
  if (!api->OpenW(path.c_str(), DcrawFlags(o, preview), nullptr)) return;
  double t = 0;
  api->Stamp(&t);
  // Releases the decoder's data on every way out that does not fetch.
  struct TRelease {
    const TRawDecoderApi* Api;
    ~TRelease() {
      if (Api) Api->Fetch(nullptr, nullptr, nullptr);
    }
  } release{api};
  int32_t w = 0, h = 0;
  api->Extent(&w, &h);
  if (w <= 0 || h <= 0) {
    image.Status |= kStatusFailed;
    return;
  }
  if (w > kMaxImageSide || h > kMaxImageSide) {
    image.Status |= kStatusRefusedTooLarge;
    return;
  }
  image.SetSize(w, h, colour);
  image.IsFloat = 0;
  release.Api = nullptr;
  const bool fetched = colour ? api->Fetch(image.RedPlane->Data, image.MainPlane->Data,
                                           image.BluePlane->Data) != 0
                              : api->Fetch(image.MainPlane->Data, nullptr, nullptr) != 0;
  if (!fetched) {
    image.Status |= kStatusRefusedDecoder;
    return;
  }
  const int32_t scale = preview ? 2 : 1;  // previews are decoded at half size
  image.Header.SetGeometry(w * scale, h * scale, colour, 16);
  image.Status |= kStatusLoaded;
  if (t != 0) image.Header.SetDateTime("DATE-OBS", "", t / 86400.0 + 25569.0);
  if (!metadata.empty()) image.Header.ImportText(metadata);
}

}  // namespace

void LoadCameraRaw(const TDslrOptions& o, const std::string& path, bool preview,
                   TAImage& image) {
  if (IsPseudoPath(path)) return;
  const std::string ext = LowerExtension(path);
  if (ext == ".cr3") {
    LoadLibRawMosaic(path, {}, image);
    return;
  }
  if (!ExtensionListed(path, o.FileExtensions)) return;
  std::string metadata;
  TExifMetadata exif;
  {
    const TFileSource source(path);
    if (ext == ".crw") {
      metadata = ReadCiffMetadata(source);
    } else {
      exif = ReadExifMetadata(source);
      metadata = exif.Text;
    }
  }
  if (ext == ".nef" && exif.Model.find("NIKON Z ") != std::string::npos &&
      exif.Model.find("NIKON Z 5") == std::string::npos) {
    LoadLibRawMosaic(path, metadata, image);
    return;
  }
  LoadThroughDecoder(o, path, preview, metadata, image);
}

void RegisterCameraRawLoader(TLoaderTable& table) {
  table.Register(kSlotCameraRaw, "camera RAW", [](const TLoadRequest& rq, TAImage& image) {
    LoadCameraRaw(rq.Options.Dslr, rq.Path, rq.Preview != nullptr, image);
  });
}

}  // namespace orlu
