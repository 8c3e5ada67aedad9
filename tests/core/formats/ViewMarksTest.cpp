// Saved views with the document's annotations and other marks drawn over them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "FormatsTestUtil.h"
#include "annotate/Img32.h"
#include "annotate/uAnnotate.h"
#include "formats/LoadStatus.h"
#include "formats/uFiles.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"

using namespace orlu;
using namespace orlu::testing_formats;

namespace {

// Measures every text as 7 pixels a byte by 10 and draws nothing; counts the calls.
struct TCountingPainter : TTextPainter {
  int32_t Drawn = 0;
  TTextExtent MeasureText(const std::string& text, const TTextFont&) override {
    return {7.0 * double(text.size()), 10.0};
  }
  void DrawText(TImg32&, double, double, const std::string&, const TTextFont&, uint32_t,
                double) override {
    ++Drawn;
  }
};

class ViewMarks : public ::testing::Test {
 protected:
  TTempDir Dir;
  TQVOptions Opt;
  TAImage Image;
  TAnnotationList List;
  TCountingPainter Painter;
  TAnnParams Params;

  void SetUp() override {
    Image.SetSize(60, 40, false);
    Image.Fill(100);
    Image.Visu.SetLinear(0, 255);
    auto a = std::make_unique<TAnnotation>();
    a->Kind = akRectangle;
    a->X1 = 10, a->Y1 = 10, a->X2 = 40, a->Y2 = 30;
    a->FigureColor = 0x0000FF;  // red (0x00BBGGRR)
    a->Width = 3;
    a->Text = "M42";
    List.Add(std::move(a));
    Params = TAnnParams::ForImage(Image, "sky.fits");
  }
  std::unique_ptr<TAImage> Reload(const std::string& path) {
    auto image = std::make_unique<TAImage>();
    LoadImage(BuiltinLoaders(), path, 0, *image, Opt);
    EXPECT_TRUE(LoadSucceeded(image->Status)) << path;
    return image;
  }
};

bool Reddish(const TAImage& image, int32_t x, int32_t y) {
  float r, g, b;
  image.GetRGB(x, y, r, g, b);
  return r > g + 60 && r > b + 60;
}

}  // namespace

// Every 8-bit view writer draws the annotations (and the extra marks) into the picture;
// the view is then colour even though the image is monochrome through the gray palette.
TEST_F(ViewMarks, EightBitViewWritersDrawTheMarksTable) {
  const struct {
    const char* Name;
    TWriterKind Writer;
    bool Lossless;
  } cases[] = {{"v.bmp", TWriterKind::ViewBmp, true},
               {"v.tif", TWriterKind::ViewTiff8, true},
               {"v.png", TWriterKind::ViewPng8, true},
               {"v.jpg", TWriterKind::ViewJpeg, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TViewMarks marks;
    marks.Annotations = &List;
    marks.Params = &Params;
    marks.Painter = &Painter;
    marks.Extra = [](TImg32& view) { view.FillRect({50, 2, 56, 8}, 0x0000FF00u); };  // green
    const int32_t textsBefore = Painter.Drawn;
    const TSaveResult r =
        SaveImageFile(Image, Dir.Name(c.Name), c.Writer, false, Opt, TTileMethod::ByRule, &marks);
    ASSERT_EQ(r.Status, TSaveStatus::Written) << r.Message;
    EXPECT_GT(Painter.Drawn, textsBefore);  // the label went to the painter
    const auto back = Reload(Dir.Name(c.Name));
    ASSERT_TRUE(back->IsColour());
    // Some pixel of the rectangle's left edge is red; the inside and the far corner keep
    // the image's level.
    bool edge = false;
    for (int32_t x = 8; x <= 12; ++x) edge |= Reddish(*back, x, 20);
    EXPECT_TRUE(edge);
    float r0, g0, b0;
    back->GetRGB(25, 20, r0, g0, b0);
    EXPECT_NEAR(g0, 100, c.Lossless ? 0 : 6);
    back->GetRGB(2, 37, r0, g0, b0);
    EXPECT_NEAR(r0, 100, c.Lossless ? 0 : 6);
    back->GetRGB(53, 5, r0, g0, b0);
    EXPECT_NEAR(g0, 255, c.Lossless ? 0 : 40);
    EXPECT_NEAR(r0, 0, c.Lossless ? 0 : 40);
  }
}

TEST_F(ViewMarks, WithoutMarksAGrayViewStaysGray) {
  const TViewMarks empty;
  for (const TViewMarks* marks : {static_cast<const TViewMarks*>(nullptr), &empty}) {
    const std::string path = Dir.Name("g.bmp");
    const TSaveResult r =
        SaveImageFile(Image, path, TWriterKind::ViewBmp, false, Opt, TTileMethod::ByRule, marks);
    ASSERT_EQ(r.Status, TSaveStatus::Written);
    EXPECT_FALSE(Reload(path)->IsColour());
  }
}

// Hidden annotations are not drawn, as on screen.
TEST_F(ViewMarks, HiddenAnnotationsAreNotDrawn) {
  ShowAnnotations(false);
  TViewMarks marks;
  marks.Annotations = &List;
  marks.Params = &Params;
  marks.Painter = &Painter;
  EXPECT_FALSE(marks.DrawsAnything());
  const std::string path = Dir.Name("h.png");
  const TSaveResult r =
      SaveImageFile(Image, path, TWriterKind::ViewPng8, false, Opt, TTileMethod::ByRule, &marks);
  ShowAnnotations(true);
  ASSERT_EQ(r.Status, TSaveStatus::Written);
  EXPECT_FALSE(Reload(path)->IsColour());
}

// Annotations need the text painter: without it nothing is written.
TEST_F(ViewMarks, AnnotationsWithoutPainterFailTheSave) {
  TViewMarks marks;
  marks.Annotations = &List;
  marks.Params = &Params;
  const std::string path = Dir.Name("n.bmp");
  const TSaveResult r =
      SaveImageFile(Image, path, TWriterKind::ViewBmp, false, Opt, TTileMethod::ByRule, &marks);
  EXPECT_EQ(r.Status, TSaveStatus::WriteFailed);
  EXPECT_FALSE(r.Message.empty());
  EXPECT_FALSE(std::filesystem::exists(path));
}
