#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

#include "core/serial_queue.h"
#include "platform/system_events.h"

namespace tolvo {

class SystemEventWatcher;

// What the watcher reports. A screen lock reads as the lid closing and an unlock as it
// opening, whatever the lid really does.
enum class SystemEvent {
  lidClosed,
  lidOpened,
  screensaverStarted,
  screensaverStopped,
  willSleep,
  didWake,
};

// Receives the watcher's events, on the watcher's queue.
class SystemEventWatcherDelegate {
 public:
  virtual ~SystemEventWatcherDelegate() = default;
  virtual void systemEventWatcher(SystemEventWatcher& watcher, SystemEvent event) = 0;
};

// Turns the system's sleep, lock and screensaver notifications and the lid state (polled
// every kLidPollIntervalSeconds) into events for its delegate. Every handler, the lid poll
// and every delegate call run on the queue given at creation; events that come before a
// delegate is set, after it is released or after stop() are dropped.
//
// REQUIRES: owned by a std::shared_ptr (use create()); queued blocks and the lid timer hold
// the watcher weakly. Release it and call stop() on any thread but the source's own.
class SystemEventWatcher : public std::enable_shared_from_this<SystemEventWatcher> {
 public:
  static constexpr double kLidPollIntervalSeconds = 1.0;

  // Subscribes through `source` and starts the lid poll on `queue`; the first poll comes
  // one interval later and only records the state.
  [[nodiscard]] static std::shared_ptr<SystemEventWatcher> create(std::shared_ptr<SerialQueue> queue,
                                                                  std::shared_ptr<SystemEventSource> source);
  // REQUIRES: `queue` outlives the watcher.
  [[nodiscard]] static std::shared_ptr<SystemEventWatcher> create(SerialQueue& queue,
                                                                  std::shared_ptr<SystemEventSource> source);

  SystemEventWatcher(const SystemEventWatcher&) = delete;
  SystemEventWatcher& operator=(const SystemEventWatcher&) = delete;
  // Does what stop() does.
  ~SystemEventWatcher();

  void setDelegate(std::weak_ptr<SystemEventWatcherDelegate> delegate);

  // Cancels the lid poll and stops the source; no delegate call starts afterwards (one already
  // under way on the queue may finish). Later calls do nothing. There is no restart: create a
  // new watcher.
  void stop();

  // One lid poll: reports lidClosed when the lid is found closed after having been open and
  // lidOpened the other way round; the first poll only records. REQUIRES: on the queue.
  void checkLidState();

  // The lid as the source reads it now (false when it cannot be read).
  [[nodiscard]] bool isLidClosed() const;

 private:
  SystemEventWatcher(std::shared_ptr<SerialQueue> queue, std::shared_ptr<SystemEventSource> source);
  void setupObservers();
  void report(SystemEvent event);

  std::shared_ptr<SerialQueue> queue_;
  std::shared_ptr<SystemEventSource> source_;
  std::atomic<bool> stopped_ = false;

  std::mutex mutex_;  // guards delegate_
  std::weak_ptr<SystemEventWatcherDelegate> delegate_;
  std::optional<bool> lastLidState_;  // on the queue only; absent before the first poll
  SerialQueue::Timer lidStateTimer_;
};

}  // namespace tolvo
