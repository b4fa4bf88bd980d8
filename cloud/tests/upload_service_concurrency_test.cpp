// Sync passes over real TLS while recordings start and stop on other threads and the interface
// asks for counts: every finished recording ends uploaded exactly once.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "cloud/tests/queue_service_rig.h"
#include "cloud/tests/queue_test_support.h"

namespace talvo {
namespace {

TEST(UploadServiceConcurrency, SyncOverTlsWhileRecordingsStartAndStop) {
  testing::QueueServiceRig rig;
  rig.runs.setJobDelay(std::chrono::milliseconds(0));
  auto seconds = std::make_shared<std::atomic<std::int64_t>>(1796638500);
  auto client =
      rig.client(testing::wallReadings([seconds] { return WallTime(std::chrono::seconds(seconds->load())); }));
  DesktopUploadQueue& queue = client->queue;

  std::atomic<bool> recording{true};
  std::vector<std::string> made;
  std::thread recorder([&] {
    for (int i = 0; i < 4; ++i) {
      std::string id = queue.prepare();
      testing::writeRecording(rig.recordings.path(), id, testing::recordingBytes(4194304 + 1000 * i, i + 1));
      queue.finish(id, false);
      made.push_back(id);
    }
    recording = false;
  });
  std::thread counter([&] {
    while (recording) queue.summary();
  });
  while (recording) {
    queue.sync();
    *seconds += 61;
  }
  recorder.join();
  counter.join();
  for (int pass = 0; pass < 3; ++pass) {
    queue.sync();
    *seconds += 61;
  }
  for (const std::string& id : made) {
    EXPECT_EQ(queue.directory().load(id).state, "done") << id;
    EXPECT_EQ(rig.runs.processRequests(id), 1);
    EXPECT_EQ(rig.runs.storedFile(id), testing::readWholeFile(rig.recordings.file(id + ".wav")));
  }
  EXPECT_EQ(rig.runs.repeatedParts(), 0);
}

}  // namespace
}  // namespace talvo
