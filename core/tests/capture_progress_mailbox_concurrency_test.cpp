// The mailbox between the capture thread and the main thread, used exactly as the engine does:
// a pick-up task is scheduled only when offer() says the slot was empty.
#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "core/recording/capture_progress_mailbox.h"

namespace talvo {
namespace {

// A stand-in for the main thread's task queue.
class TaskQueue {
 public:
  void post() {
    std::lock_guard guard(lock_);
    ++pending_;
    maxPending_ = std::max(maxPending_, pending_);
    changed_.notify_one();
  }
  // Waits for a task; false once `closed` and no task is left.
  bool take() {
    std::unique_lock guard(lock_);
    changed_.wait(guard, [&] { return pending_ > 0 || closed_; });
    if (pending_ == 0) return false;
    --pending_;
    return true;
  }
  void close() {
    std::lock_guard guard(lock_);
    closed_ = true;
    changed_.notify_one();
  }
  int maxPending() {
    std::lock_guard guard(lock_);
    return maxPending_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  int pending_ = 0;
  int maxPending_ = 0;
  bool closed_ = false;
};

TEST(CaptureProgressMailboxConcurrency, MainThreadGetsNewerSnapshotsOnlyAndTheLastOne) {
  constexpr int offers = 20000;
  CaptureProgressMailbox mailbox;
  TaskQueue mainThread;
  std::vector<double> received;

  std::thread consumer([&] {
    while (mainThread.take()) {
      if (auto snapshot = mailbox.drain()) received.push_back(snapshot->elapsed);
    }
  });
  std::thread producer([&] {
    for (int i = 1; i <= offers; ++i) {
      CaptureProgressSnapshot snapshot{i * 0.1, 0.5f, 0.25f, std::nullopt};
      if (i % 3 == 0) snapshot.warning = "Звук компьютера ещё не подтверждён. Включите тестовый звук.";
      if (mailbox.offer(std::move(snapshot))) mainThread.post();
    }
  });
  producer.join();
  mainThread.close();
  consumer.join();

  EXPECT_LE(mainThread.maxPending(), 1) << "pick-up tasks piled up";
  ASSERT_FALSE(received.empty());
  for (std::size_t i = 1; i < received.size(); ++i) ASSERT_LT(received[i - 1], received[i]);
  EXPECT_DOUBLE_EQ(received.back(), offers * 0.1);
  EXPECT_FALSE(mailbox.drain().has_value());
}

}  // namespace
}  // namespace talvo
