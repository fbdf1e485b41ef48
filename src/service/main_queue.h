#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace tolvo {

// The main thread's run loop: blocks posted from any thread run on the thread that called
// run(), one at a time, in submission order (delayed ones at their due time). The service's
// main() runs it until a signal or terminateService stops it; components post to
// MainQueue::shared() the work that must happen on the main thread.
class MainQueue {
 public:
  using Block = std::function<void()>;
  using Duration = std::chrono::steady_clock::duration;

  MainQueue() = default;
  MainQueue(const MainQueue&) = delete;
  MainQueue& operator=(const MainQueue&) = delete;

  // The process's main queue.
  [[nodiscard]] static MainQueue& shared();

  void async(Block block);
  void asyncAfter(Duration delay, Block block);

  // Runs blocks on the calling thread until stop(). Blocks that raise are logged and
  // dropped. Returns at once if stop() came first. Blocks not yet run stay queued and run
  // on a later run().
  void run();

  // Makes run() return after the block in progress (if any). Any thread; idempotent until the
  // next run().
  void stop();

  // True on the thread that is inside run().
  [[nodiscard]] bool isCurrent() const noexcept;

 private:
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::multimap<std::pair<std::chrono::steady_clock::time_point, std::uint64_t>, Block> blocks_;
  std::uint64_t sequence_ = 0;
  bool stopRequested_ = false;
  std::thread::id runner_;
};

}  // namespace tolvo
