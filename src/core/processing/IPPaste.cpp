#include "processing/IPPaste.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/OrluMath.h"
#include "base/TextNumbers.h"
#include "base/Translate.h"
#include "document/uAstroDoc.h"
#include "image/ImaColor.h"
#include "image/LibThreads.h"
#include "processing/uFilMan.h"

namespace orlu {

namespace {

// The last committed opacity and mode, offered by the next window.
double gLastOpacity = 100;
TPasteMode gLastMode = TPasteMode::Replace;

const TBWImage* PlaneOf(const TAImage& img, int32_t p) {
  if (!img.IsColour()) return img.MainPlane.get();
  return p == 0 ? img.MainPlane.get() : p == 1 ? img.RedPlane.get() : img.BluePlane.get();
}

TBWImage* PlaneOf(TAImage& img, int32_t p) {
  return const_cast<TBWImage*>(PlaneOf(static_cast<const TAImage&>(img), p));
}

}  // namespace

const char* PasteModeCaption(TPasteMode mode) {
  switch (mode) {
    case TPasteMode::Add: return "Add";
    case TPasteMode::Subtract: return "Subtract";
    case TPasteMode::Minimum: return "Minimum";
    case TPasteMode::Maximum: return "Maximum";
    case TPasteMode::Replace: break;
  }
  return "Replace";
}

void PasteImage(const TAImage& source, TAImage& dst, const TAImage& clip, const TPasteParams& p) {
  const int32_t w = dst.Width(), h = dst.Height();
  if (!source.SameSize(dst, true)) return;
  const int64_t px = std::clamp(p.X, -30000, 30000), py = std::clamp(p.Y, -30000, 30000);
  const int32_t cw = clip.Width(), ch = clip.Height();
  // Target columns and rows covered by the clip.
  const int64_t x0 = std::max<int64_t>(0, px), x1 = std::min<int64_t>(w, px + cw);
  const int64_t y0 = std::max<int64_t>(0, py), y1 = std::min<int64_t>(h, py + ch);
  const bool clipMask =
      clip.Mask->HasStorage() && clip.Mask->Width == cw && clip.Mask->Height == ch;
  const uint16_t* weights = clipMask ? clip.Mask->Weights() : nullptr;
  const double o = std::clamp(p.Opacity, 0.0, 100.0) / 100.0;
  const float offset = float(p.Offset);
  const int32_t planes = dst.IsColour() ? 3 : 1;
  for (int32_t k = 0; k < planes; ++k) {
    const TBWImage& s = *PlaneOf(source, k);
    const TBWImage& c = *PlaneOf(clip, k);
    TBWImage& d = *PlaneOf(dst, k);
    ParallelRows(h, 0, [&](int32_t y) {
      const float* sr = s.RowPointer(0, y);
      float* dr = d.RowPointer(0, y);
      if (dr != sr) std::memcpy(dr, sr, size_t(w) * sizeof(float));
      if (y < y0 || y >= y1 || x1 <= x0) return;
      const int64_t cy = y - py;
      const float* cr = c.RowPointer(0, int32_t(cy));
      const uint16_t* gr = weights ? weights + cy * cw : nullptr;
      for (int64_t x = x0; x < x1; ++x) {
        const float sv = sr[x];
        const float e0 = offset + cr[x - px];
        float e = e0;
        switch (p.Mode) {
          case TPasteMode::Add: e = e0 + sv; break;
          case TPasteMode::Subtract: e = sv - e0; break;
          case TPasteMode::Minimum: e = std::min(e0, sv); break;
          case TPasteMode::Maximum: e = std::max(e0, sv); break;
          case TPasteMode::Replace: break;
        }
        if (gr) {
          const double g = gr[x - px] / 65535.0;
          e = float(g * e + (1 - g) * sv);
        }
        if (o < 1) e = float(o * e + (1 - o) * sv);
        dr[x] = e;
      }
    });
  }
}

TPasteInto::TPasteInto(TAstroDocument& doc, const TAImage& clip, const TFilterContext& ctx)
    : Clip_(clip), Live_(BeginLive(doc, ctx)) {
  if (!Live_) return;
  const TAstroDocument& d = *Live_->Document();
  int32_t cx = d.CentreX(), cy = d.CentreY();
  if (d.SelectionKind() == 1) {
    const TPixelRect r = d.SelectionRect();
    cx = (r.Left + r.Right) / 2;
    cy = (r.Bottom + r.Top) / 2;
  }
  Params.X = cx - clip.Width() / 2;
  Params.Y = cy - clip.Height() / 2;
  Params.Opacity = gLastOpacity;
  Params.Mode = gLastMode;
}

TPasteInto::~TPasteInto() = default;

TAstroDocument* TPasteInto::Document() const { return Live_ ? Live_->Document() : nullptr; }

bool TPasteInto::Preview() {
  if (!Document()) return false;
  const TPasteParams p = Params;
  return Live_->PreviewWith([&](TAstroDocument& doc, const TAImage& source) {
    PasteImage(source, doc.Image(), Clip_, p);
    return true;
  });
}

std::string TPasteInto::HistoryText() const {
  return std::to_string(Params.X) + " " + std::to_string(Params.Y) + "  " +
         Tr(PasteModeCaption(Params.Mode)) + " " + FormatG(Params.Opacity, 6) + "%";
}

bool TPasteInto::Commit() {
  if (!Document()) return false;
  if (!Live_->Previewed() && !Preview()) return false;
  gLastOpacity = Params.Opacity;
  gLastMode = Params.Mode;
  return Live_->CommitKind(10, HistoryText());
}

void TPasteInto::Cancel() {
  if (Live_) Live_->CancelLive();
}

void TPasteInto::Drag(int32_t dx, int32_t dy, double zoom) {
  if (!(zoom > 0)) return;
  const double z = std::sqrt(zoom);
  Params.X = std::clamp(Params.X + Round(dx / z), -30000, 30000);
  Params.Y = std::clamp(Params.Y - Round(dy / z), -30000, 30000);
}

void TPasteInto::Nudge(int32_t sx, int32_t sy) {
  Params.X = std::clamp(Params.X + (sx > 0) - (sx < 0), -30000, 30000);
  Params.Y = std::clamp(Params.Y + (sy > 0) - (sy < 0), -30000, 30000);
}

bool TPasteInto::TakePositionFrom(const TAstroDocument& other) {
  if (other.SelectionKind() == 1) {
    Params.X = other.SelectionRect().Left;
    Params.Y = other.SelectionRect().Bottom;
    return true;
  }
  const TAImage& img = other.Image();
  if (!img.Mask->HasStorage()) return false;
  const TPixelRect r = img.Mask->EnsureBounds();
  if (r.IsEmpty()) return false;
  Params.X = r.Left;
  Params.Y = r.Bottom;
  return true;
}

}  // namespace orlu
