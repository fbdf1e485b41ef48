#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "core/bytes.h"
#include "recording/media_types.h"

namespace tolvo {

// Packs one chunk's encoded samples into a fragmented MP4 stream, written as it is made to
// a byte sink (in the service: the chunk's encrypted QXVWriter::write). Nothing reaches a
// file unencrypted and nothing of the stream is held beyond the fragment being built.
//
// Stream layout: `ftyp`, the movie header `moov` (no samples; written when the first video
// sample arrives, since it needs that sample's stream format), then one fragment
// (`moof` + `mdat`) per video sample, holding that sample and the audio samples that
// arrived since the previous one. Each fragment is handed to the sink as soon as it is
// complete, so a stream cut anywhere plays up to its last complete fragment. finalize()
// adds the closing fragment and the index (`mfra`).
//
// Times: video samples carry pts/dts in their stream format's time base (1/600, starting at
// 0 per encoder session); the video track keeps the 1/600 time scale. Every fragment starts
// at its own sample's decode time, so gaps between samples (nothing changed on screen)
// survive: a sample's duration is its own, the gap is empty time.
//
// Audio: a segment declared with audio gets an audio track in its movie header. Its format
// is, in this order: the `audioFormat` passed to startNewSegment(); else the format of the
// last audio sample this muxer saw (an earlier segment's, or one that arrived before the
// first video sample); else AAC-LC, 44100 Hz, stereo (AudioSpecificConfig 0x12 0x10), what
// the audio encoder produces. Audio samples of another codec, rate or channel count are
// dropped. An audio sample is placed at its capture time minus the capture time of the
// segment's first video sample (same monotonic clock), in 1/sample-rate units; samples
// captured before that first video sample, or arriving before it, are dropped. Consecutive
// samples are laid end to end unless their capture times show a gap of more than 0.2 s, and
// never overlap.
//
// Failures: a failed header or sample write, or a sink that raises (its exception reports
// a failed write), fails the segment: later samples are dropped and finalize() returns
// nothing. Lines printed on standard output: "Failed to create asset writer: <error>",
// "Failed to append video sample: <error>", "Asset writer failed: <error>".
//
// REQUIRES: external synchronization (one thread or serial queue at a time). The sink is
// called on the calling thread, from inside addVideoSample(), addAudioSample() and
// finalize().
class FragmentedMP4Muxer {
 public:
  // Receives the next bytes of the stream; raises to report a failed write.
  using ByteSink = std::function<void(ByteView)>;

  FragmentedMP4Muxer();
  FragmentedMP4Muxer(const FragmentedMP4Muxer&) = delete;
  FragmentedMP4Muxer& operator=(const FragmentedMP4Muxer&) = delete;
  ~FragmentedMP4Muxer();

  // Drops any open segment (without finishing it) and opens a new one writing to `sink`.
  // `width`, `height` and `fps` are not used: the video track takes its format from the
  // samples.
  void startNewSegment(int width, int height, double fps, bool hasAudio, ByteSink sink,
                       std::shared_ptr<const StreamFormat> audioFormat = nullptr);

  // Appends one encoded video sample (H.264 or HEVC, as VideoEncoder delivers them) as its
  // own fragment. The first sample writes the movie header. Dropped without an open segment
  // or after a failure; a sample without format fails the segment.
  void addVideoSample(const EncodedSample& sample);

  // Appends one encoded audio sample to the next fragment (see above for what is dropped).
  void addAudioSample(const EncodedSample& sample);

  // Completes the stream and closes the segment. Returns the number of bytes the sink
  // received; 0 when the segment received no video sample (the sink received nothing);
  // nothing without an open segment or when the segment failed.
  [[nodiscard]] std::optional<std::int64_t> finalize();

  [[nodiscard]] bool hasFailed() const noexcept;
  // True once the movie header of the open segment has been written.
  [[nodiscard]] bool isStarted() const noexcept;
  // Bytes handed to the sink in the open segment so far.
  [[nodiscard]] std::int64_t bytesWritten() const noexcept;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tolvo
