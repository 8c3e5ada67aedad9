#include "annotate/uAnnotate.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numbers>
#include <set>
#include <sstream>

#include "astrometry/ImaWCS.h"
#include "fits/ImaHeader.h"
#include "options/uQuorvane.h"

using namespace orlu;
namespace fs = std::filesystem;

namespace {

// 2023-03-15 00:00 UT: 8474 days after 2000-01-01 00:00 (JD 2451544.5), counted by hand
// (23 years with 6 leap days, then 31 + 28 + 14 days).
constexpr double kJD20230315 = 2460018.5;
// 22:30:45.123 on that day.
const double kJDEvening = kJD20230315 + (22 * 3600 + 30 * 60 + 45.123) / 86400.0;

struct TDrawCall {
  std::string Text;
  double Left, Bottom;
  double Size;
  uint32_t Colour;
};

// Every text is 7 pixels per byte wide and 10 high, whatever the font.
struct TFakePainter : TTextPainter {
  std::vector<TDrawCall> Calls;
  TTextExtent MeasureText(const std::string& text, const TTextFont&) override {
    return {7.0 * double(text.size()), 10.0};
  }
  void DrawText(TImg32&, double left, double bottom, const std::string& text,
                const TTextFont& font, uint32_t colour, double) override {
    Calls.push_back({text, left, bottom, font.Size, colour});
  }
};

struct TTempDir {
  fs::path Dir = fs::temp_directory_path() / ("orlu_annot_" + std::to_string(::getpid()));
  TTempDir() { fs::create_directories(Dir); }
  ~TTempDir() {
    std::error_code ec;
    fs::remove_all(Dir, ec);
  }
};

// Restores the process-wide state that tests change.
struct Annotate : ::testing::Test {
  void TearDown() override {
    LogoSource() = TLogoSource{};
    ShowAnnotations(true);
  }
};

std::unique_ptr<TAnnotation> Make(int32_t kind, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                                  std::string text = "") {
  auto a = std::make_unique<TAnnotation>();
  a->Kind = kind;
  a->SetRect({x1, y1, x2, y2});
  a->Text = std::move(text);
  return a;
}

// Every stored field but the selection state.
void ExpectSameStored(const TAnnotation& a, const TAnnotation& b, const std::string& what) {
  SCOPED_TRACE(what);
  EXPECT_EQ(a.Kind, b.Kind);
  EXPECT_EQ(a.Rect(), b.Rect());
  EXPECT_EQ(a.Text, b.Text);
  EXPECT_EQ(a.TextColor, b.TextColor);
  EXPECT_EQ(a.FigureColor, b.FigureColor);
  EXPECT_EQ(a.Width, b.Width);
  EXPECT_EQ(a.Sections, b.Sections);
  EXPECT_EQ(a.Transparency, b.Transparency);
  EXPECT_EQ(a.FontName, b.FontName);
  EXPECT_EQ(a.FontSize, b.FontSize);
  EXPECT_EQ(a.Style, b.Style);
  EXPECT_EQ(a.TextPos, b.TextPos);
  EXPECT_EQ(a.Logo.FileName, b.Logo.FileName);
}

// An annotation of each kind with every field away from its default; the texts hold the
// characters that the line form must escape or delimit.
std::unique_ptr<TAnnotation> Rich(int32_t kind) {
  auto a = Make(kind, 10 + kind * 20, -5 - kind, 40 + kind * 20, 300 + kind);
  a->Text = "M31 [core] 50% > \xC3\xA9t\xC3\xA9\r\xE2\x82\xAC line\xF0\x9F\x98\x80 #" +
            std::to_string(kind);
  a->TextColor = 0x123456;
  a->FigureColor = 0xFEDCBA;
  a->Width = 3;
  a->Sections = 4;
  a->Transparency = 40;
  a->FontName = "Odd[Font]#1>";
  a->FontSize = 14;
  a->Style = kAnnBold | kAnnOutline;
  a->TextPos = tpRight;
  if (kind == akLogo) a->Logo.FileName = "my logo [1].png";
  return a;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Line form
// ---------------------------------------------------------------------------------------

TEST_F(Annotate, EscapeTable) {
  struct Row {
    const char* Text;
    const char* Escaped;
  } rows[] = {
      {"M31 ~", "M31 ~"},
      {"50%", "50%25"},
      {"a\rb", "a%0Db"},
      {"\x7F", "%7F"},
      {"\xC3\xA9", "%E9"},                       // U+00E9
      {"\xE2\x82\xAC", "%u20AC"},                // U+20AC
      {"\xF0\x9F\x98\x80", "%uD83D%uDE00"},      // U+1F600 as a surrogate pair
      {"[x]#>", "[x]#>"},                        // not delimiters in the text
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.Escaped);
    EXPECT_EQ(EscapeAnnotationText(r.Text), r.Escaped);
    EXPECT_EQ(UnescapeAnnotationText(r.Escaped), r.Text);
  }
  EXPECT_EQ(EscapeAnnotationName("A[b]#c>d%"), "A%5Bb%5D%23c%3Ed%25");
  // Invalid UTF-8 becomes "?"; invalid or cut escapes read as "?".
  EXPECT_EQ(EscapeAnnotationText("a\xFF" "b"), "a?b");
  EXPECT_EQ(UnescapeAnnotationText("%zzA"), "?A");
  EXPECT_EQ(UnescapeAnnotationText("x%4"), "x?");
  EXPECT_EQ(UnescapeAnnotationText("%u12G4z"), "?z");
  EXPECT_EQ(UnescapeAnnotationText("%uD800x"), "?x");
  EXPECT_EQ(UnescapeAnnotationText("%uDC00"), "?");
  EXPECT_EQ(UnescapeAnnotationText("%"), "?");
  EXPECT_EQ(UnescapeAnnotationText("%e9"), "\xC3\xA9");
}

TEST_F(Annotate, DocumentedExampleLine) {
  auto a = Make(akCross, 10, 20, 30, 40, "M31");
  EXPECT_EQ(a->ToLine(), "09>M31[Arial#10 0 0] 10 20 30 40 14211256 14211256 2 1 0");
  // Without text there is no text part.
  a->Text.clear();
  EXPECT_EQ(a->ToLine(), "09 10 20 30 40 14211256 14211256 2 1 0");
  // A logo always carries its text part.
  a->Kind = akLogo;
  a->Logo.FileName = "a.png";
  EXPECT_EQ(a->ToLine(), "05>>a.png[Arial#10 0 0] 10 20 30 40 14211256 14211256 2 1 0");
}

TEST_F(Annotate, LineRoundTripEveryKind) {
  for (int32_t k = 0; k < kAnnotationKinds; ++k) {
    auto a = Rich(k);
    const std::string line = a->ToLine();
    // Printable ASCII only, so that it can go into header cards unchanged.
    for (const char c : line) ASSERT_TRUE(c >= 32 && c <= 126) << line;
    TAnnotation b;
    ASSERT_TRUE(b.FromLine(line)) << line;
    ExpectSameStored(*a, b, line);
    EXPECT_EQ(b.ToLine(), line);
  }
}

TEST_F(Annotate, BadLinesLeaveTheAnnotationUnchanged) {
  const char* bad[] = {
      "",
      "09 ",                                             // 3 characters or fewer
      "18 1 2 3 4 5 6 7 8 9",                            // kind beyond 17
      "100 1 2 3 4 5 6 7 8 9",                           // three-digit kind
      "-1 1 2 3 4 5 6 7 8 9",                            // no leading digit
      "x9 1 2 3 4 5 6 7 8 9",
      "09 1 2 3 4 5 6 7 8",                              // 8 numbers
      "09>M31 1 2 3 4 5 6 7 8 9",                        // no "]"
      "09>M31] 1 2 3 4 5 6 7 8 9",                       // no "["
      "09>M31[Arial 10 0 0] 1 2 3 4 5 6 7 8 9",          // no "#"
      "09>M31[Arial#10 0] 1 2 3 4 5 6 7 8 9",            // 2 font numbers
      "09>M31[Arial#10 0 0] 1 2 3 4 5 6 7 8",            // 8 numbers after the text
  };
  for (const char* line : bad) {
    SCOPED_TRACE(line);
    auto a = Rich(akArrow);
    auto before = Rich(akArrow);
    EXPECT_FALSE(a->FromLine(line));
    ExpectSameStored(*a, *before, line);
  }
}

TEST_F(Annotate, NumbersAreClampedToTheirRanges) {
  struct Row {
    const char* Line;
    int32_t FontSize, Style, TextPos, X1, Width, Sections, Transparency;
    uint32_t TextColor;
  } rows[] = {
      {"1>t[F#0 13 9] 10.5 2 3 4 5 6 -3 2000 150", 1, 5, 5, 10, 0, 1000, 100, 5},
      {"1>t[F#5000 -2 -1] 11,5 2 3 4 -1 6 7 8 -5", 1000, 0, 0, 12, 7, 8, 0, 0xFFFFFF},
      {"01 -999999999999 2 3 4 16777216 6 2 1 50", 10, 0, 0, -kAnnMaxCoordinate, 2, 1, 50, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.Line);
    TAnnotation a;
    ASSERT_TRUE(a.FromLine(r.Line));
    EXPECT_EQ(a.FontSize, r.FontSize);
    EXPECT_EQ(int32_t(a.Style), r.Style);
    EXPECT_EQ(int32_t(a.TextPos), r.TextPos);
    EXPECT_EQ(a.X1, r.X1);  // "10.5" is rounded half to even, "11,5" too
    EXPECT_EQ(a.Width, r.Width);
    EXPECT_EQ(a.Sections, r.Sections);
    EXPECT_EQ(a.Transparency, r.Transparency);
    EXPECT_EQ(a.TextColor, r.TextColor);
  }
}

TEST_F(Annotate, FromLinesStopsAtTheFirstBadLineWithoutPhantoms) {
  TAnnotationList list;
  list.Add(Make(akPoint, 1, 1, 2, 2));
  const TAnnParseResult r = list.FromLines({Make(akCircle, 1, 2, 3, 4)->ToLine(), "garbage line",
                                            Make(akRuler, 5, 6, 7, 8)->ToLine()});
  EXPECT_FALSE(r.Ok);
  EXPECT_EQ(r.BadLine, 1);
  EXPECT_EQ(r.Added, 1);
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list[0].Kind, akCircle);
  EXPECT_FALSE(list.Modified);
  // Saving back writes only what was read: no default annotations for the rest.
  TFitsStrings h;
  h.InitMinimal();
  list.WriteToHeader(h);
  EXPECT_EQ(h.ReadAnnotations().size(), 1u);

