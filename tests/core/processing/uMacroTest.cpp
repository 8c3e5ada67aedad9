#include "processing/uMacro.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
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

// The pages outlive the session: names through the options, steps through the book file
// beside the configuration file (also when that file is absent or garbage).
TEST(MacroBook, StoredPagesComeBackWithTheirNames) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("orlu-book-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  TQVOptions options;
  {
    const TMacroBook empty = LoadMacroBook(options, dir);  // no file yet
    for (int32_t k = 1; k <= TMacroBook::kPages; ++k) {
      EXPECT_EQ(empty.Page(k).Name, TMacroBook::DefaultName(k));
      EXPECT_TRUE(empty.Page(k).Steps.empty());
    }
  }
  TMacroBook book;
  book.Page(2).Name = "Dark removal";
  TIPFilter step(32);
  step.SetParam(1, 1e-5);
  book.Page(2).Add(step);
  book.Page(8).Name = "Last";
  for (int i = 0; i < 3; ++i) book.Page(8).Add(TIPFilter(31));
  std::string error;
  ASSERT_TRUE(StoreMacroBook(book, options, dir, error)) << error;
  EXPECT_EQ(options.Filter.Macro2, "Dark removal");
  EXPECT_EQ(options.Filter.Macro8, "Last");

  const TMacroBook read = LoadMacroBook(options, dir);
  EXPECT_EQ(read.ToText(), book.ToText());

  // The options win over names inside the file; an empty option name takes the default.
  options.Filter.Macro2 = "Renamed";
  options.Filter.Macro8 = "";
  const TMacroBook renamed = LoadMacroBook(options, dir);
  EXPECT_EQ(renamed.Page(2).Name, "Renamed");
  EXPECT_EQ(renamed.Page(8).Name, TMacroBook::DefaultName(8));
  EXPECT_EQ(renamed.Page(8).Steps.size(), 3u);

  // A garbage file gives empty pages, not a failure.
  {
    std::ofstream out(dir / kMacroBookFileName, std::ios::binary | std::ios::trunc);
    out << "\x01\x02[Macro 9999999999]\nstep=zz;;;\n[Macro 3]\nstep=;;\n";
  }
  const TMacroBook junk = LoadMacroBook(options, dir);
  for (int32_t k = 1; k <= TMacroBook::kPages; ++k) EXPECT_TRUE(junk.Page(k).Steps.empty()) << k;

  // An unwritable folder is reported and leaves nothing behind.
  EXPECT_FALSE(StoreMacroBook(book, options, dir / "missing" / "deeper", error));
  EXPECT_FALSE(error.empty());
  std::filesystem::remove_all(dir);
}

}  // namespace
