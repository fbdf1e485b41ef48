#include "core/serial_queue.h"

#include <pthread.h>

#include <atomic>

namespace tolvo {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
  thread_ = std::thread([this] { run(); });
  // Thread names are limited to 15 characters; keep the end of the label, which names it best.
  std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
  pthread_setname_np(thread_.native_handle(), name.c_str());
}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void SerialQueue::async(Block block) {
  asyncAfter(Duration::zero(), std::move(block));
}

void SerialQueue::asyncAfter(Duration delay, Block block) {
  // Notified under the lock: once the block is queued it may run and end the queue's owner
  // (a connection that closes), and the queue must not be touched after that.
  std::lock_guard lock(mutex_);
  blocks_.emplace(std::make_pair(std::chrono::steady_clock::now() + delay, sequence_++), std::move(block));
  wake_.notify_one();
}

bool SerialQueue::isCurrent() const noexcept { return std::this_thread::get_id() == thread_.get_id(); }

void SerialQueue::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (blocks_.empty()) {
      if (stopping_) return;
      wake_.wait(lock);
      continue;
    }
    auto first = blocks_.begin();
    const auto due = first->first.first;
    if (due > std::chrono::steady_clock::now()) {
      if (stopping_) return;  // delayed blocks that are not due are dropped at shutdown
      wake_.wait_until(lock, due);
      continue;
    }
    Block block = std::move(first->second);
    blocks_.erase(first);
    lock.unlock();
    block();
    block = nullptr;  // release captures outside the lock
    lock.lock();
  }
}

void SerialQueue::Timer::cancel() noexcept {
  if (alive_) alive_->store(false);
  alive_.reset();
}

SerialQueue::Timer SerialQueue::scheduleRepeating(Duration interval, Block block) {
  auto alive = std::make_shared<std::atomic<bool>>(true);
  scheduleTick(interval, alive, std::make_shared<Block>(std::move(block)));
  return Timer(alive);
}

void SerialQueue::scheduleTick(Duration interval, std::shared_ptr<std::atomic<bool>> alive,
                               std::shared_ptr<Block> block) {
  asyncAfter(interval, [this, interval, alive, block] {
    if (!alive->load()) return;
    (*block)();
    if (alive->load()) scheduleTick(interval, alive, block);
  });
}

}  // namespace tolvo
