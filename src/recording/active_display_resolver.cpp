#include "recording/active_display_resolver.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "core/window_switch_debug.h"

namespace tolvo {
namespace {

constexpr const char* kLogSource = "ActiveDisplayResolver";

}  // namespace

ActiveDisplayResolver::ActiveDisplayResolver(std::shared_ptr<WindowContextSource> source,
                                             std::shared_ptr<DisplayServer> displays, const Clock& clock)
    : source_(std::move(source)), displays_(std::move(displays)), clock_(clock) {}

std::uint32_t ActiveDisplayResolver::resolveActiveDisplay() {
  const std::vector<Monitor> monitors = displays_->monitors();
  if (auto display = getFocusedWindowDisplay(monitors)) {
    return applyHysteresis(*display, "focused_window", "resolved focused window display");
  }
  if (auto pointer = source_->pointerLocation()) {
    if (auto display = getDisplayAtPoint(monitors, *pointer)) {
      char detail[96];
      std::snprintf(detail, sizeof detail, "mouse=(%.1f, %.1f)", pointer->x, pointer->y);
      return applyHysteresis(*display, "mouse_pointer", detail);
    }
  }
  return applyHysteresis(mainDisplayID(monitors), "main_display", "falling back to CGMainDisplayID()");
}

std::uint32_t ActiveDisplayResolver::mainDisplayID(const std::vector<Monitor>& monitors) {
  auto primary = std::find_if(monitors.begin(), monitors.end(), [](const Monitor& m) { return m.primary; });
  if (primary != monitors.end()) return primary->id;
  return monitors.empty() ? 0 : monitors.front().id;
}

std::vector<std::uint32_t> ActiveDisplayResolver::getAvailableDisplays() const { return getAvailableDisplays(*displays_); }

std::vector<std::uint32_t> ActiveDisplayResolver::getAvailableDisplays(DisplayServer& displays) {
  std::vector<std::uint32_t> ids;
  for (const Monitor& monitor : displays.monitors()) ids.push_back(monitor.id);
  return ids;
}

std::optional<std::uint32_t> ActiveDisplayResolver::getFocusedWindowDisplay(const std::vector<Monitor>& monitors) {
  const std::optional<FrontmostWindow> window = source_->frontmostWindow();
  if (!window || !source_->canReadWindowProperties() || !window->position) return std::nullopt;
  // A window whose size is unknown is located by its top-left corner.
  const DisplayPoint size = window->size.value_or(DisplayPoint{});
  return getDisplayAtPoint(monitors, DisplayPoint{window->position->x + size.x / 2, window->position->y + size.y / 2});
}

std::optional<std::uint32_t> ActiveDisplayResolver::getDisplayAtPoint(const std::vector<Monitor>& monitors,
                                                                      DisplayPoint point) {
  // Windows, the pointer and the monitors share the root window's coordinates (origin top
  // left, y downwards): the point is compared as it is, never flipped.
  for (const Monitor& monitor : monitors) {
    if (monitor.bounds.contains(point)) return monitor.id;
  }
  return std::nullopt;
}

std::uint32_t ActiveDisplayResolver::applyHysteresis(std::uint32_t candidate, std::string_view source,
                                                     const std::string& detail) {
  if (lastDisplayID_ == candidate) {
    logResolution(source, candidate, candidate, "same display reused; " + detail);
    return candidate;
  }
  const Timestamp now = clock_.now();
  if (lastDisplayID_ && displaySwitchTime_) {
    const std::chrono::duration<double> sinceSwitch = now - *displaySwitchTime_;
    // A clock set back is no reason to hold on longer than the interval.
    if (sinceSwitch.count() >= 0 && sinceSwitch.count() < kHysteresisIntervalSeconds) {
      logResolution(source, candidate, *lastDisplayID_,
                    "hysteresis held previous display; candidate=" + std::to_string(candidate) + "; " + detail);
      return *lastDisplayID_;
    }
  }
  lastDisplayID_ = candidate;
  displaySwitchTime_ = now;
  logResolution(source, candidate, candidate, "accepted new display; " + detail);
  return candidate;
}

void ActiveDisplayResolver::logResolution(std::string_view source, std::uint32_t candidateDisplayID,
                                          std::uint32_t resolvedDisplayID, const std::string& detail) {
  const std::string candidate = std::to_string(candidateDisplayID);
  const std::string resolved = std::to_string(resolvedDisplayID);
  std::string signature = std::string(source) + "|" + candidate + "|" + resolved + "|" + detail;
  if (lastLoggedResolutionSignature_ == signature) return;
  lastLoggedResolutionSignature_ = std::move(signature);
  TolvoWindowSwitchDebug::log(
      "source=" + std::string(source) + " candidateDisplay=" + candidate + " resolvedDisplay=" + resolved + " " + detail,
      kLogSource);
}

}  // namespace tolvo
