#include "pipeline/screen_change_detector.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace tolvo {
namespace {


}  // namespace

bool overlap(const TextBox& a, const TextBox& b) noexcept {
  return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}

TextBox bounding(const TextBox& a, const TextBox& b) noexcept {
  const int left = std::min(a.x, b.x);
  const int top = std::min(a.y, b.y);
  return TextBox{left, top, std::max(a.x + a.width, b.x + b.width) - left, std::max(a.y + a.height, b.y + b.height) - top};
}

TextBox intersection(const TextBox& a, const TextBox& b) noexcept {
  const int left = std::max(a.x, b.x);
  const int top = std::max(a.y, b.y);
  const int right = std::min(a.x + a.width, b.x + b.width);
  const int bottom = std::min(a.y + a.height, b.y + b.height);
  if (right <= left || bottom <= top) return TextBox{left, top, 0, 0};
  return TextBox{left, top, right - left, bottom - top};
}

bool ScreenChanges::touches(const TextBox& box) const {
  if (tileSize <= 0 || changedTiles == 0) return false;
  const TextBox inside = intersection(box, TextBox{0, 0, width, height});
  if (inside.width == 0 || inside.height == 0) return false;
  for (int row = inside.y / tileSize; row <= (inside.y + inside.height - 1) / tileSize; ++row)
    for (int column = inside.x / tileSize; column <= (inside.x + inside.width - 1) / tileSize; ++column)
      if (tiles[static_cast<std::size_t>(row) * columns + column] != 0) return true;
  return false;
}

std::vector<TextBox> ScreenChanges::regions(int padX, int padY, int maximumRegions) const {
  // Groups of changed tiles touching by a side or a corner, each as its bounding box.
  std::vector<TextBox> boxes;
  std::vector<std::uint8_t> seen(tiles.size(), 0);
  std::vector<int> stack;
  for (std::size_t start = 0; start < tiles.size(); ++start) {
    if (tiles[start] == 0 || seen[start] != 0) continue;
    int left = columns, top = rows, right = -1, bottom = -1;
    seen[start] = 1;
    stack.assign(1, static_cast<int>(start));
    while (!stack.empty()) {
      const int at = stack.back();
      stack.pop_back();
      const int row = at / columns, column = at % columns;
      left = std::min(left, column);
      right = std::max(right, column);
      top = std::min(top, row);
      bottom = std::max(bottom, row);
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
          const int r = row + dy, c = column + dx;
          if (r < 0 || c < 0 || r >= rows || c >= columns) continue;
          const std::size_t next = static_cast<std::size_t>(r) * columns + c;
          if (tiles[next] == 0 || seen[next] != 0) continue;
          seen[next] = 1;
          stack.push_back(static_cast<int>(next));
        }
    }
    const TextBox grown{left * tileSize - padX, top * tileSize - padY, (right - left + 1) * tileSize + 2 * padX,
                        (bottom - top + 1) * tileSize + 2 * padY};
    boxes.push_back(intersection(grown, TextBox{0, 0, width, height}));
  }
  mergeOverlapping(boxes, maximumRegions);
  return boxes;
}

void mergeOverlapping(std::vector<TextBox>& boxes, int maximumBoxes) {
  // A merge can make a new overlap: until none is left.
  for (bool merged = true; merged;) {
    merged = false;
    for (std::size_t i = 0; i < boxes.size() && !merged; ++i)
      for (std::size_t j = i + 1; j < boxes.size() && !merged; ++j)
        if (overlap(boxes[i], boxes[j])) {
          boxes[i] = bounding(boxes[i], boxes[j]);
          boxes.erase(boxes.begin() + static_cast<std::ptrdiff_t>(j));
          merged = true;
        }
  }
  if (!boxes.empty() && static_cast<int>(boxes.size()) > maximumBoxes) {
    TextBox all = boxes.front();
    for (const TextBox& box : boxes) all = bounding(all, box);
    boxes.assign(1, all);
  }
}

ScreenChangeDetector::ScreenChangeDetector(Options options) : options_(options) {
  options_.tileSize = std::max(1, options_.tileSize);
}

bool ScreenChangeDetector::comparable(const GrayImageView& image) const noexcept {
  return !reference_.empty() && image.width == width_ && image.height == height_;
}

ScreenChanges ScreenChangeDetector::compare(const GrayImageView& image) const {
  ScreenChanges changes;
  const int tile = options_.tileSize;
  changes.tileSize = tile;
  changes.width = width_;
  changes.height = height_;
  changes.columns = (width_ + tile - 1) / tile;
  changes.rows = (height_ + tile - 1) / tile;
  changes.tiles.assign(static_cast<std::size_t>(changes.columns) * changes.rows, 0);
  std::vector<int> counts(static_cast<std::size_t>(changes.columns), 0);
  for (int row = 0; row < changes.rows; ++row) {
    std::fill(counts.begin(), counts.end(), 0);
    for (int y = row * tile; y < std::min(height_, (row + 1) * tile); ++y) {
      const std::uint8_t* now = image.data + static_cast<std::ptrdiff_t>(y) * image.stride;
      const std::uint8_t* before = reference_.data() + static_cast<std::size_t>(y) * width_;
      // Rows are compared a word at a time first: most of a screen is unchanged.
      for (int x = 0; x < width_; x += tile) {
        const int end = std::min(width_, x + tile);
        if (std::memcmp(now + x, before + x, static_cast<std::size_t>(end - x)) == 0) continue;
        int& count = counts[static_cast<std::size_t>(x / tile)];
        for (int i = x; i < end; ++i) count += std::abs(now[i] - before[i]) > options_.pixelTolerance;
      }
    }
    for (int column = 0; column < changes.columns; ++column) {
      const int count = counts[static_cast<std::size_t>(column)];
      if (count < options_.minimumPixelsPerTile) continue;
      changes.tiles[static_cast<std::size_t>(row) * changes.columns + column] = 1;
      ++changes.changedTiles;
      changes.changedPixels += count;
    }
  }
  return changes;
}

void ScreenChangeDetector::reset(const GrayImageView& image) {
  width_ = image.width;
  height_ = image.height;
  reference_.resize(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_));
  update(image, TextBox{0, 0, width_, height_});
}

void ScreenChangeDetector::update(const GrayImageView& image, const TextBox& region) {
  const TextBox inside = intersection(region, TextBox{0, 0, width_, height_});
  for (int y = inside.y; y < inside.y + inside.height; ++y)
    std::memcpy(reference_.data() + static_cast<std::size_t>(y) * width_ + inside.x,
                image.data + static_cast<std::ptrdiff_t>(y) * image.stride + inside.x,
                static_cast<std::size_t>(inside.width));
}

}  // namespace tolvo
