// Recording through the real service binary on a private X server: the state machine and its
// rows and events, chunk rotation into encrypted files that decrypt and play, configuration
// changes, locking and re-keying while recording, and recovery after the service is killed.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include "client/tolvo_client.h"
#include "core/json_codec.h"
#include "core/mp4_boxes.h"
#include "crypto/qxv_reader.h"
#include "crypto/symmetric_key.h"
#include "integration/recording_fixture.h"
#include "support/bus_service.h"
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

}  // namespace
}  // namespace tolvo::test
