#include "app/reminders/meeting_reminders.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSettings>
#include <QSignalSpy>
#include <atomic>
#include <mutex>
#include <stdexcept>

#include "app/reminders/meeting_reminder_presenter.h"
#include "testing/stepped_clock.h"
#include "testing/temp_directory.h"

namespace talvo {
namespace {

QCoreApplication& application() {
  static int argc = 1;
  static char name[] = "meeting_reminders_test";
  static char* argv[] = {name, nullptr};
  if (QCoreApplication::instance() == nullptr) new QCoreApplication(argc, argv);
  return *QCoreApplication::instance();
}

// Answers what the test puts in, or fails when told to.
class ScriptedSource final : public AudioInputProcessSource {
 public:
  std::vector<AudioInputProcess> snapshot() override {
    calls++;
    std::lock_guard lock(mutex);
    if (fail) throw std::runtime_error("server gone");
    return processes;
  }
  bool mayHaveChanged() const override { return changed; }
  std::mutex mutex;
  std::vector<AudioInputProcess> processes;
  bool fail = false;
  std::atomic<bool> changed = true;
  std::atomic<int> calls = 0;
};

class RecordingPresenter final : public MeetingReminderPresenter {
 public:
  void show(MeetingApplication application) override { shown.push_back(application); }
  void close() override { closes++; }
  std::vector<MeetingApplication> shown;
  int closes = 0;
};

// Whatever identity the built-in catalog gives Zoom.
std::string zoomIdentity() {
  for (const auto& [identity, application] : MeetingCatalog::knownApplications())
    if (application == MeetingApplication::zoom) return identity;
  throw std::logic_error("no Zoom in the catalog");
}

class MeetingRemindersTest : public ::testing::Test {
 protected:
  MeetingRemindersTest() : settings(QString::fromStdString(directory.file("settings.ini")), QSettings::IniFormat) {
    application();
  }

