#include "cloud/upload_protocol.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <future>
#include <map>
#include <memory>

#include "cloud/cloud_failure.h"
#include "cloud/upload_sha256.h"
#include "core/system/log_sink.h"
#include "core/system/posix_file.h"

namespace talvo {

using nlohmann::json;

namespace {

const char* const mode = "v1-mediarecorder";
const char* const mimeType = "audio/wav";
constexpr int sampleRate = 16000;

bool isFinalizedElsewhere(const CloudFailure& failure) {
  return failure.code() == "RUN_FINALIZED" || failure.code() == "FINALIZE_CONFLICT";
}

// The run id goes into request paths; only a plain path segment may be used there, so a reply
// can never steer the following requests to another route.
bool isPlainSegment(const std::string& text) {
  if (text.empty() || text.size() > 128 || text == "." || text == "..") return false;
  for (char c : text) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
                 c == '.' || c == '~';
    if (!plain) return false;
  }
  return true;
}

// Reads up to `size` bytes at `offset`, fewer only at the end of the file.
std::size_t readAt(int fd, char* data, std::size_t size, std::int64_t offset) {
  try {
    return posix_file::readFullyAt(fd, data, size, static_cast<off_t>(offset));
  } catch (const FileError&) {
    throw CloudFailure("FILE_UNAVAILABLE", 0);
  }
}

}  // namespace

json UploadProtocol::metadata(const DesktopQueueItem& item) {
  return json{{"mode", mode},
              {"sampleRate", sampleRate},
              {"mimeType", mimeType},
              {"sourceMode", "desktop-system-mic"},
              {"captureProfile", "desktop-pcm16-v1"},
              {"startedAt", item.startedAt},
              {"captureInterrupted", item.interrupted}};
}

std::string UploadProtocol::title(const DesktopQueueItem& item) {
  return item.interrupted ? "Прерванная запись с компьютера" : "Запись с компьютера";
}

UploadReply UploadProtocol::authorised(const std::string& owner, const UploadRequest& request) {
  std::string token = cloud_.access(owner, std::nullopt);
  try {
    return cloud_.call(request, token);
  } catch (const CloudFailure& failure) {
    if (failure.status() != 401) throw;
    LogSink::line(log_category::queue, LogLevel::debug, "upload call refused (401): once more with a renewed session");
  }
  std::string renewed = cloud_.access(owner, token);
  return cloud_.call(request, renewed);
}

DesktopQueueItem UploadProtocol::upload(DesktopQueueItem item, const SaveRecord& save) {
  if (!item.ownerId || !item.sha256) throw CloudFailure("JOURNAL_INVALID", 0);
  const std::string owner = *item.ownerId;

  QueueDirectory::Fingerprint local = directory_.fingerprint(item.id, true);
  if (local.bytes != item.bytes || local.sha256 != *item.sha256) throw CloudFailure("FILE_CHANGED", 0);

  item.state = queue_state::uploading;
  save(item);

  UploadRequest create{"POST", "/api/runs", {}, json{}, std::nullopt, {}};
  create.json = json{{"id", item.id},
                     {"metadata", metadata(item)},
                     {"catalog", {{"title", title(item)}, {"startedAt", item.startedAt}}}};
  RunReply created = RunReply::from(authorised(owner, create));
  const std::string run = created.id;
  if (!isPlainSegment(run)) throw CloudFailure("RESPONSE_INVALID", 0);

  RunReply found = RunReply::from(authorised(owner, UploadRequest{"GET", "/api/runs/" + run, {}, {}, {}, {}}));
  if (found.id != run || (found.status != "open" && found.status != "finalized")) {
    throw CloudFailure("RESPONSE_INVALID", 0);
  }

  if (found.status == "open") {
    try {
      sendParts(item, run, local.blocks);
      UploadRequest finalize{"POST", "/api/runs/" + run + "/finalize", {}, json{}, std::nullopt, {}};
      finalize.json = json{{"chunkCount", partCount(item.bytes)},
                           {"manifest",
                            {{"session",
                              {{"id", run},
                               {"mode", mode},
                               {"mimeType", mimeType},
                               {"sampleRate", sampleRate},
                               {"startedAt", item.startedAt}}},
                             {"upload",
                              {{"format", "combined-file-v1"},
                               {"chunkBytes", chunkSize},
                               {"bytes", item.bytes},
                               {"sha256", *item.sha256}}}}}};
      EmptyReply::from(authorised(owner, finalize));
    } catch (const CloudFailure& failure) {
      // Another attempt (or the service) completed the run; verification decides.
      if (!isFinalizedElsewhere(failure)) throw;
      LogSink::line(log_category::queue, LogLevel::debug,
                    "item " + item.id + " finalized elsewhere (" + failure.code() + "); verifying");
    }
  }

  verify(item, run);

  item.state = item.interrupted ? queue_state::uploadedPartial : queue_state::uploaded;
  item.errorCode.reset();
  save(item);
  return item;
}

