// The background text recognition of finished chunks on a real SQLCipher database with real
// Tesseract: pictures of known words rendered by ffmpeg, recorded with the recorder's encoder
// and muxer into encrypted chunks; jobs as rows, paused without a master key and taken up again,
// outcomes (also of jobs cut short by the end of a process), and the text of chunks without a
// job read on demand by a local summary.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "core/json_codec.h"
#include "core/time_util.h"
#include "crypto/key_manager.h"
#include "crypto/qxv_writer.h"
#include "db/database_manager.h"
#include "pipeline/consumption_pipeline.h"
#include "pipeline/screen_text_store.h"
#include "pipeline/text_recognition_worker.h"
#include "recording/fragmented_mp4_muxer.h"
#include "recording/video_encoder.h"
#include "support/child_process.h"
#include "support/sandbox.h"

namespace tolvo::test {
namespace {

using namespace std::chrono_literals;

constexpr std::int64_t kT0 = 1'796'597'400'000;
constexpr int kWidth = 640;
constexpr int kHeight = 160;

struct Recorder : VideoEncoderDelegate {
  void videoEncoder(VideoEncoder&, const EncodedSample& sample, bool) override { muxer.addVideoSample(sample); }
  FragmentedMP4Muxer muxer;
};

// A white picture with `text` in black, drawn by ffmpeg with a DejaVu font.
PixelBuffer picture(const std::string& text) {
  const auto drawn = runChild({"ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                               "color=white:s=" + std::to_string(kWidth) + "x" + std::to_string(kHeight) +
                                   ",drawtext=text='" + text +
                                   "':fontsize=36:fontfile=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf:x=20:y=60",
                               "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "bgra", "-"});
  EXPECT_EQ(drawn.exitStatus, 0) << drawn.err;
  return PixelBuffer{kWidth, kHeight, kWidth * 4, Bytes(drawn.out.begin(), drawn.out.end())};
}

class TextRecognitionWorkerTest : public SandboxedTest {
 protected:
  void SetUp() override {
    keys_.setMasterKey(master_);
    db_.open(dataHome() / "vault.db", *keys_.getDBKeyHex());
    db_.createSession({"s", kT0, kT0 + 60'000, kT0});
  }

  // A finished three-second chunk showing `text`, encrypted under its key, with its row.
  Chunk record(const std::string& id, const std::string& text, std::int64_t startMs) {
    Chunk chunk;
    chunk.id = id;
    chunk.sessionId = "s";
    chunk.startAtMs = chunk.createdAtMs = startMs;
    chunk.endAtMs = startMs + 3000;
    chunk.fileRelpath = id + ".qxv";
    chunk.pageSize = QXVWriter::kPageSize;
    chunk.codec = "h264";
    chunk.width = kWidth;
    chunk.height = kHeight;
    chunk.fps = 1;
    std::filesystem::create_directories(chunks_);
    auto recorder = std::make_shared<Recorder>();
    VideoEncoder video("h264");
    video.setDelegate(recorder);
    QXVWriter writer(chunks_ / chunk.fileRelpath, id, keys_.deriveChunkKey(master_, id));
    video.setupSession(kWidth, kHeight, 1, 0.7);
    recorder->muxer.startNewSegment(kWidth, kHeight, 1, false, [&](ByteView bytes) { writer.write(bytes); });
    const PixelBuffer shown = picture(text);
    const MediaTime start = MediaClock::now();
    for (int i = 0; i < 3; ++i) video.encode(shown, start + i * 1s);
    video.flush();
    (void)recorder->muxer.finalize();
    chunk.mp4PlainLen = writer.finalize();
    db_.createChunk(chunk);
    return chunk;
  }

  std::unique_ptr<TextRecognitionWorker> makeWorker() {
    return std::make_unique<TextRecognitionWorker>(TextRecognitionWorker::Dependencies{
        db_, keys_, chunks_, artifacts_, SystemClock::instance(), {}, {}});
  }

  std::vector<std::string> found(const std::string& query) {
    std::vector<std::string> chunkIds;
    for (const auto& hit : db_.searchText(query, std::nullopt, std::nullopt, 10, 0)) chunkIds.push_back(hit.chunkId);
    return chunkIds;
  }

  static bool waitFor(const std::function<bool()>& condition, std::chrono::seconds limit = 60s) {
    for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
      if (condition()) return true;
      std::this_thread::sleep_for(50ms);
    }
    return condition();
  }

  const SymmetricKey master_ = SymmetricKey::random();
  const std::filesystem::path chunks_ = tmp() / "Chunks", artifacts_ = tmp() / "Artifacts";
  KeyManager keys_;
  DatabaseManager db_;
};

TEST_F(TextRecognitionWorkerTest, JobsWaitForTheKeyThenEndDoneOrFailedAndAnUnqueuedChunkIsReadOnDemand) {
  const Chunk lantern = record("c-lantern", "harbour lantern", kT0);
  const Chunk zebra = record("c-zebra", "quarterly zebra", kT0 + 3000);
  PipelineJob left = makeTextRecognitionJob(zebra, kT0 + 6000);
  left.status = JobStatus::running;  // cut short by a restart
  Chunk gone = lantern;
  gone.id = "c-gone";
  PipelineJob missing = makeTextRecognitionJob(gone, kT0 + 7000);
  PipelineJob garbled = makeTextRecognitionJob(lantern, kT0 + 8000);
  garbled.params = json::encode(std::string("not an object"));
  PipelineJob twice = makeTextRecognitionJob(zebra, kT0 + 9000);  // cut short again on its second run
  twice.status = JobStatus::running;
  twice.error = "Interrupted by the end of the service; running again";
  for (const auto& job : {left, missing, garbled, twice}) db_.createPipelineJob(job);

  // Without the master key nothing is read, however long the worker waits.
  keys_.clearKeys();
  auto worker = makeWorker();
  worker->start();
  worker->chunkFinished(lantern);  // queued the way the recorder queues it
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(worker->jobsFinished(), 0);
  EXPECT_EQ(db_.getPipelineJob(left.id)->status, JobStatus::running);

  keys_.setMasterKey(master_);
  ASSERT_TRUE(waitFor([&] { return worker->jobsFinished() == 5; })) << worker->jobsFinished();
  EXPECT_THAT(found("harbour lantern"), testing::ElementsAre("c-lantern"));
  EXPECT_THAT(found("zebra"), testing::ElementsAre("c-zebra"));
  const auto statusOf = [&](const PipelineJob& job) {
    const auto row = db_.getPipelineJob(job.id).value();
    return std::string(rawValue(row.status)) + " " + row.error.value_or("");
  };
  EXPECT_EQ(statusOf(left), "done ");
  EXPECT_EQ(statusOf(missing), "failed Chunk not found");
  EXPECT_EQ(statusOf(garbled), "failed Invalid job parameters");
  EXPECT_EQ(statusOf(twice), "failed The service ended twice while reading this chunk's text; it is skipped");
  const auto stored = ScreenTextStore(db_, keys_, artifacts_, SystemClock::instance()).load(lantern);
  ASSERT_TRUE(stored.has_value());
  ASSERT_FALSE(stored->empty());
  EXPECT_THAT(stored->front().text, testing::HasSubstr("lantern"));
  EXPECT_GE(stored->front().firstSeenMs, kT0);
  EXPECT_LE(stored->front().lastSeenMs, kT0 + 3000);

  // A chunk without a job is recognized when a local summary needs its text.
  const Chunk telescope = record("c-telescope", "marmalade telescope", kT0 + 6000);
  auto pipeline = ConsumptionPipeline::create(
      {db_, keys_, chunks_, SystemClock::instance(), {}, worker.get()});
  const std::string id =
      pipeline->startSummaryJob("s", 0, 0, SummaryPreset::brief, SummaryChunkInterval::twoMinutes, "?", {});
  ASSERT_TRUE(waitFor([&] { return pipeline->getJobStatus(id)->status == JobStatus::done; }));
  const auto summaries = db_.listSummaries("s", 0, INT64_MAX);
  ASSERT_EQ(summaries.size(), 1u);
  EXPECT_THAT(summaries[0].summaryText, testing::HasSubstr("Key Content Detected:"));
  EXPECT_THAT(summaries[0].summaryText, testing::HasSubstr("telescope"));
  EXPECT_THAT(found("marmalade"), testing::ElementsAre("c-telescope"));
}

}  // namespace
}  // namespace tolvo::test
