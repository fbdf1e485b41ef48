#include "recording/fragmented_mp4_muxer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "core/handle.h"
#include "recording/media_format.h"

namespace tolvo {
namespace {

constexpr int kIOBufferSize = 64 * 1024;
constexpr std::int64_t kVideoTimeScale = 600;
constexpr double kAudioGapSeconds = 0.2;

void freeFormatContext(AVFormatContext* context) { avformat_free_context(context); }
void freeIOContext(AVIOContext* io) {
  av_freep(&io->buffer);
  avio_context_free(&io);
}
void freeDictionary(AVDictionary* dictionary) { av_dict_free(&dictionary); }

using FormatContext = Handle<AVFormatContext, freeFormatContext>;
using IOContext = Handle<AVIOContext, freeIOContext>;
using media::Packet;

std::string errorText(int status) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(status, text, sizeof text);
  return text;
}

void printLine(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

// AAC-LC, 44100 Hz, stereo: what the audio encoder produces.
std::shared_ptr<const StreamFormat> defaultAudioFormat() {
  auto format = std::make_shared<StreamFormat>();
  AVCodecParameters* p = format->parameters;
  p->codec_type = AVMEDIA_TYPE_AUDIO;
  p->codec_id = AV_CODEC_ID_AAC;
  p->profile = FF_PROFILE_AAC_LOW;
  p->sample_rate = 44100;
  p->frame_size = 1024;
  av_channel_layout_default(&p->ch_layout, 2);
  p->extradata = static_cast<std::uint8_t*>(av_mallocz(2 + AV_INPUT_BUFFER_PADDING_SIZE));
  if (p->extradata == nullptr) throw std::bad_alloc();
  p->extradata[0] = 0x12;  // object type 2 (LC), frequency index 4 (44100)
  p->extradata[1] = 0x10;  // channel configuration 2
  p->extradata_size = 2;
  format->timeBase = AVRational{1, 44100};
  return format;
}

bool sameAudioFormat(const StreamFormat& a, const StreamFormat& b) {
  return a.parameters->codec_id == b.parameters->codec_id && a.parameters->sample_rate == b.parameters->sample_rate &&
         a.parameters->ch_layout.nb_channels == b.parameters->ch_layout.nb_channels;
}

}  // namespace

struct FragmentedMP4Muxer::Impl {
  // Remembered across segments.
  std::shared_ptr<const StreamFormat> lastAudioFormat;

  // The open segment.
  bool isOpen = false;
  bool hasAudio = false;
  bool started = false;
  bool failed = false;
  ByteSink sink;
  std::shared_ptr<const StreamFormat> declaredAudioFormat;
  std::shared_ptr<const StreamFormat> audioFormat;  // the audio track's format, once started
  IOContext io;
  FormatContext output;
  Packet packet;
  AVStream* videoStream = nullptr;
  AVStream* audioStream = nullptr;
  AVRational videoTimeBase{1, 600};  // of the samples
  std::int64_t bytes = 0;
  std::string sinkError;  // the exception text of a failed sink write
  MediaTime videoStart;
  std::optional<std::int64_t> audioNext;  // where the next audio sample goes, in the audio track's time base

  static int writeToSink(void* opaque, std::uint8_t* data, int size) {
    auto* self = static_cast<Impl*>(opaque);
    if (size <= 0) return 0;
    try {
      self->sink(ByteView(data, static_cast<std::size_t>(size)));
    } catch (const std::exception& e) {
      self->sinkError = e.what();
      return AVERROR(EIO);
    } catch (...) {
      self->sinkError = "unknown error";
      return AVERROR(EIO);
    }
    self->bytes += size;
    return size;
  }

  void close() {
    output.reset();
    io.reset();
    packet.reset();
    sink = nullptr;
    declaredAudioFormat.reset();
    audioFormat.reset();
    videoStream = nullptr;
    audioStream = nullptr;
    isOpen = started = failed = false;
    bytes = 0;
    sinkError.clear();
    audioNext.reset();
  }

  // The text of a failure: the sink's own error when it raised, else FFmpeg's.
  std::string describe(int status) const { return sinkError.empty() ? errorText(status) : sinkError; }

