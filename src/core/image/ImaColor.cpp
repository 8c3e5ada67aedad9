#include "image/ImaColor.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "astrometry/LibAstro.h"
#include "base/EOrluError.h"
#include "base/OrluMath.h"
#include "base/TextNumbers.h"

namespace orlu {

namespace {

inline double Lum(double g, double r, double b) { return 0.59 * g + 0.30 * r + 0.11 * b; }

[[noreturn]] void ThrowOutOfMemory() { throw EOrluError(kOutOfMemoryText); }

// ---- Number extraction for date and time texts ----

// Up to maxCount numbers: runs of digits, "+" and "."; every other character, "-"
// included, separates (dates use "-" between fields, never as a sign). A leading "+" is
// dropped; runs that do not form a number are skipped.
std::vector<double> ExtractNumbers(std::string_view text, size_t maxCount) {
  std::vector<double> out;
  std::string token;
  auto flush = [&] {
    double v = 0;
    if (!token.empty() && ParseDouble(token, v) && std::isfinite(v)) out.push_back(v);
    token.clear();
  };
  for (char c : text) {
    if (out.size() >= maxCount) break;
    if ((c >= '0' && c <= '9') || c == '.') {
      token += c;
    } else if (c == '+') {
      if (!token.empty()) token += c;
    } else {
      flush();
    }
  }
  if (out.size() < maxCount) flush();
  if (out.size() > maxCount) out.resize(maxCount);
  return out;
}

bool IsWhole(double v) { return std::isfinite(v) && v == std::trunc(v); }

}  // namespace

// ---------------------------------------------------------------------------------------
// Free helpers

std::string FormatValue(double x) {
  const double a = std::fabs(x);
  if (a >= 1e15) return FormatG(x / 1e15, 7) + "P";
  if (a >= 1e12) return FormatG(x / 1e12, 7) + "T";
  if (a >= 1e9) return FormatG(x / 1e9, 7) + "G";
  if (a >= 1e6) return FormatG(x / 1e6, 7) + "M";
  return FormatG(x, 7);
}

std::optional<double> DateTextToJD(std::string_view date, std::string_view time) {
  double year = 2000, month = 1, day = 1, hour = 12, minute = 0, second = 0;
  // An ISO date carries its time after a "T"; the first character never is that "T".
  const bool iso = date.size() > 1 && date.find('T', 1) != std::string_view::npos;
  if (!iso) {
    const std::vector<double> d = ExtractNumbers(date, 3);
    if (d.size() < 3) return std::nullopt;
    if (d[0] > 100) {
      year = d[0];
      month = d[1];
      day = d[2];
    } else {
      day = d[0];
      month = d[1];
      year = d[2];
      // Two-digit years: 25..99 are 19xx, 0..24 are 20xx; longer years are taken as written.
      if (year < 100) year += year > 24 ? 1900 : 2000;
    }
    const std::vector<double> t = ExtractNumbers(time, 3);
    if (t.size() == 3) {
      hour = t[0];
      minute = t[1];
      second = t[2];
    }
  } else {
    const std::vector<double> d = ExtractNumbers(date, 6);
    if (d.size() < 3) return std::nullopt;
    year = d[0];
    month = d[1];
    day = d[2];
    hour = d.size() > 3 ? d[3] : 0;
    minute = d.size() > 4 ? d[4] : 0;
    second = d.size() > 5 ? d[5] : 0;
  }
  // A date that does not exist gives no JD rather than a day of another month.
  if (!IsWhole(year) || year < 1 || year > 9999) return std::nullopt;
  if (!IsWhole(month) || month < 1 || month > 12) return std::nullopt;
  const int32_t y = int32_t(year);
  const int32_t m = int32_t(month);
  if (!(day >= 1) || day >= double(DaysInMonth(y, m) + 1)) return std::nullopt;
  if (!(hour >= 0 && hour <= 24) || !(minute >= 0 && minute < 60) ||
      !(second >= 0 && second < 61))
    return std::nullopt;
  return JulianDay(y, m, day + hour / 24.0 + minute / 1440.0 + second / 86400.0);
}

// ---------------------------------------------------------------------------------------
// Construction and size

TAImage::TAImage()
    : Mask(std::make_unique<TAMask>()),  // takes the next serial number; the image shares it
      SerialId(Mask->SerialId),
      MainPlane(std::make_unique<TBWImage>()) {
  if (!MainPlane->IsAllocated()) ThrowOutOfMemory();
  Mask->SetSize(MainPlane->Width, MainPlane->Height);
  MainPlane->Mask = Mask.get();
  Wcs.InitWCS(384, 288);
}

TAImage::~TAImage() = default;

std::unique_ptr<TBWImage> TAImage::NewPlane(uint8_t role) const {
  std::unique_ptr<TBWImage> plane(new (std::nothrow) TBWImage());
  if (!plane) return nullptr;
  plane->Role = role;
  plane->Mask = Mask.get();
  plane->OutsideValue = MainPlane->OutsideValue;
  plane->BilinearEdges = MainPlane->BilinearEdges;
  return plane;
}

void TAImage::UpdateGeometryCards() { Header.SetGeometry(Width(), Height(), IsColour(), 32); }

bool TAImage::Resize(int32_t w, int32_t h, bool colour) {
  w = Clamp<int32_t>(w, 1, kMaxSide);
  h = Clamp<int32_t>(h, 1, kMaxSide);
  AllocFailed = 0;
  bool ok = true;
  MainPlane->SetSize(w, h);
  Mask->Release();
  Mask->SetSize(w, h);
  if (!MainPlane->IsAllocated()) {
    // Red and blue go too: planes of the old size beside a 16 × 16 main plane would break
    // the rule that every plane has the image size.
    ok = false;
    RedPlane.reset();
    BluePlane.reset();
    MainPlane->Role = 0;
    MainPlane->SetSize(16, 16);
    Mask->SetSize(MainPlane->Width, MainPlane->Height);
  } else if (!colour) {
    RedPlane.reset();
    BluePlane.reset();
    MainPlane->Role = 0;
  } else {
    if (!IsColour()) {
      RedPlane = NewPlane(2);
      BluePlane = NewPlane(3);
    }
    if (RedPlane) RedPlane->SetSize(w, h);
    if (BluePlane) BluePlane->SetSize(w, h);
    if (!RedPlane || !BluePlane || !RedPlane->IsAllocated() || !BluePlane->IsAllocated()) {
      ok = false;
      RedPlane.reset();
      BluePlane.reset();
      MainPlane->Role = 0;
    } else {
      MainPlane->Role = 1;
    }
  }
  if (!ok) AllocFailed = 1;
  UpdateGeometryCards();
  return ok;
}

void TAImage::SetSize(int32_t w, int32_t h, bool colour) {
  if (!Resize(w, h, colour)) ThrowOutOfMemory();
}

bool TAImage::SameSize(const TAImage& other, bool alsoKind) const {
  return Width() == other.Width() && Height() == other.Height() &&
         (!alsoKind || IsColour() == other.IsColour());
}

bool TAImage::SameKind(const TAImage& other) const {
  if (IsColour() != other.IsColour() || IsFloat != other.IsFloat || HasWcs != other.HasWcs ||
      HasPoly != other.HasPoly)
    return false;
  return !HasWcs || Wcs.HasSipTerms() == other.Wcs.HasSipTerms();
}

bool TAImage::IsBigColour() const {
  return IsColour() && Width() > 20 && Height() > 20 && PixelCount() > 1999999;
}

bool TAImage::IsMediumColour() const {
  return IsColour() && Width() > 20 && Height() > 20 && PixelCount() > 639999;
}

// ---------------------------------------------------------------------------------------
// Data format

void TAImage::SetColour(bool colour) {
  if (colour == IsColour()) return;
  if (colour) {
    std::unique_ptr<TBWImage> red = MainPlane->Clone();
    std::unique_ptr<TBWImage> blue = MainPlane->Clone();
    if (!red || !blue) ThrowOutOfMemory();
    red->Role = 2;
    blue->Role = 3;
    red->Mask = blue->Mask = Mask.get();
    RedPlane = std::move(red);
    BluePlane = std::move(blue);
    MainPlane->Role = 1;
    UpdateGeometryCards();
    return;
  }
  float* g = MainPlane->Data;
  const float* r = RedPlane->Data;
  const float* b = BluePlane->Data;
  const int64_t n = MainPlane->Count;
  for (int64_t i = 0; i < n; ++i) g[i] = float(Lum(g[i], r[i], b[i]));
  DropColour();
}

void TAImage::KeepChannel(int32_t k) {
  if (!IsColour() || k < 1 || k > 3) return;
  if (k == 2) RedPlane->CopyTo(*MainPlane);
  if (k == 3) BluePlane->CopyTo(*MainPlane);
  DropColour();
}

void TAImage::DropColour() {
  const bool wasColour = RedPlane || BluePlane;
  RedPlane.reset();
  BluePlane.reset();
  MainPlane->Role = 0;
  if (wasColour) UpdateGeometryCards();
}

// ---------------------------------------------------------------------------------------
// Copies

void TAImage::CopyPixels(TAImage& dst) const {
  if (&dst == this || !SameSize(dst, false)) return;
  MainPlane->CopyTo(*dst.MainPlane);
  if (IsColour() && dst.IsColour()) {
    RedPlane->CopyTo(*dst.RedPlane);
    BluePlane->CopyTo(*dst.BluePlane);
  }
}

void TAImage::CopySettings(TAImage& dst, bool header, bool visuFull, bool wcs) const {
  if (&dst == this) return;
  dst.IsFloat = IsFloat;
  dst.DataMin = DataMin;
  dst.DataMax = DataMax;
  dst.BackgroundLevel = BackgroundLevel;
  dst.SetOutsideValue(OutsideValue());
  dst.Symmetric = Symmetric;
  dst.Visu.CopyFrom(Visu);
  if (visuFull) dst.Visu.Palette.CopyFrom(Visu.Palette);  // the second group
  if (header) {
    dst.Header = Header;
    if (!SameSize(dst, true)) dst.UpdateGeometryCards();
  }
  if (wcs) {
    dst.HasWcs = HasWcs;
    dst.HasPoly = HasPoly;
    dst.Wcs = Wcs;
    dst.Poly0 = Poly0;
    dst.Poly1 = Poly1;
  }
}

void TAImage::CopyHistory(TAImage& dst) const {
  if (&dst != this) History.CopyTo(dst.History);
}

void TAImage::CopyTo(TAImage& dst) const {
  if (&dst == this) return;
  dst.SetSize(Width(), Height(), IsColour());
  CopySettings(dst, true, true, true);
  CopyHistory(dst);
  dst.Modified = Modified;
  CopyPixels(dst);
  if (Mask->HasStorage() && !Mask->CopyTo(*dst.Mask)) ThrowOutOfMemory();
}

std::unique_ptr<TAImage> TAImage::NewLike(bool pixelsAndSettings, bool full) const {
  auto img = std::make_unique<TAImage>();
  if (full) {
    CopyTo(*img);
    return img;
  }
  img->SetSize(Width(), Height(), IsColour());
  if (pixelsAndSettings) {
    CopyPixels(*img);
    CopySettings(*img, false, false, false);
  }
  return img;
}

void TAImage::ExtractTo(TAImage& dst, int32_t col, int32_t row, bool withWcs) const {
  if (&dst == this) return;
  if (Mask->HasStorage()) {
    TAMask& dm = *dst.Mask;
    dm.SetSize(dst.Width(), dst.Height());
    if (!dm.CopyRegionFrom(*Mask, col, row)) ThrowOutOfMemory();
  }
  MainPlane->ExtractTo(*dst.MainPlane, col, row);
  if (dst.IsColour()) {
    (IsColour() ? *RedPlane : *MainPlane).ExtractTo(*dst.RedPlane, col, row);
    (IsColour() ? *BluePlane : *MainPlane).ExtractTo(*dst.BluePlane, col, row);
  }
  if (withWcs && HasWcs) {
    CopySettings(dst, false, false, true);
    dst.Wcs.CropWCS(col, row);
  }
}

bool TAImage::SameImage(const TAImage& other) const {
  if (!SameSize(other, true)) return false;
  if (!MainPlane->Equals(*other.MainPlane)) return false;
  return !IsColour() ||
         (RedPlane->Equals(*other.RedPlane) && BluePlane->Equals(*other.BluePlane));
}

void TAImage::SaveVisualization() {
  if (!SavedVisu) SavedVisu = std::make_unique<TImageVisu>();
  SavedVisu->CopyFrom(Visu);
}

void TAImage::RestoreVisualization() {
  if (SavedVisu) Visu.CopyFrom(*SavedVisu);
}

// ---------------------------------------------------------------------------------------
// Pixel access

float TAImage::Luminance(int32_t col, int32_t row) const {
  return LuminanceOr(col, row, MainPlane->OutsideValue);
}

float TAImage::LuminanceOr(int32_t col, int32_t row, float def) const {
  if (col < 0 || row < 0 || col >= Width() || row >= Height()) return def;
  const float g = MainPlane->GetPixelUnchecked(col, row);
  if (!IsColour()) return g;
  return float(Lum(g, RedPlane->GetPixelUnchecked(col, row),
                   BluePlane->GetPixelUnchecked(col, row)));
}

float TAImage::LuminanceMirror(int32_t col, int32_t row) const {
  const float g = MainPlane->GetPixelMirror(col, row);
  if (!IsColour()) return g;
  return float(Lum(g, RedPlane->GetPixelMirror(col, row), BluePlane->GetPixelMirror(col, row)));
}

float TAImage::Luminance3x3(int32_t col, int32_t row) const {
  if (col < 1 || row < 1 || col > Width() - 2 || row > Height() - 2) return 0.0f;
  const double g = MainPlane->BlockSum(col - 1, row - 1, 3);
  if (!IsColour()) return float(g);
  return float(Lum(g, RedPlane->BlockSum(col - 1, row - 1, 3),
                   BluePlane->BlockSum(col - 1, row - 1, 3)));
}

float TAImage::LuminanceBilinear(float x, float y) const {
  const float g = MainPlane->Bilinear(x, y);
  if (!IsColour()) return g;
  return float(Lum(g, RedPlane->Bilinear(x, y), BluePlane->Bilinear(x, y)));
}

void TAImage::GetRGB(int32_t col, int32_t row, float& r, float& g, float& b) const {
  if (col < 0 || row < 0 || col >= Width() || row >= Height()) {
    r = g = b = 0.0f;
    return;
  }
  g = MainPlane->GetPixelUnchecked(col, row);
  r = IsColour() ? RedPlane->GetPixelUnchecked(col, row) : g;
  b = IsColour() ? BluePlane->GetPixelUnchecked(col, row) : g;
}

void TAImage::SetAll(int32_t col, int32_t row, float v) {
  MainPlane->SetPixel(col, row, v);
  if (IsColour()) {
    RedPlane->SetPixel(col, row, v);
    BluePlane->SetPixel(col, row, v);
  }
}

void TAImage::SetRGB(int32_t col, int32_t row, float b, float g, float r) {
  MainPlane->SetPixel(col, row, g);
  if (IsColour()) {
    RedPlane->SetPixel(col, row, r);
    BluePlane->SetPixel(col, row, b);
  }
}

namespace {

// Visits the offsets (dx, dy) of the square of half-size r, row by row from (-r, -r),
// limited to those whose pixel lies inside a width × height image; with disc only those
// with dx² + dy² <= r(r + 1). Work is bounded by the image, whatever r is.
template <class F>
void ForEachNear(int32_t col, int32_t row, int32_t r, bool disc, int32_t width,
                 int32_t height, F&& f) {
  const int64_t rr = std::max<int64_t>(r, 0);
  const int64_t limit = rr * (rr + 1);
  const int64_t y0 = std::max<int64_t>(-rr, -int64_t(row));
  const int64_t y1 = std::min<int64_t>(rr, int64_t(height) - 1 - row);
  const int64_t x0 = std::max<int64_t>(-rr, -int64_t(col));
  const int64_t x1 = std::min<int64_t>(rr, int64_t(width) - 1 - col);
  for (int64_t dy = y0; dy <= y1; ++dy)
    for (int64_t dx = x0; dx <= x1; ++dx)
      if (!disc || dx * dx + dy * dy <= limit) f(int32_t(col + dx), int32_t(row + dy));
}

}  // namespace

void TAImage::BrightestNear(int32_t col, int32_t row, int32_t r, bool circular, int32_t& bx,
                            int32_t& by) const {
  bx = col;
  by = row;
  float best = LuminanceOr(col, row, -std::numeric_limits<float>::infinity());
  ForEachNear(col, row, r, circular, Width(), Height(), [&](int32_t x, int32_t y) {
    const float v = LuminanceOr(x, y, 0.0f);
    if (v > best) {
      best = v;
      bx = x;
      by = y;
    }
  });
}

void TAImage::BrightestNear3x3(int32_t col, int32_t row, int32_t r, int32_t& bx,
                               int32_t& by) const {
  bx = col;
  by = row;
  const bool inside = col >= 0 && row >= 0 && col < Width() && row < Height();
  float best = inside ? Luminance3x3(col, row) : -std::numeric_limits<float>::infinity();
  ForEachNear(col, row, r, true, Width(), Height(), [&](int32_t x, int32_t y) {
    const float v = Luminance3x3(x, y);
    if (v > best) {
      best = v;
      bx = x;
      by = y;
    }
  });
}

void TAImage::CentroidNear(int32_t col, int32_t row, float threshold, int32_t r, double& x,
                           double& y) const {
  double sw = 0, sx = 0, sy = 0;
  ForEachNear(col, row, r, true, Width(), Height(), [&](int32_t px, int32_t py) {
    const double w = double(LuminanceOr(px, py, 0.0f)) - threshold;
    if (w > 0) {
      sw += w;
      sx += w * px;
      sy += w * py;
    }
  });
  if (sw > 0 && std::isfinite(sw)) {
    x = sx / sw;
    y = sy / sw;
  } else {
    x = col;
    y = row;
  }
}

float TAImage::LocalBackground(int32_t col, int32_t row) const {
  constexpr int32_t kOuter = 15;  // 31 × 31 square
  constexpr int32_t kInner = 3;   // without its central 7 × 7
  constexpr int32_t kN = 31 * 31 - 7 * 7;
  std::array<float, kN> v;
  int32_t n = 0;
  for (int32_t dy = -kOuter; dy <= kOuter; ++dy)
    for (int32_t dx = -kOuter; dx <= kOuter; ++dx) {
      if (std::abs(dx) <= kInner && std::abs(dy) <= kInner) continue;
      const int64_t x = int64_t(col) + dx;
      const int64_t y = int64_t(row) + dy;
      // Points far outside fall back to the nearest edge through the mirror's clamp.
      v[size_t(n++)] = LuminanceMirror(int32_t(Clamp<int64_t>(x, -kMaxSide, 2 * kMaxSide)),
                                       int32_t(Clamp<int64_t>(y, -kMaxSide, 2 * kMaxSide)));
    }
  std::sort(v.begin(), v.end());
  constexpr int32_t lo = (kN + 1) / 3;  // 304
  constexpr int32_t hi = 2 * lo;        // 608
  double sum = 0;
  for (int32_t i = lo; i <= hi; ++i) sum += v[size_t(i)];
  return float(sum / double(hi - lo + 1));
}

bool TAImage::ImportBitmap(int32_t width, int32_t height, int32_t bytesPerPixel,
                           int64_t stride, const uint8_t* pixels) {
  if (!pixels || !IsColour() || width != Width() || height != Height()) return false;
  if (bytesPerPixel != 3 && bytesPerPixel != 4) return false;
  if (stride < int64_t(width) * bytesPerPixel) return false;
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* src = pixels + int64_t(height - 1 - y) * stride;
    float* g = MainPlane->RowPointer(0, y);
    float* r = RedPlane->RowPointer(0, y);
    float* b = BluePlane->RowPointer(0, y);
    for (int32_t x = 0; x < width; ++x, src += bytesPerPixel) {
      b[x] = src[0];
      g[x] = src[1];
      r[x] = src[2];
    }
  }
  return true;
}

