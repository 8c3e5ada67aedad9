#include "fAnnotate.h"

#include <QApplication>
#include <QCloseEvent>
#include <QColorDialog>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSpinBox>
#include <QStackedWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <filesystem>

#include "base/Translate.h"
#include "fChild.h"
#include "fMain.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"

namespace orlu {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }
QString TrQ(const char* s) { return Q(Tr(s)); }
const char* const kAnnCaption = "Annotations";

QColor ToQColor(uint32_t bgr) {
  return QColor(int(bgr & 0xFF), int((bgr >> 8) & 0xFF), int((bgr >> 16) & 0xFF));
}
uint32_t FromQColor(const QColor& c) {
  return uint32_t(c.red()) | (uint32_t(c.green()) << 8) | (uint32_t(c.blue()) << 16);
}

// Lines are kept with CR; the editor shows LF.
QString ToEditor(const std::string& text) { return Q(text).replace('\r', '\n'); }
std::string FromEditor(const QString& text) {
  QString t = text;
  t.replace("\r\n", "\r").replace('\n', '\r');
  return t.toStdString();
}

bool ArrowLike(int32_t kind) { return kind == akArrow || kind == akRuler; }

QSpinBox* CoordSpin(QWidget* parent) {
  auto* s = new QSpinBox(parent);
  s->setRange(-kAnnMaxCoordinate, kAnnMaxCoordinate);
  return s;
}

}  // namespace

// ============================================================================ colour box

TColourBox::TColourBox(QWidget* parent) : QPushButton(parent) { setMinimumWidth(48); }

void TColourBox::SetColour(uint32_t bgr) {
  Bgr_ = bgr & 0xFFFFFFu;
  setStyleSheet(QString("background-color: %1").arg(ToQColor(Bgr_).name()));
}

void TColourBox::mousePressEvent(QMouseEvent* e) {
  emit Pressed(e->button());
  e->accept();
}

// ============================================================================ window

