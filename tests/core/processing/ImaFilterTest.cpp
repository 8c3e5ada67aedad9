#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "processing/ImaFilter.h"

using namespace orlu;

namespace {

std::string Padded(std::string body, const char* tag) {
  body.resize(68, ' ');
  return body + tag;
}

}  // namespace

TEST(ImaFilter, RecordLines) {
  struct Row {
    const char* name;
    int32_t code;  // -1: a Code 60 entry of kind
    int32_t kind;
    std::vector<double> params;
    const char* text;  // nullptr: unset
    bool masked;
    std::string want;
  };
  const double unset = kUnsetParam;
  const std::vector<Row> rows = {
      {"parameter", 0, 0, {100}, nullptr, false, Padded("Add constant: 100", "A000")},
      {"text", 58, 0, {}, "v + 100", false, Padded("Formula \"v + 100\"", "A058")},
      {"line breaks", 58, 0, {}, "a\r\nb", false, Padded("Formula \"a`|b\"", "A058")},
      {"markers and quotes", 58, 0, {}, "say \"hi\"|x`", false,
       Padded("Formula \"say 'hi'/x'\"", "A058")},
      {"text and parameters", 89, 0, {2, 0.5}, "/tmp/a.fits", false,
       Padded("Merge \"/tmp/a.fits\" 2 0.5", "A089")},
      {"parameters up to the first unset", 18, 0, {1.5, unset, 3}, nullptr, true,
       Padded("Gauss: 1.5 [Mask]", "A018")},
      {"no parameters", 31, 0, {}, nullptr, false, Padded("Flip horizontal", "A031")},
      {"kind", -1, 10, {}, "clip", false, Padded("Paste into \"clip\"", "A910")},
      {"filter kind has no record", -1, 1, {}, "x", false, ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    THistoryList list;
    THistoryItem* item = nullptr;
    if (r.code < 0)
      item = list.AddKind(r.kind, r.masked, r.text);
    else if (r.text)
      item = list.Add(r.code, r.masked, r.params, r.text);
    else
      item = list.Add(r.code, r.masked, r.params);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->RecordLine(), r.want);
    if (!r.want.empty()) {
      EXPECT_EQ(r.want.size(), 72u);
    }
    EXPECT_EQ(list.RecordLines().size(), r.want.empty() ? 0u : 1u);
  }
  // A long record keeps its whole text; the tag still ends it.
  THistoryList list;
  const std::string text(100, 'x');
  const std::string line = list.Add(58, false, text)->RecordLine();
  EXPECT_EQ(line, "Formula \"" + text + "\"A058");
}

TEST(ImaFilter, NewEntryDefaults) {
  THistoryItem item;
  EXPECT_EQ(item.Kind, 0);
  EXPECT_EQ(item.Code, 60);
  EXPECT_EQ(item.Text, "<void>");
  EXPECT_FALSE(item.HasText());
  for (double p : item.Params) EXPECT_EQ(p, kUnsetParam);
  EXPECT_GT(item.Time, 40000.0);  // after the year 2009 in days from 1899-12-30
}

TEST(ImaFilter, ListHoldsAtMost199AndCopiesDeeply) {
  THistoryList list;
  for (int i = 0; i < 199; ++i) ASSERT_NE(list.Add(i % 108, false), nullptr) << i;
  EXPECT_EQ(list.Add(0, false), nullptr);
  EXPECT_EQ(list.Append(std::make_unique<THistoryItem>()), nullptr);
  EXPECT_EQ(list.Count(), 199);
  EXPECT_EQ(list.Item(199), nullptr);
  EXPECT_EQ(list.Item(-1), nullptr);
  EXPECT_EQ(list.OperationCount(), 197);  // i = 60 and 168 are code 60

  THistoryList copy;
  copy.AddKind(3, false, "old");
  list.CopyTo(copy);
  EXPECT_EQ(copy.Count(), 199);
  copy.Item(0)->Params[0] = 5;
  EXPECT_EQ(list.Item(0)->Params[0], kUnsetParam);

  EXPECT_EQ(list.Add(108, false), nullptr);  // no such operation
  EXPECT_EQ(copy.AddKind(29, false, "x"), nullptr);
}
