#include "vault/file_secret_store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <utility>

#include "core/error.h"
#include "support/sandbox.h"

namespace tolvo {
namespace {

namespace stdfs = std::filesystem;
using test::readText;
using test::writeText;
using testing::Property;
using testing::Throws;

const std::string kShared = "9KQ5ZR2WL7.com.tolvoworks.tolvodesk.shared";
const SecretItemKey kMasterKey{"com.tolvodesk.vault", "master-key", kShared};

unsigned modeOf(const stdfs::path& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

std::vector<std::string> listing(const stdfs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : stdfs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class FileSecretStoreTest : public test::SandboxedTest {
 protected:
  stdfs::path dir() const { return root() / "Keychain"; }
  FileSecretStore store_{root() / "Keychain", kShared};
};

TEST_F(FileSecretStoreTest, ItemIsOneFileHoldingOnlyTheBytesInPrivateDirectories) {
  stdfs::create_directories(dir());  // an existing wide directory is narrowed
  stdfs::permissions(dir(), stdfs::perms::owner_all | stdfs::perms::group_read | stdfs::perms::others_read);
  store_.write(kMasterKey, asBytes("first"));
  EXPECT_EQ(store_.save(kMasterKey, asBytes("wrapped-key"), SecretProtection::whenUnlocked), 0);
  const stdfs::path item = dir() / "com.tolvodesk.vault_master-key";
  EXPECT_EQ(listing(dir()), std::vector<std::string>{item.filename()});  // replaced, no temporary files left
  EXPECT_EQ(readText(item), "wrapped-key");
  EXPECT_EQ(modeOf(item), 0600u);
  EXPECT_EQ(modeOf(dir()), 0700u);
  EXPECT_EQ(toString(*store_.read({"com.tolvodesk.vault", "master-key", ""})), "wrapped-key");  // default group

  // Another access group goes to its own 0700 subfolder and does not touch the shared item.
  const SecretItemKey biometric{"com.tolvodesk.vault", "master-key", "9KQ5ZR2WL7.com.tolvoworks.tolvodesk.biometric"};
  EXPECT_EQ(store_.save(biometric, asBytes("other group"), SecretProtection::whenUnlocked), 0);
  const stdfs::path group = dir() / "9KQ5ZR2WL7.com.tolvoworks.tolvodesk.biometric";
  EXPECT_EQ(readText(group / "com.tolvodesk.vault_master-key"), "other group");
  EXPECT_EQ(modeOf(group), 0700u);
  EXPECT_EQ(readText(item), "wrapped-key");

  // Slashes in names become underscores.
  const SecretItemKey slashed{"com.tolvodesk/vault", "user/a/b", kShared};
  store_.write(slashed, asBytes("slashed"));
  EXPECT_EQ(readText(dir() / "com.tolvodesk_vault_user_a_b"), "slashed");
  EXPECT_EQ(toString(*store_.read(slashed)), "slashed");
}

TEST_F(FileSecretStoreTest, AbsentItemsAreNotErrorsAndReadsCreateNothing) {
  EXPECT_FALSE(store_.read(kMasterKey).has_value());
  EXPECT_EQ(store_.load(kMasterKey).status, -25300);
  EXPECT_FALSE(store_.erase(kMasterKey));
  EXPECT_EQ(store_.remove(kMasterKey), -25300);
  EXPECT_FALSE(stdfs::exists(dir()));

  store_.write(kMasterKey, asBytes("x"));
  EXPECT_EQ(store_.remove(kMasterKey), 0);
  EXPECT_EQ(store_.remove(kMasterKey), -25300);
  EXPECT_TRUE(listing(dir()).empty());
}

TEST_F(FileSecretStoreTest, SymbolicLinksAreNeverFollowed) {
  stdfs::create_directories(dir());
  const stdfs::path outside = root() / "outside";
  writeText(outside, "untouched");
  const stdfs::path item = dir() / "com.tolvodesk.vault_master-key";
  stdfs::create_symlink(outside, item);

  EXPECT_THAT([&] { (void)store_.read(kMasterKey); }, Throws<SystemError>(Property(&SystemError::code, ELOOP)));
  EXPECT_EQ(store_.load(kMasterKey).status, -36);

  store_.write(kMasterKey, asBytes("new"));  // replaces the link itself
  EXPECT_FALSE(stdfs::is_symlink(item));
  EXPECT_EQ(readText(item), "new");
  EXPECT_EQ(readText(outside), "untouched");

  // A store directory that is a symbolic link is refused, however good the item behind it.
  FileSecretStore linked(root() / "linked", kShared);
  stdfs::create_directory_symlink(dir(), root() / "linked");
  EXPECT_EQ(linked.load(kMasterKey).status, -36);
  EXPECT_EQ(linked.remove(kMasterKey), -36);
  EXPECT_THROW(linked.write(kMasterKey, asBytes("x")), SystemError);
  EXPECT_EQ(readText(item), "new");

  stdfs::remove(item);
  stdfs::create_symlink(outside, item);
  EXPECT_TRUE(store_.erase(kMasterKey));  // removes the link, not its target
  EXPECT_EQ(readText(outside), "untouched");
}

TEST_F(FileSecretStoreTest, UnusableStoreRaisesSystemErrorOrGivesStatus) {
  // A directory where the item file belongs: unreadable, unreplaceable, unremovable.
  stdfs::create_directories(dir() / "com.tolvodesk.vault_master-key");
  EXPECT_THAT([&] { (void)store_.read(kMasterKey); }, Throws<SystemError>(Property(&SystemError::code, EISDIR)));
  EXPECT_EQ(store_.load(kMasterKey).status, -36);
  EXPECT_EQ(store_.save(kMasterKey, asBytes("x"), SecretProtection::whenUnlocked), -36);
  EXPECT_EQ(store_.remove(kMasterKey), -36);

  // Names the file system cannot carry.
  EXPECT_EQ(store_.save({"com.tolvodesk.vault", std::string(300, 'a'), kShared}, asBytes("x"),
                        SecretProtection::whenUnlocked), -50);
  EXPECT_EQ(store_.save({"com.tolvodesk.vault", std::string_view("a\0b", 3), kShared}, asBytes("x"),
                        SecretProtection::whenUnlocked), -50);
  EXPECT_EQ(store_.save({"com.tolvodesk.vault", "x", ".."}, asBytes("x"), SecretProtection::whenUnlocked), -50);
}

TEST(FileSecretStoreStatus, MapsErrnoToStatuses) {
  for (const auto& [error, status] : {std::pair{EACCES, -61}, {EPERM, -61}, {EROFS, -61}, {ENOSPC, -34}, {EDQUOT, -34},
                                      {ENOMEM, -108}, {ENAMETOOLONG, -50}, {EIO, -36}, {ELOOP, -36}}) {
    EXPECT_EQ(FileSecretStore::statusForErrno(error), status) << error;
  }
}

}  // namespace
}  // namespace tolvo
