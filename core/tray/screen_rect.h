#pragma once
// Plain rectangle arithmetic for the panel and icon geometry, free of any toolkit. A rectangle
// is its origin (minimum x and y) and its size; it does not fix which way y grows, the code
// that uses it says so.
#include <algorithm>
#include <cmath>

namespace talvo {

struct ScreenPoint {
  double x = 0;
  double y = 0;
  bool operator==(const ScreenPoint&) const = default;
};

struct ScreenSize {
  double width = 0;
  double height = 0;
  bool operator==(const ScreenSize&) const = default;
};

struct ScreenRect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  bool operator==(const ScreenRect&) const = default;

  double minX() const noexcept { return x; }
  double minY() const noexcept { return y; }
  double maxX() const noexcept { return x + width; }
  double maxY() const noexcept { return y + height; }
  double midX() const noexcept { return x + width / 2; }
  double midY() const noexcept { return y + height / 2; }

  bool isFinite() const noexcept {
    return std::isfinite(x) && std::isfinite(y) && std::isfinite(width) && std::isfinite(height);
  }

  // Shrunk by `amount` on every side (grown for a negative amount).
  ScreenRect insetBy(double amount) const noexcept {
    return ScreenRect{x + amount, y + amount, width - 2 * amount, height - 2 * amount};
  }

  // Both rectangles have area and share some of it (touching edges do not count).
  bool intersects(const ScreenRect& other) const noexcept {
    if (width <= 0 || height <= 0 || other.width <= 0 || other.height <= 0) return false;
    return minX() < other.maxX() && other.minX() < maxX() && minY() < other.maxY() && other.minY() < maxY();
  }

  // Half-open: the minimum edges belong to the rectangle, the maximum edges do not.
  bool contains(ScreenPoint point) const noexcept {
    return width > 0 && height > 0 && point.x >= minX() && point.x < maxX() && point.y >= minY() && point.y < maxY();
  }
};

}  // namespace talvo
