#include <array>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform/display_server.h"
#include "support/sandbox.h"
#include "support/x_server.h"

namespace tolvo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Wait = FrameGrabber::Wait;
using test::XServer;
using Bgra = std::array<int, 4>;
constexpr Bgra kRed{0, 0, 255, 255}, kBlue{255, 0, 0, 255};

// How many pixels of the `width` x `height` area at (x, y) of `image` have `color`.
int count(const GrabbedImage& image, Bgra color, std::uint32_t x, std::uint32_t y, std::uint32_t width = 1,
          std::uint32_t height = 1) {
  int n = 0;
  for (std::uint32_t i = 0; i < width * height; ++i) {
    const std::uint8_t* p = image.bgra + std::size_t{y + i / width} * image.stride + std::size_t{x + i % width} * 4;
    n += Bgra{p[0], p[1], p[2], p[3]} == color;
  }
  return n;
}

// Takes the damage of earlier drawing (a grab per change) until the screen is quiet or the
// grabber is lost; the last wait's answer.
Wait settle(FrameGrabber& grabber, Clock::duration quiet = 300ms) {
  Wait wait = Wait::changed;
  for (int i = 0; i < 50 && wait == Wait::changed; ++i) {
    wait = grabber.waitForChange(Clock::now() + quiet);
    if (wait == Wait::changed && !grabber.grab()) return Wait::lost;
  }
  return wait;
}

TEST(X11FrameGrabberTest, GrabsTheScreenWithTheCursorAndWaitsForDamage) {
  if (!XServer::available(XServer::Kind::xvfb)) GTEST_SKIP() << "Xvfb missing";
  test::TempDir dir;
  XServer x(dir.path(), {XServer::Kind::xvfb, 640, 480, false});
  x.run({"xsetroot", "-solid", "#ff0000"});
  x.run({"xdotool", "mousemove", "100", "100"});
  auto server = makeX11DisplayServer(x.display());
  auto grabber = server->openGrabber(server->monitors().at(0).id);
  ASSERT_NE(grabber, nullptr);

  auto image = grabber->grab();
  ASSERT_TRUE(image && image->width == 640 && image->height == 480 && image->stride >= 640 * 4);
  EXPECT_EQ(count(*image, kRed, 400, 300), 1);
  // The root window's cursor (an X, black with a white outline) is drawn at the pointer.
  EXPECT_LT(count(*image, kRed, 85, 85, 30, 30), 30 * 30 - 10);

  // On a quiet screen a wait lasts until interrupt() ends it, long before its deadline.
  EXPECT_EQ(settle(*grabber), Wait::timedOut);
  const auto idleStart = Clock::now();
  std::thread interrupter([&] { std::this_thread::sleep_for(500ms); grabber->interrupt(); });
  EXPECT_EQ(grabber->waitForChange(idleStart + 20s), Wait::timedOut);
  const auto idle = Clock::now() - idleStart;
  EXPECT_TRUE(idle >= 490ms && idle < 10s);
  interrupter.join();
  x.run({"xsetroot", "-solid", "#0000ff"});
  EXPECT_EQ(grabber->waitForChange(Clock::now() + 5s), Wait::changed);
  image = grabber->grab();
  ASSERT_TRUE(image);
  EXPECT_EQ(count(*image, kBlue, 400, 300), 1);
}

TEST(X11FrameGrabberTest, CountsOnlyDamageOnItsMonitorAndIsLostWithIt) {
  if (!XServer::available(XServer::Kind::xorgDummy)) GTEST_SKIP() << "Xorg dummy driver missing";
  test::TempDir dir;
  XServer x(dir.path(), {XServer::Kind::xorgDummy, 3200, 1080, false});
  x.addMonitor("SIDE", 1280, 720, 1920, 0);
  auto server = makeX11DisplayServer(x.display());
  auto primary = server->openGrabber(server->monitors().at(0).id);
  auto side = server->openGrabber(server->monitors().at(1).id);
  ASSERT_TRUE(primary && side && primary->grab() && side->grab());
  EXPECT_EQ(side->bounds(), (DisplayRect{1920, 0, 1280, 720}));
  settle(*primary);
  settle(*side);

  // A window drawn only on SIDE damages SIDE, not the primary monitor.
  x.launch({"xterm", "-geometry", "40x10+2000+100", "-bg", "#00ff00"});
  EXPECT_EQ(side->waitForChange(Clock::now() + 10s), Wait::changed);
  EXPECT_EQ(primary->waitForChange(Clock::now() + 500ms), Wait::timedOut);
  auto image = side->grab();
  ASSERT_TRUE(image);
  EXPECT_GT(count(*image, Bgra{0, 255, 0, 255}, 80, 150, 220), 100);  // at 2000 - 1920 + 80, row 150

  // Removing SIDE loses its grabber only (the engine stops its stream on that answer).
  x.removeMonitor("SIDE");
  EXPECT_EQ(settle(*side, 10s), Wait::lost);
  EXPECT_FALSE(side->grab());
  EXPECT_NE(primary->waitForChange(Clock::now() + 100ms), Wait::lost);
}

}  // namespace
}  // namespace tolvo
