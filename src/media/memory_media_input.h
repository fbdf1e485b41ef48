#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>

#include "core/bytes.h"
#include "core/handle.h"

extern "C" {
struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVIOContext;
struct AVPacket;
struct SwsContext;
}

namespace tolvo {

// Releases of FFmpeg's handles, for Handle<T, release>.
void freeCodecContext(AVCodecContext* context) noexcept;
void freeFrame(AVFrame* frame) noexcept;
void freePacket(AVPacket* packet) noexcept;
void freeScaler(SwsContext* scaler) noexcept;

using CodecContextHandle = Handle<AVCodecContext, freeCodecContext>;
using FrameHandle = Handle<AVFrame, freeFrame>;
using PacketHandle = Handle<AVPacket, freePacket>;
using ScalerHandle = Handle<SwsContext, freeScaler>;

// FFmpeg's text for a negative status ("Invalid data found when processing input").
[[nodiscard]] std::string mediaErrorText(int status);
// `status`, or MediaError with FFmpeg's text and `step` when it is negative.
int checkMediaStatus(int status, const std::string& step);

// `pointer`, or std::bad_alloc when an FFmpeg allocation returned nothing.
template <typename T>
[[nodiscard]] T* mediaAllocated(T* pointer) {
  if (pointer == nullptr) throw std::bad_alloc();
  return pointer;
}

// One MP4 stream held in memory, opened by libavformat's mp4 demuxer (no probing) through
// its own read and seek callbacks: nothing is written to a file. Keeps a view of the bytes:
// they must outlive it. Not movable (the callbacks hold its address). Raises MediaError
// ("<FFmpeg's reason> (reading <name>)") when the demuxer refuses the stream.
//
// REQUIRES: external synchronization.
class MemoryMediaInput {
 public:
  MemoryMediaInput(ByteView bytes, const std::string& name);
  MemoryMediaInput(const MemoryMediaInput&) = delete;
  MemoryMediaInput& operator=(const MemoryMediaInput&) = delete;
  ~MemoryMediaInput();

  [[nodiscard]] AVFormatContext* context() const noexcept { return context_.get(); }

 private:
  static void closeInput(AVFormatContext* context) noexcept;
  static void freeIO(AVIOContext* io) noexcept;
  static int read(void* opaque, std::uint8_t* buffer, int size);
  static std::int64_t seek(void* opaque, std::int64_t offset, int whence);

  ByteView bytes_;
  std::size_t position_ = 0;
  Handle<AVIOContext, freeIO> io_;  // declared before context_: the context reads through it until closed
  Handle<AVFormatContext, closeInput> context_;
};

}  // namespace tolvo
