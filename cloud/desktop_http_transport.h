#pragma once
// One HTTPS exchange, as the cloud client sees it. The interface exists so that the client's
// logic can be exercised with a scripted transport; production uses BoundedDesktopTransport.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace talvo {

// Set from any thread to abort the exchange that carries it; the transport notices within
// a fraction of a second and fails with TransportError(cancelled).
class CancellationFlag {
 public:
  void cancel() noexcept { cancelled_.store(true, std::memory_order_release); }
  bool cancelled() const noexcept { return cancelled_.load(std::memory_order_acquire); }

 private:
  std::atomic<bool> cancelled_{false};
};

struct HttpRequest {
  std::string method = "GET";                                // GET, POST, PUT or DELETE
  std::string url;                                           // absolute https URL
  std::vector<std::pair<std::string, std::string>> headers;  // sent in this order
  std::string body;                                          // sent when not empty or when the method carries a body
  // A body that belongs to the caller and stays alive until `send` returns; sent instead of
  // `body` without a copy (a 4 MiB upload part would otherwise be copied on every request).
  std::optional<std::string_view> borrowedBody;
  std::shared_ptr<CancellationFlag> cancellation;  // optional
  // Downloads: the reply body goes to `bodySink` piece by piece instead of into
  // HttpExchange::body, with `bodyLimit` bytes in place of the 2 MiB limit. An exception from
  // the sink stops the transfer and reaches the caller. `totalLimit` replaces the transport's
  // limit for the whole exchange (a large file takes longer than a call; the idle limit stays).
  std::function<void(std::string_view)> bodySink;
  std::uint64_t bodyLimit = 0;
  std::optional<std::chrono::milliseconds> totalLimit;

  std::string_view payload() const { return borrowedBody ? *borrowedBody : std::string_view(body); }
};

struct HttpResponse {
  long status = 0;
  std::string finalUrl;  // the address the reply came from (redirects are never followed)
  std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
};

struct HttpExchange {
  std::string body;
  HttpResponse response;
};

class DesktopHTTPTransport {
 public:
  virtual ~DesktopHTTPTransport() = default;
  // Blocking; safe to call from several threads at once. Fails with CloudFailure
  // ("RESPONSE_INVALID" / "RESPONSE_TOO_LARGE", status 0) for a reply over the size limit and
  // with TransportError for everything the network does.
  virtual HttpExchange send(const HttpRequest& request) = 0;
};

}  // namespace talvo
