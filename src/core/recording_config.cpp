#include "core/recording_config.h"

#include <algorithm>

#include "core/json_codec.h"
#include "core/tolvo_constants.h"
#include "core/user_defaults.h"

namespace tolvo {

RecordingConfig::RecordingConfig(const UserDefaults& d) {
  fps = d.number("recordingFPS").value_or(fps);
  codec = d.string("recordingCodec").value_or(codec);
  videoScale = d.number("recordingVideoScale").value_or(videoScale);
  videoQuality = d.number("recordingVideoQuality").value_or(videoQuality);
  recordAudio = d.boolean("recordingAudio").value_or(recordAudio);
  recordScreensaver = d.boolean("recordingScreensaver").value_or(recordScreensaver);
  chunkDurationSeconds = d.integer("recordingChunkDurationSeconds").value_or(chunkDurationSeconds);
}

double RecordingConfig::clampedVideoScale() const noexcept { return std::clamp(videoScale, 0.25, 1.0); }
double RecordingConfig::clampedVideoQuality() const noexcept { return std::clamp(videoQuality, 0.3, 0.9); }

const RecordingConfig& RecordingConfig::defaultConfig() {
  static const RecordingConfig config(UserDefaults::standard());
  return config;
}

void to_json(nlohmann::json& j, const RecordingConfig& v) {
  j = nlohmann::json::object();
  json::put(j, "fps", v.fps);
  json::put(j, "codec", v.codec);
  json::put(j, "videoScale", v.videoScale);
  json::put(j, "videoQuality", v.videoQuality);
  json::put(j, "recordAudio", v.recordAudio);
  json::put(j, "recordScreensaver", v.recordScreensaver);
  json::put(j, "chunkDurationSeconds", v.chunkDurationSeconds);
}

void from_json(const nlohmann::json& j, RecordingConfig& v) {
  json::requireObject(j, "RecordingConfig");
  const RecordingConfig defaults;
  v.fps = json::optional<double>(j, "fps").value_or(defaults.fps);
  v.codec = json::optional<std::string>(j, "codec").value_or(defaults.codec);
  v.videoScale = json::optional<double>(j, "videoScale").value_or(defaults.videoScale);
  v.videoQuality = json::optional<double>(j, "videoQuality").value_or(defaults.videoQuality);
  v.recordAudio = json::optional<bool>(j, "recordAudio").value_or(defaults.recordAudio);
  v.recordScreensaver = json::optional<bool>(j, "recordScreensaver").value_or(defaults.recordScreensaver);
  v.chunkDurationSeconds = json::optional<std::int64_t>(j, "chunkDurationSeconds").value_or(defaults.chunkDurationSeconds);
}

}  // namespace tolvo
