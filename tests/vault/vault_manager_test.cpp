#include "vault/vault_manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <tuple>

#include "core/kdf_params.h"
#include "core/tolvo_constants.h"
#include "crypto/cipher_error.h"
#include "crypto/key_manager.h"
#include "crypto/symmetric_key.h"
#include "db/database_manager.h"
#include "support/sandbox.h"
#include "vault/biometric_key_manager.h"
#include "vault/fake_fingerprint_service.h"
#include "vault/keychain_manager.h"

namespace tolvo {
namespace {

namespace stdfs = std::filesystem;
using testing::Property;
using testing::StrEq;
using testing::Throws;
using testing::ThrowsMessage;

class VaultManagerTest : public test::SandboxedTest {
 protected:
  explicit VaultManagerTest(FingerprintReadiness readiness = FingerprintReadiness::serviceAbsent)
      : biometrics_(keychain_,
                    std::make_unique<test::FakeFingerprintReader>(FingerprintStatus{readiness, {}}, &fingerprintCalls_),
                    false),
        vault_({keys_, keychain_, biometrics_, database_, [this] { ++stops_; }}) {}
  ~VaultManagerTest() override { database_.close(); }

  stdfs::path vaultDir() const { return dataHome() / "TolvoDesk" / "Vault"; }
  std::string diagnosticLog() const { return test::readText(tmp() / "TolvoDeskUITest" / "xpc-debug.log"); }
  void expectUnlocked(bool unlocked) {
    EXPECT_EQ(vault_.isUnlocked(), unlocked);
    EXPECT_EQ(keys_.isUnlocked(), unlocked);
    EXPECT_EQ(database_.isOpen(), unlocked);
  }

