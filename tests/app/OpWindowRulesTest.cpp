// Rules of the operation windows: field checks and the mask arrows.
#include "OpWindowRules.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace orlu;

namespace {

TEST(OpWindowRules, CheckFieldAcceptsOnlyNumbersWithinTheLimits) {
  struct TCase {
    const char* Text;
    double Min, Max;
    bool Integer;
    bool Ok;
    double Value;
  } const cases[] = {
      {"20", 0, 100, false, true, 20},
      {"  2.5 ", 0, 100, false, true, 2.5},
      {"2,5", 0, 100, false, true, 2.5},
      {"1e3", 0, 1e20, false, true, 1000},
      {"-0", 0, 1, false, true, 0},
      {"100", 0, 100, true, true, 100},
      {"100.5", 0, 1000, true, false, 0},
      {"101", 0, 100, false, false, 0},
      {"-1", 0, 100, false, false, 0},
      {"", 0, 100, false, false, 0},
      {"abc", 0, 100, false, false, 0},
      {"12abc", 0, 100, false, false, 0},
      {"nan", -1e30, 1e30, false, false, 0},
      {"inf", -1e30, 1e30, false, false, 0},
  };
  for (const TCase& c : cases) {
    const TFieldCheck r = CheckField("Tolerance", c.Text, c.Min, c.Max, c.Integer);
    EXPECT_EQ(r.Ok, c.Ok) << c.Text;
    if (c.Ok) {
      EXPECT_EQ(r.Value, c.Value) << c.Text;
      EXPECT_TRUE(r.Message.empty());
    } else {
      EXPECT_EQ(r.Message, "Tolerance: Invalid value \"" + std::string(c.Text) + "\" (" +
                               FieldText(c.Min) + " .. " + FieldText(c.Max) + ")");
    }
  }
}

TEST(OpWindowRules, FieldTextIsShortAndExact) {
  EXPECT_EQ(FieldText(20), "20");
  EXPECT_EQ(FieldText(0.1), "0.1");
  EXPECT_EQ(FieldText(1e-5), "1e-05");
  EXPECT_EQ(FieldText(100), "100");
  double back = 0;
  const double awkward = 1.0 / 3.0;
  ASSERT_TRUE(CheckField("x", FieldText(awkward), 0, 1, false).Ok);
  back = CheckField("x", FieldText(awkward), 0, 1, false).Value;
  EXPECT_EQ(back, awkward);
}

TEST(OpWindowRules, MaskArrowsMoveByThePixelsField) {
  struct TCase {
    TMaskArrow Arrow;
    int32_t Dx, Dy;
  } const cases[] = {{TMaskArrow::Left, -7, 0},
                     {TMaskArrow::Right, 7, 0},
                     {TMaskArrow::Down, 0, -7},
                     {TMaskArrow::Up, 0, 7}};
  for (const TCase& c : cases) {
    const TMaskPoint d = MaskArrowShift(c.Arrow, 7);
    EXPECT_EQ(d.X, c.Dx);
    EXPECT_EQ(d.Y, c.Dy);
  }
}

TEST(OpWindowRules, MaskToolsInButtonOrder) {
  const auto& b = MaskToolButtons();
  const std::vector<std::pair<std::string, int32_t>> want = {
      {"Rectangle", 0}, {"Ellipse", 1}, {"Path", 2}, {"Brush", 6},
      {"Fill", 3},      {"Value", 4},   {"Move", 5}};
  ASSERT_EQ(b.size(), want.size());
  for (size_t i = 0; i < b.size(); ++i) {
    EXPECT_EQ(b[i].Caption, want[i].first);
    EXPECT_EQ(b[i].Tool, want[i].second);
  }
  EXPECT_STREQ(MaskModeCaption(TMaskMode::Intersect), "Intersect");
}

}  // namespace

