#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "pipeline/text_recognizer.h"

namespace tolvo {

// A line of text seen on screen during a chunk: identical lines (same text) are kept once,
// with the first and last time they were seen (epoch milliseconds) and the box and the
// highest confidence of their sightings.
struct ScreenTextLine {
  std::string text;
  float confidence = 0;
  TextBox box;
  std::int64_t firstSeenMs = 0;
  std::int64_t lastSeenMs = 0;
  bool operator==(const ScreenTextLine&) const = default;
};

// What recognizing a chunk found, lines ordered by first sighting, and what it cost.
struct ChunkText {
  std::vector<ScreenTextLine> lines;
  int framesDecoded = 0;
  int framesRecognized = 0;   // frames of which some region went through the recognizer
  double pixelsRecognized = 0;  // summed area handed to the recognizer, in full frames
};

// When to recognize: the first picture in full; then a picture whose changed area (compared
// with what was last handed to the recognizer) is large enough, at most once per
// `minimumIntervalMs`, only in its changed regions (in full when most of it changed).
// The defaults and the figures behind them are in chunk_text_recognition.cpp.
struct RecognitionPolicy {
  std::int64_t minimumIntervalMs = 3000;
  // After recognizing a share s of a picture the next recognition waits at least
  // s x `fullPictureIntervalMs`: a screen that changes all over is read once per this time,
  // a line that changes every `minimumIntervalMs`.
  std::int64_t fullPictureIntervalMs = 30000;
  // Fewer changed pixels than this (a moved cursor, a ticking clock) wait until more change.
  std::int64_t minimumChangedPixels = 120;
};

// Recognizes the text of one chunk's plaintext MP4, decoded in memory, one picture at a time.
//
// REQUIRES: external synchronization (uses the recognizer).
class ChunkTextRecognition {
 public:
  explicit ChunkTextRecognition(TextRecognizer& recognizer, RecognitionPolicy policy = {});

  // `chunkStartMs` is added to picture times. `shouldContinue` is asked before each picture;
  // when it answers false the work stops and nothing is returned. Raises MediaError for a
  // stream that does not decode and PipelineError(ocrFailed) for a recognizer failure.
  [[nodiscard]] std::optional<ChunkText> recognize(ByteView mp4, std::int64_t chunkStartMs,
                                                   const std::function<bool()>& shouldContinue = {});

 private:
  TextRecognizer& recognizer_;
  RecognitionPolicy policy_;
};

}  // namespace tolvo
