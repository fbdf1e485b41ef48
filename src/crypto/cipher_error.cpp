#include "crypto/cipher_error.h"

namespace tolvo {

CipherError::CipherError(Code code) : Error(describe(code)), code_(code) {}

const char* CipherError::describe(Code code) noexcept {
  switch (code) {
    case Code::authenticationFailure: return "Authentication failed: wrong key or altered data";
    case Code::invalidInput: return "Invalid input to the cipher";
    case Code::internalFailure: return "The cipher reported an internal failure";
  }
  return "The cipher reported an internal failure";
}

}  // namespace tolvo