  const TAnnParseResult ok = list.FromLines({});
  EXPECT_TRUE(ok.Ok);
  EXPECT_EQ(ok.BadLine, -1);
  EXPECT_TRUE(list.IsEmpty());
}

TEST_F(Annotate, HeaderCardsOf61_122_130Characters) {
  for (const size_t length : {size_t(61), size_t(122), size_t(130)}) {
    SCOPED_TRACE(length);
    auto a = Make(akEllipse, 1, 2, 3, 4, "x");
    a->Text.assign(a->Text.size() + length - a->ToLine().size(), 'x');
    ASSERT_EQ(a->ToLine().size(), length);
    TAnnotationList list;
    list.Add(a->Clone());
    list.Add(Rich(akLogo));
    TFitsStrings h;
    h.InitMinimal();
    list.WriteToHeader(h);
    std::vector<std::string> cards;
    for (const std::string& c : h)
      if (c.rfind("COMMENT {ANNOTATE ", 0) == 0) cards.push_back(c);
    const size_t first = (length + 60) / 61;
    ASSERT_GE(cards.size(), first);
    for (size_t i = 0; i < first; ++i) {
      ASSERT_EQ(cards[i].size(), 80u);
      EXPECT_EQ(cards[i][79], i + 1 < first ? '_' : '}');
    }
    TAnnotationList back;
    back.Modified = true;
    const TAnnParseResult r = back.ReadFromHeader(h);
    EXPECT_TRUE(r.Ok);
    ASSERT_EQ(back.Count(), 2);
    EXPECT_FALSE(back.Modified);
    EXPECT_EQ(back.ToLines(), list.ToLines());
  }
}

TEST_F(Annotate, HeaderRoundTripEveryKindAndEmptyListRemovesCards) {
  TAnnotationList list;
  for (int32_t k = 0; k < kAnnotationKinds; ++k) list.Add(Rich(k));
  TFitsStrings h;
  h.InitMinimal();
  list.WriteToHeader(h);
  for (const std::string& c : h)
    for (const char ch : c) ASSERT_TRUE(ch >= 32 && ch <= 126);
  TAnnotationList back;
  EXPECT_TRUE(back.ReadFromHeader(h).Ok);
  ASSERT_EQ(back.Count(), kAnnotationKinds);
  for (int32_t k = 0; k < kAnnotationKinds; ++k) ExpectSameStored(list[k], back[k], AnnotationKindName(k));
  TAnnotationList().WriteToHeader(h);
  EXPECT_TRUE(h.ReadAnnotations().empty());
}

