#pragma once
// Lower-case hexadecimal text of bytes, two digits a byte: the form in which digests travel
// between the program and the service.
#include <cstddef>
#include <string>

namespace talvo {

inline std::string lowerHex(const unsigned char* bytes, std::size_t count) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(count * 2);
  for (std::size_t i = 0; i < count; ++i) {
    text.push_back(digits[bytes[i] >> 4]);
    text.push_back(digits[bytes[i] & 0x0f]);
  }
  return text;
}

}  // namespace talvo
