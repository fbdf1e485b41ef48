#include "crypto/symmetric_key.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <algorithm>

#include "crypto/cipher_error.h"

namespace tolvo {

SymmetricKey::SymmetricKey(ByteView bytes) {
  if (bytes.size() != kSize) throw CipherError(CipherError::Code::invalidInput);
  std::copy(bytes.begin(), bytes.end(), bytes_.begin());
}

SymmetricKey& SymmetricKey::operator=(const SymmetricKey& other) noexcept {
  if (this != &other) bytes_ = other.bytes_;
  return *this;
}

SymmetricKey::~SymmetricKey() { OPENSSL_cleanse(bytes_.data(), bytes_.size()); }

SymmetricKey SymmetricKey::random() {
  SymmetricKey key;
  if (RAND_bytes(key.bytes_.data(), static_cast<int>(kSize)) != 1) {
    throw CipherError(CipherError::Code::internalFailure);
  }
  return key;
}

bool SymmetricKey::operator==(const SymmetricKey& other) const noexcept {
  return CRYPTO_memcmp(bytes_.data(), other.bytes_.data(), kSize) == 0;
}

}  // namespace tolvo
