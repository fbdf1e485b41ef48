#include "service/session_repair.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "db/database_manager.h"
#include "support/sandbox.h"

namespace tolvo {
namespace {

namespace stdfs = std::filesystem;
constexpr const char* kKey = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

class SessionRepairTest : public test::SandboxedTest {
 protected:
  SessionRepairTest() {
    chunks_ = root() / "Chunks";
    stdfs::create_directories(chunks_);
    db_.open(root() / "vault.db", kKey);
  }
  ~SessionRepairTest() override { db_.close(); }

  Chunk chunk(const std::string& id, const std::string& session, std::int64_t start, std::optional<std::int64_t> end,
              std::int64_t pageSize = 65536) {
    Chunk c;
    c.id = id;
    c.sessionId = session;
    c.startAtMs = start;
    c.endAtMs = end;
    c.fileRelpath = id + ".qxv";
    c.pageSize = pageSize;
    c.codec = "hevc";
    c.width = 1280;
    c.height = 720;
    c.fps = 1;
    c.createdAtMs = start;
    return c;
  }
  void makeFile(const std::string& name, std::uintmax_t size) {
    test::writeText(chunks_ / name, "");
    stdfs::resize_file(chunks_ / name, size);
  }
  std::vector<Event> eventsOf(const std::string& session) { return db_.listEvents(session, INT64_MIN, INT64_MAX); }

  DatabaseManager db_;
  stdfs::path chunks_;
};

TEST_F(SessionRepairTest, EstimatedPlaintextLengthInvertsTheFileLayout) {
  const auto c = chunk("c1", "s", 0, std::nullopt);
  const struct {
    std::uintmax_t size;
    std::int64_t expected;
  } rows[] = {
      {64 + 2 * (65536 + 16) + 116, 131172},  // two full pages and a 100-byte page
      {64, 0},
      {64 + 10, 0},                 // a remainder no longer than a tag counts as nothing
      {64 + 16, 0},
      {64 + 17, 1},
      {64 + 65552, 65536},
      {10, 0},                      // shorter than the header
  };
  for (const auto& row : rows) {
    makeFile("c1.qxv", row.size);
    EXPECT_EQ(estimatedPlaintextLength(c, chunks_), row.expected) << row.size;
  }
  stdfs::remove(chunks_ / "c1.qxv");
  EXPECT_EQ(estimatedPlaintextLength(c, chunks_), 0);
  makeFile("c1.qxv", 64 + 3 * 17);
  EXPECT_EQ(estimatedPlaintextLength(chunk("c1", "s", 0, std::nullopt, 0), chunks_), 3) << "page size 0 counts as 1";
  auto escaping = c;
  escaping.fileRelpath = "../vault.db";
  EXPECT_EQ(estimatedPlaintextLength(escaping, chunks_), 0) << "paths leaving the chunks folder are not read";
}

TEST_F(SessionRepairTest, ClosesOpenSessionChunksAndLastIntervalsAtOneEndTime) {
  db_.createSession({"s1", 1000, std::nullopt, 1000});
  db_.createChunk(chunk("done", "s1", 1000, 2000));
  db_.createChunk(chunk("open", "s1", 2000, std::nullopt));
  makeFile("open.qxv", 64 + 65552 + 116);
  const auto early = db_.createRecordingInterval({0, "s1", 1000, 1500, RecordingState::recording, std::nullopt});
  const auto last = db_.createRecordingInterval({0, "s1", 1500, 1600, RecordingState::paused, PauseReason::user});
  const auto ctx = db_.createContextInterval({0, "s1", 1000, 1700, "org.example", "Example", std::nullopt, "1"});
  // A stored time later than "now" wins.
  const std::int64_t now = 5000;
  (void)db_.createContextInterval({0, "s1", 900, 9000, "org.early", "Early", std::nullopt, std::nullopt});

  EXPECT_EQ(repairInterruptedSessionsInDatabase(db_, chunks_, now), 1);

  const std::int64_t e = 9000;
  EXPECT_EQ(db_.getSession("s1")->endedAtMs, e);
  auto chunks = db_.listChunks("s1");
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0].endAtMs, 2000);
  EXPECT_FALSE(chunks[0].mp4PlainLen.has_value()) << "finished chunks are left alone";
  EXPECT_EQ(chunks[1].endAtMs, e);
  EXPECT_EQ(chunks[1].mp4PlainLen, 65536 + 100);
  auto intervals = db_.listRecordingIntervals("s1");
  EXPECT_EQ(intervals[0].id, early);
  EXPECT_EQ(intervals[0].endAtMs, 1500);
  EXPECT_EQ(intervals[1].id, last);
  EXPECT_EQ(intervals[1].endAtMs, e);
  auto contexts = db_.listContextIntervals("s1");
  ASSERT_EQ(contexts.size(), 2u);
  EXPECT_EQ(contexts[1].id, ctx);
  EXPECT_EQ(contexts[1].endAtMs, e);
  auto events = eventsOf("s1");
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].type, EventType::chunkEnded);
  EXPECT_EQ(events[1].type, EventType::sessionEnded);
  EXPECT_EQ(events[0].tsMs, e);
  EXPECT_EQ(events[1].tsMs, e);
  EXPECT_FALSE(events[0].payload.has_value());

  EXPECT_EQ(repairInterruptedSessionsInDatabase(db_, chunks_, now + 1000), 0) << "a second run finds nothing";
  EXPECT_EQ(eventsOf("s1").size(), 2u);
}

TEST_F(SessionRepairTest, NowIsTheEndWhenNothingLaterIsStoredAndMissingFilesGiveZero) {
  db_.createSession({"s", 100, std::nullopt, 100});
  db_.createChunk(chunk("gone", "s", 100, std::nullopt));
  (void)db_.createRecordingInterval({0, "s", 100, 99999, RecordingState::recording, std::nullopt});
  EXPECT_EQ(repairInterruptedSessionsInDatabase(db_, chunks_, 50000), 1);
  EXPECT_EQ(db_.getSession("s")->endedAtMs, 99999);
  EXPECT_EQ(db_.listChunks("s")[0].mp4PlainLen, 0);
  EXPECT_EQ(db_.listRecordingIntervals("s")[0].endAtMs, 99999) << "an end at or past E stays";

  db_.createSession({"t", 100, std::nullopt, 100});
  EXPECT_EQ(repairInterruptedSessionsInDatabase(db_, chunks_, 77777), 1);
  EXPECT_EQ(db_.getSession("t")->endedAtMs, 77777);
}

TEST_F(SessionRepairTest, OnlyTheThousandNewestSessionsAreExamined) {
  db_.createSession({"oldest-open", 1, std::nullopt, 1});
  for (int i = 0; i < 1000; ++i) db_.createSession({"s" + std::to_string(i), 1000 + i, 2000 + i, 1000 + i});
  db_.createSession({"newest-open", 5000, std::nullopt, 5000});
  EXPECT_EQ(repairInterruptedSessionsInDatabase(db_, chunks_, 6000), 1);
  EXPECT_TRUE(db_.getSession("newest-open")->endedAtMs.has_value());
  EXPECT_FALSE(db_.getSession("oldest-open")->endedAtMs.has_value());
}

}  // namespace
}  // namespace tolvo
