#pragma once

#include <string>

#include "core/error.h"

namespace tolvo {

// Errors of the metadata database. what() is the fixed description that finally reaches the
// application; SQLite's own message (or result code) is part of it.
class DatabaseError : public Error {
 public:
  enum class Code {
    openFailed,     // "Failed to open database: <SQLite result code>"
    prepareFailed,  // "Failed to prepare statement: <SQLite message>"
    executeFailed,  // "Failed to execute statement: <SQLite message>"
    queryFailed,    // "Query failed: <message>"
    notOpen,        // "Database is not open"
  };

  [[nodiscard]] static DatabaseError openFailed(int resultCode);
  [[nodiscard]] static DatabaseError prepareFailed(std::string message);
  [[nodiscard]] static DatabaseError executeFailed(std::string message);
  [[nodiscard]] static DatabaseError queryFailed(std::string message);
  [[nodiscard]] static DatabaseError notOpen();

  [[nodiscard]] Code code() const noexcept { return code_; }

 private:
  DatabaseError(Code code, const std::string& description) : Error(description), code_(code) {}

  Code code_;
};

}  // namespace tolvo
