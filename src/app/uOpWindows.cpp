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

}  // namespace

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
  QObject::connect(mask, &QAction::triggered, main,
                   [main] { Reuse<TFormMask>(main, "FormMask"); });
  QAction* history = menu->addAction(TrQ("Processing history"));
  QObject::connect(history, &QAction::triggered, main, [main] {
    Reuse<TFormHistory>(main, "FormHistory", std::function<TMacroServices()>());
  });
  QAction* macro = menu->addAction(TrQ("Define Macro"));
  QObject::connect(macro, &QAction::triggered, main, [main] {
    TFormHistory* h = Reuse<TFormHistory>(main, "FormHistory", std::function<TMacroServices()>());
    h->DefineMacroClick();
  });
  QAction* annotate = menu->addAction(TrQ("Annotations"));
  QObject::connect(annotate, &QAction::triggered, main,
                   [main] { Reuse<TFormAnnotate>(main, "FormAnnotate"); });
}

}  // namespace orlu