TFormAnnotate::TFormAnnotate(TFormMain* main) : TOpWindow(main, kAnnCaption, true) {
  setObjectName("FormAnnotate");
  Values_.Kind = std::clamp(Options().Misc.DefaultAnnotation, 0, kAnnotationKinds - 1);
  const QStringList families = QFontDatabase::families();
  Values_.FontName = families.contains("Calibri")  ? "Calibri"
                     : families.contains("Arial")  ? "Arial"
                     : !families.isEmpty()         ? families.first().toStdString()
                                                   : "Arial";
  auto* lay = new QVBoxLayout(this);
  auto* g = new QGridLayout;
  int row = 0;
  Kind_ = new QComboBox(this);
  for (int32_t k = 0; k < kAnnotationKinds; ++k) Kind_->addItem(TrQ(AnnotationKindName(k)));
  g->addWidget(Kind_, row, 0, 1, 2);
  TextPos_ = new QComboBox(this);
  for (int32_t k = 0; k <= tpNone; ++k) TextPos_->addItem(TrQ(TextPositionName(k)));
  g->addWidget(TextPos_, row++, 2, 1, 2);
  Text_ = new QPlainTextEdit(this);
  Text_->setMaximumHeight(60);
  g->addWidget(Text_, row++, 0, 1, 4);
  Font_ = new QComboBox(this);
  Font_->setEditable(true);
  Font_->addItems(families);
  g->addWidget(Font_, row, 0, 1, 2);
  Size_ = new QSpinBox(this);
  Size_->setRange(1, kAnnMaxFontSize);
  g->addWidget(Size_, row, 2);
  auto* styles = new QHBoxLayout;
  const char* styleCaptions[] = {"B", "I", "O"};
  for (int i = 0; i < 3; ++i) {
    StyleB_[size_t(i)] = new QPushButton(styleCaptions[i], this);
    StyleB_[size_t(i)]->setCheckable(true);
    StyleB_[size_t(i)]->setMaximumWidth(28);
    styles->addWidget(StyleB_[size_t(i)]);
    connect(StyleB_[size_t(i)], &QPushButton::toggled, this, [this] { Changed(TAnnProp::Style); });
  }
  g->addLayout(styles, row++, 3);
  TextColour_ = new TColourBox(this);
  FigureColour_ = new TColourBox(this);
  g->addWidget(new QLabel(TrQ("Text"), this), row, 0);
  g->addWidget(TextColour_, row, 1);
  g->addWidget(new QLabel(TrQ("Figure"), this), row, 2);
  g->addWidget(FigureColour_, row++, 3);
  Width_ = new QSpinBox(this);
  Width_->setRange(1, kAnnMaxWidth);
  Sections_ = new QSpinBox(this);
  Sections_->setRange(1, kAnnMaxSections);
  Transparency_ = new QSpinBox(this);
  Transparency_->setRange(0, 100);
  TransparencyLabel_ = new QLabel(this);
  g->addWidget(new QLabel(TrQ("Width"), this), row, 0);
  g->addWidget(Width_, row, 1);
  g->addWidget(new QLabel(TrQ("Sections"), this), row, 2);
  g->addWidget(Sections_, row++, 3);
  g->addWidget(TransparencyLabel_, row, 0);
  g->addWidget(Transparency_, row, 1);
  Logo_ = new QComboBox(this);
  Logo_->addItem(QString());
  std::error_code ec;
  std::vector<std::string> logos;
  for (const auto& entry : std::filesystem::directory_iterator(LogoSource().Folder, ec))
    if (entry.path().extension() == ".png") logos.push_back(entry.path().filename().string());
  std::sort(logos.begin(), logos.end());
  for (const std::string& l : logos) Logo_->addItem(Q(l));
  g->addWidget(Logo_, row++, 2, 1, 2);
  lay->addLayout(g);

  auto* coords = new QGroupBox(TrQ("Coordinates"), this);
  // Unchecked, the corner fields rest (the common edits need none of them).
  coords->setCheckable(true);
  coords->setChecked(false);
  auto* cl = new QGridLayout(coords);
  for (size_t i = 0; i < 4; ++i) Coords_[i] = CoordSpin(coords);
  cl->addWidget(new QLabel(TrQ("X1 - X2"), coords), 0, 0);
  cl->addWidget(Coords_[0], 0, 1);
  cl->addWidget(Coords_[1], 0, 2);
  cl->addWidget(new QLabel(TrQ("Y1 - Y2"), coords), 1, 0);
  cl->addWidget(Coords_[2], 1, 1);
  cl->addWidget(Coords_[3], 1, 2);
  CentreLabel_ = new QLabel(coords);
  Centre_ = {CoordSpin(coords), CoordSpin(coords)};
  cl->addWidget(CentreLabel_, 2, 0);
  cl->addWidget(Centre_[0], 2, 1);
  cl->addWidget(Centre_[1], 2, 2);
  SizeOrLength_ = new QStackedWidget(coords);
  auto* sizePage = new QWidget(SizeOrLength_);
  auto* sl = new QHBoxLayout(sizePage);
  sl->setContentsMargins(0, 0, 0, 0);
  SizeXY_ = {CoordSpin(sizePage), CoordSpin(sizePage)};
  SizeXY_[0]->setMinimum(1);
  SizeXY_[1]->setMinimum(1);
  sl->addWidget(new QLabel(TrQ("Size X-Y"), sizePage));
  sl->addWidget(SizeXY_[0]);
  sl->addWidget(SizeXY_[1]);
  auto* lengthPage = new QWidget(SizeOrLength_);
  auto* ll = new QHBoxLayout(lengthPage);
  ll->setContentsMargins(0, 0, 0, 0);
  Length_ = new QDoubleSpinBox(lengthPage);
  Length_->setRange(0, 2.0 * kAnnMaxCoordinate);
  Length_->setDecimals(1);
  Angle_ = new QDoubleSpinBox(lengthPage);
  Angle_->setRange(-360, 360);
  Angle_->setDecimals(1);
  ll->addWidget(new QLabel(TrQ("Length") + ", " + TrQ("Angle"), lengthPage));
  ll->addWidget(Length_);
  ll->addWidget(Angle_);
  SizeOrLength_->addWidget(sizePage);
  SizeOrLength_->addWidget(lengthPage);
  cl->addWidget(SizeOrLength_, 3, 0, 1, 3);
  lay->addWidget(coords);

  auto* buttons = new QHBoxLayout;
  auto button = [&](const char* caption, auto&& run) {
    auto* b = new QPushButton(TrQ(caption), this);
    b->setObjectName(caption);
    connect(b, &QPushButton::clicked, this, run);
    buttons->addWidget(b);
    return b;
  };
  button("New", [this] { NewClick(); });
  button("Delete", [this] { DeleteClick(); });
  button("<", [this] { PreviousClick(); });
  button(">", [this] { NextClick(); });
  for (auto [caption, step] : {std::pair{"+", 1}, std::pair{"-", -1}}) {
    QPushButton* b = button(caption, [this, s = step] { GrowClick(s); });
    // Held down, the step repeats every 180 ms from the fifth tick on.
    b->setAutoRepeat(true);
    b->setAutoRepeatDelay(5 * 180);
    b->setAutoRepeatInterval(180);
  }
  QPushButton* menuButton = button("Menu", [] {});
  Menu_ = new QMenu(this);
  menuButton->setMenu(Menu_);
  auto item = [this](const char* caption, auto&& run) {
    QAction* a = Menu_->addAction(TrQ(caption));
    a->setObjectName(caption);
    connect(a, &QAction::triggered, this, run);
    return a;
  };
  item("Undelete", [this] { UndeleteClick(); });
  item("Copy", [this] { CopyClick(); });
  item("Paste", [this] { PasteClick(); });
  item("Bring to front", [this] { BringToFrontClick(); });
  item("Send to back", [this] { SendToBackClick(); });
  Menu_->addSeparator();
  item("Open", [this] { OpenClick(); });
  item("Save", [this] { SaveClick(false); });
  item("Save all", [this] { SaveClick(true); });
  Menu_->addSeparator();
  item("Select all", [this] { SelectAllClick(); });
  item("Copy all to ..", [this] { CopyAllToClick(); });
  item("Delete all", [this] { DeleteAllClick(); });
  item("Flip horizontal", [this] { FlipClick(true); });
  item("Flip vertical", [this] { FlipClick(false); });
  HideAction_ = item("Hide annotations", [this] { HideClick(); });
  HideAction_->setCheckable(true);
  lay->addLayout(buttons);

  connect(Kind_, &QComboBox::currentIndexChanged, this, [this] { Changed(TAnnProp::Kind); });
  connect(TextPos_, &QComboBox::currentIndexChanged, this, [this] { Changed(TAnnProp::TextPos); });
  connect(Text_, &QPlainTextEdit::textChanged, this, [this] { Changed(TAnnProp::Text); });
  connect(Font_, &QComboBox::currentTextChanged, this, [this] { Changed(TAnnProp::Font); });
  connect(Size_, &QSpinBox::valueChanged, this, [this] { Changed(TAnnProp::FontSize); });
  connect(Width_, &QSpinBox::valueChanged, this, [this] { Changed(TAnnProp::Width); });
  connect(Sections_, &QSpinBox::valueChanged, this, [this] { Changed(TAnnProp::Sections); });
  connect(Transparency_, &QSpinBox::valueChanged, this,
          [this] { Changed(TAnnProp::Transparency); });
  connect(Logo_, &QComboBox::currentIndexChanged, this, [this] { Changed(TAnnProp::Logo); });
  connect(TextColour_, &TColourBox::Pressed, this,
          [this](Qt::MouseButton b) { ColourPressed(true, b); });
  connect(FigureColour_, &TColourBox::Pressed, this,
          [this](Qt::MouseButton b) { ColourPressed(false, b); });
  for (QSpinBox* s : Coords_)
    connect(s, &QSpinBox::valueChanged, this, [this] { CoordinatesChanged(0); });
  for (QSpinBox* s : {Centre_[0], Centre_[1], SizeXY_[0], SizeXY_[1]})
    connect(s, &QSpinBox::valueChanged, this, [this] { CoordinatesChanged(1); });
  for (QDoubleSpinBox* s : {Length_, Angle_})
    connect(s, &QDoubleSpinBox::valueChanged, this, [this] { CoordinatesChanged(2); });
  Reload();
}

