#include "recording/screen_capture_engine.h"

#include <unistd.h>

#include <array>
#include <chrono>
#include <functional>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/window_switch_debug.h"
#include "support/sandbox.h"
#include "support/x_server.h"

namespace tolvo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::XServer;

struct Frame {
  std::shared_ptr<const PixelBuffer> buffer;
  MediaTime captureTime;
};

bool eventually(const std::function<bool()>& condition, Clock::duration timeout = 10s) {
  for (const auto deadline = Clock::now() + timeout; !condition(); std::this_thread::sleep_for(20ms)) {
    if (Clock::now() > deadline) return false;
  }
  return true;
}

class Recorder final : public ScreenCaptureEngineDelegate {
 public:
  void screenCaptureEngine(ScreenCaptureEngine&, std::shared_ptr<const PixelBuffer> frame, MediaTime at) override {
    std::lock_guard lock(mutex_);
    frames_.push_back({std::move(frame), at});
  }
  std::vector<Frame> frames() {
    std::lock_guard lock(mutex_);
    return frames_;
  }
  // Waits (at most 10 s) until at least `count` frames arrived; the frames so far.
  std::vector<Frame> await(std::size_t count) {
    eventually([&] { return frames().size() >= count; });
    return frames();
  }

 private:
  std::mutex mutex_;
  std::vector<Frame> frames_;
};

// The BGRA value a quarter into `frame` (the pointer starts in the middle of the screen).
std::array<int, 4> quarter(const PixelBuffer& frame) {
  const std::uint8_t* p = frame.row(frame.height / 4) + std::size_t{frame.width / 4} * 4;
  return {p[0], p[1], p[2], p[3]};
}

// Shared memory segments this process created that still exist: one per live grabber.
int ownSharedSegments() {
  std::ifstream table("/proc/sysvipc/shm");
  std::string line, key, id, perms, size, creator;
  std::getline(table, line);
  int count = 0;
  while (std::getline(table, line)) {
    std::istringstream(line) >> key >> id >> perms >> size >> creator;
    count += creator == std::to_string(::getpid());
  }
  return count;
}

class ScreenCaptureEngineTest : public test::SandboxedTest {
 protected:
  void SetUp() override {
    if (!XServer::available(XServer::Kind::xvfb)) GTEST_SKIP() << "Xvfb missing";
    std::filesystem::create_directories(TolvoWindowSwitchDebug::directoryURL());
    test::writeText(TolvoWindowSwitchDebug::enabledFlagURL(), "");
  }

  std::string debugLog() {
    TolvoWindowSwitchDebug::flush();
    return test::readText(TolvoWindowSwitchDebug::logFileURL());
  }
};

TEST_F(ScreenCaptureEngineTest, DeliversTheScreenScaledOrNativeOnlyWhenItChangesAndAtMostTenPerSecond) {
  XServer x(root(), {XServer::Kind::xvfb, 1280, 720, false});
  x.run({"xsetroot", "-solid", "#ff0000"});
  auto server = makeX11DisplayServer(x.display());
  const std::uint32_t id = server->monitors().at(0).id;
  auto recorder = std::make_shared<Recorder>();
  ScreenCaptureEngine engine(server);
  engine.setDelegate(recorder);

  engine.start(id, 5, CaptureSize{640.9, 360.2});
  EXPECT_EQ(engine.currentDisplayID(), id);
  auto frames = recorder->await(1);
  ASSERT_TRUE(frames.size() == 1 && frames[0].buffer->width == 640 && frames[0].buffer->height == 360);
  EXPECT_EQ(quarter(*frames[0].buffer), (std::array<int, 4>{0, 0, 255, 255}));

  std::this_thread::sleep_for(1500ms);  // an idle screen: nothing more
  EXPECT_EQ(recorder->frames().size(), 1u);
  x.run({"xsetroot", "-solid", "#0000ff"});
  frames = recorder->await(2);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(quarter(*frames[1].buffer), (std::array<int, 4>{255, 0, 0, 255}));
  EXPECT_GT(frames[1].captureTime, frames[0].captureTime);

  engine.stop();
  EXPECT_EQ(engine.currentDisplayID(), std::nullopt);
  x.run({"xsetroot", "-solid", "#00ff00"});
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(recorder->frames().size(), 2u);

  // Native size at 30 fps over a screen that never rests: at most one frame per 0.1 s.
  engine.start(id, 30);
  frames = recorder->await(3);
  ASSERT_TRUE(frames.size() == 3 && frames[2].buffer->width == 1280 && frames[2].buffer->height == 720);
  x.launch({"sh", "-c", "while :; do xsetroot -solid '#ff0000'; xsetroot -solid '#00ff00'; done"});
  std::this_thread::sleep_for(2s);
  frames = recorder->frames();
  EXPECT_GE(frames.size(), 3u + 5);
  EXPECT_LE(frames.size(), 3u + 22);
  for (std::size_t i = 4; i < frames.size(); ++i) {
    EXPECT_GT(frames[i].captureTime - frames[i - 1].captureTime, 60ms) << "frame " << i;
  }
  engine.stop();

  const std::string log = debugLog();
  const std::string display = std::to_string(id);
  for (const std::string& line :
       {"[ScreenCaptureEngine] startCapture requested display=" + display + " fps=5.00 size=640x360 generation=1",
        "[ScreenCaptureEngine] startCapture succeeded display=" + display + " generation=1",
        "[ScreenCaptureEngine] stop requested previousDisplay=" + display + " hadActiveStream=true",
        "[ScreenCaptureEngine] startCapture requested display=" + display + " fps=30.00 size=native generation=3",
        "[ScreenCaptureEngine] startCapture succeeded display=" + display + " generation=3"}) {
    EXPECT_NE(log.find(line + "\n"), std::string::npos) << line << "\nin:\n" << log;
  }
}

