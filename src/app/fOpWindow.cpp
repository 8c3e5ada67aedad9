#include "fOpWindow.h"

#include <QFileDialog>
#include <QMdiArea>
#include <QMdiSubWindow>

#include "base/Translate.h"
#include "fChild.h"
#include "fMain.h"

namespace orlu {

QStringList QtFileFilters(std::string_view filter) {
  const QStringList parts =
      QString::fromUtf8(filter.data(), qsizetype(filter.size())).split('|');
  QStringList out;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString patterns = parts[i + 1];
    patterns.replace(';', ' ');
    out << QString::fromStdString(Tr(parts[i].trimmed().toStdString())) + " (" +
               patterns.trimmed() + ")";
  }
  return out;
}

TOpWindow::TOpWindow(TFormMain* main, const char* ownName, bool follow)
    : QWidget(main, Qt::Tool), Main_(main), OwnName_(ownName) {
  setAttribute(Qt::WA_DeleteOnClose, false);
  if (follow && main) {
    connect(main->MdiArea(), &QMdiArea::subWindowActivated, this, [this](QMdiSubWindow* sub) {
      // No active window (the main window lost the focus) keeps the binding; closing
      // documents unbind themselves.
      if (!sub) return;
      if (auto* c = qobject_cast<TFormChild*>(sub->widget()))
        if (!c->IsClosing() && &c->Document() != Doc_) Bind(&c->Document());
    });
    if (TFormChild* c = main->ActiveChild()) Doc_ = &c->Document();
    if (Doc_) Doc_->Attach(this);
  }
  UpdateCaption();
}

TOpWindow::~TOpWindow() {
  if (Doc_) Doc_->Detach(this);
}

void TOpWindow::Bind(TAstroDocument* doc) {
  if (doc != Doc_) {
    if (Doc_) Doc_->Detach(this);
    Doc_ = doc;
    if (Doc_) Doc_->Attach(this);
  }
  UpdateCaption();
  Reload();
}

void TOpWindow::UpdateCaption() {
  QString c = QString::fromStdString(Tr(OwnName_));
  if (Doc_) c += "  -  " + QString::fromStdString(Doc_->Title());
  setWindowTitle(c);
}

void TOpWindow::DocumentChanged(TAstroDocument& doc, TDocumentEvent event) {
  if (&doc != Doc_) return;
  if (event == TDocumentEvent::Caption)
    UpdateCaption();
  else
    Refresh(event);
}

void TOpWindow::DocumentClosing(TAstroDocument& doc) {
  if (&doc != Doc_) return;
  // The document detaches its observers itself.
  Doc_ = nullptr;
  UpdateCaption();
  Reload();
}

std::string TOpWindow::AskOpenName(const std::string& caption, std::string_view filter,
                                   const std::string& folder) {
  int32_t index = 1;
  if (FileHook) return FileHook(false, caption, index);
  return QFileDialog::getOpenFileName(this, QString::fromStdString(caption),
                                      QString::fromStdString(folder),
                                      QtFileFilters(filter).join(";;"))
      .toStdString();
}

std::string TOpWindow::AskSaveName(const std::string& caption, std::string_view filter,
                                   const std::string& folder, const std::string& suggested,
                                   int32_t* filterIndex) {
  int32_t index = filterIndex ? *filterIndex : 1;
  std::string name;
  if (FileHook) {
    name = FileHook(true, caption, index);
  } else {
    const QStringList filters = QtFileFilters(filter);
    QString selected = filters.value(index - 1);
    const QString start = QString::fromStdString(
        folder.empty() ? suggested : folder + "/" + suggested);
    name = QFileDialog::getSaveFileName(this, QString::fromStdString(caption), start,
                                        filters.join(";;"), &selected)
               .toStdString();
    index = int32_t(filters.indexOf(selected)) + 1;
  }
  if (filterIndex) *filterIndex = index < 1 ? 1 : index;
  return name;
}

void TOpWindow::Error(const std::string& caption, const std::string& text) {
  if (Main_) Main_->ShowMessage(TMessageKind::Error, caption, text);
}

void TOpWindow::Information(const std::string& caption, const std::string& text) {
  if (Main_) Main_->ShowMessage(TMessageKind::Information, caption, text);
}

}  // namespace orlu
