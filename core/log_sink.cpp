#include "core/log_sink.h"

#include <atomic>
#include <exception>
#include <memory>

namespace talvo {
namespace {

// Read from any thread, replaced at start-up and by tests.
std::atomic<std::shared_ptr<const LogSink>>& current() {
  static std::atomic<std::shared_ptr<const LogSink>> sink;
  return sink;
}

}  // namespace

void LogSink::install(LogSink sink) {
  current().store(sink.enabled && sink.write ? std::make_shared<const LogSink>(std::move(sink)) : nullptr);
}

bool LogSink::shows(std::string_view category, LogLevel level) noexcept {
  try {
    const std::shared_ptr<const LogSink> sink = current().load();
    return sink && sink->enabled(category, level);
  } catch (...) {
    return false;
  }
}

void LogSink::line(std::string_view category, LogLevel level, const std::string& message) noexcept {
  try {
    const std::shared_ptr<const LogSink> sink = current().load();
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
    return failure.what();
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
