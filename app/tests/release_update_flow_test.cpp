// Whole update cycles against the fake service: version A installed in a temporary data home,
// the feed offers B. A good release is downloaded, verified, exchanged for A and relaunched;
// every tampered release is refused with its code and leaves A installed, whole and working.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <algorithm>
#include <filesystem>
#include <fcntl.h>

#include "app/tests/model_test_support.h"
#include "app/updates/feed_updater.h"
#include "app/updates/install_tree.h"
#include "app/updates/release_updates.h"
#include "cloud/bounded_desktop_transport.h"
#include "core/system/unique_fd.h"
#include "testing/fake_transcription_service.h"
#include "testing/fake_update_feed.h"
#include "testing/temp_directory.h"
#include "testing/stepped_clock.h"

namespace talvo {
namespace {

using testing::FakeUpdateFeed;
namespace fs = std::filesystem;

struct AnsweringDriver : UpdateUserDriver {
  bool accept = true;
  int offers = 0;
  std::vector<double> progress;
  std::vector<std::string> refusals;
  std::function<void()> cancel;
  std::function<void()> onProgress;  // runs at the first progress report
  void offer(const AppcastItem&, std::function<void(bool)> decide, std::function<void()> cancelDownload) override {
    ++offers;
    cancel = std::move(cancelDownload);
    // Answers later, from the event loop, as a click would.
    QMetaObject::invokeMethod(
        qApp, [decide, accept = accept] { decide(accept); }, Qt::QueuedConnection);
  }
  void showProgress(double fraction) override {
    progress.push_back(fraction);
    if (auto run = std::exchange(onProgress, nullptr)) run();
  }
  void dismiss() override {}
  void showRefusal(const std::string& text) override { refusals.push_back(text); }
};

// The id of a process that has already exited: the relaunch waits for nothing.
int goneProcess() {
  pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  return child;
}

class ReleaseUpdateFlowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testing::ensureApplication(); }

