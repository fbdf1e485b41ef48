#include "db/database_error.h"

#include <utility>

namespace tolvo {

DatabaseError DatabaseError::openFailed(int resultCode) {
  return {Code::openFailed, "Failed to open database: " + std::to_string(resultCode)};
}

DatabaseError DatabaseError::prepareFailed(std::string message) {
  return {Code::prepareFailed, "Failed to prepare statement: " + std::move(message)};
}

DatabaseError DatabaseError::executeFailed(std::string message) {
  return {Code::executeFailed, "Failed to execute statement: " + std::move(message)};
}

DatabaseError DatabaseError::queryFailed(std::string message) {
  return {Code::queryFailed, "Query failed: " + std::move(message)};
}

DatabaseError DatabaseError::notOpen() { return {Code::notOpen, "Database is not open"}; }

}  // namespace tolvo
