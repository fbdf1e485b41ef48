#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/error.h"
#include "recording/media_types.h"

namespace tolvo {

class VideoEncoder;

// Receives the encoded pictures of a VideoEncoder.
class VideoEncoderDelegate {
 public:
  virtual ~VideoEncoderDelegate() = default;
  // Called on the thread that called VideoEncoder::encode(), repeatLastFrame() or flush(),
  // from inside that call. `sample` is valid for the duration of the call only (copy what
  // must outlive it; its `format` may be kept).
  virtual void videoEncoder(VideoEncoder& encoder, const EncodedSample& sample, bool isKeyFrame) = 0;
};

class VideoEncoderError : public Error {
 public:
  enum class Code { sessionCreationFailed, encodingFailed, codecNotSupported };

  // "Failed to create compression session: <status>"; the status is an FFmpeg error code.
  [[nodiscard]] static VideoEncoderError sessionCreationFailed(int status);
  // "Encoding failed: <status>"
  [[nodiscard]] static VideoEncoderError encodingFailed(int status);
  // "Codec not supported"
  [[nodiscard]] static VideoEncoderError codecNotSupported();

  [[nodiscard]] Code code() const noexcept { return code_; }
  [[nodiscard]] int status() const noexcept { return status_; }

 private:
  VideoEncoderError(Code code, int status, const std::string& description);
  Code code_;
  int status_;
};

// Turns captured BGRA pictures into H.264 High or HEVC Main samples with libavcodec, one
// encoder session per chunk.
//
// Encoder choice at every setupSession(): VAAPI (hevc_vaapi / h264_vaapi, only when a
// /dev/dri/renderD* node exists), then NVENC (hevc_nvenc / h264_nvenc), then the software
// libx265 / libx264. A hardware encoder that fails to open is not tried again by this
// object. Only the failure of the software encoder reaches the caller.
//
// Settings: no B-frames and no frame held back (x264/x265 tune zerolatency, no lookahead,
// no frame threads), so every encode() delivers its picture's sample before it returns.
// A key frame (IDR) at least every round(fps * 10) frames (at least 1; 1 at fps <= 0.1)
// and whenever 10 s of presentation time have passed since the last key frame, so a
// chunk's video can be entered at least every 10 s even when frames arrive with gaps.
// Times in 1/600 s; each frame lasts round(600 / fps) ticks (6000 at fps <= 0.1).
// Presets: x264 "veryfast", x265 "superfast" (half the bytes of "ultrafast" on text for
// about 1.4 times its CPU time; figures in bench/README.md).
//
// Quality: the value is limited to 0.3 … 0.9, then mapped linearly and strictly
// decreasing to a constant-quality factor (lower is better):
//   H.264: crf = 44 − 30 × quality   (0.3 → 35, 0.7 → 23 = x264's default, 0.9 → 17)
//   HEVC:  crf = 49 − 30 × quality   (0.3 → 40, 0.7 → 28 = x265's default, 0.9 → 22)
// The hardware encoders take the same number as their constant QP (VAAPI) or constant
// quality target (NVENC, "cq").
//
// Pictures are converted once from BGRA to YUV 4:2:0 (NV12 for VAAPI) with libswscale,
// scaled to the session's size when a picture has another size. HEVC samples carry the
// `hvc1` codec tag in their StreamFormat.
//
// A software encoder is kept open from one session to the next when size, rate and quality
// stay the same (timestamps of each session still start at 0); it is closed by a change of
// settings, by a flush() that has to drain pending pictures, and by destruction.
//
// REQUIRES: external synchronization (one thread or serial queue at a time); the delegate
// is called on that thread.
class VideoEncoder {
 public:
  // "hevc" (exactly) selects HEVC; every other text selects H.264.
  explicit VideoEncoder(const std::string& codec);
  VideoEncoder(const VideoEncoder&) = delete;
  VideoEncoder& operator=(const VideoEncoder&) = delete;
  ~VideoEncoder();

  void setDelegate(std::weak_ptr<VideoEncoderDelegate> delegate);

  // Ends any current session and opens a new one for pictures of width x height (made even,
  // at least 2). The first encoded picture of the session is stamped 0. Raises
  // VideoEncoderError::sessionCreationFailed when no encoder can be opened; there is no
  // session then.
  void setupSession(int width, int height, double fps, double quality);

  // Encodes one picture captured at `presentationTime` and delivers its sample before it
  // returns. Without a session (or after flush()) the picture is dropped; a picture that
  // fails to convert or encode is dropped silently. A time not after the previous picture's
  // is moved one tick past it.
  void encode(const PixelBuffer& frame, MediaTime presentationTime);

  // Encodes the last picture of this session once more, stamped to end at `endTime`
  // (pts = end − frame duration), so the video covers the recorded time up to `endTime`
  // although nothing changed on screen. Nothing when no picture was encoded in this
  // session or the last picture already lasts until `endTime`.
  void repeatLastFrame(MediaTime endTime);

  // Drains the encoder: every pending sample is delivered before it returns. The session
  // takes no more pictures afterwards (call setupSession() for the next chunk).
  void flush();

  // Ends the session without draining it (pending pictures are dropped); without a session
  // nothing changes.
  void invalidate();

  [[nodiscard]] bool isHEVC() const noexcept { return hevc_; }
  [[nodiscard]] bool hasSession() const noexcept;
  // The libavcodec encoder of the current session ("libx265", "h264_vaapi", ...); empty
  // without a session.
  [[nodiscard]] std::string encoderName() const;
  // Key-frame interval in frames and frame duration in 1/600 s of the current session.
  [[nodiscard]] int keyFrameInterval() const noexcept;
  [[nodiscard]] std::int64_t frameDuration() const noexcept;

  // The constant-quality factor used for `quality` (limited to 0.3 … 0.9 first).
  [[nodiscard]] static double constantQuality(bool hevc, double quality) noexcept;

 private:
  struct Impl;
  // Encodes the session's current picture at `pts` and delivers what the encoder returns.
  void submit(std::int64_t pts, MediaTime captureTime);
  void deliverPending();

  bool hevc_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tolvo
