// The command layer on the offscreen platform: commands run on documents, the live-window
// guard, ask dialogs that refuse invalid values, clipboards, walks that survive closing
// windows, masks from files and the menus built from the operation registry.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QFile>
#include <QImage>
#include <QLineEdit>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTest>

#include <clocale>
#include <cmath>
#include <memory>
#include <set>

#include "QVMaster.h"
#include "formats/LoadStatus.h"
#include "formats/uClipboard.h"
#include "fAsk.h"
#include "fChild.h"
#include "fMain.h"
#include "fSplash.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"
#include "processing/uMacro.h"
#include "visual/ImaVisu.h"

using namespace orlu;

namespace {

class Master : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Dir.isValid());
    Options() = TQVOptions();
    Options().File.Autozoom = false;
    Main = std::make_unique<TFormMain>(Dir.filePath("config"));
    Main->MessageHook = [this](TMessageKind, const std::string& caption, const std::string& text) {
      Messages.push_back(caption + "|" + text);
    };
    Main->ConfirmHook = [this](const std::string& caption, const std::string& text) {
      Messages.push_back("?" + caption + "|" + text);
      return ConfirmAnswer;
    };
    Main->CloseQuestionHook = [this](TAstroDocument&, bool) {
      ++Questions;
      return TCloseAnswer::DontSave;
    };
    Main->resize(1000, 700);
    Main->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Main.get()));
    M = &Main->Master();
  }

  void TearDown() override {
    TAskDialog::Hook = nullptr;
    Main.reset();
    Options() = TQVOptions();
  }

  // A w × h document whose pixel (x, y) holds x + 100 y.
  TAstroDocument* NewRamp(int32_t w, int32_t h) {
    TAstroDocument* d = M->Image->New(w, h, false);
    if (!d) return nullptr;
    TBWImage& p = *d->Image().MainPlane;
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) p.Data[y * w + x] = float(x + 100 * y);
    d->RefreshStats();
    QApplication::processEvents();
    return d;
  }

  void Settle() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QApplication::processEvents();
  }

  QTemporaryDir Dir;
  std::unique_ptr<TFormMain> Main;
  TQVMaster* M = nullptr;
  std::vector<std::string> Messages;
  bool ConfirmAnswer = true;
  int Questions = 0;
};

TEST_F(Master, WithoutAnImageEveryImageCommandDoesNothing) {
  EXPECT_EQ(M->ActiveDocument(), nullptr);
  TAstroDocument* none = nullptr;
  EXPECT_FALSE(M->ResolveDocument(none));
  M->Image->UndoRedo(nullptr);
  M->Image->DataFormat(nullptr, 'T');
  EXPECT_EQ(M->Image->RunFilter(nullptr, 31), TFilterStatus::Refused);
  M->Image->Copy(nullptr);
  M->Image->Crop(nullptr);
  M->Image->DeleteAstrometry(nullptr);
  M->Annotation->DeleteAll(nullptr);
  EXPECT_TRUE(M->Image->Clipboard().Empty());
  EXPECT_TRUE(Messages.empty());
  EXPECT_EQ(M->ImageWindowCount(), 0);
}

TEST_F(Master, NewAsksTheSizeAndKind) {
  TAskDialog::Hook = [](TAskDialog& dlg) {
    auto& a = dynamic_cast<TAskManyf&>(dlg);
    EXPECT_EQ(a.windowTitle(), "Image size ?");
    a.Eds[0]->setText("30001");  // beyond the limit
    EXPECT_FALSE(a.TryAccept());
    a.Eds[0]->setText("64");
    a.Eds[1]->setText("32");
    a.CB->setChecked(true);
    return a.TryAccept();
  };
  M->Image->NewAsked();
  TAstroDocument* d = M->ActiveDocument();
  ASSERT_TRUE(d);
  EXPECT_EQ(d->Width(), 64);
  EXPECT_EQ(d->Height(), 32);
  EXPECT_TRUE(d->IsColour());
  EXPECT_EQ(d->Image().Visu.High, 65535);
  EXPECT_EQ(d->Image().Value(10, 10), 0.0f);
}

TEST_F(Master, DocumentResolutionKeepsAGivenDocument) {
  TAstroDocument* a = NewRamp(20, 10);
  TAstroDocument* b = NewRamp(30, 10);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(M->ActiveDocument(), b);
  TAstroDocument* d = a;
  EXPECT_TRUE(M->ResolveDocument(d));
  EXPECT_EQ(d, a);
  d = nullptr;
  EXPECT_TRUE(M->ResolveDocument(d));
  EXPECT_EQ(d, b);
  EXPECT_EQ(M->ActiveCalibratedDocument(), nullptr);  // no solution
  // A command given a document acts on it, not on the active one.
  M->Image->RunFilter(a, 31);
  EXPECT_EQ(a->Image().MainPlane->Data[0], 19.0f);
  EXPECT_EQ(b->Image().MainPlane->Data[0], 0.0f);
}

