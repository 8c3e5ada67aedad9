// The zoom model of image windows: zoom codes, their scales and percentages, the zoom
// steps with their snap to fit, and the window sizes of fit and automatic sizing. Qt-free.
#pragma once

#include <cstdint>

namespace orlu {

inline constexpr int32_t kZoomCodeMin = -942;  // 18/960, 1.875 %
inline constexpr int32_t kZoomCodeMax = 10;    // 3000 %
inline constexpr int32_t kZoomDenominator = 960;

// Codes outside kZoomCodeMin … kZoomCodeMax are held at the nearer end.
int32_t ClampZoomCode(int32_t code);
// Scale numerator of a code: the table 960 … 28800 for codes 0 … 10, 960 + code below 0.
int32_t ZoomNumerator(int32_t code);
// Scale = numerator / 960.
double ZoomScale(int32_t code);
// Percentage = numerator × 100 / 960 (not rounded).
double ZoomPercent(int32_t code);
// The percentage as captions and status lines show it: rounded half to even.
int32_t ZoomPercentShown(int32_t code);
// The smallest code whose percentage is at least 0.9998 × percent; 10 when none is.
int32_t ZoomCodeForPercent(double percent);

// Screen pixels that n image pixels cover at a code: ceil(n × numerator / 960), so a
// partly shown last pixel counts.
int64_t ZoomedExtent(int64_t n, int32_t code);

// The largest code at which a width × height image fits into availW × availH screen pixels
// (kZoomCodeMin when none does).
int32_t FitCode(int32_t width, int32_t height, int32_t availW, int32_t availH);

// What the zoom steps look at.
struct TZoomState {
  int32_t Code = 0;
  bool Shift = false;
  bool ScrollBarShown = false;  // either scroll bar of the image panel
  int32_t ClientW = 0;          // the panel's client area
  int32_t ClientH = 0;
  int32_t PanelW = 0;           // the zoomed image (ZoomedExtent of each side)
  int32_t PanelH = 0;
  int32_t FitCode = 0;          // FitCode of the image into the client area
};

// The code after "Zoom +"; the current code when nothing changes (above code 9).
int32_t ZoomInCode(const TZoomState& s);
// The code after "Zoom -"; the current code when nothing changes (below code -941).
int32_t ZoomOutCode(const TZoomState& s);

struct TSize32 {
  int32_t W = 0;
  int32_t H = 0;
  bool operator==(const TSize32&) const = default;
};

// Margin around the zoomed image inside an image window's client area.
inline constexpr int32_t kViewMargin = 8;

// Client size of a new image window: min(width × scale + 8, mainW − 44 − 30 × cascade) by
// min(height × scale + bar + 8, mainH − 70), each at least 100 and at least minSize.
TSize32 CreateViewClientSize(int32_t width, int32_t height, int32_t code, int32_t barHeight,
                             TSize32 mainClient, int32_t cascadeIndex, TSize32 minSize);
// The largest code from 0 downwards at which the image with its margins and bottom bar fits
// into (mainW − 44) × (mainH − 70).
int32_t AutoViewCode(int32_t width, int32_t height, int32_t barHeight, TSize32 mainClient);
// Client size of "Fit to image": image × scale + 8 (height also + bar), at most the main
// client area less the window's offset and 30 × 50, at least 50 × 70.
TSize32 FitToImageClientSize(int32_t width, int32_t height, int32_t code, int32_t barHeight,
                             TSize32 mainClient, TSize32 windowOffset);

}  // namespace orlu
