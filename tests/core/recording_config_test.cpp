#include "core/recording_config.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/json_codec.h"
#include "core/kdf_params.h"
#include "core/user_defaults.h"
#include "support/sandbox.h"

namespace tolvo {
namespace {

RecordingConfig decodeConfig(const std::string& text) { return json::decode<RecordingConfig>(asBytes(text)); }

TEST(RecordingConfig, EmptyObjectGivesDefaults) {
  auto c = decodeConfig("{}");
  EXPECT_EQ(c.fps, 1.0);
  EXPECT_EQ(c.codec, "hevc");
  EXPECT_EQ(c.videoScale, 1.0);
  EXPECT_EQ(c.videoQuality, 0.7);
  EXPECT_FALSE(c.recordAudio);
  EXPECT_FALSE(c.recordScreensaver);
  EXPECT_EQ(c.chunkDurationSeconds, 180);
  EXPECT_EQ(c, RecordingConfig{});
}

TEST(RecordingConfig, DecodingKeepsValuesAndChecksTypes) {
  auto c = decodeConfig(R"({"fps": 2, "codec": null, "videoScale": 0.1, "chunkDurationSeconds": 60})");
  EXPECT_EQ(c.fps, 2.0);
  EXPECT_EQ(c.codec, "hevc");
  EXPECT_EQ(c.videoScale, 0.1);  // not clamped while decoding
  EXPECT_EQ(c.chunkDurationSeconds, 60);
  for (const char* bad : {R"({"fps": "2"})", R"({"recordAudio": 1})", R"({"codec": 264})",
                          R"({"chunkDurationSeconds": 1.5})", "[]", "3"}) {
    EXPECT_THROW(decodeConfig(bad), DecodingError) << bad;
  }
}

TEST(RecordingConfig, EncodingWritesAllSevenKeys) {
  RecordingConfig c;
  c.codec = "h264";
  c.recordAudio = true;
  auto j = nlohmann::json::parse(toString(json::encode(c)));
  EXPECT_EQ(j, nlohmann::json::parse(R"({"fps":1.0,"codec":"h264","videoScale":1.0,"videoQuality":0.7,
      "recordAudio":true,"recordScreensaver":false,"chunkDurationSeconds":180})"));
}

TEST(RecordingConfig, ClampedAccessors) {
  RecordingConfig c;
  c.videoScale = 0.1;
  c.videoQuality = 0.95;
  EXPECT_EQ(c.clampedVideoScale(), 0.25);
  EXPECT_EQ(c.videoScale, 0.1);
  EXPECT_EQ(c.clampedVideoQuality(), 0.9);
  c.videoScale = 1.5;
  c.videoQuality = 0.1;
  EXPECT_EQ(c.clampedVideoScale(), 1.0);
  EXPECT_EQ(c.clampedVideoQuality(), 0.3);
  c.videoScale = 0.5;
  c.videoQuality = 0.6;
  EXPECT_EQ(c.clampedVideoScale(), 0.5);
  EXPECT_EQ(c.clampedVideoQuality(), 0.6);
}

TEST(RecordingConfig, UserDefaultsBadValueResetsOnlyItsField) {
  auto d = UserDefaults::fromJSONText(R"({"recordingFPS": 0.5, "recordingCodec": "h264",
      "recordingVideoScale": 2, "recordingVideoQuality": "high", "recordingAudio": true,
      "recordingScreensaver": 1, "recordingChunkDurationSeconds": "300"})");
  RecordingConfig c(d);
  EXPECT_EQ(c.fps, 0.5);
  EXPECT_EQ(c.codec, "h264");
  EXPECT_EQ(c.videoScale, 2.0);
  EXPECT_EQ(c.videoQuality, 0.7);
  EXPECT_TRUE(c.recordAudio);
  EXPECT_FALSE(c.recordScreensaver);
  EXPECT_EQ(c.chunkDurationSeconds, 180);
  EXPECT_EQ(RecordingConfig(UserDefaults::fromJSONText(R"({"recordingChunkDurationSeconds": 90.0})")).chunkDurationSeconds, 90);
  EXPECT_EQ(RecordingConfig(UserDefaults::fromJSONText(R"({"recordingChunkDurationSeconds": 90.5})")).chunkDurationSeconds, 180);
}

class UserDefaultsFile : public test::SandboxedTest {};

TEST_F(UserDefaultsFile, ReadsTheUsersFileAndToleratesBrokenOnes) {
  const auto file = configHome() / "TolvoDesk" / "defaults.json";
  EXPECT_EQ(RecordingConfig(UserDefaults::standard()), RecordingConfig{});  // no file
  test::writeText(file, R"({"recordingFPS": 4, "recordingAudio": true})");
  RecordingConfig c(UserDefaults::standard());
  EXPECT_EQ(c.fps, 4.0);
  EXPECT_TRUE(c.recordAudio);
  for (const char* broken : {"{\"recordingFPS\": 4", "[1,2]", "", "null"}) {
    test::writeText(file, broken);
    EXPECT_EQ(RecordingConfig(UserDefaults::standard()), RecordingConfig{}) << broken;
  }
}

TEST(KDFParams, JsonFormAndRequiredKeys) {
  KDFParams p{Bytes{1, 2, 3}, 100000, "PBKDF2-SHA256"};
  auto j = nlohmann::json::parse(toString(json::encode(p)));
  EXPECT_EQ(j, nlohmann::json::parse(R"({"salt":"AQID","iterations":100000,"algorithm":"PBKDF2-SHA256"})"));
  EXPECT_EQ(json::decode<KDFParams>(json::encode(p)), p);
  EXPECT_THROW((void)json::decode<KDFParams>(asBytes(R"({"salt":"AQID","iterations":1})")), DecodingError);
  EXPECT_THROW((void)json::decode<KDFParams>(asBytes(R"({"salt":"AQI","iterations":1,"algorithm":"x"})")), DecodingError);
  EXPECT_EQ(KDFParams{}.algorithm, "PBKDF2-SHA256");
}

}  // namespace
}  // namespace tolvo
