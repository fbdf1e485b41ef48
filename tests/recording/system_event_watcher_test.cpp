// The system event watcher on the sd-bus source, against two private dbus-daemons: one as the
// system bus with a login1 stand-in, one as the session bus with a ScreenSaver owner.
#include "recording/system_event_watcher.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "core/handle.h"
#include "support/bus_service.h"
#include "support/sandbox.h"
#include "support/session_bus.h"

namespace tolvo {
namespace {

using namespace std::chrono_literals;
using E = SystemEvent;
using test::BusService;
constexpr const char *kManagerPath = test::kLogin1ManagerPath, *kManager = test::kLogin1Manager;
constexpr const char *kSessionPath = test::kLogin1SessionPath, *kSession = test::kLogin1Session;

// Keeps what it is told; read it on the queue.
struct Recorder : SystemEventWatcherDelegate {
  explicit Recorder(SerialQueue& q) : queue(q) {}
  void systemEventWatcher(SystemEventWatcher&, SystemEvent event) override {
    EXPECT_TRUE(queue.isCurrent());
    events.push_back(event);
  }
  SerialQueue& queue;
  std::vector<E> events;
};

class SystemEventWatcherTest : public test::SandboxedTest {
 protected:
  void SetUp() override {
    if (!test::SessionBus::available(false)) GTEST_SKIP() << "dbus-daemon not installed";
    system_.emplace(root() / "system", test::SessionBus::Options{});
    session_.emplace(root() / "session", test::SessionBus::Options{});
    setEnv("DBUS_SYSTEM_BUS_ADDRESS", system_->address());
    setEnv("DBUS_SESSION_BUS_ADDRESS", session_->address());
    setEnv("XDG_SESSION_ID", "c7");
    login1_.emplace(sd_bus_open_system, "org.freedesktop.login1");
    screensaver_.emplace(sd_bus_open_user, "org.freedesktop.ScreenSaver");
  }
  std::shared_ptr<SystemEventWatcher> watch(const std::shared_ptr<Recorder>& recorder) {
    auto watcher = SystemEventWatcher::create(queue_, makeLogindSystemEventSource());
    watcher->setDelegate(recorder);
    return watcher;
  }
  // The events `recorder` has, once there are `count` or ten seconds passed.
  std::vector<E> events(Recorder& recorder, std::size_t count) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (queue_.sync([&] { return recorder.events.size() < count; }) && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(10ms);
    }
    return queue_.sync([&] { return recorder.events; });
  }
  // Sets the stand-in's lid, then polls it through each of `watchers` on the queue.
  void pollLid(bool closed, std::initializer_list<SystemEventWatcher*> watchers) {
    login1_->lidClosed = closed;
    for (SystemEventWatcher* watcher : watchers) queue_.sync([&] { watcher->checkLidState(); });
  }

  SerialQueue queue_{"system-events-test"};
  std::optional<test::SessionBus> system_, session_;
  std::optional<BusService> login1_, screensaver_;
};

TEST_F(SystemEventWatcherTest, OnlyItsOwnSessionsSignalsReachTheDelegateNothingAfterStopOrWithoutABus) {
  setEnv("XDG_SESSION_ID", std::nullopt);  // the session is found by this process's id
  auto live = std::make_shared<Recorder>(queue_), idle = std::make_shared<Recorder>(queue_);
  auto watcher = watch(live);
  const auto threads = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}); };
  const auto threadsBefore = threads();
  auto stopped = watch(idle);
  stopped->stop();
  EXPECT_EQ(threads(), threadsBefore);
  login1_->emit("/org/freedesktop/login1/session/c8", kSession, "Lock");  // not our session
  login1_->emit(kSessionPath, kSession, "Lock");
  login1_->emit(kManagerPath, kManager, "PrepareForSleep", true);
  ASSERT_EQ(events(*live, 2), (std::vector{E::lidClosed, E::willSleep}));
  screensaver_->emit("/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver", "ActiveChanged", true);
  EXPECT_EQ(events(*live, 3), (std::vector{E::lidClosed, E::willSleep, E::screensaverStarted}));
  for (bool closed : {false, true}) pollLid(closed, {stopped.get()});
  EXPECT_TRUE(events(*idle, 0).empty());
  const std::weak_ptr<Recorder> released = std::exchange(live, nullptr);
  EXPECT_TRUE(released.expired()) << "the watcher holds its delegate weakly";

  // A system bus that accepts but never answers, and no session bus: a bounded wait, no events.
  FileDescriptor silent(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{AF_UNIX, {}};
  std::strncpy(address.sun_path, (root() / "silent").c_str(), sizeof address.sun_path - 1);
  ASSERT_TRUE(::bind(silent.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              ::listen(silent.get(), 8) == 0);
  setEnv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (root() / "silent").string());
  setEnv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (root() / "nothing").string());
  const auto connecting = std::chrono::steady_clock::now();
  auto busless = watch(idle);
  EXPECT_FALSE(busless->isLidClosed());
  EXPECT_LT(std::chrono::steady_clock::now() - connecting, 5s);  // each wait bounded
  login1_->emit(kSessionPath, kSession, "Lock");
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(events(*idle, 0).empty());
}

TEST_F(SystemEventWatcherTest, LidPollsReportChangesButNotALidClosedAtStart) {
  login1_->lidClosed = true;
  auto recorder = std::make_shared<Recorder>(queue_);
  auto watcher = watch(recorder);
  for (bool closed : {true, false, true}) pollLid(closed, {watcher.get()});
  login1_->lidClosed = false;  // only the timer's poll can report this
  EXPECT_EQ(events(*recorder, 3), (std::vector{E::lidOpened, E::lidClosed, E::lidOpened}));
  EXPECT_EQ(login1_->lidReaders, 1);  // one connection for all reads
}

}  // namespace
}  // namespace tolvo
