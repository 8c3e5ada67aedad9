// Annotations on screen and in saved views: the Qt text painter on both row orders, the
// overlay of an image window at two zooms and hidden, and "Save view" with a label.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QMdiSubWindow>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>

#include "ZoomMath.h"
#include "annotate/uAnnotate.h"
#include "fChild.h"
#include "fMain.h"
#include "options/uQuorvane.h"
#include "uQtTextPainter.h"

using namespace orlu;

namespace {

bool Lit(uint32_t pixel) { return ((pixel >> 16) & 0xFF) > 96 || ((pixel >> 8) & 0xFF) > 96; }

// Lit pixels of the picture: count, bounds (rows counted upward) and the row holding most.
struct TInk {
  int32_t Count = 0;
  int32_t Left = 1 << 30, Right = -1, Bottom = 1 << 30, Top = -1;
  int32_t FullestRow = -1;
};

TInk InkOf(const TImg32& img) {
  TInk ink;
  int32_t best = 0;
  for (int32_t y = 0; y < img.Height(); ++y) {
    int32_t n = 0;
    for (int32_t x = 0; x < img.Width(); ++x) {
      if (!Lit(img.Pixel(x, y))) continue;
      ++n;
      ink.Left = std::min(ink.Left, x);
      ink.Right = std::max(ink.Right, x);
      ink.Bottom = std::min(ink.Bottom, y);
      ink.Top = std::max(ink.Top, y);
    }
    ink.Count += n;
    if (n > best) best = n, ink.FullestRow = y;
  }
  return ink;
}

TEST(QtTextPainter, DrawsUprightInsideTheMeasuredBoxOnBothRowOrders) {
  TQtTextPainter painter;
  TTextFont font;
  font.Size = 24;
  font.Bold = true;
  const TTextExtent e = painter.MeasureText("T", font);
  ASSERT_GT(e.Width, 4);
  ASSERT_GT(e.Height, 10);
  EXPECT_GT(painter.MeasureText("TTTT", font).Width, 3 * e.Width);

  // An own picture (rows bottom-up in memory) and a wrapped top-down image.
  TImg32 own;
  own.SetSize(80, 60);
  own.Fill(0);
  QImage top(80, 60, QImage::Format_RGB32);
  top.fill(0);
  TImg32 wrapped;
  wrapped.Wrap(top.scanLine(59), 80, 60, -std::ptrdiff_t(top.bytesPerLine()));
  for (TImg32* img : {&own, &wrapped}) {
    painter.DrawText(*img, 20, 10, "T", font, 0xFFFFFF, 1.0);
    const TInk ink = InkOf(*img);
    ASSERT_GT(ink.Count, 10);
    EXPECT_GE(ink.Left, 19);
    EXPECT_LE(ink.Right, 20 + e.Width + 1);
    EXPECT_GE(ink.Bottom, 10);
    EXPECT_LE(ink.Top, 10 + e.Height);
    // The bar of the "T" is its fullest row, at the top of the glyph.
    EXPECT_GE(ink.FullestRow, ink.Top - 4);
  }
  for (int32_t y = 0; y < 60; ++y)
    for (int32_t x = 0; x < 80; ++x)
      ASSERT_EQ(own.Pixel(x, y) & 0xFFFFFF, wrapped.Pixel(x, y) & 0xFFFFFF) << x << "," << y;
  // Nothing at zero opacity or with an empty text.
  TImg32 blank;
  blank.SetSize(40, 30);
  blank.Fill(0);
  painter.DrawText(blank, 5, 5, "T", font, 0xFFFFFF, 0.0);
  painter.DrawText(blank, 5, 5, "", font, 0xFFFFFF, 1.0);
  EXPECT_EQ(InkOf(blank).Count, 0);
}

class Overlay : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Dir.isValid());
    Options().Misc.FirstExecution = false;
    Main = std::make_unique<TFormMain>(Dir.filePath("config"));
    Main->MessageHook = [this](TMessageKind, const std::string& caption, const std::string& text) {
      Messages.push_back(caption + "|" + text);
    };
    Main->resize(1200, 800);
    Main->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Main.get()));
  }

  void TearDown() override {
    ShowAnnotations(true);
    if (Main) {
      Main->CloseQuestionHook = [](TAstroDocument&, bool) { return TCloseAnswer::DontSave; };
      Main.reset();
    }
  }

  // A black image in a window.
  TFormChild* NewBlack(int32_t w, int32_t h) {
    TAstroDocument* d = Main->Master().Image->New(w, h, false);
    return d ? Main->Master().WindowOf(d) : nullptr;
  }

  static TAnnotation& Add(TAstroDocument& doc, int32_t kind, int32_t x1, int32_t y1, int32_t x2,
                          int32_t y2) {
    auto a = std::make_unique<TAnnotation>();
    a->Kind = kind;
    a->X1 = x1;
    a->Y1 = y1;
    a->X2 = x2;
    a->Y2 = y2;
    a->Text.clear();
    a->Transparency = 0;
    return doc.Annotations.Add(std::move(a));
  }

  // Pixels of the grabbed viewport within the rectangle (clipped) that pass the test.
  static int Count(const QImage& shot, QRect r, const std::function<bool(QRgb)>& test) {
    r = r.intersected(shot.rect());
    int n = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
      for (int x = r.left(); x <= r.right(); ++x) n += test(shot.pixel(x, y));
    return n;
  }

  QTemporaryDir Dir;
  std::unique_ptr<TFormMain> Main;
  std::vector<std::string> Messages;
};

