#include <gtest/gtest.h>

#include <sched.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/ProcessSwitches.h"
#include "image/LibThreads.h"

using namespace orlu;

namespace {

// Thread ids of every entry into a work procedure, in order.
class TEntries {
 public:
  void Add() {
    std::lock_guard<std::mutex> lock(M);
    Ids.push_back(std::this_thread::get_id());
  }
  std::vector<std::thread::id> All() {
    std::lock_guard<std::mutex> lock(M);
    return Ids;
  }
  size_t Count() { return All().size(); }
  size_t Distinct() {
    const auto ids = All();
    return std::set<std::thread::id>(ids.begin(), ids.end()).size();
  }

 private:
  std::mutex M;
  std::vector<std::thread::id> Ids;
};

// Per-item hit counts, safe to bump from any worker.
class THits {
 public:
  explicit THits(int32_t n) : Count(n), Hits(new std::atomic<int32_t>[n > 0 ? n : 1]) {
    for (int32_t i = 0; i < Count; ++i) Hits[i].store(0);
  }
  void Hit(int32_t i) { Hits[i].fetch_add(1); }
  int32_t At(int32_t i) const { return Hits[i].load(); }
  // Items hit exactly once; others must be 0 (never twice).
  int32_t ExactlyOnce() const {
    int32_t once = 0;
    for (int32_t i = 0; i < Count; ++i) once += At(i) == 1;
    return once;
  }
  int32_t MoreThanOnce() const {
    int32_t bad = 0;
    for (int32_t i = 0; i < Count; ++i) bad += At(i) > 1;
    return bad;
  }

  const int32_t Count;

 private:
  std::unique_ptr<std::atomic<int32_t>[]> Hits;
};

size_t TaskCount() {
  size_t n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
    (void)e;
    ++n;
  }
  return n;
}

// A joined thread may stay listed for a moment while the kernel reaps it; wait (bounded)
// for the count to come back instead of racing it.
size_t TaskCountSettledAt(size_t want) {
  size_t n = TaskCount();
  for (int i = 0; i < 2000 && n != want; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    n = TaskCount();
  }
  return n;
}

class LibThreads : public ::testing::Test {
 protected:
  void TearDown() override {
    SetPermitMT(true);
    OverrideProcessorCount(0);
    FailNextThreadStarts(0);
    MarkMainThread();
  }
};

// The standard work loop, recording which thread entered.
void CountingLoop(TSyncCounter& counter, THits& hits, TEntries& entries) {
  entries.Add();
  for (;;) {
    const int32_t i = counter.NextIndex();
    if (i < 0 || i >= hits.Count) break;
    hits.Hit(i);
  }
}

}  // namespace

TEST_F(LibThreads, EveryItemIsProcessedExactlyOnce) {
  const int32_t workerCounts[] = {1, 2, 3, 8};
  const int32_t itemCounts[] = {0, 1, 2, 7, 1000};  // 2 and 7: fewer items than some counts
  for (int run = 0; run < 20; ++run)
    for (const int32_t workers : workerCounts)
      for (const int32_t items : itemCounts) {
        THits hits(items);
        TEntries entries;
        TSyncCounter counter(workers);
        const int64_t before = WorkerThreadsStarted();
        ParallelCall(counter, [&] { CountingLoop(counter, hits, entries); });
        ASSERT_EQ(hits.ExactlyOnce(), items) << workers << " workers, " << items << " items";
        ASSERT_EQ(entries.Count(), static_cast<size_t>(workers));
        ASSERT_EQ(entries.Distinct(), static_cast<size_t>(workers));
        ASSERT_EQ(WorkerThreadsStarted() - before, workers - 1);
        ASSERT_EQ(counter.RunningWorkers(), 0);
      }
}

TEST_F(LibThreads, ParallelRowsVisitsEveryRowOnceAndNeverMoreThreadsThanRows) {
  OverrideProcessorCount(8);
  struct Row { int32_t items, cap, threads; };
  const Row rows[] = {{0, 0, 0}, {1, 0, 0}, {3, 0, 2}, {1000, 0, 7}, {1000, 4, 3},
                      {1000, 1, 0}, {1000, 100, 7}, {5, 4, 3}, {2, 4, 1}};
  for (int run = 0; run < 10; ++run)
    for (const Row& r : rows) {
      THits hits(r.items);
      const int64_t before = WorkerThreadsStarted();
      ParallelRows(r.items, r.cap, [&](int32_t row) { hits.Hit(row); });
      ASSERT_EQ(hits.ExactlyOnce(), r.items) << r.items << " rows, cap " << r.cap;
      ASSERT_EQ(WorkerThreadsStarted() - before, r.threads) << r.items << " rows, cap " << r.cap;
    }
}

