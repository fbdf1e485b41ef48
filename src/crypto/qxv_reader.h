#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "core/bytes.h"
#include "core/handle.h"
#include "crypto/gcm_cipher.h"
#include "crypto/qxv_header.h"
#include "crypto/symmetric_key.h"

namespace tolvo {

// Reads byte ranges of a QXV file (docs/qxv-format.md), chunk ("QXV1") or artifact
// ("QXA1"), decrypting only the pages that overlap the range. Positional reads (pread):
// no seek state. The file stores no plaintext length; callers pass it in.
//
// REQUIRES: external synchronization (one thread or serial queue at a time).
class QXVReader {
 public:
  // Opens `url` (a symbolic link is refused) and parses its header. Raises SystemError when
  // the file cannot be opened or read, QXVError(readFailed) for an empty file,
  // QXVError(invalidHeader) for a file shorter than 64 bytes, a page size of 0 or an
  // identifier field that is not UTF-8, QXVError(invalidMagic) for an unknown magic.
  QXVReader(const std::filesystem::path& url, const SymmetricKey& key);
  QXVReader(const QXVReader&) = delete;
  QXVReader& operator=(const QXVReader&) = delete;
  ~QXVReader();

  [[nodiscard]] const QXVHeader& header() const noexcept { return header_; }

  // Decrypts page `index`, holding `plaintextSize` bytes (default: the header's page size;
  // the last page of a file is shorter and needs its exact size). Raises
  // QXVError(readFailed) when nothing can be read at the page's position,
  // QXVError(invalidPage) when fewer than plaintextSize + 16 bytes are there,
  // CipherError(authenticationFailure) when the page does not authenticate, SystemError
  // for an I/O error.
  [[nodiscard]] Bytes readPage(std::uint32_t index, std::optional<std::uint32_t> plaintextSize = std::nullopt);

  // The plaintext bytes offset … offset + length − 1 of a file whose plaintext is
  // `totalPlaintextLength` bytes long, clipped to that length. Empty, without error, when
  // offset < 0, length < 1 or offset ≥ totalPlaintextLength. Raises the errors of
  // readPage for the first page that fails; nothing of the range is returned then.
  [[nodiscard]] Bytes readRange(std::int64_t offset, std::int64_t length, std::int64_t totalPlaintextLength);

  // Closes the file; raises SystemError when close fails. Later reads raise SystemError.
  void close();

  // Pages successfully decrypted since construction.
  [[nodiscard]] std::uint64_t pagesDecrypted() const noexcept { return pagesDecrypted_; }

 private:
  // Where page `index` starts; QXVError(readFailed) when no file can reach that far.
  [[nodiscard]] std::uint64_t pageOffset(std::uint32_t index) const;
  // Raises QXVError(readFailed) when the file ends before page `index`,
  // QXVError(invalidPage) when it holds fewer than plaintextSize + 16 bytes there.
  void requirePageInFile(std::uint32_t index, std::uint64_t plaintextSize) const;
  // Reads the sealed bytes of page `index` into sealed_ and returns them.
  ByteView readSealedPage(std::uint32_t index, std::uint64_t plaintextSize);
  // Opens the sealed bytes of page `index` into `out`.
  void openSealed(std::uint32_t index, ByteView sealed, std::uint64_t plaintextSize, std::uint8_t* out);
  // Reads and opens page `index` into `out` (room for `plaintextSize` bytes).
  void openPage(std::uint32_t index, std::uint64_t plaintextSize, std::uint8_t* out);
  // Reads page `index` with its ciphertext straight into `out` and opens it in place.
  void openPageInPlace(std::uint32_t index, std::uint64_t plaintextSize, std::uint8_t* out);
  [[nodiscard]] std::uint64_t fileSize() const;

  std::filesystem::path url_;
  FileDescriptor fd_;
  QXVHeader header_;
  GcmCipher cipher_;
  std::uint64_t pagesDecrypted_ = 0;
  Bytes sealed_;     // ciphertext || tag of the page being read
  Bytes plaintext_;  // a page that is only partly returned; wiped after use
};

}  // namespace tolvo
