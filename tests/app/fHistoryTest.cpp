// The processing-history window and the macro editor: the list and details, history files,
// clipboard and header, and the macro pages (steps, order, files, names, run).
#include <QClipboard>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabBar>

#include <filesystem>

#include "OpWindowsFixture.h"
#include "fDefMacro.h"
#include "fHistory.h"
#include "options/uQuorvane.h"

namespace orlu {
namespace {

class FakeDialog : public IParameterDialog {
 public:
  std::vector<double> Answers;
  bool Accept = true;
  std::vector<double> Initial;
  int32_t Shown = 0;
  bool Ask(const TParamDialog&, std::vector<double>& values, std::string&) override {
    ++Shown;
    Initial = values;
    if (Accept && !Answers.empty())
      for (size_t i = 0; i < values.size() && i < Answers.size(); ++i) values[i] = Answers[i];
    return Accept;
  }
};

class HistoryWindow : public OpWindowTest {
 protected:
  void SetUp() override {
    OpWindowTest::SetUp();
    Options().ConfigFolder = Dir.filePath("config").toStdString();
    std::filesystem::create_directories(Options().ConfigFolder);
    Options().Filter = TFilterOptions();
  }
  void TearDown() override {
    TFormDefMacro::Clipboard().clear();
    OpWindowTest::TearDown();
  }
  TMacroServices Services() {
    TMacroServices s;
    s.Dialog = &Dialog;
    return s;
  }
  FakeDialog Dialog;
};

TEST_F(HistoryWindow, ListDetailsAndRefresh) {
  TAstroDocument& doc = NewDoc();
  THistoryList& h = doc.Image().History;
  const double p[] = {100};
  h.Add(0, false, p);
  h.AddKind(10, true, "other image");
  TFormHistory w(Main.get(), nullptr);
  ASSERT_EQ(w.List()->count(), 2);
  EXPECT_EQ(w.List()->item(0)->text().toStdString(), h.Item(0)->DisplayLine(0));
  EXPECT_EQ(h.Item(1)->DisplayText, h.Item(1)->DisplayLine(1)) << "cached for the clipboard";
  EXPECT_EQ(w.List()->currentRow(), 1) << "the newest entry is selected";
  EXPECT_TRUE(w.Details()->toPlainText().startsWith("Paste into"));
  w.List()->setCurrentRow(0);
  EXPECT_TRUE(w.Details()->toPlainText().startsWith("Add constant"));
  h.Add(18, false);
  doc.RefreshHistory();
  EXPECT_EQ(w.List()->count(), 3);
}

TEST_F(HistoryWindow, FilesClipboardAndHeader) {
  TAstroDocument& doc = NewDoc();
  THistoryList& h = doc.Image().History;
  const double p[] = {100};
  h.Add(0, false, p);
  h.Add(58, true, "v + 100");
  TFormHistory w(Main.get(), nullptr);
  const std::string file = Path("steps");  // the extension is added
  w.FileHook = [&](bool, const std::string&, int32_t&) { return file; };
  w.SaveClick();
  ASSERT_TRUE(std::filesystem::exists(file + ".his"));
  const std::vector<std::string> records = h.RecordLines();
  h.Clear();
  doc.MarkUnmodified();
  w.FileHook = [&](bool, const std::string&, int32_t&) { return file + ".his"; };
  w.OpenClick();
  EXPECT_EQ(h.RecordLines(), records);
  EXPECT_EQ(w.List()->count(), 2);
  EXPECT_TRUE(doc.IsModified());
  // A file that cannot be read: the message, the history as it was.
  w.FileHook = [&](bool, const std::string&, int32_t&) { return Path("missing.his"); };
  w.OpenClick();
  EXPECT_EQ(h.RecordLines(), records);
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].rfind("Processing history|", 0), 0u);

  w.CopyClick();
  EXPECT_EQ(QApplication::clipboard()->text().toStdString(), h.ClipboardText());

