// Text recognition of chunks recorded from a real X server (Xvfb, xterm) with the recorder's
// own encoder and muxer, decoded in memory and read by Tesseract.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include "media/chunk_frame_decoder.h"
#include "pipeline/chunk_text_recognition.h"
#include "platform/display_server.h"
#include "recording/fragmented_mp4_muxer.h"
#include "recording/video_encoder.h"
#include "support/media_probe.h"
#include "support/sandbox.h"
#include "support/x_server.h"

// libx265 3.5 leaks part of every encoder it opens (see video_encoder_muxer_test.cpp).
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }

namespace tolvo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::XServer;

constexpr std::int64_t kStartMs = 1'700'000'000'000;
const std::vector<std::string> kFirstWords{"lantern", "meadow", "copper", "whistle"};
const std::vector<std::string> kLaterWords{"harbor", "violet", "pebble"};

struct Sink : VideoEncoderDelegate {
  void videoEncoder(VideoEncoder&, const EncodedSample& sample, bool) override { muxer.addVideoSample(sample); }
  FragmentedMP4Muxer muxer;
};

class TextRecognitionTest : public test::SandboxedTest {
 protected:
  // 8 pictures at 1 fps of a 640x360 desktop whose terminal shows kFirstWords, and from the
  // fifth picture on also kLaterWords.
  void SetUp() override {
    if (!XServer::available(XServer::Kind::xvfb)) GTEST_SKIP() << "Xvfb missing";
    XServer x(root(), XServer::Options{XServer::Kind::xvfb, 640, 360, true});
    const auto trigger = root() / "more";
    x.openTerminal("words", "echo " + join(kFirstWords) + "; while [ ! -e " + trigger.string() +
                                " ]; do sleep 0.05; done; echo; echo " + join(kLaterWords),
                   "48x8+10+10");
    const auto server = makeX11DisplayServer(x.display());
    auto grabber = server->openGrabber(server->monitors().at(0).id);
    ASSERT_TRUE(grabber);
    auto sink = std::make_shared<Sink>();
    VideoEncoder video("hevc");
    video.setDelegate(sink);
    video.setupSession(640, 360, 1, 0.7);
    sink->muxer.startNewSegment(640, 360, 1, false, [&](ByteView b) { mp4.insert(mp4.end(), b.begin(), b.end()); });
    const MediaTime start = MediaClock::now();
    for (int i = 0; i < 8; ++i) {
      if (i == 4) std::ofstream{trigger};
      // Waits until the terminal has drawn its text: no change for 400 ms (after a change, for the later words).
      for (bool changed = i == 4; grabber->waitForChange(Clock::now() + (changed ? 5s : 400ms)) ==
                                  FrameGrabber::Wait::changed;
           changed = false)
        ASSERT_TRUE(grabber->grab());
      const std::optional<GrabbedImage> image = grabber->grab();
      ASSERT_TRUE(image);
      PixelBuffer picture{image->width, image->height, image->stride,
                          Bytes(image->bgra, image->bgra + std::size_t{image->stride} * image->height)};
      video.encode(picture, start + i * 1s);
    }
    video.flush();
    (void)sink->muxer.finalize();
  }

  static std::string join(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += word + " ";
    return text;
  }

  Bytes mp4;
  std::unique_ptr<TextRecognizer> recognizer = makeTesseractRecognizer({"eng"});
};

const ScreenTextLine* lineWith(const ChunkText& text, const std::string& word) {
  for (const ScreenTextLine& line : text.lines)
    if (line.text.find(word) != std::string::npos) return &line;
  return nullptr;
}

