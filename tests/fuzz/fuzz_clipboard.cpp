// libFuzzer target: clipboard pictures handed over by another program. The first byte picks
// the kind (DIB, BMP or PNG bytes, or pixels whose size and stride come from the next bytes),
// so the header checks, the DIB-to-BMP rebuild and the pixel bounds all see hostile input.
#include <cstdint>
#include <cstring>

#include "formats/LoadStatus.h"
#include "formats/uClipboard.h"
#include "image/ImaColor.h"
#include "visual/ImaRender.h"

using namespace orlu;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 12) return 0;
  TClipboardPicture pic;
  const uint8_t pick = data[0];
  switch (pick % 4) {
    case 0: pic.Kind = TClipboardPicture::TKind::Dib; break;
    case 1: pic.Kind = TClipboardPicture::TKind::Bmp; break;
    case 2: pic.Kind = TClipboardPicture::TKind::Png; break;
    default: {
      pic.Kind = TClipboardPicture::TKind::Pixels;
      uint16_t w, h;
      int32_t stride;
      std::memcpy(&w, data + 1, 2);
      std::memcpy(&h, data + 3, 2);
      std::memcpy(&stride, data + 5, 4);
      pic.Width = w;
      pic.Height = h;
      pic.Stride = stride;
      pic.Layout = TClipboardPixels(data[9] % 5);
      break;
    }
  }
  pic.Bytes.assign(data + 10, data + size);
  TAImage image;
  if (pick & 0x80) {
    TBgraBitmap preview;
    LoadClipboardPicture(pic, image, &preview);
  } else {
    LoadClipboardPicture(pic, image);
  }
  // A loaded image is whole: touch every sample.
  if (LoadSucceeded(image.Status)) {
    volatile float sink = 0;
    for (int32_t y = 0; y < image.Height(); ++y)
      for (int32_t x = 0; x < image.Width(); ++x) sink = sink + image.Value(x, y);
  }
  return 0;
}
