#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FormatsTestUtil.h"
#include "formats/LoadStatus.h"
#include "formats/uFiles.h"
#include "formats/uRawCustom.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"

using namespace orlu;
using orlu::testing_formats::TTempDir;

namespace {

constexpr int32_t kW = 3;
constexpr int32_t kH = 2;

// A distinct value for every (colour, x, y) of a 3 × 2 image, colour 0 red, 1 green,
// 2 blue, chosen to reach the parts of each sample type where decoders go wrong: bytes
// above 127, 16-bit values above 32767 or below 0, 32-bit values beyond 2^24 and 2^31.
double SampleValue(int32_t bitsKind, bool isUnsigned, int32_t colour, int32_t x, int32_t y) {
  const int32_t i = colour * kW * kH + y * kW + x;  // 0..17
  switch (bitsKind) {
    case 0: return 14 * i + 7;                                   // 7 … 245
    case 1: return isUnsigned ? 3851.0 * i + 11 : -32000.0 + 3700.0 * i;
    case 2: return isUnsigned ? 250000000.0 * i + 3 : -2000000000.0 + 230000000.0 * i;
    default: return (-3.5 + 0.75 * i) * (i % 2 ? 1e20 : 1.0);
  }
}

// Bytes of one sample as a file stores it, built from the value by plain shifts.
std::string EncodeSample(double v, int32_t bitsKind, bool isUnsigned, bool littleEndian) {
  uint64_t bits = 0;
  int32_t n = 1;
  switch (bitsKind) {
    case 0: bits = uint8_t(v); n = 1; break;
    case 1: bits = isUnsigned ? uint16_t(v) : uint16_t(int16_t(v)); n = 2; break;
    case 2: bits = isUnsigned ? uint32_t(v) : uint32_t(int32_t(v)); n = 4; break;
    default: {
      const float f = float(v);
      uint32_t u = 0;
      std::memcpy(&u, &f, 4);
      bits = u;
      n = 4;
    }
  }
  std::string s(size_t(n), '\0');
  for (int32_t k = 0; k < n; ++k) {
    const int32_t shift = 8 * (littleEndian ? k : n - 1 - k);
    s[size_t(k)] = char((bits >> shift) & 0xFF);
  }
  return s;
}

// The file of a 3 × 2 image in the arrangement of kind, written sample by sample.
std::string EncodeFile(const TRawOptions& o) {
  auto sample = [&](int32_t colour, int32_t x, int32_t y) {
    return EncodeSample(SampleValue(o.BitsKind, o.UnsignedValues, colour, x, y), o.BitsKind,
                        o.UnsignedValues, o.EndianPC);
  };
  static constexpr size_t kBytes[4] = {1, 2, 4, 4};
  const std::string pad(kBytes[o.BitsKind], char(0xAA));  // the ignored 4th sample
  std::string f(size_t(o.DimHeader), char(0x5C));
  const int32_t rgb[3] = {0, 1, 2}, bgr[3] = {2, 1, 0};
  switch (o.ImageKind) {
    case 0:
      for (int32_t y = 0; y < kH; ++y)
        for (int32_t x = 0; x < kW; ++x) f += sample(1, x, y);
      break;
    case 1: case 2: case 3: case 4: {
      const int32_t* c = (o.ImageKind == 1 || o.ImageKind == 3) ? rgb : bgr;
      for (int32_t y = 0; y < kH; ++y)
        for (int32_t x = 0; x < kW; ++x) {
          for (int32_t k = 0; k < 3; ++k) f += sample(c[k], x, y);
          if (o.ImageKind >= 3) f += pad;
        }
      break;
    }
    default: {
      const int32_t* c = o.ImageKind == 5 ? rgb : bgr;
      for (int32_t k = 0; k < 3; ++k)
        for (int32_t y = 0; y < kH; ++y)
          for (int32_t x = 0; x < kW; ++x) f += sample(c[k], x, y);
    }
  }
  return f;
}

TRawOptions TinyOptions() {
  TRawOptions o;
  o.Enabled = true;
  o.DimX = kW;
  o.DimY = kH;
  return o;
}

std::string Describe(const TRawOptions& o) {
  return "kind " + std::to_string(o.ImageKind) + " bits " + std::to_string(o.BitsKind) +
         (o.UnsignedValues ? " unsigned" : " signed") + (o.EndianPC ? " PC" : " swapped") +
         (o.YFlipped ? " flipped" : "") + " header " + std::to_string(o.DimHeader);
}

}  // namespace

