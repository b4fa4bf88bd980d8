#pragma once
// The device credentials and the pairing under way: the one persistent record of the cloud
// client, stored as one JSON document in the Secret Service. Also the account records that
// the service sends back. Every record reads strictly: a missing required member or a member of
// the wrong type (a float where an integer belongs, a number where a string belongs) fails with
// JsonDecodingError; a missing or null optional member reads as absent and absent members are
// left out when writing.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "core/values/json_decoding_error.h"

namespace talvo {

struct CloudAccount {
  std::string id;
  std::optional<std::string> name;
  std::optional<std::string> username;  // Telegram user name without "@"

  bool operator==(const CloudAccount&) const = default;
  static CloudAccount fromJson(const nlohmann::json& json);
  nlohmann::json toJson() const;
};

// Also the reply of the refresh request.
struct CloudSession {
  std::string token;
  std::string expiresAt;  // ISO 8601, with or without fractional seconds
  std::string ownerId;
  std::string refreshToken;
  std::string refreshExpiresAt;  // kept and written back, never interpreted

  bool operator==(const CloudSession&) const = default;
  static CloudSession fromJson(const nlohmann::json& json);
  nlohmann::json toJson() const;
};

struct DeviceLogin {
  CloudSession session;
  std::string deviceId;  // the operation id of the pairing that created the login
  std::optional<CloudAccount> account;

  bool operator==(const DeviceLogin&) const = default;
  static DeviceLogin fromJson(const nlohmann::json& json);
  nlohmann::json toJson() const;
};

struct PendingPair {
  std::string operationId;  // lower-case UUID chosen by this computer
  std::string verifier;     // 43-character secret
  std::optional<std::string> approvalUrl;
  std::optional<std::string> code;
  std::optional<CloudAccount> account;        // the approving account, as the service said
  std::optional<std::string> confirmedOwner;  // once set, the pairing is not dropped silently

  bool operator==(const PendingPair&) const = default;
  static PendingPair fromJson(const nlohmann::json& json);
  nlohmann::json toJson() const;
};

struct CloudRights {
  std::string plan;
  std::optional<std::int64_t> remainingSeconds;
  std::optional<double> paidUntil;  // milliseconds since 1970; absent outside ±maximumPaidUntil

  // The range of a date in the service's JSON (±100,000,000 days around 1970); a value outside
  // it is no date and reads as absent.
  static constexpr double maximumPaidUntil = 8.64e15;
  static bool representable(double milliseconds) noexcept {
    return milliseconds >= -maximumPaidUntil && milliseconds <= maximumPaidUntil;
  }

  bool operator==(const CloudRights&) const = default;
  static CloudRights fromJson(const nlohmann::json& json);
  nlohmann::json toJson() const;
};

// Also the reply of the account-information request.
struct CloudInfo {
  std::string ownerId;
  std::string deviceId;
  std::string libraryUrl;
  std::string tariffUrl;
  std::optional<CloudRights> rights;

  bool operator==(const CloudInfo&) const = default;
  static CloudInfo fromJson(const nlohmann::json& json);
  nlohmann::json toJson() const;
};

struct CloudVault {
  static constexpr std::size_t maximumStoredSize = 16384;

  std::optional<DeviceLogin> login;
  std::optional<PendingPair> pair;
  std::optional<std::string> rotationId;
  std::optional<CloudInfo> cachedInfo;

  bool operator==(const CloudVault&) const = default;
  static CloudVault fromJson(const nlohmann::json& json);
  nlohmann::json toJson() const;

  // The stored text (compact JSON) and its strict reading (JsonDecodingError when the text is
  // not JSON or not a vault).
  std::string encode() const;
  static CloudVault decode(const std::string& text);
};

}  // namespace talvo
