// Whatever the service answers, every operation ends in a CloudFailure (or succeeds), never
// crashes, and never leaves a half-changed vault.
#include <gtest/gtest.h>

#include <functional>

#include "cloud/desktop_cloud.h"
#include "testing/memory_device_store.h"

namespace talvo {
namespace {

// Answers every request with the same status and body.
struct ScriptedTransport : DesktopHTTPTransport {
  long status = 200;
  std::string body;
  std::vector<HttpRequest> requests;
  HttpExchange send(const HttpRequest& request) override {
    requests.push_back(request);
    return HttpExchange{body, {status, request.url, {}}};
  }
};

CloudVault linkedVault() {
  CloudVault vault;
  vault.login = DeviceLogin{CloudSession{"access-token", "2000-01-01T00:00:00Z", "1001", "refresh-token", "x"},
                            "3f0c1a52-9b7e-4c1d-8e2a-0f6b5d4c3b2a", std::nullopt};
  return vault;
}

CloudVault pairingVault() {
  CloudVault vault;
  vault.pair = PendingPair{
      "3f0c1a52-9b7e-4c1d-8e2a-0f6b5d4c3b2a",           std::string(43, 'v'), "https://t.me/bot", "ABCDEF12",
      CloudAccount{"1001", std::nullopt, std::nullopt}, std::nullopt};
  return vault;
}

TEST(MalformedReplies, NeverCrashAndNeverHalfWriteTheVault) {
  const std::vector<std::string> bodies = {
      "",
      "null",
      "[]",
      "{}",
      "\"text\"",
      "{\"token\":",
      std::string(1000, '{'),
      std::string("{\"a\":1}\0garbage", 15),
      R"({"token":1,"expiresAt":[],"ownerId":{},"refreshToken":null,"refreshExpiresAt":true})",
      R"j({"operationId":"x","code":"ABCDEF12","approvalUrl":"javascript:alert(1)"})j",
      R"({"state":"approved","ownerId":"1001","account":{"id":"1001","name":5}})",
      R"({"ownerId":"1001","deviceId":"3f0c1a52-9b7e-4c1d-8e2a-0f6b5d4c3b2a","libraryUrl":"https://t.me:99999/x","tariffUrl":"https://t.me/x"})",
      R"({"url":"https://talvo.pro/library/#handoff=","expiresAt":"2026-02-30T25:61:61Z"})",
      R"({"revoked":"yes","settled":1})",
      "\xff\xfe\xfd"};
  using Operation = std::function<void(DesktopCloud&)>;
  const std::vector<std::pair<CloudVault, Operation>> operations = {
      {CloudVault{}, [](DesktopCloud& cloud) { cloud.beginPair(); }},
      {pairingVault(), [](DesktopCloud& cloud) { cloud.beginPair(); }},
      {pairingVault(), [](DesktopCloud& cloud) { cloud.pollPair(); }},
      {pairingVault(), [](DesktopCloud& cloud) { cloud.confirmAccount("1001"); }},
      {pairingVault(), [](DesktopCloud& cloud) { cloud.settlePair(); }},
      {linkedVault(), [](DesktopCloud& cloud) { cloud.access("1001"); }},
      {linkedVault(), [](DesktopCloud& cloud) { cloud.refreshInfo(); }},
      {linkedVault(), [](DesktopCloud& cloud) { cloud.libraryLink(); }},
      {linkedVault(), [](DesktopCloud& cloud) { cloud.disconnect(); }},
  };
  for (long status : {200L, 401L, 500L}) {
    for (const auto& body : bodies) {
      for (const auto& [vault, operation] : operations) {
        auto store = std::make_shared<testing::MemoryDeviceStore>(vault.encode());
        auto transport = std::make_shared<ScriptedTransport>();
        transport->status = status;
        transport->body = body;
        DesktopCloud cloud(store, transport, "https://talvo.pro", "t.me");
        try {
          operation(cloud);
        } catch (const CloudFailure& failure) {
          EXPECT_TRUE(CloudFailure::isServiceCode(failure.code())) << failure.code();
          EXPECT_EQ(std::string(failure.what()).find("token"), std::string::npos);
        }
        // Whatever happened, the vault in the store still reads, and no credential ever
        // travelled in an address.
        auto stored = store->storedText();
        ASSERT_TRUE(stored);
        EXPECT_NO_THROW(CloudVault::decode(*stored));
        for (const auto& request : transport->requests) {
          EXPECT_EQ(request.url.find("access-token"), std::string::npos);
          EXPECT_EQ(request.url.find("refresh-token"), std::string::npos);
        }
      }
    }
  }
}

}  // namespace
}  // namespace talvo
