// Construction, request framing, and token access with the shared refresh flight.
#include "cloud/desktop_cloud.h"

#include <cctype>

#include "cloud/cloud_secrets.h"
#include "core/system/clock.h"
#include "core/system/log_sink.h"
#include "core/values/url.h"

namespace talvo {
namespace {

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string percentEncode(const std::string& text) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(digits[c >> 4]);
      out.push_back(digits[c & 15]);
    }
  }
  return out;
}

// The code of a refused request: the service's own when it is well formed, else HTTP_<status>.
std::string failureCode(const std::string& body, long status) {
  try {
    auto json = nlohmann::json::parse(body);
    if (json.is_object()) {
      auto it = json.find("error");
      if (it != json.end() && it->is_string()) {
        auto code = it->get<std::string>();
        if (CloudFailure::isServiceCode(code)) return code;
      }
    }
  } catch (const nlohmann::json::exception& error) {  // its text would quote the reply
    LogSink::line(log_category::cloud, LogLevel::debug,
                  "refused reply is not JSON (error " + std::to_string(error.id) + "); code from its status");
  }
  return "HTTP_" + std::to_string(status);
}

// What the vault holds, named without a single credential.
const char* vaultShape(const CloudVault& vault) {
  if (vault.login) return vault.rotationId ? "connected, session refresh under way" : "connected";
  return vault.pair ? "pairing" : "not connected";
}

}  // namespace

DesktopCloud::DesktopCloud(std::shared_ptr<DeviceVaultStore> store, std::shared_ptr<DesktopHTTPTransport> transport,
                           const std::string& base, std::string telegramHost, std::shared_ptr<const Clock> clock)
    : transport_(std::move(transport)),
      store_(std::move(store)),
      telegramHost_(std::move(telegramHost)),
      clock_(clock ? std::move(clock) : Clock::system()) {
  auto url = Url::parse(base);
  if (!url || url->scheme() != "https" || url->user() || url->password() || url->query() || url->fragment() ||
      url->path() != "/")
    throw CloudFailure("ORIGIN_INVALID", 0);
  originHost_ = url->host();
  originPort_ = url->port().value_or(443);
  origin_ = "https://" + originHost_ + (url->port() ? ":" + std::to_string(*url->port()) : "");

  vault_ = store_->load();
  LogSink::line(log_category::cloud, LogLevel::debug, std::string("account loaded: ") + vaultShape(vault_));
  // Cached account information is shown only for the login it was fetched for.
  std::optional<std::string> loginOwner;
  std::optional<std::string> loginDevice;
  if (vault_.login) {
    loginOwner = vault_.login->session.ownerId;
    loginDevice = vault_.login->deviceId;
  }
  std::optional<std::string> cachedOwner;
  std::optional<std::string> cachedDevice;
  if (vault_.cachedInfo) {
    cachedOwner = vault_.cachedInfo->ownerId;
    cachedDevice = vault_.cachedInfo->deviceId;
  }
  if (cachedOwner == loginOwner && cachedDevice == loginDevice) info_ = vault_.cachedInfo;
}

WallTime DesktopCloud::now() const { return clock_->wallTime(); }

std::optional<std::string> DesktopCloud::owner() const {
  std::lock_guard lock(mutex_);
  if (!vault_.login) return std::nullopt;
  return vault_.login->session.ownerId;
}

std::optional<CloudAccount> DesktopCloud::account() const {
  std::lock_guard lock(mutex_);
  if (!vault_.login) return std::nullopt;
  return vault_.login->account;
}

std::optional<PendingPair> DesktopCloud::pending() const {
  std::lock_guard lock(mutex_);
  return vault_.pair;
}

std::optional<CloudInfo> DesktopCloud::info() const {
  std::lock_guard lock(mutex_);
  return info_;
}

std::int64_t DesktopCloud::credentialEpoch() const {
  std::lock_guard lock(mutex_);
  return credentialEpoch_;
}

void DesktopCloud::storeVault(CloudVault next, const std::function<void()>& afterStore) {
  store_->save(next);  // a failure leaves the vault in memory as it was
  LogSink::line(log_category::cloud, LogLevel::debug, std::string("account stored: ") + vaultShape(next));
  std::lock_guard lock(mutex_);
  vault_ = std::move(next);
  if (afterStore) afterStore();
}

void DesktopCloud::endCredentialsLocked() {
  ++credentialEpoch_;
  if (refreshFlight_) {
    refreshFlight_->cancellation->cancel();
    refreshFlight_.reset();
  }
}

bool DesktopCloud::isTelegramLink(const std::string& text) const {
  auto url = Url::parse(text);
  return url && url->scheme() == "https" && url->host() == telegramHost_ && !url->user() && !url->password();
}

