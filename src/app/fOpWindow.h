// The frame of the operation windows: a small tool window over the main window bound to a
// document (the active image's, followed as it changes), with the main window's message
// boxes and file dialogs that tests can answer.
#pragma once

#include <QWidget>

#include <functional>
#include <string>
#include <string_view>

#include "document/uAstroDoc.h"

namespace orlu {

class TFormMain;

class TOpWindow : public QWidget, public IDocumentObserver {
  Q_OBJECT

 public:
  // Follows the main window's active image unless pinned to one document.
  TOpWindow(TFormMain* main, const char* ownName, bool follow);
  ~TOpWindow() override;

  TFormMain* Main() const { return Main_; }
  // The bound document; nullptr when none.
  TAstroDocument* Document() const { return Doc_; }
  // Binds (nullptr unbinds) and reloads.
  void Bind(TAstroDocument* doc);

  // File dialogs: an empty name means cancelled. filterIndex (1-based) in and out.
  std::string AskOpenName(const std::string& caption, std::string_view filter,
                          const std::string& folder);
  std::string AskSaveName(const std::string& caption, std::string_view filter,
                          const std::string& folder, const std::string& suggested,
                          int32_t* filterIndex = nullptr);
  // Tests answer the dialogs: (save, caption, filterIndex) → name.
  std::function<std::string(bool save, const std::string& caption, int32_t& filterIndex)> FileHook;
  void Error(const std::string& caption, const std::string& text);
  void Information(const std::string& caption, const std::string& text);

  // ---- IDocumentObserver ----
  void DocumentChanged(TAstroDocument& doc, TDocumentEvent event) override;
  void DocumentClosing(TAstroDocument& doc) override;

 protected:
  // Content from Document() (empty without one).
  virtual void Reload() = 0;
  // A change of the bound document other than its caption.
  virtual void Refresh(TDocumentEvent event) { (void)event; }
  virtual void UpdateCaption();

 private:
  TFormMain* Main_;
  const char* OwnName_;
  TAstroDocument* Doc_ = nullptr;
};

// "caption|patterns|caption|patterns" as Qt dialog filters, in the same order.
QStringList QtFileFilters(std::string_view filter);

}  // namespace orlu
