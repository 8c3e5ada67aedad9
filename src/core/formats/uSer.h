// SER videos (uncompressed astronomical video with a 178-byte header): one frame as an
// image, with the frame's time stamp as DATE-OBS and JD; and the video loaders' entries in
// the loader table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orlu {

class TAImage;
class TLoaderTable;

inline constexpr int64_t kSerHeaderBytes = 178;

// The fields of a SER header that the loader uses (little-endian in the file).
struct TSerHeader {
  int32_t ColorId = 0;     // 0…99 one plane (mono or mosaic), 100 RGB, 101 BGR
  int32_t Endianness = 0;  // 1: 16-bit samples big-endian; anything else little-endian
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t PixelDepth = 0;  // bits per sample, 1…16
  int32_t FrameCount = 0;
  std::string Observer, Instrument, Telescope;  // cut at NUL, trailing blanks removed

  int32_t SamplesPerPixel() const { return ColorId >= 100 ? 3 : 1; }
  int32_t BytesPerSample() const { return PixelDepth < 9 ? 1 : 2; }
  // Bytes of one frame; 0 when a side is not positive.
  int64_t FrameBytes() const;
};

// Reads the first kSerHeaderBytes bytes. True for an accepted header: "LU" first, colour
// identifier 0…101, bits per sample 1…16, width and height below 64000, frame count above 0.
bool ParseSerHeader(const uint8_t* bytes, size_t n, TSerHeader& header);

// Julian date of a SER time stamp (100-ns ticks since 0001-01-01 00:00 UTC).
double SerTicksToJD(uint64_t ticks);

// Frames of a ".ser" file with an accepted header; 0 for anything else. The open command
// asks for a frame number within 1…this.
int32_t SerFrameCount(const std::string& path);

// Loader contract (status bits only), ".ser" files: frame frameIndex (clamped to 0…count−1)
// as a one-plane or colour image of unsigned samples, top row first in the file, header
// geometry with 8 or 16 bits, DATE-OBS ("UT") and JD from the frame's time stamp when the
// trailer holds one between JD 2000000 and 4000000, OBSERVER, INSTRUME and TELESCOP from the
// header texts when not empty. Fails (0x0100) for a header not accepted, a side below 1, or
// a frame the file does not hold completely; a side above 30000 is refused (0x0300).
// Throws EOrluError "Out of memory" when the image cannot be sized.
void LoadSer(const std::string& path, int32_t frameIndex, TAImage& image);

// The SER (slot 18) and AVI (slot 3) entries.
void RegisterVideoLoaders(TLoaderTable& table);

}  // namespace orlu
