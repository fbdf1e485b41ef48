// The summary window's video from chunks recorded with the recorder's own encoders and muxer,
// encrypted as QXV files, checked with ffprobe.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "crypto/key_manager.h"
#include "crypto/qxv_writer.h"
#include "pipeline/summary_video_export.h"
#include "recording/audio_encoder.h"
#include "recording/fragmented_mp4_muxer.h"
#include "recording/video_encoder.h"
#include "support/media_probe.h"
#include "support/sandbox.h"

namespace tolvo {
namespace {

using namespace std::chrono_literals;
using test::number;

struct Recorder : VideoEncoderDelegate, AudioEncoderDelegate {
  void videoEncoder(VideoEncoder&, const EncodedSample& sample, bool) override { muxer.addVideoSample(sample); }
  void audioEncoder(AudioEncoder&, const EncodedSample& sample) override { muxer.addAudioSample(sample); }
  FragmentedMP4Muxer muxer;
};

std::string errorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const Error& e) {
    return e.what();
  }
  return "no error";
}

class SummaryVideoExportTest : public test::SandboxedTest {
 protected:
  SummaryVideoExportTest() {
    keys.setMasterKey(master);
    std::filesystem::create_directories(chunks);
  }

  // A chunk of `seconds` pictures of noise at 1 fps, `width` x 240, with a tone when `audio`,
  // encrypted under its chunk key; `crashed`: the file ends at its last full page, unfinalized.
  Chunk record(const std::string& id, int seconds, bool audio, int width = 320, bool crashed = false) {
    Chunk chunk;
    chunk.id = id;
    chunk.fileRelpath = id + ".qxv";
    auto recorder = std::make_shared<Recorder>();
    VideoEncoder video("h264");
    AudioEncoder sound;
    video.setDelegate(recorder);
    sound.setDelegate(recorder);
    auto writer = std::make_unique<QXVWriter>(chunks / chunk.fileRelpath, id, keys.deriveChunkKey(master, id));
    video.setupSession(width, 240, 1, 0.7);
    recorder->muxer.startNewSegment(width, 240, 1, audio, [&](ByteView bytes) {
      writer->write(bytes);
      plain[id].insert(plain[id].end(), bytes.begin(), bytes.end());
    });
    const MediaTime start = MediaClock::now();
    PixelBuffer picture{std::uint32_t(width), 240, std::uint32_t(width) * 4, Bytes(std::size_t(width) * 240 * 4)};
    for (int i = 0; i < seconds; ++i) {
      for (std::size_t p = 0; p < picture.bgra.size(); ++p) picture.bgra[p] = std::uint8_t((p + i) * 2654435761u >> 24);
      video.encode(picture, start + i * 1s);
      for (int k = 0; audio && k < 10; ++k)
        sound.encode(PcmBuffer{44100, 1, std::vector<float>(4410, k % 2 ? 0.2f : -0.2f), start + i * 1s + k * 100ms});
    }
    video.flush();
    sound.flush();
    (void)recorder->muxer.finalize();
    chunk.mp4PlainLen = crashed ? std::int64_t{writer->pageIndex()} * QXVWriter::kPageSize : writer->finalize();
    return chunk;
  }

  [[nodiscard]] static double durationOf(const Bytes& mp4) {
    return number(test::probeBytes(mp4).json["format"], "duration");
  }

  KeyManager keys;
  SymmetricKey master = SymmetricKey::random();
  std::filesystem::path chunks = root() / "chunks";
  SummaryVideoExport exporter{keys, chunks};
  std::map<std::string, Bytes> plain;
};

TEST_F(SummaryVideoExportTest, JoinsChunksIntoOneMp4WithItsMovieHeaderFirst) {
  const std::vector<Chunk> window = {record("a", 2, false), record("b", 3, false), record("c", 2, false)};
  EXPECT_EQ(exporter.exportSummaryWindowChunks({window[1]}), plain["b"]);
  const Bytes joined = exporter.exportSummaryWindowChunks(window);

  std::string boxes;  // top-level box types: an ordinary MP4 (no fragments), movie header first
  for (std::size_t at = 0, size = 8; size >= 8 && at + 8 <= joined.size(); at += size) {
    size = std::size_t(joined[at]) << 24 | joined[at + 1] << 16 | joined[at + 2] << 8 | joined[at + 3];
    boxes += toString(ByteView(joined).subspan(at + 4, 4)) + " ";
  }
  EXPECT_EQ(boxes.substr(0, 10), "ftyp moov ");
  EXPECT_EQ(boxes.find("moof"), std::string::npos) << boxes;
  const auto probe = test::probeBytes(joined, {"-show_frames"});
  EXPECT_EQ(probe.errors, "");
  EXPECT_NEAR(number(probe.json["format"], "duration"),
              durationOf(plain["a"]) + durationOf(plain["b"]) + durationOf(plain["c"]), 0.05);
  const auto frames = probe.framesOf(0);
  ASSERT_EQ(frames.size(), 7u);
  EXPECT_DOUBLE_EQ(number(frames[2], "pts_time"), durationOf(plain["a"])) << "part two starts where part one ends";
}

