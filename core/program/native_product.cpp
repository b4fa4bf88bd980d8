#include "core/program/native_product.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

namespace talvo {

std::string lexicallyNormal(const std::string& path) {
  std::string normal = !path.empty() && path[0] == '/' ? "/" : "";
  std::size_t start = 0;
  while (start < path.size()) {
    auto end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string_view part(path.data() + start, end - start);
    if (!part.empty() && part != ".") {
      if (!normal.empty() && normal.back() != '/') normal += '/';
      normal += part;
    }
    start = end + 1;
  }
  return normal.empty() ? "." : normal;
}

std::string userDataDirectory() {
  // The XDG base-directory rule: a relative value is invalid and must be ignored.
  if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && data[0] == '/') return lexicallyNormal(data);
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/')
    return lexicallyNormal(std::string(home) + "/.local/share");
  throw std::runtime_error("Не найдена домашняя папка пользователя.");
}

std::string canonicalInstalledProgram() {
  std::string data;
  try {
    data = userDataDirectory();
  } catch (const std::exception&) {
    return {};
  }
  char real[PATH_MAX];
  if (realpath(data.c_str(), real) == nullptr) return {};
  const std::string folder = std::string(real) + "/" + NativeProduct::dataDirectoryName + "/";
  // The install path is a link to a sibling tree .app-tree-XXXXXX (app/updates/install_tree.h),
  // or, installed before that, the tree itself. A link anywhere else is not the installation.
  std::string tree = "app";
  char target[256];
  const auto length = readlink((folder + tree).c_str(), target, sizeof target);
  if (length > 0 && static_cast<std::size_t>(length) < sizeof target) {
    tree.assign(target, static_cast<std::size_t>(length));
    if (!tree.starts_with(".app-tree-") || tree.find('/') != std::string::npos) return {};
  }
  const std::string expected = folder + tree + "/bin/talvo";
  const std::string program = data + "/" + NativeProduct::dataDirectoryName + "/app/bin/talvo";
  if (realpath(program.c_str(), real) == nullptr || expected != real) return {};
  return expected;
}

std::string programDataDirectory() { return userDataDirectory() + "/" + NativeProduct::dataDirectoryName + "/"; }

std::string recordingsDirectory() { return programDataDirectory() + "Recordings/"; }

}  // namespace talvo
