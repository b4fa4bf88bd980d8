#pragma once
// The upload queue's view of the real cloud client: the connected owner, the account's rights
// from a fresh account-information request, tokens, and `exchange` for the framed call.
#include <memory>

#include "cloud/desktop_cloud.h"
#include "cloud/queue_cloud.h"

namespace talvo {

class QueueDesktopCloud : public QueueCloud {
 public:
  explicit QueueDesktopCloud(std::shared_ptr<DesktopCloud> cloud) : cloud_(std::move(cloud)) {}

  std::optional<std::string> connectedOwner() override;
  std::optional<QueueRights> refreshRights() override;
  std::string access(const std::string& owner, const std::optional<std::string>& rejectedToken) override;
  UploadReply call(const UploadRequest& request, const std::string& token) override;

 private:
  std::shared_ptr<DesktopCloud> cloud_;
};

}  // namespace talvo
