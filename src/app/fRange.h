// The visualization range dialog (ADU, percentage or sigma bounds with a transfer code) and
// the palette menu of the active image.
#pragma once

#include <QDialog>

#include <functional>

#include "visual/ImaVisu.h"

class QComboBox;
class QLineEdit;
class QMenu;
class QRadioButton;

namespace orlu {

class TAstroDocument;

class TFormRange : public QDialog {
  Q_OBJECT

 public:
  TFormRange(QWidget* parent, TAstroDocument& doc);
  void SetMode(TRangeMode mode);
  void SetBounds(double a, double b);
  void SetType(int32_t code);
  // OK: applies and closes; false (nothing changed) when a bound is not a number.
  bool ApplyAndClose();

 private:
  TAstroDocument& Doc_;
  QRadioButton* Modes_[3] = {};
  QLineEdit* A_ = nullptr;
  QLineEdit* B_ = nullptr;
  QComboBox* Type_ = nullptr;
};

// Gray, Negative, Color, Flame, Rainbow, Jazz, Saw tooth and a palette file, for the image
// active(); nothing without one.
QMenu* BuildPaletteMenu(QWidget* parent, std::function<TAstroDocument*()> active);

}  // namespace orlu
