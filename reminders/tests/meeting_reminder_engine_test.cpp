#include "reminders/meeting_reminder_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "core/system/log_sink.h"
#include "testing/stepped_clock.h"

namespace talvo {
namespace {

constexpr std::int32_t ownPid = 4242;
constexpr double wallStart = 1'700'000'000.0;

// Boot time and wall time move together unless a test says otherwise. Boot time starts at zero
// so that every test's samples move forward from it.
struct EngineTime {
  testing::SteppedClock clock{0, 0};
  double now = 0.0;
  double wallOffset = wallStart - 1000.0;
  std::optional<double> wallOverride;  // seconds since 1970
  void set(double uptime) {
    now = uptime;
    clock.setBoot(uptime);
    if (!std::isfinite(uptime)) return;
    std::chrono::duration<double> wall(wallOverride ? *wallOverride : uptime + wallOffset);
    clock.setWall(WallTime(std::chrono::duration_cast<WallTime::duration>(wall)));
  }
};

struct MemoryStore : ReminderQuietStore {
  std::optional<ReminderQuietState> stored;
  bool failLoad = false;
  bool failSave = false;
  int saves = 0;
  std::optional<ReminderQuietState> load() override {
    if (failLoad) throw std::runtime_error("unreadable");
    return stored;
  }
  void save(const ReminderQuietState& state) override {
    ++saves;
    if (failSave) throw std::runtime_error("disk full");
    stored = state;
  }
};

struct RecordingNotifier : ReminderNotifier {
  std::vector<std::pair<double, MeetingApplication>> shown;
  const EngineTime* clock = nullptr;
  void notify(MeetingApplication application) override { shown.emplace_back(clock->now, application); }
};

MeetingProcess process(std::int32_t pid, const char* identity, bool input = true) {
  return MeetingProcess{pid, identity ? std::optional<std::string>(identity) : std::nullopt, input};
}

const std::vector<MeetingProcess> zoom = {process(100, "zoom")};
const std::vector<MeetingProcess> chrome = {process(200, "chrome")};
const std::vector<MeetingProcess> nobody = {process(300, "org.example.music")};

class EngineTest : public ::testing::Test {
 protected:
  EngineTime clock;
  MemoryStore store;
  RecordingNotifier notifier;
  std::optional<MeetingReminderEngine> engine;

  void SetUp() override { notifier.clock = &clock; }

  MeetingReminderEngine& start() {
    engine.emplace(clock.clock, store, notifier, MeetingCatalog{MeetingCatalog::knownApplications()}, ownPid);
    return *engine;
  }

  void sampleAt(double uptime, const std::optional<std::vector<MeetingProcess>>& list, bool busy = false,
                ReminderAuthorization authorization = ReminderAuthorization::allowed, bool enabled = true,
                const std::set<MeetingApplication>& disabled = {}) {
    clock.set(uptime);
    engine->sample(list, enabled, disabled, authorization, busy);
  }

  // Samples every `step` seconds from `from` (inclusive) to `to` (exclusive).
  void run(double from, double to, const std::optional<std::vector<MeetingProcess>>& list, bool busy = false,
           double step = 2.0) {
    for (double t = from; t < to; t += step) sampleAt(t, list, busy);
  }

