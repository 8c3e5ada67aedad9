// libFuzzer target: the camera RAW metadata readers (TIFF/EXIF and Canon CIFF) on hostile
// bytes; the lines they produce go into a FITS header as the loader puts them there.
#include <cstdint>
#include <string>

#include "fits/ImaHeader.h"
#include "formats/uLibraw.h"

using namespace orlu;

namespace {

// Lines must never carry control characters: ImportText would split them into cards.
void CheckLines(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      ++i;
      continue;
    }
    if (c < 32 || c == 127) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const TMemorySource source(data, size);
  const TExifMetadata exif = ReadExifMetadata(source);
  const std::string ciff = ReadCiffMetadata(source);
  CheckLines(exif.Text);
  CheckLines(ciff);
  if (exif.Make.size() > 79 || exif.Model.size() > 79) __builtin_trap();
  TFitsStrings header;
  header.InitMinimal();
  const int before = header.Count();
  header.ImportText(exif.Text);
  header.ImportText(ciff);
  // The structural cards stay where they are whatever the file says.
  if (header.Count() < before || TFitsStrings::KeywordOf(header[0]) != "SIMPLE") __builtin_trap();
  volatile int32_t depth = exif.BitDepth();
  (void)depth;
  return 0;
}
