#include "crypto/qxv_header.h"

#include <algorithm>

#include "core/tolvo_constants.h"
#include "crypto/encryption_utilities.h"
#include "crypto/qxv_error.h"

namespace tolvo {
namespace {

constexpr std::size_t kMagicOffset = 0;
constexpr std::size_t kVersionOffset = 4;
constexpr std::size_t kPageSizeOffset = 5;
constexpr std::size_t kCipherSuiteOffset = 9;
constexpr std::size_t kNonceBaseOffset = 10;
constexpr std::size_t kChunkIdOffset = 18;
constexpr std::size_t kReservedOffset = 54;
constexpr std::uint64_t kTagSize = EncryptionUtilities::kTagSize;

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned char c = *p;
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (c < 0x80) {
      ++p;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      if (c == 0xE0) low = 0xA0;
      if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) < length) return false;
    if (p[1] < low || p[1] > high) return false;
    for (std::size_t i = 2; i < length; ++i) {
      if (p[i] < 0x80 || p[i] > 0xBF) return false;
    }
    p += length;
  }
  return true;
}

bool isBlank(char c) noexcept { return c == ' ' || c == '\t'; }

std::string_view trimBlanks(std::string_view text) noexcept {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

QXVHeader::QXVHeader(bool isArtifact, std::uint32_t pageSizeValue, std::string chunkIdValue)
    : magic(isArtifact ? TolvoConstants::FileFormat::qxaMagic : TolvoConstants::FileFormat::qxvMagic),
      pageSize(pageSizeValue),
      nonceBase(EncryptionUtilities::generateNonceBase()),
      chunkId(std::move(chunkIdValue)),
      reserved(kReservedSize, 0) {}

QXVHeader::QXVHeader(ByteView data) {
  if (data.size() < kSize) throw QXVError(QXVError::Code::invalidHeader);
  std::copy_n(data.begin() + kMagicOffset, magic.size(), magic.begin());
  if (magic != TolvoConstants::FileFormat::qxvMagic && magic != TolvoConstants::FileFormat::qxaMagic) {
    throw QXVError(QXVError::Code::invalidMagic);
  }
  version = data[kVersionOffset];
  pageSize = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    pageSize |= static_cast<std::uint32_t>(data[kPageSizeOffset + i]) << (8 * i);
  }
  cipherSuite = data[kCipherSuiteOffset];
  nonceBase.assign(data.begin() + kNonceBaseOffset, data.begin() + kChunkIdOffset);
  const std::string field = toString(data.subspan(kChunkIdOffset, kChunkIdSize));
  if (!isValidUtf8(field)) throw QXVError(QXVError::Code::invalidHeader);
  chunkId = std::string(trimBlanks(field));
  reserved.assign(data.begin() + kReservedOffset, data.begin() + kSize);
}

Bytes QXVHeader::toData() const {
  Bytes out;
  out.reserve(kSize);
  out.insert(out.end(), magic.begin(), magic.end());
  out.push_back(version);
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(pageSize >> shift));
  out.push_back(cipherSuite);
  // Fixed-width fields: shorter values are padded, longer ones cut, so the size is always 64.
  Bytes base = nonceBase;
  base.resize(EncryptionUtilities::kNonceBaseSize, 0);
  out.insert(out.end(), base.begin(), base.end());
  Bytes id = toBytes(std::string_view(chunkId).substr(0, kChunkIdSize));
  id.resize(kChunkIdSize, 0x20);
  out.insert(out.end(), id.begin(), id.end());
  Bytes rest = reserved;
  rest.resize(kReservedSize, 0);
  out.insert(out.end(), rest.begin(), rest.end());
  return out;
}

bool QXVHeader::isArtifact() const noexcept { return magic == TolvoConstants::FileFormat::qxaMagic; }

bool QXVHeader::isRepresentableChunkId(std::string_view id) noexcept {
  return id.size() <= kChunkIdSize && isValidUtf8(id) && trimBlanks(id).size() == id.size();
}

std::uint64_t QXVHeader::fileSizeFor(std::uint64_t plaintextLength, std::uint32_t pageSizeValue) noexcept {
  if (pageSizeValue == 0) return kSize;
  const std::uint64_t full = plaintextLength / pageSizeValue;
  const std::uint64_t remainder = plaintextLength % pageSizeValue;
  return kSize + full * (pageSizeValue + kTagSize) + (remainder > 0 ? remainder + kTagSize : 0);
}

std::optional<std::uint64_t> QXVHeader::plaintextLengthFor(std::uint64_t fileSize,
                                                           std::uint32_t pageSizeValue) noexcept {
  if (pageSizeValue == 0 || fileSize < kSize) return std::nullopt;
  const std::uint64_t sealedPage = pageSizeValue + kTagSize;
  const std::uint64_t body = fileSize - kSize;
  const std::uint64_t full = body / sealedPage;
  const std::uint64_t remainder = body % sealedPage;
  if (remainder != 0 && remainder <= kTagSize) return std::nullopt;
  return full * pageSizeValue + (remainder > 0 ? remainder - kTagSize : 0);
}

}  // namespace tolvo
