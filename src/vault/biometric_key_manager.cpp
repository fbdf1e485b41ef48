#include "vault/biometric_key_manager.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/x509.h>

#include "core/diagnostic_log.h"
#include "core/handle.h"
#include "core/tolvo_constants.h"
#include "core/ui_test_mode.h"
#include "vault/keychain_manager.h"

namespace tolvo {
namespace {

using PKey = Handle<EVP_PKEY, EVP_PKEY_free>;
using PKeyContext = Handle<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using DigestContext = Handle<EVP_MD_CTX, EVP_MD_CTX_free>;

constexpr std::size_t kPublicPointSize = 65;

PlatformError openSSLError(const char* what) {
  PlatformError e;
  e.domain = PlatformError::Domain::other;
  const unsigned long code = ERR_get_error();
  e.code = static_cast<std::int64_t>(code);
  char text[256] = {};
  if (code != 0) ERR_error_string_n(code, text, sizeof text);
  e.description = std::string(what) + (code != 0 ? std::string(": ") + text : std::string());
  ERR_clear_error();
  return e;
}

PKey generateP256() {
  PKey key(EVP_EC_gen("P-256"));
  if (!key) throw BiometricError::keyGenerationFailed(openSSLError("P-256 key generation failed"));
  return key;
}

SecureBytes privateKeyDer(const EVP_PKEY* key) {
  unsigned char* der = nullptr;
  const int n = i2d_PrivateKey(key, &der);
  if (n <= 0 || der == nullptr) throw BiometricError::keyGenerationFailed(openSSLError("private key encoding failed"));
  SecureBytes out(Bytes(der, der + n));
  OPENSSL_clear_free(der, static_cast<std::size_t>(n));
  return out;
}

PKey privateKeyFromDer(ByteView der) {
  const unsigned char* p = der.data();
  return PKey(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(der.size())));
}

Bytes publicPoint(const EVP_PKEY* key) {
  Bytes point(kPublicPointSize);
  std::size_t length = 0;
  if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point.data(), point.size(),
                                      &length) != 1 ||
      length != kPublicPointSize) {
    throw BiometricError::publicKeyLoadFailed(openSSLError("public key export failed"));
  }
  return point;
}

// A public key from its uncompressed X9.63 point; the point must lie on the curve.
PKey decodedPublicKey(ByteView point) {
  if (point.size() != kPublicPointSize || point[0] != 0x04) {
    throw BiometricError::publicKeyLoadFailed(
        PlatformError{PlatformError::Domain::other, 0, "not a 65-byte uncompressed P-256 point"});
  }
  char group[] = "prime256v1";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, const_cast<std::uint8_t*>(point.data()), point.size()),
      OSSL_PARAM_construct_end()};
  PKeyContext ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  EVP_PKEY* raw = nullptr;
  if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_PUBLIC_KEY, params) != 1) {
    throw BiometricError::publicKeyLoadFailed(openSSLError("public key import failed"));
  }
  PKey key(raw);
  PKeyContext check(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  if (!check || EVP_PKEY_public_check(check.get()) != 1) {
    throw BiometricError::publicKeyLoadFailed(openSSLError("public key is not a valid P-256 point"));
  }
  return key;
}

std::string_view biometricGroup() { return TolvoConstants::Keychain::biometricAccessGroup; }

}  // namespace

BiometricError BiometricError::keyGenerationFailed(std::optional<PlatformError> error) {
  auto text = describe(error, "Failed to generate biometric key");
  return BiometricError(Code::keyGenerationFailed, text, std::move(error));
}
BiometricError BiometricError::publicKeyLoadFailed(std::optional<PlatformError> error) {
  auto text = describe(error, "Failed to load biometric public key");
  return BiometricError(Code::publicKeyLoadFailed, text, std::move(error));
}
BiometricError BiometricError::signatureFailed(std::optional<PlatformError> error) {
  auto text = describe(error, "Failed to sign with biometric key");
  return BiometricError(Code::signatureFailed, text, std::move(error));
}
BiometricError BiometricError::keyNotFound() { return BiometricError(Code::keyNotFound, "Biometric key not found", {}); }
BiometricError BiometricError::verificationFailed() {
  return BiometricError(Code::verificationFailed, "Signature verification failed", {});
}

