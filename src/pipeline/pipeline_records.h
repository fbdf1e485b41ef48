#pragma once

#include <cstdint>
#include <string>

namespace tolvo {

// One window of a summary job: [startMs, endMs), epoch milliseconds.
struct SummaryWindowRange {
  std::int64_t startMs = 0;
  std::int64_t endMs = 0;
  bool operator==(const SummaryWindowRange&) const = default;
};

// What a window or daily summarizer returns: the model identifier stored with the summary and
// its text.
struct SummaryResult {
  std::string modelId;
  std::string summaryText;
  bool operator==(const SummaryResult&) const = default;
};

// A line of text recognized on the screen.
struct OCRResult {
  std::int64_t timestampMs = 0;
  std::string text;
  float confidence = 0;
  bool operator==(const OCRResult&) const = default;
};

}  // namespace tolvo
