#include "core/program/native_product.h"

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
  const std::string expected = std::string(real) + "/" + NativeProduct::dataDirectoryName + "/app/bin/talvo";
  const std::string program = data + "/" + NativeProduct::dataDirectoryName + "/app/bin/talvo";
  if (realpath(program.c_str(), real) == nullptr || expected != real) return {};
  return expected;
}

std::string programDataDirectory() { return userDataDirectory() + "/" + NativeProduct::dataDirectoryName + "/"; }

std::string recordingsDirectory() { return programDataDirectory() + "Recordings/"; }

}  // namespace talvo
