#include "cloud/desktop_upload_queue.h"

#include "cloud/cloud_failure.h"
#include "core/system/clock.h"
#include "core/system/log_sink.h"
#include "core/values/recording_id.h"
#include "core/recording/wave_journal.h"

namespace talvo {

namespace {

bool isOneOf(const std::string& state, std::initializer_list<const char*> states) {
  for (const char* candidate : states) {
    if (state == candidate) return true;
  }
  return false;
}

void logItem(const DesktopQueueItem& item) {
  if (!LogSink::shows(log_category::queue, LogLevel::debug)) return;
  std::string line = "item " + item.id + ": " + item.state;
  if (item.errorCode) line += " (" + *item.errorCode + ")";
  LogSink::line(log_category::queue, LogLevel::debug, line);
}

}  // namespace

DesktopUploadQueue::DesktopUploadQueue(std::string directory, QueueCloud& cloud, std::shared_ptr<const Clock> clock,
                                       JournalRepair repair)
    : directory_(std::move(directory)),
      cloud_(cloud),
      clock_(clock ? std::move(clock) : Clock::system()),
      repair_(repair ? std::move(repair)
                     : JournalRepair([](const std::string& path) { WaveJournal::recoverOwnedFile(path); })),
      protocol_(cloud_, directory_) {}

double DesktopUploadQueue::nowSeconds() const {
  return std::chrono::duration<double>(clock_->wallTime().time_since_epoch()).count();
}

int DesktopUploadQueue::unreadableJournals() const { return unreadableJournals_.load(); }

bool DesktopUploadQueue::syncing() const { return syncing_.load(); }

std::int64_t DesktopUploadQueue::durationSeconds(std::int64_t bytes) {
  std::int64_t audio = bytes > 44 ? bytes - 44 : 0;
  return (audio + 31999) / 32000;
}

bool DesktopUploadQueue::rightsCover(const std::optional<QueueRights>& rights, std::int64_t bytes) {
  if (!rights) return false;
  if (rights->plan == "unlimited") return true;
  return rights->remainingSeconds && *rights->remainingSeconds >= durationSeconds(bytes);
}

bool DesktopUploadQueue::isFinalFailure(const std::string& code, int status, bool fromService) {
  if (code == "CREDENTIAL_CHANGED" && !fromService) return false;
  return status == 400 || status == 409 || status == 413 || status == 422 || code == "FILE_CHANGED" ||
         code == "UPLOAD_HASH_MISMATCH";
}

void DesktopUploadQueue::save(const DesktopQueueItem& item, bool createOnly) {
  std::lock_guard lock(mutex_);
  directory_.save(item, createOnly);
  logItem(item);
}

QueueDirectory::Listing DesktopUploadQueue::items() {
  QueueDirectory::Listing listing = directory_.list();
  unreadableJournals_.store(listing.unreadable);
  return listing;
}

std::string DesktopUploadQueue::prepare() {
  const std::string id = makeRecordingId();
  reserve(id, clock_->wallTime());
  return id;
}

void DesktopUploadQueue::reserve(const std::string& id, WallTime startedAt) {
  DesktopQueueItem item;
  item.id = id;
  item.ownerId = cloud_.connectedOwner();
  item.startedAt = formatInternetDateTime(startedAt);
  item.state = queue_state::capturing;
  save(item, true);
}

void DesktopUploadQueue::finish(const std::string& id, bool interrupted) {
  // Hashing runs without the lock; the record is read and written under it, so an owner filled
  // in meanwhile (claim) is kept.
  std::optional<QueueDirectory::Fingerprint> fingerprint;
  std::optional<std::string> failure;
  try {
    fingerprint = directory_.fingerprint(id);
  } catch (const CloudFailure& error) {
    failure = error.code();
  }
  std::lock_guard lock(mutex_);
  DesktopQueueItem item = directory_.load(id);
  item.interrupted = interrupted;
  if (fingerprint) {
    item.bytes = fingerprint->bytes;
    item.sha256 = fingerprint->sha256;
    item.state = queue_state::recorded;
  } else {
    item.state = queue_state::attention;
    item.errorCode = failure;
    LogSink::line(log_category::queue, LogLevel::warning, "recording " + id + " not fingerprinted: " + *failure);
  }
  directory_.save(item, false);
  logItem(item);
}

void DesktopUploadQueue::claim(const std::string& id) {
  const std::optional<std::string> owner = cloud_.connectedOwner();
  if (!owner) return;
  std::lock_guard lock(mutex_);
  DesktopQueueItem item = directory_.load(id);
  if (item.ownerId) return;
  item.ownerId = owner;
  directory_.save(item, false);
  logItem(item);
}

void DesktopUploadQueue::finishRecovered(DesktopQueueItem item) {
  try {
    repair_(directory_.path() + "/" + QueueDirectory::recordingName(item.id));
    finish(item.id, true);
  } catch (...) {
    logSwallowed(log_category::queue, "interrupted recording " + item.id + " not repaired", "left for attention");
    item.state = queue_state::attention;
    item.interrupted = true;
    item.errorCode = "RECOVERY_REQUIRED";
    save(item, false);
  }
}

int DesktopUploadQueue::recover(const InFlight& inFlight) {
  auto busy = [&inFlight](const std::string& id) { return inFlight && inFlight(id); };
  if (const int removed = directory_.removeStaleTemporaries(); removed > 0) {
    LogSink::line(log_category::queue, LogLevel::debug, "removed " + std::to_string(removed) + " stale temporaries");
  }
  QueueDirectory::Listing listing = items();
  for (DesktopQueueItem& item : listing.items) {
    if (item.state == queue_state::capturing && !busy(item.id)) finishRecovered(item);
  }
  // A recording whose record was never written is still a recording of this computer: it joins
  // the queue without owner, and the user sends it like one made without an account.
  int adopted = 0;
  for (const QueueDirectory::Orphan& orphan : directory_.orphanRecordings()) {
    if (busy(orphan.id)) continue;
    DesktopQueueItem item;
    item.id = orphan.id;
    // The file was last written when the recording ended; it began its length earlier.
    item.startedAt = formatInternetDateTime(orphan.modified - std::chrono::seconds(durationSeconds(orphan.bytes)));
    item.state = queue_state::capturing;
    item.interrupted = true;
    try {
      save(item, true);
    } catch (...) {
      logSwallowed(log_category::queue, "recording " + orphan.id + " without record not adopted",
                   "tried again at the next start");
      continue;
    }
    LogSink::line(log_category::queue, LogLevel::warning, "recording " + orphan.id + " had no record: adopted");
    finishRecovered(item);
    ++adopted;
  }
  return adopted;
}

void DesktopUploadQueue::adoptUnlinked(const std::string& owner) {
  std::optional<std::string> connected = cloud_.connectedOwner();
  if (!connected || *connected != owner) throw CloudFailure("OWNER_MISMATCH", 403);
  QueueDirectory::Listing listing = items();
  for (const DesktopQueueItem& listed : listing.items) {
    if (listed.ownerId || listed.state == queue_state::capturing) continue;
    std::lock_guard lock(mutex_);
    // Re-read under the lock so a record finished meanwhile is adopted as it now stands.
    DesktopQueueItem item = directory_.load(listed.id);
    if (item.ownerId || item.state == queue_state::capturing) continue;
    item.ownerId = owner;
    directory_.save(item, false);
  }
}

QueueSummary DesktopUploadQueue::sync() {
  // A pass is already running and keeps the flag; this caller only gets the counts.
  if (syncing_.exchange(true)) return summary();
  struct ClearFlag {
    DesktopUploadQueue& queue;
    ~ClearFlag() { queue.syncing_.store(false); }
  } clear{*this};

  std::optional<std::string> owner = cloud_.connectedOwner();
  if (!owner) return summary();
  std::optional<QueueRights> rights = cloud_.refreshRights();

  QueueDirectory::Listing listing = items();
  for (DesktopQueueItem item : listing.items) {
    if (item.ownerId != owner || item.nextAttempt > nowSeconds() ||
        isOneOf(item.state,
                {queue_state::capturing, queue_state::done, queue_state::uploadedPartial, queue_state::attention})) {
      continue;
    }
    try {
      if (item.state == queue_state::recorded || item.state == queue_state::uploading) {
        item = protocol_.upload(item, [this](const DesktopQueueItem& changed) { save(changed, false); });
        if (item.state == queue_state::uploadedPartial) continue;
      }
      processingStep(item, rights);
    } catch (...) {
      recordFailure(item.id, std::current_exception());
    }
  }
  return summary();
}

void DesktopUploadQueue::processingStep(DesktopQueueItem item, const std::optional<QueueRights>& rights) {
  if (!isOneOf(item.state, {queue_state::uploaded, queue_state::processing, queue_state::processingUnknown})) return;
  ProcessReply status = protocol_.processingStatus(item);
  if (status.job) {
    const std::string& job = status.job->status;
    if (job == "completed") {
      item.state = queue_state::done;
    } else if (job == "failed" || job == "unknown") {
      item.state = queue_state::attention;
      item.errorCode = "PROCESSING_REVIEW_REQUIRED";
    } else {
      item.state = queue_state::processing;
    }
  } else if (item.processAttempted) {
    // A request may have been lost on its way; asking again could start a second job.
    item.state = queue_state::processingUnknown;
    item.errorCode = "PROCESSING_CONFIRMATION_REQUIRED";
  } else if (!rightsCover(rights, item.bytes)) {
    item.errorCode = "TARIFF_REQUIRED";
  } else {
    // Committed before the request, so a crash or lost reply can never lead to a second one.
    item.state = queue_state::processingUnknown;
    item.processAttempted = true;
    save(item, false);
    ProcessReply started = protocol_.requestProcessing(item);
    item.state = started.job && started.job->status == "completed" ? queue_state::done : queue_state::processing;
  }
  item.nextAttempt = nowSeconds() + processingDelay;
  save(item, false);
}

void DesktopUploadQueue::recordFailure(const std::string& id, std::exception_ptr failure) {
  std::string code = "NETWORK_UNAVAILABLE";
  int status = 0;
  bool fromService = false;
  try {
    std::rethrow_exception(failure);
  } catch (const CloudFailure& cloud_failure) {
    code = cloud_failure.code();
    status = cloud_failure.status();
    fromService = cloud_failure.fromService();
  } catch (...) {
    logSwallowed(log_category::queue, "item " + id + " failed", "counted as the network being unavailable");
  }
  std::lock_guard lock(mutex_);
  DesktopQueueItem item = directory_.load(id);
  item.errorCode = code;
  if (isFinalFailure(code, status, fromService)) item.state = queue_state::attention;
  item.nextAttempt = nowSeconds() + failureDelay;
  directory_.save(item, false);
  logItem(item);
}

QueueSummary DesktopUploadQueue::summary() {
  std::optional<std::string> owner = cloud_.connectedOwner();
  QueueDirectory::Listing listed = items();
  QueueSummary counts;
  for (const DesktopQueueItem& item : listed.items) {
    if (!item.ownerId) {
      ++counts.unlinked;
      if (!owner && item.errorCode) counts.message = item.errorCode;
    } else if (!owner || *item.ownerId != *owner) {
      ++counts.otherOwner;
    } else {
      if (isOneOf(item.state, {queue_state::attention, queue_state::processingUnknown})) {
        ++counts.attention;
      } else if (!isOneOf(item.state, {queue_state::done, queue_state::uploadedPartial, queue_state::capturing})) {
        ++counts.waiting;
      }
      if (item.errorCode) counts.message = item.errorCode;
    }
  }
  counts.attention += listed.unreadable;
  if (listed.unreadable > 0) counts.message = "JOURNAL_REVIEW_REQUIRED";
  return counts;
}

}  // namespace talvo
