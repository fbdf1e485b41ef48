#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

namespace tolvo {

// A queue with its own thread that runs blocks one at a time in submission order (delayed
// blocks at their due time). Any thread may submit. Destroying the queue runs the blocks
// already due, drops delayed ones that are not, and joins the thread; it must not be
// destroyed from its own thread.
class SerialQueue {
 public:
  using Block = std::function<void()>;
  using Duration = std::chrono::steady_clock::duration;

  explicit SerialQueue(std::string label);
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;
  ~SerialQueue();

  [[nodiscard]] const std::string& label() const noexcept { return label_; }

  // Runs `block` later on the queue's thread.
  void async(Block block);

  // Runs `block` on the queue's thread after `delay`.
  void asyncAfter(Duration delay, Block block);

  // Runs `fn` on the queue and waits for its result; exceptions propagate to the caller.
  // REQUIRES: not called from this queue's own thread (that would deadlock); callers that
  // may already be on it check isCurrent() first.
  template <typename F>
  auto sync(F&& fn) -> std::invoke_result_t<F> {
    using R = std::invoke_result_t<F>;
    std::packaged_task<R()> task(std::forward<F>(fn));
    auto result = task.get_future();
    async([&task] { task(); });
    return result.get();
  }

  // True when the calling thread is this queue's thread.
  [[nodiscard]] bool isCurrent() const noexcept;

  // A repeating timer: `block` runs on the queue every `interval` until the returned
  // handle is cancelled or destroyed.
  class Timer {
   public:
    Timer() = default;
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;
    Timer(Timer&&) noexcept = default;
    Timer& operator=(Timer&& other) noexcept {
      cancel();
      alive_ = std::move(other.alive_);
      return *this;
    }
    ~Timer() { cancel(); }
    void cancel() noexcept;

   private:
    friend class SerialQueue;
    explicit Timer(std::shared_ptr<std::atomic<bool>> alive) : alive_(std::move(alive)) {}
    std::shared_ptr<std::atomic<bool>> alive_;
  };
  [[nodiscard]] Timer scheduleRepeating(Duration interval, Block block);

 private:
  void run();
  void scheduleTick(Duration interval, std::shared_ptr<std::atomic<bool>> alive,
                    std::shared_ptr<Block> block);

  std::string label_;
  std::mutex mutex_;
  std::condition_variable wake_;
  // Blocks keyed by due time and submission order.
  std::multimap<std::pair<std::chrono::steady_clock::time_point, std::uint64_t>, Block> blocks_;
  std::uint64_t sequence_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace tolvo