TEST_F(LibThreads, CapOfFourOnEightProcessorsStartsThreeThreads) {
  OverrideProcessorCount(8);
  EXPECT_EQ(ProcessorCount(), 8);
  EXPECT_EQ(WorkerCount(), 8);
  EXPECT_EQ(WorkerCount(4), 4);
  EXPECT_EQ(WorkerCount(20), 8);
  EXPECT_EQ(WorkerCount(0), 8);

  THits hits(500);
  TEntries entries;
  TSyncCounter counter(WorkerCount(4));
  const int64_t before = WorkerThreadsStarted();
  ParallelCall(counter, [&] { CountingLoop(counter, hits, entries); });
  EXPECT_EQ(WorkerThreadsStarted() - before, 3);
  EXPECT_EQ(entries.Count(), 4u);
  EXPECT_EQ(entries.Distinct(), 4u);  // three new threads and the caller
  EXPECT_EQ(hits.ExactlyOnce(), 500);
}

TEST_F(LibThreads, WithoutMultithreadingEverythingRunsOnTheCaller) {
  OverrideProcessorCount(8);
  SetPermitMT(false);
  EXPECT_EQ(WorkerCount(), 1);
  EXPECT_EQ(WorkerCount(4), 1);

  const auto caller = std::this_thread::get_id();
  const int64_t before = WorkerThreadsStarted();
  THits hits(300);
  TEntries entries;
  TSyncCounter counter(WorkerCount());
  ParallelCall(counter, [&] { CountingLoop(counter, hits, entries); });
  EXPECT_EQ(hits.ExactlyOnce(), 300);
  ASSERT_EQ(entries.Count(), 1u);
  EXPECT_EQ(entries.All()[0], caller);

  TEntries rowThreads;
  ParallelRows(300, 0, [&](int32_t) { rowThreads.Add(); });
  EXPECT_EQ(rowThreads.Count(), 300u);
  EXPECT_EQ(rowThreads.Distinct(), 1u);
  EXPECT_EQ(rowThreads.All()[0], caller);
  EXPECT_EQ(WorkerThreadsStarted() - before, 0);
}

TEST_F(LibThreads, ProcessorCountFollowsTheAffinityMask) {
  cpu_set_t saved;
  ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
  int first = -1;
  for (int c = 0; c < CPU_SETSIZE && first < 0; ++c)
    if (CPU_ISSET(c, &saved)) first = c;
  ASSERT_GE(first, 0);
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  const int32_t restricted = ProcessorCount();
  ASSERT_EQ(sched_setaffinity(0, sizeof saved, &saved), 0);
  EXPECT_EQ(restricted, 1);
  EXPECT_EQ(ProcessorCount(), CPU_COUNT(&saved));
}

TEST_F(LibThreads, CounterWorkerCountAndSingleUse) {
  EXPECT_EQ(TSyncCounter(0).Workers(), 1);
  EXPECT_EQ(TSyncCounter(-3).Workers(), 1);
  EXPECT_EQ(TSyncCounter(5).Workers(), 5);

  TSyncCounter counter(1);
  EXPECT_EQ(counter.NextIndex(), 0);
  EXPECT_EQ(counter.NextIndex(), 1);
  int calls = 0;
  ParallelCall(counter, [&] { ++calls; });
  // A second call would find no threads to start and the items already handed out.
  EXPECT_THROW(ParallelCall(counter, [&] { ++calls; }), std::logic_error);
  EXPECT_EQ(calls, 1);
}

TEST_F(LibThreads, ParallelPlanesRunsTheRightWorkWhere) {
  struct Row { const char* name; bool colour, parallel; const char* order; int threads; };
  // order: the work run on the caller, in sequence; threaded work is checked apart.
  const Row rows[] = {{"monochrome", false, false, "M", 0},
                      {"monochrome, parallel sync", false, true, "M", 0},
                      {"small colour", true, false, "ABM", 0},
                      {"medium colour", true, true, "M", 2}};
  const auto caller = std::this_thread::get_id();
  for (const Row& r : rows) {
    std::mutex m;
    std::string onCaller;
    std::vector<std::thread::id> elsewhere;
    const auto record = [&](char what) {
      std::lock_guard<std::mutex> lock(m);
      if (std::this_thread::get_id() == caller)
        onCaller += what;
      else
        elsewhere.push_back(std::this_thread::get_id());
    };
    TSyncRGB sync(r.parallel);
    const int64_t before = WorkerThreadsStarted();
    ParallelPlanes(sync, r.colour, [&] { record('M'); }, [&] { record('A'); },
                   [&] { record('B'); });
    EXPECT_EQ(onCaller, r.order) << r.name;
    EXPECT_EQ(elsewhere.size(), static_cast<size_t>(r.threads)) << r.name;
    if (elsewhere.size() == 2) {
      EXPECT_NE(elsewhere[0], elsewhere[1]) << r.name;
    }
    EXPECT_EQ(WorkerThreadsStarted() - before, r.threads) << r.name;
    EXPECT_TRUE(sync.IsDoneA() && sync.IsDoneB()) << r.name;
  }
}

