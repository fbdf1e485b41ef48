#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tolvo::test {

// What `ffprobe -of json -show_format -show_streams` (plus the `show` options) reports about
// a media stream: its exit status, its error output and its JSON, where "packets" and
// "frames" are always separate lists.
struct ProbeResult {
  int exitStatus = -1;
  std::string errors;  // ffprobe's output at log level "error" (demuxing and decoding errors)
  nlohmann::json json;

  // The first stream of `codecType` ("video", "audio"); an empty object when there is none.
  [[nodiscard]] nlohmann::json stream(const std::string& codecType) const;
  [[nodiscard]] std::vector<nlohmann::json> packetsOf(int streamIndex) const;
  [[nodiscard]] std::vector<nlohmann::json> framesOf(int streamIndex) const;
};

// The number at `key`, which ffprobe prints as a number or as text ("30.000000"); NaN when
// `object` has no such key.
[[nodiscard]] double number(const nlohmann::json& object, const std::string& key);

// Probes media held in memory (nothing is written to disk). `show` adds options such as
// "-show_packets" and "-show_frames" (the latter decodes every frame). Raises
// std::runtime_error when ffprobe cannot be run or prints no JSON.
[[nodiscard]] ProbeResult probeBytes(std::span<const std::uint8_t> bytes, const std::vector<std::string>& show = {});

// The first audio track of `bytes`, decoded by ffmpeg (libavcodec): float samples, channels
// interleaved. Raises std::runtime_error when ffmpeg fails or reports an error.
[[nodiscard]] std::vector<float> decodeAudio(std::span<const std::uint8_t> bytes);

}  // namespace tolvo::test
