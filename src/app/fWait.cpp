#include "fWait.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWindow>

#include "base/Translate.h"
#include "document/uAstroDoc.h"
#include "image/LibThreads.h"

namespace orlu {

namespace {

constexpr int kPumpMs = 40;

TFormWait* gInstance = nullptr;

}  // namespace

TFormWait::TFormWait(QWidget* parent) : QWidget(parent, Qt::Dialog | Qt::WindowTitleHint) {
  setWindowTitle(QString::fromStdString(Tr("Please wait")));
  setObjectName("FormWait");
  auto* lay = new QVBoxLayout(this);
  Label_ = new QLabel(this);
  Label_->setTextFormat(Qt::PlainText);
  Bar_ = new QProgressBar(this);
  Bar_->setRange(0, 100);
  Bar_->setMinimumWidth(280);
  Stop_ = new QPushButton(QString::fromStdString(Tr("Stop")), this);
  lay->addWidget(Label_);
  lay->addWidget(Bar_);
  lay->addWidget(Stop_, 0, Qt::AlignHCenter);
  connect(Stop_, &QPushButton::clicked, this, &TFormWait::StopClick);
  // Only the wait window takes input while an operation runs.
  setWindowModality(Qt::ApplicationModal);
}

TFormWait::~TFormWait() {
  if (Filtering_) qApp->removeEventFilter(this);
  if (gInstance == this) gInstance = nullptr;
}

TFormWait& TFormWait::Instance() {
  if (!gInstance) {
    // The main window outlives every operation; a dialog that happens to be active may not.
    auto* main = dynamic_cast<QWidget*>(DocumentHost());
    gInstance = new TFormWait(main);
  }
  return *gInstance;
}

QString TFormWait::Caption() const { return Label_->text(); }

void TFormWait::Begin(std::string_view caption) {
  if (Depth_++ > 0) {
    Label_->setText(QString::fromUtf8(caption.data(), qsizetype(caption.size())));
    return;
  }
  Progress_.Start();
  Label_->setText(QString::fromUtf8(caption.data(), qsizetype(caption.size())));
  Bar_->setValue(0);
  Stop_->setEnabled(true);
  Clock_.start();
  LastPump_.invalidate();
}

bool TFormWait::Report(int32_t plane, int32_t planes, int32_t row, int32_t rows) {
  const bool go = Progress_.Report(plane, planes, row, rows);
  if (!go || !IsMainThread() || Depth_ <= 0) return go;
  if (!isVisible()) {
    if (Clock_.elapsed() < ShowDelayMs_) return true;
    Appear();
  }
  if (!LastPump_.isValid() || LastPump_.elapsed() >= kPumpMs) Pump();
  return !Progress_.StopRequested();
}

void TFormWait::Appear() {
  if (!Filtering_) {
    qApp->installEventFilter(this);
    Filtering_ = true;
  }
  adjustSize();
  if (QWidget* p = parentWidget()) {
    const QRect r = p->window()->frameGeometry();
    move(r.center() - rect().center());
  }
  show();
  raise();
  emit Shown();
}

void TFormWait::Pump() {
  Bar_->setValue(Progress_.Percent());
  QApplication::processEvents();
  LastPump_.start();
}

void TFormWait::End() {
  if (Depth_ <= 0) return;
  if (--Depth_ > 0) return;
  const bool wasShown = isVisible();
  hide();
  if (Filtering_) {
    qApp->removeEventFilter(this);
    Filtering_ = false;
  }
  // The paints held back while the pixels were written.
  for (const QPointer<QObject>& o : Deferred_)
    if (o) QCoreApplication::postEvent(o, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
  Deferred_.clear();
  if (wasShown)
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w != this && w->isVisible()) w->update();
}

void TFormWait::StopClick() {
  if (Depth_ <= 0) return;
  Progress_.RequestStop();
  Stop_->setEnabled(false);
  Label_->setText(Label_->text() + "  -  " + QString::fromStdString(Tr("Stop")));
}

void TFormWait::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Escape) {
    StopClick();
    e->accept();
    return;
  }
  QWidget::keyPressEvent(e);
}

void TFormWait::closeEvent(QCloseEvent* e) {
  // Closing the window while an operation runs means stop, never leaving it unseen.
  if (Depth_ > 0) {
    StopClick();
    e->ignore();
    return;
  }
  QWidget::closeEvent(e);
}

bool TFormWait::eventFilter(QObject* watched, QEvent* e) {
  // Another window painting now would read pixels that workers are writing: its update
  // requests wait until the operation ends.
  if (e->type() == QEvent::UpdateRequest) {
    QWidget* owner = nullptr;
    if (watched->isWidgetType())
      owner = static_cast<QWidget*>(watched)->window();
    else if (auto* win = qobject_cast<QWindow*>(watched))
      owner = win == windowHandle() ? this : nullptr;
    if (owner != this) {
      if (!Deferred_.contains(watched)) Deferred_.push_back(watched);
      return true;
    }
  }
  return QWidget::eventFilter(watched, e);
}

}  // namespace orlu
