// A local five-minute summary job over a 24-hour session with 20,000 context intervals (288
// windows and the daily summaries), on a real SQLCipher database. Baseline in the same run:
// reading the session's rows alone, the floor of any job. Each iteration starts from a fresh
// copy of the database without summaries.
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>

#include "core/time_util.h"
#include "crypto/key_manager.h"
#include "db/database_manager.h"
#include "pipeline/consumption_pipeline.h"
#include "scratch_dir.h"

namespace tolvo {
namespace {

constexpr int kContexts = 20'000;
constexpr std::int64_t kDayMs = 86'400'000;
constexpr std::int64_t kStartMs = 1'796'554'800'000;  // 2026-12-06 10:00 UTC: the day crosses a midnight
constexpr const char* kSession = "bench-session";

KeyManager& keys() {
  static KeyManager* instance = [] {
    auto* k = new KeyManager;
    k->setMasterKey(k->generateMasterKey());
    return k;
  }();
  return *instance;
}

// The session's database, made once; each iteration copies it.
const std::filesystem::path& templateDatabase() {
  static const std::filesystem::path path = [] {
    std::filesystem::path file = bench::scratch().path() / "template.db";
    DatabaseManager db;
    db.open(file, *keys().getDBKeyHex());
    db.createSession(Session{kSession, kStartMs, kStartMs + kDayMs, kStartMs});
    const std::int64_t step = kDayMs / kContexts;
    const char* apps[] = {"Terminal", "Browser", "Editor", "Mail", "Chat", "Files"};
    for (int i = 0; i < kContexts; ++i) {
      (void)db.createContextInterval(ContextInterval{0, kSession, kStartMs + i * step, kStartMs + (i + 1) * step,
                                                     "org.bench", apps[i % 6],
                                                     "Window " + std::to_string(i) + " of a long working day",
                                                     std::nullopt});
    }
    db.close();
    return file;
  }();
  return path;
}

std::filesystem::path freshCopy() {
  const std::filesystem::path copy = bench::scratch().path() / "job.db";
  std::filesystem::remove(copy);
  std::filesystem::copy_file(templateDatabase(), copy);
  return copy;
}

void BM_LocalFiveMinuteJobOverADay(benchmark::State& state) {
  int summaries = 0;
  for (auto _ : state) {
    state.PauseTiming();
    DatabaseManager db;
    db.open(freshCopy(), *keys().getDBKeyHex());
    auto pipeline =
        ConsumptionPipeline::create({db, keys(), bench::scratch().path(), SystemClock::instance(), {}});
    state.ResumeTiming();
    const std::string id = pipeline->startSummaryJob(kSession, 0, 0, SummaryPreset::detailed,
                                                     SummaryChunkInterval::fiveMinutes, "What did I work on?", {});
    std::optional<PipelineJob> job;
    do {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      job = pipeline->getJobStatus(id);
    } while (job->status == JobStatus::queued || job->status == JobStatus::running);
    state.PauseTiming();
    if (job->status != JobStatus::done) state.SkipWithError(job->error.value_or("failed").c_str());
    summaries = static_cast<int>(db.listSummaries(kSession, 0, INT64_MAX).size());
    state.ResumeTiming();
  }
  state.counters["summaries"] = summaries;
}
BENCHMARK(BM_LocalFiveMinuteJobOverADay)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5)->Repetitions(3)
    ->ReportAggregatesOnly(true);

// Baseline: the session, its chunks and its context intervals read as a job reads them.
void BM_ReadSessionRowsOnly(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    DatabaseManager db;
    db.open(freshCopy(), *keys().getDBKeyHex());
    state.ResumeTiming();
    benchmark::DoNotOptimize(db.getSession(kSession));
    benchmark::DoNotOptimize(db.listChunks(kSession));
    benchmark::DoNotOptimize(db.listContextIntervals(kSession));
  }
}
BENCHMARK(BM_ReadSessionRowsOnly)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5)->Repetitions(3)
    ->ReportAggregatesOnly(true);

}  // namespace
}  // namespace tolvo

BENCHMARK_MAIN();
