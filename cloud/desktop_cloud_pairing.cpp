// Pairing: begin, poll, confirm (redeem), settle and reset.
//
//   Unlinked --begin--> Registered --reply--> Awaiting approval --poll: account--> Approved
//      ^                                                                           |
//      |  reset / settle / PAIRING_EXPIRED                              confirmAccount
//      +------------------------------------- Confirmation sent <------------------+
//                                                   | redeem accepted
//                                                   v
//                                                 Linked
//
// Each step notes credentialEpoch and the pairing before its request and, when the reply comes,
// acts on it only if both are still the same: a settle, reset or new login in between voids it.
#include <algorithm>
#include <array>
#include <system_error>

#include "cloud/cloud_secrets.h"
#include "cloud/desktop_cloud.h"

namespace talvo {
namespace {

// The value the service is told about the computer's platform.
constexpr const char* platformName = "linux";

bool isPairCode(const std::string& code) {
  if (code.size() != 8) return false;
  for (char c : code) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

// ^[1-9][0-9]{0,15}$
bool isAccountId(const std::string& id) {
  if (id.empty() || id.size() > 16 || id[0] < '1' || id[0] > '9') return false;
  for (char c : id) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool samePairing(const CloudVault& vault, const PendingPair& pair) {
  return vault.pair && vault.pair->operationId == pair.operationId;
}

}  // namespace

PairDescriptor DesktopCloud::beginPair() {
  PendingPair pair;
  std::int64_t epoch = 0;
  {
    std::unique_lock write(writeMutex_);
    std::unique_lock lock(mutex_);
    if (vault_.login) throw CloudFailure("ALREADY_CONNECTED", 409);
    if (!vault_.pair) {
      // Beginning again re-registers the same pairing, so only the first begin draws secrets.
      CloudVault next = vault_;
      lock.unlock();
      next.pair = PendingPair{};
      next.pair->verifier = makeVerifier();
      try {
        next.pair->operationId = makeRotationId();
      } catch (const std::system_error&) {
        throw CloudFailure("RANDOM_UNAVAILABLE", 0);
      }
      storeVault(std::move(next));
      lock.lock();
    }
    pair = *vault_.pair;
    epoch = credentialEpoch_;
  }

  try {
    CallRequest request;
    request.method = "POST";
    request.json = nlohmann::json{
        {"challenge", sha256Hex(pair.verifier)}, {"operationId", pair.operationId}, {"platform", platformName}};
    auto reply = call<PairDescriptor>("/api/desktop/pairings", request);

    std::unique_lock write(writeMutex_);
    std::unique_lock lock(mutex_);
    if (credentialEpoch_ != epoch || !samePairing(vault_, pair) || reply.operationId != pair.operationId ||
        !isPairCode(reply.code) || !isTelegramLink(reply.approvalUrl))
      throw CloudFailure("RESPONSE_INVALID", 0);
    CloudVault next = vault_;
    next.pair->approvalUrl = reply.approvalUrl;
    next.pair->code = reply.code;
    lock.unlock();
    storeVault(std::move(next));
    return reply;
  } catch (const CloudFailure& failure) {
    if (failure.code() == "PAIRING_EXPIRED") {
      std::lock_guard write(writeMutex_);
      bool discard = false;
      {
        std::lock_guard lock(mutex_);
        discard = credentialEpoch_ == epoch && samePairing(vault_, pair) && !vault_.pair->confirmedOwner;
      }
      if (discard) resetPairHeld();  // its own failure replaces this one
    }
    throw;
  }
}

PairPoll DesktopCloud::pollPair() {
  PendingPair pair;
  std::int64_t epoch = 0;
  {
    std::lock_guard lock(mutex_);
    if (!vault_.pair) throw CloudFailure("PAIRING_MISSING", 0);
    pair = *vault_.pair;
    epoch = credentialEpoch_;
  }
  CallRequest request;
  request.method = "POST";
  request.json = nlohmann::json{{"operationId", pair.operationId}, {"verifier", pair.verifier}};
  auto reply = call<PairPoll>("/api/desktop/pairings/poll", request);

  std::unique_lock write(writeMutex_);
  std::unique_lock lock(mutex_);
  if (credentialEpoch_ != epoch || !samePairing(vault_, pair)) throw CloudFailure("CREDENTIAL_CHANGED", 409);
  if (reply.code && (!vault_.pair->code || *vault_.pair->code != *reply.code))
    throw CloudFailure("PAIRING_CONFLICT", 409);
  if (reply.ownerId && reply.account) {
    if (*reply.ownerId != reply.account->id) throw CloudFailure("OWNER_MISMATCH", 403);
    if (vault_.pair->account != reply.account) {
      CloudVault next = vault_;
      next.pair->account = reply.account;
      lock.unlock();
      storeVault(std::move(next));
    }
  }
  return reply;
}

void DesktopCloud::confirmAccount(const std::string& ownerId) {
  PendingPair pair;
  std::int64_t epoch = 0;
  bool confirmedHere = false;
  {
    std::unique_lock write(writeMutex_);
    std::unique_lock lock(mutex_);
    if (settlingPair_) throw CloudFailure("OPERATION_IN_PROGRESS", 409);
    if (!isAccountId(ownerId) || !vault_.pair) throw CloudFailure("PAIRING_MISSING", 0);
    if (vault_.pair->confirmedOwner) {
      // A confirmation once sent may only be repeated, never changed.
      if (*vault_.pair->confirmedOwner != ownerId) throw CloudFailure("OWNER_MISMATCH", 403);
    } else {
      CloudVault next = vault_;
      next.pair->confirmedOwner = ownerId;
      lock.unlock();
      storeVault(std::move(next));
      lock.lock();
      confirmedHere = true;
    }
    pair = *vault_.pair;
    epoch = credentialEpoch_;
  }

  PairRedeemed reply;
  try {
    CallRequest request;
    request.method = "POST";
    request.json = nlohmann::json{{"operationId", pair.operationId}, {"ownerId", ownerId}, {"verifier", pair.verifier}};
    reply = call<PairRedeemed>("/api/desktop/pairings/redeem", request);
  } catch (const CloudFailure& failure) {
    static constexpr std::array<int, 5> withdrawing{400, 401, 403, 404, 410};
    bool refused = std::find(withdrawing.begin(), withdrawing.end(), failure.status()) != withdrawing.end();
    if (refused && confirmedHere) {
      // The service said no to this confirmation: take it back so another account may be chosen.
      std::lock_guard write(writeMutex_);
      std::unique_lock lock(mutex_);
      if (credentialEpoch_ == epoch && samePairing(vault_, pair)) {
        CloudVault next = vault_;
        next.pair->confirmedOwner.reset();
        lock.unlock();
        storeVault(std::move(next));
        if (failure.code() == "PAIRING_EXPIRED") resetPairHeld();
      }
    }
    throw;
  }

  std::unique_lock write(writeMutex_);
  std::unique_lock lock(mutex_);
  if (credentialEpoch_ != epoch || !samePairing(vault_, pair) || reply.ownerId != ownerId ||
      reply.deviceId != pair.operationId)
    throw CloudFailure("OWNER_MISMATCH", 403);
  CloudVault next;
  next.login =
      DeviceLogin{CloudSession{reply.token, reply.expiresAt, ownerId, reply.refreshToken, reply.refreshExpiresAt},
                  reply.deviceId, vault_.pair->account};
  lock.unlock();
  storeVault(std::move(next), [this] {
    endCredentialsLocked();
    info_.reset();
  });
}

void DesktopCloud::resetPair() {
  std::lock_guard write(writeMutex_);
  resetPairHeld();
}

bool DesktopCloud::resetPair(const std::string& operationId) {
  std::lock_guard write(writeMutex_);
  {
    std::lock_guard lock(mutex_);
    if (!vault_.pair || vault_.pair->operationId != operationId) return false;
  }
  resetPairHeld();
  return true;
}

void DesktopCloud::resetPairHeld() {
  std::unique_lock lock(mutex_);
  if (vault_.login) throw CloudFailure("ALREADY_CONNECTED", 409);
  if (vault_.pair && vault_.pair->confirmedOwner) throw CloudFailure("PAIRING_CONFIRMATION_PENDING", 409);
  CloudVault next = vault_;
  next.pair.reset();
  lock.unlock();
  storeVault(std::move(next), [this] { ++credentialEpoch_; });
}

void DesktopCloud::settlePair() {
  PendingPair pair;
  std::int64_t noted = 0;
  {
    std::lock_guard write(writeMutex_);
    std::lock_guard lock(mutex_);
    if (vault_.login || !vault_.pair) throw CloudFailure("PAIRING_MISSING", 409);
    if (settlingPair_) throw CloudFailure("OPERATION_IN_PROGRESS", 409);
    settlingPair_ = true;
    // At once, so replies of begin, poll and redeem requests still on their way are void.
    noted = ++credentialEpoch_;
    pair = *vault_.pair;
  }
  struct ClearFlag {
    DesktopCloud& cloud;
    ~ClearFlag() {
      std::lock_guard lock(cloud.mutex_);
      cloud.settlingPair_ = false;
    }
  } clearFlag{*this};

  CallRequest request;
  request.method = "POST";
  request.json = nlohmann::json{{"operationId", pair.operationId}, {"verifier", pair.verifier}};
  auto reply = call<SettleReply>("/api/desktop/pairings/settle", request);

  std::unique_lock write(writeMutex_);
  std::unique_lock lock(mutex_);
  if (!reply.settled || credentialEpoch_ != noted || !samePairing(vault_, pair))
    throw CloudFailure("CREDENTIAL_CHANGED", 409);
  CloudVault next = vault_;
  next.pair.reset();
  lock.unlock();
  storeVault(std::move(next), [this] { ++credentialEpoch_; });
}

}  // namespace talvo
