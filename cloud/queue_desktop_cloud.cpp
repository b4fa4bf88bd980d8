#include "cloud/queue_desktop_cloud.h"

namespace talvo {

std::optional<std::string> QueueDesktopCloud::connectedOwner() { return cloud_->owner(); }

std::optional<QueueRights> QueueDesktopCloud::refreshRights() {
  CloudInfo info = cloud_->refreshInfo();
  if (!info.rights) return std::nullopt;
  return QueueRights{info.rights->plan, info.rights->remainingSeconds};
}

std::string QueueDesktopCloud::access(const std::string& owner, const std::optional<std::string>& rejectedToken) {
  return cloud_->access(owner, rejectedToken);
}

UploadReply QueueDesktopCloud::call(const UploadRequest& request, const std::string& token) {
  DesktopCloud::CallRequest framed;
  framed.method = request.method;
  framed.json = request.json;
  // The part stays in the protocol's buffer until this call returns; it is sent from there.
  framed.borrowedBytes = request.bytes;
  framed.token = token;
  framed.query = request.query;
  framed.extra = request.extra;
  DesktopCloud::RawReply raw = cloud_->exchange(request.path, framed);
  const int status = static_cast<int>(raw.status);
  nlohmann::json body = nlohmann::json::parse(raw.body, nullptr, false);
  if (body.is_discarded()) throw CloudFailure("RESPONSE_INVALID", status);
  return UploadReply{status, std::move(body)};
}

}  // namespace talvo
