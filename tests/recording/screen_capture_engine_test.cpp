#include "recording/screen_capture_engine.h"

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
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

bool eventually(const std::function<bool()>& condition) {
  for (const auto deadline = Clock::now() + 10s; !condition(); std::this_thread::sleep_for(20ms)) {
    if (Clock::now() > deadline) return false;
  }
  return true;
}

// System V shared memory segments this process created that still exist: one per live grabber.
int ownSharedSegments() {
  std::ifstream table("/proc/sysvipc/shm");
  int count = 0;
  for (std::string line, field; std::getline(table, line);) {
    std::istringstream fields(line);
    for (int i = 0; i < 5; ++i) fields >> field;  // key shmid perms size cpid
    count += field == std::to_string(::getpid());
  }
  return count;
}

struct Frame {
  std::shared_ptr<const PixelBuffer> buffer;
  MediaTime captureTime;
};

struct Recorder final : ScreenCaptureEngineDelegate {
  void screenCaptureEngine(ScreenCaptureEngine&, std::shared_ptr<const PixelBuffer> frame, MediaTime at) override {
    std::lock_guard lock(mutex);
    frames.push_back({std::move(frame), at});
  }
  // The frames once at least `count` arrived (10 s at most) and then `quiet` passed.
  std::vector<Frame> await(std::size_t count = 0, Clock::duration quiet = {}) {
    eventually([&] { std::lock_guard lock(mutex); return frames.size() >= count; });
    std::this_thread::sleep_for(quiet);
    std::lock_guard lock(mutex);
    return frames;
  }
  std::mutex mutex;
  std::vector<Frame> frames;
};

// Expects the window-switch log to hold `line` of the engine.
void expectLogged(const std::string& line) {
  TolvoWindowSwitchDebug::flush();
  const std::string log = test::readText(TolvoWindowSwitchDebug::logFileURL());
  EXPECT_NE(log.find("[ScreenCaptureEngine] " + line + "\n"), std::string::npos) << line << "\nin:\n" << log;
}

using ScreenCaptureEngineTest = test::SandboxedTest;

TEST_F(ScreenCaptureEngineTest, DeliversChangesAtMostTenPerSecondKeepsOneStreamAndStopsWithTheServer) {
  if (!XServer::available(XServer::Kind::xvfb)) GTEST_SKIP() << "Xvfb missing";
  std::filesystem::create_directories(TolvoWindowSwitchDebug::directoryURL());
  test::writeText(TolvoWindowSwitchDebug::enabledFlagURL(), "");
  auto x = std::make_unique<XServer>(root(), XServer::Options{XServer::Kind::xvfb, 1280, 720, false});
  x->run({"xsetroot", "-solid", "#ff0000"});
  auto server = makeX11DisplayServer(x->display());
  const std::uint32_t id = server->monitors().at(0).id;
  const std::string display = std::to_string(id);
  auto recorder = std::make_shared<Recorder>();
  auto engine = std::make_unique<ScreenCaptureEngine>(server);
  engine->setDelegate(recorder);

  // An idle screen gives its first picture and then nothing; a change gives one more.
  engine->start(id, 5, CaptureSize{640.9, 360.2});
  EXPECT_EQ(recorder->await(1, 1500ms).size(), 1u);
  x->run({"xsetroot", "-solid", "#0000ff"});
  auto frames = recorder->await(2);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_TRUE(frames[0].buffer->width == 640 && frames[0].buffer->height == 360);
  // The blue byte of the first BGRA pixel a quarter down: red, then blue.
  EXPECT_TRUE(frames[0].buffer->row(90)[0] == 0 && frames[1].buffer->row(90)[0] == 255);
  engine->stop();
  EXPECT_EQ(engine->currentDisplayID(), std::nullopt);
  x->run({"xsetroot", "-solid", "#00ff00"});
  EXPECT_EQ(recorder->await(2, 500ms).size(), 2u);

  // Native size at 30 fps over a screen that never rests: at most one frame per 0.1 s.
  engine->start(id, 30);
  frames = recorder->await(3);
  ASSERT_TRUE(frames.size() == 3 && frames[2].buffer->width == 1280 && frames[2].buffer->height == 720);
  const pid_t flicker = x->launch({"sh", "-c", "while :; do xsetroot -solid red; xsetroot -solid green; done"});
  frames = recorder->await(3, 2s);
  x->kill(flicker);
  EXPECT_TRUE(frames.size() >= 3 + 5 && frames.size() <= 3 + 22) << frames.size();
  for (std::size_t i = 4; i < frames.size(); ++i) {
    EXPECT_GT(frames[i].captureTime - frames[i - 1].captureTime, 60ms) << "frame " << i;
  }
  engine->stop();
  expectLogged("startCapture requested display=" + display + " fps=5.00 size=640x360 generation=1");
  expectLogged("startCapture succeeded display=" + display + " generation=1");
  expectLogged("stop requested previousDisplay=" + display + " hadActiveStream=true");
  expectLogged("startCapture requested display=" + display + " fps=30.00 size=native generation=3");
  expectLogged("startCapture succeeded display=" + display + " generation=3");

  EXPECT_TRUE(ScreenCaptureEngine::hasPermission(server));
  EXPECT_FALSE(ScreenCaptureEngine::hasPermission(makeX11DisplayServer(":999")));

  // A fresh engine: its generations count from 1 again.
  recorder = std::make_shared<Recorder>();
  engine = std::make_unique<ScreenCaptureEngine>(server);
  engine->setDelegate(recorder);
  engine->start(id + 1000, 1);
  EXPECT_TRUE(eventually([&] { return !engine->currentDisplayID(); }));
  expectLogged("startCapture failed display=" + std::to_string(id + 1000) + " generation=1 error=Display not found");

  // Stopped during its start, or destroyed with a start task in flight: no stream, no
  // shared memory segment left behind.
  engine->start(id, 2);
  engine->stop();
  ScreenCaptureEngine(server).start(id, 2);
  EXPECT_EQ(recorder->await(0, 1s).size(), 0u);
  EXPECT_TRUE(eventually([] { return ownSharedSegments() == 0; }));

  // Quick restarts leave exactly one live stream, which grabs through one MIT-SHM segment;
  // it stops by itself when the server dies.
  for (int i = 0; i < 4; ++i) engine->start(id, 2);
  EXPECT_EQ(recorder->await(1, 1s).size(), 1u);
  EXPECT_TRUE(eventually([] { return ownSharedSegments() == 1; }));
  EXPECT_EQ(engine->currentDisplayID(), id);
  x.reset();
  EXPECT_TRUE(eventually([&] { return !engine->currentDisplayID(); }));
}

}  // namespace
}  // namespace tolvo
