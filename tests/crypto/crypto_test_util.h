#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string_view>

#include "core/bytes.h"

namespace tolvo::test {

// Hex text (spaces allowed, either case) to bytes; test data only.
inline Bytes fromHex(std::string_view text) {
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw std::invalid_argument("bad hex digit");
  };
  Bytes out;
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == '\n') continue;
    if (high < 0) {
      high = digit(c);
    } else {
      out.push_back(static_cast<std::uint8_t>(high * 16 + digit(c)));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("odd hex length");
  return out;
}

inline Bytes readFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void writeFileBytes(const std::filesystem::path& path, ByteView bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Deterministic filler that differs at every position modulo 251, so misplaced pages show.
inline Bytes patternBytes(std::size_t size, std::uint8_t seed = 0) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>((i % 251) ^ seed ^ (i / 65536));
  return out;
}

}  // namespace tolvo::test
