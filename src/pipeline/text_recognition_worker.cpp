#include "pipeline/text_recognition_worker.h"

#include <malloc.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <utility>

#include <nlohmann/json.hpp>

#include "core/json_codec.h"
#include "core/time_util.h"
#include "core/tolvo_constants.h"
#include "core/user_defaults.h"
#include "crypto/encryption_utilities.h"
#include "crypto/key_manager.h"
#include "db/database_manager.h"
#include "pipeline/pipeline_error.h"
#include "pipeline/screen_text_store.h"
#include "pipeline/summary_video_export.h"

namespace tolvo {
namespace {

// How long the worker sleeps when nothing wakes it: a locked vault is looked at again soon
// (unlocking does not always reach the worker), an idle unlocked one rarely.
constexpr auto kLockedPoll = std::chrono::seconds(2);
constexpr auto kIdlePoll = std::chrono::seconds(60);

// The error text of a job that runs again after a process ended in its middle, and the end of
// one that was cut short that way twice.
constexpr std::string_view kInterruptedMark = "Interrupted by the end of the service; running again";
constexpr std::string_view kSkippedAfterInterruptions =
    "The service ended twice while reading this chunk's text; it is skipped";

// The calling thread yields the CPU and the disk to everything else: SCHED_IDLE (nice 19 where
// that is refused) and the idle I/O class.
void lowerThreadPriority() {
  sched_param param{};
  if (pthread_setschedparam(pthread_self(), SCHED_IDLE, &param) != 0) {
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
  }
  constexpr int kWhoProcess = 1;      // IOPRIO_WHO_PROCESS: a thread id
  constexpr int kClassIdle = 3 << 13;  // IOPRIO_PRIO_VALUE(IOPRIO_CLASS_IDLE, 0)
  (void)syscall(SYS_ioprio_set, kWhoProcess, gettid(), kClassIdle);
}

std::vector<std::string> userLanguages() {
  std::vector<std::string> languages;
  std::istringstream list(UserDefaults::standard().string("ocrLanguages").value_or("eng"));
  for (std::string language; std::getline(list, language, '+');) {
    if (!language.empty()) languages.push_back(language);
  }
  if (languages.empty()) languages.emplace_back("eng");
  return languages;
}

}  // namespace

void to_json(nlohmann::json& j, const TextRecognitionJobParams& params) {
  j = nlohmann::json::object();
  json::put(j, "chunkId", params.chunkId);
}

void from_json(const nlohmann::json& j, TextRecognitionJobParams& params) {
  json::requireObject(j, "TextRecognitionJobParams");
  params.chunkId = json::required<std::string>(j, "chunkId");
}

PipelineJob makeTextRecognitionJob(const Chunk& chunk, std::int64_t requestedAtMs) {
  PipelineJob job;
  job.id = EncryptionUtilities::randomUUID();
  job.sessionId = chunk.sessionId;
  job.requestedAtMs = requestedAtMs;
  job.status = JobStatus::queued;
  job.jobType = JobType::ocr;
  job.params = json::encode(TextRecognitionJobParams{chunk.id});
  return job;
}

TextRecognitionWorker& TextRecognitionWorker::shared() {
  // Never destroyed: the thread may be inside a recognition while the process exits.
  static auto* instance = [] {
    auto* worker = new TextRecognitionWorker(
        Dependencies{DatabaseManager::shared(), KeyManager::shared(), {}, {}, SystemClock::instance(), {}});
    worker->start();
    return worker;
  }();
  return *instance;
}

TextRecognitionWorker::TextRecognitionWorker(Dependencies dependencies) : deps_(std::move(dependencies)) {
  if (!deps_.makeRecognizer) deps_.makeRecognizer = [] { return makeTesseractRecognizer(userLanguages()); };
}

TextRecognitionWorker::~TextRecognitionWorker() { stop(); }

void TextRecognitionWorker::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wakeup_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void TextRecognitionWorker::start() {
  std::lock_guard lock(mutex_);
  if (thread_.joinable() || stopping_) return;
  woken_ = true;  // a backlog left by an earlier run is looked at at once
  thread_ = std::thread([this] { run(); });
}

void TextRecognitionWorker::wake() {
  {
    std::lock_guard lock(mutex_);
    woken_ = true;
  }
  wakeup_.notify_all();
}

void TextRecognitionWorker::chunkFinished(const Chunk& chunk) {
  deps_.database.createPipelineJob(makeTextRecognitionJob(chunk, toUnixMs(deps_.clock.now())));
  wake();
}

std::int64_t TextRecognitionWorker::jobsFinished() const {
  std::lock_guard lock(mutex_);
  return jobsFinished_;
}

void TextRecognitionWorker::run() {
  lowerThreadPriority();
  bool paused = false;
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      wakeup_.wait_for(lock, paused ? kLockedPoll : kIdlePoll, [this] { return woken_ || stopping_; });
      if (stopping_) return;
      woken_ = false;
    }
    paused = true;
    if (!deps_.keys.getMasterKey()) continue;
    drainBacklog();
    paused = !mayContinue();
    // The engine's models (tens of MB) are let go between bursts of work, and the heap gives
    // the freed memory back to the system.
    std::lock_guard lock(recognitionMutex_);
    if (recognizer_) {
      recognizer_.reset();
      (void)malloc_trim(0);
    }
  }
}

