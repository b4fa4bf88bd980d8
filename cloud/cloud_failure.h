#pragma once
// The one error of the cloud client and the upload queue: a machine code (the same kind the
// service sends in {"error": code}) and the HTTP status that came with it. What callers do
// depends on the code; what the user reads is derived from the code alone.
#include <exception>
#include <string>

#include "core/system/log_sink.h"

namespace talvo {

class CloudFailure : public std::exception, public DiagnosticFacts {
 public:
  // Who said it: the service in an error reply, or this program about itself.
  enum class Origin { client, service };

  CloudFailure(std::string code, int status, Origin origin = Origin::client);

  const std::string& code() const noexcept { return code_; }
  int status() const noexcept { return status_; }
  bool fromService() const noexcept { return origin_ == Origin::service; }

  // The Russian text shown to the user; never empty.
  const std::string& errorDescription() const noexcept { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }
  // "<code> <status>", e.g. "JOURNAL_UNAVAILABLE 0".
  std::string diagnostic() const override { return code_ + " " + std::to_string(status_); }

  // The message for a code (exact, case-sensitive match; any other code gets the general text).
  static std::string messageFor(const std::string& code);

  // True when `code` may be taken from a service reply: ^[A-Z0-9_]{1,64}$.
  static bool isServiceCode(const std::string& code) noexcept;

 private:
  std::string code_;
  int status_;
  Origin origin_;
  std::string description_;
};

}  // namespace talvo
