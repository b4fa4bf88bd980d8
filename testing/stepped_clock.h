#pragma once
// The one fake of the program's clocks: it moves only when the test moves it, and any thread
// may read it while the test does.
#include <atomic>
#include <functional>
#include <memory>

#include "core/system/clock.h"

namespace talvo::testing {

class SteppedClock final : public Clock {
 public:
  // By default 2026-12-07T09:30:00Z on the wall clock.
  explicit SteppedClock(double monotonic = 1000, double boot = 5000,
                        WallTime wall = WallTime(std::chrono::seconds(1796635800)))
      : monotonic_(monotonic), boot_(boot), wall_(wall) {}

  double monotonicSeconds() const override { return monotonic_.load(); }
  double bootSeconds() const override { return boot_.load(); }
  WallTime wallTime() const override { return wall_.load(); }

  // Every clock moves on together, as while the computer is awake.
  void advance(double seconds) {
    advanceMonotonic(seconds);
    sleep(seconds);
  }
  // Only the monotonic clock moves (the others are read less often, or not at all).
  void advanceMonotonic(double seconds) { monotonic_ = monotonic_.load() + seconds; }
  // The boot and wall clocks move, the monotonic one does not: the computer slept.
  void sleep(double seconds) {
    boot_ = boot_.load() + seconds;
    wall_ = wall_.load() + std::chrono::duration_cast<WallTime::duration>(std::chrono::duration<double>(seconds));
  }
  // Each clock set on its own, to any reading (a test of readings that make no sense, too).
  void setMonotonic(double seconds) { monotonic_ = seconds; }
  void setBoot(double seconds) { boot_ = seconds; }
  // The wall clock is set, forward or back, as a user or time service may.
  void setWall(WallTime wall) { wall_ = wall; }

 private:
  std::atomic<double> monotonic_;
  std::atomic<double> boot_;
  std::atomic<WallTime> wall_;
};

// The system's clocks with the wall clock read from `wall`: for suites that run against a real
// service and need the program's wall clock shifted from real time, or scripted.
class WallReadingClock final : public Clock {
 public:
  explicit WallReadingClock(std::function<WallTime()> wall) : wall_(std::move(wall)) {}

  double monotonicSeconds() const override { return Clock::system()->monotonicSeconds(); }
  double bootSeconds() const override { return Clock::system()->bootSeconds(); }
  WallTime wallTime() const override { return wall_(); }

 private:
  std::function<WallTime()> wall_;
};

inline std::shared_ptr<const Clock> wallReadings(std::function<WallTime()> wall) {
  return std::make_shared<WallReadingClock>(std::move(wall));
}

}  // namespace talvo::testing