// Every arrangement × sample type × byte order × flip, against a file written sample by
// sample from known values.
TEST(CustomRaw, ReadsEveryLayout) {
  TTempDir dir;
  struct Bits { int32_t kind; bool isUnsigned; };
  const Bits bitsRows[] = {{0, true}, {1, true}, {1, false}, {2, true}, {2, false}, {3, true}};
  for (int32_t kind = 0; kind <= 6; ++kind)
    for (const Bits& bits : bitsRows)
      for (bool pc : {true, false})
        for (bool flipped : {false, true}) {
          TRawOptions o = TinyOptions();
          o.ImageKind = kind;
          o.BitsKind = bits.kind;
          o.UnsignedValues = bits.isUnsigned;
          o.EndianPC = pc;
          o.YFlipped = flipped;
          o.DimHeader = (kind + bits.kind) % 3 == 0 ? 0 : 7;
          const std::string path = dir.Write("layout.raw", EncodeFile(o));
          TAImage image;
          LoadCustomRaw(o, path, image);
          SCOPED_TRACE(Describe(o));
          ASSERT_TRUE(LoadSucceeded(image.Status));
          ASSERT_EQ(image.Width(), kW);
          ASSERT_EQ(image.Height(), kH);
          ASSERT_EQ(image.IsColour(), kind != 0);
          EXPECT_EQ(image.IsFloat != 0, bits.kind == 3);
          EXPECT_EQ((image.Status & kStatusView0To255) != 0, bits.kind == 0);
          const int32_t wantBitpix = bits.kind == 0 ? 8 : (bits.kind == 1 ? 16 : 32);
          EXPECT_EQ(image.Header.GetInt("BITPIX"), wantBitpix);
          EXPECT_EQ(image.Header.GetInt("NAXIS1"), kW);
          EXPECT_EQ(image.Header.GetInt("NAXIS2"), kH);
          for (int32_t y = 0; y < kH; ++y)
            for (int32_t x = 0; x < kW; ++x) {
              const int32_t fileRow = flipped ? kH - 1 - y : y;
              auto want = [&](int32_t c) {
                return float(SampleValue(bits.kind, bits.isUnsigned, c, x, fileRow));
              };
              EXPECT_EQ(image.MainPlane->GetPixel(x, y), want(1)) << x << "," << y;
              if (kind != 0) {
                EXPECT_EQ(image.RedPlane->GetPixel(x, y), want(0)) << x << "," << y;
                EXPECT_EQ(image.BluePlane->GetPixel(x, y), want(2)) << x << "," << y;
              }
            }
        }
}

// A file that ends early leaves zeros from the first missing sample on, including a
// sample cut in the middle, while complete samples of a cut pixel are kept.
TEST(CustomRaw, ShortFileLeavesZeros) {
  TTempDir dir;
  TRawOptions o = TinyOptions();
  o.ImageKind = 1;  // RGB interleaved, 16-bit: 6 bytes per pixel
  std::string file = EncodeFile(o);
  file.resize(4 * 6 + 3);  // pixels 0…3 whole, pixel 4: red whole, green cut after 1 byte
  const std::string path = dir.Write("short.raw", file);
  TAImage image;
  image.SetSize(kW, kH, true);
  image.Fill(99.0f);  // must be cleared, not kept
  LoadCustomRaw(o, path, image);
  ASSERT_TRUE(LoadSucceeded(image.Status));
  for (int32_t i = 0; i < kW * kH; ++i) {
    const int32_t x = i % kW, y = i / kW;
    SCOPED_TRACE(i);
    const float r = i <= 4 ? float(SampleValue(1, true, 0, x, y)) : 0.0f;
    const float g = i <= 3 ? float(SampleValue(1, true, 1, x, y)) : 0.0f;
    const float b = i <= 3 ? float(SampleValue(1, true, 2, x, y)) : 0.0f;
    EXPECT_EQ(image.RedPlane->GetPixel(x, y), r);
    EXPECT_EQ(image.MainPlane->GetPixel(x, y), g);
    EXPECT_EQ(image.BluePlane->GetPixel(x, y), b);
  }
}

// Planes after the end of a short planar file stay 0.
TEST(CustomRaw, ShortPlanarFileLeavesLaterPlanesZero) {
  TTempDir dir;
  TRawOptions o = TinyOptions();
  o.ImageKind = 6;  // B, G, R planes
  o.BitsKind = 0;
  std::string file = EncodeFile(o);
  file.resize(kW * kH + 2);  // blue whole, two samples of green
  TAImage image;
  LoadCustomRaw(o, dir.Write("planes.raw", file), image);
  ASSERT_TRUE(LoadSucceeded(image.Status));
  EXPECT_EQ(image.BluePlane->GetPixel(2, 1), float(SampleValue(0, true, 2, 2, 1)));
  EXPECT_EQ(image.MainPlane->GetPixel(1, 0), float(SampleValue(0, true, 1, 1, 0)));
  EXPECT_EQ(image.MainPlane->GetPixel(2, 0), 0.0f);
  EXPECT_EQ(image.RedPlane->GetPixel(0, 0), 0.0f);
}

