#include "db/database_manager.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <memory>
#include <string>
#include <utility>
#include <variant>

#include "core/bytes.h"
#include "core/diagnostic_log.h"
#include "core/error.h"
#include "core/file_util.h"

namespace tolvo {

void detail::closeSQLiteConnection(sqlite3* connection) noexcept {
  // Every statement is finalized by its owner before the connection goes, so this succeeds.
  sqlite3_close(connection);
}

namespace {

using Statement = Handle<sqlite3_stmt, sqlite3_finalize>;
using Connection = Handle<sqlite3, detail::closeSQLiteConnection>;

// The schema, one statement each, in creation order. Every object is created only if absent,
// so opening an existing database changes nothing.
constexpr std::array<std::string_view, 19> kSchema{
    "CREATE TABLE IF NOT EXISTS sessions ( session_id TEXT PRIMARY KEY, started_at_ms INTEGER NOT NULL, "
    "ended_at_ms INTEGER, created_at_ms INTEGER NOT NULL );",
    "CREATE TABLE IF NOT EXISTS chunks ( chunk_id TEXT PRIMARY KEY, session_id TEXT NOT NULL, start_at_ms "
    "INTEGER NOT NULL, end_at_ms INTEGER, file_relpath TEXT NOT NULL, mp4_plain_len INTEGER, page_size INTEGER "
    "NOT NULL, codec TEXT NOT NULL, width INTEGER NOT NULL, height INTEGER NOT NULL, fps REAL NOT NULL, "
    "has_audio INTEGER NOT NULL, audio_codec TEXT, audio_sample_rate INTEGER, audio_channels INTEGER, "
    "created_at_ms INTEGER NOT NULL, FOREIGN KEY(session_id) REFERENCES sessions(session_id) );",
    "CREATE INDEX IF NOT EXISTS idx_chunks_session_start ON chunks(session_id, start_at_ms);",
    "CREATE TABLE IF NOT EXISTS recording_intervals ( interval_id INTEGER PRIMARY KEY AUTOINCREMENT, session_id "
    "TEXT NOT NULL, start_at_ms INTEGER NOT NULL, end_at_ms INTEGER NOT NULL, state TEXT NOT NULL, reason TEXT, "
    "FOREIGN KEY(session_id) REFERENCES sessions(session_id) );",
    "CREATE INDEX IF NOT EXISTS idx_recint_session_start ON recording_intervals(session_id, start_at_ms);",
    "CREATE TABLE IF NOT EXISTS context_intervals ( ctx_id INTEGER PRIMARY KEY AUTOINCREMENT, session_id TEXT "
    "NOT NULL, start_at_ms INTEGER NOT NULL, end_at_ms INTEGER NOT NULL, bundle_id TEXT NOT NULL, app_name TEXT "
    "NOT NULL, window_title TEXT, display_hint TEXT, FOREIGN KEY(session_id) REFERENCES sessions(session_id) );",
    "CREATE INDEX IF NOT EXISTS idx_ctx_session_start ON context_intervals(session_id, start_at_ms);",
    "CREATE TABLE IF NOT EXISTS events ( event_id INTEGER PRIMARY KEY AUTOINCREMENT, session_id TEXT NOT NULL, "
    "ts_ms INTEGER NOT NULL, type TEXT NOT NULL, payload BLOB, FOREIGN KEY(session_id) REFERENCES "
    "sessions(session_id) );",
    "CREATE TABLE IF NOT EXISTS pipeline_jobs ( job_id TEXT PRIMARY KEY, session_id TEXT NOT NULL, "
    "requested_at_ms INTEGER NOT NULL, started_at_ms INTEGER, finished_at_ms INTEGER, status TEXT NOT NULL, "
    "job_type TEXT NOT NULL, params BLOB, error TEXT, FOREIGN KEY(session_id) REFERENCES sessions(session_id) );",
    "CREATE TABLE IF NOT EXISTS artifacts ( artifact_id TEXT PRIMARY KEY, session_id TEXT NOT NULL, kind TEXT "
    "NOT NULL, range_start_ms INTEGER, range_end_ms INTEGER, file_relpath TEXT, created_at_ms INTEGER NOT NULL, "
    "FOREIGN KEY(session_id) REFERENCES sessions(session_id) );",
    "CREATE INDEX IF NOT EXISTS idx_artifacts_session_kind ON artifacts(session_id, kind);",
    "CREATE TABLE IF NOT EXISTS summaries ( summary_id TEXT PRIMARY KEY, session_id TEXT NOT NULL, "
    "range_start_ms INTEGER NOT NULL, range_end_ms INTEGER NOT NULL, model_id TEXT NOT NULL, summary_text TEXT "
    "NOT NULL, created_at_ms INTEGER NOT NULL, FOREIGN KEY(session_id) REFERENCES sessions(session_id) );",
    // listEvents reads one session's time range out of a table written all day.
    "CREATE INDEX IF NOT EXISTS idx_events_session_ts ON events(session_id, ts_ms);",
    // Text recognized on screen: one row per line and chunk, and the full-text index of the
    // lines (same row ids). A line's id orders lines by the time they were first seen.
    "CREATE TABLE IF NOT EXISTS screen_text_lines ( line_id INTEGER PRIMARY KEY, session_id TEXT NOT NULL, "
    "chunk_id TEXT NOT NULL, first_seen_ms INTEGER NOT NULL, last_seen_ms INTEGER NOT NULL, FOREIGN "
    "KEY(session_id) REFERENCES sessions(session_id) );",
    "CREATE INDEX IF NOT EXISTS idx_screen_text_session ON screen_text_lines(session_id);",
    "CREATE INDEX IF NOT EXISTS idx_screen_text_chunk ON screen_text_lines(chunk_id);",
    "CREATE VIRTUAL TABLE IF NOT EXISTS screen_text_index USING fts4(text, tokenize=unicode61);",
    // The longest time any stored line stayed on screen (never lowered): a search from a
    // time need not look at lines first seen more than that before it.
    "CREATE TABLE IF NOT EXISTS screen_text_span ( id INTEGER PRIMARY KEY CHECK (id = 1), longest_ms INTEGER NOT "
    "NULL );",
    // The index merges its segments as lines arrive (the setting is kept in the index).
    "INSERT INTO screen_text_index(screen_text_index) VALUES('automerge=8');",
};

// Issued right after the key: WAL with synchronous NORMAL keeps every committed transaction
// when the process dies (only a power loss may drop the last ones) and makes a commit one
// unsynced append; temporary tables and indices stay in memory, never in a plaintext file.
constexpr std::array<std::string_view, 3> kConnectionPragmas{
    "PRAGMA journal_mode = WAL;",
    "PRAGMA synchronous = NORMAL;",
    "PRAGMA temp_store = MEMORY;",
};

// Creates the database file 0600 when it is missing (SQLite would make it 0644, and gives its
// -wal and -shm files the database file's mode), tightens an existing one to 0600, and refuses
// symbolic links and anything that is not a regular file.
void preparePrivateFile(const std::filesystem::path& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) throw SystemError::fromErrno(errno, "open", path.string());
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw SystemError::fromErrno(errno, "stat", path.string());
  if (!S_ISREG(st.st_mode)) throw SystemError::fromErrno(EINVAL, "not a regular file:", path.string());
  if ((st.st_mode & 0077) != 0 && ::fchmod(fd.get(), 0600) != 0) {
    throw SystemError::fromErrno(errno, "chmod", path.string());
  }
  if (int err = fd.close(); err != 0) throw SystemError::fromErrno(err, "close", path.string());
}

Statement prepare(sqlite3* db, std::string_view sql) {
  if (sql.size() > static_cast<std::size_t>(INT_MAX)) throw DatabaseError::prepareFailed("statement too long");
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &raw, nullptr);
  Statement statement(raw);
  if (rc != SQLITE_OK) throw DatabaseError::prepareFailed(sqlite3_errmsg(db));
  return statement;
}


