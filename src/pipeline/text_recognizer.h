#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tolvo {

// A rectangle in pixels, top-left origin.
struct TextBox {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool operator==(const TextBox&) const = default;
};

// One line of text found in a picture; `box` in the picture's coordinates.
struct RecognizedLine {
  std::string text;  // UTF-8, trimmed, never empty
  float confidence = 0;  // 0 … 1
  TextBox box;
};

// An 8-bit gray picture, `stride` bytes per row. A view: the pixels belong to the caller.
struct GrayImageView {
  const std::uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
  int stride = 0;
};

// Finds lines of text in a region of a picture. One engine instance is used by one thread at
// a time.
class TextRecognizer {
 public:
  virtual ~TextRecognizer() = default;
  // The lines found inside `region` (clipped to the picture). Raises PipelineError(ocrFailed)
  // when the engine fails.
  [[nodiscard]] virtual std::vector<RecognizedLine> recognize(const GrayImageView& image, const TextBox& region) = 0;
};

// Tesseract with the given languages' trained data ("eng", "deu", …; joined as Tesseract
// expects), running on the calling thread only. Raises PipelineError(ocrFailed) when the
// engine or a language does not load.
[[nodiscard]] std::unique_ptr<TextRecognizer> makeTesseractRecognizer(const std::vector<std::string>& languages);

}  // namespace tolvo
