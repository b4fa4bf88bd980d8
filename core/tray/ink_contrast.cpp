#include "core/tray/ink_contrast.h"

#include <algorithm>
#include <cmath>

namespace talvo::InkContrast {
namespace {

double linear(int channel) {
  const double c = std::clamp(channel, 0, 255) / 255.0;
  return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

}  // namespace

double relativeLuminance(int red, int green, int blue) {
  return 0.2126 * linear(red) + 0.7152 * linear(green) + 0.0722 * linear(blue);
}

double ratio(double a, double b) { return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05); }

bool lightInkOn(double barLuminance) { return ratio(1.0, barLuminance) >= ratio(0.0, barLuminance); }

}  // namespace talvo::InkContrast
