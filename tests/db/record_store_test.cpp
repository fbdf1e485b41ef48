#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db/database_manager.h"
#include "db/database_test_support.h"

namespace tolvo::test {
namespace {

class RecordStoreTest : public DatabaseTest {
 protected:
  void SetUp() override { openDatabase(); }

  // One row in every table for the session.
  void fillSession(const std::string& id) {
    db_.createSession({id, 100, std::nullopt, 100});
    db_.createChunk({"chunk-" + id, id, 100, std::nullopt, "c.qxv", std::nullopt, 65536, "hevc", 1920, 1080, 1.0,
                    false, std::nullopt, std::nullopt, std::nullopt, 100});
    (void)db_.createRecordingInterval({0, id, 100, 200, RecordingState::recording, std::nullopt});
    (void)db_.createContextInterval({0, id, 100, 200, "org.example.app", "App", std::nullopt, std::nullopt});
    db_.createEvent({0, id, 150, EventType::sessionStarted, std::nullopt});
    db_.createPipelineJob({"job-" + id, id, 100, std::nullopt, std::nullopt, JobStatus::queued, JobType::summary,
                          std::nullopt, std::nullopt});
    peer_.execute("INSERT INTO artifacts (artifact_id, session_id, kind, created_at_ms) VALUES (?, ?, 'ocr', 1);",
                 {"art-" + id, id});
    db_.createSummary({"sum-" + id, id, 100, 200, "local", "text", 300});
  }

