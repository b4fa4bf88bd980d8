// The update controller's decisions, driven through a scripted updater and a stepped clock.
#include "app/updates/release_updates.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include "app/tests/model_test_support.h"
#include "testing/stepped_clock.h"

namespace talvo {
namespace {

const char* testKey = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";  // 32 zero bytes

struct ScriptedUpdater : ReleaseUpdater {
  int backgroundChecks = 0;
  int userChecks = 0;
  bool busy = false;
  bool canCheckForUpdates() const override { return !busy; }
  void checkForUpdatesInBackground() override { ++backgroundChecks; }
  void checkForUpdates() override { ++userChecks; }
};

UpdaterConfiguration validConfiguration() {
  UpdaterConfiguration configuration;
  configuration.releaseChannel = "production";
  configuration.service = ServiceConfiguration::production();
  configuration.feedUrl = configuration.service.origin + UpdaterConfiguration::feedPath;
  configuration.publicKey = testKey;
  configuration.currentVersion = "1.0.0";
  configuration.installRoot = "/home/user/.local/share/TALVO/app";
  configuration.executable = configuration.installRoot + "/bin/talvo";
  configuration.installedProgram = configuration.executable;
  return configuration;
}

AppcastItem item(std::string version = "1.1.0") {
  return {version, version, "https://talvo.pro/desktop-downloads/" + std::string(64, 'a') + ".tar.gz",
          1000,    "",      "x86_64"};
}

class ReleaseUpdatesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testing::ensureApplication(); }

  std::unique_ptr<ReleaseUpdates> make(UpdaterConfiguration configuration = validConfiguration(),
                                       bool preview = false) {
    ReleaseUpdates::Environment environment;
    environment.configuration = std::move(configuration);
    environment.makeUpdater = [this](ReleaseUpdates&) {
      auto updater = std::make_unique<ScriptedUpdater>();
      updater_ = updater.get();
      return updater;
    };
    environment.clock = clock_;
    return std::make_unique<ReleaseUpdates>(
        preview, [this] { return busy_; }, std::move(environment));
  }

  // Finds a release quietly, as a background check at launch would.
  void findRelease(ReleaseUpdates& updates) {
    updates.check();
    updates.mayPerformUpdateCheck();
    updates.shouldProceedWithUpdate(item());
    updates.didFindValidUpdate(item());
    updates.didFinishUpdateCycle(std::nullopt);
  }

  ScriptedUpdater* updater_ = nullptr;
  bool busy_ = false;
  std::shared_ptr<testing::SteppedClock> clock_ = std::make_shared<testing::SteppedClock>(1000, 100000);
};

TEST_F(ReleaseUpdatesTest, MisconfiguredBuildsAndPreviewsNeverStartTheUpdater) {
  auto shortKey = validConfiguration();
  shortKey.publicKey = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA==";  // 31 bytes
  auto development = validConfiguration();
  development.releaseChannel = "";
  auto otherFeed = validConfiguration();
  otherFeed.feedUrl = "https://talvo.pro/desktop-updates/macos.xml";
  auto notInstalled = validConfiguration();
  notInstalled.executable = "/opt/build/app/talvo";
  auto notBase64 = validConfiguration();
  notBase64.publicKey = "not a key";
  for (const auto& configuration : {shortKey, development, otherFeed, notInstalled, notBase64}) {
    updater_ = nullptr;
    auto updates = make(configuration);
    updates->check();
    updates->open();
    EXPECT_FALSE(updates->active());
    EXPECT_EQ(updater_, nullptr);
  }
  auto preview = make(validConfiguration(), true);
  EXPECT_FALSE(preview->active());
  EXPECT_EQ(updater_, nullptr);
  EXPECT_TRUE(make()->active());
  // A development build given the fake service's key updates from that service.
  auto developmentWithKey = validConfiguration();
  developmentWithKey.releaseChannel = UpdaterConfiguration::developmentChannel;
  EXPECT_EQ(make(developmentWithKey)->active(), !NativeProduct::production);
  // The install root spelled with "//", "." and a trailing "/" is still where the program runs.
  auto spelled = validConfiguration();
  spelled.installRoot = "/home/user//.local/share/./TALVO/app/";
  EXPECT_TRUE(make(spelled)->active());
}

TEST_F(ReleaseUpdatesTest, QuietCheckWhileRecordingDoesNothingAndRunsRightAfter) {
  auto updates = make();
  busy_ = true;
  updates->check();
  EXPECT_EQ(updater_->backgroundChecks, 0);
  EXPECT_EQ(updates->lastChecked(), UpdateLifecycle::distantPast);
  busy_ = false;
  updates->check();
  EXPECT_EQ(updater_->backgroundChecks, 1);
  EXPECT_EQ(updates->lastChecked(), clock_->bootSeconds());
  updates->didNotFindUpdate();
  updates->didFinishUpdateCycle(UpdateError(UpdateError::Domain::updater, UpdateError::noUpdate, "none"));
  // Six hours must pass before the next quiet check.
  clock_->advance(21599);
  updates->check();
  EXPECT_EQ(updater_->backgroundChecks, 1);
  clock_->advance(1);
  updates->check();
  EXPECT_EQ(updater_->backgroundChecks, 2);
  EXPECT_FALSE(updates->failure());
}

