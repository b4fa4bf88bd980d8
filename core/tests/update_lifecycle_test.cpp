#include "core/updates/update_lifecycle.h"

#include <gtest/gtest.h>

#include <cmath>

namespace talvo {
namespace {

TEST(UpdateLifecycle, BackgroundChecksAreSixHoursApartAndNeverDuringRecording) {
  UpdateLifecycle cycle;
  EXPECT_FALSE(cycle.beginQuietCheck(0, /*captureBusy=*/true));
  EXPECT_EQ(cycle, UpdateLifecycle{});
  EXPECT_TRUE(cycle.beginQuietCheck(0, false));  // the first check may run at any time
  EXPECT_TRUE(cycle.checking);
  EXPECT_FALSE(cycle.beginQuietCheck(100000, false));  // one is already running
  cycle.finished();
  EXPECT_FALSE(cycle.beginQuietCheck(5 * 3600 + 59 * 60, false));
  EXPECT_FALSE(cycle.beginQuietCheck(NAN, false));
  EXPECT_EQ(cycle.lastChecked, 0);
  EXPECT_TRUE(cycle.beginQuietCheck(6 * 3600, false));
  EXPECT_EQ(cycle.lastChecked, 6 * 3600);
  EXPECT_FALSE(cycle.userInitiated);
}

TEST(UpdateLifecycle, UserUpdateNeedsAKnownVersionAndBlocksRecording) {
  UpdateLifecycle cycle;
  EXPECT_FALSE(cycle.beginUserUpdate(false));
  cycle.found("1.2.0");
  EXPECT_FALSE(cycle.beginUserUpdate(true));
  EXPECT_TRUE(cycle.beginUserUpdate(false));
  EXPECT_TRUE(cycle.blocksRecording);
  EXPECT_TRUE(cycle.userInitiated);
  EXPECT_FALSE(cycle.beginQuietCheck(1e9, false));
  cycle.finished();  // e.g. the user dismissed the update
  EXPECT_FALSE(cycle.blocksRecording);
  EXPECT_FALSE(cycle.checking);
  EXPECT_EQ(cycle.availableVersion, "1.2.0");
  cycle.noUpdate();
  EXPECT_FALSE(cycle.availableVersion);
}

TEST(UpdateLifecycle, InstallKeepsRecordingBlockedUntilFailure) {
  UpdateLifecycle cycle;
  cycle.found("2.0.0");
  ASSERT_TRUE(cycle.beginUserUpdate(false));
  EXPECT_TRUE(cycle.postponeRelaunch(true));
  cycle.finished();
  EXPECT_TRUE(cycle.blocksRecording);
  EXPECT_TRUE(cycle.waitingForCapture);
  EXPECT_TRUE(cycle.captureBecameIdle());
  EXPECT_FALSE(cycle.captureBecameIdle());
  EXPECT_TRUE(cycle.blocksRecording);  // still installing
  cycle.finished();
  EXPECT_TRUE(cycle.blocksRecording);

  UpdateLifecycle quiet;
  ASSERT_TRUE(quiet.beginQuietCheck(0, false));
  quiet.willInstall();
  quiet.finished();
  EXPECT_TRUE(quiet.blocksRecording);

  quiet.failed();
  EXPECT_FALSE(quiet.blocksRecording || quiet.installing || quiet.checking || quiet.waitingForCapture);
  EXPECT_EQ(quiet.lastChecked, 0);
  EXPECT_FALSE(quiet.postponeRelaunch(false));
  EXPECT_FALSE(quiet.waitingForCapture);
  EXPECT_TRUE(quiet.blocksRecording);
}

}  // namespace
}  // namespace talvo