TEST_F(LibThreads, ParallelPlanesSkipsMissingWork) {
  int main = 0;
  TSyncRGB sequential(false);
  ParallelPlanes(sequential, true, [&] { ++main; }, nullptr, {});
  TSyncRGB parallel(true);
  ParallelPlanes(parallel, true, [&] { ++main; }, {}, nullptr);
  EXPECT_EQ(main, 2);
}

TEST_F(LibThreads, ExceptionInParallelCallIsRethrownAfterEveryWorkerEnded) {
  enum Who { kCaller, kOneWorker, kEveryone };
  struct Row { const char* name; int32_t workers; Who who; bool atEntry; };
  const Row rows[] = {{"caller, after an item", 4, kCaller, false},
                      {"caller, at entry", 2, kCaller, true},
                      {"worker, after an item", 4, kOneWorker, false},
                      {"worker, at entry", 2, kOneWorker, true},
                      {"all, after an item", 3, kEveryone, false}};
  const size_t tasksBefore = TaskCount();
  const auto caller = std::this_thread::get_id();
  constexpr int32_t kItems = 400;
  for (const Row& r : rows) {
    THits hits(kItems);
    TSyncCounter counter(r.workers);
    std::atomic<int> finished{0}, thrown{0}, workerThrows{0};
    std::string message;
    try {
      ParallelCall(counter, [&] {
        const bool onCaller = std::this_thread::get_id() == caller;
        bool throws = r.who == kEveryone || (r.who == kCaller && onCaller);
        if (r.who == kOneWorker && !onCaller) throws = workerThrows.fetch_add(1) == 0;
        if (throws && r.atEntry) {
          thrown.fetch_add(1);
          throw std::runtime_error(onCaller ? "caller" : "worker");
        }
        for (bool first = true;; first = false) {
          const int32_t i = counter.NextIndex();
          if (i >= 0 && i < kItems) hits.Hit(i);
          if (throws && first) {
            thrown.fetch_add(1);
            throw std::runtime_error(onCaller ? "caller" : "worker");
          }
          if (i < 0 || i >= kItems) break;
          std::this_thread::yield();  // let the others catch up and take items
        }
        finished.fetch_add(1);
      });
      ADD_FAILURE() << r.name << ": nothing rethrown";
    } catch (const std::runtime_error& e) {
      message = e.what();
    }
    // Every worker has ended by the time the exception arrives.
    EXPECT_EQ(finished.load() + thrown.load(), r.workers) << r.name;
    EXPECT_EQ(counter.RunningWorkers(), 0) << r.name;
    EXPECT_EQ(hits.MoreThanOnce(), 0) << r.name;
    switch (r.who) {
      case kCaller:
        EXPECT_EQ(message, "caller") << r.name;
        EXPECT_EQ(thrown.load(), 1) << r.name;
        EXPECT_EQ(hits.ExactlyOnce(), kItems) << r.name << ": the others finish the items";
        break;
      case kOneWorker:
        EXPECT_EQ(message, "worker") << r.name;
        EXPECT_EQ(thrown.load(), 1) << r.name;
        EXPECT_EQ(hits.ExactlyOnce(), kItems) << r.name << ": the others finish the items";
        break;
      case kEveryone:
        EXPECT_TRUE(message == "caller" || message == "worker") << r.name;
        EXPECT_EQ(thrown.load(), r.workers) << r.name;
        EXPECT_EQ(hits.ExactlyOnce(), r.workers) << r.name << ": one item each, then the throw";
        break;
    }
  }
  EXPECT_EQ(TaskCountSettledAt(tasksBefore), tasksBefore) << "a worker thread was left behind";
}

