#pragma once
// Base64 (RFC 4648). The URL-safe unpadded form carries pairing verifiers and hand-off values;
// its decoder accepts only the canonical encoding, so one byte string has exactly one text.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace talvo {

// URL-safe alphabet ("-", "_"), no "=" padding.
std::string encodeBase64Url(std::span<const std::uint8_t> bytes);

// Strict inverse of encodeBase64Url: only the URL-safe alphabet, no padding, no whitespace,
// a length that an encoding can have, and unused trailing bits zero. Otherwise none.
std::optional<std::vector<std::uint8_t>> decodeBase64Url(std::string_view text);

// Standard alphabet with "=" padding (RFC 4648 section 4).
std::string encodeBase64(std::span<const std::uint8_t> bytes);
// Strict inverse of encodeBase64 (padding required, canonical trailing bits). Otherwise none.
std::optional<std::vector<std::uint8_t>> decodeBase64(std::string_view text);

}  // namespace talvo