TEST_F(Annotate, AnnFileRoundTripEveryKind) {
  TTempDir tmp;
  TAnnotationList list;
  for (int32_t k = 0; k < kAnnotationKinds; ++k) list.Add(Rich(k));
  const fs::path path = tmp.Dir / "all.ann";
  ASSERT_TRUE(list.SaveToFile(path, true));
  {
    std::ifstream f(path);
    std::string first;
    std::getline(f, first);
    EXPECT_EQ(first, "Quorvane annotations file");
  }
  TAnnotationList back;
  const TAnnFileResult r = back.OpenFile(path, 500, 500);
  EXPECT_TRUE(r.Ok);
  EXPECT_EQ(r.Added, kAnnotationKinds);
  EXPECT_EQ(r.BadLines, 0);
  ASSERT_EQ(back.Count(), kAnnotationKinds);
  // An all-annotations file keeps the coordinates.
  for (int32_t k = 0; k < kAnnotationKinds; ++k) ExpectSameStored(list[k], back[k], AnnotationKindName(k));
  EXPECT_TRUE(back.Modified);
  // Each is added as by "New": the last one read is the current one.
  EXPECT_EQ(back.Current(), &back[kAnnotationKinds - 1]);
  // No temporary file is left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(tmp.Dir), fs::directory_iterator()), 1);
}

TEST_F(Annotate, AnnFileSingleIsCentredBadLinesSkipped) {
  TTempDir tmp;
  TAnnotationList list;
  list.Add(Make(akCircle, 0, 0, 10, 20, "one"));
  list.Select(&list[0]);
  const fs::path path = tmp.Dir / "one.ann";
  ASSERT_TRUE(list.SaveToFile(path, false));
  {
    std::ofstream f(path, std::ios::app);
    f << "not an annotation\r\n\r\n" << Make(akPoint, 1, 1, 3, 3)->ToLine() << "\r\n";
  }
  TAnnotationList back;
  back.Add(Make(akRectangle, 95, 90, 105, 110));  // where the first read one lands
  const TAnnFileResult r = back.OpenFile(path, 100, 100);
  EXPECT_TRUE(r.Ok);
  EXPECT_EQ(r.Added, 2);
  EXPECT_EQ(r.BadLines, 1);
  ASSERT_EQ(back.Count(), 3);
  // Centred on (100, 100), then nudged by (+6, -6) off the annotation already there.
  EXPECT_EQ(back[1].Rect(), (TAnnRect{101, 84, 111, 104}));
  EXPECT_EQ(back[1].Text, "one");
  EXPECT_EQ(back[2].Rect(), (TAnnRect{99, 99, 101, 101}));

  // Nothing selected: "Save" has nothing to write; an unwritable place fails and leaves
  // nothing behind.
  TAnnotationList none;
  none.Add(Make(akPoint, 1, 1, 2, 2));
  EXPECT_FALSE(none.SaveToFile(tmp.Dir / "x.ann", false));
  EXPECT_FALSE(list.SaveToFile(tmp.Dir / "missing" / "x.ann", true));
  EXPECT_FALSE(back.OpenFile(tmp.Dir / "missing.ann", 0, 0).Ok);
}

// ---------------------------------------------------------------------------------------
// Logos
// ---------------------------------------------------------------------------------------

TEST_F(Annotate, LogoNamesCannotLeaveTheLogoFolder) {
  std::vector<fs::path> asked;
  LogoSource().Folder = "/logos";
  LogoSource().Read = [&](const fs::path& p, TImg32& pic) {
    asked.push_back(p);
    pic.SetSize(8, 4);
    pic.Fill(0x00FF0000);
    return true;
  };
  struct Row {
    const char* Name;
    const char* Expected;  // read path, or "" for no read
  } rows[] = {
      {"a.png", "/logos/a.png"},
      {"../../etc/passwd", "/logos/passwd"},
      {"/abs/x.png", "/logos/x.png"},
      {"..\\..\\win.png", "/logos/win.png"},
      {"..", ""},
      {"sub/..", ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.Name);
    asked.clear();
    TAnnotation a;
    ASSERT_TRUE(a.FromLine("05>>" + EscapeAnnotationName(r.Name) + "[Arial#10 0 0] 1 2 3 4 5 6 7 8 9"));
    if (*r.Expected) {
      ASSERT_EQ(asked.size(), 1u);
      EXPECT_EQ(asked[0], fs::path(r.Expected));
      EXPECT_TRUE(a.Logo.Loaded);
      EXPECT_EQ(a.Logo.Half.Width(), 4);
      EXPECT_EQ(a.Logo.Quarter.Width(), 2);
    } else {
      EXPECT_TRUE(asked.empty());
      EXPECT_EQ(a.Logo.FileName, "");
    }
  }
  // An unreadable logo keeps its name so that it is saved back unchanged.
  LogoSource().Read = [](const fs::path&, TImg32&) { return false; };
  TAnnotation b;
  ASSERT_TRUE(b.FromLine("05>txt>gone.png[Arial#10 0 0] 1 2 3 4 5 6 7 8 9"));
  EXPECT_FALSE(b.Logo.Loaded);
  EXPECT_EQ(b.Logo.FileName, "gone.png");
  EXPECT_EQ(b.Text, "txt");
  EXPECT_EQ(b.ToLine(), "05>txt>gone.png[Arial#10 0 0] 1 2 3 4 5 6 7 8 9");
}

// ---------------------------------------------------------------------------------------
// Macros
// ---------------------------------------------------------------------------------------

TEST_F(Annotate, DatePatternsKeepTheirMeaning) {
  struct Row {
    const char* Pattern;
    const char* Expected;
  } rows[] = {
      {"yyyy-mm-dd hh:nn:ss", "2023-03-15 22:30:45"},
      {"hh:mm", "22:30"},  // "m" right after an hour is minutes
      {"hh nn mm", "22 30 03"},
      {"d/m/yy", "15/3/23"},
      {"mmm mmmm", "Mar March"},
      {"ddd dddd", "Wed Wednesday"},
      {"h:nn am/pm", "10:30 pm"},
      {"h:nn AM/PM", "10:30 PM"},
      {"h a/p", "10 p"},
      {"hh ampm", "10 PM"},
      {"hh:nn:ss.zzz", "22:30:45.123"},
      {"z", "123"},
      {"'at' hh", "at 22"},
      {"c", "2023-03-15 22:30:45"},
      {"", "2023-03-15 22:30:45"},
      {"t", "22:30"},
      {"tt", "22:30:45"},
      {"ddddd", "2023-03-15"},
      {"dddddd", "Wednesday, 15 March 2023"},
      {"yy", "23"},
      {"x", "x"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.Pattern);
    EXPECT_EQ(FormatJulianDate(r.Pattern, kJDEvening), r.Expected);
  }
  // Milliseconds are rounded once, carrying into the date.
  EXPECT_EQ(FormatJulianDate("yyyy-mm-dd hh:nn:ss.zzz", kJD20230315 + (86400 - 0.0004) / 86400),
            "2023-03-16 00:00:00.000");
  EXPECT_EQ(FormatJulianDate("c", kJD20230315), "2023-03-15");
  EXPECT_EQ(FormatJulianDate("h am/pm", kJD20230315), "12 am");
  EXPECT_EQ(FormatJulianDate("c", 1e300), "");
  EXPECT_EQ(FormatJulianDate("c", std::nan("")), "");
}

