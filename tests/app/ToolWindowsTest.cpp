// Tool windows and mouse tools on the offscreen platform: the header window's protection,
// edits and binding, the frame's title actions, the histogram and statistics windows, the
// stretch dialog, and every mouse tool driven by synthetic mouse events.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QMdiArea>
#include <QMenu>
#include <QMouseEvent>
#include <QPointer>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>

#include <clocale>
#include <memory>

#include "fChild.h"
#include "fHeader.h"
#include "fHisto.h"
#include "fMain.h"
#include "fStats.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"
#include "uDragger.h"

using namespace orlu;

namespace {

class Tools : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Dir.isValid());
    Sample = Dir.filePath("sample.fits").toStdString();
    ASSERT_TRUE(QFile::copy(ORLU_SAMPLE_FITS, QString::fromStdString(Sample)));
    QFile::setPermissions(QString::fromStdString(Sample), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    Options().File.Autozoom = true;
    // The first start's hint would hold the status line for four seconds.
    Options().Misc.FirstExecution = false;
    MouseTools() = TMouseToolSettings();
    Main = std::make_unique<TFormMain>(Dir.filePath("config"));
    Main->MessageHook = [](TMessageKind, const std::string&, const std::string&) {};
    Main->CloseQuestionHook = [](TAstroDocument&, bool) { return TCloseAnswer::DontSave; };
    Main->resize(1200, 800);
    Main->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Main.get()));
  }

  void TearDown() override {
    for (TChildWindow* w : TChildWindow::All()) delete w;
    Main.reset();
  }

  TFormChild* Open() {
    const size_t before = Main->ImageWindows().size();
    Main->OpenFiles({Sample}, false);
    QApplication::processEvents();
    const auto w = Main->ImageWindows();
    return w.size() == before + 1 ? w.back() : nullptr;
  }

  // Viewport point of image pixel (x, y) (its centre).
  static QPoint At(TImagePanel* p, int32_t x, int32_t y) {
    const QPointF f = ImageToPanel(*p, x + 0.5, y - 0.5);
    return f.toPoint();
  }

  static void Drag(QWidget* vp, Qt::MouseButton b, QPoint from, QPoint to, Qt::KeyboardModifiers m = {}) {
    QTest::mousePress(vp, b, m, from);
    // Intermediate moves: a real drag reports more than its end.
    QTest::mouseMove(vp, (from + to) / 2);
    QTest::mouseMove(vp, to);
    QTest::mouseRelease(vp, b, m, to);
  }

  static void Type(QPlainTextEdit* e, int line, int column, const QString& text) {
    QTextCursor c(e->document()->findBlockByNumber(line));
    c.setPosition(c.block().position() + column);
    e->setTextCursor(c);
    QTest::keyClicks(e, text);
  }

  QTemporaryDir Dir;
  std::string Sample;
  std::unique_ptr<TFormMain> Main;
};

// ============================================================================ header window

TEST_F(Tools, HeaderWindowLoadsAndProtectsTheFirstFiveLines) {
  TFormChild* c = Open();
  ASSERT_TRUE(c);
  TFormHeader* h = TFormHeader::ShowHeaderWindow(Main.get(), &c->Document());
  const TFitsStrings& cards = c->Document().Image().Header;
  QPlainTextEdit* memo = h->Memo();
  ASSERT_EQ(memo->document()->blockCount(), cards.Count());
  EXPECT_EQ(memo->document()->findBlockByNumber(0).text().toStdString(), cards[0]);
  EXPECT_EQ(memo->textCursor().blockNumber(), 5);
  EXPECT_EQ(h->Caption().toStdString(), c->Document().Title());
  EXPECT_FALSE(h->Pending());

  // Typing, backspace at the start of line 5, Enter at the start of line 5, paste and cut on
  // a protected line: all refused with a beep.
  const QString line3 = memo->document()->findBlockByNumber(3).text();
  Type(memo, 3, 2, "X");
  EXPECT_EQ(memo->document()->findBlockByNumber(3).text(), line3);
  const int32_t beeps = h->Beeps();
  EXPECT_GE(beeps, 1);
  Type(memo, 5, 0, "");
  QTest::keyClick(memo, Qt::Key_Backspace);
  QTest::keyClick(memo, Qt::Key_Return);
  QApplication::clipboard()->setText("PASTED  = 1");
  Type(memo, 2, 0, "");
  memo->paste();
  QTextCursor sel(memo->document()->findBlockByNumber(1));
  sel.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
  memo->setTextCursor(sel);
  h->PopupMenu()->actions()[3]->trigger();  // "Cut"
  EXPECT_EQ(h->Beeps(), beeps + 4);
  EXPECT_EQ(memo->document()->blockCount(), cards.Count());
  EXPECT_FALSE(h->Pending());

  // Unprotected, line 3 takes the edit.
  h->ProtectAction()->setChecked(false);
  Type(memo, 3, 0, "Z");
  EXPECT_EQ(memo->document()->findBlockByNumber(3).text(), "Z" + line3);
  EXPECT_TRUE(h->Pending());
  EXPECT_TRUE(h->UndoAction()->isEnabled());
  h->UndoAction()->trigger();  // undo = reload
  EXPECT_EQ(memo->document()->findBlockByNumber(3).text(), line3);
  EXPECT_FALSE(h->Pending());
}

