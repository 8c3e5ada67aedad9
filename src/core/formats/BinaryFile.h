// Read-only access to a regular file by 64-bit offset, and little-endian field decoding, for
// the loaders that read fixed binary layouts.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <sys/uio.h>

namespace orlu {

class TBWImage;

// One open regular file; not thread-safe. Reads never move a shared position.
class TBinaryFile {
 public:
  TBinaryFile() = default;
  ~TBinaryFile();
  TBinaryFile(const TBinaryFile&) = delete;
  TBinaryFile& operator=(const TBinaryFile&) = delete;

  // Opens path read-only. False (nothing open) for a missing file and for anything that is
  // not a regular file: a pipe or device could block or never end.
  bool Open(const std::string& path);
  bool IsOpen() const { return Fd_ >= 0; }
  // Size in bytes at the time of Open.
  int64_t Size() const { return Size_; }
  // All n bytes at offset into buf; false when fewer could be read (buf partly written).
  bool ReadAt(int64_t offset, void* buf, int64_t n) const;
  // Up to n bytes at offset; the count read (short at the end of the file or on an error).
  int64_t ReadSome(int64_t offset, void* buf, int64_t n) const;
  // Scattered read of the bytes at offset into the count buffers of iov, in order; true
  // when every buffer was filled.
  bool ReadScattered(int64_t offset, const struct iovec* iov, int32_t count) const;
  // The file holds n bytes from offset (offset >= 0, n >= 0, no overflow).
  bool Holds(int64_t offset, int64_t n) const {
    return offset >= 0 && n >= 0 && offset <= Size_ && n <= Size_ - offset;
  }

 private:
  int Fd_ = -1;
  int64_t Size_ = 0;
};

// Little-endian fields of a byte buffer.
inline uint16_t GetU16LE(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline int16_t GetI16LE(const uint8_t* p) { return int16_t(GetU16LE(p)); }
inline uint32_t GetU32LE(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline int32_t GetI32LE(const uint8_t* p) { return int32_t(GetU32LE(p)); }
inline uint64_t GetU64LE(const uint8_t* p) {
  return uint64_t(GetU32LE(p)) | (uint64_t(GetU32LE(p + 4)) << 32);
}

// Reads plane.Count unsigned samples of 1 or 2 bytes stored row after row from offset into
// the plane; with topRowFirst the file's first row becomes the plane's last row (the file
// stores the top row first). bigEndian applies to 2-byte samples. False when the file does
// not hold them all (the plane is then partly written).
bool ReadPlaneSamples(const TBinaryFile& file, int64_t offset, TBWImage& plane,
                      int32_t bytesPerSample, bool bigEndian, bool topRowFirst);
// The same from memory: src holds plane.Count little-endian 16-bit samples.
void DecodeU16Rows(const uint8_t* src, TBWImage& plane, bool topRowFirst);

// A fixed-size text field: cut at its first NUL, trailing blanks removed.
std::string FieldText(const uint8_t* p, size_t n);

}  // namespace orlu
