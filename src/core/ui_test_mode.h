#pragma once

#include <filesystem>

namespace tolvo {

// The three switches of UI test mode, each evaluated afresh.
struct UITestModeSwitches {
  bool argument = false;     // the process's arguments contain "--uitest-mode"
  bool environment = false;  // TOLVO_UITEST_MODE exists and equals "1"
  bool markerFile = false;   // <tmp>/TolvoDeskUITest/uitest-mode exists
  [[nodiscard]] bool any() const noexcept { return argument || environment || markerFile; }
};

[[nodiscard]] UITestModeSwitches uiTestModeSwitches();

// UI test mode: any of the three switches holds. Computed on each call.
[[nodiscard]] bool isUITestMode();

// The marker file <tmp>/TolvoDeskUITest/uitest-mode.
[[nodiscard]] std::filesystem::path uiTestMarkerPath();

// True when the process's command-line arguments (from /proc/self/cmdline) contain `argument`.
[[nodiscard]] bool processArgumentsContain(const char* argument);

}  // namespace tolvo
