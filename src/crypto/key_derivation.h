#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/bytes.h"

// Internal to the crypto layer: the two key-derivation functions KeyManager is built on,
// exposed separately so their known-answer vectors can be checked directly.
namespace tolvo::KeyDerivation {

// HKDF (RFC 5869) with SHA-256, extract then expand. An empty salt means no salt (a
// string of zeros, per the RFC). Raises CipherError(invalidInput) for a length of 0 or
// above 255 × 32, CipherError(internalFailure) when the library fails.
[[nodiscard]] SecureBytes hkdfSha256(ByteView inputKeyMaterial, ByteView salt, ByteView info, std::size_t length);

// PBKDF2 (RFC 8018) with HMAC-SHA256 over the password bytes as they are. Nothing when
// `iterations` is 0 or the library reports an error.
[[nodiscard]] std::optional<SecureBytes> pbkdf2HmacSha256(ByteView password, ByteView salt,
                                                          std::uint32_t iterations, std::size_t length);

}  // namespace tolvo::KeyDerivation