TEST_F(Annotate, MacrosWithAFixedClock) {
  TFitsStrings h;
  h.InitMinimal();
  h.SetReal("EXPTIME", true, 30);
  h.SetString("OBJECT", "%FILENAME", true);
  h.SetString("TIME-OBS", "22:30:45", true);
  TAnnParams p;
  p.Header = &h;
  p.DocumentName = "m31%EXPTIME.fits";
  p.JDUT = kJDEvening;
  p.JDLocal = kJDEvening + 1.0 / 24;
  p.Clock = [] { return kJD20230315 + 0.25; };
  TAnnotation a;
  struct Row {
    const char* Text;
    const char* Expected;
  } rows[] = {
      {"%EXPTIME s", "30 s"},
      {"UT %UT\"hh:nn\" LT %LT\"hh:nn\"", "UT 22:30 LT 23:30"},
      {"%TIME\"hh:nn\"", "06:00"},
      {"%TIME", "??:???"},
      {"[%TIME\"\"]", "[??:???]"},
      {"%TIME-OBS", "22:30:45"},
      {"%FILENAME", "m31%EXPTIME.fits"},  // substituted values are not scanned again
      {"%OBJECT", "%FILENAME"},
      {"%NOSUCHKEY!", "?!"},
      {"%x %", "%x %"},
      {"%A", "%A"},  // shorter than 3 characters
      {"%UT\"hh", "%UT\"hh"},
      {"%PRA %PDEC", "?? ?? ??.? ?? ?? ??"},
      {"%CRA%CDEC", "?? ?? ??.??? ?? ??"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.Text);
    EXPECT_EQ(ExpandAnnotationText(r.Text, a, p), r.Expected);
  }
  // Unknown observation time: the pattern's shape in question marks.
  p.JDUT = 0;
  EXPECT_EQ(ExpandAnnotationText("%UT\"hh:nn\"", a, p), "?????");
  p.Header = nullptr;
  EXPECT_EQ(ExpandAnnotationText("%EXPTIME", a, p), "?");
}

TEST_F(Annotate, CoordinateMacrosUseTheAnnotationAndImageCentres) {
  TWcs w;
  w.RA0 = 270.0 * std::numbers::pi / 180;
  w.Dec0 = 55.0 * std::numbers::pi / 180;
  // The reference point at the annotation's centre (truncated halves: (101 + 120)/2 = 110).
  w.X0 = 110;
  w.Y0 = -3;
  w.CD11 = -1e-5;
  w.CD22 = 1e-5;
  w.UpdateDerived();
  TAnnParams p;
  p.Wcs = &w;
  p.ImageWidth = 221;
  p.ImageHeight = 101;
  auto a = Make(akCircle, 101, -4, 120, -3);
  EXPECT_EQ(ExpandAnnotationText("%PRA %PDEC", *a, p), "18 00 00.0 +55 00 00");
  // The image centre (110, 50) lies 53 pixels of 2.06" north of the reference point.
  EXPECT_EQ(ExpandAnnotationText("%CRA", *a, p), "18 00 00.0");
  EXPECT_NE(ExpandAnnotationText("%CDEC", *a, p), "+55 00 00");
}

// ---------------------------------------------------------------------------------------
// Geometry
// ---------------------------------------------------------------------------------------

namespace {

// A reference picture of marks: the transforms of the image move marks the slow, obvious
// way; the annotation corners must land on them.
struct TMarks {
  int32_t W, H;
  std::set<std::pair<int32_t, int32_t>> Points;
  void Mark(const TAnnotation& a) {
    Points.insert({a.X1, a.Y1});
    Points.insert({a.X2, a.Y2});
  }
  TMarks Transformed(const std::function<std::pair<int32_t, int32_t>(int32_t, int32_t)>& f,
                     int32_t w, int32_t h) const {
    TMarks m{w, h, {}};
    for (const auto& [x, y] : Points) m.Points.insert(f(x, y));
    return m;
  }
};

}  // namespace

TEST_F(Annotate, FlipsAndCropsKeepAnnotationsOnTheirPixels) {
  const int32_t W = 64, H = 48;
  struct Row {
    const char* Name;
    std::function<void(TAnnotationList&)> Apply;
    std::function<std::pair<int32_t, int32_t>(int32_t, int32_t)> Pixel;  // old -> new
  } rows[] = {
      {"flip horizontal", [&](TAnnotationList& l) { l.FlipHorizontal(W); },
       [&](int32_t x, int32_t y) { return std::pair{W - 1 - x, y}; }},
      {"flip vertical", [&](TAnnotationList& l) { l.FlipVertical(H); },
       [&](int32_t x, int32_t y) { return std::pair{x, H - 1 - y}; }},
      {"crop at (5, 7)", [&](TAnnotationList& l) { l.Offset(50, 30, -5, -7); },
       [&](int32_t x, int32_t y) { return std::pair{x - 5, y - 7}; }},
      {"border of 3", [&](TAnnotationList& l) { l.Offset(W + 6, H + 6, 3, 3); },
       [&](int32_t x, int32_t y) { return std::pair{x + 3, y + 3}; }},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.Name);
    TAnnotationList list;
    list.Add(Make(akArrow, 10, 12, 30, 40));
    list.Add(Make(akRectangle, 40, 20, 20, 10));
    list.Add(Make(akPoint, 6, 8, 6, 8));
    TMarks before{W, H, {}};
    for (int32_t i = 0; i < list.Count(); ++i) before.Mark(list[i]);
    const TMarks expected = before.Transformed(r.Pixel, W, H);
    list.Modified = false;
    r.Apply(list);
    EXPECT_TRUE(list.Modified);
    ASSERT_EQ(list.Count(), 3);
    TMarks after{W, H, {}};
    for (int32_t i = 0; i < list.Count(); ++i) after.Mark(list[i]);
    EXPECT_EQ(after.Points, expected.Points);
  }
  // Arrows keep base and tip: flipping twice restores the exact corners.
  TAnnotationList l;
  l.Add(Make(akArrow, 10, 12, 30, 40));
  l.FlipHorizontal(W);
  EXPECT_EQ(l[0].Rect(), (TAnnRect{53, 12, 33, 40}));
  l.FlipHorizontal(W);
  l.FlipVertical(H);
  l.FlipVertical(H);
  EXPECT_EQ(l[0].Rect(), (TAnnRect{10, 12, 30, 40}));
}

