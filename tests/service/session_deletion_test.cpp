#include "service/session_deletion.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "db/database_manager.h"
#include "support/sandbox.h"

namespace tolvo {
namespace {

namespace stdfs = std::filesystem;
constexpr const char* kKey = "ffeeddccbbaa99887766554433221100ffeeddccbbaa99887766554433221100";

class SessionDeletionTest : public test::SandboxedTest {
 protected:
  SessionDeletionTest() {
    folders_ = {root() / "Chunks", root() / "Artifacts"};
    stdfs::create_directories(folders_.chunks);
    stdfs::create_directories(folders_.artifacts);
    db_.open(root() / "vault.db", kKey);
  }
  ~SessionDeletionTest() override { db_.close(); }

  void addSessionWithChunk(const std::string& session, const std::string& chunkId, bool withFile = true) {
    db_.createSession({session, 1, 2, 1});
    Chunk c;
    c.id = chunkId;
    c.sessionId = session;
    c.startAtMs = 1;
    c.fileRelpath = chunkId + ".qxv";
    c.pageSize = 65536;
    c.codec = "hevc";
    c.width = c.height = 2;
    c.fps = 1;
    db_.createChunk(c);
    if (withFile) test::writeText(folders_.chunks / c.fileRelpath, "sealed");
  }

  DatabaseManager db_;
  VaultFolders folders_;
  RecordingStatus idle_;
};

TEST_F(SessionDeletionTest, DeletesRowsThenFilesAndCountsDistinctIds) {
  addSessionWithChunk("a", "ca");
  addSessionWithChunk("b", "cb", /*withFile=*/false);
  addSessionWithChunk("keep", "ck");
  EXPECT_EQ(deleteFinishedSessions(db_, idle_, folders_, {"a", "a", "b", "missing"}), 3);
  EXPECT_FALSE(db_.getSession("a"));
  EXPECT_FALSE(db_.getSession("b"));
  EXPECT_TRUE(db_.listChunks("a").empty());
  EXPECT_FALSE(stdfs::exists(folders_.chunks / "ca.qxv"));
  EXPECT_TRUE(stdfs::exists(folders_.chunks / "ck.qxv"));
  EXPECT_TRUE(db_.getSession("keep"));
  EXPECT_EQ(deleteFinishedSessions(db_, idle_, folders_, {}), 0);
  EXPECT_EQ(deleteFinishedSessions(db_, idle_, folders_, {"x", "x", "y"}), 2);
}

TEST_F(SessionDeletionTest, TheSessionBeingRecordedIsRefusedAndNothingIsDeleted) {
  addSessionWithChunk("live", "cl");
  addSessionWithChunk("old", "co");
  RecordingStatus recording;
  recording.state = RecordingStatus::State::paused;
  recording.currentSessionId = "live";
  try {
    (void)deleteFinishedSessions(db_, recording, folders_, {"old", "live"});
    FAIL() << "deleting the live session succeeded";
  } catch (const DeleteSessionsError& e) {
    EXPECT_STREQ(e.what(), "Active recordings can't be deleted while recording.");
    EXPECT_EQ(e.code(), 1);
  }
  EXPECT_TRUE(db_.getSession("old"));
  EXPECT_TRUE(stdfs::exists(folders_.chunks / "co.qxv"));
  recording.state = RecordingStatus::State::idle;
  EXPECT_EQ(deleteFinishedSessions(db_, recording, folders_, {"old", "live"}), 2);
  EXPECT_FALSE(db_.getSession("live"));
}

TEST_F(SessionDeletionTest, RelativePathsLeavingTheVaultAreNeverRemoved) {
  addSessionWithChunk("s", "c");
  const auto outside = root() / "precious.txt";
  test::writeText(outside, "keep me");
  Chunk evil;
  evil.id = "evil";
  evil.sessionId = "s";
  evil.fileRelpath = "../precious.txt";
  evil.pageSize = 1;
  evil.codec = "x";
  db_.createChunk(evil);
  EXPECT_EQ(deleteFinishedSessions(db_, idle_, folders_, {"s"}), 1);
  EXPECT_EQ(test::readText(outside), "keep me");
  EXPECT_FALSE(stdfs::exists(folders_.chunks / "c.qxv"));
}

TEST_F(SessionDeletionTest, DatabaseClosedRaisesBeforeAnyFileIsTouched) {
  addSessionWithChunk("s", "c");
  db_.close();
  EXPECT_THROW((void)deleteFinishedSessions(db_, idle_, folders_, {"s"}), std::exception);
  EXPECT_TRUE(stdfs::exists(folders_.chunks / "c.qxv"));
}

}  // namespace
}  // namespace tolvo
