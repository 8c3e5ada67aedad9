// Keyword translation between a tile-compressed image extension and the image header it
// stands for (shared by the header reader and the compressed-file writer).
#pragma once

#include <array>
#include <string_view>

namespace orlu {

class TFitsStrings;

// Cards of the binary table that carries the tiles; deleted when the header is read.
// CHECKSUM and DATASUM appear twice: a table may carry them for both units.
// ZQUANTIZ and ZDITHER0 describe how the tiles were coded, not the image: kept, they would
// travel into a plain file saved later.
inline constexpr std::array<std::string_view, 24> kCompressDroppedKeys = {
    "ZSIMPLE", "ZIMAGE",   "ZEXTEND",  "ZTILE1",   "ZTILE2", "ZTILE3",  "TTYPE1",   "TFORM1",
    "TFIELDS", "ZNAME1",   "ZVAL1",    "ZNAME2",   "ZVAL2",  "ZNAME3",  "ZVAL3",    "ZHECKSUM",
    "ZDATASUM", "CHECKSUM", "DATASUM", "CHECKSUM", "DATASUM", "QVIM_IDX", "ZQUANTIZ", "ZDITHER0"};

// The image's own structure is stored under these Z keywords.
struct TCompressAxisKey {
  std::string_view ZKey;
  std::string_view Key;
};
inline constexpr std::array<TCompressAxisKey, 5> kCompressAxisKeys = {{
    {"ZNAXIS", "NAXIS"},
    {"ZNAXIS1", "NAXIS1"},
    {"ZNAXIS2", "NAXIS2"},
    {"ZNAXIS3", "NAXIS3"},
    {"ZBITPIX", "BITPIX"},
}};

// Compression method of the table; kept in image form as ORIG_CMP.
inline constexpr std::string_view kCompressTypeKey = "ZCMPTYPE";
inline constexpr std::string_view kOriginalCompressionKey = "ORIG_CMP";

// Turns a merged tile-compressed extension header into image form: drops the table cards,
// takes NAXIS, NAXISn and BITPIX from their Z cards (which are deleted), renames ZCMPTYPE.
void TranslateCompressionKeys(TFitsStrings& header);

}  // namespace orlu
