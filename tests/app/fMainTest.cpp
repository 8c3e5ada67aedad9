// The main window and image windows on the offscreen platform: open, zoom, pan, readouts,
// close questions, saving, drag-and-drop and the recent-files list.
#include <gtest/gtest.h>

#include <algorithm>

#include <QApplication>
#include <QDropEvent>
#include <QFile>
#include <QMdiArea>
#include <QMenu>
#include <QTabBar>
#include <QMdiSubWindow>
#include <QMimeData>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <clocale>
#include <memory>

#include "fChild.h"
#include "fMain.h"
#include "formats/uFiles.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"
#include "uRecent.h"
#include "uWebLinks.h"

using namespace orlu;

namespace {

struct TQuestion {
  std::string Title;
  bool SaveEnabled;
};

class Window : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Dir.isValid());
    Sample = Dir.filePath("sample.fits").toStdString();
    ASSERT_TRUE(QFile::copy(ORLU_SAMPLE_FITS, QString::fromStdString(Sample)));
    QFile::setPermissions(QString::fromStdString(Sample),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    Options().File.Autozoom = true;
    // Not a first run: its hint would hold the status line.
    Options().Misc.FirstExecution = false;
    Main = std::make_unique<TFormMain>(Dir.filePath("config"));
    Main->MessageHook = [this](TMessageKind, const std::string& caption, const std::string& text) {
      Messages.push_back(caption + "|" + text);
    };
    Main->CloseQuestionHook = [this](TAstroDocument& doc, bool saveEnabled) {
      Questions.push_back({doc.Title(), saveEnabled});
      return Answer;
    };
    Main->resize(1200, 800);
    Main->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Main.get()));
  }

  void TearDown() override {
    if (Main) {
      Main->CloseQuestionHook = [](TAstroDocument&, bool) { return TCloseAnswer::DontSave; };
      Main.reset();
    }
  }

  TFormChild* OpenSample() {
    Main->OpenFiles({Sample}, true);
    QApplication::processEvents();
    const auto w = Main->ImageWindows();
    return w.size() == 1 ? w[0] : nullptr;
  }

  // Closes a window the way its frame button does; true when it went.
  bool CloseWindow(TFormChild* c) {
    QPointer<QMdiSubWindow> sub = c->SubWindow();
    const bool closed = sub->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QApplication::processEvents();
    return closed && sub.isNull();
  }

  QTemporaryDir Dir;
  std::string Sample;
  std::unique_ptr<TFormMain> Main;
  std::vector<std::string> Messages;
  std::vector<TQuestion> Questions;
  TCloseAnswer Answer = TCloseAnswer::Cancel;
};

// The zoom percentage measured on the panel: zoomed width over image width.
double MeasuredPercent(TFormChild& c) {
  return 100.0 * c.Panel()->ContentSize().width() / c.Document().Width();
}

}  // namespace

TEST_F(Window, OpensTheSampleWithCaptionAndStatus) {
  TFormChild* c = OpenSample();
  ASSERT_TRUE(c);
  EXPECT_TRUE(Messages.empty());
  const QString caption = c->SubWindow()->windowTitle();
  // Automatic sizing shrinks the 2400 × 1600 sample into the main window.
  const QRegularExpressionMatch m =
      QRegularExpression(R"(^#(\d+) sample\.fits  \[(\d+)%\]$)").match(caption);
  ASSERT_TRUE(m.hasMatch()) << caption.toStdString();
  EXPECT_EQ(m.captured(1).toInt(), c->Document().Number());
  EXPECT_NEAR(m.captured(2).toInt(), MeasuredPercent(*c), 0.6);
  EXPECT_LT(c->ZoomCode(), 0);
  // The whole image is in view, inside the window.
  const QSize content = c->Panel()->ContentSize();
  EXPECT_LE(content.width(), c->Panel()->viewport()->width());
  EXPECT_LE(content.height(), c->Panel()->viewport()->height());
  EXPECT_FALSE(c->Panel()->ScrollBarShown());
  // 2400 · 1600 · 4 bytes, with the sample's solution and the zoom.
  const QString status = Main->StatusText(2);
  EXPECT_TRUE(status.startsWith("2400 x 1600    RAM = 16 Mb    Field = ")) << status.toStdString();
  EXPECT_TRUE(status.endsWith(QString("Zoom = %1%").arg(m.captured(2)))) << status.toStdString();
  // The first file opened enters the recent list, with its picture.
  ASSERT_FALSE(Main->Recent().List().Entries().empty());
  EXPECT_EQ(Main->Recent().List().Entries()[0].Path, Sample);
  EXPECT_TRUE(Main->Recent().List().Entries()[0].Picture);
}

