#pragma once
// Fetching a release archive and proving it is ours. The body is streamed through the bounded
// transport into an anonymous private file (created 0600 and unlinked at once, so nothing is
// left behind whatever happens), hashed on the way; the archive is accepted only when
//   - its size equals the feed's length (a longer body is cut off the moment it passes it),
//   - its SHA-256 equals the hash in its own address (/desktop-downloads/<sha256>.tar.gz),
//   - its Ed25519 signature from the feed verifies against the build's public key.
// The signature is made over the archive's SHA-256 digest (the 32 raw bytes), not over the whole
// archive: Ed25519 over a message needs the whole message at once, and an archive of hundreds of
// megabytes is never held in memory. The digest is the one just computed while streaming and
// already matched against the address, so one pass over the bytes proves both.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "app/updates/appcast_item.h"
#include "cloud/desktop_http_transport.h"
#include "core/unique_fd.h"

namespace talvo::ArchiveDownload {

using PublicKey = std::array<std::uint8_t, 32>;

// Downloads `item` into a new anonymous file in `directory` and verifies it as above. Returns
// the file, positioned at its start. Throws UpdateError: downloadFailed for transport failures
// and truncated bodies, archiveInvalid for a length, hash or signature that does not match.
// `progress` is called with the fraction received (0..1) on the calling thread.
UniqueFd fetch(DesktopHTTPTransport& transport, const AppcastItem& item, const PublicKey& key,
               const std::string& directory, const std::function<void(double)>& progress = {},
               std::shared_ptr<CancellationFlag> cancellation = {});

// Verifies an Ed25519 `signature` (Base64 of 64 bytes) of `message` with `key`; the message of
// an archive's signature is its raw SHA-256 digest.
bool signatureValid(std::string_view message, std::string_view signature, const PublicKey& key);

}  // namespace talvo::ArchiveDownload
