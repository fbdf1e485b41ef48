#include "vault/vault_manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

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
  const auto wrapped = keychain_.loadEncryptedMasterKey();
  ASSERT_TRUE(wrapped);
  EXPECT_EQ(wrapped->size(), 60u);
  const auto params = keychain_.loadKDFParams();
  ASSERT_TRUE(params);
  EXPECT_EQ(params->salt.size(), 32u);
  EXPECT_EQ(params->iterations, 100000);
  EXPECT_EQ(params->algorithm, "PBKDF2-SHA256");
}

TEST_F(VaultManagerTest, UnlockNeedsAVaultAndTheRightPassword) {
  EXPECT_THAT([&] { vault_.unlockVault("pw"); }, ThrowsMessage<VaultError>(StrEq("Vault not found")));
  for (const char* line : {"] VM: unlockVault called\n", "] VM: Loading KDF params...\n",
                           "] VM: unlockVault failed - KDF params not found\n"}) {
    EXPECT_NE(diagnosticLog().find(line), std::string::npos) << line;
  }

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
  EXPECT_NE(diagnosticLog().find("] VM: Vault unlocked successfully, isUnlocked=true\n"), std::string::npos);
}

TEST_F(VaultManagerTest, ActivatingAnotherKeyFailsAtTheDatabase) {
  vault_.createVault("pw", false);
  database_.createSession({"s", 1, std::nullopt, 1});
  const auto right = keys_.getMasterKey();
  vault_.activateVault(*right);  // re-activation closes and reopens with the same key
  EXPECT_TRUE(database_.getSession("s").has_value());
  vault_.lockVault();
  EXPECT_ANY_THROW(vault_.activateVault(SymmetricKey::random()));
  EXPECT_FALSE(vault_.isUnlocked());
  vault_.activateVault(*right);
  EXPECT_TRUE(database_.getSession("s").has_value()) << "a failed activation must not harm the data";
}

TEST_F(VaultManagerTest, ASecondCreateIsRefusedAndTheVaultStaysReadable) {
  vault_.createVault("first", false);
  database_.createSession({"kept", 1, 2, 1});
  vault_.lockVault();
  try {
    vault_.createVault("second", false);
    FAIL() << "a second vault replaced the first";
  } catch (const VaultError& e) {
    EXPECT_STREQ(e.what(), "Vault already exists");
  }
  EXPECT_FALSE(vault_.isUnlocked());
  vault_.unlockVault("first");
  EXPECT_TRUE(database_.getSession("kept").has_value());
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

TEST_F(VaultManagerTest, TouchIDUnavailableStillCreatesTheVault) {
  vault_.createVault("pw", /*enableTouchID=*/true);
  EXPECT_TRUE(vault_.isUnlocked());
  EXPECT_EQ(fingerprintCalls_, 1);
  EXPECT_FALSE(keychain_.loadBiometricPublicKey());
}

}  // namespace
}  // namespace tolvo