DesktopCloud::RawReply DesktopCloud::exchange(const std::string& path, const CallRequest& request) {
  if (path.rfind("/api/", 0) != 0 || path.find_first_of("?#") != std::string::npos)
    throw CloudFailure("ROUTE_INVALID", 0);

  HttpRequest http;
  http.method = request.method;
  http.url = origin_ + path;
  if (!request.query.empty()) {
    std::string query;
    for (const auto& [name, value] : request.query) {
      if (!query.empty()) query.push_back('&');
      query += percentEncode(name) + "=" + percentEncode(value);
    }
    http.url += "?" + query;
  }
  http.cancellation = request.cancellation;

  // Headers by lower-case name, so an extra header replaces a standard one of the same name.
  std::vector<std::pair<std::string, std::string>> headers;
  auto setHeader = [&headers](const std::string& name, const std::string& value) {
    for (auto& header : headers) {
      if (lowerCase(header.first) == lowerCase(name)) {
        header = {name, value};
        return;
      }
    }
    headers.emplace_back(name, value);
  };
  setHeader("Accept", "application/json");
  if (request.token) setHeader("Authorization", "Bearer " + *request.token);
  if (request.json) {
    http.body = request.json->dump();  // nlohmann objects keep their keys sorted
    setHeader("Content-Type", "application/json");
  }
  // Raw bytes are lent to the transport, not copied: `request` outlives the exchange.
  if (request.borrowedBytes || request.bytes) {
    http.borrowedBody = request.borrowedBytes ? *request.borrowedBytes : std::string_view(*request.bytes);
    setHeader("Content-Type", "application/octet-stream");
  }
  for (const auto& [name, value] : request.extra) setHeader(name, value);
  http.headers = std::move(headers);

  HttpExchange reply = transport_->send(http);

  auto final = Url::parse(reply.response.finalUrl);
  if (!final || final->scheme() != "https" || final->host() != originHost_ ||
      final->port().value_or(443) != originPort_)
    throw CloudFailure("ORIGIN_INVALID", 0);

  long status = reply.response.status;
  if (status < 200 || status > 299)
    throw CloudFailure(failureCode(reply.body, status), static_cast<int>(status), CloudFailure::Origin::service);
  return RawReply{status, std::move(reply.body)};
}

std::string DesktopCloud::access(const std::string& ownerId, const std::optional<std::string>& rejectedToken) {
  enum class Decision { use, wait, refresh };
  std::string token;
  std::shared_future<std::string> flight;
  // Under mutex_: what the vault and the flight allow right now.
  auto decide = [&]() -> Decision {
    if (!vault_.login || vault_.login->session.ownerId != ownerId) throw CloudFailure("OWNER_MISMATCH", 403);
    if (refreshFlight_) {
      flight = refreshFlight_->result;
      return Decision::wait;
    }
    const CloudSession& session = vault_.login->session;
    if (rejectedToken) {
      // Another refresh already replaced the token the service refused.
      if (*rejectedToken != session.token && !vault_.rotationId) {
        token = session.token;
        return Decision::use;
      }
    } else if (!vault_.rotationId) {
      auto expiry = parseInternetDateTimeEither(session.expiresAt);
      if (expiry && *expiry >= now() + std::chrono::seconds(300)) {
        token = session.token;
        return Decision::use;
      }
    }
    return Decision::refresh;
  };

  {
    std::unique_lock lock(mutex_);
    Decision decision = decide();
    if (decision == Decision::use) return token;
    if (decision == Decision::wait) {
      lock.unlock();
      return flight.get();
    }
  }

  // A refresh is needed. Flights are only created under writeMutex_, so deciding again while
  // holding it means no two callers can start one.
  std::unique_lock write(writeMutex_);
  std::unique_lock lock(mutex_);
  Decision decision = decide();
  if (decision == Decision::use) return token;
  if (decision == Decision::wait) {
    lock.unlock();
    write.unlock();
    return flight.get();
  }
  if (!vault_.rotationId) {
    // Stored before the request: if the reply is lost, the next refresh repeats this id.
    CloudVault next = vault_;
    next.rotationId = makeRotationId();
    lock.unlock();
    storeVault(std::move(next));
    lock.lock();
  }
  DeviceLogin login = *vault_.login;
  std::string rotation = *vault_.rotationId;
  std::int64_t epoch = credentialEpoch_;
  std::string flightId = makeRotationId();
  auto cancellation = std::make_shared<CancellationFlag>();
  std::promise<std::string> promise;
  refreshFlight_ = RefreshFlight{flightId, cancellation, promise.get_future().share()};
  lock.unlock();
  write.unlock();

  // The caller that starts the flight carries it; the others wait on its shared result.
  try {
    std::string fresh = performRefresh(login, rotation, epoch, flightId, cancellation);
    promise.set_value(fresh);
    return fresh;
  } catch (...) {
    promise.set_exception(std::current_exception());
    throw;
  }
}

std::string DesktopCloud::performRefresh(const DeviceLogin& login, const std::string& rotation, std::int64_t epoch,
                                         const std::string& flightId,
                                         const std::shared_ptr<CancellationFlag>& cancellation) {
  auto endFlight = [&] {
    std::lock_guard lock(mutex_);
    if (refreshFlight_ && refreshFlight_->id == flightId) refreshFlight_.reset();
  };
  try {
    CallRequest request;
    request.method = "POST";
    request.json = nlohmann::json{{"refreshToken", login.session.refreshToken}, {"rotationId", rotation}};
    request.cancellation = cancellation;
    auto reply = call<CloudSession>("/api/session/refresh", request);

    std::unique_lock write(writeMutex_);
    std::unique_lock lock(mutex_);
    bool applies = !cancellation->cancelled() && reply.ownerId == login.session.ownerId && credentialEpoch_ == epoch &&
                   vault_.login && vault_.login->deviceId == login.deviceId &&
                   vault_.login->session.refreshToken == login.session.refreshToken && vault_.rotationId &&
                   *vault_.rotationId == rotation;
    if (!applies) throw CloudFailure("CREDENTIAL_CHANGED", 409);
    CloudVault next = vault_;
    next.login = DeviceLogin{reply, login.deviceId, login.account};
    next.rotationId.reset();
    lock.unlock();
    storeVault(std::move(next), [&] {
      if (refreshFlight_ && refreshFlight_->id == flightId) refreshFlight_.reset();
    });
    return reply.token;
  } catch (...) {
    endFlight();
    throw;
  }
}

}  // namespace talvo
