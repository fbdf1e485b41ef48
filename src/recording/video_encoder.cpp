#include "recording/video_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libavutil/hwcontext.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

#include "core/handle.h"
#include "recording/media_format.h"

namespace tolvo {
namespace {

constexpr std::int64_t kTicksPerSecond = 600;
constexpr std::int64_t kMaxKeyFrameDistanceTicks = 10 * kTicksPerSecond;

void freeBuffer(AVBufferRef* buffer) { av_buffer_unref(&buffer); }
void freeDictionary(AVDictionary* dictionary) { av_dict_free(&dictionary); }

using media::CodecContext;
using media::Frame;
using media::Packet;
using BufferRef = Handle<AVBufferRef, freeBuffer>;
using SwsHandle = Handle<SwsContext, sws_freeContext>;

enum class Backend { vaapi, nvenc, software };

std::int64_t ticksBetween(MediaTime from, MediaTime to) {
  return std::llround(std::chrono::duration<double>(to - from).count() * kTicksPerSecond);
}

// The first /dev/dri/renderD* node, or "" when there is none.
std::string renderNode() {
  std::error_code ec;
  std::vector<std::string> nodes;
  for (std::filesystem::directory_iterator it("/dev/dri", ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.rfind("renderD", 0) == 0) nodes.push_back(it->path().string());
  }
  std::sort(nodes.begin(), nodes.end());
  return nodes.empty() ? std::string() : nodes.front();
}

std::string formatFactor(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

// The options of one encoder; the dictionary is consumed by avcodec_open2.
void setEncoderOptions(AVDictionary** options, Backend backend, bool hevc, double factor) {
  const std::string factorText = formatFactor(factor);
  switch (backend) {
    case Backend::vaapi:
      av_dict_set(options, "rc_mode", "CQP", 0);
      av_dict_set(options, "profile", hevc ? "main" : "high", 0);
      break;
    case Backend::nvenc:
      av_dict_set(options, "preset", "p4", 0);
      av_dict_set(options, "tune", "ll", 0);
      av_dict_set(options, "rc", "vbr", 0);
      av_dict_set(options, "cq", factorText.c_str(), 0);
      av_dict_set(options, "zerolatency", "1", 0);
      av_dict_set(options, "delay", "0", 0);
      av_dict_set(options, "forced-idr", "1", 0);
      av_dict_set(options, "profile", hevc ? "main" : "high", 0);
      break;
    case Backend::software:
      av_dict_set(options, "tune", "zerolatency", 0);
      av_dict_set(options, "crf", factorText.c_str(), 0);
      av_dict_set(options, "forced-idr", "1", 0);
      if (hevc) {
        av_dict_set(options, "preset", "superfast", 0);
        av_dict_set(options, "profile", "main", 0);
        // Closed GOPs: every key frame is an IDR a reader can start at.
        av_dict_set(options, "x265-params", "bframes=0:open-gop=0:rc-lookahead=0:frame-threads=1:log-level=error", 0);
      } else {
        av_dict_set(options, "preset", "veryfast", 0);
        av_dict_set(options, "profile", "high", 0);
      }
      break;
  }
}

}  // namespace

// --- VideoEncoderError -------------------------------------------------------------------

VideoEncoderError::VideoEncoderError(Code code, int status, const std::string& description)
    : Error(description), code_(code), status_(status) {}

VideoEncoderError VideoEncoderError::sessionCreationFailed(int status) {
  return {Code::sessionCreationFailed, status, "Failed to create compression session: " + std::to_string(status)};
}

VideoEncoderError VideoEncoderError::encodingFailed(int status) {
  return {Code::encodingFailed, status, "Encoding failed: " + std::to_string(status)};
}

VideoEncoderError VideoEncoderError::codecNotSupported() { return {Code::codecNotSupported, 0, "Codec not supported"}; }

// --- VideoEncoder --------------------------------------------------------------------------

struct VideoEncoder::Impl {
  std::weak_ptr<VideoEncoderDelegate> delegate;
  bool vaapiFailed = false;  // a hardware encoder that failed once is not tried again
  bool nvencFailed = false;

