// The fault sweep: the whole path of one recording — a short capture through the engine on fake
// sources, its stop, the queue record and fingerprint, the copy into the user's folder and the
// upload of its parts to the fake service — runs once to count the system calls it makes through
// the seam (core/system/system_call.h), then once for each of those calls with that call failing, with
// EIO, then ENOSPC, then EINTR. After each run, and after the next start that follows it:
//   - the recording holds no sample that differs from the clean run's, and a stop that reported
//     no failure kept them all;
//   - every record is readable, and a recording on disk always has one;
//   - what a step reported as done is done (a reported copy equals the recording, a recorded
//     fingerprint is the file's), and a failure shows where the user sees it (an error of the
//     step, a record needing attention, or a record's error code);
//   - the next start recovers the recording, and once sent the service holds it byte-identical.
// An interrupted call (EINTR) is retried below the seam, so such runs must match the clean run.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "app/tests/capture_fakes.h"
#include "cloud/desktop_upload_queue.h"
#include "cloud/upload_sha256.h"
#include "core/recording/local_recording_export.h"
#include "core/system/system_call.h"
#include "testing/stepped_clock.h"
#include "testing/fake_runs_service.h"
#include "testing/queue_direct_cloud.h"

namespace talvo {
namespace {

using testing::readWholeFile;

constexpr int secondsRecorded = 1;

// One run of the path in fresh folders against one fake service.
struct PathRun {
  testing::CaptureRig rig;  // the recordings folder is rig.directory
  testing::TempDirectory copies;
  testing::TempDirectory storage;
  testing::FakeRunsService service{storage.path()};
  testing::QueueDirectCloud cloud{service};
  std::int64_t clockSeconds = 1796638500;
  std::string id = testing::recordingId;
  std::string wav = rig.directory.file(recordingFileName(testing::recordingId));

  // What the run reported.
  std::vector<std::string> failures;  // steps that failed, in the words of their error
  bool stoppedClean = false;
  std::optional<std::string> copy;

  std::unique_ptr<DesktopUploadQueue> makeQueue() {
    return std::make_unique<DesktopUploadQueue>(rig.directory.path(), cloud, testing::wallReadings([this] {
                                                  return WallTime(std::chrono::seconds(clockSeconds));
                                                }));
  }

  template <typename Step>
  bool step(const char* name, Step&& action) {
    try {
      action();
      return true;
    } catch (const std::exception& error) {
      failures.push_back(std::string(name) + ": " + error.what());
      return false;
    }
  }

  void run() {
    auto queue = makeQueue();
    if (!step("reserve", [&] { queue->reserve(id, WallTime(std::chrono::seconds(clockSeconds))); })) return;
    if (!step("start", [&] { rig.start(); })) {
      step("finish", [&] { queue->finish(id, true); });
      return;
    }
    for (int block = 0; block < 10 * secondsRecorded; ++block) {
      const double at = rig.clock->monotonicSeconds();
      rig.computer->push(testing::constant(1600, 0.25f), at);
      rig.microphone->push(testing::constant(1600, 0.125f), at);
      rig.clock->advance(0.1);
      rig.engine->flushNow();
    }
    rig.engine->waitForQueue();
    const auto stopped = rig.engine->stopAndWait();
    stoppedClean = stopped.wav && !stopped.failure;
    if (stopped.failure) failures.push_back("stop: " + *stopped.failure);
    step("finish", [&] { queue->finish(id, !stoppedClean); });
    if (stopped.wav) step("copy", [&] { copy = LocalRecordingExport::copy(*stopped.wav, copies.path()); });
    step("sync", [&] { queue->sync(); });
  }

  // The next start: recovery, then a pass once the retry delay is over.
  void nextStart() {
    clockSeconds += 3600;
    auto queue = makeQueue();
    queue->recover();
    queue->sync();
  }

