#include "processing/uMacro.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

using namespace orlu;

namespace {

TEST(MacroPage, ImportStopsAt99AndSaysHowManyWereLeftOut) {
  THistoryList history;
  for (int i = 0; i < 120; ++i) history.Add(0, false, std::vector<double>{double(i)});
  history.AddKind(10, false, "skipped");
  TMacroPage page;
  EXPECT_EQ(page.ImportHistory(history), 21);
  ASSERT_EQ(page.Steps.size(), 99u);
  EXPECT_EQ(page.Steps[98].GetParam(1), 98);
  EXPECT_FALSE(page.Add(TIPFilter(1)));
  EXPECT_EQ(page.Insert(0, {TIPFilter(1)}), 1);
}

TEST(MacroPage, TextIsLossless) {
  TMacroPage page;
  page.Name = "Flat; then dark";
  TIPFilter a(58);
  a.TextParam = "r : g;b\r\n%20 \"q\"";
  a.AskState = 1;
  TIPFilter b(18);
  b.SetParam(1, 0.1);
  b.SetParam(3, -1e-300);  // p2 unset between two set ones
  b.Disabled = true;
  page.Steps = {a, b};
  TMacroPage back;
  ASSERT_EQ(ParseMacroPage(MacroPageText(page), back), 0);
  EXPECT_EQ(back.Name, page.Name);
  ASSERT_EQ(back.Steps.size(), 2u);
  EXPECT_EQ(back.Steps[0].TextParam, a.TextParam);
  EXPECT_NE(back.Steps[0].AskState, 0);
  EXPECT_EQ(back.Steps[1].GetParam(1), 0.1);
  EXPECT_EQ(back.Steps[1].GetParam(2), kUnsetParam);
  EXPECT_EQ(back.Steps[1].GetParam(3), -1e-300);
  EXPECT_TRUE(back.Steps[1].Disabled);
  EXPECT_EQ(back.Steps[1].TextParam, "<void>");
  // Hostile lines are skipped, never crash.
  TMacroPage junk;
  EXPECT_EQ(ParseMacroPage("name=x\nstep=999;;;\nstep=1;z;;\nstep=1;;1,2;%G\nstep=60;;;\n", junk), 0);
  EXPECT_TRUE(junk.Steps.empty());
  EXPECT_EQ(ParseMacroPage("hello", junk), -1);
}

TEST(MacroPage, ReorderAndRemove) {
  TMacroPage page;
  for (int c : {1, 2, 3, 4}) page.Add(TIPFilter(c));
  page.Move(0, 3);
  page.Remove({0, 0, 7});
  ASSERT_EQ(page.Steps.size(), 3u);
  EXPECT_EQ(page.Steps[0].Code, 3);
  EXPECT_EQ(page.Steps[2].Code, 1);
}

TEST(MacroBook, NamesAndText) {
  TMacroBook book;
  EXPECT_EQ(book.Page(3).Name, "Macro 3");
  EXPECT_EQ(book.CheckNames(), "");
  book.Page(3).Add(TIPFilter(31));
  EXPECT_EQ(book.CheckNames(), "Please choose a name for the Macro.");
  book.Page(3).Name = "Flip";
  book.Page(5).Name = "Empty";
  book.ResetEmptyNames();
  EXPECT_EQ(book.CheckNames(), "");
  EXPECT_EQ(book.Page(5).Name, "Macro 5");
  TMacroBook read;
  read.FromText(book.ToText());
  EXPECT_EQ(read.Page(3).Name, "Flip");
  ASSERT_EQ(read.Page(3).Steps.size(), 1u);
  EXPECT_EQ(read.Page(3).Steps[0].Code, 31);
}

TEST(MacroFile, NameComesFromTheFile) {
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("orlu-mac-" + std::to_string(::getpid()) + ".mac");
  TMacroPage page;
  page.Name = "ignored";
  page.Add(TIPFilter(32));
  std::string error;
  ASSERT_TRUE(SaveMacroFile(page, path, error)) << error;
  TMacroPage read;
  int32_t dropped = -1;
  ASSERT_TRUE(LoadMacroFile(path, read, dropped, error)) << error;
  EXPECT_EQ(dropped, 0);
  EXPECT_EQ(read.Name, path.stem().string());
  ASSERT_EQ(read.Steps.size(), 1u);
  std::filesystem::remove(path);
  EXPECT_FALSE(LoadMacroFile(path, read, dropped, error));
}

}  // namespace
