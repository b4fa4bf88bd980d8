#pragma once
// Incremental SHA-256 (OpenSSL EVP) with the lower-case hexadecimal form the queue and the
// service exchange: 64 digits, two per byte.
#include <cstddef>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace talvo {

class UploadSha256 {
 public:
  UploadSha256();
  ~UploadSha256();
  UploadSha256(const UploadSha256&) = delete;
  UploadSha256& operator=(const UploadSha256&) = delete;

  void update(const void* data, std::size_t size);
  // The digest as 64 lower-case hex digits; the object starts over afterwards.
  std::string finishHex();

  static std::string hex(std::string_view data);

 private:
  evp_md_ctx_st* context_;
};

}  // namespace talvo
