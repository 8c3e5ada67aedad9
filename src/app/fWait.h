// The wait window: progress of a long operation with a "Stop" button. It is the filter
// framework's progress report; a stop makes the operation fail and the framework restore
// the image from its undo copy.
#pragma once

#include <QDialog>
#include <QElapsedTimer>

#include <atomic>
#include <cstdint>
#include <functional>

#include "processing/uFilMan.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace orlu {

class TFormWait : public QDialog, public IFilterProgress {
  Q_OBJECT

 public:
  explicit TFormWait(QWidget* parent);

  // ---- IFilterProgress ----
  void Begin(std::string_view caption) override;
  // Any thread; on the user-interface thread the window is updated and its events run (at
  // most every 100 ms) so that "Stop" can be pressed.
  bool Report(int32_t plane, int32_t planes, int32_t row, int32_t rows) override;
  void End() override;

  void Stop() { Stopped_ = true; }
  bool Stopped() const { return Stopped_; }
  // Percent shown last (0..100).
  int32_t Percent() const;
  QPushButton* StopButton() const { return Stop_; }
  // Test hook: called on the user-interface thread at each update.
  std::function<void()> OnUpdate;

 private:
  QLabel* Caption_ = nullptr;
  QProgressBar* Bar_ = nullptr;
  QPushButton* Stop_ = nullptr;
  std::atomic<bool> Stopped_{false};
  std::atomic<int32_t> Permille_{0};
  QElapsedTimer Pump_;
};

}  // namespace orlu
