// Session endpoints: refresh with rotation, the device's session and account information,
// disconnect, and the web library's one-time link.
#include "core/values/base64.h"
#include "core/values/internet_date_time.h"
#include "testing/fake_service_state.h"

namespace talvo::testing {
using namespace fake_service;

// A new session for a device: access token, refresh token and their expiries. Caller locks.
nlohmann::json FakeTranscriptionService::issueSession(const std::string& ownerId, const std::string& deviceId) {
  auto now = SystemClock::now();
  std::string token = randomToken();
  std::string refresh = randomToken();
  state_->sessions[token] = {ownerId, deviceId, now + options_.accessLifetime};
  state_->refreshes[refresh] = {ownerId, deviceId, false, {}, json()};
  return json{{"token", token},
              {"expiresAt", formatInternetDateTime(now + options_.accessLifetime)},
              {"ownerId", ownerId},
              {"refreshToken", refresh},
              {"refreshExpiresAt", formatInternetDateTime(now + options_.refreshLifetime)}};
}

void FakeTranscriptionService::installSessionRoutes() {
  using httplib::Request;
  using httplib::Response;

  // Rotation: a refresh token is spent once. The same refresh token with the same rotation id
  // is a repeat of a request whose reply was lost and gets the same new session; with another
  // rotation id it is a replay and is refused.
  addRoute("POST", "/api/session/refresh", [this](const Request& request, Response& response) {
    auto body = parseObject(request.body);
    auto refresh = body ? stringMember(*body, "refreshToken") : std::nullopt;
    auto rotation = body ? stringMember(*body, "rotationId") : std::nullopt;
    if (!refresh || !rotation || rotation->empty()) return refuse(response, 400, "BAD_REQUEST");
    std::lock_guard lock(mutex_);
    auto it = state_->refreshes.find(*refresh);
    if (it == state_->refreshes.end()) return refuse(response, 401, "AUTH_REQUIRED");
    if (!state_->devices[it->second.deviceId]) return refuse(response, 401, "DEVICE_REVOKED");
    if (it->second.spent) {
      if (it->second.rotationId != *rotation) return refuse(response, 401, "AUTH_REQUIRED");
      return reply(response, it->second.result);
    }
    json session = issueSession(it->second.ownerId, it->second.deviceId);
    auto& record = state_->refreshes[*refresh];  // issueSession may have rehashed nothing, but be plain
    record.spent = true;
    record.rotationId = *rotation;
    record.result = session;
    reply(response, session);
  });

  addRoute("GET", "/api/desktop/session", [this](const Request& request, Response& response) {
    auto device = authorize(request, response);
    if (!device) return;
    std::lock_guard lock(mutex_);
    json out = {{"ownerId", device->ownerId},
                {"deviceId", device->deviceId},
                {"libraryUrl", "https://" + options_.telegramHost + "/talvo_bot"},
                {"tariffUrl", "https://" + options_.telegramHost + "/talvo_bot?start=tariff"}};
    auto account = state_->accounts.find(device->ownerId);
    if (account != state_->accounts.end() && !account->second.rights.is_null()) out["rights"] = account->second.rights;
    reply(response, out);
  });

  addRoute("POST", "/api/desktop/library-link", [this](const Request& request, Response& response) {
    auto device = authorize(request, response);
    if (!device) return;
    std::lock_guard lock(mutex_);
    std::string value = randomToken();
    auto expires = SystemClock::now() + std::chrono::seconds(60);
    state_->handoffs[value] = {expires, false};
    reply(response, {{"url", origin() + "/library/#handoff=" + value}, {"expiresAt", formatInternetDateTime(expires)}});
  });

  addRoute("DELETE", "/api/session", [this](const Request& request, Response& response) {
    auto device = authorize(request, response);
    if (!device) return;
    std::lock_guard lock(mutex_);
    state_->devices[device->deviceId] = false;
    for (auto it = state_->sessions.begin(); it != state_->sessions.end();) {
      it = it->second.deviceId == device->deviceId ? state_->sessions.erase(it) : std::next(it);
    }
    reply(response, {{"revoked", true}});
  });

  // The web library: the page hands its one-time value back to the service, which accepts it once.
  addRoute("GET", "/library/", [](const Request&, Response& response) {
    response.set_content(
        "<!doctype html><meta charset=utf-8><title>TALVO</title><p id=s>…</p><script>"
        "const v=location.hash.replace('#handoff=','');history.replaceState(null,'',location.pathname);"
        "fetch('/api/library/handoff',{method:'POST',headers:{'Content-Type':'application/json'},"
        "body:JSON.stringify({handoff:v})}).then(r=>{document.getElementById('s').textContent="
        "r.ok?'Библиотека открыта':'Ссылка уже использована или истекла'})</script>",
        "text/html; charset=utf-8");
  });
  addRoute("POST", "/api/library/handoff", [this](const Request& request, Response& response) {
    auto body = parseObject(request.body);
    auto value = body ? stringMember(*body, "handoff") : std::nullopt;
    if (!value || !redeemHandoff(*value)) return refuse(response, 410, "HANDOFF_INVALID");
    reply(response, {{"signedIn", true}});
  });
}

}  // namespace talvo::testing