TEST_F(Master, DataFormatAndUndo) {
  TAstroDocument* d = NewRamp(8, 6);
  ASSERT_TRUE(d);
  const int32_t entries = d->Image().History.Count();
  // The kind the image already has: no snapshot, no entry.
  M->Image->DataFormat(nullptr, 'S');
  M->Image->DataFormat(nullptr, 'U');
  EXPECT_EQ(d->Image().History.Count(), entries);
  EXPECT_FALSE(d->CanUndo());
  M->Image->DataFormat(nullptr, 'T');
  EXPECT_TRUE(d->IsColour());
  ASSERT_EQ(d->Image().History.Count(), entries + 1);
  EXPECT_EQ(d->Image().History.Item(entries)->Code, 'T');
  EXPECT_TRUE(d->IsModified());
  M->Image->UndoRedo(nullptr);
  EXPECT_FALSE(d->IsColour());
  M->Image->UndoRedo(nullptr);  // redo names the step in the status line
  EXPECT_TRUE(d->IsColour());
  EXPECT_EQ(Main->StatusText(2).toStdString(), "Format Color");
}

TEST_F(Master, UndoListNamesTheStepsAndGoesBackSeveral) {
  Options().Misc.UndoLevels64 = 5;
  TAstroDocument* d = NewRamp(5, 3);
  ASSERT_TRUE(d);
  M->Image->RunFilter(nullptr, 31);
  M->Image->RunFilter(nullptr, 32);
  M->Image->DataFormat(nullptr, 'T');
  EXPECT_EQ(UndoLevelNames(*d),
            (std::vector<std::string>{"Format Color", "Flip vertical", "Flip horizontal"}));
  std::vector<std::string> shown;
  M->Image->UndoListHook = [&shown](const std::vector<std::string>& lines) {
    shown = lines;
    return 2;
  };
  M->Image->UndoList(nullptr);
  EXPECT_EQ(shown.size(), 3u);
  // Back to the state after the horizontal flip.
  EXPECT_FALSE(d->IsColour());
  EXPECT_EQ(d->Image().Value(0, 0), 4.0f);
  EXPECT_TRUE(Messages.empty());
  // With one level the notice comes once per run.
  Options().Misc.UndoLevels64 = 1;
  M->Image->UndoListHook = [](const std::vector<std::string>&) { return 0; };
  M->Image->UndoList(nullptr);
  M->Image->UndoList(nullptr);
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0], "Undo levels|Multi-level undo is not enabled, see Options.");
}

TEST_F(Master, FilterCommandsRunThroughTheRegistry) {
  TAstroDocument* d = NewRamp(5, 3);
  ASSERT_TRUE(d);
  EXPECT_EQ(M->Image->RunFilter(nullptr, 31), TFilterStatus::Done);  // flip horizontal
  for (int32_t x = 0; x < 5; ++x) EXPECT_EQ(d->Image().MainPlane->Data[x], float(4 - x));
  // A step with parameters asks them in the parameter dialog.
  TAskDialog::Hook = [](TAskDialog& dlg) {
    auto& p = dynamic_cast<TAskParams&>(dlg);
    p.Eds[0]->setText("10");
    return p.TryAccept();
  };
  EXPECT_EQ(M->Image->RunFilter(nullptr, 0), TFilterStatus::Done);  // add constant
  EXPECT_EQ(d->Image().MainPlane->Data[0], 14.0f);
  // Cancelled: nothing changes.
  TAskDialog::Hook = [](TAskDialog&) { return false; };
  EXPECT_EQ(M->Image->RunFilter(nullptr, 0), TFilterStatus::Cancelled);
  EXPECT_EQ(d->Image().MainPlane->Data[0], 14.0f);
  // A step with a text: the FITS keyword.
  TAskDialog::Hook = [](TAskDialog& dlg) {
    auto& p = dynamic_cast<TAskParams&>(dlg);
    EXPECT_TRUE(p.Eds.empty());
    p.TextEdit->setText("OBSERVER= 'Someone'");
    return p.TryAccept();
  };
  EXPECT_EQ(M->Image->RunFilter(nullptr, 6), TFilterStatus::Done);
  EXPECT_EQ(d->Image().Header.GetString("OBSERVER"), "Someone");
}

