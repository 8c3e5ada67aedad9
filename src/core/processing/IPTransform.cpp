#include "processing/IPTransform.h"

#include <cmath>
#include <string>

#include "base/TextNumbers.h"
#include "base/Translate.h"
#include "document/uAstroDoc.h"
#include "image/ImaColor.h"
#include "processing/uFilMan.h"

namespace orlu {

namespace {

TParamField Flag(const char* prompt, double def) {
  return TParamField{prompt, "", def, 1, 0, 1, false};
}

}  // namespace

void RegisterTransformOperations(TFilterRegistry& registry) {
  // Flips move the mask with the pixels instead of blending through it.
  {
    TFilterOperation op;
    op.Code = 31;
    op.Run = [](TFilterRun& run) {
      TAImage& img = run.Image();
      img.FlipH(true, img.Mask->HasStorage());
      return TOpResult::Done;
    };
    registry.Register(std::move(op));
  }
  {
    TFilterOperation op;
    op.Code = 32;
    op.Run = [](TFilterRun& run) {
      TAImage& img = run.Image();
      img.FlipV(true, img.Mask->HasStorage());
      return TOpResult::Done;
    };
    registry.Register(std::move(op));
  }
  {
    TFilterOperation op;
    op.Code = 33;
    op.Flags = kOpMergeAfter;
    op.Run = [](TFilterRun& run) {
      run.Image().SwapFieldRows();
      return TOpResult::Done;
    };
    registry.Register(std::move(op));
  }
  {
    TFilterOperation op;
    op.Code = 47;
    op.Flags = kOpMergeAfter;
    op.Fields = {TParamField{" Delta X , Delta Y ? ", "", 0, 1, -29999, 29999, true},
                 TParamField{" Delta X , Delta Y ? ", "", 0, 1, -29999, 29999, true}};
    op.Check = [](const TIPFilter& step, const TAImage& img) -> std::string {
      const double dx = step.HasParam(1) ? step.GetParam(1) : 0;
      const double dy = step.HasParam(2) ? step.GetParam(2) : 0;
      if (std::fabs(dx) > img.Width() - 1 || std::fabs(dy) > img.Height() - 1)
        return Tr("shift beyond the image") + " (" + FormatG(dx, 15) + ", " + FormatG(dy, 15) +
               ")";
      return {};
    };
    op.Run = [](TFilterRun& run) {
      TAImage& img = run.Image();
      const double dx = run.Param(1, 0), dy = run.Param(2, 0);
      for (int32_t p = 0; p < run.PlaneCount(); ++p) run.TargetPlane(p).Shift(dx, dy, false);
      // The reference pixel moves with the content.
      if (img.HasWcs) img.Wcs.CropWCS(-dx, -dy);
      return TOpResult::Done;
    };
    registry.Register(std::move(op));
  }
  {
    TFilterOperation op;
    op.Code = 106;
    op.Fields = {Flag("Horizontal", 1), Flag("Vertical", 0),   Flag("Image", 1),
                 Flag("Mask", 1),       Flag("Astrometry", 1), Flag("Stars", 0)};
    op.Run = [](TFilterRun& run) {
      const bool h = run.Param(1, 0) > 0.5, v = run.Param(2, 0) > 0.5;
      const bool image = run.Param(3, 1) > 0.5, mask = run.Param(4, 0) > 0.5;
      const bool wcs = run.Param(5, 0) > 0.5;
      // Not yet here: the star positions (p6), mirrored once the document has star lists.
      run.Doc.Flip(h, v, wcs, mask, image);
      return TOpResult::Done;
    };
    registry.Register(std::move(op));
  }
}

}  // namespace orlu
