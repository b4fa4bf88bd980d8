#include <gtest/gtest.h>

#include <fstream>

#include "cloud/tests/queue_test_support.h"
#include "cloud/upload_sha256.h"

namespace talvo {
namespace {

constexpr std::int64_t part = 4194304;

class UploadProtocolTest : public ::testing::Test {
 protected:
  void expectServiceHolds(const std::string& id) {
    auto run = world.service.run(id);
    ASSERT_TRUE(run);
    EXPECT_EQ(run->status, "finalized");
    std::string local = world.local(id);
    EXPECT_EQ(run->bytes, static_cast<std::int64_t>(local.size()));
    EXPECT_EQ(run->sha256, UploadSha256::hex(local));
    EXPECT_EQ(world.service.storedFile(id), local);
  }

  testing::QueueWorld world;
};

TEST_F(UploadProtocolTest, UploadsPartsFinalizesVerifiesAndAsksForProcessing) {
  std::string id = world.record(part + 1);
  world.queue.sync();
  expectServiceHolds(id);
  auto run = world.service.run(id);
  EXPECT_EQ(run->parts.size(), 2u);
  EXPECT_EQ(run->parts.at(1).bytes, 1);
  EXPECT_EQ(run->title, "Запись с компьютера");
  DesktopQueueItem item = world.item(id);
  EXPECT_EQ(item.state, "processing");
  EXPECT_TRUE(item.processAttempted);
  EXPECT_FALSE(item.errorCode);
  EXPECT_EQ(item.nextAttempt, world.now() + 30);
  EXPECT_EQ(world.service.processRequests(id), 1);

  // The job completes; the next due pass notices and asks nothing else.
  world.service.completeJob(id);
  world.queue.sync();  // not yet due: nothing asked
  EXPECT_EQ(world.item(id).state, "processing");
  world.advance(30);
  world.queue.sync();
  EXPECT_EQ(world.item(id).state, "done");
  EXPECT_EQ(world.service.processRequests(id), 1);
  EXPECT_EQ(world.cloud.count("PUT"), 2);
}

TEST_F(UploadProtocolTest, ExactPartSizeIsOnePart) {
  std::string id = world.record(part);
  world.queue.sync();
  expectServiceHolds(id);
  EXPECT_EQ(world.service.run(id)->parts.size(), 1u);
}

TEST_F(UploadProtocolTest, ResumesAfterAConnectionDroppedMidPart) {
  std::string id = world.record(2 * part + 100);
  int puts = 0;
  world.cloud.setBeforeCall([&](const UploadRequest& request) {
    // Let the first part through, cut the second off in the middle.
    if (request.method == "PUT" && ++puts == 2) {
      auto armed = world.service.faults();
      armed.dropNextPartAfter = 1000;
      world.service.setFaults(armed);
    }
  });
  world.queue.sync();
  DesktopQueueItem item = world.item(id);
  EXPECT_EQ(item.state, "uploading");
  EXPECT_EQ(item.errorCode, "NETWORK_UNAVAILABLE");
  EXPECT_EQ(item.nextAttempt, world.now() + 60);
  EXPECT_EQ(world.service.run(id)->parts.size(), 1u);

  world.cloud.setBeforeCall({});
  world.queue.sync();  // backing off: nothing sent
  EXPECT_EQ(world.item(id).state, "uploading");
  world.advance(60);
  world.queue.sync();
  expectServiceHolds(id);
  EXPECT_EQ(world.item(id).state, "processing");
  EXPECT_EQ(world.service.repeatedParts(), 0);
  EXPECT_EQ(world.service.acceptedParts(), 3);
}

TEST_F(UploadProtocolTest, ListingWithEveryPartGoesStraightToFinalize) {
  std::string id = world.record(part + 5);
  world.cloud.setBeforeCall([](const UploadRequest& request) {
    if (request.path.ends_with("/finalize")) throw std::runtime_error("network down");
  });
  world.queue.sync();
  EXPECT_EQ(world.item(id).state, "uploading");
  int puts = world.cloud.count("PUT");
  world.cloud.setBeforeCall({});
  world.advance(60);
  world.queue.sync();
  expectServiceHolds(id);
  EXPECT_EQ(world.cloud.count("PUT"), puts);
}

TEST_F(UploadProtocolTest, FinalizedElsewhereIsVerifiedNotFailed) {
  std::string id = world.record(5000);
  auto faults = world.service.faults();
  faults.finalizeAnswersRunFinalized = true;
  world.service.setFaults(faults);
  world.queue.sync();
  expectServiceHolds(id);
  EXPECT_EQ(world.item(id).state, "processing");

  // A run the lookup already reports finalized is verified without listing or parts.
  DesktopQueueItem again = world.item(id);
  again.state = "uploading";
  again.nextAttempt = 0;
  world.queue.directory().save(again, false);
  int before = world.cloud.count("GET /api/runs/" + id + "/chunks");
  world.queue.sync();
  EXPECT_EQ(world.cloud.count("GET /api/runs/" + id + "/chunks"), before);
  EXPECT_NE(world.item(id).state, "uploading");
}

TEST_F(UploadProtocolTest, StaleOrForeignPartsStopTheUpload) {
  std::string stale = world.record(part + 1, false, 1);
  auto faults = world.service.faults();
  faults.extraListedPart = testing::FakeRunsService::ListedPart{3, std::string(64, 'a'), 10};
  world.service.setFaults(faults);
  world.queue.sync();
  EXPECT_EQ(world.item(stale).state, "attention");
  EXPECT_EQ(world.item(stale).errorCode, "FILE_CHANGED");

  std::string foreign = world.record(part + 1, false, 2);
  faults.extraListedPart = testing::FakeRunsService::ListedPart{0, std::string(64, 'b'), part};
  world.service.setFaults(faults);
  world.queue.sync();
  EXPECT_EQ(world.item(foreign).state, "attention");
  EXPECT_EQ(world.item(foreign).errorCode, "CHUNK_CONFLICT");
  EXPECT_FALSE(world.service.run(foreign)->parts.count(0));  // nothing stored over it

  std::string paged = world.record(100, false, 3);
  faults.extraListedPart.reset();
  faults.listingHasNextPage = true;
  world.service.setFaults(faults);
  int puts = world.cloud.count("PUT");
  world.queue.sync();
  EXPECT_EQ(world.item(paged).state, "attention");
  EXPECT_EQ(world.item(paged).errorCode, "CHUNK_CONFLICT");
  EXPECT_EQ(world.cloud.count("PUT"), puts);
}

TEST_F(UploadProtocolTest, ServiceRepliesCannotSkipVerificationOrSteerRequests) {
  // "Already finalized" without the run being finalized: verification refuses it.
  std::string claimed = world.record(3000);
  world.cloud.setBeforeCall([](const UploadRequest& request) {
    if (request.path.ends_with("/finalize")) throw CloudFailure("RUN_FINALIZED", 409);
  });
  world.queue.sync();
  EXPECT_EQ(world.item(claimed).state, "attention");
  EXPECT_EQ(world.item(claimed).errorCode, "UPLOAD_HASH_MISMATCH");
  world.cloud.setBeforeCall({});

  // A run id that is not a plain path segment is never put into a request path.
  std::string steered = world.record(3000, false, 6);
  auto faults = world.service.faults();
  faults.createdRunId = "../../desktop/session";
  world.service.setFaults(faults);
  std::size_t sent = world.cloud.log().size();
  world.queue.sync();
  EXPECT_EQ(world.item(steered).errorCode, "RESPONSE_INVALID");
  EXPECT_EQ(world.item(steered).state, "uploading");
  EXPECT_EQ(world.cloud.log().size(), sent + 1);  // only the create request
}

TEST_F(UploadProtocolTest, RefusedTokenIsRenewedOnceThenTheFailureIsRecorded) {
  std::string id = world.record(3000);
  world.cloud.expireToken();
  world.queue.sync();
  expectServiceHolds(id);
  EXPECT_EQ(world.cloud.refreshes(), 1);

  std::string second = world.record(3000, false, 9);
  world.cloud.refuseNext(2);
  world.queue.sync();
  DesktopQueueItem item = world.item(second);
  EXPECT_EQ(item.state, "uploading");  // 401 is not final: retried after the back-off
  EXPECT_EQ(item.errorCode, "AUTH_REQUIRED");
  EXPECT_EQ(item.nextAttempt, world.now() + 60);
}

TEST_F(UploadProtocolTest, FinalFailuresNeedTheUser) {
  std::string refused = world.record(3000);
  auto faults = world.service.faults();
  faults.refuseParts413 = true;
  world.service.setFaults(faults);
  world.queue.sync();
  EXPECT_EQ(world.item(refused).state, "attention");
  EXPECT_EQ(world.item(refused).errorCode, "PAYLOAD_TOO_LARGE");
  faults.refuseParts413 = false;
  world.service.setFaults(faults);

  // The recording changed after it was finished.
  std::string changed = world.record(3000, false, 4);
  testing::writeRecording(world.recordings.path(), changed, testing::recordingBytes(3000, 5));
  world.queue.sync();
  EXPECT_EQ(world.item(changed).state, "attention");
  EXPECT_EQ(world.item(changed).errorCode, "FILE_CHANGED");
  EXPECT_FALSE(world.service.run(changed));
}

TEST_F(UploadProtocolTest, FileChangedAfterTheFingerprintIsNeverStored) {
  std::string id = world.record(2 * part + 9);
  const std::string wav = world.recordings.file(id + ".wav");
  std::string original = world.local(id);
  // The file is rewritten in place (same inode, same size) once the fingerprint has passed.
  world.cloud.setBeforeCall([&](const UploadRequest& request) {
    if (request.method != "POST" || request.path != "/api/runs") return;
    std::fstream file(wav, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(part + 100);
    file.put(static_cast<char>(original[part + 100] ^ 0x55));
  });
  world.queue.sync();
  world.cloud.setBeforeCall({});
  EXPECT_EQ(world.item(id).state, "attention");
  EXPECT_EQ(world.item(id).errorCode, "FILE_CHANGED");
  // The unchanged first part is stored; the changed one is refused by its announced hash and
  // never stored, and nothing was finalized.
  EXPECT_EQ(world.service.run(id)->parts.count(0), 1u);
  EXPECT_EQ(world.service.run(id)->parts.count(1), 0u);
  EXPECT_EQ(world.cloud.count("POST /api/runs/" + id + "/finalize"), 0);
  EXPECT_EQ(world.service.run(id)->status, "open");
}

TEST_F(UploadProtocolTest, InterruptedRecordingIsUploadedButNotProcessed) {
  std::string id = world.record(5000, true);
  world.queue.sync();
  expectServiceHolds(id);
  EXPECT_EQ(world.item(id).state, "uploaded-partial");
  EXPECT_EQ(world.service.run(id)->title, "Прерванная запись с компьютера");
  EXPECT_TRUE(world.service.run(id)->captureInterrupted);
  EXPECT_EQ(world.service.processRequests(id), 0);
  EXPECT_EQ(world.queue.summary().waiting, 0);
}

TEST_F(UploadProtocolTest, RequestBodiesHaveSortedKeys) {
  DesktopQueueItem item;
  item.startedAt = "2026-12-07T10:15:00Z";
  item.interrupted = true;
  EXPECT_EQ(UploadProtocol::metadata(item).dump(),
            R"({"captureInterrupted":true,"captureProfile":"desktop-pcm16-v1","mimeType":"audio/wav",)"
            R"("mode":"v1-mediarecorder","sampleRate":16000,"sourceMode":"desktop-system-mic",)"
            R"("startedAt":"2026-12-07T10:15:00Z"})");
  EXPECT_EQ(UploadProtocol::partCount(part), 1);
  EXPECT_EQ(UploadProtocol::partCount(part + 1), 2);
}

}  // namespace
}  // namespace talvo
