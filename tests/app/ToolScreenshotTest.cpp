// The header and histogram windows on a real X server (run under xvfb-run): each grabbed
// from the screen into a PNG (paths printed) and checked to show what it should.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

#include <clocale>
#include <cstdio>

#include "fChild.h"
#include "fHeader.h"
#include "fHisto.h"
#include "fMain.h"
#include "options/uQuorvane.h"

using namespace orlu;

namespace {

void Settle() {
  for (int i = 0; i < 20; ++i) {
    QApplication::processEvents();
    QTest::qWait(25);
  }
}

QImage Grab(QWidget* w, const char* name) {
  const QImage shot = w->screen()->grabWindow(w->winId()).toImage().convertToFormat(QImage::Format_RGB32);
  const QString path = QDir(ORLU_SCREENSHOT_DIR).filePath(name);
  if (!shot.isNull() && shot.save(path)) std::printf("screenshot: %s\n", path.toLocal8Bit().constData());
  return shot;
}

}  // namespace

TEST(ToolScreenshot, HeaderAndHistogramWindowsOnTheSample) {
  ASSERT_FALSE(qgetenv("DISPLAY").isEmpty()) << "needs an X server: run under xvfb-run";
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  Options().File.Autozoom = true;
  TFormMain main(dir.filePath("config"));
  main.resize(1200, 800);
  main.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&main));
  main.OpenFiles({ORLU_SAMPLE_FITS}, false);
  ASSERT_EQ(main.ImageWindows().size(), 1u);
  TAstroDocument& doc = main.ImageWindows()[0]->Document();

  TFormHeader* header = TFormHeader::ShowHeaderWindow(&main, &doc);
  header->resize(640, 420);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(header));
  Settle();
  const QImage hs = Grab(header, "orlu-header-window.png");
  ASSERT_FALSE(hs.isNull());
  // The keyword tint of line 0 ("SIMPLE  ="): its first character cell is tinted, not white.
  QPlainTextEdit* memo = header->Memo();
  const QRect line0 = memo->cursorRect(QTextCursor(memo->document()->findBlockByNumber(0)));
  const QPoint cell = memo->viewport()->mapTo(header, line0.center() + QPoint(3, 0)) * header->devicePixelRatio();
  ASSERT_TRUE(hs.rect().contains(cell));
  const QRgb c = hs.pixel(cell);
  EXPECT_NE(c & 0xFFFFFF, 0xFFFFFFu) << std::hex << c;
  // Dark text on the light editor: some pixels of the first line are dark.
  int dark = 0;
  for (int x = cell.x(); x < cell.x() + 200 && x < hs.width(); ++x)
    for (int y = cell.y() - 5; y <= cell.y() + 5; ++y) dark += qGray(hs.pixel(x, y)) < 100;
  EXPECT_GT(dark, 20);

  TFormHistoChild* histo = TFormHistoChild::ShowHistogramWindow(&main, &doc);
  histo->resize(520, 340);
  histo->move(main.mapToGlobal(QPoint(600, 300)));
  ASSERT_TRUE(QTest::qWaitForWindowExposed(histo));
  Settle();
  const QImage gs = Grab(histo, "orlu-histogram-window.png");
  ASSERT_FALSE(gs.isNull());
  THistoPanel* panel = histo->Panel();
  const QRect pr(panel->mapTo(histo, QPoint(0, 0)) * histo->devicePixelRatio(), panel->size() * histo->devicePixelRatio());
  ASSERT_TRUE(gs.rect().contains(pr));
  // Bars: the bottom row of the panel holds grey bar pixels (the background is dark blue).
  int bars = 0;
  for (int x = pr.left() + 1; x < pr.right(); ++x) {
    const QRgb p = gs.pixel(x, pr.bottom());
    bars += qRed(p) > 100 && qGreen(p) > 100;
  }
  std::printf("histogram columns with bars: %d of %d\n", bars, pr.width() - 2);
  EXPECT_GT(bars, 0);
  // The background bands: the top row is RGB(32, 32, 104) apart from grid lines.
  const QRgb top = gs.pixel(pr.left() + 3, pr.top() + 2);
  EXPECT_EQ(qRed(top), 32);
  EXPECT_EQ(qGreen(top), 32);
  EXPECT_GE(qBlue(top), 100);
  main.CloseQuestionHook = [](TAstroDocument&, bool) { return TCloseAnswer::DontSave; };
  delete histo;
  delete header;
}

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  std::setlocale(LC_NUMERIC, "C");
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
