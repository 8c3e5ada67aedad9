// The clipboard loader (slot 0, pseudo path "Clipboard_.bmp"): the picture on the system
// clipboard becomes an image. The viewer's clipboard adapter hands the picture over as
// pixels or as picture-file bytes; this unit never touches the windowing toolkit.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace orlu {

class TAImage;
class TBgraBitmap;
class TLoaderTable;

// Layouts of handed-over pixels (bytes in memory order).
enum class TClipboardPixels {
  Bgra,  // blue, green, red, alpha (a 32-bit ARGB picture on a little-endian machine)
  Rgba,  // red, green, blue, alpha
  Bgr,   // blue, green, red
  Rgb,   // red, green, blue
  Gray,  // one byte
};

// What the clipboard holds as a picture.
struct TClipboardPicture {
  enum class TKind {
    None,    // no picture on the clipboard
    Pixels,  // Width x Height pixels of Layout, rows Stride bytes apart, top row first
    Png,     // the bytes of a PNG file
    Bmp,     // the bytes of a BMP file ("BM" first)
    Dib,     // a device-independent bitmap: its header, colour table and pixels
  };
  TKind Kind = TKind::None;
  int32_t Width = 0;
  int32_t Height = 0;
  int64_t Stride = 0;
  TClipboardPixels Layout = TClipboardPixels::Bgra;
  std::vector<uint8_t> Bytes;  // the pixels, or the file / DIB bytes
};

// Called by the loader to read the clipboard; fills the picture (Kind None when there is
// no picture). Set by the viewer at start-up; without one the clipboard holds nothing.
using TClipboardReader = std::function<void(TClipboardPicture& picture)>;
void SetClipboardReader(TClipboardReader reader);

// Loader contract (status bits only), only for the pseudo path "Clipboard_.bmp": the
// picture as an 8-bit image through the shared bitmap path (gray when every pixel is
// gray, status 0x0085; alpha is ignored), or drawn into the preview. No picture, a
// picture that cannot be decoded, or pixels the bytes do not hold fail (0x0100); a side
// above 30000 is refused (0x0300) before anything is decoded.
void LoadClipboard(const std::string& path, TAImage& image, TBgraBitmap* preview = nullptr);
// The same for a picture in hand (what the reader delivered).
void LoadClipboardPicture(const TClipboardPicture& picture, TAImage& image,
                          TBgraBitmap* preview = nullptr);

// Registers the clipboard loader in slot 0.
void RegisterClipboardLoader(TLoaderTable& table);

}  // namespace orlu
