// The QXV file format: the header layout and sizes, and files written by QXVWriter decrypted
// by an independent reader.
#include <sys/wait.h>

#include <cstdlib>

#include "crypto/encryption_utilities.h"
#include "crypto/key_manager.h"
#include "crypto/qxv_error.h"
#include "crypto/qxv_header.h"
#include "crypto/qxv_writer.h"
#include "crypto_test_util.h"
#include "support/sandbox.h"

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
  made.nonceBase = fromHex("0102030405060708");
  EXPECT_EQ(made.toData(), fromHex(kTenCharHeader));
  EXPECT_FALSE(QXVHeader(made.toData()).isArtifact());
  EXPECT_EQ(toString(QXVHeader(true, 65536, "x").magic), "QXA1");

  // Parsing takes the fields as they are: version, cipher suite and reserved bytes are not checked.
  Bytes data = patched(0, "51584131 07 10203040 03");
  data[60] = 0xEE;
  const QXVHeader parsed(data);
  EXPECT_TRUE(parsed.isArtifact());
  EXPECT_EQ(parsed.pageSize, 0x40302010u);
  EXPECT_EQ(parsed.reserved, fromHex("000000000000 ee 000000"));
  EXPECT_EQ(parsed.toData(), data);
}

TEST(QXVHeaderTest, ShortDataBadMagicOrNonUtf8IdentifierIsRefused) {
  const Bytes good = fromHex(kTenCharHeader);
  const auto code = [](const Bytes& data) { return test::errorCode<QXVError>([&] { QXVHeader header(data); }); };
  EXPECT_EQ(code({}), QXVError::Code::invalidHeader);
  EXPECT_EQ(code(Bytes(good.begin(), good.end() - 1)), QXVError::Code::invalidHeader);
  EXPECT_EQ(code(patched(3, "32")), QXVError::Code::invalidMagic);  // "QXV2"
  // A lone ff, a cut sequence, an overlong form, a surrogate, a code point above U+10FFFF.
  for (const char* bad : {"ff", "c3", "c0af", "eda080", "f4908080"}) {
    EXPECT_EQ(code(patched(20, bad)), QXVError::Code::invalidHeader) << bad;
  }
}

TEST(QXVHeaderTest, IdentifierFieldIsPaddedCutAndTrimmed) {
  const std::string accents = "éééééééééééééééééé";  // 18 × "é" is exactly 36 bytes
  const std::string uuid = "0f6a4c2e-8b1d-4e57-9a3c-5d2e7f1b6c90";
  for (const auto& [id, parsed] : {std::pair{uuid, uuid}, {uuid + "0123", uuid}, {accents, accents}}) {
    EXPECT_EQ(QXVHeader(QXVHeader(false, 65536, id).toData()).chunkId, parsed) << id;  // cut at 36 bytes
  }
  // Blanks around the stored identifier are trimmed, blanks inside it kept.
  EXPECT_EQ(QXVHeader(patched(18, "09 62636420")).chunkId, "bcd fghij");
  EXPECT_EQ(QXVHeader(patched(27, "20 09")).chunkId, "abcdefghi");
}

TEST(QXVHeaderTest, FileSizeAndPlaintextLength) {
  const std::pair<std::uint64_t, std::uint64_t> rows[] = {{0, 64}, {1, 81}, {65536, 65616}, {65537, 65633}};
  for (const auto& [plaintext, fileSize] : rows) {
    EXPECT_EQ(QXVHeader::fileSizeFor(plaintext, 65536), fileSize) << plaintext;
    EXPECT_EQ(QXVHeader::plaintextLengthFor(fileSize, 65536), plaintext) << fileSize;
  }
  // No complete file has these sizes.
  for (std::uint64_t size : {0u, 63u, 80u, 65617u}) {
    EXPECT_FALSE(QXVHeader::plaintextLengthFor(size, 65536)) << size;
  }
  EXPECT_FALSE(QXVHeader::plaintextLengthFor(1000, 0));
}

// Files written by QXVWriter are decrypted by tests/crypto/qxv_decrypt.py, a reader built
// only from the format document on python3-cryptography's AES-GCM.
class QXVCrossCheckTest : public test::SandboxedTest {
 protected:
  // Runs the reference reader and returns its exit status; the plaintext lands in plain_.
  int runReference(const SymmetricKey& key, const std::string& lengthArg) {
    const std::string command = "/usr/bin/python3 '" TOLVO_QXV_DECRYPT_SCRIPT "' '" + file_.string() + "' " +
                                toHex(key.toData()) + " " + lengthArg + " > '" + plain_.string() + "'";
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status)) << command;
    return WEXITSTATUS(status);
  }
  const std::filesystem::path file_ = tmp() / "c.qxv", plain_ = tmp() / "plain.bin";

  // Writes `data` in uneven pieces, as an MP4 muxer would hand them over.
  void write(const Bytes& data, const std::string& chunkId, const SymmetricKey& key, bool artifact = false) {
    QXVWriter writer(file_, chunkId, key, artifact);
    for (std::size_t at = 0, n = 1; at < data.size(); at += n, n = n * 3 + 1) {
      writer.write(ByteView(data).subspan(at, std::min(n, data.size() - at)));
    }
    EXPECT_EQ(writer.finalize(), static_cast<std::int64_t>(data.size()));
  }
};

TEST_F(QXVCrossCheckTest, ReferenceReaderDecryptsWriterOutputAndRejectsWrongKeyOrAlteredPages) {
  ASSERT_EQ(std::system("/usr/bin/python3 -c 'import cryptography'"), 0) << "run scripts/install-deps.sh";
  KeyManager km;
  const SymmetricKey master = km.generateMasterKey();
  for (std::size_t size : {0, 1, 65536, 3 * 65536 + 12345, 100000}) {
    SCOPED_TRACE(size);
    const std::string chunkId = "0f6a4c2e-8b1d-4e57-9a3c-" + std::to_string(100000000000 + size);
    const SymmetricKey key = km.deriveChunkKey(master, chunkId);
    const Bytes data = EncryptionUtilities::randomBytes(size);
    write(data, chunkId, key, /*artifact=*/size == 100000);
    // With the length as the chunk row records it, and recovered from the file size.
    for (const std::string& length : {std::to_string(size), std::string()}) {
      ASSERT_EQ(runReference(key, length), 0);
      EXPECT_EQ(test::readFileBytes(plain_), data);
    }
  }
  const SymmetricKey key = SymmetricKey::random();
  write(EncryptionUtilities::randomBytes(70000), "abcdefghij", key);
  EXPECT_EQ(runReference(SymmetricKey::random(), "70000"), 2);
  Bytes bytes = test::readFileBytes(file_);
  bytes[64 + 65552 + 3] ^= 0x10;  // page 1
  test::writeFileBytes(file_, bytes);
  EXPECT_EQ(runReference(key, "70000"), 2);
}

}  // namespace
}  // namespace tolvo