TEST_F(Tools, HeaderEditsApplyMarkModifiedAndStayPrintable) {
  TFormChild* c = Open();
  ASSERT_TRUE(c);
  TAstroDocument& doc = c->Document();
  TFormHeader* h = TFormHeader::ShowHeaderWindow(Main.get(), &doc);
  QPlainTextEdit* memo = h->Memo();
  Type(memo, 6, 0, "");
  memo->insertPlainText(QString::fromUtf8("OBJECT  = 'caf\xC3\xA9'\n"));
  EXPECT_TRUE(h->Pending());
  EXPECT_TRUE(doc.IsModified());  // pending edits count as unsaved changes
  h->ApplyHeaderEdits();
  EXPECT_FALSE(h->Pending());
  EXPECT_TRUE(doc.IsModified());
  EXPECT_GE(doc.Image().Header.IndexOf("OBJECT  = 'caf?'"), 0);

  // An emptied editor still leaves a valid header.
  h->ProtectAction()->setChecked(false);
  memo->selectAll();
  QTest::keyClick(memo, Qt::Key_Delete);
  EXPECT_EQ(memo->toPlainText(), "");
  h->ApplyHeaderEdits();
  const TFitsStrings& hd = doc.Image().Header;
  ASSERT_GE(hd.Count(), 6);
  EXPECT_EQ(TFitsStrings::KeywordOf(hd[0]), "SIMPLE");
  EXPECT_EQ(hd.GetGeometry().Width, doc.Width());
  EXPECT_TRUE(TFitsStrings::IsEndCard(hd[hd.Count() - 1]));

  // Export.
  h->LoadHeader(false);
  const QString out = Dir.filePath("header.txt");
  ASSERT_TRUE(h->ExportTo(out));
  QFile f(out);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_EQ(f.readAll().count('\n'), hd.Count());
}

TEST_F(Tools, HeaderWindowBindingPinnedAndFollowing) {
  TFormChild* a = Open();
  TFormChild* b = Open();
  ASSERT_TRUE(a && b);
  TFormHeader* h = TFormHeader::ShowHeaderWindow(Main.get(), &a->Document());
  EXPECT_TRUE(h->Pinned());
  TChildWindow::NotifyActiveDocument(&b->Document());
  EXPECT_EQ(h->Document(), &a->Document());  // pinned: stays
  // An edit, then unpinning: the window switches to the active image and the edit goes to a.
  Type(h->Memo(), 6, 0, "");
  h->Memo()->insertPlainText("EDITED  = 1\n");
  h->CarryOut(1);
  EXPECT_FALSE(h->Pinned());
  EXPECT_EQ(h->Document(), &b->Document());
  EXPECT_EQ(h->Caption().toStdString(), "( " + b->Document().Title() + " )");
  EXPECT_GE(a->Document().Image().Header.IndexOf("EDITED  = 1"), 0);
  EXPECT_TRUE(a->Document().IsModified());
  // Closing the other image changes nothing; closing the last one empties the window.
  a->Document().Close();
  QApplication::processEvents();
  EXPECT_EQ(h->Document(), &b->Document());
  b->Document().Close();
  QApplication::processEvents();
  EXPECT_EQ(h->Document(), nullptr);
  EXPECT_EQ(h->Caption(), "FITS Header");
  EXPECT_EQ(h->Memo()->toPlainText(), "");
  // A pinned window whose document closes (with edits pending) closes; nothing is applied.
  TFormChild* c = Open();
  ASSERT_TRUE(c);
  EXPECT_EQ(h->Document(), &c->Document());  // the unpinned one followed the new image
  EXPECT_EQ(TFormHeader::ShowHeaderWindow(Main.get(), &c->Document()), h);  // it shows c already
  auto* p = new TFormHeader(Main.get());
  p->Bind(&c->Document(), true);
  p->show();
  EXPECT_TRUE(p->Pinned());
  Type(p->Memo(), 6, 0, "");
  p->Memo()->insertPlainText("LOST    = 1\n");
  QPointer<TFormHeader> guard(p);
  c->Document().Close();
  QApplication::processEvents();
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(guard.isNull());
}

