#include "processing/uFilMan.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/EOrluError.h"
#include "base/PixelMemory.h"
#include "visual/ImaVisu.h"
#include "document/uAstroDoc.h"
#include "image/ImaColor.h"
#include "image/LibThreads.h"
#include "options/uQuorvane.h"

using namespace orlu;

namespace {

// ---------------------------------------------------------------------------- fakes

class TFakeHost : public IFilterHost {
 public:
  std::vector<TAstroDocument*> Docs;
  TAstroDocument* Pick = nullptr;  // the user's choice (nullptr: cancel)
  int32_t Choices = 0;
  std::vector<std::string> Errors;
  std::vector<std::unique_ptr<TAstroDocument>> Adopted;

  std::vector<TAstroDocument*> OpenDocuments() override { return Docs; }
  TAstroDocument* ChooseDocument(std::string_view, const std::vector<TAstroDocument*>&) override {
    ++Choices;
    return Pick;
  }
  TAstroDocument* AdoptDocument(std::unique_ptr<TAstroDocument> doc) override {
    Adopted.push_back(std::move(doc));
    return Adopted.back().get();
  }
  void ShowError(const std::string&, const std::string& text) override { Errors.push_back(text); }
  void ShowNotice(const std::string&, const std::string&) override {}
};

class TFakeDialog : public IParameterDialog {
 public:
  bool Accept = true;
  std::vector<double> Answers;  // empty: keep the initial values
  std::vector<double> Initial;  // what the dialog was opened with
  int32_t Shown = 0;
  bool Ask(const TParamDialog&, std::vector<double>& values, std::string&) override {
    ++Shown;
    Initial = values;
    if (!Answers.empty()) values = Answers;
    return Accept;
  }
};

// Aborts when a given plane reaches a given number of reported rows.
class TAbortAt : public IFilterProgress {
 public:
  TAbortAt(int32_t plane, int32_t afterRows) : Plane_(plane), After_(afterRows) {}
  bool Report(int32_t plane, int32_t, int32_t, int32_t) override {
    if (plane != Plane_) return true;
    return Seen_.fetch_add(1) + 1 < After_;
  }