namespace {

TEST(OpWindowRules, HistoryDetailsOfAnOperationAndAKind) {
  THistoryList h;
  const double p[] = {100, 2.5};
  THistoryItem* add = h.Add(0, true, p);
  ASSERT_NE(add, nullptr);
  add->Time = 0;  // a time read from text: no time line
  const std::string d = HistoryDetails(*add);
  EXPECT_EQ(d.substr(0, d.find('\n')), "Add constant");
  EXPECT_NE(d.find("Parameters: 100  2.5\n"), std::string::npos) << d;
  EXPECT_NE(d.find("\nMask\n"), std::string::npos);
  EXPECT_EQ(d.find("Time:"), std::string::npos);
  EXPECT_NE(d.find("Record: " + add->RecordLine()), std::string::npos);

  THistoryItem* paste = h.AddKind(10, false, "a\"b");
  paste->Time = 45000.5;  // 2023-03-15 12:00:00
  const std::string e = HistoryDetails(*paste);
  EXPECT_EQ(e.substr(0, e.find('\n')), "Paste into");
  EXPECT_NE(e.find("Time: 2023-03-15 12:00:00\n"), std::string::npos) << e;
  EXPECT_NE(e.find("Text: a\"b\n"), std::string::npos);
  EXPECT_EQ(e.find("Parameters:"), std::string::npos);
}

TEST(OpWindowRules, HistoryButtonCountsOperationsAndEntries) {
  THistoryList h;
  EXPECT_EQ(HistoryButtonCaption(h), "Processing history (0)");
  h.Add(18, false);
  h.Add(31, false);
  EXPECT_EQ(HistoryButtonCaption(h), "Processing history (2)");
  h.AddKind(10, false, "x");
  EXPECT_EQ(HistoryButtonCaption(h), "Processing history (2/3)");
}

TEST(OpWindowRules, MacroOperationListSkipsOtherAndFilters) {
  const std::vector<int32_t> all = MacroOperationCodes("");
  EXPECT_EQ(all.size(), 107u);
  EXPECT_EQ(std::count(all.begin(), all.end(), 60), 0);
  EXPECT_EQ(MacroOperationCodes("  GAUSS "), (std::vector<int32_t>{18}));
  const std::vector<int32_t> flips = MacroOperationCodes("flip");
  EXPECT_EQ(flips, (std::vector<int32_t>{31, 32, 106}));
  EXPECT_TRUE(MacroOperationCodes("no such operation").empty());
}

}  // namespace

namespace {

TEST(OpWindowRules, RangeInputByMode) {
  struct TCase {
    const char* Name;
    TRangeInput In;
    bool Ok;
    double A, B;
    int32_t Type;
  } const cases[] = {
      {"adu", {TRangeMode::Adu, "10", "500", false, "3"}, true, 10, 500, 1000},
      {"adu negative and large", {TRangeMode::Adu, "-1e9", "2e30", false, ""}, true, -1e9, 2e30, 1000},
      {"percent", {TRangeMode::Percentage, "0.5", "99.5", false, ""}, true, 0.5, 99.5, 1000},
      {"percent above 100", {TRangeMode::Percentage, "1", "101", false, ""}, false, 0, 0, 0},
      {"sigma", {TRangeMode::Sigma, "-2", "10", false, ""}, true, -2, 10, 1000},
      {"type arc", {TRangeMode::Adu, "0", "1", true, "15"}, true, 0, 1, -15},
      {"type power", {TRangeMode::Adu, "0", "1", true, "-15"}, true, 0, 1, 15},
      {"type beyond 20", {TRangeMode::Adu, "0", "1", true, "21"}, false, 0, 0, 0},
      {"type not whole", {TRangeMode::Adu, "0", "1", true, "1.5"}, false, 0, 0, 0},
      {"unchecked bad type ignored", {TRangeMode::Adu, "0", "1", false, "x"}, true, 0, 1, 1000},
      {"bad low", {TRangeMode::Adu, "abc", "1", false, ""}, false, 0, 0, 0},
      {"empty high", {TRangeMode::Sigma, "1", "", false, ""}, false, 0, 0, 0},
  };
  for (const TCase& c : cases) {
    const TRangeChoice r = CheckRangeInput(c.In, 1000);
    EXPECT_EQ(r.Ok, c.Ok) << c.Name;
    if (!c.Ok) {
      EXPECT_FALSE(r.Message.empty()) << c.Name;
      continue;
    }
    EXPECT_EQ(r.A, c.A) << c.Name;
    EXPECT_EQ(r.B, c.B) << c.Name;
    EXPECT_EQ(r.Type, c.Type) << c.Name;
    EXPECT_EQ(r.Mode, c.In.Mode) << c.Name;
  }
  EXPECT_NE(CheckRangeInput({TRangeMode::Adu, "0", "1", true, "21"}, 0).Message.find(
                "Transfer function: Invalid value \"21\" (-20 .. 20)"),
            std::string::npos);
}

TEST(OpWindowRules, RangeTypeFieldAndLabel) {
  EXPECT_EQ(RangeTypeField(-15), 15);
  EXPECT_EQ(RangeTypeField(15), -15);
  EXPECT_EQ(RangeTypeField(0), 0);
  EXPECT_EQ(RangeTypeField(1000), 0);
  EXPECT_EQ(RangeTypeField(1002), 0);
  EXPECT_EQ(RangeTypeLabel(15), "LOG");
  EXPECT_EQ(RangeTypeLabel(-15), "EXP");
  EXPECT_EQ(RangeTypeLabel(0), "LIN");
}

TEST(OpWindowRules, PaletteCommands) {
  EXPECT_EQ(PaletteAfterCommand(kPaletteGray, kPaletteNegative), kPaletteNegative);
  EXPECT_EQ(PaletteAfterCommand(kPaletteNegative, kPaletteNegative), kPaletteGray);
  EXPECT_EQ(PaletteAfterCommand(kPaletteNegative, kPaletteRainbow), kPaletteRainbow);
  const auto& items = PaletteMenuItems();
  ASSERT_EQ(items.size(), 7u);
  EXPECT_STREQ(items[0].Caption, "Gray");
  EXPECT_STREQ(items[2].Caption, "SawTooth");
  EXPECT_EQ(items[6].Type, kPaletteJazz);
  EXPECT_EQ(FloatFieldText(0.1f), "0.1");
}

}  // namespace

