// Loaders of the text image and of older CCD camera formats: the CCD text-header image,
// HISIS, SBIG, Cookbook, Lynxx/Electrim, DTA, TGA and headerless dumps recognised by size.
// Each follows the loader contract: status untouched when the file is not its format,
// otherwise kStatusLoaded after filling the image and its geometry cards, or failure bits.
// Sizes and offsets are checked against the file length before the image is sized; a file
// that ends before the bytes a format reads fails (0x0100). A side above 30000 is refused
// (0x0300). They throw EOrluError "Out of memory" when the image cannot be sized.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orlu {

class TAImage;
class TLoaderTable;

// ".txt", ".cnv": width, height and "MONO"/"COLOR" (or empty) on the first three lines, then
// one line per pixel from row 0 (the bottom row), "r g b" for colour. Lines that are missing
// at the end leave zeros, but the rest of the file must hold at least one byte per pixel.
// Integer data give 32 bits; any fractional value marks the image floating point (-32).
void LoadTextImage(const std::string& path, TAImage& image);

// Any file whose first 2048 bytes hold "file_version" (within the first 100 characters),
// "width" and "height", letter case ignored. Every non-empty header line (text up to the
// first NUL) becomes a COMMENT card.
void LoadCcdTextHeader(const std::string& path, TAImage& image);

// One row of the delta-compressed CCD text-header data: a 16-bit first sample, then bytes
// that add -127…127 to the previous sample, 0x80 introducing a new 16-bit sample. Writes at
// most width samples to out, reading at most n bytes; returns how many were written.
int32_t DecodeDeltaRow(const uint8_t* row, size_t n, int32_t width, uint16_t* out);

void LoadHisis(const std::string& path, TAImage& image);          // ".pic"
void LoadSbig(const std::string& path, TAImage& image);           // ".sbi", ".08b", ".st4"
// ".pix" one file; ".p1" three and ".pa" two companion files (the name's last character
// replaced by 1, 2, 3 or a, b): a missing companion leaves its part 0, a short one fails.
void LoadCookbook(const std::string& path, TAImage& image);
void LoadLynxx(const std::string& path, TAImage& image);          // ".ccd", ".lnx"
void LoadDta(const std::string& path, TAImage& image);            // ".img"
// ".tga" of type 1 or 3 with 8-bit pixels (gray; colour-map indices taken as gray values) or
// type 2 with 24- or 32-bit pixels (colour); rows bottom first unless the descriptor says
// top first. 8-bit geometry, status 0x0085.
void LoadTga(const std::string& path, TAImage& image);
// Any file of exactly 218080, 872320, 165000, 660000, 261120, 295800 or 522240 bytes.
void LoadHeaderlessDump(const std::string& path, TAImage& image);

// Slots 7, 8, 9, 12, 13, 14, 15, 16 and 20.
void RegisterLegacyLoaders(TLoaderTable& table);

}  // namespace orlu
