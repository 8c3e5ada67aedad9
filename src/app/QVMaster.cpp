#include "QVMaster.h"
#include "uDragger.h"
#include "fWait.h"
#include "formats/LoadStatus.h"
#include "formats/uClipboard.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCursor>
#include <QFileDialog>
#include <QImage>
#include <QInputDialog>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QSysInfo>
#include <QToolBar>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <set>

#include <unistd.h>

#include "ViewRender.h"
#include "annotate/uAnnotate.h"
#include "astrometry/LibAstro.h"
#include "base/EOrluError.h"
#include "base/OrluMath.h"
#include "base/TextNumbers.h"
#include "base/Translate.h"
#include "fAsk.h"
#include "fChild.h"
#include "fMain.h"
#include "fPasteInto.h"
#include "fPrint.h"
#include "formats/uFiles.h"
#include "formats/uMaskFile.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"
#include "processing/uMacro.h"
#include "visual/ImaVisu.h"

namespace orlu {

namespace {

TQVMaster* gMaster = nullptr;

QString Q(const std::string& s) { return QString::fromStdString(s); }
QString TrQ(const char* s) { return Q(Tr(s)); }

// The mark of this program's own copy on the system clipboard.
constexpr const char* kOwnClipboardFormat = "application/x-orlu-copy";

// Codes whose commands have their own items (their parameters come from the command) and
// are therefore not listed among the plain operations.
const std::set<int32_t>& DedicatedCodes() {
  static const std::set<int32_t> codes = {31, 32, 73, 74, 75, 81, 82, 83, 84, 85, 96, 102};
  return codes;
}


// The whole rendered picture as one image (bands stacked top-down).
QImage PictureImage(const TViewPicture& pic) {
  QImage out(pic.Width(), pic.Height(), QImage::Format_RGB32);
  // A picture too large for memory: the clipboard then gets the data only.
  if (out.isNull()) return out;
  for (int32_t i = 0; i < pic.BandCount(); ++i) {
    const TBgraBitmap& b = pic.Band(i);
    for (int32_t y = 0; y < b.Height(); ++y)
      std::memcpy(out.scanLine(pic.BandTop(i) + y), b.Pixels() + size_t(y) * size_t(b.Width()),
                  size_t(b.Width()) * 4);
  }
  return out;
}

// A picture of the system clipboard as the core's clipboard loader takes it.
TClipboardPicture ClipboardPictureOf(const QImage& picture) {
  TClipboardPicture p;
  if (picture.isNull()) return p;
  const QImage argb = picture.convertToFormat(QImage::Format_ARGB32);
  if (argb.isNull()) return p;
  p.Kind = TClipboardPicture::TKind::Pixels;
  p.Width = argb.width();
  p.Height = argb.height();
  p.Stride = argb.bytesPerLine();
  // ARGB32 is a 32-bit value per pixel: blue first in memory on a little-endian machine.
  p.Layout = QSysInfo::ByteOrder == QSysInfo::LittleEndian ? TClipboardPixels::Bgra
                                                           : TClipboardPixels::Rgba;
  p.Bytes.assign(argb.constBits(), argb.constBits() + argb.sizeInBytes());
  return p;
}

// An image from a clipboard picture through the clipboard loader (grey when every pixel
// is grey); nullptr when it cannot be made.
std::unique_ptr<TAImage> ImageFromPicture(const QImage& picture) {
  if (picture.isNull() || !SizeAccepted(picture.width(), picture.height())) return nullptr;
  try {
    auto img = std::make_unique<TAImage>();
    LoadClipboardPicture(ClipboardPictureOf(picture), *img);
    if (!LoadSucceeded(img->Status)) return nullptr;
    img->RefreshStatistics();
    SetVisualization(*img, img->Visu.TransferType, 255, 0);
    return img;
  } catch (const std::exception&) {
    return nullptr;
  }
}

}  // namespace

TQVMaster* QVMaster() { return gMaster; }

// ============================================================================ group walk

void TQVMasterGroup::Collect() {
  Current_ = nullptr;
  CurrentWindow_ = nullptr;
  // The most recently activated window first.
  std::vector<QPointer<TFormChild>> windows;
  const QList<QMdiSubWindow*> subs =
      M_.Main().MdiArea()->subWindowList(QMdiArea::ActivationHistoryOrder);
  for (qsizetype i = subs.size() - 1; i >= 0; --i)
    if (auto* c = qobject_cast<TFormChild*>(subs[i]->widget()))
      if (!c->IsClosing()) windows.emplace_back(c);
  // A window closed by an earlier step of the walk is passed over.
  Walk_ = std::make_unique<TSnapshotWalk<QPointer<TFormChild>>>(
      std::move(windows), [](const QPointer<TFormChild>& c) { return c && !c->IsClosing(); });
}

bool TQVMasterGroup::Next() {
  Current_ = nullptr;
  CurrentWindow_ = nullptr;
  if (!Walk_ || !Walk_->Next()) return false;
  CurrentWindow_ = Walk_->Current();
  Current_ = &CurrentWindow_->Document();
  return true;
}

TFormChild* TQVMasterGroup::CurrentWindow() const { return CurrentWindow_.data(); }

// ============================================================================ the layer

TQVMaster::TQVMaster(TFormMain& main) : QObject(&main), Main_(main) {
  gMaster = this;
  // The pseudo file "Clipboard_.bmp" of the format dispatch reads the system clipboard.
  SetClipboardReader([](TClipboardPicture& p) {
    p = ClipboardPictureOf(QApplication::clipboard()->image());
  });
  Image = new TQVMasterImage(*this);
  Images = new TQVMasterImages(*this);
  Annotation = new TQVMasterAnnotation(*this);
  Annotations = new TQVMasterAnnotations(*this);
  Mask = new TQVMasterMask(*this);
  LiveFilter = new TQVMasterLiveFilter(*this);
  ModalCommand = new TQVMasterModalCommand(*this);
  Tool = new TQVMasterTool(*this);
  Ask1_ = new TAsk1f(&main);
  Ask2_ = new TAsk2f(&main);
  AskMany_ = new TAskManyf(&main);
  AskStr_ = new TAskStr(&main);
  Params_ = new TAskParams(&main);
  const TAskReport report = [this](bool error, const std::string& c, const std::string& t) {
    Main_.ShowMessage(error ? TMessageKind::Error : TMessageKind::Warning, c, t);
  };
  for (TAskDialog* d : std::initializer_list<TAskDialog*>{Ask1_, Ask2_, AskMany_, AskStr_, Params_})
    d->Report = report;
  BuildCommands();
}

TQVMaster::~TQVMaster() {
  SetClipboardReader(nullptr);
  // Freed in the order of creation, each reference cleared.
  delete Image;
  Image = nullptr;
  delete Images;
  Images = nullptr;
  delete Annotation;
  Annotation = nullptr;
  delete Annotations;
  Annotations = nullptr;
  delete Mask;
  Mask = nullptr;
  delete LiveFilter;
  LiveFilter = nullptr;
  delete ModalCommand;
  ModalCommand = nullptr;
  delete Tool;
  Tool = nullptr;
  if (gMaster == this) gMaster = nullptr;
}

int32_t TQVMaster::ImageWindowCount() const { return int32_t(Main_.ImageWindows().size()); }

TAstroDocument* TQVMaster::ActiveDocument() const {
  TFormChild* c = Main_.ActiveChild();
  return c && c->Document().ImageWindow() ? &c->Document() : nullptr;
}

TAstroDocument* TQVMaster::ActiveCalibratedDocument() const {
  TAstroDocument* d = ActiveDocument();
  return d && d->HasWcs() ? d : nullptr;
}

bool TQVMaster::ResolveDocument(TAstroDocument*& doc) const {
  if (doc) return true;
  doc = ActiveDocument();
  return doc && doc->ImageWindow();
}

TFormChild* TQVMaster::ActiveImageWindow() const {
  TAstroDocument* d = ActiveDocument();
  return d ? WindowOf(d) : nullptr;
}

TFormChild* TQVMaster::WindowOf(const TAstroDocument* doc) const {
  if (!doc) return nullptr;
  for (TFormChild* c : Main_.ImageWindows())
    if (&c->Document() == doc) return c;
  return nullptr;
}

void TQVMaster::NotifyDocumentClosing(TAstroDocument& doc) { emit DocumentGone(&doc); }

int32_t TQVMaster::MouseMode() const { return MouseTools().MouseMode; }

void TQVMaster::SetMouseMode(int32_t mode) {
  const int32_t old = MouseMode();
  const int32_t next = NextMouseMode(old, mode);
  if (next == old) return;
  if (old == kMouseAnnotate) Annotations->FinishEditing();
  MouseTools().MouseMode = next;
  if (next == kMouseAnnotate && !AnnotationsShown()) {
    ShowAnnotations(true);
    Images->RefreshAll();
  }
  emit MouseModeChanged(old, next);
  UpdateMenus();
}

QAction* TQVMaster::AddCommand(TMenuId menu, const QString& caption, std::function<void()> run,
                               bool needsImage) {
  QAction* a = Main_.Menu(menu)->addAction(caption);
  connect(a, &QAction::triggered, this, [run = std::move(run)] { run(); });
  if (needsImage) Main_.AddImageAction(a);
  return a;
}

void TQVMaster::Information(const std::string& caption, const std::string& text) {
  Main_.ShowMessage(TMessageKind::Information, caption, text);
}

void TQVMaster::Error(const std::string& caption, const std::string& text) {
  Main_.ShowMessage(TMessageKind::Error, caption, text);
}

bool TQVMaster::Confirm(const std::string& caption, const std::string& text) {
  return Main_.Confirm(caption, text);
}

std::string TQVMaster::AskOpenFile(const std::string& caption, const std::string& filter) {
  if (FileHook) return FileHook(caption, filter);
  QStringList parts = Q(filter).split('|');
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2)
    filters << parts[i].trimmed() + " (" + parts[i + 1].replace(';', ' ') + ")";
  return QFileDialog::getOpenFileName(&Main_, Q(caption), QString(), filters.join(";;"))
      .toStdString();
}

