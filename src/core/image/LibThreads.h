// Parallel loops: each call starts its own short-lived worker threads, runs a share of the
// work on the calling thread and returns when every worker has finished. Operations never
// start threads themselves; they hand their rows (or planes) to these helpers.
//
// Exceptions: a worker's exception (the caller's included) is caught, every other worker
// still runs to its end, and then the first exception caught is rethrown on the caller.
// A thread that cannot be started is not an error: the caller does that worker's share.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <utility>

namespace orlu {

// ---- Processors and threads ----------------------------------------------------------

// Processors the calling thread may run on (its affinity mask, which new threads inherit),
// at least 1.
int32_t ProcessorCount() noexcept;
// Workers for a parallel call: ProcessorCount() when multithreading is permitted, else 1.
int32_t WorkerCount() noexcept;
// WorkerCount() capped at cap; cap <= 0 means no cap.
int32_t WorkerCount(int32_t cap) noexcept;

// Registers the calling thread as the user-interface thread (call once at start-up).
void MarkMainThread() noexcept;
// The calling thread is the user-interface thread: the one registered by MarkMainThread(),
// or, before any registration, the process's initial thread (the one that ran main()).
// Progress reporting and window updates check this first.
bool IsMainThread() noexcept;

// ---- Item counter ----------------------------------------------------------------------

// Hands out item (row) indices 0, 1, 2, ... to the workers of one ParallelCall.
// Create one per call; a counter cannot be reused.
class TSyncCounter {
 public:
  // A counter for n workers; n below 1 is taken as 1.
  explicit TSyncCounter(int32_t n) noexcept;
  TSyncCounter(const TSyncCounter&) = delete;
  TSyncCounter& operator=(const TSyncCounter&) = delete;

  // The next unclaimed index; each index goes to exactly one caller. Thread-safe. Past
  // INT32_MAX it wraps to negative values, so loops stop on i < 0 as well as i >= count.
  int32_t NextIndex() noexcept { return NextItem.fetch_add(1, std::memory_order_relaxed); }

  int32_t Workers() const noexcept { return N; }
  // Started threads that have not finished their work yet (0 once ParallelCall returned).
  int32_t RunningWorkers() const noexcept { return Running.load(std::memory_order_acquire); }

 private:
  friend void ParallelCall(TSyncCounter& counter, const std::function<void()>& work);

  int32_t N;
  int32_t ToStart;  // caller only
  bool Used = false;
  // Workers bump NextItem for every item and Running once at their end: keeping the two on
  // separate cache lines stops the completions from stalling the item requests.
  alignas(128) std::atomic<int32_t> Running;
  alignas(128) std::atomic<int32_t> NextItem{0};
};

// Runs work on counter.Workers() workers: Workers() - 1 new threads and the caller.
// work typically loops { i = counter.NextIndex(); stop when i is out of range; process i }.
// Returns when every worker has finished; rethrows the first exception of any worker.
// Throws std::logic_error for a counter that was already used.
void ParallelCall(TSyncCounter& counter, const std::function<void()>& work);

// The common row loop: fn(row) for every row in [0, itemCount), each exactly once, on
// min(WorkerCount(workerCap), itemCount) workers. fn must write only data of its own row.
// Work that needs per-worker state uses TSyncCounter and ParallelCall directly.
template <class Fn>
void ParallelRows(int32_t itemCount, int32_t workerCap, Fn&& fn) {
  if (itemCount <= 0) return;
  const int32_t cap = WorkerCount(workerCap);
  TSyncCounter counter(cap < itemCount ? cap : itemCount);
  ParallelCall(counter, [&counter, itemCount, &fn] {
    for (;;) {
      const int32_t i = counter.NextIndex();
      if (i < 0 || i >= itemCount) break;
      fn(i);
    }
  });
}

// ---- Colour planes ---------------------------------------------------------------------

// Runs the work of the three planes of a colour image side by side. One per call.
class TSyncRGB {
 public:
  // parallel: run the red and blue work on threads of their own (callers pass true when
  // multithreading is permitted and the image is a medium-size colour image).
  explicit TSyncRGB(bool parallel) noexcept : Parallel(parallel) {}
  TSyncRGB(const TSyncRGB&) = delete;
  TSyncRGB& operator=(const TSyncRGB&) = delete;

  bool IsParallel() const noexcept { return Parallel; }
  // No work A (B) is pending on another thread.
  bool IsDoneA() const noexcept { return DoneA.load(std::memory_order_acquire) != 0; }
  bool IsDoneB() const noexcept { return DoneB.load(std::memory_order_acquire) != 0; }

 private:
  friend void ParallelPlanes(TSyncRGB& sync, bool colour, const std::function<void()>& workMain,
                             const std::function<void()>& workA, const std::function<void()>& workB);
  uint8_t Parallel;
  std::atomic<uint8_t> DoneA{1};
  std::atomic<uint8_t> DoneB{1};
};

// Monochrome (colour false): runs workMain only. Colour, not parallel: workA, workB, then
// workMain on the caller. Colour and parallel: workA and workB on two new threads while
// the caller runs workMain. Every work item runs even if another throws; returns when all
// have finished and rethrows the first exception. Empty functions are skipped.
void ParallelPlanes(TSyncRGB& sync, bool colour, const std::function<void()>& workMain,
                    const std::function<void()>& workA, const std::function<void()>& workB);

// ---- Test hooks ------------------------------------------------------------------------

// ProcessorCount() returns n from now on; 0 restores the operating system's figure.
void OverrideProcessorCount(int32_t n) noexcept;
// The next n thread starts of these helpers fail as if the system refused them. 0 clears.
void FailNextThreadStarts(int32_t n) noexcept;
// Worker threads started by these helpers since the process began.
int64_t WorkerThreadsStarted() noexcept;

}  // namespace orlu
