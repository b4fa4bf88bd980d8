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
#include <random>
#include <sstream>
#include <vector>

#include "app/log_categories.h"
#include "app/updates/release_manifest.h"
#include "app/updates/update_error.h"
#include "cloud/upload_sha256.h"
#include "core/program/native_product.h"
#include "core/system/posix_file.h"

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

// Whether a rename refused a flag the file system does not offer (NFS, CIFS, ecryptfs, FUSE).
bool flagRefused(int error) { return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP; }

// The names beside the install path `app` (all hidden, all in the same folder):
//   .app-tree-XXXXXX   a tree (the installed one, the kept previous one, or one being unpacked)
//   .app-previous      link to the tree the last update replaced
//   .app-link-XXXXXX   a link about to be renamed over `app` or `.app-previous`
//   .app-exchange      recovery marker of the one two-step move (a real directory at `app`)
struct Names {
  std::string root, tree, previous, link, marker, staging;
  explicit Names(const std::string& rootName)
      : root(rootName),
        tree("." + rootName + "-tree-"),
        previous("." + rootName + "-previous"),
        link("." + rootName + "-link-"),
        marker("." + rootName + "-exchange"),
        staging("." + rootName + "-staging-") {}
  // A tree name of ours: a plain name in the folder, nothing a link could lead elsewhere with.
  bool isTree(const std::string& name) const {
    return name.size() > tree.size() && name.starts_with(tree) && name.find('/') == std::string::npos;
  }
};

// The target of the link `name` in `parent`; empty when it is no link.
std::string linkTarget(int parent, const std::string& name) {
  char target[256];
  const auto length = readlinkat(parent, name.c_str(), target, sizeof target);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) return {};
  return std::string(target, static_cast<std::size_t>(length));
}

bool isDirectoryAt(int parent, const std::string& name) {
  struct stat info {};
  return !name.empty() && fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
}

std::string randomSuffix() {
  static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::random_device random;
  std::string suffix;
  for (int i = 0; i < 8; ++i) suffix += letters[random() % (sizeof letters - 1)];
  return suffix;
}

// A new link to `target` under a fresh temporary name; returns the name.
std::string makeLink(int parent, const Names& names, const std::string& target) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = names.link + randomSuffix();
    if (symlinkat(target.c_str(), parent, name.c_str()) == 0) return name;
    if (errno != EEXIST) break;
  }
  throwFileError(FileErrorKind::unknownWrite);
}

// Points `name` at `target` in one rename of a fresh link over it: a reader of `name` sees the
// old target or the new one, never nothing. Every file system with links renames a link over a
// link atomically; no flag is needed.
void publishLink(int parent, const Names& names, const std::string& name, const std::string& target) {
  const std::string link = makeLink(parent, names, target);
  if (renameat(parent, link.c_str(), parent, name.c_str()) != 0) {
    const int error = errno;
    unlinkat(parent, link.c_str(), 0);
    errno = error;
    throwFileError(FileErrorKind::unknownWrite);
  }
}

void syncQuietly(const std::function<void(int)>& sync, int parent) {
  // A sync that fails only leaves the rename less durable; the kernel still writes it back.
  try {
    sync(parent);
  } catch (const std::exception& error) {
    qCDebug(updatesLog) << "install folder not synced:" << error.what() << "- the install stands";
  }
}

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
  // Unpacked under its final name: the switch then only renames a link.
  std::string staging = parent + "/" + Names(nameOf(root_)).tree + "XXXXXX";
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
        // File systems without permissions (FAT through FUSE) cannot change them, nor need to.
        if (fchmod(made.get(), mode | 0700) != 0 && errno != ENOSYS && errno != EPERM && errno != EOPNOTSUPP)
          throwFileError(FileErrorKind::unknownWrite);
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
  const Names names(nameOf(root_));
  const std::string treeName = nameOf(staging);
  if (parentOf(staging) != parentOf(root_) || !names.isTree(treeName)) refuse("a tree unpacked elsewhere: " + staging);
  std::string replaced;  // the tree the install path named before
  struct stat installed {};
  if (fstatat(parent.get(), names.root.c_str(), &installed, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) throwFileError(FileErrorKind::unknownWrite);
    // First install: the link appears whole or not at all.
    if (symlinkat(treeName.c_str(), parent.get(), names.root.c_str()) != 0) throwFileError(FileErrorKind::unknownWrite);
  } else if (S_ISLNK(installed.st_mode)) {
    replaced = linkTarget(parent.get(), names.root);
    if (!names.isTree(replaced)) replaced.clear();  // not ours: left alone
    // The previous tree is named before the switch, so it is never without a name.
    if (keepPrevious_ && !replaced.empty()) publishLink(parent.get(), names, names.previous, replaced);
    step(1);
    publishLink(parent.get(), names, names.root, treeName);
    step(2);
  } else if (S_ISDIR(installed.st_mode)) {
    replaced = migrateDirectory(parent.get(), treeName);
  } else {
    refuse(root_ + " is neither the installed tree nor a link to it");
  }
  syncQuietly(syncDirectory_, parent.get());
  if (!keepPrevious_ && !replaced.empty()) removeTree(parentOf(root_) + "/" + replaced);
}