TFilterContext TQVMaster::Context() {
  TFilterContext c;
  c.Host = this;
  c.Dialog = Params_;
  c.Progress = &TFormWait::Instance();
  c.Options = &Options();
  c.Registry = Registry;
  return c;
}

bool TQVMaster::Registered(int32_t code) const {
  return (Registry ? *Registry : FilterRegistry()).Find(code) != nullptr;
}

std::vector<TAstroDocument*> TQVMaster::OpenDocuments() {
  std::vector<TAstroDocument*> out;
  TAstroDocument* active = ActiveDocument();
  if (active) out.push_back(active);
  for (TFormChild* c : Main_.ImageWindows())
    if (&c->Document() != active) out.push_back(&c->Document());
  return out;
}

TAstroDocument* TQVMaster::ChooseDocument(std::string_view prompt,
                                          const std::vector<TAstroDocument*>& candidates) {
  if (candidates.empty()) return nullptr;
  if (Images->ChooserHook) return Images->ChooserHook(std::string(prompt), candidates);
  QStringList titles;
  for (TAstroDocument* d : candidates) titles << Q(d->Title());
  bool ok = false;
  const QString chosen = QInputDialog::getItem(&Main_, TrQ("Select an image"),
                                               Q(std::string(prompt)), titles, 0, false, &ok);
  if (!ok) return nullptr;
  const qsizetype i = titles.indexOf(chosen);
  return i >= 0 ? candidates[size_t(i)] : nullptr;
}

TAstroDocument* TQVMaster::AdoptDocument(std::unique_ptr<TAstroDocument> doc) {
  if (!doc) return nullptr;
  TFormChild* c = doc->ImageWindow() ? Main_.AdoptDocument(std::move(doc))
                                     : Main_.ShowDocument(std::move(doc), 0, Options().File.Autozoom);
  return c ? &c->Document() : nullptr;
}

void TQVMaster::ShowError(const std::string& caption, const std::string& text) {
  Error(caption, text);
}

void TQVMaster::ShowNotice(const std::string& caption, const std::string& text) {
  Information(caption, text);
}

void TQVMaster::SetBusy(bool busy) {
  if (busy) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    ++BusyDepth_;
  } else if (BusyDepth_ > 0) {
    QApplication::restoreOverrideCursor();
    --BusyDepth_;
  }
}

void TQVMaster::Refresh(TAstroDocument& doc) {
  doc.RefreshViews();
  if (TFormChild* c = WindowOf(&doc)) {
    c->UpdateCaption();
    if (c == Main_.ActiveChild()) c->UpdateStatus();
  }
  UpdateMenus();
}

void TQVMaster::UpdateMenus() {
  TAstroDocument* doc = ActiveDocument();
  if (!doc && MouseMode() != kMouseNormal && ImageWindowCount() == 0) {
    // No image left: back to the normal mouse.
    const int32_t old = MouseMode();
    MouseTools().MouseMode = kMouseNormal;
    emit MouseModeChanged(old, kMouseNormal);
  }
  if (UndoAction_) UndoAction_->setEnabled(doc && doc->CanUndo());
  for (auto& [a, kind] : FormatActions_) {
    const bool checked = doc && (kind == 'S'   ? !doc->IsFloat()
                                 : kind == 'R' ? doc->IsFloat()
                                 : kind == 'U' ? !doc->IsColour()
                                               : doc->IsColour());
    a->setChecked(checked);
  }
  if (PasteAction_) PasteAction_->setEnabled(Image->CanPaste());
  if (AnnotateAction_) AnnotateAction_->setChecked(MouseMode() == kMouseAnnotate);
  if (HideAnnotationsAction_) HideAnnotationsAction_->setChecked(!AnnotationsShown());
}

// ---------------------------------------------------------------------------- menus

