#pragma once
// The error of a recording. Its text is what the user sees, so every case carries a fixed
// Russian description; runtime problems found while recording are `audio` failures with code -1
// and a name that says what went wrong ("микрофон прерван", ...).
#include <cstdint>
#include <stdexcept>
#include <string>

namespace talvo {

enum class CaptureFailureKind { audio, format, disk };

class CaptureFailure : public std::runtime_error {
 public:
  // "Не удалось включить <name> (<code>). Проверьте разрешения звука."
  static CaptureFailure audio(const std::string& name, std::int32_t code);
  // "Устройство вернуло неподдержанный формат звука."
  static CaptureFailure format();
  // "Недостаточно свободного места для записи."
  static CaptureFailure disk();

  CaptureFailureKind kind() const noexcept { return kind_; }
  const std::string& name() const noexcept { return name_; }
  std::int32_t code() const noexcept { return code_; }

 private:
  CaptureFailure(CaptureFailureKind kind, std::string name, std::int32_t code, const std::string& text);

  CaptureFailureKind kind_;
  std::string name_;
  std::int32_t code_;
};

}  // namespace talvo
