// The 256-colour palettes that colour gray images: built-in palettes, saw-tooth palettes
// and palette files.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

namespace orlu {

// Palette types (PaletteType).
enum : int32_t {
  kPaletteGray = 0,
  kPaletteNegative = 1,
  kPaletteColor = 2,
  kPaletteFlame = 3,
  kPaletteRainbow = 4,
  kPaletteJazz = 5,
  kPaletteSawTooth = 6,
  kPaletteFile = 7,
};

struct TPaletteEntry {
  int32_t Red = 0;  // 0..255 each
  int32_t Green = 0;
  int32_t Blue = 0;
  uint8_t Defined = 0;  // an anchor (while building) or filled in
};

class TAPalette {
 public:
  // Gray.
  TAPalette();

  int32_t PaletteType = kPaletteGray;
  std::array<uint32_t, 256> Colors{};  // 0x00RRGGBB per level, derived from Entries
  std::array<TPaletteEntry, 256> Entries{};

  // Builds a built-in palette: types 0..6 (other types give Gray); for SawTooth, cycles
  // below 2 give Gray and above 50 count as 50.
  void BuildPalette(int32_t type, int32_t cycles);
  // Reads a palette file (title line, a count n, then n lines "level red green blue").
  // Lines with a level outside 0..255 are skipped, channels are clamped to 0..255, the gaps
  // between the anchors are interpolated and the type becomes 7. False (palette unchanged)
  // when the file is missing, unreadable, malformed or holds no valid line.
  bool LoadPalette(const std::filesystem::path& path);
  // Writes all 256 entries in the form LoadPalette reads; false on a write error.
  bool SavePalette(const std::filesystem::path& path) const;
  // Copies the entries and the type; recomputes Colors.
  void CopyFrom(const TAPalette& source);
  // red = green = blue in every entry.
  bool IsGrayPalette() const;
  // Colors from Entries.
  void UpdateColors();

 private:
  void Reset();
  void SetAnchor(int32_t level, uint32_t rgb);
  void Interpolate();
};

// Copies source into target (CopyFrom).
void CopyPalette(const TAPalette& source, TAPalette& target);

}  // namespace orlu
