#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/bytes.h"
#include "platform/secret_backend.h"

namespace tolvo {

// Secret items as plain files in one private directory. The file of an item is named
// service + "_" + account with every "/" replaced by "_" (com.tolvodesk.vault_master-key)
// and holds the item's bytes and nothing else. Items of the default access group live in
// the directory itself, items of any other group in a subdirectory named after the group
// (again with "/" replaced by "_"), so equal names of different groups never collide.
//
// Directories are 0700 and must belong to the user (an existing one with wider permissions
// is narrowed to 0700); item files are 0600, replaced atomically (new file, flush, rename)
// and never opened through a symbolic link: a link planted at an item's path makes reads
// fail and is replaced, not followed, by a save.
//
// Two faces: write/read/erase raise tolvo::SystemError with the errno of the failing call
// (the store of UI test mode); the SecretBackend operations report the same failures as
// statuses (docs/keychain.md). Thread-safe; concurrent saves of one item leave one of the
// values whole.
class FileSecretStore final : public SecretBackend {
 public:
  // `directory` is created on the first save. Items whose access group equals
  // `defaultAccessGroup` (or is empty) live directly in `directory`.
  FileSecretStore(std::filesystem::path directory, std::string defaultAccessGroup);

  [[nodiscard]] const std::filesystem::path& directory() const noexcept { return directory_; }

  // The file that holds the item. Raises SystemError(EINVAL) for a name the file system
  // cannot carry (a NUL byte, or a group that maps to "." or "..").
  [[nodiscard]] std::filesystem::path itemPath(const SecretItemKey& key) const;

  // Replaces the item with `data`.
  void write(const SecretItemKey& key, ByteView data);
  // The item's bytes; nothing when it does not exist.
  [[nodiscard]] std::optional<Bytes> read(const SecretItemKey& key) const;
  // Removes the item; false when it did not exist.
  bool erase(const SecretItemKey& key);

  [[nodiscard]] std::int32_t save(const SecretItemKey& key, ByteView data, SecretProtection protection) override;
  [[nodiscard]] SecretLoadResult load(const SecretItemKey& key) override;
  [[nodiscard]] std::int32_t remove(const SecretItemKey& key) override;

  // The status that stands for a file-system errno: EACCES, EPERM, EROFS -61; ENOSPC,
  // EDQUOT -34; ENOMEM -108; EINVAL, ENAMETOOLONG -50; anything else -36.
  [[nodiscard]] static std::int32_t statusForErrno(int code) noexcept;

 private:
  [[nodiscard]] std::filesystem::path groupDirectory(std::string_view accessGroup) const;
  // Checks an existing directory of the store (0700, the user's, not a link); false when absent.
  [[nodiscard]] bool existingDirectory(const std::filesystem::path& dir) const;
  void makeDirectory(const std::filesystem::path& dir) const;

  std::filesystem::path directory_;
  std::string defaultAccessGroup_;
};

}  // namespace tolvo