TEST_F(Window, ZoomStepsFollowCaptionAndStatus) {
  TFormChild* c = OpenSample();
  ASSERT_TRUE(c);
  c->SetZoom(-480);
  EXPECT_EQ(c->SubWindow()->windowTitle().right(7), "  [50%]");
  EXPECT_EQ(c->Panel()->ContentSize(), QSize(1200, 800));
  c->ZoomIn(false);  // 50 % · 1.26
  EXPECT_EQ(c->ZoomCode(), -355);
  EXPECT_TRUE(c->SubWindow()->windowTitle().endsWith("  [63%]"));
  EXPECT_TRUE(Main->StatusText(2).endsWith("Zoom = 63%"));
  QTest::keyClick(c->Panel(), Qt::Key_R);  // 100 %
  EXPECT_EQ(c->ZoomCode(), 0);
  EXPECT_FALSE(c->SubWindow()->windowTitle().contains('['));
  EXPECT_FALSE(Main->StatusText(2).contains("Zoom"));
  EXPECT_EQ(c->Panel()->ContentSize(), QSize(2400, 1600));
  QTest::keyClick(c->Panel(), Qt::Key_Plus);
  EXPECT_EQ(c->ZoomCode(), 1);
  QTest::keyClick(c->Panel(), Qt::Key_Minus);
  QTest::keyClick(c->Panel(), Qt::Key_Minus);  // 100 % / 1.26, or the fit when close to it
  EXPECT_LT(c->ZoomCode(), 0);
  c->FitToWindow();
  const QSize content = c->Panel()->ContentSize();
  EXPECT_LE(content.width(), c->Panel()->width());
  EXPECT_LE(content.height(), c->Panel()->height());
  // The next code would not fit: the fit is the largest.
  EXPECT_TRUE(ZoomedExtent(2400, c->ZoomCode() + 1) > c->Panel()->width() ||
              ZoomedExtent(1600, c->ZoomCode() + 1) > c->Panel()->height());
}

TEST_F(Window, PansByDraggingAndReadsPixels) {
  TFormChild* c = OpenSample();
  ASSERT_TRUE(c);
  c->SetZoom(0);
  TImagePanel* p = c->Panel();
  ASSERT_TRUE(p->ScrollBarShown());
  QWidget* vp = p->viewport();
  const int h0 = p->horizontalScrollBar()->value();
  const int v0 = p->verticalScrollBar()->value();
  const QPoint start(vp->width() / 2, vp->height() / 2);
  // The right button pans; the image follows at twice the mouse speed.
  QTest::mousePress(vp, Qt::RightButton, Qt::NoModifier, start);
  QTest::mouseMove(vp, start + QPoint(-40, -25));
  QTest::mouseRelease(vp, Qt::RightButton, Qt::NoModifier, start + QPoint(-40, -25));
  EXPECT_EQ(p->horizontalScrollBar()->value(), h0 + 80);
  EXPECT_EQ(p->verticalScrollBar()->value(), v0 + 50);

  // At 100 % the pixel under a point is the scroll offset plus the point; rows count up.
  const QPoint at(30, 20);
  QTest::mouseMove(vp, at);
  const int32_t x = p->horizontalScrollBar()->value() + at.x();
  const int32_t y = 1600 - 1 - (p->verticalScrollBar()->value() + at.y());
  const std::string value = FormatValue(c->Document().Image().Value(x, y));
  const QString field2 = Main->StatusText(2);
  EXPECT_TRUE(field2.startsWith(QString("X = %1").arg(x))) << field2.toStdString();
  EXPECT_TRUE(field2.contains(QString("Y = %1").arg(y))) << field2.toStdString();
  EXPECT_TRUE(field2.contains(QString::fromStdString("Value = " + value))) << field2.toStdString();
  EXPECT_TRUE(Main->StatusText(1).startsWith("RA DEC = ")) << Main->StatusText(1).toStdString();
}

