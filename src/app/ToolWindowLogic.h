// Rules of the tool-window frame, without Qt: title buttons and their actions, the
// borderless hit test, enlarging, captions and the binding of a window to a document.
#pragma once

#include <cstdint>
#include <string>

namespace orlu {

inline constexpr int32_t kTitleButtonsWidth = 120;
inline constexpr int32_t kTitleButtonWidth = 30;
inline constexpr int64_t kTitleDoubleClickMs = 450;

// Title buttons: 1 pin, 2 roll up, 3 enlarge, 4 close; 0 none.
int32_t TitleButtonAt(int32_t x, int32_t titleWidth);

enum class TTitleMouse : uint8_t { Left, Right, Other };

// Press and release on the title strip; Release gives the action (0 none, 1 to 4).
class TTitleTracker {
 public:
  // True when the press should start a system move of the window (left of the buttons,
  // not the second press of a double-click).
  bool Press(TTitleMouse button, int32_t x, int32_t titleWidth, int64_t nowMs);
  int32_t Release(TTitleMouse button, int32_t x, int32_t titleWidth, bool rolledUp);
  // Hover button under x; true when it changed.
  bool Hover(int32_t x, int32_t titleWidth);
  int32_t PressedButton() const { return Pressed_; }
  int32_t HoverButton() const { return Hover_; }

 private:
  int32_t Pressed_ = 0;
  int32_t Hover_ = 0;
  int64_t LastPressMs_ = -1000000;
  bool DoubleClick_ = false;
};

enum class THitArea : uint8_t {
  Client, Caption, Top, TopLeft, TopRight, Left, Right, Bottom, BottomLeft, BottomRight
};
// Borderless resize areas of a w × h window at (x, y).
THitArea ToolHitTest(int32_t w, int32_t h, int32_t x, int32_t y, bool rolledUp);

struct TToolSize {
  int32_t W = 0;
  int32_t H = 0;
  bool Enlarged = false;
};
// Title double-click: grows a small window to at least 27h + 8 by 24h + 2 (h the title
// height); otherwise back to the remembered size of its kind.
TToolSize EnlargeSize(int32_t w, int32_t h, int32_t titleH, bool enlarged, int32_t rememberedW,
                      int32_t rememberedH);

// Offset from the main window at creation: (mainW − winW) div 2 + 8·(k mod 4) + dx, dy.
void InitialToolOffset(int32_t mainW, int32_t winW, int32_t k, int32_t dx, int32_t dy,
                       int32_t& offsetX, int32_t& offsetY);

// Caption: the window's own name without a document; the title as is when pinned, else
// "( title )".
std::string ToolCaption(const std::string& ownName, bool hasDocument, const std::string& title,
                        bool pinned);
// Appends "  [n/k]" or "  [k]" (nothing for k <= 0, or k = 1 with n other than 1).
std::string CaptionCounted(const std::string& text, int32_t k, int32_t n);

// What a window must do when asked to bind to a document.
enum class TBindStep : uint8_t { Ignore, Take, ApplyEditsThenTake };
// What a window must do when its document closes.
enum class TCloseStep : uint8_t { None, CloseWindow, Empty };

// The binding of one tool window. Documents are compared by identity only.
class TToolBinding {
 public:
  explicit TToolBinding(bool pinned = true) : Pinned_(pinned) {}
  const void* Document() const { return Doc_; }
  bool Pinned() const { return Pinned_; }
  void SetPinned(bool p) { Pinned_ = p; }
  // Decides and, unless Ignore, takes doc.
  TBindStep Bind(const void* doc, bool force, bool pendingEdits);
  // The document is closing; drops it when it is this window's.
  TCloseStep Closing(const void* doc);

 private:
  const void* Doc_ = nullptr;
  bool Pinned_ = true;
};

}  // namespace orlu
