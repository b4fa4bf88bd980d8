#include <gtest/gtest.h>

#include <cstring>

#include "cloud/tests/queue_test_support.h"
#include "cloud/upload_sha256.h"
#include "core/values/recording_id.h"

namespace talvo {
namespace {

using testing::failureCode;

// A WAV header for `samples` samples (16 kHz mono PCM16), as the journal writes it.
std::string waveHeader(std::uint32_t samples) {
  std::string header(44, '\0');
  auto put32 = [&](std::size_t at, std::uint32_t value) { std::memcpy(&header[at], &value, 4); };
  auto put16 = [&](std::size_t at, std::uint16_t value) { std::memcpy(&header[at], &value, 2); };
  std::memcpy(&header[0], "RIFF", 4);
  put32(4, 36 + 2 * samples);
  std::memcpy(&header[8], "WAVEfmt ", 8);
  put32(16, 16);
  put16(20, 1);
  put16(22, 1);
  put32(24, 16000);
  put32(28, 32000);
  put16(32, 2);
  put16(34, 16);
  std::memcpy(&header[36], "data", 4);
  put32(40, 2 * samples);
  return header;
}

TEST(QueueOperations, PrepareCreatesCapturingRecords) {
  testing::QueueWorld world;
  std::string first = world.queue.prepare();
  std::string second = world.queue.prepare();  // same instant, another record
  EXPECT_NE(first, second);
  DesktopQueueItem item = world.item(first);
  EXPECT_EQ(item.state, "capturing");
  EXPECT_EQ(item.ownerId, "42");
  EXPECT_EQ(item.startedAt, "2026-12-07T10:15:00Z");
  EXPECT_EQ(item.bytes, 0);
  EXPECT_FALSE(item.sha256);

  world.cloud.setOwner(std::nullopt);
  EXPECT_FALSE(world.item(world.queue.prepare()).ownerId);
}

TEST(QueueOperations, FinishFingerprintsOrNeedsAttention) {
  testing::QueueWorld world;
  std::string id = world.record(100000, true);
  DesktopQueueItem item = world.item(id);
  EXPECT_EQ(item.state, "recorded");
  EXPECT_TRUE(item.interrupted);
  EXPECT_EQ(item.bytes, 100000);
  EXPECT_EQ(item.sha256, UploadSha256::hex(world.local(id)));

  std::string empty = world.queue.prepare();
  testing::writeRecording(world.recordings.path(), empty, waveHeader(0));
  world.queue.finish(empty, false);
  EXPECT_EQ(world.item(empty).state, "attention");
  EXPECT_EQ(world.item(empty).errorCode, "EMPTY_RECORDING");

  // No WAV file at all: still recorded as needing the user, nothing thrown.
  std::string missing = world.queue.prepare();
  world.queue.finish(missing, false);
  EXPECT_EQ(world.item(missing).errorCode, "FILE_UNAVAILABLE");
  EXPECT_EQ(failureCode([&] { world.queue.finish(makeRecordingId(), false); }), "FILE_UNAVAILABLE");
}

TEST(QueueOperations, RecoverRepairsOrMarksForReview) {
  testing::QueueWorld world;
  // Header says nothing was written, but a second of samples reached the disk.
  std::string repaired = world.queue.prepare();
  testing::writeRecording(world.recordings.path(), repaired, waveHeader(0) + std::string(32001, '\x01'));
  std::string damaged = world.queue.prepare();
  testing::writeRecording(world.recordings.path(), damaged, std::string(44, 'x') + std::string(100, '\x01'));
  std::string finished = world.record(1000);

  world.queue.recover();
  DesktopQueueItem item = world.item(repaired);
  EXPECT_EQ(item.state, "recorded");
  EXPECT_TRUE(item.interrupted);
  EXPECT_EQ(item.bytes, 44 + 32000);  // the half sample is trimmed
  DesktopQueueItem bad = world.item(damaged);
  EXPECT_EQ(bad.state, "attention");
  EXPECT_TRUE(bad.interrupted);
  EXPECT_EQ(bad.errorCode, "RECOVERY_REQUIRED");
  EXPECT_EQ(world.item(finished).state, "recorded");
}

TEST(QueueOperations, AdoptUnlinkedTakesOnlyFinishedUnownedRecords) {
  testing::QueueWorld world;
  world.cloud.setOwner(std::nullopt);
  std::string unlinked = world.record(1000);
  std::string capturing = world.queue.prepare();
  world.cloud.setOwner("7");
  std::string foreign = world.record(1000);
  world.cloud.setOwner("42");

  EXPECT_EQ(failureCode([&] { world.queue.adoptUnlinked("7"); }), "OWNER_MISMATCH");
  world.queue.adoptUnlinked("42");
  EXPECT_EQ(world.item(unlinked).ownerId, "42");
  EXPECT_FALSE(world.item(capturing).ownerId);
  EXPECT_EQ(world.item(foreign).ownerId, "7");
  world.cloud.setOwner(std::nullopt);
  EXPECT_EQ(failureCode([&] { world.queue.adoptUnlinked("42"); }), "OWNER_MISMATCH");
}

TEST(QueueOperations, SummaryCountsByOwnerAndState) {
  testing::QueueWorld world;
  world.cloud.setOwner(std::nullopt);
  std::string unlinked = world.record(1000);
  world.cloud.setOwner("7");
  world.record(1000);
  world.cloud.setOwner("42");
  world.record(1000);
  std::string empty = world.queue.prepare();
  testing::writeRecording(world.recordings.path(), empty, "short");
  world.queue.finish(empty, false);
  world.queue.prepare();  // capturing: not counted

  EXPECT_EQ(world.queue.summary(), (QueueSummary{1, 1, 1, 1, "EMPTY_RECORDING"}));
  world.cloud.setOwner(std::nullopt);
  EXPECT_EQ(world.queue.summary(), (QueueSummary{0, 1, 4, 0, std::nullopt}));

  testing::writeWholeFile(world.recordings.file(makeRecordingId() + ".upload.json"), "{}");
  QueueSummary counts = world.queue.summary();
  EXPECT_EQ(counts.attention, 1);
  EXPECT_EQ(counts.message, "JOURNAL_REVIEW_REQUIRED");
  EXPECT_EQ(world.queue.unreadableJournals(), 1);
  (void)unlinked;
}

}  // namespace
}  // namespace talvo
