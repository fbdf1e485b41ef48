#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tolvo {

// One observed application context: what was in front, and where.
struct AppContext {
  std::string bundleId;                   // the frontmost application's id, or "unknown"
  std::string appName;                    // its name for people, or "Unknown"
  std::optional<std::string> windowTitle; // its focused window's title; absent when unreadable
  std::optional<std::uint32_t> displayId; // the monitor holding the window's centre, if known

  bool operator==(const AppContext&) const = default;
};

}  // namespace tolvo