  w.SaveToHeaderClick();
  EXPECT_EQ(doc.Image().Header.ReadHistory(), records);
  w.ResetHeaderClick();
  EXPECT_FALSE(doc.Image().Header.HasHistory());
  // An emptied list written to the header leaves no stale cards.
  w.SaveToHeaderClick();
  h.Clear();
  w.SaveToHeaderClick();
  EXPECT_FALSE(doc.Image().Header.HasHistory());
}

TEST_F(HistoryWindow, ClosedDocumentEmptiesTheWindow) {
  TAstroDocument& doc = NewDoc();
  doc.Image().History.Add(18, false);
  TFormHistory w(Main.get(), nullptr);
  EXPECT_EQ(w.List()->count(), 1);
  CloseDoc(doc);
  EXPECT_EQ(w.Document(), nullptr);
  EXPECT_EQ(w.List()->count(), 0);
  EXPECT_FALSE(w.findChild<QPushButton*>("Save")->isEnabled());
  w.SaveClick();
  w.CopyClick();
  EXPECT_TRUE(Messages.empty());
}

TEST_F(HistoryWindow, MacroStepsFromOperationsEditedAndReordered) {
  TFormDefMacro m(Main.get(), Services());
  m.Search()->setText("clamp MIN");
  ASSERT_EQ(m.Operations()->count(), 1);
  EXPECT_EQ(m.Operations()->item(0)->data(Qt::UserRole).toInt(), 49);
  Dialog.Answers = {2.5, 50};
  ASSERT_TRUE(m.AddOperation(49));
  Dialog.Answers = {100};
  ASSERT_TRUE(m.AddOperation(0));
  ASSERT_TRUE(m.AddOperation(31));  // no parameters
  ASSERT_EQ(m.Steps()->count(), 3);
  EXPECT_EQ(m.CurrentPage().Steps[0].GetParam(1), 2.5);
  EXPECT_EQ(m.CurrentPage().Steps[0].GetParam(2), 50);
  EXPECT_TRUE(m.Steps()->item(1)->text().startsWith("Add constant|100 "));
  // A cancelled dialog adds nothing.
  Dialog.Accept = false;
  EXPECT_FALSE(m.AddOperation(0));
  EXPECT_EQ(m.Steps()->count(), 3);
  Dialog.Accept = true;

  // Edit starts from the stored values and replaces the step.
  m.Steps()->setCurrentRow(1);
  Dialog.Answers = {7};
  m.EditClick();
  EXPECT_EQ(Dialog.Initial, (std::vector<double>{100}));
  EXPECT_EQ(m.CurrentPage().Steps[1].GetParam(1), 7);

  m.DisableClick();
  EXPECT_TRUE(m.Steps()->item(1)->text().endsWith("<Disabled>"));
  m.DisableClick();
  EXPECT_FALSE(m.CurrentPage().Steps[1].Disabled);

  // Dragging step 0 to the end.
  m.MoveStep(0, 2);
  EXPECT_EQ(m.CurrentPage().Steps[0].Code, 0);
  EXPECT_EQ(m.CurrentPage().Steps[2].Code, 49);

  // Copy one, paste before the selection; Delete removes the selection.
  m.Steps()->setCurrentRow(2);
  m.CopyClick();
  m.Steps()->setCurrentRow(0);
  m.PasteClick();
  ASSERT_EQ(m.CurrentPage().Steps.size(), 4u);
  EXPECT_EQ(m.CurrentPage().Steps[0].Code, 49);
  m.Steps()->clearSelection();
  m.Steps()->item(1)->setSelected(true);
  m.Steps()->item(3)->setSelected(true);
  m.DeleteClick();
  ASSERT_EQ(m.CurrentPage().Steps.size(), 2u);
  EXPECT_EQ(m.CurrentPage().Steps[0].Code, 49);
  EXPECT_EQ(m.CurrentPage().Steps[1].Code, 31);
  // The Delete key in the list removes the selection too.
  m.Steps()->clearSelection();
  m.Steps()->item(0)->setSelected(true);
  QTest::keyClick(m.Steps(), Qt::Key_Delete);
  ASSERT_EQ(m.CurrentPage().Steps.size(), 1u);
  EXPECT_EQ(m.CurrentPage().Steps[0].Code, 31);
  m.DeleteAllClick();
  EXPECT_EQ(m.Steps()->count(), 0);
  EXPECT_TRUE(Messages.empty());
}

