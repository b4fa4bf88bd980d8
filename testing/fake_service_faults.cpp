// The fault switches: every request passes through handle(), which records it and either
// answers with an armed fault, lets the endpoint act and then spoils its reply, or just lets it act.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <cstdlib>
#include <thread>

#include "testing/fake_service_state.h"

namespace talvo::testing {
using namespace fake_service;
namespace {

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

}  // namespace

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

}  // namespace talvo::testing
