#pragma once
// What the upload queue needs of the cloud client, and nothing more: who is connected, the
// account's processing rights, bearer tokens, and one framed service call. The production
// implementation forwards to DesktopCloud; tests may stand in for the service behind it.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace talvo {

// The account's processing allowance as the service reported it at the start of a sync pass.
struct QueueRights {
  std::string plan;
  std::optional<std::int64_t> remainingSeconds;
};

// One request of the upload protocol. `bytes` is not owned: a part stays in the queue's one
// buffer while it is sent.
struct UploadRequest {
  std::string method;
  std::string path;
  std::vector<std::pair<std::string, std::string>> query;
  std::optional<nlohmann::json> json;
  std::optional<std::string_view> bytes;
  std::map<std::string, std::string> extra;
};

// A 2xx answer: its status and its body read as JSON (a body that is not JSON is already
// refused by the call as "RESPONSE_INVALID").
struct UploadReply {
  int status = 200;
  nlohmann::json body;
};

class QueueCloud {
 public:
  virtual ~QueueCloud() = default;

  // The connected login's owner id; none when the computer is not linked.
  virtual std::optional<std::string> connectedOwner() = 0;
  // Fresh account information; returns its rights (none when the service gave none).
  virtual std::optional<QueueRights> refreshRights() = 0;
  // A bearer token for `owner`; with `rejectedToken`, one that replaces the refused token.
  virtual std::string access(const std::string& owner, const std::optional<std::string>& rejectedToken) = 0;
  // One framed call with the token. Non-2xx answers throw CloudFailure; network failures throw
  // whatever the transport throws.
  virtual UploadReply call(const UploadRequest& request, const std::string& token) = 0;
};

}  // namespace talvo
