#pragma once
// Opens an address with the desktop (browser, file manager, Telegram). The answer is whether
// the desktop accepted it. Production: QDesktopServices::openUrl.
#include <functional>

#include <QUrl>

namespace talvo {

using UrlOpener = std::function<bool(const QUrl&)>;

UrlOpener desktopUrlOpener();

}  // namespace talvo