void UploadProtocol::sendParts(const DesktopQueueItem& item, const std::string& run,
                               const std::vector<std::string>& fingerprinted) {
  const std::string owner = *item.ownerId;
  const std::int64_t parts = partCount(item.bytes);
  if (static_cast<std::int64_t>(fingerprinted.size()) != parts) throw CloudFailure("FILE_CHANGED", 0);
  UploadRequest list_request{"GET", "/api/runs/" + run + "/chunks", {{"limit", "1000"}}, {}, {}, {}};
  ChunkList listing = ChunkList::from(authorised(owner, list_request));
  if (listing.nextAfter || listing.chunks.size() > maximumParts) throw CloudFailure("CHUNK_CONFLICT", 409);
  std::map<std::int64_t, ChunkList::Entry> stored;
  for (auto& entry : listing.chunks) {
    std::int64_t seq = entry.seq;
    if (!stored.emplace(seq, std::move(entry)).second) throw CloudFailure("CHUNK_CONFLICT", 409);
  }
  // A stored part must be exactly the recorded one; comparing it needs no read of the file.
  std::vector<std::int64_t> missing;
  for (std::int64_t seq = 0; seq < parts; ++seq) {
    auto known = stored.find(seq);
    if (known == stored.end()) {
      missing.push_back(seq);
    } else if (known->second.sha256 != fingerprinted[static_cast<std::size_t>(seq)] ||
               known->second.bytes != partLength(item.bytes, seq)) {
      throw CloudFailure("CHUNK_CONFLICT", 409);
    }
  }
  for (const auto& [stored_seq, entry] : stored) {
    if (stored_seq < 0 || stored_seq >= parts) throw CloudFailure("FILE_CHANGED", 0);
  }
  if (missing.empty()) return;

  QueueDirectory::OpenedFile file =
      directory_.safeOpen(QueueDirectory::recordingName(item.id), DesktopQueueItem::maximumBytes);
  if (file.size != item.bytes) throw CloudFailure("FILE_CHANGED", 0);
  ::posix_fadvise(file.fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  // Reading the next part overlaps with sending the current one. Two part buffers exist; no
  // more is ever held. A part is not hashed again here: it goes out with its hash from the
  // fingerprint, which was taken from the same read that matched the whole file against the
  // record, and the service stores a part only if its bytes hash to that value. So nothing but
  // the recorded file's bytes can ever be stored, and each byte is hashed twice per attempt
  // (whole file and its part, side by side), not three times.
  struct Part {
    std::unique_ptr<char[]> data{new char[chunkSize]};
    std::size_t size = 0;
  };
  Part buffers[2];
  const int fd = file.fd.get();
  auto readPart = [fd](Part* part, std::int64_t seq) {
    part->size = readAt(fd, part->data.get(), static_cast<std::size_t>(chunkSize), seq * chunkSize);
    return part;
  };
  std::future<Part*> next = std::async(std::launch::async, readPart, &buffers[0], missing[0]);
  for (std::size_t index = 0; index < missing.size(); ++index) {
    const std::int64_t seq = missing[index];
    Part& current = *next.get();
    if (index + 1 < missing.size())
      next = std::async(std::launch::async, readPart, &buffers[(index + 1) % 2], missing[index + 1]);
    if (static_cast<std::int64_t>(current.size) != partLength(item.bytes, seq)) throw CloudFailure("FILE_CHANGED", 0);
    const std::string& part_hash = fingerprinted[static_cast<std::size_t>(seq)];
    const std::string_view bytes(current.data.get(), current.size);
    UploadRequest put{"PUT", "/api/runs/" + run + "/chunks/" + std::to_string(seq), {}, {}, bytes, {}};
    put.extra = {{"X-Content-SHA256", part_hash}, {"X-Audio-Type", mimeType}};
    PartReply reply{};
    try {
      reply = PartReply::from(authorised(owner, put));
    } catch (const CloudFailure& failure) {
      // Refused because the bytes do not hash as announced: the file changed since the
      // fingerprint (only this rare path hashes the part again to tell).
      if (failure.code() == "CHUNK_HASH_MISMATCH" && UploadSha256::hex(bytes) != part_hash)
        throw CloudFailure("FILE_CHANGED", 0);
      throw;
    }
    if (reply.seq != seq || reply.sha256 != part_hash || reply.bytes != static_cast<std::int64_t>(current.size)) {
      throw CloudFailure("UPLOAD_HASH_MISMATCH", 409);
    }
  }
}

void UploadProtocol::verify(const DesktopQueueItem& item, const std::string& run) {
  RunReply final_run =
      RunReply::from(authorised(*item.ownerId, UploadRequest{"GET", "/api/runs/" + run, {}, {}, {}, {}}));
  if (final_run.id != run || final_run.status != "finalized" || final_run.sha256 != item.sha256 ||
      final_run.bytes != item.bytes) {
    throw CloudFailure("UPLOAD_HASH_MISMATCH", 409);
  }
}

ProcessReply UploadProtocol::processingStatus(const DesktopQueueItem& item) {
  UploadRequest request{"GET", "/api/runs/" + item.id + "/processing", {{"view", "status"}}, {}, {}, {}};
  return ProcessReply::from(authorised(item.ownerId.value_or(""), request));
}

ProcessReply UploadProtocol::requestProcessing(const DesktopQueueItem& item) {
  UploadRequest request{"POST", "/api/runs/" + item.id + "/process", {}, json{{"summary", true}}, {}, {}};
  return ProcessReply::from(authorised(item.ownerId.value_or(""), request));
}

}  // namespace talvo
