#include "cloud/desktop_queue_item.h"

#include <nlohmann/json.hpp>

#include "core/recording_id.h"

namespace talvo {

using nlohmann::json;

namespace queue_state {
bool isKnown(std::string_view state) noexcept {
  for (const char* known : {capturing, recorded, uploading, uploaded, uploadedPartial, processing,
                            processingUnknown, done, attention}) {
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

[[noreturn]] void wrongType(const json& value, const char* key, const char* expected) {
  throw json::type_error::create(302, std::string("key '") + key + "' must be " + expected, &value);
}

const json& required(const json& object, const char* key) {
  auto found = object.find(key);
  if (found == object.end()) {
    throw json::out_of_range::create(403, std::string("key '") + key + "' not found", &object);
  }
  return *found;
}

std::string requiredString(const json& object, const char* key) {
  const json& value = required(object, key);
  if (!value.is_string()) wrongType(value, key, "a string");
  return value.get<std::string>();
}

std::optional<std::string> optionalString(const json& object, const char* key) {
  auto found = object.find(key);
  if (found == object.end() || found->is_null()) return std::nullopt;
  if (!found->is_string()) wrongType(*found, key, "a string");
  return found->get<std::string>();
}

std::int64_t requiredInteger(const json& object, const char* key) {
  const json& value = required(object, key);
  if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<std::int64_t>();
  if (value.is_number_unsigned()) {
    auto unsigned_value = value.get<std::uint64_t>();
    if (unsigned_value <= static_cast<std::uint64_t>(INT64_MAX)) return static_cast<std::int64_t>(unsigned_value);
  }
  wrongType(value, key, "a 64-bit integer");
}

bool requiredBool(const json& object, const char* key) {
  const json& value = required(object, key);
  if (!value.is_boolean()) wrongType(value, key, "a boolean");
  return value.get<bool>();
}

double requiredNumber(const json& object, const char* key) {
  const json& value = required(object, key);
  if (!value.is_number()) wrongType(value, key, "a number");
  return value.get<double>();
}

}  // namespace

bool DesktopQueueItem::valid() const {
  return schema == 1 && isRecordingId(id) && (!ownerId || isOwnerId(*ownerId)) &&
         queue_state::isKnown(state) && (!sha256 || isSha256Hex(*sha256)) && characterCount(startedAt) <= 99 &&
         bytes >= 0 && bytes <= maximumBytes;
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
  if (!object.is_object()) wrongType(object, "(record)", "an object");
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
