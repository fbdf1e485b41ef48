#include "recording/screen_capture_engine.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>

#include "core/bounded_check.h"
#include "core/diagnostic_log.h"
#include "core/serial_queue.h"
#include "core/window_switch_debug.h"
#include "recording/frame_scaler.h"

namespace tolvo {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kLogSource = "ScreenCaptureEngine";
// The receiver forwards at most one frame per this interval, whatever the frame rate.
constexpr auto kMinFrameInterval = 100ms;
// Frames waiting on the sample queue; a stream grabs no more while this many wait.
constexpr int kQueueDepth = 3;
// How long a waiting worker sleeps at most before it looks at its stop flag again.
constexpr auto kIdleWakeInterval = 1s;
constexpr auto kPermissionTimeout = 2s;
// Larger requested sizes are clamped to this many pixels a side.
constexpr double kMaxSide = 16384;

// Start and stop work of every engine runs here, one task at a time. Never destroyed: a task
// may still run while the process exits, and engines hand it streams to stop.
SerialQueue& taskQueue() {
  static auto* queue = new SerialQueue("com.tolvodesk.screen.tasks");
  return *queue;
}

std::string formatFps(double fps) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", fps);
  return text;
}

std::int64_t truncated(double value) {
  if (std::isnan(value)) return 0;
  return std::int64_t(std::clamp(value, -kMaxSide, kMaxSide));
}

std::string formatSize(const std::optional<CaptureSize>& size) {
  if (!size) return "native";
  return std::to_string(truncated(size->width)) + "x" + std::to_string(truncated(size->height));
}

std::string formatDisplay(const std::optional<std::uint32_t>& display) {
  return display ? std::to_string(*display) : "nil";
}

}  // namespace

ScreenCaptureError::ScreenCaptureError(Code code) : Error(describe(code)), code_(code) {}

const char* ScreenCaptureError::describe(Code code) noexcept {
  switch (code) {
    case Code::displayNotFound:
      return "Display not found";
    case Code::streamCreationFailed:
      return "Failed to create capture stream";
    case Code::permissionDenied:
      return "Screen recording permission denied";
  }
  return "Failed to create capture stream";
}

// The receiver of one stream's frames, on the sample queue: applies the 0.1 s cap and hands
// what passes to the engine until it is detached.
class ScreenCaptureEngine::StreamOutput {
 public:
  explicit StreamOutput(ScreenCaptureEngine* engine) : engine_(engine) {}

  // On the sample queue.
  void receive(std::shared_ptr<const PixelBuffer> frame, MediaTime captureTime) {
    const auto now = MediaClock::now();
    if (lastCaptureTime_ && now - *lastCaptureTime_ < kMinFrameInterval) return;
    lastCaptureTime_ = now;  // before the content is looked at: an empty frame uses up the interval too
    if (!frame) return;
    std::lock_guard lock(deliveryMutex_);
    if (ScreenCaptureEngine* engine = engine_.load()) engine->forward(std::move(frame), captureTime);
  }

  // Forwards no further frame. Does not wait for a delivery in progress (see awaitDelivery).
  void detach() noexcept { engine_.store(nullptr); }

  // Waits until a delivery that started before detach() has returned.
  // REQUIRES: not on the sample queue (the delivery in progress would be the caller's own).
  void awaitDelivery() { std::lock_guard lock(deliveryMutex_); }

  std::atomic<int> pending{0};  // frames posted to the sample queue and not yet received

 private:
  std::mutex deliveryMutex_;  // held while a frame is handed to the engine
  std::atomic<ScreenCaptureEngine*> engine_;
  std::optional<MediaTime> lastCaptureTime_;  // sample queue only
};

// The engine's state, shared with its start tasks and stream workers, which hold it weakly
// so that the engine can go away while they run.
class ScreenCaptureEngine::Core {
 public:
  Core(std::shared_ptr<DisplayServer> displayServer, ScreenCaptureEngine* owner)
      : displayServer_(std::move(displayServer)), owner_(owner) {}

