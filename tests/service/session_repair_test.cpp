#include "service/session_repair.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "db/database_manager.h"
#include "support/sandbox.h"

namespace tolvo {
namespace {

namespace stdfs = std::filesystem;

class SessionRepairTest : public test::SandboxedTest {
 protected:
  SessionRepairTest() {
    stdfs::create_directories(chunks_);
    db_.open(root() / "vault.db", "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff");
  }
  ~SessionRepairTest() override { db_.close(); }

  static Chunk chunk(const std::string& id, std::int64_t start, std::optional<std::int64_t> end, std::int64_t pageSize = 65536) {
    Chunk c;
    c.id = id;
    c.sessionId = "s1";
    c.startAtMs = start;
    c.endAtMs = end;
    c.fileRelpath = id + ".qxv";
    c.pageSize = pageSize;
    return c;
  }
  void makeFile(const std::string& name, std::uintmax_t size) {
    test::writeText(chunks_ / name, "");
    stdfs::resize_file(chunks_ / name, size);
  }

  stdfs::path chunks_ = root() / "Chunks";
  DatabaseManager db_;
};

TEST_F(SessionRepairTest, EstimatedPlaintextLengthInvertsTheFileLayout) {
  const auto c = chunk("c1", 0, std::nullopt);
  // 64-byte header, then pages of 65536 bytes each followed by a 16-byte tag.
  const std::pair<std::uintmax_t, std::int64_t> rows[] = {
      {64 + 2 * (65536 + 16) + 116, 131172}, {64 + 65552, 65536}, {64 + 17, 1}, {64 + 16, 0}, {64, 0}, {10, 0}};
  for (const auto& [size, expected] : rows) {
    makeFile("c1.qxv", size);
    EXPECT_EQ(estimatedPlaintextLength(c, chunks_), expected) << size;
  }
  makeFile("c1.qxv", 64 + 3 * 17);
  EXPECT_EQ(estimatedPlaintextLength(chunk("c1", 0, std::nullopt, 0), chunks_), 3) << "page size 0 counts as 1";
  auto escaping = c;
  escaping.fileRelpath = "../vault.db";
  EXPECT_EQ(estimatedPlaintextLength(escaping, chunks_), 0) << "paths leaving the chunks folder are not read";
}

TEST_F(SessionRepairTest, ClosesOpenSessionChunksAndLastIntervalsAtOneEndTime) {
  db_.createSession({"s1", 1000, std::nullopt, 1000});
  db_.createChunk(chunk("done", 1000, 2000));
  db_.createChunk(chunk("open", 2000, std::nullopt));
  makeFile("open.qxv", 64 + 65552 + 116);
  (void)db_.createRecordingInterval({0, "s1", 1000, 1500, RecordingState::recording, std::nullopt});
  (void)db_.createRecordingInterval({0, "s1", 1500, 1600, RecordingState::paused, PauseReason::user});
  (void)db_.createContextInterval({0, "s1", 900, 9000, "org.early", "Early", std::nullopt, std::nullopt});
  (void)db_.createContextInterval({0, "s1", 1000, 1700, "org.example", "Example", std::nullopt, "1"});

  // The stored end 9000 is later than "now" (5000), so it is the end time.
  EXPECT_EQ(repairInterruptedSessionsInDatabase(db_, chunks_, 5000), 1);
  EXPECT_EQ(db_.getSession("s1")->endedAtMs, 9000);
  const auto chunks = db_.listChunks("s1");
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0], chunk("done", 1000, 2000)) << "finished chunks are left alone";
  EXPECT_EQ(chunks[1].endAtMs, 9000);
  EXPECT_EQ(chunks[1].mp4PlainLen, 65536 + 100);
  EXPECT_EQ(db_.listRecordingIntervals("s1").at(0).endAtMs, 1500) << "only the last interval is stretched";
  EXPECT_EQ(db_.listRecordingIntervals("s1").at(1).endAtMs, 9000);
  EXPECT_EQ(db_.listContextIntervals("s1").at(1).endAtMs, 9000);
  std::vector<std::pair<EventType, std::int64_t>> events;
  for (const auto& e : db_.listEvents("s1", INT64_MIN, INT64_MAX)) events.emplace_back(e.type, e.tsMs);
  EXPECT_EQ(events, (decltype(events){{EventType::chunkEnded, 9000}, {EventType::sessionEnded, 9000}}));

  EXPECT_EQ(repairInterruptedSessionsInDatabase(db_, chunks_, 6000), 0) << "a second run finds nothing";
  EXPECT_EQ(db_.listEvents("s1", INT64_MIN, INT64_MAX).size(), 2u);
}

TEST_F(SessionRepairTest, NowIsTheEndWhenNothingLaterIsStoredAndOnlyTheThousandNewestAreExamined) {
  db_.createSession({"oldest-open", 1, std::nullopt, 1});
  for (int i = 0; i < 1000; ++i) db_.createSession({"done-" + std::to_string(i), 1000 + i, 2000 + i, 1000 + i});
  db_.createSession({"newest-open", 5000, std::nullopt, 5000});
  auto gone = chunk("gone", 5000, std::nullopt);  // its file is missing
  gone.sessionId = "newest-open";
  db_.createChunk(gone);
  EXPECT_EQ(repairInterruptedSessionsInDatabase(db_, chunks_, 77777), 1);
  EXPECT_EQ(db_.getSession("newest-open")->endedAtMs, 77777);
  EXPECT_EQ(db_.listChunks("newest-open").at(0).mp4PlainLen, 0);
  EXPECT_FALSE(db_.getSession("oldest-open")->endedAtMs.has_value());
}

}  // namespace
}  // namespace tolvo
