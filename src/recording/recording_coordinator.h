#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "core/records.h"

namespace tolvo {

// The process-wide recorder. This build has no capture pipeline yet: the coordinator is
// always idle, and the service front reads its state and asks it to stop through the calls
// below, which keep their meaning once capture arrives.
class DisplayServer;
class WindowContextSource;

class RecordingCoordinator {
 public:
  [[nodiscard]] static RecordingCoordinator& shared();

  // A consistent copy of the current status; never waits on the recorder's queue.
  [[nodiscard]] RecordingStatus status() const;

  // Stops any recording; `completion` (may be empty) runs once the stop has finished.
  void stopRecording(std::function<void()> completion);

  // The display server the recorder captures from and the source of the frontmost window
  // (the X server of $DISPLAY). Shared with the permission checks of the service.
  [[nodiscard]] const std::shared_ptr<DisplayServer>& displayServer() const noexcept { return displayServer_; }
  [[nodiscard]] const std::shared_ptr<WindowContextSource>& windowContext() const noexcept { return windowContext_; }

 private:
  RecordingCoordinator();
  const std::shared_ptr<DisplayServer> displayServer_;
  const std::shared_ptr<WindowContextSource> windowContext_;
  mutable std::mutex mutex_;
  RecordingStatus status_;
};

}  // namespace tolvo
