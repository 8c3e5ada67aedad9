#include "uOpWindows.h"

#include <QAction>
#include <QMenu>

#include "base/Translate.h"
#include "fAnnotate.h"
#include "fChild.h"
#include "fDefMacro.h"
#include "fHistory.h"
#include "fMain.h"
#include "fMask.h"
#include "fRange.h"
#include "fAsk.h"
#include "QVMaster.h"
#include "QVMasterRules.h"
#include "uDragger.h"

namespace orlu {

namespace {

QString TrQ(const char* s) { return QString::fromStdString(Tr(s)); }

// The one window of a kind, made on first use as a child of the main window.
template <class W, class... Args>
W* Reuse(TFormMain* main, const char* name, Args&&... args) {
  W* w = main->findChild<W*>(name, Qt::FindDirectChildrenOnly);
  if (!w) w = new W(main, std::forward<Args>(args)...);
  w->show();
  w->raise();
  w->activateWindow();
  return w;
}

// The parameter dialogs and the run context of the command layer, once it exists.
TMacroServices MasterServices() {
  TMacroServices s;
  if (TQVMaster* m = QVMaster()) {
    s.Dialog = &m->Params();
    s.Context = [m] { return m->Context(); };
  }
  return s;
}

TFormMask* ShowMaskWindow(TFormMain* main) {
  const bool fresh = !main->findChild<TFormMask*>("FormMask", Qt::FindDirectChildrenOnly);
  TFormMask* w = Reuse<TFormMask>(main, "FormMask");
  if (fresh) {
    QObject::connect(w, &TFormMask::ToolChanged, main, [](int32_t tool) { MouseTools().MaskTool = tool; });
    QObject::connect(w, &TFormMask::ModeChanged, main, [](TMaskMode mode) { MouseTools().Combine = mode; });
  }
  return w;
}

template <class W>
void CloseWindow(TFormMain* main, const char* name) {
  if (W* w = main->findChild<W*>(name, Qt::FindDirectChildrenOnly)) w->close();
}

}  // namespace

void ConnectOperationWindows(TFormMain* main, TQVMaster& master) {
  QObject::connect(&master, &TQVMaster::MouseModeChanged, main, [main](int32_t old, int32_t now) {
    if (old == kMouseAnnotate) CloseWindow<TFormAnnotate>(main, "FormAnnotate");
    if (old == kMouseMask) CloseWindow<TFormMask>(main, "FormMask");
    if (now == kMouseAnnotate) Reuse<TFormAnnotate>(main, "FormAnnotate");
    if (now == kMouseMask) ShowMaskWindow(main);
  });
}

void AddOperationWindowCommands(TFormMain* main, QMenu* menu) {
  menu->addSeparator();
  QMenu* range = menu->addMenu(TrQ("View range"));
  QAction* user = range->addAction(TrQ("User defined"));
  user->setShortcut(Qt::SHIFT | Qt::Key_F4);
  QObject::connect(user, &QAction::triggered, main, [main] {
    if (TFormChild* c = main->ActiveChild()) {
      TFormVisuRange d(main, c->Document(), false);
      d.exec();
    }
  });
  QAction* equalize = menu->addAction(TrQ("Equalize visualization"));
  equalize->setShortcut(Qt::CTRL | Qt::Key_E);
  QObject::connect(equalize, &QAction::triggered, main,
                   [main] { TFormVisuRange::EqualizeCommand(main); });
  QMenu* palette = menu->addMenu(TrQ("Palette"));
  (new TPaletteMenu(main))->Build(palette);

  menu->addSeparator();
  QAction* mask = menu->addAction(TrQ("Mask"));
  // Mask editing is a mouse mode: choosing it again ends it.
  QObject::connect(mask, &QAction::triggered, main, [main] {
    if (TQVMaster* m = QVMaster())
      m->SetMouseMode(kMouseMask);
    else
      ShowMaskWindow(main);
  });
  QAction* history = menu->addAction(TrQ("Processing history"));
  QObject::connect(history, &QAction::triggered, main, [main] {
    Reuse<TFormHistory>(main, "FormHistory", std::function<TMacroServices()>(MasterServices));
  });
  QAction* macro = menu->addAction(TrQ("Define Macro"));
  QObject::connect(macro, &QAction::triggered, main, [main] {
    TFormHistory* h =
        Reuse<TFormHistory>(main, "FormHistory", std::function<TMacroServices()>(MasterServices));
    h->DefineMacroClick();
  });
}

}  // namespace orlu
