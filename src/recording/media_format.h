#pragma once

// The definition of StreamFormat, for the media code only (encoders and the muxer): it holds
// FFmpeg types, which stay out of every other header.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/rational.h>
}

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

}  // namespace tolvo