// ---------------------------------------------------------------------------------------
// Whole-image operations

template <class F>
void TAImage::ForEachPlane(F&& f) {
  f(*MainPlane);
  if (IsColour()) {
    f(*RedPlane);
    f(*BluePlane);
  }
}

const TBWImage& TAImage::OtherPlane(const TAImage& other, const TBWImage& mine) const {
  if (!other.IsColour()) return *other.MainPlane;
  if (&mine == RedPlane.get()) return *other.RedPlane;
  if (&mine == BluePlane.get()) return *other.BluePlane;
  return *other.MainPlane;
}

template <class F>
void TAImage::ForEachPlanePair(const TAImage& other, F&& f) {
  if (!SameSize(other, false)) return;
  ForEachPlane([&](TBWImage& p) { f(p, OtherPlane(other, p)); });
}

void TAImage::FlipH(bool withWcs, bool withMask) {
  ForEachPlane([](TBWImage& p) { p.FlipH(); });
  if (withMask) Mask->FlipH();
  if (withWcs && HasWcs) Wcs.FlipWCS(Width(), Height(), false);
}

void TAImage::FlipV(bool withWcs, bool withMask) {
  ForEachPlane([](TBWImage& p) { p.FlipV(); });
  if (withMask) Mask->FlipV();
  if (withWcs && HasWcs) Wcs.FlipWCS(Width(), Height(), true);
}

