#include <unistd.h>

#include <array>
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
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

// System V shared memory segments this process created that still exist.
int ownSharedSegments() {
  std::ifstream table("/proc/sysvipc/shm");
  std::string line, key, id, perms, size, creator;
  int count = 0;
  while (std::getline(table, line)) {
    std::istringstream(line) >> key >> id >> perms >> size >> creator;
    count += creator == std::to_string(::getpid());
  }
  return count;
}

std::array<int, 4> pixel(const GrabbedImage& image, std::uint32_t x, std::uint32_t y) {
  const std::uint8_t* p = image.bgra + std::size_t{y} * image.stride + std::size_t{x} * 4;
  return {p[0], p[1], p[2], p[3]};
}

// Waits until the damage of earlier drawing has been taken (a grab per change) and the
// screen is quiet; the wait after that must time out.
void settle(FrameGrabber& grabber) {
  for (int i = 0; i < 20 && grabber.waitForChange(Clock::now() + 300ms) == Wait::changed; ++i) {
    ASSERT_TRUE(grabber.grab());
  }
}

// Grabs whatever changes until the grabber is lost, for at most 10 s; the last wait's answer.
Wait untilLost(FrameGrabber& grabber) {
  const auto deadline = Clock::now() + 10s;
  Wait wait = Wait::timedOut;
  while (Clock::now() < deadline) {
    wait = grabber.waitForChange(deadline);
    if (wait == Wait::lost) break;
    if (wait == Wait::changed && !grabber.grab()) return Wait::lost;
  }
  return wait;
}

TEST(X11FrameGrabberTest, GrabsTheScreenWithTheCursorOverSharedMemoryAndWaitsForDamage) {
  if (!XServer::available(XServer::Kind::xvfb)) GTEST_SKIP() << "Xvfb missing";
  test::TempDir dir;
  XServer x(dir.path(), {XServer::Kind::xvfb, 640, 480, false});
  x.run({"xsetroot", "-solid", "#ff0000"});
  x.run({"xdotool", "mousemove", "100", "100"});
  auto server = makeX11DisplayServer(x.display());
  const auto monitors = server->monitors();
  ASSERT_EQ(monitors.size(), 1u);

  const int segmentsBefore = ownSharedSegments();
  auto grabber = server->openGrabber(monitors[0].id);
  ASSERT_NE(grabber, nullptr);
  EXPECT_EQ(ownSharedSegments(), segmentsBefore + 1) << "the image should come through MIT-SHM";
  EXPECT_EQ(grabber->bounds(), (DisplayRect{0, 0, 640, 480}));

  EXPECT_EQ(grabber->waitForChange(Clock::now()), Wait::changed);  // nothing grabbed yet
  auto image = grabber->grab();
  ASSERT_TRUE(image && image->width == 640 && image->height == 480 && image->stride >= 640 * 4);
  EXPECT_EQ(pixel(*image, 400, 300), (std::array<int, 4>{0, 0, 255, 255}));
  // The root window's cursor (an X, black with a white outline) is drawn at the pointer.
  int cursorPixels = 0;
  for (std::uint32_t i = 0; i < 30 * 30; ++i) {
    cursorPixels += pixel(*image, 85 + i % 30, 85 + i / 30) != std::array<int, 4>{0, 0, 255, 255};
  }
  EXPECT_GT(cursorPixels, 10);

  settle(*grabber);
  const auto idleStart = Clock::now();
  EXPECT_EQ(grabber->waitForChange(Clock::now() + 400ms), Wait::timedOut);
  EXPECT_GE(Clock::now() - idleStart, 390ms);

  x.run({"xsetroot", "-solid", "#0000ff"});
  EXPECT_EQ(grabber->waitForChange(Clock::now() + 5s), Wait::changed);
  image = grabber->grab();
  ASSERT_TRUE(image);
  EXPECT_EQ(pixel(*image, 400, 300), (std::array<int, 4>{255, 0, 0, 255}));

  settle(*grabber);
  std::thread interrupter([&] {
    std::this_thread::sleep_for(200ms);
    grabber->interrupt();
  });
  EXPECT_EQ(grabber->waitForChange(Clock::now() + 20s), Wait::timedOut);
  EXPECT_LT(Clock::now() - idleStart, 10s);
  interrupter.join();

  grabber.reset();
  EXPECT_EQ(ownSharedSegments(), segmentsBefore);
}

TEST(X11FrameGrabberTest, CountsOnlyDamageOnItsMonitorAndIsLostWithTheMonitorOrServer) {
  if (!XServer::available(XServer::Kind::xorgDummy)) GTEST_SKIP() << "Xorg dummy driver missing";
  test::TempDir dir;
  auto x = std::make_unique<XServer>(dir.path(), XServer::Options{XServer::Kind::xorgDummy, 3200, 1080, false});
  x->addMonitor("SIDE", 1280, 720, 1920, 0);
  auto server = makeX11DisplayServer(x->display());
  const auto monitors = server->monitors();
  ASSERT_EQ(monitors.size(), 2u);
  auto main = server->openGrabber(monitors[0].id);
  auto side = server->openGrabber(monitors[1].id);
  ASSERT_TRUE(main && side && main->grab() && side->grab());
  EXPECT_EQ(side->bounds(), (DisplayRect{1920, 0, 1280, 720}));
  settle(*main);
  settle(*side);

  // A window drawn only on SIDE damages SIDE, not the main monitor.
  x->launch({"xterm", "-geometry", "40x10+2000+100", "-bg", "#00ff00"});
  EXPECT_EQ(side->waitForChange(Clock::now() + 10s), Wait::changed);
  EXPECT_EQ(main->waitForChange(Clock::now() + 500ms), Wait::timedOut);
  auto image = side->grab();
  ASSERT_TRUE(image);
  int green = 0;
  for (std::uint32_t x2 = 80; x2 < 300; ++x2) green += pixel(*image, x2, 150) == std::array<int, 4>{0, 255, 0, 255};
  EXPECT_GT(green, 100);

  x->removeMonitor("SIDE");
  EXPECT_EQ(untilLost(*side), Wait::lost);
  EXPECT_FALSE(side->grab());
  EXPECT_NE(main->waitForChange(Clock::now() + 100ms), Wait::lost);

  x.reset();  // the server dies
  EXPECT_EQ(untilLost(*main), Wait::lost);
  EXPECT_FALSE(main->grab());
}

}  // namespace
}  // namespace tolvo
