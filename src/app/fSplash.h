// The splash window: shown while the settings are read and the main window comes up; it
// closes by itself after a few timer ticks (sooner when files wait on the command line) or
// on "OK", and then hands over to the main window.
#pragma once

#include <QTimer>
#include <QWidget>

#include <functional>

class QPushButton;

namespace orlu {

class TFormSplash : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kTickMs = 200;

  // loadState runs at once (the user-interface state and the settings); done runs when the
  // splash closes.
  TFormSplash(std::function<void()> loadState, std::function<void()> done);
  // The main window is shown: the timer starts; with files the splash closes at the fourth
  // tick, else at the sixth. "OK" is enabled from the third.
  void MainShown(bool haveFiles);
  // "OK" or the last tick.
  void Finish();
  int Ticks() const { return Ticks_; }
  bool OkEnabled() const;

 protected:
  void paintEvent(QPaintEvent* e) override;

 private:
  void Tick();

  std::function<void()> Done_;
  QTimer Timer_;
  QPushButton* Ok_ = nullptr;
  int Ticks_ = 0;
  bool HaveFiles_ = false;
  bool Finished_ = false;
};

}  // namespace orlu
