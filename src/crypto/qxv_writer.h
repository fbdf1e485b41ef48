#pragma once

#include <cstdint>
#include <exception>
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
// A page that cannot be sealed or written ends the stream: the file is cut back to the last
// complete page, the writer keeps no plaintext and accepts no further data, so a file never
// holds a hole in the middle of its stream.
//
// REQUIRES: external synchronization (one thread or serial queue at a time).
// Calling order: construct, write() any number of times, finalize() once. Dropping the
// writer without finalize() closes the file and loses the buffered partial page.
class QXVWriter {
 public:
  static constexpr std::uint32_t kPageSize = 65536;

  // Creates the file at `url` (mode 0600, an existing file is truncated, a symbolic link
  // is refused), writes its header and flushes the directory, so the file's name survives a
  // power loss. Raises QXVError(invalidHeader), before touching the file, when `chunkId`
  // would not survive a round trip through the header (longer than 36 bytes of UTF-8, not
  // UTF-8, or with leading or trailing spaces or tabs); SystemError when the file cannot be
  // created, written or made durable (the file is then removed again).
  QXVWriter(const std::filesystem::path& url, std::string chunkId, const SymmetricKey& key,
            bool isArtifact = false);
  QXVWriter(const QXVWriter&) = delete;
  QXVWriter& operator=(const QXVWriter&) = delete;
  ~QXVWriter();

  // Appends plaintext, sealing and writing every page that becomes full. Raises
  // SystemError when a page cannot be written or CipherError when sealing fails; from then
  // on the writer has failed: the file ends at the last complete page, the buffered
  // plaintext is dropped and every later write() raises the same error. pageIndex() and
  // plaintextBytesWritten() count only pages that reached the file.
  void write(ByteView data);

  // Seals the remaining partial page, flushes and closes the file and returns the plaintext
  // length of the file. A failure to write that page raises as write() does; finalize()
  // on a failed writer writes nothing more, closes the file (which ends at the last good
  // page) and returns the plaintext length of the pages before the failure. A failure to
  // flush or close raises SystemError.
  [[nodiscard]] std::int64_t finalize();

  // True once a page could not be sealed or written.
  [[nodiscard]] bool hasFailed() const noexcept { return static_cast<bool>(failure_); }

  // The next page to write, i.e. the number of pages written.
  [[nodiscard]] std::uint32_t pageIndex() const noexcept { return static_cast<std::uint32_t>(pagesWritten_); }
  [[nodiscard]] std::int64_t plaintextBytesWritten() const noexcept { return plaintextBytesWritten_; }
  [[nodiscard]] const QXVHeader& header() const noexcept { return header_; }

 private:
  void ensureOpen(const char* operation) const;
  // Seals and writes one page; on failure cuts the file back to the last page and raises.
  void writePage(ByteView plaintext);
  // Ends the stream with the exception being handled: later writes raise it again.
  void fail() noexcept;
  void appendToBuffer(ByteView data);
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
  std::exception_ptr failure_;  // the error that ended the stream
};

}  // namespace tolvo
