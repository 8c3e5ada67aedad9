// The histogram window (a tool window that follows the active image and doubles as a
// control panel of its visualization) and the stepwise histogram stretch dialog.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QImage>
#include <QToolButton>
#include <QWidget>

#include <functional>

#include "stats/HistoStats.h"
#include "uChildWindows.h"
#include "visual/ImaVisu.h"

class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QSlider;

namespace orlu {

// A button acting on a click of its left or right half.
class THalfButton : public QToolButton {
  Q_OBJECT

 public:
  explicit THalfButton(const QString& text, QWidget* parent);

 signals:
  void HalfClicked(bool left);

 protected:
  void mouseReleaseEvent(QMouseEvent* e) override;
};

// The histogram panel: bands, grid, bars, transfer curve and curve points; axis pan and zoom
// and curve-point dragging with the mouse.
class THistoPanel : public QWidget {
  Q_OBJECT

 public:
  explicit THistoPanel(QWidget* parent);

  THistoModel Model;
  bool SplitRGB = false;
  int32_t DragMode = 0;  // 0 none, 3 panning, 4 zooming, 10..13 curve point
  // The attached image (nullptr when none).
  std::function<TAImage*()> ImageOf;
  // The visualization changed by a curve drag: apply it to the views.
  std::function<void()> CurveChanged;
  // The axis changed by a drag (sliders follow).
  std::function<void()> AxisChanged;
  // Pointer readout: value and count.
  std::function<void(double, int32_t)> Readout;

  // Counts the attached image over the axis.
  void Recount();
  // The panel as drawn (also what "Copy to clipboard" takes).
  QImage Picture() const { return Bitmap_; }

 protected:
  void paintEvent(QPaintEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  // The wheel steps the attached image's contrast, as in its own window.
  void wheelEvent(QWheelEvent* e) override;

 private:
  void Draw();

  QImage Bitmap_;
  int32_t PointX_[4] = {-100, -100, -100, -100};
  int32_t PointY_[4] = {-100, -100, -100, -100};
  QPoint Press_;
  double Start0_ = 0, Span0_ = 0;
  bool Dragging_ = false;
  TTransferCurve CurveOrigin_;
};

class TFormHistoChild : public TChildWindow {
  Q_OBJECT

 public:
  explicit TFormHistoChild(QWidget* mainWindow);

  static TFormHistoChild* ShowHistogramWindow(QWidget* mainWindow, TAstroDocument* doc);

  THistoPanel* Panel() const { return Panel_; }
  THistoModel& Model() { return Panel_->Model; }
  int32_t PlainType() const { return PlainType_; }
  QSlider* SliderHigh() const { return TBMax_; }
  QSlider* SliderLow() const { return TBMin_; }
  QString BitText() const;
  QString TransferText() const;
  QString ValueText() const;
  QString CountText() const;
  // Buttons, as their halves act.
  void BitClick(bool left);
  void LumClick(bool left);
  void CntClick(bool left);
  void TransferClick(bool left);
  void ChooseSpecial(int32_t code);
  void CurvePointClick(bool left);
  void ToggleSplit();
  // "Save as text"; false when writing failed.
  bool SaveAsText(const QString& path);
  // The sliders moved (positions 0..20000); which one has the focus.
  void SlidersMoved(bool highHasFocus);
  // The last split choice, the default of new windows.
  static bool& SplitDefault();
  // Set while the stretch dialog is open: the sliders change nothing.
  static bool& StretchOpen();

 protected:
  void LoadContent() override;
  void Refresh(TDocumentEvent event) override;
  bool eventFilter(QObject* watched, QEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;

 private:
  void AttachAxis();
  void ApplyVisu(int32_t type, double high, double low);
  void Redraw();
  void SetSliders();
  void UpdateLabels();
  void ShowReadout(double v, int32_t count);

  THistoPanel* Panel_ = nullptr;
  QSlider* TBMax_ = nullptr;
  QSlider* TBMin_ = nullptr;
  THalfButton* Bit_ = nullptr;
  THalfButton* Transfer_ = nullptr;
  THalfButton* Curves_ = nullptr;
  QLabel* Value_ = nullptr;
  QLabel* Count_ = nullptr;
  QMenu* Popup_ = nullptr;
  int32_t PlainType_ = 0;
  bool Suppress_ = false;
  bool SettingSliders_ = false;
  QElapsedTimer Hold_;
  bool Held_ = false;
};

// "Histogram stretch" with a preview: step by step, with undo.
class TFormHistoFilter : public QDialog {
  Q_OBJECT

 public:
  TFormHistoFilter(QWidget* parent, TAstroDocument& doc);
  ~TFormHistoFilter() override;

  double Normalization() const { return N_; }
  void SetNormalization(double n);
  void StepRange(bool up);
  // "Apply and continue"; false when refused (20 steps) or the stretch failed.
  bool ApplyStep();
  // OK: history entries and the modified mark; Cancel: everything undone.
  void Finish(bool ok);
  const TStretchSteps& Steps() const { return Steps_; }
  THistoPanel* Panel() const { return Panel_; }

 protected:
  void reject() override;

 private:
  TAstroDocument& Doc_;
  THistoPanel* Panel_ = nullptr;
  QLineEdit* Range_ = nullptr;
  QPushButton* Ok_ = nullptr;
  TStretchSteps Steps_;
  TImageVisu SavedVisu_;
  double N_ = 65535;
  bool SnapshotTaken_ = false;
  bool Done_ = false;
};

}  // namespace orlu
