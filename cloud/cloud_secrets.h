#pragma once
// The identifiers and secrets this computer makes for pairing and refresh.
#include <string>

namespace talvo {

// A random lower-case UUID (operation, rotation and flight identifiers).
std::string makeRotationId();

// 32 random bytes as unpadded URL-safe Base64 (43 characters). Fails with
// CloudFailure("RANDOM_UNAVAILABLE", 0) when the system cannot supply random bytes.
std::string makeVerifier();

// SHA-256 of the text's bytes as 64 lower-case hex digits.
std::string sha256Hex(const std::string& text);

}  // namespace talvo
