#include "core/native_product.h"

#include <cstdlib>
#include <stdexcept>

namespace talvo {

std::string userDataDirectory() {
  // The XDG base-directory rule: a relative value is invalid and must be ignored.
  if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && data[0] == '/') return data;
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/')
    return std::string(home) + "/.local/share";
  throw std::runtime_error("Не найдена домашняя папка пользователя.");
}

std::string programDataDirectory() {
  return userDataDirectory() + "/" + NativeProduct::dataDirectoryName + "/";
}

std::string recordingsDirectory() { return programDataDirectory() + "Recordings/"; }

}  // namespace talvo
