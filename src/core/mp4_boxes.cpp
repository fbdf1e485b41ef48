#include "core/mp4_boxes.h"

#include <cstdint>
#include <string_view>

namespace tolvo {
namespace {

std::uint64_t bigEndian(ByteView bytes) noexcept {
  std::uint64_t value = 0;
  for (const std::uint8_t b : bytes) value = value << 8 | b;
  return value;
}

}  // namespace

std::size_t completeMp4Prefix(ByteView mp4) noexcept {
  std::size_t offset = 0;
  std::size_t complete = 0;
  bool movieHeader = false;
  while (mp4.size() - offset >= 8) {
    const ByteView box = mp4.subspan(offset);
    std::uint64_t size = bigEndian(box.first(4));
    if (size == 1) size = box.size() >= 16 ? bigEndian(box.subspan(8, 8)) : 0;  // 64-bit size
    if (size < 8 || size > box.size()) break;  // cut inside this box
    const std::string_view type(reinterpret_cast<const char*>(box.data()) + 4, 4);
    offset += static_cast<std::size_t>(size);
    movieHeader = movieHeader || type == "moov";
    if (type != "moof") complete = offset;
  }
  return movieHeader ? complete : 0;
}

}  // namespace tolvo
