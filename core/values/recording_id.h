#pragma once
// Recording ids: a version-4 UUID from the system's random source, in lower case
// (for example "3f0c1a52-9b7e-4c1d-8e2a-0f6b5d4c3b2a"). The id names <id>.wav, <id>.wav.json
// and <id>.upload.json, so nothing else may ever pass for one.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace talvo {

// A fresh lower-case version-4 UUID.
std::string makeRecordingId();

// True when `text` is exactly a lower-case version-4 UUID of the RFC 4122 variant:
// 8-4-4-4-12 lower-case hex digits, version nibble 4, variant nibble 8, 9, a or b.
bool isRecordingId(std::string_view text) noexcept;

// The recording's audio file in the recordings directory: "<id>.wav".
std::string recordingFileName(std::string_view id);
// Whether `name` is such a file name: a recording id followed by ".wav".
bool isRecordingFileName(std::string_view name) noexcept;

// `count` bytes from the kernel's cryptographic random source (getrandom). Throws
// std::system_error if the kernel cannot supply them.
std::vector<std::uint8_t> secureRandomBytes(std::size_t count);

}  // namespace talvo
