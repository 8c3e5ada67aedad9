#include "ToolWindowLogic.h"

#include <algorithm>

namespace orlu {

int32_t TitleButtonAt(int32_t x, int32_t titleWidth) {
  const int32_t d = x - (titleWidth - kTitleButtonsWidth);
  if (d < -2) return 0;
  return std::min(4, d / kTitleButtonWidth + 1);
}

bool TTitleTracker::Press(TTitleMouse button, int32_t x, int32_t titleWidth, int64_t nowMs) {
  if (button != TTitleMouse::Left) return false;
  Pressed_ = TitleButtonAt(x, titleWidth);
  DoubleClick_ = false;
  if (Pressed_ != 0) {
    LastPressMs_ = -1000000;
    return false;
  }
  if (nowMs - LastPressMs_ < kTitleDoubleClickMs) {
    DoubleClick_ = true;
    LastPressMs_ = -1000000;
    return false;
  }
  LastPressMs_ = nowMs;
  return true;
}

int32_t TTitleTracker::Release(TTitleMouse button, int32_t x, int32_t titleWidth, bool rolledUp) {
  const bool dbl = DoubleClick_;
  const int32_t pressed = Pressed_;
  DoubleClick_ = false;
  Pressed_ = 0;
  if (button == TTitleMouse::Right) return 2;
  if (dbl && rolledUp) return 2;
  if (dbl && button == TTitleMouse::Left) return 3;
  if (button != TTitleMouse::Left) return 0;
  const int32_t under = TitleButtonAt(x, titleWidth);
  return under == pressed ? under : 0;
}

bool TTitleTracker::Hover(int32_t x, int32_t titleWidth) {
  const int32_t b = TitleButtonAt(x, titleWidth);
  if (b == Hover_) return false;
  Hover_ = b;
  return true;
}

THitArea ToolHitTest(int32_t w, int32_t h, int32_t x, int32_t y, bool rolledUp) {
  if (rolledUp) return THitArea::Caption;
  const bool left9 = x < 9, right9 = x >= w - 9;
  if (y < 9) {
    if (left9) return THitArea::TopLeft;
    if (right9) return THitArea::TopRight;
    return THitArea::Top;
  }
  if (y >= h - 9) {
    if (left9) return THitArea::BottomLeft;
    if (right9) return THitArea::BottomRight;
  }
  if (x < 6) return THitArea::Left;
  if (x >= w - 6) return THitArea::Right;
  if (y >= h - 6) return THitArea::Bottom;
  return THitArea::Client;
}

TToolSize EnlargeSize(int32_t w, int32_t h, int32_t titleH, bool enlarged, int32_t rememberedW,
                      int32_t rememberedH) {
  const int32_t minW = 27 * titleH + 8, minH = 24 * titleH + 2;
  if (!enlarged && (w < minW || h < minH)) return {std::max(w, minW), std::max(h, minH), true};
  return {rememberedW, rememberedH, false};
}

void InitialToolOffset(int32_t mainW, int32_t winW, int32_t k, int32_t dx, int32_t dy,
                       int32_t& offsetX, int32_t& offsetY) {
  // mod of a negative k stays within 0..3.
  offsetX = (mainW - winW) / 2 + 8 * (((k % 4) + 4) % 4) + dx;
  offsetY = dy;
}

std::string ToolCaption(const std::string& ownName, bool hasDocument, const std::string& title,
                        bool pinned) {
  if (!hasDocument) return ownName;
  return pinned ? title : "( " + title + " )";
}

std::string CaptionCounted(const std::string& text, int32_t k, int32_t n) {
  if (k <= 0 || (k == 1 && n != 1)) return text;
  if (n >= 1 && n <= k) return text + "  [" + std::to_string(n) + "/" + std::to_string(k) + "]";
  return text + "  [" + std::to_string(k) + "]";
}

TBindStep TToolBinding::Bind(const void* doc, bool force, bool pendingEdits) {
  if (Pinned_ && Doc_ && doc != Doc_) return TBindStep::Ignore;
  if (doc == Doc_ && !force) return TBindStep::Ignore;
  const bool apply = Doc_ && doc != Doc_ && !Pinned_ && pendingEdits;
  Doc_ = doc;
  return apply ? TBindStep::ApplyEditsThenTake : TBindStep::Take;
}

TCloseStep TToolBinding::Closing(const void* doc) {
  if (!Doc_ || doc != Doc_) return TCloseStep::None;
  Doc_ = nullptr;
  return Pinned_ ? TCloseStep::CloseWindow : TCloseStep::Empty;
}

}  // namespace orlu