TFormAnnotate::~TFormAnnotate() = default;

void TFormAnnotate::UpdateCaption() {
  TAstroDocument* doc = Document();
  setWindowTitle(Q(doc ? AnnotateCaption(doc->Annotations) : Tr("Annotation")));
}

void TFormAnnotate::Reload() {
  if (TAstroDocument* doc = Document())
    if (const TAnnotation* cur = doc->Annotations.Current())
      CopyAnnotationProperties(*cur, Values_);
  ShowValues();
  UpdateCaption();
}

void TFormAnnotate::Refresh(TDocumentEvent event) {
  if (event == TDocumentEvent::Views) Reload();
}

void TFormAnnotate::ShowValues() {
  Loading_ = true;
  const TAnnotation& v = Values_;
  Kind_->setCurrentIndex(v.Kind);
  TextPos_->setCurrentIndex(std::min<int>(v.TextPos, tpNone));
  if (FromEditor(Text_->toPlainText()) != v.Text) Text_->setPlainText(ToEditor(v.Text));
  Font_->setCurrentText(Q(v.FontName));
  Size_->setValue(v.FontSize);
  StyleB_[0]->setChecked(v.Style & kAnnBold);
  StyleB_[1]->setChecked(v.Style & kAnnItalic);
  StyleB_[2]->setChecked(v.Style & kAnnOutline);
  TextColour_->SetColour(v.TextColor);
  FigureColour_->SetColour(v.FigureColor);
  Width_->setValue(v.Width);
  Sections_->setValue(v.Sections);
  Transparency_->setValue(v.Transparency);
  const int logo = Logo_->findText(Q(v.Logo.FileName));
  if (logo < 0 && !v.Logo.FileName.empty()) Logo_->addItem(Q(v.Logo.FileName));
  Logo_->setCurrentIndex(std::max(0, Logo_->findText(Q(v.Logo.FileName))));
  Coords_[0]->setValue(v.X1);
  Coords_[1]->setValue(v.X2);
  Coords_[2]->setValue(v.Y1);
  Coords_[3]->setValue(v.Y2);
  if (ArrowLike(v.Kind)) {
    Centre_[0]->setValue(v.X1);
    Centre_[1]->setValue(v.Y1);
  } else {
    Centre_[0]->setValue(v.CentreX());
    Centre_[1]->setValue(v.CentreY());
  }
  SizeXY_[0]->setValue(int32_t(std::min<int64_t>(v.RectWidth(), kAnnMaxCoordinate)));
  SizeXY_[1]->setValue(int32_t(std::min<int64_t>(v.RectHeight(), kAnnMaxCoordinate)));
  Length_->setValue(v.ShownLength());
  Angle_->setValue(v.AngleDeg());
  HideAction_->setChecked(!AnnotationsShown());
  UpdateKindDependent();
  Loading_ = false;
}

