#pragma once

#include <functional>
#include <mutex>

#include "core/records.h"

namespace tolvo {

// The process-wide recorder. This build has no capture pipeline yet: the coordinator is
// always idle, and the service front reads its state and asks it to stop through the calls
// below, which keep their meaning once capture arrives.
class RecordingCoordinator {
 public:
  [[nodiscard]] static RecordingCoordinator& shared();

  // A consistent copy of the current status; never waits on the recorder's queue.
  [[nodiscard]] RecordingStatus status() const;

  // Stops any recording; `completion` (may be empty) runs once the stop has finished.
  void stopRecording(std::function<void()> completion);

 private:
  RecordingCoordinator();
  mutable std::mutex mutex_;
  RecordingStatus status_;
};

}  // namespace tolvo
