// Start-up recovery: every recording on disk ends in the queue, whatever the program was doing
// when it ended, and nothing a crash left half-written stays behind.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "cloud/tests/queue_test_support.h"
#include "core/values/recording_id.h"
#include "core/recording/wave_journal.h"

namespace talvo {
namespace {

// A WAV whose writer died after `samples` samples reached the disk and before any checkpoint.
std::string crashedRecording(const std::string& path, std::size_t samples) {
  {
    WaveJournal journal(path);
    std::vector<std::int16_t> data(samples);
    for (std::size_t i = 0; i < samples; ++i) data[i] = static_cast<std::int16_t>(i * 7);
    journal.append(data);
  }  // dropped without close(), as a crash would leave it
  return testing::readWholeFile(path);
}

TEST(QueueRecovery, AFinishedRecordingWithoutRecordIsRepairedAdoptedAndUploadedByteIdentical) {
  testing::QueueWorld world;
  const std::string orphan = makeRecordingId();
  const std::string writing = makeRecordingId();
  const std::string header = crashedRecording(world.recordings.file(orphan + ".wav"), 16000).substr(0, 44);
  crashedRecording(world.recordings.file(writing + ".wav"), 1600);
  testing::writeWholeFile(world.recordings.file("notes.wav"), "not a recording", 0600);
  const std::string kept = world.record(1000);

  EXPECT_EQ(world.queue.recover([&](const std::string& id) { return id == writing; }), 1);

  DesktopQueueItem item = world.item(orphan);
  EXPECT_EQ(item.state, "recorded");
  EXPECT_TRUE(item.interrupted);
  EXPECT_FALSE(item.ownerId);  // sent like any recording made without an account
  EXPECT_EQ(item.bytes, 44 + 32000);
  EXPECT_NE(world.local(orphan).substr(0, 44), header);  // the header now covers the samples
  EXPECT_EQ(testing::failureCode([&] { world.item(writing); }), "FILE_UNAVAILABLE");  // still being written
  EXPECT_EQ(world.item(kept).state, "recorded");
  EXPECT_EQ(world.queue.recover(), 1);  // the one no longer written; the adopted one stays as it is
  EXPECT_EQ(world.item(orphan), item);

  world.queue.adoptUnlinked("42");
  world.queue.sync();
  EXPECT_EQ(world.service.storedFile(orphan), world.local(orphan));
}

TEST(QueueRecovery, StaleTemporariesGoAndNothingElse) {
  testing::QueueWorld world;
  const std::string id = makeRecordingId();
  const std::vector<std::string> stale = {".journal-" + id, "." + id + ".wav.json." + makeRecordingId() + ".tmp"};
  const std::vector<std::string> others = {".journal-x", "." + id + ".tmp", ".journal-" + id + "x", "keep.tmp"};
  for (const auto& name : stale) testing::writeWholeFile(world.recordings.file(name), "{", 0600);
  for (const auto& name : others) testing::writeWholeFile(world.recordings.file(name), "{", 0600);
  ::mkdir(world.recordings.file(".journal-" + makeRecordingId()).c_str(), 0700);  // not a regular file

  world.queue.recover();
  struct stat info {};
  for (const auto& name : stale) EXPECT_NE(::lstat(world.recordings.file(name).c_str(), &info), 0) << name;
  for (const auto& name : others) EXPECT_EQ(::lstat(world.recordings.file(name).c_str(), &info), 0) << name;
}

TEST(QueueRecovery, ClaimGivesOnlyAnUnownedRecordToTheConnectedAccount) {
  testing::QueueWorld world;
  world.cloud.setOwner(std::nullopt);
  const std::string early = world.record(1000);
  world.queue.claim(early);  // nobody connected: stays unowned
  EXPECT_FALSE(world.item(early).ownerId);
  world.cloud.setOwner("7");
  const std::string owned = world.record(1000);
  world.cloud.setOwner("42");
  world.queue.claim(early);
  world.queue.claim(owned);
  EXPECT_EQ(world.item(early).ownerId, "42");
  EXPECT_EQ(world.item(early).state, "recorded");
  EXPECT_EQ(world.item(owned).ownerId, "7");
}

}  // namespace
}  // namespace talvo
