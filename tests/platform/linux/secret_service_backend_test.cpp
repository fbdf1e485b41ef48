#include "platform/linux/secret_service_backend.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "support/sandbox.h"
#include "support/session_bus.h"

namespace tolvo {
namespace {

using test::SessionBus;

constexpr std::int32_t kSuccess = 0;
constexpr std::int32_t kNotFound = -25300;
constexpr std::int32_t kNotAvailable = -25291;
constexpr std::int32_t kInteractionNotAllowed = -25308;
constexpr std::int32_t kParam = -50;

const SecretItemKey kMasterKey{"com.tolvodesk.vault", "master-key", "9KQ5ZR2WL7.com.tolvoworks.tolvodesk.shared"};

// What the item looks like to any other Secret Service client.
const std::map<std::string, std::string> kMasterKeyAttributes{
    {"xdg:schema", "com.tolvodesk.vault.Item"},
    {"service", "com.tolvodesk.vault"},
    {"account", "master-key"},
    {"access-group", "9KQ5ZR2WL7.com.tolvoworks.tolvodesk.shared"},
};

class SecretServiceBackendTest : public test::SandboxedTest {
 protected:
  static bool installed(bool withKeyring) { return SessionBus::missingPrograms(withKeyring).empty(); }

  // Starts the private bus and points DBUS_SESSION_BUS_ADDRESS at it (unless it listens on
  // the given socket instead).
  void startBus(bool withKeyring, const std::filesystem::path& socket = {}) {
    SessionBus::Options options;
    options.withKeyring = withKeyring;
    options.socketPath = socket;
    bus_ = std::make_unique<SessionBus>(root(), options);
    if (socket.empty()) setEnv("DBUS_SESSION_BUS_ADDRESS", bus_->address());
  }

  void expectAllNotAvailable() {
    EXPECT_EQ(backend_.save(kMasterKey, asBytes("secret"), SecretProtection::whenUnlocked), kNotAvailable);
    EXPECT_EQ(backend_.load(kMasterKey).status, kNotAvailable);
    EXPECT_EQ(backend_.remove(kMasterKey), kNotAvailable);
  }

