#include "core/tray/tray_panel_placement.h"

#include <gtest/gtest.h>

#include <limits>

#include "core/tray/tray_bubble.h"

namespace talvo {
namespace {

using TrayPanelPlacement::frame;
using TrayPanelPlacement::validTopAnchor;

// A 1440 × 900 screen with a 25-point bar at the top (the usable area under it) or at the bottom.
const ScreenRect screen{0, 0, 1440, 900};
const ScreenRect topBar{0, 25, 1440, 875};
const ScreenRect bottomBar{0, 0, 1440, 875};

TEST(TrayPanelPlacement, WorkedExample) {
  const ScreenRect icon{1300, 0, 24, 22};
  const ScreenRect panel = frame(icon, {360, 220}, topBar, TrayPanelPlacement::panelGap);
  EXPECT_EQ(panel, (ScreenRect{1072, 28, 360, 220}));
  EXPECT_EQ(TrayPanelPlacement::arrowX(icon, panel), 240);
  EXPECT_TRUE(validTopAnchor(icon, screen));
}

TEST(TrayPanelPlacement, FarRightIconPushesThePanelLeftAndTheArrowStaysInside) {
  const ScreenRect icon{1420, 0, 20, 22};
  const ScreenRect panel = frame(icon, {360, 220}, topBar, 6);
  EXPECT_EQ(panel.maxX(), 1432);  // 8 points from the right edge
  EXPECT_EQ(panel.x, 1072);
  const double arrow = TrayPanelPlacement::arrowX(icon, panel);
  EXPECT_EQ(arrow, 358);
  EXPECT_EQ(TrayBubble{arrow}.clampedArrowX(panel.width), 330);  // 30 points from the edge

  const ScreenRect left = frame({0, 0, 20, 22}, {360, 220}, topBar, 6);
  EXPECT_EQ(left.x, 8);
  EXPECT_EQ(TrayBubble{TrayPanelPlacement::arrowX({0, 0, 20, 22}, left)}.clampedArrowX(360), 30);
}

TEST(TrayPanelPlacement, TallOrWideContentIsCutToTheUsableArea) {
  const ScreenRect icon{700, 0, 24, 22};
  const ScreenRect tall = frame(icon, {360, 5000}, topBar, 6);
  EXPECT_EQ(tall.height, 859);  // the usable height minus 8 points on each side
  EXPECT_EQ(tall.y, 28);        // still hanging 6 points under the icon, inside the usable area
  EXPECT_EQ(tall.maxY(), 887);
  // An icon lower down cannot pull the cut panel below the inset's bottom.
  EXPECT_EQ(frame({700, 378, 24, 22}, {360, 5000}, topBar, 6).maxY(), 892);
  const ScreenRect wide = frame(icon, {5000, 200}, topBar, 6);
  EXPECT_EQ(wide.width, 1424);
  EXPECT_EQ(wide.x, 8);
  // Degenerate input still gives a positive size inside the screen.
  const ScreenRect tiny = frame(icon, {0, -5}, {0, 0, 10, 10}, 6);
  EXPECT_EQ(tiny.width, 1);
  EXPECT_EQ(tiny.height, 1);
}

TEST(TrayPanelPlacement, IconBelowTheUsableTopNeverLiftsThePanelAboveIt) {
  // A fallback anchor sits above the usable area: the panel's top is the usable top.
  const TrayAnchor fallback = TrayAnchor::reminderFallback(topBar);
  EXPECT_EQ(fallback.rect, (ScreenRect{1248, 19, 0, 0}));
  const ScreenRect panel = frame(fallback.rect, {360, 220}, fallback.visibleFrame, 6);
  EXPECT_EQ(panel.minY(), 25);
  EXPECT_EQ(panel.x, 1068);
}

TEST(TrayPanelPlacement, ImplausibleAnchorsAreRefused) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_TRUE(validTopAnchor({1300, 0, 24, 64}, screen));    // 64 high
  EXPECT_FALSE(validTopAnchor({1300, 0, 24, 65}, screen));   // 65 high
  EXPECT_FALSE(validTopAnchor({1300, 70, 24, 22}, screen));  // screen top 70 above the icon
  EXPECT_TRUE(validTopAnchor({1300, 64, 24, 22}, screen));   // exactly 64 above
  EXPECT_TRUE(validTopAnchor({1300, -2, 24, 22}, screen));   // 2 below
  EXPECT_FALSE(validTopAnchor({1300, -3, 24, 22}, screen));  // 3 below
  EXPECT_FALSE(validTopAnchor({1300, 0, 0, 22}, screen));
  EXPECT_FALSE(validTopAnchor({1300, 22, 24, 0}, screen));
  EXPECT_FALSE(validTopAnchor({1450, 0, 24, 22}, screen));  // beside the screen
  EXPECT_FALSE(validTopAnchor({1300, 0, 24, 22}, {0, 0, 0, 900}));
  EXPECT_FALSE(validTopAnchor({nan, 0, 24, 22}, screen));
  EXPECT_FALSE(validTopAnchor({1300, 0, 24, 22}, {0, 0, inf, 900}));
}

TEST(TrayBubble, OutlineForAGivenSizeAndArrow) {
  using Kind = BubblePathElement::Kind;
  const auto path = TrayBubble{240}.outline(360, 220);
  ASSERT_EQ(path.size(), 14u);
  EXPECT_EQ(path.front(), (BubblePathElement{Kind::moveTo, {18, 10}, {}}));
  EXPECT_EQ(path[1], (BubblePathElement{Kind::lineTo, {230, 10}, {}}));
  EXPECT_EQ(path[2], (BubblePathElement{Kind::lineTo, {237, 2}, {}}));
  EXPECT_EQ(path[3], (BubblePathElement{Kind::quadTo, {243, 2}, {240, -1}}));
  EXPECT_EQ(path[4], (BubblePathElement{Kind::lineTo, {250, 10}, {}}));
  EXPECT_EQ(path[6], (BubblePathElement{Kind::quadTo, {360, 28}, {360, 10}}));
  EXPECT_EQ(path[8], (BubblePathElement{Kind::quadTo, {342, 220}, {360, 220}}));
  EXPECT_EQ(path[12], (BubblePathElement{Kind::quadTo, {18, 10}, {0, 10}}));
  EXPECT_EQ(path.back().kind, Kind::close);

  // The arrow keeps 30 points from either edge, even for a position that is not a number.
  EXPECT_EQ(TrayBubble{5}.outline(360, 220)[3].control.x, 30);
  EXPECT_EQ(TrayBubble{1000}.outline(360, 220)[3].control.x, 330);
  EXPECT_EQ(TrayBubble{std::numeric_limits<double>::quiet_NaN()}.outline(360, 220)[3].control.x, 30);
}

TEST(TrayPanelPlacement, BottomTrayOpensUpwardsAsTheMirrorImage) {
  const ScreenRect icon{1300, 878, 24, 22};
  EXPECT_FALSE(TrayPanelPlacement::validTopAnchor(icon, screen));
  EXPECT_EQ(TrayPanelPlacement::opening(icon, screen), PanelOpening::upward);
  EXPECT_EQ(TrayPanelPlacement::opening({1300, 0, 24, 22}, screen), PanelOpening::downward);
  EXPECT_FALSE(TrayPanelPlacement::opening({1300, 478, 24, 22}, screen));  // mid-screen

  const ScreenRect panel = frame(icon, {360, 220}, bottomBar, 6, PanelOpening::upward);
  // The worked example upside down: 6 points above the icon, 8 inside the right edge.
  EXPECT_EQ(panel, (ScreenRect{1072, 652, 360, 220}));
  EXPECT_EQ(TrayPanelPlacement::arrowX(icon, panel), 240);
  const ScreenRect tall = frame(icon, {360, 5000}, bottomBar, 6, PanelOpening::upward);
  EXPECT_EQ(tall.height, 859);
  EXPECT_EQ(tall.maxY(), 872);
  EXPECT_EQ(frame(icon, {360, 220}, bottomBar, 6, PanelOpening::downward), frame(icon, {360, 220}, bottomBar, 6));

  const auto down = TrayBubble{240}.outline(360, 220);
  const auto up = TrayBubble{240, PanelOpening::upward}.outline(360, 220);
  ASSERT_EQ(up.size(), down.size());
  EXPECT_EQ(up[3], (BubblePathElement{BubblePathElement::Kind::quadTo, {243, 218}, {240, 221}}));  // tip at the bottom
  for (std::size_t i = 0; i + 1 < up.size(); ++i) {
    EXPECT_EQ(up[i].point.x, down[i].point.x);
    EXPECT_EQ(up[i].point.y, 220 - down[i].point.y);
  }
}

// Trays that report no icon geometry: the click point or the bar edge stands in for the icon.
// Screen 1440 × 900 with a 25-point bar at the top, at the bottom, or at the left.
TEST(TrayAnchor, ClickPointAndBarEdgeFallbackAtEveryScreenEdge) {
  const ScreenRect leftBar{25, 0, 1415, 900};

  // Top bar: a click in the bar hangs the panel from the top of the usable area.
  TrayAnchor click = TrayAnchor::clickPoint({1300, 10}, screen, topBar);
  EXPECT_EQ(click.opening, PanelOpening::downward);
  ScreenRect panel = TrayPanelPlacement::frame(click.rect, {320, 400}, topBar, 6, click.opening);
  EXPECT_EQ(panel, (ScreenRect{1112, 25, 320, 400}));
  EXPECT_EQ(TrayPanelPlacement::arrowX(click.rect, panel), 188);

  // Bottom bar: opens upward from the bottom of the usable area.
  click = TrayAnchor::clickPoint({1300, 890}, screen, bottomBar);
  EXPECT_EQ(click.opening, PanelOpening::upward);
  panel = TrayPanelPlacement::frame(click.rect, {320, 400}, bottomBar, 6, click.opening);
  EXPECT_EQ(panel, (ScreenRect{1112, 475, 320, 400}));

  // Left bar: the half of the screen clicked decides, the panel stays right of the bar.
  click = TrayAnchor::clickPoint({10, 800}, screen, leftBar);
  EXPECT_EQ(click.opening, PanelOpening::upward);
  panel = TrayPanelPlacement::frame(click.rect, {320, 400}, leftBar, 6, click.opening);
  EXPECT_EQ(panel.x, 33);
  EXPECT_EQ(panel.maxY(), 794);
  click = TrayAnchor::clickPoint({10, 100}, screen, leftBar);
  EXPECT_EQ(click.opening, PanelOpening::downward);
  panel = TrayPanelPlacement::frame(click.rect, {320, 400}, leftBar, 6, click.opening);
  EXPECT_EQ(panel.x, 33);
  EXPECT_EQ(panel.y, 106);

  // The reminder's fallback sits in whichever bar exists.
  EXPECT_EQ(TrayAnchor::barEdgeFallback(screen, topBar), TrayAnchor::reminderFallback(topBar));
  const TrayAnchor bottom = TrayAnchor::barEdgeFallback(screen, bottomBar);
  EXPECT_EQ(bottom.opening, PanelOpening::upward);
  EXPECT_EQ(bottom.rect, (ScreenRect{1248, 881, 0, 0}));
  panel = TrayPanelPlacement::frame(bottom.rect, {360, 220}, bottomBar, 6, bottom.opening);
  EXPECT_EQ(panel.maxY(), 875);
  EXPECT_EQ(panel.x, 1068);
  // No bar at all: the top edge, as on most desktops.
  EXPECT_EQ(TrayAnchor::barEdgeFallback(screen, screen).opening, PanelOpening::downward);
}

// A host's click position anchors only inside a bar strip; mid-screen points and points in the
// usable area next to the bar (a stale pointer) fall back to the bar edge.
TEST(TrayAnchor, HostClickAnchorsOnlyInABarStrip) {
  EXPECT_EQ(TrayAnchor::hostClick({1300, 10}, screen, topBar), TrayAnchor::clickPoint({1300, 10}, screen, topBar));
  EXPECT_EQ(TrayAnchor::hostClick({1300, 890}, screen, bottomBar),
            TrayAnchor::clickPoint({1300, 890}, screen, bottomBar));
  // The strip's edges, a pixel row counting by its top edge: the first row of the usable area is
  // not the bar; the screen's top row is.
  EXPECT_FALSE(TrayAnchor::inBarStrip({1300, 25}, screen, topBar));
  EXPECT_TRUE(TrayAnchor::inBarStrip({1300, 24}, screen, topBar));
  EXPECT_TRUE(TrayAnchor::inBarStrip({1300, 0}, screen, topBar));
  EXPECT_FALSE(TrayAnchor::inBarStrip({1300, -1}, screen, topBar));
  EXPECT_FALSE(TrayAnchor::inBarStrip({1300, 874}, screen, bottomBar));
  EXPECT_TRUE(TrayAnchor::inBarStrip({1300, 875}, screen, bottomBar));
  for (ScreenPoint p : {ScreenPoint{720, 450}, ScreenPoint{1300, 40}, ScreenPoint{-5, 10}}) {
    EXPECT_EQ(TrayAnchor::hostClick(p, screen, topBar), TrayAnchor::barEdgeFallback(screen, topBar));
    EXPECT_EQ(TrayAnchor::hostClick(p, screen, bottomBar), TrayAnchor::barEdgeFallback(screen, bottomBar));
  }
  // No bar at all: no strip, always the fallback; unless no bar can be known on this screen
  // (several monitors on X11): then a point near an edge, where bars are, is the icon's.
  EXPECT_EQ(TrayAnchor::hostClick({1300, 1}, screen, screen), TrayAnchor::barEdgeFallback(screen, screen));
  for (ScreenPoint p : {ScreenPoint{1300, 1}, ScreenPoint{1300, 899}, ScreenPoint{1300, 828}, ScreenPoint{5, 450}}) {
    EXPECT_EQ(TrayAnchor::hostClick(p, screen, screen, true), TrayAnchor::clickPoint(p, screen, screen)) << p.y;
  }
  EXPECT_EQ(TrayAnchor::hostClick({1300, 899}, screen, screen, true).opening, PanelOpening::upward);
  for (ScreenPoint p : {ScreenPoint{720, 450}, ScreenPoint{1300, 827}, ScreenPoint{1300, 900}}) {
    EXPECT_EQ(TrayAnchor::hostClick(p, screen, screen, true), TrayAnchor::barEdgeFallback(screen, screen)) << p.y;
  }
  // A bar that is known keeps its own strip.
  EXPECT_EQ(TrayAnchor::hostClick({1300, 60}, screen, topBar, true), TrayAnchor::barEdgeFallback(screen, topBar));
}

TEST(TrayAnchor, AMenuEntryUnderTheIconAnchorsInTheIconsColumn) {
  // The host's menu hangs under (or over) the icon at x = 1300: the pointer on its entry is past
  // the bar, and the panel hangs at the bar's edge in that column, not 192 from the right.
  TrayAnchor top = TrayAnchor::menuEntry({1300, 60}, screen, topBar);
  EXPECT_EQ(top.rect, (ScreenRect{1300, 19, 0, 0}));
  EXPECT_EQ(top.opening, PanelOpening::downward);
  TrayAnchor bottom = TrayAnchor::menuEntry({1300, 840}, screen, bottomBar);
  EXPECT_EQ(bottom.rect, (ScreenRect{1300, 881, 0, 0}));
  EXPECT_EQ(bottom.opening, PanelOpening::upward);
  // Bars at both edges: the one nearer the pointer holds the menu.
  const ScreenRect bothBars{0, 25, 1440, 850};
  EXPECT_EQ(TrayAnchor::menuEntry({700, 800}, screen, bothBars).rect, (ScreenRect{700, 881, 0, 0}));
  EXPECT_EQ(TrayAnchor::menuEntry({700, 800}, screen, bothBars).opening, PanelOpening::upward);
  EXPECT_EQ(TrayAnchor::menuEntry({700, 90}, screen, bothBars).rect, (ScreenRect{700, 19, 0, 0}));
  EXPECT_EQ(TrayAnchor::menuEntry({700, 90}, screen, bothBars).opening, PanelOpening::downward);
  // The pointer still on the icon: the click point itself; off every screen: the fallback.
  EXPECT_EQ(TrayAnchor::menuEntry({1300, 10}, screen, topBar), TrayAnchor::clickPoint({1300, 10}, screen, topBar));
  EXPECT_EQ(TrayAnchor::menuEntry({2000, 60}, screen, topBar), TrayAnchor::barEdgeFallback(screen, topBar));
}

}  // namespace
}  // namespace talvo
