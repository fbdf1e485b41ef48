// Summary jobs on a real SQLCipher database: ranges and windows, local summaries and daily
// aggregates across a midnight in a fixed locale and time zone, outcomes and their texts.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <set>
#include <thread>

#include "core/time_util.h"
#include "crypto/key_manager.h"
#include "db/database_manager.h"
#include "pipeline/consumption_pipeline.h"
#include "support/http_test_server.h"
#include "support/sandbox.h"

namespace tolvo::test {
namespace {

using namespace std::chrono_literals;

constexpr std::int64_t kMinute = 60'000;
// 2026-12-06 23:50 in Berlin.
constexpr std::int64_t kT0 = 1'796'597'400'000;

class PipelineTest : public SandboxedTest {
 protected:
  void SetUp() override {
    setEnv("TZ", "Europe/Berlin");
    setEnv("LC_ALL", "de_DE.UTF-8");
    keys_.setMasterKey(keys_.generateMasterKey());
    db_.open(dataHome() / "vault.db", *keys_.getDBKeyHex());
    pipeline_ = ConsumptionPipeline::create({db_, keys_, tmp() / "Chunks", SystemClock::instance(), {}});
  }

  void addSession(const std::string& id, std::int64_t start, std::optional<std::int64_t> end) {
    db_.createSession(Session{id, start, end, start});
  }
  void addContext(const std::string& session, std::int64_t start, std::int64_t end, const std::string& app,
                  std::optional<std::string> title = std::nullopt) {
    (void)db_.createContextInterval(ContextInterval{0, session, start, end, "org." + app, app, title, std::nullopt});
  }

  // Runs a job to its end and returns it.
  PipelineJob run(const std::string& session, std::int64_t start, std::int64_t end, SummaryChunkInterval interval,
                  std::optional<std::string> endpoint = std::nullopt) {
    const std::string id =
        pipeline_->startSummaryJob(session, start, end, SummaryPreset::brief, interval, "What did I do?", endpoint);
    for (auto limit = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < limit;) {
      const PipelineJob job = pipeline_->getJobStatus(id).value();
      if (job.status == JobStatus::done || job.status == JobStatus::failed) {
        EXPECT_EQ(db_.getPipelineJob(id), job) << "the row matches the in-memory job";
        return job;
      }
      std::this_thread::sleep_for(10ms);
    }
    ADD_FAILURE() << "the job did not end";
    return {};
  }

  std::vector<Summary> summaries(const std::string& session) { return db_.listSummaries(session, 0, INT64_MAX); }

