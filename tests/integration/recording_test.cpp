// Recording through the real service binary on a private X server: the state machine and its
// rows and events, chunk rotation into encrypted files that decrypt and play, configuration
// changes, locking and re-keying while recording, recovery after the service is killed,
// summaries of a recording, made here and by a loopback endpoint that receives its video, and
// the text seen on the recorded screen, recognized, searched and deleted.
#include <signal.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include <nlohmann/json.hpp>

#include "client/tolvo_client.h"
#include "core/base64.h"
#include "core/bytes.h"
#include "core/json_codec.h"
#include "core/mp4_boxes.h"
#include "crypto/qxv_reader.h"
#include "crypto/symmetric_key.h"
#include "support/bus_service.h"
#include "support/http_test_server.h"
#include "support/media_probe.h"
#include "support/pulse_server.h"
#include "support/sandbox.h"
#include "support/service_process.h"
#include "support/session_bus.h"
#include "support/x_server.h"

namespace tolvo::test {
namespace {

using namespace std::chrono_literals;
using State = RecordingStatus::State;
constexpr const char* kScreenSaver = "org.freedesktop.ScreenSaver";

class RecordingTest : public SandboxedTest {
 protected:
  void SetUp() override { startDesktop(XServer::Kind::xvfb); }

  void startDesktop(XServer::Kind kind, unsigned width = 1920, unsigned height = 1080) {
    if (!XServer::available(kind)) GTEST_SKIP() << "the X server or openbox is not installed";
    x_.reset();
    x_ = std::make_unique<XServer>(root(), XServer::Options{kind, width, height});
    setEnv("DISPLAY", x_->display());
    terminal_ = x_->openTerminal("busy", "while :; do date +%s%N; sleep 0.2; done");
  }

  std::filesystem::path socket() const { return tmp() / "svc" / "recorder.sock"; }
  std::filesystem::path chunksDir() const { return tmp() / "TolvoDeskUITest" / "AppData" / "Vault" / "Chunks"; }
  std::filesystem::path artifactsDir() const { return chunksDir().parent_path() / "Artifacts"; }

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

