// tolvoctl on recordings seeded into the real service's vault: the sessions table, `chunks
// export` decrypting a chunk file into a private MP4 or refusing with the reason, deletion;
// `frame` writing the picture shown at a time, `search` finding the text seen on screen.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "crypto/key_manager.h"
#include "crypto/qxv_writer.h"
#include "db/database_manager.h"
#include "real_service.h"
#include "recording/fragmented_mp4_muxer.h"
#include "recording/video_encoder.h"
#include "support/child_process.h"

namespace tolvo::test {
namespace {

using Json = nlohmann::json;

using RecordedDataTest = RealServiceTest;

Chunk chunk(const std::string& id, const std::string& relpath, std::optional<std::int64_t> length,
            std::int64_t startAtMs = 0, std::optional<std::int64_t> endAtMs = std::nullopt) {
  Chunk c;
  c.id = id;
  c.sessionId = "s-1";
  c.startAtMs = startAtMs;
  c.endAtMs = endAtMs;
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

struct Muxing : VideoEncoderDelegate {
  void videoEncoder(VideoEncoder&, const EncodedSample& sample, bool) override { muxer.addVideoSample(sample); }
  FragmentedMP4Muxer muxer;
};

TEST_F(RecordedDataTest, FrameAndSearchShowWhatWasOnScreenWhen) {
  // Session s-1 (1 s to 20 s): chunk c1 (its file in root()) covers 1 s to 4 s, one solid colour
  // from its start and another from 2 s on; chunk c2, still open from 5 s, showed two lines of text.
  const SymmetricKey master = SymmetricKey::random();
  KeyManager keys;
  keys.setMasterKey(master);
  std::filesystem::create_directories(vaultDir());
  QXVWriter writer(root() / "c1.qxv", "c1", keys.deriveChunkKey(master, "c1"));
  auto muxing = std::make_shared<Muxing>();
  VideoEncoder video("h264");
  video.setDelegate(muxing);
  video.setupSession(320, 240, 1, 0.9);
  muxing->muxer.startNewSegment(320, 240, 1, false, [&](ByteView bytes) { writer.write(bytes); });
  const std::uint8_t colours[2][3] = {{200, 40, 40}, {30, 160, 200}};  // RGB
  for (int i = 0; i < 2; ++i) {
    PixelBuffer picture{320, 240, 320 * 4, Bytes(320 * 240 * 4, 255)};
    for (std::size_t p = 0; p < picture.bgra.size(); ++p) picture.bgra[p] = p % 4 < 3 ? colours[i][2 - p % 4] : 255;
    video.encode(picture, MediaTime{} + std::chrono::seconds(2 * i));
  }
  ASSERT_TRUE(muxing->muxer.finalize());
  DatabaseManager db;
  db.open(vaultDir() / "vault.db", *keys.getDBKeyHex());
  db.createSession({"s-1", 1000, 20000, 1000});
  db.createChunk(chunk("c1", "c1.qxv", writer.finalize(), 1000, 4000));
  db.createChunk(chunk("c2", "c2.qxv", std::nullopt, 5000));
  ASSERT_TRUE(db.storeScreenText({"a1", "s-1", ArtifactKind::ocr, 1000, 9000, std::nullopt, 9000}, "c2",
                                 {{"Quarterly report draft", 6000, 8000}, {"Unrelated line", 7000, 9000}}));
  db.close();
  start();
  ASSERT_TRUE(TolvoClient(socketPath()).syncUnlockedVault(master.toData()).ok);

  const auto out = root() / "shown.png";
  const auto frameAt = [&](const std::string& time) {
    return ctl("frame --at " + time + " -o " + out.string() + " --chunks-dir " + root().string());
  };
  for (int i = 0; i < 2; ++i) {  // at 1.5 s the first picture (shown from 1 s), at 3.999 s the second (from 3 s)
    EXPECT_EQ(frameAt(i == 0 ? "1500 --session s-1" : "3999"), (CtlResult{0, "Wrote the 320x240 picture shown from 1970-01-01 00:00:0" +
                                                                 std::to_string(1 + 2 * i) + " to " + out.string() + "\n", ""}));
    const auto rgb = runChild({"ffmpeg", "-v", "error", "-i", out.string(), "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
    ASSERT_EQ(rgb.out.size(), 320u * 240 * 3) << rgb.err;
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(std::uint8_t(rgb.out[(120 * 320 + 160) * 3 + c]), colours[i][c], 12) << i;
  }
  EXPECT_EQ(std::filesystem::status(out).permissions(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  EXPECT_EQ(frameAt("4000"), (CtlResult{1, "", "tolvoctl: Nothing was recorded at 1970-01-01 00:00:04\n"}));
  EXPECT_NE(frameAt("6000").err.find(" 00:00:06 is in chunk c2, which is not finished yet (still being recorded"), std::string::npos);
  EXPECT_EQ(frameAt("1500 --session s-2").err, "tolvoctl: Nothing was recorded at 1970-01-01 00:00:01 in session s-2\n");

  EXPECT_EQ(ctl("search REPORT").out, "SEEN                 SESSION  TEXT\n1970-01-01 00:00:06  s-1      Quarterly [report] draft\n");
  EXPECT_EQ(Json::parse(ctl("--json search 'quarter*' --until 1970-01-01T00:00:06Z").out), Json::parse(R"([{"sessionId":
      "s-1", "chunkId": "c2", "timestampMs": 6000, "lastSeenMs": 8000, "text": "Quarterly report draft", "snippet": "[Quarterly] report draft"}])"));
  EXPECT_EQ(ctl("search report --since 1970-01-01T00:00:09Z").out, "No matches.\n");
  EXPECT_EQ(ctl("search '\" ( * ) -:'"), (CtlResult{1, "", "tolvoctl: The search query contains no letters or digits\n"}));
}

}  // namespace
}  // namespace tolvo::test