  std::vector<double> reminderTimes() const {
    std::vector<double> times;
    for (const auto& [time, application] : notifier.shown) times.push_back(time);
    return times;
  }
};

TEST_F(EngineTest, RemindsOnceAfterEightSecondsOfAnHourLongCall) {
  start();
  EXPECT_FALSE(engine->persistenceFailed());
  run(1000, 1000 + 3600, zoom);
  ASSERT_EQ(reminderTimes(), std::vector<double>{1008});  // not at 1006
  EXPECT_EQ(notifier.shown[0].second, MeetingApplication::zoom);
  ASSERT_TRUE(store.stored);
  EXPECT_EQ(*store.stored, ReminderQuietState(true, wallStart + 8));
  EXPECT_EQ(store.saves, 1);
}

TEST_F(EngineTest, NamesTheHighestPriorityApplicationAndHonoursDisabled) {
  start();
  std::vector<MeetingProcess> both = {chrome[0], zoom[0]};
  for (double t = 0; t <= 8; t += 2) sampleAt(t, both);
  ASSERT_EQ(notifier.shown.size(), 1u);
  EXPECT_EQ(notifier.shown[0].second, MeetingApplication::zoom);

  store.stored.reset();
  notifier.shown.clear();
  start();
  for (double t = 100; t <= 108; t += 2)
    sampleAt(t, both, false, ReminderAuthorization::allowed, true, {MeetingApplication::zoom});
  ASSERT_EQ(notifier.shown.size(), 1u);
  EXPECT_EQ(notifier.shown[0].second, MeetingApplication::chrome);
}

TEST_F(EngineTest, IgnoresOwnForeignAndSilentProcesses) {
  start();
  std::vector<MeetingProcess> ignored = {
      process(ownPid, "zoom"),  // our own pid, whatever it claims to be
      process(0, "zoom"),       // not a real process
      process(-7, "zoom"),
      process(101, "zoom", false),         // not using the microphone
      process(102, nullptr),               // unknown identity
      process(103, "pro.talvo.recorder"),  // ourselves and our helpers
      process(104, "pro.talvo.recorder.zoom"),
      process(105, "Zoom"),  // identities are case-sensitive
      process(106, "zoom.extra"),
      process(107, "Chromium"),  // the name every Electron program reports
  };
  run(0, 300, ignored);
  EXPECT_TRUE(notifier.shown.empty());
  EXPECT_EQ(store.saves, 0);
}

TEST_F(EngineTest, EmptyCatalogMatchesNothing) {
  engine.emplace(clock.clock, store, notifier, MeetingCatalog{}, ownPid);
  run(0, 60, zoom);
  EXPECT_TRUE(notifier.shown.empty());
}

TEST_F(EngineTest, SamplingGapOverFiveSecondsRestartsTheCount) {
  start();
  sampleAt(0, zoom);
  sampleAt(2, zoom);
  sampleAt(4, zoom);
  sampleAt(9.5, zoom);  // 5.5 s later: counting restarts here
  sampleAt(12, zoom);
  sampleAt(16, zoom);
  EXPECT_TRUE(notifier.shown.empty());
  sampleAt(17.5, zoom);
  EXPECT_EQ(reminderTimes(), std::vector<double>{17.5});
}

TEST_F(EngineTest, GapOfExactlyFiveSecondsKeepsCounting) {
  start();
  sampleAt(0, zoom);
  sampleAt(5, zoom);
  sampleAt(10, zoom);
  EXPECT_EQ(reminderTimes(), std::vector<double>{10});
}

TEST_F(EngineTest, UptimeGoingBackwardsRestartsTheCount) {
  start();
  sampleAt(100, zoom);
  sampleAt(106, zoom);  // gap: restart at 106
  sampleAt(104, zoom);  // backwards: restart at 104
  sampleAt(110, zoom);  // gap again
  sampleAt(112, zoom);
  sampleAt(116, zoom);
  EXPECT_TRUE(notifier.shown.empty());
  sampleAt(118, zoom);
  EXPECT_EQ(reminderTimes(), std::vector<double>{118});
}

TEST_F(EngineTest, AbsentListStopsCountingAndAlwaysAbsentDoesNothing) {
  start();
  run(0, 600, std::nullopt);
  EXPECT_TRUE(notifier.shown.empty());
  EXPECT_EQ(store.saves, 0);
  EXPECT_FALSE(engine->onset());

  sampleAt(600, zoom);
  sampleAt(602, zoom);
  sampleAt(604, zoom);
  sampleAt(606, std::nullopt);
  run(608, 616, zoom);  // counting restarted at 608
  EXPECT_TRUE(notifier.shown.empty());
  sampleAt(616, zoom);
  EXPECT_EQ(reminderTimes(), std::vector<double>{616});
}

TEST_F(EngineTest, EpisodeEndsOnlyAfter120SecondsWithoutMeeting) {
  start();
  run(0, 20, zoom);  // reminded at 8
  run(20, 138, nobody);
  EXPECT_TRUE(engine->quiet().episodeHandled);  // idle since 20: 118 s so far
  sampleAt(138, zoom);                          // the call comes back: idle time starts over
  run(140, 258, nobody);
  EXPECT_TRUE(engine->quiet().episodeHandled);
  sampleAt(260, nobody);  // 120 s since 140
  EXPECT_FALSE(engine->quiet().episodeHandled);
  EXPECT_EQ(store.stored->episodeHandled, false);
  EXPECT_EQ(store.stored->lastNotificationAt, wallStart - 1000 + 8);
  const int saves = store.saves;
  run(262, 400, nobody);  // staying idle writes nothing more
  EXPECT_EQ(store.saves, saves);
  EXPECT_EQ(reminderTimes(), std::vector<double>{8});
}

TEST_F(EngineTest, GapDuringIdleRestartsTheIdlePeriod) {
  start();
  run(0, 10, zoom);
  run(10, 110, nobody);
  run(116, 200, nobody);  // a 6 s gap at 110 → 116 (e.g. sleep): idle counts from 116
  EXPECT_TRUE(engine->quiet().episodeHandled);
  run(200, 240, nobody);
  EXPECT_FALSE(engine->quiet().episodeHandled);
}

TEST_F(EngineTest, RemindersAreSpacedByFiveMinutesOfWallTime) {
  start();
  run(0, 10, zoom);  // reminded at uptime 8, wall T
  const double reminded = wallStart - 1000 + 8;
  run(10, 132, nobody);  // episode over at 130
  ASSERT_FALSE(engine->quiet().episodeHandled);
  // The next call reaches 8 s at 208 (T + 200): too soon.
  run(200, 220, zoom);
  EXPECT_EQ(reminderTimes(), std::vector<double>{8});
  EXPECT_TRUE(engine->quiet().episodeHandled);
  EXPECT_EQ(engine->quiet().lastNotificationAt, reminded);
  run(220, 342, nobody);
  ASSERT_FALSE(engine->quiet().episodeHandled);
  // Another call reaching 8 s exactly 300 s after the reminder is reminded.
  run(300, 320, zoom);
  EXPECT_EQ(reminderTimes(), (std::vector<double>{8, 308}));
}

TEST_F(EngineTest, RelaunchKeepsEpisodeAndSpacing) {
  start();
  run(0, 10, zoom);
  ASSERT_EQ(notifier.shown.size(), 1u);
  // Restart mid-call: the loaded record says handled, so no second reminder.
  start();
  EXPECT_FALSE(engine->persistenceFailed());
  run(20, 100, zoom);
  EXPECT_EQ(notifier.shown.size(), 1u);
  run(100, 222, nobody);
  ASSERT_FALSE(engine->quiet().episodeHandled);
  // Restart again; a new call 200 s after the reminder is still within the spacing.
  start();
  run(230, 240, zoom);
  EXPECT_EQ(notifier.shown.size(), 1u);
  EXPECT_EQ(store.stored->lastNotificationAt, wallStart - 1000 + 8);
}

TEST_F(EngineTest, WallClockSetBackDoesNotSilenceRemindersForever) {
  start();
  run(0, 10, zoom);
  const double reminded = wallStart - 1000 + 8;
  run(10, 132, nobody);
  clock.wallOffset -= 86400.0 * 365;  // the clock is corrected by a year
  run(140, 150, zoom);                // reaches 8 s at 148: suppressed, spacing counted from now
  EXPECT_EQ(notifier.shown.size(), 1u);
  ASSERT_TRUE(engine->quiet().lastNotificationAt);
  EXPECT_LT(*engine->quiet().lastNotificationAt, reminded);
  run(150, 272, nobody);
  run(500, 510, zoom);  // more than 300 s of the corrected clock later
  EXPECT_EQ(reminderTimes(), (std::vector<double>{8, 508}));
}

TEST_F(EngineTest, UnusableWallTimeWaitsForTheNextSample) {
  start();
  run(0, 8, zoom);
  for (double bad : {-1.0, -86400.0 * 365}) {  // before 1970
    clock.wallOverride = bad;
    sampleAt(clock.now + 2, zoom);
  }
  EXPECT_TRUE(notifier.shown.empty());
  EXPECT_FALSE(engine->quiet().episodeHandled);
  EXPECT_EQ(store.saves, 0);
  clock.wallOverride.reset();
  sampleAt(clock.now + 2, zoom);
  EXPECT_EQ(notifier.shown.size(), 1u);
}

TEST_F(EngineTest, NonFiniteUptimeChangesNothing) {
  start();
  sampleAt(0, zoom);
  sampleAt(2, zoom);
  for (double bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                     -std::numeric_limits<double>::infinity()}) {
    sampleAt(bad, std::nullopt, true);
    EXPECT_EQ(engine->lastSample(), 2.0);
    EXPECT_EQ(engine->onset(), 0.0);
    EXPECT_FALSE(engine->quiet().episodeHandled);
  }
  sampleAt(4, zoom);
  sampleAt(8, zoom);
  EXPECT_EQ(reminderTimes(), std::vector<double>{8});
}

TEST_F(EngineTest, RecordingDuringCallHandlesTheEpisode) {
  start();
  sampleAt(0, zoom);
  sampleAt(2, zoom);
  sampleAt(4, zoom, /*busy=*/true);
  EXPECT_TRUE(store.stored->episodeHandled);
  run(6, 600, zoom, true);     // a long recording
  run(600, 700, zoom, false);  // stopped, Zoom still on
  EXPECT_TRUE(notifier.shown.empty());
  // Idle while busy does not count towards re-arming.
  run(700, 810, nobody, false);
  sampleAt(810, nobody, true);
  run(812, 930, nobody, false);
  EXPECT_TRUE(engine->quiet().episodeHandled);
  sampleAt(932, nobody);  // 120 s since 812
  EXPECT_FALSE(engine->quiet().episodeHandled);
  run(1000, 1010, zoom);
  EXPECT_EQ(reminderTimes(), std::vector<double>{1008});
}

TEST_F(EngineTest, CaptureStartedHandlesTheEpisodeWithoutTouchingCounters) {
  start();
  sampleAt(0, zoom);
  sampleAt(2, zoom);
  engine->captureStarted();
  EXPECT_TRUE(store.stored->episodeHandled);
  EXPECT_EQ(engine->onset(), 0.0);
  const int saves = store.saves;
  engine->captureStarted();  // already handled: no write
  EXPECT_EQ(store.saves, saves);
  run(4, 100, zoom);
  EXPECT_TRUE(notifier.shown.empty());
}

TEST_F(EngineTest, CallStartedWhileDisabledIsNotRemindedLater) {
  start();
  for (double t = 0; t < 20; t += 2) sampleAt(t, zoom, false, ReminderAuthorization::allowed, /*enabled=*/false);
  EXPECT_TRUE(engine->quiet().episodeHandled);
  run(20, 100, zoom);
  EXPECT_TRUE(notifier.shown.empty());
}

TEST_F(EngineTest, WithoutAuthorizationTheEpisodeIsHandledSilentlyAfterOnset) {
  start();
  for (double t = 0; t < 8; t += 2) sampleAt(t, zoom, false, ReminderAuthorization::denied);
  EXPECT_FALSE(engine->quiet().episodeHandled);  // not before the 8 s
  EXPECT_EQ(store.saves, 0);
  sampleAt(8, zoom, false, ReminderAuthorization::notAsked);
  EXPECT_TRUE(engine->quiet().episodeHandled);
  EXPECT_FALSE(engine->quiet().lastNotificationAt);
  run(10, 100, zoom);  // allowed now, but the episode is over for reminders
  EXPECT_TRUE(notifier.shown.empty());
}

TEST_F(EngineTest, UntrustworthyRecordStartsSuppressed) {
  const std::vector<ReminderQuietState> bad = [] {
    ReminderQuietState version2(false, std::nullopt);
    version2.version = 2;
    return std::vector<ReminderQuietState>{
        version2,
        ReminderQuietState(false, -1.0),
        ReminderQuietState(false, std::numeric_limits<double>::quiet_NaN()),
        ReminderQuietState(false, std::numeric_limits<double>::infinity()),
    };
  }();
  for (const ReminderQuietState& record : bad) {
    store.stored = record;
    start();
    EXPECT_TRUE(engine->persistenceFailed());
    EXPECT_EQ(engine->quiet(), ReminderQuietState(true, std::nullopt));
  }
  store.failLoad = true;
  start();
  EXPECT_TRUE(engine->persistenceFailed());
  EXPECT_TRUE(engine->quiet().episodeHandled);
  EXPECT_EQ(store.saves, 0);  // nothing is written just for having read a bad record

  // The first successful save (the end of the episode) clears the failure; then reminders work.
  run(0, 20, zoom);
  EXPECT_TRUE(notifier.shown.empty());
  run(20, 142, nobody);
  EXPECT_FALSE(engine->persistenceFailed());
  EXPECT_EQ(*store.stored, ReminderQuietState(false, std::nullopt));
  run(200, 210, zoom);
  EXPECT_EQ(reminderTimes(), std::vector<double>{208});
}

TEST_F(EngineTest, NoReminderUnlessItsRecordIsSaved) {
  start();
  store.failSave = true;
  run(0, 60, zoom);
  EXPECT_TRUE(notifier.shown.empty());
  EXPECT_TRUE(engine->persistenceFailed());
  EXPECT_TRUE(engine->quiet().episodeHandled);  // not rolled back: no retry within the episode
  EXPECT_EQ(store.saves, 1);
  store.failSave = false;
  run(60, 182, nobody);
  EXPECT_FALSE(engine->persistenceFailed());
  run(400, 410, zoom);
  EXPECT_EQ(reminderTimes(), std::vector<double>{408});
}

TEST_F(EngineTest, DroppedStoreFailuresLeaveATraceThroughTheLogSink) {
  std::vector<std::string> lines;
  bool debugShows = true;
  LogSink::install({[&](std::string_view, LogLevel level) { return debugShows || level == LogLevel::warning; },
                    [&](std::string_view category, LogLevel, const std::string& message) {
                      lines.push_back(std::string(category) + " " + message);
                    }});
  struct Uninstall {
    ~Uninstall() { LogSink::install({}); }
  } uninstall;

  store.failLoad = true;
  start();
  store.failLoad = false;
  store.failSave = true;
  run(0, 20, zoom);
  run(20, 142, nobody);
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "talvo.reminders quiet state unreadable: unreadable; quiet until the next episode"),
            lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "talvo.reminders quiet state not saved: disk full; no reminder until it saves"),
            lines.end());

  // A category filtered out costs no line.
  lines.clear();
  debugShows = false;
  start();
  run(142, 300, nobody);
  EXPECT_TRUE(lines.empty());
}

}  // namespace
}  // namespace talvo