TEST_F(Master, MacroAndHistoryFilesReplayAsOneUndoStep) {
  TAstroDocument* d = NewRamp(5, 3);
  ASSERT_TRUE(d);
  TMacroPage page;
  page.Name = "m";
  page.Add(TIPFilter(31));
  TIPFilter add(0);
  add.SetParam(1, 10);
  page.Add(add);
  const std::string path = Dir.filePath("steps.mac").toStdString();
  std::string error;
  ASSERT_TRUE(SaveMacroFile(page, path, error)) << error;
  M->Image->ApplyStepsFile(nullptr, path);
  EXPECT_EQ(d->Image().Value(0, 0), 14.0f);
  const int32_t entries = d->Image().History.Count();
  ASSERT_GE(entries, 2);
  EXPECT_TRUE(d->Image().History.Item(entries - 1)->FromMacro);
  // The history of the result replays the same on another image.
  const std::string his = Dir.filePath("steps.his").toStdString();
  ASSERT_TRUE(d->Image().History.SaveToFile(his, error)) << error;
  TAstroDocument* e = NewRamp(5, 3);
  M->Image->ApplyStepsFile(e, his);
  EXPECT_EQ(e->Image().Value(0, 0), 14.0f);
  // One undo step for the whole replay.
  M->Image->UndoRedo(d);
  EXPECT_EQ(d->Image().Value(0, 0), 0.0f);
  // A file that is neither: the error box, nothing changed.
  M->Image->ApplyStepsFile(e, Dir.filePath("missing.his").toStdString());
  ASSERT_FALSE(Messages.empty());
  EXPECT_EQ(e->Image().Value(0, 0), 14.0f);
}

TEST_F(Master, ALiveFilterWindowBlocksPixelCommands) {
  TAstroDocument* d = NewRamp(5, 3);
  ASSERT_TRUE(d);
  const TFilterContext ctx = M->Context();
  {
    TLiveFilter live(*d, ctx);
    ASSERT_TRUE(M->LiveFilterOpen());
    const int32_t entries = d->Image().History.Count();
    EXPECT_EQ(M->Image->RunFilter(nullptr, 31), TFilterStatus::Refused);
    M->Image->DataFormat(nullptr, 'T');
    M->Image->Normalization(nullptr, 1000);
    EXPECT_FALSE(d->IsColour());
    EXPECT_EQ(d->Image().MainPlane->Data[1], 1.0f);
    EXPECT_EQ(d->Image().History.Count(), entries);
  }
  EXPECT_FALSE(M->LiveFilterOpen());
}

TEST_F(Master, AskOneValueNeverAcceptsAnInvalidOne) {
  TAsk1f& ask = M->Ask1();
  ask.Setup("Frame", "", false, TAskField{true, 1, 1, 9999, 1});
  EXPECT_EQ(ask.Ed1->text(), "1");
  ask.Ed1->setText("abc");
  EXPECT_FALSE(ask.TryAccept());
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0], "Frame|\rIncorrect value");
  // A second OK on the same text is refused again.
  EXPECT_FALSE(ask.TryAccept());
  ask.Ed1->setText("10000");
  EXPECT_FALSE(ask.TryAccept());
  ask.Ed1->setText("12");
  EXPECT_TRUE(ask.TryAccept());
  EXPECT_EQ(ask.IntValue(), 12);
  // Remembered for the same prompt.
  ask.Setup("Frame", "", true, TAskField{true, 1, 1, 9999, 1});
  EXPECT_EQ(ask.Ed1->text(), "12");
  ask.Setup("Other", "", true, TAskField{true, 1, 1, 9999, 1});
  EXPECT_EQ(ask.Ed1->text(), "1");
}

TEST_F(Master, AskTwoValuesWarnsAndAsksManyChecksItsFieldCount) {
  TAsk2f& ask = M->Ask2();
  ask.Setup("X , Y ?", false, TAskField{true, 1, 5, 10, 0}, TAskField{true, 1, 5, 10, 0});
  ask.Ed2->setText("11");
  EXPECT_FALSE(ask.TryAccept());
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0], "OrluFV|Incorrect value");
  ask.Ed2->setText("3");
  EXPECT_TRUE(ask.TryAccept());
  EXPECT_EQ(ask.IntValue1(), 5);
  EXPECT_EQ(ask.IntValue2(), 3);
  // With a check box instead of the second edit.
  ask.Setup("Binning ?", false, TAskField{true, 1, 2, 8, 1}, TAskField{true, 1, 1, 1, 0}, "Average");
  EXPECT_TRUE(ask.CB2->isChecked());
  ask.CB2->setChecked(false);
  EXPECT_TRUE(ask.TryAccept());
  EXPECT_EQ(ask.Value2(), 0);

  TAskManyf& many = M->AskMany();
  EXPECT_THROW(many.Setup("c", {"X"}, {TAskField{}}, 10, 10), std::exception);
  EXPECT_THROW(many.Setup("c", {}, std::vector<TAskField>(7), 10, 10), std::exception);
  // X and Y default to the image centre when both are 0; an angle takes −360 … 360.
  many.Setup("c", {"X", "Y", "Angle"}, std::vector<TAskField>(3), 101, 51);
  EXPECT_EQ(many.Eds[0]->text(), "50");
  EXPECT_EQ(many.Eds[1]->text(), "25");
  many.Eds[2]->setText("400");
  EXPECT_FALSE(many.TryAccept());
  many.Eds[2]->setText("-12.5");
  EXPECT_TRUE(many.TryAccept());
  EXPECT_EQ(many.Values()[2], -12.5);
}