void TAImage::SwapFieldRows() {
  ForEachPlane([](TBWImage& p) { p.SwapFieldRows(); });
}

void TAImage::Blend(const TAImage& other, double a, double b) {
  ForEachPlanePair(other, [&](TBWImage& p, const TBWImage& o) { p.Blend(o, a, b); });
}

void TAImage::Add(const TAImage& other) {
  ForEachPlanePair(other, [](TBWImage& p, const TBWImage& o) { p.Add(o); });
}

void TAImage::Subtract(const TAImage& other) {
  ForEachPlanePair(other, [](TBWImage& p, const TBWImage& o) { p.Subtract(o); });
}

void TAImage::Min(const TAImage& other) {
  ForEachPlanePair(other, [](TBWImage& p, const TBWImage& o) { p.Min(o); });
}

void TAImage::Max(const TAImage& other) {
  ForEachPlanePair(other, [](TBWImage& p, const TBWImage& o) { p.Max(o); });
}

void TAImage::AbsDiff(const TAImage& other) {
  ForEachPlanePair(other, [](TBWImage& p, const TBWImage& o) { p.AbsDiff(o); });
}

void TAImage::MultiplyNormalized(const TAImage& other, double k) {
  ForEachPlanePair(other, [k](TBWImage& p, const TBWImage& o) { p.MultiplyNormalized(o, k); });
}