TEST_F(TextRecognitionTest, ReadsTextAndLaterChangesOfAChunk) {
  int asked = 0;
  const std::optional<ChunkText> text =
      ChunkTextRecognition(*recognizer).recognize(mp4, kStartMs, [&asked] { return ++asked > 0; });
  ASSERT_TRUE(text);
  EXPECT_EQ(text->framesDecoded, 8);
  EXPECT_EQ(asked, 9);  // before each picture and before the end
  for (const std::string& word : kFirstWords) {
    const ScreenTextLine* line = lineWith(*text, word);
    ASSERT_TRUE(line) << word;
    EXPECT_EQ(line->firstSeenMs, kStartMs);
    EXPECT_EQ(line->lastSeenMs, kStartMs + 7000) << "still on screen at the last picture";
    EXPECT_GT(line->confidence, 0.5F);
    EXPECT_TRUE(line->box.x >= 10 && line->box.y >= 10 && line->box.x + line->box.width <= 640) << line->box.x;
  }
  for (const std::string& word : kLaterWords) {
    const ScreenTextLine* line = lineWith(*text, word);
    ASSERT_TRUE(line) << word;
    EXPECT_GE(line->firstSeenMs, kStartMs + 4000);
    EXPECT_LE(line->lastSeenMs, kStartMs + 7000);
  }
  // The first picture in full, then only the region of the later words.
  EXPECT_EQ(text->framesRecognized, 2);
  EXPECT_GT(text->pixelsRecognized, 1.0);
  EXPECT_LT(text->pixelsRecognized, 1.5);

  // A region: only its lines, in the picture's coordinates.
  const std::optional<VideoFrame> last = frameAt(mp4, 7000, FramePixels::gray);
  ASSERT_TRUE(last);
  const TextBox lower{0, 40, 640, 200};
  const auto lines = recognizer->recognize(GrayImageView{last->data.data(), 640, 360, last->stride}, lower);
  ASSERT_FALSE(lines.empty());
  for (const RecognizedLine& line : lines) {
    EXPECT_EQ(line.text.find("lantern"), std::string::npos);
    EXPECT_GE(line.box.y, lower.y);
  }

  // Stopped: nothing.
  int left = 3;
  EXPECT_FALSE(ChunkTextRecognition(*recognizer).recognize(mp4, kStartMs, [&left] { return --left > 0; }));
}

TEST_F(TextRecognitionTest, PicturesAsPNGAndDamagedStreams) {
  const std::optional<VideoFrame> shown = frameAt(mp4, 5500, FramePixels::rgb);
  ASSERT_TRUE(shown);
  EXPECT_EQ(shown->timeMs, 5000);
  EXPECT_EQ(frameAt(mp4, -100, FramePixels::gray)->timeMs, 0);
  EXPECT_EQ(frameAt(mp4, 99'000, FramePixels::gray)->timeMs, 7000);
  const test::ProbeResult png = test::probeBytes(encodePNG(*shown), {"-show_frames"});
  EXPECT_EQ(png.exitStatus, 0);
  EXPECT_EQ(png.errors, "");
  EXPECT_EQ(png.stream("video").value("codec_name", ""), "png");
  EXPECT_EQ(png.stream("video").value("width", 0), 640);
  EXPECT_EQ(png.stream("video").value("height", 0), 360);
  EXPECT_EQ(png.framesOf(0).size(), 1U);

  // Cut or altered streams end early or are refused, never read out of bounds.
  Bytes altered = mp4;
  for (std::size_t i = altered.size() / 3; i < altered.size(); i += 997) altered[i] ^= 0x5a;
  for (const Bytes& damaged : {Bytes(mp4.begin(), mp4.begin() + 200), Bytes(mp4.begin(), mp4.begin() + mp4.size() / 2),
                               altered, Bytes{}}) {
    try {
      const std::optional<ChunkText> text = ChunkTextRecognition(*recognizer).recognize(damaged, kStartMs);
      ASSERT_TRUE(text);
      EXPECT_LE(text->framesDecoded, 8);
    } catch (const MediaError& e) {
      EXPECT_NE(std::string(e.what()), "");
    }
  }
}

}  // namespace
}  // namespace tolvo