TEST_F(Master, CoordinateAnswersNeedASign) {
  TAskStr& ask = M->AskStr();
  ask.Setup("Coordinates RA/DEC ?", "", false, true);
  EXPECT_FALSE(ask.OkEnabled());
  ask.Ed1->setText("10 41 12 +41 16 09");
  EXPECT_TRUE(ask.OkEnabled());
  ask.Ed1->setText("10 41 12 41 16 09");
  EXPECT_FALSE(ask.OkEnabled());
  EXPECT_FALSE(ask.TryAccept());
  EXPECT_TRUE(IsCoordinateAnswer("10:41:12 -41:16:09"));
  EXPECT_FALSE(IsCoordinateAnswer("-"));
}

TEST_F(Master, NormalizationRefusesZero) {
  TAstroDocument* d = NewRamp(6, 4);
  ASSERT_TRUE(d);
  // The stretch maps the view range onto 0 … value.
  ApplyMinMaxRange(d->Image());
  int asked = 0;
  TAskDialog::Hook = [&asked](TAskDialog& dlg) {
    auto& a = dynamic_cast<TAsk1f&>(dlg);
    ++asked;
    a.Ed1->setText("0");
    EXPECT_FALSE(a.TryAccept());
    a.Ed1->setText("1000");
    return a.TryAccept();
  };
  M->Image->Normalization(nullptr, 0);
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(Options().Filter.Normalization, 1000);
  d->Image().RefreshMinMax();
  EXPECT_NEAR(d->Image().DataMax, 1000, 1);
  EXPECT_TRUE(d->CanUndo());
  // The parameter dialog of the step refuses 0 as well.
  TAskParams& params = M->Params();
  TAskDialog::Hook = [](TAskDialog& dlg) {
    auto& p = dynamic_cast<TAskParams&>(dlg);
    p.Eds[0]->setText("0");
    return p.TryAccept();
  };
  std::vector<double> values{65535};
  std::string text;
  std::unique_ptr<TParamDialog> dialog = DialogFor(102, FilterRegistry());
  ASSERT_TRUE(dialog);
  EXPECT_FALSE(params.Ask(*dialog, values, text));
}

TEST_F(Master, CopyPasteAndTheExplicitEmptyClipboard) {
  TAstroDocument* d = NewRamp(40, 30);
  ASSERT_TRUE(d);
  d->SelectRect(5, 4, 14, 9);
  M->Image->Copy(nullptr);
  const TAImage* clip = M->Image->Clipboard().Image();
  ASSERT_TRUE(clip);
  EXPECT_EQ(clip->Width(), 10);
  EXPECT_EQ(clip->Height(), 6);
  EXPECT_EQ(clip->Value(0, 0), float(5 + 100 * 4));
  // The system clipboard holds the picture of the same area, marked as this program's own.
  const QImage picture = QApplication::clipboard()->image();
  EXPECT_EQ(picture.size(), QSize(10, 6));
  EXPECT_FALSE(M->Image->ForeignClipboardImage());
  EXPECT_TRUE(M->Image->CanPaste());
  EXPECT_EQ(Main->StatusText(1), "Copy to the clipboard");
  TAstroDocument* pasted = M->Image->PasteAsNew();
  ASSERT_TRUE(pasted);
  EXPECT_EQ(pasted->Width(), 10);
  EXPECT_EQ(pasted->Image().Value(9, 5), float(14 + 100 * 9));

  // Paste into the selection of the first image, centred on it.
  Main->Activate(*M->WindowOf(d));
  d->SelectRect(20, 20, 29, 25);
  M->Image->PasteIntoSelection(d);
  // The 10 × 6 copy fills the 10 × 6 selection exactly.
  EXPECT_EQ(d->Image().Value(20, 20), float(5 + 100 * 4));
  EXPECT_EQ(d->Image().Value(29, 25), float(14 + 100 * 9));
  EXPECT_EQ(d->Image().Value(30, 25), float(30 + 100 * 25));
  const THistoryItem* last = d->Image().History.Item(d->Image().History.Count() - 1);
  ASSERT_TRUE(last);
  EXPECT_EQ(last->Text, "24,22");

  M->Image->EmptyClipboard();
  EXPECT_TRUE(M->Image->Clipboard().Empty());
  EXPECT_FALSE(M->Image->CanPaste());
  EXPECT_EQ(M->Image->PasteAsNew(), nullptr);
}

