// PNG codec: chunk walk with CRC checks, zlib inflate with unfiltering and Adam7, and the
// writer's filtering and libdeflate compression.
#include "formats/uPng.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <libdeflate.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fits/ImaFilesPvt.h"
#include "image/LibThreads.h"

namespace orlu {

namespace {

constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr int32_t kMaxSide = 30000;  // the writer's limit; the reader's is the loader's
// Deflate cannot expand a byte of input to more than about 1032 bytes of output: image data
// that would need more than that is damaged, and is refused before any allocation.
constexpr int64_t kMaxInflateRatio = 1040;

uint32_t Be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

bool IsType(const uint8_t* t, const char* name) { return std::memcmp(t, name, 4) == 0; }

// Reads the whole regular file; false for anything else or a read error.
bool ReadWholeFile(const std::filesystem::path& path, PixelBlockPtr<uint8_t>& buf,
                   std::size_t& size, bool& outOfMemory) {
  size = 0;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
  if (ok) {
    size = std::size_t(st.st_size);
    buf = AllocPixels<uint8_t>(size);
    if (!buf) {
      outOfMemory = true;
      ok = false;
    }
  }
  std::size_t got = 0;
  while (ok && got < size) {
    const ssize_t r = ::pread(fd, buf.get() + got, size - got, off_t(got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += std::size_t(r);
  }
  ::close(fd);
  size = got;
  return ok;
}

// One chunk of a file held in memory.
struct TChunk {
  const uint8_t* Type;
  const uint8_t* Data;
  uint32_t Length;
  bool CrcOk() const {
    const uint32_t crc = PngCrc32(0, Type, 4 + std::size_t(Length));
    return crc == Be32(Data + Length);
  }
};

// Walks the chunks from offset 8 until IEND. False when a length exceeds 2^31 - 1 or the
// chunk (with its CRC) runs past the end of the bytes; fn returning false stops the walk.
template <class Fn>
bool WalkChunks(const uint8_t* data, std::size_t size, Fn&& fn) {
  std::size_t pos = 8;
  while (pos < size) {
    if (size - pos < 12) return false;
    const uint32_t len = Be32(data + pos);
    if (len > TPNGManager::kMaxChunkLength || size - pos - 12 < len) return false;
    const TChunk c{data + pos + 4, data + pos + 8, len};
    if (!fn(c)) return true;
    if (IsType(c.Type, "IEND")) return true;
    pos += 12 + std::size_t(len);
  }
  return true;
}

int32_t SamplesPerPixel(int32_t colourType) {
  switch (colourType) {
    case 2: return 3;
    case 4: return 2;
    case 6: return 4;
    default: return 1;
  }
}

bool ValidDepth(int32_t colourType, int32_t depth) {
  switch (colourType) {
    case 0: return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    case 3: return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case 2: case 4: case 6: return depth == 8 || depth == 16;
    default: return false;
  }
}

int64_t RowBytesFor(int64_t width, int32_t colourType, int32_t depth) {
  return (width * SamplesPerPixel(colourType) * depth + 7) / 8;
}

uint8_t PaethPredictor(int a, int b, int c) {
  const int p = a + b - c;
  const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  if (pa <= pb && pa <= pc) return uint8_t(a);
  return uint8_t(pb <= pc ? b : c);
}

// Removes the filter of one row in place; prior is the unfiltered row above (null for the
// first). Unknown filter types leave the row as it is.
template <int Bpp>
void UnfilterRowT(uint8_t filter, uint8_t* row, const uint8_t* prior, int64_t n) {
  switch (filter) {
    case 1:
      for (int64_t i = Bpp; i < n; ++i) row[i] = uint8_t(row[i] + row[i - Bpp]);
      break;
    case 2:
      if (prior)
        for (int64_t i = 0; i < n; ++i) row[i] = uint8_t(row[i] + prior[i]);
      break;
    case 3:
      if (prior) {
        for (int64_t i = 0; i < Bpp && i < n; ++i) row[i] = uint8_t(row[i] + (prior[i] >> 1));
        for (int64_t i = Bpp; i < n; ++i)
          row[i] = uint8_t(row[i] + ((int(row[i - Bpp]) + prior[i]) >> 1));
      } else {
        for (int64_t i = Bpp; i < n; ++i) row[i] = uint8_t(row[i] + (row[i - Bpp] >> 1));
      }
      break;
    case 4:
      if (prior) {
        for (int64_t i = 0; i < Bpp && i < n; ++i) row[i] = uint8_t(row[i] + prior[i]);
        for (int64_t i = Bpp; i < n; ++i)
          row[i] = uint8_t(row[i] + PaethPredictor(row[i - Bpp], prior[i], prior[i - Bpp]));
      } else {
        // Paeth with a zero row above predicts the left neighbour.
        for (int64_t i = Bpp; i < n; ++i) row[i] = uint8_t(row[i] + row[i - Bpp]);
      }
      break;
    default:
      break;
  }
}

void UnfilterRow(int32_t bpp, uint8_t filter, uint8_t* row, const uint8_t* prior, int64_t n) {
  switch (bpp) {
    case 1: UnfilterRowT<1>(filter, row, prior, n); break;
    case 2: UnfilterRowT<2>(filter, row, prior, n); break;
    case 3: UnfilterRowT<3>(filter, row, prior, n); break;
    case 4: UnfilterRowT<4>(filter, row, prior, n); break;
    case 6: UnfilterRowT<6>(filter, row, prior, n); break;
    default: UnfilterRowT<8>(filter, row, prior, n); break;
  }
}

// Filters one row in place, right to left so that each left neighbour is still raw; prior
// is the raw row above (null for the first row).
template <int Bpp>
void FilterRowT(uint8_t filter, uint8_t* row, const uint8_t* prior, int64_t n) {
  switch (filter) {
    case 1:
      for (int64_t i = n - 1; i >= Bpp; --i) row[i] = uint8_t(row[i] - row[i - Bpp]);
      break;
    case 2:
      if (prior)
        for (int64_t i = 0; i < n; ++i) row[i] = uint8_t(row[i] - prior[i]);
      break;
    case 3:
      for (int64_t i = n - 1; i >= 0; --i) {
        const int left = i >= Bpp ? row[i - Bpp] : 0;
        const int up = prior ? prior[i] : 0;
        row[i] = uint8_t(row[i] - ((left + up) >> 1));
      }
      break;
    case 4:
      for (int64_t i = n - 1; i >= 0; --i) {
        const int left = i >= Bpp ? row[i - Bpp] : 0;
        const int up = prior ? prior[i] : 0;
        const int upLeft = prior && i >= Bpp ? prior[i - Bpp] : 0;
        row[i] = uint8_t(row[i] - PaethPredictor(left, up, upLeft));
      }
      break;
    default:
      break;
  }
}

void FilterRow(int32_t bpp, uint8_t filter, uint8_t* row, const uint8_t* prior, int64_t n) {
  switch (bpp) {
    case 1: FilterRowT<1>(filter, row, prior, n); break;
    case 2: FilterRowT<2>(filter, row, prior, n); break;
    case 3: FilterRowT<3>(filter, row, prior, n); break;
    case 4: FilterRowT<4>(filter, row, prior, n); break;
    case 6: FilterRowT<6>(filter, row, prior, n); break;
    default: FilterRowT<8>(filter, row, prior, n); break;
  }
}

// Sum of the absolute residuals (as signed bytes) of filtering a raw row.
int64_t FilterCost(int32_t bpp, uint8_t filter, const uint8_t* row, const uint8_t* prior,
                   int64_t n) {
  int64_t sum = 0;
  for (int64_t i = 0; i < n; ++i) {
    const int left = i >= bpp ? row[i - bpp] : 0;
    const int up = prior ? prior[i] : 0;
    const int upLeft = prior && i >= bpp ? prior[i - bpp] : 0;
    int pred = 0;
    switch (filter) {
      case 1: pred = left; break;
      case 2: pred = up; break;
      case 3: pred = (left + up) >> 1; break;
      default: pred = PaethPredictor(left, up, upLeft); break;
    }
    const int8_t r = int8_t(uint8_t(row[i] - pred));
    sum += r < 0 ? -r : r;
  }
  return sum;
}

// Adam7 passes: first column, first row, column step, row step.
constexpr int32_t kAdam7[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                  {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};

int64_t PassSize(int64_t full, int32_t start, int32_t step) {
  return full > start ? (full - start + step - 1) / step : 0;
}

// Bits of pixel i of a packed row (bits < 8 per pixel).
inline uint32_t GetBits(const uint8_t* row, int64_t i, int32_t bits) {
  const int64_t bit = i * bits;
  const int shift = 8 - bits - int(bit & 7);
  return (row[bit >> 3] >> shift) & ((1u << bits) - 1);
}
inline void PutBits(uint8_t* row, int64_t i, int32_t bits, uint32_t v) {
  const int64_t bit = i * bits;
  const int shift = 8 - bits - int(bit & 7);
  const uint8_t m = uint8_t(((1u << bits) - 1) << shift);
  row[bit >> 3] = uint8_t((row[bit >> 3] & ~m) | ((v << shift) & m));
}

struct TDeflater {
  libdeflate_compressor* C = nullptr;
  explicit TDeflater(int level) : C(libdeflate_alloc_compressor(level)) {}
  ~TDeflater() {
    if (C) libdeflate_free_compressor(C);
  }
};

}  // namespace

uint32_t PngCrc32(uint32_t crc, const void* data, std::size_t size) {
  return libdeflate_crc32(crc, data, size);
}

// ============================================================================ reading

int64_t TPNGManager::RowBytes() const { return RowBytesFor(Width, ColourType, BitDepth); }

void TPNGManager::ComputeLayout() {
  IsPalette = ColourType == 3;
  IsRgb = ColourType == 2 || ColourType == 6;
  HasAlpha = ColourType == 4 || ColourType == 6;
  BytesPerPixel = BitDepth < 8 ? 1 : SamplesPerPixel(ColourType) * BitDepth / 8;
  Stride = RowBytes() + 1;
}

bool TPNGManager::ParseInfo(const uint8_t* data, std::size_t size) {
  InfoValid = false;
  Width = Height = BitDepth = ColourType = 0;
  IsPalette = IsRgb = HasAlpha = Interlaced = 0;
  BytesPerPixel = 0;
  Stride = 0;
  Palette.fill(0);
  PaletteCount = 0;
  PaletteInverted = 0;
  HeaderText.clear();
  if (size < 8 + 25 || std::memcmp(data, kSignature, 4) != 0) return false;

  bool first = true, haveHeader = false, bad = false, headerTextSeen = false;
  const bool walked = WalkChunks(data, size, [&](const TChunk& c) {
    if (first) {
      first = false;
      if (!IsType(c.Type, "IHDR") || c.Length != 13 || !c.CrcOk()) return !(bad = true);
      const uint32_t w = Be32(c.Data), h = Be32(c.Data + 4);
      const int32_t depth = c.Data[8], type = c.Data[9];
      if (w == 0 || h == 0 || w > 0x7FFFFFFFu || h > 0x7FFFFFFFu || !ValidDepth(type, depth) ||
          c.Data[10] != 0 || c.Data[11] != 0 || c.Data[12] > 1)
        return !(bad = true);
      Width = int32_t(w);
      Height = int32_t(h);
      BitDepth = depth;
      ColourType = type;
      Interlaced = c.Data[12];
      haveHeader = true;
      return true;
    }
    if (IsType(c.Type, "PLTE") && ColourType == 3 && PaletteCount == 0) {
      if (c.Length < 3 || c.Length > 768 || c.Length % 3 != 0 || !c.CrcOk())
        return !(bad = true);
      std::memcpy(Palette.data(), c.Data, c.Length);
      PaletteCount = int32_t(c.Length / 3);
    } else if (IsType(c.Type, "tEXt") && !headerTextSeen) {
      const std::string_view prefix("FITS_HEADER\0", 12);
      // An ancillary chunk with a bad CRC is skipped, as other readers do.
      if (c.Length >= prefix.size() &&
          std::memcmp(c.Data, prefix.data(), prefix.size()) == 0 && c.CrcOk()) {
        HeaderText.assign(reinterpret_cast<const char*>(c.Data), c.Length);
        headerTextSeen = true;
      }
    }
    return true;
  });
  if (!walked || bad || !haveHeader) return false;
  if (ColourType == 3 && PaletteCount == 0) return false;
  const int l0 = Palette[0] + 2 * Palette[1] + Palette[2];
  const int l1 = Palette[3] + 2 * Palette[4] + Palette[5];
  PaletteInverted = l1 < l0;
  ComputeLayout();
  InfoValid = true;
  return true;
}

bool TPNGManager::ReadInfo(const std::filesystem::path& path) {
  OutOfMemory = false;
  InfoValid = false;
  PixelBlockPtr<uint8_t> buf;
  std::size_t size = 0;
  if (!ReadWholeFile(path, buf, size, OutOfMemory)) return false;
  return ParseInfo(buf.get(), size);
}

bool TPNGManager::Decode(const std::filesystem::path& path, bool unfilter) {
  OutOfMemory = false;
  InfoValid = false;
  Pixels.reset();
  PixelBlockPtr<uint8_t> buf;
  std::size_t size = 0;
  if (!ReadWholeFile(path, buf, size, OutOfMemory)) return false;
  if (size <= 19 || !ParseInfo(buf.get(), size)) return false;
  if (Interlaced && !unfilter) return false;
  if (Width > kMaxSide || Height > kMaxSide) return false;
  return Inflate(buf.get(), size, unfilter);
}

bool TPNGManager::Inflate(const uint8_t* data, std::size_t size, bool unfilter) {
  // Image data chunks, checked before anything is allocated.
  std::vector<TChunk> idat;
  int64_t compressed = 0;
  bool bad = false;
  WalkChunks(data, size, [&](const TChunk& c) {
    if (!IsType(c.Type, "IDAT")) return true;
    if (!c.CrcOk()) return !(bad = true);
    idat.push_back(c);
    compressed += c.Length;
    return true;
  });
  if (bad || idat.empty()) return false;

  const int64_t rowBytes = RowBytes();
  int64_t needed = 0;  // bytes of the zlib stream's output
  if (Interlaced) {
    for (const auto& p : kAdam7) {
      const int64_t pw = PassSize(Width, p[0], p[2]), ph = PassSize(Height, p[1], p[3]);
      if (pw > 0 && ph > 0) needed += ph * (RowBytesFor(pw, ColourType, BitDepth) + 1);
    }
  } else {
    needed = int64_t(Height) * Stride;
  }
  if (needed / kMaxInflateRatio > compressed) return false;

  Pixels = AllocPixels<uint8_t>(std::size_t(int64_t(Height) * Stride));
  PixelBlockPtr<uint8_t> passes;
  if (Interlaced) passes = AllocPixels<uint8_t>(std::size_t(needed));
  if (!Pixels || (Interlaced && !passes)) {
    Pixels.reset();
    OutOfMemory = true;
    return false;
  }
  uint8_t* out = Interlaced ? passes.get() : Pixels.get();

  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) {
    Pixels.reset();
    OutOfMemory = true;
    return false;
  }
  // Rows are unfiltered as soon as the stream has delivered them, while they are in cache.
  int64_t produced = 0, rowsDone = 0;
  const bool plainUnfilter = unfilter && !Interlaced;
  auto unfilterReady = [&]() {
    if (!plainUnfilter) return;
    const int64_t ready = produced / Stride;
    for (; rowsDone < ready; ++rowsDone) {
      uint8_t* row = out + rowsDone * Stride;
      const uint8_t* prior = rowsDone > 0 ? row - Stride + 1 : nullptr;
      UnfilterRow(BytesPerPixel, row[0], row + 1, prior, rowBytes);
      row[0] = 0;
    }
  };
  constexpr int64_t kSlice = 256 * 1024;
  bool ended = false, failed = false;
  for (std::size_t k = 0; k < idat.size() && !ended && !failed && produced < needed; ++k) {
    zs.next_in = const_cast<Bytef*>(idat[k].Data);
    zs.avail_in = idat[k].Length;
    while (produced < needed) {
      zs.next_out = out + produced;
      zs.avail_out = uInt(std::min<int64_t>(needed - produced, kSlice));
      const int rc = inflate(&zs, Z_NO_FLUSH);
      produced = int64_t(zs.next_out - out);
      unfilterReady();
      if (rc == Z_STREAM_END) {
        ended = true;
        break;
      }
      if (rc != Z_OK && rc != Z_BUF_ERROR) {
        failed = true;
        break;
      }
      // Output space left over means the chunk's input is used up: on to the next chunk.
      if (zs.avail_out > 0) {
        if (zs.avail_in > 0) failed = true;
        break;
      }
    }
  }
  inflateEnd(&zs);
  // Every row must have arrived; a stream that stops short (truncated file) is damaged.
  if (failed || produced < needed) {
    Pixels.reset();
    return false;
  }
  if (!Interlaced) return true;

  // Unfilter each pass and scatter its pixels into the plain layout.
  std::memset(Pixels.get(), 0, std::size_t(int64_t(Height) * Stride));
  const int32_t bitsPerPixel = SamplesPerPixel(ColourType) * BitDepth;
  const int64_t pixelBytes = bitsPerPixel / 8;
  uint8_t* pass = passes.get();
  for (const auto& p : kAdam7) {
    const int64_t pw = PassSize(Width, p[0], p[2]), ph = PassSize(Height, p[1], p[3]);
    if (pw == 0 || ph == 0) continue;
    const int64_t passStride = RowBytesFor(pw, ColourType, BitDepth) + 1;
    for (int64_t j = 0; j < ph; ++j) {
      uint8_t* row = pass + j * passStride;
      const uint8_t* prior = j > 0 ? row - passStride + 1 : nullptr;
      UnfilterRow(BytesPerPixel, row[0], row + 1, prior, passStride - 1);
      uint8_t* dst = Pixels.get() + (p[1] + j * p[3]) * Stride + 1;
      for (int64_t i = 0; i < pw; ++i) {
        const int64_t x = p[0] + i * p[2];
        if (bitsPerPixel < 8)
          PutBits(dst, x, bitsPerPixel, GetBits(row + 1, i, bitsPerPixel));
        else
          std::memcpy(dst + x * pixelBytes, row + 1 + i * pixelBytes, std::size_t(pixelBytes));
      }
    }
    pass += ph * passStride;
  }
  return true;
}

// ============================================================================ samples

bool TPNGManager::PixelAt(int32_t x, int32_t y, int32_t& r, int32_t& g, int32_t& b,
                          int32_t& a) const {
  if (!Pixels || x < 0 || y < 0 || x >= Width || y >= Height) return false;
  const uint8_t* row = Pixels.get() + int64_t(y) * Stride + 1;
  a = 0;
  if (BitDepth < 8) {
    const uint32_t v = GetBits(row, x, BitDepth);
    if (IsPalette) {
      r = Palette[v * 3];
      g = Palette[v * 3 + 1];
      b = Palette[v * 3 + 2];
    } else {
      r = g = b = int32_t(v * 255 / ((1u << BitDepth) - 1));
    }
    return true;
  }
  const int32_t spp = SamplesPerPixel(ColourType);
  auto sample = [&](int32_t k) -> int32_t {
    if (BitDepth == 16) {
      const uint8_t* s = row + (int64_t(x) * spp + k) * 2;
      return s[0] << 8 | s[1];
    }
    return row[int64_t(x) * spp + k];
  };
  if (IsPalette) {
    const int32_t v = sample(0);
    r = Palette[size_t(v) * 3];
    g = Palette[size_t(v) * 3 + 1];
    b = Palette[size_t(v) * 3 + 2];
  } else if (IsRgb) {
    r = sample(0);
    g = sample(1);
    b = sample(2);
    if (HasAlpha) a = sample(3);
  } else {
    r = g = b = sample(0);
    if (HasAlpha) a = sample(1);
  }
  return true;
}

void TPNGManager::RowToFloats(int32_t y, float* r, float* g, float* b) const {
  if (!Pixels || y < 0 || y >= Height) return;
  const uint8_t* row = Pixels.get() + int64_t(y) * Stride + 1;
  const int32_t w = Width;
  if (IsPalette) {
    for (int32_t x = 0; x < w; ++x) {
      const uint32_t v = BitDepth < 8 ? GetBits(row, x, BitDepth) : row[x];
      if (r) r[x] = Palette[v * 3];
      g[x] = Palette[v * 3 + 1];
      if (b) b[x] = Palette[v * 3 + 2];
    }
    return;
  }
  if (BitDepth < 8) {
    const uint32_t scale = 255 / ((1u << BitDepth) - 1);
    for (int32_t x = 0; x < w; ++x) g[x] = float(GetBits(row, x, BitDepth) * scale);
    return;
  }
  const int32_t spp = SamplesPerPixel(ColourType);
  if (BitDepth == 16) {
    auto s16 = [row](int64_t i) { return float(row[2 * i] << 8 | row[2 * i + 1]); };
    if (IsRgb) {
      for (int32_t x = 0; x < w; ++x) {
        const int64_t i = int64_t(x) * spp;
        r[x] = s16(i);
        g[x] = s16(i + 1);
        b[x] = s16(i + 2);
      }
    } else {
      for (int32_t x = 0; x < w; ++x) g[x] = s16(int64_t(x) * spp);
    }
    return;
  }
  if (IsRgb) {
    for (int32_t x = 0; x < w; ++x) {
      const uint8_t* s = row + int64_t(x) * spp;
      r[x] = s[0];
      g[x] = s[1];
      b[x] = s[2];
    }
  } else {
    for (int32_t x = 0; x < w; ++x) g[x] = row[int64_t(x) * spp];
  }
}

// ============================================================================ writing

bool TPNGManager::Allocate() {
  OutOfMemory = false;
  Pixels.reset();
  HeaderText.clear();
  if (Width < 1 || Height < 1 || Width > kMaxSide || Height > kMaxSide) return false;
  if (BitDepth != 8 && BitDepth != 16) return false;
  ColourType = (IsRgb ? 2 : 0) + (HasAlpha ? 4 : 0);
  Interlaced = 0;
  ComputeLayout();
  const int64_t total = int64_t(Height) * Stride;
  Pixels = AllocPixels<uint8_t>(std::size_t(total));
  if (!Pixels) {
    OutOfMemory = true;
    return false;
  }
  for (int64_t y = 0; y < Height; ++y) Pixels[std::size_t(y * Stride)] = 0;
  return true;
}

void TPNGManager::SetGrayPixel(int32_t x, int32_t y, int32_t alpha, int32_t value) {
  if (!Pixels || IsRgb || x < 0 || y < 0 || x >= Width || y >= Height) return;
  uint8_t* p = Pixels.get() + int64_t(y) * Stride + 1 + int64_t(x) * BytesPerPixel;
  if (BitDepth == 16) {
    const int32_t v = std::clamp(value, 0, 65535);
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
    if (HasAlpha) {
      const int32_t av = std::clamp(alpha, 0, 65535);
      p[2] = uint8_t(av >> 8);
      p[3] = uint8_t(av);
    }
  } else {
    p[0] = uint8_t(value);
    if (HasAlpha) p[1] = uint8_t(alpha);
  }
}

void TPNGManager::SetColourPixel(int32_t x, int32_t y, int32_t alpha, int32_t red,
                                 int32_t green, int32_t blue) {
  if (!Pixels || !IsRgb || x < 0 || y < 0 || x >= Width || y >= Height) return;
  uint8_t* p = Pixels.get() + int64_t(y) * Stride + 1 + int64_t(x) * BytesPerPixel;
  const int32_t v[4] = {red, green, blue, alpha};
  const int n = HasAlpha ? 4 : 3;
  for (int k = 0; k < n; ++k) {
    if (BitDepth == 16) {
      const int32_t s = std::clamp(v[k], 0, 65535);
      p[2 * k] = uint8_t(s >> 8);
      p[2 * k + 1] = uint8_t(s);
    } else {
      p[k] = uint8_t(v[k]);
    }
  }
}

void TPNGManager::FilterForWrite() {
  const int64_t n = RowBytes();
  const int32_t bpp = BytesPerPixel;
  const int32_t h = Height;
  // Bands of 16 rows, each filtered bottom-up in place: a band needs the raw row above its
  // first row, which the band above may already have filtered, so those rows are copied
  // first. Bands then run in parallel, each writing only its own rows.
  constexpr int32_t kBand = 16;
  const int32_t bands = (h + kBand - 1) / kBand;
  std::vector<uint8_t> above(std::size_t(bands) * std::size_t(n));
  for (int32_t k = 1; k < bands; ++k)
    std::memcpy(above.data() + std::size_t(k) * std::size_t(n),
                Pixels.get() + int64_t(k * kBand - 1) * Stride + 1, std::size_t(n));
  uint8_t* base = Pixels.get();
  const int64_t stride = Stride;
  const bool sixteen = BitDepth == 16;
  ParallelRows(bands, 0, [&](int32_t k) {
    const int32_t first = k * kBand;
    const int32_t last = std::min(h, first + kBand) - 1;
    const uint8_t* prior0 = k > 0 ? above.data() + std::size_t(k) * std::size_t(n) : nullptr;
    // One filter per band, chosen at its last row (the first one processed): Paeth for
    // 16-bit data, else the filter of smallest residual sum, ties to the higher number.
    uint8_t filter = 4;
    if (!sixteen) {
      const uint8_t* row = base + int64_t(last) * stride + 1;
      const uint8_t* prior = last > first ? row - stride : prior0;
      int64_t best = -1;
      for (uint8_t f = 1; f <= 4; ++f) {
        const int64_t c = FilterCost(bpp, f, row, prior, n);
        if (best < 0 || c <= best) {
          best = c;
          filter = f;
        }
      }
    }
    for (int32_t y = last; y >= first; --y) {
      uint8_t* row = base + int64_t(y) * stride;
      const uint8_t* prior = y > first ? row - stride + 1 : prior0;
      FilterRow(bpp, filter, row + 1, prior, n);
      row[0] = filter;
    }
  });
}

bool TPNGManager::WritePng(const std::filesystem::path& path) {
  if (!Pixels || Width < 1 || Height < 1) return false;
  FilterForWrite();
  const std::size_t raw = std::size_t(int64_t(Height) * Stride);
  TDeflater deflater(6);
  if (!deflater.C) return false;
  const std::size_t bound = libdeflate_zlib_compress_bound(deflater.C, raw);
  PixelBlockPtr<uint8_t> z = AllocPixels<uint8_t>(bound);
  if (!z) {
    OutOfMemory = true;
    return false;
  }
  const std::size_t zsize = libdeflate_zlib_compress(deflater.C, Pixels.get(), raw, z.get(), bound);
  if (zsize == 0) return false;

  // Chunk heads and CRCs live in one list so the gather write can point at them.
  struct TFrame {
    uint8_t Head[8];
    uint8_t Crc[4];
  };
  const std::size_t idatCount = (zsize + kIdatChunkBytes - 1) / kIdatChunkBytes;
  std::vector<TFrame> frames(idatCount + 3);
  std::vector<TSafeFileWriter::TPiece> pieces;
  pieces.reserve(3 * frames.size() + 1);
  pieces.push_back({kSignature, sizeof kSignature});
  std::size_t fi = 0;
  auto addChunk = [&](const char* type, const uint8_t* data, std::size_t len) {
    TFrame& f = frames[fi++];
    PutBe32(f.Head, uint32_t(len));
    std::memcpy(f.Head + 4, type, 4);
    uint32_t crc = PngCrc32(0, f.Head + 4, 4);
    if (len > 0) crc = PngCrc32(crc, data, len);
    PutBe32(f.Crc, crc);
    pieces.push_back({f.Head, 8});
    if (len > 0) pieces.push_back({data, len});
    pieces.push_back({f.Crc, 4});
  };
  uint8_t ihdr[13];
  PutBe32(ihdr, uint32_t(Width));
  PutBe32(ihdr + 4, uint32_t(Height));
  ihdr[8] = uint8_t(BitDepth);
  ihdr[9] = uint8_t(ColourType);
  ihdr[10] = ihdr[11] = ihdr[12] = 0;
  addChunk("IHDR", ihdr, sizeof ihdr);
  if (!HeaderText.empty() && HeaderText.size() <= kMaxChunkLength)
    addChunk("tEXt", reinterpret_cast<const uint8_t*>(HeaderText.data()), HeaderText.size());
  for (std::size_t k = 0; k < idatCount; ++k) {
    const std::size_t at = k * kIdatChunkBytes;
    addChunk("IDAT", z.get() + at, std::min<std::size_t>(kIdatChunkBytes, zsize - at));
  }
  addChunk("IEND", nullptr, 0);

  TSafeFileWriter out(path);
  if (!out.Open()) return false;
  int64_t total = 0;
  for (const auto& p : pieces) total += int64_t(p.Size);
  out.Preallocate(total);
  if (!out.WriteGather(pieces.data(), pieces.size())) return false;
  return out.Commit();
}

}  // namespace orlu
