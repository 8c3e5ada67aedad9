// Shared by the FITS reader, writer and tile compressor: the safe file writer and the
// sample converters of the write types.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace orlu {

// Writes a new file beside the target and renames it over the target on Commit, so that a
// failed save (disk full, read-only folder, an exception) leaves the original untouched.
// The temporary is removed unless committed. Not thread-safe.
class TSafeFileWriter {
 public:
  explicit TSafeFileWriter(std::filesystem::path target);
  ~TSafeFileWriter();
  TSafeFileWriter(const TSafeFileWriter&) = delete;
  TSafeFileWriter& operator=(const TSafeFileWriter&) = delete;

  // Creates the temporary file; false when that is impossible.
  bool Open();
  // Appends n bytes; false (and every later call false) on a write error.
  bool Write(const void* data, std::size_t n);
  // Appends n zero bytes.
  bool WriteZeros(std::size_t n);
  // Overwrites bytes already written, at offset; the append position is kept.
  bool WriteAt(int64_t offset, const void* data, std::size_t n);
  // Appends several buffers in one call.
  struct TPiece {
    const void* Data;
    std::size_t Size;
  };
  bool WriteGather(const TPiece* pieces, std::size_t count);
  // Advances the append position by n bytes and returns where the region starts; the
  // region is then filled with WriteReserved (Commit refuses a file with holes).
  int64_t Reserve(int64_t n);
  // Writes into a reserved region; thread-safe for disjoint regions. False on an error.
  bool WriteReserved(int64_t offset, const void* data, std::size_t n) const;
  // Bytes appended so far.
  int64_t Position() const { return Pos; }
  bool Failed() const { return Error; }
  // Closes the file and renames it over the target; false when anything failed (the
  // temporary is then removed and the target kept).
  bool Commit();

 private:
  std::filesystem::path Target;
  std::filesystem::path Temp;
  int Fd = -1;
  int64_t Pos = 0;
  bool Error = false;
};

// Bytes per stored sample of a write type (8, 16, 17, 32, 33).
int32_t WriteTypeBytes(int32_t writeType);
// Rounded (ties to even) stored integers of a row, 32768 subtracted for write type 17;
// values are saturated to the type's range. Not for write type 33.
void RowToIntegers(const float* src, int32_t n, int32_t writeType, int32_t* dst);
// The row as the big-endian samples of the write type (n × WriteTypeBytes bytes).
void RowToBigEndian(const float* src, int32_t n, int32_t writeType, uint8_t* dst);

}  // namespace orlu
