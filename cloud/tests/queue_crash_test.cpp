// A sync pass killed at random moments must never lose, duplicate or corrupt anything: a
// child process runs passes over several recordings and is killed with SIGKILL again and again;
// then a fresh queue in a new process finishes the work.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <thread>

#include "cloud/tests/queue_service_rig.h"
#include "cloud/tests/queue_test_support.h"

namespace talvo {
namespace {

using testing::QueueServiceRig;

// Runs sync passes in a child until killed or `passes` are done; returns its pid.
pid_t syncInChild(QueueServiceRig& rig, std::int64_t clockOffset, int passes) {
  pid_t child = ::fork();
  if (child != 0) return child;
  int status = 0;
  try {
    auto step = std::make_shared<std::int64_t>(0);
    auto client = rig.client(testing::wallReadings(
        [clockOffset, step] { return std::chrono::system_clock::now() + std::chrono::seconds(clockOffset + *step); }));
    for (int pass = 0; passes == 0 || pass < passes; ++pass) {
      try {
        client->queue.sync();
      } catch (...) {
      }
      *step += 61;  // every back-off is over by the next pass
    }
  } catch (...) {
    status = 2;
  }
  ::_exit(status);
}

TEST(QueueCrash, KilledPassesResumeWithoutRepeatsAndAFreshQueueFinishes) {
  for (unsigned seed : {11u, 22u, 33u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    QueueServiceRig rig;
    rig.runs.setJobDelay(std::chrono::milliseconds(0));
    std::vector<std::string> ids;
    {
      auto maker = rig.client();
      for (std::int64_t size : {2 * 4194304 + 3, 4194304, 300000, 5 * 1048576 + 1}) {
        std::string id = maker->queue.prepare();
        testing::writeRecording(rig.recordings.path(), id, testing::recordingBytes(size, seed + ids.size()));
        maker->queue.finish(id, false);
        ids.push_back(id);
      }
    }

    std::mt19937 random(seed);
    std::uniform_int_distribution<int> delay_ms(5, 70);
    for (int round = 0; round < 12; ++round) {
      pid_t child = syncInChild(rig, 1000 * (round + 1), 0);
      ASSERT_GT(child, 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms(random)));
      ::kill(child, SIGKILL);
      int status = 0;
      ::waitpid(child, &status, 0);
      rig.runs.waitIdle();
    }

    pid_t finisher = syncInChild(rig, 100000, 6);
    int status = 0;
    ::waitpid(finisher, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    QueueDirectory directory(rig.recordings.path());
    QueueDirectory::Listing listing = directory.list();
    EXPECT_EQ(listing.unreadable, 0);
    EXPECT_EQ(listing.items.size(), ids.size());
    for (const std::string& id : ids) {
      SCOPED_TRACE(id);
      testing::expectHeldExactly(rig, id);
      EXPECT_LE(rig.runs.processRequests(id), 1);
      DesktopQueueItem item = directory.load(id);
      if (rig.runs.processRequests(id) == 1) {
        EXPECT_EQ(item.state, "done");
      } else {
        // Killed between committing the attempt and sending it: never asked twice.
        EXPECT_EQ(item.state, "processing-unknown");
        EXPECT_EQ(item.errorCode, "PROCESSING_CONFIRMATION_REQUIRED");
      }
    }
    EXPECT_EQ(rig.runs.repeatedParts(), 0);
  }
}

}  // namespace
}  // namespace talvo
