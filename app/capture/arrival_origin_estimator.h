#pragma once
// Dates a stream's frames from the times its data was read. If the newest frame read so far had
// been captured at the moment of the read, frame 0 was captured at `read time − frames read /
// rate`. Reads come late by scheduling noise, never early, so the smallest such value over the
// last two seconds is the best estimate of frame 0's capture time; a window (not all time) follows
// the drift between the device's clock and ours. Data a second later than its position implies
// means the device paused without saying so (suspend, a change of device): the estimate starts
// over.
#include <cstdint>
#include <deque>
#include <utility>

namespace talvo {

class ArrivalOriginEstimator {
 public:
  static constexpr double windowSeconds = 2;
  static constexpr double discontinuitySeconds = 1;

  explicit ArrivalOriginEstimator(double rate) : rate_(rate) {}

  // A read at `now` (seconds) after which `framesRead` frames have been read in all; returns
  // the estimated capture time of frame 0.
  double update(double now, std::int64_t framesRead);
  void reset() { candidates_.clear(); }

 private:
  double rate_;
  // (read time, origin candidate), candidates strictly increasing: the front is the minimum.
  std::deque<std::pair<double, double>> candidates_;
};

}  // namespace talvo
