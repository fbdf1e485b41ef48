#include "media/chunk_frame_decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/mathematics.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <cstring>
#include <string>

#include "media/memory_media_input.h"

namespace tolvo {
namespace {

// Whether the first plane of `format` holds 8-bit luma, one byte per pixel: gray pictures are
// then its rows, with no conversion.
bool hasPlainLuma(int format) {
  const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format));
  if (descriptor == nullptr || (descriptor->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL |
                                                     AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_HWACCEL)) != 0)
    return false;
  const AVComponentDescriptor& luma = descriptor->comp[0];
  return descriptor->nb_components >= 1 && luma.plane == 0 && luma.depth == 8 && luma.step == 1 && luma.shift == 0 &&
         luma.offset == 0;
}

// The video track of an MP4 in memory, decoded picture by picture.
class PictureReader {
 public:
  PictureReader(ByteView mp4, FramePixels wanted) : input(mp4, "the chunk's video"), pixels(wanted) {
    AVFormatContext* context = input.context();
    stream = av_find_best_stream(context, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (stream < 0) throw MediaError("the chunk holds no video track");
    const AVStream& video = *context->streams[stream];
    // Only the video track's packets are read.
    for (unsigned i = 0; i < context->nb_streams; ++i)
      if (static_cast<int>(i) != stream) context->streams[i]->discard = AVDISCARD_ALL;
    const AVCodec* codec = avcodec_find_decoder(video.codecpar->codec_id);
    if (codec == nullptr) throw MediaError("no decoder for the chunk's video");
    decoder.reset(mediaAllocated(avcodec_alloc_context3(codec)));
    checkMediaStatus(avcodec_parameters_to_context(decoder.get(), video.codecpar), "reading the video format");
    decoder.get()->pkt_timebase = video.time_base;
    decoder.get()->thread_count = 1;  // a background reader: one core, one picture in flight
    checkMediaStatus(avcodec_open2(decoder.get(), codec, nullptr), "opening the video decoder");
    timeBase = video.time_base;
    packet.reset(mediaAllocated(av_packet_alloc()));
    frame.reset(mediaAllocated(av_frame_alloc()));
  }

  // Decodes the next picture into `frame`; false at the end of the stream or at the first
  // packet or picture the demuxer or decoder refuses.
  bool decodeNext() {
    av_frame_unref(frame.get());
    while (true) {
      const int received = avcodec_receive_frame(decoder.get(), frame.get());
      if (received >= 0) return true;
      if (received != AVERROR(EAGAIN) || finished) return false;
      const int read = av_read_frame(input.context(), packet.get());
      if (read < 0) {
        finished = true;  // the end, or a damaged stream: the decoder gives what it holds
        if (avcodec_send_packet(decoder.get(), nullptr) < 0) return false;
        continue;
      }
      const bool ours = packet.get()->stream_index == stream;
      const int sent = ours ? avcodec_send_packet(decoder.get(), packet.get()) : 0;
      av_packet_unref(packet.get());
      if (sent < 0) return false;
    }
  }

  [[nodiscard]] std::int64_t frameTimeMs() const {
    const AVFrame* f = frame.get();
    const std::int64_t pts = f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : f->pts;
    return pts == AV_NOPTS_VALUE ? 0 : av_rescale_q(pts, timeBase, AVRational{1, 1000});
  }

  // The decoded picture in the wanted pixels.
  [[nodiscard]] VideoFrame convert() {
    const AVFrame* f = frame.get();
    VideoFrame out;
    out.timeMs = frameTimeMs();
    out.width = f->width;
    out.height = f->height;
    out.pixels = pixels;
    out.stride = pixels == FramePixels::gray ? f->width : f->width * 3;
    out.data.resize(static_cast<std::size_t>(out.stride) * static_cast<std::size_t>(f->height));
    if (pixels == FramePixels::gray && hasPlainLuma(f->format)) {
      for (int y = 0; y < f->height; ++y)
        std::memcpy(out.data.data() + static_cast<std::size_t>(y) * out.stride,
                    f->data[0] + static_cast<std::ptrdiff_t>(y) * f->linesize[0], static_cast<std::size_t>(f->width));
      return out;
    }
    const AVPixelFormat target = pixels == FramePixels::gray ? AV_PIX_FMT_GRAY8 : AV_PIX_FMT_RGB24;
    SwsContext* previous = scaler.get();
    scaler.reset(sws_getCachedContext(scaler.release(), f->width, f->height, static_cast<AVPixelFormat>(f->format),
                                      f->width, f->height, target, SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!scaler) throw MediaError("cannot convert the chunk's pictures");
    if (scaler.get() != previous) {
      // The stream's own colour matrix and range (the recorder writes BT.709, limited range;
      // BT.709 when a stream says nothing), into full-range RGB.
      const int matrix = f->colorspace == AVCOL_SPC_BT470BG || f->colorspace == AVCOL_SPC_SMPTE170M ? SWS_CS_ITU601
                         : f->colorspace == AVCOL_SPC_SMPTE240M                                      ? SWS_CS_SMPTE240M
                         : f->colorspace == AVCOL_SPC_BT2020_NCL                                     ? SWS_CS_BT2020
                                                                                                      : SWS_CS_ITU709;
      const int* coefficients = sws_getCoefficients(matrix);
      sws_setColorspaceDetails(scaler.get(), coefficients, f->color_range == AVCOL_RANGE_JPEG ? 1 : 0, coefficients,
                               1, 0, 1 << 16, 1 << 16);
    }
    std::uint8_t* planes[4] = {out.data.data(), nullptr, nullptr, nullptr};
    const int strides[4] = {out.stride, 0, 0, 0};
    checkMediaStatus(sws_scale(scaler.get(), f->data, f->linesize, 0, f->height, planes, strides), "converting a picture");
    return out;
  }

  MemoryMediaInput input;
  FramePixels pixels;
  int stream = -1;
  AVRational timeBase{1, 1};
  CodecContextHandle decoder;
  PacketHandle packet;
  FrameHandle frame;
  ScalerHandle scaler;
  bool finished = false;  // every packet has been read
};

}  // namespace

struct ChunkFrameDecoder::State : PictureReader {
  using PictureReader::PictureReader;
};

ChunkFrameDecoder::ChunkFrameDecoder(ByteView mp4, FramePixels pixels)
    : state_(std::make_unique<State>(mp4, pixels)) {}

ChunkFrameDecoder::~ChunkFrameDecoder() = default;

std::optional<VideoFrame> ChunkFrameDecoder::next() {
  if (!state_->decodeNext()) return std::nullopt;
  return state_->convert();
}

std::optional<VideoFrame> frameAt(ByteView mp4, std::int64_t timeMs, FramePixels pixels) {
  PictureReader state(mp4, pixels);
  // Decodes from the start: a chunk's pictures are few (1 fps) and cheap to decode, and the
  // demuxer's index of a fragmented file is only complete once it has read every fragment.
  // Only the chosen picture is converted; the one before it is kept by reference.
  FrameHandle shown(mediaAllocated(av_frame_alloc()));
  bool any = false;
  while (state.decodeNext()) {
    if (any && state.frameTimeMs() > timeMs) break;
    av_frame_unref(shown.get());
    checkMediaStatus(av_frame_ref(shown.get(), state.frame.get()), "keeping a picture");
    any = true;
    if (state.frameTimeMs() >= timeMs) break;
  }
  if (!any) return std::nullopt;
  av_frame_unref(state.frame.get());
  av_frame_move_ref(state.frame.get(), shown.get());
  return state.convert();
}

Bytes encodePNG(const VideoFrame& frame) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
  if (codec == nullptr) throw MediaError("no PNG encoder");
  if (frame.width <= 0 || frame.height <= 0) throw MediaError("an empty picture has no PNG");
  CodecContextHandle encoder(mediaAllocated(avcodec_alloc_context3(codec)));
  AVCodecContext* c = encoder.get();
  c->width = frame.width;
  c->height = frame.height;
  c->pix_fmt = frame.pixels == FramePixels::rgb ? AV_PIX_FMT_RGB24 : AV_PIX_FMT_GRAY8;
  c->time_base = AVRational{1, 1};
  c->thread_count = 1;
  checkMediaStatus(avcodec_open2(c, codec, nullptr), "opening the PNG encoder");

