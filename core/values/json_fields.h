#pragma once
// Strict readers for the members of a JSON object, shared by every record read from the service
// or from disk.
// A missing required member, a wrong type, or a float where an integer belongs throws
// JsonDecodingError; a missing or null optional member reads as none.
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "core/values/json_decoding_error.h"

namespace talvo::json_fields {

inline const nlohmann::json& object(const nlohmann::json& json, const char* what) {
  if (!json.is_object()) throw JsonDecodingError(std::string(what) + " is not an object");
  return json;
}

inline const nlohmann::json* member(const nlohmann::json& json, const char* key) {
  auto it = json.find(key);
  if (it == json.end() || it->is_null()) return nullptr;
  return &*it;
}

inline std::string requiredString(const nlohmann::json& json, const char* key) {
  const auto* value = member(json, key);
  if (value == nullptr || !value->is_string()) throw JsonDecodingError(std::string("missing string ") + key);
  return value->get<std::string>();
}

// A credential that goes into an Authorization header: visible ASCII only, never empty, so no
// CR/LF (or anything else) can add a header of its own.
inline std::string requiredToken(const nlohmann::json& json, const char* key) {
  std::string value = requiredString(json, key);
  if (value.empty()) throw JsonDecodingError(std::string("empty token ") + key);
  for (unsigned char c : value)
    if (c < 0x21 || c > 0x7e) throw JsonDecodingError(std::string("token not visible ASCII: ") + key);
  return value;
}

inline std::optional<std::string> optionalString(const nlohmann::json& json, const char* key) {
  const auto* value = member(json, key);
  if (value == nullptr) return std::nullopt;
  if (!value->is_string()) throw JsonDecodingError(std::string("not a string: ") + key);
  return value->get<std::string>();
}

inline bool requiredBool(const nlohmann::json& json, const char* key) {
  const auto* value = member(json, key);
  if (value == nullptr || !value->is_boolean()) throw JsonDecodingError(std::string("missing boolean ") + key);
  return value->get<bool>();
}

inline std::optional<std::int64_t> optionalInteger(const nlohmann::json& json, const char* key) {
  const auto* value = member(json, key);
  if (value == nullptr) return std::nullopt;
  if (value->is_number_unsigned() &&
      value->get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
    throw JsonDecodingError(std::string("integer out of range: ") + key);
  if (value->is_number_integer()) return value->get<std::int64_t>();
  throw JsonDecodingError(std::string("not an integer: ") + key);
}

inline std::int64_t requiredInteger(const nlohmann::json& json, const char* key) {
  auto value = optionalInteger(json, key);
  if (!value) throw JsonDecodingError(std::string("missing integer ") + key);
  return *value;
}

inline std::optional<double> optionalNumber(const nlohmann::json& json, const char* key) {
  const auto* value = member(json, key);
  if (value == nullptr) return std::nullopt;
  if (!value->is_number()) throw JsonDecodingError(std::string("not a number: ") + key);
  return value->get<double>();
}

inline double requiredNumber(const nlohmann::json& json, const char* key) {
  auto value = optionalNumber(json, key);
  if (!value) throw JsonDecodingError(std::string("missing number ") + key);
  return *value;
}

inline void putOptional(nlohmann::json& json, const char* key, const std::optional<std::string>& value) {
  if (value) json[key] = *value;
}

}  // namespace talvo::json_fields