  KeyManager keys_;
  DatabaseManager db_;
  std::shared_ptr<ConsumptionPipeline> pipeline_;
};

TEST_F(PipelineTest, LocalSummariesAndOneDailyAggregatePerCalendarDay) {
  addSession("s", kT0, kT0 + 20 * kMinute);
  addContext("s", kT0, kT0 + 59'000, "Terminal");
  addContext("s", kT0 + kMinute, kT0 + 3 * kMinute, "Browser", std::string(70, 'x'));
  addContext("s", kT0 + 11 * kMinute, kT0 + 12 * kMinute, "Editor", "Notizen");

  const PipelineJob job = run("s", 0, 0, SummaryChunkInterval::fiveMinutes);
  EXPECT_EQ(job.status, JobStatus::done) << job.error.value_or("");
  const std::vector<Summary> stored = summaries("s");
  ASSERT_EQ(stored.size(), 4u) << "two windows with context (the empty ones skipped) and one summary per day";
  const Summary& first = *std::find_if(stored.begin(), stored.end(),
                                      [](const Summary& s) { return s.modelId == "local-v1"; });
  EXPECT_EQ(first.rangeStartMs, kT0);
  EXPECT_EQ(first.summaryText,
            "Activity Summary\nQuestion: What did I do?\nTime Range: 06.12.2026, 23:50 - 06.12.2026, 23:55\n"
            "Apps Used:\n- Browser: 2 minutes\n- Terminal: 0 minutes\nActivity Timeline:\n"
            "- 23:50: Terminal - No title\n- 23:51: Browser - " +
                std::string(60, 'x'));
  const auto daily = [&](std::int64_t start) {
    return *std::find_if(stored.begin(), stored.end(),
                         [&](const Summary& s) { return s.rangeStartMs == start && s.modelId != "local-v1"; });
  };
  EXPECT_EQ(daily(kT0).modelId, "daily-aggregate-local-v1");
  EXPECT_TRUE(daily(kT0).summaryText.starts_with(
      "Daily Summary\nQuestion: What did I do?\nTime Range: 06.12.2026, 23:50 - 06.12.2026, 23:55\nBased on 1 "
      "five-minute summaries.\n\n- 23:50-23:55: Activity Summary Question: What did I do? Time Range: "));
  EXPECT_TRUE(daily(kT0 + 10 * kMinute).summaryText.starts_with(
      "Daily Summary\nQuestion: What did I do?\nTime Range: 07.12.2026, 00:00 - 07.12.2026, 00:05\nBased on 1"));
}

TEST_F(PipelineTest, RangesWindowsAndOutcomes) {
  using Ranges = std::vector<std::pair<std::int64_t, std::int64_t>>;
  int sessions = 0, aggregates = 0;
  // The window ranges of a job over a new 12-minute session, relative to its start.
  const auto ranges = [&](std::int64_t start, std::int64_t end, SummaryChunkInterval interval,
                          std::optional<std::string> endpoint = std::nullopt) {
    const std::string id = "s" + std::to_string(++sessions);
    addSession(id, kT0, kT0 + 12 * kMinute);
    addContext(id, kT0, kT0 + 12 * kMinute, "Terminal");
    EXPECT_EQ(run(id, start, end, interval, std::move(endpoint)).status, JobStatus::done);
    Ranges found;
    for (const Summary& s : summaries(id)) {
      if (s.modelId == "local-v1") found.emplace_back(s.rangeStartMs - kT0, s.rangeEndMs - kT0);
      else ++aggregates;
    }
    return found;
  };
  // Windows aligned to the range's start, the last one cut; an empty or inverted request, and
  // one outside the session, take the whole session; a request reaching beyond it is clipped.
  EXPECT_EQ(ranges(kT0, kT0 + 12 * kMinute, SummaryChunkInterval::fiveMinutes),
            (Ranges{{0, 5 * kMinute}, {5 * kMinute, 10 * kMinute}, {10 * kMinute, 12 * kMinute}}));
  EXPECT_EQ(aggregates, 2) << "the session crosses midnight";
  EXPECT_EQ(ranges(kT0 + 5 * kMinute, kT0, SummaryChunkInterval::hourly), (Ranges{{0, 12 * kMinute}}));
  EXPECT_EQ(ranges(kT0 + kMinute * 60, kT0 + kMinute * 90, SummaryChunkInterval::hourly), (Ranges{{0, 12 * kMinute}}));
  EXPECT_EQ(ranges(kT0 - kMinute, kT0 + 3 * kMinute, SummaryChunkInterval::twoMinutes, "   \n"),
            (Ranges{{0, 2 * kMinute}, {2 * kMinute, 3 * kMinute}}));
  EXPECT_EQ(aggregates, 2) << "no daily aggregate for other intervals";

  // A session whose times lie ages apart: the empty windows are passed over, not walked.
  addSession("far", -4'000'000'000'000'000'000, 4'000'000'000'000'000'000);
  addContext("far", kT0, kT0 + kMinute, "Terminal");
  EXPECT_EQ(run("far", 0, 0, SummaryChunkInterval::twoMinutes).status, JobStatus::done);

  // A window with context but no chunk is summarized here even with an endpoint (an invalid
  // one: it is never used).
  EXPECT_EQ(ranges(0, 0, SummaryChunkInterval::hourly, "not an address"), (Ranges{{0, 12 * kMinute}}));

  // A finished chunk in the window: with an invalid endpoint the job fails before any file is
  // read; locally it needs the vault.
  addSession("s", kT0, kT0 + 12 * kMinute);
  Chunk chunk;
  chunk.id = "c", chunk.sessionId = "s", chunk.startAtMs = kT0, chunk.endAtMs = kT0 + kMinute, chunk.mp4PlainLen = 9;
  db_.createChunk(chunk);
  EXPECT_EQ(run("s", 0, 0, SummaryChunkInterval::hourly, "http://exa mple.com").error,
            "The configured summary API endpoint is invalid");
  keys_.clearKeys();
  const PipelineJob locked = run("s", 0, 0, SummaryChunkInterval::hourly);
  EXPECT_EQ(locked.error, "Vault is locked");
  EXPECT_TRUE(locked.startedAtMs && locked.finishedAtMs);

  EXPECT_EQ(run("nope", 0, 0, SummaryChunkInterval::fiveMinutes).error, "Recording session not found");
  addSession("open", kT0, std::nullopt);  // still open, no chunk: an empty range
  EXPECT_EQ(run("open", 0, 0, SummaryChunkInterval::fiveMinutes).error,
            "No recording data was found for the selected summary range");
  EXPECT_EQ(pipeline_->getJobStatus("unknown"), std::nullopt);
}

TEST_F(PipelineTest, RemoteDailyAggregatesAndAFailureAfterEarlierSummaries) {
  addSession("s", kT0, kT0 + 20 * kMinute);
  addContext("s", kT0, kT0 + kMinute, "Terminal", "line one");
  addContext("s", kT0 + 11 * kMinute, kT0 + 12 * kMinute, "Editor");
  HttpTestServer endpoint;
  int answered = 0;
  endpoint.setHandler([&](const CapturedRequest&) {
    HttpAnswer answer;
    if (answered++ == 0) answer.body = R"({"model":"m1","output_text":"The evening."})";
    else answer.status = 503;
    return answer;
  });
  // Windows without chunks are written here; the days go to the endpoint, the second fails.
  const PipelineJob job = run("s", 0, 0, SummaryChunkInterval::fiveMinutes, endpoint.baseURL());
  EXPECT_EQ(job.error, "The summary API request failed: HTTP 503: Empty response");
  std::multiset<std::string> models;
  std::string aggregate;
  for (const Summary& summary : summaries("s")) {
    models.insert(summary.modelId);
    if (summary.modelId == "daily-aggregate/m1") aggregate = summary.summaryText;
  }
  EXPECT_EQ(models, (std::multiset<std::string>{"local-v1", "local-v1", "daily-aggregate/m1"}));
  EXPECT_EQ(aggregate.substr(aggregate.rfind("\n\n")), "\n\nThe evening.");

  const nlohmann::json first = nlohmann::json::parse(endpoint.requests().at(0).body);
  EXPECT_EQ(first["metadata"], (nlohmann::json{{"session_id", "s"}, {"range_start_ms", kT0},
                                               {"range_end_ms", kT0 + 5 * kMinute}, {"chunk_interval", "5m"},
                                               {"preset", "daily_aggregate"}, {"question", "What did I do?"},
                                               {"app_names", nlohmann::json::array()}}));
  ASSERT_EQ(first["input"][0]["content"].size(), 1u) << "a daily prompt carries no video";
  EXPECT_EQ(first["input"][0]["content"][0]["text"],
            "Aggregate the following 5-minute summaries into a daily summary.\nQuestion: What did I do?\n"
            "Covered range: 06.12.2026, 23:50 to 06.12.2026, 23:55.\nKeep the answer in plain text and focus on "
            "the most important activity patterns and changes.\n\n[23:50-23:55] Activity Summary Question: What "
            "did I do? Time Range: 06.12.2026, 23:50 - 06.12.2026, 23:55 Apps Used: - Terminal: 1 minute Activity "
            "Timeline: - 23:50: Terminal - line one");
}

}  // namespace
}  // namespace tolvo::test
