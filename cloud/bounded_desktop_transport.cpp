#include "cloud/bounded_desktop_transport.h"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <exception>
#include <mutex>

#include "cloud/cloud_failure.h"
#include "core/system/clock.h"
#include "cloud/system_trust_store.h"
#include "cloud/transport_error.h"

namespace talvo {
namespace {

void initialiseCurlOnce() {
  static const bool done = [] {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    return true;
  }();
  (void)done;
}

// Everything one exchange's callbacks need; lives on the sender's stack.
struct Exchange {
  CURL* curl = nullptr;
  const HttpRequest* request = nullptr;
  std::chrono::milliseconds idleLimit{};
  double lastActivity = monotonicSeconds();  // seconds on the monotonic clock
  curl_off_t lastUp = 0;
  curl_off_t lastDown = 0;
  HttpExchange result;
  bool headersDone = false;
  std::optional<CloudFailure> failure;  // a limit of ours stopped the exchange
  std::exception_ptr sinkFailure;       // the body sink threw
  std::uint64_t bodyBytes = 0;
  bool idleExpired = false;
  bool cancelled = false;
  bool repeatable = false;  // the method may be sent twice without harm (GET)
  int attempts = 0;         // times libcurl was about to send the request
};

std::string lowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string trim(const std::string& text) {
  auto begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return {};
  auto end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

std::uint64_t bodyLimit(const HttpRequest& request) {
  return request.bodySink ? request.bodyLimit : BoundedDesktopTransport::maximumBody;
}

size_t onHeader(char* data, size_t size, size_t count, void* context) {
  auto& exchange = *static_cast<Exchange*>(context);
  size_t length = size * count;
  exchange.lastActivity = monotonicSeconds();
  std::string line(data, length);
  if (line.rfind("HTTP/", 0) == 0) {
    // A new header block (an interim 1xx reply is followed by the real one).
    exchange.result.response.headers.clear();
    exchange.headersDone = false;
    return length;
  }
  if (line != "\r\n" && line != "\n") {
    auto colon = line.find(':');
    if (colon != std::string::npos)
      exchange.result.response.headers.emplace_back(lowerCase(trim(line.substr(0, colon))),
                                                    trim(line.substr(colon + 1)));
    return length;
  }
  long status = 0;
  curl_easy_getinfo(exchange.curl, CURLINFO_RESPONSE_CODE, &status);
  if (status >= 100 && status < 200) return length;  // interim reply; the real head follows
  exchange.headersDone = true;
  exchange.result.response.status = status;
  char* url = nullptr;
  if (curl_easy_getinfo(exchange.curl, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url != nullptr)
    exchange.result.response.finalUrl = url;
  // The declared length is judged before any body byte: a reply announcing more than we
  // would ever accept is refused without reading it.
  curl_off_t declared = -1;
  curl_easy_getinfo(exchange.curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &declared);
  if (status < 100 || status > 999) {
    exchange.failure.emplace("RESPONSE_INVALID", 0);
    return 0;
  }
  if (declared > static_cast<curl_off_t>(bodyLimit(*exchange.request))) {
    exchange.failure.emplace("RESPONSE_INVALID", 0);
    return 0;
  }
  return length;
}

size_t onBody(char* data, size_t size, size_t count, void* context) {
  auto& exchange = *static_cast<Exchange*>(context);
  size_t length = size * count;
  exchange.lastActivity = monotonicSeconds();
  if (!exchange.headersDone) {
    exchange.failure.emplace("RESPONSE_INVALID", 0);
    return 0;
  }
  // Exactly the limit is fine; one byte more stops the transfer at once.
  if (exchange.bodyBytes + length > bodyLimit(*exchange.request)) {
    exchange.failure.emplace("RESPONSE_TOO_LARGE", 0);
    return 0;
  }
  exchange.bodyBytes += length;
  if (!exchange.request->bodySink) {
    exchange.result.body.append(data, length);
    return length;
  }
  // Exceptions must not cross libcurl's C frames: keep it and stop the transfer.
  try {
    exchange.request->bodySink(std::string_view(data, length));
  } catch (...) {
    exchange.sinkFailure = std::current_exception();
    return 0;
  }
  return length;
}

int onProgress(void* context, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
  auto& exchange = *static_cast<Exchange*>(context);
  if (exchange.request->cancellation && exchange.request->cancellation->cancelled()) {
    exchange.cancelled = true;
    return 1;
  }
  const double now = monotonicSeconds();
  if (downloaded != exchange.lastDown || uploaded != exchange.lastUp) {
    exchange.lastDown = downloaded;
    exchange.lastUp = uploaded;
    exchange.lastActivity = now;
  } else if (now - exchange.lastActivity > std::chrono::duration<double>(exchange.idleLimit).count()) {
    exchange.idleExpired = true;
    return 1;
  }
  return 0;
}

// libcurl repeats a request on a fresh connection when a reused one closes before any reply
// byte ("Connection died, retrying a fresh connect"); with CURLOPT_POSTFIELDS it needs no rewind,
// so nothing stops it. CURLOPT_PREREQFUNCTION is documented as called "after a connection has
// been established or a connection has been reused ..., but before any request is actually made
// on the connection", once per attempt (redirects, which we never follow, aside). A second call
// in one transfer is that silent repeat: for anything but a GET it is refused with
// CURL_PREREQFUNC_ABORT before a byte goes out, and the caller sees the network failure. The
// service may have acted on the first copy; the queue finds out on its next pass.
int onPrerequest(void* context, char*, char*, int, int) {
  auto& exchange = *static_cast<Exchange*>(context);
  ++exchange.attempts;
  return exchange.attempts > 1 && !exchange.repeatable ? CURL_PREREQFUNC_ABORT : CURL_PREREQFUNC_OK;
}

}  // namespace

// The connection cache, TLS sessions and resolved names that the exchanges' easy handles share.
// Exchanges run on several threads at once, so each kind of shared data has its own lock.
struct BoundedDesktopTransport::Share {
  CURLSH* share = curl_share_init();
  std::array<std::mutex, CURL_LOCK_DATA_LAST> locks;

  Share() {
    if (share == nullptr) return;
    curl_share_setopt(share, CURLSHOPT_LOCKFUNC, lock);
    curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, unlock);
    curl_share_setopt(share, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  }
  ~Share() {
    if (share != nullptr) curl_share_cleanup(share);
  }
  static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    static_cast<Share*>(self)->locks.at(static_cast<std::size_t>(data)).lock();
  }
  static void unlock(CURL*, curl_lock_data data, void* self) {
    static_cast<Share*>(self)->locks.at(static_cast<std::size_t>(data)).unlock();
  }
};

namespace {

struct EasyHandle {
  CURL* curl = curl_easy_init();
  EasyHandle() = default;
  EasyHandle(const EasyHandle&) = delete;
  EasyHandle& operator=(const EasyHandle&) = delete;
  ~EasyHandle() {
    if (curl != nullptr) curl_easy_cleanup(curl);
  }
};

}  // namespace

BoundedDesktopTransport::Options BoundedDesktopTransport::optionsFor(const ServiceConfiguration& configuration,
                                                                     const std::string& trustRoot) {
  Options options;
  options.caFile = configuration.caFile;  // always none in a production build
  if (!options.caFile) {
    const auto store = SystemTrustStore::locate(trustRoot);
    options.caFile = store.bundleFile;
    options.caDirectory = store.directory;
  }
  return options;
}

BoundedDesktopTransport::BoundedDesktopTransport() : BoundedDesktopTransport(Options{}) {}

BoundedDesktopTransport::BoundedDesktopTransport(Options options) : options_(std::move(options)) {
  initialiseCurlOnce();
  if (options_.reuseConnections) share_ = std::make_unique<Share>();
}

BoundedDesktopTransport::~BoundedDesktopTransport() = default;

HttpExchange BoundedDesktopTransport::send(const HttpRequest& request) {
  if (request.cancellation && request.cancellation->cancelled())
    throw TransportError(TransportError::Kind::cancelled, CURLE_ABORTED_BY_CALLBACK);
  EasyHandle handle;
  CURL* curl = handle.curl;
  if (curl == nullptr) throw TransportError(TransportError::Kind::network, CURLE_FAILED_INIT);
  if (share_ && share_->share != nullptr) curl_easy_setopt(curl, CURLOPT_SHARE, share_->share);

  Exchange exchange;
  exchange.curl = curl;
  exchange.request = &request;
  exchange.idleLimit = options_.limits.idle;
  exchange.repeatable = request.method == "GET";

  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TCP_NODELAY, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  // Set both ways, so no built-in default of the carried libcurl (another distribution's path)
  // is ever consulted: a store that is not there is "none", not somewhere else.
  curl_easy_setopt(curl, CURLOPT_CAINFO, options_.caFile ? options_.caFile->c_str() : nullptr);
  curl_easy_setopt(curl, CURLOPT_CAPATH, options_.caDirectory ? options_.caDirectory->c_str() : nullptr);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS,
                   static_cast<long>(request.totalLimit.value_or(options_.limits.total).count()));
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options_.limits.idle.count()));
  if (!options_.reuseConnections) {
    curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_SESSIONID_CACHE, 0L);
  }
  // No cookie engine is ever switched on (no COOKIEFILE / COOKIEJAR), and libcurl keeps no
  // response cache, so nothing of an exchange outlives it except the open connection.
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, onHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &exchange);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &exchange);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, onProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &exchange);
  curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, onPrerequest);
  curl_easy_setopt(curl, CURLOPT_PREREQDATA, &exchange);

  if (request.method == "GET") {
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  } else {
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    // libcurl sends straight from the caller's bytes (no copy); they outlive the transfer
    // because `send` returns only after curl_easy_perform has, whatever the outcome.
    const std::string_view payload = request.payload();
    if (request.method != "DELETE" || !payload.empty()) {
      curl_easy_setopt(curl, CURLOPT_POSTFIELDS, payload.data());
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(payload.size()));
    }
  }

  curl_slist* headers = nullptr;
  for (const auto& [name, value] : request.headers) {
    std::string line = name + ": " + value;
    headers = curl_slist_append(headers, line.c_str());
  }
  // Without this libcurl waits for "100 Continue" before sending a large part.
  headers = curl_slist_append(headers, "Expect:");
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);

  CURLcode code = curl_easy_perform(curl);
  curl_slist_free_all(headers);

  if (code == CURLE_OK) {
    if (!exchange.headersDone) throw CloudFailure("RESPONSE_INVALID", 0);
    return std::move(exchange.result);
  }
  // libcurl closes a connection whose transfer was broken off instead of sharing it.
  if (exchange.failure) throw *exchange.failure;
  if (exchange.sinkFailure) std::rethrow_exception(exchange.sinkFailure);
  if (exchange.cancelled) throw TransportError(TransportError::Kind::cancelled, code);
  if (exchange.idleExpired || code == CURLE_OPERATION_TIMEDOUT)
    throw TransportError(TransportError::Kind::timedOut, code);
  throw TransportError(TransportError::Kind::network, code);
}

}  // namespace talvo
