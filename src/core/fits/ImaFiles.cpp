// FITS reader and writer, the plain exports, and the safe file writer behind every save.
#include "fits/ImaFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/EOrluError.h"
#include "base/OrluMath.h"
#include "base/TextNumbers.h"
#include "fits/FitsCompressor.h"
#include "fits/ImaFilesPvt.h"
#include "fits/ImaHeader.h"
#include "image/ImaBW.h"
#include "image/ImaColor.h"
#include "image/LibThreads.h"
#include "options/uQuorvane.h"

namespace orlu {

namespace fs = std::filesystem;

// ============================================================================ file helpers
namespace {

class TFd {
 public:
  explicit TFd(int fd) : Fd(fd) {}
  ~TFd() {
    if (Fd >= 0) ::close(Fd);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return Fd; }

 private:
  int Fd;
};

// Reads up to n bytes at off; the count read (short at the end of the file), -1 on error.
int64_t PreadFull(int fd, void* buf, std::size_t n, int64_t off) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t r = ::pread(fd, static_cast<char*>(buf) + done, n - done, off + int64_t(done));
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) break;
    done += std::size_t(r);
  }
  return int64_t(done);
}

bool PwriteFull(int fd, const void* buf, std::size_t n, int64_t off) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t r =
        ::pwrite(fd, static_cast<const char*>(buf) + done, n - done, off + int64_t(done));
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (r == 0) return false;
    done += std::size_t(r);
  }
  return true;
}

std::string LowerExtension(const fs::path& p) {
  std::string e = p.extension().string();
  for (char& c : e) c = char(std::tolower(static_cast<unsigned char>(c)));
  return e;
}

}  // namespace

// ============================================================================ safe writer
TSafeFileWriter::TSafeFileWriter(fs::path target) : Target(std::move(target)) {}

TSafeFileWriter::~TSafeFileWriter() {
  if (Fd >= 0) ::close(Fd);
  if (!Temp.empty()) ::unlink(Temp.c_str());
}

