#pragma once
// The outline of the dark bubble that every panel is drawn in: a body with 18-point rounded
// corners whose top edge is at y = 10, and a 20-point wide, 8-point tall arrow with a rounded
// tip pointing up at the tray icon. It is a plain list of path elements, so the view replays it
// into its toolkit's path without any geometry of its own. Drawing coordinates: origin at the
// panel's top left, y growing downwards. A panel that opens upwards from a bar at the bottom of
// the screen has the same outline upside down: the arrow at the bottom, pointing down.
#include <vector>

#include "core/tray/tray_anchor.h"
#include "core/tray/screen_rect.h"

namespace talvo {

struct BubblePathElement {
  enum class Kind { moveTo, lineTo, quadTo, close };
  Kind kind = Kind::moveTo;
  ScreenPoint point;    // end point (unused by close)
  ScreenPoint control;  // control point of quadTo only

  bool operator==(const BubblePathElement&) const = default;
};

struct TrayBubble {
  static constexpr double arrowMargin = 30;  // the arrow never comes closer to an edge
  static constexpr double arrowDepth = 10;   // the body starts this far from the arrow's side;
                                             // the content gets as much extra padding there

  double arrowX = 180;  // arrow position from the panel's left edge
  PanelOpening opening = PanelOpening::downward;

  // The arrow position actually drawn in a panel `width` wide.
  double clampedArrowX(double width) const;
  std::vector<BubblePathElement> outline(double width, double height) const;
};

}  // namespace talvo
