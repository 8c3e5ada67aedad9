// FITS files: reading one image of a file into a TAImage, writing an image as a plain or
// tile-compressed FITS file, the text and raw-float exports, and the raw plane reader that
// other loaders share.
#pragma once

#include <cstdint>
#include <filesystem>

namespace orlu {

class TAImage;
class TBWImage;
class TFileOptions;

// ---- Load status flags (TAImage::Status; loaders only OR them in) ------------------------
enum : uint32_t {
  kLoadSource8Bit = 0x0001,     // source samples were 8-bit integers
  kLoadFitsHeader = 0x0002,     // the file carried a FITS header
  kLoadView0To255 = 0x0004,     // 8-bit data: initial view range 0..255
  kLoadPreviewDrawn = 0x0008,   // the loader drew the preview itself
  kLoadLoaded = 0x0080,         // the image was filled
  kLoadFailed = 0x0100,
  kLoadTooLarge = 0x0200,       // with kLoadFailed: a side above 30000
  kLoadIncompatible = 0x0400,   // with kLoadFailed: structure, sample type or data unusable
  kLoadOutOfMemory = 0x0800,
  kLoadPluginMissing = 0x1000,  // the compressed-FITS plug-in could not be loaded
};

// ---- Raw sample decoding types (shared with other loaders) --------------------------------
enum : int32_t {
  kDecodeUInt8 = 0,
  kDecodeInt16 = 1,
  kDecodeUInt16 = 2,
  kDecodeInt32 = 3,
  kDecodeUInt32 = 4,
  kDecodeFloat32 = 5,
  kDecodeInt64 = 6,
  kDecodeFloat64 = 7,
};

// ---- Write types (ChooseWriteType) -----------------------------------------------------------
enum : int32_t {
  kWriteUInt8 = 8,      // BITPIX 8
  kWriteInt16 = 16,     // BITPIX 16
  kWriteUInt16 = 17,    // BITPIX 16 with BZERO 32768
  kWriteInt32 = 32,     // BITPIX 32
  kWriteFloat32 = 33,   // BITPIX -32
};

// ---- Reading --------------------------------------------------------------------------------

// Loads image hduIndex of a ".fits", ".fit", ".fts" or ".fz" file (0 and 1: the first image;
// k: the k-th image extension when the primary holds no data). The result is only in the
// image and its Status: loaded + FITS header on success; failed + too large for a side
// above 30000; failed + incompatible for an unsupported structure or sample type, a data
// part shorter than the header announces, or an unreadable compressed file; plug-in missing
// when compressed files cannot be read. Nothing at all (so that other loaders may try) for
// another extension, a file that cannot be read, or a header without an image.
// Throws EOrluError "Out of memory" when the planes cannot be allocated.
void ReadFits(TAImage& image, const std::filesystem::path& fileName, int32_t hduIndex,
              bool allowUnsigned);

// The FITS entry of the loader table: ReadFits with AllowUnsignedFITS, then, with
// RowOrderFITS and ROWORDER = 'TOP-DOWN', the image (mask and solution too) flipped
// vertically.
void LoadFits(TAImage& image, const std::filesystem::path& fileName, int32_t hduIndex,
              const TFileOptions& options);

// Reads a plane of raw samples starting at byte offset of the open file descriptor fd into
// plane (already allocated), converting them to floats; swap reverses the bytes of each
// sample (big-endian files). Reads in large pieces, converting rows in parallel. False for an
// unknown type or when the file ends early; the samples not read are then 0.
bool ReadRawPlane(int fd, int64_t offset, TBWImage& plane, int32_t decodingType, bool swap);

// ---- Writing ----------------------------------------------------------------------------------

// Write type of the image: 33 for floating-point images, else the smallest integer type
// that holds every plane's range (min and max refreshed, so corrupt samples become 0).
int32_t ChooseWriteType(TAImage& image);
// The same choice from the planes' ranges (one pair per plane), decided in double.
int32_t WriteTypeForRanges(const double* mins, const double* maxs, int32_t planes,
                           bool isFloat);

// Writes the image as FITS (compressed: one RICE_1 or GZIP_2 tile per row). The header's
// geometry and scaling cards are set for the file; stale checksums, a BLANK card for float
// data and layout cards of an earlier compressed file are removed from it. The file is
// written beside the target and renamed over it: false on any failure, the target then
// unchanged. Throws EOrluError "Out of memory" when buffers cannot be allocated.
// How compressed files choose their tile coder: by the rules (GZIP_2 for floating-point data
// and strong checkerboard patterns, RICE_1 otherwise), or as the caller asks. RICE_1 codes
// integers only: floating-point data always get GZIP_2.
enum class TTileMethod { ByRule, Rice, Gzip };
bool WriteFits(TAImage& image, const std::filesystem::path& fileName, bool compressed,
               TTileMethod method = TTileMethod::ByRule);

// Text export: width, height, "COLOR"/"MONO", then one line per pixel ("%.7g", three
// values for colour), row 0 first, CR LF line ends. False on failure (target unchanged).
bool ExportText(const TAImage& image, const std::filesystem::path& fileName);
// Raw export: the planes' floats (little-endian), red, green, blue for colour, no header.
bool ExportRawFloat(const TAImage& image, const std::filesystem::path& fileName);

}  // namespace orlu