  // Starts a job and waits until it has ended.
  PipelineJob summarize(const std::string& session, const std::string& interval,
                        std::optional<std::string> endpoint = std::nullopt) {
    const SummaryJobRequest request{session, 0, 0, "brief", interval, "What happened?", std::move(endpoint)};
    const std::string id = client_->startSummaryJob(token_, request).jobId.value();
    PipelineJob job;
    EXPECT_TRUE(waitFor([&] {
      job = client_->summaryJobStatus(token_, id).value.value();
      return job.status == JobStatus::done || job.status == JobStatus::failed;
    }));
    return job;
  }
  std::vector<Summary> summaries(const std::string& session) {
    return client_->getSummaries(token_, session, 0, INT64_MAX).value.value();
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

TEST_F(RecordingTest, PauseResumeStopAndRotationLeaveRowsEventsAndPlayableChunksWithSound) {
  if (!PulseServer::available()) GTEST_SKIP() << "pulseaudio is not installed";
  PulseServer pulse(tmp());  // the microphone: a tone played into a null sink
  setEnv("PULSE_SERVER", pulse.address());
  pulse.playTone(440, 60);
  TolvoClient& c = startService();
  const RecordingConfig withAudio = config(2, true);
  EXPECT_EQ(c.startRecording(withAudio), (OkResult{true, std::nullopt}));
  EXPECT_EQ(c.startRecording(withAudio).error, "Already recording");
  const std::string session = status().currentSessionId.value();
  ASSERT_TRUE(waitFor([&] { return chunks(session).size() >= 3; }));

  EXPECT_EQ(c.deleteSessions(token_, {session}).error, "Active recordings can't be deleted while recording.");
  EXPECT_EQ(c.repairInterruptedSessions().count, 0) << "the open session is the recording's own";
  const std::string chunkBefore = status().currentChunkId.value();
  const RecordingConfig longer = config(60, true);
  ASSERT_TRUE(c.updateConfig(longer).ok);  // only the duration: the chunk stays
  ASSERT_TRUE(waitFor([&] { return status().config == longer; }));
  EXPECT_EQ(status().currentChunkId, chunkBefore);
  RecordingConfig faster = longer;
  faster.fps = 4;
  ASSERT_TRUE(c.updateConfig(faster).ok);  // the rate: a new chunk at the new rate
  ASSERT_TRUE(waitFor([&] { return chunks(session).back().fps == 4; }));

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

  const auto rows = chunks(session);
  for (std::size_t i = 1; i < rows.size(); ++i) {
    EXPECT_GE(rows[i].startAtMs, rows[i - 1].endAtMs.value());
    EXPECT_EQ(rows[i].width, 1280);
    EXPECT_EQ(rows[i].height, 720);
    EXPECT_EQ(rows[i].audioSampleRate, 44100);
  }
  EXPECT_EQ(expectPlayableChunks(session), stopped.bytesWritten);
  EXPECT_EQ(c.listRecordingIntervals(token_, session).value->size(), 2u);
  EXPECT_EQ(c.listContextIntervals(token_, session).value.value().at(0).bundleId, "XTerm");

  EXPECT_EQ(tally(session), (std::map<EventType, int>{{EventType::sessionStarted, 1}, {EventType::sessionEnded, 1},
                                                      {EventType::chunkStarted, int(rows.size())}, {EventType::chunkEnded, int(rows.size())},
                                                      {EventType::appChanged, 1}, {EventType::configChanged, 2},
                                                      {EventType::recordingPaused, 1}, {EventType::recordingResumed, 1}}));
  expectNoPlaintextMedia();
}

TEST_F(RecordingTest, LockingAndRekeyingWhileRecordingLoseNothing) {
  const SymmetricKey master = SymmetricKey::random();
  TolvoClient& c = startService(&master);
  EXPECT_EQ(c.startRecording(config(2)).ok, true);
  const std::string session = status().currentSessionId.value();
  ASSERT_TRUE(waitFor([&] { return chunks(session).size() >= 2; }));

  // The vault's own key keeps the recording going; a wrong one changes nothing.
  EXPECT_TRUE(c.syncUnlockedVault(master.toData()).ok);
  EXPECT_FALSE(c.syncUnlockedVault(Bytes(32, 7)).ok);
  token_ = c.mintUISession(600).value.value();  // a re-keyed vault forgets the tokens
  EXPECT_EQ(status().state, State::recording);
  const std::size_t before = chunks(session).size();
  ASSERT_TRUE(waitFor([&] { return chunks(session).size() > before; }));

  ASSERT_TRUE(c.lockVault());
  EXPECT_EQ(status().state, State::idle) << "locking waits for the recording to stop";
  EXPECT_EQ(c.startRecording(config(2)).error, "Vault is locked");
  ASSERT_TRUE(c.syncUnlockedVault(master.toData()).ok);
  token_ = c.mintUISession(600).value.value();
  EXPECT_GT(expectPlayableChunks(session), 0);
  EXPECT_EQ(tally(session)[EventType::sessionEnded], 1);

  // SIGTERM while recording: the service closes the recording before it exits.
  ASSERT_TRUE(c.startRecording(config(2)).ok);
  const std::string second = status().currentSessionId.value();
  ASSERT_TRUE(waitFor([&] { return chunks(second).size() >= 2; }));
  ::kill(service_->pid(), SIGTERM);
  EXPECT_NE(service_->waitForExit(30'000), -1);
  startService(&master);
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
  for (const Session& s : sessions) {
    EXPECT_TRUE(s.endedAtMs.has_value());
    (void)expectPlayableChunks(s.id, true);
  }
  EXPECT_GT(frames, 0u) << "the recovered chunks hold pictures";
  expectNoPlaintextMedia();
}

// Sleep, screen lock, screensaver and lid, from a login1 stand-in and a screensaver on private
// buses: each pauses with its reason, and a wake or a screensaver's end resumes only its own
// pause. Then the focused window moves to the second monitor, and capture follows it.
TEST_F(RecordingTest, SystemEventsPauseAndResumeByReasonAndCaptureFollowsTheWindow) {
  if (!SessionBus::available(false)) GTEST_SKIP() << "dbus-daemon is not installed";
  startDesktop(XServer::Kind::xorgDummy);
  if (IsSkipped()) return;
  x_->run({"xrandr", "--setmonitor", "LEFT", "960/254x1080/286+0+0", "DUMMY0"});
  x_->addMonitor("RIGHT", 960, 1080, 960, 0);
  SessionBus system(root() / "system", {}), session(root() / "session", {});
  setEnv("DBUS_SYSTEM_BUS_ADDRESS", system.address());
  setEnv("DBUS_SESSION_BUS_ADDRESS", session.address());
  setEnv("XDG_SESSION_ID", "c7");
  BusService login1(sd_bus_open_system, "org.freedesktop.login1");
  BusService screensaver(sd_bus_open_user, kScreenSaver);
  const auto sleep = [&](bool b) { login1.emit(kLogin1ManagerPath, kLogin1Manager, "PrepareForSleep", b); };
  const auto saver = [&](bool b) { screensaver.emit("/org/freedesktop/ScreenSaver", kScreenSaver, "ActiveChanged", b); };
  TolvoClient& c = startService();
  RecordingConfig keepOn = config(60);
  ASSERT_TRUE(c.startRecording(keepOn).ok);
  keepOn.recordScreensaver = true;
  const std::string session_ = status().currentSessionId.value();
  const auto lock = [&](const char* member) { login1.emit(kLogin1SessionPath, kLogin1Session, member); };
  struct Step { std::function<void()> act; State state; std::optional<PauseReason> reason; };
  const std::vector<Step> steps{
      {[&] { lock("Lock"); }, State::paused, PauseReason::lidClosed},
      {[&] { lock("Unlock"); }, State::recording, {}},
      {[&] { saver(true); }, State::paused, PauseReason::screensaver},
      {[&] { sleep(false); }, State::paused, PauseReason::screensaver},  // a wake ends only a sleep's pause
      {[&] { saver(false); }, State::recording, {}},
      {[&] { sleep(true); }, State::paused, PauseReason::sleep},
      {[&] { saver(false); }, State::paused, PauseReason::sleep},  // nor does the screensaver end it
      {[&] { sleep(false); }, State::recording, {}},
      {[&] { login1.lidClosed = true; }, State::paused, PauseReason::lidClosed},  // polled once a second
      {[&] { login1.lidClosed = false; }, State::recording, {}},
      {[&] { EXPECT_TRUE(c.updateConfig(keepOn).ok); }, State::recording, {}},
      {[&] { saver(true); }, State::recording, {}},  // the screensaver is recorded now
      {[&] { x_->run({"xdotool", "windowmove", terminal_, "1200", "100"}); }, State::recording, {}}};
  for (std::size_t i = 0; i < steps.size(); ++i) {
    steps[i].act();
    if (i + 1 == steps.size()) {
      ASSERT_TRUE(waitFor([&] { return tally(session_)[EventType::displayChanged] == 1; }));
    }
    if (i > 0 && steps[i].state == steps[i - 1].state) std::this_thread::sleep_for(1s);  // nothing should change
    EXPECT_TRUE(waitFor([&] {
      const auto s = status();
      return s.state == steps[i].state && (s.state != State::paused || s.pauseReason == steps[i].reason) &&
             (s.state == State::paused) != s.currentChunkId.has_value();
    }, 10s)) << "step " << i;
  }
  ASSERT_TRUE(c.stopRecording().ok);

  using T = EventType;  // four pauses and resumes and a display change: six chunks, no rotation
  EXPECT_EQ(tally(session_), (std::map<T, int>{{T::sessionStarted, 1}, {T::sessionEnded, 1}, {T::chunkStarted, 6},
                                              {T::chunkEnded, 6}, {T::appChanged, 2}, {T::configChanged, 1},
                                              {T::displayChanged, 1},
                                              {T::lidClosed, 2}, {T::lidOpened, 2}, {T::screensaverStarted, 2},
                                              {T::screensaverEnded, 2}, {T::recordingPaused, 4}, {T::recordingResumed, 4}}));
  const auto contexts = c.listContextIntervals(token_, session_).value.value();
  EXPECT_NE(contexts.front().displayHint, contexts.back().displayHint) << "the context followed the window";
  EXPECT_GT(expectPlayableChunks(session_), 0);
}

TEST_F(RecordingTest, SummariesOfARealRecordingLocallyAndThroughALoopbackEndpoint) {
  TolvoClient& c = startService();
  ASSERT_TRUE(c.startRecording(config(3)).ok);
  const std::string session = status().currentSessionId.value();
  ASSERT_TRUE(waitFor([&] { return chunks(session).size() >= 3; }));
  ASSERT_TRUE(c.stopRecording().ok);
  // The join lays the chunks' videos end to end: it lasts as long as they do together (their
  // rows' wall-clock spans differ from that by up to a picture each on a loaded machine).
  double recordedSeconds = 0;
  for (const Chunk& chunk : chunks(session)) {
    const std::int64_t length = chunk.mp4PlainLen.value_or(0);
    if (length == 0) continue;
    const SymmetricKey key(client_->getChunkKey(token_, chunk.id).value.value().view());
    const double seconds = number(
        probeBytes(QXVReader(chunksDir() / chunk.fileRelpath, key).readRange(0, length, length)).json["format"],
        "duration");
    if (!std::isnan(seconds)) recordedSeconds += seconds;
  }

  HttpTestServer endpoint;
  endpoint.answer({200, R"({"id":"r1","model":" test-model ","output_text":"  Worked in a terminal.\n"})"});
  const PipelineJob remote = summarize(session, "2m", endpoint.baseURL() + "/api/");
  ASSERT_EQ(remote.status, JobStatus::done) << remote.error.value_or("");
  const std::vector<Summary> stored = summaries(session);
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].modelId, "test-model");
  EXPECT_EQ(stored[0].summaryText, "Worked in a terminal.");

  // One POST carrying the prompt and the window's chunks joined into one MP4.
  const std::vector<CapturedRequest> sent = endpoint.requests();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].method + " " + sent[0].path, "POST /api/v1/responses");
  const nlohmann::json body = nlohmann::json::parse(sent[0].body);
  const nlohmann::json& file = body["input"][0]["content"][1];
  EXPECT_EQ(file["filename"], "recording-" + session + "-" + std::to_string(stored[0].rangeStartMs) + "-" +
                                  std::to_string(stored[0].rangeEndMs) + ".mp4");
  EXPECT_EQ(body["metadata"]["app_names"], nlohmann::json::array({"XTerm"}));
  const Bytes video = base64Decode(file["data"].get<std::string>()).value();
  const ProbeResult probe = probeBytes(video, {"-show_frames"});
  EXPECT_TRUE(probe.exitStatus == 0 && probe.errors.empty()) << probe.errors;
  EXPECT_NEAR(number(probe.json["format"], "duration"), recordedSeconds, 0.1);

