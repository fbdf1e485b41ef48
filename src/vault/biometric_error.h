#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/error.h"

namespace tolvo {

// An error reported by the platform underneath a biometric operation.
struct PlatformError {
  enum class Domain { osStatus, other };
  Domain domain = Domain::other;
  std::int64_t code = 0;
  std::string description;
};

// Errors of the biometric unlock key. Cases that carry a platform error describe themselves
// from a fallback text (see describe()).
class BiometricError : public Error {
 public:
  enum class Code { keyGenerationFailed, publicKeyLoadFailed, signatureFailed, keyNotFound, verificationFailed };

  static BiometricError keyGenerationFailed(std::optional<PlatformError> error = std::nullopt);
  static BiometricError publicKeyLoadFailed(std::optional<PlatformError> error = std::nullopt);
  static BiometricError signatureFailed(std::optional<PlatformError> error = std::nullopt);
  static BiometricError keyNotFound();
  static BiometricError verificationFailed();

  // No error: fallback + ": unknown". OS-status code -34018: the missing-entitlement sentence.
  // Otherwise: fallback + ": " + the error's description.
  [[nodiscard]] static std::string describe(const std::optional<PlatformError>& error, const std::string& fallback);

  [[nodiscard]] Code code() const noexcept { return code_; }
  [[nodiscard]] const std::optional<PlatformError>& platformError() const noexcept { return platformError_; }

 private:
  BiometricError(Code code, std::string description, std::optional<PlatformError> error)
      : Error(description), code_(code), platformError_(std::move(error)) {}
  Code code_;
  std::optional<PlatformError> platformError_;
};

}  // namespace tolvo
