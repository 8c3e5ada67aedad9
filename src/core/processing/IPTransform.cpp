#include "processing/IPTransform.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "astrometry/ImaWCS.h"
#include "base/EOrluError.h"
#include "base/OrluMath.h"
#include "base/TextNumbers.h"
#include "base/Translate.h"
#include "document/uAstroDoc.h"
#include "image/ImaColor.h"
#include "image/LibThreads.h"
#include "processing/IPGeometry.h"
#include "processing/uFilMan.h"
#include "visual/ImaVisu.h"

namespace orlu {

namespace {

TParamField Flag(const char* prompt, double def) {
  return TParamField{prompt, "", def, 1, 0, 1, false};
}

TParamField Whole(const char* prompt, double def, double lo, double hi) {
  return TParamField{prompt, "", def, 1, lo, hi, false};
}

TRowReport Reporter(TFilterRun& run) {
  return [&run](int32_t plane, int32_t row) { return run.ReportRow(plane, row); };
}

// What a size-changing step reads: the undo copy, else a full copy taken now (a step run
// without a snapshot).
class TStepSource {
 public:
  explicit TStepSource(TFilterRun& run) : Src_(run.Source()) {
    if (!Src_) {
      Own_ = run.Image().NewLike(true, true);
      Src_ = Own_.get();
    }
  }
  const TAImage& operator*() const { return *Src_; }
  const TAImage* operator->() const { return Src_; }

