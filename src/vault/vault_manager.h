#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string_view>

#include "db/database_manager.h"
#include "vault/vault_error.h"

namespace tolvo {

class BiometricKeyManager;
class KeyManager;
class KeychainManager;
class SymmetricKey;

// Creates, unlocks, activates, locks and deletes the vault: the master key wrapped under the
// password-derived key (in the secret store), the KDF parameters, the optional biometric key,
// and the Vault directory (Chunks/, Artifacts/, vault.db). The only component that opens and
// closes the database and that changes whether the service counts as unlocked.
//
// Operations run on the caller's thread; a mutex keeps vault operations of different
// connections from interleaving. Errors of lower layers pass through unchanged.
class VaultManager {
 public:
  struct Dependencies {
    KeyManager& keys;
    KeychainManager& keychain;
    BiometricKeyManager& biometrics;
    DatabaseManager& database;
    // Asks the recorder to stop without waiting for it; called first by lockVault().
    std::function<void()> stopRecording;
  };

  static constexpr std::int64_t kIterations = 100000;
  static constexpr std::size_t kSaltSize = 32;

  // The process-wide instance over the shared key manager, secret store, biometric key and
  // database. Its recorder stop hook is the one installed with setRecordingStopper().
  [[nodiscard]] static VaultManager& shared();
  // Installs the hook the shared instance calls to stop recording. Call before serving requests.
  static void setRecordingStopper(std::function<void()> stop);

  explicit VaultManager(Dependencies dependencies);
  VaultManager(const VaultManager&) = delete;
  VaultManager& operator=(const VaultManager&) = delete;

  // Makes a new master key, creates a new database under it, stores the wrapped key with new
  // KDF parameters, optionally sets up the biometric key (its problems never fail creation),
  // then activates. Leaves the vault unlocked. Refuses (vaultAlreadyExists) while a wrapped
  // master key is stored. All or nothing: on failure the items and the database this call
  // stored are removed again, so a retry can succeed. A database left at Vault/vault.db by a
  // vault whose secrets are gone is renamed aside (never deleted, never opened with the new
  // key); should it be the open one, the vault is locked first.
  void createVault(std::string_view password, bool enableTouchID);

  // Unlocks an existing vault with the password. A wrong password raises the cipher's
  // authentication error unchanged and changes nothing.
  void unlockVault(std::string_view password);

  // Makes `masterKey` current: directories, keys, database. The database is opened and checked
  // with the key on a connection of its own first; only when that succeeds do the keys, the
  // connection and isUnlocked change, in one step. On failure nothing changes: the previous
  // keys, open database and unlocked flag stay exactly as they were.
  void activateVault(const SymmetricKey& masterKey);

  // Stops recording (without waiting), closes the database, forgets the keys. Never fails.
  void lockVault() noexcept;

  // Locks, then removes the secret-store items, the biometric key and the Vault directory.
  void deleteVault();

  [[nodiscard]] bool isUnlocked() const noexcept { return isUnlocked_.load(); }

 private:
  void ensureVaultDirectories();
  void activateLocked(const SymmetricKey& masterKey);
  void lockLocked() noexcept;
  // Opens and checks Vault/vault.db under `dbKey` aside (creating it when missing).
  [[nodiscard]] DatabaseManager::PreparedConnection prepareDatabase(const SymmetricKey& dbKey);
  // Installs the connection and, in the same step, the keys and the unlocked flag.
  void publish(DatabaseManager::PreparedConnection database, const SymmetricKey& masterKey,
               const SymmetricKey& dbKey);
  // Renames Vault/vault.db (with its -wal and -shm files) to vault-orphaned-<time>.db.
  void moveAsideOrphanedDatabase();
  // Removes what a failed createVault stored: the secret-store items and the new database.
  void forgetNewVault() noexcept;

  Dependencies deps_;
  std::mutex operations_;
  std::atomic<bool> isUnlocked_{false};
};

}  // namespace tolvo
