#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fits/ImaHeader.h"
#include "processing/ImaFilter.h"

using namespace orlu;

namespace {

std::string Record(std::string body, const char* tag) {
  body.resize(68, ' ');
  return body + tag;
}

std::filesystem::path TempFile(const char* name) {
  return std::filesystem::temp_directory_path() /
         ("orlu-his-" + std::to_string(::getpid()) + "-" + name);
}

TEST(HistoryText, RecordExamplesReadBack) {
  THistoryList list;
  const std::string add = list.Add(0, false, std::vector<double>{100})->RecordLine();
  EXPECT_EQ(add, Record("Add constant: 100", "A000"));
  EXPECT_EQ(add.size(), 72u);
  // A formula holding ":" has both markers: only the code comes back.
  const std::string f = list.Add(58, false, std::string_view("r : g : b"))->RecordLine();
  THistoryItem back;
  ASSERT_TRUE(THistoryItem::ParseRecord(f, back));
  EXPECT_EQ(back.Code, 58);
  EXPECT_FALSE(back.HasText());
  EXPECT_EQ(back.Params[0], kUnsetParam);
  // CR LF is stored as ` and | and read back as CR LF.
  const std::string two = list.Add(58, false, std::string_view("a\r\nb"))->RecordLine();
  EXPECT_EQ(two.substr(0, 14), "Formula \"a`|b\"");
  ASSERT_TRUE(THistoryItem::ParseRecord(two, back));
  EXPECT_EQ(back.Text, "a\r\nb");
  // Kind 10 records with A910.
  EXPECT_EQ(list.AddKind(10, false, "1 2  Add 100%")->RecordLine().substr(68), "A910");
}

TEST(HistoryText, NumbersInExponentFormAndCommas) {
  struct Case {
    const char* Line;
    std::vector<double> Want;
  };
  const std::vector<Case> cases = {
      {"Saturation: 1E20", {1e20}},
      {"Multiply constant: 1E-5 2e+3", {1e-5, 2000}},
      {"Add constant: -1.5E-7", {-1.5e-7}},
      {"Clamp minimum: 1,5 -2", {1.5, -2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Line);
    THistoryItem item;
    ASSERT_TRUE(THistoryItem::ParseRecord(Record(c.Line, "A002"), item));
    for (size_t i = 0; i < c.Want.size(); ++i) EXPECT_DOUBLE_EQ(item.Params[i], c.Want[i]);
    EXPECT_EQ(item.Params[c.Want.size()], kUnsetParam);
  }
}

TEST(HistoryText, TagsAreThreeDigitsInTheValidRanges) {
  const std::vector<std::pair<const char*, bool>> tags = {
      {"A000", true},  {"A107", true},  {"A108", false}, {"A899", false}, {"A900", true},
      {"A928", true},  {"A929", false}, {"A0 1", false}, {"A-01", false}, {"a000", false},
      {"B000", false}, {"A99", false},
  };
  for (const auto& [tag, valid] : tags) {
    THistoryItem item;
    EXPECT_EQ(THistoryItem::ParseRecord(std::string(20, ' ') + tag, item), valid) << tag;
  }
}

TEST(HistoryText, EscapesAreOnePass) {
  // Sequential replacements would turn the stored | of a CR into a second line feed.
  THistoryList list;
  const std::string text = "x|y`z\r\n\"q\"";
  const std::string line = list.Add(58, false, text)->RecordLine();
  EXPECT_EQ(line.substr(0, 20), "Formula \"x/y'z`|'q'\"");
  THistoryItem back;
  ASSERT_TRUE(THistoryItem::ParseRecord(line, back));
  EXPECT_EQ(back.Text, "x/y'z\r\n'q'");
}

TEST(HistoryText, DisplayAndDetail) {
  THistoryList list;
  THistoryItem* a = list.Add(0, true, std::vector<double>{100});
  a->Time = 0;
  EXPECT_EQ(a->DisplayLine(0), " 01)      Add constant    100     [Mask]");
  THistoryItem* b = list.Add(74, false, std::vector<double>{2, 1});
  EXPECT_EQ(b->DetailText(), "2 x 2  [average]");
  THistoryItem* c = list.Add(61, false, std::string_view("/data/dark.fit"));
  EXPECT_EQ(c->DetailText(), "dark.fit");
  THistoryItem* d = list.Add(89, false, std::vector<double>{1, 2}, std::string_view("x.fit"));
  // The gap before the ninth parameter comes even when no parameter follows it.
  EXPECT_EQ(d->DetailText(), "x.fit  1  2    ");
  THistoryItem* e = list.Add(58, false, std::string_view("a\r\nb"));
  EXPECT_EQ(e->DetailText(), "a| b");
  e->Ask = true;
  EXPECT_EQ(e->DetailText(), "?");
  // Code 52 groups its parameters after the sixth.
  std::vector<double> p(7, 1);
  EXPECT_EQ(list.Add(52, false, p)->ParamText(), "1  1  1  1  1  1    1  ");
  THistoryItem* k = list.AddKind(1, false, "");
  k->Time = 0;
  EXPECT_EQ(k->DisplayLine(-1), "???");
  THistoryItem* t = list.AddKind(13, false, "x");
  t->Time = 2.5;  // noon
  EXPECT_EQ(t->DisplayLine(3), " 12:00:00     Histogram stretch    x");
}

TEST(HistoryList, CapsAt199) {
  THistoryList list;
  for (int i = 0; i < 200; ++i) list.Add(0, false, std::vector<double>{double(i)});
  EXPECT_EQ(list.Count(), 199);
  EXPECT_EQ(list.Add(1, false), nullptr);
  EXPECT_EQ(list.AddKind(3, false, "x"), nullptr);
  THistoryList read;
  std::vector<std::string> lines(250, Record("Add constant: 1", "A000"));
  read.AddRecordLines(lines);
  EXPECT_EQ(read.Count(), 199);
}

TEST(HistoryFile, LineEndsAndByteOrderMark) {
  THistoryList list;
  list.Add(0, false, std::vector<double>{100});
  list.Add(58, true, std::string_view("v + 1"));
  list.AddKind(1, false, "no record");
  const std::string text = list.FileText();
  EXPECT_EQ(text.substr(0, 3), "\xEF\xBB\xBF");
  EXPECT_EQ(text.substr(3, 36), "# Quorvane 8 Processing history\r\n#\r\n");
  const std::string body = Record("Add constant: 100", "A000") + "\n" +
                           Record("Formula \"v + 1\" [Mask]", "A058") + "\n";
  std::string crlf;
  for (char c : body) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  const std::vector<std::pair<const char*, std::string>> files = {
      {"written", text},
      {"LF without BOM", "# Quorvane 8 Processing history\n#\n" + body},
      {"CRLF with BOM", "\xEF\xBB\xBF# x\r\n" + crlf},
      {"no final line end", body.substr(0, body.size() - 1)},
  };
  for (const auto& [name, content] : files) {
    SCOPED_TRACE(name);
    THistoryList read;
    read.Add(5, false);  // loading replaces the list
    read.ParseFileText(content);
    ASSERT_EQ(read.Count(), 2);
    EXPECT_EQ(read.Item(0)->Code, 0);
    EXPECT_EQ(read.Item(0)->Params[0], 100);
    EXPECT_EQ(read.Item(1)->Text, "v + 1");
    EXPECT_TRUE(read.Item(1)->Masked);
  }
}

TEST(HistoryFile, SaveAndLoadThroughTheFileSystem) {
  const std::filesystem::path path = TempFile("a.his");
  THistoryList list;
  list.Add(18, false, std::vector<double>{1.5, 1e-5});
  std::string error;
  ASSERT_TRUE(list.SaveToFile(path, error)) << error;
  THistoryList read;
  ASSERT_TRUE(read.LoadFromFile(path, error)) << error;
  ASSERT_EQ(read.Count(), 1);
  EXPECT_EQ(read.Item(0)->Params[1], 1e-5);
  std::filesystem::remove(path);
  EXPECT_FALSE(read.LoadFromFile(path, error));
  EXPECT_EQ(read.Count(), 1);  // unchanged
  EXPECT_FALSE(list.SaveToFile(TempFile("missing-dir") / "a.his", error));
  EXPECT_EQ(error, "Cannot write file to disk");
}

TEST(HistoryFile, HeaderCardsRoundTrip) {
  THistoryList list;
  list.Add(0, true, std::vector<double>{100});
  list.Add(58, false, std::string(150, 'x'));  // continued over several cards
  TFitsStrings h;
  h.InitMinimal();
  h.AddHistory("free text stays");
  list.WriteToHeader(h);
  list.WriteToHeader(h);  // writing again replaces, never doubles
  THistoryList read;
  read.ReadFromHeader(h);
  ASSERT_EQ(read.Count(), 2);
  EXPECT_TRUE(read.Item(0)->Masked);
  EXPECT_EQ(read.Item(1)->Text, std::string(150, 'x'));
  EXPECT_NE(h.IndexOf("HISTORY free text stays"), -1);
  THistoryList().WriteToHeader(h);
  EXPECT_FALSE(h.HasHistory());
}

}  // namespace
