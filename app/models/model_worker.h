#pragma once
// Work the models hand off the main thread: `work` runs on the models' worker pool, `done` runs
// afterwards on the main thread with its outcome — unless `context` was destroyed meanwhile, in
// which case nothing is delivered. Exceptions travel in the outcome, so `done` decides what a
// failure means.
#include <exception>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "core/system/log_sink.h"

#include <QFuture>
#include <QObject>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

namespace talvo {

template <class T>
struct WorkerOutcome {
  std::optional<T> value;    // set on success
  std::exception_ptr error;  // set on failure

  bool ok() const { return !error; }
  // The Russian text of the failure (every error of ours carries one).
  std::string description() const {
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& failure) {
      return failure.what();
    } catch (...) {
      return "Неизвестная ошибка.";
    }
  }
  // The failure for a log line: its text with the developer's facts (errno's name, a code).
  std::string diagnosis() const {
    try {
      std::rethrow_exception(error);
    } catch (...) {
      return currentErrorText();
    }
  }
  // The failure as `Error`, when it is one.
  template <class Error>
  std::optional<Error> as() const {
    if (!error) return std::nullopt;
    try {
      std::rethrow_exception(error);
    } catch (const Error& failure) {
      return failure;
    } catch (...) {
    }
    return std::nullopt;
  }
};

// The pool of the models' blocking calls. Separate from Qt's global pool and wider than the core
// count, so a long upload pass never delays a recording's start or stop behind it. Never
// destroyed: a request still running at exit must not hold the process open.
QThreadPool* modelWorkers();

template <class Work, class Done>
void runOnWorker(QObject* context, Work work, Done done) {
  using Result = std::invoke_result_t<Work>;
  using Value = std::conditional_t<std::is_void_v<Result>, std::monostate, Result>;
  QFuture<WorkerOutcome<Value>> future = QtConcurrent::run(modelWorkers(), [work = std::move(work)]() mutable {
    WorkerOutcome<Value> outcome;
    try {
      if constexpr (std::is_void_v<Result>) {
        work();
        outcome.value = std::monostate{};
      } else {
        outcome.value = work();
      }
    } catch (...) {
      outcome.error = std::current_exception();
    }
    return outcome;
  });
  // A continuation attached to a future that has already finished runs at once, inside this
  // call; the queued hop makes `done` always come later, from the event loop.
  future.then(context, [context, done = std::move(done)](WorkerOutcome<Value> outcome) mutable {
    QMetaObject::invokeMethod(
        context, [done = std::move(done), outcome = std::move(outcome)]() mutable { done(std::move(outcome)); },
        Qt::QueuedConnection);
  });
}

}  // namespace talvo
