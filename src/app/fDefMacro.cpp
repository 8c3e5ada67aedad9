#include "fDefMacro.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QVBoxLayout>

#include <algorithm>
#include <filesystem>

#include "OpWindowRules.h"
#include "base/EOrluError.h"
#include "base/TextNumbers.h"
#include "base/Translate.h"
#include "fChild.h"
#include "fMain.h"
#include "fOpWindow.h"
#include "fWait.h"

namespace orlu {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }
QString TrQ(const char* s) { return Q(Tr(s)); }
const char* const kMacroCaption = "Macro";

}  // namespace

// ============================================================================ step list

TMacroStepList::TMacroStepList(QWidget* parent) : QListWidget(parent) {
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setDragEnabled(true);
  setAcceptDrops(true);
  setDropIndicatorShown(true);
  setDragDropMode(QAbstractItemView::DragDrop);
  setDefaultDropAction(Qt::MoveAction);
}

void TMacroStepList::dragEnterEvent(QDragEnterEvent* e) {
  if (e->source() == this || qobject_cast<QListWidget*>(e->source()))
    e->acceptProposedAction();
  else
    e->ignore();
}

void TMacroStepList::dragMoveEvent(QDragMoveEvent* e) {
  QListWidget::dragMoveEvent(e);
  if (e->source() == this || qobject_cast<QListWidget*>(e->source())) e->acceptProposedAction();
}

void TMacroStepList::dropEvent(QDropEvent* e) {
  // The page is the model: the list is rebuilt from it, never moved by Qt itself.
  const int32_t row = indexAt(e->position().toPoint()).row();
  if (e->source() == this) {
    const int32_t from = currentRow();
    if (from >= 0) emit StepMoved(from, row < 0 ? count() - 1 : row);
  } else if (auto* ops = qobject_cast<QListWidget*>(e->source())) {
    if (QListWidgetItem* it = ops->currentItem())
      emit OperationDropped(it->data(Qt::UserRole).toInt(), row);
  }
  e->setDropAction(Qt::IgnoreAction);
  e->accept();
}

void TMacroStepList::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Delete) {
    emit DeletePressed();
    return;
  }
  QListWidget::keyPressEvent(e);
}

// ============================================================================ editor

std::vector<TIPFilter>& TFormDefMacro::Clipboard() {
  static std::vector<TIPFilter> clip;
  return clip;
}