bool TSafeFileWriter::Open() {
  if (Fd >= 0 || Target.empty()) return false;
  // Replacing a symbolic link must replace the file it points to, not the link.
  std::error_code ec;
  if (fs::is_symlink(Target, ec)) {
    const fs::path resolved = fs::weakly_canonical(Target, ec);
    if (!ec) Target = resolved;
  }
  fs::path dir = Target.parent_path();
  if (dir.empty()) dir = ".";
  struct stat old {};
  const bool hadTarget = ::stat(Target.c_str(), &old) == 0;
  if (hadTarget && S_ISDIR(old.st_mode)) return false;
  std::random_device rd;
  std::mt19937_64 gen((uint64_t(rd()) << 32) ^ rd() ^ uint64_t(::getpid()));
  for (int attempt = 0; attempt < 64; ++attempt) {
    char name[64];
    std::snprintf(name, sizeof name, ".orlu-save-%016llx.tmp",
                  static_cast<unsigned long long>(gen()));
    const fs::path candidate = dir / name;
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      Fd = fd;
      Temp = candidate;
      // The new file keeps the permissions of the one it replaces.
      if (hadTarget) (void)::fchmod(Fd, old.st_mode & 07777);
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

bool TSafeFileWriter::Preallocate(int64_t n) {
  if (Fd < 0 || Error) return false;
  if (n <= 0) return true;
  int rc;
  do {
    rc = ::fallocate(Fd, 0, 0, n);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0 || errno == EOPNOTSUPP || errno == ENOSYS) return true;
  Error = true;
  return false;
}

bool TSafeFileWriter::Write(const void* data, std::size_t n) {
  if (Fd < 0 || Error) return false;
  if (!PwriteFull(Fd, data, n, Pos)) {
    Error = true;
    return false;
  }
  Pos += int64_t(n);
  return true;
}

bool TSafeFileWriter::WriteZeros(std::size_t n) {
  static const char zeros[TFitsStrings::kBlockSize] = {};
  while (n > 0) {
    const std::size_t k = std::min(n, sizeof zeros);
    if (!Write(zeros, k)) return false;
    n -= k;
  }
  return true;
}

bool TSafeFileWriter::WriteAt(int64_t offset, const void* data, std::size_t n) {
  if (Fd < 0 || Error) return false;
  if (offset < 0 || offset + int64_t(n) > Pos || !PwriteFull(Fd, data, n, offset)) {
    Error = true;
    return false;
  }
  return true;
}

bool TSafeFileWriter::WriteGather(const TPiece* pieces, std::size_t count) {
  std::size_t i = 0;
  while (i < count) {
    iovec iov[256];
    std::size_t k = 0;
    std::size_t bytes = 0;
    for (; k < 256 && i + k < count; ++k) {
      iov[k].iov_base = const_cast<void*>(pieces[i + k].Data);
      iov[k].iov_len = pieces[i + k].Size;
      bytes += pieces[i + k].Size;
    }
    if (Fd < 0 || Error) return false;
    const ssize_t r = ::pwritev(Fd, iov, int(k), Pos);
    if (r == ssize_t(bytes)) {
      Pos += int64_t(bytes);
    } else {
      // A short or failed gather: write the pieces one by one (retrying EINTR, short writes).
      for (std::size_t j = 0; j < k; ++j) {
        if (!PwriteFull(Fd, pieces[i + j].Data, pieces[i + j].Size, Pos)) {
          Error = true;
          return false;
        }
        Pos += int64_t(pieces[i + j].Size);
      }
    }
    i += k;
  }
  return true;
}

int64_t TSafeFileWriter::Reserve(int64_t n) {
  const int64_t at = Pos;
  Pos += std::max<int64_t>(n, 0);
  return at;
}

bool TSafeFileWriter::WriteReserved(int64_t offset, const void* data, std::size_t n) const {
  if (Fd < 0 || offset < 0 || offset + int64_t(n) > Pos) return false;
  return PwriteFull(Fd, data, n, offset);
}

bool TSafeFileWriter::Commit() {
  if (Fd < 0) return false;
  bool ok = !Error;
  // Reserved regions that were never written would leave a hole: the size must match.
  struct stat st {};
  if (ok && (::fstat(Fd, &st) != 0 || int64_t(st.st_size) != Pos)) ok = false;
  if (::close(Fd) != 0) ok = false;
  Fd = -1;
  if (ok && ::rename(Temp.c_str(), Target.c_str()) != 0) ok = false;
  if (ok) Temp.clear();  // nothing left to remove
  return ok;
}

// ============================================================================ write samples
int32_t WriteTypeBytes(int32_t writeType) {
  switch (writeType) {
    case kWriteUInt8: return 1;
    case kWriteInt16:
    case kWriteUInt16: return 2;
    case kWriteInt32:
    case kWriteFloat32: return 4;
    default: return 0;
  }
}

namespace {

struct TIntRange {
  float Lo, Hi;
  int32_t Offset;  // subtracted after rounding
};

// Bounds that keep the rounded value inside the stored type; 2147483520 is the largest
// float below 2^31.
TIntRange RangeOf(int32_t writeType) {
  switch (writeType) {
    case kWriteUInt8: return {0.0f, 255.0f, 0};
    case kWriteInt16: return {-32768.0f, 32767.0f, 0};
    case kWriteUInt16: return {0.0f, 65535.0f, 32768};
    default: return {-2147483648.0f, 2147483520.0f, 0};
  }
}

inline int32_t RoundInRange(float v, const TIntRange& r) {
  if (!(v >= r.Lo)) v = r.Lo;  // NaN included
  if (v > r.Hi) v = r.Hi;
  return int32_t(std::nearbyint(v)) - r.Offset;
}

#if defined(__SSE2__)
inline __m128i Swap16x8(__m128i v) { return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8)); }
inline __m128i Swap32x4(__m128i v) {
  return Swap16x8(_mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xB1), 0xB1));
}
// cvtps2dq rounds half to even in the default rounding mode, which the program never changes.
inline __m128i RoundInRange4(const float* p, __m128 lo, __m128 hi, __m128i offset) {
  const __m128 v = _mm_min_ps(_mm_max_ps(_mm_loadu_ps(p), lo), hi);
  return _mm_sub_epi32(_mm_cvtps_epi32(v), offset);
}
#endif

inline void StoreBE16(uint8_t* d, int32_t v) {
  d[0] = uint8_t(uint32_t(v) >> 8);
  d[1] = uint8_t(v);
}
inline void StoreBE32(uint8_t* d, uint32_t v) {
  v = __builtin_bswap32(v);
  std::memcpy(d, &v, 4);
}

}  // namespace

