#include "core/records.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/base64.h"
#include "core/json_codec.h"
#include "core/kdf_params.h"
#include "core/recording_config.h"
#include "core/user_defaults.h"
#include "support/sandbox.h"

namespace tolvo {
namespace {

using Json = nlohmann::json;

template <typename T>
Json encoded(const T& value) {
  return Json::parse(toString(json::encode(value)));
}

template <typename T>
void expectRoundTrip(const T& value) {
  EXPECT_EQ(json::decode<T>(json::encode(value)), value) << encoded(value);
}

template <typename T>
void expectDecodeFails(const std::string& text) {
  EXPECT_THROW((void)json::decode<T>(asBytes(text)), DecodingError) << text;
}

TEST(Records, EveryRecordAndTheKDFParamsRoundTripWithAllFieldsAndWithoutTheirOptionals) {
  Session s{"a1b2", 1000, std::nullopt, 1001};
  EXPECT_EQ(encoded(s), Json::parse(R"({"id":"a1b2","startedAtMs":1000,"createdAtMs":1001})"));
  s.endedAtMs = 2000;
  expectRoundTrip(s);
  expectRoundTrip(Chunk{"c1", "s1", 10, 20, "c1.qxv", 1234, 65536, "hevc", 1920, 1080, 1.0, true, "aac", 48000, 2, 11});
  expectRoundTrip(Chunk{"c2", "s1", 10, {}, "c2.qxv", {}, 65536, "h264", 640, 480, 0.5, false, {}, {}, {}, 11});
  expectRoundTrip(ContextInterval{3, "s", 1, 2, "org.example.App", "App", "Title ✓", "0"});
  expectRoundTrip(Artifact{"A1", "s", ArtifactKind::proxy, 1, std::nullopt, "a.qxv", 9});
  expectRoundTrip(Summary{"S1", "s", 1, 2, "local", "text", 3});
  expectRoundTrip(Event{1, "s", 5, EventType::windowTitleChanged, toBytes("{}")});
  EXPECT_FALSE(encoded(RecordingInterval{7, "s", 1, 2, RecordingState::recording, std::nullopt}).contains("reason"));
  expectRoundTrip(RecordingInterval{7, "s", 1, 2, RecordingState::paused, PauseReason::lockScreen});
  PipelineJob job{"J", "s", 3, 4, 5, JobStatus::running, JobType::ocr, toBytes("{\"a\":1}"), "failed once"};
  EXPECT_EQ(encoded(job)["params"], "eyJhIjoxfQ==");
  EXPECT_EQ(encoded(job)["status"], "running");
  expectRoundTrip(job);
  job.params = Bytes{};
  EXPECT_EQ(encoded(job)["params"], "");
  expectRoundTrip(job);
  const KDFParams kdf{Bytes{1, 2, 3}, 100000, "PBKDF2-SHA256"};
  EXPECT_EQ(encoded(kdf), Json::parse(R"({"salt":"AQID","iterations":100000,"algorithm":"PBKDF2-SHA256"})"));
  expectRoundTrip(kdf);
}

TEST(Records, NullOptionalsAreAbsentAndMissingOrMistypedRequiredFieldsAndUnknownNamesFail) {
  EXPECT_EQ(json::decode<Session>(asBytes(R"({"id":"x","startedAtMs":1,"endedAtMs":null,"createdAtMs":2})")),
            (Session{"x", 1, std::nullopt, 2}));
  for (const char* bad : {R"({"id":"x","startedAtMs":1})", R"({"id":"x","startedAtMs":null,"createdAtMs":2})",
                          R"({"id":"x","startedAtMs":"1","createdAtMs":2})",
                          R"({"id":"x","startedAtMs":1.5,"createdAtMs":2})", "not json"})
    expectDecodeFails<Session>(bad);
  expectDecodeFails<Event>(R"({"id":1,"sessionId":"s","tsMs":5,"type":"window_moved"})");
  expectDecodeFails<RecordingInterval>(
      R"({"id":7,"sessionId":"s","startAtMs":1,"endAtMs":2,"state":"paused","reason":"Lock_Screen"})");
  expectDecodeFails<PipelineJob>(
      R"({"id":"J","sessionId":"s","requestedAtMs":3,"status":"done","jobType":"ocr","params":"eyJhIjoxfQ"})");
  expectDecodeFails<KDFParams>(R"({"salt":"AQID","iterations":1})");
  expectDecodeFails<KDFParams>(R"({"salt":"AQI","iterations":1,"algorithm":"x"})");
}

TEST(Records, TimestampsAreSecondsSince2001) {
  const auto epoch2001 = std::chrono::system_clock::from_time_t(978307200);
  RecordingStatus status;
  status.pausedAt = std::chrono::system_clock::from_time_t(0);  // before 2001: negative
  EXPECT_EQ(encoded(status)["pausedAt"], -978307200.0);
  const UISessionToken token{"ABC", epoch2001 + std::chrono::milliseconds(1500), epoch2001};
  EXPECT_EQ(encoded(token), Json::parse(R"({"token":"ABC","expiresAt":1.5,"createdAt":0})"));
  expectRoundTrip(token);
  expectDecodeFails<UISessionToken>(R"({"token":"A","expiresAt":"soon","createdAt":0})");
  expectDecodeFails<UISessionToken>(R"({"token":"A","expiresAt":1e300,"createdAt":0})");
}

TEST(Base64, StrictStandardAlphabetWithPadding) {
  const std::pair<const char*, Bytes> rows[] = {
      {"", {}}, {"Zg==", toBytes("f")}, {"Zm9vYg==", toBytes("foob")}, {"Zm9vYmFy", toBytes("foobar")},
      {"+/8=", {0xfb, 0xff}}};
  for (const auto& [text, bytes] : rows) {
    EXPECT_EQ(base64Encode(bytes), text);
    EXPECT_EQ(base64Decode(text), bytes) << text;
  }
  for (const char* bad : {"Zg", "Zg=", "Z===", "Zm9v YmFy", "Zm9vYmF-", "Zm=vYg==", "Zm9vYg==\n", "Zg==Zg=="})
    EXPECT_FALSE(base64Decode(bad).has_value()) << bad;
}

// The JSON form of a recording configuration: all seven keys, the defaults with `changes` applied.
Json configJson(const char* changes = "{}") {
  Json j = Json::parse(R"({"fps":1.0,"codec":"hevc","videoScale":1.0,"videoQuality":0.7,
      "recordAudio":false,"recordScreensaver":false,"chunkDurationSeconds":180})");
  j.update(Json::parse(changes));
  return j;
}

RecordingConfig decodeConfig(const std::string& text) { return json::decode<RecordingConfig>(asBytes(text)); }
RecordingConfig fromDefaults(const std::string& text) { return RecordingConfig(UserDefaults::fromJSONText(text)); }

TEST(RecordingConfig, JsonWritesAllSevenKeysAndReadsMissingOrNullAsDefaults) {
  EXPECT_EQ(encoded(RecordingConfig{}), configJson());
  EXPECT_EQ(decodeConfig("{}"), RecordingConfig{});
  EXPECT_EQ(encoded(decodeConfig(R"({"fps": 2, "codec": null, "videoScale": 0.1, "chunkDurationSeconds": 60})")),
            configJson(R"({"fps": 2, "videoScale": 0.1, "chunkDurationSeconds": 60})"));  // not clamped
  const Json all = configJson(R"({"fps": 0.5, "codec": "h264", "videoScale": 0.5, "videoQuality": 0.4,
      "recordAudio": true, "recordScreensaver": true, "chunkDurationSeconds": 30})");
  EXPECT_EQ(encoded(decodeConfig(all.dump())), all);
  for (const char* bad : {R"({"fps": "2"})", R"({"recordAudio": 1})", R"({"codec": 264})",
                          R"({"chunkDurationSeconds": 1.5})", "[]"})
    EXPECT_THROW(decodeConfig(bad), DecodingError) << bad;
}