  static void runStart(const std::weak_ptr<Core>& weak, std::uint32_t displayID, double fps,
                       std::optional<CaptureSize> size, std::uint64_t generation);
  void streamDidStop(const Stream* stream);
  // Ends `stream` on the task queue (its worker may be inside a round trip to the server).
  static void stopInBackground(std::shared_ptr<Stream> stream);

  const std::shared_ptr<DisplayServer> displayServer_;

  // Guarded by lifecycleQueue_.
  ScreenCaptureEngine* owner_;  // null once the engine is being destroyed
  std::shared_ptr<Stream> stream_;
  std::shared_ptr<StreamOutput> streamOutput_;
  std::optional<std::uint32_t> currentDisplayID_;
  std::uint64_t generation_ = 0;

  // Declared last, so destroyed first: their blocks may still use the members above.
  SerialQueue sampleHandlerQueue_{"com.tolvodesk.screen.sample"};
  SerialQueue lifecycleQueue_{"com.tolvodesk.screen.lifecycle"};

 private:
  void fail(std::uint32_t displayID, std::uint64_t generation, const std::string& description);
};

// A live capture: a worker thread that owns one grabber and delivers frames through its output.
class ScreenCaptureEngine::Stream {
 public:
  Stream(std::unique_ptr<FrameGrabber> grabber, Clock::duration interval, std::uint32_t width, std::uint32_t height)
      : grabber_(std::move(grabber)), interval_(interval), scaler_(width, height) {}
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
  ~Stream() {
    if (worker_.joinable() && worker_.get_id() == std::this_thread::get_id()) {
      worker_.detach();  // only reached if the worker held the last reference; it is ending
      return;
    }
    stop();
  }

  // Starts the worker, delivering through `output` on `core`'s sample queue.
  void start(std::weak_ptr<Core> core, std::shared_ptr<StreamOutput> output) {
    output_ = std::move(output);
    worker_ = std::thread([this, core = std::move(core)] { run(core); });
  }

  // Ends the worker and waits for it (at most one grab and one scaling pass).
  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    grabber_->interrupt();
    if (worker_.joinable()) worker_.join();
  }

 private:
  bool stopping() {
    std::lock_guard lock(mutex_);
    return stopping_;
  }

  void run(const std::weak_ptr<Core>& weak) {
    auto due = Clock::now();
    bool lost = false;
    for (;;) {
      {
        std::unique_lock lock(mutex_);
        if (wake_.wait_until(lock, due, [this] { return stopping_; })) break;
      }
      const auto wait = grabber_->waitForChange(Clock::now() + kIdleWakeInterval);
      if (wait == FrameGrabber::Wait::lost) {
        lost = true;
        break;
      }
      if (wait == FrameGrabber::Wait::timedOut) continue;
      if (output_->pending.load() >= kQueueDepth) {
        due = Clock::now() + interval_;  // the change stays pending for the next turn
        continue;
      }
      const MediaTime captureTime = MediaClock::now();
      const auto image = grabber_->grab();
      if (!image) {
        lost = true;
        break;
      }
      due = captureTime + interval_;
      auto frame = scaler_.scale(*image);
      if (!frame) continue;
      auto core = weak.lock();
      if (!core) break;
      output_->pending.fetch_add(1);
      core->sampleHandlerQueue_.async([output = output_, frame = std::move(frame), captureTime]() mutable {
        output->receive(std::move(frame), captureTime);
        output->pending.fetch_sub(1);
      });
    }
    if (lost && !stopping()) {
      if (auto core = weak.lock()) core->streamDidStop(this);
    }
  }

  std::unique_ptr<FrameGrabber> grabber_;
  const Clock::duration interval_;
  FrameScaler scaler_;
  std::shared_ptr<StreamOutput> output_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread worker_;
};

void ScreenCaptureEngine::Core::stopInBackground(std::shared_ptr<Stream> stream) {
  if (!stream) return;
  taskQueue().async([stream = std::move(stream)] { stream->stop(); });
}