void TFormAnnotate::UpdateKindDependent() {
  const int32_t k = Values_.Kind;
  Sections_->setEnabled(k == akRuler);
  Logo_->setEnabled(k == akLogo);
  TransparencyLabel_->setText(TrQ(k == akTextBox ? "Opacity" : "Transparency"));
  CentreLabel_->setText(ArrowLike(k) ? TrQ("Base") + " X-Y" : TrQ("Center X-Y"));
  SizeOrLength_->setCurrentIndex(ArrowLike(k) ? 1 : 0);
}

void TFormAnnotate::ReadControl(TAnnProp p) {
  TAnnotation& v = Values_;
  switch (p) {
    case TAnnProp::Kind: v.Kind = std::clamp(Kind_->currentIndex(), 0, kAnnotationKinds - 1); break;
    case TAnnProp::Text: v.Text = FromEditor(Text_->toPlainText()); break;
    case TAnnProp::Font: v.FontName = Font_->currentText().toStdString(); break;
    case TAnnProp::FontSize: v.FontSize = Size_->value(); break;
    case TAnnProp::Style:
      v.Style = (StyleB_[0]->isChecked() ? kAnnBold : 0u) |
                (StyleB_[1]->isChecked() ? kAnnItalic : 0u) |
                (StyleB_[2]->isChecked() ? kAnnOutline : 0u);
      break;
    case TAnnProp::TextPos: v.TextPos = uint8_t(std::clamp(TextPos_->currentIndex(), 0, int(tpNone))); break;
    case TAnnProp::TextColor: v.TextColor = TextColour_->Colour(); break;
    case TAnnProp::FigureColor: v.FigureColor = FigureColour_->Colour(); break;
    case TAnnProp::Width: v.Width = Width_->value(); break;
    case TAnnProp::Sections: v.Sections = Sections_->value(); break;
    case TAnnProp::Transparency: v.Transparency = Transparency_->value(); break;
    case TAnnProp::Logo: v.Logo.Load(Logo_->currentText().toStdString()); break;
    case TAnnProp::Rect: break;  // set by CoordinatesChanged
  }
}

