#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/handle.h"
#include "core/records.h"
#include "core/serial_queue.h"
#include "db/database_error.h"
#include "db/sql_row.h"
#include "db/sql_value.h"

struct sqlite3;
struct sqlite3_stmt;

namespace tolvo {

// A line of recognized screen text as the index keeps it.
struct IndexedTextLine {
  std::string text;
  std::int64_t firstSeenMs = 0;
  std::int64_t lastSeenMs = 0;
};

namespace detail {
// Closes an SQLite connection (the release function of DatabaseManager's handle).
void closeSQLiteConnection(sqlite3* connection) noexcept;
}  // namespace detail

// The one connection to the metadata database (an SQLCipher file keyed with the vault's
// database key). Every statement runs on the serial queue "com.tolvodesk.database"; each
// public operation blocks its caller until the queue has run it, so operations of all
// threads apply one at a time in the order they reach the queue. Thread-safe.
//
// Errors: DatabaseError (notOpen before open and after close; prepareFailed, executeFailed
// and queryFailed with SQLite's message); open() also raises SystemError for the directory
// and the file, and openFailed with SQLite's result code.
class DatabaseManager {
  using Connection = Handle<sqlite3, detail::closeSQLiteConnection>;

 public:
  // A connection opened, keyed and checked aside, not yet the manager's (see
  // prepareConnection). Dropping it closes it.
  class PreparedConnection {
   public:
    PreparedConnection(PreparedConnection&&) noexcept = default;
    PreparedConnection& operator=(PreparedConnection&&) noexcept = default;

   private:
    friend class DatabaseManager;
    explicit PreparedConnection(Connection connection) noexcept : connection_(std::move(connection)) {}
    Connection connection_;
  };

  // The process-wide instance, created on first use.
  [[nodiscard]] static DatabaseManager& shared();

  DatabaseManager();
  DatabaseManager(const DatabaseManager&) = delete;
  DatabaseManager& operator=(const DatabaseManager&) = delete;
  ~DatabaseManager();

  // Creates the parent directory (0700) and the file (0600) when missing, then opens the file
  // on a connection of its own, keys it with `keyHex` (the database key as hexadecimal text),
  // sets the connection pragmas and creates the schema. Raises on any failure (a wrong key
  // or a file that is not a database: executeFailed with SQLite's message). The current
  // connection is not touched, whatever the outcome.
  [[nodiscard]] PreparedConnection prepareConnection(const std::filesystem::path& path, std::string_view keyHex);
  // Makes `prepared` the connection, closing the previous one, and runs `alongside` in the
  // same block of the database queue: no statement runs between the two. `alongside` must
  // not raise.
  void install(PreparedConnection prepared, const std::function<void()>& alongside = {});
  // prepareConnection() then install(): on failure the current connection stays as it was.
  void open(const std::filesystem::path& path, std::string_view keyHex);
  // Closes the connection if one is open. Never fails.
  void close();
  [[nodiscard]] bool isOpen() const;

  void createSession(const Session& session);
  [[nodiscard]] std::optional<Session> getSession(std::string_view id);
  // Newest start first.
  [[nodiscard]] std::vector<Session> listSessions(std::int64_t limit, std::int64_t offset);
  void updateSessionEnded(std::string_view sessionId, std::int64_t endedAtMs);

  void createChunk(const Chunk& chunk);
  // Ordered by start.
  [[nodiscard]] std::vector<Chunk> listChunks(std::string_view sessionId);
  void updateChunkEnded(std::string_view chunkId, std::int64_t endAtMs, std::int64_t mp4PlainLen);

  // Inserts the interval (its id is ignored) and returns the row id SQLite assigned.
  [[nodiscard]] std::int64_t createRecordingInterval(const RecordingInterval& interval);
  [[nodiscard]] std::vector<RecordingInterval> listRecordingIntervals(std::string_view sessionId);
  void updateRecordingIntervalEnd(std::int64_t id, std::int64_t endAtMs);

  // Inserts the interval (its id is ignored) and returns the row id SQLite assigned.
  [[nodiscard]] std::int64_t createContextInterval(const ContextInterval& interval);
  [[nodiscard]] std::vector<ContextInterval> listContextIntervals(std::string_view sessionId);
  void updateContextIntervalEnd(std::int64_t id, std::int64_t endAtMs);

  // Inserts the event (its id is ignored).
  void createEvent(const Event& event);
  // Events with startMs <= tsMs <= endMs, ordered by time.
  [[nodiscard]] std::vector<Event> listEvents(std::string_view sessionId, std::int64_t startMs, std::int64_t endMs);