// An installation made before the install path became a link: a real directory. It moves to a
// tree name of its own and the link takes its place, in one renameat2(RENAME_EXCHANGE) where the
// file system offers it. Elsewhere two renames with a recovery marker naming both trees:
//   marker written ─ directory → its tree name ─ link → install path ─ marker removed
// Between the renames the install path is missing, once per installation; recoverExchange()
// links whichever tree is whole. Returns the old tree's new name.
std::string InstallTree::migrateDirectory(int parent, const std::string& treeName) const {
  const Names names(nameOf(root_));
  // An empty directory reserves the old tree's name; a directory renamed onto it replaces it.
  std::string reserved = parentOf(root_) + "/" + names.tree + "XXXXXX";
  if (mkdtemp(reserved.data()) == nullptr) throwFileError(FileErrorKind::unknownWrite);
  const std::string oldName = nameOf(reserved);
  if (keepPrevious_) publishLink(parent, names, names.previous, oldName);
  const std::string link = makeLink(parent, names, treeName);
  if (renameat2(parent, link.c_str(), parent, names.root.c_str(), RENAME_EXCHANGE) == 0) {
    step(1);
    // The old directory now has the link's name: a leftover if this rename is cut short.
    renameat(parent, link.c_str(), parent, oldName.c_str());
    return oldName;
  }
  if (!flagRefused(errno)) {
    unlinkat(parent, link.c_str(), 0);
    throwFileError(FileErrorKind::unknownWrite);
  }
  qCDebug(updatesLog) << "the file system exchanges nothing; the installed directory moves in two renames";
  posix_file::replaceFileAt(parent, names.marker, treeName + "\n" + oldName + "\n", 0600);
  step(1);
  if (renameat(parent, names.root.c_str(), parent, oldName.c_str()) != 0) {
    unlinkat(parent, link.c_str(), 0);
    unlinkat(parent, names.marker.c_str(), 0);
    throwFileError(FileErrorKind::unknownWrite);
  }
  step(2);
  if (renameat(parent, link.c_str(), parent, names.root.c_str()) != 0) {
    const int error = errno;
    // The old tree goes back where it was; the marker stays if even that fails.
    if (renameat(parent, oldName.c_str(), parent, names.root.c_str()) == 0) unlinkat(parent, names.marker.c_str(), 0);
    errno = error;
    throwFileError(FileErrorKind::unknownWrite);
  }
  step(3);
  syncQuietly(syncDirectory_, parent);  // the new tree is live: nothing may throw from here on
  unlinkat(parent, names.marker.c_str(), 0);
  step(4);
  return oldName;
}

std::string InstallTree::previousPath(const std::string& root) {
  const std::string normal = lexicallyNormal(root);
  return parentOf(normal) + "/" + Names(nameOf(normal)).previous;
}