void TFormAnnotate::Changed(TAnnProp p) {
  if (Loading_) return;
  ReadControl(p);
  TAstroDocument* doc = Document();
  if (!doc) {
    if (p == TAnnProp::Kind) UpdateKindDependent();
    return;
  }
  TAnnotationList& list = doc->Annotations;
  const int32_t selected = list.SelectedCount();
  if (selected > 1) {
    for (int32_t i = 0; i < list.Count(); ++i)
      if (list[i].Selected) CopyAnnotationProperty(Values_, list[i], p);
  } else if (TAnnotation* cur = list.Current()) {
    CopyAnnotationProperties(Values_, *cur);
  } else {
    if (p == TAnnProp::Kind) UpdateKindDependent();
    return;
  }
  AfterEdit(p == TAnnProp::Kind);
}

void TFormAnnotate::AfterEdit(bool kindChanged) {
  TAstroDocument* doc = Document();
  if (!doc) return;
  doc->Annotations.Modified = true;
  doc->SetModified();
  Options().Misc.DefaultAnnotation = Values_.Kind;
  if (kindChanged) UpdateKindDependent();
  doc->RefreshViews();
  doc->RefreshCaption();
  UpdateCaption();
}

void TFormAnnotate::CoordinatesChanged(int32_t group) {
  if (Loading_) return;
  TAnnotation& v = Values_;
  if (group == 0) {
    v.SetRect({Coords_[0]->value(), Coords_[2]->value(), Coords_[1]->value(), Coords_[3]->value()});
  } else if (group == 1) {
    v.SetRect(ArrowLike(v.Kind)
                  ? RectWithBase(v.Rect(), Centre_[0]->value(), Centre_[1]->value())
                  : RectFromCentreSize(Centre_[0]->value(), Centre_[1]->value(),
                                       SizeXY_[0]->value(), SizeXY_[1]->value()));
  } else {
    v.SetLengthAngle(Length_->value(), Angle_->value());
  }
  Changed(TAnnProp::Rect);
  // The other groups show the new rectangle.
  Loading_ = true;
  const TAnnRect r = v.Rect();
  Coords_[0]->setValue(r.X1);
  Coords_[1]->setValue(r.X2);
  Coords_[2]->setValue(r.Y1);
  Coords_[3]->setValue(r.Y2);
  if (group != 1) {
    Centre_[0]->setValue(ArrowLike(v.Kind) ? v.X1 : v.CentreX());
    Centre_[1]->setValue(ArrowLike(v.Kind) ? v.Y1 : v.CentreY());
    SizeXY_[0]->setValue(int32_t(std::min<int64_t>(v.RectWidth(), kAnnMaxCoordinate)));
    SizeXY_[1]->setValue(int32_t(std::min<int64_t>(v.RectHeight(), kAnnMaxCoordinate)));
  }
  if (group != 2) {
    Length_->setValue(v.ShownLength());
    Angle_->setValue(v.AngleDeg());
  }
  Loading_ = false;
}

void TFormAnnotate::ColourPressed(bool textBox, Qt::MouseButton button) {
  TColourBox* box = textBox ? TextColour_ : FigureColour_;
  TColourBox* other = textBox ? FigureColour_ : TextColour_;
  if (button == Qt::MiddleButton) {
    box->SetColour(other->Colour());
    Changed(textBox ? TAnnProp::TextColor : TAnnProp::FigureColor);
    return;
  }
  if (button != Qt::LeftButton && button != Qt::RightButton) return;
  uint32_t bgr = box->Colour();
  bool ok = false;
  if (ColourHook) {
    ok = ColourHook(bgr);
  } else {
    const QColor c = QColorDialog::getColor(ToQColor(bgr), this);
    ok = c.isValid();
    if (ok) bgr = FromQColor(c);
  }
  if (!ok) return;
  box->SetColour(bgr);
  Changed(textBox ? TAnnProp::TextColor : TAnnProp::FigureColor);
  if (button == Qt::RightButton) {
    other->SetColour(bgr);
    Changed(textBox ? TAnnProp::FigureColor : TAnnProp::TextColor);
  }
}

void TFormAnnotate::ViewCentre(int32_t& x, int32_t& y) const {
  TAstroDocument* doc = Document();
  x = doc ? doc->CentreX() : 0;
  y = doc ? doc->CentreY() : 0;
  auto* child = doc ? dynamic_cast<TFormChild*>(doc->ImageWindow()) : nullptr;
  if (!child) return;
  TImagePanel* panel = child->Panel();
  int32_t px = 0, py = 0;
  if (panel->ImagePoint(panel->viewport()->rect().center(), px, py)) x = px, y = py;
}