 private:
  int32_t Plane_;
  int32_t After_;
  std::atomic<int32_t> Seen_{0};
};

// ---------------------------------------------------------------------------- fixtures

constexpr int32_t kAdd = 0;       // the trivial operation: add p1
constexpr int32_t kThrows = 7;    // throws from a worker at row p2 of plane p1
constexpr int32_t kSourceSeen = 13;  // records whether it read the undo copy
constexpr int32_t kRowOp = 8;     // a row that must lie inside the image (p1)
constexpr int32_t kNeedsUndo = 22;

std::vector<bool> gSourceSeen;

TFilterRegistry TestRegistry() {
  TFilterRegistry r;
  TFilterOperation add;
  add.Code = kAdd;
  add.Run = [](TFilterRun& run) {
    const float c = float(run.Param(1, 0));
    const bool ok = run.ProcessPlanes([c](const TRowJob& j) {
      const float* s = j.Source.RowPointer(0, j.Row);
      float* d = j.Target.RowPointer(0, j.Row);
      for (int32_t x = j.Left; x <= j.Right; ++x) d[x] = s[x] + c;
    });
    return ok ? TOpResult::Done : TOpResult::Failed;
  };
  r.Register(add);

  TFilterOperation thrower;
  thrower.Code = kThrows;
  thrower.Run = [](TFilterRun& run) {
    const int32_t plane = run.IntParam(1, 0), at = run.IntParam(2, 0);
    for (int32_t p = 0; p < run.PlaneCount(); ++p) {
      const bool ok = run.ProcessRows(
          [plane, at](const TRowJob& j) {
            float* d = j.Target.RowPointer(0, j.Row);
            for (int32_t x = j.Left; x <= j.Right; ++x) d[x] = -1;
            if (j.Plane == plane && j.Row == at) throw EOrluError("boom");
          },
          p);
      if (!ok) return TOpResult::Failed;
    }
    return TOpResult::Done;
  };
  thrower.Fields = {TParamField{"Plane", "", 0, 1, 0, 2, false},
                    TParamField{"Row", "", 0, 1, 0, 1e6, false}};
  r.Register(thrower);

  TFilterOperation seen;
  seen.Code = kSourceSeen;
  seen.Run = [](TFilterRun& run) {
    gSourceSeen.push_back(run.Source() != nullptr);
    run.Image().MainPlane->Data[0] += 1;
    return TOpResult::Done;
  };
  r.Register(seen);

  TFilterOperation row;
  row.Code = kRowOp;
  row.Check = [](const TIPFilter& step, const TAImage& img) -> std::string {
    const double v = step.GetParam(1);
    return v != kUnsetParam && v >= img.Height() ? "row beyond the image" : "";
  };
  row.Run = [](TFilterRun& run) {
    const int32_t y = run.IntParam(1, 0);
    TBWImage& p = run.TargetPlane(0);
    for (int32_t x = 0; x < p.Width; ++x) p.Data[x + int64_t(y) * p.Width] = 0;
    return TOpResult::Done;
  };
  r.Register(row);

  TFilterOperation undo;
  undo.Code = kNeedsUndo;
  undo.Flags = kOpNeedsUndo;
  undo.Run = [](TFilterRun&) { return TOpResult::Done; };
  r.Register(undo);

  // A real two-image step: the framework's dual path with an in-place handler.
  TFilterOperation addImage;
  addImage.Code = 61;
  addImage.Flags = kOpMergeAfter;
  addImage.Run = [](TFilterRun& run) {
    run.Image().Add(run.Second->Image());
    return TOpResult::Done;
  };
  r.Register(addImage);
  return r;
}

// A document with distinct, non-integral values in every plane.
std::unique_ptr<TAstroDocument> MakeDoc(int32_t w, int32_t h, bool colour, float base = 0) {
  auto doc = TAstroDocument::NewDocument(w, h, colour, true);
  TAImage& img = doc->Image();
  img.IsFloat = 1;
  TBWImage* planes[3] = {img.MainPlane.get(), img.RedPlane.get(), img.BluePlane.get()};
  for (int p = 0; p < (colour ? 3 : 1); ++p)
    for (int32_t i = 0; i < planes[p]->Count; ++i)
      planes[p]->Data[i] = base + float(i % 97) * 1.37f + float(p) * 1000.0f + 0.1f;
  img.RefreshStatistics();
  img.Modified = 0;
  return doc;
}

// Every plane's samples, bit for bit.
std::vector<uint32_t> Bits(const TAImage& img) {
  std::vector<uint32_t> out;
  for (const TBWImage* p : {img.MainPlane.get(), img.RedPlane.get(), img.BluePlane.get()}) {
    if (!p) continue;
    const size_t n = out.size();
    out.resize(n + size_t(p->Count));
    std::memcpy(out.data() + n, p->Data, size_t(p->Count) * sizeof(float));
  }
  return out;
}

class FilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Saved_ = Options();
    Options().Misc.UndoLevels64 = 5;
    Registry = TestRegistry();
    Ctx.Registry = &Registry;
    Ctx.Host = &Host;
    Ctx.Dialog = &Dialog;
    gSourceSeen.clear();
  }
  void TearDown() override {
    Options() = Saved_;
    OverrideProcessorCount(0);
  }

  TIPFilter Step(int32_t code, std::vector<double> params) {
    TIPFilter s(code);
    for (size_t i = 0; i < params.size(); ++i) s.SetParam(int32_t(i) + 1, params[i]);
    return s;
  }

  TFilterRegistry Registry;
  TFakeHost Host;
  TFakeDialog Dialog;
  TFilterContext Ctx;

 private:
  TQVOptions Saved_;
};

// ---------------------------------------------------------------------------- accessors

TEST(FilterStep, ParamOrFallsBackOnTheUnsetSentinel) {
  TIPFilter s(0);
  s.SetParam(1, 5);
  EXPECT_EQ(s.ParamOr(1, 9), 9);  // typed step: the default
  s.Replay = true;
  EXPECT_EQ(s.ParamOr(1, 9), 5);
  EXPECT_EQ(s.ParamOr(2, 7), 7);  // stored but unset: still the default
  EXPECT_EQ(s.ParamOr(17, 3), 3);
  EXPECT_EQ(s.TextOr("x"), "x");
  s.TextParam = "v+1";
  EXPECT_EQ(s.TextOr("x"), "v+1");
  s.Disabled = true;
  s.Reset();
  EXPECT_FALSE(s.Disabled);
  EXPECT_EQ(s.GetParam(1), kUnsetParam);
  EXPECT_EQ(s.TextParam, "<void>");
}

