#pragma once
// The device latency of one record stream, as the sound server reports it, averaged over
// seconds. Arrival dating (ArrivalOriginEstimator) says when a frame reached the server's
// queue; a microphone captured it the source's latency earlier, and a monitor sees what an
// output will play only its latency later. The offset is therefore source latency minus the
// monitored output's latency (zero for a real input). Single readings jump with the server's
// scheduling, so they are smoothed, and the offset in use moves only when the average has moved
// by more than a couple of milliseconds: each move shifts the stream's dating, which the engine
// sees as a small gap or overlap.
#include <optional>

namespace talvo {

class LatencyCorrection {
 public:
  static constexpr double smoothingSeconds = 4;  // time constant of the average
  static constexpr double hysteresisSeconds = 0.002;
  static constexpr double limitSeconds = 0.5;  // readings beyond this are not believed

  // A reading at `now` (seconds): `sourceLatency` and `monitoredLatency` in seconds.
  void update(double now, double sourceLatency, double monitoredLatency);
  // Seconds to subtract from a frame's arrival time to get the time it was heard or played.
  double offset() const noexcept { return offset_; }
  double average() const noexcept { return average_.value_or(0); }
  // A new device: its latency is another one.
  void reset() noexcept;

 private:
  std::optional<double> average_;
  double lastReading_ = 0;
  double offset_ = 0;
};

}  // namespace talvo