  // The open encoder. A software encoder stays open across sessions with the same settings
  // (libx265 leaks about 1 MB at 1080p each time an encoder is opened and closed); its
  // timestamps keep increasing from session to session, offset by `ptsOffset`.
  CodecContext context;
  BufferRef hwFrames;  // VAAPI only: the pool of GPU surfaces
  SwsHandle scaler;
  Frame picture;    // the last converted picture (YUV), kept for repeatLastFrame()
  Frame hwPicture;  // VAAPI only: the upload target
  Packet packet;
  AVPixelFormat softwareFormat = AV_PIX_FMT_YUV420P;
  std::shared_ptr<StreamFormat> format;
  std::string encoderName;
  bool reusable = false;         // a software encoder that was never drained to its end
  std::vector<double> settings;  // width, height, fps and quality factor it was opened with
  std::int64_t ptsOffset = 0;
  std::int64_t lastEncoderPts = -1;

  // The session.
  bool sessionOpen = false;
  bool drained = false;
  bool hasPicture = false;
  std::optional<MediaTime> base;
  std::int64_t frameDuration = 0;
  int keyFrameInterval = 1;
  std::int64_t lastPts = -1;
  std::optional<std::int64_t> lastKeyPts;
  int framesSinceKey = 0;  // pictures submitted since the last key frame, the key frame included
  std::deque<std::pair<std::int64_t, MediaTime>> pending;  // pts and capture time of pictures in flight

  void closeEncoder() {
    context.reset();
    hwFrames.reset();
    scaler.reset();
    picture.reset();
    hwPicture.reset();
    packet.reset();
    format.reset();
    encoderName.clear();
    reusable = false;
    settings.clear();
    ptsOffset = 0;
    lastEncoderPts = -1;
  }

  // Ends the session; the encoder stays open when it can serve the next one.
  void endSession() {
    sessionOpen = false;
    drained = false;
    hasPicture = false;
    base.reset();
    frameDuration = 0;
    keyFrameInterval = 1;
    lastPts = -1;
    lastKeyPts.reset();
    framesSinceKey = 0;
    if (!pending.empty()) reusable = false;
    pending.clear();
    if (!reusable) closeEncoder();
  }

  // Opens `name` on `backend`; returns 0 or the FFmpeg error code. On success the session's
  // context (and for VAAPI its frame pool) is in place.
  int open(const char* name, Backend backend, bool hevc, int width, int height, double fps, int keyInterval,
           double factor) {
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (codec == nullptr) return AVERROR_ENCODER_NOT_FOUND;
    CodecContext candidate(avcodec_alloc_context3(codec));
    if (!candidate) return AVERROR(ENOMEM);
    AVCodecContext* c = candidate.get();
    c->width = width;
    c->height = height;
    c->time_base = AVRational{1, static_cast<int>(kTicksPerSecond)};
    c->framerate = av_d2q(fps > 0 ? fps : 0.1, 100000);
    // Key frames are forced picture by picture (submit()); an interval of 1 would also make
    // x265 write its all-intra profile instead of Main, so the encoder's own is at least 2.
    c->gop_size = std::max(keyInterval, 2);
    c->keyint_min = 1;
    c->max_b_frames = 0;
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;  // parameter sets in the stream format, for the MP4 sample entry
    c->color_range = AVCOL_RANGE_MPEG;
    c->colorspace = AVCOL_SPC_BT709;
    c->color_primaries = AVCOL_PRI_BT709;
    c->color_trc = AVCOL_TRC_IEC61966_2_1;
    if (backend == Backend::vaapi) c->global_quality = static_cast<int>(std::lround(factor));
    if (hevc) c->codec_tag = MKTAG('h', 'v', 'c', '1');

    BufferRef frames;
    if (backend == Backend::vaapi) {
      const std::string node = renderNode();
      if (node.empty()) return AVERROR(ENODEV);
      AVBufferRef* device = nullptr;
      int status = av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, node.c_str(), nullptr, 0);
      if (status < 0) return status;
      BufferRef deviceRef(device);
      frames.reset(av_hwframe_ctx_alloc(deviceRef.get()));
      if (!frames) return AVERROR(ENOMEM);
      auto* framesContext = reinterpret_cast<AVHWFramesContext*>(frames.get()->data);
      framesContext->format = AV_PIX_FMT_VAAPI;
      framesContext->sw_format = AV_PIX_FMT_NV12;
      framesContext->width = width;
      framesContext->height = height;
      framesContext->initial_pool_size = 8;
      if ((status = av_hwframe_ctx_init(frames.get())) < 0) return status;
      c->pix_fmt = AV_PIX_FMT_VAAPI;
      c->hw_frames_ctx = av_buffer_ref(frames.get());
      if (c->hw_frames_ctx == nullptr) return AVERROR(ENOMEM);
    } else {
      c->pix_fmt = AV_PIX_FMT_YUV420P;
    }

