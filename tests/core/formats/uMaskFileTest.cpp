#include "formats/uMaskFile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "formats/uPng.h"

using namespace orlu;

namespace {

std::filesystem::path TempPng(const std::string& tag) {
  return std::filesystem::temp_directory_path() /
         ("orlu-mask-" + tag + "-" + std::to_string(::getpid()) + ".png");
}

// Weights that tell the rows and columns apart, with the 8-bit-exact values k · 257.
void Pattern(TAMask& m, int32_t w, int32_t h) {
  m.SetSize(w, h);
  ASSERT_TRUE(m.Allocate());
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) m.Weights()[y * w + x] = uint16_t(257 * ((x * 7 + y * 31) % 256));
}

TEST(MaskFile, RoundTripsAtBothDepthsWithTheBottomRowLast) {
  for (const bool sixteen : {false, true}) {
    TAMask m;
    Pattern(m, 13, 5);
    if (sixteen) m.Weights()[3] = 12345;  // not a multiple of 257
    const std::filesystem::path path = TempPng(sixteen ? "16" : "8");
    std::string error;
    ASSERT_TRUE(SaveMaskFile(m, path, sixteen, error)) << error;

    TPNGManager png;
    ASSERT_TRUE(png.Decode(path, true));
    EXPECT_EQ(png.BitDepth, sixteen ? 16 : 8);
    int32_t r, g, b, a;
    ASSERT_TRUE(png.PixelAt(3, 4, r, g, b, a));  // file's bottom row = mask row 0
    EXPECT_EQ(g, sixteen ? 12345 : (3 * 7) % 256);

    TAMask back;
    back.SetSize(13, 5);
    ASSERT_TRUE(LoadMaskFile(path, back, error)) << error;
    for (int32_t i = 0; i < m.Count; ++i)
      ASSERT_EQ(back.Weights()[i], m.Weights()[i]) << "sixteen " << sixteen << " at " << i;
    std::filesystem::remove(path);
  }
}

TEST(MaskFile, EightBitRoundsWeightsToTheNearestLevel) {
  TAMask m;
  m.SetSize(4, 1);
  ASSERT_TRUE(m.Allocate());
  const uint16_t w[4] = {0, 128, 129, 65535};  // 128/257 < 0.5 < 129/257
  std::copy(w, w + 4, m.Weights());
  const std::filesystem::path path = TempPng("round");
  std::string error;
  ASSERT_TRUE(SaveMaskFile(m, path, false, error)) << error;
  TAMask back;
  back.SetSize(4, 1);
  ASSERT_TRUE(LoadMaskFile(path, back, error)) << error;
  const uint16_t want[4] = {0, 0, 257, 65535};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(back.Weights()[i], want[i]) << i;
  std::filesystem::remove(path);
}

// A file of another size never becomes a mask of that size: it is resampled.
TEST(MaskFile, OtherSizeIsResampledToTheMask) {
  TAMask full;
  full.SetSize(40, 20);
  ASSERT_TRUE(full.Allocate());
  full.Fill(65535);
  const std::filesystem::path path = TempPng("size");
  std::string error;
  ASSERT_TRUE(SaveMaskFile(full, path, true, error)) << error;
  TAMask m;
  m.SetSize(7, 9);
  ASSERT_TRUE(LoadMaskFile(path, m, error)) << error;
  EXPECT_EQ(m.Width, 7);
  EXPECT_EQ(m.Height, 9);
  for (int32_t i = 0; i < m.Count; ++i) ASSERT_EQ(m.Weights()[i], 65535) << i;
  std::filesystem::remove(path);
}

TEST(MaskFile, FailuresLeaveTheMaskAsItWas) {
  TAMask m;
  Pattern(m, 6, 4);
  std::string error;
  const std::filesystem::path path = TempPng("bad");
  {
    std::ofstream out(path, std::ios::binary);
    out << "\x89PNG\r\n\x1a\n" << std::string(40, '\x7f');
  }
  TAMask before;
  before.SetSize(6, 4);
  ASSERT_TRUE(m.CopyTo(before));
  EXPECT_FALSE(LoadMaskFile(path, m, error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(LoadMaskFile(path.string() + ".missing", m, error));
  for (int32_t i = 0; i < m.Count; ++i) ASSERT_EQ(m.Weights()[i], before.Weights()[i]);
  std::filesystem::remove(path);

  TAMask empty;
  empty.SetSize(3, 3);
  EXPECT_FALSE(SaveMaskFile(empty, path, true, error));
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