void RowToIntegers(const float* src, int32_t n, int32_t writeType, int32_t* dst) {
  const TIntRange r = RangeOf(writeType);
  int32_t i = 0;
#if defined(__SSE2__)
  const __m128 lo = _mm_set1_ps(r.Lo), hi = _mm_set1_ps(r.Hi);
  const __m128i off = _mm_set1_epi32(r.Offset);
  for (; i + 4 <= n; i += 4)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), RoundInRange4(src + i, lo, hi, off));
#endif
  for (; i < n; ++i) dst[i] = RoundInRange(src[i], r);
}

void RowToBigEndian(const float* src, int32_t n, int32_t writeType, uint8_t* dst) {
  int32_t i = 0;
  if (writeType == kWriteFloat32) {
#if defined(__SSE2__)
    for (; i + 4 <= n; i += 4)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * i),
                       Swap32x4(_mm_castps_si128(_mm_loadu_ps(src + i))));
#endif
    for (; i < n; ++i) StoreBE32(dst + 4 * i, std::bit_cast<uint32_t>(src[i]));
    return;
  }
  const TIntRange r = RangeOf(writeType);
#if defined(__SSE2__)
  const __m128 lo = _mm_set1_ps(r.Lo), hi = _mm_set1_ps(r.Hi);
  const __m128i off = _mm_set1_epi32(r.Offset);
  switch (writeType) {
    case kWriteUInt8:
      for (; i + 16 <= n; i += 16) {
        const __m128i a = _mm_packs_epi32(RoundInRange4(src + i, lo, hi, off),
                                          RoundInRange4(src + i + 4, lo, hi, off));
        const __m128i b = _mm_packs_epi32(RoundInRange4(src + i + 8, lo, hi, off),
                                          RoundInRange4(src + i + 12, lo, hi, off));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_packus_epi16(a, b));
      }
      break;
    case kWriteInt16:
    case kWriteUInt16:
      for (; i + 8 <= n; i += 8) {
        const __m128i a = _mm_packs_epi32(RoundInRange4(src + i, lo, hi, off),
                                          RoundInRange4(src + i + 4, lo, hi, off));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * i), Swap16x8(a));
      }
      break;
    default:
      for (; i + 4 <= n; i += 4)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * i),
                         Swap32x4(RoundInRange4(src + i, lo, hi, off)));
      break;
  }
#endif
  switch (writeType) {
    case kWriteUInt8:
      for (; i < n; ++i) dst[i] = uint8_t(RoundInRange(src[i], r));
      break;
    case kWriteInt16:
    case kWriteUInt16:
      for (; i < n; ++i) StoreBE16(dst + 2 * i, RoundInRange(src[i], r));
      break;
    default:
      for (; i < n; ++i) StoreBE32(dst + 4 * i, uint32_t(RoundInRange(src[i], r)));
      break;
  }
}

