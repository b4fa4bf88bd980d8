#pragma once
// Replies of the pairing, account and disconnect requests. Each reads strictly (JsonDecodingError
// on a missing required member or a wrong type); unknown members are ignored except where a
// reply says otherwise (the library link).
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "cloud/cloud_vault.h"

namespace talvo {

// Reply of beginning a pairing.
struct PairDescriptor {
  std::string operationId;
  std::string code;
  std::string approvalUrl;
  static PairDescriptor fromJson(const nlohmann::json& json);
};

// Reply of polling a pairing; the client passes `state` through uninterpreted.
struct PairPoll {
  std::string state;
  std::optional<std::string> ownerId;
  std::optional<CloudAccount> account;
  std::optional<std::string> code;
  static PairPoll fromJson(const nlohmann::json& json);
};

// Reply of redeeming a pairing for device credentials.
struct PairRedeemed {
  std::string token;
  std::string expiresAt;
  std::string ownerId;
  std::string refreshToken;
  std::string refreshExpiresAt;
  std::string deviceId;
  static PairRedeemed fromJson(const nlohmann::json& json);
};

struct SettleReply {
  bool settled = false;
  static SettleReply fromJson(const nlohmann::json& json);
};

// Exactly the members "url" and "expiresAt", both strings; anything else is refused.
struct LibraryLinkResponse {
  std::string url;
  std::string expiresAt;
  static LibraryLinkResponse fromJson(const nlohmann::json& json);
};

struct DisconnectReply {
  bool revoked = false;
  static DisconnectReply fromJson(const nlohmann::json& json);
};

}  // namespace talvo
