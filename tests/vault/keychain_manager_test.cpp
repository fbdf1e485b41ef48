#include "vault/keychain_manager.h"

#include <openssl/evp.h>
#include <sys/stat.h>

#include <gmock/gmock.h>

#include <cstdio>

#include "core/error.h"
#include "core/tolvo_constants.h"
#include "support/sandbox.h"
#include "support/session_bus.h"
#include "vault/biometric_key_manager.h"
#include "vault/fake_fingerprint_service.h"
#include "vault/file_secret_store.h"

namespace tolvo {
namespace {

namespace stdfs = std::filesystem;
using test::readText;
using test::writeText;

const std::string kShared = "9KQ5ZR2WL7.com.tolvoworks.tolvodesk.shared";
const SecretItemKey kMasterKey{"com.tolvodesk.vault", "master-key", kShared};
constexpr std::int32_t kNotFound = -25300, kIOError = -36, kParam = -50;
constexpr auto kWhenUnlocked = SecretProtection::whenUnlocked;

// Matches a SystemError with this errno value.
auto throwsErrno(int code) { return testing::Throws<SystemError>(testing::Property(&SystemError::code, code)); }

unsigned modeOf(const stdfs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Expects `call` to raise a KeychainError with this text.
#define EXPECT_KEYCHAIN_ERROR(call, text) EXPECT_THAT([&] { call; }, testing::ThrowsMessage<KeychainError>(text))

// The file store: one private file per item, never through a symbolic link.

class FileSecretStoreTest : public test::SandboxedTest {
 protected:
  stdfs::path dir() const { return root() / "Keychain"; }
  stdfs::path item() const { return dir() / "com.tolvodesk.vault_master-key"; }
  FileSecretStore store_{root() / "Keychain", kShared};
};

TEST_F(FileSecretStoreTest, ItemsArePrivateFilesHoldingOnlyTheBytesNeverReachedThroughALink) {
  EXPECT_FALSE(store_.read(kMasterKey).has_value());  // absent: not an error, and nothing is created
  EXPECT_EQ(store_.load(kMasterKey).status, kNotFound);
  EXPECT_EQ(store_.remove(kMasterKey), kNotFound);
  EXPECT_FALSE(stdfs::exists(dir()));

  stdfs::create_directories(dir());  // an existing wide directory is narrowed
  stdfs::permissions(dir(), stdfs::perms::owner_all | stdfs::perms::others_read);
  EXPECT_EQ(store_.save(kMasterKey, asBytes("wrapped-key"), kWhenUnlocked), 0);
  EXPECT_EQ(std::distance(stdfs::directory_iterator(dir()), {}), 1);  // no temporary files left
  EXPECT_EQ(readText(item()), "wrapped-key");
  EXPECT_EQ(modeOf(item()), 0600u);
  EXPECT_EQ(modeOf(dir()), 0700u);
  EXPECT_EQ(toString(*store_.read({"com.tolvodesk.vault", "master-key", ""})), "wrapped-key");  // default group

  // Another access group goes to its own 0700 subfolder; slashes in names become underscores.
  const SecretItemKey other{"com.tolvodesk/vault", "user/a", "9KQ5ZR2WL7.com.tolvoworks.tolvodesk.biometric"};
  EXPECT_EQ(store_.save(other, asBytes("other group"), kWhenUnlocked), 0);
  EXPECT_EQ(readText(dir() / other.accessGroup / "com.tolvodesk_vault_user_a"), "other group");
  EXPECT_EQ(modeOf(dir() / other.accessGroup), 0700u);
  EXPECT_EQ(store_.remove(kMasterKey), 0);

  // Symbolic links are never followed; unusable items raise or give a status.
  writeText(root() / "outside", "untouched");
  stdfs::create_symlink(root() / "outside", item());
  EXPECT_THAT([&] { (void)store_.read(kMasterKey); }, throwsErrno(ELOOP));
  EXPECT_EQ(store_.load(kMasterKey).status, kIOError);
  EXPECT_TRUE(store_.erase(kMasterKey));  // removes the link, not its target
  stdfs::create_symlink(root() / "outside", item());
  store_.write(kMasterKey, asBytes("new"));  // replaces the link itself
  EXPECT_EQ(readText(item()), "new");
  EXPECT_EQ(readText(root() / "outside"), "untouched");

  // A store directory that is a symbolic link is refused, however good the item behind it.
  FileSecretStore linked(root() / "linked", kShared);
  stdfs::create_directory_symlink(dir(), root() / "linked");
  EXPECT_EQ(linked.load(kMasterKey).status, kIOError);
  EXPECT_EQ(linked.remove(kMasterKey), kIOError);
  EXPECT_THROW(linked.write(kMasterKey, asBytes("x")), SystemError);
  EXPECT_EQ(readText(item()), "new");

  stdfs::remove(item());
  stdfs::create_directories(item());  // a directory where the item file belongs
  EXPECT_THAT([&] { (void)store_.read(kMasterKey); }, throwsErrno(EISDIR));
  EXPECT_EQ(store_.load(kMasterKey).status, kIOError);
  EXPECT_EQ(store_.save(kMasterKey, asBytes("x"), kWhenUnlocked), kIOError);
  EXPECT_EQ(store_.remove(kMasterKey), kIOError);
  const std::string longName(300, 'a'), withNul("a\0b", 3);  // names the file system cannot carry
  for (const SecretItemKey& bad : {SecretItemKey{"com.tolvodesk.vault", longName, kShared},
                                   SecretItemKey{"com.tolvodesk.vault", withNul, kShared},
                                   SecretItemKey{"com.tolvodesk.vault", "x", ".."}}) {
    EXPECT_EQ(store_.save(bad, asBytes("x"), kWhenUnlocked), kParam) << bad.account.size();
  }
}

// The status rules, with backends that answer scripted statuses (the platform codes such as
// -34018 cannot be produced by any store on this machine).

// A backend that answers scripted statuses and notes its calls ("dp.save", ...) in a shared log.
struct ScriptedBackend : SecretBackend {
  // What each call answers (retrySave: a save with SecretProtection::afterFirstUnlock).
  struct Script { std::int32_t save = 0, retrySave = 0, load = kNotFound, remove = 0; };
  ScriptedBackend(const char* name, Script script, std::string& log) : name_(name), script_(script), log_(log) {}
  std::int32_t save(const SecretItemKey&, ByteView, SecretProtection protection) override {
    const bool retry = protection == SecretProtection::afterFirstUnlock;
    return note(retry ? ".save(afterFirstUnlock)" : ".save", retry ? script_.retrySave : script_.save);
  }
  SecretLoadResult load(const SecretItemKey&) override {
    return {note(".load", script_.load), script_.load == 0 ? toBytes(name_) : Bytes{}};
  }
  std::int32_t remove(const SecretItemKey&) override { return note(".remove", script_.remove); }
  std::int32_t note(const char* call, std::int32_t status) {
    log_ += (log_.empty() ? "" : " ") + name_ + call;
    return status;
  }
  std::string name_;
  Script script_;
  std::string& log_;
};

// Each row scripts the data-protection backend ("dp") and the legacy one, runs one operation
// and gives its outcome (the error text, the data loaded, "absent" or "ok") and the backend calls.
TEST(KeychainStatusRules, SaveLoadAndDeleteAcrossBackends) {
  using Script = ScriptedBackend::Script;
  const std::string saveCalls = "dp.remove legacy.remove dp.save", fail = "Failed to ";
  const struct {
    char op;  // 's'ave, 'l'oad or 'r'emove
    Script dp, legacy;
    std::string outcome, calls;
  } rows[] = {
      // save: data protection unsupported; a failed remove stops it; -50 is tolerated only from data protection
      {'s', {.save = -34018, .remove = -34018}, {.remove = kNotFound}, "ok", saveCalls + " legacy.save"},
      {'s', {.remove = -25293}, {}, fail + "delete from keychain: -25293", "dp.remove"},
      {'s', {.remove = -50}, {.remove = -50}, fail + "delete from keychain: -50", "dp.remove legacy.remove"},
      // save: locked, retried after first unlock; the last failure is reported
      {'s', {.save = -25308}, {}, "ok", saveCalls + " dp.save(afterFirstUnlock)"},
      {'s', {.save = -25308, .retrySave = -25308}, {.save = -61}, fail + "save to keychain: -61",
       saveCalls + " dp.save(afterFirstUnlock) legacy.save"},
      // load: -50 from data protection; a failure passes on; the first item wins; the last failure is reported
      {'l', {.load = -50}, {}, "absent", "dp.load legacy.load"},
      {'l', {.load = -25293}, {.load = 0}, "legacy", "dp.load legacy.load"},
      {'l', {.load = 0}, {.load = 0}, "dp", "dp.load"},
      {'l', {.load = -25293}, {}, fail + "load from keychain: -25293", "dp.load legacy.load"},
      {'l', {.load = -34018}, {.load = -36}, fail + "load from keychain: -36", "dp.load legacy.load"},
      // delete: legacy is attempted after a failure (an unsupported data protection: the file store tests)
      {'r', {.remove = -25293}, {.remove = 0}, fail + "delete from keychain: -25293", "dp.remove legacy.remove"},
  };
  for (const auto& row : rows) {
    std::string log, outcome = "ok";
    std::vector<std::unique_ptr<SecretBackend>> backends;
    backends.push_back(std::make_unique<ScriptedBackend>("dp", row.dp, log));
    backends.push_back(std::make_unique<ScriptedBackend>("legacy", row.legacy, log));
    KeychainManager m(std::move(backends), false);
    try {
      if (row.op == 's') m.save(asBytes("x"), "svc", "acct");
      if (row.op == 'r') m.deleteItem("svc", "acct");
      if (row.op == 'l') outcome = toString(m.load("svc", "acct").value_or(toBytes("absent")));
    } catch (const KeychainError& e) {
      outcome = e.what();
    }
    EXPECT_EQ(outcome, row.outcome) << row.calls;
    EXPECT_EQ(log, row.calls);
  }
}

// The real backends: the Secret Service on a private bus, then the file store.

class KeychainManagerTest : public test::SandboxedTest {
 protected:
  void startBus() {
    if (!test::SessionBus::available(true)) GTEST_SKIP() << "dbus-daemon or gnome-keyring is missing";
    bus_ = std::make_unique<test::SessionBus>(root(), test::SessionBus::Options{true, {}});
    setEnv("DBUS_SESSION_BUS_ADDRESS", bus_->address());
  }
  stdfs::path storeItem(const std::string& account) const {  // in the default file store
    return dataHome() / "TolvoDesk" / "Keychain" / ("com.tolvodesk.vault_" + account);
  }
  std::size_t keyringItems(const std::string& account) const {
    return bus_->searchItems({{"service", "com.tolvodesk.vault"}, {"account", account}}).size();
  }
  std::unique_ptr<test::SessionBus> bus_;
};

// Items live in the Secret Service when it is there; when its keyring is locked, new items go
// to the file store and the locked ones are reported.
TEST_F(KeychainManagerTest, ItemsLiveInTheSecretServiceAndALockedKeyringSendsOnlyNewItemsToTheFileStore) {
  startBus();
  if (IsSkipped()) return;
  KeychainManager m;
  m.saveEncryptedMasterKey(asBytes("first"));
  m.saveEncryptedMasterKey(Bytes(60, 0xA5));
  EXPECT_EQ(*m.loadEncryptedMasterKey(), Bytes(60, 0xA5));
  EXPECT_EQ(keyringItems("master-key"), 1u);
  EXPECT_FALSE(stdfs::exists(storeItem("master-key")));

  // A copy left in the file store by an earlier fallback is read, then removed by the next save.
  writeText(storeItem("biometric-public-key"), "stale");
  EXPECT_EQ(toString(*m.loadBiometricPublicKey()), "stale");
  m.saveBiometricPublicKey(asBytes("fresh"));
  EXPECT_FALSE(stdfs::exists(storeItem("biometric-public-key")));
  m.save(asBytes("odd"), "com.tolvodesk.vault", "\xff");  // the Secret Service cannot carry it (-50)
  EXPECT_EQ(readText(storeItem("\xff")), "odd");
  m.deleteVault();
  EXPECT_EQ(keyringItems("master-key") + keyringItems("biometric-public-key"), 0u);

  m.saveEncryptedMasterKey(asBytes("in keyring"));
  bus_->lockDefaultCollection();
  m.saveKDFParams({{0, 1, 2, 3}, 100000, "PBKDF2-SHA256"});  // nothing to unlock for it: goes to the file store
  EXPECT_TRUE(stdfs::exists(storeItem("kdf-params")));
  EXPECT_EQ(*m.loadKDFParams(), (KDFParams{{0, 1, 2, 3}, 100000, "PBKDF2-SHA256"}));
  EXPECT_KEYCHAIN_ERROR((void)m.loadEncryptedMasterKey(), "Failed to load from keychain: -25308");
  EXPECT_KEYCHAIN_ERROR(m.saveEncryptedMasterKey(asBytes("x")), "Failed to delete from keychain: -25308");
  EXPECT_EQ(keyringItems("master-key"), 1u);
}

// The sandbox has no session bus: items land in the file store in the application support
// folder. Deleting the vault stops only for the master key and the parameters.
TEST_F(KeychainManagerTest, WithoutSessionBusItemsLandInTheFileStoreAndDeleteVaultStopsForTheFirstTwoItems) {
  KeychainManager& m = KeychainManager::shared();
  m.saveEncryptedMasterKey(asBytes("k"));
  EXPECT_EQ(readText(storeItem("master-key")), "k");
  EXPECT_TRUE(m.vaultExists());
  m.saveKDFParams({{1}, 1, "PBKDF2-SHA256"});
  stdfs::create_directories(storeItem("biometric-public-key"));  // undeletable as a file
  m.deleteVault();
  EXPECT_FALSE(m.vaultExists() || m.loadKDFParams() || stdfs::exists(storeItem("master-key")));

  // An undeletable master key stops the operation before the parameters, and makes the master
  // key unreadable: no vault rather than an error.
  m.saveKDFParams({{1}, 1, "PBKDF2-SHA256"});
  stdfs::create_directories(storeItem("master-key"));
  EXPECT_KEYCHAIN_ERROR(m.deleteVault(), "Failed to delete from keychain: -36");
  EXPECT_TRUE(m.loadKDFParams().has_value());
  EXPECT_KEYCHAIN_ERROR((void)m.loadEncryptedMasterKey(), "Failed to load from keychain: -36");
  EXPECT_FALSE(m.vaultExists());
}

// UI test mode, switched on by the argument (which leaves a marker file for the whole session)
// or by the marker alone: files in a private folder of the temporary directory, nothing else.
class KeychainUITestModeTest : public test::SandboxedTest {};

TEST_F(KeychainUITestModeTest, ArgumentOrMarkerSwitchesItOnAndOnlyPrivateFilesAreUsed) {
  const stdfs::path marker = tmp() / "TolvoDeskUITest" / "uitest-mode", dir = tmp() / "TolvoDeskUITest" / "keychain";
  auto run = [](const std::string& arguments) {  // the probe's output line and exit status
    FILE* pipe = ::popen((TOLVO_VAULT_UITEST_PROBE + arguments).c_str(), "r");
    char line[64] = {};
    const bool read = pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr;
    return std::string(line) + "exit " + std::to_string(read ? ::pclose(pipe) : -1);
  };
  EXPECT_EQ(run(""), "uitest=0\nexit 0");
  EXPECT_FALSE(stdfs::exists(marker));
  EXPECT_EQ(run(" --uitest-mode"), "uitest=1\nexit 0");
  EXPECT_EQ(readText(marker), "1");
  EXPECT_EQ(readText(dir / "com.tolvodesk.vault_probe"), "probe");
  EXPECT_EQ(modeOf(dir), 0700u);

  writeText(marker, "x");
  KeychainManager m;
  ASSERT_TRUE(m.isUITestMode());
  m.saveEncryptedMasterKey(asBytes("wrapped"));
  EXPECT_EQ(readText(marker), "x");  // not rewritten
  EXPECT_EQ(readText(dir / "com.tolvodesk.vault_master-key"), "wrapped");
  // File errors pass through unchanged (no backend turns them into a status).
  stdfs::create_directories(dir / "com.tolvodesk.vault_kdf-params");
  EXPECT_THAT([&] { (void)m.loadKDFParams(); }, throwsErrno(EISDIR));
}

// The biometric key: a P-256 pair in the keychain, and the reader's availability.

// Signs `data` with the private key the manager stored (ECDSA P-256, SHA-256, DER signature),
// as the application does after its fingerprint prompt.
Bytes signWithStoredKey(KeychainManager& keychain, ByteView data) {
  const Bytes der = keychain.load(KeychainManager::kService, BiometricKeyManager::kPrivateKeyAccount,
                                  TolvoConstants::Keychain::biometricAccessGroup).value_or(Bytes{});
  const unsigned char* p = der.data();
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(der.size())), EVP_PKEY_free);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  Bytes signature(72);  // the longest DER signature of P-256
  std::size_t length = signature.size();
  EXPECT_TRUE(key && EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
              EVP_DigestSign(ctx.get(), signature.data(), &length, data.data(), data.size()) == 1);
  signature.resize(length);
  return signature;
}

class BiometricKeyManagerTest : public test::SandboxedTest {
 protected:
  KeychainManager keychain_{{}, /*uiTestMode=*/true};  // file storage in the sandbox
  BiometricKeyManager manager(FingerprintReadiness readiness, bool uiTestMode = false, const char* detail = "") {
    auto reader = std::make_unique<test::FakeFingerprintReader>(FingerprintStatus{readiness, detail});
    return BiometricKeyManager(keychain_, std::move(reader), uiTestMode);
  }
};

TEST_F(BiometricKeyManagerTest, AvailabilityReasonsAndTheSystemReaderWithoutFprintd) {
  using R = FingerprintReadiness;
  const std::tuple<R, bool, std::optional<std::string>> rows[] = {  // readiness, UI test mode, reason (none: available)
      {R::ready, false, std::nullopt},
      {R::noEnrolledFinger, false, "Set up Touch ID in System Settings before enabling it here."},
      {R::serviceAbsent, false, "Touch ID is not available right now."},
      {R::failed, false, "Device busy"},  // the reader's own detail
      {R::ready, true, "Touch ID is unavailable in UI test mode."},
  };
  for (const auto& [readiness, uiTestMode, reason] : rows) {
    const auto got = manager(readiness, uiTestMode, "Device busy").availability();
    EXPECT_EQ(std::pair(got.isAvailable, got.reason), std::pair(!reason, reason)) << reason.value_or("available");
  }

  // The system reader: no system bus, or no fprintd on it, means the service is absent.
  setEnv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (root() / "no-such-bus").string());
  EXPECT_EQ(makeSystemFingerprintService()->status().readiness, R::serviceAbsent);

