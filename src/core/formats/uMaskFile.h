// Masks as PNG files: the mask window's save (8 or 16 bit) and the "load from file" command.
#pragma once

#include <filesystem>
#include <string>

#include "formula/ImaMask.h"

namespace orlu {

// Filter of the mask file dialogs; index 1 writes 8-bit files, index 2 16-bit files.
inline constexpr std::string_view kMaskFileFilter =
    "PNG, *.png (8 bit)|*.png|PNG, *.png (16 bit)|*.png";

// Writes the mask as a gray PNG, top row of the picture first (the mask keeps its bottom
// row first): 16-bit weights as they are, 8-bit as Round(weight / 257). False with error
// set when the mask has no storage or the file cannot be written (the old file then stays).
bool SaveMaskFile(const TAMask& mask, const std::filesystem::path& path, bool sixteenBit,
                  std::string& error);

// Reads a PNG as a gray picture (colour files as (R + 2G + B) / 4) into mask: samples of a
// file whose maximum is at most 255 are scaled by 257; a file of another size is resampled
// to the mask's size. The mask's size never changes. False with error set, mask unchanged,
// when the file cannot be read or memory is short.
bool LoadMaskFile(const std::filesystem::path& path, TAMask& mask, std::string& error);

}  // namespace orlu