void TQVMaster::BuildCommands() {
  TQVMasterImage* img = Image;
  const auto add = [this](TMenuId m, const char* caption, std::function<void()> run,
                          bool needsImage = true) {
    return AddCommand(m, TrQ(caption), std::move(run), needsImage);
  };

  // ---- File ----
  QMenu* file = Main_.Menu(TMenuId::File);
  QAction* fileFirst = file->actions().value(0);
  QAction* newItem = new QAction(TrQ("New"), file);
  connect(newItem, &QAction::triggered, this, [img] { img->NewAsked(); });
  file->insertAction(fileFirst, newItem);
  add(TMenuId::File, "Rename", [img] { img->Rename(nullptr); });
  add(TMenuId::File, "Close all", [this] { Images->CloseAll(false); });
  // ---- print (a key, no menu item) ----
  QAction* print = new QAction(TrQ("Print"), &Main_);
  print->setShortcut(QKeySequence::Print);
  connect(print, &QAction::triggered, this, [this] { PrintDocument(*this, nullptr); });
  Main_.addAction(print);
  // ---- end print ----
  add(TMenuId::File, "Close all and save", [this] { Images->CloseAll(true); });

  // ---- Edit ----
  UndoAction_ = add(TMenuId::Edit, "Undo/Redo", [img] { img->UndoRedo(nullptr); });
  UndoAction_->setShortcut(QKeySequence::Undo);
  add(TMenuId::Edit, "Undo list", [img] { img->UndoList(nullptr); });
  Main_.Menu(TMenuId::Edit)->addSeparator();
  QAction* copy = add(TMenuId::Edit, "Copy", [img] { img->Copy(nullptr); });
  copy->setShortcut(QKeySequence::Copy);
  PasteAction_ = add(TMenuId::Edit, "Paste as new image", [img] { img->PasteAsNew(); }, false);
  PasteAction_->setShortcut(QKeySequence::Paste);
  QMenu* pasteInto = Main_.Menu(TMenuId::Edit)->addMenu(TrQ("Paste into"));
  // ---- paste into image window ----
  QAction* pasteImage = pasteInto->addAction(TrQ("Image"));
  connect(pasteImage, &QAction::triggered, this, [this] { TFormPasteInto::Open(*this, nullptr); });
  // ---- end paste into image window ----
  QAction* pasteSel = pasteInto->addAction(TrQ("Selection"));
  connect(pasteSel, &QAction::triggered, this, [img] { img->PasteIntoSelection(nullptr); });
  Main_.AddImageAction(pasteInto->menuAction());
  add(TMenuId::Edit, "Empty clipboard", [img] { img->EmptyClipboard(); }, false);
  Main_.Menu(TMenuId::Edit)->addSeparator();
  add(TMenuId::Edit, "Deselect all", [this] { Images->DeselectAll(); });
  add(TMenuId::Edit, "Options", [this] { Main_.ShowOptions(false); }, false);
  add(TMenuId::Edit, "RAW images", [this] { Main_.ShowOptions(true); }, false);
  QMenu* mask = Main_.Menu(TMenuId::Edit)->addMenu(TrQ("Mask"));
  connect(mask->addAction(TrQ("Reset")), &QAction::triggered, this,
          [this] { Mask->Reset(nullptr); });
  connect(mask->addAction(TrQ("Load ...")), &QAction::triggered, this,
          [this] { Mask->LoadAsked(nullptr); });
  Main_.AddImageAction(mask->menuAction());

  // ---- View ----
  QMenu* ann = Main_.Menu(TMenuId::View)->addMenu(TrQ("Annotations"));
  AnnotateAction_ = ann->addAction(TrQ("Annotations"));
  AnnotateAction_->setCheckable(true);
  connect(AnnotateAction_, &QAction::triggered, this, [this] { SetMouseMode(kMouseAnnotate); });
  HideAnnotationsAction_ = ann->addAction(TrQ("Hide annotations"));
  HideAnnotationsAction_->setCheckable(true);
  connect(HideAnnotationsAction_, &QAction::triggered, this, [this] { Annotations->ToggleShown(); });
  QAction* annCopy = ann->addAction(TrQ("Copy all"));
  connect(annCopy, &QAction::triggered, this, [this] { Annotation->CopyAll(nullptr); });
  QAction* annDelete = ann->addAction(TrQ("Delete all"));
  connect(annDelete, &QAction::triggered, this, [this] { Annotation->DeleteAll(nullptr); });
  Main_.AddImageAction(annCopy);
  Main_.AddImageAction(annDelete);
  QAction* black = add(TMenuId::View, "Black border", [this] { Images->ToggleBlackBorder(); }, false);
  black->setCheckable(true);
  black->setChecked(Options().Misc.BlackBorder);

  // ---- Image ----
  QMenu* image = Main_.Menu(TMenuId::Image);
  add(TMenuId::Image, "Duplicate", [this] {
    if (TAstroDocument* d = ActiveDocument()) {
      SetBusy(true);
      AdoptDocument(d->Duplicate());
      SetBusy(false);
    }
  });
  QMenu* format = image->addMenu(TrQ("Data format"));
  Main_.AddImageAction(format->menuAction());
  for (auto [caption, kind] : {std::pair{"Integer", 'S'}, std::pair{"Floating point", 'R'},
                               std::pair{"Grayscale", 'U'}, std::pair{"Color", 'T'}}) {
    QAction* a = format->addAction(TrQ(caption));
    a->setCheckable(true);
    const char k = kind;
    connect(a, &QAction::triggered, this, [img, k] { img->DataFormat(nullptr, k); });
    FormatActions_.emplace_back(a, k);
  }
  image->addSeparator();
  // Geometry: an item only for an operation this build has.
  if (Registered(32))
    add(TMenuId::Image, "Flip vertical", [img] { img->RunFilter(nullptr, 32); });
  if (Registered(31))
    add(TMenuId::Image, "Flip horizontal", [img] { img->RunFilter(nullptr, 31); });
  if (Registered(81)) {
    add(TMenuId::Image, "90° left", [img] { img->Rotate(nullptr, 90); });
    add(TMenuId::Image, "90° right", [img] { img->Rotate(nullptr, -90); });
    add(TMenuId::Image, "180°", [img] { img->Rotate(nullptr, 180); });
    add(TMenuId::Image, "Angle", [img] { img->RotateAsked(nullptr); });
  }
  if (Registered(73)) add(TMenuId::Image, "Resize", [img] { img->Resize(nullptr); });
  if (Registered(74)) {
    QMenu* bin = image->addMenu(TrQ("Binning"));
    Main_.AddImageAction(bin->menuAction());
    for (auto [caption, factor] : {std::pair{"Pixel 1.5 x 1.5", 1}, std::pair{"Pixel 2 x 2", 2},
                                   std::pair{"Pixel 3 x 3", 3}, std::pair{"Pixel ...", 0}}) {
      const int32_t f = factor;
      connect(bin->addAction(TrQ(caption)), &QAction::triggered, this,
              [img, f] { img->Binning(nullptr, f); });
    }
  }
  if (Registered(75)) add(TMenuId::Image, "Crop", [img] { img->Crop(nullptr); });
  image->addSeparator();
  if (Registered(102))
    add(TMenuId::Image, "Normalization", [img] { img->Normalization(nullptr, 0); });
  add(TMenuId::Image, "Delete astrometry", [img] { img->DeleteAstrometry(nullptr); });
  add(TMenuId::Image, "Delete photometry", [img] { img->DeletePhotometry(nullptr); });
  add(TMenuId::Image, "Header comment", [img] { img->HeaderComment(nullptr); });

  // ---- Processing: every other registered operation, by its code ----
  BuildOperationMenu(Main_.Menu(TMenuId::Processing));
  Main_.Menu(TMenuId::Processing)->addSeparator();
  // The eight macro pages, read when the menu opens (the macro window may have changed them).
  QMenu* macros = Main_.Menu(TMenuId::Processing)->addMenu(TrQ("Macro"));
  Main_.AddImageAction(macros->menuAction());
  connect(macros, &QMenu::aboutToShow, this, [this, macros, img] {
    macros->clear();
    const TMacroBook book = LoadMacroBook(Options(), Options().ConfigFolder);
    for (int32_t k = 1; k <= TMacroBook::kPages; ++k) {
      const TMacroPage& page = book.Page(k);
      QAction* a = macros->addAction(Q(page.Name));
      a->setEnabled(!page.Steps.empty());
      std::vector<TIPFilter> steps = page.Steps;
      connect(a, &QAction::triggered, this, [img, steps] { img->RunSteps(nullptr, steps); });
    }
  });
  add(TMenuId::Processing, "Apply history or macro file ...", [this, img] {
    TAstroDocument* d = nullptr;
    if (!ResolveDocument(d)) return;
    const std::string path = AskOpenFile(
        Tr("Open"), "History and macro files|*.his;*.mac|All files|*");
    if (!path.empty()) img->ApplyStepsFile(d, path);
  });

  // ---- Window ----
  Main_.AddWindowCommand(TrQ("Minimize All"), [this] { Images->SetAllWindowStates(Qt::WindowMinimized); });
  Main_.AddWindowCommand(TrQ("Maximize All"), [this] { Images->SetAllWindowStates(Qt::WindowMaximized); });
  Main_.AddWindowCommand(TrQ("Select image"), [this] { Images->SelectImage(); });
  add(TMenuId::Edit, "Point", [this] { ModalCommand->SelectPoint(nullptr); });
  add(TMenuId::Edit, "Coordinates", [this] { ModalCommand->SelectCoordinates(nullptr); });
  BuildToolbar();
}

