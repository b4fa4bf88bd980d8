#include "cloud/deferred_queue_cloud.h"

#include "cloud/cloud_failure.h"

namespace talvo {

void DeferredQueueCloud::attach(std::shared_ptr<QueueCloud> cloud) {
  std::lock_guard lock(mutex_);
  cloud_ = std::move(cloud);
}

bool DeferredQueueCloud::attached() const { return target() != nullptr; }

std::shared_ptr<QueueCloud> DeferredQueueCloud::target() const {
  std::lock_guard lock(mutex_);
  return cloud_;
}

std::optional<std::string> DeferredQueueCloud::connectedOwner() {
  const auto cloud = target();
  return cloud ? cloud->connectedOwner() : std::nullopt;
}

std::optional<QueueRights> DeferredQueueCloud::refreshRights() {
  const auto cloud = target();
  return cloud ? cloud->refreshRights() : std::nullopt;
}

// The queue asks for tokens only for a connected owner, which there is none of before attach.
std::string DeferredQueueCloud::access(const std::string& owner, const std::optional<std::string>& rejectedToken) {
  const auto cloud = target();
  if (!cloud) throw CloudFailure("AUTH_REQUIRED", 0);
  return cloud->access(owner, rejectedToken);
}

UploadReply DeferredQueueCloud::call(const UploadRequest& request, const std::string& token) {
  const auto cloud = target();
  if (!cloud) throw CloudFailure("AUTH_REQUIRED", 0);
  return cloud->call(request, token);
}

}  // namespace talvo
