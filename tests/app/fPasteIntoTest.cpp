// The "Paste into image" window on the offscreen platform: it previews as the fields change,
// moves by joystick drags and clicks, keeps one history entry and one undo step on OK and
// gives the image back bit for bit on Cancel.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMouseEvent>
#include <QPrinter>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <vector>

#include "QVMaster.h"
#include "ZoomMath.h"
#include "fChild.h"
#include "fMain.h"
#include "fPasteInto.h"
#include "fPrint.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"

using namespace orlu;

namespace {

class PasteWindow : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Dir.isValid());
    Options() = TQVOptions();
    Options().File.Autozoom = false;
    Main = std::make_unique<TFormMain>(Dir.filePath("config"));
    Main->MessageHook = [this](TMessageKind, const std::string& c, const std::string& t) {
      Messages.push_back(c + "|" + t);
    };
    Main->CloseQuestionHook = [](TAstroDocument&, bool) { return TCloseAnswer::DontSave; };
    Main->resize(900, 700);
    Main->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Main.get()));
    M = &Main->Master();
  }

  void TearDown() override {
    if (TFormPasteInto* w = TFormPasteInto::Current()) w->Reject();
    QApplication::processEvents();
    Main.reset();
    Options() = TQVOptions();
  }

  // A w × h document whose pixel (x, y) holds base + x + 100 y.
  TAstroDocument* NewDoc(int32_t w, int32_t h, float base) {
    TAstroDocument* d = M->Image->New(w, h, false);
    if (!d) return nullptr;
    TBWImage& p = *d->Image().MainPlane;
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) p.Data[y * w + x] = base + float(x + 100 * y);
    d->RefreshStats();
    QApplication::processEvents();
    return d;
  }

  // The internal clipboard gets a 4 × 3 image of 5000 + x + 100 y; the target is 40 × 30.
  TAstroDocument* Prepare() {
    TAstroDocument* clip = NewDoc(4, 3, 5000);
    if (!clip) return nullptr;
    M->Image->Copy(clip);
    TAstroDocument* d = NewDoc(40, 30, 0);
    if (d) Main->Activate(*M->WindowOf(d));
    return d;
  }

  static std::vector<float> Pixels(const TAstroDocument& d) {
    const TBWImage& p = *d.Image().MainPlane;
    return std::vector<float>(p.Data, p.Data + size_t(d.Width()) * size_t(d.Height()));
  }

  // Mode and opacity start as the last OK left them: the tests begin from plain replacing.
  static void PlainReplace(TFormPasteInto& w) {
    TPasteParams p = w.Params();
    p.Mode = TPasteMode::Replace;
    p.Opacity = 100;
    p.Offset = 0;
    w.SetParams(p);
  }

  static void Mouse(QWidget* w, QEvent::Type type, QPoint pos, Qt::MouseButtons buttons) {
    QMouseEvent e(type, QPointF(pos), w->mapToGlobal(QPointF(pos)), Qt::LeftButton, buttons,
                  Qt::NoModifier);
    QApplication::sendEvent(w, &e);
  }
  static void Click(QWidget* w, QPoint pos) {
    Mouse(w, QEvent::MouseButtonPress, pos, Qt::LeftButton);
    Mouse(w, QEvent::MouseButtonRelease, pos, Qt::NoButton);
  }

  QTemporaryDir Dir;
  std::unique_ptr<TFormMain> Main;
  TQVMaster* M = nullptr;
  std::vector<std::string> Messages;
};

