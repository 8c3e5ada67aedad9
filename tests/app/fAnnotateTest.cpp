// The annotate window on the active image: new, edits of one or of all selected, colours,
// coordinates, delete and undelete, files, copy to another image, keys; and the View menu's
// commands that open the operation windows.
#include <QAction>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QSpinBox>

#include <functional>

#include "OpWindowsFixture.h"
#include "QVMaster.h"
#include "fAnnotate.h"
#include "fHistory.h"
#include "fMask.h"
#include "options/uQuorvane.h"

namespace orlu {
namespace {

using AnnotateWindow = OpWindowTest;

TEST_F(AnnotateWindow, NewEditsOneOrAllSelected) {
  TAstroDocument& doc = NewDoc(400, 300);
  TFormAnnotate w(Main.get());
  w.KindBox()->setCurrentIndex(akCircle);
  w.NewClick();
  TAnnotationList& list = doc.Annotations;
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list[0].Text, "Text here");
  EXPECT_EQ(list[0].Kind, akCircle);
  EXPECT_TRUE(list[0].Selected);
  EXPECT_TRUE(doc.IsModified());
  EXPECT_EQ(w.windowTitle(), "Annotation #1  -  Selected 1/1");
  EXPECT_EQ(Options().Misc.DefaultAnnotation, akCircle);

  // One selected: the edit goes to it.
  w.WidthEdit()->setValue(6);
  EXPECT_EQ(list[0].Width, 6);
  w.TextEdit()->setPlainText("M31\nAndromeda");
  EXPECT_EQ(list[0].Text, "M31\rAndromeda") << "lines are kept with CR";

  // A second one, nudged off the first; then both selected: only the edited property
  // reaches both.
  w.NewClick();
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list[1].X1, list[0].X1 + 6);
  EXPECT_EQ(list[1].Y1, list[0].Y1 - 6);
  list[1].Text = "other";
  list.SelectAll();
  w.ColourHook = [](uint32_t& c) {
    c = 0x0000FF;
    return true;
  };
  w.ColourPressed(false, Qt::LeftButton);
  EXPECT_EQ(list[0].FigureColor, 0x0000FFu);
  EXPECT_EQ(list[1].FigureColor, 0x0000FFu);
  EXPECT_EQ(list[1].Text, "other");
  EXPECT_NE(list[0].TextColor, 0x0000FFu);
  // Right click: both boxes; middle: the other box's colour.
  w.ColourHook = [](uint32_t& c) {
    c = 0x00FF00;
    return true;
  };
  w.ColourPressed(true, Qt::RightButton);
  EXPECT_EQ(list[1].TextColor, 0x00FF00u);
  EXPECT_EQ(list[1].FigureColor, 0x00FF00u);
  w.ColourHook = [](uint32_t&) { return false; };  // cancelled dialog
  w.ColourPressed(true, Qt::LeftButton);
  EXPECT_EQ(list[0].TextColor, 0x00FF00u);
}

TEST_F(AnnotateWindow, KindDependentFieldsAndCoordinates) {
  TAstroDocument& doc = NewDoc(400, 300);
  TFormAnnotate w(Main.get());
  w.NewClick();
  TAnnotation& a = doc.Annotations[0];
  w.KindBox()->setCurrentIndex(akTextBox);
  EXPECT_EQ(w.TransparencyLabel()->text(), "Opacity");
  EXPECT_FALSE(w.SectionsEdit()->isEnabled());
  w.KindBox()->setCurrentIndex(akRectangle);
  // Centre and size.
  w.CentreOrBase(0)->setValue(50);
  w.CentreOrBase(1)->setValue(60);
  w.SizeXY(0)->setValue(11);
  w.SizeXY(1)->setValue(4);
  EXPECT_EQ(a.CentreX(), 50);
  EXPECT_EQ(a.CentreY(), 60);
  EXPECT_EQ(a.RectWidth(), 11);
  EXPECT_EQ(a.RectHeight(), 4);
  EXPECT_EQ(w.Coord(0)->value(), a.X1) << "the corner fields follow";
  // An arrow: base, then length and angle put the tip.
  w.KindBox()->setCurrentIndex(akArrow);
  w.CentreOrBase(0)->setValue(10);
  EXPECT_EQ(a.X1, 10);
  w.LengthEdit()->setValue(98);  // shown length: distance less 2
  w.AngleEdit()->setValue(0);
  EXPECT_EQ(a.X2, a.X1 + 100);
  EXPECT_EQ(a.Y2, a.Y1);
  w.KindBox()->setCurrentIndex(akRuler);
  EXPECT_TRUE(w.SectionsEdit()->isEnabled());
}

