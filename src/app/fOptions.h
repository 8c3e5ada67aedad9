// The options window: pages "Options", "Files", "Observer" and "RAW images" over the option
// classes. It is filled from the settings when shown and stores into them on "OK" after
// checking every field; "Cancel" undoes what the window previewed.
#pragma once

#include <QDialog>

#include <functional>
#include <string>
#include <vector>

#include "QVMasterRules.h"
#include "options/uQuorvane.h"

class QCheckBox;
class QComboBox;
class QFontComboBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;

namespace orlu {

class TFormMain;

// "#" + six hex digits of a 0x00BBGGRR value (blue, green, red).
std::string ColourText(int32_t colour);
// The value of such a text ("#" optional, six hex digits); fallback when unreadable.
int32_t ColourFromText(std::string_view text, int32_t fallback);
// "-010 00 00": sign, degrees (3 digits for a longitude, 2 for a latitude), minutes, seconds.
std::string SiteAngleText(double degrees, bool longitude);

class TFormOptions : public QDialog {
  Q_OBJECT

 public:
  enum TPage { kPageOptions, kPageFiles, kPageObserver, kPageRaw };

  explicit TFormOptions(TFormMain* main);
  // Shows the window on its last page ("Options" instead of "RAW images" unless rawPage);
  // true when the settings were stored.
  bool Execute(bool rawPage = false);
  // The widgets from the settings.
  void LoadFrom(const TQVOptions& o);
  // Checks every field and stores them; false (a box names the field, nothing stored) when
  // one is not valid.
  bool StoreTo(TQVOptions& o);
  // "OK": StoreTo the process-wide settings, applies the process switches, redraws.
  bool Accept();
  // "Cancel": the previewed brightness and icon settings back as they were stored.
  void Cancel();
  // "Default values" of a page.
  void Defaults(int page);

  QTabWidget* Pages = nullptr;
  // Widgets by caption for the tests and the preview rules.
  QWidget* Find(const QString& caption) const;
  QLineEdit* Edit(const QString& caption) const;
  QCheckBox* Check(const QString& caption) const;

  std::function<void(const std::string&, const std::string&)> Report;

 private:
  struct TBinding {
    int Page;
    std::function<void(const TQVOptions&)> Load;
    // Returns an error text (the field's caption) when the widget's value is not valid.
    std::function<std::string(TQVOptions&)> Store;
  };
  void BuildOptionsPage();
  void BuildFilesPage();
  void BuildObserverPage();
  void BuildRawPage();
  void UpdateEnabled();
  void Preview();

  QCheckBox* AddCheck(QWidget* parent, int page, const char* caption,
                      std::function<bool&(TQVOptions&)> field, bool inverted = false);
  QLineEdit* AddNumber(QWidget* parent, int page, const char* caption,
                       std::function<double(const TQVOptions&)> get,
                       std::function<void(TQVOptions&, double)> set, TAskNumber range);
  QLineEdit* AddText(QWidget* parent, int page, const char* caption,
                     std::function<std::string&(TQVOptions&)> field);
  void Remember(QWidget* w, const char* caption);

  TFormMain* Main_;
  std::vector<TBinding> Bindings_;
  std::vector<std::pair<QString, QWidget*>> Named_;
  int LastPage_ = kPageOptions;
  // The values the preview changes, as they were when the window opened.
  double DesktopBrightness_ = 70, WindowBrightness_ = 80;
  int32_t IconsMode_ = 0;
  bool BigFonts_ = true, BlackBorder_ = false;
  bool GridTouched_ = false;
};

}  // namespace orlu