void TQVMaster::BuildToolbar() {
  // Copies of menu items in a fixed order; "|" separates groups. Items this build lacks
  // are left out.
  static const char* const kOrder[] = {
      "Open", "Save 16/32 bit", "Save view", "Close all", "|", "Undo/Redo", "Duplicate", "Copy",
      "Paste as new image", "|", "Flip vertical", "Flip horizontal", "90° left", "90° right", "|",
      "Histogram", "Local zoom", "Statistics", "Processing history", "FITS Header", "|",
      "Zoom +", "Zoom -", "Fit to window", "Fit to image", "Full screen", "|", "Zoom mode",
      "Annotations", "Hide annotations"};
  QToolBar* tb = Main_.ToolBar();
  if (!tb) return;
  std::vector<QAction*> all;
  for (QMenu* m : Main_.findChildren<QMenu*>())
    for (QAction* a : m->actions())
      if (!a->menu() && !a->isSeparator()) all.push_back(a);
  tb->clear();
  bool pendingSeparator = false;
  for (const char* caption : kOrder) {
    if (std::string_view(caption) == "|") {
      pendingSeparator = !tb->actions().isEmpty();
      continue;
    }
    const QString want = TrQ(caption);
    for (QAction* a : all) {
      QString text = a->iconText().isEmpty() ? a->text() : a->iconText();
      text.remove('&');
      if (text == want) {
        if (pendingSeparator) tb->addSeparator();
        pendingSeparator = false;
        tb->addAction(a);
        break;
      }
    }
  }
}

void TQVMaster::BuildOperationMenu(QMenu* menu) {
  const TFilterRegistry& reg = Registry ? *Registry : FilterRegistry();
  for (int32_t code : reg.Codes()) {
    if (DedicatedCodes().count(code)) continue;
    const std::string name(OperationName(code));
    if (name.empty()) continue;
    QAction* a = menu->addAction(Q(Tr(name)));
    a->setData(code);
    connect(a, &QAction::triggered, this, [this, code] { Image->RunFilter(nullptr, code); });
    Main_.AddImageAction(a);
  }
}

// ============================================================================ one image

void TQVMasterImage::AfterSizeChange(TAstroDocument& doc, int32_t oldW, int32_t oldH) {
  if (doc.Width() == oldW && doc.Height() == oldH) return;
  if (IImageWindow* w = doc.ImageWindow()) w->RecreateView(w->Zoom());
  doc.ResetMask();
}

void TQVMasterImage::UndoRedo(TAstroDocument* doc) {
  if (!M_.ResolveDocument(doc)) return;
  if (M_.LiveFilterOpen()) {
    QApplication::beep();
    return;
  }
  if (!doc->CanUndo()) return;
  const int32_t w = doc->Width(), h = doc->Height();
  const int32_t before = doc->Image().History.Count();
  doc->UndoRedo();
  AfterSizeChange(*doc, w, h);
  doc->ResetMask();
  doc->RefreshStats();
  doc->SetModified();
  doc->RefreshHistory();
  doc->RefreshHeader();
  doc->RefreshStatistics();
  M_.Refresh(*doc);
  // A redo names the step that came back.
  std::string text;
  const THistoryList& hist = doc->Image().History;
  if (hist.Count() > before)
    if (const THistoryItem* last = hist.Item(hist.Count() - 1))
      text = last->FromMacro ? Tr("Macro") : Tr(OperationName(last->Code));
  M_.Main().ShowStatus(text, 2, 200, true);
}

void TQVMasterImage::UndoList(TAstroDocument* doc) {
  if (!M_.ResolveDocument(doc)) return;
  if (M_.LiveFilterOpen()) {
    QApplication::beep();
    return;
  }
  if (UndoLevels(Options()) < 2 && !UndoNoticeShown_) {
    UndoNoticeShown_ = true;
    M_.Information(Tr("Undo levels"), Tr("Multi-level undo is not enabled, see Options."));
  }
  const std::vector<std::string> lines = UndoLevelNames(*doc);
  if (lines.empty()) return;
  int32_t level = 0;
  if (UndoListHook) {
    level = UndoListHook(lines);
  } else {
    QStringList items;
    for (const std::string& l : lines) items << Q(l);
    bool ok = false;
    const QString chosen = QInputDialog::getItem(&M_.Main(), TrQ("Undo"), TrQ("Undo"), items, 0,
                                                 false, &ok);
    level = ok ? int32_t(items.indexOf(chosen)) + 1 : 0;
  }
  if (level < 1 || level > std::min<int32_t>(int32_t(lines.size()), 1000)) return;
  const int32_t w = doc->Width(), h = doc->Height();
  doc->UndoToLevel(level);
  AfterSizeChange(*doc, w, h);
  doc->ResetMask();
  doc->RefreshStats();
  doc->SetModified();
  doc->RefreshHistory();
  doc->RefreshHeader();
  M_.Refresh(*doc);
}

