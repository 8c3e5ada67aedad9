// The main window on a real X server (run under xvfb-run): the sample opened, the window
// grabbed from the screen into a PNG (its path printed), and the image window's area
// checked to show the picture at the size the zoom gives.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

#include <clocale>
#include <cmath>
#include <cstdio>

#include "fChild.h"
#include "fMain.h"
#include "options/uQuorvane.h"

using namespace orlu;

TEST(Screenshot, MainWindowShowsTheSample) {
  ASSERT_FALSE(qgetenv("DISPLAY").isEmpty()) << "needs an X server: run under xvfb-run";
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  Options().File.Autozoom = true;
  TFormMain main(dir.filePath("config"));
  main.resize(1200, 800);
  main.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&main));
  main.OpenFiles({ORLU_SAMPLE_FITS}, false);
  const std::vector<TFormChild*> windows = main.ImageWindows();
  ASSERT_EQ(windows.size(), 1u);
  TFormChild* child = windows[0];
  // Let the server show the painted frame.
  for (int i = 0; i < 20; ++i) {
    QApplication::processEvents();
    QTest::qWait(25);
  }

  const QImage shot = main.screen()->grabWindow(main.winId()).toImage().convertToFormat(
      QImage::Format_RGB32);
  ASSERT_FALSE(shot.isNull());
  const QString path = QDir(ORLU_SCREENSHOT_DIR).filePath("orlu-main-window.png");
  ASSERT_TRUE(shot.save(path));
  std::printf("screenshot: %s\n", path.toLocal8Bit().constData());
  EXPECT_EQ(shot.size(), main.size() * main.devicePixelRatio());

  // The panel's viewport on the screenshot; the zoomed image lies centred in it.
  TImagePanel* panel = child->Panel();
  const QRect viewport(panel->viewport()->mapTo(&main, QPoint(0, 0)), panel->viewport()->size());
  ASSERT_TRUE(shot.rect().contains(viewport));
  const QSize content = panel->ContentSize();
  const QRect expected(viewport.topLeft() + panel->ContentOrigin(), content);

  // Everything in the viewport that is not the background colour: the image's extent.
  const QRgb background = shot.pixel(viewport.topLeft());
  QRect found;
  double sum = 0, sum2 = 0;
  int64_t n = 0;
  for (int y = viewport.top(); y <= viewport.bottom(); ++y)
    for (int x = viewport.left(); x <= viewport.right(); ++x) {
      const QRgb c = shot.pixel(x, y);
      if (c != background) found |= QRect(x, y, 1, 1);
      if (expected.contains(x, y)) {
        const double l = qGray(c);
        sum += l;
        sum2 += l * l;
        ++n;
      }
    }
  EXPECT_EQ(found, expected) << "image shown at " << found.width() << "x" << found.height()
                             << "+" << found.x() << "+" << found.y() << ", expected "
                             << expected.width() << "x" << expected.height() << "+"
                             << expected.x() << "+" << expected.y();
  // The sample is 2400 × 1600 shrunk by the automatic zoom.
  EXPECT_EQ(content.width(), int(ZoomedExtent(2400, child->ZoomCode())));
  EXPECT_EQ(content.height(), int(ZoomedExtent(1600, child->ZoomCode())));
  // Not blank: a star field through the automatic view has a clear spread of levels.
  ASSERT_GT(n, 0);
  const double mean = sum / double(n);
  const double stddev = std::sqrt(std::max(0.0, sum2 / double(n) - mean * mean));
  std::printf("image area: mean level %.1f, spread %.1f\n", mean, stddev);
  EXPECT_GT(stddev, 4.0);
  main.CloseQuestionHook = [](TAstroDocument&, bool) { return TCloseAnswer::DontSave; };
}

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  std::setlocale(LC_NUMERIC, "C");
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
