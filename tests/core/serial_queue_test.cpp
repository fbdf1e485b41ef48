#include "core/serial_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tolvo {
namespace {

using namespace std::chrono_literals;

TEST(SerialQueue, RunsBlocksOneAtATimeInSubmissionOrder) {
  SerialQueue queue("test.order");
  std::vector<int> seen;
  std::atomic<int> running{0};
  bool overlapped = false;
  for (int i = 0; i < 1000; ++i) {
    queue.async([&, i] {
      if (running.fetch_add(1) != 0) overlapped = true;
      seen.push_back(i);
      running.fetch_sub(1);
    });
  }
  queue.sync([] {});
  ASSERT_EQ(seen.size(), 1000u);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(seen[i], i);
  EXPECT_FALSE(overlapped);
}

TEST(SerialQueue, SyncReturnsValuesAndPropagatesExceptions) {
  SerialQueue queue("test.sync");
  EXPECT_EQ(queue.sync([] { return 42; }), 42);
  EXPECT_THROW(queue.sync([]() -> int { throw std::runtime_error("boom"); }), std::runtime_error);
  EXPECT_FALSE(queue.isCurrent());
  EXPECT_TRUE(queue.sync([&] { return queue.isCurrent(); }));
}

TEST(SerialQueue, DelayedBlocksRunAfterTheirDelayAndLaterBlocksDoNotWait) {
  SerialQueue queue("test.delay");
  std::vector<std::string> order;
  const auto start = std::chrono::steady_clock::now();
  std::atomic<bool> delayedRan{false};
  std::chrono::steady_clock::duration delayedAt{};
  queue.asyncAfter(150ms, [&] {
    delayedAt = std::chrono::steady_clock::now() - start;
    order.push_back("delayed");
    delayedRan = true;
  });
  queue.async([&] { order.push_back("now"); });
  while (!delayedRan) std::this_thread::sleep_for(5ms);
  queue.sync([] {});
  EXPECT_EQ(order, (std::vector<std::string>{"now", "delayed"}));
  EXPECT_GE(delayedAt, 150ms);
}

TEST(SerialQueue, RepeatingTimerStopsWhenCancelled) {
  SerialQueue queue("test.timer");
  std::atomic<int> ticks{0};
  auto timer = queue.scheduleRepeating(10ms, [&] { ++ticks; });
  while (ticks < 3) std::this_thread::sleep_for(5ms);
  timer.cancel();
  queue.sync([] {});
  const int after = ticks;
  std::this_thread::sleep_for(60ms);
  queue.sync([] {});
  EXPECT_EQ(ticks, after);
}

TEST(SerialQueue, ManyThreadsSubmittingAtOnce) {
  SerialQueue queue("test.many");
  int counter = 0;  // touched only on the queue
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i) queue.async([&] { ++counter; });
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(queue.sync([&] { return counter; }), 4000);
}

}  // namespace
}  // namespace tolvo
