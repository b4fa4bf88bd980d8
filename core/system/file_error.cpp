#include "core/system/file_error.h"

#include <cstring>

#include <cerrno>

namespace talvo {

FileError::FileError(FileErrorKind kind, int error_number)
    : std::runtime_error(describe(kind)), kind_(kind), errno_(error_number) {}

const char* FileError::describe(FileErrorKind kind) noexcept {
  switch (kind) {
    case FileErrorKind::alreadyExists:
      return "Файл с таким именем уже существует.";
    case FileErrorKind::noPermissionRead:
      return "Нет разрешения на чтение файла.";
    case FileErrorKind::noPermissionWrite:
      return "Нет разрешения на запись файла.";
    case FileErrorKind::corruptFile:
      return "Файл повреждён или имеет неверный формат.";
    case FileErrorKind::outOfSpace:
      return "Недостаточно места для записи файла.";
    case FileErrorKind::noSuchFile:
      return "Файл не найден.";
    case FileErrorKind::invalidFileName:
      return "Недопустимое имя файла.";
    case FileErrorKind::unknownRead:
      return "Не удалось прочитать файл.";
    case FileErrorKind::unknownWrite:
      return "Не удалось записать файл.";
    case FileErrorKind::locking:
      return "Файл заблокирован другим процессом.";
  }
  return "Ошибка файла.";
}

std::string FileError::diagnostic() const {
  static constexpr const char* kinds[] = {"alreadyExists", "noPermissionRead", "noPermissionWrite", "corruptFile",
                                          "outOfSpace",    "noSuchFile",       "invalidFileName",   "unknownRead",
                                          "unknownWrite",  "locking"};
  std::string text = kinds[static_cast<int>(kind_)];
  if (errno_ != 0) text += " " + errnoName(errno_);
  return text;
}

void throwFileError(FileErrorKind kind) { throw FileError(kind, errno); }

std::string errnoName(int error_number) {
  if (const char* name = ::strerrorname_np(error_number)) return name;
  return "errno " + std::to_string(error_number);
}

}  // namespace talvo
