#include "core/base64.h"

#include <openssl/evp.h>

#include <algorithm>

namespace tolvo {
namespace {

bool isAlphabet(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

}  // namespace

std::string base64Encode(ByteView bytes) {
  std::string out;
  base64Append(out, bytes);
  return out;
}

void base64Append(std::string& out, ByteView bytes) {
  constexpr std::size_t kBlock = std::size_t{3} << 20;  // a multiple of 3: padding only at the end
  const std::size_t start = out.size();
  out.resize(start + base64EncodedLength(bytes.size()));
  // EVP_EncodeBlock takes an int length and writes a terminating NUL after each block: into the
  // next block's room, and after the last one into the string's own terminator.
  auto* dest = reinterpret_cast<unsigned char*>(out.data() + start);
  for (std::size_t offset = 0; offset < bytes.size(); offset += kBlock) {
    const std::size_t n = std::min(kBlock, bytes.size() - offset);
    dest += EVP_EncodeBlock(dest, bytes.data() + offset, static_cast<int>(n));
  }
}

std::optional<Bytes> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  if (text.empty()) return Bytes{};
  std::size_t padding = 0;
  if (text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  for (std::size_t i = 0; i < text.size() - padding; ++i) {
    if (!isAlphabet(text[i])) return std::nullopt;
  }
  Bytes out(text.size() / 4 * 3);
  const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  if (n < 0) return std::nullopt;
  out.resize(static_cast<std::size_t>(n) - padding);
  return out;
}

}  // namespace tolvo
