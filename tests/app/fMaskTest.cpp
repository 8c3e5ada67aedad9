// The mask window on the active image: arrows, invert, undo/redo, tolerance, smoothing with
// OK and Cancel, mask files, and a document that closes under the window.
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QSpinBox>
#include <QToolButton>

#include <cstring>
#include <vector>

#include "OpWindowRules.h"
#include "OpWindowsFixture.h"
#include "fMask.h"
#include "options/uQuorvane.h"
#include "QVMaster.h"
#include "uDragger.h"

namespace orlu {
namespace {

std::vector<uint16_t> Weights(const TAMask& m) {
  if (!m.HasStorage()) return {};
  return std::vector<uint16_t>(m.Weights(), m.Weights() + m.Count);
}

class MaskWindow : public OpWindowTest {
 protected:
  // A 10 × 6 block at (12, 8) fully selected.
  TAMask& BlockMask(TAstroDocument& doc) {
    TAMask& m = *doc.Image().Mask;
    EXPECT_TRUE(m.EnsureStorage());
    m.DrawRectOrEllipse(12, 8, 21, 13, false, TAMask::kFull);
    m.ComputeBounds();
    return m;
  }
};

TEST_F(MaskWindow, ArrowsMoveTheActiveMaskAndUndoRedoTogglesTheEdit) {
  TAstroDocument& doc = NewDoc();
  TAMask& m = BlockMask(doc);
  const std::vector<uint16_t> before = Weights(m);
  TFormMask w(Main.get());
  ASSERT_EQ(w.Document(), &doc);
  w.PixelsEdit()->setValue(3);
  w.findChild<QToolButton*>("ArrowUp")->click();
  EXPECT_EQ(m.Weight(12, 11), TAMask::kFull);
  EXPECT_EQ(m.Weight(12, 8), 0) << "the block moved up by 3 rows";
  EXPECT_EQ(m.Weight(12, 16), TAMask::kFull);
  w.findChild<QToolButton*>("ArrowLeft")->click();
  EXPECT_EQ(m.Weight(9, 11), TAMask::kFull);
  EXPECT_EQ(m.Weight(21, 11), 0);
  // Undo/Redo exchanges with the copy taken before the last edit: twice is the edit again.
  const std::vector<uint16_t> afterLeft = Weights(m);
  w.findChild<QPushButton*>("Undo/Redo")->click();
  EXPECT_EQ(m.Weight(21, 11), TAMask::kFull) << "back to before the left move";
  w.findChild<QPushButton*>("Undo/Redo")->click();
  EXPECT_EQ(Weights(m), afterLeft);
  EXPECT_NE(Weights(m), before);
}

TEST_F(MaskWindow, InvertAndNoMaskMessages) {
  TAstroDocument& doc = NewDoc();
  TFormMask w(Main.get());
  // Arrows and smoothing need a mask in use; the user is told, nothing changes.
  w.findChild<QToolButton*>("ArrowRight")->click();
  w.SmoothClick();
  ASSERT_EQ(Messages.size(), 2u);
  EXPECT_EQ(Messages[0], "Mask|The image has no mask");
  EXPECT_FALSE(doc.Image().Mask->HasStorage());
  // Invert of an unused mask selects everything.
  w.findChild<QPushButton*>("Invert")->click();
  ASSERT_TRUE(doc.Image().Mask->HasStorage());
  EXPECT_EQ(doc.Image().Mask->Weight(0, 0), TAMask::kFull);
  EXPECT_EQ(doc.Image().Mask->Weight(39, 29), TAMask::kFull);
  w.InvertClick();
  EXPECT_EQ(doc.Image().Mask->Weight(5, 5), 0);
}

TEST_F(MaskWindow, ToleranceKeepsTheOptionOnBadInput) {
  NewDoc();
  Options().Filter.MaskTolerance = 20;
  TFormMask w(Main.get());
  EXPECT_EQ(w.ToleranceEdit()->text(), "20");
  w.ToleranceEdit()->setText("35.5");
  w.ToleranceEdited();
  EXPECT_EQ(Options().Filter.MaskTolerance, 35.5);
  w.ToleranceEdit()->setText("-4");
  w.ToleranceEdited();
  EXPECT_EQ(Options().Filter.MaskTolerance, 35.5);
  EXPECT_EQ(w.ToleranceEdit()->text(), "35.5");
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_NE(Messages[0].find("Tolerance: Invalid value \"-4\""), std::string::npos);
}

TEST_F(MaskWindow, ToolAndModeButtonsSignalTheChoice) {
  NewDoc();
  TFormMask w(Main.get());
  QSignalSpy tools(&w, &TFormMask::ToolChanged);
  QSignalSpy modes(&w, &TFormMask::ModeChanged);
  w.findChild<QPushButton*>("ToolFill")->click();
  w.findChild<QPushButton*>("ModeSubtract")->click();
  EXPECT_EQ(w.Tool(), 3);
  EXPECT_EQ(w.Mode(), TMaskMode::Subtract);
  EXPECT_EQ(tools.count(), 1);
  EXPECT_EQ(modes.count(), 1);
  EXPECT_TRUE(w.findChild<QPushButton*>("ToolFill")->isChecked());
  EXPECT_FALSE(w.findChild<QPushButton*>("ToolRectangle")->isChecked());
}

// The window opened by the mask mode steers the mouse tools: tool, mode and the brush.
TEST_F(MaskWindow, MaskModeWindowSteersTheMouseTools) {
  NewDoc();
  MouseTools() = TMouseToolSettings();
  Main->Master().SetMouseMode(3);
  auto* w = Main->findChild<TFormMask*>("FormMask");
  ASSERT_TRUE(w);
  w->findChild<QPushButton*>("ToolBrush")->click();
  w->findChild<QPushButton*>("ModeAdd")->click();
  w->findChild<QComboBox*>("BrushFigure")->setCurrentIndex(1);
  w->findChild<QSpinBox*>("BrushSize")->setValue(37);
  EXPECT_EQ(MouseTools().MaskTool, 6);
  EXPECT_EQ(MouseTools().Combine, TMaskMode::Add);
  EXPECT_TRUE(MouseTools().BrushSquare);
  EXPECT_EQ(MouseTools().BrushSize, 37);
  Main->Master().SetMouseMode(3);  // chosen again: normal mouse, window closed
  EXPECT_EQ(MouseTools().MouseMode, 0);
  EXPECT_FALSE(w->isVisible());
  MouseTools() = TMouseToolSettings();
}

TEST_F(MaskWindow, SmoothingCancelRestoresAndOkKeeps) {
  TAstroDocument& doc = NewDoc();
  TAMask& m = BlockMask(doc);
  const std::vector<uint16_t> before = Weights(m);
  TFormMask w(Main.get());
  std::vector<uint16_t> previewed;
  w.SmoothHook = [&](TFormMaskSmooth& d) {
    EXPECT_EQ(d.Preview().pixelColor(12, 30 - 1 - 8).red(), 255) << "the block, top row first";
    d.SmoothSlider()->setValue(300);  // s = Round(1000·(0.3 + 0.09)/2)/10 = 19.5
    EXPECT_EQ(d.SmoothEdit()->text(), "19.5");
    EXPECT_LT(d.Preview().pixelColor(12, 30 - 1 - 8).red(), 255) << "the preview follows";
    previewed = Weights(m);
    d.reject();
  };
  w.SmoothClick();
  EXPECT_NE(previewed, before) << "the slider previews at once";
  EXPECT_EQ(Weights(m), before) << "Cancel restores the mask exactly";

  w.SmoothHook = [&](TFormMaskSmooth& d) {
    d.SmoothEdit()->setText("4");
    d.SmoothEdited();
    EXPECT_EQ(d.SmoothSlider()->value(), SliderFromSmooth(4));
    d.TruncateEdit()->setText("2");  // above 1: refused, the value stays
    EXPECT_FALSE(d.TruncateEdited());
    EXPECT_EQ(d.TruncateEdit()->text(), QString::fromStdString(FieldText(d.TruncateValue())));
    d.accept();
  };
  w.SmoothClick();
  EXPECT_NE(Weights(m), before);
  EXPECT_GT(m.Weight(11, 10), 0) << "feathered beyond the block's edge";
  EXPECT_EQ(TMaskSmoothing::LastSmooth(), 4) << "remembered for the next opening";
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_NE(Messages[0].find("Truncate: Invalid value \"2\""), std::string::npos);
}

TEST_F(MaskWindow, MaskFilesRoundTripAndLoadCanBeUndone) {
  TAstroDocument& doc = NewDoc();
  TAMask& m = BlockMask(doc);
  const std::vector<uint16_t> block = Weights(m);
  TFormMask w(Main.get());
  const std::string path = Path("mask.png");
  w.FileHook = [&](bool save, const std::string&, int32_t& index) {
    if (save) index = 2;  // 16 bit
    return path;
  };
  w.SaveClick();
  m.Fill(0);
  w.LoadClick();
  EXPECT_EQ(Weights(m), block);
  EXPECT_TRUE(Messages.empty());
  // A file that is not a picture: the message, and the mask stays as it was.
  w.FileHook = [&](bool, const std::string&, int32_t&) { return Path("missing.png"); };
  w.LoadClick();
  EXPECT_EQ(Weights(m), block);
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].rfind("Mask|", 0), 0u);
}

TEST_F(MaskWindow, FollowsTheActiveImageAndDropsAClosedOne) {
  TAstroDocument& a = NewDoc();
  TFormMask w(Main.get());
  EXPECT_EQ(w.Document(), &a);
  TAstroDocument& b = NewDoc(20, 20);
  EXPECT_EQ(w.Document(), &b);
  CloseDoc(b);
  CloseDoc(a);
  EXPECT_EQ(w.Document(), nullptr);
  EXPECT_FALSE(w.findChild<QPushButton*>("Invert")->isEnabled());
  w.InvertClick();  // nothing to act on: nothing happens
  EXPECT_TRUE(Messages.empty());
}

}  // namespace
}  // namespace orlu
