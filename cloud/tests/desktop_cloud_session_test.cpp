// Token access and refresh with rotation, account information, the library link and
// disconnect, against the fake service.
#include <gtest/gtest.h>

#include "cloud/tests/cloud_test_support.h"
#include "cloud/transport_error.h"
#include "core/values/base64.h"
#include "core/values/recording_id.h"

namespace talvo {
namespace {

using testing::CloudRig;
using testing::failureOf;
using testing::Fault;
using testing::FaultKind;

constexpr const char* refreshPath = "/api/session/refresh";
constexpr const char* infoPath = "/api/desktop/session";
constexpr const char* libraryLinkPath = "/api/desktop/library-link";

class Session : public ::testing::Test {
 protected:
  void SetUp() override { rig.link(); }
  // A client that believes it is `ahead` later than it is (tokens live 3600 s).
  void shiftClock(std::chrono::seconds ahead) {
    rig.clock = testing::wallReadings([ahead] { return std::chrono::system_clock::now() + ahead; });
    rig.restartClient();
  }
  std::string token() const { return rig.storedVault().login->session.token; }

  CloudRig rig;
  DesktopCloud& cloud() { return *rig.cloud; }
};

TEST_F(Session, TokenIsRefreshedOnlyWithinFiveMinutesOfExpiry) {
  shiftClock(std::chrono::seconds(3600 - 320));
  std::string original = token();
  EXPECT_EQ(cloud().access("1001"), original);
  EXPECT_EQ(rig.service.requestCount(refreshPath), 0);

  shiftClock(std::chrono::seconds(3600 - 280));
  std::string fresh = cloud().access("1001");
  EXPECT_NE(fresh, original);
  EXPECT_EQ(rig.service.requestCount(refreshPath), 1);
  auto stored = rig.storedVault();
  EXPECT_EQ(stored.login->session.token, fresh);
  EXPECT_FALSE(stored.rotationId);
  EXPECT_CLOUD_FAILURE(cloud().access("2002"), "OWNER_MISMATCH", 403);
  EXPECT_EQ(rig.service.requestCount(refreshPath), 1);
}

TEST_F(Session, UnreadableExpiryRefreshesUntilARefreshSucceeds) {
  auto vault = rig.storedVault();
  vault.login->session.expiresAt = "tomorrow";
  rig.store->save(vault);
  rig.restartClient();
  cloud().access("1001");
  EXPECT_EQ(rig.service.requestCount(refreshPath), 1);
  cloud().access("1001");
  EXPECT_EQ(rig.service.requestCount(refreshPath), 1);
}

TEST_F(Session, LostRefreshReplyIsRepeatedWithTheSameRotation) {
  shiftClock(std::chrono::seconds(3600 - 100));
  rig.service.keepBodies(refreshPath);
  rig.service.armFault(refreshPath, Fault{.kind = FaultKind::lostReply});
  EXPECT_THROW(cloud().access("1001"), TransportError);
  auto pending = rig.storedVault();
  ASSERT_TRUE(pending.rotationId);

  // Even with a token that is still good, a pending rotation is finished first.
  shiftClock(std::chrono::seconds(0));
  std::string fresh = cloud().access("1001");
  auto bodies = rig.service.requestBodies(refreshPath);
  ASSERT_EQ(bodies.size(), 2u);
  EXPECT_EQ(bodies[0], bodies[1]);
  EXPECT_EQ(nlohmann::json::parse(bodies[1])["rotationId"], *pending.rotationId);
  EXPECT_EQ(token(), fresh);
  EXPECT_FALSE(rig.storedVault().rotationId);
}

TEST_F(Session, ASpentRefreshTokenWithAnotherRotationIsRefused) {
  auto before = rig.storedVault();
  cloud().access("1001", before.login->session.token);  // forces a refresh: rotation spent
  // Replay the spent refresh token under a new rotation id.
  before.rotationId = makeRecordingId();
  rig.store->save(before);
  rig.restartClient();
  EXPECT_CLOUD_FAILURE(cloud().access("1001"), "AUTH_REQUIRED", 401);
  EXPECT_TRUE(cloud().owner());  // a refused refresh never removes the login
}

TEST_F(Session, RefusedTokenGetsOneRefreshAndOneRepeat) {
  rig.service.armFault(infoPath, Fault{.kind = FaultKind::unauthorized});
  auto info = cloud().refreshInfo();
  EXPECT_EQ(info.ownerId, "1001");
  EXPECT_EQ(rig.service.requestCount(infoPath), 2);
  EXPECT_EQ(rig.service.requestCount(refreshPath), 1);

  rig.service.armFault(infoPath, Fault{.kind = FaultKind::unauthorized, .count = 2});
  EXPECT_CLOUD_FAILURE(cloud().refreshInfo(), "AUTH_REQUIRED", 401);
  EXPECT_EQ(rig.service.requestCount(infoPath), 4);
  EXPECT_EQ(rig.service.requestCount(refreshPath), 2);
}

TEST_F(Session, RefusedTokenAlreadyReplacedIsNotRefreshedAgain) {
  std::string old = token();
  cloud().access("1001", old);
  std::string current = token();
  EXPECT_EQ(cloud().access("1001", old), current);
  EXPECT_EQ(rig.service.requestCount(refreshPath), 1);
}

TEST_F(Session, AccountInfoIsCheckedAndCachedOnlyWhenItChanges) {
  int saves = rig.store->saveCount();
  auto info = cloud().refreshInfo();
  EXPECT_EQ(info.rights->plan, "unlimited");
  cloud().refreshInfo();
  EXPECT_EQ(rig.store->saveCount(), saves + 1);
  rig.restartClient();
  EXPECT_EQ(cloud().info(), info);

  rig.service.armFault(infoPath, Fault{.kind = FaultKind::wrongOwner});
  EXPECT_CLOUD_FAILURE(cloud().refreshInfo(), "OWNER_MISMATCH", 403);
  rig.service.armFault(infoPath, Fault{.kind = FaultKind::wrongDevice});
  EXPECT_CLOUD_FAILURE(cloud().refreshInfo(), "OWNER_MISMATCH", 403);

  auto foreign = info.toJson();
  foreign["tariffUrl"] = "https://evil.example/tariff";
  rig.service.armFault(infoPath, Fault{.kind = FaultKind::reply, .status = 200, .body = foreign.dump()});
  EXPECT_CLOUD_FAILURE(cloud().refreshInfo(), "RESPONSE_INVALID", 0);
  EXPECT_EQ(rig.storedVault().cachedInfo, info);
}

TEST_F(Session, LibraryLinkIsAOneTimeHandoffOnTheOrigin) {
  std::string url = cloud().libraryLink();
  std::string prefix = rig.service.origin() + "/library/#handoff=";
  ASSERT_EQ(url.rfind(prefix, 0), 0u);
  EXPECT_TRUE(rig.service.redeemHandoff(url.substr(prefix.size())));
  EXPECT_FALSE(rig.service.redeemHandoff(url.substr(prefix.size())));
}

TEST_F(Session, LibraryLinkRepliesAreChecked) {
  std::string prefix = rig.service.origin() + "/library/#handoff=";
  std::vector<std::uint8_t> bytes(32, 7);
  std::string value = encodeBase64Url(bytes);
  auto at = [](int seconds) {
    return formatInternetDateTime(std::chrono::system_clock::now() + std::chrono::seconds(seconds));
  };
  auto arm = [&](const nlohmann::json& body) {
    rig.service.armFault(libraryLinkPath, Fault{.kind = FaultKind::reply, .status = 200, .body = body.dump()});
  };
  arm({{"url", prefix + value}, {"expiresAt", at(60)}});
  EXPECT_EQ(cloud().libraryLink(), prefix + value);

  arm({{"url", prefix + value}, {"expiresAt", at(60)}, {"extra", "x"}});
  EXPECT_CLOUD_FAILURE(cloud().libraryLink(), "RESPONSE_INVALID", 200);
  arm({{"url", prefix + value}, {"expiresAt", at(125)}});
  EXPECT_CLOUD_FAILURE(cloud().libraryLink(), "RESPONSE_INVALID", 0);
  arm({{"url", prefix + value}, {"expiresAt", at(-1)}});
  EXPECT_CLOUD_FAILURE(cloud().libraryLink(), "RESPONSE_INVALID", 0);
  arm({{"url", "https://evil.example/library/#handoff=" + value}, {"expiresAt", at(60)}});
  EXPECT_CLOUD_FAILURE(cloud().libraryLink(), "RESPONSE_INVALID", 0);
  // A service echoing the access token as the hand-off value.
  std::string current = cloud().access("1001");
  arm({{"url", prefix + current}, {"expiresAt", at(60)}});
  EXPECT_CLOUD_FAILURE(cloud().libraryLink(), "RESPONSE_INVALID", 0);
}

TEST_F(Session, DisconnectRevokesAndForgetsEverything) {
  cloud().refreshInfo();
  std::string device = rig.storedVault().login->deviceId;

  rig.service.armFault("/api/session", Fault{.kind = FaultKind::reply, .status = 200, .body = R"({"revoked":false})"});
  EXPECT_CLOUD_FAILURE(cloud().disconnect(), "RESPONSE_INVALID", 0);
  EXPECT_TRUE(cloud().owner());

  cloud().disconnect();
  EXPECT_FALSE(cloud().owner() || cloud().account() || cloud().pending() || cloud().info());
  EXPECT_EQ(rig.store->storedText(), "{}");
  EXPECT_FALSE(rig.service.deviceActive(device));
  EXPECT_CLOUD_FAILURE(cloud().refreshInfo(), "AUTH_REQUIRED", 401);
  EXPECT_CLOUD_FAILURE(cloud().libraryLink(), "AUTH_REQUIRED", 401);

  int requests = rig.service.requestCount("/api/session");
  cloud().disconnect();  // nothing to do: no request
  EXPECT_EQ(rig.service.requestCount("/api/session"), requests);
}

TEST_F(Session, DisconnectOfADeviceTheServiceRevokedForgetsTheLogin) {
  std::int64_t epoch = cloud().credentialEpoch();
  rig.service.armFault("/api/session",
                       Fault{.kind = FaultKind::reply, .status = 401, .body = R"({"error":"AUTH_REQUIRED"})"});
  EXPECT_CLOUD_FAILURE(cloud().disconnect(), "AUTH_REQUIRED", 401);
  EXPECT_TRUE(cloud().owner());

  // The bot already let the device go: nothing is left to revoke, and the login is dead.
  rig.service.armFault("/api/session",
                       Fault{.kind = FaultKind::reply, .status = 401, .body = R"({"error":"DEVICE_REVOKED"})"});
  cloud().disconnect();
  EXPECT_FALSE(cloud().owner() || cloud().account() || cloud().info());
  EXPECT_EQ(rig.store->storedText(), "{}");
  EXPECT_GT(cloud().credentialEpoch(), epoch);
}

TEST_F(Session, TokensThatAreNotVisibleAsciiAreNeverStored) {
  shiftClock(std::chrono::seconds(3600 - 100));
  const CloudVault before = rig.storedVault();
  for (const std::string& token :
       {std::string("abc\r\nX-Injected: 1"), std::string("a b"), std::string("tok\u00e9"), std::string("")}) {
    for (const char* member : {"token", "refreshToken"}) {
      nlohmann::json reply = {{"token", "good"},
                              {"expiresAt", "2099-01-01T00:00:00Z"},
                              {"ownerId", "1001"},
                              {"refreshToken", "good"},
                              {"refreshExpiresAt", "2099-01-01T00:00:00Z"}};
      reply[member] = token;
      rig.service.armFault(refreshPath, Fault{.kind = FaultKind::reply, .status = 200, .body = reply.dump()});
      EXPECT_CLOUD_FAILURE(cloud().access("1001"), "RESPONSE_INVALID", 200);
      EXPECT_EQ(rig.storedVault().login, before.login);
    }
  }
}

TEST_F(Session, AVaultTooLargeToReadBackIsNeverStored) {
  const std::string before = *rig.store->storedText();
  const auto infoBefore = cloud().info();
  // The service's strings are stored as they come; 20,000 characters of them would make a
  // record the store refuses to read, and then the computer could not even disconnect.
  nlohmann::json info = {{"ownerId", "1001"},
                         {"deviceId", rig.storedVault().login->deviceId},
                         {"libraryUrl", "https://t.me/talvo_bot?x=" + std::string(20000, 'a')},
                         {"tariffUrl", "https://t.me/talvo_bot"}};
  rig.service.armFault(infoPath, Fault{.kind = FaultKind::reply, .status = 200, .body = info.dump()});
  EXPECT_CLOUD_FAILURE(cloud().refreshInfo(), "CREDENTIAL_STORAGE", 0);
  EXPECT_EQ(rig.store->storedText(), before);
  EXPECT_EQ(cloud().info(), infoBefore);
  rig.restartClient();
  EXPECT_EQ(cloud().owner(), "1001");
  cloud().disconnect();
  EXPECT_FALSE(cloud().owner());
}

}  // namespace
}  // namespace talvo