TEST_F(HistoryWindow, MacroFromTheHistoryAndTheNameRule) {
  THistoryList h;
  const double p[] = {100};
  h.Add(0, false, p);
  h.AddKind(10, false, "x");
  h.Add(31, true);
  TFormDefMacro m(Main.get(), Services());
  EXPECT_FALSE(m.HistoryButton()->isEnabled());
  m.SetHistory(&h);
  EXPECT_EQ(m.HistoryButton()->text(), "Processing history (2/3)");
  m.HistoryClick();
  ASSERT_EQ(m.CurrentPage().Steps.size(), 2u);
  EXPECT_EQ(m.CurrentPage().Steps[1].Code, 31);

  // Steps under the default name are refused; a blank name too.
  EXPECT_FALSE(m.OkClick());
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0], "Macro|Please choose a name for the Macro.");
  m.NameEdit()->setText("   ");
  m.CurrentPage().Name = "   ";
  EXPECT_FALSE(m.OkClick());
  EXPECT_EQ(Messages.size(), 2u);
  m.CurrentPage().Name = "Stretch";
  m.SelectPage(3);
  m.CurrentPage().Name = "Unused";  // empty: gets back its default name
  EXPECT_TRUE(m.OkClick());
  EXPECT_EQ(Options().Filter.Macro1, "Stretch");
  EXPECT_EQ(Options().Filter.Macro3, "Macro 3");

  // A new editor finds the pages again.
  TFormDefMacro again(Main.get(), Services());
  EXPECT_EQ(again.CurrentPage().Name, "Stretch");
  EXPECT_EQ(again.CurrentPage().Steps.size(), 2u);
  EXPECT_EQ(again.CurrentPage().Steps[0].GetParam(1), 100);
}

TEST_F(HistoryWindow, MacroFilesNameThePage) {
  TFormDefMacro m(Main.get(), Services());
  Dialog.Answers = {3};
  m.AddOperation(0);
  const std::string file = Path("Brighter");
  m.FileHook = [&](bool) { return file; };
  m.SaveClick();
  EXPECT_EQ(m.CurrentPage().Name, "Brighter");
  ASSERT_TRUE(std::filesystem::exists(file + ".mac"));
  m.SelectPage(2);
  m.FileHook = [&](bool) { return file + ".mac"; };
  m.OpenClick();
  EXPECT_EQ(m.CurrentPage().Name, "Brighter");
  ASSERT_EQ(m.CurrentPage().Steps.size(), 1u);
  EXPECT_EQ(m.CurrentPage().Steps[0].GetParam(1), 3);
  // Not a macro file: the message, the page as it was.
  std::FILE* f = std::fopen(Path("bad.mac").c_str(), "w");
  std::fputs("hello\n", f);
  std::fclose(f);
  m.FileHook = [&](bool) { return Path("bad.mac"); };
  m.OpenClick();
  EXPECT_EQ(m.CurrentPage().Steps.size(), 1u);
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].rfind("Macro|", 0), 0u);
}

TEST_F(HistoryWindow, RunAppliesThePageToTheActiveImageAsOneStep) {
  TAstroDocument& doc = NewDoc();
  const float v = doc.Image().Value(3, 4);
  TFormDefMacro m(Main.get(), Services());
  Dialog.Answers = {5};
  m.AddOperation(0);
  m.AddOperation(0);
  m.DisableClick();  // the second one is switched off
  EXPECT_EQ(m.RunClick(), TFilterStatus::Done);
  EXPECT_FLOAT_EQ(doc.Image().Value(3, 4), v + 5);
  ASSERT_EQ(doc.Image().History.Count(), 1);
  EXPECT_TRUE(doc.Image().History.Item(0)->FromMacro);
  EXPECT_EQ(doc.SnapshotCount(), 1) << "one undo step for the whole macro";
}

}  // namespace
}  // namespace orlu
