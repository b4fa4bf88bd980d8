#pragma once
// The per-recording upload record, `<id>.upload.json` beside `<id>.wav`. It is the only memory
// of which recordings still have to be sent, so it is validated strictly on every read and
// written only through the queue's atomic save.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace talvo {

namespace queue_state {
inline constexpr const char* capturing = "capturing";
inline constexpr const char* recorded = "recorded";
inline constexpr const char* uploading = "uploading";
inline constexpr const char* uploaded = "uploaded";
inline constexpr const char* uploadedPartial = "uploaded-partial";
inline constexpr const char* processing = "processing";
inline constexpr const char* processingUnknown = "processing-unknown";
inline constexpr const char* done = "done";
inline constexpr const char* attention = "attention";

bool isKnown(std::string_view state) noexcept;
}  // namespace queue_state

struct DesktopQueueItem {
  // The largest WAV file the queue accepts (2 GiB); 512 parts of 4 MiB.
  static constexpr std::int64_t maximumBytes = 2147483648LL;

  std::int64_t schema = 1;
  std::string id;
  std::string startedAt;
  std::optional<std::string> ownerId;
  std::string state = queue_state::capturing;
  bool interrupted = false;
  std::int64_t bytes = 0;
  std::optional<std::string> sha256;
  bool processAttempted = false;
  std::optional<std::string> errorCode;
  double nextAttempt = 0;

  bool operator==(const DesktopQueueItem&) const = default;

  // The record file's name: "<id>.upload.json".
  std::string fileName() const { return id + ".upload.json"; }

  // Every rule a stored record must satisfy (schema, id form, owner form, known state, hash
  // form, bounded start text, size within 0 … 2^31).
  bool valid() const;

  // Compact JSON with sorted keys; absent optional fields are left out.
  std::string toJson() const;
  // Strict reading: every required key present with its exact JSON type (integers must be
  // integers), optional keys missing or null mean absent. Throws nlohmann::json's exceptions
  // for malformed text, JsonDecodingError for a missing key or a wrong type. Validity is the
  // caller's check.
  static DesktopQueueItem fromJson(std::string_view text);
};

}  // namespace talvo
