// libFuzzer target: the legacy CCD loaders and the text image on hostile bytes. The first
// input byte picks the format and, for formats recognised by their size, the file is cut or
// padded to one of the sizes they take so that their decoders are reached.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "base/EOrluError.h"
#include "formats/LoadStatus.h"
#include "formats/uLegacy.h"
#include "image/ImaColor.h"

using namespace orlu;

namespace {

bool WriteFile(const std::string& p, const uint8_t* data, size_t size) {
  std::FILE* f = std::fopen(p.c_str(), "wb");
  if (!f) return false;
  const bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t pick = data[0], sel = data[1];
  std::string bytes(reinterpret_cast<const char*>(data + 2), size - 2);
  static const std::string base = (std::filesystem::temp_directory_path() /
                                   ("orlu_fuzz_legacy_" + std::to_string(::getpid())))
                                      .string();
  static const int64_t kDumps[] = {218080, 872320, 165000, 660000, 261120, 295800, 522240};
  std::string ext;
  void (*load)(const std::string&, TAImage&) = nullptr;
  switch (pick % 11) {
    case 0: ext = ".txt", load = &LoadTextImage; break;
    case 1: ext = ".bin", load = &LoadCcdTextHeader; break;
    case 2: ext = ".pic", load = &LoadHisis; break;
    case 3:
      ext = ".sbi", load = &LoadSbig;
      bytes.resize(sel & 1 ? 31872 : 31680, '\0');
      break;
    case 4:
      ext = ".pix", load = &LoadCookbook;
      if (sel & 1) bytes.resize(7 + 63360, '\0');
      break;
    case 5:
      ext = ".p1", load = &LoadCookbook;
      if (sel & 1) bytes.resize(7 + 61236, '\0');
      break;
    case 6:
      ext = ".lnx", load = &LoadLynxx;
      bytes.resize(47000 + size_t(sel) * 7, '\0');
      break;
    case 7: ext = ".img", load = &LoadDta; break;
    case 8:
      ext = ".img", load = &LoadDta;
      bytes.resize(sel & 1 ? 192566 : 128566, '\0');
      break;
    case 9: ext = ".tga", load = &LoadTga; break;
    default:
      ext = ".raw", load = &LoadHeaderlessDump;
      bytes.resize(size_t(kDumps[sel % 7]), '\0');
      break;
  }
  const std::string path = base + ext;
  if (!WriteFile(path, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size())) return 0;
  if (pick % 11 == 5) {
    // A companion ".p2" from the same bytes, cut by sel; ".p3" missing.
    const std::string p2 = base + ".p2";
    if (!WriteFile(p2, reinterpret_cast<const uint8_t*>(bytes.data()),
                   bytes.size() * sel / 255))
      return 0;
  }
  TAImage image;
  try {
    load(path, image);
  } catch (const EOrluError&) {
    return 0;  // out of memory is a status the dispatcher reports
  }
  const uint32_t s = image.Status;
  if ((s & kStatusLoaded) && (s & kStatusFailed)) __builtin_trap();
  if (!(s & kStatusLoaded)) return 0;
  volatile float sink = 0;
  for (int64_t i = 0; i < image.PixelCount(); ++i) sink = sink + image.MainPlane->Data[i];
  if (image.IsColour())
    for (int64_t i = 0; i < image.PixelCount(); ++i)
      sink = sink + image.RedPlane->Data[i] + image.BluePlane->Data[i];
  return 0;
}
