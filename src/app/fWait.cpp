#include "fWait.h"

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>

#include <algorithm>

#include "base/Translate.h"

namespace orlu {

TFormWait::TFormWait(QWidget* parent) : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint) {
  setWindowModality(Qt::ApplicationModal);
  setWindowTitle(QString::fromStdString(Tr("Please wait")));
  auto* lay = new QVBoxLayout(this);
  Caption_ = new QLabel(this);
  Bar_ = new QProgressBar(this);
  Bar_->setRange(0, 1000);
  Bar_->setTextVisible(false);
  Stop_ = new QPushButton(QString::fromStdString(Tr("Stop")), this);
  connect(Stop_, &QPushButton::clicked, this, [this] { Stop(); });
  lay->addWidget(Caption_);
  lay->addWidget(Bar_);
  lay->addWidget(Stop_, 0, Qt::AlignHCenter);
  resize(320, 110);
}

void TFormWait::Begin(std::string_view caption) {
  Stopped_ = false;
  Permille_ = 0;
  Caption_->setText(QString::fromUtf8(caption.data(), qsizetype(caption.size())));
  Bar_->setValue(0);
  show();
  Pump_.start();
  QApplication::processEvents();
}

int32_t TFormWait::Percent() const { return Permille_.load() / 10; }

bool TFormWait::Report(int32_t plane, int32_t planes, int32_t row, int32_t rows) {
  // Rows finish out of order across workers: the bar shows the furthest one.
  const int64_t done = int64_t(std::max(plane, 0)) * std::max(rows, 1) + std::max(row + 1, 0);
  const int64_t all = int64_t(std::max(planes, 1)) * std::max(rows, 1);
  const int32_t pm = int32_t(std::clamp<int64_t>(done * 1000 / all, 0, 1000));
  int32_t cur = Permille_.load(std::memory_order_relaxed);
  while (pm > cur && !Permille_.compare_exchange_weak(cur, pm, std::memory_order_relaxed)) {
  }
  if (QThread::currentThread() == qApp->thread() && Pump_.isValid() && Pump_.elapsed() >= 100) {
    Pump_.restart();
    Bar_->setValue(Permille_.load());
    if (OnUpdate) OnUpdate();
    // The window is modal: only its own "Stop" takes input while the operation runs.
    QApplication::processEvents();
  }
  return !Stopped_;
}

void TFormWait::End() {
  Bar_->setValue(1000);
  hide();
}

}  // namespace orlu
