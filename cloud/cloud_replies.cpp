#include "cloud/cloud_replies.h"

#include <nlohmann/json.hpp>

#include "core/values/json_fields.h"

namespace talvo {

using namespace json_fields;
using nlohmann::json;

PairDescriptor PairDescriptor::fromJson(const json& value) {
  object(value, "pairing");
  return PairDescriptor{requiredString(value, "operationId"), requiredString(value, "code"),
                        requiredString(value, "approvalUrl")};
}

PairPoll PairPoll::fromJson(const json& value) {
  object(value, "poll");
  PairPoll poll{requiredString(value, "state"), optionalString(value, "ownerId"), std::nullopt,
                optionalString(value, "code")};
  if (const auto* account = member(value, "account")) poll.account = CloudAccount::fromJson(*account);
  return poll;
}

PairRedeemed PairRedeemed::fromJson(const json& value) {
  object(value, "redeem");
  return PairRedeemed{requiredToken(value, "token"),
                      requiredString(value, "expiresAt"),
                      requiredString(value, "ownerId"),
                      requiredToken(value, "refreshToken"),
                      requiredString(value, "refreshExpiresAt"),
                      requiredString(value, "deviceId")};
}

SettleReply SettleReply::fromJson(const json& value) {
  object(value, "settle");
  return SettleReply{requiredBool(value, "settled")};
}

LibraryLinkResponse LibraryLinkResponse::fromJson(const json& value) {
  // Read as a dictionary of strings with exactly these two keys: a third member of any name
  // means the reply is not the one we know how to trust.
  if (!value.is_object() || value.size() != 2 || !value.contains("url") || !value.contains("expiresAt") ||
      !value["url"].is_string() || !value["expiresAt"].is_string())
    throw JsonDecodingError("Invalid library link response");
  return LibraryLinkResponse{value["url"].get<std::string>(), value["expiresAt"].get<std::string>()};
}

DisconnectReply DisconnectReply::fromJson(const json& value) {
  object(value, "disconnect");
  return DisconnectReply{requiredBool(value, "revoked")};
}

}  // namespace talvo