  FrameHandle picture(mediaAllocated(av_frame_alloc()));
  AVFrame* p = picture.get();
  p->format = c->pix_fmt;
  p->width = frame.width;
  p->height = frame.height;
  checkMediaStatus(av_frame_get_buffer(p, 0), "allocating a picture");
  const std::size_t rowBytes = static_cast<std::size_t>(frame.width) * (frame.pixels == FramePixels::rgb ? 3 : 1);
  if (frame.stride < static_cast<int>(rowBytes) ||
      frame.data.size() < static_cast<std::size_t>(frame.stride) * static_cast<std::size_t>(frame.height - 1) + rowBytes)
    throw MediaError("the picture's pixels do not fill it");
  for (int y = 0; y < frame.height; ++y)
    std::memcpy(p->data[0] + static_cast<std::ptrdiff_t>(y) * p->linesize[0],
                frame.data.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(frame.stride), rowBytes);

  checkMediaStatus(avcodec_send_frame(c, p), "encoding the PNG");
  checkMediaStatus(avcodec_send_frame(c, nullptr), "encoding the PNG");
  PacketHandle packet(mediaAllocated(av_packet_alloc()));
  Bytes png;
  for (int status; (status = avcodec_receive_packet(c, packet.get())) != AVERROR_EOF;) {
    checkMediaStatus(status, "encoding the PNG");
    png.insert(png.end(), packet.get()->data, packet.get()->data + packet.get()->size);
    av_packet_unref(packet.get());
  }
  return png;
}

}  // namespace tolvo
