// Printing the rendered view of an image: the "Print" dialog (title and scale) and the page
// it paints.
#pragma once

#include <QDialog>

#include <functional>
#include <string>

class QDoubleSpinBox;
class QLineEdit;
class QPainter;
class QPrinter;
class QRect;

namespace orlu {

class TAImage;
class TAstroDocument;
class TQVMaster;

class TFormPrint : public QDialog {
  Q_OBJECT

 public:
  explicit TFormPrint(QWidget* parent = nullptr);
  // Title and scale (percent of the printable area, 1 .. 100) shown and read back.
  void SetValues(const std::string& title, double scale);
  std::string Title() const;
  double Scale() const;

 private:
  QLineEdit* Title_ = nullptr;
  QDoubleSpinBox* Scale_ = nullptr;
};

// Paints page (device pixels): the title centred at the top and below it the image through
// its visualization, as large as fits the rest of the page times scale/100, centred. False,
// with nothing drawn, when the image could not be rendered.
bool PaintPrintPage(QPainter& p, const QRect& page, const TAImage& image,
                    const std::string& title, double scale);
// One page on printer; the title is also the print job's name. False when nothing printed.
bool PrintImage(QPrinter& printer, const TAImage& image, const std::string& title, double scale);

// The print command: asks title and scale, then the printer, and prints the document's view
// (the active image when nullptr). Tests answer the dialogs (true to go on).
void PrintDocument(TQVMaster& master, TAstroDocument* doc);
inline std::function<bool(TFormPrint&)> PrintDialogHook;
inline std::function<bool(QPrinter&)> PrinterDialogHook;

}  // namespace orlu