void TQVMasterImage::DataFormat(TAstroDocument* doc, char kind) {
  if (!M_.ResolveDocument(doc) || M_.LiveFilterOpen()) return;
  const TAImage& img = doc->Image();
  const bool already = (kind == 'S' && !img.IsFloat) || (kind == 'R' && img.IsFloat) ||
                       (kind == 'U' && !img.IsColour()) || (kind == 'T' && img.IsColour());
  // The character is the step's code: 'R' 82, 'S' 83, 'T' 84, 'U' 85.
  if (already || std::string_view("SRUT").find(kind) == std::string_view::npos) {
    M_.UpdateMenus();
    return;
  }
  TIPFilter step(kind);
  RunGeometric(*doc, step, false, 0, 0);
}

TFilterStatus TQVMasterImage::RunFilter(TAstroDocument* doc, int32_t code) {
  if (!M_.ResolveDocument(doc) || M_.LiveFilterOpen()) return TFilterStatus::Refused;
  const int32_t w = doc->Width(), h = doc->Height();
  const TFilterContext ctx = M_.Context();
  const TFilterResult r = RunFilterCommand(doc, code, ctx);
  if (r.Status == TFilterStatus::Done && r.Document) {
    AfterSizeChange(*r.Document, w, h);
    M_.Refresh(*r.Document);
  }
  return r.Status;
}

TFilterStatus TQVMasterImage::RunGeometric(TAstroDocument& doc, TIPFilter& step,
                                           bool duplicateFirst, int32_t newW, int32_t newH,
                                           TAstroDocument** result) {
  if ((newW > 0 || newH > 0) && !SizeAccepted(newW, newH)) {
    M_.Error(Tr("Resize"), SizeRefusedText());
    return TFilterStatus::Refused;
  }
  TAstroDocument* target = &doc;
  if (duplicateFirst) {
    target = M_.AdoptDocument(doc.Duplicate());
    if (!target) return TFilterStatus::Failed;
  }
  const int32_t w = target->Width(), h = target->Height();
  const TFilterContext ctx = M_.Context();
  step.AskState = 0;
  const TFilterResult r = RunFilterStep(*target, step, ctx);
  if (r.Status == TFilterStatus::Done) {
    AfterSizeChange(*target, w, h);
    M_.Refresh(*target);
    if (result) *result = target;
  }
  return r.Status;
}

void TQVMasterImage::Rotate(TAstroDocument* doc, double angle) {
  if (!M_.ResolveDocument(doc) || M_.LiveFilterOpen() || !M_.Registered(81)) return;
  TIPFilter step(81);
  step.SetParam(1, angle);
  // The result covers the rotated image's bounding box.
  const double a = angle * M_PI / 180.0;
  const double c = std::fabs(std::cos(a)), s = std::fabs(std::sin(a));
  int32_t w = 0, h = 0;
  if (!TryRound(doc->Width() * c + doc->Height() * s, w)) w = INT32_MAX;
  if (!TryRound(doc->Width() * s + doc->Height() * c, h)) h = INT32_MAX;
  RunGeometric(*doc, step, Options().Image.DuplicateRotation, std::max(w, 1), std::max(h, 1));
}

void TQVMasterImage::RotateAsked(TAstroDocument* doc) {
  if (!M_.ResolveDocument(doc) || M_.LiveFilterOpen()) return;
  std::string prompt = " ";
  prompt += Tr("Angle");
  prompt += " ?";
  TAskField f{false, 0.5, 0, 360, -360};
  bool remember = true;
  if (doc->SelectionKind() == 2) {
    // The line's angle is the natural answer: remembering would hide it.
    const TPoint32* l = doc->SelectionLine();
    const double dx = std::fabs(double(l[1].X) - l[0].X), dy = double(l[1].Y) - l[0].Y;
    f.Initial = std::atan2(dx, dy) * 180.0 / M_PI;
    remember = false;
  }
  TAsk1f& ask = M_.Ask1();
  if (doc->HasWcs()) {
    // The angle that puts north up: the negated position angle of north at the centre.
    const TWcs& wcs = doc->Image().Wcs;
    const double cx = (doc->Width() - 1) / 2.0, cy = (doc->Height() - 1) / 2.0;
    double ra = 0, dec = 0, nx = 0, ny = 0;
    wcs.PixelToSkyDeg(cx, cy, ra, dec);
    if (wcs.SkyToPixelDeg(ra, std::min(dec + 0.01, 89.999), nx, ny) && (nx != cx || ny != cy)) {
      char hint[32];
      std::snprintf(hint, sizeof hint, "%4.2f°", -std::atan2(nx - cx, ny - cy) * 180.0 / M_PI);
      ask.SetHint(hint);
    }
  }
  ask.Setup(prompt, "°", remember, f);
  if (!ask.Execute() || ask.Value() == 0) return;
  Rotate(doc, -ask.Value());
}

void TQVMasterImage::Binning(TAstroDocument* doc, int32_t factor) {
  if (!M_.ResolveDocument(doc) || M_.LiveFilterOpen() || !M_.Registered(74)) return;
  bool average = false;
  if (factor <= 0) {
    TAsk2f& ask = M_.Ask2();
    ask.Setup(Tr("Binning") + " ?", true, TAskField{true, 1, 2, 8, 1}, TAskField{true, 1, 0, 1, 0},
              Tr("Average"));
    if (!ask.Execute()) return;
    factor = BinningFactor(ask.Value1());
    average = ask.Value2() >= 0.5;
  }
  factor = std::clamp(factor, 1, 8);
  const double scale = BinningScale(factor);
  TIPFilter step(74);
  step.SetParam(1, factor);
  step.SetParam(2, average ? 1 : 0);
  const int32_t newW = int32_t(doc->Width() / scale), newH = int32_t(doc->Height() / scale);
  // What the result must show alike: the view range, and the pixel size in the header.
  const TImageVisu& v = doc->Image().Visu;
  const float low = v.Low, high = v.High;
  bool hasX = false, hasY = false;
  const double px = doc->Image().Header.GetReal("XPIXSZ", hasX);
  const double py = doc->Image().Header.GetReal("YPIXSZ", hasY);
  TAstroDocument* target = nullptr;
  if (RunGeometric(*doc, step, Options().Image.DuplicateResizeBinning, newW, newH, &target) !=
          TFilterStatus::Done ||
      !target)
    return;
  TAImage& img = target->Image();
  // A sum of scale² pixels is scale² times brighter: the view follows unless the operation
  // already moved it. 1.5 × 1.5 binning sums 2.25 pixels' worth.
  if (!average && img.Visu.Low == low && img.Visu.High == high)
    SetVisualization(img, img.Visu.TransferType, high * scale * scale, low * scale * scale);
  if (hasX && hasY && img.Header.GetReal("XPIXSZ") == px && img.Header.GetReal("YPIXSZ") == py) {
    img.Header.SetReal("XPIXSZ", true, px * scale);
    img.Header.SetReal("YPIXSZ", true, py * scale);
  }
  target->RefreshViews();
  target->RefreshHeader();
}

