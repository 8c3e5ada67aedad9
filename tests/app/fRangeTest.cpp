// The range dialog (preview, realtime, OK, Cancel, bad input, equalize) and the palette
// commands on the active image.
#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>

#include <fstream>

#include "OpWindowsFixture.h"
#include "fRange.h"
#include "options/uQuorvane.h"

namespace orlu {
namespace {

using RangeDialog = OpWindowTest;

struct TVisuState {
  float Low, High;
  int32_t Type;
  bool operator==(const TVisuState&) const = default;
};
TVisuState State(const TAstroDocument& d) {
  return {d.Image().Visu.Low, d.Image().Visu.High, d.Image().Visu.TransferType};
}

TEST_F(RangeDialog, OkAppliesTheFieldsAndTheTransferFunction) {
  TAstroDocument& doc = NewDoc();
  SetVisualization(doc.Image(), 0, 255, 0);
  TFormVisuRange d(Main.get(), doc, false);
  EXPECT_EQ(d.LowEdit()->text(), "0");
  EXPECT_EQ(d.HighEdit()->text(), "255");
  EXPECT_EQ(d.TypeLabel()->text(), "LIN");
  d.LowEdit()->setText("10");
  d.HighEdit()->setText("500.5");
  d.TypeCheck()->setChecked(true);
  d.TypeEdit()->setText("15");
  EXPECT_TRUE(d.OkClick());
  EXPECT_EQ(State(doc), (TVisuState{10, 500.5f, -15}));
  EXPECT_TRUE(Messages.empty());
}

TEST_F(RangeDialog, BadFieldKeepsTheDialogAndTheImage) {
  TAstroDocument& doc = NewDoc();
  SetVisualization(doc.Image(), 0, 255, 0);
  TFormVisuRange d(Main.get(), doc, false);
  d.HighEdit()->setText("lots");
  EXPECT_FALSE(d.OkClick());
  EXPECT_EQ(State(doc), (TVisuState{0, 255, 0}));
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_NE(Messages[0].find("Max: Invalid value \"lots\""), std::string::npos);
  d.SetMode(TRangeMode::Percentage);
  d.LowEdit()->setText("0");
  d.HighEdit()->setText("100");
  EXPECT_TRUE(d.OkClick());
  // 0 % and 100 %: the data minimum and maximum (x + 100 y over 40 × 30).
  EXPECT_EQ(State(doc), (TVisuState{0, 39 + 100 * 29, 0}));
}

TEST_F(RangeDialog, CancelRestoresWhatWasBeforeTheFirstPreview) {
  TAstroDocument& doc = NewDoc();
  SetVisualization(doc.Image(), -5, 200, 0);
  const TVisuState before = State(doc);
  {
    TFormVisuRange d(Main.get(), doc, false);
    d.LowEdit()->setText("1");
    ASSERT_TRUE(d.PreviewClick());
    EXPECT_EQ(doc.Image().Visu.Low, 1);
    // Realtime: every complete edit previews, a half-typed one waits.
    d.LockButton()->setChecked(true);
    d.HighEdit()->setText("300");
    emit d.HighEdit()->textEdited("300");
    EXPECT_EQ(doc.Image().Visu.High, 300);
    d.HighEdit()->setText("3e");
    emit d.HighEdit()->textEdited("3e");
    EXPECT_EQ(doc.Image().Visu.High, 300);
    EXPECT_TRUE(Messages.empty());
    d.reject();
  }
  EXPECT_EQ(State(doc), before);
}

TEST_F(RangeDialog, EqualizeNeedsTwoImagesAndCopiesTheRange) {
  TAstroDocument& a = NewDoc();
  TFormVisuRange::EqualizeCommand(Main.get());
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0],
            "Equalize visualization|Two images are required for this operation");
  TAstroDocument& b = NewDoc(20, 10);
  (void)a;
  TFormVisuRange d(Main.get(), b, true);
  d.LowEdit()->setText("7");
  d.HighEdit()->setText("70");
  EXPECT_TRUE(d.OkClick());
  EXPECT_EQ(State(a), (TVisuState{7, 70, b.Image().Visu.TransferType}));
}

TEST_F(RangeDialog, PaletteCommandsOnTheActiveImage) {
  TAstroDocument& doc = NewDoc();
  TPaletteMenu pm(Main.get());
  QMenu menu;
  Options().Misc.LastPalette.clear();
  pm.Build(&menu);
  EXPECT_FALSE(pm.FileAction()->isVisible()) << "no palette file yet";
  TAPalette& p = doc.Image().Visu.Palette;
  menu.findChild<QAction*>("PaletteNegative")->trigger();
  EXPECT_EQ(p.PaletteType, kPaletteNegative);
  menu.findChild<QAction*>("PaletteNegative")->trigger();
  EXPECT_EQ(p.PaletteType, kPaletteGray) << "a second Negative returns to Gray";
  pm.CyclesHook = [](int32_t& c) {
    c = 4;
    return true;
  };
  pm.SawTooth();
  EXPECT_EQ(p.PaletteType, kPaletteSawTooth);
  EXPECT_EQ(p.Colors[63], 0xFFFFFFu);
  EXPECT_EQ(p.Colors[64], 0u);
  pm.CyclesHook = [](int32_t& c) {
    c = 51;
    return true;
  };
  pm.SawTooth();
  EXPECT_EQ(Messages.size(), 1u);
  EXPECT_EQ(p.Colors[64], 0u) << "refused: the palette stays";

  // A palette file: one line setting level 128 to red.
  const std::string file = Path("red.pal");
  std::ofstream(file) << "palette\n1\n128 255 0 0\n";
  pm.FileHook = [&] { return file; };
  pm.OpenFile();
  EXPECT_EQ(p.PaletteType, kPaletteFile);
  EXPECT_EQ(p.Colors[128], 0xFF0000u);
  EXPECT_EQ(Options().Misc.LastPalette, file);
  emit menu.aboutToShow();
  EXPECT_TRUE(pm.FileAction()->isVisible());
  EXPECT_EQ(pm.FileAction()->text(), "red.pal");
  menu.findChild<QAction*>("PaletteGray")->trigger();
  pm.LastFile();
  EXPECT_EQ(p.PaletteType, kPaletteFile);
  // Not a palette: the message titled "Palette", the palette kept.
  std::ofstream(Path("bad.pal")) << "nothing here\n";
  pm.FileHook = [&] { return Path("bad.pal"); };
  pm.OpenFile();
  EXPECT_EQ(p.PaletteType, kPaletteFile);
  ASSERT_EQ(Messages.size(), 2u);
  EXPECT_EQ(Messages[1], "Palette|Incompatible file format");
  EXPECT_EQ(Options().Misc.LastPalette, file);
}

}  // namespace
}  // namespace orlu
