#pragma once
// The conversation with the service for one recording. The client keeps no memory of what
// it sent: every attempt re-hashes the file, asks the service what it holds and sends only
// what is missing, so an upload broken off anywhere continues at the next attempt.
//
//   recorded/uploading
//        │ re-fingerprint; must match the record           (else FILE_CHANGED)
//        ▼ save "uploading"
//   1 create run ──► 2 look up run ──"finalized"────────────────────────────┐
//                        │ "open"                                           │
//                        ▼                                                  │
//                    3 list parts  (paged / >512 / duplicate → CHUNK_CONFLICT)
//                        ▼                                                  │
//                    4 stored parts must equal the fingerprint's parts    │
//                      (else CHUNK_CONFLICT); each missing part is read and │
//                      PUT with its fingerprinted SHA-256 (the service      │
//                      refuses other bytes: FILE_CHANGED); the reply must   │
//                      echo seq/hash/size                                   │
//                        ▼                                                  │
//                    5 finalize (RUN_FINALIZED / FINALIZE_CONFLICT in 3-5 ──┤
//                        ▼          mean "someone finished it": verify)     │
//                    6 verify: finalized, same size and SHA-256 ◄───────────┘
//                        ▼ save "uploaded" (or "uploaded-partial")
//
// Every request carries a bearer token for the item's owner; a 401 is answered once with a
// token obtained for the refused one, and the repeat's outcome is final.
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cloud/desktop_queue_item.h"
#include "cloud/queue_cloud.h"
#include "cloud/queue_directory.h"
#include "cloud/upload_replies.h"

namespace talvo {

class UploadProtocol {
 public:
  // One part of the upload: the queue's hashing block, so a block's hash is a part's.
  static constexpr std::int64_t chunkSize = static_cast<std::int64_t>(QueueDirectory::blockSize);
  static constexpr std::size_t maximumParts = 512;

  using SaveRecord = std::function<void(const DesktopQueueItem&)>;

  UploadProtocol(QueueCloud& cloud, const QueueDirectory& directory) : cloud_(cloud), directory_(directory) {}

  // Uploads a "recorded" or "uploading" item of the connected account; returns the item as saved
  // in "uploaded" or "uploaded-partial". Records are written only through `save`.
  DesktopQueueItem upload(DesktopQueueItem item, const SaveRecord& save);

  // Processing status and processing request for the item's recording.
  ProcessReply processingStatus(const DesktopQueueItem& item);
  ProcessReply requestProcessing(const DesktopQueueItem& item);

  // One request under the authorised-request rule (one refresh and repeat after a 401).
  UploadReply authorised(const std::string& owner, const UploadRequest& request);

  static nlohmann::json metadata(const DesktopQueueItem& item);
  static std::string title(const DesktopQueueItem& item);
  static std::int64_t partCount(std::int64_t bytes) { return (bytes + chunkSize - 1) / chunkSize; }
  // Length of part `seq` of a file of `bytes` bytes: the part size, the last one the rest.
  static std::int64_t partLength(std::int64_t bytes, std::int64_t seq) {
    return std::min(chunkSize, bytes - seq * chunkSize);
  }

  // Steps of `upload` after the run is known to be open: list what the service holds, compare
  // it with the fingerprint's part hashes and send the missing parts, one at a time. Public so
  // that the part loop can be measured on its own.
  void sendParts(const DesktopQueueItem& item, const std::string& run, const std::vector<std::string>& fingerprinted);

 private:
  void verify(const DesktopQueueItem& item, const std::string& run);

  QueueCloud& cloud_;
  const QueueDirectory& directory_;
};

}  // namespace talvo
