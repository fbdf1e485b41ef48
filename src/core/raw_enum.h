#pragma once

#include <array>
#include <optional>
#include <string_view>
#include <utility>

namespace tolvo {

// Every string enumeration declares its cases and raw strings once, in declaration order:
//   template <> struct RawEnum<PauseReason> { static constexpr std::array table{...}; };
template <typename E>
struct RawEnum;

// The raw string of a case.
template <typename E>
[[nodiscard]] constexpr std::string_view rawValue(E value) {
  for (const auto& [c, text] : RawEnum<E>::table) {
    if (c == value) return text;
  }
  return {};
}

// The case whose raw string is exactly `text` (case-sensitive), or nothing.
template <typename E>
[[nodiscard]] constexpr std::optional<E> fromRawValue(std::string_view text) {
  for (const auto& [c, raw] : RawEnum<E>::table) {
    if (raw == text) return c;
  }
  return std::nullopt;
}

}  // namespace tolvo
