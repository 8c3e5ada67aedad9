#include "fHeader.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QFileDialog>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QSaveFile>
#include <QScrollBar>
#include <QTextBlock>
#include <QVBoxLayout>

#include <algorithm>

#include "base/Translate.h"
#include "fits/ImaHeader.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"

namespace orlu {

namespace {

QString TrQ(const char* s) { return QString::fromStdString(Tr(s)); }

int32_t BitpixOf(const TFitsGeometry& g, bool isFloat) {
  switch (g.SampleCode) {
    case 8:
    case 16:
    case 32:
    case 64: return g.SampleCode;
    case 33: return -32;
    case 65: return -64;
    default: return isFloat ? -32 : 16;
  }
}

// Keys that only move the caret, select or copy.
bool IsNavigation(QKeyEvent* e) {
  if (e->matches(QKeySequence::Copy) || e->matches(QKeySequence::SelectAll)) return true;
  switch (e->key()) {
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_Home:
    case Qt::Key_End:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Alt:
    case Qt::Key_Meta:
    case Qt::Key_Escape:
    case Qt::Key_F1:
      return true;
    default: return false;
  }
}

}  // namespace

// ============================================================================ editor

THeaderEdit::THeaderEdit(TFormHeader* owner) : QPlainTextEdit(owner), Owner_(owner) {
  setLineWrapMode(QPlainTextEdit::NoWrap);
  // Undo is a reload from the header, not the editor's own history.
  setUndoRedoEnabled(false);
  setContextMenuPolicy(Qt::DefaultContextMenu);
}

bool THeaderEdit::SelectionEditable() const {
  const QTextCursor c = textCursor();
  const QTextDocument* d = document();
  const int32_t a = d->findBlock(c.selectionStart()).blockNumber();
  const int32_t b = d->findBlock(c.selectionEnd()).blockNumber();
  return !EditRefused(Protect, a, b);
}

void THeaderEdit::keyPressEvent(QKeyEvent* e) {
  if (IsNavigation(e)) {
    QPlainTextEdit::keyPressEvent(e);
    if (e->key() == Qt::Key_Escape) e->ignore();
    return;
  }
  if (e->matches(QKeySequence::Undo)) {
    Owner_->LoadHeader(true);
    return;
  }
  const bool edit = !e->text().isEmpty() || e->key() == Qt::Key_Backspace ||
                    e->key() == Qt::Key_Delete || e->key() == Qt::Key_Return ||
                    e->key() == Qt::Key_Enter || e->matches(QKeySequence::Paste) ||
                    e->matches(QKeySequence::Cut);
  if (edit && Protect) {
    const QTextCursor c = textCursor();
    int32_t first = 0, last = 0;
    if (c.hasSelection()) {
      first = document()->findBlock(c.selectionStart()).blockNumber();
      last = document()->findBlock(c.selectionEnd()).blockNumber();
    } else {
      THeaderEditKey k = THeaderEditKey::Type;
      if (e->key() == Qt::Key_Backspace) k = THeaderEditKey::Backspace;
      if (e->key() == Qt::Key_Delete) k = THeaderEditKey::Delete;
      if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) k = THeaderEditKey::Enter;
      EditKeyLines(k, c.blockNumber(), c.positionInBlock(), c.block().length() - 1, first, last);
    }
    if (EditRefused(true, first, last)) {
      Owner_->Beep();
      return;
    }
  }
  QPlainTextEdit::keyPressEvent(e);
}

void THeaderEdit::insertFromMimeData(const QMimeData* source) {
  if (!SelectionEditable()) {
    Owner_->Beep();
    return;
  }
  QPlainTextEdit::insertFromMimeData(source);
}

void THeaderEdit::dropEvent(QDropEvent* e) {
  // A drop lands at the drop point: it must be an editable line too.
  const QTextCursor at = cursorForPosition(e->position().toPoint());
  if (EditRefused(Protect, at.blockNumber(), at.blockNumber()) || !SelectionEditable()) {
    Owner_->Beep();
    e->ignore();
    return;
  }
  QPlainTextEdit::dropEvent(e);
}

void THeaderEdit::inputMethodEvent(QInputMethodEvent* e) {
  if (!e->commitString().isEmpty() && !SelectionEditable()) {
    Owner_->Beep();
    e->ignore();
    return;
  }
  QPlainTextEdit::inputMethodEvent(e);
}

void THeaderEdit::contextMenuEvent(QContextMenuEvent* e) { Owner_->PopupMenu()->popup(e->globalPos()); }

