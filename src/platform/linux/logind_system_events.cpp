// Sleep, session lock and lid from systemd-logind on the system bus, the screensaver from
// org.freedesktop.ScreenSaver on the session bus, via sd-bus. One thread per source waits
// on both signal connections and an eventfd that stop() signals; lid reads use a third
// connection of their own, kept between reads.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <systemd/sd-bus.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "core/handle.h"
#include "platform/system_events.h"

namespace tolvo {
namespace {

// Closed without flushing: every call made on these connections has been answered or given
// up, and closing must not wait on a bus that stopped reading.
using Bus = Handle<sd_bus, sd_bus_close_unref>;
using Message = Handle<sd_bus_message, sd_bus_message_unref>;
using Slot = Handle<sd_bus_slot, sd_bus_slot_unref>;

constexpr const char* kLogin1 = "org.freedesktop.login1";
constexpr const char* kManagerPath = "/org/freedesktop/login1";
constexpr const char* kManagerInterface = "org.freedesktop.login1.Manager";
constexpr const char* kSessionInterface = "org.freedesktop.login1.Session";
constexpr const char* kScreenSaverInterface = "org.freedesktop.ScreenSaver";
// Bounds on logind's answers: the session lookup at start, and each lid read.
constexpr std::uint64_t kLookupTimeoutUsec = 2'000'000;
constexpr std::uint64_t kLidTimeoutUsec = 500'000;

// Now on CLOCK_MONOTONIC, the clock of sd-bus deadlines, in microseconds.
std::uint64_t monotonicUsec() {
  timespec now{};
  if (::clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000;
}

// A connection to the bus `open` opens (sd_bus_open_system, sd_bus_open_user), set up within
// `timeoutUsec` and with its method calls bounded by the same; empty when there is no such bus
// or it does not finish the handshake in time.
Bus openBus(int (*open)(sd_bus**), std::uint64_t timeoutUsec) {
  sd_bus* raw = nullptr;
  if (open(&raw) < 0) return {};
  Bus bus(raw);
  if (sd_bus_set_method_call_timeout(bus.get(), timeoutUsec) < 0) return {};
  // The handshake is driven here: inside the first call, sd-bus would wait for a bus that
  // accepted the connection but does not answer for far longer than the call timeout.
  const std::uint64_t deadline = monotonicUsec() + timeoutUsec;
  for (;;) {
    const int ready = sd_bus_is_ready(bus.get());
    if (ready > 0) return bus;
    const int processed = ready < 0 ? ready : sd_bus_process(bus.get(), nullptr);
    if (processed < 0) return {};
    if (processed > 0) continue;
    const std::uint64_t now = monotonicUsec();
    if (now >= deadline || sd_bus_wait(bus.get(), deadline - now) < 0) return {};
  }
}

// Calls `notify` with the message's one boolean argument; a malformed message is ignored,
// and nothing the callback throws crosses into sd-bus.
int deliverBoolean(sd_bus_message* message, const std::function<void(bool)>& notify) {
  int value = 0;
  if (!notify || sd_bus_message_read(message, "b", &value) < 0) return 0;
  try {
    notify(value != 0);
  } catch (...) {
  }
  return 0;
}

int deliverFixed(const std::function<void(bool)>& notify, bool value) {
  if (!notify) return 0;
  try {
    notify(value);
  } catch (...) {
  }
  return 0;
}

// The object path of the logind session named `method`(`arguments`) returns, or "".
template <typename... Args>
std::string askForSession(sd_bus* bus, const char* method, const char* signature, Args... arguments) {
  sd_bus_message* raw = nullptr;
  if (sd_bus_call_method(bus, kLogin1, kManagerPath, kManagerInterface, method, nullptr, &raw, signature,
                         arguments...) < 0) {
    return "";
  }
  Message reply(raw);
  const char* path = nullptr;
  if (sd_bus_message_read(reply.get(), "o", &path) < 0 || path == nullptr) return "";
  return path;
}

// This process's logind session: the one named by XDG_SESSION_ID, else the one holding this
// process; "" when logind names neither.
std::string findSessionPath(sd_bus* bus) {
  std::string path;
  if (const char* id = std::getenv("XDG_SESSION_ID"); id != nullptr && *id != '\0') {
    path = askForSession(bus, "GetSession", "s", id);
  }
  if (path.empty()) path = askForSession(bus, "GetSessionByPID", "u", static_cast<std::uint32_t>(::getpid()));
  return path;
}

// Milliseconds from now until the absolute CLOCK_MONOTONIC time `usec` (never negative),
// or -1 for "no deadline".
int millisecondsUntil(std::uint64_t usec) {
  if (usec == UINT64_MAX) return -1;
  const std::uint64_t nowUsec = monotonicUsec();
  if (usec <= nowUsec) return 0;
  const std::uint64_t ms = (usec - nowUsec + 999) / 1000;
  return ms > 60'000 ? 60'000 : static_cast<int>(ms);
}

class LogindSystemEventSource final : public SystemEventSource {
 public:
  LogindSystemEventSource() = default;
  LogindSystemEventSource(const LogindSystemEventSource&) = delete;
  LogindSystemEventSource& operator=(const LogindSystemEventSource&) = delete;
  ~LogindSystemEventSource() override { stop(); }

  void start(SystemEventCallbacks callbacks) override {
    std::lock_guard lock(mutex_);
    if (thread_.joinable()) return;
    FileDescriptor stopEvent(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stopEvent) return;  // nothing to wake the thread with: no events
    callbacks_ = std::move(callbacks);
    subscribeSystem();
    subscribeSession();
    if (!system_ && !session_) {
      release();
      return;
    }
    stopEvent_ = std::move(stopEvent);
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
      release();  // no thread, no events
    }
  }

  void stop() override {
    std::lock_guard lock(mutex_);
    if (thread_.joinable()) {
      const std::uint64_t one = 1;
      // A failed write leaves the thread waiting forever; eventfd only fails on overflow.
      while (::write(stopEvent_.get(), &one, sizeof one) < 0 && errno == EINTR) {
      }
      thread_.join();
    }
    release();
  }

  bool lidClosed() override {
    std::lock_guard lock(lidMutex_);
    if (!lidBus_) lidBus_ = openBus(sd_bus_open_system, kLidTimeoutUsec);
    if (!lidBus_) return false;
    int closed = 0;
    const int r = sd_bus_get_property_trivial(lidBus_.get(), kLogin1, kManagerPath, kManagerInterface, "LidClosed",
                                              nullptr, 'b', &closed);
    // Nothing else is wanted here: drop whatever else arrived (the bus's greeting), so it does
    // not pile up. A connection that broke, or that may still get a late answer, is replaced on
    // the next read.
    int processed = 0;
    while ((processed = sd_bus_process(lidBus_.get(), nullptr)) > 0) {
    }
    if (processed < 0 || r == -ETIMEDOUT || sd_bus_is_open(lidBus_.get()) <= 0) lidBus_.reset();
    return r >= 0 && closed != 0;
  }

 private:
  static int onSleep(sd_bus_message* m, void* self, sd_bus_error*) {
    return deliverBoolean(m, static_cast<LogindSystemEventSource*>(self)->callbacks_.sleep);
  }
  static int onLock(sd_bus_message*, void* self, sd_bus_error*) {
    return deliverFixed(static_cast<LogindSystemEventSource*>(self)->callbacks_.lock, true);
  }
  static int onUnlock(sd_bus_message*, void* self, sd_bus_error*) {
    return deliverFixed(static_cast<LogindSystemEventSource*>(self)->callbacks_.lock, false);
  }
  static int onScreenSaver(sd_bus_message* m, void* self, sd_bus_error*) {
    return deliverBoolean(m, static_cast<LogindSystemEventSource*>(self)->callbacks_.screensaver);
  }

  // Adds one signal match on `bus`; false when the bus refused it.
  [[nodiscard]] bool match(sd_bus* bus, const char* sender, const char* path, const char* interface, const char* member,
                           sd_bus_message_handler_t handler) {
    sd_bus_slot* slot = nullptr;
    if (sd_bus_match_signal(bus, &slot, sender, path, interface, member, handler, this) < 0) return false;
    slots_.emplace_back(slot);
    return true;
  }

  // The matches are added synchronously, each bounded by kLookupTimeoutUsec.
  void subscribeSystem() {
    Bus bus = openBus(sd_bus_open_system, kLookupTimeoutUsec);
    if (!bus || !match(bus.get(), kLogin1, kManagerPath, kManagerInterface, "PrepareForSleep", onSleep)) return;
    // Without a session, sleep is still watched and lock events are not; a refused match
    // leaves only its own signal unwatched.
    if (const std::string session = findSessionPath(bus.get()); !session.empty()) {
      (void)match(bus.get(), kLogin1, session.c_str(), kSessionInterface, "Lock", onLock);
      (void)match(bus.get(), kLogin1, session.c_str(), kSessionInterface, "Unlock", onUnlock);
    }
    system_ = std::move(bus);
  }

  void subscribeSession() {
    Bus bus = openBus(sd_bus_open_user, kLookupTimeoutUsec);
    if (!bus || !match(bus.get(), nullptr, nullptr, kScreenSaverInterface, "ActiveChanged", onScreenSaver)) return;
    session_ = std::move(bus);
  }

  // Drops the subscriptions and connections. The connections are closed first, so dropping
  // the matches sends nothing. REQUIRES: mutex_ held, no thread running.
  void release() {
    system_.reset();
    session_.reset();
    slots_.clear();
    stopEvent_.reset();
    callbacks_ = {};
  }

  // Dispatches both connections until stop() signals the eventfd. A connection that fails
  // (the bus went away) is dropped; the other goes on.
  void run() {
    std::array<sd_bus*, 2> buses{system_.get(), session_.get()};
    for (;;) {
      std::array<pollfd, 3> fds{};
      fds[0] = {stopEvent_.get(), POLLIN, 0};
      nfds_t count = 1;
      int timeoutMs = -1;
      for (sd_bus*& bus : buses) {
        if (bus == nullptr) continue;
        int r = 0;
        while ((r = sd_bus_process(bus, nullptr)) > 0) {
        }
        const int fd = sd_bus_get_fd(bus);
        const int events = sd_bus_get_events(bus);
        std::uint64_t deadline = UINT64_MAX;
        if (r < 0 || fd < 0 || events < 0 || sd_bus_get_timeout(bus, &deadline) < 0) {
          bus = nullptr;
          continue;
        }
        fds[count++] = {fd, static_cast<short>(events), 0};
        const int ms = millisecondsUntil(deadline);
        if (ms >= 0 && (timeoutMs < 0 || ms < timeoutMs)) timeoutMs = ms;
      }
      if (::poll(fds.data(), count, timeoutMs) < 0 && errno != EINTR) return;
      if (fds[0].revents != 0) return;
    }
  }

  std::mutex mutex_;  // serialises start() and stop()
  SystemEventCallbacks callbacks_;
  Bus system_;
  Bus session_;
  std::vector<Slot> slots_;  // each holds its connection until released
  FileDescriptor stopEvent_;
  std::thread thread_;

  std::mutex lidMutex_;  // guards lidBus_: one lid read at a time
  Bus lidBus_;           // opened by the first read, replaced after a failed one
};

}  // namespace

std::unique_ptr<SystemEventSource> makeLogindSystemEventSource() {
  return std::make_unique<LogindSystemEventSource>();
}

}  // namespace tolvo
