#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/bytes.h"

namespace tolvo {

// The fixed 64-byte header at the start of every QXV file (docs/qxv-format.md):
//   0 magic "QXV1"/"QXA1" | 4 version | 5 pageSize u32 LE | 9 cipherSuite | 10 nonceBase (8)
//   | 18 chunkId (36, UTF-8 right-padded with 0x20) | 54 reserved (10 zero bytes)
struct QXVHeader {
  static constexpr std::size_t kSize = 64;
  static constexpr std::size_t kChunkIdSize = 36;
  static constexpr std::size_t kReservedSize = 10;
  static constexpr std::uint8_t kVersion = 1;
  static constexpr std::uint8_t kCipherSuiteAes256Gcm = 0;

  std::array<std::uint8_t, 4> magic{};
  std::uint8_t version = kVersion;
  std::uint32_t pageSize = 0;
  std::uint8_t cipherSuite = kCipherSuiteAes256Gcm;
  Bytes nonceBase;      // 8 bytes
  std::string chunkId;  // unpadded
  Bytes reserved;       // 10 bytes

  // A new header: magic "QXA1" for an artifact, else "QXV1"; version 1; cipher suite 0;
  // a fresh random nonce base; zero reserved bytes.
  QXVHeader(bool isArtifact, std::uint32_t pageSize, std::string chunkId);

  // Parses the first 64 bytes of `data`. Raises QXVError(invalidHeader) for fewer than 64
  // bytes or a chunk identifier field that is not UTF-8, QXVError(invalidMagic) for a magic
  // other than "QXV1"/"QXA1". Version, page size and cipher suite are taken as they are;
  // the reader checks the page size. Leading and trailing spaces and tabs of the
  // identifier field are removed.
  explicit QXVHeader(ByteView data);

  // The 64 header bytes. An identifier longer than 36 bytes is cut to its first 36.
  [[nodiscard]] Bytes toData() const;

  [[nodiscard]] bool isArtifact() const noexcept;

  // True when `chunkId` survives a round trip through the header unchanged: valid UTF-8,
  // at most 36 bytes, no leading or trailing space or tab.
  [[nodiscard]] static bool isRepresentableChunkId(std::string_view chunkId) noexcept;

  // Size of a complete file holding `plaintextLength` bytes in pages of `pageSize`:
  // 64 + full × (pageSize + 16) + (remainder > 0 ? remainder + 16 : 0).
  [[nodiscard]] static std::uint64_t fileSizeFor(std::uint64_t plaintextLength, std::uint32_t pageSize) noexcept;

  // The inverse: the plaintext length of a complete file of `fileSize` bytes, or nothing
  // when no complete file has that size (shorter than the header, a last page of 16 bytes
  // or fewer, page size 0). A file cut in the middle of a page gives a length whose last,
  // short page then fails authentication.
  [[nodiscard]] static std::optional<std::uint64_t> plaintextLengthFor(std::uint64_t fileSize,
                                                                       std::uint32_t pageSize) noexcept;
};

}  // namespace tolvo