void THeaderHighlighter::highlightBlock(const QString& text) {
  const std::string s = text.toStdString();
  for (const THeaderSpan& sp : HeaderLineSpans(s)) {
    QTextCharFormat f;
    switch (sp.Tint) {
      case THeaderTint::Comment: f.setBackground(QColor(0xE8, 0xF0, 0xFF)); break;
      case THeaderTint::History: f.setBackground(QColor(0xF0, 0xFF, 0xE8)); break;
      case THeaderTint::Keyword: f.setBackground(QColor(0xFF, 0xF4, 0xD8)); break;
      case THeaderTint::String: f.setForeground(QColor(0x10, 0x60, 0x10)); break;
      case THeaderTint::Remark: f.setForeground(QColor(0x80, 0x80, 0x80)); break;
    }
    setFormat(sp.Start, sp.Length, f);
  }
}

// ============================================================================ window

TFormHeader::TFormHeader(QWidget* mainWindow)
    : TChildWindow(mainWindow, TrQ("FITS Header"), TToolKind::Header) {
  setObjectName("FormHeader");
  Margin_ = new QWidget(this);
  Margin_->setCursor(Qt::SizeHorCursor);
  auto* lay = new QVBoxLayout(Margin_);
  lay->setContentsMargins(6, 6, 6, 6);
  Memo_ = new THeaderEdit(this);
  Memo_->setObjectName("MemoHeader");
  Memo_->viewport()->setCursor(Qt::IBeamCursor);
  QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  f.setFamily("Liberation Mono");
  f.setStyleHint(QFont::Monospace);
  BaseFontSize_ = 10;
  f.setPointSize(std::max(4, BaseFontSize_ + Options().Misc.HeaderFontDelta));
  Memo_->setFont(f);
  lay->addWidget(Memo_);
  new THeaderHighlighter(Memo_->document());
  Margin_->installEventFilter(this);
  connect(Memo_->document(), &QTextDocument::contentsChanged, this, [this] {
    if (Loading_) return;
    Pending_ = true;
    UpdateItems();
  });
  BuildMenu();
  resize(640, 420);
  Setup(Margin_, 0, 0, 0);
}

TFormHeader::~TFormHeader() {
  // The frame's destructor unbinds too, but by then this part of the window is gone.
  if (Document()) Document()->SetHeaderEditor(nullptr);
}

void TFormHeader::BuildMenu() {
  Popup_ = new QMenu(this);
  Undo1_ = Popup_->addAction(TrQ("Undo"), this, [this] { LoadHeader(true); });
  Protect1_ = Popup_->addAction(TrQ("Protect header"));
  Protect1_->setCheckable(true);
  Protect1_->setChecked(true);
  connect(Protect1_, &QAction::toggled, this, [this](bool on) { Memo_->Protect = on; });
  Popup_->addSeparator();
  Cut1_ = Popup_->addAction(TrQ("Cut"), this, [this] {
    if (!Memo_->SelectionEditable()) return Beep();
    Memo_->cut();
  });
  Popup_->addAction(TrQ("Copy"), Memo_, &QPlainTextEdit::copy);
  Paste1_ = Popup_->addAction(TrQ("Paste"), Memo_, &QPlainTextEdit::paste);
  Popup_->addSeparator();
  Save1_ = Popup_->addAction(TrQ("Save into image"), this, [this] { ApplyHeaderEdits(); });
  Save1_->setVisible(false);
  Export1_ = Popup_->addAction(TrQ("Export to file"), this, [this] {
    QString name = ExportNameHook ? ExportNameHook()
                                  : QFileDialog::getSaveFileName(this, TrQ("Export to file"), QString(),
                                                                 TrQ("Text files") + " (*.txt);;" +
                                                                     TrQ("All files") + " (*)");
    if (name.isEmpty()) return;
    if (QFileInfo(name).suffix().isEmpty()) name += ".txt";
    if (!ExportTo(name)) Beep();
  });
  Popup_->addSeparator();
  Popup_->addAction(TrQ("Font +"), this, [this] { ChangeFont(1); });
  Popup_->addAction(TrQ("Font -"), this, [this] { ChangeFont(-1); });
  connect(Popup_, &QMenu::aboutToShow, this, &TFormHeader::UpdateItems);
  UpdateItems();
}

void TFormHeader::UpdateItems() {
  const int32_t lines = Memo_->document()->blockCount();
  Undo1_->setEnabled(Pending_);
  Export1_->setEnabled(lines > 4);
  Save1_->setEnabled(lines > 4 && Document());
}

TFormHeader* TFormHeader::ShowHeaderWindow(QWidget* mainWindow, TAstroDocument* doc) {
  for (TChildWindow* w : All())
    if (w->Kind() == TToolKind::Header && w->Document() == doc && doc) {
      if (w->RolledUp()) w->ToggleRollUp();
      w->show();
      w->raise();
      return static_cast<TFormHeader*>(w);
    }
  auto* h = new TFormHeader(mainWindow);
  if (mainWindow) h->move(mainWindow->mapToGlobal(QPoint(0, 0)));
  h->RememberOffset();
  h->Bind(doc, true);
  h->show();
  return h;
}

std::vector<std::string> TFormHeader::EditorLines() const {
  std::vector<std::string> lines;
  const QTextDocument* d = Memo_->document();
  lines.reserve(size_t(d->blockCount()));
  for (QTextBlock b = d->begin(); b.isValid(); b = b.next()) lines.push_back(b.text().toStdString());
  return lines;
}

