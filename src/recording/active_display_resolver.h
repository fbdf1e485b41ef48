#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/time_util.h"
#include "platform/display_server.h"
#include "platform/window_context_source.h"

namespace tolvo {

// Decides which monitor the user works on: the one holding the centre of the frontmost
// window, else the one under the pointer, else the main display; a switch to another
// monitor is held off for kHysteresisIntervalSeconds after the last accepted switch. Every
// distinct decision goes to the window-switch debug log once.
//
// REQUIRES: external synchronization (the coordinator calls it from its own serial queue).
// `clock` must outlive the resolver.
class ActiveDisplayResolver {
 public:
  static constexpr double kHysteresisIntervalSeconds = 0.5;

  ActiveDisplayResolver(std::shared_ptr<WindowContextSource> source, std::shared_ptr<DisplayServer> displays,
                        const Clock& clock = SystemClock::instance());

  // The monitor id to record; 0 only when the server lists no monitor at all.
  [[nodiscard]] std::uint32_t resolveActiveDisplay();

  // The display last accepted.
  [[nodiscard]] std::optional<std::uint32_t> currentDisplayID() const noexcept { return lastDisplayID_; }

  // The active monitor ids in the server's order; empty when there are none.
  [[nodiscard]] std::vector<std::uint32_t> getAvailableDisplays() const;
  [[nodiscard]] static std::vector<std::uint32_t> getAvailableDisplays(DisplayServer& displays);
  // The main display: the monitor marked primary, else the first one listed; 0 when none.
  [[nodiscard]] static std::uint32_t mainDisplayID(const std::vector<Monitor>& monitors);

 private:
  [[nodiscard]] std::optional<std::uint32_t> getFocusedWindowDisplay(const std::vector<Monitor>& monitors);
  [[nodiscard]] static std::optional<std::uint32_t> getDisplayAtPoint(const std::vector<Monitor>& monitors,
                                                                     DisplayPoint point);
  std::uint32_t applyHysteresis(std::uint32_t candidate, std::string_view source, const std::string& detail);
  void logResolution(std::string_view source, std::uint32_t candidateDisplayID, std::uint32_t resolvedDisplayID,
                     const std::string& detail);

  std::shared_ptr<WindowContextSource> source_;
  std::shared_ptr<DisplayServer> displays_;
  const Clock& clock_;

  std::optional<std::uint32_t> lastDisplayID_;
  std::optional<Timestamp> displaySwitchTime_;
  std::optional<std::string> lastLoggedResolutionSignature_;
};

}  // namespace tolvo
