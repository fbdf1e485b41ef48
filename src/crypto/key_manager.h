#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/bytes.h"
#include "crypto/symmetric_key.h"

namespace tolvo {

// Holds the vault's keys in memory while it is unlocked and performs every key derivation:
//   key-encryption key = PBKDF2-HMAC-SHA256(password, salt, iterations), 32 bytes
//   database key       = HKDF-SHA256(master key, no salt, info "db-key"), 32 bytes
//   chunk key          = HKDF-SHA256(master key, salt = chunk id, info "chunk-key"), 32 bytes
//   wrapped master key = EncryptionUtilities::encrypt(master key bytes) under the KEK:
//                        nonce (12) || ciphertext (32) || tag (16) = 60 bytes, no AAD
//
// Thread-safe. The two key fields are set, read and cleared under one mutex, so a reader
// sees either the complete old pair or the complete new one; getKeys() returns both from
// the same moment.
class KeyManager {
 public:
  // The process-wide instance, made on first use.
  [[nodiscard]] static KeyManager& shared();

  // A separate, locked instance (tests).
  KeyManager();
  KeyManager(const KeyManager&) = delete;
  KeyManager& operator=(const KeyManager&) = delete;
  ~KeyManager();

  // A new random 256-bit key.
  [[nodiscard]] SymmetricKey generateMasterKey() const;

  // Stores the master key and the database key derived from it.
  void setMasterKey(const SymmetricKey& masterKey);
  // Stores the master key and its database key, derived beforehand with deriveDBKey().
  void setKeys(const SymmetricKey& masterKey, const SymmetricKey& dbKey) noexcept;
  [[nodiscard]] std::optional<SymmetricKey> getMasterKey() const;
  [[nodiscard]] std::optional<SymmetricKey> getDBKey() const;
  // The master key and its database key, read together; nothing while locked.
  [[nodiscard]] std::optional<std::pair<SymmetricKey, SymmetricKey>> getKeys() const;
  // The database key as 64 lower-case hex digits; nothing while locked.
  [[nodiscard]] std::optional<std::string> getDBKeyHex() const;

  // Forgets both keys; their bytes are overwritten, not only dropped.
  void clearKeys();
  [[nodiscard]] bool isUnlocked() const;

  // The key-encryption key for `password` (its bytes as given, no normalization). Nothing
  // when `iterations` is outside 1 … 4294967295 or the derivation fails.
  [[nodiscard]] std::optional<SymmetricKey> deriveKEK(std::string_view password, ByteView salt,
                                                      std::int64_t iterations) const;

  // The 60-byte wrapped form of `masterKey` under `kek`. CipherError passes through.
  [[nodiscard]] Bytes encryptMasterKey(const SymmetricKey& masterKey, const SymmetricKey& kek) const;
  // Unwraps; raises CipherError unchanged: invalidInput for bytes that are not a
  // well-formed nonce || ciphertext || tag of a 32-byte key, authenticationFailure for a
  // wrong KEK (wrong password) or altered bytes.
  [[nodiscard]] SymmetricKey decryptMasterKey(ByteView wrapped, const SymmetricKey& kek) const;

  [[nodiscard]] SymmetricKey deriveDBKey(const SymmetricKey& masterKey) const;
  [[nodiscard]] SymmetricKey deriveChunkKey(const SymmetricKey& masterKey, std::string_view chunkId) const;

 private:
  mutable std::mutex mutex_;
  std::optional<SymmetricKey> masterKey_;  // guarded by mutex_
  std::optional<SymmetricKey> dbKey_;      // guarded by mutex_
};

}  // namespace tolvo
