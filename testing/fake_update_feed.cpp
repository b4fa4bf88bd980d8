#include "testing/fake_update_feed.h"

#include <archive.h>
#include <archive_entry.h>
#include <httplib.h>
#include <openssl/evp.h>

#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>

#include "core/values/base64.h"
#include "core/values/hex.h"
#include "testing/fake_transcription_service.h"

namespace talvo::testing {
namespace {

EVP_PKEY* asKey(void* key) { return static_cast<EVP_PKEY*>(key); }

std::string sha256(std::string_view bytes) {
  unsigned char digest[32];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string sha256Hex(std::string_view bytes) {
  auto digest = sha256(bytes);
  return lowerHex(reinterpret_cast<const unsigned char*>(digest.data()), digest.size());
}

}  // namespace

FakeUpdateFeed::FakeUpdateFeed() {
  key_ = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
  if (key_ == nullptr) throw std::runtime_error("cannot make an Ed25519 key");
}

FakeUpdateFeed::~FakeUpdateFeed() { EVP_PKEY_free(asKey(key_)); }

std::string FakeUpdateFeed::publicKey() const {
  std::uint8_t raw[32];
  std::size_t length = sizeof raw;
  EVP_PKEY_get_raw_public_key(asKey(key_), raw, &length);
  return encodeBase64(std::span<const std::uint8_t>(raw, length));
}

std::string FakeUpdateFeed::sign(std::string_view bytes) const {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  std::uint8_t signature[64];
  std::size_t length = sizeof signature;
  bool ok = EVP_DigestSignInit(context, nullptr, nullptr, nullptr, asKey(key_)) == 1 &&
            EVP_DigestSign(context, signature, &length, reinterpret_cast<const unsigned char*>(bytes.data()),
                           bytes.size()) == 1;
  EVP_MD_CTX_free(context);
  if (!ok) throw std::runtime_error("cannot sign");
  return encodeBase64(std::span<const std::uint8_t>(signature, length));
}

std::string FakeUpdateFeed::makeArchive(const std::vector<File>& files) {
  std::string output;
  archive* writer = archive_write_new();
  archive_write_add_filter_gzip(writer);
  archive_write_set_format_pax_restricted(writer);
  archive_write_open(
      writer, &output, nullptr,
      [](archive*, void* context, const void* data, size_t size) -> la_ssize_t {
        static_cast<std::string*>(context)->append(static_cast<const char*>(data), size);
        return static_cast<la_ssize_t>(size);
      },
      nullptr);
  std::set<std::string> directories;
  for (const auto& file : files) {
    // Directories first, as tar does.
    for (auto slash = file.path.find('/'); slash != std::string::npos; slash = file.path.find('/', slash + 1)) {
      std::string directory = file.path.substr(0, slash);
      if (directory.empty() || directory == ".." || directory.ends_with("/..") || !directories.insert(directory).second)
        continue;
      archive_entry* entry = archive_entry_new();
      archive_entry_set_pathname(entry, directory.c_str());
      archive_entry_set_filetype(entry, AE_IFDIR);
      archive_entry_set_perm(entry, 0755);
      archive_write_header(writer, entry);
      archive_entry_free(entry);
    }
    archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, file.path.c_str());
    archive_entry_set_filetype(entry, file.symlink.empty() ? AE_IFREG : AE_IFLNK);
    archive_entry_set_perm(entry, file.mode);
    if (!file.symlink.empty()) archive_entry_set_symlink(entry, file.symlink.c_str());
    if (!file.hardlink.empty()) archive_entry_set_hardlink(entry, file.hardlink.c_str());
    const bool data = file.symlink.empty() && file.hardlink.empty();
    archive_entry_set_size(entry, data ? static_cast<la_int64_t>(file.content.size()) : 0);
    archive_write_header(writer, entry);
    if (data) archive_write_data(writer, file.content.data(), file.content.size());
    archive_entry_free(entry);
  }
  archive_write_close(writer);
  archive_write_free(writer);
  return output;
}

std::string FakeUpdateFeed::programArchive(const std::string& version, const std::string& relaunchLog) {
  std::string script =
      "#!/bin/sh\n"
      "if [ \"$1\" = --version ] || [ \"$1\" = --self-check ]; then echo " +
      version +
      "; exit 0; fi\n"
      "echo " +
      version + " >> '" + relaunchLog + "'\n";
  return makeArchive(releaseTree(
      version,
      {{"bin/talvo", script, 0755}, {"share/applications/pro.talvo.recorder.desktop", "[Desktop Entry]\n", 0644}}));
}

std::vector<FakeUpdateFeed::File> FakeUpdateFeed::releaseTree(const std::string& version, std::vector<File> files) {
  std::string manifest = "TALVO manifest 1\n";
  for (const auto& file : files)
    manifest += sha256Hex(file.content) + " " + std::to_string(file.content.size()) + " " + file.path + "\n";
  files.push_back({"MANIFEST", manifest, 0644});
  for (auto& file : files) file.path = "TALVO-" + version + "/" + file.path;
  return files;
}

void FakeUpdateFeed::install(FakeTranscriptionService& service) {
  service_ = &service;
  service.addRoute("GET", "/desktop-updates/linux.xml", [this](const httplib::Request&, httplib::Response& response) {
    response.set_content(feed(), "application/rss+xml");
  });
  service.addRoute("GET", R"(/desktop-downloads/([0-9a-f]{64})\.tar\.gz)",
                   [this](const httplib::Request& request, httplib::Response& response) {
                     std::lock_guard lock(mutex_);
                     ++downloads_;
                     for (const auto& release : releases_) {
                       if (release.sha256 != request.matches[1].str()) continue;
                       if (release.tamper == Tamper::truncated) {
                         // Declares the whole archive, sends half of it, then drops the connection.
                         auto archive = std::make_shared<std::string>(release.archive);
                         response.set_content_provider(archive->size(), "application/gzip",
                                                       [archive](size_t offset, size_t, httplib::DataSink& sink) {
                                                         if (offset >= archive->size() / 2) return false;
                                                         sink.write(archive->data(), archive->size() / 2);
                                                         return true;
                                                       });
                         return;
                       }
                       response.set_content(release.archive, "application/gzip");
                       return;
                     }
                     FakeTranscriptionService::refuse(response, 404, "NOT_FOUND");
                   });
}

void FakeUpdateFeed::publish(const std::string& version, std::string archive, Tamper tamper,
                             const std::string& architecture) {
  if (tamper == Tamper::escapingTree) {
    archive = makeArchive({{"bin/talvo", "#!/bin/sh\necho " + version + "\n", 0755}, {"../escaped", "outside\n"}});
  }
  std::lock_guard lock(mutex_);
  Release release{version, std::move(archive), "", tamper, architecture};
  release.sha256 = sha256Hex(release.archive);
  releases_.push_back(std::move(release));
}

void FakeUpdateFeed::setFeedDocument(std::string document) {
  std::lock_guard lock(mutex_);
  document_ = std::move(document);
}

std::string FakeUpdateFeed::archiveUrl(const std::string& version) const {
  std::lock_guard lock(mutex_);
  for (const auto& release : releases_) {
    if (release.version == version) return urlOf(release);
  }
  return {};
}

std::string FakeUpdateFeed::urlOf(const Release& release) const {
  std::string origin = service_->origin();
  if (release.tamper == Tamper::otherAddress) origin = "https://localhost:" + std::to_string(service_->port());
  return origin + "/desktop-downloads/" + release.sha256 + ".tar.gz";
}

int FakeUpdateFeed::downloads() const {
  std::lock_guard lock(mutex_);
  return downloads_;
}

std::optional<std::string> FakeUpdateFeed::command(const std::string& line) {
  std::istringstream words(line);
  std::string verb, version, file, how;
  words >> verb >> version >> file >> how;
  if (verb != "publish") return std::nullopt;
  static const std::map<std::string, Tamper> tampers = {
      {"", Tamper::none},
      {"bad-signature", Tamper::badSignature},
      {"wrong-length", Tamper::wrongLength},
      {"other-address", Tamper::otherAddress},
      {"truncated", Tamper::truncated},
      {"escaping-tree", Tamper::escapingTree},
      {"other-version", Tamper::otherVersion},
  };
  auto tamper = tampers.find(how);
  std::ifstream in(file, std::ios::binary);
  std::string archive((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (version.empty() || archive.empty() || tamper == tampers.end())
    return "usage: publish VERSION FILE [bad-signature|wrong-length|other-address|truncated|escaping-tree|"
           "other-version]\n";
  publish(version, std::move(archive), tamper->second);
  return "published " + version + " at " + archiveUrl(version) + "\n";
}

std::string FakeUpdateFeed::feed() const {
  std::vector<Release> releases;
  {
    std::lock_guard lock(mutex_);
    if (!document_.empty()) return document_;
    releases = releases_;
  }
  std::string items;
  for (const auto& release : releases) {
    std::string digest = release.sha256;
    if (release.tamper == Tamper::badSignature) digest = sha256Hex(release.archive + "x");
    const std::string version = release.tamper == Tamper::otherVersion ? "0.0.1" : release.version;
    const std::string message = "TALVO release archive v1\n" + version + "\n" + release.architecture + "\n" + digest;
    std::size_t length = release.archive.size() + (release.tamper == Tamper::wrongLength ? 7 : 0);
    items += "<item><title>TALVO " + release.version +
             "</title>"
             "<sparkle:version>" +
             release.version +
             "</sparkle:version>"
             "<sparkle:shortVersionString>" +
             release.version +
             "</sparkle:shortVersionString>"
             "<enclosure url=\"" +
             urlOf(release) + "\" length=\"" + std::to_string(length) +
             "\" type=\"application/gzip\" sparkle:architecture=\"" + release.architecture +
             "\" sparkle:edSignature=\"" + sign(message) + "\"/></item>";
  }
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
         "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">"
         "<channel><title>TALVO</title>" +
         items + "</channel></rss>";
}

}  // namespace talvo::testing
