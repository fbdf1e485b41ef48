#pragma once

#include <cstdint>
#include <memory>

#include "recording/media_types.h"

namespace tolvo {

class AudioEncoder;

// Receives the AAC packets of an AudioEncoder.
class AudioEncoderDelegate {
 public:
  virtual ~AudioEncoderDelegate() = default;
  // Called from inside AudioEncoder::encode() or flush(), on the caller's thread. `sample` is
  // valid for the duration of the call only (its `format` may be kept).
  virtual void audioEncoder(AudioEncoder& encoder, const EncodedSample& sample) = 0;
};

// Turns captured PCM into AAC-LC at 128 kbit/s with libavcodec's native "aac" encoder, in
// packets of 1024 frames.
//
// The converter (the encoder and its input format) is set up from the first buffer. A buffer
// it cannot take leaves it unset, and the next buffer tries again: the input must have the
// output's sample rate (nothing is resampled) and either the output's channel count or one
// channel (copied to every output channel). Once set up, buffers of another format are
// dropped.
//
// Each packet is an EncodedSample of kind audio: pts, dts and duration in 1/sample-rate,
// counted in input frames from the first buffer of the stream (the first packet starts at
// minus the encoder's priming delay of 1024 frames); captureTime is the capture time of the
// frame at pts, taken from the buffers' capture times (extended backwards for the priming
// packet). Every packet shares one StreamFormat with the AudioSpecificConfig as extradata.
//
// REQUIRES: external synchronization (one thread or serial queue at a time).
class AudioEncoder {
 public:
  explicit AudioEncoder(double sampleRate = 44100, std::uint32_t channels = 2);
  AudioEncoder(const AudioEncoder&) = delete;
  AudioEncoder& operator=(const AudioEncoder&) = delete;
  ~AudioEncoder();

  void setDelegate(std::weak_ptr<AudioEncoderDelegate> delegate);

  // Adds one buffer; delivers every packet that became complete. A buffer that cannot be
  // converted or encoded is dropped.
  void encode(const PcmBuffer& buffer);

  // Encodes the frames still held (a last, shorter packet) and delivers every pending packet,
  // then ends the stream: the next encode() sets up a new converter and starts a new stream
  // (pts from the start again, a new StreamFormat). Nothing without a converter.
  void flush();

  // Frees the converter without delivering what it holds; the next encode() sets up anew.
  void invalidate();

  // True when a converter is set up.
  [[nodiscard]] bool hasConverter() const noexcept;

 private:
  struct Impl;
  void deliverPackets();

  std::weak_ptr<AudioEncoderDelegate> delegate_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tolvo
