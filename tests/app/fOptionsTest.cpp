// The options window on the offscreen platform: filled from the settings, stored only when
// every field is valid, its special rules, previews undone by Cancel, page defaults.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include "base/ProcessSwitches.h"
#include "fMain.h"
#include "fOptions.h"
#include "options/uQuorvane.h"

using namespace orlu;

namespace {

TEST(OptionTexts, ColoursAndSiteAngles) {
  EXPECT_EQ(ColourText(0x309830), "#309830");
  EXPECT_EQ(ColourText(0x0000FF), "#0000FF");
  EXPECT_EQ(ColourFromText("#68BA68", 1), 0x68BA68);
  EXPECT_EQ(ColourFromText(" 68ba68 ", 1), 0x68BA68);
  EXPECT_EQ(ColourFromText("#68BA6", 1), 1);   // five digits
  EXPECT_EQ(ColourFromText("#68BAGG", 1), 1);  // not hexadecimal
  EXPECT_EQ(ColourFromText("", 7), 7);
  EXPECT_EQ(SiteAngleText(-10.0, true), "-010 00 00");
  EXPECT_EQ(SiteAngleText(45.0, false), "+45 00 00");
  EXPECT_EQ(SiteAngleText(12.5125, false), "+12 30 45");
}

class OptionsWindow : public testing::Test {
 protected:
  void SetUp() override {
    Options() = TQVOptions();
    Main = std::make_unique<TFormMain>(Dir.filePath("config"));
    W = Main->OptionsWindow();
    W->Report = [this](const std::string& c, const std::string& t) { Reports.push_back(c + "|" + t); };
    W->LoadFrom(Options());
  }
  void TearDown() override {
    Main.reset();
    Options() = TQVOptions();
    Options().ApplyProcessSwitches();
  }
  QTemporaryDir Dir;
  std::unique_ptr<TFormMain> Main;
  TFormOptions* W = nullptr;
  std::vector<std::string> Reports;
};

TEST_F(OptionsWindow, StoresTheFieldsOnlyWhenAllAreValid) {
  EXPECT_EQ(W->Pages->count(), 4);
  EXPECT_EQ(W->Edit("JPEG compression")->text(), "10");
  W->Edit("JPEG compression")->setText("25");
  W->Check("Remember last folder")->setChecked(false);
  W->Edit("Time compensation (hours)")->setText("-2.5");
  W->Edit("Longitude")->setText("abc");
  EXPECT_FALSE(W->Accept());
  ASSERT_EQ(Reports.size(), 1u);
  EXPECT_EQ(Reports[0], "Longitude|Incorrect value");
  EXPECT_EQ(W->Pages->currentIndex(), int(TFormOptions::kPageObserver));
  // Nothing was stored.
  EXPECT_EQ(Options().File.JpegCompress, 10);
  EXPECT_TRUE(Options().File.RememberLastFolder);
  W->Edit("Longitude")->setText("-10 30");
  ASSERT_TRUE(W->Accept());
  EXPECT_EQ(Options().File.JpegCompress, 25);
  EXPECT_FALSE(Options().File.RememberLastFolder);
  EXPECT_EQ(Options().File.FITSTimeOffset, -2.5);
  EXPECT_EQ(Options().Observatory.Lon, -10.5);
  // Out of range is invalid too.
  W->Edit("JPEG compression")->setText("101");
  EXPECT_FALSE(W->Accept());
  EXPECT_EQ(Options().File.JpegCompress, 25);
}

TEST_F(OptionsWindow, SpecialRules) {
  // "Always 100% at file opening" shows Autozoom inverted.
  Options().File.Autozoom = false;
  W->LoadFrom(Options());
  EXPECT_TRUE(W->Check("Always 100% at file opening")->isChecked());
  // Coordinates: at least one form stays on.
  W->Check("h , m , s")->setChecked(false);
  W->Check("Degrees")->setChecked(false);
  // An unreadable colour stores the default colour.
  W->Edit("Color")->setText("green");
  W->Edit("Grid color")->setText("#0000FF");
  ASSERT_TRUE(W->Accept());
  EXPECT_TRUE(Options().Misc.CoordsHMS);
  EXPECT_EQ(Options().Image.MarkerColor, 0x309830);
  EXPECT_EQ(Options().Image.GridColor, 0x0000FF);
  // The grid boxes are stored only when the user touched them.
  W->LoadFrom(Options());
  W->Check("Equatorial grid")->setChecked(true);
  ASSERT_TRUE(W->Accept());
  EXPECT_FALSE(Options().Image.GridMarker);
  W->LoadFrom(Options());
  W->Check("Equatorial grid")->click();
  EXPECT_FALSE(W->Check("Coordinates")->isEnabled());
  ASSERT_TRUE(W->Accept());
  EXPECT_TRUE(Options().Image.GridMarker);
  // "Value outside the image" is greyed with "Equal background".
  qobject_cast<QRadioButton*>(W->Find("Equal background"))->setChecked(true);
  EXPECT_FALSE(W->Find("Value outside the image")->isEnabled());
  ASSERT_TRUE(W->Accept());
  EXPECT_EQ(Options().Image.OutSideMode, omBackground);
  // Extension fields take the "*.ext" form when left.
  W->Edit("File extension")->setText("fit");
  emit W->Edit("File extension")->editingFinished();
  EXPECT_EQ(W->Edit("File extension")->text(), "*.fit");
  W->Edit("Custom file extension")->setText("x");
  emit W->Edit("Custom file extension")->editingFinished();
  EXPECT_EQ(W->Edit("Custom file extension")->text(), "*.*");
  // The custom RAW group follows "Enable".
  EXPECT_FALSE(W->Find("Bits")->isEnabled());
  W->Check("Enable")->setChecked(true);
  EXPECT_TRUE(W->Find("Bits")->isEnabled());
}

TEST_F(OptionsWindow, SwitchesApplyAtOnceAndPreviewsAreUndoneByCancel) {
  W->Check("Enable Multithreading")->setChecked(false);
  ASSERT_TRUE(W->Accept());
  EXPECT_FALSE(Options().Misc.PermitMT);
  EXPECT_FALSE(PermitMultithreading());
  W->LoadFrom(Options());
  W->Check("Enable Multithreading")->setChecked(true);
  ASSERT_TRUE(W->Accept());
  EXPECT_TRUE(PermitMultithreading());

  const double before = Options().Misc.WindowBrightness;
  QLineEdit* border = W->Edit("Image border");
  border->clear();
  QTest::keyClicks(border, "10");
  EXPECT_EQ(Options().Misc.WindowBrightness, 10);
  W->Cancel();
  EXPECT_EQ(Options().Misc.WindowBrightness, before);
}

TEST_F(OptionsWindow, PageDefaults) {
  W->Edit("JPEG compression")->setText("50");
  W->Check("Save all FITS images compressed")->setChecked(true);
  W->Edit("Name")->setText("Obs");
  W->Defaults(TFormOptions::kPageFiles);
  EXPECT_EQ(W->Edit("JPEG compression")->text(), "10");
  EXPECT_FALSE(W->Check("Save all FITS images compressed")->isChecked());
  // Other pages keep what was typed.
  EXPECT_EQ(W->Edit("Name")->text(), "Obs");
}

}  // namespace
