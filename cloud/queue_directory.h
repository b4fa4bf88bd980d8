#pragma once
// The recordings directory as the upload queue sees it. Every operation first opens the
// directory itself (no symbolic link, owned by us, not writable by group or others) and then
// works relative to that descriptor, so a link swapped into the path is never followed.
// Records are published atomically and durably: a hidden ".journal-<uuid>" file is written and
// fsynced, then linked (new record) or renamed (update) into place, and the directory fsynced.
// A crash therefore leaves the old record or the new one, plus at most a stray temporary file.
#include <cstdint>
#include <string>
#include <vector>

#include "cloud/desktop_queue_item.h"
#include "core/values/internet_date_time.h"
#include "core/values/recording_id.h"
#include "core/system/posix_file.h"
#include "core/system/unique_fd.h"

namespace talvo {

class QueueDirectory {
 public:
  // Record files are never longer than this.
  static constexpr std::size_t recordLimit = 8192;
  // Hashing reads this much at a time: the upload's part size (UploadProtocol::chunkSize), so
  // each block's hash is a part's.
  static constexpr std::size_t blockSize = 4194304;

  using OpenedFile = posix_file::OwnedFile;

  struct Fingerprint {
    std::int64_t bytes = 0;
    std::string sha256;
    // SHA-256 (hex) of every 4 MiB block, i.e. of every upload part; only when asked for.
    std::vector<std::string> blocks;
  };

  struct Listing {
    std::vector<DesktopQueueItem> items;  // sorted by startedAt, stable
    int unreadable = 0;                   // *.upload.json files that failed to load
  };

  explicit QueueDirectory(std::string path) : path_(std::move(path)) {}

  const std::string& path() const noexcept { return path_; }

  // The verified directory descriptor. "JOURNAL_UNAVAILABLE" when it cannot be opened,
  // "FILE_UNSAFE" when it is not a private directory of ours or its path ends in "/".
  UniqueFd open() const;

  // Opens `name` read-only without following links: a regular file of ours with one link and at
  // most `limit` bytes. "FILE_UNAVAILABLE" when it cannot be opened, "FILE_UNSAFE" otherwise.
  OpenedFile safeOpen(const std::string& name, std::int64_t limit) const;

  // Reads and validates the record `<id>.upload.json`. Oversized, invalid or misnamed records
  // fail with "JOURNAL_INVALID"; text that is not a record fails with the JSON reader's error
  // (nlohmann::json's exception, or JsonDecodingError for a missing member or a wrong type).
  DesktopQueueItem load(const std::string& id) const;

  // The only way a record is written (see the file comment). "JOURNAL_INVALID" for an invalid
  // item; "JOURNAL_UNAVAILABLE" when the temporary cannot be made or publishing fails (with
  // `createOnly` an existing record is never replaced).
  void save(const DesktopQueueItem& item, bool createOnly) const;

  // Every readable record; unreadable ones are counted, never touched.
  Listing list() const;

  // A recording file `<id>.wav` that has no record beside it (its record was never written:
  // the program ended before the queue was there).
  struct Orphan {
    std::string id;
    std::int64_t bytes = 0;
    WallTime modified;
  };
  std::vector<Orphan> orphanRecordings() const;

  // Removes the hidden temporaries a crash can leave behind (".journal-<uuid>" of a record,
  // ".<name>.<uuid>.tmp" of a replaced file); only this user's regular files. Returns how many.
  int removeStaleTemporaries() const;

  // Size and SHA-256 of `<id>.wav`, read in 4 MiB blocks. "EMPTY_RECORDING" below 45 bytes,
  // "FILE_CHANGED" when the file grows or shrinks while it is read. With `withBlocks` the hash
  // of each block is taken from the same read, on a second thread.
  Fingerprint fingerprint(const std::string& id, bool withBlocks = false) const;

  static std::string recordName(const std::string& id) { return id + ".upload.json"; }
  static std::string recordingName(const std::string& id) { return recordingFileName(id); }

 private:
  OpenedFile safeOpenAt(int dirfd, const std::string& name, std::int64_t limit) const;
  DesktopQueueItem loadAt(int dirfd, const std::string& name) const;
  std::vector<std::string> namesAt(int dirfd) const;

  std::string path_;
};

}  // namespace talvo
