#pragma once
// The production transport on libcurl: HTTPS only, no cookie engine, no cache, redirects never
// followed, an idle limit (no data either way) and a total limit per exchange, and a reply body
// of at most 2 MiB that is refused by its declared length before any body byte is read, or cut
// off the moment it grows past the limit.
//
// Connections are reused: finished easy handles go back to a small pool and keep their
// connection cache (and TLS session), so a run of requests to the service pays one handshake.
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cloud/desktop_http_transport.h"
#include "core/service_configuration.h"

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
    // PEM file of the certificate authority to trust instead of the system's (development
    // builds only; see ServiceConfiguration).
    std::optional<std::string> caFile;
    // Keep connections between requests. Off only to measure what reuse is worth.
    bool reuseConnections = true;
  };

  // The options for talking to the configured service: its CA file, if the build allows one.
  static Options optionsFor(const ServiceConfiguration& configuration);

  BoundedDesktopTransport();
  explicit BoundedDesktopTransport(Options options);
  ~BoundedDesktopTransport() override;
  BoundedDesktopTransport(const BoundedDesktopTransport&) = delete;
  BoundedDesktopTransport& operator=(const BoundedDesktopTransport&) = delete;

  HttpExchange send(const HttpRequest& request) override;

 private:
  struct Handle;
  std::unique_ptr<Handle> takeHandle();
  void returnHandle(std::unique_ptr<Handle> handle);

  Options options_;
  std::mutex poolMutex_;
  std::vector<std::unique_ptr<Handle>> idle_;
};

}  // namespace talvo
