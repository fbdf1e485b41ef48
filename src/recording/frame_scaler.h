#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/display_server.h"
#include "recording/media_types.h"

namespace tolvo {

// Turns grabbed BGRA pictures into PixelBuffers of one output size with libswscale (area
// averaging when shrinking, bicubic when enlarging). A picture that already has the output
// size is copied row by row without a scaling pass. Output rows are 64-byte aligned.
// Output buffers are reused once every holder of an earlier picture has released it, so a
// steady stream allocates nothing. Used by one thread at a time.
class FrameScaler {
 public:
  // REQUIRES: width and height at least 1.
  FrameScaler(std::uint32_t width, std::uint32_t height);
  FrameScaler(const FrameScaler&) = delete;
  FrameScaler& operator=(const FrameScaler&) = delete;
  ~FrameScaler();

  [[nodiscard]] std::uint32_t width() const noexcept { return width_; }
  [[nodiscard]] std::uint32_t height() const noexcept { return height_; }

  // `image` at the output size; nullptr when libswscale cannot convert it (no memory).
  [[nodiscard]] std::shared_ptr<const PixelBuffer> scale(const GrabbedImage& image);

 private:
  struct Impl;

  // A buffer of the output size that nobody else holds (a reused one when possible).
  std::shared_ptr<PixelBuffer> freeBuffer();

  std::uint32_t width_;
  std::uint32_t height_;
  std::unique_ptr<Impl> impl_;
  // Buffers whose last holder released them; the holders' deleter returns them here, on
  // whatever thread drops the picture.
  struct Pool;
  std::shared_ptr<Pool> pool_;
};

}  // namespace tolvo
