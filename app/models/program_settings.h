#pragma once
// The program's settings store: native INI under $XDG_CONFIG_HOME/TALVO/.
#include <memory>

#include <QSettings>

namespace talvo {

std::shared_ptr<QSettings> programSettings();

}  // namespace talvo
