// Progress of the wait window: the furthest reported row, from any thread, and the stop.
#include "uWaitProgress.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace orlu;

namespace {

struct TCase {
  const char* Name;
  int32_t Plane, Planes, Row, Rows;
  int32_t Percent;
};

TEST(WaitProgress, PercentOfTheFurthestRow) {
  // Expected values by hand: (plane·rows + row + 1) / (planes·rows).
  const TCase cases[] = {
      {"first row of 100", 0, 1, 0, 100, 1},
      {"half of one plane", 0, 1, 49, 100, 50},
      {"last row", 0, 1, 99, 100, 100},
      {"second of three planes, first row", 1, 3, 0, 10, 36},
      {"last plane, last row", 2, 3, 9, 10, 100},
      {"row past the end held to the last", 0, 1, 500, 100, 100},
      {"negative row held to the first", 0, 1, -7, 4, 25},
      {"no planes counts as one", 0, 0, 1, 4, 50},
      {"no rows counts as one", 0, 1, 0, 0, 100},
      {"plane past the end held to the last", 9, 2, 0, 2, 75},
  };
  for (const TCase& c : cases) {
    TWaitProgress p;
    p.Start();
    EXPECT_TRUE(p.Report(c.Plane, c.Planes, c.Row, c.Rows)) << c.Name;
    EXPECT_EQ(p.Percent(), c.Percent) << c.Name;
  }
}

TEST(WaitProgress, LaterSmallerRowsDoNotMoveItBack) {
  TWaitProgress p;
  p.Start();
  p.Report(0, 1, 79, 100);
  p.Report(0, 1, 10, 100);
  EXPECT_EQ(p.Percent(), 80);
}

TEST(WaitProgress, StopMakesEveryReportFalseUntilTheNextStart) {
  TWaitProgress p;
  p.Start();
  p.RequestStop();
  EXPECT_FALSE(p.Report(0, 1, 0, 10));
  EXPECT_TRUE(p.StopRequested());
  p.Start();
  EXPECT_FALSE(p.StopRequested());
  EXPECT_EQ(p.Percent(), 0);
  EXPECT_TRUE(p.Report(0, 1, 0, 10));
}

TEST(WaitProgress, ConcurrentWorkersReachTheEnd) {
  // Four workers take rows from a shared counter like the row loop; the maximum must be
  // exactly the last row whatever the order of the reports.
  TWaitProgress p;
  p.Start();
  std::atomic<int32_t> next{0};
  constexpr int32_t kRows = 20000;
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t)
    workers.emplace_back([&] {
      for (int32_t r; (r = next.fetch_add(1)) < kRows;) p.Report(r / 10000, 2, r % 10000, 10000);
    });
  for (auto& w : workers) w.join();
  EXPECT_EQ(p.Done(), TWaitProgress::kScale);
}

}  // namespace
