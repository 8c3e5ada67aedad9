#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "processing/ImaFilter.h"

using namespace orlu;

namespace {

TEST(HistoryRecord, RecordLinesReadBack) {
  struct Case {
    const char* Name;
    int32_t Code;
    std::vector<double> Params;
    const char* Text;  // nullptr: no text
    bool Masked;
    std::vector<double> WantParams;
    const char* WantText;  // "<void>" when none is read back
  };
  const std::vector<Case> cases = {
      {"constant", 0, {100}, nullptr, false, {100}, "<void>"},
      {"negative and fraction, masked", 4, {-2.5, 0.125}, nullptr, true, {-2.5, 0.125}, "<void>"},
      {"exponent form stays one number", 2, {1e-5, 3e20}, nullptr, false, {1e-5, 3e20}, "<void>"},
      {"formula text", 58, {}, "v + 100", false, {}, "v + 100"},
      {"two lines", 58, {}, "a\r\nb", false, {}, "a\r\nb"},
      {"text with a colon keeps only the code", 58, {}, "v : v", false, {}, "<void>"},
      {"text with parameters after it", 6, {3}, "OBJECT", false, {3}, "OBJECT"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    THistoryList list;
    const THistoryItem* item = c.Text ? list.Add(c.Code, c.Masked, c.Params, c.Text)
                                      : list.Add(c.Code, c.Masked, c.Params);
    ASSERT_NE(item, nullptr);
    const std::string line = item->RecordLine();
    THistoryItem back;
    ASSERT_TRUE(THistoryItem::ParseRecord(line, back)) << line;
    EXPECT_EQ(back.Code, c.Code);
    EXPECT_EQ(back.Kind, 1);
    EXPECT_EQ(back.Time, 0);
    EXPECT_EQ(back.Masked, c.Masked);
    EXPECT_EQ(back.Text, c.WantText);
    for (size_t i = 0; i < back.Params.size(); ++i) {
      if (i < c.WantParams.size())
        EXPECT_DOUBLE_EQ(back.Params[i], c.WantParams[i]) << i;
      else
        EXPECT_EQ(back.Params[i], kUnsetParam) << i;
    }
  }
}

TEST(HistoryRecord, KindEntriesAndNonRecords) {
  THistoryItem item;
  ASSERT_TRUE(THistoryItem::ParseRecord(std::string(68, ' ') + "A913", item));
  EXPECT_EQ(item.Code, kOtherCode);
  EXPECT_EQ(item.Kind, 13);
  // A comma is read as the decimal separator.
  ASSERT_TRUE(THistoryItem::ParseRecord("Add constant: 1,5                          A000", item));
  EXPECT_EQ(item.Params[0], 1.5);
  for (const char* line : {"# Quorvane 8 Processing history", "; note           A000", "A000",
                           "Add constant: 1  B000", "Add constant: 1  A0x0", "Flip  A108",
                           "Kind  A929"}) {
    THistoryItem untouched;
    untouched.Code = 7;
    EXPECT_FALSE(THistoryItem::ParseRecord(line, untouched)) << line;
    EXPECT_EQ(untouched.Code, 7);
  }
  THistoryList list;
  list.AddRecordLines({"not a record", "Gauss: 2" + std::string(60, ' ') + "A018"});
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list.Item(0)->Code, 18);
  EXPECT_EQ(list.Item(0)->Params[0], 2);
}

}  // namespace
