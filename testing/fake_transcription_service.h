#pragma once
// The fake transcription service: a real HTTPS server (cpp-httplib) on 127.0.0.1 with a
// certificate authority and server certificate made at start-up, keeping real state — pairings,
// accounts, devices, sessions with rotation, one-time library hand-offs — so the cloud client is
// tested against the same wire protocol it meets in production.
//
// Endpoints: POST /api/desktop/pairings, /poll, /redeem, /settle; POST /api/session/refresh;
// GET /api/desktop/session; POST /api/desktop/library-link; DELETE /api/session.
// More endpoint groups (the upload runs) register themselves through addRoute() before start():
// they get the same fault switches and can authorise requests with authorize().
//
// Fault switches (armFault) answer the next matching request(s) badly: 401 once, any 5xx, a
// redirect, an oversize body (declared or streamed), a slow body, a wrong owner or device in
// the reply, or a lost reply (the request takes effect, then the connection drops, after the
// reply head or, on a reused connection, before any byte).
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace talvo::testing {

struct FakeAccount {
  std::string id;  // decimal digits, no leading zero
  std::string name;
  std::string username;
  nlohmann::json rights = {{"plan", "unlimited"}};  // the "rights" member of account info
};

// Who an authorised request comes from.
struct FakeDevice {
  std::string ownerId;
  std::string deviceId;
};

enum class FaultKind {
  unauthorized,      // 401 {"error":"AUTH_REQUIRED"}, request not processed
  serverError,       // `status` (default 503) with {"error": code} or a plain body
  redirect,          // 302 to `location` (default: the same path on another host)
  declaredOversize,  // declares `size` bytes (default 2 MiB + 1) and sends them
  streamedBody,      // `size` bytes of "x" with no declared length (chunked)
  slowBody,          // headers, then silence for `delay`, then the normal reply
  wrongOwner,        // the request acts; "ownerId" in the reply is replaced
  wrongDevice,       // the request acts; "deviceId" in the reply is replaced
  lostReply,         // the request acts; the connection drops before the reply body
  // The request acts, then its connection closes before a single reply byte. Only requests on
  // a connection that already carried one match (a client may repeat those on its own).
  closeReused,
  reply,  // `status` with `body` as given, request not processed
};

struct Fault {
  FaultKind kind = FaultKind::serverError;
  int status = 503;
  std::string code{};                  // for serverError: {"error": code} when not empty
  std::string body{};                  // for reply
  std::string location{};              // for redirect
  std::size_t size = 0;                // for declaredOversize / streamedBody
  std::chrono::milliseconds delay{0};  // for slowBody
  int count = 1;                       // how many matching requests it hits
};

class FakeTranscriptionService {
 public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  struct Options {
    std::string telegramHost = "t.me";
    std::chrono::seconds accessLifetime{3600};
    std::chrono::seconds refreshLifetime{30 * 24 * 3600};
    std::chrono::seconds pairingLifetime{600};
    // Fixed port for the standalone tool; 0 picks a free one.
    int port = 0;
    // Where the CA file is written; empty: a fresh private temporary folder.
    std::string directory;
  };

  FakeTranscriptionService();
  explicit FakeTranscriptionService(Options options);
  ~FakeTranscriptionService();  // stops the server and removes its files
  FakeTranscriptionService(const FakeTranscriptionService&) = delete;
  FakeTranscriptionService& operator=(const FakeTranscriptionService&) = delete;

  // Registers an endpoint (method "GET", "POST", "PUT" or "DELETE"; httplib regex pattern).
  // Only before start(). Handlers run on the server's threads; faults apply to them too.
  void addRoute(const std::string& method, const std::string& pattern, Handler handler);
  // Binds 127.0.0.1 and serves on a background thread; returns once connections are accepted.
  void start();
  void stop();

  std::string origin() const;  // "https://127.0.0.1:<port>"
  int port() const;
  std::string caFile() const;  // PEM of the authority that signed the server certificate
  const std::string& telegramHost() const noexcept { return options_.telegramHost; }

  // --- shared state for endpoint groups --------------------------------------------------
  // The device behind the request's bearer token, or none after answering 401 with
  // {"error":"AUTH_REQUIRED"} (or "DEVICE_REVOKED" for a disconnected device).
  std::optional<FakeDevice> authorize(const httplib::Request& request, httplib::Response& response);
  std::optional<FakeAccount> account(const std::string& ownerId) const;
  void putAccount(const FakeAccount& account);
  // Writes {"error": code} with `status`.
  static void refuse(httplib::Response& response, int status, const std::string& code);
  static void reply(httplib::Response& response, const nlohmann::json& body, int status = 200);
  // Lock for state an endpoint group keeps beside ours (optional to use).
  std::mutex& stateMutex() const { return mutex_; }

  // --- test and developer controls -------------------------------------------------------
  // Approves the pairing with this code (or operation id) as `account`. False when unknown.
  bool approvePairing(const std::string& codeOrOperation, const FakeAccount& account);
  // Makes the pairing answer "PAIRING_EXPIRED" (410) from now on.
  bool expirePairing(const std::string& codeOrOperation);
  struct PairingView {
    std::string operationId;
    std::string code;
    std::string state;  // pending, approved, redeemed, settled
  };
  std::vector<PairingView> pairings() const;

  // Arms a fault for requests whose path equals `path` ("*" for every path).
  void armFault(const std::string& path, Fault fault);
  void clearFaults();

  // Requests received for an exact path (counted before any fault applies).
  int requestCount(const std::string& path) const;
  // Keeps the bodies of requests to `path` from now on (no body is kept otherwise).
  void keepBodies(const std::string& path);
  // Bodies of requests received for a kept path, oldest first (logic_error for another path).
  std::vector<std::string> requestBodies(const std::string& path) const;
  // The value of a header in the latest request to `path`, or none.
  std::optional<std::string> lastHeader(const std::string& path, const std::string& name) const;
  // Connections accepted so far (to see whether the client reuses connections).
  int connectionCount() const;

  // Access tokens issued from now on expire after this long.
  void setAccessLifetime(std::chrono::seconds lifetime);
  // Uses up a hand-off value of a library link; false if unknown, expired or already used.
  bool redeemHandoff(const std::string& value);
  // Whether a device is still allowed (false once disconnected).
  bool deviceActive(const std::string& deviceId) const;

 private:
  struct State;
  void installRoutes();
  void installPairingRoutes();
  void installSessionRoutes();
  nlohmann::json issueSession(const std::string& ownerId, const std::string& deviceId);
  void handle(const std::string& method, const Handler& handler, const httplib::Request& request,
              httplib::Response& response);

  Options options_;
  std::unique_ptr<State> state_;
  mutable std::mutex mutex_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
  bool started_ = false;
  std::string directory_;
  bool ownsDirectory_ = false;
  std::atomic<int> connections_{0};
};

}  // namespace talvo::testing
