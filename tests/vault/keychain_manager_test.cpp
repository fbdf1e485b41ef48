#include "vault/keychain_manager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "core/error.h"
#include "platform/linux/secret_service_backend.h"
#include "support/sandbox.h"
#include "support/session_bus.h"
#include "vault/file_secret_store.h"

namespace tolvo {
namespace {

namespace stdfs = std::filesystem;
using test::readText;
using test::SessionBus;
using test::writeText;

const std::string kShared = "9KQ5ZR2WL7.com.tolvoworks.tolvodesk.shared";

unsigned modeOf(const stdfs::path& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

template <typename F>
std::int32_t keychainStatusOf(F&& operation, KeychainError::Kind expectedKind) {
  try {
    operation();
  } catch (const KeychainError& e) {
    EXPECT_EQ(e.kind(), expectedKind);
    return e.status();
  }
  ADD_FAILURE() << "no KeychainError";
  return 0;
}

// ---------------------------------------------------------------------------------------
// The status rules, with backends that answer scripted statuses (the platform codes such as
// -34018 cannot be produced by any store on this machine).

class ScriptedBackend : public SecretBackend {
 public:
  struct Script {
    std::int32_t save = 0;
    std::int32_t retrySave = 0;  // the save with SecretProtection::afterFirstUnlock
    std::int32_t load = -25300;
    std::int32_t remove = 0;
  };
  ScriptedBackend(std::string name, Script script, std::vector<std::string>& log)
      : name_(std::move(name)), script_(script), log_(log) {}

  std::int32_t save(const SecretItemKey&, ByteView, SecretProtection protection) override {
    const bool retry = protection == SecretProtection::afterFirstUnlock;
    log_.push_back(name_ + (retry ? ".save(afterFirstUnlock)" : ".save"));
    return retry ? script_.retrySave : script_.save;
  }
  SecretLoadResult load(const SecretItemKey&) override {
    log_.push_back(name_ + ".load");
    return {script_.load, script_.load == 0 ? toBytes(name_) : Bytes{}};
  }
  std::int32_t remove(const SecretItemKey&) override {
    log_.push_back(name_ + ".remove");
    return script_.remove;
  }

 private:
  std::string name_;
  Script script_;
  std::vector<std::string>& log_;
};

struct Scripted {
  std::vector<std::string> log;
  std::unique_ptr<KeychainManager> make(ScriptedBackend::Script dataProtection, ScriptedBackend::Script legacy) {
    log.clear();
    std::vector<std::unique_ptr<SecretBackend>> backends;
    backends.push_back(std::make_unique<ScriptedBackend>("dp", dataProtection, log));
    backends.push_back(std::make_unique<ScriptedBackend>("legacy", legacy, log));
    return std::make_unique<KeychainManager>(std::move(backends), false);
  }
};

using Log = std::vector<std::string>;
constexpr auto kSave = KeychainError::Kind::saveFailed;
constexpr auto kLoad = KeychainError::Kind::loadFailed;
constexpr auto kDelete = KeychainError::Kind::deleteFailed;

TEST(KeychainStatusRules, Save) {
  Scripted s;
  auto m = s.make({.save = -34018, .remove = -34018}, {.remove = -25300});
  m->save(asBytes("x"), "svc", "acct");
  EXPECT_EQ(s.log, (Log{"dp.remove", "legacy.remove", "dp.save", "legacy.save"}));

  m = s.make({.remove = -25293}, {});
  EXPECT_EQ(keychainStatusOf([&] { m->save(asBytes("x"), "svc", "acct"); }, kDelete), -25293);
  EXPECT_EQ(s.log, (Log{"dp.remove"}));

  m = s.make({.remove = -50}, {.remove = -50});  // -50 is tolerated only from data protection
  EXPECT_EQ(keychainStatusOf([&] { m->save(asBytes("x"), "svc", "acct"); }, kDelete), -50);

  m = s.make({.save = -25308, .retrySave = 0}, {});
  m->save(asBytes("x"), "svc", "acct");
  EXPECT_EQ(s.log, (Log{"dp.remove", "legacy.remove", "dp.save", "dp.save(afterFirstUnlock)"}));

  m = s.make({.save = -25308, .retrySave = -25308}, {.save = -61});
  EXPECT_EQ(keychainStatusOf([&] { m->save(asBytes("x"), "svc", "acct"); }, kSave), -61);
  EXPECT_EQ(s.log.back(), "legacy.save");

  m = s.make({.save = -25293}, {.save = -36});
  EXPECT_EQ(keychainStatusOf([&] { m->save(asBytes("x"), "svc", "acct"); }, kSave), -36);
}

TEST(KeychainStatusRules, Load) {
  Scripted s;
  EXPECT_FALSE(s.make({.load = -50}, {.load = -25300})->load("svc", "acct").has_value());
  EXPECT_FALSE(s.make({.load = -25291}, {.load = -25300})->load("svc", "acct").has_value());
  EXPECT_EQ(toString(*s.make({.load = -25293}, {.load = 0})->load("svc", "acct")), "legacy");
  EXPECT_EQ(toString(*s.make({.load = 0}, {.load = 0})->load("svc", "acct")), "dp");
  EXPECT_EQ(s.log, (Log{"dp.load"}));

  auto m = s.make({.load = -25293}, {.load = -25300});
  EXPECT_EQ(keychainStatusOf([&] { (void)m->load("svc", "acct"); }, kLoad), -25293);
  m = s.make({.load = -34018}, {.load = -36});
  EXPECT_EQ(keychainStatusOf([&] { (void)m->load("svc", "acct"); }, kLoad), -36);
}

TEST(KeychainStatusRules, Delete) {
  Scripted s;
  s.make({.remove = -34018}, {.remove = -25300})->deleteItem("svc", "acct");

  auto m = s.make({.remove = -25293}, {.remove = 0});
  EXPECT_EQ(keychainStatusOf([&] { m->deleteItem("svc", "acct"); }, kDelete), -25293);
  EXPECT_EQ(s.log, (Log{"dp.remove", "legacy.remove"}));  // legacy is attempted anyway

  m = s.make({.remove = -25293}, {.remove = -36});
  EXPECT_EQ(keychainStatusOf([&] { m->deleteItem("svc", "acct"); }, kDelete), -36);
}

TEST(KeychainErrorText, CarriesTheStatusInDecimal) {
  EXPECT_STREQ(KeychainError::saveFailed(-61).what(), "Failed to save to keychain: -61");
  EXPECT_STREQ(KeychainError::loadFailed(-25300).what(), "Failed to load from keychain: -25300");
  EXPECT_STREQ(KeychainError::deleteFailed(-34018).what(), "Failed to delete from keychain: -34018");
  EXPECT_EQ(KeychainError::deleteFailed(-34018).status(), -34018);
  EXPECT_EQ(KeychainError::loadFailed(7).kind(), KeychainError::Kind::loadFailed);
}

// ---------------------------------------------------------------------------------------
// The real backends: the Secret Service on a private bus, then the file store.

class KeychainManagerTest : public test::SandboxedTest {
 protected:
  static bool installed(bool withKeyring) { return SessionBus::missingPrograms(withKeyring).empty(); }

  void startBus(bool withKeyring) {
    SessionBus::Options options;
    options.withKeyring = withKeyring;
    bus_ = std::make_unique<SessionBus>(root(), options);
    setEnv("DBUS_SESSION_BUS_ADDRESS", bus_->address());
  }

  stdfs::path store() const { return root() / "store"; }
  stdfs::path storeItem(const std::string& account) const { return store() / ("com.tolvodesk.vault_" + account); }

  std::unique_ptr<KeychainManager> makeManager() {
    std::vector<std::unique_ptr<SecretBackend>> backends;
    backends.push_back(std::make_unique<SecretServiceBackend>());
    backends.push_back(std::make_unique<FileSecretStore>(store(), kShared));
    return std::make_unique<KeychainManager>(std::move(backends), false);
  }

  std::size_t keyringItems(const std::string& account) const {
    return bus_->searchItems({{"service", "com.tolvodesk.vault"}, {"account", account}}).size();
  }

  // Save, replace, load and delete, all landing in the file store.
  void expectFileStoreFallback() {
    auto m = makeManager();
    EXPECT_FALSE(m->vaultExists());
    m->saveEncryptedMasterKey(asBytes("first"));
    m->saveEncryptedMasterKey(asBytes("second"));
    EXPECT_EQ(readText(storeItem("master-key")), "second");
    EXPECT_EQ(modeOf(storeItem("master-key")), 0600u);
    EXPECT_EQ(modeOf(store()), 0700u);
    EXPECT_EQ(toString(*m->loadEncryptedMasterKey()), "second");
    EXPECT_TRUE(m->vaultExists());
    EXPECT_FALSE(m->loadBiometricPublicKey().has_value());
    m->deleteItem("com.tolvodesk.vault", "master-key");
    EXPECT_FALSE(stdfs::exists(storeItem("master-key")));
    m->deleteItem("com.tolvodesk.vault", "master-key");
  }

  std::unique_ptr<SessionBus> bus_;
};

TEST_F(KeychainManagerTest, ItemsLiveInTheSecretServiceWhenItIsThere) {
  if (!installed(true)) GTEST_SKIP() << "dbus-daemon or gnome-keyring-daemon is not installed";
  startBus(true);
  auto m = makeManager();

  const Bytes wrapped(60, 0xA5);
  m->saveEncryptedMasterKey(asBytes("first"));
  m->saveEncryptedMasterKey(wrapped);
  EXPECT_EQ(*m->loadEncryptedMasterKey(), wrapped);
  EXPECT_EQ(keyringItems("master-key"), 1u);
  EXPECT_FALSE(stdfs::exists(storeItem("master-key")));
  EXPECT_FALSE(m->loadKDFParams().has_value());

  // A copy left in the file store by an earlier fallback is read, then removed by the next save.
  writeText(storeItem("biometric-public-key"), "stale");
  EXPECT_EQ(toString(*m->loadBiometricPublicKey()), "stale");
  m->saveBiometricPublicKey(asBytes("fresh"));
  EXPECT_FALSE(stdfs::exists(storeItem("biometric-public-key")));
  EXPECT_EQ(toString(*m->loadBiometricPublicKey()), "fresh");

  // A name the Secret Service cannot carry (-50) silently goes to the file store.
  m->save(asBytes("odd"), "com.tolvodesk.vault", "\xff");
  EXPECT_EQ(readText(storeItem("\xff")), "odd");

  m->deleteVault();
  EXPECT_FALSE(m->vaultExists());
  EXPECT_EQ(keyringItems("master-key") + keyringItems("biometric-public-key"), 0u);
  m->deleteItem("com.tolvodesk.vault", "master-key");  // absent: no error
}

TEST_F(KeychainManagerTest, LockedKeyringFallsBackForNewItemsAndReportsLockedOnes) {
  if (!installed(true)) GTEST_SKIP() << "dbus-daemon or gnome-keyring-daemon is not installed";
  startBus(true);
  auto m = makeManager();
  m->saveEncryptedMasterKey(asBytes("in keyring"));
  bus_->lockCollection(bus_->readAlias("default"));

  const KDFParams params{{0, 1, 2, 3}, 100000, "PBKDF2-SHA256"};
  m->saveKDFParams(params);  // nothing to unlock for it: goes to the file store
  EXPECT_EQ(readText(storeItem("kdf-params")), R"({"algorithm":"PBKDF2-SHA256","iterations":100000,"salt":"AAECAw=="})");
  EXPECT_EQ(*m->loadKDFParams(), params);

  EXPECT_EQ(keychainStatusOf([&] { (void)m->loadEncryptedMasterKey(); }, kLoad), -25308);
  EXPECT_FALSE(m->vaultExists());
  EXPECT_EQ(keychainStatusOf([&] { m->saveEncryptedMasterKey(asBytes("x")); }, kDelete), -25308);
  EXPECT_EQ(keyringItems("master-key"), 1u);
}

TEST_F(KeychainManagerTest, FallsBackToFileStoreWithoutSessionBus) {
  expectFileStoreFallback();  // the sandbox has no session bus
}

TEST_F(KeychainManagerTest, FallsBackToFileStoreWhenBusHasNoSecretService) {
  if (!installed(false)) GTEST_SKIP() << "dbus-daemon is not installed";
  startBus(false);
  expectFileStoreFallback();
}

TEST_F(KeychainManagerTest, KDFParamsRoundTripAndRejectStoredGarbage) {
  auto m = makeManager();
  EXPECT_FALSE(m->loadKDFParams().has_value());
  writeText(storeItem("kdf-params"), "not json");
  EXPECT_THROW((void)m->loadKDFParams(), DecodingError);
  writeText(storeItem("kdf-params"), R"({"salt":"AAECAw==","iterations":5})");  // no algorithm
  EXPECT_THROW((void)m->loadKDFParams(), DecodingError);
  m->saveKDFParams({{9}, 7, "PBKDF2-SHA256"});
  EXPECT_EQ(*m->loadKDFParams(), (KDFParams{{9}, 7, "PBKDF2-SHA256"}));
}

TEST_F(KeychainManagerTest, DeleteVaultStopsOnlyForTheFirstTwoItems) {
  auto m = makeManager();
  m->saveEncryptedMasterKey(asBytes("k"));
  m->saveKDFParams({{1}, 1, "PBKDF2-SHA256"});
  stdfs::create_directories(storeItem("biometric-public-key"));  // undeletable as a file
  m->deleteVault();
  EXPECT_FALSE(m->vaultExists());
  EXPECT_FALSE(m->loadKDFParams().has_value());

  // An undeletable master key stops the operation before the parameters.
  stdfs::remove(storeItem("biometric-public-key"));
  m->saveKDFParams({{1}, 1, "PBKDF2-SHA256"});
  stdfs::create_directories(storeItem("master-key"));
  EXPECT_EQ(keychainStatusOf([&] { m->deleteVault(); }, kDelete), -36);
  EXPECT_TRUE(m->loadKDFParams().has_value());

  // ... and makes the master key unreadable: no vault rather than an error.
  EXPECT_EQ(keychainStatusOf([&] { (void)m->loadEncryptedMasterKey(); }, kLoad), -36);
  EXPECT_FALSE(m->vaultExists());
}

TEST_F(KeychainManagerTest, DefaultInstanceUsesTheApplicationSupportStore) {
  KeychainManager& m = KeychainManager::shared();
  EXPECT_EQ(&m, &KeychainManager::shared());
  EXPECT_FALSE(m.isUITestMode());
  m.saveEncryptedMasterKey(asBytes("k"));
  const stdfs::path dir = dataHome() / "TolvoDesk" / "Keychain";
  EXPECT_EQ(readText(dir / "com.tolvodesk.vault_master-key"), "k");
  EXPECT_EQ(modeOf(dir), 0700u);
  EXPECT_FALSE(stdfs::exists(tmp() / "TolvoDeskUITest" / "uitest-mode"));
}

// ---------------------------------------------------------------------------------------
// UI test mode.

class KeychainUITestModeTest : public test::SandboxedTest {
 protected:
  stdfs::path uiDir() const { return tmp() / "TolvoDeskUITest"; }
  stdfs::path keychainDir() const { return uiDir() / "keychain"; }
};

TEST_F(KeychainUITestModeTest, EnvironmentSwitchesItOnWritesTheMarkerAndUsesFiles) {
  setEnv("TOLVO_UITEST_MODE", "1");
  KeychainManager m;
  ASSERT_TRUE(m.isUITestMode());
  EXPECT_EQ(readText(uiDir() / "uitest-mode"), "1");
  EXPECT_EQ(modeOf(keychainDir()), 0700u);

  EXPECT_FALSE(m.loadEncryptedMasterKey().has_value());
  m.saveEncryptedMasterKey(asBytes("first"));
  m.saveEncryptedMasterKey(asBytes("second"));
  EXPECT_EQ(readText(keychainDir() / "com.tolvodesk.vault_master-key"), "second");
  EXPECT_EQ(modeOf(keychainDir() / "com.tolvodesk.vault_master-key"), 0600u);
  m.save(asBytes("slash"), "com.tolvodesk.vault", "team/alice");
  EXPECT_EQ(readText(keychainDir() / "com.tolvodesk.vault_team_alice"), "slash");
  EXPECT_EQ(toString(*m.load("com.tolvodesk.vault", "team/alice")), "slash");
  m.deleteVault();
  EXPECT_FALSE(m.vaultExists());
  m.deleteItem("com.tolvodesk.vault", "never-saved");
}

TEST_F(KeychainUITestModeTest, OnlyTheValueOneCountsInTheEnvironment) {
  setEnv("TOLVO_UITEST_MODE", "true");
  KeychainManager m;
  EXPECT_FALSE(m.isUITestMode());
  EXPECT_FALSE(stdfs::exists(uiDir() / "uitest-mode"));
  EXPECT_FALSE(stdfs::exists(keychainDir()));
}

TEST_F(KeychainUITestModeTest, MarkerFileSwitchesItOnAndIsNotRewritten) {
  writeText(uiDir() / "uitest-mode", "x");
  KeychainManager m;
  EXPECT_TRUE(m.isUITestMode());
  EXPECT_EQ(readText(uiDir() / "uitest-mode"), "x");
}

TEST_F(KeychainUITestModeTest, ArgumentSwitchesItOnInAProcess) {
  auto run = [](const std::string& arguments) {
    std::string command = std::string(TOLVO_VAULT_UITEST_PROBE) + arguments;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return std::string("popen failed");
    char line[64] = {};
    std::string out = std::fgets(line, sizeof line, pipe) != nullptr ? line : "";
    EXPECT_EQ(::pclose(pipe), 0);
    return out;
  };
  EXPECT_EQ(run(""), "uitest=0\n");
  EXPECT_FALSE(stdfs::exists(uiDir() / "uitest-mode"));

  EXPECT_EQ(run(" --uitest-mode"), "uitest=1\n");
  EXPECT_EQ(readText(uiDir() / "uitest-mode"), "1");
  EXPECT_EQ(readText(keychainDir() / "com.tolvodesk.vault_probe"), "probe");
}

TEST_F(KeychainUITestModeTest, FileErrorsPassThroughUnchanged) {
  std::vector<std::string> log;
  std::vector<std::unique_ptr<SecretBackend>> backends;
  backends.push_back(std::make_unique<ScriptedBackend>("dp", ScriptedBackend::Script{}, log));
  KeychainManager m(std::move(backends), true);

  stdfs::create_directories(keychainDir() / "com.tolvodesk.vault_master-key");
  try {
    (void)m.loadEncryptedMasterKey();
    FAIL() << "a directory loaded as an item";
  } catch (const SystemError& e) {
    EXPECT_EQ(e.code(), EISDIR);
  }
  EXPECT_FALSE(m.vaultExists());
  EXPECT_THROW(m.saveEncryptedMasterKey(asBytes("x")), SystemError);
  EXPECT_TRUE(log.empty());  // the backends are not used in UI test mode
}

}  // namespace
}  // namespace tolvo
