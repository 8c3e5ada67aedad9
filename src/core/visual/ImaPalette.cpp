#include "visual/ImaPalette.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/OrluMath.h"
#include "base/TextNumbers.h"

namespace orlu {

namespace {

struct TAnchor {
  int32_t Level;
  uint32_t Rgb;
};

// Anchors of the built-in palettes besides black at 0 and white at 255.
const std::vector<TAnchor>& BuiltInAnchors(int32_t type) {
  static const std::vector<TAnchor> kNone;
  static const std::vector<TAnchor> kTable[] = {
      {},
      {{0, 0xFFFFFF}, {255, 0x000000}},
      {{0, 0x200020}, {100, 0xE040E0}, {200, 0xFFFF00}, {255, 0xFFFFC0}},
      {{85, 0xFF0000}, {170, 0xFFFF00}},
      {{63, 0x0000FF}, {127, 0x00FF00}, {191, 0xFF0000}, {223, 0xFFFF00}},
      {{42, 0xFF0000}, {85, 0x0000FF}, {127, 0x00FF00}, {170, 0x007FFF}, {223, 0xFF3F3F}},
  };
  return type >= 0 && type <= kPaletteJazz ? kTable[type] : kNone;
}

// Longest palette file accepted: 256 four-number lines with generous spacing and a title.
constexpr std::streamsize kMaxPaletteBytes = 1 << 20;

}  // namespace

TAPalette::TAPalette() { BuildPalette(kPaletteGray, 0); }

void TAPalette::Reset() {
  for (int i = 0; i < 256; ++i) Entries[size_t(i)] = {i, i, i, 0};
  Entries[0].Defined = 1;
  Entries[255].Defined = 1;
}

void TAPalette::SetAnchor(int32_t level, uint32_t rgb) {
  TPaletteEntry& e = Entries[size_t(level)];
  e.Red = int32_t((rgb >> 16) & 0xFF);
  e.Green = int32_t((rgb >> 8) & 0xFF);
  e.Blue = int32_t(rgb & 0xFF);
  e.Defined = 1;
}

void TAPalette::Interpolate() {
  // Levels 0 and 255 are always anchors, so every gap has both neighbours.
  int prev = 0;
  for (int i = 1; i < 256; ++i) {
    if (!Entries[size_t(i)].Defined) continue;
    const TPaletteEntry& a = Entries[size_t(prev)];
    const TPaletteEntry& b = Entries[size_t(i)];
    for (int j = prev + 1; j < i; ++j) {
      const double f = double(j - prev) / double(i - prev);
      TPaletteEntry& e = Entries[size_t(j)];
      e.Red = Round(a.Red + (b.Red - a.Red) * f);
      e.Green = Round(a.Green + (b.Green - a.Green) * f);
      e.Blue = Round(a.Blue + (b.Blue - a.Blue) * f);
      e.Defined = 1;
    }
    prev = i;
  }
}

void TAPalette::UpdateColors() {
  for (size_t i = 0; i < 256; ++i) {
    const TPaletteEntry& e = Entries[i];
    Colors[i] = uint32_t(std::clamp(e.Red, 0, 255)) << 16 |
                uint32_t(std::clamp(e.Green, 0, 255)) << 8 | uint32_t(std::clamp(e.Blue, 0, 255));
  }
}

void TAPalette::BuildPalette(int32_t type, int32_t cycles) {
  if (type == kPaletteSawTooth && cycles < 2) type = kPaletteGray;
  if (type < kPaletteGray || type > kPaletteSawTooth) type = kPaletteGray;
  Reset();
  for (const TAnchor& a : BuiltInAnchors(type)) SetAnchor(a.Level, a.Rgb);
  if (type == kPaletteSawTooth) {
    const int32_t k = std::min(cycles, 50);
    // Each cycle ramps from black to white.
    for (int32_t s = 256 / k; s <= 254; s += 256 / k) {
      SetAnchor(s - 1, 0xFFFFFF);
      SetAnchor(s, 0x000000);
    }
  }
  PaletteType = type;
  Interpolate();
  UpdateColors();
}

bool TAPalette::LoadPalette(const std::filesystem::path& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  std::string text(size_t(kMaxPaletteBytes) + 1, '\0');
  f.read(text.data(), kMaxPaletteBytes + 1);
  const std::streamsize got = f.gcount();
  if (got <= 0 || got > kMaxPaletteBytes) return false;
  text.resize(size_t(got));
  const size_t eol = text.find('\n');
  if (eol == std::string::npos) return false;
  std::istringstream in(text.substr(eol + 1));
  auto next = [&in](int32_t& v) {
    std::string tok;
    return bool(in >> tok) && ParseInt32(tok, v);
  };
  int32_t n = 0;
  if (!next(n) || n < 1) return false;
  // Built in a copy: a file that fails half-way leaves the palette as it was.
  TAPalette p;
  p.Reset();
  int32_t valid = 0;
  for (int32_t line = 0; line < n; ++line) {
    int32_t level = 0, r = 0, g = 0, b = 0;
    if (!next(level) || !next(r) || !next(g) || !next(b)) return false;
    if (level < 0 || level > 255) continue;
    TPaletteEntry& e = p.Entries[size_t(level)];
    e.Red = std::clamp(r, 0, 255);
    e.Green = std::clamp(g, 0, 255);
    e.Blue = std::clamp(b, 0, 255);
    e.Defined = 1;
    ++valid;
  }
  if (valid == 0) return false;
  p.PaletteType = kPaletteFile;
  p.Interpolate();
  p.UpdateColors();
  *this = p;
  return true;
}

bool TAPalette::SavePalette(const std::filesystem::path& path) const {
  std::string text = "Palette\n256\n";
  char buf[64];
  for (int i = 0; i < 256; ++i) {
    const TPaletteEntry& e = Entries[size_t(i)];
    std::snprintf(buf, sizeof buf, "%d %d %d %d\n", i, e.Red, e.Green, e.Blue);
    text += buf;
  }
  std::filesystem::path tmp = path;
  tmp += ".tmp~";
  std::error_code ec;
  {
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    if (!f) return false;
    f.write(text.data(), std::streamsize(text.size()));
    f.close();
    if (!f) {
      std::filesystem::remove(tmp, ec);
      return false;
    }
  }
  std::filesystem::rename(tmp, path, ec);
  if (ec) std::filesystem::remove(tmp, ec);
  return !ec;
}

void TAPalette::CopyFrom(const TAPalette& source) {
  if (&source == this) return;
  Entries = source.Entries;
  PaletteType = source.PaletteType;
  UpdateColors();
}

bool TAPalette::IsGrayPalette() const {
  return std::all_of(Entries.begin(), Entries.end(), [](const TPaletteEntry& e) {
    return e.Red == e.Green && e.Green == e.Blue;
  });
}

void CopyPalette(const TAPalette& source, TAPalette& target) { target.CopyFrom(source); }

}  // namespace orlu
