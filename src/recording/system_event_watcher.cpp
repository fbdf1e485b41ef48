#include "recording/system_event_watcher.h"

#include <chrono>
#include <utility>

namespace tolvo {

std::shared_ptr<SystemEventWatcher> SystemEventWatcher::create(std::shared_ptr<SerialQueue> queue,
                                                               std::shared_ptr<SystemEventSource> source) {
  std::shared_ptr<SystemEventWatcher> watcher(new SystemEventWatcher(std::move(queue), std::move(source)));
  watcher->setupObservers();
  return watcher;
}

std::shared_ptr<SystemEventWatcher> SystemEventWatcher::create(SerialQueue& queue,
                                                               std::shared_ptr<SystemEventSource> source) {
  return create(std::shared_ptr<SerialQueue>(std::shared_ptr<void>(), &queue), std::move(source));
}

SystemEventWatcher::SystemEventWatcher(std::shared_ptr<SerialQueue> queue, std::shared_ptr<SystemEventSource> source)
    : queue_(std::move(queue)), source_(std::move(source)) {}

SystemEventWatcher::~SystemEventWatcher() { stop(); }

void SystemEventWatcher::setDelegate(std::weak_ptr<SystemEventWatcherDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

void SystemEventWatcher::setupObservers() {
  // Each notification hops to the queue holding the watcher weakly; the source's thread
  // never waits on the queue.
  auto post = [weak = weak_from_this(), queue = queue_](SystemEvent event) {
    queue->async([weak, event] {
      if (auto self = weak.lock()) self->report(event);
    });
  };
  SystemEventCallbacks callbacks;
  callbacks.sleep = [post](bool aboutToSleep) { post(aboutToSleep ? SystemEvent::willSleep : SystemEvent::didWake); };
  callbacks.lock = [post](bool locked) { post(locked ? SystemEvent::lidClosed : SystemEvent::lidOpened); };
  callbacks.screensaver = [post](bool active) {
    post(active ? SystemEvent::screensaverStarted : SystemEvent::screensaverStopped);
  };
  source_->start(std::move(callbacks));

  const auto interval = std::chrono::duration_cast<SerialQueue::Duration>(
      std::chrono::duration<double>(kLidPollIntervalSeconds));
  lidStateTimer_ = queue_->scheduleRepeating(interval, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->checkLidState();
  });
}

void SystemEventWatcher::stop() {
  if (stopped_.exchange(true)) return;
  lidStateTimer_.cancel();
  source_->stop();
}

bool SystemEventWatcher::isLidClosed() const { return source_->lidClosed(); }

void SystemEventWatcher::checkLidState() {
  if (stopped_) return;
  const bool closed = isLidClosed();
  const std::optional<bool> last = std::exchange(lastLidState_, closed);
  if (!last) return;
  if (closed && !*last) report(SystemEvent::lidClosed);
  if (!closed && *last) report(SystemEvent::lidOpened);
}

void SystemEventWatcher::report(SystemEvent event) {
  if (stopped_) return;
  std::shared_ptr<SystemEventWatcherDelegate> delegate;
  {
    std::lock_guard lock(mutex_);
    delegate = delegate_.lock();
  }
  if (delegate) delegate->systemEventWatcher(*this, event);
}

}  // namespace tolvo