TEST_F(Window, RendersOnlyTheVisiblePart) {
  auto doc = TAstroDocument::NewDocument(20000, 300, false, true);
  ASSERT_TRUE(doc);
  TFormChild* c = Main->ShowDocument(std::move(doc), 0, false);
  ASSERT_TRUE(c);
  c->Panel()->viewport()->repaint();
  const QSize r = c->Panel()->RenderedSize();
  EXPECT_GT(r.width(), 0);
  EXPECT_LE(r.width(), c->Panel()->viewport()->width());
  EXPECT_LE(r.height(), c->Panel()->viewport()->height());
}

TEST_F(Window, CloseQuestionForModifiedDocuments) {
  TFormChild* c = OpenSample();
  ASSERT_TRUE(c);
  const std::string title = c->Document().Title();
  ASSERT_TRUE(CloseWindow(c));  // unmodified: no question
  EXPECT_TRUE(Questions.empty());

  c = OpenSample();
  ASSERT_TRUE(c);
  c->Document().SetModified();
  Answer = TCloseAnswer::Cancel;
  EXPECT_FALSE(CloseWindow(c));
  ASSERT_EQ(Questions.size(), 1u);
  EXPECT_EQ(Questions[0].Title, c->Document().Title());
  EXPECT_TRUE(Questions[0].SaveEnabled);  // a single-image FITS path
  EXPECT_EQ(Main->ImageWindows().size(), 1u);

  // Closing the main window asks too; Cancel stops the exit.
  EXPECT_FALSE(Main->close());
  EXPECT_EQ(Questions.size(), 2u);
  EXPECT_TRUE(Main->isVisible());

  const QDateTime before = QFileInfo(QString::fromStdString(Sample)).lastModified();
  Answer = TCloseAnswer::DontSave;
  EXPECT_TRUE(CloseWindow(c));
  EXPECT_EQ(QFileInfo(QString::fromStdString(Sample)).lastModified(), before);
  EXPECT_TRUE(Main->ImageWindows().empty());
}

TEST_F(Window, SaveUnderItsNameOrAsked) {
  TFormChild* c = OpenSample();
  ASSERT_TRUE(c);
  c->Document().Image().MainPlane->SetPixel(0, 0, 12345);
  c->Document().SetModified();
  Answer = TCloseAnswer::Save;
  ASSERT_TRUE(CloseWindow(c));
  std::string error;
  auto back = OpenImageFile(Sample, 0, &error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(back->Value(0, 0), 12345.0f);

  // "Save as ..": the asked name, with the chosen filter's extension.
  c = OpenSample();
  ASSERT_TRUE(c);
  c->Document().SetModified();
  const std::string other = Dir.filePath("copy").toStdString();
  Main->SaveNameHook = [&](TAstroDocument&, int32_t& filter) {
    filter = 1;
    return other;
  };
  Answer = TCloseAnswer::SaveAs;
  ASSERT_TRUE(CloseWindow(c));
  EXPECT_TRUE(QFile::exists(QString::fromStdString(other + ".fit")));
  EXPECT_NE(Main->Recent().List().Entries()[0].Path.find("copy.fit"), std::string::npos);

  // A failed save shows the message and keeps the window and the changes.
  c = OpenSample();
  ASSERT_TRUE(c);
  c->Document().SetModified();
  Main->SaveNameHook = [](TAstroDocument&, int32_t& filter) {
    filter = 1;
    return std::string("/nonexistent-folder-of-orlu/x.fit");
  };
  EXPECT_FALSE(CloseWindow(c));
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].substr(0, 32), "ERROR|Cannot write file to disk");
  EXPECT_TRUE(c->Document().IsModified());
  EXPECT_EQ(Main->ImageWindows().size(), 1u);
  // An empty name cancels: the window stays.
  Main->SaveNameHook = [](TAstroDocument&, int32_t&) { return std::string(); };
  EXPECT_FALSE(CloseWindow(c));
  EXPECT_EQ(Messages.size(), 1u);
}

