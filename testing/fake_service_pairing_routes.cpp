// Pairing endpoints: a device asks for a code, polls until the owner approves it in the bot,
// redeems its credentials and settles the pairing.
#include "core/values/recording_id.h"
#include "testing/fake_service_state.h"

namespace talvo::testing {
using namespace fake_service;

void FakeTranscriptionService::installPairingRoutes() {
  using httplib::Request;
  using httplib::Response;

  // The pairing named by a request with its verifier; answers and returns null otherwise.
  auto verifiedPairing = [this](const json& body, Response& response) -> State::Pairing* {
    auto operation = stringMember(body, "operationId");
    auto verifier = stringMember(body, "verifier");
    if (!operation || !verifier) {
      refuse(response, 400, "BAD_REQUEST");
      return nullptr;
    }
    auto it = state_->pairings.find(*operation);
    if (it == state_->pairings.end()) {
      refuse(response, 404, "PAIRING_MISSING");
      return nullptr;
    }
    if (sha256Hex(*verifier) != it->second.challenge) {
      refuse(response, 403, "PAIRING_FORBIDDEN");
      return nullptr;
    }
    if (it->second.expired || it->second.expiresAt <= SystemClock::now()) {
      refuse(response, 410, "PAIRING_EXPIRED");
      return nullptr;
    }
    return &it->second;
  };

  addRoute("POST", "/api/desktop/pairings", [this](const Request& request, Response& response) {
    auto body = parseObject(request.body);
    auto challenge = body ? stringMember(*body, "challenge") : std::nullopt;
    auto operation = body ? stringMember(*body, "operationId") : std::nullopt;
    auto platform = body ? stringMember(*body, "platform") : std::nullopt;
    // This client runs on Linux and says so; any other platform is not ours.
    if (!challenge || challenge->size() != 64 || !operation || !isRecordingId(*operation) || platform != "linux")
      return refuse(response, 400, "BAD_REQUEST");
    std::lock_guard lock(mutex_);
    auto it = state_->pairings.find(*operation);
    if (it == state_->pairings.end()) {
      State::Pairing pairing;
      pairing.operationId = *operation;
      pairing.challenge = *challenge;
      pairing.code = pairCode();
      pairing.approvalUrl = "https://" + options_.telegramHost + "/talvo_bot?start=pair_" + pairing.code;
      pairing.expiresAt = SystemClock::now() + options_.pairingLifetime;
      it = state_->pairings.emplace(*operation, pairing).first;
    } else if (it->second.challenge != *challenge) {
      return refuse(response, 409, "PAIRING_CONFLICT");
    } else if (it->second.expired || it->second.expiresAt <= SystemClock::now() || it->second.state == "settled") {
      return refuse(response, 410, "PAIRING_EXPIRED");
    }
    reply(
        response,
        {{"operationId", it->second.operationId}, {"code", it->second.code}, {"approvalUrl", it->second.approvalUrl}});
  });

  addRoute("POST", "/api/desktop/pairings/poll", [this, verifiedPairing](const Request& request, Response& response) {
    auto body = parseObject(request.body);
    if (!body) return refuse(response, 400, "BAD_REQUEST");
    std::lock_guard lock(mutex_);
    auto* pairing = verifiedPairing(*body, response);
    if (pairing == nullptr) return;
    json out = {{"state", pairing->state}, {"code", pairing->code}};
    if (pairing->account) {
      out["ownerId"] = pairing->account->id;
      out["account"] = accountJson(*pairing->account);
    }
    reply(response, out);
  });

  addRoute("POST", "/api/desktop/pairings/redeem", [this, verifiedPairing](const Request& request, Response& response) {
    auto body = parseObject(request.body);
    auto owner = body ? stringMember(*body, "ownerId") : std::nullopt;
    if (!body || !owner) return refuse(response, 400, "BAD_REQUEST");
    std::lock_guard lock(mutex_);
    auto* pairing = verifiedPairing(*body, response);
    if (pairing == nullptr) return;
    if (pairing->state == "settled") return refuse(response, 410, "PAIRING_EXPIRED");
    if (!pairing->account) return refuse(response, 409, "PAIRING_NOT_APPROVED");
    if (pairing->account->id != *owner) return refuse(response, 403, "OWNER_MISMATCH");
    // A redeem repeated after a lost reply gets the same credentials again.
    if (!pairing->redeemed) {
      json session = issueSession(*owner, pairing->operationId);
      session["deviceId"] = pairing->operationId;
      pairing->redeemed = session;
      pairing->state = "redeemed";
      state_->devices[pairing->operationId] = true;
    }
    reply(response, *pairing->redeemed);
  });

  addRoute("POST", "/api/desktop/pairings/settle", [this, verifiedPairing](const Request& request, Response& response) {
    auto body = parseObject(request.body);
    if (!body) return refuse(response, 400, "BAD_REQUEST");
    std::lock_guard lock(mutex_);
    auto* pairing = verifiedPairing(*body, response);
    if (pairing == nullptr) return;
    pairing->state = "settled";
    reply(response, {{"settled", true}});
  });
}

}  // namespace talvo::testing
