#pragma once
// The client of the transcription service's account API: device pairing, session refresh with
// rotation, account information, the library link and disconnect — and `call`, the framing
// that every request of the program (the upload queue's included) goes through.
//
// Thread safety. Every operation blocks and may be called from any worker thread, never from
// the GUI thread. The state (vault, credentialEpoch, flags, the refresh flight, info) is guarded
// by one mutex that is never held across a request or a wait. Vault changes are additionally
// serialised by a write lock held across "check, save to the store, adopt": the store is written
// before the in-memory vault changes, and two writers never interleave. Because other operations
// run while a request is on its way, every operation that changes credentials after a request
// first checks that credentialEpoch and the vault entries it relied on are unchanged.
//
// Session refresh keeps at most one request in flight; every caller needing a token meanwhile
// waits for that same refresh. Its rotation id is stored before the request, so a reply lost on
// the way is asked for again with the same rotation id and refresh token. Confirming a pairing
// or disconnecting cancels the flight: it stores nothing and its waiters fail.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/system/clock.h"
#include "cloud/cloud_failure.h"
#include "cloud/cloud_replies.h"
#include "cloud/cloud_vault.h"
#include "cloud/desktop_http_transport.h"
#include "cloud/device_vault_store.h"
#include "core/values/internet_date_time.h"

namespace talvo {

class DesktopCloud {
 public:
  // A request of the service's API, as `call` frames it.
  struct CallRequest {
    std::string method = "GET";
    std::optional<nlohmann::json> json;  // sent as a JSON object with sorted keys
    std::optional<std::string> bytes;    // raw body; wins over `json`
    // Raw body owned by the caller, alive until the call returns; sent without a copy. Wins
    // over `json` and `bytes`.
    std::optional<std::string_view> borrowedBytes;
    std::optional<std::string> token;  // bearer token
    std::vector<std::pair<std::string, std::string>> query;
    std::map<std::string, std::string> extra;  // extra headers; replace standard ones
    std::shared_ptr<CancellationFlag> cancellation;
  };

  // The status and body of a 2xx reply, before decoding.
  struct RawReply {
    long status = 0;
    std::string body;
  };

  // Fails with CloudFailure("ORIGIN_INVALID", 0) unless `base` is a bare https origin, and with
  // whatever the store's load throws. `telegramHost` is the messenger's short-link host that
  // approval, library and tariff links must point to.
  DesktopCloud(std::shared_ptr<DeviceVaultStore> store, std::shared_ptr<DesktopHTTPTransport> transport,
               const std::string& base, std::string telegramHost, std::shared_ptr<const Clock> clock = {});
  DesktopCloud(const DesktopCloud&) = delete;
  DesktopCloud& operator=(const DesktopCloud&) = delete;

  // Snapshots of the vault for the interface.
  std::optional<std::string> owner() const;
  std::optional<CloudAccount> account() const;
  std::optional<PendingPair> pending() const;
  std::optional<CloudInfo> info() const;
  std::int64_t credentialEpoch() const;

  // Pairing.
  PairDescriptor beginPair();
  PairPoll pollPair();
  void confirmAccount(const std::string& ownerId);
  void settlePair();
  void resetPair();
  // Resets the pending pairing only while it is still `operationId` (a poll that found its own
  // pairing expired must not drop one begun meanwhile); false when another one stands.
  bool resetPair(const std::string& operationId);

  // Account.
  CloudInfo refreshInfo();
  std::string libraryLink();
  void disconnect();

  // A usable bearer token for `ownerId` (OWNER_MISMATCH, 403, when that is not the linked
  // account). `rejectedToken` is a token the service has just refused with 401.
  std::string access(const std::string& ownerId, const std::optional<std::string>& rejectedToken = std::nullopt);

  // Sends one request of the API and decodes its 2xx reply as `Reply` (which has a static
  // `Reply fromJson(const nlohmann::json&)`). Non-2xx replies become CloudFailure(code, status);
  // a body that does not decode is CloudFailure("RESPONSE_INVALID", status).
  template <class Reply>
  Reply call(const std::string& path, const CallRequest& request) {
    return decodeReply<Reply>(exchange(path, request));
  }

  // The authorised request rule: a token from access(ownerId); after a 401, one more token with
  // the refused one named, and one repeat whose outcome is final.
  template <class Reply>
  Reply authorized(const std::string& ownerId, const std::string& path, CallRequest request) {
    request.token = access(ownerId);
    try {
      return call<Reply>(path, request);
    } catch (const CloudFailure& failure) {
      if (failure.status() != 401) throw;
    }
    request.token = access(ownerId, request.token);
    return call<Reply>(path, request);
  }

  // Frames and sends a request; returns a 2xx reply undecoded.
  RawReply exchange(const std::string& path, const CallRequest& request);

  template <class Reply>
  static Reply decodeReply(const RawReply& raw) {
    try {
      return Reply::fromJson(nlohmann::json::parse(raw.body));
    } catch (const JsonDecodingError&) {
    } catch (const nlohmann::json::exception&) {
    }
    throw CloudFailure("RESPONSE_INVALID", static_cast<int>(raw.status));
  }

  const std::string& origin() const noexcept { return origin_; }
  const std::string& telegramHost() const noexcept { return telegramHost_; }

 private:
  struct RefreshFlight {
    std::string id;
    std::shared_ptr<CancellationFlag> cancellation;
    std::shared_future<std::string> result;
  };

  WallTime now() const;
  // Caller holds writeMutex_. Saves `next` and only then adopts it; `afterStore` runs under
  // mutex_ together with the adoption (e.g. the epoch increment).
  void storeVault(CloudVault next, const std::function<void()>& afterStore = {});
  // Caller holds mutex_: increments the epoch and cancels and forgets the refresh flight.
  void endCredentialsLocked();
  // resetPair for a caller that already holds writeMutex_.
  void resetPairHeld();
  std::string performRefresh(const DeviceLogin& login, const std::string& rotation, std::int64_t epoch,
                             const std::string& flightId, const std::shared_ptr<CancellationFlag>& cancellation);
  bool isTelegramLink(const std::string& text) const;

  std::shared_ptr<DesktopHTTPTransport> transport_;
  std::shared_ptr<DeviceVaultStore> store_;
  std::string origin_;  // "https://host[:port]" without a trailing slash
  std::string originHost_;
  int originPort_ = 443;
  std::string telegramHost_;
  std::shared_ptr<const Clock> clock_;  // its wall clock dates tokens

  std::mutex writeMutex_;     // serialises vault writes; taken before mutex_
  mutable std::mutex mutex_;  // guards everything below
  CloudVault vault_;
  std::int64_t credentialEpoch_ = 0;
  bool settlingPair_ = false;
  bool issuingLibraryLink_ = false;
  std::optional<RefreshFlight> refreshFlight_;
  std::optional<CloudInfo> info_;
};

}  // namespace talvo
