// TIFF: the program's reader of plain uncompressed strips (everything else goes to the
// image library), and the uncompressed writers of image data and views.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "fits/ImaFilesPvt.h"
#include "formats/LoadStatus.h"
#include "formats/SampleRows.h"
#include "formats/uFiles.h"
#include "formats/uRaster.h"
#include "formats/uRasterPvt.h"
#include "image/ImaColor.h"
#include "image/LibThreads.h"
#include "visual/ImaRender.h"

namespace orlu {

namespace {

class TFd {
 public:
  explicit TFd(const std::string& path) : Fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)) {
    struct stat st {};
    if (Fd >= 0 && (::fstat(Fd, &st) != 0 || !S_ISREG(st.st_mode))) {
      ::close(Fd);
      Fd = -1;
    }
    Size = Fd >= 0 ? int64_t(st.st_size) : 0;
  }
  ~TFd() {
    if (Fd >= 0) ::close(Fd);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  // Exactly n bytes at offset; false when the file ends before.
  bool Read(int64_t offset, void* buf, std::size_t n) const {
    if (Fd < 0 || offset < 0 || offset > Size || int64_t(n) > Size - offset) return false;
    std::size_t got = 0;
    while (got < n) {
      const ssize_t r = ::pread(Fd, static_cast<char*>(buf) + got, n - got, off_t(offset + int64_t(got)));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return false;
      got += std::size_t(r);
    }
    return true;
  }
  int Fd;
  int64_t Size;
};

// What the first directory of a TIFF file says, as far as the reader needs it.
struct TTiffInfo {
  bool BigEndian = false;
  int64_t Width = 0;
  int64_t Height = 0;
  int32_t Samples = 1;
  int32_t Bits = 1;
  bool BitsUniform = true;
  int32_t Compression = 1;
  int32_t Photometric = -1;
  int32_t Planar = 1;
  int32_t SampleFormat = 1;
  int64_t RowsPerStrip = 0;  // 0: not given (one strip)
  bool Tiled = false;
  std::vector<int64_t> StripOffsets;
  std::vector<int64_t> StripCounts;
  std::string Description;
};

// Caps on what a directory may announce; a file beyond them is damaged or hostile.
constexpr uint32_t kMaxEntries = 4096;
constexpr uint32_t kMaxStrips = 1u << 22;
constexpr uint32_t kMaxDescription = 16u << 20;

int32_t TypeSize(uint16_t type) {
  switch (type) {
    case 1: case 2: case 6: case 7: return 1;
    case 3: case 8: return 2;
    case 4: case 9: case 11: return 4;
    case 5: case 10: case 12: return 8;
    default: return 0;
  }
}

// Parses the first directory; false when the file is not a classic TIFF or a value lies
// outside the file.
bool ReadTiffInfo(const TFd& f, TTiffInfo& info) {
  uint8_t h[8];
  if (!f.Read(0, h, 8)) return false;
  if (h[0] == 'I' && h[1] == 'I') info.BigEndian = false;
  else if (h[0] == 'M' && h[1] == 'M') info.BigEndian = true;
  else return false;
  const bool be = info.BigEndian;
  auto u16 = [be](const uint8_t* p) -> uint32_t { return be ? uint32_t(p[0] << 8 | p[1]) : Le16(p); };
  auto u32 = [be](const uint8_t* p) -> uint32_t {
    return be ? uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3] : Le32(p);
  };
  if (u16(h + 2) != 42) return false;  // BigTIFF (43) and others go to the library
  const int64_t ifd = u32(h + 4);
  uint8_t cnt[2];
  if (!f.Read(ifd, cnt, 2)) return false;
  const uint32_t n = u16(cnt);
  if (n == 0 || n > kMaxEntries) return false;
  std::vector<uint8_t> dir(std::size_t(n) * 12);
  if (!f.Read(ifd + 2, dir.data(), dir.size())) return false;