TEST_F(Tools, TitleStripActions) {
  TFormChild* c = Open();
  ASSERT_TRUE(c);
  TFormHeader* h = TFormHeader::ShowHeaderWindow(Main.get(), &c->Document());
  h->resize(200, 150);
  QApplication::processEvents();
  TTitleStrip* t = h->Title();
  int w = t->width();
  // A right click rolls up and again down.
  const QSize before = h->size();
  QTest::mouseClick(t, Qt::RightButton, {}, QPoint(20, 5));
  EXPECT_TRUE(h->RolledUp());
  EXPECT_FALSE(h->Memo()->isVisible());
  QTest::mouseClick(t, Qt::RightButton, {}, QPoint(20, 5));
  EXPECT_FALSE(h->RolledUp());
  EXPECT_EQ(h->size(), before);
  // A double click left of the buttons enlarges a small window.
  QTest::mouseClick(t, Qt::LeftButton, {}, QPoint(20, 5));
  QTest::mouseClick(t, Qt::LeftButton, {}, QPoint(20, 5));
  EXPECT_TRUE(h->Enlarged());
  EXPECT_GE(h->height(), 24 * t->height() + 2);
  // The pin button unpins; the close button closes.
  w = t->width();
  QTest::mouseClick(t, Qt::LeftButton, {}, QPoint(w - 120 + 10, 5));
  EXPECT_FALSE(h->Pinned());
  QPointer<TFormHeader> guard(h);
  QTest::mouseClick(t, Qt::LeftButton, {}, QPoint(w - 10, 5));
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(guard.isNull());
  // The document no longer asks the closed window for pending edits.
  EXPECT_FALSE(c->Document().IsModified());
  c->Document().PrepareSave(Options());
}

// ============================================================================ histogram and statistics

TEST_F(Tools, HistogramWindowFollowsAndSteersTheView) {
  TFormChild* c = Open();
  ASSERT_TRUE(c);
  TAstroDocument& doc = c->Document();
  TFormHistoChild* hw = TFormHistoChild::ShowHistogramWindow(Main.get(), &doc);
  QApplication::processEvents();
  EXPECT_FALSE(hw->Pinned());
  THistoModel& m = hw->Model();
  int64_t total = 0;
  for (int32_t k = 0; k < m.BinCount; ++k) total += m.MainBins[size_t(k)];
  EXPECT_EQ(total, doc.Image().PixelCount());  // every sample lands in a bin
  // BIT right half doubles the span.
  const double span = m.AxisSpan;
  hw->BitClick(false);
  EXPECT_DOUBLE_EQ(m.AxisSpan, std::min(2 * span, 3e14));
  // LUM left moves both bounds up by the same amount.
  const float low = doc.Image().Visu.Low, high = doc.Image().Visu.High;
  hw->LumClick(true);
  EXPECT_GT(doc.Image().Visu.Low, low);
  EXPECT_NEAR(doc.Image().Visu.High - doc.Image().Visu.Low, high - low, 1e-3 * (high - low) + 1);
  // Transfer step and the curve choice; choosing it again returns to the plain code.
  const int32_t code = doc.Image().Visu.TransferType;
  hw->ChooseSpecial(kTransferCurve);
  EXPECT_EQ(doc.Image().Visu.TransferType, kTransferCurve);
  hw->ChooseSpecial(kTransferCurve);
  EXPECT_EQ(doc.Image().Visu.TransferType, code);
  // Dragging the panel sideways pans the axis.
  THistoPanel* p = hw->Panel();
  const double start = m.AxisStart, span2 = m.AxisSpan;
  Drag(p, Qt::LeftButton, QPoint(100, 50), QPoint(60, 51));
  EXPECT_NEAR(m.AxisStart, start + 40.0 / p->width() * span2, 1e-9 * span2);
  // Dragging up zooms.
  Drag(p, Qt::LeftButton, QPoint(100, 80), QPoint(101, 40));
  EXPECT_GT(m.AxisSpan, span2);
  // The text export.
  const QString txt = Dir.filePath("h.txt");
  ASSERT_TRUE(hw->SaveAsText(txt));
  QFile f(txt);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_TRUE(f.readLine().startsWith("ADU - Count\r\n"));
  // A second image activated: the following window binds to it.
  TFormChild* b = Open();
  TChildWindow::NotifyActiveDocument(&b->Document());
  EXPECT_EQ(hw->Document(), &b->Document());
}

