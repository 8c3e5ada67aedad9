#include "fHistory.h"

#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "base/Translate.h"
#include "fParams.h"
#include "fWait.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"

namespace orlu {

namespace {

QString TrQ(const char* s) { return QString::fromStdString(Tr(s)); }
QString Q(const std::string& s) { return QString::fromStdString(s); }

std::string* MacroOption(int32_t k) {
  TFilterOptions& f = Options().Filter;
  std::string* names[] = {&f.Macro1, &f.Macro2, &f.Macro3, &f.Macro4, &f.Macro5, &f.Macro6, &f.Macro7, &f.Macro8};
  return names[std::clamp(k, 1, 8) - 1];
}

}  // namespace

// ============================================================================ history window

TFormHistory::TFormHistory(QWidget* mainWindow)
    : TChildWindow(mainWindow, TrQ("Processing history"), TToolKind::History) {
  setObjectName("FormHistory");
  auto* body = new QWidget(this);
  auto* lay = new QVBoxLayout(body);
  lay->setContentsMargins(0, 0, 0, 0);
  List_ = new QListWidget(body);
  List_->setContextMenuPolicy(Qt::CustomContextMenu);
  Details_ = new QLabel(body);
  Details_->setWordWrap(true);
  Details_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  lay->addWidget(List_, 1);
  lay->addWidget(Details_);
  connect(List_, &QListWidget::currentRowChanged, this, [this] { Details_->setText(Details()); });
  auto* menu = new QMenu(this);
  menu->addAction(TrQ("Copy"), this, &TFormHistory::CopyToClipboard);
  menu->addAction(TrQ("Save") + " ...", this, [this] {
    QString name = QFileDialog::getSaveFileName(this, TrQ("Save"), QString(), "History files (*.his);;All files (*)");
    if (name.isEmpty()) return;
    if (QFileInfo(name).suffix().isEmpty()) name += ".his";
    std::string error;
    if (!SaveHistory(name, error)) QMessageBox::critical(this, TrQ("Error"), Q(error));
  });
  menu->addAction(TrQ("Open") + " ...", this, [this] {
    const QString name =
        QFileDialog::getOpenFileName(this, TrQ("Open"), QString(), "History files (*.his);;All files (*)");
    if (name.isEmpty()) return;
    std::string error;
    if (!LoadHistory(name, error)) QMessageBox::critical(this, TrQ("Error"), Q(error));
  });
  menu->addSeparator();
  menu->addAction(TrQ("Save to FITS header"), this, &TFormHistory::SaveToHeader);
  menu->addAction(TrQ("Reset FITS header"), this, &TFormHistory::ResetHeader);
  menu->addSeparator();
  menu->addAction(TrQ("Define Macro"), this, [this] {
    TFormMacro m(this, Document() ? &Document()->Image().History : nullptr, Document());
    m.exec();
  });
  connect(List_, &QWidget::customContextMenuRequested, this,
          [this, menu](const QPoint& p) { menu->popup(List_->viewport()->mapToGlobal(p)); });
  resize(460, 300);
  Setup(body, 160, -120, KindCount(TToolKind::History) - 1);
  SetPinned(false);
}

TFormHistory* TFormHistory::ShowHistoryWindow(QWidget* mainWindow, TAstroDocument* doc) {
  for (TChildWindow* w : All())
    if (w->Kind() == TToolKind::History) {
      if (w->RolledUp()) w->ToggleRollUp();
      w->Bind(doc, false);
      w->show();
      w->raise();
      return static_cast<TFormHistory*>(w);
    }
  auto* h = new TFormHistory(mainWindow);
  h->Bind(doc, true);
  h->show();
  return h;
}

void TFormHistory::LoadContent() {
  List_->clear();
  Details_->clear();
  TAstroDocument* d = Document();
  if (!d) return;
  THistoryList& h = d->Image().History;
  for (int32_t i = 0; i < h.Count(); ++i) {
    THistoryItem* it = h.Item(i);
    it->DisplayText = it->DisplayLine(i);
    List_->addItem(Q(it->DisplayText));
  }
  if (h.Count() > 0) List_->setCurrentRow(h.Count() - 1);
}

void TFormHistory::Refresh(TDocumentEvent event) {
  if (event == TDocumentEvent::History || event == TDocumentEvent::Views) LoadContent();
}

QString TFormHistory::Details() const {
  TAstroDocument* d = Document();
  const int32_t row = List_->currentRow();
  if (!d || row < 0) return {};
  const THistoryItem* it = d->Image().History.Item(row);
  return it ? Q(it->DetailText()) + "\n" + Q(it->RecordLine()) : QString();
}

bool TFormHistory::SaveHistory(const QString& path, std::string& error) {
  if (!Document()) return false;
  return Document()->Image().History.SaveToFile(path.toStdString(), error);
}

bool TFormHistory::LoadHistory(const QString& path, std::string& error) {
  if (!Document()) return false;
  if (!Document()->Image().History.LoadFromFile(path.toStdString(), error)) return false;
  Document()->SetModified();
  Document()->RefreshHistory();
  return true;
}

void TFormHistory::CopyToClipboard() {
  if (!Document()) return;
  if (QClipboard* c = QApplication::clipboard()) c->setText(Q(Document()->Image().History.ClipboardText()));
}

void TFormHistory::SaveToHeader() {
  TAstroDocument* d = Document();
  if (!d) return;
  d->Image().History.WriteToHeader(d->Image().Header);
  d->SetModified();
  d->RefreshHeader();
}

void TFormHistory::ResetHeader() {
  TAstroDocument* d = Document();
  if (!d) return;
  // An empty list deletes the history cards and writes none.
  THistoryList().WriteToHeader(d->Image().Header);
  d->SetModified();
  d->RefreshHeader();
}

// ============================================================================ macro editor

TMacroBook& Macros() {
  static TMacroBook book;
  return book;
}

TFormMacro::TFormMacro(QWidget* parent, const THistoryList* history, TAstroDocument* runOn)
    : QDialog(parent), History_(history), RunOn_(runOn) {
  setWindowTitle(TrQ("Define Macro"));
  for (int32_t k = 1; k <= TMacroBook::kPages; ++k)
    if (Macros().Page(k).Steps.empty()) Macros().Page(k).Name = *MacroOption(k);
  auto* lay = new QHBoxLayout(this);
  auto* left = new QVBoxLayout;
  Search_ = new QLineEdit(this);
  Search_->setPlaceholderText(TrQ("Search"));
  Ops_ = new QListWidget(this);
  Ops_->setDragEnabled(true);
  left->addWidget(Search_);
  left->addWidget(Ops_, 1);
  lay->addLayout(left, 1);
  auto* right = new QVBoxLayout;
  Tabs_ = new QTabWidget(this);
  for (int32_t k = 1; k <= TMacroBook::kPages; ++k) {
    auto* l = new QListWidget(Tabs_);
    l->setSelectionMode(QAbstractItemView::ExtendedSelection);
    l->setDragDropMode(QAbstractItemView::InternalMove);
    connect(l->model(), &QAbstractItemModel::rowsMoved, this, &TFormMacro::SyncOrderFromList);
    connect(l, &QListWidget::itemDoubleClicked, this, [this, l](QListWidgetItem* it) { EditStep(l->row(it)); });
    Tabs_->addTab(l, Q(Macros().Page(k).Name));
  }
  right->addWidget(Tabs_, 1);
  auto* row1 = new QHBoxLayout;
  auto* row2 = new QHBoxLayout;
  auto add = [this](QHBoxLayout* row, const char* caption, auto fn) {
    auto* b = new QPushButton(TrQ(caption), this);
    connect(b, &QPushButton::clicked, this, fn);
    row->addWidget(b);
  };
  QString hist = TrQ("Processing history");
  if (History_) {
    const int32_t ops = History_->OperationCount(), all = History_->Count();
    hist += ops == all ? QString(" (%1)").arg(ops) : QString(" (%1/%2)").arg(ops).arg(all);
  }
  auto* hb = new QPushButton(hist, this);
  hb->setEnabled(History_ != nullptr);
  connect(hb, &QPushButton::clicked, this, &TFormMacro::ImportHistory);
  row1->addWidget(hb);
  add(row1, "Edit", [this] { EditStep(Steps()->currentRow()); });
  add(row1, "Disable", [this] { ToggleDisabled(); });
  add(row1, "Delete", [this] { DeleteSelected(); });
  add(row1, "Copy", [this] { CopySelected(false); });
  add(row1, "Copy all", [this] { CopySelected(true); });
  add(row2, "Paste", [this] { Paste(); });
  add(row2, "Delete all", [this] {
    Page().Steps.clear();
    FillSteps();
  });
  add(row2, "Open", [this] {
    const QString name = QFileDialog::getOpenFileName(this, TrQ("Open"), QString(), "Macro files (*.mac);;All files (*)");
    if (name.isEmpty()) return;
    int32_t dropped = 0;
    std::string error;
    if (!LoadMacroFile(name.toStdString(), Page(), dropped, error)) Message(TrQ("Macro"), Q(error));
    FillSteps();
  });
  add(row2, "Save", [this] {
    QString name = QFileDialog::getSaveFileName(this, TrQ("Save"), QString(), "Macro files (*.mac);;All files (*)");
    if (name.isEmpty()) return;
    if (QFileInfo(name).suffix().isEmpty()) name += ".mac";
    std::string error;
    if (!SaveMacroFile(Page(), name.toStdString(), error)) Message(TrQ("Macro"), Q(error));
    Rename(QFileInfo(name).completeBaseName());
  });
  auto* runB = new QPushButton(TrQ("Run"), this);
  runB->setEnabled(RunOn_ != nullptr);
  connect(runB, &QPushButton::clicked, this, [this] { Run(); });
  row2->addWidget(runB);
  add(row2, "OK", [this] { TryAccept(); });
  right->addLayout(row1);
  right->addLayout(row2);
  lay->addLayout(right, 2);
  connect(Search_, &QLineEdit::textChanged, this, &TFormMacro::SetSearch);
  connect(Ops_, &QListWidget::itemDoubleClicked, this,
          [this](QListWidgetItem* it) { AddOperation(it->data(Qt::UserRole).toInt()); });
  connect(Tabs_, &QTabWidget::currentChanged, this, [this] { FillSteps(); });
  FillOperations();
  for (int32_t k = 1; k <= TMacroBook::kPages; ++k) {
    Tabs_->setCurrentIndex(k - 1);
    FillSteps();
  }
  Tabs_->setCurrentIndex(0);
  resize(760, 420);
}

int32_t TFormMacro::PageIndex() const { return Tabs_->currentIndex() + 1; }
void TFormMacro::SetPage(int32_t k) { Tabs_->setCurrentIndex(std::clamp(k, 1, 8) - 1); }
QListWidget* TFormMacro::Steps() const { return static_cast<QListWidget*>(Tabs_->currentWidget()); }

void TFormMacro::FillOperations() {
  Ops_->clear();
  const QString filter = Search_->text();
  for (int32_t code = 0; code <= 107; ++code) {
    if (code == 60) continue;
    const QString name = Q(Tr(OperationName(code)));
    if (!filter.isEmpty() && !name.contains(filter, Qt::CaseInsensitive)) continue;
    auto* it = new QListWidgetItem(name, Ops_);
    it->setData(Qt::UserRole, code);
  }
}

void TFormMacro::SetSearch(const QString& text) {
  if (Search_->text() != text) Search_->setText(text);
  FillOperations();
}

void TFormMacro::FillSteps() {
  QListWidget* l = Steps();
  const QSignalBlocker b(l->model());
  l->clear();
  for (size_t i = 0; i < Page().Steps.size(); ++i) {
    auto* it = new QListWidgetItem(Q(Page().Steps[i].StepText()), l);
    it->setData(Qt::UserRole, int(i));
  }
  Tabs_->setTabText(Tabs_->currentIndex(), Q(Page().Name));
}

void TFormMacro::SyncOrderFromList() {
  QListWidget* l = Steps();
  std::vector<TIPFilter> steps;
  for (int i = 0; i < l->count(); ++i) {
    const int k = l->item(i)->data(Qt::UserRole).toInt();
    if (k < 0 || size_t(k) >= Page().Steps.size()) throw std::runtime_error(Tr("Macro size mismatch"));
    steps.push_back(Page().Steps[size_t(k)]);
  }
  Page().Steps = std::move(steps);
  FillSteps();
}

bool TFormMacro::AddOperation(int32_t code) {
  TIPFilter step(code);
  TParamDialogQt dialog(this);
  TFilterContext ctx;
  ctx.Dialog = &dialog;
  if (step.AskParameters(RunOn_, ctx)) return false;
  if (!Page().Add(step)) return false;
  FillSteps();
  return true;
}

bool TFormMacro::EditStep(int32_t index) {
  if (index < 0 || size_t(index) >= Page().Steps.size()) return false;
  TIPFilter step;
  step.CopyFrom(Page().Steps[size_t(index)]);
  step.Replay = true;
  TParamDialogQt dialog(this);
  TFilterContext ctx;
  ctx.Dialog = &dialog;
  if (step.AskParameters(RunOn_, ctx)) return false;
  step.Replay = false;
  step.AskState = Page().Steps[size_t(index)].AskState;
  Page().Steps[size_t(index)].CopyFrom(step);
  FillSteps();
  return true;
}

void TFormMacro::ToggleDisabled() {
  for (QListWidgetItem* it : Steps()->selectedItems()) {
    const int k = Steps()->row(it);
    Page().Steps[size_t(k)].Disabled = !Page().Steps[size_t(k)].Disabled;
  }
  FillSteps();
}

void TFormMacro::DeleteSelected() {
  std::vector<int32_t> rows;
  for (QListWidgetItem* it : Steps()->selectedItems()) rows.push_back(Steps()->row(it));
  Page().Remove(rows);
  FillSteps();
}

void TFormMacro::CopySelected(bool all) {
  Clip_.clear();
  for (int i = 0; i < Steps()->count(); ++i)
    if (all || Steps()->item(i)->isSelected()) {
      TIPFilter s;
      s.CopyFrom(Page().Steps[size_t(i)]);
      Clip_.push_back(s);
    }
}

void TFormMacro::Paste() {
  const int32_t row = Steps()->currentRow();
  Page().Insert(row < 0 ? int32_t(Page().Steps.size()) : row, Clip_);
  FillSteps();
}

void TFormMacro::ImportHistory() {
  if (!History_) return;
  Page().ImportHistory(*History_);
  FillSteps();
}

void TFormMacro::Rename(const QString& name) {
  Page().Name = name.toStdString();
  Tabs_->setTabText(Tabs_->currentIndex(), name);
}

bool TFormMacro::Run() {
  if (!RunOn_) return false;
  std::vector<TIPFilter> steps;
  for (const TIPFilter& s : Page().Steps)
    if (!s.Disabled) {
      TIPFilter c;
      c.CopyFrom(s);
      c.Replay = true;
      steps.push_back(c);
    }
  if (steps.empty()) return false;
  TParamDialogQt dialog(this);
  TFormWait wait(this);
  TFilterContext ctx;
  ctx.Dialog = &dialog;
  ctx.Progress = &wait;
  const TFilterResult r = RunSteps(*RunOn_, steps, ctx);
  if (r.Status == TFilterStatus::Failed) Message(TrQ("Macro"), Q(r.Message));
  return r.Status == TFilterStatus::Done;
}

void TFormMacro::Message(const QString& caption, const QString& text) {
  if (MessageHook)
    MessageHook(caption, text);
  else
    QMessageBox::warning(this, caption, text);
}

bool TFormMacro::TryAccept() {
  const std::string refusal = Macros().CheckNames();
  if (!refusal.empty()) {
    Message(TrQ("Macro"), Q(refusal));
    return false;
  }
  Macros().ResetEmptyNames();
  for (int32_t k = 1; k <= TMacroBook::kPages; ++k) *MacroOption(k) = Macros().Page(k).Name;
  accept();
  return true;
}

}  // namespace orlu
