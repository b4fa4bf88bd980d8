// Pairing against the fake service: the whole flow, the reply checks, and what survives a
// refusal or a lost reply.
#include <gtest/gtest.h>

#include "cloud/cloud_secrets.h"
#include "cloud/tests/cloud_test_support.h"
#include "cloud/transport_error.h"

namespace talvo {
namespace {

using testing::CloudRig;
using testing::failureOf;
using testing::Fault;
using testing::FaultKind;

constexpr const char* beginPath = "/api/desktop/pairings";
constexpr const char* pollPath = "/api/desktop/pairings/poll";
constexpr const char* redeemPath = "/api/desktop/pairings/redeem";

class Pairing : public ::testing::Test {
 protected:
  CloudRig rig;
  DesktopCloud& cloud() { return *rig.cloud; }
};

TEST_F(Pairing, FullFlowLinksTheComputer) {
  rig.service.keepBodies(beginPath);
  auto first = cloud().beginPair();
  auto pair = cloud().pending();
  ASSERT_TRUE(pair);
  EXPECT_EQ(pair->verifier.size(), 43u);
  EXPECT_EQ(first.operationId, pair->operationId);
  EXPECT_EQ(pair->code, first.code);
  auto body = rig.service.requestBodies(beginPath).at(0);
  EXPECT_EQ(body, R"({"challenge":")" + sha256Hex(pair->verifier) + R"(","operationId":")" + pair->operationId +
                      R"(","platform":"linux"})");
  // Beginning again re-registers the same pairing.
  cloud().beginPair();
  EXPECT_EQ(rig.service.requestBodies(beginPath).at(1), body);

  EXPECT_EQ(cloud().pollPair().state, "pending");
  ASSERT_TRUE(rig.service.approvePairing(first.code, CloudRig::alice()));
  auto poll = cloud().pollPair();
  EXPECT_EQ(poll.state, "approved");
  EXPECT_EQ(cloud().pending()->account->id, "1001");

  cloud().confirmAccount("1001");
  EXPECT_EQ(cloud().owner(), "1001");
  EXPECT_EQ(cloud().account()->username, "alice");
  EXPECT_FALSE(cloud().pending());
  auto stored = rig.storedVault();
  ASSERT_TRUE(stored.login);
  EXPECT_EQ(stored.login->deviceId, pair->operationId);
  EXPECT_FALSE(stored.pair || stored.rotationId || stored.cachedInfo);
  EXPECT_TRUE(rig.service.deviceActive(pair->operationId));
  EXPECT_CLOUD_FAILURE(cloud().beginPair(), "ALREADY_CONNECTED", 409);
  EXPECT_CLOUD_FAILURE(cloud().resetPair(), "ALREADY_CONNECTED", 409);
}

TEST_F(Pairing, BeginRepliesAreChecked) {
  auto descriptor = [&](const std::string& code, const std::string& link) {
    auto pair = cloud().pending();
    std::string operation = pair ? pair->operationId : "";
    return nlohmann::json{{"operationId", operation}, {"code", code}, {"approvalUrl", link}}.dump();
  };
  cloud().beginPair();  // registers the pairing so its id is known
  for (auto [code, link] :
       std::vector<std::pair<std::string, std::string>>{{"abcdef12", "https://t.me/talvo_bot"},
                                                        {"ABCDEF1", "https://t.me/talvo_bot"},
                                                        {"ABCDEF12", "https://evil.example/talvo_bot"},
                                                        {"ABCDEF12", "http://t.me/talvo_bot"},
                                                        {"ABCDEF12", "https://user@t.me/talvo_bot"}}) {
    rig.service.armFault(beginPath, Fault{.kind = FaultKind::reply, .status = 200, .body = descriptor(code, link)});
    EXPECT_CLOUD_FAILURE(cloud().beginPair(), "RESPONSE_INVALID", 0);
  }
  rig.service.armFault(
      beginPath,
      Fault{.kind = FaultKind::reply, .status = 200, .body = descriptor("12345678", "https://t.me/talvo_bot?start=x")});
  EXPECT_EQ(cloud().beginPair().code, "12345678");
  EXPECT_EQ(cloud().pending()->code, "12345678");
}

TEST_F(Pairing, ExpiredPairingIsDiscarded) {
  auto descriptor = cloud().beginPair();
  rig.service.expirePairing(descriptor.code);
  auto epoch = cloud().credentialEpoch();
  EXPECT_CLOUD_FAILURE(cloud().beginPair(), "PAIRING_EXPIRED", 410);
  EXPECT_FALSE(cloud().pending());
  EXPECT_GT(cloud().credentialEpoch(), epoch);
  EXPECT_CLOUD_FAILURE(cloud().pollPair(), "PAIRING_MISSING", 0);
}

