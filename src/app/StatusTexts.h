// Texts of image windows and the main window's status line: captions, the image status,
// the pixel and sky-coordinate readouts, and the hold of sticky status messages. Qt-free.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orlu {

class TAImage;
class TAstroDocument;
class TMiscOptions;

// The zoom percentage of captions and status lines: rounded, except that 100 % reached
// through a code other than 0 shows as 99 (the scale is not exactly 1).
int32_t CaptionPercent(int32_t zoomCode);
// title, then "  [" + percentage + "%]" when the code is not 0.
std::string CaptionText(const std::string& title, int32_t zoomCode);

// "%d x %d    RAM = %d Mb", the field of view with a solution, the zoom when it is not 100 %.
std::string ImageStatusText(const TAstroDocument& doc, int32_t zoomCode);

// "X = %-4d  Y = %-4d  Value = %-4s", for colour images with "  [R = …  G = …  B = …]".
// Image coordinates, 0-based, row 0 at the bottom; empty outside the image.
std::string PixelInfoText(const TAImage& image, int32_t x, int32_t y);
// "RA DEC[ SIP] = " + the coordinates of the pixel in the chosen forms; empty without a
// solution or outside the image.
std::string SkyInfoText(const TAImage& image, int32_t x, int32_t y, const TMiscOptions& options);

// Menu captions with automatic accelerators: each caption of at least 2 characters without
// an "&" gets one before its first character (compared in lower case) that no other item of
// the menu uses yet; blanks, control characters and non-ASCII bytes are never marked.
std::vector<std::string> AutoAccelerators(const std::vector<std::string>& captions);

// Toolbar icon size in pixels of option IconsMode: 1 … 4 give 20, 24, 28, 36; 0 (or any
// other value) chooses by the screen: above 170 dpi 36, above 140 dpi 28, above 110 dpi or a
// screen larger than 1900 × 900 24, else 20.
int32_t ToolbarIconSize(int32_t mode, double dpi, int32_t screenW, int32_t screenH);

// The hold of sticky status messages: a sticky message stays for its hold time against
// non-sticky ones; a sticky one replaces it at once.
class TStatusHold {
 public:
  // Whether a message arriving at nowMs (a clock in milliseconds) is shown; records it.
  bool Accept(int64_t nowMs, int32_t holdMs, bool sticky);
  bool Holding() const { return ShownAt_ != 0; }

 private:
  int64_t ShownAt_ = 0;  // clock of the sticky message held, 0 for none
  int32_t HoldMs_ = 4000;
};

}  // namespace orlu
