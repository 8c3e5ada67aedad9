// Shared by the raster format units: byte order helpers, file access, the image library's
// picture decoder and the little-endian TIFF writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace orlu {

class TAImage;
struct TRasterBitmap;

[[noreturn]] void RasterOutOfMemory();
// Either side above 30000.
bool SideTooLarge(int64_t w, int64_t h);

inline uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline void PutLe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}
inline void PutLe16(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}

// The PNG and TIFF loaders without the extension check; useLibrary false keeps the image
// library out (files the program's own reader does not take then fail or are not taken).
void LoadPngFile(const std::string& path, TAImage& image, bool useLibrary);
void LoadTiffFile(const std::string& path, TAImage& image, bool useLibrary);

// The first n bytes of a regular file; false when it is shorter or unreadable.
bool ReadFileHead(const std::string& path, uint8_t* buf, std::size_t n);

// Decodes any picture the image library reads as 8-bit BGR or BGRA (pictures of other
// depths converted to 24 bits). False when it cannot; outOfMemory tells why.
bool DecodeWithImageLibrary(const std::string& path, TRasterBitmap& bitmap, bool& outOfMemory);
// The same for a picture file held in memory (PNG, BMP, ...).
bool DecodeMemoryWithImageLibrary(const uint8_t* bytes, std::size_t n, TRasterBitmap& bitmap,
                                  bool& outOfMemory);

// Writes an uncompressed little-endian TIFF of spp samples (1 gray, 3 RGB) of bits (8 or
// 16) per sample. row(fileRow, out) fills one row, top row first. Strips of about 1 MiB
// with their offsets and byte counts. False on a write error or a file above 4 GiB.
bool WritePlainTiff(const std::filesystem::path& path, int32_t width, int32_t height,
                    int32_t spp, int32_t bits,
                    const std::function<void(int32_t fileRow, uint8_t* out)>& row);

}  // namespace orlu
