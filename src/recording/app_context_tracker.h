#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

#include "core/serial_queue.h"
#include "platform/display_server.h"
#include "platform/window_context_source.h"
#include "recording/app_context.h"

namespace tolvo {

class AppContextTracker;

// Receives the contexts the tracker reports, on the tracker's callback queue.
class AppContextTrackerDelegate {
 public:
  virtual ~AppContextTrackerDelegate() = default;
  virtual void appContextTracker(AppContextTracker& tracker, const AppContext& context) = 0;
};

// Watches the frontmost application, its focused window's title and the monitor holding
// that window, polling once a second on its own queue, and tells the delegate on the
// callback queue whenever the context changes (the application's name alone does not count).
//
// REQUIRES: owned by a std::shared_ptr (use create()); timer ticks and queued blocks hold the
// tracker weakly, so nothing runs on a tracker that is gone. The tracker may be released on
// any thread but its own poll queue.
class AppContextTracker : public std::enable_shared_from_this<AppContextTracker> {
 public:
  static constexpr double kPollIntervalSeconds = 1.0;

  // The callback queue runs the comparison, the state update, the log line and the
  // delegate call.
  [[nodiscard]] static std::shared_ptr<AppContextTracker> create(std::shared_ptr<SerialQueue> callbackQueue,
                                                                 std::shared_ptr<WindowContextSource> source,
                                                                 std::shared_ptr<DisplayServer> displays);
  // REQUIRES: `callbackQueue` outlives the tracker.
  [[nodiscard]] static std::shared_ptr<AppContextTracker> create(SerialQueue& callbackQueue,
                                                                 std::shared_ptr<WindowContextSource> source,
                                                                 std::shared_ptr<DisplayServer> displays);

  AppContextTracker(std::shared_ptr<SerialQueue> callbackQueue, std::shared_ptr<WindowContextSource> source,
                    std::shared_ptr<DisplayServer> displays);
  AppContextTracker(const AppContextTracker&) = delete;
  AppContextTracker& operator=(const AppContextTracker&) = delete;
  ~AppContextTracker();

  void setDelegate(std::weak_ptr<AppContextTrackerDelegate> delegate);

  // Starts (or restarts) polling: a capture at once, then one every kPollIntervalSeconds.
  void startTracking();
  // Stops polling; the current context is kept.
  void stopTracking();

  // The last context reported; nothing before the first report.
  [[nodiscard]] std::optional<AppContext> getCurrentContext() const;

  // One capture on the calling thread, handed to the callback queue as a tick does.
  void pollOnce();

  // Whether the window properties of other applications can be read (the X server answers);
  // asks without prompting anyone.
  [[nodiscard]] static bool hasAccessibilityPermission(WindowContextSource& source) {
    return source.canReadWindowProperties();
  }
  // The same check for callers that must not wait on a display that hangs: false when it
  // does not answer within 2 seconds.
  [[nodiscard]] static bool hasAccessibilityPermissionWithin2s(std::shared_ptr<WindowContextSource> source);

  // The context as it is now: the frontmost window of `source`, located on the monitors of
  // `displays`. Without window-property access, no title and no display.
  [[nodiscard]] static AppContext captureCurrentContext(WindowContextSource& source, DisplayServer& displays);

 private:
  struct Capture {
    AppContext context;
    bool accessibilityTrusted = false;
  };
  static Capture capture(WindowContextSource& source, DisplayServer& displays);
  static void poll(const std::weak_ptr<AppContextTracker>& weak, SerialQueue& callbackQueue,
                   WindowContextSource& source, DisplayServer& displays);
  void handle(const Capture& capture);

  std::shared_ptr<SerialQueue> callbackQueue_;
  std::shared_ptr<WindowContextSource> source_;
  std::shared_ptr<DisplayServer> displays_;

  mutable std::mutex mutex_;
  std::weak_ptr<AppContextTrackerDelegate> delegate_;
  std::optional<AppContext> currentContext_;
  std::shared_ptr<std::atomic<bool>> running_;  // cleared when the current polling stops

  // Declared last: destroyed first, so that its thread has stopped before the members
  // above go away.
  std::unique_ptr<SerialQueue> pollQueue_;
  SerialQueue::Timer pollTimer_;
};

}  // namespace tolvo
