#pragma once
// A QueueCloud for the suites that hands each request straight to the fake runs service (no
// sockets), with a token rotation of its own so the 401 rule can be exercised, a request log,
// and a hook that can fail any request before it reaches the service.
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "cloud/queue_cloud.h"
#include "testing/fake_runs_service.h"

namespace talvo::testing {

class QueueDirectCloud : public QueueCloud {
 public:
  explicit QueueDirectCloud(FakeRunsService& service) : service_(service) {}

  std::optional<std::string> connectedOwner() override;
  std::optional<QueueRights> refreshRights() override;
  std::string access(const std::string& owner, const std::optional<std::string>& rejectedToken) override;
  UploadReply call(const UploadRequest& request, const std::string& token) override;

  void setOwner(std::optional<std::string> owner);
  void setRights(std::optional<QueueRights> rights);
  // The service refuses the current token from now on (as after its expiry).
  void expireToken();
  // The next `count` requests are refused with 401 whatever token they carry.
  void refuseNext(int count);
  // Runs before every request; may throw to fail it (e.g. a network error).
  void setBeforeCall(std::function<void(const UploadRequest&)> hook);
  // "METHOD path" of every request that reached the service.
  std::vector<std::string> log() const;
  int refreshes() const;
  int count(const std::string& methodAndPathPrefix) const;

 private:
  FakeRunsService& service_;
  mutable std::mutex mutex_;
  std::optional<std::string> owner_ = "42";
  std::optional<QueueRights> rights_ = QueueRights{"unlimited", std::nullopt};
  int generation_ = 1;
  std::set<std::string> refused_;
  int refuseNext_ = 0;
  int refreshes_ = 0;
  std::function<void(const UploadRequest&)> before_;
  std::vector<std::string> log_;
};

}  // namespace talvo::testing
