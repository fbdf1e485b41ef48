#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tolvo {

// Capture times of pictures and sound: one monotonic clock for both, so a chunk's audio
// and video can be placed against each other.
using MediaClock = std::chrono::steady_clock;
using MediaTime = MediaClock::time_point;

// One captured picture: tightly packed rows of 32-bit BGRA pixels (B, G, R, A bytes),
// `stride` bytes apart (stride >= width * 4).
struct PixelBuffer {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t stride = 0;
  std::vector<std::uint8_t> bgra;

  [[nodiscard]] const std::uint8_t* row(std::uint32_t y) const noexcept { return bgra.data() + std::size_t{y} * stride; }
};

// Interleaved 32-bit float PCM as captured from the microphone.
struct PcmBuffer {
  std::uint32_t sampleRate = 0;
  std::uint32_t channels = 0;
  std::vector<float> samples;  // frames * channels values, channel-interleaved
  MediaTime captureTime;       // when the first frame of the buffer was captured

  [[nodiscard]] std::size_t frames() const noexcept { return channels == 0 ? 0 : samples.size() / channels; }
};

// The codec description of an encoded stream (codec, profile, size or sample rate, the
// decoder configuration such as SPS/PPS), shared by every sample of that stream. Opaque
// outside the media code; defined in media_format.h.
struct StreamFormat;

enum class MediaKind { video, audio };

// One encoded access unit (a video frame or an AAC packet).
struct EncodedSample {
  MediaKind kind = MediaKind::video;
  std::shared_ptr<const StreamFormat> format;  // never null for a delivered sample
  std::vector<std::uint8_t> data;
  // In the stream's time base (1/600 for video, 1/sample-rate for audio); video times start
  // at zero with each encoder session.
  std::int64_t pts = 0;
  std::int64_t dts = 0;
  std::int64_t duration = 0;
  bool isKeyFrame = true;
  // The capture time of the first picture or PCM frame the sample holds.
  MediaTime captureTime;
};

}  // namespace tolvo
