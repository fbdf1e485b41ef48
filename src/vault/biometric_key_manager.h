#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/bytes.h"
#include "platform/fingerprint_service.h"
#include "vault/biometric_error.h"

namespace tolvo {

class KeychainManager;

struct BiometricAvailability {
  bool isAvailable = false;
  std::optional<std::string> reason;  // shown to the user when not available
};

// The biometric unlock key: a P-256 key pair whose public half (65-byte uncompressed X9.63
// point) is kept in the secret store under "biometric-public-key", and whose private half is
// kept in the secret store under the biometric access group (never in the vault directory).
// The application signs a challenge after its fingerprint prompt; the service only verifies
// ECDSA P-256 / SHA-256 signatures (DER) over the challenge. Thread-safe for concurrent calls.
class BiometricKeyManager {
 public:
  static constexpr std::string_view kPrivateKeyAccount = "com.tolvodesk.biometric-key";

  [[nodiscard]] static BiometricKeyManager& shared();

  // `uiTestMode` is fixed for the life of the instance (biometrics are off in UI test mode).
  BiometricKeyManager(KeychainManager& keychain, std::unique_ptr<FingerprintService> fingerprints, bool uiTestMode);
  BiometricKeyManager(const BiometricKeyManager&) = delete;
  BiometricKeyManager& operator=(const BiometricKeyManager&) = delete;
  ~BiometricKeyManager();

  [[nodiscard]] bool isUITestMode() const noexcept { return uiTestMode_; }

  [[nodiscard]] BiometricAvailability availability();

  // Replaces any key pair with a new one and stores its public key. On failure no half-made
  // key pair remains. Raises BiometricError or the secret store's errors.
  void generateBiometricKey();

  // Removes the private key and the stored public key; missing items are not errors. Never raises.
  void deleteBiometricKey() noexcept;

  // The stored public key (65 bytes), rebuilt from the private key when only that remains.
  // Raises keyNotFound, publicKeyLoadFailed or the secret store's errors.
  [[nodiscard]] Bytes loadPublicKey();

  // True when `signature` (DER) is a valid ECDSA P-256 SHA-256 signature over `data` under the
  // stored public key. Raises what loadPublicKey() raises.
  [[nodiscard]] bool verify(ByteView signature, ByteView data);

 private:
  [[nodiscard]] Bytes persistPublicKey(ByteView privateKeyDer);
  [[nodiscard]] std::optional<Bytes> loadPrivateKey();

  KeychainManager& keychain_;
  std::unique_ptr<FingerprintService> fingerprints_;
  const bool uiTestMode_;
};

}  // namespace tolvo