bool Red(QRgb c) { return qRed(c) > 100 && qGreen(c) < 70 && qBlue(c) < 70; }
bool Bright(QRgb c) { return qRed(c) > 96 || qGreen(c) > 96 || qBlue(c) > 96; }

TEST_F(Overlay, AnnotationsZoomAndPanWithTheImageAndHide) {
  TFormChild* c = NewBlack(200, 120);
  ASSERT_TRUE(c);
  TAnnotation& a = Add(c->Document(), akRectangle, 40, 30, 79, 59);
  a.FigureColor = 0x0000FF;  // red
  a.Width = 2;
  const TPixelRect pixels{40, 30, 79, 59};
  c->SubWindow()->resize(520, 440);
  // 100 % and 200 % show the whole image; at 300 % it is panned to the right.
  for (int32_t code : {0, ZoomCodeForPercent(200), ZoomCodeForPercent(300)}) {
    c->SetZoom(code);
    if (code == ZoomCodeForPercent(300)) {
      ASSERT_TRUE(c->Panel()->ScrollBarShown());
      c->Panel()->horizontalScrollBar()->setValue(50);
      ASSERT_EQ(c->Panel()->ContentOrigin().x(), -50);
    }
    c->Document().RefreshViews();
    const QImage shot = c->Panel()->viewport()->grab().toImage();
    const QRect r = c->Panel()->ScreenRect(pixels).toRect();
    ASSERT_TRUE(shot.rect().contains(r)) << code;
    const int mid = r.center().y();
    // The bands lie along the inner edges of the annotated pixels, at every zoom.
    EXPECT_GT(Count(shot, QRect(r.left(), mid - 2, 2, 5), Red), 0) << code;
    EXPECT_GT(Count(shot, QRect(r.right() - 1, mid - 2, 2, 5), Red), 0) << code;
    EXPECT_GT(Count(shot, QRect(r.center().x() - 2, r.top(), 5, 2), Red), 0) << code;
    EXPECT_GT(Count(shot, QRect(r.center().x() - 2, r.bottom() - 1, 5, 2), Red), 0) << code;
    EXPECT_EQ(Count(shot, r.adjusted(5, 5, -5, -5), Red), 0) << code;
    EXPECT_EQ(Count(shot, shot.rect(), Red) - Count(shot, r.adjusted(-1, -1, 1, 1), Red), 0)
        << code;
  }
  // Hidden annotations are not drawn.
  ShowAnnotations(false);
  c->Document().RefreshViews();
  const QImage hidden = c->Panel()->viewport()->grab().toImage();
  EXPECT_EQ(Count(hidden, hidden.rect(), Red), 0);
  ShowAnnotations(true);
  c->Document().RefreshViews();
  const QImage shown = c->Panel()->viewport()->grab().toImage();
  EXPECT_GT(Count(shown, shown.rect(), Red), 0);
}

TEST_F(Overlay, LabelsAreDrawnUprightAtTheirPlace) {
  TFormChild* c = NewBlack(200, 120);
  ASSERT_TRUE(c);
  TAnnotation& a = Add(c->Document(), akTextBox, 20, 10, 179, 109);
  a.Text = "TTT";
  a.TextColor = 0xFFFFFF;
  a.FontSize = 14;
  a.TextPos = tpTop;
  c->SetZoom(0);
  c->Document().RefreshViews();
  const QImage shot = c->Panel()->viewport()->grab().toImage();
  const QRect r = c->Panel()->ScreenRect(TPixelRect{20, 10, 179, 109}).toRect();
  const int inside = Count(shot, r, Bright);
  EXPECT_GT(inside, 20);
  // All of it inside the box, in its upper half.
  EXPECT_EQ(Count(shot, shot.rect(), Bright), inside);
  EXPECT_EQ(Count(shot, QRect(r.left(), r.center().y(), r.width(), r.height() / 2 + 1), Bright),
            0);
}

TEST_F(Overlay, SavedViewsCarryTheirLabels) {
  TFormChild* c = NewBlack(120, 80);
  ASSERT_TRUE(c);
  const auto saveView = [&](const std::string& name) {
    const std::string path = Dir.filePath(QString::fromStdString(name)).toStdString();
    Main->SaveNameHook = [path](TAstroDocument&, int32_t& filter) {
      filter = 6;  // BMP
      return path;
    };
    const bool ok = Main->SaveViewAs(*c);
    QFile f(QString::fromStdString(path));
    return ok && f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  };
  const QByteArray plain = saveView("plain.bmp");
  ASSERT_FALSE(plain.isEmpty());
  TAnnotation& a = Add(c->Document(), akCross, 50, 30, 60, 40);
  a.FigureColor = 0x0000FF;
  a.TextPos = tpTop;
  const QByteArray figure = saveView("figure.bmp");
  a.Text = "M 31";
  a.TextColor = 0xFFFFFF;
  const QByteArray labelled = saveView("labelled.bmp");
  EXPECT_TRUE(Messages.empty()) << Messages[0];
  ASSERT_FALSE(figure.isEmpty());
  ASSERT_FALSE(labelled.isEmpty());
  EXPECT_NE(plain, figure);
  EXPECT_NE(figure, labelled);
  // The label is in the written picture: white pixels, which the red cross has none of.
  const QImage picture = QImage::fromData(labelled, "BMP");
  ASSERT_FALSE(picture.isNull());
  const auto white = [](QRgb p) { return qRed(p) > 150 && qGreen(p) > 150 && qBlue(p) > 150; };
  EXPECT_GT(Count(picture, picture.rect(), white), 5);
  EXPECT_EQ(Count(QImage::fromData(figure, "BMP"), picture.rect(), white), 0);
}

}  // namespace
