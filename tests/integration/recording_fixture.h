#pragma once
// The recording fixture: the real service binary on a private X server with a busy terminal,
// its vault, a UI session token, and checks of the chunks it writes.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "client/tolvo_client.h"
#include "core/json_codec.h"
#include "core/mp4_boxes.h"
#include "crypto/qxv_reader.h"
#include "crypto/symmetric_key.h"
#include "support/media_probe.h"
#include "support/sandbox.h"
#include "support/service_process.h"
#include "support/x_server.h"

namespace tolvo::test {

using namespace std::chrono_literals;

class RecordingTest : public SandboxedTest {
 protected:
  void SetUp() override { startDesktop(XServer::Kind::xvfb); }

  void startDesktop(XServer::Kind kind) {
    if (!XServer::available(kind)) GTEST_SKIP() << "the X server or openbox is not installed";
    x_.reset();
    x_ = std::make_unique<XServer>(root(), XServer::Options{kind});
    setEnv("DISPLAY", x_->display());
    terminal_ = x_->openTerminal("busy", "while :; do date +%s%N; sleep 0.2; done");
  }

  std::filesystem::path socket() const { return tmp() / "svc" / "recorder.sock"; }
  std::filesystem::path chunksDir() const { return tmp() / "TolvoDeskUITest" / "AppData" / "Vault" / "Chunks"; }

  // Starts the service (UI test mode: secrets in files, 1280x720 chunks) and unlocks or
  // creates the vault, or opens it with `masterKey` as the application hands one over.
  TolvoClient& startService(const SymmetricKey* masterKey = nullptr) {
    client_.reset();
    service_.reset();
    std::filesystem::remove(socket());  // a killed service's socket: wait for the new one
    service_ = std::make_unique<ServiceProcess>(TOLVO_SERVICE_BINARY, socket(), std::vector<std::string>{"--uitest-mode"});
    client_ = std::make_unique<TolvoClient>(socket());
    const auto opened = masterKey            ? client_->syncUnlockedVault(masterKey->toData())
                        : client_->vaultExists() ? client_->unlockVaultWithPassword("pw")
                                                 : client_->createVault("pw", false);
    EXPECT_TRUE(opened.ok) << opened.error.value_or("");
    token_ = client_->mintUISession(3600).value.value();
    return *client_;
  }

  // H.264 at 2 fps: quick to encode, also under the sanitizers.
  static RecordingConfig config(std::int64_t chunkSeconds, bool audio = false) {
    return json::decode<RecordingConfig>(asBytes(nlohmann::json{
        {"fps", 2}, {"codec", "h264"}, {"chunkDurationSeconds", chunkSeconds}, {"recordAudio", audio}}.dump()));
  }

  RecordingStatus status() { return client_->getRecordingStatus().value.value(); }
  bool waitFor(const std::function<bool()>& condition, std::chrono::seconds limit = 30s) {
    for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
      if (condition()) return true;
      std::this_thread::sleep_for(100ms);
    }
    return condition();
  }

  std::vector<Chunk> chunks(const std::string& session) { return client_->listChunks(token_, session).value.value(); }
  // How many events of each type the session has.
  std::map<EventType, int> tally(const std::string& session) {
    std::map<EventType, int> counts;
    for (const Event& e : client_->listEvents(token_, session, 0, INT64_MAX).value.value_or(std::vector<Event>{})) {
      ++counts[e.type];
    }
    return counts;
  }

  // Every chunk with a plaintext length decrypts with its key from the service and plays to
  // its end at the recorded size (a chunk recovered after a crash may end before its first
  // complete picture). Returns the summed plaintext lengths; counts the pictures in `frames`.
  std::int64_t expectPlayableChunks(const std::string& session, bool recovered = false) {
    std::int64_t total = 0;
    const auto rows = chunks(session);
    for (const Chunk& chunk : rows) {
      SCOPED_TRACE(chunk.id);
      EXPECT_TRUE(chunk.endAtMs.has_value());
      const std::int64_t length = chunk.mp4PlainLen.value_or(0);
      total += length;
      if (length == 0) continue;
      const SymmetricKey key(client_->getChunkKey(token_, chunk.id).value.value().view());
      const Bytes plain = QXVReader(chunksDir() / chunk.fileRelpath, key).readRange(0, length, length);
      // A recovered chunk ends inside its last fragment; what comes before it plays.
      const std::size_t playable = recovered ? completeMp4Prefix(plain) : plain.size();
      const ProbeResult probe = probeBytes(ByteView(plain).first(playable), {"-show_frames"});
      EXPECT_TRUE(probe.exitStatus == 0 && probe.errors.empty()) << probe.errors;
      EXPECT_EQ(probe.stream("video")["width"], chunk.width);
      EXPECT_EQ(probe.stream("video")["height"], chunk.height);
      EXPECT_TRUE(recovered || !probe.framesOf(0).empty());
      EXPECT_EQ(probe.stream("audio").value("codec_name", "none"), chunk.hasAudio ? "aac" : "none");
      frames += probe.framesOf(0).size();
    }
    return total;
  }

  // No file under the test's folders (data, temporary, X server) holds an MP4.
  void expectNoPlaintextMedia() {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root())) {
      if (!entry.is_regular_file()) continue;
      char head[8] = {};
      std::ifstream(entry.path(), std::ios::binary).read(head, sizeof head);
      EXPECT_NE(std::string(head + 4, 4), "ftyp") << entry.path();
    }
  }

  std::unique_ptr<XServer> x_;
  std::string terminal_;
  std::unique_ptr<ServiceProcess> service_;
  std::unique_ptr<TolvoClient> client_;
  UISessionToken token_;
  std::size_t frames = 0;
};

}  // namespace tolvo::test
