#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "core/bytes.h"
#include "core/handle.h"
#include "crypto/gcm_cipher.h"
#include "crypto/qxv_header.h"
#include "crypto/symmetric_key.h"

namespace tolvo {

// Writes one QXV file (docs/qxv-format.md): the 64-byte header, then the plaintext in
// pages of 65536 bytes, each sealed with AES-256-GCM under the page's own nonce and AAD.
// Every page is written as soon as it is full; at most one page of plaintext is held in
// memory and it never reaches the disk unsealed. After every successful call the file
// ends at a page boundary. The file is complete only after finalize().
//
// REQUIRES: external synchronization (one thread or serial queue at a time).
// Calling order: construct, write() any number of times, finalize() once. Dropping the
// writer without finalize() closes the file and loses the buffered partial page.
class QXVWriter {
 public:
  static constexpr std::uint32_t kPageSize = 65536;

  // Creates the file at `url` (mode 0600, an existing file is truncated, a symbolic link
  // is refused) and writes its header. Raises QXVError(invalidHeader), before touching the
  // file, when `chunkId` would not survive a round trip through the header (longer than
  // 36 bytes of UTF-8, not UTF-8, or with leading or trailing spaces or tabs); SystemError
  // when the file cannot be created or written.
  QXVWriter(const std::filesystem::path& url, std::string chunkId, const SymmetricKey& key,
            bool isArtifact = false);
  QXVWriter(const QXVWriter&) = delete;
  QXVWriter& operator=(const QXVWriter&) = delete;
  ~QXVWriter();

  // Appends plaintext, sealing and writing every page that becomes full. Raises
  // SystemError when a page cannot be written (the file is cut back to the last complete
  // page; that page's plaintext is dropped, the bytes after it stay buffered) or
  // CipherError when sealing fails. pageIndex() and plaintextBytesWritten() count only
  // pages that reached the file.
  void write(ByteView data);

  // Seals the remaining partial page, closes the file and returns the plaintext length of
  // the file. A failure to write the last page raises and keeps it buffered (the file
  // stays open, finalize() may be called again); a failure to close raises SystemError.
  [[nodiscard]] std::int64_t finalize();

  // The next page to write, i.e. the number of pages written.
  [[nodiscard]] std::uint32_t pageIndex() const noexcept { return static_cast<std::uint32_t>(pagesWritten_); }
  [[nodiscard]] std::int64_t plaintextBytesWritten() const noexcept { return plaintextBytesWritten_; }
  [[nodiscard]] const QXVHeader& header() const noexcept { return header_; }

 private:
  void ensureOpen(const char* operation) const;
  void writePage(ByteView plaintext);
  void drainBuffer();
  void appendToBuffer(ByteView data);
  void dropBufferFront(std::size_t count) noexcept;
  void wipeBuffer() noexcept;

  std::filesystem::path url_;
  QXVHeader header_;
  GcmCipher cipher_;
  FileDescriptor fd_;
  std::uint64_t pagesWritten_ = 0;
  std::int64_t plaintextBytesWritten_ = 0;
  std::uint64_t fileEnd_ = QXVHeader::kSize;
  Bytes buffer_;  // plaintext not yet sealed; wiped whenever it shrinks or moves
  Bytes sealed_;  // ciphertext || tag of the page being written
};

}  // namespace tolvo
