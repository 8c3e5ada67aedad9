// libFuzzer targets: the program's own PNG and TIFF readers on hostile bytes (the image
// library fallback is left out: it is not our code). Built twice, once per format
// (ORLU_FUZZ_PNG or ORLU_FUZZ_TIFF). Images that load are written back and read again.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "base/EOrluError.h"
#include "formats/LoadStatus.h"
#include "formats/uPng.h"
#include "formats/uRaster.h"
#include "formats/uRasterPvt.h"
#include "image/ImaColor.h"

using namespace orlu;

namespace {

#ifdef ORLU_FUZZ_PNG
constexpr const char* kSuffix = ".png";
#else
constexpr const char* kSuffix = ".tif";
#endif

std::string TempPath(const char* tag) {
  return (std::filesystem::temp_directory_path() /
          ("orlu_fuzz_raster_" + std::to_string(::getpid()) + tag + kSuffix))
      .string();
}

bool WriteBytes(const std::string& p, const uint8_t* data, size_t size) {
  std::FILE* f = std::fopen(p.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

void Load(const std::string& path, TAImage& image) {
#ifdef ORLU_FUZZ_PNG
  LoadPngFile(path, image, false);
#else
  LoadTiffFile(path, image, false);
#endif
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string in = TempPath("");
  static const std::string out = TempPath("_out");
  if (!WriteBytes(in, data, size)) return 0;
  TAImage image;
  try {
    Load(in, image);
  } catch (const EOrluError&) {
    return 0;  // out of memory: the dispatch reports it
  }
  if (!LoadSucceeded(image.Status) || image.PixelCount() > 65536) return 0;
  volatile float sink = 0;
  for (int64_t i = 0; i < image.PixelCount(); ++i) sink = sink + image.MainPlane->Data[i];
#ifdef ORLU_FUZZ_PNG
  const bool written = WritePngFromImage(image, out, image.Header.ExportHeaderText(), nullptr, false);
#else
  const bool written = WriteTiffFromImage(image, false, out);
#endif
  if (written && !image.IsFloat) {
    TAImage back;
    Load(out, back);
    if (!LoadSucceeded(back.Status) || back.Width() != image.Width() ||
        back.Height() != image.Height() || back.IsColour() != image.IsColour())
      __builtin_trap();
  }
  return 0;
}
