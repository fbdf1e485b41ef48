// The video encoder and the streaming MP4 muxer against real libavcodec/libavformat, checked
// with ffprobe on the produced stream.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "crypto/qxv_reader.h"
#include "crypto/qxv_writer.h"
#include "crypto/symmetric_key.h"
#include "recording/fragmented_mp4_muxer.h"
#include "recording/video_encoder.h"
#include "support/media_probe.h"
#include "support/sandbox.h"

// libx265 3.5 leaks about 1 MB (at 1080p) of every encoder it opens and closes: VideoEncoder
// keeps one open across sessions to bound that, but each VideoEncoder object leaks it once.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }

namespace tolvo {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;
using test::number;

// Text-like rows of glyph blocks on a light background, scrolled by `step` * 4 pixel rows.
PixelBuffer textFrame(std::uint32_t width, std::uint32_t height, int step) {
  PixelBuffer frame{width, height, width * 4, std::vector<std::uint8_t>(std::size_t{width} * height * 4, 235)};
  for (std::uint32_t y = 0; y < height; ++y) {
    const std::uint32_t line = (y + std::uint32_t(step) * 4) / 16, inLine = (y + std::uint32_t(step) * 4) % 16;
    for (std::uint32_t x = 0; x < width && inLine > 2 && inLine < 13; ++x) {
      const std::uint32_t glyph = (x / 8) * 2654435761u ^ line * 40503u;
      if ((glyph >> 7) % 5 != 0 && ((glyph >> (x % 8 + inLine % 4)) & 1) != 0)
        std::memset(&frame.bgra[(std::size_t{y} * width + x) * 4], 20, 3);
    }
  }
  return frame;
}

// Top-level MP4 boxes (type, size) of a stream; a cut box ends the list.
std::vector<std::pair<std::string, std::uint64_t>> topLevelBoxes(const Bytes& data) {
  std::vector<std::pair<std::string, std::uint64_t>> boxes;
  for (std::size_t at = 0; at + 8 <= data.size();) {
    std::uint64_t size = 0;
    for (std::size_t i = 0; i < 4; ++i) size = size << 8 | data[at + i];
    if (size < 8 || at + size > data.size()) break;  // (no 64-bit sizes in these streams)
    boxes.emplace_back(toString(ByteView(data).subspan(at + 4, 4)), size);
    at += size;
  }
  return boxes;
}

// An encoder whose samples go straight into a muxer, as the recorder wires them.
struct Pipeline : VideoEncoderDelegate {
  explicit Pipeline(const std::string& codec) : encoder(codec) {}
  void videoEncoder(VideoEncoder&, const EncodedSample& sample, bool) override {
    ++samples;
    muxer.addVideoSample(sample);
  }
  void start(int width, int height, double fps, double quality, FragmentedMP4Muxer::ByteSink sink) {
    samples = 0;
    encoder.setupSession(width, height, fps, quality);
    muxer.startNewSegment(width, height, fps, false, std::move(sink));
  }
  FragmentedMP4Muxer muxer;
  VideoEncoder encoder;
  int samples = 0;
};

std::shared_ptr<Pipeline> pipeline(const std::string& codec) {
  auto p = std::make_shared<Pipeline>(codec);
  p->encoder.setDelegate(p);
  return p;
}

std::vector<double> evenly(int count, double fps) {
  std::vector<double> out;
  for (int i = 0; i < count; ++i) out.push_back(i / fps);
  return out;
}

class VideoEncoderMuxerTest : public test::SandboxedTest {};

TEST_F(VideoEncoderMuxerTest, EncodesBothCodecsWithKeyFramesTimesGapsAndStreamLayout) {
  const Json hevc = {{"codec_name", "hevc"}, {"profile", "Main"}, {"codec_tag_string", "hvc1"}};
  const Json h264 = {{"codec_name", "h264"}, {"profile", "High"}, {"codec_tag_string", "avc1"}};
  std::vector<double> gaps = evenly(30, 2.5);  // then 7 s after the last key frame, then 20 s
  gaps.insert(gaps.end(), {17.0, 30.0});
  struct Case {
    std::string codec, encoder;
    Json fields;
    double fps;
    std::vector<double> seconds;
    std::optional<double> end;  // the video is closed there
    std::set<std::size_t> keys;
    double duration;
  };
  for (const Case& c : {Case{"hevc", "libx265", hevc, 1.0, evenly(21, 1.0), 30.0, {0, 10, 20}, 30.0},
                        Case{"HEVC", "libx264", h264, 1.0, evenly(21, 1.0), 30.0, {0, 10, 20}, 30.0},
                        Case{"h264", "libx264", h264, 2.5, gaps, std::nullopt, {0, 25, 31}, 30.4},
                        Case{"hevc", "libx265", hevc, 0.05, {0, 20, 40}, std::nullopt, {0, 1, 2}, 50.0}}) {
    SCOPED_TRACE(c.codec + " at " + std::to_string(c.fps) + " fps");
    // Two sessions on one encoder: the second starts again at 0 with a key frame.
    const auto p = pipeline(c.codec);
    Bytes stream;
    std::optional<std::int64_t> finalized;
    std::size_t afterFirstSample = 0;
    for (int session = 0; session < 2; ++session) {
      stream.clear();
      p->start(320, 192, c.fps, 0.7, [&](ByteView bytes) { stream.insert(stream.end(), bytes.begin(), bytes.end()); });
      const MediaTime start = MediaClock::now() + 1000s;
      const auto at = [&](double s) { return start + std::chrono::duration_cast<MediaClock::duration>(1s * s); };
      for (std::size_t i = 0; i < c.seconds.size(); ++i) {
        p->encoder.encode(textFrame(320, 192, int(i)), at(c.seconds[i]));
        ASSERT_EQ(p->samples, int(i + 1)) << "a picture was held back";
        if (i == 0) afterFirstSample = stream.size();
      }
      if (c.end) p->encoder.repeatLastFrame(at(*c.end));
      p->encoder.flush();
      finalized = p->muxer.finalize();
    }
    EXPECT_EQ(p->encoder.encoderName(), c.encoder);
    EXPECT_EQ(finalized, std::int64_t(stream.size()));
    const auto boxes = topLevelBoxes(stream);
    ASSERT_GE(boxes.size(), 4u);
    EXPECT_EQ(boxes[0].first + boxes[1].first + boxes[2].first + boxes[3].first, "ftypmoovmoofmdat");
    EXPECT_EQ(boxes[0].second + boxes[1].second + boxes[2].second + boxes[3].second, afterFirstSample)
        << "the first fragment reaches the sink with its sample";

    auto probe = test::probeBytes(stream, {"-show_packets", "-show_frames"});
    EXPECT_EQ(probe.errors, "");
    ASSERT_EQ(probe.json["streams"].size(), 1u);
    Json video = probe.stream("video");
    for (const auto& [key, value] : c.fields.items()) EXPECT_EQ(video[key], value) << key;
    EXPECT_EQ(video["time_base"], "1/600");
    EXPECT_DOUBLE_EQ(number(video, "duration"), c.duration) << "the last picture ends at the end time";
    auto frames = probe.framesOf(0);
    auto packets = probe.packetsOf(0);
    const std::size_t count = c.seconds.size() + (c.end ? 1 : 0);
    ASSERT_EQ(std::pair(frames.size(), packets.size()), std::pair(count, count));
    for (std::size_t i = 0; i < count; ++i) {
      const double pts = i < c.seconds.size() ? c.seconds[i] * 600 : (*c.end - 1 / c.fps) * 600;
      EXPECT_EQ(number(frames[i], "pts"), std::round(pts)) << i;
      EXPECT_EQ(number(packets[i], "pts"), std::round(pts)) << i;
      EXPECT_EQ(packets[i]["dts"], packets[i]["pts"]) << "no reordering";
      EXPECT_NE(frames[i]["pict_type"], "B");
      EXPECT_EQ(packets[i]["flags"].get<std::string>()[0] == 'K', c.keys.contains(i)) << i;
    }
  }
}

TEST_F(VideoEncoderMuxerTest, QualityMapIsClampedAndMonotone) {
  for (bool hevc : {true, false}) {
    EXPECT_EQ(VideoEncoder::constantQuality(hevc, 1.0), VideoEncoder::constantQuality(hevc, 0.9));
    EXPECT_EQ(VideoEncoder::constantQuality(hevc, 0.1), VideoEncoder::constantQuality(hevc, 0.3));
    for (double q = 0.3; q < 0.89; q += 0.05)
      EXPECT_GT(VideoEncoder::constantQuality(hevc, q), VideoEncoder::constantQuality(hevc, q + 0.05));
  }
}

TEST_F(VideoEncoderMuxerTest, SegmentsWithoutSamplesOrWithFailingSinkReportNothing) {
  const auto p = pipeline("h264");
  EXPECT_EQ(p->muxer.finalize(), std::nullopt) << "no segment";
  int calls = 0;
  p->start(64, 64, 1, 0.7, [&](ByteView) { ++calls; });
  EXPECT_EQ(p->muxer.finalize(), std::optional<std::int64_t>(0));
  EXPECT_EQ(calls, 0);
  // A sink that starts failing after the first fragment fails the segment; later samples
  // are dropped without reaching it.
  bool failing = false;
  p->start(64, 64, 1, 0.7, [&](ByteView) {
    calls += failing ? 1 : 0;
    if (failing) throw std::runtime_error("disk full");
  });
  p->encoder.encode(textFrame(64, 64, 0), MediaClock::now());
  failing = true;
  testing::internal::CaptureStdout();
  for (int i = 1; i < 4; ++i) p->encoder.encode(textFrame(64, 64, i), MediaClock::now() + i * 1s);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Failed to append video sample: disk full\n");
  EXPECT_TRUE(p->muxer.hasFailed());
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(p->muxer.finalize(), std::nullopt);
}

TEST_F(VideoEncoderMuxerTest, StreamCutAtAPageBoundaryPlaysUpToItsLastFragment) {
  const SymmetricKey key = SymmetricKey::random();
  const auto path = root() / "cut.qxv";
  const auto p = pipeline("hevc");
  std::uint32_t pages = 0;
  {
    QXVWriter writer(path, "cut-test", key);
    p->start(480, 272, 1, 0.9, [&](ByteView bytes) { writer.write(bytes); });
    const MediaTime start = MediaClock::now();
    for (int i = 0; writer.pageIndex() < 2 && i < 1000; ++i) p->encoder.encode(textFrame(480, 272, i), start + i * 1s);
    pages = writer.pageIndex();  // dropped without finalize: the partial page is lost
  }
  const std::int64_t length = std::int64_t{pages} * QXVWriter::kPageSize;
  const Bytes plain = QXVReader(path, key).readRange(0, length, length);
  ASSERT_EQ(plain.size(), std::size_t(length));
  std::size_t fragments = 0;
  for (const auto& box : topLevelBoxes(plain)) fragments += box.first == "mdat";
  ASSERT_GT(fragments, 2u);
  const auto frames = test::probeBytes(plain, {"-show_frames"}).framesOf(0);
  ASSERT_EQ(frames.size(), fragments);
  for (std::size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(number(frames[i], "pts"), double(i) * 600);
}

}  // namespace
}  // namespace tolvo
