#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "core/bytes.h"
#include "core/kdf_params.h"
#include "core/tolvo_constants.h"
#include "platform/secret_backend.h"
#include "vault/keychain_error.h"

namespace tolvo {

class FileSecretStore;

// The store of the small secrets that survive restarts: the wrapped master key, the KDF
// parameters and the biometric public key, each one item under the service kService.
//
// Normally the items go to the secret backends, tried in order: the first is the
// "dataProtection" backend (the Secret Service), any later one a "legacy" backend (the file
// store <application support>/Keychain). A data-protection status of -50, -34018 or -25291
// means this process cannot use that backend and is never reported as an error. Failures
// raise KeychainError with the backend's status.
//
// In UI test mode (fixed when the instance is made) the items are plain files in
// <tmp>/TolvoDeskUITest/keychain instead, and file-system failures raise SystemError.
//
// Holds no lock: the backends are safe to call from any thread, so every operation may run
// on any thread, also concurrently.
class KeychainManager {
 public:
  static constexpr std::string_view kService = "com.tolvodesk.vault";
  static constexpr std::string_view kMasterKeyAccount = "master-key";
  static constexpr std::string_view kKDFParamsAccount = "kdf-params";
  static constexpr std::string_view kBiometricPublicKeyAccount = "biometric-public-key";

  // The role of a backend: the one at index 0 is dataProtection, the others legacy.
  enum class KeychainBackend { dataProtection, legacy };

  // The process-wide instance, created on first use with the default constructor.
  [[nodiscard]] static KeychainManager& shared();

  // Detects UI test mode. When on, creates the UI-test storage directory and, unless the
  // mode came from the marker file, writes the marker file so every other component of the
  // process sees the mode too; logs the switches to the system log. When off, uses the
  // Secret Service and then the file store <application support>/Keychain.
  KeychainManager();
  // Uses `backends` in the given order (or, with `uiTestMode`, the UI-test file storage),
  // without detecting anything and without side effects.
  KeychainManager(std::vector<std::unique_ptr<SecretBackend>> backends, bool uiTestMode);
  KeychainManager(const KeychainManager&) = delete;
  KeychainManager& operator=(const KeychainManager&) = delete;
  ~KeychainManager();

  [[nodiscard]] bool isUITestMode() const noexcept { return uiTestMode_; }

  // Replaces the item. Raises KeychainError (deleteFailed, saveFailed); SystemError in UI test mode.
  void save(ByteView data, std::string_view service, std::string_view account,
            std::string_view accessGroup = TolvoConstants::Keychain::sharedAccessGroup);
  // The item's bytes, or nothing when there is no such item. Raises KeychainError
  // (loadFailed); SystemError in UI test mode.
  [[nodiscard]] std::optional<Bytes> load(std::string_view service, std::string_view account,
                                          std::string_view accessGroup = TolvoConstants::Keychain::sharedAccessGroup);
  // Removes the item from every backend; absence is not an error. Raises KeychainError
  // (deleteFailed); SystemError in UI test mode.
  void deleteItem(std::string_view service, std::string_view account,
                  std::string_view accessGroup = TolvoConstants::Keychain::sharedAccessGroup);

  void saveEncryptedMasterKey(ByteView wrapped);
  [[nodiscard]] std::optional<Bytes> loadEncryptedMasterKey();
  // True when "master-key" loads to bytes; any failure counts as false. Never raises.
  [[nodiscard]] bool vaultExists();

  // Stores the record as its JSON text.
  void saveKDFParams(const KDFParams& params);
  // The stored record; nothing when there is none. Raises DecodingError when the stored
  // bytes are not the record's JSON, besides the errors of load.
  [[nodiscard]] std::optional<KDFParams> loadKDFParams();

  void saveBiometricPublicKey(ByteView publicKey);
  [[nodiscard]] std::optional<Bytes> loadBiometricPublicKey();
  void deleteBiometricPublicKey();

  // Deletes "master-key", then "kdf-params" (their errors raised, stopping the operation),
  // then "biometric-public-key" (its error ignored).
  void deleteVault();

  // True when `status` of `backend` means that this process cannot use the backend.
  [[nodiscard]] static bool isDataProtectionUnsupported(std::int32_t status, KeychainBackend backend) noexcept;

 private:
  [[nodiscard]] static KeychainBackend roleOf(std::size_t index) noexcept;

  bool uiTestMode_ = false;
  std::vector<std::unique_ptr<SecretBackend>> backends_;
  std::unique_ptr<FileSecretStore> uiTestStorage_;  // set iff uiTestMode_
};

}  // namespace tolvo
