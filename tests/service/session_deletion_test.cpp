#include "service/session_deletion.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "db/database_manager.h"
#include "support/sandbox.h"

namespace tolvo {
namespace {

namespace stdfs = std::filesystem;

class SessionDeletionTest : public test::SandboxedTest {
 protected:
  SessionDeletionTest() {
    stdfs::create_directories(folders_.chunks);
    stdfs::create_directories(folders_.artifacts);
    db_.open(root() / "vault.db", "ffeeddccbbaa99887766554433221100ffeeddccbbaa99887766554433221100");
  }
  ~SessionDeletionTest() override { db_.close(); }

  // A finished session with one chunk whose file is at `relpath` under the chunks folder.
  void addSession(const std::string& session, const std::string& relpath, bool withFile = true) {
    db_.createSession({session, 1, 2, 1});
    Chunk c;
    c.id = "chunk-" + session;
    c.sessionId = session;
    c.fileRelpath = relpath;
    db_.createChunk(c);
    if (withFile) test::writeText(folders_.chunks / relpath, "sealed");
  }

  DatabaseManager db_;
  VaultFolders folders_{root() / "Chunks", root() / "Artifacts"};
  RecordingStatus idle_;
};

TEST_F(SessionDeletionTest, RefusesTheSessionBeingRecordedThenDeletesRowsAndFilesInsideTheVault) {
  addSession("live", "live.qxv");
  addSession("gone", "gone.qxv", /*withFile=*/false);
  addSession("keep", "keep.qxv");
  addSession("evil", "../precious.txt");  // a path leaving the vault: its file is never removed
  RecordingStatus recording;
  recording.state = RecordingStatus::State::paused;
  recording.currentSessionId = "live";
  try {
    (void)deleteFinishedSessions(db_, recording, folders_, {"gone", "live"});
    ADD_FAILURE() << "deleting the live session succeeded";
  } catch (const DeleteSessionsError& e) {
    EXPECT_STREQ(e.what(), "Active recordings can't be deleted while recording.");
  }
  EXPECT_TRUE(db_.getSession("gone"));
  EXPECT_TRUE(stdfs::exists(folders_.chunks / "live.qxv"));

  recording.state = RecordingStatus::State::idle;
  EXPECT_EQ(deleteFinishedSessions(db_, recording, folders_, {"live", "live", "gone", "evil", "missing"}), 4);
  EXPECT_FALSE(db_.getSession("live"));
  EXPECT_TRUE(db_.listChunks("live").empty());
  EXPECT_FALSE(stdfs::exists(folders_.chunks / "live.qxv"));
  EXPECT_EQ(test::readText(root() / "precious.txt"), "sealed");
  EXPECT_TRUE(db_.getSession("keep"));
  EXPECT_TRUE(stdfs::exists(folders_.chunks / "keep.qxv"));

  // A database error is raised before any file is touched.
  db_.close();
  EXPECT_THROW((void)deleteFinishedSessions(db_, idle_, folders_, {"keep"}), std::exception);
  EXPECT_TRUE(stdfs::exists(folders_.chunks / "keep.qxv"));
}

}  // namespace
}  // namespace tolvo