// Binds params[i] to placeholder i + 1; placeholders beyond the list stay NULL. Raises
// executeFailed when SQLite refuses a value (for example more values than placeholders).
void bindParams(sqlite3_stmt* statement, const SQLParams& params) {
  int index = 0;
  for (const SQLParam& param : params) {
    ++index;
    const int rc = std::visit(
        [&](const auto& value) -> int {
          using T = std::decay_t<decltype(value)>;
          if constexpr (std::is_same_v<T, std::monostate>) {
            return sqlite3_bind_null(statement, index);
          } else if constexpr (std::is_same_v<T, std::string>) {
            return sqlite3_bind_text64(statement, index, value.data(), value.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
          } else if constexpr (std::is_same_v<T, std::int64_t>) {
            return sqlite3_bind_int64(statement, index, value);
          } else if constexpr (std::is_same_v<T, double>) {
            return sqlite3_bind_double(statement, index, value);
          } else {
            static_assert(std::is_same_v<T, Bytes>);
            // A null data pointer would bind NULL; an empty byte string is a zero-length BLOB.
            if (value.empty()) return sqlite3_bind_zeroblob(statement, index, 0);
            return sqlite3_bind_blob64(statement, index, value.data(), value.size(), SQLITE_TRANSIENT);
          }
        },
        param.value());
    if (rc != SQLITE_OK) {
      throw DatabaseError::executeFailed("parameter " + std::to_string(index) + ": " + sqlite3_errstr(rc));
    }
  }
}

// Prepares, binds, steps once ("row" and "done" both succeed) and finalizes.
void executeOn(sqlite3* db, std::string_view sql, const SQLParams& params = {}) {
  Statement statement = prepare(db, sql);
  if (!statement) return;  // only white space or comments: nothing to run
  bindParams(statement.get(), params);
  const int rc = sqlite3_step(statement.get());
  if (rc != SQLITE_DONE && rc != SQLITE_ROW) throw DatabaseError::executeFailed(sqlite3_errmsg(db));
}

// Opens `path` on a new connection, keys it, sets the connection pragmas and creates the
// schema; the connection is closed again when any step fails. With a wrong key the first
// statement that reads the file fails, before anything is written to it.
Connection openChecked(const std::filesystem::path& path, std::string_view keyHex) {
  dbLog("inside queue.sync");
  std::filesystem::path directory = path.parent_path();
  dbLog("creating directory at " + directory.string());
  fs::ensurePrivateDirectory(directory.empty() ? std::filesystem::path(".") : directory);
  dbLog("directory created");
  dbLog("opening sqlite3 database");
  preparePrivateFile(path);
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open(path.c_str(), &raw);
  Connection connection(raw);  // sqlite3_open may hand out a handle even when it fails
  dbLog("sqlite3_open result: " + std::to_string(rc));
  if (rc != SQLITE_OK) {
    dbLog("sqlite3_open FAILED");
    throw DatabaseError::openFailed(rc);
  }
  dbLog("db pointer set");
  dbLog("executing PRAGMA key");
  {
    std::string keyPragma = "PRAGMA key = 'x\"";
    WipeOnExit wipe(keyPragma);
    keyPragma.reserve(keyPragma.size() + keyHex.size() + 4);
    keyPragma += keyHex;
    keyPragma += "\"';";
    executeOn(connection.get(), keyPragma);
  }
  dbLog("PRAGMA key executed");
  for (std::string_view pragma : kConnectionPragmas) executeOn(connection.get(), pragma);
  dbLog("creating schema");
  for (std::string_view statement : kSchema) executeOn(connection.get(), statement);
  dbLog("schema created successfully");
  return connection;
}

}  // namespace

