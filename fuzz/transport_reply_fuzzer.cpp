// The production transport's reading of a reply: a TLS server on loopback answers with the
// input's bytes as the whole HTTP reply (head and body), optionally padded past the body limit.
// The transport returns a reply within its limits or fails with CloudFailure (status 0) or
// TransportError; nothing else.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <csignal>
#include <cctype>
#include <mutex>
#include <thread>

#include "cloud/bounded_desktop_transport.h"
#include "cloud/cloud_failure.h"
#include "cloud/transport_error.h"
#include "fuzz/fuzz_support.h"
#include "testing/test_certificate.h"

using namespace talvo;

namespace {

// Answers every connection with the current reply, then closes it.
class ReplyServer {
 public:
  ReplyServer() {
    // A client that gives up mid-reply must not end the process through SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    context_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(context_, certificate_.serverCertificate());
    SSL_CTX_use_PrivateKey(context_, certificate_.serverKey());
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      fuzz::broken("no loopback listener");
    port_ = ntohs(address.sin_port);
    const std::string ca = fuzz::Scratch::instance().file("ca.pem");
    fuzz::Scratch::instance().write("ca.pem", certificate_.authorityPem());
    caFile_ = ca;
    std::thread([this] { serve(); }).detach();
  }
  void setReply(std::string reply) {
    std::lock_guard lock(mutex_);
    reply_ = std::move(reply);
  }
  std::string origin() const { return "https://127.0.0.1:" + std::to_string(port_); }
  const std::string& caFile() const { return caFile_; }

 private:
  void serve() {
    for (;;) {
      int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      SSL* ssl = SSL_new(context_);
      SSL_set_fd(ssl, client);
      if (SSL_accept(ssl) == 1) {
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
          int got = SSL_read(ssl, buffer, sizeof buffer);
          if (got <= 0) break;
          request.append(buffer, static_cast<std::size_t>(got));
        }
        std::string reply;
        {
          std::lock_guard lock(mutex_);
          reply = reply_;
        }
        for (std::size_t sent = 0; sent < reply.size();) {
          int wrote =
              SSL_write(ssl, reply.data() + sent, static_cast<int>(std::min<std::size_t>(reply.size() - sent, 65536)));
          if (wrote <= 0) break;
          sent += static_cast<std::size_t>(wrote);
        }
        SSL_shutdown(ssl);
      }
      SSL_free(ssl);
      ::close(client);
    }
  }

  testing::TestCertificate certificate_;
  SSL_CTX* context_ = nullptr;
  int listener_ = -1;
  int port_ = 0;
  std::string caFile_;
  std::mutex mutex_;
  std::string reply_;
};

}  // namespace

// Input: one byte of padding (n × 16 KiB of body bytes appended), then the reply.
TALVO_FUZZ(data) {
  if (size == 0) return 0;
  static ReplyServer server;
  static BoundedDesktopTransport transport([] {
    BoundedDesktopTransport::Options options;
    options.limits = {std::chrono::milliseconds(2000), std::chrono::milliseconds(4000)};
    options.caFile = server.caFile();
    return options;
  }());
  std::string reply(fuzz::text(data + 1, size - 1));
  reply.append(std::size_t{data[0]} * 16384, 'x');
  server.setReply(std::move(reply));
  HttpRequest request;
  request.url = server.origin() + "/api/desktop/session";
  request.headers = {{"Accept", "application/json"}};
  try {
    const auto exchange = transport.send(request);
    fuzz::require(exchange.response.status >= 100 && exchange.response.status <= 999, "status out of range");
    fuzz::require(exchange.body.size() <= BoundedDesktopTransport::maximumBody, "body over the limit");
    for (const auto& [name, value] : exchange.response.headers)
      for (unsigned char c : name) fuzz::require(!std::isupper(c), "header name not in lower case");
  } catch (const CloudFailure& failure) {
    fuzz::require(
        failure.status() == 0 && (failure.code() == "RESPONSE_INVALID" || failure.code() == "RESPONSE_TOO_LARGE"),
        "refused with another failure");
  } catch (const TransportError&) {
  }
  return 0;
}
