#include "core/records.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/base64.h"
#include "core/json_codec.h"

namespace tolvo {
namespace {

using Json = nlohmann::json;

template <typename T>
T roundTrip(const T& value) {
  return Json::parse(toString(tolvo::json::encode(value))).template get<T>();
}

template <typename T>
void expectDecodeFails(const std::string& text) {
  EXPECT_THROW((void)tolvo::json::decode<T>(asBytes(text)), DecodingError) << text;
}

TEST(Records, SessionWithoutEndOmitsKeyAndRoundTrips) {
  Session s{"a1b2", 1000, std::nullopt, 1001};
  const auto encoded = Json::parse(toString(tolvo::json::encode(s)));
  EXPECT_EQ(encoded, Json::parse(R"({"id":"a1b2","startedAtMs":1000,"createdAtMs":1001})"));
  EXPECT_EQ(roundTrip(s), s);
  s.endedAtMs = 2000;
  EXPECT_EQ(Json::parse(toString(tolvo::json::encode(s)))["endedAtMs"], 2000);
  EXPECT_EQ(roundTrip(s), s);
}

TEST(Records, OptionalsMissingOrNullAreAbsentRequiredMissingFails) {
  auto s = tolvo::json::decode<Session>(asBytes(R"({"id":"x","startedAtMs":1,"endedAtMs":null,"createdAtMs":2})"));
  EXPECT_FALSE(s.endedAtMs.has_value());
  expectDecodeFails<Session>(R"({"id":"x","startedAtMs":1})");
  expectDecodeFails<Session>(R"({"id":"x","startedAtMs":null,"createdAtMs":2})");
  expectDecodeFails<Session>(R"({"id":5,"startedAtMs":1,"createdAtMs":2})");
  expectDecodeFails<Session>(R"({"id":"x","startedAtMs":"1","createdAtMs":2})");
  expectDecodeFails<Session>(R"({"id":"x","startedAtMs":1.5,"createdAtMs":2})");
  expectDecodeFails<Session>(R"(["x",1,2])");
  expectDecodeFails<Session>("not json");
}

TEST(Records, RecordingIntervalReason) {
  RecordingInterval r{7, "s", 1, 2, RecordingState::recording, std::nullopt};
  EXPECT_FALSE(Json::parse(toString(tolvo::json::encode(r))).contains("reason"));
  auto decoded = tolvo::json::decode<RecordingInterval>(asBytes(
      R"({"id":7,"sessionId":"s","startAtMs":1,"endAtMs":2,"state":"paused","reason":"lock_screen"})"));
  EXPECT_EQ(decoded.state, RecordingState::paused);
  EXPECT_EQ(decoded.reason, PauseReason::lockScreen);
  expectDecodeFails<RecordingInterval>(
      R"({"id":7,"sessionId":"s","startAtMs":1,"endAtMs":2,"state":"paused","reason":"Lock_Screen"})");
}

TEST(Records, EventTypeParsingAndUnknownTypeFailsWholeRecord) {
  auto e = tolvo::json::decode<Event>(asBytes(R"({"id":1,"sessionId":"s","tsMs":5,"type":"window_title_changed"})"));
  EXPECT_EQ(e.type, EventType::windowTitleChanged);
  EXPECT_FALSE(e.payload.has_value());
  expectDecodeFails<Event>(R"({"id":1,"sessionId":"s","tsMs":5,"type":"window_moved"})");
}

TEST(Records, PipelineJobParamsAreBase64) {
  PipelineJob job;
  job.id = "J";
  job.sessionId = "s";
  job.requestedAtMs = 3;
  job.status = JobStatus::running;
  job.jobType = JobType::ocr;
  job.params = toBytes("{\"a\":1}");
  auto encoded = Json::parse(toString(tolvo::json::encode(job)));
  EXPECT_EQ(encoded["params"], "eyJhIjoxfQ==");
  EXPECT_EQ(encoded["status"], "running");
  EXPECT_EQ(encoded["jobType"], "ocr");
  EXPECT_EQ(roundTrip(job), job);
  job.params = Bytes{};
  EXPECT_EQ(Json::parse(toString(tolvo::json::encode(job)))["params"], "");
  EXPECT_EQ(roundTrip(job).params, Bytes{});
  expectDecodeFails<PipelineJob>(
      R"({"id":"J","sessionId":"s","requestedAtMs":3,"status":"done","jobType":"ocr","params":"eyJhIjoxfQ"})");
}

TEST(Records, RawStringsAreExactAndPerEnumeration) {
  EXPECT_EQ(fromRawValue<PauseReason>("lid_closed"), PauseReason::lidClosed);
  EXPECT_EQ(fromRawValue<EventType>("lid_closed"), EventType::lidClosed);
  EXPECT_EQ(fromRawValue<ArtifactKind>("keyframes"), ArtifactKind::keyframes);
  EXPECT_FALSE(fromRawValue<JobType>("keyframes").has_value());
  EXPECT_FALSE(fromRawValue<JobStatus>("Done").has_value());
  EXPECT_FALSE(fromRawValue<SummaryChunkInterval>("5M").has_value());
  EXPECT_EQ(fromRawValue<SummaryChunkInterval>("1h"), SummaryChunkInterval::hourly);
  EXPECT_EQ(rawValue(EventType::sessionStarted), "session_started");
  EXPECT_EQ(rawValue(RecordingStatus::State::stopping), "stopping");
  EXPECT_EQ(durationMs(SummaryChunkInterval::fiveMinutes), 300000);
  EXPECT_EQ(displayName(SummaryChunkInterval::twoMinutes), "Every 2 Minutes");
}

TEST(Records, TimestampsAreSecondsSince2001) {
  RecordingStatus status;
  status.startedAt = std::chrono::system_clock::from_time_t(978307200);
  status.pausedAt = std::chrono::system_clock::from_time_t(0);
  auto encoded = Json::parse(toString(tolvo::json::encode(status)));
  EXPECT_EQ(encoded["startedAt"].get<double>(), 0.0);
  EXPECT_EQ(encoded["pausedAt"].get<double>(), -978307200.0);
  EXPECT_EQ(encoded["state"], "idle");
  EXPECT_EQ(encoded["config"]["codec"], "hevc");
  EXPECT_FALSE(encoded.contains("currentSessionId"));
  EXPECT_EQ(roundTrip(status), status);

  UISessionToken token{"ABC", std::chrono::system_clock::from_time_t(978307200) + std::chrono::milliseconds(1500),
                       std::chrono::system_clock::from_time_t(978307200)};
  auto t = Json::parse(toString(tolvo::json::encode(token)));
  EXPECT_DOUBLE_EQ(t["expiresAt"].get<double>(), 1.5);
  EXPECT_EQ(roundTrip(token), token);
  expectDecodeFails<UISessionToken>(R"({"token":"A","expiresAt":"soon","createdAt":0})");
  expectDecodeFails<UISessionToken>(R"({"token":"A","expiresAt":1e300,"createdAt":0})");
}

TEST(Records, ChunkAndOtherRecordsRoundTripWithAllFields) {
  Chunk c{"c1", "s1", 10, 20, "c1.qxv", 12345, 65536, "hevc", 1920, 1080, 1.0, true, "aac", 48000, 2, 11};
  EXPECT_EQ(roundTrip(c), c);
  Chunk bare{"c2", "s1", 10, std::nullopt, "c2.qxv", std::nullopt, 65536, "h264", 640, 480, 0.5, false,
             std::nullopt, std::nullopt, std::nullopt, 11};
  auto encoded = Json::parse(toString(tolvo::json::encode(bare)));
  EXPECT_EQ(encoded.size(), 11u);
  EXPECT_EQ(roundTrip(bare), bare);
  ContextInterval ctx{3, "s", 1, 2, "org.example.App", "App", "Title ✓", "0"};
  EXPECT_EQ(roundTrip(ctx), ctx);
  Artifact a{"A1", "s", ArtifactKind::proxy, 1, std::nullopt, "a.qxv", 9};
  EXPECT_EQ(roundTrip(a), a);
  Summary sum{"S1", "s", 1, 2, "local", "text", 3};
  EXPECT_EQ(roundTrip(sum), sum);
  EXPECT_EQ(std::hash<Summary>{}(sum), std::hash<Summary>{}(roundTrip(sum)));
  std::vector<Session> list{{"a", 1, std::nullopt, 1}, {"b", 2, 3, 2}};
  EXPECT_EQ(tolvo::json::decode<std::vector<Session>>(tolvo::json::encode(list)), list);
}

TEST(Base64, StrictStandardAlphabetWithPadding) {
  EXPECT_EQ(base64Encode(toBytes("")), "");
  EXPECT_EQ(base64Encode(toBytes("f")), "Zg==");
  EXPECT_EQ(base64Encode(toBytes("foob")), "Zm9vYg==");
  EXPECT_EQ(base64Encode(Bytes{0xfb, 0xff}), "+/8=");
  EXPECT_EQ(base64Decode("Zm9vYmFy"), toBytes("foobar"));
  EXPECT_EQ(base64Decode("Zg=="), toBytes("f"));
  EXPECT_EQ(base64Decode(""), Bytes{});
  for (const char* bad : {"Zg", "Zg=", "Z===", "Zm9v YmFy", "Zm9vYmF-", "Zm=vYg==", "Zm9vYg==\n", "Zg==Zg=="}) {
    EXPECT_FALSE(base64Decode(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace tolvo
