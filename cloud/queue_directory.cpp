#include "cloud/queue_directory.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>  // renameat2 flags
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <memory>
#include <set>

#include "cloud/cloud_failure.h"
#include "cloud/upload_sha256.h"
#include "core/system/file_error.h"
#include "core/system/log_sink.h"
#include "core/system/posix_file.h"
#include "core/values/recording_id.h"
#include "core/system/system_call.h"

namespace talvo {

namespace {

constexpr std::int64_t wavHeaderBytes = 44;

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The failure's code for the caller, and the developer's facts (the call, the file, errno's name)
// for the log; the code is what the user's text is chosen by.
CloudFailure systemFailure(const char* code, const char* call, const std::string& name) {
  const int error = errno;
  LogSink::line(log_category::queue, LogLevel::warning,
                std::string(code) + ": " + call + " " + name + ": " + errnoName(error));
  errno = error;
  return CloudFailure(code, 0);
}

// ".journal-<uuid>" (a record being written) or ".<name>.<uuid>.tmp" (a file being replaced).
bool isStaleTemporaryName(const std::string& name) {
  static const std::string journal = ".journal-";
  if (name.size() == journal.size() + 36 && name.compare(0, journal.size(), journal) == 0)
    return isRecordingId(std::string_view(name).substr(journal.size()));
  static const std::string tmp = ".tmp";
  if (name.size() < 1 + 1 + 1 + 36 + tmp.size() || name[0] != '.' || !endsWith(name, tmp)) return false;
  const std::size_t idAt = name.size() - tmp.size() - 36;
  return name[idAt - 1] == '.' && isRecordingId(std::string_view(name).substr(idAt, 36));
}

// A FileError of posix_file as the queue's failure code, with the developer's facts in the log.
CloudFailure fileFailure(const char* code, const char* operation, const std::string& name, const FileError& error) {
  LogSink::line(log_category::queue, LogLevel::warning,
                std::string(code) + ": " + operation + " " + name + ": " + error.diagnostic());
  return CloudFailure(code, 0);
}

}  // namespace

UniqueFd QueueDirectory::open() const {
  // Linux follows a symbolic link named with a trailing "/" even with O_NOFOLLOW.
  if (path_.empty() || path_.back() == '/') throw CloudFailure("FILE_UNSAFE", 0);
  try {
    return posix_file::openPrivateDirectory(path_, FileErrorKind::unknownRead, FileErrorKind::noPermissionRead);
  } catch (const FileError& error) {
    if (error.kind() == FileErrorKind::noPermissionRead) throw fileFailure("FILE_UNSAFE", "open", path_, error);
    throw fileFailure("JOURNAL_UNAVAILABLE", "open", path_, error);
  }
}

QueueDirectory::OpenedFile QueueDirectory::safeOpenAt(int dirfd, const std::string& name, std::int64_t limit) const {
  try {
    return posix_file::openOwnedFileAt(dirfd, name, limit);
  } catch (const FileError& error) {
    // The file cannot be opened (missing, or a symbolic link in its place): unavailable. One
    // that opens but is not a private file of ours, or is longer than its kind can be: unsafe.
    const bool opened = error.kind() != FileErrorKind::noSuchFile && error.kind() != FileErrorKind::unknownRead;
    throw fileFailure(opened ? "FILE_UNSAFE" : "FILE_UNAVAILABLE", "openat", name, error);
  }
}

QueueDirectory::OpenedFile QueueDirectory::safeOpen(const std::string& name, std::int64_t limit) const {
  UniqueFd dir = open();
  return safeOpenAt(dir.get(), name, limit);
}

DesktopQueueItem QueueDirectory::loadAt(int dirfd, const std::string& name) const {
  OpenedFile file = safeOpenAt(dirfd, name, static_cast<std::int64_t>(recordLimit));
  std::string text(recordLimit + 1, '\0');
  std::size_t got = posix_file::readFully(file.fd.get(), text.data(), text.size());
  if (got > recordLimit) throw CloudFailure("JOURNAL_INVALID", 0);
  text.resize(got);
  DesktopQueueItem item = DesktopQueueItem::fromJson(text);
  if (!item.valid() || name != recordName(item.id)) throw CloudFailure("JOURNAL_INVALID", 0);
  return item;
}

DesktopQueueItem QueueDirectory::load(const std::string& id) const {
  UniqueFd dir = open();
  return loadAt(dir.get(), recordName(id));
}

void QueueDirectory::save(const DesktopQueueItem& item, bool createOnly) const {
  if (!item.valid()) throw CloudFailure("JOURNAL_INVALID", 0);
  UniqueFd dir = open();
  const std::string temporary = ".journal-" + makeRecordingId();
  const std::string final_name = recordName(item.id);
  UniqueFd file(
      system_call::openat(dir.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file) throw systemFailure("JOURNAL_UNAVAILABLE", "openat", temporary);
  // Whatever happens from here on, the temporary name does not outlive this call.
  struct Cleanup {
    int dirfd;
    const std::string& name;
    UniqueFd& file;
    ~Cleanup() {
      file.reset();
      system_call::unlinkat(dirfd, name.c_str(), 0);
    }
  } cleanup{dir.get(), temporary, file};

  const std::string text = item.toJson();
  posix_file::writeAll(file.get(), text.data(), text.size());
  posix_file::syncFile(file.get());

  if (createOnly &&
      system_call::renameat2(dir.get(), temporary.c_str(), dir.get(), final_name.c_str(), RENAME_NOREPLACE) == 0) {
    // Published in one step with a single link: no reader ever sees two names of the record.
  } else if (createOnly && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
    throw systemFailure("JOURNAL_UNAVAILABLE", "renameat2", final_name);
  } else if (createOnly) {  // a file system without RENAME_NOREPLACE: a link claims the name
    if (system_call::linkat(dir.get(), temporary.c_str(), dir.get(), final_name.c_str(), 0) != 0) {
      throw systemFailure("JOURNAL_UNAVAILABLE", "linkat", final_name);
    }
    // The record is published by its link. The temporary name goes at once, before the slow
    // directory sync: while both names exist a reader sees a record with two links and must
    // refuse it as unsafe. One that stays is only a second name (the cleanup below tries again,
    // and the next start removes it).
    system_call::unlinkat(dir.get(), temporary.c_str(), 0);
  } else if (system_call::renameat(dir.get(), temporary.c_str(), dir.get(), final_name.c_str()) != 0) {
    throw systemFailure("JOURNAL_UNAVAILABLE", "renameat", final_name);
  }
  if (system_call::fsync(dir.get()) != 0) throw systemFailure("JOURNAL_UNAVAILABLE", "fsync", path_);
}

std::vector<std::string> QueueDirectory::namesAt(int dirfd) const {
  // Read the entries through our own verified descriptor, not the path.
  int listing_fd = system_call::openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing_fd < 0) throw systemFailure("JOURNAL_UNAVAILABLE", "openat", path_);
  std::unique_ptr<DIR, int (*)(DIR*)> stream(::fdopendir(listing_fd), ::closedir);
  if (!stream) {
    ::close(listing_fd);
    throw systemFailure("JOURNAL_UNAVAILABLE", "fdopendir", path_);
  }
  std::vector<std::string> names;
  errno = 0;
  while (struct dirent* entry = ::readdir(stream.get())) {
    names.emplace_back(entry->d_name);
    errno = 0;
  }
  if (errno != 0) throw systemFailure("JOURNAL_UNAVAILABLE", "readdir", path_);
  return names;
}

QueueDirectory::Listing QueueDirectory::list() const {
  UniqueFd dir = open();
  std::vector<std::string> names;
  for (std::string& name : namesAt(dir.get())) {
    if (endsWith(name, ".upload.json")) names.push_back(std::move(name));
  }

  Listing listing;
  for (const std::string& name : names) {
    try {
      listing.items.push_back(loadAt(dir.get(), name));
    } catch (...) {
      logSwallowed(log_category::queue, "record " + name + " unreadable", "left for review", LogLevel::warning);
      ++listing.unreadable;
    }
  }
  std::stable_sort(listing.items.begin(), listing.items.end(),
                   [](const DesktopQueueItem& a, const DesktopQueueItem& b) { return a.startedAt < b.startedAt; });
  return listing;
}

std::vector<QueueDirectory::Orphan> QueueDirectory::orphanRecordings() const {
  UniqueFd dir = open();
  const std::vector<std::string> names = namesAt(dir.get());
  const std::set<std::string> present(names.begin(), names.end());
  std::vector<Orphan> orphans;
  for (const std::string& name : names) {
    if (!isRecordingFileName(name)) continue;
    const std::string id = name.substr(0, name.size() - recordingName("").size());
    if (present.count(recordName(id)) != 0) continue;
    struct stat info {};
    if (system_call::fstatat(dir.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !posix_file::isOwnedSingleLinkFile(info))
      continue;
    const auto modified = std::chrono::system_clock::time_point(std::chrono::duration_cast<WallTime::duration>(
        std::chrono::seconds(info.st_mtim.tv_sec) + std::chrono::nanoseconds(info.st_mtim.tv_nsec)));
    orphans.push_back(Orphan{id, static_cast<std::int64_t>(info.st_size), modified});
  }
  return orphans;
}

int QueueDirectory::removeStaleTemporaries() const {
  UniqueFd dir = open();
  int removed = 0;
  for (const std::string& name : namesAt(dir.get())) {
    if (!isStaleTemporaryName(name)) continue;
    struct stat info {};
    if (system_call::fstatat(dir.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode) ||
        info.st_uid != ::geteuid())
      continue;
    if (system_call::unlinkat(dir.get(), name.c_str(), 0) == 0) {
      ++removed;
    } else {
      LogSink::line(log_category::queue, LogLevel::warning,
                    "stale temporary " + name + " not removed: " + errnoName(errno));
    }
  }
  return removed;
}

QueueDirectory::Fingerprint QueueDirectory::fingerprint(const std::string& id, bool withBlocks) const {
  OpenedFile file = safeOpen(recordingName(id), DesktopQueueItem::maximumBytes);
  if (file.size <= wavHeaderBytes) throw CloudFailure("EMPTY_RECORDING", 0);
  ::posix_fadvise(file.fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  std::unique_ptr<unsigned char[]> block(new unsigned char[blockSize]);
  UploadSha256 hash;
  Fingerprint result;
  std::int64_t total = 0;
  for (;;) {
    std::size_t got = posix_file::readFully(file.fd.get(), block.get(), blockSize);
    if (got == 0) break;
    total += static_cast<std::int64_t>(got);
    if (total > file.size) throw CloudFailure("FILE_CHANGED", 0);
    // The block's own hash runs beside the whole-file hash over the same bytes; both only read
    // the buffer, and the block is not reused before both are done.
    std::future<std::string> piece;
    if (withBlocks) {
      piece = std::async(std::launch::async, [data = block.get(), got] {
        return UploadSha256::hex({reinterpret_cast<const char*>(data), got});
      });
    }
    hash.update(block.get(), got);
    if (withBlocks) result.blocks.push_back(piece.get());
  }
  if (total != file.size) throw CloudFailure("FILE_CHANGED", 0);
  result.bytes = total;
  result.sha256 = hash.finishHex();
  return result;
}

}  // namespace talvo
