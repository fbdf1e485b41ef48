#include "service/recorder_service_factory.h"

#include "crypto/key_manager.h"
#include "db/database_manager.h"
#include "recording/recording_coordinator.h"
#include "service/recorder_service.h"
#include "vault/vault_manager.h"

namespace tolvo {

ConnectionHandlerFactory makeRecorderServiceFactory() {
  VaultManager::setRecordingStopper([] { RecordingCoordinator::shared().stopRecording(nullptr); });
  // Create the process-wide instances now, on the main thread, so that accepting a
  // connection never waits for their set-up (UI test mode detection, the secret store).
  (void)VaultManager::shared();
  (void)RecordingCoordinator::shared();
  return [] { return RecorderService::makeShared(); };
}

void shutdownServices() {
  RecordingCoordinator::shared().stopRecording(nullptr);
  DatabaseManager::shared().close();
  KeyManager::shared().clearKeys();
}

}  // namespace tolvo