TEST_F(Pairing, PollChecksCodeAndAccount) {
  auto descriptor = cloud().beginPair();
  rig.service.armFault(
      pollPath, Fault{.kind = FaultKind::reply, .status = 200, .body = R"({"state":"approved","ownerId":"1001"})"});
  EXPECT_EQ(cloud().pollPair().ownerId, "1001");
  EXPECT_FALSE(cloud().pending()->account);

  rig.service.armFault(pollPath, Fault{.kind = FaultKind::reply,
                                       .status = 200,
                                       .body = R"({"state":"approved","ownerId":"1001","account":{"id":"2002"}})"});
  EXPECT_CLOUD_FAILURE(cloud().pollPair(), "OWNER_MISMATCH", 403);

  rig.service.armFault(
      pollPath, Fault{.kind = FaultKind::reply, .status = 200, .body = R"({"state":"pending","code":"00000000"})"});
  EXPECT_CLOUD_FAILURE(cloud().pollPair(), "PAIRING_CONFLICT", 409);
  EXPECT_EQ(cloud().pending()->code, descriptor.code);
}

TEST_F(Pairing, ConfirmationRulesSurviveALostRedeemReply) {
  auto descriptor = cloud().beginPair();
  rig.service.approvePairing(descriptor.code, CloudRig::alice());
  cloud().pollPair();
  for (const char* wrong : {"01001", "12345678901234567", "", "12a"}) {
    EXPECT_CLOUD_FAILURE(cloud().confirmAccount(wrong), "PAIRING_MISSING", 0);
  }
  EXPECT_EQ(rig.service.requestCount(redeemPath), 0);

  rig.service.armFault(redeemPath, Fault{.kind = FaultKind::lostReply});
  EXPECT_THROW(cloud().confirmAccount("1001"), TransportError);
  EXPECT_EQ(cloud().pending()->confirmedOwner, "1001");
  EXPECT_CLOUD_FAILURE(cloud().confirmAccount("2002"), "OWNER_MISMATCH", 403);
  EXPECT_CLOUD_FAILURE(cloud().resetPair(), "PAIRING_CONFIRMATION_PENDING", 409);

  cloud().confirmAccount("1001");  // the service hands out the same credentials again
  EXPECT_EQ(cloud().owner(), "1001");
}

TEST_F(Pairing, RefusedConfirmationIsWithdrawn) {
  auto descriptor = cloud().beginPair();
  rig.service.approvePairing(descriptor.code, CloudRig::alice());
  cloud().pollPair();
  EXPECT_CLOUD_FAILURE(cloud().confirmAccount("2002"), "OWNER_MISMATCH", 403);  // the service's refusal
  EXPECT_FALSE(cloud().pending()->confirmedOwner);
  cloud().confirmAccount("1001");
  EXPECT_EQ(cloud().owner(), "1001");
}

TEST_F(Pairing, RedeemReplyForAnotherDeviceStoresNothing) {
  auto descriptor = cloud().beginPair();
  rig.service.approvePairing(descriptor.code, CloudRig::alice());
  rig.service.armFault(redeemPath, Fault{.kind = FaultKind::wrongDevice});
  EXPECT_CLOUD_FAILURE(cloud().confirmAccount("1001"), "OWNER_MISMATCH", 403);
  EXPECT_FALSE(cloud().owner());
  EXPECT_FALSE(rig.storedVault().login);
  EXPECT_TRUE(cloud().pending());
}

TEST_F(Pairing, ExpiredRedeemDiscardsThePairing) {
  auto descriptor = cloud().beginPair();
  rig.service.approvePairing(descriptor.code, CloudRig::alice());
  rig.service.expirePairing(descriptor.code);
  EXPECT_CLOUD_FAILURE(cloud().confirmAccount("1001"), "PAIRING_EXPIRED", 410);
  EXPECT_FALSE(cloud().pending());
}

TEST_F(Pairing, SettleAndResetForgetThePairing) {
  EXPECT_CLOUD_FAILURE(cloud().settlePair(), "PAIRING_MISSING", 409);
  cloud().beginPair();
  cloud().settlePair();
  EXPECT_FALSE(cloud().pending());
  EXPECT_EQ(rig.service.pairings().at(0).state, "settled");

  cloud().beginPair();  // a new pairing with new secrets
  EXPECT_EQ(rig.service.pairings().size(), 2u);
  cloud().resetPair();
  EXPECT_FALSE(cloud().pending());
  EXPECT_FALSE(rig.storedVault().pair);
}

TEST_F(Pairing, AFailedSaveLeavesTheVaultAsItWas) {
  auto descriptor = cloud().beginPair();
  rig.service.approvePairing(descriptor.code, CloudRig::alice());
  cloud().pollPair();
  auto before = rig.store->storedText();
  rig.store->failSaves(1);
  EXPECT_CLOUD_FAILURE(cloud().confirmAccount("1001"), "CREDENTIAL_STORAGE", 0);
  EXPECT_EQ(rig.store->storedText(), before);
  EXPECT_FALSE(cloud().pending()->confirmedOwner);
  EXPECT_EQ(rig.service.requestCount(redeemPath), 0);
}

TEST_F(Pairing, StateSurvivesARestart) {
  auto descriptor = cloud().beginPair();
  rig.restartClient();
  EXPECT_EQ(cloud().pending()->code, descriptor.code);
  rig.service.approvePairing(descriptor.code, CloudRig::bob());
  cloud().pollPair();
  cloud().confirmAccount("2002");
  rig.restartClient();
  EXPECT_EQ(cloud().owner(), "2002");
}

}  // namespace
}  // namespace talvo
