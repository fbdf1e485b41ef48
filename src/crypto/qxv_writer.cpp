#include "crypto/qxv_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "core/error.h"
#include "core/file_util.h"
#include "crypto/cipher_error.h"
#include "crypto/encryption_utilities.h"
#include "crypto/qxv_error.h"

namespace tolvo {
namespace {

constexpr std::size_t kTagSize = EncryptionUtilities::kTagSize;
// Page indexes are 32-bit; one more page would repeat a nonce under the same key.
constexpr std::uint64_t kMaxPages = std::uint64_t{std::numeric_limits<std::uint32_t>::max()} + 1;

[[noreturn]] void raise(const char* operation, const std::filesystem::path& path, int err = errno) {
  throw SystemError::fromErrno(err, operation, path.string());
}

void pwriteAll(int fd, ByteView data, std::uint64_t offset, const std::filesystem::path& path) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      raise("write", path);
    }
    done += static_cast<std::size_t>(n);
  }
}

const std::string& checkedChunkId(const std::string& chunkId) {
  if (!QXVHeader::isRepresentableChunkId(chunkId)) throw QXVError(QXVError::Code::invalidHeader);
  return chunkId;
}

}  // namespace

QXVWriter::QXVWriter(const std::filesystem::path& url, std::string chunkId, const SymmetricKey& key,
                     bool isArtifact)
    : url_(url),
      header_(isArtifact, kPageSize, checkedChunkId(chunkId)),
      cipher_(key, GcmCipher::Direction::seal) {
  // O_NONBLOCK only keeps a FIFO at this path from blocking the open; it is refused below.
  fd_.reset(::open(url_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600));
  if (!fd_) raise("create", url_);
  struct stat st {};
  if (::fstat(fd_.get(), &st) != 0) raise("stat", url_);
  try {
    if (!S_ISREG(st.st_mode)) raise("create (not a regular file)", url_, EINVAL);
    if ((st.st_mode & 07777) != 0600 && ::fchmod(fd_.get(), 0600) != 0) raise("chmod", url_);
    pwriteAll(fd_.get(), header_.toData(), 0, url_);
    fs::syncDirectory(url_.has_parent_path() ? url_.parent_path() : std::filesystem::path("."));
  } catch (...) {
    fd_.reset();
    if (S_ISREG(st.st_mode)) (void)::unlink(url_.c_str());
    throw;
  }
  buffer_.reserve(kPageSize);
  sealed_.reserve(kPageSize + kTagSize);
}

QXVWriter::~QXVWriter() { wipeBuffer(); }

void QXVWriter::ensureOpen(const char* operation) const {
  if (!fd_) raise(operation, url_, EBADF);
}

void QXVWriter::writePage(ByteView plaintext) {
  try {
    if (pagesWritten_ >= kMaxPages) throw CipherError(CipherError::Code::invalidInput);
    const auto index = static_cast<std::uint32_t>(pagesWritten_);
    const Bytes nonce = EncryptionUtilities::createPageNonce(header_.nonceBase, index);
    const Bytes aad = EncryptionUtilities::createPageAAD(header_.chunkId, index);
    sealed_.resize(plaintext.size() + kTagSize);
    cipher_.seal(nonce, aad, plaintext, sealed_.data(), sealed_.data() + plaintext.size());
    pwriteAll(fd_.get(), sealed_, fileEnd_, url_);
  } catch (...) {
    // The stream ends here: the file stays at its last page boundary (the error that
    // matters is the write's) and nothing after the failed page may follow it.
    if (::ftruncate(fd_.get(), static_cast<off_t>(fileEnd_)) != 0) { /* reported by the write error */ }
    throw;
  }
  fileEnd_ += sealed_.size();
  plaintextBytesWritten_ += static_cast<std::int64_t>(plaintext.size());
  ++pagesWritten_;
}

void QXVWriter::write(ByteView data) {
  ensureOpen("write");
  if (failure_) std::rethrow_exception(failure_);
  try {
    // Completes the buffered page first, then seals whole pages straight from `data`, so
    // the plaintext is copied only for the partial page at either end.
    if (!buffer_.empty()) {
      const std::size_t take = std::min(kPageSize - buffer_.size(), data.size());
      appendToBuffer(data.first(take));
      data = data.subspan(take);
      if (buffer_.size() < kPageSize) return;  // `data` is used up
      writePage(buffer_);
      wipeBuffer();
    }
    while (data.size() >= kPageSize) {
      writePage(data.first(kPageSize));
      data = data.subspan(kPageSize);
    }
    appendToBuffer(data);
  } catch (...) {
    fail();
    throw;
  }
}

std::int64_t QXVWriter::finalize() {
  ensureOpen("finalize");
  if (!failure_ && !buffer_.empty()) {
    try {
      writePage(buffer_);
    } catch (...) {
      fail();
      throw;
    }
  }
  wipeBuffer();
  // The chunk row records the plaintext length right after this returns; the pages must be
  // on stable storage before that, or a power loss could leave a file shorter than its row.
  if (::fsync(fd_.get()) != 0) raise("fsync", url_, errno);
  if (int err = fd_.close(); err != 0) raise("close", url_, err);
  Bytes().swap(buffer_);
  return plaintextBytesWritten_;
}

void QXVWriter::appendToBuffer(ByteView data) {
  if (data.empty()) return;
  const std::size_t needed = buffer_.size() + data.size();
  if (needed > buffer_.capacity()) {
    // Grow by hand so the old storage is wiped before it is freed.
    Bytes grown;
    grown.reserve(std::max<std::size_t>(needed, kPageSize));
    grown.assign(buffer_.begin(), buffer_.end());
    wipeBuffer();
    buffer_.swap(grown);
  }
  buffer_.insert(buffer_.end(), data.begin(), data.end());
}

void QXVWriter::fail() noexcept {
  failure_ = std::current_exception();
  wipeBuffer();
}

void QXVWriter::wipeBuffer() noexcept {
  secureWipe(buffer_.data(), buffer_.size());
  buffer_.clear();
}

}  // namespace tolvo
