#include "fHistory.h"

#include <QApplication>
#include <QClipboard>
#include <QGridLayout>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "OpWindowRules.h"
#include "base/Translate.h"
#include "fDefMacro.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"

namespace orlu {

namespace {

QString TrQ(const char* s) { return QString::fromStdString(Tr(s)); }
const char* const kHistoryCaption = "Processing history";

std::string FolderOf(TUserFolder which) {
  try {
    return Options().UserSubfolder(which).string();
  } catch (const std::exception&) {
    return std::string();
  }
}

}  // namespace

TFormHistory::TFormHistory(TFormMain* main, std::function<TMacroServices()> services)
    : TOpWindow(main, kHistoryCaption, true), Services_(std::move(services)) {
  setObjectName("FormHistory");
  auto* lay = new QVBoxLayout(this);
  List_ = new QListWidget(this);
  List_->setSelectionMode(QAbstractItemView::SingleSelection);
  QFont mono("Courier New");
  mono.setStyleHint(QFont::Monospace);
  List_->setFont(mono);
  List_->setMinimumSize(520, 200);
  lay->addWidget(List_, 3);
  Details_ = new QPlainTextEdit(this);
  Details_->setReadOnly(true);
  Details_->setMaximumHeight(110);
  lay->addWidget(Details_, 1);
  connect(List_, &QListWidget::currentRowChanged, this, &TFormHistory::ShowDetails);

  auto* buttons = new QGridLayout;
  const std::pair<const char*, std::function<void()>> actions[] = {
      {"Open", [this] { OpenClick(); }},
      {"Save", [this] { SaveClick(); }},
      {"Copy", [this] { CopyClick(); }},
      {"Save to FITS header", [this] { SaveToHeaderClick(); }},
      {"Reset FITS header", [this] { ResetHeaderClick(); }},
      {"Define Macro", [this] { DefineMacroClick(); }}};
  int i = 0;
  for (const auto& [caption, run] : actions) {
    auto* b = new QPushButton(TrQ(caption), this);
    b->setObjectName(caption);
    connect(b, &QPushButton::clicked, this, run);
    buttons->addWidget(b, i / 3, i % 3);
    // "Define Macro" works without an image too (the pages are edited, not run).
    if (std::string_view(caption) != "Define Macro") DocButtons_.push_back(b);
    ++i;
  }
  lay->addLayout(buttons);
  Reload();
}

TFormHistory::~TFormHistory() { delete Macro_; }

void TFormHistory::Reload() {
  const int keep = List_->currentRow();
  List_->clear();
  TAstroDocument* doc = Document();
  for (QPushButton* b : DocButtons_) b->setEnabled(doc != nullptr);
  if (!doc) {
    Details_->clear();
    return;
  }
  THistoryList& h = doc->Image().History;
  for (int32_t k = 0; k < h.Count(); ++k) {
    THistoryItem* item = h.Item(k);
    item->DisplayText = item->DisplayLine(k);
    List_->addItem(QString::fromStdString(item->DisplayText));
  }
  if (h.Count() > 0) List_->setCurrentRow(keep >= 0 && keep < h.Count() ? keep : h.Count() - 1);
  ShowDetails();
}

void TFormHistory::Refresh(TDocumentEvent event) {
  if (event == TDocumentEvent::History) Reload();
}

void TFormHistory::ShowDetails() {
  TAstroDocument* doc = Document();
  const THistoryItem* item = doc ? doc->Image().History.Item(List_->currentRow()) : nullptr;
  Details_->setPlainText(item ? QString::fromStdString(HistoryDetails(*item)) : QString());
}

void TFormHistory::OpenClick() {
  TAstroDocument* doc = Document();
  if (!doc) return;
  const std::string name =
      AskOpenName(Tr("Open"), kHistoryFileFilter, FolderOf(TUserFolder::History));
  if (name.empty()) return;
  std::string error;
  if (!doc->Image().History.LoadFromFile(name, error)) {
    Error(Tr(kHistoryCaption), error);
    return;
  }
  // The history is written into the header when the image is saved.
  doc->SetModified();
  doc->RefreshHistory();
  doc->RefreshCaption();
}

void TFormHistory::SaveClick() {
  TAstroDocument* doc = Document();
  if (!doc) return;
  std::string name = AskSaveName(Tr("Save"), kHistoryFileFilter, FolderOf(TUserFolder::History),
                                 doc->SuggestedFileName(".his"));
  if (name.empty()) return;
  const size_t slash = name.rfind('/');
  if (name.find('.', slash == std::string::npos ? 0 : slash + 1) == std::string::npos)
    name += ".his";
  std::string error;
  if (!doc->Image().History.SaveToFile(name, error)) Error(Tr(kHistoryCaption), error);
}

void TFormHistory::CopyClick() {
  TAstroDocument* doc = Document();
  if (!doc) return;
  QApplication::clipboard()->setText(
      QString::fromStdString(doc->Image().History.ClipboardText()));
}

void TFormHistory::SaveToHeaderClick() {
  TAstroDocument* doc = Document();
  if (!doc) return;
  // Old history cards go even when the list is empty now: the header then says what the
  // list says.
  TAImage& img = doc->Image();
  img.History.WriteToHeader(img.Header);
  doc->SetModified();
  doc->RefreshHeader();
  doc->RefreshCaption();
}

void TFormHistory::ResetHeaderClick() {
  TAstroDocument* doc = Document();
  if (!doc) return;
  TAImage& img = doc->Image();
  if (!img.Header.HasHistory()) return;
  img.Header.DeleteHistory();
  doc->SetModified();
  doc->RefreshHeader();
  doc->RefreshCaption();
}

TFormDefMacro* TFormHistory::DefineMacroClick() {
  if (!Macro_) Macro_ = new TFormDefMacro(Main(), Services_ ? Services_() : TMacroServices());
  TAstroDocument* doc = Document();
  Macro_->SetHistory(doc ? &doc->Image().History : nullptr);
  Macro_->show();
  Macro_->raise();
  return Macro_;
}

}  // namespace orlu
