#pragma once
// Test support: reading back what a journal wrote.
#include <cstdint>
#include <string>

namespace talvo::wave {

inline std::uint32_t readUint32(const std::uint8_t* at) {
  return std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16 | std::uint32_t{at[3]} << 24;
}

}  // namespace talvo::wave
