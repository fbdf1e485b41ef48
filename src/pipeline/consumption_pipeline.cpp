#include "pipeline/consumption_pipeline.h"

#include <algorithm>
#include <thread>

#include <nlohmann/json.hpp>

#include "core/json_codec.h"
#include "core/time_util.h"
#include "core/tolvo_constants.h"
#include "crypto/encryption_utilities.h"
#include "crypto/key_manager.h"
#include "db/database_manager.h"
#include "pipeline/date_formats.h"
#include "pipeline/local_summary.h"
#include "pipeline/pipeline_error.h"
#include "pipeline/summary_text.h"
#include "pipeline/summary_video_export.h"
#include "pipeline/text_recognition_worker.h"

namespace tolvo {

namespace {

constexpr std::string_view kLocalModel = "local-v1";
constexpr std::size_t kEndedJobsKept = 1024;

// An item's end for the overlap rule: a missing end counts as its start.
std::int64_t endOf(const Chunk& chunk) { return std::max(chunk.startAtMs, chunk.endAtMs.value_or(chunk.startAtMs)); }
std::int64_t endOf(const ContextInterval& context) { return std::max(context.startAtMs, context.endAtMs); }

template <typename Item>
bool overlaps(const Item& item, SummaryWindowRange window) {
  return std::max(item.startAtMs, window.startMs) < std::min(endOf(item), window.endMs);
}

// The items overlapping the window, in their order. `items` are sorted by start, so the scan
// ends at the first item starting at or after the window's end.
template <typename Item>
std::vector<Item> overlapping(const std::vector<Item>& items, SummaryWindowRange window) {
  std::vector<Item> found;
  for (const Item& item : items) {
    if (item.startAtMs >= window.endMs) break;
    if (overlaps(item, window)) found.push_back(item);
  }
  return found;
}

// The earliest start at or after `from` of an item with a length, or nothing.
template <typename Item>
std::optional<std::int64_t> nextStart(const std::vector<Item>& items, std::int64_t from) {
  auto it = std::lower_bound(items.begin(), items.end(), from,
                             [](const Item& item, std::int64_t t) { return item.startAtMs < t; });
  for (; it != items.end(); ++it) {
    if (endOf(*it) > it->startAtMs) return it->startAtMs;
  }
  return std::nullopt;
}

// end − start for start ≤ end, saturated: times read from a damaged row may be far apart.
std::int64_t span(std::int64_t start, std::int64_t end) {
  const std::uint64_t distance = static_cast<std::uint64_t>(end) - static_cast<std::uint64_t>(start);
  return static_cast<std::int64_t>(std::min<std::uint64_t>(distance, INT64_MAX));
}

template <typename Item>
void sortByStart(std::vector<Item>& items) {
  std::stable_sort(items.begin(), items.end(),
                   [](const Item& a, const Item& b) { return a.startAtMs < b.startAtMs; });
}

std::optional<std::string> normalizedRemoteAPIBaseURL(const std::optional<std::string>& base) {
  if (!base) return std::nullopt;
  std::string trimmed = trimWhitespace(*base);
  if (trimmed.empty()) return std::nullopt;
  return trimmed;
}

}  // namespace

void to_json(nlohmann::json& j, const SummaryJobParams& params) {
  j = nlohmann::json::object();
  json::put(j, "startMs", params.startMs);
  json::put(j, "endMs", params.endMs);
  json::put(j, "preset", params.preset);
  json::put(j, "chunkInterval", params.chunkInterval);
  json::put(j, "question", params.question);
  json::put(j, "remoteAPIBaseURL", params.remoteAPIBaseURL);
}

void from_json(const nlohmann::json& j, SummaryJobParams& params) {
  json::requireObject(j, "SummaryJobParams");
  params.startMs = json::required<std::int64_t>(j, "startMs");
  params.endMs = json::required<std::int64_t>(j, "endMs");
  params.preset = json::required<SummaryPreset>(j, "preset");
  params.chunkInterval = json::required<SummaryChunkInterval>(j, "chunkInterval");
  params.question = json::required<std::string>(j, "question");
  params.remoteAPIBaseURL = json::optional<std::string>(j, "remoteAPIBaseURL");
}

SummaryWindowRange effectiveRequestedRange(std::int64_t requestedStartMs, std::int64_t requestedEndMs,
                                           const Session& session, const std::vector<Chunk>& chunks) {
  const std::int64_t sessionStart = session.startedAtMs;
  const std::int64_t sessionEnd = session.endedAtMs.value_or(sessionStart);
  std::int64_t latestChunkEnd = sessionStart;
  if (!chunks.empty()) {
    latestChunkEnd = endOf(chunks.front());
    for (const Chunk& chunk : chunks) latestChunkEnd = std::max(latestChunkEnd, endOf(chunk));
  }
  const std::int64_t effectiveEnd = std::max({sessionEnd, latestChunkEnd, sessionStart});
  if (requestedStartMs < requestedEndMs) {
    const std::int64_t start = std::max(requestedStartMs, sessionStart);
    const std::int64_t end = std::min(requestedEndMs, effectiveEnd);
    if (start < end) return {start, end};
  }
  return {sessionStart, effectiveEnd};
}

ConsumptionPipeline& ConsumptionPipeline::shared() {
  // Never destroyed: a job may still be running on its queue while the process exits.
  static auto* instance = new std::shared_ptr<ConsumptionPipeline>(create(Dependencies{
      DatabaseManager::shared(), KeyManager::shared(), {}, SystemClock::instance(), {},
      &TextRecognitionWorker::shared()}));
  return **instance;
}

std::shared_ptr<ConsumptionPipeline> ConsumptionPipeline::create(Dependencies dependencies) {
  return std::shared_ptr<ConsumptionPipeline>(new ConsumptionPipeline(std::move(dependencies)));
}

ConsumptionPipeline::ConsumptionPipeline(Dependencies dependencies)
    : deps_(std::move(dependencies)), remote_(deps_.remoteTimeouts) {}

ConsumptionPipeline::~ConsumptionPipeline() {
  // The last owner may be a job's block, running on the processing queue: a queue cannot join
  // its own thread, so another thread ends it once that block has returned.
  if (processingQueue_->isCurrent()) std::thread([queue = std::move(processingQueue_)] {}).detach();
}

std::string ConsumptionPipeline::startSummaryJob(std::string_view sessionId, std::int64_t startMs,
                                                 std::int64_t endMs, SummaryPreset preset,
                                                 SummaryChunkInterval chunkInterval, std::string_view question,
                                                 const std::optional<std::string>& remoteAPIBaseURL) {
  PipelineJob job;
  job.id = EncryptionUtilities::randomUUID();
  job.sessionId = std::string(sessionId);
  job.requestedAtMs = toUnixMs(deps_.clock.now());
  job.status = JobStatus::queued;
  job.jobType = JobType::summary;
  try {
    job.params = json::encode(SummaryJobParams{startMs, endMs, preset, chunkInterval, std::string(question),
                                               remoteAPIBaseURL});
  } catch (const std::exception&) {
    // The job then fails as having invalid parameters (text that is not UTF-8, say).
  }
  setActiveJob(job);
  try {
    deps_.database.createPipelineJob(job);
  } catch (const std::exception&) {
    // The in-memory table still answers for the job.
  }
  processingQueue_->async([weak = weak_from_this(), id = job.id] {
    if (auto self = weak.lock()) self->processJob(id);
  });
  return job.id;
}

std::optional<PipelineJob> ConsumptionPipeline::getJobStatus(std::string_view jobId) {
  return stateQueue_.sync([&]() -> std::optional<PipelineJob> {
    auto it = activeJobs_.find(jobId);
    if (it == activeJobs_.end()) return std::nullopt;
    return it->second;
  });
}

void ConsumptionPipeline::setActiveJob(const PipelineJob& job) {
  stateQueue_.sync([&] {
    activeJobs_[job.id] = job;
    if (job.status == JobStatus::queued || job.status == JobStatus::running) return;
    // Ended jobs beyond the newest are answered from their rows: a client starting jobs all
    // day does not grow the service.
    endedJobs_.push_back(job.id);
    while (endedJobs_.size() > kEndedJobsKept) {
      activeJobs_.erase(endedJobs_.front());
      endedJobs_.pop_front();
    }
  });
}

bool ConsumptionPipeline::isCancelled(const std::string& jobId) {
  const std::optional<PipelineJob> job = getJobStatus(jobId);
  return job && job->status == JobStatus::cancelled;
}

void ConsumptionPipeline::writeStatus(const PipelineJob& job) {
  setActiveJob(job);
  try {
    deps_.database.updatePipelineJobStatus(job.id, job.status, job.startedAtMs, job.finishedAtMs, job.error);
  } catch (const std::exception&) {
    // The in-memory table, written first, stays the newer answer.
  }
}

void ConsumptionPipeline::processJob(const std::string& jobId) {
  std::optional<PipelineJob> job = getJobStatus(jobId);
  if (!job) return;
  job->status = JobStatus::running;
  job->startedAtMs = toUnixMs(deps_.clock.now());
  job->finishedAtMs.reset();
  job->error.reset();
  writeStatus(*job);

  std::optional<std::string> failure;
  try {
    const int stored = runJob(*job);
    if (stored < 0) return;  // cancelled: nothing further is written
    if (stored == 0) throw PipelineError(PipelineError::Kind::noRelevantRecording);
  } catch (const std::exception& e) {
    failure = e.what();
  }
  job->finishedAtMs = toUnixMs(deps_.clock.now());
  job->status = failure ? JobStatus::failed : JobStatus::done;
  job->error = failure;
  writeStatus(*job);
}

int ConsumptionPipeline::runJob(const PipelineJob& job) {
  if (!job.params) throw PipelineError(PipelineError::Kind::invalidParams);
  const std::optional<SummaryJobParams> params = json::tryDecode<SummaryJobParams>(*job.params);
  if (!params) throw PipelineError(PipelineError::Kind::invalidParams);

  const std::optional<Session> session = deps_.database.getSession(job.sessionId);
  if (!session) throw PipelineError(PipelineError::Kind::sessionNotFound);
  std::vector<Chunk> chunks = deps_.database.listChunks(job.sessionId);
  std::vector<ContextInterval> contexts = deps_.database.listContextIntervals(job.sessionId);
  sortByStart(chunks);
  sortByStart(contexts);

  const SummaryWindowRange range = effectiveRequestedRange(params->startMs, params->endMs, *session, chunks);
  const std::int64_t length = durationMs(params->chunkInterval);
  const std::optional<std::string> endpointBase = normalizedRemoteAPIBaseURL(params->remoteAPIBaseURL);
  // Texts in the user's locale and time zone as they are when the job runs.
  const DateFormats dates;
  const SummaryVideoExport exporter(
      deps_.keys, deps_.chunksDirectory.empty() ? TolvoConstants::Paths::chunksDirectory() : deps_.chunksDirectory);

  std::vector<Summary> created;
  // Windows are aligned to the range's start, each `length` long, the last one cut at the
  // range's end. A window without any chunk or context stores nothing, so the walk jumps over
  // such stretches to the window holding the next item's start.
  std::int64_t windowStart = range.startMs;
  while (windowStart < range.endMs) {
    const SummaryWindowRange window{windowStart, windowStart + std::min(length, span(windowStart, range.endMs))};
    if (isCancelled(job.id)) return -1;
    std::vector<Chunk> windowChunks = overlapping(chunks, window);
    std::vector<ContextInterval> windowContexts = overlapping(contexts, window);

    if (windowChunks.empty() && windowContexts.empty()) {
      const std::int64_t next = std::min(nextStart(chunks, window.endMs).value_or(range.endMs),
                                         nextStart(contexts, window.endMs).value_or(range.endMs));
      if (next >= range.endMs) break;
      windowStart = std::max(window.endMs, range.startMs + span(range.startMs, next) / length * length);
      continue;
    }

    SummaryResult result;
    if (windowChunks.empty()) {
      result = {std::string(kLocalModel),
                buildLocalSummary(params->preset, params->question, {}, windowContexts, window, dates)};
    } else if (!endpointBase) {
      const std::vector<OCRResult> ocr = extractOCR(windowChunks, window);
      result = {std::string(kLocalModel),
                buildLocalSummary(params->preset, params->question, ocr, windowContexts, window, dates)};
    } else {
      result = remote_.summarizeWindowRemotely(job.sessionId, window, params->preset, params->chunkInterval,
                                               params->question, windowChunks, windowContexts, *endpointBase,
                                               exporter, dates);
    }
    Summary summary{
        .id = EncryptionUtilities::randomUUID(),
        .sessionId = job.sessionId,
        .rangeStartMs = window.startMs,
        .rangeEndMs = window.endMs,
        .modelId = std::move(result.modelId),
        .summaryText = std::move(result.summaryText),
        .createdAtMs = toUnixMs(deps_.clock.now()),
    };
    deps_.database.createSummary(summary);
    created.push_back(std::move(summary));
    windowStart = window.endMs;
  }

  int stored = static_cast<int>(created.size());
  if (params->chunkInterval == SummaryChunkInterval::fiveMinutes && !created.empty()) {
    const DailyAggregator aggregator(deps_.database, remote_, dates, deps_.clock);
    stored += aggregator.createDailyAggregateSummaries(job.sessionId, params->question, created, endpointBase);
  }
  return stored;
}

std::vector<OCRResult> ConsumptionPipeline::extractOCR(const std::vector<Chunk>& chunks,
                                                       const SummaryWindowRange& window) const {
  std::vector<OCRResult> results;
  for (const Chunk& chunk : chunks) {
    if (!deps_.keys.getMasterKey()) throw PipelineError(PipelineError::Kind::vaultLocked);
    if (deps_.screenText == nullptr) continue;
    // Lines of the chunk that were on screen during the window.
    for (ScreenTextLine& line : deps_.screenText->textOf(chunk)) {
      if (line.firstSeenMs < window.endMs && line.lastSeenMs >= window.startMs) {
        results.push_back({line.firstSeenMs, std::move(line.text), line.confidence});
      }
    }
  }
  return results;
}

}  // namespace tolvo
