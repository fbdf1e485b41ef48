#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/records.h"
#include "pipeline/chunk_text_recognition.h"
#include "pipeline/text_recognizer.h"

namespace tolvo {

class Clock;
class DatabaseManager;
class KeyManager;

// The parameters of a text recognition job, stored as JSON in the job's `params`:
// {"chunkId": …}.
struct TextRecognitionJobParams {
  std::string chunkId;
};
void to_json(nlohmann::json& j, const TextRecognitionJobParams& params);
void from_json(const nlohmann::json& j, TextRecognitionJobParams& params);

// The queued `ocr` job row for a finished chunk (what the recorder writes when a chunk closes).
[[nodiscard]] PipelineJob makeTextRecognitionJob(const Chunk& chunk, std::int64_t requestedAtMs);

// Recognizes the text of finished chunks in the background: the `ocr` jobs of the database,
// oldest first, one at a time, on a thread of its own running at idle priority (CPU and disk),
// one picture at a time. While the vault is locked it waits; jobs are rows, so a backlog left
// by a lock or a restart is taken up again. A job found "running" was cut short by the end of
// an earlier process: it runs once more, and is skipped ("failed") when that happens twice, so
// a chunk that brings the service down cannot do so at every start. A job ends "done" once the
// chunk's text is stored (ScreenTextStore), "failed" with the error's description when the
// chunk cannot be read or recognized.
//
// Thread-safe.
class TextRecognitionWorker {
 public:
  using RecognizerFactory = std::function<std::unique_ptr<TextRecognizer>()>;

  struct Dependencies {
    DatabaseManager& database;
    const KeyManager& keys;
    // The vault's folders; empty: the vault's, looked up when a job runs.
    std::filesystem::path chunksDirectory;
    std::filesystem::path artifactsDirectory;
    const Clock& clock;
    // Empty: Tesseract with the languages of the user default "ocrLanguages" ("eng+deu"; "eng"
    // when unset).
    RecognizerFactory makeRecognizer;
    RecognitionPolicy policy{};
  };

  // The process's worker over the shared database and keys, started on first use. Never
  // destroyed.
  [[nodiscard]] static TextRecognitionWorker& shared();

  explicit TextRecognitionWorker(Dependencies dependencies);
  TextRecognitionWorker(const TextRecognitionWorker&) = delete;
  TextRecognitionWorker& operator=(const TextRecognitionWorker&) = delete;
  // Stops the thread after the picture in hand; the job in hand stays "running" and runs again
  // next time.
  ~TextRecognitionWorker();

  // Starts the thread (once).
  void start();
  // Ends the thread after the picture in hand and waits for it; the job in hand stays
  // "running" and runs again next time. The worker does not start again.
  void stop();
  // A job was queued or the vault was unlocked: look for work now.
  void wake();
  // Queues the `ocr` job of a chunk that was closed (a row; raises the database's errors) and
  // wakes the worker.
  void chunkFinished(const Chunk& chunk);

  // The chunk's stored lines; when the chunk has none yet, recognizes it now on the calling
  // thread (one recognition runs at a time in the process) and stores them. Nothing for a
  // chunk without a readable picture. Raises PipelineError(vaultLocked) without a master key,
  // PipelineError(ocrFailed) when the recognizer fails.
  [[nodiscard]] std::vector<ScreenTextLine> textOf(const Chunk& chunk);

  // Jobs finished (done or failed) by this worker since it was made.
  [[nodiscard]] std::int64_t jobsFinished() const;

 private:
  enum class Outcome { done, paused };

  void run();
  // Runs jobs until none is left, the vault locks or the worker stops.
  void drainBacklog();
  [[nodiscard]] Outcome runJob(const PipelineJob& job);
  // The chunk's stored lines, recognized and stored first when it has none. Nothing when the
  // recognition was interrupted (a lock, or a stop when `interruptible`).
  [[nodiscard]] std::optional<std::vector<ScreenTextLine>> recognizeAndStore(const Chunk& chunk, bool interruptible);
  [[nodiscard]] bool mayContinue() const;
  [[nodiscard]] std::filesystem::path chunksDirectory() const;
  [[nodiscard]] std::filesystem::path artifactsDirectory() const;

  Dependencies deps_;
  std::set<std::string> pausedJobs_;  // on the worker's thread: jobs this process paused
  std::mutex recognitionMutex_;  // one recognition at a time; guards recognizer_
  std::unique_ptr<TextRecognizer> recognizer_;

  mutable std::mutex mutex_;
  std::condition_variable wakeup_;
  bool woken_ = false;     // on mutex_
  bool stopping_ = false;  // on mutex_
  std::int64_t jobsFinished_ = 0;  // on mutex_
  std::thread thread_;
};

}  // namespace tolvo
