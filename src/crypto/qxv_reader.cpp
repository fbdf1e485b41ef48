#include "crypto/qxv_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "core/error.h"
#include "crypto/encryption_utilities.h"
#include "crypto/qxv_error.h"

namespace tolvo {
namespace {

constexpr std::uint64_t kTagSize = EncryptionUtilities::kTagSize;

[[noreturn]] void raise(const char* operation, const std::filesystem::path& path, int err = errno) {
  throw SystemError::fromErrno(err, operation, path.string());
}

// Reads up to `size` bytes at `offset`, stopping early only at the end of the file.
std::size_t preadUpTo(int fd, std::uint8_t* out, std::size_t size, std::uint64_t offset,
                      const std::filesystem::path& path) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      raise("read", path);
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

// preadv until both parts are full or the file ends; returns the bytes read.
std::size_t preadvUpTo(int fd, iovec (&parts)[2], std::uint64_t offset, const std::filesystem::path& path) {
  std::size_t done = 0;
  int first = 0;
  while (first < 2) {
    ssize_t n = ::preadv(fd, parts + first, 2 - first, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      raise("read", path);
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
    auto left = static_cast<std::size_t>(n);
    while (first < 2 && left >= parts[first].iov_len) {
      left -= parts[first].iov_len;
      ++first;
    }
    if (first < 2) {
      parts[first].iov_base = static_cast<std::uint8_t*>(parts[first].iov_base) + left;
      parts[first].iov_len -= left;
    }
  }
  return done;
}

FileDescriptor openForReading(const std::filesystem::path& url) {
  FileDescriptor fd(::open(url.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) raise("open", url);
  return fd;
}

QXVHeader readHeader(const FileDescriptor& fd, const std::filesystem::path& url) {
  std::uint8_t bytes[QXVHeader::kSize];
  const std::size_t got = preadUpTo(fd.get(), bytes, sizeof bytes, 0, url);
  if (got == 0) throw QXVError(QXVError::Code::readFailed);
  QXVHeader header(ByteView(bytes, got));
  // A page size of 0 describes no page at all.
  if (header.pageSize == 0) throw QXVError(QXVError::Code::invalidHeader);
  return header;
}

}  // namespace

QXVReader::QXVReader(const std::filesystem::path& url, const SymmetricKey& key)
    : url_(url),
      fd_(openForReading(url_)),
      header_(readHeader(fd_, url_)),
      cipher_(key, GcmCipher::Direction::open) {}

QXVReader::~QXVReader() { secureWipe(plaintext_.data(), plaintext_.size()); }

std::uint64_t QXVReader::fileSize() const {
  struct stat st {};
  if (::fstat(fd_.get(), &st) != 0) raise("stat", url_);
  return static_cast<std::uint64_t>(st.st_size);
}

std::uint64_t QXVReader::pageOffset(std::uint32_t index) const {
  // 64 + index × (pageSize + 16); a position past what off_t holds (only with a damaged
  // page size) holds nothing, like any position past the end of the file.
  std::uint64_t offset = 0;
  if (__builtin_mul_overflow(std::uint64_t{index}, header_.pageSize + kTagSize, &offset) ||
      __builtin_add_overflow(offset, QXVHeader::kSize, &offset) ||
      offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    throw QXVError(QXVError::Code::readFailed);
  }
  return offset;
}

void QXVReader::requirePageInFile(std::uint32_t index, std::uint64_t plaintextSize) const {
  const std::uint64_t offset = pageOffset(index);
  const std::uint64_t size = fileSize();
  if (offset >= size) throw QXVError(QXVError::Code::readFailed);
  if (size - offset < plaintextSize + kTagSize) throw QXVError(QXVError::Code::invalidPage);
}

ByteView QXVReader::readSealedPage(std::uint32_t index, std::uint64_t plaintextSize) {
  const std::uint64_t offset = pageOffset(index);
  const std::uint64_t wanted = plaintextSize + kTagSize;
  // Before growing the buffer, check that the file holds that much, so a damaged page size
  // cannot make us allocate gigabytes. Later pages of the same size reuse the buffer.
  if (wanted > sealed_.capacity()) requirePageInFile(index, plaintextSize);
  sealed_.resize(wanted);
  const std::size_t got = preadUpTo(fd_.get(), sealed_.data(), sealed_.size(), offset, url_);
  if (got == 0) throw QXVError(QXVError::Code::readFailed);
  if (got < wanted) throw QXVError(QXVError::Code::invalidPage);
  return sealed_;
}

void QXVReader::openSealed(std::uint32_t index, ByteView sealed, std::uint64_t plaintextSize, std::uint8_t* out) {
  const Bytes nonce = EncryptionUtilities::createPageNonce(header_.nonceBase, index);
  const Bytes aad = EncryptionUtilities::createPageAAD(header_.chunkId, index);
  cipher_.open(nonce, aad, sealed.first(plaintextSize), sealed.subspan(plaintextSize), out);
  ++pagesDecrypted_;
}

void QXVReader::openPage(std::uint32_t index, std::uint64_t plaintextSize, std::uint8_t* out) {
  openSealed(index, readSealedPage(index, plaintextSize), plaintextSize, out);
}

void QXVReader::openPageInPlace(std::uint32_t index, std::uint64_t plaintextSize, std::uint8_t* out) {
  std::uint8_t tag[kTagSize];
  iovec parts[2] = {{out, static_cast<std::size_t>(plaintextSize)}, {tag, sizeof tag}};
  const std::size_t got = preadvUpTo(fd_.get(), parts, pageOffset(index), url_);
  if (got == 0) throw QXVError(QXVError::Code::readFailed);
  if (got < plaintextSize + kTagSize) throw QXVError(QXVError::Code::invalidPage);
  const Bytes nonce = EncryptionUtilities::createPageNonce(header_.nonceBase, index);
  const Bytes aad = EncryptionUtilities::createPageAAD(header_.chunkId, index);
  cipher_.open(nonce, aad, ByteView(out, plaintextSize), ByteView(tag, sizeof tag), out);
  ++pagesDecrypted_;
}

Bytes QXVReader::readPage(std::uint32_t index, std::optional<std::uint32_t> plaintextSize) {
  const std::uint64_t size = plaintextSize.value_or(header_.pageSize);
  ByteView sealed = readSealedPage(index, size);  // checks the size before allocating
  Bytes plaintext(size);
  openSealed(index, sealed, size, plaintext.data());
  return plaintext;
}

Bytes QXVReader::readRange(std::int64_t offset, std::int64_t length, std::int64_t totalPlaintextLength) {
  if (offset < 0 || length < 1 || totalPlaintextLength <= offset) return {};
  const std::int64_t pageSize = header_.pageSize;
  std::int64_t remaining = std::min(totalPlaintextLength - offset, length);
  std::int64_t position = offset;

  // The result is sized once when the file can hold it; a larger claimed total fails at
  // some page anyway, so then it grows page by page.
  Bytes result;
  const std::uint64_t fileBytes = fileSize();
  if (static_cast<std::uint64_t>(remaining) <= fileBytes) result.resize(static_cast<std::size_t>(remaining));
  std::size_t filled = 0;

  try {
    for (;;) {
      const std::int64_t page = position / pageSize;
      if (page > std::numeric_limits<std::uint32_t>::max()) throw QXVError(QXVError::Code::readFailed);
      const auto index = static_cast<std::uint32_t>(page);
      const std::int64_t pageStart = page * pageSize;
      const std::int64_t pageLength = std::min(pageSize, totalPlaintextLength - pageStart);
      const std::int64_t inPage = position - pageStart;
      const std::int64_t take = std::min(pageLength - inPage, remaining);
      const auto takeSize = static_cast<std::size_t>(std::max<std::int64_t>(take, 0));
      // A page larger than the whole file (a damaged page size) fails before any allocation.
      if (static_cast<std::uint64_t>(pageLength) > fileBytes) {
        requirePageInFile(index, static_cast<std::uint64_t>(pageLength));
      }
      if (filled + takeSize > result.size()) result.resize(filled + takeSize);

      if (inPage == 0 && take == pageLength) {
        // The whole page is wanted: read it straight into the result and open it there.
        openPageInPlace(index, static_cast<std::uint64_t>(pageLength), result.data() + filled);
      } else {
        plaintext_.resize(static_cast<std::size_t>(pageLength));
        openPage(index, static_cast<std::uint64_t>(pageLength), plaintext_.data());
        if (take >= 1) std::memcpy(result.data() + filled, plaintext_.data() + inPage, takeSize);
        secureWipe(plaintext_.data(), plaintext_.size());
      }
      if (take < 1) break;
      filled += takeSize;
      position += take;
      remaining -= take;
      if (remaining < 1) break;
    }
  } catch (...) {
    secureWipe(result.data(), result.size());
    throw;
  }
  result.resize(filled);
  return result;
}

void QXVReader::close() {
  secureWipe(plaintext_.data(), plaintext_.size());
  if (int err = fd_.close(); err != 0) raise("close", url_, err);
}

}  // namespace tolvo