std::string BiometricError::describe(const std::optional<PlatformError>& error, const std::string& fallback) {
  if (!error) return fallback + ": unknown";
  if (error->domain == PlatformError::Domain::osStatus && error->code == -34018) {
    return "Touch ID is unavailable because this build is missing the required keychain entitlement.";
  }
  return fallback + ": " + error->description;
}

BiometricKeyManager& BiometricKeyManager::shared() {
  static BiometricKeyManager instance(KeychainManager::shared(), makeSystemFingerprintService(), ::tolvo::isUITestMode());
  return instance;
}

BiometricKeyManager::BiometricKeyManager(KeychainManager& keychain, std::unique_ptr<FingerprintService> fingerprints,
                                         bool uiTestMode)
    : keychain_(keychain), fingerprints_(std::move(fingerprints)), uiTestMode_(uiTestMode) {
  if (uiTestMode_) DiagnosticLog::system("BiometricKeyManager: UI test mode enabled, biometrics disabled");
}

BiometricKeyManager::~BiometricKeyManager() = default;

BiometricAvailability BiometricKeyManager::availability() {
  if (uiTestMode_) return {false, "Touch ID is unavailable in UI test mode."};
  if (!fingerprints_) return {false, "Touch ID is not available right now."};
  const FingerprintStatus status = fingerprints_->status();
  switch (status.readiness) {
    case FingerprintReadiness::ready: return {true, std::nullopt};
    case FingerprintReadiness::noEnrolledFinger: return {false, "Set up Touch ID in System Settings before enabling it here."};
    case FingerprintReadiness::noDevice: return {false, "Touch ID is not available on this Mac."};
    case FingerprintReadiness::serviceAbsent: return {false, "Touch ID is not available right now."};
    case FingerprintReadiness::failed:
      return {false, status.detail.empty() ? std::string("Touch ID is not available right now.") : status.detail};
  }
  return {false, "Touch ID is not available right now."};
}

void BiometricKeyManager::generateBiometricKey() {
  deleteBiometricKey();
  PKey key = generateP256();
  SecureBytes der = privateKeyDer(key.get());
  keychain_.save(der.view(), KeychainManager::kService, kPrivateKeyAccount, biometricGroup());
  try {
    (void)persistPublicKey(der.view());
  } catch (...) {
    deleteBiometricKey();
    throw;
  }
}

void BiometricKeyManager::deleteBiometricKey() noexcept {
  try {
    keychain_.deleteItem(KeychainManager::kService, kPrivateKeyAccount, biometricGroup());
  } catch (...) {
  }
  try {
    keychain_.deleteBiometricPublicKey();
  } catch (...) {
  }
}

std::optional<Bytes> BiometricKeyManager::loadPrivateKey() {
  try {
    return keychain_.load(KeychainManager::kService, kPrivateKeyAccount, biometricGroup());
  } catch (const Error&) {
    return std::nullopt;  // an unreadable private key counts as no key
  }
}

Bytes BiometricKeyManager::persistPublicKey(ByteView privateKeyDer) {
  if (auto stored = keychain_.loadBiometricPublicKey()) {
    (void)decodedPublicKey(*stored);
    return *stored;
  }
  PKey key = privateKeyFromDer(privateKeyDer);
  if (!key) throw BiometricError::publicKeyLoadFailed();
  Bytes point = publicPoint(key.get());
  keychain_.saveBiometricPublicKey(point);
  (void)decodedPublicKey(point);
  return point;
}

Bytes BiometricKeyManager::loadPublicKey() {
  if (auto stored = keychain_.loadBiometricPublicKey()) {
    (void)decodedPublicKey(*stored);
    return *stored;
  }
  auto privateDer = loadPrivateKey();
  if (!privateDer) throw BiometricError::keyNotFound();
  SecureBytes der(std::move(*privateDer));
  return persistPublicKey(der.view());
}

bool BiometricKeyManager::verify(ByteView signature, ByteView data) {
  PKey key = decodedPublicKey(loadPublicKey());
  DigestContext ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) {
    ERR_clear_error();
    return false;
  }
  const int ok = EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), data.data(), data.size());
  ERR_clear_error();
  return ok == 1;
}

}  // namespace tolvo