DatabaseManager& DatabaseManager::shared() {
  static DatabaseManager instance;
  return instance;
}

DatabaseManager::DatabaseManager() = default;

DatabaseManager::~DatabaseManager() {
  try {
    close();
  } catch (...) {
    // Nothing can be reported from a destructor; the handle is released below regardless.
  }
}

void DatabaseManager::open(const std::filesystem::path& path, std::string_view keyHex) {
  install(prepareConnection(path, keyHex));
}

DatabaseManager::PreparedConnection DatabaseManager::prepareConnection(const std::filesystem::path& path,
                                                                       std::string_view keyHex) {
  dbLog("open called with path: " + path.string());
  PreparedConnection prepared = onQueue([&] { return PreparedConnection(openChecked(path, keyHex)); });
  dbLog("open completed");
  return prepared;
}

void DatabaseManager::install(PreparedConnection prepared, const std::function<void()>& alongside) {
  onQueue([&] {
    db_ = std::move(prepared.connection_);
    if (alongside) alongside();
  });
}

void DatabaseManager::close() {
  onQueue([this] { db_.reset(); });
}

bool DatabaseManager::isOpen() const {
  if (queue_.isCurrent()) return static_cast<bool>(db_);
  return queue_.sync([this] { return static_cast<bool>(db_); });
}