void TAImage::DivideNormalized(const TAImage& other, double k) {
  ForEachPlanePair(other, [k](TBWImage& p, const TBWImage& o) { p.DivideNormalized(o, k); });
}

void TAImage::LinearFrom(const TAImage& other, double a, double b, double c) {
  ForEachPlanePair(other,
                   [&](TBWImage& p, const TBWImage& o) { p.LinearFrom(o, a, b, c); });
}

void TAImage::Fill(float v) {
  ForEachPlane([v](TBWImage& p) { p.Fill(v); });
}

void TAImage::AddConst(double v) {
  ForEachPlane([v](TBWImage& p) { p.AddConst(v); });
}

void TAImage::AddWrap(double v) {
  ForEachPlane([v](TBWImage& p) { p.AddWrap(v); });
}

void TAImage::MulConst(double v) {
  ForEachPlane([v](TBWImage& p) { p.MulConst(v); });
}

void TAImage::Linear(double a, double b) {
  ForEachPlane([a, b](TBWImage& p) { p.Linear(a, b); });
}

void TAImage::LinearAround(double a, double b, double c) {
  ForEachPlane([a, b, c](TBWImage& p) { p.LinearAround(a, b, c); });
}

void TAImage::LogScale(double f) {
  ForEachPlane([f](TBWImage& p) { p.LogScale(f); });
}