void TFormAnnotate::NewClick() {
  TAstroDocument* doc = Document();
  if (!doc) return;
  auto a = std::make_unique<TAnnotation>();
  CopyAnnotationProperties(Values_, *a);
  if (a->Text.empty()) a->Text = Tr("Text here");
  int32_t cx = 0, cy = 0;
  ViewCentre(cx, cy);
  a->CentreOn(cx, cy);
  doc->Annotations.AddAsNew(std::move(a));
  AfterEdit(false);
  Reload();
}

void TFormAnnotate::DeleteClick() {
  TAstroDocument* doc = Document();
  if (!doc || doc->Annotations.SelectedCount() == 0) return;
  while (std::unique_ptr<TAnnotation> a = doc->Annotations.DeleteFirstSelected())
    Deleted_.emplace_back(doc, std::move(a));
  doc->Annotations.SelectLast();
  AfterEdit(false);
  Reload();
}

void TFormAnnotate::UndeleteClick() {
  TAstroDocument* doc = Document();
  if (!doc) return;
  for (auto it = Deleted_.rbegin(); it != Deleted_.rend(); ++it) {
    if (it->first != doc) continue;
    TAnnotation& a = doc->Annotations.Add(std::move(it->second));
    Deleted_.erase(std::next(it).base());
    doc->Annotations.Select(&a);
    AfterEdit(false);
    Reload();
    return;
  }
}

void TFormAnnotate::PreviousClick() {
  if (TAstroDocument* doc = Document()) {
    doc->Annotations.SelectPrevious();
    doc->RefreshViews();
    Reload();
  }
}

void TFormAnnotate::NextClick() {
  if (TAstroDocument* doc = Document()) {
    doc->Annotations.SelectNext();
    doc->RefreshViews();
    Reload();
  }
}

void TFormAnnotate::GrowClick(int32_t step) {
  TAstroDocument* doc = Document();
  if (!doc) return;
  const int32_t d = step * (QApplication::keyboardModifiers() & Qt::ShiftModifier ? 2 : 1);
  bool any = false;
  TAnnotationList& list = doc->Annotations;
  for (int32_t i = 0; i < list.Count(); ++i)
    if (list[i].Selected && list[i].Grow(d)) any = true;
  if (!any) return;
  AfterEdit(false);
  Reload();
}

void TFormAnnotate::CopyClick() {
  TAstroDocument* doc = Document();
  if (const TAnnotation* cur = doc ? doc->Annotations.Current() : nullptr) Clip_ = cur->Clone();
}

void TFormAnnotate::PasteClick() {
  TAstroDocument* doc = Document();
  if (!doc || !Clip_) return;
  doc->Annotations.AddAsNew(Clip_->Clone());
  AfterEdit(false);
  Reload();
}

void TFormAnnotate::BringToFrontClick() {
  TAstroDocument* doc = Document();
  if (const TAnnotation* cur = doc ? doc->Annotations.Current() : nullptr) {
    doc->Annotations.BringToFront(cur);
    AfterEdit(false);
  }
}

void TFormAnnotate::SendToBackClick() {
  TAstroDocument* doc = Document();
  if (const TAnnotation* cur = doc ? doc->Annotations.Current() : nullptr) {
    doc->Annotations.SendToBack(cur);
    AfterEdit(false);
  }
}

namespace {

std::string AnnotationFolder() {
  try {
    return Options().UserSubfolder(TUserFolder::Annotation).string();
  } catch (const std::exception&) {
    return std::string();
  }
}

}  // namespace

void TFormAnnotate::OpenClick() {
  TAstroDocument* doc = Document();
  if (!doc) return;
  const std::string name = AskOpenName(Tr("Open"), kAnnOpenFilter, AnnotationFolder());
  if (name.empty()) return;
  int32_t cx = 0, cy = 0;
  ViewCentre(cx, cy);
  const TAnnFileResult r = doc->Annotations.OpenFile(name, cx, cy);
  if (!r.Ok) {
    Error(Tr(kAnnCaption), Tr("Cannot read file") + "\r" + name);
    return;
  }
  if (r.Added > 0) {
    AfterEdit(false);
    Reload();
  }
}