  void createPipelineJob(const PipelineJob& job);
  [[nodiscard]] std::optional<PipelineJob> getPipelineJob(std::string_view id);
  // Writes all four columns: an absent time or error stores NULL.
  void updatePipelineJobStatus(std::string_view jobId, JobStatus status, std::optional<std::int64_t> startedAtMs,
                               std::optional<std::int64_t> finishedAtMs, std::optional<std::string> error);

  // The session's artifacts (only those of `kind` when given), ordered by creation time.
  [[nodiscard]] std::vector<Artifact> listArtifacts(std::string_view sessionId,
                                                    std::optional<ArtifactKind> kind = std::nullopt);

  // Jobs of `type` whose status is one of `statuses`, oldest request first.
  [[nodiscard]] std::vector<PipelineJob> listPipelineJobs(JobType type, const std::vector<JobStatus>& statuses);

  // Stores the text recognized in a chunk: what was stored for the chunk before is removed,
  // then the lines are indexed a few hundred per transaction and the artifact's row (an
  // earlier one of the same session, kind and file replaced) comes with the last of them.
  // Stores nothing more and returns false once the chunk (of the artifact's session) is not in
  // the database. Cut short, it leaves lines without the artifact's row.
  [[nodiscard]] bool storeScreenText(const Artifact& artifact, std::string_view chunkId, const std::vector<IndexedTextLine>& lines);
  // The session's ocr artifact whose file is `fileRelpath`, if there is one.
  [[nodiscard]] std::optional<Artifact> screenTextArtifact(std::string_view sessionId, std::string_view fileRelpath);
  // Lines matching `query` (see textMatchExpression) seen on screen within [startMs, endMs] (a
  // missing bound is open), newest first. Raises TextSearchError for a query that cannot be
  // searched.
  [[nodiscard]] std::vector<TextSearchHit> searchText(std::string_view query, std::optional<std::int64_t> startMs,
                                                      std::optional<std::int64_t> endMs, std::int64_t limit,
                                                      std::int64_t offset);

  void createSummary(const Summary& summary);
  // Summaries lying wholly inside [startMs, endMs], ordered by range start.
  [[nodiscard]] std::vector<Summary> listSummaries(std::string_view sessionId, std::int64_t startMs,
                                                   std::int64_t endMs);

  // Deletes the sessions and every row that belongs to them in one transaction; repeated ids
  // count once, unknown ids delete nothing. On failure nothing is deleted. Chunk and artifact
  // files are the caller's to remove.
  void deleteSessions(const std::vector<std::string>& sessionIDs);

 private:
  friend class DatabaseManagerTestPeer;

  // Runs `work` on the queue and waits for it; runs it inline when the caller already is on
  // the queue (waiting for the queue from the queue would never return).
  template <typename F>
  auto onQueue(F&& work) -> std::invoke_result_t<F> {
    if (queue_.isCurrent()) return std::forward<F>(work)();
    return queue_.sync(std::forward<F>(work));
  }

  // The primitives every operation is built on. The plain ones run on the queue; the Unsafe
  // ones run on the calling thread and REQUIRE that it is the queue's.
  //   execute: prepare, bind, step once ("row" and "done" both succeed), finalize.
  //   query: every row of the statement; a failing step raises queryFailed (no partial list).
  void execute(std::string_view sql, const SQLParams& params = {});
  [[nodiscard]] std::int64_t executeReturningLastInsertRowId(std::string_view sql, const SQLParams& params = {});
  [[nodiscard]] std::vector<SQLRow> query(std::string_view sql, const SQLParams& params = {});
  void executeUnsafe(std::string_view sql, const SQLParams& params = {});
  [[nodiscard]] std::int64_t executeReturningLastInsertRowIdUnsafe(std::string_view sql,
                                                                   const SQLParams& params = {});
  [[nodiscard]] std::vector<SQLRow> queryUnsafe(std::string_view sql, const SQLParams& params = {});

  // Runs `work` (statements through the Unsafe primitives) in one transaction on the queue:
  // everything or, when `work` raises, nothing.
  void inTransaction(const std::function<void()>& work);

  [[nodiscard]] sqlite3* connectionOrThrow() const;

  mutable SerialQueue queue_{"com.tolvodesk.database"};
  Connection db_;  // touched only on queue_
};

}  // namespace tolvo