TEST_F(Tools, StatisticsWindowRegions) {
  TFormChild* c = Open();
  ASSERT_TRUE(c);
  TAstroDocument& doc = c->Document();
  TFormStats* s = TFormStats::ShowStatisticsWindow(Main.get(), &doc);
  ASSERT_FALSE(s->Lines().empty());
  EXPECT_EQ(s->Lines()[1].Value, "2400 x 1600");
  doc.SelectRect(10, 20, 19, 29);
  s->Recompute();
  bool rect = false;
  for (const TStatLine& l : s->Lines()) rect |= l.Label == "Rectangle" && l.Value == "[10,19] [29,20]";
  EXPECT_TRUE(rect);
  EXPECT_TRUE(s->Caption().endsWith(" (Rectangle)")) << s->Caption().toStdString();
  EXPECT_TRUE(s->AllText().contains("Pixels = 100\n"));
}

TEST_F(Tools, StretchDialogStepsUndoAndHistory) {
  TFormChild* c = Open();
  ASSERT_TRUE(c);
  TAstroDocument& doc = c->Document();
  const float v0 = doc.Image().Value(100, 100);
  {
    TFormHistoFilter d(Main.get(), doc);
    d.SetNormalization(255);
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(d.ApplyStep()) << i;
    EXPECT_FALSE(d.ApplyStep());  // the 21st is refused
    EXPECT_EQ(d.Steps().Count(), 20);
    d.Finish(false);  // Cancel: the image comes back
  }
  EXPECT_EQ(doc.Image().Value(100, 100), v0);
  const int32_t entries = doc.Image().History.Count();
  {
    TFormHistoFilter d(Main.get(), doc);
    d.SetNormalization(1023);
    ASSERT_TRUE(d.ApplyStep());
    d.Finish(true);
  }
  EXPECT_EQ(doc.Image().History.Count(), entries + 1);
  EXPECT_EQ(doc.Image().History.Item(entries)->Code, 102);
  EXPECT_TRUE(doc.IsModified());
  EXPECT_LE(doc.Image().DataMax, 1023.0f);
}

// ============================================================================ mouse tools

TEST_F(Tools, RectangleToolSelectsAndClicksDoNot) {
  TFormChild* c = Open();
  ASSERT_TRUE(c);
  c->SetZoom(0);
  TImagePanel* p = c->Panel();
  QWidget* vp = p->viewport();
  TAstroDocument& doc = c->Document();
  const QPoint a = At(p, p->horizontalScrollBar()->value() + 50, 1599 - p->verticalScrollBar()->value() - 60);
  // A 3-pixel drag counts as a click: no selection.
  Drag(vp, Qt::LeftButton, a, a + QPoint(3, 0));
  EXPECT_EQ(doc.SelectionKind(), 0);
  // A real drag (upwards: the corners come out ordered).
  Drag(vp, Qt::LeftButton, a, a + QPoint(40, -30));
  ASSERT_EQ(doc.SelectionKind(), 1);
  const TPixelRect r = doc.SelectionRect();
  EXPECT_EQ(r.Right - r.Left, 40);
  EXPECT_EQ(r.Top - r.Bottom, 30);
  // Ctrl+drag inside moves it; the status shows the offset while moving.
  QTest::mousePress(vp, Qt::LeftButton, Qt::ControlModifier, a + QPoint(10, -10));
  QTest::mouseMove(vp, a + QPoint(30, -5));
  ASSERT_NE(p->Tools()->Tool(), nullptr);
  EXPECT_EQ(p->Tools()->Tool()->StatusText(), "DX DY = 20 -5  ");
  QTest::mouseRelease(vp, Qt::LeftButton, Qt::ControlModifier, a + QPoint(30, -5));
  EXPECT_EQ(doc.SelectionRect().Left, r.Left + 20);
  EXPECT_EQ(doc.SelectionRect().Bottom, r.Bottom - 5);
  // A plain click clears it.
  QTest::mouseClick(vp, Qt::LeftButton, {}, a + QPoint(200, 0));
  EXPECT_EQ(doc.SelectionKind(), 0);
  // Line mode: a drag makes a line selection.
  MouseTools().MouseMode = TMouseToolSettings::kLine;
  Drag(vp, Qt::LeftButton, a, a + QPoint(30, 0));
  EXPECT_EQ(doc.SelectionKind(), 2);
}

