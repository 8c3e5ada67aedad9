// Translation of tile-compressed extension keywords into image form.
#include "fits/FitsCompressKeys.h"

#include "fits/ImaHeader.h"

namespace orlu {

void TranslateCompressionKeys(TFitsStrings& header) {
  for (std::string_view k : kCompressDroppedKeys) header.DeleteKey(k);
  for (const TCompressAxisKey& a : kCompressAxisKeys) {
    if (!header.HasKey(a.ZKey)) continue;
    header.SetInt(a.Key, header.GetInt(a.ZKey), true);
    header.DeleteKey(a.ZKey);
  }
  header.RenameKey(kCompressTypeKey, kOriginalCompressionKey);
}

}  // namespace orlu
