#pragma once

#include "core/error.h"

namespace tolvo {

// Errors of the QXV encrypted file format. The reader and the header parser raise
// invalidHeader, invalidMagic, invalidPage and readFailed; file-system errors
// (SystemError) and cipher errors (CipherError) pass through QXVWriter and QXVReader
// unchanged. writeFailed, encryptionFailed and decryptionFailed complete the set for
// callers that report in this vocabulary.
class QXVError : public Error {
 public:
  enum class Code {
    invalidHeader,     // "Invalid QXV file header"
    invalidMagic,      // "Invalid file magic number"
    invalidPage,       // "Invalid encrypted page"
    readFailed,        // "Failed to read from QXV file"
    writeFailed,       // "Failed to write to QXV file"
    encryptionFailed,  // "Page encryption failed"
    decryptionFailed,  // "Page decryption failed"
  };

  explicit QXVError(Code code);

  [[nodiscard]] Code code() const noexcept { return code_; }
  [[nodiscard]] static const char* describe(Code code) noexcept;

 private:
  Code code_;
};

}  // namespace tolvo
