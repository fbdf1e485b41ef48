#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tolvo::test {

// A gate a handler (or any thread) can wait on until the test opens it.
class Gate {
 public:
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  // True once open; false when `timeout` passed first.
  bool wait(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

}  // namespace tolvo::test