TEST_F(AnnotateWindow, DeleteUndeleteCopyPasteAndOrder) {
  TAstroDocument& doc = NewDoc(400, 300);
  TFormAnnotate w(Main.get());
  w.NewClick();
  w.TextEdit()->setPlainText("first");
  w.NewClick();
  w.TextEdit()->setPlainText("second");
  TAnnotationList& list = doc.Annotations;
  ASSERT_EQ(list.Count(), 2);
  w.DeleteClick();
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list[0].Text, "first");
  EXPECT_TRUE(list[0].Selected) << "the last one is selected after a delete";
  w.UndeleteClick();
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list[1].Text, "second");
  w.UndeleteClick();  // nothing left to restore
  EXPECT_EQ(list.Count(), 2);
  w.SendToBackClick();
  EXPECT_EQ(list[0].Text, "second");
  w.CopyClick();
  w.PasteClick();
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list[2].Text, "second");
  w.PreviousClick();
  EXPECT_EQ(list.Current(), &list[1]);
  w.DeleteAllClick();
  EXPECT_TRUE(list.IsEmpty());
}

TEST_F(AnnotateWindow, FilesCopyToAnotherImageKeysAndFlips) {
  TAstroDocument& other = NewDoc(400, 300);
  TAstroDocument& doc = NewDoc(400, 300);
  TFormAnnotate w(Main.get());
  ASSERT_EQ(w.Document(), &doc);
  w.NewClick();
  w.NewClick();
  TAnnotationList& list = doc.Annotations;
  const std::vector<std::string> lines = list.ToLines();
  const std::string file = Path("marks");
  w.FileHook = [&](bool, const std::string&, int32_t&) { return file; };
  w.SaveClick(true);
  w.DeleteAllClick();
  w.FileHook = [&](bool, const std::string&, int32_t&) { return file + ".ann"; };
  w.OpenClick();
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.ToLines(), lines) << "a file of all annotations keeps their coordinates";
  // A file that cannot be read.
  w.FileHook = [&](bool, const std::string&, int32_t&) { return Path("none.ann"); };
  w.OpenClick();
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].rfind("Annotations|", 0), 0u);

  w.ChooseHook = [&](const std::vector<TAstroDocument*>& c) {
    EXPECT_EQ(c.size(), 1u);
    return c[0];
  };
  w.CopyAllToClick();
  EXPECT_EQ(other.Annotations.Count(), 2);
  EXPECT_TRUE(other.IsModified());

  const int32_t y = list[0].Y1;
  EXPECT_TRUE(w.ShiftKey(Qt::Key_Up, Qt::ControlModifier | Qt::ShiftModifier));
  EXPECT_EQ(list[0].Y1, y + 1);
  EXPECT_FALSE(w.ShiftKey(Qt::Key_Up, Qt::ControlModifier));
  const int32_t x1 = list[0].X1;
  w.FlipClick(true);
  EXPECT_EQ(list[0].X1, 399 - x1);
}

TEST_F(AnnotateWindow, ClosedDocumentDropsItsDeletedAnnotations) {
  TAstroDocument& doc = NewDoc(100, 100);
  TFormAnnotate w(Main.get());
  w.NewClick();
  w.DeleteClick();
  CloseDoc(doc);
  EXPECT_EQ(w.Document(), nullptr);
  EXPECT_EQ(w.windowTitle(), "Annotation");
  w.UndeleteClick();
  w.NewClick();  // no image: nothing
  EXPECT_TRUE(Messages.empty());
}

TEST_F(AnnotateWindow, ViewMenuOpensEachWindowOnce) {
  NewDoc();
  // Leaf items of the View menu and its submenus, by caption without accelerators.
  std::function<QAction*(QMenu*, const QString&)> find = [&](QMenu* m, const QString& caption) -> QAction* {
    for (QAction* a : m->actions()) {
      if (a->menu()) {
        if (QAction* inner = find(a->menu(), caption)) return inner;
      } else if (QString(a->text()).remove('&') == caption) {
        return a;
      }
    }
    return nullptr;
  };
  QMenu* view = Main->Menu(TMenuId::View);
  QAction* mask = find(view, "Mask");
  QAction* history = find(view, "Processing history");
  QAction* annotate = find(view, "Annotations");
  ASSERT_TRUE(mask && history && annotate);
  history->trigger();
  history->trigger();
  EXPECT_EQ(Main->findChildren<TFormHistory*>().size(), 1);

  // Mask editing and annotating are mouse modes: each shows its window and closes the
  // other's; choosing the current one again ends it.
  mask->trigger();
  EXPECT_EQ(Main->Master().MouseMode(), 3);
  ASSERT_EQ(Main->findChildren<TFormMask*>().size(), 1);
  EXPECT_TRUE(Main->findChild<TFormMask*>()->isVisible());
  annotate->trigger();
  EXPECT_EQ(Main->Master().MouseMode(), 2);
  EXPECT_FALSE(Main->findChild<TFormMask*>()->isVisible());
  ASSERT_EQ(Main->findChildren<TFormAnnotate*>().size(), 1);
  EXPECT_TRUE(Main->findChild<TFormAnnotate*>()->isVisible());
  annotate->trigger();
  EXPECT_EQ(Main->Master().MouseMode(), 0);
  EXPECT_FALSE(Main->findChild<TFormAnnotate*>()->isVisible());
  mask->trigger();
  mask->trigger();
  EXPECT_EQ(Main->findChildren<TFormMask*>().size(), 1);
  EXPECT_EQ(Main->Master().MouseMode(), 0);
}

}  // namespace
}  // namespace orlu
