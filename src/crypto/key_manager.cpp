#include "crypto/key_manager.h"

#include <limits>

#include "crypto/encryption_utilities.h"
#include "crypto/key_derivation.h"

namespace tolvo {
namespace {

constexpr std::string_view kDBKeyInfo = "db-key";
constexpr std::string_view kChunkKeyInfo = "chunk-key";

}  // namespace

KeyManager& KeyManager::shared() {
  static KeyManager instance;
  return instance;
}

KeyManager::KeyManager() = default;
KeyManager::~KeyManager() = default;  // the keys' destructors wipe them

SymmetricKey KeyManager::generateMasterKey() const { return SymmetricKey::random(); }

void KeyManager::setMasterKey(const SymmetricKey& masterKey) {
  setKeys(masterKey, deriveDBKey(masterKey));  // derived outside the lock: it touches no state
}

void KeyManager::setKeys(const SymmetricKey& masterKey, const SymmetricKey& dbKey) noexcept {
  std::lock_guard lock(mutex_);
  masterKey_ = masterKey;
  dbKey_ = dbKey;
}

std::optional<SymmetricKey> KeyManager::getMasterKey() const {
  std::lock_guard lock(mutex_);
  return masterKey_;
}

std::optional<SymmetricKey> KeyManager::getDBKey() const {
  std::lock_guard lock(mutex_);
  return dbKey_;
}

std::optional<std::pair<SymmetricKey, SymmetricKey>> KeyManager::getKeys() const {
  std::lock_guard lock(mutex_);
  if (!masterKey_ || !dbKey_) return std::nullopt;
  return std::pair<SymmetricKey, SymmetricKey>(*masterKey_, *dbKey_);
}

std::optional<std::string> KeyManager::getDBKeyHex() const {
  std::optional<SymmetricKey> key = getDBKey();
  if (!key) return std::nullopt;
  return toHex(key->toData());
}

void KeyManager::clearKeys() {
  std::lock_guard lock(mutex_);
  masterKey_.reset();  // ~SymmetricKey overwrites the bytes with OPENSSL_cleanse
  dbKey_.reset();
}

bool KeyManager::isUnlocked() const {
  std::lock_guard lock(mutex_);
  return masterKey_.has_value();
}

std::optional<SymmetricKey> KeyManager::deriveKEK(std::string_view password, ByteView salt,
                                                  std::int64_t iterations) const {
  if (iterations < 1 || iterations > std::int64_t{std::numeric_limits<std::uint32_t>::max()}) {
    return std::nullopt;
  }
  std::optional<SecureBytes> bytes = KeyDerivation::pbkdf2HmacSha256(
      asBytes(password), salt, static_cast<std::uint32_t>(iterations), SymmetricKey::kSize);
  if (!bytes) return std::nullopt;
  return SymmetricKey(bytes->view());
}

Bytes KeyManager::encryptMasterKey(const SymmetricKey& masterKey, const SymmetricKey& kek) const {
  return EncryptionUtilities::encrypt(masterKey.toData(), kek);
}

SymmetricKey KeyManager::decryptMasterKey(ByteView wrapped, const SymmetricKey& kek) const {
  SecureBytes plaintext(EncryptionUtilities::decrypt(wrapped, kek));
  return SymmetricKey(plaintext.view());
}

SymmetricKey KeyManager::deriveDBKey(const SymmetricKey& masterKey) const {
  return SymmetricKey(
      KeyDerivation::hkdfSha256(masterKey.toData(), {}, asBytes(kDBKeyInfo), SymmetricKey::kSize).view());
}

SymmetricKey KeyManager::deriveChunkKey(const SymmetricKey& masterKey, std::string_view chunkId) const {
  return SymmetricKey(KeyDerivation::hkdfSha256(masterKey.toData(), asBytes(chunkId), asBytes(kChunkKeyInfo),
                                                SymmetricKey::kSize)
                          .view());
}

}  // namespace tolvo