TFormDefMacro::TFormDefMacro(TFormMain* main, TMacroServices services)
    : QWidget(main, Qt::Window), Main_(main), Services_(std::move(services)) {
  setObjectName("FormDefMacro");
  setWindowTitle(TrQ("Define Macro"));
  Book_ = LoadMacroBook(Options(), Options().ConfigFolder);

  auto* lay = new QVBoxLayout(this);
  Tabs_ = new QTabBar(this);
  for (int32_t k = 1; k <= TMacroBook::kPages; ++k) Tabs_->addTab(Q(Book_.Page(k).Name));
  connect(Tabs_, &QTabBar::currentChanged, this, [this](int i) { SelectPage(i + 1); });
  lay->addWidget(Tabs_);

  auto* body = new QHBoxLayout;
  auto* left = new QVBoxLayout;
  Search_ = new QLineEdit(this);
  Search_->setPlaceholderText(TrQ("Search"));
  connect(Search_, &QLineEdit::textChanged, this, [this] { FillOperations(); });
  left->addWidget(Search_);
  Ops_ = new QListWidget(this);
  Ops_->setDragEnabled(true);
  Ops_->setDragDropMode(QAbstractItemView::DragOnly);
  Ops_->setMinimumWidth(220);
  connect(Ops_, &QListWidget::itemDoubleClicked, this,
          [this](QListWidgetItem* it) { AddOperation(it->data(Qt::UserRole).toInt()); });
  left->addWidget(Ops_);
  body->addLayout(left, 2);

  auto* right = new QVBoxLayout;
  auto* nameRow = new QHBoxLayout;
  nameRow->addWidget(new QLabel(TrQ("Name"), this));
  Name_ = new QLineEdit(this);
  connect(Name_, &QLineEdit::textEdited, this, [this](const QString& t) {
    CurrentPage().Name = t.toStdString();
    Tabs_->setTabText(Page_ - 1, t);
  });
  nameRow->addWidget(Name_);
  right->addLayout(nameRow);
  Steps_ = new TMacroStepList(this);
  Steps_->setMinimumWidth(360);
  connect(Steps_, &TMacroStepList::OperationDropped, this,
          [this](int32_t code, int32_t) { AddOperation(code); });
  connect(Steps_, &TMacroStepList::StepMoved, this, &TFormDefMacro::MoveStep);
  connect(Steps_, &TMacroStepList::DeletePressed, this, &TFormDefMacro::DeleteClick);
  connect(Steps_, &QListWidget::itemDoubleClicked, this, [this] { EditClick(); });
  right->addWidget(Steps_);

  auto* grid = new QGridLayout;
  const std::pair<const char*, std::function<void()>> actions[] = {
      {"Edit", [this] { EditClick(); }},         {"Disable", [this] { DisableClick(); }},
      {"Delete", [this] { DeleteClick(); }},     {"Copy", [this] { CopyClick(); }},
      {"Copy all", [this] { CopyAllClick(); }},  {"Paste", [this] { PasteClick(); }},
      {"Delete all", [this] { DeleteAllClick(); }}, {"Reset", [this] { ResetClick(); }},
      {"Open", [this] { OpenClick(); }},         {"Save", [this] { SaveClick(); }},
      {"Run", [this] { RunClick(); }}};
  int i = 0;
  for (const auto& [caption, run] : actions) {
    auto* b = new QPushButton(TrQ(caption), this);
    b->setObjectName(caption);
    connect(b, &QPushButton::clicked, this, run);
    grid->addWidget(b, i / 4, i % 4);
    ++i;
  }
  right->addLayout(grid);
  HistoryButton_ = new QPushButton(this);
  connect(HistoryButton_, &QPushButton::clicked, this, &TFormDefMacro::HistoryClick);
  right->addWidget(HistoryButton_);
  auto* okRow = new QHBoxLayout;
  okRow->addStretch();
  auto* ok = new QPushButton(TrQ("OK"), this);
  auto* cancel = new QPushButton(TrQ("Cancel"), this);
  connect(ok, &QPushButton::clicked, this, [this] { OkClick(); });
  connect(cancel, &QPushButton::clicked, this, &TFormDefMacro::CancelClick);
  okRow->addWidget(ok);
  okRow->addWidget(cancel);
  right->addLayout(okRow);
  body->addLayout(right, 3);
  lay->addLayout(body);

  FillOperations();
  SelectPage(1);
  UpdateHistoryButton();
}

void TFormDefMacro::SetHistory(const THistoryList* history) {
  HasHistory_ = history != nullptr;
  if (history)
    History_ = *history;
  else
    History_.Clear();
  UpdateHistoryButton();
}

void TFormDefMacro::UpdateHistoryButton() {
  HistoryButton_->setText(HasHistory_ ? Q(HistoryButtonCaption(History_))
                                      : TrQ("Processing history"));
  HistoryButton_->setEnabled(HasHistory_);
}

void TFormDefMacro::SelectPage(int32_t k) {
  Page_ = std::clamp(k, 1, TMacroBook::kPages);
  if (Tabs_->currentIndex() != Page_ - 1) {
    const QSignalBlocker block(Tabs_);
    Tabs_->setCurrentIndex(Page_ - 1);
  }
  Name_->setText(Q(CurrentPage().Name));
  FillSteps();
}

void TFormDefMacro::FillOperations() {
  Ops_->clear();
  for (int32_t code : MacroOperationCodes(Search_->text().toStdString())) {
    auto* it = new QListWidgetItem(Q(Tr(OperationName(code))), Ops_);
    it->setData(Qt::UserRole, code);
  }
}

void TFormDefMacro::FillSteps(int32_t select) {
  Steps_->clear();
  for (TIPFilter& step : CurrentPage().Steps) Steps_->addItem(Q(step.StepText()));
  if (select >= 0 && select < Steps_->count()) {
    Steps_->setCurrentRow(select);
  }
}

std::vector<int32_t> TFormDefMacro::SelectedRows() const {
  std::vector<int32_t> rows;
  for (QListWidgetItem* it : Steps_->selectedItems()) rows.push_back(Steps_->row(it));
  std::sort(rows.begin(), rows.end());
  return rows;
}

void TFormDefMacro::CheckSize() const {
  if (Steps_->count() != int(const_cast<TFormDefMacro*>(this)->CurrentPage().Steps.size()))
    throw EOrluError("Macro size mismatch");
}

void TFormDefMacro::Error(const std::string& text) {
  if (Main_) Main_->ShowMessage(TMessageKind::Error, Tr(kMacroCaption), text);
}

