#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tolvo {

// Every coordinate of this interface is in the display server's global (root) space: pixels,
// origin at the top-left corner of the whole desktop, y growing downwards.
struct DisplayPoint {
  double x = 0;
  double y = 0;
};

struct DisplayRect {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;

  [[nodiscard]] bool contains(DisplayPoint p) const noexcept {
    return p.x >= x && p.y >= y && p.x < double(x) + width && p.y < double(y) + height;
  }
  friend bool operator==(const DisplayRect&, const DisplayRect&) = default;
};

// One display the user sees: a monitor of the desktop.
struct Monitor {
  std::uint32_t id = 0;  // stable while the monitor exists; never 0
  std::string name;      // the server's name for it ("DUMMY0", "HDMI-1")
  DisplayRect bounds;    // its rectangle; width and height are its pixel size
  bool primary = false;  // the main display
};

// A picture grabbed from a monitor: BGRA pixels, the cursor drawn in, owned by the grabber
// and valid until its next grab() or its destruction.
struct GrabbedImage {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t stride = 0;  // bytes from one row to the next
  const std::uint8_t* bgra = nullptr;
};

// Grabs one monitor's rectangle, over a display connection of its own. Used by one thread at
// a time (the capture worker that made it); not thread-safe.
class FrameGrabber {
 public:
  enum class Wait {
    changed,  // something on the monitor may have changed since the last grab
    timedOut, // nothing changed before the deadline
    lost,     // the display connection broke or the monitor is gone: grab no more
  };

  virtual ~FrameGrabber() = default;

  // The rectangle being grabbed (the monitor's bounds when the grabber was made).
  [[nodiscard]] virtual DisplayRect bounds() const = 0;

  // Waits until the monitor's content has changed since the last grab(), the deadline
  // passes, or the grabber is lost. Before the first grab() the content counts as changed.
  [[nodiscard]] virtual Wait waitForChange(std::chrono::steady_clock::time_point deadline) = 0;

  // Grabs the rectangle with the cursor composited; nullopt when the grabber is lost.
  [[nodiscard]] virtual std::optional<GrabbedImage> grab() = 0;

  // Makes a waitForChange() running on another thread return soon (with `timedOut` unless
  // something else happened). Safe to call from any thread.
  virtual void interrupt() noexcept = 0;
};

// The display server: which monitors exist, grabbing them, and whether capture is allowed.
// Thread-safe: any thread may call any operation; calls may block for a bounded time
// (a round trip to the server).
class DisplayServer {
 public:
  virtual ~DisplayServer() = default;

  // The active monitors in the server's order; empty when the server cannot be reached.
  [[nodiscard]] virtual std::vector<Monitor> monitors() = 0;

  // A grabber for the monitor `id`; nullptr when there is no such monitor or the server
  // cannot be reached.
  [[nodiscard]] virtual std::unique_ptr<FrameGrabber> openGrabber(std::uint32_t monitorID) = 0;

  // True when the display can be opened and its root window read (screen capture allowed).
  [[nodiscard]] virtual bool canCapture() = 0;
};

// The X11 server named by `displayName` (empty: $DISPLAY). The connection is made on first
// use and made again after it breaks.
[[nodiscard]] std::shared_ptr<DisplayServer> makeX11DisplayServer(std::string displayName = {});

}  // namespace tolvo
