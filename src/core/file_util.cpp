#include "core/file_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "core/error.h"

namespace tolvo {

void FileDescriptor::reset(int fd) noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

int FileDescriptor::close() noexcept {
  if (fd_ < 0) return 0;
  int rc = ::close(std::exchange(fd_, -1));
  return rc == 0 ? 0 : errno;
}

namespace fs {
namespace {

[[noreturn]] void raise(const char* operation, const Path& path, int err = errno) {
  throw SystemError::fromErrno(err, operation, path.string());
}

void checkOwnedDirectory(const Path& dir) {
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) raise("stat", dir);
  if (!S_ISDIR(st.st_mode)) raise("not a directory:", dir, ENOTDIR);
  if (st.st_uid != ::geteuid()) raise("directory not owned by this user:", dir, EPERM);
}

}  // namespace

void ensurePrivateDirectory(const Path& dir) {
  if (dir.empty()) raise("create directory", dir, ENOENT);
  const uid_t self = ::geteuid();
  Path current;
  for (const auto& part : dir) {
    current /= part;
    if (::mkdir(current.c_str(), 0700) != 0 && errno != EEXIST) raise("create directory", current);
    // Every step of the way must be the user's or the system's: a directory or symbolic link
    // planted by another user (say in a shared /tmp) could redirect our files to them.
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0) raise("stat", current);
    if (st.st_uid != self && st.st_uid != 0) raise("path component not owned by this user:", current, EPERM);
  }
  checkOwnedDirectory(dir);
}

FileDescriptor openForAppend(const Path& path) {
  FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) raise("open", path);
  return fd;
}

void writeAll(int fd, ByteView data, const Path& pathForErrors) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      raise("write", pathForErrors);
    }
    done += static_cast<std::size_t>(n);
  }
}

void appendToFile(const Path& path, ByteView data) {
  FileDescriptor fd = openForAppend(path);
  writeAll(fd.get(), data, path);
  if (int err = fd.close(); err != 0) raise("close", path, err);
}

void writeFileAtomically(const Path& path, ByteView data) {
  Path dir = path.has_parent_path() ? path.parent_path() : Path(".");
  std::string pattern = (dir / ("." + path.filename().string() + ".XXXXXX")).string();
  FileDescriptor fd(::mkostemp(pattern.data(), O_CLOEXEC));  // mkostemp creates 0600
  if (!fd) raise("create temporary file in", dir);
  Path temp(pattern);
  try {
    writeAll(fd.get(), data, temp);
    if (::fsync(fd.get()) != 0) raise("fsync", temp);
    if (int err = fd.close(); err != 0) raise("close", temp, err);
    if (::rename(temp.c_str(), path.c_str()) != 0) raise("rename", path);
  } catch (...) {
    ::unlink(temp.c_str());
    throw;
  }
  syncDirectory(dir);
}

void syncDirectory(const Path& dir) {
  FileDescriptor fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) raise("open", dir);
  if (::fsync(fd.get()) != 0) raise("fsync", dir);
}

std::optional<Bytes> readFileIfExists(const Path& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) {
    if (errno == ENOENT) return std::nullopt;
    raise("open", path);
  }
  Bytes out;
  std::uint8_t buffer[16384];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      raise("read", path);
    }
    if (n == 0) break;
    out.insert(out.end(), buffer, buffer + n);
  }
  return out;
}

bool removeFileIfExists(const Path& path) {
  if (::unlink(path.c_str()) == 0) return true;
  if (errno == ENOENT) return false;
  raise("remove", path);
}

bool exists(const Path& path) noexcept {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace fs
}  // namespace tolvo