TFilterContext TFormDefMacro::Context() const {
  TFilterContext ctx;
  if (Services_.Context) ctx = Services_.Context();
  if (!ctx.Progress) ctx.Progress = &TFormWait::Instance();
  if (!ctx.Options) ctx.Options = &Options();
  ctx.Dialog = Services_.Dialog ? Services_.Dialog : ctx.Dialog;
  return ctx;
}

namespace {

TAstroDocument* ActiveDocument(TFormMain* main) {
  TFormChild* c = main ? main->ActiveChild() : nullptr;
  return c ? &c->Document() : nullptr;
}

}  // namespace

bool TFormDefMacro::AddOperation(int32_t code, int32_t row) {
  const TFilterContext ctx = Context();
  TIPFilter step(code);
  if (!ctx.Dialog && DialogFor(code, ctx.Reg())) {
    Error(Tr("No parameter dialog is available for") + " " + Tr(OperationName(code)));
    return false;
  }
  try {
    if (step.AskParameters(ActiveDocument(Main_), ctx)) return false;
  } catch (const std::exception& e) {
    Error(e.what());
    return false;
  }
  TMacroPage& page = CurrentPage();
  const int32_t at = row < 0 ? int32_t(page.Steps.size()) : row;
  if (page.Insert(at, {step}) > 0) {
    Error(Tr("The macro is full") + " (" + std::to_string(TMacroPage::kMaxSteps) + ")");
    return false;
  }
  FillSteps(std::min(at, int32_t(page.Steps.size()) - 1));
  return true;
}

void TFormDefMacro::EditClick() {
  try {
    CheckSize();
  } catch (const EOrluError& e) {
    Error(e.what());
    FillSteps();
    return;
  }
  const std::vector<int32_t> rows = SelectedRows();
  if (rows.size() != 1) return;
  TIPFilter& step = CurrentPage().Steps[size_t(rows[0])];
  TIPFilter edited = step;
  edited.Replay = true;
  const TFilterContext ctx = Context();
  if (!ctx.Dialog && DialogFor(step.Code, ctx.Reg())) {
    Error(Tr("No parameter dialog is available for") + " " + Tr(OperationName(step.Code)));
    return;
  }
  try {
    if (edited.AskParameters(ActiveDocument(Main_), ctx)) return;
  } catch (const std::exception& e) {
    Error(e.what());
    return;
  }
  edited.Replay = step.Replay;
  edited.Cancelled = false;
  step = edited;
  FillSteps(rows[0]);
}

void TFormDefMacro::DisableClick() {
  const std::vector<int32_t> rows = SelectedRows();
  for (int32_t r : rows) {
    TIPFilter& s = CurrentPage().Steps[size_t(r)];
    s.Disabled = !s.Disabled;
  }
  FillSteps(rows.empty() ? -1 : rows[0]);
}

void TFormDefMacro::DeleteClick() {
  const std::vector<int32_t> rows = SelectedRows();
  if (rows.empty()) return;
  CurrentPage().Remove(rows);
  FillSteps(std::min(rows[0], int32_t(CurrentPage().Steps.size()) - 1));
}

void TFormDefMacro::CopyClick() {
  try {
    CheckSize();
  } catch (const EOrluError& e) {
    Error(e.what());
    FillSteps();
    return;
  }
  const std::vector<int32_t> rows = SelectedRows();
  if (rows.empty()) return;
  std::vector<TIPFilter>& clip = Clipboard();
  clip.clear();
  for (int32_t r : rows) clip.push_back(CurrentPage().Steps[size_t(r)]);
}

void TFormDefMacro::CopyAllClick() {
  if (CurrentPage().Steps.empty()) return;
  Clipboard() = CurrentPage().Steps;
}

void TFormDefMacro::PasteClick() {
  const std::vector<TIPFilter>& clip = Clipboard();
  if (clip.empty()) return;
  const std::vector<int32_t> rows = SelectedRows();
  TMacroPage& page = CurrentPage();
  const int32_t at = rows.empty() ? int32_t(page.Steps.size()) : rows[0];
  const int32_t left = page.Insert(at, clip);
  FillSteps(at);
  ReportLeftOut(left);
}

void TFormDefMacro::DeleteAllClick() {
  CurrentPage().Steps.clear();
  FillSteps();
}

void TFormDefMacro::ResetClick() {
  CurrentPage().Steps.clear();
  CurrentPage().Name = TMacroBook::DefaultName(Page_);
  Tabs_->setTabText(Page_ - 1, Q(CurrentPage().Name));
  Name_->setText(Q(CurrentPage().Name));
  FillSteps();
}