TEST_F(Annotate, OffsetDeletesWhatLiesCompletelyOutside) {
  struct Row {
    TAnnRect Rect;
    bool Kept;
  } rows[] = {
      {{20, 20, 30, 30}, true},
      {{-50, 20, -20, 30}, false},   // left of the new image
      {{-50, 20, 0, 30}, false},     // x2 must be above 0
      {{-50, 20, 1, 30}, true},      // overlaps column 1
      {{98, 20, 120, 30}, false},    // x1 must be below width - 1
      {{97, 20, 120, 30}, true},
      {{20, 60, 30, 58}, true},      // corners in any order
      {{20, 99, 30, 120}, false},
  };
  for (const Row& r : rows) {
    TAnnotationList list;
    list.Add(Make(akRectangle, r.Rect.X1 + 10, r.Rect.Y1 + 10, r.Rect.X2 + 10, r.Rect.Y2 + 10));
    list.Offset(99, 99, -10, -10);
    EXPECT_EQ(list.Count(), r.Kept ? 1 : 0) << r.Rect.X1 << "," << r.Rect.Y1;
  }
}

TEST_F(Annotate, ScaleHalvesCoordinatesAndFont) {
  TAnnotationList list;
  auto a = Make(akEllipse, 4000, 101, 103, 4999);
  a->FontSize = 21;
  list.Add(std::move(a));
  list.Scale(0.5, 0.5);
  // Half to even: 50.5 -> 50, 51.5 -> 52, 10.5 -> 10.
  EXPECT_EQ(list[0].Rect(), (TAnnRect{2000, 50, 52, 2500}));
  EXPECT_EQ(list[0].FontSize, 10);
  list.Scale(0.5, 3);  // font × 1.75
  EXPECT_EQ(list[0].Rect(), (TAnnRect{6000, 25, 156, 1250}));
  EXPECT_EQ(list[0].FontSize, 18);
  list.Scale(0.01, 0.01);
  EXPECT_EQ(list[0].FontSize, 1);
  const TAnnRect before = list[0].Rect();
  list.Scale(std::nan(""), 2);
  list.Scale(0, 2);
  EXPECT_EQ(list[0].Rect(), before);
}

TEST_F(Annotate, RectangleHelpers) {
  auto a = Make(akRectangle, -3, 0, 0, 5);
  EXPECT_EQ(a->CentreX(), -1);  // -3/2 truncated toward zero
  EXPECT_EQ(a->CentreY(), 2);
  EXPECT_EQ(a->RectWidth(), 4);
  EXPECT_EQ(a->RectHeight(), 6);
  struct Row {
    TAnnRect Rect;
    int32_t D;
    bool Ok;
    TAnnRect After;
  } rows[] = {
      {{10, 10, 59, 29}, 1, true, {9, 9, 60, 30}},
      {{10, 10, 89, 29}, 1, true, {8, 8, 91, 31}},      // 80 wide: doubled
      {{10, 10, 169, 29}, -1, true, {14, 14, 165, 25}},  // 160 wide: four times
      {{50, 10, 10, 29}, 2, true, {52, 8, 8, 31}},       // reversed corners grow outward
      {{10, 10, 18, 40}, -1, false, {10, 10, 18, 40}},   // 9 wide cannot shrink
      {{10, 10, 19, 40}, -2, true, {12, 12, 17, 38}},
  };
  for (const Row& r : rows) {
    auto b = Make(akRectangle, r.Rect.X1, r.Rect.Y1, r.Rect.X2, r.Rect.Y2);
    EXPECT_EQ(b->Grow(r.D), r.Ok);
    EXPECT_EQ(b->Rect(), r.After) << r.Rect.X1 << " " << r.Rect.X2 << " d " << r.D;
  }
  auto c = Make(akRectangle, 3, 0, 6, 5);
  c->CentreOn(100, 200);
  EXPECT_EQ(c->Rect(), (TAnnRect{99, 198, 102, 203}));
  EXPECT_EQ(c->CentreX(), 100);
  EXPECT_EQ(c->CentreY(), 200);
  // Dragging starts from the saved rectangle each time.
  auto d = Make(akArrow, 10, 10, 50, 20);
  d->SaveRect();
  d->DragFromSaved(2, 5, 5);
  d->DragFromSaved(2, 7, -1);
  EXPECT_EQ(d->Rect(), (TAnnRect{10, 10, 57, 19}));
  d->DragFromSaved(kHandleBody, -10, 0);
  EXPECT_EQ(d->Rect(), (TAnnRect{0, 10, 40, 20}));
  d->DragFromSaved(3, 1, 1);
  EXPECT_EQ(d->Rect(), (TAnnRect{11, 10, 50, 21}));
}

TEST_F(Annotate, ArrowLengthAndAngleAsTheWindowShowsThem) {
  auto a = Make(akArrow, 10, 10, 13, 14);  // 3-4-5 triangle
  EXPECT_DOUBLE_EQ(a->ShownLength(), 3);
  EXPECT_NEAR(a->AngleDeg(), 53.130102354, 1e-9);
  a->Kind = akRuler;
  EXPECT_DOUBLE_EQ(a->ShownLength(), 4);
  a->SetLengthAngle(9, 90);  // ruler: tip 10 above the base
  EXPECT_EQ(a->Rect(), (TAnnRect{10, 10, 10, 20}));
  a->Kind = akArrow;
  a->SetLengthAngle(8, 180);  // arrow: tip 10 left of the base
  EXPECT_EQ(a->Rect(), (TAnnRect{10, 10, 0, 10}));
  a->SetLengthAngle(std::nan(""), 0);
  EXPECT_EQ(a->Rect(), (TAnnRect{10, 10, 0, 10}));
  EXPECT_EQ(Make(akArrow, 5, 5, 5, 5)->AngleDeg(), 0);
}

// ---------------------------------------------------------------------------------------
// Hits and selection
// ---------------------------------------------------------------------------------------

