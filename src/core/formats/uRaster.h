// Raster formats: the loaders of PNG, TIFF, JPEG, BMP and the formats read through the
// image library (GIF, PCX, PSD, HDR, EXR), the shared path of decoded 8-bit pictures, and
// the data and view writers (PNG, TIFF, JPEG, BMP) with the 16-bit view stretch.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/PixelMemory.h"

namespace orlu {

class TAImage;
class TAMask;
class TBgraBitmap;
class TLoaderTable;

// ============================================================================ registration

// BMP (slot 2), JPEG (slot 4), PNG (slot 5), TIFF (slot 11), image library (slot 17).
void RegisterRasterLoaders(TLoaderTable& table);

// ============================================================================ decoded pictures

// An 8-bit picture as picture decoders deliver it: blue, green, red (and alpha) bytes,
// rows top first, Stride bytes apart.
struct TRasterBitmap {
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t BytesPerPixel = 3;  // 3 (BGR) or 4 (BGRA); other values are not accepted
  int64_t Stride = 0;
  PixelBlockPtr<uint8_t> Data;

  // Sizes the picture (1…30000 per side, 3 or 4 bytes per pixel, rows packed); false,
  // picture empty, when that is refused or memory ran short.
  bool Allocate(int32_t w, int32_t h, int32_t bytesPerPixel);
  uint8_t* Row(int32_t y) { return Data.get() + int64_t(y) * Stride; }
  const uint8_t* Row(int32_t y) const { return Data.get() + int64_t(y) * Stride; }
};

// Some pixel has unequal blue, green and red bytes.
bool BitmapIsColour(const TRasterBitmap& bitmap);
// The shared path of decoded pictures: the image becomes colour or gray by BitmapIsColour,
// gets the picture (top row to image row height - 1), the geometry cards for 8 bits and
// status 0x0085. Sides above 30000 give 0x0300. Throws EOrluError "Out of memory".
// With a preview the picture is drawn fitted into it instead (0x0008 as well); the image
// gets only the geometry cards.
void LoadFromBitmap(const TRasterBitmap& bitmap, TAImage& image, TBgraBitmap* preview = nullptr);
// Draws a picture of blue, green, red (and alpha) bytes, rows top first, into the preview,
// resized to the picture fitted into its present size (PreviewSize). False when memory ran
// short.
bool DrawPreviewFromPicture(const uint8_t* pixels, int32_t w, int32_t h, int32_t bytesPerPixel,
                            int64_t stride, TBgraBitmap& preview);
// Hands a picture to the BMP loader's pseudo path "GTestBMP_.bmp"; the next load of that
// path takes it (24- or 32-bit only) and empties the slot. Thread-safe.
void HandOverBitmap(std::unique_ptr<TRasterBitmap> bitmap);

// ============================================================================ loaders
// Each follows the loader contract: the status is left untouched when the file is not its
// format, else the image is filled and 0x0080 set, or failure bits are set.

// ".png": the program's codec; files it cannot decode go to the image library. The FITS
// header chunk, when present, gives the header, the stored view and the solution.
void LoadPng(const std::string& path, TAImage& image);
// ".bmp", ".dib" and the pseudo path "GTestBMP_.bmp". Draws previews itself.
void LoadBmp(const std::string& path, TAImage& image, TBgraBitmap* preview = nullptr);
// ".jpg", ".jpeg", with the TIFF/EXIF metadata as header cards. Previews are decoded at
// reduced scale (JpegPreviewScale of the file's size, fastest settings) and drawn by the
// loader; the header then records the file's size.
void LoadJpeg(const std::string& path, TAImage& image, TBgraBitmap* preview = nullptr);
// ".tif", ".tiff", ".237", ".255": plain uncompressed strips by the program, the rest
// (tiles, compression, planar data, other photometrics and depths) by the image library.
void LoadTiff(const std::string& path, TAImage& image);
// ".gif", ".pcx", ".psd", ".hdr", ".exr".
void LoadImageLibraryFile(const std::string& path, TAImage& image);
// Any file the image library recognises by content or name; transparency becomes the
// mask. Unknown or unreadable files set 0x0100; sides above 30000 0x0300.
void LoadWithImageLibrary(const std::string& path, TAImage& image);

// ============================================================================ JPEG

// Width and height from the start-of-frame marker; 0, 0 when the file is not a JPEG or
// the markers are damaged.
void JpegSize(const std::string& path, int32_t& width, int32_t& height);
// The decoding scale of a preview: 2 above 800 pixels in either axis, 4 above 1600, 8
// above 3200, else 1.
int32_t JpegPreviewScale(int32_t width, int32_t height);
// Decodes a JPEG at 1/scale (1, 2, 4 or 8) as a BGR picture; fast selects the fastest
// decoder settings (previews). False on any decoder error or refused size.
bool DecodeJpeg(const std::string& path, int32_t scale, bool fast, TRasterBitmap& bitmap);

// ============================================================================ 16-bit views

// The image's visualization (view range and transfer function, not the palette) with
// levels 0…65535, evaluated on bands of 64 rows so that no full-size copy is made.
// Bound to one image that must outlive it and stay unchanged; not thread-safe.
class TVisualStretch16 {
 public:
  explicit TVisualStretch16(const TAImage& image);
  ~TVisualStretch16();
  // Levels of pixel (x, y); 0 outside the image. Throws EOrluError "Out of memory".
  void GetRGB(int32_t x, int32_t y, float& r, float& g, float& b);
  // Levels of row y; r and b receive the green levels for monochrome images. Zeros outside.
  void GetRow(int32_t y, float* r, float* g, float* b);

  static constexpr int32_t kBandRows = 64;

 private:
  void LoadBand(int32_t band);
  const TAImage& Source;
  std::unique_ptr<TAImage> Band;
  int32_t BandIndex = -1;
};

// ============================================================================ writers
// Every writer writes beside the target and renames on success: false on any failure,
// and an existing file of that name is then unchanged.

// PNG of the image data (stretched false: 8-bit when all planes lie in 0…255, else 16-bit,
// values rounded and clamped) or of its 16-bit view (stretched true); mask, when given and
// holding weights, as alpha. headerText is embedded as the FITS header chunk.
bool WritePngFromImage(TAImage& image, const std::filesystem::path& path,
                       const std::string& headerText, const TAMask* mask, bool stretched);
// 8-bit PNG of a view picture (bottom row first in memory): RGB when colour, else gray
// (2G + R + B) / 4; mask weights / 256 as alpha.
bool WritePngFromView(const TBgraBitmap& view, const std::filesystem::path& path,
                      const std::string& headerText, const TAMask* mask, bool colour);
// Uncompressed little-endian TIFF of the image data (8-bit when all planes lie in 0…255,
// else 16-bit) or of its 16-bit view (stretched). Refused (false) above 4 GiB.
bool WriteTiffFromImage(TAImage& image, bool stretched, const std::filesystem::path& path);
// 8-bit TIFF of a view picture: RGB, or gray (77R + 151G + 28B) / 256 when gray.
bool WriteViewTiff8(const TBgraBitmap& view, const std::filesystem::path& path, bool gray);
// Windows bitmap of a view picture: 24-bit, or 8-bit with a gray palette when gray.
bool WriteViewBmp(const TBgraBitmap& view, const std::filesystem::path& path, bool gray);
// Baseline JPEG of a view picture at quality 1…100.
bool WriteViewJpeg(const TBgraBitmap& view, const std::filesystem::path& path, int32_t quality);

}  // namespace orlu
