#pragma once

#include <cstddef>
#include <cstdint>

#include "core/bytes.h"
#include "crypto/symmetric_key.h"

struct evp_cipher_ctx_st;

namespace tolvo {

// Internal to the crypto layer: one AES-256-GCM cipher context bound to a key and a
// direction, reused for many messages so the key schedule and the algorithm lookup happen
// once. EncryptionUtilities, QXVWriter and QXVReader use it; other layers call
// EncryptionUtilities instead. Not thread-safe: one thread at a time per object.
class GcmCipher {
 public:
  enum class Direction { seal, open };
  static constexpr std::size_t kNonceSize = 12;
  static constexpr std::size_t kTagSize = 16;

  // Raises CipherError(internalFailure) when the library cannot set up the context.
  GcmCipher(const SymmetricKey& key, Direction direction);
  GcmCipher(const GcmCipher&) = delete;
  GcmCipher& operator=(const GcmCipher&) = delete;
  ~GcmCipher();

  // REQUIRES: direction seal; `ciphertextOut` has room for plaintext.size() bytes and
  // `tagOut` for 16. Raises CipherError(invalidInput) for a nonce that is not 12 bytes,
  // CipherError(internalFailure) when the library fails.
  void seal(ByteView nonce, ByteView aad, ByteView plaintext, std::uint8_t* ciphertextOut,
            std::uint8_t* tagOut);

  // REQUIRES: direction open; `plaintextOut` has room for ciphertext.size() bytes.
  // Raises CipherError(authenticationFailure) when tag, key, nonce or AAD do not match, in
  // which case `plaintextOut` is zeroed; CipherError(invalidInput) for a nonce that is not
  // 12 bytes or a tag that is not 16.
  void open(ByteView nonce, ByteView aad, ByteView ciphertext, ByteView tag, std::uint8_t* plaintextOut);

 private:
  void start(ByteView nonce, ByteView aad);
  void update(ByteView input, std::uint8_t* output);

  evp_cipher_ctx_st* ctx_ = nullptr;
  Direction direction_;
};

}  // namespace tolvo