// ============================================================================ raw planes
namespace {

int32_t DecodeBytes(int32_t type) {
  static constexpr int32_t kBytes[] = {1, 2, 2, 4, 4, 4, 8, 8};
  return type >= 0 && type <= 7 ? kBytes[type] : 0;
}

// FITS scaling fused into the conversion: computed in double unless an integer offset on
// small integers is exact in int32 arithmetic.
struct TDecodeScale {
  enum TMode { None, IntOffset, General } Mode = None;
  int32_t IntZero = 0;
  double Zero = 0;
  double Scale = 1;
};

TDecodeScale MakeScale(double zero, double scale, int32_t type) {
  TDecodeScale s;
  s.Zero = zero;
  s.Scale = scale;
  if (scale == 1 && zero == 0) return s;
  const bool smallInt = type == kDecodeUInt8 || type == kDecodeInt16 || type == kDecodeUInt16;
  if (scale == 1 && smallInt && zero == std::trunc(zero) && std::fabs(zero) <= 16777216.0) {
    s.Mode = TDecodeScale::IntOffset;
    s.IntZero = int32_t(zero);
    return s;
  }
  s.Mode = TDecodeScale::General;
  return s;
}

template <class U>
inline U ByteSwap(U u) {
  if constexpr (sizeof(U) == 2) return U(__builtin_bswap16(u));
  if constexpr (sizeof(U) == 4) return U(__builtin_bswap32(u));
  if constexpr (sizeof(U) == 8) return U(__builtin_bswap64(u));
  return u;
}

template <class T, bool Swap>
inline T LoadSample(const uint8_t* p) {
  using U = std::conditional_t<sizeof(T) == 1, uint8_t,
            std::conditional_t<sizeof(T) == 2, uint16_t,
            std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>>>;
  U u;
  std::memcpy(&u, p, sizeof u);
  if constexpr (Swap) u = ByteSwap(u);
  return std::bit_cast<T>(u);
}

template <class T, bool Swap>
void DecodeRowT(const uint8_t* src, float* dst, int32_t n, const TDecodeScale& s) {
  switch (s.Mode) {
    case TDecodeScale::None:
      for (int32_t i = 0; i < n; ++i) dst[i] = float(LoadSample<T, Swap>(src + sizeof(T) * i));
      break;
    case TDecodeScale::IntOffset:
      if constexpr (sizeof(T) <= 2) {
        const int32_t z = s.IntZero;
        for (int32_t i = 0; i < n; ++i)
          dst[i] = float(int32_t(LoadSample<T, Swap>(src + sizeof(T) * i)) + z);
        break;
      }
      [[fallthrough]];
    case TDecodeScale::General: {
      const double z = s.Zero, k = s.Scale;
      for (int32_t i = 0; i < n; ++i)
        dst[i] = float(z + k * double(LoadSample<T, Swap>(src + sizeof(T) * i)));
      break;
    }
  }
}

template <class T>
void DecodeRowSwap(const uint8_t* src, float* dst, int32_t n, bool swap, const TDecodeScale& s) {
  if (swap)
    DecodeRowT<T, true>(src, dst, n, s);
  else
    DecodeRowT<T, false>(src, dst, n, s);
}

void DecodeRow(int32_t type, bool swap, const uint8_t* src, float* dst, int32_t n,
               const TDecodeScale& s) {
  switch (type) {
    case kDecodeUInt8: DecodeRowT<uint8_t, false>(src, dst, n, s); break;
    case kDecodeInt16: DecodeRowSwap<int16_t>(src, dst, n, swap, s); break;
    case kDecodeUInt16: DecodeRowSwap<uint16_t>(src, dst, n, swap, s); break;
    case kDecodeInt32: DecodeRowSwap<int32_t>(src, dst, n, swap, s); break;
    case kDecodeUInt32: DecodeRowSwap<uint32_t>(src, dst, n, swap, s); break;
    case kDecodeFloat32: DecodeRowSwap<float>(src, dst, n, swap, s); break;
    case kDecodeInt64: DecodeRowSwap<int64_t>(src, dst, n, swap, s); break;
    case kDecodeFloat64: DecodeRowSwap<double>(src, dst, n, swap, s); break;
    default: break;
  }
}

// Raw bytes per read of one worker: small enough to stay in the processor's cache between
// the read and the conversion.
constexpr int64_t kReadChunkBytes = int64_t(512) << 10;

bool ReadPlaneScaled(int fd, int64_t offset, TBWImage& plane, int32_t type, bool swap,
                     const TDecodeScale& scale) {
  const int32_t bytes = DecodeBytes(type);
  if (bytes == 0 || !plane.IsAllocated() || offset < 0) return false;
  const int32_t w = plane.Width, h = plane.Height;
  const int64_t rowBytes = int64_t(w) * bytes;
  const int32_t rowsPerChunk = int32_t(std::clamp<int64_t>(kReadChunkBytes / rowBytes, 1, h));
  const int32_t chunks = (h + rowsPerChunk - 1) / rowsPerChunk;
  const int32_t workers = std::min(WorkerCount(), chunks);
  std::atomic<bool> complete{true};
  TSyncCounter counter(workers);
  ParallelCall(counter, [&] {
    std::vector<uint8_t> buffer(std::size_t(rowsPerChunk * rowBytes));
    for (;;) {
      const int32_t c = counter.NextIndex();
      if (c < 0 || c >= chunks) break;
      const int32_t r0 = c * rowsPerChunk;
      const int32_t rows = std::min(rowsPerChunk, h - r0);
      const std::size_t want = std::size_t(rows * rowBytes);
      const int64_t got = PreadFull(fd, buffer.data(), want, offset + r0 * rowBytes);
      if (got != int64_t(want)) {
        complete = false;
        std::memset(buffer.data() + std::max<int64_t>(got, 0), 0,
                    want - std::size_t(std::max<int64_t>(got, 0)));
      }
      for (int32_t r = 0; r < rows; ++r)
        DecodeRow(type, swap, buffer.data() + r * rowBytes, plane.RowPointer(0, r0 + r), w,
                  scale);
    }
  });
  return complete;
}

}  // namespace

