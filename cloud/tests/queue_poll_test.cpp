// The interface polls the queue's flags while records are being written; a poll must never
// wait for a record's fsync.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "cloud/tests/queue_test_support.h"

namespace {

// fsync can be held at a gate: the test executable's own definition stands in for the C
// library's (calls from the linked libraries resolve to it), and forwards to the system call.
std::mutex gateMutex;
std::condition_variable gateChanged;
bool gateArmed = false;
bool heldAtGate = false;
bool gateOpen = false;

}  // namespace

extern "C" int fsync(int fd) {
  {
    std::unique_lock lock(gateMutex);
    if (gateArmed) {
      gateArmed = false;
      heldAtGate = true;
      gateChanged.notify_all();
      gateChanged.wait(lock, [] { return gateOpen; });
    }
  }
  return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace talvo {
namespace {

TEST(QueuePoll, FlagsAreReadWhileARecordWaitsForTheDisk) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers bring their own fsync";
#endif
  testing::QueueWorld world;
  {
    std::lock_guard lock(gateMutex);
    gateArmed = true;
    heldAtGate = false;
    gateOpen = false;
  }
  std::thread writer([&] { world.queue.prepare(); });
  {
    std::unique_lock lock(gateMutex);
    gateChanged.wait(lock, [] { return heldAtGate; });
  }
  auto poll =
      std::async(std::launch::async, [&] { return world.queue.syncing() || world.queue.unreadableJournals() > 0; });
  bool answered = poll.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  {
    std::lock_guard lock(gateMutex);
    gateOpen = true;
  }
  gateChanged.notify_all();
  writer.join();
  EXPECT_TRUE(answered);
  EXPECT_FALSE(poll.get());
}

}  // namespace
}  // namespace talvo