namespace {

TEST(OpWindowRules, RectFromCentreSizeKeepsCentreAndSize) {
  // Expected by the annotation's own centre and size rules, over odd and even sizes and
  // centres on both sides of zero (where the halving rounds toward zero).
  for (int32_t cx : {-7, -6, -1, 0, 1, 150})
    for (int32_t w : {1, 2, 3, 100, 101}) {
      const TAnnRect r = RectFromCentreSize(cx, -cx, w, w + 1);
      TAnnotation a;
      a.SetRect(r);
      EXPECT_EQ(a.CentreX(), cx) << cx << " " << w;
      EXPECT_EQ(a.CentreY(), -cx) << cx << " " << w;
      EXPECT_EQ(a.RectWidth(), w) << cx << " " << w;
      EXPECT_EQ(a.RectHeight(), w + 1) << cx << " " << w;
    }
  const TAnnRect z = RectFromCentreSize(10, 10, 0, -5);  // sizes below 1 count as 1
  EXPECT_EQ(z, (TAnnRect{10, 10, 10, 10}));
}

TEST(OpWindowRules, RectWithBaseMovesTheWholeArrow) {
  EXPECT_EQ(RectWithBase({100, 100, 200, 150}, 10, 20), (TAnnRect{10, 20, 110, 70}));
  const TAnnRect far = RectWithBase({0, 0, 10, 10}, kAnnMaxCoordinate, 0);
  EXPECT_EQ(far.X2, kAnnMaxCoordinate) << "held at the coordinate limit";
}

TEST(OpWindowRules, AnnotationPropertiesOneAtATime) {
  TAnnotation src, dst;
  src.Kind = akRuler;
  src.Text = "M31";
  src.Width = 5;
  src.FigureColor = 0x0000FF;
  src.SetRect({1, 2, 3, 4});
  CopyAnnotationProperty(src, dst, TAnnProp::Width);
  EXPECT_EQ(dst.Width, 5);
  EXPECT_EQ(dst.Text, "");
  EXPECT_EQ(dst.Kind, akRectangle);
  CopyAnnotationProperty(src, dst, TAnnProp::Rect);
  EXPECT_EQ(dst.Rect(), (TAnnRect{1, 2, 3, 4}));
  dst.SetSelected(true);
  CopyAnnotationProperties(src, dst);
  EXPECT_EQ(dst.Kind, akRuler);
  EXPECT_EQ(dst.FigureColor, 0x0000FFu);
  EXPECT_TRUE(dst.Selected) << "the selection is not a property";
}

TEST(OpWindowRules, AnnotateCaptionCountsTheSelection) {
  TAnnotationList list;
  EXPECT_EQ(AnnotateCaption(list), "Annotation");
  list.Add(std::make_unique<TAnnotation>());
  TAnnotation& b = list.Add(std::make_unique<TAnnotation>());
  list.Add(std::make_unique<TAnnotation>());
  EXPECT_EQ(AnnotateCaption(list), "Annotation");
  list.Select(&b);
  EXPECT_EQ(AnnotateCaption(list), "Annotation #2  -  Selected 1/3");
  list.SelectAll();
  EXPECT_EQ(AnnotateCaption(list).substr(AnnotateCaption(list).find("  -  ")),
            "  -  Selected 3/3");
}

}  // namespace

namespace {

TEST(OpWindowRules, MaskPreviewIsTopRowFirstAndShrunk) {
  TAMask m(1);
  m.SetSize(4, 2);
  ASSERT_TRUE(m.Allocate());
  m.SetWeight(0, 0, 65535);  // bottom-left
  m.SetWeight(3, 1, 512);    // top-right
  const TGreyPicture p = MaskPreview(m, 256);
  ASSERT_EQ(p.Width, 4);
  ASSERT_EQ(p.Height, 2);
  EXPECT_EQ(p.Levels, (std::vector<uint8_t>{0, 0, 0, 2, 255, 0, 0, 0}));
  TAMask big(2);
  big.SetSize(1000, 10);
  ASSERT_TRUE(big.Allocate());
  const TGreyPicture q = MaskPreview(big, 100);
  EXPECT_EQ(q.Width, 100);
  EXPECT_EQ(q.Height, 1);
  TAMask none(3);
  none.SetSize(5, 5);
  EXPECT_EQ(MaskPreview(none, 100).Width, 0);
}

}  // namespace
