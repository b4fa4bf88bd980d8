#pragma once
// The upload queue's cloud before the account store has answered. The queue must exist from the
// first moment of a run, so that a recording gets its record when it starts even while the
// keyring's unlock prompt waits for the user; until the real client is attached it is a computer
// without an account: no owner, nothing to send. Attached once, from any thread.
#include <memory>
#include <mutex>

#include "cloud/queue_cloud.h"

namespace talvo {

class DeferredQueueCloud : public QueueCloud {
 public:
  void attach(std::shared_ptr<QueueCloud> cloud);
  bool attached() const;

  std::optional<std::string> connectedOwner() override;
  std::optional<QueueRights> refreshRights() override;
  std::string access(const std::string& owner, const std::optional<std::string>& rejectedToken) override;
  UploadReply call(const UploadRequest& request, const std::string& token) override;

 private:
  std::shared_ptr<QueueCloud> target() const;

  mutable std::mutex mutex_;
  std::shared_ptr<QueueCloud> cloud_;
};

}  // namespace talvo