TEST_F(Master, AForeignClipboardPictureIsPastedAsAColourImage) {
  QImage pic(4, 3, QImage::Format_RGB32);
  pic.fill(QColor(10, 20, 30));
  pic.setPixel(0, 0, qRgb(200, 100, 50));  // top-left: the top row of the image
  QApplication::clipboard()->setImage(pic);
  EXPECT_TRUE(M->Image->ForeignClipboardImage());
  TAstroDocument* d = M->Image->PasteAsNew();
  ASSERT_TRUE(d);
  ASSERT_TRUE(d->IsColour());
  EXPECT_EQ(d->Width(), 4);
  EXPECT_EQ(d->FileName(), "Clipboard_.bmp");
  float r = 0, g = 0, b = 0;
  d->Image().GetRGB(0, 2, r, g, b);
  EXPECT_EQ(r, 200.0f);
  EXPECT_EQ(g, 100.0f);
  EXPECT_EQ(b, 50.0f);
  d->Image().GetRGB(3, 0, r, g, b);
  EXPECT_EQ(b, 30.0f);
}

// The clipboard loader decides the kind: a picture whose pixels are all grey is a grey
// image, and the pseudo file of the dispatch reads the same clipboard.
TEST_F(Master, AGreyClipboardPictureIsPastedAsAGreyImage) {
  QImage pic(5, 2, QImage::Format_RGB32);
  pic.fill(QColor(40, 40, 40));
  pic.setPixel(4, 1, qRgb(90, 90, 90));  // bottom-right
  QApplication::clipboard()->setImage(pic);
  TAstroDocument* d = M->Image->PasteAsNew();
  ASSERT_TRUE(d);
  EXPECT_FALSE(d->IsColour());
  EXPECT_EQ(d->Image().Value(4, 0), 90.0f);
  EXPECT_EQ(d->Image().Value(0, 1), 40.0f);

  TAImage viaDispatch;
  LoadClipboard("Clipboard_.bmp", viaDispatch);
  ASSERT_TRUE(LoadSucceeded(viaDispatch.Status));
  EXPECT_EQ(viaDispatch.Width(), 5);
  EXPECT_FALSE(viaDispatch.IsColour());
}

TEST_F(Master, PasteIntoSelectionNeedsASelection) {
  NewRamp(10, 10);
  M->Image->Copy(nullptr);
  M->Image->PasteIntoSelection(nullptr);
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0], "Paste|A selection is required for this operation");
}

TEST_F(Master, CloseAllWalksOverWindowsThatCloseMeanwhile) {
  for (int i = 0; i < 3; ++i) {
    TAstroDocument* d = NewRamp(10 + i, 10);
    ASSERT_TRUE(d);
    d->SetModified();
  }
  ConfirmAnswer = false;
  EXPECT_FALSE(M->Images->CloseAll(false));
  EXPECT_EQ(M->ImageWindowCount(), 3);
  ConfirmAnswer = true;
  EXPECT_TRUE(M->Images->CloseAll(false));
  Settle();
  EXPECT_EQ(M->ImageWindowCount(), 0);
  EXPECT_EQ(Questions, 0);  // no save question for any of them
  ASSERT_FALSE(Messages.empty());
  EXPECT_EQ(Messages.back(), "?Confirm|Close all images ?");

  // "Close all and save": every modified window asks its own question.
  for (int i = 0; i < 2; ++i) NewRamp(10, 10)->SetModified();
  Messages.clear();
  EXPECT_TRUE(M->Images->CloseAll(true));
  Settle();
  EXPECT_TRUE(Messages.empty());
  EXPECT_EQ(Questions, 2);
  EXPECT_EQ(M->ImageWindowCount(), 0);
}

TEST_F(Master, AWalkSurvivesItsOwnClosing) {
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(NewRamp(10, 10));
  int visited = 0;
  M->Images->Collect();
  while (M->Images->Next()) {
    ++visited;
    // The first step closes every other window.
    if (visited == 1)
      for (TFormChild* c : Main->ImageWindows())
        if (c != M->Images->CurrentWindow()) {
          c->SetClosing();
          c->SubWindow()->close();
        }
    Settle();
  }
  EXPECT_EQ(visited, 1);
}

TEST_F(Master, TwoImageCommandsNeedTwoImages) {
  TAstroDocument* a = NewRamp(10, 10);
  EXPECT_EQ(M->Images->ChooseSecond(a, "Merge"), nullptr);
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0], "Merge|Two images are required for this operation");
  TAstroDocument* b = NewRamp(10, 10);
  // With exactly two, the other one is taken without asking.
  M->Images->ChooserHook = [](const std::string&, const std::vector<TAstroDocument*>&) {
    ADD_FAILURE() << "asked";
    return nullptr;
  };
  EXPECT_EQ(M->Images->ChooseSecond(a, "Merge"), b);
  EXPECT_EQ(M->ActiveDocument(), a);
  TAstroDocument* c = NewRamp(10, 10);
  M->Images->ChooserHook = [c](const std::string&, const std::vector<TAstroDocument*>& list) {
    EXPECT_EQ(list.size(), 2u);
    return c;
  };
  EXPECT_EQ(M->Images->ChooseSecond(a, "Merge"), c);
}