  std::vector<std::int64_t> rowCounts(const std::string& id) {
    std::vector<std::int64_t> counts;
    for (const char* table : {"sessions", "chunks", "recording_intervals", "context_intervals", "events",
                              "pipeline_jobs", "artifacts", "summaries"}) {
      counts.push_back(peer_.scalar(std::string("SELECT COUNT(*) AS n FROM ") + table + " WHERE session_id = ?;", {id}));
    }
    return counts;
  }
};

const std::vector<std::int64_t> kOneOfEach(8, 1);
const std::vector<std::int64_t> kNone(8, 0);

TEST_F(RecordStoreTest, SessionsPageNewestFirstUpdateTheirEndAndRefuseDuplicates) {
  for (std::int64_t start : {2, 4, 1, 3}) db_.createSession({"s" + std::to_string(start), start, std::nullopt, 50});
  EXPECT_EQ(db_.listSessions(2, 1),
            (std::vector<Session>{{"s3", 3, std::nullopt, 50}, {"s2", 2, std::nullopt, 50}}));
  EXPECT_EQ(db_.getSession("unknown"), std::nullopt);

  db_.updateSessionEnded("s3", 99);
  db_.updateSessionEnded("unknown", 99);  // changes nothing, no error
  EXPECT_EQ(db_.getSession("s3"), (Session{"s3", 3, 99, 50}));
  EXPECT_EQ(peer_.scalar("SELECT COUNT(*) AS n FROM sessions WHERE ended_at_ms IS NOT NULL;"), 1);

  expectDatabaseError([&] { db_.createSession({"s1", 2, 3, 4}); }, DatabaseError::Code::executeFailed,
                      "Failed to execute statement: UNIQUE constraint failed: sessions.session_id");
  EXPECT_EQ(db_.getSession("s1"), (Session{"s1", 1, std::nullopt, 50}));
}

TEST_F(RecordStoreTest, ChunksReadBackFieldByFieldAndGetTheirEnd) {
  const Chunk open{"c2", "s", 2000, std::nullopt, "s/c2.qxv", std::nullopt, 65536, "h264", 1280, 720, 1.0, false,
                   std::nullopt, std::nullopt, std::nullopt, 2001};
  const Chunk audio{"c1", "s", 1000, 1999, "s/c1.qxv", 123456789, 65536, "hevc", 3840, 2160, 29.97, true,
                    "aac", 48000, 2, 1001};
  db_.createChunk(open);
  db_.createChunk(audio);
  EXPECT_EQ(db_.listChunks("s"), (std::vector<Chunk>{audio, open}));
  EXPECT_EQ(peer_.scalar("SELECT has_audio AS n FROM chunks WHERE chunk_id = 'c1';"), 1);

  db_.updateChunkEnded("c2", 2999, 4096);
  EXPECT_EQ(db_.listChunks("s").at(1), (Chunk{"c2", "s", 2000, 2999, "s/c2.qxv", 4096, 65536, "h264", 1280, 720, 1.0,
                                              false, std::nullopt, std::nullopt, std::nullopt, 2001}));
  EXPECT_TRUE(db_.listChunks("other").empty());
}

// Both interval kinds get SQLite's row ids (the id given is ignored) and are ordered by start;
// a state text that names no state reads as recording.
TEST_F(RecordStoreTest, IntervalsGetRowIdsUpdateTheirEndAndRoundTrip) {
  EXPECT_EQ(db_.createRecordingInterval({77, "s", 10, 20, RecordingState::recording, std::nullopt}), 1);
  EXPECT_EQ(db_.createRecordingInterval({77, "s", 20, 20, RecordingState::paused, PauseReason::lockScreen}), 2);
  db_.updateRecordingIntervalEnd(2, 35);
  peer_.execute("INSERT INTO recording_intervals (session_id, start_at_ms, end_at_ms, state, reason) "
                "VALUES ('s', 40, 50, 'stopped', 'Lock_Screen');");
  EXPECT_EQ(peer_.query("SELECT reason AS r FROM recording_intervals WHERE interval_id = 2;").at(0).text("r"),
            "lock_screen");
  EXPECT_EQ(db_.listRecordingIntervals("s"),
            (std::vector<RecordingInterval>{{1, "s", 10, 20, RecordingState::recording, std::nullopt},
                                            {2, "s", 20, 35, RecordingState::paused, PauseReason::lockScreen},
                                            {3, "s", 40, 50, RecordingState::recording, std::nullopt}}));
  peer_.execute("DELETE FROM recording_intervals WHERE interval_id = 3;");  // row ids are never reused
  EXPECT_EQ(db_.createRecordingInterval({0, "s", 60, 70, RecordingState::recording, std::nullopt}), 4);

  EXPECT_EQ(db_.createContextInterval({5, "s", 10, 10, "org.gnome.Terminal", "Terminal", "~/src", "42"}), 1);
  EXPECT_EQ(db_.createContextInterval({5, "s", 5, 5, "firefox", "Firefox", std::nullopt, std::nullopt}), 2);
  db_.updateContextIntervalEnd(1, 30);
  EXPECT_EQ(db_.listContextIntervals("s"),
            (std::vector<ContextInterval>{{2, "s", 5, 5, "firefox", "Firefox", std::nullopt, std::nullopt},
                                          {1, "s", 10, 30, "org.gnome.Terminal", "Terminal", "~/src", "42"}}));
}

TEST_F(RecordStoreTest, EventsInclusiveRangeOrderedByTimeThroughTheIndex) {
  db_.createEvent({999, "s", 200, EventType::appChanged, Bytes{'{', '}'}});
  db_.createEvent({0, "s", 100, EventType::windowTitleChanged, Bytes{}});
  db_.createEvent({0, "s", 201, EventType::lidClosed, std::nullopt});
  db_.createEvent({0, "other", 150, EventType::sessionStarted, std::nullopt});
  peer_.execute("INSERT INTO events (session_id, ts_ms, type) VALUES ('s', 150, 'Lid_Closed');");

  EXPECT_EQ(db_.listEvents("s", 100, 200),
            (std::vector<Event>{{2, "s", 100, EventType::windowTitleChanged, std::nullopt},  // empty payload
                                {5, "s", 150, EventType::error, std::nullopt},                // unknown type
                                {1, "s", 200, EventType::appChanged, Bytes{'{', '}'}}}));
  EXPECT_TRUE(db_.listEvents("s", 202, 300).empty());

  std::string plan;
  for (const SQLRow& row : peer_.query("EXPLAIN QUERY PLAN SELECT event_id, session_id, ts_ms, type, payload FROM "
                                      "events WHERE session_id = ? AND ts_ms >= ? AND ts_ms <= ? ORDER BY ts_ms;",
                                      {"s", 0, 1})) {
    plan += row.text("detail").value_or("") + "\n";
  }
  EXPECT_NE(plan.find("USING INDEX idx_events_session_ts (session_id=? AND ts_ms>? AND ts_ms<?)"),
            std::string::npos)
      << plan;
  EXPECT_EQ(plan.find("TEMP B-TREE"), std::string::npos) << plan;
}

TEST_F(RecordStoreTest, PipelineJobStatusUpdateOverwritesEveryColumn) {
  const PipelineJob job{"J-1", "s", 10, 11, std::nullopt, JobStatus::running, JobType::ocr,
                        toBytes(R"({"preset":"brief"})"), "earlier failure"};
  db_.createPipelineJob(job);
  EXPECT_EQ(db_.getPipelineJob("J-1"), job);
  EXPECT_EQ(db_.getPipelineJob("J-2"), std::nullopt);

  db_.updatePipelineJobStatus("J-1", JobStatus::done, std::nullopt, 30, std::nullopt);
  EXPECT_EQ(db_.getPipelineJob("J-1"), (PipelineJob{"J-1", "s", 10, std::nullopt, 30, JobStatus::done, JobType::ocr,
                                                     toBytes(R"({"preset":"brief"})"), std::nullopt}));

  db_.createPipelineJob({"J-3", "s", 1, std::nullopt, std::nullopt, JobStatus::queued, JobType::proxy, Bytes{},
                        std::nullopt});
  EXPECT_EQ(db_.getPipelineJob("J-3")->params, std::nullopt);  // an empty byte string reads back absent
  peer_.execute("UPDATE pipeline_jobs SET status = 'paused', job_type = 'Proxy' WHERE job_id = 'J-3';");
  EXPECT_EQ(db_.getPipelineJob("J-3")->status, JobStatus::queued);
  EXPECT_EQ(db_.getPipelineJob("J-3")->jobType, JobType::summary);
}

TEST_F(RecordStoreTest, ArtifactsByKindAndSummariesByRange) {
  const char* insert =
      "INSERT INTO artifacts (artifact_id, session_id, kind, range_start_ms, range_end_ms, file_relpath, "
      "created_at_ms) VALUES (?, ?, ?, ?, ?, ?, ?);";
  peer_.execute(insert, {"a3", "s", "summary", 1, 2, "s/a3.qxv", 30});
  peer_.execute(insert, {"a1", "s", "ocr", nullptr, nullptr, nullptr, 10});
  peer_.execute(insert, {"a2", "s", "thumbnail", 5, nullptr, nullptr, 20});
  peer_.execute(insert, {"a4", "other", "summary", nullptr, nullptr, nullptr, 5});

  EXPECT_EQ(db_.listArtifacts("s"),
            (std::vector<Artifact>{{"a1", "s", ArtifactKind::ocr, std::nullopt, std::nullopt, std::nullopt, 10},
                                   {"a2", "s", ArtifactKind::summary, 5, std::nullopt, std::nullopt, 20},
                                   {"a3", "s", ArtifactKind::summary, 1, 2, "s/a3.qxv", 30}}));
  EXPECT_EQ(db_.listArtifacts("s", ArtifactKind::summary),
            (std::vector<Artifact>{{"a3", "s", ArtifactKind::summary, 1, 2, "s/a3.qxv", 30}}));
  EXPECT_TRUE(db_.listArtifacts("s", ArtifactKind::keyframes).empty());

  // Summaries only when wholly inside the range.
  db_.createSummary({"B", "s", 300, 400, "remote-model", "later", 2});
  db_.createSummary({"A", "s", 100, 200, "local", "inside", 1});
  db_.createSummary({"C", "s", 150, 450, "local", "overlaps the end", 3});
  EXPECT_EQ(db_.listSummaries("s", 100, 400),
            (std::vector<Summary>{{"A", "s", 100, 200, "local", "inside", 1},
                                  {"B", "s", 300, 400, "remote-model", "later", 2}}));
  EXPECT_EQ(db_.listSummaries("s", 101, 400).size(), 1u);
}

TEST_F(RecordStoreTest, RowWithoutValueInNotNullColumnFailsTheWholeRead) {
  (void)db_.createContextInterval({0, "s", 1, 2, "ok", "Fine", std::nullopt, std::nullopt});
  peer_.execute("INSERT INTO context_intervals (session_id, start_at_ms, end_at_ms, bundle_id, app_name) "
                "VALUES ('s', 3, 4, x'', 'Broken');");
  expectDatabaseError([&] { (void)db_.listContextIntervals("s"); }, DatabaseError::Code::queryFailed,
                      "Query failed: column bundle_id has no value");
  peer_.execute("INSERT INTO sessions (session_id, started_at_ms, created_at_ms) VALUES ('t', 'noon', 1);");
  expectDatabaseError([&] { (void)db_.listSessions(10, 0); }, DatabaseError::Code::queryFailed,
                      "Query failed: column started_at_ms does not hold an integer");
}

TEST_F(RecordStoreTest, DeleteSessionsRemovesEveryRowOfTheListedSessionsOnly) {
  for (const char* id : {"A", "B", "C"}) fillSession(id);
  peer_.execute("CREATE TABLE deletions (what TEXT);");
  peer_.execute("CREATE TRIGGER log_events AFTER DELETE ON events BEGIN "
               "INSERT INTO deletions VALUES ('events ' || old.session_id); END;");
  peer_.execute("CREATE TRIGGER log_sessions AFTER DELETE ON sessions BEGIN "
               "INSERT INTO deletions VALUES ('sessions ' || old.session_id); END;");

  db_.deleteSessions({"B", "A", "B", "nobody"});
  EXPECT_EQ(rowCounts("A"), kNone);
  EXPECT_EQ(rowCounts("B"), kNone);
  EXPECT_EQ(rowCounts("C"), kOneOfEach);
  std::vector<std::string> order;
  for (const SQLRow& row : peer_.query("SELECT what FROM deletions ORDER BY rowid;")) {
    order.push_back(row.requiredText("what"));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"events B", "sessions B", "events A", "sessions A"}));
  db_.deleteSessions({});
  EXPECT_EQ(rowCounts("C"), kOneOfEach);
}

TEST_F(RecordStoreTest, DeleteSessionsRollsBackEverythingWhenALaterDeleteFails) {
  for (const char* id : {"A", "B"}) fillSession(id);
  peer_.execute("CREATE TRIGGER refuse BEFORE DELETE ON context_intervals WHEN old.session_id = 'B' BEGIN "
               "SELECT RAISE(ABORT, 'context delete refused'); END;");
  expectDatabaseError([&] { db_.deleteSessions({"A", "B"}); }, DatabaseError::Code::executeFailed,
                      "Failed to execute statement: context delete refused");
  EXPECT_EQ(rowCounts("A"), kOneOfEach);
  EXPECT_EQ(rowCounts("B"), kOneOfEach);

  // The transaction is closed: later writes commit on their own and a new deletion works.
  db_.createSession({"C", 1, std::nullopt, 1});
  peer_.execute("DROP TRIGGER refuse;");
  db_.deleteSessions({"B"});
  db_.close();
  openDatabase();
  EXPECT_EQ(rowCounts("A"), kOneOfEach);
  EXPECT_EQ(rowCounts("B"), kNone);
  EXPECT_TRUE(db_.getSession("C").has_value());
}

}  // namespace
}  // namespace tolvo::test
