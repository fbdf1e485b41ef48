#include "vault/vault_manager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>

#include "core/diagnostic_log.h"
#include "core/file_util.h"
#include "core/kdf_params.h"
#include "core/time_util.h"
#include "core/tolvo_constants.h"
#include "crypto/encryption_utilities.h"
#include "crypto/key_manager.h"
#include "crypto/symmetric_key.h"
#include "db/database_manager.h"
#include "vault/biometric_key_manager.h"
#include "vault/keychain_manager.h"

namespace tolvo {
namespace {

namespace Paths = TolvoConstants::Paths;

std::function<void()>& recordingStopper() {
  static std::function<void()> stop;
  return stop;
}

}  // namespace

void VaultManager::setRecordingStopper(std::function<void()> stop) { recordingStopper() = std::move(stop); }

VaultManager& VaultManager::shared() {
  static VaultManager instance(Dependencies{
      KeyManager::shared(), KeychainManager::shared(), BiometricKeyManager::shared(), DatabaseManager::shared(),
      [] {
        if (const auto& stop = recordingStopper()) stop();
      }});
  return instance;
}

VaultManager::VaultManager(Dependencies dependencies) : deps_(std::move(dependencies)) {}

void VaultManager::ensureVaultDirectories() {
  fs::ensurePrivateDirectory(Paths::vaultDirectory());
  fs::ensurePrivateDirectory(Paths::chunksDirectory());
  fs::ensurePrivateDirectory(Paths::artifactsDirectory());
}

void VaultManager::createVault(std::string_view password, bool enableTouchID) {
  std::lock_guard lock(operations_);
  // A second creation would replace the wrapped master key and leave every recording (and
  // the database keyed to the old key) unreadable: the existing vault must be deleted first.
  if (deps_.keychain.loadEncryptedMasterKey()) throw VaultError(VaultError::Code::vaultAlreadyExists);
  const SymmetricKey masterKey = deps_.keys.generateMasterKey();
  const Bytes salt = EncryptionUtilities::randomBytes(kSaltSize);
  const auto kek = deps_.keys.deriveKEK(password, salt, kIterations);
  if (!kek) throw VaultError(VaultError::Code::keyDerivationFailed);
  const Bytes wrapped = deps_.keys.encryptMasterKey(masterKey, *kek);
  const SymmetricKey dbKey = deps_.keys.deriveDBKey(masterKey);
  KDFParams params;
  params.salt = salt;
  params.iterations = kIterations;
  params.algorithm = "PBKDF2-SHA256";

  ensureVaultDirectories();
  if (fs::exists(Paths::databasePath())) {
    lockLocked();  // it may be the open database of the vault whose secrets are gone
    moveAsideOrphanedDatabase();
  }
  std::optional<DatabaseManager::PreparedConnection> database;
  try {
    database = prepareDatabase(dbKey);
    deps_.keychain.saveEncryptedMasterKey(wrapped);
    deps_.keychain.saveKDFParams(params);
  } catch (...) {
    database.reset();
    forgetNewVault();
    throw;
  }

  if (enableTouchID) {
    const BiometricAvailability availability = deps_.biometrics.availability();
    if (!availability.isAvailable) {
      DiagnosticLog::system("VaultManager: Touch ID setup skipped during vault creation: " +
                            availability.reason.value_or("unavailable"));
    } else {
      try {
        deps_.biometrics.generateBiometricKey();
      } catch (const std::exception& e) {
        DiagnosticLog::system(
            std::string("VaultManager: Touch ID setup failed during vault creation; continuing with password unlock only: ") +
            e.what());
        deps_.biometrics.deleteBiometricKey();
      }
    }
  }
  publish(std::move(*database), masterKey, dbKey);
}

void VaultManager::unlockVault(std::string_view password) {
  std::lock_guard lock(operations_);
  vmLog("unlockVault called");
  vmLog("Loading KDF params...");
  const auto params = deps_.keychain.loadKDFParams();
  if (!params) {
    vmLog("unlockVault failed - KDF params not found");
    throw VaultError(VaultError::Code::vaultNotFound);
  }
  vmLog("KDF params loaded successfully");
  vmLog("Loading encrypted master key...");
  const auto wrapped = deps_.keychain.loadEncryptedMasterKey();
  if (!wrapped) {
    vmLog("unlockVault failed - encrypted master key not found");
    throw VaultError(VaultError::Code::vaultNotFound);
  }
  vmLog("Encrypted master key loaded successfully");
  vmLog("Deriving KEK...");
  const auto kek = deps_.keys.deriveKEK(password, params->salt, params->iterations);
  if (!kek) {
    vmLog("unlockVault failed - KEK derivation failed");
    throw VaultError(VaultError::Code::keyDerivationFailed);
  }
  vmLog("KEK derived successfully");
  vmLog("Decrypting master key...");
  const SymmetricKey masterKey = deps_.keys.decryptMasterKey(*wrapped, *kek);  // wrong password: cipher error
  vmLog("Master key decrypted successfully");
  vmLog("Activating vault in memory");
  activateLocked(masterKey);
  vmLog(std::string("Vault unlocked successfully, isUnlocked=") + (isUnlocked() ? "true" : "false"));
}

void VaultManager::activateVault(const SymmetricKey& masterKey) {
  std::lock_guard lock(operations_);
  activateLocked(masterKey);
}

void VaultManager::activateLocked(const SymmetricKey& masterKey) {
  ensureVaultDirectories();
  const SymmetricKey dbKey = deps_.keys.deriveDBKey(masterKey);
  publish(prepareDatabase(dbKey), masterKey, dbKey);
}

DatabaseManager::PreparedConnection VaultManager::prepareDatabase(const SymmetricKey& dbKey) {
  std::string keyHex = toHex(dbKey.toData());
  WipeOnExit wipe(keyHex);
  return deps_.database.prepareConnection(Paths::databasePath(), keyHex);
}

void VaultManager::publish(DatabaseManager::PreparedConnection database, const SymmetricKey& masterKey,
                           const SymmetricKey& dbKey) {
  deps_.database.install(std::move(database), [&]() noexcept {
    deps_.keys.setKeys(masterKey, dbKey);
    isUnlocked_ = true;
  });
}

void VaultManager::moveAsideOrphanedDatabase() {
  const auto database = Paths::databasePath();
  std::string stamp = iso8601(std::chrono::system_clock::now());  // 20261206T112736Z
  std::erase_if(stamp, [](char c) { return c == '-' || c == ':'; });
  for (int attempt = 0;; ++attempt) {
    const std::string base = "vault-orphaned-" + stamp + (attempt == 0 ? "" : "-" + std::to_string(attempt)) + ".db";
    const auto target = database.parent_path() / base;
    // The database first, never over an existing file; its -wal and -shm files follow it.
    if (::renameat2(AT_FDCWD, database.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
      if (errno == EEXIST) continue;
      throw SystemError::fromErrno(errno, "rename", database.string());
    }
    for (const char* suffix : {"-wal", "-shm"}) {
      const auto from = database.string() + suffix;
      if (::rename(from.c_str(), (target.string() + suffix).c_str()) != 0 && errno != ENOENT) {
        throw SystemError::fromErrno(errno, "rename", from);
      }
    }
    fs::syncDirectory(database.parent_path());
    vmLog("createVault: a database of an earlier vault whose keys are gone was kept as " + base);
    return;
  }
}

void VaultManager::forgetNewVault() noexcept {
  for (std::string_view account : {KeychainManager::kMasterKeyAccount, KeychainManager::kKDFParamsAccount}) {
    try {
      deps_.keychain.deleteItem(KeychainManager::kService, account);
    } catch (const std::exception& e) {
      vmLog("createVault: could not remove the item " + std::string(account) + " of the failed creation: " + e.what());
    }
  }
  const auto database = Paths::databasePath();
  for (const char* suffix : {"", "-wal", "-shm"}) {
    const auto path = database.string() + suffix;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      vmLog("createVault: could not remove " + path + " of the failed creation: " + std::strerror(errno));
    }
  }
}

void VaultManager::lockVault() noexcept {
  std::lock_guard lock(operations_);
  lockLocked();
}

void VaultManager::lockLocked() noexcept {
  try {
    if (deps_.stopRecording) deps_.stopRecording();
  } catch (...) {
    // Locking never fails; the recorder reports its own problems.
  }
  deps_.database.close();
  deps_.keys.clearKeys();
  isUnlocked_ = false;
}

void VaultManager::deleteVault() {
  std::lock_guard lock(operations_);
  lockLocked();
  deps_.keychain.deleteVault();
  deps_.biometrics.deleteBiometricKey();
  const auto vault = Paths::vaultDirectory();
  struct stat st {};
  if (::lstat(vault.c_str(), &st) != 0) throw SystemError::fromErrno(errno, "remove", vault.string());
  std::error_code ec;
  std::filesystem::remove_all(vault, ec);
  if (ec) throw SystemError(ec.value(), "remove " + vault.string() + ": " + ec.message());
}

}  // namespace tolvo