TEST_F(SummaryVideoExportTest, ChunkWithoutAudioLeavesAGapAndKeepsAudioInStep) {
  const Bytes joined =
      exporter.exportSummaryWindowChunks({record("a", 2, true), record("b", 2, false), record("c", 2, true)});
  const auto probe = test::probeBytes(joined, {"-show_packets"});
  EXPECT_EQ(probe.stream("audio")["codec_name"], "aac");
  std::vector<double> audio;
  for (const auto& packet : probe.packetsOf(1)) audio.push_back(number(packet, "pts_time"));
  const auto third = std::find_if(audio.begin(), audio.end(), [](double t) { return t > 2.1; });
  ASSERT_NE(third, audio.end());
  EXPECT_NEAR(*third, 4.0, 0.03) << "the third part's sound starts with its first picture";
  EXPECT_NEAR(number(probe.packetsOf(0).at(4), "pts_time"), 4.0, 0.03);
  EXPECT_EQ(test::probeBytes(joined, {"-show_frames"}).errors, "");
}

TEST_F(SummaryVideoExportTest, JoinsRecoveredChunksAndReencodesChangedVideoSettings) {
  const Chunk first = record("a", 2, false), crashed = record("b", 5, false, 320, true),
              wide = record("c", 2, false, 480);
  const Bytes recovered = exporter.exportSummaryChunk(crashed);
  ASSERT_LT(recovered.size(), std::size_t(*crashed.mp4PlainLen));
  EXPECT_TRUE(std::equal(recovered.begin(), recovered.end(), plain["b"].begin()));
  const auto pictures = test::probeBytes(recovered, {"-show_frames"}).framesOf(0).size();
  ASSERT_GT(pictures, 0u);
  Chunk empty = first;  // closed before its first picture: left out
  empty.mp4PlainLen = 0;
  for (const auto& window : {std::vector{first, empty, crashed}, std::vector{first, crashed, wide}}) {
    const auto probe = test::probeBytes(exporter.exportSummaryWindowChunks(window), {"-show_frames"});
    const int wideSeconds = window.back().id == "c" ? 2 : 0;
    EXPECT_EQ(probe.errors, "");
    EXPECT_EQ(probe.json["streams"].size(), 1u);
    EXPECT_EQ(probe.stream("video")["width"], 320);
    EXPECT_EQ(probe.framesOf(0).size(), 2 + pictures + wideSeconds);
    EXPECT_NEAR(number(probe.json["format"], "duration"), 2 + durationOf(recovered) + wideSeconds, 0.05);
  }
}

TEST_F(SummaryVideoExportTest, ReportsLockedVaultMissingChunksAndAlteredFiles) {
  const Chunk good = record("a", 1, false);
  Chunk missing = good, unknownLength = good, escaping = good;
  missing.fileRelpath = "gone.qxv";
  unknownLength.mp4PlainLen.reset();
  escaping.fileRelpath = "../chunks/a.qxv";
  EXPECT_EQ(errorOf([&] { (void)exporter.exportSummaryWindowChunks({}); }),
            "No recording data was found for the selected summary range");
  for (const Chunk& chunk : {missing, unknownLength, escaping})
    EXPECT_EQ(errorOf([&] { (void)exporter.exportSummaryWindowChunks({good, chunk}); }), "Chunk not found");
  EXPECT_EQ(errorOf([&] {
              (void)exporter.mergeSummaryVideoFiles({plain["a"], Bytes(100, 7)});
            }).rfind("The summary API request failed: Video export failed: Invalid data found", 0),
            0u);
  {
    std::fstream file(chunks / good.fileRelpath, std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(164);
    const char byte = char(file.get());
    file.seekp(164);
    file.put(char(byte ^ 1));
  }
  EXPECT_EQ(errorOf([&] { (void)exporter.exportSummaryChunk(good); }),
            "Authentication failed: wrong key or altered data");
  keys.clearKeys();
  EXPECT_EQ(errorOf([&] { (void)exporter.exportSummaryChunk(missing); }), "Vault is locked") << "before any file";
}

}  // namespace
}  // namespace tolvo
