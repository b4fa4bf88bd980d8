#pragma once
// The update side of the fake transcription service: the release feed at
// /desktop-updates/linux.xml and the release archives at /desktop-downloads/<sha256>.tar.gz,
// signed with an Ed25519 key made when the object is created (its public half is what a test
// build trusts). The signed message is the one a release is signed with (see the README):
// "TALVO release archive v1\n<version>\n<architecture>\n<sha256 hex>". Each published release may be tampered with in
// one of the ways the updater must refuse.
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace talvo::testing {

class FakeTranscriptionService;

class FakeUpdateFeed {
 public:
  enum class Tamper {
    none,
    badSignature,  // the signature belongs to other bytes
    wrongLength,   // the feed's length differs from the archive's size
    otherAddress,  // the enclosure names the archive on another host (localhost)
    truncated,     // the download declares the whole length and stops half-way
    escapingTree,  // a correctly signed archive with an entry "../escaped"
    otherVersion,  // the signature of the same archive released as another version
  };

  // One file of a release archive; directories are implied by the paths. A file with a
  // symbolic or hard link target is written as that link instead (archives the updater refuses).
  struct File {
    std::string path;
    std::string content;
    unsigned mode = 0644;
    std::string symlink{};
    std::string hardlink{};
  };

  FakeUpdateFeed();
  ~FakeUpdateFeed();
  FakeUpdateFeed(const FakeUpdateFeed&) = delete;
  FakeUpdateFeed& operator=(const FakeUpdateFeed&) = delete;

  // Base64 of the 32-byte public key.
  std::string publicKey() const;
  // Base64 Ed25519 signature of `bytes`.
  std::string sign(std::string_view bytes) const;
  // A gzip-compressed tar archive of `files` (and of their directories).
  static std::string makeArchive(const std::vector<File>& files);
  // `files` as a release lays them out: in one folder TALVO-<version>/ with a MANIFEST.
  static std::vector<File> releaseTree(const std::string& version, std::vector<File> files);
  // The archive of a release (in its folder, with its manifest) whose bin/talvo is a shell script answering --version
  // and --self-check with `version` and appending "<version>" to `relaunchLog` when started without arguments.
  static std::string programArchive(const std::string& version, const std::string& relaunchLog);

  // Serves the feed and archives from `service` (before its start()).
  void install(FakeTranscriptionService& service);

  // Offers `archive` as release `version` for `architecture` (this build's by default),
  // tampered with as asked.
  void publish(const std::string& version, std::string archive, Tamper tamper = Tamper::none,
               const std::string& architecture = TALVO_ARCHITECTURE);
  // Serves `document` as the feed instead of the generated one (empty: generate again).
  void setFeedDocument(std::string document);
  // Address of the archive of `version` as written in the feed.
  std::string archiveUrl(const std::string& version) const;
  // Archive downloads started so far.
  int downloads() const;

  // A developer's command line, for talvo-dev-service:
  //   publish VERSION FILE [bad-signature|wrong-length|other-address|truncated|escaping-tree|other-version]
  // The reply to print, or none when the line is not for the update feed.
  std::optional<std::string> command(const std::string& line);

 private:
  struct Release {
    std::string version;
    std::string archive;
    std::string sha256;
    Tamper tamper = Tamper::none;
    std::string architecture;
  };
  std::string feed() const;
  std::string urlOf(const Release& release) const;

  void* key_ = nullptr;  // EVP_PKEY
  FakeTranscriptionService* service_ = nullptr;
  mutable std::mutex mutex_;
  std::vector<Release> releases_;
  std::string document_;
  int downloads_ = 0;
};

}  // namespace talvo::testing
