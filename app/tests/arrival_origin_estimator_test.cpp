#include "app/capture/arrival_origin_estimator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace talvo {
namespace {

constexpr double rate = 16000;

// A device capturing 10 ms pieces from `origin` on, read 0–15 ms late at random; the estimate
// must stay within a millisecond of the truth (the smallest delay) without jumping per read.
TEST(ArrivalOriginEstimatorTest, LateReadsDoNotMoveTheEstimate) {
  ArrivalOriginEstimator estimator(rate);
  std::mt19937 random(7);
  std::uniform_real_distribution<double> delay(0.0005, 0.015);
  const double origin = 1000;
  double previous = 0;
  int jumps = 0;
  for (int piece = 1; piece <= 3000; ++piece) {
    const std::int64_t frames = piece * 160;
    const double estimate = estimator.update(origin + frames / rate + delay(random), frames);
    if (piece > 200) {
      EXPECT_NEAR(estimate, origin, 0.002) << "piece " << piece;
      // One frame is 62.5 µs: the engine joins blocks whose dates differ by less than two.
      jumps += std::abs(estimate - previous) * rate >= 2 ? 1 : 0;
    }
    previous = estimate;
  }
  EXPECT_LT(jumps, 30);  // raw read times would jump at nearly every one of the 2800 reads
}

TEST(ArrivalOriginEstimatorTest, FollowsADeviceClockThatRunsFastOrSlow) {
  // Against ours the device clock runs 200 ppm fast or slow: after a minute its positions are
  // 12 ms off.
  for (double speed : {1.0002, 0.9998}) {
    ArrivalOriginEstimator estimator(rate);
    const double origin = 50;
    for (int piece = 1; piece <= 6000; ++piece) {
      const std::int64_t frames = piece * 160;
      const double trueTime = origin + frames / rate / speed;
      const double estimate = estimator.update(trueTime + 0.002 * (piece % 3), frames);
      // Once a prompt read was seen, the frame just read is dated within a millisecond of
      // when it was captured.
      if (piece > 3) {
        EXPECT_NEAR(estimate + frames / rate, trueTime, 0.001) << "speed " << speed << ", piece " << piece;
      }
    }
  }
}

TEST(ArrivalOriginEstimatorTest, StartsOverAfterASilentPauseButNotAfterOneSlowRead) {
  ArrivalOriginEstimator estimator(rate);
  std::int64_t frames = 0;
  for (int piece = 0; piece < 100; ++piece) {
    frames += 160;
    estimator.update(10 + frames / rate, frames);
  }
  // One read 0.8 s late (a loaded machine) changes nothing.
  frames += 160;
  EXPECT_NEAR(estimator.update(10 + frames / rate + 0.8, frames), 10, 1e-9);
  // The device stops for 3 s and continues: its data now belongs 3 s later.
  for (int piece = 0; piece < 10; ++piece) {
    frames += 160;
    EXPECT_NEAR(estimator.update(13 + frames / rate, frames), 13, 1e-9);
  }
  estimator.reset();
  frames += 160;
  EXPECT_NEAR(estimator.update(20 + frames / rate, frames), 20, 1e-9);
}

}  // namespace
}  // namespace talvo