void InstallTree::recoverExchange(const std::string& root) {
  const std::string normal = lexicallyNormal(root);
  const Names names(nameOf(normal));
  UniqueFd parent(open(parentOf(normal).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!parent) return;
  UniqueFd marker(openat(parent.get(), names.marker.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!marker) return;
  std::string text;
  try {
    text = posix_file::readBounded(marker.get(), 4096);
  } catch (const std::exception&) {
  }
  struct stat installed {};
  if (fstatat(parent.get(), names.root.c_str(), &installed, AT_SYMLINK_NOFOLLOW) != 0) {
    // Cut short between the renames. The marker names the new tree (checked before the marker
    // was written) and then the old one; the first that is whole takes the place. A marker of an
    // older version names a staging directory and left the old tree as a previous directory.
    std::istringstream lines(text);
    std::vector<std::string> candidates;
    for (std::string line; std::getline(lines, line);) candidates.push_back(line);
    candidates.push_back(names.previous);
    for (const auto& name : candidates) {
      const bool tree = names.isTree(name);
      if (!(tree || name.starts_with(names.staging) || name == names.previous) || !isDirectoryAt(parent.get(), name))
        continue;
      const bool placed = tree ? symlinkat(name.c_str(), parent.get(), names.root.c_str()) == 0
                               : renameat(parent.get(), name.c_str(), parent.get(), names.root.c_str()) == 0;
      if (placed) {
        qCDebug(updatesLog) << "an interrupted exchange completed:" << QString::fromStdString(name) << "is in place";
        break;
      }
    }
    if (fstatat(parent.get(), names.root.c_str(), &installed, AT_SYMLINK_NOFOLLOW) != 0)
      return;  // keep the marker: nothing could be put in place
  }
  try {
    posix_file::syncDirectory(parent.get());
  } catch (const std::exception&) {
  }
  unlinkat(parent.get(), names.marker.c_str(), 0);
}

bool InstallTree::restorePrevious(const std::string& root) {
  const std::string normal = lexicallyNormal(root);
  const Names names(nameOf(normal));
  UniqueFd parent(open(parentOf(normal).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!parent) return false;
  const std::string previous = linkTarget(parent.get(), names.previous);
  if (!names.isTree(previous) || !isDirectoryAt(parent.get(), previous)) return false;
  const std::string failed = linkTarget(parent.get(), names.root);
  // The same one-rename switch as an update's: cut short anywhere, the install path names a
  // whole tree, and the previous link stays until the switch is done.
  publishLink(parent.get(), names, names.root, previous);
  syncQuietly(posix_file::syncDirectory, parent.get());
  unlinkat(parent.get(), names.previous.c_str(), 0);
  if (names.isTree(failed) && failed != previous) removeTree(parentOf(normal) + "/" + failed);
  qCDebug(updatesLog) << "the previous tree is back in place";
  return true;
}

void InstallTree::uninstall(const std::string& root) {
  removeLeftovers(root);
  const std::string normal = lexicallyNormal(root);
  const Names names(nameOf(normal));
  UniqueFd parent(open(parentOf(normal).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!parent) return;
  // The install path first: cut short after it, what stays is a hidden tree the next install
  // clears, never a path that looks installed.
  const std::string tree = linkTarget(parent.get(), names.root);
  if (!tree.empty()) {
    unlinkat(parent.get(), names.root.c_str(), 0);
  } else {
    removeTree(normal);
  }
  if (names.isTree(tree)) removeTree(parentOf(normal) + "/" + tree);
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
  // An exchange cut short is finished or undone first: its trees are no leftovers until then.
  recoverExchange(root);
  const std::string normal = lexicallyNormal(root);
  const Names names(nameOf(normal));
  UniqueFd parent(open(parentOf(normal).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!parent) return;
  struct stat marker {};
  if (fstatat(parent.get(), names.marker.c_str(), &marker, AT_SYMLINK_NOFOLLOW) == 0)
    return;  // an exchange that could not be recovered: keep every tree for the next try
  // Every tree but the installed one goes, the previous one with its link.
  const std::string installed = linkTarget(parent.get(), names.root);
  removeTree(previousPath(normal));
  std::error_code error;
  for (std::filesystem::directory_iterator entries(parentOf(normal), error), end; !error && entries != end;
       entries.increment(error)) {
    const std::string name = entries->path().filename().string();
    if ((names.isTree(name) && name != installed) || name.starts_with(names.staging) || name.starts_with(names.link) ||
        name.starts_with(".talvo-download-"))
      removeTree(entries->path().string());
  }
}

void InstallTree::removeTree(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);  // removes links themselves, never their targets
}

}  // namespace talvo
