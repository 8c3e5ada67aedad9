#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "visual/ImaPalette.h"

using namespace orlu;

namespace {

std::filesystem::path PalPath(const std::string& name) {
  return std::filesystem::temp_directory_path() /
         ("orlu_pal_" + std::to_string(::getpid()) + "_" + name);
}

void Write(const std::filesystem::path& p, const std::string& text) {
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f << text;
}

}  // namespace

TEST(ImaPalette, BuiltInPalettesAtAnchorsAndBetween) {
  struct Row {
    int32_t type, cycles, level;
    uint32_t colour;
  };
  const Row rows[] = {
      {kPaletteGray, 0, 0, 0x000000},        {kPaletteGray, 0, 100, 0x646464},
      {kPaletteGray, 0, 255, 0xFFFFFF},      {kPaletteNegative, 0, 0, 0xFFFFFF},
      {kPaletteNegative, 0, 100, 0x9B9B9B},  {kPaletteNegative, 0, 255, 0x000000},
      {kPaletteColor, 0, 0, 0x200020},       {kPaletteColor, 0, 50, 0x802080},  // halfway to E040E0
      {kPaletteColor, 0, 100, 0xE040E0},     {kPaletteColor, 0, 255, 0xFFFFC0},
      {kPaletteFlame, 0, 85, 0xFF0000},      {kPaletteFlame, 0, 170, 0xFFFF00},
      {kPaletteRainbow, 0, 63, 0x0000FF},    {kPaletteRainbow, 0, 223, 0xFFFF00},
      {kPaletteJazz, 0, 170, 0x007FFF},      {kPaletteJazz, 0, 223, 0xFF3F3F},
      // Four teeth: white at 63, 127, 191, black at 64, 128, 192; 255·32/63 = 129.5 -> 130.
      {kPaletteSawTooth, 4, 63, 0xFFFFFF},   {kPaletteSawTooth, 4, 64, 0x000000},
      {kPaletteSawTooth, 4, 191, 0xFFFFFF},  {kPaletteSawTooth, 4, 192, 0x000000},
      {kPaletteSawTooth, 4, 32, 0x828282},   {kPaletteSawTooth, 4, 255, 0xFFFFFF},
  };
  TAPalette p;
  for (const Row& r : rows) {
    p.BuildPalette(r.type, r.cycles);
    EXPECT_EQ(p.Colors[size_t(r.level)], r.colour) << r.type << " @" << r.level;
    EXPECT_EQ(p.PaletteType, r.type);
  }
  // Interpolation rounds halves to even: Flame level 42 lies at 42/85 of 0..255 red.
  p.BuildPalette(kPaletteFlame, 0);
  EXPECT_EQ(p.Entries[42].Red, 126);  // 126.0
  // Degenerate saw-tooth counts.
  p.BuildPalette(kPaletteSawTooth, 1);
  EXPECT_EQ(p.PaletteType, kPaletteGray);
  p.BuildPalette(kPaletteSawTooth, 500);  // as 50: teeth every 5 levels
  EXPECT_EQ(p.Colors[4], 0xFFFFFFu);
  EXPECT_EQ(p.Colors[5], 0u);
  p.BuildPalette(99, 0);
  EXPECT_EQ(p.PaletteType, kPaletteGray);

  TAPalette gray;
  EXPECT_TRUE(gray.IsGrayPalette());
  p.BuildPalette(kPaletteNegative, 0);
  EXPECT_TRUE(p.IsGrayPalette());
  p.BuildPalette(kPaletteRainbow, 0);
  EXPECT_FALSE(p.IsGrayPalette());
  CopyPalette(p, gray);
  EXPECT_EQ(gray.Colors, p.Colors);
  EXPECT_EQ(gray.PaletteType, kPaletteRainbow);
}

TEST(ImaPalette, FilesRoundTripAndDocumentedExample) {
  const auto path = PalPath("a.pal");
  // The only line sets level 128 to red: black -> red -> white.
  Write(path, "my palette\n1\n128 255 0 0\n");
  TAPalette p;
  ASSERT_TRUE(p.LoadPalette(path));
  EXPECT_EQ(p.PaletteType, kPaletteFile);
  EXPECT_EQ(p.Colors[0], 0x000000u);
  EXPECT_EQ(p.Colors[64], 0x800000u);   // 127.5 -> 128
  EXPECT_EQ(p.Colors[128], 0xFF0000u);
  EXPECT_EQ(p.Colors[192], 0xFF8181u);  // 255·64/127 = 128.5039 -> 129
  EXPECT_EQ(p.Colors[255], 0xFFFFFFu);

  // Clamped channels, skipped levels, CRLF lines and free spacing.
  Write(path, "t\r\n3\r\n0   300 -5 7\r\n999 1 2 3\r\n255 1 2 3\r\n");
  ASSERT_TRUE(p.LoadPalette(path));
  EXPECT_EQ(p.Colors[0], 0xFF0007u);
  EXPECT_EQ(p.Colors[255], 0x010203u);

  TAPalette rainbow;
  rainbow.BuildPalette(kPaletteRainbow, 0);
  ASSERT_TRUE(rainbow.SavePalette(path));
  TAPalette back;
  ASSERT_TRUE(back.LoadPalette(path));
  EXPECT_EQ(back.Colors, rainbow.Colors);
  std::filesystem::remove(path);
}

TEST(ImaPalette, BadFilesLeaveThePaletteUnchanged) {
  const auto path = PalPath("bad.pal");
  struct Row {
    const char* name;
    const char* text;
  };
  const Row rows[] = {
      {"empty", ""},
      {"title only", "title\n"},
      {"no count", "title\nx\n"},
      {"zero lines", "title\n0\n"},
      {"negative count", "title\n-3\n1 2 3 4\n"},
      {"fewer lines than counted", "title\n3\n1 2 3 4\n"},
      {"huge count", "title\n2000000000\n1 2 3 4\n"},
      {"short line", "title\n1\n1 2 3\n"},
      {"not integers", "title\n1\n1 2.5 3 4\n"},
      {"overflow", "title\n1\n1 99999999999 3 4\n"},
      {"only levels outside", "title\n2\n-1 2 3 4\n256 2 3 4\n"},
      {"valid then broken", "title\n2\n10 255 0 0\n20 x 0 0\n"},
  };
  for (const Row& r : rows) {
    Write(path, r.text);
    TAPalette p;
    p.BuildPalette(kPaletteJazz, 0);
    const TAPalette before = p;
    EXPECT_FALSE(p.LoadPalette(path)) << r.name;
    EXPECT_EQ(p.Colors, before.Colors) << r.name;
    EXPECT_EQ(p.PaletteType, kPaletteJazz) << r.name;
  }
  std::filesystem::remove(path);
  TAPalette p;
  EXPECT_FALSE(p.LoadPalette(path));  // missing
  EXPECT_FALSE(p.SavePalette(PalPath("no/such/dir.pal")));
}
