// Recording through the real service binary on a private X server: the state machine and its
// rows and events, chunk rotation into encrypted files that decrypt and play, configuration
// changes, locking and re-keying while recording, and recovery after the service is killed.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <chrono>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include "client/tolvo_client.h"
#include "crypto/qxv_reader.h"
#include "crypto/symmetric_key.h"
#include "support/media_probe.h"
#include "support/pulse_server.h"
#include "support/sandbox.h"
#include "support/service_process.h"
#include "support/x_server.h"

namespace tolvo::test {
namespace {

using namespace std::chrono_literals;
using State = RecordingStatus::State;

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
  // creates the vault.
  TolvoClient& startService() {
    client_.reset();
    service_.reset();
    std::filesystem::remove(socket());  // a killed service's socket: wait for the new one
    service_ = std::make_unique<ServiceProcess>(TOLVO_SERVICE_BINARY, socket(), std::vector<std::string>{"--uitest-mode"});
    client_ = std::make_unique<TolvoClient>(socket());
    const auto opened = client_->vaultExists() ? client_->unlockVaultWithPassword("pw") : client_->createVault("pw", false);
    EXPECT_TRUE(opened.ok) << opened.error.value_or("");
    token_ = client_->mintUISession(3600).value.value();
    return *client_;
  }

