#include "service/recorder_service_factory.h"

#include <chrono>

#include "crypto/key_manager.h"
#include "db/database_manager.h"
#include "pipeline/consumption_pipeline.h"
#include "pipeline/text_recognition_worker.h"
#include "recording/recording_coordinator.h"
#include "service/recorder_service.h"
#include "vault/vault_manager.h"

namespace tolvo {
namespace {

// Stopping finishes the open chunk (a few encoder frames and one database update); the bound
// only matters when the database or the disk hangs.
constexpr std::chrono::seconds kStopTimeout{30};

}  // namespace

ConnectionHandlerFactory makeRecorderServiceFactory() {
  // Locking waits for the recording to stop, so that its last chunk and the session are
  // closed in the database before the database closes.
  VaultManager::setRecordingStopper([] { (void)RecordingCoordinator::shared().stopRecordingAndWait(kStopTimeout); });
  // Create the process-wide instances now, on the main thread, so that accepting a
  // connection never waits for their set-up (UI test mode detection, the secret store).
  (void)VaultManager::shared();
  (void)RecordingCoordinator::shared();
  (void)ConsumptionPipeline::shared();
  // Each closed chunk's text is recognized in the background.
  RecordingCoordinator::shared().setChunkFinishedHandler(
      [](const Chunk& chunk) { TextRecognitionWorker::shared().chunkFinished(chunk); });
  return [] { return RecorderService::makeShared(); };
}

void shutdownServices() {
  (void)RecordingCoordinator::shared().stopRecordingAndWait(kStopTimeout);
  TextRecognitionWorker::shared().stop();
  DatabaseManager::shared().close();
  KeyManager::shared().clearKeys();
}

}  // namespace tolvo
