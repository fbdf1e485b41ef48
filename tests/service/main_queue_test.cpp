#include "service/main_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tolvo::test {
namespace {

using namespace std::chrono_literals;

TEST(MainQueue, RunsBlocksOnTheCallingThreadInOrderUntilStopped) {
  MainQueue queue;
  std::vector<int> order;
  bool onMain = false;
  const auto mainThread = std::this_thread::get_id();
  queue.asyncAfter(60ms, [&] {
    order.push_back(3);
    queue.stop();
  });
  queue.asyncAfter(20ms, [&] { order.push_back(2); });
  std::thread([&] {
    queue.async([&] {
      onMain = std::this_thread::get_id() == mainThread && queue.isCurrent();
      order.push_back(1);
    });
  }).join();
  queue.async([] { throw std::runtime_error("a failing block is dropped"); });
  queue.run();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_TRUE(onMain);
  EXPECT_FALSE(queue.isCurrent());

  // A block posted between runs waits for the next one; stop() from another thread ends a run
  // that has nothing left to do.
  queue.async([&] { order.push_back(4); });
  EXPECT_EQ(order.size(), 3u);
  std::thread stopper([&] {
    std::this_thread::sleep_for(50ms);
    queue.stop();
  });
  queue.run();
  stopper.join();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
}

}  // namespace
}  // namespace tolvo::test
