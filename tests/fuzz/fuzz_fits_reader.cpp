// libFuzzer target: the FITS reader (plain and tile-compressed, every HDU choice) on hostile
// bytes; images that load are written back (plain or compressed) and read again.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "base/EOrluError.h"
#include "fits/ImaFiles.h"
#include "image/ImaColor.h"

using namespace orlu;

namespace {

std::filesystem::path TempPath(const char* suffix) {
  return std::filesystem::temp_directory_path() /
         ("orlu_fuzz_fits_" + std::to_string(::getpid()) + suffix);
}

bool WriteBytes(const std::filesystem::path& p, const uint8_t* data, size_t size) {
  std::FILE* f = std::fopen(p.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::filesystem::path in = TempPath(".fits");
  static const std::filesystem::path out = TempPath("_out.fits");
  if (!WriteBytes(in, data, size)) return 0;
  // The bytes are the file itself; the HDU choice and options come from its length.
  const int32_t hdu = int32_t(size % 4);
  TAImage image;
  try {
    ReadFits(image, in, hdu, (size & 4) != 0);
  } catch (const EOrluError&) {
    return 0;  // out of memory is a status the dispatcher reports
  }
  const bool loaded = (image.Status & kLoadLoaded) != 0;
  if (loaded && (image.Status & (kLoadFailed | kLoadPluginMissing))) __builtin_trap();
  if (!loaded || image.PixelCount() > 4096) return 0;
  // Every sample was written by the reader: reading them must be defined behaviour.
  volatile float sink = 0;
  for (int64_t i = 0; i < image.PixelCount(); ++i) sink = sink + image.MainPlane->Data[i];
  if (WriteFits(image, out, (size & 8) != 0)) {
    TAImage back;
    ReadFits(back, out, 0, false);
    if (!(back.Status & kLoadLoaded) || back.Width() != image.Width() ||
        back.Height() != image.Height() || back.IsColour() != image.IsColour())
      __builtin_trap();
  }
  return 0;
}
