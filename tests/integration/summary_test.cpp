// Summary jobs through the real service on a real recording: the window's video sent to a
// loopback endpoint, local window and daily summaries, a failing endpoint, and a job's status
// read back from the database after the service restarts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/base64.h"
#include "integration/recording_fixture.h"
#include "support/http_test_server.h"

namespace tolvo::test {
namespace {

using Json = nlohmann::json;

class SummaryTest : public RecordingTest {
 protected:
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
};

TEST_F(SummaryTest, RemoteAndLocalSummariesOfARealRecording) {
  TolvoClient& c = startService();
  ASSERT_TRUE(c.startRecording(config(3)).ok);
  const std::string session = status().currentSessionId.value();
  ASSERT_TRUE(waitFor([&] { return chunks(session).size() >= 3; }));
  ASSERT_TRUE(c.stopRecording().ok);
  double recordedSeconds = 0;
  for (const Chunk& chunk : chunks(session)) recordedSeconds += (*chunk.endAtMs - chunk.startAtMs) / 1000.0;

  HttpTestServer endpoint;
  HttpAnswer answer;
  answer.body = R"({"id":"r1","model":" test-model ","output_text":"  Worked in a terminal.\n"})";
  endpoint.answer(answer);
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
  const Json body = Json::parse(sent[0].body);
  const Json& file = body["input"][0]["content"][1];
  EXPECT_EQ(file["filename"], "recording-" + session + "-" + std::to_string(stored[0].rangeStartMs) + "-" +
                                  std::to_string(stored[0].rangeEndMs) + ".mp4");
  EXPECT_EQ(body["metadata"]["app_names"], Json::array({"XTerm"}));
  const Bytes video = base64Decode(file["data"].get<std::string>()).value();
  ASSERT_GT(video.size(), 64u);
  const std::size_t second = (std::size_t{video[0]} << 24) | (video[1] << 16) | (video[2] << 8) | video[3];
  EXPECT_EQ(toString(ByteView(video).subspan(4, 4)) + toString(ByteView(video).subspan(second + 4, 4)), "ftypmoov")
      << "the movie header comes first";
  const ProbeResult probe = probeBytes(video, {"-show_frames"});
  EXPECT_TRUE(probe.exitStatus == 0 && probe.errors.empty()) << probe.errors;
  EXPECT_NEAR(number(probe.json["format"], "duration"), recordedSeconds, 0.6);

  // Locally: one window and its day. A failing endpoint fails the job with its answer.
  const PipelineJob local = summarize(session, "5m");
  ASSERT_EQ(local.status, JobStatus::done) << local.error.value_or("");
  std::vector<std::string> models;
  for (const Summary& s : summaries(session)) models.push_back(s.modelId);
  EXPECT_THAT(models, testing::UnorderedElementsAre("test-model", "local-v1", "daily-aggregate-local-v1"));
  answer.status = 500;
  answer.body = "boom";
  endpoint.answer(answer);
  EXPECT_EQ(summarize(session, "1h", endpoint.baseURL()).error, "The summary API request failed: HTTP 500: boom");

  // After a restart the job is no longer in memory: its row answers.
  startService();
  EXPECT_EQ(client_->summaryJobStatus(token_, remote.id).value, remote);
  expectNoPlaintextMedia();
}

}  // namespace
}  // namespace tolvo::test