TEST_F(Annotate, HitTestsAndHandles) {
  TAnnotationList list;
  TAnnotation& big = list.Add(Make(akRectangle, 0, 0, 100, 100));
  TAnnotation& small = list.Add(Make(akPoint, 60, 60, 70, 70));
  EXPECT_EQ(list.AnnotationAt(64, 66), &small);
  EXPECT_EQ(list.AnnotationAt(40, 40), &big);
  EXPECT_EQ(list.AnnotationAt(104, -4), &big);  // grown by 4
  EXPECT_EQ(list.AnnotationAt(105, 50), nullptr);
  EXPECT_TRUE(list.HitAny(-4, 50));
  EXPECT_FALSE(list.HitAny(-5, 50));
  ShowAnnotations(false);
  EXPECT_FALSE(list.HitAny(50, 50));
  EXPECT_EQ(list.AnnotationAt(50, 50), nullptr);
  ShowAnnotations(true);

  // Handle size clamp(|x2 - x1|/6, 8, 36).
  EXPECT_EQ(Make(akRectangle, 0, 0, 30, 30)->HandleSize(), 8);
  EXPECT_EQ(Make(akRectangle, 0, 0, 120, 30)->HandleSize(), 20);
  EXPECT_EQ(Make(akRectangle, 600, 0, 0, 30)->HandleSize(), 36);
  struct Row {
    int32_t X, Y, Handle;
  } rows[] = {{1, 2, 1}, {100, 100, 2}, {0, 92, 3}, {105, 2, 4}, {50, 50, 0},
              {17, 17, 0},   // nearest is corner 1 but beyond 16
              {11, 11, 1}};  // 15.6 from corner 1: within 100/6 = 16
  for (const Row& r : rows) EXPECT_EQ(big.HandleAt(r.X, r.Y), r.Handle) << r.X << "," << r.Y;

  // Above 1000 annotations HitAny gives up.
  for (int i = 0; i < 998; ++i) list.Add(Make(akPoint, 500, 500, 501, 501));
  EXPECT_TRUE(list.HitAny(50, 50));
  list.Add(Make(akPoint, 500, 500, 501, 501));
  EXPECT_FALSE(list.HitAny(50, 50));
}

TEST_F(Annotate, MouseSelectionRules) {
  TAnnotationList list;
  TAnnotation& a = list.Add(Make(akRectangle, 0, 0, 40, 40));
  TAnnotation& b = list.Add(Make(akRectangle, 100, 0, 140, 40));
  TAnnotation& c = list.Add(Make(akPoint, 200, 0, 210, 10));
  auto state = [&] {
    std::string s;
    for (int32_t i = 0; i < list.Count(); ++i)
      s += std::string(list[i].Selected ? "S" : "-") + (list[i].SavedSelected ? "v" : ".");
    return s;
  };
  // A plain click selects the one under the point only.
  EXPECT_EQ(list.MouseSelect(20, 20, false, false).Annotation, &a);
  EXPECT_EQ(state(), "S.-.-.");
  EXPECT_EQ(list.MouseSelect(120, 20, false, false).Annotation, &b);
  EXPECT_EQ(state(), "-.S.-.");
  // Ctrl adds and saves the selection.
  EXPECT_EQ(list.MouseSelect(205, 5, false, true).Annotation, &c);
  EXPECT_EQ(state(), "-.SvSv");
  EXPECT_EQ(list.Current(), &c);
  // Ctrl on a selected one deselects it.
  EXPECT_EQ(list.MouseSelect(205, 5, false, true).Annotation, &c);
  EXPECT_EQ(state(), "-.Sv-.");
  EXPECT_EQ(list.MouseSelect(20, 20, false, true).Annotation, &a);
  EXPECT_EQ(state(), "SvSv-.");
  // A plain click in empty space deselects all and forgets the saved selection.
  EXPECT_EQ(list.MouseSelect(500, 500, false, false).Annotation, nullptr);
  EXPECT_EQ(state(), "-.-.-.");
  // Shift restores the saved selection (nothing saved now); with a saved one it comes back.
  list.MouseSelect(20, 20, false, true);
  list.MouseSelect(120, 20, false, true);
  EXPECT_EQ(state(), "SvSv-.");
  list.Select(nullptr);
  EXPECT_EQ(list.MouseSelect(500, 500, true, false).Annotation, nullptr);
  EXPECT_EQ(state(), "SvSv-.");
  // A plain click on one of several selected keeps only it (others are not under the point).
  EXPECT_EQ(list.MouseSelect(20, 20, false, false).Annotation, &a);
  EXPECT_EQ(state(), "S.-.-.");
}

TEST_F(Annotate, MouseSelectionHandlesWin) {
  TAnnotationList list;
  TAnnotation& big = list.Add(Make(akRectangle, 0, 0, 120, 120));
  TAnnotation& small = list.Add(Make(akPoint, 116, 116, 132, 132));  // centre (124, 124)
  list.Select(&big);
  // At (120, 120), big's corner 2 is under the point (distance 0, counted as 3); small's
  // centre is 5.7 away.
  const TAnnHit h = list.MouseSelect(120, 120, false, false);
  EXPECT_EQ(h.Annotation, &big);
  EXPECT_EQ(h.Handle, 2);
  // Unselected, big has no handles: the nearer centre wins.
  list.Select(nullptr);
  EXPECT_EQ(list.MouseSelect(120, 120, false, false).Annotation, &small);
  EXPECT_FALSE(big.Selected);
}

TEST_F(Annotate, ListOrderAndSelectionCycling) {
  TAnnotationList list;
  TAnnotation& a = list.Add(Make(akPoint, 0, 0, 1, 1));
  TAnnotation& b = list.Add(Make(akPoint, 10, 0, 11, 1));
  TAnnotation& c = list.Add(Make(akPoint, 20, 0, 21, 1));
  EXPECT_EQ(list.Current(), nullptr);
  list.Select(&b);
  list.SelectNext();
  EXPECT_EQ(list.Current(), &c);
  list.SelectNext();
  EXPECT_EQ(list.Current(), &a);
  list.SelectPrevious();
  EXPECT_EQ(list.Current(), &c);
  EXPECT_EQ(list.SelectedCount(), 1);
  list.Select(nullptr);
  list.SelectNext();  // none selected: the most recent
  EXPECT_EQ(list.Current(), &c);
  list.SelectAll();
  EXPECT_EQ(list.SelectedCount(), 3);
  list.SelectLast();
  EXPECT_EQ(list.SelectedCount(), 1);

  list.Modified = false;
  list.SendToBack(&c);
  EXPECT_EQ(list.IndexOf(&c), 0);
  list.BringToFront(&c);
  EXPECT_EQ(list.IndexOf(&c), 2);
  EXPECT_TRUE(list.Modified);
  list.Select(&b);
  EXPECT_TRUE(list.MoveSelected(5, -5));
  EXPECT_EQ(b.Rect(), (TAnnRect{15, -5, 16, -4}));
  list.Select(nullptr);
  EXPECT_FALSE(list.MoveSelected(5, 5));
  list.Select(&b);
  std::unique_ptr<TAnnotation> gone = list.DeleteFirstSelected();
  EXPECT_EQ(gone.get(), &b);
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list.DeleteFirstSelected(), nullptr);
  EXPECT_EQ(list.DeleteLast().get(), &c);

  // Merge: same rectangle takes over the properties and is deselected; others appended.
  TAnnotationList target;
  TAnnotation& t = target.Add(Make(akCircle, 0, 0, 1, 1, "old"));
  t.SetSelected(true);
  TAnnotationList source;
  source.Add(Make(akCross, 0, 0, 1, 1, "new"));
  source.Add(Make(akArrow, 5, 5, 9, 9));
  source.MergeInto(target);
  ASSERT_EQ(target.Count(), 2);
  EXPECT_EQ(t.Kind, akCross);
  EXPECT_EQ(t.Text, "new");
  EXPECT_FALSE(t.Selected);
  source.CopyTo(target);
  EXPECT_EQ(target.ToLines(), source.ToLines());
}

