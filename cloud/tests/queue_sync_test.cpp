#include <gtest/gtest.h>

#include "cloud/tests/queue_test_support.h"
#include "core/values/recording_id.h"

namespace talvo {
namespace {

constexpr std::int64_t oneMinute = 44 + 32000 * 60;

TEST(QueueSync, WithoutAnAccountNothingIsSent) {
  testing::QueueWorld world;
  std::string owned = world.record(1000);
  world.cloud.setOwner(std::nullopt);
  std::string unlinked = world.record(1000);
  EXPECT_EQ(world.queue.sync(), (QueueSummary{0, 1, 1, 0, std::nullopt}));
  EXPECT_TRUE(world.cloud.log().empty());
  EXPECT_FALSE(world.queue.syncing());
  (void)owned;
  (void)unlinked;
}

TEST(QueueSync, AccountInformationFailureEndsThePassUntouched) {
  testing::QueueWorld world;
  std::string id = world.record(1000);
  DesktopQueueItem before = world.item(id);
  struct Refusing : testing::QueueDirectCloud {
    using QueueDirectCloud::QueueDirectCloud;
    std::optional<QueueRights> refreshRights() override { throw CloudFailure("DEVICE_REVOKED", 401); }
  } refusing{world.service};
  DesktopUploadQueue queue(world.recordings.path(), refusing);
  EXPECT_EQ(testing::failureCode([&] { queue.sync(); }), "DEVICE_REVOKED");
  EXPECT_EQ(world.item(id), before);
  EXPECT_FALSE(queue.syncing());
}

TEST(QueueSync, ProcessingFollowsTheAccountsRights) {
  testing::QueueWorld world;
  auto processed = [&](std::optional<QueueRights> rights) {
    world.cloud.setRights(rights);
    std::string id = world.record(oneMinute);
    world.queue.sync();
    DesktopQueueItem item = world.item(id);
    EXPECT_EQ(item.nextAttempt, world.now() + 30);
    if (item.state == "uploaded") {
      EXPECT_EQ(item.errorCode, "TARIFF_REQUIRED");
    }
    return world.service.processRequests(id) == 1 && item.state == "processing";
  };
  EXPECT_TRUE(processed(QueueRights{"basic", 60}));
  EXPECT_FALSE(processed(QueueRights{"basic", 59}));
  EXPECT_TRUE(processed(QueueRights{"unlimited", 0}));
  EXPECT_FALSE(processed(QueueRights{"basic", std::nullopt}));
  EXPECT_FALSE(processed(std::nullopt));
  EXPECT_EQ(DesktopUploadQueue::durationSeconds(44), 0);
  EXPECT_EQ(DesktopUploadQueue::durationSeconds(45), 1);
}

TEST(QueueSync, TariffCheckedAgainAfterTheDelay) {
  testing::QueueWorld world;
  world.cloud.setRights(QueueRights{"basic", 0});
  std::string id = world.record(oneMinute);
  world.queue.sync();
  EXPECT_EQ(world.item(id).state, "uploaded");
  world.cloud.setRights(QueueRights{"basic", 3600});
  world.advance(10);
  world.queue.sync();
  EXPECT_EQ(world.item(id).state, "uploaded");  // not due yet
  world.advance(20);
  world.queue.sync();
  DesktopQueueItem item = world.item(id);
  EXPECT_EQ(item.state, "processing");
  // The processing step never clears an earlier code.
  EXPECT_EQ(item.errorCode, "TARIFF_REQUIRED");
}

TEST(QueueSync, LostProcessingReplyIsNeverFollowedByASecondRequest) {
  testing::QueueWorld world;
  std::string id = world.record(2000);
  auto faults = world.service.faults();
  faults.loseNextProcessReply = true;
  world.service.setFaults(faults);
  world.queue.sync();
  DesktopQueueItem item = world.item(id);
  EXPECT_EQ(item.state, "processing-unknown");
  EXPECT_TRUE(item.processAttempted);
  EXPECT_EQ(item.errorCode, "NETWORK_UNAVAILABLE");
  EXPECT_EQ(world.queue.summary().attention, 1);
  world.advance(60);
  world.queue.sync();  // the job exists: it is followed, not requested again
  EXPECT_EQ(world.item(id).state, "processing");
  world.service.completeJob(id);
  world.advance(30);
  world.queue.sync();
  EXPECT_EQ(world.item(id).state, "done");
  EXPECT_EQ(world.service.processRequests(id), 1);
}

TEST(QueueSync, CrashBeforeTheProcessingRequestAsksForConfirmation) {
  testing::QueueWorld world;
  world.cloud.setRights(std::nullopt);
  std::string id = world.record(2000);
  world.queue.sync();
  // As left by a crash right after the record was committed and before the request went out.
  DesktopQueueItem item = world.item(id);
  item.state = "processing-unknown";
  item.processAttempted = true;
  item.nextAttempt = 0;
  world.queue.directory().save(item, false);
  world.cloud.setRights(QueueRights{"unlimited", std::nullopt});
  QueueSummary counts = world.queue.sync();
  item = world.item(id);
  EXPECT_EQ(item.state, "processing-unknown");
  EXPECT_EQ(item.errorCode, "PROCESSING_CONFIRMATION_REQUIRED");
  EXPECT_EQ(world.service.processRequests(id), 0);
  EXPECT_EQ(counts.attention, 1);
  EXPECT_EQ(counts.message, "PROCESSING_CONFIRMATION_REQUIRED");
}

TEST(QueueSync, FailedJobNeedsTheUser) {
  testing::QueueWorld world;
  std::string id = world.record(2000);
  world.queue.sync();
  world.service.completeJob(id, "failed");
  world.advance(30);
  QueueSummary counts = world.queue.sync();
  EXPECT_EQ(world.item(id).state, "attention");
  EXPECT_EQ(world.item(id).errorCode, "PROCESSING_REVIEW_REQUIRED");
  EXPECT_EQ(counts, (QueueSummary{0, 0, 0, 1, "PROCESSING_REVIEW_REQUIRED"}));
  world.advance(3600);
  world.queue.sync();
  EXPECT_EQ(world.item(id).state, "attention");  // never left automatically
}

TEST(QueueSync, OtherOwnersAndUnreadableRecordsAreLeftAlone) {
  testing::QueueWorld world;
  world.cloud.setOwner("7");
  std::string foreign = world.record(2000);
  world.cloud.setOwner("42");
  testing::writeWholeFile(world.recordings.file(makeRecordingId() + ".upload.json"), std::string(9000, ' '));
  QueueSummary counts = world.queue.sync();
  EXPECT_EQ(world.item(foreign).state, "recorded");
  EXPECT_FALSE(world.service.run(foreign));
  EXPECT_EQ(counts, (QueueSummary{0, 0, 1, 1, "JOURNAL_REVIEW_REQUIRED"}));
}

TEST(QueueSync, OnlyTheServicesCredentialConflictIsFinal) {
  testing::QueueWorld world;
  std::string id = world.record(1000);
  // The client's own conflict: a disconnect or new pairing raced with a token refresh.
  world.cloud.setBeforeCall([](const UploadRequest&) { throw CloudFailure("CREDENTIAL_CHANGED", 409); });
  world.queue.sync();
  DesktopQueueItem item = world.item(id);
  EXPECT_EQ(item.state, "uploading");
  EXPECT_EQ(item.errorCode, "CREDENTIAL_CHANGED");
  EXPECT_EQ(item.nextAttempt, world.now() + DesktopUploadQueue::failureDelay);

  world.advance(60);
  world.cloud.setBeforeCall(
      [](const UploadRequest&) { throw CloudFailure("CREDENTIAL_CHANGED", 409, CloudFailure::Origin::service); });
  world.queue.sync();
  EXPECT_EQ(world.item(id).state, "attention");
}

}  // namespace
}  // namespace talvo
