#pragma once
// A failure of the network exchange itself (no connection, TLS refused, time-out, cancelled,
// connection lost mid-reply). The cloud client passes it on unchanged: it is not a refusal by
// the service, so callers treat it as "try again later", never as an answer.
#include <stdexcept>
#include <string>

namespace talvo {

class TransportError : public std::runtime_error {
 public:
  enum class Kind { network, timedOut, cancelled };

  TransportError(Kind kind, int curlCode);

  Kind kind() const noexcept { return kind_; }
  // libcurl's result code (CURLcode), 0 when the failure did not come from libcurl.
  int curlCode() const noexcept { return curlCode_; }

 private:
  Kind kind_;
  int curlCode_;
};

}  // namespace talvo
