// Progress of one long operation as the wait window shows it: fed by the row workers from
// any thread, read and stopped from the user-interface thread.
#pragma once

#include <atomic>
#include <cstdint>

namespace orlu {

class TWaitProgress {
 public:
  // Units of Done(): a finished operation reports this many.
  static constexpr int32_t kScale = 10000;

  // A new operation: nothing done, not stopped.
  void Start();
  // A worker finished row (0-based) of plane (0-based) of an operation of planes × rows
  // rows. Out-of-range values are held to the nearest sensible one. False once a stop was
  // requested. Thread-safe.
  bool Report(int32_t plane, int32_t planes, int32_t row, int32_t rows);
  // The furthest point reported so far, 0..kScale. Rows reach the workers in order, so the
  // furthest row is a fair measure of the work done.
  int32_t Done() const { return Done_.load(std::memory_order_relaxed); }
  // 0..100, rounded down.
  int32_t Percent() const { return Done() / (kScale / 100); }
  void RequestStop() { Stop_.store(true, std::memory_order_relaxed); }
  bool StopRequested() const { return Stop_.load(std::memory_order_relaxed); }

 private:
  std::atomic<int32_t> Done_{0};
  std::atomic<bool> Stop_{false};
};

}  // namespace orlu