sqlite3* DatabaseManager::connectionOrThrow() const {
  if (!db_) throw DatabaseError::notOpen();
  return db_.get();
}

void DatabaseManager::executeUnsafe(std::string_view sql, const SQLParams& params) {
  executeOn(connectionOrThrow(), sql, params);
}

std::int64_t DatabaseManager::executeReturningLastInsertRowIdUnsafe(std::string_view sql, const SQLParams& params) {
  executeUnsafe(sql, params);
  return sqlite3_last_insert_rowid(db_.get());
}

std::vector<SQLRow> DatabaseManager::queryUnsafe(std::string_view sql, const SQLParams& params) {
  sqlite3* db = connectionOrThrow();
  Statement statement = prepare(db, sql);
  std::vector<SQLRow> rows;
  if (!statement) return rows;
  sqlite3_stmt* st = statement.get();
  bindParams(st, params);

  const int columnCount = sqlite3_column_count(st);
  auto names = std::make_shared<std::vector<std::string>>();
  names->reserve(static_cast<std::size_t>(columnCount));
  for (int i = 0; i < columnCount; ++i) {
    const char* name = sqlite3_column_name(st, i);
    if (name == nullptr) throw DatabaseError::queryFailed(sqlite3_errmsg(db));
    names->emplace_back(name);
  }
  const SQLRow::Columns columns = std::move(names);

  int rc = SQLITE_ROW;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    SQLRow& row = rows.emplace_back(columns);
    for (int i = 0; i < columnCount; ++i) {
      const auto index = static_cast<std::size_t>(i);
      switch (sqlite3_column_type(st, i)) {
        case SQLITE_INTEGER: row.set(index, static_cast<std::int64_t>(sqlite3_column_int64(st, i))); break;
        case SQLITE_FLOAT: row.set(index, sqlite3_column_double(st, i)); break;
        case SQLITE_TEXT: {
          const unsigned char* text = sqlite3_column_text(st, i);
          if (text == nullptr) throw DatabaseError::queryFailed(sqlite3_errmsg(db));  // out of memory
          const int length = sqlite3_column_bytes(st, i);
          row.set(index, std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length)));
          break;
        }
        case SQLITE_BLOB: {
          const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(st, i));
          const int length = sqlite3_column_bytes(st, i);
          if (length <= 0) break;  // a zero-length BLOB has no entry, like NULL
          if (data == nullptr) throw DatabaseError::queryFailed(sqlite3_errmsg(db));  // out of memory
          row.set(index, Bytes(data, data + length));
          break;
        }
        default: break;  // NULL
      }
    }
  }
  if (rc != SQLITE_DONE) throw DatabaseError::queryFailed(sqlite3_errmsg(db));
  return rows;
}

void DatabaseManager::execute(std::string_view sql, const SQLParams& params) {
  onQueue([&] { executeUnsafe(sql, params); });
}

std::int64_t DatabaseManager::executeReturningLastInsertRowId(std::string_view sql, const SQLParams& params) {
  return onQueue([&] { return executeReturningLastInsertRowIdUnsafe(sql, params); });
}

std::vector<SQLRow> DatabaseManager::query(std::string_view sql, const SQLParams& params) {
  return onQueue([&] { return queryUnsafe(sql, params); });
}

}  // namespace tolvo
