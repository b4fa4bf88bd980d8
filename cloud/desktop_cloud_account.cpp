// Account information, the one-time library link and disconnect.
#include "cloud/desktop_cloud.h"
#include "core/program/desktop_web_destination.h"
#include "core/system/log_sink.h"

namespace talvo {

CloudInfo DesktopCloud::refreshInfo() {
  DeviceLogin login;
  std::int64_t epoch = 0;
  {
    std::lock_guard lock(mutex_);
    if (!vault_.login) throw CloudFailure("AUTH_REQUIRED", 401);
    login = *vault_.login;
    epoch = credentialEpoch_;
  }
  auto reply = authorized<CloudInfo>(login.session.ownerId, "/api/desktop/session", CallRequest{});

  std::unique_lock write(writeMutex_);
  std::unique_lock lock(mutex_);
  if (credentialEpoch_ != epoch || !vault_.login || vault_.login->deviceId != login.deviceId ||
      reply.ownerId != login.session.ownerId || reply.deviceId != login.deviceId)
    throw CloudFailure("OWNER_MISMATCH", 403);
  if (!isTelegramLink(reply.libraryUrl) || !isTelegramLink(reply.tariffUrl)) throw CloudFailure("RESPONSE_INVALID", 0);
  if (vault_.cachedInfo != reply) {
    CloudVault next = vault_;
    next.cachedInfo = reply;
    lock.unlock();
    storeVault(std::move(next), [&] { info_ = reply; });
  } else {
    info_ = reply;
  }
  return reply;
}

std::string DesktopCloud::libraryLink() {
  DeviceLogin login;
  std::int64_t epoch = 0;
  {
    std::lock_guard lock(mutex_);
    if (!vault_.login) throw CloudFailure("AUTH_REQUIRED", 401);
    if (issuingLibraryLink_) throw CloudFailure("OPERATION_IN_PROGRESS", 409);
    issuingLibraryLink_ = true;
    login = *vault_.login;
    epoch = credentialEpoch_;
  }
  struct ClearFlag {
    DesktopCloud& cloud;
    ~ClearFlag() {
      std::lock_guard lock(cloud.mutex_);
      cloud.issuingLibraryLink_ = false;
    }
  } clearFlag{*this};

  CallRequest request;
  request.method = "POST";
  request.json = nlohmann::json::object();
  auto reply = authorized<LibraryLinkResponse>(login.session.ownerId, "/api/desktop/library-link", request);

  DeviceLogin stored;
  {
    std::lock_guard lock(mutex_);
    if (credentialEpoch_ != epoch || !vault_.login || vault_.login->session.ownerId != login.session.ownerId ||
        vault_.login->deviceId != login.deviceId)
      throw CloudFailure("CREDENTIAL_CHANGED", 409);
    stored = *vault_.login;
  }

  WallTime current = now();
  auto handoff = DesktopWebDestination::libraryHandoff(reply.url, origin_ + "/library/");
  auto expiry = parseInternetDateTimeEither(reply.expiresAt);
  if (!handoff || !expiry || *expiry <= current || *expiry > current + std::chrono::seconds(120))
    throw CloudFailure("RESPONSE_INVALID", 0);
  // A service that echoes a credential as the hand-off value would put it into the browser's
  // history; such a link is never opened.
  std::string value = handoff->fragment().value_or("").substr(std::string("handoff=").size());
  for (const std::string* secret :
       {&login.session.token, &login.session.refreshToken, &stored.session.token, &stored.session.refreshToken}) {
    if (value == *secret) throw CloudFailure("RESPONSE_INVALID", 0);
  }
  return reply.url;
}

void DesktopCloud::disconnect() {
  std::string deviceId;
  std::int64_t epoch = 0;
  CallRequest request;
  request.method = "DELETE";
  {
    std::lock_guard lock(mutex_);
    if (!vault_.login) return;
    deviceId = vault_.login->deviceId;
    epoch = credentialEpoch_;
    // The stored token as it is: a revoked or expired one still identifies the device, and a
    // refresh here could itself need the service we are leaving.
    request.token = vault_.login->session.token;
  }
  bool revoked = false;
  try {
    revoked = call<DisconnectReply>("/api/session", request).revoked;
  } catch (const CloudFailure& failure) {
    // The service has already let this device go (the bot revoked it): the login it refuses
    // is dead for good, so leaving means forgetting it here. Otherwise the computer would stay
    // linked to a device no request can ever use.
    if (failure.code() != "DEVICE_REVOKED" || failure.status() != 401 || !failure.fromService()) throw;
    LogSink::line(log_category::cloud, LogLevel::debug, "device already revoked by the service: forgetting it here");
    revoked = true;
  }

  std::unique_lock write(writeMutex_);
  std::unique_lock lock(mutex_);
  if (credentialEpoch_ != epoch || !vault_.login || vault_.login->deviceId != deviceId || !revoked)
    throw CloudFailure("RESPONSE_INVALID", 0);
  lock.unlock();
  storeVault(CloudVault{}, [this] {
    endCredentialsLocked();
    info_.reset();
  });
}

}  // namespace talvo