void ScreenCaptureEngine::Core::runStart(const std::weak_ptr<Core>& weak, std::uint32_t displayID, double fps,
                                         std::optional<CaptureSize> size, std::uint64_t generation) {
  auto core = weak.lock();
  if (!core) return;
  try {
    const auto monitors = core->displayServer_->monitors();
    if (core->lifecycleQueue_.sync([&] { return core->generation_ != generation; })) return;
    const auto monitor =
        std::find_if(monitors.begin(), monitors.end(), [&](const Monitor& m) { return m.id == displayID; });
    if (monitor == monitors.end()) throw ScreenCaptureError(ScreenCaptureError::Code::displayNotFound);

    auto grabber = core->displayServer_->openGrabber(displayID);
    if (!grabber) throw ScreenCaptureError(ScreenCaptureError::Code::streamCreationFailed);
    std::uint32_t width = grabber->bounds().width;
    std::uint32_t height = grabber->bounds().height;
    if (size) {
      width = std::uint32_t(std::max<std::int64_t>(1, truncated(size->width)));
      height = std::uint32_t(std::max<std::int64_t>(1, truncated(size->height)));
    }
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        fps > 0.1 ? std::chrono::duration<double>(1.0 / fps) : std::chrono::duration<double>(10.0));
    auto stream = std::make_shared<Stream>(std::move(grabber), interval, width, height);

    std::shared_ptr<Stream> replaced;
    std::shared_ptr<StreamOutput> replacedOutput;
    const bool installed = core->lifecycleQueue_.sync([&] {
      if (core->generation_ != generation || core->owner_ == nullptr) return false;
      replaced = std::exchange(core->stream_, stream);
      replacedOutput = std::exchange(core->streamOutput_, std::make_shared<StreamOutput>(core->owner_));
      if (replacedOutput) replacedOutput->detach();
      stream->start(weak, core->streamOutput_);
      return true;
    });
    if (installed) {
      TolvoWindowSwitchDebug::log(
          "startCapture succeeded display=" + std::to_string(displayID) + " generation=" + std::to_string(generation),
          kLogSource);
    } else {
      // Never started: dropping it closes its grabber.
      TolvoWindowSwitchDebug::log("startCapture dropped stale stream for display=" + std::to_string(displayID) +
                                      " generation=" + std::to_string(generation),
                                  kLogSource);
    }
    if (replacedOutput) replacedOutput->awaitDelivery();
    if (replaced) replaced->stop();
  } catch (const Error& error) {
    core->fail(displayID, generation, error.description());
  } catch (const std::exception&) {
    core->fail(displayID, generation, ScreenCaptureError::describe(ScreenCaptureError::Code::streamCreationFailed));
  }
}

void ScreenCaptureEngine::Core::fail(std::uint32_t displayID, std::uint64_t generation, const std::string& description) {
  std::shared_ptr<Stream> cleared;
  std::shared_ptr<StreamOutput> clearedOutput;
  lifecycleQueue_.sync([&] {
    if (generation_ != generation) return;
    cleared = std::move(stream_);
    clearedOutput = std::move(streamOutput_);
    if (clearedOutput) clearedOutput->detach();
    currentDisplayID_.reset();
  });
  TolvoWindowSwitchDebug::log("startCapture failed display=" + std::to_string(displayID) +
                                  " generation=" + std::to_string(generation) + " error=" + description,
                              kLogSource);
  DiagnosticLog::system("ScreenCaptureEngine: failed to start capture stream");
  if (clearedOutput) clearedOutput->awaitDelivery();
  if (cleared) cleared->stop();
}

void ScreenCaptureEngine::Core::streamDidStop(const Stream* stream) {
  std::shared_ptr<Stream> taken;
  std::shared_ptr<StreamOutput> takenOutput;
  lifecycleQueue_.sync([&] {
    if (stream_.get() != stream) return;
    taken = std::move(stream_);
    takenOutput = std::move(streamOutput_);
    if (takenOutput) takenOutput->detach();
    currentDisplayID_.reset();
  });
  DiagnosticLog::system(taken ? "ScreenCaptureEngine: current stream stopped"
                              : "ScreenCaptureEngine: stale stream stop callback ignored");
  // Called on the stream's own worker, which ends right after: the join happens elsewhere.
  stopInBackground(std::move(taken));
}