  // The values of an entry as unsigned integers (SHORT or LONG); false when out of the file.
  auto values = [&](const uint8_t* e, std::vector<int64_t>& out, uint32_t maxCount) {
    const uint16_t type = uint16_t(u16(e + 2));
    const uint32_t count = u32(e + 4);
    if ((type != 3 && type != 4) || count == 0 || count > maxCount) return false;
    const int64_t bytes = int64_t(count) * TypeSize(type);
    std::vector<uint8_t> raw(static_cast<std::size_t>(bytes));
    if (bytes <= 4) std::memcpy(raw.data(), e + 8, std::size_t(bytes));
    else if (!f.Read(u32(e + 8), raw.data(), raw.size())) return false;
    out.resize(count);
    for (uint32_t i = 0; i < count; ++i)
      out[i] = type == 3 ? u16(raw.data() + 2 * i) : u32(raw.data() + 4 * i);
    return true;
  };
  auto one = [&](const uint8_t* e, int64_t& v) {
    std::vector<int64_t> tmp;
    if (!values(e, tmp, 1u << 16)) return false;
    v = tmp[0];
    return true;
  };
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t* e = dir.data() + 12 * i;
    const uint32_t tag = u16(e);
    int64_t v = 0;
    std::vector<int64_t> list;
    switch (tag) {
      case 256: if (!one(e, info.Width)) return false; break;
      case 257: if (!one(e, info.Height)) return false; break;
      case 258:
        if (!values(e, list, 64)) return false;
        info.Bits = int32_t(list[0]);
        for (int64_t b : list) info.BitsUniform &= b == list[0];
        break;
      case 259: if (!one(e, v)) return false; info.Compression = int32_t(v); break;
      case 262: if (!one(e, v)) return false; info.Photometric = int32_t(v); break;
      case 273: if (!values(e, info.StripOffsets, kMaxStrips)) return false; break;
      case 277: if (!one(e, v)) return false; info.Samples = int32_t(std::min<int64_t>(v, 64)); break;
      case 278: if (!one(e, info.RowsPerStrip)) return false; break;
      case 279: if (!values(e, info.StripCounts, kMaxStrips)) return false; break;
      case 284: if (!one(e, v)) return false; info.Planar = int32_t(v); break;
      case 339: if (!one(e, v)) return false; info.SampleFormat = int32_t(v); break;
      case 322: case 323: case 324: case 325: info.Tiled = true; break;
      case 270: {
        const uint16_t type = uint16_t(u16(e + 2));
        const uint32_t count = u32(e + 4);
        if (type != 2 || count == 0 || count > kMaxDescription) break;
        info.Description.resize(count);
        if (count <= 4) std::memcpy(info.Description.data(), e + 8, count);
        else if (!f.Read(u32(e + 8), info.Description.data(), count)) info.Description.clear();
        while (!info.Description.empty() && info.Description.back() == '\0')
          info.Description.pop_back();
        break;
      }
      default: break;
    }
  }
  return true;
}

// A description that is a FITS header: the header text form, or cards from SIMPLE on.
bool IsFitsHeaderText(const std::string& text) {
  return text.rfind("FITS_HEADER", 0) == 0 || text.rfind("SIMPLE  =", 0) == 0;
}

// The directory describes data the program reads itself: one uncompressed strip layout of
// gray or RGB samples of 8 or 16 unsigned bits or 32 bits (integer or float).
bool PlainStrips(const TTiffInfo& t) {
  if (t.Tiled || t.Compression != 1 || t.Planar != 1 || !t.BitsUniform) return false;
  if (!((t.Photometric == 1 && t.Samples == 1) || (t.Photometric == 2 && t.Samples == 3)))
    return false;
  if (t.Bits == 8 || t.Bits == 16) return t.SampleFormat == 1;
  return t.Bits == 32 && t.SampleFormat >= 1 && t.SampleFormat <= 3;
}

void TakeFitsHeader(const TTiffInfo& t, TAImage& image, bool fileRowsInImageOrder) {
  if (!IsFitsHeaderText(t.Description)) return;
  std::string_view text = t.Description;
  if (text.rfind("FITS_HEADER", 0) == 0) text.remove_prefix(std::min<std::size_t>(12, text.size()));
  image.Header.ImportText(text);
  image.Header.FinishEnd();
  image.Status |= kStatusFitsHeader;
  image.LoadWcsFromHeader();
  // The header's solution counts rows as the file stores them, top row first.
  if (!fileRowsInImageOrder && image.HasWcs) image.Wcs.FlipWCS(image.Width(), image.Height(), true);
}

// One sample as a float: 8 or 16 bits unsigned, 32 bits unsigned, signed (2) or float (3).
template <int Bytes, bool Swap, int Format>
inline float Sample(const uint8_t* q) {
  if constexpr (Bytes == 1) {
    return q[0];
  } else if constexpr (Bytes == 2) {
    return float(Swap ? uint32_t(q[0] << 8 | q[1]) : Le16(q));
  } else {
    const uint32_t u = Swap ? uint32_t(q[0]) << 24 | uint32_t(q[1]) << 16 | uint32_t(q[2]) << 8 | q[3]
                            : Le32(q);
    if constexpr (Format == 3) {
      float v;
      std::memcpy(&v, &u, 4);
      return v;
    } else if constexpr (Format == 2) {
      return float(int32_t(u));
    } else {
      return float(u);
    }
  }
}

