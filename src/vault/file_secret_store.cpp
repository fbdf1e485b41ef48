#include "vault/file_secret_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "core/error.h"
#include "core/file_util.h"
#include "core/handle.h"

namespace tolvo {
namespace {

namespace S = SecretStatus;

constexpr mode_t kDirectoryMode = 0700;

[[noreturn]] void raise(int code, const std::string& operation, const std::filesystem::path& path = {}) {
  throw SystemError::fromErrno(code, operation, path.string());
}

// The name with every "/" replaced by "_". A NUL byte cannot be part of a file name.
std::string fileNameOf(std::string_view name) {
  if (name.find('\0') != std::string_view::npos) raise(EINVAL, "secret item name contains a NUL byte:");
  std::string out(name);
  for (char& c : out) {
    if (c == '/') c = '_';
  }
  return out;
}

}  // namespace

FileSecretStore::FileSecretStore(std::filesystem::path directory, std::string defaultAccessGroup)
    : directory_(std::move(directory)), defaultAccessGroup_(std::move(defaultAccessGroup)) {}

std::filesystem::path FileSecretStore::groupDirectory(std::string_view accessGroup) const {
  if (accessGroup.empty() || accessGroup == defaultAccessGroup_) return directory_;
  std::string name = fileNameOf(accessGroup);
  if (name == "." || name == "..") raise(EINVAL, "secret access group cannot name a directory:", name);
  return directory_ / name;
}

std::filesystem::path FileSecretStore::itemPath(const SecretItemKey& key) const {
  std::string name(key.service);
  name += '_';
  name += key.account;
  return groupDirectory(key.accessGroup) / fileNameOf(name);
}

bool FileSecretStore::existingDirectory(const std::filesystem::path& dir) const {
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) {
    const int err = errno;
    if (err == ENOENT) return false;
    raise(err, "stat", dir);
  }
  if (!S_ISDIR(st.st_mode)) raise(ENOTDIR, "not a directory:", dir);
  if (st.st_uid != ::geteuid()) raise(EPERM, "directory not owned by this user:", dir);
  return true;
}

void FileSecretStore::makeDirectory(const std::filesystem::path& dir) const {
  fs::ensurePrivateDirectory(dir);  // creates with 0700, checks type and owner
  FileDescriptor fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) {
    const int err = errno;
    raise(err, "open", dir);
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    const int err = errno;
    raise(err, "stat", dir);
  }
  if ((st.st_mode & 07777) != kDirectoryMode && ::fchmod(fd.get(), kDirectoryMode) != 0) {
    const int err = errno;
    raise(err, "chmod", dir);
  }
}

void FileSecretStore::write(const SecretItemKey& key, ByteView data) {
  const std::filesystem::path path = itemPath(key);
  makeDirectory(directory_);
  if (path.parent_path() != directory_) makeDirectory(path.parent_path());
  fs::writeFileAtomically(path, data);
}

std::optional<Bytes> FileSecretStore::read(const SecretItemKey& key) const {
  const std::filesystem::path path = itemPath(key);
  if (!existingDirectory(directory_)) return std::nullopt;
  if (path.parent_path() != directory_ && !existingDirectory(path.parent_path())) return std::nullopt;
  return fs::readFileIfExists(path);
}

bool FileSecretStore::erase(const SecretItemKey& key) {
  const std::filesystem::path path = itemPath(key);
  if (!existingDirectory(directory_)) return false;
  if (path.parent_path() != directory_ && !existingDirectory(path.parent_path())) return false;
  return fs::removeFileIfExists(path);
}

std::int32_t FileSecretStore::statusForErrno(int code) noexcept {
  switch (code) {
    case EACCES:
    case EPERM:
    case EROFS: return S::kWritePermission;
    case ENOSPC:
    case EDQUOT: return S::kDiskFull;
    case ENOMEM: return S::kAllocate;
    case EINVAL:
    case ENAMETOOLONG: return S::kParam;
    default: return S::kIO;
  }
}

std::int32_t FileSecretStore::save(const SecretItemKey& key, ByteView data, SecretProtection /*protection*/) {
  // Files have no protection classes; both kinds are stored alike.
  try {
    write(key, data);
    return S::kSuccess;
  } catch (const SystemError& e) {
    return statusForErrno(e.code());
  }
}

SecretLoadResult FileSecretStore::load(const SecretItemKey& key) {
  try {
    std::optional<Bytes> bytes = read(key);
    if (!bytes) return {S::kItemNotFound, {}};
    return {S::kSuccess, std::move(*bytes)};
  } catch (const SystemError& e) {
    return {statusForErrno(e.code()), {}};
  }
}

std::int32_t FileSecretStore::remove(const SecretItemKey& key) {
  try {
    return erase(key) ? S::kSuccess : S::kItemNotFound;
  } catch (const SystemError& e) {
    return statusForErrno(e.code());
  }
}

}  // namespace tolvo
