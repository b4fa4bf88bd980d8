#pragma once
// The one failure of an update cycle. Our own refusals carry the domain "pro.talvo.updates"
// (1: a recording is busy, 2: the archive is not at the expected place); what the updater itself
// reports (no update, cancelled, a bad download...) carries the updater's domain and its code.
#include <stdexcept>
#include <string>

namespace talvo {

class UpdateError : public std::runtime_error {
 public:
  enum class Domain { updates, updater };

  // Codes of the updates domain.
  static constexpr int captureBusy = 1;
  static constexpr int archiveRefused = 2;
  // Codes of the updater domain. The first three are benign: they end a cycle without a fault.
  static constexpr int noUpdate = 1001;
  static constexpr int installationCancelled = 4007;
  static constexpr int installationDeferred = 4008;
  static constexpr int feedInvalid = 2001;     // feed unreachable, not XML, malformed items
  static constexpr int downloadFailed = 2002;  // transport failure or a truncated body
  static constexpr int archiveInvalid = 3001;  // length, hash or signature does not match
  static constexpr int installFailed = 4005;   // unpacking, the new tree's check, or the swap

  UpdateError(Domain domain, int code, const std::string& description);

  // The two refusals of the updates domain with their fixed texts.
  static UpdateError busy();
  static UpdateError refusedArchive();

  Domain domain() const noexcept { return domain_; }
  int code() const noexcept { return code_; }
  // No update, installation cancelled or deferred by the user.
  bool benign() const noexcept;

 private:
  Domain domain_;
  int code_;
};

}  // namespace talvo
