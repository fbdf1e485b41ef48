// The system event watcher on the sd-bus source, against two private dbus-daemons: one as the
// system bus with a login1 stand-in, one as the session bus with a ScreenSaver owner.
#include "recording/system_event_watcher.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstring>

#include "core/handle.h"
#include "support/sandbox.h"
#include "support/session_bus.h"

namespace tolvo {
namespace {

using namespace std::chrono_literals;
using E = SystemEvent;
constexpr const char *kManagerPath = "/org/freedesktop/login1", *kManager = "org.freedesktop.login1.Manager";
constexpr const char *kSessionPath = "/org/freedesktop/login1/session/c7", *kSession = "org.freedesktop.login1.Session";

// login1's Manager as far as the source uses it: session "c7" by id or by this process's id.
int answerSession(sd_bus_message* m, void*, sd_bus_error* error) {
  const char* id = "";
  std::uint32_t pid = 0;
  const bool known = sd_bus_message_has_signature(m, "s")
                         ? sd_bus_message_read(m, "s", &id) > 0 && std::strcmp(id, "c7") == 0
                         : sd_bus_message_read(m, "u", &pid) > 0 && pid == static_cast<std::uint32_t>(::getpid());
  if (!known) return sd_bus_error_set(error, "org.freedesktop.login1.NoSuchSession", "no such session");
  return sd_bus_reply_method_return(m, "o", kSessionPath);
}

// Owns `name` on the bus `open` opens and answers on its own thread; as org.freedesktop.login1
// it also serves the Manager's GetSession, GetSessionByPID and LidClosed (from lidClosed).
class BusService {
 public:
  BusService(int (*open)(sd_bus**), const char* name) {
    sd_bus* raw = nullptr;
    EXPECT_GE(open(&raw), 0);
    bus_.reset(raw);
    const bool login1 = std::strcmp(name, "org.freedesktop.login1") == 0;
    EXPECT_GE(login1 ? sd_bus_add_object_vtable(raw, nullptr, kManagerPath, kManager, kManagerVtable, this) : 0, 0);
    EXPECT_GE(sd_bus_request_name(raw, name, 0), 0);
    thread_ = std::jthread([this](const std::stop_token& stop) {
      for (std::unique_lock lock(mutex_); !stop.stop_requested(); lock.lock()) {
        while (sd_bus_process(bus_.get(), nullptr) > 0) continue;
        pollfd fd{sd_bus_get_fd(bus_.get()), static_cast<short>(sd_bus_get_events(bus_.get())), 0};
        lock.unlock();
        ::poll(&fd, 1, 20);
      }
    });
  }
  void emit(const char* path, const char* interface, const char* member, std::optional<bool> value = {}) {
    std::lock_guard lock(mutex_);
    // Without "b" the argument is not read.
    EXPECT_GE(sd_bus_emit_signal(bus_.get(), path, interface, member, value ? "b" : "", int{value.value_or(false)}), 0);
  }
  std::atomic<bool> lidClosed = false;
  std::atomic<int> lidReaders = 0;  // how often the connection reading LidClosed changed

 private:
  static int readLid(sd_bus* bus, const char*, const char*, const char*, sd_bus_message* reply, void* self,
                     sd_bus_error*) {
    auto& service = *static_cast<BusService*>(self);
    const char* reader = sd_bus_message_get_sender(sd_bus_get_current_message(bus));
    if (reader != nullptr && std::exchange(service.lastReader_, reader) != reader) ++service.lidReaders;
    return sd_bus_message_append(reply, "b", static_cast<int>(service.lidClosed.load()));
  }
  static constexpr sd_bus_vtable kManagerVtable[] = {
      SD_BUS_VTABLE_START(0), SD_BUS_METHOD("GetSession", "s", "o", answerSession, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("GetSessionByPID", "u", "o", answerSession, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_PROPERTY("LidClosed", "b", readLid, 0, 0), SD_BUS_VTABLE_END};

  Handle<sd_bus, sd_bus_flush_close_unref> bus_;
  std::mutex mutex_;        // guards bus_ once the thread runs
  std::string lastReader_;  // on the thread only
  std::jthread thread_;
};

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

TEST_F(SystemEventWatcherTest, SignalsReachADelegateOnTheQueueButNotOneMissingOrOfAStoppedOrBuslessWatcher) {
  auto live = std::make_shared<Recorder>(queue_), late = std::make_shared<Recorder>(queue_),
       idle = std::make_shared<Recorder>(queue_);
  auto liveWatcher = watch(live);
  setEnv("XDG_SESSION_ID", std::nullopt);  // this one finds the session by this process's id
  auto lateWatcher = watch(nullptr);
  const auto threads = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}); };
  const auto threadsBefore = threads();
  auto stopped = watch(idle);
  stopped->stop();
  EXPECT_EQ(threads(), threadsBefore);
  for (bool closed : {false, true}) pollLid(closed, {lateWatcher.get(), stopped.get()});  // no delegate yet
  // Now the system bus accepts connections but never answers, and there is no session bus.
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
  lateWatcher->setDelegate(late);
  login1_->emit(kManagerPath, kManager, "PrepareForSleep", true);
  login1_->emit("/org/freedesktop/login1/session/c8", kSession, "Lock");  // not our session
  login1_->emit(kSessionPath, kSession, "Lock");
  login1_->emit(kSessionPath, kSession, "Unlock");
  login1_->emit(kManagerPath, kManager, "PrepareForSleep", false);
  const std::vector expected{E::willSleep, E::lidClosed, E::lidOpened, E::didWake};
  EXPECT_EQ(events(*live, 4), expected);
  EXPECT_EQ(events(*late, 4), expected);
  const std::weak_ptr<Recorder> released = std::exchange(late, nullptr);
  EXPECT_TRUE(released.expired());
  screensaver_->emit("/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver", "ActiveChanged", true);
  screensaver_->emit("/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver", "ActiveChanged", false);
  EXPECT_EQ(events(*live, 6), (std::vector{E::willSleep, E::lidClosed, E::lidOpened, E::didWake, E::screensaverStarted,
                                           E::screensaverStopped}));
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
