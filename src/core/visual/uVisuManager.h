// The visualization strip of the main window: a vertical ramp of the active image's palette
// with two handles, for Low and High, that set the view range by dragging. The strip draws
// into its own 32-bit surface; the window shows it and forwards the mouse.
#pragma once

#include <cstdint>

#include "visual/ImaPalette.h"
#include "visual/ImaRender.h"

namespace orlu {

class TAImage;

class TVisuManager {
 public:
  // A 12 × 100 surface with a gray palette and no image.
  TVisuManager();

  TAPalette Palette;            // copy of the active image's palette; gray without one
  TBgraBitmap Surface;          // bottom-up like every bitmap of the core
  uint32_t FaceColour = 0xFFF0F0F0u;  // background (the window's button-face colour)

  // The active image (not owned; nullptr when none). Copies its palette and redraws. The
  // caller clears it before the image goes away.
  void SetImage(TAImage* image);
  TAImage* Image() const { return FImage; }
  // Follows the tool window: height = windowHeight - 20 (at least 2), width at least 2.
  // False when the surface got no memory.
  bool Resize(int32_t windowWidth, int32_t windowHeight);
  // Redraws the ramp, its frame and the handles.
  void Draw();

  // Height of the position scale: surface height - 20 (at least 1). Positions count from
  // the bottom of the scale, which lies 10 pixels above the bottom of the surface.
  int32_t ScaleHeight() const;
  // Position of a data value on the logarithmic scale between the image's data minimum and
  // maximum (split at the middle for zero-centred data); 0 without an image.
  double PositionOf(double v) const;
  // The inverse of PositionOf.
  double ValueAt(double position) const;

  // Mouse, y in surface pixels from the top. A press within 10 pixels of a handle grabs
  // the nearer one (true); the right button moves 10 times finer, Ctrl 10 times finer again.
  bool MouseDown(int32_t x, int32_t y, bool rightButton, bool ctrl);
  // Moves the grabbed handle and sets the image's range (SetVisualization, type kept); true
  // when the visualization changed (the caller re-renders the image).
  bool MouseMove(int32_t y);
  void MouseUp();
  // 0 none, 1 the low handle, 2 the high handle.
  int32_t Dragging() const { return FDrag; }
  // A double click within 3 pixels of the ramp's centre column: true, the caller opens the
  // palette file dialog.
  bool DoubleClick(int32_t x, int32_t y) const;

 private:
  int32_t RampLeft() const { return (Surface.Width() - 9) / 2; }
  TAImage* FImage = nullptr;
  int32_t FDrag = 0;
  double FPressPos = 0;
  int32_t FPressY = 0;
  double FFactor = 1;
};

}  // namespace orlu
