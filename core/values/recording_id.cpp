#include "core/values/recording_id.h"

#include <cerrno>
#include <system_error>

#include "core/system/system_call.h"

namespace talvo {

std::vector<std::uint8_t> secureRandomBytes(std::size_t count) {
  std::vector<std::uint8_t> bytes(count);
  std::size_t filled = 0;
  while (filled < count) {
    ssize_t got = system_call::getrandom(bytes.data() + filled, count - filled, 0);
    if (got < 0) throw std::system_error(errno, std::generic_category(), "getrandom");
    filled += static_cast<std::size_t>(got);
  }
  return bytes;
}

std::string makeRecordingId() {
  auto bytes = secureRandomBytes(16);
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(digits[bytes[i] >> 4]);
    text.push_back(digits[bytes[i] & 0x0f]);
  }
  return text;
}

bool isRecordingId(std::string_view text) noexcept {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < 36; ++i) {
    char c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
    } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
      return false;
    }
  }
  if (text[14] != '4') return false;
  char variant = text[19];
  return variant == '8' || variant == '9' || variant == 'a' || variant == 'b';
}

namespace {
constexpr std::string_view wavExtension = ".wav";
}

std::string recordingFileName(std::string_view id) { return std::string(id) + std::string(wavExtension); }

bool isRecordingFileName(std::string_view name) noexcept {
  return name.size() > wavExtension.size() && name.ends_with(wavExtension) &&
         isRecordingId(name.substr(0, name.size() - wavExtension.size()));
}

}  // namespace talvo
