#include "core/values/base64.h"

namespace talvo {
namespace {

constexpr char standardAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char urlSafeAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string encode(std::span<const std::uint8_t> bytes, const char* alphabet, bool pad) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t group = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    text.push_back(alphabet[(group >> 18) & 63]);
    text.push_back(alphabet[(group >> 12) & 63]);
    text.push_back(alphabet[(group >> 6) & 63]);
    text.push_back(alphabet[group & 63]);
  }
  std::size_t rest = bytes.size() - i;
  if (rest == 1) {
    std::uint32_t group = bytes[i] << 16;
    text.push_back(alphabet[(group >> 18) & 63]);
    text.push_back(alphabet[(group >> 12) & 63]);
    if (pad) text.append("==");
  } else if (rest == 2) {
    std::uint32_t group = (bytes[i] << 16) | (bytes[i + 1] << 8);
    text.push_back(alphabet[(group >> 18) & 63]);
    text.push_back(alphabet[(group >> 12) & 63]);
    text.push_back(alphabet[(group >> 6) & 63]);
    if (pad) text.push_back('=');
  }
  return text;
}

int valueOf(char c, const char* alphabet) {
  for (int v = 0; v < 64; ++v)
    if (alphabet[v] == c) return v;
  return -1;
}

// Decodes unpadded symbols; rejects impossible lengths and non-zero unused bits.
std::optional<std::vector<std::uint8_t>> decodeSymbols(std::string_view text, const char* alphabet) {
  if (text.size() % 4 == 1) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size() * 3 / 4);
  std::uint32_t buffer = 0;
  int bits = 0;
  for (char c : text) {
    int v = valueOf(c, alphabet);
    if (v < 0) return std::nullopt;
    buffer = (buffer << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes.push_back(static_cast<std::uint8_t>((buffer >> bits) & 0xff));
    }
  }
  if (bits > 0 && (buffer & ((1u << bits) - 1)) != 0) return std::nullopt;
  return bytes;
}

}  // namespace

std::string encodeBase64Url(std::span<const std::uint8_t> bytes) { return encode(bytes, urlSafeAlphabet, false); }

std::optional<std::vector<std::uint8_t>> decodeBase64Url(std::string_view text) {
  return decodeSymbols(text, urlSafeAlphabet);
}

std::string encodeBase64(std::span<const std::uint8_t> bytes) { return encode(bytes, standardAlphabet, true); }

std::optional<std::vector<std::uint8_t>> decodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  return decodeSymbols(text.substr(0, text.size() - padding), standardAlphabet);
}

}  // namespace talvo
