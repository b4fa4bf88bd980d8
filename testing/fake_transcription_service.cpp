#include "testing/fake_transcription_service.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "core/base64.h"
#include "core/hex.h"
#include "core/internet_date_time.h"
#include "core/recording_id.h"
#include "testing/test_certificate.h"

namespace talvo::testing {
namespace {

using nlohmann::json;
using SystemClock = std::chrono::system_clock;

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

// The server's end of the connection from 127.0.0.1:`peerPort`, found among our descriptors.
int serverSocket(int serverPort, int peerPort) {
  DIR* fds = ::opendir("/proc/self/fd");
  if (fds == nullptr) return -1;
  int found = -1;
  while (struct dirent* entry = ::readdir(fds)) {
    int fd = std::atoi(entry->d_name);
    if (fd <= 2) continue;
    sockaddr_in local{};
    sockaddr_in peer{};
    socklen_t localSize = sizeof local;
    socklen_t peerSize = sizeof peer;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 || local.sin_family != AF_INET ||
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0)
      continue;
    if (ntohs(local.sin_port) == serverPort && ntohs(peer.sin_port) == peerPort) {
      found = fd;
      break;
    }
  }
  ::closedir(fds);
  return found;
}

// What every API request must carry, as the service checks it: Accept: application/json, and
// a body with its exact type: a JSON object (POST), the raw bytes of a part (PUT), none (DELETE).
// The web library's own request is the browser's, not ours.
std::optional<std::string> headerViolation(const std::string& method, const httplib::Request& request) {
  if (request.path.rfind("/api/", 0) != 0 || request.path == "/api/library/handoff") return std::nullopt;
  if (request.get_header_value("Accept") != "application/json") return "ACCEPT_INVALID";
  const std::string type = request.get_header_value("Content-Type");
  if (method == "POST" && (type != "application/json" || !parseObject(request.body))) return "BODY_INVALID";
  if (method == "PUT" && type != "application/octet-stream") return "BODY_INVALID";
  if ((method == "GET" || method == "DELETE") && (!request.body.empty() || request.has_header("Content-Type")))
    return "BODY_INVALID";
  return std::nullopt;
}

json accountJson(const FakeAccount& account) {
  json out = {{"id", account.id}};
  if (!account.name.empty()) out["name"] = account.name;
  if (!account.username.empty()) out["username"] = account.username;
  return out;
}

}  // namespace

struct FakeTranscriptionService::State {
  struct Pairing {
    std::string operationId;
    std::string challenge;
    std::string code;
    std::string approvalUrl;
    std::string state = "pending";
    std::optional<FakeAccount> account;
    SystemClock::time_point expiresAt;
    bool expired = false;
    std::optional<json> redeemed;  // the credentials handed out, repeated for a repeated redeem
  };
  struct Session {
    std::string ownerId;
    std::string deviceId;
    SystemClock::time_point expiresAt;
  };
  struct Refresh {
    std::string ownerId;
    std::string deviceId;
    bool spent = false;
    std::string rotationId;
    json result;  // the session that spending it produced
  };
  struct Handoff {
    SystemClock::time_point expiresAt;
    bool used = false;
  };
  // What arrived for one path: how often, the latest headers, and the bodies only when a test
  // asked for them (a benchmark sends gigabytes of parts).
  struct Received {
    int count = 0;
    httplib::Headers lastHeaders;
    std::vector<std::string> bodies;
  };
  struct ArmedFault {
    std::string path;
    Fault fault;
  };
  struct Route {
    std::string method;
    std::string pattern;
    Handler handler;
  };

  std::map<std::string, Pairing> pairings;   // by operation id
  std::map<std::string, Session> sessions;   // by access token
  std::map<std::string, Refresh> refreshes;  // by refresh token
  std::map<std::string, bool> devices;       // device id -> active
  std::map<std::string, FakeAccount> accounts;
  std::map<std::string, Handoff> handoffs;
  std::map<std::string, Received> received;
  std::set<std::string> keptBodies;
  std::vector<ArmedFault> faults;
  std::vector<Route> routes;
  std::set<std::pair<std::string, int>> peers;
  std::atomic<bool> stopping{false};
};

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

