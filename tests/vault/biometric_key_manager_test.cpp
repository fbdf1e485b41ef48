#include "vault/biometric_key_manager.h"

#include <openssl/evp.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/tolvo_constants.h"
#include "support/sandbox.h"
#include "support/session_bus.h"
#include "vault/fake_fingerprint_service.h"
#include "vault/keychain_manager.h"

namespace tolvo {
namespace {

using test::FakeFingerprintReader;

// Signs `data` with the private key the manager stored (ECDSA P-256, SHA-256, DER signature),
// as the application does after its fingerprint prompt.
Bytes signWithStoredKey(KeychainManager& keychain, ByteView data) {
  auto der = keychain.load(KeychainManager::kService, BiometricKeyManager::kPrivateKeyAccount,
                           TolvoConstants::Keychain::biometricAccessGroup);
  EXPECT_TRUE(der.has_value());
  if (!der) return {};
  const unsigned char* p = der->data();
  EVP_PKEY* key = d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(der->size()));
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  std::size_t length = 0;
  EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key);
  EVP_DigestSign(ctx, nullptr, &length, data.data(), data.size());
  Bytes signature(length);
  EVP_DigestSign(ctx, signature.data(), &length, data.data(), data.size());
  signature.resize(length);
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(key);
  return signature;
}

class BiometricKeyManagerTest : public test::SandboxedTest {
 protected:
  KeychainManager keychain_{{}, /*uiTestMode=*/true};  // file storage in the sandbox
  BiometricKeyManager manager(FingerprintReadiness readiness, bool uiTestMode = false) {
    return BiometricKeyManager(keychain_, std::make_unique<FakeFingerprintReader>(FingerprintStatus{readiness, {}}),
                               uiTestMode);
  }
};

TEST_F(BiometricKeyManagerTest, AvailabilityReasons) {
  const struct {
    FingerprintReadiness readiness;
    const char* detail;
    bool uiTestMode;
    std::optional<std::string> reason;  // none: available
  } rows[] = {
      {FingerprintReadiness::ready, "", false, std::nullopt},
      {FingerprintReadiness::noEnrolledFinger, "", false, "Set up Touch ID in System Settings before enabling it here."},
      {FingerprintReadiness::noDevice, "", false, "Touch ID is not available on this Mac."},
      {FingerprintReadiness::serviceAbsent, "", false, "Touch ID is not available right now."},
      {FingerprintReadiness::failed, "Device busy", false, "Device busy"},
      {FingerprintReadiness::ready, "", true, "Touch ID is unavailable in UI test mode."},
  };
  for (const auto& row : rows) {
    BiometricKeyManager m(keychain_,
                          std::make_unique<FakeFingerprintReader>(FingerprintStatus{row.readiness, row.detail}),
                          row.uiTestMode);
    const auto availability = m.availability();
    EXPECT_EQ(availability.isAvailable, !row.reason) << row.reason.value_or("available");
    EXPECT_EQ(availability.reason, row.reason);
  }
}

TEST_F(BiometricKeyManagerTest, GeneratedKeyVerifiesSignaturesOverTheChallengeOnly) {
  auto m = manager(FingerprintReadiness::ready);
  m.generateBiometricKey();
  const Bytes publicKey = m.loadPublicKey();
  ASSERT_EQ(publicKey.size(), 65u);
  EXPECT_EQ(publicKey[0], 0x04);
  EXPECT_EQ(keychain_.loadBiometricPublicKey(), publicKey);

  const Bytes challenge(32, 0x5a);
  const Bytes signature = signWithStoredKey(keychain_, challenge);
  EXPECT_TRUE(m.verify(signature, challenge));
  EXPECT_FALSE(m.verify(signature, Bytes(32, 0x5b)));
  EXPECT_FALSE(m.verify(Bytes{0x30, 0x02, 0x01}, challenge));
  Bytes flipped = signature;
  flipped[flipped.size() - 1] ^= 0x01;
  EXPECT_FALSE(m.verify(flipped, challenge));

  m.generateBiometricKey();  // a new pair replaces the old one
  EXPECT_NE(m.loadPublicKey(), publicKey);
  EXPECT_FALSE(m.verify(signature, challenge));
}

TEST_F(BiometricKeyManagerTest, MissingKeysAndRebuiltPublicKey) {
  auto m = manager(FingerprintReadiness::ready);
  m.deleteBiometricKey();  // nothing stored: no error
  EXPECT_THAT([&] { (void)m.verify(Bytes{1}, Bytes{2}); },
              testing::ThrowsMessage<BiometricError>(testing::StrEq("Biometric key not found")));
  m.generateBiometricKey();
  const Bytes publicKey = m.loadPublicKey();
  keychain_.deleteBiometricPublicKey();  // lost public item: rebuilt from the private key
  EXPECT_EQ(m.loadPublicKey(), publicKey);
  EXPECT_EQ(keychain_.loadBiometricPublicKey(), publicKey);

  keychain_.saveBiometricPublicKey(Bytes(65, 0x04));  // not a point on the curve
  EXPECT_THROW((void)m.loadPublicKey(), BiometricError);
  m.deleteBiometricKey();
  EXPECT_FALSE(keychain_.loadBiometricPublicKey().has_value());
  EXPECT_THROW((void)m.loadPublicKey(), BiometricError);
}

TEST(BiometricError, Descriptions) {
  EXPECT_STREQ(BiometricError::keyGenerationFailed().what(), "Failed to generate biometric key: unknown");
  EXPECT_STREQ(BiometricError::publicKeyLoadFailed(PlatformError{PlatformError::Domain::other, 5, "bad point"}).what(),
               "Failed to load biometric public key: bad point");
  EXPECT_STREQ(BiometricError::signatureFailed(PlatformError{PlatformError::Domain::osStatus, -34018, "x"}).what(),
               "Touch ID is unavailable because this build is missing the required keychain entitlement.");
  EXPECT_STREQ(BiometricError::verificationFailed().what(), "Signature verification failed");
}

class FprintdTest : public test::SandboxedTest {};

TEST_F(FprintdTest, NoSystemBusOrNoFprintdOnItMeansTheServiceIsAbsent) {
  setEnv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (root() / "no-such-bus").string());
  EXPECT_EQ(makeSystemFingerprintService()->status().readiness, FingerprintReadiness::serviceAbsent);

  test::SessionBus bus(root() / "system-bus", {});
  setEnv("DBUS_SYSTEM_BUS_ADDRESS", bus.address());
  EXPECT_EQ(makeSystemFingerprintService()->status().readiness, FingerprintReadiness::serviceAbsent);
  KeychainManager keychain({}, true);
  BiometricKeyManager manager(keychain, makeSystemFingerprintService(), false);
  EXPECT_EQ(manager.availability().reason, "Touch ID is not available right now.");
}

}  // namespace
}  // namespace tolvo
