#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace tolvo {

class UserDefaults;

// The recording settings. JSON encoding writes all seven keys; decoding takes the default
// for a missing or null key, fails on a key of the wrong JSON type, and clamps nothing.
struct RecordingConfig {
  double fps = 1.0;
  std::string codec = "hevc";
  double videoScale = 1.0;
  double videoQuality = 0.7;
  bool recordAudio = false;
  bool recordScreensaver = false;
  std::int64_t chunkDurationSeconds = 180;

  RecordingConfig() = default;

  // Reads the user-defaults keys ("recordingFPS", ...); a missing value, or one that does not
  // convert to the field's type without loss, leaves that field at its default.
  explicit RecordingConfig(const UserDefaults& userDefaults);

  // videoScale limited to 0.25 … 1.0 and videoQuality to 0.3 … 0.9.
  [[nodiscard]] double clampedVideoScale() const noexcept;
  [[nodiscard]] double clampedVideoQuality() const noexcept;

  // Built once, on first use, from the user's defaults file.
  [[nodiscard]] static const RecordingConfig& defaultConfig();

  bool operator==(const RecordingConfig&) const = default;
};

void to_json(nlohmann::json& j, const RecordingConfig& v);
void from_json(const nlohmann::json& j, RecordingConfig& v);

}  // namespace tolvo
