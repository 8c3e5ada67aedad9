#include "uWaitProgress.h"

#include <algorithm>

namespace orlu {

void TWaitProgress::Start() {
  Done_.store(0, std::memory_order_relaxed);
  Stop_.store(false, std::memory_order_relaxed);
}

bool TWaitProgress::Report(int32_t plane, int32_t planes, int32_t row, int32_t rows) {
  planes = std::max(planes, 1);
  rows = std::max(rows, 1);
  plane = std::clamp(plane, 0, planes - 1);
  row = std::clamp(row, 0, rows - 1);
  const int64_t total = int64_t(planes) * rows;
  const int64_t done = int64_t(plane) * rows + row + 1;
  const auto value = int32_t(done * kScale / total);
  int32_t seen = Done_.load(std::memory_order_relaxed);
  while (value > seen &&
         !Done_.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
  }
  return !StopRequested();
}

}  // namespace orlu
