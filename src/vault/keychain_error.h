#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/error.h"

namespace tolvo {

// A failure of the secret store, carrying the store's status code (signed 32-bit, written
// in decimal in the description; docs/keychain.md lists the codes):
//   saveFailed    "Failed to save to keychain: <status>"
//   loadFailed    "Failed to load from keychain: <status>"
//   deleteFailed  "Failed to delete from keychain: <status>"
class KeychainError : public Error {
 public:
  enum class Kind { saveFailed, loadFailed, deleteFailed };

  [[nodiscard]] static KeychainError saveFailed(std::int32_t status) {
    return {Kind::saveFailed, status, "Failed to save to keychain: "};
  }
  [[nodiscard]] static KeychainError loadFailed(std::int32_t status) {
    return {Kind::loadFailed, status, "Failed to load from keychain: "};
  }
  [[nodiscard]] static KeychainError deleteFailed(std::int32_t status) {
    return {Kind::deleteFailed, status, "Failed to delete from keychain: "};
  }

  [[nodiscard]] Kind kind() const noexcept { return kind_; }
  [[nodiscard]] std::int32_t status() const noexcept { return status_; }

 private:
  KeychainError(Kind kind, std::int32_t status, std::string_view prefix)
      : Error(std::string(prefix) + std::to_string(status)), kind_(kind), status_(status) {}

  Kind kind_;
  std::int32_t status_;
};

}  // namespace tolvo
