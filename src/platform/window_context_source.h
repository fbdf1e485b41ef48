#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/display_server.h"

namespace tolvo {

// The application in front and its focused window, as far as they can be read.
struct FrontmostWindow {
  std::optional<std::string> bundleId;  // application id, else the WM_CLASS class
  std::optional<std::string> appName;   // desktop entry Name, else the WM_CLASS class
  std::optional<std::string> title;     // the window's title (UTF-8); may be empty text
  std::optional<DisplayPoint> position; // top-left corner, root coordinates
  std::optional<DisplayPoint> size;     // width (x) and height (y)
};

// Where the user is: the frontmost window, the pointer, and whether window properties can
// be read at all ("trusted for accessibility"). Thread-safe; calls block for at most a few
// round trips to the server.
class WindowContextSource {
 public:
  virtual ~WindowContextSource() = default;

  // nullopt when there is no frontmost application (no active window, or no server).
  [[nodiscard]] virtual std::optional<FrontmostWindow> frontmostWindow() = 0;

  // The pointer in root coordinates; nullopt when it cannot be read.
  [[nodiscard]] virtual std::optional<DisplayPoint> pointerLocation() = 0;

  // True when the window properties of other applications can be read.
  [[nodiscard]] virtual bool canReadWindowProperties() = 0;
};

// EWMH over the X11 server named by `displayName` (empty: $DISPLAY).
[[nodiscard]] std::shared_ptr<WindowContextSource> makeX11WindowContextSource(std::string displayName = {});

}  // namespace tolvo