TEST_F(PasteWindow, PreviewsAtTheCentreAndFollowsTheFields) {
  TAstroDocument* d = Prepare();
  ASSERT_TRUE(d);
  TFormPasteInto* w = TFormPasteInto::Open(*M, nullptr);
  ASSERT_TRUE(w);
  EXPECT_EQ(TFormPasteInto::Current(), w);
  EXPECT_EQ(w->Document(), d);
  EXPECT_TRUE(M->LiveFilterOpen());
  // The image centre (20, 15) minus half the clip's size (2, 1).
  EXPECT_EQ(w->Params().X, 18);
  EXPECT_EQ(w->Params().Y, 14);
  PlainReplace(*w);
  EXPECT_EQ(d->Image().Value(18, 14), 5000.0f);
  EXPECT_EQ(d->Image().Value(21, 16), 5000.0f + 3 + 200);
  EXPECT_EQ(d->Image().Value(22, 16), 22.0f + 1600);
  // Only one live window: a second one is refused without showing anything.
  EXPECT_EQ(TFormPasteInto::Open(*M, nullptr), nullptr);
  EXPECT_EQ(TFormPasteInto::Current(), w);

  TPasteParams p = w->Params();
  p.X = -1;
  p.Y = 28;
  p.Mode = TPasteMode::Add;
  p.Opacity = 50;
  w->SetParams(p);
  // The old place shows the image again; the clip is clipped at the edges.
  EXPECT_EQ(d->Image().Value(18, 14), 18.0f + 1400);
  // (0, 29) takes clip pixel (1, 1): s + o·(e + s) + (1 − o)·s = s + 0.5 (5101).
  const float s = 0 + 2900;
  EXPECT_EQ(d->Image().Value(0, 29), s + 0.5f * 5101);
  EXPECT_EQ(d->Image().Value(3, 29), s + 3);
  w->Reject();
}

TEST_F(PasteWindow, JoystickDragsAndNudges) {
  TAstroDocument* d = Prepare();
  ASSERT_TRUE(d);
  // At 400 % a drag of 6 screen pixels moves by 6 / √4 = 3 image pixels.
  const int32_t code = ZoomCodeForPercent(400);
  ASSERT_EQ(ZoomScale(code), 4.0);
  M->WindowOf(d)->SetZoom(code);
  TFormPasteInto* w = TFormPasteInto::Open(*M, d);
  ASSERT_TRUE(w);
  PlainReplace(*w);
  QWidget* j = w->Joystick();
  j->resize(100, 100);
  const int32_t x0 = w->Params().X, y0 = w->Params().Y;

  Mouse(j, QEvent::MouseButtonPress, QPoint(50, 50), Qt::LeftButton);
  Mouse(j, QEvent::MouseMove, QPoint(56, 46), Qt::LeftButton);  // right 6, up 4
  Mouse(j, QEvent::MouseButtonRelease, QPoint(56, 46), Qt::NoButton);
  EXPECT_EQ(w->Params().X, x0 + 3);
  EXPECT_EQ(w->Params().Y, y0 + 2);
  EXPECT_EQ(d->Image().Value(x0 + 3, y0 + 2), 5000.0f);

  struct Case {
    QPoint at;
    int32_t dx, dy;
  } cases[] = {
      {{50, 50}, 0, 0},   // centre: no step
      {{60, 40}, 0, 0},   // still inside the central 30 %
      {{95, 50}, 1, 0},   // right
      {{5, 5}, -1, 1},    // top-left
      {{50, 97}, 0, -1},  // bottom
  };
  for (const Case& c : cases) {
    const int32_t x = w->Params().X, y = w->Params().Y;
    Click(j, c.at);
    EXPECT_EQ(w->Params().X, x + c.dx) << c.at.x() << "," << c.at.y();
    EXPECT_EQ(w->Params().Y, y + c.dy) << c.at.x() << "," << c.at.y();
  }
  // The clicks cancel out; the preview follows every step.
  EXPECT_EQ(w->Params().X, x0 + 3);
  EXPECT_EQ(w->Params().Y, y0 + 2);
  EXPECT_EQ(d->Image().Value(x0 + 3, y0 + 2), 5000.0f);
  EXPECT_EQ(d->Image().Value(x0 + 2, y0 + 1), float(x0 + 2 + 100 * (y0 + 1)));
  w->Reject();
}