  std::optional<DesktopQueueItem> record() {
    auto queue = makeQueue();
    for (auto& item : queue->directory().list().items)
      if (item.id == id) return item;
    return std::nullopt;
  }
};

struct Reference {
  std::map<SystemCall, int> calls;
  std::vector<std::int16_t> samples;
  std::string wavBytes;
};

Reference cleanRun() {
  Reference reference;
  PathRun run;
  {
    SystemCallFault counter(SystemCall::getrandom, INT_MAX, 0);  // never strikes: it only counts
    run.run();
    for (int kind = 0; kind < systemCallKinds; ++kind) {
      const auto call = static_cast<SystemCall>(kind);
      if (counter.calls(call) > 0) reference.calls[call] = counter.calls(call);
    }
  }
  EXPECT_TRUE(run.failures.empty()) << run.failures.front();
  reference.samples = testing::readWave(run.wav).samples;
  reference.wavBytes = readWholeFile(run.wav);
  EXPECT_EQ(run.service.storedFile(run.id), reference.wavBytes);
  return reference;
}

bool fileExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// The samples of a recording; none (and a test failure) when it is not a WAV of ours.
std::vector<std::int16_t> samplesOf(const std::string& path) {
  try {
    return testing::readWave(path).samples;
  } catch (const std::exception& error) {
    ADD_FAILURE() << "a recording without a valid header: " << error.what();
    return {};
  }
}

const char* errorName(int error) { return error == EIO ? "EIO" : error == ENOSPC ? "ENOSPC" : "EINTR"; }

void checkRun(PathRun& run, const Reference& reference, int error, const std::string& where) {
  SCOPED_TRACE(where);
  const bool interruptedOnly = error == EINTR;
  if (interruptedOnly) {
    EXPECT_TRUE(run.failures.empty()) << run.failures.front();
  }

  // What was reported done is done.
  if (run.copy) {
    EXPECT_EQ(readWholeFile(*run.copy), readWholeFile(run.wav)) << "a reported copy differs";
  }
  if (auto item = run.record(); item && item->sha256 && fileExists(run.wav)) {
    if (item->state != queue_state::attention) {
      EXPECT_EQ(*item->sha256, UploadSha256::hex(readWholeFile(run.wav))) << "a recorded fingerprint is wrong";
    }
  }
  // A failure shows somewhere the user looks.
  if (!run.failures.empty() || !run.stoppedClean) {
    const auto item = run.record();
    const bool shown = !run.failures.empty() || (item && (item->state == queue_state::attention || item->errorCode));
    EXPECT_TRUE(shown) << "a failure went unseen";
  }

  run.nextStart();

  auto queue = run.makeQueue();
  const auto listing = queue->directory().list();
  EXPECT_EQ(listing.unreadable, 0) << "a record is unreadable";
  if (!fileExists(run.wav)) {  // the start failed: nothing was recorded, and its record says so
    const auto item = run.record();
    if (item) {
      EXPECT_EQ(item->state, queue_state::attention) << "a record waits for a recording that is not there";
    }
    EXPECT_FALSE(run.stoppedClean);
    EXPECT_FALSE(run.failures.empty());
    return;
  }
  // Not one sample differs from the clean run's; a clean stop kept them all.
  const auto samples = samplesOf(run.wav);
  ASSERT_LE(samples.size(), reference.samples.size());
  EXPECT_TRUE(std::equal(samples.begin(), samples.end(), reference.samples.begin())) << "samples differ";
  if (run.stoppedClean) {
    EXPECT_EQ(samples.size(), reference.samples.size()) << "a clean stop lost samples";
  }
  if (interruptedOnly) {
    EXPECT_EQ(readWholeFile(run.wav), reference.wavBytes);
  }

  const auto item = run.record();
  ASSERT_TRUE(item) << "a recording without a record";
  if (item->state == queue_state::attention) {
    EXPECT_TRUE(item->errorCode) << "needs attention without saying why";
    EXPECT_FALSE(interruptedOnly);
    return;
  }
  const auto sent = run.service.run(run.id);
  ASSERT_TRUE(sent && sent->status == "finalized") << "not sent at the next start: " << item->state;
  EXPECT_EQ(run.service.storedFile(run.id), readWholeFile(run.wav)) << "the service holds other bytes";
}

// Which of a kind's `count` calls fail. Each run fsyncs a dozen times: in memory every call fails
// in turn (about 4 s); on a disk, where a busy machine makes that minutes, the first and last
// call of every kind and three evenly between them (TALVO_FAULT_SWEEP=full: every call anyway).
std::vector<int> positions(int count, bool every) {
  std::vector<int> chosen;
  if (every || count <= 5) {
    for (int nth = 1; nth <= count; ++nth) chosen.push_back(nth);
    return chosen;
  }
  for (int step = 0; step < 5; ++step) chosen.push_back(1 + step * (count - 1) / 4);
  return chosen;
}

// The sweep checks what the program does with a failing call, not the disk: its folders go to
// memory (tmpfs, where fsync costs nothing) when there is one, so a busy disk cannot slow it.
struct FoldersInMemory {
  std::optional<std::string> saved;
  bool inMemory = false;
  FoldersInMemory() {
    if (const char* tmp = std::getenv("TMPDIR")) saved = tmp;
    inMemory = ::access("/dev/shm", W_OK) == 0 && ::setenv("TMPDIR", "/dev/shm", 1) == 0;
  }
  ~FoldersInMemory() {
    if (saved) {
      ::setenv("TMPDIR", saved->c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
  }
};

TEST(FaultSweep, EverySystemCallOfARecordingsPathFailsOnceAndNothingIsLost) {
  const FoldersInMemory folders;
  const char* mode = std::getenv("TALVO_FAULT_SWEEP");
  const bool every = folders.inMemory || (mode != nullptr && std::string(mode) == "full");
  const Reference reference = cleanRun();
  ASSERT_FALSE(reference.calls.empty());
  int total = 0;
  for (const auto& [call, count] : reference.calls) total += count;
  std::printf("fault sweep: %d system calls through the seam on a clean run, %zu kinds\n", total,
              reference.calls.size());
  int injected = 0;
  const auto began = std::chrono::steady_clock::now();
  for (const int error : {EIO, ENOSPC, EINTR}) {
    for (const auto& [call, count] : reference.calls) {
      for (const int nth : positions(count, every)) {
        const std::string where = std::string(errorName(error)) + " at call " + std::to_string(nth) + " of kind " +
                                  std::to_string(static_cast<int>(call));
        PathRun run;
        {
          SystemCallFault fault(call, nth, error);
          run.run();
          if (!fault.struck()) continue;  // this run made fewer such calls (another failed first)
        }
        ++injected;
        checkRun(run, reference, error, where);
        if (::testing::Test::HasFatalFailure()) return;
      }
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::printf("fault sweep: %d faults injected in %.1f s\n", injected, seconds);
  EXPECT_GT(injected, 0);
}

}  // namespace
}  // namespace talvo