 private:
  const TAImage* Src_;
  std::unique_ptr<TAImage> Own_;
};

TOpResult Result(bool ok) { return ok ? TOpResult::Done : TOpResult::Failed; }

std::string SizeCheck(int64_t w, int64_t h) { return SizeAccepted(w, h) ? "" : SizeRefusedText(); }

double P(const TIPFilter& step, int32_t k, double def) {
  return step.HasParam(k) ? step.GetParam(k) : def;
}

// ---------------------------------------------------------------------------- collapse

// Mean or median of values (reordered).
float Statistic(std::vector<float>& v, bool median) {
  if (v.empty()) return 0;
  if (!median) {
    double s = 0;
    for (float x : v) s += x;
    return float(s / double(v.size()));
  }
  const size_t n = v.size(), m = n / 2;
  std::nth_element(v.begin(), v.begin() + ptrdiff_t(m), v.end());
  if (n % 2) return v[m];
  const float hi = v[m];
  const float lo = *std::max_element(v.begin(), v.begin() + ptrdiff_t(m));
  return float((double(lo) + hi) / 2);
}

void RegisterCollapse(TFilterRegistry& registry, int32_t code) {
  const bool alongX = code == 43 || code == 45, median = code == 45 || code == 46;
  const char* prompt = alongX ? " Min X , Max X ? " : " Min Y , Max Y ? ";
  TFilterOperation op;
  op.Code = code;
  op.Fields = {Whole(prompt, 0, 0, 29999), Whole(prompt, 0, 0, 29999)};
  op.PrepareDialog = [alongX](TParamDialog& d, const TAstroDocument* doc, const TQVOptions&) {
    if (!doc) return;
    const TPixelRect r = doc->SelectionBounds();
    d.Fields[0].Default = alongX ? r.Left : r.Bottom;
    d.Fields[1].Default = alongX ? r.Right : r.Top;
  };
  op.Check = [alongX](const TIPFilter& step, const TAImage& img) -> std::string {
    const int32_t n = alongX ? img.Width() : img.Height();
    for (int32_t k = 1; k <= 2; ++k)
      if (step.HasParam(k) && (step.GetParam(k) < 0 || step.GetParam(k) > n - 1))
        return Tr("outside the image");
    return {};
  };
  op.Run = [alongX, median](TFilterRun& run) {
    int32_t a = run.IntParam(1, 0), b = run.IntParam(2, 0);
    if (b < a) std::swap(a, b);
    for (int32_t p = 0; p < run.PlaneCount(); ++p) {
      const TBWImage& src = run.SourcePlane(p);
      std::vector<float> columns;
      if (!alongX) {
        // Every column's statistic over rows a..b, once per plane.
        columns.assign(size_t(src.Width), 0.0f);
        constexpr int32_t kChunk = 64;
        ParallelRows((src.Width + kChunk - 1) / kChunk, 0, [&](int32_t chunk) {
          std::vector<float> v;
          for (int32_t x = chunk * kChunk; x < std::min(src.Width, (chunk + 1) * kChunk); ++x) {
            v.clear();
            for (int32_t y = a; y <= b; ++y) v.push_back(src.GetPixelUnchecked(x, y));
            columns[size_t(x)] = Statistic(v, median);
          }
        });
      }
      const bool ok = run.ProcessRows(
          [&](const TRowJob& j) {
            float* d = j.Target.RowPointer(0, j.Row);
            if (alongX) {
              const float* s = j.Source.RowPointer(0, j.Row);
              std::vector<float> v(s + a, s + b + 1);
              const float m = Statistic(v, median);
              for (int32_t x = j.Left; x <= j.Right; ++x) d[x] = x >= a && x <= b ? m : 0.0f;
            } else {
              const bool in = j.Row >= a && j.Row <= b;
              for (int32_t x = j.Left; x <= j.Right; ++x) d[x] = in ? columns[size_t(x)] : 0.0f;
            }
          },
          p);
      if (!ok) return TOpResult::Failed;
    }
    return TOpResult::Done;
  };
  registry.Register(std::move(op));
}

// ---------------------------------------------------------------------------- fill

void RegisterFill(TFilterRegistry& registry) {
  TFilterOperation op;
  op.Code = 59;
  op.Fields = {TParamField{"Value", "", 0, 1, -1e20, 1e20, true},
               TParamField{"Noise", "", 0, 1, 0, 1e20, true},
               Whole("Mode", 1, 1, 3),
               Whole("X1 , Y1", 0, -30000, 30000),
               Whole("X1 , Y1", 0, -30000, 30000),
               Whole("X2 , Y2", 0, -30000, 30000),
               Whole("X2 , Y2", 0, -30000, 30000),
               Flag("Fill outside", 0)};
  op.PrepareDialog = [](TParamDialog& d, const TAstroDocument* doc, const TQVOptions&) {
    if (!doc || doc->SelectionKind() != 1) return;
    const TPixelRect r = doc->SelectionRect();
    d.Fields[3].Default = r.Left;
    d.Fields[4].Default = r.Bottom;
    d.Fields[5].Default = r.Right;
    d.Fields[6].Default = r.Top;
  };
  op.Run = [](TFilterRun& run) {
    TAImage& img = run.Image();
    const int32_t w = img.Width(), h = img.Height();
    const double value = run.Param(1, 0);
    // A stored step with only the value fills the whole image with it.
    const bool onlyValue = !run.Step.HasParam(2);
    const double sigma = onlyValue ? 0 : run.Param(2, 0);
    const int32_t mode = onlyValue ? 1 : std::clamp(run.IntParam(3, 1), 1, 3);
    bool outside = !onlyValue && run.Param(8, 0) > 0.5;
    int32_t x1 = run.IntParam(4, 0), y1 = run.IntParam(5, 0);
    int32_t x2 = run.IntParam(6, 0), y2 = run.IntParam(7, 0);
    if (onlyValue || (x2 == 0 && y2 == 0)) {
      x1 = y1 = 0;
      x2 = w - 1;
      y2 = h - 1;
    }
    if (x2 < x1) std::swap(x1, x2);
    if (y2 < y1) std::swap(y1, y2);
    const bool masked = run.Masked();
    const uint16_t* weights = masked ? img.Mask->Weights() : nullptr;
    TPixelRect rect{x1, y1, x2, y2};
    if (masked) {
      // The mask is the region: its bounds inside, the inverted mask over the image outside.
      rect = run.ProcessRect();
      if (outside) rect = TPixelRect{0, 0, w - 1, h - 1};
    }
    const float v = float(mode == 3 ? -value : value);
    for (int32_t p = 0; p < run.PlaneCount(); ++p) {
      const TBWImage& src = run.SourcePlane(p);
      TBWImage& dst = run.TargetPlane(p);
      std::atomic<bool> stop{false};
      ParallelRows(h, 0, [&](int32_t y) {
        if (stop.load(std::memory_order_relaxed)) return;
        // A generator per row and plane: repeatable whatever the worker order.
        uint64_t state = (uint64_t(p) << 40) ^ (uint64_t(y) * 0x9E3779B97F4A7C15ull) ^ 0x5EEDull;
        const float* s = src.RowPointer(0, y);
        float* d = dst.RowPointer(0, y);
        const uint16_t* g = weights ? weights + int64_t(y) * w : nullptr;
        const bool rowIn = y >= rect.Bottom && y <= rect.Top;
        for (int32_t x = 0; x < w; ++x) {
          const bool in = rowIn && x >= rect.Left && x <= rect.Right;
          const bool fill = masked ? in : (in != outside);
          if (!fill) {
            d[x] = s[x];
            continue;
          }
          double base = mode == 1 ? 0.0 : double(s[x]);
          if (sigma != 0) base += sigma * ShapedNoise(state);
          const float nv = float(base + v);
          if (!g) {
            d[x] = nv;
            continue;
          }
          const uint32_t m = masked && outside ? 65535u - g[x] : g[x];
          d[x] = m == 0       ? s[x]
                 : m == 65535 ? nv
                              : [&] {
                                  const float f = float(m) * (1.0f / 65535.0f);
                                  return f * nv + (1.0f - f) * s[x];
                                }();
        }
        if (!run.ReportRow(p, y)) stop.store(true, std::memory_order_relaxed);
      });
      if (stop.load()) return TOpResult::Failed;
    }
    return TOpResult::Done;
  };
  registry.Register(std::move(op));
}

// ---------------------------------------------------------------------------- rotations

// The negated position angle of a solved image, "%4.2f°".
std::string AngleHint(const TAstroDocument& doc) {
  std::string t = FormatFixed(-RotationAngle(doc.Image()), 2);
  t.append("°");
  return t;
}

// Code 81: p1 the angle in degrees, counter-clockwise (90 the left turn, −90 the right).
void RegisterRotate(TFilterRegistry& registry) {
  TFilterOperation op;
  op.Code = 81;
  op.Fields = {TParamField{" Angle ?", "°", 0, 0.5, -360, 360, true}};
  op.PrepareDialog = [](TParamDialog& d, const TAstroDocument* doc, const TQVOptions&) {
    if (!doc) return;
    if (doc->HasWcs()) d.Caption.append(" ").append(AngleHint(*doc));
    if (doc->SelectionKind() == 2) {
      // A line selection proposes its own angle.
      const TPoint32* l = doc->SelectionLine();
      const double dx = std::abs(l[1].X - l[0].X), dy = l[1].Y - l[0].Y;
      d.Fields[0].Default = dy != 0 ? std::atan(dx / dy) * 180 / std::numbers::pi : 90;
    }
  };
  op.Check = [](const TIPFilter& step, const TAImage& img) -> std::string {
    int64_t w2, h2;
    RotatedSize(img.Width(), img.Height(), P(step, 1, 0), w2, h2);
    return SizeCheck(w2, h2);
  };
  op.Run = [](TFilterRun& run) {
    const double angle = run.Param(1, 0);
    if (angle == 0) return TOpResult::Failed;  // 0 cancels
    TAImage& img = run.Image();
    const double turn = std::fmod(std::fmod(angle, 360.0) + 360.0, 360.0);
    if (turn == 180) {
      const bool mask = img.Mask->HasStorage();
      img.FlipH(true, mask);
      img.FlipV(true, mask);
      if (mask) img.Mask->MarkChanged();
      return TOpResult::Done;
    }
    TStepSource src(run);
    if (turn == 90 || turn == 270)
      return Result(Rotate90Image(*src, img, turn == 90, Reporter(run)));
    return Result(RotateImage(*src, img, angle, false, 0, 0, Reporter(run)));
  };
  registry.Register(std::move(op));

  // Code 56: p1 angle, (p2, p3) the pivot, both −1 for the image centre; the size is kept.
  TFilterOperation around;
  around.Code = 56;
  around.Fields = {TParamField{"Angle,  X,Y", "°", 0, 0.5, -360, 360, true},
                   TParamField{"Angle,  X,Y", "", -1, 1, -1, 29999, true},
                   TParamField{"Angle,  X,Y", "", -1, 1, -1, 29999, true}};
  around.PrepareDialog = [](TParamDialog& d, const TAstroDocument* doc, const TQVOptions&) {
    if (!doc) return;
    if (doc->HasWcs()) d.Caption.append(" ( ").append(AngleHint(*doc)).append(" )");
    if (doc->SelectionKind() != 1) return;
    const TPixelRect r = doc->SelectionRect();
    d.Fields[1].Default = (r.Left + r.Right) / 2;
    d.Fields[2].Default = (r.Bottom + r.Top) / 2;
  };
  around.Run = [](TFilterRun& run) {
    TStepSource src(run);
    return Result(RotateImage(*src, run.Image(), run.Param(1, 0), true, run.Param(2, -1),
                              run.Param(3, -1), Reporter(run)));
  };
  registry.Register(std::move(around));
}

// ---------------------------------------------------------------------------- resize

// Code 73: p1 width, p2 height, p3 method + 1, and for Lanczos p4 the kernel and p5 the
// clamp flag.
void RegisterResize(TFilterRegistry& registry) {
  TFilterOperation op;
  op.Code = 73;
  op.Fields = {Whole("Width", 100, -1e9, 1e9), Whole("Height", 100, -1e9, 1e9),
               Whole("Method", 1, 1, 5), Whole("Kernel", 3, 2, 6), Flag("Clamp maximum", 0)};
  op.PrepareDialog = [](TParamDialog& d, const TAstroDocument* doc, const TQVOptions&) {
    if (!doc) return;
    d.Fields[0].Default = doc->Width();
    d.Fields[1].Default = doc->Height();
  };
  op.Check = [](const TIPFilter& step, const TAImage&) -> std::string {
    return SizeCheck(Round64(P(step, 1, 1)), Round64(P(step, 2, 1)));
  };
  op.Run = [](TFilterRun& run) {
    TAImage& img = run.Image();
    const int32_t w = img.Width(), h = img.Height();
    TResizeSpec spec;
    spec.Width = run.IntParam(1, w);
    spec.Height = run.IntParam(2, h);
    spec.Method = TResizeMethod(std::clamp(run.IntParam(3, 1), 1, 5) - 1);
    spec.Kernel = std::clamp(run.IntParam(4, 3), 2, 6);
    spec.ClampMax = run.Param(5, 0) > 0.5;
    {
      TStepSource src(run);
      if (!ResizeImage(*src, img, spec, Reporter(run))) return TOpResult::Failed;
    }
    run.Doc.Annotations.Scale(double(spec.Height) / h, double(spec.Width) / w);
    return TOpResult::Done;
  };
  registry.Register(std::move(op));
}

// Code 74: p1 the factor (1 for 1.5 × 1.5, else 2..8), p2 average (0/1).
void RegisterBinning(TFilterRegistry& registry) {
  TFilterOperation op;
  op.Code = 74;
  op.Fields = {Whole("Binning ?", 2, 1, 8), Flag("Average", 0)};
  op.Check = [](const TIPFilter& step, const TAImage& img) -> std::string {
    int32_t w2, h2;
    BinnedSize(img.Width(), img.Height(), std::clamp(Round(P(step, 1, 2) - 0.1), 1, 8), w2, h2);
    return SizeCheck(w2, h2);
  };
  op.Run = [](TFilterRun& run) {
    TAImage& img = run.Image();
    const int32_t w = img.Width();
    const int32_t factor = std::clamp(Round(run.Param(1, 2) - 0.1), 1, 8);
    const bool average = run.Param(2, 0) > 0.5;
    {
      TStepSource src(run);
      if (!BinImage(*src, img, factor, average, Reporter(run))) return TOpResult::Failed;
    }
    const double f = factor == 1 ? 1.5 : factor;
    // A sum keeps the look of the display when the view range grows with the block area.
    if (!average)
      SetVisualization(img, img.Visu.TransferType, img.Visu.High * f * f, img.Visu.Low * f * f);
    img.Header.ScalePixelSize(f);
    // The annotations follow the pixels as after a resize.
    const double k = double(img.Width()) / w;
    run.Doc.Annotations.Scale(k, k);
    return TOpResult::Done;
  };
  registry.Register(std::move(op));
}

// ---------------------------------------------------------------------------- crop, border

// Code 75: corners (p1, p2) and (p3, p4); parts outside the image get the outside value.
void RegisterCrop(TFilterRegistry& registry) {
  TFilterOperation op;
  op.Code = 75;
  op.Fields = {Whole("X1", 0, -1e9, 1e9), Whole("Y1", 0, -1e9, 1e9), Whole("X2", 0, -1e9, 1e9),
               Whole("Y2", 0, -1e9, 1e9)};
  op.PrepareDialog = [](TParamDialog& d, const TAstroDocument* doc, const TQVOptions&) {
    if (!doc) return;
    const TPixelRect r = doc->SelectionOrMaskBounds();
    d.Fields[0].Default = r.Left;
    d.Fields[1].Default = r.Bottom;
    d.Fields[2].Default = r.Right;
    d.Fields[3].Default = r.Top;
  };
  op.Check = [](const TIPFilter& step, const TAImage&) -> std::string {
    const int64_t w = std::llabs(Round64(P(step, 3, 0)) - Round64(P(step, 1, 0))) + 1;
    const int64_t h = std::llabs(Round64(P(step, 4, 0)) - Round64(P(step, 2, 0))) + 1;
    return SizeCheck(w, h);
  };
  op.Run = [](TFilterRun& run) {
    int32_t x1 = run.IntParam(1, 0), y1 = run.IntParam(2, 0);
    int32_t x2 = run.IntParam(3, 0), y2 = run.IntParam(4, 0);
    if (x2 < x1) std::swap(x1, x2);
    if (y2 < y1) std::swap(y1, y2);
    TAImage& img = run.Image();
    {
      TStepSource src(run);
      CropImage(*src, img, x1, y1, x2, y2);
    }
    run.Doc.Annotations.Offset(img.Width(), img.Height(), -x1, -y1);
    return TOpResult::Done;
  };
  registry.Register(std::move(op));
}

// Code 96: margins p1 left, p2 right, p3 top, p4 bottom, p5 the value, p6 the mode
// (0 cut, 1 add, 2 overwrite; unset: overwrite).
void RegisterBorder(TFilterRegistry& registry) {
  TFilterOperation op;
  op.Code = 96;
  op.Fields = {Whole("Left", 0, 0, 30000),
               Whole("Right", 0, 0, 30000),
               Whole("Top", 0, 0, 30000),
               Whole("Bottom", 0, 0, 30000),
               TParamField{"ADU", "", 0, 1, -1e20, 1e20, true},
               Whole("Mode", 2, 0, 2)};
  auto newSize = [](const TIPFilter& step, const TAImage& img, int64_t& w, int64_t& h) {
    const int64_t sign = Round(P(step, 6, 2)) == 0 ? -1 : 1;
    w = img.Width() + sign * (Round64(P(step, 1, 0)) + Round64(P(step, 2, 0)));
    h = img.Height() + sign * (Round64(P(step, 3, 0)) + Round64(P(step, 4, 0)));
  };
  op.Check = [newSize](const TIPFilter& step, const TAImage& img) -> std::string {
    if (Round(P(step, 6, 2)) == 2) return {};
    int64_t w, h;
    newSize(step, img, w, h);
    return SizeCheck(w, h);
  };
  op.Run = [](TFilterRun& run) {
    TAImage& img = run.Image();
    const int32_t w = img.Width(), h = img.Height();
    const int32_t l = run.IntParam(1, 0), r = run.IntParam(2, 0);
    const int32_t t = run.IntParam(3, 0), b = run.IntParam(4, 0);
    const int32_t mode = std::clamp(run.IntParam(6, 2), 0, 2);
    if (mode == 2) {
      const float v = float(run.Param(5, 0));
      for (int32_t p = 0; p < run.PlaneCount(); ++p) {
        TBWImage& d = run.TargetPlane(p);
        ParallelRows(h, 0, [&](int32_t y) {
          float* row = d.RowPointer(0, y);
          const bool all = y < b || y > h - t - 1;
          for (int32_t x = 0; x < w; ++x)
            if (all || x < l || x > w - r - 1) row[x] = v;
        });
      }
      return TOpResult::Done;
    }
    // Add places the source with its lower-left corner at (L, B); cut removes the margins.
    const int32_t sx = mode == 1 ? -l : l, sy = mode == 1 ? -b : b;
    const int32_t ex = mode == 1 ? w + r - 1 : w - r - 1, ey = mode == 1 ? h + t - 1 : h - t - 1;
    {
      TStepSource src(run);
      CropImage(*src, img, sx, sy, ex, ey);
    }
    run.Doc.Annotations.Offset(img.Width(), img.Height(), -sx, -sy);
    return TOpResult::Done;
  };
  registry.Register(std::move(op));
}

// Code 105: the SIP distortion of the solution removed from the pixels.
void RegisterDistortion(TFilterRegistry& registry) {
  TFilterOperation op;
  op.Code = 105;
  op.Run = [](TFilterRun& run) {
    TAImage& img = run.Image();
    if (!img.HasWcs || !img.Wcs.HasSIP) return TOpResult::Done;  // left unchanged
    TStepSource src(run);
    return Result(CorrectDistortionImage(*src, img, Reporter(run)));
  };
  registry.Register(std::move(op));
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
  for (int32_t code : {43, 44, 45, 46}) RegisterCollapse(registry, code);
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
        return Tr("shift beyond the image") + " (" + FormatG(dx, 15) + ", " + FormatG(dy, 15) + ")";
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
  RegisterRotate(registry);
  RegisterFill(registry);
  RegisterResize(registry);
  RegisterBinning(registry);
  RegisterCrop(registry);
  RegisterBorder(registry);
  RegisterDistortion(registry);
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