void TAImage::Clip(float lo, float hi) {
  ForEachPlane([lo, hi](TBWImage& p) { p.Clip(lo, hi); });
}

void TAImage::ReplaceBelow(float v, float t) {
  ForEachPlane([v, t](TBWImage& p) { p.ReplaceBelow(v, t); });
}

void TAImage::ReplaceAbove(float v, float t) {
  ForEachPlane([v, t](TBWImage& p) { p.ReplaceAbove(v, t); });
}

void TAImage::RoundAll() {
  if (!IsFloat) ForEachPlane([](TBWImage& p) { p.RoundAll(); });
}

void TAImage::SetOutsideValue(float v) {
  ForEachPlane([v](TBWImage& p) { p.OutsideValue = v; });
}

// ---------------------------------------------------------------------------------------
// Statistics

void TAImage::RefreshMinMax() {
  float lo = std::numeric_limits<float>::infinity();
  float hi = -std::numeric_limits<float>::infinity();
  const bool rounded = !IsFloat;
  ForEachPlane([&](TBWImage& p) {
    float mn = 0, mx = 0;
    if (rounded)
      p.MinMaxRounded(mn, mx);
    else
      p.MinMax(mn, mx);
    lo = std::min(lo, mn);
    hi = std::max(hi, mx);
  });
  DataMin = lo;
  DataMax = hi;
}

