#include "media/memory_media_input.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "media/chunk_frame_decoder.h"

namespace tolvo {
namespace {

constexpr int kIOBufferSize = 64 * 1024;

}  // namespace

void freeCodecContext(AVCodecContext* context) noexcept { avcodec_free_context(&context); }
void freeFrame(AVFrame* frame) noexcept { av_frame_free(&frame); }
void freePacket(AVPacket* packet) noexcept { av_packet_free(&packet); }
void freeScaler(SwsContext* scaler) noexcept { sws_freeContext(scaler); }

std::string mediaErrorText(int status) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(status, text, sizeof text);
  return text;
}

int checkMediaStatus(int status, const std::string& step) {
  if (status < 0) throw MediaError(mediaErrorText(status) + " (" + step + ")");
  return status;
}

MemoryMediaInput::MemoryMediaInput(ByteView bytes, const std::string& name) : bytes_(bytes) {
  auto* buffer = mediaAllocated(static_cast<unsigned char*>(av_malloc(kIOBufferSize)));
  io_.reset(avio_alloc_context(buffer, kIOBufferSize, 0, this, &MemoryMediaInput::read, nullptr,
                               &MemoryMediaInput::seek));
  if (!io_) {
    av_free(buffer);
    throw std::bad_alloc();
  }
  AVFormatContext* context = mediaAllocated(avformat_alloc_context());
  context->pb = io_.get();
  // Frees the context itself when it fails.
  checkMediaStatus(avformat_open_input(&context, nullptr, av_find_input_format("mp4"), nullptr), "reading " + name);
  context_.reset(context);
}

MemoryMediaInput::~MemoryMediaInput() = default;

void MemoryMediaInput::closeInput(AVFormatContext* context) noexcept { avformat_close_input(&context); }

void MemoryMediaInput::freeIO(AVIOContext* io) noexcept {
  av_freep(&io->buffer);
  avio_context_free(&io);
}

int MemoryMediaInput::read(void* opaque, std::uint8_t* buffer, int size) {
  auto* self = static_cast<MemoryMediaInput*>(opaque);
  const std::size_t count = std::min(self->bytes_.size() - self->position_, static_cast<std::size_t>(size));
  if (count == 0) return AVERROR_EOF;
  std::memcpy(buffer, self->bytes_.data() + self->position_, count);
  self->position_ += count;
  return static_cast<int>(count);
}

std::int64_t MemoryMediaInput::seek(void* opaque, std::int64_t offset, int whence) {
  auto* self = static_cast<MemoryMediaInput*>(opaque);
  const auto size = static_cast<std::int64_t>(self->bytes_.size());
  switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE: return size;
    case SEEK_SET: break;
    case SEEK_CUR: offset += static_cast<std::int64_t>(self->position_); break;
    case SEEK_END: offset += size; break;
    default: return AVERROR(EINVAL);
  }
  if (offset < 0 || offset > size) return AVERROR(EINVAL);
  self->position_ = static_cast<std::size_t>(offset);
  return offset;
}

}  // namespace tolvo
