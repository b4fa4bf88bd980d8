#include "core/menu_bar_bubble.h"

#include <algorithm>

namespace talvo {

double MenuBarBubble::clampedArrowX(double width) const {
  return std::min(width - arrowMargin, std::max(arrowMargin, arrowX));
}

std::vector<BubblePathElement> MenuBarBubble::outline(double w, double h) const {
  using Kind = BubblePathElement::Kind;
  const double ax = clampedArrowX(w);
  auto move = [](double x, double y) { return BubblePathElement{Kind::moveTo, {x, y}, {}}; };
  auto line = [](double x, double y) { return BubblePathElement{Kind::lineTo, {x, y}, {}}; };
  auto quad = [](double x, double y, double cx, double cy) { return BubblePathElement{Kind::quadTo, {x, y}, {cx, cy}}; };
  return {
      move(18, 10),
      line(ax - 10, 10),
      line(ax - 3, 2),
      quad(ax + 3, 2, ax, -1),  // the rounded arrow tip
      line(ax + 10, 10),
      line(w - 18, 10),
      quad(w, 28, w, 10),
      line(w, h - 18),
      quad(w - 18, h, w, h),
      line(18, h),
      quad(0, h - 18, 0, h),
      line(0, 28),
      quad(18, 10, 0, 10),
      BubblePathElement{Kind::close, {}, {}},
  };
}

}  // namespace talvo
