#include "processing/IPCalc.h"

#include <cmath>
#include <utility>

#include "base/EOrluError.h"
#include "base/Translate.h"
#include "document/uAstroDoc.h"
#include "image/ImaColor.h"
#include "processing/uFilMan.h"

namespace orlu {

namespace {

// A row worker from a per-sample function: the one loop of every constant step.
template <class F>
TRowWorker SampleWorker(F f) {
  return [f](const TRowJob& job) {
    const float* s = job.Source.RowPointer(0, job.Row);
    float* d = job.Target.RowPointer(0, job.Row);
    for (int32_t x = job.Left; x <= job.Right; ++x) d[x] = f(s[x]);
  };
}

template <class Make>
void AddConstantStep(TFilterRegistry& registry, int32_t code, Make make) {
  TFilterOperation op;
  op.Code = code;
  op.Run = [make](TFilterRun& run) {
    return run.ProcessPlanes(make(run)) ? TOpResult::Done : TOpResult::Failed;
  };
  registry.Register(std::move(op));
}

// The same arithmetic as the plane operations: single precision where they use it.
float WrapSample(float s, double v) {
  double r = std::fmod(double(s) + v, 65536.0);
  if (r < 0) r += 65536.0;
  if (float(r) >= 65536.0f) r = 0;
  return float(r);
}

void RegisterConstantSteps(TFilterRegistry& registry) {
  AddConstantStep(registry, 0, [](TFilterRun& run) {
    const float f = float(run.Param(1, 0));
    return SampleWorker([f](float s) { return s + f; });
  });
  AddConstantStep(registry, 1, [](TFilterRun& run) {
    const double v = run.Param(1, 0);
    return SampleWorker([v](float s) { return WrapSample(s, v); });
  });
  AddConstantStep(registry, 2, [](TFilterRun& run) {
    const float f = float(run.Param(1, 1));
    return SampleWorker([f](float s) { return s * f; });
  });
  AddConstantStep(registry, 3, [](TFilterRun& run) {
    const double p = run.Param(1, 2);
    const float f = p == 0 ? 1.0f : float(1.0 / p);
    return SampleWorker([f](float s) { return s * f; });
  });
  AddConstantStep(registry, 4, [](TFilterRun& run) {
    TAImage& img = run.Image();
    img.RefreshMinMax();
    const double p = run.Param(1, 10000);
    const double mn = img.DataMin, mx = img.DataMax;
    float a = 0, b = 1;
    if (mx > mn && p > 0) {
      a = float(-p * mn / (mx - mn));
      b = float(p / (mx - mn));
    }
    return SampleWorker([a, b](float s) { return a + b * s; });
  });
  AddConstantStep(registry, 5, [](TFilterRun& run) {
    const double f = run.Param(1, 1000);
    return SampleWorker(
        [f](float s) { return s >= 1.0f ? float(f * std::log(double(s))) : 0.0f; });
  });
  AddConstantStep(registry, 49, [](TFilterRun& run) {
    const float t = float(run.Param(1, 0)), v = float(run.Param(2, 0));
    return SampleWorker([t, v](float s) { return s < t ? v : s; });
  });
  AddConstantStep(registry, 50, [](TFilterRun& run) {
    const float t = float(run.Param(1, 65535)), v = float(run.Param(2, 65535));
    return SampleWorker([t, v](float s) { return s > t ? v : s; });
  });
}

// Two-image steps change the image as a whole; the framework merges through the mask.
void AddDualStep(TFilterRegistry& registry, int32_t code, bool anySize,
                 void (*combine)(TAImage&, const TAImage&, const TIPFilter&)) {
  TFilterOperation op;
  op.Code = code;
  op.Flags = kOpMergeAfter;
  if (code == 68) op.Fields = {TParamField{"Weight ?", "%", 50, 1, 0, 100, true}};
  op.Run = [anySize, combine](TFilterRun& run) {
    if (!run.Second) return TOpResult::Failed;
    const TAImage& other = run.Second->Image();
    // The plane operations skip planes of another size; a step that did nothing would
    // still be recorded.
    if (!anySize && !other.SameSize(run.Image(), false))
      throw EOrluError(Tr("The two images must have the same size"));
    combine(run.Image(), other, run.Step);
    return TOpResult::Done;
  };
  registry.Register(std::move(op));
}

void RegisterDualSteps(TFilterRegistry& registry) {
  AddDualStep(registry, 61, true, [](TAImage& a, const TAImage& b, const TIPFilter&) { a.Add(b); });
  AddDualStep(registry, 62, false,
              [](TAImage& a, const TAImage& b, const TIPFilter&) { a.Subtract(b); });
  AddDualStep(registry, 63, false, [](TAImage& a, const TAImage& b, const TIPFilter&) {
    a.MultiplyNormalized(b, 0);
  });
  AddDualStep(registry, 64, false, [](TAImage& a, const TAImage& b, const TIPFilter&) {
    a.DivideNormalized(b, 0);
  });
  AddDualStep(registry, 65, false, [](TAImage& a, const TAImage& b, const TIPFilter&) { a.Min(b); });
  AddDualStep(registry, 66, false, [](TAImage& a, const TAImage& b, const TIPFilter&) { a.Max(b); });
  AddDualStep(registry, 67, false,
              [](TAImage& a, const TAImage& b, const TIPFilter&) { a.AbsDiff(b); });
  AddDualStep(registry, 68, false, [](TAImage& a, const TAImage& b, const TIPFilter& step) {
    const double p = step.GetParam(1);
    const double w = p != kUnsetParam && p >= 0 && p <= 100 ? p / 100 : 0.5;
    a.Blend(b, 1 - w, w);
  });
}

}  // namespace

void RegisterCalcOperations(TFilterRegistry& registry) {
  RegisterConstantSteps(registry);
  RegisterDualSteps(registry);
}

}  // namespace orlu
