#include "processing/IPBasic.h"

#include "base/OrluMath.h"
#include "base/Translate.h"
#include "document/uAstroDoc.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"
#include "processing/uFilMan.h"
#include "visual/ImaVisu.h"

namespace orlu {

namespace {

// The transfer code of a stored step: p3 when it is one, else the image's own.
int32_t StepType(const TFilterRun& run, int32_t k) {
  const double t = run.Step.GetParam(k);
  int32_t type = 0;
  if (t != kUnsetParam && TryRound(t, type) && TImageVisu::IsValidType(type)) return type;
  return run.Doc.Image().Visu.TransferType;
}

TParamField Field(const char* prompt, double def, double step, double min, double max) {
  return TParamField{prompt, "", def, step, min, max, true};
}

}  // namespace

void RegisterHeaderOperations(TFilterRegistry& registry) {
  TFilterOperation op;
  op.Code = 6;
  op.HasText = true;
  op.Check = [](const TIPFilter& step, const TAImage&) {
    return step.TextParam == kVoidText || step.TextParam.empty() ? Tr("no keyword text")
                                                                 : std::string();
  };
  op.Run = [](TFilterRun& run) {
    run.Image().Header.SetCardFromText(run.Step.TextParam);
    return TOpResult::Done;
  };
  registry.Register(std::move(op));
}

void RegisterVisualOperations(TFilterRegistry& registry) {
  {
    TFilterOperation op;
    op.Code = 26;
    op.Fields = {Field("Min", 0, 1, -1e38, 1e38), Field("Max", 255, 1, -1e38, 1e38)};
    op.PrepareDialog = [](TParamDialog& d, const TAstroDocument* doc, const TQVOptions&) {
      d.Caption = "Min , Max  Visualization range ?";
      if (doc) {
        d.Fields[0].Default = doc->Image().Visu.Low;
        d.Fields[1].Default = doc->Image().Visu.High;
      }
    };
    op.Run = [](TFilterRun& run) {
      const TImageVisu& v = run.Image().Visu;
      SetVisualization(run.Image(), StepType(run, 3), run.Param(2, v.High), run.Param(1, v.Low));
      return TOpResult::Done;
    };
    registry.Register(std::move(op));
  }
  {
    TFilterOperation op;
    op.Code = 27;
    op.Fields = {Field("Low", 1, 0.1, 0, 100), Field("High", 99, 0.1, 0, 100)};
    op.Run = [](TFilterRun& run) {
      PercentRange(run.Image(), StepType(run, 3), run.Param(1, 1), run.Param(2, 99));
      return TOpResult::Done;
    };
    registry.Register(std::move(op));
  }
  {
    TFilterOperation op;
    op.Code = 55;
    op.Fields = {Field("Low", -1, 0.1, -1000, 1000), Field("High", 5, 0.1, -1000, 1000)};
    op.Run = [](TFilterRun& run) {
      SigmaRange(run.Image(), StepType(run, 3), run.Param(1, -1), run.Param(2, 5));
      return TOpResult::Done;
    };
    registry.Register(std::move(op));
  }
  {
    // The stretch writes every plane in place; the framework merges through the mask.
    TFilterOperation op;
    op.Code = 102;
    op.Flags = kOpMergeAfter;
    op.Fields = {TParamField{"Normalization ?", "", 65535, 1, 0, 1e21, true}};
    op.PrepareDialog = [](TParamDialog& d, const TAstroDocument*, const TQVOptions& o) {
      d.Fields[0].Default = o.Filter.Normalization;
    };
    op.Run = [](TFilterRun& run) {
      TStretchRecord rec;
      const double n = run.Param(1, run.Ctx.Opts().Filter.Normalization);
      if (!HistogramStretch(run.Image(), n, &rec)) return TOpResult::Failed;
      // The entry keeps the view the stretch went through.
      run.Step.SetParam(1, rec.Normalization);
      run.Step.SetParam(2, rec.OldLow);
      run.Step.SetParam(3, rec.OldHigh);
      run.Step.SetParam(4, rec.OldType);
      run.Step.TextParam = rec.CurveText;
      return TOpResult::Done;
    };
    registry.Register(std::move(op));
  }
}

void RegisterFormatOperations(TFilterRegistry& registry) {
  const auto add = [&registry](int32_t code, void (*change)(TAImage&)) {
    TFilterOperation op;
    op.Code = code;
    op.Run = [change](TFilterRun& run) {
      change(run.Image());
      return TOpResult::Done;
    };
    registry.Register(std::move(op));
  };
  add(82, [](TAImage& img) { img.IsFloat = 1; });
  // The statistics refresh after the step rounds every sample of an integer image.
  add(83, [](TAImage& img) { img.IsFloat = 0; });
  add(84, [](TAImage& img) { img.SetColour(true); });
  add(85, [](TAImage& img) { img.SetColour(false); });
}

}  // namespace orlu