// Every request passes here: it is recorded, may meet an armed fault, and otherwise reaches
// its endpoint.
void FakeTranscriptionService::handle(const std::string& method, const Handler& handler,
                                      const httplib::Request& request, httplib::Response& response) {
  std::optional<Fault> fault;
  {
    std::lock_guard lock(mutex_);
    auto& received = state_->received[request.path];
    ++received.count;
    received.lastHeaders = request.headers;
    if (state_->keptBodies.count(request.path) != 0) received.bodies.push_back(request.body);
    bool reused = !state_->peers.insert({request.remote_addr, request.remote_port}).second;
    for (auto it = state_->faults.begin(); it != state_->faults.end(); ++it) {
      if (it->path != "*" && it->path != request.path) continue;
      if (it->fault.kind == FaultKind::closeReused && !reused) continue;
      fault = it->fault;
      if (--it->fault.count <= 0) state_->faults.erase(it);
      break;
    }
  }
  auto* stopping = &state_->stopping;
  if (fault) {
    switch (fault->kind) {
      case FaultKind::unauthorized:
        refuse(response, 401, "AUTH_REQUIRED");
        return;
      case FaultKind::serverError:
        if (fault->code.empty()) {
          response.status = fault->status;
          response.set_content("<html>Service Unavailable</html>", "text/html");
        } else {
          refuse(response, fault->status, fault->code);
        }
        return;
      case FaultKind::redirect:
        response.status = 302;
        response.set_header("Location",
                            fault->location.empty() ? "https://localhost:1" + request.path : fault->location);
        response.set_content(fault->body, "text/plain");
        return;
      case FaultKind::reply:
        response.status = fault->status;
        response.set_content(fault->body, "application/json");
        return;
      case FaultKind::declaredOversize: {
        std::size_t size = fault->size == 0 ? 0x200001 : fault->size;
        response.status = 200;
        response.set_content_provider(size, "application/json",
                                      [](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                        std::string block(std::min<std::size_t>(length, 65536), 'x');
                                        (void)offset;
                                        return sink.write(block.data(), block.size());
                                      });
        return;
      }
      case FaultKind::streamedBody: {
        auto remaining = std::make_shared<std::size_t>(fault->size);
        response.status = 200;
        response.set_chunked_content_provider("application/json", [remaining](std::size_t, httplib::DataSink& sink) {
          if (*remaining == 0) {
            sink.done();
            return true;
          }
          std::size_t block = std::min<std::size_t>(*remaining, 65536);
          std::string data(block, 'x');
          *remaining -= block;
          return sink.write(data.data(), data.size());
        });
        return;
      }
      default:
        break;
    }
  }

  if (auto violation = headerViolation(method, request))
    refuse(response, 400, *violation);
  else
    handler(request, response);

  if (!fault) return;
  switch (fault->kind) {
    case FaultKind::wrongOwner:
    case FaultKind::wrongDevice: {
      auto body = parseObject(response.body);
      if (!body) return;
      const char* key = fault->kind == FaultKind::wrongOwner ? "ownerId" : "deviceId";
      if (body->contains(key))
        (*body)[key] = fault->kind == FaultKind::wrongOwner ? "999999999" : "00000000-0000-4000-8000-000000000000";
      response.set_content(body->dump(), "application/json");
      return;
    }
    case FaultKind::lostReply: {
      // The request has taken effect; now the connection breaks before the body arrives.
      std::size_t size = response.body.size() + 1;
      response.body.clear();
      response.set_content_provider(size, "application/json",
                                    [](std::size_t, std::size_t, httplib::DataSink&) { return false; });
      return;
    }
    case FaultKind::closeReused: {
      // Shutting the socket down under the server sends the client a bare end of stream; the
      // server's own reply then fails to write, which must not raise SIGPIPE in the tests.
      sigset_t pipe;
      sigemptyset(&pipe);
      sigaddset(&pipe, SIGPIPE);
      pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
      int fd = serverSocket(port_, request.remote_port);
      if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
      return;
    }
    case FaultKind::slowBody: {
      auto body = std::make_shared<std::string>(response.body);
      auto sent = std::make_shared<bool>(false);
      auto delay = fault->delay;
      response.body.clear();
      response.set_chunked_content_provider("application/json",
                                            [body, sent, delay, stopping](std::size_t, httplib::DataSink& sink) {
                                              if (*sent) {
                                                sink.done();
                                                return true;
                                              }
                                              auto until = std::chrono::steady_clock::now() + delay;
                                              while (std::chrono::steady_clock::now() < until) {
                                                if (*stopping) return false;
                                                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                                              }
                                              *sent = true;
                                              return sink.write(body->data(), body->size());
                                            });
      return;
    }
    default:
      return;
  }
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
  using httplib::Request;
  using httplib::Response;

  // A new session for a device: access token, refresh token and their expiries. Caller locks.
  auto issueSession = [this](const std::string& ownerId, const std::string& deviceId) {
    auto now = SystemClock::now();
    std::string token = randomToken();
    std::string refresh = randomToken();
    state_->sessions[token] = {ownerId, deviceId, now + options_.accessLifetime};
    state_->refreshes[refresh] = {ownerId, deviceId, false, {}, json()};
    return json{{"token", token},
                {"expiresAt", formatInternetDateTime(now + options_.accessLifetime)},
                {"ownerId", ownerId},
                {"refreshToken", refresh},
                {"refreshExpiresAt", formatInternetDateTime(now + options_.refreshLifetime)}};
  };

  // The pairing named by a request with its verifier; answers and returns null otherwise.
  auto verifiedPairing = [this](const json& body, Response& response) -> State::Pairing* {
    auto operation = stringMember(body, "operationId");
    auto verifier = stringMember(body, "verifier");
    if (!operation || !verifier) {
      refuse(response, 400, "BAD_REQUEST");
      return nullptr;
    }
    auto it = state_->pairings.find(*operation);
    if (it == state_->pairings.end()) {
      refuse(response, 404, "PAIRING_MISSING");
      return nullptr;
    }
    if (sha256Hex(*verifier) != it->second.challenge) {
      refuse(response, 403, "PAIRING_FORBIDDEN");
      return nullptr;
    }
    if (it->second.expired || it->second.expiresAt <= SystemClock::now()) {
      refuse(response, 410, "PAIRING_EXPIRED");
      return nullptr;
    }
    return &it->second;
  };

  addRoute("POST", "/api/desktop/pairings", [this](const Request& request, Response& response) {
    auto body = parseObject(request.body);
    auto challenge = body ? stringMember(*body, "challenge") : std::nullopt;
    auto operation = body ? stringMember(*body, "operationId") : std::nullopt;
    auto platform = body ? stringMember(*body, "platform") : std::nullopt;
    // This client runs on Linux and says so; any other platform is not ours.
    if (!challenge || challenge->size() != 64 || !operation || !isRecordingId(*operation) || platform != "linux")
      return refuse(response, 400, "BAD_REQUEST");
    std::lock_guard lock(mutex_);
    auto it = state_->pairings.find(*operation);
    if (it == state_->pairings.end()) {
      State::Pairing pairing;
      pairing.operationId = *operation;
      pairing.challenge = *challenge;
      pairing.code = pairCode();
      pairing.approvalUrl = "https://" + options_.telegramHost + "/talvo_bot?start=pair_" + pairing.code;
      pairing.expiresAt = SystemClock::now() + options_.pairingLifetime;
      it = state_->pairings.emplace(*operation, pairing).first;
    } else if (it->second.challenge != *challenge) {
      return refuse(response, 409, "PAIRING_CONFLICT");
    } else if (it->second.expired || it->second.expiresAt <= SystemClock::now() || it->second.state == "settled") {
      return refuse(response, 410, "PAIRING_EXPIRED");
    }
    reply(
        response,
        {{"operationId", it->second.operationId}, {"code", it->second.code}, {"approvalUrl", it->second.approvalUrl}});
  });

  addRoute("POST", "/api/desktop/pairings/poll", [this, verifiedPairing](const Request& request, Response& response) {
    auto body = parseObject(request.body);
    if (!body) return refuse(response, 400, "BAD_REQUEST");
    std::lock_guard lock(mutex_);
    auto* pairing = verifiedPairing(*body, response);
    if (pairing == nullptr) return;
    json out = {{"state", pairing->state}, {"code", pairing->code}};
    if (pairing->account) {
      out["ownerId"] = pairing->account->id;
      out["account"] = accountJson(*pairing->account);
    }
    reply(response, out);
  });

  addRoute("POST", "/api/desktop/pairings/redeem",
           [this, verifiedPairing, issueSession](const Request& request, Response& response) {
             auto body = parseObject(request.body);
             auto owner = body ? stringMember(*body, "ownerId") : std::nullopt;
             if (!body || !owner) return refuse(response, 400, "BAD_REQUEST");
             std::lock_guard lock(mutex_);
             auto* pairing = verifiedPairing(*body, response);
             if (pairing == nullptr) return;
             if (pairing->state == "settled") return refuse(response, 410, "PAIRING_EXPIRED");
             if (!pairing->account) return refuse(response, 409, "PAIRING_NOT_APPROVED");
             if (pairing->account->id != *owner) return refuse(response, 403, "OWNER_MISMATCH");
             // A redeem repeated after a lost reply gets the same credentials again.
             if (!pairing->redeemed) {
               json session = issueSession(*owner, pairing->operationId);
               session["deviceId"] = pairing->operationId;
               pairing->redeemed = session;
               pairing->state = "redeemed";
               state_->devices[pairing->operationId] = true;
             }
             reply(response, *pairing->redeemed);
           });

  addRoute("POST", "/api/desktop/pairings/settle", [this, verifiedPairing](const Request& request, Response& response) {
    auto body = parseObject(request.body);
    if (!body) return refuse(response, 400, "BAD_REQUEST");
    std::lock_guard lock(mutex_);
    auto* pairing = verifiedPairing(*body, response);
    if (pairing == nullptr) return;
    pairing->state = "settled";
    reply(response, {{"settled", true}});
  });

  // Rotation: a refresh token is spent once. The same refresh token with the same rotation id
  // is a repeat of a request whose reply was lost and gets the same new session; with another
  // rotation id it is a replay and is refused.
  addRoute("POST", "/api/session/refresh", [this, issueSession](const Request& request, Response& response) {
    auto body = parseObject(request.body);
    auto refresh = body ? stringMember(*body, "refreshToken") : std::nullopt;
    auto rotation = body ? stringMember(*body, "rotationId") : std::nullopt;
    if (!refresh || !rotation || rotation->empty()) return refuse(response, 400, "BAD_REQUEST");
    std::lock_guard lock(mutex_);
    auto it = state_->refreshes.find(*refresh);
    if (it == state_->refreshes.end()) return refuse(response, 401, "AUTH_REQUIRED");
    if (!state_->devices[it->second.deviceId]) return refuse(response, 401, "DEVICE_REVOKED");
    if (it->second.spent) {
      if (it->second.rotationId != *rotation) return refuse(response, 401, "AUTH_REQUIRED");
      return reply(response, it->second.result);
    }
    json session = issueSession(it->second.ownerId, it->second.deviceId);
    auto& record = state_->refreshes[*refresh];  // issueSession may have rehashed nothing, but be plain
    record.spent = true;
    record.rotationId = *rotation;
    record.result = session;
    reply(response, session);
  });

  addRoute("GET", "/api/desktop/session", [this](const Request& request, Response& response) {
    auto device = authorize(request, response);
    if (!device) return;
    std::lock_guard lock(mutex_);
    json out = {{"ownerId", device->ownerId},
                {"deviceId", device->deviceId},
                {"libraryUrl", "https://" + options_.telegramHost + "/talvo_bot"},
                {"tariffUrl", "https://" + options_.telegramHost + "/talvo_bot?start=tariff"}};
    auto account = state_->accounts.find(device->ownerId);
    if (account != state_->accounts.end() && !account->second.rights.is_null()) out["rights"] = account->second.rights;
    reply(response, out);
  });

  addRoute("POST", "/api/desktop/library-link", [this](const Request& request, Response& response) {
    auto device = authorize(request, response);
    if (!device) return;
    std::lock_guard lock(mutex_);
    std::string value = randomToken();
    auto expires = SystemClock::now() + std::chrono::seconds(60);
    state_->handoffs[value] = {expires, false};
    reply(response, {{"url", origin() + "/library/#handoff=" + value}, {"expiresAt", formatInternetDateTime(expires)}});
  });

  addRoute("DELETE", "/api/session", [this](const Request& request, Response& response) {
    auto device = authorize(request, response);
    if (!device) return;
    std::lock_guard lock(mutex_);
    state_->devices[device->deviceId] = false;
    for (auto it = state_->sessions.begin(); it != state_->sessions.end();) {
      it = it->second.deviceId == device->deviceId ? state_->sessions.erase(it) : std::next(it);
    }
    reply(response, {{"revoked", true}});
  });

  // The web library: the page hands its one-time value back to the service, which accepts it once.
  addRoute("GET", "/library/", [](const Request&, Response& response) {
    response.set_content(
        "<!doctype html><meta charset=utf-8><title>TALVO</title><p id=s>…</p><script>"
        "const v=location.hash.replace('#handoff=','');history.replaceState(null,'',location.pathname);"
        "fetch('/api/library/handoff',{method:'POST',headers:{'Content-Type':'application/json'},"
        "body:JSON.stringify({handoff:v})}).then(r=>{document.getElementById('s').textContent="
        "r.ok?'Библиотека открыта':'Ссылка уже использована или истекла'})</script>",
        "text/html; charset=utf-8");
  });
  addRoute("POST", "/api/library/handoff", [this](const Request& request, Response& response) {
    auto body = parseObject(request.body);
    auto value = body ? stringMember(*body, "handoff") : std::nullopt;
    if (!value || !redeemHandoff(*value)) return refuse(response, 410, "HANDOFF_INVALID");
    reply(response, {{"signedIn", true}});
  });
}

}  // namespace talvo::testing
