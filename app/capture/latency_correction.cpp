#include "app/capture/latency_correction.h"

#include <algorithm>
#include <cmath>

namespace talvo {

void LatencyCorrection::update(double now, double sourceLatency, double monitoredLatency) {
  const double reading = sourceLatency - monitoredLatency;
  if (!std::isfinite(reading) || !std::isfinite(now) || std::fabs(reading) > limitSeconds) {
    return;
  }
  if (!average_) {
    average_ = offset_ = reading;
  } else {
    // An exponential average whose weight follows the time between readings.
    const double weight = std::clamp((now - lastReading_) / smoothingSeconds, 0.0, 1.0);
    *average_ += (reading - *average_) * weight;
    if (std::fabs(*average_ - offset_) > hysteresisSeconds) {
      offset_ = *average_;
    }
  }
  lastReading_ = now;
}

void LatencyCorrection::reset() noexcept {
  average_.reset();
  offset_ = 0;
}

}  // namespace talvo
