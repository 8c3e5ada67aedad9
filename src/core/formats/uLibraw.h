// Camera RAW: the loader of digital-camera raw files (slot 10), the LibRaw mosaic path, the
// four-call RAW decoder layer, and the TIFF/EXIF and Canon CIFF metadata readers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orlu {

class TAImage;
class TDslrOptions;
class TLoaderTable;

// ============================================================================ byte sources

// Random-access bytes of a file or a buffer; the metadata readers see nothing else.
class TByteSource {
 public:
  virtual ~TByteSource() = default;
  virtual uint64_t Size() const = 0;
  // Copies n bytes from offset; false (buf unspecified) unless all n lie inside the source.
  virtual bool Read(uint64_t offset, void* buf, size_t n) const = 0;
};

class TMemorySource final : public TByteSource {
 public:
  TMemorySource(const void* data, size_t size) : Data_(static_cast<const uint8_t*>(data)), Size_(size) {}
  uint64_t Size() const override { return Size_; }
  bool Read(uint64_t offset, void* buf, size_t n) const override;

 private:
  const uint8_t* Data_;
  size_t Size_;
};

// A regular file opened read-only; Size() is 0 when it could not be opened.
class TFileSource final : public TByteSource {
 public:
  explicit TFileSource(const std::string& path);
  ~TFileSource() override;
  TFileSource(const TFileSource&) = delete;
  TFileSource& operator=(const TFileSource&) = delete;
  uint64_t Size() const override { return Size_; }
  bool Read(uint64_t offset, void* buf, size_t n) const override;

 private:
  int Fd_ = -1;
  uint64_t Size_ = 0;
};

// ============================================================================ metadata

// What the TIFF/EXIF reader found. Text holds header lines ("EXPOSURE= ...", "DATE-OBS=
// '...'", "COMMENT ...") joined by "\r\n", for TFitsStrings::ImportText.
struct TExifMetadata {
  bool HasTiffHeader = false;
  int32_t Width = 0;            // tag 256
  int32_t Height = 0;           // tag 257
  int32_t BitsPerSample = 0;    // tag 258, first value
  int32_t Compression = 0;      // tag 259
  int32_t SamplesPerPixel = 0;  // tag 277
  int32_t SampleFormat = 0;     // tag 339
  uint64_t StripOffset = 0;     // tag 273, first value, counted from the file start
  std::string Make;             // tag 271, trimmed (camera texts)
  std::string Model;            // tag 272, trimmed
  std::string FitsHeader;       // an image description (tag 270) that is a FITS header
  std::string Text;
  // BitsPerSample × 3 for three samples per pixel, 64 for two or four, else BitsPerSample.
  int32_t BitDepth() const;
};

// TIFF header at the start, or "Exif" at 6 with a TIFF header at 12, or one of the two
// classic 8-byte headers within the first 16 blocks of 256 bytes (step 240). Reads the first
// directory and the EXIF sub-directories it points to (at most 100 entries each, every
// offset bounded by the source, each directory read once). Never throws on bad data.
TExifMetadata ReadExifMetadata(const TByteSource& source);

// Canon CIFF (".crw") metadata as header lines (capture time, camera texts) joined by
// "\r\n"; empty when the source is no CIFF file. Sub-heaps are bounded by their parent,
// nested at most 8 deep and read once each. Never throws on bad data.
std::string ReadCiffMetadata(const TByteSource& source);

// ============================================================================ RAW decoder layer

// Flags of kp_openw.
inline constexpr int32_t kKpFastInterpolation = 1;  // bilinear instead of the slow quality one
inline constexpr int32_t kKpHalfSize = 2;           // half-size colour output (with 1 it makes 3)
inline constexpr int32_t kKpCameraWB = 4;           // white balance as shot
inline constexpr int32_t kKpSoftwareWB = 8;         // white balance from the image itself
inline constexpr int32_t kKpMosaic = 16;            // undemosaiced mosaic, one plane

// The four calls of the RAW decoder library. Not thread-safe: one caller at a time runs
// kp_openw … kp_fetch (the loader holds a lock around the sequence).
// Decodes the file (UTF-8 path; widePath is used only when path is null or empty). Non-zero
// when the file was decoded; the data are kept until kp_fetch or the next kp_openw.
int32_t kp_openw(const char* path, int32_t flags, const wchar_t* widePath);
// Capture time of the decoded file in seconds since 1970-01-01 00:00 (0 when unknown).
int32_t kp_stamp(double* seconds);
// Size of the decoded image (0 × 0 when nothing is decoded).
int32_t kp_extent(int32_t* width, int32_t* height);
// Copies the decoded samples (0…65535) into planes of width × height floats, the last
// decoded row into row 0 (the bottom row). A mosaic fills only red (the others may be
// null). Releases the decoded data; all-null planes only release. Non-zero when copied.
int32_t kp_fetch(float* red, float* green, float* blue);

// The entry points of a RAW decoder library.
struct TRawDecoderApi {
  int32_t (*OpenW)(const char* path, int32_t flags, const wchar_t* widePath);
  int32_t (*Stamp)(double* seconds);
  int32_t (*Extent)(int32_t* width, int32_t* height);
  int32_t (*Fetch)(float* red, float* green, float* blue);
};

// The decoder library in use: the built-in layer above unless replaced; nullptr when absent.
const TRawDecoderApi* RawDecoderLibrary();
// Test seams: another library (nullptr: absent), and back to the built-in layer.
void SetRawDecoderLibrary(const TRawDecoderApi* api);
void RestoreRawDecoderLibrary();
// Test seam: LibRaw behaves as not loadable (the mosaic path then loads nothing).
void PretendLibRawMissing(bool missing);

// ============================================================================ loader

// The kp_openw flags for the options: 1 unless HQInterpolation, 3 instead for Binning2x2
// with colour output or for a preview; +4 CameraWB; +8 SoftwareWB; +16 without colour
// output. Colour output is wanted for DCColorSynthesis or a preview.
int32_t DcrawFlags(const TDslrOptions& options, bool preview);

// The extension of path is one of the ";"-separated items of list ("*.nef", ".nef" or "nef",
// letter case ignored).
bool ExtensionListed(std::string_view path, std::string_view list);

// Loader contract (status bits only). ".cr3", and ".nef" of a NIKON Z camera other than
// the Z 5, open through LibRaw as the 16-bit gray mosaic of the visible area. Other
// extensions of FileExtensions go to the RAW decoder library (nothing when it is absent):
// a gray mosaic, or with colour output (DCColorSynthesis, preview) a 16-bit colour image,
// with DATE-OBS from the capture time and the TIFF/EXIF or CIFF metadata cards. A file the
// decoders refuse leaves the status untouched; sizes of 0 fail (0x0100), above 30000 are
// refused (0x0300). For a preview the header records twice the decoded size. Throws
// EOrluError "Out of memory" when the image cannot be sized.
void LoadCameraRaw(const TDslrOptions& options, const std::string& path, bool preview,
                   TAImage& image);

// Registers the camera RAW loader in slot 10.
void RegisterCameraRawLoader(TLoaderTable& table);

}  // namespace orlu
