#include "core/tray/tray_bubble.h"

#include <algorithm>

namespace talvo {

double TrayBubble::clampedArrowX(double width) const {
  return std::min(width - arrowMargin, std::max(arrowMargin, arrowX));
}

std::vector<BubblePathElement> TrayBubble::outline(double w, double h) const {
  using Kind = BubblePathElement::Kind;
  const double ax = clampedArrowX(w);
  // Upward panels are drawn upside down: every y is reflected within the panel's height.
  const bool flip = opening == PanelOpening::upward;
  auto at = [&](double x, double y) { return ScreenPoint{x, flip ? h - y : y}; };
  auto move = [&](double x, double y) { return BubblePathElement{Kind::moveTo, at(x, y), {}}; };
  auto line = [&](double x, double y) { return BubblePathElement{Kind::lineTo, at(x, y), {}}; };
  auto quad = [&](double x, double y, double cx, double cy) {
    return BubblePathElement{Kind::quadTo, at(x, y), at(cx, cy)};
  };
  return {
      move(18, 10),          line(ax - 10, 10),
      line(ax - 3, 2),       quad(ax + 3, 2, ax, -1),  // the rounded arrow tip
      line(ax + 10, 10),     line(w - 18, 10),
      quad(w, 28, w, 10),    line(w, h - 18),
      quad(w - 18, h, w, h), line(18, h),
      quad(0, h - 18, 0, h), line(0, 28),
      quad(18, 10, 0, 10),   BubblePathElement{Kind::close, {}, {}},
  };
}

}  // namespace talvo
