#include "vault/keychain_manager.h"

#include <string>
#include <utility>

#include "core/diagnostic_log.h"
#include "core/error.h"
#include "core/file_util.h"
#include "core/json_codec.h"
#include "core/ui_test_mode.h"
#include "platform/linux/secret_service_backend.h"
#include "vault/file_secret_store.h"

namespace tolvo {
namespace {

namespace S = SecretStatus;

// Stored KDF parameters are a few dozen bytes of JSON; anything much longer is not theirs.
constexpr std::size_t kMaxKDFParamsBytes = 4096;

std::filesystem::path uiTestStorageDirectory() {
  return TolvoConstants::Paths::uiTestDirectory(false) / "keychain";
}

std::filesystem::path defaultFileStoreDirectory() {
  return TolvoConstants::Paths::applicationSupport() / "Keychain";
}

std::unique_ptr<FileSecretStore> makeUITestStorage() {
  return std::make_unique<FileSecretStore>(uiTestStorageDirectory(),
                                           std::string(TolvoConstants::Keychain::sharedAccessGroup));
}

bool isFoundOrAbsent(std::int32_t status) { return status == S::kSuccess || status == S::kItemNotFound; }

}  // namespace

KeychainManager& KeychainManager::shared() {
  static KeychainManager instance;
  return instance;
}

KeychainManager::KeychainManager() {
  const UITestModeSwitches switches = uiTestModeSwitches();
  uiTestMode_ = switches.any();
  if (!uiTestMode_) {
    backends_.push_back(std::make_unique<SecretServiceBackend>());
    backends_.push_back(std::make_unique<FileSecretStore>(
        defaultFileStoreDirectory(), std::string(TolvoConstants::Keychain::sharedAccessGroup)));
    return;
  }

  const std::filesystem::path storage = uiTestStorageDirectory();
  try {
    fs::ensurePrivateDirectory(storage);
  } catch (const Error&) {
    // Ignored: the first file operation reports the problem.
  }
  if (!switches.markerFile) {
    // The mode came from the argument or the environment: persist it for the whole process.
    try {
      fs::ensurePrivateDirectory(TolvoConstants::Paths::uiTestDirectory(false));
      fs::writeFileAtomically(uiTestMarkerPath(), asBytes("1"));
    } catch (const Error&) {
      // Ignored: the mode still holds for this instance.
    }
  }
  std::string line = "KeychainManager: UI test mode enabled (args=";
  line += switches.argument ? "1" : "0";
  line += ", env=";
  line += switches.environment ? "1" : "0";
  line += ", marker=";
  line += switches.markerFile ? "1" : "0";
  line += "), using file storage at ";
  line += storage.string();
  DiagnosticLog::system(line);
  uiTestStorage_ = makeUITestStorage();
}

KeychainManager::KeychainManager(std::vector<std::unique_ptr<SecretBackend>> backends, bool uiTestMode)
    : uiTestMode_(uiTestMode), backends_(std::move(backends)) {
  if (uiTestMode_) uiTestStorage_ = makeUITestStorage();
}

KeychainManager::~KeychainManager() = default;

KeychainManager::KeychainBackend KeychainManager::roleOf(std::size_t index) noexcept {
  return index == 0 ? KeychainBackend::dataProtection : KeychainBackend::legacy;
}

bool KeychainManager::isDataProtectionUnsupported(std::int32_t status, KeychainBackend backend) noexcept {
  return backend == KeychainBackend::dataProtection &&
         (status == S::kParam || status == S::kMissingEntitlement || status == S::kNotAvailable);
}

void KeychainManager::save(ByteView data, std::string_view service, std::string_view account,
                           std::string_view accessGroup) {
  const SecretItemKey key{service, account, accessGroup};
  if (uiTestMode_) {
    uiTestStorage_->write(key, data);
    return;
  }

  // 1-2. Remove the item everywhere, so that it ends up in exactly one backend.
  for (std::size_t i = 0; i < backends_.size(); ++i) {
    const std::int32_t status = backends_[i]->remove(key);
    if (!isFoundOrAbsent(status) && !isDataProtectionUnsupported(status, roleOf(i))) {
      throw KeychainError::deleteFailed(status);
    }
  }

  // 3-4. Add it to the first backend that takes it. The data-protection backend gets one
  // retry with the after-first-unlock class when it is locked; its other failures pass on
  // to the next backend. The failure of the last attempt is the one reported.
  std::int32_t last = S::kNotAvailable;
  for (std::size_t i = 0; i < backends_.size(); ++i) {
    last = backends_[i]->save(key, data, SecretProtection::whenUnlocked);
    if (last == S::kSuccess) return;
    if (roleOf(i) == KeychainBackend::dataProtection && last == S::kInteractionNotAllowed) {
      last = backends_[i]->save(key, data, SecretProtection::afterFirstUnlock);
      if (last == S::kSuccess) return;
    }
  }
  throw KeychainError::saveFailed(last);
}

std::optional<Bytes> KeychainManager::load(std::string_view service, std::string_view account,
                                           std::string_view accessGroup) {
  const SecretItemKey key{service, account, accessGroup};
  if (uiTestMode_) return uiTestStorage_->read(key);

  std::int32_t last = S::kItemNotFound;
  for (std::size_t i = 0; i < backends_.size(); ++i) {
    SecretLoadResult result = backends_[i]->load(key);
    if (result.status == S::kSuccess) return std::move(result.data);
    if (result.status == S::kItemNotFound || isDataProtectionUnsupported(result.status, roleOf(i))) continue;
    last = result.status;
  }
  if (last == S::kItemNotFound) return std::nullopt;
  throw KeychainError::loadFailed(last);
}

void KeychainManager::deleteItem(std::string_view service, std::string_view account, std::string_view accessGroup) {
  const SecretItemKey key{service, account, accessGroup};
  if (uiTestMode_) {
    uiTestStorage_->erase(key);
    return;
  }

  // Every backend is attempted; the failure of the latest one is reported.
  std::optional<std::int32_t> failure;
  for (std::size_t i = 0; i < backends_.size(); ++i) {
    const std::int32_t status = backends_[i]->remove(key);
    if (!isFoundOrAbsent(status) && !isDataProtectionUnsupported(status, roleOf(i))) failure = status;
  }
  if (failure) throw KeychainError::deleteFailed(*failure);
}

void KeychainManager::saveEncryptedMasterKey(ByteView wrapped) { save(wrapped, kService, kMasterKeyAccount); }

std::optional<Bytes> KeychainManager::loadEncryptedMasterKey() { return load(kService, kMasterKeyAccount); }

bool KeychainManager::vaultExists() {
  try {
    return loadEncryptedMasterKey().has_value();
  } catch (...) {
    return false;  // an unreadable store answers "no vault" rather than failing
  }
}

void KeychainManager::saveKDFParams(const KDFParams& params) { save(json::encode(params), kService, kKDFParamsAccount); }

std::optional<KDFParams> KeychainManager::loadKDFParams() {
  std::optional<Bytes> stored = load(kService, kKDFParamsAccount);
  if (!stored) return std::nullopt;
  return json::decode<KDFParams>(*stored, {.maxBytes = kMaxKDFParamsBytes});
}

void KeychainManager::saveBiometricPublicKey(ByteView publicKey) {
  save(publicKey, kService, kBiometricPublicKeyAccount);
}

std::optional<Bytes> KeychainManager::loadBiometricPublicKey() { return load(kService, kBiometricPublicKeyAccount); }

void KeychainManager::deleteBiometricPublicKey() { deleteItem(kService, kBiometricPublicKeyAccount); }

void KeychainManager::deleteVault() {
  deleteItem(kService, kMasterKeyAccount);
  deleteItem(kService, kKDFParamsAccount);
  try {
    deleteBiometricPublicKey();
  } catch (const Error&) {
    // The biometric item may stay behind; the vault is gone without it.
  }
}

}  // namespace tolvo
