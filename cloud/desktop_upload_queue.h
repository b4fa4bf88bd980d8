#pragma once
// The persistent upload queue: one record per recording in the recordings directory, created
// when a recording starts, completed with the file's fingerprint when it stops, and carried
// through upload and processing by sync passes. The records are the queue's whole memory;
// `nextAttempt` on each record is the whole retry schedule.
//
// Thread safety: every operation may be called from any worker thread. One mutex guards each
// read-modify-write of a record (and so is held across its fsyncs); it is never held across a
// service request, the hashing of a recording or a directory listing. The pass flag and the
// unreadable count are atomics, so the interface's polls never wait on the disk.
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/system/clock.h"
#include "cloud/desktop_queue_item.h"
#include "cloud/queue_cloud.h"
#include "cloud/queue_directory.h"
#include "cloud/upload_protocol.h"
#include "core/values/internet_date_time.h"

namespace talvo {

// The queue's counts for the interface. `message` is a failure code, not a text.
struct QueueSummary {
  int waiting = 0;
  int unlinked = 0;
  int otherOwner = 0;
  int attention = 0;
  std::optional<std::string> message;

  bool operator==(const QueueSummary&) const = default;
};

class DesktopUploadQueue {
 public:
  // Repairs the WAV journal of a recording whose writer died (throws when it cannot).
  using JournalRepair = std::function<void(const std::string& path)>;

  static constexpr double processingDelay = 30;  // seconds after a processing step
  static constexpr double failureDelay = 60;     // seconds after a failed step

  // `cloud` must outlive the queue. `repair` defaults to the WAV journal's owned-file recovery.
  DesktopUploadQueue(std::string directory, QueueCloud& cloud, std::shared_ptr<const Clock> clock = {},
                     JournalRepair repair = {});

  // A new "capturing" record owned by the connected account (if any); returns its id.
  std::string prepare();
  // The same for a recording that began before the queue was there, under its own id.
  void reserve(const std::string& id, WallTime startedAt);
  // Fingerprints `<id>.wav` and marks the record "recorded" ("attention" if that fails).
  void finish(const std::string& id, bool interrupted);
  // Start-up repair, before any recording of this run is noted: removes the temporaries a crash
  // left, completes records left "capturing", and gives every finished `<id>.wav` without a
  // record (the program ended before its record was written) a record without owner, repaired
  // first. Recordings `inFlight` names are being written by this process and are not touched.
  // Returns how many recordings were adopted that way.
  using InFlight = std::function<bool(const std::string& id)>;
  int recover(const InFlight& inFlight = {});
  // Gives the record `id`, made without owner while the account store had not answered yet, to
  // the account that is connected now (nothing when none is, or the record has an owner).
  void claim(const std::string& id);
  // Gives every unlinked, finished record to `owner`, which must be the connected account.
  void adoptUnlinked(const std::string& owner);
  // One pass over the due items of the connected account; returns the summary afterwards.
  QueueSummary sync();
  // Counts without changing anything.
  QueueSummary summary();

  int unreadableJournals() const;
  bool syncing() const;
  const QueueDirectory& directory() const noexcept { return directory_; }

  // ceil(max(0, bytes - 44) / 32000): whole seconds of 16 kHz 16-bit mono audio.
  static std::int64_t durationSeconds(std::int64_t bytes);
  static bool rightsCover(const std::optional<QueueRights>& rights, std::int64_t bytes);
  // 400, 409, 413, 422, FILE_CHANGED and UPLOAD_HASH_MISMATCH are not retried automatically,
  // except this client's own CREDENTIAL_CHANGED: a local race with a disconnect or a new
  // pairing, over as soon as it happened.
  static bool isFinalFailure(const std::string& code, int status, bool fromService);

 private:
  QueueDirectory::Listing items();
  void save(const DesktopQueueItem& item, bool createOnly);
  void finishRecovered(DesktopQueueItem item);
  void processingStep(DesktopQueueItem item, const std::optional<QueueRights>& rights);
  void recordFailure(const std::string& id, std::exception_ptr failure);
  double nowSeconds() const;

  QueueDirectory directory_;
  QueueCloud& cloud_;
  std::shared_ptr<const Clock> clock_;  // its wall clock times attempts and back-offs
  JournalRepair repair_;
  UploadProtocol protocol_;

  std::mutex mutex_;
  std::atomic<bool> syncing_{false};
  std::atomic<int> unreadableJournals_{0};
};

}  // namespace talvo
