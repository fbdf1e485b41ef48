#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"

namespace tolvo {

// A stream that libavformat or libavcodec refused, with its reason.
class MediaError : public Error {
 public:
  using Error::Error;
};

enum class FramePixels { gray, rgb };

// One decoded picture: 8-bit luma (gray) or packed 24-bit RGB, `stride` bytes per row.
struct VideoFrame {
  std::int64_t timeMs = 0;  // presentation time from the stream's start
  int width = 0;
  int height = 0;
  FramePixels pixels = FramePixels::gray;
  int stride = 0;
  std::vector<std::uint8_t> data;
};

// Decodes the video track of an MP4 held in memory (a recorded chunk's plaintext), picture by
// picture in presentation order, without writing anything to a file. Keeps a view of the
// bytes: they must outlive the decoder. Raises MediaError for a stream that does not open or
// has no video track; a damaged picture further on ends the stream.
//
// REQUIRES: external synchronization.
class ChunkFrameDecoder {
 public:
  ChunkFrameDecoder(ByteView mp4, FramePixels pixels);
  ChunkFrameDecoder(const ChunkFrameDecoder&) = delete;
  ChunkFrameDecoder& operator=(const ChunkFrameDecoder&) = delete;
  ~ChunkFrameDecoder();

  // The next picture; nothing at the end of the stream.
  [[nodiscard]] std::optional<VideoFrame> next();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The picture shown at `timeMs` (the last one presented at or before it; the first picture
// for earlier times); nothing when the stream holds no picture.
[[nodiscard]] std::optional<VideoFrame> frameAt(ByteView mp4, std::int64_t timeMs, FramePixels pixels);

// A PNG file of an RGB picture.
[[nodiscard]] Bytes encodePNG(const VideoFrame& rgbFrame);

}  // namespace tolvo
