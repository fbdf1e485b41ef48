#include "crypto/qxv_error.h"

namespace tolvo {

QXVError::QXVError(Code code) : Error(describe(code)), code_(code) {}

const char* QXVError::describe(Code code) noexcept {
  switch (code) {
    case Code::invalidHeader: return "Invalid QXV file header";
    case Code::invalidMagic: return "Invalid file magic number";
    case Code::invalidPage: return "Invalid encrypted page";
    case Code::readFailed: return "Failed to read from QXV file";
    case Code::writeFailed: return "Failed to write to QXV file";
    case Code::encryptionFailed: return "Page encryption failed";
    case Code::decryptionFailed: return "Page decryption failed";
  }
  return "Invalid QXV file header";
}

}  // namespace tolvo
