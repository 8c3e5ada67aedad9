#include "fMain.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>
#include <QUrl>

#include <algorithm>

#include "base/OrluMath.h"
#include "base/ProcessSwitches.h"
#include "base/Translate.h"
#include "fChild.h"
#include "fAsk.h"
#include "fOptions.h"
#include "formats/uFiles.h"
#include "formats/uSer.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"
#include "QVMasterRules.h"
#include "uOpWindows.h"
#include "uQtTextPainter.h"
#include "uRecent.h"
// Tool windows and mouse tools.
#include "fHeader.h"
#include "fHisto.h"
#include "fStats.h"
#include "uDragger.h"

namespace orlu {

namespace {

constexpr const char* kRecentFile = "QVRecentU.ini";
constexpr int kWindowMenuMax = 20;
// Largest count of images opened from one multi-image file.
constexpr int32_t kMaxFurtherImages = 9999;

QString Q(const std::string& s) { return QString::fromStdString(s); }
QString TrQ(const char* s) { return Q(Tr(s)); }

// "caption|patterns|caption|patterns" as Qt file-dialog filters, in the same order.
QStringList DialogFilters(std::string_view filter) {
  QStringList parts = QString::fromUtf8(filter.data(), qsizetype(filter.size())).split('|');
  QStringList out;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString patterns = parts[i + 1];
    patterns.replace(';', ' ');
    out << parts[i].trimmed() + " (" + patterns.trimmed() + ")";
  }
  return out;
}

// The core's texts break lines with CR.
QString BoxText(const std::string& s) { return Q(s).replace("\r\n", "\n").replace('\r', '\n'); }

std::string WithExtension(const std::string& path, std::string_view ext) {
  if (ext.empty()) return path;
  const size_t slash = path.rfind('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = path.rfind('.');
  std::string base = dot != std::string::npos && dot > nameStart ? path.substr(0, dot) : path;
  return base + std::string(ext);
}

bool IsDataWriter(TWriterKind k) {
  return k == TWriterKind::FitsData || k == TWriterKind::PngData || k == TWriterKind::TiffData ||
         k == TWriterKind::TextData || k == TWriterKind::RawFloat;
}

}  // namespace

TFormMain::TFormMain(QString configDir, QWidget* parent)
    : QMainWindow(parent), ConfigDir_(std::move(configDir)) {
  Clock_.start();
  setWindowTitle("OrluFV 4.0");
  setAcceptDrops(true);
  Mdi_ = new QMdiArea(this);
  Mdi_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  Mdi_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setCentralWidget(Mdi_);
  Recent_ = new TRecentFilesManager(this);
  BuildMenus();
  BuildStatusLine();
  Master_ = new TQVMaster(*this);
  ConnectOperationWindows(this, *Master_);
  ApplyAccelerators();
  connect(Mdi_, &QMdiArea::subWindowActivated, this, [this](QMdiSubWindow* sub) {
    if (sub)
      if (auto* child = qobject_cast<TFormChild*>(sub->widget())) ChildActivated(*child);
    UpdateMenus();
  });
  connect(Recent_, &TRecentFilesManager::Chosen, this, &TFormMain::RecentChosen);
  Recent_->Load(ConfigDir_, kRecentFile);
  SetDocumentHost(this);
  ApplyDesktopBrightness();
  // Paste items follow the system clipboard.
  connect(QApplication::clipboard(), &QClipboard::dataChanged, this, [this] { UpdateMenus(); });
  UpdateMenus();
  resize(1280, 860);
  if (CpuHasSSE2() && !Options().Misc.PermitSSE)
    ShowStatus(Tr("Warning: SIMD instructions are disabled in Options"), 2, 4000, true);
  else if (!Options().Misc.PermitMT)
    ShowStatus(Tr("Warning: Multithreading is disabled in Options"), 2, 4000, true);
  else if (Options().Misc.FirstExecution && logicalDpiX() == 96)
    ShowStatus(Tr("Hint: see Edit/Options for icon's size and Windows scaling"), 2, 4000, true);
  ApplyIconSize();
}

TFormMain::~TFormMain() {
  // The windows and their documents go while this window's members still exist: a
  // document leaving tells its host.
  // Closed windows still waiting for their deferred deletion count too.
  Closing_ = true;
  for (QMdiSubWindow* sub : Mdi_->findChildren<QMdiSubWindow*>()) delete sub;
  if (DocumentHost() == this) SetDocumentHost(nullptr);
  delete Master_;
  Master_ = nullptr;
}

// ============================================================================ menus

QMenu* TFormMain::Menu(TMenuId id) const { return Menus_[size_t(id)]; }

namespace {

void MarkMenu(QMenu* menu, const QMenu* skip) {
  std::vector<QAction*> items;
  std::vector<std::string> captions;
  for (QAction* a : menu->actions())
    if (!a->isSeparator()) {
      items.push_back(a);
      captions.push_back(a->text().toStdString());
    }
  const std::vector<std::string> marked = AutoAccelerators(captions);
  for (size_t i = 0; i < items.size(); ++i) {
    if (marked[i] != captions[i]) items[i]->setText(Q(marked[i]));
    if (QMenu* sub = items[i]->menu(); sub && sub != skip) MarkMenu(sub, skip);
  }
}

}  // namespace

void TFormMain::ApplyAccelerators() {
  std::vector<std::string> titles;
  for (QMenu* m : Menus_) titles.push_back(m->title().toStdString());
  const std::vector<std::string> marked = AutoAccelerators(titles);
  for (size_t i = 0; i < Menus_.size(); ++i) {
    Menus_[i]->setTitle(Q(marked[i]));
    // The Window menu is rebuilt each time it opens.
    if (Menus_[i] != WindowMenu_) MarkMenu(Menus_[i], ReopenMenu_);
  }
}

void TFormMain::AddImageAction(QAction* a) {
  ImageActions_.push_back(a);
  a->setEnabled(!ImageWindows().empty());
}

void TFormMain::AddWindowCommand(const QString& caption, std::function<void()> run) {
  WindowCommands_.emplace_back(caption, std::move(run));
}

void TFormMain::ToggleFullScreen() {
  if (isFullScreen()) {
    showNormal();
    return;
  }
  TFormChild* c = ActiveChild();
  if (!c || !c->SubWindow()) return;
  c->SubWindow()->showMaximized();
  showFullScreen();
}

void TFormMain::ApplyIconSize() {
  QSize screen(0, 0);
  if (QScreen* s = this->screen()) screen = s->size();
  const int32_t px = ToolbarIconSize(Options().Misc.IconsMode, logicalDpiX(), screen.width(),
                                     screen.height());
  if (ToolBar_) ToolBar_->setIconSize(QSize(px, px));
}

void TFormMain::ApplyDesktopBrightness() {
  // Values of 100 and above keep the system colour; below, the button face toward black.
  const double b = Options().Misc.DesktopBrightness;
  if (!(b < 100)) {
    Mdi_->setBackground(palette().brush(QPalette::Dark));
    return;
  }
  const QColor face = palette().color(QPalette::Button);
  const int32_t w = Round(std::clamp(b, 0.0, 100.0) * 2.56);
  Mdi_->setBackground(QColor(face.red() * w / 256, face.green() * w / 256, face.blue() * w / 256));
}

void TFormMain::BuildMenus() {
  QStyle* st = style();
  // In the order of TMenuId.
  for (const char* title : {"File", "Edit", "View", "Image", "Processing", "Tools", "Window", "Help"})
    Menus_.push_back(menuBar()->addMenu(TrQ(title)));
  QMenu* file = Menus_[size_t(TMenuId::File)];
  QAction* open = file->addAction(st->standardIcon(QStyle::SP_DialogOpenButton), TrQ("Open"));
  open->setShortcut(QKeySequence::Open);
  connect(open, &QAction::triggered, this, &TFormMain::OpenWithDialog);
  ReopenMenu_ = file->addMenu(TrQ("Reopen"));
  Recent_->Attach(ReopenMenu_);
  SaveAction_ = file->addAction(TrQ("Save"));
  SaveAction_->setShortcut(QKeySequence::Save);
  connect(SaveAction_, &QAction::triggered, this,
          [this] { ApplyToActive([this](TFormChild& c) { SaveDocument(c); }); });
  QAction* saveAs =
      file->addAction(st->standardIcon(QStyle::SP_DialogSaveButton), TrQ("Save 16/32 bit"));
  saveAs->setShortcut(QKeySequence::SaveAs);
  connect(saveAs, &QAction::triggered, this,
          [this] { ApplyToActive([this](TFormChild& c) { SaveDocumentAs(c); }); });
  QAction* saveView = file->addAction(TrQ("Save view"));
  connect(saveView, &QAction::triggered, this,
          [this] { ApplyToActive([this](TFormChild& c) { SaveViewAs(c); }); });
  QAction* close = file->addAction(TrQ("Close"));
  close->setShortcut(QKeySequence::Close);
  connect(close, &QAction::triggered, this, [this] {
    if (QMdiSubWindow* sub = Mdi_->currentSubWindow()) sub->close();
  });
  file->addSeparator();
  QAction* exit = file->addAction(TrQ("Exit"));
  exit->setShortcut(QKeySequence::Quit);
  connect(exit, &QAction::triggered, this, &QWidget::close);
  ImageActions_ = {SaveAction_, saveAs, saveView, close};

  QMenu* view = Menus_[size_t(TMenuId::View)];
  QAction* zoomIn = view->addAction(TrQ("Zoom +") + "     [ + ]");
  zoomIn->setIconText(TrQ("Zoom +"));
  connect(zoomIn, &QAction::triggered, this, [this] {
    const bool shift = QApplication::keyboardModifiers() & Qt::ShiftModifier;
    ApplyToActive([shift](TFormChild& c) { c.ZoomIn(shift); });
  });
  QAction* zoomOut = view->addAction(TrQ("Zoom -") + "      [ - ]");
  zoomOut->setIconText(TrQ("Zoom -"));
  connect(zoomOut, &QAction::triggered, this, [this] {
    const bool shift = QApplication::keyboardModifiers() & Qt::ShiftModifier;
    ApplyToActive([shift](TFormChild& c) { c.ZoomOut(shift); });
  });
  QAction* fitWin = view->addAction(TrQ("Fit to window"));
  connect(fitWin, &QAction::triggered, this,
          [this] { ApplyToActive([](TFormChild& c) { c.FitToWindow(); }); });
  QAction* fitImg = view->addAction(TrQ("Fit to image"));
  connect(fitImg, &QAction::triggered, this,
          [this] { ApplyToActive([](TFormChild& c) { c.FitToImage(); }); });
  QAction* fullScreen = view->addAction(TrQ("Full screen"));
  connect(fullScreen, &QAction::triggered, this, &TFormMain::ToggleFullScreen);
  QMenu* zoomMenu = view->addMenu(TrQ("Zoom"));
  for (int pct : {12, 25, 50, 100, 200, 400, 800, 1600}) {
    QAction* a = zoomMenu->addAction(QString::number(pct) + " %");
    connect(a, &QAction::triggered, this, [this, pct] {
      ApplyToActive([pct](TFormChild& c) { c.SetZoom(ZoomCodeForPercent(pct)); });
    });
  }
  view->addSeparator();
  ZoomModeAction_ = view->addAction(TrQ("Zoom mode"));
  ZoomModeAction_->setCheckable(true);
  ZoomModeAction_->setChecked(Options().Misc.ZoomWithWheel);
  // ---- tool windows ----
  view->addSeparator();
  QAction* header = view->addAction(TrQ("FITS Header"));
  connect(header, &QAction::triggered, this, [this] {
    if (TFormChild* c = ActiveChild()) TFormHeader::ShowHeaderWindow(this, &c->Document());
  });
  QAction* histo = view->addAction(TrQ("Histogram"));
  connect(histo, &QAction::triggered, this, [this] {
    if (TFormChild* c = ActiveChild()) TFormHistoChild::ShowHistogramWindow(this, &c->Document());
  });
  QAction* stats = view->addAction(TrQ("Statistics"));
  connect(stats, &QAction::triggered, this, [this] {
    if (TFormChild* c = ActiveChild()) TFormStats::ShowStatisticsWindow(this, &c->Document());
  });
  QAction* stretch = view->addAction(TrQ("Histogram stretch"));
  connect(stretch, &QAction::triggered, this, [this] {
    if (TFormChild* c = ActiveChild()) TFormHistoFilter(this, c->Document()).exec();
  });
  ImageActions_.insert(ImageActions_.end(), {header, histo, stats, stretch});
  // ---- end of tool windows ----
  ImageActions_.insert(ImageActions_.end(), {zoomIn, zoomOut, fitWin, fitImg, fullScreen});
  ImageActions_.push_back(zoomMenu->menuAction());
  // ---- Operation windows: mask, history, macros, range, palettes ----
  AddOperationWindowCommands(this, view);
  // ----

  QAction* about = Menus_[size_t(TMenuId::Help)]->addAction(TrQ("About OrluFV"));
  connect(about, &QAction::triggered, this, [this] {
    QMessageBox::about(this, "OrluFV 4.0", "OrluFV 4.0");
  });
  WindowMenu_ = Menus_[size_t(TMenuId::Window)];
  connect(WindowMenu_, &QMenu::aboutToShow, this, &TFormMain::RebuildWindowMenu);
  RebuildWindowMenu();

  QToolBar* tb = ToolBar_ = addToolBar(TrQ("Toolbar"));
  tb->setObjectName("MainToolbar");
  tb->addAction(open);
  tb->addAction(saveAs);
  tb->addSeparator();
  tb->addAction(zoomIn);
  tb->addAction(zoomOut);
  tb->addAction(fitWin);
  tb->addAction(fitImg);
  tb->addSeparator();
  tb->addAction(ZoomModeAction_);
}

void TFormMain::RebuildWindowMenu() {
  WindowMenu_->clear();
  auto restoreAll = [this] {
    for (QMdiSubWindow* s : Mdi_->subWindowList()) s->showNormal();
  };
  QAction* cascade = WindowMenu_->addAction(TrQ("Cascade"));
  connect(cascade, &QAction::triggered, this, [this, restoreAll] {
    restoreAll();
    Mdi_->cascadeSubWindows();
  });
  QAction* tile = WindowMenu_->addAction(TrQ("Tile"));
  connect(tile, &QAction::triggered, this, [this, restoreAll] {
    restoreAll();
    Mdi_->tileSubWindows();
  });
  const std::vector<TFormChild*> children = ImageWindows();
  cascade->setEnabled(!children.empty());
  tile->setEnabled(!children.empty());
  for (const auto& [caption, run] : WindowCommands_) {
    QAction* a = WindowMenu_->addAction(caption);
    connect(a, &QAction::triggered, this, run);
    a->setEnabled(!children.empty());
  }
  if (!children.empty()) WindowMenu_->addSeparator();
  int n = 0;
  for (TFormChild* c : children) {
    if (++n > kWindowMenuMax) break;
    QAction* a = WindowMenu_->addAction(Q(c->Document().Title()).replace('&', "&&"));
    a->setCheckable(true);
    a->setChecked(c == ActiveChild());
    QMdiSubWindow* sub = c->SubWindow();
    connect(a, &QAction::triggered, this, [this, sub] {
      if (Mdi_->subWindowList().contains(sub)) Mdi_->setActiveSubWindow(sub);
    });
  }
}

void TFormMain::BuildStatusLine() {
  LabInfo1_ = new QLabel(this);
  LabInfo2_ = new QLabel(this);
  LabInfo1_->setMinimumWidth(200);
  LabInfo2_->setMinimumWidth(200);
  LabInfo1_->setTextFormat(Qt::PlainText);
  LabInfo2_->setTextFormat(Qt::PlainText);
  statusBar()->addWidget(LabInfo1_, 1);
  statusBar()->addWidget(LabInfo2_, 1);
}

bool TFormMain::ZoomMode() const { return ZoomModeAction_ && ZoomModeAction_->isChecked(); }

void TFormMain::SetZoomMode(bool on) { ZoomModeAction_->setChecked(on); }

TFormOptions* TFormMain::OptionsWindow() {
  if (!Options_) {
    Options_ = new TFormOptions(this);
    Options_->Report = [this](const std::string& c, const std::string& t) {
      ShowMessage(TMessageKind::Warning, c, t);
    };
  }
  return Options_;
}

void TFormMain::ShowOptions(bool rawPage) {
  if (OptionsWindow()->Execute(rawPage)) SetZoomMode(Options().Misc.ZoomWithWheel);
}

void TFormMain::UpdateMenus() {
  const bool any = !ImageWindows().empty();
  for (QAction* a : ImageActions_) a->setEnabled(any);
  if (Master_) Master_->UpdateMenus();
}

void TFormMain::ApplyToActive(const std::function<void(TFormChild&)>& f) {
  if (TFormChild* c = ActiveChild()) f(*c);
}

// ============================================================================ windows

std::vector<TFormChild*> TFormMain::ImageWindows() const {
  std::vector<TFormChild*> out;
  for (QMdiSubWindow* sub : Mdi_->subWindowList())
    if (auto* c = qobject_cast<TFormChild*>(sub->widget()))
      if (!c->IsClosing()) out.push_back(c);
  return out;
}

TFormChild* TFormMain::ActiveChild() const {
  QMdiSubWindow* sub = Mdi_->currentSubWindow();
  auto* c = sub ? qobject_cast<TFormChild*>(sub->widget()) : nullptr;
  return c && !c->IsClosing() ? c : nullptr;
}

void TFormMain::Activate(TFormChild& child) {
  if (child.SubWindow()) Mdi_->setActiveSubWindow(child.SubWindow());
  child.setFocus();
}

void TFormMain::ChildActivated(TFormChild& child) {
  child.UpdateStatus();
  TChildWindow::NotifyActiveDocument(&child.Document());  // following tool windows
}

QSize TFormMain::MainClientSize() const { return Mdi_->viewport()->size(); }

// ============================================================================ status line

void TFormMain::ShowStatus(const std::string& text, int field, int32_t holdMs, bool sticky) {
  if (!Hold_.Accept(Clock_.elapsed(), holdMs, sticky)) return;
  QLabel* l = field == 2 ? LabInfo2_ : LabInfo1_;
  l->setText(Q(text));
  l->repaint();
}

void TFormMain::ShowImageStatus(const std::string& field2, const std::string& selection) {
  // A narrow status line shows the image status in the wider first field.
  const bool narrow = statusBar()->width() < 1.42 * LabInfo2_->x();
  if (selection.empty() && narrow) {
    ShowStatus(field2, 1, 0, false);
    ShowStatus(std::string(), 2, 0, false);
  } else {
    ShowStatus(field2, 2, 0, false);
    ShowStatus(selection, 1, 0, false);
  }
}

QString TFormMain::StatusText(int field) const {
  return (field == 2 ? LabInfo2_ : LabInfo1_)->text();
}

void TFormMain::ShowStatus(const std::string& text, int32_t milliseconds) {
  ShowStatus(text, 1, milliseconds, milliseconds > 0);
}

void TFormMain::ShowMessage(TMessageKind kind, const std::string& caption,
                            const std::string& text) {
  if (MessageHook) {
    MessageHook(kind, caption, text);
    return;
  }
  const QMessageBox::Icon icon = kind == TMessageKind::Error         ? QMessageBox::Critical
                                 : kind == TMessageKind::Information ? QMessageBox::Information
                                                                     : QMessageBox::Warning;
  QMessageBox box(icon, Q(caption), BoxText(text), QMessageBox::Ok, this);
  box.setWindowModality(Qt::ApplicationModal);
  box.exec();
}

bool TFormMain::Confirm(const std::string& caption, const std::string& text) {
  if (ConfirmHook) return ConfirmHook(caption, text);
  QMessageBox box(QMessageBox::Question, Q(caption), BoxText(text),
                  QMessageBox::Ok | QMessageBox::Cancel, this);
  box.setWindowModality(Qt::ApplicationModal);
  return box.exec() == QMessageBox::Ok;
}

void TFormMain::ShowError(const std::string& caption, const std::string& text) {
  ShowMessage(TMessageKind::Error, caption, text);
}

bool TFormMain::MaskMode() const { return MouseTools().MouseMode == TMouseToolSettings::kMask; }

void TFormMain::DrawRectIntoMask(TAstroDocument& doc, const TPixelRect& rect) {
  TAMask& mask = *doc.Image().Mask;
  if (mask.Width != doc.Width() || mask.Height != doc.Height()) doc.ResetMask();
  const TPixelRect r{std::clamp(rect.Left, 0, doc.Width() - 1), std::clamp(rect.Bottom, 0, doc.Height() - 1),
                     std::clamp(rect.Right, 0, doc.Width() - 1), std::clamp(rect.Top, 0, doc.Height() - 1)};
  mask.ApplyRectOrEllipse(r.Left, r.Bottom, r.Right, r.Top, MouseTools().MaskTool == 1, MouseTools().Combine);
  doc.RefreshStatistics();
}

// ============================================================================ documents

IImageWindow* TFormMain::CreateImageWindow(TAstroDocument& doc, double zoom, bool autoZoom) {
  auto* child = new TFormChild(this, doc);
  QMdiSubWindow* sub = Mdi_->addSubWindow(child);
  sub->setAttribute(Qt::WA_DeleteOnClose);
  sub->hide();
  child->SetSubWindow(sub);
  Tabs_.Add(child);
  connect(sub, &QMdiSubWindow::windowStateChanged, child, [child] { child->UpdateBar(); });
  if (autoZoom) {
    child->AutoView();
  } else {
    int32_t code = 0;
    if (!TryRound(zoom, code)) code = 0;
    child->CreateView(code);
  }
  child->UpdateCaption();
  return child;
}

void TFormMain::RegisterDocument(TAstroDocument&) {
  UpdateMenus();
  emit TabsChanged();
}

void TFormMain::ForgetTab(TFormChild* child) {
  Tabs_.Remove(child);
  if (!Closing_) emit TabsChanged();
}

TFormChild* TFormMain::NextTab(TFormChild* child, bool forward) const {
  return forward ? Tabs_.Next(child) : Tabs_.Previous(child);
}

void TFormMain::OpenUrl(const std::string& url) {
  if (UrlHook) {
    UrlHook(url);
    return;
  }
  QDesktopServices::openUrl(QUrl(Q(url)));
}

void TFormMain::UnregisterDocument(TAstroDocument&) {
  // Called while a window is being destroyed: the menus are brought up to date afterwards.
  if (!Closing_) QMetaObject::invokeMethod(this, [this] { UpdateMenus(); }, Qt::QueuedConnection);
}

TFormChild* TFormMain::AdoptDocument(std::unique_ptr<TAstroDocument> doc) {
  auto* child = dynamic_cast<TFormChild*>(doc->ImageWindow());
  if (!child) return nullptr;
  child->AdoptDocument(std::move(doc));
  return child;
}

TFormChild* TFormMain::ShowDocument(std::unique_ptr<TAstroDocument> doc, int32_t zoomCode,
                                    bool autoZoom) {
  // On failure the document has shown its out-of-memory box.
  if (!doc || !doc->CreateWindow(zoomCode, autoZoom)) return nullptr;
  TFormChild* child = AdoptDocument(std::move(doc));
  if (!child) return nullptr;
  child->Document().Show();
  return child;
}

TFormChild* TFormMain::OpenDocument(const std::string& path, int32_t frameIndex) {
  std::string error;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  std::unique_ptr<TAstroDocument> doc = TAstroDocument::OpenFile(path, frameIndex, &error);
  QApplication::restoreOverrideCursor();
  if (!doc) {
    ShowMessage(TMessageKind::Error, Tr("Open"), error);
    return nullptr;
  }
  TFormChild* child = ShowDocument(std::move(doc), 0, Options().File.Autozoom);
  if (!child) return nullptr;
  if (!IsPseudoPath(path)) {
    TFileOptions& f = Options().File;
    if (f.RememberLastFolder) {
      const std::string folder = QFileInfo(Q(path)).absolutePath().toStdString();
      if (!folder.empty()) f.LastOpenDir = folder;
    } else {
      f.LastOpenDir.clear();
    }
  }
  return child;
}

void TFormMain::OpenRemainingImages(const std::string& path, const TFormChild& first) {
  // QVIM_CNT counts the images of a FITS file only; another format may carry the card in
  // a header it took from elsewhere.
  const int32_t n = 1 + FurtherImageCount(path, first.Document().Image().Header, kMaxFurtherImages);
  for (int32_t k = 2; k <= n && !Abort_; ++k) {
    std::string error;
    std::unique_ptr<TAstroDocument> doc = TAstroDocument::OpenFile(path, k, &error);
    if (!doc) {
      ShowMessage(TMessageKind::Error, Tr("Open"), error);
      return;
    }
    if (!ShowDocument(std::move(doc), 0, Options().File.Autozoom)) return;
    QApplication::processEvents();
  }
}

void TFormMain::OpenFiles(const std::vector<std::string>& paths, bool addRecent, bool askFrame) {
  Abort_ = false;
  bool first = true;
  // The frame of a video, asked once and taken from every video of the list.
  int32_t frame = -1;
  for (const std::string& p : paths) {
    if (Abort_) break;
    int32_t frameIndex = 0;
    if (askFrame && LowerExtension(p) == ".ser") {
      const int32_t frames = SerFrameCount(p);
      if (frames > 1 && frame < 0) {
        TAsk1f& ask = Master_->Ask1();
        ask.Setup(Tr("Frame"), "", true, TAskField{true, 1, 1, double(std::min(frames, 9999)), 1});
        if (!ask.Execute()) continue;
        frame = ask.IntValue();
      }
      if (frames > 1) frameIndex = std::clamp(frame, 1, frames) - 1;
    }
    TFormChild* c = OpenDocument(p, frameIndex);
    if (!c) continue;
    if (first && addRecent) Recent_->Add(p, c->Picture16());
    first = false;
    OpenRemainingImages(p, *c);
    QApplication::processEvents();
  }
}

void TFormMain::OpenWithDialog() {
  const QStringList filters = DialogFilters(OpenDialogFilter(false, Options()));
  TFileOptions& f = Options().File;
  const std::string dir = !f.LastOpenDir.empty() ? f.LastOpenDir : f.OpenDir;
  const QStringList files =
      QFileDialog::getOpenFileNames(this, TrQ("Open"), Q(dir), filters.join(";;"));
  std::vector<std::string> paths;
  for (const QString& s : files) paths.push_back(s.toStdString());
  OpenFiles(paths, true, true);
}

void TFormMain::OpenHandedOver(const QStringList& paths) {
  if (isMinimized()) showNormal();
  raise();
  activateWindow();
  Abort_ = false;
  for (const QString& p : paths) {
    if (Abort_) break;
    OpenDocument(p.toStdString());
  }
}

void TFormMain::RecentChosen(const QString& path) {
  const std::string p = path.toStdString();
  if (!QFileInfo::exists(path)) {
    ShowMessage(TMessageKind::Error, Tr("Error"), Tr("Cannot find file") + ":\r" + p);
    return;
  }
  Abort_ = false;
  if (TFormChild* c = OpenDocument(p)) {
    Recent_->Add(p, c->Picture16());
    OpenRemainingImages(p, *c);
  }
}

// ============================================================================ saving

bool TFormMain::WriteDocument(TFormChild& child, const std::string& path, TWriterKind writer,
                              bool compressed) {
  TAstroDocument& doc = child.Document();
  QApplication::setOverrideCursor(Qt::WaitCursor);
  // View writers draw the annotations, texts included, over the view.
  TQtTextPainter painter;
  const TSaveResult r =
      doc.SaveData(path, writer, compressed, Options(), TTileMethod::ByRule, &painter);
  QApplication::restoreOverrideCursor();
  if (r.Status != TSaveStatus::Written) {
    ShowMessage(TMessageKind::Error, Tr("ERROR"),
                r.Message.empty() ? Tr("Cannot write file to disk") : r.Message);
    return false;
  }
  if (writer == TWriterKind::FitsData && HasExtension(path, {".fit", ".fits", ".fts"}))
    child.SetSavedAsFits();
  child.UpdateCaption();
  Recent_->Add(path, child.Picture16());
  return true;
}

bool TFormMain::SaveDocument(TFormChild& child) {
  if (!child.CanSaveUnderName()) return SaveDocumentAs(child);
  return WriteDocument(child, child.Document().FileName(), TWriterKind::FitsData,
                       Options().File.FitsCompress);
}

bool TFormMain::SaveDocumentAs(TFormChild& child) { return SaveWithDialog(child, false); }

bool TFormMain::SaveViewAs(TFormChild& child) { return SaveWithDialog(child, true); }

bool TFormMain::SaveWithDialog(TFormChild& child, bool view) {
  TAstroDocument& doc = child.Document();
  int32_t filterIndex = 1;
  std::string name;
  const auto extension = [view](int32_t i) {
    return view ? ViewFilterExtension(i) : DataFilterExtension(i);
  };
  if (SaveNameHook) {
    name = SaveNameHook(doc, filterIndex);
  } else {
    const QStringList filters = DialogFilters(view ? kViewSaveFilter : kDataSaveFilter);
    const TFileOptions& f = Options().File;
    std::string folder = f.SaveDir;
    const std::string& current = doc.FileName();
    if (folder.empty() && current.find('/') != std::string::npos)
      folder = current.substr(0, current.rfind('/'));
    const std::string initial =
        (folder.empty() ? std::string() : folder + "/") + doc.SuggestedFileName(extension(1));
    QString selected = filters.value(0);
    const QString chosen =
        QFileDialog::getSaveFileName(this, TrQ(view ? "Save view" : "Save 16/32 bit"), Q(initial),
                                     filters.join(";;"), &selected);
    name = chosen.toStdString();
    filterIndex = int32_t(filters.indexOf(selected)) + 1;
  }
  if (name.empty()) return false;
  const std::string path = WithExtension(name, extension(filterIndex));
  if (view) {
    const TWriterKind writer = ChooseViewWriter(path, filterIndex);
    if (writer == TWriterKind::None) {
      ShowMessage(TMessageKind::Error, Tr("ERROR"), Tr("Cannot write file to disk"));
      return false;
    }
    // A picture of the view keeps the document's name and its modified state.
    return WriteDocument(child, path, writer, false);
  }
  // Filter 2 is "FITS Compressed", 3 "FITS Not compressed"; the others follow the option.
  const bool compressed =
      filterIndex == 2 ? true : filterIndex == 3 ? false : Options().File.FitsCompress;
  const TWriterKind writer = ChooseDataWriter(path);
  if (!WriteDocument(child, path, writer, compressed)) return false;
  // A picture of the view is not the data: the document keeps its name and stays
  // modified.
  return IsDataWriter(writer);
}

bool TFormMain::CloseQuery(TFormChild& child) {
  TAstroDocument& doc = child.Document();
  if (!doc.IsModified()) return true;
  Activate(child);
  const bool saveEnabled = child.CanSaveUnderName();
  TCloseAnswer answer = TCloseAnswer::Cancel;
  if (CloseQuestionHook) {
    answer = CloseQuestionHook(doc, saveEnabled);
  } else {
    QMessageBox box(QMessageBox::Question, Q(doc.Title()), TrQ("Save changes to disk ?"),
                    QMessageBox::NoButton, this);
    box.setWindowModality(Qt::ApplicationModal);
    QPushButton* saveAs = box.addButton(TrQ("Save as .."), QMessageBox::AcceptRole);
    QPushButton* save = box.addButton(TrQ("Save"), QMessageBox::AcceptRole);
    QPushButton* cancel = box.addButton(TrQ("Cancel"), QMessageBox::RejectRole);
    QPushButton* dontSave = box.addButton(TrQ("Don't save"), QMessageBox::DestructiveRole);
    save->setEnabled(saveEnabled);
    box.setDefaultButton(saveEnabled ? save : saveAs);
    box.setEscapeButton(cancel);
    box.exec();
    QAbstractButton* b = box.clickedButton();
    answer = b == saveAs ? TCloseAnswer::SaveAs
             : b == save ? TCloseAnswer::Save
             : b == dontSave ? TCloseAnswer::DontSave
                             : TCloseAnswer::Cancel;
  }
  switch (answer) {
    case TCloseAnswer::DontSave:
      return true;
    case TCloseAnswer::Save:
      // A failed save keeps the window: closing it would lose the changes.
      return saveEnabled ? SaveDocument(child) : false;
    case TCloseAnswer::SaveAs:
      return SaveDocumentAs(child);
    case TCloseAnswer::Cancel:
      break;
  }
  return false;
}

// ============================================================================ events

void TFormMain::closeEvent(QCloseEvent* e) {
  // Every image window closes with its own question first; a "Cancel" stops the exit and
  // the windows not yet asked stay open.
  for (QMdiSubWindow* sub : Mdi_->subWindowList(QMdiArea::ActivationHistoryOrder)) {
    if (!sub->close()) {
      e->ignore();
      return;
    }
  }
  Closing_ = true;
  Recent_->Save(ConfigDir_, kRecentFile);
  e->accept();
}

void TFormMain::dragEnterEvent(QDragEnterEvent* e) {
  if (e->mimeData()->hasUrls()) e->acceptProposedAction();
}

void TFormMain::dropEvent(QDropEvent* e) {
  std::vector<std::string> paths;
  for (const QUrl& u : e->mimeData()->urls())
    if (u.isLocalFile()) paths.push_back(u.toLocalFile().toStdString());
  if (paths.empty()) return;
  e->acceptProposedAction();
  // Opened after the drop has finished: a dialog during the drop would block its source.
  QMetaObject::invokeMethod(this, [this, paths] { OpenFiles(paths, true, true); },
                            Qt::QueuedConnection);
}

}  // namespace orlu
