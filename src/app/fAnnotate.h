// The annotate window (`TFormAnnotate`, "Annotations"): shows and edits the current
// annotation of the bound image, or one property of all selected ones; creates, deletes
// and restores annotations, and offers the list commands of its menu.
#pragma once

#include <QColor>
#include <QPushButton>

#include <array>
#include <functional>
#include <memory>
#include <vector>

#include "OpWindowRules.h"
#include "fOpWindow.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QSpinBox;
class QStackedWidget;

namespace orlu {

// A colour box: left, right and middle clicks are told apart.
class TColourBox : public QPushButton {
  Q_OBJECT

 public:
  explicit TColourBox(QWidget* parent);
  void SetColour(uint32_t bgr);
  uint32_t Colour() const { return Bgr_; }

 signals:
  void Pressed(Qt::MouseButton button);

 protected:
  void mousePressEvent(QMouseEvent* e) override;

 private:
  uint32_t Bgr_ = 0;
};

class TFormAnnotate : public TOpWindow {
  Q_OBJECT

 public:
  explicit TFormAnnotate(TFormMain* main);
  ~TFormAnnotate() override;

  // The window's values (what "New" creates).
  const TAnnotation& Values() const { return Values_; }

  // ---- Controls (tests set them and call Changed) ----
  QComboBox* KindBox() const { return Kind_; }
  QPlainTextEdit* TextEdit() const { return Text_; }
  QComboBox* FontBox() const { return Font_; }
  QSpinBox* SizeEdit() const { return Size_; }
  QSpinBox* WidthEdit() const { return Width_; }
  QSpinBox* SectionsEdit() const { return Sections_; }
  QSpinBox* TransparencyEdit() const { return Transparency_; }
  QLabel* TransparencyLabel() const { return TransparencyLabel_; }
  QComboBox* LogoBox() const { return Logo_; }
  TColourBox* TextColourBox() const { return TextColour_; }
  TColourBox* FigureColourBox() const { return FigureColour_; }
  QSpinBox* Coord(int32_t i) const { return Coords_[size_t(i)]; }  // X1, X2, Y1, Y2
  QSpinBox* CentreOrBase(int32_t i) const { return Centre_[size_t(i)]; }  // X, Y
  QSpinBox* SizeXY(int32_t i) const { return SizeXY_[size_t(i)]; }
  QDoubleSpinBox* LengthEdit() const { return Length_; }
  QDoubleSpinBox* AngleEdit() const { return Angle_; }
  QPushButton* StyleButton(int32_t i) const { return StyleB_[size_t(i)]; }  // B, I, O
  QMenu* Menu() const { return Menu_; }

  // Takes the controls of property p into the window's values and applies them: to every
  // selected annotation (several selected), or all properties to the current one.
  void Changed(TAnnProp p);
  // A coordinate group was edited: 0 corners, 1 centre and size (or base), 2 length and angle.
  void CoordinatesChanged(int32_t group);
  // A colour box was clicked: left asks for its colour, right asks and sets both, middle
  // takes the other box's colour.
  void ColourPressed(bool textBox, Qt::MouseButton button);

  // ---- Buttons and menu ----
  void NewClick();
  void DeleteClick();
  void UndeleteClick();
  void PreviousClick();
  void NextClick();
  void GrowClick(int32_t step);  // +1 / -1; doubled with Shift
  void CopyClick();
  void PasteClick();
  void BringToFrontClick();
  void SendToBackClick();
  void OpenClick();
  void SaveClick(bool all);
  void SelectAllClick();
  void CopyAllToClick();
  void DeleteAllClick();
  void FlipClick(bool horizontal);
  void HideClick();
  // Ctrl+Shift with arrows shifts all by one pixel; Page Up/Down flip.
  bool ShiftKey(int key, Qt::KeyboardModifiers mods);

  // Tests answer the dialogs.
  std::function<bool(uint32_t& bgr)> ColourHook;
  std::function<TAstroDocument*(const std::vector<TAstroDocument*>&)> ChooseHook;

  void DocumentClosing(TAstroDocument& doc) override;

 signals:
  // The window closed: the mouse leaves annotate mode.
  void Closed();

 protected:
  void Reload() override;
  void Refresh(TDocumentEvent event) override;
  void UpdateCaption() override;
  void closeEvent(QCloseEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;

 private:
  void ShowValues();
  void ReadControl(TAnnProp p);
  void AfterEdit(bool kindChanged);
  void UpdateKindDependent();
  // The centre of the shown part of the image (the image centre when unknown).
  void ViewCentre(int32_t& x, int32_t& y) const;

  TAnnotation Values_;
  bool Loading_ = false;
  QComboBox* Kind_ = nullptr;
  QPlainTextEdit* Text_ = nullptr;
  QComboBox* Font_ = nullptr;
  QSpinBox* Size_ = nullptr;
  std::array<QPushButton*, 3> StyleB_{};
  QComboBox* TextPos_ = nullptr;
  TColourBox* TextColour_ = nullptr;
  TColourBox* FigureColour_ = nullptr;
  QSpinBox* Width_ = nullptr;
  QSpinBox* Sections_ = nullptr;
  QSpinBox* Transparency_ = nullptr;
  QLabel* TransparencyLabel_ = nullptr;
  QComboBox* Logo_ = nullptr;
  std::array<QSpinBox*, 4> Coords_{};
  std::array<QSpinBox*, 2> Centre_{};
  std::array<QSpinBox*, 2> SizeXY_{};
  QLabel* CentreLabel_ = nullptr;
  QStackedWidget* SizeOrLength_ = nullptr;
  QDoubleSpinBox* Length_ = nullptr;
  QDoubleSpinBox* Angle_ = nullptr;
  QMenu* Menu_ = nullptr;
  QAction* HideAction_ = nullptr;
  // Deleted annotations with their document, newest last.
  std::vector<std::pair<TAstroDocument*, std::unique_ptr<TAnnotation>>> Deleted_;
  std::unique_ptr<TAnnotation> Clip_;
};

}  // namespace orlu
