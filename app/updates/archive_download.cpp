#include "app/updates/archive_download.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "app/updates/update_error.h"
#include "cloud/cloud_failure.h"
#include "core/values/base64.h"
#include "core/values/hex.h"
#include "core/system/posix_file.h"
#include "core/updates/update_archive_policy.h"

namespace talvo::ArchiveDownload {
namespace {

[[noreturn]] void invalid(const std::string& why) {
  throw UpdateError(UpdateError::Domain::updater, UpdateError::archiveInvalid, "update archive refused: " + why);
}

[[noreturn]] void downloadFailed(const std::string& why) {
  throw UpdateError(UpdateError::Domain::updater, UpdateError::downloadFailed, "update download failed: " + why);
}

// The <sha256> of ".../desktop-downloads/<sha256>.tar.gz".
std::string addressHash(const std::string& url) {
  auto slash = url.rfind('/');
  std::string_view name = slash == std::string::npos ? std::string_view() : std::string_view(url).substr(slash + 1);
  if (!name.ends_with(UpdateArchivePolicy::archiveExtension)) invalid("address without a hash");
  name.remove_suffix(UpdateArchivePolicy::archiveExtension.size());
  if (!UpdateArchivePolicy::isLowerHexDigest(name)) invalid("address without a hash");
  return std::string(name);
}

struct DigestContext {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  ~DigestContext() { EVP_MD_CTX_free(context); }
};

}  // namespace

std::string signedMessage(const AppcastItem& item, std::string_view sha256Hex) {
  return std::string(signatureContext) + "\n" + item.version + "\n" + item.architecture + "\n" + std::string(sha256Hex);
}

bool signatureValid(std::string_view message, std::string_view signature, const PublicKey& key) {
  auto bytes = decodeBase64(signature);
  if (!bytes || bytes->size() != 64) return false;
  EVP_PKEY* pkey = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size());
  if (pkey == nullptr) return false;
  DigestContext verifier;
  bool valid = verifier.context != nullptr &&
               EVP_DigestVerifyInit(verifier.context, nullptr, nullptr, nullptr, pkey) == 1 &&
               EVP_DigestVerify(verifier.context, bytes->data(), bytes->size(),
                                reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
  EVP_PKEY_free(pkey);
  return valid;
}

UniqueFd fetch(DesktopHTTPTransport& transport, const AppcastItem& item, const PublicKey& key,
               const std::string& directory, const std::function<void(double)>& progress,
               std::shared_ptr<CancellationFlag> cancellation) {
  const std::string expectedHash = addressHash(item.url);
  if (item.length == 0) invalid("length");
  std::string name = directory + "/.talvo-download-XXXXXX";
  UniqueFd file(mkostemp(name.data(), O_CLOEXEC));
  if (!file) throwFileError(FileErrorKind::unknownWrite);
  unlink(name.c_str());  // anonymous from now on: gone with the descriptor

  DigestContext hash;
  if (hash.context == nullptr || EVP_DigestInit_ex(hash.context, EVP_sha256(), nullptr) != 1) invalid("hash");
  std::uint64_t received = 0;
  HttpRequest request;
  request.url = item.url;
  request.cancellation = std::move(cancellation);
  request.bodyLimit = item.length;  // one byte more is refused at once
  request.totalLimit = std::chrono::hours(6);
  request.bodySink = [&](std::string_view piece) {
    posix_file::writeAll(file.get(), piece.data(), piece.size());
    EVP_DigestUpdate(hash.context, piece.data(), piece.size());
    received += piece.size();
    if (progress) progress(static_cast<double>(received) / static_cast<double>(item.length));
  };
  HttpResponse response;
  try {
    response = transport.send(request).response;
  } catch (const UpdateError&) {
    throw;
  } catch (const FileError&) {
    throw;
  } catch (const CloudFailure& failure) {
    // A body longer than the feed's length is cut off at the first byte too many.
    if (failure.code() == "RESPONSE_TOO_LARGE" || failure.code() == "RESPONSE_INVALID") invalid("length");
    downloadFailed(failure.code());
  } catch (const std::exception& error) {
    downloadFailed(error.what());
  }
  if (response.status != 200) downloadFailed("status " + std::to_string(response.status));
  // A complete reply of another size than the feed promised.
  if (received != item.length)
    invalid("length " + std::to_string(received) + " instead of " + std::to_string(item.length));
  unsigned char digest[32];
  unsigned int digestLength = 0;
  EVP_DigestFinal_ex(hash.context, digest, &digestLength);
  if (lowerHex(digest, digestLength) != expectedHash) invalid("hash");
  if (!signatureValid(signedMessage(item, expectedHash), item.signature, key)) invalid("signature");
  if (lseek(file.get(), 0, SEEK_SET) != 0) throwFileError(FileErrorKind::unknownRead);
  return file;
}

}  // namespace talvo::ArchiveDownload
