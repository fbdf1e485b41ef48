#include "client/tolvoctl/chunk_export.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/base64.h"
#include "crypto/qxv_writer.h"
#include "crypto/symmetric_key.h"
#include "service/scripted_handler.h"
#include "service/service_listener.h"
#include "support/sandbox.h"

namespace tolvo::test {
namespace {

using Json = nlohmann::json;

// A service that knows one session with one finished chunk and one still being written.
class ChunkExportTest : public SandboxedTest {
 protected:
  ChunkExportTest() : script_(std::make_shared<Script>()), key_(Bytes(32, 0x5C)) {
    for (std::size_t i = 0; i < plaintext_.size(); ++i) plaintext_[i] = static_cast<std::uint8_t>(i * 7 + 3);
    chunksDir_ = root() / "Chunks";
    std::filesystem::create_directories(chunksDir_ / "sess");
    QXVWriter writer(chunksDir_ / "sess" / "c1.qxv", "c1", key_);
    writer.write(plaintext_);
    EXPECT_EQ(writer.finalize(), static_cast<std::int64_t>(plaintext_.size()));

    script_->methods["listChunks"] = [this](const RpcParams& p, RpcReply reply) {
      EXPECT_EQ(p.text("sessionId"), "sess");
      Json chunks = Json::array();
      chunks.push_back(chunkJson("c1", relpath_, static_cast<std::int64_t>(plaintext_.size())));
      chunks.push_back(chunkJson("open", "sess/open.qxv", std::nullopt));
      reply.send({{"chunks", base64Encode(asBytes(chunks.dump()))}, {"error", nullptr}});
    };
    script_->methods["getChunkKey"] = [this](const RpcParams& p, RpcReply reply) {
      ++keyRequests_;
      if (locked_) return reply.send({{"key", nullptr}, {"error", "Vault is locked"}});
      EXPECT_EQ(p.text("chunkId"), "c1");
      reply.send({{"key", base64Encode(key_.toData())}, {"error", nullptr}});
    };
    listener_ = std::make_unique<ServiceListener>(factoryFor(script_));
    listener_->bindSocket(tmp() / "s" / "recorder.sock");
    listener_->start();
    client_ = std::make_unique<TolvoClient>(tmp() / "s" / "recorder.sock");
  }

  static Json chunkJson(const std::string& id, const std::string& relpath, std::optional<std::int64_t> length) {
    Json c{{"id", id},        {"sessionId", "sess"}, {"startAtMs", 1000}, {"fileRelpath", relpath},
           {"pageSize", 65536}, {"codec", "hevc"},    {"width", 1280},     {"height", 720},
           {"fps", 1.0},        {"hasAudio", false},  {"createdAtMs", 1000}};
    if (length) {
      c["mp4PlainLen"] = *length;
      c["endAtMs"] = 2000;
    }
    return c;
  }

  std::string exportError(std::string_view chunk, const std::filesystem::path& out) {
    try {
      (void)ctl::exportChunk(*client_, token_, "sess", chunk, out, chunksDir_);
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "no error";
  }

  std::shared_ptr<Script> script_;
  SymmetricKey key_;
  Bytes plaintext_ = Bytes(150000);  // two full pages and a partial one
  std::filesystem::path chunksDir_;
  std::string relpath_ = "sess/c1.qxv";
  bool locked_ = false;
  int keyRequests_ = 0;
  UISessionToken token_{"TOKEN", {}, {}};
  std::unique_ptr<ServiceListener> listener_;
  std::unique_ptr<TolvoClient> client_;
};

TEST_F(ChunkExportTest, WritesThePlaintextMp4AsAPrivateFile) {
  const auto out = root() / "out" / "c1.mp4";
  std::filesystem::create_directories(out.parent_path());
  EXPECT_EQ(ctl::exportChunk(*client_, token_, "sess", "c1", out, chunksDir_), 150000);
  EXPECT_EQ(readText(out), toString(plaintext_));
  struct stat st {};
  ASSERT_EQ(::stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(ChunkExportTest, RefusesUnknownUnfinishedUnsafeAndUndecryptableChunks) {
  const auto out = root() / "x.mp4";
  EXPECT_EQ(exportError("zzz", out), "session sess has no chunk zzz");
  EXPECT_NE(exportError("open", out).find("is not finished yet"), std::string::npos);
  EXPECT_EQ(keyRequests_, 0);

  relpath_ = "../../etc/passwd";
  EXPECT_EQ(exportError("c1", out), "chunk c1 has an unsafe file path: ../../etc/passwd");
  relpath_ = "sess/c1.qxv";

  locked_ = true;
  EXPECT_EQ(exportError("c1", out), "Vault is locked");
  locked_ = false;

  // One flipped ciphertext byte: authentication fails, nothing is written.
  const auto file = chunksDir_ / "sess" / "c1.qxv";
  std::string bytes = readText(file);
  bytes[64 + 100] = static_cast<char>(bytes[64 + 100] ^ 0x01);
  writeText(file, bytes);
  EXPECT_NE(exportError("c1", out).find("cannot decrypt"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(out));
}

}  // namespace
}  // namespace tolvo::test
