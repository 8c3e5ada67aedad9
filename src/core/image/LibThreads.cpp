// Parallel loops: per-call worker threads, a shared item counter, exception transport.
#include "image/LibThreads.h"

#include <sched.h>
#include <unistd.h>

#include <cstddef>
#include <exception>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "base/ProcessSwitches.h"

namespace orlu {

namespace {

std::atomic<int32_t> gProcessorOverride{0};
std::atomic<int32_t> gFailStarts{0};
std::atomic<int64_t> gStarted{0};
// Kernel thread id of the registered user-interface thread; 0 until MarkMainThread().
std::atomic<pid_t> gMainTid{0};

int32_t OsProcessorCount() noexcept {
  cpu_set_t set;
  CPU_ZERO(&set);
  // Fails with EINVAL only on machines with more processors than cpu_set_t holds.
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return n;
  }
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  if (n < 1) return 1;
  return n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n);
}

bool ConsumeFailedStart() noexcept {
  int32_t n = gFailStarts.load(std::memory_order_relaxed);
  while (n > 0 && !gFailStarts.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) {
  }
  return n > 0;
}

// Keeps the first exception of a call; later ones are dropped. Read only after the
// threads have been joined, which orders the write before the read.
class TFirstError {
 public:
  void Catch() noexcept {
    if (!Taken.exchange(true, std::memory_order_acq_rel)) Error = std::current_exception();
  }
  void RethrowIfAny() const {
    if (Error) std::rethrow_exception(Error);
  }

 private:
  std::atomic<bool> Taken{false};
  std::exception_ptr Error;
};

void RunCaught(const std::function<void()>& work, TFirstError& errors) noexcept {
  if (!work) return;
  try {
    work();
  } catch (...) {
    errors.Catch();
  }
}

// Starts body on a new thread in slot. A refusal (std::system_error from std::thread, or
// bad_alloc for its state) is reported as false: the caller then runs that share itself.
template <class Body>
bool TryStart(std::thread& slot, const Body& body) noexcept {
  try {
    if (ConsumeFailedStart())
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    slot = std::thread(body);
  } catch (...) {
    return false;
  }
  gStarted.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void JoinAll(std::thread* threads, std::size_t count) noexcept {
  for (std::size_t i = 0; i < count; ++i)
    if (threads[i].joinable()) threads[i].join();
}

}  // namespace

// ---- Processors and threads ----------------------------------------------------------

int32_t ProcessorCount() noexcept {
  const int32_t forced = gProcessorOverride.load(std::memory_order_relaxed);
  return forced > 0 ? forced : OsProcessorCount();
}

int32_t WorkerCount() noexcept { return PermitMultithreading() ? ProcessorCount() : 1; }

int32_t WorkerCount(int32_t cap) noexcept {
  const int32_t n = WorkerCount();
  return cap > 0 && cap < n ? cap : n;
}

void MarkMainThread() noexcept { gMainTid.store(gettid(), std::memory_order_relaxed); }

bool IsMainThread() noexcept {
  const pid_t marked = gMainTid.load(std::memory_order_relaxed);
  // On Linux the initial thread's id equals the process id: a sound default before any
  // registration, whatever thread happened to touch this unit first.
  return gettid() == (marked != 0 ? marked : getpid());
}

// ---- Item counter ----------------------------------------------------------------------

TSyncCounter::TSyncCounter(int32_t n) noexcept
    : N(n < 1 ? 1 : n), ToStart(N - 1), Running(N - 1) {
  static_assert(offsetof(TSyncCounter, NextItem) - offsetof(TSyncCounter, Running) >= 128,
                "the two shared counters must not share a cache line");
}

void ParallelCall(TSyncCounter& counter, const std::function<void()>& work) {
  if (counter.Used) throw std::logic_error("TSyncCounter used twice");
  counter.Used = true;
  TFirstError errors;
  std::unique_ptr<std::thread[]> threads;
  std::size_t slots = 0;
  if (counter.ToStart > 0) {
    threads.reset(new (std::nothrow) std::thread[static_cast<std::size_t>(counter.ToStart)]);
    if (!threads) {
      // No room even for the thread handles: the caller does all the work.
      counter.Running.fetch_sub(counter.ToStart, std::memory_order_release);
      counter.ToStart = 0;
    }
  }
  const auto body = [&counter, &work, &errors] {
    RunCaught(work, errors);
    counter.Running.fetch_sub(1, std::memory_order_release);
  };
  while (counter.ToStart > 0) {
    --counter.ToStart;
    if (!TryStart(threads[slots], body))
      counter.Running.fetch_sub(1, std::memory_order_release);  // never started: nothing to wait for
    else
      ++slots;
  }
  RunCaught(work, errors);
  // Joining instead of spinning: the caller's core is free for the workers while it waits,
  // which matters on small machines, and the threads are gone when the call returns.
  JoinAll(threads.get(), slots);
  errors.RethrowIfAny();
}

// ---- Colour planes ---------------------------------------------------------------------

void ParallelPlanes(TSyncRGB& sync, bool colour, const std::function<void()>& workMain,
                    const std::function<void()>& workA, const std::function<void()>& workB) {
  TFirstError errors;
  if (!colour) {
    RunCaught(workMain, errors);
  } else if (!sync.Parallel) {
    RunCaught(workA, errors);
    RunCaught(workB, errors);
    RunCaught(workMain, errors);
  } else {
    sync.DoneA.store(0, std::memory_order_relaxed);
    sync.DoneB.store(0, std::memory_order_relaxed);
    const auto runA = [&sync, &workA, &errors] {
      RunCaught(workA, errors);
      sync.DoneA.store(1, std::memory_order_release);
    };
    const auto runB = [&sync, &workB, &errors] {
      RunCaught(workB, errors);
      sync.DoneB.store(1, std::memory_order_release);
    };
    std::thread threads[2];
    if (!TryStart(threads[0], runA)) runA();
    if (!TryStart(threads[1], runB)) runB();
    RunCaught(workMain, errors);
    JoinAll(threads, 2);
  }
  errors.RethrowIfAny();
}

// ---- Test hooks ------------------------------------------------------------------------

void OverrideProcessorCount(int32_t n) noexcept {
  gProcessorOverride.store(n > 0 ? n : 0, std::memory_order_relaxed);
}

void FailNextThreadStarts(int32_t n) noexcept {
  gFailStarts.store(n > 0 ? n : 0, std::memory_order_relaxed);
}

int64_t WorkerThreadsStarted() noexcept { return gStarted.load(std::memory_order_relaxed); }

}  // namespace orlu
