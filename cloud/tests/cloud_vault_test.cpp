// The stored form of the vault and the strict reading of the account records.
#include "cloud/cloud_vault.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cloud/cloud_replies.h"

namespace talvo {
namespace {

constexpr const char* sessionJson =
    R"({"token":"t","expiresAt":"2026-12-07T10:00:00.5Z","ownerId":"1001","refreshToken":"r","refreshExpiresAt":"x"})";

TEST(CloudVault, AbsentMembersAreLeftOutAndRoundTrip) {
  EXPECT_EQ(CloudVault{}.encode(), "{}");
  CloudVault vault;
  vault.pair = PendingPair{"3f0c1a52-9b7e-4c1d-8e2a-0f6b5d4c3b2a",      std::string(43, 'v'), std::nullopt, "ABCDEF12",
                           CloudAccount{"1001", std::nullopt, "alice"}, std::nullopt};
  auto json = nlohmann::json::parse(vault.encode());
  EXPECT_EQ(json.size(), 1u);
  EXPECT_FALSE(json["pair"].contains("approvalUrl"));
  EXPECT_FALSE(json["pair"]["account"].contains("name"));
  EXPECT_EQ(CloudVault::decode(vault.encode()), vault);

  vault.pair.reset();
  vault.login = DeviceLogin{CloudSession::fromJson(nlohmann::json::parse(sessionJson)), "dev", std::nullopt};
  vault.rotationId = "rot";
  vault.cachedInfo =
      CloudInfo{"1001", "dev", "https://t.me/b", "https://t.me/b", CloudRights{"basic", 120, 1767225600000.0}};
  EXPECT_EQ(CloudVault::decode(vault.encode()), vault);
  EXPECT_NE(vault.encode().find(R"("paidUntil":1767225600000)"), std::string::npos);
}

TEST(CloudVault, ReadingIsStrict) {
  // Null optional members read as absent; a login without its refresh token does not read.
  EXPECT_FALSE(CloudVault::decode(R"({"login":null,"rotationId":null})").login);
  EXPECT_TRUE(CloudVault::decode(R"({"pair":{"operationId":"o","verifier":"v"}})").pair);
  for (
      const char* text :
      {R"({"login":{"session":{"token":"t","expiresAt":"e","ownerId":"1","refreshExpiresAt":"x"},"deviceId":"d"}})",
       R"({"login":{"session":)"
       "{\"token\":\"t\",\"expiresAt\":\"e\",\"ownerId\":1,\"refreshToken\":\"r\",\"refreshExpiresAt\":\"x\"}"
       R"(,"deviceId":"d"}})",
       R"({"pair":{"operationId":"o"}})", R"({"rotationId":5})",
       R"({"cachedInfo":{"ownerId":"1","deviceId":"d","libraryUrl":"l","tariffUrl":"t","rights":{"plan":"p","remainingSeconds":1.5}}})",
       R"({"cachedInfo":{"ownerId":"1","deviceId":"d","libraryUrl":"l","tariffUrl":"t","rights":{"plan":"p","paidUntil":"soon"}}})",
       "[]", "not json", ""}) {
    EXPECT_THROW(CloudVault::decode(text), JsonDecodingError) << text;
  }
}

TEST(CloudVault, APaidUntilOutsideTheRepresentableRangeIsAbsent) {
  for (const char* paid : {"1e300", "-1e300", "9.3e18", "8.65e15"}) {
    const auto json = nlohmann::json::parse(std::string(R"({"plan":"unlimited","paidUntil":)") + paid + "}");
    EXPECT_EQ(CloudRights::fromJson(json).paidUntil, std::nullopt) << paid;
  }
  const auto last = nlohmann::json::parse(R"({"plan":"unlimited","paidUntil":8640000000000000})");
  EXPECT_EQ(CloudRights::fromJson(last).paidUntil, 8.64e15);
  EXPECT_FALSE((CloudRights{"unlimited", std::nullopt, 1e300}.toJson().contains("paidUntil")));
}

}  // namespace
}  // namespace talvo
