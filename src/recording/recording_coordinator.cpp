#include "recording/recording_coordinator.h"

#include "platform/display_server.h"
#include "platform/window_context_source.h"

namespace tolvo {

RecordingCoordinator& RecordingCoordinator::shared() {
  static RecordingCoordinator instance;
  return instance;
}

RecordingCoordinator::RecordingCoordinator()
    : displayServer_(makeX11DisplayServer()), windowContext_(makeX11WindowContextSource()) { status_.config = RecordingConfig::defaultConfig(); }

RecordingStatus RecordingCoordinator::status() const {
  std::lock_guard lock(mutex_);
  return status_;
}

void RecordingCoordinator::stopRecording(std::function<void()> completion) {
  // Nothing records yet, so there is nothing to stop.
  if (completion) completion();
}

}  // namespace tolvo
