#pragma once
// A one-slot mailbox from the capture thread to the main thread.
//
// It coalesces: while a snapshot waits, a newer one replaces it and no second main-thread task
// is scheduled, so however slow the main thread is, tasks never pile up and the interface
// always gets the newest state. Protocol:
//   producer: if (mailbox.offer(snapshot)) schedule one task on the main thread;
//   that task: if (auto s = mailbox.drain()) deliver *s;
#include <mutex>
#include <optional>

#include "core/recording/capture_progress_snapshot.h"

namespace talvo {

class CaptureProgressMailbox {
 public:
  // Puts the snapshot in the slot. True when the slot was empty (the caller must schedule a
  // pick-up), false when it replaced a waiting snapshot (a pick-up is already scheduled).
  bool offer(CaptureProgressSnapshot snapshot);
  // Takes the waiting snapshot, if any, and leaves the slot empty.
  std::optional<CaptureProgressSnapshot> drain();

 private:
  std::mutex lock_;
  std::optional<CaptureProgressSnapshot> latest_;
};

}  // namespace talvo
