#pragma once

#include "core/error.h"

namespace tolvo {

// Errors of the vault manager, each with its fixed description.
class VaultError : public Error {
 public:
  enum class Code { vaultNotFound, keyDerivationFailed, encryptionFailed, decryptionFailed, databaseFailed, vaultAlreadyExists };

  explicit VaultError(Code code) : Error(descriptionOf(code)), code_(code) {}
  [[nodiscard]] Code code() const noexcept { return code_; }

  [[nodiscard]] static const char* descriptionOf(Code code) noexcept {
    switch (code) {
      case Code::vaultNotFound: return "Vault not found";
      case Code::keyDerivationFailed: return "Key derivation failed";
      case Code::encryptionFailed: return "Encryption failed";
      case Code::decryptionFailed: return "Decryption failed - wrong password?";
      case Code::databaseFailed: return "Database operation failed";
      case Code::vaultAlreadyExists: return "Vault already exists";
    }
    return "";
  }

 private:
  Code code_;
};

}  // namespace tolvo
