// The custom RAW reader: headerless binary images whose layout the user describes in
// TRawOptions (size, header bytes to skip, sample type, byte order, colour arrangement).
#pragma once

#include <string>

namespace orlu {

class TAImage;
class TRawOptions;

// The reader takes path: Enabled, not a pseudo path, and the name matches FileExt.
bool CustomRawAccepts(const TRawOptions& options, const std::string& path);

// Loader contract (status bits only): nothing when CustomRawAccepts is false. A layout
// outside its ranges (ImageKind 0…6, BitsKind 0…3, DimHeader >= 0, DimX and DimY >= 1),
// or a file that holds no sample after the skipped header, fails (0x0100); a side above
// 30000 is refused as too large (0x0300). Otherwise the image is sized, cleared to 0 and
// filled from the file (a short file leaves zeros), flipped when YFlipped, given the
// geometry cards (bit depth 8, 16 or 32) and marked loaded; 8-bit data also set 0x0004 and
// float data set IsFloat. Throws EOrluError "Out of memory" when the image cannot be sized.
void LoadCustomRaw(const TRawOptions& options, const std::string& path, TAImage& image);

}  // namespace orlu
