// The annotate window: shows and edits the current annotation of the bound document (or one
// property of all selected ones), with new, delete and undelete, stepping, growing and the
// list operations of its menu.
#pragma once

#include <memory>
#include <vector>

#include "annotate/uAnnotate.h"
#include "uChildWindows.h"

class QCheckBox;
class QComboBox;
class QFontComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QSpinBox;
class QToolButton;

namespace orlu {

class TFormAnnotate : public TChildWindow {
  Q_OBJECT

 public:
  explicit TFormAnnotate(QWidget* mainWindow);
  // Closing the window leaves annotate mode.
  ~TFormAnnotate() override;
  static TFormAnnotate* ShowAnnotateWindow(QWidget* mainWindow, TAstroDocument* doc);

  // "New": an annotation from the window's values centred on (cx, cy), selected.
  TAnnotation* NewAnnotation(int32_t cx, int32_t cy);
  // "Delete": the selected ones move to the undelete list; the last one is selected.
  void DeleteSelected();
  // "Undelete": the last deleted annotation of this document comes back.
  bool Undelete();
  void Step(bool next);
  void Grow(int32_t d);
  // Field edits: each applies one property to every selected annotation.
  void SetKind(int32_t kind);
  void SetText(const QString& text);
  void SetFigureColour(uint32_t bgr);
  void SetTextColour(uint32_t bgr);
  void SetLineWidth(int32_t w);
  void SetCorners(int32_t x1, int32_t y1, int32_t x2, int32_t y2);
  QString CaptionText() const;
  QMenu* Menu() const { return Menu_; }

 protected:
  void LoadContent() override { ShowCurrent(); }
  void Refresh(TDocumentEvent event) override;

 private:
  template <class F>
  void ForSelected(F f);
  void Changed();
  void ShowCurrent();
  TAnnotationList* List() const;

  QComboBox* Kind_ = nullptr;
  QLineEdit* Text_ = nullptr;
  QFontComboBox* Font_ = nullptr;
  QSpinBox* Size_ = nullptr;
  QToolButton* Bold_ = nullptr;
  QToolButton* Italic_ = nullptr;
  QToolButton* Outline_ = nullptr;
  QComboBox* TextPos_ = nullptr;
  QToolButton* TextColour_ = nullptr;
  QToolButton* FigureColour_ = nullptr;
  QSpinBox* Width_ = nullptr;
  QSpinBox* Sections_ = nullptr;
  QSpinBox* Transparency_ = nullptr;
  QLabel* TransparencyLabel_ = nullptr;
  QSpinBox* Corner_[4] = {};
  QMenu* Menu_ = nullptr;
  bool Showing_ = false;
  // Deleted annotations with the document they came from.
  std::vector<std::pair<const TAstroDocument*, std::unique_ptr<TAnnotation>>> Deleted_;
  std::unique_ptr<TAnnotation> Clip_;
};

}  // namespace orlu
