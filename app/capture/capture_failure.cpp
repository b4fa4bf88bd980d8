#include "app/capture/capture_failure.h"

#include <utility>

namespace talvo {

CaptureFailure::CaptureFailure(CaptureFailureKind kind, std::string name, std::int32_t code, const std::string& text)
    : std::runtime_error(text), kind_(kind), name_(std::move(name)), code_(code) {}

CaptureFailure CaptureFailure::audio(const std::string& name, std::int32_t code) {
  return CaptureFailure(CaptureFailureKind::audio, name, code,
                        "Не удалось включить " + name + " (" + std::to_string(code) + "). Проверьте разрешения звука.");
}

CaptureFailure CaptureFailure::format() {
  return CaptureFailure(CaptureFailureKind::format, {}, 0, "Устройство вернуло неподдержанный формат звука.");
}

CaptureFailure CaptureFailure::disk() {
  return CaptureFailure(CaptureFailureKind::disk, {}, 0, "Недостаточно свободного места для записи.");
}

}  // namespace talvo
