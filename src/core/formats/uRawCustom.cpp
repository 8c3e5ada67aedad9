// Custom RAW reader: rows are read one at a time with 64-bit offsets, so the memory used
// besides the image is one file row, and a short file simply leaves the rest at 0.
#include "formats/uRawCustom.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "formats/LoadStatus.h"
#include "formats/uFiles.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"

namespace orlu {

namespace {

// Closes the descriptor on every path out of the reader.
class TFd {
 public:
  explicit TFd(int fd) : Fd_(fd) {}
  ~TFd() {
    if (Fd_ >= 0) ::close(Fd_);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return Fd_; }

 private:
  int Fd_;
};

// Reads up to n bytes at offset; returns the count read (short only at the end of file or
// on an error, which both leave the rest of buf as it was).
int64_t ReadAt(int fd, uint8_t* buf, int64_t n, int64_t offset) {
  int64_t done = 0;
  while (done < n) {
    const ssize_t r = ::pread(fd, buf + done, size_t(n - done), off_t(offset + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    done += r;
  }
  return done;
}

// One sample of type T stored little- (Big false) or big-endian at p.
template <class T, bool Big>
inline float DecodeSample(const uint8_t* p) {
  using U = std::conditional_t<sizeof(T) == 1, uint8_t,
                               std::conditional_t<sizeof(T) == 2, uint16_t, uint32_t>>;
  U u = 0;
  if constexpr (Big) {
    for (size_t i = 0; i < sizeof(T); ++i) u = U((u << 8) | p[i]);
  } else {
    for (size_t i = 0; i < sizeof(T); ++i) u = U(u | (U(p[i]) << (8 * i)));
  }
  return static_cast<float>(std::bit_cast<T>(u));
}

// Decodes n samples that lie step bytes apart into dst.
using TRowDecoder = void (*)(const uint8_t* src, int64_t step, int32_t n, float* dst);

template <class T, bool Big>
void DecodeRow(const uint8_t* src, int64_t step, int32_t n, float* dst) {
  for (int32_t i = 0; i < n; ++i, src += step) dst[i] = DecodeSample<T, Big>(src);
}

template <class T>
TRowDecoder PickEndian(bool big) {
  return big ? &DecodeRow<T, true> : &DecodeRow<T, false>;
}

TRowDecoder PickDecoder(int32_t bitsKind, bool isUnsigned, bool big) {
  switch (bitsKind) {
    case 0: return PickEndian<uint8_t>(big);
    case 1: return isUnsigned ? PickEndian<uint16_t>(big) : PickEndian<int16_t>(big);
    case 2: return isUnsigned ? PickEndian<uint32_t>(big) : PickEndian<int32_t>(big);
    default: return PickEndian<float>(big);
  }
}

}  // namespace

bool CustomRawAccepts(const TRawOptions& options, const std::string& path) {
  return options.Enabled && !IsPseudoPath(path) && MatchesPatternList(path, options.FileExt);
}

void LoadCustomRaw(const TRawOptions& o, const std::string& path, TAImage& image) {
  if (!CustomRawAccepts(o, path)) return;
  if (o.ImageKind < 0 || o.ImageKind > 6 || o.BitsKind < 0 || o.BitsKind > 3 ||
      o.DimHeader < 0 || o.DimX < 1 || o.DimY < 1) {
    image.Status |= kStatusFailed;
    return;
  }
  if (o.DimX > kMaxImageSide || o.DimY > kMaxImageSide) {
    image.Status |= kStatusRefusedTooLarge;
    return;
  }

  TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      int64_t(st.st_size) <= int64_t(o.DimHeader)) {
    image.Status |= kStatusFailed;
    return;
  }

  const int32_t w = o.DimX;
  const int32_t h = o.DimY;
  const bool colour = o.ImageKind != 0;
  static constexpr int32_t kBytes[4] = {1, 2, 4, 4};
  const int64_t bytes = kBytes[o.BitsKind];

  image.SetSize(w, h, colour);
  image.IsFloat = o.BitsKind == 3 ? 1 : 0;  // rounding float samples would lose them
  image.Fill(0.0f);

  // Plane order in the file for each arrangement; the fourth sample of RGBa/BGRa is skipped.
  TBWImage* const r = image.RedPlane.get();
  TBWImage* const g = image.MainPlane.get();
  TBWImage* const b = image.BluePlane.get();
  TBWImage* order[3] = {g, nullptr, nullptr};
  int32_t planeCount = 1;
  int32_t samplesPerPixel = 1;
  bool planar = false;
  switch (o.ImageKind) {
    case 1: order[0] = r, order[1] = g, order[2] = b, planeCount = 3, samplesPerPixel = 3; break;
    case 2: order[0] = b, order[1] = g, order[2] = r, planeCount = 3, samplesPerPixel = 3; break;
    case 3: order[0] = r, order[1] = g, order[2] = b, planeCount = 3, samplesPerPixel = 4; break;
    case 4: order[0] = b, order[1] = g, order[2] = r, planeCount = 3, samplesPerPixel = 4; break;
    case 5: order[0] = r, order[1] = g, order[2] = b, planeCount = 3, planar = true; break;
    case 6: order[0] = b, order[1] = g, order[2] = r, planeCount = 3, planar = true; break;
    default: break;
  }

  const TRowDecoder decode = PickDecoder(o.BitsKind, o.UnsignedValues, !o.EndianPC);
  const int64_t header = o.DimHeader;
  const int64_t pixelBytes = planar ? bytes : bytes * samplesPerPixel;
  const int64_t rowBytes = pixelBytes * w;  // at most 30000 × 16
  std::vector<uint8_t> row(size_t(rowBytes), 0);

  bool atEnd = false;
  const int32_t passes = planar ? planeCount : 1;
  for (int32_t pass = 0; pass < passes && !atEnd; ++pass) {
    for (int32_t y = 0; y < h; ++y) {
      const int64_t offset = header + (int64_t(pass) * h + y) * rowBytes;
      const int64_t got = ReadAt(fd.Get(), row.data(), rowBytes, offset);
      // Only complete samples are decoded; the rest keeps the zeros of the cleared image.
      for (int32_t p = 0; p < (planar ? 1 : planeCount); ++p) {
        const int64_t first = p * bytes;  // offset of this plane's sample in a pixel
        const int64_t n = got < first + bytes ? 0 : (got - first - bytes) / pixelBytes + 1;
        TBWImage* plane = planar ? order[pass] : order[p];
        decode(row.data() + first, pixelBytes, int32_t(n), plane->RowPointer(0, y));
      }
      if (got < rowBytes) {
        atEnd = true;
        break;
      }
    }
  }

  if (o.YFlipped) image.FlipV(false, false);
  static constexpr int32_t kBitpix[4] = {8, 16, 32, 32};
  image.Header.SetGeometry(w, h, colour, kBitpix[o.BitsKind]);
  image.Status |= kStatusLoaded;
  if (o.BitsKind == 0) image.Status |= kStatusView0To255;
}

}  // namespace orlu
