#include "cloud/cloud_secrets.h"

#include <system_error>

#include "cloud/cloud_failure.h"
#include "cloud/upload_sha256.h"
#include "core/values/base64.h"
#include "core/values/recording_id.h"

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

std::string sha256Hex(const std::string& text) { return UploadSha256::hex(text); }

}  // namespace talvo
