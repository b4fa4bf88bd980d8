#pragma once
// The service's replies to the upload and processing requests, read strictly: a missing
// required member or a member of the wrong type makes the call fail with "RESPONSE_INVALID"
// carrying the reply's HTTP status. Unknown members are ignored.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cloud/queue_cloud.h"

namespace talvo {

struct RunReply {
  std::string id;
  std::string status;
  std::optional<std::string> sha256;
  std::optional<std::int64_t> bytes;

  static RunReply from(const UploadReply& reply);
};

struct ChunkList {
  struct Entry {
    std::int64_t seq = 0;
    std::string sha256;
    std::int64_t bytes = 0;
  };
  std::vector<Entry> chunks;
  std::optional<std::int64_t> nextAfter;

  static ChunkList from(const UploadReply& reply);
};

struct PartReply {
  std::int64_t seq = 0;
  std::string sha256;
  std::int64_t bytes = 0;

  static PartReply from(const UploadReply& reply);
};

// The finalize reply: an object, whatever it holds.
struct EmptyReply {
  static EmptyReply from(const UploadReply& reply);
};

struct ProcessReply {
  struct Job {
    std::string status;
  };
  std::optional<Job> job;

  static ProcessReply from(const UploadReply& reply);
};

}  // namespace talvo
