// The mask window: the mask tools and combination modes for the mouse, moving by pixels,
// smoothing with truncation, inverting and the one-level undo of the active image's mask.
#pragma once

#include <QDialog>

#include <memory>

#include "formula/ImaMask.h"
#include "uChildWindows.h"

class QButtonGroup;
class QDoubleSpinBox;
class QSlider;
class QSpinBox;

namespace orlu {

class TFormMask : public TChildWindow {
  Q_OBJECT

 public:
  explicit TFormMask(QWidget* mainWindow);
  ~TFormMask() override;
  static TFormMask* ShowMaskWindow(QWidget* mainWindow, TAstroDocument* doc);

  // Tool 0..6 (rectangle, ellipse, path, fill, value, move, brush): the mouse goes to mask
  // mode.
  void ChooseTool(int32_t tool);
  void ChooseMode(int32_t mode);
  // The arrows: left −n, right +n, down −n rows, up +n rows.
  void MoveBy(int32_t dx, int32_t dy);
  void Invert();
  void UndoRedo();

 protected:
  void LoadContent() override {}

 private:
  void AfterEdit();
  QButtonGroup* Tools_ = nullptr;
  QButtonGroup* Modes_ = nullptr;
  QSpinBox* Pixels_ = nullptr;
  QDoubleSpinBox* Tolerance_ = nullptr;
};

// "Mask" smoothing dialog: "Smooth" s and "Truncate" t recomputed from the saved copy.
class TFormMaskSmooth : public QDialog {
  Q_OBJECT

 public:
  TFormMaskSmooth(QWidget* parent, TAstroDocument& doc);
  void SetValues(double s, double t);
  double Smoothing() const { return S_; }
  double Truncation() const { return T_; }
  void Finish(bool ok);

 protected:
  void reject() override { Finish(false); }

 private:
  void Recompute();
  TAstroDocument& Doc_;
  std::unique_ptr<TMaskSmoothing> Model_;
  QSlider* SmoothSlider_ = nullptr;
  QSlider* TruncSlider_ = nullptr;
  double S_ = 0;
  double T_ = 0;
  bool Done_ = false;
};

}  // namespace orlu
