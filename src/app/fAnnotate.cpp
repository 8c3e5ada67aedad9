#include "fAnnotate.h"

#include <QApplication>
#include <QColorDialog>
#include <QComboBox>
#include <QFileDialog>
#include <QFontComboBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QSpinBox>
#include <QToolButton>

#include "base/Translate.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"
#include "uDragger.h"

namespace orlu {

namespace {

QString TrQ(const char* s) { return QString::fromStdString(Tr(s)); }

QColor ToQColor(uint32_t bgr) { return QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF); }
uint32_t ToBgr(const QColor& c) { return uint32_t(c.red()) | uint32_t(c.green()) << 8 | uint32_t(c.blue()) << 16; }

void Paint(QToolButton* b, uint32_t bgr) {
  b->setStyleSheet(QString("background-color: %1").arg(ToQColor(bgr).name()));
  b->setProperty("bgr", uint(bgr));
}

// A colour box: left click asks its colour, right click asks one colour for both boxes,
// middle click takes the other box's colour.
class TColourBox : public QToolButton {
 public:
  TColourBox(QWidget* parent, std::function<void(Qt::MouseButton)> click) : QToolButton(parent), Click_(std::move(click)) {
    setFixedSize(28, 20);
  }

 protected:
  void mouseReleaseEvent(QMouseEvent* e) override {
    if (rect().contains(e->position().toPoint())) Click_(e->button());
  }

 private:
  std::function<void(Qt::MouseButton)> Click_;
};

}  // namespace

