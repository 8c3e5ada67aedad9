// Positioned reads (pread/preadv) so that a loader's offsets stay 64-bit and independent.
#include "formats/BinaryFile.h"

#include "image/ImaBW.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <vector>

namespace orlu {

TBinaryFile::~TBinaryFile() {
  if (Fd_ >= 0) ::close(Fd_);
}

bool TBinaryFile::Open(const std::string& path) {
  if (Fd_ >= 0) ::close(Fd_);
  Fd_ = -1;
  Size_ = 0;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
    ::close(fd);
    return false;
  }
  Fd_ = fd;
  Size_ = int64_t(st.st_size);
  return true;
}

int64_t TBinaryFile::ReadSome(int64_t offset, void* buf, int64_t n) const {
  if (Fd_ < 0 || offset < 0 || n <= 0) return 0;
  auto* p = static_cast<uint8_t*>(buf);
  int64_t done = 0;
  while (done < n) {
    // pread takes at most SSIZE_MAX and Linux moves at most ~2 GiB per call.
    const size_t ask = size_t(std::min<int64_t>(n - done, int64_t(1) << 30));
    const ssize_t r = ::pread(Fd_, p + done, ask, off_t(offset + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    done += r;
  }
  return done;
}

bool TBinaryFile::ReadAt(int64_t offset, void* buf, int64_t n) const {
  if (n == 0) return Fd_ >= 0;
  return ReadSome(offset, buf, n) == n;
}

bool TBinaryFile::ReadScattered(int64_t offset, const struct iovec* iov, int32_t count) const {
  if (Fd_ < 0 || offset < 0) return false;
  // Works on a copy: a short read advances through the buffers and retries the rest.
  std::vector<struct iovec> rest(iov, iov + std::max(count, 0));
  size_t first = 0;
  int64_t pos = offset;
  while (first < rest.size()) {
    const int batch = int(std::min<size_t>(rest.size() - first, IOV_MAX));
    const ssize_t r = ::preadv(Fd_, rest.data() + first, batch, off_t(pos));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    pos += r;
    size_t left = size_t(r);
    while (left > 0 && first < rest.size()) {
      iovec& v = rest[first];
      const size_t take = std::min(left, v.iov_len);
      v.iov_base = static_cast<uint8_t*>(v.iov_base) + take;
      v.iov_len -= take;
      left -= take;
      if (v.iov_len == 0) ++first;
    }
    while (first < rest.size() && rest[first].iov_len == 0) ++first;
  }
  return true;
}

namespace {

// Widens the n raw samples stored at the end of a float row's own storage into the row.
// Ascending blocks are safe: a block's floats end before the first raw byte not read yet,
// because each float is at least as wide as the raw samples still ahead of it. Blocks of a
// fixed length let the compiler turn the conversion into vector code.
template <class T, bool Swap>
void WidenRowInPlace(float* row, int32_t n) {
  const uint8_t* raw = reinterpret_cast<const uint8_t*>(row) + (sizeof(float) - sizeof(T)) * size_t(n);
  constexpr int32_t kBlock = 32;
  auto convert = [](T v) {
    if constexpr (Swap) v = T((v >> 8) | (v << 8));
    return float(v);
  };
  int32_t x = 0;
  for (; x + kBlock <= n; x += kBlock) {
    T in[kBlock];
    std::memcpy(in, raw + size_t(x) * sizeof(T), sizeof in);
    float* out = row + x;
    for (int32_t i = 0; i < kBlock; ++i) out[i] = convert(in[i]);
  }
  T in[kBlock];
  const int32_t m = n - x;
  std::memcpy(in, raw + size_t(x) * sizeof(T), size_t(m) * sizeof(T));
  for (int32_t i = 0; i < m; ++i) row[x + i] = convert(in[i]);
}

}  // namespace

bool ReadPlaneSamples(const TBinaryFile& file, int64_t offset, TBWImage& plane,
                      int32_t bytesPerSample, bool bigEndian, bool topRowFirst) {
  if (!plane.IsAllocated() || (bytesPerSample != 1 && bytesPerSample != 2)) return false;
  const int32_t w = plane.Width, h = plane.Height;
  const size_t rawRow = size_t(w) * size_t(bytesPerSample);
  if (!file.Holds(offset, int64_t(rawRow) * h)) return false;
  const bool swap = bigEndian == (std::endian::native == std::endian::little);
  auto widen = bytesPerSample == 1 ? &WidenRowInPlace<uint8_t, false>
               : swap                ? &WidenRowInPlace<uint16_t, true>
                                     : &WidenRowInPlace<uint16_t, false>;
  // Each file row lands in the tail of its own destination row: one scattered read, then
  // an in-place widening, with no scratch buffer and no separate flip. (Splitting the rows
  // over worker threads was measured slower: starting threads costs more than a frame.)
  std::vector<iovec> iov(static_cast<size_t>(h));
  for (int32_t r = 0; r < h; ++r) {
    const int32_t y = topRowFirst ? h - 1 - r : r;
    uint8_t* dst = reinterpret_cast<uint8_t*>(plane.RowPointer(0, y));
    iov[size_t(r)].iov_base = dst + sizeof(float) * size_t(w) - rawRow;
    iov[size_t(r)].iov_len = rawRow;
  }
  if (!file.ReadScattered(offset, iov.data(), h)) return false;
  for (int32_t y = 0; y < h; ++y) widen(plane.RowPointer(0, y), w);
  return true;
}

void DecodeU16Rows(const uint8_t* src, TBWImage& plane, bool topRowFirst) {
  const int32_t w = plane.Width, h = plane.Height;
  for (int32_t r = 0; r < h; ++r) {
    float* d = plane.RowPointer(0, topRowFirst ? h - 1 - r : r);
    const uint8_t* s = src + size_t(r) * size_t(w) * 2;
    for (int32_t x = 0; x < w; ++x) d[x] = float(GetU16LE(s + 2 * x));
  }
}

std::string FieldText(const uint8_t* p, size_t n) {
  size_t len = 0;
  while (len < n && p[len] != 0) ++len;
  while (len > 0 && (p[len - 1] == ' ' || p[len - 1] == '\t')) --len;
  return std::string(reinterpret_cast<const char*>(p), len);
}

}  // namespace orlu
