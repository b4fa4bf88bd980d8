// The fake service checks what the client must send as strictly as the service does, so a
// mistake in a request the client builds fails the suites instead of passing unnoticed.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cloud/bounded_desktop_transport.h"
#include "cloud/upload_protocol.h"
#include "testing/fake_runs_service.h"
#include "testing/fake_transcription_service.h"
#include "testing/temp_directory.h"

namespace talvo {
namespace {

using nlohmann::json;
using testing::FakeRunsRequest;
using testing::FakeRunsService;

constexpr const char* recordingId = "3f0c1a52-9b7e-4c1d-8e2a-0f6b5d4c3b2a";
constexpr const char* recordingStart = "2026-12-07T10:00:00Z";

class RunsContract : public ::testing::Test {
 protected:
  int send(const std::string& method, const std::string& path, const std::string& body,
           std::map<std::string, std::string> query = {}, std::map<std::string, std::string> headers = {}) {
    FakeRunsRequest request{method, path, std::move(query), std::move(headers), body, "1001"};
    return service.handle(request)->status;
  }
  static json createBody() {
    DesktopQueueItem item;
    item.id = recordingId;
    item.startedAt = recordingStart;
    return json{{"id", recordingId},
                {"metadata", UploadProtocol::metadata(item)},
                {"catalog", {{"title", UploadProtocol::title(item)}, {"startedAt", recordingStart}}}};
  }
  static json finalizeBody(const std::string& sha256) {
    return json{
        {"chunkCount", 1},
        {"manifest",
         {{"session",
           {{"id", recordingId},
            {"mode", "v1-mediarecorder"},
            {"mimeType", "audio/wav"},
            {"sampleRate", 16000},
            {"startedAt", recordingStart}}},
          {"upload", {{"format", "combined-file-v1"}, {"chunkBytes", 4194304}, {"bytes", 5}, {"sha256", sha256}}}}}};
  }

  testing::TempDirectory storage;
  FakeRunsService service{storage.path()};
};

TEST_F(RunsContract, EveryMemberTheClientSendsIsChecked) {
  const std::string runs = "/api/runs";
  const std::string run = runs + "/" + recordingId;
  json good = createBody();
  for (const json::json_pointer& member :
       {json::json_pointer("/metadata/mode"), json::json_pointer("/metadata/sampleRate"),
        json::json_pointer("/metadata/mimeType"), json::json_pointer("/metadata/sourceMode"),
        json::json_pointer("/metadata/captureProfile"), json::json_pointer("/metadata/startedAt"),
        json::json_pointer("/metadata/captureInterrupted"), json::json_pointer("/catalog/startedAt"),
        json::json_pointer("/catalog/title")}) {
    json missing = good;
    missing[member.parent_pointer()].erase(member.back());
    EXPECT_EQ(send("POST", runs, missing.dump()), 400) << member;
    json wrong = good;
    wrong[member] = 1.5;
    EXPECT_EQ(send("POST", runs, wrong.dump()), 400) << member;
  }
  json extra = good;
  extra["metadata"]["sampleRat"] = 16000;
  EXPECT_EQ(send("POST", runs, extra.dump()), 400);
  json interrupted = good;
  interrupted["metadata"]["captureInterrupted"] = true;  // the title says otherwise
  EXPECT_EQ(send("POST", runs, interrupted.dump()), 400);
  ASSERT_EQ(send("POST", runs, good.dump()), 200);

  EXPECT_EQ(send("GET", run + "/chunks", ""), 400);  // no limit
  EXPECT_EQ(send("GET", run + "/chunks", "", {{"limit", "1000"}}), 200);
  const std::map<std::string, std::string> hash = {
      {"x-content-sha256", "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824"}};
  EXPECT_EQ(send("PUT", run + "/chunks/0", "hello", {}, hash), 400);  // no X-Audio-Type
  auto withAudio = hash;
  withAudio["x-audio-type"] = "audio/wav";
  ASSERT_EQ(send("PUT", run + "/chunks/0", "hello", {}, withAudio), 200);

  json finalize = finalizeBody(hash.at("x-content-sha256"));
  for (const char* member : {"/manifest/session/id", "/manifest/session/mode", "/manifest/session/mimeType",
                             "/manifest/session/sampleRate", "/manifest/session/startedAt", "/manifest/upload/format",
                             "/manifest/upload/chunkBytes", "/manifest/upload/bytes", "/manifest/upload/sha256"}) {
    json wrong = finalize;
    wrong[json::json_pointer(member)] = nullptr;
    EXPECT_EQ(send("POST", run + "/finalize", wrong.dump()), 400) << member;
    if (std::string(member).starts_with("/manifest/upload/") && !std::string(member).ends_with("format")) continue;
    wrong[json::json_pointer(member)] = "typo";  // a fixed value
    EXPECT_EQ(send("POST", run + "/finalize", wrong.dump()), 400) << member;
  }
  ASSERT_EQ(send("POST", run + "/finalize", finalize.dump()), 200);

  EXPECT_EQ(send("GET", run + "/processing", ""), 400);  // no view=status
  EXPECT_EQ(send("GET", run + "/processing", "", {{"view", "status"}}), 200);
  EXPECT_EQ(send("POST", run + "/process", "{}"), 400);
  EXPECT_EQ(send("POST", run + "/process", R"({"summary":false})"), 400);
  EXPECT_EQ(service.processRequests(recordingId), 0);
  EXPECT_EQ(send("POST", run + "/process", R"({"summary":true})"), 200);
}

TEST(ServiceContract, HeadersAndPlatformAreChecked) {
  testing::FakeTranscriptionService service;
  service.start();
  BoundedDesktopTransport::Options options;
  options.caFile = service.caFile();
  BoundedDesktopTransport transport(options);
  auto post = [&](const std::string& body, std::vector<std::pair<std::string, std::string>> headers) {
    HttpRequest request;
    request.method = "POST";
    request.url = service.origin() + "/api/desktop/pairings";
    request.headers = std::move(headers);
    request.body = body;
    auto reply = transport.send(request);
    return std::pair(reply.response.status, reply.body);
  };
  auto body = [](const std::string& platform) {
    return json{{"challenge", std::string(64, 'a')}, {"operationId", recordingId}, {"platform", platform}}.dump();
  };
  const std::vector<std::pair<std::string, std::string>> headers = {{"Accept", "application/json"},
                                                                    {"Content-Type", "application/json"}};
  EXPECT_EQ(post(body("linux"), {{"Content-Type", "application/json"}}).second, R"({"error":"ACCEPT_INVALID"})");
  EXPECT_EQ(post(body("linux"), {{"Accept", "application/json"}, {"Content-Type", "text/plain"}}).second,
            R"({"error":"BODY_INVALID"})");
  // This client runs on Linux and says so; the service knows no other platform from it.
  EXPECT_EQ(post(body("macos"), headers).first, 400);
  EXPECT_EQ(post(body("linux"), headers).first, 200);
}

}  // namespace
}  // namespace talvo