TEST_F(PasteWindow, OkKeepsOneHistoryEntryAndOneUndoStep) {
  TAstroDocument* d = Prepare();
  ASSERT_TRUE(d);
  const std::vector<float> before = Pixels(*d);
  const int32_t entries = d->Image().History.Count();
  const int32_t snapshots = d->SnapshotCount();
  TFormPasteInto* w = TFormPasteInto::Open(*M, d);
  ASSERT_TRUE(w);
  TPasteParams p = w->Params();
  p.X = 3;
  p.Y = 4;
  p.Mode = TPasteMode::Maximum;
  p.Opacity = 100;
  w->SetParams(p);
  p.X = 5;  // a second preview replaces the first
  w->SetParams(p);
  w->Accept();
  QApplication::processEvents();
  EXPECT_EQ(TFormPasteInto::Current(), nullptr);
  EXPECT_FALSE(M->LiveFilterOpen());
  ASSERT_EQ(d->Image().History.Count(), entries + 1);
  EXPECT_EQ(d->Image().History.Item(entries)->Text, "5 4  Maximum 100%");
  EXPECT_EQ(d->SnapshotCount(), snapshots + 1);
  EXPECT_EQ(d->Image().Value(5, 4), 5000.0f);
  EXPECT_EQ(d->Image().Value(3, 4), 403.0f);
  EXPECT_TRUE(d->IsModified());
  // The next window starts with the kept mode.
  TFormPasteInto* again = TFormPasteInto::Open(*M, d);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->Params().Mode, TPasteMode::Maximum);
  again->Reject();
  QApplication::processEvents();
  M->Image->UndoRedo(d);
  EXPECT_EQ(Pixels(*d), before);
}

TEST_F(PasteWindow, CancelRestoresTheImageBitExact) {
  TAstroDocument* d = Prepare();
  ASSERT_TRUE(d);
  // Values that a float round trip through arithmetic would not keep.
  d->Image().MainPlane->Data[0] = 1.0f / 3.0f;
  d->Image().MainPlane->Data[5] = -0.0f;
  const std::vector<float> before = Pixels(*d);
  const int32_t entries = d->Image().History.Count();
  const int32_t snapshots = d->SnapshotCount();
  TFormPasteInto* w = TFormPasteInto::Open(*M, d);
  ASSERT_TRUE(w);
  TPasteParams p = w->Params();
  p.X = 0;
  p.Y = 0;
  p.Opacity = 37;
  p.Offset = 0.1;
  p.Mode = TPasteMode::Subtract;
  w->SetParams(p);
  EXPECT_NE(Pixels(*d), before);
  w->Reject();
  QApplication::processEvents();
  const std::vector<float> after = Pixels(*d);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(std::memcmp(after.data(), before.data(), after.size() * sizeof(float)), 0);
  EXPECT_EQ(d->Image().History.Count(), entries);
  EXPECT_EQ(d->SnapshotCount(), snapshots);
  EXPECT_FALSE(M->LiveFilterOpen());
}

TEST_F(PasteWindow, TheMenuItemTakesAForeignPicture) {
  TAstroDocument* d = NewDoc(20, 10, 0);
  ASSERT_TRUE(d);
  QImage pic(2, 2, QImage::Format_RGB32);
  pic.fill(QColor(77, 77, 77));
  QApplication::clipboard()->setImage(pic);
  ASSERT_TRUE(M->Image->ForeignClipboardImage());
  QAction* item = nullptr;
  for (QAction* a : Main->Menu(TMenuId::Edit)->actions())
    // Menu captions carry keyboard accelerators.
    if (a->menu() && QString(a->text()).remove('&') == "Paste into")
      for (QAction* s : a->menu()->actions())
        if (QString(s->text()).remove('&') == "Image") item = s;
  ASSERT_TRUE(item);
  item->trigger();
  TFormPasteInto* w = TFormPasteInto::Current();
  ASSERT_TRUE(w);
  EXPECT_EQ(w->Params().X, 9);
  EXPECT_EQ(w->Params().Y, 4);
  PlainReplace(*w);
  EXPECT_EQ(d->Image().Value(9, 4), 77.0f);
  EXPECT_EQ(d->Image().Value(10, 5), 77.0f);
  w->Reject();
}

TEST_F(PasteWindow, NothingOpensWithoutAClip) {
  NewDoc(10, 10, 0);
  M->Image->EmptyClipboard();
  EXPECT_EQ(TFormPasteInto::Open(*M, nullptr), nullptr);
  EXPECT_FALSE(M->LiveFilterOpen());
}

