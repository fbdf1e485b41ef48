#include "db/sql_row.h"

#include <string>
#include <utility>
#include <variant>

#include "db/database_error.h"

namespace tolvo {

SQLRow::SQLRow(Columns columns) : columns_(std::move(columns)), values_(columns_ ? columns_->size() : 0) {}

void SQLRow::set(std::size_t index, SQLValue value) {
  if (index < values_.size()) values_[index] = std::move(value);
}

const SQLValue* SQLRow::find(std::string_view column) const noexcept {
  if (!columns_) return nullptr;
  for (std::size_t i = 0; i < values_.size(); ++i) {
    if ((*columns_)[i] == column) return values_[i] ? &*values_[i] : nullptr;
  }
  return nullptr;
}

std::size_t SQLRow::size() const noexcept {
  std::size_t count = 0;
  for (const auto& value : values_) count += value.has_value() ? 1 : 0;
  return count;
}

std::optional<std::int64_t> SQLRow::integer(std::string_view column) const { return valueOf<std::int64_t>(column); }

std::optional<double> SQLRow::real(std::string_view column) const {
  if (auto number = valueOf<double>(column)) return number;
  if (auto number = valueOf<std::int64_t>(column)) return static_cast<double>(*number);
  return std::nullopt;
}

std::optional<std::string> SQLRow::text(std::string_view column) const { return valueOf<std::string>(column); }

std::optional<Bytes> SQLRow::blob(std::string_view column) const { return valueOf<Bytes>(column); }

void SQLRow::raiseMissing(std::string_view column, const char* kind) const {
  std::string message = "column ";
  message += column;
  message += contains(column) ? std::string(" does not hold ") + kind : " has no value";
  throw DatabaseError::queryFailed(std::move(message));
}

std::int64_t SQLRow::requiredInteger(std::string_view column) const {
  if (auto value = integer(column)) return *value;
  raiseMissing(column, "an integer");
}

double SQLRow::requiredReal(std::string_view column) const {
  if (auto value = real(column)) return *value;
  raiseMissing(column, "a number");
}

std::string SQLRow::requiredText(std::string_view column) const {
  if (auto value = text(column)) return std::move(*value);
  raiseMissing(column, "text");
}

}  // namespace tolvo
