#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <thread>

#include "cloud/tests/queue_test_support.h"

namespace talvo {
namespace {

TEST(QueueConcurrency, SyncRunsWhilePrepareAndFinishWorkFromOtherThreads) {
  testing::QueueWorld world;
  for (int i = 0; i < 3; ++i) world.record(20000 + i, false, static_cast<unsigned>(i));
  std::atomic<bool> recording{true};
  std::vector<std::string> made[2];
  std::vector<std::thread> recorders;
  for (int t = 0; t < 2; ++t) {
    recorders.emplace_back([&, t] {
      for (int i = 0; i < 6; ++i) {
        std::string id = world.queue.prepare();
        testing::writeRecording(world.recordings.path(), id, testing::recordingBytes(5000 + i, t * 10 + i));
        world.queue.finish(id, false);
        made[t].push_back(id);
      }
    });
  }
  std::thread syncer([&] {
    while (recording) {
      world.queue.sync();
      world.advance(61);
    }
  });
  for (auto& thread : recorders) thread.join();
  recording = false;
  syncer.join();
  for (int pass = 0; pass < 3; ++pass) {
    world.advance(61);
    world.queue.sync();
  }
  QueueDirectory::Listing listing = world.queue.directory().list();
  EXPECT_EQ(listing.items.size(), 15u);
  EXPECT_EQ(listing.unreadable, 0);
  for (const DesktopQueueItem& item : listing.items) {
    EXPECT_EQ(item.state, "processing") << item.id << " " << item.errorCode.value_or("");
    EXPECT_EQ(world.service.processRequests(item.id), 1);
  }
  EXPECT_EQ(world.service.repeatedParts(), 0);
}

TEST(QueueConcurrency, ASecondPassReturnsAtOnceAndSendsNothing) {
  testing::QueueWorld world;
  world.record(3000);
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> first{true};
  world.cloud.setBeforeCall([&](const UploadRequest&) {
    if (first.exchange(false)) {
      entered.set_value();
      released.wait();
    }
  });
  auto running = std::async(std::launch::async, [&] { return world.queue.sync(); });
  entered.get_future().wait();
  std::size_t sent = world.cloud.log().size();
  EXPECT_TRUE(world.queue.syncing());
  QueueSummary counts = world.queue.sync();
  EXPECT_EQ(counts.waiting, 1);
  EXPECT_EQ(world.cloud.log().size(), sent);
  release.set_value();
  running.get();
  EXPECT_FALSE(world.queue.syncing());
}

TEST(QueueConcurrency, ReadersNeverSeeATornRecord) {
  testing::TempDirectory temp;
  QueueDirectory directory(temp.path());
  DesktopQueueItem small;
  small.id = "3f0c1a52-9b7e-4c1d-8e2a-0f6b5d4c3b2a";
  small.startedAt = "2026-12-07T10:15:00Z";
  DesktopQueueItem large = small;
  large.startedAt = std::string(99, 'x');
  large.errorCode = std::string(3000, 'E');
  large.sha256 = std::string(64, 'f');
  directory.save(small, true);

  std::atomic<bool> writing{true};
  std::thread writer([&] {
    for (int i = 0; i < 100; ++i) directory.save(i % 2 ? small : large, false);
    writing = false;
  });
  int reads = 0;
  int torn = 0;
  while (writing) {
    try {
      DesktopQueueItem seen = directory.load(small.id);
      if (!(seen == small || seen == large)) ++torn;
    } catch (const std::exception& error) {
      ADD_FAILURE() << error.what();
      ++torn;
    }
    ++reads;
  }
  writer.join();
  EXPECT_EQ(torn, 0);
  EXPECT_GT(reads, 0);
  EXPECT_EQ(directory.list().items.size(), 1u);  // no temporaries left behind as records
}

}  // namespace
}  // namespace talvo
