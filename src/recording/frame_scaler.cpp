#include "recording/frame_scaler.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <mutex>
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

struct FrameScaler::Pool {
  std::mutex mutex;
  std::vector<std::unique_ptr<PixelBuffer>> free;
};

FrameScaler::FrameScaler(std::uint32_t width, std::uint32_t height)
    : width_(std::max<std::uint32_t>(width, 1)), height_(std::max<std::uint32_t>(height, 1)),
      impl_(std::make_unique<Impl>()), pool_(std::make_shared<Pool>()) {}

FrameScaler::~FrameScaler() = default;

std::shared_ptr<PixelBuffer> FrameScaler::freeBuffer() {
  std::unique_ptr<PixelBuffer> buffer;
  {
    std::lock_guard lock(pool_->mutex);
    if (!pool_->free.empty()) {
      buffer = std::move(pool_->free.back());
      pool_->free.pop_back();
    }
  }
  if (!buffer) {
    buffer = std::make_unique<PixelBuffer>();
    buffer->width = width_;
    buffer->height = height_;
    buffer->stride = (width_ * 4 + kRowAlignment - 1) / kRowAlignment * kRowAlignment;
    buffer->bgra.resize(std::size_t{buffer->stride} * height_);
  }
  // The pool's mutex orders the last holder's reads before the next writes into the buffer.
  return std::shared_ptr<PixelBuffer>(buffer.release(), [weak = std::weak_ptr<Pool>(pool_)](PixelBuffer* released) {
    std::unique_ptr<PixelBuffer> owned(released);
    if (const auto pool = weak.lock()) {
      std::lock_guard lock(pool->mutex);
      if (pool->free.size() < kPoolSize) pool->free.push_back(std::move(owned));
    }
  });
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
