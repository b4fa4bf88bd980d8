#include "app/models/url_opener.h"

#include <QDesktopServices>

namespace talvo {

UrlOpener desktopUrlOpener() {
  return [](const QUrl& url) { return QDesktopServices::openUrl(url); };
}

}  // namespace talvo