TEST_F(Master, AMaskFileOfAnotherSizeIsResampled) {
  TAstroDocument* d = NewRamp(40, 20);
  ASSERT_TRUE(d);
  // A 20 × 10 8-bit picture, white: the whole image becomes selected.
  QImage pic(20, 10, QImage::Format_Grayscale8);
  pic.fill(255);
  const QString path = Dir.filePath("mask.png");
  ASSERT_TRUE(pic.save(path));
  ASSERT_TRUE(M->Mask->LoadFromFile(nullptr, path.toStdString()));
  const TAMask& mask = *d->Image().Mask;
  ASSERT_EQ(mask.Width, 40);
  ASSERT_EQ(mask.Height, 20);
  ASSERT_TRUE(mask.HasStorage());
  // 255 is scaled by 257 to the full weight.
  EXPECT_EQ(mask.Weight(0, 0), 65535);
  EXPECT_EQ(mask.Weight(39, 19), 65535);
  M->Mask->Reset(nullptr);
  EXPECT_FALSE(d->Image().Mask->HasStorage());
  EXPECT_FALSE(M->Mask->LoadFromFile(nullptr, Dir.filePath("missing.png").toStdString()));
}

TEST_F(Master, RenameAndHeaderComment) {
  TAstroDocument* d = NewRamp(10, 10);
  ASSERT_TRUE(d);
  TAskDialog::Hook = [](TAskDialog& dlg) {
    auto& a = dynamic_cast<TAskStr&>(dlg);
    a.Ed1->setText(" m31/core. ");
    return a.TryAccept();
  };
  M->Image->Rename(nullptr);
  EXPECT_EQ(d->FileNamePart(), "m31_core.fit");
  EXPECT_NE(M->WindowOf(d)->SubWindow()->windowTitle().indexOf("m31_core.fit"), -1);
  TAskDialog::Hook = [](TAskDialog& dlg) {
    auto& a = dynamic_cast<TAskStr&>(dlg);
    a.Ed1->setText(std::string(100, 'x').c_str());
    return a.TryAccept();
  };
  M->Image->HeaderComment(nullptr);
  const TFitsStrings& h = d->Image().Header;
  const int i = h.IndexOf("COMMENT " + std::string(72, 'x'));
  EXPECT_GE(i, 0);
  EXPECT_TRUE(d->IsModified());
}

TEST_F(Master, DeleteAstrometryNeedsASolution) {
  NewRamp(10, 10);
  M->Image->DeleteAstrometry(nullptr);
  M->Image->DeletePhotometry(nullptr);
  ASSERT_EQ(Messages.size(), 2u);
  EXPECT_EQ(Messages[0], "Astrometry|The image is not calibrated");
  EXPECT_EQ(Messages[1], "Photometry|The image is not calibrated");
}

// Each deletion is one undoable step with its own history kind, and leaves the other.
TEST_F(Master, DeletingACalibrationIsOneUndoableStep) {
  TAstroDocument* d = NewRamp(10, 10);
  ASSERT_TRUE(d);
  for (const bool astrometry : {true, false}) {
    d->Image().HasWcs = 1;
    d->Image().HasPoly = 1;
    const int32_t before = d->Image().History.Count();
    if (astrometry)
      M->Image->DeleteAstrometry(nullptr);
    else
      M->Image->DeletePhotometry(nullptr);
    EXPECT_EQ(d->HasWcs(), !astrometry) << astrometry;
    EXPECT_EQ(d->HasPoly(), astrometry) << astrometry;
    ASSERT_EQ(d->Image().History.Count(), before + 1);
    EXPECT_EQ(d->Image().History.Item(before)->Kind, astrometry ? 25 : 26);
    ASSERT_TRUE(d->CanUndo());
    M->Image->UndoRedo(nullptr);
    EXPECT_TRUE(d->HasWcs() && d->HasPoly()) << astrometry;
  }
  EXPECT_TRUE(Messages.empty());
}

TEST_F(Master, EveryRegisteredOperationHasAnItemAndMouseModesToggle) {
  QMenu* processing = Main->Menu(TMenuId::Processing);
  std::set<int> listed;
  for (QAction* a : processing->actions())
    if (a->data().isValid()) listed.insert(a->data().toInt());
  for (int32_t code : FilterRegistry().Codes()) {
    // Codes with commands of their own (their parameters come from the command).
    static const std::set<int32_t> dedicated = {31, 32, 73, 74, 75, 81, 82, 83, 84, 85, 96, 102};
    if (!dedicated.count(code)) {
      EXPECT_TRUE(listed.count(code)) << code;
    }
  }
  // An item exactly when its operation is in this build.
  bool resizeItem = false;
  for (QMenu* m : Main->findChildren<QMenu*>())
    for (QAction* a : m->actions()) resizeItem = resizeItem || a->text().remove('&') == "Resize";
  EXPECT_EQ(resizeItem, FilterRegistry().Find(73) != nullptr);

  int changes = 0;
  QObject::connect(M, &TQVMaster::MouseModeChanged, [&changes](int32_t, int32_t) { ++changes; });
  NewRamp(10, 10);
  M->SetMouseMode(kMouseAnnotate);
  EXPECT_EQ(M->MouseMode(), kMouseAnnotate);
  M->SetMouseMode(kMouseAnnotate);
  EXPECT_EQ(M->MouseMode(), kMouseNormal);
  M->SetMouseMode(kMouseMask);
  EXPECT_TRUE(Main->MaskMode());
  EXPECT_EQ(changes, 3);
}