// Layouts outside their ranges and sizes beyond the limit never allocate or read.
TEST(CustomRaw, RefusesHostileLayouts) {
  TTempDir dir;
  const std::string path = dir.Write("any.raw", std::string(64, '\x01'));
  struct Row {
    const char* name;
    void (*edit)(TRawOptions&);
    uint32_t status;
  };
  const Row rows[] = {
      {"width 0", [](TRawOptions& o) { o.DimX = 0; }, kStatusFailed},
      {"negative height", [](TRawOptions& o) { o.DimY = -5; }, kStatusFailed},
      {"width 30001", [](TRawOptions& o) { o.DimX = 30001; }, kStatusRefusedTooLarge},
      {"height 30001", [](TRawOptions& o) { o.DimY = 30001; }, kStatusRefusedTooLarge},
      {"largest int", [](TRawOptions& o) { o.DimX = o.DimY = INT32_MAX; }, kStatusRefusedTooLarge},
      {"negative header", [](TRawOptions& o) { o.DimHeader = -1; }, kStatusFailed},
      {"header = file size", [](TRawOptions& o) { o.DimHeader = 64; }, kStatusFailed},
      {"header beyond 2^31", [](TRawOptions& o) { o.DimHeader = INT32_MAX; }, kStatusFailed},
      {"bits kind 4", [](TRawOptions& o) { o.BitsKind = 4; }, kStatusFailed},
      {"bits kind -1", [](TRawOptions& o) { o.BitsKind = -1; }, kStatusFailed},
      {"image kind 7", [](TRawOptions& o) { o.ImageKind = 7; }, kStatusFailed},
      {"image kind -1", [](TRawOptions& o) { o.ImageKind = -1; }, kStatusFailed},
  };
  for (const Row& r : rows) {
    TRawOptions o = TinyOptions();
    r.edit(o);
    TAImage image;
    LoadCustomRaw(o, path, image);
    EXPECT_EQ(image.Status, r.status) << r.name;
    EXPECT_EQ(image.Width(), 16) << r.name;  // untouched
  }
  // The largest accepted size reads a tiny file without trouble (zeros beyond its end).
  TRawOptions o = TinyOptions();
  o.DimX = 30000;
  o.DimY = 1;
  TAImage image;
  LoadCustomRaw(o, path, image);
  ASSERT_TRUE(LoadSucceeded(image.Status));
  EXPECT_EQ(image.MainPlane->GetPixel(31, 0), 257.0f);
  EXPECT_EQ(image.MainPlane->GetPixel(32, 0), 0.0f);
}

// Only enabled, only matching names, never pseudo paths, never something not a file.
TEST(CustomRaw, TakesOnlyMatchingFiles) {
  TTempDir dir;
  const std::string bytes(2 * kW * kH, '\x02');
  struct Row { const char* name; const char* list; bool enabled; bool takes; };
  const Row rows[] = {
      {"a.raw", "*.raw", true, true},   {"a.RAW", "*.raw", true, true},
      {"a.raw", "*.raw", false, false}, {"a.r", "*.raw", true, false},
      {"raw", "*.raw", true, false},    {"a.dat", "*.raw;*.dat", true, true},
      {"noext", "*.*", true, true},     {"a.dat", "*.raw", true, false},
  };
  for (const Row& r : rows) {
    TRawOptions o = TinyOptions();
    o.FileExt = r.list;
    o.Enabled = r.enabled;
    TAImage image;
    LoadCustomRaw(o, dir.Write(r.name, bytes), image);
    EXPECT_EQ(LoadSucceeded(image.Status), r.takes) << r.name << " " << r.list;
    if (!r.takes) {
      EXPECT_EQ(image.Status, 0u) << r.name;
    }
  }
  TRawOptions all = TinyOptions();
  all.FileExt = "*.*";
  for (std::string_view pseudo : {kClipboardPath, kMemoryBitmapPath}) {
    TAImage image;
    LoadCustomRaw(all, std::string(pseudo), image);
    EXPECT_EQ(image.Status, 0u) << pseudo;
  }
  TAImage folder;
  LoadCustomRaw(all, dir.Path().string(), folder);
  EXPECT_EQ(folder.Status, kStatusFailed);
}