TEST_F(Window, SaveUnderTheOwnNameOnlyForSingleImageFitsPaths) {
  struct Row {
    const char* name;
    std::string path;
    const char* key;  // header key that marks one image of a multi-image file
    bool expected;
  };
  const std::string d = Dir.path().toStdString();
  const Row rows[] = {
      {"FITS path", d + "/a.fits", nullptr, true},
      {"short extension", d + "/a.fit", nullptr, true},
      {"JPEG", d + "/a.jpg", nullptr, false},
      {"camera RAW", d + "/a.cr2", nullptr, false},
      {"compressed FITS", d + "/a.fz", nullptr, false},
      {"no folder", "NoName01.fit", nullptr, false},
      {"one image of several", d + "/a.fits", "QVIM_IDX", false},
      {"first of several", d + "/a.fits", "QVIM_CNT", false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    auto doc = TAstroDocument::NewDocument(40, 30, false, true);
    ASSERT_TRUE(doc);
    doc->SetFileName(r.path);
    if (r.key) doc->Image().Header.SetInt(r.key, 3, true);
    TFormChild* c = Main->ShowDocument(std::move(doc), 0, false);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->CanSaveUnderName(), r.expected);
    c->Document().SetModified();
    Questions.clear();
    Answer = TCloseAnswer::Save;
    // "Save" when it is not offered writes nothing and keeps the window.
    if (!r.expected) {
      EXPECT_FALSE(CloseWindow(c));
      ASSERT_EQ(Questions.size(), 1u);
      EXPECT_FALSE(Questions[0].SaveEnabled);
      EXPECT_FALSE(QFile::exists(QString::fromStdString(r.path)));
    }
    c->Document().MarkUnmodified();
    EXPECT_TRUE(CloseWindow(c));
  }
}

TEST_F(Window, DroppedFilesOpen) {
  QMimeData mime;
  mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(Sample))});
  // A drop goes to the widget that accepted the drag's entry.
  QDragEnterEvent enter(QPoint(100, 100), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(Main.get(), &enter);
  ASSERT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(100, 100), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(Main.get(), &drop);
  QApplication::processEvents();
  ASSERT_EQ(Main->ImageWindows().size(), 1u);
  EXPECT_EQ(Main->ImageWindows()[0]->Document().FileName(), Sample);
  EXPECT_EQ(Main->Recent().List().Entries()[0].Path, Sample);
}

TEST_F(Window, LoadErrorsAndMissingRecentFiles) {
  const QString bad = Dir.filePath("garbage.fits");
  QFile f(bad);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("this is not a picture of any kind");
  f.close();
  Main->OpenFiles({bad.toStdString()}, true);
  EXPECT_TRUE(Main->ImageWindows().empty());
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0], "Open|Incompatible file format\r" + bad.toStdString());
  EXPECT_TRUE(Main->Recent().List().Entries().empty());

  emit Main->Recent().Chosen("/nonexistent/m31.fits");
  ASSERT_EQ(Messages.size(), 2u);
  EXPECT_EQ(Messages[1], "Error|Cannot find file:\r/nonexistent/m31.fits");
}

