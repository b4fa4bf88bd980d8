#include "app/models/program_settings.h"

#include "core/program/native_product.h"

namespace talvo {

std::shared_ptr<QSettings> programSettings() {
  return std::make_shared<QSettings>(QSettings::NativeFormat, QSettings::UserScope, NativeProduct::dataDirectoryName,
                                     NativeProduct::dataDirectoryName);
}

}  // namespace talvo