  SecretServiceBackend backend_;
  std::unique_ptr<SessionBus> bus_;
};

TEST_F(SecretServiceBackendTest, SavesReplacesLoadsAndRemovesInTheKeyring) {
  if (!installed(true)) GTEST_SKIP() << "dbus-daemon or gnome-keyring-daemon is not installed";
  startBus(true);

  EXPECT_EQ(backend_.load(kMasterKey).status, kNotFound);
  ASSERT_EQ(backend_.save(kMasterKey, asBytes("first"), SecretProtection::whenUnlocked), kSuccess);
  Bytes all(256);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(255 - i);  // NUL bytes included
  ASSERT_EQ(backend_.save(kMasterKey, all, SecretProtection::whenUnlocked), kSuccess);
  EXPECT_EQ(bus_->searchItems(kMasterKeyAttributes).size(), 1u);  // replaced, not added
  SecretLoadResult loaded = backend_.load(kMasterKey);
  ASSERT_EQ(loaded.status, kSuccess);
  EXPECT_EQ(loaded.data, all);

  // Another access group is another item, here an empty one.
  const SecretItemKey biometric{"com.tolvodesk.vault", "master-key", "9KQ5ZR2WL7.com.tolvoworks.tolvodesk.biometric"};
  ASSERT_EQ(backend_.save(biometric, Bytes{}, SecretProtection::afterFirstUnlock), kSuccess);
  SecretLoadResult empty = backend_.load(biometric);
  EXPECT_EQ(empty.status, kSuccess);
  EXPECT_TRUE(empty.data.empty());
  EXPECT_EQ(backend_.remove(biometric), kSuccess);
  EXPECT_EQ(backend_.load(kMasterKey).data, all);

  EXPECT_EQ(backend_.remove(kMasterKey), kSuccess);
  EXPECT_TRUE(bus_->searchItems(kMasterKeyAttributes).empty());
  EXPECT_EQ(backend_.load(kMasterKey).status, kNotFound);
  EXPECT_EQ(backend_.remove(kMasterKey), kNotFound);
}

TEST_F(SecretServiceBackendTest, LockedCollectionIsInteractionNotAllowedAndKeepsTheItem) {
  if (!installed(true)) GTEST_SKIP() << "dbus-daemon or gnome-keyring-daemon is not installed";
  startBus(true);
  ASSERT_EQ(backend_.save(kMasterKey, asBytes("kept"), SecretProtection::whenUnlocked), kSuccess);

  bus_->lockCollection(bus_->readAlias("default"));
  EXPECT_EQ(backend_.load(kMasterKey).status, kInteractionNotAllowed);
  EXPECT_EQ(backend_.remove(kMasterKey), kInteractionNotAllowed);
  EXPECT_EQ(backend_.save(kMasterKey, asBytes("new"), SecretProtection::whenUnlocked), kInteractionNotAllowed);
  EXPECT_EQ(backend_.save(kMasterKey, asBytes("new"), SecretProtection::afterFirstUnlock), kInteractionNotAllowed);
  EXPECT_EQ(bus_->searchItems(kMasterKeyAttributes).size(), 1u);
}

TEST_F(SecretServiceBackendTest, NoUsableSessionBusIsNotAvailable) {
  // "disabled:" (the sandbox's setting) is a transport GLib lacks; unset, with no bus socket in
  // $XDG_RUNTIME_DIR, nothing is started.
  const std::optional<std::string> addresses[] = {"disabled:", "unix:path=" + (root() / "none").string(),
                                                  "autolaunch:", "", std::nullopt};
  for (const auto& address : addresses) {
    SCOPED_TRACE(address.value_or("unset"));
    setEnv("DBUS_SESSION_BUS_ADDRESS", address);
    expectAllNotAvailable();
  }
  EXPECT_FALSE(std::filesystem::exists(tmp() / "bus"));
}

TEST_F(SecretServiceBackendTest, BusWithoutSecretServiceIsNotAvailable) {
  if (!installed(false)) GTEST_SKIP() << "dbus-daemon is not installed";
  startBus(false);
  expectAllNotAvailable();
}

TEST_F(SecretServiceBackendTest, UsesTheBusInTheRuntimeDirectoryWhenNoAddressIsSet) {
  if (!installed(true)) GTEST_SKIP() << "dbus-daemon or gnome-keyring-daemon is not installed";
  setEnv("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
  startBus(true, tmp() / "bus");  // XDG_RUNTIME_DIR is tmp()

  ASSERT_EQ(backend_.save(kMasterKey, asBytes("via runtime dir"), SecretProtection::whenUnlocked), kSuccess);
  EXPECT_EQ(bus_->searchItems(kMasterKeyAttributes).size(), 1u);
}

TEST_F(SecretServiceBackendTest, SeesTheServiceGoAwayBetweenCalls) {
  if (!installed(true)) GTEST_SKIP() << "dbus-daemon or gnome-keyring-daemon is not installed";
  startBus(true);
  ASSERT_EQ(backend_.save(kMasterKey, asBytes("x"), SecretProtection::whenUnlocked), kSuccess);

  bus_->stopKeyring();
  expectAllNotAvailable();
}

TEST_F(SecretServiceBackendTest, UnansweredRequestsEndAtTheDeadline) {
  if (!installed(true)) GTEST_SKIP() << "dbus-daemon or gnome-keyring-daemon is not installed";
  startBus(true);
  SecretServiceBackend quick(SecretServiceBackend::Options{std::chrono::milliseconds(200)});
  ASSERT_EQ(quick.save(kMasterKey, asBytes("x"), SecretProtection::whenUnlocked), kSuccess);

  bus_->freezeKeyring(true);  // still owns its name, answers nothing
  EXPECT_EQ(quick.save(kMasterKey, asBytes("y"), SecretProtection::whenUnlocked), kNotAvailable);
  EXPECT_EQ(quick.load(kMasterKey).status, kNotAvailable);
  EXPECT_EQ(quick.remove(kMasterKey), kNotAvailable);

  bus_->freezeKeyring(false);
  SecretLoadResult loaded = quick.load(kMasterKey);
  EXPECT_EQ(loaded.status, kSuccess);
  EXPECT_EQ(toString(loaded.data), "x");
}

TEST_F(SecretServiceBackendTest, NamesThatAreNotUtf8AreParameterErrors) {
  // Checked before the bus: the same with or without a Secret Service.
  const SecretItemKey bad{"com.tolvodesk.vault", "\xff\xfe", "9KQ5ZR2WL7.com.tolvoworks.tolvodesk.shared"};
  EXPECT_EQ(backend_.save(bad, asBytes("x"), SecretProtection::whenUnlocked), kParam);
  EXPECT_EQ(backend_.load(bad).status, kParam);
  EXPECT_EQ(backend_.remove(bad), kParam);
}

}  // namespace
}  // namespace tolvo
