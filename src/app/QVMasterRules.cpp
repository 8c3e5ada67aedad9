#include "QVMasterRules.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>

#include "base/OrluMath.h"
#include "base/TextNumbers.h"
#include "base/Translate.h"
#include "formats/uFiles.h"
#include "document/uAstroDoc.h"
#include "image/ImaColor.h"

namespace orlu {

// ============================================================================ ask values

std::optional<double> ParseAskValue(std::string_view text, const TAskNumber& f) {
  double v = 0;
  if (!ParseDouble(TrimView(text), v) || !std::isfinite(v)) return std::nullopt;
  if (f.Integer && v != std::trunc(v)) return std::nullopt;
  if (v < f.Min || v > f.Max) return std::nullopt;
  if (f.ExcludeZero && v == 0) return std::nullopt;
  return v;
}

std::string AskValueText(double v, bool integer) {
  if (integer) {
    int64_t i = 0;
    if (std::isfinite(v) && std::fabs(v) < 9e18) {
      i = int64_t(std::nearbyint(v));
      return std::to_string(i);
    }
  }
  return FormatShortest(v);
}

const TAskMemory::TEntry* TAskMemory::Find(const std::string& prompt) const {
  for (const TEntry& e : Entries_)
    if (e.Prompt == prompt) return &e;
  return nullptr;
}

void TAskMemory::Remember(const std::string& prompt, std::vector<double> values,
                          std::string text) {
  std::erase_if(Entries_, [&](const TEntry& e) { return e.Prompt == prompt; });
  Entries_.insert(Entries_.begin(), TEntry{prompt, std::move(values), std::move(text)});
  if (Entries_.size() > Capacity_) Entries_.resize(Capacity_);
}

std::optional<std::vector<double>> TAskMemory::Values(const std::string& prompt) const {
  if (const TEntry* e = Find(prompt)) return e->Values;
  return std::nullopt;
}

std::optional<std::string> TAskMemory::Text(const std::string& prompt) const {
  if (const TEntry* e = Find(prompt)) return e->Text;
  return std::nullopt;
}

// ============================================================================ commands

int32_t BinningFactor(double answer) {
  if (!std::isfinite(answer)) return 1;
  return std::clamp(Round(std::clamp(answer - 0.1, -1e6, 1e6)), 1, 8);
}

double BinningScale(int32_t factor) { return factor <= 1 ? 1.5 : double(factor); }

std::string RenamedFileName(std::string_view answer) {
  std::string s = Trim(answer);
  if (!s.empty() && s.back() == '.') s.pop_back();
  for (char& c : s)
    if (std::string_view("<>|\"\\/:*?").find(c) != std::string_view::npos) c = '_';
  const size_t dot = s.rfind('.');
  if (dot != std::string::npos) s.erase(dot);
  if (s.empty()) return {};
  return s + ".fit";
}

int32_t FurtherImageCount(const std::string& path, const TFitsStrings& header, int32_t limit) {
  if (!HasExtension(path, {".fit", ".fits", ".fts", ".fz"})) return 0;
  const int32_t n = header.ImageCount();
  return std::clamp(n - 1, 0, std::max(0, limit));
}

std::string RectCentreText(const TPixelRect& r) {
  // Integer division truncates toward zero, as the record wants.
  const int64_t cx = (int64_t(r.Left) + r.Right) / 2;
  const int64_t cy = (int64_t(r.Bottom) + r.Top) / 2;
  return std::to_string(cx) + "," + std::to_string(cy);
}

int32_t NextMouseMode(int32_t current, int32_t requested) {
  if (requested != kMouseAnnotate && requested != kMouseMask) return kMouseNormal;
  return requested == current ? kMouseNormal : requested;
}

TPixelRect SquareAround(int32_t x, int32_t y, int32_t width, int32_t height) {
  const int32_t side = std::clamp(std::max(width, height) / 20, 30, 300);
  const int32_t half = side / 2;
  TPixelRect r;
  r.Left = std::clamp(x - half, 0, std::max(0, width - 1));
  r.Bottom = std::clamp(y - half, 0, std::max(0, height - 1));
  r.Right = std::clamp(x - half + side - 1, 0, std::max(0, width - 1));
  r.Top = std::clamp(y - half + side - 1, 0, std::max(0, height - 1));
  return r;
}

std::vector<std::string> UndoLevelNames(const TAstroDocument& doc) {
  std::vector<std::string> out;
  const TImageUndoList& undo = doc.Undo();
  const THistoryList* newer = &doc.Image().History;
  for (int32_t k = 1; k <= undo.Count(); ++k) {
    const TAImage* level = undo.Item(k - 1);
    const THistoryList* older = level ? &level->History : nullptr;
    std::string name = "?          ?";
    // The step is the entry the newer state has beyond the older one.
    if (newer && older && newer->Count() > older->Count())
      if (const THistoryItem* step = newer->Item(older->Count()))
        name = step->FromMacro ? Tr("Macro")
               : step->Code == kOtherCode ? Tr(HistoryKindName(step->Kind))
                                          : Tr(OperationName(step->Code));
    out.push_back(std::move(name));
    newer = older;
  }
  return out;
}

// ============================================================================ clipboard

std::unique_ptr<TAImage> CopyImageRect(const TAImage& image, const TPixelRect& rect) {
  TPixelRect r = rect;
  r.Left = std::max(r.Left, 0);
  r.Bottom = std::max(r.Bottom, 0);
  r.Right = std::min(r.Right, image.Width() - 1);
  r.Top = std::min(r.Top, image.Height() - 1);
  if (r.IsEmpty()) return nullptr;
  try {
    auto out = std::make_unique<TAImage>();
    if (!out->Resize(r.Right - r.Left + 1, r.Top - r.Bottom + 1, image.IsColour()))
      return nullptr;
    image.CopySettings(*out, true, true, false);
    image.ExtractTo(*out, r.Left, r.Bottom, true);
    out->RefreshStatistics();
    return out;
  } catch (const std::exception&) {
    return nullptr;
  }
}

int64_t PasteCentred(const TAImage& src, TAImage& dst, const TPixelRect& r) {
  const int64_t cx = (int64_t(r.Left) + r.Right) / 2;
  const int64_t cy = (int64_t(r.Bottom) + r.Top) / 2;
  // The source's centre pixel lands on the rectangle's centre pixel.
  const int64_t x0 = cx - (src.Width() - 1) / 2;
  const int64_t y0 = cy - (src.Height() - 1) / 2;
  const TBWImage* sp[3] = {src.MainPlane.get(), src.RedPlane.get(), src.BluePlane.get()};
  TBWImage* dp[3] = {dst.MainPlane.get(), dst.RedPlane.get(), dst.BluePlane.get()};
  int64_t written = 0;
  for (int32_t p = 0; p < 3; ++p) {
    if (!dp[p]) continue;
    const TBWImage* s = sp[p] ? sp[p] : sp[0];
    const int64_t xa = std::max<int64_t>(0, x0), xb = std::min<int64_t>(dst.Width(), x0 + s->Width);
    const int64_t ya = std::max<int64_t>(0, y0), yb = std::min<int64_t>(dst.Height(), y0 + s->Height);
    if (xa >= xb || ya >= yb) continue;
    for (int64_t y = ya; y < yb; ++y) {
      const float* from = s->Data + (y - y0) * s->Width + (xa - x0);
      float* to = dp[p]->Data + y * dst.Width() + xa;
      std::copy(from, from + (xb - xa), to);
    }
    if (p == 0) written = (xb - xa) * (yb - ya);
  }
  return written;
}

}  // namespace orlu
