#include "cloud/upload_sha256.h"

#include <openssl/evp.h>

#include <stdexcept>

#include "core/values/hex.h"

namespace talvo {

namespace {
void check(int result) {
  if (result != 1) throw std::runtime_error("SHA-256 unavailable");
}
}  // namespace

UploadSha256::UploadSha256() : context_(EVP_MD_CTX_new()) {
  if (context_ == nullptr) throw std::bad_alloc();
  if (EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(context_);
    throw std::runtime_error("SHA-256 unavailable");
  }
}

UploadSha256::~UploadSha256() { EVP_MD_CTX_free(context_); }

void UploadSha256::update(const void* data, std::size_t size) { check(EVP_DigestUpdate(context_, data, size)); }

std::string UploadSha256::finishHex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  check(EVP_DigestFinal_ex(context_, digest, &length));
  check(EVP_DigestInit_ex(context_, EVP_sha256(), nullptr));
  return lowerHex(digest, length);
}

std::string UploadSha256::hex(std::string_view data) {
  UploadSha256 hash;
  hash.update(data.data(), data.size());
  return hash.finishHex();
}

}  // namespace talvo