void TFormHeader::LoadHeader(bool keepLine) {
  const int32_t line = Memo_->textCursor().blockNumber();
  Loading_ = true;
  if (TAstroDocument* d = Document()) {
    const TFitsStrings& h = d->Image().Header;
    size_t bytes = 0;
    for (const std::string& c : h) bytes += c.size() + 1;
    std::string text;
    text.reserve(bytes);
    for (int i = 0; i < h.Count(); ++i) {
      if (i) text += '\n';
      text += h[i];
    }
    Memo_->setPlainText(QString::fromLatin1(text.data(), qsizetype(text.size())));
  } else {
    Memo_->clear();
  }
  Loading_ = false;
  Pending_ = false;
  const int32_t target = keepLine ? line : 5;
  QTextBlock b = Memo_->document()->findBlockByNumber(std::min(target, Memo_->document()->blockCount() - 1));
  if (b.isValid()) Memo_->setTextCursor(QTextCursor(b));
  // A fresh load shows the header from its first card.
  if (!keepLine) Memo_->verticalScrollBar()->setValue(0);
  UpdateItems();
}

void TFormHeader::ApplyPendingEdits(TFitsStrings& header) {
  TAstroDocument* d = Document();
  const TAImage* img = d ? &d->Image() : nullptr;
  const int32_t w = img ? img->Width() : 1, h = img ? img->Height() : 1;
  const bool colour = img && img->IsColour();
  const int32_t bitpix = BitpixOf(header.GetGeometry(), img && img->IsFloat);
  ApplyEditorLines(header, EditorLines(), w, h, colour, bitpix);
  Pending_ = false;
  UpdateItems();
}

void TFormHeader::ApplyHeaderEdits() {
  TAstroDocument* d = Document();
  if (!d) return;
  ApplyPendingEdits(d->Image().Header);
  // Applied edits are unsaved changes of the document.
  d->SetModified();
  d->RefreshCaption();
}

void TFormHeader::DiscardPendingState() {
  Pending_ = false;
  UpdateItems();
}

bool TFormHeader::ExportTo(const QString& path) {
  QSaveFile f(path);
  if (!f.open(QIODevice::WriteOnly)) return false;
  std::string text;
  for (const std::string& l : EditorLines()) text += TFitsStrings::PrintableAscii(l) + "\n";
  f.write(text.data(), qint64(text.size()));
  return f.commit();
}

void TFormHeader::ChangeFont(int32_t step) {
  int32_t& delta = Options().Misc.HeaderFontDelta;
  delta = std::clamp(delta + step, -3, 6);
  QFont f = Memo_->font();
  f.setPointSize(std::max(4, BaseFontSize_ + delta));
  Memo_->setFont(f);
}

void TFormHeader::Beep() {
  ++Beeps_;
  QApplication::beep();
}

void TFormHeader::LoadContent() {
  if (TAstroDocument* d = Document()) d->SetHeaderEditor(this);
  LoadHeader(false);
}

void TFormHeader::Refresh(TDocumentEvent event) {
  if (event == TDocumentEvent::Header) LoadHeader(true);
}

void TFormHeader::keyPressEvent(QKeyEvent* e) { TChildWindow::keyPressEvent(e); }

bool TFormHeader::eventFilter(QObject* watched, QEvent* e) {
  if (watched != Margin_) return TChildWindow::eventFilter(watched, e);
  QScrollBar* bar = Memo_->horizontalScrollBar();
  const int32_t cw = std::max(1, Memo_->fontMetrics().horizontalAdvance('M'));
  switch (e->type()) {
    case QEvent::MouseButtonPress: {
      auto* m = static_cast<QMouseEvent*>(e);
      Panning_ = true;
      PanStart_ = m->position().toPoint();
      PanScroll_ = bar->value();
      PanTime_ = QDateTime::currentMSecsSinceEpoch();
      return true;
    }
    case QEvent::MouseMove: {
      if (!Panning_) return false;
      auto* m = static_cast<QMouseEvent*>(e);
      const int32_t dx = (PanStart_.x() - int32_t(m->position().x())) / 8 * 8;
      bar->setValue(std::clamp(PanScroll_ + dx, 0, 70 * cw));
      return true;
    }
    case QEvent::MouseButtonRelease: {
      if (!Panning_) return false;
      Panning_ = false;
      auto* m = static_cast<QMouseEvent*>(e);
      const QPoint d = m->position().toPoint() - PanStart_;
      if (std::abs(d.x()) < 5 && std::abs(d.y()) < 5 && QDateTime::currentMSecsSinceEpoch() - PanTime_ < 300)
        bar->setValue(m->position().x() < Margin_->width() / 2 ? 0 : 29 * cw);
      return true;
    }
    default: return false;
  }
}

}  // namespace orlu
