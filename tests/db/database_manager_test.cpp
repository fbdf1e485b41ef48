#include "db/database_manager.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <optional>
#include <regex>
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

const std::string kNotADatabase = "Failed to prepare statement: file is encrypted or is not a database";

unsigned modeOf(const std::filesystem::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

class DatabaseConnectionTest : public DatabaseTest {};

TEST_F(DatabaseConnectionTest, OpenCreatesPrivateDirectoryFilesAndSchema) {
  const mode_t oldMask = ::umask(0);  // file modes must not depend on the umask
  openDatabase();
  db_.createSession({"s1", 1, std::nullopt, 1});
  ::umask(oldMask);
  EXPECT_TRUE(db_.isOpen());
  EXPECT_EQ(modeOf(vaultDir()), 0700u);
  for (const char* name : {"vault.db", "vault.db-wal", "vault.db-shm"}) EXPECT_EQ(modeOf(vaultDir() / name), 0600u);

  std::string objects;
  for (const SQLRow& row : peer_.query("SELECT name FROM sqlite_master WHERE name NOT LIKE 'sqlite_%' ORDER BY name;")) {
    objects += row.requiredText("name") + " ";
  }
  EXPECT_EQ(objects,
            "artifacts chunks context_intervals events idx_artifacts_session_kind idx_chunks_session_start "
            "idx_ctx_session_start idx_events_session_ts idx_recint_session_start pipeline_jobs recording_intervals "
            "sessions summaries ");
  EXPECT_EQ(peer_.query("PRAGMA journal_mode;").front().text("journal_mode"), "wal");
  EXPECT_EQ(peer_.query("PRAGMA synchronous;").front().integer("synchronous"), 1);  // NORMAL
  EXPECT_EQ(peer_.query("PRAGMA temp_store;").front().integer("temp_store"), 2);    // MEMORY
  EXPECT_EQ(peer_.query("PRAGMA foreign_keys;").front().integer("foreign_keys"), 0);

  db_.close();
  std::filesystem::permissions(dbPath(), std::filesystem::perms::group_read | std::filesystem::perms::others_read,
                               std::filesystem::perm_options::add);
  openDatabase();  // an existing file is tightened, its schema and rows kept
  EXPECT_EQ(modeOf(dbPath()), 0600u);
  EXPECT_EQ(db_.listSessions(5, 0), (std::vector<Session>{{"s1", 1, std::nullopt, 1}}));
}

TEST_F(DatabaseConnectionTest, ContentIsEncryptedAndOnlyTheRightKeyOpensIt) {
  const std::string title = "Quarterly-Payroll-Review-7781.xlsx";
  openDatabase();
  db_.createSession({"s1", 1, std::nullopt, 1});
  (void)db_.createContextInterval({0, "s1", 1, 2, "org.example.sheets", "Sheets", title, "1"});
  ASSERT_EQ(db_.listContextIntervals("s1").front().windowTitle, title);
  const std::string wal = readText(vaultDir() / "vault.db-wal");
  ASSERT_GT(wal.size(), 4096u) << "the rows should be in the write-ahead log while open";
  EXPECT_EQ(wal.find(title), std::string::npos);
  EXPECT_EQ(wal.find("org.example.sheets"), std::string::npos);
  EXPECT_EQ(readText(dbPath()).find(title), std::string::npos);

  db_.close();
  const std::string file = readText(dbPath());
  ASSERT_GT(file.size(), 4096u);
  EXPECT_EQ(file.find(title), std::string::npos);
  EXPECT_EQ(file.find("CREATE TABLE"), std::string::npos);
  EXPECT_NE(file.substr(0, 16), std::string("SQLite format 3\0", 16));

  expectDatabaseError([&] { openDatabase(kOtherKeyHex); }, DatabaseError::Code::prepareFailed, kNotADatabase);
  EXPECT_TRUE(db_.isOpen());  // the handle stays open after a failed key; the caller closes
  expectDatabaseError([&] { (void)db_.listSessions(10, 0); }, DatabaseError::Code::prepareFailed, kNotADatabase);
  db_.close();
  EXPECT_EQ(readText(dbPath()), file);
  openDatabase();
  EXPECT_EQ(db_.listContextIntervals("s1").front().windowTitle, title);
}

// Open fails with the exact error, leaves the connection open only when the failure came after
// sqlite3_open, and changes no file that was there.
TEST_F(DatabaseConnectionTest, OpenFailuresRaiseExactErrorsAndChangeNoFile) {
  const auto link = root() / "link.db", elsewhere = root() / "elsewhere.db", garbageFile = root() / "garbage.db";
  writeText(elsewhere, "untouched");
  std::filesystem::create_symlink(elsewhere, link);
  writeText(root() / "Vault", "a file where the directory belongs");
  std::string garbage(8192, '\0');
  for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>((i * 131 + 7) % 251);
  writeText(garbageFile, garbage);
  std::filesystem::path tooLong = root();
  while (tooLong.string().size() < 600) tooLong /= std::string(100, 'd');
  const struct {
    std::filesystem::path path;
    std::string error;
    bool leftOpen;
  } rows[] = {
      {link, "open " + link.string() + ": Too many levels of symbolic links", false},
      {root() / "Vault" / "vault.db", "not a directory: " + (root() / "Vault").string() + ": Not a directory", false},
      {garbageFile, kNotADatabase, true},
      {tooLong / "vault.db", "Failed to open database: 14", false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(errorText([&] { db_.open(row.path, kKeyHex); }), row.error);
    EXPECT_EQ(db_.isOpen(), row.leftOpen) << row.path;
    db_.close();
  }
  EXPECT_EQ(readText(elsewhere), "untouched");
  EXPECT_EQ(readText(root() / "Vault"), "a file where the directory belongs");
  EXPECT_EQ(readText(garbageFile), garbage);
  EXPECT_NE(readText(tmp() / "TolvoDeskUITest" / "xpc-debug.log").find("] DB: sqlite3_open FAILED\n"),
            std::string::npos);
}

TEST_F(DatabaseConnectionTest, OpenWritesItsDiagnosticLinesInOrder) {
  openDatabase();
  const std::string log = readText(tmp() / "TolvoDeskUITest" / "xpc-debug.log");
  EXPECT_EQ(std::regex_replace(log, std::regex(R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] )"), ""),
            "DB: open called with path: " + dbPath().string() + "\nDB: inside queue.sync\nDB: creating directory at " +
                vaultDir().string() +
                "\nDB: directory created\nDB: opening sqlite3 database\nDB: sqlite3_open result: 0\nDB: db pointer "
                "set\nDB: executing PRAGMA key\nDB: PRAGMA key executed\nDB: creating schema\nDB: schema created "
                "successfully\nDB: open completed\n");
}

TEST_F(DatabaseConnectionTest, EveryPrimitiveRaisesNotOpenBeforeOpenAndAfterClose) {
  auto expectNotOpen = [](auto call) {
    expectDatabaseError(call, DatabaseError::Code::notOpen, "Database is not open");
  };
  for (const char* when : {"before open", "after close"}) {
    SCOPED_TRACE(when);
    expectNotOpen([&] { peer_.execute("SELECT 1;"); });
    expectNotOpen([&] { (void)peer_.query("SELECT 1;"); });
    expectNotOpen([&] { (void)db_.createRecordingInterval({}); });  // the row-id primitive
    expectNotOpen([&] { db_.deleteSessions({"s"}); });
    db_.deleteSessions({});  // an empty list never touches the database
    EXPECT_FALSE(db_.isOpen());
    openDatabase();
    db_.close();
    db_.close();  // closing twice is harmless
  }
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
}

// Parameters bind by kind (an empty byte string as a zero-length BLOB, placeholders beyond the
// list as NULL); rows hold values by storage class, without NULLs and zero-length BLOBs, and
// convert only integers to reals.
TEST_F(DatabaseConnectionTest, ValuesBindAndReadBackByKind) {
  openDatabase();
  std::string sql = "SELECT ''";
  for (int i = 1; i <= 13; ++i) sql += " || typeof(?" + std::to_string(i) + ") || ' '";
  const auto types = peer_.query(sql + " AS t, ?9 AS o, ?12 AS m;",
                                 {"héllo", std::int64_t{-5}, 0.25, Bytes{1, 2, 3}, Bytes{}, std::nullopt, nullptr,
                                  std::optional<std::int64_t>{}, std::optional<std::string>("opt"), std::size_t{42},
                                  1, std::numeric_limits<std::int64_t>::max()});
  EXPECT_EQ(types.at(0).text("t"), "text integer real blob blob null null null text integer integer integer null ");
  EXPECT_EQ(types.at(0).text("o"), "opt");
  EXPECT_EQ(types.at(0).integer("m"), std::numeric_limits<std::int64_t>::max());

  const SQLRow row = peer_.query("SELECT 7 AS i, 2.5 AS r, x'00ff' AS b, NULL AS n, x'' AS e, '' AS t;").at(0);
  EXPECT_EQ(row.size(), 4u);
  EXPECT_FALSE(row.contains("n"));
  EXPECT_FALSE(row.contains("e"));
  EXPECT_EQ(row.text("t"), "");
  EXPECT_EQ(row.blob("b"), (Bytes{0x00, 0xff}));
  EXPECT_EQ(row.real("r"), 2.5);
  EXPECT_EQ(row.real("i"), 7.0);
  EXPECT_EQ(row.text("i"), std::nullopt);
  EXPECT_EQ(row.integer("r"), std::nullopt);
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