TEST_F(Window, RecentFilesAreWrittenAtExit) {
  ASSERT_TRUE(OpenSample());
  Answer = TCloseAnswer::DontSave;
  EXPECT_TRUE(Main->close());
  QFile f(Dir.filePath("config/QVRecentU.ini"));
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  const QByteArray text = f.readAll();
  // "File=" + path + "*" + 768 picture characters.
  EXPECT_TRUE(text.startsWith(QByteArray("File=") + QByteArray::fromStdString(Sample) + "*"));
  EXPECT_EQ(text.size(), qsizetype(5 + Sample.size() + 1 + 768 + 1));
  Main.reset();

  // The next main window reads it back.
  TFormMain again(Dir.filePath("config"));
  ASSERT_EQ(again.Recent().List().Entries().size(), 1u);
  EXPECT_EQ(again.Recent().List().Entries()[0].Path, Sample);
}

TEST_F(Window, TabStripOfMaximizedWindowsFollowsTheWindows) {
  std::vector<TFormChild*> w;
  for (int i = 0; i < 3; ++i) {
    TAstroDocument* d = Main->Master().Image->New(20 + i, 20, false);
    ASSERT_TRUE(d);
    w.push_back(Main->Master().WindowOf(d));
  }
  ASSERT_EQ(Main->TabWindows(), w);
  w[2]->SubWindow()->showMaximized();
  QApplication::processEvents();
  QTabBar* tabs = w[2]->TabStrip();
  ASSERT_TRUE(tabs->isVisible());
  ASSERT_EQ(tabs->count(), 3);
  EXPECT_EQ(tabs->currentIndex(), 2);
  EXPECT_EQ(tabs->tabText(0).toStdString(), w[0]->Document().Title());
  // Keys 1 and 2 step through the tab order, cyclic.
  EXPECT_TRUE(w[2]->HandleKey(Qt::Key_2, Qt::NoModifier, false));
  EXPECT_EQ(Main->ActiveChild(), w[0]);
  EXPECT_TRUE(w[0]->HandleKey(Qt::Key_Home, Qt::NoModifier, false));
  EXPECT_EQ(Main->ActiveChild(), w[2]);
  // Closing the second: the third follows the first.
  Main->CloseQuestionHook = [](TAstroDocument&, bool) { return TCloseAnswer::DontSave; };
  ASSERT_TRUE(CloseWindow(w[1]));
  ASSERT_EQ(Main->TabWindows().size(), 2u);
  EXPECT_EQ(Main->NextTab(w[0], true), w[2]);
  w[2]->UpdateBar();
  EXPECT_EQ(w[2]->TabStrip()->count(), 2);
  // Clicking a tab brings its window forward.
  emit w[2]->TabStrip()->tabBarClicked(0);
  EXPECT_EQ(Main->ActiveChild(), w[0]);
}

TEST_F(Window, KeysOfTheSelectionAndWebLinks) {
  TFormChild* c = OpenSample();
  ASSERT_TRUE(c);
  TAstroDocument& d = c->Document();
  c->MouseAt(1000, 800);
  // Ctrl+5: a square of 2400 / 20 = 120 pixels at the mouse; again: none.
  EXPECT_TRUE(c->HandleKey(Qt::Key_5, Qt::ControlModifier, false));
  ASSERT_EQ(d.SelectionKind(), 1);
  EXPECT_EQ(d.SelectionBounds(), (TPixelRect{940, 740, 1059, 859}));
  EXPECT_TRUE(c->HandleKey(Qt::Key_Equal, Qt::ControlModifier, false));
  EXPECT_EQ(d.SelectionBounds(), (TPixelRect{935, 735, 1064, 864}));
  EXPECT_TRUE(c->HandleKey(Qt::Key_Right, Qt::ControlModifier | Qt::ShiftModifier, false));
  const TPixelRect moved = d.SelectionBounds();
  EXPECT_GT(moved.Left, 935);
  EXPECT_EQ(moved.Right - moved.Left, 129);
  EXPECT_TRUE(c->HandleKey(Qt::Key_5, Qt::ControlModifier, false));
  EXPECT_EQ(d.SelectionKind(), 0);

  // The sample has a solution: the atlas opens on its centre, the database on the point.
  std::vector<std::string> urls;
  Main->UrlHook = [&urls](const std::string& u) { urls.push_back(u); };
  std::unique_ptr<QMenu> menu(c->BuildPopup());
  for (QAction* a : menu->actions())
    if (a->text().startsWith("Sky atlas") || a->text().startsWith("Object database")) {
      EXPECT_TRUE(a->isEnabled());
      a->trigger();
    }
  ASSERT_EQ(urls.size(), 2u);
  double ra = 0, dec = 0;
  d.Image().Wcs.PixelToSkyDeg((d.Width() - 1) / 2.0, (d.Height() - 1) / 2.0, ra, dec);
  char centre[64];
  std::snprintf(centre, sizeof centre, "target=%.6f", ra);
  EXPECT_NE(urls[0].find(centre), std::string::npos) << urls[0];
  EXPECT_NE(urls[1].find("Radius=30&Radius.unit=arcsec"), std::string::npos) << urls[1];
  // The field of view spans the image's longer side.
  const std::optional<TSkyView> v = ImageSkyView(d, 1);
  ASSERT_TRUE(v);
  double ra1, dec1, ra2, dec2;
  d.Image().Wcs.PixelToSkyDeg(0, 800, ra1, dec1);
  d.Image().Wcs.PixelToSkyDeg(1, 800, ra2, dec2);
  EXPECT_NEAR(v->FovDeg, 2400 * AngularDistanceDeg(ra1, dec1, ra2, dec2), v->FovDeg * 0.01);
}

