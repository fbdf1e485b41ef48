#include "platform/linux/secret_service_backend.h"

#include <gtest/gtest.h>

#include "support/sandbox.h"
#include "support/session_bus.h"

namespace tolvo {
namespace {

constexpr std::int32_t kSuccess = 0, kNotFound = -25300, kNotAvailable = -25291, kInteractionNotAllowed = -25308;
constexpr auto kWhenUnlocked = SecretProtection::whenUnlocked;
const SecretItemKey kMasterKey{"com.tolvodesk.vault", "master-key", "9KQ5ZR2WL7.com.tolvoworks.tolvodesk.shared"};
// What the item looks like to any other Secret Service client.
const std::map<std::string, std::string> kMasterKeyAttributes{
    {"xdg:schema", "com.tolvodesk.vault.Item"}, {"service", "com.tolvodesk.vault"}, {"account", "master-key"},
    {"access-group", "9KQ5ZR2WL7.com.tolvoworks.tolvodesk.shared"}};

class SecretServiceBackendTest : public test::SandboxedTest {
 protected:
  // Starts a private bus (with a keyring unless told otherwise) and points
  // DBUS_SESSION_BUS_ADDRESS at it, unless it listens on the given socket instead.
  void startBus(bool withKeyring = true, const std::filesystem::path& socket = {}) {
    if (!test::SessionBus::available(withKeyring)) GTEST_SKIP() << "dbus-daemon or gnome-keyring missing";
    bus_ = std::make_unique<test::SessionBus>(root(), test::SessionBus::Options{withKeyring, socket});
    if (socket.empty()) setEnv("DBUS_SESSION_BUS_ADDRESS", bus_->address());
  }

  void expectAll(std::int32_t status, const SecretItemKey& key = kMasterKey) {
    EXPECT_EQ(backend_.save(key, asBytes("secret"), kWhenUnlocked), status);
    EXPECT_EQ(backend_.load(key).status, status);
    EXPECT_EQ(backend_.remove(key), status);
  }

  SecretServiceBackend backend_{SecretServiceBackend::Options{std::chrono::milliseconds(1000)}};
  std::unique_ptr<test::SessionBus> bus_;
};

TEST_F(SecretServiceBackendTest, SavesReplacesLoadsAndRemovesInTheKeyringUntilItStopsAnswering) {
  startBus();
  if (IsSkipped()) return;
  EXPECT_EQ(backend_.load(kMasterKey).status, kNotFound);
  ASSERT_EQ(backend_.save(kMasterKey, asBytes("first"), kWhenUnlocked), kSuccess);
  Bytes all(256);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(255 - i);  // NUL bytes included
  ASSERT_EQ(backend_.save(kMasterKey, all, kWhenUnlocked), kSuccess);
  EXPECT_EQ(bus_->searchItems(kMasterKeyAttributes).size(), 1u);  // replaced, not added
  // Another access group is another item, here an empty one.
  const SecretItemKey biometric{"com.tolvodesk.vault", "master-key", "9KQ5ZR2WL7.com.tolvoworks.tolvodesk.biometric"};
  ASSERT_EQ(backend_.save(biometric, Bytes{}, SecretProtection::afterFirstUnlock), kSuccess);
  const SecretLoadResult empty = backend_.load(biometric);
  EXPECT_TRUE(empty.status == kSuccess && empty.data.empty());
  EXPECT_EQ(backend_.remove(biometric), kSuccess);
  EXPECT_EQ(backend_.load(kMasterKey).data, all);

  bus_->freezeKeyring(true);  // still owns its name, answers nothing: requests end at the deadline
  expectAll(kNotAvailable);
  bus_->freezeKeyring(false);
  EXPECT_EQ(backend_.load(kMasterKey).data, all);
  EXPECT_EQ(backend_.remove(kMasterKey), kSuccess);
  EXPECT_TRUE(bus_->searchItems(kMasterKeyAttributes).empty());
  EXPECT_EQ(backend_.remove(kMasterKey), kNotFound);
  bus_->stopKeyring();
  expectAll(kNotAvailable);
}

TEST_F(SecretServiceBackendTest, LockedCollectionIsInteractionNotAllowedAndKeepsTheItem) {
  startBus();
  if (IsSkipped()) return;
  ASSERT_EQ(backend_.save(kMasterKey, asBytes("kept"), kWhenUnlocked), kSuccess);
  bus_->lockDefaultCollection();
  expectAll(kInteractionNotAllowed);
  EXPECT_EQ(backend_.save(kMasterKey, asBytes("new"), SecretProtection::afterFirstUnlock), kInteractionNotAllowed);
  EXPECT_EQ(bus_->searchItems(kMasterKeyAttributes).size(), 1u);
}

TEST_F(SecretServiceBackendTest, NoUsableBusOrNoSecretServiceOnItIsNotAvailableAndBadNamesAreParameterErrors) {
  // "disabled:" (the sandbox's setting) is a transport GLib lacks; unset, with no bus socket in
  // $XDG_RUNTIME_DIR, nothing is started.
  for (const auto& address : {std::optional<std::string>("disabled:"), {"unix:path=" + (root() / "none").string()},
                              {"autolaunch:"}, {""}, std::optional<std::string>()}) {
    setEnv("DBUS_SESSION_BUS_ADDRESS", address);
    expectAll(kNotAvailable);
  }
  EXPECT_FALSE(std::filesystem::exists(tmp() / "bus"));
  // Names that are not UTF-8 are refused before the bus is asked.
  expectAll(-50, {"com.tolvodesk.vault", "\xff\xfe", "9KQ5ZR2WL7.com.tolvoworks.tolvodesk.shared"});
  startBus(/*withKeyring=*/false);
  if (IsSkipped()) return;
  expectAll(kNotAvailable);
}

TEST_F(SecretServiceBackendTest, UsesTheBusInTheRuntimeDirectoryWhenNoAddressIsSet) {
  setEnv("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
  startBus(true, tmp() / "bus");  // XDG_RUNTIME_DIR is tmp()
  if (IsSkipped()) return;
  ASSERT_EQ(backend_.save(kMasterKey, asBytes("via runtime dir"), kWhenUnlocked), kSuccess);
  EXPECT_EQ(bus_->searchItems(kMasterKeyAttributes).size(), 1u);
}

}  // namespace
}  // namespace tolvo
