#include "crypto/qxv_header.h"

#include <gtest/gtest.h>

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

QXVError::Code parseError(ByteView data) {
  try {
    QXVHeader header(data);
  } catch (const QXVError& e) {
    return e.code();
  }
  ADD_FAILURE() << "parsed";
  return QXVError::Code::decryptionFailed;
}

TEST(QXVHeaderTest, SerializesTheDocumentedLayout) {
  QXVHeader header(false, 65536, "abcdefghij");
  EXPECT_EQ(header.nonceBase.size(), 8u);
  EXPECT_EQ(header.reserved, Bytes(10, 0));
  header.nonceBase = fromHex("0102030405060708");
  const Bytes data = header.toData();
  ASSERT_EQ(data.size(), 64u);
  EXPECT_EQ(data, fromHex(kTenCharHeader));
}

TEST(QXVHeaderTest, ParsesTheDocumentedLayout) {
  const QXVHeader header(fromHex(kTenCharHeader));
  EXPECT_EQ(toString(header.magic), "QXV1");
  EXPECT_FALSE(header.isArtifact());
  EXPECT_EQ(header.version, 1);
  EXPECT_EQ(header.pageSize, 65536u);
  EXPECT_EQ(header.cipherSuite, 0);
  EXPECT_EQ(header.nonceBase, fromHex("0102030405060708"));
  EXPECT_EQ(header.chunkId, "abcdefghij");
  EXPECT_EQ(header.reserved, Bytes(10, 0));
}

TEST(QXVHeaderTest, ArtifactMagicAndFieldsTakenAsTheyAre) {
  Bytes data = fromHex(kTenCharHeader);
  data[3] = 'X';
  EXPECT_EQ(parseError(data), QXVError::Code::invalidMagic);
  data[2] = 'A';
  data[3] = '1';
  data[4] = 7;                           // unknown version
  data[5] = 0x10, data[6] = 0, data[7] = 0, data[8] = 0;  // page size 16
  data[9] = 3;                           // unknown cipher suite
  data[60] = 0xEE;                       // reserved bytes are not checked
  const QXVHeader header(data);
  EXPECT_EQ(toString(header.magic), "QXA1");
  EXPECT_TRUE(header.isArtifact());
  EXPECT_EQ(header.version, 7);
  EXPECT_EQ(header.pageSize, 16u);
  EXPECT_EQ(header.cipherSuite, 3);
  EXPECT_EQ(header.reserved[6], 0xEE);
  EXPECT_EQ(toString(QXVHeader(true, 65536, "x").magic), "QXA1");
}

TEST(QXVHeaderTest, ShortDataOrNonUtf8IdentifierIsAnInvalidHeader) {
  const Bytes data = fromHex(kTenCharHeader);
  EXPECT_EQ(parseError(ByteView(data).first(63)), QXVError::Code::invalidHeader);
  EXPECT_EQ(parseError({}), QXVError::Code::invalidHeader);
  for (const char* bad : {"ff", "c3", "c0af", "eda080", "f4908080"}) {
    Bytes altered = data;
    const Bytes seq = fromHex(bad);
    std::copy(seq.begin(), seq.end(), altered.begin() + 20);
    EXPECT_EQ(parseError(altered), QXVError::Code::invalidHeader) << bad;
  }
  // More than 64 bytes: only the first 64 count.
  Bytes longer = data;
  longer.push_back(0xFF);
  EXPECT_EQ(QXVHeader(longer).chunkId, "abcdefghij");
}

TEST(QXVHeaderTest, IdentifierFieldPaddingAndTrimming) {
  QXVHeader full(false, 65536, "0f6a4c2e-8b1d-4e57-9a3c-5d2e7f1b6c90");
  const Bytes fullData = full.toData();
  EXPECT_EQ(toString(ByteView(fullData).subspan(18, 36)), "0f6a4c2e-8b1d-4e57-9a3c-5d2e7f1b6c90");
  EXPECT_EQ(QXVHeader(fullData).chunkId, "0f6a4c2e-8b1d-4e57-9a3c-5d2e7f1b6c90");

  QXVHeader tooLong(false, 65536, "0123456789012345678901234567890123456789");
  EXPECT_EQ(QXVHeader(tooLong.toData()).chunkId, "012345678901234567890123456789012345");

  Bytes tabs = fromHex(kTenCharHeader);
  tabs[18] = '\t';
  tabs[27] = ' ';
  tabs[28] = '\t';
  EXPECT_EQ(QXVHeader(tabs).chunkId, "bcdefghi");

  // Multi-byte UTF-8 survives: 18 × "é" is exactly 36 bytes.
  std::string accents;
  for (int i = 0; i < 18; ++i) accents += "\xc3\xa9";
  EXPECT_EQ(QXVHeader(QXVHeader(false, 65536, accents).toData()).chunkId, accents);
}

TEST(QXVHeaderTest, RepresentableIdentifiers) {
  EXPECT_TRUE(QXVHeader::isRepresentableChunkId("0f6a4c2e-8b1d-4e57-9a3c-5d2e7f1b6c90"));
  EXPECT_TRUE(QXVHeader::isRepresentableChunkId("abcdefghij"));
  EXPECT_TRUE(QXVHeader::isRepresentableChunkId("in ner"));
  EXPECT_FALSE(QXVHeader::isRepresentableChunkId("0f6a4c2e-8b1d-4e57-9a3c-5d2e7f1b6c901"));
  EXPECT_FALSE(QXVHeader::isRepresentableChunkId(" lead"));
  EXPECT_FALSE(QXVHeader::isRepresentableChunkId("trail\t"));
  EXPECT_FALSE(QXVHeader::isRepresentableChunkId("bad\xff"));
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
