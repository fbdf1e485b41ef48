#include "core/json_codec.h"

#include <cmath>
#include <limits>
#include <vector>

namespace tolvo::json {
namespace {

[[noreturn]] void typeMismatch(std::string_view key, std::string_view expected, const json& v) {
  throw DecodingError("Expected to decode " + std::string(expected) + " for key \"" + std::string(key) +
                      "\" but found " + v.type_name() + " instead.");
}

}  // namespace

void wipeStrings(json& value) noexcept {
  std::vector<json*> pending{&value};
  while (!pending.empty()) {
    json* current = pending.back();
    pending.pop_back();
    if (current->is_string()) {
      auto& text = current->get_ref<std::string&>();
      secureWipe(text.data(), text.size());
    } else if (current->is_structured()) {
      for (auto& element : *current) pending.push_back(&element);
    }
  }
}

bool nestsDeeperThan(std::string_view text, int maxDepth) noexcept {
  int depth = 0;
  bool inString = false;
  bool escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') inString = false;
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > maxDepth) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

void checkLimits(ByteView bytes, const DecodeLimits& limits) {
  if (bytes.size() > limits.maxBytes) {
    throw DecodingError("The given data is longer than " + std::to_string(limits.maxBytes) + " bytes.");
  }
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (nestsDeeperThan(text, limits.maxDepth)) {
    throw DecodingError("The given data nests deeper than " + std::to_string(limits.maxDepth) + " levels.");
  }
}

void throwMissingKey(std::string_view key) {
  throw DecodingError("No value associated with key \"" + std::string(key) + "\".");
}

void requireObject(const json& j, std::string_view what) {
  if (!j.is_object()) {
    throw DecodingError("Expected to decode " + std::string(what) + " object but found " + j.type_name() + " instead.");
  }
}

std::string Value<std::string>::decode(const json& v, std::string_view key) {
  if (!v.is_string()) typeMismatch(key, "String", v);
  return v.get<std::string>();
}

std::optional<std::int64_t> exactInt64(const json& v) noexcept {
  if (v.is_number_unsigned()) {
    const auto u = v.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
    return static_cast<std::int64_t>(u);
  }
  if (v.is_number_integer()) return v.get<std::int64_t>();
  if (v.is_number_float()) {
    const double d = v.get<double>();
    if (std::isfinite(d) && std::trunc(d) == d && d >= -9.2233720368547758e18 && d < 9.2233720368547758e18) {
      return static_cast<std::int64_t>(d);
    }
  }
  return std::nullopt;
}

std::int64_t Value<std::int64_t>::decode(const json& v, std::string_view key) {
  if (auto n = exactInt64(v)) return *n;
  typeMismatch(key, "Int64", v);
}

double Value<double>::decode(const json& v, std::string_view key) {
  if (!v.is_number()) typeMismatch(key, "Double", v);
  return v.get<double>();
}

bool Value<bool>::decode(const json& v, std::string_view key) {
  if (!v.is_boolean()) typeMismatch(key, "Bool", v);
  return v.get<bool>();
}

Bytes Value<Bytes>::decode(const json& v, std::string_view key) {
  if (!v.is_string()) typeMismatch(key, "Data (Base64 string)", v);
  auto bytes = base64Decode(v.get_ref<const std::string&>());
  if (!bytes) throw DecodingError("Encountered Data for key \"" + std::string(key) + "\" is not valid Base64.");
  return std::move(*bytes);
}

Timestamp Value<Timestamp>::decode(const json& v, std::string_view key) {
  if (!v.is_number()) typeMismatch(key, "Date (number)", v);
  return fromReferenceSeconds(v.get<double>());
}

}  // namespace tolvo::json
