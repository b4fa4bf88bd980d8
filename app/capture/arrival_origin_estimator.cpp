#include "app/capture/arrival_origin_estimator.h"

namespace talvo {

double ArrivalOriginEstimator::update(double now, std::int64_t framesRead) {
  const double candidate = now - static_cast<double>(framesRead) / rate_;
  if (!candidates_.empty() && candidate - candidates_.front().second > discontinuitySeconds) {
    candidates_.clear();
  }
  while (!candidates_.empty() && candidates_.back().second >= candidate) {
    candidates_.pop_back();
  }
  candidates_.emplace_back(now, candidate);
  while (candidates_.front().first < now - windowSeconds) {
    candidates_.pop_front();
  }
  return candidates_.front().second;
}

}  // namespace talvo
