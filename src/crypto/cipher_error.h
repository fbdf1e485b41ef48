#pragma once

#include "core/error.h"

namespace tolvo {

// Failures of the AES-256-GCM cipher and the key-derivation functions. Higher layers pass
// these through unchanged, so an authentication failure reaches the caller as exactly
// "Authentication failed: wrong key or altered data".
class CipherError : public Error {
 public:
  enum class Code {
    authenticationFailure,  // tag, key, nonce or additional data do not match
    invalidInput,           // a key, nonce, tag or sealed blob of the wrong size
    internalFailure,        // the cryptographic library reported an error
  };

  explicit CipherError(Code code);

  [[nodiscard]] Code code() const noexcept { return code_; }

  // The fixed description of each case.
  [[nodiscard]] static const char* describe(Code code) noexcept;

 private:
  Code code_;
};

}  // namespace tolvo
