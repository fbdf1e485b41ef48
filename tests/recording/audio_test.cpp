// Audio capture from a real PulseAudio server, AAC encoding and muxing with video, checked
// with ffprobe and ffmpeg on the produced stream.
#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <mutex>
#include <numbers>
#include <thread>

#include "recording/audio_capture_engine.h"
#include "recording/audio_encoder.h"
#include "recording/fragmented_mp4_muxer.h"
#include "recording/video_encoder.h"
#include "support/media_probe.h"
#include "support/pulse_server.h"
#include "support/sandbox.h"

namespace tolvo {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;
using test::number;
using test::PulseServer;
using Ms = std::chrono::duration<double, std::milli>;

// The amplitude of the `hz` component of the left channel of stereo `samples` (Goertzel).
double amplitudeAt(const std::vector<float>& samples, double hz) {
  const double c = 2 * std::cos(2 * std::numbers::pi * hz / 44100);
  double s1 = 0, s2 = 0;
  for (std::size_t i = 0; i < samples.size(); i += 2) s2 = std::exchange(s1, samples[i] + c * s1 - s2);
  return 2 * std::sqrt(s1 * s1 + s2 * s2 - c * s1 * s2) / double(samples.size() / 2);
}

// Collects what the engine captures, passing each buffer on to the audio encoder on the
// capture thread as the recorder does, and what the encoders deliver.
// Every buffer must be 44100 Hz stereo, 1024 frames, stamped no later than it arrives.
struct Collector : AudioCaptureEngineDelegate, AudioEncoderDelegate, VideoEncoderDelegate {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<PcmBuffer> buffers;
  std::vector<EncodedSample> packets, pictures;
  AudioEncoder* encoder = nullptr;

  void audioCaptureEngine(AudioCaptureEngine&, const PcmBuffer& buffer) override {
    EXPECT_LE(buffer.captureTime, MediaClock::now());
    EXPECT_EQ(std::tuple(buffer.sampleRate, buffer.channels, buffer.frames()), std::tuple(44100u, 2u, 1024u));
    if (encoder != nullptr) encoder->encode(buffer);
    const std::lock_guard lock(mutex);
    buffers.push_back(buffer);
    arrived.notify_all();
  }
  void audioEncoder(AudioEncoder&, const EncodedSample& sample) override { packets.push_back(sample); }
  void videoEncoder(VideoEncoder&, const EncodedSample& sample, bool) override { pictures.push_back(sample); }
  bool waitForMore(std::size_t more) {
    std::unique_lock lock(mutex);
    return arrived.wait_for(lock, 10s, [&, count = buffers.size() + more] { return buffers.size() >= count; });
  }
};

class AudioTest : public test::SandboxedTest {
 protected:
  void SetUp() override {
    if (!PulseServer::available()) GTEST_SKIP() << "pulseaudio, pactl or pacat not installed";
    setEnv("PULSE_SERVER", std::nullopt);
    engine.setDelegate(collector);
    encoder.setDelegate(collector);
  }
  // What start() raises: the description of a noMicrophone error, else what went otherwise.
  std::string startError() {
    try {
      engine.start();
    } catch (const AudioCaptureError& error) {
      return error.code() == AudioCaptureError::Code::noMicrophone ? error.what() : "other code";
    }
    return "no error";
  }

