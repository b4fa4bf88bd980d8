#include "cloud/cloud_vault.h"

#include <cmath>

#include <nlohmann/json.hpp>

#include "core/values/json_fields.h"

namespace talvo {

using namespace json_fields;
using nlohmann::json;

CloudAccount CloudAccount::fromJson(const json& value) {
  object(value, "account");
  return CloudAccount{requiredString(value, "id"), optionalString(value, "name"), optionalString(value, "username")};
}

json CloudAccount::toJson() const {
  json out = {{"id", id}};
  putOptional(out, "name", name);
  putOptional(out, "username", username);
  return out;
}

CloudSession CloudSession::fromJson(const json& value) {
  object(value, "session");
  return CloudSession{requiredToken(value, "token"), requiredString(value, "expiresAt"),
                      requiredString(value, "ownerId"), requiredToken(value, "refreshToken"),
                      requiredString(value, "refreshExpiresAt")};
}

json CloudSession::toJson() const {
  return json{{"token", token},
              {"expiresAt", expiresAt},
              {"ownerId", ownerId},
              {"refreshToken", refreshToken},
              {"refreshExpiresAt", refreshExpiresAt}};
}

DeviceLogin DeviceLogin::fromJson(const json& value) {
  object(value, "login");
  const auto* session = member(value, "session");
  if (session == nullptr) throw JsonDecodingError("missing session");
  DeviceLogin login{CloudSession::fromJson(*session), requiredString(value, "deviceId"), std::nullopt};
  if (const auto* account = member(value, "account")) login.account = CloudAccount::fromJson(*account);
  return login;
}

json DeviceLogin::toJson() const {
  json out = {{"session", session.toJson()}, {"deviceId", deviceId}};
  if (account) out["account"] = account->toJson();
  return out;
}

PendingPair PendingPair::fromJson(const json& value) {
  object(value, "pair");
  PendingPair pair{requiredString(value, "operationId"),
                   requiredString(value, "verifier"),
                   optionalString(value, "approvalUrl"),
                   optionalString(value, "code"),
                   std::nullopt,
                   optionalString(value, "confirmedOwner")};
  if (const auto* account = member(value, "account")) pair.account = CloudAccount::fromJson(*account);
  return pair;
}

json PendingPair::toJson() const {
  json out = {{"operationId", operationId}, {"verifier", verifier}};
  putOptional(out, "approvalUrl", approvalUrl);
  putOptional(out, "code", code);
  if (account) out["account"] = account->toJson();
  putOptional(out, "confirmedOwner", confirmedOwner);
  return out;
}

CloudRights CloudRights::fromJson(const json& value) {
  object(value, "rights");
  CloudRights rights{requiredString(value, "plan"), optionalInteger(value, "remainingSeconds"),
                     optionalNumber(value, "paidUntil")};
  if (rights.paidUntil && !representable(*rights.paidUntil)) rights.paidUntil.reset();
  return rights;
}

json CloudRights::toJson() const {
  json out = {{"plan", plan}};
  if (remainingSeconds) out["remainingSeconds"] = *remainingSeconds;
  if (paidUntil && representable(*paidUntil)) {
    // A whole number of milliseconds is written as an integer, as the service sends it (the
    // range check comes first: converting a larger double to an integer is undefined).
    if (std::trunc(*paidUntil) == *paidUntil)
      out["paidUntil"] = static_cast<std::int64_t>(*paidUntil);
    else
      out["paidUntil"] = *paidUntil;
  }
  return out;
}

CloudInfo CloudInfo::fromJson(const json& value) {
  object(value, "info");
  CloudInfo info{requiredString(value, "ownerId"), requiredString(value, "deviceId"),
                 requiredString(value, "libraryUrl"), requiredString(value, "tariffUrl"), std::nullopt};
  if (const auto* rights = member(value, "rights")) info.rights = CloudRights::fromJson(*rights);
  return info;
}

json CloudInfo::toJson() const {
  json out = {{"ownerId", ownerId}, {"deviceId", deviceId}, {"libraryUrl", libraryUrl}, {"tariffUrl", tariffUrl}};
  if (rights) out["rights"] = rights->toJson();
  return out;
}

CloudVault CloudVault::fromJson(const json& value) {
  object(value, "vault");
  CloudVault vault;
  if (const auto* login = member(value, "login")) vault.login = DeviceLogin::fromJson(*login);
  if (const auto* pair = member(value, "pair")) vault.pair = PendingPair::fromJson(*pair);
  vault.rotationId = optionalString(value, "rotationId");
  if (const auto* info = member(value, "cachedInfo")) vault.cachedInfo = CloudInfo::fromJson(*info);
  return vault;
}

json CloudVault::toJson() const {
  json out = json::object();
  if (login) out["login"] = login->toJson();
  if (pair) out["pair"] = pair->toJson();
  putOptional(out, "rotationId", rotationId);
  if (cachedInfo) out["cachedInfo"] = cachedInfo->toJson();
  return out;
}

std::string CloudVault::encode() const { return toJson().dump(); }

CloudVault CloudVault::decode(const std::string& text) {
  json value;
  try {
    value = json::parse(text);
  } catch (const json::exception&) {
    // The parser's own message quotes the text it read, which holds credentials.
    throw JsonDecodingError("the stored device record is not JSON");
  }
  return fromJson(value);
}

}  // namespace talvo