TEST_F(PasteWindow, PositionFromAnotherImage) {
  TAstroDocument* d = Prepare();
  ASSERT_TRUE(d);
  TAstroDocument* other = NewDoc(30, 30, 0);
  ASSERT_TRUE(other);
  other->SelectRect(7, 9, 12, 15);
  Main->Activate(*M->WindowOf(d));
  TFormPasteInto* w = TFormPasteInto::Open(*M, d);
  ASSERT_TRUE(w);
  PlainReplace(*w);
  std::vector<TAstroDocument*> offered;
  M->Images->ChooserHook = [&](const std::string&, const std::vector<TAstroDocument*>& c) {
    offered = c;
    return other;
  };
  w->TakePositionFromOther();
  M->Images->ChooserHook = nullptr;
  // The paste's own image is not offered.
  EXPECT_EQ(std::count(offered.begin(), offered.end(), d), 0);
  EXPECT_EQ(w->Params().X, other->SelectionRect().Left);
  EXPECT_EQ(w->Params().Y, other->SelectionRect().Bottom);
  EXPECT_EQ(d->Image().Value(w->Params().X, w->Params().Y), 5000.0f);
  w->Reject();
}

TEST_F(PasteWindow, ClosingTheImageEndsThePaste) {
  TAstroDocument* d = Prepare();
  ASSERT_TRUE(d);
  ASSERT_TRUE(TFormPasteInto::Open(*M, d));
  TFormChild* c = M->WindowOf(d);
  ASSERT_TRUE(c);
  c->SetClosing();
  c->SubWindow()->close();
  QApplication::processEvents();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_EQ(TFormPasteInto::Current(), nullptr);
  EXPECT_FALSE(M->LiveFilterOpen());
}

TEST_F(PasteWindow, WithDuplicatesTheCopyIsPastedInto) {
  TAstroDocument* d = Prepare();
  ASSERT_TRUE(d);
  const std::vector<float> before = Pixels(*d);
  Options().Image.DuplicateOneOps = true;
  TFormPasteInto* w = TFormPasteInto::Open(*M, d);
  ASSERT_TRUE(w);
  TAstroDocument* copy = w->Document();
  ASSERT_TRUE(copy);
  EXPECT_NE(copy, d);
  PlainReplace(*w);
  EXPECT_EQ(copy->Image().Value(18, 14), 5000.0f);
  w->Accept();
  EXPECT_EQ(copy->Image().Value(18, 14), 5000.0f);
  EXPECT_EQ(Pixels(*d), before);
}

TEST_F(PasteWindow, TheMainWindowGoesWithTheWindowOpen) {
  TAstroDocument* d = Prepare();
  ASSERT_TRUE(d);
  ASSERT_TRUE(TFormPasteInto::Open(*M, d));
  Main.reset();
  EXPECT_EQ(TFormPasteInto::Current(), nullptr);
  EXPECT_FALSE(TLiveFilter::AnyOpen());
}

// The print key reaches the command: title and scale asked first, then the printer.
TEST_F(PasteWindow, ThePrintKeyPrintsTheActiveImage) {
  TAstroDocument* d = NewDoc(30, 20, 0);
  ASSERT_TRUE(d);
  QAction* print = nullptr;
  for (QAction* a : Main->actions())
    if (a->shortcut() == QKeySequence(QKeySequence::Print)) print = a;
  ASSERT_TRUE(print);
  const QString path = Dir.filePath("print.pdf");
  std::string offeredTitle;
  PrintDialogHook = [&](TFormPrint& f) {
    offeredTitle = f.Title();
    f.SetValues("Field 7", 60);
    return true;
  };
  int printers = 0;
  PrinterDialogHook = [&](QPrinter& p) {
    ++printers;
    p.setOutputFormat(QPrinter::PdfFormat);
    p.setOutputFileName(path);
    return true;
  };
  print->trigger();
  // Cancelled at the first question: no printer asked.
  PrintDialogHook = [](TFormPrint&) { return false; };
  print->trigger();
  PrintDialogHook = nullptr;
  PrinterDialogHook = nullptr;
  EXPECT_EQ(offeredTitle, d->Title());
  EXPECT_EQ(printers, 1);
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_TRUE(f.readAll().contains(QByteArray("/Title (\xfe\xff", 10) +
                                   QByteArray::fromHex("004600690065006c006400200037")));
}

}  // namespace
