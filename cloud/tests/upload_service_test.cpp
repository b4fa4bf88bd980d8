// The queue against the fake service over TLS, through the real cloud client.
#include <gtest/gtest.h>

#include "cloud/tests/queue_service_rig.h"
#include "cloud/tests/queue_test_support.h"

namespace talvo {
namespace {

using testing::expectHeldExactly;
using testing::QueueServiceRig;

std::string finishedRecording(QueueServiceRig& rig, DesktopUploadQueue& queue, std::int64_t size, unsigned seed = 1) {
  std::string id = queue.prepare();
  testing::writeRecording(rig.recordings.path(), id, testing::recordingBytes(size, seed));
  queue.finish(id, false);
  return id;
}

TEST(UploadService, UploadsAndProcessesEndToEnd) {
  QueueServiceRig rig;
  auto client = rig.client();
  std::string id = finishedRecording(rig, client->queue, 4194304 + 1000);
  EXPECT_EQ(client->queue.sync(), (QueueSummary{1, 0, 0, 0, std::nullopt}));
  expectHeldExactly(rig, id);
  DesktopQueueItem item = client->queue.directory().load(id);
  EXPECT_EQ(item.state, "processing");
  EXPECT_EQ(rig.runs.processRequests(id), 1);
  auto header = rig.service.lastHeader("/api/runs/" + id + "/chunks/1", "X-Content-SHA256");
  ASSERT_TRUE(header);
  EXPECT_EQ(*header, rig.runs.run(id)->parts.at(1).sha256);
}

TEST(UploadService, ResumesAfterTheConnectionDropsMidPart) {
  QueueServiceRig rig;
  auto seconds = std::make_shared<std::atomic<std::int64_t>>(1796638500);
  auto client =
      rig.client(testing::wallReadings([seconds] { return WallTime(std::chrono::seconds(seconds->load())); }));
  std::string id = finishedRecording(rig, client->queue, 2 * 4194304 + 7);
  auto faults = rig.runs.faults();
  faults.dropNextPartAfter = 65536;
  rig.runs.setFaults(faults);
  client->queue.sync();
  DesktopQueueItem item = client->queue.directory().load(id);
  EXPECT_EQ(item.state, "uploading");
  EXPECT_EQ(item.errorCode, "NETWORK_UNAVAILABLE");
  *seconds += 60;
  client->queue.sync();
  expectHeldExactly(rig, id);
  EXPECT_EQ(rig.runs.repeatedParts(), 0);
  EXPECT_EQ(rig.runs.acceptedParts(), 3);
}

TEST(UploadService, ExpiredTokenIsRefreshedOnceAndTheRequestRepeated) {
  QueueServiceRig rig;
  auto client = rig.client();
  std::string id = finishedRecording(rig, client->queue, 3000);
  client->queue.sync();  // refreshes the account information
  std::string recorded = finishedRecording(rig, client->queue, 3000, 2);
  rig.service.armFault("/api/runs", testing::Fault{testing::FaultKind::unauthorized});
  client->queue.sync();
  expectHeldExactly(rig, recorded);
  EXPECT_EQ(rig.service.requestCount("/api/session/refresh"), 1);
  (void)id;
}

TEST(UploadService, PartRefusedWith401IsRepeatedFromTheSameBuffer) {
  QueueServiceRig rig;
  auto client = rig.client();
  std::string id = finishedRecording(rig, client->queue, 2 * 4194304 + 5);
  // The part is sent from the protocol's buffer without a copy; the repeat after the refresh
  // must carry the very same bytes, and the next part must not be mixed into it.
  rig.service.armFault("/api/runs/" + id + "/chunks/1", testing::Fault{testing::FaultKind::unauthorized});
  rig.service.keepBodies("/api/runs/" + id + "/chunks/1");
  client->queue.sync();
  expectHeldExactly(rig, id);
  EXPECT_EQ(rig.service.requestCount("/api/session/refresh"), 1);
  EXPECT_EQ(rig.runs.acceptedParts(), 3);
  std::string local = testing::readWholeFile(rig.recordings.file(id + ".wav"));
  auto bodies = rig.service.requestBodies("/api/runs/" + id + "/chunks/1");
  ASSERT_EQ(bodies.size(), 2u);
  EXPECT_EQ(bodies[0], local.substr(4194304, 4194304));
  EXPECT_EQ(bodies[1], bodies[0]);
}

TEST(UploadService, LostProcessReplyLeavesOneJob) {
  QueueServiceRig rig;
  auto seconds = std::make_shared<std::atomic<std::int64_t>>(1796638500);
  auto client =
      rig.client(testing::wallReadings([seconds] { return WallTime(std::chrono::seconds(seconds->load())); }));
  std::string id = finishedRecording(rig, client->queue, 3000);
  rig.service.armFault("/api/runs/" + id + "/process", testing::Fault{testing::FaultKind::lostReply});
  client->queue.sync();
  EXPECT_EQ(client->queue.directory().load(id).state, "processing-unknown");
  *seconds += 60;
  rig.runs.completeJob(id);
  client->queue.sync();
  EXPECT_EQ(client->queue.directory().load(id).state, "done");
  EXPECT_EQ(rig.runs.processRequests(id), 1);
}

TEST(UploadService, ReusedConnectionsClosedWithoutReplyNeverDuplicateARequest) {
  QueueServiceRig rig;
  auto seconds = std::make_shared<std::atomic<std::int64_t>>(1796638500);
  auto client =
      rig.client(testing::wallReadings([seconds] { return WallTime(std::chrono::seconds(seconds->load())); }));
  std::string id = finishedRecording(rig, client->queue, 2 * 4194304 + 9);
  const std::string run = "/api/runs/" + id;
  for (const std::string& path : {run + "/chunks/1", run + "/finalize", run + "/process"})
    rig.service.armFault(path, testing::Fault{testing::FaultKind::closeReused});

  // Each pass loses one reply and is resumed by the next: part 1, then finalize, then processing.
  for (int pass = 0; pass < 4; ++pass) {
    client->queue.sync();
    *seconds += 60;
  }
  expectHeldExactly(rig, id);
  for (const char* part : {"/chunks/0", "/chunks/1", "/chunks/2"}) EXPECT_EQ(rig.service.requestCount(run + part), 1);
  EXPECT_EQ(rig.service.requestCount(run + "/finalize"), 1);
  EXPECT_EQ(rig.service.requestCount(run + "/process"), 1);
  EXPECT_EQ(rig.runs.processRequests(id), 1);
  EXPECT_EQ(rig.runs.repeatedParts(), 0);
  DesktopQueueItem item = client->queue.directory().load(id);
  EXPECT_EQ(item.state, "processing");
  EXPECT_TRUE(item.processAttempted);
}

TEST(UploadService, FinalizeReplyMustBeAnObject) {
  QueueServiceRig rig;
  auto seconds = std::make_shared<std::atomic<std::int64_t>>(1796638500);
  auto client =
      rig.client(testing::wallReadings([seconds] { return WallTime(std::chrono::seconds(seconds->load())); }));
  std::string id = finishedRecording(rig, client->queue, 3000);
  for (const char* body : {"[]", "null", "7"}) {
    rig.service.armFault("/api/runs/" + id + "/finalize",
                         testing::Fault{.kind = testing::FaultKind::reply, .status = 200, .body = body});
    client->queue.sync();
    DesktopQueueItem item = client->queue.directory().load(id);
    EXPECT_EQ(item.state, "uploading") << body;
    EXPECT_EQ(item.errorCode, "RESPONSE_INVALID") << body;
    *seconds += 60;
  }
  client->queue.sync();
  expectHeldExactly(rig, id);
}

}  // namespace
}  // namespace talvo
