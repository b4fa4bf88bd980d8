#include "app/models/program_settings.h"

#include "core/program/native_product.h"

namespace talvo {

std::shared_ptr<QSettings> programSettings() {
  return std::make_shared<QSettings>(QSettings::NativeFormat, QSettings::UserScope, NativeProduct::dataDirectoryName,
                                     NativeProduct::dataDirectoryName);
}

bool echoCancellationEnabled() {
  // Anything but a stored "false" keeps the default: an unreadable value must not turn it off.
  const QVariant value = programSettings()->value(echoCancellationKey);
  return !(value.isValid() && value.toString() == QStringLiteral("false"));
}

void setEchoCancellationEnabled(bool enabled) {
  std::shared_ptr<QSettings> settings = programSettings();
  settings->setValue(echoCancellationKey, enabled);
  settings->sync();
}

}  // namespace talvo
