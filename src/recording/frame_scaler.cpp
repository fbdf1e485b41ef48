#include "recording/frame_scaler.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <atomic>
#include <cstring>

#include "core/handle.h"

namespace tolvo {
namespace {

constexpr std::uint32_t kRowAlignment = 64;
// Buffers kept for reuse: the one being filled and the one the consumer still holds.
constexpr std::size_t kPoolSize = 2;

using SwsHandle = Handle<SwsContext, sws_freeContext>;

}  // namespace

struct FrameScaler::Impl {
  SwsHandle context;
};

FrameScaler::FrameScaler(std::uint32_t width, std::uint32_t height)
    : width_(std::max<std::uint32_t>(width, 1)), height_(std::max<std::uint32_t>(height, 1)),
      impl_(std::make_unique<Impl>()) {}

FrameScaler::~FrameScaler() = default;

std::shared_ptr<PixelBuffer> FrameScaler::freeBuffer() {
  for (auto& buffer : pool_) {
    // Only we can make new holders of a buffer, so a count of one stays one. The fence
    // orders the last holder's reads (released with its count decrement) before our writes.
    if (buffer.use_count() == 1) {
      std::atomic_thread_fence(std::memory_order_acquire);
      return buffer;
    }
  }
  auto buffer = std::make_shared<PixelBuffer>();
  buffer->width = width_;
  buffer->height = height_;
  buffer->stride = (width_ * 4 + kRowAlignment - 1) / kRowAlignment * kRowAlignment;
  buffer->bgra.resize(std::size_t{buffer->stride} * height_);
  if (pool_.size() >= kPoolSize) pool_.erase(pool_.begin());
  pool_.push_back(buffer);
  return buffer;
}

std::shared_ptr<const PixelBuffer> FrameScaler::scale(const GrabbedImage& image) {
  if (image.bgra == nullptr || image.width == 0 || image.height == 0) return nullptr;
  auto output = freeBuffer();
  if (image.width == width_ && image.height == height_) {
    const std::size_t rowBytes = std::size_t{width_} * 4;
    for (std::uint32_t y = 0; y < height_; ++y) {
      std::memcpy(output->bgra.data() + std::size_t{y} * output->stride, image.bgra + std::size_t{y} * image.stride,
                  rowBytes);
    }
    return output;
  }
  const int flags = (image.width >= width_ && image.height >= height_) ? SWS_AREA : SWS_BICUBIC;
  SwsContext* context = sws_getCachedContext(impl_->context.release(), int(image.width), int(image.height),
                                             AV_PIX_FMT_BGRA, int(width_), int(height_), AV_PIX_FMT_BGRA, flags,
                                             nullptr, nullptr, nullptr);
  impl_->context.reset(context);
  if (context == nullptr) return nullptr;
  const std::uint8_t* const source[4] = {image.bgra, nullptr, nullptr, nullptr};
  const int sourceStride[4] = {int(image.stride), 0, 0, 0};
  std::uint8_t* const target[4] = {output->bgra.data(), nullptr, nullptr, nullptr};
  const int targetStride[4] = {int(output->stride), 0, 0, 0};
  if (sws_scale(context, source, sourceStride, 0, int(image.height), target, targetStride) != int(height_)) {
    return nullptr;
  }
  return output;
}

}  // namespace tolvo
