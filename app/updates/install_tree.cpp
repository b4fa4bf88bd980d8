#include "app/updates/install_tree.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QProcess>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <vector>

#include "app/log_categories.h"
#include "app/updates/release_manifest.h"
#include "app/updates/update_error.h"
#include "cloud/upload_sha256.h"
#include "core/native_product.h"
#include "core/posix_file.h"

namespace talvo {
namespace {

constexpr const char* releaseFolderPrefix = "TALVO-";

[[noreturn]] void refuse(const std::string& why) {
  throw UpdateError(UpdateError::Domain::updater, UpdateError::installFailed, "update not installed: " + why);
}

std::string parentOf(const std::string& path) {
  auto slash = path.find_last_of('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

// The path's components; "." and empty ones dropped. Absolute paths and ".." are refused.
std::vector<std::string> components(const char* pathname) {
  if (pathname == nullptr || *pathname == '\0') refuse("entry without a name");
  std::string path = pathname;
  if (path[0] == '/') refuse("absolute path " + path);
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    auto end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (part == "..") refuse("path leaving the tree " + path);
    if (!part.empty() && part != ".") parts.push_back(part);
    start = end + 1;
  }
  return parts;
}

// Opens (creating when missing) the directory `name` inside `parent`, never through a link.
UniqueFd openDirectory(int parent, const std::string& name) {
  if (mkdirat(parent, name.c_str(), 0700) != 0 && errno != EEXIST) throwFileError(FileErrorKind::unknownWrite);
  UniqueFd fd(openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) refuse("a non-directory where a directory belongs: " + name);
  return fd;
}

// libarchive leaves the error text unset for some failures (an archive it cannot recognise at
// all); a null text must not reach std::string.
std::string archiveError(archive* handle) {
  const char* text = archive_error_string(handle);
  return text != nullptr ? text : "no details";
}

struct ArchiveReader {
  archive* handle = archive_read_new();
  ~ArchiveReader() { archive_read_free(handle); }
};

}  // namespace

InstallTree::InstallTree(std::string root, std::uint64_t sizeCap)
    : root_(lexicallyNormal(root)), sizeCap_(sizeCap), syncDirectory_(posix_file::syncDirectory) {
  if (root_.empty() || root_[0] != '/' || root_ == "/") throw std::invalid_argument("install root must be absolute");
}

void InstallTree::install(int archiveFd, const std::string& version) const {
  std::string staging = unpack(archiveFd);
  try {
    check(staging, version);
    exchange(staging);
  } catch (...) {
    removeTree(staging);
    throw;
  }
}

std::string InstallTree::makeStaging() const {
  const std::string parent = parentOf(root_);
  posix_file::makeDirectories(parent);
  struct stat folder {};
  if (lstat(parent.c_str(), &folder) != 0 || !posix_file::isPrivateDirectory(folder))
    refuse(parent + " is not the user's own folder, or others may write to it");
  removeLeftovers(root_);
  std::string staging = parent + "/." + nameOf(root_) + "-staging-XXXXXX";
  if (mkdtemp(staging.data()) == nullptr) throwFileError(FileErrorKind::unknownWrite);
  return staging;
}

std::string InstallTree::unpack(int archiveFd) const {
  std::string staging = makeStaging();
  try {
    UniqueFd top(open(staging.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!top) throwFileError(FileErrorKind::unknownWrite);
    ArchiveReader reader;
    archive_read_support_filter_gzip(reader.handle);
    archive_read_support_format_tar(reader.handle);
    if (archive_read_open_fd(reader.handle, archiveFd, 64 * 1024) != ARCHIVE_OK)
      refuse(std::string("unreadable archive: ") + archiveError(reader.handle));
    std::uint64_t total = 0;
    std::uint64_t entries = 0;
    std::string folder;
    std::vector<char> buffer(64 * 1024);
    archive_entry* entry = nullptr;
    int status;
    while ((status = archive_read_next_header(reader.handle, &entry)) == ARCHIVE_OK) {
      if (++entries > maximumEntries) refuse("too many entries");
      auto parts = components(archive_entry_pathname(entry));
      // A release holds its tree in one folder TALVO-<version>/, which becomes the staging
      // directory itself; every entry must then be inside it.
      if (entries == 1) folder = parts.size() >= 1 && parts[0].starts_with(releaseFolderPrefix) ? parts[0] : "";
      if (!folder.empty()) {
        if (parts.empty() || parts[0] != folder)
          refuse(std::string("entry outside the release folder: ") + archive_entry_pathname(entry));
        parts.erase(parts.begin());
      }
      const auto type = archive_entry_filetype(entry);
      if (archive_entry_hardlink(entry) != nullptr || archive_entry_symlink(entry) != nullptr ||
          (type != AE_IFREG && type != AE_IFDIR))
        refuse(std::string("entry that is not a file or directory: ") + archive_entry_pathname(entry));
      if (parts.empty()) continue;  // the tree's own "./"
      // Walk down from the staging directory, creating what is missing, one descriptor a step.
      UniqueFd directory(dup(top.get()));
      for (std::size_t i = 0; i + 1 < parts.size(); ++i) directory = openDirectory(directory.get(), parts[i]);
      // Permission bits only (no set-id, no sticky bit, nothing for others to write).
      const mode_t mode = archive_entry_perm(entry) & 0755;
      if (type == AE_IFDIR) {
        auto made = openDirectory(directory.get(), parts.back());
        if (fchmod(made.get(), mode | 0700) != 0) throwFileError(FileErrorKind::unknownWrite);
        continue;
      }
      if (archive_entry_size_is_set(entry) &&
          static_cast<std::uint64_t>(archive_entry_size(entry)) > sizeCap_ - std::min(total, sizeCap_))
        refuse("larger than the size cap");
      UniqueFd file(openat(directory.get(), parts.back().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                           mode | 0600));
      if (!file) {
        if (errno == EEXIST) refuse("entry listed twice: " + std::string(archive_entry_pathname(entry)));
        throwFileError(FileErrorKind::unknownWrite);
      }
      for (;;) {
        la_ssize_t read = archive_read_data(reader.handle, buffer.data(), buffer.size());
        if (read < 0) refuse(std::string("damaged archive: ") + archiveError(reader.handle));
        if (read == 0) break;
        total += static_cast<std::uint64_t>(read);
        if (total > sizeCap_) refuse("larger than the size cap");
        posix_file::writeAll(file.get(), buffer.data(), static_cast<std::size_t>(read));
      }
    }
    if (status != ARCHIVE_EOF) refuse(std::string("damaged archive: ") + archiveError(reader.handle));
    // A release that lists its files is exactly those files.
    if (faccessat(top.get(), ReleaseManifest::fileName, F_OK, AT_SYMLINK_NOFOLLOW) == 0) {
      try {
        ReleaseManifest::parse(readManifest(top.get())).verify(top.get(), true);
      } catch (const ManifestMismatch& mismatch) {
        refuse(std::string("the tree does not match its manifest: ") + mismatch.what());
      }
    }
    // Everything on disk before the tree can take the install's place.
    if (syncfs(top.get()) != 0) throwFileError(FileErrorKind::unknownWrite);
    return staging;
  } catch (...) {
    removeTree(staging);
    throw;
  }
}

void InstallTree::installFiles(const std::string& source, const std::string& version) const {
  UniqueFd tree(open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!tree) throw ManifestMismatch("нет папки " + source);
  const std::string text = readManifest(tree.get());
  const auto manifest = ReleaseManifest::parse(text);
  std::string staging = makeStaging();
  try {
    UniqueFd top(open(staging.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!top) throwFileError(FileErrorKind::unknownWrite);
    std::vector<char> buffer(64 * 1024);
    std::uint64_t total = 0;
    for (const auto& listed : manifest.files()) {
      total += listed.size;
      if (total > sizeCap_) throw ManifestMismatch("файлы программы больше допустимого");
      auto parts = components(listed.path.c_str());
      UniqueFd in = ReleaseManifest::openListed(tree.get(), listed.path);
      struct stat info {};
      if (fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode))
        throw ManifestMismatch(listed.path + " не обычный файл");
      UniqueFd directory(dup(top.get()));
      for (std::size_t i = 0; i + 1 < parts.size(); ++i) directory = openDirectory(directory.get(), parts[i]);
      UniqueFd out(openat(directory.get(), parts.back().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          (info.st_mode & 0755) | 0600));
      if (!out) throwFileError(FileErrorKind::unknownWrite);
      // Copied and hashed as it streams: what is installed is what was hashed.
      UploadSha256 hash;
      std::uint64_t copied = 0;
      for (;;) {
        const auto read = posix_file::readFully(in.get(), buffer.data(), buffer.size());
        if (read == 0) break;
        copied += read;
        if (copied > listed.size) break;
        hash.update(buffer.data(), read);
        posix_file::writeAll(out.get(), buffer.data(), read);
      }
      if (copied != listed.size) throw ManifestMismatch(listed.path + " другого размера");
      if (hash.finishHex() != listed.sha256) throw ManifestMismatch(listed.path + " изменён");
    }
    posix_file::replaceFileAt(top.get(), ReleaseManifest::fileName, text, 0644);
    if (syncfs(top.get()) != 0) throwFileError(FileErrorKind::unknownWrite);
    check(staging, version);
    exchange(staging);
  } catch (...) {
    removeTree(staging);
    throw;
  }
}

std::string InstallTree::readManifest(int tree) {
  UniqueFd file(openat(tree, ReleaseManifest::fileName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!file) throw ManifestMismatch("нет списка файлов MANIFEST");
  struct stat info {};
  if (fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) throw ManifestMismatch("MANIFEST не обычный файл");
  try {
    return posix_file::readBounded(file.get(), ReleaseManifest::maximumBytes);
  } catch (const std::exception&) {
    throw ManifestMismatch("список файлов MANIFEST не читается или слишком велик");
  }
}

void InstallTree::check(const std::string& tree, const std::string& version) {
  const std::string program = tree + "/bin/talvo";
  struct stat info {};
  if (lstat(program.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || (info.st_mode & S_IXUSR) == 0)
    refuse("bin/talvo missing or not executable");
  // The new program loads what it needs on a desktop (platform plugins, SVG, TLS store) before it
  // may take the installed one's place.
  std::string errors;
  const std::string answered = answerOf(program, "--self-check", 60000, &errors);
  if (answered != version)
    refuse("bin/talvo --self-check answered \"" + answered + "\", expected " + version +
           (errors.empty() ? std::string() : ": " + errors));
}

void InstallTree::exchange(const std::string& staging) const {
  UniqueFd parent(open(parentOf(root_).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!parent) throwFileError(FileErrorKind::unknownWrite);
  const std::string stagingName = nameOf(staging);
  const std::string rootName = nameOf(root_);
  bool exchanged = renameat2(parent.get(), stagingName.c_str(), parent.get(), rootName.c_str(), RENAME_EXCHANGE) == 0;
  if (!exchanged) {
    if (errno != ENOENT) throwFileError(FileErrorKind::unknownWrite);
    // First install: nothing to exchange with.
    if (renameat2(parent.get(), stagingName.c_str(), parent.get(), rootName.c_str(), RENAME_NOREPLACE) != 0)
      throwFileError(FileErrorKind::unknownWrite);
  }
  // The new tree is live now. A sync that fails only leaves the rename less durable; the
  // kernel still writes it back, so this is no reason to call the update failed.
  try {
    syncDirectory_(parent.get());
  } catch (const std::exception& error) {
    qCDebug(updatesLog) << "install folder not synced:" << error.what() << "- the install stands";
  }
  if (exchanged) removeTree(staging);  // now the previous tree
}

std::string InstallTree::versionOf(const std::string& program) {
  return answerOf(program, "--version", 10000, nullptr);
}

std::string InstallTree::answerOf(const std::string& program, const char* argument, int milliseconds,
                                  std::string* errors) {
  QProcess process;
  process.setProcessChannelMode(QProcess::SeparateChannels);
  process.setStandardInputFile(QProcess::nullDevice());
  if (errors == nullptr) process.setStandardErrorFile(QProcess::nullDevice());
  process.start(QString::fromStdString(program), {QString::fromLatin1(argument)});
  if (!process.waitForFinished(milliseconds)) {
    process.kill();
    process.waitForFinished(1000);
    if (errors != nullptr) *errors = "no answer in time";
    return {};
  }
  if (errors != nullptr) *errors = process.readAllStandardError().left(2048).trimmed().toStdString();
  if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) return {};
  QByteArray output = process.read(256);
  auto line = output.left(output.indexOf('\n') < 0 ? output.size() : output.indexOf('\n'));
  return line.trimmed().toStdString();
}

void InstallTree::removeLeftovers(const std::string& root) {
  const std::string normal = lexicallyNormal(root);
  // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) about "." + string.
  std::string staging = ".";
  staging += nameOf(normal);
  staging += "-staging-";
  std::error_code error;
  for (std::filesystem::directory_iterator entries(parentOf(normal), error), end; !error && entries != end;
       entries.increment(error)) {
    const std::string name = entries->path().filename().string();
    if (name.starts_with(staging) || name.starts_with(".talvo-download-")) removeTree(entries->path().string());
  }
}

void InstallTree::removeTree(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);  // removes links themselves, never their targets
}

}  // namespace talvo