template <int Bytes, bool Swap, int Format>
void ConvertRowT(const uint8_t* src, int32_t w, int32_t samples, float* r, float* g, float* b) {
  if (samples == 1) {
    for (int32_t x = 0; x < w; ++x) g[x] = Sample<Bytes, Swap, Format>(src + int64_t(x) * Bytes);
    return;
  }
  for (int32_t x = 0; x < w; ++x, src += 3 * Bytes) {
    r[x] = Sample<Bytes, Swap, Format>(src);
    g[x] = Sample<Bytes, Swap, Format>(src + Bytes);
    b[x] = Sample<Bytes, Swap, Format>(src + 2 * Bytes);
  }
}

// A file row of gray (g) or interleaved RGB samples into the planes' row.
void ConvertRow(const uint8_t* src, int32_t w, int32_t samples, int32_t bytes, bool swap,
                int32_t format, float* r, float* g, float* b) {
  if (bytes == 1) {
    if (samples == 1) WidenU8(src, g, w);
    else SplitRgb8(src, r, g, b, w);
    return;
  }
  if (bytes == 2) {
    if (samples == 1) WidenU16(src, g, w, swap);
    else SplitRgb16(src, r, g, b, w, swap);
    return;
  }
  if (format == 3) {
    if (swap) return ConvertRowT<4, true, 3>(src, w, samples, r, g, b);
    return ConvertRowT<4, false, 3>(src, w, samples, r, g, b);
  }
  if (format == 2) {
    if (swap) return ConvertRowT<4, true, 2>(src, w, samples, r, g, b);
    return ConvertRowT<4, false, 2>(src, w, samples, r, g, b);
  }
  if (swap) return ConvertRowT<4, true, 1>(src, w, samples, r, g, b);
  return ConvertRowT<4, false, 1>(src, w, samples, r, g, b);
}

}  // namespace

void LoadTiff(const std::string& path, TAImage& image) {
  if (!HasExtension(path, {".tif", ".tiff", ".237", ".255"})) return;
  LoadTiffFile(path, image, true);
}

void LoadTiffFile(const std::string& path, TAImage& image, bool useLibrary) {
  TFd f(path);
  TTiffInfo t;
  if (f.Fd < 0 || !ReadTiffInfo(f, t) || t.Width <= 0 || t.Height <= 0) {
    // Not a classic TIFF the program can parse; the library may still know it (BigTIFF).
    if (f.Fd >= 0) {
      uint8_t h[4];
      if (f.Read(0, h, 4) && ((h[0] == 'I' && h[1] == 'I' && h[2] == 43) ||
                              (h[0] == 'M' && h[1] == 'M' && h[3] == 43)) && useLibrary)
        LoadWithImageLibrary(path, image);
    }
    return;
  }
  if (!PlainStrips(t)) {
    if (!useLibrary) return;
    LoadWithImageLibrary(path, image);
    if (LoadSucceeded(image.Status)) TakeFitsHeader(t, image, true);
    return;
  }
  if (SideTooLarge(t.Width, t.Height)) {
    image.Status |= kStatusRefusedTooLarge;
    return;
  }
  const int32_t w = int32_t(t.Width), h = int32_t(t.Height);
  const int32_t bytes = t.Bits / 8;
  const int64_t rowBytes = int64_t(w) * t.Samples * bytes;
  const int64_t rps = t.RowsPerStrip > 0 ? std::min<int64_t>(t.RowsPerStrip, h) : h;
  const int64_t strips = (h + rps - 1) / rps;
  // Every strip must lie in the file and hold its rows; byte counts, when given, must
  // cover them. Without byte counts the rows are taken as stored from each offset.
  if (int64_t(t.StripOffsets.size()) < strips ||
      (!t.StripCounts.empty() && int64_t(t.StripCounts.size()) < strips)) {
    image.Status |= kStatusRefusedDecoder;
    return;
  }
  for (int64_t s = 0; s < strips; ++s) {
    const int64_t need = std::min(rps, h - s * rps) * rowBytes;
    if (!t.StripCounts.empty() && t.StripCounts[std::size_t(s)] < need) {
      image.Status |= kStatusRefusedDecoder;
      return;
    }
    const int64_t off = t.StripOffsets[std::size_t(s)];
    if (off < 0 || off > f.Size || need > f.Size - off) {
      image.Status |= kStatusRefusedDecoder;
      return;
    }
  }

  const bool colour = t.Samples == 3;
  image.SetSize(w, h, colour);
  const bool swap = t.BigEndian;
  const int32_t fmt = t.SampleFormat;
  float* main = image.MainPlane->Data;
  float* red = colour ? image.RedPlane->Data : nullptr;
  float* blue = colour ? image.BluePlane->Data : nullptr;
  // Strips are read in pieces of whole rows, in parallel; file row r (top first) becomes
  // image row h - 1 - r.
  const int64_t piecesRows = std::max<int64_t>(1, std::min<int64_t>(rps, (int64_t(256) << 10) / std::max<int64_t>(rowBytes, 1)));
  const int64_t piecesPerStrip = (rps + piecesRows - 1) / piecesRows;
  const int64_t pieceCount = strips * piecesPerStrip;
  std::atomic<bool> readError{false};
  TSyncCounter counter(WorkerCount(0));
  ParallelCall(counter, [&] {
    std::vector<uint8_t> buf;
    for (;;) {
      const int32_t k = counter.NextIndex();
      if (k < 0 || k >= pieceCount) break;
      const int64_t s = k / piecesPerStrip, p = k % piecesPerStrip;
      const int64_t stripRows = std::min(rps, h - s * rps);
      const int64_t r0 = p * piecesRows;
      if (r0 >= stripRows) continue;
      const int64_t n = std::min(piecesRows, stripRows - r0);
      buf.resize(std::size_t(n * rowBytes));
      if (!f.Read(t.StripOffsets[std::size_t(s)] + r0 * rowBytes, buf.data(), buf.size())) {
        readError = true;
        continue;
      }
      for (int64_t j = 0; j < n; ++j) {
        const int64_t fileRow = s * rps + r0 + j;
        const int64_t at = (h - 1 - fileRow) * w;
        ConvertRow(buf.data() + j * rowBytes, w, t.Samples, bytes, swap, fmt,
                   colour ? red + at : nullptr, main + at, colour ? blue + at : nullptr);
      }
    }
  });
  if (readError) {
    image.Status |= kStatusRefusedDecoder;
    return;
  }
  if (t.Bits == 32 && fmt == 3) image.IsFloat = 1;
  image.Header.SetGeometry(w, h, colour, t.Bits == 32 && fmt == 3 ? -32 : t.Bits);
  TakeFitsHeader(t, image, false);
  if (t.Bits == 8) image.Status |= kStatusLoaded8Bit;
  image.Status |= kStatusLoaded;
}

