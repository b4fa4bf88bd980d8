#include "testing/queue_direct_cloud.h"

#include <stdexcept>

#include "cloud/cloud_failure.h"

namespace talvo::testing {

std::optional<std::string> QueueDirectCloud::connectedOwner() {
  std::lock_guard lock(mutex_);
  return owner_;
}

std::optional<QueueRights> QueueDirectCloud::refreshRights() {
  std::lock_guard lock(mutex_);
  if (!owner_) throw CloudFailure("AUTH_REQUIRED", 401);
  return rights_;
}

std::string QueueDirectCloud::access(const std::string& owner, const std::optional<std::string>& rejectedToken) {
  std::lock_guard lock(mutex_);
  if (!owner_ || *owner_ != owner) throw CloudFailure("OWNER_MISMATCH", 403);
  std::string current = "token-" + std::to_string(generation_);
  if (rejectedToken && *rejectedToken == current) {
    ++generation_;
    ++refreshes_;
    current = "token-" + std::to_string(generation_);
  }
  return current;
}

UploadReply QueueDirectCloud::call(const UploadRequest& request, const std::string& token) {
  std::function<void(const UploadRequest&)> before;
  std::string owner;
  {
    std::lock_guard lock(mutex_);
    before = before_;
    owner = owner_.value_or("");
  }
  if (before) before(request);
  FakeRunsRequest forwarded;
  forwarded.method = request.method;
  forwarded.path = request.path;
  for (const auto& [name, value] : request.query) forwarded.query[name] = value;
  for (const auto& [name, value] : request.extra) {
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    forwarded.headers[lower] = value;
  }
  if (request.json) forwarded.body = request.json->dump();
  if (request.bytes) forwarded.body.assign(request.bytes->data(), request.bytes->size());
  forwarded.owner = owner;
  {
    std::lock_guard lock(mutex_);
    log_.push_back(request.method + " " + request.path);
    if (refuseNext_ > 0 || refused_.count(token) > 0) {
      if (refuseNext_ > 0) --refuseNext_;
      throw CloudFailure("AUTH_REQUIRED", 401, CloudFailure::Origin::service);
    }
  }
  std::optional<FakeRunsResponse> response = service_.handle(forwarded);
  if (!response) throw CloudFailure("HTTP_404", 404, CloudFailure::Origin::service);
  if (response->dropConnection) throw std::runtime_error("connection lost");
  nlohmann::json body = nlohmann::json::parse(response->body, nullptr, false);
  if (response->status < 200 || response->status > 299) {
    std::string code = "HTTP_" + std::to_string(response->status);
    if (body.is_object() && body.contains("error") && body["error"].is_string() &&
        CloudFailure::isServiceCode(body["error"].get<std::string>())) {
      code = body["error"].get<std::string>();
    }
    throw CloudFailure(code, response->status, CloudFailure::Origin::service);
  }
  if (body.is_discarded()) throw CloudFailure("RESPONSE_INVALID", response->status);
  return UploadReply{response->status, body};
}

void QueueDirectCloud::setOwner(std::optional<std::string> owner) {
  std::lock_guard lock(mutex_);
  owner_ = std::move(owner);
}

void QueueDirectCloud::setRights(std::optional<QueueRights> rights) {
  std::lock_guard lock(mutex_);
  rights_ = std::move(rights);
}

void QueueDirectCloud::expireToken() {
  std::lock_guard lock(mutex_);
  refused_.insert("token-" + std::to_string(generation_));
}

void QueueDirectCloud::refuseNext(int count) {
  std::lock_guard lock(mutex_);
  refuseNext_ = count;
}

void QueueDirectCloud::setBeforeCall(std::function<void(const UploadRequest&)> hook) {
  std::lock_guard lock(mutex_);
  before_ = std::move(hook);
}

std::vector<std::string> QueueDirectCloud::log() const {
  std::lock_guard lock(mutex_);
  return log_;
}

int QueueDirectCloud::refreshes() const {
  std::lock_guard lock(mutex_);
  return refreshes_;
}

int QueueDirectCloud::count(const std::string& prefix) const {
  std::lock_guard lock(mutex_);
  int total = 0;
  for (const std::string& entry : log_) {
    if (entry.rfind(prefix, 0) == 0) ++total;
  }
  return total;
}

}  // namespace talvo::testing