TEST(FilterStep, HistoryItemRoundTrip) {
  TIPFilter s = TIPFilter(18);
  s.SetParam(1, 2.5);
  s.TextParam = "t";
  s.AskState = 1;
  THistoryItem item;
  s.ToHistoryItem(item);
  EXPECT_EQ(item.Code, 18);
  EXPECT_TRUE(item.Ask);
  TIPFilter back;
  back.FromHistoryItem(item);
  EXPECT_EQ(back.Code, 18);
  EXPECT_EQ(back.GetParam(1), 2.5);
  EXPECT_EQ(back.TextParam, "t");
  EXPECT_EQ(back.AskState, -1);
}

// ---------------------------------------------------------------------------- masks

// Reference: the blend in double precision; float rounding of the framework stays within
// a few ulps of values below 1e4.
double Blended(double before, double after, uint16_t g) {
  const double f = g / 65535.0;
  return f * after + (1 - f) * before;
}

TEST_F(FilterTest, MaskRestrictsAndFeathersAndLeavesTheRestBitIdentical) {
  struct Case {
    const char* Name;
    bool Colour;
    int32_t Threads;
    std::function<void(TAMask&)> Paint;
  };
  const std::vector<Case> cases = {
      {"rows 10..12 feathered", false, 2,
       [](TAMask& m) {
         for (int32_t y = 10; y <= 12; ++y)
           for (int32_t x = 5; x <= 20; ++x) m.SetWeight(x, y, uint16_t((x - 5) * 4369));
       }},
      {"half weight everywhere adds half the constant", true, 3,
       [](TAMask& m) { m.Fill(32768); }},
      {"one pixel in the corner", true, 1, [](TAMask& m) { m.SetWeight(39, 29, 65535); }},
      {"all-zero mask changes nothing", false, 2, [](TAMask& m) { m.Fill(0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    OverrideProcessorCount(c.Threads);
    auto doc = MakeDoc(40, 30, c.Colour);
    TAMask& mask = *doc->Image().Mask;
    ASSERT_TRUE(mask.Allocate());
    c.Paint(mask);
    mask.InvalidateBounds();
    const std::vector<uint32_t> before = Bits(doc->Image());
    TIPFilter step = Step(kAdd, {100});
    const TFilterResult r = RunFilterStep(*doc, step, Ctx);
    ASSERT_EQ(r.Status, TFilterStatus::Done);
    const std::vector<uint32_t> after = Bits(doc->Image());
    const int64_t n = 40 * 30;
    for (int64_t i = 0; i < int64_t(after.size()); ++i) {
      const uint16_t g = mask.Weights()[i % n];
      float b, a;
      std::memcpy(&b, &before[size_t(i)], 4);
      std::memcpy(&a, &after[size_t(i)], 4);
      if (g == 0)
        ASSERT_EQ(after[size_t(i)], before[size_t(i)]) << "sample " << i;
      else
        ASSERT_NEAR(a, Blended(b, b + 100.0, g), 1e-3) << "sample " << i;
    }
    const THistoryItem* item = doc->Image().History.Item(0);
    ASSERT_NE(item, nullptr);
    EXPECT_TRUE(item->Masked);
  }
}

TEST_F(FilterTest, WholeImageOperationIsMergedThroughTheMaskOnce) {
  // The in-place path: a second image added as a whole, then blended by the framework.
  auto doc = MakeDoc(20, 10, false);
  auto other = MakeDoc(20, 10, false, 5);
  Host.Docs = {doc.get(), other.get()};
  Host.Pick = other.get();
  TAMask& mask = *doc->Image().Mask;
  ASSERT_TRUE(mask.Allocate());
  for (int32_t x = 3; x <= 6; ++x) mask.SetWeight(x, 4, 32768);
  mask.InvalidateBounds();
  const std::vector<uint32_t> before = Bits(doc->Image());
  TIPFilter step(61);
  ASSERT_EQ(RunFilterStep(*doc, step, Ctx).Status, TFilterStatus::Done);
  for (int32_t i = 0; i < 200; ++i) {
    const float a = doc->Image().MainPlane->Data[i];
    float b;
    std::memcpy(&b, &before[size_t(i)], 4);
    const int32_t x = i % 20, y = i / 20;
    if (y == 4 && x >= 3 && x <= 6)
      EXPECT_NEAR(a, Blended(b, b + other->Image().MainPlane->Data[i], 32768), 1e-3);
    else
      EXPECT_EQ(std::memcmp(&a, &b, 4), 0) << x << "," << y;
  }
}

// ---------------------------------------------------------------------------- abort, errors

TEST_F(FilterTest, AbortInEachPlaneRestoresBitExact) {
  for (int32_t plane = 0; plane < 3; ++plane) {
    for (int32_t threads : {1, 2}) {
      SCOPED_TRACE("plane " + std::to_string(plane) + ", threads " + std::to_string(threads));
      OverrideProcessorCount(threads);
      auto doc = MakeDoc(50, 40, true);
      doc->Image().History.Add(31, false);
      const std::vector<uint32_t> before = Bits(doc->Image());
      TAbortAt abort(plane, 5);
      TFilterContext ctx = Ctx;
      ctx.Progress = &abort;
      TIPFilter step = Step(kAdd, {1});
      const TFilterResult r = RunFilterStep(*doc, step, ctx);
      EXPECT_EQ(r.Status, TFilterStatus::Cancelled);
      EXPECT_EQ(Bits(doc->Image()), before);
      EXPECT_EQ(doc->Image().History.Count(), 1);
      EXPECT_FALSE(doc->IsModified());
      EXPECT_EQ(doc->SnapshotCount(), 0);
    }
  }
}

TEST_F(FilterTest, ExceptionInAWorkerRestoresAndReports) {
  for (int32_t plane = 0; plane < 3; ++plane) {
    SCOPED_TRACE(plane);
    OverrideProcessorCount(2);
    auto doc = MakeDoc(30, 30, true);
    const std::vector<uint32_t> before = Bits(doc->Image());
    Host.Errors.clear();
    TIPFilter step = Step(kThrows, {double(plane), 17});
    const TFilterResult r = RunFilterStep(*doc, step, Ctx);
    EXPECT_EQ(r.Status, TFilterStatus::Failed);
    EXPECT_EQ(r.Message, "boom");
    ASSERT_EQ(Host.Errors.size(), 1u);
    EXPECT_EQ(Bits(doc->Image()), before);
    EXPECT_EQ(doc->Image().History.Count(), 0);
    EXPECT_FALSE(doc->IsModified());
    EXPECT_EQ(doc->SnapshotCount(), 0);
  }
}

// ---------------------------------------------------------------------------- two images

TEST_F(FilterTest, DualStepWithoutSecondImageIsCancelledWithoutTrace) {
  struct Case {
    const char* Name;
    bool OtherOpen;
    bool UserPicks;
    const char* Text;
    TFilterStatus Want;
    int32_t WantChoices;
  };
  const std::vector<Case> cases = {
      {"no other image open", false, false, "<void>", TFilterStatus::Cancelled, 0},
      {"the pick is cancelled", true, false, "<void>", TFilterStatus::Cancelled, 1},
      {"stored title matches nothing, user picks", true, true, "#9 gone.fit",
       TFilterStatus::Done, 1},
      {"stored name matches", true, false, "dark.fit", TFilterStatus::Done, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    auto doc = MakeDoc(8, 8, false);
    auto other = MakeDoc(8, 8, false, 3);
    other->SetFileName("/data/dark.fit");
    Host.Docs = {doc.get()};
    if (c.OtherOpen) Host.Docs.push_back(other.get());
    Host.Pick = c.UserPicks ? other.get() : nullptr;
    Host.Choices = 0;
    const std::vector<uint32_t> before = Bits(doc->Image());
    TIPFilter step(61);
    step.TextParam = c.Text;
    const TFilterResult r = RunFilterStep(*doc, step, Ctx);
    EXPECT_EQ(r.Status, c.Want);
    EXPECT_EQ(Host.Choices, c.WantChoices);
    if (c.Want == TFilterStatus::Cancelled) {
      EXPECT_EQ(Bits(doc->Image()), before);
      EXPECT_EQ(doc->Image().History.Count(), 0);
      EXPECT_FALSE(doc->IsModified());
      EXPECT_EQ(doc->SnapshotCount(), 0);
    } else {
      EXPECT_EQ(doc->Image().MainPlane->Data[0], 0.1f + 3.1f);  // 0.1 plus the other's 3.1
      ASSERT_EQ(doc->Image().History.Count(), 1);
      EXPECT_EQ(doc->Image().History.Item(0)->Text, "/data/dark.fit");
      EXPECT_TRUE(doc->IsModified());
      EXPECT_EQ(doc->SnapshotCount(), 1);
    }
  }
}

// ---------------------------------------------------------------------------- replay

TEST_F(FilterTest, ReplayedStepsPassTheSameLimits) {
  struct Case {
    const char* Name;
    TIPFilter Step;
    const char* WantInMessage;
  };
  TIPFilter below = Step(3, {0});  // "Divisor" is at least 0.00001
  TIPFilter rowOut = Step(kRowOp, {20});
  TIPFilter nan = Step(kThrows, {std::nan(""), 0});
  TIPFilter absent = Step(18, {2});
  const std::vector<Case> cases = {
      {"below the dialog minimum", below, "Divide constant"},
      {"a row beyond the image", rowOut, "row beyond the image"},
      {"not a number", nan, "parameter 1"},
      {"an operation this build lacks", absent, "Gauss"},
  };
  TFilterRegistry reg = TestRegistry();
  TFilterOperation div;  // a divide step that would write if it were allowed to run
  div.Code = 3;
  div.Run = [](TFilterRun& run) {
    run.Image().Fill(0);
    return TOpResult::Done;
  };
  reg.Register(div);
  TFilterContext ctx = Ctx;
  ctx.Registry = &reg;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    auto doc = MakeDoc(10, 20, false);
    const std::vector<uint32_t> before = Bits(doc->Image());
    std::vector<TIPFilter> steps = {c.Step};
    const TFilterResult r = RunSteps(*doc, steps, ctx);
    EXPECT_EQ(r.Status, TFilterStatus::Failed);
    EXPECT_NE(r.Message.find(c.WantInMessage), std::string::npos) << r.Message;
    EXPECT_NE(r.Message.find("Step 1"), std::string::npos) << r.Message;
    EXPECT_EQ(Bits(doc->Image()), before);
    EXPECT_EQ(doc->SnapshotCount(), 0);
  }
  // The last row itself is inside.
  auto doc = MakeDoc(10, 20, false);
  std::vector<TIPFilter> ok = {Step(kRowOp, {19})};
  EXPECT_EQ(RunSteps(*doc, ok, ctx).Status, TFilterStatus::Done);
  EXPECT_EQ(doc->Image().MainPlane->Data[19 * 10], 0);
}

TEST_F(FilterTest, MacroReadsTheUndoCopyFirstThenWorksInPlace) {
  auto doc = MakeDoc(6, 6, false);
  std::vector<TIPFilter> steps = {TIPFilter(kSourceSeen), TIPFilter(kSourceSeen),
                                  TIPFilter(kSourceSeen)};
  steps[1].Disabled = true;
  ASSERT_EQ(RunSteps(*doc, steps, Ctx).Status, TFilterStatus::Done);
  EXPECT_EQ(gSourceSeen, (std::vector<bool>{true, false}));
  ASSERT_EQ(doc->Image().History.Count(), 2);
  EXPECT_TRUE(doc->Image().History.Item(0)->FromMacro);
  EXPECT_EQ(doc->SnapshotCount(), 1);  // the whole macro is one undo step
}

TEST_F(FilterTest, MacroFailureRestoresTheImageBeforeTheFirstStep) {
  auto doc = MakeDoc(12, 12, false);
  const std::vector<uint32_t> before = Bits(doc->Image());
  std::vector<TIPFilter> steps = {Step(kAdd, {5}), Step(kThrows, {0, 3})};
  const TFilterResult r = RunSteps(*doc, steps, Ctx);
  EXPECT_EQ(r.Status, TFilterStatus::Failed);
  EXPECT_NE(r.Message.find("Step 2"), std::string::npos);
  EXPECT_EQ(Bits(doc->Image()), before);
  EXPECT_EQ(doc->Image().History.Count(), 0);
}

TEST_F(FilterTest, UndoBufferRequired) {
  auto doc = MakeDoc(4, 4, false);
  TIPFilter step(kNeedsUndo);
  EXPECT_THROW(
      {
        try {
          step.Execute(*doc, false, Ctx);
        } catch (const EOrluError& e) {
          EXPECT_STREQ(e.what(), "This filter require the Undo buffer, use: Image.PrepareUndo()");
          throw;
        }
      },
      EOrluError);
  doc->TakeSnapshot();
  EXPECT_NO_THROW(step.Execute(*doc, false, Ctx));
}

// ---------------------------------------------------------------------------- the command

TEST_F(FilterTest, CommandAsksThenRecordsOrRestores) {
  auto doc = MakeDoc(5, 5, false);
  const std::vector<uint32_t> before = Bits(doc->Image());
  Dialog.Accept = false;
  EXPECT_EQ(RunFilterCommand(doc.get(), kThrows, Ctx).Status, TFilterStatus::Cancelled);
  EXPECT_EQ(doc->SnapshotCount(), 0);
  EXPECT_EQ(Dialog.Initial, (std::vector<double>{0, 0}));  // the defaults
  Dialog.Accept = true;
  Dialog.Answers = {0, 99};  // a row that never comes: the step runs to its end
  EXPECT_EQ(RunFilterCommand(doc.get(), kThrows, Ctx).Status, TFilterStatus::Done);
  EXPECT_EQ(doc->Image().MainPlane->Data[0], -1);
  const THistoryItem* item = doc->Image().History.Item(0);
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->Code, kThrows);
  EXPECT_EQ(item->Params[1], 99);
  EXPECT_TRUE(doc->IsModified());
  // Undo brings back the pixels of before.
  ASSERT_TRUE(doc->UndoRedo());
  EXPECT_EQ(Bits(doc->Image()), before);
  EXPECT_EQ(RunFilterCommand(nullptr, kAdd, Ctx).Status, TFilterStatus::Refused);
}

TEST_F(FilterTest, DuplicateOneOpsProcessesACopy) {
  Options().Image.DuplicateOneOps = true;
  TFilterContext ctx = Ctx;
  TQVOptions opts = Options();
  ctx.Options = &opts;
  auto doc = MakeDoc(5, 5, false);
  const std::vector<uint32_t> before = Bits(doc->Image());
  Dialog.Answers = {10};
  const TFilterResult r = RunFilterCommand(doc.get(), kAdd, ctx);
  ASSERT_EQ(r.Status, TFilterStatus::Done);
  ASSERT_EQ(Host.Adopted.size(), 1u);
  EXPECT_EQ(r.Document, Host.Adopted[0].get());
  EXPECT_EQ(Bits(doc->Image()), before);
  EXPECT_EQ(r.Document->Image().MainPlane->Data[0], doc->Image().MainPlane->Data[0] + 10);
}

// ---------------------------------------------------------------------------- live windows

TEST_F(FilterTest, LiveWindowCancelAfterTwoPreviewsRestoresExactly) {
  auto doc = MakeDoc(16, 9, true);
  doc->TakeSnapshot();  // an older undo step that must survive
  doc->Image().MainPlane->Data[3] = 42;
  const std::vector<uint32_t> before = Bits(doc->Image());
  const int32_t snapshots = doc->SnapshotCount();
  {
    std::unique_ptr<TLiveFilter> live = BeginLive(*doc, Ctx);
    ASSERT_NE(live, nullptr);
    EXPECT_EQ(BeginLive(*doc, Ctx), nullptr);  // one live window at a time
    EXPECT_EQ(RunFilterCommand(doc.get(), kAdd, Ctx).Status, TFilterStatus::Refused);
    TIPFilter a = Step(kAdd, {7}), b = Step(kAdd, {9});
    ASSERT_TRUE(live->Preview(a));
    ASSERT_TRUE(live->Preview(b));
    // Each preview starts from the unprocessed image.
    EXPECT_EQ(doc->Image().MainPlane->Data[3], 42 + 9);
    live->CancelLive();
  }
  EXPECT_FALSE(TLiveFilter::AnyOpen());
  EXPECT_EQ(Bits(doc->Image()), before);
  EXPECT_EQ(doc->SnapshotCount(), snapshots);
  EXPECT_EQ(doc->Image().History.Count(), 0);
}

TEST_F(FilterTest, LiveWindowCommitKeepsTheUndoStep) {
  auto doc = MakeDoc(8, 8, false);
  const float v = doc->Image().MainPlane->Data[0];
  TLiveFilter live(*doc, Ctx);
  ASSERT_NE(live.Document(), nullptr);
  TIPFilter a = Step(kAdd, {1});
  ASSERT_TRUE(live.Preview(a));
  TIPFilter b = Step(kAdd, {2});  // changed after the last preview: previewed on commit
  ASSERT_TRUE(live.Commit(b));
  EXPECT_FALSE(TLiveFilter::AnyOpen());
  EXPECT_EQ(doc->Image().MainPlane->Data[0], v + 2);
  EXPECT_EQ(doc->SnapshotCount(), 1);
  ASSERT_EQ(doc->Image().History.Count(), 1);
  EXPECT_EQ(doc->Image().History.Item(0)->Params[0], 2);
  EXPECT_TRUE(doc->IsModified());
  // Closing without a preview only drops the unused undo entry.
  {
    TLiveFilter unused(*doc, Ctx);
    EXPECT_EQ(doc->SnapshotCount(), 2);
  }
  EXPECT_EQ(doc->SnapshotCount(), 1);
}

// ---------------------------------------------------------------------------- plane routines

TEST_F(FilterTest, PlaneRoutinesRefuseBadPlanesAndCopyWithoutUndo) {
  auto doc = MakeDoc(4, 3, false);
  TIPFilter step(kAdd);
  TFilterRun run(step, *doc, nullptr, Ctx);
  EXPECT_THROW(run.TargetPlane(1), EOrluError);
  EXPECT_THROW(run.SourcePlane(3), EOrluError);
  const TBWImage& s = run.SourcePlane(0);
  EXPECT_NE(&s, doc->Image().MainPlane.get());
  EXPECT_TRUE(s.Equals(*doc->Image().MainPlane));
  FailNextPixelAllocations(0);
}

TEST_F(FilterTest, ScratchPlaneOutOfMemory) {
  auto doc = MakeDoc(4, 3, false);
  TIPFilter step(kAdd);
  TFilterRun run(step, *doc, nullptr, Ctx);
  FailNextPixelAllocations(1);
  EXPECT_THROW(run.SourcePlane(0), EOrluError);
  FailNextPixelAllocations(0);
}

// ---------------------------------------------------------------------------- built-in families

TEST_F(FilterTest, BuiltInOperationsThroughTheCommand) {
  TFilterContext ctx = Ctx;
  ctx.Registry = nullptr;  // the process-wide registry
  {
    auto doc = MakeDoc(3, 2, false);
    const float first = doc->Image().MainPlane->Data[0];
    ASSERT_EQ(RunFilterCommand(doc.get(), 31, ctx).Status, TFilterStatus::Done);
    EXPECT_EQ(doc->Image().MainPlane->Data[2], first);
    EXPECT_EQ(doc->Image().History.Item(0)->Code, 31);
  }
  {
    auto doc = MakeDoc(3, 2, false);
    doc->Image().Header.InitMinimal();
    TIPFilter kw(6);
    kw.TextParam = "OBJECT = 'M42'";
    ASSERT_EQ(RunFilterStep(*doc, kw, ctx).Status, TFilterStatus::Done);
    EXPECT_EQ(doc->Image().Header.GetString("OBJECT"), "M42");
  }
  {
    auto doc = MakeDoc(3, 2, false);
    SetVisualization(doc->Image(), 0, 200, 0);
    TIPFilter st = Step(102, {1000});
    ASSERT_EQ(RunFilterStep(*doc, st, ctx).Status, TFilterStatus::Done);
    const THistoryItem* item = doc->Image().History.Item(0);
    EXPECT_EQ(item->Params[0], 1000);
    EXPECT_EQ(item->Params[1], 0);
    EXPECT_EQ(item->Params[2], 200);
    EXPECT_EQ(doc->Image().Visu.High, 1000);
  }
  {
    auto doc = MakeDoc(3, 2, false);
    TIPFilter colour(84);
    ASSERT_EQ(RunFilterStep(*doc, colour, ctx).Status, TFilterStatus::Done);
    EXPECT_TRUE(doc->Image().IsColour());
    // Undo gives the monochrome image back.
    ASSERT_TRUE(doc->UndoRedo());
    EXPECT_FALSE(doc->Image().IsColour());
  }
  EXPECT_EQ(FilterRegistry().Find(18), nullptr);  // "Gauss" is not built yet
  EXPECT_NE(FilterRegistry().Find(0), nullptr);
}

}  // namespace