// The built-in operations with stand-ins for the geometric ones this build may lack, so that
// the commands' own part (parameters, size check, duplicates, the view after binning) shows.
std::unique_ptr<TFilterRegistry> GeometryRegistry() {
  auto reg = std::make_unique<TFilterRegistry>();
  RegisterFilterFamilies(*reg);
  // Binning: nearest source pixel, times the block area unless averaging.
  TFilterOperation bin;
  bin.Code = 74;
  bin.Flags = kOpNeedsUndo;
  bin.Run = [](TFilterRun& run) {
    const TAImage& src = *run.Source();
    const double s = BinningScale(run.IntParam(1, 2));
    const bool average = run.Param(2, 0) > 0.5;
    const int32_t w = int32_t(src.Width() / s), h = int32_t(src.Height() / s);
    run.Image().SetSize(w, h, src.IsColour());
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x)
        run.Image().MainPlane->Data[y * w + x] =
            float(src.Value(int32_t(x * s), int32_t(y * s)) * (average ? 1 : s * s));
    return TOpResult::Done;
  };
  reg->Register(bin);
  TFilterOperation crop;
  crop.Code = 75;
  crop.Flags = kOpNeedsUndo;
  crop.Run = [](TFilterRun& run) {
    const TAImage& src = *run.Source();
    const int32_t x1 = run.IntParam(1, 0), y1 = run.IntParam(2, 0);
    const int32_t w = run.IntParam(3, 0) - x1 + 1, h = run.IntParam(4, 0) - y1 + 1;
    run.Image().SetSize(w, h, src.IsColour());
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) run.Image().MainPlane->Data[y * w + x] = src.Value(x1 + x, y1 + y);
    return TOpResult::Done;
  };
  reg->Register(crop);
  TFilterOperation rotate;
  rotate.Code = 81;
  rotate.Flags = kOpNeedsUndo;
  rotate.Run = [](TFilterRun& run) {
    const TAImage& src = *run.Source();
    if (std::fabs(std::fabs(run.Param(1, 0)) - 90) > 1e-9) return TOpResult::Failed;
    run.Image().SetSize(src.Height(), src.Width(), src.IsColour());
    for (int32_t y = 0; y < src.Width(); ++y)
      for (int32_t x = 0; x < src.Height(); ++x)
        run.Image().MainPlane->Data[y * src.Height() + x] = src.Value(y, x);
    return TOpResult::Done;
  };
  reg->Register(rotate);
  return reg;
}

TEST_F(Master, BinningKeepsTheViewAndThePixelSize) {
  const std::unique_ptr<TFilterRegistry> reg = GeometryRegistry();
  M->Registry = reg.get();
  TAstroDocument* d = NewRamp(30, 20);
  ASSERT_TRUE(d);
  SetVisualization(d->Image(), 0, 1000, 8);
  d->Image().Header.SetReal("XPIXSZ", true, 5);
  d->Image().Header.SetReal("YPIXSZ", true, 4);
  // 1.5 × 1.5 sums 2.25 pixels' worth: the view range follows so the picture looks alike.
  M->Image->Binning(nullptr, 1);
  ASSERT_EQ(d->Width(), 20);
  ASSERT_EQ(d->Height(), 13);
  EXPECT_DOUBLE_EQ(d->Image().Visu.High, 2250);
  EXPECT_DOUBLE_EQ(d->Image().Visu.Low, 18);
  EXPECT_DOUBLE_EQ(d->Image().Header.GetReal("XPIXSZ"), 7.5);
  EXPECT_DOUBLE_EQ(d->Image().Header.GetReal("YPIXSZ"), 6);
  // The window follows the new size.
  EXPECT_EQ(M->WindowOf(d)->Panel()->ContentSize(), QSize(20, 13));
  // Asked: 1 means 1.5 × 1.5 as well; averaging keeps the view range.
  TAskDialog::Hook = [](TAskDialog& dlg) {
    auto& a = dynamic_cast<TAsk2f&>(dlg);
    a.Ed1->setText("1");
    a.CB2->setChecked(true);
    return a.TryAccept();
  };
  M->Image->Binning(nullptr, 0);
  EXPECT_EQ(d->Width(), 13);
  EXPECT_DOUBLE_EQ(d->Image().Visu.High, 2250);
  const THistoryItem* last = d->Image().History.Item(d->Image().History.Count() - 1);
  ASSERT_TRUE(last);
  EXPECT_EQ(last->Code, 74);
  EXPECT_EQ(last->Params[0], 1);
  EXPECT_EQ(last->Params[1], 1);
}

