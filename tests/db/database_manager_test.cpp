#include "db/database_manager.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "core/error.h"
#include "db/database_test_support.h"

namespace tolvo::test {
namespace {

static_assert(!std::is_constructible_v<SQLParam, bool>, "a bool must be passed as 1 or 0");
static_assert(!std::is_constructible_v<SQLParam, std::optional<bool>>);
static_assert(!std::is_convertible_v<bool, SQLParam>);
static_assert(std::is_constructible_v<SQLParam, int> && std::is_constructible_v<SQLParam, std::uint32_t>);
static_assert(std::is_constructible_v<SQLParam, std::optional<std::string>>);
static_assert(!std::is_copy_constructible_v<DatabaseManager>);

using Perms = std::filesystem::perms;

std::string fileBytes(const std::filesystem::path& path) { return readText(path); }

unsigned modeOf(const std::filesystem::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

template <typename F>
void expectDatabaseError(F&& call, DatabaseError::Code code, const std::string& text) {
  try {
    call();
    ADD_FAILURE() << "expected DatabaseError \"" << text << "\"";
  } catch (const DatabaseError& e) {
    EXPECT_EQ(e.code(), code);
    EXPECT_EQ(std::string(e.what()), text);
  }
}

class DatabaseConnectionTest : public DatabaseTest {};

TEST_F(DatabaseConnectionTest, OpenCreatesPrivateDirectoryFilesAndSchema) {
  const mode_t oldMask = ::umask(0);  // file modes must not depend on the umask
  openDatabase();
  db_.createSession({"s1", 1, std::nullopt, 1});
  EXPECT_TRUE(db_.isOpen());
  EXPECT_EQ(modeOf(vaultDir()), 0700u);
  EXPECT_EQ(modeOf(dbPath()), 0600u);
  EXPECT_EQ(modeOf(vaultDir() / "vault.db-wal"), 0600u);
  EXPECT_EQ(modeOf(vaultDir() / "vault.db-shm"), 0600u);
  ::umask(oldMask);

  std::vector<std::string> objects;
  for (const SQLRow& row : peer_.query("SELECT type || ' ' || name AS o FROM sqlite_master WHERE name NOT LIKE "
                                      "'sqlite_%' ORDER BY name;")) {
    objects.push_back(row.requiredText("o"));
  }
  EXPECT_EQ(objects, (std::vector<std::string>{
                         "table artifacts", "table chunks", "table context_intervals", "table events",
                         "index idx_artifacts_session_kind", "index idx_chunks_session_start",
                         "index idx_ctx_session_start", "index idx_events_session_ts",
                         "index idx_recint_session_start", "table pipeline_jobs", "table recording_intervals",
                         "table sessions", "table summaries"}));
  EXPECT_EQ(peer_.query("PRAGMA journal_mode;").front().text("journal_mode"), "wal");
  EXPECT_EQ(peer_.query("PRAGMA synchronous;").front().integer("synchronous"), 1);  // NORMAL
  EXPECT_EQ(peer_.query("PRAGMA temp_store;").front().integer("temp_store"), 2);    // MEMORY
  EXPECT_EQ(peer_.query("PRAGMA foreign_keys;").front().integer("foreign_keys"), 0);

  peer_.createSchemaUnsafe();  // every object exists already: nothing changes
  EXPECT_EQ(db_.listSessions(5, 0), (std::vector<Session>{{"s1", 1, std::nullopt, 1}}));
}

TEST_F(DatabaseConnectionTest, ExistingLooseFileIsTightenedAndSymlinkRefused) {
  std::filesystem::create_directories(vaultDir());
  writeText(dbPath(), "");
  std::filesystem::permissions(dbPath(),
                               Perms::owner_read | Perms::owner_write | Perms::group_read | Perms::others_read);
  openDatabase();
  EXPECT_EQ(modeOf(dbPath()), 0600u);
  db_.close();

  const auto target = root() / "elsewhere.db";
  writeText(target, "untouched");
  const auto link = vaultDir() / "linked.db";
  std::filesystem::create_symlink(target, link);
  try {
    db_.open(link, kKeyHex);
    ADD_FAILURE() << "a symbolic link was opened";
  } catch (const SystemError& e) {
    EXPECT_EQ(std::string(e.what()), "open " + link.string() + ": Too many levels of symbolic links");
  }
  EXPECT_FALSE(db_.isOpen());
  EXPECT_EQ(readText(target), "untouched");
}

TEST_F(DatabaseConnectionTest, DirectoryThatCannotBeCreatedRaisesSystemError) {
  writeText(dataHome() / "TolvoDesk", "a file where the directory belongs");
  EXPECT_THROW(openDatabase(), SystemError);
  EXPECT_FALSE(db_.isOpen());
}

TEST_F(DatabaseConnectionTest, ContentIsEncryptedInDatabaseAndWal) {
  const std::string title = "Quarterly-Payroll-Review-7781.xlsx";
  openDatabase();
  db_.createSession({"s1", 1, std::nullopt, 1});
  (void)db_.createContextInterval({0, "s1", 1, 2, "org.example.sheets", "Sheets", title, "1"});
  ASSERT_EQ(db_.listContextIntervals("s1").front().windowTitle, title);

  const std::string wal = fileBytes(vaultDir() / "vault.db-wal");
  ASSERT_GT(wal.size(), 4096u) << "the rows should be in the write-ahead log while open";
  EXPECT_EQ(wal.find(title), std::string::npos);
  EXPECT_EQ(wal.find("org.example.sheets"), std::string::npos);
  EXPECT_EQ(fileBytes(dbPath()).find(title), std::string::npos);

  db_.close();
  const std::string file = fileBytes(dbPath());
  ASSERT_GT(file.size(), 4096u);
  EXPECT_EQ(file.find(title), std::string::npos);
  EXPECT_EQ(file.find("CREATE TABLE"), std::string::npos);
  EXPECT_NE(file.substr(0, 16), std::string("SQLite format 3\0", 16));
}

TEST_F(DatabaseConnectionTest, WrongKeyFailsAndLeavesFileUntouched) {
  openDatabase();
  db_.createSession({"s1", 5, 6, 7});
  db_.close();
  const std::string before = fileBytes(dbPath());

  expectDatabaseError([&] { openDatabase(kOtherKeyHex); }, DatabaseError::Code::prepareFailed,
                      "Failed to prepare statement: file is encrypted or is not a database");
  EXPECT_TRUE(db_.isOpen());  // the handle stays open after a failed key; the caller closes
  expectDatabaseError([&] { (void)db_.listSessions(10, 0); }, DatabaseError::Code::prepareFailed,
                      "Failed to prepare statement: file is encrypted or is not a database");
  db_.close();
  EXPECT_EQ(fileBytes(dbPath()), before);

  openDatabase();
  EXPECT_EQ(db_.listSessions(10, 0), (std::vector<Session>{{"s1", 5, 6, 7}}));
}

TEST_F(DatabaseConnectionTest, FileThatIsNotADatabaseIsRejectedUnchanged) {
  std::filesystem::create_directories(vaultDir());
  std::string garbage(8192, '\0');
  for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>((i * 131 + 7) % 251);
  writeText(dbPath(), garbage);
  expectDatabaseError([&] { openDatabase(); }, DatabaseError::Code::prepareFailed,
                      "Failed to prepare statement: file is encrypted or is not a database");
  db_.close();
  EXPECT_EQ(fileBytes(dbPath()), garbage);
}

TEST_F(DatabaseConnectionTest, PathTooLongForSQLiteRaisesOpenFailed) {
  std::filesystem::path dir = root();
  while (dir.string().size() < 600) dir /= std::string(100, 'd');
  expectDatabaseError([&] { db_.open(dir / "vault.db", kKeyHex); }, DatabaseError::Code::openFailed,
                      "Failed to open database: 14");
  EXPECT_FALSE(db_.isOpen());
  EXPECT_NE(readText(tmp() / "TolvoDeskUITest" / "xpc-debug.log").find("] DB: sqlite3_open FAILED\n"),
            std::string::npos);
}

TEST_F(DatabaseConnectionTest, OpenWritesItsDiagnosticLinesInOrder) {
  openDatabase();
  std::istringstream log(readText(tmp() / "TolvoDeskUITest" / "xpc-debug.log"));
  std::vector<std::string> messages;
  for (std::string line; std::getline(log, line);) {
    ASSERT_EQ(line.front(), '[');
    const auto close = line.find("] ");
    ASSERT_EQ(close, 21u) << line;  // "[2026-01-31T14:05:09Z] "
    messages.push_back(line.substr(close + 2));
  }
  EXPECT_EQ(messages, (std::vector<std::string>{
                          "DB: open called with path: " + dbPath().string(),
                          "DB: inside queue.sync",
                          "DB: creating directory at " + vaultDir().string(),
                          "DB: directory created",
                          "DB: opening sqlite3 database",
                          "DB: sqlite3_open result: 0",
                          "DB: db pointer set",
                          "DB: executing PRAGMA key",
                          "DB: PRAGMA key executed",
                          "DB: creating schema",
                          "DB: schema created successfully",
                          "DB: open completed",
                      }));
}

TEST_F(DatabaseConnectionTest, EveryPrimitiveRaisesNotOpenBeforeOpenAndAfterClose) {
  auto checkAll = [&] {
    const auto code = DatabaseError::Code::notOpen;
    const std::string text = "Database is not open";
    expectDatabaseError([&] { peer_.execute("SELECT 1;"); }, code, text);
    expectDatabaseError([&] { (void)peer_.executeReturningLastInsertRowId("SELECT 1;"); }, code, text);
    expectDatabaseError([&] { (void)peer_.query("SELECT 1;"); }, code, text);
    expectDatabaseError([&] { peer_.executeUnsafe("SELECT 1;"); }, code, text);
    expectDatabaseError([&] { (void)peer_.executeReturningLastInsertRowIdUnsafe("SELECT 1;"); }, code, text);
    expectDatabaseError([&] { (void)peer_.queryUnsafe("SELECT 1;"); }, code, text);
    expectDatabaseError([&] { peer_.createSchemaUnsafe(); }, code, text);
    expectDatabaseError([&] { db_.createSession({"s", 1, std::nullopt, 1}); }, code, text);
    expectDatabaseError([&] { (void)db_.getSession("s"); }, code, text);
    expectDatabaseError([&] { db_.deleteSessions({"s"}); }, code, text);
    db_.deleteSessions({});  // an empty list never touches the database
    EXPECT_FALSE(db_.isOpen());
  };
  checkAll();
  openDatabase();
  db_.close();
  db_.close();  // closing twice is harmless
  checkAll();
}

TEST_F(DatabaseConnectionTest, StatementErrorsCarrySQLiteMessages) {
  openDatabase();
  expectDatabaseError([&] { peer_.execute("SELEC 1;"); }, DatabaseError::Code::prepareFailed,
                      "Failed to prepare statement: near \"SELEC\": syntax error");
  expectDatabaseError([&] { (void)peer_.query("SELECT nope FROM sessions;"); }, DatabaseError::Code::prepareFailed,
                      "Failed to prepare statement: no such column: nope");
  expectDatabaseError([&] { peer_.execute("INSERT INTO sessions (session_id) VALUES (?);", {"x"}); },
                      DatabaseError::Code::executeFailed,
                      "Failed to execute statement: NOT NULL constraint failed: sessions.started_at_ms");
  expectDatabaseError([&] { peer_.execute("SELECT ?;", {1, 2}); }, DatabaseError::Code::executeFailed,
                      "Failed to execute statement: parameter 2: bind or column index out of range");
  EXPECT_EQ(peer_.scalar("SELECT COUNT(*) AS n FROM sessions;"), 0);
}

TEST_F(DatabaseConnectionTest, QueryThatFailsAfterSomeRowsRaisesInsteadOfReturningThem) {
  openDatabase();
  peer_.execute("CREATE TABLE numbers (n INTEGER);");
  for (std::int64_t n : {std::int64_t{1}, std::int64_t{-2}, std::numeric_limits<std::int64_t>::min()}) {
    peer_.execute("INSERT INTO numbers (n) VALUES (?);", {n});
  }
  const auto good = peer_.query("SELECT abs(n) AS a FROM numbers WHERE rowid <= 2 ORDER BY rowid;");
  ASSERT_EQ(good.size(), 2u);
  EXPECT_EQ(good[1].integer("a"), 2);
  expectDatabaseError([&] { (void)peer_.query("SELECT abs(n) AS a FROM numbers ORDER BY rowid;"); },
                      DatabaseError::Code::queryFailed, "Query failed: integer overflow");
  expectDatabaseError([&] { (void)peer_.queryUnsafe("SELECT abs(n) AS a FROM numbers ORDER BY rowid;"); },
                      DatabaseError::Code::queryFailed, "Query failed: integer overflow");
}

TEST_F(DatabaseConnectionTest, RowsHoldValuesByStorageClassWithoutNullOrEmptyBlob) {
  openDatabase();
  const auto rows = peer_.query(
      "SELECT 7 AS i, 2.5 AS r, 'txt' AS t, x'00ff' AS b, NULL AS n, x'' AS e, '' AS empty_text;");
  ASSERT_EQ(rows.size(), 1u);
  const SQLRow& row = rows.front();
  EXPECT_EQ(row.size(), 5u);
  EXPECT_EQ(row.integer("i"), 7);
  EXPECT_EQ(row.real("r"), 2.5);
  EXPECT_EQ(row.text("t"), "txt");
  EXPECT_EQ(row.blob("b"), (Bytes{0x00, 0xff}));
  EXPECT_FALSE(row.contains("n"));
  EXPECT_FALSE(row.contains("e"));
  EXPECT_EQ(row.text("empty_text"), "");
  EXPECT_EQ(row.text("i"), std::nullopt);  // no conversion between kinds
  EXPECT_TRUE(peer_.query("SELECT session_id FROM sessions;").empty());
}

TEST_F(DatabaseConnectionTest, ParametersBindByKind) {
  openDatabase();
  const std::optional<std::int64_t> none;
  const std::optional<std::string> some = "opt";
  const auto rows = peer_.query(
      "SELECT typeof(?1) AS t1, typeof(?2) AS t2, typeof(?3) AS t3, typeof(?4) AS t4, typeof(?5) AS t5, "
      "length(?5) AS l5, typeof(?6) AS t6, typeof(?7) AS t7, typeof(?8) AS t8, ?9 AS v9, typeof(?10) AS t10, "
      "?11 AS v11, typeof(?12) AS t12;",
      {"héllo", std::int64_t{-5}, 0.25, Bytes{1, 2, 3}, Bytes{}, std::nullopt, nullptr, none, some,
       std::size_t{42}, std::numeric_limits<std::int64_t>::max()});
  const SQLRow& row = rows.at(0);
  EXPECT_EQ(row.text("t1"), "text");
  EXPECT_EQ(row.text("t2"), "integer");
  EXPECT_EQ(row.text("t3"), "real");
  EXPECT_EQ(row.text("t4"), "blob");
  EXPECT_EQ(row.text("t5"), "blob");  // an empty byte string is a zero-length BLOB, not NULL
  EXPECT_EQ(row.integer("l5"), 0);
  EXPECT_EQ(row.text("t6"), "null");
  EXPECT_EQ(row.text("t7"), "null");
  EXPECT_EQ(row.text("t8"), "null");
  EXPECT_EQ(row.text("v9"), "opt");
  EXPECT_EQ(row.text("t10"), "integer");
  EXPECT_EQ(row.integer("v11"), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(row.text("t12"), "null");  // placeholders beyond the list stay NULL

  peer_.execute("CREATE TABLE flags (f INTEGER);");
  peer_.execute("INSERT INTO flags (f) VALUES (?);", {1});
  EXPECT_EQ(peer_.scalar("SELECT f AS n FROM flags;"), 1);
}

TEST_F(DatabaseConnectionTest, RowIdsOfAutoincrementTablesAreNeverReused) {
  openDatabase();
  const char* insert =
      "INSERT INTO recording_intervals (session_id, start_at_ms, end_at_ms, state) VALUES ('s', 1, 2, 'paused');";
  EXPECT_EQ(peer_.executeReturningLastInsertRowId(insert), 1);
  EXPECT_EQ(peer_.executeReturningLastInsertRowId(insert), 2);
  peer_.execute("DELETE FROM recording_intervals WHERE interval_id = 2;");
  EXPECT_EQ(peer_.executeReturningLastInsertRowIdUnsafe(insert), 3);
}

TEST_F(DatabaseConnectionTest, PrimitivesCalledFromTheQueueRunInline) {
  openDatabase();
  const auto count = peer_.onQueue([&] {
    db_.createSession({"q", 1, std::nullopt, 1});  // would wait for itself if it hopped onto the queue
    peer_.execute("UPDATE sessions SET ended_at_ms = 9 WHERE session_id = 'q';");
    return db_.listSessions(5, 0).size();
  });
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(db_.getSession("q")->endedAtMs, 9);
}

}  // namespace
}  // namespace tolvo::test