TFormAnnotate::TFormAnnotate(QWidget* mainWindow)
    : TChildWindow(mainWindow, TrQ("Annotations"), TToolKind::Annotate) {
  setObjectName("FormAnnotate");
  auto* body = new QWidget(this);
  auto* g = new QGridLayout(body);
  g->setContentsMargins(2, 2, 2, 2);
  Kind_ = new QComboBox(body);
  for (int32_t k = 0; k < kAnnotationKinds; ++k) Kind_->addItem(TrQ(AnnotationKindName(k)));
  g->addWidget(Kind_, 0, 0, 1, 2);
  Text_ = new QLineEdit(body);
  g->addWidget(Text_, 0, 2, 1, 3);
  Font_ = new QFontComboBox(body);
  const QStringList fams = QFontDatabase::families();
  Font_->setCurrentFont(QFont(fams.contains("Calibri") ? "Calibri" : (fams.contains("Arial") ? "Arial" : fams.value(0))));
  g->addWidget(Font_, 1, 0, 1, 2);
  Size_ = new QSpinBox(body);
  Size_->setRange(1, kAnnMaxFontSize);
  Size_->setValue(10);
  g->addWidget(Size_, 1, 2);
  auto styleButton = [body](const char* t) {
    auto* b = new QToolButton(body);
    b->setText(t);
    b->setCheckable(true);
    return b;
  };
  Bold_ = styleButton("B");
  Italic_ = styleButton("I");
  Outline_ = styleButton("O");
  auto* styles = new QHBoxLayout;
  styles->addWidget(Bold_);
  styles->addWidget(Italic_);
  styles->addWidget(Outline_);
  g->addLayout(styles, 1, 3, 1, 2);
  TextPos_ = new QComboBox(body);
  for (int32_t k = 0; k <= tpNone; ++k) TextPos_->addItem(TrQ(TextPositionName(k)));
  g->addWidget(TextPos_, 2, 0, 1, 2);
  TextColour_ = new TColourBox(body, [this](Qt::MouseButton b) {
    if (b == Qt::MiddleButton) return SetTextColour(FigureColour_->property("bgr").toUInt());
    const QColor c = QColorDialog::getColor(ToQColor(TextColour_->property("bgr").toUInt()), this);
    if (!c.isValid()) return;
    SetTextColour(ToBgr(c));
    if (b == Qt::RightButton) SetFigureColour(ToBgr(c));
  });
  FigureColour_ = new TColourBox(body, [this](Qt::MouseButton b) {
    if (b == Qt::MiddleButton) return SetFigureColour(TextColour_->property("bgr").toUInt());
    const QColor c = QColorDialog::getColor(ToQColor(FigureColour_->property("bgr").toUInt()), this);
    if (!c.isValid()) return;
    SetFigureColour(ToBgr(c));
    if (b == Qt::RightButton) SetTextColour(ToBgr(c));
  });
  Paint(TextColour_, 0xD8D8B8);
  Paint(FigureColour_, 0xD8D8B8);
  g->addWidget(TextColour_, 2, 2);
  g->addWidget(FigureColour_, 2, 3);
  g->addWidget(new QLabel(TrQ("Width"), body), 3, 0);
  Width_ = new QSpinBox(body);
  Width_->setRange(1, kAnnMaxWidth);
  Width_->setValue(2);
  g->addWidget(Width_, 3, 1);
  g->addWidget(new QLabel(TrQ("Sections"), body), 3, 2);
  Sections_ = new QSpinBox(body);
  Sections_->setRange(1, kAnnMaxSections);
  g->addWidget(Sections_, 3, 3);
  TransparencyLabel_ = new QLabel(TrQ("Transparency"), body);
  g->addWidget(TransparencyLabel_, 4, 0);
  Transparency_ = new QSpinBox(body);
  Transparency_->setRange(0, 100);
  g->addWidget(Transparency_, 4, 1);
  const char* corners[] = {"X1 - X2", "Y1 - Y2"};
  for (int32_t i = 0; i < 4; ++i) {
    Corner_[i] = new QSpinBox(body);
    Corner_[i]->setRange(-kAnnMaxCoordinate, kAnnMaxCoordinate);
    if (i % 2 == 0) g->addWidget(new QLabel(TrQ(corners[i / 2]), body), 5 + i / 2, 0);
    g->addWidget(Corner_[i], 5 + i / 2, 1 + i % 2);
  }
  auto button = [this, body](const char* t, auto fn) {
    auto* b = new QToolButton(body);
    b->setText(TrQ(t));
    connect(b, &QToolButton::clicked, this, fn);
    return b;
  };
  auto* row = new QHBoxLayout;
  row->addWidget(button("New", [this] {
    TAstroDocument* d = Document();
    if (d) NewAnnotation(d->CentreX(), d->CentreY());
  }));
  row->addWidget(button("Delete", [this] { DeleteSelected(); }));
  row->addWidget(button("<", [this] { Step(false); }));
  row->addWidget(button(">", [this] { Step(true); }));
  row->addWidget(button("+", [this] { Grow(QApplication::keyboardModifiers() & Qt::ShiftModifier ? 2 : 1); }));
  row->addWidget(button("-", [this] { Grow(QApplication::keyboardModifiers() & Qt::ShiftModifier ? -2 : -1); }));
  auto* menuButton = new QToolButton(body);
  menuButton->setText(TrQ("Menu"));
  menuButton->setPopupMode(QToolButton::InstantPopup);
  Menu_ = new QMenu(menuButton);
  menuButton->setMenu(Menu_);
  row->addWidget(menuButton);
  g->addLayout(row, 7, 0, 1, 5);

  Menu_->addAction(TrQ("Undelete"), this, [this] { Undelete(); });
  Menu_->addAction(TrQ("Copy"), this, [this] {
    if (TAnnotationList* l = List(); l && l->Current()) Clip_ = l->Current()->Clone();
  });
  Menu_->addAction(TrQ("Paste"), this, [this] {
    if (TAnnotationList* l = List(); l && Clip_) {
      l->AddAsNew(Clip_->Clone());
      Changed();
    }
  });
  Menu_->addAction(TrQ("Bring to front"), this, [this] {
    if (TAnnotationList* l = List(); l && l->Current()) l->BringToFront(l->Current()), Changed();
  });
  Menu_->addAction(TrQ("Send to back"), this, [this] {
    if (TAnnotationList* l = List(); l && l->Current()) l->SendToBack(l->Current()), Changed();
  });
  Menu_->addAction(TrQ("Open"), this, [this] {
    TAstroDocument* d = Document();
    if (!d) return;
    const QString name = QFileDialog::getOpenFileName(this, TrQ("Open"), QString(),
                                                      "Annotation files  *.ann (*.ann);;All files  *.* (*)");
    if (name.isEmpty()) return;
    d->Annotations.OpenFile(name.toStdString(), d->CentreX(), d->CentreY());
    Changed();
  });
  for (bool all : {false, true})
    Menu_->addAction(TrQ(all ? "Save all" : "Save"), this, [this, all] {
      TAstroDocument* d = Document();
      if (!d) return;
      QString name = QFileDialog::getSaveFileName(this, TrQ("Save"), QString(), "Annotation files  *.ann (*.ann)");
      if (name.isEmpty()) return;
      if (QFileInfo(name).suffix().isEmpty()) name += ".ann";
      if (!d->Annotations.SaveToFile(name.toStdString(), all)) QApplication::beep();
    });
  Menu_->addAction(TrQ("Select all"), this, [this] {
    if (TAnnotationList* l = List()) l->SelectAll(), Changed();
  });
  Menu_->addAction(TrQ("Delete all"), this, [this] {
    if (TAnnotationList* l = List()) l->Clear(), Changed();
  });
  Menu_->addAction(TrQ("Flip horizontal"), this, [this] {
    if (TAstroDocument* d = Document()) d->Annotations.FlipHorizontal(d->Width()), Changed();
  });
  Menu_->addAction(TrQ("Flip vertical"), this, [this] {
    if (TAstroDocument* d = Document()) d->Annotations.FlipVertical(d->Height()), Changed();
  });

  connect(Kind_, &QComboBox::currentIndexChanged, this, [this](int k) {
    if (!Showing_) SetKind(k);
  });
  connect(Text_, &QLineEdit::textEdited, this, [this](const QString& t) { SetText(t); });
  connect(Font_, &QFontComboBox::currentFontChanged, this, [this](const QFont& f) {
    if (!Showing_) ForSelected([&f](TAnnotation& a) { a.FontName = f.family().toStdString(); });
  });
  connect(Size_, &QSpinBox::valueChanged, this, [this](int v) {
    if (!Showing_) ForSelected([v](TAnnotation& a) { a.FontSize = v; });
  });
  for (auto [b, flag] : {std::pair{Bold_, kAnnBold}, std::pair{Italic_, kAnnItalic}, std::pair{Outline_, kAnnOutline}})
    connect(b, &QToolButton::toggled, this, [this, flag = flag](bool on) {
      if (!Showing_) ForSelected([flag, on](TAnnotation& a) { a.Style = on ? (a.Style | flag) : (a.Style & ~flag); });
    });
  connect(TextPos_, &QComboBox::currentIndexChanged, this, [this](int p) {
    if (!Showing_) ForSelected([p](TAnnotation& a) { a.TextPos = uint8_t(p); });
  });
  connect(Width_, &QSpinBox::valueChanged, this, [this](int v) {
    if (!Showing_) SetLineWidth(v);
  });
  connect(Sections_, &QSpinBox::valueChanged, this, [this](int v) {
    if (!Showing_) ForSelected([v](TAnnotation& a) { a.Sections = v; });
  });
  connect(Transparency_, &QSpinBox::valueChanged, this, [this](int v) {
    if (!Showing_) ForSelected([v](TAnnotation& a) { a.Transparency = v; });
  });
  for (QSpinBox* s : Corner_)
    connect(s, &QSpinBox::valueChanged, this, [this] {
      if (!Showing_) SetCorners(Corner_[0]->value(), Corner_[2]->value(), Corner_[1]->value(), Corner_[3]->value());
    });
  resize(380, 300);
  Setup(body, 200, 260, 0);
  SetPinned(false);
}

