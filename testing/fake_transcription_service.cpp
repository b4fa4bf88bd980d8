#include "testing/fake_transcription_service.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "core/values/base64.h"
#include "core/values/hex.h"
#include "core/values/recording_id.h"
#include "testing/fake_service_state.h"
#include "testing/test_certificate.h"

namespace talvo::testing {
namespace fake_service {

std::string randomToken() { return encodeBase64Url(secureRandomBytes(32)); }

std::string sha256Hex(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
  return lowerHex(digest, length);
}

std::string pairCode() {
  static constexpr char digits[] = "0123456789ABCDEF";
  auto bytes = secureRandomBytes(4);
  std::string code;
  for (auto byte : bytes) {
    code.push_back(digits[byte >> 4]);
    code.push_back(digits[byte & 15]);
  }
  return code;
}

std::optional<json> parseObject(const std::string& body) {
  try {
    auto value = json::parse(body);
    if (value.is_object()) return value;
  } catch (const json::exception&) {
  }
  return std::nullopt;
}

std::optional<std::string> stringMember(const json& body, const char* key) {
  auto it = body.find(key);
  if (it == body.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

json accountJson(const FakeAccount& account) {
  json out = {{"id", account.id}};
  if (!account.name.empty()) out["name"] = account.name;
  if (!account.username.empty()) out["username"] = account.username;
  return out;
}

}  // namespace fake_service

using namespace fake_service;

FakeTranscriptionService::FakeTranscriptionService() : FakeTranscriptionService(Options{}) {}

FakeTranscriptionService::FakeTranscriptionService(Options options)
    : options_(std::move(options)), state_(std::make_unique<State>()) {
  installRoutes();
}

FakeTranscriptionService::~FakeTranscriptionService() {
  stop();
  if (ownsDirectory_) {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
}

void FakeTranscriptionService::addRoute(const std::string& method, const std::string& pattern, Handler handler) {
  if (started_) throw std::logic_error("routes must be added before start()");
  state_->routes.push_back({method, pattern, std::move(handler)});
}

void FakeTranscriptionService::start() {
  if (started_) return;
  TestCertificate certificate;
  if (options_.directory.empty()) {
    std::string base = std::filesystem::temp_directory_path().string() + "/talvo-service-XXXXXX";
    if (::mkdtemp(base.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    directory_ = base;
    ownsDirectory_ = true;
  } else {
    directory_ = options_.directory;
    std::filesystem::create_directories(directory_);
  }
  {
    std::ofstream out(directory_ + "/ca.pem", std::ios::trunc);
    out << certificate.authorityPem();
    if (!out) throw std::runtime_error("cannot write the CA file");
  }
  auto server = std::make_unique<httplib::SSLServer>(certificate.serverCertificate(), certificate.serverKey());
  if (!server->is_valid()) throw std::runtime_error("TLS server set-up failed");
  // Without TCP_NODELAY every small reply waits for the client's delayed ACK (~40 ms).
  server->set_tcp_nodelay(true);
  server->set_keep_alive_max_count(100000);
  server->set_keep_alive_timeout(30);
  server->set_read_timeout(30);
  server->set_payload_max_length(64 * 1024 * 1024);
  for (const auto& route : state_->routes) {
    auto adapter = [this, method = route.method, handler = route.handler](const httplib::Request& request,
                                                                          httplib::Response& response) {
      handle(method, handler, request, response);
    };
    if (route.method == "GET")
      server->Get(route.pattern, adapter);
    else if (route.method == "POST")
      server->Post(route.pattern, adapter);
    else if (route.method == "PUT")
      server->Put(route.pattern, adapter);
    else if (route.method == "DELETE")
      server->Delete(route.pattern, adapter);
    else
      throw std::logic_error("unsupported method " + route.method);
  }
  // Unknown paths answer like the service does: a JSON error, never a redirect or a page.
  server->set_error_handler([](const httplib::Request&, httplib::Response& response) {
    // Only replies nobody wrote (unknown path, bad method); streamed replies carry their type.
    if (response.body.empty() && !response.has_header("Content-Type"))
      refuse(response, response.status, response.status == 404 ? "NOT_FOUND" : "BAD_REQUEST");
  });
  if (options_.port == 0) {
    port_ = server->bind_to_any_port("127.0.0.1");
  } else {
    port_ = server->bind_to_port("127.0.0.1", options_.port) ? options_.port : -1;
  }
  if (port_ <= 0) throw std::runtime_error("cannot bind 127.0.0.1");
  server_ = std::move(server);
  started_ = true;
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // listen_after_bind has begun once the server reports running.
  while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void FakeTranscriptionService::stop() {
  if (!started_) return;
  state_->stopping = true;
  server_->stop();
  if (thread_.joinable()) thread_.join();
  started_ = false;
}

std::string FakeTranscriptionService::origin() const { return "https://127.0.0.1:" + std::to_string(port_); }
int FakeTranscriptionService::port() const { return port_; }
std::string FakeTranscriptionService::caFile() const { return directory_ + "/ca.pem"; }

void FakeTranscriptionService::refuse(httplib::Response& response, int status, const std::string& code) {
  response.status = status;
  response.set_content(json{{"error", code}}.dump(), "application/json");
}

void FakeTranscriptionService::reply(httplib::Response& response, const json& body, int status) {
  response.status = status;
  response.set_content(body.dump(), "application/json");
}
std::optional<FakeDevice> FakeTranscriptionService::authorize(const httplib::Request& request,
                                                              httplib::Response& response) {
  std::string header = request.get_header_value("Authorization");
  std::lock_guard lock(mutex_);
  if (header.rfind("Bearer ", 0) == 0) {
    auto it = state_->sessions.find(header.substr(7));
    if (it != state_->sessions.end()) {
      if (!state_->devices[it->second.deviceId]) {
        refuse(response, 401, "DEVICE_REVOKED");
        return std::nullopt;
      }
      if (it->second.expiresAt > SystemClock::now()) return FakeDevice{it->second.ownerId, it->second.deviceId};
    }
  }
  refuse(response, 401, "AUTH_REQUIRED");
  return std::nullopt;
}

std::optional<FakeAccount> FakeTranscriptionService::account(const std::string& ownerId) const {
  std::lock_guard lock(mutex_);
  auto it = state_->accounts.find(ownerId);
  if (it == state_->accounts.end()) return std::nullopt;
  return it->second;
}

void FakeTranscriptionService::putAccount(const FakeAccount& account) {
  std::lock_guard lock(mutex_);
  state_->accounts[account.id] = account;
}

bool FakeTranscriptionService::approvePairing(const std::string& codeOrOperation, const FakeAccount& account) {
  std::lock_guard lock(mutex_);
  for (auto& [id, pairing] : state_->pairings) {
    if (id != codeOrOperation && pairing.code != codeOrOperation) continue;
    if (pairing.state != "pending" && pairing.state != "approved") return false;
    pairing.state = "approved";
    pairing.account = account;
    if (!state_->accounts.count(account.id)) state_->accounts[account.id] = account;
    return true;
  }
  return false;
}

bool FakeTranscriptionService::expirePairing(const std::string& codeOrOperation) {
  std::lock_guard lock(mutex_);
  for (auto& [id, pairing] : state_->pairings) {
    if (id == codeOrOperation || pairing.code == codeOrOperation) {
      pairing.expired = true;
      return true;
    }
  }
  return false;
}

std::vector<FakeTranscriptionService::PairingView> FakeTranscriptionService::pairings() const {
  std::lock_guard lock(mutex_);
  std::vector<PairingView> out;
  for (const auto& [id, pairing] : state_->pairings) out.push_back({id, pairing.code, pairing.state});
  return out;
}

void FakeTranscriptionService::armFault(const std::string& path, Fault fault) {
  std::lock_guard lock(mutex_);
  state_->faults.push_back({path, std::move(fault)});
}

void FakeTranscriptionService::clearFaults() {
  std::lock_guard lock(mutex_);
  state_->faults.clear();
}

int FakeTranscriptionService::requestCount(const std::string& path) const {
  std::lock_guard lock(mutex_);
  auto it = state_->received.find(path);
  return it == state_->received.end() ? 0 : it->second.count;
}

void FakeTranscriptionService::keepBodies(const std::string& path) {
  std::lock_guard lock(mutex_);
  state_->keptBodies.insert(path);
}

std::vector<std::string> FakeTranscriptionService::requestBodies(const std::string& path) const {
  std::lock_guard lock(mutex_);
  if (state_->keptBodies.count(path) == 0) throw std::logic_error("bodies of " + path + " are not kept");
  auto it = state_->received.find(path);
  return it == state_->received.end() ? std::vector<std::string>{} : it->second.bodies;
}

std::optional<std::string> FakeTranscriptionService::lastHeader(const std::string& path,
                                                                const std::string& name) const {
  std::lock_guard lock(mutex_);
  auto it = state_->received.find(path);
  if (it == state_->received.end() || it->second.count == 0) return std::nullopt;
  const auto& headers = it->second.lastHeaders;
  auto found = headers.find(name);
  if (found == headers.end()) return std::nullopt;
  return found->second;
}

int FakeTranscriptionService::connectionCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(state_->peers.size());
}

void FakeTranscriptionService::setAccessLifetime(std::chrono::seconds lifetime) {
  std::lock_guard lock(mutex_);
  options_.accessLifetime = lifetime;
}

bool FakeTranscriptionService::redeemHandoff(const std::string& value) {
  std::lock_guard lock(mutex_);
  auto it = state_->handoffs.find(value);
  if (it == state_->handoffs.end() || it->second.used || it->second.expiresAt <= SystemClock::now()) return false;
  it->second.used = true;
  return true;
}

bool FakeTranscriptionService::deviceActive(const std::string& deviceId) const {
  std::lock_guard lock(mutex_);
  auto it = state_->devices.find(deviceId);
  return it != state_->devices.end() && it->second;
}

void FakeTranscriptionService::installRoutes() {
  installPairingRoutes();
  installSessionRoutes();
}

}  // namespace talvo::testing