void TAImage::RefreshBackground() {
  const double g = MainPlane->EstimateBackground();
  double bg = g;
  bool sym = MainPlane->Symmetric != 0;
  if (IsColour()) {
    const double r = RedPlane->EstimateBackground();
    const double b = BluePlane->EstimateBackground();
    bg = 0.30 * r + 0.59 * g + 0.11 * b;
    sym = sym && RedPlane->Symmetric && BluePlane->Symmetric;
  }
  if (!IsFloat) bg = RoundHalfEven(bg);
  BackgroundLevel = float(bg);
  Symmetric = sym ? 1 : 0;
}

void TAImage::RefreshStatistics() {
  RefreshMinMax();
  RefreshBackground();
}

void TAImage::MeanAndStdDev(double& sum, double& stdDev) const {
  MainPlane->SumAndStdDev(sum, stdDev);
  if (!IsColour()) return;
  double rs = 0, rd = 0, bs = 0, bd = 0;
  RedPlane->SumAndStdDev(rs, rd);
  BluePlane->SumAndStdDev(bs, bd);
  sum = Lum(sum, rs, bs);
  stdDev = Lum(stdDev, rd, bd);
}

std::string TAImage::StatusText(bool shortForm) const {
  std::string s = IsFloat ? "FP " : "";
  s += FormatValue(DataMin) + " : " + FormatValue(DataMax) + "     B = " +
       FormatValue(BackgroundLevel) + (shortForm ? "     " : "     V = ") +
       FormatValue(Visu.Low) + " : " + FormatValue(Visu.High);
  // The later tests win: 1001 is both above 1000 and a Gaussian equalization.
  const int32_t t = Visu.TransferType;
  std::string code = " Lin";
  if (t < 0) code = " Log";
  if (t > 0) code = " Exp";
  if (t >= 1000) code = " Equ";
  if (t == 1001 || t == 1004) code = " Gau";
  if (t == 1002) code = " Crv";
  return s + code;
}