void TFormDefMacro::MoveStep(int32_t from, int32_t to) {
  TMacroPage& page = CurrentPage();
  if (from < 0 || from >= int32_t(page.Steps.size())) return;
  page.Move(from, to);
  FillSteps(std::clamp(to, 0, int32_t(page.Steps.size()) - 1));
}

void TFormDefMacro::ReportLeftOut(int32_t left) {
  if (left > 0)
    Error(Tr("The macro is full") + " (" + std::to_string(TMacroPage::kMaxSteps) + "): " +
          std::to_string(left) + " " + Tr("steps left out"));
}

void TFormDefMacro::HistoryClick() {
  if (!HasHistory_) return;
  const int32_t left = CurrentPage().ImportHistory(History_);
  FillSteps();
  ReportLeftOut(left);
}

void TFormDefMacro::OpenClick() {
  std::string name;
  if (FileHook) {
    name = FileHook(false);
  } else {
    name = QFileDialog::getOpenFileName(this, TrQ("Open"),
                                        Q(Options().UserSubfolder(TUserFolder::Macro).string()),
                                        QtFileFilters(kMacroFileFilter).join(";;"))
               .toStdString();
  }
  if (name.empty()) return;
  TMacroPage read;
  int32_t dropped = 0;
  std::string error;
  if (!LoadMacroFile(name, read, dropped, error)) {
    Error(error);
    return;
  }
  CurrentPage() = std::move(read);
  Tabs_->setTabText(Page_ - 1, Q(CurrentPage().Name));
  Name_->setText(Q(CurrentPage().Name));
  FillSteps();
  ReportLeftOut(dropped);
}

void TFormDefMacro::SaveClick() {
  std::string name;
  if (FileHook) {
    name = FileHook(true);
  } else {
    const std::string folder = Options().UserSubfolder(TUserFolder::Macro).string();
    name = QFileDialog::getSaveFileName(this, TrQ("Save"), Q(folder + "/" + CurrentPage().Name + ".mac"),
                                        QtFileFilters(kMacroFileFilter).join(";;"))
               .toStdString();
  }
  if (name.empty()) return;
  std::filesystem::path path(name);
  if (!path.has_extension()) path += ".mac";
  // The page takes the file's name.
  const std::string oldName = CurrentPage().Name;
  CurrentPage().Name = path.stem().string();
  std::string error;
  if (!SaveMacroFile(CurrentPage(), path, error)) {
    CurrentPage().Name = oldName;
    Error(error);
    return;
  }
  Tabs_->setTabText(Page_ - 1, Q(CurrentPage().Name));
  Name_->setText(Q(CurrentPage().Name));
}

TFilterStatus TFormDefMacro::RunClick() {
  TAstroDocument* doc = ActiveDocument(Main_);
  if (!doc || CurrentPage().Steps.empty()) return TFilterStatus::Refused;
  std::vector<TIPFilter> steps = CurrentPage().Steps;
  const TFilterContext ctx = Context();
  const TFilterResult r = RunSteps(*doc, steps, ctx);
  // Without a host the framework has nobody to tell.
  if (!ctx.Host && r.Status == TFilterStatus::Failed) Error(r.Message);
  if (r.Status == TFilterStatus::Refused)
    Error(Tr("Another processing window is open"));
  doc->RefreshViews();
  doc->RefreshHistory();
  return r.Status;
}

bool TFormDefMacro::OkClick() {
  std::string refusal = Book_.CheckNames();
  // A blank name would name nothing in the menus either.
  for (int32_t k = 1; k <= TMacroBook::kPages && refusal.empty(); ++k)
    if (!Book_.Page(k).Steps.empty() && Trim(Book_.Page(k).Name).empty())
      refusal = Tr("Please choose a name for the Macro.");
  if (!refusal.empty()) {
    Error(refusal);
    return false;
  }
  Book_.ResetEmptyNames();
  std::string error;
  if (!StoreMacroBook(Book_, Options(), Options().ConfigFolder, error)) {
    Error(error);
    return false;
  }
  for (int32_t k = 1; k <= TMacroBook::kPages; ++k) Tabs_->setTabText(k - 1, Q(Book_.Page(k).Name));
  Name_->setText(Q(CurrentPage().Name));
  close();
  return true;
}

void TFormDefMacro::CancelClick() {
  Book_ = LoadMacroBook(Options(), Options().ConfigFolder);
  SelectPage(Page_);
  for (int32_t k = 1; k <= TMacroBook::kPages; ++k) Tabs_->setTabText(k - 1, Q(Book_.Page(k).Name));
  close();
}

}  // namespace orlu
