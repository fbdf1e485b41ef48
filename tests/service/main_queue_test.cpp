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
  bool onMain = true;
  const auto mainThread = std::this_thread::get_id();
  EXPECT_FALSE(queue.isCurrent());
  queue.asyncAfter(60ms, [&] {
    order.push_back(3);
    queue.stop();
  });
  queue.asyncAfter(20ms, [&] { order.push_back(2); });
  std::thread poster([&] {
    queue.async([&] {
      onMain = onMain && std::this_thread::get_id() == mainThread && queue.isCurrent();
      order.push_back(1);
    });
  });
  poster.join();
  queue.async([] { throw std::runtime_error("a failing block is dropped"); });
  queue.run();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_TRUE(onMain);
  EXPECT_FALSE(queue.isCurrent());
}

TEST(MainQueue, StopFromAnotherThreadEndsRunAndLaterBlocksWaitForTheNextRun) {
  MainQueue queue;
  int ran = 0;
  std::thread stopper([&] {
    std::this_thread::sleep_for(30ms);
    queue.stop();
  });
  queue.run();  // nothing queued: returns only because of stop()
  stopper.join();
  queue.async([&] { ++ran; });
  EXPECT_EQ(ran, 0);
  queue.async([&] { queue.stop(); });
  queue.run();
  EXPECT_EQ(ran, 1);
}

}  // namespace
}  // namespace tolvo::test
