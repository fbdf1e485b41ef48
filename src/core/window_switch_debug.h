#pragma once

#include <filesystem>
#include <string>

namespace tolvo {

// The switchable log of display and window decisions. It is on exactly while the flag file
// <application support>/Debug/window-switch-debug.enabled exists (tested for every line);
// lines "[" + UTC time + "] [" + source + "] " + message go to window-switch-debug.log beside
// it. log() returns at once; the flag check, formatting and file work run later on the queue
// "com.tolvodesk.window-switch-debug", in call order.
class TolvoWindowSwitchDebug {
 public:
  static void log(std::string message, std::string source);

  // Waits until every line logged before this call has been handled (for tests and shutdown).
  static void flush();

  [[nodiscard]] static std::filesystem::path directoryURL();
  [[nodiscard]] static std::filesystem::path enabledFlagURL();
  [[nodiscard]] static std::filesystem::path logFileURL();
};

}  // namespace tolvo
