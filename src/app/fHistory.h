// The "Processing history" window: the bound image's history as a list with the details
// of the selected entry; history files (".his"), the clipboard, the FITS header, and the
// macro editor.
#pragma once

#include <QPointer>

#include <functional>

#include "fOpWindow.h"

class QListWidget;
class QPlainTextEdit;
class QPushButton;

namespace orlu {

class TFormDefMacro;
struct TMacroServices;

class TFormHistory : public TOpWindow {
  Q_OBJECT

 public:
  // services: what the macro editor needs to ask parameters and run steps.
  TFormHistory(TFormMain* main, std::function<TMacroServices()> services);
  ~TFormHistory() override;

  QListWidget* List() const { return List_; }
  QPlainTextEdit* Details() const { return Details_; }

  // ---- The buttons ----
  void OpenClick();
  void SaveClick();
  void CopyClick();
  void SaveToHeaderClick();
  void ResetHeaderClick();
  // Opens the macro editor with this window's history.
  TFormDefMacro* DefineMacroClick();

 protected:
  void Reload() override;
  void Refresh(TDocumentEvent event) override;

 private:
  void ShowDetails();

  std::function<TMacroServices()> Services_;
  QListWidget* List_ = nullptr;
  QPlainTextEdit* Details_ = nullptr;
  std::vector<QPushButton*> DocButtons_;
  QPointer<TFormDefMacro> Macro_;
};

}  // namespace orlu