  // Pushes everything buffered to the sink; 0 or an error.
  int flushIO() {
    avio_flush(io.get());
    if (io.get()->error < 0) return io.get()->error;
    return sinkError.empty() ? 0 : AVERROR(EIO);
  }

  // Creates the output context and its streams and writes the movie header.
  int writeHeader(const EncodedSample& first) {
    AVFormatContext* context = output.get();
    videoStream = avformat_new_stream(context, nullptr);
    if (videoStream == nullptr) return AVERROR(ENOMEM);
    if (int status = avcodec_parameters_copy(videoStream->codecpar, first.format->parameters); status < 0)
      return status;
    videoTimeBase = first.format->timeBase;
    videoStream->time_base = videoTimeBase;
    if (hasAudio) {
      audioFormat = declaredAudioFormat ? declaredAudioFormat
                    : lastAudioFormat   ? lastAudioFormat
                                        : defaultAudioFormat();
      audioStream = avformat_new_stream(context, nullptr);
      if (audioStream == nullptr) return AVERROR(ENOMEM);
      if (int status = avcodec_parameters_copy(audioStream->codecpar, audioFormat->parameters); status < 0)
        return status;
      audioStream->codecpar->codec_tag = 0;
      audioStream->time_base = AVRational{1, audioFormat->parameters->sample_rate};
    }
    // Keep every track's first time: by default the muxer would move the first sample of a
    // track to 0 (stretching it), which puts late-starting audio early.
    context->avoid_negative_ts = AVFMT_AVOID_NEG_TS_MAKE_NON_NEGATIVE;
    AVDictionary* raw = nullptr;
    // frag_custom: a fragment ends only when flushed (after each video sample).
    av_dict_set(&raw, "movflags", "empty_moov+default_base_moof+frag_custom", 0);
    av_dict_set_int(&raw, "video_track_timescale", kVideoTimeScale, 0);
    av_dict_set_int(&raw, "use_editlist", 0, 0);  // fragments carry their own start times
    const int status = avformat_write_header(context, &raw);
    Handle<AVDictionary, freeDictionary> leftover(raw);
    if (status < 0) return status;
    videoStart = first.captureTime;
    started = true;
    return flushIO();
  }

  // Writes one packet of `stream`; 0 or an error.
  int writePacket(AVStream* stream, const EncodedSample& sample, std::int64_t pts, std::int64_t dts,
                  std::int64_t duration) {
    AVPacket* p = packet.get();
    av_packet_unref(p);
    if (int status = av_new_packet(p, static_cast<int>(sample.data.size())); status < 0) return status;
    if (!sample.data.empty()) std::memcpy(p->data, sample.data.data(), sample.data.size());
    p->stream_index = stream->index;
    p->pts = pts;
    p->dts = dts;
    p->duration = duration;
    if (sample.isKeyFrame) p->flags |= AV_PKT_FLAG_KEY;
    const int status = av_write_frame(output.get(), p);
    av_packet_unref(p);
    return status;
  }