bool ReadRawPlane(int fd, int64_t offset, TBWImage& plane, int32_t decodingType, bool swap) {
  return ReadPlaneScaled(fd, offset, plane, decodingType, swap, TDecodeScale{});
}

// ============================================================================ reading
namespace {

bool IsFitsExtension(const fs::path& p) {
  const std::string e = LowerExtension(p);
  return e == ".fits" || e == ".fit" || e == ".fts" || e == ".fz";
}

int32_t DecodingTypeOf(int32_t sampleCode, bool unsigned16) {
  switch (sampleCode) {
    case 8: return kDecodeUInt8;
    case 16: return unsigned16 ? kDecodeUInt16 : kDecodeInt16;
    case 32: return kDecodeInt32;
    case 33: return kDecodeFloat32;
    case 64: return kDecodeInt64;
    case 65: return kDecodeFloat64;
    default: return -1;
  }
}

}  // namespace

void ReadFits(TAImage& image, const fs::path& fileName, int32_t hduIndex, bool allowUnsigned) {
  if (!IsFitsExtension(fileName)) return;
  // Non-blocking open: a FIFO named like a FITS file must not stall the program.
  TFd fd(::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.Get() < 0) return;
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return;

  TFitsStrings header;
  bool compressed = false;
  int64_t blockCount = 0;
  if (header.ReadFromFile(fd.Get(), hduIndex, compressed, blockCount) != TFitsHeaderStatus::Ok)
    return;
  const TFitsGeometry g = header.GetGeometry();
  if (g.Width <= 0 || g.Height <= 0) return;
  const int32_t type = DecodingTypeOf(g.SampleCode, false);
  // BSCALE 0 would turn every sample into BZERO: such a file is broken, not an image.
  if ((g.Axes != 2 && g.Axes != 3) || type < 0 || g.BScale == 0 || !std::isfinite(g.BScale) ||
      !std::isfinite(g.BZero)) {
    image.Status |= kLoadFailed | kLoadIncompatible;
    return;
  }
  if (g.Width > TAImage::kMaxSide || g.Height > TAImage::kMaxSide) {
    image.Status |= kLoadFailed | kLoadTooLarge;
    return;
  }
  const bool colour = g.Axes == 3;
  const int32_t planeCount = colour ? 3 : 1;
  const int64_t dataOffset = blockCount * TFitsStrings::kBlockSize;
  const int64_t planeBytes = int64_t(g.Width) * g.Height * DecodeBytes(type);
  // The data must be in the file before anything is allocated for them.
  if (!compressed && dataOffset + planeCount * planeBytes > int64_t(st.st_size)) {
    image.Status |= kLoadFailed | kLoadIncompatible;
    return;
  }

  TCompressedImageFile packed;
  if (compressed) {
    switch (packed.Open(fileName, dataOffset, g.Width, g.Height, colour,
                        header.GetString("ORIG_CMP"))) {
      case TCompressedRead::Loaded: break;
      case TCompressedRead::PluginMissing: image.Status |= kLoadPluginMissing; return;
      case TCompressedRead::Failed: image.Status |= kLoadFailed | kLoadIncompatible; return;
    }
  }

  image.SetSize(g.Width, g.Height, colour);
  // The header as read (BITPIX, BZERO, ORIG_CMP...) replaces the geometry the resize wrote.
  image.Header = std::move(header);
  const bool integerData = g.SampleCode != 33 && g.SampleCode != 65;
  // Scaled integers keep their fractions only as floating-point data: an integer image would
  // be rounded by the next statistics refresh.
  image.IsFloat = (!integerData || g.BScale != 1 || g.BZero != std::trunc(g.BZero)) ? 1 : 0;

  TBWImage* planes[3] = {image.MainPlane.get(), nullptr, nullptr};
  if (colour) {
    planes[0] = image.RedPlane.get();
    planes[1] = image.MainPlane.get();
    planes[2] = image.BluePlane.get();
  }
  if (compressed) {
    if (packed.Read(planes, planeCount) != TCompressedRead::Loaded) {
      image.Status |= kLoadFailed | kLoadIncompatible;
      return;
    }
  } else {
    const bool unsigned16 =
        g.SampleCode == 16 && allowUnsigned && !image.Header.HasKey("BZERO");
    const int32_t decode = DecodingTypeOf(g.SampleCode, unsigned16);
    const TDecodeScale scale = MakeScale(g.BZero, g.BScale, decode);
    for (int32_t k = 0; k < planeCount; ++k) {
      if (!ReadPlaneScaled(fd.Get(), dataOffset + k * planeBytes, *planes[k], decode, true,
                           scale)) {
        image.Status |= kLoadFailed | kLoadIncompatible;
        return;
      }
    }
  }
  image.LoadWcsFromHeader();  // the solution and the PPOLY pair
  image.Status |= kLoadLoaded | kLoadFitsHeader;
}

