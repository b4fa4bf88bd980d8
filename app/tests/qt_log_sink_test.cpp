#include "app/shell/qt_log_sink.h"

#include <gtest/gtest.h>

#include <QLoggingCategory>
#include <QString>
#include <vector>

#include "core/system/log_sink.h"

namespace talvo {
namespace {

struct Message {
  QString category;
  QtMsgType type;
  QString text;
  bool operator==(const Message&) const = default;
};

std::vector<Message> received;

void capture(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  received.push_back({QString::fromLatin1(context.category), type, text});
}

TEST(QtLogSink, QtFreeLinesReachTheirCategoryAndVerboseShowsTheDebugOnes) {
  received.clear();
  const QtMessageHandler previous = qInstallMessageHandler(capture);
  qt_log_sink::install();

  // Quiet by default: warnings only.
  EXPECT_FALSE(LogSink::shows(log_category::queue, LogLevel::debug));
  LogSink::line(log_category::queue, LogLevel::debug, "item saved");
  LogSink::line(log_category::queue, LogLevel::warning, "record unreadable");
  LogSink::line("talvo.unknown", LogLevel::warning, "stray");

  qt_log_sink::enableVerbose();
  EXPECT_TRUE(LogSink::shows(log_category::capture, LogLevel::debug));
  LogSink::line(log_category::cloud, LogLevel::debug, "account stored");
  LogSink::line(log_category::reminders, LogLevel::debug, "episode over");

  QLoggingCategory::setFilterRules(QString());
  qSetMessagePattern(QString());
  LogSink::install({});
  qInstallMessageHandler(previous);
  const std::vector<Message> expected = {
      {"talvo.queue", QtWarningMsg, "record unreadable"},
      {"talvo", QtWarningMsg, "stray"},
      {"talvo.cloud", QtDebugMsg, "account stored"},
      {"talvo.reminders", QtDebugMsg, "episode over"},
  };
  EXPECT_EQ(received, expected);
}

TEST(QtLogSink, VerboseGoesWithAnyOtherArgument) {
  char program[] = "talvo", quit[] = "--quit", verbose[] = "--verbose";
  char* argv[] = {program, verbose, quit, verbose, nullptr};
  int argc = 4;
  EXPECT_TRUE(qt_log_sink::takeVerboseArgument(argc, argv));
  ASSERT_EQ(argc, 2);
  EXPECT_STREQ(argv[1], "--quit");
  EXPECT_EQ(argv[2], nullptr);
  EXPECT_FALSE(qt_log_sink::takeVerboseArgument(argc, argv));
  EXPECT_EQ(argc, 2);
}

}  // namespace
}  // namespace talvo
