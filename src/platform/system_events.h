#pragma once

#include <functional>
#include <memory>

namespace tolvo {

// What the source reports, each with the new state. Called on the source's own thread, one
// call at a time; an empty function ignores that kind of event.
struct SystemEventCallbacks {
  std::function<void(bool aboutToSleep)> sleep;  // true: about to sleep; false: woke up
  std::function<void(bool locked)> lock;         // the user's session was locked / unlocked
  std::function<void(bool active)> screensaver;  // the screensaver started / stopped
};

// Operating-system notifications that matter to a recording (sleep, session lock,
// screensaver) and the laptop lid state. A missing bus or service means no events and an
// open lid, never an error.
class SystemEventSource {
 public:
  virtual ~SystemEventSource() = default;

  // Subscribes and starts the source's thread. Once it returns, the subscriptions are in
  // place: a notification sent after that is delivered. May block for a bounded time (a few
  // seconds) while a bus does not answer. A second start() while started does nothing.
  // REQUIRES: not called from a callback.
  virtual void start(SystemEventCallbacks callbacks) = 0;

  // Unsubscribes and joins the thread; no callback runs once it returns. Harmless when not
  // started. The destructor does the same. REQUIRES: not called from a callback.
  virtual void stop() = 0;

  // Whether the lid is closed now; false when that cannot be read. Any thread (concurrent
  // calls take turns); may block for a bounded time (about half a second) while the service
  // answers.
  [[nodiscard]] virtual bool lidClosed() = 0;
};

// systemd-logind on the system bus (sleep, the lock of this process's session, the lid) and
// org.freedesktop.ScreenSaver on the session bus; DBUS_SYSTEM_BUS_ADDRESS and
// DBUS_SESSION_BUS_ADDRESS are honoured.
[[nodiscard]] std::unique_ptr<SystemEventSource> makeLogindSystemEventSource();

}  // namespace tolvo