void LoadFits(TAImage& image, const fs::path& fileName, int32_t hduIndex,
              const TFileOptions& options) {
  ReadFits(image, fileName, hduIndex, options.AllowUnsignedFITS);
  if ((image.Status & kLoadLoaded) && options.RowOrderFITS && image.Header.IsTopDown())
    image.FlipV(true, true);
}

// ============================================================================ write type
int32_t WriteTypeForRanges(const double* mins, const double* maxs, int32_t planes,
                           bool isFloat) {
  if (isFloat) return kWriteFloat32;
  int32_t classes = 0;
  bool negative = false;
  for (int32_t k = 0; k < planes; ++k) {
    const double mn = mins[k], mx = maxs[k];
    int32_t c;
    if (mn >= 0 && mx <= 255)
      c = 1;
    else if (mn >= -32768 && mx <= 32767)
      c = 2;
    else if (mn >= 0 && mx <= 65535)
      c = 4;
    else if (mn >= -2147483648.0 && mx <= 2147483647.0)
      c = 8;
    else
      c = 16;  // beyond 32 bits, or NaN
    classes |= c;
    if (mn < 0) negative = true;
  }
  if (classes >= 16) return kWriteFloat32;
  if (classes >= 8) return kWriteInt32;
  if (classes == 1) return kWriteUInt8;
  if (classes == 2 || classes == 3) return kWriteInt16;
  if (classes == 6 || classes == 7) return negative ? kWriteInt32 : kWriteUInt16;
  return kWriteUInt16;  // 4 or 5 (0 only without planes)
}

int32_t ChooseWriteType(TAImage& image) {
  if (image.IsFloat) return kWriteFloat32;
  TBWImage* planes[3] = {image.MainPlane.get(), image.RedPlane.get(), image.BluePlane.get()};
  const int32_t n = image.IsColour() ? 3 : 1;
  double mins[3], maxs[3];
  for (int32_t k = 0; k < n; ++k) {
    float mn = 0, mx = 0;
    planes[k]->MinMax(mn, mx);
    mins[k] = mn;
    maxs[k] = mx;
  }
  return WriteTypeForRanges(mins, maxs, n, false);
}

