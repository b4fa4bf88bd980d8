#include "core/system/log_sink.h"

#include <exception>
#include <memory>
#include <mutex>

namespace talvo {
namespace {

// Read from any thread, replaced at start-up and by tests. A line is written outside the lock
// from a copy, so a slow sink holds up no other thread.
std::mutex sinkMutex;
std::shared_ptr<const LogSink> installed;

std::shared_ptr<const LogSink> current() {
  std::lock_guard lock(sinkMutex);
  return installed;
}

}  // namespace

void LogSink::install(LogSink sink) {
  std::shared_ptr<const LogSink> next;
  if (sink.enabled && sink.write) next = std::make_shared<const LogSink>(std::move(sink));
  std::lock_guard lock(sinkMutex);
  installed.swap(next);
}

bool LogSink::shows(std::string_view category, LogLevel level) noexcept {
  try {
    const std::shared_ptr<const LogSink> sink = current();
    return sink && sink->enabled(category, level);
  } catch (...) {
    return false;
  }
}

void LogSink::line(std::string_view category, LogLevel level, const std::string& message) noexcept {
  try {
    const std::shared_ptr<const LogSink> sink = current();
    if (sink && sink->enabled(category, level)) sink->write(category, level, message);
  } catch (...) {  // nowhere left to report it
  }
}

std::string currentErrorText() {
  const std::exception_ptr error = std::current_exception();
  if (!error) return "no error";
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& failure) {
    std::string text = failure.what();
    if (const auto* facts = dynamic_cast<const DiagnosticFacts*>(&failure)) text += " [" + facts->diagnostic() + "]";
    return text;
  } catch (...) {
    return "unknown error";
  }
}

void logSwallowed(std::string_view category, std::string_view failed, std::string_view instead,
                  LogLevel level) noexcept {
  if (!LogSink::shows(category, level)) return;
  try {
    std::string message(failed);
    message += ": ";
    message += currentErrorText();
    if (!instead.empty()) {
      message += "; ";
      message += instead;
    }
    LogSink::line(category, level, message);
  } catch (...) {  // out of memory: the line is dropped
  }
}

}  // namespace talvo
