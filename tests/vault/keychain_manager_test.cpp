#include "vault/keychain_manager.h"

#include <gmock/gmock.h>
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

// The what() of the KeychainError `call` raises ("no error" without one).
template <typename F>
std::string keychainError(F&& call) {
  try {
    call();
  } catch (const KeychainError& e) {
    return e.what();
  }
  return "no error";
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
  ScriptedBackend(std::string name, Script script, std::string& log)
      : name_(std::move(name)), script_(script), log_(log) {}

  std::int32_t save(const SecretItemKey&, ByteView, SecretProtection protection) override {
    const bool retry = protection == SecretProtection::afterFirstUnlock;
    note(retry ? ".save(afterFirstUnlock)" : ".save");
    return retry ? script_.retrySave : script_.save;
  }
  SecretLoadResult load(const SecretItemKey&) override {
    note(".load");
    return {script_.load, script_.load == 0 ? toBytes(name_) : Bytes{}};
  }
  std::int32_t remove(const SecretItemKey&) override {
    note(".remove");
    return script_.remove;
  }

 private:
  void note(const char* call) { log_ += (log_.empty() ? "" : " ") + name_ + call; }
  std::string name_;
  Script script_;
  std::string& log_;  // the calls, space-separated
};

// Each row scripts the data-protection backend ("dp") and the legacy one, runs one operation
// and gives its outcome (the error text, the data loaded, "absent" or "ok") and the backend calls.
TEST(KeychainStatusRules, SaveLoadAndDeleteAcrossBackends) {
  enum class Op { save, load, remove };
  using Script = ScriptedBackend::Script;
  const struct {
    const char* name;
    Op op;
    Script dp, legacy;
    const char* outcome;
    const char* calls;
  } rows[] = {
      {"save: data protection unsupported", Op::save, {.save = -34018, .remove = -34018}, {.remove = -25300}, "ok",
       "dp.remove legacy.remove dp.save legacy.save"},
      {"save: a failed remove stops it", Op::save, {.remove = -25293}, {}, "Failed to delete from keychain: -25293",
       "dp.remove"},
      {"save: -50 tolerated only from data protection", Op::save, {.remove = -50}, {.remove = -50},
       "Failed to delete from keychain: -50", "dp.remove legacy.remove"},
      {"save: locked, retried after first unlock", Op::save, {.save = -25308, .retrySave = 0}, {}, "ok",
       "dp.remove legacy.remove dp.save dp.save(afterFirstUnlock)"},
      {"save: the last failure is reported", Op::save, {.save = -25308, .retrySave = -25308}, {.save = -61},
       "Failed to save to keychain: -61", "dp.remove legacy.remove dp.save dp.save(afterFirstUnlock) legacy.save"},
      {"save: other failures pass on", Op::save, {.save = -25293}, {.save = -36}, "Failed to save to keychain: -36",
       "dp.remove legacy.remove dp.save legacy.save"},
      {"load: -50 from data protection", Op::load, {.load = -50}, {}, "absent", "dp.load legacy.load"},
      {"load: -25291 from data protection", Op::load, {.load = -25291}, {}, "absent", "dp.load legacy.load"},
      {"load: a failure passes on", Op::load, {.load = -25293}, {.load = 0}, "legacy", "dp.load legacy.load"},
      {"load: the first item wins", Op::load, {.load = 0}, {.load = 0}, "dp", "dp.load"},
      {"load: a failure and no item", Op::load, {.load = -25293}, {}, "Failed to load from keychain: -25293",
       "dp.load legacy.load"},
      {"load: the last failure is reported", Op::load, {.load = -34018}, {.load = -36},
       "Failed to load from keychain: -36", "dp.load legacy.load"},
      {"delete: data protection unsupported", Op::remove, {.remove = -34018}, {.remove = -25300}, "ok",
       "dp.remove legacy.remove"},
      {"delete: legacy is attempted anyway", Op::remove, {.remove = -25293}, {.remove = 0},
       "Failed to delete from keychain: -25293", "dp.remove legacy.remove"},
      {"delete: the last failure is reported", Op::remove, {.remove = -25293}, {.remove = -36},
       "Failed to delete from keychain: -36", "dp.remove legacy.remove"},
  };
  for (const auto& row : rows) {
    std::string log;
    std::vector<std::unique_ptr<SecretBackend>> backends;
    backends.push_back(std::make_unique<ScriptedBackend>("dp", row.dp, log));
    backends.push_back(std::make_unique<ScriptedBackend>("legacy", row.legacy, log));
    KeychainManager m(std::move(backends), false);
    std::string outcome = "ok";
    try {
      if (row.op == Op::save) m.save(asBytes("x"), "svc", "acct");
      if (row.op == Op::remove) m.deleteItem("svc", "acct");
      if (row.op == Op::load) {
        const auto data = m.load("svc", "acct");
        outcome = data ? toString(*data) : "absent";
      }
    } catch (const KeychainError& e) {
      outcome = e.what();
    }
    EXPECT_EQ(outcome, row.outcome) << row.name;
    EXPECT_EQ(log, row.calls) << row.name;
  }
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

  EXPECT_EQ(keychainError([&] { (void)m->loadEncryptedMasterKey(); }), "Failed to load from keychain: -25308");
  EXPECT_FALSE(m->vaultExists());
  EXPECT_EQ(keychainError([&] { m->saveEncryptedMasterKey(asBytes("x")); }), "Failed to delete from keychain: -25308");
  EXPECT_EQ(keyringItems("master-key"), 1u);
}

