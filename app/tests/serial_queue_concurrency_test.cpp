// The capture queue on its own thread: order, nested sync, and its repeating timer.
#include "app/capture/serial_queue.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <vector>

namespace talvo {
namespace {

TEST(SerialQueueTest, RunsTasksInOrderAndSyncFromInsideDoesNotDeadlock) {
  std::vector<int> order;
  {
    SerialQueue queue("test.queue");
    for (int i = 0; i < 100; ++i) {
      queue.async([&order, i] { order.push_back(i); });
    }
    int inner = 0;
    queue.sync([&] { queue.sync([&] { inner = 1; }); });
    EXPECT_EQ(inner, 1);
    EXPECT_THROW(queue.sync([] { throw std::runtime_error("x"); }), std::runtime_error);
    std::atomic<int> fires{0};
    queue.startTimer(std::chrono::milliseconds(1), std::chrono::milliseconds(1), [&] { ++fires; });
    for (int i = 0; i < 2000 && fires < 3; ++i) {
      usleep(1000);
    }
    queue.cancelTimer();
    int seen = fires;
    queue.sync([] {});
    usleep(20000);
    EXPECT_GE(seen, 3);
    EXPECT_LE(fires - seen, 1);
  }
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(order[i], i);
  }
}

}  // namespace
}  // namespace talvo