void TQVMasterImage::Resize(TAstroDocument* doc) {
  if (!M_.ResolveDocument(doc) || M_.LiveFilterOpen() || !M_.Registered(73)) return;
  TIPFilter step(73);
  const TFilterContext ctx = M_.Context();
  if (step.AskParameters(doc, ctx)) return;
  int32_t w = 0, h = 0;
  if (!TryRound(step.GetParam(1), w)) w = 0;
  if (!TryRound(step.GetParam(2), h)) h = 0;
  RunGeometric(*doc, step, Options().Image.DuplicateResizeBinning, w, h);
}

void TQVMasterImage::Crop(TAstroDocument* doc) {
  if (!M_.ResolveDocument(doc) || M_.LiveFilterOpen() || !M_.Registered(75)) return;
  const bool ctrl = QApplication::keyboardModifiers() & Qt::ControlModifier;
  TPixelRect r;
  const TAMask& mask = *doc->Image().Mask;
  if (doc->SelectionKind() == 1 && !ctrl) {
    r = doc->SelectionBounds();
  } else if (mask.HasStorage()) {
    r = doc->SelectionOrMaskBounds();
  } else {
    M_.Information(Tr("Crop"), Tr("A selection is required for this operation"));
    return;
  }
  TIPFilter step(75);
  step.SetParam(1, r.Left);
  step.SetParam(2, r.Bottom);
  step.SetParam(3, r.Right);
  step.SetParam(4, r.Top);
  RunGeometric(*doc, step, Options().Image.DuplicateCrop, r.Right - r.Left + 1,
               r.Top - r.Bottom + 1);
}

void TQVMasterImage::Normalization(TAstroDocument* doc, double value) {
  if (!M_.ResolveDocument(doc) || M_.LiveFilterOpen() || !M_.Registered(102)) return;
  if (!(value > 0)) {
    TAsk1f& ask = M_.Ask1();
    TAskField f{!doc->IsFloat(), 1, Options().Filter.Normalization, 1e21, 0};
    // 0 would divide every sample by zero.
    f.ExcludeZero = true;
    ask.Setup(Tr("Normalization") + " ?", "", true, f);
    if (!ask.Execute()) return;
    value = ask.Value();
    Options().Filter.Normalization = value;
  }
  TIPFilter step(102);
  step.SetParam(1, value);
  RunGeometric(*doc, step, false, 0, 0);
}

void TQVMasterImage::DeleteAstrometry(TAstroDocument* doc) { DeleteCalibration(doc, true); }

void TQVMasterImage::DeletePhotometry(TAstroDocument* doc) { DeleteCalibration(doc, false); }

void TQVMasterImage::DeleteCalibration(TAstroDocument* doc, bool astrometry) {
  if (!M_.ResolveDocument(doc) || M_.LiveFilterOpen()) return;
  if (astrometry ? !doc->HasWcs() : !doc->HasPoly()) {
    M_.Information(Tr(astrometry ? "Astrometry" : "Photometry"), Tr("The image is not calibrated"));
    return;
  }
  try {
    doc->TakeSnapshot();
  } catch (const std::exception& e) {
    M_.Error(Tr("Error"), e.what());
    return;
  }
  doc->Image().DeleteWcs(astrometry, !astrometry);
  doc->Image().History.AddKind(astrometry ? 25 : 26, false, kVoidText);
  doc->AfterChange();
  M_.Refresh(*doc);
}

void TQVMasterImage::HeaderComment(TAstroDocument* doc) {
  if (!M_.ResolveDocument(doc)) return;
  TAskStr& ask = M_.AskStr();
  ask.Setup(Tr("Comment") + " ?", "", false);
  if (!ask.Execute()) return;
  const std::string text = Trim(ask.Text());
  if (text.empty()) return;
  doc->Image().Header.AddComment(text);
  doc->SetModified();
  doc->RefreshHeader();
  M_.Refresh(*doc);
}

void TQVMasterImage::ApplyStepsFile(TAstroDocument* doc, const std::string& path) {
  if (!M_.ResolveDocument(doc) || M_.LiveFilterOpen()) return;
  std::vector<TIPFilter> steps;
  std::string error;
  if (HasExtension(path, {".mac"})) {
    TMacroPage page;
    int32_t dropped = 0;
    if (!LoadMacroFile(path, page, dropped, error)) {
      M_.Error(Tr("Error"), error);
      return;
    }
    steps = page.Steps;
  } else {
    THistoryList hist;
    if (!hist.LoadFromFile(path, error)) {
      M_.Error(Tr("Error"), error);
      return;
    }
    for (int32_t i = 0; i < hist.Count(); ++i) {
      const THistoryItem* item = hist.Item(i);
      if (!item || item->Code == kOtherCode) continue;
      TIPFilter s;
      s.FromHistoryItem(*item);
      steps.push_back(s);
    }
  }
  RunSteps(doc, std::move(steps));
}

void TQVMasterImage::RunSteps(TAstroDocument* doc, std::vector<TIPFilter> steps) {
  if (!M_.ResolveDocument(doc) || M_.LiveFilterOpen() || steps.empty()) return;
  const int32_t w = doc->Width(), h = doc->Height();
  const TFilterContext ctx = M_.Context();
  const TFilterResult r = orlu::RunSteps(*doc, steps, ctx);
  if (r.Status == TFilterStatus::Cancelled && !r.Message.empty())
    M_.Information(Tr("Macro"), r.Message);
  if (r.Status == TFilterStatus::Done) {
    AfterSizeChange(*doc, w, h);
    M_.Refresh(*doc);
  }
}

// ---------------------------------------------------------------------------- clipboard

void TQVMasterImage::Copy(TAstroDocument* doc) {
  if (!M_.ResolveDocument(doc)) return;
  const TPixelRect r = doc->SelectionOrMaskBounds();
  std::unique_ptr<TAImage> part = CopyImageRect(doc->Image(), r);
  if (!part) {
    M_.Error(Tr("Error"), kOutOfMemoryText);
    return;
  }
  // The picture of the same area through the current visualization.
  std::vector<int32_t> cols, rows;
  for (int32_t x = r.Left; x <= r.Right; ++x) cols.push_back(x);
  for (int32_t y = r.Top; y >= r.Bottom; --y) rows.push_back(y);
  TViewRenderer renderer;
  TViewPicture pic;
  QImage picture;
  if (renderer.Render(doc->Image(), cols, rows, pic)) picture = PictureImage(pic);
  Clipboard_.Set(std::move(part));
  auto* mime = new QMimeData;
  if (!picture.isNull()) mime->setImageData(picture);
  ++ClipboardSerial_;
  mime->setData(kOwnClipboardFormat,
                QByteArray::number(qint64(::getpid())) + ":" + QByteArray::number(ClipboardSerial_));
  QApplication::clipboard()->setMimeData(mime);
  M_.Main().ShowStatus(Tr("Copy to the clipboard"), 1, 0, true);
  M_.UpdateMenus();
}

bool TQVMasterImage::ForeignClipboardImage() const {
  const QMimeData* mime = QApplication::clipboard()->mimeData();
  if (!mime || !mime->hasImage()) return false;
  const QByteArray own =
      QByteArray::number(qint64(::getpid())) + ":" + QByteArray::number(ClipboardSerial_);
  return !(mime->hasFormat(kOwnClipboardFormat) && mime->data(kOwnClipboardFormat) == own);
}