  std::atomic<int> fingerprintCalls_{0};
  std::atomic<int> stops_{0};
  KeyManager keys_;
  KeychainManager keychain_{{}, /*uiTestMode=*/true};
  BiometricKeyManager biometrics_;
  DatabaseManager database_;
  VaultManager vault_;
};

TEST_F(VaultManagerTest, CreateLeavesTheVaultUnlockedWithItsItemsAndFolders) {
  vault_.createVault("correct horse", /*enableTouchID=*/false);
  expectUnlocked(true);
  EXPECT_EQ(fingerprintCalls_, 0) << "Touch ID off must not consult the biometric layer";
  for (const char* sub : {"Chunks", "Artifacts"}) {
    EXPECT_EQ(stdfs::status(vaultDir() / sub).permissions() & stdfs::perms::all, stdfs::perms::owner_all);
  }
  EXPECT_TRUE(stdfs::exists(vaultDir() / "vault.db"));
  EXPECT_EQ(keychain_.loadEncryptedMasterKey().value_or(Bytes{}).size(), 60u);
  vault_.deleteVault();
  vault_.createVault("pw", /*enableTouchID=*/true);  // no fingerprint reader: created all the same
  expectUnlocked(true);
  EXPECT_EQ(fingerprintCalls_, 1);
  EXPECT_FALSE(keychain_.loadBiometricPublicKey());
  const auto params = keychain_.loadKDFParams().value_or(KDFParams{});
  EXPECT_EQ(std::tuple(params.salt.size(), params.iterations, params.algorithm), std::tuple(32u, 100000, "PBKDF2-SHA256"));
}

TEST_F(VaultManagerTest, UnlockNeedsAVaultAndTheRightPassword) {
  EXPECT_THAT([&] { vault_.unlockVault("pw"); }, ThrowsMessage<VaultError>(StrEq("Vault not found")));
  EXPECT_NE(diagnosticLog().find("] VM: unlockVault failed - KDF params not found\n"), std::string::npos);

  vault_.createVault("right", false);
  const auto dbKeyHex = keys_.getDBKeyHex();
  vault_.lockVault();
  EXPECT_EQ(stops_, 1);
  expectUnlocked(false);
  EXPECT_THAT([&] { vault_.unlockVault("wrong"); },
              ThrowsMessage<CipherError>(StrEq("Authentication failed: wrong key or altered data")));
  expectUnlocked(false);
  vault_.unlockVault("right");
  expectUnlocked(true);
  EXPECT_EQ(keys_.getDBKeyHex(), dbKeyHex);
}

TEST_F(VaultManagerTest, AFailedActivationChangesNothing) {
  vault_.createVault("pw", false);
  database_.createSession({"s", 1, std::nullopt, 1});
  const auto master = keys_.getMasterKey();
  const auto dbKeyHex = keys_.getDBKeyHex();
  EXPECT_ANY_THROW(vault_.activateVault(SymmetricKey::random()));
  expectUnlocked(true);
  EXPECT_EQ(keys_.getMasterKey(), master) << "chunk keys must still come from the vault's own key";
  EXPECT_EQ(keys_.getDBKeyHex(), dbKeyHex);
  EXPECT_TRUE(database_.getSession("s").has_value()) << "the open database keeps serving";

  vault_.lockVault();
  EXPECT_ANY_THROW(vault_.activateVault(SymmetricKey::random()));
  expectUnlocked(false);
  vault_.activateVault(*master);
  EXPECT_TRUE(database_.getSession("s").has_value());
}

TEST_F(VaultManagerTest, AFailedCreateLeavesNothingAndARetrySucceeds) {
  const auto kdfItem = tmp() / "TolvoDeskUITest" / "keychain" / "com.tolvodesk.vault_kdf-params";
  stdfs::create_directories(kdfItem);  // the second item cannot be stored
  EXPECT_THAT([&] { vault_.createVault("pw", false); }, Throws<SystemError>(Property(&SystemError::code, EISDIR)));
  expectUnlocked(false);
  EXPECT_FALSE(keychain_.vaultExists()) << "the wrapped key stored first is removed again";
  EXPECT_FALSE(stdfs::exists(vaultDir() / "vault.db"));
  stdfs::remove(kdfItem);
  vault_.createVault("pw", false);
  vault_.lockVault();
  vault_.unlockVault("pw");
  expectUnlocked(true);
}

TEST_F(VaultManagerTest, ADatabaseWhoseKeysAreGoneIsKeptAsideNotReused) {
  vault_.createVault("old", false);
  database_.createSession({"old-session", 1, 2, 1});
  const auto oldKeyHex = keys_.getDBKeyHex();
  keychain_.deleteVault();  // its secrets are gone while it is still open
  vault_.createVault("new", false);
  expectUnlocked(true);
  EXPECT_FALSE(database_.getSession("old-session").has_value());
  stdfs::path kept;
  for (const auto& entry : stdfs::directory_iterator(vaultDir())) {
    if (entry.path().filename().string().starts_with("vault-orphaned-")) kept = entry.path();
  }
  ASSERT_FALSE(kept.empty());
  EXPECT_NE(diagnosticLog().find("] VM: createVault: a database of an earlier vault whose keys are gone was kept as " +
                                 kept.filename().string() + "\n"),
            std::string::npos);
  DatabaseManager old;
  old.open(kept, *oldKeyHex);
  EXPECT_TRUE(old.getSession("old-session").has_value()) << "the old records are kept whole";
}

TEST_F(VaultManagerTest, DeleteRemovesItemsAndFoldersAndReportsAMissingFolder) {
  vault_.createVault("pw", false);
  vault_.deleteVault();
  EXPECT_FALSE(vault_.isUnlocked());
  EXPECT_FALSE(keychain_.vaultExists());
  EXPECT_FALSE(stdfs::exists(vaultDir()));
  vault_.createVault("pw", false);
  vault_.lockVault();
  stdfs::remove_all(vaultDir());
  EXPECT_THAT([&] { vault_.deleteVault(); }, Throws<SystemError>(Property(&SystemError::code, ENOENT)));
  EXPECT_FALSE(keychain_.vaultExists()) << "the items go first";
}

class VaultManagerWithReaderTest : public VaultManagerTest {
 protected:
  VaultManagerWithReaderTest() : VaultManagerTest(FingerprintReadiness::ready) {}
};

TEST_F(VaultManagerWithReaderTest, TouchIDSetupMakesTheBiometricKey) {
  vault_.createVault("pw", /*enableTouchID=*/true);
  EXPECT_TRUE(vault_.isUnlocked());
  EXPECT_EQ(fingerprintCalls_, 1);
  auto privateKey = [&] {
    return keychain_.load(KeychainManager::kService, BiometricKeyManager::kPrivateKeyAccount,
                          TolvoConstants::Keychain::biometricAccessGroup);
  };
  ASSERT_TRUE(privateKey());
  EXPECT_EQ(keychain_.loadBiometricPublicKey()->size(), 65u);
  vault_.deleteVault();
  EXPECT_FALSE(privateKey());
  EXPECT_FALSE(keychain_.loadBiometricPublicKey());
}

}  // namespace
}  // namespace tolvo
