#include "app/capture/latency_correction.h"

#include <gtest/gtest.h>

#include <cmath>

namespace talvo {
namespace {

TEST(LatencyCorrection, AMonitorIsDatedLaterAndAMicrophoneEarlier) {
  LatencyCorrection monitor;
  monitor.update(10, 0.0005, 0.0085);  // a monitor: the output plays 8.5 ms later
  EXPECT_NEAR(monitor.offset(), -0.008, 1e-12);
  LatencyCorrection microphone;
  microphone.update(10, 0.012, 0);
  EXPECT_NEAR(microphone.offset(), 0.012, 1e-12);
}

TEST(LatencyCorrection, JitterIsAveragedAndSmallMovesAreIgnored) {
  LatencyCorrection correction;
  correction.update(0, 0.020, 0);
  // Readings every half second jumping ±6 ms around 20 ms: the offset in use does not follow.
  for (int i = 1; i <= 40; ++i) {
    correction.update(i * 0.5, i % 2 == 0 ? 0.026 : 0.014, 0);
    EXPECT_NEAR(correction.offset(), 0.020, 1e-12) << "reading " << i;
  }
  EXPECT_NEAR(correction.average(), 0.020, 0.002);
}

TEST(LatencyCorrection, ALastingChangeIsFollowedWithinSeconds) {
  LatencyCorrection correction;
  correction.update(0, 0.010, 0);
  double t = 0;
  for (int i = 0; i < 2; ++i) correction.update(t += 0.5, 0.060, 0);
  // After a second it has moved part of the way, in steps, not to the first new reading.
  EXPECT_GT(correction.offset(), 0.015);
  EXPECT_LT(correction.offset(), 0.035);
  for (int i = 0; i < 40; ++i) correction.update(t += 0.5, 0.060, 0);
  EXPECT_NEAR(correction.offset(), 0.060, LatencyCorrection::hysteresisSeconds);
}

TEST(LatencyCorrection, UnbelievableReadingsAreIgnoredAndResetForgets) {
  LatencyCorrection correction;
  correction.update(0, 2.0, 0);  // two seconds: a server still settling, not a device
  correction.update(0.5, NAN, 0);
  EXPECT_EQ(correction.offset(), 0);
  correction.update(1, 0.030, 0);
  correction.update(1.5, 0.030, 0.9);
  EXPECT_NEAR(correction.offset(), 0.030, 1e-12);
  correction.reset();
  EXPECT_EQ(correction.offset(), 0);
  correction.update(2, 0.005, 0);  // the next device's first reading counts at once
  EXPECT_NEAR(correction.offset(), 0.005, 1e-12);
}

}  // namespace
}  // namespace talvo