  std::unique_ptr<MeetingReminders> make(bool preview = false) {
    auto source = std::make_unique<ScriptedSource>();
    auto clock = std::make_shared<testing::SteppedClock>(100, 100, WallTime(std::chrono::seconds(1'800'000'100)));
    this->source = source.get();
    this->clock = clock.get();
    auto reminders =
        std::make_unique<MeetingReminders>(directory.path(), settings, preview, std::move(source), std::move(clock));
    reminders->setPollInterval(3'600'000);  // polls are stepped by hand
    return reminders;
  }

  // One poll, waited for; the clock then moves on by the poll interval.
  void pollOnce(MeetingReminders& reminders) {
    QSignalSpy polled(&reminders, &MeetingReminders::polled);
    reminders.poll();
    ASSERT_TRUE(polled.wait(5000));
    QCoreApplication::processEvents();  // the queued reminder, if any
    clock->advance(2);
  }

  testing::TempDirectory directory;
  QSettings settings;
  ScriptedSource* source = nullptr;
  testing::SteppedClock* clock = nullptr;
  RecordingPresenter presenter;
  bool busy = false;
};

TEST_F(MeetingRemindersTest, EveryLaunchTurnsRemindersOnForEveryApplication) {
  settings.setValue("meetingRemindersEnabled", false);
  settings.setValue("meetingReminderDisabledApplications", QStringList{"zoom"});
  auto reminders = make();
  EXPECT_EQ(settings.value("meetingRemindersEnabled").toBool(), true);
  EXPECT_TRUE(settings.value("meetingReminderDisabledApplications").toStringList().isEmpty());
  EXPECT_EQ(reminders->detectorMessage(), MeetingReminders::readyMessage);
  // The next launch finds them so and leaves the file alone (a rewrite is a new file).
  settings.sync();
  struct stat before {};
  ASSERT_EQ(::stat(directory.file("settings.ini").c_str(), &before), 0);
  reminders.reset();
  reminders = make();
  settings.sync();
  struct stat after {};
  ASSERT_EQ(::stat(directory.file("settings.ini").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(settings.value("meetingRemindersEnabled").toBool(), true);
}

TEST_F(MeetingRemindersTest, PreviewWritesNothingAndNeverPolls) {
  auto reminders = make(true);
  QSignalSpy polled(reminders.get(), &MeetingReminders::polled);
  reminders->start([] { return false; }, presenter);
  reminders->poll();  // returns at once: nothing is queued
  QCoreApplication::processEvents();
  EXPECT_EQ(polled.count(), 0);
  EXPECT_EQ(reminders->engine(), nullptr);
  EXPECT_FALSE(settings.contains("meetingRemindersEnabled"));
}

TEST_F(MeetingRemindersTest, ZoomUsingTheMicrophoneForEightSecondsRemindsOnce) {
  auto reminders = make();
  reminders->start([this] { return busy; }, presenter);
  source->processes = {{4242, zoomIdentity(), ""}, {77, "pw-record", ""}};
  for (int i = 0; i < 4; ++i) pollOnce(*reminders);  // t = 0, 2, 4, 6
  EXPECT_TRUE(presenter.shown.empty());
  pollOnce(*reminders);  // t = 8
  ASSERT_EQ(presenter.shown, std::vector<MeetingApplication>{MeetingApplication::zoom});
  for (int i = 0; i < 5; ++i) pollOnce(*reminders);
  EXPECT_EQ(presenter.shown.size(), 1u);
  EXPECT_TRUE(reminders->engine()->quiet().episodeHandled);
}

TEST_F(MeetingRemindersTest, NoReminderWhileARecordingRuns) {
  auto reminders = make();
  reminders->start([this] { return busy; }, presenter);
  busy = true;
  reminders->captureChanged();
  EXPECT_EQ(presenter.closes, 1);
  EXPECT_TRUE(reminders->engine()->quiet().episodeHandled);
  source->processes = {{4242, zoomIdentity(), ""}};
  for (int i = 0; i < 6; ++i) pollOnce(*reminders);
  busy = false;
  reminders->captureChanged();  // not busy: nothing to settle
  EXPECT_EQ(presenter.closes, 1);
  for (int i = 0; i < 6; ++i) pollOnce(*reminders);
  EXPECT_TRUE(presenter.shown.empty());
}

TEST_F(MeetingRemindersTest, AFailedQueryMakesTheSampleAbsentAndSaysSo) {
  auto reminders = make();
  reminders->start([] { return false; }, presenter);
  QSignalSpy changed(reminders.get(), &MeetingReminders::detectorMessageChanged);
  source->processes = {{4242, zoomIdentity(), ""}};
  for (int i = 0; i < 3; ++i) pollOnce(*reminders);
  source->fail = true;
  pollOnce(*reminders);
  pollOnce(*reminders);
  EXPECT_EQ(reminders->detectorMessage(), MeetingReminders::unavailableMessage);
  EXPECT_EQ(changed.count(), 1);  // announced once, not on every poll
  EXPECT_FALSE(reminders->engine()->onset().has_value());
  source->fail = false;
  for (int i = 0; i < 4; ++i) pollOnce(*reminders);  // counting starts again from here
  EXPECT_EQ(reminders->detectorMessage(), MeetingReminders::readyMessage);
  EXPECT_TRUE(presenter.shown.empty());
  pollOnce(*reminders);
  EXPECT_EQ(presenter.shown.size(), 1u);
}

TEST_F(MeetingRemindersTest, AQuietRecordThatCannotBeSavedPausesReminders) {
  // A directory in place of the quiet file: every save fails.
  ASSERT_EQ(mkdir(directory.file(ReminderQuietFile::fileName).c_str(), 0700), 0);
  auto reminders = make();
  reminders->start([] { return false; }, presenter);
  source->processes = {{4242, zoomIdentity(), ""}};
  for (int i = 0; i < 6; ++i) pollOnce(*reminders);
  EXPECT_EQ(reminders->detectorMessage(), MeetingReminders::persistenceFailedMessage);
  EXPECT_TRUE(presenter.shown.empty());
}

TEST_F(MeetingRemindersTest, AReminderDecidedWhileCaptureTurnsBusyIsDropped) {
  auto reminders = make();
  reminders->start([this] { return busy; }, presenter);
  source->processes = {{4242, zoomIdentity(), ""}};
  for (int i = 0; i < 4; ++i) pollOnce(*reminders);
  // Busy from right after the engine's decision, before the queued show runs.
  QObject::connect(reminders.get(), &MeetingReminders::polled, [this] { busy = true; });
  pollOnce(*reminders);
  EXPECT_TRUE(reminders->engine()->quiet().episodeHandled);
  EXPECT_TRUE(presenter.shown.empty());
}

TEST_F(MeetingRemindersTest, PollsNeverOverlap) {
  auto reminders = make();
  QSignalSpy polled(reminders.get(), &MeetingReminders::polled);
  {
    std::lock_guard hold(source->mutex);  // the query blocks inside the source
    reminders->poll();
    QElapsedTimer waited;
    waited.start();
    while (source->calls == 0 && waited.elapsed() < 5000) QThread::msleep(1);
    reminders->poll();
    reminders->poll();
  }
  ASSERT_TRUE(polled.wait(5000));
  QCoreApplication::processEvents();
  EXPECT_EQ(source->calls, 1);
  EXPECT_EQ(polled.count(), 1);
}

TEST_F(MeetingRemindersTest, AnUnchangedSourceIsNotAskedAgainYetEveryPollStillCounts) {
  auto reminders = make();
  reminders->start([] { return false; }, presenter);
  source->processes = {{4242, zoomIdentity(), ""}};
  source->changed = false;
  pollOnce(*reminders);  // nothing read yet: asked all the same
  for (int i = 0; i < 3; ++i) pollOnce(*reminders);
  EXPECT_EQ(source->calls, 1);
  EXPECT_TRUE(presenter.shown.empty());
  pollOnce(*reminders);  // the last answer, taken again, adds up to a meeting
  EXPECT_EQ(presenter.shown.size(), 1u);
  EXPECT_EQ(source->calls, 1);

  // A failed query is not taken again: the next poll asks, changed or not.
  source->changed = true;
  source->fail = true;
  pollOnce(*reminders);
  source->changed = false;
  source->fail = false;
  pollOnce(*reminders);
  EXPECT_EQ(source->calls, 3);
  EXPECT_EQ(reminders->detectorMessage(), MeetingReminders::readyMessage);
}

TEST(MeetingProcessIdentity, SandboxIdWhenKnownElseExecutableName) {
  MeetingCatalog catalog;
  catalog.applications = {{"us.zoom.Zoom", MeetingApplication::zoom}, {"zoom", MeetingApplication::zoom}};
  EXPECT_EQ(MeetingReminders::meetingProcess({5, "zoom", "us.zoom.Zoom"}, catalog).executableOrAppId, "us.zoom.Zoom");
  // An unknown application id does not hide a known executable name.
  EXPECT_EQ(MeetingReminders::meetingProcess({5, "zoom", "org.example.Wrapper"}, catalog).executableOrAppId, "zoom");
  EXPECT_EQ(MeetingReminders::meetingProcess({5, "", "org.example.App"}, catalog).executableOrAppId, "org.example.App");
  MeetingProcess nameless = MeetingReminders::meetingProcess({5, "", ""}, catalog);
  EXPECT_FALSE(nameless.executableOrAppId.has_value());
  EXPECT_TRUE(nameless.runningInput);
  EXPECT_EQ(nameless.pid, 5);
}

}  // namespace
}  // namespace talvo