TEST_F(Window, FullScreenAndBack) {
  TFormChild* c = OpenSample();
  ASSERT_TRUE(c);
  EXPECT_TRUE(c->HandleKey(Qt::Key_V, Qt::NoModifier, false));
  EXPECT_TRUE(Main->isFullScreen());
  EXPECT_TRUE(c->SubWindow()->isMaximized());
  EXPECT_TRUE(c->TabStrip()->isVisible());
  EXPECT_TRUE(c->HandleKey(Qt::Key_V, Qt::NoModifier, false));
  EXPECT_FALSE(Main->isFullScreen());
}

TEST_F(Window, SelectionIsDrawnWhereItsPixelsAre) {
  TAstroDocument* d = Main->Master().Image->New(20, 10, false);
  ASSERT_TRUE(d);
  TFormChild* c = Main->Master().WindowOf(d);
  ASSERT_EQ(c->ZoomCode(), 0);
  const QPoint o = c->Panel()->ContentOrigin();
  // Columns 2 … 5 and rows 3 … 4 counted from the bottom: screen rows 5 … 6 from the top.
  EXPECT_EQ(c->Panel()->ScreenRect(TPixelRect{2, 3, 5, 4}), QRectF(o.x() + 2, o.y() + 5, 4, 2));
  c->SetZoom(ZoomCodeForPercent(200));
  const QPoint o2 = c->Panel()->ContentOrigin();
  EXPECT_EQ(c->Panel()->ScreenRect(TPixelRect{0, 0, 0, 0}), QRectF(o2.x(), o2.y() + 18, 2, 2));
  // The dashed outline is on the rendered window.
  d->SelectRect(2, 3, 5, 4);
  d->RefreshViews();
  const QImage shot = c->Panel()->viewport()->grab().toImage();
  const QRectF r = c->Panel()->ScreenRect(d->SelectionBounds());
  // The image is black: white pixels along the top edge (within a pixel) are the outline's,
  // and none appear away from it.
  const auto whiteIn = [&shot](int x0, int x1, int y0, int y1) {
    int n = 0;
    for (int y = std::max(y0, 0); y <= y1 && y < shot.height(); ++y)
      for (int x = std::max(x0, 0); x <= x1 && x < shot.width(); ++x)
        n += QColor(shot.pixel(x, y)) == QColor(Qt::white);
    return n;
  };
  EXPECT_GT(whiteIn(int(r.left()), int(r.right()), int(r.top()) - 1, int(r.top()) + 1), 0);
  EXPECT_EQ(whiteIn(int(r.left()) + 3, int(r.right()) - 3, int(r.top()) + 2, int(r.bottom()) - 3), 0);
}

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  std::setlocale(LC_NUMERIC, "C");
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
