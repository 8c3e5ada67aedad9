// A plain PNG encoder for tests, written from the format's rules and independent of the
// program's codec: any colour type and depth, Adam7, every filter type, extra chunks.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace orlu::testing_formats {

struct TPngSpec {
  int32_t Width = 1;
  int32_t Height = 1;
  int32_t Depth = 8;
  int32_t ColourType = 0;
  bool Interlaced = false;
  // Samples of each pixel (1, 2, 3 or 4 per pixel by colour type), top row first.
  std::vector<uint32_t> Samples;
  std::vector<uint8_t> Palette;  // RGB triples for colour type 3
  std::string Text;              // tEXt data when not empty (keyword, NUL, text)
  uint32_t IdatPieces = 1;       // the stream split over this many IDAT chunks
};

inline int32_t SamplesOf(int32_t colourType) {
  return colourType == 2 ? 3 : colourType == 4 ? 2 : colourType == 6 ? 4 : 1;
}

inline void AppendBe32(std::string& s, uint32_t v) {
  s += char(v >> 24);
  s += char(v >> 16);
  s += char(v >> 8);
  s += char(v);
}

inline std::string PngChunk(const char* type, const std::string& data) {
  std::string c;
  AppendBe32(c, uint32_t(data.size()));
  std::string td = std::string(type, 4) + data;
  c += td;
  AppendBe32(c, uint32_t(crc32(0, reinterpret_cast<const Bytef*>(td.data()), uInt(td.size()))));
  return c;
}

// Filtered scanlines of a sub-picture (pixels xs[i] of rows ys[j]); row j uses filter j % 5.
inline void AppendFilteredRows(const TPngSpec& s, const std::vector<int32_t>& xs,
                               const std::vector<int32_t>& ys, std::string& out) {
  if (xs.empty() || ys.empty()) return;
  const int32_t spp = SamplesOf(s.ColourType);
  const int32_t bitsPP = spp * s.Depth;
  const size_t rowBytes = (size_t(xs.size()) * bitsPP + 7) / 8;
  const int bpp = bitsPP < 8 ? 1 : bitsPP / 8;
  std::vector<uint8_t> prev(rowBytes, 0), raw(rowBytes);
  for (size_t j = 0; j < ys.size(); ++j) {
    std::fill(raw.begin(), raw.end(), 0);
    size_t bit = 0;
    for (int32_t x : xs) {
      for (int32_t k = 0; k < spp; ++k) {
        const uint32_t v = s.Samples[(size_t(ys[j]) * s.Width + x) * spp + k];
        for (int32_t b = s.Depth - 1; b >= 0; --b, ++bit)
          if ((v >> b) & 1) raw[bit / 8] |= uint8_t(0x80 >> (bit % 8));
      }
    }
    const int f = int(j % 5);
    out += char(f);
    for (size_t i = 0; i < rowBytes; ++i) {
      const int a = i >= size_t(bpp) ? raw[i - bpp] : 0;
      const int b = prev[i];
      const int c = i >= size_t(bpp) ? prev[i - bpp] : 0;
      int pred = 0;
      if (f == 1) pred = a;
      if (f == 2) pred = b;
      if (f == 3) pred = (a + b) / 2;
      if (f == 4) {
        const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
        pred = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
      }
      out += char(uint8_t(raw[i] - pred));
    }
    prev = raw;
  }
}

inline std::string EncodePng(const TPngSpec& s) {
  std::string raw;
  if (!s.Interlaced) {
    std::vector<int32_t> xs(size_t(s.Width)), ys(size_t(s.Height));
    for (int32_t i = 0; i < s.Width; ++i) xs[size_t(i)] = i;
    for (int32_t i = 0; i < s.Height; ++i) ys[size_t(i)] = i;
    AppendFilteredRows(s, xs, ys, raw);
  } else {
    const int p[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                         {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    for (const auto& q : p) {
      std::vector<int32_t> xs, ys;
      for (int32_t x = q[0]; x < s.Width; x += q[2]) xs.push_back(x);
      for (int32_t y = q[1]; y < s.Height; y += q[3]) ys.push_back(y);
      AppendFilteredRows(s, xs, ys, raw);
    }
  }
  uLongf zlen = compressBound(uLong(raw.size()));
  std::string z(zlen, '\0');
  compress2(reinterpret_cast<Bytef*>(z.data()), &zlen, reinterpret_cast<const Bytef*>(raw.data()),
            uLong(raw.size()), 9);
  z.resize(zlen);
  std::string png("\x89PNG\r\n\x1a\n", 8);
  std::string ihdr;
  AppendBe32(ihdr, uint32_t(s.Width));
  AppendBe32(ihdr, uint32_t(s.Height));
  ihdr += char(s.Depth);
  ihdr += char(s.ColourType);
  ihdr += '\0';
  ihdr += '\0';
  ihdr += char(s.Interlaced ? 1 : 0);
  png += PngChunk("IHDR", ihdr);
  if (!s.Palette.empty())
    png += PngChunk("PLTE", std::string(s.Palette.begin(), s.Palette.end()));
  if (!s.Text.empty()) png += PngChunk("tEXt", s.Text);
  const size_t pieces = s.IdatPieces < 1 ? 1 : s.IdatPieces;
  const size_t step = (z.size() + pieces - 1) / pieces;
  for (size_t at = 0; at < z.size(); at += step) png += PngChunk("IDAT", z.substr(at, step));
  png += PngChunk("IEND", "");
  return png;
}

}  // namespace orlu::testing_formats
