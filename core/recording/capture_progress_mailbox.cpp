#include "core/recording/capture_progress_mailbox.h"

#include <utility>

namespace talvo {

bool CaptureProgressMailbox::offer(CaptureProgressSnapshot snapshot) {
  std::optional<CaptureProgressSnapshot> replaced;
  {
    std::lock_guard guard(lock_);
    replaced = std::exchange(latest_, std::move(snapshot));
  }
  // The replaced snapshot (and its text) is freed outside the lock.
  return !replaced.has_value();
}

std::optional<CaptureProgressSnapshot> CaptureProgressMailbox::drain() {
  std::lock_guard guard(lock_);
  return std::exchange(latest_, std::nullopt);
}

}  // namespace talvo