    AVDictionary* rawOptions = nullptr;
    setEncoderOptions(&rawOptions, backend, hevc, factor);
    Handle<AVDictionary, freeDictionary> options;
    const int status = avcodec_open2(c, codec, &rawOptions);
    options.reset(rawOptions);
    if (status < 0) return status;

    context = std::move(candidate);
    hwFrames = std::move(frames);
    softwareFormat = backend == Backend::vaapi ? AV_PIX_FMT_NV12 : AV_PIX_FMT_YUV420P;
    encoderName = name;
    return 0;
  }

  // Allocates the picture buffers and the stream format of the open context; 0 or an error.
  int prepare(bool hevc) {
    AVCodecContext* c = context.get();
    picture.reset(av_frame_alloc());
    packet.reset(av_packet_alloc());
    if (!picture || !packet) return AVERROR(ENOMEM);
    picture.get()->format = softwareFormat;
    picture.get()->width = c->width;
    picture.get()->height = c->height;
    if (int status = av_frame_get_buffer(picture.get(), 0); status < 0) return status;
    if (hwFrames) {
      hwPicture.reset(av_frame_alloc());
      if (!hwPicture) return AVERROR(ENOMEM);
    }
    auto streamFormat = std::make_shared<StreamFormat>();
    if (int status = avcodec_parameters_from_context(streamFormat->parameters, c); status < 0) return status;
    streamFormat->parameters->codec_tag = hevc ? MKTAG('h', 'v', 'c', '1') : MKTAG('a', 'v', 'c', '1');
    streamFormat->timeBase = AVRational{1, static_cast<int>(kTicksPerSecond)};
    format = std::move(streamFormat);
    return 0;
  }

