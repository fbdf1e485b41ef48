#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/sql_value.h"

namespace tolvo {

// One result row: a map from column name (as SQLite reports it) to value. A column that is
// NULL, or a BLOB of length zero, has no entry. Rows of one query share their column names.
class SQLRow {
 public:
  using Columns = std::shared_ptr<const std::vector<std::string>>;

  explicit SQLRow(Columns columns);

  // Gives column `index` (< the column count) a value.
  void set(std::size_t index, SQLValue value);

  // The entry of `column`, or null when it has none.
  [[nodiscard]] const SQLValue* find(std::string_view column) const noexcept;
  [[nodiscard]] bool contains(std::string_view column) const noexcept { return find(column) != nullptr; }
  // The number of entries (columns with a value).
  [[nodiscard]] std::size_t size() const noexcept;

  // The value of `column` when it has one of that kind, else nothing. real() also takes an
  // INTEGER value.
  [[nodiscard]] std::optional<std::int64_t> integer(std::string_view column) const;
  [[nodiscard]] std::optional<double> real(std::string_view column) const;
  [[nodiscard]] std::optional<std::string> text(std::string_view column) const;
  [[nodiscard]] std::optional<Bytes> blob(std::string_view column) const;

  // The same for a column that must hold a value of that kind; otherwise raises
  // DatabaseError::queryFailed naming the column.
  [[nodiscard]] std::int64_t requiredInteger(std::string_view column) const;
  [[nodiscard]] double requiredReal(std::string_view column) const;
  [[nodiscard]] std::string requiredText(std::string_view column) const;

 private:
  // The column's value when it holds a T; nothing when absent or of another kind.
  template <typename T>
  [[nodiscard]] std::optional<T> valueOf(std::string_view column) const {
    const SQLValue* value = find(column);
    if (value == nullptr) return std::nullopt;
    if (const auto* typed = std::get_if<T>(value)) return *typed;
    return std::nullopt;
  }
  [[noreturn]] void raiseMissing(std::string_view column, const char* kind) const;

  Columns columns_;
  std::vector<std::optional<SQLValue>> values_;
};

}  // namespace tolvo
