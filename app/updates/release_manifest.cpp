#include "app/updates/release_manifest.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <memory>
#include <set>
#include <sstream>
#include <vector>

#include "cloud/upload_sha256.h"
#include "core/system/posix_file.h"
#include "core/system/unique_fd.h"

namespace talvo {
namespace {

[[noreturn]] void mismatch(const std::string& why) { throw ManifestMismatch(why); }

bool isHex64(const std::string& text) {
  if (text.size() != 64) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

// The path's components; refused unless plainly relative with no "." or ".." and no control
// characters (which no file of a release has, and a desktop entry could not name).
std::vector<std::string> componentsOf(const std::string& path) {
  std::vector<std::string> parts;
  if (path.empty() || path.front() == '/' || path.back() == '/') mismatch("неверный путь «" + path + "»");
  std::size_t start = 0;
  while (start <= path.size()) {
    auto end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") mismatch("неверный путь «" + path + "»");
    parts.push_back(std::move(part));
    start = end + 1;
  }
  for (unsigned char c : path)
    if (c < 0x20 || c == 0x7f) mismatch("неверный путь в списке файлов");
  return parts;
}

}  // namespace

UniqueFd ReleaseManifest::openListed(int tree, const std::string& path) {
  auto parts = componentsOf(path);
  UniqueFd directory(dup(tree));
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    directory = UniqueFd(openat(directory.get(), parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory) mismatch("нет папки " + parts[i] + " для " + path);
  }
  UniqueFd file(openat(directory.get(), parts.back().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!file) mismatch("нет файла " + path);
  return file;
}

namespace {

// Every file and link below `directory` ("" for the top), as relative paths.
void listTree(int directory, const std::string& prefix, std::set<std::string>& found, std::size_t& count) {
  UniqueFd copy(dup(directory));
  DIR* stream = fdopendir(copy.get());
  if (stream == nullptr) mismatch("папка " + (prefix.empty() ? std::string(".") : prefix) + " не читается");
  copy.release();
  std::unique_ptr<DIR, int (*)(DIR*)> guard(stream, closedir);
  while (dirent* entry = readdir(stream)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (++count > ReleaseManifest::maximumFiles * 2) mismatch("слишком много файлов");
    const std::string path = prefix.empty() ? name : prefix + "/" + name;
    struct stat info {};
    if (fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) mismatch("не читается " + path);
    if (S_ISDIR(info.st_mode)) {
      UniqueFd child(openat(directory, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!child) mismatch("не читается " + path);
      listTree(child.get(), path, found, count);
    } else {
      found.insert(path);
    }
  }
}

}  // namespace

ReleaseManifest ReleaseManifest::parse(const std::string& text) {
  if (text.size() > maximumBytes) mismatch("список файлов слишком велик");
  std::istringstream lines(text);
  std::string line;
  if (!std::getline(lines, line) || line != header) mismatch("список файлов неизвестного вида");
  ReleaseManifest manifest;
  std::set<std::string> seen;
  while (std::getline(lines, line)) {
    const auto first = line.find(' ');
    const auto second = first == std::string::npos ? first : line.find(' ', first + 1);
    if (second == std::string::npos) mismatch("неверная строка в списке файлов");
    File file;
    file.sha256 = line.substr(0, first);
    const std::string size = line.substr(first + 1, second - first - 1);
    file.path = line.substr(second + 1);
    const auto parsed = std::from_chars(size.data(), size.data() + size.size(), file.size);
    if (!isHex64(file.sha256) || size.empty() || parsed.ec != std::errc() || parsed.ptr != size.data() + size.size())
      mismatch("неверная строка в списке файлов");
    componentsOf(file.path);
    if (file.path == fileName) mismatch("список файлов называет сам себя");
    if (!seen.insert(file.path).second) mismatch("файл назван дважды: " + file.path);
    if (seen.size() > maximumFiles) mismatch("слишком много файлов");
    manifest.files_.push_back(std::move(file));
  }
  // A file listed under a folder that is itself listed as a file can never be installed.
  for (const auto& file : manifest.files_)
    for (auto slash = file.path.find('/'); slash != std::string::npos; slash = file.path.find('/', slash + 1))
      if (seen.count(file.path.substr(0, slash)) != 0) mismatch("файл назван и папкой: " + file.path.substr(0, slash));
  if (seen.count("bin/talvo") == 0) mismatch("в списке файлов нет bin/talvo");
  return manifest;
}

void ReleaseManifest::verify(int tree, bool exclusive) const {
  std::vector<char> buffer(64 * 1024);
  for (const auto& listed : files_) {
    UniqueFd file = openListed(tree, listed.path);
    struct stat info {};
    if (fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) mismatch(listed.path + " не обычный файл");
    if (static_cast<std::uint64_t>(info.st_size) != listed.size) mismatch(listed.path + " другого размера");
    UploadSha256 hash;
    std::uint64_t total = 0;
    for (;;) {
      const auto read = posix_file::readFully(file.get(), buffer.data(), buffer.size());
      if (read == 0) break;
      total += read;
      if (total > listed.size) mismatch(listed.path + " другого размера");
      hash.update(buffer.data(), read);
    }
    if (total != listed.size) mismatch(listed.path + " другого размера");
    if (hash.finishHex() != listed.sha256) mismatch(listed.path + " изменён");
  }
  if (!exclusive) return;
  std::set<std::string> found;
  std::size_t count = 0;
  listTree(tree, "", found, count);
  found.erase(fileName);
  for (const auto& listed : files_) found.erase(listed.path);
  if (!found.empty()) mismatch("лишний файл " + *found.begin());
}

}  // namespace talvo