  // Converts `frame` into `picture`; false when it cannot be converted.
  bool convert(const PixelBuffer& frame) {
    if (frame.width == 0 || frame.height == 0 || frame.stride < frame.width * 4 ||
        frame.bgra.size() < std::size_t{frame.stride} * frame.height) {
      return false;
    }
    AVCodecContext* c = context.get();
    SwsContext* previous = scaler.get();
    SwsContext* current =
        sws_getCachedContext(previous, static_cast<int>(frame.width), static_cast<int>(frame.height), AV_PIX_FMT_BGRA,
                             c->width, c->height, softwareFormat, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (current == nullptr) {
      (void)scaler.release();  // freed by sws_getCachedContext
      return false;
    }
    if (current != previous) {
      (void)scaler.release();
      scaler.reset(current);
      const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
      sws_setColorspaceDetails(current, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
    }
    if (av_frame_make_writable(picture.get()) < 0) return false;
    const std::uint8_t* source[1] = {frame.bgra.data()};
    const int sourceStride[1] = {static_cast<int>(frame.stride)};
    const int rows = sws_scale(current, source, sourceStride, 0, static_cast<int>(frame.height), picture.get()->data,
                               picture.get()->linesize);
    return rows > 0;
  }
};

VideoEncoder::VideoEncoder(const std::string& codec) : hevc_(codec == "hevc"), impl_(std::make_unique<Impl>()) {}

VideoEncoder::~VideoEncoder() = default;

void VideoEncoder::setDelegate(std::weak_ptr<VideoEncoderDelegate> delegate) { impl_->delegate = std::move(delegate); }

bool VideoEncoder::hasSession() const noexcept { return impl_->sessionOpen; }
std::string VideoEncoder::encoderName() const { return impl_->sessionOpen ? impl_->encoderName : std::string(); }
int VideoEncoder::keyFrameInterval() const noexcept { return impl_->keyFrameInterval; }
std::int64_t VideoEncoder::frameDuration() const noexcept { return impl_->frameDuration; }

double VideoEncoder::constantQuality(bool hevc, double quality) noexcept {
  const double clamped = std::isnan(quality) ? 0.3 : std::clamp(quality, 0.3, 0.9);
  return (hevc ? 49.0 : 44.0) - 30.0 * clamped;
}

void VideoEncoder::setupSession(int width, int height, double fps, double quality) {
  invalidate();
  Impl& s = *impl_;
  width = std::max(2, width - width % 2);
  height = std::max(2, height - height % 2);
  const bool slow = !(fps > 0.1);
  const std::int64_t frameDuration =
      slow ? 10 * kTicksPerSecond : std::max<std::int64_t>(1, std::llround(kTicksPerSecond / fps));
  const int keyInterval = slow ? 1 : static_cast<int>(std::max(1.0, std::min(std::round(fps * 10), 1e6)));
  const double factor = constantQuality(hevc_, quality);
  const std::vector<double> settings = {static_cast<double>(width), static_cast<double>(height), fps, factor};
  auto startSession = [&] {
    s.sessionOpen = true;
    s.frameDuration = frameDuration;
    s.keyFrameInterval = keyInterval;
  };
  if (s.context && s.reusable && s.settings == settings) {
    s.ptsOffset = s.lastEncoderPts + frameDuration;  // the encoder's time goes on; ours restarts at 0
    startSession();
    return;
  }
  s.closeEncoder();

  struct Candidate {
    const char* name;
    Backend backend;
    bool* failedBefore;
  };
  const Candidate candidates[] = {
      {hevc_ ? "hevc_vaapi" : "h264_vaapi", Backend::vaapi, &s.vaapiFailed},
      {hevc_ ? "hevc_nvenc" : "h264_nvenc", Backend::nvenc, &s.nvencFailed},
      {hevc_ ? "libx265" : "libx264", Backend::software, nullptr},
  };
  int status = AVERROR_ENCODER_NOT_FOUND;
  for (const Candidate& candidate : candidates) {
    if (candidate.failedBefore != nullptr) {
      if (*candidate.failedBefore) continue;
      if (candidate.backend == Backend::vaapi && renderNode().empty()) continue;
    }
    status = s.open(candidate.name, candidate.backend, hevc_, width, height, fps, keyInterval, factor);
    if (status == 0) status = s.prepare(hevc_);
    if (status == 0) {
      s.reusable = candidate.backend == Backend::software;
      s.settings = settings;
      startSession();
      return;
    }
    s.closeEncoder();
    if (candidate.failedBefore != nullptr) *candidate.failedBefore = true;
  }
  throw VideoEncoderError::sessionCreationFailed(status);
}

namespace {

// Hands one picture to the encoder, uploading it first for a hardware frame pool.
int submitPicture(AVCodecContext* context, AVFrame* picture, AVFrame* hwPicture, AVBufferRef* hwFrames) {
  if (hwFrames == nullptr) return avcodec_send_frame(context, picture);
  av_frame_unref(hwPicture);
  if (int status = av_hwframe_get_buffer(hwFrames, hwPicture, 0); status < 0) return status;
  if (int status = av_hwframe_transfer_data(hwPicture, picture, 0); status < 0) return status;
  if (int status = av_frame_copy_props(hwPicture, picture); status < 0) return status;
  return avcodec_send_frame(context, hwPicture);
}

}  // namespace

void VideoEncoder::encode(const PixelBuffer& frame, MediaTime presentationTime) {
  Impl& s = *impl_;
  if (!s.sessionOpen || s.drained) return;
  std::int64_t pts = 0;
  if (s.base) pts = std::max(ticksBetween(*s.base, presentationTime), s.lastPts + 1);
  if (!s.convert(frame)) return;
  if (!s.base) s.base = presentationTime;
  s.hasPicture = true;
  submit(pts, presentationTime);
}

void VideoEncoder::repeatLastFrame(MediaTime endTime) {
  Impl& s = *impl_;
  if (!s.sessionOpen || s.drained || !s.hasPicture || !s.base) return;
  const std::int64_t pts = ticksBetween(*s.base, endTime) - s.frameDuration;
  if (pts <= s.lastPts) return;
  submit(pts, *s.base + std::chrono::duration_cast<MediaClock::duration>(
                            std::chrono::duration<double>(static_cast<double>(pts) / kTicksPerSecond)));
}

void VideoEncoder::submit(std::int64_t pts, MediaTime captureTime) {
  Impl& s = *impl_;
  AVFrame* picture = s.picture.get();
  const bool key =
      !s.lastKeyPts || pts - *s.lastKeyPts >= kMaxKeyFrameDistanceTicks || s.framesSinceKey >= s.keyFrameInterval;
  picture->pts = pts + s.ptsOffset;
  picture->pkt_duration = s.frameDuration;
  picture->pict_type = key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  picture->key_frame = key ? 1 : 0;
  if (submitPicture(s.context.get(), picture, s.hwPicture.get(), s.hwFrames.get()) < 0) {
    s.reusable = false;
    return;
  }
  s.lastPts = pts;
  s.lastEncoderPts = picture->pts;
  if (key) {
    s.lastKeyPts = pts;
    s.framesSinceKey = 0;
  }
  ++s.framesSinceKey;
  s.pending.emplace_back(pts, captureTime);
  deliverPending();
}

void VideoEncoder::flush() {
  Impl& s = *impl_;
  if (!s.sessionOpen || s.drained) return;
  s.drained = true;
  // A software encoder holds nothing back (every picture's sample left with it): it stays
  // open for the next session. Otherwise drain it to its end.
  if (s.reusable && s.pending.empty()) return;
  s.reusable = false;
  if (avcodec_send_frame(s.context.get(), nullptr) < 0) return;
  deliverPending();
}

void VideoEncoder::invalidate() { impl_->endSession(); }

void VideoEncoder::deliverPending() {
  Impl& s = *impl_;
  while (s.context) {
    AVPacket* packet = s.packet.get();
    if (avcodec_receive_packet(s.context.get(), packet) < 0) return;  // EAGAIN, EOF or an error: nothing more now
    EncodedSample sample;
    sample.kind = MediaKind::video;
    sample.format = s.format;
    sample.data.assign(packet->data, packet->data + packet->size);
    sample.pts = packet->pts - s.ptsOffset;
    sample.dts = (packet->dts == AV_NOPTS_VALUE ? packet->pts : packet->dts) - s.ptsOffset;
    sample.duration = s.frameDuration;
    sample.isKeyFrame = (packet->flags & AV_PKT_FLAG_KEY) != 0;
    av_packet_unref(packet);

    std::optional<MediaTime> captureTime;
    while (!s.pending.empty() && s.pending.front().first <= sample.pts) {
      if (s.pending.front().first == sample.pts) captureTime = s.pending.front().second;
      s.pending.pop_front();
    }
    sample.captureTime = captureTime.value_or(
        s.base.value_or(MediaTime{}) + std::chrono::duration_cast<MediaClock::duration>(std::chrono::duration<double>(
                                           static_cast<double>(sample.pts) / kTicksPerSecond)));
    if (sample.isKeyFrame && (!s.lastKeyPts || sample.pts >= *s.lastKeyPts)) {
      // The encoder chose a key frame by itself (a scene cut): count from it.
      s.lastKeyPts = sample.pts;
      s.framesSinceKey = 1 + static_cast<int>(s.pending.size());
    }
    if (auto delegate = s.delegate.lock()) delegate->videoEncoder(*this, sample, sample.isKeyFrame);
  }
}

}  // namespace tolvo
