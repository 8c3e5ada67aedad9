#include "visual/uVisuManager.h"

#include <algorithm>
#include <cmath>

#include "base/OrluMath.h"
#include "image/ImaColor.h"
#include "visual/ImaVisu.h"

namespace orlu {

namespace {

const double kE2 = std::exp(2.0) - 1.0;
const double kE3 = std::exp(3.0) - 1.0;

// Half-way blend of a colour with grey, for the ramp's frame.
uint32_t Shade(uint32_t c) {
  auto ch = [c](int s) { return ((((c >> s) & 0xFFu) + 0x80u) / 2u) << s; };
  return 0xFF000000u | ch(16) | ch(8) | ch(0);
}

}  // namespace

TVisuManager::TVisuManager() {
  Surface.SetSize(12, 100);
  Draw();
}

void TVisuManager::SetImage(TAImage* image) {
  FImage = image;
  FDrag = 0;
  if (image != nullptr)
    Palette.CopyFrom(image->Visu.Palette);
  else
    Palette.BuildPalette(kPaletteGray, 0);
  Draw();
}

bool TVisuManager::Resize(int32_t windowWidth, int32_t windowHeight) {
  const bool ok = Surface.SetSize(std::max(windowWidth, 2), std::max(windowHeight - 20, 2));
  Draw();
  return ok;
}

int32_t TVisuManager::ScaleHeight() const { return std::max(Surface.Height() - 20, 1); }

double TVisuManager::PositionOf(double v) const {
  if (FImage == nullptr || std::isnan(v)) return 0;
  const double h = ScaleHeight();
  const double m = FImage->DataMin, M = FImage->DataMax;
  if (FImage->Symmetric && M > 0 && m < 0) {
    if (v >= 0) return h / 2 + (h / 2) * std::log(1 + kE3 * std::min(v / M, 1.0)) / 3;
    return (h / 2) * (std::exp(3 * std::clamp((v - m) / -m, 0.0, 1.0)) - 1) / kE3;
  }
  // A constant image (M = m) puts everything at the bottom instead of dividing by zero.
  const double t = M > m ? std::clamp((v - m) / (M - m), 0.0, 1.0) : 0.0;
  return h * std::log(1 + kE2 * t) / 2;
}

double TVisuManager::ValueAt(double position) const {
  if (FImage == nullptr || std::isnan(position)) return 0;
  const double h = ScaleHeight();
  const double p = std::clamp(position, 0.0, h);
  const double m = FImage->DataMin, M = FImage->DataMax;
  if (FImage->Symmetric && M > 0 && m < 0) {
    if (p >= h / 2) return M * (std::exp(3 * (p - h / 2) / (h / 2)) - 1) / kE3;
    return m + (-m) * std::log(1 + kE3 * p / (h / 2)) / 3;
  }
  return m + (M - m) * (std::exp(2 * p / h) - 1) / kE2;
}

void TVisuManager::Draw() {
  if (Surface.Pixels() == nullptr) return;
  const int32_t w = Surface.Width(), h = Surface.Height();
  Surface.Fill(FaceColour);
  const int32_t x0 = RampLeft();
  for (int32_t y = 0; y < h; ++y) {
    const int32_t level = h > 1 ? Round(double(y) * 255.0 / (h - 1)) : 0;
    const uint32_t c = 0xFF000000u | Palette.Colors[size_t(std::clamp(level, 0, 255))];
    for (int32_t x = x0; x < x0 + 8; ++x) {
      if (x < 0 || x >= w) continue;
      const bool frame = x == x0 || x == x0 + 7 || y == 0 || y == h - 1;
      Surface.SetPixel(x, y, frame ? Shade(c) : c);
    }
  }
  if (FImage == nullptr) return;
  auto handle = [&](double value, bool active) {
    const int32_t row = 10 + Round(PositionOf(value));
    const uint32_t c = active ? 0xFFFFC000u : 0xFF404040u;
    for (int32_t y = row - 1; y <= row + 1; ++y)
      if (y >= 0 && y < h)
        for (int32_t x = 0; x < w; ++x) Surface.SetPixel(x, y, y == row ? c : Shade(c));
  };
  handle(FImage->Visu.Low, FDrag == 1);
  handle(FImage->Visu.High, FDrag == 2);
}

bool TVisuManager::MouseDown(int32_t x, int32_t y, bool rightButton, bool ctrl) {
  FDrag = 0;
  if (FImage == nullptr) return false;
  const double pos = double(Surface.Height() - 1 - y) - 10;
  const double pl = PositionOf(FImage->Visu.Low), ph = PositionOf(FImage->Visu.High);
  const double dl = std::abs(pos - pl), dh = std::abs(pos - ph);
  if (std::min(dl, dh) > 10) return false;
  // On coinciding handles the side of the press decides.
  FDrag = dh < dl || (dh == dl && pos >= ph) ? 2 : 1;
  FPressPos = FDrag == 2 ? ph : pl;
  FPressY = y;
  FFactor = (rightButton ? 0.1 : 1.0) * (ctrl ? 0.1 : 1.0);
  Draw();
  return true;
}

bool TVisuManager::MouseMove(int32_t y) {
  if (FImage == nullptr || FDrag == 0) return false;
  const double v = ValueAt(FPressPos + double(FPressY - y) * FFactor);
  TImageVisu& visu = FImage->Visu;
  const float oldLow = visu.Low, oldHigh = visu.High;
  if (FDrag == 2)
    SetVisualization(*FImage, visu.TransferType, v, visu.Low);
  else if (v > visu.High)
    SetVisualization(*FImage, visu.TransferType, v, v);
  else
    SetVisualization(*FImage, visu.TransferType, visu.High, v);
  Draw();
  return visu.Low != oldLow || visu.High != oldHigh;
}

void TVisuManager::MouseUp() {
  FDrag = 0;
  Draw();
}

bool TVisuManager::DoubleClick(int32_t x, int32_t y) const {
  return y >= 0 && y < Surface.Height() && std::abs(x - (RampLeft() + 4)) <= 3;
}

}  // namespace orlu