TEST_F(Tools, PanZoomAndClicksOfTheOtherButtons) {
  TFormChild* c = Open();
  ASSERT_TRUE(c);
  c->SetZoom(0);
  TImagePanel* p = c->Panel();
  QWidget* vp = p->viewport();
  const QPoint mid(vp->width() / 2, vp->height() / 2);
  const int h0 = p->horizontalScrollBar()->value(), v0 = p->verticalScrollBar()->value();
  Drag(vp, Qt::RightButton, mid, mid + QPoint(-20, -10));
  EXPECT_EQ(p->horizontalScrollBar()->value(), h0 + 40);  // twice the mouse
  EXPECT_EQ(p->verticalScrollBar()->value(), v0 + 20);
  int popups = 0;
  p->Tools()->PopupHook = [&popups](QPoint) { ++popups; };
  QTest::mouseClick(vp, Qt::RightButton, {}, mid);
  EXPECT_EQ(popups, 1);
  const bool nav = p->NavigatorShown();
  QTest::mouseClick(vp, Qt::MiddleButton, {}, mid);
  EXPECT_NE(p->NavigatorShown(), nav);
  // Middle drag up by 10 pixels from 100 %: code 1 (200 %).
  QTest::mousePress(vp, Qt::MiddleButton, {}, mid);
  QTest::mouseMove(vp, mid + QPoint(0, -5));
  QTest::mouseMove(vp, mid + QPoint(0, -10));
  QTest::mouseRelease(vp, Qt::MiddleButton, {}, mid + QPoint(0, -10));
  EXPECT_EQ(c->ZoomCode(), 1);
}

TEST_F(Tools, MaskToolsFillMoveAndClear) {
  TFormChild* c = Open();
  ASSERT_TRUE(c);
  c->SetZoom(0);
  TImagePanel* p = c->Panel();
  QWidget* vp = p->viewport();
  TAstroDocument& doc = c->Document();
  MouseTools().MouseMode = TMouseToolSettings::kMask;
  MouseTools().MaskTool = 2;
  const int32_t x0 = p->horizontalScrollBar()->value() + 40, y0 = 1599 - p->verticalScrollBar()->value() - 200;
  // A triangle clicked vertex by vertex, closed with the right button.
  for (QPoint d : {QPoint(0, 0), QPoint(60, 0), QPoint(0, 60)}) QTest::mouseClick(vp, Qt::LeftButton, {}, At(p, x0 + d.x(), y0 + d.y()));
  QTest::mouseMove(vp, At(p, x0 + 30, y0 + 30));
  EXPECT_EQ(Main->StatusText(1), "Points = 3   (right click to finish)");
  QTest::mouseClick(vp, Qt::RightButton, {}, At(p, x0, y0 + 60));
  EXPECT_EQ(p->Tools()->Tool(), nullptr);
  const TAMask& mask = *doc.Image().Mask;
  ASSERT_TRUE(mask.HasStorage());
  EXPECT_EQ(mask.Weight(x0 + 10, y0 + 10), 65535);
  EXPECT_EQ(mask.Weight(x0 + 50, y0 + 50), 0);
  // Move tool: drag inside the mask.
  MouseTools().MaskTool = 5;
  Drag(vp, Qt::LeftButton, At(p, x0 + 10, y0 + 10), At(p, x0 + 20, y0 + 10));
  EXPECT_EQ(mask.Weight(x0 + 5, y0 + 1), 0);
  EXPECT_EQ(mask.Weight(x0 + 15, y0 + 1), 65535);
  // A path closed by a double click on its only vertex clears the mask.
  MouseTools().MaskTool = 2;
  const QPoint q = At(p, x0 + 100, y0 + 100);
  QTest::mousePress(vp, Qt::LeftButton, {}, q);
  QTest::mouseRelease(vp, Qt::LeftButton, {}, q);
  QTest::mousePress(vp, Qt::LeftButton, {}, q);
  QTest::mouseRelease(vp, Qt::LeftButton, {}, q);
  EXPECT_EQ(p->Tools()->Tool(), nullptr);
  EXPECT_EQ(mask.Weight(x0 + 15, y0 + 1), 0);
  // Rectangle in mask mode goes into the mask.
  MouseTools().MaskTool = 0;
  Drag(vp, Qt::LeftButton, At(p, x0, y0), At(p, x0 + 30, y0 + 30));
  EXPECT_EQ(doc.SelectionKind(), 0);
  EXPECT_EQ(mask.Weight(x0 + 15, y0 + 15), 65535);
}

