#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string_view>

#include "core/bytes.h"

namespace tolvo::test {

// Hex text (spaces and newlines allowed, either case) to bytes; test data only.
inline Bytes fromHex(std::string_view text) {
  std::string digits;
  std::copy_if(text.begin(), text.end(), std::back_inserter(digits), [](char c) { return c != ' ' && c != '\n'; });
  Bytes out(digits.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (std::from_chars(&digits[2 * i], &digits[2 * i + 2], out[i], 16).ptr != &digits[2 * i + 2]) {
      throw std::invalid_argument("bad hex: " + std::string(text));
    }
  }
  if (digits.size() % 2 != 0) throw std::invalid_argument("odd hex length: " + std::string(text));
  return out;
}

inline Bytes readFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline void writeFileBytes(const std::filesystem::path& path, ByteView bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::ssize(bytes));
}

// Deterministic filler that differs at every position modulo 251, so misplaced pages show.
inline Bytes patternBytes(std::size_t size, std::uint8_t seed = 0) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>((i % 251) ^ seed ^ (i / 65536));
  return out;
}

// `bytes` with the bytes of `hex` written at `offset`.
inline Bytes withPatch(Bytes bytes, std::size_t offset, std::string_view hex) {
  const Bytes patch = fromHex(hex);
  std::copy(patch.begin(), patch.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
  return bytes;
}

// The what() of the exception `f` raises, or "no error".
template <typename F>
std::string errorText(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

// The code() of the E that `f` raises; an exception out of the test (which fails it) when it
// raises nothing or something else.
template <typename E, typename F>
auto errorCode(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.code();
  }
  throw std::logic_error("no error");
}

}  // namespace tolvo::test