// ---------------------------------------------------------------------------------------
// Drawing
// ---------------------------------------------------------------------------------------

namespace {

struct TSurface {
  TImg32 Img;
  explicit TSurface(int32_t w = 96, int32_t h = 96) {
    Img.SetSize(w, h);
    Img.Fill(0);
  }
  bool Touched(int32_t x, int32_t y) const { return (Img.Pixel(x, y) & 0xFFFFFF) != 0; }
  int64_t TouchedCount() const {
    int64_t n = 0;
    for (int32_t y = 0; y < Img.Height(); ++y)
      for (int32_t x = 0; x < Img.Width(); ++x) n += Touched(x, y);
    return n;
  }
};

}  // namespace

TEST_F(Annotate, FiguresTouchTheirPixels) {
  struct Row {
    int32_t Kind;
    std::vector<std::pair<int32_t, int32_t>> On, Off;
  } rows[] = {
      // Rectangle 20..60 x 30..50 (inclusive), width 2.
      {akEllipse, {{20, 40}, {60, 40}, {40, 30}, {40, 50}}, {{40, 40}, {21, 31}}},
      {akCircle, {{30, 40}, {50, 40}, {40, 30}, {40, 50}}, {{40, 40}, {21, 40}}},
      {akArrow, {{20, 30}, {40, 40}, {59, 49}}, {{20, 50}, {60, 30}}},
      {akRuler, {{20, 30}, {40, 40}, {60, 50}}, {{20, 50}}},
      {akRectangle, {{20, 30}, {60, 50}, {21, 40}, {40, 49}}, {{40, 40}, {25, 35}}},
      {akSquare, {{30, 30}, {50, 50}}, {{20, 30}, {40, 40}}},
      {akCorners, {{20, 30}, {60, 50}, {25, 30}}, {{40, 30}, {40, 40}}},
      {akCross, {{40, 48}, {40, 32}, {30, 40}, {50, 40}}, {{40, 40}, {30, 48}}},
      {akCrossV, {{40, 48}, {40, 32}}, {{30, 40}, {50, 40}, {40, 40}}},
      {akCrossH, {{30, 40}, {50, 40}}, {{40, 48}, {40, 32}}},
      {akCrossNE, {{40, 48}, {50, 40}}, {{40, 32}, {30, 40}}},
      {akCrossSE, {{40, 32}, {50, 40}}, {{40, 48}, {30, 40}}},
      {akCrossSW, {{40, 32}, {30, 40}}, {{40, 48}, {50, 40}}},
      {akCrossNW, {{40, 48}, {30, 40}}, {{40, 32}, {50, 40}}},
      {akPoint, {{40, 40}, {42, 40}}, {{46, 40}, {20, 30}}},
      {akLogo, {{20, 30}, {60, 50}, {40, 40}}, {{40, 30 + 1 + 5}}},  // placeholder
      {akNone, {}, {{20, 30}, {40, 40}}},
      {akTextBox, {}, {{40, 40}}},  // opaque box only with transparency > 0
  };
  TFakePainter painter;
  TAnnParams params;
  for (const Row& r : rows) {
    SCOPED_TRACE(AnnotationKindName(r.Kind));
    TSurface s;
    auto a = Make(r.Kind, 20, 30, 60, 50);
    a->Sections = 2;
    a->Draw(s.Img, params, painter);
    for (auto [x, y] : r.On) EXPECT_TRUE(s.Touched(x, y)) << x << "," << y;
    for (auto [x, y] : r.Off) EXPECT_FALSE(s.Touched(x, y)) << x << "," << y;
  }
  EXPECT_TRUE(painter.Calls.empty());
}

TEST_F(Annotate, OpacityTextBoxSelectionAndSkippedCircles) {
  TFakePainter painter;
  TAnnParams params;
  {
    TSurface s;
    auto a = Make(akEllipse, 20, 30, 60, 50);
    a->Transparency = 100;
    a->Draw(s.Img, params, painter);
    EXPECT_EQ(s.TouchedCount(), 0);
  }
  {
    // Background at alpha round(0.5 × 256) = 128 of 256: 0x80 blended over black gives 0x40.
    TSurface s;
    auto a = Make(akTextBox, 20, 30, 60, 50);
    a->FigureColor = 0x000080;  // red 0x80
    a->Transparency = 50;
    a->Draw(s.Img, params, painter);
    EXPECT_EQ(s.Img.Pixel(40, 40) & 0xFFFFFF, 0x400000u);
    EXPECT_FALSE(s.Touched(10, 40));
  }
  {
    TSurface s;
    auto a = Make(akNone, 20, 30, 60, 50);
    a->SetSelected(true);
    a->Draw(s.Img, params, painter);
    // The frame lies 4 pixels outside the rectangle.
    EXPECT_EQ(s.Img.Pixel(16, 26) & 0xFFFFFF, 0x909090u);
    EXPECT_FALSE(s.Touched(40, 40));
  }
  {
    TAnnotationList list;
    list.Add(Make(akCircle, 20, 30, 60, 50)).FigureColor = kAnnMarkedCircleColour1;
    TSurface s1, s2, s3;
    list.Draw(s1.Img, params, painter);
    EXPECT_GT(s1.TouchedCount(), 0);
    params.SkipMarkedCircles = true;
    list.Draw(s2.Img, params, painter);
    EXPECT_EQ(s2.TouchedCount(), 0);
    params.SkipMarkedCircles = false;
    ShowAnnotations(false);
    list.Draw(s3.Img, params, painter);
    EXPECT_EQ(s3.TouchedCount(), 0);
  }
}

TEST_F(Annotate, LogoIsDrawnScaledIntoItsRectangle) {
  LogoSource().Folder = "/logos";
  LogoSource().Read = [](const fs::path&, TImg32& pic) {
    pic.SetSize(40, 40);
    pic.Fill(0x00FFFFFF);  // opaque white
    return true;
  };
  TAnnotation a;
  ASSERT_TRUE(a.FromLine("05>>w.png[Arial#10 0 0] 30 30 49 49 0 0 0 1 0"));
  ASSERT_TRUE(a.Logo.Loaded);
  TSurface s;
  TFakePainter painter;
  a.Draw(s.Img, TAnnParams{}, painter);
  // 20 pixels + 2 × 0 + 1 = 21 of 40: scale 0.525 about (39.5, 39.5).
  EXPECT_TRUE(s.Touched(39, 39));
  EXPECT_TRUE(s.Touched(30, 30));
  EXPECT_FALSE(s.Touched(27, 39));
  EXPECT_FALSE(s.Touched(52, 39));
  // The placeholder grey is not there.
  EXPECT_NE(s.Img.Pixel(30, 30) & 0xFFFFFF, 0xA8A8A8u);
}