// ============================================================================ writing
namespace {

bool AllDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Cards that the written file would contradict: checksums of other data, NAXISn beyond the
// written axes, BLANK for float data, and the layout cards of a tile-compressed file.
bool IsStaleCard(const std::string& key, int32_t naxis, bool floatOutput) {
  static const char* const kExact[] = {
      "CHECKSUM", "DATASUM",  "ZHECKSUM", "ZDATASUM", "ZIMAGE",   "ZCMPTYPE", "ZBITPIX",
      "ZNAXIS",   "ZQUANTIZ", "ZDITHER0", "ZSIMPLE",  "ZEXTEND",  "ZTENSION", "ZPCOUNT",
      "ZGCOUNT",  "ZBLANK",   "ZSCALE",   "ZZERO",    "TFIELDS",  "THEAP",    "XTENSION",
      "PCOUNT",   "GCOUNT",   "ZMASKCMP", "ZBLOCKED"};
  for (const char* k : kExact)
    if (key == k) return true;
  if (floatOutput && key == "BLANK") return true;
  const std::string_view kv(key);
  for (std::string_view prefix : {"ZNAXIS", "ZTILE", "ZNAME", "ZVAL", "TTYPE", "TFORM"})
    if (kv.starts_with(prefix) && AllDigits(kv.substr(prefix.size()))) return true;
  if (kv.starts_with("NAXIS") && AllDigits(kv.substr(5))) {
    int64_t axis = 0;
    return !ParseInt64(kv.substr(5), axis) || axis > naxis;
  }
  return false;
}

// The structure keywords that SetGeometry and SetScaling put in front: any later copy of
// one (a damaged file's header) would contradict the written structure.
bool IsStructureKey(const std::string& key) {
  static const char* const kKeys[] = {"SIMPLE", "BITPIX", "NAXIS",  "NAXIS1",
                                      "NAXIS2", "NAXIS3", "BZERO", "BSCALE"};
  for (const char* k : kKeys)
    if (key == k) return true;
  return false;
}

// The keyword as other readers take it: the text up to the first blank or "=", upper-cased
// (a card whose "=" is misplaced, or "NAXIS3 x=", still names NAXIS3 for them).
std::string LooseKeyword(const std::string& card) {
  const std::size_t n = std::min(card.find_first_of(" ="), card.size());
  return UpperAscii(std::string_view(card).substr(0, n));
}

void RemoveStaleCards(TFitsStrings& header, int32_t naxis, bool floatOutput) {
  std::vector<std::string> seen;
  for (int i = 0; i < header.Count();) {
    const std::string& c = header[i];
    const bool valueCard = c.size() >= 9 && c[8] == '=';
    const std::string key = LooseKeyword(c);
    bool drop = IsStaleCard(key, naxis, floatOutput);
    if (!drop && IsStructureKey(key)) {
      // Only the first, well-formed card of each structure keyword stays.
      drop = !valueCard || std::find(seen.begin(), seen.end(), key) != seen.end();
      if (!drop) seen.push_back(key);
    }
    if (drop)
      header.Delete(i);
    else
      ++i;
  }
}

// Plain data: rows converted in parallel, each worker writing its own piece of the file.
bool WritePlainData(TSafeFileWriter& out, const TBWImage* const* planes, int32_t planeCount,
                    int32_t writeType) {
  const int32_t w = planes[0]->Width, h = planes[0]->Height;
  const int64_t rowBytes = int64_t(w) * WriteTypeBytes(writeType);
  const int32_t rowsPerChunk =
      int32_t(std::clamp<int64_t>((int64_t(1) << 20) / rowBytes, 1, h));
  const int32_t chunksPerPlane = (h + rowsPerChunk - 1) / rowsPerChunk;
  const int64_t planeBytes = rowBytes * h;
  const int64_t start = out.Reserve(planeBytes * planeCount);
  const int32_t items = chunksPerPlane * planeCount;
  std::atomic<bool> ok{true};
  TSyncCounter counter(std::min(WorkerCount(), items));
  ParallelCall(counter, [&] {
    std::vector<uint8_t> buffer(std::size_t(rowsPerChunk * rowBytes));
    for (;;) {
      const int32_t item = counter.NextIndex();
      if (item < 0 || item >= items || !ok) break;
      const int32_t p = item / chunksPerPlane;
      const int32_t r0 = (item % chunksPerPlane) * rowsPerChunk;
      const int32_t rows = std::min(rowsPerChunk, h - r0);
      for (int32_t r = 0; r < rows; ++r)
        RowToBigEndian(planes[p]->RowPointer(0, r0 + r), w, writeType,
                       buffer.data() + r * rowBytes);
      if (!out.WriteReserved(start + p * planeBytes + r0 * rowBytes, buffer.data(),
                             std::size_t(rows * rowBytes)))
        ok = false;
    }
  });
  return ok;
}

bool PadToBlock(TSafeFileWriter& out) {
  const int64_t rem = out.Position() % TFitsStrings::kBlockSize;
  return rem == 0 || out.WriteZeros(std::size_t(TFitsStrings::kBlockSize - rem));
}

// A strong checkerboard (colour filter mosaics) packs better with GZIP_2 than with RICE_1.
bool UseGzipFor(const TAImage& image, int32_t writeType) {
  if (writeType == kWriteFloat32) return true;
  if (image.IsColour()) return false;
  const float score = image.MainPlane->DiagonalScore(false);
  return score < 0.16f || score > 0.84f;
}

}  // namespace

