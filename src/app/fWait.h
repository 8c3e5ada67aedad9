// The wait window: shows the progress of a long operation and stops it. It is the
// IFilterProgress of the filter framework; a stopped operation fails and the framework
// restores the image from its undo copy.
#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QPointer>
#include <QWidget>

#include <string>

#include "processing/uFilMan.h"
#include "uWaitProgress.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace orlu {

class TFormWait : public QWidget, public IFilterProgress {
  Q_OBJECT

 public:
  explicit TFormWait(QWidget* parent = nullptr);
  ~TFormWait() override;

  // The process-wide wait window (created on first use as a child of the main window,
  // which deletes it); what the command layer puts into every filter context.
  static TFormWait& Instance();

  // ---- IFilterProgress ----
  // Begin and End run on the user-interface thread and may nest (a macro's steps inside
  // the macro); the outer pair shows and hides the window.
  void Begin(std::string_view caption) override;
  // Any thread. On the user-interface thread the window appears once the operation has
  // run for ShowDelayMs and then lets the user reach "Stop" (about every 40 ms); while it
  // does, the other windows' repaints wait (their pixels are being written).
  bool Report(int32_t plane, int32_t planes, int32_t row, int32_t rows) override;
  void End() override;

  // Milliseconds before the window appears (short operations never show it).
  void SetShowDelay(int32_t ms) { ShowDelayMs_ = ms; }
  bool Running() const { return Depth_ > 0; }
  const TWaitProgress& Progress() const { return Progress_; }
  QPushButton* StopButton() const { return Stop_; }
  QString Caption() const;
  // What "Stop" does (also Escape).
  void StopClick();

 signals:
  // The window appeared for the running operation.
  void Shown();

 protected:
  void keyPressEvent(QKeyEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  void Appear();
  void Pump();

  TWaitProgress Progress_;
  QLabel* Label_ = nullptr;
  QProgressBar* Bar_ = nullptr;
  QPushButton* Stop_ = nullptr;
  QElapsedTimer Clock_;
  QElapsedTimer LastPump_;
  int32_t ShowDelayMs_ = 400;
  int32_t Depth_ = 0;
  bool Filtering_ = false;
  QList<QPointer<QObject>> Deferred_;
};

}  // namespace orlu