  std::shared_ptr<Collector> collector = std::make_shared<Collector>();
  AudioEncoder encoder;  // fed on the capture thread: outlives the engine
  AudioCaptureEngine engine;
};

TEST_F(AudioTest, StartsStopsAndRestartsPromptlyAndFailsWithoutMicrophone) {
  EXPECT_EQ(startError(), "No microphone available");  // no server at all (and none is spawned)
  auto server = std::make_unique<PulseServer>(tmp());
  server->pactl({"unload-module", "module-null-sink"});  // its only source goes away
  EXPECT_EQ(startError(), "No microphone available");
  EXPECT_FALSE(engine.isRunning());
  server->pactl({"load-module", "module-null-sink", "sink_name=nullsink"});
  server->playTone(1000, 30);  // keeps the null sink at a short latency between sessions
  for (int round = 0; round < 3; ++round) {
    engine.start();
    ASSERT_TRUE(collector->waitForMore(3)) << round;
    const MediaTime stopping = MediaClock::now();
    engine.stop();
    EXPECT_LT(MediaClock::now() - stopping, 300ms) << round;
    EXPECT_FALSE(engine.isRunning());
    const std::size_t stopped = collector->buffers.size();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(collector->buffers.size(), stopped) << "a buffer arrived after stop()";
    EXPECT_LT(collector->buffers.back().captureTime, stopping);
  }
  // A running capture survives a failed start (PULSE_SERVER names a server that is not there).
  engine.start();
  ASSERT_TRUE(collector->waitForMore(3));
  setEnv("PULSE_SERVER", "unix:" + (root() / "nothing-here").string());
  EXPECT_EQ(startError(), "No microphone available");
  EXPECT_TRUE(collector->waitForMore(3));
  setEnv("PULSE_SERVER", server->address());  // found through PULSE_SERVER as well
  setEnv("XDG_RUNTIME_DIR", root().string());
  engine.start();
  ASSERT_TRUE(collector->waitForMore(3));
  // The server going away ends the capture; stop() still returns at once.
  server.reset();
  for (int i = 0; i < 500 && engine.isRunning(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_FALSE(engine.isRunning());
  const MediaTime stopping = MediaClock::now();
  engine.stop();
  EXPECT_LT(MediaClock::now() - stopping, 300ms);
}

TEST_F(AudioTest, CapturesToneEncodesAACAndMuxesWithVideo) {
  PulseServer server(tmp());
  server.playTone(1000, 20);
  // A buffer the converter cannot take (another rate) leaves it unset: the next one sets it up.
  encoder.encode(PcmBuffer{48000, 2, std::vector<float>(2048, 0.1f), MediaClock::now()});
  collector->encoder = &encoder;
  VideoEncoder video("h264");
  video.setDelegate(collector);
  video.setupSession(320, 240, 10, 0.5);
  const MediaTime startedAt = MediaClock::now();
  engine.start();
  ASSERT_TRUE(collector->waitForMore(10));  // sound runs before the first picture
  const PixelBuffer picture{320, 240, 320 * 4, std::vector<std::uint8_t>(320 * 240 * 4, 0x80)};
  for (int i = 0; i < 15; ++i, std::this_thread::sleep_for(100ms)) video.encode(picture, MediaClock::now());
  video.flush();
  engine.stop();
  encoder.flush();

  const auto& buffers = collector->buffers;
  std::vector<float> tone;  // the second half: the player may need a moment to start
  for (std::size_t i = 0; i < buffers.size(); ++i) {
    EXPECT_GT(buffers[i].captureTime, i == 0 ? startedAt - 300ms : buffers[i - 1].captureTime) << i;
    if (i >= buffers.size() / 2) tone.insert(tone.end(), buffers[i].samples.begin(), buffers[i].samples.end());
  }
  // One buffer per 1024 / 44100 s = 23.2 ms of capture time.
  EXPECT_NEAR(Ms(buffers.back().captureTime - buffers[0].captureTime).count() / double(buffers.size() - 1), 23.22, 1);
  EXPECT_NEAR(amplitudeAt(tone, 1000), 0.5, 0.05);
  // Packets of 1024 frames after the encoder's priming packet, each stamped with the capture
  // time of its first frame.
  const auto& packets = collector->packets;
  ASSERT_GT(packets.size(), buffers.size());
  for (std::size_t k = 1; k <= buffers.size(); ++k)
    EXPECT_NEAR(Ms(packets[k].captureTime - buffers[k - 1].captureTime).count(), 0, 0.1) << k;

  // Into the muxer in capture order, as the recorder hands them over: the packets captured
  // before the first picture are dropped, the others laid end to end from their capture time.
  FragmentedMP4Muxer muxer;
  std::vector<std::uint8_t> mp4;
  muxer.startNewSegment(320, 240, 10, true, [&](ByteView bytes) { mp4.insert(mp4.end(), bytes.begin(), bytes.end()); });
  auto audio = packets.begin(), firstKept = packets.end();
  for (const EncodedSample& sample : collector->pictures) {
    for (; audio != packets.end() && audio->captureTime < sample.captureTime; ++audio) muxer.addAudioSample(*audio);
    if (firstKept == packets.end()) firstKept = audio;  // the first one captured after the first picture
    muxer.addVideoSample(sample);
  }
  ASSERT_TRUE(muxer.finalize());
  ASSERT_TRUE(firstKept < audio);
  auto probe = test::probeBytes(mp4);
  ASSERT_EQ(probe.exitStatus, 0) << probe.errors;
  auto sound = probe.stream("audio");
  const Json aac = {{"codec_name", "aac"}, {"profile", "LC"}, {"sample_rate", "44100"}, {"channels", 2}};
  for (const auto& [key, value] : aac.items()) EXPECT_EQ(sound[key], value) << key;
  const MediaTime videoStart = collector->pictures[0].captureTime;  // the video track starts at 0
  EXPECT_NEAR(number(sound, "start_time"), Ms(firstKept->captureTime - videoStart).count() / 1000, 2.0 / 44100);
  const double kept = double(audio - firstKept);  // laid end to end: no gap, none lost
  EXPECT_NEAR(number(sound, "duration"), number(sound, "start_time") + kept * 1024 / 44100, 2.0 / 44100);
  // Decoded again, the track holds the tone (up to the encoder's last, partial packet).
  const std::vector<float> decoded = test::decodeAudio(mp4);
  ASSERT_GE(double(decoded.size()), kept * 2048);
  const std::vector<float> tail(decoded.begin() + std::ptrdiff_t(decoded.size() / 2), decoded.end() - 4096);
  EXPECT_NEAR(amplitudeAt(tail, 1000), 0.5, 0.05);
}

}  // namespace
}  // namespace tolvo
