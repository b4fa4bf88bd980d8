// Base64url and Base64: a text decodes only when it is the one encoding of its bytes, and any
// bytes encode to a text that decodes back to them.
#include <vector>

#include "core/values/base64.h"
#include "fuzz/fuzz_support.h"

using namespace talvo;

TALVO_FUZZ(data) {
  const auto input = fuzz::text(data, size);
  if (auto bytes = decodeBase64Url(input)) fuzz::require(encodeBase64Url(*bytes) == input, "base64url not canonical");
  if (auto bytes = decodeBase64(input)) fuzz::require(encodeBase64(*bytes) == input, "base64 not canonical");
  const std::span<const std::uint8_t> raw(data, size);
  const std::vector<std::uint8_t> expected(data, data + size);
  fuzz::require(decodeBase64Url(encodeBase64Url(raw)) == expected, "base64url round trip");
  fuzz::require(decodeBase64(encodeBase64(raw)) == expected, "base64 round trip");
  return 0;
}
