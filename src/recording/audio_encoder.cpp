#include "recording/audio_encoder.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

#include <cmath>
#include <deque>
#include <utility>

#include "core/handle.h"
#include "recording/media_format.h"

namespace tolvo {
namespace {

constexpr const char* kEncoderName = "aac";
constexpr std::int64_t kBitRate = 128000;

using media::CodecContext;
using media::Frame;
using media::Packet;

// Where a captured buffer starts in the stream: its first frame's index and capture time.
struct Anchor {
  std::int64_t sample = 0;
  MediaTime captureTime;
};

}  // namespace

struct AudioEncoder::Impl {
  Impl(int rate, int channelCount) : sampleRate(rate), channels(channelCount) {}

  int sampleRate;
  int channels;

  // The converter: all set, or all empty.
  CodecContext context;
  Frame frame;  // the packet being collected, planar float
  Packet packet;
  std::shared_ptr<const StreamFormat> format;
  std::uint32_t inputChannels = 0;

  int frameFill = 0;            // frames collected in `frame`
  std::int64_t nextSample = 0;  // the stream index of the next input frame
  std::deque<Anchor> anchors;   // of the buffers whose frames may still start a packet

  // Sets up the converter for buffers like `buffer`; false (nothing set) when it cannot.
  bool setUp(const PcmBuffer& buffer);
  void reset();
  [[nodiscard]] bool accepts(const PcmBuffer& buffer) const {
    return buffer.sampleRate == static_cast<std::uint32_t>(sampleRate) &&
           (buffer.channels == static_cast<std::uint32_t>(channels) || buffer.channels == 1);
  }
  // Sends the collected frames to the encoder; false when it refuses them.
  bool sendFrame();
  // The capture time of the stream frame `sample`.
  [[nodiscard]] MediaTime captureTimeOf(std::int64_t sample);
};

bool AudioEncoder::Impl::setUp(const PcmBuffer& buffer) {
  if (!accepts(buffer) || sampleRate <= 0 || channels <= 0) return false;
  const AVCodec* codec = avcodec_find_encoder_by_name(kEncoderName);
  if (codec == nullptr) return false;
  CodecContext newContext(avcodec_alloc_context3(codec));
  Frame newFrame(av_frame_alloc());
  Packet newPacket(av_packet_alloc());
  auto newFormat = std::make_shared<StreamFormat>();
  if (!newContext || !newFrame || !newPacket) return false;

  AVCodecContext* c = newContext.get();
  c->sample_fmt = AV_SAMPLE_FMT_FLTP;
  c->sample_rate = sampleRate;
  av_channel_layout_default(&c->ch_layout, channels);
  c->bit_rate = kBitRate;
  c->profile = FF_PROFILE_AAC_LOW;
  c->time_base = AVRational{1, sampleRate};
  c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;  // the AudioSpecificConfig goes into extradata
  if (avcodec_open2(c, codec, nullptr) < 0 || c->frame_size <= 0) return false;

  AVFrame* f = newFrame.get();
  f->format = AV_SAMPLE_FMT_FLTP;
  f->sample_rate = sampleRate;
  f->nb_samples = c->frame_size;
  if (av_channel_layout_copy(&f->ch_layout, &c->ch_layout) < 0 || av_frame_get_buffer(f, 0) < 0) return false;
  if (avcodec_parameters_from_context(newFormat->parameters, c) < 0) return false;
  newFormat->timeBase = AVRational{1, sampleRate};

  context = std::move(newContext);
  frame = std::move(newFrame);
  packet = std::move(newPacket);
  format = std::move(newFormat);
  inputChannels = buffer.channels;
  frameFill = 0;
  nextSample = 0;
  anchors.clear();
  return true;
}

void AudioEncoder::Impl::reset() {
  context.reset();
  frame.reset();
  packet.reset();
  format.reset();
  inputChannels = 0;
  frameFill = 0;
  nextSample = 0;
  anchors.clear();
}

bool AudioEncoder::Impl::sendFrame() {
  frame.get()->nb_samples = frameFill;
  frame.get()->pts = nextSample - frameFill;
  const int status = avcodec_send_frame(context.get(), frame.get());
  frameFill = 0;
  return status >= 0;
}

MediaTime AudioEncoder::Impl::captureTimeOf(std::int64_t sample) {
  // Anchors before the one holding `sample` are not needed again: packets come in order.
  while (anchors.size() > 1 && anchors[1].sample <= sample) anchors.pop_front();
  if (anchors.empty()) return MediaTime{};
  const Anchor& anchor = anchors.front();
  const std::chrono::duration<double> offset(double(sample - anchor.sample) / sampleRate);
  return anchor.captureTime + std::chrono::duration_cast<MediaClock::duration>(offset);
}

AudioEncoder::AudioEncoder(double sampleRate, std::uint32_t channels)
    : impl_(std::make_unique<Impl>(static_cast<int>(std::lround(sampleRate)), static_cast<int>(channels))) {}

AudioEncoder::~AudioEncoder() = default;

void AudioEncoder::setDelegate(std::weak_ptr<AudioEncoderDelegate> delegate) { delegate_ = std::move(delegate); }

bool AudioEncoder::hasConverter() const noexcept { return static_cast<bool>(impl_->context); }

void AudioEncoder::encode(const PcmBuffer& buffer) {
  Impl& s = *impl_;
  const std::size_t frames = buffer.frames();
  if (frames == 0) return;
  if (!s.context) {
    if (!s.setUp(buffer)) return;
  } else if (buffer.channels != s.inputChannels || !s.accepts(buffer)) {
    return;
  }
  s.anchors.push_back(Anchor{s.nextSample, buffer.captureTime});
  const int frameSize = s.context.get()->frame_size;
  const float* in = buffer.samples.data();
  for (std::size_t i = 0; i < frames; ++i, in += s.inputChannels) {
    if (s.frameFill == 0 && av_frame_make_writable(s.frame.get()) < 0) return;
    for (int ch = 0; ch < s.channels; ++ch) {
      reinterpret_cast<float*>(s.frame.get()->extended_data[ch])[s.frameFill] = s.inputChannels == 1 ? in[0] : in[ch];
    }
    ++s.frameFill;
    ++s.nextSample;
    if (s.frameFill == frameSize) {
      if (s.sendFrame()) deliverPackets();
      if (!s.context) return;  // the delegate invalidated the encoder
    }
  }
}

void AudioEncoder::flush() {
  Impl& s = *impl_;
  if (!s.context) return;
  if (s.frameFill > 0 && av_frame_make_writable(s.frame.get()) >= 0) (void)s.sendFrame();
  if (avcodec_send_frame(s.context.get(), nullptr) >= 0) deliverPackets();
  s.reset();
}

void AudioEncoder::invalidate() { impl_->reset(); }

void AudioEncoder::deliverPackets() {
  Impl& s = *impl_;
  while (s.context && avcodec_receive_packet(s.context.get(), s.packet.get()) == 0) {
    const AVPacket* p = s.packet.get();
    EncodedSample sample;
    sample.kind = MediaKind::audio;
    sample.format = s.format;
    sample.data.assign(p->data, p->data + p->size);
    sample.pts = p->pts;
    sample.dts = p->dts;
    sample.duration = p->duration;
    sample.isKeyFrame = true;
    sample.captureTime = s.captureTimeOf(p->pts);
    av_packet_unref(s.packet.get());
    if (const auto delegate = delegate_.lock()) delegate->audioEncoder(*this, sample);
  }
}

}  // namespace tolvo
