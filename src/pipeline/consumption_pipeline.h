#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/records.h"
#include "core/serial_queue.h"
#include "pipeline/pipeline_records.h"
#include "pipeline/remote_summary.h"

namespace tolvo {

class Clock;
class DatabaseManager;
class KeyManager;
class TextRecognitionWorker;

// The parameters of a summary job, stored as JSON in the job's `params`.
struct SummaryJobParams {
  std::int64_t startMs = 0;
  std::int64_t endMs = 0;
  SummaryPreset preset = SummaryPreset::brief;
  SummaryChunkInterval chunkInterval = SummaryChunkInterval::fiveMinutes;
  std::string question;
  std::optional<std::string> remoteAPIBaseURL;
  bool operator==(const SummaryJobParams&) const = default;
};
void to_json(nlohmann::json& j, const SummaryJobParams& params);
void from_json(const nlohmann::json& j, SummaryJobParams& params);

// The range a job summarizes: the request clipped to the session (its end being the later of
// the session's end and its last chunk's), or the whole session when the request is empty or
// lies outside it. May be empty.
[[nodiscard]] SummaryWindowRange effectiveRequestedRange(std::int64_t requestedStartMs, std::int64_t requestedEndMs,
                                                         const Session& session, const std::vector<Chunk>& chunks);

// Turns recorded time ranges of a session into stored summaries. A job is recorded (in memory
// first, then as a row), answered with its identifier at once, and run later on the
// processing queue, one job at a time in the order they were started: the range is cut into
// windows of the job's interval aligned to its start; each window holding recorded data gets
// one summary, written here from the window's application context or by the remote summary
// endpoint from its video; a five-minute job adds one summary per calendar day. The first
// error ends the job ("failed" with the error's description); summaries stored before stay.
// Jobs interrupted by a restart are not resumed; their rows keep the state they had.
//
// Thread-safe. REQUIRES: owned by a std::shared_ptr (use create()).
class ConsumptionPipeline : public std::enable_shared_from_this<ConsumptionPipeline> {
 public:
  struct Dependencies {
    DatabaseManager& database;
    const KeyManager& keys;
    // Where chunk files are found; empty: the vault's, looked up when a job runs.
    std::filesystem::path chunksDirectory;
    const Clock& clock;
    RemoteSummaryTimeouts remoteTimeouts{};
    // The recognized screen text of chunks for local summaries; none: summaries without it.
    TextRecognitionWorker* screenText = nullptr;
  };

  // The process-wide pipeline over the shared database and keys. Never destroyed.
  [[nodiscard]] static ConsumptionPipeline& shared();
  [[nodiscard]] static std::shared_ptr<ConsumptionPipeline> create(Dependencies dependencies);

  ConsumptionPipeline(const ConsumptionPipeline&) = delete;
  ConsumptionPipeline& operator=(const ConsumptionPipeline&) = delete;
  ~ConsumptionPipeline();

  // Records a queued job and schedules it; never fails (a row that cannot be written is
  // skipped: the in-memory status still answers).
  [[nodiscard]] std::string startSummaryJob(std::string_view sessionId, std::int64_t startMs, std::int64_t endMs,
                                            SummaryPreset preset, SummaryChunkInterval chunkInterval,
                                            std::string_view question,
                                            const std::optional<std::string>& remoteAPIBaseURL);

  // The latest state of a job started by this process, or nothing. Only the 1024 most recently
  // ended jobs are kept in memory; older ones are answered by their rows.
  [[nodiscard]] std::optional<PipelineJob> getJobStatus(std::string_view jobId);

 private:
  explicit ConsumptionPipeline(Dependencies dependencies);

  void setActiveJob(const PipelineJob& job);
  void processJob(const std::string& jobId);
  // Runs the job's windows; returns the number of summaries stored. Raises on the first error.
  [[nodiscard]] int runJob(const PipelineJob& job);
  [[nodiscard]] bool isCancelled(const std::string& jobId);
  // The text recognized on screen in the chunks during the window, recognizing chunks whose
  // text is not stored yet; PipelineError(vaultLocked) while the vault is locked.
  [[nodiscard]] std::vector<OCRResult> extractOCR(const std::vector<Chunk>& chunks,
                                                  const SummaryWindowRange& window) const;
  void writeStatus(const PipelineJob& job);

  Dependencies deps_;
  RemoteSummaryClient remote_;
  std::unique_ptr<SerialQueue> processingQueue_ = std::make_unique<SerialQueue>("com.tolvodesk.pipeline");
  SerialQueue stateQueue_{"com.tolvodesk.pipeline.state"};
  std::map<std::string, PipelineJob, std::less<>> activeJobs_;  // on stateQueue_
  std::deque<std::string> endedJobs_;                            // on stateQueue_, oldest first
};

}  // namespace tolvo
