#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/bytes.h"
#include "crypto/symmetric_key.h"

namespace tolvo {

// One sealed page: AES-256-GCM ciphertext (as long as the plaintext) and its 16-byte tag.
struct EncryptedPage {
  Bytes ciphertext;
  Bytes tag;

  // Splits bytes read from a page position into ciphertext (the first `plaintextSize`
  // bytes) and tag (the 16 bytes after it). Raises QXVError(invalidPage) when `data`
  // holds fewer than plaintextSize + 16 bytes.
  [[nodiscard]] static EncryptedPage fromData(ByteView data, std::size_t plaintextSize);

  // Ciphertext followed by tag, the form stored in a QXV file.
  [[nodiscard]] Bytes serialized() const;
  [[nodiscard]] std::size_t totalSize() const noexcept { return ciphertext.size() + tag.size(); }
};

// Stateless primitives under the QXV file format and the master-key wrapping. Their byte
// layouts are part of the on-disk format (docs/qxv-format.md). Every cipher failure is a
// CipherError; these functions define no error type of their own.
namespace EncryptionUtilities {

inline constexpr std::size_t kNonceSize = 12;
inline constexpr std::size_t kNonceBaseSize = 8;
inline constexpr std::size_t kTagSize = 16;

// base (8 bytes) || pageIndex (u32 little-endian): the 12-byte GCM nonce of one page.
// Raises CipherError(invalidInput) unless `base` is 8 bytes.
[[nodiscard]] Bytes createPageNonce(ByteView base, std::uint32_t pageIndex);

// UTF-8 bytes of `chunkId` (no terminator, length or padding) || pageIndex (u32 LE).
[[nodiscard]] Bytes createPageAAD(std::string_view chunkId, std::uint32_t pageIndex);

// AES-256-GCM with a 12-byte nonce and a 16-byte tag; the ciphertext is as long as the
// plaintext. Raises CipherError(invalidInput) for a nonce that is not 12 bytes.
[[nodiscard]] EncryptedPage encryptPage(ByteView plaintext, const SymmetricKey& key, ByteView nonce, ByteView aad);

// Opens a page sealed by encryptPage. Raises CipherError(authenticationFailure) when tag,
// key, nonce or AAD do not match (no plaintext is returned), CipherError(invalidInput) for
// a nonce that is not 12 bytes or a tag that is not 16.
[[nodiscard]] Bytes decryptPage(ByteView ciphertext, ByteView tag, const SymmetricKey& key, ByteView nonce,
                                ByteView aad);

// A self-contained sealed blob: fresh random nonce (12) || ciphertext || tag (16), no AAD.
[[nodiscard]] Bytes encrypt(ByteView plaintext, const SymmetricKey& key);

// Opens a blob made by encrypt. Raises CipherError(invalidInput) when it is shorter than
// 28 bytes, CipherError(authenticationFailure) when authentication fails.
[[nodiscard]] Bytes decrypt(ByteView sealed, const SymmetricKey& key);

// 8 random bytes for a file's nonce base.
[[nodiscard]] Bytes generateNonceBase();

// `count` bytes from the system's cryptographically secure random source (OpenSSL's
// DRBG seeded from getrandom). Raises CipherError(internalFailure) only when that source
// fails, which never happens on a working system.
[[nodiscard]] Bytes randomBytes(std::size_t count);

// A random (version 4) UUID: 36 characters, upper-case hex in groups 8-4-4-4-12.
[[nodiscard]] std::string randomUUID();

}  // namespace EncryptionUtilities
}  // namespace tolvo
