#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "core/window_switch_debug.h"
#include "recording/active_display_resolver.h"
#include "recording/app_context_tracker.h"
#include "support/manual_clock.h"
#include "support/sandbox.h"
#include "support/x_server.h"

namespace tolvo {
namespace {

using namespace std::chrono_literals;
using test::XServer;

struct Reports final : AppContextTrackerDelegate {
  void appContextTracker(AppContextTracker&, const AppContext& context) override { seen.push_back(context); }
  std::vector<AppContext> seen;  // touched on the callback queue only
};

// How often `part` occurs in the window-switch log.
std::size_t logged(const std::string& part) {
  TolvoWindowSwitchDebug::flush();
  const std::string text = test::readText(TolvoWindowSwitchDebug::logFileURL());
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// A tracker on `display` whose reports the test reads, with the window-switch log on.
class DisplayContextTest : public test::SandboxedTest {
 protected:
  void track(const std::string& display) {
    std::filesystem::create_directories(TolvoWindowSwitchDebug::directoryURL());
    test::writeText(TolvoWindowSwitchDebug::enabledFlagURL(), "");
    setEnv("XDG_DATA_DIRS", (root() / "no-applications").string());
    tracker_ = AppContextTracker::create(queue_, makeX11WindowContextSource(display), makeX11DisplayServer(display));
    tracker_->setDelegate(reports_);
  }
  std::vector<AppContext> reports() {
    return queue_->sync([this] { return reports_->seen; });
  }
  // Polls until the last report satisfies `done` (10 s at most); that report.
  template <typename P>
  AppContext pollUntil(P done) {
    for (int i = 0; i < 200; ++i, std::this_thread::sleep_for(50ms)) {
      tracker_->pollOnce();
      const auto seen = reports();
      if (!seen.empty() && done(seen.back())) return seen.back();
    }
    ADD_FAILURE() << "no such report";
    return {};
  }

  std::shared_ptr<SerialQueue> queue_ = std::make_shared<SerialQueue>("test.context.callback");
  std::shared_ptr<Reports> reports_ = std::make_shared<Reports>();
  std::shared_ptr<AppContextTracker> tracker_;
};

TEST_F(DisplayContextTest, ReportsEachChangedContextOnceAndFallsBackToTheMainDisplay) {
  XServer x(root(), {});
  track(x.display());
  const std::uint32_t screen = makeX11DisplayServer(x.display())->monitors().at(0).id;
  tracker_->pollOnce();
  EXPECT_EQ(reports(), (std::vector<AppContext>{{"unknown", "Unknown", std::nullopt, std::nullopt}}));

  const std::string window = x.openTerminal("alpha");
  EXPECT_EQ(pollUntil([](const AppContext& c) { return c.windowTitle == "alpha"; }),
            (AppContext{"XTerm", "XTerm", "alpha", screen}));
  const std::size_t before = reports().size();
  tracker_->pollOnce();
  tracker_->pollOnce();
  EXPECT_EQ(reports().size(), before);
  x.run({"xdotool", "set_window", "--name", "beta", window});
  pollUntil([](const AppContext& c) { return c.windowTitle == "beta"; });
  EXPECT_EQ(reports().size(), before + 1);
  // The timer: a start looks at once; a tracker released while it ticks runs nothing more.
  x.run({"xdotool", "set_window", "--name", "gamma", window});
  tracker_->startTracking();
  for (int i = 0; i < 100 && reports().back().windowTitle != "gamma"; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(reports().back().windowTitle, "gamma");
  tracker_.reset();

  // Without window properties (an unreachable display): an untrusted context without title
  // or display, and the main display, which on Xvfb (no monitor primary) is the first.
  auto untrusted = AppContextTracker::create(queue_, makeX11WindowContextSource(":999"), makeX11DisplayServer(x.display()));
  untrusted->pollOnce();
  queue_->sync([] {});
  const std::string head = "] [AppContextTracker] contextChanged app=";
  EXPECT_EQ(logged(head + "XTerm bundle=XTerm window=alpha display=" + std::to_string(screen) +
                   " accessibilityTrusted=true\n"), 1u);
  EXPECT_EQ(logged(head + "Unknown bundle=unknown window=<nil> display=nil accessibilityTrusted=false\n"), 1u);
  ActiveDisplayResolver resolver(makeX11WindowContextSource(":999"), makeX11DisplayServer(x.display()));
  EXPECT_EQ(resolver.resolveActiveDisplay(), screen);
  EXPECT_EQ(logged("] [ActiveDisplayResolver] source=main_display candidateDisplay=" + std::to_string(screen) +
                   " resolvedDisplay=" + std::to_string(screen) +
                   " accepted new display; falling back to CGMainDisplayID()\n"), 1u);
}

// Two monitors stacked vertically (the visible output split in halves, as the pointer stays
// on the output): the window, the pointer and the monitors share top-left root coordinates,
// so a window or pointer on the lower monitor must land there.
TEST_F(DisplayContextTest, FollowsWindowAndPointerAcrossStackedMonitorsWithHysteresis) {
  if (!XServer::available(XServer::Kind::xorgDummy)) GTEST_SKIP() << "Xorg dummy driver missing";
  XServer x(root(), {XServer::Kind::xorgDummy, 1920, 1080, true});
  x.run({"xrandr", "--setmonitor", "UPPER", "1920/508x540/143+0+0", "DUMMY0"});
  x.addMonitor("LOWER", 1920, 540, 0, 540);
  track(x.display());
  const auto ids = ActiveDisplayResolver::getAvailableDisplays(*makeX11DisplayServer(x.display()));
  ASSERT_EQ(ids.size(), 2u);
  const std::uint32_t upper = ids[0], lower = ids[1];
  test::ManualClock clock;
  ActiveDisplayResolver resolver(makeX11WindowContextSource(x.display()), makeX11DisplayServer(x.display()), clock);

  // No window is focused: the pointer decides, a switch held off until 0.5 s have passed.
  x.run({"xdotool", "mousemove", "500", "800"});
  EXPECT_EQ(resolver.resolveActiveDisplay(), lower);
  x.run({"xdotool", "mousemove", "10", "10"});
  clock.advance(0.4s);
  EXPECT_EQ(resolver.resolveActiveDisplay(), lower);
  clock.advance(0.2s);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(resolver.resolveActiveDisplay(), upper);

  // A focused window wins over the pointer, and moving it moves its context.
  const std::string window = x.openTerminal("stacked", {}, "40x8+100+650");
  EXPECT_EQ(pollUntil([](const AppContext& c) { return c.windowTitle == "stacked"; }).displayId, lower);
  clock.advance(1s);
  EXPECT_EQ(resolver.resolveActiveDisplay(), lower);
  x.run({"xdotool", "windowmove", window, "100", "100"});
  EXPECT_EQ(pollUntil([&](const AppContext& c) { return c.displayId != lower; }).displayId, upper);

  const std::string u = std::to_string(upper);
  EXPECT_EQ(logged("] [ActiveDisplayResolver] source=mouse_pointer candidateDisplay=" + u + " resolvedDisplay=" + u +
                   " same display reused; mouse=(10.0, 10.0)\n"), 1u);
}

}  // namespace
}  // namespace tolvo