TEST_F(Tools, MarginClicksDoNothingAndClosingEndsTheTool) {
  TFormChild* c = Open();
  ASSERT_TRUE(c);
  c->SetZoom(-900);  // a tiny image in the middle of the panel
  TImagePanel* p = c->Panel();
  QWidget* vp = p->viewport();
  QTest::mousePress(vp, Qt::LeftButton, {}, QPoint(2, 2));
  EXPECT_EQ(p->Tools()->Tool(), nullptr);
  QTest::mouseRelease(vp, Qt::LeftButton, {}, QPoint(2, 2));
  // A right press starts a pan; closing the document mid-gesture frees the tool first.
  QTest::mousePress(vp, Qt::RightButton, {}, QPoint(20, 20));
  ASSERT_NE(p->Tools()->Tool(), nullptr);
  c->Document().Close();
  QApplication::processEvents();
  EXPECT_TRUE(Main->ImageWindows().empty());
}


// ============================================================================ operation windows

// Stops at the first reported row, as a user pressing "Stop" would.
TEST_F(Tools, MaskBrushPaintsAndErases) {
  TFormChild* c = Open();
  ASSERT_TRUE(c);
  c->SetZoom(0);
  TImagePanel* p = c->Panel();
  QWidget* vp = p->viewport();
  TAstroDocument& doc = c->Document();
  MouseTools().MouseMode = TMouseToolSettings::kMask;
  MouseTools().MaskTool = 6;
  MouseTools().BrushSize = 10;
  const int32_t x0 = p->horizontalScrollBar()->value() + 50, y0 = 1599 - p->verticalScrollBar()->value() - 100;
  Drag(vp, Qt::LeftButton, At(p, x0, y0), At(p, x0 + 60, y0));
  const TAMask& mask = *doc.Image().Mask;
  ASSERT_TRUE(mask.HasStorage());
  for (int32_t x : {x0, x0 + 30, x0 + 60}) EXPECT_EQ(mask.Weight(x, y0), 65535) << x;
  EXPECT_EQ(mask.Weight(x0 + 30, y0 + 8), 0);  // beyond the radius of 5
  MouseTools().BrushErase = true;
  QTest::mouseClick(vp, Qt::LeftButton, {}, At(p, x0 + 30, y0));
  EXPECT_EQ(mask.Weight(x0 + 30, y0), 0);
  EXPECT_EQ(mask.Weight(x0, y0), 65535);
  MouseTools().BrushErase = false;
}

TEST_F(Tools, AnnotateToolMovesTheAnnotationBody) {
  TFormChild* c = Open();
  ASSERT_TRUE(c);
  c->SetZoom(0);
  TAstroDocument& doc = c->Document();
  TImagePanel* p = c->Panel();
  const int32_t cx = p->horizontalScrollBar()->value() + 300, cy = 1599 - p->verticalScrollBar()->value() - 200;
  auto made = std::make_unique<TAnnotation>();
  made->X1 = cx - 40;
  made->X2 = cx + 40;
  made->Y1 = cy - 20;
  made->Y2 = cy + 20;
  TAnnotation& cur = doc.Annotations.Add(std::move(made));
  MouseTools().MouseMode = TMouseToolSettings::kAnnotate;
  const int32_t x1 = cur.X1, y1 = cur.Y1;
  Drag(p->viewport(), Qt::LeftButton, At(p, cur.CentreX(), cur.CentreY()),
       At(p, cur.CentreX() + 20, cur.CentreY() - 10));
  EXPECT_EQ(cur.X1, x1 + 20);
  EXPECT_EQ(cur.Y1, y1 - 10);
}

