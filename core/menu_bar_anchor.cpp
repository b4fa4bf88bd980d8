#include "core/menu_bar_anchor.h"

namespace talvo {

MenuBarAnchor MenuBarAnchor::reminderFallback(const ScreenRect& visibleFrame) {
  return MenuBarAnchor{ScreenRect{visibleFrame.maxX() - 192, visibleFrame.maxY() + 6, 0, 0}, visibleFrame,
                       std::nullopt};
}

}  // namespace talvo