// ============================================================================ writing

bool WritePlainTiff(const std::filesystem::path& path, int32_t width, int32_t height,
                    int32_t spp, int32_t bits,
                    const std::function<void(int32_t fileRow, uint8_t* out)>& row) {
  if (width < 1 || height < 1 || (spp != 1 && spp != 3) || (bits != 8 && bits != 16))
    return false;
  const int64_t rowBytes = int64_t(width) * spp * (bits / 8);
  const int64_t rps = std::clamp<int64_t>((int64_t(1) << 20) / rowBytes, 1, height);
  const int64_t strips = (height + rps - 1) / rps;
  constexpr int32_t kEntries = 10;
  const int64_t ifdEnd = 8 + 2 + 12 * kEntries + 4;
  const int64_t bitsAt = ifdEnd;
  const int64_t offsetsAt = bitsAt + (spp == 3 ? 6 : 0) + 2;  // even, as TIFF asks
  const int64_t countsAt = offsetsAt + (strips > 1 ? 4 * strips : 0);
  const int64_t dataAt = countsAt + (strips > 1 ? 4 * strips : 0);
  const int64_t total = dataAt + rowBytes * height;
  // Classic TIFF offsets are 32-bit: a larger file cannot be described.
  if (total > int64_t(UINT32_MAX)) return false;

  std::vector<uint8_t> head(std::size_t(dataAt), 0);
  uint8_t* p = head.data();
  p[0] = p[1] = 'I';
  PutLe16(p + 2, 42);
  PutLe32(p + 4, 8);
  PutLe16(p + 8, kEntries);
  uint8_t* e = p + 10;
  auto entry = [&e](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
    PutLe16(e, tag);
    PutLe16(e + 2, type);
    PutLe32(e + 4, count);
    if (type == 3 && count == 1) PutLe16(e + 8, value);
    else PutLe32(e + 8, value);
    e += 12;
  };
  entry(254, 4, 1, 0);
  entry(256, 3, 1, uint32_t(width));
  entry(257, 3, 1, uint32_t(height));
  entry(258, 3, uint32_t(spp), spp == 3 ? uint32_t(bitsAt) : uint32_t(bits));
  entry(259, 3, 1, 1);
  entry(262, 3, 1, spp == 3 ? 2 : 1);
  entry(273, 4, uint32_t(strips), strips > 1 ? uint32_t(offsetsAt) : uint32_t(dataAt));
  entry(277, 3, 1, uint32_t(spp));
  entry(278, 4, 1, uint32_t(rps));
  entry(279, 4, uint32_t(strips), strips > 1 ? uint32_t(countsAt) : uint32_t(rowBytes * height));
  PutLe32(e, 0);  // no next directory
  if (spp == 3)
    for (int k = 0; k < 3; ++k) PutLe16(p + bitsAt + 2 * k, uint32_t(bits));
  if (strips > 1) {
    for (int64_t s = 0; s < strips; ++s) {
      const int64_t rows = std::min(rps, height - s * rps);
      PutLe32(p + offsetsAt + 4 * s, uint32_t(dataAt + s * rps * rowBytes));
      PutLe32(p + countsAt + 4 * s, uint32_t(rows * rowBytes));
    }
  }
  TSafeFileWriter out(path);
  if (!out.Open()) return false;
  out.Preallocate(total);
  if (!out.Write(head.data(), head.size())) return false;
  std::vector<uint8_t> buf(std::size_t(rps * rowBytes));
  for (int64_t s = 0; s < strips; ++s) {
    const int64_t rows = std::min(rps, height - s * rps);
    for (int64_t j = 0; j < rows; ++j) row(int32_t(s * rps + j), buf.data() + j * rowBytes);
    if (!out.Write(buf.data(), std::size_t(rows * rowBytes))) return false;
  }
  return out.Commit();
}