TEST_F(Tools, AutoScrollCtrlPanEscapeAndCurvePoints) {
  TFormChild* a = Open();
  TFormChild* b = Open();
  ASSERT_TRUE(a && b);
  a->SetZoom(0);
  b->SetZoom(0);
  TImagePanel* p = b->Panel();
  QWidget* vp = p->viewport();
  // A rectangle dragged past the right and the top edges scrolls the view both ways.
  p->horizontalScrollBar()->setValue(200);
  p->verticalScrollBar()->setValue(200);
  const int h0 = p->horizontalScrollBar()->value(), v0 = p->verticalScrollBar()->value();
  QTest::mousePress(vp, Qt::LeftButton, {}, QPoint(100, 100));
  QTest::mouseMove(vp, QPoint(vp->width() + 60, -60));
  QTest::qWait(200);
  QTest::mouseRelease(vp, Qt::LeftButton, {}, QPoint(vp->width() + 60, -60));
  EXPECT_GT(p->horizontalScrollBar()->value(), h0);
  EXPECT_LT(p->verticalScrollBar()->value(), v0);
  b->Document().SetSelectionKind(0);
  // Ctrl+right drag: the other window of the same size scrolls along.
  const QPoint mid(vp->width() / 2, vp->height() / 2);
  QTest::mousePress(vp, Qt::RightButton, Qt::ControlModifier, mid);
  // QTest moves carry no modifiers: a real move with Ctrl and the button held.
  QMouseEvent move(QEvent::MouseMove, QPointF(mid + QPoint(-15, -5)), QPointF(vp->mapToGlobal(mid + QPoint(-15, -5))),
                   Qt::NoButton, Qt::RightButton, Qt::ControlModifier);
  QApplication::sendEvent(vp, &move);
  QTest::mouseRelease(vp, Qt::RightButton, Qt::ControlModifier, mid + QPoint(-15, -5));
  EXPECT_EQ(a->Panel()->horizontalScrollBar()->value(), p->horizontalScrollBar()->value());
  EXPECT_EQ(a->Panel()->verticalScrollBar()->value(), p->verticalScrollBar()->value());

  // Escape in the header window's editor rolls it up.
  TFormHeader* h = TFormHeader::ShowHeaderWindow(Main.get(), &b->Document());
  QTest::keyClick(h->Memo(), Qt::Key_Escape);
  EXPECT_TRUE(h->RolledUp());

  // A curve point dragged upwards raises its Y.
  TFormHistoChild* hw = TFormHistoChild::ShowHistogramWindow(Main.get(), &b->Document());
  hw->resize(500, 340);
  QApplication::processEvents();
  hw->ChooseSpecial(kTransferCurve);
  THistoPanel* panel = hw->Panel();
  panel->Recount();
  const TTransferCurve before = b->Document().Image().Visu.Curve;
  // The marker of point 0: the first column whose value exceeds the point's value.
  const TImageVisu& v = b->Document().Image().Visu;
  const double at = v.Low + double(v.Curve.X[0]) * (double(v.High) - v.Low);
  int32_t col = -1;
  for (int32_t c = 1; c <= panel->width() - 2 && col < 0; ++c)
    if (panel->Model.ColumnValue(c, panel->width()) > at) col = c;
  ASSERT_GT(col, 0);
  const int32_t row = CurveRow(DisplayLevel(v, panel->Model.ColumnValue(col, panel->width())), panel->height());
  Drag(panel, Qt::LeftButton, QPoint(col, row), QPoint(col, row - 30));
  EXPECT_GT(b->Document().Image().Visu.Curve.Y[0], before.Y[0]);
  EXPECT_EQ(b->Document().Image().Visu.TransferType, kTransferCurve);
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  std::setlocale(LC_NUMERIC, "C");
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