  void fail(const char* what, int status) {
    failed = true;
    printLine(what + describe(status));
  }
};

FragmentedMP4Muxer::FragmentedMP4Muxer() : impl_(std::make_unique<Impl>()) {}

FragmentedMP4Muxer::~FragmentedMP4Muxer() = default;

bool FragmentedMP4Muxer::hasFailed() const noexcept { return impl_->failed; }
bool FragmentedMP4Muxer::isStarted() const noexcept { return impl_->started; }
std::int64_t FragmentedMP4Muxer::bytesWritten() const noexcept { return impl_->bytes; }

void FragmentedMP4Muxer::startNewSegment(int /*width*/, int /*height*/, double /*fps*/, bool hasAudio, ByteSink sink,
                                         std::shared_ptr<const StreamFormat> audioFormat) {
  Impl& s = *impl_;
  s.close();
  s.isOpen = true;
  s.hasAudio = hasAudio;
  s.sink = std::move(sink);
  s.declaredAudioFormat = std::move(audioFormat);
  if (!s.sink) {
    s.fail("Failed to create asset writer: ", AVERROR(EINVAL));
    return;
  }
  auto* buffer = static_cast<unsigned char*>(av_malloc(kIOBufferSize));
  if (buffer == nullptr) {
    s.fail("Failed to create asset writer: ", AVERROR(ENOMEM));
    return;
  }
  s.io.reset(avio_alloc_context(buffer, kIOBufferSize, 1, &s, nullptr, &Impl::writeToSink, nullptr));
  if (!s.io) {
    av_free(buffer);
    s.fail("Failed to create asset writer: ", AVERROR(ENOMEM));
    return;
  }
  s.io.get()->seekable = 0;
  AVFormatContext* context = nullptr;
  const int status = avformat_alloc_output_context2(&context, nullptr, "mp4", nullptr);
  s.output.reset(context);
  s.packet.reset(av_packet_alloc());
  if (status < 0 || !s.output || !s.packet) {
    s.fail("Failed to create asset writer: ", status < 0 ? status : AVERROR(ENOMEM));
    return;
  }
  context->pb = s.io.get();
  context->flags |= AVFMT_FLAG_CUSTOM_IO;
}

void FragmentedMP4Muxer::addVideoSample(const EncodedSample& sample) {
  Impl& s = *impl_;
  if (!s.isOpen || s.failed || !s.output) return;
  if (sample.kind != MediaKind::video || !sample.format) {
    s.failed = true;
    return;
  }
  if (!s.started) {
    if (int status = s.writeHeader(sample); status < 0) {
      s.fail("Failed to create asset writer: ", status);
      return;
    }
  }
  const AVRational target = s.videoStream->time_base;
  const AVRational source = sample.format->timeBase;
  // This fragment starts at the sample's own decode time, not where the previous one ended.
  int status = av_opt_set(s.output.get()->priv_data, "movflags", "+frag_discont", 0);
  if (status >= 0) {
    status = s.writePacket(s.videoStream, sample, av_rescale_q(sample.pts, source, target),
                           av_rescale_q(sample.dts, source, target), av_rescale_q(sample.duration, source, target));
  }
  if (status >= 0) status = av_write_frame(s.output.get(), nullptr);  // ends the fragment
  if (status >= 0) status = s.flushIO();
  if (status < 0) s.fail("Failed to append video sample: ", status);
}

void FragmentedMP4Muxer::addAudioSample(const EncodedSample& sample) {
  Impl& s = *impl_;
  if (sample.kind != MediaKind::audio || !sample.format || sample.format->parameters->sample_rate <= 0) return;
  s.lastAudioFormat = sample.format;
  if (!s.isOpen || s.failed || !s.started || s.audioStream == nullptr) return;
  if (!sameAudioFormat(*sample.format, *s.audioFormat)) return;

  const AVRational target = s.audioStream->time_base;
  const double sinceVideo = std::chrono::duration<double>(sample.captureTime - s.videoStart).count();
  const std::int64_t atCapture = std::llround(sinceVideo * target.den / target.num);
  if (atCapture < 0) return;
  const std::int64_t gap = std::llround(kAudioGapSeconds * target.den / target.num);
  std::int64_t pts = atCapture;
  if (s.audioNext && atCapture <= *s.audioNext + gap) pts = *s.audioNext;
  const std::int64_t duration = av_rescale_q(sample.duration, sample.format->timeBase, target);
  if (int status = s.writePacket(s.audioStream, sample, pts, pts, duration); status < 0) {
    s.fail("Failed to append video sample: ", status);
    return;
  }
  s.audioNext = pts + std::max<std::int64_t>(duration, 1);
}

std::optional<std::int64_t> FragmentedMP4Muxer::finalize() {
  Impl& s = *impl_;
  if (!s.isOpen || s.failed || !s.output) {
    s.close();
    return std::nullopt;
  }
  if (!s.started) {
    s.close();
    return 0;
  }
  int status = av_write_trailer(s.output.get());
  if (status >= 0) status = s.flushIO();
  if (status < 0) {
    printLine("Asset writer failed: " + s.describe(status));
    s.close();
    return std::nullopt;
  }
  const std::int64_t bytes = s.bytes;
  s.close();
  return bytes;
}

}  // namespace tolvo
