#pragma once
// Developer log lines from the modules that stay free of Qt. The program points the sink at its
// own logging at start-up; until then, and in tools and tests that install none, lines go
// nowhere. Lines never carry secrets (tokens, codes, device secrets, keyring contents) or
// recorded sound.
#include <functional>
#include <string>
#include <string_view>

namespace talvo {

// Debug lines show only when asked for (talvo.*.debug); warnings show always.
enum class LogLevel { debug, warning };

// The categories, named as the program's logging categories of the same concern.
namespace log_category {
inline constexpr std::string_view capture = "talvo.capture";
inline constexpr std::string_view cloud = "talvo.cloud";
inline constexpr std::string_view queue = "talvo.queue";
inline constexpr std::string_view updates = "talvo.updates";
inline constexpr std::string_view reminders = "talvo.reminders";
inline constexpr std::string_view panel = "talvo.panel";
}  // namespace log_category

struct LogSink {
  std::function<bool(std::string_view category, LogLevel level)> enabled;
  std::function<void(std::string_view category, LogLevel level, const std::string& message)> write;

  // Replaces the sink; a sink with an empty member drops every line.
  static void install(LogSink sink);
  // Whether a line would show: build a costly message only then.
  static bool shows(std::string_view category, LogLevel level) noexcept;
  // A line that fails to be written is dropped: logging never changes what the program does.
  static void line(std::string_view category, LogLevel level, const std::string& message) noexcept;
};

// An error that knows more than its user text: the developer's facts (a failure code, errno's
// name), never a secret. Log lines add them to the Russian text the user sees.
class DiagnosticFacts {
 public:
  virtual ~DiagnosticFacts() = default;
  virtual std::string diagnostic() const = 0;
};

// The text of the exception being handled (its what(), with its facts in brackets when it has
// any), for a log line inside a catch block.
std::string currentErrorText();

// Inside a catch block that drops a failure on purpose: "<failed>: <error>; <instead>".
// Where the error's own text could quote a secret, catch it apart and log a fixed text.
void logSwallowed(std::string_view category, std::string_view failed, std::string_view instead,
                  LogLevel level = LogLevel::debug) noexcept;

}  // namespace talvo
