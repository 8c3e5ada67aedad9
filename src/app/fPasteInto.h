// "Paste into image": a live window that pastes a clipboard image into a document at a
// position moved by fields or a joystick, previewing every change.
#pragma once

#include <QPointer>
#include <QWidget>

#include <memory>

#include "document/uAstroDoc.h"
#include "processing/IPPaste.h"
#include "processing/uFilMan.h"

class QComboBox;
class QDoubleSpinBox;
class QPushButton;
class QSpinBox;

namespace orlu {

class TFormMain;
class TQVMaster;

// The joystick: a drag moves the paste with the mouse, a click outside its central 30%
// nudges it one step toward the click.
class TPasteJoystick : public QWidget {
  Q_OBJECT

 public:
  explicit TPasteJoystick(QWidget* parent = nullptr);
  QSize sizeHint() const override { return QSize(96, 96); }

 signals:
  // Screen pixels moved since the last report (y down).
  void Dragged(int dx, int dy);
  // Direction of a click beside the centre: −1, 0 or 1 per axis (y up).
  void Nudged(int sx, int sy);

 protected:
  void paintEvent(QPaintEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;

 private:
  QPoint Last_;
  bool Pressed_ = false;
  bool Moved_ = false;
};

class TFormPasteInto : public QWidget, public IDocumentObserver {
  Q_OBJECT

 public:
  // Opens the window on doc (the active image when nullptr) with the clipboard image; the
  // open window, or nullptr (nothing shown) without a document or clip, or while a live
  // window is open.
  static TFormPasteInto* Open(TQVMaster& master, TAstroDocument* doc);
  // The open window, nullptr when none.
  static TFormPasteInto* Current();
  ~TFormPasteInto() override;

  TAstroDocument* Document() const { return Model_ ? Model_->Document() : nullptr; }
  const TPasteParams& Params() const { return Model_->Params; }
  // Sets the fields (each change previews).
  void SetParams(const TPasteParams& p);
  TPasteJoystick* Joystick() const { return Joystick_; }
  // "OK": keeps the paste; "Cancel": restores the image. Both close the window.
  void Accept();
  void Reject();
  // "...": the position from another open image's selected point or mask corner.
  void TakePositionFromOther();

  // ---- IDocumentObserver ----
  void DocumentChanged(TAstroDocument& doc, TDocumentEvent event) override;
  void DocumentClosing(TAstroDocument& doc) override;

 protected:
  void closeEvent(QCloseEvent* e) override;

 private:
  TFormPasteInto(TQVMaster& master, TAstroDocument& doc, std::unique_ptr<TAImage> clip);
  void BuildFields();
  // Fields from the model's parameters without previewing.
  void ShowParams();
  // Model from the fields, then a preview.
  void FieldsChanged();
  void Preview();
  // Drops the model (cancelling when still live) and detaches from the document; refresh
  // shows errors and refreshes the document's windows.
  void Finish(bool commit, bool refresh);
  double ViewZoom() const;

  TQVMaster& M_;
  TFilterContext Ctx_;
  std::unique_ptr<TAImage> Clip_;
  std::unique_ptr<TPasteInto> Model_;
  TAstroDocument* Observed_ = nullptr;
  bool Updating_ = false;
  QSpinBox* X_ = nullptr;
  QSpinBox* Y_ = nullptr;
  QDoubleSpinBox* Opacity_ = nullptr;
  QDoubleSpinBox* Offset_ = nullptr;
  QComboBox* Mode_ = nullptr;
  TPasteJoystick* Joystick_ = nullptr;
  QPushButton* Other_ = nullptr;
};

}  // namespace orlu
