// Positioned reads (pread/preadv) so that a loader's offsets stay 64-bit and independent.
#include "formats/BinaryFile.h"

#include "formats/SampleRows.h"
#include "image/ImaBW.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>
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

// Rows are read in pieces that stay in the first cache levels while they are widened; the
// frame is then written once, as floats. (Reading into the tail of each float row and
// widening in place was slower: the loads chase the stores through the same lines.)
constexpr int64_t kPieceBytes = 64 << 10;

}  // namespace

bool ReadPlaneSamples(const TBinaryFile& file, int64_t offset, TBWImage& plane,
                      int32_t bytesPerSample, bool bigEndian, bool topRowFirst) {
  if (!plane.IsAllocated() || (bytesPerSample != 1 && bytesPerSample != 2)) return false;
  const int32_t w = plane.Width, h = plane.Height;
  const int64_t rawRow = int64_t(w) * bytesPerSample;
  if (!file.Holds(offset, rawRow * h)) return false;
  const int32_t pieceRows = int32_t(std::clamp<int64_t>(kPieceBytes / rawRow, 1, h));
  std::unique_ptr<uint8_t[]> piece(new (std::nothrow) uint8_t[size_t(rawRow * pieceRows)]);
  if (!piece) return false;
  for (int32_t r0 = 0; r0 < h; r0 += pieceRows) {
    const int32_t n = std::min(pieceRows, h - r0);
    if (!file.ReadAt(offset + int64_t(r0) * rawRow, piece.get(), rawRow * n)) return false;
    for (int32_t i = 0; i < n; ++i) {
      const int32_t r = r0 + i;
      float* dst = plane.RowPointer(0, topRowFirst ? h - 1 - r : r);
      const uint8_t* src = piece.get() + int64_t(i) * rawRow;
      if (bytesPerSample == 1) WidenU8(src, dst, w);
      else WidenU16(src, dst, w, bigEndian);
    }
  }
  return true;
}

void DecodeU16Rows(const uint8_t* src, TBWImage& plane, bool topRowFirst) {
  const int32_t w = plane.Width, h = plane.Height;
  for (int32_t r = 0; r < h; ++r) {
    float* d = plane.RowPointer(0, topRowFirst ? h - 1 - r : r);
    WidenU16(src + size_t(r) * size_t(w) * 2, d, w, false);
  }
}

std::string FieldText(const uint8_t* p, size_t n) {
  size_t len = 0;
  while (len < n && p[len] != 0) ++len;
  while (len > 0 && (p[len - 1] == ' ' || p[len - 1] == '\t')) --len;
  return std::string(reinterpret_cast<const char*>(p), len);
}

}  // namespace orlu
