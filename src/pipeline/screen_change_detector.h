#pragma once

#include <cstdint>
#include <vector>

#include "pipeline/text_recognizer.h"

namespace tolvo {

// Where a picture differs from a reference picture, in square tiles. A pixel counts as changed
// when its luma differs by more than `pixelTolerance`, a tile when it holds at least
// `minimumPixelsPerTile` changed pixels: the noise a video encoder adds to an unchanged
// screen (every key frame quantizes all of it again) stays below both.
struct ScreenChanges {
  int tileSize = 0;
  int columns = 0;
  int rows = 0;
  int width = 0;  // of the picture
  int height = 0;
  std::vector<std::uint8_t> tiles;  // row-major, 1 for a changed tile
  int changedTiles = 0;
  std::int64_t changedPixels = 0;  // inside changed tiles

  // Whether a changed tile overlaps `box`.
  [[nodiscard]] bool touches(const TextBox& box) const;
  // The changed tiles as a few rectangles: each group of neighbouring changed tiles, grown by
  // `padX` / `padY` pixels on each side (clipped to the picture), rectangles that then overlap
  // merged; more than `maximumRegions` become their common bounding box.
  [[nodiscard]] std::vector<TextBox> regions(int padX, int padY, int maximumRegions) const;
};

// Keeps a reference picture (what was last handed to the recognizer) and compares pictures
// with it. Holds one picture's copy.
//
// REQUIRES: external synchronization.
class ScreenChangeDetector {
 public:
  struct Options {
    int tileSize = 32;
    int pixelTolerance = 24;
    int minimumPixelsPerTile = 6;
  };

  explicit ScreenChangeDetector(Options options);

  // Whether there is a reference of `image`'s size.
  [[nodiscard]] bool comparable(const GrayImageView& image) const noexcept;
  // The changes of `image` against the reference. REQUIRES: comparable(image).
  [[nodiscard]] ScreenChanges compare(const GrayImageView& image) const;
  // Makes `image` the reference (of its size) entirely.
  void reset(const GrayImageView& image);
  // Copies `region` of `image` into the reference. REQUIRES: comparable(image).
  void update(const GrayImageView& image, const TextBox& region);

 private:
  Options options_;
  int width_ = 0;
  int height_ = 0;
  std::vector<std::uint8_t> reference_;  // width_ x height_, no padding
};

// The overlap of two boxes (empty: zero width or height), and whether there is one.
[[nodiscard]] TextBox intersection(const TextBox& a, const TextBox& b) noexcept;
[[nodiscard]] bool overlap(const TextBox& a, const TextBox& b) noexcept;
// The smallest box holding both.
[[nodiscard]] TextBox bounding(const TextBox& a, const TextBox& b) noexcept;
// Replaces overlapping boxes by their bounding box until none overlap; more than
// `maximumBoxes` become one box around all.
void mergeOverlapping(std::vector<TextBox>& boxes, int maximumBoxes);

}  // namespace tolvo
