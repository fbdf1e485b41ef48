// The record operations of DatabaseManager: one fixed statement each, run through the
// primitives, and the mapping of their rows into records.
#include <algorithm>
#include <array>
#include <limits>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "core/raw_enum.h"
#include "db/database_manager.h"
#include "db/record_rows.h"
#include "db/text_search_query.h"

namespace tolvo {
namespace {

template <typename Record>
std::vector<Record> mapRows(const std::vector<SQLRow>& rows, Record (*toRecord)(const SQLRow&)) {
  std::vector<Record> records;
  records.reserve(rows.size());
  for (const SQLRow& row : rows) records.push_back(toRecord(row));
  return records;
}

constexpr std::string_view kSelectSession =
    "SELECT session_id, started_at_ms, ended_at_ms, created_at_ms FROM sessions WHERE session_id = ?;";
constexpr std::string_view kSelectPipelineJob =
    "SELECT job_id, session_id, requested_at_ms, started_at_ms, finished_at_ms, status, job_type, params, error "
    "FROM pipeline_jobs WHERE job_id = ?;";

// The tables holding rows of a session, in deletion order (the session row itself last).
constexpr std::array<std::string_view, 10> kDeleteSessionStatements{
    "DELETE FROM chunks WHERE session_id = ?;",
    "DELETE FROM recording_intervals WHERE session_id = ?;",
    "DELETE FROM context_intervals WHERE session_id = ?;",
    "DELETE FROM events WHERE session_id = ?;",
    "DELETE FROM pipeline_jobs WHERE session_id = ?;",
    "DELETE FROM artifacts WHERE session_id = ?;",
    "DELETE FROM screen_text_index WHERE docid IN (SELECT line_id FROM screen_text_lines WHERE session_id = ?);",
    "DELETE FROM screen_text_lines WHERE session_id = ?;",
    "DELETE FROM summaries WHERE session_id = ?;",
    "DELETE FROM sessions WHERE session_id = ?;",
};

constexpr std::string_view kSelectArtifact =
    "SELECT artifact_id, session_id, kind, range_start_ms, range_end_ms, file_relpath, created_at_ms FROM "
    "artifacts";

// A line's row id: the time it was first seen times 1024 plus a counter, so that the index's
// row order is the order of first sight (newest first is a backward walk of the index).
constexpr std::int64_t kLineIdsPerMillisecond = 1024;
// Lines stored per transaction (see storeScreenText).
constexpr std::size_t kLinesPerTransaction = 256;
constexpr std::int64_t kLatestLineTimeMs = std::numeric_limits<std::int64_t>::max() / kLineIdsPerMillisecond - 1;

// a - b, clamped to the 64-bit range.
std::int64_t saturatingDifference(std::int64_t a, std::int64_t b) {
  std::int64_t difference = 0;
  if (!__builtin_sub_overflow(a, b, &difference)) return difference;
  return b < 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
}

std::int64_t firstLineIdAt(std::int64_t ms) {
  return std::clamp(ms, -kLatestLineTimeMs, kLatestLineTimeMs) * kLineIdsPerMillisecond;
}

}  // namespace

void DatabaseManager::createSession(const Session& session) {
  execute(
      "INSERT INTO sessions (session_id, started_at_ms, ended_at_ms, created_at_ms) VALUES (?, ?, ?, ?);",
      {session.id, session.startedAtMs, session.endedAtMs, session.createdAtMs});
}

std::optional<Session> DatabaseManager::getSession(std::string_view id) {
  auto rows = query(kSelectSession, {id});
  if (rows.empty()) return std::nullopt;
  return rows::toSession(rows.front());
}

std::vector<Session> DatabaseManager::listSessions(std::int64_t limit, std::int64_t offset) {
  return mapRows(query("SELECT session_id, started_at_ms, ended_at_ms, created_at_ms FROM sessions ORDER BY "
                       "started_at_ms DESC LIMIT ? OFFSET ?;",
                       {limit, offset}),
                 rows::toSession);
}

void DatabaseManager::updateSessionEnded(std::string_view sessionId, std::int64_t endedAtMs) {
  execute("UPDATE sessions SET ended_at_ms = ? WHERE session_id = ?;", {endedAtMs, sessionId});
}

void DatabaseManager::createChunk(const Chunk& chunk) {
  execute(
      "INSERT INTO chunks (chunk_id, session_id, start_at_ms, end_at_ms, file_relpath, mp4_plain_len, page_size, "
      "codec, width, height, fps, has_audio, audio_codec, audio_sample_rate, audio_channels, created_at_ms) VALUES "
      "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?);",
      {chunk.id, chunk.sessionId, chunk.startAtMs, chunk.endAtMs, chunk.fileRelpath, chunk.mp4PlainLen,
       chunk.pageSize, chunk.codec, chunk.width, chunk.height, chunk.fps, chunk.hasAudio ? 1 : 0,
       chunk.audioCodec, chunk.audioSampleRate, chunk.audioChannels, chunk.createdAtMs});
}

std::vector<Chunk> DatabaseManager::listChunks(std::string_view sessionId) {
  return mapRows(query("SELECT chunk_id, session_id, start_at_ms, end_at_ms, file_relpath, mp4_plain_len, "
                       "page_size, codec, width, height, fps, has_audio, audio_codec, audio_sample_rate, "
                       "audio_channels, created_at_ms FROM chunks WHERE session_id = ? ORDER BY start_at_ms;",
                       {sessionId}),
                 rows::toChunk);
}

void DatabaseManager::updateChunkEnded(std::string_view chunkId, std::int64_t endAtMs, std::int64_t mp4PlainLen) {
  execute("UPDATE chunks SET end_at_ms = ?, mp4_plain_len = ? WHERE chunk_id = ?;", {endAtMs, mp4PlainLen, chunkId});
}

std::int64_t DatabaseManager::createRecordingInterval(const RecordingInterval& interval) {
  std::optional<std::string_view> reason;
  if (interval.reason) reason = rawValue(*interval.reason);
  return executeReturningLastInsertRowId(
      "INSERT INTO recording_intervals (session_id, start_at_ms, end_at_ms, state, reason) VALUES (?, ?, ?, ?, ?);",
      {interval.sessionId, interval.startAtMs, interval.endAtMs, rawValue(interval.state), reason});
}

std::vector<RecordingInterval> DatabaseManager::listRecordingIntervals(std::string_view sessionId) {
  return mapRows(query("SELECT interval_id, session_id, start_at_ms, end_at_ms, state, reason FROM "
                       "recording_intervals WHERE session_id = ? ORDER BY start_at_ms;",
                       {sessionId}),
                 rows::toRecordingInterval);
}

void DatabaseManager::updateRecordingIntervalEnd(std::int64_t id, std::int64_t endAtMs) {
  execute("UPDATE recording_intervals SET end_at_ms = ? WHERE interval_id = ?;", {endAtMs, id});
}

std::int64_t DatabaseManager::createContextInterval(const ContextInterval& interval) {
  return executeReturningLastInsertRowId(
      "INSERT INTO context_intervals (session_id, start_at_ms, end_at_ms, bundle_id, app_name, window_title, "
      "display_hint) VALUES (?, ?, ?, ?, ?, ?, ?);",
      {interval.sessionId, interval.startAtMs, interval.endAtMs, interval.bundleId, interval.appName,
       interval.windowTitle, interval.displayHint});
}

std::vector<ContextInterval> DatabaseManager::listContextIntervals(std::string_view sessionId) {
  return mapRows(query("SELECT ctx_id, session_id, start_at_ms, end_at_ms, bundle_id, app_name, window_title, "
                       "display_hint FROM context_intervals WHERE session_id = ? ORDER BY start_at_ms;",
                       {sessionId}),
                 rows::toContextInterval);
}

void DatabaseManager::updateContextIntervalEnd(std::int64_t id, std::int64_t endAtMs) {
  execute("UPDATE context_intervals SET end_at_ms = ? WHERE ctx_id = ?;", {endAtMs, id});
}

void DatabaseManager::createEvent(const Event& event) {
  execute("INSERT INTO events (session_id, ts_ms, type, payload) VALUES (?, ?, ?, ?);",
          {event.sessionId, event.tsMs, rawValue(event.type), event.payload});
}

std::vector<Event> DatabaseManager::listEvents(std::string_view sessionId, std::int64_t startMs, std::int64_t endMs) {
  return mapRows(query("SELECT event_id, session_id, ts_ms, type, payload FROM events WHERE session_id = ? AND "
                       "ts_ms >= ? AND ts_ms <= ? ORDER BY ts_ms;",
                       {sessionId, startMs, endMs}),
                 rows::toEvent);
}

void DatabaseManager::createPipelineJob(const PipelineJob& job) {
  execute(
      "INSERT INTO pipeline_jobs (job_id, session_id, requested_at_ms, started_at_ms, finished_at_ms, status, "
      "job_type, params, error) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?);",
      {job.id, job.sessionId, job.requestedAtMs, job.startedAtMs, job.finishedAtMs, rawValue(job.status),
       rawValue(job.jobType), job.params, job.error});
}

std::optional<PipelineJob> DatabaseManager::getPipelineJob(std::string_view id) {
  auto rows = query(kSelectPipelineJob, {id});
  if (rows.empty()) return std::nullopt;
  return rows::toPipelineJob(rows.front());
}

void DatabaseManager::updatePipelineJobStatus(std::string_view jobId, JobStatus status,
                                              std::optional<std::int64_t> startedAtMs,
                                              std::optional<std::int64_t> finishedAtMs,
                                              std::optional<std::string> error) {
  execute("UPDATE pipeline_jobs SET status = ?, started_at_ms = ?, finished_at_ms = ?, error = ? WHERE job_id = ?;",
          {rawValue(status), startedAtMs, finishedAtMs, std::move(error), jobId});
}

std::vector<Artifact> DatabaseManager::listArtifacts(std::string_view sessionId, std::optional<ArtifactKind> kind) {
  std::string sql =
      "SELECT artifact_id, session_id, kind, range_start_ms, range_end_ms, file_relpath, created_at_ms FROM "
      "artifacts WHERE session_id = ?";
  SQLParams params{sessionId};
  if (kind) {
    sql += " AND kind = ?";
    params.emplace_back(rawValue(*kind));
  }
  sql += " ORDER BY created_at_ms;";
  return mapRows(query(sql, params), rows::toArtifact);
}

std::vector<PipelineJob> DatabaseManager::listPipelineJobs(JobType type, const std::vector<JobStatus>& statuses) {
  if (statuses.empty()) return {};
  std::string sql =
      "SELECT job_id, session_id, requested_at_ms, started_at_ms, finished_at_ms, status, job_type, params, error "
      "FROM pipeline_jobs WHERE job_type = ? AND status IN (";
  SQLParams params{rawValue(type)};
  for (JobStatus status : statuses) {
    sql += params.size() == 1 ? "?" : ", ?";
    params.emplace_back(rawValue(status));
  }
  sql += ") ORDER BY requested_at_ms, rowid;";
  return mapRows(query(sql, params), rows::toPipelineJob);
}

bool DatabaseManager::storeScreenText(const Artifact& artifact, std::string_view chunkId,
                                      const std::vector<IndexedTextLine>& lines) {
  // The lines go in a few hundred per transaction, so the recorder's own statements are never
  // held up for long behind them; the artifact's row comes with the last batch and marks the
  // chunk as done. Until then the chunk counts as not read: a store cut short by the end of
  // the process is replaced by the next one. Each batch first checks that the chunk is still
  // there (its session may be deleted meanwhile, and with it the lines stored so far).
  const auto chunkIsThere = [&] {
    return !queryUnsafe("SELECT 1 FROM chunks WHERE chunk_id = ? AND session_id = ?;", {chunkId, artifact.sessionId})
                .empty();
  };
  bool stored = false;
  inTransaction([&] {
    if (!chunkIsThere()) return;
    stored = true;
    if (artifact.fileRelpath) {
      executeUnsafe("DELETE FROM artifacts WHERE session_id = ? AND kind = ? AND file_relpath = ?;",
                    {artifact.sessionId, rawValue(artifact.kind), *artifact.fileRelpath});
    }
    executeUnsafe(
        "DELETE FROM screen_text_index WHERE docid IN (SELECT line_id FROM screen_text_lines WHERE chunk_id = ?);",
        {chunkId});
    executeUnsafe("DELETE FROM screen_text_lines WHERE chunk_id = ?;", {chunkId});
  });
  std::int64_t longest = 0;
  for (std::size_t at = 0; stored;) {
    const std::size_t end = std::min(lines.size(), at + kLinesPerTransaction);
    inTransaction([&] {
      if (!chunkIsThere()) {
        stored = false;
        return;
      }
      // The next free id of each first-seen time met in this batch.
      std::unordered_map<std::int64_t, std::int64_t> nextIds;
      for (std::size_t i = at; i < end; ++i) {
        const IndexedTextLine& line = lines[i];
        longest = std::max(longest, saturatingDifference(line.lastSeenMs, line.firstSeenMs));
        const std::int64_t first = firstLineIdAt(line.firstSeenMs);
        auto next = nextIds.find(first);
        if (next == nextIds.end()) {
          const auto taken = queryUnsafe(
              "SELECT MAX(line_id) AS last FROM screen_text_lines WHERE line_id BETWEEN ? AND ?;",
              {first, first + kLineIdsPerMillisecond - 1});
          next = nextIds.emplace(first, taken.front().integer("last").value_or(first - 1) + 1).first;
        }
        std::int64_t lineId = next->second;
        if (lineId < first + kLineIdsPerMillisecond) {
          executeUnsafe(
              "INSERT INTO screen_text_lines (line_id, session_id, chunk_id, first_seen_ms, last_seen_ms) VALUES "
              "(?, ?, ?, ?, ?);",
              {lineId, artifact.sessionId, chunkId, line.firstSeenMs, line.lastSeenMs});
          ++next->second;
        } else {
          // More than 1024 lines first seen in one millisecond: the rest go after the newest line.
          lineId = executeReturningLastInsertRowIdUnsafe(
              "INSERT INTO screen_text_lines (session_id, chunk_id, first_seen_ms, last_seen_ms) VALUES (?, ?, ?, ?);",
              {artifact.sessionId, chunkId, line.firstSeenMs, line.lastSeenMs});
        }
        executeUnsafe("INSERT INTO screen_text_index (docid, text) VALUES (?, ?);", {lineId, line.text});
      }
      if (end < lines.size()) return;
      executeUnsafe("INSERT OR IGNORE INTO screen_text_span (id, longest_ms) VALUES (1, 0);");
      executeUnsafe("UPDATE screen_text_span SET longest_ms = MAX(longest_ms, ?) WHERE id = 1;", {longest});
      executeUnsafe(
          "INSERT INTO artifacts (artifact_id, session_id, kind, range_start_ms, range_end_ms, file_relpath, "
          "created_at_ms) VALUES (?, ?, ?, ?, ?, ?, ?);",
          {artifact.id, artifact.sessionId, rawValue(artifact.kind), artifact.rangeStartMs, artifact.rangeEndMs,
           artifact.fileRelpath, artifact.createdAtMs});
    });
    if (end == lines.size()) break;
    at = end;
  }
  return stored;
}

std::optional<Artifact> DatabaseManager::screenTextArtifact(std::string_view sessionId, std::string_view fileRelpath) {
  auto rows = query(std::string(kSelectArtifact) + " WHERE session_id = ? AND kind = ? AND file_relpath = ?;",
                    {sessionId, rawValue(ArtifactKind::ocr), fileRelpath});
  if (rows.empty()) return std::nullopt;
  return rows::toArtifact(rows.front());
}

std::vector<TextSearchHit> DatabaseManager::searchText(std::string_view query, std::optional<std::int64_t> startMs,
                                                       std::optional<std::int64_t> endMs, std::int64_t limit,
                                                       std::int64_t offset) {
  const std::string match = textMatchExpression(query);
  // The index is walked backwards from the end bound (line ids follow first sight), so only
  // the rows of the page asked for are joined and cut into snippets.
  const std::int64_t lastId = endMs ? firstLineIdAt(*endMs) + kLineIdsPerMillisecond - 1
                                    : std::numeric_limits<std::int64_t>::max();
  // Lines seen at or after the start were first seen at most the longest stay before it: the
  // walk ends there instead of reading every older match (a range without any line).
  std::int64_t firstId = std::numeric_limits<std::int64_t>::min();
  if (startMs) {
    const auto span = this->query("SELECT longest_ms FROM screen_text_span WHERE id = 1;");
    if (!span.empty()) firstId = firstLineIdAt(saturatingDifference(*startMs, span.front().requiredInteger("longest_ms")));
  }
  const auto rows = this->query(
      "SELECT l.session_id, l.chunk_id, l.first_seen_ms, l.last_seen_ms, i.text, snippet(screen_text_index, "
      "'[', ']', '…', -1, 12) AS snippet FROM screen_text_index AS i CROSS JOIN screen_text_lines AS l ON "
      "l.line_id = i.docid WHERE screen_text_index MATCH ? AND i.docid <= ? AND i.docid >= ? AND l.last_seen_ms >= ? "
      "ORDER BY i.docid DESC LIMIT ? OFFSET ?;",
      {match, lastId, firstId, startMs.value_or(std::numeric_limits<std::int64_t>::min()), limit, offset});
  std::vector<TextSearchHit> hits;
  hits.reserve(rows.size());
  for (const SQLRow& row : rows) {
    hits.push_back({row.requiredText("session_id"), row.requiredText("chunk_id"),
                    row.requiredInteger("first_seen_ms"), row.requiredInteger("last_seen_ms"),
                    row.requiredText("text"), row.requiredText("snippet")});
  }
  return hits;
}

void DatabaseManager::createSummary(const Summary& summary) {
  execute(
      "INSERT INTO summaries (summary_id, session_id, range_start_ms, range_end_ms, model_id, summary_text, "
      "created_at_ms) VALUES (?, ?, ?, ?, ?, ?, ?);",
      {summary.id, summary.sessionId, summary.rangeStartMs, summary.rangeEndMs, summary.modelId,
       summary.summaryText, summary.createdAtMs});
}

std::vector<Summary> DatabaseManager::listSummaries(std::string_view sessionId, std::int64_t startMs,
                                                    std::int64_t endMs) {
  return mapRows(query("SELECT summary_id, session_id, range_start_ms, range_end_ms, model_id, summary_text, "
                       "created_at_ms FROM summaries WHERE session_id = ? AND range_start_ms >= ? AND "
                       "range_end_ms <= ? ORDER BY range_start_ms;",
                       {sessionId, startMs, endMs}),
                 rows::toSummary);
}

void DatabaseManager::deleteSessions(const std::vector<std::string>& sessionIDs) {
  std::vector<std::string_view> ids;
  std::unordered_set<std::string_view> seen;
  for (const std::string& id : sessionIDs) {
    if (seen.insert(id).second) ids.push_back(id);
  }
  if (ids.empty()) return;

  inTransaction([&] {
    for (std::string_view id : ids) {
      for (std::string_view statement : kDeleteSessionStatements) executeUnsafe(statement, {id});
    }
  });
}

void DatabaseManager::inTransaction(const std::function<void()>& work) {
  onQueue([&] {
    executeUnsafe("BEGIN IMMEDIATE TRANSACTION;");
    try {
      work();
      executeUnsafe("COMMIT;");
    } catch (...) {
      try {
        executeUnsafe("ROLLBACK;");
      } catch (...) {
        // The statement that failed is what the caller needs to hear about.
      }
      throw;
    }
  });
}

}  // namespace tolvo