TEST_F(ReleaseUpdatesTest, HooksRefuseABusyRecorderAndForeignArchives) {
  auto updates = make();
  busy_ = true;
  try {
    updates->mayPerformUpdateCheck();
    FAIL() << "a busy recorder must refuse the check";
  } catch (const UpdateError& error) {
    EXPECT_EQ(error.code(), 1);
    EXPECT_STREQ(error.what(), "Завершите запись перед обновлением TALVO.");
  }
  EXPECT_FALSE(updates->shouldRelaunchApplication());
  busy_ = false;
  EXPECT_TRUE(updates->shouldRelaunchApplication());
  auto foreign = item();
  foreign.url = "https://talvo.pro:443/desktop-downloads/" + std::string(64, 'a') + ".tar.gz";
  auto empty = item();
  empty.length = 0;
  for (const auto& refused : {foreign, empty}) {
    try {
      updates->shouldProceedWithUpdate(refused);
      FAIL() << refused.url;
    } catch (const UpdateError& error) {
      EXPECT_EQ(error.code(), 2);
      EXPECT_STREQ(error.what(), "Не удалось проверить адрес обновления TALVO.");
    }
  }
  EXPECT_NO_THROW(updates->shouldProceedWithUpdate(item()));
}

TEST_F(ReleaseUpdatesTest, InstallDuringRecordingPostponesRelaunchUntilFirstIdleChange) {
  auto updates = make();
  findRelease(*updates);
  EXPECT_EQ(updates->available(), QString("1.1.0"));
  updates->open();
  EXPECT_EQ(updater_->userChecks, 1);
  EXPECT_TRUE(updates->blocksRecording());
  updates->willInstallUpdate(item());
  busy_ = true;  // a recording was already stopping when the install finished
  int relaunches = 0;
  EXPECT_TRUE(updates->shouldPostponeRelaunch(item(), [&] { ++relaunches; }));
  updates->didFinishUpdateCycle(std::nullopt);
  EXPECT_TRUE(updates->blocksRecording());
  updates->captureChanged();  // still busy
  EXPECT_EQ(relaunches, 0);
  busy_ = false;
  updates->captureChanged();
  EXPECT_EQ(relaunches, 1);
  updates->captureChanged();
  EXPECT_EQ(relaunches, 1);
  // Until the program is replaced, recording stays blocked and no new cycle starts.
  EXPECT_TRUE(updates->blocksRecording());
  clock_->advance(86400);
  updates->check();
  EXPECT_EQ(updater_->backgroundChecks, 1);
}

TEST_F(ReleaseUpdatesTest, FailuresOfUserUpdatesShowTextBenignOnesDoNot) {
  auto updates = make();
  findRelease(*updates);
  int failureSignals = 0;
  QObject::connect(updates.get(), &ReleaseUpdates::failureChanged, [&] { ++failureSignals; });

  updates->open();
  updates->didFinishUpdateCycle(UpdateError(UpdateError::Domain::updater, UpdateError::installationCancelled, "x"));
  EXPECT_FALSE(updates->failure());
  EXPECT_FALSE(updates->blocksRecording());

  updates->open();
  updates->willInstallUpdate(item());
  int relaunches = 0;
  busy_ = true;
  updates->shouldPostponeRelaunch(item(), [&] { ++relaunches; });
  updates->didFinishUpdateCycle(UpdateError(UpdateError::Domain::updater, UpdateError::installFailed, "x"));
  EXPECT_EQ(updates->failure(), QString("Обновление не установлено. Попробуйте ещё раз."));
  EXPECT_FALSE(updates->blocksRecording());  // a failure frees recording again
  busy_ = false;
  updates->captureChanged();
  EXPECT_EQ(relaunches, 0);  // the dropped relaunch never runs
  EXPECT_EQ(updates->available(), QString("1.1.0"));

  // A new attempt clears the old text; a quiet cycle's failure never sets one.
  updates->open();
  EXPECT_FALSE(updates->failure());
  updates->didFinishUpdateCycle(UpdateError::refusedArchive());
  EXPECT_TRUE(updates->failure());
  clock_->advance(21600);
  updates->open();
  updates->didFinishUpdateCycle(std::nullopt);
  clock_->advance(21600);
  updates->check();
  updates->didFinishUpdateCycle(UpdateError::busy());
  EXPECT_FALSE(updates->failure());
  EXPECT_EQ(failureSignals, 4);
}

TEST_F(ReleaseUpdatesTest, OpenNeedsAnOfferAnIdleRecorderAndAnIdleUpdater) {
  auto updates = make();
  updates->open();
  EXPECT_EQ(updater_->userChecks, 0);  // nothing on offer yet
  findRelease(*updates);
  busy_ = true;  // a recording started after the release was found
  updates->open();
  EXPECT_EQ(updater_->userChecks, 0);
  EXPECT_FALSE(updates->blocksRecording());
  busy_ = false;
  updater_->busy = true;
  updates->open();
  EXPECT_EQ(updater_->userChecks, 0);
  updater_->busy = false;
  updates->open();
  EXPECT_EQ(updater_->userChecks, 1);
  // A later check that finds nothing withdraws the offer.
  updates->didNotFindUpdate();
  updates->didFinishUpdateCycle(std::nullopt);
  EXPECT_FALSE(updates->available());
}

}  // namespace
}  // namespace talvo