  test::SessionBus bus(root() / "system-bus", {});
  setEnv("DBUS_SYSTEM_BUS_ADDRESS", bus.address());
  EXPECT_EQ(makeSystemFingerprintService()->status().readiness, R::serviceAbsent);
}

TEST_F(BiometricKeyManagerTest, GeneratedKeyVerifiesSignaturesOverTheChallengeOnlyAndRebuildsItsPublicHalf) {
  auto m = manager(FingerprintReadiness::ready);
  EXPECT_THAT([&] { (void)m.verify(Bytes{1}, Bytes{2}); },
              testing::ThrowsMessage<BiometricError>(testing::StrEq("Biometric key not found")));
  m.generateBiometricKey();
  const Bytes publicKey = m.loadPublicKey();
  const Bytes challenge(32, 0x5a);
  const Bytes signature = signWithStoredKey(keychain_, challenge);
  EXPECT_TRUE(m.verify(signature, challenge));
  EXPECT_FALSE(m.verify(signature, Bytes(32, 0x5b)));
  Bytes flipped = signature;
  flipped.back() ^= 0x01;
  EXPECT_FALSE(m.verify(flipped, challenge));

  keychain_.deleteBiometricPublicKey();  // lost public item: rebuilt from the private key
  EXPECT_EQ(m.loadPublicKey(), publicKey);
  EXPECT_EQ(keychain_.loadBiometricPublicKey(), publicKey);
  keychain_.saveBiometricPublicKey(Bytes(65, 0x04));  // not a point on the curve
  EXPECT_THROW((void)m.loadPublicKey(), BiometricError);
  m.generateBiometricKey();  // a new pair replaces the old one
  EXPECT_FALSE(m.verify(signature, challenge));
  m.deleteBiometricKey();  // both halves: the public one cannot be rebuilt
  EXPECT_THROW((void)m.loadPublicKey(), BiometricError);
}

}  // namespace
}  // namespace tolvo
