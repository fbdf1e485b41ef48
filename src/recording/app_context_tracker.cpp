#include "recording/app_context_tracker.h"

#include <chrono>

#include "core/bounded_check.h"
#include "core/window_switch_debug.h"

namespace tolvo {
namespace {

constexpr const char* kLogSource = "AppContextTracker";

}  // namespace

std::shared_ptr<AppContextTracker> AppContextTracker::create(std::shared_ptr<SerialQueue> callbackQueue,
                                                             std::shared_ptr<WindowContextSource> source,
                                                             std::shared_ptr<DisplayServer> displays) {
  return std::make_shared<AppContextTracker>(std::move(callbackQueue), std::move(source), std::move(displays));
}

std::shared_ptr<AppContextTracker> AppContextTracker::create(SerialQueue& callbackQueue,
                                                             std::shared_ptr<WindowContextSource> source,
                                                             std::shared_ptr<DisplayServer> displays) {
  // Not owned: the caller keeps the queue alive for longer than the tracker.
  return create(std::shared_ptr<SerialQueue>(std::shared_ptr<void>(), &callbackQueue), std::move(source),
                std::move(displays));
}

AppContextTracker::AppContextTracker(std::shared_ptr<SerialQueue> callbackQueue,
                                     std::shared_ptr<WindowContextSource> source,
                                     std::shared_ptr<DisplayServer> displays)
    : callbackQueue_(std::move(callbackQueue)),
      source_(std::move(source)),
      displays_(std::move(displays)),
      pollQueue_(std::make_unique<SerialQueue>("com.tolvoworks.tolvodesk.context.poll")) {}

AppContextTracker::~AppContextTracker() {
  stopTracking();
  pollTimer_.cancel();
  pollQueue_.reset();  // joins the poll thread while every member is still there
}

void AppContextTracker::setDelegate(std::weak_ptr<AppContextTrackerDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

void AppContextTracker::startTracking() {
  auto running = std::make_shared<std::atomic<bool>>(true);
  // The tick holds what it captures with and the tracker only weakly, so a tick never keeps
  // the tracker alive (and never releases it on the poll queue's own thread).
  auto tick = [weak = weak_from_this(), callbackQueue = callbackQueue_, source = source_, displays = displays_,
               running] {
    if (running->load() && !weak.expired()) poll(weak, *callbackQueue, *source, *displays);
  };
  std::lock_guard lock(mutex_);
  if (running_) running_->store(false);
  running_ = running;
  // The repeating timer fires first after one interval; the first capture runs at once.
  pollQueue_->async(tick);
  pollTimer_ = pollQueue_->scheduleRepeating(
      std::chrono::duration_cast<SerialQueue::Duration>(std::chrono::duration<double>(kPollIntervalSeconds)), tick);
}

void AppContextTracker::stopTracking() {
  std::lock_guard lock(mutex_);
  if (running_) running_->store(false);
  running_.reset();
  pollTimer_.cancel();
}

std::optional<AppContext> AppContextTracker::getCurrentContext() const {
  std::lock_guard lock(mutex_);
  return currentContext_;
}

void AppContextTracker::pollOnce() { poll(weak_from_this(), *callbackQueue_, *source_, *displays_); }

AppContext AppContextTracker::captureCurrentContext(WindowContextSource& source, DisplayServer& displays) {
  return capture(source, displays).context;
}

AppContextTracker::Capture AppContextTracker::capture(WindowContextSource& source, DisplayServer& displays) {
  // X11 has no thread that window queries must run on: the capture runs on the calling
  // (poll) thread, over the source's own connection.
  Capture result;
  result.context.bundleId = "unknown";
  result.context.appName = "Unknown";
  const std::optional<FrontmostWindow> window = source.frontmostWindow();
  result.accessibilityTrusted = hasAccessibilityPermission(source);
  if (!window) return result;
  if (window->bundleId) result.context.bundleId = *window->bundleId;
  if (window->appName) result.context.appName = *window->appName;
  if (!result.accessibilityTrusted) return result;
  result.context.windowTitle = window->title;
  if (!window->position) return result;
  // The window's centre; a window whose size is unknown is located by its top-left corner.
  const DisplayPoint size = window->size.value_or(DisplayPoint{});
  const DisplayPoint centre{window->position->x + size.x / 2, window->position->y + size.y / 2};
  for (const Monitor& monitor : displays.monitors()) {
    if (monitor.bounds.contains(centre)) {
      result.context.displayId = monitor.id;
      break;
    }
  }
  return result;
}

void AppContextTracker::poll(const std::weak_ptr<AppContextTracker>& weak, SerialQueue& callbackQueue,
                             WindowContextSource& source, DisplayServer& displays) {
  Capture captured = capture(source, displays);
  callbackQueue.async([weak, captured = std::move(captured)] {
    if (auto self = weak.lock()) self->handle(captured);
  });
}

void AppContextTracker::handle(const Capture& captured) {
  const AppContext& context = captured.context;
  std::weak_ptr<AppContextTrackerDelegate> delegate;
  {
    std::lock_guard lock(mutex_);
    if (currentContext_ && currentContext_->bundleId == context.bundleId &&
        currentContext_->windowTitle == context.windowTitle && currentContext_->displayId == context.displayId) {
      return;
    }
    currentContext_ = context;
    delegate = delegate_;
  }
  TolvoWindowSwitchDebug::log("contextChanged app=" + context.appName + " bundle=" + context.bundleId +
                                  " window=" + context.windowTitle.value_or("<nil>") +
                                  " display=" + (context.displayId ? std::to_string(*context.displayId) : "nil") +
                                  " accessibilityTrusted=" + (captured.accessibilityTrusted ? "true" : "false"),
                              kLogSource);
  if (auto receiver = delegate.lock()) receiver->appContextTracker(*this, context);
}

bool AppContextTracker::hasAccessibilityPermissionWithin2s(std::shared_ptr<WindowContextSource> source) {
  if (!source) return false;
  return boundedCheck([source = std::move(source)] { return source->canReadWindowProperties(); },
                      std::chrono::seconds(2));
}

}  // namespace tolvo
