#include "app/capture/serial_queue.h"

#include <pthread.h>

#include <exception>
#include <future>
#include <utility>

namespace talvo {

SerialQueue::SerialQueue(std::string name) : name_(std::move(name)) {
  worker_ = std::thread([this] { run(); });
  // Thread names are limited to 15 bytes; the tail ("capture", "control") is the telling part.
  std::string shortName = name_.size() > 15 ? name_.substr(name_.size() - 15) : name_;
  pthread_setname_np(worker_.native_handle(), shortName.c_str());
}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    timerDue_.reset();
  }
  wake_.notify_all();
  if (worker_.joinable()) {
    worker_.join();
  }
}

void SerialQueue::async(Task task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void SerialQueue::sync(const Task& task) {
  if (isCurrent()) {
    task();
    return;
  }
  std::promise<void> done;
  auto finished = done.get_future();
  async([&] {
    try {
      task();
      done.set_value();
    } catch (...) {
      done.set_exception(std::current_exception());
    }
  });
  finished.get();
}

void SerialQueue::startTimer(std::chrono::steady_clock::duration first, std::chrono::steady_clock::duration interval,
                             Task task) {
  {
    std::lock_guard lock(mutex_);
    timerTask_ = std::move(task);
    timerInterval_ = interval;
    timerDue_ = std::chrono::steady_clock::now() + first;
  }
  wake_.notify_one();
}

void SerialQueue::cancelTimer() {
  Task old;
  {
    std::lock_guard lock(mutex_);
    timerDue_.reset();
    old = std::move(timerTask_);
    timerTask_ = nullptr;
  }
  // `old` (and whatever it captured) is released outside the lock.
}

void SerialQueue::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (!tasks_.empty()) {
      Task task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      task = nullptr;
      lock.lock();
      continue;
    }
    if (timerDue_ && std::chrono::steady_clock::now() >= *timerDue_) {
      // Like a dispatch timer: a late fire is not repeated for the intervals it missed.
      auto next = *timerDue_ + timerInterval_;
      auto now = std::chrono::steady_clock::now();
      timerDue_ = next > now ? next : now + timerInterval_;
      Task fire = timerTask_;
      lock.unlock();
      fire();
      fire = nullptr;
      lock.lock();
      continue;
    }
    if (stopping_) {
      return;
    }
    if (timerDue_) {
      wake_.wait_until(lock, *timerDue_);
    } else {
      wake_.wait(lock);
    }
  }
}

}  // namespace talvo
