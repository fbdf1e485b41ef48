#include "db/database_manager.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gmock/gmock.h>

#include <cstdio>
#include <limits>

#include "db/text_search_query.h"
#include "support/sandbox.h"

namespace tolvo {

// Reaches DatabaseManager's private primitives (which run on its queue) for tests.
class DatabaseManagerTestPeer {
 public:
  explicit DatabaseManagerTestPeer(DatabaseManager& db) : db_(db) {}
  void execute(std::string_view sql, const SQLParams& params = {}) { db_.execute(sql, params); }
  std::vector<SQLRow> query(std::string_view sql, const SQLParams& params = {}) { return db_.query(sql, params); }
  template <typename F>
  auto onQueue(F&& work) {  // runs `work` as a block of the database queue
    return db_.queue_.sync(std::forward<F>(work));
  }

 private:
  DatabaseManager& db_;
};

namespace test {
namespace {

static_assert(!std::is_constructible_v<SQLParam, bool>, "a bool must be passed as 1 or 0");
static_assert(!std::is_constructible_v<SQLParam, std::optional<bool>>);

constexpr std::string_view kKeyHex = "00112233445566778899aabbccddeeff0f1e2d3c4b5a69788796a5b4c3d2e1f0";
using Code = DatabaseError::Code;
const std::string kNotADatabase = "Failed to prepare statement: file is encrypted or is not a database";

// Expects `call` to raise a DatabaseError with this code and text.
#define EXPECT_DB_ERROR(call, kind, text)                                              \
  EXPECT_THAT([&] { call; }, testing::Throws<DatabaseError>(testing::AllOf(             \
                                 testing::Property(&DatabaseError::code, Code::kind), \
                                 testing::Property(&DatabaseError::what, std::string(text)))))

unsigned modeOf(const std::filesystem::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// A sandboxed DatabaseManager on <data home>/TolvoDesk/Vault/vault.db, whose folders do not exist yet.
class DatabaseTest : public SandboxedTest {
 protected:
  [[nodiscard]] std::filesystem::path vaultDir() const { return dataHome() / "TolvoDesk" / "Vault"; }
  [[nodiscard]] std::filesystem::path dbPath() const { return vaultDir() / "vault.db"; }
  void openDatabase(std::string_view key = kKeyHex) { db_.open(dbPath(), key); }

  // One row in every table for the session.
  void fillSession(const std::string& id) {
    db_.createSession({id, 100, std::nullopt, 100});
    db_.createChunk({"chunk-" + id, id, 100, {}, "c.qxv", {}, 65536, "hevc", 1920, 1080, 1.0, false, {}, {}, {}, 100});
    (void)db_.createRecordingInterval({0, id, 100, 200, RecordingState::recording, std::nullopt});
    (void)db_.createContextInterval({0, id, 100, 200, "org.example.app", "App", std::nullopt, std::nullopt});
    db_.createEvent({0, id, 150, EventType::sessionStarted, std::nullopt});
    db_.createPipelineJob({"job-" + id, id, 100, {}, {}, JobStatus::queued, JobType::summary, {}, {}});
    EXPECT_TRUE(db_.storeScreenText({"art-" + id, id, ArtifactKind::ocr, 100, 200, "chunk-" + id + ".ocr.qxv", 1},
                                    "chunk-" + id, {{"harbour lantern " + id, 150, 160}}));
    db_.createSummary({"sum-" + id, id, 100, 200, "local", "text", 300});
  }

  // The row count of every table for the session, as text ("111111111" after fillSession).
  std::string rowCounts(const std::string& id) {
    std::string counts;
    for (const char* table : {"sessions", "chunks", "recording_intervals", "context_intervals", "events",
                              "pipeline_jobs", "artifacts", "summaries", "screen_text_lines"}) {
      const std::string sql = std::string("SELECT COUNT(*) AS n FROM ") + table + " WHERE session_id = ?;";
      counts += std::to_string(peer_.query(sql, {id}).at(0).requiredInteger("n"));
    }
    return counts;
  }

  void insertArtifact(const SQLParams& values) {
    peer_.execute("INSERT INTO artifacts (artifact_id, session_id, kind, range_start_ms, range_end_ms, file_relpath, "
                  "created_at_ms) VALUES (?, ?, ?, ?, ?, ?, ?);",
                  values);
  }

  DatabaseManager db_;
  DatabaseManagerTestPeer peer_{db_};
};

// Open makes a private folder and private files, whatever the umask; rows never show in the
// database or its write-ahead log. An open that fails (wrong key, symbolic link, path too long)
// raises the exact error, changes no file and leaves any open connection. A later open tightens
// an existing file and keeps its rows.
TEST_F(DatabaseTest, OpenMakesPrivateEncryptedFilesAndFailedOpensChangeNothing) {
  const std::string title = "Quarterly-Payroll-Review-7781.xlsx";
  const mode_t oldMask = ::umask(0);
  openDatabase();
  (void)db_.createContextInterval({0, "s1", 1, 2, "org.example.sheets", "Sheets", title, "1"});
  ::umask(oldMask);
  EXPECT_EQ(modeOf(vaultDir()), 0700u);
  for (const char* name : {"vault.db", "vault.db-wal", "vault.db-shm"}) EXPECT_EQ(modeOf(vaultDir() / name), 0600u);
  const std::string wal = readText(vaultDir() / "vault.db-wal");
  ASSERT_GT(wal.size(), 4096u) << "the rows should be in the write-ahead log while open";
  EXPECT_EQ(wal.find(title), std::string::npos);
  db_.close();
  const std::string file = readText(dbPath());
  ASSERT_GT(file.size(), 4096u);
  EXPECT_EQ(file.find(title), std::string::npos);

  const std::string_view otherKey = "ffeeddccbbaa99887766554433221100f0e1d2c3b4a5968778695a4b3c2d1e0f";
  writeText(root() / "elsewhere.db", "untouched");
  std::filesystem::create_symlink(root() / "elsewhere.db", root() / "link.db");
  const std::string d(100, 'd');
  const std::tuple<std::filesystem::path, std::string_view, std::string> rows[] = {
      {dbPath(), otherKey, kNotADatabase},
      {root() / "link.db", kKeyHex, "open " + (root() / "link.db").string() + ": Too many levels of symbolic links"},
      {root() / d / d / d / d / d / d / "vault.db", kKeyHex, "Failed to open database: 14"},  // path too long
  };
  for (const auto& [path, key, error] : rows) {
    EXPECT_THAT([&] { db_.open(path, key); }, testing::ThrowsMessage<std::exception>(error));
    EXPECT_FALSE(db_.isOpen()) << path;
  }
  EXPECT_EQ(readText(root() / "elsewhere.db"), "untouched");
  EXPECT_EQ(readText(dbPath()), file);
  std::filesystem::permissions(dbPath(), std::filesystem::perms::others_read, std::filesystem::perm_options::add);
  openDatabase();
  EXPECT_EQ(modeOf(dbPath()), 0600u);
  EXPECT_DB_ERROR(openDatabase(otherKey), prepareFailed, kNotADatabase);
  EXPECT_EQ(db_.listContextIntervals("s1").at(0).windowTitle, title);  // rows kept, the open connection stays
}

// Statements need an open database, run inline on the queue and carry SQLite's messages. Texts
// that name no value read as a default and empty byte strings as absent; a duplicate key fails
// the write, a missing or mistyped required value the whole read.
TEST_F(DatabaseTest, StatementsRunInlineOnTheQueueAndFailWithSQLiteMessages) {
  EXPECT_DB_ERROR((void)db_.createRecordingInterval({}), notOpen, "Database is not open");
  db_.deleteSessions({});  // an empty list never touches the database
  openDatabase();
  EXPECT_EQ(peer_.onQueue([&] {
    db_.createSession({"q", 1, std::nullopt, 1});  // would wait for itself if it hopped onto the queue
    return db_.listSessions(5, 0).size();
  }), 1u);
  EXPECT_DB_ERROR(peer_.execute("SELEC 1;"), prepareFailed,
                  "Failed to prepare statement: near \"SELEC\": syntax error");
  EXPECT_DB_ERROR(peer_.execute("SELECT ?;", {1, 2}), executeFailed,
                  "Failed to execute statement: parameter 2: bind or column index out of range");
  // A query that fails after some rows raises instead of returning them.
  peer_.execute("CREATE TABLE numbers (n INTEGER);");
  peer_.execute("INSERT INTO numbers (n) VALUES (1), (?);", {std::numeric_limits<std::int64_t>::min()});
  EXPECT_DB_ERROR((void)peer_.query("SELECT abs(n) AS a FROM numbers ORDER BY rowid;"), queryFailed,
                  "Query failed: integer overflow");
  db_.createEvent({0, "s", 100, EventType::windowTitleChanged, Bytes{}});
  peer_.execute("INSERT INTO events (session_id, ts_ms, type) VALUES ('s', 150, 'Lid_Closed');");
  EXPECT_EQ(db_.listEvents("s", 100, 200), (std::vector<Event>{{1, "s", 100, EventType::windowTitleChanged, {}},
                                                                {2, "s", 150, EventType::error, std::nullopt}}));
  db_.createSession({"s1", 1, std::nullopt, 50});
  EXPECT_DB_ERROR(db_.createSession({"s1", 2, 3, 4}), executeFailed,
                  "Failed to execute statement: UNIQUE constraint failed: sessions.session_id");
  peer_.execute("INSERT INTO context_intervals (session_id, start_at_ms, end_at_ms, bundle_id, app_name) "
                "VALUES ('s', 3, 4, x'', 'Broken');");
  EXPECT_DB_ERROR((void)db_.listContextIntervals("s"), queryFailed, "Query failed: column bundle_id has no value");
  peer_.execute("INSERT INTO sessions (session_id, started_at_ms, created_at_ms) VALUES ('t', 'noon', 1);");
  EXPECT_DB_ERROR((void)db_.listSessions(10, 0), queryFailed,
                  "Query failed: column started_at_ms does not hold an integer");
}

// Each kind of record reads back whole, in its list order (sessions newest first, the rest by
// start or time), with its end set by its update; intervals get SQLite's row ids.
TEST_F(DatabaseTest, EveryRecordReadsBackWithAllFieldsInOrderAndGetsItsEnd) {
  openDatabase();
  for (std::int64_t start : {2, 4, 1, 3}) db_.createSession({"s" + std::to_string(start), start, std::nullopt, 50});
  db_.updateSessionEnded("s3", 99);
  EXPECT_EQ(db_.listSessions(2, 1), (std::vector<Session>{{"s3", 3, 99, 50}, {"s2", 2, std::nullopt, 50}}));

  const Chunk audio{"c1", "s", 1000, 1999, "s/c1.qxv", 123456789, 65536, "hevc", 3840, 2160, 29.97, true,
                    "aac", 48000, 2, 1001};
  Chunk open{"c2", "s", 2000, {}, "s/c2.qxv", {}, 65536, "h264", 1280, 720, 1.0, false, {}, {}, {}, 2001};
  db_.createChunk(open);
  db_.createChunk(audio);
  db_.updateChunkEnded("c2", 2999, 4096);
  open.endAtMs = 2999;
  open.mp4PlainLen = 4096;
  EXPECT_EQ(db_.listChunks("s"), (std::vector<Chunk>{audio, open}));

  EXPECT_EQ(db_.createRecordingInterval({77, "s", 20, 20, RecordingState::paused, PauseReason::lockScreen}), 1);
  EXPECT_EQ(db_.createRecordingInterval({77, "s", 10, 20, RecordingState::recording, std::nullopt}), 2);
  db_.updateRecordingIntervalEnd(1, 35);
  EXPECT_EQ(db_.listRecordingIntervals("s"),
            (std::vector<RecordingInterval>{{2, "s", 10, 20, RecordingState::recording, std::nullopt},
                                            {1, "s", 20, 35, RecordingState::paused, PauseReason::lockScreen}}));
  EXPECT_EQ(db_.createContextInterval({5, "s", 10, 10, "org.gnome.Terminal", "Terminal", "~/src", "42"}), 1);
  db_.updateContextIntervalEnd(1, 30);
  EXPECT_EQ(db_.listContextIntervals("s"),
            (std::vector<ContextInterval>{{1, "s", 10, 30, "org.gnome.Terminal", "Terminal", "~/src", "42"}}));

  // Events in an inclusive time range, summaries only when wholly inside theirs.
  for (std::int64_t ts : {201, 99}) db_.createEvent({0, "s", ts, EventType::appChanged, std::nullopt});
  db_.createEvent({0, "other", 150, EventType::sessionStarted, std::nullopt});
  db_.createEvent({999, "s", 200, EventType::appChanged, toBytes("{}")});
  db_.createEvent({0, "s", 100, EventType::lidClosed, std::nullopt});
  EXPECT_EQ(db_.listEvents("s", 100, 200), (std::vector<Event>{{5, "s", 100, EventType::lidClosed, {}},
                                                                {4, "s", 200, EventType::appChanged, toBytes("{}")}}));
  db_.createSummary({"B", "s", 300, 400, "remote", "later", 2});
  db_.createSummary({"A", "s", 100, 200, "local", "inside", 1});
  db_.createSummary({"C", "s", 150, 450, "local", "overlaps the end", 3});
  EXPECT_EQ(db_.listSummaries("s", 100, 400), (std::vector<Summary>{{"A", "s", 100, 200, "local", "inside", 1},
                                                                     {"B", "s", 300, 400, "remote", "later", 2}}));

  insertArtifact({"a3", "s", "summary", 1, 2, "s/a3.qxv", 30});
  insertArtifact({"a1", "s", "ocr", nullptr, nullptr, nullptr, 10});
  EXPECT_EQ(db_.listArtifacts("s"),
            (std::vector<Artifact>{{"a1", "s", ArtifactKind::ocr, {}, {}, {}, 10},
                                   {"a3", "s", ArtifactKind::summary, 1, 2, "s/a3.qxv", 30}}));
  EXPECT_EQ(db_.listArtifacts("s", ArtifactKind::summary).size(), 1u);

  const PipelineJob job{"J-1", "s", 10, 11, std::nullopt, JobStatus::running, JobType::ocr,
                        toBytes(R"({"preset":"brief"})"), "earlier failure"};
  db_.createPipelineJob(job);
  EXPECT_EQ(db_.getPipelineJob("J-1"), job);
  db_.updatePipelineJobStatus("J-1", JobStatus::done, std::nullopt, 30, std::nullopt);  // overwrites every column
  EXPECT_EQ(db_.getPipelineJob("J-1"), (PipelineJob{"J-1", "s", 10, std::nullopt, 30, JobStatus::done, JobType::ocr,
                                                     toBytes(R"({"preset":"brief"})"), std::nullopt}));
}

// A deletion that fails part way leaves every row; one that succeeds removes every row of the
// listed sessions and of no other.
TEST_F(DatabaseTest, DeleteSessionsRemovesEveryRowOfTheListedSessionsOrNothing) {
  openDatabase();
  for (const char* id : {"A", "B", "C"}) fillSession(id);
  peer_.execute("CREATE TRIGGER refuse BEFORE DELETE ON context_intervals WHEN old.session_id = 'B' BEGIN "
                "SELECT RAISE(ABORT, 'context delete refused'); END;");
  EXPECT_DB_ERROR(db_.deleteSessions({"A", "B"}), executeFailed, "Failed to execute statement: context delete refused");
  EXPECT_EQ(rowCounts("A") + rowCounts("B"), "111111111111111111");
  // The transaction is closed: later writes commit on their own and a new deletion works.
  db_.createSession({"D", 1, std::nullopt, 1});
  peer_.execute("DROP TRIGGER refuse;");
  db_.deleteSessions({"B", "A", "B", "nobody"});
  db_.close();
  openDatabase();
  EXPECT_EQ(rowCounts("A") + rowCounts("B") + rowCounts("C"), "000000000000000000111111111");
  EXPECT_TRUE(db_.getSession("D").has_value());
  // The full-text index lost the deleted sessions' lines with them.
  EXPECT_EQ(peer_.query("SELECT COUNT(*) AS n FROM screen_text_index;").at(0).requiredInteger("n"), 1);
  const auto hits = db_.searchText("lantern", std::nullopt, std::nullopt, 10, 0);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].sessionId, "C");
}

// Lines are found by all their words (case, accents, prefixes), newest first, inside the time
// bounds, page by page; storing a chunk again replaces its lines; whatever a person types is
// searched literally or refused with a reason, never read as query syntax.
TEST_F(DatabaseTest, SearchFindsLinesNewestFirstWithinBoundsAndRefusesWhatItCannotSearch) {
  openDatabase();
  db_.createSession({"s", 0, std::nullopt, 0});
  for (const char* chunk : {"c1", "c2", "c3"}) {
    db_.createChunk({chunk, "s", 0, 1, "c.qxv", 1, 65536, "h264", 8, 8, 1, false, {}, {}, {}, 0});
  }
  const auto store = [&](const std::string& chunk, const std::vector<IndexedTextLine>& lines) {
    EXPECT_TRUE(db_.storeScreenText({"a-" + chunk, "s", ArtifactKind::ocr, 0, 1, chunk + ".ocr.qxv", 1}, chunk, lines));
  };
  store("c1", {{"Invoice 4711 for Café Zürich", 1000, 5000}, {"OR NEAR zebra* \"quoted\"", 2000, 2000}});
  store("c2", {{"second invoice, paid", 9000, 9500}, {"unrelated", 9000, 9000}});
  std::vector<IndexedTextLine> many(1100, {"same millisecond", 20000, 20000});
  store("c3", many);

  const auto texts = [&](std::string_view query, std::optional<std::int64_t> start = {},
                         std::optional<std::int64_t> end = {}, std::int64_t limit = 10, std::int64_t offset = 0) {
    std::vector<std::string> found;
    for (const auto& hit : db_.searchText(query, start, end, limit, offset)) found.push_back(hit.text);
    return found;
  };
  EXPECT_THAT(texts("INVOICE"), testing::ElementsAre("second invoice, paid", "Invoice 4711 for Café Zürich"));
  EXPECT_THAT(texts("cafe zurich"), testing::ElementsAre("Invoice 4711 for Café Zürich"));
  EXPECT_THAT(texts("invo* 4711"), testing::ElementsAre("Invoice 4711 for Café Zürich"));
  EXPECT_THAT(texts("invoice", 5001), testing::ElementsAre("second invoice, paid"));
  EXPECT_THAT(texts("invoice", 4000, 8999), testing::ElementsAre("Invoice 4711 for Café Zürich"));
  EXPECT_THAT(texts("invoice", {}, {}, 1, 1), testing::ElementsAre("Invoice 4711 for Café Zürich"));
  EXPECT_EQ(texts("same", {}, {}, 1000).size(), 1000u);
  const auto hit = db_.searchText("zurich", {}, {}, 1, 0).at(0);
  EXPECT_EQ(hit.chunkId, "c1");
  EXPECT_EQ(hit.timestampMs, 1000);
  EXPECT_EQ(hit.lastSeenMs, 5000);
  EXPECT_EQ(hit.snippet, "Invoice 4711 for Café [Zürich]");
  // Operators, quotes and column filters are words like any other.
  EXPECT_THAT(texts("OR NEAR"), testing::ElementsAre("OR NEAR zebra* \"quoted\""));
  EXPECT_THAT(texts("\"quoted"), testing::ElementsAre("OR NEAR zebra* \"quoted\""));
  EXPECT_THAT(texts("text:invoice -paid"), testing::IsEmpty());
  EXPECT_THAT(texts("NEAR(zebra invoice)"), testing::IsEmpty());

  store("c1", {{"replaced line", 1000, 1000}});
  // Text of a chunk whose session was deleted meanwhile is not stored.
  EXPECT_FALSE(db_.storeScreenText({"a-x", "s", ArtifactKind::ocr, 0, 1, "x.ocr.qxv", 1}, "gone", {{"ghost", 1, 1}}));
  EXPECT_THAT(texts("ghost"), testing::IsEmpty());
  EXPECT_THAT(texts("zurich"), testing::IsEmpty());
  EXPECT_THAT(texts("replaced"), testing::ElementsAre("replaced line"));
  EXPECT_EQ(db_.listArtifacts("s", ArtifactKind::ocr).size(), 3u);

  const std::string tooLong(1001, 'a');
  for (const auto& [query, error] : std::vector<std::pair<std::string, std::string>>{
           {"", "The search query is empty"},
           {" \t ", "The search query is empty"},
           {"\"*:()", "The search query contains no letters or digits"},
           {tooLong, "The search query is longer than 1000 bytes"},
           {"a b c d e f g h i j k l m n o p q", "The search query has more than 16 words"},
           {"caf\xc3", "The search query is not valid UTF-8 text"}}) {
    try {
      (void)db_.searchText(query, {}, {}, 10, 0);
      ADD_FAILURE() << "no error for " << query;
    } catch (const TextSearchError& e) {
      EXPECT_EQ(std::string(e.what()), error);
    }
  }
}

// A helper process inserts events one by one and prints each committed count; it is killed
// with SIGKILL after 300. Every reported event is there, in an intact database.
TEST_F(DatabaseTest, RowsCommittedBeforeSigkillSurvive) {
  const std::string command = "exec " TOLVO_DB_CRASH_WRITER " " + dbPath().string() + " " + std::string(kKeyHex);
  FILE* out = ::popen(command.c_str(), "r");
  char line[32];
  ASSERT_TRUE(out != nullptr && std::fgets(line, sizeof line, out) != nullptr);
  const pid_t pid = std::stoi(line);  // its process id, then "N\n" after each committed insert
  std::int64_t reported = 0;
  while (reported < 300 && std::fgets(line, sizeof line, out) != nullptr) reported = std::stoll(line);
  ::kill(pid, SIGKILL);
  const int status = ::pclose(out);
  ASSERT_TRUE(reported >= 300 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "stopped at " << reported;

  openDatabase();
  EXPECT_EQ(peer_.query("PRAGMA integrity_check;").at(0).text("integrity_check"), "ok");
  const auto events = db_.listEvents("crash", 1, reported);
  ASSERT_EQ(events.size(), static_cast<std::size_t>(reported));
  EXPECT_EQ(events.back().payload, toBytes("payload " + std::to_string(reported)));
}

}  // namespace
}  // namespace test
}  // namespace tolvo