TEST_F(ScreenCaptureEngineTest, KeepsOneStreamThroughRacesAndFailsForUnknownDisplays) {
  XServer x(root(), {XServer::Kind::xvfb, 800, 600, false});
  auto server = makeX11DisplayServer(x.display());
  const std::uint32_t id = server->monitors().at(0).id;
  EXPECT_TRUE(ScreenCaptureEngine::hasPermission(server));
  EXPECT_FALSE(ScreenCaptureEngine::hasPermission(makeX11DisplayServer(":999")));
  int granted = 0;
  ScreenCaptureEngine::requestPermission(server, [&](bool answer) { granted += answer ? 1 : 10; });
  EXPECT_EQ(granted, 1);

  // Streams of earlier tests in this process end in the background; only ours count here.
  ASSERT_TRUE(eventually([&] { return ownSharedSegments() == 0; }));
  auto recorder = std::make_shared<Recorder>();
  auto engine = std::make_unique<ScreenCaptureEngine>(server);
  engine->setDelegate(recorder);

  engine->start(id + 1000, 1);
  EXPECT_TRUE(eventually([&] { return !engine->currentDisplayID(); }));
  EXPECT_NE(debugLog().find("startCapture failed display=" + std::to_string(id + 1000) +
                            " generation=1 error=Display not found\n"),
            std::string::npos);

  // A stop right after a start: the stream is dropped and the display stays cleared.
  engine->start(id, 2);
  engine->stop();
  EXPECT_EQ(engine->currentDisplayID(), std::nullopt);
  std::this_thread::sleep_for(1s);
  EXPECT_TRUE(recorder->frames().empty() && !engine->currentDisplayID());
  EXPECT_NE(debugLog().find("stop requested previousDisplay=" + std::to_string(id) + " hadActiveStream=false\n"),
            std::string::npos);

  // Quick restarts leave exactly one live stream (one grabber holding one segment).
  for (int i = 0; i < 4; ++i) engine->start(id, 2);
  EXPECT_EQ(recorder->await(1).size(), 1u);
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(recorder->frames().size(), 1u);
  EXPECT_TRUE(eventually([&] { return ownSharedSegments() == 1; }));
  EXPECT_EQ(engine->currentDisplayID(), id);

  // The engine may go away with a start task in flight; everything it held is released.
  engine->start(id, 2);
  engine.reset();
  EXPECT_TRUE(eventually([&] { return ownSharedSegments() == 0; }));
}

TEST_F(ScreenCaptureEngineTest, StopsTheStreamWhenItsMonitorOrServerGoes) {
  auto recorder = std::make_shared<Recorder>();
  if (XServer::available(XServer::Kind::xorgDummy)) {
    XServer x(root(), {XServer::Kind::xorgDummy, 3200, 1080, false});
    x.addMonitor("SIDE", 1280, 720, 1920, 0);
    auto server = makeX11DisplayServer(x.display());
    ScreenCaptureEngine engine(server);
    engine.setDelegate(recorder);
    const std::uint32_t side = server->monitors().at(1).id;
    engine.start(side, 2);
    ASSERT_EQ(recorder->await(1).size(), 1u);
    EXPECT_EQ(recorder->frames()[0].buffer->width, 1280u);
    x.removeMonitor("SIDE");
    EXPECT_TRUE(eventually([&] { return !engine.currentDisplayID(); }));
  }
  auto x = std::make_unique<XServer>(root() / "xvfb", XServer::Options{XServer::Kind::xvfb, 640, 480, false});
  auto server = makeX11DisplayServer(x->display());
  ScreenCaptureEngine engine(server);
  engine.setDelegate(recorder);
  const std::size_t before = recorder->frames().size();
  engine.start(server->monitors().at(0).id, 2);
  ASSERT_EQ(recorder->await(before + 1).size(), before + 1);
  x.reset();
  EXPECT_TRUE(eventually([&] { return !engine.currentDisplayID(); }));
}

}  // namespace
}  // namespace tolvo
