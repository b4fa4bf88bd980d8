#include "app/updates/update_error.h"

namespace talvo {

UpdateError::UpdateError(Domain domain, int code, const std::string& description)
    : std::runtime_error(description), domain_(domain), code_(code) {}

UpdateError UpdateError::busy() {
  return UpdateError(Domain::updates, captureBusy, "Завершите запись перед обновлением TALVO.");
}

UpdateError UpdateError::refusedArchive() {
  return UpdateError(Domain::updates, archiveRefused, "Не удалось проверить адрес обновления TALVO.");
}

bool UpdateError::benign() const noexcept {
  return domain_ == Domain::updater &&
         (code_ == noUpdate || code_ == installationCancelled || code_ == installationDeferred);
}

}  // namespace talvo