bool TQVMasterImage::CanPaste() const { return !Clipboard_.Empty() || ForeignClipboardImage(); }

TAstroDocument* TQVMasterImage::PasteAsNew() {
  std::unique_ptr<TAImage> image;
  std::string name;
  if (ForeignClipboardImage()) {
    image = ImageFromPicture(qvariant_cast<QImage>(QApplication::clipboard()->mimeData()->imageData()));
    name = std::string(kClipboardPath);
  } else if (const TAImage* src = Clipboard_.Image()) {
    try {
      image = src->NewLike(true, true);
    } catch (const std::exception&) {
      image.reset();
    }
  }
  if (!image) return nullptr;
  std::unique_ptr<TAstroDocument> doc = TAstroDocument::FromImage(std::move(image));
  if (name.empty())
    doc->MakeName(0);
  else
    doc->SetFileName(name);
  doc->SetModified();
  TFormChild* c = M_.Main().ShowDocument(std::move(doc), 0, Options().File.Autozoom);
  M_.UpdateMenus();
  return c ? &c->Document() : nullptr;
}

void TQVMasterImage::PasteIntoSelection(TAstroDocument* doc) {
  if (!M_.ResolveDocument(doc) || M_.LiveFilterOpen()) return;
  TPixelRect r;
  if (doc->SelectionKind() == 1)
    r = doc->SelectionBounds();
  else if (doc->Image().Mask->HasStorage())
    r = doc->SelectionOrMaskBounds();
  if (r.IsEmpty()) {
    M_.Information(Tr("Paste"), Tr("A selection is required for this operation"));
    return;
  }
  PasteInto(doc, r);
}

// ---- paste into image window ----
std::unique_ptr<TAImage> TQVMasterImage::PasteSourceCopy() const {
  if (ForeignClipboardImage())
    return ImageFromPicture(
        qvariant_cast<QImage>(QApplication::clipboard()->mimeData()->imageData()));
  const TAImage* src = Clipboard_.Image();
  if (!src) return nullptr;
  try {
    return src->NewLike(true, true);
  } catch (const std::exception&) {
    return nullptr;
  }
}
// ---- end paste into image window ----

void TQVMasterImage::PasteInto(TAstroDocument* doc, const TPixelRect& r) {
  if (!M_.ResolveDocument(doc) || M_.LiveFilterOpen() || r.IsEmpty()) return;
  const std::unique_ptr<TAImage> src = PasteSourceCopy();
  if (!src) return;
  try {
    doc->TakeSnapshot();
  } catch (const std::exception& e) {
    M_.Error(Tr("Error"), e.what());
    return;
  }
  PasteCentred(*src, doc->Image(), r);
  doc->Image().History.AddKind(10, false, RectCentreText(r));
  doc->AfterChange();
  M_.Refresh(*doc);
}

void TQVMasterImage::EmptyClipboard() {
  QApplication::clipboard()->clear();
  Clipboard_.Clear();
  M_.UpdateMenus();
}

// ---------------------------------------------------------------------------- files

TAstroDocument* TQVMasterImage::New(int32_t width, int32_t height, bool colour) {
  if (!SizeAccepted(width, height)) {
    M_.Error(Tr("Resize"), SizeRefusedText());
    return nullptr;
  }
  std::unique_ptr<TAstroDocument> doc = TAstroDocument::NewDocument(width, height, colour, false);
  if (!doc) return nullptr;
  doc->MakeName(0);
  TAImage& img = doc->Image();
  img.RefreshStatistics();
  SetVisualization(img, img.Visu.TransferType, 65535, 0);
  TFormChild* c = M_.Main().ShowDocument(std::move(doc), 0, false);
  M_.UpdateMenus();
  return c ? &c->Document() : nullptr;
}

void TQVMasterImage::NewAsked() {
  int32_t w = 1000, h = 1000;
  bool colour = false;
  if (TAstroDocument* a = M_.ActiveDocument()) w = a->Width(), h = a->Height(), colour = a->IsColour();
  TAskManyf& ask = M_.AskMany();
  ask.Setup(Tr("Image size ?"), {"X", "Y"},
            {TAskField{true, 1, double(w), kMaxImageSide, 1},
             TAskField{true, 1, double(h), kMaxImageSide, 1}},
            w, h);
  ask.SetCheck(Tr("Color"), colour);
  if (!ask.Execute()) return;
  const std::vector<double>& v = ask.Values();
  New(int32_t(v[0]), int32_t(v[1]), ask.Checked());
}

void TQVMasterImage::Rename(TAstroDocument* doc) {
  if (!M_.ResolveDocument(doc)) return;
  TAskStr& ask = M_.AskStr();
  ask.Setup(Tr("Rename"), doc->FileNamePart(), false);
  if (!ask.Execute()) return;
  const std::string name = RenamedFileName(ask.Text());
  if (name.empty()) return;
  doc->Rename(name);
  M_.Refresh(*doc);
}

// ============================================================================ all images

int32_t TQVMasterImages::Count() const { return M_.ImageWindowCount(); }

void TQVMasterImages::RefreshAll() {
  Collect();
  while (Next()) Current()->RefreshViews();
}

TAstroDocument* TQVMasterImages::FindByName(const std::string& name) {
  Collect();
  while (Next())
    if (Current()->Title() == name || Current()->FileName() == name ||
        Current()->FileNamePart() == name)
      return Current();
  return nullptr;
}

TAstroDocument* TQVMasterImages::ChooseSecond(TAstroDocument* first, const std::string& caption) {
  const std::vector<TAstroDocument*> docs = M_.OpenDocuments();
  if (docs.size() < 2) {
    M_.Information(caption, Tr("Two images are required for this operation"));
    return nullptr;
  }
  std::vector<TAstroDocument*> others;
  for (TAstroDocument* d : docs)
    if (d != first) others.push_back(d);
  TAstroDocument* chosen = first && others.size() == 1 ? others[0]
                                                       : M_.ChooseDocument(caption, others);
  if (TFormChild* c = M_.WindowOf(first)) M_.Main().Activate(*c);
  return chosen;
}

void TQVMasterImages::SelectImage() {
  if (Count() < 2) return;
  TAstroDocument* d = M_.ChooseDocument(Tr("Select an image"), M_.OpenDocuments());
  if (TFormChild* c = M_.WindowOf(d)) M_.Main().Activate(*c);
}

void TQVMasterImages::DeselectAll() {
  Collect();
  while (Next()) {
    Current()->SetSelectionKind(0);
    Current()->RefreshViews();
    if (TFormChild* c = CurrentWindow(); c && c == M_.Main().ActiveChild()) c->UpdateStatus();
  }
}

bool TQVMasterImages::CloseAll(bool save) {
  if (Count() == 0) return true;
  if (!save) {
    if (!M_.Confirm(Tr("Confirm"), Tr("Close all images ?"))) return false;
  }
  Collect();
  while (Next()) {
    QApplication::processEvents();
    TFormChild* c = CurrentWindow();
    if (!c) continue;
    if (!save) {
      // Closed without the save question: the user answered for all of them.
      c->Document().MarkUnmodified();
      c->SetClosing();
    }
    QMdiSubWindow* sub = c->SubWindow();
    if (sub && !sub->close()) return false;
  }
  M_.UpdateMenus();
  return true;
}