  // Locally: one window and its day.
  const PipelineJob local = summarize(session, "5m");
  ASSERT_EQ(local.status, JobStatus::done) << local.error.value_or("");
  std::vector<std::string> models;
  for (const Summary& s : summaries(session)) models.push_back(s.modelId);
  EXPECT_THAT(models, testing::UnorderedElementsAre("test-model", "local-v1", "daily-aggregate-local-v1"));

  // After a restart the job is no longer in memory: its row answers.
  startService();
  EXPECT_EQ(client_->summaryJobStatus(token_, remote.id).value, remote);
  expectNoPlaintextMedia();
}

// Text shown on the recorded screen (a terminal's words) is recognized in
// the background after each chunk closes, found by the service's search with where and when
// it was seen, kept in an artifact that the independent reader decrypts with the chunk's key,
// shown in local summaries, and gone with its session.
TEST_F(RecordingTest, TextOnScreenIsRecognizedSearchedSummarizedAndDeletedWithItsSession) {
  startDesktop(XServer::Kind::xvfb, 1280, 720);  // the size of UI test mode's chunks: no scaling
  x_->openTerminal("harbour lantern", "printf 'Quarterly zebra invoice\\nMarmalade telescope\\n'", "40x4+600+300");
  TolvoClient& c = startService();
  ASSERT_TRUE(c.startRecording(config(3)).ok);
  const std::string session = status().currentSessionId.value();
  ASSERT_TRUE(waitFor([&] { return chunks(session).size() >= 2; }));
  ASSERT_TRUE(c.stopRecording().ok);

  const auto search = [&](const std::string& query) {
    return c.searchText(token_, query, std::nullopt, std::nullopt, 100, 0).value.value_or(std::vector<TextSearchHit>{});
  };
  ASSERT_TRUE(waitFor([&] { return !search("telescope").empty(); }, 180s)) << "nothing recognized";
  const auto rows = chunks(session);
  for (const TextSearchHit& hit : search("marmalade telescope")) {
    const auto chunk = std::find_if(rows.begin(), rows.end(), [&](const Chunk& r) { return r.id == hit.chunkId; });
    ASSERT_NE(chunk, rows.end());
    EXPECT_EQ(hit.sessionId, session);
    EXPECT_LE(chunk->startAtMs, hit.timestampMs);
    EXPECT_LE(hit.timestampMs, hit.lastSeenMs);
    EXPECT_LE(hit.lastSeenMs, *chunk->endAtMs + 1000);
    EXPECT_THAT(hit.snippet, testing::ContainsRegex("\\[[Tt]elescope\\]"));
  }
  EXPECT_FALSE(search("zebra").empty());
  EXPECT_TRUE(search("xylophone").empty());
  EXPECT_EQ(c.searchText(token_, "\"*", std::nullopt, std::nullopt, 10, 0).error,
            "The search query contains no letters or digits");
  EXPECT_EQ(c.searchText(token_, "zebra", std::nullopt, std::nullopt, 0, 0).error,
            "The limit must be between 1 and 1000 and the offset must not be negative");

  // The artifact of a chunk holding the words, read by the independent reader.
  const TextSearchHit hit = search("telescope").front();
  const auto artifact = artifactsDir() / (hit.chunkId + ".ocr.qxv");
  const SymmetricKey key(c.getChunkKey(token_, hit.chunkId).value.value().view());
  const std::string command = "/usr/bin/python3 '" TOLVO_QXV_DECRYPT_SCRIPT "' '" + artifact.string() + "' " +
                              toHex(key.toData()) + " > '" + (tmp() / "artifact.json").string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  const auto lines = nlohmann::json::parse(std::ifstream(tmp() / "artifact.json"))["lines"];
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const nlohmann::json& line) {
    return line["text"].get<std::string>().find("elescope") != std::string::npos;
  })) << lines.dump();

  const PipelineJob local = summarize(session, "5m");
  ASSERT_EQ(local.status, JobStatus::done) << local.error.value_or("");
  EXPECT_THAT(summaries(session).at(0).summaryText, testing::HasSubstr("\nKey Content Detected:\n- "));

  ASSERT_EQ(c.deleteSessions(token_, {session}).count, 1);
  EXPECT_TRUE(search("telescope").empty());
  EXPECT_FALSE(std::filesystem::exists(artifact));
  expectNoPlaintextMedia();
}

}  // namespace
}  // namespace tolvo::test
