#include "vault/vault_manager.h"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "core/diagnostic_log.h"
#include "core/file_util.h"
#include "core/kdf_params.h"
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
  ensureVaultDirectories();
  const SymmetricKey masterKey = deps_.keys.generateMasterKey();
  const Bytes salt = EncryptionUtilities::randomBytes(kSaltSize);
  const auto kek = deps_.keys.deriveKEK(password, salt, kIterations);
  if (!kek) throw VaultError(VaultError::Code::keyDerivationFailed);
  const Bytes wrapped = deps_.keys.encryptMasterKey(masterKey, *kek);
  deps_.keychain.saveEncryptedMasterKey(wrapped);
  KDFParams params;
  params.salt = salt;
  params.iterations = kIterations;
  params.algorithm = "PBKDF2-SHA256";
  deps_.keychain.saveKDFParams(params);

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
  activateLocked(masterKey);
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
  deps_.database.close();
  deps_.keys.setMasterKey(masterKey);
  auto keyHex = deps_.keys.getDBKeyHex();
  if (!keyHex) throw VaultError(VaultError::Code::keyDerivationFailed);
  try {
    deps_.database.open(Paths::databasePath(), *keyHex);
  } catch (...) {
    secureWipe(keyHex->data(), keyHex->size());
    throw;
  }
  secureWipe(keyHex->data(), keyHex->size());
  isUnlocked_ = true;
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
