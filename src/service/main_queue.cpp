#include "service/main_queue.h"

#include <exception>
#include <string>

#include "core/diagnostic_log.h"

namespace tolvo {

MainQueue& MainQueue::shared() {
  static MainQueue queue;
  return queue;
}

void MainQueue::async(Block block) { asyncAfter(Duration::zero(), std::move(block)); }

void MainQueue::asyncAfter(Duration delay, Block block) {
  {
    std::lock_guard lock(mutex_);
    blocks_.emplace(std::make_pair(std::chrono::steady_clock::now() + delay, sequence_++), std::move(block));
  }
  wake_.notify_all();
}

void MainQueue::run() {
  std::unique_lock lock(mutex_);
  runner_ = std::this_thread::get_id();
  while (!stopRequested_) {
    if (blocks_.empty()) {
      wake_.wait(lock);
      continue;
    }
    auto first = blocks_.begin();
    const auto due = first->first.first;
    if (due > std::chrono::steady_clock::now()) {
      wake_.wait_until(lock, due);
      continue;
    }
    Block block = std::move(first->second);
    blocks_.erase(first);
    lock.unlock();
    try {
      block();
    } catch (const std::exception& e) {
      DiagnosticLog::system(std::string("main queue: a block raised: ") + e.what());
    } catch (...) {
      DiagnosticLog::system("main queue: a block raised");
    }
    block = nullptr;
    lock.lock();
  }
  stopRequested_ = false;
  runner_ = std::thread::id();
}

void MainQueue::stop() {
  {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
  }
  wake_.notify_all();
}

bool MainQueue::isCurrent() const noexcept {
  std::lock_guard lock(mutex_);
  return runner_ == std::this_thread::get_id();
}

}  // namespace tolvo