TEST_F(LibThreads, ExceptionInParallelPlanesIsRethrownAfterAllPlanesRan) {
  struct Row { bool parallel; char thrower; };
  const Row rows[] = {{false, 'A'}, {false, 'B'}, {false, 'M'},
                      {true, 'A'}, {true, 'B'}, {true, 'M'}};
  const size_t tasksBefore = TaskCount();
  for (const Row& r : rows) {
    std::atomic<int> ranA{0}, ranB{0}, ranM{0};
    const auto work = [&](char what, std::atomic<int>& ran) {
      return [&ran, what, &r] {
        ran.fetch_add(1);
        if (what == r.thrower) throw std::runtime_error(std::string(1, what));
      };
    };
    TSyncRGB sync(r.parallel);
    std::string message;
    try {
      ParallelPlanes(sync, true, work('M', ranM), work('A', ranA), work('B', ranB));
    } catch (const std::runtime_error& e) {
      message = e.what();
    }
    const std::string row = std::string(r.parallel ? "parallel, " : "sequential, ") + r.thrower;
    EXPECT_EQ(message, std::string(1, r.thrower)) << row;
    EXPECT_EQ(ranA.load() + 10 * ranB.load() + 100 * ranM.load(), 111) << row;
    EXPECT_TRUE(sync.IsDoneA() && sync.IsDoneB()) << row;
  }
  // Two throwers: one of them arrives, neither is lost to std::terminate.
  TSyncRGB sync(true);
  try {
    ParallelPlanes(
        sync, true, [] { throw std::runtime_error("M"); }, [] { throw std::runtime_error("A"); },
        [] {});
    ADD_FAILURE() << "nothing rethrown";
  } catch (const std::runtime_error& e) {
    const std::string what = e.what();
    EXPECT_TRUE(what == "M" || what == "A") << what;
  }
  EXPECT_EQ(TaskCountSettledAt(tasksBefore), tasksBefore) << "a plane thread was left behind";
}

TEST_F(LibThreads, RefusedThreadStartsLeaveTheWorkToTheCaller) {
  struct Row { int32_t workers, refused, started; };
  const Row rows[] = {{4, 1, 2}, {4, 3, 0}, {2, 1, 0}, {3, 100, 0}};
  for (const Row& r : rows) {
    FailNextThreadStarts(r.refused);
    THits hits(1000);
    TEntries entries;
    TSyncCounter counter(r.workers);
    const int64_t before = WorkerThreadsStarted();
    ParallelCall(counter, [&] { CountingLoop(counter, hits, entries); });
    EXPECT_EQ(hits.ExactlyOnce(), 1000) << r.workers << "/" << r.refused;
    EXPECT_EQ(WorkerThreadsStarted() - before, r.started) << r.workers << "/" << r.refused;
    EXPECT_EQ(entries.Count(), static_cast<size_t>(r.started + 1));
    EXPECT_EQ(counter.RunningWorkers(), 0);
  }
  FailNextThreadStarts(0);

  const auto caller = std::this_thread::get_id();
  for (const int32_t refused : {1, 2}) {
    FailNextThreadStarts(refused);
    std::mutex m;
    std::string onCaller;
    const auto record = [&](char what) {
      std::lock_guard<std::mutex> lock(m);
      if (std::this_thread::get_id() == caller) onCaller += what;
    };
    TSyncRGB sync(true);
    ParallelPlanes(sync, true, [&] { record('M'); }, [&] { record('A'); }, [&] { record('B'); });
    // A is refused first; with two refusals B follows it onto the caller, before M.
    EXPECT_EQ(onCaller, refused == 1 ? "AM" : "ABM");
    EXPECT_TRUE(sync.IsDoneA() && sync.IsDoneB());
  }
}

TEST_F(LibThreads, MainThreadIsTheInitialOrTheMarkedThread) {
  // gtest runs the tests on the process's initial thread.
  EXPECT_TRUE(IsMainThread());
  TEntries entries;
  std::atomic<int> mainSeen{0};
  TSyncCounter counter(3);
  ParallelCall(counter, [&] {
    entries.Add();
    if (IsMainThread()) mainSeen.fetch_add(1);
  });
  EXPECT_EQ(mainSeen.load(), 1) << "only the caller is the main thread";

  bool markedIsMain = false;
  std::thread other([&] {
    MarkMainThread();
    markedIsMain = IsMainThread();
  });
  other.join();
  EXPECT_TRUE(markedIsMain);
  EXPECT_FALSE(IsMainThread());
  MarkMainThread();
  EXPECT_TRUE(IsMainThread());
}
