#pragma once

// The definition of StreamFormat, for the media code only (encoders and the muxer): it holds
// FFmpeg types, which stay out of every other header.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/rational.h>
}

#include "core/handle.h"
#include "recording/media_types.h"

namespace tolvo {

struct StreamFormat {
  StreamFormat() : parameters(avcodec_parameters_alloc()) {
    if (parameters == nullptr) throw std::bad_alloc();
  }
  StreamFormat(const StreamFormat&) = delete;
  StreamFormat& operator=(const StreamFormat&) = delete;
  ~StreamFormat() { avcodec_parameters_free(&parameters); }

  AVCodecParameters* parameters;  // owned; codec id, profile, size/rate, extradata
  AVRational timeBase{1, 600};    // the time base of the samples' pts, dts and duration
};

namespace media {

inline void freeCodecContext(AVCodecContext* context) { avcodec_free_context(&context); }
inline void freeFrame(AVFrame* frame) { av_frame_free(&frame); }
inline void freePacket(AVPacket* packet) { av_packet_free(&packet); }

// Owners of the FFmpeg objects the encoders and the muxer use.
using CodecContext = Handle<AVCodecContext, freeCodecContext>;
using Frame = Handle<AVFrame, freeFrame>;
using Packet = Handle<AVPacket, freePacket>;

}  // namespace media

}  // namespace tolvo
