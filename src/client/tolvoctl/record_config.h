#pragma once
// The recording settings as tolvoctl takes them: flag values checked one at a time, and the
// user's defaults file, which `tolvoctl record config` rewrites.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "core/error.h"
#include "core/recording_config.h"

namespace tolvo::ctl {

// A flag value that is no valid setting; what() names the values that are.
class InvalidSetting : public Error {
 public:
  using Error::Error;
};

// Flag text to a setting. Each raises InvalidSetting for text that is not a whole number
// (chunk seconds) or a finite decimal number in its range, or not one of the codecs.
[[nodiscard]] double parseFps(std::string_view text);                 // above 0, at most 60
[[nodiscard]] std::string parseCodec(std::string_view text);          // hevc or h264
[[nodiscard]] double parseVideoScale(std::string_view text);          // 0.25 to 1
[[nodiscard]] double parseVideoQuality(std::string_view text);        // 0.3 to 0.9
[[nodiscard]] std::int64_t parseChunkSeconds(std::string_view text);  // 1 to 86400

// The settings named on one command line; nothing for each one not named.
struct RecordingConfigChange {
  std::optional<double> fps;
  std::optional<std::string> codec;
  std::optional<double> videoScale;
  std::optional<double> videoQuality;
  std::optional<bool> recordAudio;
  std::optional<bool> recordScreensaver;
  std::optional<std::int64_t> chunkDurationSeconds;

  [[nodiscard]] bool empty() const noexcept;
  // `base` with each named setting replaced.
  [[nodiscard]] RecordingConfig appliedTo(RecordingConfig base) const;
};

// `config` under the seven keys of the defaults file ("recordingFPS", "recordingCodec", ...).
[[nodiscard]] nlohmann::json defaultsJson(const RecordingConfig& config);

// One line for people: "1 fps, hevc, scale 1, quality 0.7, no audio, ...".
[[nodiscard]] std::string describe(const RecordingConfig& config);

// Writes the settings named in `change` into the defaults file at `path` and returns the
// configuration the file now gives. Every other key of the file's JSON object stays as it
// was. The file is replaced atomically (mode 0600, a missing directory created 0700). A file
// that exists but holds no JSON object is left untouched and raises DecodingError; a failed
// write raises SystemError.
RecordingConfig saveDefaults(const std::filesystem::path& path, const RecordingConfigChange& change);

}  // namespace tolvo::ctl
