#include "cloud/desktop_queue_item.h"

#include <nlohmann/json.hpp>

#include "core/values/json_fields.h"
#include "core/values/recording_id.h"

namespace talvo {

using nlohmann::json;
using namespace json_fields;

namespace queue_state {
bool isKnown(std::string_view state) noexcept {
  for (const char* known :
       {capturing, recorded, uploading, uploaded, uploadedPartial, processing, processingUnknown, done, attention}) {
    if (state == known) return true;
  }
  return false;
}
}  // namespace queue_state

namespace {

bool isOwnerId(const std::string& text) {
  if (text.empty() || text.size() > 16 || text[0] < '1' || text[0] > '9') return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool isSha256Hex(const std::string& text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// Characters, not bytes: UTF-8 continuation bytes do not start a character.
std::size_t characterCount(const std::string& text) {
  std::size_t count = 0;
  for (unsigned char c : text) {
    if ((c & 0xc0) != 0x80) ++count;
  }
  return count;
}

}  // namespace

bool DesktopQueueItem::valid() const {
  return schema == 1 && isRecordingId(id) && (!ownerId || isOwnerId(*ownerId)) && queue_state::isKnown(state) &&
         (!sha256 || isSha256Hex(*sha256)) && characterCount(startedAt) <= 99 && bytes >= 0 && bytes <= maximumBytes;
}

std::string DesktopQueueItem::toJson() const {
  // nlohmann's object is an ordered std::map, so keys come out sorted.
  json object = {
      {"schema", schema},
      {"id", id},
      {"startedAt", startedAt},
      {"state", state},
      {"interrupted", interrupted},
      {"bytes", bytes},
      {"processAttempted", processAttempted},
      {"nextAttempt", nextAttempt},
  };
  if (ownerId) object["ownerId"] = *ownerId;
  if (sha256) object["sha256"] = *sha256;
  if (errorCode) object["errorCode"] = *errorCode;
  return object.dump();
}

DesktopQueueItem DesktopQueueItem::fromJson(std::string_view text) {
  json object = json::parse(text);
  json_fields::object(object, "queue record");
  DesktopQueueItem item;
  item.schema = requiredInteger(object, "schema");
  item.id = requiredString(object, "id");
  item.startedAt = requiredString(object, "startedAt");
  item.ownerId = optionalString(object, "ownerId");
  item.state = requiredString(object, "state");
  item.interrupted = requiredBool(object, "interrupted");
  item.bytes = requiredInteger(object, "bytes");
  item.sha256 = optionalString(object, "sha256");
  item.processAttempted = requiredBool(object, "processAttempted");
  item.errorCode = optionalString(object, "errorCode");
  item.nextAttempt = requiredNumber(object, "nextAttempt");
  return item;
}

}  // namespace talvo
