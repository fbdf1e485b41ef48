#include "crypto/gcm_cipher.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <climits>

#include "crypto/cipher_error.h"

namespace tolvo {
namespace {

// EVP takes int lengths; longer inputs go through in slices of this size.
constexpr std::size_t kSliceSize = std::size_t{1} << 30;

[[noreturn]] void fail(CipherError::Code code = CipherError::Code::internalFailure) {
  throw CipherError(code);
}

}  // namespace

GcmCipher::GcmCipher(const SymmetricKey& key, Direction direction) : direction_(direction) {
  ctx_ = EVP_CIPHER_CTX_new();
  if (ctx_ == nullptr) fail();
  const int enc = direction == Direction::seal ? 1 : 0;
  if (EVP_CipherInit_ex(ctx_, EVP_aes_256_gcm(), nullptr, key.toData().data(), nullptr, enc) != 1) {
    EVP_CIPHER_CTX_free(ctx_);
    fail();
  }
}

GcmCipher::~GcmCipher() { EVP_CIPHER_CTX_free(ctx_); }  // also wipes the key schedule

void GcmCipher::start(ByteView nonce, ByteView aad) {
  if (nonce.size() != kNonceSize) fail(CipherError::Code::invalidInput);
  // A new nonce on the existing key; the GCM default nonce length is 12 bytes.
  if (EVP_CipherInit_ex(ctx_, nullptr, nullptr, nullptr, nonce.data(), -1) != 1) fail();
  while (!aad.empty()) {
    const std::size_t n = std::min(aad.size(), kSliceSize);
    int outLength = 0;
    if (EVP_CipherUpdate(ctx_, nullptr, &outLength, aad.data(), static_cast<int>(n)) != 1) fail();
    aad = aad.subspan(n);
  }
}

void GcmCipher::update(ByteView input, std::uint8_t* output) {
  while (!input.empty()) {
    const std::size_t n = std::min(input.size(), kSliceSize);
    int outLength = 0;
    if (EVP_CipherUpdate(ctx_, output, &outLength, input.data(), static_cast<int>(n)) != 1 ||
        static_cast<std::size_t>(outLength) != n) {
      fail();
    }
    input = input.subspan(n);
    output += n;
  }
}

void GcmCipher::seal(ByteView nonce, ByteView aad, ByteView plaintext, std::uint8_t* ciphertextOut,
                     std::uint8_t* tagOut) {
  if (direction_ != Direction::seal) fail();
  start(nonce, aad);
  update(plaintext, ciphertextOut);
  int outLength = 0;
  std::uint8_t unused[16];
  if (EVP_CipherFinal_ex(ctx_, unused, &outLength) != 1) fail();
  if (EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize), tagOut) != 1) fail();
}

void GcmCipher::open(ByteView nonce, ByteView aad, ByteView ciphertext, ByteView tag, std::uint8_t* plaintextOut) {
  if (direction_ != Direction::open) fail();
  if (tag.size() != kTagSize) fail(CipherError::Code::invalidInput);
  start(nonce, aad);
  try {
    update(ciphertext, plaintextOut);
  } catch (...) {
    if (!ciphertext.empty()) OPENSSL_cleanse(plaintextOut, ciphertext.size());
    throw;
  }
  // The library copies the tag; the const_cast only satisfies the ctrl signature.
  if (EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize),
                          const_cast<std::uint8_t*>(tag.data())) != 1) {
    fail();
  }
  int outLength = 0;
  std::uint8_t unused[16];
  if (EVP_CipherFinal_ex(ctx_, unused, &outLength) != 1) {
    // Unauthenticated plaintext never leaves this function.
    if (!ciphertext.empty()) OPENSSL_cleanse(plaintextOut, ciphertext.size());
    fail(CipherError::Code::authenticationFailure);
  }
}

}  // namespace tolvo
