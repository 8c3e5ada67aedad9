// The main window's commands that open the operation windows: mask, processing history,
// macro editor, annotations, the range dialog, "Equalize visualization" and the palettes.
#pragma once

class QMenu;

namespace orlu {

class TFormMain;
class TQVMaster;

// Adds the commands to menu (the View menu); each window is made once and reused.
void AddOperationWindowCommands(TFormMain* main, QMenu* menu);
// Ties the windows to the command layer: the mouse modes show and close the mask and
// annotate windows, the mask window's tool and mode steer the mouse tools.
void ConnectOperationWindows(TFormMain* main, TQVMaster& master);

}  // namespace orlu
