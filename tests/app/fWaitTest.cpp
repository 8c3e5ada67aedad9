// The wait window as the progress of a real filter run: a slow registered operation, its
// progress, and "Stop", after which the image is back bit for bit.
#include <gtest/gtest.h>

#include <QApplication>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include "document/uAstroDoc.h"
#include "fWait.h"
#include "image/ImaColor.h"
#include "image/LibThreads.h"
#include "processing/uFilMan.h"

using namespace orlu;

namespace {

constexpr int32_t kSlowCode = 0;

// A slow operation: every row becomes 2·v + 1 after a short pause.
TFilterRegistry SlowRegistry() {
  TFilterRegistry reg;
  TFilterOperation op;
  op.Code = kSlowCode;
  op.Flags = kOpNoDialog;
  op.Run = [](TFilterRun& run) {
    const bool ok = run.ProcessPlanes([](const TRowJob& job) {
      std::this_thread::sleep_for(std::chrono::microseconds(300));
      const float* s = job.Source.RowPointer(0, job.Row);
      float* d = job.Target.RowPointer(0, job.Row);
      for (int32_t x = job.Left; x <= job.Right; ++x) d[x] = 2 * s[x] + 1;
    });
    return ok ? TOpResult::Done : TOpResult::Failed;
  };
  reg.Register(op);
  return reg;
}

std::unique_ptr<TAstroDocument> PatternDocument(bool colour) {
  auto doc = TAstroDocument::NewDocument(48, 1500, colour, true);
  TAImage& img = doc->Image();
  img.IsFloat = 1;
  for (int32_t y = 0; y < img.Height(); ++y)
    for (int32_t x = 0; x < img.Width(); ++x)
      img.SetAll(x, y, float(x * 0.37 - y * 1.5e-3));
  // Values that a lossy restore would change: a NaN, an infinity, a denormal, -0.
  img.MainPlane->RowPointer(0, 3)[1] = std::numeric_limits<float>::quiet_NaN();
  img.MainPlane->RowPointer(0, 4)[2] = -std::numeric_limits<float>::infinity();
  img.MainPlane->RowPointer(0, 5)[3] = std::numeric_limits<float>::denorm_min();
  img.MainPlane->RowPointer(0, 6)[4] = -0.0f;
  return doc;
}

std::vector<float> Pixels(const TAImage& img) {
  std::vector<float> out;
  for (const TBWImage* p : {img.MainPlane.get(), img.RedPlane.get(), img.BluePlane.get()})
    if (p) out.insert(out.end(), p->Data, p->Data + int64_t(p->Width) * p->Height);
  return out;
}

bool SameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

class WaitWindow : public testing::TestWithParam<int32_t> {
 protected:
  void SetUp() override { OverrideProcessorCount(GetParam()); }
  void TearDown() override { OverrideProcessorCount(0); }
};

TEST_P(WaitWindow, StopRestoresTheImageBitForBit) {
  for (bool colour : {false, true}) {
    const TFilterRegistry reg = SlowRegistry();
    TFormWait wait;
    wait.SetShowDelay(0);
    // The user presses "Stop" as soon as the window is there.
    int32_t shown = 0;
    QObject::connect(&wait, &TFormWait::Shown, &wait, [&] {
      ++shown;
      QTest::mouseClick(wait.StopButton(), Qt::LeftButton);
    }, Qt::QueuedConnection);
    TFilterContext ctx;
    ctx.Progress = &wait;
    ctx.Registry = &reg;
    auto doc = PatternDocument(colour);
    const std::vector<float> before = Pixels(doc->Image());
    const int32_t history = doc->Image().History.Count();
    TIPFilter step(kSlowCode);
    const TFilterResult r = RunFilterStep(*doc, step, ctx);
    EXPECT_EQ(r.Status, TFilterStatus::Cancelled) << colour;
    EXPECT_EQ(shown, 1);
    EXPECT_TRUE(wait.Progress().StopRequested());
    EXPECT_LT(wait.Progress().Percent(), 100) << "stopped before the end";
    EXPECT_TRUE(SameBits(Pixels(doc->Image()), before)) << colour;
    EXPECT_EQ(doc->Image().History.Count(), history);
    EXPECT_EQ(doc->SnapshotCount(), 0) << "the undo entry of the stopped run is dropped";
    EXPECT_FALSE(wait.isVisible());
    EXPECT_FALSE(wait.Running());
  }
}

TEST_P(WaitWindow, UnstoppedRunShowsProgressToTheEnd) {
  const TFilterRegistry reg = SlowRegistry();
  TFormWait wait;
  wait.SetShowDelay(0);
  int32_t lastValue = -1;
  QObject::connect(&wait, &TFormWait::Shown, &wait, [&] {
    lastValue = wait.findChild<QProgressBar*>()->value();
    EXPECT_TRUE(wait.isVisible());
    EXPECT_EQ(wait.Caption(), "Add constant");
  }, Qt::QueuedConnection);
  TFilterContext ctx;
  ctx.Progress = &wait;
  ctx.Registry = &reg;
  auto doc = PatternDocument(false);
  const float v = doc->Image().Value(7, 900);
  TIPFilter step(kSlowCode);
  const TFilterResult r = RunFilterStep(*doc, step, ctx);
  EXPECT_EQ(r.Status, TFilterStatus::Done);
  EXPECT_GE(lastValue, 0) << "the window appeared";
  EXPECT_EQ(wait.Progress().Percent(), 100);
  EXPECT_FLOAT_EQ(doc->Image().Value(7, 900), 2 * v + 1);
  EXPECT_FALSE(wait.isVisible());
}

INSTANTIATE_TEST_SUITE_P(Workers, WaitWindow, testing::Values(1, 4));

TEST(WaitWindowAlone, StopOutsideAnOperationDoesNothingAndNestingShowsOnce) {
  TFormWait wait;
  wait.StopClick();
  EXPECT_FALSE(wait.Progress().StopRequested());
  wait.SetShowDelay(0);
  wait.Begin("Macro");
  wait.Begin("Gauss");
  EXPECT_TRUE(wait.Report(0, 1, 0, 10));
  EXPECT_TRUE(wait.isVisible());
  wait.End();
  EXPECT_TRUE(wait.isVisible()) << "the outer operation still runs";
  wait.End();
  EXPECT_FALSE(wait.isVisible());
  wait.End();  // unbalanced: ignored
  EXPECT_FALSE(wait.Running());
}

TEST(WaitWindowAlone, ClosingTheWindowStopsInsteadOfHidingTheOperation) {
  TFormWait wait;
  wait.SetShowDelay(0);
  wait.Begin("Gauss");
  wait.Report(0, 1, 0, 10);
  wait.close();
  EXPECT_TRUE(wait.Progress().StopRequested());
  EXPECT_FALSE(wait.Report(0, 1, 1, 10));
  wait.End();
  // Escape is "Stop" as well.
  wait.Begin("Gauss");
  EXPECT_FALSE(wait.Progress().StopRequested());
  QTest::keyClick(&wait, Qt::Key_Escape);
  EXPECT_TRUE(wait.Progress().StopRequested());
  wait.End();
}

}  // namespace
