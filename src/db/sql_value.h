#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "core/bytes.h"

namespace tolvo {

// A value read from a result column, by its storage class: INTEGER, REAL, TEXT or BLOB.
// NULL and zero-length BLOBs are not values: a row has no entry for them (see SQLRow).
using SQLValue = std::variant<std::int64_t, double, std::string, Bytes>;

// One statement parameter; the parameter at list position i binds to placeholder i + 1.
//   text                              UTF-8 TEXT, copied by SQLite
//   any integral type except bool     64-bit INTEGER (unsigned values above INT64_MAX wrap)
//   double (and float)                REAL
//   Bytes                             BLOB, copied by SQLite; an empty Bytes binds a zero-length BLOB
//   std::nullopt, nullptr, SQLParam() NULL
//   std::optional<one of the above>   its value, or NULL when it holds nothing
// A bool does not compile: pass 1 or 0. Enumerations are passed as their raw strings.
class SQLParam {
 public:
  using Value = std::variant<std::monostate, std::string, std::int64_t, double, Bytes>;

  SQLParam() noexcept = default;
  SQLParam(std::nullopt_t) noexcept {}
  SQLParam(std::nullptr_t) noexcept {}
  SQLParam(std::string text) noexcept : value_(std::move(text)) {}
  SQLParam(std::string_view text) : value_(std::string(text)) {}
  SQLParam(const char* text) {
    if (text != nullptr) value_ = std::string(text);
  }
  template <std::integral T>
    requires(!std::same_as<std::remove_cv_t<T>, bool>)
  SQLParam(T number) noexcept : value_(static_cast<std::int64_t>(number)) {}
  SQLParam(double number) noexcept : value_(number) {}
  SQLParam(Bytes bytes) noexcept : value_(std::move(bytes)) {}
  SQLParam(bool) = delete;
  template <typename T>
    requires std::is_constructible_v<SQLParam, const T&>
  SQLParam(const std::optional<T>& value) : SQLParam(value ? SQLParam(*value) : SQLParam()) {}

  [[nodiscard]] const Value& value() const noexcept { return value_; }
  [[nodiscard]] bool isNull() const noexcept { return std::holds_alternative<std::monostate>(value_); }
  bool operator==(const SQLParam&) const = default;

 private:
  Value value_;
};

using SQLParams = std::vector<SQLParam>;

}  // namespace tolvo
