// Tile-compressed FITS: writing one tile per image row (RICE_1 or GZIP_2) and reading such
// files through CFITSIO, which is treated as an optional plug-in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace orlu {

class TBWImage;
class TFitsStrings;
class TSafeFileWriter;

// ---- Tile coders (pure functions, thread-safe) -------------------------------------------

// Appends the RICE_1 code of n values (block size 32, 4 bytes per pixel: 5-bit block codes,
// raw values of 32 bits) to out. Differences wrap modulo 2^32, so any int32 row codes.
void RiceCompressRow(const int32_t* values, int32_t n, std::vector<uint8_t>& out);
// Worst-case size of RiceCompressRow for n values.
std::size_t RiceCompressBound(int32_t n);

// GZIP_2 byte order: of n samples of bytesPerSample big-endian bytes each, first the most
// significant bytes of all samples, then the next, ... (src holds the big-endian samples).
void ShuffleBytes(const uint8_t* src, int32_t n, int32_t bytesPerSample, uint8_t* dst);

// A gzip stream coder: libdeflate at level 1, or zlib's default level when the deflate
// plug-in is missing. Not thread-safe: one per worker.
class TGzipCoder {
 public:
  TGzipCoder();
  ~TGzipCoder();
  TGzipCoder(const TGzipCoder&) = delete;
  TGzipCoder& operator=(const TGzipCoder&) = delete;
  // Worst-case gzip size of n input bytes.
  std::size_t Bound(std::size_t n) const;
  // Replaces out by the gzip stream of the n bytes; false when nothing could be produced.
  bool Compress(const uint8_t* src, std::size_t n, std::vector<uint8_t>& out);
  bool UsesDeflatePlugin() const { return Deflater != nullptr; }

 private:
  void* Deflater = nullptr;  // libdeflate compressor, level 1
};

// ---- The writer of tile-compressed files ---------------------------------------------------

// One table row: a tile's size and its offset from the heap start.
struct TTileDescriptor {
  int64_t Size = 0;
  int64_t Offset = 0;
};

// Builds the file of one image: primary block, binary-table header with the image header
// in Z form, descriptor table, heap, padding; then patches PCOUNT and TFORM1.
class TFITSCompressor {
 public:
  // Fixed card indices of the table header that are patched at the end.
  static constexpr int kPcountCard = 5;
  static constexpr int kTformCard = 9;
  // A RICE tile this large is refused (it cannot happen for rows up to 30000 pixels).
  static constexpr int64_t kMaxRiceTile = 1000000;

  explicit TFITSCompressor(bool useGzip);

  uint8_t UseGzip = 0;           // GZIP_2 (1) or RICE_1 (0)
  bool WideDescriptors = false;  // 'Q' descriptors (64-bit) instead of 'P' (32-bit)
  int64_t TablePos = 0;          // file offset of the descriptor table
  int64_t HeapSize = 0;          // bytes of tiles recorded so far
  int64_t MaxTile = 0;           // largest tile so far
  std::vector<TTileDescriptor> Descriptors;  // one per table row, all planes

  // Records (size, HeapSize) for table row `row`; rows outside the table are ignored.
  void AddTile(int64_t row, int64_t size);
  // The descriptor table as big-endian pairs (8 or 16 bytes per row).
  std::string DescriptorBytes() const;

  // "SIMPLE = T", BITPIX 8, NAXIS 0, EXTEND, END as one 2880-byte block.
  static std::string PrimaryBlock();
  // The table header cards followed by the image header (geometry and scaling cards
  // already set by the writer) with SIMPLE, BITPIX and NAXISn renamed to their Z forms.
  // Cards that would contradict the table (EXTEND, checksums, layout cards of an earlier
  // compressed file) are left out. imageHeader itself is not changed.
  TFitsStrings TableHeader(const TFitsStrings& imageHeader, int32_t width, int32_t height,
                           int32_t planes, int32_t writeType) const;

  // Writes the whole file through out (already open, nothing written yet). planes are the
  // planes in file order; header is the prepared image header. False on any failure.
  bool WriteFile(TSafeFileWriter& out, const TFitsStrings& header, const TBWImage* const* planes,
                 int32_t planeCount, int32_t writeType);

  // Heaps whose worst case exceeds this use 'Q' descriptors. Test hook: 0 restores the
  // 32-bit limit.
  static void SetWideDescriptorThresholdForTest(int64_t bytes);
};

// ---- Reading through CFITSIO ----------------------------------------------------------------

enum class TCompressedRead { Loaded, PluginMissing, Failed };

// Reads the tile-compressed image HDU whose data start at dataOffset (2880 × the header
// reader's blockCount) into planes (1 monochrome, 3 colour: red, main, blue), each already
// allocated width × height. The file's image must have exactly that size, and a third
// axis of at least 3 when three planes are asked for. BZERO and BSCALE are applied.
TCompressedRead CompressedReadPlanes(const std::filesystem::path& fileName, int64_t dataOffset,
                                     int32_t width, int32_t height, TBWImage* const* planes,
                                     int32_t planeCount);

// ---- Plug-in seams --------------------------------------------------------------------------

// The CFITSIO plug-in is available. Its load is tried once per run; a failure sticks.
bool CompressionPluginLoaded();
// How many times a load of the CFITSIO plug-in was attempted in this run.
int32_t CompressionPluginLoadAttempts();
// Test hooks: forget the load state (and the attempt count) and make the next load of the
// plug-in fail (missing = true) or succeed.
void PretendCompressionPluginMissing(bool missing);
void PretendDeflatePluginMissing(bool missing);

}  // namespace orlu