TEST_F(Annotate, TextPlacementReachesThePainter) {
  // Rectangle 10..30 x 20..40, centre (20, 30); "M31" is 21 x 10 in the fake painter.
  struct Row {
    uint8_t Pos;
    double Left, Bottom;
  } rows[] = {
      {tpTop, 9.5, 45},       // centred, bottom 5 above the upper edge
      {tpDown, 9.5, 7},       // top 3 below the lower edge
      {tpLeft, -23, 25},      // right edge 12 left of the figure
      {tpRight, 42, 25},
      {tpCenter, 9.5, 25},
  };
  TAnnParams params;
  for (const Row& r : rows) {
    SCOPED_TRACE(TextPositionName(r.Pos));
    TFakePainter painter;
    TSurface s;
    auto a = Make(akEllipse, 10, 20, 30, 40, "M31");
    a->TextPos = r.Pos;
    a->TextColor = 0x0000FF;  // red
    a->Draw(s.Img, params, painter);
    ASSERT_EQ(painter.Calls.size(), 1u);
    EXPECT_EQ(painter.Calls[0].Text, "M31");
    EXPECT_DOUBLE_EQ(painter.Calls[0].Left, r.Left);
    EXPECT_DOUBLE_EQ(painter.Calls[0].Bottom, r.Bottom);
    EXPECT_DOUBLE_EQ(painter.Calls[0].Size, 10 * 96.0 / 72);
    EXPECT_EQ(painter.Calls[0].Colour, 0xFF0000u);
  }
  {
    TFakePainter painter;
    TSurface s;
    auto a = Make(akEllipse, 10, 20, 30, 40, "M31");
    a->TextPos = tpNone;
    a->Draw(s.Img, params, painter);
    EXPECT_TRUE(painter.Calls.empty());
  }
  {
    // Two lines 1.5 × 13.33 = 20 apart; above the figure the block is lifted by its
    // whole height, so the last line sits where a single line would.
    TFakePainter painter;
    TSurface s;
    auto a = Make(akEllipse, 10, 20, 30, 40, "a\rbb");
    a->Draw(s.Img, params, painter);
    ASSERT_EQ(painter.Calls.size(), 2u);
    EXPECT_EQ(painter.Calls[0].Text, "a");
    EXPECT_DOUBLE_EQ(painter.Calls[0].Left, 16.5);
    EXPECT_DOUBLE_EQ(painter.Calls[0].Bottom, 65);
    EXPECT_EQ(painter.Calls[1].Text, "bb");
    EXPECT_DOUBLE_EQ(painter.Calls[1].Left, 13);
    EXPECT_DOUBLE_EQ(painter.Calls[1].Bottom, 45);
  }
  {
    // Outline: eight shifted copies in the contrasting colour (black for a light text),
    // then the text; macros are expanded first.
    TFakePainter painter;
    TSurface s;
    auto a = Make(akPoint, 10, 20, 30, 40, "%FILENAME");
    a->Style = kAnnOutline;
    TAnnParams p;
    p.DocumentName = "m31.fits";
    a->Draw(s.Img, p, painter);
    ASSERT_EQ(painter.Calls.size(), 9u);
    std::set<std::pair<double, double>> shifts;
    for (int i = 0; i < 8; ++i) {
      EXPECT_EQ(painter.Calls[size_t(i)].Colour, 0u);
      shifts.insert({painter.Calls[size_t(i)].Left - painter.Calls[8].Left,
                     painter.Calls[size_t(i)].Bottom - painter.Calls[8].Bottom});
    }
    EXPECT_EQ(shifts.size(), 8u);
    EXPECT_EQ(painter.Calls[8].Text, "m31.fits");
    EXPECT_EQ(painter.Calls[8].Colour, PixelColour(0xD8D8B8));
  }
  {
    // An arrow's centred text sits behind its base.
    TFakePainter painter;
    TSurface s;
    auto a = Make(akArrow, 50, 30, 80, 30, "ab");
    a->TextPos = tpCenter;
    a->Draw(s.Img, params, painter);
    ASSERT_EQ(painter.Calls.size(), 1u);
    // Half width 7 + width 2 + 4 = 13 left of the base, centred: 50 - 13 - 7.
    EXPECT_DOUBLE_EQ(painter.Calls[0].Left, 30);
    EXPECT_DOUBLE_EQ(painter.Calls[0].Bottom, 25);
  }
}

TEST_F(Annotate, TextBoxWrapsInsideTheBox) {
  // Box 10..59 wide: 50 pixels less two margins of 4 = 42, i.e. 6 characters of the fake.
  TFakePainter painter;
  TSurface s;
  auto a = Make(akTextBox, 10, 20, 59, 80, "aa bb cc dd");
  a->TextPos = tpLeft;
  a->Draw(s.Img, TAnnParams{}, painter);
  ASSERT_EQ(painter.Calls.size(), 2u);
  EXPECT_EQ(painter.Calls[0].Text, "aa bb");
  EXPECT_EQ(painter.Calls[1].Text, "cc dd");
  EXPECT_DOUBLE_EQ(painter.Calls[0].Left, 14);
  EXPECT_DOUBLE_EQ(painter.Calls[1].Left, 14);
  EXPECT_GT(painter.Calls[0].Bottom, painter.Calls[1].Bottom);
}

TEST_F(Annotate, CatalogueStyleFromOptions) {
  TAnnotationOptions o;
  TAnnotation a;
  a.SetCatalogStyle(o, o.AtlCometColor);
  EXPECT_EQ(a.Kind, akEllipse);
  EXPECT_EQ(a.FigureColor, 0xD8D8B8u);
  EXPECT_EQ(a.FontSize, 11);
  EXPECT_EQ(a.FontName, "Arial");
  o.AtlIndividualColorFigure = true;
  o.AtlTextName = "Mono";
  o.AtlFigureKind = 99;
  a.SetCatalogStyle(o, uint32_t(o.AtlCometColor));
  EXPECT_EQ(a.FigureColor, 0xD0D0FFu);
  EXPECT_EQ(a.TextColor, 0xD8D8B8u);
  EXPECT_EQ(a.FontName, "Mono");
  EXPECT_EQ(a.Kind, akNone);
  TQVOptions all;
  EXPECT_EQ(all.Annotation.AtlSizePix, 30);
}