  void SetUp() override {
    feed_.install(service_);
    service_.start();
    std::string path = home_.file("a.tar.gz");
    testing::writeWholeFile(path, FakeUpdateFeed::programArchive("1.0.0", log_));
    UniqueFd archive(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    InstallTree(root_).install(archive.get(), "1.0.0");
    scriptA_ = testing::readWholeFile(root_ + "/bin/talvo");
  }

  std::unique_ptr<ReleaseUpdates> make() { return make(service_, feed_); }

  // A production controller with the real updater, trusting `feed`'s key on `service`.
  std::unique_ptr<ReleaseUpdates> make(testing::FakeTranscriptionService& service, FakeUpdateFeed& feed) {
    UpdaterConfiguration configuration;
    configuration.releaseChannel = "production";
    configuration.service = {service.origin(), "t.me", service.caFile()};
    configuration.feedUrl = service.origin() + UpdaterConfiguration::feedPath;
    configuration.publicKey = feed.publicKey();
    configuration.currentVersion = "1.0.0";
    configuration.installRoot = root_;
    configuration.executable = root_ + "/bin/talvo";
    configuration.installedProgram = configuration.executable;
    configuration.relaunchShell = relaunchShell_;
    ReleaseUpdates::Environment environment;
    environment.configuration = configuration;
    environment.makeUpdater = [this, configuration](ReleaseUpdates& delegate) {
      auto driver = std::make_unique<AnsweringDriver>();
      driver_ = driver.get();
      auto transport =
          std::make_shared<BoundedDesktopTransport>(BoundedDesktopTransport::optionsFor(configuration.service));
      return std::make_unique<FeedUpdater>(delegate, configuration, transport, std::move(driver), goneProcess());
    };
    environment.clock = clock_;
    auto updates = std::make_unique<ReleaseUpdates>(
        false, [this] { return busy_; }, std::move(environment));
    QObject::connect(updates.get(), &ReleaseUpdates::quitRequested, [this] { ++quits_; });
    return updates;
  }

  static bool idle(const ReleaseUpdates& updates) { return !updates.lifecycle().checking; }

  // Quiet check, then the user's update; returns once the cycle is over.
  void checkAndOpen(ReleaseUpdates& updates) {
    updates.check();
    ASSERT_TRUE(testing::waitUntil([&] { return idle(updates); }));
    ASSERT_EQ(updates.available(), QString("1.1.0"));
    updates.open();
    ASSERT_TRUE(updates.blocksRecording());
    ASSERT_TRUE(testing::waitUntil([&] { return idle(updates); }));
  }

  // What the relaunched program wrote, once it has written a whole line: the shell creates the
  // file before its echo lands, so the file's mere existence says nothing yet.
  std::string relaunchedVersions() {
    std::string written;
    testing::waitUntil(
        [&] {
          written = fs::exists(log_) ? testing::readWholeFile(log_) : "";
          return !written.empty() && written.back() == '\n';
        },
        10000);
    return written;
  }

  void expectOnlyA() {
    EXPECT_EQ(InstallTree::versionOf(root_ + "/bin/talvo"), "1.0.0");
    EXPECT_EQ(testing::readWholeFile(root_ + "/bin/talvo"), scriptA_);
    // No staging, download or escaped file.
    EXPECT_EQ(testing::installFolderNames(home_.file("data/TALVO")), (std::vector<std::string>{"<installed>", "app"}));
    EXPECT_FALSE(fs::exists(home_.file("escaped")));
  }

  testing::TempDirectory home_;
  std::string root_ = home_.file("data/TALVO/app");
  std::string log_ = home_.file("relaunched.log");
  std::string scriptA_;
  testing::FakeTranscriptionService service_;
  FakeUpdateFeed feed_;
  AnsweringDriver* driver_ = nullptr;
  std::string relaunchShell_ = "/bin/sh";
  bool busy_ = false;
  std::shared_ptr<testing::SteppedClock> clock_ = std::make_shared<testing::SteppedClock>(1000, 1e6);
  int quits_ = 0;
};

TEST_F(ReleaseUpdateFlowTest, UpdatesVerifiesExchangesAndRelaunchesIntoTheNewVersion) {
  feed_.publish("1.1.0", FakeUpdateFeed::programArchive("1.1.0", log_));
  feed_.publish("0.9.0", FakeUpdateFeed::programArchive("0.9.0", log_));
  // Another architecture's newer release and its copy of 1.1.0 are not for this program.
  feed_.publish("1.1.0", FakeUpdateFeed::programArchive("1.1.0", log_), FakeUpdateFeed::Tamper::none, "otherarch");
  feed_.publish("1.5.0", FakeUpdateFeed::programArchive("1.5.0", log_), FakeUpdateFeed::Tamper::none, "otherarch");
  // An update interrupted earlier left a staging tree and a previous tree: gone at start.
  fs::create_directories(home_.file("data/TALVO/.app-staging-abc123/bin"));
  fs::create_directories(home_.file("data/TALVO/.app-staging-old/lib"));
  auto updates = make();
  EXPECT_FALSE(fs::exists(home_.file("data/TALVO/.app-staging-abc123")));
  EXPECT_FALSE(fs::exists(home_.file("data/TALVO/.app-staging-old")));
  checkAndOpen(*updates);
  EXPECT_FALSE(updates->lastCycleError()) << updates->lastCycleError()->what();
  EXPECT_FALSE(updates->failure());
  EXPECT_EQ(driver_->offers, 1);
  ASSERT_FALSE(driver_->progress.empty());
  EXPECT_DOUBLE_EQ(driver_->progress.back(), 1.0);
  EXPECT_FALSE(updates->progress());  // over with the download
  EXPECT_EQ(feed_.downloads(), 1);
  EXPECT_EQ(quits_, 1);
  EXPECT_TRUE(updates->blocksRecording());  // until the program is replaced
  // The relaunched program is B; A's tree stays until B has started once (B's updater clears it).
  EXPECT_EQ(relaunchedVersions(), "1.1.0\n");
  EXPECT_EQ(InstallTree::versionOf(root_ + "/bin/talvo"), "1.1.0");
  auto names = [&] { return testing::installFolderNames(home_.file("data/TALVO")); };
  EXPECT_EQ(names(), (std::vector<std::string>{".app-previous", "<installed>", "<previous>", "app"}));
  updates.reset();
  updates = make();  // B starting
  EXPECT_EQ(names(), (std::vector<std::string>{"<installed>", "app"}));
}

// A new version that passes its self-check but ends in failure when started gives way to the
// previous one: A's own program switches the install path back to A's tree, and A starts.
TEST_F(ReleaseUpdateFlowTest, ANewVersionThatCannotStartBringsThePreviousOneBack) {
  // A's program as a release has it: the switch back is the real program's.
  const std::string programA =
      "#!/bin/sh\n"
      "if [ \"$1\" = --restore-previous ]; then XDG_DATA_HOME='" +
      home_.file("data") +
      "' exec '" TALVO_BINARY
      "' --restore-previous; fi\n"
      "if [ \"$1\" = --version ] || [ \"$1\" = --self-check ]; then echo 1.0.0; exit 0; fi\n"
      "echo 1.0.0 >> '" +
      log_ + "'\n";
  const std::string archiveA = home_.file("restoring-a.tar.gz");
  testing::writeWholeFile(
      archiveA, FakeUpdateFeed::makeArchive(FakeUpdateFeed::releaseTree(
                    "1.0.0", {{"bin/talvo", programA, 0755},
                              {"share/applications/pro.talvo.recorder.desktop", "[Desktop Entry]\n", 0644}})));
  InstallTree(root_).install(UniqueFd(open(archiveA.c_str(), O_RDONLY | O_CLOEXEC)).get(), "1.0.0");
  const std::string failing =
      "#!/bin/sh\n"
      "if [ \"$1\" = --version ] || [ \"$1\" = --self-check ]; then echo 1.1.0; exit 0; fi\n"
      "echo 1.1.0 >> '" +
      log_ + "'\nexit 3\n";
  feed_.publish("1.1.0", FakeUpdateFeed::makeArchive(FakeUpdateFeed::releaseTree(
                             "1.1.0", {{"bin/talvo", failing, 0755},
                                       {"share/applications/pro.talvo.recorder.desktop", "[Desktop Entry]\n", 0644}})));
  auto updates = make();
  checkAndOpen(*updates);
  EXPECT_EQ(quits_, 1);
  std::string written;
  EXPECT_TRUE(testing::waitUntil([&] {
    written = fs::exists(log_) ? testing::readWholeFile(log_) : "";
    return written == "1.1.0\n1.0.0\n";
  })) << written;
  EXPECT_EQ(InstallTree::versionOf(root_ + "/bin/talvo"), "1.0.0");
  EXPECT_EQ(testing::readWholeFile(root_ + "/bin/talvo"), programA);
  // B's tree is gone with the previous link.
  EXPECT_EQ(testing::installFolderNames(home_.file("data/TALVO")), (std::vector<std::string>{"<installed>", "app"}));
}

TEST_F(ReleaseUpdateFlowTest, RelaunchWaitsForTheRecordingToEnd) {
  feed_.publish("1.1.0", FakeUpdateFeed::programArchive("1.1.0", log_));
  auto updates = make();
  updates->check();
  ASSERT_TRUE(testing::waitUntil([&] { return idle(*updates); }));
  updates->open();
  // A recording that was already stopping when the update began keeps the relaunch waiting.
  busy_ = true;
  ASSERT_TRUE(testing::waitUntil([&] { return idle(*updates); }));
  EXPECT_EQ(InstallTree::versionOf(root_ + "/bin/talvo"), "1.1.0");
  EXPECT_EQ(quits_, 0);
  EXPECT_TRUE(updates->lifecycle().waitingForCapture);
  EXPECT_TRUE(updates->blocksRecording());
  updates->captureChanged();
  EXPECT_EQ(quits_, 0);
  busy_ = false;
  updates->captureChanged();
  EXPECT_EQ(quits_, 1);
  EXPECT_EQ(relaunchedVersions(), "1.1.0\n");
}

TEST_F(ReleaseUpdateFlowTest, EveryTamperedReleaseIsRefusedAndAStaysInstalled) {
  struct Case {
    FakeUpdateFeed::Tamper tamper;
    UpdateError::Domain domain;
    int code;
    bool downloads;
  };
  const std::vector<Case> cases = {
      {FakeUpdateFeed::Tamper::badSignature, UpdateError::Domain::updater, UpdateError::archiveInvalid, true},
      {FakeUpdateFeed::Tamper::wrongLength, UpdateError::Domain::updater, UpdateError::archiveInvalid, true},
      {FakeUpdateFeed::Tamper::otherAddress, UpdateError::Domain::updates, UpdateError::archiveRefused, false},
      {FakeUpdateFeed::Tamper::truncated, UpdateError::Domain::updater, UpdateError::downloadFailed, true},
      {FakeUpdateFeed::Tamper::escapingTree, UpdateError::Domain::updater, UpdateError::installFailed, true},
      // A genuine signature, but of this archive released as another version.
      {FakeUpdateFeed::Tamper::otherVersion, UpdateError::Domain::updater, UpdateError::archiveInvalid, true},
  };
  for (const auto& each : cases) {
    SCOPED_TRACE(static_cast<int>(each.tamper));
    FakeUpdateFeed feed;
    testing::FakeTranscriptionService service;
    feed.install(service);
    service.start();
    feed.publish("1.1.0", FakeUpdateFeed::programArchive("1.1.0", log_), each.tamper);
    auto owned = make(service, feed);
    auto& updates = *owned;
    updates.check();
    ASSERT_TRUE(testing::waitUntil([&] { return idle(updates); }));
    if (each.tamper == FakeUpdateFeed::Tamper::otherAddress) {
      // Refused already by the quiet check, quietly: nothing offered, no text.
      ASSERT_TRUE(updates.lastCycleError());
      EXPECT_EQ(updates.lastCycleError()->code(), UpdateError::archiveRefused);
      EXPECT_FALSE(updates.available());
      EXPECT_FALSE(updates.failure());
    } else {
      ASSERT_EQ(updates.available(), QString("1.1.0"));
      updates.open();
      ASSERT_TRUE(testing::waitUntil([&] { return idle(updates); }));
      ASSERT_TRUE(updates.lastCycleError());
      EXPECT_EQ(updates.lastCycleError()->domain(), each.domain);
      EXPECT_EQ(updates.lastCycleError()->code(), each.code) << updates.lastCycleError()->what();
      EXPECT_EQ(updates.failure(), QString("Обновление не установлено. Попробуйте ещё раз."));
    }
    EXPECT_FALSE(updates.blocksRecording());
    EXPECT_EQ(feed.downloads() > 0, each.downloads);
    expectOnlyA();
  }
}

TEST_F(ReleaseUpdateFlowTest, BadFeedsFailQuietlyInBackgroundAndVisiblyForTheUser) {
  feed_.publish("1.1.0", FakeUpdateFeed::programArchive("1.1.0", log_));
  auto updates = make();
  updates->check();
  ASSERT_TRUE(testing::waitUntil([&] { return idle(*updates); }));
  ASSERT_EQ(updates->available(), QString("1.1.0"));
  feed_.setFeedDocument("<rss><channel><item>not closed");
  clock_->advance(21600);
  updates->check();
  ASSERT_TRUE(testing::waitUntil([&] { return idle(*updates); }));
  ASSERT_TRUE(updates->lastCycleError());
  EXPECT_EQ(updates->lastCycleError()->code(), UpdateError::feedInvalid);
  EXPECT_FALSE(updates->failure());
  updates->open();
  ASSERT_TRUE(testing::waitUntil([&] { return idle(*updates); }));
  EXPECT_EQ(updates->lastCycleError()->code(), UpdateError::feedInvalid);
  EXPECT_TRUE(updates->failure());
  EXPECT_EQ(feed_.downloads(), 0);
  expectOnlyA();
  // The user declining the offer is no failure.
  feed_.setFeedDocument("");
  driver_->accept = false;
  updates->open();
  ASSERT_TRUE(testing::waitUntil([&] { return idle(*updates); }));
  EXPECT_TRUE(updates->lastCycleError()->benign());
  EXPECT_FALSE(updates->failure());
  EXPECT_FALSE(updates->blocksRecording());
  EXPECT_EQ(feed_.downloads(), 0);
  expectOnlyA();
}

TEST_F(ReleaseUpdateFlowTest, CancellingTheDownloadEndsTheCycleAndFreesRecordingAtOnce) {
  feed_.publish("1.1.0", FakeUpdateFeed::programArchive("1.1.0", log_));
  auto updates = make();
  updates->check();
  ASSERT_TRUE(testing::waitUntil([&] { return idle(*updates); }));
  bool freedAtOnce = false;
  driver_->onProgress = [&] {
    driver_->cancel();
    freedAtOnce = !updates->blocksRecording() && idle(*updates);
  };
  updates->open();
  ASSERT_TRUE(testing::waitUntil([&] { return idle(*updates); }));
  EXPECT_TRUE(freedAtOnce);
  ASSERT_TRUE(updates->lastCycleError());
  EXPECT_TRUE(updates->lastCycleError()->benign());
  EXPECT_FALSE(updates->failure());
  EXPECT_FALSE(updates->progress());
  EXPECT_EQ(quits_, 0);
  // The download's result, arriving after the cancel, installs nothing.
  QCoreApplication::processEvents();
  expectOnlyA();
  // And the next attempt runs normally, once the cancelled worker has stopped.
  ASSERT_TRUE(testing::waitUntil([&] {
    updates->open();
    return !idle(*updates);
  }));
  ASSERT_TRUE(testing::waitUntil([&] { return idle(*updates); }));
  EXPECT_FALSE(updates->lastCycleError());
  EXPECT_EQ(quits_, 1);
}

TEST_F(ReleaseUpdateFlowTest, ARelaunchThatCannotStartKeepsTheProgramRunningWithTheFailureShown) {
  feed_.publish("1.1.0", FakeUpdateFeed::programArchive("1.1.0", log_));
  relaunchShell_ = home_.file("no-such-shell");
  auto updates = make();
  checkAndOpen(*updates);
  EXPECT_EQ(quits_, 0);
  // The install stands: the user is told to start TALVO again, not to try the update again.
  EXPECT_EQ(updates->failure(), QString("Обновление установлено. Запустите TALVO снова, чтобы открыть новую версию."));
  EXPECT_FALSE(updates->blocksRecording());
  EXPECT_FALSE(updates->available());
  EXPECT_EQ(InstallTree::versionOf(root_ + "/bin/talvo"), "1.1.0");  // starts next time
  // Nothing is checked or downloaded again by this (old) process.
  const int downloads = feed_.downloads();
  updates->check();
  updates->open();
  QCoreApplication::processEvents();
  EXPECT_TRUE(idle(*updates));
  EXPECT_EQ(feed_.downloads(), downloads);
  EXPECT_FALSE(updates->available());
}

TEST_F(ReleaseUpdateFlowTest, RefusalsReachTheUserWhoStartedTheCheck) {
  feed_.publish("1.1.0", FakeUpdateFeed::programArchive("1.1.0", log_));
  auto updates = make();
  updates->check();
  ASSERT_TRUE(testing::waitUntil([&] { return idle(*updates); }));
  // By the time the user asks, the newest release sits at an unexpected address.
  feed_.publish("1.2.0", FakeUpdateFeed::programArchive("1.2.0", log_), FakeUpdateFeed::Tamper::otherAddress);
  updates->open();
  ASSERT_TRUE(testing::waitUntil([&] { return idle(*updates); }));
  EXPECT_EQ(driver_->refusals, std::vector<std::string>{"Не удалось проверить адрес обновления TALVO."});
  EXPECT_TRUE(updates->failure());
  expectOnlyA();
}

}  // namespace
}  // namespace talvo
