#include "crypto/encryption_utilities.h"

#include <openssl/rand.h>

#include <algorithm>
#include <climits>

#include "crypto/cipher_error.h"
#include "crypto/gcm_cipher.h"
#include "crypto/qxv_error.h"

namespace tolvo {

EncryptedPage EncryptedPage::fromData(ByteView data, std::size_t plaintextSize) {
  if (data.size() < plaintextSize || data.size() - plaintextSize < EncryptionUtilities::kTagSize) {
    throw QXVError(QXVError::Code::invalidPage);
  }
  EncryptedPage page;
  page.ciphertext.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(plaintextSize));
  auto tagStart = data.begin() + static_cast<std::ptrdiff_t>(plaintextSize);
  page.tag.assign(tagStart, tagStart + EncryptionUtilities::kTagSize);
  return page;
}

Bytes EncryptedPage::serialized() const {
  Bytes out;
  out.reserve(totalSize());
  out.insert(out.end(), ciphertext.begin(), ciphertext.end());
  out.insert(out.end(), tag.begin(), tag.end());
  return out;
}

namespace EncryptionUtilities {
namespace {

void appendLittleEndian(Bytes& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

}  // namespace

Bytes createPageNonce(ByteView base, std::uint32_t pageIndex) {
  if (base.size() != kNonceBaseSize) throw CipherError(CipherError::Code::invalidInput);
  Bytes nonce(base.begin(), base.end());
  appendLittleEndian(nonce, pageIndex);
  return nonce;
}

Bytes createPageAAD(std::string_view chunkId, std::uint32_t pageIndex) {
  Bytes aad = toBytes(chunkId);
  appendLittleEndian(aad, pageIndex);
  return aad;
}

EncryptedPage encryptPage(ByteView plaintext, const SymmetricKey& key, ByteView nonce, ByteView aad) {
  if (nonce.size() != kNonceSize) throw CipherError(CipherError::Code::invalidInput);
  EncryptedPage page;
  page.ciphertext.resize(plaintext.size());
  page.tag.resize(kTagSize);
  GcmCipher(key, GcmCipher::Direction::seal).seal(nonce, aad, plaintext, page.ciphertext.data(), page.tag.data());
  return page;
}

Bytes decryptPage(ByteView ciphertext, ByteView tag, const SymmetricKey& key, ByteView nonce, ByteView aad) {
  if (nonce.size() != kNonceSize || tag.size() != kTagSize) throw CipherError(CipherError::Code::invalidInput);
  Bytes plaintext(ciphertext.size());
  GcmCipher(key, GcmCipher::Direction::open).open(nonce, aad, ciphertext, tag, plaintext.data());
  return plaintext;
}

Bytes encrypt(ByteView plaintext, const SymmetricKey& key) {
  Bytes sealed = randomBytes(kNonceSize);
  sealed.resize(kNonceSize + plaintext.size() + kTagSize);
  GcmCipher(key, GcmCipher::Direction::seal)
      .seal(ByteView(sealed.data(), kNonceSize), {}, plaintext, sealed.data() + kNonceSize,
            sealed.data() + kNonceSize + plaintext.size());
  return sealed;
}

Bytes decrypt(ByteView sealed, const SymmetricKey& key) {
  if (sealed.size() < kNonceSize + kTagSize) throw CipherError(CipherError::Code::invalidInput);
  const std::size_t ciphertextSize = sealed.size() - kNonceSize - kTagSize;
  ByteView nonce = sealed.first(kNonceSize);
  ByteView ciphertext = sealed.subspan(kNonceSize, ciphertextSize);
  ByteView tag = sealed.last(kTagSize);
  Bytes plaintext(ciphertextSize);
  GcmCipher(key, GcmCipher::Direction::open).open(nonce, {}, ciphertext, tag, plaintext.data());
  return plaintext;
}

Bytes generateNonceBase() { return randomBytes(kNonceBaseSize); }

Bytes randomBytes(std::size_t count) {
  Bytes out(count);
  std::size_t done = 0;
  while (done < count) {
    const std::size_t n = std::min<std::size_t>(count - done, INT_MAX);
    if (RAND_bytes(out.data() + done, static_cast<int>(n)) != 1) {
      throw CipherError(CipherError::Code::internalFailure);
    }
    done += n;
  }
  return out;
}

std::string randomUUID() {
  Bytes b = randomBytes(16);
  b[6] = static_cast<std::uint8_t>((b[6] & 0x0f) | 0x40);  // version 4
  b[8] = static_cast<std::uint8_t>((b[8] & 0x3f) | 0x80);  // RFC 4122 variant
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kDigits[b[i] >> 4]);
    text.push_back(kDigits[b[i] & 0x0f]);
  }
  return text;
}

}  // namespace EncryptionUtilities
}  // namespace tolvo
