// The main window's commands that open the operation windows: mask, processing history,
// macro editor, annotations, the range dialog, "Equalize visualization" and the palettes.
#pragma once

class QMenu;

namespace orlu {

class TFormMain;

// Adds the commands to menu (the View menu); each window is made once and reused.
void AddOperationWindowCommands(TFormMain* main, QMenu* menu);

}  // namespace orlu
