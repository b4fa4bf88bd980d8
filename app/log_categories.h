#pragma once
// The program's logging categories, one per concern, shared by every folder of app/ (header
// only, so no folder links another for them). Quiet below warnings unless `talvo --verbose` or
// QT_LOGGING_RULES turns them on; the Qt-free modules reach the same categories through LogSink.
#include <QLoggingCategory>
#include <QString>
#include <string_view>

#include "core/system/log_sink.h"

namespace talvo {

#define TALVO_LOG_CATEGORY(function, name)                      \
  inline const QLoggingCategory& function() {                   \
    static const QLoggingCategory category(name, QtWarningMsg); \
    return category;                                            \
  }

TALVO_LOG_CATEGORY(captureLog, "talvo.capture")
TALVO_LOG_CATEGORY(cloudLog, "talvo.cloud")
TALVO_LOG_CATEGORY(queueLog, "talvo.queue")
TALVO_LOG_CATEGORY(updatesLog, "talvo.updates")
TALVO_LOG_CATEGORY(remindersLog, "talvo.reminders")
TALVO_LOG_CATEGORY(panelLog, "talvo.panel")

#undef TALVO_LOG_CATEGORY

// The category of a LogSink name; nullptr for a name the program does not know.
inline const QLoggingCategory* logCategoryNamed(std::string_view name) {
  for (const QLoggingCategory* category :
       {&captureLog(), &cloudLog(), &queueLog(), &updatesLog(), &remindersLog(), &panelLog()}) {
    if (name == category->categoryName()) return category;
  }
  return nullptr;
}

// Inside a catch block that drops a failure on purpose: "<failed>: <error>; <instead>" at debug
// level. Where the error's own text could quote a secret, catch it apart and log a fixed text.
inline void logSwallowed(const QLoggingCategory& category, const QString& failed, const QString& instead) {
  if (!category.isDebugEnabled()) return;
  qCDebug(category).noquote().nospace() << failed << ": " << QString::fromStdString(currentErrorText()) << "; "
                                        << instead;
}

}  // namespace talvo
