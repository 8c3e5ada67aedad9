#include "fSplash.h"

#include <QPainter>
#include <QPushButton>

#include "base/Translate.h"

namespace orlu {

TFormSplash::TFormSplash(std::function<void()> loadState, std::function<void()> done)
    : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint), Done_(std::move(done)) {
  setFixedSize(439, 330);
  Ok_ = new QPushButton(QString::fromStdString(Tr("OK")), this);
  Ok_->setEnabled(false);
  Ok_->setGeometry(439 - 90, 330 - 40, 80, 28);
  connect(Ok_, &QPushButton::clicked, this, &TFormSplash::Finish);
  Timer_.setInterval(kTickMs);
  connect(&Timer_, &QTimer::timeout, this, &TFormSplash::Tick);
  if (loadState) loadState();
}

void TFormSplash::MainShown(bool haveFiles) {
  HaveFiles_ = haveFiles;
  Timer_.start();
}

bool TFormSplash::OkEnabled() const { return Ok_->isEnabled(); }

void TFormSplash::Tick() {
  ++Ticks_;
  if (Ticks_ >= 3) Ok_->setEnabled(true);
  if (Ticks_ >= (HaveFiles_ ? 4 : 6)) Finish();
}

void TFormSplash::Finish() {
  if (Finished_) return;
  Finished_ = true;
  Timer_.stop();
  close();
  if (Done_) Done_();
}

void TFormSplash::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), palette().color(QPalette::Window));
  p.setPen(palette().color(QPalette::Shadow));
  p.drawRect(rect().adjusted(0, 0, -1, -1));
  p.setPen(palette().color(QPalette::WindowText));
  QFont f = font();
  f.setPointSize(28);
  f.setBold(true);
  p.setFont(f);
  p.drawText(rect().adjusted(0, 60, 0, -150), Qt::AlignCenter, "OrluFV");
  f.setPointSize(14);
  f.setBold(false);
  p.setFont(f);
  p.drawText(rect().adjusted(0, 160, 0, -100), Qt::AlignCenter, "4.0");
}

}  // namespace orlu