// The sandbox has no session bus: save, replace, load and delete all land in the file store.
TEST_F(KeychainManagerTest, FallsBackToFileStoreWithoutSessionBus) {
  auto m = makeManager();
  EXPECT_FALSE(m->vaultExists());
  m->saveEncryptedMasterKey(asBytes("first"));
  m->saveEncryptedMasterKey(asBytes("second"));
  EXPECT_EQ(readText(storeItem("master-key")), "second");
  EXPECT_EQ(toString(*m->loadEncryptedMasterKey()), "second");
  EXPECT_TRUE(m->vaultExists());
  EXPECT_FALSE(m->loadBiometricPublicKey().has_value());
  m->deleteItem("com.tolvodesk.vault", "master-key");
  EXPECT_FALSE(stdfs::exists(storeItem("master-key")));
  m->deleteItem("com.tolvodesk.vault", "master-key");
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
  EXPECT_EQ(keychainError([&] { m->deleteVault(); }), "Failed to delete from keychain: -36");
  EXPECT_TRUE(m->loadKDFParams().has_value());

  // ... and makes the master key unreadable: no vault rather than an error.
  EXPECT_EQ(keychainError([&] { (void)m->loadEncryptedMasterKey(); }), "Failed to load from keychain: -36");
  EXPECT_FALSE(m->vaultExists());
}

TEST_F(KeychainManagerTest, DefaultInstanceUsesTheApplicationSupportStore) {
  KeychainManager& m = KeychainManager::shared();
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
  m.saveEncryptedMasterKey(asBytes("wrapped"));
  EXPECT_EQ(readText(keychainDir() / "com.tolvodesk.vault_master-key"), "wrapped");
  EXPECT_EQ(toString(*m.loadEncryptedMasterKey()), "wrapped");
  m.deleteVault();
  EXPECT_FALSE(m.vaultExists());
  m.deleteItem("com.tolvodesk.vault", "never-saved");
}

TEST_F(KeychainUITestModeTest, OnlyTheValueOneCountsInTheEnvironmentButAMarkerFileDoes) {
  setEnv("TOLVO_UITEST_MODE", "true");
  EXPECT_FALSE(KeychainManager().isUITestMode());
  EXPECT_FALSE(stdfs::exists(uiDir() / "uitest-mode"));
  EXPECT_FALSE(stdfs::exists(keychainDir()));
  writeText(uiDir() / "uitest-mode", "x");
  EXPECT_TRUE(KeychainManager().isUITestMode());
  EXPECT_EQ(readText(uiDir() / "uitest-mode"), "x");  // not rewritten
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
  std::string log;
  std::vector<std::unique_ptr<SecretBackend>> backends;
  backends.push_back(std::make_unique<ScriptedBackend>("dp", ScriptedBackend::Script{}, log));
  KeychainManager m(std::move(backends), true);

  stdfs::create_directories(keychainDir() / "com.tolvodesk.vault_master-key");
  EXPECT_THAT([&] { (void)m.loadEncryptedMasterKey(); },
              testing::Throws<SystemError>(testing::Property(&SystemError::code, EISDIR)));
  EXPECT_FALSE(m.vaultExists());
  EXPECT_THROW(m.saveEncryptedMasterKey(asBytes("x")), SystemError);
  EXPECT_TRUE(log.empty());  // the backends are not used in UI test mode
}

}  // namespace
}  // namespace tolvo