TEST_F(Master, CropAndRotationWithTheirDuplicateOptions) {
  const std::unique_ptr<TFilterRegistry> reg = GeometryRegistry();
  M->Registry = reg.get();
  TAstroDocument* d = NewRamp(30, 20);
  ASSERT_TRUE(d);
  // No selection and no mask: nothing to crop.
  M->Image->Crop(nullptr);
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0], "Crop|A selection is required for this operation");
  d->SelectRect(2, 3, 11, 7);
  Options().Image.DuplicateCrop = false;
  M->Image->Crop(nullptr);
  EXPECT_EQ(d->Width(), 10);
  EXPECT_EQ(d->Height(), 5);
  EXPECT_EQ(d->Image().Value(0, 0), float(2 + 100 * 3));
  EXPECT_EQ(M->ImageWindowCount(), 1);
  // Into a new image, the source unchanged.
  Options().Image.DuplicateRotation = true;
  M->Image->Rotate(nullptr, 90);
  ASSERT_EQ(M->ImageWindowCount(), 2);
  TAstroDocument* r = M->ActiveDocument();
  ASSERT_NE(r, d);
  EXPECT_EQ(r->Width(), 5);
  EXPECT_EQ(r->Height(), 10);
  EXPECT_EQ(d->Width(), 10);
  // An angle of 0 cancels.
  TAskDialog::Hook = [](TAskDialog& dlg) {
    auto& a = dynamic_cast<TAsk1f&>(dlg);
    a.Ed1->setText("0");
    return a.TryAccept();
  };
  M->Image->RotateAsked(r);
  EXPECT_EQ(M->ImageWindowCount(), 2);
  EXPECT_EQ(r->Width(), 5);
}

// An 8-bit monochrome SER video of 4 × 2 pixels whose frame f holds 10 f + 1 everywhere.
QByteArray SerVideo(int32_t frames) {
  QByteArray b("LUCAM-RECORDER");
  auto u32 = [&b](uint32_t v) {
    for (int i = 0; i < 4; ++i) b.append(char((v >> (8 * i)) & 0xFF));
  };
  for (uint32_t v : {0u, 0u, 0u, 4u, 2u, 8u, uint32_t(frames)}) u32(v);
  b.append(QByteArray(120 + 16, '\0'));
  for (int32_t f = 0; f < frames; ++f) b.append(QByteArray(8, char(10 * f + 1)));
  return b;
}

TEST_F(Master, OpeningAVideoAsksWhichFrame) {
  const QString path = Dir.filePath("movie.ser");
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(SerVideo(3));
  f.close();
  int asked = 0;
  TAskDialog::Hook = [&asked](TAskDialog& dlg) {
    auto& a = dynamic_cast<TAsk1f&>(dlg);
    ++asked;
    EXPECT_EQ(a.windowTitle(), "Frame");
    a.Ed1->setText("4");  // the video has 3 frames
    EXPECT_FALSE(a.TryAccept());
    a.Ed1->setText("3");
    return a.TryAccept();
  };
  Main->OpenFiles({path.toStdString(), path.toStdString()}, false, true);
  EXPECT_EQ(asked, 1);  // once for the list
  const std::vector<TFormChild*> w = Main->ImageWindows();
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(w[0]->Document().Image().Value(0, 0), 21.0f);
  EXPECT_EQ(w[1]->Document().Image().Value(3, 1), 21.0f);
  // Cancelled: nothing opens.
  TAskDialog::Hook = [](TAskDialog&) { return false; };
  Main->OpenFiles({path.toStdString()}, false, true);
  EXPECT_EQ(Main->ImageWindows().size(), 2u);
}

TEST(Splash, LoadsAtOnceAndClosesAfterItsTicks) {
  for (const bool files : {true, false}) {
    bool loaded = false, done = false;
    TFormSplash splash([&loaded] { loaded = true; }, [&done] { done = true; });
    EXPECT_TRUE(loaded);
    EXPECT_FALSE(splash.OkEnabled());
    splash.show();
    splash.MainShown(files);
    QTRY_VERIFY_WITH_TIMEOUT(splash.OkEnabled(), 10000);
    EXPECT_GE(splash.Ticks(), 3);
    QTRY_VERIFY_WITH_TIMEOUT(done, 10000);
    // Closed at the fourth tick with files waiting, else at the sixth.
    EXPECT_EQ(splash.Ticks(), files ? 4 : 6);
    EXPECT_FALSE(splash.isVisible());
    splash.Finish();  // once only
  }
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  std::setlocale(LC_NUMERIC, "C");
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
