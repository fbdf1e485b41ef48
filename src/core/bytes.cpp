#include "core/bytes.h"

#include <cstring>

namespace tolvo {

void secureWipe(void* data, std::size_t size) noexcept {
  if (data != nullptr && size > 0) explicit_bzero(data, size);
}

std::string toHex(ByteView bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0f]);
  }
  return out;
}

}  // namespace tolvo