void TFormAnnotate::SaveClick(bool all) {
  TAstroDocument* doc = Document();
  if (!doc || doc->Annotations.IsEmpty() || (!all && !doc->Annotations.Current())) return;
  std::string name = AskSaveName(Tr(all ? "Save all" : "Save"), kAnnSaveFilter,
                                 AnnotationFolder(), doc->SuggestedFileName(".ann"));
  if (name.empty()) return;
  if (std::filesystem::path(name).extension().empty()) name += ".ann";
  if (!doc->Annotations.SaveToFile(name, all)) {
    QApplication::beep();
    Error(Tr(kAnnCaption), Tr("Cannot write file to disk") + "\r" + name);
  }
}

void TFormAnnotate::SelectAllClick() {
  if (TAstroDocument* doc = Document()) {
    doc->Annotations.SelectAll();
    doc->RefreshViews();
    Reload();
  }
}

void TFormAnnotate::CopyAllToClick() {
  TAstroDocument* doc = Document();
  if (!doc || doc->Annotations.IsEmpty() || !Main()) return;
  std::vector<TAstroDocument*> others;
  for (TFormChild* c : Main()->ImageWindows())
    if (&c->Document() != doc) others.push_back(&c->Document());
  if (others.empty()) {
    Information(Tr(kAnnCaption), Tr("Two images are required for this operation"));
    return;
  }
  TAstroDocument* target = nullptr;
  if (ChooseHook) {
    target = ChooseHook(others);
  } else {
    QStringList titles;
    for (TAstroDocument* d : others) titles << Q(d->Title());
    bool ok = false;
    const QString t =
        QInputDialog::getItem(this, TrQ("Copy all to .."), TrQ("Image"), titles, 0, false, &ok);
    if (ok) target = others[size_t(std::max<qsizetype>(0, titles.indexOf(t)))];
  }
  if (!target || std::find(others.begin(), others.end(), target) == others.end()) return;
  doc->Annotations.MergeInto(target->Annotations);
  target->Annotations.Modified = true;
  target->SetModified();
  target->RefreshViews();
  target->RefreshCaption();
}

void TFormAnnotate::DeleteAllClick() {
  TAstroDocument* doc = Document();
  if (!doc || doc->Annotations.IsEmpty()) return;
  doc->Annotations.Clear();
  AfterEdit(false);
  Reload();
}

void TFormAnnotate::FlipClick(bool horizontal) {
  TAstroDocument* doc = Document();
  if (!doc || doc->Annotations.IsEmpty()) return;
  if (horizontal)
    doc->Annotations.FlipHorizontal(doc->Width());
  else
    doc->Annotations.FlipVertical(doc->Height());
  AfterEdit(false);
  Reload();
}

void TFormAnnotate::HideClick() {
  ShowAnnotations(!AnnotationsShown());
  HideAction_->setChecked(!AnnotationsShown());
  if (Main())
    for (TFormChild* c : Main()->ImageWindows()) c->Document().RefreshViews();
}

bool TFormAnnotate::ShiftKey(int key, Qt::KeyboardModifiers mods) {
  if ((mods & (Qt::ControlModifier | Qt::ShiftModifier)) !=
      (Qt::ControlModifier | Qt::ShiftModifier))
    return false;
  TAstroDocument* doc = Document();
  if (!doc) return false;
  switch (key) {
    case Qt::Key_Left: doc->Annotations.Shift(-1, 0); break;
    case Qt::Key_Right: doc->Annotations.Shift(1, 0); break;
    case Qt::Key_Up: doc->Annotations.Shift(0, 1); break;
    case Qt::Key_Down: doc->Annotations.Shift(0, -1); break;
    case Qt::Key_PageUp: doc->Annotations.FlipVertical(doc->Height()); break;
    case Qt::Key_PageDown: doc->Annotations.FlipHorizontal(doc->Width()); break;
    default: return false;
  }
  AfterEdit(false);
  Reload();
  return true;
}

void TFormAnnotate::keyPressEvent(QKeyEvent* e) {
  if (ShiftKey(e->key(), e->modifiers())) {
    e->accept();
    return;
  }
  TOpWindow::keyPressEvent(e);
}

void TFormAnnotate::DocumentClosing(TAstroDocument& doc) {
  std::erase_if(Deleted_, [&doc](const auto& e) { return e.first == &doc; });
  TOpWindow::DocumentClosing(doc);
}

void TFormAnnotate::closeEvent(QCloseEvent* e) {
  TOpWindow::closeEvent(e);
  emit Closed();
}

}  // namespace orlu
