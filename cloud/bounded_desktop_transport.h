#pragma once
// The production transport on libcurl: HTTPS only, no cookie engine, no cache, redirects never
// followed, an idle limit (no data either way) and a total limit per exchange, and a reply body
// of at most 2 MiB that is refused by its declared length before any body byte is read, or cut
// off the moment it grows past the limit.
//
// Connections are reused: every exchange gets a fresh easy handle, and the open connections and
// TLS sessions live in a share between them, so a run of requests to the service pays one
// handshake. Easy handles themselves are never reused: libcurl keeps state of the previous
// reply's head in the handle: a reply opening with a folded header line read freed memory (curl
// issue #11101, "headers: clear (possibly) lingering pointer in init", fixed by curl PR #11103
// in 8.1.0; Debian 12 ships 7.88.1 without the fix).
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "cloud/desktop_http_transport.h"
#include "core/program/service_configuration.h"

namespace talvo {

class BoundedDesktopTransport : public DesktopHTTPTransport {
 public:
  static constexpr std::size_t maximumBody = 0x200000;  // 2,097,152 bytes

  struct Limits {
    std::chrono::milliseconds idle{60'000};    // no byte sent or received for this long
    std::chrono::milliseconds total{180'000};  // whole exchange
  };

  struct Options {
    Limits limits;
    // PEM file of the certificate authorities to trust: the development service's (development
    // builds only; see ServiceConfiguration), else the system's bundle (SystemTrustStore).
    std::optional<std::string> caFile;
    // Keep connections between requests. Off only to measure what reuse is worth.
    bool reuseConnections = true;
    // Folder of hashed certificates, the system's (SystemTrustStore), when there is one.
    std::optional<std::string> caDirectory{};
  };

  // The options for talking to the configured service: its CA file, if the build allows one,
  // else the system's trust store wherever this distribution keeps it (looked up under
  // `trustRoot`, "" for the real file system).
  static Options optionsFor(const ServiceConfiguration& configuration, const std::string& trustRoot = "");

  BoundedDesktopTransport();
  explicit BoundedDesktopTransport(Options options);
  ~BoundedDesktopTransport() override;
  BoundedDesktopTransport(const BoundedDesktopTransport&) = delete;
  BoundedDesktopTransport& operator=(const BoundedDesktopTransport&) = delete;

  HttpExchange send(const HttpRequest& request) override;

 private:
  struct Share;

  Options options_;
  std::unique_ptr<Share> share_;  // none when connections are not reused
};

}  // namespace talvo
