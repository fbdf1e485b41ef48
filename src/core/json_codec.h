#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/base64.h"
#include "core/bytes.h"
#include "core/error.h"
#include "core/raw_enum.h"
#include "core/time_util.h"

// Strict JSON field access for the record codecs: a missing required key, a value of the
// wrong JSON type, bad Base64 or an unknown enumeration string raises DecodingError.
namespace tolvo::json {

using nlohmann::json;

// Value decoders, one per field type.
template <typename T>
struct Value;

template <> struct Value<std::string> {
  static std::string decode(const json& v, std::string_view key);
  static json encode(const std::string& v) { return v; }
};
template <> struct Value<std::int64_t> {
  static std::int64_t decode(const json& v, std::string_view key);
  static json encode(std::int64_t v) { return v; }
};
template <> struct Value<double> {
  static double decode(const json& v, std::string_view key);
  static json encode(double v) { return v; }
};
template <> struct Value<bool> {
  static bool decode(const json& v, std::string_view key);
  static json encode(bool v) { return v; }
};
template <> struct Value<Bytes> {
  static Bytes decode(const json& v, std::string_view key);
  static json encode(const Bytes& v) { return base64Encode(v); }
};
template <> struct Value<Timestamp> {
  static Timestamp decode(const json& v, std::string_view key);
  static json encode(Timestamp v) { return toReferenceSeconds(v); }
};
template <typename E>
  requires requires { RawEnum<E>::table; }
struct Value<E> {
  static E decode(const json& v, std::string_view key) {
    auto text = Value<std::string>::decode(v, key);
    if (auto parsed = fromRawValue<E>(text)) return *parsed;
    throw DecodingError("Cannot initialize " + std::string(key) + " from invalid value \"" + text + "\"");
  }
  static json encode(E v) { return std::string(rawValue(v)); }
};

// The number as a signed 64-bit integer when that loses nothing: an integer in range, or a
// number written with a fraction or exponent that is exactly such an integer.
[[nodiscard]] std::optional<std::int64_t> exactInt64(const json& v) noexcept;

[[noreturn]] void throwMissingKey(std::string_view key);
void requireObject(const json& j, std::string_view what);

template <typename T>
T required(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) throwMissingKey(key);
  return Value<T>::decode(*it, key);
}

// A missing key and null both give nothing.
template <typename T>
std::optional<T> optional(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return std::nullopt;
  return Value<T>::decode(*it, key);
}

template <typename T>
void put(json& object, const char* key, const T& value) {
  object[key] = Value<T>::encode(value);
}

// Absent values are left out of the object.
template <typename T>
void put(json& object, const char* key, const std::optional<T>& value) {
  if (value) object[key] = Value<T>::encode(*value);
}

// Overwrites every string held in `value` (recursively, without recursion depth limits)
// before it is freed: requests and answers may carry passwords and keys.
void wipeStrings(json& value) noexcept;

// Deepest nesting of arrays and objects accepted in JSON from outside the process.
inline constexpr int kMaxNesting = 64;

// True when arrays and objects in `text` nest deeper than `maxDepth`. Reads the text without
// building anything (strings are skipped), so it is safe to run before parsing.
[[nodiscard]] bool nestsDeeperThan(std::string_view text, int maxDepth) noexcept;

// Bounds on JSON parsed from outside the process (request parameters, stored items): the
// text's size, checked first, and its nesting, checked before anything is built.
struct DecodeLimits {
  std::size_t maxBytes = std::numeric_limits<std::size_t>::max();
  int maxDepth = kMaxNesting;
};

// Encodes a record (or an array of records) as compact JSON bytes.
template <typename T>
[[nodiscard]] Bytes encode(const T& value) {
  return toBytes(json(value).dump());
}

// Raises DecodingError when `bytes` exceed `limits`.
void checkLimits(ByteView bytes, const DecodeLimits& limits);

// Decodes JSON bytes into a record or array of records; raises DecodingError, also when the
// bytes exceed `limits`.
template <typename T>
[[nodiscard]] T decode(ByteView bytes, const DecodeLimits& limits = {}) {
  checkLimits(bytes, limits);
  json parsed = json::parse(bytes.begin(), bytes.end(), nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) throw DecodingError("The given data was not valid JSON.");
  try {
    return parsed.get<T>();
  } catch (const nlohmann::json::exception& e) {
    throw DecodingError(e.what());
  }
}

// The same, giving nothing instead of raising.
template <typename T>
[[nodiscard]] std::optional<T> tryDecode(ByteView bytes, const DecodeLimits& limits = {}) {
  try {
    return decode<T>(bytes, limits);
  } catch (const DecodingError&) {
    return std::nullopt;
  }
}

}  // namespace tolvo::json