ScreenCaptureEngine::ScreenCaptureEngine(std::shared_ptr<DisplayServer> displayServer)
    : core_(std::make_shared<Core>(std::move(displayServer), this)) {}

ScreenCaptureEngine::~ScreenCaptureEngine() {
  std::shared_ptr<Stream> stream;
  std::shared_ptr<StreamOutput> output;
  core_->lifecycleQueue_.sync([&] {
    ++core_->generation_;
    core_->owner_ = nullptr;
    stream = std::move(core_->stream_);
    output = std::move(core_->streamOutput_);
    if (output) output->detach();
    core_->currentDisplayID_.reset();
  });
  if (output) output->awaitDelivery();
  Core::stopInBackground(std::move(stream));
  core_.reset();
}

void ScreenCaptureEngine::setDelegate(std::weak_ptr<ScreenCaptureEngineDelegate> delegate) {
  std::lock_guard lock(delegateMutex_);
  delegate_ = std::move(delegate);
}

void ScreenCaptureEngine::start(std::uint32_t displayID, double fps, std::optional<CaptureSize> size) {
  const std::uint64_t generation = core_->lifecycleQueue_.sync([&] {
    ++core_->generation_;
    core_->currentDisplayID_ = displayID;
    return core_->generation_;
  });
  TolvoWindowSwitchDebug::log("startCapture requested display=" + std::to_string(displayID) + " fps=" +
                                  formatFps(fps) + " size=" + formatSize(size) +
                                  " generation=" + std::to_string(generation),
                              kLogSource);
  taskQueue().async([weak = std::weak_ptr<Core>(core_), displayID, fps, size, generation] {
    Core::runStart(weak, displayID, fps, size, generation);
  });
}

void ScreenCaptureEngine::stop() {
  std::shared_ptr<Stream> stream;
  std::shared_ptr<StreamOutput> output;
  std::optional<std::uint32_t> previous;
  core_->lifecycleQueue_.sync([&] {
    ++core_->generation_;
    stream = std::move(core_->stream_);
    output = std::move(core_->streamOutput_);
    previous = std::exchange(core_->currentDisplayID_, std::nullopt);
    if (output) output->detach();
  });
  TolvoWindowSwitchDebug::log("stop requested previousDisplay=" + formatDisplay(previous) +
                                  " hadActiveStream=" + (stream ? "true" : "false"),
                              kLogSource);
  if (output && !core_->sampleHandlerQueue_.isCurrent()) output->awaitDelivery();
  Core::stopInBackground(std::move(stream));
}

std::optional<std::uint32_t> ScreenCaptureEngine::currentDisplayID() {
  return core_->lifecycleQueue_.sync([&] { return core_->currentDisplayID_; });
}

void ScreenCaptureEngine::forward(std::shared_ptr<const PixelBuffer> frame, MediaTime captureTime) {
  std::shared_ptr<ScreenCaptureEngineDelegate> delegate;
  {
    std::lock_guard lock(delegateMutex_);
    delegate = delegate_.lock();
  }
  if (delegate) delegate->screenCaptureEngine(*this, std::move(frame), captureTime);
}

bool ScreenCaptureEngine::hasPermission(std::shared_ptr<DisplayServer> displayServer) {
  if (!displayServer) return false;
  // A server that does not answer keeps the checking thread, not the caller.
  return boundedCheck([displayServer = std::move(displayServer)] { return displayServer->canCapture(); },
                      kPermissionTimeout);
}

void ScreenCaptureEngine::requestPermission(std::shared_ptr<DisplayServer> displayServer,
                                            const std::function<void(bool)>& completion) {
  const bool granted = hasPermission(std::move(displayServer));
  if (completion) completion(granted);
}

}  // namespace tolvo
