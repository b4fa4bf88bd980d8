#include "cloud/cloud_secrets.h"

#include <openssl/evp.h>

#include <system_error>

#include "cloud/cloud_failure.h"
#include "core/base64.h"
#include "core/recording_id.h"

namespace talvo {

std::string makeRotationId() { return makeRecordingId(); }

std::string makeVerifier() {
  std::vector<std::uint8_t> bytes;
  try {
    bytes = secureRandomBytes(32);
  } catch (const std::system_error&) {
    throw CloudFailure("RANDOM_UNAVAILABLE", 0);
  }
  return encodeBase64Url(bytes);
}

std::string sha256Hex(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("SHA-256 unavailable");
  static constexpr char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(digits[digest[i] >> 4]);
    hex.push_back(digits[digest[i] & 15]);
  }
  return hex;
}

}  // namespace talvo
