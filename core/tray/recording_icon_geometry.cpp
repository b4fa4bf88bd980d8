#include "core/tray/recording_icon_geometry.h"

#include <algorithm>
#include <cmath>

namespace talvo {

RecordingIconGeometry RecordingIconGeometry::make(std::span<const float> values, bool simple) {
  RecordingIconGeometry icon;
  icon.size = simple ? ScreenSize{18, 18} : ScreenSize{30, 18};
  icon.dot = ScreenRect{simple ? 4.0 : 24.0, 5, 8, 8};
  if (simple) return icon;
  if (values.size() > maximumBars) values = values.last(maximumBars);
  for (std::size_t i = 0; i < values.size(); ++i) {
    double v = values[i];
    if (!std::isfinite(v)) v = 0;
    v = std::clamp(v, 0.0, 1.0);
    const double height = std::max(15 * std::sqrt(v), 2.0);
    icon.bars.push_back(ScreenRect{3.1 * static_cast<double>(i), (18 - height) / 2, 2.1, height});
  }
  return icon;
}

}  // namespace talvo