void TextRecognitionWorker::drainBacklog() {
  while (mayContinue()) {
    std::vector<PipelineJob> jobs;
    try {
      jobs = deps_.database.listPipelineJobs(JobType::ocr, {JobStatus::queued, JobStatus::running});
    } catch (const std::exception&) {
      return;  // the database is not open (yet, or any more)
    }
    if (jobs.empty()) return;
    for (const PipelineJob& job : jobs) {
      if (runJob(job) == Outcome::paused) return;
    }
  }
}

TextRecognitionWorker::Outcome TextRecognitionWorker::runJob(const PipelineJob& job) {
  if (!mayContinue()) return Outcome::paused;
  const std::int64_t startedAt = toUnixMs(deps_.clock.now());
  auto finish = [&](JobStatus status, std::optional<std::string> error) {
    deps_.database.updatePipelineJobStatus(job.id, status, startedAt, toUnixMs(deps_.clock.now()), std::move(error));
    pausedJobs_.erase(job.id);
    std::lock_guard lock(mutex_);
    ++jobsFinished_;
  };
  // A row left "running" by an earlier process was cut short by its end: it runs once more,
  // marked, and a second such end (a chunk that brings the service down) skips it.
  std::optional<std::string> mark;
  if (job.status == JobStatus::running && !pausedJobs_.contains(job.id)) {
    if (job.error == kInterruptedMark) {
      finish(JobStatus::failed, std::string(kSkippedAfterInterruptions));
      return Outcome::done;
    }
    mark = kInterruptedMark;
  }
  try {
    const auto params =
        job.params ? json::tryDecode<TextRecognitionJobParams>(*job.params) : std::optional<TextRecognitionJobParams>();
    if (!params) throw PipelineError(PipelineError::Kind::invalidParams);
    const auto chunks = deps_.database.listChunks(job.sessionId);
    const auto chunk =
        std::find_if(chunks.begin(), chunks.end(), [&](const Chunk& c) { return c.id == params->chunkId; });
    if (chunk == chunks.end()) throw PipelineError(PipelineError::Kind::chunkNotFound);
    deps_.database.updatePipelineJobStatus(job.id, JobStatus::running, startedAt, std::nullopt, mark);
    if (recognizeAndStore(*chunk, /*interruptible=*/true)) {
      finish(JobStatus::done, std::nullopt);
      return Outcome::done;
    }
  } catch (const std::exception& e) {
    if (mayContinue()) {
      try {
        finish(JobStatus::failed, std::string(e.what()));
        return Outcome::done;
      } catch (const std::exception&) {
      }
    }
  }
  // A lock or a stop in the middle is a pause: the job runs again. Its row goes back to
  // "queued" where the database is still open (a stop); after a lock this process knows it.
  pausedJobs_.insert(job.id);
  try {
    deps_.database.updatePipelineJobStatus(job.id, JobStatus::queued, std::nullopt, std::nullopt, std::nullopt);
  } catch (const std::exception&) {
  }
  return Outcome::paused;
}

std::optional<std::vector<ScreenTextLine>> TextRecognitionWorker::recognizeAndStore(const Chunk& chunk,
                                                                                   bool interruptible) {
  std::lock_guard lock(recognitionMutex_);
  const ScreenTextStore store(deps_.database, deps_.keys, artifactsDirectory(), deps_.clock);
  try {
    if (auto lines = store.load(chunk)) return lines;
  } catch (const PipelineError& e) {
    if (e.kind() == PipelineError::Kind::vaultLocked) throw;
    // A damaged artifact is recognized again and replaced.
  } catch (const std::exception&) {
  }
  const SummaryVideoExport exporter(deps_.keys, chunksDirectory());
  const Bytes mp4 = exporter.exportSummaryChunk(chunk);
  if (!recognizer_) recognizer_ = deps_.makeRecognizer();
  ChunkTextRecognition recognition(*recognizer_, deps_.policy);
  const auto text = recognition.recognize(mp4, chunk.startAtMs, [&] {
    return interruptible ? mayContinue() : deps_.keys.getMasterKey().has_value();
  });
  if (!text) return std::nullopt;
  store.store(chunk, *text);
  return text->lines;
}

std::vector<ScreenTextLine> TextRecognitionWorker::textOf(const Chunk& chunk) {
  if (!deps_.keys.getMasterKey()) throw PipelineError(PipelineError::Kind::vaultLocked);
  if (!chunk.mp4PlainLen || *chunk.mp4PlainLen < 1) return {};
  try {
    auto lines = recognizeAndStore(chunk, /*interruptible=*/false);
    if (!lines) throw PipelineError(PipelineError::Kind::vaultLocked);
    return *std::move(lines);
  } catch (const PipelineError& e) {
    if (e.kind() == PipelineError::Kind::vaultLocked || e.kind() == PipelineError::Kind::ocrFailed) throw;
    return {};  // no readable picture
  } catch (const std::exception&) {
    return {};  // a chunk that does not decrypt or decode has no text to offer
  }
}

bool TextRecognitionWorker::mayContinue() const {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return false;
  }
  return deps_.keys.getMasterKey().has_value();
}

std::filesystem::path TextRecognitionWorker::chunksDirectory() const {
  return deps_.chunksDirectory.empty() ? TolvoConstants::Paths::chunksDirectory() : deps_.chunksDirectory;
}

std::filesystem::path TextRecognitionWorker::artifactsDirectory() const {
  return deps_.artifactsDirectory.empty() ? TolvoConstants::Paths::artifactsDirectory() : deps_.artifactsDirectory;
}

}  // namespace tolvo