TFormAnnotate::~TFormAnnotate() {
  if (MouseTools().MouseMode == TMouseToolSettings::kAnnotate) MouseTools().MouseMode = TMouseToolSettings::kNormal;
}

TFormAnnotate* TFormAnnotate::ShowAnnotateWindow(QWidget* mainWindow, TAstroDocument* doc) {
  for (TChildWindow* w : All())
    if (w->Kind() == TToolKind::Annotate) {
      w->Bind(doc, false);
      w->show();
      w->raise();
      return static_cast<TFormAnnotate*>(w);
    }
  auto* a = new TFormAnnotate(mainWindow);
  a->Bind(doc, true);
  a->show();
  return a;
}

TAnnotationList* TFormAnnotate::List() const { return Document() ? &Document()->Annotations : nullptr; }

template <class F>
void TFormAnnotate::ForSelected(F f) {
  TAnnotationList* l = List();
  if (!l) return;
  bool any = false;
  for (int32_t i = 0; i < l->Count(); ++i)
    if ((*l)[i].Selected) {
      f((*l)[i]);
      any = true;
    }
  if (any) Changed();
}

void TFormAnnotate::Changed() {
  TAstroDocument* d = Document();
  if (!d) return;
  if (const TAnnotation* a = d->Annotations.Current()) Options().Misc.DefaultAnnotation = a->Kind;
  d->SetModified();
  d->RefreshViews();
  ShowCurrent();
}

void TFormAnnotate::Refresh(TDocumentEvent event) {
  if (event == TDocumentEvent::Views && !Showing_) ShowCurrent();
}

QString TFormAnnotate::CaptionText() const {
  TAnnotationList* l = List();
  if (!l) return TrQ("Annotations");
  QString c = TrQ("Annotation") + QString(" #%1").arg(l->Current() ? l->IndexOf(l->Current()) + 1 : 0);
  if (l->SelectedCount() > 0)
    c += "  -  " + TrQ("Selected") + QString(" %1/%2").arg(l->SelectedCount()).arg(l->Count());
  return c;
}

