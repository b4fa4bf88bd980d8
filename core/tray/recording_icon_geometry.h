#pragma once
// What the recording tray icon consists of: up to seven level bars and a red dot, or only the
// dot when animation is off (reduced motion, or the drawing budget gave up). The bars and the
// dot are symmetric about the icon's horizontal middle, so the same numbers serve a y-up and a
// y-down painter.
#include <span>
#include <vector>

#include "core/tray/screen_rect.h"

namespace talvo {

struct RecordingIconGeometry {
  static constexpr std::size_t maximumBars = 7;
  static constexpr double barCornerRadius = 1.05;

  ScreenSize size;               // 18 × 18 simple, 30 × 18 with bars
  std::vector<ScreenRect> bars;  // filled rounded rectangles in the foreground colour
  ScreenRect dot;                // filled circle in red; may reach past the image's right edge

  bool operator==(const RecordingIconGeometry&) const = default;

  // `values` are levels where 0 is silence and 1 full scale; only the newest seven are drawn.
  // A level that is not finite counts as silence, and levels are clamped to 0…1; the square
  // root makes quiet sound visible.
  static RecordingIconGeometry make(std::span<const float> values, bool simple);
};

}  // namespace talvo
