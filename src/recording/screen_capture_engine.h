#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "core/error.h"
#include "platform/display_server.h"
#include "recording/media_types.h"

namespace tolvo {

class ScreenCaptureEngine;

// Receives the captured frames, on the engine's sample queue ("com.tolvodesk.screen.sample"),
// one at a time. It must not destroy the engine, and must not wait for a thread that is
// calling the engine's stop().
class ScreenCaptureEngineDelegate {
 public:
  virtual ~ScreenCaptureEngineDelegate() = default;
  virtual void screenCaptureEngine(ScreenCaptureEngine& engine, std::shared_ptr<const PixelBuffer> frame,
                                   MediaTime captureTime) = 0;
};

// Failures of screen capture, with their fixed descriptions. Start failures never reach the
// caller of start(); they end up in the start-failure log lines.
class ScreenCaptureError : public Error {
 public:
  enum class Code {
    displayNotFound,       // "Display not found"
    streamCreationFailed,  // "Failed to create capture stream"
    permissionDenied,      // "Screen recording permission denied"
  };

  explicit ScreenCaptureError(Code code);
  [[nodiscard]] Code code() const noexcept { return code_; }
  [[nodiscard]] static const char* describe(Code code) noexcept;

 private:
  Code code_;
};

// The size frames are delivered at, in pixels; truncated to integers, each at least 1.
struct CaptureSize {
  double width = 0;
  double height = 0;
};

// Captures one monitor as a stream of BGRA frames at a limited rate and hands each, with its
// capture time, to its delegate.
//
// start() and stop() return at once; the stream is set up in a background task and a
// generation counter (bumped by every start and stop) throws away a stream whose start-up
// finishes after a newer request, so at most one stream is live. A live stream is a worker
// thread owning one FrameGrabber: it delivers the first picture at once and afterwards one
// picture per frame interval (1/fps, or 10 s for fps <= 0.1) only when the monitor's content
// changed. The receiver forwards at most one frame per 0.1 s and at most three frames wait on
// the sample queue. A stream that loses its display (server gone, monitor removed) stops by
// itself and clears currentDisplayID(), which tells the caller to start again.
//
// Thread-safe: any thread may call any operation. The destructor does not wait for a start
// task or a stream to finish (they hold the engine's state weakly and end on their own); no
// frame reaches the delegate after stop() or the destructor returns, except one delivered to
// the caller's own thread when the delegate itself calls stop().
class ScreenCaptureEngine {
 public:
  explicit ScreenCaptureEngine(std::shared_ptr<DisplayServer> displayServer);
  ScreenCaptureEngine(const ScreenCaptureEngine&) = delete;
  ScreenCaptureEngine& operator=(const ScreenCaptureEngine&) = delete;
  ~ScreenCaptureEngine();

  void setDelegate(std::weak_ptr<ScreenCaptureEngineDelegate> delegate);

  // Records the request (currentDisplayID() tells `displayID` from now on) and starts the
  // stream in the background. `size` empty: the monitor's own pixel size.
  void start(std::uint32_t displayID, double fps, std::optional<CaptureSize> size = std::nullopt);

  // Ends the current stream (in the background) and clears currentDisplayID().
  void stop();

  // The display most recently requested; empty after stop(), a failed start or a lost stream.
  [[nodiscard]] std::optional<std::uint32_t> currentDisplayID();

  // Does nothing: frames arrive on their own.
  void captureFrame() {}

  // True when the display server can be opened and its root window read; asked in a
  // background task and answered false when that takes more than 2 s.
  [[nodiscard]] static bool hasPermission(std::shared_ptr<DisplayServer> displayServer);

  // X11 has no permission prompt: calls `completion(hasPermission(displayServer))` on the
  // calling thread before returning (so the caller runs it on the queue the completion needs).
  static void requestPermission(std::shared_ptr<DisplayServer> displayServer,
                                const std::function<void(bool)>& completion);

 private:
  class Core;
  class Stream;
  class StreamOutput;

  // Hands `frame` to the delegate (on the sample queue).
  void forward(std::shared_ptr<const PixelBuffer> frame, MediaTime captureTime);

  std::mutex delegateMutex_;
  std::weak_ptr<ScreenCaptureEngineDelegate> delegate_;
  std::shared_ptr<Core> core_;
};

}  // namespace tolvo
