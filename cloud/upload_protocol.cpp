#include "cloud/upload_protocol.h"

#include <fcntl.h>

#include <future>
#include <map>
#include <memory>

#include "cloud/cloud_failure.h"
#include "cloud/upload_sha256.h"
#include "core/posix_file.h"

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
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                 c == '_' || c == '.' || c == '~';
    if (!plain) return false;
  }
  return true;
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
      finalize.json = json{
          {"chunkCount", partCount(item.bytes)},
          {"manifest",
           {{"session",
             {{"id", run}, {"mode", mode}, {"mimeType", mimeType}, {"sampleRate", sampleRate}, {"startedAt", item.startedAt}}},
            {"upload",
             {{"format", "combined-file-v1"}, {"chunkBytes", chunkSize}, {"bytes", item.bytes}, {"sha256", *item.sha256}}}}}};
      EmptyReply::from(authorised(owner, finalize));
    } catch (const CloudFailure& failure) {
      // Another attempt (or the service) completed the run; verification decides.
      if (!isFinalizedElsewhere(failure)) throw;
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
  UploadRequest list_request{"GET", "/api/runs/" + run + "/chunks", {{"limit", "1000"}}, {}, {}, {}};
  ChunkList listing = ChunkList::from(authorised(owner, list_request));
  if (listing.nextAfter || listing.chunks.size() > maximumParts) throw CloudFailure("CHUNK_CONFLICT", 409);
  std::map<std::int64_t, ChunkList::Entry> stored;
  for (auto& entry : listing.chunks) {
    std::int64_t seq = entry.seq;
    if (!stored.emplace(seq, std::move(entry)).second) throw CloudFailure("CHUNK_CONFLICT", 409);
  }

  QueueDirectory::OpenedFile file = directory_.safeOpen(QueueDirectory::recordingName(item.id), DesktopQueueItem::maximumBytes);
  if (file.size != item.bytes) throw CloudFailure("FILE_CHANGED", 0);
  ::posix_fadvise(file.fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

  // Reading and hashing the next part overlaps with sending the current one, so the disk and
  // the hash cost no time on the wire. Two part buffers exist; no more is ever held.
  struct Part {
    std::unique_ptr<char[]> data{new char[chunkSize]};
    std::size_t size = 0;
    std::string hash;
  };
  Part buffers[2];
  const int fd = file.fd.get();
  auto readPart = [fd](Part* part) {
    part->size = posix_file::readFully(fd, part->data.get(), static_cast<std::size_t>(chunkSize));
    if (part->size > 0) part->hash = UploadSha256::hex({part->data.get(), part->size});
    return part;
  };
  std::int64_t total = 0;
  std::int64_t seq = 0;
  std::future<Part*> next = std::async(std::launch::async, readPart, &buffers[0]);
  for (;; ++seq) {
    Part& current = *next.get();
    if (current.size == 0) break;
    next = std::async(std::launch::async, readPart, &buffers[(seq + 1) % 2]);
    const std::string& part_hash = current.hash;
    const auto size = static_cast<std::int64_t>(current.size);
    total += size;
    if (total > item.bytes) throw CloudFailure("FILE_CHANGED", 0);

    // The fingerprint just matched the record as a whole; a part whose hash differs from the
    // same block's hash in that fingerprint means the file changed since, and is never sent.
    // So every part that goes out (or is accepted as stored) is the recorded file's part.
    if (static_cast<std::size_t>(seq) >= fingerprinted.size() || fingerprinted[static_cast<std::size_t>(seq)] != part_hash) {
      throw CloudFailure("FILE_CHANGED", 0);
    }

    auto known = stored.find(seq);
    if (known != stored.end()) {
      if (known->second.sha256 != part_hash || known->second.bytes != size) throw CloudFailure("CHUNK_CONFLICT", 409);
      continue;  // already held by the service
    }
    UploadRequest put{"PUT", "/api/runs/" + run + "/chunks/" + std::to_string(seq), {}, {},
                      std::string_view(current.data.get(), current.size), {}};
    put.extra = {{"X-Content-SHA256", part_hash}, {"X-Audio-Type", mimeType}};
    PartReply reply = PartReply::from(authorised(owner, put));
    if (reply.seq != seq || reply.sha256 != part_hash || reply.bytes != size) {
      throw CloudFailure("UPLOAD_HASH_MISMATCH", 409);
    }
  }
  // Same size and every part equal to the fingerprinted one: the bytes read are exactly the
  // file whose SHA-256 the fingerprint compared with the record.
  if (total != item.bytes || static_cast<std::size_t>(seq) != fingerprinted.size()) throw CloudFailure("FILE_CHANGED", 0);
  for (const auto& [stored_seq, entry] : stored) {
    if (stored_seq < 0 || stored_seq >= seq) throw CloudFailure("FILE_CHANGED", 0);
  }
}

void UploadProtocol::verify(const DesktopQueueItem& item, const std::string& run) {
  RunReply final_run = RunReply::from(authorised(*item.ownerId, UploadRequest{"GET", "/api/runs/" + run, {}, {}, {}, {}}));
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
