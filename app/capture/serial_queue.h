#pragma once
// A serial work queue on its own thread: tasks run one at a time in the order they were queued,
// plus at most one repeating timer whose fires are queued like any other task. The capture
// engine keeps all recording state on one such queue, so that state needs no locks.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace talvo {

class SerialQueue {
 public:
  using Task = std::function<void()>;

  explicit SerialQueue(std::string name);
  // Runs the tasks already queued, then ends the thread.
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  void async(Task task);
  // Runs `task` on the queue and waits for it; from the queue's own thread it runs inline.
  // An exception of the task is rethrown here.
  void sync(const Task& task);
  // Fires `task` on the queue after `first`, then every `interval` (replaces an earlier timer).
  void startTimer(std::chrono::steady_clock::duration first, std::chrono::steady_clock::duration interval, Task task);
  // After this returns no further fire starts (one already running may finish first when
  // called from another thread).
  void cancelTimer();
  bool isCurrent() const noexcept { return std::this_thread::get_id() == worker_.get_id(); }
  const std::string& name() const noexcept { return name_; }

 private:
  void run();

  std::string name_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> tasks_;
  std::optional<std::chrono::steady_clock::time_point> timerDue_;
  std::chrono::steady_clock::duration timerInterval_{};
  Task timerTask_;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace talvo
