#include "app/shell/qt_log_sink.h"

#include <QMessageLogger>
#include <QString>
#include <string_view>

#include "app/log_categories.h"

namespace talvo::qt_log_sink {
namespace {

QtMsgType messageType(LogLevel level) {
  switch (level) {
    case LogLevel::debug:
      return QtDebugMsg;
    case LogLevel::warning:
      break;
  }
  return QtWarningMsg;
}

}  // namespace

void install() {
  LogSink sink;
  sink.enabled = [](std::string_view name, LogLevel level) {
    const QLoggingCategory* category = logCategoryNamed(name);
    // A name without a category of its own still shows its warnings.
    return category ? category->isEnabled(messageType(level)) : level == LogLevel::warning;
  };
  sink.write = [](std::string_view name, LogLevel level, const std::string& message) {
    const QLoggingCategory* category = logCategoryNamed(name);
    const QString text = QString::fromStdString(message);
    QMessageLogger logger(nullptr, 0, nullptr, category ? category->categoryName() : "talvo");
    switch (level) {
      case LogLevel::debug:
        logger.debug().noquote() << text;
        break;
      case LogLevel::warning:
        logger.warning().noquote() << text;
        break;
    }
  };
  LogSink::install(std::move(sink));
}

void enableVerbose() {
  QLoggingCategory::setFilterRules(QStringLiteral("talvo.*.debug=true"));
  qSetMessagePattern(QStringLiteral("%{time yyyy-MM-dd hh:mm:ss.zzz} %{category} %{type}: %{message}"));
}

bool takeVerboseArgument(int& argc, char** argv) {
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) != "--verbose") argv[kept++] = argv[i];
  }
  const bool found = kept != argc;
  argv[kept] = nullptr;
  argc = kept;
  return found;
}

}  // namespace talvo::qt_log_sink