// ---------------------------------------------------------------------------------------
// Calibration and world coordinates

void TAImage::LoadWcsFromHeader() {
  HasWcs = Wcs.ReadWCS(Header) ? 1 : 0;
  LoadPolyFromHeader();
}

void TAImage::StoreWcsToHeader() {
  if (HasWcs) Wcs.WriteWCS(Header);
  StorePolyToHeader();
}

void TAImage::LoadPolyFromHeader() {
  bool f0 = false, f1 = false;
  Poly0 = Header.GetReal("PPOLY0", f0);
  Poly1 = Header.GetReal("PPOLY1", f1);
  HasPoly = f0 && f1 ? 1 : 0;
}

void TAImage::StorePolyToHeader() {
  if (!HasPoly) return;
  Header.SetReal("PPOLY0", true, Poly0);
  Header.SetReal("PPOLY1", true, Poly1);
}

void TAImage::DeleteWcs(bool solution, bool poly) {
  if (solution) {
    Header.DeleteWcsKeys();
    HasWcs = 0;
  }
  if (poly) {
    Header.DeletePolyKeys();
    HasPoly = 0;
  }
}

double TAImage::PolyMagnitude(double v) const {
  if (!HasPoly || !(v >= 1.0)) return 99.0;
  const double m = Poly0 + Poly1 * std::log(v);
  return RoundHalfEven(m * 1000.0) / 1000.0;
}

double TAImage::PolyValue(double m) const {
  if (!(std::fabs(Poly1) >= 1e-6)) return 0.0;
  double v = std::exp((m - Poly0) / Poly1);
  if (!(v >= 0.0)) v = 0.0;  // NaN too
  v = std::min(v, 1e20);
  return IsFloat ? v : RoundHalfEven(v);
}

// ---------------------------------------------------------------------------------------
// Observation time

std::optional<double> TAImage::ObservationJD() const {
  std::string date, time;
  Header.GetDateTimeObs(date, time);
  if (std::optional<double> jd = DateTextToJD(date, time)) return jd;
  bool found = false;
  const double jd = Header.GetReal("JD", found);
  if (found && std::isfinite(jd) && jd > 0) return jd;
  return std::nullopt;
}

std::optional<double> TAImage::LocalDateJD() const {
  bool found = false;
  const std::string date = Header.GetString("DATE-LOC", found);
  if (!found) return std::nullopt;
  return DateTextToJD(date, {});
}

}  // namespace orlu
