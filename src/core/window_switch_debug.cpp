#include "core/window_switch_debug.h"

#include <chrono>

#include "core/error.h"
#include "core/file_util.h"
#include "core/serial_queue.h"
#include "core/time_util.h"
#include "core/tolvo_constants.h"

namespace tolvo {
namespace {

SerialQueue& logQueue() {
  // Never destroyed: lines may still be logged while static objects are torn down.
  static auto* queue = new SerialQueue("com.tolvodesk.window-switch-debug");
  return *queue;
}

void writeLine(const std::chrono::system_clock::time_point at, const std::string& message,
               const std::string& source) {
  const auto dir = TolvoWindowSwitchDebug::directoryURL();
  try {
    fs::ensurePrivateDirectory(dir);
  } catch (const Error&) {
  }
  if (!fs::exists(dir / "window-switch-debug.enabled")) return;
  std::string line = "[" + iso8601(at) + "] [" + source + "] " + message + "\n";
  try {
    fs::appendToFile(dir / "window-switch-debug.log", asBytes(line));
  } catch (const Error&) {
    // A line that cannot be written is lost; logging never fails its caller.
  }
}

}  // namespace

std::filesystem::path TolvoWindowSwitchDebug::directoryURL() {
  return TolvoConstants::Paths::applicationSupport() / "Debug";
}
std::filesystem::path TolvoWindowSwitchDebug::enabledFlagURL() { return directoryURL() / "window-switch-debug.enabled"; }
std::filesystem::path TolvoWindowSwitchDebug::logFileURL() { return directoryURL() / "window-switch-debug.log"; }

void TolvoWindowSwitchDebug::log(std::string message, std::string source) {
  const auto at = std::chrono::system_clock::now();
  logQueue().async([at, message = std::move(message), source = std::move(source)] {
    writeLine(at, message, source);
  });
}

void TolvoWindowSwitchDebug::flush() {
  logQueue().sync([] {});
}

}  // namespace tolvo
