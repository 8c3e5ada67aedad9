#include <gtest/gtest.h>

#include <set>

#include "uStartup.h"

using namespace orlu;

TEST(Startup, ArgumentsAreRebuiltOnlyWhenThePartsNameNoFile) {
  const std::set<std::string> files = {"/data/my image.fits", "a.fits", "b.fits",
                                       "/x/a b c.fit", "/x/a"};
  auto exists = [&](const std::string& p) { return files.count(p) > 0; };
  using V = std::vector<std::string>;
  struct Row {
    const char* name;
    V args, expected;
  };
  const Row rows[] = {
      {"plain", {"a.fits", "b.fits"}, {"a.fits", "b.fits"}},
      {"split by blanks", {"/data/my", "image.fits"}, {"/data/my image.fits"}},
      // "/x/a" is itself a file: nothing is joined to it.
      {"first part is a file", {"/x/a", "b", "c.fit"}, {"/x/a", "b", "c.fit"}},
      {"three parts joined", {"/x/a b", "c.fit", "a.fits"}, {"/x/a b c.fit", "a.fits"}},
      {"missing stays", {"nothing.fits", "a.fits"}, {"nothing.fits", "a.fits"}},
      {"empty dropped", {"", "a.fits", ""}, {"a.fits"}},
      {"dots in folders", {"/data/my", "image.fits", "b.fits"}, {"/data/my image.fits", "b.fits"}},
      {"none", {}, {}},
  };
  for (const Row& r : rows) EXPECT_EQ(RebuildFileArguments(r.args, exists), r.expected) << r.name;
}

TEST(Startup, AbsolutePaths) {
  EXPECT_EQ(AbsolutePath("a.fits", "/home/u"), "/home/u/a.fits");
  EXPECT_EQ(AbsolutePath("./a.fits", "/home/u/"), "/home/u/a.fits");
  EXPECT_EQ(AbsolutePath("../b/a.fits", "/home/u"), "/home/u/../b/a.fits");
  EXPECT_EQ(AbsolutePath("/abs/a.fits", "/home/u"), "/abs/a.fits");
  EXPECT_EQ(AbsolutePath("", "/home/u"), "");
}

namespace {

std::string U32(uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s.push_back(char((v >> (8 * i)) & 0xFF));
  return s;
}

// A message assembled by hand, so the codec is checked against the layout, not itself.
std::string Message(uint32_t code, const std::vector<std::string>& paths, int32_t countDelta = 0,
                    int32_t sizeDelta = 0) {
  std::string body;
  for (const std::string& p : paths) body += U32(uint32_t(p.size())) + p;
  return "ORLU" + U32(uint32_t(16 + body.size() + sizeDelta)) + U32(code) +
         U32(uint32_t(int32_t(paths.size()) + countDelta)) + body;
}

}  // namespace

TEST(Startup, HandOverMessageLayout) {
  const std::vector<std::string> paths = {"/data/a.fits", "/data/Ünïcode dir/b c.fits"};
  const std::string msg = EncodeHandOver(paths);
  EXPECT_EQ(msg, Message(2624, paths));
  const auto back = DecodeHandOver(msg);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, paths);
  EXPECT_EQ(HandOverMessageSize(msg.substr(0, 8)), int64_t(msg.size()));
  EXPECT_EQ(HandOverMessageSize(msg.substr(0, 5)), std::nullopt);  // still arriving
  EXPECT_EQ(HandOverMessageSize("ORLX"), -1);                       // known bad early
}

TEST(Startup, HandOverRefusesWhatItCannotTrust) {
  const std::vector<std::string> ok = {"/a.fits"};
  struct Row {
    const char* name;
    std::string msg;
  };
  std::string badMagic = Message(2624, ok);
  badMagic[0] = 'X';
  const Row rows[] = {
      {"other code", Message(2625, ok)},
      {"bad magic", badMagic},
      {"count too high", Message(2624, ok, 1)},
      {"count too low", Message(2624, {"/a", "/b"}, -1)},
      {"no paths", Message(2624, {})},
      {"size says more", Message(2624, ok, 0, 1)},
      {"size says less", Message(2624, ok, 0, -1)},
      {"trailing byte", Message(2624, ok) + "x"},
      {"truncated", Message(2624, ok).substr(0, 20)},
      {"relative path", Message(2624, {"a.fits"})},
      {"empty path", Message(2624, {""})},
      {"NUL inside", Message(2624, {std::string("/a\0b", 4)})},
      {"invalid UTF-8", Message(2624, {"/a\xC3(.fits"})},
      {"overlong UTF-8", Message(2624, {"/\xC0\xAF.fits"})},
      {"surrogate", Message(2624, {"/\xED\xA0\x80.fits"})},
      {"path too long", Message(2624, {"/" + std::string(4096, 'a')})},
  };
  for (const Row& r : rows) EXPECT_FALSE(DecodeHandOver(r.msg)) << r.name;
  // The sender refuses what the receiver would refuse.
  EXPECT_EQ(EncodeHandOver({"relative.fits"}), "");
  EXPECT_EQ(EncodeHandOver({}), "");
  EXPECT_EQ(EncodeHandOver(std::vector<std::string>(257, "/a")), "");
  EXPECT_TRUE(DecodeHandOver(EncodeHandOver(std::vector<std::string>(256, "/a"))));
  EXPECT_TRUE(DecodeHandOver(Message(2624, {"/" + std::string(4095, 'a')})));
}

TEST(Placement, StoredValuesAtStartAndExit) {
  EXPECT_EQ(PlacementAtStart({5, 5, 800, 600}), TPlacementUse::Bounds);
  EXPECT_EQ(PlacementAtStart({0, 0, 9, 9}), TPlacementUse::Maximized);
  EXPECT_EQ(PlacementAtStart({0, 0, 0, 0}), TPlacementUse::Designed);
  EXPECT_EQ(PlacementAtStart({0, 0, 9, 600}), TPlacementUse::Designed);
  EXPECT_EQ(PlacementAtStart({0, 0, 10, 10}), TPlacementUse::Bounds);
  EXPECT_EQ(PlacementToStore({-20, 12000, 100, 100}, false, 1920, 1080),
            (TPlacement{0, 9999, 200, 150}));
  EXPECT_EQ(PlacementToStore({10, 20, 3000, 2000}, false, 1920, 1080),
            (TPlacement{10, 20, 1920, 1080}));
  EXPECT_EQ(PlacementToStore({10, 20, 3000, 2000}, true, 1920, 1080), (TPlacement{10, 20, 9, 9}));
}