bool WriteFits(TAImage& image, const fs::path& fileName, bool compressed, TTileMethod method) {
  try {
    const int32_t t = ChooseWriteType(image);
    static constexpr int32_t kBitpix[] = {8, 16, 16, 32, -32};
    const int32_t bitpix = kBitpix[t == kWriteUInt8    ? 0
                                   : t == kWriteInt16  ? 1
                                   : t == kWriteUInt16 ? 2
                                   : t == kWriteInt32  ? 3
                                                       : 4];
    const bool colour = image.IsColour();
    TFitsStrings& header = image.Header;
    header.SetGeometry(image.Width(), image.Height(), colour, bitpix);
    header.SetScaling(t == kWriteUInt16 ? 32768.0 : 0.0);
    RemoveStaleCards(header, colour ? 3 : 2, t == kWriteFloat32);

    const TBWImage* planes[3] = {image.MainPlane.get(), nullptr, nullptr};
    int32_t planeCount = 1;
    if (colour) {
      planes[0] = image.RedPlane.get();
      planes[1] = image.MainPlane.get();
      planes[2] = image.BluePlane.get();
      planeCount = 3;
    }
    for (int32_t k = 0; k < planeCount; ++k)
      if (!planes[k] || !planes[k]->IsAllocated()) return false;

    TSafeFileWriter out(fileName);
    if (!out.Open()) return false;
    if (compressed) {
      const bool gzip = t == kWriteFloat32 || method == TTileMethod::Gzip ||
                        (method == TTileMethod::ByRule && UseGzipFor(image, t));
      TFITSCompressor compressor(gzip);
      if (!compressor.WriteFile(out, header, planes, planeCount, t)) return false;
    } else {
      const std::string blocks = header.HeaderBlocks();
      const int64_t data = int64_t(image.Width()) * image.Height() * planeCount * WriteTypeBytes(t);
      const int64_t total = int64_t(blocks.size()) + (data + 2879) / 2880 * 2880;
      if (!out.Preallocate(total)) return false;
      if (!out.Write(blocks.data(), blocks.size())) return false;
      if (!WritePlainData(out, planes, planeCount, t)) return false;
      if (!PadToBlock(out)) return false;
    }
    return out.Commit();
  } catch (const std::bad_alloc&) {
    throw EOrluError(kOutOfMemoryText);
  }
}

// ============================================================================ exports
namespace {

const TBWImage* const* ExportPlanes(const TAImage& image, const TBWImage* (&planes)[3],
                                    int32_t& count) {
  if (image.IsColour()) {
    planes[0] = image.RedPlane.get();
    planes[1] = image.MainPlane.get();
    planes[2] = image.BluePlane.get();
    count = 3;
  } else {
    planes[0] = image.MainPlane.get();
    count = 1;
  }
  return planes;
}

void AppendG7(std::string& s, float v) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, double(v), std::chars_format::general, 7);
  s.append(buf, r.ptr);
}

}  // namespace

bool ExportText(const TAImage& image, const fs::path& fileName) {
  try {
    const TBWImage* planes[3] = {};
    int32_t count = 0;
    ExportPlanes(image, planes, count);
    TSafeFileWriter out(fileName);
    if (!out.Open()) return false;
    std::string text = std::to_string(image.Width()) + "\r\n" + std::to_string(image.Height()) +
                       "\r\n" + (count == 3 ? "COLOR" : "MONO") + "\r\n";
    const int64_t n = image.PixelCount();
    for (int64_t i = 0; i < n; ++i) {
      for (int32_t k = 0; k < count; ++k) {
        if (k > 0) text += ' ';
        AppendG7(text, planes[k]->Data[i]);
      }
      text += "\r\n";
      if (text.size() >= (std::size_t(1) << 20)) {
        if (!out.Write(text.data(), text.size())) return false;
        text.clear();
      }
    }
    if (!out.Write(text.data(), text.size())) return false;
    return out.Commit();
  } catch (const std::bad_alloc&) {
    throw EOrluError(kOutOfMemoryText);
  }
}

bool ExportRawFloat(const TAImage& image, const fs::path& fileName) {
  static_assert(std::endian::native == std::endian::little, "raw export writes memory order");
  const TBWImage* planes[3] = {};
  int32_t count = 0;
  ExportPlanes(image, planes, count);
  TSafeFileWriter out(fileName);
  if (!out.Open() || !out.Preallocate(image.PixelCount() * count * int64_t(sizeof(float))))
    return false;
  for (int32_t k = 0; k < count; ++k)
    if (!out.Write(planes[k]->Data, std::size_t(planes[k]->Count) * sizeof(float))) return false;
  return out.Commit();
}

}  // namespace orlu
