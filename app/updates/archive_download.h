#pragma once
// Fetching a release archive and proving it is ours. The body is streamed through the bounded
// transport into an anonymous private file (created 0600 and unlinked at once, so nothing is
// left behind whatever happens), hashed on the way; the archive is accepted only when
//   - its size equals the feed's length (a longer body is cut off the moment it passes it),
//   - its SHA-256 equals the hash in its own address (/desktop-downloads/<sha256>.tar.gz),
//   - its Ed25519 signature from the feed verifies against the build's public key.
// The signature is made over a short message that names what is signed (signedMessage below):
// a fixed context line, the release's version and architecture, and the archive's SHA-256 in
// hexadecimal. So a signature cannot be replayed for another version or architecture, nor taken
// from something else the key signs. It covers the digest, not the whole archive: Ed25519 over a
// message needs the whole message at once, and an archive is never held in memory. The digest is
// the one just computed while streaming and already matched against the address, so one pass over
// the bytes proves both.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "app/updates/appcast_item.h"
#include "cloud/desktop_http_transport.h"
#include "core/system/unique_fd.h"

namespace talvo::ArchiveDownload {

using PublicKey = std::array<std::uint8_t, 32>;

// Downloads `item` into a new anonymous file in `directory` and verifies it as above. Returns
// the file, positioned at its start. Throws UpdateError: downloadFailed for transport failures
// and truncated bodies, archiveInvalid for a length, hash or signature that does not match.
// `progress` is called with the fraction received (0..1) on the calling thread.
UniqueFd fetch(DesktopHTTPTransport& transport, const AppcastItem& item, const PublicKey& key,
               const std::string& directory, const std::function<void(double)>& progress = {},
               std::shared_ptr<CancellationFlag> cancellation = {});

inline constexpr std::string_view signatureContext = "TALVO release archive v1";

// "<context>\n<version>\n<architecture>\n<sha256 in lower-case hex>" (no final newline).
std::string signedMessage(const AppcastItem& item, std::string_view sha256Hex);

// Verifies an Ed25519 `signature` (Base64 of 64 bytes) of `message` with `key`.
bool signatureValid(std::string_view message, std::string_view signature, const PublicKey& key);

}  // namespace talvo::ArchiveDownload
