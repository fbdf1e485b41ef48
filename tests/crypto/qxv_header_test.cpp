#include "crypto/qxv_header.h"

#include <gtest/gtest.h>

#include <string>

#include "crypto/qxv_error.h"
#include "crypto_test_util.h"

namespace tolvo {
namespace {

using test::fromHex;

// A chunk header with page size 65536, nonce base 01…08 and the 10-character id "abcdefghij".
const char* const kTenCharHeader =
    "51585631 01 00000100 00 0102030405060708"
    " 6162636465666768696a 2020202020202020202020202020202020202020202020202020"
    " 00000000000000000000";

Bytes patched(std::size_t offset, const char* hex) { return test::withPatch(fromHex(kTenCharHeader), offset, hex); }

TEST(QXVHeaderTest, DocumentedLayoutBothWays) {
  QXVHeader made(false, 65536, "abcdefghij");
  EXPECT_EQ(made.nonceBase.size(), 8u);
  made.nonceBase = fromHex("0102030405060708");
  EXPECT_EQ(made.toData(), fromHex(kTenCharHeader));
  EXPECT_FALSE(QXVHeader(made.toData()).isArtifact());
  EXPECT_EQ(toString(QXVHeader(true, 65536, "x").magic), "QXA1");

  // Parsing takes the fields as they are: version, cipher suite and reserved bytes are not checked.
  Bytes data = patched(0, "51584131 07 10203040 03");
  data[60] = 0xEE;
  const QXVHeader parsed(data);
  EXPECT_EQ(toString(parsed.magic), "QXA1");
  EXPECT_TRUE(parsed.isArtifact());
  EXPECT_EQ(parsed.version, 7);
  EXPECT_EQ(parsed.pageSize, 0x40302010u);
  EXPECT_EQ(parsed.cipherSuite, 3);
  EXPECT_EQ(parsed.nonceBase, fromHex("0102030405060708"));
  EXPECT_EQ(parsed.chunkId, "abcdefghij");
  EXPECT_EQ(parsed.reserved, fromHex("000000000000 ee 000000"));
}

TEST(QXVHeaderTest, ShortDataBadMagicOrNonUtf8IdentifierIsRefused) {
  const Bytes good = fromHex(kTenCharHeader);
  const struct {
    const char* name;
    Bytes data;
    QXVError::Code code;
  } rows[] = {
      {"empty", {}, QXVError::Code::invalidHeader},
      {"63 bytes", Bytes(good.begin(), good.end() - 1), QXVError::Code::invalidHeader},
      {"magic QXV2", patched(3, "32"), QXVError::Code::invalidMagic},
      {"lone ff", patched(20, "ff"), QXVError::Code::invalidHeader},
      {"cut sequence", patched(20, "c3"), QXVError::Code::invalidHeader},
      {"overlong form", patched(20, "c0af"), QXVError::Code::invalidHeader},
      {"surrogate", patched(20, "eda080"), QXVError::Code::invalidHeader},
      {"above U+10FFFF", patched(20, "f4908080"), QXVError::Code::invalidHeader},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(test::errorCode<QXVError>([&] { QXVHeader header(row.data); }), row.code) << row.name;
  }
  Bytes longer = good;  // only the first 64 bytes count
  longer.push_back(0xFF);
  EXPECT_EQ(QXVHeader(longer).chunkId, "abcdefghij");
}

TEST(QXVHeaderTest, IdentifierFieldIsPaddedCutAndTrimmed) {
  std::string accents;  // 18 × "é" is exactly 36 bytes
  for (int i = 0; i < 18; ++i) accents += "\xc3\xa9";
  const struct {
    const char* name;
    std::string id, parsed;
  } rows[] = {
      {"fills the field", "0f6a4c2e-8b1d-4e57-9a3c-5d2e7f1b6c90", "0f6a4c2e-8b1d-4e57-9a3c-5d2e7f1b6c90"},
      {"cut at 36 bytes", "0123456789012345678901234567890123456789", "012345678901234567890123456789012345"},
      {"multi-byte UTF-8", accents, accents},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(QXVHeader(QXVHeader(false, 65536, row.id).toData()).chunkId, row.parsed) << row.name;
  }
  // Blanks around the stored identifier are trimmed, blanks inside it kept.
  EXPECT_EQ(QXVHeader(patched(18, "09 62636420")).chunkId, "bcd fghij");
  EXPECT_EQ(QXVHeader(patched(27, "20 09")).chunkId, "abcdefghi");
}

TEST(QXVHeaderTest, FileSizeAndPlaintextLength) {
  struct Row {
    std::uint64_t plaintext;
    std::uint64_t fileSize;
  };
  const Row rows[] = {{0, 64}, {1, 81}, {65535, 65615}, {65536, 65616}, {65537, 65633},
                      {131072, 131168}, {200000, 200064 + 4 * 16}};
  for (const Row& r : rows) {
    EXPECT_EQ(QXVHeader::fileSizeFor(r.plaintext, 65536), r.fileSize) << r.plaintext;
    EXPECT_EQ(QXVHeader::plaintextLengthFor(r.fileSize, 65536), r.plaintext) << r.fileSize;
  }
  // No complete file has these sizes.
  for (std::uint64_t size : {0u, 63u, 65u, 80u, 65617u, 65632u}) {
    EXPECT_FALSE(QXVHeader::plaintextLengthFor(size, 65536)) << size;
  }
  EXPECT_FALSE(QXVHeader::plaintextLengthFor(1000, 0));
}

}  // namespace
}  // namespace tolvo