namespace {

inline uint32_t TiffLevel(float v, uint32_t max) {
  if (!(v > 0.0f)) return 0;
  if (v >= float(max)) return max;
  return uint32_t(std::nearbyint(v));
}

}  // namespace

bool WriteTiffFromImage(TAImage& image, bool stretched, const std::filesystem::path& path) {
  image.RefreshMinMax();
  const int32_t w = image.Width(), h = image.Height();
  const bool colour = image.IsColour();
  const int32_t spp = colour ? 3 : 1;
  const bool sixteen = stretched || image.DataMax > 255.0f || image.DataMin < 0.0f;
  const uint32_t max = sixteen ? 65535 : 255;
  std::unique_ptr<TVisualStretch16> stretch;
  std::vector<float> sr, sg, sb;
  if (stretched) {
    stretch = std::make_unique<TVisualStretch16>(image);
    sr.resize(size_t(w));
    sg.resize(size_t(w));
    sb.resize(size_t(w));
  }
  return WritePlainTiff(path, w, h, spp, sixteen ? 16 : 8, [&](int32_t fileRow, uint8_t* out) {
    const int32_t y = h - 1 - fileRow;
    const float *r, *g, *b;
    if (stretch) {
      stretch->GetRow(y, sr.data(), sg.data(), sb.data());
      r = sr.data();
      g = sg.data();
      b = sb.data();
    } else {
      g = image.MainPlane->RowPointer(0, y);
      r = colour ? image.RedPlane->RowPointer(0, y) : g;
      b = colour ? image.BluePlane->RowPointer(0, y) : g;
    }
    for (int32_t x = 0; x < w; ++x) {
      const float v[3] = {r[x], g[x], b[x]};
      for (int32_t c = 0; c < spp; ++c) {
        const uint32_t l = TiffLevel(colour ? v[c] : g[x], max);
        if (sixteen) PutLe16(out + 2 * (int64_t(x) * spp + c), l);
        else out[int64_t(x) * spp + c] = uint8_t(l);
      }
    }
  });
}

bool WriteViewTiff8(const TBgraBitmap& view, const std::filesystem::path& path, bool gray) {
  const int32_t w = view.Width(), h = view.Height();
  if (!view.Pixels() || w < 1 || h < 1) return false;
  return WritePlainTiff(path, w, h, gray ? 1 : 3, 8, [&](int32_t fileRow, uint8_t* out) {
    const uint32_t* src = view.Pixels() + int64_t(h - 1 - fileRow) * w;
    for (int32_t x = 0; x < w; ++x) {
      const uint32_t c = src[x];
      const uint32_t r = (c >> 16) & 0xFF, g = (c >> 8) & 0xFF, b = c & 0xFF;
      if (gray) {
        out[x] = uint8_t((77 * r + 151 * g + 28 * b) / 256);
      } else {
        out[3 * x] = uint8_t(r);
        out[3 * x + 1] = uint8_t(g);
        out[3 * x + 2] = uint8_t(b);
      }
    }
  });
}

bool ReadFileHead(const std::string& path, uint8_t* buf, std::size_t n) {
  const TFd f(path);
  return f.Read(0, buf, n);
}

}  // namespace orlu
