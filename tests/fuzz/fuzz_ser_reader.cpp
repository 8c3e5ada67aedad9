// libFuzzer target: the SER loader on hostile bytes, with the frame index taken from the
// input's length; an image that loads must hold readable samples and no failure bit.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "base/EOrluError.h"
#include "formats/LoadStatus.h"
#include "formats/uSer.h"
#include "image/ImaColor.h"

using namespace orlu;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string in = (std::filesystem::temp_directory_path() /
                                 ("orlu_fuzz_ser_" + std::to_string(::getpid()) + ".ser"))
                                    .string();
  std::FILE* f = std::fopen(in.c_str(), "wb");
  if (!f) return 0;
  const bool written = std::fwrite(data, 1, size, f) == size;
  if (std::fclose(f) != 0 || !written) return 0;
  static const int32_t kFrames[] = {0, 1, 2, 7, -1, 9999, INT32_MAX};
  TAImage image;
  try {
    LoadSer(in, kFrames[size % 7], image);
  } catch (const EOrluError&) {
    return 0;  // out of memory is a status the dispatcher reports
  }
  const uint32_t s = image.Status;
  if ((s & kStatusLoaded) && (s & kStatusFailed)) __builtin_trap();
  if (!(s & kStatusLoaded)) return 0;
  (void)SerFrameCount(in);
  volatile float sink = 0;
  for (int64_t i = 0; i < image.PixelCount(); ++i) sink = sink + image.MainPlane->Data[i];
  if (image.IsColour())
    for (int64_t i = 0; i < image.PixelCount(); ++i)
      sink = sink + image.RedPlane->Data[i] + image.BluePlane->Data[i];
  return 0;
}
