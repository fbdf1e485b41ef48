// tolvoctl on recordings seeded into the real service's vault: the sessions table, `chunks
// export` decrypting a chunk file into a private MP4 or refusing with the reason, deletion.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "crypto/key_manager.h"
#include "crypto/qxv_writer.h"
#include "db/database_manager.h"
#include "real_service.h"

namespace tolvo::test {
namespace {

using Json = nlohmann::json;

using RecordedDataTest = RealServiceTest;

Chunk chunk(const std::string& id, const std::string& relpath, std::optional<std::int64_t> length) {
  Chunk c;
  c.id = id;
  c.sessionId = "s-1";
  c.fileRelpath = relpath;
  c.mp4PlainLen = length;  // set once the chunk is finished
  return c;
}

TEST_F(RecordedDataTest, SessionsAreListedChunksExportedOrRefusedAndSessionsDeleted) {
  // Before the service starts, the vault database under a master key: session s-1 holds chunk
  // c1 (two full pages and a partial one), chunk "open" still being written and chunk "evil"
  // whose path leaves the chunks folder; session s-2 is still open.
  const SymmetricKey master = SymmetricKey::random();
  KeyManager keys;
  keys.setMasterKey(master);
  DatabaseManager db;
  std::filesystem::create_directories(vaultDir());
  db.open(vaultDir() / "vault.db", *keys.getDBKeyHex());
  db.createSession({"s-1", 1000, 3723000, 1000});
  db.createSession({"s-2", 5000, std::nullopt, 5000});
  db.createChunk(chunk("c1", "s-1/c1.qxv", 150000));
  db.createChunk(chunk("open", "s-1/open.qxv", std::nullopt));
  db.createChunk(chunk("evil", "../../etc/passwd", 10));
  db.close();
  Bytes plaintext(150000);
  for (std::size_t i = 0; i < plaintext.size(); ++i) plaintext[i] = static_cast<std::uint8_t>(i * 7 + 3);
  const auto chunks = vaultDir() / "Chunks";
  const auto file = chunks / "s-1" / "c1.qxv";
  std::filesystem::create_directories(file.parent_path());
  QXVWriter writer(file, "c1", keys.deriveChunkKey(master, "c1"));
  writer.write(plaintext);
  (void)writer.finalize();
  start();
  ASSERT_TRUE(TolvoClient(socketPath()).syncUnlockedVault(master.toData()).ok);

  const std::string table =
      "SESSION  STARTED              ENDED                DURATION\n"
      "s-2      1970-01-01 00:00:05  (open)               -\n"
      "s-1      1970-01-01 00:00:01  1970-01-01 01:02:03  1h 02m 02s\n";
  EXPECT_EQ(ctl("sessions list"), (CtlResult{0, table, ""}));
  EXPECT_EQ(Json::parse(ctl("--json sessions list --limit 1 --offset 1").out),
            Json::parse(R"([{"id":"s-1","startedAtMs":1000,"endedAtMs":3723000,"createdAtMs":1000}])"));

  const auto exportTo = [&](const std::string& chunkId, const std::filesystem::path& out) {
    return ctl("chunks export s-1 " + chunkId + " " + out.string() + " --chunks-dir " + chunks.string());
  };
  const auto out = root() / "c1.mp4";
  EXPECT_EQ(exportTo("c1", out), (CtlResult{0, "Wrote 146.5 KiB to " + out.string() + "\n", ""}));
  EXPECT_EQ(readText(out), toString(plaintext));
  struct stat st {};
  ASSERT_EQ(::stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  const auto refused = root() / "refused.mp4";
  EXPECT_EQ(exportTo("zzz", refused), (CtlResult{1, "", "tolvoctl: session s-1 has no chunk zzz\n"}));
  EXPECT_NE(exportTo("open", refused).err.find("chunk open is not finished yet"), std::string::npos);
  EXPECT_EQ(exportTo("evil", refused), (CtlResult{1, "", "tolvoctl: chunk evil has an unsafe file path: ../../etc/passwd\n"}));
  // One flipped ciphertext byte: authentication fails and nothing is written.
  std::string bytes = readText(file);
  bytes[64 + 100] = static_cast<char>(bytes[64 + 100] ^ 0x01);
  writeText(file, bytes);
  const auto corrupt = exportTo("c1", refused);
  EXPECT_EQ(corrupt.exitCode, 1);
  EXPECT_EQ(corrupt.err.rfind("tolvoctl: cannot decrypt " + file.string() + ": ", 0), 0u) << corrupt.err;
  EXPECT_FALSE(std::filesystem::exists(refused));

  EXPECT_EQ(ctl("sessions delete s-1 s-2"), (CtlResult{0, "Deleted 2 sessions.\n", ""}));
  EXPECT_EQ(ctl("sessions list").out, "No sessions.\n");
}

}  // namespace
}  // namespace tolvo::test