void TQVMasterImages::SetAllWindowStates(Qt::WindowState state) {
  Collect();
  while (Next())
    if (QMdiSubWindow* sub = CurrentWindow()->SubWindow()) {
      if (state == Qt::WindowMinimized)
        sub->showMinimized();
      else if (state == Qt::WindowMaximized)
        sub->showMaximized();
      else
        sub->showNormal();
    }
}

void TQVMasterImages::ToggleBlackBorder() {
  Options().Misc.BlackBorder = !Options().Misc.BlackBorder;
  ApplyBackground();
}

void TQVMasterImages::ApplyBackground() {
  Collect();
  while (Next()) CurrentWindow()->ApplyBackground();
}

// ============================================================================ annotations

void TQVMasterAnnotation::DeleteAll(TAstroDocument* doc) {
  if (!M_.ResolveDocument(doc) || doc->Annotations.IsEmpty()) return;
  if (!M_.Confirm(Tr("Confirm"), Tr("Delete all annotations?"))) return;
  doc->Annotations.Clear();
  doc->RefreshViews();
  M_.Refresh(*doc);
}

void TQVMasterAnnotation::CopyAll(TAstroDocument* doc) {
  if (!M_.ResolveDocument(doc)) return;
  std::vector<TAstroDocument*> others;
  for (TAstroDocument* d : M_.OpenDocuments())
    if (d != doc) others.push_back(d);
  TAstroDocument* target = nullptr;
  if (others.empty()) {
    M_.Information(Tr("Annotations"), Tr("Two images are required for this operation"));
    return;
  }
  if (others.size() == 1) {
    if (!M_.Confirm(Tr("Confirm"),
                    Tr("Copy all annotations to:") + "\r" + others[0]->Title() + " ?"))
      return;
    target = others[0];
  } else {
    target = M_.ChooseDocument(Tr("Annotations"), others);
  }
  if (!target) return;
  // Merged: annotations already on the target are kept.
  doc->Annotations.MergeInto(target->Annotations);
  target->RefreshViews();
  M_.Refresh(*target);
}

void TQVMasterAnnotations::FinishEditing() {
  Collect();
  while (Next()) {
    Current()->Annotations.Select(nullptr);
    Current()->RefreshViews();
  }
}

void TQVMasterAnnotations::ToggleShown() {
  ShowAnnotations(!AnnotationsShown());
  M_.Images->RefreshAll();
  M_.UpdateMenus();
}

// ============================================================================ mask

void TQVMasterMask::Reset(TAstroDocument* doc) {
  if (!M_.ResolveDocument(doc)) return;
  TAMask& mask = *doc->Image().Mask;
  mask.SetSize(doc->Width(), doc->Height());
  // A mask without storage selects nothing away: the whole image is processed again.
  mask.Release();
  mask.InvalidateBounds();
  mask.MarkChanged();
  doc->RefreshViews();
}

bool TQVMasterMask::LoadFromFile(TAstroDocument* doc, const std::string& path) {
  if (!M_.ResolveDocument(doc)) return false;
  TAMask& mask = *doc->Image().Mask;
  mask.SetSize(doc->Width(), doc->Height());
  // A picture of another size is resampled to the image: adopted as it is, it would not
  // cover the pixels it claims to.
  std::string error;
  if (!LoadMaskFile(path, mask, error)) {
    M_.Error(Tr("Error"), error);
    return false;
  }
  mask.InvalidateBounds();
  doc->RefreshViews();
  return true;
}

void TQVMasterMask::LoadAsked(TAstroDocument* doc) {
  if (!M_.ResolveDocument(doc)) return;
  const std::string path =
      M_.AskOpenFile(Tr("Open"), "PNG 8-16 bits  *.png|*.png|All files  *.*|*.*");
  if (!path.empty()) LoadFromFile(doc, path);
}

// ============================================================================ modal commands

void TQVMasterModalCommand::SelectPoint(TAstroDocument* doc) {
  if (!M_.ResolveDocument(doc)) return;
  TAsk2f& ask = M_.Ask2();
  ask.Setup("X , Y ?", true, TAskField{true, 1, double(doc->CentreX()), double(doc->Width() - 1), 0},
            TAskField{true, 1, double(doc->CentreY()), double(doc->Height() - 1), 0});
  if (!ask.Execute()) return;
  CentreOn(*doc, ask.IntValue1(), ask.IntValue2());
}

void TQVMasterModalCommand::CentreOn(TAstroDocument& doc, int32_t x, int32_t y) {
  if (TFormChild* c = M_.WindowOf(&doc)) {
    c->MouseAt(x, y);
    c->Panel()->CentreOn(x, y);
    c->ShowPixelInfo(x, y);
  }
}

void TQVMasterModalCommand::SelectCoordinates(TAstroDocument* doc) {
  if (!M_.ResolveDocument(doc)) return;
  if (!doc->HasWcs()) {
    M_.Information(Tr("Coordinates"), Tr("Cannot find coordinates for this image."));
    return;
  }
  std::string initial;
  if (!CoordinatesAsked_) {
    // The first time: the image centre.
    double ra = 0, dec = 0;
    doc->Image().Wcs.PixelToSkyDeg((doc->Width() - 1) / 2.0, (doc->Height() - 1) / 2.0, ra, dec);
    initial = RADecToText(dec, ra);
  }
  TAskStr& ask = M_.AskStr();
  std::string prompt = Tr("Coordinates");
  prompt += " RA/DEC ?";
  ask.Setup(prompt, initial, CoordinatesAsked_, true);
  if (!ask.Execute()) return;
  CoordinatesAsked_ = true;
  double ra = 0, dec = 0, x = 0, y = 0;
  if (!ParseRaDec(ask.Text(), true, ra, dec) || !doc->Image().Wcs.SkyToPixelDeg(ra, dec, x, y)) {
    QApplication::beep();
    return;
  }
  int32_t ix = 0, iy = 0;
  if (!TryRound(x, ix) || !TryRound(y, iy) || ix < 0 || iy < 0 || ix >= doc->Width() ||
      iy >= doc->Height()) {
    char buf[64];
    std::snprintf(buf, sizeof buf, ": %.0f, %.0f ?", std::clamp(x, -1e12, 1e12), std::clamp(y, -1e12, 1e12));
    M_.Main().ShowStatus(Tr("Point") + buf, 1, 4000, true);
    return;
  }
  CentreOn(*doc, ix, iy);
}

// ============================================================================ tools

void TQVMasterTool::Register(const std::string& name, TOpener opener) {
  for (auto& [n, o] : Openers_)
    if (n == name) {
      o = std::move(opener);
      return;
    }
  Openers_.emplace_back(name, std::move(opener));
}

bool TQVMasterTool::Open(const std::string& name, TAstroDocument* doc) {
  for (auto& [n, o] : Openers_)
    if (n == name) {
      o(doc);
      return true;
    }
  return false;
}

}  // namespace orlu