  static RecordingConfig config(std::int64_t chunkSeconds) {
    RecordingConfig c;
    c.fps = 2;
    c.codec = "h264";
    c.chunkDurationSeconds = chunkSeconds;
    return c;
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
  std::vector<EventType> events(const std::string& session) {
    std::vector<EventType> types;
    const auto rows = client_->listEvents(token_, session, 0, INT64_MAX).value.value();
    for (const Event& e : rows) types.push_back(e.type);
    return types;
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
      const ProbeResult probe = probeBytes(plain, {"-show_frames"});
      EXPECT_EQ(probe.exitStatus, 0) << probe.errors;
      EXPECT_EQ(probe.stream("video")["width"], chunk.width);
      EXPECT_EQ(probe.stream("video")["height"], chunk.height);
      EXPECT_TRUE(recovered || !probe.framesOf(0).empty());
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

TEST_F(RecordingTest, PauseResumeStopAndRotationLeaveRowsEventsAndPlayableChunks) {
  TolvoClient& c = startService();
  EXPECT_EQ(c.startRecording(config(2)), (OkResult{true, std::nullopt}));
  EXPECT_EQ(c.startRecording(config(2)).error, "Already recording");
  const std::string session = status().currentSessionId.value();
  ASSERT_TRUE(waitFor([&] { return chunks(session).size() >= 3; }));

  const std::string chunkBefore = status().currentChunkId.value();
  RecordingConfig longer = config(60);
  ASSERT_TRUE(c.updateConfig(longer).ok);  // only the duration: the chunk stays
  ASSERT_TRUE(waitFor([&] { return status().config == longer; }));
  EXPECT_EQ(status().currentChunkId, chunkBefore);
  RecordingConfig faster = longer;
  faster.fps = 4;
  ASSERT_TRUE(c.updateConfig(faster).ok);  // the rate: a new chunk at the new rate
  ASSERT_TRUE(waitFor([&] { return chunks(session).back().fps == 4; }));
  EXPECT_NE(status().currentChunkId, chunkBefore);

  ASSERT_TRUE(c.pauseRecording("no-such-reason").ok);
  ASSERT_TRUE(waitFor([&] { return status().state == State::paused && !status().currentChunkId; }));
  EXPECT_EQ(status().pauseReason, PauseReason::user);
  ASSERT_TRUE(c.pauseRecording("sleep").ok);  // already paused: nothing changes
  ASSERT_TRUE(c.resumeRecording().ok);
  ASSERT_TRUE(waitFor([&] { return status().state == State::recording && status().currentChunkId; }));
  std::this_thread::sleep_for(1s);
  ASSERT_TRUE(c.stopRecording().ok);  // answered once the recorder has stopped
  const RecordingStatus stopped = status();
  EXPECT_EQ(stopped.state, State::idle);
  EXPECT_EQ(stopped.currentSessionId, std::nullopt);

  const auto rows = chunks(session);
  for (std::size_t i = 1; i < rows.size(); ++i) {
    EXPECT_GE(rows[i].startAtMs, rows[i - 1].endAtMs.value());
    EXPECT_EQ(rows[i].width, 1280);
    EXPECT_EQ(rows[i].height, 720);
    EXPECT_FALSE(rows[i].hasAudio);
  }
  EXPECT_EQ(expectPlayableChunks(session), stopped.bytesWritten);
  EXPECT_GT(stopped.bytesWritten, 0);
  EXPECT_EQ(c.listRecordingIntervals(token_, session).value->size(), 2u);
  const auto contexts = c.listContextIntervals(token_, session).value.value();
  ASSERT_FALSE(contexts.empty());
  EXPECT_EQ(contexts.front().bundleId, "XTerm");

  const auto types = events(session);
  auto count = [&](EventType t) { return std::count(types.begin(), types.end(), t); };
  EXPECT_EQ(types.front(), EventType::sessionStarted);
  EXPECT_EQ(types.back(), EventType::sessionEnded);
  EXPECT_EQ(count(EventType::chunkStarted), std::ptrdiff_t(rows.size()));
  EXPECT_EQ(count(EventType::chunkEnded), std::ptrdiff_t(rows.size()));
  EXPECT_EQ(count(EventType::configChanged), 2);
  EXPECT_EQ(count(EventType::recordingPaused), 1);
  EXPECT_EQ(count(EventType::recordingResumed), 1);
  expectNoPlaintextMedia();
}

TEST_F(RecordingTest, LockingAndRekeyingWhileRecordingLoseNothing) {
  TolvoClient& c = startService();
  ASSERT_TRUE(c.unlockVaultWithPassword("pw").ok);
  EXPECT_EQ(c.startRecording(config(2)).ok, true);
  const std::string session = status().currentSessionId.value();
  ASSERT_TRUE(waitFor([&] { return chunks(session).size() >= 2; }));

  // The vault's own key keeps the recording going; a wrong one changes nothing.
  const Bytes wrong(32, 7);
  EXPECT_FALSE(c.syncUnlockedVault(wrong).ok);
  EXPECT_EQ(status().state, State::recording);
  const std::size_t before = chunks(session).size();
  ASSERT_TRUE(waitFor([&] { return chunks(session).size() > before; }));

  ASSERT_TRUE(c.lockVault());
  EXPECT_EQ(status().state, State::idle) << "locking waits for the recording to stop";
  EXPECT_EQ(c.startRecording(config(2)).error, "Vault is locked");
  ASSERT_TRUE(c.unlockVaultWithPassword("pw").ok);
  token_ = c.mintUISession(600).value.value();
  EXPECT_EQ(client_->getSessionDetail(token_, session).value->endedAtMs.has_value(), true);
  EXPECT_GT(expectPlayableChunks(session), 0);
  EXPECT_EQ(events(session).back(), EventType::sessionEnded);

  // SIGTERM while recording: the service closes the recording before it exits.
  ASSERT_TRUE(c.startRecording(config(2)).ok);
  const std::string second = status().currentSessionId.value();
  ASSERT_TRUE(waitFor([&] { return chunks(second).size() >= 2; }));
  ::kill(service_->pid(), SIGTERM);
  EXPECT_EQ(service_->waitForExit(30'000), 0);
  startService();
  EXPECT_EQ(client_->repairInterruptedSessions().count, 0);
  EXPECT_GT(expectPlayableChunks(second), 0);
  expectNoPlaintextMedia();
}

TEST_F(RecordingTest, AKilledServiceLeavesChunksThatRepairRecovers) {
  // Text noise fills a 64 KiB page of video within a second or two.
  x_->openTerminal("noise", "while :; do head -c 4000 /dev/urandom | base64; sleep 0.2; done", "160x50+0+0");
  std::mt19937 random(std::random_device{}());
  for (int kill = 0; kill < 3; ++kill) {
    startService();
    ASSERT_TRUE(client_->startRecording(config(2)).ok);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500 + random() % 3000));
    ::kill(service_->pid(), SIGKILL);
    EXPECT_NE(service_->waitForExit(10'000), -1);
  }
  startService();
  EXPECT_EQ(client_->repairInterruptedSessions().count, 3);
  const auto sessions = client_->listSessions(token_, 10, 0).value.value();
  ASSERT_EQ(sessions.size(), 3u);
  std::int64_t recovered = 0;
  for (const Session& s : sessions) {
    EXPECT_TRUE(s.endedAtMs.has_value());
    recovered += expectPlayableChunks(s.id, true);
  }
  EXPECT_GT(recovered, 0);
  EXPECT_GT(frames, 0u);
  expectNoPlaintextMedia();
}

TEST_F(RecordingTest, CaptureFollowsTheFocusedWindowToAnotherMonitor) {
  startDesktop(XServer::Kind::xorgDummy);
  if (IsSkipped()) return;
  x_->run({"xrandr", "--setmonitor", "LEFT", "960/254x1080/286+0+0", "DUMMY0"});
  x_->addMonitor("RIGHT", 960, 1080, 960, 0);
  TolvoClient& c = startService();
  ASSERT_TRUE(c.startRecording(config(60)).ok);
  const std::string session = status().currentSessionId.value();
  x_->run({"xdotool", "windowmove", terminal_, "1200", "100"});
  ASSERT_TRUE(waitFor([&] { return chunks(session).size() >= 2; }));
  ASSERT_TRUE(c.stopRecording().ok);
  const auto types = events(session);
  EXPECT_EQ(std::count(types.begin(), types.end(), EventType::displayChanged), 1);
  std::vector<std::string> displays;
  const auto contexts = c.listContextIntervals(token_, session).value.value();
  for (const auto& context : contexts) {
    if (context.displayHint && (displays.empty() || displays.back() != *context.displayHint)) displays.push_back(*context.displayHint);
  }
  EXPECT_EQ(displays.size(), 2u) << "the context followed the window";
  EXPECT_GT(expectPlayableChunks(session), 0);
}

TEST_F(RecordingTest, AudioIsMuxedIntoEveryChunk) {
  if (!PulseServer::available()) GTEST_SKIP() << "pulseaudio is not installed";
  PulseServer pulse(tmp());
  setEnv("PULSE_SERVER", pulse.address());
  pulse.playTone(440, 60);
  TolvoClient& c = startService();
  RecordingConfig withAudio = config(2);
  withAudio.recordAudio = true;
  ASSERT_TRUE(c.startRecording(withAudio).ok);
  const std::string session = status().currentSessionId.value();
  ASSERT_TRUE(waitFor([&] { return chunks(session).size() >= 3; }));
  ASSERT_TRUE(c.stopRecording().ok);
  const auto rows = chunks(session);
  for (const Chunk& chunk : rows) {
    EXPECT_TRUE(chunk.hasAudio);
    // The microphone's first sound can come after the first picture; later chunks start in step.
    if (&chunk == &rows.front()) continue;
    EXPECT_EQ(chunk.audioCodec, "aac");
    if (chunk.mp4PlainLen.value_or(0) == 0) continue;
    const SymmetricKey key(c.getChunkKey(token_, chunk.id).value.value().view());
    const auto length = *chunk.mp4PlainLen;
    const ProbeResult probe = probeBytes(QXVReader(chunksDir() / chunk.fileRelpath, key).readRange(0, length, length));
    const auto audio = probe.stream("audio");
    ASSERT_EQ(audio.value("codec_name", ""), "aac") << chunk.id;
    EXPECT_EQ(number(audio, "sample_rate"), 44100);
    EXPECT_LT(std::abs(number(audio, "start_time") - number(probe.stream("video"), "start_time")), 0.5);
  }
  EXPECT_EQ(expectPlayableChunks(session), status().bytesWritten);
}

}  // namespace
}  // namespace tolvo::test
