#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>

#include "base/OrluMath.h"
#include "base/PixelMemory.h"
#include "base/TextNumbers.h"
#include "base/Translate.h"

using namespace orlu;

TEST(OrluMath, RoundSendsHalvesToEven) {
  struct Row { double x; int32_t want; };
  const Row rows[] = {{0.5, 0}, {1.5, 2}, {2.5, 2}, {-0.5, 0}, {-1.5, -2}, {-2.5, -2},
                      {2.4999999, 2}, {2.5000001, 3}};
  for (const auto& r : rows) EXPECT_EQ(Round(r.x), r.want) << r.x;
}

TEST(OrluMath, ConversionsSaturateInsteadOfOverflowing) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(Round(nan), 0);
  EXPECT_EQ(Round(inf), INT32_MAX);
  EXPECT_EQ(Round(-inf), INT32_MIN);
  EXPECT_EQ(Round(2147483648.0), INT32_MAX);  // 2^31 is one past the range
  EXPECT_EQ(Trunc(-2147483649.9), INT32_MIN);
  EXPECT_EQ(Round64(9.3e18), INT64_MAX);
  EXPECT_EQ(Trunc(-3.9), -3);
  int32_t out = 7;
  EXPECT_FALSE(TryRound(2147483647.5, out));  // rounds to 2^31 (even)
  EXPECT_FALSE(TryRound(nan, out));
  EXPECT_EQ(out, 7);
  EXPECT_TRUE(TryRound(2147483646.5, out));
  EXPECT_EQ(out, 2147483646);
}

TEST(TextNumbers, FormattingIgnoresTheProcessLocale) {
  // A comma locale must not leak into files; skip the locale switch if it is not installed.
  const char* old = std::setlocale(LC_NUMERIC, nullptr);
  std::string saved = old ? old : "C";
  std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
  EXPECT_EQ(FormatG(1234.5678, 7), "1234.568");
  EXPECT_EQ(FormatFixed(0.125, 2), "0.12");  // half to even in the binary value
  EXPECT_EQ(FormatExp(12345.0, 3), "1.234E+04");  // 1.2345 is below the half in binary
  double v = 0;
  EXPECT_TRUE(ParseDouble(" +3.25 ", v));
  EXPECT_EQ(v, 3.25);
  std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(TextNumbers, ParsingRejectsPartialText) {
  struct Row { const char* text; bool ok; double want; };
  const Row rows[] = {{"1e3", true, 1000}, {"-0.5", true, -0.5}, {"3,5", false, 0},
                      {"", false, 0}, {"  ", false, 0}, {"12abc", false, 0}, {"+", false, 0}};
  for (const auto& r : rows) {
    double v = -1;
    EXPECT_EQ(ParseDouble(r.text, v), r.ok) << r.text;
    if (r.ok) {
      EXPECT_EQ(v, r.want) << r.text;
    }
  }
  int32_t i = 0;
  EXPECT_FALSE(ParseInt32("2147483648", i));
  EXPECT_TRUE(ParseInt32("-2147483648", i));
  EXPECT_EQ(i, INT32_MIN);
}

TEST(PixelMemory, BlocksAreAlignedAndTheFailureHookWorks) {
  auto small = AllocPixels<float>(100);
  ASSERT_TRUE(small);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(small.get()) % 64, 0u);
  auto big = AllocPixels<float>(1 << 20);  // 4 MiB
  ASSERT_TRUE(big);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(big.get()) % (2 << 20), 0u);
  FailNextPixelAllocations(1);
  EXPECT_FALSE(AllocPixels<float>(10));
  EXPECT_TRUE(AllocPixels<float>(10));  // only the next one fails
  EXPECT_FALSE(AllocPixels<double>(static_cast<size_t>(-1) / 4));  // byte count overflows
}

TEST(Translate, IdentityUntilATableIsLoaded) {
  EXPECT_EQ(Tr("Out of memory"), "Out of memory");
  SetTranslationTable({{"Out of memory", "Mémoire insuffisante"}});
  EXPECT_EQ(Tr("Out of memory"), "Mémoire insuffisante");
  EXPECT_EQ(Tr("Other"), "Other");
  SetTranslationTable({});
  EXPECT_EQ(Tr("Out of memory"), "Out of memory");
}

TEST(TextNumbers, SplitTextLinesSkipsTheBomAndTakesBothLineEnds) {
  using V = std::vector<std::string_view>;
  EXPECT_EQ(SplitTextLines("\xEF\xBB\xBF" "a\r\nb\nc"), (V{"a", "b", "c"}));
  EXPECT_EQ(SplitTextLines("a\n\nb\n"), (V{"a", "", "b"}));  // no phantom line after the last LF
  EXPECT_EQ(SplitTextLines("x\ry\r\n"), (V{"x\ry"}));       // a lone CR is not a line end
  EXPECT_TRUE(SplitTextLines("").empty());
}
