#include "client/tolvoctl/record_config.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "core/bytes.h"
#include "core/file_util.h"
#include "core/user_defaults.h"

namespace tolvo::ctl {
namespace {

using Json = nlohmann::json;

// The whole of `text` as a finite number in [low, high] (above `low` when `lowOpen`).
double parseNumber(std::string_view text, double low, double high, bool lowOpen, const std::string& expected) {
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  const bool inRange = lowOpen ? value > low : value >= low;
  if (text.empty() || error != std::errc() || stop != end || !std::isfinite(value) || !inRange || value > high) {
    throw InvalidSetting(expected + ", not \"" + std::string(text) + "\"");
  }
  return value;
}

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

}  // namespace

double parseFps(std::string_view text) {
  return parseNumber(text, 0, 60, true, "frames per second must be a number above 0 and at most 60");
}

std::string parseCodec(std::string_view text) {
  if (text == "hevc" || text == "h264") return std::string(text);
  throw InvalidSetting("the codec must be hevc or h264, not \"" + std::string(text) + "\"");
}

double parseVideoScale(std::string_view text) {
  return parseNumber(text, 0.25, 1, false, "the scale must be a number from 0.25 to 1");
}

double parseVideoQuality(std::string_view text) {
  return parseNumber(text, 0.3, 0.9, false, "the quality must be a number from 0.3 to 0.9");
}

std::int64_t parseChunkSeconds(std::string_view text) {
  std::int64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end || value < 1 || value > 86400) {
    throw InvalidSetting("a chunk must last a whole number of seconds from 1 to 86400, not \"" + std::string(text) +
                         "\"");
  }
  return value;
}

bool RecordingConfigChange::empty() const noexcept {
  return !fps && !codec && !videoScale && !videoQuality && !recordAudio && !recordScreensaver && !chunkDurationSeconds;
}

RecordingConfig RecordingConfigChange::appliedTo(RecordingConfig base) const {
  base.fps = fps.value_or(base.fps);
  base.codec = codec.value_or(base.codec);
  base.videoScale = videoScale.value_or(base.videoScale);
  base.videoQuality = videoQuality.value_or(base.videoQuality);
  base.recordAudio = recordAudio.value_or(base.recordAudio);
  base.recordScreensaver = recordScreensaver.value_or(base.recordScreensaver);
  base.chunkDurationSeconds = chunkDurationSeconds.value_or(base.chunkDurationSeconds);
  return base;
}

Json defaultsJson(const RecordingConfig& config) {
  return Json{{"recordingFPS", config.fps},
              {"recordingCodec", config.codec},
              {"recordingVideoScale", config.videoScale},
              {"recordingVideoQuality", config.videoQuality},
              {"recordingAudio", config.recordAudio},
              {"recordingScreensaver", config.recordScreensaver},
              {"recordingChunkDurationSeconds", config.chunkDurationSeconds}};
}

std::string describe(const RecordingConfig& config) {
  return number(config.fps) + " fps, " + config.codec + ", scale " + number(config.videoScale) + ", quality " +
         number(config.videoQuality) + (config.recordAudio ? ", with audio" : ", no audio") +
         (config.recordScreensaver ? ", screensaver recorded" : ", screensaver not recorded") + ", chunks of " +
         std::to_string(config.chunkDurationSeconds) + " s";
}

RecordingConfig saveDefaults(const std::filesystem::path& path, const RecordingConfigChange& change) {
  Json object = Json::object();
  if (const auto existing = fs::readFileIfExists(path)) {
    object = Json::parse(existing->begin(), existing->end(), nullptr, /*allow_exceptions=*/false);
    if (object.is_discarded() || !object.is_object()) {
      throw DecodingError(path.string() + " holds no JSON object; it was left as it is (correct or remove it)");
    }
  }
  // Only the named settings are written: a key the user never set keeps following the
  // built-in default.
  const RecordingConfig named = change.appliedTo(RecordingConfig());
  const Json all = defaultsJson(named);
  auto put = [&](const char* key, bool present) {
    if (present) object[key] = all.at(key);
  };
  put("recordingFPS", change.fps.has_value());
  put("recordingCodec", change.codec.has_value());
  put("recordingVideoScale", change.videoScale.has_value());
  put("recordingVideoQuality", change.videoQuality.has_value());
  put("recordingAudio", change.recordAudio.has_value());
  put("recordingScreensaver", change.recordScreensaver.has_value());
  put("recordingChunkDurationSeconds", change.chunkDurationSeconds.has_value());

  const std::string text = object.dump(2) + "\n";
  fs::ensurePrivateDirectory(path.parent_path());
  fs::writeFileAtomically(path, asBytes(text));
  return RecordingConfig(UserDefaults::fromJSONText(text));
}

}  // namespace tolvo::ctl