void TFormAnnotate::ShowCurrent() {
  Showing_ = true;
  TAnnotationList* l = List();
  const TAnnotation* a = l ? l->Current() : nullptr;
  if (a) {
    Kind_->setCurrentIndex(a->Kind);
    Text_->setText(QString::fromStdString(a->Text));
    Font_->setCurrentFont(QFont(QString::fromStdString(a->FontName)));
    Size_->setValue(a->FontSize);
    Bold_->setChecked(a->Style & kAnnBold);
    Italic_->setChecked(a->Style & kAnnItalic);
    Outline_->setChecked(a->Style & kAnnOutline);
    TextPos_->setCurrentIndex(a->TextPos);
    Paint(TextColour_, a->TextColor);
    Paint(FigureColour_, a->FigureColor);
    Width_->setValue(a->Width);
    Sections_->setValue(a->Sections);
    Transparency_->setValue(a->Transparency);
    const int32_t v[4] = {a->X1, a->X2, a->Y1, a->Y2};
    for (int32_t i = 0; i < 4; ++i) Corner_[i]->setValue(v[i]);
  }
  Sections_->setEnabled(a && a->Kind == akRuler);
  TransparencyLabel_->setText(TrQ(a && a->Kind == akTextBox ? "Opacity" : "Transparency"));
  SetCaptionSuffix(Document() ? "   " + CaptionText() : QString());
  UpdateCaption();
  Showing_ = false;
}

TAnnotation* TFormAnnotate::NewAnnotation(int32_t cx, int32_t cy) {
  TAnnotationList* l = List();
  if (!l) return nullptr;
  auto a = std::make_unique<TAnnotation>();
  a->Kind = Kind_->currentIndex();
  a->Text = Text_->text().isEmpty() ? Tr("Text here") : Text_->text().toStdString();
  a->FontName = Font_->currentFont().family().toStdString();
  a->FontSize = Size_->value();
  a->Style = (Bold_->isChecked() ? uint32_t(kAnnBold) : 0u) | (Italic_->isChecked() ? uint32_t(kAnnItalic) : 0u) |
             (Outline_->isChecked() ? uint32_t(kAnnOutline) : 0u);
  a->TextPos = uint8_t(TextPos_->currentIndex());
  a->TextColor = TextColour_->property("bgr").toUInt();
  a->FigureColor = FigureColour_->property("bgr").toUInt();
  a->Width = Width_->value();
  a->Sections = Sections_->value();
  a->Transparency = Transparency_->value();
  a->CentreOn(cx, cy);
  TAnnotation& added = l->AddAsNew(std::move(a));
  Changed();
  return &added;
}

void TFormAnnotate::DeleteSelected() {
  TAnnotationList* l = List();
  if (!l) return;
  while (std::unique_ptr<TAnnotation> a = l->DeleteFirstSelected()) Deleted_.emplace_back(Document(), std::move(a));
  l->SelectLast();
  Changed();
}

bool TFormAnnotate::Undelete() {
  TAnnotationList* l = List();
  if (!l) return false;
  for (auto it = Deleted_.rbegin(); it != Deleted_.rend(); ++it)
    if (it->first == Document()) {
      TAnnotation& a = l->Add(std::move(it->second));
      Deleted_.erase(std::next(it).base());
      l->Select(&a);
      Changed();
      return true;
    }
  return false;
}

void TFormAnnotate::Step(bool next) {
  TAnnotationList* l = List();
  if (!l) return;
  if (next)
    l->SelectNext();
  else
    l->SelectPrevious();
  Changed();
}

void TFormAnnotate::Grow(int32_t d) {
  ForSelected([d](TAnnotation& a) { a.Grow(d); });
}

void TFormAnnotate::SetKind(int32_t kind) {
  ForSelected([kind](TAnnotation& a) { a.Kind = kind; });
}

void TFormAnnotate::SetText(const QString& text) {
  const std::string t = text.toStdString();
  ForSelected([&t](TAnnotation& a) { a.Text = t; });
}

void TFormAnnotate::SetFigureColour(uint32_t bgr) {
  Paint(FigureColour_, bgr);
  ForSelected([bgr](TAnnotation& a) { a.FigureColor = bgr; });
}

void TFormAnnotate::SetTextColour(uint32_t bgr) {
  Paint(TextColour_, bgr);
  ForSelected([bgr](TAnnotation& a) { a.TextColor = bgr; });
}

void TFormAnnotate::SetLineWidth(int32_t w) {
  ForSelected([w](TAnnotation& a) { a.Width = w; });
}

void TFormAnnotate::SetCorners(int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
  ForSelected([=](TAnnotation& a) {
    a.X1 = x1, a.Y1 = y1, a.X2 = x2, a.Y2 = y2;
  });
}

}  // namespace orlu