class UserDefaultsFile : public test::SandboxedTest {};

TEST_F(UserDefaultsFile, AValueThatDoesNotConvertResetsOnlyItsFieldAndBrokenFilesAreIgnored) {
  const auto file = configHome() / "TolvoDesk" / "defaults.json";
  EXPECT_EQ(RecordingConfig(UserDefaults::standard()), RecordingConfig{});  // no file
  test::writeText(file, R"({"recordingFPS": 0.5, "recordingCodec": "h264", "recordingVideoScale": 2,
      "recordingVideoQuality": "high", "recordingAudio": true, "recordingScreensaver": 1,
      "recordingChunkDurationSeconds": 90.5})");
  EXPECT_EQ(encoded(RecordingConfig(UserDefaults::standard())),
            configJson(R"({"fps": 0.5, "codec": "h264", "videoScale": 2, "recordAudio": true})"));
  EXPECT_EQ(fromDefaults(R"({"recordingChunkDurationSeconds": 90.0})").chunkDurationSeconds, 90);
  for (const char* broken : {"{\"recordingFPS\": 4", "[1,2]", ""}) {
    test::writeText(file, broken);
    EXPECT_EQ(RecordingConfig(UserDefaults::standard()), RecordingConfig{}) << broken;
  }
}

}  // namespace
}  // namespace tolvo
