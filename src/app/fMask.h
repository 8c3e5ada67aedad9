// The mask window ("Mask"): the mask tools and combination modes that the image windows'
// mouse uses, the "Move" arrows, "Smooth", "Invert", "Undo/Redo", and mask files; and the
// smoothing dialog. Edits go to the mask of the active image.
#pragma once

#include <QDialog>
#include <QImage>

#include <memory>

#include "fOpWindow.h"
#include "formula/ImaMask.h"

class QButtonGroup;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QSpinBox;
class QToolButton;

namespace orlu {

class TFormMask : public TOpWindow {
  Q_OBJECT

 public:
  explicit TFormMask(TFormMain* main);

  // The chosen tool (0 rectangle, 1 ellipse, 2 path, 3 fill, 4 value, 5 move) and mode.
  int32_t Tool() const { return Tool_; }
  TMaskMode Mode() const { return Mode_; }
  void SetTool(int32_t tool);
  void SetMode(TMaskMode mode);

  // ---- The buttons (tests press them) ----
  void ArrowClick(int32_t arrow);  // TMaskArrow
  void SmoothClick();
  void InvertClick();
  void UndoRedoClick();
  void SaveClick();
  void LoadClick();
  // The "Tolerance" field was edited: kept in the option MaskTolerance when valid.
  void ToleranceEdited();

  QLineEdit* ToleranceEdit() const { return Tolerance_; }
  QSpinBox* PixelsEdit() const { return Pixels_; }
  // The smoothing dialog while it is open (tests drive it).
  class TFormMaskSmooth* SmoothDialog() const { return Smooth_; }
  // Called with the dialog after it opened and before it runs (tests answer it).
  std::function<void(class TFormMaskSmooth&)> SmoothHook;

 signals:
  void ToolChanged(int32_t tool);
  void ModeChanged(orlu::TMaskMode mode);

 protected:
  void Reload() override;

 private:
  // The active image's mask and its document, or nullptr after telling the user.
  TAMask* ActiveMask(bool needStorage);
  void Changed();

  int32_t Tool_ = 0;
  TMaskMode Mode_ = TMaskMode::Replace;
  QButtonGroup* Tools_ = nullptr;
  QButtonGroup* Modes_ = nullptr;
  QLineEdit* Tolerance_ = nullptr;
  QSpinBox* Pixels_ = nullptr;
  std::vector<QWidget*> DocButtons_;
  TFormMaskSmooth* Smooth_ = nullptr;
};

// The smoothing dialog ("Mask"): "Smooth" and "Truncate" sliders with their fields. Every
// change recomputes the mask from the copy taken when it opened; "OK" keeps the result,
// "Cancel" restores the mask.
class TFormMaskSmooth : public QDialog {
  Q_OBJECT

 public:
  // Saves the mask (throws EOrluError "Out of memory" when it cannot).
  TFormMaskSmooth(QWidget* parent, TAstroDocument& doc, TOpWindow& owner);

  QSlider* SmoothSlider() const { return SmoothSlider_; }
  QSlider* TruncateSlider() const { return TruncateSlider_; }
  QLineEdit* SmoothEdit() const { return SmoothEdit_; }
  QLineEdit* TruncateEdit() const { return TruncateEdit_; }
  double SmoothValue() const { return S_; }
  double TruncateValue() const { return T_; }
  // The fields were edited; false (value kept, message shown) for a bad entry.
  bool SmoothEdited();
  bool TruncateEdited();
  bool Finished() const { return Done_; }
  // The mask as the preview shows it now.
  const QImage& Preview() const { return Preview_; }

  void accept() override;
  void reject() override;

 private:
  void Update();
  void ShowPreview();

  TAstroDocument& Doc_;
  TOpWindow& Owner_;
  TMaskSmoothing Smoothing_;
  double S_ = 0;
  double T_ = 0;
  QSlider* SmoothSlider_ = nullptr;
  QSlider* TruncateSlider_ = nullptr;
  QLineEdit* SmoothEdit_ = nullptr;
  QLineEdit* TruncateEdit_ = nullptr;
  bool Done_ = false;
  QLabel* PreviewLabel_ = nullptr;
  QImage Preview_;
};

}  // namespace orlu
